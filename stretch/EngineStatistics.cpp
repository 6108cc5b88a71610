// The engine's image views, selections and statistics.
#include "stretch/FourByteKernels.h"
#include "stretch/KernelDispatch.h"
#include "stretch/StreamKernels.h"
#include "stretch/ThreeByteKernels.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

namespace vt {

using namespace detail;

// ---- Sample types and views ----------------------------------------------------------------

namespace {

struct TSampleTraits {
    TSampleType Type;
    const char* Name;
    size_t Bytes;
    double Bottom, Top;
    bool Float, Signed;
};

constexpr TSampleTraits Traits[] = {
    {TSampleType::UInt8, "uint8", 1, 0, 255, false, false},
    {TSampleType::UInt16, "uint16", 2, 0, 65535, false, false},
    {TSampleType::Float32, "float32", 4, 0, 1, true, false},
    {TSampleType::Int8, "int8", 1, -128, 127, false, true},
    {TSampleType::Int16, "int16", 2, -32768, 32767, false, true},
    {TSampleType::Int32, "int32", 4, -2147483648.0, 2147483647.0, false, true},
    {TSampleType::UInt32, "uint32", 4, 0, 4294967295.0, false, false},
    {TSampleType::Float64, "float64", 8, 0, 1, true, false},
};

const TSampleTraits& TraitsOf(TSampleType type) noexcept {
    for (const TSampleTraits& t : Traits)
        if (t.Type == type)
            return t;
    return Traits[0];
}

} // namespace

size_t SampleBytes(TSampleType Type) noexcept {
    return TraitsOf(Type).Bytes;
}

double SampleTop(TSampleType Type) noexcept {
    return TraitsOf(Type).Top;
}

double SampleBottom(TSampleType Type) noexcept {
    return TraitsOf(Type).Bottom;
}

bool IsFloatSample(TSampleType Type) noexcept {
    return TraitsOf(Type).Float;
}

bool IsSignedSample(TSampleType Type) noexcept {
    return TraitsOf(Type).Signed;
}

double SampleValue(const void* P, TSampleType Type) noexcept {
    return detail::LoadSample(static_cast<const uint8_t*>(P), Type);
}

const char* SampleTypeName(TSampleType Type) noexcept {
    return TraitsOf(Type).Name;
}

TSampleType SampleTypeNamed(const std::string& Name) {
    std::string known;
    for (const TSampleTraits& t : Traits) {
        if (Name == t.Name)
            return t.Type;
        known += std::string(known.empty() ? "" : ", ") + t.Name;
    }
    throw EStretch("unknown sample type \"" + Name + "\" (" + known + ")");
}

TImageView TImageView::Interleaved(void* Data, int64_t Width, int64_t Height, int Bands,
                                   TSampleType Type, int64_t RowStride) noexcept {
    TImageView v;
    v.Data = Data;
    v.Width = Width;
    v.Height = Height;
    v.Bands = Bands;
    v.Type = Type;
    v.BandStride = static_cast<int64_t>(SampleBytes(Type));
    v.PixelStride = v.BandStride * Bands;
    v.RowStride = RowStride != 0 ? RowStride : v.PixelStride * Width;
    return v;
}

TImageView TImageView::Planar(void* Data, int64_t Width, int64_t Height, int Bands,
                              TSampleType Type) noexcept {
    TImageView v = Interleaved(Data, Width, Height, Bands, Type);
    v.PixelStride = v.BandStride;
    v.RowStride = v.PixelStride * Width;
    v.BandStride = v.RowStride * Height;
    return v;
}

namespace {
// |a x b| without overflow, or -1 when it does not fit.
int64_t CheckedProduct(int64_t a, int64_t b) noexcept {
    const int64_t x = a < 0 ? -a : a, y = b < 0 ? -b : b;
    if (a == INT64_MIN || b == INT64_MIN || (y != 0 && x > INT64_MAX / y))
        return -1;
    return x * y;
}
} // namespace

void TImageView::Check() const {
    if (Bands < 1 || Bands > MaxBands)
        throw EStretch(Format("images have 1 to %d bands, not %d", {MaxBands, Bands}));
    if (Width < 0 || Height < 0)
        throw EStretch("an image cannot have a negative size");
    if (Width > 0 && Height > 0 && Data == nullptr)
        throw EStretch("the image has no pixels");
    // The farthest byte any sample lies from Data must be addressable.
    const int64_t reach[3] = {CheckedProduct(Width > 0 ? Width - 1 : 0, PixelStride),
                              CheckedProduct(Height > 0 ? Height - 1 : 0, RowStride),
                              CheckedProduct(Bands - 1, BandStride)};
    int64_t total = static_cast<int64_t>(SampleBytes(Type));
    for (int64_t r : reach) {
        if (r < 0 || r > INT64_MAX / 2 - total)
            throw EStretch("the image's strides reach beyond the address space");
        total += r;
    }
}

// ---- Selections ----------------------------------------------------------------------------

namespace detail {

TRegion RegionOf(const TImageView& image, const TSelection& s) {
    image.Check();
    if (s.Every < 1)
        throw EStretch("every: the step must be at least 1");
    // Each edge checked against the image before any sum is formed, so that no size can
    // overflow on the way.
    const bool inside = s.X >= 0 && s.Y >= 0 && s.X <= image.Width && s.Y <= image.Height &&
                        (s.Width < 0 || s.Width <= image.Width - s.X) &&
                        (s.Height < 0 || s.Height <= image.Height - s.Y);
    if (!inside)
        throw EStretch(Format("sample: the rectangle %s,%s,%s,%s does not lie within the %sx%s "
                              "image",
                              {std::to_string(s.X), std::to_string(s.Y), std::to_string(s.Width),
                               std::to_string(s.Height), std::to_string(image.Width),
                               std::to_string(image.Height)}));
    TRegion r;
    r.Every = s.Every;
    r.X0 = s.X;
    r.Y0 = s.Y;
    r.X1 = s.Width < 0 ? image.Width : s.X + s.Width;
    r.Y1 = s.Height < 0 ? image.Height : s.Y + s.Height;
    if (s.Mask != nullptr) {
        s.Mask->Check();
        if (s.Mask->Bands != 1 || s.Mask->Type != TSampleType::UInt8)
            throw EStretch("mask: a mask is one band of 8-bit samples");
        if (s.Mask->Width != image.Width || s.Mask->Height != image.Height)
            throw EStretch(Format("mask: the mask is %sx%s, the image %sx%s",
                                  {std::to_string(s.Mask->Width), std::to_string(s.Mask->Height),
                                   std::to_string(image.Width), std::to_string(image.Height)}));
    }
    if (s.HasNoData) {
        if (!HoldsSample(s.NoData, image.Type))
            throw EStretch(Format("nodata: the value does not fit %s samples (%s)",
                                  {SampleTypeName(image.Type), NumberText(s.NoData)}));
    }
    return r;
}

std::string NumberText(double value) {
    char text[32];
    for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value || value != value)
            break;
    }
    return text;
}

