// kernel32's file functions and FormatMessageA for Linux, over POSIX file descriptors.
//
// Error numbers: every failure sets the thread's last error to the Win32 number that Windows
// reports for the same condition (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_DISK_FULL,
// ...), mapped once here from errno. An errno without a Win32 counterpart travels as an
// application-defined code, VT_ERRNO_ERROR_FLAG | errno. FormatMessageA has a text for every
// number this file reports and gives the C library's text for the application-defined ones,
// each ending as the system's own texts end, in a full stop and CR LF, which callers trim.
//
// Share modes: every open handle is registered with its file's device and inode, its access and
// its share mode, and an open or delete that Windows would refuse because of another handle's
// share mode fails with ERROR_SHARING_VIOLATION. This holds between the handles of this process
// only: POSIX has no mandatory share modes (its locks are advisory), so other processes are not
// held back and do not hold this one back. DeleteFileA of a file that some handle of this
// process holds open without FILE_SHARE_DELETE fails with ERROR_SHARING_VIOLATION, as on
// Windows; otherwise the name is removed at once (Windows would keep it until the last handle
// closes). A file's own permission bits do not keep it from being deleted; its directory's do.
//
// Handles are registered objects: a handle that is not open (already closed, null or made up)
// is refused with ERROR_INVALID_HANDLE instead of touching memory. Directories, pipes and
// sockets cannot be opened (ERROR_ACCESS_DENIED). Access bits other than GENERIC_READ,
// GENERIC_WRITE and GENERIC_ALL are ignored; overlapped I/O is not supported.
#include "platform/Win32.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// strerror_r comes in two forms: the GNU one returns the text, the POSIX one (other C
// libraries) fills the buffer and returns 0.
[[maybe_unused]] const char* ErrnoText(const char* text, const char*) {
    return text;
}
[[maybe_unused]] const char* ErrnoText(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}

// One open handle.
struct TFile {
    int Fd;        // the descriptor the handle stands for
    dev_t Device;  // with Inode: which file it is, for the share-mode checks
    ino_t Inode;   //
    bool CanRead;  // opened with GENERIC_READ (or GENERIC_ALL)
    bool CanWrite; // opened with GENERIC_WRITE (or GENERIC_ALL)
    bool Regular;  // a regular file: reads and writes loop until the count is moved
    DWORD Share;   // FILE_SHARE_* flags granted to other opens
};

std::mutex RegistryLock;
std::vector<TFile*> OpenFiles; // every open handle; few, so a list is enough

// ---- Error numbers ---------------------------------------------------------------------

