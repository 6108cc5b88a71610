// Outputs: how a user names and encodes them, and files that appear whole or not at all. Each
// is written under a part name beside its target and renamed over it only when complete, so
// that a failure, a full disk or an interrupt leaves the target as it was (an earlier file of
// that name included).
#pragma once

#include "platform/Interrupt.h"

#include <string>
#include <vector>

namespace vt::host {

// An output name as a user gives it: the file, and the saver's options that libvips reads from
// brackets after it ("out.jpg[Q=90]": file "out.jpg", options "[Q=90]").
struct TOutputName {
    std::string File;
    std::string Options; // with its brackets, or empty
};
TOutputName SplitOutputName(const std::string& name);

// How outputs are encoded: the saver's options as given after the name ("[Q=90]"), the
// quality of lossy formats (JPEG and WebP; 0: 95, with JPEG's colour at full resolution), and
// for TIFFs that GDAL writes its driver (GTiff or COG; empty: GTiff) and creation options
// (NAME=VALUE).
struct TWriteOptions {
    std::string SaverOptions;
    int Quality = 0;
    std::string Driver;
    std::vector<std::string> CreationOptions;
    bool NoOverviews = false; // --overviews none: none built, even where the input had them
};

class TPartFile {
public:
    // Target is the file's final name. The part (".NAME.partPID-N.EXT" in the same folder,
    // keeping the extension that chooses the format) is removed on interrupt while it lives.
    explicit TPartFile(const std::string& target);
    // Removes the part unless it was committed.
    ~TPartFile();
    TPartFile(const TPartFile&) = delete;
    TPartFile& operator=(const TPartFile&) = delete;

    const std::string& Target() const noexcept { return TargetPath; }
    const std::string& Part() const noexcept { return PartPath; }
    // Renames the complete part over the target. Throws std::runtime_error "cannot write
    // TARGET: reason".
    void Commit();

private:
    std::string TargetPath, PartPath;
    platform::TRemoveOnInterrupt Registration;
    bool Committed = false;
};

// Writes Text into the part file (the caller commits it). Throws std::runtime_error "cannot
// write TARGET: reason".
void WriteWholeFile(TPartFile& part, const std::string& text);

} // namespace vt::host
