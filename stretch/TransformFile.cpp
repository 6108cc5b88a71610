// Transforms and statistics as JSON documents and files.
#include "stretch/TransformFile.h"

#include "stretch/EnginePrivate.h"
#include "stretch/LabSpace.h"

#include "streams/BufStream.h"
#include "streams/Json.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vt {

namespace {

const char* const TransformKind = "veltrane-transform";
const char* const StatisticsKind = "veltrane-statistics";
const char* const ClipHistogramKind = "veltrane-clip-histogram";
const char* const FitKind = "veltrane-fit";

const char* MethodName(TStretchMethod m) {
    return m == TStretchMethod::Offset      ? "offset"
           : m == TStretchMethod::ScaleOnly ? "scale-only"
                                            : "target";
}
const char* BasisName(TStretchBasis b) {
    return b == TStretchBasis::Correlation ? "correlation" : "covariance";
}
const char* PairingName(TBandPairing p) {
    return p == TBandPairing::Plugin ? "plugin" : "direct";
}

template <class TEnum>
TEnum Named(const TJsonValue& v, std::initializer_list<std::pair<const char*, TEnum>> names) {
    const std::string& text = v.AsString();
    std::string known;
    for (const auto& [name, value] : names) {
        if (text == name)
            return value;
        known += std::string(known.empty() ? "" : ", ") + name;
    }
    throw EStretch("\"" + v.Path() + "\" is \"" + text + "\", expected one of " + known);
}

// A number of the document that must be finite (infinities are written as null).
double Real(const TJsonValue& v) {
    const double d = v.AsDouble();
    if (!std::isfinite(d))
        throw EStretch("\"" + v.Path() + "\" is not a finite number");
    return d;
}

TJsonValue Extreme(double d) {
    return std::isfinite(d) ? TJsonValue(d) : TJsonValue();
}

double ReadExtreme(const TJsonValue& v, bool low) {
    if (v.IsNull())
        return low ? std::numeric_limits<double>::infinity()
                   : -std::numeric_limits<double>::infinity();
    return Real(v);
}

// The header every document starts with; checks it on reading and returns the version.
int CheckHeader(const TJsonValue& doc, const char* kind) {
    if (!doc.IsObject() || doc.Find("format") == nullptr)
        throw EStretch(std::string("not a ") + kind + " document");
    if (doc["format"].AsString() != kind)
        throw EStretch("the document is a " + doc["format"].AsString() + ", not a " + kind);
    const int64_t version = doc["version"].AsInt64();
    if (version > TransformFileVersion || version < 1)
        throw EStretch(Format("the document has version %d; this version of the library reads "
                              "version %d",
                              {static_cast<long long>(version), TransformFileVersion}));
    return static_cast<int>(version);
}

// Whether a transform's working order is the one its pairing gives: the plug-in's (third,
// second, first band) for the plug-in pairing of three bands, storage order otherwise.
bool OrderFitsPairing(TBandPairing pairing, const TVector<int>& order, int n) noexcept {
    const bool reversed = ReadsBandsReversed(pairing, n);
    if (order.size() != static_cast<size_t>(n))
        return false;
    for (int j = 0; j < n; ++j)
        if (order[j] != (reversed ? n - 1 - j : j))
            return false;
    return true;
}

// A no-data value as the document holds it: a number, or "inf" / "-inf" for a float type's
// infinities; it must be a sample of the type.
TJsonValue NoDataValue(double v) {
    return std::isfinite(v) ? TJsonValue(v) : TJsonValue(v > 0 ? "inf" : "-inf");
}

double ReadNoData(const TJsonValue& v, TSampleType type) {
    double d;
    if (v.IsString()) {
        if (v.AsString() != "inf" && v.AsString() != "-inf")
            throw EStretch("\"" + v.Path() + "\" is a number, \"inf\" or \"-inf\"");
        d = v.AsString() == "inf" ? std::numeric_limits<double>::infinity()
                                  : -std::numeric_limits<double>::infinity();
    } else {
        d = Real(v);
    }
    if (!detail::HoldsSample(d, type))
        throw EStretch("\"" + v.Path() + "\" does not fit " + SampleTypeName(type) + " samples");
    return d;
}

int Bands(const TJsonValue& doc) {
    const int64_t bands = doc["bands"].AsInt64();
    if (bands < 1 || bands > MaxBands)
        throw EStretch(Format("\"bands\" is %d; images have 1 to %d bands",
                              {static_cast<long long>(bands), MaxBands}));
    return static_cast<int>(bands);
}

void ExpectSize(const TJsonValue& v, size_t size) {
    if (!v.IsArray() || v.Size() != size)
        throw EStretch(Format("\"%s\" must be an array of %d elements",
                              {v.Path(), static_cast<long long>(size)}));
}

TJsonValue StatisticsValue(const TStatistics& s) {
    if (s.Bands < 1 || s.Bands > MaxBands)
        throw EStretch(Format("images have 1 to %d bands, not %d", {MaxBands, s.Bands}));
    TJsonValue doc = TJsonValue::Object();
    doc.Set("format", StatisticsKind);
    doc.Set("version", 1);
    doc.Set("bands", s.Bands);
    doc.Set("type", SampleTypeName(s.Type));
    doc.Set("count", s.Count);
    const bool real = IsFloatSample(s.Type);
    auto sum = [&](const TWideSum& w, const TCompensatedSum& c) {
        if (!real)
            return TJsonValue::Number(w.ToString());
        TJsonValue pair = TJsonValue::Array();
        pair.Push(c.High);
        pair.Push(c.Low);
        return pair;
    };
    // The product sums of the type's kind (the other kind holds none).
    const auto product = [&](int a, int b) {
        return real ? sum(TWideSum{}, s.RealProduct[a][b]) : sum(s.Product[a][b], {});
    };
    if (!s.Complete())
        throw EStretch(
            Format("statistics of %d bands do not hold sums of %d bands", {s.Bands, s.Bands}));
    TJsonValue sums = TJsonValue::Array(), products = TJsonValue::Array();
    TJsonValue lowest = TJsonValue::Array(), highest = TJsonValue::Array();
    for (int a = 0; a < s.Bands; ++a) {
        sums.Push(sum(s.Sum[a], s.RealSum[a]));
        TJsonValue row = TJsonValue::Array();
        for (int b = a; b < s.Bands; ++b)
            row.Push(product(a, b));
        products.Push(std::move(row));
        lowest.Push(Extreme(s.Lowest[a]));
        highest.Push(Extreme(s.Highest[a]));
    }
    doc.Set("sums", std::move(sums));
    doc.Set("products", std::move(products)); // row a: bands a..N-1
    doc.Set("lowest", std::move(lowest));
    doc.Set("highest", std::move(highest));
    return doc;
}

TStatistics StatisticsOf(const TJsonValue& doc) {
    CheckHeader(doc, StatisticsKind);
    const int n = Bands(doc);
    TStatistics s(n, SampleTypeNamed(doc["type"].AsString()));
    s.Count = doc["count"].AsInt64();
    if (s.Count < 0)
        throw EStretch("\"count\" is negative");
    const bool real = IsFloatSample(s.Type);
    TWideSum unusedWide;
    TCompensatedSum unusedReal;
    auto read = [&](const TJsonValue& v, TWideSum& w, TCompensatedSum& c) {
        if (real) {
            ExpectSize(v, 2);
            c.High = Real(v[0]);
            c.Low = Real(v[1]);
        } else {
            if (!v.IsNumber())
                throw EStretch("\"" + v.Path() + "\" must be an integer");
            w = TWideSum::Parse(v.NumberText());
        }
    };
    const TJsonValue& sums = doc["sums"];
    const TJsonValue& products = doc["products"];
    ExpectSize(sums, static_cast<size_t>(n));
    ExpectSize(products, static_cast<size_t>(n));
    ExpectSize(doc["lowest"], static_cast<size_t>(n));
    ExpectSize(doc["highest"], static_cast<size_t>(n));
    for (int a = 0; a < n; ++a) {
        read(sums[static_cast<size_t>(a)], s.Sum[a], s.RealSum[a]);
        const TJsonValue& row = products[static_cast<size_t>(a)];
        ExpectSize(row, static_cast<size_t>(n - a));
        for (int b = a; b < n; ++b)
            read(row[static_cast<size_t>(b - a)], real ? unusedWide : s.Product[a][b],
                 real ? s.RealProduct[a][b] : unusedReal);
        s.Lowest[a] = ReadExtreme(doc["lowest"][static_cast<size_t>(a)], true);
        s.Highest[a] = ReadExtreme(doc["highest"][static_cast<size_t>(a)], false);
    }
    return s;
}

TJsonValue Parse(const std::string& text) {
    try {
        return ParseJson(text);
    } catch (const EJsonError& e) {
        throw EStretch(e.Message);
    }
}

std::string ReadFile(const std::string& path) {
    TBufferedStream* in = OpenBufferedFile(path, false);
    std::string text;
    try {
        const int32_t size = in->BytesLeft();
        if (size > (int32_t{256} << 20))
            throw EStretch("\"" + path + "\" is too large for a transform or statistics file");
        text.resize(static_cast<size_t>(size));
        if (size > 0)
            in->Read(text.data(), size);
    } catch (...) {
        FreeChain(in);
        throw;
    }
    FreeChain(in);
    return text;
}

void WriteFile(const std::string& path, const std::string& text) {
    TBufferedStream* out = OpenBufferedFile(path, true);
    try {
        out->Write(text.data(), static_cast<int32_t>(text.size()));
        out->Write("\n", 1);
    } catch (...) {
        try {
            FreeChain(out);
        } catch (...) { // the first error is the one to report
        }
        throw;
    }
    FreeChain(out);
}

// Rethrows the accessors' refusals as the engine's, so that callers see one kind of error.
template <class TWork> auto Reading(const TWork& work) {
    try {
        return work();
    } catch (const EJsonError& e) {
        throw EStretch(e.Message);
    }
}

// The controls a version-2 transform records (absent ones stay at their defaults).
void ReadControls(const TJsonValue& doc, int n, TFitOptions& o) {
    if (const TJsonValue* space = doc.Find("space"))
        o.Space = Named<TColourSpace>(*space, {{"rgb", TColourSpace::Rgb},
                                               {"ycbcr", TColourSpace::YCbCr},
                                               {"yiq", TColourSpace::Yiq},
                                               {"matrix", TColourSpace::Matrix},
                                               {"lab", TColourSpace::Lab}});
    if (o.Space == TColourSpace::Matrix) {
        const TJsonValue& rows = doc["space-matrix"];
        ExpectSize(rows, 3);
        o.SpaceMatrix = TAffineMap(3);
        for (size_t r = 0; r < 3; ++r) {
            ExpectSize(rows[r], 4);
            for (size_t c = 0; c < 4; ++c)
                o.SpaceMatrix.M[r][c] = Real(rows[r][c]);
        }
    }
    if (const TJsonValue* keep = doc.Find("keep")) {
        if (!keep->IsArray())
            throw EStretch("\"keep\" must be an array of band numbers");
        for (size_t i = 0; i < keep->Size(); ++i) {
            const int64_t b = (*keep)[i].AsInt64();
            if (b < 1 || b > n)
                throw EStretch(
                    Format("\"keep\" lists band %d of %d", {static_cast<long long>(b), n}));
            o.Keep.Add(static_cast<int>(b - 1));
        }
    }
    if (const TJsonValue* clip = doc.Find("clip")) {
        ExpectSize(*clip, 2);
        o.Clip = true;
        o.ClipLow = Real((*clip)[0]);
        o.ClipHigh = Real((*clip)[1]);
        if (!(o.ClipLow >= 0 && o.ClipHigh >= 0 && o.ClipLow + o.ClipHigh < 1))
            throw EStretch("\"clip\" must hold two fractions of at least 0 below 1 together");
    }
}

// Whether a lab transform's outputs take a saturation (any gain but 1 or lift but 0).
bool HasLabSaturation(const TBandTransform& t) noexcept {
    for (int b = 0; b < 3; ++b)
        if (t.LabGain[b] != 1 || t.LabLift[b] != 0)
            return true;
    return false;
}

} // namespace

