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
#include <limits>
#include <vector>

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

// A component's integer values (TIntegerComponent) for four pixels in 32-bit lanes, as their
// upper 32 bits (signed) and lower 32 bits (unsigned), whose order is the values'. Each weight
// W (below 2^62 in magnitude) is taken in 21-bit limbs, W = A 2^42 + B 2^21 + C with B and C in
// 0 .. 2^21 - 1, so that the sums of samples (below 256) times each limb stay below 2^31; the
// lower limbs' excess is carried upwards.
constexpr int LimbBits = 21;
constexpr int32_t LimbMask = (int32_t{1} << LimbBits) - 1;

struct TValues4 {
    v4i Upper;
    v4u Lower;
    // One value in every lane.
    static TValues4 Of(int64_t v) noexcept {
        return {v4i{} + static_cast<int32_t>(v >> 32),
                v4u{} + static_cast<uint32_t>(static_cast<uint64_t>(v))};
    }
};

// Lanes where u > v.
inline v4i Above(const TValues4& u, const TValues4& v) noexcept {
    return (u.Upper > v.Upper) | ((u.Upper == v.Upper) & (u.Lower > v.Lower));
}

struct TIntegerRow {
    bool Exact = false;
    int32_t A[3], B[3], C[3];
    // The weights' sum, when a grey pixel's value (its sample times the sum) stays below 2^31.
    bool GreyFits = false;
    int32_t Grey = 0;
    explicit TIntegerRow(const TIntegerComponent& ints) noexcept {
        for (int j = 0; j < 3; ++j) {
            A[j] = static_cast<int32_t>(ints.W[j] >> (2 * LimbBits));
            B[j] = static_cast<int32_t>((ints.W[j] >> LimbBits) & LimbMask);
            C[j] = static_cast<int32_t>(ints.W[j] & LimbMask);
        }
        Exact = ints.Exact;
        const int64_t sum = ints.W[0] + ints.W[1] + ints.W[2]; // below 3 x 2^62 / 255
        GreyFits = ints.Exact && sum > -(int64_t{1} << 23) && sum < (int64_t{1} << 23);
        Grey = GreyFits ? static_cast<int32_t>(sum) : 0;
    }
    TValues4 Values(const v4i x[3]) const noexcept {
        const v4i a = x[0] * A[0] + x[1] * A[1] + x[2] * A[2];
        const v4i b = x[0] * B[0] + x[1] * B[1] + x[2] * B[2];
        const v4i c = x[0] * C[0] + x[1] * C[1] + x[2] * C[2];
        // v = top 2^42 + middle 2^21 + (c & mask), middle below 2^21 after the carry.
        const v4i middle = b + (c >> LimbBits);
        const v4i top = a + (middle >> LimbBits);
        const v4i m = middle & LimbMask;
        return {(top << 10) + (m >> 11), (v4u)(((m & 0x7FF) << LimbBits) | (c & LimbMask))};
    }
};

