// The library's byte streams: the abstract stream, the filter that stacks on another stream,
// the seekable stream and the stream over a Win32 file.
#pragma once

#include "platform/Win32.h"
#include "rtl/Object.h"
#include "rtl/SysUtils.h"

#include <cstdint>
#include <string>

namespace vt {

// The messages of file errors, raised as EInOutError.
inline constexpr const char* SNoAccessMode =
    "Either read, write or full access must be specified in call to CreateFile";
inline constexpr const char* SErrorOpening = "Error opening \"%s\" - %s";
inline constexpr const char* SErrorReading = "Error reading from stream - %s";
inline constexpr const char* SErrorWriting = "Error writing to stream - %s";
// Raised for a short read and, with the same text, for a short write of a strict stream.
inline constexpr const char* SReadLessThanExpected = "Read less than expected";
inline constexpr const char* SIOError = "IO-error: %s";
inline constexpr const char* SErrorMovingPointer = "Error moving file pointer - %s";
inline constexpr const char* SErrorTruncating = "Error truncating file \"%s\" - %s";
inline constexpr const char* SErrorClosing = "Error closing \"%s\" - %s";
inline constexpr const char* SErrorDeleting = "Error deleting \"%s\" - %s";
inline constexpr const char* SFileTooLarge =
    "Error in \"%s\" - positions and sizes of 2 GB and more are not supported";
inline constexpr const char* SInvalidByteCount = "Invalid byte count %d";

// The system's text for the calling thread's last Win32 error, without trailing blanks, line
// ends and full stops. Never raises for an unknown code: it then says "System error <n>".
std::string GetLastErrorText();

// Root of the stream family: sequential reads and writes of byte counts.
class TBaseStream : public TObject {
public:
    VT_CLASS_NAME(TBaseStream)

    // Sets Strict: while true, a transfer that moves fewer bytes than asked raises.
    virtual void SetStrict(bool Value);
    // Writes Count bytes from Buffer; returns the number written. Raises EInOutError on
    // failure, and "Read less than expected" for a short write while Strict.
    virtual int32_t Write(const void* Buffer, int32_t Count) = 0;
    // Reads up to Count bytes into Buffer; returns the number read. Raises EInOutError on
    // failure, and "Read less than expected" for a short read while Strict (the bytes read
    // are then in Buffer).
    virtual int32_t Read(void* Buffer, int32_t Count) = 0;
    // True when no bytes are left (BytesLeft = 0); the end-of-data test.
    virtual bool Eof();
    // Bytes between the position and the end; negative past the end.
    virtual int32_t BytesLeft() = 0;
    // Pushes written data on towards its destination; the base has nothing to do.
    virtual void Flush();
    // Copies everything left in Source into this stream in chunks of up to 4096 bytes; Source's
    // Strict flag is the same afterwards, also when an error passes. Raises what the two
    // streams raise.
    virtual void CopyFrom(TBaseStream* Source);

    bool CanWrite = false; // opened with write access (set by subclasses)
    bool CanRead = false;  // opened with read access (set by subclasses)
    bool Strict = true;    // short transfers raise
};

// A stream that forwards to another stream, its source, which it does not own. A stack of
// filters is released with FreeChain.
class TFilterStream : public TBaseStream {
public:
    VT_CLASS_NAME(TFilterStream)

    explicit TFilterStream(TBaseStream* source) : Source(source) {}

    // Sets this stream's flag and then the source's.
    void SetStrict(bool Value) override;
    int32_t Write(const void* Buffer, int32_t Count) override;
    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t BytesLeft() override;

    TBaseStream* Source; // the stream below; not owned

protected:
    // FreeChain calls this on every filter of a stack, from the top down, before anything is
    // destroyed, so that waiting data reaches the streams below while they are all alive. The
    // base calls Flush. An override that raises must let go of what it could not pass on, so
    // that its destructor does not try again.
    virtual void FlushBeforeRelease();

    friend void FreeChain(TBaseStream* Stream);
};

// Frees Stream and, while it is a filter, every stream below it, from the top down; does
// nothing for null. Waiting data is flushed first; if that raises, every stream is still
// freed (files closed, buffers released) and then the first error is raised.
void FreeChain(TBaseStream* Stream);

// A stream with a position and a size.
class TSeekableStream : public TBaseStream {
public:
    VT_CLASS_NAME(TSeekableStream)

    virtual int32_t GetPosition() = 0;
    virtual int32_t GetSize() = 0;
    // Moves to Pos; positions past the end are accepted.
    virtual void SetPosition(int32_t Pos) = 0;
    // Makes the position the end of the stream.
    virtual void Truncate() = 0;
};

// Open mode of a file stream: a set of the flags below.
enum TStreamMode : uint8_t {
    smRead = 1,       // read access; sets CanRead
    smWrite = 2,      // write access; sets CanWrite
    smCreate = 4,     // create the file, replacing an existing one
    smShareRead = 8,  // others may read the file while it is open
    smShareWrite = 16 // others may write the file while it is open
};

constexpr TStreamMode operator|(TStreamMode a, TStreamMode b) noexcept {
    return static_cast<TStreamMode>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}

// A stream over a Win32 file handle; it does no buffering of its own. Positions and sizes are
// signed 32-bit: a file of 2 GB or more is refused with EInOutError when its size or a
// position beyond the limit is asked for.
class TFileStream : public TSeekableStream {
public:
    VT_CLASS_NAME(TFileStream)

    // Opens or creates the file. Raises EInOutError when Mode has neither smRead nor smWrite
    // (no file is touched) or when the file cannot be opened.
    TFileStream(const std::string& fileName, TStreamMode mode);
    // Closes the handle if it is open; never raises.
    ~TFileStream() override;

    int32_t Write(const void* Buffer, int32_t Count) override;
    int32_t Read(void* Buffer, int32_t Count) override;
    // GetSize - GetPosition. Raises EInOutError as they do.
    int32_t BytesLeft() override;
    // Asks the system to write its caches to the disk; never raises.
    void Flush() override;
    // Raises EInOutError "IO-error: %s" when the system cannot tell.
    int32_t GetPosition() override;
    // Raises EInOutError "IO-error: %s" when the system cannot tell.
    int32_t GetSize() override;
    // Raises EInOutError "Error moving file pointer - %s", also for a negative position.
    void SetPosition(int32_t Pos) override;
    // Raises EInOutError "Error truncating file "%s" - %s".
    void Truncate() override;
    // Closes the file, deletes it and frees this object (which must come from new). Raises
    // EInOutError when closing or deleting fails; the object then stays alive, and after a
    // failed delete its handle is already closed.
    void Delete();

    HANDLE Handle = INVALID_HANDLE_VALUE; // the open file; invalid once closed
    std::string FileName;                 // the name exactly as passed to the constructor
};

} // namespace vt
