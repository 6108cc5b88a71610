// Linear bitmaps to and from device bitmaps, graphics and other persistent objects: formats,
// palettes, empty images, refusals and what is left behind when something fails.
#include "image/LinarBitmap.h"
#include "platform/Win32.h"
#include "rtl/Graphics.h"
#include "rtl/Memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

using namespace vt;

namespace {

std::vector<uint8_t> Bytes(const uint8_t* p, size_t n) {
    return {p, p + n};
}

// Fills every pixel byte of the device bitmap with a pattern that differs per row.
void Fill(TBitmap& b, int seed) {
    const int32_t bytes = b.Width() * (b.PixelFormat() == TPixelFormat::pf8bit    ? 1
                                       : b.PixelFormat() == TPixelFormat::pf16bit ? 2
                                       : b.PixelFormat() == TPixelFormat::pf24bit ? 3
                                                                                  : 4);
    for (int32_t y = 0; y < b.Height(); ++y)
        for (int32_t i = 0; i < bytes; ++i)
            b.ScanLine(y)[i] = static_cast<uint8_t>(seed + 31 * y + 7 * i);
}

void Fill(TLinearBitmap& b, int seed) {
    for (int32_t y = 0; y < b.Height; ++y)
        for (int32_t i = 0; i < b.Width * b.PixelSize; ++i)
            b.ScanLine(y)[i] = static_cast<uint8_t>(seed + 13 * y + 5 * i);
    if (b.Palette != nullptr)
        for (int i = 0; i < 768; ++i)
            b.Palette[i] = static_cast<uint8_t>(255 - i);
}

std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& e) {
        return e.Message;
    }
    return "(no exception)";
}

// A linear bitmap with padded rows, as a subclass over foreign memory has them.
class TPaddedBitmap : public TLinearBitmap {
public:
    TPaddedBitmap(int32_t w, int32_t h, uint8_t format, int32_t padding) {
        New(w, h, format);
        const int32_t line = w * PixelSize + padding;
        auto* map = static_cast<uint8_t*>(GetMem(static_cast<size_t>(line * h)));
        std::memset(map, 0xEE, static_cast<size_t>(line * h));
        FreeMem(Map);
        Map = map;
        BytesPerLine = line;
        Size = line * h;
    }
};

// A graphic that the runtime turns into a bitmap of the given format by assignment, or that
// fails to with the given error; drawn, it paints every pixel one colour.
class TTestGraphic : public TGraphic {
public:
    VT_CLASS_NAME(TTestGraphic)
    TTestGraphic(int32_t w, int32_t h, TPixelFormat format, bool fails)
        : W(w), H(h), Format(format), Fails(fails) {}
    int32_t Width() const override { return W; }
    int32_t Height() const override { return H; }

protected:
    void AssignTo(TPersistent* Dest) override {
        auto* bitmap = dynamic_cast<TBitmap*>(Dest);
        if (bitmap == nullptr || Fails)
            throw EInvalidGraphic("cannot render into a bitmap");
        bitmap->SetPixelFormat(Format);
        bitmap->SetSize(W, H);
        Fill(*bitmap, 1);
    }
    void Draw(TCanvas& canvas, int32_t x, int32_t y) const override {
        for (int32_t j = 0; j < H; ++j)
            for (int32_t i = 0; i < W; ++i)
                canvas.SetPixel(x + i, y + j, {10, 20, 30});
    }

private:
    int32_t W, H;
    TPixelFormat Format;
    bool Fails;
};

} // namespace

// ---- Take-over and Write ---------------------------------------------------------------

TEST(DeviceBitmap, EveryFormatRoundTripsWithoutTheAlignmentBytes) {
    // Width 3 gives padded device rows; height 1 has no second row to measure.
    for (uint8_t format : {pf8bit, pf16bit, pf24bit, pf32bit}) {
        for (auto [w, h] : {std::pair{3, 2}, std::pair{1, 1}}) {
            SCOPED_TRACE(testing::Message() << int(format) << " " << w << "x" << h);
            TLinearBitmap linear;
            linear.New(w, h, format);
            Fill(linear, format + w);
            TBitmap device;
            linear.AssignTo(&device);
            TLinearBitmap back;
            back.Assign(&device);
            ASSERT_EQ(back.Width, w);
            ASSERT_EQ(back.Height, h);
            // 16-bit grey is written as 8-bit grey: each pixel the high byte of its level.
            const bool grey = format == pf16bit;
            ASSERT_EQ(back.PixelFormat, grey ? uint8_t{pf8bit} : format);
            EXPECT_EQ(back.BytesPerLine, w * back.PixelSize);
            for (int32_t y = 0; y < h; ++y)
                for (int32_t i = 0; i < back.BytesPerLine; ++i)
                    EXPECT_EQ(back.ScanLine(y)[i], linear.ScanLine(y)[grey ? 2 * i + 1 : i]);
            if (back.PixelFormat == pf8bit) {
                EXPECT_EQ(Bytes(back.Palette, 768),
                          Bytes(grey ? GrayPalette : linear.Palette, 768));
            }
        }
    }
}

