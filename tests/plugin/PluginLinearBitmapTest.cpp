// The host image adapter: it works in the host's memory, never releases it, and packs padded
// rows into a private copy.
#include "plugin/PluginLinearBitmap.h"
#include "rtl/Memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

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
