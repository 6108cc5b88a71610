// Small images the stretch tests share, written as (first, second, third) byte per pixel.
#pragma once

#include "image/LinarBitmap.h"

#include <array>
#include <cstdint>
#include <vector>

namespace vt::test {

using TPixel = std::array<uint8_t, 3>;

inline void Fill(TLinearBitmap& b, int32_t w, int32_t h, const std::vector<TPixel>& pixels) {
    b.New(w, h, pf24bit);
    for (size_t i = 0; i < pixels.size(); ++i)
        for (size_t c = 0; c < 3; ++c)
            b.Map[3 * i + c] = pixels[i][c];
}

inline std::vector<TPixel> Pixels(const TLinearBitmap& b) {
    std::vector<TPixel> out;
    for (int32_t y = 0; y < b.Height; ++y)
        for (int32_t x = 0; x < b.Width; ++x) {
            const uint8_t* p = b.ScanLine(y) + 3 * x;
            out.push_back({p[0], p[1], p[2]});
        }
    return out;
}

// The worked example: four pixels whose stretched values are known in both modes.
inline const std::vector<TPixel> WorkedExample = {
    {10, 50, 90}, {60, 80, 40}, {200, 150, 100}, {30, 220, 170}};
inline const std::vector<TPixel> WorkedOffset = {
    {25, 0, 79}, {125, 19, 0}, {255, 109, 104}, {0, 255, 243}};
inline const std::vector<TPixel> WorkedScaleOnly = {
    {13, 77, 136}, {88, 122, 60}, {255, 205, 159}, {14, 255, 246}};

// Every corner of the colour cube once.
inline std::vector<TPixel> CubeCorners() {
    std::vector<TPixel> out;
    for (int i = 0; i < 8; ++i)
        out.push_back(
            {uint8_t(i & 1 ? 255 : 0), uint8_t(i & 2 ? 255 : 0), uint8_t(i & 4 ? 255 : 0)});
    return out;
}

} // namespace vt::test
