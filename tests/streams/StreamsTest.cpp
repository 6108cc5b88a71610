// The stream family: the file stream over real files, its error messages (with failures
// injected through the file-function table), CopyFrom, FreeChain and Delete.
#include "StreamTestSupport.h"

#include "platform/FileApi.h"
#include "rtl/Memory.h"
#include "streams/Streams.h"

#include <gtest/gtest.h>

using namespace vt;
using namespace vt::test;

namespace {

constexpr TStreamMode ReadMode = smRead | smShareRead;
constexpr TStreamMode WriteMode = smRead | smWrite | smCreate | smShareRead;
constexpr TStreamMode UpdateMode = smRead | smWrite | smShareRead;

// A filter that notes its destruction.
struct TNamedFilter : TFilterStream {
    TNamedFilter(TBaseStream* source, std::vector<std::string>& log, const char* name)
        : TFilterStream(source), Order(log), Label(name) {}
    ~TNamedFilter() override { Order.push_back(Label); }
    std::vector<std::string>& Order;
    const char* Label;
};

class FileStreamTest : public testing::Test {
protected:
    TTempDir Dir;
    std::string Name = Dir.Path("data.bin");
};

} // namespace

// ---- Opening -------------------------------------------------------------------------------

TEST_F(FileStreamTest, ModeWithoutAccessIsRefusedBeforeAnyFileIsTouched) {
    for (TStreamMode mode : {smCreate, smShareRead | smShareWrite | smCreate, TStreamMode{}}) {
        EXPECT_EQ(MessageOf<EInOutError>([&] { TFileStream stream(Name, mode); }), SNoAccessMode);
        EXPECT_FALSE(FileExists(Name));
    }
}

TEST_F(FileStreamTest, MissingFileNamesTheFileAsPassedAndTheSystemText) {
    const std::string missing = Dir.Path("no such file.bin");
    ExpectSystemMessage(MessageOf<EInOutError>([&] { TFileStream stream(missing, ReadMode); }),
                        "Error opening \"" + missing + "\" - ");
    EXPECT_FALSE(FileExists(missing));
}

TEST_F(FileStreamTest, ModesSetAccessFlagsAndCreateEmptiesAnExistingFile) {
    WriteFileBytes(Name, Pattern(100));
    {
        TFileStream stream(Name, ReadMode);
        EXPECT_TRUE(stream.CanRead);
        EXPECT_FALSE(stream.CanWrite);
        EXPECT_TRUE(stream.Strict);
        EXPECT_EQ(stream.FileName, Name);
        EXPECT_EQ(stream.GetSize(), 100);
    }
    {
        TFileStream stream(Name, WriteMode);
        EXPECT_TRUE(stream.CanRead);
        EXPECT_TRUE(stream.CanWrite);
        EXPECT_EQ(stream.GetSize(), 0);
    }
    EXPECT_TRUE(ReadFileBytes(Name).empty());
}

// ---- Reading, writing, positions ---------------------------------------------------------

TEST_F(FileStreamTest, WritesAndReadsBackWithPositionAndSize) {
    const TBytes data = Pattern(1000);
    {
        TFileStream stream(Name, WriteMode);
        EXPECT_EQ(stream.Write(data.data(), 600), 600);
        EXPECT_EQ(stream.Write(data.data() + 600, 400), 400);
        EXPECT_EQ(stream.GetPosition(), 1000);
        EXPECT_TRUE(stream.Eof());
        stream.SetPosition(10);
        TBytes back(20);
        EXPECT_EQ(stream.Read(back.data(), 20), 20);
        EXPECT_EQ(back, TBytes(data.begin() + 10, data.begin() + 30));
        EXPECT_EQ(stream.BytesLeft(), 970);
        EXPECT_EQ(stream.Write(nullptr, 0), 0);
        EXPECT_EQ(stream.Read(nullptr, 0), 0);
    }
    EXPECT_EQ(ReadFileBytes(Name), data);
}

TEST_F(FileStreamTest, ShortReadRaisesWhenStrictAfterDeliveringTheBytes) {
    WriteFileBytes(Name, Pattern(10));
    TFileStream stream(Name, ReadMode);
    stream.SetPosition(6);
    uint8_t buffer[10] = {};
    EXPECT_EQ(MessageOf<EInOutError>([&] { stream.Read(buffer, 10); }), SReadLessThanExpected);
    EXPECT_EQ(TBytes(buffer, buffer + 4), Pattern(4, 6));
    EXPECT_EQ(stream.GetPosition(), 10);
    EXPECT_TRUE(stream.Eof());

    stream.SetPosition(6);
    stream.SetStrict(false);
    EXPECT_EQ(stream.Read(buffer, 10), 4);
    EXPECT_EQ(stream.Read(buffer, 10), 0);
}

