// Application: every pixel through a band transform, rounded and clamped for integer samples.
#include "stretch/EnginePrivate.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace vt {

using namespace detail;

namespace {

// Stores a sample already rounded (integers; not a number gives 0, and the range clamps) or
// a float as it is.
inline void StoreDecided(uint8_t* p, TSampleType type, double value) noexcept {
    switch (type) {
    case TSampleType::UInt8:
        *p = static_cast<uint8_t>(!(value > 0) ? 0 : value > 255 ? 255 : value);
        return;
    case TSampleType::UInt16: {
        const auto v = static_cast<uint16_t>(!(value > 0) ? 0 : value > 65535 ? 65535 : value);
        std::memcpy(p, &v, sizeof v);
        return;
    }
    case TSampleType::Float32: {
        const auto f = static_cast<float>(value);
        std::memcpy(p, &f, sizeof f);
        return;
    }
    }
}

// Stores an extended result as a sample: integers rounded half to even and clamped (not a
// number gives 0), floats rounded once, straight to the nearest float.
inline void StoreSample(uint8_t* p, TSampleType type, Extended value) noexcept {
    if (type == TSampleType::Float32) {
        const auto f = static_cast<float>(value);
        std::memcpy(p, &f, sizeof f);
        return;
    }
    StoreDecided(p, type, static_cast<double>(RoundHalfEven(value)));
}

// A double sum and a bound on its distance from the extended sum (both lie within (n + 1)
// roundings of the running magnitude of the exact sum): when every value within the bound
// rounds to the same sample, Result is that sample (integer samples before clamping) and the
// extended sum is not needed.
inline bool Settle(double sum, double bound, TSampleType type, double& result) noexcept {
    if (!(bound < 0.25) || !std::isfinite(sum))
        return false;
    if (type == TSampleType::Float32) {
        const auto low = static_cast<float>(sum - bound), high = static_cast<float>(sum + bound);
        result = low;
        return low == high;
    }
    // Beyond 2^51 every double is an integer already; below it, adding and taking away
    // 1.5 x 2^52 rounds to the nearest integer, halves to even.
    if (!(std::fabs(sum) < 0x1p51))
        return false;
    constexpr double magic = 0x1.8p52;
    const double low = ((sum - bound) + magic) - magic, high = ((sum + bound) + magic) - magic;
    result = low;
    return low == high;
}

template <class TIn> inline double Load(const uint8_t* p) noexcept {
    TIn v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<double>(v);
}

// Every pixel of rows [firstRow, firstRow + rows): sums in double where they decide the sample,
// in extended precision where they do not.
template <class TIn, TSampleType Out>
void GeneralRows(const TBandTransform& t, const TImageView& src, const TImageView& dst,
                 const TSelection* noData, int64_t firstRow, int64_t rows) {
    const int n = t.Bands;
    const bool marked = noData != nullptr && noData->HasNoData;
    int64_t inOffset[MaxBands], outOffset[MaxBands];
    for (int j = 0; j < n; ++j) {
        inOffset[j] = t.Order[j] * src.BandStride;
        outOffset[j] = t.Order[j] * dst.BandStride;
    }
    alignas(64) double d[MaxBands][BlockPixels];
    alignas(64) double sum[BlockPixels], bound[BlockPixels];
    bool skip[BlockPixels];
    for (int64_t y = firstRow; y < firstRow + rows; ++y)
        for (int64_t x0 = 0; x0 < src.Width; x0 += BlockPixels) {
            const int count = static_cast<int>(std::min<int64_t>(BlockPixels, src.Width - x0));
            const uint8_t* in = src.At(x0, y, 0);
            for (int i = 0; i < count; ++i, in += src.PixelStride)
                for (int j = 0; j < n; ++j)
                    d[j][i] = Load<TIn>(in + inOffset[j]);
            for (int i = 0; i < count; ++i) {
                bool all = marked;
                for (int j = 0; j < n && all; ++j)
                    all = d[j][i] == noData->NoData;
                skip[i] = all;
            }
            // Every input is read before any output is written, so the views may coincide.
            for (int r = 0; r < n; ++r) {
                const double* row = t.Map.M[r];
                BlockSums(row, n, d, count, sum, bound);
                uint8_t* out = dst.At(x0, y, 0) + outOffset[r];
                for (int i = 0; i < count; ++i, out += dst.PixelStride) {
                    if (skip[i])
                        continue;
                    double value;
                    if (Settle(sum[i], bound[i], Out, value)) {
                        StoreDecided(out, Out, value);
                        continue;
                    }
                    // A double holds every sample exactly, so the extended sum starts from them.
                    Extended e = static_cast<Extended>(d[0][i]) * row[0];
                    for (int j = 1; j < n; ++j)
                        e += static_cast<Extended>(d[j][i]) * row[j];
                    StoreSample(out, Out, e + row[n]);
                }
            }
            // No-data pixels stay as they are (converted when the target is another view).
            if (marked)
                for (int i = 0; i < count; ++i)
                    if (skip[i]) {
                        const uint8_t* from = src.At(x0 + i, y, 0);
                        uint8_t* to = dst.At(x0 + i, y, 0);
                        if (from != to || dst.Type != src.Type)
                            for (int j = 0; j < n; ++j)
                                StoreSample(to + outOffset[j], Out, d[j][i]);
                    }
        }
}

template <class TIn>
void GeneralApply(const TBandTransform& t, const TImageView& src, const TImageView& dst,
                  const TSelection* noData, int64_t firstRow, int64_t rows) {
    switch (dst.Type) {
    case TSampleType::UInt8:
        return GeneralRows<TIn, TSampleType::UInt8>(t, src, dst, noData, firstRow, rows);
    case TSampleType::UInt16:
        return GeneralRows<TIn, TSampleType::UInt16>(t, src, dst, noData, firstRow, rows);
    case TSampleType::Float32:
        return GeneralRows<TIn, TSampleType::Float32>(t, src, dst, noData, firstRow, rows);
    }
}

} // namespace

