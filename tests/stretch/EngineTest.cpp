// The stretch engine on every layout, band count and sample type, judged by brute-force sums,
// literal extended-precision application written here, the plug-in's own stretch, and the
// properties a fitted stretch must have.
#include "EngineTestImages.h"
#include "StretchReference.h"
#include "StretchTestImages.h"
#include "stretch/KernelDispatch.h"
#include "stretch/StretchEngine.h"
#include "stretch/StretchTransform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

using namespace vt;
using namespace vt::test;

namespace {

// The literal application: sums in long double in working order, then rounded as the type
// demands.
double Literal(const TBandTransform& t, const TTestImage& img, int64_t x, int64_t y, int band,
               TSampleType out) {
    int r = 0;
    while (t.Order[r] != band)
        ++r;
    long double sum = 0;
    for (int j = 0; j < t.Bands; ++j)
        sum = (j == 0 ? 0 : sum) +
              static_cast<long double>(img.Get(x, y, t.Order[j])) * t.Map.M[r][j];
    sum += t.Map.M[r][t.Bands];
    if (out == TSampleType::Float32)
        return static_cast<float>(sum);
    const long double top = SampleTop(out);
    const long double rounded = std::nearbyint(sum); // halves to even
    return static_cast<double>(rounded < 0 ? 0 : rounded > top ? top : rounded);
}

const TSampleType Types[] = {TSampleType::UInt8, TSampleType::UInt16, TSampleType::Float32};

} // namespace

TEST(Engine, StatisticsAreTheSumsOfTheSelectedPixels) {
    std::mt19937 random(11);
    for (TSampleType type : Types)
        for (int layout = 0; layout < 5; ++layout) {
            TTestImage img(23, 17, 5, type, layout);
            FillCorrelated(img, random);
            std::vector<uint8_t> mask(23 * 17);
            for (uint8_t& m : mask)
                m = random() % 3 != 0;
            const TImageView maskView =
                TImageView::Interleaved(mask.data(), 23, 17, 1, TSampleType::UInt8);
            // A few pixels marked as no-data.
            for (int i = 0; i < 6; ++i)
                for (int b = 0; b < 5; ++b)
                    img.Set(i * 3, i, b, type == TSampleType::Float32 ? 0.25 : 7);
            TSelection s;
            s.X = 2, s.Y = 1, s.Width = 19, s.Height = 15, s.Every = 2;
            s.Mask = &maskView;
            s.HasNoData = true;
            s.NoData = type == TSampleType::Float32 ? 0.25 : 7;
            const TStatistics st = MeasureStatistics(img.View, s);

            int64_t count = 0;
            long double sum[5] = {}, product[5][5] = {}, magnitude[5][5] = {};
            for (int64_t y = 1; y < 16; y += 2)
                for (int64_t x = 2; x < 21; x += 2) {
                    if (mask[static_cast<size_t>(y * 23 + x)] == 0)
                        continue;
                    bool all = true;
                    for (int b = 0; b < 5; ++b)
                        all = all && img.Get(x, y, b) == s.NoData;
                    if (all)
                        continue;
                    ++count;
                    for (int a = 0; a < 5; ++a) {
                        sum[a] += img.Get(x, y, a);
                        for (int b = 0; b < 5; ++b) {
                            product[a][b] +=
                                static_cast<long double>(img.Get(x, y, a)) * img.Get(x, y, b);
                            magnitude[a][b] += std::fabs(
                                static_cast<long double>(img.Get(x, y, a)) * img.Get(x, y, b));
                        }
                    }
                }
            SCOPED_TRACE(std::string(SampleTypeName(type)) + " layout " + std::to_string(layout));
            ASSERT_EQ(st.Count, count);
            // Integer sums are exact; float sums lie within a few dozen roundings of the sum of
            // the terms' magnitudes (partial sums of at most 32 terms, compensated beyond).
            for (int a = 0; a < 5; ++a) {
                if (type != TSampleType::Float32)
                    EXPECT_EQ(st.SumOf(a), sum[a]);
                else
                    EXPECT_LE(std::fabs(static_cast<long double>(st.SumOf(a)) - sum[a]),
                              40 * 0x1p-53L * std::fabs(sum[a]));
                for (int b = 0; b < 5; ++b)
                    if (type != TSampleType::Float32)
                        EXPECT_EQ(st.ProductOf(a, b), product[a][b]) << a << "," << b;
                    else
                        EXPECT_LE(
                            std::fabs(static_cast<long double>(st.ProductOf(a, b)) - product[a][b]),
                            40 * 0x1p-53L * magnitude[a][b])
                            << a << "," << b;
            }
        }
}

