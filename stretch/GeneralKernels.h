// Private to stretch/: the passes over pixels of more bands than the unrolled kernels take
// (StreamMaxBands). A block of pixels is a small matrix, one row a pixel; the statistics add
// its cross products X'X, and a map is the product X W' + c, both in tiles of four rows by eight
// columns that the vectors take, each sum formed in one order that the block alone decides.
#pragma once

#include "stretch/EnginePrivate.h"

#include <cstdint>
#include <vector>

namespace vt::detail {

// The kernels in one processor form. Matrices are rows of Stride doubles (a multiple of 8),
// padded with zeros; block rows come in multiples of 4 (the last ones zeros).
struct TGeneralKernels {
    // P[a][b] += sum over pixels p of x[p][a] y[p][b], for every a, and every b from a's tile
    // of eight on (Upper) or every b; the sums in pixel order, each added to P once.
    void (*Cross)(const double* x, const double* y, int64_t pixels, int stride, bool upper,
                  double* p) noexcept = nullptr;
    // out[p][r] = x[p][0] w[0][r] + ... + x[p][n - 1] w[n - 1][r] + c[r], summed in that order,
    // for r < Stride; w is n rows of Stride weights (one per output), out rows of Stride.
    void (*Product)(const double* x, int64_t pixels, int n, int stride, const double* w,
                    const double* c, double* out) noexcept = nullptr;
};

// The exact form (Cross of whole numbers, whose every sum is exact, and Product where only a
// bound of its error matters) may fuse multiplications and additions; the other rounds each.
const TGeneralKernels& GeneralKernelsFor(bool exact) noexcept;

// A block's pixels as a padded matrix: the samples of each pixel in working order.
void PadBlock(const double* samples, int64_t pixels, int n, const int* order, int stride,
              double* out) noexcept;

// The stride of n bands: n rounded up to a multiple of 8.
inline int GeneralStride(int n) noexcept {
    return (n + 7) / 8 * 8;
}

// Adds v x 2^shift to a 128-bit sum (v x 2^shift below 2^128).
void AddShifted(TWideSum& sum, uint64_t v, int shift) noexcept;

// The statistics of one part's blocks above the unrolled kernels' bands (see TStatistics):
// whole-number partial sums in doubles moved into the 128-bit sums before they could pass
// 2^53, 32-bit samples as two 16-bit halves, float blocks' partial sums into the compensated
// sums block by block.
class TGeneralStatistics {
public:
    TGeneralStatistics(int bands, TSampleType type, int64_t blockPixels);
    // Adds count pixels of n shifted samples each.
    void Add(const double* samples, int64_t count, TStatistics& into);
    // Moves what the partial sums hold into the statistics.
    void Flush(TStatistics& into);

private:
    int N, Stride;
    bool Real, Wide;
    int64_t Pending = 0, Limit; // pixels in the partial sums, and the most they may take
    std::vector<double> X, Low; // the block (for 32-bit samples its high halves, and low ones)
    std::vector<double> Products, LowProducts, Mixed, Sums, LowSums;
};

// An affine map in the general passes' form: weights transposed (row j the weights of working
// input j on each output, Stride of them) and constants, with each output's error bound for
// samples of a given magnitude (the double sum against the extended one of WorkingSum).
struct TGeneralMap {
    int Bands = 0, Stride = 0;
    std::vector<double> Weights, Constants, BoundWeight, BoundConstant;
    explicit TGeneralMap(const TAffineMap& map);
    double Bound(int r, double magnitude) const noexcept {
        return BoundConstant[static_cast<size_t>(r)] +
               BoundWeight[static_cast<size_t>(r)] * magnitude;
    }
    // out (pixels rounded up to 4, rows of Stride) = the map of the padded block x.
    void Run(const double* x, int64_t pixels, bool exact, double* out) const noexcept;
};

} // namespace vt::detail
