// The buffered stream: construction rules, the exact buffer behaviour (bypass, no refill on an
// exact empty, no flush on an exact fill), short writes, and releasing a stack whose flush
// fails.
#include "StreamTestSupport.h"

#include "platform/FileApi.h"
#include "rtl/Memory.h"
#include "streams/BufStream.h"

#include <gtest/gtest.h>

using namespace vt;
using namespace vt::test;

namespace {

class BufferedStreamTest : public testing::Test {
protected:
    TTempDir Dir;
    std::string Name = Dir.Path("buffered.bin");
    long Blocks = AllocatedBlocks();

    void TearDown() override { EXPECT_EQ(AllocatedBlocks(), Blocks) << "buffer leaked"; }
};

// The file stream below a stack that OpenBufferedFile built.
TFileStream& FileOf(TBufferedStream* stream) {
    return *static_cast<TFileStream*>(stream->Source);
}

int32_t FailingBlockSize = -1;
bool FailBlockOfSize(size_t size) {
    return static_cast<int64_t>(size) == FailingBlockSize;
}

} // namespace

// ---- Construction ------------------------------------------------------------------------

TEST_F(BufferedStreamTest, BuffersOnlyTheDirectionsTheSourceCanDo) {
    TStreamLog log;
    TRecordingStream source(log);
    source.CanWrite = false;
    {
        TBufferedStream stream(-1, 1, &source); // 1 is not checked for a direction not done
        EXPECT_EQ(stream.ReadBufferSize, 65536);
        EXPECT_NE(stream.ReadBuffer, nullptr);
        EXPECT_EQ(stream.WriteBufferSize, 0);
        EXPECT_EQ(stream.WriteBuffer, nullptr);
        EXPECT_TRUE(stream.CanRead);
        EXPECT_FALSE(stream.CanWrite);
        EXPECT_TRUE(stream.RestoreStrict);
        EXPECT_FALSE(source.Strict); // the buffered stream does the strict check itself
    }
    EXPECT_TRUE(source.Strict);

    source.CanRead = false;
    source.CanWrite = true;
    TBufferedStream stream(-1, -1, &source);
    EXPECT_EQ(stream.ReadBufferSize, 0);
    EXPECT_EQ(stream.WriteBufferSize, 65536);
    EXPECT_FALSE(stream.RestoreStrict);
    EXPECT_TRUE(source.Strict);
}

TEST_F(BufferedStreamTest, InvalidSizesRaiseAndLeaveTheSourceAsItWas) {
    TStreamLog log;
    TRecordingStream source(log);
    for (int32_t size : {1, -2, -100}) {
        EXPECT_EQ(MessageOf<EStreamCreate>([&] { TBufferedStream stream(size, 0, &source); }),
                  SInvalidBufferSize);
        EXPECT_TRUE(source.Strict);
        // The read buffer is had before the write size is checked; it is given back.
        EXPECT_EQ(MessageOf<EStreamCreate>([&] { TBufferedStream stream(-1, size, &source); }),
                  SInvalidBufferSize);
        EXPECT_TRUE(source.Strict);
    }
    EXPECT_EQ(MessageOf<EStreamCreate>([&] { TBufferedStream stream(-1, -1, nullptr); }),
              SNoSourceStream);

    FailingBlockSize = 1000;
    SetAllocFailHook(FailBlockOfSize);
    EXPECT_THROW(TBufferedStream(100, 1000, &source), EOutOfMemory);
    SetAllocFailHook(nullptr);
    EXPECT_TRUE(source.Strict);
}

// ---- Reading -----------------------------------------------------------------------------

TEST_F(BufferedStreamTest, TenByteFileInChunksOfFour) {
    WriteFileBytes(Name, Pattern(10));
    TBufferedStream* stream = OpenBufferedFile(Name, false);
    uint8_t buffer[4] = {};
    EXPECT_EQ(stream->Read(buffer, 4), 4);
    EXPECT_EQ(TBytes(buffer, buffer + 4), Pattern(4));
    EXPECT_EQ(stream->Read(buffer, 4), 4);
    EXPECT_FALSE(stream->Eof());
    EXPECT_EQ(stream->BytesLeft(), 2);
    std::fill(buffer, buffer + 4, uint8_t{0xEE});
    EXPECT_EQ(MessageOf<EInOutError>([&] { stream->Read(buffer, 4); }), SReadLessThanExpected);
    EXPECT_EQ(TBytes(buffer, buffer + 2), Pattern(2, 8));
    EXPECT_EQ(stream->ReadLen, 0);
    EXPECT_TRUE(stream->Eof());

    stream->SetStrict(false);
    EXPECT_EQ(stream->Read(buffer, 4), 0);
    FreeChain(stream);
}

