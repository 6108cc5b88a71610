// The general passes: the portable form of their kernels, the choice among forms, and the
// statistics and maps built on them.
#include "stretch/GeneralKernels.h"

#include "stretch/KernelDispatch.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vt::detail {

namespace portable {
#include "stretch/GeneralKernelBodies.inc"
} // namespace portable

#if defined(__i386__) || defined(__x86_64__)
namespace avx2 {
const TGeneralKernels& GeneralKernels() noexcept;
}
namespace fused {
const TGeneralKernels& GeneralKernels() noexcept;
}
#endif

const TGeneralKernels& GeneralKernelsFor(bool exact) noexcept {
#if defined(__i386__) || defined(__x86_64__)
    if (UseVectorKernels())
        return exact ? fused::GeneralKernels() : avx2::GeneralKernels();
#endif
    (void)exact;
    return portable::Kernels;
}

void PadBlock(const double* samples, int64_t pixels, int n, const int* order, int stride,
              double* out) noexcept {
    const auto s = static_cast<size_t>(stride);
    for (int64_t p = 0; p < pixels; ++p) {
        const double* in = samples + p * n;
        double* row = out + static_cast<size_t>(p) * s;
        if (order == nullptr)
            std::memcpy(row, in, static_cast<size_t>(n) * sizeof(double));
        else
            for (int j = 0; j < n; ++j)
                row[j] = in[order[j]];
        std::fill(row + n, row + stride, 0.0);
    }
    // The rows that fill the last group of four.
    std::fill(out + static_cast<size_t>(pixels) * s,
              out + static_cast<size_t>(pixels + 3) / 4 * 4 * s, 0.0);
}

void AddShifted(TWideSum& sum, uint64_t v, int shift) noexcept {
    TWideSum term;
    term.Low = v << shift;
    term.High = shift == 0 ? 0 : v >> (64 - shift);
    sum.Add(term);
}

// ---- Statistics ----------------------------------------------------------------------------

namespace {

// Whole pixels a block matrix holds: rows of four.
size_t RowsFor(int64_t pixels) noexcept {
    return static_cast<size_t>((pixels + 3) / 4 * 4);
}

} // namespace

TGeneralStatistics::TGeneralStatistics(int bands, TSampleType type, int64_t blockPixels)
    : N(bands), Stride(GeneralStride(bands)), Real(IsFloatSample(type)), Wide(IsWideInteger(type)) {
    const auto square = static_cast<size_t>(Stride) * static_cast<size_t>(Stride);
    X.assign(RowsFor(blockPixels) * static_cast<size_t>(Stride), 0.0);
    Products.assign(square, 0.0);
    Sums.assign(static_cast<size_t>(Stride), 0.0);
    if (Wide) {
        Low.assign(X.size(), 0.0);
        LowProducts.assign(square, 0.0);
        Mixed.assign(square, 0.0);
        LowSums.assign(Sums.size(), 0.0);
    }
    // Every product of two shifted samples (of 32-bit ones, of two halves) is a whole number
    // at most top^2: Limit pixels of them sum below 2^53, exactly.
    const double top = Wide ? 65535.0 : Real ? 1.0 : SampleTop(type) - SampleBottom(type);
    Limit = static_cast<int64_t>(std::floor(0x1p53 / (top * top)));
}

void TGeneralStatistics::Add(const double* samples, int64_t count, TStatistics& into) {
    const int64_t room = static_cast<int64_t>(X.size()) / Stride;
    for (int64_t from = 0; from < count; from += room) {
        const int64_t pixels = std::min(room, count - from);
        if (!Real && Pending + pixels > Limit)
            Flush(into);
        PadBlock(samples + from * N, pixels, N, nullptr, Stride, X.data());
        const auto used = static_cast<size_t>(pixels) * static_cast<size_t>(Stride);
        if (Wide)
            for (size_t i = 0; i < used; ++i) {
                // A shifted 32-bit sample, a whole number below 2^32: its high and low halves.
                const double high = std::floor(X[i] * 0x1p-16);
                Low[i] = X[i] - high * 65536.0;
                X[i] = high;
            }
        if (Real) {
            std::fill(Products.begin(), Products.end(), 0.0);
            std::fill(Sums.begin(), Sums.end(), 0.0);
        }
        // Whole numbers sum exactly in any form; floats in the form that rounds each step.
        const TGeneralKernels& k = GeneralKernelsFor(!Real);
        k.Cross(X.data(), X.data(), pixels, Stride, true, Products.data());
        if (Wide) {
            k.Cross(Low.data(), Low.data(), pixels, Stride, true, LowProducts.data());
            k.Cross(X.data(), Low.data(), pixels, Stride, false, Mixed.data());
        }
        for (int64_t p = 0; p < pixels; ++p) {
            const double* row = X.data() + static_cast<size_t>(p) * static_cast<size_t>(Stride);
            for (int b = 0; b < N; ++b)
                Sums[static_cast<size_t>(b)] += row[b];
            if (Wide) {
                const double* low = Low.data() + (row - X.data());
                for (int b = 0; b < N; ++b)
                    LowSums[static_cast<size_t>(b)] += low[b];
            }
        }
        Pending += pixels;
        into.Count += pixels;
        if (Real)
            Flush(into);
    }
}

