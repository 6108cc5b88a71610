// The 80-bit extended type computed in software, bit for bit as the x87 computes it, for targets
// whose long double is something else (binary128 in software, or plain double).
#pragma once

#include <cstdint>
#include <limits>

namespace vt {

// A value of the x87 80-bit format: 64-bit significand with an explicit leading bit, 15-bit
// exponent with bias 16383, gradual underflow. Every operation rounds to nearest, ties to even,
// at 64 bits, as the x87 does with its precision control at 64 bits; the results, NaNs
// included, are the bytes the x87 stores. Encodings the x87 refuses as operands (an exponent
// without the leading bit, or an infinity or NaN without it) give the default NaN as it does.
class TSoftExtended {
public:
    // The layout the x87 stores in memory, little-endian: the significand, then sign and
    // exponent.
    uint64_t Significand = 0;  // with its explicit leading bit (bit 63)
    uint16_t SignExponent = 0; // bit 15 the sign, bits 0-14 the biased exponent

    constexpr TSoftExtended() noexcept = default; // +0

    // Exact: every float, double and 64-bit integer has an 80-bit value.
    TSoftExtended(float x) noexcept;
    TSoftExtended(double x) noexcept;
    TSoftExtended(int x) noexcept;
    TSoftExtended(unsigned x) noexcept;
    TSoftExtended(long x) noexcept;
    TSoftExtended(unsigned long x) noexcept;
    TSoftExtended(long long x) noexcept;
    TSoftExtended(unsigned long long x) noexcept;
    // Rounded to nearest, ties to even, from whatever long double is; the x87 type is copied.
    TSoftExtended(long double x) noexcept;

    // Rounded to nearest, ties to even; overflow gives an infinity, tiny values the IEEE
    // subnormals; a NaN keeps its sign and the top of its payload.
    explicit operator float() const noexcept;
    explicit operator double() const noexcept;
    explicit operator long double() const noexcept;

    // Truncated toward zero like a C cast. A NaN or a value out of a signed type's range gives
    // the type's minimum (the x87 integer indefinite); an unsigned type takes a negative value
    // modulo 2^N as the x86 code compilers emit does, and anything else out of range gives 0.
    explicit operator int() const noexcept;
    explicit operator unsigned() const noexcept;
    explicit operator long() const noexcept;
    explicit operator unsigned long() const noexcept;
    explicit operator long long() const noexcept;
    explicit operator unsigned long long() const noexcept;

    static constexpr TSoftExtended FromBits(uint16_t signExponent, uint64_t significand) noexcept {
        TSoftExtended x;
        x.SignExponent = signExponent;
        x.Significand = significand;
        return x;
    }

    TSoftExtended operator-() const noexcept {
        return FromBits(static_cast<uint16_t>(SignExponent ^ 0x8000U), Significand);
    }
    TSoftExtended operator+() const noexcept { return *this; }
    TSoftExtended& operator+=(TSoftExtended y) noexcept;
    TSoftExtended& operator-=(TSoftExtended y) noexcept;
    TSoftExtended& operator*=(TSoftExtended y) noexcept;
    TSoftExtended& operator/=(TSoftExtended y) noexcept;
};

// Free, not templates, so that an int, a double or a long double converts on either side.
TSoftExtended operator+(TSoftExtended x, TSoftExtended y) noexcept;
TSoftExtended operator-(TSoftExtended x, TSoftExtended y) noexcept;
TSoftExtended operator*(TSoftExtended x, TSoftExtended y) noexcept;
TSoftExtended operator/(TSoftExtended x, TSoftExtended y) noexcept;

// IEEE comparisons: a NaN is unordered (every one false but !=), -0 equals +0.
bool operator==(TSoftExtended x, TSoftExtended y) noexcept;
bool operator!=(TSoftExtended x, TSoftExtended y) noexcept;
bool operator<(TSoftExtended x, TSoftExtended y) noexcept;
bool operator<=(TSoftExtended x, TSoftExtended y) noexcept;
bool operator>(TSoftExtended x, TSoftExtended y) noexcept;
bool operator>=(TSoftExtended x, TSoftExtended y) noexcept;

TSoftExtended Sqrt(TSoftExtended x) noexcept; // correctly rounded; sqrt(-0) = -0, sqrt(x<0) NaN
TSoftExtended Fabs(TSoftExtended x) noexcept;
TSoftExtended Ldexp(TSoftExtended x, int exponent) noexcept; // x * 2^exponent, rounded once
bool IsNaN(TSoftExtended x) noexcept;                        // the refused encodings included
bool IsInf(TSoftExtended x) noexcept;
bool IsFinite(TSoftExtended x) noexcept;
bool SignBit(TSoftExtended x) noexcept;

// The conversions from and to IEEE binary128 (high and low 64-bit words), which long double
// uses where it is that format; rounded to nearest, ties to even.
TSoftExtended FromBinary128(uint64_t high, uint64_t low) noexcept;
void ToBinary128(TSoftExtended x, uint64_t& high, uint64_t& low) noexcept;

} // namespace vt

