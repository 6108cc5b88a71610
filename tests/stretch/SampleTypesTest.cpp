// The engine's samples beyond the plug-in's three types (int8, int16, int32, uint32, float64):
// statistics against long-double sums written here, exact 128-bit sums at the 32-bit extremes,
// the offset stretch onto each type's whole range, rounding and clamping to signed ranges,
// transform files of the new names, and saturation limits that are exact order statistics.
#include "EngineTestImages.h"
#include "streams/Json.h"
#include "stretch/EnginePrivate.h"
#include "stretch/KernelDispatch.h"
#include "stretch/StretchEngine.h"
#include "stretch/TransformFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

using namespace vt;
using namespace vt::test;

namespace {

// A type with its range as the C++ types state it (floats: 0..1).
struct TKind {
    TSampleType Type;
    long double Bottom, Top;
    bool Float;
};

template <class T> TKind KindOf(TSampleType type) {
    return {type, static_cast<long double>(std::numeric_limits<T>::lowest()),
            static_cast<long double>(std::numeric_limits<T>::max()), false};
}

const TKind Kinds[] = {KindOf<int8_t>(TSampleType::Int8),     KindOf<int16_t>(TSampleType::Int16),
                       KindOf<int32_t>(TSampleType::Int32),   KindOf<uint32_t>(TSampleType::UInt32),
                       {TSampleType::Float64, 0, 1, true},    KindOf<uint8_t>(TSampleType::UInt8),
                       KindOf<uint16_t>(TSampleType::UInt16), {TSampleType::Float32, 0, 1, true}};
const auto NewKinds = std::vector<TKind>(Kinds, Kinds + 5);

const TKind& Kind(TSampleType type) {
    return *std::find_if(std::begin(Kinds), std::end(Kinds),
                         [&](const TKind& k) { return k.Type == type; });
}

// Correlated samples over most of the type's range (floats: 0..1, with bits down to the last).
void FillSpread(TTestImage& img, std::mt19937& random) {
    const TKind& k = Kind(img.Type);
    std::normal_distribution<double> g(0, 1);
    const long double mid = (k.Bottom + k.Top) / 2, span = k.Top - k.Bottom;
    for (int64_t y = 0; y < img.H; ++y)
        for (int64_t x = 0; x < img.W; ++x) {
            const double common = g(random);
            for (int b = 0; b < img.N; ++b) {
                const long double v =
                    std::clamp(mid + span * (0.15L * common + 0.1L * g(random)), k.Bottom, k.Top);
                img.Set(x, y, b, static_cast<double>(k.Float ? v : std::floor(v)));
            }
        }
}

// Checks statistics against means, population covariances and extremes of the pixels Selected
// picks, taken here in two passes of long double.
template <class TSelected>
void ExpectStatistics(const TStatistics& st, const TTestImage& img, const TSelected& selected,
                      const std::string& what) {
    long double count = 0, mean[KernelBands] = {}, cov[KernelBands][KernelBands] = {};
    double low[KernelBands], high[KernelBands];
    std::fill(low, low + KernelBands, INFINITY);
    std::fill(high, high + KernelBands, -INFINITY);
    for (int pass = 0; pass < 2; ++pass)
        for (int64_t y = 0; y < img.H; ++y)
            for (int64_t x = 0; x < img.W; ++x)
                for (int a = 0; a < img.N && selected(x, y); ++a) {
                    const long double v = img.Get(x, y, a);
                    if (pass == 0) {
                        count += a == 0;
                        mean[a] += v;
                        low[a] = std::min(low[a], img.Get(x, y, a));
                        high[a] = std::max(high[a], img.Get(x, y, a));
                    }
                    for (int b = 0; b < img.N && pass == 1; ++b)
                        cov[a][b] += (v - mean[a] / count) * (img.Get(x, y, b) - mean[b] / count);
                }
    ASSERT_EQ(st.Count, static_cast<int64_t>(count)) << what;
    const TKind& k = Kind(img.Type);
    for (int a = 0; a < img.N; ++a) {
        EXPECT_EQ(st.Lowest[a], low[a]) << what;
        EXPECT_EQ(st.Highest[a], high[a]) << what;
        EXPECT_LE(std::fabs(st.Mean(a) - mean[a] / count), 1e-15L * std::max(-k.Bottom, k.Top))
            << what;
        for (int b = 0; b < img.N; ++b) {
            const long double size = std::sqrt(cov[a][a] * cov[b][b]) / count;
            EXPECT_LE(std::fabs(st.Covariance(a, b) - cov[a][b] / count), 1e-12L * size) << what;
            if (a != b && size > 0) {
                EXPECT_NEAR(st.Correlation(a, b), static_cast<double>(cov[a][b] / count / size),
                            1e-12)
                    << what;
            }
        }
    }
}

// The application as defined: working-order sums in long double, rounded half to even and
// clamped to the target's range (floats rounded once).
long double Defined(const TBandTransform& t, const TTestImage& img, int64_t x, int64_t y, int band,
                    TSampleType out) {
    const int r =
        static_cast<int>(std::find(t.Order.begin(), t.Order.end(), band) - t.Order.begin());
    long double sum = static_cast<long double>(img.Get(x, y, t.Order[0])) * t.Map.M[r][0];
    for (int j = 1; j < t.Bands; ++j)
        sum += static_cast<long double>(img.Get(x, y, t.Order[j])) * t.Map.M[r][j];
    sum += t.Map.M[r][t.Bands];
    if (out == TSampleType::Float64)
        return static_cast<double>(sum);
    if (out == TSampleType::Float32)
        return static_cast<float>(sum);
    return std::clamp(std::nearbyint(sum), Kind(out).Bottom, Kind(out).Top); // halves to even
}

std::string Refusal(const std::function<void()>& f) {
    try {
        f();
    } catch (const EStretch& e) {
        return e.Message;
    }
    return "(no refusal)";
}

// The order statistics the saturation takes as its limits: the (floor(f N) + 1)-th smallest and
// the (floor(g N) + 1)-th largest value.
std::pair<double, double> Limits(std::vector<double> v, double f, double g) {
    const auto n = static_cast<double>(v.size());
    const auto low = static_cast<std::ptrdiff_t>(std::floor(f * n));
    const auto high = static_cast<std::ptrdiff_t>(n - 1 - std::floor(g * n));
    std::nth_element(v.begin(), v.begin() + low, v.end());
    const double l = v[static_cast<size_t>(low)];
    std::nth_element(v.begin(), v.begin() + high, v.end());
    return {l, v[static_cast<size_t>(high)]};
}

} // namespace

