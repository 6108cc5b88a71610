// Helpers of the file and stream tests: a temporary directory of the test program's own, file
// contents in and out, and in-memory streams that record what is done to them.
#pragma once

#include "streams/Streams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace vt::test {

using TBytes = std::vector<uint8_t>;

// A fresh directory under the system's temporary directory, removed with everything in it.
class TTempDir {
public:
    TTempDir() {
        std::random_device seed;
        const auto base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            Root = base / ("veltrane-test-" + std::to_string(seed()));
            if (std::filesystem::create_directory(Root))
                return;
        }
        throw std::runtime_error("cannot create a temporary directory");
    }
    ~TTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(Root, ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    std::string Path(const std::string& name) const { return (Root / name).string(); }

private:
    std::filesystem::path Root;
};

// Bytes 0, 1, ... 250, 0, 1, ...: a pattern whose period is not a power of two, so that a
// misplaced chunk shows.
inline TBytes Pattern(size_t size, size_t start = 0) {
    TBytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((start + i) % 251);
    return bytes;
}

inline void WriteFileBytes(const std::string& path, const TBytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

inline TBytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool FileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

// Checks a message made of a pattern ending in " - %s" and the system's text: the part before
// the text is exact, the text is there and has no trailing full stop or line end.
inline void ExpectSystemMessage(const std::string& message, const std::string& prefix) {
    ASSERT_GE(message.size(), prefix.size()) << message;
    EXPECT_EQ(message.substr(0, prefix.size()), prefix) << message;
    const std::string text = message.substr(prefix.size());
    EXPECT_FALSE(text.empty()) << message;
    if (!text.empty()) {
        EXPECT_NE(text.back(), '.') << message;
        EXPECT_GT(static_cast<unsigned char>(text.back()), ' ') << message;
    }
}

// Runs Action, which must raise an exception of class E; returns its message.
template <typename E, typename TAction> std::string MessageOf(TAction action) {
    try {
        action();
    } catch (const E& e) {
        return e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "raised another class: " << e.what();
        return {};
    }
    ADD_FAILURE() << "did not raise";
    return {};
}

// What happened to an in-memory stream; it outlives the stream so that a test can look at it
// after FreeChain.
struct TStreamLog {
    std::vector<int32_t> Writes;  // byte counts asked of Write
    std::vector<int32_t> Reads;   // byte counts asked of Read
    std::vector<bool> StrictSets; // values given to SetStrict
    TBytes Data;                  // every byte written, in order
    bool Destroyed = false;
    bool StrictWhenDestroyed = false;
    std::vector<std::string>* Order = nullptr; // gets Name appended on destruction
};

// A stream over memory: reads hand out Source from the front, writes append to the log's
// Data. A limit makes writes take at most that many bytes (a short write that a strict stream
// reports with "Read less than expected", like a file); a countdown makes a call raise.
class TRecordingStream : public TBaseStream {
public:
    explicit TRecordingStream(TStreamLog& log, TBytes source = {}, const char* name = "memory")
        : Log(log), Source(std::move(source)), Name(name) {
        CanRead = CanWrite = true;
    }
    ~TRecordingStream() override {
        Log.Destroyed = true;
        Log.StrictWhenDestroyed = Strict;
        if (Log.Order != nullptr)
            Log.Order->push_back(Name);
    }

    void SetStrict(bool Value) override {
        Log.StrictSets.push_back(Value);
        TBaseStream::SetStrict(Value);
    }
    int32_t Write(const void* Buffer, int32_t Count) override {
        Log.Writes.push_back(Count);
        if (WritesBeforeError == 0)
            throw EInOutError("memory write failed");
        --WritesBeforeError;
        const int32_t taken = WriteLimit < 0 ? Count : std::min(Count, WriteLimit);
        const auto* bytes = static_cast<const uint8_t*>(Buffer);
        Log.Data.insert(Log.Data.end(), bytes, bytes + taken);
        if (Strict && taken != Count)
            throw EInOutError(SReadLessThanExpected);
        return taken;
    }
    int32_t Read(void* Buffer, int32_t Count) override {
        Log.Reads.push_back(Count);
        if (ReadsBeforeError == 0)
            throw EInOutError("memory read failed");
        --ReadsBeforeError;
        const int32_t n = std::min<int32_t>(Count, BytesLeft());
        if (n > 0)
            std::memcpy(Buffer, Source.data() + Position, static_cast<size_t>(n));
        Position += static_cast<size_t>(std::max(n, 0));
        if (Strict && n != Count)
            throw EInOutError(SReadLessThanExpected);
        return std::max(n, 0);
    }
    int32_t BytesLeft() override {
        return static_cast<int32_t>(Source.size()) - static_cast<int32_t>(Position);
    }

    TStreamLog& Log;
    TBytes Source;
    size_t Position = 0;
    int32_t WriteLimit = -1;        // -1: writes take everything
    int32_t WritesBeforeError = -1; // -1: never raise
    int32_t ReadsBeforeError = -1;
    const char* Name;
};

} // namespace vt::test
