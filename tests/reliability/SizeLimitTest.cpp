// Records beyond the 32-bit size limits: refused with "Invalid bitmap size" before a byte of
// the host's memory is touched, while a record just within them is taken over as it is.
#include "platform/Win32.h"
#include "plugin/PluginLinearBitmap.h"
#include "rtl/Memory.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace vt;

namespace {

// A host buffer of 16 bytes: far too small for any of the records below, so that a touch
// beyond it is seen by the sanitizers and a touch within it by the comparison.
struct TTinyHost {
    TTinyHost() { std::memset(Bytes.get(), 0xA5, 16); }
    bool Untouched() const {
        for (size_t i = 0; i < 16; ++i)
            if (Bytes[i] != 0xA5)
                return false;
        return true;
    }
    std::unique_ptr<uint8_t[]> Bytes{new uint8_t[16]};
};

struct TRecord {
    const char* What;
    int32_t Width, Height, BytesPerLine;
};

const TRecord Beyond[] = {
    {"50000 x 50000 pixels (7.5 GB)", 50000, 50000, 150000},
    {"a row product that wraps to a negative 32-bit number", 21846, 32768, 65538},
    {"a product of exactly 2 GiB", 1, 1 << 30, 2},
    {"a width whose row length overflows", 0x2AAAAAAB, 1, 12},
    {"the most rows there can be", 1, INT32_MAX, 3},
};

} // namespace

TEST(SizeLimits, RecordsBeyond2GiBAreRefusedUntouched) {
    for (const TRecord& record : Beyond) {
        SCOPED_TRACE(record.What);
        TTinyHost host;
        THostImage image{record.Width,     record.Height, record.BytesPerLine, 3,
                         host.Bytes.get(), nullptr};
        const long blocks = AllocatedBlocks();
        try {
            TPluginLinearBitmap bitmap(&image);
            ADD_FAILURE() << "accepted";
        } catch (const ELinearBitmap& e) {
            EXPECT_EQ(e.Message, "Invalid bitmap size");
        }
        EXPECT_TRUE(host.Untouched());
        EXPECT_EQ(AllocatedBlocks(), blocks);
    }
}

TEST(SizeLimits, ARecordJustWithinIsTakenOverWithoutTouchingIt) {
    // 7 x 306783378 = 2147483646 bytes: addressable with 32-bit sizes, so the adapter wraps it
    // (it copies nothing and checks no memory), and releasing it frees nothing of the host's.
    TTinyHost host;
    THostImage image{2, 306783378, 7, 3, host.Bytes.get(), nullptr};
    const long blocks = AllocatedBlocks();
    {
        TPluginLinearBitmap bitmap(&image);
        EXPECT_EQ(bitmap.Size, 2147483646);
        EXPECT_EQ(bitmap.Map, host.Bytes.get());
    }
    EXPECT_TRUE(host.Untouched());
    EXPECT_EQ(AllocatedBlocks(), blocks);
}

TEST(SizeLimits, ContainersRefuseBuffersBeyond2GiBAndStayAsTheyWere) {
    TLinearBitmap bitmap;
    bitmap.New(2, 2, pf24bit);
    uint8_t* const map = bitmap.Map;
    const struct {
        int32_t Width, Height;
        uint8_t Format;
    } sizes[] = {{46341, 46341, pf8bit}, {INT32_MAX / 3 + 1, 1, pf24bit}, {1, INT32_MAX, pf16bit}};
    for (const auto& [width, height, format] : sizes) {
        try {
            bitmap.New(width, height, format);
            ADD_FAILURE() << width << " x " << height << " accepted";
        } catch (const ELinearBitmap& e) {
            EXPECT_EQ(e.Message, "Invalid bitmap size");
        }
        EXPECT_EQ(bitmap.Map, map);
        EXPECT_EQ(bitmap.Width, 2);
    }
}

#if !defined(_WIN32)
TEST(SizeLimits, ProcessImageRefusesThemAtTheBoundary) {
    static std::vector<std::string> boxes;
    VtSetMessageBoxHandler(
        [](void*, HWND, LPCSTR text, LPCSTR, UINT type) {
            boxes.emplace_back(text);
            return (type & 0x0Fu) == MB_YESNOCANCEL ? IDYES : IDOK;
        },
        nullptr);
    RegisterPlugin([](int32_t, void*) -> int32_t { return 0; });
    for (const TRecord& record : Beyond) {
        SCOPED_TRACE(record.What);
        boxes.clear();
        TTinyHost host;
        THostImage image{record.Width,     record.Height, record.BytesPerLine, 3,
                         host.Bytes.get(), nullptr};
        EXPECT_EQ(ProcessImage(1, &image), VT_NOT_DONE);
        EXPECT_EQ(boxes,
                  (std::vector<std::string>{"Allow offset components?", "Invalid bitmap size"}));
        EXPECT_TRUE(host.Untouched());
    }
    VtSetMessageBoxHandler(nullptr, nullptr);
}
#endif
