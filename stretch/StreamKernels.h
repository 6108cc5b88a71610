// Private to stretch/: the engine's passes over pixels of any band count and sample type. A
// block of pixels is read into one stream of doubles, pixel after pixel and band after band;
// the kernels take four stream positions to a vector, and an affine map becomes weights by
// position, so that no pass has to gather bands apart. Interleaved buffers are read and written
// as they lie; every other layout and selection is gathered into the same stream.
#pragma once

#include "stretch/EnginePrivate.h"
#include "stretch/GeneralKernels.h"
#include "stretch/RangeTies.h"

#include <memory>
#include <vector>

namespace vt::detail {

// Stream positions (multiples of the vectors' lanes) after which the bands line up again.
inline constexpr int MaxCycle = 120; // 15 bands
// Pixels the kernels take at a time, whatever their vectors' width.
inline constexpr int GroupPixels = 8;
// Zeros kept before and after a block's samples: a kernel reads up to 15 positions beyond
// either end, always with weight zero.
inline constexpr int StreamPad = 16;

// Lane sums of the statistics kernels, by position within a cycle (position l holds band
// l mod n): the samples, and the products of each sample with the one d positions on.
struct TStreamLanes {
    alignas(64) double Sum[MaxCycle] = {};
    alignas(64) double Product[KernelBands][MaxCycle] = {};
};

// Each block's box of samples (per band the lowest, then per band the highest) by part, as the
// statistics pass read the blocks: the range pass of the same image and selection, cut into as
// many parts, passes over a block whose box keeps every component inside the extremes without
// reading it. Floats hold every sample value exactly.
struct TBlockBoxes {
    int Parts = 0; // 0: no boxes
    std::vector<std::vector<float>> Boxes;
};

// An affine map on n bands in stream form: the output at position l of a cycle is
// Constant[l] + sum over d of Weight[d + n - 1][l] x sample[l + d], the weights zero wherever
// l + d leaves l's pixel.
struct TStreamMap {
    int Bands = 0;
    double Top = 0; // integer outputs clamp to 0..Top
    alignas(64) double Weight[2 * KernelBands - 1][MaxCycle];
    alignas(64) double Constant[MaxCycle];
    // A lane's double sum lies within BoundConstant + BoundWeight x m of the extended sum of
    // the same terms when no sample exceeds m in magnitude.
    double BoundWeight[MaxCycle];
    double BoundConstant[MaxCycle];

