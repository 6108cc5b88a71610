// The engine path: three passes over an image in strips (statistics, the components' ranges,
// the application), or one read when the image fits in one strip.
#include "host/EngineJob.h"

#include "host/GdalRaster.h"
#include "host/Progress.h"
#include "host/Raster.h"
#include "platform/Console.h"
#include "stretch/TransformFile.h"

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

namespace vt::host {

namespace {

// The step between selected pixels as the engine sees it: a step beyond the image selects only
// the rectangle's first pixel, as the image's own size does, and keeps every sum in range.
int64_t EffectiveEvery(int64_t every, int64_t width, int64_t height) {
    return every < 1 ? every : std::min(every, std::max<int64_t>({width, height, 1}));
}

// How each call of the engine runs: the threads of --threads.
TRunOptions RunOf(const TEngineOptions& options) {
    TRunOptions run;
    run.Threads = options.Request.Threads;
    return run;
}

// An input and its mask, read strip by strip into buffers of their own. Fully transparent
// pixels (alpha 0) are left out of the selection as the mask's zeros are.
class TSource {
public:
    TSource(const std::string& path, const TEngineOptions& options)
        : Image(path), Options(options) {
        if (!options.Mask.empty())
            Mask = std::make_unique<TRasterReader>(options.Mask, true);
        Strip = StripRows(Image.RowBytes(), Image.Height());
    }

    TRasterReader Image;
    std::unique_ptr<TRasterReader> Mask;
    const TEngineOptions& Options;
    int64_t Strip = 1;

    bool Whole() const { return Strip >= Image.Height(); }

    // Makes rows Y .. Y + Rows - 1 of the image (and of the mask) the buffers' contents. A
    // pass starts at row 0; an image of one strip is read only once.
    void Load(int64_t y, int64_t rows, bool mask) {
        bool changed = false;
        if (!(Whole() && PixelsHeld)) {
            if (y == 0 && Passes++ > 0)
                Image.Restart();
            Pixels.resize(Image.RowBytes() * static_cast<size_t>(rows));
            Image.Read(y, rows, Pixels.data());
            PixelsHeld = changed = true;
        }
        if (mask && Mask && !(Whole() && MaskHeld)) {
            if (y == 0 && MaskPasses++ > 0)
                Mask->Restart();
            MaskPixels.resize(Mask->RowBytes() * static_cast<size_t>(rows));
            Mask->Read(y, rows, MaskPixels.data());
            MaskHeld = changed = true;
        }
        if (mask && (changed || !SelectionHeld)) {
            Transparent = Image.Alpha() && MarkTransparent(rows);
            SelectionHeld = true;
        }
    }

    // The colour bands of the rows in the buffer, in the file's order.
    TImageView View(int64_t rows) {
        const int64_t size = static_cast<int64_t>(SampleBytes(Image.Type()));
        TImageView v;
        v.Data = Pixels.data();
        v.Width = Image.Width();
        v.Height = rows;
        v.Bands = Image.ColourBands();
        v.Type = Image.Type();
        v.PixelStride = size * Image.Bands();
        v.RowStride = static_cast<int64_t>(Image.RowBytes());
        v.BandStride = size;
        return v;
    }
    const std::vector<uint8_t>& Buffer() const { return Pixels; }

    // The selection the options make, for the whole image.
    TSelection Selection() const {
        TSelection s;
        s.X = Options.Request.Selection.X;
        s.Y = Options.Request.Selection.Y;
        s.Width = Options.Request.Selection.Width;
        s.Height = Options.Request.Selection.Height;
        s.Every = EffectiveEvery(Options.Request.Selection.Every, Image.Width(), Image.Height());
        s.HasNoData = Options.Request.Selection.HasNoData;
        s.NoData = Options.Request.Selection.NoData;
        return s;
    }

