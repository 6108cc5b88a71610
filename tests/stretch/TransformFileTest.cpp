// Transform and statistics files: exact round trips for every sample type, and the refusal of
// every kind of damaged document with a message that names the problem.
#include "stretch/TransformFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
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
    const std::string good = WriteTransformJson(t);
    ASSERT_EQ(Refusal(good), "(read)");
    EXPECT_NE(Refusal(good.substr(0, good.size() / 2)).find("JSON error"), std::string::npos);
    EXPECT_NE(Refusal("[1, 2]").find("not a veltrane-transform"), std::string::npos);
    EXPECT_NE(Refusal(WriteStatisticsJson(t.Statistics)).find("not a veltrane-transform"),
              std::string::npos);
    EXPECT_NE(Refusal(Replace(good, "\"version\": 1", "\"version\": 3")).find("version 3"),
              std::string::npos);
    EXPECT_NE(Refusal(Replace(good, "\"bands\": 3", "\"bands\": 17")).find("17"),
              std::string::npos);
    EXPECT_NE(Refusal(Replace(good, "\"bands\": 3", "\"bands\": 4")).find("order"),
              std::string::npos);
    EXPECT_NE(Refusal(Replace(good, "\"type\": \"uint8\"", "\"type\": \"int8\"")).find("int8"),
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