TEST(SampleTypes, StatisticsMatchALongDoubleOracle) {
    std::mt19937 random(41);
    for (const TKind& k : NewKinds)
        for (int n : {1, 3, 6})
            for (int layout = 0; layout < 5; ++layout) {
                TTestImage img(23, 11, n, k.Type, layout);
                FillSpread(img, random);
                // No-data pixels (negative for signed types), and for floats pixels with a
                // sample that is not finite, which never count.
                const double noData = k.Float ? -0.25 : k.Bottom < 0 ? -7 : 7;
                for (int i = 0; i < 5; ++i)
                    for (int b = 0; b < n; ++b)
                        img.Set(i * 4, i, b, noData);
                if (k.Float) {
                    img.Set(1, 2, n - 1, NAN);
                    img.Set(5, 3, 0, -INFINITY);
                }
                const auto counts = [&](int64_t x, int64_t y, bool marked) {
                    bool finite = true, all = marked;
                    for (int b = 0; b < n; ++b) {
                        finite = finite && std::isfinite(img.Get(x, y, b));
                        all = all && img.Get(x, y, b) == noData;
                    }
                    return finite && !all;
                };
                std::vector<uint8_t> mask(23 * 11);
                for (uint8_t& m : mask)
                    m = random() % 3 != 0;
                const TImageView maskView =
                    TImageView::Interleaved(mask.data(), 23, 11, 1, TSampleType::UInt8);
                const std::string what = std::string(SampleTypeName(k.Type)) + ", " +
                                         std::to_string(n) + " bands, layout " +
                                         std::to_string(layout);
                ExpectStatistics(
                    MeasureStatistics(img.View), img,
                    [&](int64_t x, int64_t y) { return counts(x, y, false); }, what);
                TSelection part;
                part.X = 2;
                part.Y = 1;
                part.Width = 17;
                part.Height = 9;
                part.Every = 2;
                ExpectStatistics(
                    MeasureStatistics(img.View, part), img,
                    [&](int64_t x, int64_t y) {
                        return x >= 2 && x < 19 && y >= 1 && y < 10 && x % 2 == 0 && y % 2 == 1 &&
                               counts(x, y, false);
                    },
                    what + ", every 2");
                TSelection masked;
                masked.Mask = &maskView;
                masked.HasNoData = true;
                masked.NoData = noData;
                const TStatistics st = MeasureStatistics(img.View, masked);
                ExpectStatistics(
                    st, img,
                    [&](int64_t x, int64_t y) {
                        return mask[static_cast<size_t>(y * 23 + x)] != 0 && counts(x, y, true);
                    },
                    what + ", mask and no-data");
                // Threads cut the pass without changing a bit.
                TRunOptions run;
                run.Threads = 3;
                EXPECT_TRUE(MeasureStatistics(img.View, masked, run) == st) << what;
            }
}

