// The engine path: three passes over an image in strips (statistics, the components' ranges,
// the application), or one read when the image fits in one strip.
#include "host/EngineJob.h"

#include "host/Raster.h"
#include "platform/Console.h"
#include "stretch/TransformFile.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <utility>

namespace vt::host {

namespace {

// A bar on standard error once the work has taken half a second.
class TProgress {
public:
    TProgress(bool enabled, int64_t total, std::string label)
        : Enabled(enabled && platform::IsTerminal(2)), Total(std::max<int64_t>(total, 1)),
          Label(std::move(label)), Started(std::chrono::steady_clock::now()) {}
    ~TProgress() {
        if (Shown)
            std::fputc('\n', stderr);
    }
    TProgress(const TProgress&) = delete;
    TProgress& operator=(const TProgress&) = delete;

    void Advance(int64_t units) {
        Done += units;
        if (!Enabled ||
            (!Shown && std::chrono::steady_clock::now() - Started < std::chrono::milliseconds(500)))
            return;
        const int width = std::max(10, std::min(40, platform::TerminalWidth() - 40));
        const double part = std::min(1.0, static_cast<double>(Done) / static_cast<double>(Total));
        const int filled = static_cast<int>(width * part);
        std::string bar(static_cast<size_t>(filled), '=');
        if (filled < width)
            bar += '>' + std::string(static_cast<size_t>(width - filled - 1), ' ');
        std::fprintf(stderr, "\r[%s] %3d%% %s", bar.c_str(), static_cast<int>(part * 100),
                     Label.c_str());
        std::fflush(stderr);
        Shown = true;
    }

private:
    bool Enabled;
    int64_t Total;
    int64_t Done = 0;
    std::string Label;
    std::chrono::steady_clock::time_point Started;
    bool Shown = false;
};

// An input and its mask, read strip by strip into buffers of their own.
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
    bool Reversed = false; // three bands seen in reverse storage order (the plug-in's pairing)
    // Three 8-bit bands without alpha are reversed in the buffer itself, so that the engine
    // sees the plug-in's own layout and runs its fast passes.
    bool Swapped = false;

    void Orient(bool reversed) {
        Reversed = reversed;
        Swapped = reversed && Image.Type() == TSampleType::UInt8 && Image.Bands() == 3;
    }
    // Puts the buffer's bands back in the file's order before it is written.
    void Unswap(int64_t rows) {
        if (Swapped)
            SwapOuterBands(rows);
    }

    bool Whole() const { return Strip >= Image.Height(); }

    // Makes rows Y .. Y + Rows - 1 of the image (and of the mask) the buffers' contents. A
    // pass starts at row 0; an image of one strip is read only once.
    void Load(int64_t y, int64_t rows, bool mask) {
        if (!(Whole() && PixelsHeld)) {
            if (y == 0 && Passes++ > 0)
                Image.Restart();
            Pixels.resize(Image.RowBytes() * static_cast<size_t>(rows));
            Image.Read(y, rows, Pixels.data());
            if (Swapped)
                SwapOuterBands(rows);
            PixelsHeld = true;
        }
        if (mask && Mask && !(Whole() && MaskHeld)) {
            if (y == 0 && MaskPasses++ > 0)
                Mask->Restart();
            MaskPixels.resize(Mask->RowBytes() * static_cast<size_t>(rows));
            Mask->Read(y, rows, MaskPixels.data());
            MaskHeld = true;
        }
    }

    // The colour bands of the rows in the buffer.
    TImageView View(int64_t rows) {
        const int64_t size = static_cast<int64_t>(SampleBytes(Image.Type()));
        TImageView v;
        v.Width = Image.Width();
        v.Height = rows;
        v.Bands = Image.ColourBands();
        v.Type = Image.Type();
        v.PixelStride = size * Image.Bands();
        v.RowStride = static_cast<int64_t>(Image.RowBytes());
        const bool reversed = Reversed && !Swapped;
        v.BandStride = reversed ? -size : size;
        v.Data = Pixels.data() + (reversed ? (v.Bands - 1) * size : 0);
        return v;
    }
    TImageView MaskView(int64_t rows) {
        return TImageView::Interleaved(MaskPixels.data(), Mask->Width(), rows, 1,
                                       TSampleType::UInt8);
    }
    const std::vector<uint8_t>& Buffer() const { return Pixels; }

