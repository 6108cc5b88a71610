// Fuzz target: the exported ProcessImage on arbitrary host records over a host buffer of
// exactly the size the record declares, answering the question as the input says. Checks that
// nothing outside the buffer is touched (the sanitizers see every byte beyond it; the padding
// between rows and the record and palette are compared), that host memory is never freed, that
// no exception escapes, that nothing leaks, that the caller's floating-point environment comes
// back unchanged, and that the result is 0 exactly when the pixels were processed, and then
// processed as the literal stretch computes them.
#include "FuzzSupport.h"
#include "StretchReference.h"

#include "image/LinarBitmap.h"
#include "platform/Win32.h"
#include "plugin/VeltranePlugin.h"
#include "rtl/Memory.h"

#include <cfenv>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using vt::fuzz::TFuzzInput;

// The host buffer is at most this large, so that the fuzzer spends its time on records and
// pixels rather than on memory.
constexpr int64_t MaxHostBytes = 1 << 16;
constexpr size_t MaxInput = 1 << 17;

// What the host saw of the plug-in during one call.
struct THostLog {
    int32_t Owner = 0;       // the window handle the host hands out for code 4
    int Answer = IDCANCEL;   // the answer to the question
    int Questions = 0;       // "Allow offset components?"
    int Notices = 0;         // information boxes
    int Errors = 0;          // error boxes (an exception stopped at the boundary)
    int OwnerCalls = 0;      // callback code 4
    bool WrongOwner = false; // a box was not owned by the host's window
    std::string NoticeText, ErrorText;
} Host;

int32_t VT_STDCALL HostCallback(int32_t code, void* data) {
    if (code == VT_CALLBACK_GET_OWNER_WINDOW) {
        ++Host.OwnerCalls;
        *static_cast<int32_t*>(data) = Host.Owner;
    }
    return 0;
}

int AnswerBox(void*, HWND owner, LPCSTR text, LPCSTR, UINT type) {
    if (owner != reinterpret_cast<HWND>(static_cast<intptr_t>(Host.Owner)))
        Host.WrongOwner = true;
    if ((type & 0x0Fu) == MB_YESNOCANCEL) {
        ++Host.Questions;
        return Host.Answer;
    }
    if ((type & MB_ICONERROR) != 0) {
        ++Host.Errors;
        Host.ErrorText = text;
    } else {
        ++Host.Notices;
        Host.NoticeText = text;
    }
    return IDOK;
}

void Start() {
    static const bool started = [] {
        vt::fuzz::Startup();
        VtSetMessageBoxHandler(AnswerBox, nullptr);
        RegisterPlugin(HostCallback);
        return true;
    }();
    (void)started;
}

std::string Describe(const THostImage& image, int32_t command) {
    return "command " + std::to_string(command) + ", " + std::to_string(image.Width) + " x " +
           std::to_string(image.Height) + ", BytesPerLine " + std::to_string(image.BytesPerLine) +
           ", PixelSize " + std::to_string(image.PixelSize) + ", answer " +
           std::to_string(Host.Answer) + "; error box: " + Host.ErrorText;
}

