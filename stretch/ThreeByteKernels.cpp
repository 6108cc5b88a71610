// The passes over the plug-in's three-byte layout: channel sums, component ranges and the
// application of the final transform. Each has a portable form and an AVX2 form chosen at run
// time; the AVX2 forms compute in single precision with a proven error bound and fall back to
// the extended computation wherever the bound cannot decide, so both give the same bytes.
#include "stretch/ThreeByteKernels.h"

#include "stretch/KernelDispatch.h"
#include "stretch/RangeTies.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define VT_HAVE_AVX2_KERNELS 1
#define VT_AVX2 __attribute__((target("avx2,fma")))
#endif

namespace vt::detail {

namespace {

// ---- Portable forms ------------------------------------------------------------------------

void SumsPortable(const uint8_t* pixel, int32_t count, TChannelSums& sums) noexcept {
    int64_t s0 = 0, s1 = 0, s2 = 0, p00 = 0, p11 = 0, p22 = 0, p01 = 0, p02 = 0, p12 = 0;
    for (int32_t i = 0; i < count; ++i, pixel += 3) {
        const int64_t a = pixel[0], b = pixel[1], c = pixel[2];
        for (int k = 0; k < 3; ++k) {
            sums.Lowest[k] = std::min(sums.Lowest[k], pixel[k]);
            sums.Highest[k] = std::max(sums.Highest[k], pixel[k]);
        }
        s0 += a;
        s1 += b;
        s2 += c;
        p00 += a * a;
        p11 += b * b;
        p22 += c * c;
        p01 += a * b;
        p02 += a * c;
        p12 += b * c;
    }
    sums.Sum[0] += s0;
    sums.Sum[1] += s1;
    sums.Sum[2] += s2;
    sums.Product[0][0] += p00;
    sums.Product[1][1] += p11;
    sums.Product[2][2] += p22;
    sums.Product[0][1] += p01;
    sums.Product[0][2] += p02;
    sums.Product[1][2] += p12;
}

// The exact value TransformColor stores for component k of a pixel.
inline double ExactComponent(const uint8_t* pixel, const TAffineTransform& T, int k) noexcept {
    return static_cast<double>(AffineSum(pixel[2], pixel[1], pixel[0], T, k));
}

void RangesPortable(const uint8_t* pixel, int32_t count, const TAffineTransform& T,
                    double lowest[3], double highest[3]) noexcept {
    for (int32_t i = 0; i < count; ++i, pixel += 3)
        for (int k = 0; k < 3; ++k) {
            const double c = ExactComponent(pixel, T, k);
            if (!(lowest[k] < c))
                lowest[k] = c;
            if (!(highest[k] > c))
                highest[k] = c;
        }
}

void ApplyPortable(const uint8_t* in, uint8_t* out, int32_t count,
                   const TAffineTransform& T) noexcept {
    for (int32_t i = 0; i < count; ++i, in += 3, out += 3) {
        const uint8_t r = in[2], g = in[1], b = in[0];
        out[2] = RoundClampByte(AffineSum(r, g, b, T, 0));
        out[1] = RoundClampByte(AffineSum(r, g, b, T, 1));
        out[0] = RoundClampByte(AffineSum(r, g, b, T, 2));
    }
}

// ---- Error bound of the single-precision forms -------------------------------------------

// The single-precision forms evaluate component k as
//   C + T0 (in0 - 128) + T1 (in1 - 128) + T2 (in2 - 128),  C = T3 + 128 (T0 + T1 + T2),
// which is the same affine map with the inputs centred on mid-grey: the terms are at most half
// as large and C is about the component's value at mid-grey, so the rounding errors shrink
// with them.
inline Extended CentredConstant(const TAffineTransform& T, int k) noexcept {
    return static_cast<Extended>(T(k, 3)) +
           128 * (static_cast<Extended>(T(k, 0)) + T(k, 1) + T(k, 2));
}

// M = 128 (|T0| + |T1| + |T2|) + |C|: no term, partial sum or result of the centred form
// exceeds it, so every rounding error is relative to it.
inline double CentredMagnitude(const TAffineTransform& T, int k) noexcept {
    return 128.0 * (std::fabs(T(k, 0)) + std::fabs(T(k, 1)) + std::fabs(T(k, 2))) +
           std::fabs(static_cast<double>(CentredConstant(T, k)));
}

// A bound on |single-precision result - exact result| for component k: the weights and C
// rounded to floats (one unit roundoff u of each term) and three fused multiply-adds (u of the
// running magnitude each), 4u x M in all; 5u x M leaves room for the rounding of the extended
// result to a double and for the extended computation's own roundings.
[[maybe_unused]] float SingleErrorBound(const TAffineTransform& T, int k) noexcept {
    const double bound = 5.0 * std::ldexp(CentredMagnitude(T, k), -24);
    return std::isfinite(bound) ? static_cast<float>(bound * (1 + 1e-6)) : INFINITY;
}

#if defined(VT_HAVE_AVX2_KERNELS)

// ---- AVX2 forms ----------------------------------------------------------------------------

// Splits 16 pixels (48 bytes at a, a + 16, a + 32) of each 128-bit lane into their three
// channels, 16 bytes each.
struct TSplit16 {
    __m256i C0, C1, C2;
};

VT_AVX2 inline TSplit16 SplitPixels32(const uint8_t* p) noexcept {
    const __m256i a = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), 1);
    const __m256i b = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 64)), 1);
    const __m256i c = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 80)), 1);
