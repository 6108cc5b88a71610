// The runtime's graphics classes: device-independent bitmaps with a canvas to draw on,
// graphics that render themselves onto a canvas, and the packed form in which a bitmap
// travels between objects.
#pragma once

#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

#include <cstdint>

#if defined(_WIN32) && !defined(NO_STRICT)
struct HPALETTE__; // the system's own handle type, declared without the system headers
#endif

namespace vt {

// A gdi32 palette handle (HPALETTE of platform/Win32.h); null stands for no palette.
#if defined(_WIN32) && !defined(NO_STRICT)
using TPaletteHandle = ::HPALETTE__*;
#else
using TPaletteHandle = void*;
#endif

// Raised for a refused size, pixel format or row index, and for a malformed bitmap packet.
VT_EXCEPTION_CLASS(EInvalidGraphic, Exception);
// Raised when gdi32 cannot create a palette.
VT_EXCEPTION_CLASS(EOutOfResources, Exception);

// Pixel formats of a device bitmap. The codes are the ones TLinearBitmap uses for its own
// formats; the 16-bit device format is colour, not grey.
enum class TPixelFormat : uint8_t {
    pf8bit = 3,  // palette index
    pf16bit = 5, // 5-6-5 colour: red in the top 5 bits, then 6 of green and 5 of blue
    pf24bit = 6, // blue, green, red
    pf32bit = 7, // blue, green, red, one byte that is written as 0
};

// A colour in the byte order of 24-bit pixels.
struct TColorBGR {
    uint8_t Blue = 0;
    uint8_t Green = 0;
    uint8_t Red = 0;
    friend bool operator==(const TColorBGR&, const TColorBGR&) = default;
};

class TBitmap;
class TCanvas;

// Anything that can render itself onto a canvas.
class TGraphic : public TPersistent {
public:
    VT_CLASS_NAME(TGraphic)

    virtual int32_t Width() const = 0;  // in pixels; 0 for an empty graphic
    virtual int32_t Height() const = 0; // in pixels; 0 for an empty graphic
    bool Empty() const { return Width() == 0 || Height() == 0; }

protected:
    friend class TCanvas;
    // Renders the graphic with its top-left corner at (X, Y) of Canvas; the canvas clips.
    virtual void Draw(TCanvas& canvas, int32_t x, int32_t y) const = 0;
};

// The drawing surface of one bitmap. Colours written to an 8-bit bitmap become the nearest
// entry of its palette or, without a palette, the grey level of the colour.
class TCanvas : public TPersistent {
public:
    VT_CLASS_NAME(TCanvas)

    explicit TCanvas(TBitmap& bitmap) : Target(bitmap) {}

    // Renders Graphic with its top-left corner at (X, Y), clipped to the bitmap; a null
    // graphic draws nothing. Raises what the graphic raises (EOutOfMemory).
    void Draw(int32_t x, int32_t y, const TGraphic* graphic);
    // The colour at (X, Y); black outside the bitmap.
    TColorBGR Pixel(int32_t x, int32_t y) const;
    // Sets the pixel at (X, Y); a point outside the bitmap is ignored.
    void SetPixel(int32_t x, int32_t y, TColorBGR color);
    int32_t Width() const;  // the bitmap's
    int32_t Height() const; // the bitmap's

private:
    TBitmap& Target;
};

// A device-independent bitmap. Rows are stored bottom-up, each padded to a multiple of 4
// bytes, so the distance from ScanLine(y) to ScanLine(y + 1) is negative. A new bitmap is
// empty (0 x 0), 24-bit and without a palette.
//
// An 8-bit bitmap reads its pixels through its palette: entries the palette does not have
// read as black, and without a palette index i is the grey (i, i, i). Setting the pixel
// format converts every pixel through 24-bit colour: 8-bit expands through the palette,
// 16-bit widens each channel by repeating its top bits, 32-bit drops its fourth byte (and
// gains a zero one), and 8-bit is reached by the nearest palette entry or, without a
// palette, by the grey level of about 0.3 red + 0.59 green + 0.11 blue. The palette
// handle is kept whatever the format.
class TBitmap : public TGraphic {
public:
    VT_CLASS_NAME(TBitmap)

    TBitmap() : FCanvas(*this) {}
    ~TBitmap() override;

    // Copies a TBitmap (pixels, format and a duplicate of its palette); any other source is
    // asked to copy itself in. Raises EConvertError when the source cannot do that,
    // EOutOfMemory or EOutOfResources; this bitmap is then unchanged.
    void Assign(TPersistent* Source) override;

    int32_t Width() const override { return FWidth; }
    int32_t Height() const override { return FHeight; }
    // Resizes the bitmap keeping the pixels it shares with the old size (anchored at the top
    // left); new pixels are 0. Raises EInvalidGraphic for a negative size or one beyond
    // 2 GiB of pixels, EOutOfMemory; the bitmap is then unchanged.
    void SetSize(int32_t width, int32_t height);
    void SetWidth(int32_t width) { SetSize(width, FHeight); }
    void SetHeight(int32_t height) { SetSize(FWidth, height); }

