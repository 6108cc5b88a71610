// The choice of kernels: the family by the pixels' layout, the form by the processor.
#include "stretch/KernelDispatch.h"

#include "stretch/EnginePrivate.h"
#include "stretch/FourByteKernels.h"

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

// The plug-in's layout: 8-bit samples, three bands interleaved in three bytes, in storage order
// or last to first.
bool IsThreeBytePixels(const TImageView& v) noexcept {
    return v.Type == TSampleType::UInt8 && v.Bands == 3 && v.PixelStride == 3 &&
           (v.BandStride == 1 || v.BandStride == -1);
}

// 8-bit samples of three bands in consecutive bytes (either direction), pixels four bytes apart.
bool IsFourBytePixels(const TImageView& v) noexcept {
    return v.Type == TSampleType::UInt8 && v.Bands == 3 && v.PixelStride == 4 &&
           (v.BandStride == 1 || v.BandStride == -1);
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

TKernelFamily KernelFamilyFor(const TImageView& image, const TSelection* selection,
                              const TKernelPass& pass) noexcept {
    const bool plain = selection == nullptr || (selection->Mask == nullptr &&
                                                !selection->HasNoData && selection->Every == 1);
    if (!plain)
        return TKernelFamily::Stream;
    const bool threeBytes = IsThreeBytePixels(image), fourBytes = IsFourBytePixels(image);
    switch (pass.Kind) {
    case TPassKind::Statistics:
        return threeBytes  ? TKernelFamily::ThreeByte
               : fourBytes ? TKernelFamily::FourByte
                           : TKernelFamily::Stream;
    case TPassKind::Ranges:
        // The three-byte kernels take the inputs in the plug-in's working order only.
        if (threeBytes && IsPluginOrder(pass.Axes->Order, pass.Axes->Bands))
            return TKernelFamily::ThreeByte;
        return fourBytes && FourByteMeasures(*pass.Axes) ? TKernelFamily::FourByte
                                                         : TKernelFamily::Stream;
    case TPassKind::Apply: {
        // Both sides in the family's layout, and four-byte cells in the same band direction.
        const TImageView& target = *pass.Target;
        const TBandTransform& t = *pass.Transform;
        if (threeBytes && IsThreeBytePixels(target) && image.BandStride == target.BandStride &&
            IsPluginOrder(t.Order, t.Bands))
            return TKernelFamily::ThreeByte;
        return fourBytes && IsFourBytePixels(target) && image.BandStride == target.BandStride &&
                       FourByteApplies(t)
                   ? TKernelFamily::FourByte
                   : TKernelFamily::Stream;
    }
    case TPassKind::Count:
        return fourBytes && FourByteApplies(*pass.Transform) ? TKernelFamily::FourByte
                                                             : TKernelFamily::Stream;
    }
    return TKernelFamily::Stream;
}

} // namespace vt::detail
