// The substitute host end to end: real image files in, the plug-in's stretch, files out. The
// expected pixels come from the stretch library run in this process on the same pixels.
#include "platform/Process.h"
#include "stretch/StretchTransform.h"

#include <gtest/gtest.h>
#include <vips/vips8>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

struct TRun {
    int Status;
    std::string Output; // standard output and error together
};

TRun RunHost(const std::string& arguments) {
    TRun run{-1, ""};
    run.Status = vt::platform::RunCommand(std::string(VT_HOST_PATH) + " " + arguments + " 2>&1",
                                          &run.Output);
    return run;
}

class HostStretch : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(VIPS_INIT("host_stretch_tests"), 0);
        vips_cache_set_max(0); // files are rewritten under the same names
    }

    void SetUp() override {
        dir =
            fs::temp_directory_path() / ("veltrane-host-" + std::to_string(std::random_device()()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Path(const std::string& name) const { return (dir / name).string(); }

    // A photograph-like test picture: smooth colour fields with noise.
    static std::vector<uint8_t> Rgb(int w, int h, int bands) {
        std::vector<uint8_t> pixels(static_cast<size_t>(w * h * bands));
        std::mt19937 random(11);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                uint8_t* p = &pixels[static_cast<size_t>((y * w + x) * bands)];
                const int noise = static_cast<int>(random() % 21) - 10;
                p[0] = static_cast<uint8_t>(std::clamp(60 + x * 2 + noise, 0, 255));
                if (bands >= 3) {
                    p[1] = static_cast<uint8_t>(std::clamp(80 + y + x / 2 + noise, 0, 255));
                    p[2] = static_cast<uint8_t>(std::clamp(120 + (x ^ y) % 40 - noise, 0, 255));
                }
                if (bands == 4 || bands == 2)
                    p[bands - 1] = static_cast<uint8_t>((x * 7 + y) % 256);
            }
        return pixels;
    }

    // A phone's photograph: stored sideways (orientation 6), the maker in EXIF, an XMP packet,
    // an IPTC caption (dataset 2:120 in a Photoshop block) and, in colour, a Display P3 profile.
    static inline const std::string Xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'>vt</x:xmpmeta>";
    static inline const std::string Caption = "vt-iptc-caption";
    static std::string P3() {
        VipsBlob* blob = nullptr;
        EXPECT_EQ(vips_profile_load("p3", &blob, nullptr), 0);
        size_t size = 0;
        const auto* data = static_cast<const char*>(vips_blob_get(blob, &size));
        std::string profile(data, size);
        vips_area_unref(VIPS_AREA(blob));
        return profile;
    }
    static void Tag(vips::VImage& image) {
        image = image.copy();
        image.set("orientation", 6);
        // EXIF: a little-endian TIFF header, one directory: Make (11 characters at offset 38)
        // and Orientation 6. IPTC: a Photoshop block, resource 0x0404, caption dataset 2:120.
        const std::string exif =
            std::string("Exif\0\0II*\0\x08\0\0\0\x02\0\x0f\x01\x02\0\x0b\0\0\0\x26\0\0\0"
                        "\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0PhoneMaker",
                        54) +
            '\0';
        const std::string iptc = std::string("Photoshop 3.0\0"
                                             "8BIM\4\4\0\0\0\0\0\x14\x1c\2\x78\0\x0f",
                                             31) +
                                 Caption;
        for (const auto& [field, data] : {std::pair<const char*, std::string>{"exif-data", exif},
                                          {"xmp-data", Xmp},
                                          {"iptc-data", iptc},
                                          {"icc-profile-data", image.bands() >= 3 ? P3() : ""}})
            if (!data.empty())
                vips_image_set_blob_copy(image.get_image(), field, data.data(), data.size());
    }

    // Which of Tag's things the file holds, as libvips reads them (IPTC: the caption anywhere
    // in the file).
    static std::set<std::string> Carried(const std::string& path) {
        vips::VImage image = vips::VImage::new_from_file(path.c_str());
        auto blob = [&](const char* field) {
            size_t size = 0;
            const void* data = image.get_typeof(field) ? image.get_blob(field, &size) : nullptr;
            return std::string(static_cast<const char*>(data), size);
        };
        std::stringstream bytes;
        bytes << std::ifstream(path, std::ios::binary).rdbuf();
        std::set<std::string> found;
        for (const auto& [what, present] :
             {std::pair{"orientation",
                        image.get_typeof("orientation") && image.get_int("orientation") == 6},
              {"exif",
               image.get_typeof("exif-ifd0-Make") &&
                   std::string(image.get_string("exif-ifd0-Make")).find("PhoneMaker ") == 0},
              {"xmp", blob("xmp-data") == Xmp},
              {"icc", blob("icc-profile-data") == P3()},
              {"iptc", bytes.str().find(Caption) != std::string::npos}})
            if (present)
                found.insert(what);
        return found;
    }

    static void Write(const std::vector<uint8_t>& pixels, int w, int h, int bands,
                      const std::string& path, VipsBandFormat format = VIPS_FORMAT_UCHAR,
                      bool tagged = false) {
        vips::VImage image = vips::VImage::new_from_memory(
            const_cast<uint8_t*>(pixels.data()), pixels.size(), w, h, bands, VIPS_FORMAT_UCHAR);
        if (format != VIPS_FORMAT_UCHAR)
            image = (image * 257)
                        .cast(format)
                        .copy(vips::VImage::option()->set("interpretation",
                                                          bands >= 3 ? VIPS_INTERPRETATION_RGB16
                                                                     : VIPS_INTERPRETATION_GREY16));
        if (tagged)
            Tag(image);
        image.write_to_file(path.c_str());
    }

    static std::vector<uint8_t> Read(const std::string& path, int& w, int& h, int& bands) {
        vips::VImage image = vips::VImage::new_from_file(path.c_str());
        w = image.width();
        h = image.height();
        bands = image.bands();
        size_t size = 0;
        auto* data = static_cast<uint8_t*>(image.write_to_memory(&size));
        std::vector<uint8_t> out(data, data + size);
        g_free(data);
        return out;
    }

    // The stretch of interleaved RGB(A) pixels computed in this process by the plug-in's own
    // library: fitted to every pixel, or (Opaque) only to those whose alpha is not 0.
    static std::vector<uint8_t> Expected(const std::vector<uint8_t>& rgb, int w, int h, int bands,
                                         bool offset, bool opaque = false) {
        auto fill = [&](vt::TLinearBitmap& bitmap, bool skip) {
            std::vector<int> pixels;
            for (int i = 0; i < w * h; ++i)
                if (!skip || rgb[static_cast<size_t>(i * bands + bands - 1)] != 0)
                    pixels.push_back(i);
            bitmap.New(static_cast<int>(pixels.size()), 1, vt::pf24bit);
            for (size_t k = 0; k < pixels.size(); ++k)
                for (int c = 0; c < 3; ++c)
                    bitmap.Map[3 * k + c] = rgb[static_cast<size_t>(pixels[k] * bands + 2 - c)];
        };
        vt::TAffineTransform t;
        vt::TLinearBitmap fitted, bitmap;
        fill(fitted, opaque && bands == 4);
        vt::StretchTransform(fitted, offset, t);
        fill(bitmap, false);
        vt::TransformBitmap(bitmap, t, nullptr);
        std::vector<uint8_t> out = rgb;
        for (int i = 0; i < w * h; ++i)
            for (int c = 0; c < 3; ++c)
                out[static_cast<size_t>(i * bands + 2 - c)] = bitmap.Map[3 * i + c];
        return out;
    }

    fs::path dir;
};

} // namespace

