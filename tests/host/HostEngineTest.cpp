// The host's engine path end to end: images the plug-in cannot take, the selection options,
// pooled batches, saved transforms, strips, georeferencing. Expected pixels come from
// stretches worked out by hand on images built for it (one band, or bands that are exactly
// uncorrelated), or from the plug-in path of the same program.
#include "platform/Process.h"

#include <gtest/gtest.h>
#include <tiffio.h>
#include <vips/vips8>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct TRun {
    int Status;
    std::string Output;
};

TRun RunHost(const std::string& arguments, const std::string& environment = "") {
    TRun run{-1, ""};
    run.Status = vt::platform::RunCommand(
        environment + " " + std::string(VT_HOST_PATH) + " " + arguments + " 2>&1", &run.Output);
    return run;
}

struct TImage {
    int W = 0, H = 0, Bands = 0;
    VipsBandFormat Format = VIPS_FORMAT_UCHAR;
    std::vector<double> V; // interleaved samples
    double& At(int x, int y, int b) { return V[static_cast<size_t>((y * W + x) * Bands + b)]; }
};

class HostEngine : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(VIPS_INIT("host_engine_tests"), 0);
        vips_cache_set_max(0);
    }
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("veltrane-engine-" + std::to_string(std::random_device()()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string Path(const std::string& name) const { return (dir / name).string(); }

    static void Write(const TImage& image, const std::string& path,
                      VipsInterpretation space = VIPS_INTERPRETATION_MULTIBAND) {
        vips::VImage v = vips::VImage::new_from_memory(const_cast<double*>(image.V.data()),
                                                       image.V.size() * sizeof(double), image.W,
                                                       image.H, image.Bands, VIPS_FORMAT_DOUBLE);
        v = v.cast(image.Format).copy(vips::VImage::option()->set("interpretation", space));
        v.write_to_file(path.c_str());
    }
    static TImage Read(const std::string& path) {
        vips::VImage v = vips::VImage::new_from_file(path.c_str());
        TImage image{v.width(), v.height(), v.bands(), v.format(), {}};
        v = v.cast(VIPS_FORMAT_DOUBLE);
        size_t size = 0;
        auto* data = static_cast<double*>(v.write_to_memory(&size));
        image.V.assign(data, data + size / sizeof(double));
        g_free(data);
        return image;
    }
    static std::string Bytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Photograph-like colour: smooth fields with noise, the given samples' top.
    static TImage Colour(int w, int h, int bands, double top, VipsBandFormat format) {
        TImage image{w, h, bands, format, std::vector<double>(static_cast<size_t>(w * h * bands))};
        std::mt19937 random(5);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int noise = static_cast<int>(random() % 21) - 10;
                const int base[3] = {std::clamp(60 + x * 2 + noise, 0, 255),
                                     std::clamp(80 + y + x / 2 + noise, 0, 255),
                                     std::clamp(120 + (x ^ y) % 40 - noise, 0, 255)};
                for (int b = 0; b < bands; ++b)
                    image.At(x, y, b) = b < 3 ? base[b] * top / 255 : (x * 7 + y) % 256 * top / 255;
            }
        return image;
    }
    // One band, a ramp over the rows and columns.
    static TImage Ramp(int w, int h, int offset = 20) {
        TImage image{w, h, 1, VIPS_FORMAT_UCHAR, {}};
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                image.V.push_back(offset + x + 2 * y);
        return image;
    }
    // Whether Got is the offset stretch of V in one band whose selected pixels span
    // Low..High: rounded to the nearest, either way at an exact half (where the engine's
    // rounding of the scale decides), and clamped.
    static bool Stretched(double got, double v, double low, double high, double top = 255) {
        const double exact = (v - low) * top / (high - low);
        const double below = std::clamp(std::floor(exact), 0.0, top);
        const double above = std::clamp(std::ceil(exact), 0.0, top);
        if (std::fabs(exact - std::floor(exact) - 0.5) < 1e-9)
            return got == below || got == above;
        return got == std::clamp(std::nearbyint(exact), 0.0, top);
    }

    fs::path dir;
};

