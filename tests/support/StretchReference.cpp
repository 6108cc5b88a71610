// The literal stretch, the oracle of the fast paths.
#include "StretchReference.h"

#include "stretch/PrincipalAxes.h"
#include "stretch/StretchPrivate.h"
#include "stretch/StretchTransform.h"

#include <limits>

namespace vt::reference {

void PrincipalAxes(const TLinearBitmap& Bitmap, bool AllowOffset, double* Fraction1,
                   double* Fraction2, double* Fraction3, TAffineTransform& Result) {
    if (Bitmap.PixelFormat != pf24bit)
        throw ELinearBitmap(SUnsupportedPixelFormat);
    TFloatEnvironmentGuard environment;
    const double r12 = ChannelCorrelation(Bitmap, 1, 2);
    const double r13 = ChannelCorrelation(Bitmap, 1, 3);
    const double r23 = ChannelCorrelation(Bitmap, 2, 3);
    detail::AxesFromCorrelations(r12, r13, r23, AllowOffset, Fraction1, Fraction2, Fraction3,
                                 Result);
}

void StretchTransform(const TLinearBitmap& Bitmap, bool AllowOffset, TAffineTransform& Result) {
    TAffineTransform axes;
    reference::PrincipalAxes(Bitmap, AllowOffset, nullptr, nullptr, nullptr, axes);
    TFloatEnvironmentGuard environment;
    double lowest[3], highest[3];
    for (int k = 0; k < 3; ++k) {
        lowest[k] = std::numeric_limits<double>::infinity();
        highest[k] = -std::numeric_limits<double>::infinity();
    }
    for (int32_t y = 0; y < Bitmap.Height; ++y) {
        const uint8_t* pixel = Bitmap.ScanLine(y);
        for (int32_t x = 0; x < Bitmap.Width; ++x, pixel += 3) {
            double c[3];
            TransformColor(pixel[2], pixel[1], pixel[0], axes, c[0], c[1], c[2]);
            for (int k = 0; k < 3; ++k) {
                if (!(lowest[k] < c[k]))
                    lowest[k] = c[k];
                if (!(highest[k] > c[k]))
                    highest[k] = c[k];
            }
        }
    }
    detail::BuildStretch(axes, lowest, highest, AllowOffset, Result);
}

void TransformBitmap(TLinearBitmap& Bitmap, const TAffineTransform& T, TLinearBitmap* Target) {
    TLinearBitmap* target = detail::PrepareTarget(Bitmap, Target);
    if (target == nullptr)
        return;
    TFloatEnvironmentGuard environment;
    for (int32_t y = 0; y < Bitmap.Height; ++y) {
        const uint8_t* in = Bitmap.ScanLine(y);
        uint8_t* out = target->ScanLine(y);
        for (int32_t x = 0; x < Bitmap.Width; ++x, in += 3, out += 3)
            TransformColorByte(in[2], in[1], in[0], T, out[2], out[1], out[0]);
    }
}

} // namespace vt::reference