// The slot of a colour among the colours taken.
constexpr int TakenBits = 12;
inline uint32_t Slot(uint32_t colour) noexcept {
    return (colour * 0x9E3779B1u) >> (32 - TakenBits);
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
    // The integer value beyond which (the lowest extreme: above; the highest: below) a pixel
    // leaves the extreme as it is: the setter's, one less (more) where a tie does too (a value
    // other than zero); as vectors, and clamped to 32 bits for values below 2^31.
    int64_t Threshold;
    TValues4 Beyond;
    v4i Beyond32;
    explicit TSide(int64_t none) noexcept : Value(none) { Spread(none, 0); }
    void Spread(int64_t none, int64_t c) noexcept {
        Colours = v4u{} + Colour;
        PassedColours = v4u{} + Passed;
        const bool tie = Value != none && Value != -c;
        const int64_t beyond = !tie ? Value : none == NoLowSetter ? Value - 1 : Value + 1;
        Threshold = beyond;
        Beyond = TValues4::Of(beyond);
        Beyond32 = v4i{} + static_cast<int32_t>(
                               std::clamp<int64_t>(beyond, std::numeric_limits<int32_t>::min(),
                                                   std::numeric_limits<int32_t>::max()));
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
    // Grey pixels whose sample lies within [greyLow, greyHigh] (less 128, as floats) leave
    // every extreme of the components whose grey values fit 32 bits as they are; the others'
    // extremes the step's estimates must keep apart. Recomputed whenever an extreme moves.
    const bool greyFits[3] = {intRows[0].GreyFits, intRows[1].GreyFits, intRows[2].GreyFits};
    const bool greyTest = greyFits[0] || greyFits[1] || greyFits[2];
    float greyLow = 1, greyHigh = 0;
    const auto greyRange = [&] {
        // The longest run of samples whose values stay beyond every threshold.
        int run = 0, best = 0, end = -1;
        for (int v = 0; v < 256; ++v) {
            bool stays = true;
            for (int k = 0; k < 3; ++k)
                if (greyFits[k]) {
                    const int64_t u = int64_t{v} * intRows[k].Grey;
                    stays = stays && lows[k].Value != NoLowSetter && u > lows[k].Threshold &&
                            highs[k].Value != NoHighSetter && u < highs[k].Threshold;
                }
            run = stays ? run + 1 : 0;
            if (run > best) {
                best = run;
                end = v;
            }
        }
        greyLow = best > 0 ? static_cast<float>(end - best + 1 - 128) : 1;
        greyHigh = best > 0 ? static_cast<float>(end - 128) : 0;
    };
    // Colours of pixels the scan has taken, by a hash of the colour (a colour may push out
    // another). After a pixel every extreme lies at or beyond its value, and an extreme only
    // moves away; its repeats tie at most, with the extreme's own bits (the samples are never
    // negative, so a component's zeros all have one sign): they leave the extremes as they are.
    std::vector<uint32_t> taken(size_t{1} << TakenBits, TSide::NoColour);
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
        if (greyTest)
            greyRange();
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
        // The colours of the last four pixels taken near an extreme (none before a row): four
        // pixels that repeat them leave every extreme as it is, as repeats of the colours taken
        // do.
        uint32_t last[4] = {TSide::NoColour, TSide::NoColour, TSide::NoColour, TSide::NoColour};
        for (; i + 4 < n; i += 4) {
            const v4u w = cells.Load(i);
            v4f x[3];
            for (int j = 0; j < 3; ++j)
                x[j] = __builtin_convertvector(cells.Band(w, order[j]), v4f) - Splat(128);
            v4i above[3], below[3];
            for (int k = 0; k < 3; ++k) {
                const v4f y = rows[k].Evaluate(x);
                const v4f m = Splat(margin[k]);
                above[k] = Splat(low[k]) < y - m;
                below[k] = y + m < Splat(high[k]);
            }
            if (LaneMask(above[0] & below[0] & above[1] & below[1] & above[2] & below[2]) == 15)
                continue;
            if (greyTest) {
                v4i stays = (x[0] == x[1]) & (x[0] == x[2]) & (x[0] >= Splat(greyLow)) &
                            (x[0] <= Splat(greyHigh));
                for (int k = 0; k < 3; ++k)
                    if (!greyFits[k])
                        stays &= above[k] & below[k];
                if (LaneMask(stays) == 15)
                    continue;
            }
            const v4u colours = w & 0xFFFFFFu;
            v4u previous;
            std::memcpy(&previous, last, sizeof previous);
            if (LaneMask((v4i)(colours == previous)) == 15)
                continue;
            std::memcpy(last, &colours, sizeof last);
            v4i bands[3], nearLow[3], nearHigh[3];
            for (int j = 0; j < 3; ++j)
                bands[j] = cells.Band(w, order[j]);
            for (int k = 0; k < 3; ++k) {
                nearLow[k] = ~above[k];
                nearHigh[k] = ~below[k];
            }
            // Pixels that repeat the colour of an extreme's setter or of the pixel last found
            // beyond it, that the integer values place on its far side, or that repeat a colour
            // taken earlier in the scan leave it as it is.
            v4i moveLow[3], moveHigh[3];
            int grey = -1; // whether every pixel's bands are equal (-1: not yet known)
            v4i any = v4i{};
            for (int k = 0; k < 3; ++k) {
                const TSide& l = lows[k];
                const TSide& h = highs[k];
                moveLow[k] = nearLow[k];
                moveHigh[k] = nearHigh[k];
                if (LaneMask(moveLow[k] | moveHigh[k]) == 0)
                    continue;
                const TIntegerRow& row = intRows[k];
                if (!row.Exact) {
                    moveLow[k] &= (colours != l.Colours) & (colours != l.PassedColours);
                    moveHigh[k] &= (colours != h.Colours) & (colours != h.PassedColours);
                } else {
                    if (grey < 0)
                        grey = LaneMask((bands[0] == bands[1]) & (bands[0] == bands[2])) == 15;
                    if (grey != 0 && row.GreyFits) {
                        const v4i u = bands[0] * row.Grey;
                        moveLow[k] &= ~(u > l.Beyond32);
                        moveHigh[k] &= ~(h.Beyond32 > u);
                    } else {
                        const TValues4 u = row.Values(bands);
                        moveLow[k] &= ~Above(u, l.Beyond);
                        moveHigh[k] &= ~Above(h.Beyond, u);
                    }
                }
                any |= moveLow[k] | moveHigh[k];
            }
            int move = LaneMask(any);
            if (move == 0)
                continue;
            for (int lane = 0; lane < 4; ++lane) {
                uint32_t& slot = taken[Slot(colours[lane])];
                if (slot == colours[lane])
                    move &= ~(1 << lane);
                slot = colours[lane];
            }
            if (move == 0)
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
                if ((move >> lane & 1) != 0)
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
    // Per output, the colour last computed exactly and its byte: its repeats (an area of one
    // colour that lands on a rounding half) take the byte again.
    struct TKnown {
        uint32_t Colour = 0xFFFFFFFFu;
        uint8_t Byte = 0;
    } known[3];
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
                const uint32_t colour = w[lane] & 0xFFFFFFu;
                const double centred[3] = {p[order[0]] - 128, p[order[1]] - 128, p[order[2]] - 128};
                for (int k = 0; k < 3; ++k) {
                    if ((doubtful[k] >> lane & 1) == 0)
                        continue;
                    uint8_t& to = low[4 * (i + lane) + src.Shift[order[k]] / 8];
                    if (colour == known[k].Colour) {
                        to = known[k].Byte;
                        continue;
                    }
                    const double y = rows[k].Refine(centred);
                    const double nearest = (y + 0x1.8p52) - 0x1.8p52;
                    if (std::fabs(y - nearest) < refineLimit[k]) {
                        to = static_cast<uint8_t>(std::clamp(nearest, 0.0, 255.0));
                    } else {
                        exact(p, i + lane, k);
                        known[k] = {colour, to};
                    }
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
