// The engine at the edges of real data: samples that are not finite, selections that leave no
// pixel, degenerate bands under the target method, band counts beyond the limit, sizes near
// the integer limit, data far from the unit scale and float no-data values, each judged on
// figures computed here from the pixels themselves.
#include "EngineTestImages.h"
#include "stretch/KernelDispatch.h"
#include "stretch/StretchTransform.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>

using namespace vt;
using namespace vt::test;

namespace {

const double Inf = std::numeric_limits<double>::infinity();

TFitOptions Method(TStretchMethod method, TStretchBasis basis = TStretchBasis::Correlation) {
    TFitOptions o;
    o.Method = method;
    o.Basis = basis;
    o.Pairing = TBandPairing::Direct;
    return o;
}

std::string Refusal(const std::function<void()>& work) {
    try {
        work();
    } catch (const EStretch& e) {
        return e.what();
    }
    return "(nothing raised)";
}

bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

TTestImage Applied(const TBandTransform& t, const TTestImage& img) {
    TTestImage out(img.W, img.H, img.N, TSampleType::Float32, 0);
    ApplyStretch(t, img.View, out.View);
    return out;
}

} // namespace

TEST(EngineEdges, SamplesThatAreNotFiniteCountNowhereAndPassUnchanged) {
    std::mt19937 random(41);
    const float bad[3] = {INFINITY, -INFINITY, NAN};
    for (const auto kernels : {detail::TKernelChoice::Best, detail::TKernelChoice::Portable})
        for (const int layout : {0, 2}) {
            detail::SetKernelChoice(kernels);
            TTestImage clean(37, 23, 3, TSampleType::Float32, layout);
            FillCorrelated(clean, random);
            TTestImage poisoned = clean;
            poisoned.View.Data = poisoned.Bytes.data() +
                                 (static_cast<uint8_t*>(clean.View.Data) - clean.Bytes.data());
            // The mask that leaves out exactly the poisoned pixels.
            std::vector<uint8_t> keep(37 * 23, 1);
            for (int i = 0; i < 9; ++i) {
                const int64_t x = (i * 7) % 37, y = (i * 5) % 23;
                poisoned.Set(x, y, i % 3, bad[i % 3]);
                keep[static_cast<size_t>(y * 37 + x)] = 0;
            }
            const TImageView maskView =
                TImageView::Interleaved(keep.data(), 37, 23, 1, TSampleType::UInt8);
            TSelection masked;
            masked.Mask = &maskView;
            const TStatistics s = MeasureStatistics(poisoned.View);
            const TStatistics m = MeasureStatistics(clean.View, masked);
            ASSERT_EQ(s.Count, 37 * 23 - 9);
            EXPECT_EQ(s.Count, m.Count);
            for (int b = 0; b < 3; ++b) {
                EXPECT_EQ(s.Lowest[b], m.Lowest[b]);
                EXPECT_EQ(s.Highest[b], m.Highest[b]);
                EXPECT_NEAR(s.Mean(b), m.Mean(b), 1e-12);
                EXPECT_NEAR(s.Covariance(b, 2 - b), m.Covariance(b, 2 - b), 1e-12);
            }
            for (const auto& o : {Method(TStretchMethod::Offset),
                                  Method(TStretchMethod::ScaleOnly, TStretchBasis::Covariance),
                                  Method(TStretchMethod::Target, TStretchBasis::Covariance)}) {
                const TBandTransform t = FitStretch(poisoned.View, {}, o);
                const TBandTransform u = FitStretch(clean.View, masked, o);
                for (int r = 0; r < 3; ++r)
                    for (int c = 0; c <= 3; ++c)
                        ASSERT_NEAR(t.Map.M[r][c], u.Map.M[r][c], 1e-9) << r << "," << c;
                // Clipped at 0: the limits are the stretched extremes of the finite pixels.
                const TBandTransform a = ClipStretch(u, poisoned.View, {}, 0, 0);
                const TBandTransform b = ClipStretch(u, clean.View, masked, 0, 0);
                for (int r = 0; r < 3; ++r)
                    for (int c = 0; c <= 3; ++c)
                        ASSERT_EQ(a.Map.M[r][c], b.Map.M[r][c]);
                const TTestImage out = Applied(t, poisoned);
                for (int64_t y = 0; y < 23; ++y)
                    for (int64_t x = 0; x < 37; ++x)
                        for (int band = 0; band < 3; ++band) {
                            const double in = poisoned.Get(x, y, band), v = out.Get(x, y, band);
                            if (keep[static_cast<size_t>(y * 37 + x)] == 0)
                                ASSERT_TRUE(in == v || (in != in && v != v)) << x << "," << y;
                            else
                                ASSERT_TRUE(std::isfinite(v)) << x << "," << y;
                        }
            }
        }
    detail::SetKernelChoice(detail::TKernelChoice::Best);
}

