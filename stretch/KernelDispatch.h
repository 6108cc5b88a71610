// Private to stretch/: which kernels a pass over the pixels runs. The family comes from the
// pixels' layout, chosen in one place for every pass: the plug-in's three-byte layout
// (ThreeByteKernels.h), three bands in four-byte cells (FourByteKernels.h) or the general
// stream kernels (StreamKernels.h). Within a family the processor decides the form (AVX-512,
// AVX2 or portable), and tests may pin it. Every choice gives the same bytes.
#pragma once

#include "stretch/StretchEngine.h"

namespace vt::detail {

// Which processor forms run: the fastest the processor offers, the AVX2 ones even where wider
// ones exist, or the portable ones (tests pin each in turn and compare).
enum class TKernelChoice { Best, Avx2, Portable };
void SetKernelChoice(TKernelChoice choice) noexcept;
bool UseVectorKernels() noexcept; // AVX2
bool UseWideKernels() noexcept;   // AVX-512

// The families of kernels, by the layout of the pixels they take.
enum class TKernelFamily {
    ThreeByte, // 8-bit samples, three bands in three consecutive bytes (either direction)
    FourByte,  // 8-bit samples, three bands in consecutive bytes of four-byte cells
    Stream,    // every type, band count, layout and selection
};

// The passes that choose a family.
enum class TPassKind { Statistics, Ranges, Apply, Count };

// A pass as its choice of kernels sees it: what it computes and what it maps through.
struct TKernelPass {
    TPassKind Kind = TPassKind::Statistics;
    const TPrincipalAxes* Axes = nullptr;      // Ranges: the axes whose components are measured
    const TBandTransform* Transform = nullptr; // Apply and Count: the transform run
    const TImageView* Target = nullptr;        // Apply: the pixels written

    // The statistics pass.
    static TKernelPass Statistics() noexcept { return {}; }
    // The components' extremes under the axes.
    static TKernelPass Ranges(const TPrincipalAxes& axes) noexcept {
        return {TPassKind::Ranges, &axes, nullptr, nullptr};
    }
    // The application of T, writing target.
    static TKernelPass Apply(const TBandTransform& t, const TImageView& target) noexcept {
        return {TPassKind::Apply, nullptr, &t, &target};
    }
    // The saturation's counts of the outputs of T (no three-byte kernels count).
    static TKernelPass Count(const TBandTransform& t) noexcept {
        return {TPassKind::Count, nullptr, &t, nullptr};
    }
};

// The family that runs the pass over image. Selection (null: every pixel, nothing marked) is
// what the pass reads, or for the application the no-data value it leaves alone: anything but
// whole pixels of a plain rectangle (a mask, a no-data value, a step) takes the stream kernels.
// The three-byte and four-byte families serve only the maps whose error bounds they keep.
TKernelFamily KernelFamilyFor(const TImageView& image, const TSelection* selection,
                              const TKernelPass& pass) noexcept;

} // namespace vt::detail
