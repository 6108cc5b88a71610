// Rasters through GDAL: the datasets of remote sensing (GeoTIFF, Cloud-Optimized GeoTIFF, VRT,
// ENVI, ERDAS Imagine, JPEG 2000, HDF5 and netCDF subdatasets, /vsizip/ and other /vsi paths)
// read strip by strip through RasterIO, and written back as GeoTIFF or Cloud-Optimized GeoTIFF
// with what the raster carries: CRS and geotransform or GCPs, no-data, band descriptions,
// colour interpretation, metadata, tiling and compression. Private to host/; the rest of the
// host reaches it through TRasterReader and TRasterWriter.
#pragma once

#include "host/Output.h"
#include "stretch/StretchEngine.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vt::host {

// Whether GDAL rather than libvips opens Path: a GDAL dataset name (a subdataset such as
// HDF5:"file.h5"://path, or a /vsi path), a raster format that GDAL identifies and that is not
// a photograph's (JPEG, PNG, WebP, GIF, HEIF, BMP and PNM stay with libvips), and a TIFF that
// carries georeferencing, no-data or GDAL's metadata. A plain TIFF stays with libvips, which
// keeps a photograph's EXIF, XMP, IPTC and colour profile. Throws std::runtime_error "cannot
// read PATH: reason" for a file GDAL recognises but refuses (an ENVI header named instead of
// its data file).
bool OpensWithGdal(const std::string& path);

// The name a batch writes In under in its folder: the file's own name, but for a raster GDAL
// reads in a format other than TIFF the name with .tif ("scene.vrt": "scene.tif"), and for a
// subdataset the file's name and the subdataset's ("NETCDF:"a/f.nc":sst": "f_sst.tif").
std::string BatchName(const std::string& in);

// One pass after another over a GDAL raster's rows, bands interleaved, holding a few blocks in
// GDAL's cache whatever the raster's size.
class TGdalReader {
public:
    // Opens Path's header. As a mask, the first band becomes 8-bit samples, 255 where it is not
    // zero. Throws std::runtime_error "cannot read PATH: reason".
    TGdalReader(const std::string& path, bool mask);
    ~TGdalReader();
    TGdalReader(const TGdalReader&) = delete;
    TGdalReader& operator=(const TGdalReader&) = delete;

    int64_t Width() const noexcept;
    int64_t Height() const noexcept;
    int Bands() const noexcept;
    bool Alpha() const noexcept; // the last band's colour interpretation is alpha
    // The samples by name ("uint8", "int16", "float64", ...) and, when the engine takes them,
    // as its type; false otherwise.
    const char* TypeName() const noexcept;
    bool EngineType(TSampleType& type) const noexcept;
    // The no-data value the colour bands share, when the samples can hold it; a note for a
    // value that cannot serve (the bands disagree, or the samples cannot hold it), else empty.
    bool NoData(double& value) const noexcept;
    const std::string& NoDataNote() const noexcept;
    // The first three bands say red, green and blue.
    bool Rgb() const noexcept;

    void Restart();
    // Reads Rows rows from row Y into Buffer, packed, bands interleaved.
    void Read(int64_t y, int64_t rows, uint8_t* buffer);

    struct TState;
    const TState& State() const noexcept { return *Data; }

private:
    std::unique_ptr<TState> Data;
};

// Refuses, before anything is read, GDAL output options that cannot serve: --of or --co for an
// input that GDAL does not read or an output that is not a TIFF, a driver other than GTiff or
// COG, creation options the driver does not take. Gdal tells whether GDAL reads the input.
// Throws EStretch.
void CheckGdalOutput(const std::string& out, bool gdal, const TWriteOptions& options);

// A GeoTIFF (or, with --of COG, a Cloud-Optimized GeoTIFF) of the reader's layout and
// everything its raster carries but its statistics, written strip by strip from the top into
// a part file that the caller commits. A Cloud-Optimized GeoTIFF is written as a tiled
// GeoTIFF into a second part file first and copied with its overviews when complete.
class TGdalWriter {
public:
    // Throws std::runtime_error "cannot write TARGET: reason".
    TGdalWriter(const TPartFile& part, const TGdalReader& like, const TWriteOptions& options);
    ~TGdalWriter();
    TGdalWriter(const TGdalWriter&) = delete;
    TGdalWriter& operator=(const TGdalWriter&) = delete;

    void Write(const uint8_t* rows, int64_t count);
    void Finish();

private:
    struct TState;
    std::unique_ptr<TState> Data;
};

} // namespace vt::host
