// The engine's samples beyond the plug-in's three types (int8, int16, int32, uint32, float64):
// statistics against long-double sums written here, exact 128-bit sums at the 32-bit extremes,
// the offset stretch onto each type's whole range, rounding and clamping to signed ranges,
// transform files of the new names, and saturation limits that are exact order statistics.
#include "EngineTestImages.h"
#include "streams/Json.h"
#include "stretch/KernelDispatch.h"
#include "stretch/StretchEngine.h"
#include "stretch/TransformFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

using namespace vt;
using namespace vt::test;

namespace {

// A type with its range as the C++ types state it.
struct TKind {
    TSampleType Type;
    long double Bottom, Top;
    bool Float;
};

template <class T> TKind KindOf(TSampleType type) {
    return {type, static_cast<long double>(std::numeric_limits<T>::lowest()),
            static_cast<long double>(std::numeric_limits<T>::max()), false};
}

const TKind NewKinds[] = {KindOf<int8_t>(TSampleType::Int8),
                          KindOf<int16_t>(TSampleType::Int16),
                          KindOf<int32_t>(TSampleType::Int32),
                          KindOf<uint32_t>(TSampleType::UInt32),
                          {TSampleType::Float64, 0, 1, true}};

const TKind& Kind(TSampleType type) {
    for (const TKind& k : NewKinds)
        if (k.Type == type)
            return k;
    throw std::logic_error("not a new type");
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
                long double v = mid + span * (0.15L * common + 0.1L * g(random));
                v = std::clamp(v, k.Bottom, k.Top);
                img.Set(x, y, b, static_cast<double>(k.Float ? v : std::floor(v)));
            }
        }
}

// Means, population covariances, correlations and extremes of the pixels Selected picks, in
// two passes of long double.
struct TOracle {
    long double Count = 0, Mean[MaxBands] = {}, Cov[MaxBands][MaxBands] = {};
    double Low[MaxBands], High[MaxBands];
};

template <class TSelected> TOracle OracleOf(const TTestImage& img, const TSelected& selected) {
    TOracle o;
    for (int b = 0; b < img.N; ++b) {
        o.Low[b] = std::numeric_limits<double>::infinity();
        o.High[b] = -std::numeric_limits<double>::infinity();
    }
    const auto each = [&](const auto& visit) {
        for (int64_t y = 0; y < img.H; ++y)
            for (int64_t x = 0; x < img.W; ++x)
                if (selected(x, y))
                    visit(x, y);
    };
    each([&](int64_t x, int64_t y) {
        o.Count += 1;
        for (int b = 0; b < img.N; ++b) {
            o.Mean[b] += img.Get(x, y, b);
            o.Low[b] = std::min(o.Low[b], img.Get(x, y, b));
            o.High[b] = std::max(o.High[b], img.Get(x, y, b));
        }
    });
    for (int b = 0; b < img.N; ++b)
        o.Mean[b] /= o.Count;
    each([&](int64_t x, int64_t y) {
        for (int a = 0; a < img.N; ++a)
            for (int b = 0; b < img.N; ++b)
                o.Cov[a][b] += (img.Get(x, y, a) - o.Mean[a]) * (img.Get(x, y, b) - o.Mean[b]);
    });
    for (int a = 0; a < img.N; ++a)
        for (int b = 0; b < img.N; ++b)
            o.Cov[a][b] /= o.Count;
    return o;
}

void ExpectMatches(const TStatistics& st, const TOracle& o, const TKind& k, const char* what) {
    ASSERT_EQ(st.Count, static_cast<int64_t>(o.Count)) << what;
    const long double scale = std::max(-k.Bottom, k.Top);
    for (int a = 0; a < st.Bands; ++a) {
        EXPECT_EQ(st.Lowest[a], o.Low[a]) << what;
        EXPECT_EQ(st.Highest[a], o.High[a]) << what;
        EXPECT_LE(std::fabs(st.Mean(a) - o.Mean[a]), 1e-15L * scale) << what << " band " << a;
        for (int b = 0; b < st.Bands; ++b) {
            const long double size = std::sqrt(o.Cov[a][a] * o.Cov[b][b]);
            EXPECT_LE(std::fabs(st.Covariance(a, b) - o.Cov[a][b]), 1e-12L * size + 1e-300L)
                << what << " bands " << a << "," << b;
            if (a != b && size > 0) {
                EXPECT_NEAR(st.Correlation(a, b), static_cast<double>(o.Cov[a][b] / size), 1e-12)
                    << what << " bands " << a << "," << b;
            }
        }
    }
}