TEST_F(HostStretch, StretchesInBothModesWithPackedAndAlignedRows) {
    const int w = 37, h = 23; // a width whose rows need alignment padding
    const std::vector<uint8_t> rgb = Rgb(w, h, 3);
    Write(rgb, w, h, 3, Path("in.png"));
    for (const auto& [flag, offset] :
         {std::pair{"--offset", true}, std::pair{"--no-offset", false}}) {
        for (const char* align : {"1", "4"}) {
            const std::string out = Path(std::string("out") + flag + "-" + align + ".png");
            const TRun run = RunHost("stretch " + Path("in.png") + " " + out + " " + flag +
                                     " --row-align " + align);
            ASSERT_EQ(run.Status, 0) << run.Output;
            int ow, oh, ob;
            const std::vector<uint8_t> got = Read(out, ow, oh, ob);
            EXPECT_EQ(ow, w);
            EXPECT_EQ(oh, h);
            EXPECT_EQ(ob, 3);
            EXPECT_EQ(got, Expected(rgb, w, h, 3, offset)) << flag << " align " << align;
        }
    }
}

TEST_F(HostStretch, KeepsAlphaAsItWasAndLeavesTransparentPixelsOutOfTheFit) {
    const int w = 16, h = 9;
    std::vector<uint8_t> rgba = Rgb(w, h, 4);
    // A transparent stripe of extreme colours that would otherwise set the ranges.
    for (int y = 0; y < h; ++y) {
        uint8_t* p = &rgba[static_cast<size_t>((y * w + w - 1) * 4)];
        p[0] = 255, p[1] = 0, p[2] = 255, p[3] = 0;
    }
    Write(rgba, w, h, 4, Path("in.png"));
    TRun run = RunHost("stretch " + Path("in.png") + " " + Path("out.png") + " --offset");
    ASSERT_EQ(run.Status, 0) << run.Output;
    int ow, oh, ob;
    std::vector<uint8_t> got = Read(Path("out.png"), ow, oh, ob);
    ASSERT_EQ(ob, 4);
    EXPECT_EQ(got, Expected(rgba, w, h, 4, true, true));
    EXPECT_NE(got, Expected(rgba, w, h, 4, true, false));
    // The plug-in itself sees every pixel, as an image editor hands them over.
    run = RunHost("stretch " + Path("in.png") + " " + Path("plugin.png") + " --offset --plugin");
    ASSERT_EQ(run.Status, 0) << run.Output;
    got = Read(Path("plugin.png"), ow, oh, ob);
    EXPECT_EQ(got, Expected(rgba, w, h, 4, true, false));
}

