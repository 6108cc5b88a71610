// The stretch transform and its application: the worked example in both modes, rounding and
// clamping, and degenerate images that must come back sound.
#include "stretch/StretchTransform.h"
#include "StretchTestImages.h"
#include "stretch/PrincipalAxes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace vt;
using namespace vt::test;

namespace {

std::vector<TPixel> Stretched(const std::vector<TPixel>& pixels, int32_t w, int32_t h,
                              bool offset) {
    TLinearBitmap b;
    Fill(b, w, h, pixels);
    TAffineTransform t;
    StretchTransform(b, offset, t);
    TransformBitmap(b, t, nullptr);
    return Pixels(b);
}

TAffineTransform Rows(std::initializer_list<std::array<double, 4>> rows) {
    TAffineTransform t;
    IdentityTransform(t);
    int r = 0;
    for (const auto& row : rows) {
        for (int c = 0; c < 4; ++c)
            t(r, c) = row[static_cast<size_t>(c)];
        ++r;
    }
    return t;
}

} // namespace

TEST(StretchTransform, WorkedExampleInBothModes) {
    EXPECT_EQ(Stretched(WorkedExample, 4, 1, true), WorkedOffset);
    EXPECT_EQ(Stretched(WorkedExample, 4, 1, false), WorkedScaleOnly);
    // The same pixels as a 2 x 2 image: the geometry does not matter.
    EXPECT_EQ(Stretched(WorkedExample, 2, 2, true), WorkedOffset);
}

TEST(StretchTransform, CubeCornersAreLeftAlone) {
    EXPECT_EQ(Stretched(CubeCorners(), 8, 1, true), CubeCorners());
    EXPECT_EQ(Stretched(CubeCorners(), 8, 1, false), CubeCorners());
}

TEST(StretchTransform, OffsetModeSpansEveryComponent) {
    std::mt19937 random(7);
    std::vector<TPixel> pixels(64);
    for (TPixel& p : pixels)
        p = {uint8_t(40 + random() % 60), uint8_t(90 + random() % 40), uint8_t(random() % 256)};
    TLinearBitmap b;
    Fill(b, 8, 8, pixels);
    TAffineTransform result, axes;
    StretchTransform(b, true, result);
    // Through the stretch and back onto the axes, the image spans 0..255 on every axis.
    PrincipalAxes(b, true, nullptr, nullptr, nullptr, axes);
    double lowest[3] = {1e9, 1e9, 1e9}, highest[3] = {-1e9, -1e9, -1e9};
    for (const TPixel& p : pixels) {
        double y[3], z[3];
        for (int r = 0; r < 3; ++r)
            y[r] = p[2] * result(r, 0) + p[1] * result(r, 1) + p[0] * result(r, 2) + result(r, 3);
        for (int r = 0; r < 3; ++r) {
            z[r] = y[0] * axes(r, 0) + y[1] * axes(r, 1) + y[2] * axes(r, 2) + axes(r, 3);
            lowest[r] = std::min(lowest[r], z[r]);
            highest[r] = std::max(highest[r], z[r]);
        }
    }
    for (int r = 0; r < 3; ++r) {
        EXPECT_NEAR(lowest[r], 0, 1e-9);
        EXPECT_NEAR(highest[r], 255, 1e-9);
    }
}

TEST(StretchTransform, DegenerateImagesComeBackUnchanged) {
    const std::vector<TPixel> single = {{12, 200, 99}};
    const std::vector<TPixel> uniform(20, TPixel{70, 80, 90});
    for (bool offset : {true, false}) {
        EXPECT_EQ(Stretched(single, 1, 1, offset), single);
        EXPECT_EQ(Stretched(uniform, 5, 4, offset), uniform);
    }
}

