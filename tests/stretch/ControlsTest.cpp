// The stretch's controls: saturation judged by order statistics taken here by sorting, kept
// bands and targets judged on the output's own moments in colour spaces written out here, and
// the refusals and files that carry them.
#include "EngineTestImages.h"
#include "stretch/TransformFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

using namespace vt;
using namespace vt::test;

namespace {

TFitOptions Direct(TStretchMethod method = TStretchMethod::Offset) {
    TFitOptions o;
    o.Method = method;
    o.Pairing = TBandPairing::Direct;
    return o;
}

// Band b of a transform at a pixel, in long double, before rounding.
long double Exact(const TBandTransform& t, const TTestImage& img, int64_t x, int64_t y, int b) {
    int r = 0;
    while (t.Order[r] != b)
        ++r;
    long double sum = t.Map.M[r][t.Bands];
    for (int j = 0; j < t.Bands; ++j)
        sum += static_cast<long double>(img.Get(x, y, t.Order[j])) * t.Map.M[r][j];
    return sum;
}

TTestImage Applied(const TBandTransform& t, const TTestImage& img) {
    TTestImage out(img.W, img.H, img.N, img.Type, 0);
    ApplyStretch(t, img.View, out.View);
    return out;
}

// The luma of the library's YCbCr and YIQ, and their chroma rows, written out here.
const double YRow[3] = {0.299, 0.587, 0.114};
const double YiqRows[3][3] = {
    {0.299, 0.587, 0.114}, {0.569, -0.275, -0.321}, {0.212, -0.523, 0.311}};

} // namespace

TEST(Controls, ClipLimitsAreOrderStatisticsOfTheStoredOutputs) {
    std::mt19937 random(11);
    for (const TSampleType type : {TSampleType::UInt8, TSampleType::UInt16, TSampleType::Float32})
        for (const int n : {3, 5}) {
            SCOPED_TRACE(std::string(SampleTypeName(type)) + " bands " + std::to_string(n));
            TTestImage img(41, 40, n, type, 1);
            FillCorrelated(img, random);
            TSelection every;
            every.Every = 2;
            // 420 selected pixels: both fractions fall on whole counts, where "more than"
            // and "at least" part.
            const double low = 0.05, high = 0.1, top = SampleTop(type);
            const TBandTransform t = FitStretch(img.View, every, Direct());
            const TBandTransform clipped = ClipStretch(t, img.View, every, low, high);
            const TTestImage stored = Applied(t, img), out = Applied(clipped, img);
            for (int b = 0; b < n; ++b) {
                std::vector<double> v;
                for (int64_t y = 0; y < img.H; y += 2)
                    for (int64_t x = 0; x < img.W; x += 2)
                        v.push_back(stored.Get(x, y, b));
                std::sort(v.begin(), v.end());
                const auto count = static_cast<double>(v.size());
                const double lo = v[static_cast<size_t>(std::floor(low * count))];
                const double hi = v[v.size() - 1 - static_cast<size_t>(std::floor(high * count))];
                ASSERT_LT(lo, hi);
                for (int64_t y = 0; y < img.H; ++y)
                    for (int64_t x = 0; x < img.W; ++x) {
                        // Floats map the limits onto 0..1; integer levels' edges onto the
                        // range's end levels' edges.
                        const double h = type == TSampleType::Float32 ? 0 : 0.5;
                        long double e =
                            (Exact(t, img, x, y, b) - lo - h) * (top - 2 * h) / (hi - lo - 2 * h) +
                            h;
                        e = std::clamp<long double>(e, 0, top);
                        const double got = out.Get(x, y, b);
                        if (type == TSampleType::Float32) {
                            ASSERT_NEAR(got, static_cast<double>(e), 1e-5) << x << "," << y;
                        } else {
                            ASSERT_LE(std::fabs(got - static_cast<double>(e)), 0.5 + 1e-6)
                                << x << "," << y;
                        }
                        // What the limits promise: stored at or beyond one, at the end (for
                        // floats, within their rounding).
                        const double slack = type == TSampleType::Float32 ? 1e-6 : 0;
                        if (stored.Get(x, y, b) <= lo) {
                            ASSERT_LE(got, slack);
                        }
                        if (stored.Get(x, y, b) >= hi) {
                            ASSERT_GE(got, top - slack);
                        }
                    }
            }
        }
}

TEST(Controls, ClipPoolsOverASeriesAsOverOneImage) {
    std::mt19937 random(12);
    for (const TSampleType type : {TSampleType::UInt16, TSampleType::Float32}) {
        TTestImage img(40, 50, 3, type, 0);
        FillCorrelated(img, random);
        const TBandTransform t = FitStretch(img.View, {}, Direct(TStretchMethod::ScaleOnly));
        TImageView top = img.View, bottom = img.View;
        top.Height = 23;
        bottom.Height = img.H - 23;
        bottom.Data = img.View.At(0, 23, 0);
        TClipHistogram series(t, 0.02, 0.01);
        int passes = 0;
        while (series.NeedsPass()) {
            series.Measure(top);
            series.Measure(bottom);
            series.FinishPass();
            ++passes;
        }
        EXPECT_EQ(passes, type == TSampleType::Float32 ? 2 : 1);
        const TBandTransform pooled = series.Clipped(),
                             whole = ClipStretch(t, img.View, {}, 0.02, 0.01);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c <= 3; ++c)
                EXPECT_EQ(pooled.Map.M[r][c], whole.Map.M[r][c]);
        EXPECT_THROW(series.Measure(top), EStretch);
    }
}

