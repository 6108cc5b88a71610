// Components of integer samples that the extended sum computes without rounding.
#include "stretch/RangeTies.h"

#include <algorithm>
#include <cmath>

namespace vt::detail {

void TIntegerComponent::Set(const double* row, int n, int64_t bottom, int64_t top) noexcept {
    Exact = false;
    Bands = n;
    constexpr int64_t Limit = int64_t{1} << 62;
    if (n < 1 || n > KernelBands || bottom > top)
        return;
    // Each weight and the constant as an odd integer times a power of two.
    int64_t odd[KernelBands + 1];
    int exponent[KernelBands + 1];
    int scale = std::numeric_limits<int>::max();
    for (int j = 0; j <= n; ++j) {
        odd[j] = 0;
        exponent[j] = 0;
        if (!std::isfinite(row[j]))
            return;
        if (row[j] == 0)
            continue;
        int e = 0;
        int64_t m = static_cast<int64_t>(std::ldexp(std::frexp(row[j], &e), 53));
        e -= 53;
        while (m % 2 == 0) {
            m /= 2;
            ++e;
        }
        odd[j] = m;
        exponent[j] = e;
        scale = std::min(scale, e);
    }
    // At the smallest of the scales, below 2^62 each.
    for (int j = 0; j <= n; ++j) {
        int64_t v = odd[j];
        for (int s = exponent[j]; v != 0 && s > scale; --s) {
            if (v >= Limit / 2 || v <= -Limit / 2)
                return;
            v *= 2;
        }
        (j < n ? W[j] : C) = v;
    }
    // The partial sums' range over the samples' box, each term at its least and most.
    int64_t low = 0, high = 0;
    for (int j = 0; j < n; ++j) {
        int64_t a = 0, b = 0;
        if (__builtin_mul_overflow(W[j], bottom, &a) || __builtin_mul_overflow(W[j], top, &b) ||
            __builtin_add_overflow(low, std::min(a, b), &low) ||
            __builtin_add_overflow(high, std::max(a, b), &high) || low <= -Limit || high >= Limit)
            return;
    }
    // With the constant (below 2^62 too) the sums stay below 2^63.
    Exact = true;
}

} // namespace vt::detail
