// The gallery end to end, and the label font it draws with. Each tile is checked against the
// output of `veltrane stretch` given the tile's label as options, averaged down here: the
// image is made of 4 x 4 blocks of one colour, so that averaging it down by four is exact and
// commutes with any stretch, and a tile must match to within a unit.
#include "host/Font.h"
#include "platform/Process.h"

#include <gtest/gtest.h>
#include <vips/vips8>

#include <cmath>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Draws Text on a canvas of the given size and returns it as rows of '#' and '.'.
std::vector<std::string> Drawn(const std::string& text, int width, int height, int x, int y,
                               int scale) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width * height * 3), 0);
    vt::host::DrawText({pixels.data(), width, height}, x, y, text, scale, {9, 8, 7});
    std::vector<std::string> rows;
    for (int r = 0; r < height; ++r) {
        std::string row;
        for (int c = 0; c < width; ++c) {
            const uint8_t* p = &pixels[static_cast<size_t>((r * width + c) * 3)];
            EXPECT_TRUE(p[0] == 0 || (p[0] == 9 && p[1] == 8 && p[2] == 7));
            row += p[0] == 9 ? '#' : '.';
        }
        rows.push_back(row);
    }
    return rows;
}

TEST(GalleryFont, GlyphsLandOnTheirPixels) {
    const std::vector<std::string> one = {
        "....................", //
        "...#................", //
        "..##................", //
        "...#.........#...#..", //
        "...#...#####.#...#..", //
        "...#.........#...#..", //
        "...#.........#...#..", //
        "..###.........####..", //
        ".................#..", //
        "..............###...",
    };
    EXPECT_EQ(Drawn("1-y", 20, 10, 1, 1, 1), one);
    // At scale 2 the full stop's two by two dots become four by four, six cells across
    // per glyph; glyphs that leave the canvas are clipped.
    std::vector<std::string> dots(14, std::string(16, '.'));
    for (int y = 10; y < 14; ++y)
        for (int x : {2, 3, 4, 5, 14, 15})
            dots[static_cast<size_t>(y)][static_cast<size_t>(x)] = '#';
    EXPECT_EQ(Drawn("..", 16, 14, 0, 0, 2), dots);
    EXPECT_EQ(vt::host::TextWidth("..", 2), 22);
    EXPECT_EQ(Drawn("\x01", 6, 8, 0, 0, 1), Drawn("?", 6, 8, 0, 0, 1));
}

TEST(GalleryFont, LinesBreakAtSpacesAndLongWordsAreNeverCut) {
    using L = std::vector<std::string>;
    EXPECT_EQ(vt::host::WrapText("--offset --space ycbcr --keep 1", 12),
              (L{"--offset", "--space", "ycbcr --keep", "1"}));
    EXPECT_EQ(vt::host::WrapText("--no-offset --basis covariance", 32),
              (L{"--no-offset --basis covariance"}));
    EXPECT_EQ(vt::host::WrapText("a covariance b", 4), (L{"a", "cova", "rian", "ce b"}));
    EXPECT_EQ(vt::host::WrapText("", 5), (L{""}));
}

struct TRun {
    int Status;
    std::string Output;
};

TRun RunHost(const std::string& arguments) {
    TRun run{-1, ""};
    run.Status = vt::platform::RunCommand(std::string(VT_HOST_PATH) + " " + arguments + " 2>&1",
                                          &run.Output);
    return run;
}

struct TImage {
    int W = 0, H = 0, Bands = 0;
    std::vector<double> V;
    double At(int x, int y, int b) const { return V[static_cast<size_t>((y * W + x) * Bands + b)]; }
};