TEST_F(FileStreamTest, StreamsDoNotCheckTheirAccessFlagsTheSystemRefuses) {
    WriteFileBytes(Name, Pattern(10));
    TFileStream stream(Name, ReadMode);
    const uint8_t byte = 1;
    ExpectSystemMessage(MessageOf<EInOutError>([&] { stream.Write(&byte, 1); }),
                        "Error writing to stream - ");
    ExpectSystemMessage(MessageOf<EInOutError>([&] { stream.Truncate(); }),
                        "Error truncating file \"" + Name + "\" - ");
    stream.Flush(); // fails in the system on a read-only handle, and says nothing
    EXPECT_EQ(ReadFileBytes(Name), Pattern(10));
}

TEST_F(FileStreamTest, PositionsPastTheEndGiveNegativeBytesLeftAndNoEof) {
    WriteFileBytes(Name, Pattern(10));
    TFileStream stream(Name, ReadMode);
    EXPECT_FALSE(stream.Eof());
    stream.SetPosition(10);
    EXPECT_TRUE(stream.Eof());
    stream.SetPosition(25);
    EXPECT_EQ(stream.BytesLeft(), -15);
    EXPECT_FALSE(stream.Eof());
    ExpectSystemMessage(MessageOf<EInOutError>([&] { stream.SetPosition(-1); }),
                        "Error moving file pointer - ");
    EXPECT_EQ(stream.GetPosition(), 25);
}

TEST_F(FileStreamTest, TruncateMakesThePositionTheEnd) {
    WriteFileBytes(Name, Pattern(100));
    {
        TFileStream stream(Name, UpdateMode);
        stream.SetPosition(40);
        stream.Truncate();
        EXPECT_EQ(stream.GetSize(), 40);
        stream.SetPosition(0);
        stream.Truncate();
        EXPECT_EQ(stream.GetSize(), 0);
        EXPECT_TRUE(stream.Eof());
    }
    EXPECT_TRUE(ReadFileBytes(Name).empty());
}

TEST_F(FileStreamTest, NegativeCountsAreRefused) {
    WriteFileBytes(Name, Pattern(10));
    TFileStream stream(Name, UpdateMode);
    uint8_t buffer[4];
    EXPECT_EQ(MessageOf<EInOutError>([&] { stream.Read(buffer, -1); }), "Invalid byte count -1");
    EXPECT_EQ(MessageOf<EInOutError>([&] { stream.Write(buffer, -5); }), "Invalid byte count -5");
    EXPECT_EQ(stream.GetPosition(), 0);
}

