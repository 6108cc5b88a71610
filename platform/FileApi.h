// The kernel32 file functions as a replaceable table, so that tests can make any file call fail
// or come up short on both builds without touching a real disk's limits.
#pragma once

#include "platform/Win32.h"

#include <cstdint>
#include <vector>

namespace vt {

// The file functions the stream classes call. The system table holds the Win32 functions
// themselves (the real ones on Windows, the substitutes on Linux).
struct TFileApi {
    decltype(&::CreateFileA) CreateFileA;
    decltype(&::ReadFile) ReadFile;
    decltype(&::WriteFile) WriteFile;
    decltype(&::SetFilePointer) SetFilePointer;
    decltype(&::GetFileSize) GetFileSize;
    decltype(&::SetEndOfFile) SetEndOfFile;
    decltype(&::FlushFileBuffers) FlushFileBuffers;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::DeleteFileA) DeleteFileA;
};

// The table in use; the system table unless a TFileApiScope has installed another.
const TFileApi& FileApi() noexcept;
// The Win32 functions themselves.
const TFileApi& SystemFileApi() noexcept;

// Installs a table for its own lifetime and then restores the one it replaced. Scopes nest;
// they are meant for tests and are not safe against other threads doing file I/O meanwhile.
class TFileApiScope {
public:
    explicit TFileApiScope(const TFileApi& api) noexcept;
    ~TFileApiScope();
    TFileApiScope(const TFileApiScope&) = delete;
    TFileApiScope& operator=(const TFileApiScope&) = delete;

private:
    const TFileApi* Previous;
};

// The calls a fault can be set on.
enum class TFileCall : uint8_t {
    Create,
    Read,
    Write,
    SetPointer,
    GetSize,
    SetEnd,
    Flush,
    Close,
    Delete,
};
inline constexpr int FileCallCount = 9;

// Fault injection for tests: while it lives, every file call goes through it to the table
// that was in use before, and the faults set on it strike. It also counts the calls, the byte
// counts asked of ReadFile and WriteFile, and the handles opened and not yet closed.
// One fault per kind of call; setting another replaces it.
class TFileFaults {
public:
    TFileFaults() noexcept;
    ~TFileFaults();
    TFileFaults(const TFileFaults&) = delete;
    TFileFaults& operator=(const TFileFaults&) = delete;

    // After Skip more calls of this kind pass, the next Times calls (-1: all of them) fail with
    // Error without touching the file.
    void Fail(TFileCall call, DWORD error, int32_t skip = 0, int32_t times = 1);
    // After Skip more calls pass, the next Times ReadFile or WriteFile calls move at most
    // Limit bytes. With Error 0 they report success (a short transfer); otherwise they fail
    // with Error after moving them (a disk that fills up).
    void Short(TFileCall call, DWORD limit, DWORD error = 0, int32_t skip = 0, int32_t times = 1);
    // Removes every fault; the counts stay.
    void Clear() noexcept;

    // Number of calls of this kind made while installed.
    int32_t Calls(TFileCall call) const noexcept;
    // Byte counts passed to ReadFile or WriteFile, in call order.
    const std::vector<DWORD>& Requests(TFileCall call) const noexcept;
    // Handles opened through this object and not yet closed through it.
    int32_t OpenHandles() const noexcept { return OpenCount; }

    // Used by the table's functions.
    struct TFault {
        bool Armed = false;
        bool Short = false;
        DWORD Error = 0;
        DWORD Limit = 0;
        int32_t Skip = 0;
        int32_t Times = 0;
    };
    // Counts the call and returns the fault that strikes it, or null.
    const TFault* Strike(TFileCall call, DWORD bytes) noexcept;
    const TFileApi& Next() const noexcept { return *Below; }
    void Opened() noexcept { ++OpenCount; }
    void Closed() noexcept { --OpenCount; }

private:
    const TFileApi* Below;
    TFileFaults* PreviousFaults;
    TFileApiScope Scope;
    TFault Faults[FileCallCount];
    int32_t CallCounts[FileCallCount] = {};
    std::vector<DWORD> ReadRequests, WriteRequests;
    int32_t OpenCount = 0;
};

} // namespace vt
