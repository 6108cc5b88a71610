// Fitting in a colour space and with kept bands: the statistics moved into the space, the basis
// of the bands that are stretched, and rows that bring the components back to the bands as
// stored. The target method lives here too, since it is the same computation in any space.
#include "stretch/EnginePrivate.h"

#include <algorithm>
#include <limits>

namespace vt {

using namespace detail;

namespace {

// The sample covariance (Sab - Sa Sb / N) / (N - 1) in extended precision, rounded to a double;
// 0 for fewer than two pixels, and a variance never below 0.
double SampleCovariance(const TStatistics& statistics, int a, int b) noexcept {
    if (statistics.Count < 2)
        return 0;
    const Extended n = static_cast<Extended>(statistics.Count);
    const Extended c =
        (statistics.ProductOf(a, b) - statistics.SumOf(a) * statistics.SumOf(b) / n) / (n - 1);
    return a == b && !(c > 0) ? 0.0 : static_cast<double>(c);
}

const struct {
    TColourSpace Space;
    const char* Name;
} SpaceNames[] = {{TColourSpace::None, "none"},     {TColourSpace::Rgb, "rgb"},
                  {TColourSpace::YCbCr, "ycbcr"},   {TColourSpace::Yiq, "yiq"},
                  {TColourSpace::Matrix, "matrix"}, {TColourSpace::Lab, "lab"}};

// The selected pixels' moments in the space: means and covariances (population ones, or with
// Sample those divided by N - 1), and the basis matrix of the bands that are not kept.
struct TSpaceMoments {
    int Bands = 0;
    TAffineMap Space;  // S(x) = A x + c
    bool Plain = true; // the identity: the statistics' own figures serve
    TVector<double> Mean;
    TRowMatrix<double> Covariance;
    TVector<int> Free; // the bands that are stretched
    int FreeCount = 0;

