// The host's main job: stretching image files, one at a time or many at once, through the
// plug-in where it serves (8-bit colour, no engine option) and through the stretch engine in
// this process for everything else.
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
    TAnswer Answer = TAnswer::Ask; // how "Allow offset components?" is answered
    int32_t RowAlign = 1;          // the host's row alignment in bytes (1 = packed rows)
    std::string Compare;           // a before/after picture to write (single image)
    std::string OutDir;            // batch: where the results go
    int Jobs = 1;                  // batch: images read and written at once
    bool Quiet = false;            // no progress bar
    bool UseEngine = false;        // an engine option was given: the engine serves every image
    bool Pool = false;             // batch: one transform fitted to all images
    int Threads = 0;               // the engine's threads (0: the processor's)
    TEngineOptions Engine;
    std::string Transform; // apply: the transform file
};

// Outcome of one image: 0 stretched and written, 1 the plug-in did nothing (nothing written),
// 2 error (Message says why).
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

// An integer option's value; throws std::invalid_argument "OPTION takes an integer, not ...".
int64_t ParseInteger(const std::string& option, const std::string& text);
// --sample X,Y,W,H into the options' rectangle; throws std::invalid_argument naming Option.
void ParseSample(const std::string& option, const std::string& text, TEngineOptions& options);

// Draws "[=====>    ] 3/10 name" on standard error.
void ShowProgress(size_t done, size_t total, const std::string& name);

// The `apply` command: a saved transform applied to one image or a batch, with no new
// statistics.
int ApplyCommand(const std::vector<std::string>& args);

} // namespace vt::host
