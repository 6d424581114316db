#include "jacobi_svd.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace quon::dense {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
// Sweeps over all column pairs; Jacobi converges quadratically, a handful
// suffice for three columns, the limit only guards against a cycle.
constexpr int kMaxSweeps = 60;

// Rotates columns p and q of `g` (m rows) and of `v` (n rows) so that they
// become orthogonal; false when they already are to working precision.
bool rotate(std::vector<double>& g, std::size_t m, std::vector<double>& v, std::size_t n, std::size_t p,
            std::size_t q) {
    double* gp = g.data() + p * m;
    double* gq = g.data() + q * m;
    double alpha = 0.0, beta = 0.0, gamma = 0.0;  // |g_p|^2, |g_q|^2, g_p . g_q
    for (std::size_t i = 0; i < m; ++i) {
        alpha += gp[i] * gp[i];
        beta += gq[i] * gq[i];
        gamma += gp[i] * gq[i];
    }
    if (alpha == 0.0 || beta == 0.0 || std::fabs(gamma) <= kEps * (std::sqrt(alpha) * std::sqrt(beta)))
        return false;
    // The rotation angle's tangent, the smaller root of t^2 + 2 zeta t - 1.
    const double zeta = (beta - alpha) / (2.0 * gamma);
    const double t = std::fabs(zeta) > 1e150 ? 0.5 / zeta
                                            : std::copysign(1.0, zeta) / (std::fabs(zeta) + std::sqrt(1.0 + zeta * zeta));
    const double c = 1.0 / std::sqrt(1.0 + t * t);
    const double s = c * t;
    for (std::size_t i = 0; i < m; ++i) {
        const double x = gp[i], y = gq[i];
        gp[i] = c * x - s * y;
        gq[i] = s * x + c * y;
    }
    double* vp = v.data() + p * n;
    double* vq = v.data() + q * n;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = vp[i], y = vq[i];
        vp[i] = c * x - s * y;
        vq[i] = s * x + c * y;
    }
    return true;
}

}  // namespace

double dot(std::size_t n, const double* x, const double* y) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += x[i] * y[i];
    return sum;
}

void rows_times(std::size_t rows, std::size_t cols, const double* a, const double* x, double* y) {
    for (std::size_t i = 0; i < rows; ++i) y[i] = dot(cols, a + i * cols, x);
}

bool thin_svd(std::size_t m, std::size_t n, const double* a, ThinSvd& out) {
    if (n == 0 || m < n) return false;
    double largest = 0.0;
    for (std::size_t i = 0; i < m * n; ++i) {
        if (!std::isfinite(a[i])) return false;
        largest = std::max(largest, std::fabs(a[i]));
    }
    // Scaled by a power of two (exactly) so that no sum of squares can
    // overflow or underflow; the singular values are scaled back.
    const int exponent = largest > 0.0 ? std::clamp(std::ilogb(largest), -1000, 1000) : 0;
    const double down = std::ldexp(1.0, -exponent), up = std::ldexp(1.0, exponent);
    std::vector<double> g(m * n);  // the columns, one after the other
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) g[j * m + i] = a[i * n + j] * down;
    std::vector<double> v(n * n, 0.0);  // V's columns, one after the other
    for (std::size_t j = 0; j < n; ++j) v[j * n + j] = 1.0;

    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
        bool rotated = false;
        for (std::size_t p = 0; p + 1 < n; ++p)
            for (std::size_t q = p + 1; q < n; ++q) rotated = rotate(g, m, v, n, p, q) || rotated;
        if (!rotated) break;
    }

    std::vector<double> norms(n);
    for (std::size_t j = 0; j < n; ++j) norms[j] = std::sqrt(dot(m, g.data() + j * m, g.data() + j * m));
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return norms[x] > norms[y]; });
    out.u.assign(m * n, 0.0);
    out.s.assign(n, 0.0);
    out.v.assign(n * n, 0.0);
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t j = order[k];
        const double norm = norms[j];
        out.s[k] = norm * up;
        if (norm > 0.0)
            for (std::size_t i = 0; i < m; ++i) out.u[k * m + i] = g[j * m + i] / norm;
        for (std::size_t r = 0; r < n; ++r) out.v[r * n + k] = v[j * n + r];
    }
    return true;
}

}  // namespace quon::dense
