// Image files in and out of the substitute host, through libvips: any photograph becomes 8-bit
// colour pixels in the plug-in's byte order, with its alpha channel and what the file says
// about the photograph (orientation, EXIF, XMP, IPTC, colour profile) kept aside.
#pragma once

#include "host/Output.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vt::host {

// What a file says about its photograph besides the pixels, as libvips read it (defined in
// ImageFile.cpp; the rest of the host only passes it on).
struct TMetadata;

// An image as the host holds it: packed rows of blue, green, red bytes, and the alpha channel
// (one byte per pixel) when the file had one.
struct TPicture {
    int32_t Width = 0;
    int32_t Height = 0;
    std::vector<uint8_t> Bgr;   // Width x Height x 3 bytes, rows from the top
    std::vector<uint8_t> Alpha; // Width x Height bytes, or empty
    // The file's orientation, EXIF, XMP, IPTC, colour profile and resolution, written back
    // with the pixels; null for a picture that came from no file. Shared: it never changes.
    std::shared_ptr<const TMetadata> Metadata;
};

// libvips's warnings (a damaged file read as far as it goes, a tag it does not know, ...) are
// kept rather than printed: with Verbose each is printed once as it comes, otherwise the ones
// that arrive while a TWarningScope lives on this thread are the scope's to show. libtiff's
// notes on tags it does not know (every GeoTIFF's) are never shown.
void KeepVipsWarnings(bool verbose);
// Keeps (or with Verbose prints) one warning.
void KeepWarning(const std::string& text);
class TWarningScope {
public:
    TWarningScope();
    ~TWarningScope();
    TWarningScope(const TWarningScope&) = delete;
    TWarningScope& operator=(const TWarningScope&) = delete;
    // The warnings so far, each once, one a line with the given indent.
    std::string Text(const std::string& indent) const;

private:
    std::vector<std::string> Warnings;
    TWarningScope* Outer;
    friend void KeepWarning(const std::string& text);
};

// Starts and stops libvips for the process; one object in main.
class TImageIo {
public:
    explicit TImageIo(const char* argv0);
    ~TImageIo();
    TImageIo(const TImageIo&) = delete;
    TImageIo& operator=(const TImageIo&) = delete;
};

// Reads PNG, JPEG, TIFF, WebP, BMP, PNM and whatever else libvips reads. Grey, palette,
// 16-bit and other colour spaces become 8-bit sRGB; a note for each lossy conversion (16 to 8
// bits) is appended to Notes. The pixels stay as stored: no turning by the orientation, no
// conversion through the colour profile (kept unless the pixels left the colour space it
// describes). Throws std::runtime_error "cannot read FILE: reason".
TPicture LoadPicture(const std::string& path, std::vector<std::string>& notes);

// Writes the picture into Part in the format the extension of its target names (alpha put back
// unchanged), with the picture's metadata wherever that format has a place for it; the rest is
// left out. The caller commits the part. Throws std::runtime_error "cannot write FILE: reason".
void SavePicture(const TPicture& picture, const TPartFile& part, const TWriteOptions& options);

// Before on the left, after on the right, with a narrow white gap; alpha is dropped, the
// metadata of Before kept (its orientation turns both halves alike).
TPicture SideBySide(const TPicture& before, const TPicture& after);

} // namespace vt::host
