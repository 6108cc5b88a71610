// The software 80-bit type against the x87 itself: every operation's stored bytes must equal
// what the hardware stores for the same operands. Runs where long double is the x87 type.
#include "rtl/SoftExtended.h"

#include "rtl/Extended.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#if LDBL_MANT_DIG == 64 && LDBL_MAX_EXP == 16384

using namespace vt;
using X = TSoftExtended;
using L = long double;

namespace {

L Hw(X x) { // the same bytes as a hardware value, not through the class's conversion
    L v = 0;
    std::memcpy(&v, &x.Significand, 8);
    std::memcpy(reinterpret_cast<unsigned char*>(&v) + 8, &x.SignExponent, 2);
    return v;
}
X Sw(L v) {
    X x;
    std::memcpy(&x.Significand, &v, 8);
    std::memcpy(&x.SignExponent, reinterpret_cast<const unsigned char*>(&v) + 8, 2);
    return x;
}
std::string Hex(X x) {
    char s[40];
    std::snprintf(s, sizeof s, "%04x:%016llx", x.SignExponent,
                  static_cast<unsigned long long>(x.Significand));
    return s;
}

// Counts the operations checked and reports the first few mismatches with their operands.
struct TChecker {
    long Count = 0, Failures = 0;
    void Same(const char* what, X a, X b, X got, L want) {
        ++Count;
        const X w = Sw(want);
        if (got.Significand == w.Significand && got.SignExponent == w.SignExponent)
            return;
        if (++Failures <= 12)
            ADD_FAILURE() << what << " " << Hex(a) << " " << Hex(b) << ": got " << Hex(got)
                          << ", hardware " << Hex(w);
    }
    void Binary(X a, X b) {
        const L ha = Hw(a), hb = Hw(b);
        Same("+", a, b, a + b, ha + hb);
        Same("-", a, b, a - b, ha - hb);
        Same("*", a, b, a * b, ha * hb);
        Same("/", a, b, a / b, ha / hb);
        const bool cmp[] = {a == b, a != b, a<b, a <= b, a> b, a >= b};
        const bool hcmp[] = {ha == hb, ha != hb, ha<hb, ha <= hb, ha> hb, ha >= hb};
        ++Count;
        if (std::memcmp(cmp, hcmp, sizeof cmp) != 0 && ++Failures <= 12)
            ADD_FAILURE() << "comparison " << Hex(a) << " " << Hex(b);
    }
    void Unary(X a) { Same("sqrt", a, a, Sqrt(a), std::sqrt(Hw(a))); }
};

std::mt19937_64 Random(2005);
uint64_t Bits() {
    return Random();
}
int Uniform(int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(Random);
}

// A canonical value of the given biased exponent; the significand dense or with a few bits.
X Make(int biased, bool sparse = false) {
    uint64_t m = Bits();
    if (sparse) {
        m = 0;
        for (int i = Uniform(1, 4); i > 0; --i)
            m |= uint64_t{1} << Uniform(0, 63);
        m |= uint64_t{1} << 63;
    }
    const bool negative = (Bits() & 1) != 0;
    m = biased == 0 ? m >> Uniform(1, 63) : m | (uint64_t{1} << 63);
    return X::FromBits(static_cast<uint16_t>((negative ? 0x8000 : 0) | biased), m);
}

// Zeros, subnormal and normal extremes, infinities, NaNs of both kinds and signs, and the
// encodings the x87 refuses (unnormal, pseudo-infinity, pseudo-NaN) or accepts oddly
// (pseudo-subnormal).
std::vector<X> Specials() {
    const uint64_t top = uint64_t{1} << 63, ones = ~uint64_t{0}, quiet = top | (top >> 1);
    const int exponents[] = {0,      0,      0,      0,      0,      1,     16383,  16383, 0x7FFE,
                             0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 0x7FFF, 16383, 0x7FFF, 0x7FFF};
    const uint64_t significands[] = {0,       1,        top - 1, top, top | 5, top,
                                     top,     ones,     ones,    top, quiet,   quiet | 77,
                                     top | 1, top | 99, 1,       0,   1};
    std::vector<X> v;
    for (int sign : {0, 0x8000})
        for (size_t i = 0; i < std::size(exponents); ++i)
            v.push_back(X::FromBits(static_cast<uint16_t>(sign | exponents[i]), significands[i]));
    return v;
}

class SoftExtended : public ::testing::Test {
protected:
    TFloatEnvironmentGuard Guard; // 64-bit precision, nearest, on every platform
    TChecker Check;
};

} // namespace

