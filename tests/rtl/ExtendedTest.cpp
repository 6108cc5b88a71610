// Rounding and the floating-point environment guard.
#include "rtl/Extended.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <limits>

using namespace vt;

TEST(RoundHalfEven, SendsHalvesToTheEvenNeighbour) {
    EXPECT_EQ(RoundHalfEven(0.5L), 0);
    EXPECT_EQ(RoundHalfEven(1.5L), 2);
    EXPECT_EQ(RoundHalfEven(2.5L), 2);
    EXPECT_EQ(RoundHalfEven(-0.5L), 0);
    EXPECT_EQ(RoundHalfEven(-2.5L), -2);
    EXPECT_EQ(RoundHalfEven(-3.5L), -4);
    EXPECT_EQ(RoundHalfEven(254.5L), 254);
    EXPECT_EQ(RoundHalfEven(std::nextafter(2.5L, 3.0L)), 3);
    EXPECT_EQ(RoundHalfEven(std::nextafter(2.5L, 2.0L)), 2);
    EXPECT_EQ(RoundHalfEven(1e30L), 1e30L);
}

TEST(RoundHalfEven, IgnoresTheCurrentRoundingMode) {
    std::fesetround(FE_UPWARD);
    EXPECT_EQ(RoundHalfEven(2.5L), 2);
    EXPECT_EQ(RoundHalfEven(2.4L), 2);
    std::fesetround(FE_TONEAREST);
}

TEST(RoundClampByte, ClampsAndMapsNaNToZero) {
    EXPECT_EQ(RoundClampByte(255.5L), 255);
    EXPECT_EQ(RoundClampByte(300.7L), 255);
    EXPECT_EQ(RoundClampByte(-3.2L), 0);
    EXPECT_EQ(RoundClampByte(std::numeric_limits<Extended>::quiet_NaN()), 0);
    EXPECT_EQ(RoundClampByte(std::numeric_limits<Extended>::infinity()), 255);
    EXPECT_EQ(RoundClampByte(-std::numeric_limits<Extended>::infinity()), 0);
}

TEST(FloatEnvironmentGuard, RestoresTheCallersEnvironment) {
    std::fesetround(FE_DOWNWARD);
    std::feclearexcept(FE_ALL_EXCEPT);
    {
        TFloatEnvironmentGuard guard;
        EXPECT_EQ(std::fegetround(), FE_TONEAREST);
        volatile double zero = 0.0;
        volatile double q = 1.0 / zero; // raises the division flag inside the guard only
        (void)q;
        // Extended keeps its 64-bit significand inside the guard.
        volatile Extended one = 1, three = 3;
        const Extended third = one / three;
        EXPECT_NE(static_cast<Extended>(static_cast<double>(third)), third);
    }
    EXPECT_EQ(std::fegetround(), FE_DOWNWARD);
    EXPECT_EQ(std::fetestexcept(FE_DIVBYZERO), 0);
    std::fesetround(FE_TONEAREST);
}
