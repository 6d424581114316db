// Small dense linear algebra for the decline fit, through the system's BLAS
// and LAPACK (Debian's libblas.so.3 and liblapack.so.3, the libraries numpy
// and scipy load), each operation called the way the interpreter's array
// library calls it for the same arrays, so that the fit's sums, products
// and singular value decompositions round exactly as the interpreter's
// fitter rounds them, whichever BLAS the system provides:
//
//   dot(x, y)            numpy's dot of two vectors (ddot);
//   rows_times(A, x)     numpy's dot of a C-ordered matrix and a vector
//                        (dgemv on the transposed column-major view);
//   thin_svd(A)          scipy.linalg.svd(A, full_matrices=False): dgesdd
//                        with jobz 'S' on the column-major copy of A, the
//                        workspace size the routine itself asks for;
//   c_library_pow(x, y)  the C library's pow, never replaced by the
//                        compiler (x*x for y = 2, say), as numpy's scalars
//                        and the interpreter's floats take their powers.
#pragma once

#include <cstddef>
#include <vector>

namespace quon::dense {

// x . y over n elements.
double dot(std::size_t n, const double* x, const double* y);

// y = A x for the rows x cols matrix A stored by rows; y holds rows values.
void rows_times(std::size_t rows, std::size_t cols, const double* a, const double* x, double* y);

// A = U diag(s) V^T for an m x n matrix A (m >= n, stored by rows):
// u is m x n and vt n x n, both stored by columns as LAPACK returns them,
// so that u read by rows is U^T and vt read by rows is V.
struct ThinSvd {
    std::vector<double> u;
    std::vector<double> s;  // descending
    std::vector<double> vt;
};

// False when LAPACK reports a failure (no convergence, or a bad argument);
// `out` is then unspecified.
bool thin_svd(std::size_t m, std::size_t n, const double* a, ThinSvd& out);

double c_library_pow(double x, double y);

}  // namespace quon::dense