TEST(SampleTypes, IntegerSumsStayExactAtThe32BitExtremes) {
    std::mt19937 random(3);
    for (TSampleType type : {TSampleType::Int32, TSampleType::UInt32}) {
        const TKind& k = Kind(type);
        const auto low = static_cast<double>(k.Bottom), high = static_cast<double>(k.Top);
        // Mostly the extremes, so that the sums of products pass 2^64 many times over; the
        // oracle sums the samples less the bottom in 128 bits of its own.
        const double values[] = {low, high, high, low + 1, high - 1, 0, 1, high};
        TTestImage img(64, 48, 2, type, 0);
        uint64_t sum[2][2] = {}, product[2][2][2] = {}; // [band(s)][low, high word]
        const auto add = [](uint64_t* s, uint64_t v) {
            s[0] += v;
            s[1] += s[0] < v ? 1 : 0;
        };
        for (int64_t y = 0; y < 48; ++y)
            for (int64_t x = 0; x < 64; ++x) {
                uint64_t shifted[2];
                for (int b = 0; b < 2; ++b) {
                    const double v = values[random() % 8];
                    img.Set(x, y, b, v);
                    shifted[b] = static_cast<uint64_t>(v - low);
                }
                for (int a = 0; a < 2; ++a) {
                    add(sum[a], shifted[a]);
                    for (int b = a; b < 2; ++b)
                        add(product[a][b], shifted[a] * shifted[b]);
                }
            }
        const TStatistics st = MeasureStatistics(img.View);
        ASSERT_GT(product[1][1][1], 1000u); // far beyond 64 bits
        for (int a = 0; a < 2; ++a) {
            EXPECT_EQ(st.Sum[a].Low, sum[a][0]);
            EXPECT_EQ(st.Sum[a].High, sum[a][1]);
            for (int b = a; b < 2; ++b) {
                EXPECT_EQ(st.Product[a][b].Low, product[a][b][0]) << SampleTypeName(type);
                EXPECT_EQ(st.Product[a][b].High, product[a][b][1]) << SampleTypeName(type);
            }
            EXPECT_EQ(st.Lowest[a], low);
            EXPECT_EQ(st.Highest[a], high);
            const long double mean =
                (sum[a][1] * 0x1p64L + static_cast<long double>(sum[a][0])) / (64 * 48) + low;
            EXPECT_LE(std::fabs(st.Mean(a) - mean), 1e-6L) << SampleTypeName(type);
        }
        // Strips pooled are the whole, to the bit, and so is the statistics document.
        TStatistics pooled(2, type);
        for (int64_t y = 0; y < 48; y += 7)
            pooled.Add(MeasureStatistics(Strip(img.View, y, std::min<int64_t>(7, 48 - y))));
        EXPECT_TRUE(pooled == st);
        EXPECT_TRUE(ReadStatisticsJson(WriteStatisticsJson(st)) == st);
    }
}

TEST(SampleTypes, OffsetStretchSpansTheTypesRangeAtTheSelectedExtremes) {
    std::mt19937 random(17);
    for (const TKind& k : NewKinds) {
        // One band: the stretch is (x - lowest) (top - bottom) / (highest - lowest) + bottom.
        TTestImage img(37, 13, 1, k.Type, 0), out(37, 13, 1, k.Type, 0);
        std::uniform_real_distribution<double> u(
            static_cast<double>(k.Bottom + (k.Top - k.Bottom) * 0.3L),
            static_cast<double>(k.Bottom + (k.Top - k.Bottom) * 0.6L));
        long double low = INFINITY, high = -INFINITY;
        for (int64_t y = 0; y < 13; ++y)
            for (int64_t x = 0; x < 37; ++x) {
                img.Set(x, y, 0, k.Float ? u(random) : std::floor(u(random)));
                if (x >= 3 && x < 23 && y >= 2 && y < 10) {
                    low = std::min<long double>(low, img.Get(x, y, 0));
                    high = std::max<long double>(high, img.Get(x, y, 0));
                }
            }
        TSelection s;
        s.X = 3;
        s.Y = 2;
        s.Width = 20;
        s.Height = 8;
        ApplyStretch(FitStretch(img.View, s), img.View, out.View);
        for (int64_t y = 0; y < 13; ++y)
            for (int64_t x = 0; x < 37; ++x) {
                const long double v = img.Get(x, y, 0), o = out.Get(x, y, 0);
                const long double linear = (v - low) * (k.Top - k.Bottom) / (high - low) + k.Bottom;
                if (k.Float) {
                    EXPECT_NEAR(static_cast<double>(o), static_cast<double>(linear), 1e-12);
                    continue;
                }
                EXPECT_LE(std::fabs(o - std::clamp(std::nearbyint(linear), k.Bottom, k.Top)), 1)
                    << SampleTypeName(k.Type);
                // The selection's extremes land on the ends of the range, and samples beyond
                // them are clamped there.
                if (v <= low || v >= high) {
                    EXPECT_EQ(o, v <= low ? k.Bottom : k.Top) << SampleTypeName(k.Type);
                }
            }
    }
    // Scale-only: one int16 band scaled by the smaller of 32767 / highest and -32768 / lowest.
    for (const auto& [low, high, end] : {std::tuple{-1000, 500, 0}, std::tuple{-100, 1000, 10}}) {
        TTestImage img(11, 1, 1, TSampleType::Int16, 0), out = img;
        out.View.Data = out.Bytes.data();
        for (int64_t x = 0; x < 11; ++x)
            img.Set(x, 0, 0, static_cast<double>(low + (high - low) * x / 10));
        TFitOptions o;
        o.Method = TStretchMethod::ScaleOnly;
        ApplyStretch(FitStretch(img.View, {}, o), img.View, out.View);
        EXPECT_EQ(out.Get(end, 0, 0), end == 0 ? -32768 : 32767);
        const long double factor = std::min(32767.0L / high, -32768.0L / low);
        for (int64_t x = 0; x < 11; ++x)
            EXPECT_LE(std::fabs(out.Get(x, 0, 0) - std::nearbyint(img.Get(x, 0, 0) * factor)), 1);
    }
}

