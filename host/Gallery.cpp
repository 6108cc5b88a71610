// The contact sheet: every setting is fitted to the whole image, exactly as `veltrane stretch`
// fits it, and applied to one small area-averaged copy, so that each tile shows what the full
// image would become. The sheet has four tiles across and three down, each above a strip with
// its label, white on dark grey.
#include "host/Gallery.h"

#include "host/EngineJob.h"
#include "host/Font.h"
#include "host/Help.h"
#include "host/ImageFile.h"
#include "host/Progress.h"
#include "host/Raster.h"
#include "host/StretchJob.h"
#include "platform/Console.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <stdexcept>

namespace vt::host {

namespace {

// One tile's setting. The label is exactly what `veltrane stretch` is given for it.
struct TSetting {
    const char* Label;
    bool Stretched; // false: the image as it is
    TStretchMethod Method;
    TStretchBasis Basis;
    TColourSpace Space;
    uint64_t Keep;      // the bands kept, bit i band i
    double TargetSigma; // the target method with this deviation for every band, or 0
    double Clip;        // saturation of this fraction at each end, or 0
};

constexpr TStretchMethod Offset = TStretchMethod::Offset, Scale = TStretchMethod::ScaleOnly;
constexpr TStretchBasis Correlation = TStretchBasis::Correlation,
                        Covariance = TStretchBasis::Covariance;
constexpr TColourSpace Plain = TColourSpace::None;

const TSetting Settings[] = {
    {"original", false, Offset, Correlation, Plain, 0, 0, 0},
    {"--offset", true, Offset, Correlation, Plain, 0, 0, 0},
    {"--no-offset", true, Scale, Correlation, Plain, 0, 0, 0},
    {"--offset --basis covariance", true, Offset, Covariance, Plain, 0, 0, 0},
    {"--no-offset --basis covariance", true, Scale, Covariance, Plain, 0, 0, 0},
    {"--offset --space ycbcr", true, Offset, Correlation, TColourSpace::YCbCr, 0, 0, 0},
    {"--offset --space ycbcr --keep 1", true, Offset, Correlation, TColourSpace::YCbCr, 1, 0, 0},
    {"--offset --space yiq", true, Offset, Correlation, TColourSpace::Yiq, 0, 0, 0},
    {"--offset --space yiq --keep 1", true, Offset, Correlation, TColourSpace::Yiq, 1, 0, 0},
    {"--target-sigma 50", true, Offset, Correlation, Plain, 0, 50, 0},
    {"--offset --clip 0.005", true, Offset, Correlation, Plain, 0, 0, 0.005},
    {"--offset --clip 0.02", true, Offset, Correlation, Plain, 0, 0, 0.02},
    {"--offset --space lab", true, Offset, Correlation, TColourSpace::Lab, 0, 0, 0},
    {"--offset --space lab --keep 1", true, Offset, Correlation, TColourSpace::Lab, 1, 0, 0},
    {"--space lab --target-sigma 20", true, Offset, Correlation, TColourSpace::Lab, 0, 20, 0},
    {"--offset --space lab --keep 1 --clip 0.01", true, Offset, Correlation, TColourSpace::Lab, 1,
     0, 0.01},
};
constexpr int Across = 4, Down = 4;
static_assert(std::size(Settings) == Across * Down);

// The engine's options that `veltrane stretch` makes of a setting's label (Base holds the
// selection).
TEngineOptions OptionsOf(const TSetting& setting, const TEngineOptions& base) {
    TEngineOptions o = base;
    o.Request.Fit.Method = setting.Method;
    o.Request.Fit.Basis = setting.Basis;
    o.Request.Fit.Space = setting.Space;
    o.Request.Fit.Keep = setting.Keep;
    if (setting.TargetSigma > 0) {
        o.Request.Fit.Method = TStretchMethod::Target;
        o.Request.Fit.Pairing = TBandPairing::Direct;
        o.Request.Fit.TargetSigma.Fill(static_cast<size_t>(MaxBands), setting.TargetSigma);
        o.Request.TargetSigmas = 1;
    }
    if (setting.Clip > 0) {
        o.Request.Fit.Clip = true;
        o.Request.Fit.ClipLow = o.Request.Fit.ClipHigh = setting.Clip;
    }
    return o;
}

struct TArguments {
    std::string In, Out;
    int TileWidth = 400;
    TEngineOptions Selection;
    std::string SelectionText; // the selection as stretch options, for the labels
    TWriteOptions Write;
    bool Help = false;
};

TArguments ParseArguments(const std::vector<std::string>& args) {
    TArguments parsed;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw std::invalid_argument("gallery: " + a + " needs a value\n" + GalleryHelp);
            return args[++i];
        };
        if (a == "--tile-width") {
            parsed.TileWidth = static_cast<int>(ParseInteger("gallery: " + a, value(), 32, 2000));
        } else if (a == "--mask") {
            parsed.Selection.Mask = value();
        } else if (a == "--sample" || a == "--every") {
            const TStretchOption& option = *FindStretchOption(a);
            try {
                SetStretchOption(parsed.Selection.Request, option,
                                 StretchArgument(option, value()));
            } catch (const EStretch& e) {
                throw std::invalid_argument("gallery: " + e.Message);
            }
        } else if (a == "--quality") {
            parsed.Write.Quality = static_cast<int>(ParseInteger("gallery: " + a, value(), 1, 100));
        } else if (a == "-h" || a == "--help") {
            parsed.Help = true;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            throw std::invalid_argument(
                "gallery: unknown option " + a +
                " (the gallery takes --tile-width, --sample, --mask, "
                "--every and --quality; each tile chooses its own stretch)\n" +
                GalleryHelp);
        } else {
            files.push_back(a);
        }
    }
    if (parsed.Help)
        return parsed;
    if (files.size() != 2)
        throw std::invalid_argument(std::string("gallery: expected IN and OUT\n") + GalleryHelp);
    parsed.In = files[0];
    parsed.Out = files[1];
    const std::string selection = SelectionText(parsed.Selection);
    parsed.SelectionText = selection.empty() ? selection : " " + selection;
    return parsed;
}