TEST(Controls, ClippedFloatsStayInRangeAndNotANumberStays) {
    std::mt19937 random(13);
    TTestImage img(30, 20, 3, TSampleType::Float32, 0);
    FillCorrelated(img, random);
    img.Set(4, 4, 1, NAN);
    TFitOptions o = Direct(TStretchMethod::Target);
    o.TargetSigma[0] = o.TargetSigma[1] = o.TargetSigma[2] = 0.4; // far beyond 0..1
    o.Clip = true;
    o.ClipLow = o.ClipHigh = 0;
    const TBandTransform t = FitStretch(img.View, {}, o);
    EXPECT_TRUE(t.Options.Clip);
    // The limits come from the stretch's unclamped outputs, however it was asked for.
    TFitOptions plain = o;
    plain.Clip = false;
    const TBandTransform apart = ClipStretch(FitStretch(img.View, {}, plain), img.View, {}, 0, 0);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c <= 3; ++c)
            EXPECT_EQ(t.Map.M[r][c], apart.Map.M[r][c]);
    const TTestImage out = Applied(t, img);
    bool low = false, high = false;
    for (int64_t y = 0; y < img.H; ++y)
        for (int64_t x = 0; x < img.W; ++x)
            for (int b = 0; b < 3; ++b) {
                const double v = out.Get(x, y, b);
                if (x == 4 && y == 4)
                    continue;
                ASSERT_TRUE(v >= 0 && v <= 1) << v;
                low = low || v == 0;
                high = high || v == 1;
            }
    EXPECT_TRUE(low && high); // clip 0: the extremes land on the range's ends
    EXPECT_TRUE(std::isnan(out.Get(4, 4, 1)));
}

TEST(Controls, KeptBandsOfASpacePassUnchanged) {
    std::mt19937 random(14);
    TTestImage img(48, 40, 3, TSampleType::Float32, 0);
    FillCorrelated(img, random);
    for (const TStretchMethod method :
         {TStretchMethod::Offset, TStretchMethod::ScaleOnly, TStretchMethod::Target})
        for (const TColourSpace space : {TColourSpace::YCbCr, TColourSpace::Yiq}) {
            TFitOptions o = Direct(method);
            o.Space = space;
            o.Keep = 1; // luma
            const TBandTransform t = FitStretch(img.View, {}, o);
            const TTestImage out = Applied(t, img);
            double change = 0;
            for (int64_t y = 0; y < img.H; ++y)
                for (int64_t x = 0; x < img.W; ++x) {
                    double before = 0, after = 0;
                    for (int b = 0; b < 3; ++b) {
                        before += YRow[b] * img.Get(x, y, b);
                        after += YRow[b] * out.Get(x, y, b);
                    }
                    ASSERT_NEAR(after, before, 1e-5);
                    change += std::fabs(out.Get(x, y, 0) - img.Get(x, y, 0));
                }
            EXPECT_GT(change, 0.5); // the colour did change
        }
    // Without a space, a kept band is the band itself.
    TTestImage grey(20, 20, 4, TSampleType::UInt16, 2);
    FillCorrelated(grey, random);
    TFitOptions o = Direct();
    o.Keep = 1u << 2;
    const TTestImage out = Applied(FitStretch(grey.View, {}, o), grey);
    for (int64_t y = 0; y < grey.H; ++y)
        for (int64_t x = 0; x < grey.W; ++x)
            ASSERT_EQ(out.Get(x, y, 2), grey.Get(x, y, 2));
}

TEST(Controls, TargetInASpaceMeetsItsMomentsThere) {
    std::mt19937 random(15);
    TTestImage img(64, 64, 3, TSampleType::Float32, 0);
    FillCorrelated(img, random);
    TFitOptions o = Direct(TStretchMethod::Target);
    o.Space = TColourSpace::Yiq;
    o.Basis = TStretchBasis::Covariance;
    const TTestImage out = Applied(FitStretch(img.View, {}, o), img);
    // Moments of the YIQ bands (constants drop out of them), before and after.
    const auto moments = [&](const TTestImage& im, double mean[3], double cov[3][3]) {
        std::vector<std::array<double, 3>> v;
        for (int64_t y = 0; y < im.H; ++y)
            for (int64_t x = 0; x < im.W; ++x) {
                std::array<double, 3> s{};
                for (int r = 0; r < 3; ++r)
                    for (int b = 0; b < 3; ++b)
                        s[static_cast<size_t>(r)] += YiqRows[r][b] * im.Get(x, y, b);
                v.push_back(s);
            }
        for (int a = 0; a < 3; ++a) {
            mean[a] = 0;
            for (const auto& s : v)
                mean[a] += s[static_cast<size_t>(a)] / static_cast<double>(v.size());
        }
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) {
                cov[a][b] = 0;
                for (const auto& s : v)
                    cov[a][b] += (s[static_cast<size_t>(a)] - mean[a]) *
                                 (s[static_cast<size_t>(b)] - mean[b]) /
                                 static_cast<double>(v.size());
            }
    };
    double m0[3], c0[3][3], m1[3], c1[3][3];
    moments(img, m0, c0);
    moments(out, m1, c1);
    for (int a = 0; a < 3; ++a) {
        EXPECT_NEAR(m1[a], m0[a], 1e-5);
        EXPECT_NEAR(std::sqrt(c1[a][a]), std::sqrt(c0[a][a]), 1e-5);
        for (int b = 0; b < a; ++b) {
            EXPECT_GT(std::fabs(c0[a][b]) / std::sqrt(c0[a][a] * c0[b][b]), 0.05);
            EXPECT_LT(std::fabs(c1[a][b]) / std::sqrt(c1[a][a] * c1[b][b]), 1e-4);
        }
    }
}

