// Faults swept over whole operations: each file call an operation makes is failed in turn (and
// each transfer cut short), and each allocation it makes is refused in turn. Every time, the
// error must reach the caller with its message, no handle or buffer may be left behind, and
// the objects must be in the states their contracts promise.
#include "../streams/StreamTestSupport.h"

#include "expr/ExpressionEval.h"
#include "image/StreamClass.h"
#include "math/FloatMap.h"
#include "platform/FileApi.h"
#include "platform/Win32.h"
#include "plugin/PluginLinearBitmap.h"
#include "rtl/Memory.h"
#include "streams/BufStream.h"
#include "streams/StringLists.h"
#include "stretch/StretchTransform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace vt;
using namespace vt::test;

namespace {

// ---- Handles the system really holds -------------------------------------------------------

#if defined(_WIN32)
using TSecurity = LPSECURITY_ATTRIBUTES;
#else
using TSecurity = void*;
#endif

// The handles opened through the system and not yet closed there. The recording table sits
// below the injected faults, so a close that a fault stopped still shows as an open handle.
std::vector<HANDLE> SystemHandles;

HANDLE WINAPI RecordingCreate(LPCSTR name, DWORD access, DWORD share, TSecurity security,
                              DWORD creation, DWORD flags, HANDLE templateFile) {
    HANDLE handle =
        SystemFileApi().CreateFileA(name, access, share, security, creation, flags, templateFile);
    if (handle != INVALID_HANDLE_VALUE)
        SystemHandles.push_back(handle);
    return handle;
}

BOOL WINAPI RecordingClose(HANDLE handle) {
    const BOOL ok = SystemFileApi().CloseHandle(handle);
    const auto known = std::find(SystemHandles.begin(), SystemHandles.end(), handle);
    if (ok && known != SystemHandles.end())
        SystemHandles.erase(known);
    return ok;
}

TFileApi RecordingApi() {
    TFileApi api = SystemFileApi();
    api.CreateFileA = RecordingCreate;
    api.CloseHandle = RecordingClose;
    return api;
}

// Closes what a failed CloseHandle left open and says how many that were.
size_t CloseLeftovers() {
    const size_t count = SystemHandles.size();
    for (HANDLE handle : SystemHandles)
        SystemFileApi().CloseHandle(handle);
    SystemHandles.clear();
    return count;
}

// The system's text for an error code, as the stream messages carry it.
std::string SystemText(DWORD code) {
    SetLastError(code);
    return GetLastErrorText();
}

// ---- A container with a payload ------------------------------------------------------------

// Saves and loads its payload in chunks of varying sizes, so that the buffered streams take
// every path (small requests, requests that fill the buffer, requests that bypass it), and
// asks how many bytes are left before every read, so that sizes and positions are asked too.
class TPayload : public TStreamClass {
public:
    void SaveToStream(TBaseStream* Stream) override {
        size_t at = 0;
        for (size_t i = 0; at < Bytes.size(); ++i) {
            const size_t n = std::min(Chunk(i), Bytes.size() - at);
            Stream->Write(Bytes.data() + at, static_cast<int32_t>(n));
            at += n;
        }
    }
    void LoadFromStream(TBaseStream* Stream) override {
        Bytes.clear();
        for (size_t i = 0; !Stream->Eof(); ++i) {
            const size_t n =
                std::min(Chunk(i), static_cast<size_t>(std::max(Stream->BytesLeft(), 0)));
            const size_t at = Bytes.size();
            Bytes.resize(at + n);
            Stream->Read(Bytes.data() + at, static_cast<int32_t>(n));
        }
    }