TEST_F(HostEngine, PluginAndEnginePathsGiveTheSameBytes) {
    Write(Colour(41, 40, 3, 255, VIPS_FORMAT_UCHAR), Path("in.png"), VIPS_INTERPRETATION_sRGB);
    Write(Colour(41, 40, 4, 255, VIPS_FORMAT_UCHAR), Path("alpha.png"), VIPS_INTERPRETATION_sRGB);
    Write(Colour(33, 20, 3, 255, VIPS_FORMAT_UCHAR), Path("in.jpg"), VIPS_INTERPRETATION_sRGB);
    for (const char* in : {"in.png", "alpha.png", "in.jpg"})
        for (const char* method : {"--offset", "--no-offset"}) {
            const std::string plugin = Path(std::string("p-") + in + method + ".png");
            ASSERT_EQ(RunHost("stretch " + Path(in) + " " + plugin + " " + method).Status, 0);
            for (const char* neutral : {"--every 1", "--threads 1", "--pairing plugin"}) {
                const std::string engine = Path(std::string("e-") + in + method + ".png");
                const TRun run =
                    RunHost("stretch " + Path(in) + " " + engine + " " + method + " " + neutral);
                ASSERT_EQ(run.Status, 0) << run.Output;
                EXPECT_EQ(Read(engine).V, Read(plugin).V) << in << method << neutral;
            }
        }
}

TEST_F(HostEngine, WideSamplesAndManyBandsKeepTheirType) {
    // The stretch is the same map at any scale: 16-bit and float copies of an 8-bit image
    // give the 8-bit result scaled, to within the 8-bit rounding (floats are not clamped).
    const TImage eight = Colour(30, 24, 3, 255, VIPS_FORMAT_UCHAR);
    Write(eight, Path("eight.png"), VIPS_INTERPRETATION_sRGB);
    ASSERT_EQ(
        RunHost("stretch " + Path("eight.png") + " " + Path("eight-out.png") + " --offset").Status,
        0);
    const TImage expected = Read(Path("eight-out.png"));
    struct TCase {
        const char* Name;
        double Top;
        VipsBandFormat Format;
        VipsInterpretation Space;
    };
    for (const TCase& c : {TCase{"wide.png", 65535, VIPS_FORMAT_USHORT, VIPS_INTERPRETATION_RGB16},
                           TCase{"wide.tif", 65535, VIPS_FORMAT_USHORT, VIPS_INTERPRETATION_RGB16},
                           TCase{"float.tif", 1, VIPS_FORMAT_FLOAT, VIPS_INTERPRETATION_scRGB}}) {
        Write(Colour(30, 24, 3, c.Top, c.Format), Path(c.Name), c.Space);
        const std::string out = Path(std::string("out-") + c.Name);
        const TRun run = RunHost("stretch " + Path(c.Name) + " " + out + " --offset");
        ASSERT_EQ(run.Status, 0) << run.Output;
        EXPECT_EQ(run.Output.find("8 bits"), std::string::npos) << run.Output;
        const TImage got = Read(out);
        ASSERT_EQ(got.Format, c.Format) << c.Name;
        ASSERT_EQ(got.Bands, 3);
        for (size_t i = 0; i < got.V.size(); ++i)
            ASSERT_NEAR(std::clamp(got.V[i] * 255 / c.Top, 0.0, 255.0), expected.V[i], 0.51)
                << c.Name << " sample " << i;
    }

    // Five bands in a full factorial of three levels each: exactly uncorrelated, so each band
    // is stretched alone, its lowest level to 0 and its highest to 255.
    TImage five{27, 18, 5, VIPS_FORMAT_UCHAR, {}};
    const double levels[5][3] = {
        {10, 40, 90}, {5, 6, 9}, {100, 150, 160}, {0, 128, 255}, {30, 31, 200}};
    for (int i = 0; i < five.W * five.H; ++i)
        for (int b = 0, code = i % 243; b < 5; ++b, code /= 3)
            five.V.push_back(levels[b][code % 3]);
    // libvips would mark the fifth band as alpha: libtiff writes it as a plain extra band.
    TIFF* tif = TIFFOpen(Path("five.tif").c_str(), "w");
    ASSERT_NE(tif, nullptr);
    const uint16_t extras[4] = {};
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, five.W);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, five.H);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 5);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 4, extras);
    for (int y = 0; y < five.H; ++y) {
        std::vector<uint8_t> row(five.V.begin() + y * five.W * 5,
                                 five.V.begin() + (y + 1) * five.W * 5);
        TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0);
    }
    TIFFClose(tif);
    const TRun run =
        RunHost("stretch " + Path("five.tif") + " " + Path("five-out.tif") + " --offset");
    ASSERT_EQ(run.Status, 0) << run.Output;
    const TImage got = Read(Path("five-out.tif"));
    ASSERT_EQ(got.Bands, 5);
    for (size_t i = 0; i < got.V.size(); ++i)
        ASSERT_TRUE(Stretched(got.V[i], five.V[i], levels[i % 5][0], levels[i % 5][2])) << i;
}

