// The runtime's graphics classes the device conversion stands on: the device bitmap's
// layout and pixel formats, its canvas, the alpha image, bitmap packets and gdi32 palettes.
#include "rtl/Graphics.h"
#include "platform/Win32.h"
#include "rtl/Memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace vt;

namespace {

std::vector<uint8_t> Bytes(const uint8_t* p, size_t n) {
    return {p, p + n};
}

TPaletteHandle PaletteOf(std::vector<TColorBGR> colors) {
    std::vector<uint8_t> record(4 + 4 * colors.size());
    auto* log = reinterpret_cast<LOGPALETTE*>(record.data());
    log->palVersion = 0x300;
    log->palNumEntries = static_cast<WORD>(colors.size());
    for (size_t i = 0; i < colors.size(); ++i) {
        record[4 + 4 * i] = colors[i].Red;
        record[5 + 4 * i] = colors[i].Green;
        record[6 + 4 * i] = colors[i].Blue;
    }
    return CreatePalette(log);
}

// Every pixel of a bitmap through its canvas, rows from the top.
std::vector<TColorBGR> Colors(TBitmap& b) {
    std::vector<TColorBGR> out;
    for (int32_t y = 0; y < b.Height(); ++y)
        for (int32_t x = 0; x < b.Width(); ++x)
            out.push_back(b.Canvas().Pixel(x, y));
    return out;
}

TBitmap* NewColourBitmap(TBitmap& b, int32_t w, int32_t h) {
    b.SetSize(w, h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            b.Canvas().SetPixel(x, y,
                                {uint8_t(40 * x + 3), uint8_t(90 * y + 7), uint8_t(x * y * 17)});
    return &b;
}

} // namespace

// ---- TBitmap ----------------------------------------------------------------------------

TEST(Bitmap, RowsAreAlignedTo4BytesStoredBottomUpAndKeptOnResizing) {
    const TPixelFormat formats[] = {TPixelFormat::pf8bit, TPixelFormat::pf16bit,
                                    TPixelFormat::pf24bit, TPixelFormat::pf32bit};
    for (int bytes = 1; bytes <= 4; ++bytes) {
        for (int32_t w = 1; w <= 5; ++w) {
            TBitmap b;
            b.SetPixelFormat(formats[bytes - 1]);
            b.SetSize(w, 3);
            const ptrdiff_t stride = b.ScanLine(0) - b.ScanLine(1);
            EXPECT_EQ(stride, (w * bytes + 3) / 4 * 4) << bytes << " " << w;
            EXPECT_EQ(b.ScanLine(1) - b.ScanLine(2), stride);
        }
    }
    TBitmap b;
    EXPECT_TRUE(b.Empty());
    EXPECT_THROW(b.ScanLine(0), EInvalidGraphic);
    b.SetSize(2, 2);
    EXPECT_THROW(b.ScanLine(2), EInvalidGraphic);
    EXPECT_THROW(b.ScanLine(-1), EInvalidGraphic);
    EXPECT_THROW(b.SetSize(-1, 2), EInvalidGraphic);
    EXPECT_THROW(b.SetSize(70000, 70000), EInvalidGraphic);
    EXPECT_THROW(b.SetPixelFormat(static_cast<TPixelFormat>(4)), EInvalidGraphic);
    EXPECT_EQ(b.Width(), 2);
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::pf24bit);

    NewColourBitmap(b, 3, 3);
    const TColorBGR kept = b.Canvas().Pixel(1, 2);
    b.SetSize(2, 4); // the shared top left stays, the rest is cleared
    EXPECT_EQ(b.Canvas().Pixel(1, 2), kept);
    EXPECT_EQ(b.Canvas().Pixel(0, 3), TColorBGR{});
}

TEST(Bitmap, PixelFormatConversionsGoThroughColour) {
    TBitmap b;
    NewColourBitmap(b, 5, 2);
    const std::vector<TColorBGR> colours = Colors(b);
    b.SetPixelFormat(TPixelFormat::pf32bit);
    EXPECT_EQ(Colors(b), colours);
    EXPECT_EQ(b.ScanLine(0)[3], 0);
    b.SetPixelFormat(TPixelFormat::pf16bit);
    const std::vector<TColorBGR> quantised = Colors(b);
    EXPECT_EQ(quantised[9].Green >> 2, colours[9].Green >> 2);
    b.SetPixelFormat(TPixelFormat::pf24bit);
    b.SetPixelFormat(TPixelFormat::pf16bit);
    b.SetPixelFormat(TPixelFormat::pf24bit);
    EXPECT_EQ(Colors(b), quantised); // 5-6-5 survives a trip through 24-bit

    // To 8-bit: greys without a palette, the nearest entry with one.
    TBitmap grey;
    grey.SetSize(2, 1);
    grey.Canvas().SetPixel(0, 0, {0, 0, 255});
    grey.Canvas().SetPixel(1, 0, {77, 77, 77});
    grey.SetPixelFormat(TPixelFormat::pf8bit);
    EXPECT_EQ(grey.ScanLine(0)[0], 77); // 0.3 x 255
    EXPECT_EQ(grey.ScanLine(0)[1], 77);
    grey.SetPixelFormat(TPixelFormat::pf24bit);
    EXPECT_EQ(grey.Canvas().Pixel(0, 0), (TColorBGR{77, 77, 77}));

    TBitmap mapped;
    mapped.SetSize(2, 1);
    mapped.Canvas().SetPixel(0, 0, {250, 10, 0});
    mapped.Canvas().SetPixel(1, 0, {20, 20, 20});
    mapped.SetPalette(PaletteOf({{0, 0, 0}, {255, 0, 0}, {0, 0, 255}}));
    mapped.SetPixelFormat(TPixelFormat::pf8bit);
    EXPECT_EQ(mapped.ScanLine(0)[0], 1);
    EXPECT_EQ(mapped.ScanLine(0)[1], 0);
    mapped.ScanLine(0)[1] = 9; // beyond the palette: black
    mapped.SetPixelFormat(TPixelFormat::pf24bit);
    EXPECT_EQ(Colors(mapped), (std::vector<TColorBGR>{{255, 0, 0}, {0, 0, 0}}));
}

