// Affine colour transforms: composition, inversion, the colour-space constants, the precision
// of the intermediate sums and the fault reports.
#include "math/MatrixMath.h"
#include "rtl/SysUtils.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

using namespace vt;

namespace {

// Compares the first rows of M with Rows, exactly unless a tolerance is given.
void ExpectRows(const TAffineTransform& m,
                std::initializer_list<std::initializer_list<double>> rows, double tolerance = 0) {
    int r = 0;
    for (const auto& row : rows) {
        int c = 0;
        for (double expected : row) {
            EXPECT_NEAR(m(r, c), expected, tolerance) << "element (" << r << ", " << c << ")";
            ++c;
        }
        ++r;
    }
}

void ExpectIdentity(const TAffineTransform& m, double tolerance) {
    ExpectRows(m, {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}, tolerance);
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

TEST(AffineTransform, ComposeAndInvertWorkedExamples) {
    TAffineTransform a, b;
    TranslationTransform(a, 1, 2, 3);
    ScaleTransform(b, 2, 2, 2);
    ComposeTransform(a, b); // the translation first, then the scale
    ExpectRows(a, {{2, 0, 0, 2}, {0, 2, 0, 4}, {0, 0, 2, 6}, {0, 0, 0, 1}});
    ScaleTransform(a, 2, 2, 2);
    TranslationTransform(b, 1, 2, 3);
    ComposeTransform(a, b);
    ExpectRows(a, {{2, 0, 0, 1}, {0, 2, 0, 2}, {0, 0, 2, 3}, {0, 0, 0, 1}});
    TranslationTransform(a, 1, 2, 3);
    ComposeTransform(a, a); // both operands are read before A is written
    ExpectRows(a, {{1, 0, 0, 2}, {0, 1, 0, 4}, {0, 0, 1, 6}});

    ScaleTransform(a, 2, 4, 0.5);
    InvertTransform(a, b);
    ExpectRows(b, {{0.5, 0, 0, 0}, {0, 0.25, 0, 0}, {0, 0, 2, 0}, {0, 0, 0, 1}});
    TranslationTransform(a, 1, 2, 3);
    InvertTransform(a, a); // in place
    ExpectRows(a, {{1, 0, 0, -1}, {0, 1, 0, -2}, {0, 0, 1, -3}, {0, 0, 0, 1}});
}

TEST(AffineTransform, ComposedWithItsInverseIsTheIdentity) {
    std::mt19937 random(20050101);
    std::uniform_real_distribution<double> element(-3, 3), offset(-300, 300);
    for (int trial = 0; trial < 300 && !HasFailure(); ++trial) {
        TAffineTransform m, inverse;
        IdentityTransform(m);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 4; ++c)
                m(r, c) = c == 3 ? offset(random) : element(random) + (r == c ? 6 : 0);
        InvertTransform(m, inverse); // diagonally dominant, so well conditioned
        TAffineTransform forward = m, backward = inverse;
        ComposeTransform(forward, inverse); // m first, then its inverse
        ComposeTransform(backward, m);      // the inverse first, then m
        ExpectIdentity(forward, 1e-12);
        ExpectIdentity(backward, 1e-12);
    }
}

TEST(AffineTransform, IntermediatesAreRoundedExactlyWhereValuesAreStored) {
    // Composition: column 0 of A is (1, 2^-60, -1, 0) and row 0 of B is (1, 1, 1, 0). Held in
    // Extended the sum would keep 2^-60; rounded to double after each addition it is 0.
    TAffineTransform a, b;
    IdentityTransform(a);
    a(1, 0) = std::ldexp(1.0, -60);
    a(2, 0) = -1;
    IdentityTransform(b);
    b(0, 1) = b(0, 2) = 1;
    ComposeTransform(a, b);
    EXPECT_EQ(a(0, 0), 0.0);

    // Cofactors: m(1,1) m(2,2) = 1 - 2^-60 holds in Extended but would round to 1 in double.
    const double e = std::ldexp(1.0, -30);
    TMatrix3x3 m = {{2, 0, 0, 0, 1 + e, 1, 0, 1, 1 - e}}, k;
    Cofactors3x3(m, k);
    EXPECT_EQ(k(0, 0), -std::ldexp(1.0, -60));
    EXPECT_EQ(k(1, 2), -2.0);
}

TEST(AffineTransform, InverseColourSpaceTransformsAfterStartUp) {
    ExpectRows(YCbCrToRGB, {{1.000000, -0.000007, 1.401998, -178.753780}}, 5e-7);
    EXPECT_EQ(YCbCrToRGB(3, 3), 1);
    TAffineTransform back = RGBToYCbCr;
    ComposeTransform(back, YCbCrToRGB);
    ExpectIdentity(back, 1e-12);
    back = RGBToYIQ;
    ComposeTransform(back, YIQToRGB);
    ExpectIdentity(back, 1e-12);
    // The exact bits, worked out independently in rational arithmetic rounded to 64-bit
    // significands wherever the computation holds Extended: a change of the precision model,
    // or a difference between the builds, shows up here.
    EXPECT_EQ(std::bit_cast<uint64_t>(YCbCrToRGB(0, 2)), 4608992854978805777u);
    EXPECT_EQ(Fingerprint(YCbCrToRGB), 7796597771195703244u);
    EXPECT_EQ(Fingerprint(YIQToRGB), 14559981702629121165u);
}

TEST(AffineTransform, FaultsAreRaisedAndLeaveTheOutputUnchanged) {
    TMatrix3x3 singular = {{1, 2, 3, 2, 4, 6, 0, 0, 1}};
    EXPECT_THROW(Invert3x3(singular), EZeroDivide);
    EXPECT_EQ(singular(1, 2), 6);

    TAffineTransform m, result;
    IdentityTransform(result);
    ScaleTransform(m, 1, 0, 1);
    EXPECT_THROW(InvertTransform(m, result), EZeroDivide);
    ScaleTransform(m, 1e-110, 1e-110, 1e-110);
    EXPECT_THROW(InvertTransform(m, result), EOverflow); // 1/det = 1e330
    ExpectIdentity(result, 0);

    TAffineTransform big;
    ScaleTransform(big, 1e200, 1, 1);
    m = big;
    EXPECT_THROW(ComposeTransform(m, big), EOverflow);
    EXPECT_EQ(m(0, 0), 1e200);
    ScaleTransform(big, std::numeric_limits<double>::infinity(), 1, 1);
    IdentityTransform(m);
    EXPECT_THROW(ComposeTransform(m, big), EInvalidOp); // infinity x 0
    ExpectIdentity(m, 0);
}
