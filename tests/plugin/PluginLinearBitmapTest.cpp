// The host image adapter: it works in the host's memory, never releases it, and packs padded
// rows into a private copy.
#include "plugin/PluginLinearBitmap.h"
#include "math/FloatMap.h"
#include "math/MatrixMath.h"
#include "rtl/Graphics.h"
#include "rtl/Memory.h"
#include "stretch/StretchTransform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

using namespace vt;

namespace {

// Host memory that is not from the library's allocator: releasing it through the library
// would corrupt the block count and, under ASan, be reported as a bad free.
struct THostBuffer {
    explicit THostBuffer(size_t size) : Bytes(size) {
        std::iota(Bytes.begin(), Bytes.end(), uint8_t{1});
    }
    std::vector<uint8_t> Bytes;
};

std::string MessageOf(const THostImage& image) {
    try {
        TPluginLinearBitmap bitmap(&image);
    } catch (const Exception& e) {
        return e.Message;
    }
    return "(no exception)";
}

} // namespace

TEST(PluginLinearBitmap, PackedRowsStayInTheHostsMemory) {
    THostBuffer host(24);
    const long before = AllocatedBlocks();
    {
        THostImage image{4, 2, 12, 3, host.Bytes.data(), nullptr};
        TPluginLinearBitmap b(&image);
        EXPECT_EQ(b.Map, host.Bytes.data());
        EXPECT_EQ(b.HostMap, host.Bytes.data());
        EXPECT_EQ(b.PixelFormat, pf24bit);
        EXPECT_EQ(b.Size, 24);
        b.PackLines();
        EXPECT_EQ(b.Map, host.Bytes.data());
        EXPECT_EQ(AllocatedBlocks(), before);
    }
    EXPECT_EQ(AllocatedBlocks(), before);
}

TEST(PluginLinearBitmap, PaddedRowsMoveToAPrivateCopy) {
    THostBuffer host(32);
    const std::vector<uint8_t> original = host.Bytes;
    const long before = AllocatedBlocks();
    {
        THostImage image{5, 2, 16, 3, host.Bytes.data(), nullptr};
        TPluginLinearBitmap b(&image);
        EXPECT_EQ(b.Size, 32);
        b.PackLines();
        EXPECT_EQ(b.BytesPerLine, 15);
        EXPECT_EQ(b.Size, 30);
        EXPECT_NE(b.Map, host.Bytes.data());
        EXPECT_EQ(b.HostMap, nullptr);
        EXPECT_EQ(AllocatedBlocks(), before + 1);
        EXPECT_EQ(0, std::memcmp(b.Map, host.Bytes.data(), 15));
        EXPECT_EQ(0, std::memcmp(b.Map + 15, host.Bytes.data() + 16, 15));
        b.Map[30] = 0; // the 31st byte belongs to the private block
    }
    EXPECT_EQ(AllocatedBlocks(), before);
    EXPECT_EQ(host.Bytes, original);
}

TEST(PluginLinearBitmap, EightBitImagesBorrowOrCopyAPalette) {
    THostBuffer host(8);
    THostBuffer palette(768);
    const long before = AllocatedBlocks();
    {
        THostImage image{4, 2, 4, 1, host.Bytes.data(), nullptr};
        TPluginLinearBitmap b(&image);
        ASSERT_NE(b.Palette, nullptr);
        EXPECT_EQ(0, std::memcmp(b.Palette, GrayPalette, 768));
        EXPECT_EQ(AllocatedBlocks(), before + 1);
    }
    EXPECT_EQ(AllocatedBlocks(), before);
    {
        THostImage image{4, 2, 4, 1, host.Bytes.data(), palette.Bytes.data()};
        TPluginLinearBitmap b(&image);
        EXPECT_EQ(b.Palette, palette.Bytes.data());
        EXPECT_EQ(AllocatedBlocks(), before);
    }
    EXPECT_EQ(AllocatedBlocks(), before);
}