#define VT_M(...) _mm256_setr_epi8(__VA_ARGS__, __VA_ARGS__)
    const __m256i c0a = VT_M(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i c0b = VT_M(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1);
    const __m256i c0c = VT_M(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13);
    const __m256i c1a = VT_M(1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i c1b = VT_M(-1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1);
    const __m256i c1c = VT_M(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14);
    const __m256i c2a = VT_M(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i c2b = VT_M(-1, -1, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1);
    const __m256i c2c = VT_M(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15);
#undef VT_M
    TSplit16 s;
    s.C0 =
        _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(a, c0a), _mm256_shuffle_epi8(b, c0b)),
                        _mm256_shuffle_epi8(c, c0c));
    s.C1 =
        _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(a, c1a), _mm256_shuffle_epi8(b, c1b)),
                        _mm256_shuffle_epi8(c, c1c));
    s.C2 =
        _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(a, c2a), _mm256_shuffle_epi8(b, c2b)),
                        _mm256_shuffle_epi8(c, c2c));
    return s;
}

VT_AVX2 inline __m256i SquareSums(__m256i x, __m256i y) noexcept {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i xl = _mm256_unpacklo_epi8(x, zero), xh = _mm256_unpackhi_epi8(x, zero);
    const __m256i yl = _mm256_unpacklo_epi8(y, zero), yh = _mm256_unpackhi_epi8(y, zero);
    return _mm256_add_epi32(_mm256_madd_epi16(xl, yl), _mm256_madd_epi16(xh, yh));
}

VT_AVX2 inline __m256i Widen32To64(__m256i v) noexcept {
    return _mm256_add_epi64(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(v)),
                            _mm256_cvtepu32_epi64(_mm256_extracti128_si256(v, 1)));
}

VT_AVX2 inline int64_t HorizontalSum64(__m256i v) noexcept {
    alignas(32) int64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

// Sums of the first (count / 32) x 32 pixels; returns how many pixels it took.
VT_AVX2 int32_t SumsAvx2(const uint8_t* pixel, int32_t count, TChannelSums& sums) noexcept {
    const __m256i zero = _mm256_setzero_si256();
    __m256i s0 = zero, s1 = zero, s2 = zero;
    __m256i q[6] = {zero, zero, zero, zero, zero, zero}; // 64-bit product sums
    __m256i low[3], high[3];
    for (int k = 0; k < 3; ++k) {
        low[k] = _mm256_set1_epi8(static_cast<char>(sums.Lowest[k]));
        high[k] = _mm256_set1_epi8(static_cast<char>(sums.Highest[k]));
    }
    const int32_t blocks = count / 32;
    // Each 32-bit lane gains at most 2 x 2 x 255^2 per step; 8192 steps stay below 2^32.
    for (int32_t start = 0; start < blocks; start += 8192) {
        const int32_t end = blocks - start < 8192 ? blocks : start + 8192;
        __m256i p[6] = {zero, zero, zero, zero, zero, zero};
        for (int32_t i = start; i < end; ++i) {
            const TSplit16 c = SplitPixels32(pixel + static_cast<intptr_t>(i) * 96);
            s0 = _mm256_add_epi64(s0, _mm256_sad_epu8(c.C0, zero));
            s1 = _mm256_add_epi64(s1, _mm256_sad_epu8(c.C1, zero));
            s2 = _mm256_add_epi64(s2, _mm256_sad_epu8(c.C2, zero));
            p[0] = _mm256_add_epi32(p[0], SquareSums(c.C0, c.C0));
            p[1] = _mm256_add_epi32(p[1], SquareSums(c.C1, c.C1));
            p[2] = _mm256_add_epi32(p[2], SquareSums(c.C2, c.C2));
            p[3] = _mm256_add_epi32(p[3], SquareSums(c.C0, c.C1));
            p[4] = _mm256_add_epi32(p[4], SquareSums(c.C0, c.C2));
            p[5] = _mm256_add_epi32(p[5], SquareSums(c.C1, c.C2));
            low[0] = _mm256_min_epu8(low[0], c.C0);
            low[1] = _mm256_min_epu8(low[1], c.C1);
            low[2] = _mm256_min_epu8(low[2], c.C2);
            high[0] = _mm256_max_epu8(high[0], c.C0);
            high[1] = _mm256_max_epu8(high[1], c.C1);
            high[2] = _mm256_max_epu8(high[2], c.C2);
        }
        for (int j = 0; j < 6; ++j)
            q[j] = _mm256_add_epi64(q[j], Widen32To64(p[j]));
    }
    sums.Sum[0] += HorizontalSum64(s0);
    sums.Sum[1] += HorizontalSum64(s1);
    sums.Sum[2] += HorizontalSum64(s2);
    sums.Product[0][0] += HorizontalSum64(q[0]);
    sums.Product[1][1] += HorizontalSum64(q[1]);
    sums.Product[2][2] += HorizontalSum64(q[2]);
    sums.Product[0][1] += HorizontalSum64(q[3]);
    sums.Product[0][2] += HorizontalSum64(q[4]);
    sums.Product[1][2] += HorizontalSum64(q[5]);
    for (int k = 0; k < 3; ++k) {
        alignas(32) uint8_t lanes[2][32];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[0]), low[k]);
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[1]), high[k]);
        for (int i = 0; i < 32; ++i) {
            sums.Lowest[k] = std::min(sums.Lowest[k], lanes[0][i]);
            sums.Highest[k] = std::max(sums.Highest[k], lanes[1][i]);
        }
    }
    return blocks * 32;
}

