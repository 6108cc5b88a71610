// The lab space: known colours, exact round trips of every 8- and 16-bit level, fits that do
// not depend on pieces or threads, the target method measured back in L*a*b*, the saturation,
// transform and fit documents, and the refusals.
#include "EngineTestImages.h"
#include "stretch/TransformFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace vt {
namespace {

using test::TTestImage;

TFitOptions LabOptions(uint32_t keep = 0) {
    TFitOptions o;
    o.Space = TColourSpace::Lab;
    o.Keep = keep;
    return o;
}

// The L*a*b* value of one pixel, as the statistics of a one-pixel image see it.
std::vector<double> LabOf(TSampleType type, double r, double g, double b) {
    TTestImage img(1, 1, 3, type, 0);
    img.Set(0, 0, 0, r);
    img.Set(0, 0, 1, g);
    img.Set(0, 0, 2, b);
    const TStatistics s = MeasureLabStatistics(img.View);
    return {s.Mean(0), s.Mean(1), s.Mean(2)};
}

// A correlated image of a type, samples spread round the middle of the range.
TTestImage Correlated(int64_t w, int64_t h, TSampleType type, unsigned seed = 5) {
    TTestImage img(w, h, 3, type, 0);
    std::mt19937 random(seed);
    test::FillCorrelated(img, random);
    return img;
}

std::vector<uint8_t> Applied(const TBandTransform& t, const TTestImage& img) {
    TTestImage out(img.W, img.H, 3, img.Type, 0);
    ApplyStretch(t, img.View, out.View, nullptr);
    return out.Bytes;
}

TEST(LabSpace, KnownColoursAndExactRoundTrips) {
    // White is L* 100 with no colour; sRGB red is (53.24, 80.09, 67.20); black is 0. Every
    // type reads them alike (integer samples as fractions of their top).
    for (TSampleType type :
         {TSampleType::UInt8, TSampleType::UInt16, TSampleType::Float32, TSampleType::Float64}) {
        const double top = SampleTop(type);
        const std::vector<double> white = LabOf(type, top, top, top);
        EXPECT_NEAR(white[0], 100, 1e-9) << SampleTypeName(type);
        EXPECT_NEAR(white[1], 0, 1e-9);
        EXPECT_NEAR(white[2], 0, 1e-9);
        const std::vector<double> red = LabOf(type, top, 0, 0);
        EXPECT_NEAR(red[0], 53.24, 0.005) << SampleTypeName(type);
        EXPECT_NEAR(red[1], 80.09, 0.005);
        EXPECT_NEAR(red[2], 67.20, 0.005);
        EXPECT_EQ(LabOf(type, 0, 0, 0), std::vector<double>({0, 0, 0}));
    }
    // Through L*a*b* and back unchanged, every 8-bit and every 16-bit level in every band.
    TBandTransform identity = TBandTransform::Identity(3, TSampleType::UInt8);
    identity.Options.Space = TColourSpace::Lab;
    TTestImage bytes(256, 1, 3, TSampleType::UInt8, 1);
    for (int k = 0; k < 256; ++k) {
        bytes.Set(k, 0, 0, k);
        bytes.Set(k, 0, 1, 255 - k);
        bytes.Set(k, 0, 2, (k * 37) % 256);
    }
    TTestImage back(256, 1, 3, TSampleType::UInt8, 1);
    ApplyStretch(identity, bytes.View, back.View);
    for (int k = 0; k < 256; ++k)
        for (int b = 0; b < 3; ++b)
            ASSERT_EQ(back.Get(k, 0, b), bytes.Get(k, 0, b)) << k << " " << b;
    identity.Type = TSampleType::UInt16;
    TTestImage words(65536, 1, 3, TSampleType::UInt16, 0);
    for (int k = 0; k < 65536; ++k) {
        words.Set(k, 0, 0, k);
        words.Set(k, 0, 1, 65535 - k);
        words.Set(k, 0, 2, (k * 7919) % 65536);
    }
    EXPECT_EQ(Applied(identity, words), words.Bytes);
}

TEST(LabSpace, RefusesWhatItDoesNotTake) {
    const auto refusal = [](const std::function<void()>& f) {
        try {
            f();
        } catch (const EStretch& e) {
            return e.Message;
        }
        return std::string("(nothing refused)");
    };
    TTestImage signed16(4, 4, 3, TSampleType::Int16, 0), four(4, 4, 4, TSampleType::UInt8, 0);
    EXPECT_EQ(refusal([&] { FitStretch(signed16.View, {}, LabOptions()); }),
              "the lab space takes uint8, uint16, float32 or float64 samples, not int16");
    EXPECT_NE(refusal([&] { MeasureLabStatistics(four.View); }).find("three bands, not 4"),
              std::string::npos);
    // The affine entry points have no map to give it.
    const TStatistics s = MeasureLabStatistics(Correlated(8, 8, TSampleType::UInt8).View);
    EXPECT_NE(refusal([&] { FitAxes(s, LabOptions()); }).find("not an affine map"),
              std::string::npos);
    EXPECT_NE(refusal([&] { TStretchFit(LabOptions(), s); }).find("cannot start from statistics"),
              std::string::npos);
    // A lab transform pairs directly; its statistics are L*a*b* ones.
    TBandTransform t = TBandTransform::Identity(3, TSampleType::UInt8);
    t.Options.Space = TColourSpace::Lab;
    std::string text = WriteTransformJson(t);
    EXPECT_EQ(ReadTransformJson(text).Statistics.Type, TSampleType::Float64);
    text.replace(text.find("\"direct\""), 8, "\"plugin\"");
    EXPECT_NE(refusal([&] { ReadTransformJson(text); }).find("pairs its bands directly"),
              std::string::npos);
}

TEST(LabSpace, FitsAsOneScanWhateverThePiecesAndThreads) {
    const TTestImage img = Correlated(301, 203, TSampleType::UInt8);
    for (const TFitOptions& options : {LabOptions(), LabOptions(1)}) {
        TRunOptions one, four;
        four.Threads = 4;
        const TBandTransform a = FitStretch(img.View, {}, options, one);
        const TBandTransform b = FitStretch(img.View, {}, options, four);
        EXPECT_EQ(WriteTransformJson(a), WriteTransformJson(b));
        EXPECT_EQ(a.Statistics.Count, img.W * img.H);
        // A kept lightness passes through the map as it is.
        if (options.Keep == 1) {
            EXPECT_NEAR(a.Map.M[0][0], 1, 1e-12);
            for (int c : {1, 2, 3})
                EXPECT_NEAR(a.Map.M[0][c], 0, 1e-10);
        }
        // In three strips, the middle one measured apart, and carried through its document
        // between every two passes.
        TStretchFit fit(options, 3, img.Type);
        while (fit.NeedsPass()) {
            fit.Measure(test::Strip(img.View, 0, 70));
            TStretchFit middle = fit.Empty();
            middle.Measure(test::Strip(img.View, 70, 70));
            fit.Merge(ReadStretchFitJson(WriteStretchFitJson(middle)));
            fit.Measure(test::Strip(img.View, 140, img.H - 140));
            fit.FinishPass();
            fit = ReadStretchFitJson(WriteStretchFitJson(fit));
        }
        const TBandTransform pieces = fit.Result();
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 4; ++c)
                EXPECT_NEAR(pieces.Map.M[r][c], a.Map.M[r][c],
                            1e-9 * (1 + std::fabs(a.Map.M[r][c])));
        EXPECT_EQ(Applied(pieces, img), Applied(a, img));
    }
}

