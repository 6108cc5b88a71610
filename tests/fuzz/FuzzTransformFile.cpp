// Fuzz target: the transform file reader on arbitrary bytes. It either refuses with EStretch or
// gives a transform that writes out and reads back to the same bits and applies to a small
// image of its band count without fault.
#include "FuzzSupport.h"

#include "stretch/TransformFile.h"

#include <cstring>
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
    vt::TBandTransform t;
    try {
        t = vt::ReadTransformJson(text);
    } catch (const vt::EStretch& e) {
        VT_FUZZ_TRACE("refused: %s\n", e.Message.c_str());
        return 0;
    }
    const std::string written = vt::WriteTransformJson(t);
    vt::TBandTransform back;
    try {
        back = vt::ReadTransformJson(written);
    } catch (const vt::EStretch& e) {
        VT_FUZZ_CHECK(false, "written transform refused: " + e.Message + "\n" + written);
    }
    VT_FUZZ_CHECK(vt::WriteTransformJson(back) == written, "second write differs:\n" + written);
    for (int r = 0; r < t.Bands; ++r)
        VT_FUZZ_CHECK(std::memcmp(t.Map.M[r], back.Map.M[r], sizeof t.Map.M[r]) == 0,
                      "matrix changed:\n" + written);
    // Three pixels of every type through its matrix: clamped, rounded, never a fault; the
    // transform itself takes only pixels of its own type.
    for (vt::TSampleType type : vt::SampleTypes) {
        std::vector<uint8_t> pixels(static_cast<size_t>(3 * t.Bands) * 8, 0x7f);
        const vt::TImageView v = vt::TImageView::Interleaved(pixels.data(), 3, 1, t.Bands, type);
        vt::TBandTransform as = t;
        as.Type = type;
        vt::ApplyStretch(as, v, v);
        if (type != t.Type) {
            bool refused = false;
            try {
                vt::ApplyStretch(t, v, v);
            } catch (const vt::EStretch&) {
                refused = true;
            }
            VT_FUZZ_CHECK(refused, "applied to another type's pixels:\n" + written);
        }
    }
    return 0;
}