TEST(DeviceBitmap, AGreyLevelIsWrittenAsItsHighByteWithAGreyPalette) {
    TLinearBitmap linear;
    linear.New(2, 1, pf16bit);
    const uint8_t levels[4] = {0x34, 0x12, 0xFF, 0x00}; // 0x1234, 0x00FF
    std::memcpy(linear.Map, levels, 4);
    TBitmap device;
    linear.AssignTo(&device);
    ASSERT_EQ(device.PixelFormat(), TPixelFormat::pf8bit);
    EXPECT_EQ(device.ScanLine(0)[0], 0x12);
    EXPECT_EQ(device.ScanLine(0)[1], 0x00);
    PALETTEENTRY entries[256];
    ASSERT_EQ(GetPaletteEntries(device.Palette(), 0, 256, entries), 256u);
    for (int i = 0; i < 256; ++i) {
        const PALETTEENTRY& e = entries[i];
        EXPECT_TRUE(e.peRed == i && e.peGreen == i && e.peBlue == i && e.peFlags == PC_RESERVED);
    }
}

TEST(DeviceBitmap, An8BitPaletteArrivesPaddedWithBlackOrAsGrey) {
    TBitmap device;
    device.SetPixelFormat(TPixelFormat::pf8bit);
    device.SetSize(2, 2);
    TLinearBitmap linear;
    linear.Assign(&device); // no palette handle
    ASSERT_EQ(linear.PixelFormat, pf8bit);
    EXPECT_EQ(Bytes(linear.Palette, 768), Bytes(GrayPalette, 768));

    uint8_t sixteen[768] = {};
    for (int i = 0; i < 48; ++i)
        sixteen[i] = static_cast<uint8_t>(100 + i);
    device.SetPalette(MakeDevicePalette(sixteen, 16));
    linear.Assign(&device);
    EXPECT_EQ(Bytes(linear.Palette, 48), Bytes(sixteen, 48));
    EXPECT_EQ(Bytes(linear.Palette + 48, 720), std::vector<uint8_t>(720, 0));
}

TEST(DeviceBitmap, A16BitDeviceBitmapArrivesAs24Bit) {
    TBitmap device;
    device.SetPixelFormat(TPixelFormat::pf16bit);
    device.SetSize(4, 1);
    const uint8_t pixels[8] = {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0x10, 0x84};
    std::memcpy(device.ScanLine(0), pixels, 8);
    TLinearBitmap linear;
    linear.Assign(&device);
    ASSERT_EQ(linear.PixelFormat, pf24bit);
    // Each channel widened by repeating its top bits: 5 bits 16 -> 132, 6 bits 32 -> 130.
    const std::vector<uint8_t> expected = {0, 0, 255, 0, 255, 0, 255, 0, 0, 132, 130, 132};
    EXPECT_EQ(Bytes(linear.Map, 12), expected);
}

TEST(DeviceBitmap, EmptyImagesOnEitherSide) {
    TBitmap device;
    device.SetSize(2, 2);
    Fill(device, 9);
    const std::vector<uint8_t> row0 = Bytes(device.ScanLine(0), 6);
    TLinearBitmap empty;
    empty.AssignTo(&device); // leaves the device bitmap alone
    EXPECT_EQ(device.Width(), 2);
    EXPECT_EQ(Bytes(device.ScanLine(0), 6), row0);

    TLinearBitmap linear;
    for (auto [w, h] : {std::pair{0, 3}, std::pair{3, 0}}) {
        linear.New(2, 2, pf8bit);
        device.SetSize(w, h);
        linear.Assign(&device);
        EXPECT_FALSE(linear.Present);
        EXPECT_EQ(linear.PixelFormat, pfNone);
    }
}

// ---- Graphics and other persistent sources -----------------------------------------------

