// Stretching image files through the plug-in or the engine.
#include "host/StretchJob.h"

#include "host/ImageFile.h"
#include "host/Raster.h"
#include "platform/Console.h"
#include "platform/Process.h"
#include "platform/Win32.h"
#include "streams/Json.h"
#include "stretch/StretchTransform.h"
#include "stretch/TransformFile.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vt::host {

namespace {

// The plug-in runs one call at a time; decoding and encoding run in parallel around it.
std::mutex PluginLock;

int32_t AlignedLine(int32_t width, int32_t align) {
    const int64_t line = int64_t{width} * 3;
    const int64_t aligned = (line + align - 1) / align * align;
    if (aligned > INT32_MAX)
        throw std::runtime_error("the image is too wide for the plug-in");
    return static_cast<int32_t>(aligned);
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    return s;
}

} // namespace

namespace {

TStretchOutcome PluginStretchFile(TPluginModule& plugin, const std::string& in,
                                  const std::string& out, const TStretchOptions& options) {
    TStretchOutcome outcome;
    try {
        std::vector<std::string> notes;
        TPicture picture = LoadPicture(in, notes);
        for (const std::string& note : notes)
            std::fprintf(stderr, "veltrane: warning: %s\n", note.c_str());

        const int32_t line = AlignedLine(picture.Width, options.RowAlign);
        if (int64_t{line} * picture.Height > INT32_MAX)
            throw std::runtime_error(in + ": the image is too large for the plug-in (2 GiB)");
        // The host's own image memory, rows aligned as it likes them.
        std::vector<uint8_t> memory(static_cast<size_t>(line) *
                                    static_cast<size_t>(picture.Height));
        const size_t packed = static_cast<size_t>(picture.Width) * 3;
        for (int32_t y = 0; y < picture.Height; ++y)
            std::memcpy(memory.data() + static_cast<size_t>(y) * static_cast<size_t>(line),
                        picture.Bgr.data() + static_cast<size_t>(y) * packed, packed);
        THostImage image{picture.Width, picture.Height, line, 3, memory.data(), nullptr};

        int32_t result;
        {
            std::lock_guard<std::mutex> lock(PluginLock);
            result = plugin.Process(1, image);
        }
        if (result != VT_PROCESSED) {
            outcome.Status = 1;
            outcome.Message = in + ": the plug-in did nothing; " + out + " was not written";
            return outcome;
        }

        TPicture stretched = picture;
        for (int32_t y = 0; y < picture.Height; ++y)
            std::memcpy(stretched.Bgr.data() + static_cast<size_t>(y) * packed,
                        memory.data() + static_cast<size_t>(y) * static_cast<size_t>(line), packed);
        SavePicture(stretched, out);
        if (!options.Compare.empty())
            SavePicture(SideBySide(picture, stretched), options.Compare);
        outcome.Status = 0;
    } catch (const std::exception& e) {
        outcome.Status = 2;
        outcome.Message = e.what();
    }
    return outcome;
}

// The plug-in serves 8-bit images, which it sees as colour (grey, palette and other colour
// spaces are converted as they always were), except TIFFs of other than three colour bands,
// which keep their bands; and samples the engine does not take, converted to 8 bits as before.
bool PluginServes(const TRasterReader& image) {
    if (!image.EngineType())
        return true;
    return image.EightBit() && !(image.Tiff() && image.ColourBands() != 3);
}

// The answer to "Allow offset components?" as the engine's method; Ask asks as the plug-in
// would. False for Cancel.
bool MethodOf(TAnswer answer, TStretchMethod& method) {
    if (answer == TAnswer::Ask) {
        const int box = MessageBoxA(nullptr, "Allow offset components?", "Confirmation",
                                    MB_YESNOCANCEL | MB_ICONQUESTION);
        answer = box == IDYES ? TAnswer::Yes : box == IDNO ? TAnswer::No : TAnswer::Cancel;
    }
    method = answer == TAnswer::Yes ? TStretchMethod::Offset : TStretchMethod::ScaleOnly;
    return answer != TAnswer::Cancel;
}

} // namespace

TPluginModule& TPluginHandle::Get() {
    if (!Module) {
        Module = std::make_unique<TPluginModule>(Path);
        Module->Register();
    }
    return *Module;
}