TEST(Engine, SixteenBitSumsStayExactBeyondSixtyFourBits) {
    // 2^16 pixels of 65535 in both bands, pooled 2^17 times: 2^33 pixels whose product sum is
    // 2^33 x 65535^2 = 36892362256102195200, past 2^64.
    std::vector<uint16_t> pixels(size_t{1} << 17, 65535);
    const TImageView v = TImageView::Interleaved(pixels.data(), 1 << 16, 1, 2, TSampleType::UInt16);
    const TStatistics one = MeasureStatistics(v);
    TStatistics pooled(2, TSampleType::UInt16);
    for (int i = 0; i < (1 << 17); ++i)
        pooled.Add(one);
    EXPECT_EQ(pooled.Product[0][1].High, 1u);
    EXPECT_EQ(pooled.Product[0][1].Low, 0xfffc000200000000u);
    EXPECT_EQ(pooled.Product[0][1].ToString(), "36892362256102195200");
    EXPECT_EQ(TWideSum::Parse("36892362256102195200"), pooled.Product[0][1]);
    EXPECT_EQ(pooled.Count, int64_t{1} << 33);
}

TEST(Engine, ApplicationIsTheLiteralSumInEveryLayoutAndType) {
    std::mt19937 random(5);
    std::uniform_real_distribution<double> w(-1.5, 1.5);
    for (TSampleType type : Types)
        for (int n : {1, 2, 4, 7})
            for (int layout = 0; layout < 5; ++layout) {
                TTestImage img(19, 9, n, type, layout);
                FillCorrelated(img, random);
                TBandTransform t = TBandTransform::Identity(n, type);
                for (int r = 0; r < n; ++r) {
                    for (int c = 0; c < n; ++c)
                        t.Map.M[r][c] = w(random);
                    t.Map.M[r][n] = w(random) * SampleTop(type) / 3;
                }
                std::shuffle(t.Order.begin(), t.Order.end(), random);
                for (TSampleType outType : Types) {
                    TTestImage out(19, 9, n, outType, (layout + 1) % 5);
                    ApplyStretch(t, img.View, out.View);
                    for (int64_t y = 0; y < 9; ++y)
                        for (int64_t x = 0; x < 19; ++x)
                            for (int b = 0; b < n; ++b)
                                ASSERT_EQ(out.Get(x, y, b), Literal(t, img, x, y, b, outType))
                                    << SampleTypeName(type) << " to " << SampleTypeName(outType)
                                    << ", " << n << " bands, layout " << layout;
                }
                // In place gives the same as into another image.
                TTestImage copy = img;
                copy.View.Data =
                    copy.Bytes.data() + (static_cast<uint8_t*>(img.View.Data) - img.Bytes.data());
                TTestImage other(19, 9, n, type, layout);
                ApplyStretch(t, img.View, other.View);
                ApplyStretch(t, copy.View, copy.View);
                for (int64_t y = 0; y < 9; ++y)
                    for (int64_t x = 0; x < 19; ++x)
                        for (int b = 0; b < n; ++b)
                            ASSERT_EQ(copy.Get(x, y, b), other.Get(x, y, b));
            }
}