TEST(SampleTypes, ComponentsSpanTheCubeOfASignedRange) {
    // A row of weights p = 0.6, q = -0.8 over the int16 cube: lifted, it runs from exactly
    // -32768 to 32767 at the cube's corners; scale-only bounds it by its corners' values,
    // p top + q bottom and q top + p bottom.
    const double bottom = -32768, top = 32767;
    double row[3] = {0.6, -0.8, 0};
    detail::LiftRow(row, 2, bottom, top);
    EXPECT_NEAR(row[0] * bottom + row[1] * top + row[2], bottom, 1e-9);
    EXPECT_NEAR(row[0] * top + row[1] * bottom + row[2], top, 1e-9);
    TAffineMap axes = TAffineMap::Identity(2);
    axes.M[0][0] = 0.6;
    axes.M[0][1] = -0.8;
    const long double most = 0.6L * top - 0.8L * bottom, least = -0.8L * top + 0.6L * bottom;
    for (const auto& [low, high] : {std::pair{-2000.0, 1000.0}, std::pair{-1000.0, 3000.0}})
        EXPECT_NEAR(detail::ScaleOnlyFactor(axes, 0, bottom, top, low, high, 1e-9),
                    static_cast<double>(std::min(most / high, least / low)), 1e-12);
}

TEST(SampleTypes, ApplicationRoundsHalfToEvenAndClampsToTheTypesRange) {
    for (const TKind& k : NewKinds) {
        if (k.Float)
            continue;
        const double b = static_cast<double>(k.Bottom), t = static_cast<double>(k.Top);
        const std::vector<double> values = {
            b, b + 1, b < 0 ? -3.0 : 3.0, b < 0 ? -2.0 : 4.0, 0, 1, 2, 3, t - 2, t - 1, t};
        TTestImage img(static_cast<int64_t>(values.size()), 1, 1, k.Type, 0), out = img;
        out.View.Data = out.Bytes.data();
        for (size_t i = 0; i < values.size(); ++i)
            img.Set(static_cast<int64_t>(i), 0, 0, values[i]);
        for (const auto& [weight, constant] : {std::pair{1.0, 0.5}, std::pair{1.0, -0.5},
                                               std::pair{3.0, 0.0}, std::pair{-1.0, 0.0}}) {
            TBandTransform tr = TBandTransform::Identity(1, k.Type);
            tr.Map.M[0][0] = weight;
            tr.Map.M[0][1] = constant;
            ApplyStretch(tr, img.View, out.View);
            for (size_t i = 0; i < values.size(); ++i) {
                // Halves to the even neighbour, by hand.
                const long double exact = static_cast<long double>(values[i]) * weight + constant;
                long double rounded = std::floor(exact);
                if (exact - rounded > 0.5L ||
                    (exact - rounded == 0.5L && std::fmod(rounded, 2.0L) != 0))
                    rounded += 1;
                EXPECT_EQ(out.Get(static_cast<int64_t>(i), 0, 0),
                          static_cast<double>(std::clamp(rounded, k.Bottom, k.Top)))
                    << SampleTypeName(k.Type) << " " << values[i] << " x " << weight << " + "
                    << constant;
            }
        }
    }
}