TEST_F(HostEngine, SelectionOptionsChooseThePixelsOfTheStatistics) {
    const TImage ramp = Ramp(30, 40); // 20 + x + 2y
    Write(ramp, Path("ramp.tif"));
    TImage mask{30, 40, 1, VIPS_FORMAT_UCHAR, std::vector<double>(1200, 0)};
    for (int y = 10; y < 20; ++y)
        for (int x = 5; x < 15; ++x)
            mask.At(x, y, 0) = 7;
    Write(mask, Path("mask.png"));
    TImage holes = ramp;
    holes.At(0, 0, 0) = holes.At(29, 39, 0) = 0; // no-data at both ends of the range
    Write(holes, Path("holes.tif"));
    struct TCase {
        std::string Options, In;
        double Low, High;
    };
    for (const TCase& c : {TCase{"--sample 5,10,10,10", "ramp.tif", 45, 72},
                           TCase{"--mask " + Path("mask.png"), "ramp.tif", 45, 72},
                           TCase{"--every 4", "ramp.tif", 20, 20 + 28 + 72},
                           TCase{"--every 4 --sample 1,1,20,30", "ramp.tif", 23, 23 + 16 + 56},
                           TCase{"--nodata 0", "holes.tif", 21, 20 + 28 + 78}})
        for (const std::string strips : {"", "VELTRANE_STRIP_ROWS=3"}) {
            const std::string out = Path("out.tif");
            const TRun run =
                RunHost("stretch " + Path(c.In) + " " + out + " --offset " + c.Options, strips);
            ASSERT_EQ(run.Status, 0) << c.Options << run.Output;
            const TImage in = Read(Path(c.In)), got = Read(out);
            for (size_t i = 0; i < got.V.size(); ++i) {
                const bool kept = in.V[i] == 0 && c.In == "holes.tif";
                ASSERT_TRUE(kept ? got.V[i] == 0 : Stretched(got.V[i], in.V[i], c.Low, c.High))
                    << c.Options << " " << strips << " pixel " << i << ": " << got.V[i];
            }
        }

    // The basis and the pairing change the fit of colour images; each is its own stretch.
    Write(Colour(30, 20, 3, 255, VIPS_FORMAT_UCHAR), Path("colour.png"), VIPS_INTERPRETATION_sRGB);
    std::set<std::string> results;
    for (const char* fit : {"", "--basis covariance", "--pairing direct"}) {
        ASSERT_EQ(
            RunHost("stretch " + Path("colour.png") + " " + Path("c.png") + " --offset " + fit)
                .Status,
            0);
        results.insert(Bytes(Path("c.png")));
    }
    EXPECT_EQ(results.size(), 3u);
}

TEST_F(HostEngine, PooledBatchFitsOneTransformToAllImages) {
    Write(Ramp(20, 10, 50), Path("a.tif"));  // 50 .. 87
    Write(Ramp(10, 30, 100), Path("b.tif")); // 100 .. 167
    const TRun run = RunHost("stretch --out-dir " + Path("out") + " --pool --offset " +
                             Path("a.tif") + " " + Path("b.tif"));
    ASSERT_EQ(run.Status, 0) << run.Output;
    EXPECT_NE(run.Output.find("stretched 2 of 2 images"), std::string::npos) << run.Output;
    for (const char* name : {"a.tif", "b.tif"}) {
        const TImage in = Read(Path(name)), got = Read(Path(std::string("out/") + name));
        for (size_t i = 0; i < got.V.size(); ++i)
            ASSERT_TRUE(Stretched(got.V[i], in.V[i], 50, 167)) << name << " " << i;
    }
    Write(Colour(8, 8, 3, 255, VIPS_FORMAT_UCHAR), Path("c.png"), VIPS_INTERPRETATION_sRGB);
    const TRun mixed = RunHost("stretch --out-dir " + Path("mixed") + " --pool --offset " +
                               Path("a.tif") + " " + Path("c.png"));
    EXPECT_EQ(mixed.Status, 2);
    EXPECT_NE(mixed.Output.find("cannot pool"), std::string::npos) << mixed.Output;
    EXPECT_FALSE(fs::exists(Path("mixed/a.tif")));
}

