// A 100-megapixel image (300 MB of pixels): its channel statistics and principal axes agree
// with 64-bit sums computed here independently, and the whole stretch runs over it with every
// sampled pixel as the transform maps it. Run in the release suite only.
#include "stretch/PrincipalAxes.h"
#include "stretch/StretchPrivate.h"
#include "stretch/StretchTransform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

using namespace vt;

namespace {

constexpr int32_t Side = 10000; // 10000 x 10000 pixels

// Pixel I of the test image: three channels that correlate (green follows blue, red runs
// against it) with enough noise that no channel is a function of another.
void PixelOf(uint64_t i, uint8_t pixel[3]) {
    const auto x = static_cast<uint32_t>(i * 2654435761u);
    const uint32_t blue = x >> 24;
    pixel[0] = static_cast<uint8_t>(blue);
    pixel[1] = static_cast<uint8_t>(blue / 2 + ((x >> 16) & 0x7F));
    pixel[2] = static_cast<uint8_t>((255 - blue) / 2 + ((x >> 8) & 0x7F));
}

struct TSums {
    int64_t Sum[3] = {};
    int64_t Product[3][3] = {};
};

} // namespace

TEST(BigImage, HundredMegapixelsStretchWithExactStatistics) {
    TLinearBitmap image;
    image.New(Side, Side, pf24bit);
    ASSERT_EQ(image.Size, 300000000);
    const uint64_t count = uint64_t{Side} * Side;
    TSums expected;
    for (uint64_t i = 0; i < count; ++i) {
        uint8_t* pixel = image.Map + i * 3;
        PixelOf(i, pixel);
        for (int a = 0; a < 3; ++a) {
            expected.Sum[a] += pixel[a];
            for (int b = a; b < 3; ++b)
                expected.Product[a][b] += int64_t{pixel[a]} * pixel[b];
        }
    }
    // Sums of products are around 2^42: any 32-bit accumulator would have wrapped.
    ASSERT_GT(expected.Product[0][0], int64_t{1} << 40);

    const detail::TChannelSums sums = detail::ComputeChannelSums(image);
    EXPECT_EQ(sums.Count, int64_t{Side} * Side);
    for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(sums.Sum[a], expected.Sum[a]) << "channel " << a;
        for (int b = a; b < 3; ++b)
            EXPECT_EQ(sums.Product[a][b], expected.Product[a][b]) << "pair " << a << b;
    }

    // The correlations from the independent sums, and the principal axes built from them, are
    // the ones the library computes from the image.
    detail::TChannelSums independent;
    independent.Count = sums.Count;
    std::memcpy(independent.Sum, expected.Sum, sizeof expected.Sum);
    std::memcpy(independent.Product, expected.Product, sizeof expected.Product);
    const long double n = static_cast<long double>(count);
    double r[3][3];
    for (int a = 0; a < 3; ++a) {
        for (int b = a + 1; b < 3; ++b) {
            const long double cov = n * expected.Product[a][b] -
                                    static_cast<long double>(expected.Sum[a]) * expected.Sum[b];
            const long double va = n * expected.Product[a][a] -
                                   static_cast<long double>(expected.Sum[a]) * expected.Sum[a];
            const long double vb = n * expected.Product[b][b] -
                                   static_cast<long double>(expected.Sum[b]) * expected.Sum[b];
            r[a][b] = detail::CorrelationFromSums(independent, a, b);
            EXPECT_NEAR(r[a][b], static_cast<double>(cov / std::sqrt(va * vb)), 1e-12);
            EXPECT_EQ(ChannelCorrelation(image, a + 1, b + 1), r[a][b]);
        }
    }
    EXPECT_GT(r[0][1], 0.5);  // green follows blue
    EXPECT_LT(r[0][2], -0.5); // red runs against it
    for (const bool allowOffset : {true, false}) {
        TAffineTransform axes, fromSums;
        PrincipalAxes(image, allowOffset, nullptr, nullptr, nullptr, axes);
        detail::AxesFromCorrelations(r[0][1], r[0][2], r[1][2], allowOffset, nullptr, nullptr,
                                     nullptr, fromSums);
        EXPECT_EQ(std::memcmp(&axes, &fromSums, sizeof axes), 0) << "offset " << allowOffset;
    }

    // The whole stretch, in place; every 9973rd pixel is checked against the transform.
    TAffineTransform transform;
    StretchTransform(image, true, transform);
    TransformBitmap(image, transform, nullptr);
    for (uint64_t i = 0; i < count; i += 9973) {
        uint8_t original[3], out[3];
        PixelOf(i, original);
        TransformColorByte(original[2], original[1], original[0], transform, out[2], out[1],
                           out[0]);
        ASSERT_EQ(std::memcmp(image.Map + i * 3, out, 3), 0) << "pixel " << i;
    }
}