TEST(SampleTypes, ApplicationIsTheDefinedSumIntoEveryTypeAndLayout) {
    std::mt19937 random(23);
    std::uniform_real_distribution<double> w(-1.5, 1.5);
    for (const TKind& k : NewKinds)
        for (int n : {1, 3, 5})
            for (int layout = 0; layout < 5; ++layout) {
                TTestImage img(21, 7, n, k.Type, layout);
                FillSpread(img, random);
                TBandTransform t = TBandTransform::Identity(n, k.Type);
                for (int r = 0; r < n; ++r) {
                    for (int c = 0; c < n; ++c)
                        t.Map.M[r][c] = w(random);
                    t.Map.M[r][n] = w(random) * static_cast<double>(k.Top) / 3;
                }
                std::shuffle(t.Order.begin(), t.Order.end(), random);
                for (const TKind& out : Kinds) {
                    TTestImage o(21, 7, n, out.Type, (layout + 2) % 5);
                    for (detail::TKernelChoice choice :
                         {detail::TKernelChoice::Best, detail::TKernelChoice::Avx2,
                          detail::TKernelChoice::Portable}) {
                        detail::SetKernelChoice(choice);
                        ApplyStretch(t, img.View, o.View);
                        detail::SetKernelChoice(detail::TKernelChoice::Best);
                        for (int64_t y = 0; y < 7; ++y)
                            for (int64_t x = 0; x < 21; ++x)
                                for (int b = 0; b < n; ++b)
                                    ASSERT_EQ(o.Get(x, y, b), static_cast<double>(Defined(
                                                                  t, img, x, y, b, out.Type)))
                                        << SampleTypeName(k.Type) << " to "
                                        << SampleTypeName(out.Type) << ", layout " << layout;
                    }
                }
            }
}

TEST(SampleTypes, SumsWithinTheirRoundingOfAHalfRoundAsDefined) {
    // Pixels whose defined sum lies 2^-40 from a half, far closer than the rounding of a double
    // sum of 32-bit samples: only the exact computation rounds them right.
    std::mt19937 random(53);
    std::uniform_real_distribution<double> w(-0.7, 0.7);
    for (TSampleType type : {TSampleType::Int32, TSampleType::UInt32, TSampleType::Int16}) {
        const TKind& k = Kind(type);
        std::uniform_real_distribution<double> sample(static_cast<double>(k.Bottom),
                                                      static_cast<double>(k.Top));
        int tried = 0;
        for (int trial = 0; trial < 300; ++trial) {
            TTestImage img(3, 1, 3, type, 0), out(3, 1, 3, type, 0);
            TBandTransform t = TBandTransform::Identity(3, type);
            const double x1 = std::floor(sample(random)), x2 = std::floor(sample(random));
            t.Map.M[0][0] = w(random);
            t.Map.M[0][1] = w(random);
            t.Map.M[0][2] = 1;
            t.Map.M[2][2] = 0; // a band whose sums are exact, beside the one that is not
            // x3 takes the sum of the first two to about 1000, and the constant its fraction
            // to 2^-40 from a half.
            const long double partial = static_cast<long double>(x1) * t.Map.M[0][0] +
                                        static_cast<long double>(x2) * t.Map.M[0][1];
            const long double x3 = 1000 - std::floor(partial);
            if (x3 < k.Bottom || x3 > k.Top)
                continue;
            const long double fraction = partial - std::floor(partial);
            t.Map.M[0][3] =
                static_cast<double>(0.5L - fraction + (random() % 2 == 0 ? 0x1p-40L : -0x1p-40L));
            for (int64_t x = 0; x < 3; ++x) {
                img.Set(x, 0, 0, x1);
                img.Set(x, 0, 1, x2);
                img.Set(x, 0, 2, static_cast<double>(x3));
            }
            ApplyStretch(t, img.View, out.View);
            ++tried;
            for (int64_t x = 0; x < 3; ++x) {
                ASSERT_EQ(out.Get(x, 0, 0), static_cast<double>(Defined(t, img, 0, 0, 0, type)))
                    << SampleTypeName(type) << ", trial " << trial;
                ASSERT_EQ(out.Get(x, 0, 2), 0);
            }
        }
        EXPECT_GT(tried, 100) << SampleTypeName(type);
    }
}

TEST(SampleTypes, NonFinitePixelsPassAndNoDataValuesAreSamples) {
    TTestImage real(5, 1, 1, TSampleType::Float64, 0), realOut = real;
    realOut.View.Data = realOut.Bytes.data();
    const double values[] = {0.25, NAN, 0.75, INFINITY, 0.5};
    for (int64_t x = 0; x < 5; ++x)
        real.Set(x, 0, 0, values[x]);
    ApplyStretch(FitStretch(real.View), real.View, realOut.View);
    EXPECT_TRUE(std::isnan(realOut.Get(1, 0, 0)));
    EXPECT_EQ(realOut.Get(3, 0, 0), INFINITY);
    EXPECT_NEAR(realOut.Get(2, 0, 0) - realOut.Get(0, 0, 0), 1.0, 1e-15);

    // Values that are not samples of the type are refused, naming it.
    for (const auto& [type, value, refused] :
         {std::tuple{TSampleType::UInt32, -1.0, true}, std::tuple{TSampleType::Int32, 0.5, true},
          std::tuple{TSampleType::Int32, 2147483648.0, true},
          std::tuple{TSampleType::Int8, -129.0, true},
          std::tuple{TSampleType::Float64, double(NAN), true},
          std::tuple{TSampleType::Int32, -2147483648.0, false},
          std::tuple{TSampleType::Int8, -128.0, false},
          std::tuple{TSampleType::Float64, 1e300, false}}) {
        TTestImage image(2, 2, 1, type, 0);
        TSelection sel;
        sel.HasNoData = true;
        sel.NoData = value;
        const std::string why = Refusal([&] { MeasureStatistics(image.View, sel); });
        EXPECT_EQ(why.find(SampleTypeName(type)) != std::string::npos, refused) << why;
    }
}