    TBytes Bytes;

private:
    static size_t Chunk(size_t i) {
        static const size_t Sizes[] = {1, 100, 70000, 3, 65536, 5000, 7, 131072, 65535};
        return Sizes[i % (sizeof Sizes / sizeof Sizes[0])];
    }
};

const TBytes& SavedPayload() {
    static const TBytes bytes = Pattern(400000, 17);
    return bytes;
}

const std::vector<TFileCall> AllCalls = {
    TFileCall::Create,  TFileCall::Read,   TFileCall::Write, TFileCall::SetPointer,
    TFileCall::GetSize, TFileCall::SetEnd, TFileCall::Flush, TFileCall::Close};

class FileFaultSweep : public testing::Test {
protected:
    void SetUp() override { WriteFileBytes(Existing, SavedPayload()); }
    void TearDown() override { CloseLeftovers(); }

    // The message a failed call of this kind reaches the caller with.
    std::string Expected(TFileCall call, const std::string& name, DWORD code) const {
        const std::string text = SystemText(code);
        switch (call) {
        case TFileCall::Create:
            return "Error opening \"" + name + "\" - " + text;
        case TFileCall::Read:
            return "Error reading from stream - " + text;
        case TFileCall::Write:
            return "Error writing to stream - " + text;
        case TFileCall::SetPointer:
        case TFileCall::GetSize:
            return "IO-error: " + text;
        default:
            return "(no error: the call's result is not used)";
        }
    }

    // Runs Operation in a clean run to count its calls, then once per call with that call
    // failing. Opened names the files in the order the operation opens them. Check gets the
    // run's error message (empty when it succeeded) and whether the fault struck; handles and
    // buffers are checked here.
    void Sweep(const std::vector<std::string>& opened, const std::function<void()>& operation,
               const std::function<void(TFileCall, bool, const std::string&)>& check) {
        TFileApiScope recording(Api);
        int32_t clean[FileCallCount] = {};
        {
            TFileFaults counter;
            operation();
            for (TFileCall call : AllCalls)
                clean[static_cast<int>(call)] = counter.Calls(call);
        }
        for (TFileCall call : AllCalls) {
            const int32_t calls = clean[static_cast<int>(call)];
            for (int32_t n = 0; n <= calls; ++n) {
                const auto code =
                    static_cast<DWORD>(n % 2 == 0 ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED);
                const long blocks = AllocatedBlocks();
                std::string message;
                bool struck;
                {
                    TFileFaults faults;
                    faults.Fail(call, code, n);
                    try {
                        operation();
                    } catch (const Exception& e) {
                        message = e.Message;
                    }
                    struck = faults.Calls(call) > n;
                }
                SCOPED_TRACE(testing::Message() << "call kind " << static_cast<int>(call)
                                                << ", call " << n << " of " << calls);
                const std::string& name =
                    opened[std::min(static_cast<size_t>(n), opened.size() - 1)];
                if (!message.empty()) {
                    EXPECT_EQ(message, Expected(call, name, code));
                }
                // A failed close is not retried: that one handle stays open, no other does.
                EXPECT_EQ(CloseLeftovers(), call == TFileCall::Close && struck ? 1u : 0u);
                EXPECT_EQ(AllocatedBlocks(), blocks);
                check(call, struck, message);
            }
        }
    }

    TTempDir Dir;
    std::string Existing = Dir.Path("existing.dat");
    std::string Target = Dir.Path("target.dat");
    TFileApi Api = RecordingApi();
};

} // namespace

TEST_F(FileFaultSweep, EverySaveErrorReachesTheCallerAndTheFileIsClosed) {
    TPayload payload;
    payload.Bytes = SavedPayload();
    Sweep(
        {Target}, [&] { payload.SaveToFile(Target); },
        [&](TFileCall call, bool struck, const std::string& message) {
            // Only the close's result is ignored; every other failure is reported.
            const bool reported = struck && call != TFileCall::Close;
            EXPECT_EQ(!message.empty(), reported) << message;
            if (!reported) {
                EXPECT_EQ(ReadFileBytes(Target), SavedPayload());
            }
        });
}

TEST_F(FileFaultSweep, EveryLoadErrorReachesTheCallerAndTheFileIsClosed) {
    TPayload payload;
    Sweep(
        {Existing}, [&] { payload.LoadFromFile(Existing); },
        [&](TFileCall call, bool struck, const std::string& message) {
            const bool reported = struck && call != TFileCall::Close;
            EXPECT_EQ(!message.empty(), reported) << message;
            if (!reported) {
                EXPECT_EQ(payload.Bytes, SavedPayload());
            }
        });
}

