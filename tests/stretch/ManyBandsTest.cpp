// Images of more bands than the unrolled kernels take (17 to 1024): statistics against sums
// formed here in 128-bit integers, the target method's decorrelation of a hyperspectral cube
// against moments taken here, kept bands, transform files, the application against sums in
// long double, and the eigen-decomposition against its defining equations.
#include "EngineTestImages.h"

#include "math/FloatMap.h"
#include "math/SymmetricEigen.h"
#include "streams/Json.h"
#include "stretch/KernelDispatch.h"
#include "stretch/StretchOptions.h"
#include "stretch/TransformFile.h"

#include <gtest/gtest.h>

#include <random>

using namespace vt;
using namespace vt::test;

namespace {

// A 128-bit unsigned sum of its own (every build, 32-bit ones too): the high and low words.
struct TSum128 {
    uint64_t High = 0, Low = 0;
    void Add(uint64_t v) {
        Low += v;
        High += Low < v;
    }
};

// Uniform random samples over the whole range of an integer type (its extremes included).
void FillWhole(TTestImage& img, std::mt19937& random) {
    const auto bottom = static_cast<int64_t>(SampleBottom(img.Type));
    const auto top = static_cast<int64_t>(SampleTop(img.Type));
    std::uniform_int_distribution<int64_t> u(bottom, top);
    for (int64_t y = 0; y < img.H; ++y)
        for (int64_t x = 0; x < img.W; ++x)
            for (int b = 0; b < img.N; ++b)
                img.Set(x, y, b, static_cast<double>(x == 0 ? bottom : x == 1 ? top : u(random)));
}

bool Same(const TWideSum& s, const TSum128& t) {
    return s.High == t.High && s.Low == t.Low;
}

// A cube of Bands bands of float64: a few smooth sources mixed at random plus noise of each
// band's own, so that neighbouring bands correlate strongly, as a spectrometer's do.
TTestImage Cube(int64_t w, int64_t h, int bands, std::mt19937& random) {
    TTestImage img(w, h, bands, TSampleType::Float64, 0);
    std::normal_distribution<double> g(0, 1);
    const int sources = 6;
    std::vector<double> mix(static_cast<size_t>(bands * sources));
    for (double& m : mix)
        m = g(random);
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            double s[sources];
            for (double& v : s)
                v = g(random);
            for (int b = 0; b < bands; ++b) {
                double v = 0.4 + 0.002 * g(random);
                for (int k = 0; k < sources; ++k)
                    v += 0.03 * mix[static_cast<size_t>(b * sources + k)] * s[k];
                img.Set(x, y, b, v);
            }
        }
    return img;
}

} // namespace

TEST(ManyBands, IntegerStatisticsAreExact) {
    std::mt19937 random(224);
    for (const int n : {17, 64, 224})
        for (const TSampleType type : {TSampleType::UInt8, TSampleType::Int16, TSampleType::UInt16,
                                       TSampleType::Int32, TSampleType::UInt32}) {
            const int64_t w = n == 224 ? 37 : 91, h = 9;
            TTestImage img(w, h, n, type, n == 64 ? 2 : 0);
            FillWhole(img, random);
            // The sums of the samples less the type's bottom (whole numbers below 2^32, whose
            // products fit 64 bits), in 128 bits.
            const auto shifted = [&](int64_t x, int64_t y, int b) {
                return static_cast<uint64_t>(img.Get(x, y, b) - SampleBottom(type));
            };
            std::vector<TSum128> sum(static_cast<size_t>(n)), product(static_cast<size_t>(n * n));
            for (int64_t y = 0; y < h; ++y)
                for (int64_t x = 0; x < w; ++x)
                    for (int a = 0; a < n; ++a) {
                        sum[static_cast<size_t>(a)].Add(shifted(x, y, a));
                        for (int b = a; b < n; ++b)
                            product[static_cast<size_t>(a * n + b)].Add(shifted(x, y, a) *
                                                                        shifted(x, y, b));
                    }
            TRunOptions threads;
            threads.Threads = 3;
            const TStatistics s = MeasureStatistics(img.View, {}, threads);
            const std::string what = std::to_string(n) + " " + SampleTypeName(type);
            ASSERT_EQ(s.Count, w * h) << what;
            for (int a = 0; a < n; ++a) {
                EXPECT_TRUE(Same(s.Sum[a], sum[static_cast<size_t>(a)])) << what << " " << a;
                EXPECT_EQ(s.Lowest[a], SampleBottom(type)) << what;
                EXPECT_EQ(s.Highest[a], SampleTop(type)) << what;
                for (int b = a; b < n; ++b)
                    ASSERT_TRUE(Same(s.Product[a][b], product[static_cast<size_t>(a * n + b)]))
                        << what << " " << a << "," << b;
            }
            // Any cut into parts, and a selection of every other pixel, agree with one scan.
            EXPECT_TRUE(s == MeasureStatistics(img.View)) << what;
            TSelection every;
            every.Every = 2;
            TStatistics pooled = MeasureStatistics(Strip(img.View, 0, 4), every);
            pooled.Add(MeasureStatistics(Strip(img.View, 4, h - 4), every));
            EXPECT_EQ(pooled.Count, ((w + 1) / 2) * 2 + ((w + 1) / 2) * 3) << what;
        }
}