void ApplyStretch(const TBandTransform& T, const TImageView& Source, const TImageView& Target,
                  const TSelection* NoData) {
    Source.Check();
    Target.Check();
    if (Source.Bands != T.Bands || Target.Bands != T.Bands)
        throw EStretch(Format("the transform is for %d bands, the image has %d",
                              {T.Bands, Source.Bands != T.Bands ? Source.Bands : Target.Bands}));
    if (Source.Width != Target.Width || Source.Height != Target.Height)
        throw EStretch("the target is not the size of the image");
    if (NoData != nullptr && NoData->HasNoData) {
        TSelection marks;
        marks.HasNoData = true;
        marks.NoData = NoData->NoData;
        RegionOf(Source, marks); // the value must fit the samples
    }
    TFloatEnvironmentGuard environment;
    const bool marked = NoData != nullptr && NoData->HasNoData;
    if (!marked && IsThreeBytePixels(Source) && IsThreeBytePixels(Target) &&
        IsPluginOrder(T.Order, T.Bands)) {
        const TApplyPlan plan(AsAffineTransform(T.Map));
        TRegion whole;
        whole.X1 = Source.Width;
        whole.Y1 = Source.Height;
        // Rows merge into one run only when both sides are packed.
        const bool packed = Source.RowStride == Target.RowStride;
        const TSegments in = packed ? ThreeByteSegments(Source, whole) : SegmentsOf(Source, whole);
        const TSegments out = packed ? ThreeByteSegments(Target, whole) : SegmentsOf(Target, whole);
        const int parts = PartsFor(in);
        RunParts(parts, [&](int p) {
            const TSegments a = PartOf(in, p, parts), b = PartOf(out, p, parts);
            for (int64_t s = 0; s < a.Count; ++s)
                plan.Run(a.First + s * a.Stride, b.First + s * b.Stride, a.Length);
        });
        return;
    }
    TRegion whole;
    whole.X1 = Source.Width;
    whole.Y1 = Source.Height;
    const TSegments rows = SegmentsOf(Source, whole);
    const int parts = rows.Count > 1 ? PartsFor(rows) : 1;
    RunParts(parts, [&](int p) {
        const int64_t first = Source.Height * p / parts, end = Source.Height * (p + 1) / parts;
        if (Source.Type == TSampleType::UInt8)
            GeneralApply<uint8_t>(T, Source, Target, NoData, first, end - first);
        else if (Source.Type == TSampleType::UInt16)
            GeneralApply<uint16_t>(T, Source, Target, NoData, first, end - first);
        else
            GeneralApply<float>(T, Source, Target, NoData, first, end - first);
    });
}

} // namespace vt