TEST(SampleTypes, SignedFitsAreTheUnsignedFitsShifted) {
    // x and x + 2^(bits-1) have the same correlations: every method but scale-only gives the
    // same stretch, moved by the shift (within the rounding of the outputs).
    std::mt19937 random(29);
    const struct {
        TSampleType Signed, Unsigned;
        double Shift;
    } pairs[] = {{TSampleType::Int8, TSampleType::UInt8, 128},
                 {TSampleType::Int16, TSampleType::UInt16, 32768},
                 {TSampleType::Int32, TSampleType::UInt32, 2147483648.0}};
    std::vector<TFitOptions> options(7);
    options[1].Basis = TStretchBasis::Covariance;
    options[2].Pairing = TBandPairing::Direct;
    options[3].Method = TStretchMethod::Target;
    options[4].Space = TColourSpace::YCbCr;
    options[5].Keep = 1;
    options[6].Clip = true;
    options[6].ClipLow = 0.03;
    options[6].ClipHigh = 0.05;
    for (const auto& p : pairs)
        for (size_t i = 0; i < options.size(); ++i) {
            TTestImage s(17, 9, 3, p.Signed, 1), u(17, 9, 3, p.Unsigned, 1);
            FillSpread(s, random);
            for (int64_t y = 0; y < 9; ++y)
                for (int64_t x = 0; x < 17; ++x)
                    for (int b = 0; b < 3; ++b)
                        u.Set(x, y, b, s.Get(x, y, b) + p.Shift);
            TTestImage sOut(17, 9, 3, p.Signed, 0), uOut(17, 9, 3, p.Unsigned, 0);
            ApplyStretch(FitStretch(s.View, {}, options[i]), s.View, sOut.View);
            ApplyStretch(FitStretch(u.View, {}, options[i]), u.View, uOut.View);
            for (int64_t y = 0; y < 9; ++y)
                for (int64_t x = 0; x < 17; ++x)
                    for (int b = 0; b < 3; ++b)
                        ASSERT_LE(std::fabs(sOut.Get(x, y, b) + p.Shift - uOut.Get(x, y, b)), 1)
                            << SampleTypeName(p.Signed) << ", options " << i;
        }
}

TEST(SampleTypes, NewTypesNeverTakeTheByteKernels) {
    for (const TKind& k : NewKinds)
        for (int64_t stride : {3, 4}) {
            TImageView v = TImageView::Interleaved(nullptr, 4, 4, 3, k.Type);
            v.PixelStride = stride * static_cast<int64_t>(SampleBytes(k.Type));
            const TBandTransform t = TBandTransform::Identity(3, k.Type);
            TPrincipalAxes axes;
            axes.Bands = 3;
            axes.Map = TAffineMap::Identity(3);
            axes.Order = {2, 1, 0};
            for (const detail::TKernelPass& pass :
                 {detail::TKernelPass::Statistics(), detail::TKernelPass::Ranges(axes),
                  detail::TKernelPass::Apply(t, v), detail::TKernelPass::Count(t)})
                EXPECT_EQ(detail::KernelFamilyFor(v, nullptr, pass), detail::TKernelFamily::Stream)
                    << SampleTypeName(k.Type);
        }
}

