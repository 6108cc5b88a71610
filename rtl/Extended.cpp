// Rounding helpers and the floating-point environment guard.
#include "rtl/Extended.h"

#include <cfenv>
#include <cmath>
#include <cstring>

namespace vt {

Extended RoundHalfEven(Extended x) noexcept {
    if (!std::isfinite(x))
        return x;
    const Extended lower = std::floor(x);
    const Extended diff = x - lower; // exact: both lie in the same binade or diff is tiny
    if (diff > 0.5L)
        return lower + 1;
    if (diff < 0.5L)
        return lower;
    return std::fmod(lower, 2.0L) == 0 ? lower : lower + 1;
}

uint8_t RoundClampByte(Extended x) noexcept {
    if (std::isnan(x))
        return 0;
    const Extended r = RoundHalfEven(x);
    if (r >= 255)
        return 255;
    if (r <= 0)
        return 0;
    return static_cast<uint8_t>(r);
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