TStretchOutcome StretchFile(TPluginHandle& plugin, const std::string& in, const std::string& out,
                            const TStretchOptions& options, const TBandTransform* given) {
    TStretchOutcome outcome;
    try {
        if (given == nullptr && !options.UseEngine && PluginServes(TRasterReader(in))) {
            TPluginModule* module;
            {
                std::lock_guard<std::mutex> lock(PluginLock);
                module = &plugin.Get();
            }
            return PluginStretchFile(*module, in, out, options);
        }
        TEngineOptions engine = options.Engine;
        // A target is a method of its own: no question, though --cancel still cancels.
        const bool target = engine.Fit.Method == TStretchMethod::Target;
        if (given == nullptr && (target ? options.Answer == TAnswer::Cancel
                                        : !MethodOf(options.Answer, engine.Fit.Method))) {
            outcome.Status = 1;
            outcome.Message = in + ": cancelled; " + out + " was not written";
            return outcome;
        }
        engine.Progress = !options.Quiet && options.OutDir.empty();
        EngineStretchFile(in, out, engine, given);
        if (!options.Compare.empty())
            WriteComparison(in, out, options.Compare);
        outcome.Status = 0;
    } catch (const std::exception& e) {
        outcome.Status = 2;
        outcome.Message = e.what();
    }
    return outcome;
}

