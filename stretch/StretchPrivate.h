// Private to stretch/: the pieces the plug-in's stretch (StretchTransform.h) shares with the
// engine and with the literal stretch of the tests, so that all of them build their transforms
// from the same statistics with the same arithmetic.
#pragma once

#include "image/LinarBitmap.h"
#include "math/MatrixMath.h"
#include "rtl/Extended.h"

#include <cstdint>

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

} // namespace vt::detail
