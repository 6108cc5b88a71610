// Private to stretch/: what lets the range passes pass over pixels that tie with an extreme or
// repeat the pixel that set it without computing them in extended precision.
//
// Each extreme moves only by the scan's rule (a value replaces it unless it lies strictly
// beyond), so between two moves it holds the exact value of the pixel that set it last. A pixel
// whose samples are that pixel's gives the same value: the rule would write the extreme's own
// bits again. And when a component of integer samples is summed without any rounding, its
// value is an integer of the samples; a pixel whose integer lies beyond the setter's, or equals
// it (a value other than zero, whose sign the sum decides), leaves the extreme as it is too.
#pragma once

#include "stretch/StretchEngine.h"

#include <cstdint>
#include <limits>

namespace vt::detail {

// One component of n integer samples as the range passes compute it: the extended sum, in
// working order, of sample j times weight j, then the constant. Exact: the weights and constant
// are D x 2^e for integers W[j] and C at one scale 2^e, and every partial sum of samples within
// [Bottom, Top] stays below 2^62 units of it. Every product of a sample and a weight and every
// partial sum then is a whole number of units below 2^64, which the extended format holds, so
// the sum rounds nowhere: it is (Value + C) x 2^e exactly, and two pixels' values compare as
// their integers do.
struct TIntegerComponent {
    bool Exact = false;
    int64_t W[KernelBands] = {};
    int64_t C = 0;
    int Bands = 0;

    // Row: the n weights in working order, then the constant.
    void Set(const double* row, int n, int64_t bottom, int64_t top) noexcept;

    // The sum of the samples times the weights, in units (without the constant); X(j) is the
    // sample weight j takes.
    template <class TSample> int64_t Value(const TSample& x) const noexcept {
        int64_t v = 0;
        for (int j = 0; j < Bands; ++j)
            v += static_cast<int64_t>(x(j)) * W[j];
        return v;
    }
};

// The setter's value of an extreme that no pixel of the scan has set: beyond every value.
inline constexpr int64_t NoLowSetter = std::numeric_limits<int64_t>::max();
inline constexpr int64_t NoHighSetter = std::numeric_limits<int64_t>::min();

// Whether a pixel of value V leaves the lowest extreme, last set by a pixel of value Setter, as
// it is: V lies above, or ties with a value other than zero (C: the component's constant).
inline bool StaysAbove(int64_t v, int64_t setter, int64_t c) noexcept {
    return setter != NoLowSetter && (v > setter || (v == setter && setter != -c));
}
// The same for the highest extreme.
inline bool StaysBelow(int64_t v, int64_t setter, int64_t c) noexcept {
    return setter != NoHighSetter && (v < setter || (v == setter && setter != -c));
}

} // namespace vt::detail
