// The 80-bit extended arithmetic in software: unpacking, exact intermediate results with a
// sticky bit, and one rounding to 64 bits as the x87 rounds.
#include "rtl/SoftExtended.h"

#include <bit>
#include <cmath>
#include <cstring>

namespace vt {

static_assert(std::endian::native == std::endian::little,
              "the stored layouts are read as little-endian");
static_assert(std::numeric_limits<long double>::digits == 64 ||
                  std::numeric_limits<long double>::digits == 113 ||
                  std::numeric_limits<long double>::digits == 53,
              "long double is the x87 type, binary128 or double");

namespace {

constexpr int ExponentBias = 16383;
constexpr int MaxBiased = 0x7FFF;
constexpr uint64_t LeadingBit = 0x8000000000000000ULL;
constexpr uint64_t QuietBit = 0x4000000000000000ULL;
constexpr uint64_t Half = LeadingBit; // one half of the unit in the last place, in a low word

// ---- 128-bit helpers, with or without a native 128-bit type ----

struct TWide {
    uint64_t Hi = 0, Lo = 0;
};

TWide Multiply(uint64_t a, uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
    __extension__ using TUint128 = unsigned __int128;
    const TUint128 p = static_cast<TUint128>(a) * b;
    return {static_cast<uint64_t>(p >> 64), static_cast<uint64_t>(p)};
#else
    const uint64_t a0 = a & 0xFFFFFFFFU, a1 = a >> 32;
    const uint64_t b0 = b & 0xFFFFFFFFU, b1 = b >> 32;
    const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFFU) + (p10 & 0xFFFFFFFFU);
    return {p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32), (middle << 32) | (p00 & 0xFFFFFFFFU)};
#endif
}

// (hi:lo) / d for hi < d and d with its top bit set: the 64-bit quotient and the remainder,
// by two 32-bit long-division steps whose digit estimates are off by at most two.
uint64_t Divide(uint64_t hi, uint64_t lo, uint64_t d, uint64_t& remainder) noexcept {
    constexpr uint64_t Base = uint64_t{1} << 32;
    const uint64_t d1 = d >> 32, d0 = d & 0xFFFFFFFFU;
    const uint64_t lo1 = lo >> 32, lo0 = lo & 0xFFFFFFFFU;

    uint64_t q1 = hi / d1;
    uint64_t rest = hi - q1 * d1;
    while (q1 >= Base || q1 * d0 > ((rest << 32) | lo1)) {
        --q1;
        rest += d1;
        if (rest >= Base)
            break;
    }
    const uint64_t mid = (hi << 32) + lo1 - q1 * d; // below d, so it fits

    uint64_t q0 = mid / d1;
    rest = mid - q0 * d1;
    while (q0 >= Base || q0 * d0 > ((rest << 32) | lo0)) {
        --q0;
        rest += d1;
        if (rest >= Base)
            break;
    }
    remainder = (mid << 32) + lo0 - q0 * d;
    return (q1 << 32) | q0;
}

int LeadingZeros(TWide x) noexcept {
    return x.Hi != 0 ? std::countl_zero(x.Hi) : 64 + std::countl_zero(x.Lo);
}

// Shifts left by 0..127.
TWide ShiftLeft(TWide x, int n) noexcept {
    if (n == 0)
        return x;
    if (n >= 64)
        return {x.Lo << (n - 64), 0};
    return {(x.Hi << n) | (x.Lo >> (64 - n)), x.Lo << n};
}

// Shifts right by n >= 0, folding every bit shifted out into bit 0 (the sticky bit), so that
// rounding afterwards still sees whether the dropped part was zero.
TWide ShiftRightSticky(TWide x, int n) noexcept {
    if (n == 0)
        return x;
    if (n >= 128)
        return {0, (x.Hi | x.Lo) != 0 ? 1U : 0U};
    if (n >= 64) {
        const uint64_t lost = (n == 64 ? 0 : x.Hi << (128 - n)) | x.Lo;
        return {0, (n == 64 ? x.Hi : x.Hi >> (n - 64)) | (lost != 0 ? 1U : 0U)};
    }
    const uint64_t lost = x.Lo << (64 - n);
    return {x.Hi >> n, (x.Hi << (64 - n)) | (x.Lo >> n) | (lost != 0 ? 1U : 0U)};
}

