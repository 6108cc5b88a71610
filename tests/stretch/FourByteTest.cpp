// Pixels of three 8-bit bands in four-byte cells (colour and alpha, in either band direction,
// the fourth byte before or after the bands) against the same pixels in a planar copy, which
// the general passes serve: the same statistics, extremes, saturation limits and bytes, the
// fourth byte untouched and nothing read or written beyond the cells.
#include "stretch/StretchEngine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

using namespace vt;

namespace {

// Width x Height cells of four bytes, exactly as large as needed, colour bands at byte `first`
// of each cell onwards (0: colour then alpha; 1: alpha then colour), in either direction.
struct TCells {
    int64_t W, H;
    std::vector<uint8_t> Bytes;
    TImageView View;
    TCells(int64_t w, int64_t h, int first, bool reversed) : W(w), H(h) {
        Bytes.resize(static_cast<size_t>(w * h * 4));
        View.Data = Bytes.data() + first + (reversed ? 2 : 0);
        View.Width = w;
        View.Height = h;
        View.Bands = 3;
        View.Type = TSampleType::UInt8;
        View.PixelStride = 4;
        View.RowStride = 4 * w;
        View.BandStride = reversed ? -1 : 1;
        Alpha = first == 0 ? 3 : 0;
    }
    int Alpha;
    uint8_t& AlphaOf(int64_t i) { return Bytes[static_cast<size_t>(4 * i + Alpha)]; }
};

// The same colour as three planes, which only the general passes take.
std::vector<uint8_t> Planes(const TCells& c) {
    std::vector<uint8_t> planes(static_cast<size_t>(c.W * c.H * 3));
    for (int64_t y = 0; y < c.H; ++y)
        for (int64_t x = 0; x < c.W; ++x)
            for (int b = 0; b < 3; ++b)
                planes[static_cast<size_t>((b * c.H + y) * c.W + x)] = *c.View.At(x, y, b);
    return planes;
}

// Smooth correlated colour with noise, or (Ties) colours on which the maps below land on
// exact halves.
void Fill(TCells& c, std::mt19937& random, bool ties) {
    std::uniform_int_distribution<int> noise(0, 40), any(0, 255);
    for (int64_t y = 0; y < c.H; ++y)
        for (int64_t x = 0; x < c.W; ++x) {
            const int base = static_cast<int>((x * 200) / c.W + (y * 40) / c.H);
            for (int b = 0; b < 3; ++b)
                *c.View.At(x, y, b) = static_cast<uint8_t>(
                    ties ? any(random) : std::min(255, base + noise(random) - 10 * b + 20));
            c.AlphaOf(y * c.W + x) = static_cast<uint8_t>(x * 31 + y * 7);
        }
}

TBandTransform Transform(std::mt19937& random, int kind) {
    TBandTransform t = TBandTransform::Identity(3, TSampleType::UInt8);
    std::uniform_real_distribution<double> w(-2.5, 2.5), c(-200, 200);
    for (int r = 0; r < 3; ++r)
        for (int j = 0; j < 4; ++j)
            t.Map.M[r][j] = kind == 0 ? (j < 3 ? w(random) : c(random))
                                      // Halves and quarters: sums land on exact halves.
                                      : (j < 3 ? std::ldexp(std::round(w(random) * 4), -2)
                                               : std::ldexp(std::round(c(random) * 2), -1));
    if (kind == 2) { // the plug-in's working order
        t.Order[0] = 2;
        t.Order[2] = 0;
    }
    return t;
}

} // namespace

TEST(FourByte, StatisticsRangesAndBytesEqualThePlanarPasses) {
    std::mt19937 random(2024);
    for (const int first : {0, 1})
        for (const bool reversed : {false, true})
            for (const auto& [w, h] : {std::pair<int64_t, int64_t>{1, 1}, {5, 1}, {7, 3}, {97, 61}})
                for (int kind = 0; kind < 3; ++kind) {
                    SCOPED_TRACE(testing::Message()
                                 << "cells " << first << (reversed ? " rev " : " ") << w << "x" << h
                                 << " kind " << kind);
                    TCells cells(w, h, first, reversed);
                    Fill(cells, random, kind == 1);
                    std::vector<uint8_t> planes = Planes(cells);
                    const TImageView planar =
                        TImageView::Planar(planes.data(), w, h, 3, TSampleType::UInt8);
                    TSelection sample;
                    if (w > 10) {
                        sample.X = 3;
                        sample.Y = 2;
                        sample.Width = w - 10;
                        sample.Height = h - 5;
                    }
                    EXPECT_TRUE(MeasureStatistics(cells.View, sample) ==
                                MeasureStatistics(planar, sample));

                    const TBandTransform t = Transform(random, kind);
                    TPrincipalAxes axes;
                    axes.Bands = 3;
                    axes.Map = t.Map;
                    axes.Order = t.Order;
                    const TComponentRanges a = MeasureComponentRanges(cells.View, sample, axes);
                    const TComponentRanges b = MeasureComponentRanges(planar, sample, axes);
                    for (int k = 0; k < 3; ++k) {
                        EXPECT_EQ(a.Lowest[k], b.Lowest[k]) << k;
                        EXPECT_EQ(a.Highest[k], b.Highest[k]) << k;
                    }

                    // The saturation counts the stored outputs of the selected pixels.
                    const TBandTransform ca = ClipStretch(t, cells.View, sample, 0.01, 0.02);
                    const TBandTransform cb = ClipStretch(t, planar, sample, 0.01, 0.02);
                    for (int r = 0; r < 3; ++r)
                        for (int j = 0; j < 4; ++j)
                            EXPECT_EQ(ca.Map.M[r][j], cb.Map.M[r][j]) << r << "," << j;

                    std::vector<uint8_t> alpha(static_cast<size_t>(w * h));
                    for (int64_t i = 0; i < w * h; ++i)
                        alpha[static_cast<size_t>(i)] = cells.AlphaOf(i);
                    ApplyStretch(t, cells.View, cells.View);
                    ApplyStretch(t, planar, planar);
                    EXPECT_EQ(Planes(cells), planes);
                    for (int64_t i = 0; i < w * h; ++i)
                        ASSERT_EQ(cells.AlphaOf(i), alpha[static_cast<size_t>(i)]) << i;
                }
}

// Halves of odd values and values a hair above them: single precision sees a tie in every
// band, double precision tells band 0 apart, only the exact sum band 2.
TEST(FourByte, HalvesAndHairsAboveThemRoundAsTheExactSum) {
    TCells cells(33, 2, 0, false);
    for (int64_t i = 0; i < 66; ++i)
        for (int b = 0; b < 3; ++b)
            cells.Bytes[static_cast<size_t>(4 * i + b)] =
                static_cast<uint8_t>((i * 7 + b * 50) % 256);
    const std::vector<uint8_t> before = cells.Bytes;
    TBandTransform t = TBandTransform::Identity(3, TSampleType::UInt8);
    t.Map.M[0][0] = 0.5 + 0x1p-30;
    t.Map.M[1][1] = 0.5;
    t.Map.M[2][2] = 0.5 + 0x1p-53;
    ApplyStretch(t, cells.View, cells.View);
    for (size_t i = 0; i < 66; ++i)
        for (size_t b = 0; b < 3; ++b) {
            const int x = before[4 * i + b];
            // A hair above a half rounds up; a half itself to the even neighbour.
            const int expected = b != 1 ? (x + 1) / 2 : (x % 4 == 3 ? x / 2 + 1 : x / 2);
            EXPECT_EQ(cells.Bytes[4 * i + b], expected) << "pixel " << i << " band " << b;
        }
}