    // w[o][i]: the weight of input band i in output band o; c[o] its constant.
    TStreamMap(int bands, const double (*w)[KernelBands], const double* c, double top) noexcept;
    void Bounds(double magnitude, double* bound) const noexcept;
    // What the application kernels compare with: the bounds for float outputs, 1/2 less the
    // bounds for integer ones.
    void Decisions(double magnitude, bool floatOut, double* decide) const noexcept;
};

// The exact computation of one output of an application, in extended precision in working
// order, as the engine's definition has it; Group is the first sample of the kernel's group.
struct TExactApply {
    const TBandTransform* Transform = nullptr;
    TVector<int> Row; // the working-order row of each band
    TSampleType Out = TSampleType::UInt8;
    void Store(const double* group, int index, void* out) const noexcept;
};

// The exact measure of one component of one pixel, and the running extremes in scan order;
// LaneLowest and LaneHighest spread them over the positions of a cycle for the kernels. Each
// extreme remembers the pixel that set it last (RangeTies.h): a pixel of the same samples, or
// of integer samples whose value lies on the far side, is not computed again.
struct TExactRanges {
    const TAffineMap* Axes = nullptr;
    const int* Order = nullptr;
    TComponentRanges* Ranges = nullptr;
    alignas(64) double LaneLowest[MaxCycle];
    alignas(64) double LaneHighest[MaxCycle];
    struct TSetter {
        bool Set = false;
        int64_t Value; // its integer value (none: NoLowSetter or NoHighSetter)
        double Samples[KernelBands] = {};
        explicit TSetter(int64_t none = NoLowSetter) noexcept : Value(none) {}
    };
    TSetter Low[KernelBands], High[KernelBands];
    TExactRanges() noexcept {
        for (TSetter& s : High)
            s.Value = NoHighSetter;
    }
    // The components as integers, when the samples are whole numbers (Integers).
    bool Integers = false;
    TIntegerComponent Ints[KernelBands];
    void Spread() noexcept;
    // Returns whether the component's extremes changed.
    bool Visit(const double* group, int index) noexcept;
};

struct TStreamKernels {
    int Cycle = 8; // stream positions of a cycle of phases: lcm(8, n)
    void (*Statistics)(const double*, int64_t, TStreamLanes&) noexcept = nullptr;
    void (*Fold)(TStreamLanes&, TStreamLanes&, TStreamLanes&) = nullptr;
    void (*Apply8)(const double*, int64_t, const TStreamMap&, const double*, uint8_t*,
                   const TExactApply&) noexcept = nullptr;
    void (*Apply16)(const double*, int64_t, const TStreamMap&, const double*, uint16_t*,
                    const TExactApply&) noexcept = nullptr;
    void (*ApplyFloat)(const double*, int64_t, const TStreamMap&, const double*, float*,
                       const TExactApply&) noexcept = nullptr;
    // The double sum of every stream position, for the outputs whose rounding the caller
    // decides (the types without a kernel of their own).
    void (*Sums)(const double*, int64_t, const TStreamMap&, double*) noexcept = nullptr;
    void (*Ranges)(const double*, int64_t, const TStreamMap&, const double*,
                   TExactRanges&) noexcept = nullptr;
    void (*Extremes)(const double*, int64_t, double*, double*) noexcept = nullptr;
    void (*Convert8)(const uint8_t*, int64_t, double*) noexcept = nullptr;
    void (*Convert16)(const uint8_t*, int64_t, double*) noexcept = nullptr;
    void (*ConvertFloat)(const uint8_t*, int64_t, double*, double&, bool&) noexcept = nullptr;
};

// The most bands the build's kernels take: every count the engine knows, except where a build
// keeps its code small (the WebAssembly build, whose images come from a browser, takes 4).
#if defined(VT_STREAM_MAX_BANDS)
inline constexpr int StreamMaxBands = VT_STREAM_MAX_BANDS;
#else
inline constexpr int StreamMaxBands = KernelBands;
#endif

// The kernels for n bands: vector ones where the processor has them and the choice allows
// (for bands beyond the unrolled ones, those of one band, whose conversions serve any count).
const TStreamKernels& StreamKernelsFor(int bands) noexcept;

// Whether n bands take the general passes (GeneralKernels.h) rather than unrolled kernels.
inline bool IsGeneralBands(int bands) noexcept {
    return bands > StreamMaxBands;
}

// The tables of kernels for 1 to KernelBands bands, each compiled for its instruction set in a
// file of its own (StreamKernelsPortable.cpp, StreamKernelsAvx2.cpp, StreamKernelsAvx512.cpp).
#if defined(__i386__) || defined(__x86_64__)
#define VT_STREAM_WIDE 1
#endif
namespace portable {
extern const TStreamKernels Table[KernelBands];
}
#if defined(VT_STREAM_WIDE)
namespace avx2 {
extern const TStreamKernels Table[KernelBands];
}
namespace avx512 {
extern const TStreamKernels Table[KernelBands];
}
#endif

// A block of pixels as one stream of doubles: the samples as stored, or for the statistics
// (Shifted) integer samples less their type's bottom, the unsigned values whose sums
// TStatistics keeps (the same for unsigned types).
class alignas(64) TSampleBlock {
public:
    enum TReading { AsStored, Shifted };
    // The most samples a block of the unrolled kernels' bands holds; a block of more bands
    // holds GeneralSamples, in whole groups of pixels.
    static constexpr int64_t MaxSamples = 1024;
    static constexpr int64_t GeneralSamples = 32768;

