// The buffered stream and OpenBufferedFile.
#include "streams/BufStream.h"

#include "rtl/Memory.h"

#include <algorithm>
#include <cstring>

namespace vt {

int32_t DefaultBufferSize = 65536;

namespace {

// A count a source reports, kept within what was asked (a misbehaving source cannot make the
// buffer arithmetic go wrong).
int32_t Moved(int32_t reported, int32_t asked) {
    return std::clamp(reported, 0, asked);
}

} // namespace

TBufferedStream::TBufferedStream(int32_t readSize, int32_t writeSize, TBaseStream* source)
    : TFilterStream(source) {
    if (source == nullptr)
        throw EStreamCreate(SNoSourceStream);
    CanRead = source->CanRead;
    CanWrite = source->CanWrite;
    Strict = source->Strict;
    // -1 counts as a read buffer here, before it is replaced by the default.
    RestoreStrict = CanRead && readSize != 0 && Strict;
    if (RestoreStrict)
        source->SetStrict(false);
    try {
        if (readSize == -1)
            readSize = DefaultBufferSize;
        if (CanRead && readSize != 0) {
            if (readSize < 2)
                throw EStreamCreate(SInvalidBufferSize);
            ReadBuffer = static_cast<uint8_t*>(GetMem(static_cast<size_t>(readSize)));
            ReadBufferSize = readSize;
        }
        if (writeSize == -1)
            writeSize = DefaultBufferSize;
        if (CanWrite && writeSize != 0) {
            if (writeSize < 2)
                throw EStreamCreate(SInvalidBufferSize);
            WriteBuffer = static_cast<uint8_t*>(GetMem(static_cast<size_t>(writeSize)));
            WriteBufferSize = writeSize;
        }
    } catch (...) {
        ReleaseBuffers();
        if (RestoreStrict)
            source->SetStrict(true);
        throw;
    }
}

TBufferedStream::~TBufferedStream() {
    if (WriteLen > 0) {
        try {
            Flush();
        } catch (...) {
            // A destructor cannot report; FreeChain flushes before it destroys, and reports.
        }
    }
    ReleaseBuffers();
    if (RestoreStrict) {
        try {
            Source->SetStrict(true);
        } catch (...) {
        }
    }
}

void TBufferedStream::ReleaseBuffers() noexcept {
    FreeMem(ReadBuffer);
    ReadBuffer = nullptr;
    ReadBufferSize = ReadPos = ReadLen = 0;
    FreeMem(WriteBuffer);
    WriteBuffer = nullptr;
    WriteBufferSize = WriteLen = 0;
}

void TBufferedStream::SetStrict(bool Value) {
    Strict = Value;
    // While reads are buffered the source must stay quiet about the short refill at its end
    // (a strict source would raise with the refilled bytes stranded in it): this stream does
    // the strict check itself, and the destructor restores the source's flag.
    if (ReadBufferSize == 0)
        Source->SetStrict(Value);
}

int32_t TBufferedStream::Read(void* Buffer, int32_t Count) {
    if (ReadBufferSize == 0)
        return Source->Read(Buffer, Count);
    if (Count < 0)
        throw EInOutError(Format(SInvalidByteCount, {Count}));
    if (Count == 0)
        return 0;
    auto* out = static_cast<uint8_t*>(Buffer);
    const int32_t avail = ReadLen - ReadPos;
    if (Count <= avail) {
        // A request that empties the buffer exactly does not refill it.
        std::memcpy(out, ReadBuffer + ReadPos, static_cast<size_t>(Count));
        ReadPos += Count;
        return Count;
    }
    std::memcpy(out, ReadBuffer + ReadPos, static_cast<size_t>(avail));
    // The buffered bytes are delivered; the buffer is empty even if the source raises below.
    ReadPos = ReadLen = 0;
    int32_t result = avail;
    const int32_t rest = Count - avail;
    if (rest >= ReadBufferSize) {
        // Large request: straight into the caller's memory.
        result += Moved(Source->Read(out + avail, rest), rest);
        if (result < Count && Strict)
            throw EInOutError(SReadLessThanExpected);
        return result;
    }
    const int32_t n = Moved(Source->Read(ReadBuffer, ReadBufferSize), ReadBufferSize);
    if (n < rest) {
        std::memcpy(out + avail, ReadBuffer, static_cast<size_t>(n));
        result += n;
        if (Strict)
            throw EInOutError(SReadLessThanExpected);
        return result;
    }
    std::memcpy(out + avail, ReadBuffer, static_cast<size_t>(rest));
    ReadLen = n;
    ReadPos = rest;
    return Count;
}

int32_t TBufferedStream::Write(const void* Buffer, int32_t Count) {
    if (WriteBufferSize == 0)
        return Source->Write(Buffer, Count);
    if (Count < 0)
        throw EInOutError(Format(SInvalidByteCount, {Count}));
    const auto* in = static_cast<const uint8_t*>(Buffer);
    const int32_t free = WriteBufferSize - WriteLen;
    if (Count <= free) {
        // A write that fills the buffer exactly does not flush it.
        if (Count > 0)
            std::memcpy(WriteBuffer + WriteLen, in, static_cast<size_t>(Count));
        WriteLen += Count;
        return Count;
    }
    // Fill the buffer and write it whole.
    const int32_t earlier = WriteLen;
    std::memcpy(WriteBuffer + earlier, in, static_cast<size_t>(free));
    const int32_t written = WriteToSource(WriteBufferSize);
    if (written < WriteBufferSize) {
        // A source that is not strict took less: report only the caller's bytes it took, and
        // keep the earlier bytes it did not take waiting.
        if (written < earlier) {
            std::memmove(WriteBuffer, WriteBuffer + written,
                         static_cast<size_t>(earlier - written));
            WriteLen = earlier - written;
            return 0;
        }
        WriteLen = 0;
        return written - earlier;
    }
    WriteLen = 0;
    const int32_t rest = Count - free;
    if (rest >= WriteBufferSize) {
        // Large request: straight from the caller's memory.
        return free + Moved(Source->Write(in + free, rest), rest);
    }
    std::memcpy(WriteBuffer, in + free, static_cast<size_t>(rest));
    WriteLen = rest;
    return Count;
}

int32_t TBufferedStream::BytesLeft() {
    return Source->BytesLeft() + (ReadLen - ReadPos);
}

int32_t TBufferedStream::WriteToSource(int32_t count) {
    try {
        return Moved(Source->Write(WriteBuffer, count), count);
    } catch (...) {
        // How much of the buffer reached the source is unknown: writing it again could put
        // bytes twice into the file. The buffer is dropped and the error reported, so the
        // destination keeps what reached it, in order.
        WriteLen = 0;
        throw;
    }
}

void TBufferedStream::Flush() {
    if (WriteLen == 0)
        return;
    const int32_t written = WriteToSource(WriteLen);
    if (written < WriteLen)
        std::memmove(WriteBuffer, WriteBuffer + written, static_cast<size_t>(WriteLen - written));
    WriteLen -= written;
}

void TBufferedStream::FlushBeforeRelease() {
    Flush();
    if (WriteLen > 0) {
        const int32_t lost = WriteLen;
        WriteLen = 0;
        throw EInOutError(Format(SBufferNotWritten, {lost}));
    }
}

TBufferedStream* OpenBufferedFile(const std::string& FileName, bool Write) {
    auto* file = new TFileStream(FileName, Write ? smRead | smWrite | smCreate | smShareRead
                                                 : smRead | smShareRead);
    try {
        return new TBufferedStream(Write ? 0 : -1, Write ? -1 : 0, file);
    } catch (...) {
        delete file;
        throw;
    }
}

} // namespace vt
