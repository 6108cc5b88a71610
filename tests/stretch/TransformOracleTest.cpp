// The stretch transform against an oracle of its own: worked values computed by hand, and a
// second, separately written stretch (closed-form eigenvalues, eigenvectors from cross products,
// everything in long double) on random images. Neither shares code with the library's
// transform building, so a fault there cannot hide behind the literal stretch, which does.
#include "StretchTestImages.h"
#include "stretch/StretchPrivate.h"
#include "stretch/StretchTransform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace vt;
using namespace vt::test;

namespace {

using L = long double;
using Vec = std::array<L, 3>;

std::vector<TPixel> Stretched(const std::vector<TPixel>& pixels, bool offset) {
    TLinearBitmap b;
    Fill(b, static_cast<int32_t>(pixels.size()), 1, pixels);
    TAffineTransform t;
    StretchTransform(b, offset, t);
    TransformBitmap(b, t, nullptr);
    return Pixels(b);
}

// Pixels given in red, green, blue order, stored blue first.
std::vector<TPixel> FromRGB(std::initializer_list<std::array<int, 3>> rgb) {
    std::vector<TPixel> out;
    for (const auto& p : rgb)
        out.push_back({uint8_t(p[2]), uint8_t(p[1]), uint8_t(p[0])});
    return out;
}

Vec Cross(const Vec& a, const Vec& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

L Dot(const Vec& a, const Vec& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// The stretch written out once more from its definition. Channels c = 0, 1, 2 are the bytes of
// a pixel in storage order; the axis element of channel c weights byte 2 - c (the plug-in's
// pairing). Returns each output byte's exact value before rounding, in storage order.
std::vector<Vec> OracleStretch(const std::vector<TPixel>& pixels, bool offset) {
    const L n = static_cast<L>(pixels.size());
    long long s[3] = {}, ss[3][3] = {};
    for (const TPixel& p : pixels)
        for (int a = 0; a < 3; ++a) {
            s[a] += p[size_t(a)];
            for (int b = 0; b < 3; ++b)
                ss[a][b] += p[size_t(a)] * p[size_t(b)];
        }
    L r[3][3];
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) {
            const L ma = s[a] / n, mb = s[b] / n;
            const L va = ss[a][a] / n - ma * ma, vb = ss[b][b] / n - mb * mb;
            r[a][b] =
                a == b ? 1 : static_cast<double>((ss[a][b] - ma * s[b]) / (n * sqrtl(va * vb)));
        }
    // Eigenvalues of the unit-diagonal symmetric matrix in closed form.
    const L p1 = r[0][1] * r[0][1] + r[0][2] * r[0][2] + r[1][2] * r[1][2];
    const L p = sqrtl(p1 / 3);
    const L det = 2 * r[0][1] * r[0][2] * r[1][2]; // det(R - I) with a zero diagonal
    const L phi = acosl(std::max<L>(-1, std::min<L>(1, det / (2 * p * p * p)))) / 3;
    const L pi = acosl(-1);
    const L lambda[3] = {1 + 2 * p * cosl(phi), 1 + 2 * p * cosl(phi + 4 * pi / 3),
                         1 + 2 * p * cosl(phi + 2 * pi / 3)};
    Vec axis[3];
    L weight[3][3], constant[3], norm[3];
    for (int k = 0; k < 3; ++k) {
        Vec row[3];
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b)
                row[a][size_t(b)] = r[a][b] - (a == b ? lambda[k] : 0);
        Vec best = Cross(row[0], row[1]);
        for (const Vec& c : {Cross(row[0], row[2]), Cross(row[1], row[2])})
            if (Dot(c, c) > Dot(best, best))
                best = c;
        const L length = sqrtl(Dot(best, best));
        L pos = 0, neg = 0;
        for (int c = 0; c < 3; ++c) {
            axis[k][size_t(c)] = best[size_t(c)] / length;
            (axis[k][size_t(c)] >= 0 ? pos : neg) += axis[k][size_t(c)];
        }
        norm[k] = offset ? pos - neg : 1;
        constant[k] = offset ? -neg / norm[k] * 255 : 0;
        for (int c = 0; c < 3; ++c)
            weight[k][c] = axis[k][size_t(c)] / norm[k]; // weights byte 2 - c
    }
    auto component = [&](const TPixel& px, int k) {
        return weight[k][0] * px[2] + weight[k][1] * px[1] + weight[k][2] * px[0] + constant[k];
    };
    L lo[3] = {1e30L, 1e30L, 1e30L}, hi[3] = {-1e30L, -1e30L, -1e30L};
    for (const TPixel& px : pixels)
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], component(px, k));
            hi[k] = std::max(hi[k], component(px, k));
        }
    L factor[3], shift[3];
    for (int k = 0; k < 3; ++k) {
        if (offset) {
            factor[k] = 255 / (hi[k] - lo[k]);
            shift[k] = -lo[k];
        } else {
            L pos = 0, neg = 0;
            for (int c = 0; c < 3; ++c)
                (weight[k][c] >= 0 ? pos : neg) += 255 * weight[k][c];
            factor[k] = INFINITY;
            if (pos > 0 && hi[k] > 0)
                factor[k] = std::min(factor[k], pos / hi[k]);
            if (neg < 0 && lo[k] < 0)
                factor[k] = std::min(factor[k], neg / lo[k]);
            shift[k] = 0;
        }
    }
    // Back from the components: the weights are the orthonormal axes with each row divided by
    // its normalisation, so their inverse is the axes transposed with the rows multiplied back.
    std::vector<Vec> out;
    for (const TPixel& px : pixels) {
        Vec rgbOut{}; // red, green, blue
        for (int k = 0; k < 3; ++k) {
            const L z = (component(px, k) + shift[k]) * factor[k] - constant[k];
            for (int i = 0; i < 3; ++i)
                rgbOut[size_t(i)] += axis[k][size_t(i)] * norm[k] * z;
        }
        out.push_back({rgbOut[2], rgbOut[1], rgbOut[0]});
    }
    return out;
}

