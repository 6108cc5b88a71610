// Private to stretch/: how the engine walks the selected pixels of a view, reads its samples,
// and the pieces fitting and application share.
#pragma once

#include "math/FloatMap.h"
#include "stretch/StretchEngine.h"
#include "stretch/StretchPrivate.h"
#include "stretch/Threads.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace vt::detail {

// The selected rectangle, half-open, and the step between selected pixels.
struct TRegion {
    int64_t X0 = 0, Y0 = 0, X1 = 0, Y1 = 0, Every = 1;
    // Counted without forming X1 - X0 + Every, which a step near the type's limit overflows.
    int64_t Columns() const noexcept { return X1 > X0 ? (X1 - X0 - 1) / Every + 1 : 0; }
    int64_t Rows() const noexcept { return Y1 > Y0 ? (Y1 - Y0 - 1) / Every + 1 : 0; }
};

// Checks the view and the selection against each other (the messages name what is wrong) and
// resolves the rectangle.
TRegion RegionOf(const TImageView& image, const TSelection& selection);

// The selection as the passes compare with it: its no-data value rounded to the image's sample
// type (a float32 image stores (float)NoData), so that a value printed from a stored sample
// finds it. Check the selection with RegionOf first.
TSelection SelectionFor(const TImageView& image, const TSelection& selection) noexcept;

// The no-data value of a selection, rounded to a sample type: the value itself for integer
// types (RegionOf refuses one that is not a sample) and float64, the nearest float for float32.
double NoDataSample(double value, TSampleType type) noexcept;

// Whether a value is a sample of the type: a whole number of the integer types' range, any
// float32 (or a value that rounds to one, infinities included), any double but not a number.
bool HoldsSample(double value, TSampleType type) noexcept;

// The largest magnitude a sample of an integer type takes (255, 65535, 128, 32768, 2^31,
// 2^32 - 1): what the error bounds of a map of its samples start from.
inline double SampleMagnitude(TSampleType type) noexcept {
    return std::max(SampleTop(type), -SampleBottom(type));
}

// Whether the type's samples are 32-bit integers, whose products the double stream cannot sum
// exactly.
inline bool IsWideInteger(TSampleType type) noexcept {
    return type == TSampleType::Int32 || type == TSampleType::UInt32;
}

// A double in the fewest digits that read back to it (for messages).
std::string NumberText(double value);

// The selected pixels as segments: one per selected row, Every pixels apart.
TSegments SegmentsOf(const TImageView& image, const TRegion& region) noexcept;

// The selected rows of a plain selection (whole pixels, no mask, no no-data), merged into one
// long run when the rows follow each other without a gap.
TSegments PackedSegments(const TImageView& image, const TRegion& region) noexcept;

namespace sample {
template <class T> inline double Load(const uint8_t* p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<double>(v);
}
} // namespace sample

// The sample at p, as a double (SampleValue, inlined for the passes).
inline double LoadSample(const uint8_t* p, TSampleType type) noexcept {
    switch (type) {
    case TSampleType::UInt8:
        return *p;
    case TSampleType::UInt16:
        return sample::Load<uint16_t>(p);
    case TSampleType::Float32:
        return sample::Load<float>(p);
    case TSampleType::Int8:
        return sample::Load<int8_t>(p);
    case TSampleType::Int16:
        return sample::Load<int16_t>(p);
    case TSampleType::Int32:
        return sample::Load<int32_t>(p);
    case TSampleType::UInt32:
        return sample::Load<uint32_t>(p);
    case TSampleType::Float64:
        return sample::Load<double>(p);
    }
    return 0;
}

// Whether a sample is finite (integer samples always are): false for not-a-number and the
// infinities alike.
inline bool IsFiniteSample(double x) noexcept {
    return std::fabs(x) <= std::numeric_limits<double>::max();
}

// Whether the pixel at p counts in statistics: not marked by the no-data value, and (float
// samples) every band finite. The no-data value is compared as the selection holds it (see
// SelectionFor, which rounds it to the sample type).
inline bool Counts(const uint8_t* p, const TImageView& v, const TSelection& s) noexcept {
    bool allNoData = s.HasNoData;
    for (int b = 0; b < v.Bands; ++b) {
        const double x = LoadSample(p + b * v.BandStride, v.Type);
        if (!IsFiniteSample(x))
            return false;
        allNoData = allNoData && x == s.NoData;
    }
    return !allNoData;
}

// Calls Visit(p) with the first sample of every selected pixel of the segments, in scan order:
// pixels the mask leaves out never, and with Screen, pixels that Counts refuses neither.
template <class TVisit>
void ForEachSelected(const TImageView& v, const TSelection& sel, const TSegments& seg, bool screen,
                     const TVisit& visit) {
    for (int64_t r = 0; r < seg.Count; ++r) {
        const uint8_t* p = seg.First + r * seg.Stride;
        const int64_t y = seg.Row + r * seg.Step;
        for (int64_t i = 0; i < seg.Length; ++i, p += seg.PixelStride) {
            if (sel.Mask != nullptr && *sel.Mask->At(seg.Offset + i * seg.Step, y, 0) == 0)
                continue;
            if (screen && !Counts(p, v, sel))
                continue;
            visit(p);
        }
    }
}

