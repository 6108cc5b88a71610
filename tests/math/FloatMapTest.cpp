// Float maps and matrices: shapes and storage, conversions to and from linear bitmaps, and the
// matrix operations.
#include "math/FloatMap.h"
#include "rtl/Memory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

using namespace vt;

namespace {

void ExpectShape(const TFloatMap& m, int32_t width, int32_t height) {
    EXPECT_EQ(m.Width, width);
    EXPECT_EQ(m.Height, height);
    EXPECT_EQ(m.Count, width * height);
    EXPECT_EQ(m.BytesPerLine, width * 8);
    EXPECT_EQ(m.Size, width * height * 8);
    EXPECT_EQ(m.Map == nullptr, width * height == 0);
}

bool FailEverything(size_t) {
    return true;
}

// A container that no float map knows how to copy.
class TForeign : public TAssignObject {
public:
    VT_CLASS_NAME(TForeign)
};

} // namespace

TEST(FloatMap, ShapesAndElementLayout) {
    TMatrix m;
    ExpectShape(m, 0, 0);
    EXPECT_STREQ(m.ClassName(), "TMatrix");
    m.SetSize(3, 1); // three rows, one column
    ExpectShape(m, 1, 3);
    for (int i = 0; i < 3; ++i)
        m.Map[i] = i + 10;
    EXPECT_EQ(m.GetElement(2, 1), 11);
    TMatrix r(2, 3);
    r.SetElement(2, 1, 7.5);
    EXPECT_EQ(r.Map[3], 7.5);

    double* storage = m.Map;
    m.New(1, 3); // same shape: storage and contents stay
    EXPECT_EQ(m.Map, storage);
    EXPECT_EQ(m.Map[2], 12);
    m.New(0, 4);
    ExpectShape(m, 0, 4);
    m.Dispose();
    ExpectShape(m, 0, 0);
}

TEST(FloatMap, RefusedSizesAndFailedAllocationsLeaveTheMapAsItWas) {
    TFloatMap m;
    m.New(2, 2);
    m.Map[3] = 42;
    const long blocks = AllocatedBlocks();
    for (auto [w, h] :
         {std::pair{-1, 2}, {2, -1}, {0, -3}, {65536, 4096}, {INT32_MAX, INT32_MAX}}) {
        try {
            m.New(w, h);
            ADD_FAILURE() << "New(" << w << ", " << h << ") was accepted";
        } catch (const EFloatMap& e) {
            EXPECT_STREQ(e.what(), "Invalid float map size");
        }
    }
    SetAllocFailHook(FailEverything);
    EXPECT_THROW(m.New(3, 3), EOutOfMemory);
    SetAllocFailHook(nullptr);
    ExpectShape(m, 2, 2);
    EXPECT_EQ(m.Map[3], 42);
    EXPECT_EQ(AllocatedBlocks(), blocks);
}

TEST(FloatMap, AssignCopiesFloatMapsAndBitmapBytes) {
    TMatrix source(2, 3);
    for (int i = 0; i < 6; ++i)
        source.Map[i] = i * 1.5;
    TFloatMap copy;
    copy.Assign(&source);
    ExpectShape(copy, 3, 2);
    EXPECT_EQ(copy.Map[5], 7.5);
    double* storage = copy.Map;
    source.Map[5] = -1;
    copy.Assign(&source); // same shape: the storage is reused
    EXPECT_EQ(copy.Map, storage);
    EXPECT_EQ(copy.Map[5], -1);

    const std::unique_ptr<TMatrix> created = TMatrix::CreateFrom(&copy);
    EXPECT_STREQ(created->ClassName(), "TMatrix");
    EXPECT_EQ(created->GetElement(2, 3), -1);

    TLinearBitmap bitmap;
    bitmap.New(4, 2, pf8bit);
    for (int i = 0; i < 8; ++i)
        bitmap.Map[i] = static_cast<uint8_t>(250 + i); // wraps past 255
    copy.Assign(&bitmap);
    ExpectShape(copy, 4, 2);
    EXPECT_EQ(copy.Map[0], 250);
    EXPECT_EQ(copy.Map[7], 1);

    // A 24-bit bitmap gives its first Width x Height bytes, whatever they mean.
    bitmap.New(2, 1, pf24bit);
    for (int i = 0; i < 6; ++i)
        bitmap.Map[i] = static_cast<uint8_t>(i + 1);
    bitmap.AssignTo(&copy); // through the copy protocol, from the bitmap's side
    ExpectShape(copy, 2, 1);
    EXPECT_EQ(copy.Map[1], 2);

    TForeign foreign;
    try {
        copy.Assign(&foreign);
        ADD_FAILURE() << "a foreign object was assigned";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Cannot assign TForeign to TFloatMap");
    }
    ExpectShape(copy, 2, 1);
}