namespace {

const char* const StretchUsage =
    "usage: veltrane stretch IN OUT [--offset | --no-offset | --cancel] [--row-align N]\n"
    "                        [--compare FILE] [--plugin PATH] [engine options]\n"
    "       veltrane stretch --out-dir DIR [--jobs N] [--pool] [--offset | --no-offset |\n"
    "                        --cancel] [--row-align N] [--plugin PATH] [--quiet]\n"
    "                        [engine options] IN...\n"
    "engine options: [--basis correlation|covariance] [--pairing plugin|direct]\n"
    "                [--sample X,Y,W,H] [--mask FILE] [--every K] [--nodata V]\n"
    "                [--threads N] [--save-transform FILE]\n"
    "                [--target-mean M[,M...]] [--target-sigma S[,S...]]\n"
    "                [--space rgb|ycbcr|yiq | --matrix FILE] [--keep K[,K...]]\n"
    "                [--clip LOW[,HIGH]]\n";

const char* const ApplyUsage =
    "usage: veltrane apply IN OUT --transform FILE [--nodata V] [--threads N] [--compare FILE]\n"
    "       veltrane apply --out-dir DIR --transform FILE [--jobs N] [--nodata V]\n"
    "                      [--threads N] [--quiet] IN...\n";

using TJob = std::function<TStretchOutcome(const std::string& in, const std::string& out)>;

// Runs Job on every input, Jobs at once, with the batch's progress bar; Before steps of the
// bar's Total are already done. Returns the exit status.
int RunBatch(const std::vector<std::string>& inputs, const TStretchOptions& options,
             const TJob& job, size_t before = 0, size_t total = 0) {
    std::filesystem::create_directories(options.OutDir);
    const bool progress = !options.Quiet && platform::IsTerminal(2);
    const auto started = std::chrono::steady_clock::now();
    if (total == 0)
        total = inputs.size();

    std::atomic<size_t> next{0};
    std::mutex report;
    size_t done = 0, stretched = 0, untouched = 0, failed = 0;
    auto worker = [&] {
        for (size_t i = next++; i < inputs.size(); i = next++) {
            const std::string& in = inputs[i];
            const std::string out =
                (std::filesystem::path(options.OutDir) / std::filesystem::path(in).filename())
                    .string();
            const TStretchOutcome outcome = job(in, out);
            std::lock_guard<std::mutex> lock(report);
            ++done;
            (outcome.Status == 0 ? stretched : outcome.Status == 1 ? untouched : failed)++;
            if (!outcome.Message.empty()) {
                if (progress)
                    std::fputc('\n', stderr);
                std::fprintf(stderr, "veltrane: %s\n", outcome.Message.c_str());
            }
            if (progress)
                ShowProgress(before + done, total, in);
        }
    };
    std::vector<std::thread> threads;
    const size_t jobs =
        std::min<size_t>(static_cast<size_t>(std::max(1, options.Jobs)), inputs.size());
    for (size_t j = 1; j < jobs; ++j)
        threads.emplace_back(worker);
    worker();
    for (std::thread& t : threads)
        t.join();
    if (progress)
        std::fputc('\n', stderr);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("stretched %zu of %zu images into %s (%zu left alone, %zu failed) in %.1f s\n",
                stretched, inputs.size(), options.OutDir.c_str(), untouched, failed, seconds);
    return failed > 0 ? 2 : untouched > 0 ? 1 : 0;
}

void CheckBatchNames(const std::vector<std::string>& inputs) {
    std::set<std::string> names;
    for (const std::string& in : inputs) {
        const std::string name = Lower(std::filesystem::path(in).filename().string());
        if (!names.insert(name).second)
            throw std::invalid_argument("two inputs would both be written as " + name);
    }
}

// Ask once for the whole batch, then answer every image's question with it.
void AskOnce(TStretchOptions& options, size_t images) {
    if (options.Answer != TAnswer::Ask)
        return;
    const std::string question =
        "Allow offset components? (applies to all " + std::to_string(images) + " images)";
    const int answer =
        MessageBoxA(nullptr, question.c_str(), "Confirmation", MB_YESNOCANCEL | MB_ICONQUESTION);
    options.Answer = answer == IDYES  ? TAnswer::Yes
                     : answer == IDNO ? TAnswer::No
                                      : TAnswer::Cancel;
}

// The pooled batch: the statistics of all images, then their components' ranges (two steps
// of the bar per image), then each image through the one transform.
int RunPool(TPluginHandle& plugin, const std::vector<std::string>& inputs,
            TStretchOptions options) {
    TEngineOptions engine = options.Engine;
    const bool target = engine.Fit.Method == TStretchMethod::Target;
    if (target ? options.Answer == TAnswer::Cancel : !MethodOf(options.Answer, engine.Fit.Method)) {
        std::printf("stretched 0 of %zu images into %s (cancelled)\n", inputs.size(),
                    options.OutDir.c_str());
        return 1;
    }
    const bool progress = !options.Quiet && platform::IsTerminal(2);
    const size_t total = inputs.size() * (target ? 2 : 3);
    size_t done = 0;
    const TBandTransform t = FitPooled(inputs, engine, [&](const std::string& file) {
        if (progress)
            ShowProgress(done, total, file);
        ++done;
    });
    if (!options.Engine.SaveTransform.empty())
        SaveTransform(t, options.Engine.SaveTransform);
    return RunBatch(
        inputs, options,
        [&](const std::string& in, const std::string& out) {
            return StretchFile(plugin, in, out, options, &t);
        },
        done, total);
}

// Numbers separated by commas (at most 16), all finite.
std::vector<double> ParseNumbers(const std::string& option, const std::string& text,
                                 const char* what) {
    std::vector<double> numbers;
    for (size_t from = 0; from <= text.size();) {
        const size_t comma = std::min(text.find(',', from), text.size());
        const std::string item = text.substr(from, comma - from);
        char* end = nullptr;
        const double x = std::strtod(item.c_str(), &end);
        if (item.empty() || *end != '\0' || !std::isfinite(x) || numbers.size() == MaxBands)
            throw std::invalid_argument(option + " takes " + what +
                                        " separated by commas (at most 16), not '" + text + "'");
        numbers.push_back(x);
        from = comma + 1;
    }
    return numbers;
}

// A colour space of the user's: {"matrix": [[a, a, a, c], [...], [...]]} or the bare array,
// three rows of three weights and a constant.
TAffineMap ReadSpaceMatrix(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file)
        throw std::invalid_argument("cannot read " + path + ": " + std::strerror(errno));
    TAffineMap m;
    m.Size = 3;
    try {
        const TJsonValue doc = ParseJson(text.str());
        const TJsonValue& rows = doc.IsObject() ? doc["matrix"] : doc;
        if (!rows.IsArray() || rows.Size() != 3)
            throw EStretch("expected three rows");
        for (size_t r = 0; r < 3; ++r) {
            if (!rows[r].IsArray() || rows[r].Size() != 4)
                throw EStretch("each row holds three weights and a constant");
            for (size_t c = 0; c < 4; ++c)
                m.M[r][c] = rows[r][c].AsDouble();
        }
        TFitOptions check;
        check.Space = TColourSpace::Matrix;
        check.SpaceMatrix = m;
        ColourSpaceMap(check, 3, TSampleType::UInt8);
    } catch (const Exception& e) {
        throw std::invalid_argument(path + ": not a colour space matrix: " + e.Message);
    }
    return m;
}

