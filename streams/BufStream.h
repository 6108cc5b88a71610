// The buffered stream: a filter with a read buffer and a write buffer in front of its source,
// and OpenBufferedFile, which stacks one on a file stream.
#pragma once

#include "streams/Streams.h"

#include <cstdint>
#include <string>

namespace vt {

// Raised by the buffered stream's constructor for an invalid buffer size or a missing source.
VT_EXCEPTION_CLASS(EStreamCreate, Exception);

inline constexpr const char* SInvalidBufferSize = "Invalid buffer size";
inline constexpr const char* SNoSourceStream = "No source stream";
inline constexpr const char* SBufferNotWritten =
    "Error writing to stream - %d buffered bytes could not be written";

// Buffer size used for a size of -1 (65536).
extern int32_t DefaultBufferSize;

// Turns many small reads and writes into few large ones on the source. Requests at least as
// large as a buffer bypass it. While it buffers reads it keeps its source's Strict flag off
// and does the strict check itself; the flag is switched back on when the stream is freed.
// Reading and writing are not coordinated: use one buffered stream in one direction.
class TBufferedStream : public TFilterStream {
public:
    VT_CLASS_NAME(TBufferedStream)

    // Sizes in bytes; -1 means DefaultBufferSize and 0 no buffer. A direction the source
    // cannot do gets no buffer whatever its size. Raises EStreamCreate "Invalid buffer size"
    // for a size below 2 in a direction the source can do, and EOutOfMemory when a buffer
    // cannot be had; the source is then as it was (its Strict flag included).
    TBufferedStream(int32_t readSize, int32_t writeSize, TBaseStream* source);
    // Writes out waiting bytes (errors are swallowed here: FreeChain, or Flush before the
    // release, is how a caller sees them), frees the buffers and restores the source's
    // Strict flag. The source is not freed.
    ~TBufferedStream() override;

    // Sets this stream's flag, and the source's too unless this stream buffers reads: the
    // source's flag is then left as the constructor set it.
    void SetStrict(bool Value) override;
    // Returns the number of the caller's bytes that were taken: all of them, unless the
    // source writes less than it is given (possible only when the source is not strict);
    // earlier buffered bytes the source did not take stay waiting. Raises what the source
    // raises; the buffered bytes are then dropped (how many reached the source is unknown,
    // and writing them again could double them).
    int32_t Write(const void* Buffer, int32_t Count) override;
    // Raises "Read less than expected" when Strict and fewer bytes than Count are there (the
    // bytes delivered are in Buffer); raises what the source raises.
    int32_t Read(void* Buffer, int32_t Count) override;
    // The source's BytesLeft plus the bytes read ahead into the buffer and not yet handed out.
    int32_t BytesLeft() override;
    // Hands the waiting bytes to the source (not flushing the source itself). Bytes a
    // non-strict source does not take stay waiting. Raises what the source raises, dropping
    // the waiting bytes.
    void Flush() override;

    bool RestoreStrict = false;     // Strict of the source is off because of this stream
    uint8_t* ReadBuffer = nullptr;  // ReadBufferSize bytes, or null
    int32_t ReadPos = 0;            // next byte of ReadBuffer to hand out
    int32_t ReadLen = 0;            // valid bytes in ReadBuffer
    int32_t ReadBufferSize = 0;     // 0: reads go straight to the source
    uint8_t* WriteBuffer = nullptr; // WriteBufferSize bytes, or null
    int32_t WriteLen = 0;           // bytes waiting in WriteBuffer
    int32_t WriteBufferSize = 0;    // 0: writes go straight to the source

protected:
    // Flushes; bytes a lenient source does not take are dropped and reported (EInOutError).
    void FlushBeforeRelease() override;

private:
    // Writes the first Count bytes of WriteBuffer to the source; drops them all if it raises.
    int32_t WriteToSource(int32_t count);
    void ReleaseBuffers() noexcept;
};

// Opens FileName as a buffered stream: for reading (the file must exist; mode smRead |
// smShareRead, a read buffer of DefaultBufferSize) or for writing (the file is created or
// emptied; mode smRead | smWrite | smCreate | smShareRead, a write buffer of
// DefaultBufferSize). The caller releases the result with FreeChain. Raises what the file
// stream and the buffered stream raise; nothing stays open then.
TBufferedStream* OpenBufferedFile(const std::string& FileName, bool Write);

} // namespace vt