TEST_F(HostEngine, SavedTransformAppliesWithTheSameBytes) {
    Write(Colour(41, 40, 3, 65535, VIPS_FORMAT_USHORT), Path("in.tif"), VIPS_INTERPRETATION_RGB16);
    TRun run = RunHost("stretch " + Path("in.tif") + " " + Path("direct.tif") +
                       " --no-offset --sample 3,4,20,20 --save-transform " + Path("t.json"));
    ASSERT_EQ(run.Status, 0) << run.Output;
    run = RunHost("apply " + Path("in.tif") + " " + Path("applied.tif") + " --transform " +
                  Path("t.json"));
    ASSERT_EQ(run.Status, 0) << run.Output;
    EXPECT_EQ(Read(Path("applied.tif")).V, Read(Path("direct.tif")).V);

    // A pooled batch saves its one transform too; applied to one image, the same bytes.
    Write(Colour(20, 16, 3, 255, VIPS_FORMAT_UCHAR), Path("x.png"), VIPS_INTERPRETATION_sRGB);
    Write(Ramp(16, 16), Path("grey.png"));
    run = RunHost("stretch --out-dir " + Path("pool") + " --pool --offset --save-transform " +
                  Path("pool.json") + " " + Path("x.png") + " " + Path("in.tif"));
    EXPECT_EQ(run.Status, 2) << "16-bit and 8-bit images pooled: " << run.Output;
    run = RunHost("apply " + Path("grey.png") + " " + Path("g.png") + " --transform " +
                  Path("t.json"));
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Output.find("the transform is for 3-band uint16 images"), std::string::npos)
        << run.Output;
    EXPECT_FALSE(fs::exists(Path("g.png")));
}

TEST_F(HostEngine, StripsGiveTheBytesOfTheWholeImage) {
    Write(Colour(41, 40, 3, 255, VIPS_FORMAT_UCHAR), Path("in.png"), VIPS_INTERPRETATION_sRGB);
    Write(Colour(41, 40, 4, 65535, VIPS_FORMAT_USHORT), Path("wide.png"),
          VIPS_INTERPRETATION_RGB16);
    Write(Colour(41, 40, 3, 1, VIPS_FORMAT_FLOAT), Path("float.tif"), VIPS_INTERPRETATION_scRGB);
    Write(Ramp(41, 40), Path("mask.png"));
    for (const char* in : {"in.png", "wide.png", "float.tif"})
        for (const std::string& options :
             {std::string("--offset --threads 1"), std::string("--no-offset --every 3"),
              "--offset --sample 2,5,30,21 --mask " + Path("mask.png")}) {
            const std::string ext = fs::path(in).extension().string();
            ASSERT_EQ(
                RunHost("stretch " + Path(in) + " " + Path("whole" + ext) + " " + options).Status,
                0);
            const TRun run = RunHost("stretch " + Path(in) + " " + Path("strips" + ext) + " " +
                                         options + " --save-transform " + Path("t.json"),
                                     "VELTRANE_STRIP_ROWS=4");
            ASSERT_EQ(run.Status, 0) << run.Output;
            EXPECT_EQ(Bytes(Path("strips" + ext)), Bytes(Path("whole" + ext))) << in << options;
            ASSERT_EQ(RunHost("apply " + Path(in) + " " + Path("applied" + ext) + " --transform " +
                                  Path("t.json"),
                              "VELTRANE_STRIP_ROWS=7")
                          .Status,
                      0);
            EXPECT_EQ(Bytes(Path("applied" + ext)), Bytes(Path("whole" + ext))) << in << options;
        }
}