TEST_F(HostStretch, GreyStaysGreySixteenBitStaysSixteenBit) {
    const int w = 12, h = 10;
    Write(Rgb(w, h, 1), w, h, 1, Path("grey.png"));
    // The engine stretches the one band; the plug-in sees it as colour.
    for (const auto& [flags, bands] :
         {std::pair{"--offset", 1}, std::pair{"--offset --plugin", 3}}) {
        const TRun run =
            RunHost("stretch " + Path("grey.png") + " " + Path("grey-out.png") + " " + flags);
        ASSERT_EQ(run.Status, 0) << run.Output;
        int ow, oh, ob;
        const std::vector<uint8_t> got = Read(Path("grey-out.png"), ow, oh, ob);
        ASSERT_EQ(ob, bands) << flags;
        uint8_t lowest = 255, highest = 0;
        for (size_t i = 0; i < got.size(); i += static_cast<size_t>(bands)) {
            EXPECT_EQ(got[i], got[i + static_cast<size_t>(bands) - 1]);
            lowest = std::min(lowest, got[i]);
            highest = std::max(highest, got[i]);
        }
        EXPECT_EQ(lowest, 0) << flags;
        EXPECT_EQ(highest, 255) << flags;
    }
    TRun run;
    int ow, oh, ob;
    std::vector<uint8_t> got;

    const std::vector<uint8_t> rgb = Rgb(w, h, 3);
    Write(rgb, w, h, 3, Path("wide.png"), VIPS_FORMAT_USHORT);
    run = RunHost("stretch " + Path("wide.png") + " " + Path("wide-out.png") + " --no-offset");
    ASSERT_EQ(run.Status, 0) << run.Output;
    EXPECT_EQ(run.Output.find("8 bits"), std::string::npos) << run.Output;
    // The engine stretches the 16-bit samples: 257 times the 8-bit stretch, to within its
    // rounding.
    vips::VImage wide = vips::VImage::new_from_file(Path("wide-out.png").c_str());
    ASSERT_EQ(wide.format(), VIPS_FORMAT_USHORT);
    got = Read(Path("wide-out.png"), ow, oh, ob);
    const std::vector<uint8_t> eight = Expected(rgb, w, h, 3, false);
    const auto* samples = reinterpret_cast<const uint16_t*>(got.data());
    for (size_t i = 0; i < eight.size(); ++i)
        EXPECT_NEAR(samples[i] / 257.0, eight[i], 0.51) << i;
}

