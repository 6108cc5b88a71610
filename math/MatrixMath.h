// Three-dimensional affine colour transforms, the 3x3 helpers their inversion needs, and the
// constant YCbCr and YIQ colour-space transforms with their inverses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace vt {

// A 3-D affine map as a 4x4 row-major matrix of doubles, indices from 0. Rows 0..2 define the
// map: output r = M(r,0) in0 + M(r,1) in1 + M(r,2) in2 + M(r,3); row 3 is (0, 0, 0, 1) in every
// transform the operations below produce, and composition relies on it. For colours,
// component 0 is red, 1 green, 2 blue. A plain 128-byte value: copy it, keep it on the stack.
struct TAffineTransform {
    double M[4][4]; // M[r][c] is element (r, c)

    double& operator()(int r, int c) { return M[r][c]; }
    double operator()(int r, int c) const { return M[r][c]; }
};
static_assert(sizeof(TAffineTransform) == 128, "TAffineTransform is 16 packed doubles");

// A 3x3 matrix of doubles, row-major: m(i,k) is element 3i + k.
struct TMatrix3x3 {
    double M[9]; // M[3i + k] is element (i, k)

    double& operator()(int i, int k) { return M[3 * i + k]; }
    double operator()(int i, int k) const { return M[3 * i + k]; }
};
static_assert(sizeof(TMatrix3x3) == 72, "TMatrix3x3 is 9 packed doubles");

// The arithmetic of these operations is exact about precision: intermediate sums and products
// are formed in Extended (the 80-bit x87 type) and rounded to double only where a value is
// stored, so results are bit-identical on every build. Each operation sets the floating-point
// environment it needs for its own duration and restores the caller's afterwards.
// Floating-point faults are detected explicitly: a finite value that no longer fits a double
// raises EOverflow, a NaN made from operands that were not NaN raises EInvalidOp, a division by
// zero raises EZeroDivide. An operation that raises leaves its output record unchanged.

// M := identity.
void IdentityTransform(TAffineTransform& M) noexcept;

// M := identity with the constant column (Tx, Ty, Tz).
void TranslationTransform(TAffineTransform& M, double Tx, double Ty, double Tz) noexcept;

// M := zero with the diagonal (Sx, Sy, Sz, 1).
void ScaleTransform(TAffineTransform& M, double Sx, double Sy, double Sz) noexcept;

// A := B x A, the map that applies A first and then B. Each element is summed over k = 0..3
// in this order, each term formed in Extended and the running sum rounded to double after
// every addition; row 3 of A is not written. A and B may be the same record.
// Raises EOverflow or EInvalidOp (see above); A is then unchanged.
void ComposeTransform(TAffineTransform& A, const TAffineTransform& B);

// Result := the inverse of A through the cofactor inverse of its linear part; A is unchanged
// and may be the same record as Result. Raises EZeroDivide when the linear part is singular,
// EOverflow or EInvalidOp when the inverse does not fit doubles; Result is then unchanged.
void InvertTransform(const TAffineTransform& A, TAffineTransform& Result);

// m := the inverse of m, in place: the transposed cofactors times the reciprocal of the
// determinant. Raises EZeroDivide when the determinant is 0, EOverflow or EInvalidOp when the
// inverse does not fit doubles; m is then unchanged.
void Invert3x3(TMatrix3x3& m);

// K := the cofactor matrix of m, each cofactor formed in Extended and stored as a double.
// m and K may be the same record. Raises EOverflow or EInvalidOp; K is then unchanged.
void Cofactors3x3(const TMatrix3x3& m, TMatrix3x3& K);

// dest := the transpose of source; they may be the same record.
void Transpose3x3(const TMatrix3x3& source, TMatrix3x3& dest) noexcept;

// ---- Affine maps on any number of values --------------------------------------------------

