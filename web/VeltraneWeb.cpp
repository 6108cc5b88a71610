// The stretch engine for the web page: a few C functions over RGBA pixels in the module's
// memory, called from the page's worker. They fit and apply exactly as `veltrane stretch` does
// on the colour bands of an 8-bit image (the alpha band is left alone, and fully transparent
// pixels take no part in the fit), strip by strip so that the page can show progress, and
// never let an exception out.
#include "library/Startup.h"
#include "streams/Json.h"
#include "stretch/StretchEngine.h"
#include "stretch/TransformFile.h"

#include <emscripten.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <functional>
#include <new>
#include <string>
#include <string_view>

namespace {

using namespace vt;

// The page's progress bar: Module.onProgress(fraction, phase) when the page has set it.
EM_JS(void, ReportProgress, (double fraction, const char* phase), {
    if (Module["onProgress"])
        Module["onProgress"](fraction, UTF8ToString(phase));
});

std::string Message, TransformText;

// The engine's options and the statistics' rectangle, read from the page's JSON, whose keys
// are the command line's options.
struct TWebOptions {
    TFitOptions Fit;
    TSelection Selection;
};

std::vector<double> Numbers(const TJsonValue& v, const char* option) {
    std::vector<double> out;
    if (v.IsNull())
        return out;
    if (v.IsNumber())
        return {v.AsDouble()};
    for (const TJsonValue& x : v.AsArray()) {
        const double d = x.AsDouble();
        if (!std::isfinite(d))
            throw EStretch(std::string(option) + " takes numbers");
        out.push_back(d);
    }
    return out;
}

TWebOptions ReadOptions(const std::string& text) {
    TWebOptions o;
    const TJsonValue doc = ParseJson(text);
    TFitOptions& fit = o.Fit;
    if (const TJsonValue* v = doc.Find("offset"); v != nullptr && !v->IsNull())
        fit.Method = v->AsBool() ? TStretchMethod::Offset : TStretchMethod::ScaleOnly;
    if (const TJsonValue* v = doc.Find("basis"); v != nullptr && !v->IsNull()) {
        const std::string& b = v->AsString();
        if (b != "correlation" && b != "covariance")
            throw EStretch("--basis takes correlation or covariance, not '" + b + "'");
        fit.Basis = b == "correlation" ? TStretchBasis::Correlation : TStretchBasis::Covariance;
    }
    if (const TJsonValue* v = doc.Find("pairing"); v != nullptr && !v->IsNull()) {
        const std::string& p = v->AsString();
        if (p != "plugin" && p != "direct")
            throw EStretch("--pairing takes plugin or direct, not '" + p + "'");
        fit.Pairing = p == "plugin" ? TBandPairing::Plugin : TBandPairing::Direct;
    }
    if (const TJsonValue* v = doc.Find("sample"); v != nullptr && !v->IsNull()) {
        if (v->Size() != 4)
            throw EStretch("--sample takes X,Y,W,H");
        o.Selection.X = (*v)[0].AsInt64();
        o.Selection.Y = (*v)[1].AsInt64();
        o.Selection.Width = (*v)[2].AsInt64();
        o.Selection.Height = (*v)[3].AsInt64();
    }
    for (const char* key : {"target_mean", "target_sigma"}) {
        const TJsonValue* v = doc.Find(key);
        const std::vector<double> values = v == nullptr ? std::vector<double>{} : Numbers(*v, key);
        if (values.empty())
            continue;
        const bool mean = std::string_view(key) == "target_mean";
        const char* option = mean ? "--target-mean" : "--target-sigma";
        if (values.size() != 1 && values.size() != 3)
            throw EStretch(std::string(option) + ": give one value, or one a band (three)");
        double* to = mean ? fit.TargetMean : fit.TargetSigma;
        for (size_t b = 0; b < static_cast<size_t>(MaxBands); ++b) {
            to[b] = values[std::min(b, values.size() - 1)];
            if (!mean && to[b] < 0)
                throw EStretch("--target-sigma takes numbers of at least 0");
        }
        fit.Method = TStretchMethod::Target;
        fit.Pairing = TBandPairing::Direct;
    }
    if (const TJsonValue* v = doc.Find("space"); v != nullptr && !v->IsNull()) {
        const std::string& s = v->AsString();
        if (s != "rgb" && s != "ycbcr" && s != "yiq")
            throw EStretch("--space takes rgb, ycbcr or yiq, not '" + s + "'");
        fit.Space = ColourSpaceNamed(s);
    }
    if (const TJsonValue* v = doc.Find("keep"))
        for (const double b : Numbers(*v, "--keep")) {
            if (b != std::floor(b) || b < 1 || b > 3)
                throw EStretch("--keep takes band numbers from 1 to 3");
            fit.Keep |= 1u << (static_cast<int>(b) - 1);
        }
    if (fit.Keep == 7)
        throw EStretch("--keep keeps every band: nothing is left to stretch");
    if (const TJsonValue* v = doc.Find("clip"); v != nullptr && !v->IsNull()) {
        const std::vector<double> f = Numbers(*v, "--clip");
        if (f.empty() || f.size() > 2 || f[0] < 0 || f.back() < 0 || f[0] + f.back() >= 1)
            throw EStretch("--clip takes LOW[,HIGH]: fractions of at least 0, together below 1");
        fit.Clip = true;
        fit.ClipLow = f[0];
        fit.ClipHigh = f.back();
    }
    return o;
}

// The colour bands of packed RGBA pixels, presented last to first when the pairing asks for
// it (as the command line presents a file's bands).
TImageView ColourBands(uint8_t* rgba, int64_t width, int64_t height, bool reversed) {
    TImageView v;
    v.Data = reversed ? rgba + 2 : rgba;
    v.Width = width;
    v.Height = height;
    v.Bands = 3;
    v.Type = TSampleType::UInt8;
    v.PixelStride = 4;
    v.RowStride = 4 * width;
    v.BandStride = reversed ? -1 : 1;
    return v;
}

// Rows a strip holds: about a million pixels, so that progress moves on large images.
int64_t StripRows(int64_t width) {
    return std::max<int64_t>(1, (int64_t{1} << 20) / std::max<int64_t>(width, 1));
}

// Runs Each over the strips of the rows that hold selected pixels, with the selection in the
// strip's coordinates (and Mask's rows of the strip as its mask, when given), and tells the
// page the share of the pass done after each strip.
void ForEachSelectedStrip(const TImageView& image, const TSelection& selection, const char* phase,
                          const std::function<void(const TImageView&, const TSelection&)>& each,
                          const TImageView* mask = nullptr) {
    const int64_t strip = StripRows(image.Width);
    const int64_t top = selection.Y;
    const int64_t bottom = selection.Height < 0 ? image.Height : selection.Y + selection.Height;
    for (int64_t y = 0; y < image.Height; y += strip) {
        const int64_t rows = std::min(strip, image.Height - y);
        const int64_t first = std::max(top, y), end = std::min(bottom, y + rows);
        if (first < end) {
            TImageView part = image;
            part.Data = image.At(0, y, 0);
            part.Height = rows;
            TSelection s = selection;
            s.Y = first - y;
            s.Height = end - first;
            TImageView partMask;
            if (mask != nullptr) {
                partMask = *mask;
                partMask.Data = mask->At(0, y, 0);
                partMask.Height = rows;
                s.Mask = &partMask;
            }
            each(part, s);
        }
        ReportProgress(static_cast<double>(y + rows) / static_cast<double>(image.Height), phase);
    }
}

void ApplyInStrips(const TBandTransform& t, const TImageView& image) {
    // The transform's own no-data pixels stay as they are, as veltrane apply leaves them.
    const TSelection marks = NoDataOf(t);
    ForEachSelectedStrip(image, {}, "apply", [&](const TImageView& v, const TSelection&) {
        ApplyStretch(t, v, v, &marks);
    });
}

// The alpha band of packed RGBA pixels as a mask of the pixels that show (alpha above 0), or
// an empty view when every pixel shows (the statistics then take their fastest passes).
TImageView Showing(uint8_t* rgba, int64_t width, int64_t height) {
    const int64_t pixels = width * height;
    int64_t k = 0;
    while (k < pixels && rgba[4 * k + 3] != 0)
        ++k;
    if (k == pixels)
        return {};
    TImageView alpha;
    alpha.Data = rgba + 3;
    alpha.Width = width;
    alpha.Height = height;
    alpha.Bands = 1;
    alpha.Type = TSampleType::UInt8;
    alpha.PixelStride = 4;
    alpha.RowStride = 4 * width;
    alpha.BandStride = 1;
    return alpha;
}

// The fit of `veltrane stretch`: the statistics, the components' ranges (unless the target
// method, which needs none), then the saturation's passes. Fully transparent pixels (Showing,
// when not empty) take no part in any of them.
TBandTransform Fit(const TImageView& image, const TWebOptions& o, const TImageView& showing) {
    // The engine's checks of the selection, before any pass, on a stand-in of the image's
    // size whose every pixel is its first one, sampled once.
    TImageView stand = image;
    stand.PixelStride = 0;
    stand.RowStride = 0;
    TSelection once = o.Selection;
    once.Every = std::max<int64_t>({image.Width, image.Height, 1});
    MeasureStatistics(stand, once);
    ColourSpaceMap(o.Fit, 3, TSampleType::UInt8);
    const TImageView* mask = showing.Data != nullptr ? &showing : nullptr;
    TStatistics total(3, TSampleType::UInt8);
    ForEachSelectedStrip(
        image, o.Selection, "statistics",
        [&](const TImageView& v, const TSelection& s) { total.Add(MeasureStatistics(v, s)); },
        mask);
    if (total.Count == 0)
        throw EStretch("no pixels selected (" + SelectionText(o.Selection) +
                       (mask != nullptr ? ", fully transparent pixels left out)" : ")"));
    TBandTransform t;
    if (o.Fit.Method == TStretchMethod::Target) {
        t = FitTarget(total, o.Fit);
    } else {
        const TPrincipalAxes axes = FitAxes(total, o.Fit);
        TComponentRanges ranges(3);
        ForEachSelectedStrip(
            image, o.Selection, "ranges",
            [&](const TImageView& v, const TSelection& s) {
                ranges.Add(MeasureComponentRanges(v, s, axes));
            },
            mask);
        t = BuildStretch(axes, ranges);
    }
    if (!o.Fit.Clip)
        return t;
    TClipHistogram clip(t, o.Fit.ClipLow, o.Fit.ClipHigh);
    while (clip.NeedsPass()) {
        ForEachSelectedStrip(
            image, o.Selection, "clip",
            [&](const TImageView& v, const TSelection& s) { clip.Measure(v, s); }, mask);
        clip.FinishPass();
    }
    return clip.Clipped();
}

// Runs Work, turning every failure into a message for the page: 0 done, 2 refused.
int Guarded(const std::function<void()>& work) {
    Message.clear();
    try {
        work();
        return 0;
    } catch (const std::bad_alloc&) {
        Message = "The image needs more memory than this browser can give the page.";
    } catch (const std::exception& e) {
        Message = e.what();
    } catch (...) {
        Message = "The stretch failed for an unknown reason.";
    }
    return 2;
}

void CheckSize(int width, int height) {
    if (width <= 0 || height <= 0)
        throw EStretch("the image has no pixels");
}

struct TStartup {
    TStartup() { LibraryStartup(); }
} Startup;

} // namespace

