// The options' table, their parsing from JSON values and command-line text, and the check of a
// request against an image.
#include "stretch/StretchOptions.h"

#include "stretch/LabSpace.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vt {

namespace {

using K = TOptionKind;
constexpr double Huge = 1e300;

const std::vector<TStretchOption> Table = {
    {"--offset", "--no-offset", "offset", K::Flag, nullptr, 0, 0, "",
     "each principal component moved and scaled so that the selected pixels span the full "
     "range (--no-offset: scaled about 0 as far as the range allows)"},
    {"--target-mean", nullptr, "target_mean", K::Numbers, nullptr, -Huge, Huge, "M[,M...]",
     "the target method: the bands decorrelated, each to this mean (one value for every band, "
     "or one a band; default the band's own)"},
    {"--target-sigma", nullptr, "target_sigma", K::Numbers, nullptr, 0, Huge, "S[,S...]",
     "... and this standard deviation (default the band's own)"},
    {"--basis", nullptr, "basis", K::Choice, "correlation|covariance", 0, 0,
     "correlation|covariance", "the matrix whose eigenvectors are the axes (default correlation)"},
    {"--pairing", nullptr, "pairing", K::Choice, "plugin|direct", 0, 0, "plugin|direct",
     "three bands: measured and applied in the plug-in's orders (default) or in one order; "
     "other band counts pair directly"},
    {"--space", nullptr, "space", K::Choice, "rgb|ycbcr|yiq|lab", 0, 0, "rgb|ycbcr|yiq|lab",
     "stretch three bands in this colour space (lab: CIE L*a*b* of sRGB pixels, bands L*, a*, "
     "b*)"},
    {"--matrix", nullptr, "matrix", K::Matrix, nullptr, -Huge, Huge, "FILE",
     "... or in a space of your own: three rows [a, a, a, c] (a JSON file)"},
    {"--keep", nullptr, "keep", K::Bands, nullptr, 1, MaxBands, "K[,K...]",
     "bands of the space (1-based) that pass unchanged"},
    {"--clip", nullptr, "clip", K::Fractions, nullptr, 0, 1, "LOW[,HIGH]",
     "saturate the fraction LOW of the selected pixels at the bottom of each band and HIGH "
     "(default LOW) at the top"},
    {"--sample", nullptr, "sample", K::Rectangle, nullptr, 0, Huge, "X,Y,W,H",
     "statistics from this rectangle only (a width or height of -1 reaches the edge)"},
    {"--mask", nullptr, "mask", K::Image, nullptr, 0, 0, "FILE",
     "statistics from the pixels where the mask (the image's size, first band) is not zero"},
    {"--every", nullptr, "every", K::Integer, nullptr, 1, 9.3e18, "K",
     "statistics from every K-th pixel across and down"},
    {"--nodata", nullptr, "nodata", K::Number, nullptr, -Huge, Huge, "V",
     "pixels whose bands all equal V (rounded to the sample type) are neither counted nor "
     "changed"},
    {"--threads", nullptr, "threads", K::Integer, nullptr, 0, 256, "N",
     "threads for the engine's passes (default 0: the processor's)"},
    {"--save-transform", nullptr, "save_transform", K::Path, nullptr, 0, 0, "FILE",
     "also write the fitted transform (JSON), written with the output or not at all"},
};

[[noreturn]] void Refuse(const TStretchOption& o, const std::string& what,
                         const std::string& given) {
    throw EStretch(std::string(o.Flag) + " takes " + what +
                   (given.empty() ? "" : ", not " + given));
}

// How a value looks in a message: its JSON text.
std::string Shown(const TJsonValue& v) {
    try {
        return ToJsonText(v, false);
    } catch (const Exception&) {
        return "that";
    }
}

std::vector<double> NumberList(const TStretchOption& o, const TJsonValue& v, const char* what) {
    std::vector<double> numbers;
    if (v.IsNumber()) {
        numbers.push_back(v.AsDouble());
    } else if (v.IsArray() && v.Size() > 0 && v.Size() <= static_cast<size_t>(MaxBands)) {
        for (const TJsonValue& x : v.AsArray()) {
            if (!x.IsNumber())
                Refuse(o, what, Shown(v));
            numbers.push_back(x.AsDouble());
        }
    } else {
        Refuse(o, what, Shown(v));
    }
    for (const double x : numbers)
        if (!std::isfinite(x) || x < o.Lowest || x > o.Highest)
            Refuse(o, what, Shown(v));
    return numbers;
}

int64_t WholeNumber(const TStretchOption& o, const TJsonValue& v, const std::string& what) {
    if (v.IsNumber()) {
        const double d = v.AsDouble();
        if (d == std::floor(d) && d >= o.Lowest && d <= o.Highest) {
            try {
                return v.AsInt64();
            } catch (const EJsonError&) {
                // beyond 64 bits: refused below
            }
        }
    }
    Refuse(o, what, Shown(v));
}

// "a|b|c" as "a, b or c".
std::string ChoiceWords(const char* choices) {
    std::vector<std::string> words;
    const std::string text = choices;
    for (size_t from = 0; from <= text.size();) {
        const size_t bar = std::min(text.find('|', from), text.size());
        words.push_back(text.substr(from, bar - from));
        from = bar + 1;
    }
    std::string joined;
    for (size_t i = 0; i < words.size(); ++i)
        joined += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    return joined;
}

std::string RangeWords(const TStretchOption& o) {
    auto whole = [](double d) { return std::to_string(static_cast<int64_t>(d)); };
    if (o.Highest >= 9e18)
        return "an integer of at least " + whole(o.Lowest);
    return "an integer from " + whole(o.Lowest) + " to " + whole(o.Highest);
}

} // namespace