TEST(Engine, NoDataPixelsAreLeftAsTheyAre) {
    TTestImage img(4, 1, 2, TSampleType::UInt16, 0);
    const double values[4][2] = {{0, 0}, {0, 5}, {100, 0}, {0, 0}};
    for (int x = 0; x < 4; ++x)
        for (int b = 0; b < 2; ++b)
            img.Set(x, 0, b, values[x][b]);
    TBandTransform t = TBandTransform::Identity(2, TSampleType::UInt16);
    t.Map.M[0][2] = t.Map.M[1][2] = 10;
    TSelection marks;
    marks.HasNoData = true;
    ApplyStretch(t, img.View, img.View, &marks);
    EXPECT_EQ(img.Get(0, 0, 0), 0);
    EXPECT_EQ(img.Get(0, 0, 1), 0);
    EXPECT_EQ(img.Get(1, 0, 0), 10);
    EXPECT_EQ(img.Get(1, 0, 1), 15);
    EXPECT_EQ(img.Get(2, 0, 0), 110);
    EXPECT_EQ(img.Get(3, 0, 1), 0);
}

TEST(Engine, ThreeBytePixelsGiveThePluginsStretch) {
    // The engine's defaults on 8-bit three-band images are the plug-in's stretch, byte for byte,
    // with packed and padded rows.
    std::mt19937 random(3);
    for (int pad : {0, 5})
        for (TStretchMethod method : {TStretchMethod::Offset, TStretchMethod::ScaleOnly}) {
            TTestImage img(41, 13, 3, TSampleType::UInt8, pad == 0 ? 0 : 1);
            FillCorrelated(img, random);
            TLinearBitmap bitmap;
            bitmap.New(41, 13, pf24bit);
            for (int64_t y = 0; y < 13; ++y)
                std::memcpy(bitmap.ScanLine(static_cast<int32_t>(y)), img.View.At(0, y, 0), 41 * 3);
            TAffineTransform t;
            reference::StretchTransform(bitmap, method == TStretchMethod::Offset, t);
            reference::TransformBitmap(bitmap, t, nullptr);

            TFitOptions options;
            options.Method = method;
            const TBandTransform fitted = FitStretch(img.View, {}, options);
            ApplyStretch(fitted, img.View, img.View);
            for (int64_t y = 0; y < 13; ++y)
                ASSERT_EQ(0, std::memcmp(bitmap.ScanLine(static_cast<int32_t>(y)),
                                         img.View.At(0, y, 0), 41 * 3));
        }
}

TEST(Engine, OffsetSpansTheTypesRangeOnTheSelectedPixels) {
    // Through the stretch and back onto the axes, the selected pixels span 0..top on every
    // component; pixels outside the selection may fall beyond.
    std::mt19937 random(8);
    for (TSampleType type : Types)
        for (int n : {2, 3, 6})
            for (TStretchBasis basis : {TStretchBasis::Correlation, TStretchBasis::Covariance}) {
                TTestImage img(30, 20, n, type, 0);
                FillCorrelated(img, random);
                TSelection s;
                s.X = 5, s.Y = 4, s.Width = 12, s.Height = 9;
                TFitOptions options;
                options.Basis = basis;
                const TStatistics measured = MeasureStatistics(img.View, s);
                const TPrincipalAxes axes = FitAxes(measured, options);
                const TBandTransform t =
                    BuildStretch(axes, MeasureComponentRanges(img.View, s, axes));
                // The plug-in pairing of three bands numbers them last to first.
                const bool reversed = ReadsBandsReversed(axes.Options.Pairing, n);
                const TStatistics st = reversed ? ReversedStatistics(measured) : measured;
                const auto band = [&](int b) { return reversed ? n - 1 - b : b; };
                const double top = SampleTop(type);
                for (int k = 0; k < n; ++k) {
                    double low = 1e300, high = -1e300;
                    for (int64_t y = 4; y < 13; ++y)
                        for (int64_t x = 5; x < 17; ++x) {
                            double out[KernelBands];
                            for (int r = 0; r < n; ++r) {
                                out[t.Order[r]] = t.Map.M[r][n];
                                for (int j = 0; j < n; ++j)
                                    out[t.Order[r]] +=
                                        t.Map.M[r][j] * img.Get(x, y, band(t.Order[j]));
                            }
                            double c = axes.Map.M[k][n];
                            for (int j = 0; j < n; ++j)
                                c += axes.Map.M[k][j] * out[axes.Order[j]];
                            low = std::min(low, c);
                            high = std::max(high, c);
                        }
                    EXPECT_NEAR(low, 0, 1e-9 * top) << SampleTypeName(type) << " " << n << " bands";
                    EXPECT_NEAR(high, top, 1e-9 * top)
                        << SampleTypeName(type) << " " << n << " bands";
                }
                // The axes are eigenvectors of the basis matrix.
                for (int k = 0; k < n; ++k) {
                    double norm = 0;
                    for (int j = 0; j < n; ++j)
                        norm += std::fabs(axes.Map.M[k][j]);
                    for (int i = 0; i < n; ++i) {
                        double rv = 0;
                        for (int j = 0; j < n; ++j) {
                            const double m = basis == TStretchBasis::Correlation
                                                 ? (i == j ? 1 : st.Correlation(i, j))
                                                 : st.Covariance(i, j);
                            rv += m * axes.Map.M[k][j];
                        }
                        double lambda = 0, vv = 0;
                        for (int a = 0; a < n; ++a)
                            for (int b = 0; b < n; ++b) {
                                const double m = basis == TStretchBasis::Correlation
                                                     ? (a == b ? 1 : st.Correlation(a, b))
                                                     : st.Covariance(a, b);
                                lambda += axes.Map.M[k][a] * m * axes.Map.M[k][b];
                            }
                        for (int a = 0; a < n; ++a)
                            vv += axes.Map.M[k][a] * axes.Map.M[k][a];
                        EXPECT_NEAR(rv, lambda / vv * axes.Map.M[k][i],
                                    1e-9 * (1 + std::fabs(lambda)) * norm);
                    }
                }
            }
}

