// Private to stretch/: which kernels a pass over the pixels runs: the processor decides the
// form (AVX-512, AVX2 or portable), and tests may pin it. Every choice gives the same bytes.
#pragma once

namespace vt::detail {

// Which processor forms run: the fastest the processor offers, the AVX2 ones even where wider
// ones exist, or the portable ones (tests pin each in turn and compare).
enum class TKernelChoice { Best, Avx2, Portable };
void SetKernelChoice(TKernelChoice choice) noexcept;
bool UseVectorKernels() noexcept; // AVX2
bool UseWideKernels() noexcept;   // AVX-512

} // namespace vt::detail