const std::vector<TStretchOption>& StretchOptionTable() noexcept {
    return Table;
}

const TStretchOption* FindStretchOption(std::string_view name) noexcept {
    for (const TStretchOption& o : Table) {
        const std::string_view flag = o.Flag;
        if (name == flag || name == o.Key || name == flag.substr(2) ||
            (o.Negation != nullptr && name == o.Negation))
            return &o;
    }
    return nullptr;
}

void SetStretchOption(TStretchRequest& r, const TStretchOption& o, const TJsonValue& v) {
    TFitOptions& fit = r.Fit;
    const std::string key = o.Key;
    if (v.IsNull())
        return; // the default
    switch (o.Kind) {
    case K::Flag:
        if (!v.IsBool())
            Refuse(o, "true or false", Shown(v));
        r.MethodGiven = true;
        if (r.TargetMeans == 0 && r.TargetSigmas == 0)
            fit.Method = v.AsBool() ? TStretchMethod::Offset : TStretchMethod::ScaleOnly;
        return;
    case K::Choice: {
        const std::string choices = std::string("|") + o.Choices + "|";
        if (!v.IsString() || v.AsString().empty() ||
            choices.find("|" + v.AsString() + "|") == std::string::npos)
            Refuse(o, ChoiceWords(o.Choices), v.IsString() ? "'" + v.AsString() + "'" : Shown(v));
        const std::string& word = v.AsString();
        if (key == "basis")
            fit.Basis =
                word == "correlation" ? TStretchBasis::Correlation : TStretchBasis::Covariance;
        else if (key == "pairing")
            fit.Pairing = word == "plugin" ? TBandPairing::Plugin : TBandPairing::Direct;
        else {
            if (fit.Space != TColourSpace::None)
                throw EStretch("give one --space or --matrix");
            fit.Space = ColourSpaceNamed(word);
        }
        return;
    }
    case K::Integer: {
        const int64_t n = WholeNumber(o, v, RangeWords(o));
        if (key == "every")
            r.Selection.Every = n;
        else
            r.Threads = static_cast<int>(n);
        return;
    }
    case K::Number:
        if (!v.IsNumber() || !std::isfinite(v.AsDouble()))
            Refuse(o, "a number", Shown(v));
        r.Selection.HasNoData = true;
        r.Selection.NoData = v.AsDouble();
        return;
    case K::Numbers: {
        const bool mean = key == "target_mean";
        const std::vector<double> values =
            NumberList(o, v,
                       mean ? "numbers separated by commas (at most 1024)"
                            : "numbers of at least 0 separated by commas (at most 1024)");
        TBandValues& to = mean ? fit.TargetMean : fit.TargetSigma;
        // One value serves every band.
        if (values.size() == 1)
            to.Fill(static_cast<size_t>(MaxBands), values[0]);
        else
            for (size_t b = 0; b < values.size(); ++b)
                to[b] = values[b];
        (mean ? r.TargetMeans : r.TargetSigmas) = static_cast<int>(values.size());
        fit.Method = TStretchMethod::Target;
        fit.Pairing = TBandPairing::Direct;
        return;
    }
    case K::Rectangle: {
        const char* what = "X,Y,W,H, four integers of at least 0";
        if (!v.IsArray() || v.Size() != 4)
            Refuse(o, what, Shown(v));
        int64_t n[4];
        for (size_t k = 0; k < 4; ++k)
            // A width or height of -1 reaches the image's edge.
            n[k] = k >= 2 && v[k].IsNumber() && v[k].AsDouble() == -1 ? -1
                                                                      : WholeNumber(o, v[k], what);
        r.Selection.X = n[0];
        r.Selection.Y = n[1];
        r.Selection.Width = n[2];
        r.Selection.Height = n[3];
        return;
    }
    case K::Bands:
        fit.Keep = TBandSet();
        for (const double b : NumberList(o, v, "band numbers from 1 to 1024")) {
            if (b != std::floor(b))
                Refuse(o, "band numbers from 1 to 1024", Shown(v));
            fit.Keep.Add(static_cast<int>(b) - 1);
        }
        return;
    case K::Fractions: {
        const char* what = "LOW[,HIGH]: fractions of at least 0, together below 1 (0.01 "
                           "saturates 1 % at each end)";
        const std::vector<double> f = NumberList(o, v, what);
        if (f.size() > 2 || f[0] + f.back() >= 1)
            Refuse(o, what, Shown(v));
        fit.Clip = true;
        fit.ClipLow = f[0];
        fit.ClipHigh = f.back();
        return;
    }
    case K::Matrix: {
        const char* what = "three rows of three weights and a constant";
        const TJsonValue& rows = v.IsObject() && v.Find("matrix") != nullptr ? v["matrix"] : v;
        if (!rows.IsArray() || rows.Size() != 3)
            Refuse(o, what, "");
        TAffineMap m(3);
        for (size_t i = 0; i < 3; ++i) {
            if (!rows[i].IsArray() || rows[i].Size() != 4)
                Refuse(o, what, "");
            for (size_t c = 0; c < 4; ++c) {
                if (!rows[i][c].IsNumber() || !std::isfinite(rows[i][c].AsDouble()))
                    Refuse(o, what, "");
                m.M[i][c] = rows[i][c].AsDouble();
            }
        }
        if (fit.Space != TColourSpace::None)
            throw EStretch("give one --space or --matrix");
        fit.Space = TColourSpace::Matrix;
        fit.SpaceMatrix = m;
        ColourSpaceMap(fit, 3, TSampleType::UInt8); // refuses a matrix that cannot be inverted
        return;
    }
    case K::Image:
        r.HasMask = true;
        r.MaskValue = v;
        return;
    case K::Path:
        if (!v.IsString() || v.AsString().empty())
            Refuse(o, "a file name", Shown(v));
        r.SaveTransform = v.AsString();
        return;
    }
}

