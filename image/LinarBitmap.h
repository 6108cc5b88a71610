// The in-memory image: one pixel buffer of rows from the top down in one of four formats, the
// copy protocol that every container shares, and the shared grey palette.
#pragma once

#include "rtl/Graphics.h"
#include "rtl/Object.h"
#include "rtl/SysUtils.h"

#include <cstdint>

namespace vt {

// Raised with SUnsupportedPixelFormat or SInvalidBitmapSize.
VT_EXCEPTION_CLASS(ELinearBitmap, Exception);

inline constexpr const char* SUnsupportedPixelFormat = "Unsupported pixel format";
inline constexpr const char* SInvalidBitmapSize = "Invalid bitmap size";

// Pixel format codes; the device bitmap uses the same numbers for its own formats.
enum : uint8_t {
    pf8bit = 3,  // palette index, PixelSize 1
    pf16bit = 5, // 16-bit grey level, low byte first, PixelSize 2
    pf24bit = 6, // blue, green, red, PixelSize 3
    pf32bit = 7, // blue, green, red, one uninterpreted byte, PixelSize 4
    pfNone = 8,  // no image
};

// Base of the library's containers. Assign and AssignTo let any two container classes copy
// into each other as long as one of them knows the other; a pair of which neither knows the
// other raises Exception "Cannot assign <source class> to <destination class>".
class TAssignObject : public TObject {
public:
    VT_CLASS_NAME(TAssignObject)

    // Makes this object a copy of Source. Raises Exception for a null or unknown source.
    virtual void Assign(TObject* Source);
    // Makes Dest a copy of this object. Raises Exception for a null or unknown destination.
    virtual void AssignTo(TObject* Dest);
};

// Entry i of a 768-byte palette is bytes blue, green, red at 3i. Entry i of GrayPalette is
// (i, i, i); it is built at start-up and read-only afterwards.
extern uint8_t GrayPalette[768];

class TLinearBitmap : public TAssignObject {
public:
    VT_CLASS_NAME(TLinearBitmap)

    TLinearBitmap() = default;
    ~TLinearBitmap() override;

    // Copies a linear bitmap (padding dropped), or converts a device bitmap or graphic;
    // other sources go to the base protocol.
    void Assign(TObject* Source) override;
    // Writes into a device bitmap; other destinations go to the base protocol.
    void AssignTo(TObject* Dest) override;
    // Releases the buffers and returns to the empty state.
    virtual void Dispose();
    // Removes row padding so that BytesPerLine = Width x PixelSize.
    virtual void PackLines();

    // Gives the bitmap a buffer of this geometry (contents unspecified). Does nothing when
    // the bitmap already holds exactly this geometry. Raises ELinearBitmap
    // "Unsupported pixel format" for a format other than 3, 5, 6, 7 (checked first) and
    // "Invalid bitmap size" for a size below 1 or a buffer beyond 2 GiB; the bitmap is then
    // unchanged, as it is when the allocation fails.
    void New(int32_t width, int32_t height, uint8_t pixelFormat);

    // Writes the pixels into Bitmap, a device bitmap at least this bitmap's width and
    // height, as its top-left part: rows byte for byte when both have format 3, 6 or 7, an
    // 8-bit bitmap into a 24-bit one through Palette, 16-bit grey into 8-bit as the high bytes.
    // Raises ELinearBitmap "Unsupported pixel format" for any other pair of formats and
    // "Invalid bitmap size" for a device bitmap that is too small; Bitmap is then unchanged.
    void CopyToBitmap(TBitmap& bitmap) const;

    // Address of row Y (0 = top); no range check.
    uint8_t* ScanLine(int32_t y) const { return Map + static_cast<intptr_t>(y) * BytesPerLine; }

    int32_t Width = 0;            // pixels per row
    int32_t Height = 0;           // number of rows
    uint8_t PixelFormat = pfNone; // format code; pfNone while empty
    int32_t BytesPerLine = 0;     // distance from one row's first byte to the next row's
    int32_t PixelSize = 0;        // bytes per pixel
    int32_t Size = 0;             // BytesPerLine x Height
    bool Present = false;         // true while the bitmap holds an image
    uint8_t* Map = nullptr;       // first byte of the top row
    uint8_t* Palette = nullptr;   // 768 bytes for format 3, else null

protected:
    // Gives up Block, the bitmap's Map or Palette, which the caller stops referring to. Every
    // release goes through here: this class frees its own blocks, a subclass over borrowed
    // memory keeps what it borrowed.
    virtual void ReleaseBlock(uint8_t* block) noexcept;
    // True for a block the bitmap uses but does not own (memory of a host), which New never
    // keeps: a reshaped bitmap moves to blocks of its own.
    virtual bool Borrowed(const uint8_t* block) const noexcept;
    // Copies the pixels of another linear bitmap into this one (after New), Width x PixelSize
    // bytes per row.
    void CopyPixelsFrom(const TLinearBitmap& source);
    // A new block of Width x PixelSize x Height + 1 bytes holding the rows without padding.
    uint8_t* NewPackedBuffer() const;
};

// Bytes per pixel of a format code, 0 for a code that is not a pixel format.
int32_t PixelSizeOf(uint8_t pixelFormat) noexcept;

// A device palette of Count (1..256) entries made from the first Count entries of a
// 768-byte Palette, each flagged as reserved for animation; the caller owns the handle.
// Raises Exception for a count outside 1..256, EOutOfResources when no palette can be made.
TPaletteHandle MakeDevicePalette(const uint8_t* palette, int32_t count);
// Fills a 768-byte Palette from the first Count (1..256) entries of a device palette, the
// entries it does not have black; a null Handle gives a copy of GrayPalette. Raises
// Exception for a count outside 1..256.
void ReadDevicePalette(TPaletteHandle handle, int32_t count, uint8_t* palette);

// Module start-up (builds GrayPalette, creates BitmapLoaders) and shut-down.
void LinarBitmapStartup();
void LinarBitmapShutdown() noexcept;

} // namespace vt
