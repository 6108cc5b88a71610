// The stretch transform and its application to every pixel.
#include "stretch/StretchTransform.h"

#include "stretch/EnginePrivate.h"
#include "stretch/PrincipalAxes.h"

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

namespace {
// A transform in the plug-in's working order: inputs and outputs third, second, first byte.
TBandTransform PluginTransform(const TAffineTransform& t) {
    TBandTransform b = TBandTransform::Identity(3, TSampleType::UInt8);
    b.Map = AsAffineMap(t);
    b.Options.Pairing = TBandPairing::Plugin;
    for (int j = 0; j < 3; ++j)
        b.Order[j] = 2 - j;
    return b;
}
} // namespace

TChannelSums ComputeChannelSums(const TLinearBitmap& bitmap) {
    const TStatistics st = MeasureStatistics(ViewOfBitmap(bitmap));
    TChannelSums sums;
    sums.Count = st.Count;
    for (int a = 0; a < 3; ++a) {
        sums.Sum[a] = static_cast<int64_t>(st.Sum[a].Low);
        for (int b = a; b < 3; ++b)
            sums.Product[a][b] = static_cast<int64_t>(st.Product[a][b].Low);
    }
    return sums;
}

void ComponentRanges(const TLinearBitmap& bitmap, const TAffineTransform& axes, double lowest[3],
                     double highest[3]) {
    TPrincipalAxes a;
    a.Bands = 3;
    a.Map = AsAffineMap(axes);
    a.Order = {2, 1, 0};
    const TComponentRanges r = MeasureComponentRanges(ColourViewOfBitmap(bitmap), {}, a);
    for (int k = 0; k < 3; ++k) {
        lowest[k] = r.Lowest[k];
        highest[k] = r.Highest[k];
    }
}

void ApplyTransform(const TLinearBitmap& source, const TAffineTransform& T, TLinearBitmap& target) {
    ApplyStretch(PluginTransform(T), ColourViewOfBitmap(source), ColourViewOfBitmap(target));
}

void BuildStretch(const TAffineTransform& axes, const double lowest[3], const double highest[3],
                  bool allowOffset, TAffineTransform& result) {
    result =
        AsAffineTransform(StretchOfAxes(AsAffineMap(axes), lowest, highest, allowOffset, 0, 255));
}

} // namespace detail

void StretchTransform(const TLinearBitmap& Bitmap, bool AllowOffset, TAffineTransform& Result) {
    if (Bitmap.PixelFormat != pf24bit)
        throw ELinearBitmap(SUnsupportedPixelFormat);
    // A bitmap without pixels has nothing to stretch (the engine refuses to fit it).
    if (!Bitmap.Present || Bitmap.Width <= 0 || Bitmap.Height <= 0) {
        IdentityTransform(Result);
        return;
    }
    TFitOptions options;
    options.Method = AllowOffset ? TStretchMethod::Offset : TStretchMethod::ScaleOnly;
    Result =
        detail::AsAffineTransform(FitStretch(detail::ColourViewOfBitmap(Bitmap), {}, options).Map);
}

} // namespace vt