bool HoldsSample(double value, TSampleType type) noexcept {
    // Integer types hold whole numbers of their range; float32 every value that rounds to a
    // float, the infinities included (below 2^128 - 2^103, which rounds to infinity); float64
    // every double but not a number.
    switch (type) {
    case TSampleType::Float32:
        return std::isinf(value) || std::fabs(value) < 0x1.ffffffp127;
    case TSampleType::Float64:
        return !std::isnan(value);
    default:
        return value >= SampleBottom(type) && value <= SampleTop(type) &&
               value == std::floor(value);
    }
}

double NoDataSample(double value, TSampleType type) noexcept {
    return type == TSampleType::Float32 ? static_cast<double>(static_cast<float>(value)) : value;
}

TSelection SelectionFor(const TImageView& image, const TSelection& selection) noexcept {
    TSelection s = selection;
    if (s.HasNoData)
        s.NoData = NoDataSample(s.NoData, image.Type);
    return s;
}

TSegments SegmentsOf(const TImageView& image, const TRegion& region) noexcept {
    TSegments s;
    s.Count = region.Rows();
    s.Length = region.Columns();
    if (s.Count == 0 || s.Length == 0) {
        s.Count = s.Length = 0;
        return s;
    }
    s.First = image.At(region.X0, region.Y0, 0);
    // A step that leaves the image has no second row or pixel to reach (and its product with
    // a stride need not fit).
    s.Stride = s.Count > 1 ? image.RowStride * region.Every : 0;
    s.PixelStride = s.Length > 1 ? image.PixelStride * region.Every : image.PixelStride;
    s.Row = region.Y0;
    s.Offset = region.X0;
    s.Step = region.Every;
    return s;
}

