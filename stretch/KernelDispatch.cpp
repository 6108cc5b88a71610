// The choice of kernels: the form by the processor.
#include "stretch/KernelDispatch.h"

#include <atomic>

namespace vt::detail {

namespace {

std::atomic<TKernelChoice> KernelChoice{TKernelChoice::Best};

bool ProcessorHasAvx2() noexcept {
#if defined(__i386__) || defined(__x86_64__)
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return has;
#else
    return false;
#endif
}

} // namespace

void SetKernelChoice(TKernelChoice choice) noexcept {
    KernelChoice.store(choice);
}

bool UseVectorKernels() noexcept {
    return KernelChoice.load() != TKernelChoice::Portable && ProcessorHasAvx2();
}

bool UseWideKernels() noexcept {
#if defined(__i386__) || defined(__x86_64__)
    static const bool has =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
    return KernelChoice.load() == TKernelChoice::Best && has && ProcessorHasAvx2();
#else
    return false;
#endif
}

} // namespace vt::detail