TEST(ManyBands, TargetMethodDecorrelatesAHyperspectralCube) {
    std::mt19937 random(242);
    const int n = 224;
    TTestImage img = Cube(48, 40, n, random);
    TFitOptions o;
    o.Method = TStretchMethod::Target;
    o.TargetSigma.Fill(n, 0.05);
    TRunOptions run;
    run.Threads = 2;
    const TBandTransform t = FitStretch(img.View, {}, o, run);
    TTestImage out(48, 40, n, TSampleType::Float64, 0);
    ApplyStretch(t, img.View, out.View, nullptr, run);
    // The moments of the result, taken here: every band at its target deviation, every pair
    // uncorrelated, each band's mean kept.
    const TMoments in = MomentsOf(img), got = MomentsOf(out);
    for (int a = 0; a < n; ++a) {
        EXPECT_NEAR(static_cast<double>(got.Sigma[a]), 0.05, 1e-9) << a;
        EXPECT_NEAR(static_cast<double>(got.Mean[a]), static_cast<double>(in.Mean[a]), 1e-9);
        for (int b = 0; b < a; ++b)
            ASSERT_NEAR(static_cast<double>(got.Corr[a][b]), 0.0, 1e-7) << a << "," << b;
    }
    // The same bytes on one thread, and in the portable form of the kernels.
    TTestImage again(48, 40, n, TSampleType::Float64, 2);
    detail::SetKernelChoice(detail::TKernelChoice::Portable);
    ApplyStretch(FitStretch(img.View, {}, o), img.View, again.View);
    detail::SetKernelChoice(detail::TKernelChoice::Best);
    for (int64_t y = 0; y < 40; ++y)
        for (int64_t x = 0; x < 48; ++x)
            for (int b = 0; b < n; ++b)
                ASSERT_EQ(again.Get(x, y, b), out.Get(x, y, b)) << x << "," << y << "," << b;
}

TEST(ManyBands, KeptBandPassesAndFilesRoundTrip) {
    std::mt19937 random(100);
    const int n = 224;
    TTestImage img(31, 17, n, TSampleType::UInt16, 0);
    FillCorrelated(img, random);
    const TStretchRequest r = ReadStretchRequest(ParseJson(R"({"keep": [100]})"));
    CheckStretchRequest(r, n, TSampleType::UInt16, 31, 17);
    EXPECT_EQ(r.Fit.Keep.CountBelow(n), 1);
    EXPECT_TRUE(r.Fit.Keep.Has(99));
    const TBandTransform t = FitStretch(img.View, {}, r.Fit);
    TTestImage out(31, 17, n, TSampleType::UInt16, 0);
    ApplyStretch(t, img.View, out.View);
    int changed = 0;
    for (int64_t y = 0; y < 17; ++y)
        for (int64_t x = 0; x < 31; ++x) {
            ASSERT_EQ(out.Get(x, y, 99), img.Get(x, y, 99)) << x << "," << y;
            changed += out.Get(x, y, 3) != img.Get(x, y, 3);
        }
    EXPECT_GT(changed, 0);
    // The file holds the kept band, the matrix and the statistics exactly.
    const std::string text = WriteTransformJson(t);
    const TBandTransform back = ReadTransformJson(text);
    EXPECT_TRUE(back.Options.Keep == t.Options.Keep);
    EXPECT_TRUE(back.Statistics == t.Statistics);
    EXPECT_EQ(back.Order, t.Order);
    for (int r0 = 0; r0 < n; ++r0)
        for (int c = 0; c <= n; ++c)
            ASSERT_EQ(back.Map.M[r0][c], t.Map.M[r0][c]) << r0 << "," << c;
    EXPECT_EQ(WriteTransformJson(back), text);
    EXPECT_TRUE(ReadStatisticsJson(WriteStatisticsJson(t.Statistics)) == t.Statistics);
    // A keep beyond the image is refused by name.
    EXPECT_THROW(CheckStretchRequest(ReadStretchRequest(ParseJson(R"({"keep": [225]})")), n,
                                     TSampleType::UInt16, 31, 17),
                 EStretch);
}

