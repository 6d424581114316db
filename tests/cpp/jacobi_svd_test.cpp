#include "jacobi_svd.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

using quon::dense::ThinSvd;

double u_at(const ThinSvd& svd, std::size_t m, std::size_t i, std::size_t k) { return svd.u[k * m + i]; }
double v_at(const ThinSvd& svd, std::size_t n, std::size_t r, std::size_t c) { return svd.v[r * n + c]; }

// |U diag(s) V^T - A|, |U^T U - I| over the non-zero singular values and
// |V^T V - I|, each element's largest.
struct Residuals {
    double reassembly = 0.0, u_orthogonality = 0.0, v_orthogonality = 0.0;
};

Residuals residuals(const std::vector<double>& a, std::size_t m, std::size_t n, const ThinSvd& svd) {
    Residuals r;
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            long double sum = 0.0L;
            for (std::size_t k = 0; k < n; ++k)
                sum += static_cast<long double>(u_at(svd, m, i, k)) * svd.s[k] * v_at(svd, n, j, k);
            r.reassembly = std::max(r.reassembly, static_cast<double>(std::fabs(sum - a[i * n + j])));
        }
    for (std::size_t p = 0; p < n; ++p)
        for (std::size_t q = 0; q < n; ++q) {
            long double uu = 0.0L, vv = 0.0L;
            for (std::size_t i = 0; i < m; ++i)
                uu += static_cast<long double>(u_at(svd, m, i, p)) * u_at(svd, m, i, q);
            for (std::size_t i = 0; i < n; ++i)
                vv += static_cast<long double>(v_at(svd, n, i, p)) * v_at(svd, n, i, q);
            const double identity = p == q ? 1.0 : 0.0;
            if (svd.s[p] > 0.0 && svd.s[q] > 0.0)
                r.u_orthogonality = std::max(r.u_orthogonality, static_cast<double>(std::fabs(uu - identity)));
            r.v_orthogonality = std::max(r.v_orthogonality, static_cast<double>(std::fabs(vv - identity)));
        }
    return r;
}

TEST(JacobiSvd, DecomposesRandomTallMatricesToTheLastBits) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (std::size_t m : {3u, 4u, 32u}) {
        for (int trial = 0; trial < 50; ++trial) {
            std::vector<double> a(m * 3);
            // Columns of scales many decades apart, as the fit's Jacobians have.
            const double scales[3] = {std::pow(10.0, 6.0 * unit(rng)), 1.0, std::pow(10.0, 6.0 * unit(rng))};
            for (std::size_t i = 0; i < m; ++i)
                for (std::size_t j = 0; j < 3; ++j) a[i * 3 + j] = unit(rng) * scales[j];
            ThinSvd svd;
            ASSERT_TRUE(quon::dense::thin_svd(m, 3, a.data(), svd));
            ASSERT_EQ(svd.u.size(), m * 3);
            ASSERT_EQ(svd.s.size(), 3u);
            ASSERT_EQ(svd.v.size(), 9u);
            EXPECT_GE(svd.s[0], svd.s[1]);
            EXPECT_GE(svd.s[1], svd.s[2]);
            EXPECT_GT(svd.s[2], 0.0);
            const Residuals r = residuals(a, m, 3, svd);
            EXPECT_LE(r.reassembly, 8 * kEps * svd.s[0]) << m << " " << trial;
            EXPECT_LE(r.u_orthogonality, 8 * kEps) << m << " " << trial;
            EXPECT_LE(r.v_orthogonality, 8 * kEps) << m << " " << trial;
        }
    }
}

