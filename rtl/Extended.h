// Extended precision: the 80-bit x87 type the computations rely on, exact rounding helpers and
// the guard that gives an exported call the floating-point environment it needs.
#pragma once

#include "rtl/SoftExtended.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace vt {

// The 80-bit x87 format: 64-bit significand, 15-bit exponent. x86 computes in it natively; other
// processors (WebAssembly among them) compute it exactly in software, so that every build gives
// the same bits.
#if (defined(__i386__) || defined(__x86_64__)) && !defined(VT_SOFT_EXTENDED)
#define VT_NATIVE_EXTENDED 1
using Extended = long double;
static_assert(std::numeric_limits<Extended>::digits == 64,
              "Extended must be the 80-bit x87 type (64-bit significand)");
static_assert(std::numeric_limits<Extended>::max_exponent == 16384,
              "Extended must have a 15-bit exponent");
inline Extended Sqrt(Extended x) noexcept {
    return std::sqrt(x);
}
inline Extended Fabs(Extended x) noexcept {
    return std::fabs(x);
}
inline bool IsNaN(Extended x) noexcept {
    return std::isnan(x);
}
inline bool IsInf(Extended x) noexcept {
    return std::isinf(x);
}
inline bool IsFinite(Extended x) noexcept {
    return std::isfinite(x);
}
inline bool SignBit(Extended x) noexcept {
    return std::signbit(x);
}
#else
using Extended = TSoftExtended;
#endif

// Rounds to the nearest integer, halves to the even neighbour, whatever the current rounding
// mode. NaN and infinities come back unchanged.
Extended RoundHalfEven(Extended x) noexcept;

// Rounds half to even and clamps to 0..255; a NaN gives 0.
uint8_t RoundClampByte(Extended x) noexcept;

// Saves the caller's floating-point environment (x87 control and status, SSE control and
// status) and sets the one the library computes in: round to nearest, 64-bit extended
// precision, every exception masked. The destructor puts the caller's environment back.
class TFloatEnvironmentGuard {
public:
    TFloatEnvironmentGuard() noexcept;
    ~TFloatEnvironmentGuard();
    TFloatEnvironmentGuard(const TFloatEnvironmentGuard&) = delete;
    TFloatEnvironmentGuard& operator=(const TFloatEnvironmentGuard&) = delete;

private:
    alignas(16) unsigned char Saved[128];
    [[maybe_unused]] uint16_t SavedControlWord = 0; // x86 only
    [[maybe_unused]] uint32_t SavedMxcsr = 0;
};

} // namespace vt