// GeoTIFF's and GDAL's tags, which libvips does not carry.
const TIFFFieldInfo GeoTags[] = {
    {33550, -1, -1, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1, const_cast<char*>("ModelPixelScale")},
    {33922, -1, -1, TIFF_DOUBLE, FIELD_CUSTOM, 1, 1, const_cast<char*>("ModelTiepoint")},
    {34735, -1, -1, TIFF_SHORT, FIELD_CUSTOM, 1, 1, const_cast<char*>("GeoKeyDirectory")},
    {34737, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("GeoAsciiParams")},
    {42113, -1, -1, TIFF_ASCII, FIELD_CUSTOM, 1, 0, const_cast<char*>("GDALNoDataValue")}};
TIFFExtendProc Parent = nullptr;
void AddGeoTags(TIFF* tif) {
    if (TIFFFindField(tif, 33550, TIFF_ANY) == nullptr)
        TIFFMergeFieldInfo(tif, GeoTags, 5);
    if (Parent != nullptr)
        Parent(tif);
}

TEST_F(HostEngine, GeoTiffKeepsItsGeoreferencing) {
    Parent = TIFFSetTagExtender(AddGeoTags);
    const double scale[3] = {0.5, 0.5, 0}, tie[6] = {0, 0, 0, 440720, 3751320, 0};
    const uint16_t keys[8] = {1, 1, 0, 1, 1024, 0, 1, 1};
    {
        TIFF* tif = TIFFOpen(Path("geo.tif").c_str(), "w");
        ASSERT_NE(tif, nullptr);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 12);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 10);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        TIFFSetField(tif, 33550, 3, scale);
        TIFFSetField(tif, 33922, 6, tie);
        TIFFSetField(tif, 34735, 8, keys);
        TIFFSetField(tif, 34737, "WGS 84|");
        TIFFSetField(tif, 42113, "-9999");
        for (uint32_t y = 0; y < 10; ++y) {
            uint16_t row[12];
            for (int x = 0; x < 12; ++x)
                row[x] = static_cast<uint16_t>(1000 + 37 * x + 100 * y);
            TIFFWriteScanline(tif, row, y, 0);
        }
        TIFFClose(tif);
    }
    const TRun run = RunHost("stretch " + Path("geo.tif") + " " + Path("out.tif") + " --offset",
                             "VELTRANE_STRIP_ROWS=3");
    ASSERT_EQ(run.Status, 0) << run.Output;
    TIFF* tif = TIFFOpen(Path("out.tif").c_str(), "r");
    ASSERT_NE(tif, nullptr);
    uint16_t count = 0, compression = 0;
    double* doubles = nullptr;
    uint16_t* shorts = nullptr;
    char* text = nullptr;
    ASSERT_EQ(TIFFGetField(tif, 33550, &count, &doubles), 1);
    EXPECT_EQ(std::vector<double>(doubles, doubles + count), std::vector<double>(scale, scale + 3));
    ASSERT_EQ(TIFFGetField(tif, 33922, &count, &doubles), 1);
    EXPECT_EQ(std::vector<double>(doubles, doubles + count), std::vector<double>(tie, tie + 6));
    // GDAL reads a georeferenced TIFF and writes its key directory anew from what it found (a
    // projected model with no CRS named is a local one to GDAL): the pixels still stand for
    // areas (key 1025).
    ASSERT_EQ(TIFFGetField(tif, 34735, &count, &shorts), 1);
    ASSERT_GE(count, 8);
    bool areas = false;
    for (uint16_t k = 4; k + 3 < count; k += 4)
        areas = areas || (shorts[k] == 1025 && shorts[k + 1] == 0 && shorts[k + 3] == 1);
    EXPECT_TRUE(areas);
    ASSERT_EQ(TIFFGetField(tif, 42113, &text), 1);
    EXPECT_STREQ(text, "-9999");
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
    EXPECT_EQ(compression, COMPRESSION_LZW);
    TIFFClose(tif);
    const TImage got = Read(Path("out.tif"));
    ASSERT_EQ(got.Format, VIPS_FORMAT_USHORT);
    for (int i = 0; i < 120; ++i)
        ASSERT_TRUE(Stretched(got.V[static_cast<size_t>(i)], 1000 + 37 * (i % 12) + 100 * (i / 12),
                              1000, 1000 + 407 + 900, 65535))
            << i;
    TIFFSetTagExtender(Parent);
}