// ---- unpacking ----

enum class TKind { Zero, Finite, Infinity, NaN, Refused };

// A value taken apart: for Finite, Significand has its top bit set and the value is
// Significand * 2^(Exponent - 16383 - 63); Exponent is below 1 for the subnormals.
struct TUnpacked {
    TKind Kind;
    bool Negative;
    int Exponent;
    uint64_t Significand;
};

TUnpacked Unpack(TSoftExtended x) noexcept {
    const bool negative = (x.SignExponent & 0x8000U) != 0;
    const int biased = x.SignExponent & MaxBiased;
    const uint64_t m = x.Significand;
    if (biased == MaxBiased) {
        if ((m & LeadingBit) == 0)
            return {TKind::Refused, negative, 0, m}; // pseudo-infinity or pseudo-NaN
        return {m == LeadingBit ? TKind::Infinity : TKind::NaN, negative, 0, m};
    }
    if (biased == 0) {
        if (m == 0)
            return {TKind::Zero, negative, 0, 0};
        // Subnormals, and the pseudo-subnormals with the leading bit set, which the x87 takes
        // as operands of the same value.
        const int shift = std::countl_zero(m);
        return {TKind::Finite, negative, 1 - shift, m << shift};
    }
    if ((m & LeadingBit) == 0)
        return {TKind::Refused, negative, 0, m}; // an unnormal
    return {TKind::Finite, negative, biased, m};
}

TSoftExtended Pack(bool negative, int biased, uint64_t significand) noexcept {
    return TSoftExtended::FromBits(
        static_cast<uint16_t>((negative ? 0x8000U : 0U) | static_cast<unsigned>(biased)),
        significand);
}

TSoftExtended Zero(bool negative) noexcept {
    return Pack(negative, 0, 0);
}
TSoftExtended Infinity(bool negative) noexcept {
    return Pack(negative, MaxBiased, LeadingBit);
}
// What an invalid operation gives: the x87's "indefinite", a negative quiet NaN.
TSoftExtended DefaultNaN() noexcept {
    return Pack(true, MaxBiased, LeadingBit | QuietBit);
}

TSoftExtended Quieted(TSoftExtended x) noexcept {
    return TSoftExtended::FromBits(x.SignExponent, x.Significand | QuietBit);
}

// The NaN an operation with a NaN operand gives: a refused encoding makes it the default NaN;
// otherwise the larger significand (so a quiet NaN before a signaling one), then the positive
// sign. The chosen NaN comes back quiet.
TSoftExtended PropagateNaN(TSoftExtended x, const TUnpacked& ux, TSoftExtended y,
                           const TUnpacked& uy) noexcept {
    if (ux.Kind == TKind::Refused || uy.Kind == TKind::Refused)
        return DefaultNaN();
    if (ux.Kind != TKind::NaN)
        return Quieted(y);
    if (uy.Kind != TKind::NaN)
        return Quieted(x);
    if (x.Significand != y.Significand)
        return Quieted(x.Significand > y.Significand ? x : y);
    return Quieted(ux.Negative ? y : x);
}

bool AnyNaN(const TUnpacked& ux, const TUnpacked& uy) noexcept {
    return ux.Kind >= TKind::NaN || uy.Kind >= TKind::NaN;
}

// Rounds the exact value (hi + lo / 2^64) * 2^(biased - 16383 - 63), hi with its top bit set and
// bit 0 of lo sticky, to the format: nearest, ties to even, subnormal below the normal range,
// infinity above.
TSoftExtended RoundAndPack(bool negative, int biased, uint64_t hi, uint64_t lo) noexcept {
    if (biased <= 0) {
        const TWide shifted = ShiftRightSticky({hi, lo}, 1 - biased);
        uint64_t m = shifted.Hi;
        if (shifted.Lo > Half || (shifted.Lo == Half && (m & 1) != 0))
            ++m; // a carry into bit 63 makes it the smallest normal, as its exponent field says
        return Pack(negative, (m & LeadingBit) != 0 ? 1 : 0, m);
    }
    if (lo > Half || (lo == Half && (hi & 1) != 0)) {
        if (++hi == 0) {
            hi = LeadingBit;
            ++biased;
        }
    }
    if (biased >= MaxBiased)
        return Infinity(negative);
    return Pack(negative, biased, hi);
}

