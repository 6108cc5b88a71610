// The linear bitmap: geometry, formats, ownership of buffers, packing and copying.
#include "image/LinarBitmap.h"
#include "rtl/Memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

using namespace vt;

namespace {

void ExpectEmpty(const TLinearBitmap& b) {
    EXPECT_FALSE(b.Present);
    EXPECT_EQ(b.Map, nullptr);
    EXPECT_EQ(b.Palette, nullptr);
    EXPECT_EQ(b.Width, 0);
    EXPECT_EQ(b.Height, 0);
    EXPECT_EQ(b.Size, 0);
    EXPECT_EQ(b.PixelSize, 0);
    EXPECT_EQ(b.PixelFormat, pfNone);
}

void ExpectRaises(TLinearBitmap& b, int32_t w, int32_t h, uint8_t f, const char* message) {
    try {
        b.New(w, h, f);
        ADD_FAILURE() << "New(" << w << ", " << h << ", " << int(f) << ") did not raise";
    } catch (const ELinearBitmap& e) {
        EXPECT_STREQ(e.what(), message);
    }
}

// A bitmap whose rows are padded, as a subclass wrapping foreign memory has them.
class TPaddedBitmap : public TLinearBitmap {
public:
    TPaddedBitmap(int32_t w, int32_t h, int32_t bytesPerLine) {
        New(w, h * bytesPerLine, pf8bit); // borrow a big enough block, then reshape it
        FreeMem(Palette);
        Palette = nullptr;
        PixelFormat = pf24bit;
        PixelSize = 3;
        Width = w;
        Height = h;
        BytesPerLine = bytesPerLine;
        Size = bytesPerLine * h;
        for (int32_t i = 0; i < Size; ++i)
            Map[i] = static_cast<uint8_t>(i * 7 + 1);
    }
};

} // namespace

TEST(LinearBitmap, StartsEmpty) {
    TLinearBitmap b;
    ExpectEmpty(b);
    EXPECT_STREQ(b.ClassName(), "TLinearBitmap");
}

TEST(LinearBitmap, NewGivesPackedRowsAndASpareByte) {
    TLinearBitmap b;
    const long before = AllocatedBlocks();
    b.New(5, 5, pf24bit);
    EXPECT_TRUE(b.Present);
    EXPECT_EQ(b.BytesPerLine, 15);
    EXPECT_EQ(b.PixelSize, 3);
    EXPECT_EQ(b.Size, 75);
    EXPECT_EQ(b.Palette, nullptr);
    EXPECT_EQ(AllocatedBlocks(), before + 1);
    b.Map[75] = 0xAB; // the spare byte is part of the block (ASan would object otherwise)

    b.Map[0] = 42;
    uint8_t* map = b.Map;
    b.New(5, 5, pf24bit);
    EXPECT_EQ(b.Map, map) << "an unchanged geometry keeps the buffer";
    EXPECT_EQ(b.Map[0], 42);

    b.New(3, 2, pf16bit);
    EXPECT_EQ(b.PixelSize, 2);
    EXPECT_EQ(b.BytesPerLine, 6);
    b.New(2, 2, pf32bit);
    EXPECT_EQ(b.BytesPerLine, 8);
    EXPECT_EQ(b.Size, 16);
}

TEST(LinearBitmap, NewChecksTheFormatBeforeTheSize) {
    TLinearBitmap b;
    b.New(2, 2, pf24bit);
    uint8_t* map = b.Map;
    ExpectRaises(b, 0, 5, pf24bit, "Invalid bitmap size");
    ExpectRaises(b, 5, 5, 4, "Unsupported pixel format");
    ExpectRaises(b, 0, 0, 4, "Unsupported pixel format");
    ExpectRaises(b, 5, -1, pf8bit, "Invalid bitmap size");
    for (uint8_t f : {uint8_t{0}, uint8_t{1}, uint8_t{2}, uint8_t{pfNone}, uint8_t{255}})
        ExpectRaises(b, 1, 1, f, "Unsupported pixel format");
    EXPECT_EQ(b.Map, map);
    EXPECT_EQ(b.Width, 2);
    EXPECT_EQ(b.PixelFormat, pf24bit);
}

TEST(LinearBitmap, NewRefusesSizesBeyondTwoGigabytes) {
    TLinearBitmap b;
    ExpectRaises(b, 65536, 32768, pf24bit, "Invalid bitmap size");
    ExpectRaises(b, INT32_MAX, 2, pf8bit, "Invalid bitmap size");
    ExpectRaises(b, 1 << 30, 1, pf32bit, "Invalid bitmap size");
    ExpectEmpty(b);
}