// Where everything lies on the sheet. Each column is as wide as the tile width asked for; a
// tile narrower than that (a narrow image) is centred in it.
struct TLayout {
    static constexpr int Gap = 8;
    int Column = 0; // the tile width asked for
    int64_t TileWidth = 0, TileHeight = 0;
    int Scale = 1;                                // of the label font
    int Pad = 4;                                  // around the label's lines
    int Strip = 0;                                // the label strip's height
    std::vector<std::vector<std::string>> Labels; // each tile's lines
    int Width = 0, Height = 0;

    int CellX(int column) const { return Gap + column * (Column + Gap); }
    int CellY(int row) const { return Gap + row * (static_cast<int>(TileHeight) + Strip + Gap); }
};

// Characters a label line takes at Scale within a column.
size_t LineColumns(int column, int scale) {
    const int room = column - 2 * 4 * scale + (CellWidth - GlyphWidth) * scale;
    return static_cast<size_t>(std::max(1, room / (CellWidth * scale)));
}

TLayout Lay(int64_t width, int64_t height, int column, const std::vector<std::string>& labels) {
    TLayout l;
    l.Column = column;
    // As wide as asked, or the image enlarged by a whole factor when it is narrower; no
    // taller than two tile widths.
    l.TileWidth = width >= column ? column : width * (column / width);
    l.TileHeight = std::max<int64_t>(1, (2 * height * l.TileWidth + width) / (2 * width));
    if (l.TileHeight > 2 * int64_t{column}) {
        l.TileHeight = 2 * int64_t{column};
        l.TileWidth = std::max<int64_t>(1, (2 * width * l.TileHeight + height) / (2 * height));
    }
    // The largest glyphs (up to three times, about one step per 200 pixels of tile) with
    // which no word of a label must be split.
    size_t longest = 0;
    for (const std::string& label : labels)
        for (size_t from = 0; from < label.size();) {
            const size_t end = std::min(label.find(' ', from), label.size());
            longest = std::max(longest, end - from);
            from = end + 1;
        }
    l.Scale = std::clamp(column / 200, 1, 3);
    while (l.Scale > 1 && LineColumns(column, l.Scale) < longest)
        --l.Scale;
    l.Pad = 4 * l.Scale;
    size_t lines = 1;
    for (const std::string& label : labels) {
        l.Labels.push_back(WrapText(label, LineColumns(column, l.Scale)));
        lines = std::max(lines, l.Labels.back().size());
    }
    l.Strip = 2 * l.Pad + static_cast<int>(lines) * CellHeight * l.Scale;
    const int64_t w = Across * int64_t{column} + (Across + 1) * TLayout::Gap;
    const int64_t h = Down * (l.TileHeight + l.Strip) + (Down + 1) * TLayout::Gap;
    if (h > 32767)
        throw std::runtime_error("gallery: the sheet would be too tall; give a smaller "
                                 "--tile-width");
    l.Width = static_cast<int>(w);
    l.Height = static_cast<int>(h);
    return l;
}

