// The eigen-decomposition of a real symmetric matrix of any size: Householder reduction to
// tridiagonal form, then the implicit QL method with Wilkinson-style shifts, in doubles. Its
// cost grows as n^3 with a small constant (milliseconds for a few hundred rows), where the
// cyclic Jacobi method of TMatrix::EigenDecompose takes a second.
#pragma once

namespace vt {

// a: n x n values, row after row; only the diagonal and the elements above it are read.
// Vectors receives n x n values, row after row, with the unit eigenvector of the k-th largest
// eigenvalue in column k, its element of largest magnitude positive (the first of equal
// ones); Values the eigenvalues in descending order. Returns false (the outputs then
// unspecified) when an element is not finite or the iteration does not settle.
bool SymmetricEigen(const double* a, int n, double* vectors, double* values);

} // namespace vt