std::string WriteTransformJson(const TBandTransform& T) {
    const int n = T.Bands;
    if (n < 1 || n > MaxBands)
        throw EStretch(Format("images have 1 to %d bands, not %d", {MaxBands, n}));
    const TFitOptions& o = T.Options;
    if (!OrderFitsPairing(o.Pairing, T.Order, n))
        throw EStretch("the transform's band order contradicts its pairing");
    TJsonValue doc = TJsonValue::Object();
    // The lowest version that holds the transform, so that older readers take what they can:
    // 3 for a no-data value or the plug-in pairing (whose matrix version 3 writes in the
    // file's band order), 2 for the controls, 1 otherwise.
    const bool reversed = ReadsBandsReversed(o.Pairing, n);
    const bool controls = o.Space != TColourSpace::None || !o.Keep.Empty() || o.Clip;
    doc.Set("format", TransformKind);
    doc.Set("version", T.HasNoData || reversed ? TransformFileVersion : controls ? 2 : 1);
    doc.Set("bands", n);
    doc.Set("type", SampleTypeName(T.Type));
    doc.Set("method", MethodName(o.Method));
    doc.Set("basis", BasisName(o.Basis));
    doc.Set("pairing", PairingName(o.Pairing));
    if (o.Space != TColourSpace::None)
        doc.Set("space", ColourSpaceName(o.Space));
    if (o.Space == TColourSpace::Matrix) {
        TJsonValue rows = TJsonValue::Array();
        for (int r = 0; r < 3; ++r) {
            TJsonValue row = TJsonValue::Array();
            for (int c = 0; c < 4; ++c)
                row.Push(o.SpaceMatrix.M[r][c]);
            rows.Push(std::move(row));
        }
        doc.Set("space-matrix", std::move(rows));
    }
    if (!o.Keep.Empty()) {
        TJsonValue keep = TJsonValue::Array();
        for (int b = 0; b < n; ++b)
            if (o.Keep.Has(b))
                keep.Push(b + 1);
        doc.Set("keep", std::move(keep));
    }
    if (o.Clip) {
        TJsonValue clip = TJsonValue::Array();
        clip.Push(o.ClipLow);
        clip.Push(o.ClipHigh);
        doc.Set("clip", std::move(clip));
    }
    if (o.Space == TColourSpace::Lab && n == 3 && HasLabSaturation(T)) {
        // Lab's saturation, after the conversion back to RGB: [gain, lift] of each band.
        TJsonValue saturation = TJsonValue::Array();
        for (int b = 0; b < 3; ++b) {
            TJsonValue pair = TJsonValue::Array();
            pair.Push(T.LabGain[b]);
            pair.Push(T.LabLift[b]);
            saturation.Push(std::move(pair));
        }
        doc.Set("lab-saturation", std::move(saturation));
    }
    if (T.HasNoData) {
        (void)ReadNoData(NoDataValue(T.NoData), T.Type); // a value the file can hold
        doc.Set("nodata", NoDataValue(T.NoData));
    }
    // The matrix in the file's band order (Weight's; the plug-in pairing's engine reads a
    // file's three bands last to first).
    TJsonValue order = TJsonValue::Array(), matrix = TJsonValue::Array();
    for (int j = 0; j < n; ++j)
        order.Push(T.Order[j]);
    for (int out = 0; out < n; ++out) {
        TJsonValue row = TJsonValue::Array();
        for (int in = 0; in < n; ++in)
            row.Push(T.Weight(out, in));
        row.Push(T.Constant(out));
        matrix.Push(std::move(row));
    }
    doc.Set("order", std::move(order));
    doc.Set("matrix", std::move(matrix));
    // Those of the pixels' type, or for lab of their L*a*b* values; none for a transform made
    // by hand.
    const TSampleType statisticsType = detail::StatisticsTypeFor(o, T.Type);
    doc.Set("statistics",
            StatisticsValue(T.Statistics.Bands == n && T.Statistics.Type == statisticsType
                                ? T.Statistics
                                : TStatistics(n, statisticsType)));
    return Reading([&] { return ToJsonText(doc, true); });
}

