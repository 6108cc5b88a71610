// The general passes' kernels for processors with AVX2: one form that rounds every product and
// sum (as the portable form does, giving the same bytes), and one that fuses them, for the
// sums whose result no rounding changes or only a bound covers. Only the bodies take the
// target, so that no inline function shared with other files is ever compiled for it.
#include "stretch/GeneralKernels.h"

#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace vt::detail::avx2 {
#include "stretch/GeneralKernelBodies.inc"
const TGeneralKernels& GeneralKernels() noexcept {
    return Kernels;
}
} // namespace vt::detail::avx2

#if defined(__clang__)
#pragma clang attribute pop
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif

namespace vt::detail::fused {
#define VT_GENERAL_FUSED 1
#include "stretch/GeneralKernelBodies.inc"
#undef VT_GENERAL_FUSED
const TGeneralKernels& GeneralKernels() noexcept {
    return Kernels;
}
} // namespace vt::detail::fused

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
