// The stretch engine for the web page: a few C functions over RGBA pixels, in the module's
// memory or kept by the page and passed through it a strip at a time, called from the page's
// worker. They fit and apply exactly as `veltrane stretch` does
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
#include <vector>

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

// The page's copies of rows between its own pixels and a strip in this module's memory:
// Module.readRows(y, rows, pointer) and Module.writeRows(y, rows, pointer).
EM_JS(void, ReadRows, (double y, double rows, uint8_t* to), { Module["readRows"](y, rows, to); });
EM_JS(void, WriteRows, (double y, double rows, const uint8_t* from),
      { Module["writeRows"](y, rows, from); });

// The rows of Width x Height packed RGBA pixels, strip by strip: in this module's memory
// (Image), or kept by the page and copied through one strip here, so that the module never
// holds the image.
class TRows {
public:
    TRows(uint8_t* image, int64_t width, int64_t height)
        : Image(image), Width(width), Height(height) {}

    // The pixels of rows [y, y + rows), valid until the next call.
    uint8_t* Read(int64_t y, int64_t rows) {
        if (Image != nullptr)
            return Image + 4 * Width * y;
        Strip.resize(static_cast<size_t>(4 * Width * StripRows(Width)));
        ReadRows(static_cast<double>(y), static_cast<double>(rows), Strip.data());
        return Strip.data();
    }

    // The pixels Read gave for those rows, changed, go back to the page.
    void Wrote(int64_t y, int64_t rows, const uint8_t* pixels) const {
        if (Image == nullptr)
            WriteRows(static_cast<double>(y), static_cast<double>(rows), pixels);
    }

    uint8_t* const Image;
    const int64_t Width, Height;

private:
    std::vector<uint8_t> Strip;
};

// Runs Each over the strips of the rows that hold selected pixels, with the colour of the
// strip and the selection in its coordinates (and, when Masked, the strip's alpha as its
// mask), and tells the page the share of the pass done after each strip.
void ForEachSelectedStrip(TRows& image, const TSelection& selection, const char* phase,
                          const std::function<void(const TImageView&, const TSelection&)>& each,
                          bool masked = false) {
    const int64_t strip = StripRows(image.Width);
    const int64_t top = selection.Y;
    const int64_t bottom = selection.Height < 0 ? image.Height : selection.Y + selection.Height;
    for (int64_t y = 0; y < image.Height; y += strip) {
        const int64_t rows = std::min(strip, image.Height - y);
        const int64_t first = std::max(top, y), end = std::min(bottom, y + rows);
        if (first < end) {
            uint8_t* pixels = image.Read(y, rows);
            const TImageView part = Cells(pixels, image.Width, rows, 3);
            TSelection s = selection;
            s.Y = first - y;
            s.Height = end - first;
            const TImageView partMask = Cells(pixels + 3, image.Width, rows, 1);
            if (masked)
                s.Mask = &partMask;
            each(part, s);
        }
        ReportProgress(static_cast<double>(y + rows) / static_cast<double>(image.Height), phase);
    }
}

void ApplyInStrips(const TBandTransform& t, TRows& image) {
    // The transform's own no-data pixels stay as they are, as veltrane apply leaves them.
    const TSelection marks = NoDataOf(t);
    const int64_t strip = StripRows(image.Width);
    for (int64_t y = 0; y < image.Height; y += strip) {
        const int64_t rows = std::min(strip, image.Height - y);
        uint8_t* pixels = image.Read(y, rows);
        const TImageView part = Cells(pixels, image.Width, rows, 3);
        ApplyStretch(t, part, part, &marks);
        image.Wrote(y, rows, pixels);
        ReportProgress(static_cast<double>(y + rows) / static_cast<double>(image.Height), "apply");
    }
}

// Whether any of packed RGBA pixels is fully transparent (alpha 0): then the alpha band is the
// mask of the pixels that show; without one the statistics take their fastest passes.
bool AnyTransparent(const uint8_t* rgba, int64_t width, int64_t height) {
    const int64_t pixels = width * height;
    for (int64_t k = 0; k < pixels; ++k)
        if (rgba[4 * k + 3] == 0)
            return true;
    return false;
}

// The fit of `veltrane stretch`: the engine's passes over the strips of the image. Fully
// transparent pixels (when Masked) take no part in any of them.
TBandTransform Fit(TRows& image, const TStretchRequest& o, bool masked) {
    // The options against the image, before any pass.
    CheckStretchRequest(o, 3, TSampleType::UInt8, image.Width, image.Height);
    TStretchFit fit(o.Fit, 3, TSampleType::UInt8, o.Selection);
    if (masked)
        fit.NothingSelected =
            " (" + SelectionText(o.Selection) + ", fully transparent pixels left out)";
    static const char* const Phases[] = {"statistics", "ranges", "clip", ""};
    while (fit.NeedsPass()) {
        ForEachSelectedStrip(
            image, o.Selection, Phases[static_cast<int>(fit.Pass())],
            [&](const TImageView& v, const TSelection& s) { fit.Measure(v, s); }, masked);
        fit.FinishPass();
    }
    return fit.Result();
}

TBandTransform ReadPageTransform(const char* transform) {
    const TBandTransform t = ReadTransformJson(transform != nullptr ? transform : "");
    if (t.Bands != 3 || t.Type != TSampleType::UInt8)
        throw EStretch(Format("the transform is for %d-band %s images; the page stretches "
                              "8-bit colour",
                              {t.Bands, SampleTypeName(t.Type)}));
    return t;
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
        TRows image(rgba, width, height);
        const TBandTransform t = Fit(image, o, AnyTransparent(rgba, width, height));
        std::string text = WriteTransformJson(t);
        ApplyInStrips(t, image);
        TransformText = std::move(text);
    });
}

// The same stretch of pixels the page keeps: their rows come through Module.readRows and the
// stretched ones go back through Module.writeRows, a strip at a time (writing starts only
// once the fit is done). Masked: some pixel is fully transparent (alpha 0).
EMSCRIPTEN_KEEPALIVE int vt_web_stretch_rows(int width, int height, const char* options,
                                             int masked) {
    return Guarded([&] {
        CheckSize(width, height);
        const TStretchRequest o = ReadOptions(options != nullptr ? options : "{}");
        TRows image(nullptr, width, height);
        const TBandTransform t = Fit(image, o, masked != 0);
        std::string text = WriteTransformJson(t);
        ApplyInStrips(t, image);
        TransformText = std::move(text);
    });
}

// Maps the colour of the pixels through a saved transform (its file's text).
EMSCRIPTEN_KEEPALIVE int vt_web_apply(uint8_t* rgba, int width, int height, const char* transform) {
    return Guarded([&] {
        CheckSize(width, height);
        const TBandTransform t = ReadPageTransform(transform);
        std::string text = WriteTransformJson(t);
        TRows image(rgba, width, height);
        ApplyInStrips(t, image);
        TransformText = std::move(text);
    });
}

// The same through Module.readRows and Module.writeRows.
EMSCRIPTEN_KEEPALIVE int vt_web_apply_rows(int width, int height, const char* transform) {
    return Guarded([&] {
        CheckSize(width, height);
        const TBandTransform t = ReadPageTransform(transform);
        std::string text = WriteTransformJson(t);
        TRows image(nullptr, width, height);
        ApplyInStrips(t, image);
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