// A 128-bit unsigned sum, for the oracle of the exact integer sums.
struct TSum128 {
    uint64_t Low = 0, High = 0;
    void Add(uint64_t v) {
        Low += v;
        High += Low < v ? 1 : 0;
    }
};

// The application as defined: working-order sums in long double, rounded half to even and
// clamped to the target's range (floats rounded once).
long double Defined(const TBandTransform& t, const TTestImage& img, int64_t x, int64_t y, int band,
                    TSampleType out) {
    int r = 0;
    while (t.Order[r] != band)
        ++r;
    long double sum = static_cast<long double>(img.Get(x, y, t.Order[0])) * t.Map.M[r][0];
    for (int j = 1; j < t.Bands; ++j)
        sum += static_cast<long double>(img.Get(x, y, t.Order[j])) * t.Map.M[r][j];
    sum += t.Map.M[r][t.Bands];
    if (out == TSampleType::Float64)
        return static_cast<double>(sum);
    if (out == TSampleType::Float32)
        return static_cast<float>(sum);
    const long double bottom = out == TSampleType::UInt8    ? 0
                               : out == TSampleType::UInt16 ? 0
                                                            : Kind(out).Bottom;
    const long double top = out == TSampleType::UInt8    ? 255
                            : out == TSampleType::UInt16 ? 65535
                                                         : Kind(out).Top;
    const long double rounded = std::nearbyint(sum); // halves to even
    return rounded < bottom ? bottom : rounded > top ? top : rounded;
}

std::string Refusal(const std::function<void()>& f) {
    try {
        f();
    } catch (const EStretch& e) {
        return e.Message;
    }
    return "(no refusal)";
}

} // namespace

TEST(SampleTypes, NamesSizesAndRangesAreTheCTypes) {
    const struct {
        TSampleType Type;
        const char* Name;
        size_t Bytes;
    } names[] = {{TSampleType::UInt8, "uint8", 1},     {TSampleType::UInt16, "uint16", 2},
                 {TSampleType::Float32, "float32", 4}, {TSampleType::Int8, "int8", 1},
                 {TSampleType::Int16, "int16", 2},     {TSampleType::Int32, "int32", 4},
                 {TSampleType::UInt32, "uint32", 4},   {TSampleType::Float64, "float64", 8}};
    for (const auto& n : names) {
        EXPECT_STREQ(SampleTypeName(n.Type), n.Name);
        EXPECT_EQ(SampleTypeNamed(n.Name), n.Type);
        EXPECT_EQ(SampleBytes(n.Type), n.Bytes);
    }
    EXPECT_NE(Refusal([] { SampleTypeNamed("int64"); }).find("int64"), std::string::npos);
    for (const TKind& k : NewKinds) {
        EXPECT_EQ(SampleBottom(k.Type), static_cast<double>(k.Float ? 0 : k.Bottom));
        EXPECT_EQ(SampleTop(k.Type), static_cast<double>(k.Top));
        EXPECT_EQ(IsFloatSample(k.Type), k.Float);
        EXPECT_EQ(IsSignedSample(k.Type), k.Bottom < 0);
    }
    const int8_t i8 = -128;
    const int16_t i16 = -32768;
    const int32_t i32 = std::numeric_limits<int32_t>::min();
    const uint32_t u32 = 4294967295u;
    const double f64 = 0.1;
    EXPECT_EQ(SampleValue(&i8, TSampleType::Int8), -128);
    EXPECT_EQ(SampleValue(&i16, TSampleType::Int16), -32768);
    EXPECT_EQ(SampleValue(&i32, TSampleType::Int32), -2147483648.0);
    EXPECT_EQ(SampleValue(&u32, TSampleType::UInt32), 4294967295.0);
    EXPECT_EQ(SampleValue(&f64, TSampleType::Float64), 0.1);
}

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
                    img.Set(1, 2, n - 1, std::numeric_limits<double>::quiet_NaN());
                    img.Set(5, 3, 0, -std::numeric_limits<double>::infinity());
                }
                const auto finite = [&](int64_t x, int64_t y) {
                    for (int b = 0; b < n; ++b)
                        if (!std::isfinite(img.Get(x, y, b)))
                            return false;
                    return true;
                };
                const auto marked = [&](int64_t x, int64_t y) {
                    for (int b = 0; b < n; ++b)
                        if (img.Get(x, y, b) != noData)
                            return false;
                    return true;
                };
                std::vector<uint8_t> mask(23 * 11);
                for (uint8_t& m : mask)
                    m = random() % 3 != 0;
                const TImageView maskView =
                    TImageView::Interleaved(mask.data(), 23, 11, 1, TSampleType::UInt8);
                const std::string what = std::string(SampleTypeName(k.Type)) + ", " +
                                         std::to_string(n) + " bands, layout " +
                                         std::to_string(layout);

                ExpectMatches(MeasureStatistics(img.View), OracleOf(img, finite), k,
                              (what + ", whole").c_str());
                TSelection part;
                part.X = 2;
                part.Y = 1;
                part.Width = 17;
                part.Height = 9;
                part.Every = 2;
                ExpectMatches(MeasureStatistics(img.View, part),
                              OracleOf(img,
                                       [&](int64_t x, int64_t y) {
                                           return x >= 2 && x < 19 && y >= 1 && y < 10 &&
                                                  (x - 2) % 2 == 0 && (y - 1) % 2 == 0 &&
                                                  finite(x, y);
                                       }),
                              k, (what + ", every").c_str());
                TSelection masked;
                masked.Mask = &maskView;
                masked.HasNoData = true;
                masked.NoData = noData;
                const TStatistics st = MeasureStatistics(img.View, masked);
                ExpectMatches(st,
                              OracleOf(img,
                                       [&](int64_t x, int64_t y) {
                                           return mask[static_cast<size_t>(y * 23 + x)] != 0 &&
                                                  finite(x, y) && !marked(x, y);
                                       }),
                              k, (what + ", mask and no-data").c_str());
                // Threads cut the pass without changing a bit.
                TRunOptions run;
                run.Threads = 3;
                EXPECT_TRUE(MeasureStatistics(img.View, masked, run) == st) << what;
            }
}

