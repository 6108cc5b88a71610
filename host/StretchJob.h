// The host's main job: stretching image files, one at a time or many at once, through the
// stretch engine in this process; or, when asked, through the loaded plug-in module itself, as
// an image editor would run it.
#pragma once

#include "host/EngineJob.h"
#include "host/PluginModule.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vt::host {

struct TStretchOptions {
    std::string PluginPath;
    bool Plugin = false;           // through the loaded module rather than the engine
    TAnswer Answer = TAnswer::Ask; // how "Allow offset components?" is answered
    int32_t RowAlign = 1;          // the plug-in's row alignment in bytes (1 = packed rows)
    std::string OutDir;            // batch: where the results go
    int Jobs = 1;                  // batch: images read and written at once
    bool Quiet = false;            // no progress bar
    bool Overwrite = false;        // batch: results may replace their inputs
    bool EngineOption = false;     // an option only the engine takes was given
    bool Pool = false;             // batch: one transform fitted to all images
    TEngineOptions Engine;         // also the comparison and how outputs are encoded
    std::string Transform;         // apply: the transform file
    std::string ToType;            // apply: the sample type it is converted to, or empty
};

// Outcome of one image: 0 stretched and written, 1 the plug-in did nothing or the question was
// cancelled (nothing written), 2 error (Message says why and names the file).
struct TStretchOutcome {
    int Status = 2;
    std::string Message;
};

// The plug-in module, loaded when an image first needs it.
class TPluginHandle {
public:
    explicit TPluginHandle(std::string path) : Path(std::move(path)) {}
    TPluginModule& Get(); // loads and registers it the first time
private:
    std::string Path;
    std::unique_ptr<TPluginModule> Module;
};

// Stretches In into Out (applies Given when not null). Errors of the files are reported in
// the outcome, not thrown.
TStretchOutcome StretchFile(TPluginHandle& plugin, const std::string& in, const std::string& out,
                            const TStretchOptions& options, const TBandTransform* given = nullptr);

// The `stretch` command: parses its arguments and runs one image or a batch. Returns the exit
// status (0, 1 or 2 as above; for a batch the worst of all images).
int StretchCommand(const std::vector<std::string>& args);

// An integer option's value from Lowest to Highest; throws std::invalid_argument "OPTION takes
// an integer from LOWEST to HIGHEST, not ...".
int64_t ParseInteger(const std::string& option, const std::string& text, int64_t lowest = INT64_MIN,
                     int64_t highest = INT64_MAX);

// The `apply` command: a saved transform applied to one image or a batch, with no new
// statistics.
int ApplyCommand(const std::vector<std::string>& args);

} // namespace vt::host