    TSampleBlock(int bands, TSampleType type, TReading reading = AsStored);
    double* Samples() noexcept { return Storage.data() + Start; }
    const double* Samples() const noexcept { return Storage.data() + Start; }
    int Bands() const noexcept { return N; }
    int64_t Count() const noexcept { return Pixels; }
    int64_t Capacity() const noexcept { return Room; }
    bool Full() const noexcept { return Pixels == Room; }
    // The largest magnitude of a sample (SampleMagnitude for integers; samples that are not
    // finite skipped), and whether a sample is not finite (not a number or infinite).
    double Magnitude() const noexcept { return Largest; }
    bool NonFinite() const noexcept { return HasNonFinite; }
    // What reading added to every sample (-bottom for the shifted samples of a signed type).
    double Shift() const noexcept { return Added; }
    TSampleType SampleType() const noexcept { return Type; }

    void Clear() noexcept;
    // Appends `count` pixels from `first`, the view's pixel stride apart (at most the room).
    void Read(const uint8_t* first, int64_t count, int64_t pixelStride, const TImageView& v);
    void Append(const uint8_t* pixel, const TImageView& v);
    // Fills the last group of `lanes` pixels with copies of the last pixel, or with zeros.
    void PadGroup(int lanes, bool repeat) noexcept;

private:
    int N;
    TSampleType Type;
    double Added = 0;
    int64_t Room, Pixels = 0;
    double Largest = 0;
    bool HasNonFinite = false;
    std::vector<double> Storage;
    size_t Start = StreamPad; // the first sample, on a 64-byte boundary
};

// The statistics pass over shifted blocks: 8- and 16-bit integer samples summed exactly (lane
// sums in double stay exact for 2^20 additions of 16-bit products, then move into 128-bit
// sums); 32-bit ones in integers, each 64-bit product straight into its 128-bit sum (no 64-bit
// partial sum could take two); float samples' lane sums move every 32 terms or fewer into
// compensated sums.
class alignas(64) TStreamStatistics {
public:
    TStreamStatistics(int bands, TSampleType type);
    // Adds the block's pixels, and its box (of the samples themselves, each bound rounded
    // outwards to a float) to Boxes when given.
    void Add(TSampleBlock& block, std::vector<float>* boxes);
    void AddTo(TStatistics& statistics);

private:
    void Flush();
    void AddWide(const TSampleBlock& block) noexcept;

    int N;
    bool Real, Wide; // float samples; 32-bit integers
    const TStreamKernels& Kernels;
    int64_t Groups = 0, FlushGroups;
    std::vector<TStreamLanes> Lanes; // the kernel's lanes, and for floats the folded pairs
    TStatistics Tail;                // pixels outside whole groups, and the flushed sums
    std::vector<double> Box;         // a block's extremes: lowest, then highest
    std::unique_ptr<TGeneralStatistics> General; // bands beyond the unrolled kernels
};

// The range pass.
class alignas(64) TStreamRanges {
public:
    TStreamRanges(const TPrincipalAxes& axes, TComponentRanges& ranges);
    void Add(TSampleBlock& block);
    // True when no pixel within the box (per band lowest, then highest) can reach or tie an
    // extreme: every component lies inside them by more than its error bound.
    template <class T> bool Inside(const T* box) const noexcept;

private:
    void AddGeneral(const TSampleBlock& block);