// Eight pixels as three vectors of floats, each byte less 128, and the bytes they came from
// (four pixels in the low 12 bytes of each 128-bit lane). A byte becomes a float by setting it
// as the mantissa of 2^23 and subtracting 2^23 + 128, which is exact and avoids the
// processor's slower conversions.
// Reads 28 bytes: the caller keeps 11 pixels readable.
struct TPixels8 {
    __m256 In0, In1, In2; // third, second and first byte: the transform's inputs 0, 1, 2
    __m256i Raw;
};

// The bytes that Select picks, one into the low byte of each 32-bit lane, as floats less 128.
VT_AVX2 inline __m256 ByteAsFloat(__m256i raw, __m256i select) noexcept {
    const __m256i exponent = _mm256_set1_epi32(0x4B000000); // 2^23
    return _mm256_sub_ps(
        _mm256_castsi256_ps(_mm256_or_si256(_mm256_shuffle_epi8(raw, select), exponent)),
        _mm256_set1_ps(8388608.0f + 128.0f));
}

VT_AVX2 inline TPixels8 LoadPixels8(const uint8_t* p) noexcept {
    const __m256i raw = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)), 1);
#define VT_M(...) _mm256_setr_epi8(__VA_ARGS__, __VA_ARGS__)
    const __m256i byte0 = VT_M(0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1);
    const __m256i byte1 = VT_M(1, -1, -1, -1, 4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1);
    const __m256i byte2 = VT_M(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1);
#undef VT_M
    return {ByteAsFloat(raw, byte2), ByteAsFloat(raw, byte1), ByteAsFloat(raw, byte0), raw};
}

