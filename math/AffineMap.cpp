// Affine maps on any number of values: composition and inversion with the arithmetic of the 3-D
// colour transforms.
#include "math/MathPrivate.h"
#include "math/MatrixMath.h"

#include <utility>

namespace vt {

using namespace detail;

TAffineMap TAffineMap::Identity(int Size) {
    TAffineMap m(Size);
    for (int r = 0; r < Size; ++r)
        m.M[r][r] = 1;
    return m;
}

void ComposeAffine(TAffineMap& A, const TAffineMap& B) {
    if (A.Size != B.Size)
        throw EConvertError("Affine maps of different sizes cannot be composed");
    TFloatEnvironmentGuard environment;
    const int n = A.Size;
    // Both operands are read from copies, so that A may also be B and a fault leaves A intact.
    const TAffineMap a = A, b = B;
    TAffineMap result = a;
    for (int r = 0; r < n; ++r)
        for (int c = 0; c <= n; ++c) {
            double sum = 0;
            for (int k = 0; k <= n; ++k) {
                // Row n of a is the implicit (0 ... 0 1).
                const double akc = k < n ? a.M[k][c] : (c == n ? 1.0 : 0.0);
                sum = CheckedStore(CheckedAdd(sum, CheckedMul(akc, b.M[r][k])));
            }
            result.M[r][c] = sum;
        }
    A = result;
}

namespace {

void InvertByElimination(const TAffineMap& A, TAffineMap& Result) {
    const int n = A.Size;
    TRowMatrix<Extended> m(n, n), inv(n, n);
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            m[r][c] = A.M[r][c];
            inv[r][c] = r == c ? 1 : 0;
        }
    for (int c = 0; c < n; ++c) {
        int pivot = c;
        for (int r = c + 1; r < n; ++r)
            if (Fabs(m[r][c]) > Fabs(m[pivot][c]))
                pivot = r;
        if (m[pivot][c] == 0)
            throw EZeroDivide();
        if (pivot != c)
            for (int k = 0; k < n; ++k) {
                std::swap(m[c][k], m[pivot][k]);
                std::swap(inv[c][k], inv[pivot][k]);
            }
        const Extended d = CheckedDiv(1, m[c][c]);
        for (int k = 0; k < n; ++k) {
            m[c][k] = CheckedMul(m[c][k], d);
            inv[c][k] = CheckedMul(inv[c][k], d);
        }
        for (int r = 0; r < n; ++r) {
            if (r == c || m[r][c] == 0)
                continue;
            const Extended f = m[r][c];
            for (int k = 0; k < n; ++k) {
                m[r][k] = CheckedSub(m[r][k], CheckedMul(f, m[c][k]));
                inv[r][k] = CheckedSub(inv[r][k], CheckedMul(f, inv[c][k]));
            }
        }
    }
    TAffineMap result(n);
    for (int r = 0; r < n; ++r) {
        Extended shifted = 0;
        for (int c = 0; c < n; ++c) {
            result.M[r][c] = CheckedStore(inv[r][c]);
            shifted = CheckedAdd(shifted, CheckedMul(A.M[c][n], result.M[r][c]));
        }
        result.M[r][n] = CheckedStore(-shifted);
    }
    Result = result;
}

} // namespace

void InvertAffine(const TAffineMap& A, TAffineMap& Result) {
    if (A.Size == 3) {
        TAffineTransform t, inverse;
        IdentityTransform(t);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 4; ++c)
                t(r, c) = A.M[r][c];
        InvertTransform(t, inverse);
        TAffineMap result(3);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 4; ++c)
                result.M[r][c] = inverse(r, c);
        Result = result;
        return;
    }
    TFloatEnvironmentGuard environment;
    InvertByElimination(A, Result);
}

} // namespace vt