// True for the plug-in's working order on three bands: inputs third, second, first band.
inline bool IsPluginOrder(const std::vector<int>& order, int bands) noexcept {
    return bands == 3 && order.size() == 3 && order[0] == 2 && order[1] == 1 && order[2] == 0;
}

// The 24-bit bitmap as a three-byte view (empty when the bitmap holds nothing): as stored
// (blue, green, red), or in colour order (red first) as the engine's faces hand over their
// pixels, which the plug-in pairing turns back to storage order.
TImageView ViewOfBitmap(const TLinearBitmap& bitmap) noexcept;
TImageView ColourViewOfBitmap(const TLinearBitmap& bitmap) noexcept;

// The view as the passes read it: with Reversed, three bands last to first (the plug-in
// pairing's working order for pixels handed over first to last); the view itself otherwise.
TImageView InWorkingOrder(const TImageView& view, bool reversed) noexcept;

// Raises EStretch unless a transform or axes of n bands holds an order of n bands (each once)
// and a map of n rows: what a hand-made one may lack.
void CheckShape(int n, const TVector<int>& order, const TAffineMap& map);

// The principal axes of statistics measured in working order (FitAxes renumbers those
// measured in storage order first).
TPrincipalAxes AxesInWorkingOrder(const TStatistics& statistics, const TFitOptions& options);

// A transform of three bands in the plug-in's working order (inputs third, second, first
// band) as the TAffineTransform it is (the identity for a map of another size), and back.
TAffineTransform AsAffineTransform(const TAffineMap& map) noexcept;
TAffineMap AsAffineMap(const TAffineTransform& t);

// The principal axes of a symmetric matrix as the rows of an affine map: the unit eigenvectors
// in the order of their eigenvalues, descending, or with allowOffset each divided by the sum of
// its absolute elements and lifted so that its values over the cube bottom..top are
// bottom..top. Fractions (when given) receive each eigenvalue's share of their sum.
void AxesFromMatrix(TMatrix& matrix, bool allowOffset, double bottom, double top,
                    std::vector<double>* fractions, TAffineMap& result);

// The eigen-decomposition of the symmetric matrix as TMatrix::EigenDecompose gives it (Vectors'
// column k the unit eigenvector of the k-th largest eigenvalue, Values n x 1 descending): the
// cyclic Jacobi method itself up to KernelBands rows, SymmetricEigen beyond. Raises EStretch
// when the decomposition of more rows does not settle or meets a number that is not finite.
void DecomposeSymmetric(TMatrix& matrix, TMatrix& vectors, TMatrix& values);

// Divides a row of n weights by the sum of their magnitudes and gives it (in row[n]) the
// constant that lifts its values over the cube bottom..top onto bottom..top.
void LiftRow(double* row, int n, double bottom, double top) noexcept;

// The number of bands the options keep out of n (bands beyond n are refused by the fit).
inline int KeptBands(const TFitOptions& options, int n) noexcept {
    return options.Keep.CountBelow(n);
}

// The axes of the bands of a colour space that are not kept (the fit with a space or kept
// bands): components first, by eigenvalue, then the kept bands of the space, all as rows of
// weights on the bands as stored; bands pair directly.
TPrincipalAxes SpaceAxes(const TStatistics& statistics, const TFitOptions& options);

// The data's scale in the components' units: the largest magnitude of the first Count
// components' extremes less their constants (the weighted sums of the samples alone).
double ComponentScale(const TAffineMap& axes, const double* lowest, const double* highest,
                      int count) noexcept;
// The range below which a component counts as constant: ConstantComponentRange x scale / span
// (the span of the samples' range, top - bottom), and at least the rounding of values the size
// of its extremes.
double ConstantTolerance(double scale, double span, double lowest, double highest) noexcept;

// The scale-only factor of component k: the largest scale about 0 that keeps the component's
// extremes within the values it takes over the cube bottom..top; 1 when nothing bounds it or
// both extremes lie within the tolerance of 0 (rounding noise).
double ScaleOnlyFactor(const TAffineMap& axes, int k, double bottom, double top, double lowest,
                       double highest, double tolerance);

// The stretch of each component (translation and scale onto bottom..top, or scale only)
// between the axes and their inverse; the last Kept rows pass unchanged.
TAffineMap StretchOfAxes(const TAffineMap& axes, const double* lowest, const double* highest,
                         bool allowOffset, double bottom, double top, int kept = 0);

} // namespace vt::detail