TJsonValue StretchArgument(const TStretchOption& o, const std::string& text) {
    const std::string quoted = "'" + text + "'";
    auto number = [&](const std::string& item, bool whole) {
        char* end = nullptr;
        errno = 0;
        if (whole) {
            const long long n = std::strtoll(item.c_str(), &end, 10);
            if (item.empty() || *end != '\0' || errno == ERANGE)
                return TJsonValue(nullptr);
            return TJsonValue(static_cast<int64_t>(n));
        }
        const double d = std::strtod(item.c_str(), &end);
        if (item.empty() || *end != '\0' || !std::isfinite(d))
            return TJsonValue(nullptr);
        return TJsonValue(d);
    };
    auto list = [&](bool whole, const std::string& what) {
        TJsonValue items = TJsonValue::Array();
        for (size_t from = 0; from <= text.size();) {
            const size_t comma = std::min(text.find(',', from), text.size());
            const TJsonValue x = number(text.substr(from, comma - from), whole);
            if (x.IsNull())
                Refuse(o, what, quoted);
            items.Push(x);
            from = comma + 1;
        }
        return items;
    };
    switch (o.Kind) {
    case K::Flag:
        return TJsonValue(true);
    case K::Choice:
    case K::Image:
    case K::Path:
    case K::Matrix:
        return TJsonValue(text);
    case K::Integer: {
        const TJsonValue n = number(text, true);
        if (n.IsNull())
            Refuse(o, RangeWords(o), quoted);
        return n;
    }
    case K::Number: {
        const TJsonValue n = number(text, false);
        if (n.IsNull())
            Refuse(o, "a number", quoted);
        return n;
    }
    case K::Rectangle:
        return list(true, "X,Y,W,H, four integers of at least 0");
    case K::Numbers:
        return list(false, "numbers separated by commas (at most 1024)");
    case K::Bands:
        return list(false, "band numbers from 1 to 1024");
    case K::Fractions:
        return list(false, "LOW[,HIGH]: fractions of at least 0, together below 1 (0.01 "
                           "saturates 1 % at each end)");
    }
    return TJsonValue(text);
}

TStretchRequest ReadStretchRequest(const TJsonValue& options,
                                   const std::vector<std::string>* accepted) {
    if (!options.IsObject())
        throw EStretch("the options are a JSON object of option names and values");
    TStretchRequest r;
    for (const TJsonMember& m : options.AsObject()) {
        const TStretchOption* o = FindStretchOption(m.Key);
        if (o == nullptr)
            throw EStretch("unknown option \"" + m.Key + "\"");
        if (accepted != nullptr &&
            std::find(accepted->begin(), accepted->end(), o->Key) == accepted->end())
            throw EStretch(std::string(o->Flag) + " is not taken here");
        // "offset": false is the command line's --no-offset.
        SetStretchOption(r, *o, m.Value);
    }
    CheckStretchCombination(r);
    return r;
}