TEST(EngineEdges, SelectionsWithoutPixelsAreRefusedByEveryMethod) {
    std::mt19937 random(42);
    TTestImage img(20, 10, 3, TSampleType::UInt16, 0);
    FillCorrelated(img, random);
    std::vector<uint8_t> zeros(200, 0);
    const TImageView none = TImageView::Interleaved(zeros.data(), 20, 10, 1, TSampleType::UInt8);
    TSelection mask, rectangle, every, nodata;
    mask.Mask = &none;
    rectangle.Width = rectangle.Height = 0;
    every.X = 3;
    every.Every = int64_t{1} << 40;
    every.Mask = &none;
    TTestImage flat(20, 10, 3, TSampleType::UInt16, 0);
    for (int64_t y = 0; y < 10; ++y)
        for (int64_t x = 0; x < 20; ++x)
            for (int b = 0; b < 3; ++b)
                flat.Set(x, y, b, 77);
    nodata.HasNoData = true;
    nodata.NoData = 77;
    for (TFitOptions o : {Method(TStretchMethod::Offset), Method(TStretchMethod::ScaleOnly),
                          Method(TStretchMethod::Target)}) {
        for (const bool clip : {false, true}) {
            o.Clip = clip;
            o.ClipLow = o.ClipHigh = 0.01;
            EXPECT_EQ(Refusal([&] { FitStretch(img.View, mask, o); }), "no pixels selected (mask)");
            EXPECT_EQ(Refusal([&] { FitStretch(img.View, rectangle, o); }),
                      "no pixels selected (sample 0,0,0,0)");
            EXPECT_EQ(Refusal([&] { FitStretch(img.View, every, o); }),
                      "no pixels selected (sample 3,0,-1,-1, mask, every 1099511627776)");
            EXPECT_EQ(Refusal([&] { FitStretch(flat.View, nodata, o); }),
                      "no pixels selected (nodata 77)");
        }
    }
    // The pieces a series is fitted from refuse an empty whole too.
    const TStatistics empty = MeasureStatistics(img.View, rectangle);
    EXPECT_EQ(empty.Count, 0);
    EXPECT_TRUE(StartsWith(Refusal([&] { FitAxes(empty); }), "no pixels selected"));
    EXPECT_TRUE(StartsWith(Refusal([&] { FitTarget(empty, Method(TStretchMethod::Target)); }),
                           "no pixels selected"));
    const TPrincipalAxes axes = FitAxes(MeasureStatistics(img.View));
    EXPECT_TRUE(StartsWith(Refusal([&] { BuildStretch(axes, TComponentRanges(3)); }),
                           "no pixels selected"));
    const TBandTransform t = FitStretch(img.View);
    EXPECT_TRUE(StartsWith(Refusal([&] { ClipStretch(t, img.View, mask, 0.1, 0.1); }),
                           "no pixels selected"));
    // A float image whose every pixel has a sample that is not finite says so.
    TTestImage nan(4, 4, 3, TSampleType::Float32, 0);
    for (int64_t y = 0; y < 4; ++y)
        for (int64_t x = 0; x < 4; ++x)
            nan.Set(x, y, 1, NAN);
    EXPECT_EQ(Refusal([&] { FitStretch(nan.View); }),
              "no pixels selected (the whole image): every pixel has a sample that is not a "
              "finite number");
}