TEST(LabSpace, TargetIsMetInLabUnits) {
    // Float samples keep the outputs unrounded, so the stretched image's own L*a*b* moments
    // are the targets (the colours stay inside the gamut).
    TTestImage img(120, 80, 3, TSampleType::Float64, 0);
    std::mt19937 random(9);
    std::normal_distribution<double> g(0, 0.05);
    for (int64_t y = 0; y < img.H; ++y)
        for (int64_t x = 0; x < img.W; ++x) {
            const double common = g(random);
            for (int b = 0; b < 3; ++b)
                img.Set(x, y, b, 0.45 + 0.1 * b + common + g(random) / 2);
        }
    TFitOptions o = LabOptions();
    o.Method = TStretchMethod::Target;
    const double mean[3] = {55, 4, -6}, sigma[3] = {6, 3, 4};
    for (int b = 0; b < 3; ++b) {
        o.TargetMean[b] = mean[b];
        o.TargetSigma[b] = sigma[b];
    }
    const TBandTransform t = FitStretch(img.View, {}, o);
    TTestImage out(img.W, img.H, 3, img.Type, 0);
    ApplyStretch(t, img.View, out.View);
    const TStatistics rgb = MeasureStatistics(out.View); // nothing clamped
    for (int b = 0; b < 3; ++b)
        ASSERT_TRUE(rgb.Lowest[b] > 0 && rgb.Highest[b] < 1) << b;
    const TStatistics s = MeasureLabStatistics(out.View);
    const double n = static_cast<double>(s.Count);
    for (int b = 0; b < 3; ++b) {
        EXPECT_NEAR(s.Mean(b), mean[b], 1e-9) << b;
        EXPECT_NEAR(std::sqrt(s.Covariance(b, b) * n / (n - 1)), sigma[b], 1e-9) << b;
        for (int c = 0; c < b; ++c)
            EXPECT_NEAR(s.Correlation(b, c), 0, 1e-9);
    }
}