// The colours of the eight pixels, first | second << 8 | third << 16.
VT_AVX2 inline __m256i Colours(const TPixels8& px) noexcept {
#define VT_M(...) _mm256_setr_epi8(__VA_ARGS__, __VA_ARGS__)
    const __m256i pack = VT_M(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
#undef VT_M
    return _mm256_shuffle_epi8(px.Raw, pack);
}

// The three weights and the centred constant of one component, as floats.
struct TRow {
    __m256 W0, W1, W2, C;
};

VT_AVX2 inline TRow LoadRow(const TAffineTransform& T, int k) noexcept {
    return {_mm256_set1_ps(static_cast<float>(T(k, 0))),
            _mm256_set1_ps(static_cast<float>(T(k, 1))),
            _mm256_set1_ps(static_cast<float>(T(k, 2))),
            _mm256_set1_ps(static_cast<float>(CentredConstant(T, k)))};
}

VT_AVX2 inline __m256 Evaluate(const TRow& r, const TPixels8& px) noexcept {
    return _mm256_fmadd_ps(px.In0, r.W0,
                           _mm256_fmadd_ps(px.In1, r.W1, _mm256_fmadd_ps(px.In2, r.W2, r.C)));
}

VT_AVX2 inline float HorizontalMin(__m256 v) noexcept {
    __m128 m = _mm_min_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    m = _mm_min_ps(m, _mm_movehl_ps(m, m));
    m = _mm_min_ss(m, _mm_shuffle_ps(m, m, 1));
    return _mm_cvtss_f32(m);
}

VT_AVX2 inline float HorizontalMax(__m256 v) noexcept {
    __m128 m = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    m = _mm_max_ps(m, _mm_movehl_ps(m, m));
    m = _mm_max_ss(m, _mm_shuffle_ps(m, m, 1));
    return _mm_cvtss_f32(m);
}

// Exact extremes of the three components, found with single-precision estimates. A pixel can
// hold an exact extreme only if its estimate lies within twice the error bound of the running
// estimated extreme; such pixels (told apart by colour, so that a large area of one colour
// costs one evaluation) are evaluated exactly. The blocks are re-read while they are in cache.
class TRangeScanner {
    // Per component and extreme: the colour (first | second << 8 | third << 16) and integer
    // value of the pixel that set it last, and the colour last found strictly beyond it (-1:
    // none yet).
    struct TSide {
        int Colour = -1, Passed = -1;
        int64_t Value;
    };

public:
    VT_AVX2 TRangeScanner(const TAffineTransform& T, double lowest[3], double highest[3])
        : Transform(T), Lowest(lowest), Highest(highest) {
        for (int k = 0; k < 3; ++k) {
            Rows[k] = LoadRow(T, k);
            Margin[k] = 2 * SingleErrorBound(T, k);
            EstimatedLow[k] = INFINITY;
            EstimatedHigh[k] = -INFINITY;
            const double row[4] = {T(k, 0), T(k, 1), T(k, 2), T(k, 3)};
            Ints[k].Set(row, 3, 0, 255);
            const int64_t sum = Ints[k].W[0] + Ints[k].W[1] + Ints[k].W[2];
            GreyFits[k] = Ints[k].Exact && sum > -(int64_t{1} << 23) && sum < (int64_t{1} << 23);
            GreySum[k] = GreyFits[k] ? static_cast<int32_t>(sum) : 0;
        }
    }

    // Pixels [0, count) of one row. A vector step reads 11 pixels, so the last ten pixels of
    // a row are taken one by one. Blocks are grouped into chunks small enough to stay in the
    // second-level cache; at the end of a chunk only the blocks whose estimates come within the
    // margin of the running extremes are scanned again.
    VT_AVX2 void Row(const uint8_t* pixel, int32_t count) {
        int32_t x = 0;
        while (x + 11 <= count) {
            int blocks = 0;
            while (blocks < ChunkBlocks && x + 11 <= count) {
                TBlock& block = Blocks[blocks++];
                const int32_t blockEnd = count - x > BlockPixels ? x + BlockPixels : count;
                __m256 low[3], high[3];
                for (int k = 0; k < 3; ++k) {
                    low[k] = _mm256_set1_ps(INFINITY);
                    high[k] = _mm256_set1_ps(-INFINITY);
                }
                int32_t v = x;
                for (; v + 8 <= blockEnd && v + 11 <= count; v += 8) {
                    const TPixels8 px = LoadPixels8(pixel + static_cast<intptr_t>(v) * 3);
                    for (int k = 0; k < 3; ++k) {
                        const __m256 y = Evaluate(Rows[k], px);
                        low[k] = _mm256_min_ps(low[k], y);
                        high[k] = _mm256_max_ps(high[k], y);
                    }
                }
                block.From = x;
                block.To = v;
                for (int k = 0; k < 3; ++k) {
                    block.Low[k] = HorizontalMin(low[k]);
                    block.High[k] = HorizontalMax(high[k]);
                    EstimatedLow[k] = std::fmin(EstimatedLow[k], block.Low[k]);
                    EstimatedHigh[k] = std::fmax(EstimatedHigh[k], block.High[k]);
                }
                x = v;
            }
            // The running estimates only move outwards, so any block that can hold an exact
            // extreme of the whole image passes this test now.
            for (int b = 0; b < blocks; ++b) {
                const TBlock& block = Blocks[b];
                bool low[3], high[3], rescan = false;
                for (int k = 0; k < 3; ++k) {
                    low[k] = block.Low[k] <= EstimatedLow[k] + Margin[k];
                    high[k] = block.High[k] >= EstimatedHigh[k] - Margin[k];
                    rescan = rescan || low[k] || high[k];
                }
                if (rescan)
                    Rescan(pixel, block.From, block.To, low, high);
            }
        }
        for (; x < count; ++x)
            Exact(pixel + static_cast<intptr_t>(x) * 3);
    }

private:
    VT_AVX2 void Rescan(const uint8_t* pixel, int32_t from, int32_t to, const bool low[3],
                        const bool high[3]) {
        // The colours of the last eight pixels taken: eight pixels that repeat them leave every
        // extreme as it is (after a pixel each extreme lies at or beyond its value and only
        // moves away; a repeat ties at most, with the extreme's own bits, since a component's
        // zeros all carry one sign when no sample is negative).
        __m256i last = _mm256_set1_epi32(-1);
        for (int32_t x = from; x < to; x += 8) {
            const TPixels8 px = LoadPixels8(pixel + static_cast<intptr_t>(x) * 3);
            const __m256i colours = Colours(px);
            if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(colours, last)) == -1)
                continue;
            last = colours;
            int grey = -1; // whether the eight pixels are grey (-1: not yet known)
            for (int k = 0; k < 3; ++k) {
                if (!low[k] && !high[k])
                    continue;
                const __m256 y = Evaluate(Rows[k], px);
                const int nearLow =
                    low[k] ? _mm256_movemask_ps(_mm256_cmp_ps(
                                 y, _mm256_set1_ps(EstimatedLow[k] + Margin[k]), _CMP_LE_OQ))
                           : 0;
                const int nearHigh =
                    high[k] ? _mm256_movemask_ps(_mm256_cmp_ps(
                                  y, _mm256_set1_ps(EstimatedHigh[k] - Margin[k]), _CMP_GE_OQ))
                            : 0;
                if ((nearLow | nearHigh) != 0)
                    Candidates(pixel, x, px, colours, k, nearLow, nearHigh, grey);
            }
        }
    }

    // Evaluates exactly the lanes near an extreme of component k that may move it, and keeps
    // the extremes. Lanes that repeat the colour of an extreme's setter or of the last pixel
    // found beyond it, or whose integer values place them on its far side, leave it as it is.
    VT_AVX2 void Candidates(const uint8_t* pixel, int32_t x, const TPixels8& px, __m256i colours,
                            int k, int nearLow, int nearHigh, int& grey) {
        int lowLanes = nearLow & ~Repeats(colours, Lows[k]);
        int highLanes = nearHigh & ~Repeats(colours, Highs[k]);
        if ((lowLanes | highLanes) != 0 && Ints[k].Exact) {
            if (grey < 0)
                grey = _mm256_movemask_ps(_mm256_and_ps(_mm256_cmp_ps(px.In0, px.In1, _CMP_EQ_OQ),
                                                        _mm256_cmp_ps(px.In0, px.In2, _CMP_EQ_OQ)));
            int stayLow = 0, stayHigh = 0;
            Beyond(px, k, grey == 0xFF, stayLow, stayHigh);
            lowLanes &= ~stayLow;
            highLanes &= ~stayHigh;
        }
        if ((lowLanes | highLanes) == 0)
            return;
        // Some lane may move an extreme: the near lanes in scan order, each tested against the
        // extreme as it is when its pixel comes.
        for (int lane = 0; lane < 8; ++lane) {
            const uint8_t* p = pixel + static_cast<intptr_t>(x + lane) * 3;
            if ((nearLow >> lane & 1) != 0)
                Visit(p, k, false);
            if ((nearHigh >> lane & 1) != 0)
                Visit(p, k, true);
        }
    }

    // The lanes whose colour is the side's setter's or the colour last found beyond it.
    VT_AVX2 static int Repeats(__m256i colours, const TSide& side) noexcept {
        return _mm256_movemask_ps(_mm256_castsi256_ps(
            _mm256_or_si256(_mm256_cmpeq_epi32(colours, _mm256_set1_epi32(side.Colour)),
                            _mm256_cmpeq_epi32(colours, _mm256_set1_epi32(side.Passed)))));
    }

    // The lanes whose integer values of component k leave the lowest and the highest extreme
    // as they are: beyond the setter's value, or tied with it where that is not zero. Grey
    // pixels take their sample times the weights' sum where that stays below 2^31.
    VT_AVX2 void Beyond(const TPixels8& px, int k, bool grey, int& stayLow,
                        int& stayHigh) const noexcept {
        const TIntegerComponent& ints = Ints[k];
        const int64_t lowest = Threshold(Lows[k], NoLowSetter, ints.C);
        const int64_t highest = Threshold(Highs[k], NoHighSetter, ints.C);
        if (grey && GreyFits[k]) {
            const __m256i u = _mm256_mullo_epi32(
                _mm256_add_epi32(_mm256_cvtps_epi32(px.In0), _mm256_set1_epi32(128)),
                _mm256_set1_epi32(GreySum[k]));
            stayLow = _mm256_movemask_ps(
                _mm256_castsi256_ps(_mm256_cmpgt_epi32(u, _mm256_set1_epi32(Clamp32(lowest)))));
            stayHigh = _mm256_movemask_ps(
                _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(Clamp32(highest)), u)));
            return;
        }
        const __m256 in[3] = {px.In0, px.In1, px.In2};
        __m256i u[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
        for (int j = 0; j < 3; ++j) {
            // Samples below 256 times a weight below 2^62 in two 32-bit halves.
            const __m256i samples =
                _mm256_add_epi32(_mm256_cvtps_epi32(in[j]), _mm256_set1_epi32(128));
            const __m256i lower = _mm256_set1_epi64x(ints.W[j] & 0xFFFFFFFF);
            const __m256i upper = _mm256_set1_epi64x(ints.W[j] >> 32);
            for (int h = 0; h < 2; ++h) {
                const __m256i s =
                    _mm256_cvtepu32_epi64(h == 0 ? _mm256_castsi256_si128(samples)
                                                 : _mm256_extracti128_si256(samples, 1));
                u[h] = _mm256_add_epi64(
                    u[h], _mm256_add_epi64(_mm256_mul_epu32(s, lower),
                                           _mm256_slli_epi64(_mm256_mul_epi32(s, upper), 32)));
            }
        }
        stayLow = stayHigh = 0;
        for (int h = 0; h < 2; ++h) {
            stayLow |= _mm256_movemask_pd(_mm256_castsi256_pd(
                           _mm256_cmpgt_epi64(u[h], _mm256_set1_epi64x(lowest))))
                       << (4 * h);
            stayHigh |= _mm256_movemask_pd(_mm256_castsi256_pd(
                            _mm256_cmpgt_epi64(_mm256_set1_epi64x(highest), u[h])))
                        << (4 * h);
        }
    }

    // The value beyond which a pixel leaves the side's extreme as it is: the setter's, one
    // nearer where a tie does too (a value other than zero); None where no pixel has set it.
    static int64_t Threshold(const TSide& side, int64_t none, int64_t c) noexcept {
        if (side.Value == none || side.Value == -c)
            return side.Value;
        return none == NoLowSetter ? side.Value - 1 : side.Value + 1;
    }

    static int32_t Clamp32(int64_t v) noexcept {
        return static_cast<int32_t>(std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(),
                                                        std::numeric_limits<int32_t>::max()));
    }

    // The scan's rule for one extreme and one pixel, unless the pixel repeats a colour that
    // leaves the extreme as it is or its integer value does.
    void Visit(const uint8_t* p, int k, bool high) noexcept {
        TSide& side = (high ? Highs : Lows)[k];
        const int colour = p[0] | p[1] << 8 | p[2] << 16;
        if (colour == side.Colour || colour == side.Passed)
            return;
        int64_t v = high ? NoHighSetter : NoLowSetter;
        if (Ints[k].Exact) {
            v = Ints[k].Value([&](int j) { return p[2 - j]; });
            if (high ? StaysBelow(v, side.Value, Ints[k].C) : StaysAbove(v, side.Value, Ints[k].C))
                return;
        }
        const double c = ExactComponent(p, Transform, k);
        double& extreme = high ? Highest[k] : Lowest[k];
        if (high ? !(extreme > c) : !(extreme < c)) {
            extreme = c;
            side.Colour = colour;
            side.Value = v;
        } else {
            // Strictly beyond: so it stays while the extreme only moves away from it (every
            // value is finite here).
            side.Passed = colour;
        }
    }

    // A pixel the vector steps cannot reach: every extreme, exactly.
    void Exact(const uint8_t* p) noexcept {
        for (int k = 0; k < 3; ++k) {
            Visit(p, k, false);
            Visit(p, k, true);
        }
    }

    static constexpr int BlockPixels = 2048;
    static constexpr int ChunkBlocks = 64; // 128 K pixels, 384 KiB
    struct TBlock {
        int32_t From, To;
        float Low[3], High[3];
    };
    TBlock Blocks[ChunkBlocks];

    const TAffineTransform& Transform;
    double* Lowest;
    double* Highest;
    TRow Rows[3];
    float Margin[3];
    float EstimatedLow[3], EstimatedHigh[3];
    TSide Lows[3] = {{-1, -1, NoLowSetter}, {-1, -1, NoLowSetter}, {-1, -1, NoLowSetter}};
    TSide Highs[3] = {{-1, -1, NoHighSetter}, {-1, -1, NoHighSetter}, {-1, -1, NoHighSetter}};
    TIntegerComponent Ints[3];
    // Per component: whether a grey pixel's value (its sample times the weights' sum) stays
    // below 2^31, and the sum.
    bool GreyFits[3];
    int32_t GreySum[3];
};