TSegments PackedSegments(const TImageView& image, const TRegion& region) noexcept {
    TSegments s = SegmentsOf(image, region);
    if (s.Count > 1 && region.Every == 1 && region.X0 == 0 && region.X1 == image.Width &&
        image.PixelStride > 0 && image.RowStride == image.PixelStride * image.Width) {
        s.Length *= s.Count;
        s.Count = 1;
    }
    return s;
}

TImageView ViewOfBitmap(const TLinearBitmap& bitmap) noexcept {
    if (!bitmap.Present)
        return TImageView::Interleaved(nullptr, 0, 0, 3, TSampleType::UInt8);
    return TImageView::Interleaved(bitmap.Map, bitmap.Width, bitmap.Height, 3, TSampleType::UInt8,
                                   bitmap.BytesPerLine);
}

TImageView ColourViewOfBitmap(const TLinearBitmap& bitmap) noexcept {
    return InWorkingOrder(ViewOfBitmap(bitmap), bitmap.Present);
}

TImageView InWorkingOrder(const TImageView& view, bool reversed) noexcept {
    if (!reversed || view.Bands != 3 || view.Data == nullptr)
        return view;
    TImageView v = view;
    v.Data = view.At(0, 0, 2);
    v.BandStride = -view.BandStride;
    return v;
}

} // namespace detail

std::string SelectionText(const TSelection& s) {
    std::string text;
    const auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    if (s.X != 0 || s.Y != 0 || s.Width >= 0 || s.Height >= 0)
        add("sample " + std::to_string(s.X) + "," + std::to_string(s.Y) + "," +
            std::to_string(s.Width) + "," + std::to_string(s.Height));
    if (s.Mask != nullptr)
        add("mask");
    if (s.Every != 1)
        add("every " + std::to_string(s.Every));
    if (s.HasNoData)
        add("nodata " + NumberText(s.NoData));
    return text.empty() ? "the whole image" : text;
}

// ---- Sums ----------------------------------------------------------------------------------

Extended TWideSum::Value() const noexcept {
    return static_cast<Extended>(High) * 18446744073709551616.0L + static_cast<Extended>(Low);
}

std::string TWideSum::ToString() const {
    // Repeated division of the 128-bit value by 10^9.
    uint64_t hi = High, lo = Low;
    std::string digits;
    do {
        const uint64_t base = 1000000000;
        const uint64_t hq = hi / base, hr = hi % base;
        // (hr x 2^64 + lo) / base, in two 32-bit steps.
        const uint64_t mid = (hr << 32) | (lo >> 32);
        const uint64_t mq = mid / base, mr = mid % base;
        const uint64_t low = (mr << 32) | (lo & 0xffffffffu);
        const uint64_t lq = low / base, lr = low % base;
        hi = hq;
        lo = (mq << 32) | lq;
        std::string part = std::to_string(lr);
        if (hi != 0 || lo != 0)
            part.insert(0, 9 - part.size(), '0');
        digits.insert(0, part);
    } while (hi != 0 || lo != 0);
    return digits;
}

