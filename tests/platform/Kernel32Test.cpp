// The kernel32 file functions as the stream classes use them. The same expectations run
// against the Linux substitutes and, in the Windows build, against the system itself, which
// keeps the substitutes honest.
#include "../streams/StreamTestSupport.h"

#include "platform/Win32.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

using namespace vt::test;

namespace {

class Kernel32Test : public testing::Test {
protected:
    TTempDir Dir;
    std::string Name = Dir.Path("k32.bin");

    HANDLE Open(DWORD access, DWORD share, DWORD creation, const std::string& name = {}) {
        return CreateFileA((name.empty() ? Name : name).c_str(), access, share, nullptr, creation,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    // Expects the open to fail with Error.
    void ExpectOpenFails(DWORD access, DWORD share, DWORD creation, DWORD error,
                         const std::string& name = {}) {
        SetLastError(ERROR_SUCCESS);
        HANDLE handle = Open(access, share, creation, name);
        EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), error);
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
};

constexpr DWORD RW = GENERIC_READ | GENERIC_WRITE;

} // namespace

TEST_F(Kernel32Test, CreationDispositionsAndTheirErrors) {
    ExpectOpenFails(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND);
    ExpectOpenFails(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND,
                    Dir.Path("missing-dir/file.bin"));
    ExpectOpenFails(GENERIC_READ, FILE_SHARE_READ, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND,
                    Dir.Path("missing-dir/file.bin"));

    HANDLE handle = Open(RW, 0, CREATE_NEW);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD moved = 0;
    ASSERT_TRUE(WriteFile(handle, "0123456789", 10, &moved, nullptr));
    EXPECT_EQ(moved, 10u);
    EXPECT_TRUE(CloseHandle(handle));
    ExpectOpenFails(RW, 0, CREATE_NEW, ERROR_FILE_EXISTS);

    // An "always" disposition says whether it found the file.
    handle = Open(RW, 0, OPEN_ALWAYS);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(handle, nullptr), 10u);
    EXPECT_TRUE(CloseHandle(handle));
    handle = Open(RW, 0, CREATE_ALWAYS);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(handle, nullptr), 0u);
    EXPECT_TRUE(CloseHandle(handle));
    handle = Open(RW, 0, OPEN_ALWAYS, Dir.Path("new.bin"));
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_TRUE(CloseHandle(handle));

    // A directory is not a file.
    ExpectOpenFails(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED,
                    Dir.Path(""));
}

