// Affine colour transforms: builders, composition, inversion, the 3x3 helpers, the
// colour-space constants and the precision of the intermediate sums.
#include "math/MatrixMath.h"
#include "rtl/SysUtils.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

using namespace vt;

namespace {

void ExpectRows(const TAffineTransform& m,
                std::initializer_list<std::initializer_list<double>> rows, double tolerance = 0) {
    int r = 0;
    for (const auto& row : rows) {
        int c = 0;
        for (double expected : row) {
            if (tolerance == 0)
                EXPECT_EQ(m(r, c), expected) << "element (" << r << ", " << c << ")";
            else
                EXPECT_NEAR(m(r, c), expected, tolerance) << "element (" << r << ", " << c << ")";
            ++c;
        }
        ++r;
    }
}

void ExpectIdentity(const TAffineTransform& m, double tolerance) {
    ExpectRows(m, {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}, tolerance);
    EXPECT_EQ(m(3, 0), 0); // row 3 is never disturbed
    EXPECT_EQ(m(3, 3), 1);
}

bool SameBits(const TAffineTransform& a, const TAffineTransform& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// FNV-1a over the 128 bytes: a fingerprint that changes with any bit of any element.
uint64_t Fingerprint(const TAffineTransform& m) {
    uint64_t h = 14695981039346656037ull;
    unsigned char bytes[sizeof m];
    std::memcpy(bytes, &m, sizeof m);
    for (unsigned char b : bytes)
        h = (h ^ b) * 1099511628211ull;
    return h;
}

} // namespace

TEST(AffineTransform, BuildersFillAllSixteenElements) {
    TAffineTransform m;
    std::memset(&m, 0xFF, sizeof m); // NaN garbage everywhere
    TranslationTransform(m, 1, 2, 3);
    ExpectRows(m, {{1, 0, 0, 1}, {0, 1, 0, 2}, {0, 0, 1, 3}, {0, 0, 0, 1}});
    std::memset(&m, 0xFF, sizeof m);
    ScaleTransform(m, 2, 4, 0.5);
    ExpectRows(m, {{2, 0, 0, 0}, {0, 4, 0, 0}, {0, 0, 0.5, 0}, {0, 0, 0, 1}});
}

TEST(AffineTransform, ComposeAppliesTheFirstOperandFirst) {
    TAffineTransform a, b;
    TranslationTransform(a, 1, 2, 3);
    ScaleTransform(b, 2, 2, 2);
    ComposeTransform(a, b);
    ExpectRows(a, {{2, 0, 0, 2}, {0, 2, 0, 4}, {0, 0, 2, 6}, {0, 0, 0, 1}});

    ScaleTransform(a, 2, 2, 2);
    TranslationTransform(b, 1, 2, 3);
    ComposeTransform(a, b);
    ExpectRows(a, {{2, 0, 0, 1}, {0, 2, 0, 2}, {0, 0, 2, 3}, {0, 0, 0, 1}});

    // Composing a transform with itself: both operands are read before A is written.
    TranslationTransform(a, 1, 2, 3);
    ComposeTransform(a, a);
    ExpectRows(a, {{1, 0, 0, 2}, {0, 1, 0, 4}, {0, 0, 1, 6}, {0, 0, 0, 1}});
}

TEST(AffineTransform, ComposeRoundsTheRunningSumToDoubleAfterEachAddition) {
    // Column 0 of A is (1, 2^-60, -1, 0) and row 0 of B is (1, 1, 1, 0). Held in Extended,
    // the sum would keep 2^-60; rounded to double after each addition it is exactly 0.
    TAffineTransform a, b;
    IdentityTransform(a);
    a(1, 0) = std::ldexp(1.0, -60);
    a(2, 0) = -1;
    IdentityTransform(b);
    b(0, 1) = b(0, 2) = 1;
    ComposeTransform(a, b);
    EXPECT_EQ(a(0, 0), 0.0);
}

TEST(AffineTransform, InverseOfBuilders) {
    TAffineTransform m, inverse;
    ScaleTransform(m, 2, 4, 0.5);
    InvertTransform(m, inverse);
    ExpectRows(inverse, {{0.5, 0, 0, 0}, {0, 0.25, 0, 0}, {0, 0, 2, 0}, {0, 0, 0, 1}});
    TranslationTransform(m, 1, 2, 3);
    InvertTransform(m, inverse);
    ExpectRows(inverse, {{1, 0, 0, -1}, {0, 1, 0, -2}, {0, 0, 1, -3}, {0, 0, 0, 1}});
    // In place: the result is the same as into a separate record.
    InvertTransform(m, m);
    EXPECT_TRUE(SameBits(m, inverse));
}

TEST(AffineTransform, ComposedWithItsInverseIsTheIdentity) {
    std::mt19937 random(20050101);
    std::uniform_real_distribution<double> element(-3, 3), offset(-300, 300);
    int checked = 0;
    for (int trial = 0; trial < 500; ++trial) {
        TAffineTransform m;
        IdentityTransform(m);
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                m(r, c) = element(random);
            m(r, 3) = offset(random);
        }
        TMatrix3x3 linear;
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                linear(r, c) = m(r, c);
        TMatrix3x3 k;
        Cofactors3x3(linear, k);
        const double det = linear(0, 0) * k(0, 0) + linear(0, 1) * k(0, 1) + linear(0, 2) * k(0, 2);
        if (std::fabs(det) < 0.5) // keep the conditioning sane for a fixed tolerance
            continue;
        ++checked;
        TAffineTransform inverse, forward = m, backward;
        InvertTransform(m, inverse);
        ComposeTransform(forward, inverse); // m first, then its inverse
        ExpectIdentity(forward, 1e-9);
        backward = inverse;
        ComposeTransform(backward, m); // the inverse first, then m
        ExpectIdentity(backward, 1e-9);
        if (HasFailure())
            break;
    }
    EXPECT_GT(checked, 200);
}