TEST(FloatMap, AssignToBitmapRoundsHalvesToEvenAndClamps) {
    const double inf = std::numeric_limits<double>::infinity();
    const double values[] = {-3.7,         0.5, 1.5,  2.5,   254.6,  1000,
                             std::nan(""), inf, -inf, 1e300, -1e300, 3e9};
    const uint8_t expected[] = {0, 0, 2, 2, 255, 255, 0, 255, 0, 255, 0, 255};
    TFloatMap m;
    m.New(6, 2);
    for (int i = 0; i < 12; ++i)
        m.Map[i] = values[i];
    TLinearBitmap bitmap;
    bitmap.New(1, 1, pf8bit);
    bitmap.Palette[5] = 77; // an existing palette keeps its contents
    m.AssignTo(&bitmap);
    EXPECT_EQ(bitmap.PixelFormat, pf8bit);
    EXPECT_EQ(bitmap.Width, 6);
    EXPECT_EQ(bitmap.Height, 2);
    EXPECT_EQ(bitmap.Palette[5], 77);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(bitmap.Map[i], expected[i]) << "value " << values[i];

    TLinearBitmap other; // and from the bitmap's side
    other.Assign(&m);
    EXPECT_EQ(other.Map[3], 2);

    TFloatMap empty;
    try {
        empty.AssignTo(&bitmap);
        ADD_FAILURE() << "an empty map was converted";
    } catch (const ELinearBitmap& e) {
        EXPECT_STREQ(e.what(), "Invalid bitmap size");
    }
    TForeign foreign;
    EXPECT_THROW(m.AssignTo(&foreign), Exception);
}

TEST(Matrix, IdentityTransposeAndSum) {
    TMatrix m(3, 3);
    m.Identity();
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(m.Map[i], i % 4 == 0 ? 1 : 0) << i;
    // Not square: the diagonal of the rows and columns it has, nothing beyond its storage.
    TMatrix tall(3, 2), wide(2, 3);
    tall.Identity();
    wide.Identity();
    const double tallExpected[] = {1, 0, 0, 1, 0, 0};
    const double wideExpected[] = {1, 0, 0, 0, 1, 0};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(tall.Map[i], tallExpected[i]) << i;
        EXPECT_EQ(wide.Map[i], wideExpected[i]) << i;
    }

    TMatrix a(2, 3);
    for (int i = 0; i < 6; ++i)
        a.Map[i] = i + 1;
    a.Transpose();
    ExpectShape(a, 2, 3);
    for (int32_t r = 1; r <= 2; ++r)
        for (int32_t c = 1; c <= 3; ++c)
            EXPECT_EQ(a.GetElement(c, r), (r - 1) * 3 + c);
    EXPECT_EQ(a.Sum(), 21);

    TMatrix column(3, 1);
    column.Map[0] = 1, column.Map[1] = 2, column.Map[2] = 3;
    double* storage = column.Map;
    column.Transpose();
    ExpectShape(column, 3, 1);
    EXPECT_EQ(column.Map, storage);
    EXPECT_EQ(column.Map[2], 3);

    SetAllocFailHook(FailEverything);
    EXPECT_THROW(a.Transpose(), EOutOfMemory);
    SetAllocFailHook(nullptr);
    ExpectShape(a, 2, 3);
    EXPECT_EQ(a.GetElement(3, 2), 6);

    TMatrix empty;
    EXPECT_EQ(empty.Sum(), 0);
}