TEST_F(BufferedStreamTest, LargeReadsBypassTheBufferAndBytesLeftCountsTheReadAhead) {
    WriteFileBytes(Name, Pattern(100000));
    TFileFaults faults;
    TBufferedStream* stream = OpenBufferedFile(Name, false);
    TBytes data(100000);
    EXPECT_EQ(stream->Read(data.data(), 70000), 70000);
    EXPECT_EQ(faults.Requests(TFileCall::Read), (std::vector<DWORD>{70000}));
    EXPECT_EQ(stream->BytesLeft(), 30000);

    stream->SetStrict(false);
    EXPECT_EQ(stream->Read(data.data() + 70000, 40000), 30000);
    EXPECT_EQ(data, Pattern(100000));
    FreeChain(stream);

    // A small first read fills the buffer: the file is 65536 bytes ahead of the reader.
    stream = OpenBufferedFile(Name, false);
    EXPECT_EQ(stream->Read(data.data(), 1), 1);
    EXPECT_EQ(stream->BytesLeft(), 99999);
    EXPECT_EQ(FileOf(stream).GetPosition(), 65536);
    // Emptying the buffer exactly does not refill it.
    EXPECT_EQ(stream->Read(data.data(), 65535), 65535);
    EXPECT_EQ(faults.Requests(TFileCall::Read).size(), 3u);
    // The rest of the file in one refill, then a read that crosses the buffer's end.
    EXPECT_EQ(stream->Read(data.data(), 30000), 30000);
    EXPECT_EQ(data[0], Pattern(1, 65536)[0]);
    EXPECT_EQ(stream->Read(data.data(), 4464), 4464);
    EXPECT_TRUE(stream->Eof());
    FreeChain(stream);
    EXPECT_EQ(faults.OpenHandles(), 0);
}

TEST_F(BufferedStreamTest, ReadErrorsOfTheSourcePassUnchanged) {
    WriteFileBytes(Name, Pattern(100));
    TFileFaults faults;
    TBufferedStream* stream = OpenBufferedFile(Name, false);
    uint8_t buffer[10];
    faults.Fail(TFileCall::Read, ERROR_ACCESS_DENIED);
    ExpectSystemMessage(MessageOf<EInOutError>([&] { stream->Read(buffer, 10); }),
                        "Error reading from stream - ");
    EXPECT_EQ(stream->Read(buffer, 10), 10);
    EXPECT_EQ(MessageOf<EInOutError>([&] { stream->Read(buffer, -1); }), "Invalid byte count -1");
    FreeChain(stream);
    EXPECT_EQ(faults.OpenHandles(), 0);

    faults.Fail(TFileCall::Create, ERROR_FILE_NOT_FOUND);
    EXPECT_THROW(OpenBufferedFile(Name, false), EInOutError);
    // A buffer that cannot be had closes the file that was opened for it.
    FailingBlockSize = 65536;
    SetAllocFailHook(FailBlockOfSize);
    EXPECT_THROW(OpenBufferedFile(Name, false), EOutOfMemory);
    SetAllocFailHook(nullptr);
    EXPECT_EQ(faults.OpenHandles(), 0);
}

// The buffered stream keeps its source quiet about short reads while it buffers them, also
// when a copy switches its own flag off and on again: a later refill that finds fewer bytes
// than the buffer holds is no error when the caller asked for fewer.
TEST_F(BufferedStreamTest, CopyFromABufferedStreamLeavesItsSourceQuiet) {
    WriteFileBytes(Name, Pattern(10000));
    TBufferedStream* stream = OpenBufferedFile(Name, false);
    TStreamLog log;
    TRecordingStream target(log);
    target.CopyFrom(stream);
    EXPECT_EQ(log.Data, Pattern(10000));
    EXPECT_TRUE(stream->Strict);
    EXPECT_FALSE(FileOf(stream).Strict);

    FileOf(stream).SetPosition(9990);
    uint8_t buffer[4];
    EXPECT_EQ(stream->Read(buffer, 4), 4);
    EXPECT_EQ(TBytes(buffer, buffer + 4), Pattern(4, 9990));
    FreeChain(stream);
}

