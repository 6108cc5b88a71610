// The progress bar.
#include "host/Progress.h"

#include "platform/Console.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace vt::host {

void ShowProgress(size_t done, size_t total, const std::string& name, bool counted) {
    const int width = std::max(10, std::min(40, platform::TerminalWidth() - 40));
    const double part =
        std::min(1.0, static_cast<double>(done) / static_cast<double>(std::max<size_t>(total, 1)));
    const int filled = static_cast<int>(width * part);
    std::string bar(static_cast<size_t>(filled), '=');
    if (filled < width)
        bar += '>' + std::string(static_cast<size_t>(width - filled - 1), ' ');
    const std::string label = name.size() > 30 ? "..." + name.substr(name.size() - 27) : name;
    if (counted)
        std::fprintf(stderr, "\r[%s] %zu/%zu %-30s", bar.c_str(), done, total, label.c_str());
    else
        std::fprintf(stderr, "\r[%s] %3d%% %-30s", bar.c_str(), static_cast<int>(part * 100),
                     label.c_str());
    std::fflush(stderr);
}

TProgress::TProgress(bool enabled, int64_t total, std::string label)
    : Enabled(enabled && platform::IsTerminal(2)), Total(std::max<int64_t>(total, 1)),
      Label(std::move(label)), Started(std::chrono::steady_clock::now()) {}

TProgress::~TProgress() {
    if (Shown)
        std::fputc('\n', stderr);
}

void TProgress::Advance(int64_t units) {
    Done += units;
    if (!Enabled ||
        (!Shown && std::chrono::steady_clock::now() - Started < std::chrono::milliseconds(500)))
        return;
    ShowProgress(static_cast<size_t>(std::min(Done, Total)), static_cast<size_t>(Total), Label,
                 false);
    Shown = true;
}

} // namespace vt::host