TEST(PluginLinearBitmap, RefusesBadRecordsBeforeTouchingMemory) {
    THostBuffer host(64);
    uint8_t* map = host.Bytes.data();
    EXPECT_EQ(MessageOf({4, 2, 8, 2, map, nullptr}), "Unsupported pixel format");
    EXPECT_EQ(MessageOf({0, 2, 8, 2, map, nullptr}), "Invalid bitmap size");
    EXPECT_EQ(MessageOf({4, 0, 12, 3, map, nullptr}), "Invalid bitmap size");
    EXPECT_EQ(MessageOf({4, 2, 12, 3, nullptr, nullptr}), "Invalid bitmap size");
    EXPECT_EQ(MessageOf({4, 2, 11, 3, map, nullptr}), "Invalid bitmap size");
    EXPECT_EQ(MessageOf({4, 2, -12, 3, map, nullptr}), "Invalid bitmap size");
    EXPECT_EQ(MessageOf({4, 2, 16, 4, map, nullptr}), "(no exception)");
    EXPECT_EQ(MessageOf({1 << 20, 1 << 11, 3 << 20, 3, map, nullptr}), "Invalid bitmap size");
}

TEST(PluginLinearBitmap, ASecondImageReplacesTheFirstByTheOwnershipRules) {
    THostBuffer first(8), second(12);
    const long before = AllocatedBlocks();
    THostImage gray{4, 2, 4, 1, first.Bytes.data(), nullptr};
    TPluginLinearBitmap b(&gray);
    EXPECT_EQ(AllocatedBlocks(), before + 1); // the grey palette copy
    THostImage color{2, 2, 6, 3, second.Bytes.data(), nullptr};
    b.AssignHostImage(&color);
    EXPECT_EQ(AllocatedBlocks(), before);
    EXPECT_EQ(b.Map, second.Bytes.data());
    EXPECT_EQ(b.Palette, nullptr);

    THostImage bad{2, 2, 6, 2, second.Bytes.data(), nullptr};
    EXPECT_THROW(b.AssignHostImage(&bad), ELinearBitmap);
    EXPECT_FALSE(b.Present);
    EXPECT_EQ(b.Map, nullptr);
}

TEST(PluginLinearBitmap, FailedAllocationsNeverReleaseHostMemory) {
    THostBuffer host(32);
    const long before = AllocatedBlocks();
    SetAllocFailHook([](size_t) { return true; });
    THostImage gray{4, 2, 4, 1, host.Bytes.data(), nullptr};
    EXPECT_THROW(TPluginLinearBitmap b(&gray), EOutOfMemory);
    THostImage padded{5, 2, 16, 3, host.Bytes.data(), nullptr};
    SetAllocFailHook(nullptr);
    TPluginLinearBitmap b(&padded);
    SetAllocFailHook([](size_t) { return true; });
    EXPECT_THROW(b.PackLines(), EOutOfMemory);
    SetAllocFailHook(nullptr);
    EXPECT_EQ(b.Map, host.Bytes.data()); // still wrapping, nothing lost
    EXPECT_EQ(b.BytesPerLine, 16);
    EXPECT_EQ(AllocatedBlocks(), before);
}

// ---- The library's other entry points on a wrapped image --------------------------------