TEST(DeviceBitmap, AGraphicABitmapCannotTakeIsDrawn) {
    TAlphaImage image;
    image.SetSize(3, 1);
    const uint8_t pixels[12] = {10, 20, 30, 255, 200, 100, 50, 0, 200, 100, 50, 128};
    std::memcpy(image.ScanLine(0), pixels, 12);
    TLinearBitmap linear;
    linear.Assign(&image);
    ASSERT_EQ(linear.PixelFormat, pf24bit);
    // Opaque, transparent (over black), half covered: (200 x 128 + 127) / 255 = 100.
    const std::vector<uint8_t> expected = {10, 20, 30, 0, 0, 0, 100, 50, 25};
    EXPECT_EQ(Bytes(linear.Map, 9), expected);

    TTestGraphic failing(2, 2, TPixelFormat::pf32bit, true); // any refusal is drawn over
    linear.Assign(&failing);
    EXPECT_EQ(linear.PixelFormat, pf24bit);
    EXPECT_EQ(Bytes(linear.ScanLine(1) + 3, 3), (std::vector<uint8_t>{10, 20, 30}));
}

TEST(DeviceBitmap, AGraphicKeeps32BitWhileAPersistentSourceGets24Bit) {
    TTestGraphic graphic(2, 2, TPixelFormat::pf32bit, false);
    TLinearBitmap linear;
    linear.Assign(&graphic);
    EXPECT_EQ(linear.PixelFormat, pf32bit);
    TTestGraphic sixteen(2, 2, TPixelFormat::pf16bit, false);
    linear.Assign(&sixteen);
    EXPECT_EQ(linear.PixelFormat, pf24bit);

    TBitmap device;
    device.SetPixelFormat(TPixelFormat::pf32bit);
    device.SetSize(2, 1);
    Fill(device, 3);
    TBitmapPacket packet;
    packet.Assign(&device);
    linear.Assign(&packet);
    ASSERT_EQ(linear.PixelFormat, pf24bit);
    EXPECT_EQ(Bytes(linear.Map, 3), Bytes(device.ScanLine(0), 3));
    EXPECT_EQ(Bytes(linear.Map + 3, 3), Bytes(device.ScanLine(0) + 4, 3));
}

TEST(DeviceBitmap, ARefusedPersistentSourceLeavesTheBitmapAlone) {
    TLinearBitmap linear;
    linear.New(2, 2, pf24bit);
    Fill(linear, 5);
    const std::vector<uint8_t> before = Bytes(linear.Map, 12);
    TBitmap device;
    EXPECT_EQ(MessageOf([&] { linear.Assign(&device.Canvas()); }),
              "Cannot assign TCanvas to TBitmap");
    TBitmapPacket packet;
    const uint8_t junk[10] = {};
    packet.SetData(junk, 10);
    EXPECT_EQ(MessageOf([&] { linear.Assign(&packet); }), "Bitmap packet is truncated");
    EXPECT_EQ(linear.Width, 2);
    EXPECT_EQ(Bytes(linear.Map, 12), before);
}

// ---- CopyToBitmap ---------------------------------------------------------------------

TEST(DeviceBitmap, PaddedRowsAreCopiedWithoutTheirPadding) {
    TPaddedBitmap padded(3, 3, pf24bit, 5);
    Fill(padded, 17);
    TBitmap device;
    padded.AssignTo(&device);
    EXPECT_EQ(padded.BytesPerLine, 14); // written row by row, the source is not touched
    for (int32_t y = 0; y < 3; ++y)
        EXPECT_EQ(Bytes(device.ScanLine(y), 9), Bytes(padded.ScanLine(y), 9));

    Fill(device, 60); // taken over by the same geometry: only the pixel bytes of each row
    padded.Assign(&device);
    for (int32_t y = 0; y < 3; ++y) {
        EXPECT_EQ(Bytes(padded.ScanLine(y), 9), Bytes(device.ScanLine(y), 9));
        EXPECT_EQ(padded.ScanLine(y)[9], 0xEE);
    }
}

