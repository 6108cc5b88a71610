// Stretching image files through the engine, or through the plug-in when asked.
#include "host/StretchJob.h"

#include "host/GdalRaster.h"
#include "host/Help.h"
#include "host/ImageFile.h"
#include "host/Progress.h"
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
    const TOutputName name = SplitOutputName(out),
                      compareName = SplitOutputName(options.Engine.Compare);
    TWriteOptions write = options.Engine.Write, compareWrite = options.Engine.Write;
    write.SaverOptions = name.Options;
    compareWrite.SaverOptions = compareName.Options;
    std::vector<std::string> notes;
    TPicture picture = LoadPicture(in, notes);
    for (const std::string& note : notes)
        std::fprintf(stderr, "veltrane: warning: %s\n", note.c_str());
    CheckOutputHolds(name.File, picture.Alpha.empty() ? 3 : 4, !picture.Alpha.empty(),
                     TSampleType::UInt8);
    if (!options.Engine.Compare.empty())
        CheckOutputHolds(compareName.File, 3, false, TSampleType::UInt8);

    const int32_t line = AlignedLine(picture.Width, options.RowAlign);
    if (int64_t{line} * picture.Height > INT32_MAX)
        throw std::runtime_error(in + ": the image is too large for the plug-in (2 GiB); "
                                      "without --plugin the engine takes it");
    // The host's own image memory, rows aligned as it likes them.
    std::vector<uint8_t> memory(static_cast<size_t>(line) * static_cast<size_t>(picture.Height));
    const size_t packed = static_cast<size_t>(picture.Width) * 3;
    for (int32_t y = 0; y < picture.Height; ++y)
        std::memcpy(memory.data() + static_cast<size_t>(y) * static_cast<size_t>(line),
                    picture.Bgr.data() + static_cast<size_t>(y) * packed, packed);
    THostImage image{picture.Width, picture.Height, line, 3, memory.data(), nullptr};

    int32_t processed;
    {
        std::lock_guard<std::mutex> lock(PluginLock);
        processed = plugin.Process(1, image);
    }
    if (processed != VT_PROCESSED) {
        outcome.Status = 1;
        outcome.Message = in + ": the plug-in did nothing; " + name.File + " was not written";
        return outcome;
    }

    TPicture stretched = picture;
    for (int32_t y = 0; y < picture.Height; ++y)
        std::memcpy(stretched.Bgr.data() + static_cast<size_t>(y) * packed,
                    memory.data() + static_cast<size_t>(y) * static_cast<size_t>(line), packed);
    TPartFile result(name.File);
    SavePicture(stretched, result, write);
    std::unique_ptr<TPartFile> compare;
    if (!options.Engine.Compare.empty()) {
        compare = std::make_unique<TPartFile>(compareName.File);
        SavePicture(SideBySide(picture, stretched), *compare, compareWrite);
    }
    result.Commit();
    if (compare)
        compare->Commit();
    outcome.Status = 0;
    return outcome;
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
    TWarningScope warnings;
    try {
        if (given == nullptr && options.Plugin) {
            TPluginModule* module;
            {
                std::lock_guard<std::mutex> lock(PluginLock);
                module = &plugin.Get();
            }
            return PluginStretchFile(*module, in, out, options);
        }
        TEngineOptions engine = options.Engine;
        // A target is a method of its own: no question, though --cancel still cancels.
        const bool target = engine.Request.Fit.Method == TStretchMethod::Target;
        if (given == nullptr && (target ? options.Answer == TAnswer::Cancel
                                        : !MethodOf(options.Answer, engine.Request.Fit.Method))) {
            outcome.Status = 1;
            outcome.Message = in + ": cancelled; " + SplitOutputName(out).File + " was not written";
            return outcome;
        }
        // The transform's own no-data value serves unless the command line gives one.
        if (given != nullptr && !engine.Request.Selection.HasNoData && !engine.NoDataNone &&
            given->HasNoData) {
            engine.Request.Selection.HasNoData = true;
            engine.Request.Selection.NoData = given->NoData;
        }
        engine.Progress = !options.Quiet && options.OutDir.empty();
        EngineStretchFile(in, out, engine, given);
        outcome.Status = 0;
    } catch (const std::exception& e) {
        outcome.Status = 2;
        outcome.Message = e.what();
        // The file's own name leads every message about it.
        if (outcome.Message.find(in) == std::string::npos)
            outcome.Message = in + ": " + outcome.Message;
        outcome.Message += warnings.Text("  ");
    }
    return outcome;
}

