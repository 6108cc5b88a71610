// Image files as the stretch engine takes them: any band count and 8-bit, 16-bit or float
// samples kept as stored, read from the top in strips of rows and written the same way, so
// that an image of any size passes through a few strips of memory.
#pragma once

#include "stretch/StretchEngine.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vt::host {

struct TMetadata;

// One pass after another over an image file's rows, top to bottom, through libvips.
class TRasterReader {
public:
    // Opens Path's header (the pixels are read by Read). As a mask, the file's first band
    // becomes one band of 8-bit samples, 255 where it is non-zero. Throws std::runtime_error
    // "cannot read PATH: reason".
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
    TSampleType Type() const noexcept;
    bool EightBit() const noexcept;      // 8-bit samples, signed or not
    bool Tiff() const noexcept;          // the file is a TIFF
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

// An output file of the reader's layout, written strip by strip from the top. A TIFF is
// written as it comes with libtiff, keeping the georeferencing tags of the input when that is
// a TIFF too; other formats are gathered in memory and saved by libvips. Everything goes to a
// temporary file beside Path that Finish renames; a writer dropped unfinished removes it, so
// a failure leaves Path as it was.
class TRasterWriter {
public:
    // Throws std::runtime_error "cannot write PATH: reason".
    TRasterWriter(const std::string& path, const TRasterReader& like);
    ~TRasterWriter();
    TRasterWriter(const TRasterWriter&) = delete;
    TRasterWriter& operator=(const TRasterWriter&) = delete;

    void Write(const uint8_t* rows, int64_t count);
    void Finish();

private:
    struct TState;
    std::unique_ptr<TState> State;
};

// Whether a file name ends in .tif or .tiff.
bool IsTiffName(const std::string& path);

// The images of two files side by side with a narrow white gap, alpha left out.
void WriteComparison(const std::string& before, const std::string& after, const std::string& path);

} // namespace vt::host