TEST_F(FileFaultSweep, CopyingBetweenBufferedFilesReleasesBothStacks) {
    // Two files open at once: a failure anywhere still closes both.
    Sweep(
        {Existing, Target},
        [&] {
            TBufferedStream* from = OpenBufferedFile(Existing, false);
            TBufferedStream* to = nullptr;
            try {
                to = OpenBufferedFile(Target, true);
                to->CopyFrom(from);
            } catch (...) {
                FreeChain(from);
                try {
                    FreeChain(to);
                } catch (...) {
                }
                throw;
            }
            FreeChain(from);
            FreeChain(to);
        },
        [&](TFileCall call, bool struck, const std::string& message) {
            EXPECT_EQ(!message.empty(), struck && call != TFileCall::Close) << message;
            if (message.empty()) {
                EXPECT_EQ(ReadFileBytes(Target), SavedPayload());
            }
        });
}

TEST_F(FileFaultSweep, ShortTransfersAreReportedOrMadeUpFor) {
    TFileApiScope recording(Api);
    const std::string diskFull = "Error writing to stream - " + SystemText(ERROR_DISK_FULL);
    TPayload payload;
    for (const DWORD limit : {0u, 1u, 65535u}) {
        for (int32_t skip = 0; skip < 12; ++skip) {
            SCOPED_TRACE(testing::Message() << "limit " << limit << ", skip " << skip);
            // A short read is harmless when it still brings what the caller asked for (later
            // reads go on where it stopped); otherwise it is "Read less than expected". Either
            // way no wrong byte is loaded.
            {
                TFileFaults faults;
                faults.Short(TFileCall::Read, limit, 0, skip, 1);
                try {
                    payload.LoadFromFile(Existing);
                    EXPECT_EQ(payload.Bytes, SavedPayload());
                } catch (const EInOutError& e) {
                    EXPECT_EQ(e.Message, "Read less than expected");
                }
            }
            // A write cut short is always an error, whether the system says why (a full disk)
            // or not; a write within the limit fails only when the system says so.
            payload.Bytes = SavedPayload();
            for (const DWORD error : {DWORD{0}, DWORD{ERROR_DISK_FULL}}) {
                TFileFaults faults;
                faults.Short(TFileCall::Write, limit, error, skip, 1);
                std::string message;
                try {
                    payload.SaveToFile(Target);
                } catch (const EInOutError& e) {
                    message = e.Message;
                }
                const auto& requests = faults.Requests(TFileCall::Write);
                const bool struck = requests.size() > static_cast<size_t>(skip);
                if (struck && error != 0) {
                    EXPECT_EQ(message, diskFull);
                } else if (struck && requests[static_cast<size_t>(skip)] > limit) {
                    EXPECT_EQ(message, "Read less than expected");
                } else {
                    EXPECT_EQ(ReadFileBytes(Target), SavedPayload());
                }
            }
            EXPECT_EQ(CloseLeftovers(), 0u);
        }
    }
}

TEST_F(FileFaultSweep, FreeChainClosesTheFileWhenTheLastFlushFails) {
    // A stack of two buffered streams over a file; the write of the final flush fails. Every
    // layer is still freed, the file closed, and the flush's error is the one reported.
    TFileApiScope recording(Api);
    const long blocks = AllocatedBlocks();
    {
        TFileFaults faults;
        auto* file = new TFileStream(Target, smRead | smWrite | smCreate);
        auto* lower = new TBufferedStream(0, 4096, file);
        auto* upper = new TBufferedStream(0, 100, lower);
        upper->Write(SavedPayload().data(), 50);
        faults.Fail(TFileCall::Write, ERROR_DISK_FULL);
        EXPECT_EQ(MessageOf<EInOutError>([&] { FreeChain(upper); }),
                  "Error writing to stream - " + SystemText(ERROR_DISK_FULL));
        EXPECT_EQ(faults.OpenHandles(), 0);
    }
    EXPECT_EQ(CloseLeftovers(), 0u);
    EXPECT_EQ(AllocatedBlocks(), blocks);
}

