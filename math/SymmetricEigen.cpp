// The symmetric eigen-decomposition: Householder tridiagonalisation and implicit QL.
#include "math/SymmetricEigen.h"

#include "math/MatrixMath.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <numeric>
#include <vector>

namespace vt {

namespace {

// Reduces the symmetric z (n x n, row after row, both triangles) to tridiagonal form by
// Householder reflections: d receives the diagonal, e the elements below it (e[i] next to
// d[i - 1]; e[0] = 0), and z the orthogonal Q with z_in = Q T Q'.
void Tridiagonalise(TVector<double>& z, int n, TVector<double>& d, TVector<double>& e) {
    const auto at = [&](int r, int c) -> double& {
        return z[static_cast<size_t>(r) * static_cast<size_t>(n) + static_cast<size_t>(c)];
    };
    for (int i = n - 1; i > 0; --i) {
        const int l = i - 1;
        double h = 0;
        if (l > 0) {
            double scale = 0;
            for (int k = 0; k <= l; ++k)
                scale += std::fabs(at(i, k));
            if (scale == 0) {
                e[i] = at(i, l);
            } else {
                // The reflection that zeroes row i left of its subdiagonal element.
                for (int k = 0; k <= l; ++k) {
                    at(i, k) /= scale;
                    h += at(i, k) * at(i, k);
                }
                double f = at(i, l);
                double g = f >= 0 ? -std::sqrt(h) : std::sqrt(h);
                e[i] = scale * g;
                h -= f * g;
                at(i, l) = f - g;
                // p = A u / h (into e), and K = u'p / 2h.
                f = 0;
                for (int j = 0; j <= l; ++j) {
                    at(j, i) = at(i, j) / h;
                    g = 0;
                    for (int k = 0; k <= j; ++k)
                        g += at(j, k) * at(i, k);
                    for (int k = j + 1; k <= l; ++k)
                        g += at(k, j) * at(i, k);
                    e[j] = g / h;
                    f += e[j] * at(i, j);
                }
                const double hh = f / (h + h);
                // A := A - q u' - u q' with q = p - K u (the lower triangle).
                for (int j = 0; j <= l; ++j) {
                    f = at(i, j);
                    e[j] = g = e[j] - hh * f;
                    for (int k = 0; k <= j; ++k)
                        at(j, k) -= f * e[k] + g * at(i, k);
                }
            }
        } else {
            e[i] = at(i, l);
        }
        d[i] = h;
    }
    d[0] = 0;
    e[0] = 0;
    // Q from the reflections, the last one first.
    for (int i = 0; i < n; ++i) {
        const int l = i - 1;
        if (d[i] != 0)
            for (int j = 0; j <= l; ++j) {
                double g = 0;
                for (int k = 0; k <= l; ++k)
                    g += at(i, k) * at(k, j);
                for (int k = 0; k <= l; ++k)
                    at(k, j) -= g * at(k, i);
            }
        d[i] = at(i, i);
        at(i, i) = 1;
        for (int j = 0; j <= l; ++j)
            at(j, i) = at(i, j) = 0;
    }
}

// The eigenvalues of the tridiagonal matrix (d, e as Tridiagonalise leaves them) into d by the
// implicit QL method with shifts, the rotations applied to the rows of v (row k the basis
// vector of d[k]). False when an eigenvalue takes more than 60 iterations.
bool DiagonaliseTridiagonal(TVector<double>& d, TVector<double>& e, TVector<double>& v, int n) {
    for (int i = 1; i < n; ++i)
        e[i - 1] = e[i];
    e[n - 1] = 0;
    const auto s_n = static_cast<size_t>(n);
    for (int l = 0; l < n; ++l) {
        int iterations = 0;
        int m;
        do {
            // The first negligible subdiagonal element from l on splits the matrix.
            for (m = l; m < n - 1; ++m) {
                const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
                if (std::fabs(e[m]) <= DBL_EPSILON * dd)
                    break;
            }
            if (m == l)
                break;
            if (iterations++ == 60)
                return false;
            // The shift: the eigenvalue of the leading 2 x 2 block nearer d[l].
            double g = (d[l + 1] - d[l]) / (2 * e[l]);
            double r = std::hypot(g, 1.0);
            g = d[m] - d[l] + e[l] / (g + std::copysign(r, g));
            double s = 1, c = 1, p = 0;
            int i = m - 1;
            bool underflow = false;
            for (; i >= l; --i) {
                const double f = s * e[i], b = c * e[i];
                r = std::hypot(f, g);
                e[i + 1] = r;
                if (r == 0) {
                    d[i + 1] -= p;
                    e[m] = 0;
                    underflow = true;
                    break;
                }
                s = f / r;
                c = g / r;
                g = d[i + 1] - p;
                r = (d[i] - g) * s + 2 * c * b;
                p = s * r;
                d[i + 1] = g + p;
                g = c * r - b;
                double* lower = v.data() + static_cast<size_t>(i) * s_n;
                double* upper = lower + s_n;
                for (size_t k = 0; k < s_n; ++k) {
                    const double h = upper[k];
                    upper[k] = s * lower[k] + c * h;
                    lower[k] = c * lower[k] - s * h;
                }
            }
            if (underflow)
                continue;
            d[l] -= p;
            e[l] = g;
            e[m] = 0;
        } while (m != l);
    }
    return true;
}

} // namespace

bool SymmetricEigen(const double* a, int n, double* vectors, double* values) {
    if (n <= 0)
        return true;
    const auto s = static_cast<size_t>(n);
    TVector<double> z(s * s), d(s), e(s);
    for (size_t r = 0; r < s; ++r)
        for (size_t c = r; c < s; ++c) {
            const double x = a[r * s + c];
            if (!std::isfinite(x))
                return false;
            z[r * s + c] = z[c * s + r] = x;
        }
    Tridiagonalise(z, n, d, e);
    // The rows of v are the columns of Q, which the rotations then turn.
    TVector<double> v(s * s);
    for (size_t r = 0; r < s; ++r)
        for (size_t c = 0; c < s; ++c)
            v[c * s + r] = z[r * s + c];
    if (!DiagonaliseTridiagonal(d, e, v, n))
        return false;
    std::vector<int> order(s);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int x, int y) {
        return d[static_cast<size_t>(x)] > d[static_cast<size_t>(y)];
    });
    for (size_t k = 0; k < s; ++k) {
        const size_t from = static_cast<size_t>(order[k]);
        const double* u = v.data() + from * s;
        size_t largest = 0;
        for (size_t i = 1; i < s; ++i)
            if (std::fabs(u[i]) > std::fabs(u[largest]))
                largest = i;
        const double sign = u[largest] < 0 ? -1.0 : 1.0;
        for (size_t i = 0; i < s; ++i)
            vectors[i * s + k] = sign * u[i];
        values[k] = d[from];
        if (!std::isfinite(values[k]))
            return false;
    }
    return true;
}

} // namespace vt
