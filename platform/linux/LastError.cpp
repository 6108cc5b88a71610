// kernel32's per-thread last-error value for the Linux substitutes.
#include "platform/Win32.h"

namespace {
thread_local DWORD LastError = ERROR_SUCCESS;
}

VT_PLATFORM_API DWORD GetLastError(void) {
    return LastError;
}

VT_PLATFORM_API void SetLastError(DWORD error) {
    LastError = error;
}
