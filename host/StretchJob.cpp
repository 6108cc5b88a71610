// Stretching image files through the plug-in.
#include "host/StretchJob.h"

#include "host/ImageFile.h"
#include "platform/Console.h"
#include "platform/Process.h"
#include "platform/Win32.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
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

// Draws "[=====>    ] 3/10 name" on standard error.
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

} // namespace

TStretchOutcome StretchFile(TPluginModule& plugin, const std::string& in, const std::string& out,
                            const TStretchOptions& options) {
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

namespace {

const char* const StretchUsage =
    "usage: veltrane stretch IN OUT [--offset | --no-offset | --cancel] [--row-align N]\n"
    "                        [--compare FILE] [--plugin PATH]\n"
    "       veltrane stretch --out-dir DIR [--jobs N] [--offset | --no-offset | --cancel]\n"
    "                        [--row-align N] [--plugin PATH] [--quiet] IN...\n";

int RunBatch(TPluginModule& plugin, const std::vector<std::string>& inputs,
             TStretchOptions options) {
    std::filesystem::create_directories(options.OutDir);
    std::set<std::string> names;
    for (const std::string& in : inputs) {
        const std::string name = Lower(std::filesystem::path(in).filename().string());
        if (!names.insert(name).second)
            throw std::invalid_argument("two inputs would both be written as " + name);
    }
    // Ask once for the whole batch, then answer the plug-in's question with it every time.
    if (options.Answer == TAnswer::Ask) {
        const std::string question = "Allow offset components? (applies to all " +
                                     std::to_string(inputs.size()) + " images)";
        const int answer = MessageBoxA(nullptr, question.c_str(), "Confirmation",
                                       MB_YESNOCANCEL | MB_ICONQUESTION);
        options.Answer = answer == IDYES  ? TAnswer::Yes
                         : answer == IDNO ? TAnswer::No
                                          : TAnswer::Cancel;
    }
    TMessageBoxAnswers answers(options.Answer);
    const bool progress = !options.Quiet && platform::IsTerminal(2);
    const auto started = std::chrono::steady_clock::now();

    std::atomic<size_t> next{0};
    std::mutex report;
    size_t done = 0, stretched = 0, untouched = 0, failed = 0;
    auto worker = [&] {
        for (size_t i = next++; i < inputs.size(); i = next++) {
            const std::string& in = inputs[i];
            const std::string out =
                (std::filesystem::path(options.OutDir) / std::filesystem::path(in).filename())
                    .string();
            const TStretchOutcome outcome = StretchFile(plugin, in, out, options);
            std::lock_guard<std::mutex> lock(report);
            ++done;
            (outcome.Status == 0 ? stretched : outcome.Status == 1 ? untouched : failed)++;
            if (!outcome.Message.empty()) {
                if (progress)
                    std::fputc('\n', stderr);
                std::fprintf(stderr, "veltrane: %s\n", outcome.Message.c_str());
            }
            if (progress)
                ShowProgress(done, inputs.size(), in);
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

} // namespace

int StretchCommand(const std::vector<std::string>& args) {
    TStretchOptions options;
    options.PluginPath = DefaultPluginPath();
    std::vector<std::string> files;
    int answerFlags = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw std::invalid_argument("stretch: " + a + " needs a value\n" + StretchUsage);
            return args[++i];
        };
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
                throw std::invalid_argument("stretch: --row-align takes 1, 2, 4 or 8");
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
                throw std::invalid_argument("stretch: --jobs takes a number from 1 to 256");
        } else if (a == "--quiet") {
            options.Quiet = true;
        } else if (a == "-h" || a == "--help") {
            std::fputs(StretchUsage, stdout);
            return 0;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            throw std::invalid_argument("stretch: unknown option " + a + "\n" + StretchUsage);
        } else {
            files.push_back(a);
        }
    }
    if (answerFlags > 1)
        throw std::invalid_argument("stretch: give at most one of --offset, --no-offset, --cancel");

    TPluginModule plugin(options.PluginPath);
    plugin.Register();
    if (!options.OutDir.empty()) {
        if (files.empty())
            throw std::invalid_argument(std::string("stretch: no input images\n") + StretchUsage);
        if (!options.Compare.empty())
            throw std::invalid_argument("stretch: --compare takes one image, not a batch");
        return RunBatch(plugin, files, options);
    }
    if (files.size() != 2)
        throw std::invalid_argument(std::string("stretch: expected IN and OUT\n") + StretchUsage);
    TMessageBoxAnswers answers(options.Answer);
    const TStretchOutcome outcome = StretchFile(plugin, files[0], files[1], options);
    if (!outcome.Message.empty())
        std::fprintf(stderr, "veltrane: %s\n", outcome.Message.c_str());
    return outcome.Status;
}

} // namespace vt::host
