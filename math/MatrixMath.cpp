// Affine colour transforms, the 3x3 cofactor inverse, the colour-space constants, and the
// cyclic Jacobi eigen-decomposition of symmetric matrices.
#include "math/MatrixMath.h"

#include "math/FloatMap.h"
#include "math/MathPrivate.h"
#include "rtl/Extended.h"
#include "rtl/Memory.h"
#include "rtl/ModuleCounter.h"
#include "rtl/SysUtils.h"

#include <cmath>
#include <utility>

namespace vt {

namespace {

// Checked arithmetic in Extended (math/MathPrivate.h), under short names.
constexpr auto Mul = detail::CheckedMul;
constexpr auto Add = detail::CheckedAdd;
constexpr auto Sub = detail::CheckedSub;
constexpr auto Div = detail::CheckedDiv;
constexpr auto Store = detail::CheckedStore;

void CofactorsOf(const TMatrix3x3& m, TMatrix3x3& K) {
    auto cofactor = [](double a, double b, double c, double d) {
        return Store(Sub(Mul(a, b), Mul(c, d)));
    };
    TMatrix3x3 k;
    k(0, 0) = cofactor(m(1, 1), m(2, 2), m(1, 2), m(2, 1));
    k(0, 1) = cofactor(m(2, 0), m(1, 2), m(1, 0), m(2, 2));
    k(0, 2) = cofactor(m(1, 0), m(2, 1), m(2, 0), m(1, 1));
    k(1, 0) = cofactor(m(2, 1), m(0, 2), m(0, 1), m(2, 2));
    k(1, 1) = cofactor(m(0, 0), m(2, 2), m(2, 0), m(0, 2));
    k(1, 2) = cofactor(m(2, 0), m(0, 1), m(0, 0), m(2, 1));
    k(2, 0) = cofactor(m(0, 1), m(1, 2), m(1, 1), m(0, 2));
    k(2, 1) = cofactor(m(1, 0), m(0, 2), m(0, 0), m(1, 2));
    k(2, 2) = cofactor(m(0, 0), m(1, 1), m(1, 0), m(0, 1));
    K = k;
}

void InvertInPlace(TMatrix3x3& m) {
    TMatrix3x3 K;
    CofactorsOf(m, K);
    const Extended det =
        Add(Add(Mul(m(0, 0), K(0, 0)), Mul(m(0, 1), K(0, 1))), Mul(m(0, 2), K(0, 2)));
    const double d = Store(Div(1, det));
    TMatrix3x3 inverse;
    Transpose3x3(K, inverse);
    for (double& element : inverse.M)
        element = Store(Mul(element, d));
    m = inverse;
}

} // namespace

// ---- Builders, composition and inversion -----------------------------------------------

void IdentityTransform(TAffineTransform& M) noexcept {
    for (auto& row : M.M)
        for (double& element : row)
            element = 0;
    M(0, 0) = M(1, 1) = M(2, 2) = M(3, 3) = 1;
}

void TranslationTransform(TAffineTransform& M, double Tx, double Ty, double Tz) noexcept {
    IdentityTransform(M);
    M(0, 3) = Tx;
    M(1, 3) = Ty;
    M(2, 3) = Tz;
}

void ScaleTransform(TAffineTransform& M, double Sx, double Sy, double Sz) noexcept {
    for (auto& row : M.M)
        for (double& element : row)
            element = 0;
    M(0, 0) = Sx;
    M(1, 1) = Sy;
    M(2, 2) = Sz;
    M(3, 3) = 1;
}

void ComposeTransform(TAffineTransform& A, const TAffineTransform& B) {
    TFloatEnvironmentGuard environment;
    // Both operands are copied first, so that A may also be B and a fault leaves A intact.
    const TAffineTransform a = A;
    const TAffineTransform b = B;
    TAffineTransform result = a;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) {
            double sum = 0;
            for (int k = 0; k < 4; ++k)
                sum = Store(Add(sum, Mul(a(k, c), b(r, k))));
            result(r, c) = sum;
        }
    A = result;
}

void InvertTransform(const TAffineTransform& A, TAffineTransform& Result) {
    TFloatEnvironmentGuard environment;
    TMatrix3x3 L;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            L(r, c) = A(r, c);
    InvertInPlace(L);

    // Built aside and copied whole, so that Result may be A and a fault leaves it intact.
    TAffineTransform result;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            result(r, c) = L(r, c);
        const Extended shifted =
            Add(Add(Mul(A(0, 3), L(r, 0)), Mul(A(1, 3), L(r, 1))), Mul(A(2, 3), L(r, 2)));
        result(r, 3) = Store(-shifted);
    }
    result(3, 0) = result(3, 1) = result(3, 2) = 0;
    result(3, 3) = 1;
    Result = result;
}