// Files of 2 GB and more are outside the 32-bit positions: they are refused, never wrapped.
// The file is sparse, so it costs no disk space.
TEST_F(FileStreamTest, SizesAndPositionsOf2GiBAndMoreAreRefused) {
    {
        TFileStream stream(Name, WriteMode);
        stream.SetPosition(INT32_MAX);
        EXPECT_EQ(stream.GetPosition(), INT32_MAX);
        EXPECT_EQ(stream.BytesLeft(), -INT32_MAX);
        const uint8_t byte = 7;
        stream.Write(&byte, 1); // the position is now 2 GiB, the size too
        const std::string tooLarge = Format(SFileTooLarge, {Name});
        EXPECT_EQ(MessageOf<EInOutError>([&] { stream.GetPosition(); }), tooLarge);
        EXPECT_EQ(MessageOf<EInOutError>([&] { stream.GetSize(); }), tooLarge);
        EXPECT_EQ(MessageOf<EInOutError>([&] { stream.BytesLeft(); }), tooLarge);

        // A size beyond 4 GiB must not pass for its low 32 bits either.
        LONG high = 1;
        ASSERT_NE(SetFilePointer(stream.Handle, 16, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
        ASSERT_TRUE(SetEndOfFile(stream.Handle));
        EXPECT_EQ(MessageOf<EInOutError>([&] { stream.GetSize(); }), tooLarge);
        EXPECT_EQ(MessageOf<EInOutError>([&] { stream.GetPosition(); }), tooLarge);
        stream.SetPosition(0);
        stream.Truncate();
    }
    EXPECT_TRUE(ReadFileBytes(Name).empty());
}

// ---- Failures reported by the system -------------------------------------------------------

TEST_F(FileStreamTest, InjectedFailuresCarryTheirMessagesAndTheSystemText) {
    WriteFileBytes(Name, Pattern(100));
    TFileFaults faults;
    {
        TFileStream stream(Name, UpdateMode);
        uint8_t buffer[10] = {};
        faults.Fail(TFileCall::Read, ERROR_ACCESS_DENIED);
        ExpectSystemMessage(MessageOf<EInOutError>([&] { stream.Read(buffer, 10); }),
                            "Error reading from stream - ");
        faults.Fail(TFileCall::GetSize, ERROR_INVALID_HANDLE);
        ExpectSystemMessage(MessageOf<EInOutError>([&] { stream.GetSize(); }), "IO-error: ");
        faults.Fail(TFileCall::SetPointer, ERROR_INVALID_HANDLE);
        ExpectSystemMessage(MessageOf<EInOutError>([&] { stream.GetPosition(); }), "IO-error: ");
        faults.Fail(TFileCall::SetPointer, ERROR_INVALID_HANDLE, 1);
        EXPECT_EQ(stream.GetPosition(), 0);
        ExpectSystemMessage(MessageOf<EInOutError>([&] { stream.BytesLeft(); }), "IO-error: ");
        faults.Fail(TFileCall::Flush, ERROR_DISK_FULL);
        stream.Flush(); // the result is ignored
        EXPECT_EQ(faults.Calls(TFileCall::Flush), 1);

        // A disk that fills up in the middle of a write.
        faults.Short(TFileCall::Write, 3, ERROR_DISK_FULL);
        ExpectSystemMessage(MessageOf<EInOutError>([&] { stream.Write(buffer, 10); }),
                            "Error writing to stream - ");
        EXPECT_EQ(stream.GetPosition(), 3);

        // A short write without an error: raised with the short-transfer text while strict.
        faults.Short(TFileCall::Write, 4, 0, 0, 2);
        EXPECT_EQ(MessageOf<EInOutError>([&] { stream.Write(buffer, 10); }), SReadLessThanExpected);
        stream.SetStrict(false);
        EXPECT_EQ(stream.Write(buffer, 10), 4);
        EXPECT_EQ(faults.OpenHandles(), 1);
    }
    EXPECT_EQ(faults.OpenHandles(), 0);
}

TEST(GetLastErrorText, DropsTheFullStopAndLineEndThatEndTheSystemText) {
    // System texts end in ".\r\n" (on Windows, and so in the Linux substitute); what is left
    // without those three characters, and nothing more, is the text.
    const DWORD codes[] = {ERROR_ACCESS_DENIED, ERROR_DISK_FULL, ERROR_FILE_NOT_FOUND};
    for (const DWORD code : codes) {
        char raw[256];
        const DWORD length =
            FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, raw, sizeof raw, nullptr);
        const std::string text(raw, length);
        ASSERT_GT(text.size(), 3u);
        ASSERT_EQ(text.substr(text.size() - 3), ".\r\n") << code;
        SetLastError(code);
        EXPECT_EQ(GetLastErrorText(), text.substr(0, text.size() - 3));
    }
}

TEST(GetLastErrorText, FallsBackToTheNumberWithoutASystemText) {
    SetLastError(0x0ABCDEF0u); // no message for it anywhere
    EXPECT_EQ(GetLastErrorText(), "System error 180150000");
}

// ---- CopyFrom ----------------------------------------------------------------------------

TEST_F(FileStreamTest, CopyFromWritesChunksOf4096AndRestoresStrict) {
    WriteFileBytes(Name, Pattern(10000));
    for (bool strict : {true, false}) {
        TFileStream source(Name, ReadMode);
        source.SetStrict(strict);
        TStreamLog log;
        TRecordingStream target(log);
        target.CopyFrom(&source);
        EXPECT_EQ(log.Writes, (std::vector<int32_t>{4096, 4096, 1808}));
        EXPECT_EQ(log.Data, Pattern(10000));
        EXPECT_EQ(source.Strict, strict);
        EXPECT_TRUE(source.Eof());
    }
}

TEST_F(FileStreamTest, CopyFromAnEmptySourceOrOnePastItsEndWritesNothing) {
    WriteFileBytes(Name, {});
    TStreamLog log;
    TRecordingStream target(log);
    {
        TFileStream source(Name, ReadMode);
        target.CopyFrom(&source);
    }
    WriteFileBytes(Name, Pattern(10));
    {
        // Past its end a file never reports Eof, and every read gives 0 bytes.
        TFileStream source(Name, ReadMode);
        source.SetPosition(20);
        target.CopyFrom(&source);
        EXPECT_TRUE(source.Strict);
    }
    EXPECT_TRUE(log.Writes.empty());
}

TEST(CopyFrom, SourceStrictIsRestoredWhenAnErrorPasses) {
    TStreamLog sourceLog, targetLog;
    TRecordingStream source(sourceLog, Pattern(10000));
    TRecordingStream target(targetLog);
    source.ReadsBeforeError = 1;
    EXPECT_EQ(MessageOf<EInOutError>([&] { target.CopyFrom(&source); }), "memory read failed");
    EXPECT_TRUE(source.Strict);
    EXPECT_EQ(sourceLog.StrictSets, (std::vector<bool>{false, true}));

    source.ReadsBeforeError = -1;
    source.Position = 0;
    target.WritesBeforeError = 0;
    EXPECT_EQ(MessageOf<EInOutError>([&] { target.CopyFrom(&source); }), "memory write failed");
    EXPECT_TRUE(source.Strict);
}

// ---- Filters and FreeChain ---------------------------------------------------------------

TEST_F(FileStreamTest, FiltersForwardAndFreeChainReleasesTheStackTopDown) {
    FreeChain(nullptr);

    WriteFileBytes(Name, Pattern(10));
    std::vector<std::string> order;
    TFileFaults faults;
    auto* file = new TFileStream(Name, ReadMode);
    auto* lower = new TNamedFilter(file, order, "lower");
    auto* top = new TNamedFilter(lower, order, "top");
    EXPECT_FALSE(top->CanRead); // a plain filter does not copy its source's flags

    uint8_t buffer[4];
    EXPECT_EQ(top->Read(buffer, 4), 4);
    EXPECT_EQ(top->BytesLeft(), 6);
    top->SetStrict(false);
    EXPECT_FALSE(file->Strict);
    EXPECT_EQ(top->Read(buffer, 4), 4);
    EXPECT_EQ(top->Read(buffer, 4), 2);
    EXPECT_TRUE(top->Eof());
    EXPECT_EQ(MessageOf<EInOutError>([&] { top->Write(buffer, 1); }).rfind("Error writing", 0), 0u);

    FreeChain(top);
    EXPECT_EQ(order, (std::vector<std::string>{"top", "lower"}));
    EXPECT_EQ(faults.Calls(TFileCall::Close), 1);
    EXPECT_EQ(faults.OpenHandles(), 0);
}

TEST(FreeChain, FreesAFilterOverANullSource) {
    FreeChain(new TFilterStream(nullptr));
}

// ---- Delete ------------------------------------------------------------------------------

TEST_F(FileStreamTest, DeleteRemovesTheFileAndFreesTheObject) {
    WriteFileBytes(Name, Pattern(10));
    TFileFaults faults;
    (new TFileStream(Name, ReadMode))->Delete();
    EXPECT_FALSE(FileExists(Name));
    EXPECT_EQ(faults.Calls(TFileCall::Close), 1);
    EXPECT_EQ(faults.OpenHandles(), 0);
}

TEST_F(FileStreamTest, DeleteThatCannotDeleteLeavesTheHandleClosed) {
    WriteFileBytes(Name, Pattern(10));
    TFileFaults faults;
    {
        // Another handle that does not share deletion keeps the file.
        TFileStream other(Name, ReadMode);
        auto* stream = new TFileStream(Name, ReadMode);
        ExpectSystemMessage(MessageOf<EInOutError>([&] { stream->Delete(); }),
                            "Error deleting \"" + Name + "\" - ");
        EXPECT_EQ(stream->Handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(faults.Calls(TFileCall::Close), 1);
        delete stream;
        EXPECT_EQ(faults.Calls(TFileCall::Close), 1); // not closed a second time
    }
    EXPECT_TRUE(FileExists(Name));
    EXPECT_EQ(faults.OpenHandles(), 0);
}

TEST_F(FileStreamTest, DeleteWhoseCloseFailsKeepsTheObjectAndItsHandle) {
    WriteFileBytes(Name, Pattern(10));
    TFileFaults faults;
    auto* stream = new TFileStream(Name, ReadMode);
    faults.Fail(TFileCall::Close, ERROR_INVALID_HANDLE);
    ExpectSystemMessage(MessageOf<EInOutError>([&] { stream->Delete(); }),
                        "Error closing \"" + Name + "\" - ");
    EXPECT_NE(stream->Handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(faults.Calls(TFileCall::Delete), 0);
    EXPECT_EQ(faults.OpenHandles(), 1);
    delete stream; // closes the handle that is still open
    EXPECT_EQ(faults.OpenHandles(), 0);
    EXPECT_TRUE(FileExists(Name));

    // A failed open leaves nothing open either.
    faults.Fail(TFileCall::Create, ERROR_TOO_MANY_OPEN_FILES);
    ExpectSystemMessage(MessageOf<EInOutError>([&] { TFileStream again(Name, ReadMode); }),
                        "Error opening \"" + Name + "\" - ");
    EXPECT_EQ(faults.OpenHandles(), 0);
}