TEST(Bitmap, AssignmentCopiesPixelsAndAPaletteOfItsOwn) {
    TBitmap a;
    a.SetPixelFormat(TPixelFormat::pf8bit);
    a.SetSize(3, 2);
    a.ScanLine(1)[2] = 1;
    a.SetPalette(PaletteOf({{1, 2, 3}, {4, 5, 6}}));
    TBitmap b;
    b.SetPalette(PaletteOf({{9, 9, 9}}));
    b.Assign(&a);
    ASSERT_NE(b.Palette(), nullptr);
    EXPECT_NE(b.Palette(), a.Palette());
    EXPECT_EQ(Colors(b), Colors(a));
    EXPECT_EQ(b.Canvas().Pixel(2, 1), (TColorBGR{4, 5, 6}));
    b.ScanLine(1)[2] = 0;
    EXPECT_EQ(a.ScanLine(1)[2], 1);
    b.Assign(&b);
    EXPECT_EQ(b.Width(), 3);

    TAlphaImage image;
    EXPECT_THROW(b.Assign(&image), EConvertError);
    EXPECT_THROW(b.Assign(nullptr), EConvertError);
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::pf8bit);
}

TEST(Bitmap, APaletteHandedOverIsReleasedWithItsBitmap) {
    TPaletteHandle first = PaletteOf({{1, 1, 1}});
    TPaletteHandle second = PaletteOf({{2, 2, 2}});
    {
        TBitmap b;
        b.SetPalette(first);
        b.SetPalette(first); // the same handle again is kept
        EXPECT_EQ(GetPaletteEntries(first, 0, 0, nullptr), 1u);
        b.SetPalette(second);
#if !defined(_WIN32)
        EXPECT_EQ(GetPaletteEntries(first, 0, 0, nullptr), 0u);
#endif
    }
#if !defined(_WIN32)
    EXPECT_FALSE(DeleteObject(second));
#endif
}

// ---- TCanvas ------------------------------------------------------------------------

TEST(Canvas, DrawingIsClippedToTheBitmap) {
    TBitmap source;
    NewColourBitmap(source, 3, 3);
    TBitmap target;
    target.SetPixelFormat(TPixelFormat::pf32bit);
    target.SetSize(4, 4);
    target.Canvas().Draw(-1, 2, &source);
    EXPECT_EQ(target.Canvas().Pixel(0, 2), source.Canvas().Pixel(1, 0));
    EXPECT_EQ(target.Canvas().Pixel(1, 3), source.Canvas().Pixel(2, 1));
    EXPECT_EQ(target.Canvas().Pixel(2, 2), TColorBGR{});
    EXPECT_EQ(target.Canvas().Pixel(9, 9), TColorBGR{});
    target.Canvas().SetPixel(4, 0, {1, 1, 1}); // outside: ignored
    target.Canvas().Draw(INT32_MAX, INT32_MIN, &source);
    target.Canvas().Draw(0, 0, nullptr);

    const std::vector<TColorBGR> before = Colors(source);
    source.Canvas().Draw(1, 1, &source); // onto itself: reads the old pixels
    EXPECT_EQ(source.Canvas().Pixel(2, 2), before[1 * 3 + 1]);
    EXPECT_EQ(source.Canvas().Pixel(1, 1), before[0]);
}

// ---- TBitmapPacket ----------------------------------------------------------------------