void TGeneralStatistics::Flush(TStatistics& into) {
    if (Pending == 0)
        return;
    const auto s = static_cast<size_t>(Stride);
    for (int a = 0; a < N; ++a) {
        const auto i = static_cast<size_t>(a);
        if (Real)
            into.RealSum[i].Add(Sums[i]);
        else if (Wide) {
            AddShifted(into.Sum[i], static_cast<uint64_t>(Sums[i]), 16);
            AddShifted(into.Sum[i], static_cast<uint64_t>(LowSums[i]), 0);
        } else {
            into.Sum[i].Add(static_cast<uint64_t>(Sums[i]));
        }
        const double* row = Products.data() + i * s;
        for (int b = a; b < N; ++b) {
            const auto j = static_cast<size_t>(b);
            if (Real) {
                into.RealProduct[a][b].Add(row[b]);
            } else if (Wide) {
                TWideSum& sum = into.Product[a][b];
                AddShifted(sum, static_cast<uint64_t>(row[b]), 32);
                AddShifted(sum, static_cast<uint64_t>(Mixed[i * s + j]), 16);
                AddShifted(sum, static_cast<uint64_t>(Mixed[j * s + i]), 16);
                AddShifted(sum, static_cast<uint64_t>(LowProducts[i * s + j]), 0);
            } else {
                into.Product[a][b].Add(static_cast<uint64_t>(row[b]));
            }
        }
    }
    Pending = 0;
    std::fill(Products.begin(), Products.end(), 0.0);
    std::fill(Sums.begin(), Sums.end(), 0.0);
    if (Wide) {
        std::fill(LowProducts.begin(), LowProducts.end(), 0.0);
        std::fill(Mixed.begin(), Mixed.end(), 0.0);
        std::fill(LowSums.begin(), LowSums.end(), 0.0);
    }
}

// ---- Maps ----------------------------------------------------------------------------------

TGeneralMap::TGeneralMap(const TAffineMap& map) : Bands(map.Size), Stride(GeneralStride(map.Size)) {
    const int n = Bands;
    const auto s = static_cast<size_t>(Stride);
    Weights.assign(static_cast<size_t>(n) * s, 0.0);
    Constants.assign(s, 0.0);
    BoundWeight.assign(s, 0.0);
    BoundConstant.assign(s, 0.0);
    // The double sum and the extended one each lie within n + 1 roundings of the running
    // magnitude of the exact sum; the factor leaves room for both and for rounding the bound.
    const double factor = (4.0 * n + 8) * 0x1p-53;
    for (int r = 0; r < n; ++r) {
        double magnitude = 0;
        for (int j = 0; j < n; ++j) {
            Weights[static_cast<size_t>(j) * s + static_cast<size_t>(r)] = map.M[r][j];
            magnitude += std::fabs(map.M[r][j]);
        }
        Constants[static_cast<size_t>(r)] = map.M[r][n];
        BoundWeight[static_cast<size_t>(r)] = factor * magnitude;
        BoundConstant[static_cast<size_t>(r)] = factor * std::fabs(map.M[r][n]);
    }
}

void TGeneralMap::Run(const double* x, int64_t pixels, bool exact, double* out) const noexcept {
    GeneralKernelsFor(exact).Product(x, (pixels + 3) / 4 * 4, Bands, Stride, Weights.data(),
                                     Constants.data(), out);
}

} // namespace vt::detail
