// Transform and statistics files: exact round trips for every sample type, and the refusal of
// every kind of damaged document with a message that names the problem.
#include "stretch/TransformFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

using namespace vt;

namespace {

std::string Refusal(const std::string& text) {
    try {
        ReadTransformJson(text);
    } catch (const EStretch& e) {
        return e.what();
    }
    return "(read)";
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

bool SameBits(const TBandTransform& a, const TBandTransform& b) {
    if (a.Bands != b.Bands || a.Type != b.Type)
        return false;
    for (int r = 0; r < a.Bands; ++r) {
        if (a.Order[r] != b.Order[r])
            return false;
        if (std::memcmp(a.Map.M[r], b.Map.M[r], sizeof(double) * size_t(a.Bands + 1)) != 0)
            return false;
    }
    return a.Statistics == b.Statistics && a.Options.Method == b.Options.Method &&
           a.Options.Basis == b.Options.Basis && a.Options.Pairing == b.Options.Pairing;
}

} // namespace

TEST(TransformFile, FittedTransformsReadBackBitForBit) {
    std::mt19937 random(4);
    for (TSampleType type : {TSampleType::UInt8, TSampleType::UInt16, TSampleType::Float32})
        for (int n : {1, 3, 5}) {
            std::vector<float> samples(size_t(40 * 30 * n));
            std::uniform_real_distribution<float> u(0, 1);
            std::vector<uint8_t> bytes(samples.size() * 4);
            const TImageView v = TImageView::Interleaved(bytes.data(), 40, 30, n, type);
            for (int64_t y = 0; y < 30; ++y)
                for (int64_t x = 0; x < 40; ++x) {
                    const float base = u(random);
                    for (int b = 0; b < n; ++b) {
                        const float s = 0.7f * base + 0.3f * u(random);
                        uint8_t* p = v.At(x, y, b);
                        if (type == TSampleType::UInt8)
                            *p = uint8_t(s * 255);
                        else if (type == TSampleType::UInt16) {
                            const auto w = uint16_t(s * 65535);
                            std::memcpy(p, &w, 2);
                        } else
                            std::memcpy(p, &s, 4);
                    }
                }
            TFitOptions options;
            options.Method = n == 5 ? TStretchMethod::ScaleOnly : TStretchMethod::Offset;
            const TBandTransform t = FitStretch(v, {}, options);
            const std::string text = WriteTransformJson(t);
            const TBandTransform back = ReadTransformJson(text);
            EXPECT_TRUE(SameBits(t, back)) << SampleTypeName(type) << " " << n << " bands";
            EXPECT_EQ(WriteTransformJson(back), text);
            EXPECT_TRUE(ReadStatisticsJson(WriteStatisticsJson(t.Statistics)) == t.Statistics);
        }
}

TEST(TransformFile, FilesRoundTrip) {
    TBandTransform t = TBandTransform::Identity(2, TSampleType::UInt16);
    t.Map.M[0][1] = 0.1;
    t.Map.M[1][2] = -1e-300;
    const std::string path = testing::TempDir() + "veltrane-transform.json";
    SaveTransform(t, path);
    EXPECT_TRUE(SameBits(LoadTransform(path), t));
    std::remove(path.c_str());
    EXPECT_THROW(LoadTransform(path), Exception);
}

TEST(TransformFile, DamagedDocumentsAreRefusedWithTheirProblem) {
    TBandTransform t = TBandTransform::Identity(3, TSampleType::UInt8);
    t.Order[0] = 2, t.Order[2] = 0;
    t.Options.Pairing = TBandPairing::Plugin;
    const std::string good = WriteTransformJson(t);
    ASSERT_EQ(Refusal(good), "(read)");
    EXPECT_NE(Refusal(good.substr(0, good.size() / 2)).find("JSON error"), std::string::npos);
    EXPECT_NE(Refusal("[1, 2]").find("not a veltrane-transform"), std::string::npos);
    EXPECT_NE(Refusal(WriteStatisticsJson(t.Statistics)).find("not a veltrane-transform"),
              std::string::npos);
    EXPECT_NE(Refusal(Replace(good, "\"version\": 3", "\"version\": 4")).find("version 4"),
              std::string::npos);
    EXPECT_NE(Refusal(Replace(good, "\"bands\": 3", "\"bands\": 17")).find("17"),
              std::string::npos);
    EXPECT_NE(Refusal(Replace(good, "\"bands\": 3", "\"bands\": 4")).find("order"),
              std::string::npos);
    EXPECT_NE(Refusal(Replace(good, "\"type\": \"uint8\"", "\"type\": \"int64\"")).find("int64"),
              std::string::npos);
    EXPECT_NE(
        Refusal(Replace(good, "\"method\": \"offset\"", "\"method\": \"wild\"")).find("method"),
        std::string::npos);
    EXPECT_NE(Refusal(Replace(good, "2,\n    1,\n    0", "2,\n    2,\n    0")).find("order"),
              std::string::npos);
    EXPECT_NE(Refusal(Replace(good, "\"matrix\"", "\"matrices\"")).find("missing key \"matrix\""),
              std::string::npos);
    EXPECT_NE(Refusal(Replace(good, "\"type\": \"uint8\",\n  \"method\"",
                              "\"type\": \"uint16\",\n  \"method\""))
                  .find("statistics"),
              std::string::npos);
}

TEST(TransformFile, VersionTwoDocumentsReadAsTheyWereWritten) {
    // Written by version 2 of the library for a default three-band fit with a clip (the plug-in
    // pairing): its matrix is in the engine's band order, the file's bands last to first.
    std::ifstream file(std::string(VT_TEST_DATA_DIR) + "/transform-v2-plugin-clip.json");
    const std::string v2((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_NE(v2.find("\"version\": 2"), std::string::npos);
    const TBandTransform t = ReadTransformJson(v2);
    EXPECT_EQ(t.Options.Pairing, TBandPairing::Plugin);
    EXPECT_TRUE(t.Options.Clip);
    EXPECT_EQ(t.Order[0], 2);
    EXPECT_EQ(t.Order[2], 0);
    // Rows of the document as written, in the engine's numbering of the bands (the file's
    // last to first; Weight numbers them as the file does).
    const double rows[3][4] = {
        {2.9306830552605256, -0.29751737041474013, -0.2788598352452313, -56.52484229557442},
        {-0.3388762873782239, 3.3425674510490215, 0.2907231601084596, -233.59550215298893},
        {-0.27885983524523145, 0.2552411996227814, 2.937961719754226, -402.17338045152763}};
    for (int out = 0; out < 3; ++out) {
        for (int in = 0; in < 3; ++in)
            EXPECT_EQ(t.Weight(out, in), rows[2 - out][2 - in]);
        EXPECT_EQ(t.Constant(out), rows[2 - out][3]);
    }
    EXPECT_FALSE(t.HasNoData);
    // Written again it is version 3, its matrix in the file's order (row 0 the file's first
    // band, the engine's last), and reads back to the same bits.
    const std::string v3 = WriteTransformJson(t);
    EXPECT_NE(v3.find("\"version\": 3"), std::string::npos);
    EXPECT_NE(v3.find("[\n      2.937961719754226,\n      0.2552411996227814,\n      "
                      "-0.27885983524523145,\n      -402.17338045152763\n    ]"),
              std::string::npos)
        << v3;
    EXPECT_TRUE(SameBits(ReadTransformJson(v3), t));
    // The same document marked version 3 would mean the other order: its rows swap.
    const TBandTransform swapped =
        ReadTransformJson(Replace(v2, "\"version\": 2", "\"version\": 3"));
    EXPECT_EQ(swapped.Weight(0, 0), rows[0][0]);
    EXPECT_EQ(swapped.Constant(2), rows[2][3]);
}

TEST(TransformFile, PairingAndOrderMustAgree) {
    TBandTransform t = TBandTransform::Identity(3, TSampleType::UInt16);
    const std::string direct = WriteTransformJson(t);
    EXPECT_NE(direct.find("\"version\": 1"), std::string::npos);
    EXPECT_NE(Refusal(Replace(direct, "\"direct\"", "\"plugin\"")).find("contradict"),
              std::string::npos);
    t.Order[0] = 2, t.Order[2] = 0;
    EXPECT_THROW(WriteTransformJson(t), EStretch);
    t.Options.Pairing = TBandPairing::Plugin;
    const std::string plugin = WriteTransformJson(t);
    EXPECT_NE(Refusal(Replace(plugin, "\"plugin\"", "\"direct\"")).find("contradict"),
              std::string::npos);
    // Other band counts pair directly whatever the document says.
    TBandTransform four = TBandTransform::Identity(4, TSampleType::UInt8);
    four.Options.Pairing = TBandPairing::Plugin;
    EXPECT_EQ(Refusal(WriteTransformJson(four)), "(read)");
}

TEST(TransformFile, NoDataValuesAreRecorded) {
    for (const double v : {0.1f * 1.0, -3.4028234663852886e38, -HUGE_VAL}) {
        TBandTransform t = TBandTransform::Identity(2, TSampleType::Float32);
        t.HasNoData = true;
        t.NoData = v;
        const std::string text = WriteTransformJson(t);
        EXPECT_NE(text.find("\"nodata\""), std::string::npos);
        const TBandTransform back = ReadTransformJson(text);
        EXPECT_TRUE(back.HasNoData);
        EXPECT_EQ(back.NoData, v);
        EXPECT_EQ(WriteTransformJson(back), text);
    }
    TBandTransform t = TBandTransform::Identity(1, TSampleType::UInt8);
    EXPECT_EQ(WriteTransformJson(t).find("nodata"), std::string::npos);
    t.HasNoData = true;
    t.NoData = 255;
    const std::string text = WriteTransformJson(t);
    EXPECT_NE(Refusal(Replace(text, "\"nodata\": 255", "\"nodata\": 256")).find("uint8"),
              std::string::npos);
    EXPECT_NE(Refusal(Replace(text, "\"nodata\": 255", "\"nodata\": \"inf\"")).find("uint8"),
              std::string::npos);
}

TEST(TransformFile, ReadingErrorsNameTheFile) {
    const std::string path = testing::TempDir() + "veltrane-not-a-transform.tif";
    const auto message = [&](const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
        try {
            LoadTransform(path);
        } catch (const EStretch& e) {
            return std::string(e.what());
        }
        return std::string("(read)");
    };
    EXPECT_EQ(
        message(std::string("II*\0\x08\0\0\0", 8)).rfind(path + ": not a transform file: ", 0), 0u);
    EXPECT_EQ(message("{\"a\": 1}").rfind(path + ": not a transform file: ", 0), 0u);
    TBandTransform t = TBandTransform::Identity(2, TSampleType::UInt8);
    const std::string newer = Replace(WriteTransformJson(t), "\"version\": 1", "\"version\": 9");
    EXPECT_EQ(message(newer).rfind(path + ": the document has version 9", 0), 0u) << message(newer);
    std::remove(path.c_str());
}
