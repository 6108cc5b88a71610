// Conversion between linear bitmaps and the runtime's device bitmaps: taking over a device
// bitmap, converting any graphic or persistent object through one, and writing into one.
#include "image/LinarBitmapDevice.h"

#include "image/LinarBitmap.h"
#include "platform/Win32.h"
#include "rtl/Graphics.h"
#include "rtl/Memory.h"

#include <cstddef>
#include <cstring>

namespace vt {

namespace {

uint8_t CodeOf(TPixelFormat format) {
    return static_cast<uint8_t>(format);
}

// Formats whose pixel bytes mean the same on both sides.
bool IsSharedFormat(TPixelFormat format) {
    return format == TPixelFormat::pf8bit || format == TPixelFormat::pf24bit ||
           format == TPixelFormat::pf32bit;
}

void CheckPaletteCount(int32_t count) {
    if (count < 1 || count > 256)
        throw Exception(Format("Invalid palette entry count %d", {count}));
}

// Procedure Take-over: the device bitmap's format is 3, 6 or 7. The linear bitmap is left
// as it was when New fails.
void TakeOver(TLinearBitmap& bitmap, TBitmap& device) {
    if (device.Width() == 0 || device.Height() == 0) {
        bitmap.Dispose();
        return;
    }
    uint8_t palette[768];
    const uint8_t format = CodeOf(device.PixelFormat());
    if (format == pf8bit)
        ReadDevicePalette(device.Palette(), 256, palette);
    bitmap.New(device.Width(), device.Height(), format);
    // Only the pixel bytes of each row: a subclass's rows may be longer than the device's.
    const auto rowBytes = static_cast<size_t>(bitmap.Width) * static_cast<size_t>(bitmap.PixelSize);
    for (int32_t y = 0; y < bitmap.Height; ++y)
        std::memcpy(bitmap.ScanLine(y), device.ScanLine(y), rowBytes);
    if (format == pf8bit)
        std::memcpy(bitmap.Palette, palette, sizeof palette);
}

// Procedure Graphic: whatever the runtime turns the graphic into is kept if its pixels mean
// the same here (32-bit included); a graphic that cannot be assigned is drawn instead.
void FromGraphic(TLinearBitmap& bitmap, TGraphic& graphic) {
    TBitmap device;
    try {
        device.Assign(&graphic);
        if (!IsSharedFormat(device.PixelFormat()))
            device.SetPixelFormat(TPixelFormat::pf24bit);
    } catch (const Exception&) {
        // Rebuilt from nothing: a failed assignment may have left anything behind.
        device.SetSize(0, 0);
        device.SetPalette(nullptr);
        device.SetPixelFormat(TPixelFormat::pf24bit);
        device.SetSize(graphic.Width(), graphic.Height());
        device.Canvas().Draw(0, 0, &graphic);
    }
    TakeOver(bitmap, device);
}

// Procedure Persistent: as Graphic, but a refusal propagates and 32-bit becomes 24-bit.
void FromPersistent(TLinearBitmap& bitmap, TPersistent& source) {
    TBitmap device;
    device.Assign(&source);
    if (device.PixelFormat() != TPixelFormat::pf8bit &&
        device.PixelFormat() != TPixelFormat::pf24bit)
        device.SetPixelFormat(TPixelFormat::pf24bit);
    TakeOver(bitmap, device);
}

// Procedure Write.
void WriteTo(const TLinearBitmap& bitmap, TBitmap& device) {
    if (!bitmap.Present)
        return;
    TPaletteHandle palette = nullptr;
    if (bitmap.PixelFormat == pf8bit)
        palette = MakeDevicePalette(bitmap.Palette, 256);
    else if (bitmap.PixelFormat == pf16bit)
        palette = MakeDevicePalette(GrayPalette, 256);
    try {
        // Emptied first: its old pixels would only be converted to be overwritten.
        device.SetSize(0, 0);
        device.SetPixelFormat(static_cast<TPixelFormat>(
            bitmap.PixelFormat == pf16bit ? uint8_t{pf8bit} : bitmap.PixelFormat));
    } catch (...) {
        if (palette != nullptr)
            DeleteObject(palette);
        throw;
    }
    device.SetPalette(palette); // formats 6 and 7 are left without one
    device.SetSize(bitmap.Width, bitmap.Height);
    bitmap.CopyToBitmap(device);
}

} // namespace

namespace detail {

bool AssignFromDevice(TLinearBitmap& bitmap, TObject* source) {
    if (auto* device = dynamic_cast<TBitmap*>(source)) {
        if (IsSharedFormat(device->PixelFormat())) {
            TakeOver(bitmap, *device);
            return true;
        }
    }
    if (auto* graphic = dynamic_cast<TGraphic*>(source)) {
        FromGraphic(bitmap, *graphic);
        return true;
    }
    if (auto* persistent = dynamic_cast<TPersistent*>(source)) {
        FromPersistent(bitmap, *persistent);
        return true;
    }
    return false;
}

bool AssignToDevice(TLinearBitmap& bitmap, TObject* dest) {
    auto* device = dynamic_cast<TBitmap*>(dest);
    if (device == nullptr)
        return false;
    WriteTo(bitmap, *device);
    return true;
}

} // namespace detail

void TLinearBitmap::CopyToBitmap(TBitmap& bitmap) const {
    if (!Present || Height < 1)
        return;
    enum { SameBytes, PaletteToColour, GreyToIndex } kind;
    const uint8_t target = CodeOf(bitmap.PixelFormat());
    // The 16-bit device format is colour, so 16-bit grey never pairs with it byte for byte.
    if (target == PixelFormat && PixelFormat != pf16bit)
        kind = SameBytes;
    else if (PixelFormat == pf8bit && target == pf24bit)
        kind = PaletteToColour;
    else if (PixelFormat == pf16bit && target == pf8bit)
        kind = GreyToIndex;
    else
        throw ELinearBitmap(SUnsupportedPixelFormat);
    if (bitmap.Width() < Width || bitmap.Height() < Height)
        throw ELinearBitmap(SInvalidBitmapSize);

    // Rows 0 and 1 give the device's row distance, which may be negative; the source rows
    // are reached through ScanLine, so padded rows need no packing.
    uint8_t* first = bitmap.ScanLine(0);
    const ptrdiff_t distance = Height > 1 ? bitmap.ScanLine(1) - first : 0;
    const auto rowBytes = static_cast<size_t>(Width) * static_cast<size_t>(PixelSize);
    for (int32_t y = 0; y < Height; ++y) {
        uint8_t* to = first + y * distance;
        const uint8_t* from = ScanLine(y);
        switch (kind) {
        case SameBytes:
            std::memcpy(to, from, rowBytes);
            break;
        case PaletteToColour:
            for (int32_t x = 0; x < Width; ++x)
                std::memcpy(to + 3 * x, Palette + 3 * from[x], 3);
            break;
        case GreyToIndex:
            for (int32_t x = 0; x < Width; ++x)
                to[x] = from[2 * x + 1];
            break;
        }
    }
}

TPaletteHandle MakeDevicePalette(const uint8_t* palette, int32_t count) {
    CheckPaletteCount(count);
    const size_t bytes =
        offsetof(LOGPALETTE, palPalEntry) + sizeof(PALETTEENTRY) * static_cast<size_t>(count);
    auto* record = static_cast<LOGPALETTE*>(GetMem(bytes));
    record->palVersion = 0x300;
    record->palNumEntries = static_cast<WORD>(count);
    // The entries run past the one-element array of the record's declaration.
    auto* entries = reinterpret_cast<PALETTEENTRY*>(reinterpret_cast<uint8_t*>(record) +
                                                    offsetof(LOGPALETTE, palPalEntry));
    for (int32_t i = 0; i < count; ++i) {
        entries[i].peRed = palette[3 * i + 2];
        entries[i].peGreen = palette[3 * i + 1];
        entries[i].peBlue = palette[3 * i];
        entries[i].peFlags = PC_RESERVED;
    }
    HPALETTE handle = CreatePalette(record);
    FreeMem(record);
    if (handle == nullptr)
        throw EOutOfResources("Out of system resources");
    return handle;
}

void ReadDevicePalette(TPaletteHandle handle, int32_t count, uint8_t* palette) {
    CheckPaletteCount(count);
    if (handle == nullptr) {
        std::memcpy(palette, GrayPalette, sizeof GrayPalette);
        return;
    }
    PALETTEENTRY entries[256];
    const auto got =
        static_cast<int32_t>(GetPaletteEntries(handle, 0, static_cast<UINT>(count), entries));
    for (int32_t i = 0; i < 256; ++i) {
        const bool known = i < got;
        palette[3 * i] = known ? entries[i].peBlue : 0;
        palette[3 * i + 1] = known ? entries[i].peGreen : 0;
        palette[3 * i + 2] = known ? entries[i].peRed : 0;
    }
}

} // namespace vt
