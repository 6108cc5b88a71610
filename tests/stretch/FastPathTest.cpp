// The fast passes against the literal reference: the same transform bits and the same bytes,
// on ordinary images and on adversarial ones whose sums land on or near rounding halves, with
// the vector kernels and with the portable ones.
#include "StretchReference.h"
#include "StretchTestImages.h"
#include "stretch/KernelDispatch.h"
#include "stretch/StretchEngine.h"
#include "stretch/StretchPrivate.h"
#include "stretch/StretchTransform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

using namespace vt;
using namespace vt::test;

namespace {

class FastPath : public testing::TestWithParam<detail::TKernelChoice> {
protected:
    void SetUp() override { detail::SetKernelChoice(GetParam()); }
    void TearDown() override { detail::SetKernelChoice(detail::TKernelChoice::Best); }
};

// A 24-bit bitmap with rows BytesPerLine apart (padding filled with a marker).
class TTestBitmap : public TLinearBitmap {
public:
    TTestBitmap(int32_t w, int32_t h, int32_t padding, std::mt19937& random, int spread) {
        New(w + padding, h, pf24bit); // a block big enough, then narrower rows inside it
        Width = w;
        BytesPerLine = (w + padding) * 3;
        std::memset(Map, 0xEE, static_cast<size_t>(Size));
        const int base = static_cast<int>(random() % 128);
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w * 3; ++x)
                ScanLine(y)[x] = static_cast<uint8_t>(std::min(
                    255, base + static_cast<int>(random() % static_cast<unsigned>(spread))));
    }
};

bool SameBits(const TAffineTransform& a, const TAffineTransform& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Every byte of the two bitmaps' rows (padding included).
bool SameBytes(const TLinearBitmap& a, const TLinearBitmap& b) {
    return a.Size == b.Size && std::memcmp(a.Map, b.Map, static_cast<size_t>(a.Size)) == 0;
}

// A byte-for-byte copy, rows and padding alike.
class TCopy : public TLinearBitmap {
public:
    explicit TCopy(const TLinearBitmap& b) {
        New(b.BytesPerLine / 3, b.Height, pf24bit);
        std::memcpy(Map, b.Map, static_cast<size_t>(b.Size));
        Width = b.Width;
    }
};

// Weights and constants of no particular structure.
TAffineTransform GenericTransform(std::mt19937& random) {
    TAffineTransform t;
    IdentityTransform(t);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            t(r, c) = std::uniform_real_distribution<double>(-1.2, 1.2)(random);
        t(r, 3) = std::uniform_real_distribution<double>(0, 200)(random);
    }
    return t;
}

// Colours (first byte first) whose first component under T lies within Distance of a rounding
// half and between Low and High; about Limit of them at the most.
std::vector<TPixel> ColoursNearHalves(const TAffineTransform& t, double distance, double low,
                                      double high, size_t limit) {
    std::vector<TPixel> colours;
    for (int r = 0; r < 256 && colours.size() < limit; ++r)
        for (int g = 0; g < 256; ++g)
            for (int b = 0; b < 256; ++b) {
                const double y = r * t(0, 0) + g * t(0, 1) + b * t(0, 2) + t(0, 3);
                if (y > low && y < high && std::fabs(y - std::floor(y) - 0.5) < distance)
                    colours.push_back({uint8_t(b), uint8_t(g), uint8_t(r)});
            }
    return colours;
}

// A one-row image of the colours, mapped through T by the library and by the literal stretch:
// whether the bytes agree.
bool MapsLikeTheReference(const std::vector<TPixel>& colours, const TAffineTransform& t) {
    TLinearBitmap image;
    Fill(image, static_cast<int32_t>(colours.size()), 1, colours);
    TCopy a(image), b(image);
    TransformBitmap(a, t, nullptr);
    reference::TransformBitmap(b, t, nullptr);
    return SameBytes(a, b);
}

} // namespace

TEST_P(FastPath, StretchMatchesTheReferenceBitForBit) {
    std::mt19937 random(2024);
    for (int trial = 0; trial < 60; ++trial) {
        const int32_t w = 1 + static_cast<int32_t>(random() % 70);
        const int32_t h = 1 + static_cast<int32_t>(random() % 9);
        const int32_t padding = trial % 3 == 0 ? 1 : 0;
        TTestBitmap image(w, h, padding, random, 2 + static_cast<int>(random() % 254));
        for (bool offset : {true, false}) {
            TAffineTransform fast, literal;
            StretchTransform(image, offset, fast);
            reference::StretchTransform(image, offset, literal);
            ASSERT_TRUE(SameBits(fast, literal)) << w << "x" << h << " offset " << offset;
            TCopy a(image), b(image);
            TransformBitmap(a, fast, nullptr);
            reference::TransformBitmap(b, literal, nullptr);
            ASSERT_TRUE(SameBytes(a, b)) << w << "x" << h << " offset " << offset;
        }
    }
}

