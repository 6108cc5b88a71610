// The stream kernels for processors with AVX-512: eight doubles to a vector. Only the bodies
// take the target (clang takes it as an attribute of every function, lambdas included), so
// that no inline function shared with other files is ever compiled for it.
#include "stretch/StreamKernels.h"

#if defined(VT_STREAM_WIDE)
#include <immintrin.h>

#include <utility>

// The kernels' vectors never cross a call between two instruction sets.
#pragma GCC diagnostic ignored "-Wpsabi"
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512dq,avx512bw,avx512vl,fma"))),    \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512bw,avx512vl,fma")
#endif

namespace vt::detail::avx512 {

#define VT_STREAM_LANES 8
#define VT_STREAM_BODY_AVX512 1
#include "stretch/StreamKernelBodies.inc"
#undef VT_STREAM_BODY_AVX512
#undef VT_STREAM_LANES

} // namespace vt::detail::avx512

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif
