// The lab space: sRGB samples to CIE L*a*b* (D65) and back, the passes that stage the selected
// pixels' L*a*b* values a block at a time for the float kernels, the fit's box, and the
// application through L*a*b*. The affine spaces never come here.
#include "stretch/LabSpace.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace vt {

using namespace detail;

namespace {

// ---- The conversions -----------------------------------------------------------------------

constexpr double Delta = 6.0 / 29;
constexpr double DeltaCubed = Delta * Delta * Delta;
constexpr double Slope = 3 * Delta * Delta; // f's linear part: t / Slope + 4/29

// Linear sRGB to XYZ (D65), IEC 61966-2-1's primaries to seven places.
constexpr double SrgbToXyz[3][3] = {{0.4124564, 0.3575761, 0.1804375},
                                    {0.2126729, 0.7151522, 0.0721750},
                                    {0.0193339, 0.1191920, 0.9503041}};

// The matrix with each row divided by its sum (X / Xn, Y / Yn, Z / Zn, the white being the
// matrix's own), and its inverse, computed once in extended precision.
struct TLabMatrices {
    double Forward[3][3];
    double Back[3][3];

    TLabMatrices() noexcept {
        TFloatEnvironmentGuard environment;
        Extended m[3][3];
        for (int r = 0; r < 3; ++r) {
            const Extended sum =
                static_cast<Extended>(SrgbToXyz[r][0]) + SrgbToXyz[r][1] + SrgbToXyz[r][2];
            for (int c = 0; c < 3; ++c) {
                m[r][c] = SrgbToXyz[r][c] / sum;
                Forward[r][c] = static_cast<double>(m[r][c]);
            }
        }
        const Extended det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                             m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                             m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) {
                // The cofactor of (c, r): the adjugate's element (r, c).
                const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
                Back[r][c] =
                    static_cast<double>((m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det);
            }
    }
};

const TLabMatrices& Matrices() noexcept {
    static const TLabMatrices matrices;
    return matrices;
}

// The sRGB transfer function and its inverse, odd beyond 0.
double Decode(double c) noexcept {
    const double a = std::fabs(c);
    return std::copysign(a <= 0.04045 ? a / 12.92 : std::pow((a + 0.055) / 1.055, 2.4), c);
}

double Encode(double l) noexcept {
    const double a = std::fabs(l);
    return std::copysign(a <= 0.0031308 ? a * 12.92 : 1.055 * std::pow(a, 1 / 2.4) - 0.055, l);
}

// The cube root of t > 0 in plain arithmetic, without a library call or a division, so that
// loops of it vectorise and every build gives the same bits: t^(-1/3) guessed from the bits
// (within 7 %), four Newton steps, each about squaring the relative error (5e-3, 2e-5, 5e-10,
// then about 1e-15), and t times its square.
double CubeRoot(double t) noexcept {
    uint64_t bits;
    std::memcpy(&bits, &t, sizeof bits);
    bits = 0x553EF0FF289DD796ull - bits / 3;
    double r;
    std::memcpy(&r, &bits, sizeof r);
    const double third = t / 3;
    for (int i = 0; i < 4; ++i)
        r *= 4.0 / 3 - third * r * r * r;
    return t * r * r;
}

// Both sides computed, one kept (a root of t <= 0 is never used), so that loops vectorise.
double F(double t) noexcept {
    const double root = CubeRoot(t), line = t / Slope + 4.0 / 29;
    return t > DeltaCubed ? root : line;
}

double FInverse(double u) noexcept {
    return u > Delta ? u * u * u : Slope * (u - 4.0 / 29);
}

// Every level's linear value, for the integer types Lab takes.
std::vector<double> LevelTable(int levels) {
    std::vector<double> table(static_cast<size_t>(levels));
    for (int k = 0; k < levels; ++k)
        table[static_cast<size_t>(k)] = Decode(static_cast<double>(k) / (levels - 1));
    return table;
}

const double* Levels(TSampleType type) {
    if (type == TSampleType::UInt8) {
        static const std::vector<double> table = LevelTable(256);
        return table.data();
    }
    if (type == TSampleType::UInt16) {
        static const std::vector<double> table = LevelTable(65536);
        return table.data();
    }
    return nullptr;
}

// Compensated-sum halves of an extended value.
TCompensatedSum CompensatedOf(Extended v) noexcept {
    TCompensatedSum s;
    s.High = static_cast<double>(v);
    s.Low = static_cast<double>(v - s.High);
    return s;
}

// ---- Staging -------------------------------------------------------------------------------

// One part's stage: the selected pixels' samples gathered a block at a time, their L*a*b*
// values (or places in the box), and the block of them the kernels read.
struct TLabStage {
    TSampleBlock Block{3, TSampleType::Float64};
    std::vector<double> Rgb, Lab;
    TLabStage()
        : Rgb(static_cast<size_t>(3 * Block.Capacity())),
          Lab(static_cast<size_t>(3 * Block.Capacity())) {}
};

// Calls Use(block) with the L*a*b* values of the selected pixels of the segments (in the box
// when Boxed), a block at a time, in scan order.
template <class TUse>
void ForEachLabBlock(const TImageView& v, const TSelection& sel, const TSegments& seg, bool screen,
                     bool boxed, TLabStage& stage, const TUse& use) {
    static const TImageView labView =
        TImageView::Interleaved(nullptr, 1, 1, 3, TSampleType::Float64);
    const int64_t room = stage.Block.Capacity();
    int64_t count = 0;
    const auto flush = [&] {
        LabOfSamples(stage.Rgb.data(), count, v.Type, stage.Lab.data());
        if (boxed)
            for (int64_t i = 0; i < 3 * count; ++i)
                stage.Lab[static_cast<size_t>(i)] =
                    stage.Lab[static_cast<size_t>(i)] * BoxScale[i % 3] + BoxShift[i % 3];
        stage.Block.Clear();
        stage.Block.Read(reinterpret_cast<const uint8_t*>(stage.Lab.data()), count,
                         3 * static_cast<int64_t>(sizeof(double)), labView);
        use(stage.Block);
        count = 0;
    };
    ForEachSelected(v, sel, seg, screen, [&](const uint8_t* p) {
        double* rgb = stage.Rgb.data() + 3 * count;
        for (int b = 0; b < 3; ++b)
            rgb[b] = LoadSample(p + b * v.BandStride, v.Type);
        if (++count == room)
            flush();
    });
    if (count > 0)
        flush();
}

// The segments of a lab pass over the selection, which must hold Lab's pixels.
struct TLabPass {
    TSelection Selection;
    TSegments Segments;
    bool Screen;