TEST_F(Kernel32Test, HandlesDoOnlyWhatTheirAccessAllows) {
    WriteFileBytes(Name, Pattern(10));
    HANDLE reader = Open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    DWORD moved = 99;
    char buffer[16];
    EXPECT_FALSE(WriteFile(reader, buffer, 1, &moved, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(moved, 0u);
    EXPECT_FALSE(SetEndOfFile(reader));
    // Windows says access denied; Wine passes on the invalid argument of its ftruncate.
    const DWORD truncateError = GetLastError();
    EXPECT_TRUE(truncateError == ERROR_ACCESS_DENIED || truncateError == ERROR_INVALID_PARAMETER)
        << truncateError;

    HANDLE writer = Open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ReadFile(writer, buffer, 1, &moved, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(WriteFile(writer, "abc", 3, &moved, nullptr));
    EXPECT_TRUE(FlushFileBuffers(writer));

    EXPECT_TRUE(ReadFile(reader, buffer, 16, &moved, nullptr));
    EXPECT_EQ(moved, 10u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_TRUE(CloseHandle(reader));
    EXPECT_TRUE(CloseHandle(writer));

    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReadFile(nullptr, buffer, 1, &moved, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Kernel32Test, FilePointerMovesAnywhereButBeforeTheStart) {
    WriteFileBytes(Name, Pattern(10));
    HANDLE handle = Open(RW, 0, OPEN_EXISTING);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetFilePointer(handle, 4, nullptr, FILE_BEGIN), 4u);
    EXPECT_EQ(SetFilePointer(handle, 3, nullptr, FILE_CURRENT), 7u);
    EXPECT_EQ(SetFilePointer(handle, -2, nullptr, FILE_END), 8u);
    EXPECT_EQ(SetFilePointer(handle, -9, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(handle, 0, nullptr, FILE_CURRENT), 8u);

    // Past the end: reads give nothing, a write fills the gap with zeros.
    EXPECT_EQ(SetFilePointer(handle, 20, nullptr, FILE_BEGIN), 20u);
    DWORD moved = 99;
    char buffer[4];
    EXPECT_TRUE(ReadFile(handle, buffer, 4, &moved, nullptr));
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(GetFileSize(handle, nullptr), 10u);
    EXPECT_TRUE(WriteFile(handle, "z", 1, &moved, nullptr));
    EXPECT_EQ(GetFileSize(handle, nullptr), 21u);

    // With a high part the distance is 64-bit.
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(handle, 5, &high, FILE_BEGIN), 5u);
    EXPECT_EQ(high, 0);
    EXPECT_TRUE(SetEndOfFile(handle));
    DWORD sizeHigh = 7;
    EXPECT_EQ(GetFileSize(handle, &sizeHigh), 5u);
    EXPECT_EQ(sizeHigh, 0u);
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_EQ(ReadFileBytes(Name), Pattern(5));
}

// Each open must share what the others do, and the others must share what it does.
TEST_F(Kernel32Test, ShareModesRefuseConflictingOpens) {
    WriteFileBytes(Name, Pattern(10));
    struct TCase {
        DWORD FirstAccess, FirstShare, SecondAccess, SecondShare;
        bool Allowed;
    };
    const TCase cases[] = {
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, true},
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, FILE_SHARE_READ, false},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE, FILE_SHARE_READ, true},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_READ, FILE_SHARE_WRITE, false},
        {RW, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ, false},
        {RW, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        {RW, FILE_SHARE_READ | FILE_SHARE_WRITE, RW, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        {GENERIC_WRITE, 0, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.FirstAccess << "/" << c.FirstShare
                                        << " then " << c.SecondAccess << "/" << c.SecondShare);
        HANDLE first = Open(c.FirstAccess, c.FirstShare, OPEN_EXISTING);
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        if (c.Allowed) {
            HANDLE second = Open(c.SecondAccess, c.SecondShare, OPEN_EXISTING);
            EXPECT_NE(second, INVALID_HANDLE_VALUE);
            if (second != INVALID_HANDLE_VALUE)
                CloseHandle(second);
        } else {
            ExpectOpenFails(c.SecondAccess, c.SecondShare, OPEN_EXISTING, ERROR_SHARING_VIOLATION);
        }
        EXPECT_TRUE(CloseHandle(first));
    }

    // Replacing a file that a reader holds without sharing writes leaves its contents alone.
    HANDLE reader = Open(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ExpectOpenFails(RW, FILE_SHARE_READ, CREATE_ALWAYS, ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(CloseHandle(reader));
    EXPECT_EQ(ReadFileBytes(Name), Pattern(10));
}

TEST_F(Kernel32Test, DeleteFileRespectsOpenHandles) {
    WriteFileBytes(Name, Pattern(10));
    HANDLE handle = Open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeleteFileA(Name.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(FileExists(Name));
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_TRUE(DeleteFileA(Name.c_str()));
    EXPECT_FALSE(FileExists(Name));

    EXPECT_FALSE(DeleteFileA(Name.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileA(Dir.Path("missing-dir/file.bin").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(FormatMessage, SystemTextsForKnownNumbersOnly) {
    const DWORD flags =
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY;
    char buffer[256];
    const DWORD codes[] = {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,    ERROR_ACCESS_DENIED,
                           ERROR_INVALID_HANDLE, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL,
                           ERROR_NEGATIVE_SEEK,  ERROR_FILE_EXISTS};
    for (DWORD code : codes) {
        const DWORD length =
            FormatMessageA(flags, nullptr, code, 0, buffer, sizeof buffer, nullptr);
        EXPECT_GT(length, 0u) << code;
        EXPECT_EQ(std::string(buffer).size(), length) << code;
    }
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(FormatMessageA(flags, nullptr, 0x0ABCDEF0u, 0, buffer, sizeof buffer, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
}

#if !defined(_WIN32)
// On Linux an errno without a Win32 number keeps its own number and text.
TEST(FormatMessage, CarriesErrnoTextsForOtherErrors) {
    char buffer[256];
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, VT_ERRNO_ERROR_FLAG | EXDEV, 0, buffer,
                       sizeof buffer, nullptr);
    EXPECT_GT(length, 0u);
    char tiny[4];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_SHARING_VIOLATION, 0, tiny,
                             sizeof tiny, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}
#endif
