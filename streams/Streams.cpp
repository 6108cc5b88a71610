// The stream family: base operations, filters, stack release and the file stream.
#include "streams/Streams.h"

#include "platform/FileApi.h"

#include <climits>
#include <exception>

namespace vt {

std::string GetLastErrorText() {
    const DWORD code = GetLastError();
    char buffer[256];
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                            FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                        nullptr, code, 0, buffer, sizeof buffer, nullptr);
    if (length == 0 || length >= sizeof buffer)
        return Format("System error %d", {static_cast<long long>(code)});
    std::string text(buffer, length);
    while (!text.empty() && (static_cast<unsigned char>(text.back()) < '!' || text.back() == '.'))
        text.pop_back();
    return text;
}

namespace {

// A byte count from a caller goes to the system as an unsigned number; a negative one would
// become a huge request.
void CheckCount(int32_t count) {
    if (count < 0)
        throw EInOutError(Format(SInvalidByteCount, {count}));
}

} // namespace

// ---- TBaseStream -----------------------------------------------------------------------

void TBaseStream::SetStrict(bool Value) {
    Strict = Value;
}

bool TBaseStream::Eof() {
    return BytesLeft() == 0;
}

void TBaseStream::Flush() {}

void TBaseStream::CopyFrom(TBaseStream* Source) {
    // The last chunk is usually short; the source must not raise for it.
    const bool wasStrict = Source->Strict;
    if (wasStrict)
        Source->SetStrict(false);
    try {
        uint8_t chunk[4096];
        while (!Source->Eof()) {
            const int32_t read = Source->Read(chunk, sizeof chunk);
            // A source positioned past its end never reaches Eof; nothing more will come.
            if (read <= 0)
                break;
            Write(chunk, read);
        }
    } catch (...) {
        if (wasStrict) {
            try {
                Source->SetStrict(true);
            } catch (...) {
                // The copy's own error is the one to report.
            }
        }
        throw;
    }
    if (wasStrict)
        Source->SetStrict(true);
}

// ---- TFilterStream ---------------------------------------------------------------------

void TFilterStream::SetStrict(bool Value) {
    Strict = Value;
    Source->SetStrict(Value);
}

int32_t TFilterStream::Write(const void* Buffer, int32_t Count) {
    return Source->Write(Buffer, Count);
}

int32_t TFilterStream::Read(void* Buffer, int32_t Count) {
    return Source->Read(Buffer, Count);
}

int32_t TFilterStream::BytesLeft() {
    return Source->BytesLeft();
}

void TFilterStream::FlushBeforeRelease() {
    Flush();
}

void FreeChain(TBaseStream* Stream) {
    // First every filter hands its waiting data down, while the whole stack is alive; an
    // error is kept until everything is released.
    std::exception_ptr error;
    for (TBaseStream* layer = Stream; layer != nullptr;) {
        auto* filter = dynamic_cast<TFilterStream*>(layer);
        if (filter == nullptr)
            break;
        try {
            filter->FlushBeforeRelease();
        } catch (...) {
            if (!error)
                error = std::current_exception();
        }
        layer = filter->Source;
    }
    while (Stream != nullptr) {
        auto* filter = dynamic_cast<TFilterStream*>(Stream);
        TBaseStream* below = filter != nullptr ? filter->Source : nullptr;
        delete Stream;
        Stream = below;
    }
    if (error)
        std::rethrow_exception(error);
}

// ---- TFileStream -----------------------------------------------------------------------

TFileStream::TFileStream(const std::string& fileName, TStreamMode mode) : FileName(fileName) {
    DWORD access = 0;
    if ((mode & smRead) != 0)
        access |= GENERIC_READ;
    if ((mode & smWrite) != 0)
        access |= GENERIC_WRITE;
    if (access == 0)
        throw EInOutError(SNoAccessMode);
    CanRead = (mode & smRead) != 0;
    CanWrite = (mode & smWrite) != 0;
    DWORD share = 0;
    if ((mode & smShareRead) != 0)
        share |= FILE_SHARE_READ;
    if ((mode & smShareWrite) != 0)
        share |= FILE_SHARE_WRITE;
    const DWORD creation = (mode & smCreate) != 0 ? CREATE_ALWAYS : OPEN_EXISTING;
    Handle = FileApi().CreateFileA(FileName.c_str(), access, share, nullptr, creation,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (Handle == INVALID_HANDLE_VALUE)
        throw EInOutError(Format(SErrorOpening, {FileName, GetLastErrorText()}));
}

TFileStream::~TFileStream() {
    if (Handle != INVALID_HANDLE_VALUE)
        FileApi().CloseHandle(Handle);
}

int32_t TFileStream::Read(void* Buffer, int32_t Count) {
    CheckCount(Count);
    DWORD read = 0;
    if (!FileApi().ReadFile(Handle, Buffer, static_cast<DWORD>(Count), &read, nullptr))
        throw EInOutError(Format(SErrorReading, {GetLastErrorText()}));
    if (Strict && read != static_cast<DWORD>(Count))
        throw EInOutError(SReadLessThanExpected);
    return static_cast<int32_t>(read);
}

int32_t TFileStream::Write(const void* Buffer, int32_t Count) {
    CheckCount(Count);
    DWORD written = 0;
    if (!FileApi().WriteFile(Handle, Buffer, static_cast<DWORD>(Count), &written, nullptr))
        throw EInOutError(Format(SErrorWriting, {GetLastErrorText()}));
    if (Strict && written != static_cast<DWORD>(Count))
        throw EInOutError(SReadLessThanExpected);
    return static_cast<int32_t>(written);
}

int32_t TFileStream::BytesLeft() {
    const int32_t size = GetSize();
    return size - GetPosition();
}

void TFileStream::Flush() {
    FileApi().FlushFileBuffers(Handle);
}

int32_t TFileStream::GetPosition() {
    // The high part is asked for so that a position beyond 4 GiB cannot pass for a small one.
    LONG high = 0;
    SetLastError(ERROR_SUCCESS);
    const DWORD low = FileApi().SetFilePointer(Handle, 0, &high, FILE_CURRENT);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS)
        throw EInOutError(Format(SIOError, {GetLastErrorText()}));
    if (high != 0 || low > static_cast<DWORD>(INT32_MAX))
        throw EInOutError(Format(SFileTooLarge, {FileName}));
    return static_cast<int32_t>(low);
}

int32_t TFileStream::GetSize() {
    DWORD high = 0;
    SetLastError(ERROR_SUCCESS);
    const DWORD low = FileApi().GetFileSize(Handle, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS)
        throw EInOutError(Format(SIOError, {GetLastErrorText()}));
    if (high != 0 || low > static_cast<DWORD>(INT32_MAX))
        throw EInOutError(Format(SFileTooLarge, {FileName}));
    return static_cast<int32_t>(low);
}

void TFileStream::SetPosition(int32_t Pos) {
    if (FileApi().SetFilePointer(Handle, Pos, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        throw EInOutError(Format(SErrorMovingPointer, {GetLastErrorText()}));
}

void TFileStream::Truncate() {
    if (!FileApi().SetEndOfFile(Handle))
        throw EInOutError(Format(SErrorTruncating, {FileName, GetLastErrorText()}));
}

void TFileStream::Delete() {
    if (!FileApi().CloseHandle(Handle))
        throw EInOutError(Format(SErrorClosing, {FileName, GetLastErrorText()}));
    Handle = INVALID_HANDLE_VALUE;
    if (!FileApi().DeleteFileA(FileName.c_str()))
        throw EInOutError(Format(SErrorDeleting, {FileName, GetLastErrorText()}));
    delete this;
}

} // namespace vt