    TLabPass(const TImageView& image, const TSelection& given) {
        CheckLabImage(image.Bands, image.Type);
        const TRegion region = RegionOf(image, given);
        Selection = SelectionFor(image, given);
        Segments = SegmentsOf(image, region);
        Screen = Selection.HasNoData || IsFloatSample(image.Type);
    }
};

} // namespace

namespace detail {

void CheckLabImage(int bands, TSampleType type) {
    if (bands != 3)
        throw EStretch(Format("colour spaces are for images of three bands, not %d", {bands}));
    if (type != TSampleType::UInt8 && type != TSampleType::UInt16 && type != TSampleType::Float32 &&
        type != TSampleType::Float64)
        throw EStretch(std::string("the lab space takes uint8, uint16, float32 or float64 "
                                   "samples, not ") +
                       SampleTypeName(type));
}

void LabOfSamples(const double* rgb, int64_t count, TSampleType type, double* lab) noexcept {
    // Step by step over the whole block, in place in lab: linear light, X / Xn, Y / Yn,
    // Z / Zn, f of each, then L*a*b*.
    const TLabMatrices& m = Matrices();
    const double* levels = Levels(type);
    const int64_t samples = 3 * count;
    if (levels != nullptr)
        for (int64_t s = 0; s < samples; ++s)
            lab[s] = levels[static_cast<size_t>(rgb[s])];
    else
        for (int64_t s = 0; s < samples; ++s)
            lab[s] = Decode(rgb[s]);
    for (int64_t i = 0; i < count; ++i) {
        double* v = lab + 3 * i;
        const double r = v[0], g = v[1], b = v[2];
        for (int k = 0; k < 3; ++k)
            v[k] = m.Forward[k][0] * r + m.Forward[k][1] * g + m.Forward[k][2] * b;
    }
    for (int64_t s = 0; s < samples; ++s)
        lab[s] = F(lab[s]);
    for (int64_t i = 0; i < count; ++i) {
        double* v = lab + 3 * i;
        const double fx = v[0], fy = v[1], fz = v[2];
        v[0] = 116 * fy - 16;
        v[1] = 500 * (fx - fy);
        v[2] = 200 * (fy - fz);
    }
}

void LinearOfLab(const double* lab, int64_t count, double* linear) noexcept {
    const TLabMatrices& m = Matrices();
    for (int64_t i = 0; i < count; ++i) {
        const double* v = lab + 3 * i;
        const double fy = (v[0] + 16) / 116;
        const double xyz[3] = {FInverse(fy + v[1] / 500), FInverse(fy), FInverse(fy - v[2] / 200)};
        double* out = linear + 3 * i;
        for (int r = 0; r < 3; ++r)
            out[r] = m.Back[r][0] * xyz[0] + m.Back[r][1] * xyz[1] + m.Back[r][2] * xyz[2];
    }
}

void SamplesOfLab(const double* lab, int64_t count, TSampleType type, double* rgb) noexcept {
    const double top = SampleTop(type);
    LinearOfLab(lab, count, rgb);
    for (int64_t s = 0; s < 3 * count; ++s)
        rgb[s] = top * Encode(rgb[s]);
}

TStatistics LabBoxStatistics(const TStatistics& lab) {
    if (lab.Bands != 3 || lab.Type != TSampleType::Float64)
        throw EStretch("a lab fit takes the float64 statistics of three L*a*b* bands");
    TFloatEnvironmentGuard environment;
    // y = s x + t: sums s Sx + t N, products s_a s_b Sab + s_a t_b Sa + t_a s_b Sb + t_a t_b N.
    TStatistics box = lab;
    const Extended n = static_cast<Extended>(lab.Count);
    for (int a = 0; a < 3; ++a) {
        const Extended sa = BoxScale[a], ta = BoxShift[a];
        box.RealSum[a] = CompensatedOf(sa * lab.SumOf(a) + ta * n);
        for (int b = a; b < 3; ++b) {
            const Extended sb = BoxScale[b], tb = BoxShift[b];
            box.RealProduct[a][b] =
                CompensatedOf(sa * sb * lab.ProductOf(a, b) + sa * tb * lab.SumOf(a) +
                              ta * sb * lab.SumOf(b) + ta * tb * n);
        }
        if (lab.Count > 0) {
            box.Lowest[a] = static_cast<double>(sa * lab.Lowest[a] + ta);
            box.Highest[a] = static_cast<double>(sa * lab.Highest[a] + ta);
        }
    }
    return box;
}

TFitOptions LabBoxOptions(const TFitOptions& options) {
    TFitOptions box = options;
    box.Space = TColourSpace::None;
    box.Pairing = TBandPairing::Direct;
    box.Clip = false;
    for (int b = 0; b < 3; ++b) {
        if (!std::isnan(options.TargetMean[b]))
            box.TargetMean[b] = options.TargetMean[b] * BoxScale[b] + BoxShift[b];
        if (!std::isnan(options.TargetSigma[b]))
            box.TargetSigma[b] = options.TargetSigma[b] * BoxScale[b];
    }
    return box;
}

TBandTransform LabTransformOf(const TBandTransform& box, const TFitOptions& options,
                              TSampleType type, const TStatistics& lab) {
    TFloatEnvironmentGuard environment;
    TBandTransform t = TBandTransform::Identity(3, type);
    t.Options = options;
    t.Options.Method = box.Options.Method;
    t.Options.Pairing = TBandPairing::Direct;
    t.Statistics = lab;
    t.HasNoData = box.HasNoData;
    t.NoData = box.NoData;
    // B^-1 (M (B x)) with B x = s x + t: weights M_ij s_j / s_i, constants
    // (sum_j M_ij t_j + c_i - t_i) / s_i. The box transform sums in the bands' order.
    for (int i = 0; i < 3; ++i) {
        Extended constant = static_cast<Extended>(box.Map.M[i][3]) - BoxShift[i];
        for (int j = 0; j < 3; ++j) {
            t.Map.M[i][j] = static_cast<double>(static_cast<Extended>(box.Map.M[i][j]) *
                                                BoxScale[j] / BoxScale[i]);
            constant += static_cast<Extended>(box.Map.M[i][j]) * BoxShift[j];
        }
        t.Map.M[i][3] = static_cast<double>(constant / BoxScale[i]);
    }
    return t;
}

TStatistics MeasureLab(const TImageView& image, const TSelection& given) {
    const TLabPass pass(image, given);
    // Compensated sums add up in parts that the image alone decides.
    const int threads = PartsFor(pass.Segments), parts = FixedPartsFor(pass.Segments);
    std::vector<TStatistics> partStats(static_cast<size_t>(parts),
                                       TStatistics(3, TSampleType::Float64));
    std::vector<TLabStage> stages(static_cast<size_t>(parts));
    std::vector<TStreamStatistics> sums;
    for (int p = 0; p < parts; ++p)
        sums.emplace_back(3, TSampleType::Float64);
    TFloatEnvironmentGuard environment;
    RunParts(parts, threads, [&](int p) {
        const auto i = static_cast<size_t>(p);
        ForEachLabBlock(image, pass.Selection, PartOf(pass.Segments, p, parts), pass.Screen, false,
                        stages[i], [&](TSampleBlock& block) { sums[i].Add(block, nullptr); });
        sums[i].AddTo(partStats[i]);
    });
    TStatistics total(3, TSampleType::Float64);
    for (const TStatistics& s : partStats)
        total.Add(s);
    return total;
}

TComponentRanges MeasureLabRanges(const TImageView& image, const TSelection& given,
                                  const TPrincipalAxes& boxAxes) {
    const TLabPass pass(image, given);
    if (boxAxes.Bands != 3)
        throw EStretch(Format("the axes are for %d bands, the image has 3", {boxAxes.Bands}));
    // Extremes of parts combine in order into those of one scan.
    const int parts = PartsFor(pass.Segments);
    std::vector<TComponentRanges> partRanges(static_cast<size_t>(parts), TComponentRanges(3));
    std::vector<TLabStage> stages(static_cast<size_t>(parts));
    std::vector<TStreamRanges> scans;
    for (int p = 0; p < parts; ++p)
        scans.emplace_back(boxAxes, partRanges[static_cast<size_t>(p)]);
    TFloatEnvironmentGuard environment;
    RunParts(parts, [&](int p) {
        const auto i = static_cast<size_t>(p);
        ForEachLabBlock(image, pass.Selection, PartOf(pass.Segments, p, parts), pass.Screen, true,
                        stages[i], [&](TSampleBlock& block) { scans[i].Add(block); });
    });
    TComponentRanges ranges(3);
    for (const TComponentRanges& r : partRanges)
        ranges.Add(r);
    return ranges;
}

TLabApply::TLabApply(const TBandTransform& transform, TSampleType out)
    : In(transform.Type), Out(out), Top(SampleTop(transform.Type)) {
    CheckLabImage(transform.Bands, transform.Type);
    if (transform.Options.Pairing != TBandPairing::Direct ||
        !(transform.Order[0] == 0 && transform.Order[1] == 1 && transform.Order[2] == 2))
        throw EStretch("a lab transform pairs its bands directly");
    bool rising = true;
    for (int r = 0; r < 3; ++r) {
        std::copy(transform.Map.M[r], transform.Map.M[r] + 4, Map[r]);
        Gain[r] = transform.LabGain[r];
        Lift[r] = transform.LabLift[r];
        rising = rising && Gain[r] > 0 && std::isfinite(Gain[r]) && std::isfinite(Lift[r]);
    }
    // 8-bit to 8-bit: each band's output level is the count of its thresholds at or below the
    // linear value, threshold k the linear value whose stored sample is k - 1/2.
    if (In == TSampleType::UInt8 && Out == TSampleType::UInt8 && rising) {
        Thresholds.resize(3 * 255);
        for (int b = 0; b < 3; ++b)
            for (int k = 1; k <= 255; ++k)
                Thresholds[static_cast<size_t>(255 * b + k - 1)] =
                    Decode((k - 0.5 - Lift[b]) / Gain[b] / 255);
    }
}

void TLabApply::Run(TSampleBlock& block, uint8_t* out) const {
    const auto size = static_cast<int64_t>(SampleBytes(Out));
    for (int64_t from = 0; from < block.Count(); from += RunPixels)
        RunOf(block.Samples() + 3 * from, std::min(RunPixels, block.Count() - from),
              out + 3 * from * size);
}

void TLabApply::RunOf(const double* samples, int64_t count, uint8_t* out) const {
    // The pixels' L*a*b* values, then their outputs before they are stored; the mapped values.
    std::array<double, 3 * RunPixels> lab{}, mapped{};
    LabOfSamples(samples, count, In, lab.data());
    for (int64_t i = 0; i < count; ++i) {
        const double* v = lab.data() + 3 * i;
        for (int r = 0; r < 3; ++r)
            mapped[static_cast<size_t>(3 * i + r)] =
                Map[r][0] * v[0] + Map[r][1] * v[1] + Map[r][2] * v[2] + Map[r][3];
    }
    if (!Thresholds.empty()) {
        LinearOfLab(mapped.data(), count, lab.data());
        for (int64_t s = 0; s < 3 * count; ++s) {
            // The first threshold above the value, by halving 256 places; not a number
            // stays below them all.
            const double* t = Thresholds.data() + 255 * (s % 3);
            const double x = lab[static_cast<size_t>(s)];
            int level = 0;
            for (int step = 128; step > 0; step /= 2)
                if (level + step <= 255 && t[level + step - 1] <= x)
                    level += step;
            out[s] = static_cast<uint8_t>(level);
        }
        return;
    }
    SamplesOfLab(mapped.data(), count, In, lab.data());
    const auto size = static_cast<int64_t>(SampleBytes(Out));
    for (int64_t s = 0; s < 3 * count; ++s) {
        const double x = lab[static_cast<size_t>(s)] * Gain[s % 3] + Lift[s % 3];
        // Clamped to the pixels' range (integers then rounded half to even); not a number (a
        // map that gives one) stays so.
        const double y = x < 0 ? 0.0 : x > Top ? Top : x;
        uint8_t* p = out + s * size;
        if (Out == TSampleType::Float32) {
            const auto f = static_cast<float>(y);
            std::memcpy(p, &f, sizeof f);
        } else if (Out == TSampleType::Float64) {
            std::memcpy(p, &y, sizeof y);
        } else {
            StoreSample(p, Out, y);
        }
    }
}

} // namespace detail

TStatistics MeasureLabStatistics(const TImageView& Image, const TSelection& Selection,
                                 const TRunOptions& Run) {
    TRunScope scope(Run);
    return MeasureLab(Image, Selection);
}

} // namespace vt