    TPixelFormat PixelFormat() const { return FFormat; }
    // Converts the pixels to Format (see above). Raises EInvalidGraphic for a code that is
    // not a TPixelFormat or a converted size beyond 2 GiB, EOutOfMemory; the bitmap is then
    // unchanged.
    void SetPixelFormat(TPixelFormat format);

    // Address of row Y (0 = top). Raises EInvalidGraphic for a row outside the bitmap.
    uint8_t* ScanLine(int32_t y);

    TPaletteHandle Palette() const { return FPalette; }
    // Hands Palette over to the bitmap: the handle held so far is released now, this one
    // when it is replaced or the bitmap is freed. Setting the handle already held does nothing.
    void SetPalette(TPaletteHandle palette);

    TCanvas& Canvas() { return FCanvas; }

protected:
    void Draw(TCanvas& canvas, int32_t x, int32_t y) const override;

private:
    friend class TCanvas;

    // The palette's first 256 colours, read once when the handle is set.
    struct TColorTable {
        bool Grey = true; // no palette: index i is (i, i, i)
        int32_t Count = 0;
        uint8_t Colors[768] = {};
    };

    static TColorBGR Decode(TPixelFormat format, const uint8_t* row, int32_t x,
                            const TColorTable& colors);
    static void Encode(TPixelFormat format, uint8_t* row, int32_t x, TColorBGR color,
                       const TColorTable& colors);
    uint8_t* Row(int32_t y) const; // no range check
    TColorBGR ReadPixel(int32_t x, int32_t y) const;
    void WritePixel(int32_t x, int32_t y, TColorBGR color);
    void CopyFrom(const TBitmap& source);
    void ReleaseBits() noexcept;

    int32_t FWidth = 0;
    int32_t FHeight = 0;
    TPixelFormat FFormat = TPixelFormat::pf24bit;
    int32_t FStride = 0;      // bytes per stored row, a multiple of 4
    uint8_t* FBits = nullptr; // the bottom row first; null while the bitmap is empty
    TPaletteHandle FPalette = nullptr;
    TColorTable FColors;
    TCanvas FCanvas;
};

// A decoded image with transparency: 4 bytes per pixel, blue, green, red and alpha (0
// transparent to 255 opaque), rows from the top down. It draws itself by blending over the
// canvas; a bitmap cannot take it by assignment, since it has nowhere to keep the alpha.
class TAlphaImage : public TGraphic {
public:
    VT_CLASS_NAME(TAlphaImage)

    TAlphaImage() = default;
    ~TAlphaImage() override;

    int32_t Width() const override { return FWidth; }
    int32_t Height() const override { return FHeight; }
    // Gives the image Width x Height pixels, all transparent black. Raises EInvalidGraphic
    // for a negative size or one beyond 2 GiB, EOutOfMemory; the image is then unchanged.
    void SetSize(int32_t width, int32_t height);
    // Address of row Y (0 = top). Raises EInvalidGraphic for a row outside the image.
    uint8_t* ScanLine(int32_t y);

protected:
    void Draw(TCanvas& canvas, int32_t x, int32_t y) const override;

private:
    int32_t FWidth = 0;
    int32_t FHeight = 0;
    uint8_t* FPixels = nullptr;
};

// A bitmap in the packed device-independent form in which it travels between programs: a
// 40-byte header (little-endian: header size 40, width, height that is positive for rows
// stored bottom-up and negative for top-down, planes 1, bits per pixel 8, 16, 24 or 32,
// compression 0, or 3 with the 5-6-5 masks for 16 bits, image size, two resolutions, colours
// used, colours important), the three masks of a 16-bit packet, the colour table of an
// 8-bit packet (blue, green, red, 0 per entry; "colours used" 0 means 256), then the rows,
// each padded to 4 bytes. No bytes at all stand for an empty bitmap. A TBitmap accepts a
// packet by assignment, and a packet takes a TBitmap.
class TBitmapPacket : public TPersistent {
public:
    VT_CLASS_NAME(TBitmapPacket)

    TBitmapPacket() = default;
    ~TBitmapPacket() override;

    // Packs a TBitmap (bottom-up, an 8-bit one with its palette or 256 greys); other sources
    // go to the base protocol. Raises EOutOfMemory; the packet is then unchanged.
    void Assign(TPersistent* Source) override;

    const uint8_t* Data() const { return FData; }
    int32_t Size() const { return FSize; }
    // Replaces the packet's bytes with a copy of Size bytes at Data. Raises EInvalidGraphic
    // for a negative size, EOutOfMemory; the packet is then unchanged.
    void SetData(const void* data, int32_t size);

protected:
    // Unpacks into a TBitmap. Raises EInvalidGraphic "Bitmap packet is truncated",
    // "Unsupported bitmap packet" or "Invalid bitmap packet"; the bitmap is then unchanged.
    void AssignTo(TPersistent* Dest) override;

private:
    uint8_t* FData = nullptr;
    int32_t FSize = 0;
};

} // namespace vt