TEST(EngineEdges, TargetMethodGivesEveryBandWithVarianceItsTargetDeviation) {
    // A grey photograph stored as three bands: one component has all the variance. Each output
    // band must still have the target deviation (the band's own), never sigma / sqrt(3).
    std::mt19937 random(43);
    for (const auto basis : {TStretchBasis::Correlation, TStretchBasis::Covariance})
        for (const bool given : {false, true}) {
            TTestImage grey(48, 32, 3, TSampleType::UInt16, 0);
            for (int64_t y = 0; y < 32; ++y)
                for (int64_t x = 0; x < 48; ++x) {
                    const double v = 1000 + static_cast<double>(random() % 50000);
                    for (int b = 0; b < 3; ++b)
                        grey.Set(x, y, b, v);
                }
            TFitOptions o = Method(TStretchMethod::Target, basis);
            for (int b = 0; b < 3 && given; ++b) {
                o.TargetSigma[b] = 9000;
                o.TargetMean[b] = 30000;
            }
            const TBandTransform t = FitStretch(grey.View, {}, o);
            const TMoments in = MomentsOf(grey, 0, 0, 48, 32);
            const TMoments out = MomentsOf(Applied(t, grey), 0, 0, 48, 32);
            for (int b = 0; b < 3; ++b) {
                const double sigma = given ? 9000 : static_cast<double>(in.Sigma[b]);
                EXPECT_NEAR(static_cast<double>(out.Sigma[b]), sigma, 1e-6 * sigma);
                EXPECT_NEAR(static_cast<double>(out.Mean[b]),
                            given ? 30000 : static_cast<double>(in.Mean[b]), 1e-6 * 65535);
            }
            // Colour differences, which the selection never shows, pass with gain 1.
            for (int b = 0; b < 3; ++b) {
                const double d = t.Weight(b, 0) - t.Weight(b, 1);
                EXPECT_NEAR(d, b == 0 ? 1 : b == 1 ? -1 : 0, 1e-9) << b;
            }
        }
}

TEST(EngineEdges, TargetMethodPassesConstantBandsAndDuplicatesWithGainOne) {
    // Four bands over a sample rectangle: band 1 constant there, band 3 a copy of band 0; the
    // targets ask for a deviation of 4000 everywhere. Outside the rectangle band 1 varies.
    std::mt19937 random(44);
    for (const auto basis : {TStretchBasis::Correlation, TStretchBasis::Covariance}) {
        TTestImage img(40, 30, 4, TSampleType::Float32, 0);
        FillCorrelated(img, random);
        for (int64_t y = 0; y < 30; ++y)
            for (int64_t x = 0; x < 40; ++x) {
                if (x < 30)
                    img.Set(x, y, 1, 0.25);
                img.Set(x, y, 3, img.Get(x, y, 0));
            }
        TSelection sample;
        sample.Width = 30;
        TFitOptions o = Method(TStretchMethod::Target, basis);
        for (int b = 0; b < 4; ++b) {
            o.TargetSigma[b] = 0.125;
            o.TargetMean[b] = 0.5;
        }
        const TBandTransform t = FitStretch(img.View, sample, o);
        // The constant band: gain 1, no weight from or to the others, mean moved to the target.
        for (int b = 0; b < 4; ++b) {
            EXPECT_NEAR(t.Weight(1, b), b == 1 ? 1 : 0, 1e-12) << b;
            if (b != 1) {
                EXPECT_NEAR(t.Weight(b, 1), 0, 1e-12) << b;
            }
        }
        EXPECT_NEAR(t.Constant(1), 0.25, 1e-12);
        // The copy's difference from its band passes with gain 1.
        for (int b = 0; b < 4; ++b)
            EXPECT_NEAR(t.Weight(b, 0) - t.Weight(b, 3), b == 0 ? 1 : b == 3 ? -1 : 0, 1e-9);
        const TTestImage out = Applied(t, img);
        const TMoments m = MomentsOf(out, 0, 0, 30, 30);
        for (int b : {0, 2, 3}) {
            EXPECT_NEAR(static_cast<double>(m.Sigma[b]), 0.125, 1e-6) << b;
            EXPECT_NEAR(static_cast<double>(m.Mean[b]), 0.5, 1e-6) << b;
        }
        EXPECT_NEAR(static_cast<double>(m.Corr[0][2]), 0, 1e-5);
        EXPECT_NEAR(static_cast<double>(m.Sigma[1]), 0, 1e-7);
        for (int64_t x = 30; x < 40; ++x)
            EXPECT_NEAR(out.Get(x, 3, 1), img.Get(x, 3, 1) + 0.25, 1e-6);
    }
}