// A matrix of Rows x Columns values held row after row in one vector: M[r][c] is element
// (r, c). Copies are deep; an empty matrix (0 x 0) holds nothing.
template <class T> class TRowMatrix {
public:
    TRowMatrix() = default;
    TRowMatrix(int rows, int columns, const T& fill = T())
        : RowCount(rows), ColumnCount(columns),
          Values(static_cast<size_t>(rows) * static_cast<size_t>(columns), fill) {}

    int Rows() const noexcept { return RowCount; }
    int Columns() const noexcept { return ColumnCount; }
    template <class I>
    requires std::is_integral_v<I> T* operator[](I row) noexcept {
        return Values.data() + static_cast<size_t>(row) * static_cast<size_t>(ColumnCount);
    }
    template <class I>
    requires std::is_integral_v<I>
    const T* operator[](I row) const noexcept {
        return Values.data() + static_cast<size_t>(row) * static_cast<size_t>(ColumnCount);
    }
    T* Data() noexcept { return Values.data(); }
    const T* Data() const noexcept { return Values.data(); }
    bool operator==(const TRowMatrix&) const = default;

private:
    int RowCount = 0, ColumnCount = 0;
    std::vector<T> Values;
};

// A vector that any integer type indexes (band numbers are ints).
template <class T> class TVector : public std::vector<T> {
public:
    using std::vector<T>::vector;
    TVector() = default;
    TVector(const std::vector<T>& v) : std::vector<T>(v) {} // NOLINT: a vector is one
    template <class I>
    requires std::is_integral_v<I> T& operator[](I i) noexcept {
        return std::vector<T>::operator[](static_cast<size_t>(i));
    }
    template <class I>
    requires std::is_integral_v<I>
    const T& operator[](I i) const noexcept {
        return std::vector<T>::operator[](static_cast<size_t>(i));
    }
};

// The largest map the operations below take as one size (a whole-image transform of that many
// bands); nothing in their arithmetic depends on it.
inline constexpr int MaxAffineSize = 1024;

// An affine map on Size values: output r = sum over c < Size of M[r][c] in_c, plus M[r][Size].
// M has Size rows of Size + 1 values (zeros when made with a size). A value: copies are deep.
struct TAffineMap {
    int Size = 0;
    TRowMatrix<double> M;

    TAffineMap() = default;
    // The zero map on Size values.
    explicit TAffineMap(int size) : Size(size), M(size, size + 1, 0.0) {}
    // The identity on Size values.
    static TAffineMap Identity(int Size);
};

// A := B after A, with exactly the arithmetic of ComposeTransform (each element summed over
// k = 0..Size in this order, the implicit last row (0 ... 0 1) included, the running sum
// rounded to double after every addition). Raises EOverflow or EInvalidOp, and EConvertError
// when the sizes differ; A is then unchanged.
void ComposeAffine(TAffineMap& A, const TAffineMap& B);

// Result := the inverse of A. Three values go through InvertTransform (the cofactor inverse);
// other sizes through Gauss-Jordan elimination with partial pivoting in Extended. Raises
// EZeroDivide when the linear part is singular, EOverflow or EInvalidOp when the inverse does not
// fit doubles; Result is then unchanged. A and Result may be the same record.
void InvertAffine(const TAffineMap& A, TAffineMap& Result);

// The colour-space transforms. The forward ones are constants; the inverses are computed once
// by MatrixMathStartup and are read-only afterwards (all zero before start-up).
extern const TAffineTransform RGBToYCbCr; // luma and the two colour differences, offset 127.5
extern const TAffineTransform RGBToYIQ;   // luma and the I and Q chroma axes, offset 127.5
extern TAffineTransform YCbCrToRGB;       // InvertTransform of RGBToYCbCr
extern TAffineTransform YIQToRGB;         // InvertTransform of RGBToYIQ

// Module start-up (computes YCbCrToRGB and YIQToRGB) and shut-down; nested calls count.
void MatrixMathStartup();
void MatrixMathShutdown() noexcept;

} // namespace vt