    // The part of the selection in rows Y .. Y + Rows - 1, as a selection of those rows; false
    // when no selected row lies there. Every k-th row of the rectangle counts, from its top.
    bool StripSelection(int64_t y, int64_t rows, TSelection& s, TImageView& mask) {
        s = Selection();
        const int64_t top = s.Y, bottom = s.Height < 0 ? Image.Height() : s.Y + s.Height;
        int64_t first = std::max(top, y);
        first = top + (first - top + s.Every - 1) / s.Every * s.Every;
        const int64_t end = std::min(bottom, y + rows);
        if (first >= end)
            return false;
        s.Y = first - y;
        s.Height = end - first;
        if (Transparent) {
            mask = TImageView::Interleaved(Selected.data(), Image.Width(), rows, 1,
                                           TSampleType::UInt8);
            s.Mask = &mask;
        } else if (Mask) {
            mask = TImageView::Interleaved(MaskPixels.data(), Mask->Width(), rows, 1,
                                           TSampleType::UInt8);
            s.Mask = &mask;
        }
        return true;
    }
    // The last row a selection reaches.
    int64_t SelectionEnd() const {
        return Options.Request.Selection.Height < 0
                   ? Image.Height()
                   : Options.Request.Selection.Y + Options.Request.Selection.Height;
    }

private:
    // Whether any pixel of the rows in the buffer is fully transparent; if so, Selected marks
    // the pixels that count (opaque at all, and selected by the mask when there is one).
    bool MarkTransparent(int64_t rows) {
        const size_t n = static_cast<size_t>(rows * Image.Width());
        const size_t size = SampleBytes(Image.Type());
        const size_t step = size * static_cast<size_t>(Image.Bands());
        const uint8_t* alpha = Pixels.data() + size * static_cast<size_t>(Image.Bands() - 1);
        auto opaque = [&](size_t i) { return SampleValue(alpha + i * step, Image.Type()) != 0; };
        size_t i = 0;
        while (i < n && opaque(i))
            ++i;
        if (i == n)
            return false;
        Selected.resize(n);
        for (i = 0; i < n; ++i)
            Selected[i] = opaque(i) && (!Mask || MaskPixels[i] != 0) ? 255 : 0;
        return true;
    }

    std::vector<uint8_t> Pixels, MaskPixels, Selected;
    bool PixelsHeld = false, MaskHeld = false, SelectionHeld = false;
    bool Transparent = false; // Selected holds the strip's selection
    int Passes = 0, MaskPasses = 0;
};

// Calls Measure(view, selection) for every strip that holds selected pixels, and advances the
// progress over the whole image.
template <class TMeasure>
void ForEachSelectedStrip(TSource& source, TProgress& progress, const TMeasure& measure) {
    const int64_t end = source.SelectionEnd(), height = source.Image.Height();
    for (int64_t y = 0; y < end; y += source.Strip) {
        const int64_t rows = std::min(source.Strip, height - y);
        source.Load(y, rows, true);
        TSelection s;
        TImageView mask;
        if (source.StripSelection(y, rows, s, mask))
            measure(source.View(rows), s);
        progress.Advance(rows);
    }
    progress.Advance(height - end);
}

// Samples of each band that an offset stretch left at either end of the range, over the pixels
// it wrote (no-data pixels pass unchanged and do not count).
struct TSaturation {
    int Bands = 0;
    int64_t Pixels = 0;
    int64_t AtEnds[MaxBands] = {};

    void Count(const TImageView& v, const TSelection& marks) {
        const double bottom = SampleBottom(v.Type), top = SampleTop(v.Type);
        // The no-data value as the samples hold it (the engine compares floats in float).
        const double noDataValue =
            v.Type == TSampleType::Float32 && std::fabs(marks.NoData) <= FLT_MAX
                ? static_cast<double>(static_cast<float>(marks.NoData))
                : marks.NoData;
        for (int64_t y = 0; y < v.Height; ++y)
            for (int64_t x = 0; x < v.Width; ++x) {
                double sample[MaxBands];
                bool noData = marks.HasNoData;
                for (int b = 0; b < v.Bands; ++b) {
                    const uint8_t* p = v.At(x, y, b);
                    sample[b] = SampleValue(p, v.Type);
                    noData = noData && sample[b] == noDataValue;
                }
                if (noData)
                    continue;
                ++Pixels;
                for (int b = 0; b < v.Bands; ++b)
                    AtEnds[b] += sample[b] <= bottom || sample[b] >= top;
            }
    }

