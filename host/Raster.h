// Image files as the stretch engine takes them: any band count and 8-bit, 16-bit or float
// samples kept as stored, read from the top in strips of rows and written the same way, so
// that an image of any size passes through a few strips of memory.
#pragma once

#include "host/Output.h"
#include "stretch/StretchEngine.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vt::host {

struct TMetadata;
class TGdalReader;

// One pass after another over an image file's rows, top to bottom, through libvips, or
// through GDAL for the rasters OpensWithGdal gives it (GdalRaster.h).
class TRasterReader {
public:
    // Opens Path's header (the pixels are read by Read). As a mask, the file's first band
    // becomes one band of 8-bit samples, 255 where it is non-zero. A file that turns out damaged
    // (truncated, corrupt) fails when its pixels are read, never with made-up pixels. Throws
    // std::runtime_error "cannot read PATH: reason".
    explicit TRasterReader(const std::string& path, bool mask = false);
    ~TRasterReader();
    TRasterReader(const TRasterReader&) = delete;
    TRasterReader& operator=(const TRasterReader&) = delete;

    const std::string& Path() const noexcept;
    int64_t Width() const noexcept;
    int64_t Height() const noexcept;
    int Bands() const noexcept;  // all bands, alpha included
    bool Alpha() const noexcept; // the last band is alpha
    int ColourBands() const noexcept { return Bands() - (Alpha() ? 1 : 0); }
    // False for samples the engine does not take (signed, 32-bit integer, double, complex).
    bool EngineType() const noexcept;
    // The file's samples by name: "uint8", "int16", "float64", ...
    const char* FileTypeName() const noexcept;
    // Throws EStretch "PATH: int16 samples are not supported yet" unless EngineType.
    void RequireEngineType() const;
    TSampleType Type() const noexcept;
    bool Tiff() const noexcept; // the file is a TIFF that libvips reads
    // The file's own no-data value, when it has one that its colour bands share and its samples
    // hold; NoDataNote says why a value it has cannot serve, or is empty.
    bool NoData(double& value) const noexcept;
    std::string NoDataNote() const;
    // The raster's reader when GDAL reads it, otherwise null.
    const TGdalReader* Gdal() const noexcept;
    int Interpretation() const noexcept; // libvips's VipsInterpretation of the pixels
    size_t RowBytes() const noexcept;    // one row, every band
    // What the file says about the photograph; the colour profile is kept whatever it
    // describes, since the pixels stay as stored.
    const std::shared_ptr<const TMetadata>& Metadata() const noexcept;

    // Starts a pass from the top row.
    void Restart();
    // Reads Rows rows from row Y into Buffer, packed, bands interleaved. Within a pass, each
    // read starts where the previous one ended.
    void Read(int64_t y, int64_t rows, uint8_t* buffer);

private:
    struct TState;
    std::unique_ptr<TState> State;
};

// Refuses, before anything is read, an output whose format cannot hold an image of Bands bands
// (the last of them alpha when Alpha) of the given samples: floats anywhere but TIFF, 16 bits
// in JPEG, WebP or GIF, more than four bands (or four without alpha where the fourth would be
// taken as alpha) outside TIFF. The message says why and which format would hold it. Throws
// EStretch.
void CheckOutputHolds(const std::string& out, int bands, bool alpha, TSampleType type);

// An output file of the reader's layout, written strip by strip from the top into a part file
// that the caller commits. A TIFF of a raster GDAL reads is written through GDAL (GdalRaster.h,
// GeoTIFF or Cloud-Optimized GeoTIFF as the options say); any other TIFF is written as it comes
// with libtiff, keeping the georeferencing tags of the input when that is a TIFF too (less the
// input's statistics, which no longer describe the output); other formats are gathered in
// memory and saved by libvips.
class TRasterWriter {
public:
    // Throws std::runtime_error "cannot write TARGET: reason".
    TRasterWriter(const TPartFile& part, const TRasterReader& like, const TWriteOptions& options);
    ~TRasterWriter();
    TRasterWriter(const TRasterWriter&) = delete;
    TRasterWriter& operator=(const TRasterWriter&) = delete;

    void Write(const uint8_t* rows, int64_t count);
    // Completes the part file (the caller commits it).
    void Finish();

private:
    struct TState;
    std::unique_ptr<TState> State;
};

// Whether a file name ends in .tif or .tiff.
bool IsTiffName(const std::string& path);

// The images of two files side by side with a narrow white gap: their first three colour bands,
// alpha left out, in the samples ComparisonType gives. Written into Part (the caller commits
// it).
void WriteComparison(const std::string& before, const std::string& after, const TPartFile& part,
                     const TWriteOptions& options);
// The samples of the comparison of images of a type: uint8, uint16 and float32 as they are,
// the others as float32 over their type's range (0 its bottom, 1 its top).
TSampleType ComparisonType(TSampleType type) noexcept;

} // namespace vt::host