// ---- Allocation failures -------------------------------------------------------------------

namespace {

// Refuses the allocation after Pass successful ones, for the lifetime of the object.
class TFailingAllocation {
public:
    explicit TFailingAllocation(int pass) {
        Remaining = pass;
        SetAllocFailHook(Hook);
    }
    ~TFailingAllocation() { SetAllocFailHook(nullptr); }
    TFailingAllocation(const TFailingAllocation&) = delete;
    TFailingAllocation& operator=(const TFailingAllocation&) = delete;

    // Whether the refused allocation was asked for.
    static bool Reached() { return Remaining < 0; }

private:
    static bool Hook(size_t) { return Remaining-- == 0; }
    static inline int Remaining = -1;
};

// Runs Operation with its first, second, ... allocation refused until a run gets through;
// Check(failed) looks at the state after each run. Every refusal must be EOutOfMemory, and
// after a failed run the library holds as many blocks as before it, or as many as Expected
// says for the count before. Returns the number of allocations of a complete run.
int SweepAllocations(const std::function<void()>& setup, const std::function<void()>& operation,
                     const std::function<void(bool failed)>& check,
                     const std::function<long(long before)>& expected = nullptr) {
    for (int n = 0; n < 1000; ++n) {
        setup();
        const long blocks = AllocatedBlocks();
        bool failed = false;
        bool reached;
        {
            TFailingAllocation failing(n);
            try {
                operation();
            } catch (const EOutOfMemory&) {
                failed = true;
            }
            reached = TFailingAllocation::Reached();
        }
        SCOPED_TRACE(testing::Message() << "allocation " << n);
        EXPECT_EQ(failed, reached) << "a refused allocation was not reported";
        check(failed);
        if (!reached)
            return n;
        EXPECT_EQ(AllocatedBlocks(), expected ? expected(blocks) : blocks) << "blocks leaked";
    }
    ADD_FAILURE() << "the operation never got through";
    return -1;
}

// The fields of a linear bitmap that must survive a failed operation.
struct TBitmapState {
    explicit TBitmapState(const TLinearBitmap& b)
        : Width(b.Width), Height(b.Height), BytesPerLine(b.BytesPerLine), Size(b.Size),
          Format(b.PixelFormat), Present(b.Present), Map(b.Map), Palette(b.Palette),
          Pixels(b.Map, b.Map + (b.Map ? b.Size : 0)) {}
    bool operator==(const TBitmapState&) const = default;

    int32_t Width, Height, BytesPerLine, Size;
    uint8_t Format;
    bool Present;
    const uint8_t* Map;
    const uint8_t* Palette;
    TBytes Pixels;
};

// A linear bitmap with padded rows, as only subclasses make them.
class TPaddedBitmap : public TLinearBitmap {
public:
    void MakePadded(int32_t width, int32_t height, int32_t bytesPerLine) {
        New(width, height, pf24bit);
        FreeMem(Map);
        Map = static_cast<uint8_t*>(GetMem(static_cast<size_t>(bytesPerLine * height) + 1));
        for (int32_t i = 0; i < bytesPerLine * height; ++i)
            Map[i] = static_cast<uint8_t>(i * 7);
        BytesPerLine = bytesPerLine;
        Size = bytesPerLine * height;
    }
};

// A 24-bit picture with some spread in every channel.
void Paint(uint8_t* pixels, size_t count) {
    for (size_t i = 0; i < count; ++i)
        pixels[i] = static_cast<uint8_t>((i * 37 + (i / 3) * 11) % 256);
}

} // namespace

