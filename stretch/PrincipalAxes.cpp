// Channel correlation and principal axes.
#include "stretch/PrincipalAxes.h"

#include "math/FloatMap.h"
#include "rtl/Extended.h"

#include <cmath>

namespace vt {

double ChannelCorrelation(const TLinearBitmap& Bitmap, int ChannelA, int ChannelB) {
    // Sums in 64 bits are exact for every image a bitmap can hold (255^2 x 2^31 < 2^63).
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
    const int64_t count = int64_t{Bitmap.Width} * Bitmap.Height;
    if (count <= 0)
        return 0;
    const Extended n = static_cast<Extended>(count);
    const Extended ma = static_cast<Extended>(sa) / n;
    const Extended mb = static_cast<Extended>(sb) / n;
    const Extended va = static_cast<Extended>(saa) / n - ma * ma;
    const Extended vb = static_cast<Extended>(sbb) / n - mb * mb;
    // A constant channel has no direction to correlate along.
    if (!(va > 0) || !(vb > 0))
        return 0;
    const Extended r =
        (static_cast<Extended>(sab) - ma * static_cast<Extended>(sb)) / (n * std::sqrt(va * vb));
    return static_cast<double>(r);
}

void PrincipalAxes(const TLinearBitmap& Bitmap, bool AllowOffset, double* Fraction1,
                   double* Fraction2, double* Fraction3, TAffineTransform& Result) {
    if (Bitmap.PixelFormat != pf24bit)
        throw ELinearBitmap(SUnsupportedPixelFormat);
    TFloatEnvironmentGuard environment;
    TMatrix correlation(3, 3), vectors(3, 3), values(3, 1);
    correlation.Identity();
    static constexpr int Pairs[3][2] = {{1, 2}, {1, 3}, {2, 3}};
    for (const auto& pair : Pairs) {
        const double r = ChannelCorrelation(Bitmap, pair[0], pair[1]);
        correlation.SetElement(pair[0], pair[1], r);
        correlation.SetElement(pair[1], pair[0], r);
    }
    correlation.EigenDecompose(vectors, values);

    double* fractions[3] = {Fraction1, Fraction2, Fraction3};
    const double sum = values.Sum();
    for (int k = 0; k < 3; ++k)
        if (fractions[k] != nullptr)
            *fractions[k] =
                static_cast<double>(static_cast<Extended>(values.GetElement(k + 1, 1)) / sum);

    vectors.Transpose(); // row k is now the eigenvector of the k-th largest eigenvalue
    IdentityTransform(Result);
    for (int k = 1; k <= 3; ++k) {
        double s = 1;
        if (AllowOffset) {
            double pos = 0, neg = 0;
            for (int j = 1; j <= 3; ++j) {
                const double v = vectors.GetElement(k, j);
                if (v >= 0)
                    pos = static_cast<double>(static_cast<Extended>(pos) + v);
                else
                    neg = static_cast<double>(static_cast<Extended>(neg) + v);
            }
            s = static_cast<double>(static_cast<Extended>(pos) - neg);
            Result(k - 1, 3) = static_cast<double>(-static_cast<Extended>(neg) / s * 255);
        }
        for (int j = 1; j <= 3; ++j)
            Result(k - 1, j - 1) =
                static_cast<double>(static_cast<Extended>(vectors.GetElement(k, j)) / s);
    }
}

} // namespace vt