TEST(ManyBands, IntegerOutputsAreTheRoundedLongDoubleSums) {
    std::mt19937 random(20);
    std::uniform_real_distribution<double> w(-0.4, 0.4);
    for (const int n : {17, 40})
        for (const TSampleType type :
             {TSampleType::UInt8, TSampleType::Int16, TSampleType::UInt32}) {
            TTestImage img(23, 5, n, type, 4);
            FillWhole(img, random);
            TBandTransform t = TBandTransform::Identity(n, type);
            for (int r = 0; r < n; ++r) {
                for (int c = 0; c < n; ++c)
                    t.Map.M[r][c] = w(random) + (r == c ? 0.5 : 0.0);
                t.Map.M[r][n] = w(random) * SampleTop(type);
            }
            std::shuffle(t.Order.begin(), t.Order.end(), random);
            TTestImage out(23, 5, n, type, 0);
            ApplyStretch(t, img.View, out.View);
            for (int64_t y = 0; y < 5; ++y)
                for (int64_t x = 0; x < 23; ++x)
                    for (int r = 0; r < n; ++r) {
                        long double sum = 0;
                        for (int j = 0; j < n; ++j)
                            sum +=
                                static_cast<long double>(img.Get(x, y, t.Order[j])) * t.Map.M[r][j];
                        sum += t.Map.M[r][n];
                        const long double v = std::clamp(
                            std::nearbyint(sum), static_cast<long double>(SampleBottom(type)),
                            static_cast<long double>(SampleTop(type)));
                        ASSERT_EQ(out.Get(x, y, t.Order[r]), static_cast<double>(v))
                            << n << " " << SampleTypeName(type) << " " << x << "," << y;
                    }
        }
}

TEST(ManyBands, OffsetStretchSpansEachComponentsRange) {
    std::mt19937 random(61);
    const int n = 61;
    TTestImage img(40, 12, n, TSampleType::UInt16, 1);
    FillCorrelated(img, random);
    const TStatistics s = MeasureStatistics(img.View);
    const TPrincipalAxes axes = FitAxes(s);
    const TComponentRanges ranges = MeasureComponentRanges(img.View, {}, axes);
    // The ranges are the extremes of the components computed here in long double.
    for (int k = 0; k < n; ++k) {
        long double low = INFINITY, high = -INFINITY;
        for (int64_t y = 0; y < 12; ++y)
            for (int64_t x = 0; x < 40; ++x) {
                long double c = 0;
                for (int j = 0; j < n; ++j)
                    c += static_cast<long double>(img.Get(x, y, axes.Order[j])) * axes.Map.M[k][j];
                const auto d = static_cast<double>(c + axes.Map.M[k][n]);
                low = std::min<long double>(low, d);
                high = std::max<long double>(high, d);
            }
        EXPECT_EQ(ranges.Lowest[k], static_cast<double>(low)) << k;
        EXPECT_EQ(ranges.Highest[k], static_cast<double>(high)) << k;
    }
    EXPECT_NO_THROW(BuildStretch(axes, ranges));
    // The axes are orthonormal rows scaled by their magnitudes (the offset lift): unit rows
    // once divided by their lengths, at right angles to each other.
    for (int a = 0; a < n; ++a)
        for (int b = 0; b <= a; ++b) {
            long double dot = 0, la = 0, lb = 0;
            for (int j = 0; j < n; ++j) {
                dot += static_cast<long double>(axes.Map.M[a][j]) * axes.Map.M[b][j];
                la += static_cast<long double>(axes.Map.M[a][j]) * axes.Map.M[a][j];
                lb += static_cast<long double>(axes.Map.M[b][j]) * axes.Map.M[b][j];
            }
            EXPECT_NEAR(static_cast<double>(dot / std::sqrt(la * lb)), a == b ? 1.0 : 0.0, 1e-12);
        }
}