extern "C" {

// Stretches the colour of Width x Height packed RGBA pixels in place by the options (JSON
// whose keys are the command line's options). 0 done, 2 refused (vt_web_message says why).
EMSCRIPTEN_KEEPALIVE int vt_web_stretch(uint8_t* rgba, int width, int height, const char* options) {
    return Guarded([&] {
        CheckSize(width, height);
        const TWebOptions o = ReadOptions(options != nullptr ? options : "{}");
        const bool reversed = ReadsBandsReversed(PairingFor(o.Fit, 3), 3);
        const TImageView image = ColourBands(rgba, width, height, reversed);
        const TBandTransform t = Fit(image, o, Showing(rgba, width, height));
        std::string text = WriteTransformJson(t);
        ApplyInStrips(t, image);
        TransformText = std::move(text);
    });
}

// Maps the colour of the pixels through a saved transform (its file's text).
EMSCRIPTEN_KEEPALIVE int vt_web_apply(uint8_t* rgba, int width, int height, const char* transform) {
    return Guarded([&] {
        CheckSize(width, height);
        const TBandTransform t = ReadTransformJson(transform != nullptr ? transform : "");
        if (t.Bands != 3 || t.Type != TSampleType::UInt8)
            throw EStretch(Format("the transform is for %d-band %s images; the page stretches "
                                  "8-bit colour",
                                  {t.Bands, SampleTypeName(t.Type)}));
        const bool reversed = ReadsBandsReversed(t.Options.Pairing, 3);
        std::string text = WriteTransformJson(t);
        ApplyInStrips(t, ColourBands(rgba, width, height, reversed));
        TransformText = std::move(text);
    });
}

EMSCRIPTEN_KEEPALIVE const char* vt_web_transform() {
    return TransformText.c_str();
}

EMSCRIPTEN_KEEPALIVE const char* vt_web_message() {
    return Message.c_str();
}

EMSCRIPTEN_KEEPALIVE const char* vt_web_version() {
    return VT_VERSION;
}

} // extern "C"