// The Win32 number for a missing path: Windows tells a missing file from a missing directory
// on the way to it.
DWORD MissingPathError(const char* path) {
    if (path == nullptr)
        return ERROR_FILE_NOT_FOUND;
    std::string parent(path);
    const size_t slash = parent.find_last_of('/');
    if (slash == std::string::npos)
        return ERROR_FILE_NOT_FOUND;
    parent.resize(slash == 0 ? 1 : slash);
    struct stat info {};
    if (stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

DWORD ErrorFromErrno(int error, const char* path = nullptr) {
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return MissingPathError(path);
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case ELOOP:
        return ERROR_CANT_RESOLVE_FILENAME;
    case EBUSY:
    case ETXTBSY:
        return ERROR_BUSY;
    case EIO:
        return ERROR_IO_DEVICE;
    case EFAULT:
        return ERROR_NOACCESS;
    default:
        return VT_ERRNO_ERROR_FLAG | static_cast<DWORD>(error);
    }
}

// Records errno as the thread's last error; returns the given failure value for brevity.
template <typename T> T FailWithErrno(T result, const char* path = nullptr) {
    SetLastError(ErrorFromErrno(errno, path));
    return result;
}

template <typename T> T Fail(T result, DWORD error) {
    SetLastError(error);
    return result;
}

// ---- The handle registry ---------------------------------------------------------------

// Copies the registered state of Handle into File; false when it is not an open handle.
bool Lookup(HANDLE handle, TFile& file) {
    std::lock_guard<std::mutex> guard(RegistryLock);
    auto found = std::find(OpenFiles.begin(), OpenFiles.end(), static_cast<TFile*>(handle));
    if (handle == nullptr || found == OpenFiles.end())
        return false;
    file = **found;
    return true;
}

// Whether a new access to the file Device/Inode is refused by a handle already open on it:
// each side must share what the other one does. Handles without read or write access (query
// only) do not take part, as on Windows.
bool SharingConflict(dev_t device, ino_t inode, bool read, bool write, bool remove, DWORD share) {
    for (const TFile* open : OpenFiles) {
        if (open->Device != device || open->Inode != inode)
            continue;
        if ((read && (open->Share & FILE_SHARE_READ) == 0) ||
            (write && (open->Share & FILE_SHARE_WRITE) == 0) ||
            (remove && (open->Share & FILE_SHARE_DELETE) == 0))
            return true;
        if ((open->CanRead && (share & FILE_SHARE_READ) == 0) ||
            (open->CanWrite && (share & FILE_SHARE_WRITE) == 0))
            return true;
    }
    return false;
}

// Opens Path with Flags, telling whether the file existed before. With Create the file is
// created when missing; a file that appears or vanishes in between is retried.
int OpenPath(const char* path, int flags, bool create, bool& existed) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = open(path, flags);
        if (fd >= 0 || !create || errno != ENOENT) {
            existed = true;
            return fd;
        }
        fd = open(path, flags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0 || errno != EEXIST) {
            existed = false;
            return fd;
        }
    }
    errno = EBUSY;
    return -1;
}