TEST(AllocationFailureSweep, NewLeavesTheBitmapAsItWas) {
    // From each kind of holding state into each format; 8-bit needs a second block.
    for (const uint8_t from : {pfNone, pf8bit, pf24bit}) {
        for (const uint8_t to : {pf8bit, pf16bit, pf24bit, pf32bit}) {
            SCOPED_TRACE(testing::Message() << "from " << int{from} << " to " << int{to});
            TLinearBitmap bitmap;
            auto setup = [&] {
                if (from == pfNone) {
                    bitmap.Dispose();
                } else {
                    bitmap.New(3, 2, from);
                    std::memset(bitmap.Map, 0x3C, static_cast<size_t>(bitmap.Size));
                }
            };
            std::unique_ptr<TBitmapState> before;
            SweepAllocations(
                [&] {
                    setup();
                    before = std::make_unique<TBitmapState>(bitmap);
                },
                [&] { bitmap.New(7, 5, to); },
                [&](bool failed) {
                    if (failed) {
                        EXPECT_TRUE(TBitmapState(bitmap) == *before);
                    } else {
                        EXPECT_EQ(bitmap.Size, 7 * 5 * PixelSizeOf(to));
                    }
                });
        }
    }
}

TEST(AllocationFailureSweep, PackLinesKeepsThePaddedRowsOnFailure) {
    TPaddedBitmap bitmap;
    std::unique_ptr<TBitmapState> before;
    SweepAllocations(
        [&] {
            bitmap.MakePadded(5, 3, 16);
            before = std::make_unique<TBitmapState>(bitmap);
        },
        [&] { bitmap.PackLines(); },
        [&](bool failed) {
            if (failed) {
                EXPECT_TRUE(TBitmapState(bitmap) == *before);
            } else {
                EXPECT_EQ(bitmap.BytesPerLine, 15);
                for (int32_t y = 0; y < 3; ++y)
                    EXPECT_EQ(std::memcmp(bitmap.ScanLine(y), before->Pixels.data() + y * 16, 15),
                              0);
            }
        });
}

TEST(AllocationFailureSweep, TheHostImageAdapterNeverReleasesHostMemory) {
    TBytes host(64);
    Paint(host.data(), host.size());
    const TBytes original = host;
    THostImage gray{4, 3, 5, 1, host.data(), nullptr};    // needs a grey palette of its own
    THostImage padded{5, 2, 16, 3, host.data(), nullptr}; // packs into a private copy

    // Constructing over an 8-bit image without a palette: a failure leaves nothing held.
    SweepAllocations([] {}, [&] { TPluginLinearBitmap bitmap(&gray); }, [](bool) {});

    // Taking over a second image while holding a private copy: the copy is given up first,
    // and a failure leaves the bitmap empty, referring to nothing.
    TPluginLinearBitmap bitmap(&padded);
    SweepAllocations(
        [&] {
            bitmap.AssignHostImage(&padded);
            bitmap.PackLines();
        },
        [&] { bitmap.AssignHostImage(&gray); },
        [&](bool failed) {
            if (failed) {
                EXPECT_FALSE(bitmap.Present);
                EXPECT_EQ(bitmap.Map, nullptr);
                EXPECT_EQ(bitmap.Palette, nullptr);
            } else {
                EXPECT_EQ(bitmap.Map, host.data());
            }
        },
        [](long before) { return before - 1; }); // the private copy was given up

    // Packing padded host rows: a failure leaves the bitmap working in the host's memory.
    SweepAllocations([&] { bitmap.AssignHostImage(&padded); }, [&] { bitmap.PackLines(); },
                     [&](bool failed) {
                         EXPECT_EQ(bitmap.Map == host.data(), failed);
                         EXPECT_EQ(bitmap.HostMap == host.data(), failed);
                         EXPECT_EQ(bitmap.BytesPerLine, failed ? 16 : 15);
                     });
    bitmap.Dispose();
    EXPECT_EQ(host, original);
}

