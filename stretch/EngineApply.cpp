// Application: every pixel through a band transform, rounded and clamped for integer samples.
#include "stretch/EnginePrivate.h"

#include <vector>

namespace vt {

using namespace detail;

namespace {

bool PluginOrder(const TBandTransform& t) noexcept {
    return t.Bands == 3 && t.Order[0] == 2 && t.Order[1] == 1 && t.Order[2] == 0;
}

// Stores an extended result as a sample: integers rounded half to even and clamped (not a
// number gives 0), floats rounded to the nearest float.
inline void StoreSample(uint8_t* p, TSampleType type, Extended value) noexcept {
    switch (type) {
    case TSampleType::UInt8:
        *p = RoundClampByte(value);
        return;
    case TSampleType::UInt16: {
        const Extended r = RoundHalfEven(value);
        const uint16_t v = r > 65535 ? 65535 : r >= 0 ? static_cast<uint16_t>(r) : 0;
        std::memcpy(p, &v, sizeof v);
        return;
    }
    case TSampleType::Float32: {
        const auto v = static_cast<float>(value);
        std::memcpy(p, &v, sizeof v);
        return;
    }
    }
}

void GeneralApply(const TBandTransform& t, const TImageView& src, const TImageView& dst,
                  const TSelection* noData, int64_t firstRow, int64_t rows) {
    const int n = t.Bands;
    const TSelection none;
    const TSelection& marks = noData != nullptr ? *noData : none;
    for (int64_t y = firstRow; y < firstRow + rows; ++y)
        for (int64_t x = 0; x < src.Width; ++x) {
            const uint8_t* in = src.At(x, y, 0);
            uint8_t* out = dst.At(x, y, 0);
            Extended v[MaxBands];
            for (int j = 0; j < n; ++j)
                v[j] = LoadSample(in + t.Order[j] * src.BandStride, src.Type);
            if (marks.HasNoData) {
                bool all = true;
                for (int j = 0; j < n && all; ++j)
                    all = v[j] == marks.NoData;
                if (all) {
                    if (out != in || dst.Type != src.Type)
                        for (int b = 0; b < n; ++b)
                            StoreSample(out + b * dst.BandStride, dst.Type,
                                        LoadSample(in + b * src.BandStride, src.Type));
                    continue;
                }
            }
            // Every input is read before any output is written, so the views may coincide.
            Extended y0[MaxBands];
            for (int r = 0; r < n; ++r) {
                Extended sum = v[0] * t.Map.M[r][0];
                for (int j = 1; j < n; ++j)
                    sum += v[j] * t.Map.M[r][j];
                y0[r] = sum + t.Map.M[r][n];
            }
            for (int r = 0; r < n; ++r)
                StoreSample(out + t.Order[r] * dst.BandStride, dst.Type, y0[r]);
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
    if (!marked && IsThreeBytePixels(Source) && IsThreeBytePixels(Target) && PluginOrder(T)) {
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
        GeneralApply(T, Source, Target, NoData, first, end - first);
    });
}

} // namespace vt