TSoftExtended RoundAndPack(bool negative, int biased, TWide x) noexcept {
    return RoundAndPack(negative, biased, x.Hi, x.Lo);
}

// The exponent range reached by any finite operation stays far inside int; Ldexp clamps to it.
constexpr int ExponentClamp = 1 << 20;

TSoftExtended FromMagnitude(bool negative, uint64_t magnitude) noexcept {
    if (magnitude == 0)
        return Zero(false);
    const int shift = std::countl_zero(magnitude);
    return Pack(negative, ExponentBias + 63 - shift, magnitude << shift);
}

// An IEEE binary format of at most 64 bits, given by its significand bits (without the hidden
// one) and its exponent bias.
struct TBinaryFormat {
    int FractionBits;
    int Bias;
};
constexpr TBinaryFormat Binary32{23, 127};
constexpr TBinaryFormat Binary64{52, 1023};

TSoftExtended FromBinary(uint64_t bits, TBinaryFormat f) noexcept {
    const int exponentBits = f.Bias == 127 ? 8 : 11;
    const bool negative = ((bits >> (f.FractionBits + exponentBits)) & 1) != 0;
    const int maxField = (1 << exponentBits) - 1;
    const int field = static_cast<int>((bits >> f.FractionBits) & static_cast<uint64_t>(maxField));
    const uint64_t fraction = bits & ((uint64_t{1} << f.FractionBits) - 1);
    const int toTop = 63 - f.FractionBits;
    if (field == maxField) {
        if (fraction == 0)
            return Infinity(negative);
        return Pack(negative, MaxBiased, LeadingBit | QuietBit | (fraction << toTop));
    }
    if (field == 0) {
        if (fraction == 0)
            return Zero(negative);
        const int shift = std::countl_zero(fraction);
        return Pack(negative, ExponentBias - f.Bias + 1 + toTop - shift, fraction << shift);
    }
    return Pack(negative, field - f.Bias + ExponentBias, LeadingBit | (fraction << toTop));
}

uint64_t ToBinary(TSoftExtended x, TBinaryFormat f) noexcept {
    const int exponentBits = f.Bias == 127 ? 8 : 11;
    const uint64_t maxField = (uint64_t{1} << exponentBits) - 1;
    const TUnpacked u = Unpack(x);
    const uint64_t sign = u.Negative ? uint64_t{1} << (f.FractionBits + exponentBits) : 0;
    const uint64_t infinity = maxField << f.FractionBits;
    const int fromTop = 63 - f.FractionBits;
    switch (u.Kind) {
    case TKind::Zero:
        return sign;
    case TKind::Infinity:
        return sign | infinity;
    case TKind::NaN:
        return sign | infinity | (uint64_t{1} << (f.FractionBits - 1)) |
               ((u.Significand & ~LeadingBit) >> fromTop);
    case TKind::Refused:
        return (uint64_t{1} << (f.FractionBits + exponentBits)) | infinity |
               (uint64_t{1} << (f.FractionBits - 1));
    case TKind::Finite:
        break;
    }
    const int exponent = u.Exponent - ExponentBias; // of the leading bit
    if (exponent > f.Bias)
        return sign | infinity;
    // Below the normal range the significand loses one more bit per binade.
    const int minExponent = 1 - f.Bias;
    const int shift = fromTop + (exponent < minExponent ? minExponent - exponent : 0);
    uint64_t kept, dropped, half;
    if (shift >= 64) {
        kept = 0;
        dropped = shift == 64 ? u.Significand : 1; // beyond one half-ulp below: only sticky
        half = shift == 64 ? Half : 2;
    } else {
        kept = u.Significand >> shift;
        dropped = u.Significand & ((uint64_t{1} << shift) - 1);
        half = uint64_t{1} << (shift - 1);
    }
    if (dropped > half || (dropped == half && (kept & 1) != 0))
        ++kept;
    // kept carries its leading bit into the exponent field, so a carry out of the significand
    // (or out of the subnormals) raises the exponent by itself.
    uint64_t bits = kept;
    if (exponent >= minExponent)
        bits += static_cast<uint64_t>(exponent - minExponent) << f.FractionBits;
    if ((bits >> f.FractionBits) >= maxField)
        return sign | infinity;
    return sign | bits;
}