TBandTransform ReadTransformJson(const std::string& Text) {
    return Reading([&] {
        const TJsonValue doc = Parse(Text);
        const int version = CheckHeader(doc, TransformKind);
        const int n = Bands(doc);
        TBandTransform t = TBandTransform::Identity(n, SampleTypeNamed(doc["type"].AsString()));
        t.Options.Method =
            Named<TStretchMethod>(doc["method"], {{"offset", TStretchMethod::Offset},
                                                  {"scale-only", TStretchMethod::ScaleOnly},
                                                  {"target", TStretchMethod::Target}});
        t.Options.Basis =
            Named<TStretchBasis>(doc["basis"], {{"correlation", TStretchBasis::Correlation},
                                                {"covariance", TStretchBasis::Covariance}});
        t.Options.Pairing = Named<TBandPairing>(
            doc["pairing"], {{"plugin", TBandPairing::Plugin}, {"direct", TBandPairing::Direct}});
        ReadControls(doc, n, t.Options);
        if (t.Options.Space == TColourSpace::Lab) {
            detail::CheckLabImage(n, t.Type);
            if (t.Options.Pairing != TBandPairing::Direct)
                throw EStretch("a lab transform pairs its bands directly");
            if (const TJsonValue* saturation = doc.Find("lab-saturation")) {
                ExpectSize(*saturation, 3);
                for (size_t b = 0; b < 3; ++b) {
                    ExpectSize((*saturation)[b], 2);
                    t.LabGain[b] = Real((*saturation)[b][0]);
                    t.LabLift[b] = Real((*saturation)[b][1]);
                }
            }
        }
        if (const TJsonValue* nodata = doc.Find("nodata"); nodata != nullptr && version >= 3) {
            t.HasNoData = true;
            t.NoData = ReadNoData(*nodata, t.Type);
        }
        const TJsonValue& order = doc["order"];
        ExpectSize(order, static_cast<size_t>(n));
        TVector<char> seen(static_cast<size_t>(n), 0);
        for (int j = 0; j < n; ++j) {
            const int64_t b = order[static_cast<size_t>(j)].AsInt64();
            if (b < 0 || b >= n || seen[b])
                throw EStretch(Format("\"order\" must list each band from 0 to %d once", {n - 1}));
            seen[b] = true;
            t.Order[j] = static_cast<int>(b);
        }
        if (!OrderFitsPairing(t.Options.Pairing, t.Order, n))
            throw EStretch(std::string("\"pairing\" and \"order\" contradict each other: the ") +
                           (ReadsBandsReversed(t.Options.Pairing, n)
                                ? "plug-in pairing of three bands sums in the order 2, 1, 0"
                                : "direct pairing sums in the bands' order"));
        // Versions 1 and 2 hold the matrix in the engine's band order, version 3 in the file's
        // (the plug-in pairing's engine sees a file's three bands last to first).
        const bool reversed = version >= 3 && ReadsBandsReversed(t.Options.Pairing, n);
        const auto file = [&](int b) { return static_cast<size_t>(reversed ? n - 1 - b : b); };
        const TJsonValue& matrix = doc["matrix"];
        ExpectSize(matrix, static_cast<size_t>(n));
        for (int r = 0; r < n; ++r) {
            const TJsonValue& row = matrix[file(t.Order[r])];
            ExpectSize(row, static_cast<size_t>(n + 1));
            for (int j = 0; j < n; ++j)
                t.Map.M[r][j] = Real(row[file(t.Order[j])]);
            t.Map.M[r][n] = Real(row[static_cast<size_t>(n)]);
        }
        t.Statistics = StatisticsOf(doc["statistics"]);
        if (t.Statistics.Bands != n ||
            t.Statistics.Type != detail::StatisticsTypeFor(t.Options, t.Type))
            throw EStretch(t.Options.Space == TColourSpace::Lab
                               ? "a lab transform's statistics are float64 L*a*b* statistics "
                                 "of three bands"
                               : "the statistics are not of the transform's bands and sample "
                                 "type");
        return t;
    });
}

