// Saturation: each output band of a fitted stretch mapped linearly between two order
// statistics of its stored values over the selected pixels, counted exactly.
#include "stretch/FourByteKernels.h"
#include "stretch/KernelDispatch.h"
#include "stretch/LabSpace.h"
#include "stretch/StreamKernels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

namespace vt {

using namespace detail;

namespace {

constexpr int KeyBins = 1 << 16;
constexpr int KeyDigit = 16; // bits of a key a pass counts

// Samples of the keyed types as unsigned keys in the order of their values: a float's bits
// (-0 just below +0), a 32-bit integer less its type's bottom.
uint64_t OrderedKey(float f) noexcept {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return (u & 0x80000000u) != 0 ? ~u : u | 0x80000000u;
}
uint64_t OrderedKey(double d) noexcept {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    constexpr uint64_t sign = uint64_t{1} << 63;
    return (u & sign) != 0 ? ~u : u | sign;
}
uint64_t OrderedKey(int32_t v) noexcept {
    return static_cast<uint32_t>(v) ^ 0x80000000u;
}
uint64_t OrderedKey(uint32_t v) noexcept {
    return v;
}

// The bits of a type's keys (0 for the types counted level by level).
int KeyBits(TSampleType type) noexcept {
    switch (type) {
    case TSampleType::Float32:
    case TSampleType::Int32:
    case TSampleType::UInt32:
        return 32;
    case TSampleType::Float64:
        return 64;
    default:
        return 0;
    }
}

// The sample whose key that is.
double ValueOfKey(uint64_t key, TSampleType type) noexcept {
    switch (type) {
    case TSampleType::Float32: {
        const auto k = static_cast<uint32_t>(key);
        const uint32_t u = (k & 0x80000000u) != 0 ? k & 0x7fffffffu : ~k;
        float f;
        std::memcpy(&f, &u, sizeof f);
        return f;
    }
    case TSampleType::Float64: {
        constexpr uint64_t sign = uint64_t{1} << 63;
        const uint64_t u = (key & sign) != 0 ? key & ~sign : ~key;
        double d;
        std::memcpy(&d, &u, sizeof d);
        return d;
    }
    default:
        return static_cast<double>(key) + SampleBottom(type);
    }
}

// Counts stored 8- or 16-bit samples into their bands' levels (the value less the type's
// bottom).
template <class T>
void CountLevels(const uint8_t* out, int64_t samples, int n, size_t levels,
                 uint64_t* bins) noexcept {
    constexpr int64_t bottom = std::numeric_limits<T>::min();
    for (int64_t s = 0; s < samples; ++s) {
        T v;
        std::memcpy(&v, out + s * static_cast<int64_t>(sizeof v), sizeof v);
        ++bins[static_cast<size_t>(s % n) * levels + static_cast<size_t>(v - bottom)];
    }
}

// What a pass over keyed samples counts: the first, each band's keys by their top 16 bits;
// each later one, of the keys that share the bits found so far (Prefix) on either side, the
// next 16 bits, into a set of bins of each side.
struct TKeyPass {
    int Bits = 32, Pass = 0;
    size_t Levels = KeyBins;
    const std::array<uint64_t, 2>* Prefix = nullptr;
};

template <class T>
void CountKeys(const uint8_t* out, int64_t samples, int n, const TKeyPass& k, uint64_t* bins,
               int64_t* counts) noexcept {
    const int shift = k.Bits - KeyDigit * (k.Pass + 1);
    for (int64_t s = 0; s < samples; ++s) {
        T v;
        std::memcpy(&v, out + s * static_cast<int64_t>(sizeof v), sizeof v);
        if constexpr (std::is_floating_point_v<T>)
            if (v != v)
                continue; // not a number: no order statistic
        const uint64_t key = OrderedKey(v);
        const auto band = static_cast<size_t>(s % n);
        const auto digit = static_cast<size_t>(key >> shift & (KeyBins - 1));
        if (k.Pass == 0) {
            ++bins[band * k.Levels + digit];
            ++counts[band];
            continue;
        }
        for (size_t side = 0; side < 2; ++side)
            if (key >> (shift + KeyDigit) == k.Prefix[band][side])
                ++bins[(2 * band + side) * k.Levels + digit];
    }
}

// The first bin from the bottom (Up) or the top at which the running count, starting from
// Before, exceeds Limit; Before then holds the count of the bins passed over. -1 when none.
int Crossing(const uint64_t* bins, int count, bool up, double limit, uint64_t& before) noexcept {
    for (int i = 0; i < count; ++i) {
        const int bin = up ? i : count - 1 - i;
        if (static_cast<double>(before + bins[bin]) > limit)
            return bin;
        before += bins[bin];
    }
    return -1;
}

} // namespace

TClipHistogram::TClipHistogram(const TBandTransform& T, double Low, double High)
    : Stretch(T), LowFraction(Low), HighFraction(High) {
    // The limits are taken from the stretch's own outputs, unclamped even when T was fitted
    // with the clip among its options.
    Stretch.Options.Clip = false;
    if (!(Low >= 0 && High >= 0 && Low + High < 1))
        throw EStretch("the saturated fractions must be at least 0 and together below 1");
    if (T.Bands < 1 || T.Bands > MaxBands)
        throw EStretch(Format("images have 1 to %d bands, not %d", {MaxBands, T.Bands}));
    CheckShape(T.Bands, T.Order, T.Map);
    Passes = PassesFor(T.Type);
    const size_t levels =
        Passes > 1 ? KeyBins : static_cast<size_t>(SampleTop(T.Type) - SampleBottom(T.Type)) + 1;
    Bins.assign(levels * static_cast<size_t>(T.Bands), 0);
    const auto n = static_cast<size_t>(T.Bands);
    Count.assign(n, 0);
    Prefix.assign(n, {0, 0});
    Passed.assign(n, {0, 0});
    Limit.assign(n, {0.0, 0.0});
}

int TClipHistogram::PassesFor(TSampleType Type) noexcept {
    const int bits = KeyBits(Type);
    return bits == 0 ? 1 : bits / KeyDigit;
}

namespace {

// Counts the stored outputs of T over four-byte cells into each band's levels (8-bit), a run
// of pixels at a time through a scratch row.
void CountFourBytes(const TBandTransform& t, const TSegments& segments, int64_t bandStride,
                    std::vector<uint64_t>& bins) {
    constexpr int64_t Run = 4096;
    std::vector<uint8_t> scratch(4 * Run);
    TSegments out;
    out.Count = 1;
    out.First = bandStride > 0 ? scratch.data() : scratch.data() + 2;
    const size_t levels = bins.size() / 3;
    for (int64_t r = 0; r < segments.Count; ++r)
        for (int64_t x = 0; x < segments.Length; x += Run) {
            TSegments in;
            in.Count = 1;
            in.First = segments.First + r * segments.Stride + 4 * x;
            in.Length = out.Length = std::min(Run, segments.Length - x);
            FourByteApply(in, out, bandStride, t);
            for (size_t k = 0; k < static_cast<size_t>(in.Length); ++k)
                for (size_t b = 0; b < 3; ++b)
                    ++bins[b * levels + out.First[static_cast<int64_t>(4 * k) +
                                                  bandStride * static_cast<int64_t>(b)]];
        }
}

} // namespace

void TClipHistogram::Measure(const TImageView& Stored, const TSelection& Given,
                             const TRunOptions& Run) {
    TRunScope scope(Run);
    const TImageView Image =
        InWorkingOrder(Stored, ReadsBandsReversed(Stretch.Options.Pairing, Stretch.Bands));
    if (Pass >= Passes)
        throw EStretch("the saturation has taken all its passes");
    if (Image.Bands != Stretch.Bands || Image.Type != Stretch.Type)
        throw EStretch(Format("the stretch is for %d-band %s images, not %d-band %s",
                              {Stretch.Bands, SampleTypeName(Stretch.Type), Image.Bands,
                               SampleTypeName(Image.Type)}));
    const TRegion region = RegionOf(Image, Given);
    const TSelection selection = SelectionFor(Image, Given);
    TFloatEnvironmentGuard environment;
    const bool plain = selection.Mask == nullptr && !selection.HasNoData && region.Every == 1;
    const TSegments segments = plain ? PackedSegments(Image, region) : SegmentsOf(Image, region);
    const int parts = PartsFor(segments);
    const int n = Image.Bands;
    const TSampleType type = Image.Type;
    const bool keyed = Passes > 1, refine = keyed && Pass > 0;
    const bool screen = selection.HasNoData || IsFloatSample(type);
    const TStreamApply apply(Stretch, type, type);
    // Lab's outputs come through L*a*b*, a block at a time.
    const bool lab = Stretch.Options.Space == TColourSpace::Lab;
    const std::optional<TLabApply> labApply =
        lab ? std::optional<TLabApply>(std::in_place, Stretch, type) : std::nullopt;
    // Each part counts into bins of its own (the first into the histogram's), kept across the
    // pass's measures and folded in when it ends; counts add up the same whatever the cut.
    if (PartBins.size() < static_cast<size_t>(parts)) {
        PartBins.resize(static_cast<size_t>(parts));
        PartCounts.resize(static_cast<size_t>(parts));
    }
    for (size_t i = 1; i < static_cast<size_t>(parts); ++i)
        if (PartBins[i].size() != Bins.size()) {
            PartBins[i].assign(Bins.size(), 0);
            PartCounts[i].assign(static_cast<size_t>(n), 0);
        }
    // Four-byte cells: the outputs of a run of pixels at a time, counted from a scratch row.
    const bool fourBytes =
        !lab &&
        KernelFamilyFor(Image, &selection, TKernelPass::Count(Stretch)) == TKernelFamily::FourByte;
    TKeyPass keys;
    keys.Bits = KeyBits(type);
    keys.Pass = Pass;
    keys.Levels = Bins.size() / static_cast<size_t>(refine ? 2 * n : n);
    keys.Prefix = Prefix.data();
    RunParts(parts, [&](int p) {
        const auto i = static_cast<size_t>(p);
        std::vector<uint64_t>& mine = p == 0 ? Bins : PartBins[i];
        int64_t* counts = p == 0 ? Count.data() : PartCounts[i].data();
        if (fourBytes) {
            CountFourBytes(Stretch, PartOf(segments, p, parts), Image.BandStride, mine);
            return;
        }
        TSampleBlock block(n, type);
        std::vector<uint8_t> out(static_cast<size_t>(block.Capacity() * n) * SampleBytes(type));
        ForEachBlock(
            Image, selection, PartOf(segments, p, parts), screen, block, [&](TSampleBlock& b) {
                if (b.Count() == 0)
                    return;
                if (labApply)
                    labApply->Run(b, out.data());
                else
                    apply.Run(b, out.data());
                const int64_t samples = b.Count() * n;
                uint64_t* bins = mine.data();
                switch (type) {
                case TSampleType::UInt8:
                    return CountLevels<uint8_t>(out.data(), samples, n, keys.Levels, bins);
                case TSampleType::UInt16:
                    return CountLevels<uint16_t>(out.data(), samples, n, keys.Levels, bins);
                case TSampleType::Int8:
                    return CountLevels<int8_t>(out.data(), samples, n, keys.Levels, bins);
                case TSampleType::Int16:
                    return CountLevels<int16_t>(out.data(), samples, n, keys.Levels, bins);
                case TSampleType::Float32:
                    return CountKeys<float>(out.data(), samples, n, keys, bins, counts);
                case TSampleType::Float64:
                    return CountKeys<double>(out.data(), samples, n, keys, bins, counts);
                case TSampleType::Int32:
                    return CountKeys<int32_t>(out.data(), samples, n, keys, bins, counts);
                case TSampleType::UInt32:
                    return CountKeys<uint32_t>(out.data(), samples, n, keys, bins, counts);
                }
            });
    });
}

void TClipHistogram::Fold() {
    const int n = Stretch.Bands;
    for (size_t i = 1; i < PartBins.size(); ++i) {
        if (PartBins[i].size() != Bins.size())
            continue;
        for (size_t k = 0; k < Bins.size(); ++k)
            Bins[k] += PartBins[i][k];
        for (int b = 0; b < n; ++b)
            Count[b] += PartCounts[i][static_cast<size_t>(b)];
    }
    PartBins.clear();
    PartCounts.clear();
}

uint64_t TClipHistogram::Total(size_t k) const noexcept {
    uint64_t total = Bins[k];
    for (size_t i = 1; i < PartBins.size(); ++i)
        if (PartBins[i].size() == Bins.size())
            total += PartBins[i][k];
    return total;
}

int64_t TClipHistogram::TotalCount(int b) const noexcept {
    int64_t total = Count[b];
    for (size_t i = 1; i < PartBins.size(); ++i)
        if (PartBins[i].size() == Bins.size())
            total += PartCounts[i][static_cast<size_t>(b)];
    return total;
}

void TClipHistogram::FinishPass() {
    if (Pass >= Passes)
        throw EStretch("the saturation has taken all its passes");
    Fold();
    const int n = Stretch.Bands;
    const bool keyed = Passes > 1, last = Pass + 1 == Passes;
    const size_t levels = Bins.size() / static_cast<size_t>(Pass > 0 ? 2 * n : n);
    for (int b = 0; b < n; ++b) {
        const auto band = static_cast<size_t>(b);
        if (!keyed) {
            const uint64_t* h = Bins.data() + band * levels;
            uint64_t total = 0;
            for (size_t v = 0; v < levels; ++v)
                total += h[v];
            Count[b] = static_cast<int64_t>(total);
        }
        const double count = static_cast<double>(Count[b]);
        // L: more than Low N values lie at or below it; H: more than High N at or above.
        if (Pass == 0) {
            const uint64_t* h = Bins.data() + band * levels;
            uint64_t below = 0, above = 0;
            const int low = Crossing(h, static_cast<int>(levels), true, LowFraction * count, below);
            const int high =
                Crossing(h, static_cast<int>(levels), false, HighFraction * count, above);
            if (!keyed) {
                const double bottom = SampleBottom(Stretch.Type);
                Limit[b][0] = low + bottom;
                Limit[b][1] = high + bottom;
            } else {
                Prefix[b][0] = low < 0 ? 0 : static_cast<uint64_t>(low);
                Prefix[b][1] = high < 0 ? 0 : static_cast<uint64_t>(high);
                Passed[b][0] = below;
                Passed[b][1] = above;
                Limit[b][0] = Limit[b][1] = low < 0 || high < 0 ? NAN : 0.0;
            }
        } else if (!std::isnan(Limit[b][0])) {
            for (size_t side = 0; side < 2; ++side) {
                const uint64_t* h = Bins.data() + (2 * band + side) * levels;
                uint64_t before = Passed[b][side];
                const int q = Crossing(h, KeyBins, side == 0,
                                       (side == 0 ? LowFraction : HighFraction) * count, before);
                if (q < 0) {
                    Limit[b][side] = NAN;
                    continue;
                }
                const uint64_t key = Prefix[b][side] << KeyDigit | static_cast<uint64_t>(q);
                if (last) {
                    Limit[b][side] = ValueOfKey(key, Stretch.Type);
                } else {
                    // The next pass refines among the keys that begin so.
                    Prefix[b][side] = key;
                    Passed[b][side] = before;
                }
            }
            // Before the last pass, a side that found no bin leaves the band without limits.
            if (!last && (std::isnan(Limit[b][0]) || std::isnan(Limit[b][1])))
                Limit[b][0] = Limit[b][1] = NAN;
        }
    }
    ++Pass;
    // The refining passes count each side apart.
    if (Pass < Passes)
        Bins.assign(static_cast<size_t>(KeyBins) * 2 * static_cast<size_t>(n), 0);
}

TClipHistogram TClipHistogram::Empty() const {
    TClipHistogram h = *this;
    h.PartBins.clear();
    h.PartCounts.clear();
    std::fill(h.Bins.begin(), h.Bins.end(), 0);
    // A float's second pass judges its bins against the first pass's count, which stays.
    if (Pass == 0)
        std::fill(h.Count.begin(), h.Count.end(), 0);
    return h;
}

void TClipHistogram::Merge(const TClipHistogram& Other) {
    const int n = Stretch.Bands;
    bool same = Other.Stretch.Bands == n && Other.Stretch.Type == Stretch.Type &&
                Other.LowFraction == LowFraction && Other.HighFraction == HighFraction &&
                Other.Pass == Pass && Other.Bins.size() == Bins.size();
    for (int j = 0; same && j < n; ++j) {
        same = Other.Stretch.Order[j] == Stretch.Order[j];
        for (int c = 0; same && c <= n; ++c)
            same = Other.Stretch.Map.M[j][c] == Stretch.Map.M[j][c];
        for (size_t side = 0; same && side < 2; ++side)
            same = Other.Prefix[j][side] == Prefix[j][side];
    }
    if (!same)
        throw EStretch("the saturation histograms are of other stretches, fractions or passes");
    if (Pass >= Passes)
        throw EStretch("the saturation has taken all its passes");
    for (size_t k = 0; k < Bins.size(); ++k)
        Bins[k] += Other.Total(k);
    if (Pass == 0)
        for (int b = 0; b < n; ++b)
            Count[b] += Other.TotalCount(b);
}

TBandTransform TClipHistogram::Clipped() const {
    if (Pass < Passes)
        throw EStretch("the saturation has not taken all its passes");
    const int n = Stretch.Bands;
    bool counted = false;
    for (int b = 0; b < n; ++b)
        counted = counted || Count[b] > 0;
    if (!counted)
        throw EStretch("no pixels selected: the saturation counted no value");
    const double bottom = SampleBottom(Stretch.Type), top = SampleTop(Stretch.Type);
    TBandTransform t = Stretch;
    t.Options.Clip = true;
    t.Options.ClipLow = LowFraction;
    t.Options.ClipHigh = HighFraction;
    // Integer levels are intervals: level L holds the values below L + 1/2, so the map takes
    // L + 1/2 to bottom + 1/2 and H - 1/2 to top - 1/2, and every pixel stored at or beyond a
    // limit lands on the end of the range. Floats map L and H themselves onto 0 and 1.
    const Extended edge = IsFloatSample(Stretch.Type) ? 0.0L : 0.5L;
    const Extended span = static_cast<Extended>(top) - bottom;
    for (int j = 0; j < n; ++j) {
        const int b = t.Order[j];
        const Extended low = Limit[b][0] + edge, high = Limit[b][1] - edge;
        if (Count[b] == 0 || !std::isfinite(Limit[b][0]) || !std::isfinite(Limit[b][1]) ||
            !(high > low))
            continue;
        // x' = (F(x) - low) (top - bottom - 2 edge) / (high - low) + bottom + edge.
        const Extended scale = (span - 2 * edge) / (high - low);
        if (t.Options.Space == TColourSpace::Lab) {
            // After the conversion back to RGB, which no affine map holds.
            t.LabGain[b] = static_cast<double>(scale);
            t.LabLift[b] = static_cast<double>((edge + bottom) - low * scale);
            continue;
        }
        for (int c = 0; c < n; ++c)
            t.Map.M[j][c] = static_cast<double>(t.Map.M[j][c] * scale);
        t.Map.M[j][n] = static_cast<double>((t.Map.M[j][n] - low) * scale + (edge + bottom));
    }
    return t;
}

TBandTransform ClipStretch(const TBandTransform& T, const TImageView& Image,
                           const TSelection& Selection, double Low, double High,
                           const TRunOptions& Run) {
    TClipHistogram clip(T, Low, High);
    while (clip.NeedsPass()) {
        clip.Measure(Image, Selection, Run);
        clip.FinishPass();
    }
    return clip.Clipped();
}

} // namespace vt