// Source pixels [i, i + 1) against tile pixels [x S / n, (x + 1) S / n), measured in 1/n of a
// source pixel so that every overlap is a whole number; a tile pixel's overlaps sum to S.
struct TSpan {
    int64_t First = 0;            // the first source pixel it covers
    std::vector<int64_t> Overlap; // that pixel's and the following ones'
};

std::vector<TSpan> Spans(int64_t source, int64_t tile) {
    std::vector<TSpan> spans(static_cast<size_t>(tile));
    for (int64_t x = 0; x < tile; ++x) {
        const int64_t begin = x * source, end = (x + 1) * source;
        TSpan& s = spans[static_cast<size_t>(x)];
        s.First = begin / tile;
        for (int64_t i = s.First; i * tile < end; ++i)
            s.Overlap.push_back(std::min(end, (i + 1) * tile) - std::max(begin, i * tile));
    }
    return spans;
}

// N / D rounded half to even (N >= 0, D > 0).
int64_t RoundedQuotient(int64_t n, int64_t d) {
    int64_t q = n / d;
    const int64_t r2 = 2 * (n % d);
    if (r2 > d || (r2 == d && (q & 1) != 0))
        ++q;
    return q;
}

// The three colour bands of Image area-averaged to Width x Height, in its sample type: each
// tile pixel the mean of the source area it covers, pixels partly covered weighted by their
// share, summed exactly and rounded half to even. Read in strips, top to bottom.
template <class TSample>
std::vector<uint8_t> Downscale(TRasterReader& image, int64_t width, int64_t height) {
    const int64_t w = image.Width(), h = image.Height();
    const size_t bands = static_cast<size_t>(image.Bands());
    const std::vector<TSpan> across = Spans(w, width), down = Spans(h, height);
    const size_t tileRow = static_cast<size_t>(width) * 3;
    std::vector<int64_t> sums(tileRow * static_cast<size_t>(height)), row(tileRow);
    const int64_t strip = StripRows(image.RowBytes(), h);
    std::vector<uint8_t> buffer(image.RowBytes() * static_cast<size_t>(strip));
    size_t next = 0; // the first tile row whose span goes past the current source row
    for (int64_t top = 0; top < h; top += strip) {
        const int64_t rows = std::min(strip, h - top);
        image.Read(top, rows, buffer.data());
        for (int64_t r = 0; r < rows; ++r) {
            const uint8_t* line = buffer.data() + static_cast<size_t>(r) * image.RowBytes();
            for (size_t x = 0; x < across.size(); ++x) {
                const TSpan& span = across[x];
                for (size_t b = 0; b < 3; ++b) {
                    int64_t sum = 0;
                    for (size_t k = 0; k < span.Overlap.size(); ++k) {
                        TSample v;
                        std::memcpy(&v,
                                    line + ((static_cast<size_t>(span.First) + k) * bands + b) *
                                               sizeof(TSample),
                                    sizeof v);
                        sum += int64_t{v} * span.Overlap[k];
                    }
                    row[x * 3 + b] = sum;
                }
            }
            const int64_t y = top + r;
            while (next < down.size() &&
                   down[next].First + static_cast<int64_t>(down[next].Overlap.size()) <= y)
                ++next;
            for (size_t j = next; j < down.size() && down[j].First <= y; ++j) {
                const int64_t weight = down[j].Overlap[static_cast<size_t>(y - down[j].First)];
                int64_t* to = sums.data() + j * tileRow;
                for (size_t i = 0; i < tileRow; ++i)
                    to[i] += row[i] * weight;
            }
        }
    }
    std::vector<uint8_t> tile(sums.size() * sizeof(TSample));
    for (size_t i = 0; i < sums.size(); ++i) {
        const auto v = static_cast<TSample>(RoundedQuotient(sums[i], w * h));
        std::memcpy(tile.data() + i * sizeof(TSample), &v, sizeof v);
    }
    return tile;
}

