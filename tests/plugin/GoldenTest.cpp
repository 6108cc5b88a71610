// The golden table: for every test image, in both modes and with packed and padded host rows,
// the size and hash of the pixels the built plug-in module returns. The Linux module and the
// Windows DLL under Wine must both reproduce tests/data/golden.txt; a change in that table is
// reviewed on purpose. VT_GOLDEN_UPDATE=1 prints the table as this build computes it.
#include "GoldenImages.h"
#include "PluginHost.h"

#include "platform/Win32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

using namespace vt::test;

namespace {

int32_t VT_STDCALL Callback(int32_t code, void* data) {
    if (code == VT_CALLBACK_GET_OWNER_WINDOW)
        *static_cast<int32_t*>(data) = 0;
    return 0;
}

// Runs the plug-in on the image with rows BytesPerLine apart; returns the packed result and
// checks that the padding bytes were left alone.
std::vector<uint8_t> Stretch(TLoadedPlugin& plugin, const TGoldenImage& image, bool offset,
                             int32_t bytesPerLine) {
    const size_t line = static_cast<size_t>(image.Width) * 3;
    std::vector<uint8_t> host(static_cast<size_t>(bytesPerLine) * static_cast<size_t>(image.Height),
                              0xA5);
    for (int32_t y = 0; y < image.Height; ++y)
        std::memcpy(&host[static_cast<size_t>(y) * static_cast<size_t>(bytesPerLine)],
                    &image.Bgr[static_cast<size_t>(y) * line], line);
    THostImage record{image.Width, image.Height, bytesPerLine, 3, host.data(), nullptr};
    TMessageBoxAnswerer boxes({offset ? IDYES : IDNO});
    EXPECT_EQ(plugin.ProcessImage(1, &record), VT_PROCESSED) << image.Name;
    EXPECT_EQ(boxes.Calls.size(), 1u) << image.Name << ": no error box";
    std::vector<uint8_t> out(image.Bgr.size());
    for (int32_t y = 0; y < image.Height; ++y) {
        const uint8_t* row = &host[static_cast<size_t>(y) * static_cast<size_t>(bytesPerLine)];
        std::memcpy(&out[static_cast<size_t>(y) * line], row, line);
        for (size_t i = line; i < static_cast<size_t>(bytesPerLine); ++i)
            EXPECT_EQ(row[i], 0xA5) << image.Name << ": padding of row " << y;
    }
    return out;
}

} // namespace

TEST(GoldenTable, TheModuleReproducesEveryEntry) {
    const std::string data = VT_TEST_DATA_DIR;
    const std::vector<TGoldenImage> images = GoldenImages(data);

    TLoadedPlugin plugin;
    ASSERT_EQ(plugin.RegisterPlugin(Callback), 0);
    const bool update = std::getenv("VT_GOLDEN_UPDATE") != nullptr;
    const std::map<std::string, std::string> table = LoadGoldenTable(data + "/golden.txt");
    if (update)
        std::printf("# name width x height mode fnv1a64-of-output-pixels\n");
    for (const TGoldenImage& image : images) {
        for (bool offset : {true, false}) {
            const int32_t packed = image.Width * 3;
            const int32_t padded = (packed + 1 + 3) / 4 * 4; // aligned to 4, at least one spare
            const std::vector<uint8_t> a = Stretch(plugin, image, offset, packed);
            const std::vector<uint8_t> b = Stretch(plugin, image, offset, padded);
            EXPECT_EQ(a, b) << image.Name << ": packed and padded rows differ";
            char hash[17];
            std::snprintf(hash, sizeof hash, "%016llx",
                          static_cast<unsigned long long>(Fnv1a64(a.data(), a.size())));
            const std::string size =
                std::to_string(image.Width) + "x" + std::to_string(image.Height);
            const std::string mode = offset ? "offset" : "scale";
            if (update) {
                std::printf("%s %s %s %s\n", image.Name.c_str(), size.c_str(), mode.c_str(), hash);
                continue;
            }
            const auto entry = table.find(image.Name + " " + mode);
            ASSERT_NE(entry, table.end()) << image.Name << " " << mode << " is not in the table";
            EXPECT_EQ(entry->second, size + " " + hash) << image.Name << " " << mode;
        }
    }
}
