// Fitting in a colour space and with kept bands: the statistics moved into the space, the basis
// of the bands that are stretched, and rows that bring the components back to the bands as
// stored. The target method lives here too, since it is the same computation in any space.
#include "stretch/EnginePrivate.h"

#include <algorithm>
#include <limits>

namespace vt {

using namespace detail;

namespace {

const struct {
    TColourSpace Space;
    const char* Name;
} SpaceNames[] = {{TColourSpace::None, "none"},
                  {TColourSpace::Rgb, "rgb"},
                  {TColourSpace::YCbCr, "ycbcr"},
                  {TColourSpace::Yiq, "yiq"},
                  {TColourSpace::Matrix, "matrix"}};

// The selected pixels' moments in the space: means and covariances, and the basis matrix of
// the bands that are not kept.
struct TSpaceMoments {
    int Bands = 0;
    TAffineMap Space;  // S(x) = A x + c
    bool Plain = true; // the identity: the statistics' own figures serve
    double Mean[MaxBands] = {};
    double Covariance[MaxBands][MaxBands] = {};
    int Free[MaxBands] = {}; // the bands that are stretched
    int FreeCount = 0;

    TSpaceMoments(const TStatistics& statistics, const TFitOptions& options) {
        const int n = Bands = statistics.Bands;
        if (n < 1 || n > MaxBands)
            throw EStretch(Format("images have 1 to 16 bands, not %d", {n}));
        if (options.Keep >> n != 0)
            throw EStretch(Format("kept bands must lie among the image's %d", {n}));
        for (int b = 0; b < n; ++b)
            if ((options.Keep >> b & 1) == 0)
                Free[FreeCount++] = b;
        if (FreeCount == 0)
            throw EStretch("every band is kept: nothing is left to stretch");
        Space = ColourSpaceMap(options, n, statistics.Type);
        Plain = options.Space == TColourSpace::None || options.Space == TColourSpace::Rgb;
        double mean[MaxBands], covariance[MaxBands][MaxBands];
        for (int a = 0; a < n; ++a) {
            mean[a] = statistics.Mean(a);
            for (int b = 0; b < n; ++b)
                covariance[a][b] = statistics.Covariance(a, b);
        }
        if (Plain) {
            std::copy(mean, mean + n, Mean);
            for (int a = 0; a < n; ++a)
                std::copy(covariance[a], covariance[a] + n, Covariance[a]);
            return;
        }
        // m_S = A m + c, C_S = A C A'.
        for (int i = 0; i < n; ++i) {
            Extended m = Space.M[i][n];
            for (int a = 0; a < n; ++a)
                m += static_cast<Extended>(Space.M[i][a]) * mean[a];
            Mean[i] = static_cast<double>(m);
            for (int j = 0; j < n; ++j) {
                Extended c = 0;
                for (int a = 0; a < n; ++a)
                    for (int b = 0; b < n; ++b)
                        c +=
                            static_cast<Extended>(Space.M[i][a]) * covariance[a][b] * Space.M[j][b];
                Covariance[i][j] = static_cast<double>(c);
            }
        }
    }

    double Correlation(const TStatistics& statistics, int i, int j) const {
        if (Plain)
            return statistics.Correlation(i, j);
        const double vi = Covariance[i][i], vj = Covariance[j][j];
        if (!(vi > 0 && vj > 0))
            return 0;
        return static_cast<double>(static_cast<Extended>(Covariance[i][j]) /
                                   Sqrt(static_cast<Extended>(vi) * vj));
    }

