// The saturation counted in pieces: strips of an image measured into empty copies, some sent
// through their JSON documents, merged, must give the stretch that one pass over the whole
// image gives.
#include "EngineTestImages.h"
#include "stretch/TransformFile.h"

#include <gtest/gtest.h>

#include <random>

using namespace vt;
using namespace vt::test;

namespace {

void ExpectSameMap(const TBandTransform& a, const TBandTransform& b) {
    ASSERT_EQ(a.Bands, b.Bands);
    for (int out = 0; out < a.Bands; ++out) {
        for (int in = 0; in < a.Bands; ++in)
            EXPECT_EQ(a.Weight(out, in), b.Weight(out, in)) << out << "," << in;
        EXPECT_EQ(a.Constant(out), b.Constant(out)) << out;
    }
}

} // namespace

TEST(ClipPieces, StripsMergedEqualTheWholeImage) {
    std::mt19937 random(5);
    for (const TSampleType type : {TSampleType::UInt8, TSampleType::UInt16, TSampleType::Float32})
        for (const int n : {1, 3, 5}) {
            SCOPED_TRACE(std::string(SampleTypeName(type)) + " bands " + std::to_string(n));
            TTestImage img(37, 29, n, type, 1);
            FillCorrelated(img, random);
            TSelection sel;
            sel.HasNoData = true;
            sel.NoData = img.Get(3, 4, 0);
            TFitOptions o;
            o.Pairing = TBandPairing::Direct;
            const TBandTransform t = FitStretch(img.View, sel, o);
            const TBandTransform whole = ClipStretch(t, img.View, sel, 0.03, 0.05);

            TClipHistogram h(t, 0.03, 0.05);
            int passes = 0;
            while (h.NeedsPass()) {
                // Strips of 10, 1 and 18 rows, the middle one sent as a document.
                const int64_t cuts[4] = {0, 10, 11, 29};
                for (int k = 0; k < 3; ++k) {
                    TClipHistogram piece = h.Empty();
                    piece.Measure(Strip(img.View, cuts[k], cuts[k + 1] - cuts[k]), sel);
                    if (k == 1)
                        piece = ReadClipHistogramJson(WriteClipHistogramJson(piece));
                    h.Merge(piece);
                }
                // The histogram itself between its passes travels too.
                h = ReadClipHistogramJson(WriteClipHistogramJson(h));
                h.FinishPass();
                ++passes;
            }
            EXPECT_EQ(passes, type == TSampleType::Float32 ? 2 : 1);
            ExpectSameMap(h.Clipped(), whole);
        }
}

TEST(ClipPieces, MergeRefusesOtherHistograms) {
    std::mt19937 random(6);
    TTestImage img(16, 16, 3, TSampleType::Float32, 0);
    FillCorrelated(img, random);
    const TBandTransform t = FitStretch(img.View);
    TClipHistogram h(t, 0.01, 0.01);
    EXPECT_THROW(h.Merge(TClipHistogram(t, 0.02, 0.01)), EStretch);
    TBandTransform other = t;
    other.Map.M[0][0] += 1;
    EXPECT_THROW(h.Merge(TClipHistogram(other, 0.01, 0.01)), EStretch);
    TClipHistogram later = h.Empty();
    later.Measure(img.View);
    later.FinishPass();
    EXPECT_THROW(h.Merge(later), EStretch); // a float's second pass against its first
    EXPECT_THROW(ReadClipHistogramJson(WriteTransformJson(t)), EStretch);
    EXPECT_THROW(ReadClipHistogramJson("{\"format\": \"veltrane-clip-histogram\""), EStretch);
}