// Truncation toward zero of a finite value of at most 64 integer bits; false when it has more.
bool TruncatedMagnitude(const TUnpacked& u, uint64_t& magnitude) noexcept {
    if (u.Kind == TKind::Zero) {
        magnitude = 0;
        return true;
    }
    if (u.Kind != TKind::Finite)
        return false;
    const int exponent = u.Exponent - ExponentBias;
    if (exponent < 0) {
        magnitude = 0;
        return true;
    }
    if (exponent > 63)
        return false;
    magnitude = u.Significand >> (63 - exponent);
    return true;
}

int64_t ToInt64(TSoftExtended x) noexcept {
    constexpr int64_t Indefinite = std::numeric_limits<int64_t>::min();
    const TUnpacked u = Unpack(x);
    uint64_t magnitude;
    if (!TruncatedMagnitude(u, magnitude))
        return Indefinite;
    if (u.Negative)
        return magnitude <= LeadingBit ? static_cast<int64_t>(0 - magnitude) : Indefinite;
    return magnitude < LeadingBit ? static_cast<int64_t>(magnitude) : Indefinite;
}

uint64_t ToUint64(TSoftExtended x) noexcept {
    const TUnpacked u = Unpack(x);
    uint64_t magnitude;
    if (!TruncatedMagnitude(u, magnitude))
        return 0;
    if (u.Negative)
        return magnitude <= LeadingBit ? 0 - magnitude : 0;
    return magnitude;
}

int32_t ToInt32(TSoftExtended x) noexcept {
    const int64_t v = ToInt64(x);
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

uint32_t ToUint32(TSoftExtended x) noexcept {
    const TUnpacked u = Unpack(x);
    uint64_t magnitude;
    if (!TruncatedMagnitude(u, magnitude))
        return 0;
    if (u.Negative)
        return magnitude < LeadingBit ? static_cast<uint32_t>(0 - magnitude) : 0;
    return magnitude <= 0xFFFFFFFFU ? static_cast<uint32_t>(magnitude) : 0;
}

} // namespace

// ---- binary128, for targets whose long double is that format ----

TSoftExtended FromBinary128(uint64_t hi, uint64_t lo) noexcept {
    const bool negative = (hi >> 63) != 0;
    const int field = static_cast<int>((hi >> 48) & 0x7FFF);
    const uint64_t fractionHi = hi & 0xFFFFFFFFFFFFULL; // 48 bits, then 64 in lo
    if (field == 0x7FFF) {
        if ((fractionHi | lo) == 0)
            return Infinity(negative);
        return Pack(negative, MaxBiased, LeadingBit | QuietBit | (fractionHi << 15) | (lo >> 49));
    }
    // The significand as 113 bits left-aligned in 128, then normalised; both formats have the
    // same bias, and a binary128 subnormal has the exponent of the smallest normal.
    TWide m = ShiftLeft({(field != 0 ? uint64_t{1} << 48 : 0) | fractionHi, lo}, 15);
    if ((m.Hi | m.Lo) == 0)
        return Zero(negative);
    const int shift = LeadingZeros(m);
    m = ShiftLeft(m, shift);
    return RoundAndPack(negative, (field != 0 ? field : 1) - shift, m);
}

