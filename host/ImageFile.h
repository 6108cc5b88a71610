// Image files in and out of the substitute host, through libvips: any photograph becomes 8-bit
// colour pixels in the plug-in's byte order, with its alpha channel kept aside.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vt::host {

// An image as the host holds it: packed rows of blue, green, red bytes, and the alpha channel
// (one byte per pixel) when the file had one.
struct TPicture {
    int32_t Width = 0;
    int32_t Height = 0;
    std::vector<uint8_t> Bgr;   // Width x Height x 3 bytes, rows from the top
    std::vector<uint8_t> Alpha; // Width x Height bytes, or empty
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
// bits) is appended to Notes. Throws std::runtime_error "cannot read FILE: reason".
TPicture LoadPicture(const std::string& path, std::vector<std::string>& notes);

// Writes the picture in the format the extension of Path names (alpha put back unchanged).
// Throws std::runtime_error "cannot write FILE: reason".
void SavePicture(const TPicture& picture, const std::string& path);

// Before on the left, after on the right, with a narrow white gap; alpha is dropped.
TPicture SideBySide(const TPicture& before, const TPicture& after);

} // namespace vt::host