TEST(Controls, TheRgbSpaceIsTheDirectStretch) {
    std::mt19937 random(16);
    TTestImage img(33, 17, 3, TSampleType::UInt8, 0);
    FillCorrelated(img, random);
    for (const TStretchMethod method : {TStretchMethod::Offset, TStretchMethod::ScaleOnly}) {
        TFitOptions rgb = Direct(method);
        rgb.Space = TColourSpace::Rgb;
        const TBandTransform a = FitStretch(img.View, {}, Direct(method)),
                             b = FitStretch(img.View, {}, rgb);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c <= 3; ++c)
                EXPECT_EQ(a.Map.M[r][c], b.Map.M[r][c]);
    }
}

TEST(Controls, ImpossibleControlsAreRefusedWithTheirReason) {
    std::mt19937 random(17);
    TTestImage img(10, 10, 3, TSampleType::UInt8, 0), four(10, 10, 4, TSampleType::UInt8, 0);
    FillCorrelated(img, random);
    FillCorrelated(four, random);
    const auto refusal = [](const TImageView& v, const TFitOptions& o) -> std::string {
        try {
            FitStretch(v, {}, o);
        } catch (const EStretch& e) {
            return e.Message;
        }
        return "accepted";
    };
    TFitOptions o = Direct();
    o.Keep = 7;
    EXPECT_NE(refusal(img.View, o).find("every band is kept"), std::string::npos);
    o.Keep = 8;
    EXPECT_NE(refusal(img.View, o).find("kept bands"), std::string::npos);
    o = Direct();
    o.Space = TColourSpace::YCbCr;
    EXPECT_NE(refusal(four.View, o).find("three bands"), std::string::npos);
    o.Space = TColourSpace::Matrix;
    o.SpaceMatrix = TAffineMap::Identity(3);
    o.SpaceMatrix.M[2][0] = 1; // row 3 = row 1 + row 3 of the identity: still invertible
    EXPECT_EQ(refusal(img.View, o), "accepted");
    o.SpaceMatrix.M[2][2] = 0; // row 3 = row 1
    EXPECT_NE(refusal(img.View, o).find("not invertible"), std::string::npos);
    const TBandTransform t = FitStretch(img.View, {}, Direct());
    EXPECT_THROW(TClipHistogram(t, 0.5, 0.5), EStretch);
    EXPECT_THROW(TClipHistogram(t, -0.1, 0), EStretch);
    EXPECT_THROW(TClipHistogram(t, 0.1, 0).Clipped(), EStretch);
}

TEST(Controls, TransformFilesCarryTheControls) {
    std::mt19937 random(18);
    TTestImage img(25, 25, 3, TSampleType::UInt16, 0);
    FillCorrelated(img, random);
    TFitOptions o = Direct();
    o.Space = TColourSpace::Matrix;
    o.SpaceMatrix = TAffineMap::Identity(3);
    o.SpaceMatrix.M[0][1] = 0.25;
    o.SpaceMatrix.M[1][3] = 1000;
    o.Keep = 2;
    o.Clip = true;
    o.ClipLow = 0.01;
    o.ClipHigh = 0.02;
    const TBandTransform t = FitStretch(img.View, {}, o);
    const std::string text = WriteTransformJson(t);
    EXPECT_NE(text.find("\"version\": 2"), std::string::npos);
    const TBandTransform back = ReadTransformJson(text);
    EXPECT_EQ(back.Options.Space, TColourSpace::Matrix);
    EXPECT_EQ(back.Options.SpaceMatrix.M[1][3], 1000);
    EXPECT_EQ(back.Options.Keep, 2u);
    EXPECT_TRUE(back.Options.Clip);
    EXPECT_EQ(back.Options.ClipHigh, 0.02);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c <= 3; ++c)
            EXPECT_EQ(back.Map.M[r][c], t.Map.M[r][c]);
    // Without controls the file stays at version 1, which older readers take.
    EXPECT_NE(WriteTransformJson(FitStretch(img.View, {}, Direct())).find("\"version\": 1"),
              std::string::npos);
}