    // "bands 5 (94 %) and 7 (61 %)" for the bands more than half saturated, or empty.
    std::string Report() const {
        std::vector<std::string> items;
        for (int b = 0; b < Bands; ++b)
            if (Pixels > 0 && 2 * AtEnds[b] > Pixels)
                items.push_back(
                    std::to_string(b + 1) + " (" +
                    std::to_string(static_cast<int>(100.0 * static_cast<double>(AtEnds[b]) /
                                                    static_cast<double>(Pixels))) +
                    " %)");
        std::string text;
        for (size_t i = 0; i < items.size(); ++i)
            text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
        return items.empty() ? text : (items.size() == 1 ? "band " : "bands ") + text;
    }
};

// Pass 3: every pixel through T, written as it comes into the part file; returns how far an
// offset stretch saturated each band.
TSaturation ApplyToFile(TSource& source, const TBandTransform& t, const TPartFile& out,
                        const TWriteOptions& write, TProgress& progress) {
    TRasterWriter writer(out, source.Image, write);
    TSelection marks = source.Selection();
    marks.HasNoData = t.HasNoData;
    marks.NoData = t.NoData;
    TSaturation saturation;
    saturation.Bands = t.Bands;
    const bool count =
        t.Options.Method == TStretchMethod::Offset && !t.Options.Clip && t.Statistics.Count > 0;
    const int64_t height = source.Image.Height();
    for (int64_t y = 0; y < height; y += source.Strip) {
        const int64_t rows = std::min(source.Strip, height - y);
        source.Load(y, rows, false);
        const TImageView view = source.View(rows);
        ApplyStretch(t, view, view, &marks, RunOf(source.Options));
        if (count)
            saturation.Count(view, marks);
        writer.Write(source.Buffer().data(), rows);
        progress.Advance(rows);
    }
    writer.Finish();
    return saturation;
}

void CheckTransformFits(const TBandTransform& t, const TRasterReader& image) {
    if (t.Bands != image.ColourBands() || t.Type != image.Type())
        throw EStretch(Format(
            "the transform is for %d-band %s images, %s has %d %s bands%s",
            {t.Bands, SampleTypeName(t.Type), image.Path(), image.ColourBands(),
             SampleTypeName(image.Type()),
             t.Bands == image.ColourBands()
                 ? std::string(" (--to-type ") + SampleTypeName(image.Type()) + " converts it)"
                 : std::string()}));
}

// Runs Check, putting the file's name before the engine's refusals that do not name it.
template <class TCheck> void NamingFile(const std::string& file, const TCheck& check) {
    try {
        check();
    } catch (const EStretch& e) {
        if (e.Message.find(file) != std::string::npos)
            throw;
        throw EStretch(file + ": " + e.Message);
    }
}

} // namespace

std::string SelectionText(const TEngineOptions& o, bool transparent) {
    std::string text;
    if (o.Request.Selection.Width >= 0 || o.Request.Selection.Height >= 0)
        text += " --sample " + std::to_string(o.Request.Selection.X) + "," +
                std::to_string(o.Request.Selection.Y) + "," +
                std::to_string(o.Request.Selection.Width) + "," +
                std::to_string(o.Request.Selection.Height);
    if (!o.Mask.empty())
        text += " --mask " + o.Mask;
    if (o.Request.Selection.Every != 1)
        text += " --every " + std::to_string(o.Request.Selection.Every);
    if (o.Request.Selection.HasNoData) {
        char value[32];
        std::snprintf(value, sizeof value, "%.9g", o.Request.Selection.NoData);
        if (!o.FileNoData)
            text += std::string(" --nodata ") + value;
        else // not the user's option: said in words, with how to leave it aside
            text += std::string(text.empty() ? " " : " and ") + "the file's no-data value " +
                    value + " (--nodata none ignores it)";
    }
    if (transparent)
        text += " (fully transparent pixels left out)";
    return text.empty() ? text : text.substr(1);
}

TEngineOptions WithFileNoData(const TEngineOptions& options, const TRasterReader& image) {
    TEngineOptions o = options;
    if (o.Request.Selection.HasNoData || o.NoDataNone)
        return o;
    double value = 0;
    if (image.NoData(value)) {
        o.Request.Selection.HasNoData = true;
        o.Request.Selection.NoData = value;
        o.FileNoData = true;
    } else if (const std::string note = image.NoDataNote(); !note.empty()) {
        std::fprintf(stderr, "veltrane: warning: %s: %s\n", image.Path().c_str(), note.c_str());
    }
    return o;
}

int64_t StripRows(size_t rowBytes, int64_t height) {
    if (const char* rows = std::getenv("VELTRANE_STRIP_ROWS")) {
        char* end = nullptr;
        const long long n = std::strtoll(rows, &end, 10);
        if (end != rows && *end == '\0' && n > 0)
            return n;
    }
    const size_t line = std::max<size_t>(rowBytes, 1);
    if (line * static_cast<size_t>(std::max<int64_t>(height, 0)) <= (size_t{256} << 20))
        return std::max<int64_t>(height, 1);
    return std::max<int64_t>(static_cast<int64_t>((size_t{16} << 20) / line), 1);
}

void CheckEngineJob(const std::string& in, const TEngineOptions& options,
                    const TBandTransform* given) {
    const TRasterReader image(in);
    image.RequireEngineType();
    const int bands = image.ColourBands();
    // The band count first: everything after uses it.
    if (bands < 1 || bands > MaxBands)
        throw EStretch(
            Format("%s has %d colour bands; the stretch takes 1 to %d", {in, bands, MaxBands}));
    if (given != nullptr)
        CheckTransformFits(*given, image);
    NamingFile(in, [&] {
        int64_t maskWidth = -1, maskHeight = -1;
        if (!options.Mask.empty()) {
            const TRasterReader file(options.Mask, true);
            maskWidth = file.Width();
            maskHeight = file.Height();
        }
        TStretchRequest request = options.Request;
        if (given != nullptr) // a transform brings its own fit: only the selection is checked
            request.Fit = TFitOptions();
        CheckStretchRequest(request, bands, image.Type(), image.Width(), image.Height(), maskWidth,
                            maskHeight);
    });
}

namespace {

// The fit over a series of sources (one for a single file): every pass of the engine's fit
// over every source, each file measured strip by strip as a piece of the series. Each is told
// of its source as a pass reaches it. Nothing selected is refused with Empty's words.
template <class TEach>
TBandTransform FitSeries(const TEngineOptions& options, size_t count, const TEach& each,
                         const std::function<std::string()>& empty) {
    std::optional<TStretchFit> fit;
    do {
        for (size_t i = 0; i < count; ++i)
            each(i, [&](TSource& source, TProgress& progress) {
                if (!fit)
                    fit.emplace(options.Request.Fit, source.Image.ColourBands(),
                                source.Image.Type(), options.Request.Selection, RunOf(options));
                TStretchFit piece = fit->Empty();
                ForEachSelectedStrip(
                    source, progress,
                    [&](const TImageView& view, const TSelection& s) { piece.Measure(view, s); });
                fit->Merge(piece);
            });
        if (fit->Pass() == TStretchFit::TPass::Statistics)
            fit->NothingSelected = empty();
        fit->FinishPass();
    } while (fit->NeedsPass());
    return fit->Result();
}

// What follows "no pixels selected": " in IN (--sample 0,0,0,0)".
std::string NothingSelected(const std::string& where, const TEngineOptions& options,
                            bool transparent) {
    const std::string selection = SelectionText(options, transparent);
    return " in " + where + (selection.empty() ? std::string() : " (" + selection + ")");
}

} // namespace

TBandTransform FitFile(const std::string& in, const TEngineOptions& given) {
    const TEngineOptions options = WithFileNoData(given, TRasterReader(in));
    CheckEngineJob(in, options, nullptr);
    TSource source(in, options);
    TProgress progress(options.Progress,
                       source.Image.Height() * TStretchFit(options.Request.Fit,
                                                           source.Image.ColourBands(),
                                                           source.Image.Type())
                                                   .Passes(),
                       std::filesystem::path(in).filename().string());
    return FitSeries(
        options, 1, [&](size_t, const auto& pass) { pass(source, progress); },
        [&] { return NothingSelected(in, options, source.Image.Alpha()); });
}

TBandTransform EngineStretchFile(const std::string& in, const std::string& out,
                                 const TEngineOptions& asked, const TBandTransform* given) {
    const TEngineOptions options = WithFileNoData(asked, TRasterReader(in));
    CheckEngineJob(in, options, given);
    const TOutputName name = SplitOutputName(out);
    TWriteOptions write = options.Write;
    write.SaverOptions = name.Options;
    TSource source(in, options);
    const TRasterReader& image = source.Image;
    CheckOutputHolds(name.File, image.Bands(), image.Alpha(), image.Type());
    CheckGdalOutput(name.File, image.Gdal() != nullptr, write);
    const TOutputName compareName = SplitOutputName(options.Compare);
    if (!options.Compare.empty())
        CheckOutputHolds(compareName.File, std::min(3, image.ColourBands()), false,
                         ComparisonType(image.Type()));
    // Every output's part exists before any pixel is read: a folder that cannot take one
    // fails now.
    TPartFile result(name.File);
    std::unique_ptr<TPartFile> transform, compare;
    if (given == nullptr && !options.Request.SaveTransform.empty())
        transform = std::make_unique<TPartFile>(options.Request.SaveTransform);
    if (!options.Compare.empty())
        compare = std::make_unique<TPartFile>(compareName.File);

    const int64_t height = image.Height();
    const bool fit = given == nullptr;
    const int passes =
        fit ? TStretchFit(options.Request.Fit, image.ColourBands(), image.Type()).Passes() : 0;
    TProgress progress(options.Progress, height * (passes + 1),
                       std::filesystem::path(in).filename().string());
    TBandTransform t;
    if (fit) {
        t = FitSeries(
            options, 1, [&](size_t, const auto& pass) { pass(source, progress); },
            [&] { return NothingSelected(in, options, image.Alpha()); });
    } else {
        t = *given;
        if (options.Request.Selection.HasNoData) {
            t.HasNoData = true;
            t.NoData = options.Request.Selection.NoData;
        } else if (options.NoDataNone) {
            t.HasNoData = false;
        }
    }
    const TSaturation saturation = ApplyToFile(source, t, result, write, progress);
    if (transform)
        WriteWholeFile(*transform, WriteTransformJson(t));
    if (compare) {
        TWriteOptions compareWrite = options.Write;
        compareWrite.SaverOptions = compareName.Options;
        WriteComparison(in, result.Part(), *compare, compareWrite);
    }
    result.Commit();
    if (transform)
        transform->Commit();
    if (compare)
        compare->Commit();
    const std::string saturated = saturation.Report();
    if (!saturated.empty())
        std::fprintf(stderr,
                     "veltrane: warning: %s: the offset stretch leaves more than half the samples "
                     "of %s at the ends of the range; --target-sigma or --clip stretch more "
                     "gently\n",
                     in.c_str(), saturated.c_str());
    return t;
}

TBandTransform FitPooled(const std::vector<std::string>& inputs, const TEngineOptions& asked,
                         const std::function<void(const std::string& file)>& step) {
    // The files' own no-data value serves when every input has the same one.
    TEngineOptions options = asked;
    for (size_t i = 0; i < inputs.size(); ++i) {
        const TEngineOptions own = WithFileNoData(asked, TRasterReader(inputs[i]));
        if (i == 0)
            options = own;
        else if (own.FileNoData != options.FileNoData ||
                 own.Request.Selection.NoData != options.Request.Selection.NoData)
            options = asked;
    }
    for (const std::string& in : inputs)
        CheckEngineJob(in, options, nullptr);
    TProgress none(false, 1, "");
    bool transparent = false;
    return FitSeries(
        options, inputs.size(),
        [&](size_t i, const auto& pass) {
            step(inputs[i]);
            NamingFile(inputs[i], [&] {
                TSource source(inputs[i], options);
                transparent = transparent || source.Image.Alpha();
                pass(source, none);
            });
        },
        [&] {
            return NothingSelected("any of the " + std::to_string(inputs.size()) + " images",
                                   options, transparent);
        });
}

} // namespace vt::host
