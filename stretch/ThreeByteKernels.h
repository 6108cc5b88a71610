// Private to stretch/: the passes over the plug-in's layout, 8-bit pixels of three bands
// interleaved in three bytes (inputs third, second, first byte): channel sums, component ranges
// and the application of a transform. Each has a portable form and an AVX2 form chosen at run
// time that computes in single precision with a proven error bound, settles doubtful pixels in
// double precision and falls back to the extended computation where neither can decide, so
// both give the same bytes.
#pragma once

#include "stretch/StretchPrivate.h"
#include "stretch/Threads.h"

#include <cstdint>

namespace vt::detail {

// Adds the segments' pixels to the sums, bands in storage order (a reversed view's sums are
// these renumbered: integer sums are exact in any order).
void SumsOfSegments(const TSegments& segments, TChannelSums& sums) noexcept;
// True when the range pass may be cut into parts for these axes (every component finite, so
// extremes of parts combined in order are those of the whole scan).
bool RangesInParts(const TAffineTransform& axes) noexcept;
// Widens lowest and highest to the components' exact extremes over the segments' pixels.
// Reversed: the segments start at each pixel's third byte and their bands run last to first.
void RangesOfSegments(const TSegments& segments, const TAffineTransform& axes, double lowest[3],
                      double highest[3], bool reversed);

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
    // Maps count pixels; reversed: in and out point at each pixel's third byte and the bands
    // run last to first (both sides alike).
    void Run(const uint8_t* in, uint8_t* out, int64_t count, bool reversed) const noexcept;

private:
    TAffineTransform Transform;
    [[maybe_unused]] bool Vector = false;     // the vector kernel can round this transform
    [[maybe_unused]] TRounding Rounding;      // how it rounds in single precision
    [[maybe_unused]] TDoubleRows Refine = {}; // and its second opinion
};

} // namespace vt::detail