TWideSum TWideSum::Parse(const std::string& Text) {
    if (Text.empty() || Text.size() > 39)
        throw EStretch("a sum is a decimal integer of at most 39 digits, not \"" + Text + "\"");
    TWideSum v;
    for (char c : Text) {
        if (c < '0' || c > '9')
            throw EStretch("a sum is a decimal integer, not \"" + Text + "\"");
        // v = v x 10 + digit in 32-bit limbs, watching the top.
        uint64_t limb[4] = {v.Low & 0xffffffffu, v.Low >> 32, v.High & 0xffffffffu, v.High >> 32};
        uint64_t carry = static_cast<uint64_t>(c - '0');
        for (uint64_t& l : limb) {
            const uint64_t x = l * 10 + carry;
            l = x & 0xffffffffu;
            carry = x >> 32;
        }
        if (carry != 0)
            throw EStretch("a sum is too large: \"" + Text + "\"");
        v.Low = limb[0] | limb[1] << 32;
        v.High = limb[2] | limb[3] << 32;
    }
    return v;
}

void TCompensatedSum::Add(double Value) noexcept {
    // Neumaier's compensated addition: the rounding error of each addition goes into Low.
    const double t = High + Value;
    if (std::fabs(High) >= std::fabs(Value))
        Low += (High - t) + Value;
    else
        Low += (Value - t) + High;
    High = t;
}

void TCompensatedSum::Add(const TCompensatedSum& Other) noexcept {
    Add(Other.High);
    Low += Other.Low;
}

// ---- Statistics ----------------------------------------------------------------------------

TStatistics::TStatistics() noexcept : TStatistics(0, TSampleType::UInt8) {}

TStatistics::TStatistics(int bands, TSampleType type) : Bands(bands), Type(type) {
    const int n = std::clamp(bands, 0, MaxBands);
    const auto size = static_cast<size_t>(n);
    Sum.assign(size, TWideSum{});
    RealSum.assign(size, TCompensatedSum{});
    if (IsFloatSample(type))
        RealProduct = TRowMatrix<TCompensatedSum>(n, n);
    else
        Product = TRowMatrix<TWideSum>(n, n);
    Lowest.assign(size, std::numeric_limits<double>::infinity());
    Highest.assign(size, -std::numeric_limits<double>::infinity());
}

bool TStatistics::Complete() const noexcept {
    const auto n = static_cast<size_t>(Bands);
    const bool real = IsFloatSample(Type);
    const int rows = real ? RealProduct.Rows() : Product.Rows();
    const int columns = real ? RealProduct.Columns() : Product.Columns();
    return Bands >= 0 && Bands <= MaxBands && Sum.size() == n && RealSum.size() == n &&
           Lowest.size() == n && Highest.size() == n && rows == Bands && columns == Bands;
}

void TStatistics::Add(const TStatistics& Other) {
    if (Bands < 0 || Bands > MaxBands)
        throw EStretch(Format("images have 1 to %d bands, not %d", {MaxBands, Bands}));
    if (Other.Bands != Bands || Other.Type != Type)
        throw EStretch(
            Format("statistics of %d-band %s images cannot pool with %d-band %s ones",
                   {Other.Bands, SampleTypeName(Other.Type), Bands, SampleTypeName(Type)}));
    if (!Complete() || !Other.Complete())
        throw EStretch(
            Format("statistics of %d bands do not hold sums of %d bands", {Bands, Bands}));
    Count += Other.Count;
    const bool real = IsFloatSample(Type);
    for (int a = 0; a < Bands; ++a) {
        Sum[a].Add(Other.Sum[a]);
        RealSum[a].Add(Other.RealSum[a]);
        if (real) {
            TCompensatedSum* row = RealProduct[a];
            const TCompensatedSum* other = Other.RealProduct[a];
            for (int b = a; b < Bands; ++b)
                row[b].Add(other[b]);
        } else {
            TWideSum* row = Product[a];
            const TWideSum* other = Other.Product[a];
            for (int b = a; b < Bands; ++b)
                row[b].Add(other[b]);
        }
        Lowest[a] = std::min(Lowest[a], Other.Lowest[a]);
        Highest[a] = std::max(Highest[a], Other.Highest[a]);
    }
}

