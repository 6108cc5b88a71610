// The passes over three 8-bit bands in four-byte cells, four pixels to a 128-bit vector (SSE2 on
// x86, SIMD128 in WebAssembly), written with the compiler's vector types so that one text serves
// every processor. The error bounds below assume separate roundings of every product and sum:
// this file is compiled without contraction into fused multiply-adds.
#include "stretch/FourByteKernels.h"

#include "stretch/RangeTies.h"
#include "stretch/StreamKernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#endif

namespace vt::detail {

namespace {

typedef float v4f __attribute__((vector_size(16)));
typedef int32_t v4i __attribute__((vector_size(16)));
typedef uint32_t v4u __attribute__((vector_size(16)));

constexpr double Unit = 0x1p-24;   // the unit roundoff of single precision
constexpr float Magic = 0x1.8p23f; // y + Magic - Magic rounds |y| < 2^22 half to even

// Where the bands of a run's pixels lie: the lowest band byte of its first pixel, and each
// band's bit position in the little-endian 32-bit word of a cell read from there.
struct TCells {
    const uint8_t* Low;
    int Shift[3];
    TCells(const uint8_t* first, int64_t bandStride) noexcept
        : Low(bandStride > 0 ? first : first - 2) {
        for (int b = 0; b < 3; ++b)
            Shift[b] = 8 * (bandStride > 0 ? b : 2 - b);
    }
    // Four cells from pixel i: bytes Low + 4i .. Low + 4i + 15. While pixel i + 4 is in the run
    // they all belong to its pixels, whichever byte of a cell the fourth is.
    v4u Load(int64_t i) const noexcept {
        v4u w;
        std::memcpy(&w, Low + 4 * i, sizeof w);
        return w;
    }
    v4i Band(v4u w, int b) const noexcept { return (v4i)((w >> Shift[b]) & 0xFFu); }
    uint8_t Byte(int64_t i, int b) const noexcept { return Low[4 * i + Shift[b] / 8]; }
};

// Bit l set for every lane l of a comparison's mask that is set.
inline int LaneMask(v4i m) noexcept {
#if defined(__wasm_simd128__)
    return static_cast<int>(wasm_i32x4_bitmask((v128_t)m));
#elif defined(__SSE2__)
    return _mm_movemask_ps((__m128)m);
#else
    return (m[0] != 0 ? 1 : 0) | (m[1] != 0 ? 2 : 0) | (m[2] != 0 ? 4 : 0) | (m[3] != 0 ? 8 : 0);
#endif
}

inline v4f Splat(float x) noexcept {
    return v4f{x, x, x, x};
}

inline v4f Abs(v4f x) noexcept {
    return (v4f)((v4u)x & 0x7FFFFFFFu);
}

// A row of a map in single precision on inputs centred on mid-grey: component = C + sum of
// W[j] (x[order[j]] - 128), with C = constant + 128 (W0 + W1 + W2) formed in extended
// precision. M = 128 (|W0| + |W1| + |W2|) + |C| bounds every term, partial sum and result.
struct TCentredRow {
    float W[3], C;
    double Magnitude;
    double Constant; // C as a double, for the second opinion
    bool Set(const double* row) noexcept {
        Extended c = row[3];
        double sum = 0;
        for (int j = 0; j < 3; ++j) {
            c += 128 * static_cast<Extended>(row[j]);
            sum += std::fabs(row[j]);
            W[j] = static_cast<float>(row[j]);
            Row[j] = row[j];
        }
        Constant = static_cast<double>(c);
        C = static_cast<float>(Constant);
        Magnitude = (128 * sum + std::fabs(Constant)) * (1 + 1e-6) + 0x1p-60;
        // Values stay within 2^22, where the rounding by Magic holds.
        return std::isfinite(Magnitude) && Magnitude < 0x1p20;
    }
    // In single precision the weights and C are rounded (u M in all), the three products
    // (u M) and the three sums (3 u M); the exact value, computed in extended precision from
    // the uncentred inputs, is off by far less than u M more. 10 u M covers them all.
    double Bound() const noexcept { return 10 * Unit * Magnitude; }
    v4f Evaluate(const v4f x[3]) const noexcept {
        return ((Splat(C) + Splat(W[0]) * x[0]) + Splat(W[1]) * x[1]) + Splat(W[2]) * x[2];
    }
    // The same in double precision: within 8 x 2^-53 M of the exact value.
    double Refine(const double x[3]) const noexcept {
        return ((Constant + Row[0] * x[0]) + Row[1] * x[1]) + Row[2] * x[2];
    }
    double Row[3] = {}; // the weights as doubles
};

// The pixel's bands in storage order, as the exact computations take them.
inline void PixelSamples(v4u w, int lane, const TCells& cells, double p[3]) noexcept {
    for (int b = 0; b < 3; ++b)
        p[b] = static_cast<double>((w[lane] >> cells.Shift[b]) & 0xFFu);
}

} // namespace

void FourByteStatistics(const TSegments& seg, int64_t bandStride, TStatistics& st) noexcept {
    uint64_t sum[3] = {}, product[3][3] = {};
    int lowest[3] = {255, 255, 255}, highest[3] = {0, 0, 0};
    for (int64_t r = 0; r < seg.Count; ++r) {
        const TCells cells(seg.First + r * seg.Stride, bandStride);
        const int64_t n = seg.Length;
        int64_t i = 0;
        while (i + 4 < n) {
            // 32-bit lanes gain at most 255^2 a step: 16384 steps stay far below 2^32.
            const int64_t end = i + 4 * std::min<int64_t>((n - 1 - i) / 4, 16384);
            v4u s[3] = {}, q[6] = {};
            v4i low[3], high[3];
            for (int b = 0; b < 3; ++b) {
                low[b] = v4i{} + lowest[b];
                high[b] = v4i{} + highest[b];
            }
            for (; i < end; i += 4) {
                const v4u w = cells.Load(i);
                v4i x[3];
                for (int b = 0; b < 3; ++b) {
                    x[b] = cells.Band(w, b);
                    s[b] += (v4u)x[b];
                    low[b] = x[b] < low[b] ? x[b] : low[b];
                    high[b] = x[b] > high[b] ? x[b] : high[b];
                }
                q[0] += (v4u)(x[0] * x[0]);
                q[1] += (v4u)(x[0] * x[1]);
                q[2] += (v4u)(x[0] * x[2]);
                q[3] += (v4u)(x[1] * x[1]);
                q[4] += (v4u)(x[1] * x[2]);
                q[5] += (v4u)(x[2] * x[2]);
            }
            for (int l = 0; l < 4; ++l) {
                int k = 0;
                for (int a = 0; a < 3; ++a) {
                    sum[a] += s[a][l];
                    lowest[a] = std::min(lowest[a], static_cast<int>(low[a][l]));
                    highest[a] = std::max(highest[a], static_cast<int>(high[a][l]));
                    for (int b = a; b < 3; ++b)
                        product[a][b] += q[k++][l];
                }
            }
        }
        for (; i < n; ++i) {
            uint32_t x[3];
            for (int b = 0; b < 3; ++b) {
                x[b] = cells.Byte(i, b);
                sum[b] += x[b];
                lowest[b] = std::min(lowest[b], static_cast<int>(x[b]));
                highest[b] = std::max(highest[b], static_cast<int>(x[b]));
            }
            for (int a = 0; a < 3; ++a)
                for (int b = a; b < 3; ++b)
                    product[a][b] += x[a] * x[b];
        }
    }
    const int64_t count = seg.Count * seg.Length;
    st.Count += count;
    for (int a = 0; a < 3; ++a) {
        st.Sum[a].Add(sum[a]);
        for (int b = a; b < 3; ++b)
            st.Product[a][b].Add(product[a][b]);
        if (count > 0) {
            st.Lowest[a] = std::min(st.Lowest[a], static_cast<double>(lowest[a]));
            st.Highest[a] = std::max(st.Highest[a], static_cast<double>(highest[a]));
        }
    }
}

bool FourByteMeasures(const TPrincipalAxes& axes) noexcept {
    if (axes.Bands != 3)
        return false;
    for (int k = 0; k < 3; ++k) {
        TCentredRow row;
        if (!row.Set(axes.Map.M[k]))
            return false;
    }
    return true;
}

namespace {

typedef int64_t v2l __attribute__((vector_size(16)));
typedef uint64_t v2u __attribute__((vector_size(16)));

// A component's integer values (TIntegerComponent) for four pixels, two to a vector: the sums
// of samples times weights, computed modulo 2^64, which holds them (they lie below 2^62) in
// two's complement. Each weight is taken in 32-bit halves; the upper half's products count
// modulo 2^32 only.
struct TIntegerRow {
    uint32_t Lower[3], Upper[3];
    explicit TIntegerRow(const TIntegerComponent& ints) noexcept {
        for (int j = 0; j < 3; ++j) {
            const auto w = static_cast<uint64_t>(ints.W[j]);
            Lower[j] = static_cast<uint32_t>(w);
            Upper[j] = static_cast<uint32_t>(w >> 32);
        }
    }
};

struct TValues4 {
    v2l Low, High; // pixels 0 and 1, pixels 2 and 3
};

// Samples below 256 times 32-bit halves: products below 2^40.
inline v2u WideProduct(v4u x, uint32_t w, bool high) noexcept {
#if defined(__wasm_simd128__)
    const v128_t y = wasm_i32x4_splat(static_cast<int32_t>(w));
    return (v2u)(high ? wasm_u64x2_extmul_high_u32x4((v128_t)x, y)
                      : wasm_u64x2_extmul_low_u32x4((v128_t)x, y));
#elif defined(__SSE2__)
    const __m128i lanes = high ? _mm_shuffle_epi32((__m128i)x, 0xFA)  // 2, 2, 3, 3
                               : _mm_shuffle_epi32((__m128i)x, 0x50); // 0, 0, 1, 1
    return (v2u)_mm_mul_epu32(lanes, _mm_set1_epi32(static_cast<int32_t>(w)));
#else
    const v2u wide = high ? __builtin_convertvector(__builtin_shufflevector(x, x, 2, 3), v2u)
                          : __builtin_convertvector(__builtin_shufflevector(x, x, 0, 1), v2u);
    return wide * w;
#endif
}

inline TValues4 IntegerValues(const v4u x[3], const TIntegerRow& row) noexcept {
    const v4u top = x[0] * row.Upper[0] + x[1] * row.Upper[1] + x[2] * row.Upper[2];
    v2u low = __builtin_convertvector(__builtin_shufflevector(top, top, 0, 1), v2u) << 32;
    v2u high = __builtin_convertvector(__builtin_shufflevector(top, top, 2, 3), v2u) << 32;
    for (int j = 0; j < 3; ++j) {
        low += WideProduct(x[j], row.Lower[j], false);
        high += WideProduct(x[j], row.Lower[j], true);
    }
    return {(v2l)low, (v2l)high};
}

// Four lanes from the comparisons of the two halves.
inline v4i Lanes(v2l low, v2l high) noexcept {
    return __builtin_shufflevector((v4i)low, (v4i)high, 0, 2, 4, 6);
}

// Per component, the pixel that last set each extreme: its colour (the three band bytes of its
// cell; NoColour while none has) and its integer value where the component has one; and the
// colour last found strictly beyond the extreme, which stays beyond while the extreme only moves
// away from it (every value is finite here). With them, as vectors, what the steps compare.
struct TSide {
    static constexpr uint32_t NoColour = 0xFFFFFFFFu;
    uint32_t Colour = NoColour, Passed = NoColour;
    int64_t Value;
    v4u Colours, PassedColours;
    v2l Values, Ties; // Ties: all ones where a tie leaves the extreme (a value other than zero)
    explicit TSide(int64_t none) noexcept : Value(none) { Spread(none, 0); }
    void Spread(int64_t none, int64_t c) noexcept {
        Colours = v4u{} + Colour;
        PassedColours = v4u{} + Passed;
        Values = v2l{} + Value;
        Ties = v2l{} + (Value != none && Value != -c ? int64_t{-1} : int64_t{0});
    }
};

} // namespace

void FourByteRanges(const TSegments& seg, int64_t bandStride, const TPrincipalAxes& axes,
                    TComponentRanges& ranges) noexcept {
    TCentredRow rows[3];
    float margin[3];
    TIntegerComponent ints[3];
    for (int k = 0; k < 3; ++k) {
        rows[k].Set(axes.Map.M[k]);
        // A pixel can move an extreme only if its exact value e reaches it. |e - y| <= B, and
        // comparing y -+ margin with the extremes rounded to floats costs at most 4 u M more
        // (the subtraction's rounding, the extreme's rounding, both relative to M).
        margin[k] = static_cast<float>(16 * Unit * rows[k].Magnitude);
        ints[k].Set(axes.Map.M[k], 3, 0, 255);
    }
    const TIntegerRow intRows[3] = {TIntegerRow(ints[0]), TIntegerRow(ints[1]),
                                    TIntegerRow(ints[2])};
    const int* order = axes.Order.data();
    float low[3], high[3];
    const auto spread = [&] {
        for (int k = 0; k < 3; ++k) {
            low[k] = static_cast<float>(ranges.Lowest[k]);
            high[k] = static_cast<float>(ranges.Highest[k]);
        }
    };
    TSide lows[3] = {TSide(NoLowSetter), TSide(NoLowSetter), TSide(NoLowSetter)};
    TSide highs[3] = {TSide(NoHighSetter), TSide(NoHighSetter), TSide(NoHighSetter)};
    // The integer value of component k of a pixel's samples (storage order).
    const auto value = [&](const double p[3], int k) {
        return ints[k].Value([&](int j) { return p[order[j]]; });
    };
    // Whether the pixel leaves the lowest or highest extreme of component k as it is.
    const auto staysLow = [&](const double p[3], uint32_t colour, int k) {
        const TSide& side = lows[k];
        return colour == side.Colour || colour == side.Passed ||
               (ints[k].Exact && StaysAbove(value(p, k), side.Value, ints[k].C));
    };
    const auto staysHigh = [&](const double p[3], uint32_t colour, int k) {
        const TSide& side = highs[k];
        return colour == side.Colour || colour == side.Passed ||
               (ints[k].Exact && StaysBelow(value(p, k), side.Value, ints[k].C));
    };
    // The general pass's rule, in scan order: a value replaces an extreme unless the extreme
    // lies strictly beyond it; the pixel then sets the extreme. (An extreme the pixel is known
    // to leave as it is is not looked at.)
    const auto visit = [&](const double p[3], uint32_t colour, int k, bool lowSide, bool highSide) {
        const auto c = static_cast<double>(WorkingSum(p, order, axes.Map.M[k], 3));
        const int64_t v = ints[k].Exact ? value(p, k) : 0;
        const auto keep = [&](bool set, TSide& side, int64_t none) {
            if (set) {
                side.Colour = colour;
                side.Value = ints[k].Exact ? v : none;
            } else {
                side.Passed = colour;
            }
            side.Spread(none, ints[k].C);
        };
        if (lowSide) {
            const bool set = !(ranges.Lowest[k] < c);
            if (set)
                ranges.Lowest[k] = c;
            keep(set, lows[k], NoLowSetter);
        }
        if (highSide) {
            const bool set = !(ranges.Highest[k] > c);
            if (set)
                ranges.Highest[k] = c;
            keep(set, highs[k], NoHighSetter);
        }
    };
    // Component k of one pixel, near either extreme or both.
    const auto both = [&](const double p[3], uint32_t colour, int k, bool nearLow, bool nearHigh) {
        const bool lowSide = nearLow && !staysLow(p, colour, k);
        const bool highSide = nearHigh && !staysHigh(p, colour, k);
        if (lowSide || highSide)
            visit(p, colour, k, lowSide, highSide);
    };
    spread();
    for (int64_t r = 0; r < seg.Count; ++r) {
        const TCells cells(seg.First + r * seg.Stride, bandStride);
        const int64_t n = seg.Length;
        int64_t i = 0;
        for (; i + 4 < n; i += 4) {
            const v4u w = cells.Load(i);
            v4u bands[3];
            v4f x[3];
            for (int j = 0; j < 3; ++j) {
                bands[j] = (v4u)cells.Band(w, order[j]);
                x[j] = __builtin_convertvector((v4i)bands[j], v4f) - Splat(128);
            }
            v4i nearLow[3], nearHigh[3];
            for (int k = 0; k < 3; ++k) {
                const v4f y = rows[k].Evaluate(x);
                const v4f m = Splat(margin[k]);
                nearLow[k] = ~(Splat(low[k]) < y - m);
                nearHigh[k] = ~(y + m < Splat(high[k]));
            }
            v4i any =
                nearLow[0] | nearHigh[0] | nearLow[1] | nearHigh[1] | nearLow[2] | nearHigh[2];
            if (LaneMask(any) == 0)
                continue;
            // Pixels that repeat the colour of an extreme's setter or of the pixel last found
            // beyond it, or that the integer values place on its far side, leave it as it is.
            const v4u colours = w & 0xFFFFFFu;
            any = v4i{};
            for (int k = 0; k < 3; ++k) {
                const TSide& l = lows[k];
                const TSide& h = highs[k];
                v4i moveLow = nearLow[k] & (colours != l.Colours) & (colours != l.PassedColours);
                v4i moveHigh = nearHigh[k] & (colours != h.Colours) & (colours != h.PassedColours);
                if (ints[k].Exact && LaneMask(moveLow | moveHigh) != 0) {
                    const TValues4 u = IntegerValues(bands, intRows[k]);
                    moveLow &= ~Lanes((u.Low > l.Values) | ((u.Low == l.Values) & l.Ties),
                                      (u.High > l.Values) | ((u.High == l.Values) & l.Ties));
                    moveHigh &= ~Lanes((u.Low < h.Values) | ((u.Low == h.Values) & h.Ties),
                                       (u.High < h.Values) | ((u.High == h.Values) & h.Ties));
                }
                any |= moveLow | moveHigh;
            }
            if (LaneMask(any) == 0)
                continue;
            // Some pixel may move an extreme: the step in scan order, every test against the
            // extremes as they are when its pixel comes.
            const int lanesLow[3] = {LaneMask(nearLow[0]), LaneMask(nearLow[1]),
                                     LaneMask(nearLow[2])};
            const int lanesHigh[3] = {LaneMask(nearHigh[0]), LaneMask(nearHigh[1]),
                                      LaneMask(nearHigh[2])};
            for (int lane = 0; lane < 4; ++lane) {
                double p[3];
                PixelSamples(w, lane, cells, p);
                const uint32_t colour = w[lane] & 0xFFFFFFu;
                for (int k = 0; k < 3; ++k)
                    both(p, colour, k, (lanesLow[k] >> lane & 1) != 0,
                         (lanesHigh[k] >> lane & 1) != 0);
            }
            spread();
        }
        for (; i < n; ++i) {
            const double p[3] = {static_cast<double>(cells.Byte(i, 0)),
                                 static_cast<double>(cells.Byte(i, 1)),
                                 static_cast<double>(cells.Byte(i, 2))};
            const uint32_t colour = static_cast<uint32_t>(cells.Low[4 * i]) |
                                    static_cast<uint32_t>(cells.Low[4 * i + 1]) << 8 |
                                    static_cast<uint32_t>(cells.Low[4 * i + 2]) << 16;
            for (int k = 0; k < 3; ++k)
                both(p, colour, k, true, true);
        }
        spread();
    }
}

bool FourByteApplies(const TBandTransform& t) noexcept {
    if (t.Bands != 3)
        return false;
    for (int k = 0; k < 3; ++k) {
        TCentredRow row;
        if (!row.Set(t.Map.M[k]) || !(row.Bound() < 0.25))
            return false;
    }
    return true;
}

void FourByteApply(const TSegments& in, const TSegments& out, int64_t bandStride,
                   const TBandTransform& t) noexcept {
    TCentredRow rows[3];
    float limit[3];
    double refineLimit[3];
    for (int k = 0; k < 3; ++k) {
        rows[k].Set(t.Map.M[k]);
        // A single-precision estimate farther than the bound from every rounding half rounds
        // as the exact value does; the double one within 8 x 2^-53 M.
        limit[k] = static_cast<float>(0.5 - rows[k].Bound());
        refineLimit[k] = 0.5 - 8 * 0x1p-53 * rows[k].Magnitude;
    }
    const int* order = t.Order.data();
    for (int64_t r = 0; r < in.Count; ++r) {
        const TCells src(in.First + r * in.Stride, bandStride);
        const TCells dst(out.First + r * out.Stride, bandStride);
        uint8_t* low = const_cast<uint8_t*>(dst.Low);
        v4u keep = v4u{} + 0xFFFFFFFFu;
        for (int b = 0; b < 3; ++b)
            keep &= ~(0xFFu << src.Shift[b]);
        const int64_t n = in.Length;
        int64_t i = 0;
        // The exact output of row k for a pixel's samples.
        const auto exact = [&](const double p[3], int64_t pixel, int k) {
            StoreSample(low + 4 * pixel + src.Shift[order[k]] / 8, TSampleType::UInt8,
                        WorkingSum(p, order, t.Map.M[k], 3));
        };
        for (; i + 4 < n; i += 4) {
            const v4u w = src.Load(i);
            v4f x[3];
            for (int j = 0; j < 3; ++j)
                x[j] = __builtin_convertvector(src.Band(w, order[j]), v4f) - Splat(128);
            v4u result = dst.Load(i) & keep;
            v4i far[3];
            for (int k = 0; k < 3; ++k) {
                const v4f y = rows[k].Evaluate(x);
                const v4f nearest = (y + Splat(Magic)) - Splat(Magic);
                far[k] = Abs(y - nearest) < Splat(limit[k]);
                v4i v = __builtin_convertvector(nearest, v4i);
                v = v < 0 ? v4i{} : v;
                v = v > 255 ? v4i{} + 255 : v;
                result |= (v4u)v << src.Shift[order[k]];
            }
            std::memcpy(low + 4 * i, &result, sizeof result);
            if (LaneMask(far[0] & far[1] & far[2]) == 15)
                continue;
            int doubtful[3];
            for (int k = 0; k < 3; ++k)
                doubtful[k] = ~LaneMask(far[k]) & 15;
            for (int lane = 0; lane < 4; ++lane) {
                double p[3];
                PixelSamples(w, lane, src, p);
                const double centred[3] = {p[order[0]] - 128, p[order[1]] - 128, p[order[2]] - 128};
                for (int k = 0; k < 3; ++k) {
                    if ((doubtful[k] >> lane & 1) == 0)
                        continue;
                    const double y = rows[k].Refine(centred);
                    const double nearest = (y + 0x1.8p52) - 0x1.8p52;
                    if (std::fabs(y - nearest) < refineLimit[k])
                        low[4 * (i + lane) + src.Shift[order[k]] / 8] =
                            static_cast<uint8_t>(std::clamp(nearest, 0.0, 255.0));
                    else
                        exact(p, i + lane, k);
                }
            }
        }
        for (; i < n; ++i) {
            const double p[3] = {static_cast<double>(src.Byte(i, 0)),
                                 static_cast<double>(src.Byte(i, 1)),
                                 static_cast<double>(src.Byte(i, 2))};
            for (int k = 0; k < 3; ++k)
                exact(p, i, k);
        }
    }
}

} // namespace vt::detail