std::string WriteStatisticsJson(const TStatistics& S) {
    return Reading([&] { return ToJsonText(StatisticsValue(S), true); });
}

TStatistics ReadStatisticsJson(const std::string& Text) {
    return Reading([&] { return StatisticsOf(Parse(Text)); });
}

std::string WriteClipHistogramJson(const TClipHistogram& H) {
    const int n = H.Stretch.Bands;
    TJsonValue doc = TJsonValue::Object();
    doc.Set("format", ClipHistogramKind);
    doc.Set("version", 1);
    doc.Set("transform", Parse(WriteTransformJson(H.Stretch)));
    doc.Set("low", H.LowFraction);
    doc.Set("high", H.HighFraction);
    doc.Set("pass", H.Pass);
    TJsonValue count = TJsonValue::Array(), prefix = TJsonValue::Array();
    TJsonValue passed = TJsonValue::Array(), limit = TJsonValue::Array();
    for (int b = 0; b < n; ++b) {
        count.Push(H.TotalCount(b));
        TJsonValue p = TJsonValue::Array(), q = TJsonValue::Array(), l = TJsonValue::Array();
        for (size_t side = 0; side < 2; ++side) {
            p.Push(H.Prefix[b][side]);
            q.Push(H.Passed[b][side]);
            // Limits not found (not a number) are null; so are infinite ones, which no stretch
            // is taken from either.
            l.Push(Extreme(H.Limit[b][side]));
        }
        prefix.Push(std::move(p));
        passed.Push(std::move(q));
        limit.Push(std::move(l));
    }
    doc.Set("count", std::move(count));
    doc.Set("prefix", std::move(prefix));
    doc.Set("passed", std::move(passed));
    doc.Set("limit", std::move(limit));
    // The bins that hold anything, as [index, count] pairs: most are empty.
    TJsonValue bins = TJsonValue::Array();
    for (size_t k = 0; k < H.Bins.size(); ++k)
        if (const uint64_t total = H.Total(k); total != 0) {
            TJsonValue pair = TJsonValue::Array();
            pair.Push(static_cast<uint64_t>(k));
            pair.Push(total);
            bins.Push(std::move(pair));
        }
    doc.Set("bins", std::move(bins));
    return Reading([&] { return ToJsonText(doc, false); });
}