TEST(EngineEdges, BandCountsBeyondTheLimitAreRefusedBeforeUse) {
    const int beyond = MaxBands + 1;
    const std::string text = std::to_string(beyond);
    TStatistics wide(beyond, TSampleType::UInt8);
    wide.Count = 5;
    EXPECT_NE(Refusal([&] { FitAxes(wide); }).find(text), std::string::npos);
    EXPECT_NE(Refusal([&] { FitTarget(wide, Method(TStretchMethod::Target)); }).find(text),
              std::string::npos);
    EXPECT_NE(Refusal([&] { ColourSpaceMap({}, beyond, TSampleType::UInt8); }).find(text),
              std::string::npos);
    EXPECT_NE(Refusal([&] { ColourSpaceMap({}, 0, TSampleType::UInt8); }).find("0"),
              std::string::npos);
    EXPECT_NE(Refusal([&] { TBandTransform::Identity(beyond, TSampleType::UInt8); }).find(text),
              std::string::npos);
    EXPECT_NE(Refusal([&] { wide.Add(wide); }).find(text), std::string::npos);
    TPrincipalAxes axes;
    axes.Bands = beyond;
    EXPECT_NE(Refusal([&] { BuildStretch(axes, TComponentRanges(beyond)); }).find(text),
              std::string::npos);
    std::vector<uint8_t> pixels(2 * MaxBands);
    const TImageView v = TImageView::Interleaved(pixels.data(), 1, 1, beyond, TSampleType::UInt8);
    EXPECT_NE(Refusal([&] { MeasureStatistics(v); }).find(text), std::string::npos);
    // Statistics assembled by hand without their sums are refused, never read.
    TStatistics hollow;
    hollow.Bands = 20;
    hollow.Count = 5;
    EXPECT_NE(Refusal([&] { FitAxes(hollow); }).find("do not hold"), std::string::npos);
}

TEST(EngineEdges, SizesNearTheIntegerLimitNeverOverflow) {
    TTestImage img(9, 7, 2, TSampleType::UInt8, 0);
    std::mt19937 random(45);
    FillCorrelated(img, random);
    TSelection s;
    s.Every = std::numeric_limits<int64_t>::max();
    s.X = 4;
    s.Y = 2;
    const TStatistics one = MeasureStatistics(img.View, s);
    EXPECT_EQ(one.Count, 1);
    EXPECT_EQ(one.Highest[1], img.Get(4, 2, 1));
    const int64_t max = std::numeric_limits<int64_t>::max();
    for (const auto& [x, w] :
         {std::pair{int64_t{1}, max}, std::pair{max, max}, std::pair{max, int64_t{1}}}) {
        TSelection r;
        r.X = x;
        r.Width = w;
        EXPECT_TRUE(StartsWith(Refusal([&] { MeasureStatistics(img.View, r); }), "sample:"));
    }
}

TEST(EngineEdges, FloatDataFarFromTheUnitScaleIsStretchedLikeItself) {
    // The same picture at scale 1 and at 1e-10: the offset method spans 0..1 either way, and
    // the scale-only method gives the same output (its factors grow as the data shrink).
    std::mt19937 random(46);
    TTestImage unit(32, 24, 3, TSampleType::Float32, 0);
    FillCorrelated(unit, random);
    TTestImage tiny(32, 24, 3, TSampleType::Float32, 0);
    for (int64_t y = 0; y < 24; ++y)
        for (int64_t x = 0; x < 32; ++x)
            for (int b = 0; b < 3; ++b)
                tiny.Set(x, y, b, unit.Get(x, y, b) * 1e-10);
    for (const auto method : {TStretchMethod::Offset, TStretchMethod::ScaleOnly}) {
        const TTestImage a = Applied(FitStretch(unit.View, {}, Method(method)), unit);
        const TTestImage b = Applied(FitStretch(tiny.View, {}, Method(method)), tiny);
        for (int64_t y = 0; y < 24; ++y)
            for (int64_t x = 0; x < 32; ++x)
                for (int band = 0; band < 3; ++band)
                    ASSERT_NEAR(a.Get(x, y, band), b.Get(x, y, band), 1e-5)
                        << x << "," << y << "," << band;
    }
    // Data of zeros has nothing to stretch, however small the tolerance comes out.
    TTestImage zeros(8, 8, 3, TSampleType::Float32, 0);
    for (const auto method : {TStretchMethod::Offset, TStretchMethod::ScaleOnly}) {
        const TBandTransform t = FitStretch(zeros.View, {}, Method(method));
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c <= 3; ++c)
                EXPECT_EQ(t.Map.M[r][c], r == c ? 1 : 0);
    }
    // A grey picture at that scale keeps its colour differences (none) unamplified.
    TTestImage grey(16, 16, 3, TSampleType::Float32, 0);
    for (int64_t y = 0; y < 16; ++y)
        for (int64_t x = 0; x < 16; ++x)
            for (int b = 0; b < 3; ++b)
                grey.Set(x, y, b, 1e-10 * static_cast<double>((x * 7 + y * 3) % 16));
    for (const auto method : {TStretchMethod::Offset, TStretchMethod::ScaleOnly}) {
        const TTestImage out = Applied(FitStretch(grey.View, {}, Method(method)), grey);
        for (int64_t x = 0; x < 16; ++x)
            EXPECT_NEAR(out.Get(x, 5, 0), out.Get(x, 5, 2), 1e-6);
    }
}