void Invert3x3(TMatrix3x3& m) {
    TFloatEnvironmentGuard environment;
    InvertInPlace(m);
}

void Cofactors3x3(const TMatrix3x3& m, TMatrix3x3& K) {
    TFloatEnvironmentGuard environment;
    CofactorsOf(m, K);
}

void Transpose3x3(const TMatrix3x3& source, TMatrix3x3& dest) noexcept {
    const TMatrix3x3 s = source;
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k)
            dest(i, k) = s(k, i);
}

// ---- Colour-space transforms -----------------------------------------------------------

const TAffineTransform RGBToYCbCr = {{
    {0.299, 0.587, 0.114, 0},
    {-0.16875, -0.33126, 0.5, 127.5},
    {0.5, -0.41869, -0.08131, 127.5},
    {0, 0, 0, 1},
}};

const TAffineTransform RGBToYIQ = {{
    {0.299, 0.587, 0.114, 0},
    {0.569, -0.275, -0.321, 127.5},
    {0.212, -0.523, 0.311, 127.5},
    {0, 0, 0, 1},
}};

TAffineTransform YCbCrToRGB;
TAffineTransform YIQToRGB;

namespace {
TModuleCounter MatrixMathCounter;
}

void MatrixMathStartup() {
    if (!MatrixMathCounter.Enter())
        return;
    TAffineTransform inverse;
    InvertTransform(RGBToYCbCr, inverse);
    YCbCrToRGB = inverse;
    InvertTransform(RGBToYIQ, inverse);
    YIQToRGB = inverse;
}

void MatrixMathShutdown() noexcept {
    MatrixMathCounter.Leave();
}

// ---- Symmetric eigen-decomposition -----------------------------------------------------
//
// Every quantity below that is kept is a double, computed by evaluating its formula in
// Extended and rounding once (Kept); only the negligibility tests compare unrounded Extended
// sums. The results, the rotation count included, are therefore the same on every build.

namespace {

// A work array of N doubles from GetMem, released on every exit.
class TWorkArray {
public:
    explicit TWorkArray(int32_t n)
        : Items(static_cast<double*>(GetMem(static_cast<size_t>(n) * sizeof(double)))) {}
    ~TWorkArray() { FreeMem(Items); }
    TWorkArray(const TWorkArray&) = delete;
    TWorkArray& operator=(const TWorkArray&) = delete;

    // 1-based, as the matrices are.
    double& operator[](int32_t i) { return Items[i - 1]; }

private:
    double* Items;
};

// A quantity of the decomposition rounded to the double that is kept, with the faults the
// library's floating-point settings raise: a finite value beyond the double range overflows,
// and a NaN can only come from an undefined operation (infinity minus infinity, zero times
// infinity) or from a NaN in the input, which the first comparison with it would refuse.
// An infinity made from an infinite input element passes, as in any other arithmetic.
double Kept(Extended x) {
    const double d = static_cast<double>(x);
    if (std::isnan(d))
        throw EInvalidOp();
    if (std::isinf(d) && IsFinite(x))
        throw EOverflow();
    return d;
}

// True when G is lost entirely when added to |X| in Extended precision.
bool Negligible(double x, double g) {
    const Extended magnitude = Fabs(static_cast<Extended>(x));
    return magnitude + static_cast<Extended>(g) == magnitude;
}

// Rotates the elements (i, j) and (k, l) of M as a pair, by the rotation of sine S with
// tau = S / (1 + cosine); both are read before either is written.
void Rotate(TMatrix& m, int32_t i, int32_t j, int32_t k, int32_t l, double s, double tau) {
    const Extended g = m.GetElement(i, j);
    const Extended h = m.GetElement(k, l);
    const double x = Kept(g - s * (h + g * tau));
    const double y = Kept(h + s * (g - h * tau));
    m.SetElement(i, j, x);
    m.SetElement(k, l, y);
}

// Hands the storage and shape of Result to Output, and Output's previous storage to Result,
// which releases it. Neither allocates, so the outputs change only once everything is done.
void MoveInto(TMatrix& Result, TMatrix& Output) noexcept {
    std::swap(Result.Map, Output.Map);
    std::swap(Result.Width, Output.Width);
    std::swap(Result.Height, Output.Height);
    std::swap(Result.Count, Output.Count);
    std::swap(Result.Size, Output.Size);
    std::swap(Result.BytesPerLine, Output.BytesPerLine);
}

} // namespace