TEST_F(HostStretch, ReadsAndWritesTheCommonFormats) {
    const int w = 20, h = 14;
    Write(Rgb(w, h, 3), w, h, 3, Path("in.png"));
    for (const char* ext : {"jpg", "tif", "webp", "bmp", "ppm"}) {
        const std::string out = Path(std::string("out.") + ext);
        TRun run = RunHost("stretch " + Path("in.png") + " " + out + " --offset");
        ASSERT_EQ(run.Status, 0) << ext << ": " << run.Output;
        const std::string again = Path(std::string("again.") + ext);
        run = RunHost("stretch " + out + " " + again + " --no-offset");
        EXPECT_EQ(run.Status, 0) << ext << ": " << run.Output;
        EXPECT_TRUE(fs::exists(again)) << ext;
    }
}

TEST_F(HostStretch, ExitStatusSaysWhatHappened) {
    Write(Rgb(8, 8, 3), 8, 8, 3, Path("in.png"));
    TRun run = RunHost("stretch " + Path("in.png") + " " + Path("out.png") + " --cancel");
    EXPECT_EQ(run.Status, 1) << run.Output;
    EXPECT_FALSE(fs::exists(Path("out.png")));
    EXPECT_NE(run.Output.find("was not written"), std::string::npos);

    run = RunHost("stretch " + Path("missing.png") + " " + Path("out.png") + " --offset");
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Output.find("cannot read"), std::string::npos) << run.Output;

    std::ofstream(Path("garbage.png")) << "not a picture";
    run = RunHost("stretch " + Path("garbage.png") + " " + Path("out.png") + " --offset");
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Output.find("cannot read"), std::string::npos) << run.Output;

    run = RunHost("stretch " + Path("in.png") + " " + Path("out.unknownformat") + " --offset");
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Output.find("cannot write"), std::string::npos) << run.Output;

    for (const char* bad :
         {"stretch", "stretch onlyone.png", "stretch a b --offset --no-offset",
          "stretch a b --row-align 3", "stretch a b --bogus", "stretch a b --jobs 0"})
        EXPECT_EQ(RunHost(bad).Status, 2) << bad;
}

TEST_F(HostStretch, ComparePictureShowsBeforeAndAfter) {
    const int w = 30, h = 20;
    Write(Rgb(w, h, 3), w, h, 3, Path("in.png"));
    const TRun run = RunHost("stretch " + Path("in.png") + " " + Path("out.png") +
                             " --offset --compare " + Path("compare.png"));
    ASSERT_EQ(run.Status, 0) << run.Output;
    int cw, ch, cb;
    Read(Path("compare.png"), cw, ch, cb);
    EXPECT_EQ(cw, 2 * w + 8);
    EXPECT_EQ(ch, h);
}