TEST(Engine, ResultsDoNotDependOnTheThreads) {
    std::mt19937 random(21);
    for (TSampleType type : Types) {
        TTestImage img(300, 257, 4, type, 1);
        FillCorrelated(img, random);
        std::vector<uint8_t> first;
        for (int threads : {1, 2, 3, 16}) {
            TRunOptions run;
            run.Threads = threads;
            const TBandTransform t = FitStretch(img.View, {}, {}, run);
            TTestImage out(300, 257, 4, type, 0);
            ApplyStretch(t, img.View, out.View, nullptr, run);
            if (first.empty())
                first = out.Bytes;
            EXPECT_EQ(out.Bytes, first) << SampleTypeName(type) << ", " << threads << " threads";
        }
    }
}

TEST(Engine, RefusalsNameTheProblem) {
    std::vector<uint8_t> bytes(64);
    const TImageView v = TImageView::Interleaved(bytes.data(), 4, 4, 3, TSampleType::UInt8);
    auto message = [](const auto& call) {
        try {
            call();
        } catch (const EStretch& e) {
            return std::string(e.what());
        }
        return std::string("(nothing raised)");
    };
    TSelection outside;
    outside.X = 2, outside.Width = 3;
    EXPECT_NE(message([&] { MeasureStatistics(v, outside); }).find("does not lie within"),
              std::string::npos);
    const TImageView otherMask = TImageView::Interleaved(bytes.data(), 3, 4, 1, TSampleType::UInt8);
    TSelection masked;
    masked.Mask = &otherMask;
    EXPECT_NE(message([&] { MeasureStatistics(v, masked); }).find("mask"), std::string::npos);
    TSelection badNoData;
    badNoData.HasNoData = true;
    badNoData.NoData = 256;
    EXPECT_NE(message([&] { MeasureStatistics(v, badNoData); }).find("nodata"), std::string::npos);
    TSelection zeroStep;
    zeroStep.Every = 0;
    EXPECT_NE(message([&] { MeasureStatistics(v, zeroStep); }).find("every"), std::string::npos);
    TImageView many = v;
    many.Bands = MaxBands + 1;
    EXPECT_NE(message([&] { MeasureStatistics(many); }).find("1025"), std::string::npos);
    const TBandTransform four = TBandTransform::Identity(4, TSampleType::UInt8);
    EXPECT_NE(message([&] { ApplyStretch(four, v, v); }).find("4 bands"), std::string::npos);
    TStatistics a(3, TSampleType::UInt8), b(3, TSampleType::UInt16);
    EXPECT_NE(message([&] { a.Add(b); }).find("cannot pool"), std::string::npos);
}

