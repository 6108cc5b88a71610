// The fit driver: a series measured in strips, in pieces merged in any grouping, or carried
// through its document between passes must give the transform that the separate steps give
// the whole image; each call's threads are its own, and its progress callback can stop it.
#include "EngineTestImages.h"
#include "stretch/TransformFile.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

using namespace vt;
using namespace vt::test;

namespace {

// The fit by the engine's separate steps over the whole image.
TBandTransform ByTheSteps(const TImageView& image, const TFitOptions& o) {
    const TStatistics s = MeasureStatistics(image);
    TBandTransform t;
    if (o.Method == TStretchMethod::Target) {
        t = FitTarget(s, o);
    } else {
        const TPrincipalAxes a = FitAxes(s, o);
        t = BuildStretch(a, MeasureComponentRanges(image, {}, a));
    }
    return o.Clip ? ClipStretch(t, image, {}, o.ClipLow, o.ClipHigh) : t;
}

std::vector<TFitOptions> OptionSets() {
    std::vector<TFitOptions> sets(4);
    sets[1].Method = TStretchMethod::ScaleOnly;
    sets[2].Method = TStretchMethod::Target;
    sets[2].TargetSigma[0] = 20;
    sets[3].Clip = true;
    sets[3].ClipLow = 0.02;
    sets[3].ClipHigh = 0.01;
    return sets;
}

} // namespace

TEST(FitDriver, StripsPiecesAndDocumentsGiveTheStepsResult) {
    std::mt19937 random(31);
    for (const TSampleType type : {TSampleType::UInt8, TSampleType::UInt16})
        for (const int n : {3, 5})
            for (const TFitOptions& o : OptionSets()) {
                SCOPED_TRACE(std::string(SampleTypeName(type)) + " bands " + std::to_string(n) +
                             " method " + std::to_string(static_cast<int>(o.Method)));
                TTestImage img(41, 30, n, type, 0);
                FillCorrelated(img, random);
                const std::string want = WriteTransformJson(ByTheSteps(img.View, o));
                EXPECT_EQ(WriteTransformJson(FitStretch(img.View, {}, o)), want);

                // Strips of 7 rows, each pass measured into the fit itself.
                TStretchFit strips(o, n, type);
                while (strips.NeedsPass()) {
                    for (int64_t y = 0; y < img.H; y += 7)
                        strips.Measure(Strip(img.View, y, std::min<int64_t>(7, img.H - y)));
                    strips.FinishPass();
                }
                EXPECT_EQ(WriteTransformJson(strips.Result()), want);

                // Pieces measured apart, two of them grouped before merging, and the fit
                // carried through its document after every pass.
                TStretchFit pieces(o, n, type);
                while (pieces.NeedsPass()) {
                    TStretchFit a = pieces.Empty(), b = pieces.Empty(), c = pieces.Empty();
                    a.Measure(Strip(img.View, 0, 10));
                    b.Measure(Strip(img.View, 10, 12));
                    c.Measure(Strip(img.View, 22, 8));
                    TStretchFit bc = ReadStretchFitJson(WriteStretchFitJson(b.Empty()));
                    bc.Merge(b);
                    bc.Merge(ReadStretchFitJson(WriteStretchFitJson(c)));
                    pieces.Merge(a);
                    pieces.Merge(bc);
                    pieces.FinishPass();
                    pieces = ReadStretchFitJson(WriteStretchFitJson(pieces));
                }
                EXPECT_EQ(WriteTransformJson(pieces.Result()), want);
            }
}

TEST(FitDriver, RefusesWhatDoesNotFit) {
    TTestImage img(8, 8, 3, TSampleType::UInt8, 0);
    TStretchFit fit({}, 3, TSampleType::UInt8);
    TTestImage other(8, 8, 4, TSampleType::UInt8, 0);
    EXPECT_THROW(fit.Measure(other.View), EStretch);
    EXPECT_THROW(fit.Result(), EStretch);
    TSelection none;
    none.Width = 0;
    fit.Measure(img.View, none);
    try {
        fit.FinishPass();
        FAIL() << "an empty selection fitted";
    } catch (const EStretch& e) {
        EXPECT_EQ(e.Message, "no pixels selected (sample 0,0,0,-1)");
    }
    EXPECT_THROW(ReadStretchFitJson("{\"format\": \"veltrane-fit\", \"version\": 1}"), EStretch);
    EXPECT_THROW(TStretchFit({}, MaxBands + 1, TSampleType::UInt8), EStretch);
}

TEST(FitDriver, ProgressRisesToOneAndCancelStops) {
    std::mt19937 random(8);
    TTestImage img(300, 200, 3, TSampleType::UInt16, 0);
    FillCorrelated(img, random);
    TFitOptions o;
    o.Clip = true;
    o.ClipLow = o.ClipHigh = 0.01;
    std::vector<double> heard;
    TRunOptions run;
    run.Threads = 3;
    run.Progress = [&](double done) {
        heard.push_back(done);
        return true;
    };
    const TBandTransform t = FitStretch(img.View, {}, o, run);
    ASSERT_FALSE(heard.empty());
    EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end()));
    EXPECT_DOUBLE_EQ(heard.back(), 1.0);
    EXPECT_EQ(WriteTransformJson(t), WriteTransformJson(FitStretch(img.View, {}, o)));

    // Stopped once a third of the way: the call raises and nothing is returned.
    run.Progress = [](double done) { return done < 1.0 / 3; };
    EXPECT_THROW(FitStretch(img.View, {}, o, run), ECancelled);
    // What the callback throws comes out of the call.
    run.Progress = [](double) -> bool { throw EStretch("stop here"); };
    EXPECT_THROW(MeasureStatistics(img.View, {}, run), EStretch);
    // An application hears its progress too.
    TTestImage out(300, 200, 3, TSampleType::UInt16, 0);
    run.Progress = [](double) { return false; };
    EXPECT_THROW(ApplyStretch(t, img.View, out.View, nullptr, run), ECancelled);
}

TEST(FitDriver, ConcurrentCallsKeepTheirOwnThreads) {
    // Two threads fitting at once with different thread counts (a process-wide setting would
    // let one change the other's cut); the results never depend on the cut.
    std::mt19937 random(12);
    TTestImage img(512, 300, 4, TSampleType::Float32, 0);
    FillCorrelated(img, random);
    const std::string want = WriteTransformJson(FitStretch(img.View));
    std::string got[2];
    std::thread helper([&] {
        TRunOptions run;
        run.Threads = 4;
        got[1] = WriteTransformJson(FitStretch(img.View, {}, {}, run));
    });
    TRunOptions run;
    run.Threads = 0;
    got[0] = WriteTransformJson(FitStretch(img.View, {}, {}, run));
    helper.join();
    EXPECT_EQ(got[0], want);
    EXPECT_EQ(got[1], want);
}