TRounding RoundingFor(const TAffineTransform& T) noexcept {
    TRounding r;
    double m = 0, bound = 0; // the largest M, at least every |y|, and the largest bound
    for (int k = 0; k < 3; ++k) {
        const float b = SingleErrorBound(T, k);
        if (!(b < 0.25f))
            return r;
        bound = std::fmax(bound, static_cast<double>(b));
        m = std::fmax(m, CentredMagnitude(T, k));
    }
    // The largest Bits (at most 13, which keeps -512..512 in one binade) with Magic > 2M + 2.
    int bits = 13;
    while (bits > 0 && 1.5 * std::ldexp(1.0, 23 - bits) <= 2 * m + 2)
        --bits;
    // The estimate is off by the bound, and the addition to Magic by half a unit of the
    // fraction more; one unit is kept in hand.
    const double window = std::floor(std::ldexp(bound, bits) + 0.5) + 1;
    if (bits < 4 || !(2 * window + 1 < std::ldexp(1.0, bits)))
        return r;
    r.Usable = true;
    r.Bits = bits;
    r.Magic = static_cast<float>(1.5 * std::ldexp(1.0, 23 - bits));
    r.Window = static_cast<int32_t>(window);
    int32_t magicBits;
    std::memcpy(&magicBits, &r.Magic, sizeof magicBits);
    r.Bias = magicBits - (int32_t{1} << bits >> 1) - r.Window;
    return r;
}