TEST(Engine, SumsOnAndNearHalvesAreSettledByTheExtendedSum) {
    // Dyadic weights put many sums exactly on halves (to even); the same weights moved by a
    // few units in their last place put sums within far less than a double sum's error of a
    // half, where only the extended sum decides. The bytes must be the extended arithmetic's.
    std::mt19937 random(17);
    int64_t compared = 0;
    for (TSampleType type : Types)
        for (int ulps : {0, 1, -1, 3, -4}) {
            TTestImage img(256, 8, 3, type, 0);
            FillCorrelated(img, random);
            TBandTransform t = TBandTransform::Identity(3, type);
            for (int r = 0; r < 3; ++r) {
                for (int c = 0; c < 3; ++c) {
                    double w = r == c ? 0.5 : (c == 0 ? -0.25 : 0.75);
                    for (int k = 0; k < std::abs(ulps); ++k)
                        w = std::nextafter(w, ulps > 0 ? 2.0 : -2.0);
                    t.Map.M[r][c] = w;
                }
                t.Map.M[r][3] = type == TSampleType::Float32 ? 0.125 : 100.5;
            }
            for (TSampleType outType : Types) {
                TTestImage out(256, 8, 3, outType, 0);
                ApplyStretch(t, img.View, out.View);
                for (int64_t y = 0; y < 8; ++y)
                    for (int64_t x = 0; x < 256; ++x)
                        for (int b = 0; b < 3; ++b, ++compared)
                            ASSERT_EQ(out.Get(x, y, b), Literal(t, img, x, y, b, outType))
                                << SampleTypeName(type) << " to " << SampleTypeName(outType) << ", "
                                << ulps << " units off";
            }
        }
    EXPECT_GT(compared, 100000);
}

TEST(Engine, EveryKernelWidthGivesTheSameStatisticsAndBytes) {
    // The AVX-512, AVX2 and portable kernels sum float lanes in one order, so even compensated
    // float sums agree to the bit; images with infinite and not-a-number samples (the
    // statistics leave both out), block tails and every band count up to 16 included.
    std::mt19937 random(29);
    const detail::TKernelChoice choices[] = {
        detail::TKernelChoice::Best, detail::TKernelChoice::Avx2, detail::TKernelChoice::Portable};
    for (TSampleType type : Types)
        for (int n : {1, 3, 5, 8, 15, 16})
            for (int layout : {0, 2}) {
                TTestImage img(203, 7, n, type, layout);
                FillCorrelated(img, random);
                if (type == TSampleType::Float32) {
                    img.Set(17, 2, 0, std::nan(""));
                    img.Set(1, 5, n - 1, std::numeric_limits<double>::infinity()); // unselected
                }
                TSelection some;
                some.X = 3, some.Width = 190, some.Every = layout == 2 ? 2 : 1;
                std::vector<uint8_t> first;
                TStatistics firstStatistics;
                for (detail::TKernelChoice choice : choices) {
                    detail::SetKernelChoice(choice);
                    const TStatistics st = MeasureStatistics(img.View, some);
                    const TBandTransform t = FitStretch(img.View, some);
                    TTestImage out(203, 7, n, type, 0);
                    ApplyStretch(t, img.View, out.View);
                    detail::SetKernelChoice(detail::TKernelChoice::Best);
                    if (first.empty()) {
                        first = out.Bytes;
                        firstStatistics = st;
                        continue;
                    }
                    // Bit for bit.
                    EXPECT_EQ(0, std::memcmp(st.RealSum.data(), firstStatistics.RealSum.data(),
                                             st.RealSum.size() * sizeof st.RealSum[0]));
                    ASSERT_EQ(st.RealProduct.Rows(), firstStatistics.RealProduct.Rows());
                    if (IsFloatSample(type)) {
                        EXPECT_EQ(0, std::memcmp(
                                         st.RealProduct.Data(), firstStatistics.RealProduct.Data(),
                                         static_cast<size_t>(n * n) * sizeof(TCompensatedSum)));
                    }
                    EXPECT_TRUE(st == firstStatistics) << SampleTypeName(type) << " " << n;
                    EXPECT_EQ(out.Bytes, first) << SampleTypeName(type) << " " << n << " bands";
                }
            }
}