struct TParsed {
    TStretchOptions Options;
    std::vector<std::string> Files;
    bool Help = false;
};

// The arguments of `stretch` (Apply false) or `apply`.
TParsed ParseArguments(const std::vector<std::string>& args, bool apply) {
    const char* const usage = apply ? ApplyUsage : StretchUsage;
    const std::string command = apply ? "apply: " : "stretch: ";
    TParsed parsed;
    TStretchOptions& options = parsed.Options;
    options.PluginPath = DefaultPluginPath();
    int answerFlags = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw std::invalid_argument(command + a + " needs a value\n" + usage);
            return args[++i];
        };
        auto choice = [&](const char* first, const char* second) {
            const std::string& v = value();
            if (v != first && v != second)
                throw std::invalid_argument(command + a + " takes " + first + " or " + second);
            options.UseEngine = true;
            return v == first;
        };
        // Options that fit a transform have no place in `apply`.
        const bool fitting = a == "--offset" || a == "--no-offset" || a == "--cancel" ||
                             a == "--row-align" || a == "--plugin" || a == "--pool" ||
                             a == "--basis" || a == "--pairing" || a == "--sample" ||
                             a == "--mask" || a == "--every" || a == "--save-transform" ||
                             a == "--target-mean" || a == "--target-sigma" || a == "--space" ||
                             a == "--matrix" || a == "--keep" || a == "--clip";
        if (apply && fitting)
            throw std::invalid_argument(command + a + " fits a transform; apply takes one\n" +
                                        usage);
        if (!apply && a == "--transform")
            throw std::invalid_argument(command + "--transform belongs to veltrane apply");
        if (a == "--offset") {
            options.Answer = TAnswer::Yes;
            ++answerFlags;
        } else if (a == "--no-offset") {
            options.Answer = TAnswer::No;
            ++answerFlags;
        } else if (a == "--cancel") {
            options.Answer = TAnswer::Cancel;
            ++answerFlags;
        } else if (a == "--row-align") {
            const std::string& v = value();
            if (v != "1" && v != "2" && v != "4" && v != "8")
                throw std::invalid_argument(command + "--row-align takes 1, 2, 4 or 8");
            options.RowAlign = std::stoi(v);
        } else if (a == "--compare") {
            options.Compare = value();
        } else if (a == "--plugin") {
            options.PluginPath = value();
        } else if (a == "--out-dir") {
            options.OutDir = value();
        } else if (a == "--jobs") {
            const std::string& v = value();
            options.Jobs = std::atoi(v.c_str());
            if (options.Jobs < 1 || options.Jobs > 256)
                throw std::invalid_argument(command + "--jobs takes a number from 1 to 256");
        } else if (a == "--quiet") {
            options.Quiet = true;
        } else if (a == "--pool") {
            options.Pool = options.UseEngine = true;
        } else if (a == "--basis") {
            options.Engine.Fit.Basis = choice("correlation", "covariance")
                                           ? TStretchBasis::Correlation
                                           : TStretchBasis::Covariance;
        } else if (a == "--pairing") {
            options.Engine.Fit.Pairing =
                choice("plugin", "direct") ? TBandPairing::Plugin : TBandPairing::Direct;
        } else if (a == "--sample") {
            ParseSample(command + "--sample", value(), options.Engine);
            options.UseEngine = true;
        } else if (a == "--mask") {
            options.Engine.Mask = value();
            options.UseEngine = true;
        } else if (a == "--every") {
            options.Engine.Every = ParseInteger(command + "--every", value());
            options.UseEngine = true;
        } else if (a == "--nodata") {
            const std::string& v = value();
            char* end = nullptr;
            options.Engine.NoData = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0')
                throw std::invalid_argument(command + "--nodata takes a number, not '" + v + "'");
            options.Engine.HasNoData = options.UseEngine = true;
        } else if (a == "--threads") {
            const int64_t n = ParseInteger(command + "--threads", value());
            if (n < 0 || n > 256)
                throw std::invalid_argument(command + "--threads takes a number from 0 to 256");
            options.Threads = static_cast<int>(n);
            options.UseEngine = true;
        } else if (a == "--target-mean" || a == "--target-sigma") {
            // One value for every band, or one a band, in the samples' units.
            const bool mean = a == "--target-mean";
            const std::vector<double> v =
                ParseNumbers(command + a, value(), mean ? "numbers" : "numbers of at least 0");
            double* to = mean ? options.Engine.Fit.TargetMean : options.Engine.Fit.TargetSigma;
            for (const double x : v)
                if (!mean && x < 0)
                    throw std::invalid_argument(command + a + " takes numbers of at least 0");
            std::copy(v.begin(), v.end(), to);
            const int count = static_cast<int>(v.size());
            if (count == 1)
                std::fill(to + 1, to + MaxBands, to[0]);
            (a == "--target-mean" ? options.Engine.TargetMeans : options.Engine.TargetSigmas) =
                count;
            options.Engine.Fit.Method = TStretchMethod::Target;
            options.Engine.Fit.Pairing = TBandPairing::Direct;
            options.UseEngine = true;
        } else if (a == "--space" || a == "--matrix") {
            if (options.Engine.Fit.Space != TColourSpace::None)
                throw std::invalid_argument(command + "give one --space or --matrix");
            TFitOptions& fit = options.Engine.Fit;
            if (a == "--space") {
                const std::string& v = value();
                if (v != "rgb" && v != "ycbcr" && v != "yiq")
                    throw std::invalid_argument(command + "--space takes rgb, ycbcr or yiq, not '" +
                                                v + "'");
                fit.Space = ColourSpaceNamed(v);
            } else {
                fit.SpaceMatrix = ReadSpaceMatrix(value());
                fit.Space = TColourSpace::Matrix;
            }
            options.UseEngine = true;
        } else if (a == "--keep") {
            const std::vector<double> bands = ParseNumbers(command + a, value(), "band numbers");
            for (const double b : bands) {
                if (b != std::floor(b) || b < 1 || b > MaxBands)
                    throw std::invalid_argument(command + "--keep takes band numbers from 1 to 16");
                options.Engine.Fit.Keep |= 1u << (static_cast<int>(b) - 1);
            }
            options.UseEngine = true;
        } else if (a == "--clip") {
            const std::vector<double> f = ParseNumbers(command + a, value(), "fractions");
            if (f.size() > 2 || f[0] < 0 || f.back() < 0 || f[0] + f.back() >= 1)
                throw std::invalid_argument(command +
                                            "--clip takes LOW[,HIGH]: fractions of at least 0, "
                                            "together below 1 (0.01 saturates 1 % at each end)");
            TFitOptions& fit = options.Engine.Fit;
            fit.Clip = true;
            fit.ClipLow = f[0];
            fit.ClipHigh = f.back();
            options.UseEngine = true;
        } else if (a == "--save-transform") {
            options.Engine.SaveTransform = value();
            options.UseEngine = true;
        } else if (a == "--transform") {
            options.Transform = value();
        } else if (a == "-h" || a == "--help") {
            parsed.Help = true;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            throw std::invalid_argument(command + "unknown option " + a + "\n" + usage);
        } else {
            parsed.Files.push_back(a);
        }
    }
    if (answerFlags > 1)
        throw std::invalid_argument(command +
                                    "give at most one of --offset, --no-offset, --cancel");
    if (options.Engine.Fit.Method == TStretchMethod::Target && answerFlags > 0 &&
        options.Answer != TAnswer::Cancel)
        throw std::invalid_argument(command +
                                    "--offset and --no-offset choose the other methods; "
                                    "a target (--target-mean, --target-sigma) is a method "
                                    "of its own");
    if (parsed.Help)
        return parsed;
    if (!options.OutDir.empty()) {
        if (parsed.Files.empty())
            throw std::invalid_argument(command + "no input images\n" + usage);
        if (!options.Compare.empty())
            throw std::invalid_argument(command + "--compare takes one image, not a batch");
        if (!options.Pool && !options.Engine.SaveTransform.empty())
            throw std::invalid_argument(command +
                                        "--save-transform takes one image or a --pool batch");
        CheckBatchNames(parsed.Files);
    } else {
        if (options.Pool)
            throw std::invalid_argument(command + "--pool takes a batch (--out-dir DIR)");
        if (parsed.Files.size() != 2)
            throw std::invalid_argument(command + "expected IN and OUT\n" + usage);
    }
    if (apply && options.Transform.empty())
        throw std::invalid_argument(command + "--transform FILE is required\n" + usage);
    SetStretchThreads(options.Threads);
    return parsed;
}

