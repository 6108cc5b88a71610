// Two-dimensional arrays of doubles with the linear bitmap's row layout, and the 1-based matrix
// over them with the operations the principal-component stretch needs.
#pragma once

#include "image/StreamClass.h"

#include <cstdint>
#include <memory>

namespace vt {

// Raised with SInvalidFloatMapSize, SMatrixNotSquare or SSameOutputMatrix.
VT_EXCEPTION_CLASS(EFloatMap, Exception);

inline constexpr const char* SInvalidFloatMapSize = "Invalid float map size";
inline constexpr const char* SMatrixNotSquare = "Matrix is not square";
inline constexpr const char* SSameOutputMatrix =
    "Eigenvectors and eigenvalues need two different matrices";

// The shape of a two-dimensional array of 8-byte elements; the storage is the subclass's.
class TBaseFloatMap : public TStreamClass {
public:
    VT_CLASS_NAME(TBaseFloatMap)

    // Releases the storage and returns to the empty shape.
    virtual void Dispose() = 0;

    int32_t Size = 0;         // bytes of element storage: Count x 8
    int32_t Width = 0;        // elements per row (a matrix's number of columns)
    int32_t Height = 0;       // number of rows
    int32_t BytesPerLine = 0; // Width x 8
    int32_t Count = 0;        // number of elements: Width x Height
};

// A float map: Count doubles, row 0 first, each row Width values long. It owns Map, which is
// null while the map holds no element.
class TFloatMap : public TBaseFloatMap {
public:
    VT_CLASS_NAME(TFloatMap)

    TFloatMap() = default;
    ~TFloatMap() override;

    // A new map of this class made a copy of Source through Assign. Raises what Assign raises
    // (nothing is leaked).
    static std::unique_ptr<TFloatMap> CreateFrom(TObject* Source);

    // Gives the map storage for Width x Height elements (contents unspecified); does nothing
    // when the shape is unchanged. A shape with no element leaves Map null. Raises EFloatMap
    // "Invalid float map size" for a negative size or one whose byte count exceeds 2 GiB, and
    // EOutOfMemory when the storage cannot be had; the map is then unchanged.
    void New(int32_t width, int32_t height);

    void Dispose() override;

    // Copies a float map (one block move), or converts a linear bitmap: element i becomes byte
    // i of its pixel buffer, 0..255, whatever its format. Raises ELinearBitmap "Invalid bitmap
    // size" for a bitmap whose buffer holds fewer than Width x Height bytes, and the base
    // protocol's Exception for other sources; the map is then unchanged.
    void Assign(TObject* Source) override;

    // Converts into a linear bitmap: it becomes an 8-bit bitmap of this shape (its palette is
    // not written) whose byte i is element i rounded half to even and clamped to 0..255; NaN
    // gives 0 and infinities the clamp bounds. Raises ELinearBitmap "Invalid bitmap size" for
    // an empty map, and the base protocol's Exception for other destinations.
    void AssignTo(TObject* Dest) override;

    double* Map = nullptr; // Count elements; null while Count is 0
};

// A float map seen as a matrix with 1-based (Row, Col) indices; no range checks, callers keep
// indices within Height and Width. Constructors and SetSize take rows first, New takes the
// width (columns) first.
class TMatrix : public TFloatMap {
public:
    VT_CLASS_NAME(TMatrix)

    TMatrix() = default;
    // A matrix of this shape with unspecified elements. Raises what New raises.
    TMatrix(int32_t Rows, int32_t Cols) { New(Cols, Rows); }

    // A new matrix made a copy of Source through Assign. Raises what Assign raises.
    static std::unique_ptr<TMatrix> CreateFrom(TObject* Source);

    // Reshapes to Rows x Cols; raises what New raises.
    void SetSize(int32_t Rows, int32_t Cols) { New(Cols, Rows); }

    double GetElement(int32_t Row, int32_t Col) const { return Map[Index(Row, Col)]; }
    void SetElement(int32_t Row, int32_t Col, double Value) { Map[Index(Row, Col)] = Value; }

    // All elements 0, then 1 on the main diagonal. A matrix that is not square gets 1 at
    // (k, k) for k up to the smaller of its two sizes.
    void Identity() noexcept;

    // Transposes in place. A row or column vector only swaps its shape. Raises EOutOfMemory
    // when the new storage cannot be had; the matrix is then unchanged.
    void Transpose();

    // Sum of all elements in index order, each partial sum rounded to a double.
    double Sum() const noexcept;

    // Eigen-decomposition of this symmetric matrix by the cyclic Jacobi method. Only the
    // diagonal and the elements above it are read, and the matrix is not changed. Vectors
    // becomes n x n with the unit eigenvector of eigenvalue k in column k; Values becomes
    // n x 1 with the eigenvalues in descending order (of equal values, the one found at the
    // higher index comes first). Returns the number of rotations performed. Stops silently
    // after 50 sweeps with the approximation it has. Raises EFloatMap "Matrix is not square"
    // or "Eigenvectors and eigenvalues need two different matrices" before touching anything;
    // EOverflow when a quantity of the rotations leaves the double range (off-diagonal
    // elements from about 1.8e306 on, differences of diagonal elements beyond 1.8e308),
    // EInvalidOp for a NaN in the input or an undefined intermediate, and EOutOfMemory; the
    // outputs are then as the caller gave them.
    int32_t EigenDecompose(TMatrix& Vectors, TMatrix& Values);

private:
    intptr_t Index(int32_t Row, int32_t Col) const {
        return (static_cast<intptr_t>(Row) - 1) * Width + (Col - 1);
    }
};

} // namespace vt
