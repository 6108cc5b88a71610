// Rounding helpers and the floating-point environment guard.
#include "rtl/Extended.h"

#include <cfenv>
#include <cmath>
#include <cstring>

namespace vt {

namespace {

// Rounds |x| < 2^63 to the nearest integer, halves to even, from the bits of the 80-bit format
// (64-bit significand with its leading bit, 15-bit exponent): no rounding mode is consulted
// and no control word is switched, which on some processors costs more than the rest.
// Returns false for NaN, infinities and magnitudes of 2^63 and more.
bool RoundToInteger(Extended x, int64_t& result) noexcept {
    unsigned char bytes[sizeof(Extended)];
    std::memcpy(bytes, &x, sizeof bytes);
    uint64_t significand;
    uint16_t signExponent;
    std::memcpy(&significand, bytes, 8);
    std::memcpy(&signExponent, bytes + 8, 2);
    const int exponent = (signExponent & 0x7FFF) - 16383;
    const bool negative = (signExponent & 0x8000) != 0;
    if ((signExponent & 0x7FFF) == 0x7FFF || exponent >= 63)
        return false;
    uint64_t whole;
    if (exponent < -1) {
        whole = 0; // below one half
    } else if (exponent == -1) {
        whole = significand > (uint64_t{1} << 63) ? 1 : 0; // [0.5, 1): exactly one half is even 0
    } else {
        const int shift = 63 - exponent; // 1..63
        whole = significand >> shift;
        const uint64_t rest = significand & ((uint64_t{1} << shift) - 1);
        const uint64_t half = uint64_t{1} << (shift - 1);
        if (rest > half || (rest == half && (whole & 1) != 0))
            ++whole;
    }
    result = negative ? -static_cast<int64_t>(whole) : static_cast<int64_t>(whole);
    return true;
}

} // namespace

Extended RoundHalfEven(Extended x) noexcept {
    int64_t whole;
    if (!RoundToInteger(x, whole))
        return x; // NaN, infinities, and values so large that they are integers already
    if (whole == 0)
        return SignBit(x) ? -0.0L : 0.0L;
    return static_cast<Extended>(whole);
}

uint8_t RoundClampByte(Extended x) noexcept {
    if (IsNaN(x) || x <= -1)
        return 0;
    if (x >= 256)
        return 255;
    int64_t whole = 0;
    RoundToInteger(x, whole);
    return static_cast<uint8_t>(whole < 0 ? 0 : whole > 255 ? 255 : whole);
}

static_assert(sizeof(std::fenv_t) <= 128, "fenv_t does not fit the guard's buffer");

#if defined(__i386__) || defined(__x86_64__)
static uint16_t ReadControlWord() noexcept {
    uint16_t cw;
    __asm__ __volatile__("fnstcw %0" : "=m"(cw));
    return cw;
}
static void WriteControlWord(uint16_t cw) noexcept {
    __asm__ __volatile__("fldcw %0" : : "m"(cw));
}
static uint32_t ReadMxcsr() noexcept {
    uint32_t v;
    __asm__ __volatile__("stmxcsr %0" : "=m"(v));
    return v;
}
static void WriteMxcsr(uint32_t v) noexcept {
    __asm__ __volatile__("ldmxcsr %0" : : "m"(v));
}
#endif

TFloatEnvironmentGuard::TFloatEnvironmentGuard() noexcept {
    std::fenv_t env;
    std::fegetenv(&env);
    std::memcpy(Saved, &env, sizeof env);
#if defined(__i386__) || defined(__x86_64__)
    SavedControlWord = ReadControlWord();
    SavedMxcsr = ReadMxcsr();
    // x87: all exceptions masked (0x3F), 64-bit precision (PC = 11), round to nearest (RC = 00).
    WriteControlWord(0x037F);
    // SSE: all exceptions masked, round to nearest, no flush-to-zero, no denormals-are-zero.
    WriteMxcsr(0x1F80 | (SavedMxcsr & 0x3F));
#endif
}

TFloatEnvironmentGuard::~TFloatEnvironmentGuard() {
    std::fenv_t env;
    std::memcpy(&env, Saved, sizeof env);
    std::fesetenv(&env);
#if defined(__i386__) || defined(__x86_64__)
    WriteControlWord(SavedControlWord);
    WriteMxcsr(SavedMxcsr);
#endif
}

} // namespace vt
