// Application: every pixel through a band transform, rounded and clamped for integer samples.
#include "stretch/FourByteKernels.h"
#include "stretch/KernelDispatch.h"
#include "stretch/StreamKernels.h"
#include "stretch/ThreeByteKernels.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace vt {

using namespace detail;

namespace {

// Rows [first, end) of the source through the transform into the target, a block at a time:
// packed target rows are written in place, other layouts through a row of their own. Every
// sample of a block is read before any of its outputs is written, so the views may coincide.
void ApplyRows(const TStreamApply& apply, const TImageView& src, const TImageView& dst,
               const TSelection* noData, int64_t first, int64_t end, TSampleBlock& block,
               std::vector<uint8_t>& aside) {
    const int n = src.Bands;
    const auto size = static_cast<int64_t>(SampleBytes(dst.Type));
    const bool packed = IsPackedPixels(dst);
    const bool marked = noData != nullptr && noData->HasNoData;
    for (int64_t y = first; y < end; ++y)
        for (int64_t x0 = 0; x0 < src.Width; x0 += block.Capacity()) {
            const int64_t count = std::min(block.Capacity(), src.Width - x0);
            block.Clear();
            block.Read(src.At(x0, y, 0), count, src.PixelStride, src);
            uint8_t* out = packed ? dst.At(x0, y, 0) : aside.data();
            apply.Run(block, out);
            if (!packed)
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

} // namespace

TSelection NoDataOf(const TBandTransform& T) noexcept {
    TSelection marks;
    marks.HasNoData = T.HasNoData;
    marks.NoData = T.NoData;
    return marks;
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
    const TKernelFamily family = KernelFamilyFor(Source, &marks, TKernelPass::Apply(T, Target));
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
    TRegion whole;
    whole.X1 = Source.Width;
    whole.Y1 = Source.Height;
    const TSegments rows = SegmentsOf(Source, whole);
    const int parts = rows.Count > 1 ? PartsFor(rows) : 1;
    const TStreamApply apply(T, Source.Type, Target.Type);
    std::vector<TSampleBlock> blocks;
    std::vector<std::vector<uint8_t>> aside;
    for (int p = 0; p < parts; ++p) {
        blocks.emplace_back(T.Bands, Source.Type);
        aside.emplace_back(static_cast<size_t>(blocks.back().Capacity() * T.Bands) *
                           SampleBytes(Target.Type));
    }
    RunParts(parts, [&](int p) {
        const auto i = static_cast<size_t>(p);
        ApplyRows(apply, Source, Target, &marks, Source.Height * p / parts,
                  Source.Height * (p + 1) / parts, blocks[i], aside[i]);
    });
}

} // namespace vt
