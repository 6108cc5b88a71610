// Private to stretch/: the pieces the fast paths and the literal reference share, so that both
// build their transforms from the same statistics with the same arithmetic, and the kernels
// that run over the pixels.
#pragma once

#include "image/LinarBitmap.h"
#include "math/MatrixMath.h"
#include "rtl/Extended.h"

#include <algorithm>
#include <cstdint>
#include <thread>

namespace vt::detail {

// One output of the affine map, summed in extended precision in the order of the inputs. A
// byte times a double is exact in extended, so only the three additions round.
inline Extended AffineSum(uint8_t in0, uint8_t in1, uint8_t in2, const TAffineTransform& T,
                          int r) noexcept {
    Extended sum = static_cast<Extended>(in0) * T(r, 0);
    sum += static_cast<Extended>(in1) * T(r, 1);
    sum += static_cast<Extended>(in2) * T(r, 2);
    sum += T(r, 3);
    return sum;
}

// The exact integer sums of one image: per channel (0 = first byte) the sum of values and, for
// every pair, the sum of products. 64 bits hold every image a bitmap can describe.
struct TChannelSums {
    int64_t Count = 0;
    int64_t Sum[3] = {0, 0, 0};
    int64_t Product[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    uint8_t Lowest[3] = {255, 255, 255}; // per channel, over the pixels summed
    uint8_t Highest[3] = {0, 0, 0};
};

// Pearson correlation of two bands from their count and sums, in extended precision (means,
// variances, then the coefficient), rounded to a double; 0 when nothing was summed or either
// band is constant.
double PearsonCorrelation(Extended n, Extended sa, Extended sb, Extended saa, Extended sbb,
                          Extended sab) noexcept;

// Pearson correlation of channels a and b (0-based) from the sums.
double CorrelationFromSums(const TChannelSums& sums, int a, int b) noexcept;

// Every sum in one pass over the pixels.
TChannelSums ComputeChannelSums(const TLinearBitmap& bitmap);

// The principal-axes transform from the three correlations (channel pairs 1-2, 1-3, 2-3).
void AxesFromCorrelations(double r12, double r13, double r23, bool allowOffset, double* fraction1,
                          double* fraction2, double* fraction3, TAffineTransform& result);

// The stretch transform from the principal axes and each component's range over the image.
void BuildStretch(const TAffineTransform& axes, const double lowest[3], const double highest[3],
                  bool allowOffset, TAffineTransform& result);

// Each component's exact range, Min(k) and Max(k) of the doubles that TransformColor gives,
// over every pixel.
void ComponentRanges(const TLinearBitmap& bitmap, const TAffineTransform& axes, double lowest[3],
                     double highest[3]);

// The bitmap a TransformBitmap call writes: Bitmap itself (Target null or Bitmap), or Target
// made a 24-bit bitmap of Bitmap's size; null when there is nothing to map (Target is then
// emptied). Raises ELinearBitmap "Unsupported pixel format" for a bitmap not 24-bit.
TLinearBitmap* PrepareTarget(TLinearBitmap& bitmap, TLinearBitmap* target);

// Maps every pixel of Source through T into Target (which may be Source), exactly as
// TransformColorByte does.
void ApplyTransform(const TLinearBitmap& source, const TAffineTransform& T, TLinearBitmap& target);

// Which pixel kernels run: the fastest the processor offers, the AVX2 ones even where wider
// ones exist, or the portable ones (tests pin each in turn and compare).
enum class TKernelChoice { Best, Avx2, Portable };
void SetKernelChoice(TKernelChoice choice) noexcept;
bool UseVectorKernels() noexcept; // AVX2
bool UseWideKernels() noexcept;   // AVX-512

// ---- Segments and threads -----------------------------------------------------------------

// Count runs of Length pixels, Stride bytes apart, the first at First: the rows of a rectangle,
// or one long run when packed rows follow each other without a gap. Row and Offset tell where
// the first run starts in the image (for a mask or a second image), Step how many image
// pixels one selected pixel advances, along rows and between them.
struct TSegments {
    uint8_t* First = nullptr;
    int64_t Count = 0;
    int64_t Length = 0;
    int64_t Stride = 0;
    int64_t PixelStride = 0;
    int64_t Row = 0, Offset = 0, Step = 1;
};

inline constexpr int MaxParts = 16;

// How many parts a pass over the segments is cut into (the thread setting, the image's size).
int PartsFor(const TSegments& segments) noexcept;
// Part `part` of `parts`: whole runs, or a piece of the one long run.
TSegments PartOf(const TSegments& segments, int part, int parts) noexcept;

// Runs Work(part) for every part on up to Threads threads (at most MaxParts): the calling
// thread and helpers that compute in the library's floating-point environment, thread t doing
// parts t, t + Threads, ... A helper that cannot be started leaves its parts to the calling
// thread. Work must not throw.
template <class TWork> void RunParts(int parts, int threads, const TWork& work) {
    threads = std::max(1, std::min({threads, parts, MaxParts}));
    const auto share = [&](int t) {
        for (int part = t; part < parts; part += threads)
            work(part);
    };
    std::thread helpers[MaxParts];
    for (int t = 1; t < threads; ++t) {
        try {
            helpers[t] = std::thread([&share, t] {
                TFloatEnvironmentGuard environment;
                share(t);
            });
        } catch (...) { // no thread to be had: the share is done below
        }
    }
    share(0);
    for (int t = 1; t < threads; ++t) {
        if (helpers[t].joinable())
            helpers[t].join();
        else
            share(t);
    }
}
template <class TWork> void RunParts(int parts, const TWork& work) {
    RunParts(parts, parts, work);
}

// Parts that depend on the image alone, never on the threads: passes whose partial results
// are not exact (compensated float sums) combine them in this fixed order.
int FixedPartsFor(const TSegments& segments) noexcept;

// ---- The passes over three-byte pixels (inputs third, second, first byte) -----------------

// Adds the segments' pixels to the sums.
void SumsOfSegments(const TSegments& segments, TChannelSums& sums) noexcept;
// True when the range pass may be cut into parts for these axes (every component finite, so
// extremes of parts combined in order are those of the whole scan).
bool RangesInParts(const TAffineTransform& axes) noexcept;
// Widens lowest and highest to the components' exact extremes over the segments' pixels.
void RangesOfSegments(const TSegments& segments, const TAffineTransform& axes, double lowest[3],
                      double highest[3]);

// How the application rounds in single precision. Adding Magic = 1.5 x 2^(23 - Bits) to an
// estimate y leaves round(y x 2^Bits) in the low bits of the sum; after subtracting Bias the
// integer u holds y + 1/2 in fixed point with Bits fraction bits, plus Window units. An
// estimate is doubtful when its fraction lies within Window units of a rounding half, that is
// when u's fraction is at most 2 x Window; otherwise u >> Bits is its nearest integer (the
// added Window cannot carry). Magic exceeds twice every |y|, so the sum stays positive and its
// bits grow with y: estimates outside the binade of Magic still give integers beyond 0..255 on
// the right side, and the saturating packs clamp them.
struct TRounding {
    bool Usable = false;
    int Bits = 0;
    float Magic = 0;
    int32_t Bias = 0;
    int32_t Window = 0;
};

// The vector application's second opinion in double precision, from the same centred inputs.
struct TDoubleRows {
    double W[3][4];  // per component: the three weights and the centred constant
    double Limit[3]; // 1/2 less the error bound
};

// The application of one transform to runs of pixels, as TransformColorByte maps each.
class TApplyPlan {
public:
    explicit TApplyPlan(const TAffineTransform& T);
    void Run(const uint8_t* in, uint8_t* out, int64_t count) const noexcept;

private:
    TAffineTransform Transform;
    [[maybe_unused]] bool Vector = false;     // the vector kernel can round this transform
    [[maybe_unused]] TRounding Rounding;      // how it rounds in single precision
    [[maybe_unused]] TDoubleRows Refine = {}; // and its second opinion
};

} // namespace vt::detail