// ---- Writing -----------------------------------------------------------------------------

TEST_F(BufferedStreamTest, SingleByteWritesReachTheFileOnlyWhenTheBufferOverflows) {
    TFileFaults faults;
    TBufferedStream* stream = OpenBufferedFile(Name, true);
    const TBytes data = Pattern(65537);
    for (size_t i = 0; i < 65536; ++i)
        ASSERT_EQ(stream->Write(&data[i], 1), 1);
    EXPECT_EQ(stream->WriteLen, 65536); // an exact fill does not flush
    EXPECT_EQ(faults.Calls(TFileCall::Write), 0);
    EXPECT_EQ(FileOf(stream).GetSize(), 0);
    EXPECT_EQ(stream->Write(&data[65536], 1), 1);
    EXPECT_EQ(faults.Requests(TFileCall::Write), (std::vector<DWORD>{65536}));
    EXPECT_EQ(stream->WriteLen, 1);
    FreeChain(stream);
    EXPECT_EQ(faults.Requests(TFileCall::Write), (std::vector<DWORD>{65536, 1}));
    EXPECT_EQ(ReadFileBytes(Name), data);
    EXPECT_EQ(faults.OpenHandles(), 0);
}

TEST_F(BufferedStreamTest, LargeWritesFillTheBufferThenBypassIt) {
    TFileFaults faults;
    TBufferedStream* stream = OpenBufferedFile(Name, true);
    const TBytes data = Pattern(300000);
    EXPECT_EQ(stream->Write(data.data(), 100000), 100000);
    EXPECT_EQ(faults.Requests(TFileCall::Write), (std::vector<DWORD>{65536}));
    EXPECT_EQ(stream->WriteLen, 34464);
    EXPECT_EQ(stream->Write(data.data() + 100000, 200000), 200000);
    EXPECT_EQ(faults.Requests(TFileCall::Write), (std::vector<DWORD>{65536, 65536, 168928}));
    EXPECT_EQ(stream->WriteLen, 0);
    stream->Flush(); // nothing waits: no call
    EXPECT_EQ(faults.Calls(TFileCall::Write), 3);
    FreeChain(stream);
    EXPECT_EQ(faults.Calls(TFileCall::Write), 3);
    EXPECT_EQ(ReadFileBytes(Name), data);

    // Into an empty buffer, 200000 bytes: the buffer's worth, then the rest directly.
    stream = OpenBufferedFile(Name, true);
    EXPECT_EQ(stream->Write(data.data(), 200000), 200000);
    EXPECT_EQ(faults.Requests(TFileCall::Write),
              (std::vector<DWORD>{65536, 65536, 168928, 65536, 134464}));
    FreeChain(stream);
    EXPECT_EQ(ReadFileBytes(Name), TBytes(data.begin(), data.begin() + 200000));
}

// A source that is not strict may take less than it is given. The buffered stream then
// reports how many of the caller's bytes reached it and keeps the earlier buffered bytes it
// did not take; a caller that writes the rest again loses and doubles nothing.
TEST_F(BufferedStreamTest, ShortWritesOfALenientSourceLoseNothing) {
    for (int32_t limit : {3, 12, 40}) {
        TStreamLog log;
        TRecordingStream source(log);
        source.SetStrict(false);
        TBufferedStream stream(0, 16, &source);
        const TBytes data = Pattern(200);
        ASSERT_EQ(stream.Write(data.data(), 10), 10);
        source.WriteLimit = limit;
        size_t done = 10;
        for (int round = 0; done < data.size() && round < 1000; ++round) {
            const int32_t count = std::min<int32_t>(37, static_cast<int32_t>(data.size() - done));
            const int32_t taken = stream.Write(data.data() + done, count);
            ASSERT_GE(taken, 0);
            ASSERT_LE(taken, count);
            done += static_cast<size_t>(taken);
        }
        ASSERT_EQ(done, data.size()) << "limit " << limit;
        for (int round = 0; stream.WriteLen > 0 && round < 100; ++round)
            stream.Flush();
        EXPECT_EQ(log.Data, data) << "limit " << limit;
    }
}

