// Shared pieces of the fuzz harnesses: typed values read off the fuzzer's bytes, checks that
// stop the run with a message, and the library start-up.
#pragma once

#include "library/Startup.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace vt::fuzz {

// Reads values off the front of the input; once it is used up every value reads as 0.
class TFuzzInput {
public:
    TFuzzInput(const uint8_t* data, size_t size) : Data(data), Size(size) {}

    uint8_t U8() { return Pos < Size ? Data[Pos++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }
    int32_t I32() { return static_cast<int32_t>(U32()); }
    bool Bool() { return (U8() & 1) != 0; }
    // Up to N bytes, fewer at the end of the input.
    std::string_view Bytes(size_t n) {
        const size_t take = n < Left() ? n : Left();
        const std::string_view bytes(reinterpret_cast<const char*>(Data + Pos), take);
        Pos += take;
        return bytes;
    }
    std::string_view Rest() { return Bytes(Left()); }
    size_t Left() const { return Size - Pos; }
    bool Empty() const { return Pos >= Size; }

private:
    const uint8_t* Data;
    size_t Size;
    size_t Pos = 0;
};

// A finding: says what went wrong and stops the process, so that the fuzzer keeps the input
// and the replay test fails.
[[noreturn]] inline void Finding(const char* file, int line, const char* condition,
                                 const std::string& detail) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n  %s\n", file, line, condition, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

#define VT_FUZZ_CHECK(condition, detail)                                                           \
    do {                                                                                           \
        if (!(condition))                                                                          \
            ::vt::fuzz::Finding(__FILE__, __LINE__, #condition, (detail));                         \
    } while (false)

// With VT_FUZZ_TRACE set in the environment, harnesses say what they do, so that a finding's
// input can be followed step by step (run it with the replay program).
inline bool Tracing() {
    static const bool tracing = std::getenv("VT_FUZZ_TRACE") != nullptr;
    return tracing;
}

#define VT_FUZZ_TRACE(...)                                                                         \
    do {                                                                                           \
        if (::vt::fuzz::Tracing())                                                                 \
            std::fprintf(stderr, __VA_ARGS__);                                                     \
    } while (false)

// Starts the library once for the whole run, as a program that uses it does.
inline void Startup() {
    static TLibraryScope library;
}

} // namespace vt::fuzz