uint8_t RoundClamp(L v) {
    const L r = nearbyintl(v); // the default rounding mode: halves to even
    return r < 0 ? 0 : r > 255 ? 255 : static_cast<uint8_t>(r);
}

} // namespace

TEST(TransformOracle, WorkedValues) {
    // Four pixels whose stretched values were worked out by hand in both modes.
    EXPECT_EQ(Stretched(WorkedExample, true), WorkedOffset);
    EXPECT_EQ(Stretched(WorkedExample, false), WorkedScaleOnly);

    // A two-colour gradient (x, 255 - x, x): two of its components are constant, at about 203.5
    // and 43.9; scale-only scales them like any other component, by Pos / c.
    const auto gradient = FromRGB({{10, 245, 10},
                                   {40, 215, 40},
                                   {90, 165, 90},
                                   {130, 125, 130},
                                   {200, 55, 200},
                                   {240, 15, 240}});
    EXPECT_EQ(Stretched(gradient, false), FromRGB({{0, 255, 208},
                                                   {27, 255, 241},
                                                   {82, 255, 255},
                                                   {126, 255, 255},
                                                   {203, 240, 255},
                                                   {247, 197, 255}}));
}

TEST(TransformOracle, OffsetRowsNormaliseTheirWeights) {
    // Correlations r12 = 0, r13 = 0.3, r23 = 0.4 have the eigenvector (0.8, -0.6, 0) for the
    // middle eigenvalue 1 (the others are 1.5 and 0.5). With offset the row becomes its weights
    // over their absolute sum 1.4, lifted by the negative part: (0.8, -0.6, 0) / 1.4 and
    // 0.6 / 1.4 x 255, or the same row negated, (-0.8, 0.6, 0) / 1.4 and 0.8 / 1.4 x 255.
    TAffineTransform axes;
    detail::AxesFromCorrelations(0, 0.3, 0.4, true, nullptr, nullptr, nullptr, axes);
    const double sign = axes(1, 0) > 0 ? 1 : -1;
    EXPECT_NEAR(axes(1, 0), sign * 0.8 / 1.4, 1e-15);
    EXPECT_NEAR(axes(1, 1), sign * -0.6 / 1.4, 1e-15);
    EXPECT_NEAR(axes(1, 2), 0, 1e-15);
    EXPECT_NEAR(axes(1, 3), (sign > 0 ? 0.6 : 0.8) / 1.4 * 255, 1e-12);
}

TEST(TransformOracle, RandomImagesMatchASeparatelyWrittenStretch) {
    std::mt19937 random(2026);
    int compared = 0, undecided = 0;
    for (int trial = 0; trial < 60; ++trial) {
        // Correlated colours: a random mixture of three random sources, then clamped.
        std::uniform_real_distribution<double> mix(-1, 1);
        double m[3][3];
        for (auto& row : m)
            for (double& v : row)
                v = mix(random);
        const size_t count = 5 + random() % 60;
        std::vector<TPixel> pixels;
        for (size_t i = 0; i < count; ++i) {
            const double src[3] = {mix(random), mix(random), mix(random)};
            TPixel px;
            for (int c = 0; c < 3; ++c) {
                const double v =
                    128 + 100 * (m[c][0] * src[0] + m[c][1] * src[1] + m[c][2] * src[2]);
                px[size_t(c)] = uint8_t(std::max(0.0, std::min(255.0, v)));
            }
            pixels.push_back(px);
        }
        for (bool offset : {true, false}) {
            const std::vector<Vec> expected = OracleStretch(pixels, offset);
            const std::vector<TPixel> got = Stretched(pixels, offset);
            for (size_t i = 0; i < count; ++i)
                for (size_t c = 0; c < 3; ++c) {
                    const L v = expected[i][c];
                    if (std::fabs(std::fabs(v - std::floor(v)) - 0.5L) < 1e-6L) {
                        ++undecided; // too close to a half for two computations to agree on
                        continue;
                    }
                    ++compared;
                    ASSERT_EQ(got[i][c], RoundClamp(v))
                        << "trial " << trial << (offset ? " offset" : " scale-only") << " pixel "
                        << i << " byte " << c << ": oracle " << static_cast<double>(v);
                }
        }
    }
    EXPECT_GT(compared, 10000);
    EXPECT_LT(undecided, 10);
}