TEST_F(BufferedStreamTest, ShortWriteOfTheFullBufferReportsOnlyTheCallersBytes) {
    TStreamLog log;
    TRecordingStream source(log);
    source.SetStrict(false);
    TBufferedStream stream(0, 16, &source);
    const TBytes data = Pattern(40);
    stream.Write(data.data(), 10);
    source.WriteLimit = 4; // fewer than the 10 waiting
    EXPECT_EQ(stream.Write(data.data() + 10, 20), 0);
    EXPECT_EQ(stream.WriteLen, 6);
    source.WriteLimit = 12; // the 6 waiting and 6 of the caller's
    EXPECT_EQ(stream.Write(data.data() + 10, 20), 6);
    EXPECT_EQ(stream.WriteLen, 0);
    EXPECT_EQ(log.Data, TBytes(data.begin(), data.begin() + 16));
}

// When the source raises, how much of the buffer it took is unknown; the buffer is dropped
// so that nothing is written twice, and the file keeps a prefix of what was written.
TEST_F(BufferedStreamTest, ASourceErrorDropsTheBufferInsteadOfWritingItTwice) {
    TStreamLog log;
    TRecordingStream source(log);
    TBufferedStream stream(0, 16, &source);
    const TBytes data = Pattern(40);
    stream.Write(data.data(), 10);
    source.WritesBeforeError = 0;
    EXPECT_EQ(MessageOf<EInOutError>([&] { stream.Write(data.data() + 10, 20); }),
              "memory write failed");
    EXPECT_EQ(stream.WriteLen, 0);
    source.WritesBeforeError = -1;
    stream.Write(data.data() + 30, 5);
    source.WritesBeforeError = 0;
    EXPECT_THROW(stream.Flush(), EInOutError);
    EXPECT_EQ(stream.WriteLen, 0);
    EXPECT_EQ(log.Writes, (std::vector<int32_t>{16, 5}));
}

// ---- Releasing a stack whose flush fails ---------------------------------------------------

TEST_F(BufferedStreamTest, FailedFinalFlushStillReleasesEverythingThenReports) {
    TFileFaults faults;
    TBufferedStream* stream = OpenBufferedFile(Name, true);
    const TBytes data = Pattern(100);
    stream->Write(data.data(), 100);
    faults.Short(TFileCall::Write, 40, ERROR_DISK_FULL);
    ExpectSystemMessage(MessageOf<EInOutError>([&] { FreeChain(stream); }),
                        "Error writing to stream - ");
    EXPECT_EQ(faults.OpenHandles(), 0);
    EXPECT_EQ(faults.Calls(TFileCall::Write), 1); // no second attempt while destroying
    EXPECT_EQ(ReadFileBytes(Name), TBytes(data.begin(), data.begin() + 40));
}

TEST_F(BufferedStreamTest, FailedFlushRestoresTheSourceStrictAndFreesItLast) {
    TStreamLog log;
    std::vector<std::string> order;
    log.Order = &order;
    auto* source = new TRecordingStream(log, Pattern(100));
    auto* stream = new TBufferedStream(-1, -1, source);
    EXPECT_FALSE(source->Strict);
    uint8_t buffer[8];
    stream->Read(buffer, 8);
    stream->Write(buffer, 8);
    source->WritesBeforeError = 0;
    EXPECT_EQ(MessageOf<EInOutError>([&] { FreeChain(stream); }), "memory write failed");
    EXPECT_TRUE(log.Destroyed);
    EXPECT_TRUE(log.StrictWhenDestroyed);
    EXPECT_EQ(order, (std::vector<std::string>{"memory"}));
}

TEST_F(BufferedStreamTest, BytesALenientSourceNeverTakesAreReportedOnRelease) {
    TStreamLog log;
    auto* source = new TRecordingStream(log);
    source->SetStrict(false);
    source->WriteLimit = 0;
    auto* stream = new TBufferedStream(0, 16, source);
    stream->Write(Pattern(10).data(), 10);
    EXPECT_EQ(MessageOf<EInOutError>([&] { FreeChain(stream); }), Format(SBufferNotWritten, {10}));
    EXPECT_TRUE(log.Destroyed);
}

TEST_F(BufferedStreamTest, DestroyingWithoutFreeChainStillWritesOut) {
    TStreamLog log;
    TRecordingStream source(log);
    {
        TBufferedStream stream(0, 16, &source);
        stream.Write(Pattern(10).data(), 10);
    }
    EXPECT_EQ(log.Data, Pattern(10));
    EXPECT_FALSE(log.Destroyed); // the source is not the filter's to free
}