int32_t TMatrix::EigenDecompose(TMatrix& Vectors, TMatrix& Values) {
    if (Width != Height)
        throw EFloatMap(SMatrixNotSquare);
    if (&Vectors == &Values)
        throw EFloatMap(SSameOutputMatrix);
    TFloatEnvironmentGuard environment;
    const int32_t n = Height;

    // Everything is computed aside and handed to the outputs at the end, so that a fault
    // leaves them as the caller gave them, and this matrix may itself be one of them. Only
    // the working copy's elements above the diagonal are used.
    const std::unique_ptr<TMatrix> work = CreateFrom(this);
    TMatrix& A = *work;
    TMatrix vectors(n, n);
    TMatrix values(n, 1);
    TWorkArray B(n); // the diagonal of the input
    TWorkArray Z(n); // all changes made to the diagonal since the start
    vectors.Identity();
    auto D = [&values](int32_t i) -> double& { return values.Map[i - 1]; }; // running diagonal
    for (int32_t i = 1; i <= n; ++i) {
        B[i] = Kept(A.GetElement(i, i));
        D(i) = B[i];
        Z[i] = 0;
    }

    int32_t rotations = 0;
    bool converged = false;
    for (int32_t sweep = 1; sweep <= 50; ++sweep) {
        double sm = 0;
        for (int32_t p = 1; p < n; ++p)
            for (int32_t q = p + 1; q <= n; ++q)
                sm = Kept(sm + Fabs(static_cast<Extended>(A.GetElement(p, q))));
        if (sm == 0) {
            converged = true;
            break;
        }
        // The first three sweeps rotate only elements above a threshold (0.2 held in Extended).
        const double threshold = sweep < 4 ? Kept(0.2L * sm / static_cast<Extended>(n * n)) : 0.0;

        for (int32_t p = 1; p < n; ++p)
            for (int32_t q = p + 1; q <= n; ++q) {
                const double apq = A.GetElement(p, q);
                const double g = Kept(100.0L * std::fabs(apq));
                if (sweep > 4 && Negligible(D(p), g) && Negligible(D(q), g)) {
                    A.SetElement(p, q, 0);
                    continue;
                }
                if (!(std::fabs(apq) > threshold))
                    continue;

                double h = Kept(static_cast<Extended>(D(q)) - D(p));
                double t;
                if (Negligible(h, g)) {
                    t = Kept(static_cast<Extended>(apq) / h);
                } else {
                    const double theta = Kept(0.5L * h / apq);
                    const Extended th = theta;
                    t = Kept(1.0L / (Fabs(th) + Sqrt(th * th + 1.0L)));
                    if (theta < 0)
                        t = -t;
                }
                const double c = Kept(1.0L / Sqrt(static_cast<Extended>(t) * t + 1.0L));
                const double s = Kept(static_cast<Extended>(t) * c);
                const double tau = Kept(s / (1.0L + c));
                h = Kept(static_cast<Extended>(t) * apq);
                Z[p] = Kept(static_cast<Extended>(Z[p]) - h);
                Z[q] = Kept(static_cast<Extended>(Z[q]) + h);
                D(p) = Kept(static_cast<Extended>(D(p)) - h);
                D(q) = Kept(static_cast<Extended>(D(q)) + h);
                A.SetElement(p, q, 0);
                for (int32_t j = 1; j < p; ++j)
                    Rotate(A, j, p, j, q, s, tau);
                for (int32_t j = p + 1; j < q; ++j)
                    Rotate(A, p, j, j, q, s, tau);
                for (int32_t j = q + 1; j <= n; ++j)
                    Rotate(A, p, j, q, j, s, tau);
                for (int32_t j = 1; j <= n; ++j)
                    Rotate(vectors, j, p, j, q, s, tau);
                ++rotations;
            }
    }

    // Reaching the sweep limit is not an error: the diagonal is re-synchronised with the
    // accumulated changes and the approximation reached so far is returned.
    if (!converged)
        for (int32_t i = 1; i <= n; ++i) {
            B[i] = Kept(static_cast<Extended>(B[i]) + Z[i]);
            D(i) = B[i];
            Z[i] = 0;
        }

    // Selection sort into descending order; ">=" moves the last of equal values forward.
    for (int32_t i = 1; i < n; ++i) {
        int32_t k = i;
        double largest = D(i);
        for (int32_t j = i + 1; j <= n; ++j)
            if (D(j) >= largest) {
                k = j;
                largest = D(j);
            }
        if (k != i) {
            D(k) = D(i);
            D(i) = largest;
            for (int32_t j = 1; j <= n; ++j) {
                const double swap = vectors.GetElement(j, i);
                vectors.SetElement(j, i, vectors.GetElement(j, k));
                vectors.SetElement(j, k, swap);
            }
        }
    }
    MoveInto(vectors, Vectors);
    MoveInto(values, Values);
    return rotations;
}

} // namespace vt