// The pixels as the literal stretch makes them, row by row without padding.
std::vector<uint8_t> ExpectedPixels(const std::vector<uint8_t>& host, const THostImage& image,
                                    bool allowOffset) {
    vt::TLinearBitmap bitmap;
    bitmap.New(image.Width, image.Height, vt::pf24bit);
    const size_t line = static_cast<size_t>(image.Width) * 3;
    for (int32_t y = 0; y < image.Height; ++y)
        std::memcpy(bitmap.ScanLine(y),
                    host.data() + static_cast<size_t>(y) * static_cast<size_t>(image.BytesPerLine),
                    line);
    vt::TAffineTransform transform;
    vt::reference::StretchTransform(bitmap, allowOffset, transform);
    vt::reference::TransformBitmap(bitmap, transform, nullptr);
    return std::vector<uint8_t>(bitmap.Map, bitmap.Map + bitmap.Size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > MaxInput)
        return 0;
    Start();
    TFuzzInput in(data, size);

    // Byte 0: which command, which answer, how the record is read, null map, palette.
    const uint8_t flags = in.U8();
    int32_t command = (flags & 3) < 2 ? 1 : 2;
    if ((flags & 3) == 3)
        command = in.I32();
    static const int Answers[] = {IDYES, IDNO, IDCANCEL};
    Host = THostLog{};
    Host.Answer = ((flags >> 2) & 3) < 3 ? Answers[(flags >> 2) & 3] : in.U8();
    const bool rawRecord = (flags & 0x10) != 0;
    const bool nullMap = (flags & 0x60) == 0x60;
    const bool withPalette = (flags & 0x80) != 0;
    const bool upward = (in.U8() & 1) != 0; // the caller's rounding mode
    Host.Owner = in.I32();

    THostImage image{};
    if (rawRecord) {
        image.Width = in.I32();
        image.Height = in.I32();
        image.BytesPerLine = in.I32();
        image.PixelSize = in.I32();
    } else {
        image.Width = in.U8();
        image.Height = in.U8();
        const uint8_t format = in.U8();
        image.PixelSize = format < 192 ? 3 : format % 6;
        image.BytesPerLine = image.Width * image.PixelSize + in.U8() % 12 - 2;
        if (image.BytesPerLine > 0 && int64_t{image.BytesPerLine} * image.Height > MaxHostBytes)
            image.Height = static_cast<int32_t>(MaxHostBytes / image.BytesPerLine);
    }

    // A record the plug-in must accept gets a buffer of exactly its declared size; any other
    // record gets a small one that must not be touched.
    const int64_t line = int64_t{image.Width} * image.PixelSize;
    const int64_t declared = int64_t{image.BytesPerLine} * image.Height;
    const bool valid = image.Width >= 1 && image.Height >= 1 && !nullMap &&
                       image.BytesPerLine >= line && declared <= INT32_MAX;
    int64_t bytes = 16;
    if (valid && image.PixelSize == 3) {
        if (declared > MaxHostBytes)
            return 0; // a sound record, but too large for the fuzzer's budget
        bytes = declared;
    }
    std::vector<uint8_t> original(static_cast<size_t>(bytes));
    const std::string_view pixels = in.Rest();
    for (size_t i = 0; i < original.size() && !pixels.empty(); ++i)
        original[i] = static_cast<uint8_t>(pixels[i % pixels.size()]);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[original.size()]);
    std::memcpy(buffer.get(), original.data(), original.size());
    std::vector<uint8_t> palette(768, 0x5A);
    std::unique_ptr<uint8_t[]> hostPalette(new uint8_t[768]);
    std::memcpy(hostPalette.get(), palette.data(), 768);
    image.Map = nullMap ? nullptr : buffer.get();
    image.Palette = withPalette ? hostPalette.get() : nullptr;
    const THostImage record = image;

    const long blocks = vt::AllocatedBlocks();
    std::feclearexcept(FE_ALL_EXCEPT);
    std::feraiseexcept(FE_INEXACT);
    std::fesetround(upward ? FE_UPWARD : FE_TONEAREST);
    const int32_t result = ProcessImage(command, &image);
    const int rounding = std::fegetround();
    const int raised = std::fetestexcept(FE_ALL_EXCEPT);
    std::fesetround(FE_TONEAREST);
    std::feclearexcept(FE_ALL_EXCEPT);

    const std::string what = Describe(record, command);
    VT_FUZZ_CHECK(rounding == (upward ? FE_UPWARD : FE_TONEAREST),
                  "rounding mode changed: " + what);
    VT_FUZZ_CHECK(raised == FE_INEXACT, "floating-point flags changed: " + what);
    VT_FUZZ_CHECK(std::memcmp(&image, &record, sizeof image) == 0, "record written: " + what);
    VT_FUZZ_CHECK(std::memcmp(hostPalette.get(), palette.data(), 768) == 0,
                  "palette written: " + what);
    VT_FUZZ_CHECK(vt::AllocatedBlocks() == blocks, "blocks leaked: " + what);
    VT_FUZZ_CHECK(Host.OwnerCalls == 1, "owner window not asked once: " + what);
    VT_FUZZ_CHECK(!Host.WrongOwner, "a box without the host's owner window: " + what);
    VT_FUZZ_CHECK(result == VT_PROCESSED || result == VT_NOT_DONE, "unknown result: " + what);

    const bool untouched = std::memcmp(buffer.get(), original.data(), original.size()) == 0;
    if (command != 1) {
        VT_FUZZ_CHECK(result == VT_NOT_DONE && Host.Questions + Host.Notices + Host.Errors == 0,
                      "another command was not refused quietly: " + what);
    } else if (image.PixelSize != 3) {
        VT_FUZZ_CHECK(result == VT_NOT_DONE && Host.Notices == 1 && Host.Questions == 0 &&
                          Host.NoticeText == "Select a 24 bit image first.",
                      "a format other than 24-bit was not refused with the notice: " + what);
    } else if (Host.Answer != IDYES && Host.Answer != IDNO) {
        VT_FUZZ_CHECK(result == VT_NOT_DONE && Host.Questions == 1 && Host.Errors == 0,
                      "a cancelled run was not refused: " + what);
    } else if (!valid) {
        VT_FUZZ_CHECK(result == VT_NOT_DONE && Host.Errors == 1 &&
                          Host.ErrorText == "Invalid bitmap size",
                      "an impossible record was not refused: " + what);
    } else {
        VT_FUZZ_CHECK(result == VT_PROCESSED && Host.Errors == 0,
                      "a sound image was not processed: " + what);
    }
    if (result != VT_PROCESSED) {
        VT_FUZZ_CHECK(untouched, "pixels changed although nothing was done: " + what);
        return 0;
    }

    // Processed: every row holds the stretched pixels, and the padding is as the host left it.
    const std::vector<uint8_t> expected = ExpectedPixels(original, record, Host.Answer == IDYES);
    const size_t rowBytes = static_cast<size_t>(record.Width) * 3;
    const size_t stride = static_cast<size_t>(record.BytesPerLine);
    for (size_t y = 0; y < static_cast<size_t>(record.Height); ++y) {
        VT_FUZZ_CHECK(
            std::memcmp(buffer.get() + y * stride, expected.data() + y * rowBytes, rowBytes) == 0,
            "row " + std::to_string(y) + " differs from the literal stretch: " + what);
        VT_FUZZ_CHECK(std::memcmp(buffer.get() + y * stride + rowBytes,
                                  original.data() + y * stride + rowBytes, stride - rowBytes) == 0,
                      "padding of row " + std::to_string(y) + " written: " + what);
    }
    return 0;
}