namespace {

// Where each input of a batch is written: DIR and the input's own name (a raster GDAL reads
// as a TIFF of its name, BatchName).
std::string BatchOutput(const std::string& outDir, const std::string& in) {
    return (std::filesystem::path(outDir) / BatchName(in)).string();
}

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
            const std::string out = BatchOutput(options.OutDir, in);
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

// Two inputs of one name would overwrite each other's result; a result over its own input
// replaces it, which only --overwrite allows.
void CheckBatchNames(const std::vector<std::string>& inputs, const TStretchOptions& options) {
    std::set<std::string> names;
    for (const std::string& in : inputs) {
        const std::string name = Lower(BatchName(in));
        if (!names.insert(name).second)
            throw std::invalid_argument("two inputs would both be written as " + name);
        std::error_code error;
        const std::string out = BatchOutput(options.OutDir, in);
        if (!options.Overwrite && std::filesystem::equivalent(in, out, error))
            throw std::invalid_argument("--out-dir " + options.OutDir +
                                        " would write over the "
                                        "input " +
                                        in + "; give --overwrite to replace inputs");
    }
}

// Ask once for the whole batch, then answer every image's question with it. The target method
// asks nothing.
void AskOnce(TStretchOptions& options, size_t images) {
    if (options.Answer != TAnswer::Ask ||
        options.Engine.Request.Fit.Method == TStretchMethod::Target)
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
// of the bar per image), then each image through the one transform, which --save-transform
// writes once it is fitted.
int RunPool(TPluginHandle& plugin, const std::vector<std::string>& inputs,
            TStretchOptions options) {
    TEngineOptions& engine = options.Engine;
    const bool target = engine.Request.Fit.Method == TStretchMethod::Target;
    if (target ? options.Answer == TAnswer::Cancel
               : !MethodOf(options.Answer, engine.Request.Fit.Method)) {
        std::printf("stretched 0 of %zu images into %s (cancelled)\n", inputs.size(),
                    options.OutDir.c_str());
        return 1;
    }
    // Every result's format before any pixel is read.
    for (const std::string& in : inputs) {
        const TRasterReader image(in);
        CheckOutputHolds(BatchOutput(options.OutDir, in), image.Bands(), image.Alpha(),
                         image.Type());
    }
    std::unique_ptr<TPartFile> saved;
    if (!engine.Request.SaveTransform.empty())
        saved = std::make_unique<TPartFile>(engine.Request.SaveTransform);
    const bool progress = !options.Quiet && platform::IsTerminal(2);
    const size_t total = inputs.size() * (target ? 2 : 3);
    size_t done = 0;
    TBandTransform t;
    try {
        t = FitPooled(inputs, engine, [&](const std::string& file) {
            if (progress)
                ShowProgress(done, total, file);
            ++done;
        });
    } catch (const std::exception& e) {
        // One image that cannot be read fails the pool: its statistics would bend everyone's.
        if (progress)
            std::fputc('\n', stderr);
        std::fprintf(stderr, "veltrane: %s\n", e.what());
        std::printf("stretched 0 of %zu images into %s (the pooled fit failed)\n", inputs.size(),
                    options.OutDir.c_str());
        return 2;
    }
    if (saved) {
        WriteWholeFile(*saved, WriteTransformJson(t));
        saved->Commit();
    }
    // The pooled transform is applied as fitted: the images' question is already answered.
    options.Plugin = false;
    return RunBatch(
        inputs, options,
        [&](const std::string& in, const std::string& out) {
            return StretchFile(plugin, in, out, options, &t);
        },
        done, total);
}

// A JSON document from a file (a colour space's matrix). Throws std::invalid_argument.
TJsonValue ReadJsonFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file)
        throw std::invalid_argument("cannot read " + path + ": " + std::strerror(errno));
    try {
        return ParseJson(text.str());
    } catch (const Exception& e) {
        throw std::invalid_argument(path + ": not a colour space matrix: " + e.Message);
    }
}

struct TParsed {
    TStretchOptions Options;
    std::vector<std::string> Files;
    bool Help = false;
};

// Whether a --plugin is followed by the module's path rather than by a file to stretch.
bool NamesModule(const std::string& text) {
    const std::string ext = Lower(std::filesystem::path(text).extension().string());
    return ext == ".so" || ext == ".dll";
}