void ToBinary128(TSoftExtended x, uint64_t& hi, uint64_t& lo) noexcept {
    const TUnpacked u = Unpack(x);
    const uint64_t sign = u.Negative ? LeadingBit : 0;
    switch (u.Kind) {
    case TKind::Zero:
        hi = sign;
        lo = 0;
        return;
    case TKind::Infinity:
        hi = sign | (uint64_t{0x7FFF} << 48);
        lo = 0;
        return;
    case TKind::NaN: {
        const uint64_t fraction = u.Significand & ~LeadingBit;
        hi = sign | (uint64_t{0x7FFF} << 48) | (uint64_t{1} << 47) | (fraction >> 15);
        lo = fraction << 49;
        return;
    }
    case TKind::Refused:
        hi = LeadingBit | (uint64_t{0x7FFF} << 48) | (uint64_t{1} << 47);
        lo = 0;
        return;
    case TKind::Finite:
        break;
    }
    // The same bias and the same smallest normal exponent: a normal keeps its exponent, a
    // subnormal its stored significand, with 49 more bits below.
    const bool subnormal = u.Exponent <= 0;
    const uint64_t fraction =
        subnormal ? u.Significand >> (1 - u.Exponent) : u.Significand & ~LeadingBit;
    hi = sign | (subnormal ? 0 : static_cast<uint64_t>(u.Exponent) << 48) | (fraction >> 15);
    lo = fraction << 49;
}

// ---- conversions ----

TSoftExtended::TSoftExtended(float x) noexcept {
    uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    *this = FromBinary(bits, Binary32);
}

TSoftExtended::TSoftExtended(double x) noexcept {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    *this = FromBinary(bits, Binary64);
}

TSoftExtended::TSoftExtended(int x) noexcept : TSoftExtended(static_cast<long long>(x)) {}
TSoftExtended::TSoftExtended(long x) noexcept : TSoftExtended(static_cast<long long>(x)) {}
TSoftExtended::TSoftExtended(unsigned x) noexcept
    : TSoftExtended(static_cast<unsigned long long>(x)) {}
TSoftExtended::TSoftExtended(unsigned long x) noexcept
    : TSoftExtended(static_cast<unsigned long long>(x)) {}

TSoftExtended::TSoftExtended(long long x) noexcept {
    const uint64_t magnitude = x < 0 ? 0 - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
    *this = FromMagnitude(x < 0, magnitude);
}

TSoftExtended::TSoftExtended(unsigned long long x) noexcept {
    *this = FromMagnitude(false, x);
}

TSoftExtended::TSoftExtended(long double x) noexcept {
    using Limits = std::numeric_limits<long double>;
    if constexpr (Limits::digits == 64 && Limits::max_exponent == 16384) {
        std::memcpy(&Significand, &x, sizeof Significand);
        std::memcpy(&SignExponent, reinterpret_cast<const unsigned char*>(&x) + 8,
                    sizeof SignExponent);
    } else if constexpr (Limits::digits == 113 && sizeof(long double) == 16) {
        uint64_t words[2];
        std::memcpy(words, &x, sizeof words);
        *this = FromBinary128(words[1], words[0]);
    } else {
        *this = TSoftExtended(static_cast<double>(x));
    }
}

