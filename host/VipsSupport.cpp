// The host's libvips helpers: metadata and errors.
#include "host/VipsSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vt::host {

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

} // namespace

bool WritesJpeg(const std::string& path) {
    const char* saver = vips_foreign_find_save(path.c_str());
    return saver != nullptr && std::strstr(saver, "Jpeg") != nullptr;
}

std::shared_ptr<const TMetadata> TakeMetadata(const vips::VImage& image, bool anyProfile) {
    auto metadata = std::make_shared<TMetadata>();
    metadata->XRes = image.xres();
    metadata->YRes = image.yres();
    const std::unique_ptr<gchar*, void (*)(gchar**)> names(vips_image_get_fields(image.get_image()),
                                                           g_strfreev);
    for (gchar** name = names.get(); *name != nullptr; ++name) {
        if (!DescribesThePhotograph(*name) ||
            (std::strcmp(*name, VIPS_META_ICC_NAME) == 0 && !anyProfile && !ProfileFits(image)) ||
            (std::strcmp(*name, VIPS_META_IPTC_NAME) == 0 && !IptcFits(image)))
            continue;
        metadata->Fields.emplace_back(*name, GValue{});
        if (vips_image_get(image.get_image(), *name, &metadata->Fields.back().second) != 0)
            metadata->Fields.pop_back(); // nothing to unset
    }
    return metadata;
}

void PutMetadata(const TMetadata& metadata, bool iptc, vips::VImage& image) {
    image =
        image.copy(vips::VImage::option()->set("xres", metadata.XRes)->set("yres", metadata.YRes));
    for (const auto& [name, value] : metadata.Fields)
        if (iptc || name != VIPS_META_IPTC_NAME)
            vips_image_set(image.get_image(), name.c_str(), const_cast<GValue*>(&value));
}

void SaveImage(const vips::VImage& image, const std::string& path, const std::string& options,
               int quality) {
    std::string lower = options;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    vips::VOption* set = vips::VImage::option();
    const char* saver = vips_foreign_find_save(path.c_str());
    const bool jpeg = saver != nullptr && std::strstr(saver, "Jpeg") != nullptr;
    const bool webp = saver != nullptr && std::strstr(saver, "Webp") != nullptr;
    if ((jpeg || webp) && lower.find("q=") == std::string::npos)
        set->set("Q", quality > 0 ? quality : 95);
    if (jpeg && lower.find("subsample") == std::string::npos)
        set->set("subsample_mode", VIPS_FOREIGN_SUBSAMPLE_OFF);
    image.write_to_file((path + options).c_str(), set);
}

std::string VipsReason(const std::exception& e, const std::string& file) {
    std::vector<std::string> lines;
    const std::string text = e.what();
    for (size_t from = 0; from < text.size();) {
        const size_t end = std::min(text.find('\n', from), text.size());
        std::string line = text.substr(from, end - from);
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
        from = end + 1;
    }
    vips_error_clear();
    if (lines.empty())
        return "unknown error";
    // The buffer is the whole process's: the newest line about this file, else the newest.
    const std::string name = file.substr(file.find_last_of('/') + 1);
    for (auto line = lines.rbegin(); !name.empty() && line != lines.rend(); ++line)
        if (line->find(name) != std::string::npos)
            return *line;
    return lines.back();
}

} // namespace vt::host