    // The selection the options make, for the whole image.
    TSelection Selection() const {
        TSelection s;
        s.X = Options.SampleX;
        s.Y = Options.SampleY;
        s.Width = Options.SampleWidth;
        s.Height = Options.SampleHeight;
        s.Every = Options.Every;
        s.HasNoData = Options.HasNoData;
        s.NoData = Options.NoData;
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
        if (Mask) {
            mask = MaskView(rows);
            s.Mask = &mask;
        }
        return true;
    }
    // The last row a selection reaches.
    int64_t SelectionEnd() const {
        return Options.SampleHeight < 0 ? Image.Height() : Options.SampleY + Options.SampleHeight;
    }

private:
    void SwapOuterBands(int64_t rows) {
        uint8_t* p = Pixels.data();
        for (size_t i = 0, n = static_cast<size_t>(rows * Image.Width()); i < n; ++i, p += 3)
            std::swap(p[0], p[2]);
    }

    std::vector<uint8_t> Pixels, MaskPixels;
    bool PixelsHeld = false, MaskHeld = false;
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

// Pass 1: the statistics of the selected pixels, strip by strip.
TStatistics MeasureFile(TSource& source, TProgress& progress) {
    TStatistics total(source.Image.ColourBands(), source.Image.Type());
    ForEachSelectedStrip(source, progress, [&](const TImageView& view, const TSelection& s) {
        total.Add(MeasureStatistics(view, s));
    });
    return total;
}

// Pass 2: the components' ranges over the selected pixels.
TComponentRanges RangesOfFile(TSource& source, const TPrincipalAxes& axes, TProgress& progress) {
    TComponentRanges total(axes.Bands);
    ForEachSelectedStrip(source, progress, [&](const TImageView& view, const TSelection& s) {
        total.Add(MeasureComponentRanges(view, s, axes));
    });
    return total;
}

// Pass 3: every pixel through T, written as it comes.
void ApplyToFile(TSource& source, const TBandTransform& t, const std::string& out,
                 TProgress& progress) {
    TRasterWriter writer(out, source.Image);
    const TSelection marks = source.Selection();
    const int64_t height = source.Image.Height();
    for (int64_t y = 0; y < height; y += source.Strip) {
        const int64_t rows = std::min(source.Strip, height - y);
        source.Load(y, rows, false);
        const TImageView view = source.View(rows);
        ApplyStretch(t, view, view, &marks);
        source.Unswap(rows);
        writer.Write(source.Buffer().data(), rows);
        progress.Advance(rows);
    }
    writer.Finish();
}

// How the fit or the transform sees three bands: in reverse storage order for the plug-in's
// pairing, so that an RGB file is measured as the plug-in measures its blue-green-red pixels.
bool ReversedFor(int bands, TBandPairing pairing) {
    return ReadsBandsReversed(pairing, bands);
}
bool ReversedFor(int bands, const TFitOptions& fit) {
    return ReadsBandsReversed(PairingFor(fit, bands), bands);
}

void CheckTransformFits(const TBandTransform& t, const TRasterReader& image) {
    if (t.Bands != image.ColourBands() || t.Type != image.Type())
        throw EStretch(Format("the transform is for %d-band %s images, %s has %d %s bands",
                              {t.Bands, SampleTypeName(t.Type), image.Path(), image.ColourBands(),
                               SampleTypeName(image.Type())}));
}

} // namespace

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
    if (!image.EngineType())
        throw EStretch(in + ": the stretch takes 8-bit, 16-bit and float samples, not these");
    if (given != nullptr)
        CheckTransformFits(*given, image);
    for (const auto& [count, name] : {std::pair{options.TargetMeans, "--target-mean"},
                                      std::pair{options.TargetSigmas, "--target-sigma"}})
        if (count > 1 && count != image.ColourBands())
            throw EStretch(Format("%s: %d values for an image of %d bands (give one, or one "
                                  "a band)",
                                  {name, count, image.ColourBands()}));
    const int bands = image.ColourBands();
    if (given == nullptr) {
        const TFitOptions& fit = options.Fit;
        if (fit.Keep >> bands != 0)
            throw EStretch(Format("--keep: %s has %d bands", {in, bands}));
        if (fit.Keep == (1u << bands) - 1)
            throw EStretch("--keep keeps every band: nothing is left to stretch");
        if (fit.Space != TColourSpace::None && bands != 3)
            throw EStretch(Format("--space and --matrix are for images of three bands; %s has %d",
                                  {in, bands}));
        ColourSpaceMap(fit, bands, image.Type());
    }
    // The engine's own checks on a stand-in of the image's size whose every pixel is one
    // zero sample (no stride), so that they cost one pixel whatever the size.
    static const uint8_t zeros[8] = {}, ones[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    TImageView stand;
    stand.Data = const_cast<uint8_t*>(zeros);
    stand.Width = image.Width();
    stand.Height = image.Height();
    stand.Bands = image.ColourBands();
    stand.Type = image.Type();
    TSelection s;
    s.X = options.SampleX;
    s.Y = options.SampleY;
    s.Width = options.SampleWidth;
    s.Height = options.SampleHeight;
    s.Every =
        options.Every < 1 ? options.Every : std::max<int64_t>({image.Width(), image.Height(), 1});
    s.HasNoData = options.HasNoData;
    s.NoData = options.NoData;
    TImageView mask;
    if (!options.Mask.empty()) {
        const TRasterReader file(options.Mask, true);
        mask.Data = const_cast<uint8_t*>(ones);
        mask.Width = file.Width();
        mask.Height = file.Height();
        mask.Bands = 1;
        s.Mask = &mask;
    }
    MeasureStatistics(stand, s);
}

namespace {

// The passes a fit takes over each image: statistics, the components' ranges unless the
// method needs none, and the saturation's one or two.
int FitPasses(const TFitOptions& fit, TSampleType type) {
    return (fit.Method == TStretchMethod::Target ? 1 : 2) +
           (fit.Clip ? (type == TSampleType::Float32 ? 2 : 1) : 0);
}

// The fit over a series of sources (one for a single file): pooled statistics, then the
// components' ranges over all of them, then the saturation's passes. Step is told of each
// source as a pass reaches it.
template <class TEach>
TBandTransform FitSeries(const TFitOptions& fit, size_t count, const TEach& each) {
    TStatistics pooled;
    for (size_t i = 0; i < count; ++i)
        each(i, [&](TSource& source, TProgress& progress) {
            const TStatistics s = MeasureFile(source, progress);
            if (i == 0)
                pooled = s;
            else
                pooled.Add(s);
        });
    TBandTransform t;
    if (fit.Method == TStretchMethod::Target) {
        t = FitTarget(pooled, fit);
    } else {
        const TPrincipalAxes axes = FitAxes(pooled, fit);
        TComponentRanges ranges(axes.Bands);
        for (size_t i = 0; i < count; ++i)
            each(i, [&](TSource& source, TProgress& progress) {
                ranges.Add(RangesOfFile(source, axes, progress));
            });
        t = BuildStretch(axes, ranges);
    }
    if (!fit.Clip)
        return t;
    TClipHistogram clip(t, fit.ClipLow, fit.ClipHigh);
    while (clip.NeedsPass()) {
        for (size_t i = 0; i < count; ++i)
            each(i, [&](TSource& source, TProgress& progress) {
                ForEachSelectedStrip(
                    source, progress,
                    [&](const TImageView& view, const TSelection& s) { clip.Measure(view, s); });
            });
        clip.FinishPass();
    }
    return clip.Clipped();
}

} // namespace

TBandTransform FitFile(const std::string& in, const TEngineOptions& options) {
    CheckEngineJob(in, options, nullptr);
    TSource source(in, options);
    source.Orient(ReversedFor(source.Image.ColourBands(), options.Fit));
    TProgress progress(options.Progress,
                       source.Image.Height() * FitPasses(options.Fit, source.Image.Type()),
                       std::filesystem::path(in).filename().string());
    return FitSeries(options.Fit, 1, [&](size_t, const auto& pass) { pass(source, progress); });
}

void ApplyInFileOrder(const TBandTransform& t, const TImageView& pixels) {
    TImageView v = pixels;
    if (ReversedFor(t.Bands, t.Options.Pairing)) {
        v.Data = v.At(0, 0, v.Bands - 1);
        v.BandStride = -v.BandStride;
    }
    ApplyStretch(t, v, v);
}

TBandTransform EngineStretchFile(const std::string& in, const std::string& out,
                                 const TEngineOptions& options, const TBandTransform* given) {
    CheckEngineJob(in, options, given);
    TSource source(in, options);
    const int64_t height = source.Image.Height();
    const bool fit = given == nullptr;
    source.Orient(fit ? ReversedFor(source.Image.ColourBands(), options.Fit)
                      : ReversedFor(given->Bands, given->Options.Pairing));
    TProgress progress(options.Progress,
                       height * (fit ? FitPasses(options.Fit, source.Image.Type()) + 1 : 1),
                       std::filesystem::path(in).filename().string());
    const TBandTransform t =
        fit ? FitSeries(options.Fit, 1, [&](size_t, const auto& pass) { pass(source, progress); })
            : *given;
    ApplyToFile(source, t, out, progress);
    if (fit && !options.SaveTransform.empty())
        SaveTransform(t, options.SaveTransform);
    return t;
}

TBandTransform FitPooled(const std::vector<std::string>& inputs, const TEngineOptions& options,
                         const std::function<void(const std::string& file)>& step) {
    for (const std::string& in : inputs)
        CheckEngineJob(in, options, nullptr);
    TProgress none(false, 1, "");
    return FitSeries(options.Fit, inputs.size(), [&](size_t i, const auto& pass) {
        step(inputs[i]);
        TSource source(inputs[i], options);
        source.Orient(ReversedFor(source.Image.ColourBands(), options.Fit));
        pass(source, none);
    });
}

} // namespace vt::host