int RunSingle(TPluginHandle& plugin, const TParsed& parsed, const TBandTransform* given) {
    TMessageBoxAnswers answers(parsed.Options.Answer);
    const TStretchOutcome outcome =
        StretchFile(plugin, parsed.Files[0], parsed.Files[1], parsed.Options, given);
    if (!outcome.Message.empty())
        std::fprintf(stderr, "veltrane: %s\n", outcome.Message.c_str());
    return outcome.Status;
}

} // namespace

int64_t ParseInteger(const std::string& option, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || end == text.c_str() || *end != '\0' || errno == ERANGE)
        throw std::invalid_argument(option + " takes an integer, not '" + text + "'");
    return v;
}

void ParseSample(const std::string& option, const std::string& text, TEngineOptions& options) {
    int64_t n[4];
    size_t from = 0;
    for (int k = 0; k < 4; ++k) {
        const size_t comma = k < 3 ? text.find(',', from) : text.size();
        if (comma == std::string::npos)
            throw std::invalid_argument(option + " takes X,Y,W,H, not '" + text + "'");
        n[k] = ParseInteger(option, text.substr(from, comma - from));
        from = comma + 1;
    }
    options.SampleX = n[0];
    options.SampleY = n[1];
    options.SampleWidth = n[2];
    options.SampleHeight = n[3];
}

