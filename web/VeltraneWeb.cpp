// The stretch engine for the web page: a few C functions over RGBA pixels in the module's
// memory, called from the page's worker. They fit and apply exactly as `veltrane stretch` does
// on the colour bands of an 8-bit image (the alpha band is left alone, and fully transparent
// pixels take no part in the fit), strip by strip so that the page can show progress, and
// never let an exception out.
#include "library/Startup.h"
#include "streams/Json.h"
#include "stretch/StretchEngine.h"
#include "stretch/StretchOptions.h"
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

// The engine's options the page offers, read from its JSON (keys as the command line's options
// or Python's keywords) by the engine's table; any other key is refused.
const std::vector<std::string> Offered = {
    "offset", "basis", "pairing", "sample", "target_mean", "target_sigma", "space", "keep", "clip"};

TStretchRequest ReadOptions(const std::string& text) {
    return ReadStretchRequest(ParseJson(text), &Offered);
}

// Bands of packed RGBA pixels from the first: the colour (three from red) or the alpha.
TImageView Cells(uint8_t* first, int64_t width, int64_t height, int bands) {
    TImageView v =
        TImageView::Interleaved(first, width, height, bands, TSampleType::UInt8, 4 * width);
    v.PixelStride = 4;
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
    return Cells(rgba + 3, width, height, 1);
}

// The fit of `veltrane stretch`: the engine's passes over the strips of the canvas. Fully
// transparent pixels (Showing, when not empty) take no part in any of them.
TBandTransform Fit(const TImageView& image, const TStretchRequest& o, const TImageView& showing) {
    // The options against the image, before any pass.
    CheckStretchRequest(o, 3, TSampleType::UInt8, image.Width, image.Height);
    const TImageView* mask = showing.Data != nullptr ? &showing : nullptr;
    TStretchFit fit(o.Fit, 3, TSampleType::UInt8, o.Selection);
    if (mask != nullptr)
        fit.NothingSelected =
            " (" + SelectionText(o.Selection) + ", fully transparent pixels left out)";
    static const char* const Phases[] = {"statistics", "ranges", "clip", ""};
    while (fit.NeedsPass()) {
        ForEachSelectedStrip(
            image, o.Selection, Phases[static_cast<int>(fit.Pass())],
            [&](const TImageView& v, const TSelection& s) { fit.Measure(v, s); }, mask);
        fit.FinishPass();
    }
    return fit.Result();
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
        const TStretchRequest o = ReadOptions(options != nullptr ? options : "{}");
        const TImageView image = Cells(rgba, width, height, 3);
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
        std::string text = WriteTransformJson(t);
        ApplyInStrips(t, Cells(rgba, width, height, 3));
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

// The engine's table of options as JSON (name, key, kind, range, help), each with "offered":
// whether this module takes it.
EMSCRIPTEN_KEEPALIVE const char* vt_web_options() {
    static const std::string table = [] {
        TJsonValue rows = ParseJson(StretchOptionsJson());
        TJsonValue marked = TJsonValue::Array();
        for (const TJsonValue& row : rows.AsArray()) {
            TJsonValue copy = row;
            const std::string& key = row["key"].AsString();
            copy.Set("offered", std::find(Offered.begin(), Offered.end(), key) != Offered.end());
            marked.Push(copy);
        }
        return ToJsonText(marked, false);
    }();
    return table.c_str();
}

} // extern "C"
