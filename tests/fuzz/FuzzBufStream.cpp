// Fuzz target: the buffered stream over a file stream under random sequences of opens, reads,
// writes, seeks, flushes, truncations, strictness changes and closes, checked against a plain
// in-memory model of the file: every byte read, every count returned, every "Read less than
// expected", the bytes left and the file's contents once written out. Faults injected into the
// file calls (failures and short transfers) must reach the caller as the stream messages, and
// whatever happens, releasing the stack closes the file and frees every buffer.
#include "FuzzSupport.h"

#include "platform/FileApi.h"
#include "platform/Win32.h"
#include "rtl/Memory.h"
#include "streams/BufStream.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using vt::fuzz::TFuzzInput;
using TBytes = std::vector<uint8_t>;

constexpr size_t MaxInput = 4096;

const std::string& FilePath() {
    static const std::string path = [] {
        std::random_device seed;
        return (std::filesystem::temp_directory_path() /
                ("veltrane-fuzz-" + std::to_string(seed()) + ".bin"))
            .string();
    }();
    return path;
}

TBytes FileContents() {
    std::ifstream in(FilePath(), std::ios::binary | std::ios::ate);
    TBytes bytes(static_cast<size_t>(std::max<std::streamoff>(0, in.tellg())));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

void SetFileContents(const TBytes& bytes) {
    std::ofstream out(FilePath(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// The system's texts of the two errors the harness injects.
const std::vector<std::string>& InjectedErrorTexts() {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> result;
        for (const DWORD code : {DWORD{ERROR_DISK_FULL}, DWORD{ERROR_ACCESS_DENIED}}) {
            SetLastError(code);
            result.push_back(vt::GetLastErrorText());
        }
        return result;
    }();
    return texts;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Whether a message is one a failed or short file call reaches the caller with: a stream
// message carrying the system's text of the injected error, or a short transfer.
bool IsStreamMessage(const std::string& message) {
    if (message == "Read less than expected")
        return true;
    if (message.rfind("Error writing to stream - ", 0) == 0 &&
        EndsWith(message, " buffered bytes could not be written"))
        return true;
    for (const char* prefix :
         {"Error opening \"", "Error reading from stream - ", "Error writing to stream - ",
          "IO-error: ", "Error moving file pointer - ", "Error truncating file \""}) {
        if (message.rfind(prefix, 0) != 0)
            continue;
        for (const std::string& text : InjectedErrorTexts())
            if (EndsWith(message, text))
                return true;
    }
    return false;
}

enum class TSession { None, Read, Write };

class THarness {
public:
    explicit THarness(TFuzzInput& input) : In(input) {}

    void Run() {
        Model.resize(In.U16() % 3000);
        Fill(Model, In.U8());
        SetFileContents(Model);
        const long blocks = vt::AllocatedBlocks();
        {
            vt::TFileFaults faults;
            Faults = &faults;
            for (int step = 0; step < 300 && !In.Empty(); ++step) {
                const int op = In.U8() % 12;
                VT_FUZZ_TRACE("step %d: op %d, session %d, pos %d, model %d bytes\n", step, op,
                              static_cast<int>(Session), Pos, static_cast<int>(Model.size()));
                try {
                    Step(op);
                } catch (const vt::Exception& e) {
                    VT_FUZZ_TRACE("  raised: %s\n", e.Message.c_str());
                    // Only an injected fault may make an operation fail unexpectedly.
                    VT_FUZZ_CHECK(FaultsArmed && IsStreamMessage(e.Message),
                                  "operation " + std::to_string(op) + " raised: " + e.Message);
                    Recover();
                }
            }
            faults.Clear();
            try {
                Close();
            } catch (const vt::Exception& e) {
                VT_FUZZ_CHECK(FaultsArmed && IsStreamMessage(e.Message),
                              "closing raised: " + e.Message);
            }
            VT_FUZZ_CHECK(faults.OpenHandles() == 0, "a file handle was left open");
            Faults = nullptr;
        }
        VT_FUZZ_CHECK(vt::AllocatedBlocks() == blocks, "buffers leaked");
        std::error_code ignored;
        std::filesystem::remove(FilePath(), ignored);
    }

private:
    static void Fill(TBytes& bytes, uint8_t seed, size_t from = 0) {
        for (size_t i = from; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }

    // A byte count: mostly small, sometimes beyond any small buffer, rarely beyond the default.
    int32_t Count() {
        const uint8_t kind = In.U8();
        if (kind < 200)
            return kind % 64;
        if (kind < 250)
            return In.U16() % 5000;
        return 65536 + In.U16() % 10000;
    }

    int32_t BufferSize() {
        static const int32_t Sizes[] = {-1, 0, 2, 3, 5, 16, 100, 1000, 1, -2};
        return Sizes[In.U8() % 10];
    }

    // Opens a session at a position; a buffer size that is invalid for the session's
    // direction must be refused and leave the file stream to its owner.
    void Open(bool write) {
        Close();
        const int32_t size = BufferSize();
        const int32_t position = static_cast<int32_t>(In.U16() % (Model.size() + 40));
        auto* file =
            new vt::TFileStream(FilePath(), write ? vt::smRead | vt::smWrite | vt::smShareRead
                                                  : vt::smRead | vt::smShareRead);
        try {
            file->SetPosition(position);
            if (size == 1 || size == -2) {
                try {
                    vt::TBufferedStream refused(write ? 0 : size, write ? size : 0, file);
                } catch (const vt::EStreamCreate& e) {
                    VT_FUZZ_CHECK(e.Message == "Invalid buffer size", e.Message);
                    VT_FUZZ_CHECK(file->Strict, "a refused buffer left the source lenient");
                    delete file;
                    return;
                }
                VT_FUZZ_CHECK(false, "buffer size " + std::to_string(size) + " accepted");
            }
            Stream = new vt::TBufferedStream(write ? 0 : size, write ? size : 0, file);
            VT_FUZZ_TRACE("  open %s at %d, buffer %d\n", write ? "write" : "read", position, size);
        } catch (...) {
            delete file;
            throw;
        }
        File = file;
        Session = write ? TSession::Write : TSession::Read;
        ReadSize = write ? 0 : size;
        Pos = position;
        Strict = true;
    }

    // OpenBufferedFile: reading from the start, or writing into an emptied file.
    void OpenBuffered(bool write) {
        Close();
        Stream = vt::OpenBufferedFile(FilePath(), write);
        File = static_cast<vt::TFileStream*>(Stream->Source);
        Session = write ? TSession::Write : TSession::Read;
        ReadSize = write ? 0 : -1;
        Pos = 0;
        Strict = true;
        if (write)
            Model.clear();
    }

    void Close() {
        if (Session == TSession::None)
            return;
        const bool complete = Session == TSession::Read || Stream->WriteLen == 0 || !FaultsArmed;
        vt::TBufferedStream* stream = Stream;
        Session = TSession::None;
        Stream = nullptr;
        File = nullptr;
        vt::FreeChain(stream);
        if (complete)
            CheckFile("after closing");
    }

    // After an injected fault nothing is known about the session: it is released, and the
    // model starts again from what the file holds.
    void Recover() {
        Faults->Clear();
        FaultsArmed = false;
        if (Session != TSession::None) {
            Session = TSession::None;
            try {
                // A failed seek of a read session may have left the file stream alone.
                vt::FreeChain(Stream != nullptr ? static_cast<vt::TBaseStream*>(Stream) : File);
            } catch (const vt::Exception& e) {
                VT_FUZZ_CHECK(IsStreamMessage(e.Message), "releasing raised: " + e.Message);
            }
            Stream = nullptr;
            File = nullptr;
        }
        VT_FUZZ_CHECK(Faults->OpenHandles() == 0, "a failed session left its file open");
        Model = FileContents();
    }

    void CheckFile(const char* when) {
        VT_FUZZ_CHECK(FileContents() == Model, std::string("file differs from the model ") + when);
    }

    void Read() {
        const int32_t count = Count();
        TBytes buffer(static_cast<size_t>(count) + 1, 0xEE);
        const int64_t avail = std::max<int64_t>(0, static_cast<int64_t>(Model.size()) - Pos);
        const int32_t expected = static_cast<int32_t>(std::min<int64_t>(count, avail));
        bool shortRead = false;
        int32_t got = -1;
        try {
            got = Stream->Read(buffer.data(), count);
        } catch (const vt::EInOutError& e) {
            // With a fault armed, an injected short transfer may have raised it instead.
            if (!Strict || expected == count || e.Message != "Read less than expected" ||
                FaultsArmed)
                throw;
            shortRead = true;
        }
        if (!shortRead)
            VT_FUZZ_CHECK(got == expected || (FaultsArmed && got >= 0 && got < expected),
                          "read " + std::to_string(got) + " of " + std::to_string(count) +
                              " bytes, expected " + std::to_string(expected));
        else
            got = expected;
        VT_FUZZ_CHECK(got == 0 ||
                          std::equal(buffer.begin(), buffer.begin() + got, Model.begin() + Pos),
                      "bytes read differ from the file");
        Pos += got;
    }

    void Write() {
        const int32_t count = Count();
        TBytes bytes(static_cast<size_t>(count) + 1);
        Fill(bytes, In.U8());
        const int32_t taken = Stream->Write(bytes.data(), count);
        VT_FUZZ_TRACE("  write %d at %d: %d taken\n", count, Pos, taken);
        VT_FUZZ_CHECK(taken == count || (FaultsArmed && !Strict && taken >= 0 && taken < count),
                      "wrote " + std::to_string(taken) + " of " + std::to_string(count));
        if (taken > 0) {
            if (static_cast<size_t>(Pos) + static_cast<size_t>(taken) > Model.size())
                Model.resize(static_cast<size_t>(Pos) + static_cast<size_t>(taken), 0);
            std::copy(bytes.begin(), bytes.begin() + taken, Model.begin() + Pos);
        }
        Pos += taken;
    }

    void Seek() {
        const int32_t position = static_cast<int32_t>(In.U16() % (Model.size() + 40));
        if (Session == TSession::Write) {
            Stream->Flush();
            if (Stream->WriteLen > 0)
                return;
            File->SetPosition(position);
        } else {
            // A read-ahead buffer does not follow a move of its source: the buffered stream is
            // replaced by a new one over the moved file stream.
            delete Stream;
            Stream = nullptr;
            File->SetPosition(position);
            Stream = new vt::TBufferedStream(ReadSize, 0, File);
            Stream->SetStrict(Strict);
        }
        Pos = position;
    }

    void Step(int op) {
        switch (op) {
        case 0:
            Open(false);
            break;
        case 1:
            Open(true);
            break;
        case 2:
            OpenBuffered(In.Bool());
            break;
        case 3:
        case 4:
            if (Session == TSession::Read)
                Read();
            else if (Session == TSession::Write)
                Write();
            break;
        case 5:
            if (Session != TSession::None)
                Seek();
            break;
        case 6: // Flush: everything waiting reaches the file
            if (Session == TSession::Write) {
                Stream->Flush();
                if (Stream->WriteLen == 0 && !FaultsArmed)
                    CheckFile("after a flush");
            }
            break;
        case 7:
            if (Session != TSession::None) {
                Strict = In.Bool();
                Stream->SetStrict(Strict);
            }
            break;
        case 8: // BytesLeft and Eof, once nothing waits to be written
            if (Session != TSession::None && Stream->WriteLen == 0) {
                const int64_t left = static_cast<int64_t>(Model.size()) - Pos;
                VT_FUZZ_CHECK(Stream->BytesLeft() == left, "BytesLeft differs");
                VT_FUZZ_CHECK(Stream->Eof() == (left == 0), "Eof differs");
            }
            break;
        case 9: // Truncate at a position within the file
            if (Session == TSession::Write && static_cast<size_t>(Pos) <= Model.size()) {
                Stream->Flush();
                if (Stream->WriteLen == 0) {
                    File->Truncate();
                    Model.resize(static_cast<size_t>(Pos));
                }
            }
            break;
        case 10:
            Close();
            break;
        default: { // arm a fault on a later file call
            static const vt::TFileCall Calls[] = {vt::TFileCall::Read,       vt::TFileCall::Write,
                                                  vt::TFileCall::SetPointer, vt::TFileCall::GetSize,
                                                  vt::TFileCall::Flush,      vt::TFileCall::Create,
                                                  vt::TFileCall::SetEnd};
            const uint8_t kind = In.U8();
            const vt::TFileCall call = Calls[kind % 7];
            const int32_t skip = In.U8() % 4;
            if ((kind & 0x80) != 0 && (call == vt::TFileCall::Read || call == vt::TFileCall::Write))
                Faults->Short(call, static_cast<DWORD>(In.U16() % 200),
                              (kind & 0x40) != 0 ? ERROR_DISK_FULL : 0, skip);
            else
                Faults->Fail(call, (kind & 0x40) != 0 ? ERROR_ACCESS_DENIED : ERROR_DISK_FULL,
                             skip);
            FaultsArmed = true;
            break;
        }
        }
    }

    TFuzzInput& In;
    vt::TFileFaults* Faults = nullptr;
    bool FaultsArmed = false; // since the last recovery; the model may be out of date
    TBytes Model;             // the file as its user sees it once everything is written out
    TSession Session = TSession::None;
    vt::TBufferedStream* Stream = nullptr; // the top of the stack
    vt::TFileStream* File = nullptr;       // its source
    int32_t ReadSize = 0;                  // the read buffer size the session was opened with
    int32_t Pos = 0;                       // the logical position
    bool Strict = true;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > MaxInput)
        return 0;
    vt::fuzz::Startup();
    TFuzzInput in(data, size);
    THarness harness(in);
    harness.Run();
    return 0;
}