TEST(AffineTransform, InverseColourSpaceTransformsAfterStartUp) {
    ExpectRows(YCbCrToRGB, {{1.000000, -0.000007, 1.401998, -178.753780}}, 5e-7);
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(YCbCrToRGB(3, c), c == 3 ? 1 : 0);
        EXPECT_EQ(YIQToRGB(3, c), c == 3 ? 1 : 0);
    }
    TAffineTransform back = RGBToYCbCr;
    ComposeTransform(back, YCbCrToRGB);
    ExpectIdentity(back, 1e-12);
    back = RGBToYIQ;
    ComposeTransform(back, YIQToRGB);
    ExpectIdentity(back, 1e-12);

    // The exact bits, so that a change of the precision model (or a difference between the
    // builds) shows up here.
    EXPECT_EQ(std::bit_cast<uint64_t>(YCbCrToRGB(0, 2)), 4608992854978805777u) << YCbCrToRGB(0, 2);
    EXPECT_EQ(Fingerprint(YCbCrToRGB), 7796597771195703244u);
    EXPECT_EQ(Fingerprint(YIQToRGB), 14559981702629121165u);
}

TEST(Matrix3x3, CofactorsAreFormedInExtended) {
    // m(1,1) m(2,2) = 1 - 2^-60 holds in Extended but rounds to 1 in double.
    const double e = std::ldexp(1.0, -30);
    TMatrix3x3 m = {{2, 0, 0, 0, 1 + e, 1, 0, 1, 1 - e}};
    TMatrix3x3 k;
    Cofactors3x3(m, k);
    EXPECT_EQ(k(0, 0), -std::ldexp(1.0, -60));
    EXPECT_EQ(k(1, 1), 2 * (1 - e));
    EXPECT_EQ(k(1, 2), -2.0);

    TMatrix3x3 t;
    Transpose3x3(TMatrix3x3{{1, 2, 3, 4, 5, 6, 7, 8, 9}}, t);
    const TMatrix3x3 expected = {{1, 4, 7, 2, 5, 8, 3, 6, 9}};
    EXPECT_EQ(std::memcmp(&t, &expected, sizeof t), 0);
}

TEST(Matrix3x3, InvertsInPlace) {
    TMatrix3x3 m = {{2, 0, 0, 0, 0, 4, 0, 1, 0}};
    Invert3x3(m);
    const TMatrix3x3 expected = {{0.5, 0, 0, 0, 0, 1, 0, 0.25, 0}};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(m.M[i], expected.M[i]) << i;
}

TEST(AffineTransform, FaultsAreRaisedAndLeaveTheOutputUnchanged) {
    TMatrix3x3 singular = {{1, 2, 3, 2, 4, 6, 0, 0, 1}};
    const TMatrix3x3 before = singular;
    EXPECT_THROW(Invert3x3(singular), EZeroDivide);
    EXPECT_EQ(std::memcmp(&singular, &before, sizeof before), 0);

    TAffineTransform m, result;
    ScaleTransform(m, 1, 0, 1);
    IdentityTransform(result);
    EXPECT_THROW(InvertTransform(m, result), EZeroDivide);
    ExpectIdentity(result, 0);

    // A scale that overflows doubles, and an infinite scale meeting a zero.
    ScaleTransform(m, 1e200, 1, 1);
    TAffineTransform big;
    ScaleTransform(big, 1e200, 1, 1);
    EXPECT_THROW(ComposeTransform(m, big), EOverflow);
    EXPECT_EQ(m(0, 0), 1e200);
    const double inf = std::numeric_limits<double>::infinity();
    ScaleTransform(big, inf, 1, 1);
    IdentityTransform(m);
    EXPECT_THROW(ComposeTransform(m, big), EInvalidOp);
    ExpectIdentity(m, 0);
    ScaleTransform(m, 1e-110, 1e-110, 1e-110);
    EXPECT_THROW(InvertTransform(m, result), EOverflow); // 1/det = 1e330
    ExpectIdentity(result, 0);
}