TEST(AllocationFailureSweep, EigenDecomposeLeavesItsMatrixAndUsableOutputs) {
    TMatrix m(3, 3);
    const double elements[9] = {2, 0.5, 0.25, 0.5, 1, 0.125, 0.25, 0.125, 3};
    std::copy(elements, elements + 9, m.Map);
    TMatrix vectors, values;
    SweepAllocations(
        [&] {
            vectors.Dispose();
            values.Dispose();
        },
        [&] { m.EigenDecompose(vectors, values); },
        [&](bool) {
            EXPECT_TRUE(std::equal(elements, elements + 9, m.Map));
            for (const TMatrix* out : {&vectors, &values}) {
                EXPECT_EQ(out->Count, out->Width * out->Height);
                EXPECT_EQ(out->Map != nullptr, out->Count > 0);
            }
        },
        // The outputs may keep the storage they were given.
        [&](long before) {
            return before + long{vectors.Map != nullptr} + long{values.Map != nullptr};
        });
    EXPECT_NEAR(values.GetElement(1, 1) + values.GetElement(2, 1) + values.GetElement(3, 1), 6,
                1e-12);
}

TEST(AllocationFailureSweep, TheStretchLeavesItsResultAndImageUntouched) {
    TLinearBitmap image, target;
    image.New(9, 7, pf24bit);
    Paint(image.Map, static_cast<size_t>(image.Size));
    const TBitmapState original(image);
    for (const bool allowOffset : {true, false}) {
        TAffineTransform result;
        IdentityTransform(result);
        SweepAllocations([] {}, [&] { StretchTransform(image, allowOffset, result); },
                         [&](bool failed) {
                             EXPECT_TRUE(TBitmapState(image) == original);
                             if (failed) {
                                 TAffineTransform identity;
                                 IdentityTransform(identity);
                                 EXPECT_EQ(std::memcmp(&result, &identity, sizeof result), 0);
                             }
                         });
        // Applying it into a new target: a failure leaves the target empty and the source as
        // it was.
        SweepAllocations([&] { target.Dispose(); },
                         [&] { TransformBitmap(image, result, &target); },
                         [&](bool failed) {
                             EXPECT_TRUE(TBitmapState(image) == original);
                             EXPECT_EQ(target.Present, !failed);
                         });
    }
}

#if !defined(_WIN32)
TEST(AllocationFailureSweep, ProcessImageRefusesAndLeavesThePixelsWhenMemoryRunsOut) {
    // The exported function itself, in-process: whichever allocation fails, it returns 1,
    // shows the error in the host's window, and the host's pixels are as they were.
    static std::vector<std::string> errors;
    VtSetMessageBoxHandler(
        [](void*, HWND, LPCSTR text, LPCSTR, UINT type) {
            if ((type & 0x0Fu) == MB_YESNOCANCEL)
                return IDYES;
            errors.emplace_back(text);
            return IDOK;
        },
        nullptr);
    RegisterPlugin([](int32_t, void*) -> int32_t { return 0; });
    for (const int32_t bytesPerLine : {30, 32}) { // packed rows, padded rows
        TBytes host(static_cast<size_t>(bytesPerLine) * 6);
        Paint(host.data(), host.size());
        const TBytes original = host;
        THostImage image{10, 6, bytesPerLine, 3, host.data(), nullptr};
        int32_t result = -1;
        const int allocations = SweepAllocations(
            [&] {
                host = original;
                errors.clear();
            },
            [&] {
                result = ProcessImage(1, &image);
                if (errors == std::vector<std::string>{"Out of memory"})
                    throw EOutOfMemory(); // reported at the boundary, as it must be
            },
            [&](bool) {
                if (TFailingAllocation::Reached()) {
                    EXPECT_EQ(result, VT_NOT_DONE);
                    EXPECT_EQ(errors, std::vector<std::string>{"Out of memory"});
                    EXPECT_EQ(host, original);
                } else {
                    EXPECT_EQ(result, VT_PROCESSED);
                    EXPECT_NE(host, original);
                }
            });
        EXPECT_GT(allocations, 0);
    }
    VtSetMessageBoxHandler(nullptr, nullptr);
}
#endif