TEST_F(HostEngine, TargetMeanAndSigmaSetEachBandsMomentsWithoutAQuestion) {
    // A 16-bit colour image stays 16-bit; each band comes out at the target mean and deviation
    // (far from the clamps), the bands uncorrelated.
    Write(Colour(64, 48, 3, 65535, VIPS_FORMAT_USHORT), Path("wide.tif"));
    const TRun run = RunHost("stretch " + Path("wide.tif") + " " + Path("out.tif") +
                             " --target-mean 30000,32000,34000 --target-sigma 4000 --basis "
                             "covariance");
    ASSERT_EQ(run.Status, 0) << run.Output;
    const TImage out = Read(Path("out.tif"));
    ASSERT_EQ(out.Format, VIPS_FORMAT_USHORT);
    const double count = 64.0 * 48.0;
    double mean[3] = {}, cov[3][3] = {};
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            for (int b = 0; b < 3; ++b)
                mean[b] += const_cast<TImage&>(out).At(x, y, b) / count;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b)
                    cov[a][b] += (const_cast<TImage&>(out).At(x, y, a) - mean[a]) *
                                 (const_cast<TImage&>(out).At(x, y, b) - mean[b]) / count;
    for (int a = 0; a < 3; ++a) {
        EXPECT_NEAR(mean[a], 30000 + 2000 * a, 1.0);
        EXPECT_NEAR(std::sqrt(cov[a][a]), 4000, 1.0);
        for (int b = 0; b < a; ++b)
            EXPECT_NEAR(cov[a][b] / std::sqrt(cov[a][a] * cov[b][b]), 0, 1e-3);
    }
}

TEST_F(HostEngine, ControlsCombineAndTheirSavedTransformGivesTheSameBytes) {
    // Luminance kept and both ends saturated on a 16-bit image; the saved transform applies
    // with the same bytes; a clipped float image stays within 0..1.
    Write(Colour(64, 48, 3, 65535, VIPS_FORMAT_USHORT), Path("wide.tif"));
    const TRun run = RunHost("stretch " + Path("wide.tif") + " " + Path("out.tif") +
                             " --offset --space ycbcr --keep 1 --clip 0.02 --every 2" +
                             " --save-transform " + Path("t.json"));
    ASSERT_EQ(run.Status, 0) << run.Output;
    ASSERT_EQ(RunHost("apply " + Path("wide.tif") + " " + Path("again.tif") + " --transform " +
                      Path("t.json"))
                  .Status,
              0);
    EXPECT_TRUE(Bytes(Path("out.tif")) == Bytes(Path("again.tif")));
    ASSERT_EQ(RunHost("stretch " + Path("wide.tif") + " " + Path("luma.tif") +
                      " --offset --space ycbcr --keep 1")
                  .Status,
              0);
    const TImage in = Read(Path("wide.tif")), luma = Read(Path("luma.tif")),
                 out = Read(Path("out.tif"));
    // Luminance kept wherever no band clamps.
    int kept = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            double before = 0, after = 0;
            bool clamped = false;
            for (int b = 0; b < 3; ++b) {
                const double w[3] = {0.299, 0.587, 0.114},
                             v = const_cast<TImage&>(luma).At(x, y, b);
                before += w[b] * const_cast<TImage&>(in).At(x, y, b);
                after += w[b] * v;
                clamped = clamped || v == 0 || v == 65535;
            }
            if (!clamped) {
                ASSERT_NEAR(after, before, 1.0) << x << "," << y;
                ++kept;
            }
        }
    EXPECT_GT(kept, 100);
    for (int b = 0; b < 3; ++b) {
        int low = 0, high = 0;
        for (int y = 0; y < 48; y += 2)
            for (int x = 0; x < 64; x += 2) {
                low += const_cast<TImage&>(out).At(x, y, b) == 0;
                high += const_cast<TImage&>(out).At(x, y, b) == 65535;
            }
        EXPECT_GT(low, 0.02 * 32 * 24) << b;
        EXPECT_GT(high, 0.02 * 32 * 24) << b;
    }
    TImage real = Colour(40, 30, 3, 1, VIPS_FORMAT_FLOAT);
    Write(real, Path("real.tif"));
    ASSERT_EQ(RunHost("stretch " + Path("real.tif") + " " + Path("real-out.tif") +
                      " --target-sigma 2 --clip 0.001")
                  .Status,
              0);
    const TImage clipped = Read(Path("real-out.tif"));
    EXPECT_EQ(*std::min_element(clipped.V.begin(), clipped.V.end()), 0);
    EXPECT_EQ(*std::max_element(clipped.V.begin(), clipped.V.end()), 1);
}

