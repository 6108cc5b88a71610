// The replaceable table of file functions and the fault injection that tests install on it.
#include "platform/FileApi.h"

#include <algorithm>

namespace vt {

namespace {

#if defined(_WIN32)
using TSecurity = LPSECURITY_ATTRIBUTES;
using TOverlapped = LPOVERLAPPED;
#else
using TSecurity = void*;
using TOverlapped = void*;
#endif

const TFileApi SystemApi = {
    ::CreateFileA,  ::ReadFile,         ::WriteFile,   ::SetFilePointer, ::GetFileSize,
    ::SetEndOfFile, ::FlushFileBuffers, ::CloseHandle, ::DeleteFileA,
};

const TFileApi* CurrentApi = &SystemApi;
TFileFaults* ActiveFaults = nullptr;

// ---- The table that TFileFaults installs -------------------------------------------------

HANDLE WINAPI FaultyCreate(LPCSTR fileName, DWORD access, DWORD share, TSecurity security,
                           DWORD creation, DWORD flags, HANDLE templateFile) {
    TFileFaults& faults = *ActiveFaults;
    if (const auto* fault = faults.Strike(TFileCall::Create, 0)) {
        SetLastError(fault->Error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle =
        faults.Next().CreateFileA(fileName, access, share, security, creation, flags, templateFile);
    if (handle != INVALID_HANDLE_VALUE)
        faults.Opened();
    return handle;
}

// Reads and writes share the short-transfer logic.
template <typename TBuffer, typename TCall>
BOOL FaultyTransfer(TFileCall kind, HANDLE file, TBuffer buffer, DWORD count, LPDWORD done,
                    TOverlapped overlapped, TCall call) {
    TFileFaults& faults = *ActiveFaults;
    const auto* fault = faults.Strike(kind, count);
    if (fault != nullptr && !fault->Short) {
        if (done != nullptr)
            *done = 0;
        SetLastError(fault->Error);
        return FALSE;
    }
    const DWORD asked = fault != nullptr ? std::min(count, fault->Limit) : count;
    const BOOL ok = call(faults.Next())(file, buffer, asked, done, overlapped);
    if (ok && fault != nullptr && fault->Error != 0) {
        SetLastError(fault->Error);
        return FALSE;
    }
    return ok;
}

BOOL WINAPI FaultyRead(HANDLE file, LPVOID buffer, DWORD count, LPDWORD done,
                       TOverlapped overlapped) {
    return FaultyTransfer(TFileCall::Read, file, buffer, count, done, overlapped,
                          [](const TFileApi& api) { return api.ReadFile; });
}

BOOL WINAPI FaultyWrite(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD done,
                        TOverlapped overlapped) {
    return FaultyTransfer(TFileCall::Write, file, buffer, count, done, overlapped,
                          [](const TFileApi& api) { return api.WriteFile; });
}

DWORD WINAPI FaultySetPointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    TFileFaults& faults = *ActiveFaults;
    if (const auto* fault = faults.Strike(TFileCall::SetPointer, 0)) {
        SetLastError(fault->Error);
        return INVALID_SET_FILE_POINTER;
    }
    return faults.Next().SetFilePointer(file, distance, distanceHigh, method);
}

DWORD WINAPI FaultyGetSize(HANDLE file, LPDWORD sizeHigh) {
    TFileFaults& faults = *ActiveFaults;
    if (const auto* fault = faults.Strike(TFileCall::GetSize, 0)) {
        SetLastError(fault->Error);
        return INVALID_FILE_SIZE;
    }
    return faults.Next().GetFileSize(file, sizeHigh);
}

// The calls that take one argument and return a BOOL.
template <TFileCall Kind, typename TArg, typename TCall>
BOOL FaultyBool(TArg argument, TCall call) {
    TFileFaults& faults = *ActiveFaults;
    if (const auto* fault = faults.Strike(Kind, 0)) {
        SetLastError(fault->Error);
        return FALSE;
    }
    return call(faults.Next())(argument);
}

BOOL WINAPI FaultySetEnd(HANDLE file) {
    return FaultyBool<TFileCall::SetEnd>(file,
                                         [](const TFileApi& api) { return api.SetEndOfFile; });
}

BOOL WINAPI FaultyFlush(HANDLE file) {
    return FaultyBool<TFileCall::Flush>(file,
                                        [](const TFileApi& api) { return api.FlushFileBuffers; });
}

BOOL WINAPI FaultyClose(HANDLE file) {
    const BOOL ok =
        FaultyBool<TFileCall::Close>(file, [](const TFileApi& api) { return api.CloseHandle; });
    if (ok)
        ActiveFaults->Closed();
    return ok;
}

BOOL WINAPI FaultyDelete(LPCSTR fileName) {
    return FaultyBool<TFileCall::Delete>(fileName,
                                         [](const TFileApi& api) { return api.DeleteFileA; });
}

const TFileApi FaultyApi = {
    FaultyCreate, FaultyRead,  FaultyWrite, FaultySetPointer, FaultyGetSize,
    FaultySetEnd, FaultyFlush, FaultyClose, FaultyDelete,
};

const std::vector<DWORD> NoRequests;

size_t Index(TFileCall call) noexcept {
    return static_cast<size_t>(call);
}

} // namespace

// ---- The table in use ------------------------------------------------------------------

const TFileApi& FileApi() noexcept {
    return *CurrentApi;
}
const TFileApi& SystemFileApi() noexcept {
    return SystemApi;
}

TFileApiScope::TFileApiScope(const TFileApi& api) noexcept : Previous(CurrentApi) {
    CurrentApi = &api;
}

TFileApiScope::~TFileApiScope() {
    CurrentApi = Previous;
}

// ---- TFileFaults -----------------------------------------------------------------------

TFileFaults::TFileFaults() noexcept
    : Below(CurrentApi), PreviousFaults(ActiveFaults), Scope(FaultyApi) {
    ActiveFaults = this;
}

TFileFaults::~TFileFaults() {
    ActiveFaults = PreviousFaults;
}

void TFileFaults::Fail(TFileCall call, DWORD error, int32_t skip, int32_t times) {
    Faults[Index(call)] = TFault{true, false, error, 0, skip, times};
}

void TFileFaults::Short(TFileCall call, DWORD limit, DWORD error, int32_t skip, int32_t times) {
    Faults[Index(call)] = TFault{true, true, error, limit, skip, times};
}

void TFileFaults::Clear() noexcept {
    for (TFault& fault : Faults)
        fault = TFault{};
}

int32_t TFileFaults::Calls(TFileCall call) const noexcept {
    return CallCounts[Index(call)];
}

const std::vector<DWORD>& TFileFaults::Requests(TFileCall call) const noexcept {
    if (call == TFileCall::Read)
        return ReadRequests;
    if (call == TFileCall::Write)
        return WriteRequests;
    return NoRequests;
}

const TFileFaults::TFault* TFileFaults::Strike(TFileCall call, DWORD bytes) noexcept {
    ++CallCounts[Index(call)];
    try {
        if (call == TFileCall::Read)
            ReadRequests.push_back(bytes);
        else if (call == TFileCall::Write)
            WriteRequests.push_back(bytes);
    } catch (...) {
        // The record is a test aid; running out of memory for it must not change the call.
    }
    TFault& fault = Faults[Index(call)];
    if (!fault.Armed)
        return nullptr;
    if (fault.Skip > 0) {
        --fault.Skip;
        return nullptr;
    }
    if (fault.Times == 0)
        return nullptr;
    if (fault.Times > 0 && --fault.Times == 0)
        fault.Armed = false;
    return &fault;
}

} // namespace vt
