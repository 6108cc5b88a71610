// Private to stretch/: the passes over 8-bit pixels of three bands held in four-byte cells (red,
// green, blue and alpha, as browsers and many imaging libraries hold colour, in either band
// direction). Four pixels at a time in single precision with a proven error bound; what that
// cannot decide is settled in double precision, then exactly as the general passes compute it,
// so that these passes give their bytes and extremes bit for bit.
#pragma once

#include "stretch/EnginePrivate.h"

namespace vt::detail {

// Adds the selected pixels of the segments (whole pixels, no mask, no no-data value) to st.
void FourByteStatistics(const TSegments& segments, int64_t bandStride, TStatistics& st) noexcept;

// Whether FourByteRanges can serve the axes (finite, moderate weights: the single-precision
// estimates keep a useful bound).
bool FourByteMeasures(const TPrincipalAxes& axes) noexcept;
// Widens the extremes of the axes' components over the pixels of the segments, as the general
// pass does in scan order.
void FourByteRanges(const TSegments& segments, int64_t bandStride, const TPrincipalAxes& axes,
                    TComponentRanges& ranges) noexcept;

// Whether FourByteApply can serve the transform (finite, moderate weights).
bool FourByteApplies(const TBandTransform& t) noexcept;
// Maps the pixels of In through T into Out (segments of the same shape; they may coincide):
// the three band bytes of each cell are written, the fourth is left as it was.
void FourByteApply(const TSegments& in, const TSegments& out, int64_t bandStride,
                   const TBandTransform& t) noexcept;

} // namespace vt::detail