TClipHistogram ReadClipHistogramJson(const std::string& Text) {
    return Reading([&] {
        const TJsonValue doc = Parse(Text);
        CheckHeader(doc, ClipHistogramKind);
        const TBandTransform t = ReadTransformJson(ToJsonText(doc["transform"], false));
        TClipHistogram h(t, Real(doc["low"]), Real(doc["high"]));
        const int n = t.Bands;
        const int64_t pass = doc["pass"].AsInt64();
        if (pass < 0 || pass > h.Passes)
            throw EStretch(Format("\"pass\" is %d; the saturation takes %d",
                                  {static_cast<long long>(pass), h.Passes}));
        h.Pass = static_cast<int>(pass);
        if (h.Passes > 1 && h.Pass > 0)
            h.Bins.assign(h.Bins.size() * 2, 0);
        // A prefix holds 16 bits of a key for every pass but the last.
        const int64_t prefixes = int64_t{1} << (16 * std::max(1, h.Passes - 1));
        const TJsonValue &count = doc["count"], &prefix = doc["prefix"];
        const TJsonValue &passed = doc["passed"], &limit = doc["limit"];
        for (const TJsonValue* v : {&count, &prefix, &passed, &limit})
            ExpectSize(*v, static_cast<size_t>(n));
        for (int b = 0; b < n; ++b) {
            const auto i = static_cast<size_t>(b);
            h.Count[b] = count[i].AsInt64();
            if (h.Count[b] < 0)
                throw EStretch("\"" + count[i].Path() + "\" is negative");
            ExpectSize(prefix[i], 2);
            ExpectSize(passed[i], 2);
            ExpectSize(limit[i], 2);
            for (size_t side = 0; side < 2; ++side) {
                const int64_t p = prefix[i][side].AsInt64(), q = passed[i][side].AsInt64();
                if (p < 0 || p >= prefixes || q < 0)
                    throw EStretch("\"" + prefix[i].Path() + "\" or \"" + passed[i].Path() +
                                   "\" is out of range");
                h.Prefix[b][side] = static_cast<uint64_t>(p);
                h.Passed[b][side] = static_cast<uint64_t>(q);
                h.Limit[b][side] = limit[i][side].IsNull() ? NAN : Real(limit[i][side]);
            }
        }
        const TJsonValue& bins = doc["bins"];
        if (!bins.IsArray())
            throw EStretch("\"bins\" must be an array of [index, count] pairs");
        for (size_t k = 0; k < bins.Size(); ++k) {
            ExpectSize(bins[k], 2);
            const int64_t index = bins[k][0].AsInt64(), value = bins[k][1].AsInt64();
            if (index < 0 || static_cast<uint64_t>(index) >= h.Bins.size() || value < 0)
                throw EStretch("\"" + bins[k].Path() + "\" is not a bin of the histogram");
            h.Bins[static_cast<size_t>(index)] = static_cast<uint64_t>(value);
        }
        return h;
    });
}