// The second opinion on eight pixels of which some are doubtful in single precision: every
// component again in double precision, from the same centred inputs. Its error against the
// exact result is below 5 x 2^-53 x M, so only values within about 1e-12 of a half (in
// practice, exact halves) stay doubtful. Returns the lanes still doubtful and replaces
// Value with the nearest integers of the double results.
TDoubleRows DoubleRowsFor(const TAffineTransform& T) noexcept {
    TDoubleRows d;
    for (int k = 0; k < 3; ++k) {
        for (int j = 0; j < 3; ++j)
            d.W[k][j] = T(k, j);
        d.W[k][3] = static_cast<double>(CentredConstant(T, k));
        d.Limit[k] = 0.5 - 5.0 * std::ldexp(CentredMagnitude(T, k), -53) * (1 + 1e-6);
    }
    return d;
}

VT_AVX2 inline __m256d HalfAsDouble(__m256 v, int h) noexcept {
    return _mm256_cvtps_pd(h == 0 ? _mm256_castps256_ps128(v) : _mm256_extractf128_ps(v, 1));
}

VT_AVX2 inline int RefineInDouble(const TPixels8& px, const TDoubleRows& d,
                                  __m256i value[3]) noexcept {
    const __m256d sign = _mm256_set1_pd(-0.0);
    int doubtful = 0;
    __m128i half[2][3];
    for (int h = 0; h < 2; ++h) {
        const __m256d in0 = HalfAsDouble(px.In0, h), in1 = HalfAsDouble(px.In1, h),
                      in2 = HalfAsDouble(px.In2, h);
        for (int k = 0; k < 3; ++k) {
            const __m256d y =
                _mm256_fmadd_pd(in0, _mm256_set1_pd(d.W[k][0]),
                                _mm256_fmadd_pd(in1, _mm256_set1_pd(d.W[k][1]),
                                                _mm256_fmadd_pd(in2, _mm256_set1_pd(d.W[k][2]),
                                                                _mm256_set1_pd(d.W[k][3]))));
            const __m256d nearest =
                _mm256_round_pd(y, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
            half[h][k] = _mm256_cvtpd_epi32(nearest);
            const __m256d off = _mm256_andnot_pd(sign, _mm256_sub_pd(y, nearest));
            doubtful |=
                _mm256_movemask_pd(_mm256_cmp_pd(off, _mm256_set1_pd(d.Limit[k]), _CMP_NLT_UQ))
                << (4 * h);
        }
    }
    for (int k = 0; k < 3; ++k)
        value[k] = _mm256_setr_m128i(half[0][k], half[1][k]);
    return doubtful;
}

// Applies T to the first pixels of a row, eight at a time, while 11 pixels are readable;
// returns how many it did. A component is taken from single precision only when its estimate
// lies farther than the error bound from every rounding half (then its nearest integer is the
// exact result's); otherwise the step is computed again in double precision, and a pixel that
// this cannot decide either is computed in extended precision after the loop.
VT_AVX2 int32_t ApplyAvx2(const uint8_t* in, uint8_t* out, int32_t count, const TAffineTransform& T,
                          const TRounding& rounding, const TDoubleRows& refine) noexcept {
    const TRow rows[3] = {LoadRow(T, 0), LoadRow(T, 1), LoadRow(T, 2)};
    const __m256 magic = _mm256_set1_ps(rounding.Magic);
    const __m256i bias = _mm256_set1_epi32(rounding.Bias);
    const __m128i shift = _mm_cvtsi32_si128(rounding.Bits);
    const __m256i fraction = _mm256_set1_epi32((int32_t{1} << rounding.Bits) - 1);
    const __m256i span = _mm256_set1_epi32(2 * rounding.Window + 1);
#define VT_M(...) _mm256_setr_epi8(__VA_ARGS__, __VA_ARGS__)
    // Per 128-bit lane the packs leave b0..b3 g0..g3 r0..r3 0 0 0 0; interleave them.
    const __m256i interleave = VT_M(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1);
#undef VT_M
    // Doubtful pixels are noted with their original colour and recomputed after the vector
    // loop: a call inside the loop would make every vector register caller-saved.
    struct TPending {
        int32_t Pixel;
        uint32_t Colour;
    };
    TPending pending[256];
    int32_t x = 0;
    for (;;) {
        int noted = 0;
        for (; x + 11 <= count && noted <= 248; x += 8) {
            const uint8_t* src = in + static_cast<intptr_t>(x) * 3;
            uint8_t* dst = out + static_cast<intptr_t>(x) * 3;
            const TPixels8 px = LoadPixels8(src);
            __m256i value[3], near[3];
            for (int k = 0; k < 3; ++k) {
                const __m256 y = Evaluate(rows[k], px);
                const __m256i u =
                    _mm256_sub_epi32(_mm256_castps_si256(_mm256_add_ps(y, magic)), bias);
                value[k] = _mm256_sra_epi32(u, shift);
                near[k] = _mm256_and_si256(u, fraction);
            }
            const __m256i nearest = _mm256_min_epu32(_mm256_min_epu32(near[0], near[1]), near[2]);
            int doubtful =
                _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(span, nearest)));
            if (doubtful != 0)
                doubtful = RefineInDouble(px, refine, value);
            if (doubtful != 0) {
                alignas(32) uint32_t colours[8];
                _mm256_store_si256(reinterpret_cast<__m256i*>(colours), Colours(px));
                while (doubtful != 0) {
                    const int lane = __builtin_ctz(static_cast<unsigned>(doubtful));
                    doubtful &= doubtful - 1;
                    pending[noted++] = {x + lane, colours[lane]};
                }
            }
            // Saturating packs clamp to 0..255 (signed to 16 bits, then unsigned to 8);
            // component 2 is the first byte, 0 the third.
            const __m256i bytes =
                _mm256_packus_epi16(_mm256_packs_epi32(value[2], value[1]),
                                    _mm256_packs_epi32(value[0], _mm256_setzero_si256()));
            // Each lane holds four pixels in its first 12 bytes. The second lane's pixels are
            // stored over the first lane's last four bytes in two pieces, so that no store
            // reaches the bytes that the next step loads (a load that overlaps a pending
            // store only in part waits for it).
            const __m256i tight = _mm256_shuffle_epi8(bytes, interleave);
            const __m128i second = _mm256_extracti128_si256(tight, 1);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(tight));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 12), second);
            _mm_storeu_si32(dst + 20, _mm_shuffle_epi32(second, 2));
        }
        for (int i = 0; i < noted; ++i) {
            const uint32_t c = pending[i].Colour;
            const uint8_t original[3] = {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8),
                                         static_cast<uint8_t>(c >> 16)};
            ApplyPortable(original, out + static_cast<intptr_t>(pending[i].Pixel) * 3, 1, T);
        }
        if (x + 11 > count)
            break;
    }
    return x;
}