Extended TStatistics::SumOf(int b) const noexcept {
    return IsFloatSample(Type) ? RealSum[b].Value() : Sum[b].Value();
}

Extended TStatistics::ProductOf(int a, int b) const noexcept {
    if (a > b)
        std::swap(a, b);
    return IsFloatSample(Type) ? RealProduct[a][b].Value() : Product[a][b].Value();
}

double TStatistics::Mean(int b) const noexcept {
    if (Count <= 0)
        return 0.0;
    const Extended mean = SumOf(b) / static_cast<Extended>(Count);
    // The integer sums' shift taken back (none for unsigned types and floats).
    const double bottom = SampleBottom(Type);
    return static_cast<double>(bottom == 0 ? mean : mean + bottom);
}

double TStatistics::Correlation(int a, int b) const noexcept {
    // The plug-in's formula, term for term.
    return PearsonCorrelation(static_cast<Extended>(Count), SumOf(a), SumOf(b), ProductOf(a, a),
                              ProductOf(b, b), ProductOf(a, b));
}

double TStatistics::Covariance(int a, int b) const noexcept {
    if (Count <= 0)
        return 0;
    const Extended n = static_cast<Extended>(Count);
    const Extended ma = SumOf(a) / n, mb = SumOf(b) / n;
    const Extended c = ProductOf(a, b) / n - ma * mb;
    // Rounding may leave a constant band a tiny negative variance.
    return a == b && c < 0 ? 0.0 : static_cast<double>(c);
}

TStatistics ReversedStatistics(const TStatistics& S) {
    if (S.Bands != 3)
        return S;
    if (!S.Complete())
        throw EStretch("statistics of 3 bands do not hold sums of 3 bands");
    TStatistics r = S;
    const int n = S.Bands;
    const bool real = IsFloatSample(S.Type);
    for (int a = 0; a < n; ++a) {
        r.Sum[a] = S.Sum[n - 1 - a];
        r.RealSum[a] = S.RealSum[n - 1 - a];
        r.Lowest[a] = S.Lowest[n - 1 - a];
        r.Highest[a] = S.Highest[n - 1 - a];
        for (int b = a; b < n; ++b) {
            if (real)
                r.RealProduct[a][b] = S.RealProduct[n - 1 - b][n - 1 - a];
            else
                r.Product[a][b] = S.Product[n - 1 - b][n - 1 - a];
        }
    }
    return r;
}

bool TStatistics::operator==(const TStatistics& o) const {
    if (Bands != o.Bands || Type != o.Type || Count != o.Count || !Complete() || !o.Complete())
        return false;
    const bool real = IsFloatSample(Type);
    for (int a = 0; a < Bands; ++a) {
        if (!(Sum[a] == o.Sum[a]) || !(RealSum[a] == o.RealSum[a]) || Lowest[a] != o.Lowest[a] ||
            Highest[a] != o.Highest[a])
            return false;
        for (int b = a; b < Bands; ++b)
            if (real ? !(RealProduct[a][b] == o.RealProduct[a][b])
                     : !(Product[a][b] == o.Product[a][b]))
                return false;
    }
    return true;
}

// ---- The statistics pass -------------------------------------------------------------------