    // The basis matrix of the free bands, decomposed: Vectors' column k is the eigenvector of
    // the k-th largest eigenvalue, Values the eigenvalues.
    void Decompose(const TStatistics& statistics, bool correlation, TMatrix& vectors,
                   TMatrix& values) const {
        const int f = FreeCount;
        TMatrix matrix(f, f);
        for (int a = 0; a < f; ++a)
            for (int b = 0; b < f; ++b)
                matrix.SetElement(a + 1, b + 1,
                                  !correlation ? Covariance[Free[a]][Free[b]]
                                  : a == b     ? 1.0
                                               : Correlation(statistics, Free[a], Free[b]));
        vectors.New(f, f);
        values.New(1, f);
        matrix.EigenDecompose(vectors, values);
    }
};

} // namespace

TBandPairing PairingFor(const TFitOptions& Options, int Bands) noexcept {
    const bool plain = Options.Method != TStretchMethod::Target &&
                       Options.Space == TColourSpace::None && Options.Keep == 0;
    return plain && Bands == 3 ? Options.Pairing : TBandPairing::Direct;
}

const char* ColourSpaceName(TColourSpace Space) noexcept {
    for (const auto& s : SpaceNames)
        if (s.Space == Space)
            return s.Name;
    return "none";
}

TColourSpace ColourSpaceNamed(const std::string& Name) {
    for (const auto& s : SpaceNames)
        if (Name == s.Name)
            return s.Space;
    throw EStretch("the colour space is one of rgb, ycbcr, yiq, not \"" + Name + "\"");
}

TAffineMap ColourSpaceMap(const TFitOptions& Options, int Bands, TSampleType Type) {
    if (Options.Space == TColourSpace::None)
        return TAffineMap::Identity(Bands);
    if (Bands != 3)
        throw EStretch(Format("colour spaces are for images of three bands, not %d", {Bands}));
    if (Options.Space == TColourSpace::Rgb)
        return TAffineMap::Identity(3);
    TAffineMap m;
    m.Size = 3;
    if (Options.Space == TColourSpace::Matrix) {
        if (Options.SpaceMatrix.Size != 3)
            throw EStretch("a colour space matrix has three rows of four numbers");
        m = Options.SpaceMatrix;
    } else {
        const TAffineTransform& t = Options.Space == TColourSpace::YCbCr ? RGBToYCbCr : RGBToYIQ;
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                m.M[r][c] = t(r, c);
            m.M[r][3] = static_cast<double>(static_cast<Extended>(t(r, 3)) * SampleTop(Type) / 255);
        }
    }
    // Refused unless it is invertible with room to spare: the determinant against the
    // product of the rows' lengths (1 for orthogonal rows, 0 for dependent ones).
    Extended length = 1;
    for (int r = 0; r < 3; ++r) {
        Extended row = 0;
        for (int c = 0; c < 4; ++c) {
            if (!std::isfinite(m.M[r][c]))
                throw EStretch("the colour space's matrix holds a number that is not finite");
            if (c < 3)
                row += static_cast<Extended>(m.M[r][c]) * m.M[r][c];
        }
        length *= Sqrt(row);
    }
    const auto e = [&](int r, int c) { return static_cast<Extended>(m.M[r][c]); };
    const Extended det = e(0, 0) * (e(1, 1) * e(2, 2) - e(1, 2) * e(2, 1)) -
                         e(0, 1) * (e(1, 0) * e(2, 2) - e(1, 2) * e(2, 0)) +
                         e(0, 2) * (e(1, 0) * e(2, 1) - e(1, 1) * e(2, 0));
    if (!(Fabs(det) > 1e-9L * length))
        throw EStretch("the colour space's matrix is not invertible: its rows are (nearly) "
                       "dependent");
    return m;
}

namespace detail {

TPrincipalAxes SpaceAxes(const TStatistics& statistics, const TFitOptions& options) {
    TFloatEnvironmentGuard environment;
    const TSpaceMoments moments(statistics, options);
    const int n = moments.Bands, f = moments.FreeCount;
    TMatrix vectors(1, 1), values(1, 1);
    moments.Decompose(statistics, options.Basis == TStretchBasis::Correlation, vectors, values);
    TPrincipalAxes axes;
    axes.Bands = n;
    axes.Type = statistics.Type;
    axes.Options = options;
    axes.Options.Pairing = TBandPairing::Direct;
    axes.Statistics = statistics;
    for (int j = 0; j < n; ++j)
        axes.Order[j] = j;
    axes.Map = TAffineMap::Identity(n);
    const TAffineMap& space = moments.Space;
    const double sum = values.Sum();
    // Component k's weights on the stored bands: u_k' A.
    for (int k = 0; k < f; ++k) {
        double* row = axes.Map.M[k];
        for (int j = 0; j < n; ++j) {
            Extended w = 0;
            for (int a = 0; a < f; ++a)
                w += static_cast<Extended>(vectors.GetElement(a + 1, k + 1)) *
                     space.M[moments.Free[a]][j];
            row[j] = static_cast<double>(w);
        }
        row[n] = 0;
        if (options.Method == TStretchMethod::Offset)
            LiftRow(row, n, SampleTop(statistics.Type));
        axes.Fraction[k] =
            static_cast<double>(static_cast<Extended>(values.GetElement(k + 1, 1)) / sum);
    }
    // The kept bands of the space, after the components.
    for (int b = 0, k = f; b < n; ++b)
        if ((options.Keep >> b & 1) != 0) {
            std::copy(space.M[b], space.M[b] + n, axes.Map.M[k]);
            axes.Map.M[k][n] = 0;
            axes.Fraction[k++] = 0;
        }
    return axes;
}

} // namespace detail

