// The principal-component stretch: the one affine colour map that rotates an image's pixels
// onto their principal axes, stretches each axis and rotates back, and its application to
// every pixel with rounding and clamping.
#pragma once

#include "image/LinarBitmap.h"
#include "math/MatrixMath.h"

#include <cstdint>

namespace vt {

// out r = in0 T(r,0) + in1 T(r,1) + in2 T(r,2) + T(r,3), added in this order in extended
// precision and stored as doubles. A pixel feeds in0 = third byte (red), in1 = second byte,
// in2 = first byte (blue).
void TransformColor(uint8_t in0, uint8_t in1, uint8_t in2, const TAffineTransform& T, double& out0,
                    double& out1, double& out2) noexcept;

// The same sums, each rounded to the nearest integer (halves to even) and clamped to 0..255; a
// sum that is not a number gives 0. All inputs are read before any output is written, so the
// outputs may alias the inputs.
void TransformColorByte(uint8_t in0, uint8_t in1, uint8_t in2, const TAffineTransform& T,
                        uint8_t& out0, uint8_t& out1, uint8_t& out2) noexcept;

// Maps every pixel of a 24-bit bitmap through T: in place when Target is null or Bitmap itself,
// otherwise into Target, which becomes a packed 24-bit bitmap of the same size (Bitmap is
// unchanged). Rows are taken with their BytesPerLine, so padding is never read or written. An
// empty bitmap maps nothing. Raises ELinearBitmap "Unsupported pixel format" for a bitmap that
// holds another format, and what Target's New raises.
void TransformBitmap(TLinearBitmap& Bitmap, const TAffineTransform& T, TLinearBitmap* Target);

// Computes the stretch transform of a 24-bit bitmap into Result: the principal axes, each
// component's range over the image, then per component either a translation of its minimum to
// 0 and a scale of its range to 255 (AllowOffset) or the largest scale about 0 that keeps its
// extremes within the range the component can take over all colours (scale-only), and finally
// the inverse rotation. Degenerate images never produce NaN or infinities: in offset mode a
// component whose range is below 1e-9 (constant up to rounding noise) is neither translated nor
// scaled; in scale-only mode a constant component is scaled like any other, a component whose
// extremes both lie within 1e-9 of 0 or that no bound limits keeps scale 1; an image of one
// colour (a single pixel, a uniform image) gets the identity. Raises ELinearBitmap "Unsupported
// pixel format" for a bitmap that is not 24-bit; Result is then unchanged.
void StretchTransform(const TLinearBitmap& Bitmap, bool AllowOffset, TAffineTransform& Result);

// The range below which a principal component counts as constant, for data whose components
// reach the sample type's top: the rule is relative, a component counting as constant when its
// range is below ConstantComponentRange x M / top, M the largest magnitude of the components'
// weighted sums over the selected pixels (constants left out). 8-bit data spanning its range
// thus keeps 1e-9, and float data of any scale is judged against its own.
inline constexpr double ConstantComponentRange = 1e-9;

} // namespace vt