namespace {

// A host image of 4 x 2 pixels of PixelSize bytes and Pad bytes after each row; an 8-bit one
// has a palette of the host's.
struct THostImageOf {
    THostImageOf(int32_t pixelSize, int32_t pad)
        : Pixels(static_cast<size_t>(2 * (4 * pixelSize + pad))), Palette(768) {
        void* palette = pixelSize == 1 ? Palette.Bytes.data() : nullptr;
        Image = {4, 2, 4 * pixelSize + pad, pixelSize, Pixels.Bytes.data(), palette};
    }
    THostBuffer Pixels, Palette;
    THostImage Image{};
};

// A packed bitmap whose byte i is 7i + 3.
void FillPacked(TLinearBitmap& b, int32_t w, int32_t h, uint8_t format) {
    b.New(w, h, format);
    for (int32_t i = 0; i < b.Size; ++i)
        b.Map[i] = static_cast<uint8_t>(7 * i + 3);
    if (b.Palette != nullptr)
        std::memcpy(b.Palette, GrayPalette, 768);
}

// Target's pixel bytes, row after row, are those of FillPacked.
void ExpectRows(const TLinearBitmap& b, int32_t w, int32_t h) {
    ASSERT_TRUE(b.Width == w && b.Height == h);
    const int32_t line = w * b.PixelSize;
    for (int32_t i = 0; i < line * h; ++i)
        ASSERT_EQ(b.ScanLine(i / line)[i % line], static_cast<uint8_t>(7 * i + 3)) << i;
}

// The ways a bitmap is given the image of another (the float map's only for its first
// Width x Height bytes, as 8-bit pixels; TransformBitmap only for 24-bit sources).
using TEntry = void (*)(TLinearBitmap& target, TLinearBitmap& source);
const std::pair<std::string, TEntry> Entries[] = {
    {"New",
     [](TLinearBitmap& t, TLinearBitmap& s) {
         t.New(s.Width, s.Height, s.PixelFormat);
         t.Assign(&s);
     }},
    {"Assign", [](TLinearBitmap& t, TLinearBitmap& s) { t.Assign(&s); }},
    {"TFloatMap.AssignTo",
     [](TLinearBitmap& t, TLinearBitmap& s) {
         TFloatMap map;
         map.Assign(&s);
         map.AssignTo(&t);
     }},
    {"device take-over",
     [](TLinearBitmap& t, TLinearBitmap& s) {
         TBitmap device;
         s.AssignTo(&device);
         t.Assign(&device);
     }},
    {"TransformBitmap",
     [](TLinearBitmap& t, TLinearBitmap& s) {
         TAffineTransform identity;
         IdentityTransform(identity);
         TransformBitmap(s, identity, &t);
     }},
};

} // namespace

TEST(PluginLinearBitmap, AnotherSizeOrFormatMovesToBlocksOfItsOwn) {
    for (const auto& [name, entry] : Entries)
        for (int32_t pixelSize : {1, 3})
            for (int32_t pad : {0, 5}) {
                SCOPED_TRACE(name + ", PixelSize " + std::to_string(pixelSize) + ", padding " +
                             std::to_string(pad));
                THostImageOf host(pixelSize, pad);
                const THostBuffer original = host.Pixels, originalPalette = host.Palette;
                const long before = AllocatedBlocks();
                {
                    TPluginLinearBitmap b(&host.Image);
                    const uint8_t other = pixelSize == 1 ? pf24bit : pf32bit;
                    for (auto [w, h, format] : {std::tuple{3, 3, b.PixelFormat}, {2, 5, other}}) {
                        if (name == "TransformBitmap" && format != pf24bit)
                            continue;
                        TLinearBitmap source;
                        FillPacked(source, w, h, format);
                        entry(b, source);
                        EXPECT_EQ(b.HostMap, nullptr);
                        EXPECT_EQ(b.HostPalette, nullptr) << "nor the host's palette";
                        ExpectRows(b, w, h);
                        b.Map[b.Size] = 0; // the spare byte of a block of its own
                    }
                }
                EXPECT_EQ(AllocatedBlocks(), before);
                EXPECT_EQ(host.Pixels.Bytes, original.Bytes);
                EXPECT_EQ(host.Palette.Bytes, originalPalette.Bytes);
            }
}

TEST(PluginLinearBitmap, TheSameSizeIsWrittenIntoTheHostsRowsAndNotTheirPadding) {
    for (const auto& [name, entry] : Entries)
        for (int32_t pixelSize : {1, 3}) {
            if ((name == "TransformBitmap" && pixelSize == 1) ||
                (name == "TFloatMap.AssignTo" && pixelSize == 3))
                continue;
            SCOPED_TRACE(name + ", PixelSize " + std::to_string(pixelSize));
            THostImageOf host(pixelSize, 5);
            const THostBuffer original = host.Pixels;
            TPluginLinearBitmap b(&host.Image);
            TLinearBitmap source;
            FillPacked(source, 4, 2, b.PixelFormat);
            entry(b, source);
            EXPECT_EQ(b.Map, host.Pixels.Bytes.data());
            ExpectRows(b, 4, 2);
            for (size_t i = 0; i < original.Bytes.size(); ++i) {
                if (i % static_cast<size_t>(b.BytesPerLine) >= static_cast<size_t>(4 * pixelSize)) {
                    EXPECT_EQ(host.Pixels.Bytes[i], original.Bytes[i]) << "padding byte " << i;
                }
            }
        }
}
