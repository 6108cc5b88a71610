// The host's main job: running the plug-in's stretch command on image files, one at a time or
// many at once.
#pragma once

#include "host/PluginModule.h"

#include <string>
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
};

// Outcome of one image: 0 stretched and written, 1 the plug-in did nothing (nothing written),
// 2 error (Message says why).
struct TStretchOutcome {
    int Status = 2;
    std::string Message;
};

// Stretches In into Out. Errors of the files are reported in the outcome, not thrown.
TStretchOutcome StretchFile(TPluginModule& plugin, const std::string& in, const std::string& out,
                            const TStretchOptions& options);

// The `stretch` command: parses its arguments and runs one image or a batch. Returns the exit
// status (0, 1 or 2 as above; for a batch the worst of all images).
int StretchCommand(const std::vector<std::string>& args);

} // namespace vt::host