TEST(DeviceBitmap, CopyToBitmapRefusesPairsAndSizesItCannotServe) {
    TLinearBitmap linear;
    linear.New(4, 3, pf8bit);
    Fill(linear, 1);
    TBitmap device;
    device.SetPixelFormat(TPixelFormat::pf24bit);
    device.SetSize(4, 3);
    linear.CopyToBitmap(device); // 8-bit into 24-bit goes through the palette
    EXPECT_EQ(Bytes(device.ScanLine(2) + 9, 3),
              Bytes(linear.Palette + 3 * linear.ScanLine(2)[3], 3));

    linear.New(4, 3, pf24bit);
    device.SetPixelFormat(TPixelFormat::pf8bit);
    EXPECT_EQ(MessageOf([&] { linear.CopyToBitmap(device); }), "Unsupported pixel format");
    linear.New(4, 3, pf16bit);
    device.SetPixelFormat(TPixelFormat::pf16bit); // the same code, but colour there
    EXPECT_EQ(MessageOf([&] { linear.CopyToBitmap(device); }), "Unsupported pixel format");
    device.SetPixelFormat(TPixelFormat::pf8bit);
    device.SetSize(3, 3); // rows shorter than the linear bitmap's
    EXPECT_EQ(MessageOf([&] { linear.CopyToBitmap(device); }), "Invalid bitmap size");
    device.SetSize(4, 2);
    EXPECT_EQ(MessageOf([&] { linear.CopyToBitmap(device); }), "Invalid bitmap size");
    device.SetSize(5, 4); // larger is fine: the image lands top left
    Fill(linear, 3);
    linear.CopyToBitmap(device);
    EXPECT_EQ(device.ScanLine(2)[3], linear.ScanLine(2)[7]);
    EXPECT_EQ(device.ScanLine(3)[4], 0);
}

// ---- Device palettes --------------------------------------------------------------------

TEST(DevicePalette, MakeAndReadAreInverse) {
    uint8_t palette[768], back[768];
    for (int i = 0; i < 768; ++i)
        palette[i] = static_cast<uint8_t>(i * 11);
    TPaletteHandle handle = MakeDevicePalette(palette, 256);
    ReadDevicePalette(handle, 256, back);
    EXPECT_EQ(Bytes(back, 768), Bytes(palette, 768));
    ReadDevicePalette(handle, 2, back); // entries beyond the count asked for are black
    EXPECT_EQ(Bytes(back, 6), Bytes(palette, 6));
    EXPECT_EQ(Bytes(back + 6, 762), std::vector<uint8_t>(762, 0));
    EXPECT_TRUE(DeleteObject(handle));
    EXPECT_THROW(MakeDevicePalette(palette, 0), Exception);
    EXPECT_THROW(MakeDevicePalette(palette, 257), Exception);
#if !defined(_WIN32)
    ReadDevicePalette(handle, 256, back); // released: gdi32 copies nothing
    EXPECT_EQ(Bytes(back, 768), std::vector<uint8_t>(768, 0));
#endif
}

// ---- Resources --------------------------------------------------------------------------

namespace {
int FailAt = -1;
bool FailNth(size_t) {
    return FailAt-- == 0;
}
} // namespace

TEST(DeviceBitmap, EveryAllocationFailureLeavesBothSidesIntactAndNothingBehind) {
    TBitmap device;
    device.SetPixelFormat(TPixelFormat::pf8bit);
    device.SetSize(5, 3);
    Fill(device, 4);
    TBitmapPacket packet;
    packet.Assign(&device);
    TAlphaImage image;
    image.SetSize(2, 2);

    const std::vector<std::function<void(TLinearBitmap&)>> actions = {
        [&](TLinearBitmap& b) { b.Assign(&device); },
        [&](TLinearBitmap& b) { b.Assign(&packet); },
        [&](TLinearBitmap& b) { b.Assign(&image); },
        [&](TLinearBitmap& b) {
            TBitmap out;
            b.AssignTo(&out);
        },
    };
    for (size_t a = 0; a < actions.size(); ++a) {
        for (int n = 0;; ++n) {
            SCOPED_TRACE(testing::Message() << "action " << a << ", allocation " << n);
            const long blocks = AllocatedBlocks();
            bool failed = false;
            {
                TLinearBitmap linear;
                linear.New(2, 2, pf32bit);
                Fill(linear, 8);
                const std::vector<uint8_t> before = Bytes(linear.Map, 16);
                FailAt = n;
                SetAllocFailHook(FailNth);
                try {
                    actions[a](linear);
                } catch (const EOutOfMemory&) {
                    failed = true;
                }
                SetAllocFailHook(nullptr);
                if (failed) {
                    ASSERT_EQ(linear.PixelFormat, pf32bit);
                    EXPECT_EQ(Bytes(linear.Map, 16), before);
                }
            }
            EXPECT_EQ(AllocatedBlocks(), blocks);
            if (!failed)
                break;
        }
    }
}
