// Application: every pixel through a band transform, rounded and clamped for integer samples.
#include "stretch/FourByteKernels.h"
#include "stretch/KernelDispatch.h"
#include "stretch/LabSpace.h"
#include "stretch/StreamKernels.h"
#include "stretch/ThreeByteKernels.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace vt {

using namespace detail;

namespace {

// Copies Count pixels of N samples of Size bytes from Out to To, each pixel's samples in
// reverse order (three bands, the plug-in pairing's, unrolled).
template <class T, size_t N> void TurnPixels(const uint8_t* out, uint8_t* to, int64_t count) {
    constexpr size_t pixel = N * sizeof(T);
    for (int64_t i = 0; i < count; ++i, out += pixel, to += pixel)
        for (size_t b = 0; b < N; ++b)
            std::memcpy(to + (N - 1 - b) * sizeof(T), out + b * sizeof(T), sizeof(T));
}

template <class T> void TurnPixels(const uint8_t* out, uint8_t* to, int64_t count, int n) {
    if (n == 3)
        return TurnPixels<T, 3>(out, to, count);
    const size_t bands = static_cast<size_t>(n), pixel = bands * sizeof(T);
    for (int64_t i = 0; i < count; ++i, out += pixel, to += pixel)
        for (size_t b = 0; b < bands; ++b)
            std::memcpy(to + (bands - 1 - b) * sizeof(T), out + b * sizeof(T), sizeof(T));
}

void StoreTurned(const uint8_t* out, uint8_t* to, int64_t count, int n, int64_t size) {
    switch (size) {
    case 1:
        return TurnPixels<uint8_t>(out, to, count, n);
    case 2:
        return TurnPixels<uint16_t>(out, to, count, n);
    case 4:
        return TurnPixels<uint32_t>(out, to, count, n);
    default:
        return TurnPixels<uint64_t>(out, to, count, n);
    }
}

// Rows [first, end) of the source through the transform into the target, a block at a time:
// packed target rows are written in place, other layouts through a row of their own. Every
// sample of a block is read before any of its outputs is written, so the views may coincide.
// Apply is a TStreamApply, or the lab space's TLabApply.
template <class TApply>
void ApplyRows(const TApply& apply, const TImageView& src, const TImageView& dst,
               const TSelection* noData, int64_t first, int64_t end, TSampleBlock& block,
               std::vector<uint8_t>& aside) {
    const int n = src.Bands;
    const auto size = static_cast<int64_t>(SampleBytes(dst.Type));
    const bool packed = IsPackedPixels(dst);
    // Packed pixels whose bands the view numbers last to first (the plug-in's pairing of
    // three bands): each pixel's outputs are stored turned round.
    const bool reversed =
        !packed && n > 1 && dst.BandStride == -size && dst.PixelStride == size * n;
    const bool marked = noData != nullptr && noData->HasNoData;
    for (int64_t y = first; y < end; ++y)
        for (int64_t x0 = 0; x0 < src.Width; x0 += block.Capacity()) {
            const int64_t count = std::min(block.Capacity(), src.Width - x0);
            block.Clear();
            block.Read(src.At(x0, y, 0), count, src.PixelStride, src);
            uint8_t* out = packed ? dst.At(x0, y, 0) : aside.data();
            apply.Run(block, out);
            if (reversed)
                StoreTurned(out, dst.At(x0, y, n - 1), count, n, size);
            else if (!packed)
                for (int64_t i = 0; i < count; ++i)
                    for (int b = 0; b < n; ++b)
                        std::memcpy(dst.At(x0 + i, y, b), out + (i * n + b) * size,
                                    static_cast<size_t>(size));
            // No-data pixels, and pixels with a sample that is not finite, stay as they are
            // (converted when the target is another type).
            if (marked || block.NonFinite())
                for (int64_t i = 0; i < count; ++i) {
                    const double* pixel = block.Samples() + i * n;
                    bool all = marked, finite = true;
                    for (int b = 0; b < n; ++b) {
                        all = all && pixel[b] == noData->NoData;
                        finite = finite && IsFiniteSample(pixel[b]);
                    }
                    if (all || !finite)
                        for (int b = 0; b < n; ++b)
                            StoreSample(dst.At(x0 + i, y, b), dst.Type, pixel[b]);
                }
        }
}

// Runs Work(in, out) on each part of all the pixels of the two views: rows merge into one run
// only when both sides are packed.
template <class TWork>
void ForEachWholePart(const TImageView& source, const TImageView& target, const TWork& work) {
    TRegion whole;
    whole.X1 = source.Width;
    whole.Y1 = source.Height;
    const bool packed = source.RowStride == target.RowStride;
    const TSegments in = packed ? PackedSegments(source, whole) : SegmentsOf(source, whole);
    const TSegments out = packed ? PackedSegments(target, whole) : SegmentsOf(target, whole);
    const int parts = PartsFor(in);
    RunParts(parts, [&](int p) { work(PartOf(in, p, parts), PartOf(out, p, parts)); });
}

// Every row through Apply, the rows cut into parts.
template <class TApply>
void ApplyInRows(const TApply& apply, const TBandTransform& t, const TImageView& source,
                 const TImageView& target, const TSelection& marks) {
    TRegion whole;
    whole.X1 = source.Width;
    whole.Y1 = source.Height;
    const TSegments rows = SegmentsOf(source, whole);
    const int parts = rows.Count > 1 ? PartsFor(rows) : 1;
    std::vector<TSampleBlock> blocks;
    std::vector<std::vector<uint8_t>> aside;
    for (int p = 0; p < parts; ++p) {
        blocks.emplace_back(t.Bands, source.Type);
        aside.emplace_back(static_cast<size_t>(blocks.back().Capacity() * t.Bands) *
                           SampleBytes(target.Type));
    }
    RunParts(parts, [&](int p) {
        const auto i = static_cast<size_t>(p);
        ApplyRows(apply, source, target, &marks, source.Height * p / parts,
                  source.Height * (p + 1) / parts, blocks[i], aside[i]);
    });
}

} // namespace

