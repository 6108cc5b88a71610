// Image files through libvips.
#include "host/ImageFile.h"

#include <vips/vips8>

#include <cstring>
#include <stdexcept>
#include <utility>

namespace vt::host {

// The fields libvips read from the file's header that describe the photograph, as libvips
// keeps them, and the resolution. The savers know these names: each writes those its format
// has a place for (EXIF, XMP and the profile in JPEG, PNG and WebP, XMP and the profile in
// TIFF, IPTC in JPEG, the orientation in all of these) and passes over the others.
struct TMetadata {
    std::vector<std::pair<std::string, GValue>> Fields; // each value owned here
    double XRes = 1.0;                                  // pixels per millimetre
    double YRes = 1.0;

    TMetadata() = default;
    TMetadata(const TMetadata&) = delete;
    TMetadata& operator=(const TMetadata&) = delete;
    ~TMetadata() {
        for (auto& field : Fields)
            g_value_unset(&field.second);
    }
};

namespace {

// "exif-data" is the whole EXIF block, "exif-ifd0-Make" and the like its entries one by one,
// from which the saver rebuilds the block; "orientation" and "resolution-unit" the saver
// writes into the EXIF block or the TIFF tags. The fields that describe how the file was
// encoded (palette depth, JPEG subsampling, ...) stay behind: the host writes 8-bit colour.
bool DescribesThePhotograph(const char* name) {
    for (const char* prefix : {"exif-", VIPS_META_XMP_NAME, VIPS_META_IPTC_NAME, VIPS_META_ICC_NAME,
                               VIPS_META_ORIENTATION, VIPS_META_RESOLUTION_UNIT, "png-comment-"})
        if (std::strncmp(name, prefix, std::strlen(prefix)) == 0)
            return true;
    return false;
}

// A colour profile describes the colour space of the pixels it came with; it stays with them
// only when the host keeps the file's own RGB values (narrowed from 16 bits at most), not when
// it converts grey, CMYK, Lab and the like to sRGB.
bool ProfileFits(const vips::VImage& image) {
    const VipsInterpretation space = vips_image_guess_interpretation(image.get_image());
    if (space != VIPS_INTERPRETATION_sRGB && space != VIPS_INTERPRETATION_RGB16)
        return false;
    size_t size = 0;
    const auto* profile = static_cast<const char*>(image.get_blob(VIPS_META_ICC_NAME, &size));
    return size >= 20 && std::memcmp(profile + 16, "RGB ", 4) == 0; // the data colour space
}

// IPTC as JPEG files carry it: a Photoshop block holding the IPTC records. libvips writes the
// field as it is to whichever format holds IPTC, so this form goes back into JPEG only; TIFF
// holds the bare records, and this libvips's TIFF writer keeps only a quarter of them.
bool IptcFits(const vips::VImage& image) {
    size_t size = 0;
    const void* block = image.get_blob(VIPS_META_IPTC_NAME, &size);
    return size >= 14 && std::memcmp(block, "Photoshop 3.0", 14) == 0;
}

bool WritesJpeg(const std::string& path) {
    const char* saver = vips_foreign_find_save(path.c_str());
    return saver != nullptr && std::strstr(saver, "Jpeg") != nullptr;
}

std::shared_ptr<const TMetadata> TakeMetadata(const vips::VImage& image) {
    auto metadata = std::make_shared<TMetadata>();
    metadata->XRes = image.xres();
    metadata->YRes = image.yres();
    const std::unique_ptr<gchar*, void (*)(gchar**)> names(vips_image_get_fields(image.get_image()),
                                                           g_strfreev);
    for (gchar** name = names.get(); *name != nullptr; ++name) {
        if (!DescribesThePhotograph(*name) ||
            (std::strcmp(*name, VIPS_META_ICC_NAME) == 0 && !ProfileFits(image)) ||
            (std::strcmp(*name, VIPS_META_IPTC_NAME) == 0 && !IptcFits(image)))
            continue;
        metadata->Fields.emplace_back(*name, GValue{});
        if (vips_image_get(image.get_image(), *name, &metadata->Fields.back().second) != 0)
            metadata->Fields.pop_back(); // nothing to unset
    }
    return metadata;
}

// IPTC only when Iptc says the output is JPEG.
void PutMetadata(const TMetadata& metadata, bool iptc, vips::VImage& image) {
    image =
        image.copy(vips::VImage::option()->set("xres", metadata.XRes)->set("yres", metadata.YRes));
    for (const auto& [name, value] : metadata.Fields)
        if (iptc || name != VIPS_META_IPTC_NAME)
            vips_image_set(image.get_image(), name.c_str(), const_cast<GValue*>(&value));
}

// The first line of libvips's error buffer, which names the problem.
std::string VipsReason(const std::exception& e) {
    std::string text = e.what();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    const size_t newline = text.find('\n');
    if (newline != std::string::npos)
        text = text.substr(0, newline);
    return text.empty() ? "unknown error" : text;
}

} // namespace

TImageIo::TImageIo(const char* argv0) {
    if (VIPS_INIT(argv0) != 0)
        throw std::runtime_error("cannot start libvips");
}

TImageIo::~TImageIo() {
    vips_shutdown();
}

TPicture LoadPicture(const std::string& path, std::vector<std::string>& notes) {
    try {
        vips::VImage image = vips::VImage::new_from_file(
            path.c_str(), vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
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
        throw std::runtime_error("cannot read " + path + ": " + VipsReason(e));
    } catch (const std::runtime_error& e) {
        if (std::strncmp(e.what(), "cannot read", 11) == 0)
            throw;
        throw std::runtime_error("cannot read " + path + ": " + e.what());
    }
}

void SavePicture(const TPicture& picture, const std::string& path) {
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
            PutMetadata(*picture.Metadata, WritesJpeg(path), image);
        image.write_to_file(path.c_str());
    } catch (const vips::VError& e) {
        throw std::runtime_error("cannot write " + path + ": " + VipsReason(e));
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

} // namespace vt::host
