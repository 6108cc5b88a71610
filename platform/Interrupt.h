// Files that must not outlive an interrupted run: part files of outputs being written. When
// the process is interrupted (SIGINT, SIGTERM or SIGHUP; Ctrl-C or Ctrl-Break on Windows), the
// files registered at that moment are removed before the process ends as the signal would end
// it.
#pragma once

#include <string>

namespace vt::platform {

// Installs the cleanup (once; later calls do nothing). It also makes a write beyond the
// process's file-size limit fail with an error the writer sees, instead of ending the process
// with the partial file left in place.
void InstallInterruptCleanup();

// Registers Path for removal on interrupt while the object lives. Registration never fails: past
// the table's room (1024 files at once) a path is simply not removed on interrupt.
class TRemoveOnInterrupt {
public:
    explicit TRemoveOnInterrupt(const std::string& path) noexcept;
    ~TRemoveOnInterrupt();
    TRemoveOnInterrupt(const TRemoveOnInterrupt&) = delete;
    TRemoveOnInterrupt& operator=(const TRemoveOnInterrupt&) = delete;

private:
    int Slot;
};

} // namespace vt::platform