TEST(SampleTypes, IntegerSumsStayExactAtThe32BitExtremes) {
    std::mt19937 random(3);
    for (TSampleType type : {TSampleType::Int32, TSampleType::UInt32}) {
        const bool signedType = type == TSampleType::Int32;
        const int64_t shift = signedType ? int64_t{1} << 31 : 0;
        const double low = signedType ? -2147483648.0 : 0.0;
        const double high = signedType ? 2147483647.0 : 4294967295.0;
        // Mostly the extremes, so that the sums of products pass 2^64 many times over.
        const double values[] = {low, high, high, low + 1, high - 1, 0, 1, high};
        TTestImage img(64, 48, 2, type, 0);
        TSum128 sum[2], product[2][2];
        for (int64_t y = 0; y < 48; ++y)
            for (int64_t x = 0; x < 64; ++x) {
                uint64_t shifted[2];
                for (int b = 0; b < 2; ++b) {
                    const double v = values[random() % 8];
                    img.Set(x, y, b, v);
                    shifted[b] = static_cast<uint64_t>(static_cast<int64_t>(v) + shift);
                }
                for (int a = 0; a < 2; ++a) {
                    sum[a].Add(shifted[a]);
                    for (int b = a; b < 2; ++b)
                        product[a][b].Add(shifted[a] * shifted[b]);
                }
            }
        const TStatistics st = MeasureStatistics(img.View);
        ASSERT_GT(product[1][1].High, 1000u); // far beyond 64 bits
        for (int a = 0; a < 2; ++a) {
            EXPECT_EQ(st.Sum[a].Low, sum[a].Low) << SampleTypeName(type);
            EXPECT_EQ(st.Sum[a].High, sum[a].High) << SampleTypeName(type);
            for (int b = a; b < 2; ++b) {
                EXPECT_EQ(st.Product[a][b].Low, product[a][b].Low) << SampleTypeName(type);
                EXPECT_EQ(st.Product[a][b].High, product[a][b].High) << SampleTypeName(type);
            }
            EXPECT_EQ(st.Lowest[a], low);
            EXPECT_EQ(st.Highest[a], high);
            const long double mean = (static_cast<long double>(sum[a].High) * 0x1p64L +
                                      static_cast<long double>(sum[a].Low)) /
                                         (64 * 48) -
                                     shift;
            EXPECT_LE(std::fabs(st.Mean(a) - mean), 1e-6L) << SampleTypeName(type);
        }
        // Strips pooled are the whole, to the bit, and so are strips through the file format.
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
        // One band: the stretch is (x - lowest) span / (highest - lowest) + bottom.
        TTestImage img(37, 13, 1, k.Type, 0), out(37, 13, 1, k.Type, 0);
        const long double from = k.Bottom + (k.Top - k.Bottom) * 0.3L;
        const long double to = k.Bottom + (k.Top - k.Bottom) * 0.6L;
        std::uniform_real_distribution<double> u(static_cast<double>(from),
                                                 static_cast<double>(to));
        for (int64_t y = 0; y < 13; ++y)
            for (int64_t x = 0; x < 37; ++x)
                img.Set(x, y, 0, k.Float ? u(random) : std::floor(u(random)));
        TSelection s;
        s.X = 3;
        s.Y = 2;
        s.Width = 20;
        s.Height = 8;
        long double low = INFINITY, high = -INFINITY;
        for (int64_t y = 2; y < 10; ++y)
            for (int64_t x = 3; x < 23; ++x) {
                low = std::min<long double>(low, img.Get(x, y, 0));
                high = std::max<long double>(high, img.Get(x, y, 0));
            }
        const TBandTransform t = FitStretch(img.View, s);
        ApplyStretch(t, img.View, out.View);
        const long double bottom = k.Float ? 0 : k.Bottom, span = k.Top - bottom;
        for (int64_t y = 0; y < 13; ++y)
            for (int64_t x = 0; x < 37; ++x) {
                const long double v = img.Get(x, y, 0), o = out.Get(x, y, 0);
                long double expected = (v - low) * span / (high - low) + bottom;
                if (!k.Float)
                    expected = std::clamp<long double>(std::nearbyint(expected), bottom, k.Top);
                EXPECT_LE(std::fabs(o - expected), k.Float ? 1e-12L : 1.0L)
                    << SampleTypeName(k.Type) << " at " << x << "," << y;
                // The selection's extremes land on the ends of the range exactly, and integer
                // samples beyond them are clamped there.
                if (k.Float ? v == low : v <= low) {
                    EXPECT_NEAR(static_cast<double>(o), static_cast<double>(bottom),
                                k.Float ? 1e-12 : 0.0)
                        << SampleTypeName(k.Type);
                }
                if (k.Float ? v == high : v >= high) {
                    EXPECT_NEAR(static_cast<double>(o), static_cast<double>(k.Top),
                                k.Float ? 1e-12 : 0.0)
                        << SampleTypeName(k.Type);
                }
            }
    }
}

