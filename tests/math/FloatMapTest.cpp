// Float maps and matrices: shapes and storage, conversions to and from linear bitmaps, and the
// matrix operations.
#include "math/FloatMap.h"
#include "rtl/Memory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
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

TEST(FloatMap, ShapesStorageAndRefusals) {
    TMatrix m;
    ExpectShape(m, 0, 0);
    m.SetSize(3, 1); // three rows, one column
    ExpectShape(m, 1, 3);
    m.Map[1] = 11;
    EXPECT_EQ(m.GetElement(2, 1), 11);
    double* storage = m.Map;
    m.New(1, 3); // same shape: storage and contents stay
    EXPECT_EQ(m.Map, storage);
    EXPECT_EQ(m.Map[1], 11);

    const long blocks = AllocatedBlocks();
    for (auto [w, h] : {std::pair{-1, 2}, {0, -3}, {65536, 4096}, {INT32_MAX, INT32_MAX}})
        EXPECT_THROW(m.New(w, h), EFloatMap) << w << " x " << h;
    SetAllocFailHook(FailEverything);
    EXPECT_THROW(m.New(3, 3), EOutOfMemory);
    SetAllocFailHook(nullptr);
    ExpectShape(m, 1, 3); // refused and failed requests change nothing
    EXPECT_EQ(m.Map[1], 11);
    EXPECT_EQ(AllocatedBlocks(), blocks);
    m.New(0, 4);
    ExpectShape(m, 0, 4);
}

TEST(FloatMap, AssignCopiesFloatMapsAndBitmapBytes) {
    TMatrix source(2, 3);
    for (int i = 0; i < 6; ++i)
        source.Map[i] = i * 1.5;
    TFloatMap copy;
    copy.Assign(&source);
    ExpectShape(copy, 3, 2);
    double* storage = copy.Map;
    source.Map[5] = -1;
    copy.Assign(&source); // same shape: the storage is reused
    EXPECT_EQ(copy.Map, storage);
    const std::unique_ptr<TMatrix> created = TMatrix::CreateFrom(&copy);
    EXPECT_EQ(created->GetElement(2, 3), -1);

    TLinearBitmap bitmap;
    bitmap.New(4, 2, pf8bit);
    for (int i = 0; i < 8; ++i)
        bitmap.Map[i] = static_cast<uint8_t>(250 + i); // wraps past 255
    copy.Assign(&bitmap);
    ExpectShape(copy, 4, 2);
    EXPECT_EQ(copy.Map[0], 250);
    EXPECT_EQ(copy.Map[7], 1);
    bitmap.New(2, 1, pf24bit); // any format: its first Width x Height bytes
    bitmap.Map[1] = 9;
    bitmap.AssignTo(&copy); // through the copy protocol, from the bitmap's side
    ExpectShape(copy, 2, 1);
    EXPECT_EQ(copy.Map[1], 9);

    TForeign foreign;
    EXPECT_THROW(copy.Assign(&foreign), Exception);
    ExpectShape(copy, 2, 1);
}

TEST(FloatMap, AssignToBitmapRoundsHalvesToEvenAndClamps) {
    const double inf = std::numeric_limits<double>::infinity();
    const double values[] = {-3.7, 0.5, 1.5, 2.5, 254.6, 1000, NAN, inf, -inf, 1e300, -1e300, 3e9};
    const uint8_t expected[] = {0, 0, 2, 2, 255, 255, 0, 255, 0, 255, 0, 255};
    TFloatMap m;
    m.New(6, 2);
    std::copy(std::begin(values), std::end(values), m.Map);
    TLinearBitmap bitmap;
    bitmap.New(1, 1, pf8bit);
    bitmap.Palette[5] = 77; // an existing palette keeps its contents
    m.AssignTo(&bitmap);
    EXPECT_EQ(bitmap.PixelFormat, pf8bit);
    EXPECT_EQ(bitmap.Width, 6);
    EXPECT_EQ(bitmap.Palette[5], 77);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(bitmap.Map[i], expected[i]) << "value " << values[i];

    EXPECT_THROW(TFloatMap().AssignTo(&bitmap), ELinearBitmap); // an empty map
}

TEST(Matrix, IdentityTransposeAndSum) {
    // Not square: the diagonal of the rows and columns it has, nothing beyond its storage.
    TMatrix square(3, 3), tall(3, 2), wide(2, 3);
    for (TMatrix* m : {&square, &tall, &wide}) {
        m->Identity();
        for (int32_t r = 1; r <= m->Height; ++r)
            for (int32_t c = 1; c <= m->Width; ++c)
                EXPECT_EQ(m->GetElement(r, c), r == c ? 1 : 0);
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
    SetAllocFailHook(FailEverything);
    EXPECT_THROW(a.Transpose(), EOutOfMemory);
    SetAllocFailHook(nullptr);
    ExpectShape(a, 2, 3);
    EXPECT_EQ(a.GetElement(3, 2), 6);

    TMatrix column(3, 1);
    column.Map[2] = 3;
    column.Transpose(); // a row vector with the same contents
    ExpectShape(column, 3, 1);
    EXPECT_EQ(column.Map[2], 3);
    EXPECT_EQ(TMatrix().Sum(), 0);
}

TEST(FloatMap, FilesHoldNothingOfAFloatMap) {
    // A float map has no stream format of its own: saving empties the file, loading only
    // checks that the file can be opened and leaves the map as it is.
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / "veltrane-floatmap-test.bin";
    std::ofstream(path, std::ios::binary) << "previous contents";
    TMatrix m(2, 2);
    m.Identity();
    m.SaveToFile(path.string());
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    m.LoadFromFile(path.string());
    EXPECT_EQ(m.Sum(), 2);
    std::filesystem::remove(path);
    EXPECT_THROW(m.LoadFromFile(path.string()), Exception);
    ExpectShape(m, 2, 2);
}