TBandTransform FitTarget(const TStatistics& Statistics, const TFitOptions& Options) {
    const int n = Statistics.Bands;
    if (n < 1 || n > MaxBands)
        throw EStretch(Format("images have 1 to 16 bands, not %d", {n}));
    for (int b = 0; b < n; ++b)
        if (std::isinf(Options.TargetMean[b]) || std::isinf(Options.TargetSigma[b]) ||
            Options.TargetSigma[b] < 0)
            throw EStretch("target: a mean must be finite and a deviation finite and not negative");
    TFloatEnvironmentGuard environment;
    const TSpaceMoments moments(Statistics, Options);
    const int f = moments.FreeCount;
    const bool correlation = Options.Basis == TStretchBasis::Correlation;
    double sigma[MaxBands];
    for (int b = 0; b < n; ++b)
        sigma[b] = std::sqrt(moments.Covariance[b][b]);
    TMatrix vectors(1, 1), values(1, 1);
    moments.Decompose(Statistics, correlation, vectors, values);
    // The whitening V Lambda^(-1/2) V'; a component whose eigenvalue is nothing against the
    // largest (rounding noise of a band that copies another, a band without variance in the
    // covariance basis) passes unstretched.
    double largest = 0;
    for (int k = 1; k <= f; ++k)
        largest = std::max(largest, values.GetElement(k, 1));
    double factor[MaxBands];
    for (int k = 1; k <= f; ++k) {
        const double lambda = values.GetElement(k, 1);
        factor[k - 1] = lambda > 1e-12 * largest && lambda > 0 ? 1 / std::sqrt(lambda) : 1.0;
    }
    // T in the space: the free bands' rows; kept bands pass as they are.
    Extended map[MaxBands][MaxBands + 1] = {};
    for (int b = 0; b < n; ++b)
        map[b][b] = 1;
    for (int a = 0; a < f; ++a) {
        const int r = moments.Free[a];
        const double targetSigma =
            std::isnan(Options.TargetSigma[r]) ? sigma[r] : Options.TargetSigma[r];
        const double targetMean =
            std::isnan(Options.TargetMean[r]) ? moments.Mean[r] : Options.TargetMean[r];
        Extended constant = targetMean;
        map[r][r] = 0;
        for (int b = 0; b < f; ++b) {
            const int c = moments.Free[b];
            Extended w = 0;
            for (int k = 0; k < f; ++k)
                w += static_cast<Extended>(vectors.GetElement(a + 1, k + 1)) * factor[k] *
                     vectors.GetElement(b + 1, k + 1);
            // In the correlation basis each band is first standardised; a band without
            // variance has nothing to standardise and keeps weight 1 there.
            if (correlation && sigma[c] > 0)
                w /= sigma[c];
            w *= targetSigma;
            map[r][c] = static_cast<double>(w);
            constant -= w * moments.Mean[c];
        }
        map[r][n] = static_cast<double>(constant);
    }
    TBandTransform t = TBandTransform::Identity(n, Statistics.Type);
    t.Options = Options;
    t.Options.Method = TStretchMethod::Target;
    t.Options.Pairing = TBandPairing::Direct;
    t.Statistics = Statistics;
    if (moments.Plain) {
        for (int r = 0; r < n; ++r)
            for (int c = 0; c <= n; ++c)
                t.Map.M[r][c] = static_cast<double>(map[r][c]);
        return t;
    }
    // Back from the space: A^-1 (T (A x + c) - c).
    const TAffineMap& space = moments.Space;
    TAffineMap inverse;
    InvertAffine(space, inverse);
    Extended g[MaxBands][MaxBands + 1];
    for (int r = 0; r < n; ++r)
        for (int j = 0; j <= n; ++j) {
            Extended v = j == n ? map[r][n] - space.M[r][n] : 0.0L;
            for (int c = 0; c < n; ++c)
                v += map[r][c] * space.M[c][j];
            g[r][j] = v;
        }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= n; ++j) {
            Extended v = 0;
            for (int r = 0; r < n; ++r)
                v += static_cast<Extended>(inverse.M[i][r]) * g[r][j];
            t.Map.M[i][j] = static_cast<double>(v);
        }
    return t;
}

} // namespace vt