TEST_P(FastPath, DyadicTransformsLandExactlyOnHalves) {
    // Weights k/8 and constants j/2: many sums are exact halves, which only the extended
    // computation may round.
    std::mt19937 random(5);
    TTestBitmap image(509, 64, 0, random, 256);
    for (int trial = 0; trial < 20; ++trial) {
        TAffineTransform t;
        IdentityTransform(t);
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                t(r, c) = (static_cast<int>(random() % 17) - 8) / 8.0;
            t(r, 3) = (static_cast<int>(random() % 401) - 200) / 2.0;
        }
        TCopy a(image), b(image);
        TransformBitmap(a, t, nullptr);
        reference::TransformBitmap(b, t, nullptr);
        ASSERT_TRUE(SameBytes(a, b)) << "trial " << trial;
    }
}

TEST_P(FastPath, SumsWithinAHairOfAHalfAreDecidedExactly) {
    std::mt19937 random(9);
    TTestBitmap image(300, 40, 2, random, 256);
    for (double hair :
         {1e-13, -1e-13, 1e-9, -1e-9, 1e-6, -1e-6, 1e-5, -1e-5, 3e-5, -3e-5, 6e-5, -6e-5}) {
        TAffineTransform t;
        IdentityTransform(t);
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                t(r, c) = (static_cast<int>(random() % 9) - 4) / 4.0;
            t(r, 3) = 0.5 + hair + static_cast<int>(random() % 100);
        }
        TCopy a(image), b(image);
        TLinearBitmap target;
        TransformBitmap(a, t, nullptr);
        reference::TransformBitmap(b, t, nullptr);
        ASSERT_TRUE(SameBytes(a, b)) << "hair " << hair;
        TransformBitmap(image, t, &target); // into a separate, packed target
        for (int32_t y = 0; y < image.Height; ++y)
            ASSERT_EQ(0, std::memcmp(target.ScanLine(y), b.ScanLine(y), 300 * 3)) << hair;
    }
}

TEST_P(FastPath, WeightsJustOffDyadicPutSumsOnBothSidesOfHalves) {
    // Dyadic weights moved by less than single precision resolves: the exact sums lie a hair
    // above or below the halves, and single precision alone would often round them wrongly.
    std::mt19937 random(31);
    TTestBitmap image(256, 48, 1, random, 256);
    for (double tiny : {1e-7, -1e-7, 3e-8, -3e-8, 2e-6, -2e-6}) {
        for (int trial = 0; trial < 4; ++trial) {
            TAffineTransform t;
            IdentityTransform(t);
            for (int r = 0; r < 3; ++r) {
                for (int c = 0; c < 3; ++c)
                    t(r, c) = (static_cast<int>(random() % 9) - 4) / 8.0 + tiny * (c + 1);
                t(r, 3) = static_cast<int>(random() % 64) / 2.0;
            }
            TCopy a(image), b(image);
            TransformBitmap(a, t, nullptr);
            reference::TransformBitmap(b, t, nullptr);
            ASSERT_TRUE(SameBytes(a, b)) << "tiny " << tiny << " trial " << trial;
        }
    }
}

TEST_P(FastPath, GenericWeightsWithSumsNearHalves) {
    // Colours hunted out of the whole cube so that their exact sums lie within 2e-6 of a half:
    // closer than single precision can tell apart at these magnitudes.
    std::mt19937 random(123);
    for (int trial = 0; trial < 3; ++trial) {
        const TAffineTransform t = GenericTransform(random);
        std::vector<TPixel> colours = ColoursNearHalves(t, 2e-6, -1e300, 1e300, 1u << 30);
        ASSERT_GT(colours.size(), 8u);
        while (colours.size() < 64)
            colours.push_back(colours[colours.size() % 8]);
        ASSERT_TRUE(MapsLikeTheReference(colours, t))
            << "trial " << trial << ", " << colours.size() << " colours";
    }
}

TEST_P(FastPath, LargeWeightsWithSumsNearHalves) {
    // Weights up to 6 with outputs spread around mid-grey: single precision is off by up to
    // about 1e-3 here, and colours within that distance of a half must still be decided as the
    // extended computation decides them.
    std::mt19937 random(77);
    for (int trial = 0; trial < 3; ++trial) {
        TAffineTransform t;
        IdentityTransform(t);
        for (int r = 0; r < 3; ++r) {
            t(r, 3) = std::uniform_real_distribution<double>(-200, 450)(random);
            for (int c = 0; c < 3; ++c) {
                t(r, c) = std::uniform_real_distribution<double>(-6, 6)(random);
                t(r, 3) -= 128 * t(r, c);
            }
        }
        const std::vector<TPixel> colours = ColoursNearHalves(t, 1e-3, -1, 256, 20000);
        ASSERT_GT(colours.size(), 1000u);
        ASSERT_TRUE(MapsLikeTheReference(colours, t))
            << "trial " << trial << ", " << colours.size() << " colours";
    }
}

