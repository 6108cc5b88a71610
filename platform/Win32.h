/* The Win32 functions the library calls, and nothing more. The Windows build takes them from
   the system; the Linux build provides substitutes written on POSIX (platform/linux/).
   Usable from C and C++. */
#pragma once

#include <stdint.h>

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#else // the Linux substitutes

#define WINAPI
#define VT_PLATFORM_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef uint32_t LCID;
typedef void* HANDLE;
typedef void* HWND;
typedef void* HGDIOBJ;
typedef HGDIOBJ HPALETTE;
typedef void* HMODULE;
typedef void (*FARPROC)(void);
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;

#define TRUE 1
#define FALSE 0

// user32: message boxes
#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_YESNOCANCEL 0x00000003u
#define MB_YESNO 0x00000004u
#define MB_ICONERROR 0x00000010u
#define MB_ICONQUESTION 0x00000020u
#define MB_ICONINFORMATION 0x00000040u
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7

// kernel32: files
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define GENERIC_ALL 0x10000000u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000u

// kernel32: error codes the substitutes report (the Win32 numbers)
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_HANDLE_DISK_FULL 39u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_DISK_FULL 112u
#define ERROR_NEGATIVE_SEEK 131u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_WRITE_PROTECT 19u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_BUSY 170u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_FILE_TOO_LARGE 223u
#define ERROR_MR_MID_NOT_FOUND 317u
#define ERROR_NOACCESS 998u
#define ERROR_IO_DEVICE 1117u
#define ERROR_CANT_RESOLVE_FILENAME 1921u
// Errors of the C library that have no Win32 number travel as application-defined codes
// (bit 29 set) holding errno; FormatMessageA gives the C library's text for them.
#define VT_ERRNO_ERROR_FLAG 0x20000000u
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_FROM_STRING 0x00000400u
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800u

// kernel32: string comparison
#define LOCALE_USER_DEFAULT 0x0400u
#define NORM_IGNORECASE 0x00000001u
#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3

// gdi32: palettes
#define PC_RESERVED 0x01
typedef struct tagPALETTEENTRY {
    BYTE peRed;
    BYTE peGreen;
    BYTE peBlue;
    BYTE peFlags;
} PALETTEENTRY;
typedef struct tagLOGPALETTE {
    WORD palVersion;
    WORD palNumEntries;
    PALETTEENTRY palPalEntry[1];
} LOGPALETTE;

// user32 (served by the user32 substitute library, libvtuser32.so)
VT_PLATFORM_API int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// kernel32
VT_PLATFORM_API HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                   void* securityAttributes, DWORD creationDisposition,
                                   DWORD flagsAndAttributes, HANDLE templateFile);
VT_PLATFORM_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                              void* overlapped);
VT_PLATFORM_API BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                               void* overlapped);
VT_PLATFORM_API DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh,
                                     DWORD moveMethod);
VT_PLATFORM_API DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
VT_PLATFORM_API BOOL SetEndOfFile(HANDLE file);
VT_PLATFORM_API BOOL FlushFileBuffers(HANDLE file);
VT_PLATFORM_API BOOL CloseHandle(HANDLE object);
VT_PLATFORM_API BOOL DeleteFileA(LPCSTR fileName);
VT_PLATFORM_API DWORD GetLastError(void);
VT_PLATFORM_API void SetLastError(DWORD error);
VT_PLATFORM_API DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                                     LPSTR buffer, DWORD size, void* arguments);
VT_PLATFORM_API int CompareStringA(LCID locale, DWORD flags, LPCSTR string1, int count1,
                                   LPCSTR string2, int count2);

// kernel32: modules (dlopen underneath; the name is a path, as LoadLibraryA takes it)
VT_PLATFORM_API HMODULE LoadLibraryA(LPCSTR fileName);
VT_PLATFORM_API FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
VT_PLATFORM_API BOOL FreeLibrary(HMODULE module);

// gdi32
VT_PLATFORM_API HPALETTE CreatePalette(const LOGPALETTE* palette);
VT_PLATFORM_API UINT GetPaletteEntries(HPALETTE palette, UINT start, UINT count,
                                       PALETTEENTRY* entries);
VT_PLATFORM_API BOOL DeleteObject(HGDIOBJ object);

// Linux only, from the user32 substitute library: lets a host answer the plug-in's message
// boxes itself. The handler gets the arguments of MessageBoxA and returns the button (IDOK,
// IDYES, IDNO, IDCANCEL). A null handler restores the console dialog, which asks on the
// controlling terminal and, without one, answers IDCANCEL to a question and IDOK to a notice.
typedef int (*TMessageBoxHandler)(void* context, HWND owner, LPCSTR text, LPCSTR caption,
                                  UINT type);
VT_PLATFORM_API void VtSetMessageBoxHandler(TMessageBoxHandler handler, void* context);

#ifdef __cplusplus
}
#endif

#endif // _WIN32