TEST_F(SoftExtended, SpecialOperandsInEveryPairing) {
    const std::vector<X> special = Specials();
    for (X a : special) {
        Check.Unary(a);
        for (X b : special)
            Check.Binary(a, b);
        for (int i = 0; i < 200; ++i) {
            const X b = Make(Uniform(0, 0x7FFE));
            Check.Binary(a, b);
            Check.Binary(b, a);
        }
    }
    EXPECT_EQ(Check.Failures, 0) << "of " << Check.Count;
}

TEST_F(SoftExtended, RandomOperandsOverTheWholeRange) {
    for (int i = 0; i < 150000; ++i) {
        const X a = Make(Uniform(0, 0x7FFE)), b = Make(Uniform(0, 0x7FFE));
        Check.Binary(a, b);
        Check.Unary(a);
    }
    EXPECT_EQ(Check.Failures, 0) << "of " << Check.Count;
}

// Exponents 0..140 apart with sparse significands make exact ties at every rounding position,
// sticky bits far below, and differences that cancel almost completely.
TEST_F(SoftExtended, SumsAcrossExponentDifferences) {
    for (int d = 0; d <= 140; ++d)
        for (int i = 0; i < 700; ++i) {
            const int e = Uniform(1, 0x7FFE);
            const bool sparse = (i & 1) != 0;
            X a = Make(e, sparse), b = Make(std::max(e - d, 0), sparse && i % 4 == 1);
            Check.Binary(a, b);
            // b a few units in the last place from a: massive cancellation
            const L near = std::nextafter(Hw(a), Uniform(0, 1) ? 0.0L : Hw(a) * 2);
            Check.Binary(a, Sw(-near + Hw(b) * (i % 3 == 0)));
        }
    EXPECT_EQ(Check.Failures, 0) << "of " << Check.Count;
}

// Odd factors of 33 bits give 65- or 66-bit products: ties to even in both directions, and
// the neighbours one unit above; exact quotients and their neighbours.
TEST_F(SoftExtended, ProductsAndQuotientsAtTies) {
    for (int i = 0; i < 80000; ++i) {
        const uint64_t p = (Bits() >> 31) | 1, q = (Bits() >> 31) | 1;
        const L a = std::ldexp(static_cast<L>(p), Uniform(-200, 200));
        const L b = std::ldexp(static_cast<L>(q), Uniform(-200, 200));
        Check.Binary(Sw(a), Sw(b));
        Check.Binary(Sw(std::nextafter(a, 0.0L)), Sw(b));
        const L product = a * b;
        Check.Binary(Sw(product), Sw(b));
        Check.Binary(Sw(std::nextafter(product, 0.0L)), Sw(a));
        Check.Binary(Sw(std::nextafter(product, 1e4000L)), Sw(a));
    }
    EXPECT_EQ(Check.Failures, 0) << "of " << Check.Count;
}

// Exponents whose sum or difference lands near overflow, near the smallest normal and down
// through the subnormals; subnormal operands.
TEST_F(SoftExtended, ResultsNearOverflowAndUnderflow) {
    for (int i = 0; i < 60000; ++i) {
        const int ea = Uniform(1, 0x7FFE);
        const int sum = i % 2 == 0 ? Uniform(0x7FFE + 16383 - 2, 0x7FFE + 16383 + 1)
                                   : Uniform(16383 - 70, 16383 + 2);
        const int eb = sum - ea;
        if (eb >= 0 && eb <= 0x7FFE)
            Check.Binary(Make(ea, i % 4 < 2), Make(eb, i % 3 == 0));
        const int eq = ea - (i % 2 == 0 ? Uniform(16380, 16384) : Uniform(-16384, -16315));
        if (eq >= 0 && eq <= 0x7FFE)
            Check.Binary(Make(ea, i % 4 < 2), Make(eq));
        Check.Binary(Make(0), Make(Uniform(0, 3)));
        // Just below the smallest normal and the largest finite value, rounding up into them.
        for (int e : {1, 0x7FFE}) {
            const uint64_t m = e == 1 ? (uint64_t{1} << 63) | (Bits() % 4) : ~(Bits() % 4);
            const X a = X::FromBits(static_cast<uint16_t>(e), m);
            const X b = X::FromBits(0x3FFF, (uint64_t{1} << 63) | (Bits() % 4));
            const X c = X::FromBits(0x3FFE, ~uint64_t{0} - Bits() % 4);
            Check.Binary(a, b);
            Check.Binary(a, c);
        }
    }
    EXPECT_EQ(Check.Failures, 0) << "of " << Check.Count;
}