#endif // VT_HAVE_AVX2_KERNELS

} // namespace

// ---- The three-byte passes over segments ----------------------------------------------------

namespace {

// The kernels count pixels in 32 bits; longer runs are taken in pieces.
constexpr int64_t PieceLength = int64_t{1} << 28;
// Pixels whose bands lie last to first are staged this many at a time in the kernels' order.
constexpr int64_t StageLength = 4096;

// To := the count pixels at From with their first and third bytes exchanged.
void CopyExchanged(const uint8_t* from, uint8_t* to, int64_t count) noexcept {
    for (int64_t i = 0; i < count; ++i, from += 3, to += 3) {
        const uint8_t first = from[0], second = from[1], third = from[2];
        to[0] = third;
        to[1] = second;
        to[2] = first;
    }
}

// Calls Run(pixels, count) over each segment's pixels in scan order, in pieces the kernels can
// count. Reversed segments (band 0 the third byte of each pixel) are handed over as staged
// copies in storage order, so the kernels see what they would see in a forward view.
template <class TRun> void ForEachRun(const TSegments& segments, bool reversed, const TRun& run) {
    uint8_t stage[StageLength * 3];
    for (int64_t s = 0; s < segments.Count; ++s) {
        const uint8_t* row = segments.First + s * segments.Stride;
        if (!reversed) {
            for (int64_t from = 0; from < segments.Length; from += PieceLength)
                run(row + from * 3,
                    static_cast<int32_t>(std::min(PieceLength, segments.Length - from)));
            continue;
        }
        for (int64_t from = 0; from < segments.Length; from += StageLength) {
            const int64_t count = std::min(StageLength, segments.Length - from);
            CopyExchanged(row - 2 + from * 3, stage, count);
            run(stage, static_cast<int32_t>(count));
        }
    }
}

} // namespace