TEST(StretchTransform, GreyStaysGreyAndSpansTheRangeWithOffset) {
    std::vector<TPixel> grey;
    for (int v : {40, 41, 90, 120, 121, 160})
        grey.push_back({uint8_t(v), uint8_t(v), uint8_t(v)});
    for (bool offset : {true, false}) {
        const std::vector<TPixel> out = Stretched(grey, 3, 2, offset);
        uint8_t lowest = 255, highest = 0;
        for (const TPixel& p : out) {
            EXPECT_EQ(p[0], p[1]);
            EXPECT_EQ(p[1], p[2]);
            lowest = std::min(lowest, p[0]);
            highest = std::max(highest, p[0]);
        }
        if (offset) {
            EXPECT_EQ(lowest, 0);
            EXPECT_EQ(highest, 255);
        } else {
            EXPECT_EQ(highest, 255) << "scale-only stretches the brightest grey to white";
        }
    }
}

TEST(StretchTransform, AConstantChannelIsProcessedLikeAnyOther) {
    std::vector<TPixel> pixels;
    for (int i = 0; i < 12; ++i)
        pixels.push_back({uint8_t(30 + 7 * i), 128, uint8_t(200 - 11 * (i % 5))});
    for (bool offset : {true, false}) {
        TLinearBitmap b;
        Fill(b, 4, 3, pixels);
        TAffineTransform t;
        StretchTransform(b, offset, t);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 4; ++c)
                EXPECT_TRUE(std::isfinite(t(r, c)));
        TransformBitmap(b, t, nullptr);
        // The constant channel stays constant.
        for (const TPixel& p : Pixels(b))
            EXPECT_EQ(p[1], Pixels(b)[0][1]);
    }
}

TEST(TransformColorByte, RoundsHalvesToEvenAndClamps) {
    const std::pair<double, uint8_t> cases[] = {{0.5, 0},     {1.5, 2},     {2.5, 2},
                                                {254.5, 254}, {255.5, 255}, {-0.5, 0},
                                                {-3.2, 0},    {300.7, 255}, {NAN, 0}};
    for (const auto& [sum, expected] : cases) {
        const TAffineTransform t = Rows({{0, 0, 0, sum}, {0, 0, 0, sum}, {0, 0, 0, sum}});
        uint8_t a = 1, b = 1, c = 1;
        TransformColorByte(9, 9, 9, t, a, b, c);
        EXPECT_EQ(a, expected) << sum;
        EXPECT_EQ(c, expected) << sum;
    }
}

TEST(TransformColorByte, OutputsMayAliasInputs) {
    const TAffineTransform t = Rows({{0, 0, 1, 0}, {1, 0, 0, 0}, {0, 1, 0, 0}});
    uint8_t p[3] = {1, 2, 3};
    TransformColorByte(p[0], p[1], p[2], t, p[0], p[1], p[2]);
    EXPECT_EQ(p[0], 3);
    EXPECT_EQ(p[1], 1);
    EXPECT_EQ(p[2], 2);
}

TEST(TransformBitmap, IdentitySwapAndSeparateTarget) {
    TLinearBitmap b;
    Fill(b, 2, 1, {{10, 20, 30}, {1, 2, 3}});
    TAffineTransform identity;
    IdentityTransform(identity);
    TransformBitmap(b, identity, nullptr);
    EXPECT_EQ(Pixels(b), (std::vector<TPixel>{{10, 20, 30}, {1, 2, 3}}));

    const TAffineTransform swap = Rows({{0, 0, 1, 0}, {0, 1, 0, 0}, {1, 0, 0, 0}});
    TLinearBitmap target;
    TransformBitmap(b, swap, &target);
    EXPECT_EQ(Pixels(target), (std::vector<TPixel>{{30, 20, 10}, {3, 2, 1}}));
    EXPECT_EQ(Pixels(b), (std::vector<TPixel>{{10, 20, 30}, {1, 2, 3}}));
    TransformBitmap(b, swap, &b);
    EXPECT_EQ(Pixels(b), Pixels(target));
}

TEST(TransformBitmap, RefusesFormatsItWouldOverrun) {
    TLinearBitmap b;
    b.New(4, 4, pf8bit);
    TAffineTransform identity;
    IdentityTransform(identity);
    EXPECT_THROW(TransformBitmap(b, identity, nullptr), ELinearBitmap);
    TLinearBitmap empty;
    TransformBitmap(empty, identity, nullptr); // nothing to map
    EXPECT_FALSE(empty.Present);
}