TEST_P(FastPath, RangesAmongColoursSingleCannotOrder) {
    // Thousands of colours whose first components all lie within 1e-4 of each other, at the
    // bottom (then the top) of the image's range: single precision cannot order them. Half the
    // trials move them next to 0, where a float resolves far finer than its error, so that the
    // estimates' order is that of their errors and not of the values.
    std::mt19937 random(321);
    for (int trial = 0; trial < 12; ++trial) {
        TAffineTransform t = GenericTransform(random);
        const bool top = trial % 2 == 1;
        auto value = [&](int r, int g, int b) {
            return r * t(0, 0) + g * t(0, 1) + b * t(0, 2) + t(0, 3);
        };
        double target = value(int(random() % 256), int(random() % 256), int(random() % 256));
        if (trial % 4 >= 2) {
            t(0, 3) -= target;
            target = 0;
        }
        std::vector<TPixel> colours;
        for (int r = 0; r < 256; ++r)
            for (int g = 0; g < 256; ++g)
                for (int b = 0; b < 256; ++b) {
                    const double y = value(r, g, b);
                    const bool hunted = std::fabs(y - target) < 1e-4;
                    const bool filler = top ? y < target - 1 : y > target + 1;
                    if (hunted || (filler && random() % 4096 == 0))
                        colours.push_back({uint8_t(b), uint8_t(g), uint8_t(r)});
                }
        std::shuffle(colours.begin(), colours.end(), random);
        TLinearBitmap image;
        Fill(image, static_cast<int32_t>(colours.size()), 1, colours);
        double low[3], high[3];
        detail::ComponentRanges(image, t, low, high);
        double exact = top ? -1e300 : 1e300;
        for (const TPixel& p : colours) {
            double c[3];
            TransformColor(p[2], p[1], p[0], t, c[0], c[1], c[2]);
            exact = top ? std::max(exact, c[0]) : std::min(exact, c[0]);
        }
        EXPECT_EQ(top ? high[0] : low[0], exact) << "trial " << trial << ", " << colours.size();
    }
}

TEST_P(FastPath, RangesFindExactExtremesAmongNearTies) {
    // Distinct colours whose components differ by less than single precision can tell, and
    // large areas of the extreme colour.
    std::mt19937 random(77);
    TLinearBitmap image;
    image.New(257, 33, pf24bit);
    for (int32_t i = 0; i < image.Width * image.Height; ++i) {
        uint8_t* p = image.Map + 3 * i;
        p[0] = static_cast<uint8_t>(random() % 256);
        p[1] = static_cast<uint8_t>(random() % 256);
        p[2] = static_cast<uint8_t>(i % 7 == 0 ? 0 : random() % 256);
    }
    for (double tilt : {0.0, 1e-15, 1e-12, 1e-9, 1e-7, 1e-6, 1e-5, 3e-5}) {
        TAffineTransform t;
        IdentityTransform(t);
        t(0, 0) = 1.0 / 3 + tilt; // weights that make many colours tie up to the tilt
        t(0, 1) = 1.0 / 3;
        t(0, 2) = 1.0 / 3 - tilt;
        t(1, 0) = 0.7071067811865476;
        t(1, 2) = -0.7071067811865476 + tilt;
        t(2, 1) = -1;
        t(2, 3) = 255;
        double low[3], high[3], refLow[3], refHigh[3];
        detail::ComponentRanges(image, t, low, high);
        for (int k = 0; k < 3; ++k) {
            refLow[k] = 1e300;
            refHigh[k] = -1e300;
        }
        for (int32_t i = 0; i < image.Width * image.Height; ++i) {
            const uint8_t* p = image.Map + 3 * i;
            double c[3];
            TransformColor(p[2], p[1], p[0], t, c[0], c[1], c[2]);
            for (int k = 0; k < 3; ++k) {
                refLow[k] = std::min(refLow[k], c[k]);
                refHigh[k] = std::max(refHigh[k], c[k]);
            }
        }
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(low[k], refLow[k]) << "tilt " << tilt << " component " << k;
            EXPECT_EQ(high[k], refHigh[k]) << "tilt " << tilt << " component " << k;
        }
    }
}

