// The principal colour axes of a 24-bit image: the Pearson correlation of its byte channels,
// the eigenvectors of their correlation matrix, and the transform that maps a pixel onto them.
#pragma once

#include "image/LinarBitmap.h"
#include "math/MatrixMath.h"

namespace vt {

// Pearson correlation of channels ChannelA and ChannelB (1 = first byte, blue; 2 = second,
// green; 3 = third, red) over every pixel of a 24-bit bitmap, formed in extended precision
// from exact 64-bit sums. A channel that is constant over the image correlates 0 with the
// others. No format check: callers pass a 24-bit bitmap (PrincipalAxes does).
double ChannelCorrelation(const TLinearBitmap& Bitmap, int ChannelA, int ChannelB);

// Fills Result with the transform whose row k - 1 gives the k-th principal component (the one
// of the k-th largest eigenvalue). Column j - 1 receives the eigenvector element of channel j,
// so channel 1 (blue, the first byte) weights the transform's input 0 (red, the third byte).
// With AllowOffset every row is divided by the sum of its absolute weights and lifted by a
// constant so that any colour maps into 0..255. Each non-null Fraction receives its
// eigenvalue's share of the sum of all three. Raises ELinearBitmap "Unsupported pixel
// format" for a bitmap that is not 24-bit, before anything is read or written.
void PrincipalAxes(const TLinearBitmap& Bitmap, bool AllowOffset, double* Fraction1,
                   double* Fraction2, double* Fraction3, TAffineTransform& Result);

} // namespace vt