// Copies a tile of three bands in file order (8- or 16-bit, the latter shown in 8 bits) into
// the sheet's blue-green-red pixels at X, Y.
void Paste(TPicture& sheet, const std::vector<uint8_t>& tile, TSampleType type, int64_t width,
           int64_t height, int x, int y) {
    const bool wide = type == TSampleType::UInt16;
    for (int64_t ty = 0; ty < height; ++ty)
        for (int64_t tx = 0; tx < width; ++tx) {
            uint8_t* to =
                sheet.Bgr.data() + (static_cast<size_t>(y + ty) * static_cast<size_t>(sheet.Width) +
                                    static_cast<size_t>(x + tx)) *
                                       3;
            const size_t at = static_cast<size_t>(ty * width + tx) * 3;
            for (size_t b = 0; b < 3; ++b) {
                uint8_t v;
                if (wide) {
                    uint16_t s;
                    std::memcpy(&s, tile.data() + (at + b) * 2, 2);
                    v = static_cast<uint8_t>((s + 128) / 257); // s * 255 / 65535, never a tie
                } else {
                    v = tile[at + b];
                }
                to[2 - b] = v;
            }
        }
}

} // namespace

int GalleryCommand(const std::vector<std::string>& args) {
    const TArguments parsed = ParseArguments(args);
    if (parsed.Help) {
        std::fputs(GalleryHelp, stdout);
        return 0;
    }
    CheckOutputHolds(SplitOutputName(parsed.Out).File, 3, false, TSampleType::UInt8);
    TRasterReader image(parsed.In);
    if (image.ColourBands() != 3)
        throw std::runtime_error(parsed.In + " has " + std::to_string(image.ColourBands()) +
                                 " colour band" + (image.ColourBands() == 1 ? "" : "s") +
                                 "; the gallery takes colour images of three bands");
    if (!image.EngineType() ||
        (image.Type() != TSampleType::UInt8 && image.Type() != TSampleType::UInt16))
        throw std::runtime_error(parsed.In + ": the gallery takes uint8 and uint16 samples, not " +
                                 image.FileTypeName());
    // The selection is refused, with the engine's reason, before any pass.
    CheckEngineJob(parsed.In, parsed.Selection, nullptr);

    std::vector<std::string> labels;
    for (const TSetting& setting : Settings)
        labels.push_back(setting.Label + (setting.Stretched ? parsed.SelectionText : ""));
    const TLayout layout = Lay(image.Width(), image.Height(), parsed.TileWidth, labels);
    const TSampleType type = image.Type();
    const std::vector<uint8_t> small =
        type == TSampleType::UInt8
            ? Downscale<uint8_t>(image, layout.TileWidth, layout.TileHeight)
            : Downscale<uint16_t>(image, layout.TileWidth, layout.TileHeight);

    TPicture sheet;
    sheet.Width = layout.Width;
    sheet.Height = layout.Height;
    sheet.Bgr.assign(static_cast<size_t>(sheet.Width) * static_cast<size_t>(sheet.Height) * 3,
                     0x20);
    const TCanvas canvas{sheet.Bgr.data(), sheet.Width, sheet.Height};
    const bool progress = platform::IsTerminal(2);
    for (size_t i = 0; i < std::size(Settings); ++i) {
        const TSetting& setting = Settings[i];
        if (progress)
            ShowProgress(i, std::size(Settings), labels[i]);
        std::vector<uint8_t> tile = small;
        if (setting.Stretched) {
            const TImageView pixels =
                TImageView::Interleaved(tile.data(), layout.TileWidth, layout.TileHeight, 3, type);
            ApplyStretch(FitFile(parsed.In, OptionsOf(setting, parsed.Selection)), pixels, pixels);
        }
        const int column = static_cast<int>(i) % Across, row = static_cast<int>(i) / Across;
        const int x = layout.CellX(column), y = layout.CellY(row);
        Paste(sheet, tile, type, layout.TileWidth, layout.TileHeight,
              x + static_cast<int>(layout.Column - layout.TileWidth) / 2, y);
        const std::vector<std::string>& lines = layout.Labels[i];
        for (size_t k = 0; k < lines.size(); ++k)
            DrawText(canvas, x + (layout.Column - TextWidth(lines[k], layout.Scale)) / 2,
                     y + static_cast<int>(layout.TileHeight) + layout.Pad +
                         static_cast<int>(k) * CellHeight * layout.Scale,
                     lines[k], layout.Scale, {255, 255, 255});
    }
    if (progress) {
        ShowProgress(std::size(Settings), std::size(Settings), parsed.Out);
        std::fputc('\n', stderr);
    }
    const TOutputName name = SplitOutputName(parsed.Out);
    TWriteOptions write = parsed.Write;
    write.SaverOptions = name.Options;
    TPartFile part(name.File);
    SavePicture(sheet, part, write);
    part.Commit();
    return 0;
}

} // namespace vt::host
