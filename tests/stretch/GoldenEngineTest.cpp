// The golden table through the engine in this process, as the host and the web page reach it:
// the plug-in's stretch (its pairing) on three-byte pixels stored red first (as files hold
// them) and blue first (as the plug-in's host does), and on the colour bands of four-byte
// pixels beside an alpha band that must stay as it was. Every
// build must reproduce the table the plug-in module reproduces, whether it computes in x87
// extended precision or emulates it.
#include "GoldenImages.h"

#include "stretch/StretchEngine.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace vt;
using namespace vt::test;

namespace {

std::string Hash(const std::vector<uint8_t>& bgr) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx",
                  static_cast<unsigned long long>(Fnv1a64(bgr.data(), bgr.size())));
    return text;
}

TFitOptions PluginOptions(bool offset) {
    TFitOptions o;
    o.Method = offset ? TStretchMethod::Offset : TStretchMethod::ScaleOnly;
    o.Pairing = TBandPairing::Plugin;
    return o;
}

// Packed three-byte rows stretched in place, handed over in colour order (red first): stored
// red-green-blue (the files' order), or blue-green-red (the plug-in's) seen through a reversed
// band stride. Returns the colour as blue-green-red.
std::vector<uint8_t> ThreeBytes(const TGoldenImage& image, bool offset, bool stored_rgb) {
    std::vector<uint8_t> px = image.Bgr;
    if (stored_rgb)
        for (size_t i = 0; i < px.size(); i += 3)
            std::swap(px[i], px[i + 2]);
    TImageView v =
        TImageView::Interleaved(px.data(), image.Width, image.Height, 3, TSampleType::UInt8);
    if (!stored_rgb) {
        v.Data = px.data() + 2;
        v.BandStride = -1;
    }
    ApplyStretch(FitStretch(v, {}, PluginOptions(offset)), v, v);
    if (stored_rgb)
        for (size_t i = 0; i < px.size(); i += 3)
            std::swap(px[i], px[i + 2]);
    return px;
}

// Red-green-blue-alpha pixels as the page holds them; returns the colour as blue-green-red and
// checks the alpha band.
std::vector<uint8_t> FourBytes(const TGoldenImage& image, bool offset) {
    const size_t n = image.Bgr.size() / 3;
    std::vector<uint8_t> rgba(n * 4);
    for (size_t i = 0; i < n; ++i) {
        for (size_t b = 0; b < 3; ++b)
            rgba[4 * i + b] = image.Bgr[3 * i + 2 - b];
        rgba[4 * i + 3] = static_cast<uint8_t>(i * 7);
    }
    TImageView v;
    v.Data = rgba.data();
    v.Width = image.Width;
    v.Height = image.Height;
    v.Bands = 3;
    v.Type = TSampleType::UInt8;
    v.PixelStride = 4;
    v.RowStride = 4 * static_cast<int64_t>(image.Width);
    v.BandStride = 1;
    ApplyStretch(FitStretch(v, {}, PluginOptions(offset)), v, v);
    std::vector<uint8_t> bgr(n * 3);
    for (size_t i = 0; i < n; ++i) {
        for (size_t b = 0; b < 3; ++b)
            bgr[3 * i + 2 - b] = rgba[4 * i + b];
        EXPECT_EQ(rgba[4 * i + 3], static_cast<uint8_t>(i * 7)) << image.Name << ": alpha";
    }
    return bgr;
}

} // namespace

TEST(GoldenEngine, EveryLayoutReproducesEveryEntry) {
    const std::string data = VT_TEST_DATA_DIR;
    const auto table = LoadGoldenTable(data + "/golden.txt");
    for (const TGoldenImage& image : GoldenImages(data))
        for (const bool offset : {true, false}) {
            const auto entry = table.find(image.Name + (offset ? " offset" : " scale"));
            ASSERT_NE(entry, table.end()) << image.Name;
            const std::string size =
                std::to_string(image.Width) + "x" + std::to_string(image.Height) + " ";
            EXPECT_EQ(size + Hash(ThreeBytes(image, offset, true)), entry->second)
                << image.Name << (offset ? " offset" : " scale") << ", three-byte RGB pixels";
            EXPECT_EQ(size + Hash(ThreeBytes(image, offset, false)), entry->second)
                << image.Name << (offset ? " offset" : " scale") << ", three-byte BGR pixels";
            EXPECT_EQ(size + Hash(FourBytes(image, offset)), entry->second)
                << image.Name << (offset ? " offset" : " scale") << ", four-byte pixels";
        }
}