TSoftExtended::operator float() const noexcept {
    const auto bits = static_cast<uint32_t>(ToBinary(*this, Binary32));
    float x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

TSoftExtended::operator double() const noexcept {
    const uint64_t bits = ToBinary(*this, Binary64);
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

TSoftExtended::operator long double() const noexcept {
    using Limits = std::numeric_limits<long double>;
    long double x = 0;
    if constexpr (Limits::digits == 64 && Limits::max_exponent == 16384) {
        std::memcpy(&x, &Significand, sizeof Significand);
        std::memcpy(reinterpret_cast<unsigned char*>(&x) + 8, &SignExponent, sizeof SignExponent);
    } else if constexpr (Limits::digits == 113 && sizeof(long double) == 16) {
        uint64_t words[2];
        ToBinary128(*this, words[1], words[0]);
        std::memcpy(&x, words, sizeof x);
    } else {
        x = static_cast<double>(*this);
    }
    return x;
}

TSoftExtended::operator int() const noexcept {
    return ToInt32(*this);
}
TSoftExtended::operator unsigned() const noexcept {
    return ToUint32(*this);
}
TSoftExtended::operator long long() const noexcept {
    return ToInt64(*this);
}
TSoftExtended::operator unsigned long long() const noexcept {
    return ToUint64(*this);
}

TSoftExtended::operator long() const noexcept {
    if constexpr (sizeof(long) == 8)
        return static_cast<long>(ToInt64(*this));
    else
        return static_cast<long>(ToInt32(*this));
}

TSoftExtended::operator unsigned long() const noexcept {
    if constexpr (sizeof(unsigned long) == 8)
        return static_cast<unsigned long>(ToUint64(*this));
    else
        return static_cast<unsigned long>(ToUint32(*this));
}

// ---- arithmetic ----

namespace {

// x + y for finite nonzero operands; subtract when their signs differ.
TSoftExtended AddFinite(const TUnpacked& x, const TUnpacked& y, bool subtract) noexcept {
    // Order by magnitude so that a difference never goes negative.
    const bool swap =
        y.Exponent > x.Exponent || (y.Exponent == x.Exponent && y.Significand > x.Significand);
    const TUnpacked& big = swap ? y : x;
    const TUnpacked& small = swap ? x : y;
    const bool negative = big.Negative;

    // 64 guard bits below the significand: a difference of exponents of two or more loses at
    // most one leading bit, leaving the sticky bit far below the rounding position; below two
    // the shift loses nothing and the difference is exact.
    const TWide a{big.Significand, 0};
    const TWide b = ShiftRightSticky({small.Significand, 0}, big.Exponent - small.Exponent);
    if (!subtract) {
        TWide sum{a.Hi + b.Hi, a.Lo + b.Lo};
        if (sum.Lo < a.Lo)
            ++sum.Hi;
        if (sum.Hi >= a.Hi) // no carry out of the top
            return RoundAndPack(negative, big.Exponent, sum);
        sum = ShiftRightSticky(sum, 1);
        sum.Hi |= LeadingBit;
        return RoundAndPack(negative, big.Exponent + 1, sum);
    }
    TWide difference{a.Hi - b.Hi, a.Lo - b.Lo};
    if (a.Lo < b.Lo)
        --difference.Hi;
    if ((difference.Hi | difference.Lo) == 0)
        return Zero(false); // x - x is +0 when rounding to nearest
    const int shift = LeadingZeros(difference);
    return RoundAndPack(negative, big.Exponent - shift, ShiftLeft(difference, shift));
}

// x + y, or x - y when subtract: y's sign is flipped only once NaNs are out of the way, since
// a NaN keeps its own sign.
TSoftExtended AddOrSubtract(TSoftExtended x, TSoftExtended y, bool subtract) noexcept {
    const TUnpacked ux = Unpack(x), uy = Unpack(y);
    if (AnyNaN(ux, uy))
        return PropagateNaN(x, ux, y, uy);
    const bool yNegative = uy.Negative != subtract;
    if (ux.Kind == TKind::Infinity) {
        if (uy.Kind == TKind::Infinity && ux.Negative != yNegative)
            return DefaultNaN();
        return x;
    }
    if (uy.Kind == TKind::Infinity)
        return Infinity(yNegative);
    if (uy.Kind == TKind::Zero) {
        if (ux.Kind == TKind::Zero)
            return Zero(ux.Negative && yNegative);
        return RoundAndPack(ux.Negative, ux.Exponent, ux.Significand, 0);
    }
    if (ux.Kind == TKind::Zero)
        return RoundAndPack(yNegative, uy.Exponent, uy.Significand, 0);
    TUnpacked y2 = uy;
    y2.Negative = yNegative;
    return AddFinite(ux, y2, ux.Negative != yNegative);
}

} // namespace

TSoftExtended operator+(TSoftExtended x, TSoftExtended y) noexcept {
    return AddOrSubtract(x, y, false);
}

TSoftExtended operator-(TSoftExtended x, TSoftExtended y) noexcept {
    return AddOrSubtract(x, y, true);
}

TSoftExtended operator*(TSoftExtended x, TSoftExtended y) noexcept {
    const TUnpacked ux = Unpack(x), uy = Unpack(y);
    if (AnyNaN(ux, uy))
        return PropagateNaN(x, ux, y, uy);
    const bool negative = ux.Negative != uy.Negative;
    if (ux.Kind == TKind::Infinity || uy.Kind == TKind::Infinity) {
        if (ux.Kind == TKind::Zero || uy.Kind == TKind::Zero)
            return DefaultNaN();
        return Infinity(negative);
    }
    if (ux.Kind == TKind::Zero || uy.Kind == TKind::Zero)
        return Zero(negative);
    // The product of two significands in [2^63, 2^64) lies in [2^126, 2^128).
    TWide p = Multiply(ux.Significand, uy.Significand);
    int biased = ux.Exponent + uy.Exponent - ExponentBias + 1;
    if ((p.Hi & LeadingBit) == 0) {
        p = ShiftLeft(p, 1);
        --biased;
    }
    return RoundAndPack(negative, biased, p);
}

TSoftExtended operator/(TSoftExtended x, TSoftExtended y) noexcept {
    const TUnpacked ux = Unpack(x), uy = Unpack(y);
    if (AnyNaN(ux, uy))
        return PropagateNaN(x, ux, y, uy);
    const bool negative = ux.Negative != uy.Negative;
    if (ux.Kind == TKind::Infinity)
        return uy.Kind == TKind::Infinity ? DefaultNaN() : Infinity(negative);
    if (uy.Kind == TKind::Infinity)
        return Zero(negative);
    if (uy.Kind == TKind::Zero)
        return ux.Kind == TKind::Zero ? DefaultNaN() : Infinity(negative);
    if (ux.Kind == TKind::Zero)
        return Zero(negative);
    // A 64-bit quotient with its top bit set; the remainder against the divisor gives the
    // rounding: above or below one half, or exact. A quotient never lies exactly halfway: that
    // would need an odd 65-bit multiple of the divisor's odd part inside a 64-bit dividend.
    uint64_t remainder;
    uint64_t q;
    int biased = ux.Exponent - uy.Exponent + ExponentBias;
    if (ux.Significand >= uy.Significand) {
        q = Divide(ux.Significand >> 1, ux.Significand << 63, uy.Significand, remainder);
    } else {
        q = Divide(ux.Significand, 0, uy.Significand, remainder);
        --biased;
    }
    uint64_t lo = 0;
    if (remainder != 0)
        lo = remainder > uy.Significand - remainder ? Half + 1 : 1;
    return RoundAndPack(negative, biased, q, lo);
}

TSoftExtended Sqrt(TSoftExtended x) noexcept {
    const TUnpacked u = Unpack(x);
    if (u.Kind == TKind::NaN || u.Kind == TKind::Refused)
        return PropagateNaN(x, u, x, u);
    if (u.Kind == TKind::Zero)
        return x;
    if (u.Negative)
        return DefaultNaN();
    if (u.Kind == TKind::Infinity)
        return x;
    // The value is m * 2^k with k = Exponent - 16446; with N = m * 2^64 or m * 2^63 so that the
    // remaining power of two is even, the root's significand is isqrt(N) in [2^63, 2^64).
    const int k = u.Exponent - ExponentBias - 63;
    const bool odd = (k & 1) != 0;
    const TWide n = odd ? TWide{u.Significand >> 1, u.Significand << 63} : TWide{u.Significand, 0};
    const int biased = ExponentBias + 63 + (k - (odd ? 63 : 64)) / 2;

    // A double estimate good to about 2^12, raised above the root so that Newton's step
    // descends onto floor(sqrt(N)) or one above; N / q then fits in 64 bits.
    constexpr uint64_t Margin = uint64_t{1} << 14;
    constexpr uint64_t Max = std::numeric_limits<uint64_t>::max();
    const double estimate = std::sqrt(static_cast<double>(n.Hi)) * 4294967296.0;
    uint64_t q = estimate >= 18446744073709551616.0 ? Max : static_cast<uint64_t>(estimate);
    q = q > Max - Margin ? Max : q + Margin;
    uint64_t unused;
    const uint64_t d = Divide(n.Hi, n.Lo, q, unused);
    q = (q & d) + ((q ^ d) >> 1); // (q + d) / 2 without overflow
    TWide square = Multiply(q, q);
    if (square.Hi > n.Hi || (square.Hi == n.Hi && square.Lo > n.Lo)) {
        --q;
        square = Multiply(q, q);
    }
    // N - q^2 lies in [0, 2q]; the root lies above q + 1/2 exactly when it exceeds q.
    TWide r{n.Hi - square.Hi, n.Lo - square.Lo};
    if (n.Lo < square.Lo)
        --r.Hi;
    uint64_t lo = 0;
    if ((r.Hi | r.Lo) != 0)
        lo = (r.Hi != 0 || r.Lo > q) ? Half + 1 : 1;
    return RoundAndPack(false, biased, q, lo);
}

TSoftExtended Ldexp(TSoftExtended x, int exponent) noexcept {
    const TUnpacked u = Unpack(x);
    if (u.Kind == TKind::NaN || u.Kind == TKind::Refused)
        return PropagateNaN(x, u, x, u);
    if (u.Kind != TKind::Finite)
        return x;
    const int scale = exponent < -ExponentClamp  ? -ExponentClamp
                      : exponent > ExponentClamp ? ExponentClamp
                                                 : exponent;
    return RoundAndPack(u.Negative, u.Exponent + scale, u.Significand, 0);
}

TSoftExtended Fabs(TSoftExtended x) noexcept {
    return TSoftExtended::FromBits(static_cast<uint16_t>(x.SignExponent & 0x7FFFU), x.Significand);
}

bool IsNaN(TSoftExtended x) noexcept {
    return Unpack(x).Kind >= TKind::NaN;
}
bool IsInf(TSoftExtended x) noexcept {
    return Unpack(x).Kind == TKind::Infinity;
}
bool IsFinite(TSoftExtended x) noexcept {
    const TKind kind = Unpack(x).Kind;
    return kind == TKind::Zero || kind == TKind::Finite;
}
bool SignBit(TSoftExtended x) noexcept {
    return (x.SignExponent & 0x8000U) != 0;
}

TSoftExtended& TSoftExtended::operator+=(TSoftExtended y) noexcept {
    return *this = *this + y;
}
TSoftExtended& TSoftExtended::operator-=(TSoftExtended y) noexcept {
    return *this = *this - y;
}
TSoftExtended& TSoftExtended::operator*=(TSoftExtended y) noexcept {
    return *this = *this * y;
}
TSoftExtended& TSoftExtended::operator/=(TSoftExtended y) noexcept {
    return *this = *this / y;
}

// ---- comparisons ----

namespace {

// -1, 0 or 1 for ordered operands; 2 when either is a NaN.
int Compare(TSoftExtended x, TSoftExtended y) noexcept {
    const TUnpacked ux = Unpack(x), uy = Unpack(y);
    if (AnyNaN(ux, uy))
        return 2;
    if (ux.Kind == TKind::Zero && uy.Kind == TKind::Zero)
        return 0;
    if (ux.Negative != uy.Negative)
        return ux.Negative ? -1 : 1;
    // Same sign: order the magnitudes (zero < finite < infinity, then exponent, significand).
    const auto rank = [](const TUnpacked& u) { return static_cast<int>(u.Kind); };
    int magnitude;
    if (rank(ux) != rank(uy))
        magnitude = rank(ux) < rank(uy) ? -1 : 1;
    else if (ux.Kind != TKind::Finite)
        magnitude = 0;
    else if (ux.Exponent != uy.Exponent)
        magnitude = ux.Exponent < uy.Exponent ? -1 : 1;
    else
        magnitude = ux.Significand == uy.Significand ? 0 : ux.Significand < uy.Significand ? -1 : 1;
    return ux.Negative ? -magnitude : magnitude;
}

} // namespace

bool operator==(TSoftExtended x, TSoftExtended y) noexcept {
    return Compare(x, y) == 0;
}
bool operator!=(TSoftExtended x, TSoftExtended y) noexcept {
    return Compare(x, y) != 0;
}
bool operator<(TSoftExtended x, TSoftExtended y) noexcept {
    return Compare(x, y) == -1;
}
bool operator<=(TSoftExtended x, TSoftExtended y) noexcept {
    const int c = Compare(x, y);
    return c == -1 || c == 0;
}
bool operator>(TSoftExtended x, TSoftExtended y) noexcept {
    return Compare(x, y) == 1;
}
bool operator>=(TSoftExtended x, TSoftExtended y) noexcept {
    const int c = Compare(x, y);
    return c == 1 || c == 0;
}

} // namespace vt