void SumsOfSegments(const TSegments& segments, TChannelSums& sums) noexcept {
    const bool vector = UseVectorKernels();
    ForEachRun(segments, false, [&](const uint8_t* row, int32_t length) {
        int32_t done = 0;
#if defined(VT_HAVE_AVX2_KERNELS)
        if (vector)
            done = SumsAvx2(row, length, sums);
#else
        (void)vector;
#endif
        SumsPortable(row + static_cast<intptr_t>(done) * 3, length - done, sums);
    });
}

bool RangesInParts(const TAffineTransform& axes) noexcept {
#if defined(VT_HAVE_AVX2_KERNELS)
    bool bounded = true;
    for (int k = 0; k < 3; ++k)
        bounded = bounded && SingleErrorBound(axes, k) < 0.25f;
    return UseVectorKernels() && bounded;
#else
    (void)axes;
    return false;
#endif
}

void RangesOfSegments(const TSegments& segments, const TAffineTransform& axes, double lowest[3],
                      double highest[3], bool reversed) {
#if defined(VT_HAVE_AVX2_KERNELS)
    if (RangesInParts(axes)) {
        TRangeScanner scanner(axes, lowest, highest);
        ForEachRun(segments, reversed,
                   [&](const uint8_t* row, int32_t length) { scanner.Row(row, length); });
        return;
    }
#endif
    ForEachRun(segments, reversed, [&](const uint8_t* row, int32_t length) {
        RangesPortable(row, length, axes, lowest, highest);
    });
}

TApplyPlan::TApplyPlan(const TAffineTransform& T) : Transform(T) {
#if defined(VT_HAVE_AVX2_KERNELS)
    Rounding = RoundingFor(T);
    Refine = DoubleRowsFor(T);
    Vector = UseVectorKernels() && Rounding.Usable;
#endif
}

void TApplyPlan::Run(const uint8_t* in, uint8_t* out, int64_t count, bool reversed) const noexcept {
    if (reversed) {
        // Staged in storage order, mapped in place (outputs may alias inputs) and put back.
        uint8_t stage[StageLength * 3];
        for (int64_t from = 0; from < count; from += StageLength) {
            const int64_t length = std::min(StageLength, count - from);
            CopyExchanged(in - 2 + from * 3, stage, length);
            Run(stage, stage, length, false);
            CopyExchanged(stage, out - 2 + from * 3, length);
        }
        return;
    }
    for (int64_t from = 0; from < count; from += PieceLength) {
        const auto length = static_cast<int32_t>(std::min(PieceLength, count - from));
        const uint8_t* src = in + from * 3;
        uint8_t* dst = out + from * 3;
        int32_t done = 0;
#if defined(VT_HAVE_AVX2_KERNELS)
        if (Vector)
            done = ApplyAvx2(src, dst, length, Transform, Rounding, Refine);
#endif
        ApplyPortable(src + static_cast<intptr_t>(done) * 3, dst + static_cast<intptr_t>(done) * 3,
                      length - done, Transform);
    }
}

} // namespace vt::detail