namespace {

// The sums of three-byte pixels; a reversed view (band 0 each pixel's third byte) is summed as
// stored and its bands renumbered, which integer sums allow exactly.
void ThreeBytePart(const TSegments& seg, bool reversed, TStatistics& st) {
    TChannelSums sums;
    TSegments stored = seg;
    if (reversed && stored.First != nullptr)
        stored.First -= 2;
    SumsOfSegments(stored, sums);
    const auto band = [&](int b) { return reversed ? 2 - b : b; };
    st.Count += seg.Count * seg.Length;
    for (int a = 0; a < 3; ++a) {
        st.Sum[a].Add(static_cast<uint64_t>(sums.Sum[band(a)]));
        for (int b = a; b < 3; ++b)
            st.Product[a][b].Add(static_cast<uint64_t>(
                sums.Product[std::min(band(a), band(b))][std::max(band(a), band(b))]));
        if (seg.Count * seg.Length > 0) {
            st.Lowest[a] = std::min(st.Lowest[a], static_cast<double>(sums.Lowest[band(a)]));
            st.Highest[a] = std::max(st.Highest[a], static_cast<double>(sums.Highest[band(a)]));
        }
    }
}

} // namespace

namespace detail {

TStatistics MeasureStatistics(const TImageView& image, const TSelection& given,
                              TBlockBoxes* boxes) {
    const TRegion region = RegionOf(image, given);
    const TSelection selection = SelectionFor(image, given);
    const bool plain = selection.Mask == nullptr && !selection.HasNoData;
    const TKernelFamily family = KernelFamilyFor(image, &selection, TKernelPass::Statistics());
    const bool stream = family == TKernelFamily::Stream;
    const TSegments segments =
        plain && region.Every == 1 ? PackedSegments(image, region) : SegmentsOf(image, region);
    // Integer sums are exact, so any cut gives the same; compensated float sums are added in
    // the order of parts that the image alone decides.
    const int threads = PartsFor(segments);
    const bool real = IsFloatSample(image.Type);
    const int parts = real ? FixedPartsFor(segments) : threads;
    const bool screen = selection.HasNoData || real;
    std::vector<TStatistics> partStats(static_cast<size_t>(parts),
                                       TStatistics(image.Bands, image.Type));
    std::vector<TSampleBlock> blocks;
    std::vector<TStreamStatistics> sums;
    if (stream)
        for (int p = 0; p < parts; ++p) {
            blocks.emplace_back(image.Bands, image.Type, TSampleBlock::Shifted);
            sums.emplace_back(image.Bands, image.Type);
        }
    const bool boxed = boxes != nullptr && stream && plain;
    if (boxed) {
        boxes->Parts = parts;
        boxes->Boxes.assign(static_cast<size_t>(parts), {});
        // Room for every block, so that the parts never allocate.
        for (int p = 0; p < parts; ++p) {
            const TSegments part = PartOf(segments, p, parts);
            const int64_t room = blocks[0].Capacity();
            boxes->Boxes[static_cast<size_t>(p)].reserve(static_cast<size_t>(
                2 * image.Bands * part.Count * ((part.Length + room - 1) / room)));
        }
    } else if (boxes != nullptr) {
        boxes->Parts = 0;
    }
    RunParts(parts, threads, [&](int p) {
        const TSegments part = PartOf(segments, p, parts);
        const auto i = static_cast<size_t>(p);
        if (family == TKernelFamily::ThreeByte) {
            ThreeBytePart(part, image.BandStride < 0, partStats[i]);
            return;
        }
        if (family == TKernelFamily::FourByte) {
            FourByteStatistics(part, image.BandStride, partStats[i]);
            return;
        }
        std::vector<float>* box = boxed ? &boxes->Boxes[i] : nullptr;
        ForEachBlock(image, selection, part, screen, blocks[i],
                     [&](TSampleBlock& block) { sums[i].Add(block, box); });
        sums[i].AddTo(partStats[i]);
    });
    TStatistics total(image.Bands, image.Type);
    for (const TStatistics& st : partStats)
        total.Add(st);
    return total;
}

} // namespace detail

TStatistics MeasureStatistics(const TImageView& Image, const TSelection& Selection,
                              const TRunOptions& Run) {
    TRunScope scope(Run);
    return detail::MeasureStatistics(Image, Selection, nullptr);
}

} // namespace vt
