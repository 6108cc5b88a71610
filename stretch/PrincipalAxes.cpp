// Channel correlation and principal axes.
#include "stretch/PrincipalAxes.h"

#include "math/FloatMap.h"
#include "stretch/EnginePrivate.h"

#include <cmath>

namespace vt {

namespace detail {

double PearsonCorrelation(Extended n, Extended sa, Extended sb, Extended saa, Extended sbb,
                          Extended sab) noexcept {
    if (!(n > 0))
        return 0;
    const Extended ma = sa / n;
    const Extended mb = sb / n;
    const Extended va = saa / n - ma * ma;
    const Extended vb = sbb / n - mb * mb;
    // A constant channel has no direction to correlate along.
    if (!(va > 0) || !(vb > 0))
        return 0;
    const Extended r = (sab - ma * sb) / (n * Sqrt(va * vb));
    return static_cast<double>(r);
}

double CorrelationFromSums(const TChannelSums& sums, int a, int b) noexcept {
    const int64_t sab = a < b ? sums.Product[a][b] : sums.Product[b][a];
    return PearsonCorrelation(
        static_cast<Extended>(sums.Count), static_cast<Extended>(sums.Sum[a]),
        static_cast<Extended>(sums.Sum[b]), static_cast<Extended>(sums.Product[a][a]),
        static_cast<Extended>(sums.Product[b][b]), static_cast<Extended>(sab));
}

void AxesFromCorrelations(double r12, double r13, double r23, bool allowOffset, double* fraction1,
                          double* fraction2, double* fraction3, TAffineTransform& result) {
    TMatrix correlation(3, 3);
    correlation.Identity();
    correlation.SetElement(1, 2, r12);
    correlation.SetElement(2, 1, r12);
    correlation.SetElement(1, 3, r13);
    correlation.SetElement(3, 1, r13);
    correlation.SetElement(2, 3, r23);
    correlation.SetElement(3, 2, r23);
    std::vector<double> fractions;
    TAffineMap axes;
    AxesFromMatrix(correlation, allowOffset, 0, 255, &fractions, axes);
    double* wanted[3] = {fraction1, fraction2, fraction3};
    for (size_t k = 0; k < 3; ++k)
        if (wanted[k] != nullptr)
            *wanted[k] = fractions[k];
    result = AsAffineTransform(axes);
}

} // namespace detail

double ChannelCorrelation(const TLinearBitmap& Bitmap, int ChannelA, int ChannelB) {
    // One pass over the two channels, the sums exact in 64 bits (255^2 x 2^31 < 2^63).
    int64_t sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    const int a = ChannelA - 1, b = ChannelB - 1;
    for (int32_t y = 0; y < Bitmap.Height; ++y) {
        const uint8_t* pixel = Bitmap.ScanLine(y);
        for (int32_t x = 0; x < Bitmap.Width; ++x, pixel += 3) {
            const int64_t p = pixel[a], q = pixel[b];
            sa += p;
            saa += p * p;
            sb += q;
            sbb += q * q;
            sab += p * q;
        }
    }
    detail::TChannelSums sums; // the pair as channels 0 and 1 of the shared formula
    sums.Count = int64_t{Bitmap.Width} * Bitmap.Height;
    sums.Sum[0] = sa;
    sums.Sum[1] = sb;
    sums.Product[0][0] = saa;
    sums.Product[1][1] = sbb;
    sums.Product[0][1] = sab;
    return detail::CorrelationFromSums(sums, 0, 1);
}

void PrincipalAxes(const TLinearBitmap& Bitmap, bool AllowOffset, double* Fraction1,
                   double* Fraction2, double* Fraction3, TAffineTransform& Result) {
    if (Bitmap.PixelFormat != pf24bit)
        throw ELinearBitmap(SUnsupportedPixelFormat);
    TFitOptions options;
    options.Method = AllowOffset ? TStretchMethod::Offset : TStretchMethod::ScaleOnly;
    // All nine sums in one pass; the correlations are the same numbers that one pass per
    // channel pair gives.
    const TPrincipalAxes axes =
        FitAxes(MeasureStatistics(detail::ColourViewOfBitmap(Bitmap)), options);
    double* fractions[3] = {Fraction1, Fraction2, Fraction3};
    for (int k = 0; k < 3; ++k)
        if (fractions[k] != nullptr)
            *fractions[k] = axes.Fraction[k];
    Result = detail::AsAffineTransform(axes.Map);
}

} // namespace vt