TSelection NoDataOf(const TBandTransform& T) noexcept {
    TSelection marks;
    marks.HasNoData = T.HasNoData;
    marks.NoData = T.NoData;
    return marks;
}

TBandTransform ConvertedTransform(const TBandTransform& T, TSampleType To) {
    const bool lab = T.Options.Space == TColourSpace::Lab;
    if (lab)
        CheckLabImage(T.Bands, To);
    TBandTransform c = T;
    c.Type = To;
    if (!lab) // a lab transform's statistics are of L*a*b* values, whatever the samples
        c.Statistics = TStatistics(T.Bands, To);
    if (To == T.Type)
        return c;
    const auto from = static_cast<Extended>(SampleBottom(T.Type));
    const auto to = static_cast<Extended>(SampleBottom(To));
    const Extended k = (static_cast<Extended>(SampleTop(T.Type)) - from) /
                       (static_cast<Extended>(SampleTop(To)) - to);
    // y' = b_To + (W (b_T + k (x' - b_To)) + c - b_T) / k = W x' + (W 1 (b_T - k b_To) + c - b_T)
    // / k + b_To. A lab map is in L*a*b* units, which every type's samples decode to; only its
    // saturation is in the samples' units (every type lab takes starts at 0).
    for (int r = 0; lab && r < 3; ++r)
        c.LabLift[r] = static_cast<double>(T.LabLift[r] / k);
    for (int r = 0; !lab && r < T.Bands; ++r) {
        Extended weights = 0;
        for (int j = 0; j < T.Bands; ++j)
            weights += T.Map.M[r][j];
        const Extended constant = T.Map.M[r][T.Bands];
        c.Map.M[r][T.Bands] =
            static_cast<double>((weights * (from - k * to) + constant - from) / k + to);
    }
    if (T.HasNoData) {
        const double value = static_cast<double>(to + (T.NoData - from) / k);
        if (!HoldsSample(value, To))
            throw EStretch("the transform's no-data value " + NumberText(T.NoData) + " is " +
                           NumberText(value) + " as " + SampleTypeName(To) +
                           " samples, which is none of theirs");
        c.NoData = NoDataSample(value, To);
    }
    return c;
}

void ApplyStretch(const TBandTransform& T, const TImageView& StoredSource,
                  const TImageView& StoredTarget, const TSelection* NoData,
                  const TRunOptions& Run) {
    TRunScope scope(Run);
    const bool reversed = ReadsBandsReversed(T.Options.Pairing, T.Bands);
    const TImageView Source = InWorkingOrder(StoredSource, reversed);
    const TImageView Target = InWorkingOrder(StoredTarget, reversed);
    Source.Check();
    Target.Check();
    if (Source.Bands != T.Bands || Target.Bands != T.Bands)
        throw EStretch(Format("the transform is for %d bands, the image has %d",
                              {T.Bands, Source.Bands != T.Bands ? Source.Bands : Target.Bands}));
    CheckShape(T.Bands, T.Order, T.Map);
    if (Source.Width != Target.Width || Source.Height != Target.Height)
        throw EStretch("the target is not the size of the image");
    // Its weights and constants are in the units of the samples it was fitted to; the target
    // may take another type.
    if (Source.Type != T.Type)
        throw EStretch(Format("the transform is for %s samples, the image has %s",
                              {SampleTypeName(T.Type), SampleTypeName(Source.Type)}));
    // Only the no-data value of the selection counts here; it must fit the samples, and is
    // compared as the sample type rounds it.
    TSelection marks;
    if (NoData != nullptr && NoData->HasNoData) {
        marks.HasNoData = true;
        marks.NoData = NoData->NoData;
        RegionOf(Source, marks);
        marks = SelectionFor(Source, marks);
    }
    TFloatEnvironmentGuard environment;
    // Lab's pixels pass through L*a*b*, a block at a time: no kernel family of the affine
    // maps serves them.
    const TKernelFamily family =
        T.Options.Space == TColourSpace::Lab
            ? TKernelFamily::Stream
            : KernelFamilyFor(Source, &marks, TKernelPass::Apply(T, Target));
    if (family == TKernelFamily::ThreeByte) {
        const TApplyPlan plan(AsAffineTransform(T.Map));
        ForEachWholePart(Source, Target, [&](const TSegments& a, const TSegments& b) {
            for (int64_t s = 0; s < a.Count; ++s)
                plan.Run(a.First + s * a.Stride, b.First + s * b.Stride, a.Length,
                         Source.BandStride < 0);
        });
        return;
    }
    if (family == TKernelFamily::FourByte) {
        ForEachWholePart(Source, Target, [&](const TSegments& a, const TSegments& b) {
            FourByteApply(a, b, Source.BandStride, T);
        });
        return;
    }
    if (T.Options.Space == TColourSpace::Lab)
        ApplyInRows(TLabApply(T, Target.Type), T, Source, Target, marks);
    else
        ApplyInRows(TStreamApply(T, Source.Type, Target.Type), T, Source, Target, marks);
}

} // namespace vt