// ---- Fits between passes --------------------------------------------------------------------

namespace {

const char* const PassNames[] = {"statistics", "ranges", "clip", "done"};

template <class TValues> TJsonValue Numbers(const TValues& values, int n) {
    TJsonValue a = TJsonValue::Array();
    for (int b = 0; b < n; ++b)
        a.Push(std::isnan(values[b]) ? TJsonValue() : TJsonValue(values[b]));
    return a;
}

template <class TValues>
void ReadNumbers(const TJsonValue& a, int n, TValues& values, bool extremes, bool low) {
    ExpectSize(a, static_cast<size_t>(n));
    for (int b = 0; b < n; ++b) {
        const TJsonValue& v = a[static_cast<size_t>(b)];
        values[b] = extremes ? ReadExtreme(v, low) : v.IsNull() ? NAN : Real(v);
    }
}

} // namespace

std::string WriteStretchFitJson(const TStretchFit& F) {
    const int n = F.Bands;
    // The options, the no-data value, the statistics and the axes travel as a transform.
    TBandTransform carrier = TBandTransform::Identity(n, F.Type);
    carrier.Options = F.Options;
    for (int j = 0; j < n; ++j)
        carrier.Order[j] = F.Reversed ? n - 1 - j : j;
    if (F.Current != TStretchFit::TPass::Statistics && F.Options.Method != TStretchMethod::Target)
        carrier.Map = F.Axes.Map;
    carrier.Statistics = F.Stats;
    carrier.HasNoData = F.HasNoData;
    carrier.NoData = F.NoData;
    TJsonValue doc = TJsonValue::Object();
    doc.Set("format", FitKind);
    doc.Set("version", 1);
    doc.Set("state", Parse(WriteTransformJson(carrier)));
    doc.Set("pass", PassNames[static_cast<int>(F.Current)]);
    doc.Set("finished", F.Finished);
    doc.Set("measured", F.Measured);
    doc.Set("pieces", F.Pieces);
    doc.Set("through", F.ThroughSoFar);
    doc.Set("target-mean", Numbers(F.Options.TargetMean, n));
    doc.Set("target-sigma", Numbers(F.Options.TargetSigma, n));
    // Axes and ranges not yet measured: fractions of 0, ranges that saw nothing.
    TVector<double> fraction = F.Axes.Fraction;
    fraction.resize(static_cast<size_t>(n), 0.0);
    doc.Set("fraction", Numbers(fraction, n));
    TJsonValue lowest = TJsonValue::Array(), highest = TJsonValue::Array();
    const bool ranged = F.Ranges.Lowest.size() == static_cast<size_t>(n);
    for (int k = 0; k < n; ++k) {
        lowest.Push(ranged ? Extreme(F.Ranges.Lowest[k]) : TJsonValue());
        highest.Push(ranged ? Extreme(F.Ranges.Highest[k]) : TJsonValue());
    }
    doc.Set("lowest", std::move(lowest));
    doc.Set("highest", std::move(highest));
    if (F.Current == TStretchFit::TPass::Clip || F.Current == TStretchFit::TPass::Done)
        doc.Set("stretch", Parse(WriteTransformJson(F.Stretch)));
    if (F.Clip)
        doc.Set("clip", Parse(WriteClipHistogramJson(*F.Clip)));
    doc.Set("selection", F.SelectionDescription);
    doc.Set("message", F.NothingSelected);
    return Reading([&] { return ToJsonText(doc, false); });
}

