// The host image adapter.
#include "plugin/PluginLinearBitmap.h"

#include "rtl/Memory.h"

#include <cstring>

namespace vt {

TPluginLinearBitmap::TPluginLinearBitmap(const THostImage* Image) {
    try {
        AssignHostImage(Image);
    } catch (...) {
        Dispose();
        throw;
    }
}

TPluginLinearBitmap::~TPluginLinearBitmap() {
    Dispose();
}

void TPluginLinearBitmap::AssignHostImage(const THostImage* Image) {
    Dispose();
    if (Image == nullptr || Image->Width < 1 || Image->Height < 1 || Image->Map == nullptr)
        throw ELinearBitmap(SInvalidBitmapSize);
    HostMap = Image->Map;
    HostPalette = Image->Palette;

    uint8_t format;
    switch (Image->PixelSize) {
    case 1:
        format = pf8bit;
        break;
    case 3:
        format = pf24bit;
        break;
    case 4:
        format = pf32bit;
        break;
    default:
        throw ELinearBitmap(SUnsupportedPixelFormat);
    }
    // The record is checked before its memory is touched: rows must hold their pixels and the
    // whole image must be addressable with 32-bit sizes.
    const int64_t line = int64_t{Image->Width} * Image->PixelSize;
    const int64_t size = int64_t{Image->BytesPerLine} * Image->Height;
    if (Image->BytesPerLine < line || size > INT32_MAX) {
        HostMap = HostPalette = nullptr;
        throw ELinearBitmap(SInvalidBitmapSize);
    }
    if (format == pf8bit) {
        if (Image->Palette != nullptr) {
            Palette = static_cast<uint8_t*>(Image->Palette);
        } else {
            Palette = static_cast<uint8_t*>(GetMem(768));
            std::memcpy(Palette, GrayPalette, 768);
        }
    }
    PixelFormat = format;
    PixelSize = Image->PixelSize;
    Map = static_cast<uint8_t*>(Image->Map);
    Width = Image->Width;
    Height = Image->Height;
    BytesPerLine = Image->BytesPerLine;
    Size = static_cast<int32_t>(size);
    Present = true;
}

void TPluginLinearBitmap::Dispose() {
    if (Map != nullptr && Map == HostMap)
        Map = nullptr;
    if (Palette != nullptr && Palette == HostPalette)
        Palette = nullptr;
    HostMap = nullptr;
    HostPalette = nullptr;
    TLinearBitmap::Dispose();
}

void TPluginLinearBitmap::ReleaseBlock(uint8_t* block) noexcept {
    if (block == nullptr)
        return;
    if (block == HostMap)
        HostMap = nullptr;
    else if (block == HostPalette)
        HostPalette = nullptr;
    else
        TLinearBitmap::ReleaseBlock(block);
}

bool TPluginLinearBitmap::Borrowed(const uint8_t* block) const noexcept {
    return block != nullptr && (block == HostMap || block == HostPalette);
}

void TPluginLinearBitmap::PackLines() {
    if (!Present || Width * PixelSize == BytesPerLine)
        return;
    uint8_t* packed = NewPackedBuffer();
    if (Map != HostMap)
        FreeMem(Map);
    HostMap = nullptr;
    Map = packed;
    BytesPerLine = Width * PixelSize;
    Size = BytesPerLine * Height;
}

} // namespace vt