void ShowProgress(size_t done, size_t total, const std::string& name) {
    const int width = std::max(10, std::min(40, platform::TerminalWidth() - 40));
    const int filled = static_cast<int>(static_cast<double>(width) * static_cast<double>(done) /
                                        static_cast<double>(total));
    std::string bar(static_cast<size_t>(filled), '=');
    if (filled < width)
        bar += '>' + std::string(static_cast<size_t>(width - filled - 1), ' ');
    std::string label = name.size() > 30 ? "..." + name.substr(name.size() - 27) : name;
    std::fprintf(stderr, "\r[%s] %zu/%zu %-30s", bar.c_str(), done, total, label.c_str());
    std::fflush(stderr);
}

int StretchCommand(const std::vector<std::string>& args) {
    TParsed parsed = ParseArguments(args, false);
    if (parsed.Help) {
        std::fputs(StretchUsage, stdout);
        return 0;
    }
    TStretchOptions& options = parsed.Options;
    TPluginHandle plugin(options.PluginPath);
    if (options.OutDir.empty())
        return RunSingle(plugin, parsed, nullptr);
    AskOnce(options, parsed.Files.size());
    TMessageBoxAnswers answers(options.Answer);
    if (options.Pool)
        return RunPool(plugin, parsed.Files, options);
    return RunBatch(parsed.Files, options, [&](const std::string& in, const std::string& out) {
        return StretchFile(plugin, in, out, options);
    });
}

int ApplyCommand(const std::vector<std::string>& args) {
    const TParsed parsed = ParseArguments(args, true);
    if (parsed.Help) {
        std::fputs(ApplyUsage, stdout);
        return 0;
    }
    const TBandTransform t = LoadTransform(parsed.Options.Transform);
    TPluginHandle plugin(parsed.Options.PluginPath);
    if (parsed.Options.OutDir.empty())
        return RunSingle(plugin, parsed, &t);
    return RunBatch(parsed.Files, parsed.Options,
                    [&](const std::string& in, const std::string& out) {
                        return StretchFile(plugin, in, out, parsed.Options, &t);
                    });
}

} // namespace vt::host