TEST(ManyBands, EigenDecompositionMeetsItsEquations) {
    std::mt19937 random(7);
    std::normal_distribution<double> g(0, 1);
    for (const int n : {1, 2, 12, 224}) {
        // A covariance of random data, with a repeated eigenvalue: two identical columns.
        const int m = n + 20;
        std::vector<double> x(static_cast<size_t>(m * n));
        for (double& v : x)
            v = g(random);
        if (n > 2)
            for (int r = 0; r < m; ++r)
                x[static_cast<size_t>(r * n + 1)] = x[static_cast<size_t>(r * n)];
        std::vector<double> a(static_cast<size_t>(n * n));
        double norm = 0;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                long double s = 0;
                for (int r = 0; r < m; ++r)
                    s += static_cast<long double>(x[static_cast<size_t>(r * n + i)]) *
                         x[static_cast<size_t>(r * n + j)];
                a[static_cast<size_t>(i * n + j)] = static_cast<double>(s / m);
                norm = std::max(norm, std::fabs(a[static_cast<size_t>(i * n + j)]));
            }
        std::vector<double> vectors(static_cast<size_t>(n * n)), values(static_cast<size_t>(n));
        ASSERT_TRUE(SymmetricEigen(a.data(), n, vectors.data(), values.data()));
        const auto v = [&](int i, int k) { return vectors[static_cast<size_t>(i * n + k)]; };
        for (int k = 0; k < n; ++k) {
            if (k > 0) {
                EXPECT_GE(values[static_cast<size_t>(k - 1)], values[static_cast<size_t>(k)]);
            }
            // A v = lambda v.
            for (int i = 0; i < n; ++i) {
                long double av = 0;
                for (int j = 0; j < n; ++j)
                    av += static_cast<long double>(a[static_cast<size_t>(i * n + j)]) * v(j, k);
                ASSERT_NEAR(static_cast<double>(av), values[static_cast<size_t>(k)] * v(i, k),
                            1e-12 * n * norm)
                    << n << ": " << i << "," << k;
            }
            // V'V = I.
            for (int l = 0; l <= k; ++l) {
                long double dot = 0;
                for (int i = 0; i < n; ++i)
                    dot += static_cast<long double>(v(i, k)) * v(i, l);
                ASSERT_NEAR(static_cast<double>(dot), k == l ? 1.0 : 0.0, 1e-12 * n) << n;
            }
        }
        if (n > 2) {
            EXPECT_NEAR(values[static_cast<size_t>(n - 1)], 0.0, 1e-12 * n * norm);
        }
        // Below the limit the Jacobi method gives the same eigenvalues.
        if (n == 12) {
            TMatrix matrix(n, n), jv(n, n), jl(n, 1);
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j)
                    matrix.SetElement(i + 1, j + 1, a[static_cast<size_t>(i * n + j)]);
            matrix.EigenDecompose(jv, jl);
            for (int k = 0; k < n; ++k)
                EXPECT_NEAR(jl.GetElement(k + 1, 1), values[static_cast<size_t>(k)], 1e-12 * norm);
        }
    }
    // Numbers that are not finite are refused, not decomposed.
    const double bad[4] = {1, NAN, NAN, 1};
    double vectors[4], values[2];
    EXPECT_FALSE(SymmetricEigen(bad, 2, vectors, values));
}

TEST(ManyBands, FloatStatisticsNeverDependOnThreadsOrForm) {
    std::mt19937 random(33);
    TTestImage img(130, 21, 40, TSampleType::Float32, 3);
    FillCorrelated(img, random);
    img.Set(5, 3, 7, NAN); // that pixel never counts
    const TStatistics one = MeasureStatistics(img.View);
    EXPECT_EQ(one.Count, 130 * 21 - 1);
    for (const int threads : {2, 5}) {
        TRunOptions run;
        run.Threads = threads;
        EXPECT_TRUE(MeasureStatistics(img.View, {}, run) == one) << threads;
    }
    detail::SetKernelChoice(detail::TKernelChoice::Portable);
    const TStatistics portable = MeasureStatistics(img.View);
    detail::SetKernelChoice(detail::TKernelChoice::Best);
    EXPECT_TRUE(portable == one);
    // The compensated sums are the sums of the samples, to the rounding of the result.
    long double sum = 0;
    for (int64_t y = 0; y < 21; ++y)
        for (int64_t x = 0; x < 130; ++x)
            if (x != 5 || y != 3) {
                sum += static_cast<long double>(img.Get(x, y, 11)) * img.Get(x, y, 30);
            }
    EXPECT_NEAR(static_cast<double>(one.ProductOf(11, 30)), static_cast<double>(sum),
                1e-15 * std::fabs(static_cast<double>(sum)));
}