TEST(SampleTypes, ScaleOnlyScalesAboutZeroAsFarAsTheSignedRangeAllows) {
    // One int16 band: the factor is the smaller of 32767 / highest and -32768 / lowest.
    for (const auto& [low, high, factor] :
         {std::tuple{-1000, 500, 32.768L}, std::tuple{-100, 1000, 32.767L}}) {
        TTestImage img(11, 1, 1, TSampleType::Int16, 0), out(11, 1, 1, TSampleType::Int16, 0);
        for (int64_t x = 0; x < 11; ++x)
            img.Set(x, 0, 0, static_cast<double>(low + (high - low) * x / 10));
        TFitOptions o;
        o.Method = TStretchMethod::ScaleOnly;
        ApplyStretch(FitStretch(img.View, {}, o), img.View, out.View);
        for (int64_t x = 0; x < 11; ++x)
            EXPECT_LE(std::fabs(out.Get(x, 0, 0) - std::nearbyint(img.Get(x, 0, 0) * factor)), 1)
                << x;
        EXPECT_EQ(out.Get(0, 0, 0), low == -1000 ? -32768 : std::nearbyint(-100 * 32.767L));
        EXPECT_EQ(out.Get(10, 0, 0), high == 1000 ? 32767 : 16384);
    }
}

