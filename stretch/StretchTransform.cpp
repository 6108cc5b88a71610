// The stretch transform and its application to every pixel.
#include "stretch/StretchTransform.h"

#include "stretch/PrincipalAxes.h"
#include "stretch/StretchPrivate.h"

#include <cmath>
#include <limits>

namespace vt {

void TransformColor(uint8_t in0, uint8_t in1, uint8_t in2, const TAffineTransform& T, double& out0,
                    double& out1, double& out2) noexcept {
    const Extended y0 = detail::AffineSum(in0, in1, in2, T, 0);
    const Extended y1 = detail::AffineSum(in0, in1, in2, T, 1);
    const Extended y2 = detail::AffineSum(in0, in1, in2, T, 2);
    out0 = static_cast<double>(y0);
    out1 = static_cast<double>(y1);
    out2 = static_cast<double>(y2);
}

void TransformColorByte(uint8_t in0, uint8_t in1, uint8_t in2, const TAffineTransform& T,
                        uint8_t& out0, uint8_t& out1, uint8_t& out2) noexcept {
    const Extended y0 = detail::AffineSum(in0, in1, in2, T, 0);
    const Extended y1 = detail::AffineSum(in0, in1, in2, T, 1);
    const Extended y2 = detail::AffineSum(in0, in1, in2, T, 2);
    out0 = RoundClampByte(y0);
    out1 = RoundClampByte(y1);
    out2 = RoundClampByte(y2);
}

void TransformBitmap(TLinearBitmap& Bitmap, const TAffineTransform& T, TLinearBitmap* Target) {
    TLinearBitmap* target = detail::PrepareTarget(Bitmap, Target);
    if (target == nullptr)
        return;
    TFloatEnvironmentGuard environment;
    detail::ApplyTransform(Bitmap, T, *target);
}

namespace detail {

TLinearBitmap* PrepareTarget(TLinearBitmap& bitmap, TLinearBitmap* target) {
    if (bitmap.Present && bitmap.PixelFormat != pf24bit)
        throw ELinearBitmap(SUnsupportedPixelFormat);
    if (target == nullptr || target == &bitmap)
        return &bitmap;
    if (!bitmap.Present) {
        target->Dispose();
        return nullptr;
    }
    target->New(bitmap.Width, bitmap.Height, pf24bit);
    return target;
}

void BuildStretch(const TAffineTransform& axes, const double lowest[3], const double highest[3],
                  bool allowOffset, TAffineTransform& result) {
    bool constant[3];
    for (int k = 0; k < 3; ++k)
        constant[k] = !(static_cast<Extended>(highest[k]) - lowest[k] >= ConstantComponentRange);
    // An image of one colour (or none) has nothing to stretch: every component is constant.
    if (constant[0] && constant[1] && constant[2]) {
        IdentityTransform(result);
        return;
    }

    TAffineTransform stretch = axes;
    double scale[3];
    if (allowOffset) {
        // The offset method divides by the range, so a constant component stays as it is.
        double shift[3];
        for (int k = 0; k < 3; ++k) {
            shift[k] = constant[k] ? 0.0 : -lowest[k];
            scale[k] =
                constant[k]
                    ? 1.0
                    : static_cast<double>(255.0L / (static_cast<Extended>(highest[k]) - lowest[k]));
        }
        TAffineTransform translation;
        TranslationTransform(translation, shift[0], shift[1], shift[2]);
        ComposeTransform(stretch, translation);
    } else {
        for (int k = 0; k < 3; ++k)
            scale[k] = ScaleOnlyFactor(axes, k, lowest[k], highest[k]);
    }
    TAffineTransform scaling;
    ScaleTransform(scaling, scale[0], scale[1], scale[2]);
    ComposeTransform(stretch, scaling);

    TAffineTransform inverse;
    InvertTransform(axes, inverse);
    ComposeTransform(stretch, inverse);
    result = stretch;
}

double ScaleOnlyFactor(const TAffineTransform& axes, int k, double lowest, double highest) {
    // Pos and Neg: the largest and smallest values component k takes over the colour cube.
    double pos = 0, neg = 0;
    for (int j = 0; j < 3; ++j) {
        const double v = axes(k, j);
        if (v >= 0)
            pos = static_cast<double>(static_cast<Extended>(pos) + v);
        else
            neg = static_cast<double>(static_cast<Extended>(neg) + v);
    }
    pos = static_cast<double>(static_cast<Extended>(pos) * 255);
    neg = static_cast<double>(static_cast<Extended>(neg) * 255);
    // Extremes at rounding-noise level (the chroma components of a grey image) bound nothing.
    if (std::fabs(lowest) < ConstantComponentRange && std::fabs(highest) < ConstantComponentRange)
        return 1.0;
    Extended s = std::numeric_limits<Extended>::infinity();
    if (pos > 0 && highest > 0) {
        const Extended q = static_cast<Extended>(pos) / highest;
        if (!(s < q))
            s = q;
    }
    if (neg < 0 && lowest < 0) {
        const Extended q = static_cast<Extended>(neg) / lowest;
        if (!(s < q))
            s = q;
    }
    // A component that nothing bounds keeps its scale.
    const double stored = static_cast<double>(s);
    return std::isfinite(stored) ? stored : 1.0;
}

} // namespace detail

void StretchTransform(const TLinearBitmap& Bitmap, bool AllowOffset, TAffineTransform& Result) {
    TAffineTransform axes;
    PrincipalAxes(Bitmap, AllowOffset, nullptr, nullptr, nullptr, axes);
    TFloatEnvironmentGuard environment;
    double lowest[3], highest[3];
    detail::ComponentRanges(Bitmap, axes, lowest, highest);
    detail::BuildStretch(axes, lowest, highest, AllowOffset, Result);
}

} // namespace vt
