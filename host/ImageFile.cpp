// Image files through libvips.
#include "host/ImageFile.h"

#include "host/VipsSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>
#include <utility>

namespace vt::host {

TImageIo::TImageIo(const char* argv0) {
    if (VIPS_INIT(argv0) != 0)
        throw std::runtime_error("cannot start libvips");
    KeepVipsWarnings(false);
}

TImageIo::~TImageIo() {
    vips_shutdown();
}

TPicture LoadPicture(const std::string& path, std::vector<std::string>& notes) {
    try {
        vips::VImage image =
            vips::VImage::new_from_file(path.c_str(), vips::VImage::option()
                                                          ->set("access", VIPS_ACCESS_SEQUENTIAL)
                                                          ->set("fail_on", VIPS_FAIL_ON_ERROR));
        // Taken from the header as read, before any conversion of the pixels.
        std::shared_ptr<const TMetadata> metadata = TakeMetadata(image);
        const bool wide = image.format() != VIPS_FORMAT_UCHAR && image.format() != VIPS_FORMAT_CHAR;
        if (wide)
            notes.push_back(path + ": " + std::to_string(vips_format_sizeof(image.format()) * 8) +
                            "-bit image; the plug-in works in 8 bits, the result is 8-bit");
        if (image.interpretation() != VIPS_INTERPRETATION_sRGB || wide)
            image = image.colourspace(VIPS_INTERPRETATION_sRGB);
        if (image.format() != VIPS_FORMAT_UCHAR)
            image = image.cast(VIPS_FORMAT_UCHAR);
        if (image.bands() < 3)
            throw std::runtime_error("unsupported band layout");

        // One pass over the decoded pixels (the file is read sequentially), then the bands
        // are split into blue, green, red and alpha.
        const int bands = image.bands();
        const bool alpha = image.has_alpha();
        TPicture picture;
        picture.Width = image.width();
        picture.Height = image.height();
        picture.Metadata = std::move(metadata);
        const size_t pixels =
            static_cast<size_t>(picture.Width) * static_cast<size_t>(picture.Height);
        size_t size = 0;
        auto* data = static_cast<uint8_t*>(image.write_to_memory(&size));
        if (data == nullptr || size != pixels * static_cast<size_t>(bands)) {
            g_free(data);
            throw std::runtime_error("unexpected pixel buffer");
        }
        picture.Bgr.resize(pixels * 3);
        if (alpha)
            picture.Alpha.resize(pixels);
        const size_t step = static_cast<size_t>(bands);
        for (size_t i = 0; i < pixels; ++i) {
            const uint8_t* p = data + i * step;
            picture.Bgr[3 * i] = p[2];
            picture.Bgr[3 * i + 1] = p[1];
            picture.Bgr[3 * i + 2] = p[0];
            if (alpha)
                picture.Alpha[i] = p[step - 1];
        }
        g_free(data);
        return picture;
    } catch (const vips::VError& e) {
        throw std::runtime_error("cannot read " + path + ": " + VipsReason(e, path));
    } catch (const std::runtime_error& e) {
        if (std::strncmp(e.what(), "cannot read", 11) == 0)
            throw;
        throw std::runtime_error("cannot read " + path + ": " + e.what());
    }
}

void SavePicture(const TPicture& picture, const TPartFile& part, const TWriteOptions& options) {
    try {
        const size_t pixels =
            static_cast<size_t>(picture.Width) * static_cast<size_t>(picture.Height);
        std::vector<uint8_t> rgb(pixels * 3);
        for (size_t i = 0; i < pixels; ++i) {
            rgb[3 * i] = picture.Bgr[3 * i + 2];
            rgb[3 * i + 1] = picture.Bgr[3 * i + 1];
            rgb[3 * i + 2] = picture.Bgr[3 * i];
        }
        vips::VImage image = vips::VImage::new_from_memory(rgb.data(), rgb.size(), picture.Width,
                                                           picture.Height, 3, VIPS_FORMAT_UCHAR);
        image = image.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
        if (!picture.Alpha.empty()) {
            vips::VImage alpha = vips::VImage::new_from_memory(
                const_cast<uint8_t*>(picture.Alpha.data()), picture.Alpha.size(), picture.Width,
                picture.Height, 1, VIPS_FORMAT_UCHAR);
            image = image.bandjoin(alpha);
        }
        if (picture.Metadata)
            PutMetadata(*picture.Metadata, WritesJpeg(part.Target()), image);
        SaveImage(image, part.Part(), options.SaverOptions, options.Quality);
    } catch (const vips::VError& e) {
        throw std::runtime_error("cannot write " + part.Target() + ": " + VipsReason(e));
    }
}

TPicture SideBySide(const TPicture& before, const TPicture& after) {
    const int32_t gap = 8;
    TPicture joined;
    joined.Width = before.Width + gap + after.Width;
    joined.Height = std::max(before.Height, after.Height);
    joined.Metadata = before.Metadata;
    joined.Bgr.assign(static_cast<size_t>(joined.Width) * static_cast<size_t>(joined.Height) * 3,
                      255);
    const size_t line = static_cast<size_t>(joined.Width) * 3;
    for (int32_t y = 0; y < joined.Height; ++y) {
        uint8_t* row = joined.Bgr.data() + static_cast<size_t>(y) * line;
        if (y < before.Height)
            std::memcpy(row, before.Bgr.data() + static_cast<size_t>(y) * before.Width * 3,
                        static_cast<size_t>(before.Width) * 3);
        if (y < after.Height)
            std::memcpy(row + static_cast<size_t>(before.Width + gap) * 3,
                        after.Bgr.data() + static_cast<size_t>(y) * after.Width * 3,
                        static_cast<size_t>(after.Width) * 3);
    }
    return joined;
}

namespace {

std::mutex WarningLock;
bool Verbose = false;
thread_local TWarningScope* CurrentScope = nullptr;

bool Noise(const std::string& text) {
    return text.find("Unknown field with tag") != std::string::npos ||
           text.find("unknown field with tag") != std::string::npos;
}

void OnVipsWarning(const gchar*, GLogLevelFlags, const gchar* message, gpointer) {
    KeepWarning(message != nullptr ? message : "");
}

} // namespace

void KeepWarning(const std::string& text) {
    if (Noise(text))
        return;
    std::lock_guard<std::mutex> lock(WarningLock);
    if (Verbose) {
        static std::set<std::string> shown;
        if (shown.insert(text).second)
            std::fprintf(stderr, "veltrane: libvips: %s\n", text.c_str());
        return;
    }
    if (CurrentScope != nullptr &&
        std::find(CurrentScope->Warnings.begin(), CurrentScope->Warnings.end(), text) ==
            CurrentScope->Warnings.end())
        CurrentScope->Warnings.push_back(text);
}

void KeepVipsWarnings(bool verbose) {
    Verbose = verbose;
    g_log_set_handler("VIPS",
                      static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE),
                      OnVipsWarning, nullptr);
}

TWarningScope::TWarningScope() : Outer(CurrentScope) {
    CurrentScope = this;
}

TWarningScope::~TWarningScope() {
    CurrentScope = Outer;
}

std::string TWarningScope::Text(const std::string& indent) const {
    std::lock_guard<std::mutex> lock(WarningLock);
    // libvips repeats a decoder's complaint for every tile it could not fill: the first few say
    // what happened.
    constexpr size_t Shown = 3;
    std::string text;
    for (size_t i = 0; i < Warnings.size() && i < Shown; ++i)
        text += "\n" + indent + Warnings[i];
    if (Warnings.size() > Shown)
        text += "\n" + indent + "(and " + std::to_string(Warnings.size() - Shown) +
                " more warnings; --verbose shows them)";
    return text;
}

} // namespace vt::host