TStretchFit ReadStretchFitJson(const std::string& Text) {
    return Reading([&] {
        const TJsonValue doc = Parse(Text);
        CheckHeader(doc, FitKind);
        const TBandTransform carrier = ReadTransformJson(ToJsonText(doc["state"], false));
        const int n = carrier.Bands;
        TFitOptions options = carrier.Options;
        ReadNumbers(doc["target-mean"], n, options.TargetMean, false, false);
        ReadNumbers(doc["target-sigma"], n, options.TargetSigma, false, false);
        TSelection selection;
        selection.HasNoData = carrier.HasNoData;
        selection.NoData = carrier.NoData;
        TStretchFit f(options, n, carrier.Type, selection);
        if (f.Reversed != ReadsBandsReversed(carrier.Options.Pairing, n))
            throw EStretch("the fit's band order contradicts its options");
        const std::string& pass = doc["pass"].AsString();
        int k = 0;
        while (k < 4 && pass != PassNames[k])
            ++k;
        if (k == 4)
            throw EStretch("\"pass\" is not one of the fit's passes");
        f.Current = static_cast<TStretchFit::TPass>(k);
        const int64_t finished = doc["finished"].AsInt64();
        if (finished < 0 || finished > f.PassCount)
            throw EStretch("\"finished\" counts more passes than the fit takes");
        f.Finished = static_cast<int>(finished);
        f.Measured = doc["measured"].AsBool();
        f.Pieces = static_cast<int>(std::max<int64_t>(2, doc["pieces"].AsInt64()));
        f.ThroughSoFar = Real(doc["through"]);
        f.Stats = carrier.Statistics;
        if (f.Current != TStretchFit::TPass::Statistics) {
            if (f.Options.Method != TStretchMethod::Target) {
                f.Axes.Bands = n;
                // Lab's axes are of the box, a float64 fit's.
                const bool lab = f.Options.Space == TColourSpace::Lab;
                f.Axes.Type = lab ? TSampleType::Float64 : carrier.Type;
                f.Axes.Order = carrier.Order;
                f.Axes.Fraction.assign(static_cast<size_t>(n), 0.0);
                f.Axes.Map = carrier.Map;
                f.Axes.Options = lab ? detail::LabBoxOptions(f.Options) : f.Options;
                f.Axes.Statistics = f.Stats;
                ReadNumbers(doc["fraction"], n, f.Axes.Fraction, false, false);
            }
            f.Ranges = TComponentRanges(n);
            ReadNumbers(doc["lowest"], n, f.Ranges.Lowest, true, true);
            ReadNumbers(doc["highest"], n, f.Ranges.Highest, true, false);
        }
        if (f.Current == TStretchFit::TPass::Clip || f.Current == TStretchFit::TPass::Done)
            f.Stretch = ReadTransformJson(ToJsonText(doc["stretch"], false));
        if (const TJsonValue* clip = doc.Find("clip"))
            f.Clip.emplace(ReadClipHistogramJson(ToJsonText(*clip, false)));
        if (f.Current == TStretchFit::TPass::Clip && !f.Clip)
            throw EStretch("the fit's saturation pass has no histogram");
        f.SelectionDescription = doc["selection"].AsString();
        f.NothingSelected = doc["message"].AsString();
        return f;
    });
}