TEST_F(SoftExtended, SquareRootsOfSquaresAndNeighbours) {
    for (int i = 0; i < 30000; ++i) {
        const L r = std::ldexp(static_cast<L>(Bits() >> Uniform(0, 40)), Uniform(-8000, 8000));
        const L square = r * r;
        Check.Unary(Sw(square));
        Check.Unary(Sw(std::nextafter(square, 0.0L)));
        Check.Unary(Sw(std::nextafter(square, 1e4000L)));
        Check.Unary(Make(Uniform(0, 3)));
        // N - q^2 = q exactly: the root just below q + 1/2, at both exponent parities
        Check.Unary(X::FromBits(static_cast<uint16_t>(Uniform(1, 0x7FFE)),
                                i % 2 ? ~uint64_t{0} : (uint64_t{1} << 63) + 1));
    }
    EXPECT_EQ(Check.Failures, 0) << "of " << Check.Count;
}

TEST_F(SoftExtended, ConversionsFromDoublesFloatsAndIntegers) {
    const auto same = [&](X got, L want) { Check.Same("from", got, got, got, want); };
    for (int i = 0; i < 100000; ++i) {
        uint64_t bits = Bits();
        if (i % 4 == 0)
            bits &= 0x800FFFFFFFFFFFFFULL; // subnormals and zeros
        double d;
        std::memcpy(&d, &bits, 8);
        same(d, d);
        const auto fbits = static_cast<uint32_t>(bits >> (i % 3 == 0 ? 41 : 32));
        float f;
        std::memcpy(&f, &fbits, 4);
        same(f, f);
        const auto n = static_cast<long long>(Bits() >> Uniform(1, 63));
        same(n, n);
        same(-n, -n);
        same(static_cast<unsigned long long>(n) * 2 + 1,
             static_cast<unsigned long long>(n) * 2 + 1);
        same(static_cast<int>(n), static_cast<int>(n));
        same(static_cast<unsigned>(n), static_cast<unsigned>(n));
    }
    for (long long n : {LLONG_MIN, LLONG_MAX, 0LL, -1LL})
        same(n, static_cast<L>(n));
    same(ULLONG_MAX, ULLONG_MAX);
    EXPECT_EQ(Check.Failures, 0) << "of " << Check.Count;
}

// Halfway cases at the last bit a double or a float keeps, results in their subnormal range
// and beyond their largest values; then truncation to integers of every width.
TEST_F(SoftExtended, ConversionsToDoublesFloatsAndIntegers) {
    long count = 0, failures = 0;
    const auto expect = [&](bool ok, X x, const char* what) {
        ++count;
        if (!ok && ++failures <= 12)
            ADD_FAILURE() << what << " of " << Hex(x);
    };
    const std::vector<X> special = Specials();
    for (int i = 0; i < 200000; ++i) {
        X x = i < static_cast<int>(special.size()) ? special[static_cast<size_t>(i)]
                                                   : Make(Uniform(0, 0x7FFE), i % 2 == 0);
        if (i % 3 == 0) // around the double and float ranges, half an ulp set or not
            x = X::FromBits(static_cast<uint16_t>((x.SignExponent & 0x8000) |
                                                  Uniform(16383 - 1100, 16383 + 1025)),
                            (x.Significand & ~uint64_t{0x7FF}) | (i % 2 ? 0x400 : 0x401));
        const L h = Hw(x);
        const double d = static_cast<double>(x), hd = static_cast<double>(h);
        const float f = static_cast<float>(x), hf = static_cast<float>(h);
        expect(std::memcmp(&d, &hd, 8) == 0, x, "double");
        expect(std::memcmp(&f, &hf, 4) == 0, x, "float");
        const X y = X::FromBits(x.SignExponent & 0x8000 ? uint16_t{0xBFFF} : uint16_t{0x3FFF},
                                x.Significand);
        const X n = Ldexp(y, Uniform(-3, 64)); // |n| below 2^65
        const L hn = Hw(n);
        if (std::fabs(hn) < 0x1p63L)
            expect(static_cast<long long>(n) == static_cast<long long>(hn), n, "int64");
        if (hn > -1 && hn < 0x1p64L)
            expect(static_cast<unsigned long long>(n) == static_cast<unsigned long long>(hn), n,
                   "uint64");
        if (std::fabs(hn) < 0x1p31L)
            expect(static_cast<int>(n) == static_cast<int>(hn), n, "int32");
        if (hn > -1 && hn < 0x1p32L)
            expect(static_cast<unsigned>(n) == static_cast<unsigned>(hn), n, "uint32");
        const int scale = Uniform(-20000, 20000);
        if (std::isnan(h)) // C libraries differ on a signaling NaN: quieted or not
            expect(IsNaN(Ldexp(x, scale)), x, "ldexp");
        else
            Check.Same("ldexp", x, x, Ldexp(x, scale), std::ldexp(h, scale));
    }
    EXPECT_EQ(failures, 0) << "of " << count;
    EXPECT_EQ(Check.Failures, 0) << "of " << Check.Count;
    // Out of a signed type's range: the x87 integer indefinite.
    EXPECT_EQ(static_cast<long long>(X(0x1.8p63L)), LLONG_MIN);
    EXPECT_EQ(static_cast<int>(X(-3e9)), INT_MIN);
    EXPECT_EQ(static_cast<long long>(std::numeric_limits<X>::quiet_NaN()), LLONG_MIN);
}