TEST_F(HostEngine, RefusesOptionsThatDoNotFitBeforeWritingAnything) {
    Write(Ramp(20, 10), Path("ramp.tif"));
    Write(Ramp(21, 10), Path("other.png"));
    std::ofstream(Path("singular.json"))
        << "{\"matrix\": [[1, 2, 3, 0], [2, 4, 6, 1], [0, 0, 1, 0]]}";
    for (const auto& [options, reason] : std::vector<std::pair<std::string, std::string>>{
             {"--mask " + Path("other.png"), "mask: the mask is 21x10, the image 20x10"},
             {"--nodata 300", "nodata: the value does not fit uint8"},
             {"--nodata 2.5", "nodata: the value does not fit uint8"},
             {"--sample 10,0,20,5", "sample: the rectangle 10,0,20,5 does not lie within"},
             {"--every 0", "--every takes an integer of at least 1"},
             {"--mask " + Path("none.png"), "cannot read"},
             {"--sample 1,2,3", "--sample takes X,Y,W,H"},
             {"--basis variance", "--basis takes correlation or covariance"},
             {"--pool", "--pool takes a batch"},
             {"--transform t.json", "--transform belongs to veltrane apply"},
             {"--target-mean 5,x", "--target-mean takes numbers"},
             {"--target-mean 100", "a target (--target-mean, --target-sigma) is a method"},
             {"--clip 0.6,0.5", "--clip takes LOW[,HIGH]"},
             {"--space yiq", "--space and --matrix are for images of three bands"},
             {"--space hsv", "--space takes rgb, ycbcr, yiq or lab"},
             {"--keep 1", "--keep keeps every band"},
             {"--keep 2", "--keep: "},
             {"--matrix " + Path("singular.json"), "not invertible"}}) {
        const TRun run =
            RunHost("stretch " + Path("ramp.tif") + " " + Path("out.tif") + " --offset " + options);
        EXPECT_EQ(run.Status, 2) << options;
        EXPECT_NE(run.Output.find(reason), std::string::npos) << options << ": " << run.Output;
        EXPECT_FALSE(fs::exists(Path("out.tif"))) << options;
    }
    EXPECT_EQ(RunHost("apply " + Path("ramp.tif") + " " + Path("out.tif") + " --offset").Status, 2);
    std::ofstream(Path("bad.json")) << "{\"not\": \"a transform\"}";
    const TRun run = RunHost("apply " + Path("ramp.tif") + " " + Path("out.tif") + " --transform " +
                             Path("bad.json"));
    EXPECT_EQ(run.Status, 2) << run.Output;
    EXPECT_FALSE(fs::exists(Path("out.tif")));
    // A target asks nothing, and is refused beside --offset or --no-offset, or with a value
    // count that fits neither every band nor each.
    for (const std::string options : {" --no-offset --target-sigma 3", " --target-sigma 10,20"}) {
        const TRun target =
            RunHost("stretch " + Path("ramp.tif") + " " + Path("out.tif") + options);
        EXPECT_EQ(target.Status, 2) << options << ": " << target.Output;
        EXPECT_FALSE(fs::exists(Path("out.tif")));
    }
    // Cancelling the question writes nothing either.
    EXPECT_EQ(RunHost("stretch " + Path("ramp.tif") + " " + Path("out.tif") + " --cancel").Status,
              1);
    EXPECT_FALSE(fs::exists(Path("out.tif")));
}

} // namespace
