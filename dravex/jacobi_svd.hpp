// The small dense linear algebra of the decline fit, owned and in plain
// C++: products of short vectors and of a matrix stored by rows with a
// vector, and the thin singular value decomposition of a tall matrix by
// one-sided Jacobi rotations.
//
// One-sided Jacobi (Hestenes) orthogonalises the columns of A by plane
// rotations until every pair is orthogonal to the last bit; the column
// norms are then the singular values, each to a few units in the last
// place relative to itself (not only to the largest), which is what the
// trust-region steps need when the Jacobian's columns differ by many
// decades (an initial rate of thousands beside a decline of hundredths).
#pragma once

#include <cstddef>
#include <vector>

namespace quon::dense {

// x . y over n elements, summed in order.
double dot(std::size_t n, const double* x, const double* y);

// y = A x for the rows x cols matrix A stored by rows; y holds rows values.
void rows_times(std::size_t rows, std::size_t cols, const double* a, const double* x, double* y);

// A = U diag(s) V^T for an m x n matrix A (m >= n >= 1, stored by rows).
// u holds U's n columns one after the other (u[k*m + i] = U(i, k)), so
// that u read by rows is U^T; v holds V by rows (v[r*n + c] = V(r, c)).
// s is descending; a column of U whose singular value is 0 is 0.
struct ThinSvd {
    std::vector<double> u;
    std::vector<double> s;
    std::vector<double> v;
};

// False when A has a non-finite entry, m < n or n == 0 (`out` is then
// unspecified).
bool thin_svd(std::size_t m, std::size_t n, const double* a, ThinSvd& out);

}  // namespace quon::dense