TEST(LinearBitmap, PaletteFollowsTheFormat) {
    TLinearBitmap b;
    b.New(4, 4, pf8bit);
    ASSERT_NE(b.Palette, nullptr);
    std::memset(b.Palette, 0x5A, 768);
    uint8_t* palette = b.Palette;
    b.New(8, 2, pf8bit);
    EXPECT_EQ(b.Palette, palette) << "an existing palette is kept";
    EXPECT_EQ(b.Palette[767], 0x5A);
    b.New(8, 2, pf24bit);
    EXPECT_EQ(b.Palette, nullptr);
    b.New(8, 2, pf8bit);
    EXPECT_NE(b.Palette, nullptr);
}

TEST(LinearBitmap, DisposeReturnsToEmpty) {
    TLinearBitmap b;
    b.Dispose();
    ExpectEmpty(b);
    const long before = AllocatedBlocks();
    b.New(3, 3, pf8bit);
    b.Dispose();
    ExpectEmpty(b);
    EXPECT_EQ(AllocatedBlocks(), before);
}

TEST(LinearBitmap, ScanLineAddressesRowsFromTheTop) {
    TLinearBitmap b;
    b.New(4, 3, pf32bit);
    EXPECT_EQ(b.ScanLine(0), b.Map);
    EXPECT_EQ(b.ScanLine(2), b.Map + 32);
}

TEST(LinearBitmap, PackLinesDropsPaddingAndKeepsPixels) {
    TPaddedBitmap b(5, 2, 16);
    std::vector<uint8_t> expected;
    for (int y = 0; y < 2; ++y)
        expected.insert(expected.end(), b.ScanLine(y), b.ScanLine(y) + 15);
    b.PackLines();
    EXPECT_EQ(b.BytesPerLine, 15);
    EXPECT_EQ(b.Size, 30);
    EXPECT_EQ(std::vector<uint8_t>(b.Map, b.Map + 30), expected);

    uint8_t* map = b.Map;
    b.PackLines();
    EXPECT_EQ(b.Map, map) << "packed rows are left alone";
}

TEST(LinearBitmap, AssignCopiesPixelsAndPalette) {
    TLinearBitmap source;
    source.New(3, 2, pf8bit);
    std::iota(source.Map, source.Map + source.Size, uint8_t{10});
    std::iota(source.Palette, source.Palette + 768, uint8_t{0});
    TLinearBitmap copy;
    copy.Assign(&source);
    EXPECT_EQ(copy.Width, 3);
    EXPECT_EQ(copy.PixelFormat, pf8bit);
    EXPECT_NE(copy.Map, source.Map);
    EXPECT_EQ(0, std::memcmp(copy.Map, source.Map, 6));
    EXPECT_EQ(0, std::memcmp(copy.Palette, source.Palette, 768));

    copy.Assign(&copy);
    EXPECT_EQ(0, std::memcmp(copy.Map, source.Map, 6)) << "self-assignment changes nothing";

    TLinearBitmap empty;
    copy.Assign(&empty);
    ExpectEmpty(copy);
}

TEST(LinearBitmap, AssignFromPaddedRowsGivesAPackedCopy) {
    TPaddedBitmap source(5, 2, 16);
    TLinearBitmap copy;
    copy.Assign(&source);
    EXPECT_EQ(copy.BytesPerLine, 15);
    for (int y = 0; y < 2; ++y)
        EXPECT_EQ(0, std::memcmp(copy.ScanLine(y), source.ScanLine(y), 15));
}

TEST(LinearBitmap, FailedAllocationsLeaveTheBitmapAsItWas) {
    TLinearBitmap b;
    b.New(2, 2, pf24bit);
    b.Map[0] = 9;
    uint8_t* map = b.Map;
    SetAllocFailHook([](size_t) { return true; });
    EXPECT_THROW(b.New(4, 4, pf8bit), EOutOfMemory);
    SetAllocFailHook(nullptr);
    EXPECT_EQ(b.Map, map);
    EXPECT_EQ(b.Map[0], 9);
    EXPECT_EQ(b.Width, 2);
    EXPECT_EQ(b.Palette, nullptr);

    // The palette is the second block: failing it must release the first.
    const long before = AllocatedBlocks();
    static int calls;
    calls = 0;
    SetAllocFailHook([](size_t) { return ++calls == 2; });
    EXPECT_THROW(b.New(4, 4, pf8bit), EOutOfMemory);
    SetAllocFailHook(nullptr);
    EXPECT_EQ(AllocatedBlocks(), before);
    EXPECT_EQ(b.Map, map);

    TPaddedBitmap padded(5, 2, 16);
    uint8_t* paddedMap = padded.Map;
    SetAllocFailHook([](size_t) { return true; });
    EXPECT_THROW(padded.PackLines(), EOutOfMemory);
    SetAllocFailHook(nullptr);
    EXPECT_EQ(padded.Map, paddedMap);
    EXPECT_EQ(padded.BytesPerLine, 16);
}

TEST(GrayPalette, EntryIHoldsIThreeTimes) {
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(GrayPalette[3 * i], i);
        EXPECT_EQ(GrayPalette[3 * i + 1], i);
        EXPECT_EQ(GrayPalette[3 * i + 2], i);
    }
}