namespace {

// Runs the reading of a file's text, naming the file in every refusal: "PATH: not a transform
// file: ..." for text that is not a document of the kind at all, "PATH: ..." otherwise.
template <class TRead>
auto ReadingFile(const std::string& path, const char* kind, const char* noun, const TRead& read) {
    const std::string text = ReadFile(path);
    bool document = false;
    try {
        const TJsonValue doc = ParseJson(text);
        document = doc.IsObject() && doc.Find("format") != nullptr && doc["format"].IsString() &&
                   doc["format"].AsString() == kind;
    } catch (const EJsonError&) {
    }
    try {
        return read(text);
    } catch (const EStretch& e) {
        throw EStretch(path + (document ? ": " : std::string(": not ") + noun + " file: ") +
                       e.Message);
    }
}

} // namespace

void SaveTransform(const TBandTransform& T, const std::string& Path) {
    WriteFile(Path, WriteTransformJson(T));
}

TBandTransform LoadTransform(const std::string& Path) {
    return ReadingFile(Path, TransformKind, "a transform",
                       [](const std::string& text) { return ReadTransformJson(text); });
}

void SaveStatistics(const TStatistics& S, const std::string& Path) {
    WriteFile(Path, WriteStatisticsJson(S));
}

TStatistics LoadStatistics(const std::string& Path) {
    return ReadingFile(Path, StatisticsKind, "a statistics",
                       [](const std::string& text) { return ReadStatisticsJson(text); });
}

} // namespace vt