TEST_F(HostStretch, BatchesWriteEveryImageAndSummarise) {
    for (int i = 0; i < 5; ++i)
        Write(Rgb(10 + i, 8, 3), 10 + i, 8, 3, Path("in" + std::to_string(i) + ".png"));
    std::string inputs;
    for (int i = 0; i < 5; ++i)
        inputs += " " + Path("in" + std::to_string(i) + ".png");
    TRun run = RunHost("stretch --out-dir " + Path("results") + " --jobs 3 --offset" + inputs);
    ASSERT_EQ(run.Status, 0) << run.Output;
    EXPECT_NE(run.Output.find("stretched 5 of 5 images"), std::string::npos) << run.Output;
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(fs::exists(Path("results/in" + std::to_string(i) + ".png")));

    run = RunHost("stretch --out-dir " + Path("cancelled") + " --cancel" + inputs);
    EXPECT_EQ(run.Status, 1) << run.Output;
    run = RunHost("stretch --out-dir " + Path("broken") + " --offset" + inputs + " " +
                  Path("none.png"));
    EXPECT_EQ(run.Status, 2) << run.Output;
    EXPECT_NE(run.Output.find("stretched 5 of 6 images"), std::string::npos) << run.Output;
}

TEST_F(HostStretch, KeepsWhatThePhotographCarriedWhereTheFormatHoldsIt) {
    const int w = 24, h = 16;
    Write(Rgb(w, h, 3), w, h, 3, Path("phone.jpg"), VIPS_FORMAT_UCHAR, true);
    int sw, sh, sb;
    const std::vector<uint8_t> stored = Read(Path("phone.jpg"), sw, sh, sb);
    using TSet = std::set<std::string>;
    const TSet all{"orientation", "exif", "xmp", "iptc", "icc"};
    ASSERT_EQ(Carried(Path("phone.jpg")), all);
    for (const auto& [ext, kept] : {std::pair<const char*, TSet>{"jpg", all},
                                    {"png", {"orientation", "exif", "xmp", "icc"}},
                                    {"tif", {"orientation", "xmp", "iptc", "icc"}},
                                    {"webp", {"orientation", "exif", "xmp", "icc"}},
                                    {"bmp", {"icc"}},
                                    {"ppm", {}}}) {
        const std::string out = Path(std::string("out.") + ext);
        const TRun run = RunHost("stretch " + Path("phone.jpg") + " " + out + " --offset");
        ASSERT_EQ(run.Status, 0) << ext << ": " << run.Output;
        EXPECT_EQ(Carried(out), kept) << ext;
        // The pixels as stored: not turned upright, not converted out of the profile.
        int ow, oh, ob;
        const std::vector<uint8_t> got = Read(out, ow, oh, ob);
        EXPECT_EQ(ow, w);
        EXPECT_EQ(oh, h);
        if (std::string(ext) == "png") {
            EXPECT_EQ(got, Expected(stored, w, h, 3, true));
        }
    }
}

TEST_F(HostStretch, BatchesAndConvertedImagesKeepItToo) {
    const int w = 14, h = 10;
    Write(Rgb(w, h, 4), w, h, 4, Path("alpha.png"), VIPS_FORMAT_UCHAR, true);
    Write(Rgb(w, h, 1), w, h, 1, Path("grey.jpg"), VIPS_FORMAT_UCHAR, true);
    Write(Rgb(w, h, 3), w, h, 3, Path("wide.tif"), VIPS_FORMAT_USHORT, true);
    Write(Rgb(w, h, 3), w, h, 3, Path("palette.png") + "[palette]", VIPS_FORMAT_UCHAR, true);
    const std::vector<std::string> names{"alpha.png", "grey.jpg", "wide.tif", "palette.png"};
    std::string inputs;
    for (const std::string& name : names)
        inputs += " " + Path(name);
    const TRun run = RunHost("stretch --out-dir " + Path("results") + " --offset" + inputs);
    ASSERT_EQ(run.Status, 0) << run.Output;
    for (const std::string& name : names) {
        const std::set<std::string> carried = Carried(Path(name));
        ASSERT_TRUE(carried.count("orientation") && carried.count("xmp")) << name;
        EXPECT_EQ(Carried(Path("results/" + name)), carried) << name;
    }
}