class Gallery : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(VIPS_INIT("host_gallery_tests"), 0);
        vips_cache_set_max(0);
    }
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("veltrane-gallery-" + std::to_string(std::random_device()()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string Path(const std::string& name) const { return (dir / name).string(); }

    // 320 x 240 of correlated colour in 4 x 4 blocks, scaled to Top.
    static void WriteBlocks(const std::string& path, double top, int bands = 3) {
        std::mt19937 random(11);
        std::vector<double> v(320 * 240 * static_cast<size_t>(bands));
        std::vector<double> block(80 * 60 * 3);
        for (size_t i = 0; i < 80 * 60; ++i) {
            const double shade = 40 + static_cast<double>(random() % 150);
            block[i * 3] = shade + static_cast<double>(random() % 50);
            block[i * 3 + 1] = shade * 0.8 + static_cast<double>(random() % 30);
            block[i * 3 + 2] = 200 - shade * 0.7 + static_cast<double>(random() % 40);
        }
        for (size_t y = 0; y < 240; ++y)
            for (size_t x = 0; x < 320; ++x)
                for (size_t b = 0; b < static_cast<size_t>(bands); ++b)
                    v[(y * 320 + x) * static_cast<size_t>(bands) + b] =
                        std::round(block[((y / 4) * 80 + x / 4) * 3 + b] * top / 255);
        vips::VImage image = vips::VImage::new_from_memory(v.data(), v.size() * sizeof(double), 320,
                                                           240, bands, VIPS_FORMAT_DOUBLE);
        const bool wide = top > 255;
        image = image.cast(wide ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR)
                    .copy(vips::VImage::option()->set("interpretation",
                                                      bands == 1 ? VIPS_INTERPRETATION_B_W
                                                      : wide     ? VIPS_INTERPRETATION_RGB16
                                                                 : VIPS_INTERPRETATION_sRGB));
        image.write_to_file(path.c_str());
    }
    static TImage Read(const std::string& path) {
        vips::VImage v = vips::VImage::new_from_file(path.c_str());
        TImage image{v.width(), v.height(), v.bands(), {}};
        v = v.cast(VIPS_FORMAT_DOUBLE);
        size_t size = 0;
        auto* data = static_cast<double*>(v.write_to_memory(&size));
        image.V.assign(data, data + size / sizeof(double));
        g_free(data);
        return image;
    }

    fs::path dir;
};

// The tiles in order, as the labels say; "" is the image as it is.
const char* const Labels[16] = {"",
                                "--offset",
                                "--no-offset",
                                "--offset --basis covariance",
                                "--no-offset --basis covariance",
                                "--offset --space ycbcr",
                                "--offset --space ycbcr --keep 1",
                                "--offset --space yiq",
                                "--offset --space yiq --keep 1",
                                "--target-sigma 50",
                                "--offset --clip 0.005",
                                "--offset --clip 0.02",
                                "--offset --space lab",
                                "--offset --space lab --keep 1",
                                "--space lab --target-sigma 20",
                                "--offset --space lab --keep 1 --clip 0.01"};

TEST_F(Gallery, EachTileIsTheStretchOfItsLabelAveragedDown) {
    for (const double top : {255.0, 65535.0}) {
        WriteBlocks(Path("in.png"), top);
        const TRun run =
            RunHost("gallery " + Path("in.png") + " " + Path("sheet.png") + " --tile-width 80");
        ASSERT_EQ(run.Status, 0) << run.Output;
        // Tiles of 80 x 60 with 8 pixels around each; the labels' strips take the four
        // lines of "--offset / --space / ycbcr --keep / 1" at 12 characters of 6 pixels:
        // 4 + 4 x 9 + 4 = 44 pixels.
        const TImage sheet = Read(Path("sheet.png"));
        ASSERT_EQ(sheet.W, 4 * 80 + 5 * 8);
        ASSERT_EQ(sheet.H, 4 * (60 + 44) + 5 * 8);
        ASSERT_EQ(sheet.Bands, 3);
        for (int t = 0; t < 16; ++t) {
            const int left = 8 + t % 4 * 88, tileTop = 8 + t / 4 * 112;
            TImage expected;
            if (t == 0) {
                expected = Read(Path("in.png"));
            } else {
                const TRun stretch =
                    RunHost("stretch " + Path("in.png") + " " + Path("s.png") + " " + Labels[t]);
                ASSERT_EQ(stretch.Status, 0) << Labels[t] << stretch.Output;
                expected = Read(Path("s.png"));
            }
            int lit = 0;
            for (int y = 0; y < 60; ++y)
                for (int x = 0; x < 80; ++x)
                    for (int b = 0; b < 3; ++b) {
                        double sum = 0;
                        for (int dy = 0; dy < 4; ++dy)
                            for (int dx = 0; dx < 4; ++dx)
                                sum += expected.At(4 * x + dx, 4 * y + dy, b);
                        const double want = std::round(sum / 16 * 255 / top);
                        ASSERT_NEAR(sheet.At(left + x, tileTop + y, b), want, 1)
                            << top << " tile " << t << " (" << Labels[t] << ") at " << x << "," << y
                            << " band " << b;
                    }
            // Below the tile, the label: white glyphs on the sheet's dark grey, which also
            // lies between the tiles.
            for (int y = tileTop + 60; y < tileTop + 112; ++y)
                for (int x = left; x < left + 80; ++x) {
                    const double v = sheet.At(x, y, 0);
                    ASSERT_TRUE(v == 0x20 || v == 255) << t << " " << x << "," << y;
                    lit += v == 255;
                }
            EXPECT_GT(lit, 20) << t;
            for (int y = tileTop; y < tileTop + 60; ++y)
                ASSERT_EQ(sheet.At(left - 1, y, 1), 0x20) << t;
        }
    }
    // The default tile width: 320 pixels are enlarged by no whole factor; JPEG by name.
    const TRun run = RunHost("gallery " + Path("in.png") + " " + Path("sheet.jpg") +
                             " --every 2 --sample 0,0,100,100");
    ASSERT_EQ(run.Status, 0) << run.Output;
    const TImage sheet = Read(Path("sheet.jpg"));
    EXPECT_EQ(sheet.W, 4 * 400 + 5 * 8);
}

TEST_F(Gallery, TilesAreAreaMeansOrWholeEnlargements) {
    // 40 x 30 of noise into tiles of 32 x 24: each tile pixel covers 1.25 x 1.25 pixels, the
    // ones it cuts weighted by the part it covers. 10 x 10 into tiles of 32: enlarged three
    // times, each pixel repeated, centred one pixel in from the column's edge.
    std::mt19937 random(3);
    for (const int size : {40, 10}) {
        const int w = size, h = size == 40 ? 30 : 10;
        std::vector<double> v(static_cast<size_t>(w * h * 3));
        for (double& s : v)
            s = static_cast<double>(random() % 256);
        vips::VImage::new_from_memory(v.data(), v.size() * sizeof(double), w, h, 3,
                                      VIPS_FORMAT_DOUBLE)
            .cast(VIPS_FORMAT_UCHAR)
            .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
            .write_to_file(Path("noise.png").c_str());
        const TRun run =
            RunHost("gallery " + Path("noise.png") + " " + Path("sheet.png") + " --tile-width 32");
        ASSERT_EQ(run.Status, 0) << run.Output;
        const TImage sheet = Read(Path("sheet.png"));
        const double f = size == 40 ? 1.25 : 1.0 / 3;
        const int tw = size == 40 ? 32 : 30, th = size == 40 ? 24 : 30;
        const int left = 8 + (32 - tw) / 2;
        EXPECT_EQ(sheet.At(left - 1, 8, 0), 0x20);
        for (int y = 0; y < th; ++y)
            for (int x = 0; x < tw; ++x)
                for (int b = 0; b < 3; ++b) {
                    double sum = 0;
                    for (int sy = 0; sy < h; ++sy)
                        for (int sx = 0; sx < w; ++sx) {
                            const double ox =
                                std::min(sx + 1.0, (x + 1) * f) - std::max(sx + 0.0, x * f);
                            const double oy =
                                std::min(sy + 1.0, (y + 1) * f) - std::max(sy + 0.0, y * f);
                            if (ox > 0 && oy > 0)
                                sum += ox * oy * v[static_cast<size_t>((sy * w + sx) * 3 + b)];
                        }
                    ASSERT_NEAR(sheet.At(left + x, 8 + y, b), sum / (f * f), 0.5 + 1e-9)
                        << size << ": " << x << "," << y << " band " << b;
                }
    }
}

TEST_F(Gallery, RefusalsExitTwoAndWriteNothing) {
    WriteBlocks(Path("grey.png"), 255, 1);
    WriteBlocks(Path("in.png"), 255);
    const std::string out = Path("out.png");
    struct TCase {
        std::string Arguments, Message;
    };
    for (const TCase& c :
         {TCase{Path("grey.png") + " " + out, "1 colour band; the gallery takes colour images"},
          TCase{Path("in.png") + " " + out + " --nodata 0", "unknown option --nodata"},
          TCase{Path("missing.png") + " " + out, "cannot read .*missing.png"},
          TCase{Path("in.png") + " " + out + " --tile-width 9",
                "--tile-width takes an integer from 32 to 2000"},
          TCase{Path("in.png") + " " + out + " --sample 300,0,50,50", "sample"},
          TCase{Path("in.png"), "expected IN and OUT"}}) {
        const TRun run = RunHost("gallery " + c.Arguments);
        EXPECT_EQ(run.Status, 2) << c.Arguments << run.Output;
        EXPECT_TRUE(std::regex_search(run.Output, std::regex(c.Message))) << run.Output;
        EXPECT_FALSE(fs::exists(out)) << c.Arguments;
    }
}

} // namespace