// The x87 type's limits.
template <> class std::numeric_limits<vt::TSoftExtended> {
public:
    static constexpr bool is_specialized = true;
    static constexpr bool is_signed = true;
    static constexpr bool is_integer = false;
    static constexpr bool is_exact = false;
    static constexpr bool has_infinity = true;
    static constexpr bool has_quiet_NaN = true;
    static constexpr bool has_signaling_NaN = true;
    static constexpr std::float_denorm_style has_denorm = std::denorm_present;
    static constexpr bool has_denorm_loss = false;
    static constexpr std::float_round_style round_style = std::round_to_nearest;
    static constexpr bool is_iec559 = true;
    static constexpr bool is_bounded = true;
    static constexpr bool is_modulo = false;
    static constexpr int digits = 64;
    static constexpr int digits10 = 18;
    static constexpr int max_digits10 = 21;
    static constexpr int radix = 2;
    static constexpr int min_exponent = -16381;
    static constexpr int min_exponent10 = -4931;
    static constexpr int max_exponent = 16384;
    static constexpr int max_exponent10 = 4932;
    static constexpr bool traps = false;
    static constexpr bool tinyness_before = false;

    static constexpr vt::TSoftExtended min() noexcept {
        return vt::TSoftExtended::FromBits(0x0001, 0x8000000000000000ULL);
    }
    static constexpr vt::TSoftExtended max() noexcept {
        return vt::TSoftExtended::FromBits(0x7FFE, 0xFFFFFFFFFFFFFFFFULL);
    }
    static constexpr vt::TSoftExtended lowest() noexcept {
        return vt::TSoftExtended::FromBits(0xFFFE, 0xFFFFFFFFFFFFFFFFULL);
    }
    static constexpr vt::TSoftExtended epsilon() noexcept { // 2^-63
        return vt::TSoftExtended::FromBits(16383 - 63, 0x8000000000000000ULL);
    }
    static constexpr vt::TSoftExtended round_error() noexcept { // 0.5
        return vt::TSoftExtended::FromBits(16382, 0x8000000000000000ULL);
    }
    static constexpr vt::TSoftExtended infinity() noexcept {
        return vt::TSoftExtended::FromBits(0x7FFF, 0x8000000000000000ULL);
    }
    static constexpr vt::TSoftExtended quiet_NaN() noexcept {
        return vt::TSoftExtended::FromBits(0x7FFF, 0xC000000000000000ULL);
    }
    static constexpr vt::TSoftExtended signaling_NaN() noexcept {
        return vt::TSoftExtended::FromBits(0x7FFF, 0xA000000000000000ULL);
    }
    static constexpr vt::TSoftExtended denorm_min() noexcept {
        return vt::TSoftExtended::FromBits(0x0000, 1);
    }
};