    TSpaceMoments(const TStatistics& statistics, const TFitOptions& options, bool sample = false) {
        const int n = Bands = statistics.Bands;
        if (n < 1 || n > MaxBands)
            throw EStretch(Format("images have 1 to %d bands, not %d", {MaxBands, n}));
        if (options.Keep.Highest() >= n)
            throw EStretch(Format("kept bands must lie among the image's %d", {n}));
        for (int b = 0; b < n; ++b)
            if (!options.Keep.Has(b))
                Free.push_back(b);
        FreeCount = static_cast<int>(Free.size());
        if (FreeCount == 0)
            throw EStretch("every band is kept: nothing is left to stretch");
        Space = ColourSpaceMap(options, n, statistics.Type);
        Plain = options.Space == TColourSpace::None || options.Space == TColourSpace::Rgb;
        TVector<double> mean(static_cast<size_t>(n));
        TRowMatrix<double> covariance(n, n);
        for (int a = 0; a < n; ++a) {
            mean[a] = statistics.Mean(a);
            for (int b = a; b < n; ++b)
                covariance[a][b] = covariance[b][a] =
                    sample ? SampleCovariance(statistics, a, b) : statistics.Covariance(a, b);
        }
        if (Plain) {
            Mean = std::move(mean);
            Covariance = std::move(covariance);
            return;
        }
        Mean.assign(static_cast<size_t>(n), 0.0);
        Covariance = TRowMatrix<double>(n, n);
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
        DecomposeSymmetric(matrix, vectors, values);
    }
};

} // namespace

TBandPairing PairingFor(const TFitOptions& Options, int Bands) noexcept {
    const bool plain = Options.Method != TStretchMethod::Target &&
                       Options.Space == TColourSpace::None && Options.Keep.Empty();
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
    throw EStretch("the colour space is one of rgb, ycbcr, yiq, lab, not \"" + Name + "\"");
}

TAffineMap ColourSpaceMap(const TFitOptions& Options, int Bands, TSampleType Type) {
    if (Bands < 1 || Bands > MaxBands)
        throw EStretch(Format("images have 1 to %d bands, not %d", {MaxBands, Bands}));
    if (Options.Space == TColourSpace::None)
        return TAffineMap::Identity(Bands);
    if (Bands != 3)
        throw EStretch(Format("colour spaces are for images of three bands, not %d", {Bands}));
    if (Options.Space == TColourSpace::Rgb)
        return TAffineMap::Identity(3);
    if (Options.Space == TColourSpace::Lab)
        throw EStretch("the lab space is not an affine map of the bands: FitStretch and "
                       "TStretchFit fit it from the pixels' L*a*b* values");
    TAffineMap m(3);
    if (Options.Space == TColourSpace::Matrix) {
        if (Options.SpaceMatrix.Size != 3)
            throw EStretch("a colour space matrix has three rows of four numbers");
        m = Options.SpaceMatrix;
    } else {
        // The constants are for samples of 0..255. Scaled to the type's span they fit samples
        // of 0..span; a signed type's samples, span above their bottom, take the map of that
        // shift and back: S(x) = A (x - bottom) + c + bottom.
        const TAffineTransform& t = Options.Space == TColourSpace::YCbCr ? RGBToYCbCr : RGBToYIQ;
        const double bottom = SampleBottom(Type), span = SampleTop(Type) - bottom;
        for (int r = 0; r < 3; ++r) {
            Extended shift = bottom;
            for (int c = 0; c < 3; ++c) {
                m.M[r][c] = t(r, c);
                shift -= static_cast<Extended>(t(r, c)) * bottom;
            }
            const Extended c = static_cast<Extended>(t(r, 3)) * span / 255;
            m.M[r][3] = static_cast<double>(bottom == 0 ? c : c + shift);
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
    axes.Order.resize(static_cast<size_t>(n));
    for (int j = 0; j < n; ++j)
        axes.Order[j] = j;
    axes.Fraction.assign(static_cast<size_t>(n), 0.0);
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
            LiftRow(row, n, SampleBottom(statistics.Type), SampleTop(statistics.Type));
        axes.Fraction[k] =
            static_cast<double>(static_cast<Extended>(values.GetElement(k + 1, 1)) / sum);
    }
    // The kept bands of the space, after the components.
    for (int b = 0, k = f; b < n; ++b)
        if (options.Keep.Has(b)) {
            std::copy(space.M[b], space.M[b] + n, axes.Map.M[k]);
            axes.Map.M[k][n] = 0;
            axes.Fraction[k++] = 0;
        }
    return axes;
}

} // namespace detail

namespace {

// The largest magnitude band i of the space takes over the box of the selected samples.
Extended SpaceMagnitude(const TStatistics& statistics, const TAffineMap& space, int i) noexcept {
    const int n = statistics.Bands;
    Extended m = Fabs(static_cast<Extended>(space.M[i][n]));
    for (int j = 0; j < n; ++j) {
        const Extended x =
            std::max(std::fabs(statistics.Lowest[j]), std::fabs(statistics.Highest[j]));
        m += Fabs(static_cast<Extended>(space.M[i][j])) * x;
    }
    return m;
}

} // namespace

TBandTransform FitTarget(const TStatistics& Statistics, const TFitOptions& Options) {
    const int n = Statistics.Bands;
    if (n < 1 || n > MaxBands)
        throw EStretch(Format("images have 1 to %d bands, not %d", {MaxBands, n}));
    if (!Statistics.Complete())
        throw EStretch(Format("statistics of %d bands do not hold sums of %d bands", {n, n}));
    if (Statistics.Count <= 0)
        throw EStretch("no pixels selected: the statistics count none");
    for (int b = 0; b < n; ++b)
        if (std::isinf(Options.TargetMean[b]) || std::isinf(Options.TargetSigma[b]) ||
            Options.TargetSigma[b] < 0)
            throw EStretch("target: a mean must be finite and a deviation finite and not negative");
    TFloatEnvironmentGuard environment;
    // Sample statistics (divided by N - 1), as the method is defined.
    const TSpaceMoments moments(Statistics, Options, true);
    const int f = moments.FreeCount;
    const bool correlation = Options.Basis == TStretchBasis::Correlation;
    const auto size = static_cast<size_t>(n);
    TVector<double> sigma(size), targetSigma(size), targetMean(size);
    for (int b = 0; b < n; ++b) {
        sigma[b] = static_cast<double>(Sqrt(static_cast<Extended>(moments.Covariance[b][b])));
        targetSigma[b] = std::isnan(Options.TargetSigma[b]) ? sigma[b] : Options.TargetSigma[b];
        targetMean[b] = std::isnan(Options.TargetMean[b]) ? moments.Mean[b] : Options.TargetMean[b];
    }
    // The free bands that vary over the selection: a variance above the rounding that a band
    // of its magnitude leaves in the sums (a millionth of the magnitude, squared). Constant
    // bands take no part in the basis and pass with gain 1.
    TVector<int> varying(size);
    int g = 0;
    for (int a = 0; a < f; ++a) {
        const int b = moments.Free[a];
        const Extended floor = 1e-6L * SpaceMagnitude(Statistics, moments.Space, b);
        if (moments.Covariance[b][b] > floor * floor)
            varying[g++] = b;
    }
    // T in the space: every band starts with gain 1 (kept and constant bands stay so), and the
    // varying bands get the method's rows below.
    TRowMatrix<Extended> map(n, n + 1, 0.0L);
    for (int b = 0; b < n; ++b)
        map[b][b] = 1;
    if (g > 0) {
        // The basis over the varying bands: correlations (each band standardised by its
        // deviation D) or covariances (D = 1).
        TVector<double> scale(static_cast<size_t>(g));
        for (int a = 0; a < g; ++a)
            scale[a] = correlation ? sigma[varying[a]] : 1.0;
        TMatrix basis(g, g), vectors(g, g), values(g, 1);
        for (int a = 0; a < g; ++a)
            for (int b = 0; b < g; ++b) {
                const Extended c = moments.Covariance[varying[a]][varying[b]];
                basis.SetElement(
                    a + 1, b + 1,
                    a == b && correlation ? 1.0 : static_cast<double>(c / scale[a] / scale[b]));
            }
        DecomposeSymmetric(basis, vectors, values);
        double largest = 0;
        for (int k = 1; k <= g; ++k)
            largest = std::max(largest, values.GetElement(k, 1));
        // W = V_+ Lambda_+^(-1/2) V_+' whitens the components with variance; P = V_0 V_0'
        // keeps those without (an eigenvalue of at most 1e-12 of the largest) as they are.
        TRowMatrix<Extended> whiten(g, g, 0.0L), keep(g, g, 0.0L);
        for (int k = 1; k <= g; ++k) {
            const double lambda = values.GetElement(k, 1);
            const bool scaled = lambda > 1e-12 * largest && lambda > 0;
            const Extended factor = scaled ? 1 / Sqrt(static_cast<Extended>(lambda)) : 0.0L;
            for (int a = 0; a < g; ++a)
                for (int b = 0; b < g; ++b) {
                    const Extended v = static_cast<Extended>(vectors.GetElement(a + 1, k)) *
                                       vectors.GetElement(b + 1, k);
                    if (scaled)
                        whiten[a][b] += v * factor;
                    else
                        keep[a][b] += v;
                }
        }
        // T_+ = Sigma_t W D^-1, each row then rescaled to its target deviation over the
        // selection: sigma_t / sqrt((T_+ C T_+')_rr). A row without variance stays as it is.
        TRowMatrix<Extended> rows(g, g);
        for (int a = 0; a < g; ++a) {
            for (int b = 0; b < g; ++b)
                rows[a][b] = whiten[a][b] * targetSigma[varying[a]] / scale[b];
            Extended variance = 0;
            for (int b = 0; b < g; ++b)
                for (int c = 0; c < g; ++c)
                    variance +=
                        rows[a][b] * moments.Covariance[varying[b]][varying[c]] * rows[a][c];
            if (variance > 0 && targetSigma[varying[a]] > 0) {
                const Extended rescale = targetSigma[varying[a]] / Sqrt(variance);
                for (int b = 0; b < g; ++b)
                    rows[a][b] *= rescale;
            }
        }
        // T = T_+ + D P D^-1 on the varying bands (P passes the components without variance
        // with gain 1 through the same standardisation).
        for (int a = 0; a < g; ++a)
            for (int b = 0; b < g; ++b)
                map[varying[a]][varying[b]] = rows[a][b] + scale[a] * keep[a][b] / scale[b];
    }
    // The constants: b_S = T (S(x) - m_S) + m_t on the free bands.
    for (int a = 0; a < f; ++a) {
        const int r = moments.Free[a];
        Extended constant = targetMean[r];
        for (int b = 0; b < f; ++b) {
            const int c = moments.Free[b];
            map[r][c] = static_cast<double>(map[r][c]);
            constant -= map[r][c] * moments.Mean[c];
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
    TRowMatrix<Extended> back(n, n + 1);
    for (int r = 0; r < n; ++r)
        for (int j = 0; j <= n; ++j) {
            Extended v = j == n ? map[r][n] - space.M[r][n] : 0.0L;
            for (int c = 0; c < n; ++c)
                v += map[r][c] * space.M[c][j];
            back[r][j] = v;
        }
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= n; ++j) {
            Extended v = 0;
            for (int r = 0; r < n; ++r)
                v += static_cast<Extended>(inverse.M[i][r]) * back[r][j];
            t.Map.M[i][j] = static_cast<double>(v);
        }
    return t;
}

} // namespace vt
