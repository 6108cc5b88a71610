// Fuzz target: the transform file reader on arbitrary bytes. It either refuses with EStretch or
// gives a transform that writes out and reads back to the same bits and applies to a small
// image of its band count without fault. The same bytes go to the reader of fit documents
// (fits carried between processes): refused, or a fit that writes back to the same document
// and runs its remaining passes over a small image without fault.
#include "FuzzSupport.h"

#include "stretch/TransformFile.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr size_t MaxInput = 1 << 16;

void FitDocument(const std::string& text) {
    std::optional<vt::TStretchFit> fit;
    try {
        fit.emplace(vt::ReadStretchFitJson(text));
    } catch (const vt::EStretch& e) {
        VT_FUZZ_TRACE("fit refused: %s\n", e.Message.c_str());
        return;
    }
    const std::string written = vt::WriteStretchFitJson(*fit);
    try {
        VT_FUZZ_CHECK(vt::WriteStretchFitJson(vt::ReadStretchFitJson(written)) == written,
                      "second write of the fit differs:\n" + written);
    } catch (const vt::EStretch& e) {
        VT_FUZZ_CHECK(false, "written fit refused: " + e.Message + "\n" + written);
    }
    // Its passes over a small image of its layout: refusals are fine, faults are not.
    const vt::TStatistics s = fit->Statistics();
    std::vector<uint8_t> pixels(static_cast<size_t>(4 * s.Bands) * vt::SampleBytes(s.Type));
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i * 37);
    const vt::TImageView v = vt::TImageView::Interleaved(pixels.data(), 2, 2, s.Bands, s.Type);
    try {
        while (fit->NeedsPass()) {
            fit->Measure(v);
            fit->FinishPass();
        }
        vt::ApplyStretch(fit->Result(), v, v);
    } catch (const vt::EStretch& e) {
        VT_FUZZ_TRACE("fit stopped: %s\n", e.Message.c_str());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vt::fuzz::Startup();
    if (size > MaxInput)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    FitDocument(text);
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
        VT_FUZZ_CHECK(std::memcmp(t.Map.M[r], back.Map.M[r],
                                  static_cast<size_t>(t.Bands + 1) * sizeof(double)) == 0,
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