    TStreamMap Map;
    TExactRanges Exact;
    bool IntegersSet = false; // Exact's integer components are those of IntegersFor
    TSampleType IntegersFor = TSampleType::UInt8;
    const TStreamKernels& Kernels;
    // Bands beyond the unrolled kernels: the map, and the block and its components.
    std::shared_ptr<const TGeneralMap> General;
    std::vector<double> X, Components, Box;
};

// The application: writes a block's pixels as samples of the output type, interleaved.
class TStreamApply {
public:
    TStreamApply(const TBandTransform& transform, TSampleType in, TSampleType out);
    void Run(TSampleBlock& block, uint8_t* out) const;

private:
    template <class TOut> void RunAs(TSampleBlock& block, TOut* out) const;
    void RunOther(TSampleBlock& block, uint8_t* out) const;
    void Decisions(const TSampleBlock& block, double* floatDecide, const double*& decide) const;
    void RunGeneral(const TSampleBlock& block, uint8_t* out) const;
    TStreamMap Map;
    std::shared_ptr<const TGeneralMap> General; // bands beyond the unrolled kernels
    TExactApply Exact;
    const TStreamKernels& Kernels;
    TSampleType In;
    bool Clamp = false;                   // float outputs kept to 0..1 (a clipped stretch)
    double Decide[MaxCycle];              // for integer samples in: see TStreamMap::Decisions
    std::vector<double> DecideByPosition; // Decide at each position of a block (RunOther)
};

// One output of a map of the pixel whose samples (in storage order) start at p: its row's
// weights on the bands in working order (band order[j] takes row[j]), summed in extended
// precision in that order, then its constant, as the engine defines every map.
Extended WorkingSum(const double* p, const int* order, const double* row, int n) noexcept;

// Stores an extended result as a sample: integers rounded half to even and clamped to the
// type's range (not a number gives 0), floats rounded once, straight to the nearest float or
// double.
void StoreSample(uint8_t* p, TSampleType type, Extended value) noexcept;

// Stores a double the type holds exactly (a whole number of an integer type's range) as a
// sample.
void StoreWhole(uint8_t* p, TSampleType type, double value) noexcept;

// True when a view's pixels are packed: bands one after another, pixels one after another.
inline bool IsPackedPixels(const TImageView& v) noexcept {
    const auto size = static_cast<int64_t>(SampleBytes(v.Type));
    return v.BandStride == size && v.PixelStride == size * v.Bands;
}

// Calls Use(block) for the selected pixels of the segments, a block at a time, in scan order:
// pixels that the mask leaves out or (with Screen) that Counts refuses never enter a block.
// Without a mask or no-data value, Skip(k) may pass over the k-th block unread.
template <class TUse, class TSkip>
void ForEachBlock(const TImageView& v, const TSelection& sel, const TSegments& seg, bool screen,
                  TSampleBlock& block, const TUse& use, const TSkip& skip) {
    const bool perPixel = sel.Mask != nullptr || sel.HasNoData;
    if (perPixel) {
        block.Clear();
        ForEachSelected(v, sel, seg, screen, [&](const uint8_t* p) {
            block.Append(p, v);
            if (block.Full()) {
                use(block);
                block.Clear();
            }
        });
        if (block.Count() > 0)
            use(block);
        return;
    }
    int64_t k = 0;
    for (int64_t r = 0; r < seg.Count; ++r)
        for (int64_t from = 0; from < seg.Length; from += block.Capacity(), ++k) {
            if (skip(k))
                continue;
            const int64_t count = std::min(block.Capacity(), seg.Length - from);
            const uint8_t* first = seg.First + r * seg.Stride + from * seg.PixelStride;
            block.Clear();
            block.Read(first, count, seg.PixelStride, v);
            if (screen && block.NonFinite()) {
                block.Clear();
                for (int64_t i = 0; i < count; ++i)
                    if (Counts(first + i * seg.PixelStride, v, sel))
                        block.Append(first + i * seg.PixelStride, v);
            }
            // An empty block still counts, so that the range pass finds every box.
            use(block);
        }
}

template <class TUse>
void ForEachBlock(const TImageView& v, const TSelection& sel, const TSegments& seg, bool screen,
                  TSampleBlock& block, const TUse& use) {
    ForEachBlock(v, sel, seg, screen, block, use, [](int64_t) { return false; });
}

// The statistics pass, also recording the blocks' boxes when given.
TStatistics MeasureStatistics(const TImageView& image, const TSelection& selection,
                              TBlockBoxes* boxes);
// The range pass, passing over blocks by the boxes when they fit.
TComponentRanges MeasureComponentRanges(const TImageView& image, const TSelection& selection,
                                        const TPrincipalAxes& axes, const TBlockBoxes* boxes);

} // namespace vt::detail