TEST(BitmapPacket, EveryFormatTravelsAndComesBack) {
    const TPixelFormat formats[] = {TPixelFormat::pf8bit, TPixelFormat::pf16bit,
                                    TPixelFormat::pf24bit, TPixelFormat::pf32bit};
    for (TPixelFormat format : formats) {
        TBitmap a;
        a.SetPixelFormat(format);
        a.SetSize(6, 2); // at least 6 bytes a row in every format
        for (int32_t y = 0; y < 2; ++y)
            for (int i = 0; i < 6; ++i)
                a.ScanLine(y)[i] = static_cast<uint8_t>(y * 50 + i * 9);
        if (format == TPixelFormat::pf8bit)
            a.SetPalette(PaletteOf({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}));
        TBitmapPacket packet;
        packet.Assign(&a);
        TBitmap b;
        b.Assign(&packet);
        EXPECT_EQ(b.PixelFormat(), format);
        EXPECT_EQ(Colors(b), Colors(a));
        for (int32_t y = 0; y < 2; ++y)
            EXPECT_EQ(Bytes(b.ScanLine(y), 6), Bytes(a.ScanLine(y), 6));
    }
    TBitmap empty;
    TBitmapPacket packet;
    packet.Assign(&empty);
    EXPECT_EQ(packet.Size(), 0);
    TBitmap b;
    b.SetSize(2, 2);
    b.Assign(&packet);
    EXPECT_TRUE(b.Empty());
}

TEST(BitmapPacket, TopDownRowsAreRead) {
    TBitmap a;
    NewColourBitmap(a, 2, 3);
    TBitmapPacket packet;
    packet.Assign(&a);
    std::vector<uint8_t> data(packet.Data(), packet.Data() + packet.Size());
    const int32_t minus3 = -3;
    std::memcpy(data.data() + 8, &minus3, 4); // same rows, now read from the top
    packet.SetData(data.data(), static_cast<int32_t>(data.size()));
    TBitmap b;
    b.Assign(&packet);
    EXPECT_EQ(b.Canvas().Pixel(1, 0), a.Canvas().Pixel(1, 2));
    EXPECT_EQ(b.Canvas().Pixel(0, 2), a.Canvas().Pixel(0, 0));
}

TEST(BitmapPacket, MalformedPacketsAreRefusedAndChangeNothing) {
    TBitmap a;
    a.SetPixelFormat(TPixelFormat::pf16bit);
    a.SetSize(3, 2);
    TBitmapPacket packet;
    packet.Assign(&a);
    const std::vector<uint8_t> good(packet.Data(), packet.Data() + packet.Size());

    TBitmap target;
    target.SetSize(1, 1);
    auto refused = [&](std::vector<uint8_t> data, const char* message) {
        packet.SetData(data.data(), static_cast<int32_t>(data.size()));
        try {
            target.Assign(&packet);
            ADD_FAILURE() << "accepted";
        } catch (const EInvalidGraphic& e) {
            EXPECT_STREQ(e.what(), message);
        }
        EXPECT_EQ(target.Width(), 1);
    };
    for (size_t n = 1; n < good.size(); ++n)
        refused({good.begin(), good.begin() + static_cast<ptrdiff_t>(n)},
                "Bitmap packet is truncated");
    auto with = [&](size_t at, uint32_t value, int bytes, std::vector<uint8_t> data = {}) {
        if (data.empty())
            data = good;
        for (int i = 0; i < bytes; ++i)
            data.at(at + size_t(i)) = static_cast<uint8_t>(value >> (8 * i));
        return data;
    };
    refused(with(0, 108, 4), "Unsupported bitmap packet");    // a later header version
    refused(with(12, 2, 2), "Invalid bitmap packet");         // planes
    refused(with(14, 4, 2), "Unsupported bitmap packet");     // 4 bits per pixel
    refused(with(16, 0, 4), "Unsupported bitmap packet");     // 16-bit as 5-5-5
    refused(with(44, 0x3E0, 4), "Unsupported bitmap packet"); // other masks
    refused(with(4, 0x7FFFFFFF, 4), "Invalid bitmap packet"); // nothing is allocated
    refused(with(8, 0x80000000u, 4), "Invalid bitmap packet");
    const std::vector<uint8_t> eight = with(16, 0, 4, with(14, 8, 2));
    refused(with(32, 257, 4, eight), "Invalid bitmap packet"); // colours
    EXPECT_THROW(packet.SetData(nullptr, -1), EInvalidGraphic);
}

// ---- gdi32 palettes ----------------------------------------------------------------------

TEST(Gdi32, PalettesKeepTheirEntriesUntilDeleted) {
    EXPECT_EQ(CreatePalette(nullptr), nullptr);
    TPaletteHandle palette = PaletteOf({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
    ASSERT_NE(palette, nullptr);
    EXPECT_EQ(GetPaletteEntries(palette, 0, 0, nullptr), 3u);
    PALETTEENTRY entries[4] = {};
    EXPECT_EQ(GetPaletteEntries(palette, 1, 4, entries), 2u);
    EXPECT_EQ(entries[0].peRed, 6);
    EXPECT_EQ(entries[1].peBlue, 7);
    EXPECT_EQ(GetPaletteEntries(palette, 3, 1, entries), 0u);
    EXPECT_TRUE(DeleteObject(palette));
#if !defined(_WIN32)
    EXPECT_FALSE(DeleteObject(palette));
    EXPECT_EQ(GetPaletteEntries(palette, 0, 1, entries), 0u);
    LOGPALETTE wrongVersion = {0x200, 1, {{1, 2, 3, 0}}};
    EXPECT_EQ(CreatePalette(&wrongVersion), nullptr);
#endif
}