TEST(SampleTypes, TransformFilesHoldTheNewNamesAndApplyToTheirTypeAlone) {
    std::mt19937 random(37);
    for (const TKind& k : NewKinds) {
        TTestImage img(15, 6, 3, k.Type, 0);
        FillSpread(img, random);
        TSelection s;
        s.HasNoData = true;
        s.NoData = k.Float ? -1.5 : k.Bottom < 0 ? -3 : 3;
        TFitOptions o;
        o.Clip = true;
        o.ClipLow = 0.05;
        o.ClipHigh = 0.1;
        const TBandTransform t = FitStretch(img.View, s, o);
        const std::string text = WriteTransformJson(t);
        EXPECT_NE(text.find(std::string("\"type\": \"") + SampleTypeName(k.Type) + "\""),
                  std::string::npos);
        const TBandTransform back = ReadTransformJson(text);
        EXPECT_EQ(back.Type, k.Type);
        EXPECT_EQ(back.NoData, s.NoData);
        EXPECT_TRUE(back.Statistics == t.Statistics);
        EXPECT_EQ(WriteTransformJson(back), text);
        // Applied to its own type it gives the fit's bytes; another type's pixels are refused.
        TTestImage a(15, 6, 3, k.Type, 0), b = a;
        b.View.Data = b.Bytes.data();
        ApplyStretch(t, img.View, a.View);
        ApplyStretch(back, img.View, b.View);
        EXPECT_EQ(a.Bytes, b.Bytes);
        for (TSampleType other : SampleTypes) {
            TTestImage wrong(15, 6, 3, other, 0);
            const std::string why = Refusal([&] { ApplyStretch(back, wrong.View, wrong.View); });
            EXPECT_EQ(why.find(SampleTypeName(other)) != std::string::npos, other != k.Type) << why;
        }
        // A no-data value the type cannot hold is refused on reading.
        if (!k.Float) {
            const std::string value = "\"nodata\": " + std::to_string(static_cast<int>(s.NoData));
            std::string bad = text;
            bad.replace(bad.find(value), value.size(), "\"nodata\": 0.5");
            EXPECT_NE(Refusal([&] { ReadTransformJson(bad); }).find(SampleTypeName(k.Type)),
                      std::string::npos);
        }
    }
}

TEST(SampleTypes, ConvertedTransformsKeepEachSamplesPlaceInItsRange) {
    // A uint16 image and the same image as int16 (every value less 32768): the uint16 fit,
    // converted to int16, gives the uint16 result less 32768 exactly; as uint8 (k = 257) on
    // the image divided by 257, 1/257 of it within half a level; as float64 (k = 65535) on
    // the image over 65535, the unclamped sums over 65535.
    std::mt19937 random(41);
    TTestImage u(19, 7, 3, TSampleType::UInt16, 0), s(19, 7, 3, TSampleType::Int16, 0);
    TTestImage b(19, 7, 3, TSampleType::UInt8, 0), f(19, 7, 3, TSampleType::Float64, 0);
    FillSpread(b, random);
    for (int c = 1; c < 3; ++c) // pixel 0, 0 the no-data value
        b.Set(0, 0, c, b.Get(0, 0, 0));
    for (int64_t y = 0; y < 7; ++y)
        for (int64_t x = 0; x < 19; ++x)
            for (int c = 0; c < 3; ++c) {
                u.Set(x, y, c, 257 * b.Get(x, y, c));
                s.Set(x, y, c, 257 * b.Get(x, y, c) - 32768);
                f.Set(x, y, c, b.Get(x, y, c) / 255);
            }
    TSelection marks;
    marks.HasNoData = true;
    marks.NoData = 257 * b.Get(0, 0, 0);
    const TBandTransform t = FitStretch(u.View, marks);
    TTestImage uOut(19, 7, 3, TSampleType::UInt16, 0), sOut(19, 7, 3, TSampleType::Int16, 0);
    TTestImage bOut(19, 7, 3, TSampleType::UInt8, 0), fOut(19, 7, 3, TSampleType::Float64, 0);
    const TSelection own = NoDataOf(t);
    ApplyStretch(t, u.View, uOut.View, &own);
    const TBandTransform asSigned = ConvertedTransform(t, TSampleType::Int16);
    EXPECT_EQ(asSigned.NoData, marks.NoData - 32768);
    const TSelection signedMarks = NoDataOf(asSigned);
    ApplyStretch(asSigned, s.View, sOut.View, &signedMarks);
    const TBandTransform asBytes = ConvertedTransform(t, TSampleType::UInt8);
    EXPECT_EQ(asBytes.NoData, b.Get(0, 0, 0));
    const TSelection byteMarks = NoDataOf(asBytes);
    ApplyStretch(asBytes, b.View, bOut.View, &byteMarks);
    ApplyStretch(ConvertedTransform(t, TSampleType::Float64), f.View, fOut.View);
    for (int64_t y = 0; y < 7; ++y)
        for (int64_t x = y == 0 ? 1 : 0; x < 19; ++x)
            for (int c = 0; c < 3; ++c) {
                const double want = uOut.Get(x, y, c);
                ASSERT_EQ(sOut.Get(x, y, c), want - 32768) << x << "," << y;
                ASSERT_LE(std::fabs(bOut.Get(x, y, c) - want / 257), 0.5 + 0.5 / 257);
                long double sum = t.Constant(c);
                for (int i = 0; i < 3; ++i)
                    sum += static_cast<long double>(t.Weight(c, i)) * u.Get(x, y, i);
                ASSERT_NEAR(fOut.Get(x, y, c), static_cast<double>(sum / 65535), 1e-12);
            }
    // A no-data value with no equal among the other type's samples is refused.
    TBandTransform odd = t;
    odd.NoData = 1;
    EXPECT_NE(Refusal([&] { ConvertedTransform(odd, TSampleType::UInt8); }).find("no-data value 1"),
              std::string::npos);
    odd.HasNoData = false;
    EXPECT_EQ(ConvertedTransform(odd, TSampleType::UInt8).Type, TSampleType::UInt8);
}

