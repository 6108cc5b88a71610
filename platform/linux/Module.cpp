// kernel32 module loading for Linux, over dlopen. Errors are reported through GetLastError
// with ERROR_FILE_NOT_FOUND and the loader's text kept for FormatMessageA.
#include "platform/Win32.h"

#include <dlfcn.h>

VT_PLATFORM_API HMODULE LoadLibraryA(LPCSTR fileName) {
    if (fileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* module = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr)
        SetLastError(ERROR_FILE_NOT_FOUND);
    return module;
}

VT_PLATFORM_API FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
    void* symbol = module != nullptr ? dlsym(module, procName) : nullptr;
    if (symbol == nullptr) {
        SetLastError(127); // ERROR_PROC_NOT_FOUND
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

VT_PLATFORM_API BOOL FreeLibrary(HMODULE module) {
    if (module == nullptr || dlclose(module) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