TEST(SampleTypes, ApplicationRoundsHalfToEvenAndClampsToTheTypesRange) {
    for (const TKind& k : NewKinds) {
        if (k.Float)
            continue;
        const double b = static_cast<double>(k.Bottom), t = static_cast<double>(k.Top);
        std::vector<double> values = {b, b + 1, 0, 1, 2, 3, t - 2, t - 1, t};
        if (b < 0)
            values.insert(values.end(), {-1, -2, -3});
        TTestImage img(static_cast<int64_t>(values.size()), 1, 1, k.Type, 0);
        TTestImage out = img;
        out.View.Data = out.Bytes.data();
        for (size_t i = 0; i < values.size(); ++i)
            img.Set(static_cast<int64_t>(i), 0, 0, values[i]);
        for (const auto& [weight, constant] :
             {std::pair{1.0, 0.5}, std::pair{1.0, -0.5}, std::pair{3.0, 0.0}, std::pair{-1.0, 0.0},
              std::pair{0.5, 0.25}}) {
            TBandTransform tr = TBandTransform::Identity(1, k.Type);
            tr.Map.M[0][0] = weight;
            tr.Map.M[0][1] = constant;
            ApplyStretch(tr, img.View, out.View);
            for (size_t i = 0; i < values.size(); ++i) {
                const long double exact = static_cast<long double>(values[i]) * weight + constant;
                long double rounded = std::floor(exact);
                const long double fraction = exact - rounded;
                if (fraction > 0.5L || (fraction == 0.5L && std::fmod(rounded, 2.0L) != 0))
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
    const TSampleType outs[] = {TSampleType::UInt8,  TSampleType::Int8,   TSampleType::Int16,
                                TSampleType::Int32,  TSampleType::UInt32, TSampleType::Float32,
                                TSampleType::Float64};
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
                std::shuffle(t.Order, t.Order + n, random);
                for (TSampleType outType : outs) {
                    TTestImage out(21, 7, n, outType, (layout + 2) % 5);
                    for (detail::TKernelChoice choice :
                         {detail::TKernelChoice::Best, detail::TKernelChoice::Avx2,
                          detail::TKernelChoice::Portable}) {
                        detail::SetKernelChoice(choice);
                        ApplyStretch(t, img.View, out.View);
                        detail::SetKernelChoice(detail::TKernelChoice::Best);
                        for (int64_t y = 0; y < 7; ++y)
                            for (int64_t x = 0; x < 21; ++x)
                                for (int b = 0; b < n; ++b)
                                    ASSERT_EQ(out.Get(x, y, b), static_cast<double>(Defined(
                                                                    t, img, x, y, b, outType)))
                                        << SampleTypeName(k.Type) << " to "
                                        << SampleTypeName(outType) << ", " << n << " bands, layout "
                                        << layout;
                    }
                }
                // In place: every sample read before its pixel is written.
                TTestImage copy = img, other(21, 7, n, k.Type, layout);
                copy.View.Data =
                    copy.Bytes.data() + (static_cast<uint8_t*>(img.View.Data) - img.Bytes.data());
                ApplyStretch(t, copy.View, copy.View);
                ApplyStretch(t, img.View, other.View);
                for (int64_t y = 0; y < 7; ++y)
                    for (int64_t x = 0; x < 21; ++x)
                        for (int b = 0; b < n; ++b)
                            ASSERT_EQ(copy.Get(x, y, b), other.Get(x, y, b));
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
        int near = 0;
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
            const long double defined = Defined(t, img, 0, 0, 0, type);
            long double sum = partial + x3;
            sum += t.Map.M[0][3];
            near += std::fabs(sum - std::floor(sum) - 0.5L) < 0x1p-30L;
            for (int64_t x = 0; x < 3; ++x) {
                ASSERT_EQ(out.Get(x, 0, 0), static_cast<double>(defined))
                    << SampleTypeName(type) << ", trial " << trial;
                ASSERT_EQ(out.Get(x, 0, 2), 0);
            }
        }
        EXPECT_GT(near, 100) << SampleTypeName(type);
    }
}

TEST(SampleTypes, NoDataAndNonFinitePixelsPassUnchanged) {
    TTestImage img(9, 4, 2, TSampleType::Int16, 0), out(9, 4, 2, TSampleType::Int16, 0);
    for (int64_t y = 0; y < 4; ++y)
        for (int64_t x = 0; x < 9; ++x)
            for (int b = 0; b < 2; ++b)
                img.Set(x, y, b,
                        x == y ? -9999.0
                               : static_cast<double>((x * 97 + y * 31 + b * 500) % 2000 - 1000));
    TSelection s;
    s.HasNoData = true;
    s.NoData = -9999;
    const TBandTransform t = FitStretch(img.View, s);
    EXPECT_EQ(t.NoData, -9999);
    EXPECT_EQ(t.Statistics.Count, 36 - 4);
    const TSelection marks = NoDataOf(t);
    ApplyStretch(t, img.View, out.View, &marks);
    for (int64_t i = 0; i < 4; ++i)
        EXPECT_EQ(out.Get(i, i, 1), -9999);

    TTestImage real(5, 1, 1, TSampleType::Float64, 0), realOut(5, 1, 1, TSampleType::Float64, 0);
    const double values[] = {0.25, std::nan(""), 0.75, INFINITY, 0.5};
    for (int64_t x = 0; x < 5; ++x)
        real.Set(x, 0, 0, values[x]);
    ApplyStretch(FitStretch(real.View), real.View, realOut.View);
    EXPECT_TRUE(std::isnan(realOut.Get(1, 0, 0)));
    EXPECT_EQ(realOut.Get(3, 0, 0), INFINITY);
    EXPECT_NEAR(realOut.Get(0, 0, 0), 0.0, 1e-15);
    EXPECT_NEAR(realOut.Get(2, 0, 0), 1.0, 1e-15);

    // Values that are not samples of the type are refused, naming it.
    TTestImage u32(2, 2, 1, TSampleType::UInt32, 0), i32(2, 2, 1, TSampleType::Int32, 0),
        i8(2, 2, 1, TSampleType::Int8, 0);
    const auto refusal = [](const TTestImage& image, double value) {
        TSelection sel;
        sel.HasNoData = true;
        sel.NoData = value;
        return Refusal([&] { MeasureStatistics(image.View, sel); });
    };
    EXPECT_NE(refusal(u32, -1).find("uint32"), std::string::npos);
    EXPECT_NE(refusal(i32, 0.5).find("int32"), std::string::npos);
    EXPECT_NE(refusal(i32, 2147483648.0).find("int32"), std::string::npos);
    EXPECT_NE(refusal(i8, -129).find("int8"), std::string::npos);
    EXPECT_NE(refusal(real, std::nan("")).find("float64"), std::string::npos);
    EXPECT_EQ(refusal(i32, -2147483648.0), "(no refusal)");
    EXPECT_EQ(refusal(i8, -128), "(no refusal)");
    EXPECT_EQ(refusal(real, 1e300), "(no refusal)");
}

TEST(SampleTypes, SignedFitsAreTheUnsignedFitsShifted) {
    // x and x + 2^(bits-1) have the same correlations: every method gives the same stretch,
    // moved by the shift (within the rounding of the outputs).
    std::mt19937 random(29);
    const struct {
        TSampleType Signed, Unsigned;
        double Shift;
    } pairs[] = {{TSampleType::Int8, TSampleType::UInt8, 128},
                 {TSampleType::Int16, TSampleType::UInt16, 32768},
                 {TSampleType::Int32, TSampleType::UInt32, 2147483648.0}};
    std::vector<TFitOptions> options(6);
    options[1].Basis = TStretchBasis::Covariance;
    options[2].Pairing = TBandPairing::Direct;
    options[3].Method = TStretchMethod::Target;
    options[4].Space = TColourSpace::YCbCr;
    options[5].Keep = 1;
    for (const auto& p : pairs)
        for (size_t i = 0; i < options.size(); ++i) {
            TTestImage s(17, 9, 3, p.Signed, 1), u(17, 9, 3, p.Unsigned, 1);
            FillSpread(s, random);
            for (int64_t y = 0; y < 9; ++y)
                for (int64_t x = 0; x < 17; ++x)
                    for (int b = 0; b < 3; ++b)
                        u.Set(x, y, b, s.Get(x, y, b) + p.Shift);
            TTestImage sOut(17, 9, 3, p.Signed, 0), uOut(17, 9, 3, p.Unsigned, 0);
            const TBandTransform ts = FitStretch(s.View, {}, options[i]);
            const TBandTransform tu = FitStretch(u.View, {}, options[i]);
            ApplyStretch(ts, s.View, sOut.View);
            ApplyStretch(tu, u.View, uOut.View);
            for (int64_t y = 0; y < 9; ++y)
                for (int64_t x = 0; x < 17; ++x)
                    for (int b = 0; b < 3; ++b)
                        ASSERT_LE(std::fabs(sOut.Get(x, y, b) + p.Shift - uOut.Get(x, y, b)), 1)
                            << SampleTypeName(p.Signed) << ", options " << i;
        }
}

TEST(SampleTypes, Float64FitsAsFloat32DoesOnTheSameValues) {
    std::mt19937 random(31);
    TTestImage d(19, 8, 4, TSampleType::Float64, 2), f(19, 8, 4, TSampleType::Float32, 2);
    FillSpread(d, random);
    for (int64_t y = 0; y < 8; ++y)
        for (int64_t x = 0; x < 19; ++x)
            for (int b = 0; b < 4; ++b) {
                f.Set(x, y, b, d.Get(x, y, b));
                d.Set(x, y, b, f.Get(x, y, b)); // values both types hold
            }
    // Products of floats are exact in doubles, so the sums agree to the bit.
    const TStatistics sd = MeasureStatistics(d.View), sf = MeasureStatistics(f.View);
    for (int a = 0; a < 4; ++a)
        for (int b = a; b < 4; ++b)
            EXPECT_TRUE(sd.RealProduct[a][b] == sf.RealProduct[a][b]);
    const TBandTransform td = FitStretch(d.View), tf = FitStretch(f.View);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c <= 4; ++c)
            EXPECT_EQ(td.Map.M[r][c], tf.Map.M[r][c]);
    TTestImage dOut(19, 8, 4, TSampleType::Float64, 0), fOut(19, 8, 4, TSampleType::Float32, 0);
    ApplyStretch(td, d.View, dOut.View);
    ApplyStretch(tf, f.View, fOut.View);
    for (int64_t y = 0; y < 8; ++y)
        for (int64_t x = 0; x < 19; ++x)
            for (int b = 0; b < 4; ++b)
                EXPECT_LE(std::fabs(dOut.Get(x, y, b) - fOut.Get(x, y, b)),
                          0x1p-24 * std::max(1.0, std::fabs(dOut.Get(x, y, b))));
}