TEST(SampleTypes, SaturationLimitsAreExactOrderStatistics) {
    // The identity's outputs are the samples themselves, crowded into a few keys' worth of the
    // range, so that the limits lie among keys that share all but their last bits.
    std::mt19937 random(43);
    for (TSampleType type : {TSampleType::Float64, TSampleType::Int32, TSampleType::UInt32,
                             TSampleType::Int16, TSampleType::Int8}) {
        const TKind& k = Kind(type);
        const long double centre = k.Float ? 0.3L : std::floor(k.Bottom + (k.Top - k.Bottom) / 4);
        const long double step = k.Float ? 0x1p-52L : 1;
        TTestImage img(61, 29, 2, type, 1);
        for (int64_t y = 0; y < 29; ++y)
            for (int64_t x = 0; x < 61; ++x)
                for (int b = 0; b < 2; ++b) {
                    const unsigned spread = type == TSampleType::Int8 ? 100 : 200;
                    long double v = centre + step * static_cast<long double>(random() % spread);
                    if (random() % 50 == 0) // outliers
                        v = random() % 2 == 0 ? (k.Float ? 0.01L : k.Bottom + 3)
                                              : (k.Float ? 0.9L : k.Top - 3);
                    img.Set(x, y, b, static_cast<double>(v));
                }
        for (const auto& [low, high] : {std::pair{0.01, 0.02}, std::pair{0.3, 0.25}}) {
            TClipHistogram h(TBandTransform::Identity(2, type), low, high);
            int passes = 0;
            for (; h.NeedsPass(); ++passes) {
                // Halves counted apart and merged, the second through its document.
                TClipHistogram top = h.Empty(), bottom = h.Empty();
                top.Measure(Strip(img.View, 0, 13));
                bottom.Measure(Strip(img.View, 13, 16));
                h.Merge(top);
                h.Merge(ReadClipHistogramJson(WriteClipHistogramJson(bottom)));
                h.FinishPass();
            }
            EXPECT_EQ(passes, k.Float ? 4 : SampleBytes(type) == 4 ? 2 : 1);
            const TJsonValue doc = ParseJson(WriteClipHistogramJson(h));
            for (int b = 0; b < 2; ++b) {
                std::vector<double> v;
                for (int64_t y = 0; y < 29; ++y)
                    for (int64_t x = 0; x < 61; ++x)
                        v.push_back(img.Get(x, y, b));
                const auto [l, hi] = Limits(v, low, high);
                const TJsonValue& limit = doc["limit"][static_cast<size_t>(b)];
                EXPECT_EQ(limit[0].AsDouble(), l) << SampleTypeName(type);
                EXPECT_EQ(limit[1].AsDouble(), hi) << SampleTypeName(type);
            }
        }
    }
}

TEST(SampleTypes, Float64SaturationOfAFittedStretchCountsItsOutputs) {
    // The limits of a fitted stretch are order statistics of its outputs, computed here as the
    // engine defines them.
    std::mt19937 random(47);
    TTestImage img(33, 21, 3, TSampleType::Float64, 4);
    FillSpread(img, random);
    TFitOptions o;
    o.Pairing = TBandPairing::Direct;
    const TBandTransform t = FitStretch(img.View, {}, o);
    TClipHistogram h(t, 0.07, 0.11);
    while (h.NeedsPass()) {
        h.Measure(img.View);
        h.FinishPass();
    }
    const TJsonValue doc = ParseJson(WriteClipHistogramJson(h));
    for (int b = 0; b < 3; ++b) {
        std::vector<double> outputs;
        for (int64_t y = 0; y < 21; ++y)
            for (int64_t x = 0; x < 33; ++x)
                outputs.push_back(
                    static_cast<double>(Defined(t, img, x, y, b, TSampleType::Float64)));
        const auto [low, high] = Limits(outputs, 0.07, 0.11);
        EXPECT_EQ(doc["limit"][static_cast<size_t>(b)][0].AsDouble(), low);
        EXPECT_EQ(doc["limit"][static_cast<size_t>(b)][1].AsDouble(), high);
    }
    // The fit's own passes (statistics, ranges and four of saturation) reach the same stretch.
    o.Clip = true;
    o.ClipLow = 0.07;
    o.ClipHigh = 0.11;
    TStretchFit fit(o, 3, TSampleType::Float64);
    EXPECT_EQ(fit.Passes(), 6);
    while (fit.NeedsPass()) {
        fit.Measure(img.View);
        fit.FinishPass();
    }
    const TBandTransform clipped = fit.Result(), direct = h.Clipped();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c <= 3; ++c)
            EXPECT_EQ(clipped.Map.M[r][c], direct.Map.M[r][c]);
}
