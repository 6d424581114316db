#include "dense.hpp"

#include <cmath>
#include <limits>

// The Fortran routines, with gfortran's hidden lengths of the character
// arguments at the end.
extern "C" {
double ddot_(const int* n, const double* x, const int* incx, const double* y, const int* incy);
void dgemv_(const char* trans, const int* m, const int* n, const double* alpha, const double* a, const int* lda,
            const double* x, const int* incx, const double* beta, double* y, const int* incy, std::size_t trans_len);
void dgesdd_(const char* jobz, const int* m, const int* n, double* a, const int* lda, double* s, double* u,
             const int* ldu, double* vt, const int* ldvt, double* work, const int* lwork, int* iwork, int* info,
             std::size_t jobz_len);
}

namespace quon::dense {

namespace {

int as_int(std::size_t n) { return static_cast<int>(n); }

// pow through a pointer the compiler cannot see through.
double (*volatile g_pow)(double, double) = &::pow;

}  // namespace

double dot(std::size_t n, const double* x, const double* y) {
    const int count = as_int(n), one = 1;
    // numpy adds the routine's result to 0.0.
    return 0.0 + ddot_(&count, x, &one, y, &one);
}

void rows_times(std::size_t rows, std::size_t cols, const double* a, const double* x, double* y) {
    // Row-major rows x cols is column-major cols x rows: y = (that)^T x.
    const int m = as_int(cols), n = as_int(rows), lda = cols > 1 ? as_int(cols) : 1, one = 1;
    const double alpha = 1.0, beta = 0.0;
    for (std::size_t i = 0; i < rows; ++i) y[i] = 0.0;
    dgemv_("T", &m, &n, &alpha, a, &lda, x, &one, &beta, y, &one, 1);
}

bool thin_svd(std::size_t m, std::size_t n, const double* a, ThinSvd& out) {
    const int rows = as_int(m), cols = as_int(n), k = as_int(n < m ? n : m);
    const int lda = rows > 1 ? rows : 1, ldu = lda, ldvt = k > 1 ? k : 1;
    std::vector<double> column_major(m * n);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) column_major[j * m + i] = a[i * n + j];
    out.u.assign(m * static_cast<std::size_t>(k), 0.0);
    out.s.assign(static_cast<std::size_t>(k), 0.0);
    out.vt.assign(static_cast<std::size_t>(k) * n, 0.0);
    std::vector<int> iwork(8 * static_cast<std::size_t>(k));
    int info = 0;
    // The workspace the routine asks for, as scipy asks for it first.
    double query = 0.0;
    int lwork = -1;
    dgesdd_("S", &rows, &cols, column_major.data(), &lda, out.s.data(), out.u.data(), &ldu, out.vt.data(), &ldvt,
            &query, &lwork, iwork.data(), &info, 1);
    if (info != 0 || !(query >= 1.0) || query > static_cast<double>(std::numeric_limits<int>::max())) return false;
    lwork = static_cast<int>(query);
    std::vector<double> work(static_cast<std::size_t>(lwork));
    dgesdd_("S", &rows, &cols, column_major.data(), &lda, out.s.data(), out.u.data(), &ldu, out.vt.data(), &ldvt,
            work.data(), &lwork, iwork.data(), &info, 1);
    return info == 0;
}

double c_library_pow(double x, double y) { return g_pow(x, y); }

}  // namespace quon::dense