TEST(AllocationFailureSweep, SaveAndLoadCloseTheFileWhenABufferCannotBeHad) {
    TTempDir dir;
    const std::string name = dir.Path("payload.dat");
    TPayload payload;
    payload.Bytes = SavedPayload();
    TFileFaults faults; // counts the handles
    SweepAllocations([] {}, [&] { payload.SaveToFile(name); },
                     [&](bool) { EXPECT_EQ(faults.OpenHandles(), 0); });
    SweepAllocations([] {}, [&] { payload.LoadFromFile(name); },
                     [&](bool failed) {
                         EXPECT_EQ(faults.OpenHandles(), 0);
                         if (!failed) {
                             EXPECT_EQ(payload.Bytes, SavedPayload());
                         }
                     });
}

TEST(AllocationFailureSweep, StringListsAreUnchangedByARefusedGrowth) {
    TStringObjectList list;
    const auto contents = [&] {
        std::vector<std::string> strings;
        for (int i = 0; i < list.Count(); ++i)
            strings.push_back(list.StringAt(i));
        return std::make_pair(strings, list.Capacity());
    };
    std::pair<std::vector<std::string>, int> before;
    const auto remember = [&] { before = contents(); };
    const auto unchangedOnFailure = [&](bool failed) {
        if (failed) {
            EXPECT_EQ(contents(), before);
        }
    };
    for (int i = 0; i < 12; ++i) {
        // Items 4, 8 and 12 need a larger array as well as a text block.
        SweepAllocations(
            remember, [&] { list.Add("item" + std::to_string(i)); }, unchangedOnFailure);
    }
    SweepAllocations(
        remember, [&] { list.Insert(3, "inserted"); }, unchangedOnFailure);
    SweepAllocations(
        remember, [&] { list.SetStringAt(0, "replaced"); }, unchangedOnFailure);
    SweepAllocations(
        remember, [&] { list.SetCapacity(100); }, unchangedOnFailure);
    list.SetSorted(true);
    SweepAllocations(
        remember,
        [&] {
            auto* object = new TObject();
            try {
                list.AddWithObject("sorted", object);
            } catch (...) {
                delete object; // a refused object stays the caller's
                throw;
            }
        },
        unchangedOnFailure);
}

TEST(AllocationFailureSweep, TheEvaluatorKeepsItsTableWhole) {
    // A table is built whole or not at all; an evaluation that runs out of memory leaves
    // every symbol it found, no temporary binding, and what it defined before the failure.
    SweepAllocations([] {}, [] { TSymbolTable table; }, [](bool) {});
    const long before = AllocatedBlocks();
    auto table = std::make_unique<TSymbolTable>();
    std::set<std::string> names;
    for (int i = 0; i < table->Count(); ++i)
        names.insert(table->StringAt(i));
    SweepAllocations([] {},
                     [&] {
                         try {
                             EvaluateExpression(":x=5; :f(a)=a*x; f(2)+num.root(y*y-x, y)",
                                                table.get());
                         } catch (const EExpressionError& e) {
                             // Out of memory inside a function call is reported with its position.
                             if (e.Message != "Out of memory")
                                 throw;
                             throw EOutOfMemory();
                         }
                     },
                     [&](bool) {
                         std::set<std::string> now;
                         for (int i = 0; i < table->Count(); ++i)
                             now.insert(table->StringAt(i));
                         for (const std::string& name : names)
                             EXPECT_EQ(now.count(name), 1u) << name;
                         for (const std::string& name : now)
                             EXPECT_TRUE(names.count(name) || name == "x" || name == "f") << name;
                     },
                     // Definitions made before the failure stay and hold blocks; the table's
                     // release below shows that nothing else was kept.
                     [](long) { return AllocatedBlocks(); });
    EXPECT_NEAR(static_cast<double>(EvaluateExpression("f(2)", table.get())), 10, 1e-15);
    table.reset();
    EXPECT_EQ(AllocatedBlocks(), before);
}