TEST(LabSpace, SaturationNoDataAndTransformFiles) {
    TTestImage img = Correlated(200, 150, TSampleType::UInt8, 11);
    // A no-data corner takes no part and stays as it was.
    for (int64_t y = 0; y < 10; ++y)
        for (int64_t x = 0; x < 10; ++x)
            for (int b = 0; b < 3; ++b)
                img.Set(x, y, b, 7);
    TSelection nodata;
    nodata.HasNoData = true;
    nodata.NoData = 7;
    TFitOptions o = LabOptions(1);
    o.Clip = true;
    o.ClipLow = o.ClipHigh = 0.02;
    const TBandTransform t = FitStretch(img.View, nodata, o);
    EXPECT_EQ(t.Statistics.Count, img.W * img.H - 100);
    const TSelection marks = NoDataOf(t);
    TTestImage out(img.W, img.H, 3, img.Type, 0);
    ApplyStretch(t, img.View, out.View, &marks);
    // More than 2 % of the counted pixels at each end of every band.
    for (int b = 0; b < 3; ++b) {
        int64_t low = 0, high = 0;
        for (int64_t y = 0; y < img.H; ++y)
            for (int64_t x = 0; x < img.W; ++x) {
                if (x < 10 && y < 10) {
                    EXPECT_EQ(out.Get(x, y, b), 7);
                    continue;
                }
                low += out.Get(x, y, b) == 0;
                high += out.Get(x, y, b) == 255;
            }
        EXPECT_GT(low, 0.02 * static_cast<double>(t.Statistics.Count)) << b;
        EXPECT_GT(high, 0.02 * static_cast<double>(t.Statistics.Count)) << b;
    }
    // The file holds every part of it, and applies to the same bytes.
    const TBandTransform read = ReadTransformJson(WriteTransformJson(t));
    EXPECT_EQ(WriteTransformJson(read), WriteTransformJson(t));
    EXPECT_EQ(read.Options.Space, TColourSpace::Lab);
    for (int b = 0; b < 3; ++b) {
        EXPECT_EQ(read.LabGain[b], t.LabGain[b]);
        EXPECT_EQ(read.LabLift[b], t.LabLift[b]);
    }
    TTestImage again(img.W, img.H, 3, img.Type, 0);
    const TSelection readMarks = NoDataOf(read);
    ApplyStretch(read, img.View, again.View, &readMarks);
    EXPECT_EQ(again.Bytes, out.Bytes);
}

} // namespace
} // namespace vt
