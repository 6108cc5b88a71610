// What the host's image files share of libvips: the photograph's metadata as libvips keeps it,
// and libvips's errors as one line. Private to host/.
#pragma once

#include <vips/vips8>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vt::host {

// The fields libvips read from the file's header that describe the photograph, as libvips
// keeps them, and the resolution. The savers know these names: each writes those its format
// has a place for (EXIF, XMP and the profile in JPEG, PNG and WebP, XMP and the profile in
// TIFF, IPTC in JPEG, the orientation in all of these) and passes over the others.
struct TMetadata {
    std::vector<std::pair<std::string, GValue>> Fields; // each value owned here
    double XRes = 1.0;                                  // pixels per millimetre
    double YRes = 1.0;

    TMetadata() = default;
    TMetadata(const TMetadata&) = delete;
    TMetadata& operator=(const TMetadata&) = delete;
    ~TMetadata() {
        for (auto& field : Fields)
            g_value_unset(&field.second);
    }
};

// What the file says about the photograph. AnyProfile keeps the colour profile whatever the
// pixels are (they stay as stored); otherwise only an RGB profile of RGB pixels stays.
std::shared_ptr<const TMetadata> TakeMetadata(const vips::VImage& image, bool anyProfile = false);

// Sets the metadata on Image for its saver; IPTC only when Iptc says the output is JPEG.
void PutMetadata(const TMetadata& metadata, bool iptc, vips::VImage& image);

// Whether libvips writes Path as JPEG.
bool WritesJpeg(const std::string& path);

// Saves Image to Path (whose extension chooses the format) with the saver's options as the user
// gave them after the name ("[Q=90]"). Lossy formats are written at Quality (JPEG and WebP;
// 0 for 95), JPEG with its colour at full resolution, unless the options say otherwise.
void SaveImage(const vips::VImage& image, const std::string& path, const std::string& options,
               int quality);

// The line of libvips's error that names the problem (of the last error, the line about File
// when one is), after which the error buffer is cleared.
std::string VipsReason(const std::exception& e, const std::string& file = "");

} // namespace vt::host