TEST(Engine, TargetMethodKeepsOrSetsMeansAndDeviationsAndDecorrelates) {
    std::mt19937 random(31);
    for (TSampleType type : {TSampleType::UInt16, TSampleType::Float32})
        for (int n : {3, 6})
            for (TStretchBasis basis : {TStretchBasis::Correlation, TStretchBasis::Covariance})
                for (bool given : {false, true}) {
                    TTestImage img(64, 48, n, type, 0);
                    FillCorrelated(img, random);
                    TFitOptions options;
                    options.Method = TStretchMethod::Target;
                    options.Basis = basis;
                    const double top = SampleTop(type);
                    if (given)
                        for (int b = 0; b < n; ++b) {
                            options.TargetMean[b] = top * (0.3 + 0.05 * b);
                            options.TargetSigma[b] = top * (0.05 + 0.01 * b);
                        }
                    const TBandTransform t = FitStretch(img.View, {}, options);
                    TTestImage out(64, 48, n, TSampleType::Float32, 0);
                    ApplyStretch(t, img.View, out.View);
                    const TMoments before = MomentsOf(img), after = MomentsOf(out);
                    for (int a = 0; a < n; ++a) {
                        const long double mean = given ? options.TargetMean[a] : before.Mean[a];
                        const long double sigma = given ? options.TargetSigma[a] : before.Sigma[a];
                        EXPECT_NEAR(static_cast<double>(after.Mean[a]), static_cast<double>(mean),
                                    1e-5 * top);
                        EXPECT_NEAR(static_cast<double>(after.Sigma[a]), static_cast<double>(sigma),
                                    1e-5 * top);
                        for (int b = 0; b < n; ++b) {
                            if (a != b) {
                                EXPECT_NEAR(static_cast<double>(after.Corr[a][b]), 0, 1e-6);
                            }
                        }
                    }
                }
}

TEST(Engine, TargetMethodPassesBandsAndComponentsWithoutVarianceUnstretched) {
    // Band 1 constant, band 2 a copy of band 0: a zero variance and a zero eigenvalue.
    std::mt19937 random(37);
    for (TStretchBasis basis : {TStretchBasis::Correlation, TStretchBasis::Covariance}) {
        TTestImage img(40, 30, 3, TSampleType::UInt16, 0);
        for (int64_t y = 0; y < 30; ++y)
            for (int64_t x = 0; x < 40; ++x) {
                const double v = static_cast<double>(random() % 60000);
                img.Set(x, y, 0, v);
                img.Set(x, y, 1, 1234);
                img.Set(x, y, 2, v);
            }
        TFitOptions options;
        options.Method = TStretchMethod::Target;
        options.Basis = basis;
        const TBandTransform t = FitStretch(img.View, {}, options);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c <= 3; ++c)
                ASSERT_TRUE(std::isfinite(t.Map.M[r][c])) << r << "," << c;
        TTestImage out(40, 30, 3, TSampleType::Float32, 0);
        ApplyStretch(t, img.View, out.View);
        const TMoments after = MomentsOf(out);
        EXPECT_NEAR(static_cast<double>(after.Mean[1]), 1234, 1e-6);
        EXPECT_NEAR(static_cast<double>(after.Sigma[1]), 0, 1e-6);
        for (int64_t x = 0; x < 40; ++x)
            ASSERT_TRUE(std::isfinite(out.Get(x, 7, 0)) && std::isfinite(out.Get(x, 7, 2)));
    }
}
