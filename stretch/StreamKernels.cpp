// The engine's general passes: blocks of pixels as streams of doubles, the choice among the
// kernels' portable, AVX2 and AVX-512 forms (StreamKernels*.cpp) at run time, and the exact
// computations that decide wherever a double sum cannot.
#include "stretch/StreamKernels.h"

#include "stretch/KernelDispatch.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

namespace vt::detail {

Extended WorkingSum(const double* p, const int* order, const double* row, int n) noexcept {
    Extended sum = static_cast<Extended>(p[order[0]]) * row[0];
    for (int j = 1; j < n; ++j)
        sum += static_cast<Extended>(p[order[j]]) * row[j];
    return sum + row[n];
}

const TStreamKernels& StreamKernelsFor(int bands) noexcept {
    const int i = IsGeneralBands(bands) ? 0 : bands - 1;
#if defined(VT_STREAM_WIDE)
    if (UseWideKernels())
        return avx512::Table[i];
    if (UseVectorKernels())
        return avx2::Table[i];
#endif
    return portable::Table[i];
}

namespace {

template <class T> void Put(uint8_t* p, T v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

} // namespace

void StoreWhole(uint8_t* p, TSampleType type, double value) noexcept {
    switch (type) {
    case TSampleType::UInt8:
        *p = static_cast<uint8_t>(value);
        return;
    case TSampleType::UInt16:
        return Put(p, static_cast<uint16_t>(value));
    case TSampleType::Float32:
        return Put(p, static_cast<float>(value));
    case TSampleType::Int8:
        return Put(p, static_cast<int8_t>(value));
    case TSampleType::Int16:
        return Put(p, static_cast<int16_t>(value));
    case TSampleType::Int32:
        return Put(p, static_cast<int32_t>(value));
    case TSampleType::UInt32:
        return Put(p, static_cast<uint32_t>(value));
    case TSampleType::Float64:
        return Put(p, value);
    }
}

void StoreSample(uint8_t* p, TSampleType type, Extended value) noexcept {
    if (type == TSampleType::Float32)
        return Put(p, static_cast<float>(value));
    if (type == TSampleType::Float64)
        return Put(p, static_cast<double>(value));
    const Extended r = RoundHalfEven(value);
    const double bottom = SampleBottom(type), top = SampleTop(type);
    StoreWhole(p, type,
               IsNaN(r)        ? 0.0
               : !(r > bottom) ? bottom
               : r > top       ? top
                               : static_cast<double>(r));
}

// ---- Lanes and maps ------------------------------------------------------------------------

TStreamMap::TStreamMap(int bands, const double (*w)[KernelBands], const double* c,
                       double top) noexcept
    : Bands(bands), Top(top) {
    const int n = bands;
    if (w == nullptr)
        return; // the general passes' bands, which take a TGeneralMap instead
    // The double sum and the extended one each lie within n + 1 roundings of the running
    // magnitude of the exact sum; the factor leaves room for both and for rounding the bound.
    const double factor = (4.0 * n + 8) * 0x1p-53;
    for (auto& row : Weight)
        std::fill(std::begin(row), std::end(row), 0.0);
    for (int l = 0; l < MaxCycle; ++l) {
        const int b = l % n;
        Constant[l] = c[b];
        double magnitude = 0;
        for (int i = 0; i < n; ++i) {
            Weight[i - b + n - 1][l] = w[b][i];
            magnitude += std::fabs(w[b][i]);
        }
        BoundWeight[l] = factor * magnitude;
        BoundConstant[l] = factor * std::fabs(c[b]);
    }
}

void TStreamMap::Bounds(double magnitude, double* bound) const noexcept {
    for (int l = 0; l < MaxCycle; ++l)
        bound[l] = BoundConstant[l] + BoundWeight[l] * magnitude;
}

void TStreamMap::Decisions(double magnitude, bool floatOut, double* decide) const noexcept {
    Bounds(magnitude, decide);
    if (!floatOut)
        for (int l = 0; l < MaxCycle; ++l)
            decide[l] = 0.5 - decide[l];
}

void TExactApply::Store(const double* group, int index, void* out) const noexcept {
    const int n = Transform->Bands;
    const int band = index % n, i = Row[band];
    StoreSample(
        static_cast<uint8_t*>(out) + static_cast<size_t>(index) * SampleBytes(Out), Out,
        WorkingSum(group + (index - band), Transform->Order.data(), Transform->Map.M[i], n));
}

void TExactRanges::Spread() noexcept {
    const int n = Axes->Size;
    for (int l = 0; l < MaxCycle; ++l) {
        LaneLowest[l] = Ranges->Lowest[l % n];
        LaneHighest[l] = Ranges->Highest[l % n];
    }
}

bool TExactRanges::Visit(const double* group, int index) noexcept {
    const int n = Axes->Size;
    const int k = index % n;
    const double* x = group + (index - k);
    const auto bytes = static_cast<size_t>(n) * sizeof(double);
    TSetter& lowSetter = Low[k];
    TSetter& highSetter = High[k];
    const TIntegerComponent& ints = Ints[k];
    const bool exact = Integers && ints.Exact;
    int64_t v = 0;
    bool staysLow = false, staysHigh = false;
    if (exact) {
        v = ints.Value([&](int j) { return x[Order[j]]; });
        staysLow = StaysAbove(v, lowSetter.Value, ints.C);
        staysHigh = StaysBelow(v, highSetter.Value, ints.C);
    }
    // A pixel of its setter's samples gives the extreme's own bits (of the setter's value, with
    // integer values).
    staysLow = staysLow || (lowSetter.Set && (!exact || v == lowSetter.Value) &&
                            std::memcmp(lowSetter.Samples, x, bytes) == 0);
    staysHigh = staysHigh || (highSetter.Set && (!exact || v == highSetter.Value) &&
                              std::memcmp(highSetter.Samples, x, bytes) == 0);
    if (staysLow && staysHigh)
        return false;
    const auto c = static_cast<double>(WorkingSum(x, Order, Axes->M[k], n));
    // The scan's rule: a value replaces the extreme unless the extreme lies strictly beyond.
    double& low = Ranges->Lowest[k];
    double& high = Ranges->Highest[k];
    bool moved = false;
    const auto take = [&](double& extreme, TSetter& setter, int64_t none) {
        moved = moved || std::memcmp(&extreme, &c, sizeof c) != 0;
        extreme = c;
        setter.Set = true;
        setter.Value = exact ? v : none;
        std::memcpy(setter.Samples, x, bytes);
    };
    // (An extreme the pixel is known to leave as it is keeps its setter.)
    if (!staysLow && !(low < c))
        take(low, lowSetter, NoLowSetter);
    if (!staysHigh && !(high > c))
        take(high, highSetter, NoHighSetter);
    if (moved)
        for (int l = k; l < MaxCycle; l += n) {
            LaneLowest[l] = low;
            LaneHighest[l] = high;
        }
    return moved;
}

// ---- Blocks --------------------------------------------------------------------------------

namespace {

// Integer samples of the types without a kernel of their own, plus a shift (exact: every sum is
// a whole number below 2^33).
template <class T>
void ConvertShifted(const uint8_t* p, int64_t count, double shift, double* out) noexcept {
    for (int64_t i = 0; i < count; ++i) {
        T v;
        std::memcpy(&v, p + i * static_cast<int64_t>(sizeof v), sizeof v);
        out[i] = static_cast<double>(v) + shift;
    }
}

// Double samples, with the largest finite magnitude and whether one is not finite.
void ConvertDoubles(const uint8_t* p, int64_t count, double* out, double& largest,
                    bool& nonFinite) noexcept {
    std::memcpy(out, p, static_cast<size_t>(count) * sizeof(double));
    double most = largest;
    bool beyond = false;
    for (int64_t i = 0; i < count; ++i) {
        const double a = std::fabs(out[i]);
        const bool finite = a <= std::numeric_limits<double>::max();
        most = finite && a > most ? a : most;
        beyond = beyond || !finite;
    }
    largest = most;
    nonFinite = nonFinite || beyond;
}

// The float nearest a double on the side of lower (Down) or higher values: bounds of a box
// that hold the double.
float FloatBeyond(double x, bool down) noexcept {
    float f = static_cast<float>(x);
    if (down ? static_cast<double>(f) > x : static_cast<double>(f) < x)
        f = std::nextafter(f, down ? -std::numeric_limits<float>::infinity()
                                   : std::numeric_limits<float>::infinity());
    return f;
}

// The extremes of each band over a block's pixels.
void BlockExtremes(const TSampleBlock& block, double* lowest, double* highest) noexcept {
    const int n = block.Bands();
    std::fill(lowest, lowest + n, std::numeric_limits<double>::infinity());
    std::fill(highest, highest + n, -std::numeric_limits<double>::infinity());
    for (int64_t p = 0; p < block.Count(); ++p) {
        const double* x = block.Samples() + p * n;
        for (int b = 0; b < n; ++b) {
            lowest[b] = std::min(lowest[b], x[b]);
            highest[b] = std::max(highest[b], x[b]);
        }
    }
}

} // namespace

TSampleBlock::TSampleBlock(int bands, TSampleType type, TReading reading)
    : N(bands), Type(type), Added(reading == Shifted ? -SampleBottom(type) : 0.0),
      Room(IsGeneralBands(bands) ? std::clamp<int64_t>((GeneralSamples / bands) & ~7, 8, 256)
                                 : std::min<int64_t>(128, (MaxSamples / bands) & ~7)),
      Storage(static_cast<size_t>(2 * StreamPad + Room * bands + 8), 0.0) {
    // Groups start on whole vectors: a kernel's vectors never straddle cache lines.
    const auto address = reinterpret_cast<uintptr_t>(Storage.data() + StreamPad);
    Start += (64 - address % 64) % 64 / sizeof(double);
    Clear();
}

void TSampleBlock::Clear() noexcept {
    Pixels = 0;
    Largest = IsFloatSample(Type) ? 0.0
              : Added != 0        ? SampleTop(Type) + Added
                                  : SampleMagnitude(Type);
    HasNonFinite = false;
}

void TSampleBlock::Read(const uint8_t* first, int64_t count, int64_t pixelStride,
                        const TImageView& v) {
    count = std::min(count, Room - Pixels);
    double* out = Samples() + Pixels * N;
    const auto size = static_cast<int64_t>(SampleBytes(Type));
    // Packed pixels, their bands in storage order or in reverse (a view of the last band with
    // a negative band stride): converted as they lie, then turned round.
    const bool reversed = N > 1 && v.BandStride == -size;
    if (pixelStride == size * N && (v.BandStride == size || reversed)) {
        const uint8_t* from = reversed ? first - (N - 1) * size : first;
        const TStreamKernels& k = StreamKernelsFor(N);
        const int64_t samples = count * N;
        switch (Type) {
        case TSampleType::UInt8:
            k.Convert8(from, samples, out);
            break;
        case TSampleType::UInt16:
            k.Convert16(from, samples, out);
            break;
        case TSampleType::Float32:
            k.ConvertFloat(from, samples, out, Largest, HasNonFinite);
            break;
        case TSampleType::Int8:
            ConvertShifted<int8_t>(from, samples, Added, out);
            break;
        case TSampleType::Int16:
            ConvertShifted<int16_t>(from, samples, Added, out);
            break;
        case TSampleType::Int32:
            ConvertShifted<int32_t>(from, samples, Added, out);
            break;
        case TSampleType::UInt32:
            ConvertShifted<uint32_t>(from, samples, Added, out);
            break;
        case TSampleType::Float64:
            ConvertDoubles(from, samples, out, Largest, HasNonFinite);
            break;
        }
        if (reversed && N == 3) // the plug-in pairing's three bands
            for (int64_t p = 0; p < count; ++p)
                std::swap(out[p * 3], out[p * 3 + 2]);
        else if (reversed)
            for (int64_t p = 0; p < count; ++p)
                std::reverse(out + p * N, out + (p + 1) * N);
        Pixels += count;
        return;
    }
    for (int64_t i = 0; i < count; ++i)
        Append(first + i * pixelStride, v);
}

void TSampleBlock::Append(const uint8_t* pixel, const TImageView& v) {
    double* out = Samples() + Pixels * N;
    const bool real = IsFloatSample(Type);
    for (int b = 0; b < N; ++b) {
        const double x = LoadSample(pixel + b * v.BandStride, Type);
        // (A shift of 0 is left out: it would turn a float's -0 into +0.)
        out[b] = Added != 0 ? x + Added : x;
        if (real) {
            const bool finite = IsFiniteSample(x);
            HasNonFinite = HasNonFinite || !finite;
            Largest = finite && std::fabs(x) > Largest ? std::fabs(x) : Largest;
        }
    }
    ++Pixels;
}

void TSampleBlock::PadGroup(int lanes, bool repeat) noexcept {
    double* s = Samples();
    for (int64_t p = Pixels; p % lanes != 0; ++p)
        for (int b = 0; b < N; ++b)
            s[p * N + b] = repeat && Pixels > 0 ? s[(Pixels - 1) * N + b] : 0.0;
}

// ---- Statistics ----------------------------------------------------------------------------

TStreamStatistics::TStreamStatistics(int bands, TSampleType type)
    : N(bands), Real(IsFloatSample(type)), Wide(IsWideInteger(type)),
      Kernels(StreamKernelsFor(bands)),
      // Each lane takes lanes x n / cycle terms a group (at most 8): 2^20 products of 16-bit
      // samples stay exact in a double; float lanes move into their compensated pairs every 32
      // terms.
      FlushGroups(Real ? 32 * Kernels.Cycle / (GroupPixels * bands) : 1 << 17), Lanes(Real ? 3 : 1),
      Tail(bands, type), Box(2 * static_cast<size_t>(bands)) {
    if (IsGeneralBands(bands))
        General = std::make_unique<TGeneralStatistics>(
            bands, type, TSampleBlock(bands, type, TSampleBlock::Shifted).Capacity());
}

void TStreamStatistics::AddWide(const TSampleBlock& block) noexcept {
    // The shifted samples are whole numbers below 2^32, exact in the block's doubles; their
    // products fit 64 bits, and go one by one into the 128-bit sums.
    for (int64_t p = 0; p < block.Count(); ++p) {
        const double* x = block.Samples() + p * N;
        uint64_t v[KernelBands];
        for (int a = 0; a < N; ++a)
            v[a] = static_cast<uint64_t>(x[a]);
        for (int a = 0; a < N; ++a) {
            Tail.Sum[a].Add(v[a]);
            for (int b = a; b < N; ++b)
                Tail.Product[a][b].Add(v[a] * v[b]);
        }
    }
    Tail.Count += block.Count();
}

void TStreamStatistics::Add(TSampleBlock& block, std::vector<float>* boxes) {
    const int lanes = GroupPixels;
    if (block.Count() > 0) {
        // The box, over the block and copies of its last pixel.
        double* lowest = Box.data();
        double* highest = Box.data() + N;
        if (General)
            BlockExtremes(block, lowest, highest);
        else {
            block.PadGroup(lanes, true);
            Kernels.Extremes(block.Samples(), (block.Count() + lanes - 1) / lanes, lowest, highest);
        }
        // The extremes of the samples themselves (exact: whole numbers below 2^33).
        if (const double shift = block.Shift(); shift != 0)
            for (int b = 0; b < N; ++b) {
                lowest[b] -= shift;
                highest[b] -= shift;
            }
        for (int b = 0; b < N; ++b) {
            Tail.Lowest[b] = std::min(Tail.Lowest[b], lowest[b]);
            Tail.Highest[b] = std::max(Tail.Highest[b], highest[b]);
        }
        // Floats hold the samples of the 8- and 16-bit types and of float32 exactly; the
        // others' bounds widen to the next float.
        if (boxes != nullptr) {
            for (int b = 0; b < N; ++b)
                boxes->push_back(FloatBeyond(lowest[b], true));
            for (int b = 0; b < N; ++b)
                boxes->push_back(FloatBeyond(highest[b], false));
        }
    } else if (boxes != nullptr) {
        // An empty box: nothing in it can reach an extreme.
        boxes->insert(boxes->end(), static_cast<size_t>(N), std::numeric_limits<float>::infinity());
        boxes->insert(boxes->end(), static_cast<size_t>(N),
                      -std::numeric_limits<float>::infinity());
    }
    if (General) {
        General->Add(block.Samples(), block.Count(), Tail);
        return;
    }
    if (Wide) {
        AddWide(block);
        return;
    }
    const double* e = block.Samples();
    int64_t groups = block.Count() / lanes;
    while (groups > 0) {
        const int64_t take = std::min(groups, FlushGroups - Groups);
        Kernels.Statistics(e, take, Lanes[0]);
        e += take * lanes * N;
        groups -= take;
        Groups += take;
        if (Groups == FlushGroups)
            Flush();
    }
    // The last pixels of a block that fill no group.
    for (int64_t p = block.Count() / lanes * lanes; p < block.Count(); ++p) {
        const double* x = block.Samples() + p * N;
        for (int a = 0; a < N; ++a) {
            for (int b = a; b < N; ++b) {
                if (Real)
                    Tail.RealProduct[a][b].Add(x[a] * x[b]);
                else
                    Tail.Product[a][b].Add(static_cast<uint64_t>(x[a] * x[b]));
            }
            if (Real)
                Tail.RealSum[a].Add(x[a]);
            else
                Tail.Sum[a].Add(static_cast<uint64_t>(x[a]));
        }
    }
    Tail.Count += block.Count();
}

void TStreamStatistics::Flush() {
    Groups = 0;
    if (Wide)
        return; // nothing in the lanes
    if (Real) {
        Kernels.Fold(Lanes[0], Lanes[1], Lanes[2]);
        return;
    }
    TStreamLanes& lanes = Lanes[0];
    for (int l = 0; l < Kernels.Cycle; ++l) {
        const int a = l % N;
        Tail.Sum[a].Add(static_cast<uint64_t>(lanes.Sum[l]));
        lanes.Sum[l] = 0;
        for (int d = 0; a + d < N; ++d) {
            Tail.Product[a][a + d].Add(static_cast<uint64_t>(lanes.Product[d][l]));
            lanes.Product[d][l] = 0;
        }
    }
}

void TStreamStatistics::AddTo(TStatistics& statistics) {
    if (General) {
        General->Flush(Tail);
        statistics.Add(Tail);
        return;
    }
    Flush();
    for (int l = 0; l < Kernels.Cycle && Real; ++l) {
        const int a = l % N;
        // The compensated pairs in a fixed order.
        Tail.RealSum[a].Add(TCompensatedSum{Lanes[1].Sum[l], Lanes[2].Sum[l]});
        for (int d = 0; a + d < N; ++d)
            Tail.RealProduct[a][a + d].Add(
                TCompensatedSum{Lanes[1].Product[d][l], Lanes[2].Product[d][l]});
    }
    statistics.Add(Tail);
}

// ---- Ranges --------------------------------------------------------------------------------

namespace {

// The rows of a map in working order as band-indexed weights: output band order[r] takes
// row r, input band order[j] column j.
struct TBandWeights {
    double W[KernelBands][KernelBands] = {};
    double C[KernelBands] = {};
    TBandWeights(const TAffineMap& m, const int* outOrder, const int* inOrder) noexcept {
        const int n = m.Size;
        for (int r = 0; r < n; ++r) {
            for (int j = 0; j < n; ++j)
                W[outOrder[r]][inOrder[j]] = m.M[r][j];
            C[outOrder[r]] = m.M[r][n];
        }
    }
};

constexpr int Unpermuted[KernelBands] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

TStreamMap RangeMap(const TPrincipalAxes& axes) noexcept {
    if (IsGeneralBands(axes.Bands))
        return TStreamMap(axes.Bands, nullptr, nullptr, 0);
    // Component k is the stream's k-th output of a pixel.
    const TBandWeights w(axes.Map, Unpermuted, axes.Order.data());
    return TStreamMap(axes.Bands, w.W, w.C, 0);
}

TStreamMap ApplyMap(const TBandTransform& t, TSampleType out) noexcept {
    if (IsGeneralBands(t.Bands))
        return TStreamMap(t.Bands, nullptr, nullptr, SampleTop(out));
    const TBandWeights w(t.Map, t.Order.data(), t.Order.data());
    return TStreamMap(t.Bands, w.W, w.C, SampleTop(out));
}

} // namespace

TStreamRanges::TStreamRanges(const TPrincipalAxes& axes, TComponentRanges& ranges)
    : Map(RangeMap(axes)), Kernels(StreamKernelsFor(axes.Bands)) {
    Exact.Axes = &axes.Map;
    Exact.Order = axes.Order.data();
    Exact.Ranges = &ranges;
    if (IsGeneralBands(axes.Bands)) {
        General = std::make_shared<const TGeneralMap>(axes.Map);
        const int64_t room = TSampleBlock(axes.Bands, axes.Type).Capacity();
        X.assign(static_cast<size_t>((room + 3) / 4 * 4 * General->Stride), 0.0);
        Components.assign(X.size(), 0.0);
        Box.assign(2 * static_cast<size_t>(axes.Bands), 0.0);
        return;
    }
    Exact.Spread();
}

template <class T> bool TStreamRanges::Inside(const T* box) const noexcept {
    const int n = Map.Bands;
    const T* lowest = box;
    const T* highest = box + n;
    double magnitude = 0;
    for (int b = 0; b < n; ++b) {
        if (lowest[b] > highest[b])
            return true; // no pixel
        magnitude = std::max({magnitude, std::fabs(static_cast<double>(lowest[b])),
                              std::fabs(static_cast<double>(highest[b]))});
    }
    if (General) {
        for (int k = 0; k < n; ++k) {
            const double* row = Exact.Axes->M[k];
            double low = row[n], high = row[n];
            for (int j = 0; j < n; ++j) {
                const double w = row[j];
                const int b = Exact.Order[j];
                low += w * static_cast<double>(w >= 0 ? lowest[b] : highest[b]);
                high += w * static_cast<double>(w >= 0 ? highest[b] : lowest[b]);
            }
            const double bound = General->Bound(k, magnitude);
            if (!(low - bound > Exact.Ranges->Lowest[k] && high + bound < Exact.Ranges->Highest[k]))
                return false;
        }
        return true;
    }
    for (int k = 0; k < n; ++k) {
        double low = Map.Constant[k], high = Map.Constant[k];
        for (int b = 0; b < n; ++b) {
            const double w = Map.Weight[b - k + n - 1][k];
            low += w * static_cast<double>(w >= 0 ? lowest[b] : highest[b]);
            high += w * static_cast<double>(w >= 0 ? highest[b] : lowest[b]);
        }
        const double bound = Map.BoundConstant[k] + Map.BoundWeight[k] * magnitude;
        if (!(low - bound > Exact.Ranges->Lowest[k] && high + bound < Exact.Ranges->Highest[k]))
            return false;
    }
    return true;
}

template bool TStreamRanges::Inside(const float*) const noexcept;
template bool TStreamRanges::Inside(const double*) const noexcept;

void TStreamRanges::AddGeneral(const TSampleBlock& block) {
    const int n = Map.Bands;
    BlockExtremes(block, Box.data(), Box.data() + n);
    if (Inside(Box.data()))
        return;
    // Pixels of one colour (whole numbers): the first decides for all, as in Add.
    const bool single = !IsFloatSample(block.SampleType()) &&
                        std::equal(Box.begin(), Box.begin() + n, Box.begin() + n);
    const int64_t count = single ? 1 : block.Count();
    const auto stride = static_cast<size_t>(General->Stride);
    PadBlock(block.Samples(), count, n, Exact.Order, General->Stride, X.data());
    General->Run(X.data(), count, true, Components.data());
    const double magnitude = block.Magnitude();
    TComponentRanges& ranges = *Exact.Ranges;
    for (int64_t p = 0; p < count; ++p) {
        const double* components = Components.data() + static_cast<size_t>(p) * stride;
        for (int k = 0; k < n; ++k) {
            double& low = ranges.Lowest[static_cast<size_t>(k)];
            double& high = ranges.Highest[static_cast<size_t>(k)];
            const double d = components[k], bound = General->Bound(k, magnitude);
            // Strictly inside the extremes by more than the bound: the exact value is too.
            if (d - bound > low && d + bound < high)
                continue;
            const auto c = static_cast<double>(
                WorkingSum(block.Samples() + p * n, Exact.Order, Exact.Axes->M[k], n));
            // The scan's rule: a value replaces the extreme unless the extreme lies strictly
            // beyond.
            if (!(low < c))
                low = c;
            if (!(high > c))
                high = c;
        }
    }
}

void TStreamRanges::Add(TSampleBlock& block) {
    if (block.Count() == 0)
        return;
    if (General) {
        AddGeneral(block);
        return;
    }
    const TSampleType type = block.SampleType();
    if (!IntegersSet || type != IntegersFor) {
        IntegersSet = true;
        IntegersFor = type;
        Exact.Integers = !IsFloatSample(type) && block.Shift() == 0;
        for (int k = 0; Exact.Integers && k < Map.Bands; ++k)
            Exact.Ints[k].Set(Exact.Axes->M[k], Map.Bands, static_cast<int64_t>(SampleBottom(type)),
                              static_cast<int64_t>(SampleTop(type)));
    }
    // Copies of the last pixel change no extreme.
    const int lanes = GroupPixels;
    block.PadGroup(lanes, true);
    const int64_t groups = (block.Count() + lanes - 1) / lanes;
    double box[2 * KernelBands];
    Kernels.Extremes(block.Samples(), groups, box, box + Map.Bands);
    if (Inside(box))
        return;
    // Pixels of one colour (whole numbers, equal only when their bits are): the first decides
    // for all, since the scan's rule leaves an extreme as it is for its repeats.
    if (!IsFloatSample(type) && std::equal(box, box + Map.Bands, box + Map.Bands)) {
        for (int k = 0; k < Map.Bands; ++k)
            Exact.Visit(block.Samples(), k);
        return;
    }
    double bound[MaxCycle];
    Map.Bounds(block.Magnitude(), bound);
    Kernels.Ranges(block.Samples(), groups, Map, bound, Exact);
}

// ---- Application ---------------------------------------------------------------------------

TStreamApply::TStreamApply(const TBandTransform& transform, TSampleType in, TSampleType out)
    : Map(ApplyMap(transform, out)), Kernels(StreamKernelsFor(transform.Bands)), In(in) {
    Exact.Transform = &transform;
    Exact.Out = out;
    Clamp = transform.Options.Clip && IsFloatSample(out);
    Exact.Row.assign(static_cast<size_t>(transform.Bands), 0);
    for (int r = 0; r < transform.Bands; ++r)
        Exact.Row[static_cast<size_t>(transform.Order[static_cast<size_t>(r)])] = r;
    if (IsGeneralBands(transform.Bands)) {
        General = std::make_shared<const TGeneralMap>(transform.Map);
        return;
    }
    Map.Decisions(IsFloatSample(in) ? 1.0 : SampleMagnitude(in), IsFloatSample(out), Decide);
    // Integer outputs without kernels of their own take the bounds by stream position.
    const bool other = out != TSampleType::UInt8 && out != TSampleType::UInt16 &&
                       out != TSampleType::Float32 && out != TSampleType::Float64;
    if (other)
        for (int64_t i = 0; i < TSampleBlock::MaxSamples; ++i)
            DecideByPosition.push_back(Decide[i % transform.Bands]);
}

void TStreamApply::Decisions(const TSampleBlock& block, double* floatDecide,
                             const double*& decide) const {
    decide = Decide;
    if (IsFloatSample(In)) {
        Map.Decisions(block.Magnitude(), IsFloatSample(Exact.Out), floatDecide);
        decide = floatDecide;
    }
}

template <class TOut> void TStreamApply::RunAs(TSampleBlock& block, TOut* out) const {
    void (*kernel)(const double*, int64_t, const TStreamMap&, const double*, TOut*,
                   const TExactApply&) noexcept;
    if constexpr (std::is_same_v<TOut, uint8_t>)
        kernel = Kernels.Apply8;
    else if constexpr (std::is_same_v<TOut, uint16_t>)
        kernel = Kernels.Apply16;
    else
        kernel = Kernels.ApplyFloat;
    double floatDecide[MaxCycle];
    const double* decide = nullptr;
    Decisions(block, floatDecide, decide);
    const int n = Map.Bands, lanes = GroupPixels;
    const int64_t whole = block.Count() / lanes, rest = block.Count() % lanes;
    kernel(block.Samples(), whole, Map, decide, out, Exact);
    if (rest != 0) {
        // The last pixels through a group of their own, written aside.
        block.PadGroup(lanes, false);
        TOut last[8 * KernelBands];
        kernel(block.Samples() + whole * lanes * n, 1, Map, decide, last, Exact);
        std::memcpy(out + whole * lanes * n, last, static_cast<size_t>(rest * n) * sizeof(TOut));
    }
}

namespace {

// Stores the double sums of a block's samples as integers of type T: each rounded where it lies
// farther than its bound (by stream position) from a rounding boundary, so that the exact sum
// rounds the same way, the others computed exactly. Adding 1.5 x 2^52 rounds to the nearest
// integer, halves to even, below 2^51; any other result lies at least 1/2 from the sum, which
// no bound (at most 1/2) accepts. The first loop takes no branch; the second, only for the
// rare sums the bounds leave undecided.
template <class T>
void StoreRoundedSums(const double* sums, int64_t count, const double* decide,
                      const TExactApply& exact, const double* samples, uint8_t* out) noexcept {
    const double magic = 0x1.8p52;
    const auto bottom = static_cast<double>(std::numeric_limits<T>::lowest());
    const auto top = static_cast<double>(std::numeric_limits<T>::max());
    T stored[TSampleBlock::MaxSamples];
    uint8_t undecided[TSampleBlock::MaxSamples];
    uint8_t any = 0;
    for (int64_t i = 0; i < count; ++i) {
        const double sum = sums[i], rounded = (sum + magic) - magic;
        // (Not a number goes to the bottom here, and to the exact computation below.)
        const double low = rounded > bottom ? rounded : bottom;
        stored[i] = static_cast<T>(low < top ? low : top);
        undecided[i] = !(std::fabs(sum - rounded) < decide[i]);
        any |= undecided[i];
    }
    std::memcpy(out, stored, static_cast<size_t>(count) * sizeof(T));
    for (int64_t i = 0; i < count && any != 0; ++i)
        if (undecided[i] != 0)
            exact.Store(samples, static_cast<int>(i), out);
}

using TRoundedStore = void (*)(const double*, int64_t, const double*, const TExactApply&,
                               const double*, uint8_t*) noexcept;

// StoreRoundedSums for an integer type (null for floats).
TRoundedStore RoundedStoreFor(TSampleType type) noexcept {
    switch (type) {
    case TSampleType::UInt8:
        return &StoreRoundedSums<uint8_t>;
    case TSampleType::UInt16:
        return &StoreRoundedSums<uint16_t>;
    case TSampleType::Int8:
        return &StoreRoundedSums<int8_t>;
    case TSampleType::Int16:
        return &StoreRoundedSums<int16_t>;
    case TSampleType::Int32:
        return &StoreRoundedSums<int32_t>;
    case TSampleType::UInt32:
        return &StoreRoundedSums<uint32_t>;
    default:
        return nullptr;
    }
}

} // namespace

void TStreamApply::RunOther(TSampleBlock& block, uint8_t* out) const {
    const int64_t count = block.Count() * Map.Bands;
    if (Exact.Out == TSampleType::Float64) {
        // No double sum decides how the exact sum rounds to a double: every output is computed
        // exactly.
        for (int64_t i = 0; i < count; ++i)
            Exact.Store(block.Samples(), static_cast<int>(i), out);
        return;
    }
    // Integers: the kernels' double sums, decided as the kernels of 8- and 16-bit outputs
    // decide theirs; a lane's bound depends on its band alone.
    double floatDecide[MaxCycle];
    const double* decide = nullptr;
    Decisions(block, floatDecide, decide);
    const int n = Map.Bands, lanes = GroupPixels;
    double floatByPosition[TSampleBlock::MaxSamples];
    const double* byPosition = DecideByPosition.data();
    if (decide != Decide) {
        for (int64_t i = 0; i < count; ++i)
            floatByPosition[i] = decide[i % n];
        byPosition = floatByPosition;
    }
    block.PadGroup(lanes, false);
    double sums[TSampleBlock::MaxSamples];
    Kernels.Sums(block.Samples(), (block.Count() + lanes - 1) / lanes, Map, sums);
    // (The types with kernels of their own never come here.)
    if (const TRoundedStore rounded = RoundedStoreFor(Exact.Out))
        rounded(sums, count, byPosition, Exact, block.Samples(), out);
}

void TStreamApply::RunGeneral(const TSampleBlock& block, uint8_t* out) const {
    const int n = Map.Bands;
    const int64_t count = block.Count();
    const auto stride = static_cast<size_t>(General->Stride);
    const TBandTransform& t = *Exact.Transform;
    // Blocks of every part of the image pass here: the matrices are the thread's own.
    thread_local std::vector<double> x, sums;
    const size_t size = static_cast<size_t>((count + 3) / 4 * 4) * stride;
    if (x.size() < size) {
        x.resize(size);
        sums.resize(size);
    }
    PadBlock(block.Samples(), count, n, t.Order.data(), General->Stride, x.data());
    // Float64 outputs are the double sums themselves, each rounded as the portable form
    // rounds; every other output is decided from a sum and its bound, in any form.
    const bool stored = Exact.Out == TSampleType::Float64;
    General->Run(x.data(), count, !stored, sums.data());
    const double magnitude = IsFloatSample(In) ? block.Magnitude() : SampleMagnitude(In);
    const size_t bytes = SampleBytes(Exact.Out);
    std::vector<double> pixel(static_cast<size_t>(n)), decide(static_cast<size_t>(n));
    for (int r = 0; r < n; ++r)
        decide[static_cast<size_t>(t.Order[static_cast<size_t>(r)])] =
            0.5 - General->Bound(r, magnitude);
    const TRoundedStore rounded = RoundedStoreFor(Exact.Out);
    for (int64_t p = 0; p < count; ++p) {
        const double* row = sums.data() + static_cast<size_t>(p) * stride;
        const double* samples = block.Samples() + p * n;
        uint8_t* to = out + static_cast<size_t>(p * n) * bytes;
        for (int r = 0; r < n; ++r)
            pixel[static_cast<size_t>(t.Order[static_cast<size_t>(r)])] = row[r];
        switch (Exact.Out) {
        case TSampleType::Float64:
            std::memcpy(to, pixel.data(), static_cast<size_t>(n) * sizeof(double));
            break;
        case TSampleType::Float32:
            for (int b = 0; b < n; ++b) {
                const double d = pixel[static_cast<size_t>(b)];
                const double bound = 0.5 - decide[static_cast<size_t>(b)] + std::fabs(d) * 0x1p-52;
                // Every value within the bound rounds to one float: the exact sum does too.
                if (static_cast<float>(d - bound) == static_cast<float>(d + bound)) {
                    const auto f = static_cast<float>(d);
                    std::memcpy(to + 4 * static_cast<size_t>(b), &f, 4);
                } else {
                    Exact.Store(samples, b, to);
                }
            }
            break;
        default:
            rounded(pixel.data(), n, decide.data(), Exact, samples, to);
            break;
        }
    }
}

void TStreamApply::Run(TSampleBlock& block, uint8_t* out) const {
    if (General) {
        RunGeneral(block, out);
    } else {
        switch (Exact.Out) {
        case TSampleType::UInt8:
            return RunAs(block, out);
        case TSampleType::UInt16:
            return RunAs(block, reinterpret_cast<uint16_t*>(out));
        case TSampleType::Float32:
            RunAs(block, reinterpret_cast<float*>(out));
            break;
        default:
            RunOther(block, out);
            break;
        }
    }
    // A clipped stretch keeps float outputs to 0..1 (not a number stays as it is).
    if (Clamp && Exact.Out == TSampleType::Float32)
        for (int64_t i = 0, count = block.Count() * Map.Bands; i < count; ++i) {
            float f;
            std::memcpy(&f, out + 4 * i, 4);
            f = f < 0.0f ? 0.0f : f > 1.0f ? 1.0f : f;
            std::memcpy(out + 4 * i, &f, 4);
        }
    if (Clamp && Exact.Out == TSampleType::Float64)
        for (int64_t i = 0, count = block.Count() * Map.Bands; i < count; ++i) {
            double d;
            std::memcpy(&d, out + 8 * i, 8);
            d = d < 0.0 ? 0.0 : d > 1.0 ? 1.0 : d;
            std::memcpy(out + 8 * i, &d, 8);
        }
}

} // namespace vt::detail
