// Channel correlation and principal axes.
#include "stretch/PrincipalAxes.h"
#include "StretchTestImages.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace vt;
using namespace vt::test;

TEST(ChannelCorrelation, WorkedExample) {
    TLinearBitmap b;
    Fill(b, 4, 1, WorkedExample);
    EXPECT_NEAR(ChannelCorrelation(b, 1, 2), 0.225026, 5e-7);
    EXPECT_NEAR(ChannelCorrelation(b, 1, 3), -0.116058, 5e-7);
    EXPECT_NEAR(ChannelCorrelation(b, 2, 3), 0.828036, 5e-7);
    for (int a = 1; a <= 3; ++a)
        for (int c = 1; c <= 3; ++c)
            EXPECT_EQ(ChannelCorrelation(b, a, c), ChannelCorrelation(b, c, a));
}

TEST(ChannelCorrelation, ConstantChannelsCorrelateZero) {
    TLinearBitmap b;
    Fill(b, 1, 1, {{7, 8, 9}});
    EXPECT_EQ(ChannelCorrelation(b, 1, 2), 0.0);
    Fill(b, 3, 1, {{5, 1, 9}, {5, 2, 8}, {5, 3, 7}});
    EXPECT_EQ(ChannelCorrelation(b, 1, 2), 0.0);
    EXPECT_EQ(ChannelCorrelation(b, 1, 3), 0.0);
    EXPECT_NEAR(ChannelCorrelation(b, 2, 3), -1.0, 1e-15);
}

TEST(ChannelCorrelation, StaysExactBeyondThirtyTwoBitSums) {
    // 3000 x 3000 pixels: the channel sums pass 2^31, which 32-bit sums would wrap.
    TLinearBitmap b;
    b.New(3000, 3000, pf24bit);
    for (int32_t i = 0; i < 9000000; ++i) {
        uint8_t* p = b.Map + 3 * i;
        p[0] = 255;
        p[1] = static_cast<uint8_t>(i % 2 == 0 ? 255 : 250);
        p[2] = static_cast<uint8_t>(i % 3 == 0 ? 255 : 240);
    }
    // Channel 1 is constant; channels 2 and 3 are independent patterns: correlation of
    // (i mod 2) and (i mod 3) over whole periods is 0.
    EXPECT_EQ(ChannelCorrelation(b, 1, 2), 0.0);
    EXPECT_NEAR(ChannelCorrelation(b, 2, 3), 0.0, 1e-12);
    b.Map[0] = 0; // now channel 1 varies in one pixel only
    const double r = ChannelCorrelation(b, 1, 2);
    // Independent computation in long double from the known sums.
    const long double n = 9e6L, s1 = 255.0L * 9e6L - 255, s11 = 65025.0L * (9e6L - 1);
    const long double s2 = 4.5e6L * 255 + 4.5e6L * 250, s22 = 4.5e6L * 65025 + 4.5e6L * 62500;
    const long double s12 = s2 * 255 - 255.0L * 255; // pixel 0 has channel 2 = 255
    const long double m1 = s1 / n, m2 = s2 / n;
    const long double expected =
        (s12 - m1 * s2) / (n * std::sqrt((s11 / n - m1 * m1) * (s22 / n - m2 * m2)));
    EXPECT_NEAR(r, static_cast<double>(expected), 1e-9);
    EXPECT_LT(r, 0.0); // the one dark pixel has a bright second channel
}

TEST(PrincipalAxes, CubeCornersGiveTheChannelAxes) {
    TLinearBitmap b;
    Fill(b, 8, 1, CubeCorners());
    double f1 = 0, f2 = 0, f3 = 0;
    TAffineTransform t;
    PrincipalAxes(b, false, &f1, &f2, &f3, t);
    EXPECT_DOUBLE_EQ(f1, 1.0 / 3);
    EXPECT_DOUBLE_EQ(f2, 1.0 / 3);
    EXPECT_DOUBLE_EQ(f3, 1.0 / 3);
    // Each row is a unit vector along one channel axis, without constant term.
    for (int r = 0; r < 3; ++r) {
        double norm = 0;
        for (int c = 0; c < 3; ++c)
            norm += std::abs(t(r, c));
        EXPECT_DOUBLE_EQ(norm, 1.0);
        EXPECT_EQ(t(r, 3), 0.0);
    }
}

TEST(PrincipalAxes, GreyImagesHaveOneComponent) {
    TLinearBitmap b;
    Fill(b, 3, 1, {{10, 10, 10}, {100, 100, 100}, {30, 30, 30}});
    double f1 = 0, f2 = 0, f3 = 0;
    TAffineTransform t;
    PrincipalAxes(b, false, &f1, &f2, &f3, t);
    EXPECT_NEAR(f1, 1.0, 1e-12);
    EXPECT_NEAR(f2, 0.0, 1e-12);
    EXPECT_NEAR(f3, 0.0, 1e-12);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(std::abs(t(0, c)), 1 / std::sqrt(3.0), 1e-12);
}

TEST(PrincipalAxes, OffsetRowsKeepEveryColourWithinTheByteRange) {
    TLinearBitmap b;
    Fill(b, 4, 1, WorkedExample);
    TAffineTransform t;
    PrincipalAxes(b, true, nullptr, nullptr, nullptr, t);
    for (int r = 0; r < 3; ++r) {
        double weights = 0, lowest = t(r, 3);
        for (int c = 0; c < 3; ++c) {
            weights += std::abs(t(r, c));
            lowest += t(r, c) < 0 ? 255 * t(r, c) : 0;
        }
        EXPECT_NEAR(weights, 1.0, 1e-15);
        EXPECT_NEAR(lowest, 0.0, 1e-12) << "the darkest possible value of row " << r;
    }
    // Channel 1 (first byte) weights input 0, and the fractions follow the eigenvalues.
    double f1, f2, f3;
    PrincipalAxes(b, false, &f1, &f2, &f3, t);
    EXPECT_NEAR(f1 * 3, 1.835453, 5e-7);
    EXPECT_NEAR(f2 * 3, 1.057946, 5e-7);
    EXPECT_NEAR(f3 * 3, 0.106602, 5e-7);
}

TEST(PrincipalAxes, RefusesOtherFormatsBeforeReading) {
    for (uint8_t format : {uint8_t{pf8bit}, uint8_t{pf16bit}, uint8_t{pf32bit}}) {
        TLinearBitmap b;
        b.New(2, 2, format);
        TAffineTransform t;
        IdentityTransform(t);
        t(0, 3) = 42;
        try {
            PrincipalAxes(b, true, nullptr, nullptr, nullptr, t);
            ADD_FAILURE();
        } catch (const ELinearBitmap& e) {
            EXPECT_STREQ(e.what(), "Unsupported pixel format");
        }
        EXPECT_EQ(t(0, 3), 42.0);
    }
}