// Moves Count bytes; for a regular file it loops until all are moved, the end of the file is
// reached or an error stops it (Done then holds what was moved).
template <typename TBuffer, typename TTransfer>
bool Transfer(const TFile& file, TBuffer buffer, DWORD count, DWORD& done, TTransfer transfer) {
    done = 0;
    while (done < count) {
        const size_t chunk = std::min<size_t>(count - done, size_t{1} << 30);
        const ssize_t moved = transfer(file.Fd, buffer + done, chunk);
        if (moved < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (moved == 0)
            break;
        done += static_cast<DWORD>(moved);
        if (!file.Regular)
            break;
    }
    return true;
}

// ---- Message texts ---------------------------------------------------------------------

struct TMessage {
    DWORD Code;
    const char* Text;
};

constexpr TMessage Messages[] = {
    {ERROR_SUCCESS, "No error"},
    {ERROR_FILE_NOT_FOUND, "No such file or directory"},
    {ERROR_PATH_NOT_FOUND, "A directory on the path does not exist"},
    {ERROR_TOO_MANY_OPEN_FILES, "Too many open files"},
    {ERROR_ACCESS_DENIED, "Permission denied"},
    {ERROR_INVALID_HANDLE, "The handle is not open"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory"},
    {ERROR_WRITE_PROTECT, "The file system is read-only"},
    {ERROR_SHARING_VIOLATION, "The file is open elsewhere in this process, and the sharing mode "
                              "of the open handle does not allow this access"},
    {ERROR_HANDLE_DISK_FULL, "No space left on device"},
    {ERROR_FILE_EXISTS, "The file exists"},
    {ERROR_INVALID_PARAMETER, "Invalid argument"},
    {ERROR_DISK_FULL, "No space left on device"},
    {ERROR_INSUFFICIENT_BUFFER, "The buffer is too small for the data"},
    {ERROR_PROC_NOT_FOUND, "The module has no such procedure"},
    {ERROR_NEGATIVE_SEEK, "The file pointer cannot be moved before the start of the file"},
    {ERROR_BUSY, "Device or resource busy"},
    {ERROR_ALREADY_EXISTS, "The file already exists"},
    {ERROR_FILENAME_EXCED_RANGE, "The file name is too long"},
    {ERROR_FILE_TOO_LARGE, "The file is too large"},
    {ERROR_MR_MID_NOT_FOUND, "There is no message text for the error number"},
    {ERROR_NOACCESS, "Bad address"},
    {ERROR_IO_DEVICE, "Input/output error"},
    {ERROR_CANT_RESOLVE_FILENAME, "Too many levels of symbolic links"},
};

} // namespace

// ---- kernel32 --------------------------------------------------------------------------

VT_PLATFORM_API HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                   void* /*securityAttributes*/, DWORD creationDisposition,
                                   DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
    if (fileName == nullptr)
        return Fail(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    if (*fileName == 0)
        return Fail(INVALID_HANDLE_VALUE, ERROR_PATH_NOT_FOUND);
    const bool read = (desiredAccess & (GENERIC_READ | GENERIC_ALL)) != 0;
    const bool write = (desiredAccess & (GENERIC_WRITE | GENERIC_ALL)) != 0;

    bool create = false, truncate = false;
    int extra = 0;
    switch (creationDisposition) {
    case CREATE_NEW:
        extra = O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
        create = truncate = true;
        break;
    case OPEN_EXISTING:
        break;
    case OPEN_ALWAYS:
        create = true;
        break;
    case TRUNCATE_EXISTING:
        if (!write)
            return Fail(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
        truncate = true;
        break;
    default:
        return Fail(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    }

    // The descriptor may carry more rights than the handle (a read-only handle that replaces
    // the file needs to truncate it); ReadFile and WriteFile check the handle's own access.
    // Non-blocking only while opening, so that a pipe cannot hang the open.
    const bool fdWrite = write || truncate;
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | extra;
    if (!read && !fdWrite && creationDisposition == OPEN_EXISTING)
        flags = O_CLOEXEC | O_PATH; // a query-only handle needs no right to the contents
    else
        flags |= read && fdWrite ? O_RDWR : fdWrite ? O_WRONLY : O_RDONLY;

    bool existed = true;
    const int fd = (flags & O_CREAT) != 0 ? open(fileName, flags, 0666)
                                          : OpenPath(fileName, flags, create, existed);
    if (fd < 0) {
        if (errno == EEXIST)
            return Fail(INVALID_HANDLE_VALUE, ERROR_FILE_EXISTS);
        return FailWithErrno(INVALID_HANDLE_VALUE, fileName);
    }
    if ((flags & O_CREAT) != 0)
        existed = false;

    struct stat info {};
    if (fstat(fd, &info) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return FailWithErrno(INVALID_HANDLE_VALUE);
    }
    if (!S_ISREG(info.st_mode) && !S_ISCHR(info.st_mode)) {
        close(fd);
        return Fail(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    }
    if ((flags & O_PATH) == 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    auto* file =
        new TFile{fd, info.st_dev, info.st_ino, read, write, S_ISREG(info.st_mode) != 0, shareMode};
    {
        std::lock_guard<std::mutex> guard(RegistryLock);
        // Replacing an existing file's contents counts as writing it.
        const bool replaces = truncate && existed;
        if (SharingConflict(info.st_dev, info.st_ino, read, write || replaces, false, shareMode)) {
            close(fd);
            delete file;
            return Fail(INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
        }
        if (replaces && S_ISREG(info.st_mode) && ftruncate(fd, 0) != 0) {
            const int error = errno;
            close(fd);
            delete file;
            errno = error;
            return FailWithErrno(INVALID_HANDLE_VALUE);
        }
        OpenFiles.push_back(file);
    }
    // Windows reports, on success, whether an "always" disposition found the file.
    SetLastError(
        existed && (creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS)
            ? ERROR_ALREADY_EXISTS
            : ERROR_SUCCESS);
    return file;
}

VT_PLATFORM_API BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read,
                              void* overlapped) {
    TFile file{};
    if (!Lookup(handle, file))
        return Fail(FALSE, ERROR_INVALID_HANDLE);
    if (read == nullptr || overlapped != nullptr)
        return Fail(FALSE, ERROR_INVALID_PARAMETER);
    *read = 0;
    if (!file.CanRead)
        return Fail(FALSE, ERROR_ACCESS_DENIED);
    if (buffer == nullptr && toRead > 0)
        return Fail(FALSE, ERROR_NOACCESS);
    if (!Transfer(file, static_cast<char*>(buffer), toRead, *read, ::read))
        return FailWithErrno(FALSE);
    return TRUE;
}

VT_PLATFORM_API BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                               void* overlapped) {
    TFile file{};
    if (!Lookup(handle, file))
        return Fail(FALSE, ERROR_INVALID_HANDLE);
    if (written == nullptr || overlapped != nullptr)
        return Fail(FALSE, ERROR_INVALID_PARAMETER);
    *written = 0;
    if (!file.CanWrite)
        return Fail(FALSE, ERROR_ACCESS_DENIED);
    if (buffer == nullptr && toWrite > 0)
        return Fail(FALSE, ERROR_NOACCESS);
    if (!Transfer(file, static_cast<const char*>(buffer), toWrite, *written, ::write))
        return FailWithErrno(FALSE);
    // A regular file that takes nothing more has no room left (write reports no error then).
    if (*written < toWrite && file.Regular)
        return Fail(FALSE, ERROR_DISK_FULL);
    return TRUE;
}

VT_PLATFORM_API DWORD SetFilePointer(HANDLE handle, LONG distance, PLONG distanceHigh,
                                     DWORD moveMethod) {
    TFile file{};
    if (!Lookup(handle, file))
        return Fail(INVALID_SET_FILE_POINTER, ERROR_INVALID_HANDLE);
    // Without a high part the distance is a signed 32-bit number; with one, the two make a
    // signed 64-bit number.
    int64_t move = distance;
    if (distanceHigh != nullptr)
        move = static_cast<int64_t>(
            (static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
            static_cast<uint32_t>(distance));
    int64_t base = 0;
    if (moveMethod == FILE_CURRENT) {
        base = lseek(file.Fd, 0, SEEK_CUR);
    } else if (moveMethod == FILE_END) {
        struct stat info {};
        base = fstat(file.Fd, &info) == 0 ? info.st_size : -1;
    } else if (moveMethod != FILE_BEGIN) {
        return Fail(INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER);
    }
    if (base < 0)
        return FailWithErrno(INVALID_SET_FILE_POINTER);
    if (move > 0 && base > INT64_MAX - move)
        return Fail(INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER);
    const int64_t target = base + move;
    if (target < 0)
        return Fail(INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK);
    if (distanceHigh == nullptr && target >= int64_t{0xFFFFFFFF})
        return Fail(INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER);
    if (lseek(file.Fd, static_cast<off_t>(target), SEEK_SET) < 0)
        return FailWithErrno(INVALID_SET_FILE_POINTER);
    if (distanceHigh != nullptr)
        *distanceHigh = static_cast<LONG>(target >> 32);
    const auto low = static_cast<DWORD>(target & 0xFFFFFFFF);
    if (low == INVALID_SET_FILE_POINTER)
        SetLastError(ERROR_SUCCESS); // tells a valid low part from a failure
    return low;
}

VT_PLATFORM_API DWORD GetFileSize(HANDLE handle, LPDWORD sizeHigh) {
    TFile file{};
    if (!Lookup(handle, file))
        return Fail(INVALID_FILE_SIZE, ERROR_INVALID_HANDLE);
    struct stat info {};
    if (fstat(file.Fd, &info) != 0)
        return FailWithErrno(INVALID_FILE_SIZE);
    const auto size = static_cast<uint64_t>(info.st_size);
    // As on Windows, without a high part a size of 4 GiB and more comes back cut to its low
    // 32 bits; callers that may meet such files pass the high part.
    if (sizeHigh != nullptr)
        *sizeHigh = static_cast<DWORD>(size >> 32);
    const auto low = static_cast<DWORD>(size & 0xFFFFFFFF);
    if (low == INVALID_FILE_SIZE)
        SetLastError(ERROR_SUCCESS);
    return low;
}

VT_PLATFORM_API BOOL SetEndOfFile(HANDLE handle) {
    TFile file{};
    if (!Lookup(handle, file))
        return Fail(FALSE, ERROR_INVALID_HANDLE);
    if (!file.CanWrite)
        return Fail(FALSE, ERROR_ACCESS_DENIED);
    const off_t position = lseek(file.Fd, 0, SEEK_CUR);
    if (position < 0 || ftruncate(file.Fd, position) != 0)
        return FailWithErrno(FALSE);
    return TRUE;
}

VT_PLATFORM_API BOOL FlushFileBuffers(HANDLE handle) {
    TFile file{};
    if (!Lookup(handle, file))
        return Fail(FALSE, ERROR_INVALID_HANDLE);
    if (!file.CanWrite)
        return Fail(FALSE, ERROR_ACCESS_DENIED);
    if (file.Regular && fsync(file.Fd) != 0)
        return FailWithErrno(FALSE);
    return TRUE;
}

VT_PLATFORM_API BOOL CloseHandle(HANDLE handle) {
    TFile* file = nullptr;
    {
        std::lock_guard<std::mutex> guard(RegistryLock);
        auto found = std::find(OpenFiles.begin(), OpenFiles.end(), static_cast<TFile*>(handle));
        if (handle == nullptr || found == OpenFiles.end())
            return Fail(FALSE, ERROR_INVALID_HANDLE);
        file = *found;
        OpenFiles.erase(found);
    }
    // The descriptor is released even when close reports an error (no retry on Linux).
    const int result = close(file->Fd);
    delete file;
    if (result != 0 && errno != EINTR)
        return FailWithErrno(FALSE);
    return TRUE;
}

VT_PLATFORM_API BOOL DeleteFileA(LPCSTR fileName) {
    if (fileName == nullptr)
        return Fail(FALSE, ERROR_INVALID_PARAMETER);
    if (*fileName == 0)
        return Fail(FALSE, ERROR_PATH_NOT_FOUND);
    std::lock_guard<std::mutex> guard(RegistryLock);
    struct stat info {};
    if (lstat(fileName, &info) != 0)
        return FailWithErrno(FALSE, fileName);
    if (S_ISDIR(info.st_mode))
        return Fail(FALSE, ERROR_ACCESS_DENIED);
    // A symbolic link is removed itself; the file it names is not affected.
    if (!S_ISLNK(info.st_mode) &&
        SharingConflict(info.st_dev, info.st_ino, false, false, true,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE))
        return Fail(FALSE, ERROR_SHARING_VIOLATION);
    if (unlink(fileName) != 0)
        return FailWithErrno(FALSE, fileName);
    return TRUE;
}

VT_PLATFORM_API DWORD FormatMessageA(DWORD flags, LPCVOID /*source*/, DWORD messageId,
                                     DWORD /*languageId*/, LPSTR buffer, DWORD size,
                                     void* /*arguments*/) {
    // Only system messages into the caller's buffer; the texts have no inserts.
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 ||
        (flags & (FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_STRING)) != 0 ||
        buffer == nullptr)
        return Fail(DWORD{0}, ERROR_INVALID_PARAMETER);

    std::string text;
    if ((messageId & VT_ERRNO_ERROR_FLAG) != 0 && (messageId & ~VT_ERRNO_ERROR_FLAG) < 0x10000) {
        char scratch[256];
        text = ErrnoText(
            strerror_r(static_cast<int>(messageId & ~VT_ERRNO_ERROR_FLAG), scratch, sizeof scratch),
            scratch);
    } else {
        const auto* end = std::end(Messages);
        const auto* found = std::find_if(std::begin(Messages), end,
                                         [&](const TMessage& m) { return m.Code == messageId; });
        if (found == end)
            return Fail(DWORD{0}, ERROR_MR_MID_NOT_FOUND);
        text = found->Text;
    }
    text += ".\r\n";
    if (text.size() + 1 > size)
        return Fail(DWORD{0}, ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}
