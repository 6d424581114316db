#include "dense.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Dense, ProductsOfVectorsAndMatricesByRows) {
    const std::vector<double> x{1.0, -2.0, 0.5};
    const std::vector<double> y{4.0, 1.0, 8.0};
    EXPECT_EQ(quon::dense::dot(3, x.data(), y.data()), 6.0);
    EXPECT_EQ(quon::dense::dot(0, x.data(), y.data()), 0.0);
    // 2 x 3 by rows.
    const std::vector<double> a{1.0, 2.0, 3.0, -1.0, 0.0, 4.0};
    std::vector<double> out(2, 99.0);
    quon::dense::rows_times(2, 3, a.data(), x.data(), out.data());
    EXPECT_EQ(out[0], 1.0 - 4.0 + 1.5);
    EXPECT_EQ(out[1], -1.0 + 2.0);
}

TEST(Dense, ThinSvdReassemblesTheMatrix) {
    // 5 x 3 by rows, of full rank.
    const std::vector<double> a{2.0, 0.0, 1.0, 1.0, 3.0, 0.0, 0.0, 1.0, 4.0, 1.0, 1.0, 1.0, -1.0, 2.0, 0.5};
    quon::dense::ThinSvd svd;
    ASSERT_TRUE(quon::dense::thin_svd(5, 3, a.data(), svd));
    ASSERT_EQ(svd.u.size(), 15u);
    ASSERT_EQ(svd.s.size(), 3u);
    ASSERT_EQ(svd.vt.size(), 9u);
    EXPECT_GE(svd.s[0], svd.s[1]);
    EXPECT_GE(svd.s[1], svd.s[2]);
    EXPECT_GT(svd.s[2], 0.0);
    for (std::size_t i = 0; i < 5; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            double sum = 0.0;  // U(i,k) s_k VT(k,j), both stored by columns
            for (std::size_t k = 0; k < 3; ++k) sum += svd.u[k * 5 + i] * svd.s[k] * svd.vt[j * 3 + k];
            EXPECT_NEAR(sum, a[i * 3 + j], 1e-12) << i << "," << j;
        }
    }
    // The columns of U are orthonormal.
    for (std::size_t p = 0; p < 3; ++p)
        for (std::size_t q = 0; q < 3; ++q)
            EXPECT_NEAR(quon::dense::dot(5, &svd.u[p * 5], &svd.u[q * 5]), p == q ? 1.0 : 0.0, 1e-12);
}

}  // namespace