TEST(EngineEdges, NoDataValuesAreComparedAsTheSamplesHoldThem) {
    std::mt19937 random(47);
    for (const double value : {0.1, -3.40282346638529e+38}) {
        TTestImage img(12, 10, 2, TSampleType::Float32, 0);
        FillCorrelated(img, random);
        for (int64_t x = 0; x < 12; ++x)
            for (int b = 0; b < 2; ++b)
                img.Set(x, 0, b, value); // stored as the float nearest the value
        TSelection s;
        s.HasNoData = true;
        s.NoData = value;
        EXPECT_EQ(MeasureStatistics(img.View, s).Count, 12 * 9);
        const TBandTransform t = FitStretch(img.View, s, Method(TStretchMethod::Offset));
        EXPECT_TRUE(t.HasNoData);
        EXPECT_EQ(t.NoData, static_cast<double>(static_cast<float>(value)));
        const TSelection marks = NoDataOf(t);
        TTestImage out(12, 10, 2, TSampleType::Float32, 0);
        ApplyStretch(t, img.View, out.View, &marks);
        for (int64_t x = 0; x < 12; ++x)
            EXPECT_EQ(out.Get(x, 0, 1), img.Get(x, 0, 1));
    }
    TTestImage img(2, 2, 1, TSampleType::Float32, 0);
    TSelection s;
    s.HasNoData = true;
    s.NoData = 1e39;
    const std::string refusal = Refusal([&] { MeasureStatistics(img.View, s); });
    EXPECT_TRUE(StartsWith(refusal, "nodata:") && refusal.find("float32") != std::string::npos)
        << refusal;
    s.NoData = -Inf; // infinite samples are floats too
    EXPECT_EQ(MeasureStatistics(img.View, s).Count, 4);
}

TEST(EngineEdges, SaturationCountsTheSameOnEveryThreadCountAndStrip) {
    std::mt19937 random(48);
    for (const TSampleType type : {TSampleType::UInt16, TSampleType::Float32}) {
        TTestImage img(300, 64, 5, type, 0);
        FillCorrelated(img, random);
        const TBandTransform t = FitStretch(img.View, {}, Method(TStretchMethod::Offset));
        TBandTransform first;
        for (const int threads : {1, 2, 3, 16}) {
            TRunOptions run;
            run.Threads = threads;
            // Strips of 8 rows measured one after another into one histogram.
            TClipHistogram h(t, 0.02, 0.03);
            while (h.NeedsPass()) {
                for (int64_t y = 0; y < 64; y += 8) {
                    TImageView strip = img.View;
                    strip.Data = img.View.At(0, y, 0);
                    strip.Height = 8;
                    h.Measure(strip, {}, run);
                }
                h.FinishPass();
            }
            const TBandTransform c = h.Clipped();
            if (threads == 1)
                first = c;
            for (int r = 0; r < 5; ++r)
                for (int k = 0; k <= 5; ++k)
                    ASSERT_EQ(c.Map.M[r][k], first.Map.M[r][k]) << threads;
        }
    }
}