TEST(SampleTypes, NewTypesNeverTakeTheByteKernels) {
    for (const TKind& k : NewKinds)
        for (int64_t stride : {3, 4}) {
            TImageView v = TImageView::Interleaved(nullptr, 4, 4, 3, k.Type);
            v.PixelStride = stride * static_cast<int64_t>(SampleBytes(k.Type));
            TBandTransform t = TBandTransform::Identity(3, k.Type);
            TPrincipalAxes axes;
            axes.Bands = 3;
            axes.Map = TAffineMap::Identity(3);
            for (int j = 0; j < 3; ++j)
                axes.Order[j] = 2 - j;
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
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c <= 3; ++c)
                EXPECT_EQ(back.Map.M[r][c], t.Map.M[r][c]);
        EXPECT_EQ(WriteTransformJson(back), text);
        // Applied to its own type it gives the fit's bytes; another type's pixels are refused.
        TTestImage a(15, 6, 3, k.Type, 0), b(15, 6, 3, k.Type, 0);
        ApplyStretch(t, img.View, a.View);
        ApplyStretch(back, img.View, b.View);
        EXPECT_EQ(a.Bytes, b.Bytes);
        for (TSampleType other : SampleTypes) {
            if (other == k.Type)
                continue;
            TTestImage wrong(15, 6, 3, other, 0);
            const std::string why = Refusal([&] { ApplyStretch(back, wrong.View, wrong.View); });
            EXPECT_NE(why.find(SampleTypeName(k.Type)), std::string::npos) << why;
            EXPECT_NE(why.find(SampleTypeName(other)), std::string::npos) << why;
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

TEST(SampleTypes, SaturationLimitsAreExactOrderStatistics) {
    std::mt19937 random(43);
    for (TSampleType type : {TSampleType::Float64, TSampleType::Int32, TSampleType::UInt32,
                             TSampleType::Int16, TSampleType::Int8}) {
        const TKind& k = Kind(type);
        // Values crowded into a few keys' worth of their range, so that the limits lie among
        // keys that share all but their last bits: only the last pass tells them apart.
        TTestImage img(61, 29, 2, type, 1);
        const long double centre = k.Float ? 0.3L : std::floor(k.Bottom + (k.Top - k.Bottom) / 4);
        const unsigned spread = type == TSampleType::Int8 ? 100 : 200;
        for (int64_t y = 0; y < 29; ++y)
            for (int64_t x = 0; x < 61; ++x)
                for (int b = 0; b < 2; ++b) {
                    const long double step = k.Float ? 0x1p-52L : 1;
                    long double v = centre + step * static_cast<long double>(random() % spread);
                    if (random() % 50 == 0) // outliers
                        v = random() % 2 == 0 ? (k.Float ? 0.01L : k.Bottom + 3)
                                              : (k.Float ? 0.9L : k.Top - 3);
                    img.Set(x, y, b, static_cast<double>(v));
                }
        // The identity's outputs are the samples themselves.
        const TBandTransform identity = TBandTransform::Identity(2, type);
        for (const auto& [low, high] : {std::pair{0.01, 0.02}, std::pair{0.3, 0.25}}) {
            TClipHistogram h(identity, low, high);
            int passes = 0;
            while (h.NeedsPass()) {
                // Halves counted apart and merged, the second through its document.
                TClipHistogram top = h.Empty(), bottom = h.Empty();
                top.Measure(Strip(img.View, 0, 13));
                bottom.Measure(Strip(img.View, 13, 16));
                h.Merge(top);
                h.Merge(ReadClipHistogramJson(WriteClipHistogramJson(bottom)));
                h.FinishPass();
                ++passes;
            }
            EXPECT_EQ(passes, type == TSampleType::Float64                              ? 4
                              : type == TSampleType::Int16 || type == TSampleType::Int8 ? 1
                                                                                        : 2);
            const TJsonValue doc = ParseJson(WriteClipHistogramJson(h));
            for (int b = 0; b < 2; ++b) {
                std::vector<double> v;
                for (int64_t y = 0; y < 29; ++y)
                    for (int64_t x = 0; x < 61; ++x)
                        v.push_back(img.Get(x, y, b));
                const auto n = static_cast<double>(v.size());
                // L: the smallest value with more than low N at or below it; H likewise.
                const auto lowAt = static_cast<size_t>(std::floor(low * n));
                const auto highAt = v.size() - 1 - static_cast<size_t>(std::floor(high * n));
                std::nth_element(v.begin(), v.begin() + static_cast<int64_t>(lowAt), v.end());
                const double expectedLow = v[lowAt];
                std::nth_element(v.begin(), v.begin() + static_cast<int64_t>(highAt), v.end());
                const double expectedHigh = v[highAt];
                const TJsonValue& limit = doc["limit"][static_cast<size_t>(b)];
                EXPECT_EQ(limit[0].AsDouble(), expectedLow) << SampleTypeName(type);
                EXPECT_EQ(limit[1].AsDouble(), expectedHigh) << SampleTypeName(type);
            }
            // The clipped map takes the limits to the ends of the range (integers: their
            // levels' outer halves).
            const TBandTransform c = h.Clipped();
            const double lowLimit = doc["limit"][0][0].AsDouble();
            const double highLimit = doc["limit"][0][1].AsDouble();
            const long double edge = k.Float ? 0 : 0.5L;
            const long double bottom = k.Float ? 0 : k.Bottom;
            const long double atLow = (lowLimit + edge) * c.Map.M[0][0] + c.Map.M[0][2];
            const long double atHigh = (highLimit - edge) * c.Map.M[0][0] + c.Map.M[0][2];
            // Within the rounding of the map's doubles, whose terms are large when the limits
            // lie close together.
            const auto tolerance = [&](double limit) {
                return 0x1p-50 * (std::fabs(limit * c.Map.M[0][0]) + std::fabs(c.Map.M[0][2]) +
                                  static_cast<double>(k.Top - bottom));
            };
            EXPECT_NEAR(static_cast<double>(atLow), static_cast<double>(bottom + edge),
                        tolerance(lowLimit))
                << SampleTypeName(type);
            EXPECT_NEAR(static_cast<double>(atHigh), static_cast<double>(k.Top - edge),
                        tolerance(highLimit))
                << SampleTypeName(type);
        }
    }
}

TEST(SampleTypes, Float64SaturationOfAFittedStretchCountsItsOutputs) {
    // The limits of a fitted stretch are order statistics of its own outputs, computed here as
    // the engine defines them.
    std::mt19937 random(47);
    TTestImage img(33, 21, 3, TSampleType::Float64, 4);
    FillSpread(img, random);
    TFitOptions o;
    o.Pairing = TBandPairing::Direct;
    const TBandTransform t = FitStretch(img.View, {}, o);
    o.Clip = true;
    o.ClipLow = 0.07;
    o.ClipHigh = 0.11;
    TStretchFit fit(o, 3, TSampleType::Float64);
    EXPECT_EQ(fit.Passes(), 2 + 4);
    TClipHistogram h(t, o.ClipLow, o.ClipHigh);
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
        const auto n = static_cast<double>(outputs.size());
        const auto lowAt = static_cast<size_t>(std::floor(o.ClipLow * n));
        const auto highAt = outputs.size() - 1 - static_cast<size_t>(std::floor(o.ClipHigh * n));
        std::nth_element(outputs.begin(), outputs.begin() + static_cast<int64_t>(lowAt),
                         outputs.end());
        EXPECT_EQ(doc["limit"][static_cast<size_t>(b)][0].AsDouble(), outputs[lowAt]);
        std::nth_element(outputs.begin(), outputs.begin() + static_cast<int64_t>(highAt),
                         outputs.end());
        EXPECT_EQ(doc["limit"][static_cast<size_t>(b)][1].AsDouble(), outputs[highAt]);
    }
    // The fit's own passes reach the same clipped stretch.
    while (fit.NeedsPass()) {
        fit.Measure(img.View);
        fit.FinishPass();
    }
    const TBandTransform clipped = fit.Result(), direct = h.Clipped();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c <= 3; ++c)
            EXPECT_EQ(clipped.Map.M[r][c], direct.Map.M[r][c]);
}
