// The stretch computed exactly as its definition reads, one step at a time: one pass over the
// pixels per channel pair, a pass for the component ranges and a pass that maps every pixel,
// each pixel through extended arithmetic. It is slow on purpose: it is the oracle that the
// fast paths are checked against, byte for byte, and the baseline the benchmarks measure, and
// lives with them (library vt_stretch_reference), outside the installed library.
#pragma once

#include "image/LinarBitmap.h"
#include "math/MatrixMath.h"

namespace vt::reference {

// As vt::PrincipalAxes, with one pass per channel pair through vt::ChannelCorrelation.
void PrincipalAxes(const TLinearBitmap& Bitmap, bool AllowOffset, double* Fraction1,
                   double* Fraction2, double* Fraction3, TAffineTransform& Result);

// As vt::StretchTransform, with the range pass through vt::TransformColor.
void StretchTransform(const TLinearBitmap& Bitmap, bool AllowOffset, TAffineTransform& Result);

// As vt::TransformBitmap, every pixel through vt::TransformColorByte.
void TransformBitmap(TLinearBitmap& Bitmap, const TAffineTransform& T, TLinearBitmap* Target);

} // namespace vt::reference