// The arguments of `stretch` (Apply false) or `apply`.
TParsed ParseArguments(const std::vector<std::string>& args, bool apply) {
    const char* const usage = apply ? ApplyHelp : StretchHelp();
    const std::string command = apply ? "apply: " : "stretch: ";
    TParsed parsed;
    TStretchOptions& options = parsed.Options;
    TEngineOptions& engine = options.Engine;
    options.PluginPath = DefaultPluginPath();
    int answerFlags = 0;
    bool rowAlign = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw std::invalid_argument(command + a + " needs a value\n" + usage);
            return args[++i];
        };
        // The engine's options (the table's, but the question's answers); of them `apply`
        // takes only those that do not fit a transform, and the plug-in none.
        const TStretchOption* table = a.rfind("--", 0) == 0 ? FindStretchOption(a) : nullptr;
        const bool engineOnly = (table != nullptr && table->Kind != TOptionKind::Flag) ||
                                a == "--pool" || a == "--of" || a == "--co" || a == "--overviews";
        const bool fitting = a == "--cancel" || a == "--row-align" || a == "--plugin" ||
                             a == "--pool" ||
                             (table != nullptr && std::string(table->Key) != "nodata" &&
                              std::string(table->Key) != "threads");
        if (apply && fitting)
            throw std::invalid_argument(command + a + " fits a transform; apply takes one\n" +
                                        usage);
        if (!apply && a == "--transform")
            throw std::invalid_argument(command + "--transform belongs to veltrane apply");
        options.EngineOption = options.EngineOption || engineOnly;
        if (a == "--offset") {
            options.Answer = TAnswer::Yes;
            ++answerFlags;
        } else if (a == "--no-offset") {
            options.Answer = TAnswer::No;
            ++answerFlags;
        } else if (a == "--cancel") {
            options.Answer = TAnswer::Cancel;
            ++answerFlags;
        } else if (a == "--plugin") {
            options.Plugin = true;
            if (i + 1 < args.size() && NamesModule(args[i + 1]))
                options.PluginPath = args[++i];
        } else if (a == "--row-align") {
            const std::string& v = value();
            if (v != "1" && v != "2" && v != "4" && v != "8")
                throw std::invalid_argument(command + "--row-align takes 1, 2, 4 or 8, not '" + v +
                                            "'");
            options.RowAlign = std::stoi(v);
            options.Plugin = rowAlign = true;
        } else if (a == "--compare") {
            engine.Compare = value();
        } else if (a == "--quality") {
            engine.Write.Quality = static_cast<int>(ParseInteger(command + a, value(), 1, 100));
        } else if (a == "--out-dir") {
            options.OutDir = value();
        } else if (a == "--overwrite") {
            options.Overwrite = true;
        } else if (a == "--jobs") {
            options.Jobs = static_cast<int>(ParseInteger(command + a, value(), 1, 256));
        } else if (a == "--quiet") {
            options.Quiet = true;
        } else if (a == "--verbose") {
            KeepVipsWarnings(true);
        } else if (a == "--pool") {
            options.Pool = true;
        } else if (a == "--mask") {
            engine.Mask = value();
        } else if (a == "--nodata" && i + 1 < args.size() && args[i + 1] == "none") {
            // The file's own no-data value is not used; nor is a transform's.
            ++i;
            engine.NoDataNone = true;
            engine.Request.Selection.HasNoData = false;
        } else if (a == "--of") {
            const std::string& v = value();
            if (Lower(v) != "gtiff" && Lower(v) != "cog")
                throw std::invalid_argument(command + "--of takes GTiff or COG, not '" + v + "'");
            engine.Write.Driver = Lower(v) == "cog" ? "COG" : "GTiff";
        } else if (a == "--overviews") {
            const std::string& v = value();
            if (v != "none" && v != "auto")
                throw std::invalid_argument(command + "--overviews takes none or auto, not '" + v +
                                            "'");
            engine.Write.NoOverviews = v == "none";
        } else if (a == "--co") {
            const std::string& v = value();
            const size_t equals = v.find('=');
            if (equals == std::string::npos || equals == 0)
                throw std::invalid_argument(command + "--co takes NAME=VALUE, not '" + v + "'");
            engine.Write.CreationOptions.push_back(v);
        } else if (const TStretchOption* option = FindStretchOption(a);
                   option != nullptr && a.rfind("--", 0) == 0 &&
                   option->Kind != TOptionKind::Flag) {
            // The engine's options, as its table parses them.
            const std::string& text = value();
            try {
                SetStretchOption(engine.Request, *option,
                                 option->Kind == TOptionKind::Matrix
                                     ? ReadJsonFile(text)
                                     : StretchArgument(*option, text));
            } catch (const EStretch& e) {
                throw std::invalid_argument(command + e.Message);
            }
        } else if (a == "--transform") {
            options.Transform = value();
        } else if (apply && a == "--to-type") {
            options.ToType = value();
            try {
                SampleTypeNamed(options.ToType);
            } catch (const EStretch&) {
                throw std::invalid_argument(command +
                                            "--to-type takes uint8, uint16, float32, "
                                            "int8, int16, int32, uint32 or float64, "
                                            "not '" +
                                            options.ToType + "'");
            }
        } else if (a == "-h" || a == "--help") {
            parsed.Help = true;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            throw std::invalid_argument(command + "unknown option " + a + " (veltrane " +
                                        (apply ? "apply" : "stretch") + " --help lists them)");
        } else {
            parsed.Files.push_back(a);
        }
    }
    if (parsed.Help)
        return parsed;
    if (answerFlags > 1)
        throw std::invalid_argument(command +
                                    "give at most one of --offset, --no-offset, --cancel");
    if (engine.Request.Fit.Method == TStretchMethod::Target && answerFlags > 0 &&
        options.Answer != TAnswer::Cancel)
        throw std::invalid_argument(command +
                                    "--offset and --no-offset choose the other methods; "
                                    "a target (--target-mean, --target-sigma) is a method "
                                    "of its own");
    if (options.Plugin && options.EngineOption)
        throw std::invalid_argument(command + "--plugin" + (rowAlign ? " (and --row-align)" : "") +
                                    " runs the plug-in itself, which takes none of the engine's "
                                    "options");
    if (!options.OutDir.empty()) {
        if (parsed.Files.empty())
            throw std::invalid_argument(command + "no input images\n" + usage);
        if (!engine.Compare.empty())
            throw std::invalid_argument(command + "--compare takes one image, not a batch");
        if (!options.Pool && !engine.Request.SaveTransform.empty())
            throw std::invalid_argument(command +
                                        "--save-transform takes one image or a --pool batch");
        CheckBatchNames(parsed.Files, options);
    } else {
        if (options.Pool)
            throw std::invalid_argument(command + "--pool takes a batch (--out-dir DIR)");
        if (options.Overwrite)
            throw std::invalid_argument(command + "--overwrite takes a batch (--out-dir DIR)");
        if (parsed.Files.size() != 2)
            throw std::invalid_argument(command + "expected IN and OUT\n" + usage);
    }
    if (apply && options.Transform.empty())
        throw std::invalid_argument(command + "--transform FILE is required\n" + usage);
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