void CheckStretchCombination(const TStretchRequest& r) {
    if (r.MethodGiven && (r.TargetMeans > 0 || r.TargetSigmas > 0))
        throw EStretch("--offset and --no-offset choose the other methods; a target "
                       "(--target-mean, --target-sigma) is a method of its own");
}

void CheckStretchRequest(const TStretchRequest& r, int bands, TSampleType type, int64_t width,
                         int64_t height, int64_t maskWidth, int64_t maskHeight) {
    // The band count first: everything after uses it.
    if (bands < 1 || bands > MaxBands)
        throw EStretch(Format("images have 1 to %d bands, not %d", {MaxBands, bands}));
    for (const auto& [count, name] :
         {std::pair{r.TargetMeans, "--target-mean"}, std::pair{r.TargetSigmas, "--target-sigma"}})
        if (count > 1 && count != bands)
            throw EStretch(Format("%s: %d values for an image of %d bands (give one, or one a "
                                  "band)",
                                  {name, count, bands}));
    const TFitOptions& fit = r.Fit;
    if (fit.Keep.Highest() >= bands)
        throw EStretch(Format("--keep: the image has %d bands", {bands}));
    if (!fit.Keep.Empty() && fit.Keep.CountBelow(bands) == bands)
        throw EStretch("--keep keeps every band: nothing is left to stretch");
    if (fit.Space != TColourSpace::None && bands != 3)
        throw EStretch(
            Format("--space and --matrix are for images of three bands, not %d", {bands}));
    if (fit.Space == TColourSpace::Lab)
        detail::CheckLabImage(bands, type);
    else
        ColourSpaceMap(fit, bands, type);
    // The selection's own checks on a stand-in of the image's size whose every pixel is one
    // zero sample (no stride), so that they cost one pixel whatever the size.
    static const uint8_t zeros[8] = {}, ones[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    TImageView stand;
    stand.Data = const_cast<uint8_t*>(zeros);
    stand.Width = width;
    stand.Height = height;
    stand.Bands = bands;
    stand.Type = type;
    TSelection s = r.Selection;
    s.Every = s.Every < 1 ? s.Every : std::max<int64_t>({width, height, 1});
    TImageView mask;
    if (maskWidth >= 0) {
        mask.Data = const_cast<uint8_t*>(ones);
        mask.Width = maskWidth;
        mask.Height = maskHeight;
        mask.Bands = 1;
        s.Mask = &mask;
    }
    MeasureStatistics(stand, s);
}

std::string StretchOptionsHelp(int indent) {
    std::string text;
    const std::string pad(static_cast<size_t>(indent), ' ');
    for (const TStretchOption& o : Table) {
        std::string name =
            std::string(o.Flag) + (*o.Value != '\0' ? " " + std::string(o.Value) : "");
        if (o.Negation != nullptr)
            name += " | " + std::string(o.Negation);
        text += pad + name + "\n";
        // The help wrapped to about 90 columns under the name.
        std::string line = pad + "    ";
        for (size_t from = 0; from < std::strlen(o.Help);) {
            const std::string help = o.Help;
            const size_t end = std::min(help.find(' ', from), help.size());
            const std::string word = help.substr(from, end - from);
            if (line.size() + word.size() + 1 > 92 && line.size() > pad.size() + 4) {
                text += line + "\n";
                line = pad + "    ";
            }
            line += (line.size() > pad.size() + 4 ? " " : "") + word;
            from = end + 1;
        }
        text += line + "\n";
    }
    return text;
}

std::string StretchOptionsJson() {
    static const char* const kinds[] = {"flag",    "choice",    "integer", "number",
                                        "numbers", "rectangle", "bands",   "fractions",
                                        "matrix",  "image",     "path"};
    TJsonValue table = TJsonValue::Array();
    for (const TStretchOption& o : Table) {
        TJsonValue row = TJsonValue::Object();
        row.Set("flag", o.Flag);
        row.Set("negation", o.Negation != nullptr ? TJsonValue(o.Negation) : TJsonValue());
        row.Set("key", o.Key);
        row.Set("kind", kinds[static_cast<int>(o.Kind)]);
        row.Set("choices", o.Choices != nullptr ? TJsonValue(o.Choices) : TJsonValue());
        row.Set("lowest", o.Lowest);
        row.Set("highest", o.Highest);
        row.Set("value", o.Value);
        row.Set("help", o.Help);
        table.Push(row);
    }
    return ToJsonText(table, true);
}

} // namespace vt