TEST_P(FastPath, ChannelSumsAreExact) {
    std::mt19937 random(3);
    for (int32_t w : {1, 31, 32, 33, 95, 96, 97, 1000}) {
        TTestBitmap image(w, 3, w % 2, random, 256);
        const detail::TChannelSums sums = detail::ComputeChannelSums(image);
        int64_t expected[3] = {0, 0, 0}, products[3][3] = {};
        for (int32_t y = 0; y < image.Height; ++y)
            for (int32_t x = 0; x < w; ++x) {
                const uint8_t* p = image.ScanLine(y) + 3 * x;
                for (int a = 0; a < 3; ++a) {
                    expected[a] += p[a];
                    for (int b = a; b < 3; ++b)
                        products[a][b] += int64_t{p[a]} * p[b];
                }
            }
        for (int a = 0; a < 3; ++a) {
            EXPECT_EQ(sums.Sum[a], expected[a]) << w;
            for (int b = a; b < 3; ++b)
                EXPECT_EQ(sums.Product[a][b], products[a][b]) << w;
        }
    }
}

TEST_P(FastPath, ThreadsNeverChangeTheResult) {
    // Packed images are cut within their one long row, padded ones between rows; the parts
    // hold at least 64 pixels, so these small images are cut as finely as large ones. The
    // pixels are handed over in colour order both as the plug-in stores them (blue first,
    // read through a reversed band stride) and as files do (red first, which the three-byte
    // passes stage).
    std::mt19937 random(4);
    const TTestBitmap packed(333, 101, 0, random, 200), padded(257, 99, 3, random, 120);
    for (const TLinearBitmap* image :
         {static_cast<const TLinearBitmap*>(&packed), static_cast<const TLinearBitmap*>(&padded)}) {
        for (bool offset : {true, false}) {
            TAffineTransform expected;
            reference::StretchTransform(*image, offset, expected);
            TCopy want(*image);
            reference::TransformBitmap(want, expected, nullptr);
            TFitOptions options;
            options.Method = offset ? TStretchMethod::Offset : TStretchMethod::ScaleOnly;
            for (const bool redFirst : {false, true})
                for (int threads : {1, 2, 3, 7, 16}) {
                    TCopy got(*image);
                    const auto exchange = [&] {
                        for (int y = 0; y < got.Height; ++y)
                            for (int x = 0; x < got.Width; ++x)
                                std::swap(got.Map[y * got.BytesPerLine + 3 * x],
                                          got.Map[y * got.BytesPerLine + 3 * x + 2]);
                    };
                    if (redFirst)
                        exchange();
                    TImageView view = TImageView::Interleaved(got.Map, got.Width, got.Height, 3,
                                                              TSampleType::UInt8, got.BytesPerLine);
                    if (!redFirst) {
                        view.Data = got.Map + 2;
                        view.BandStride = -1;
                    }
                    TRunOptions run;
                    run.Threads = threads;
                    const TBandTransform t = FitStretch(view, {}, options, run);
                    ApplyStretch(t, view, view, nullptr, run);
                    if (redFirst)
                        exchange();
                    bool same = true;
                    for (int r = 0; r < 3; ++r)
                        for (int c = 0; c < 4; ++c)
                            same = same && std::memcmp(&t.Map.M[r][c], &expected(r, c),
                                                       sizeof(double)) == 0;
                    EXPECT_TRUE(same) << threads << " threads, red first " << redFirst;
                    EXPECT_TRUE(SameBytes(got, want))
                        << threads << " threads, red first " << redFirst;
                }
        }
    }
}

TEST_P(FastPath, HugeWeightsFallBackToTheExactPath) {
    std::mt19937 random(1);
    TTestBitmap image(40, 4, 0, random, 256);
    TAffineTransform t;
    IdentityTransform(t);
    for (double weight : {1e7, 150.0, -150.0}) { // beyond the bound, and large but within it
        t(0, 0) = weight;
        t(0, 3) = weight > 1e6 ? -1e9 : 0;
        t(1, 1) = 0.5;
        TCopy a(image), b(image);
        TransformBitmap(a, t, nullptr);
        reference::TransformBitmap(b, t, nullptr);
        EXPECT_TRUE(SameBytes(a, b)) << weight;
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, FastPath,
                         testing::Values(detail::TKernelChoice::Best, detail::TKernelChoice::Avx2,
                                         detail::TKernelChoice::Portable),
                         [](const testing::TestParamInfo<detail::TKernelChoice>& kernel) {
                             return kernel.param == detail::TKernelChoice::Best   ? "Best"
                                    : kernel.param == detail::TKernelChoice::Avx2 ? "Avx2"
                                                                                  : "Portable";
                         });