// binary128 (long double on other targets) against the compiler's own conversions.
#if defined(__SIZEOF_FLOAT128__) && defined(__GNUC__) && !defined(__clang__)
TEST_F(SoftExtended, Binary128RoundsLikeTheCompiler) {
    __extension__ using Quad = __float128;
    for (int i = 0; i < 50000; ++i) {
        uint64_t w[2] = {Bits(), Bits()};
        if (i % 2 == 0) // exponents near the 80-bit range's ends
            w[1] = (w[1] & 0x8000FFFFFFFFFFFFULL) |
                   (static_cast<uint64_t>(i % 4 == 0 ? Uniform(0, 70) : Uniform(0x7FF0, 0x7FFF))
                    << 48);
        Quad q;
        std::memcpy(&q, w, 16);
        const X x = FromBinary128(w[1], w[0]);
        if (!std::isnan(Hw(x)) || !std::isnan(static_cast<L>(q)))
            Check.Same("from128", x, x, x, static_cast<L>(q));
        uint64_t back[2];
        ToBinary128(x, back[1], back[0]);
        const Quad wide = static_cast<Quad>(Hw(x));
        ++Check.Count;
        if (!std::isnan(Hw(x)) && std::memcmp(back, &wide, 16) != 0 && ++Check.Failures <= 12)
            ADD_FAILURE() << "to binary128 " << Hex(x);
    }
    EXPECT_EQ(Check.Failures, 0) << "of " << Check.Count;
}
#endif

TEST_F(SoftExtended, LimitsClassesAndMixedOperands) {
    using XL = std::numeric_limits<X>;
    using HL = std::numeric_limits<L>;
    const std::pair<X, L> limits[] = {{XL::min(), HL::min()},
                                      {XL::max(), HL::max()},
                                      {XL::lowest(), HL::lowest()},
                                      {XL::epsilon(), HL::epsilon()},
                                      {XL::round_error(), 0.5L},
                                      {XL::infinity(), HL::infinity()},
                                      {XL::quiet_NaN(), HL::quiet_NaN()},
                                      {XL::denorm_min(), HL::denorm_min()}};
    for (auto [x, h] : limits)
        Check.Same("limit", x, x, x, h);
    static_assert(XL::digits == HL::digits && XL::digits10 == HL::digits10 &&
                  XL::max_exponent == HL::max_exponent && XL::min_exponent == HL::min_exponent &&
                  XL::max_exponent10 == HL::max_exponent10 && XL::is_iec559);
    for (X x : Specials()) {
        const L h = Hw(x);
        EXPECT_EQ(IsNaN(x), std::isnan(h)) << Hex(x);
        if (!IsNaN(x)) {
            EXPECT_EQ(IsInf(x), std::isinf(h)) << Hex(x);
            EXPECT_EQ(IsFinite(x), std::isfinite(h)) << Hex(x);
        }
        EXPECT_EQ(SignBit(x), std::signbit(h)) << Hex(x);
        Check.Same("fabs", x, x, Fabs(x), std::fabs(h));
        Check.Same("neg", x, x, -x, -h);
    }
    // Mixed operands convert on either side; the compound forms agree with the binary ones.
    X x = 3;
    x *= 2.5;
    x += 128 * x;
    x /= 7u;
    x -= 1.0L / 3;
    Check.Same("mixed", x, x, x, (7.5L + 128 * 7.5L) / 7 - 1.0L / 3);
    EXPECT_TRUE(x > 0 && 0.5f < x && x != 1);
    EXPECT_EQ(static_cast<long double>(x), Hw(x));
    EXPECT_EQ(Check.Failures, 0);
}

#endif