int64_t ParseInteger(const std::string& option, const std::string& text, int64_t lowest,
                     int64_t highest) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || end == text.c_str() || *end != '\0' || errno == ERANGE || v < lowest ||
        v > highest) {
        std::string range = " integer";
        if (lowest != INT64_MIN && highest != INT64_MAX)
            range = "n integer from " + std::to_string(lowest) + " to " + std::to_string(highest);
        else if (lowest != INT64_MIN)
            range = "n integer of at least " + std::to_string(lowest);
        throw std::invalid_argument(option + " takes a" + range + ", not '" + text + "'");
    }
    return v;
}

int StretchCommand(const std::vector<std::string>& args) {
    TParsed parsed = ParseArguments(args, false);
    if (parsed.Help) {
        std::fputs(StretchHelp(), stdout);
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
        std::fputs(ApplyHelp, stdout);
        return 0;
    }
    TBandTransform t;
    try {
        t = LoadTransform(parsed.Options.Transform);
    } catch (const Exception& e) {
        // The file's name leads the reason, whatever reading it found.
        if (e.Message.find(parsed.Options.Transform) != std::string::npos)
            throw;
        throw EStretch(parsed.Options.Transform + ": not a transform file: " + e.Message);
    }
    if (!parsed.Options.ToType.empty()) {
        // A no-data value of the command line replaces the transform's.
        const TEngineOptions& engine = parsed.Options.Engine;
        if (engine.Request.Selection.HasNoData || engine.NoDataNone)
            t.HasNoData = false;
        try {
            t = ConvertedTransform(t, SampleTypeNamed(parsed.Options.ToType));
        } catch (const EStretch& e) {
            throw EStretch(parsed.Options.Transform + ": " + e.Message +
                           "; --nodata V or --nodata none chooses another");
        }
    }
    TPluginHandle plugin(parsed.Options.PluginPath);
    if (parsed.Options.OutDir.empty())
        return RunSingle(plugin, parsed, &t);
    return RunBatch(parsed.Files, parsed.Options,
                    [&](const std::string& in, const std::string& out) {
                        return StretchFile(plugin, in, out, parsed.Options, &t);
                    });
}

} // namespace vt::host
