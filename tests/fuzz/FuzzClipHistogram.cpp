// Fuzz target: the saturation histogram reader (what unpickling a histogram in Python reaches)
// on arbitrary bytes. It either refuses with EStretch or gives a histogram that writes out and
// reads back to the same text, merges an empty copy of itself, measures a small image of its
// band count and type while it needs passes, and finishes to a clipped transform or a refusal,
// never a fault.
#include "FuzzSupport.h"

#include "stretch/TransformFile.h"

#include <string>
#include <vector>

namespace {

constexpr size_t MaxInput = 1 << 16;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vt::fuzz::Startup();
    if (size > MaxInput)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<vt::TClipHistogram> read;
    try {
        read.push_back(vt::ReadClipHistogramJson(text));
    } catch (const vt::EStretch& e) {
        VT_FUZZ_TRACE("refused: %s\n", e.Message.c_str());
        return 0;
    }
    vt::TClipHistogram& h = read.front();
    const std::string written = vt::WriteClipHistogramJson(h);
    try {
        const std::string again = vt::WriteClipHistogramJson(vt::ReadClipHistogramJson(written));
        VT_FUZZ_CHECK(again == written, "second write differs:\n" + written);
    } catch (const vt::EStretch& e) {
        VT_FUZZ_CHECK(false, "written histogram refused: " + e.Message + "\n" + written);
    }
    // Its own empty copy merges without changing it.
    try {
        h.Merge(h.Empty());
    } catch (const vt::EStretch& e) {
        VT_FUZZ_TRACE("merge refused: %s\n", e.Message.c_str());
    }
    // Its passes over three pixels of its kind, then the clipped transform (or a refusal).
    const vt::TBandTransform& t = h.Transform();
    std::vector<uint8_t> pixels(static_cast<size_t>(3 * t.Bands) * 4, 0x3c);
    const vt::TImageView v = vt::TImageView::Interleaved(pixels.data(), 3, 1, t.Bands, t.Type);
    try {
        while (h.NeedsPass()) {
            h.Measure(v);
            h.FinishPass();
        }
        const vt::TBandTransform clipped = h.Clipped();
        vt::ApplyStretch(clipped, v, v);
    } catch (const vt::EStretch& e) {
        VT_FUZZ_TRACE("pass refused: %s\n", e.Message.c_str());
    }
    return 0;
}
