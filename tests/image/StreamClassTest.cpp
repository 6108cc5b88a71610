// Saving containers to files and loading them back through the buffered file streams, and
// what is left behind when a save or a load fails.
#include "../streams/StreamTestSupport.h"

#include "image/StreamClass.h"
#include "platform/FileApi.h"
#include "rtl/Memory.h"
#include "streams/BufStream.h"

#include <gtest/gtest.h>

using namespace vt;
using namespace vt::test;

namespace {

// A container whose stream format is its byte count followed by its bytes; it can be told to
// fail after writing or reading part of itself.
class TBlob : public TStreamClass {
public:
    void SaveToStream(TBaseStream* Stream) override {
        const auto size = static_cast<int32_t>(Bytes.size());
        Stream->Write(&size, sizeof size);
        Stream->Write(Bytes.data(), size / 2);
        if (FailHalfway)
            throw Exception("save failed halfway");
        Stream->Write(Bytes.data() + size / 2, size - size / 2);
    }
    void LoadFromStream(TBaseStream* Stream) override {
        int32_t size = 0;
        Stream->Read(&size, sizeof size);
        Bytes.assign(static_cast<size_t>(size), 0);
        Stream->Read(Bytes.data(), size);
        if (FailHalfway)
            throw Exception("load failed");
    }

    TBytes Bytes;
    bool FailHalfway = false;
};

class StreamClassTest : public testing::Test {
protected:
    TTempDir Dir;
    std::string Name = Dir.Path("blob.dat");
    long Blocks = AllocatedBlocks();
    TFileFaults Faults;

    void TearDown() override {
        EXPECT_EQ(AllocatedBlocks(), Blocks) << "buffer leaked";
        EXPECT_EQ(Faults.OpenHandles(), 0) << "file left open";
    }
};

} // namespace

TEST_F(StreamClassTest, BaseSavesAnEmptyFileTruncatingAnExistingOne) {
    WriteFileBytes(Name, Pattern(5000));
    TStreamClass object;
    object.SaveToFile(Name);
    EXPECT_TRUE(FileExists(Name));
    EXPECT_TRUE(ReadFileBytes(Name).empty());
    object.LoadFromFile(Name); // only checks that the file opens
}

TEST_F(StreamClassTest, SavesAndLoadsThroughBufferedFiles) {
    for (size_t size : {size_t{0}, size_t{10}, size_t{100000}}) {
        TBlob saved;
        saved.Bytes = Pattern(size);
        saved.SaveToFile(Name);
        EXPECT_EQ(ReadFileBytes(Name).size(), size + 4);
        TBlob loaded;
        loaded.LoadFromFile(Name);
        EXPECT_EQ(loaded.Bytes, saved.Bytes);
    }
}

TEST_F(StreamClassTest, OpenFailuresCarryTheStreamMessages) {
    TBlob blob;
    const std::string missing = Dir.Path("missing.dat");
    ExpectSystemMessage(MessageOf<EInOutError>([&] { blob.LoadFromFile(missing); }),
                        "Error opening \"" + missing + "\" - ");
    EXPECT_FALSE(FileExists(missing));
    const std::string badDir = Dir.Path("no-dir/blob.dat");
    ExpectSystemMessage(MessageOf<EInOutError>([&] { blob.SaveToFile(badDir); }),
                        "Error opening \"" + badDir + "\" - ");

    // A file being loaded cannot be saved over (the reader does not share writing).
    blob.Bytes = Pattern(10);
    blob.SaveToFile(Name);
    TBufferedStream* reader = OpenBufferedFile(Name, false);
    ExpectSystemMessage(MessageOf<EInOutError>([&] { blob.SaveToFile(Name); }),
                        "Error opening \"" + Name + "\" - ");
    FreeChain(reader);
    EXPECT_EQ(ReadFileBytes(Name).size(), 14u);
}

TEST_F(StreamClassTest, AFailedSaveReportsItsOwnErrorAndStillWritesWhatItWrote) {
    TBlob blob;
    blob.Bytes = Pattern(1000);
    blob.FailHalfway = true;
    EXPECT_EQ(MessageOf<Exception>([&] { blob.SaveToFile(Name); }), "save failed halfway");
    EXPECT_EQ(ReadFileBytes(Name).size(), 504u);

    // When the release fails as well, the save's error is still the one reported.
    Faults.Fail(TFileCall::Write, ERROR_DISK_FULL);
    EXPECT_EQ(MessageOf<Exception>([&] { blob.SaveToFile(Name); }), "save failed halfway");
}

TEST_F(StreamClassTest, AFullDiskIsReportedAndNothingStaysOpen) {
    TBlob blob;
    blob.Bytes = Pattern(200000);
    // The direct write of the large rest runs into the full disk.
    Faults.Short(TFileCall::Write, 1000, ERROR_DISK_FULL, 1);
    ExpectSystemMessage(MessageOf<EInOutError>([&] { blob.SaveToFile(Name); }),
                        "Error writing to stream - ");
    EXPECT_EQ(ReadFileBytes(Name).size(), 65536u + 1000u);

    // Only the final flush fails.
    blob.Bytes = Pattern(100);
    Faults.Fail(TFileCall::Write, ERROR_DISK_FULL);
    ExpectSystemMessage(MessageOf<EInOutError>([&] { blob.SaveToFile(Name); }),
                        "Error writing to stream - ");
    EXPECT_TRUE(ReadFileBytes(Name).empty());
}

TEST_F(StreamClassTest, AFailedLoadStillClosesTheFile) {
    TBlob blob;
    blob.Bytes = Pattern(100);
    blob.SaveToFile(Name);
    blob.FailHalfway = true;
    EXPECT_EQ(MessageOf<Exception>([&] { blob.LoadFromFile(Name); }), "load failed");

    // A file shorter than its contents claim.
    WriteFileBytes(Name, {50, 0, 0, 0, 1, 2, 3});
    blob.FailHalfway = false;
    EXPECT_EQ(MessageOf<EInOutError>([&] { blob.LoadFromFile(Name); }), SReadLessThanExpected);

    Faults.Fail(TFileCall::Read, ERROR_ACCESS_DENIED);
    ExpectSystemMessage(MessageOf<EInOutError>([&] { blob.LoadFromFile(Name); }),
                        "Error reading from stream - ");
}
