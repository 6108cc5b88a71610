// The host's progress bar on standard error: "[=====>    ] 3/10 name" for a batch's images,
// "[=====>    ]  42% name" for one image's passes, drawn only on a terminal.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vt::host {

// Draws the bar at Done of Total, with "done/total" (Counted) or a percentage, then Name.
void ShowProgress(size_t done, size_t total, const std::string& name, bool counted = true);

// One image's passes: a bar once the work has taken half a second, ended with a new line.
class TProgress {
public:
    TProgress(bool enabled, int64_t total, std::string label);
    ~TProgress();
    TProgress(const TProgress&) = delete;
    TProgress& operator=(const TProgress&) = delete;

    void Advance(int64_t units);

private:
    bool Enabled;
    int64_t Total;
    int64_t Done = 0;
    std::string Label;
    std::chrono::steady_clock::time_point Started;
    bool Shown = false;
};

} // namespace vt::host