TEST(JacobiSvd, SmallSingularValuesKeepTheirRelativeAccuracy) {
    // Orthonormal columns (halves of a Hadamard matrix, exact in binary)
    // scaled by 1e5, 1 and 1e-7: the singular values are those scales,
    // exactly as doubles hold them, and each must come out to a few units
    // in its own last place, the smallest included.
    const double h[4][3] = {{0.5, 0.5, 0.5}, {0.5, -0.5, 0.5}, {0.5, 0.5, -0.5}, {0.5, -0.5, -0.5}};
    const double d[3] = {1e-7, 1e5, 1.0};  // out of order: the result is sorted
    std::vector<double> a(12);
    for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 3; ++j) a[i * 3 + j] = h[i][j] * d[j];
    ThinSvd svd;
    ASSERT_TRUE(quon::dense::thin_svd(4, 3, a.data(), svd));
    EXPECT_NEAR(svd.s[0], 1e5, 4 * kEps * 1e5);
    EXPECT_NEAR(svd.s[1], 1.0, 4 * kEps);
    EXPECT_NEAR(svd.s[2], 1e-7, 4 * kEps * 1e-7);
    // V is the permutation that sorts them, up to signs.
    EXPECT_EQ(std::fabs(v_at(svd, 3, 1, 0)), 1.0);
    EXPECT_EQ(std::fabs(v_at(svd, 3, 2, 1)), 1.0);
    EXPECT_EQ(std::fabs(v_at(svd, 3, 0, 2)), 1.0);
}

TEST(JacobiSvd, RankDeficientAndExtremeMatrices) {
    // Two equal columns and a zero one: one non-zero singular value pair.
    const std::vector<double> twice{1.0, 1.0, 0.0, 2.0, 2.0, 0.0, -3.0, -3.0, 0.0, 0.5, 0.5, 0.0};
    ThinSvd svd;
    ASSERT_TRUE(quon::dense::thin_svd(4, 3, twice.data(), svd));
    EXPECT_NEAR(svd.s[0], std::sqrt(2.0 * (1.0 + 4.0 + 9.0 + 0.25)), 4 * kEps * svd.s[0]);
    EXPECT_LE(svd.s[1], 4 * kEps * svd.s[0]);
    EXPECT_EQ(svd.s[2], 0.0);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(u_at(svd, 4, i, 2), 0.0);
    EXPECT_LE(residuals(twice, 4, 3, svd).reassembly, 8 * kEps * svd.s[0]);

    // Entries near the largest and the smallest doubles: no sum overflows.
    for (double scale : {1e300, 1e-300}) {
        std::vector<double> a{3.0, 1.0, 0.0, 4.0, 2.0, 1.0, 0.0, 1.0, 5.0, 1.0, 0.0, 2.0};
        for (double& x : a) x *= scale;
        ASSERT_TRUE(quon::dense::thin_svd(4, 3, a.data(), svd)) << scale;
        for (double s : svd.s) EXPECT_TRUE(std::isfinite(s) && s > 0.0) << scale;
        EXPECT_LE(residuals(a, 4, 3, svd).reassembly, 8 * kEps * svd.s[0]) << scale;
    }
    // The zero matrix.
    const std::vector<double> zero(12, 0.0);
    ASSERT_TRUE(quon::dense::thin_svd(4, 3, zero.data(), svd));
    EXPECT_EQ(svd.s, std::vector<double>(3, 0.0));
}

TEST(JacobiSvd, RefusesWhatItCannotDecompose) {
    ThinSvd svd;
    std::vector<double> a{1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0};
    EXPECT_FALSE(quon::dense::thin_svd(2, 3, a.data(), svd));  // wider than tall
    EXPECT_FALSE(quon::dense::thin_svd(3, 0, a.data(), svd));
    a[4] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(quon::dense::thin_svd(3, 3, a.data(), svd));
    a[4] = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(quon::dense::thin_svd(3, 3, a.data(), svd));
}

TEST(JacobiSvd, ProductsByRows) {
    const std::vector<double> x{1.0, -2.0, 0.5};
    const std::vector<double> y{4.0, 1.0, 8.0};
    EXPECT_EQ(quon::dense::dot(3, x.data(), y.data()), 6.0);
    EXPECT_EQ(quon::dense::dot(0, x.data(), y.data()), 0.0);
    const std::vector<double> a{1.0, 2.0, 3.0, -1.0, 0.0, 4.0};  // 2 x 3 by rows
    std::vector<double> out(2, 99.0);
    quon::dense::rows_times(2, 3, a.data(), x.data(), out.data());
    EXPECT_EQ(out[0], 1.0 - 4.0 + 1.5);
    EXPECT_EQ(out[1], -1.0 + 2.0);
}

}  // namespace
