#include "history_match.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Arps, DocumentedRateAndCumulative) {
    EXPECT_NEAR(quon::arps_rate(1000, 0.01, 1.3, 12), 894.4805, 5e-5);
    EXPECT_NEAR(quon::arps_cumulative(1000, 0.01, 1.3, 12, quon::kQUnitFactor), 345.1562, 5e-5);
    EXPECT_EQ(quon::arps_rate(1000, 0.01, 1.3, 0), 1000.0);
    EXPECT_EQ(quon::arps_cumulative(1000, 0.01, 1.3, 0, quon::kQUnitFactor), 0.0);
    EXPECT_EQ(quon::kQUnitFactor, 0.001 * 30.4375);
}

TEST(Arps, QiFromCumulativeInvertsTheCumulative) {
    struct Case { double qi, di, b, t; };
    for (const Case c : {Case{1000, 0.01, 1.3, 12}, Case{5.5, 0.4, 1.05, 60}, Case{80000, 3.0, 2.0, 6},
                         Case{250, 0.0005, 1.6, 36}}) {
        const double q = quon::arps_cumulative(c.qi, c.di, c.b, c.t, quon::kQUnitFactor);
        EXPECT_NEAR(quon::qi_from_cumulative(c.di, c.b, c.t, q, quon::kQUnitFactor), c.qi, 1e-12 * c.qi);
    }
    EXPECT_NEAR(quon::qi_from_cumulative(0.01, 1.3, 12, 345.1562251249133, quon::kQUnitFactor), 1000, 1e-9);
}

TEST(Arps, HarmonicCumulativeIsNotGuarded) {
    // b = 1 divides by zero: IEEE arithmetic gives NaN, never a trap.
    EXPECT_TRUE(std::isnan(quon::arps_cumulative(1000, 0.01, 1.0, 0, quon::kQUnitFactor)));
}

TEST(CumulativeWalk, DocumentedCases) {
    struct Case { std::vector<double> t, y, expected; };
    const std::vector<Case> cases = {
        {{}, {}, {0.0}},
        {{0}, {7}, {0.0}},
        {{0, 1, 2}, {500, 1000, 1000}, {0.0, 30.4375, 60.875}},
        {{0, 1, 3}, {0, 100, 100}, {0.0, 3.04375, 9.13125}},
        {{0, 1, 2, 3}, {0, 1000, kNaN, 1000}, {0.0, 30.4375}},
    };
    for (const Case& c : cases) {
        const std::vector<double> q = quon::cumulative_walk(c.t.data(), c.y.data(), c.t.size(), quon::kQUnitFactor);
        ASSERT_EQ(q.size(), c.expected.size());
        for (std::size_t i = 0; i < q.size(); ++i) EXPECT_NEAR(q[i], c.expected[i], 1e-12) << i;
    }
}

TEST(Percentile, MatchesNumpyLinearMethod) {
    // Values from numpy.percentile.
    EXPECT_DOUBLE_EQ(quon::percentile_linear({0.1, -0.1, 0.1}, 90), 0.1);
    EXPECT_NEAR(quon::percentile_linear({0.1, -0.1, 0.1}, 10), -0.06, 1e-15);
    EXPECT_EQ(quon::percentile_linear({4.0}, 90), 4.0);
    EXPECT_EQ(quon::percentile_linear({1, 2, 3, 4}, 100), 4.0);
    EXPECT_EQ(quon::percentile_linear({1, 2, 3, 4}, 0), 1.0);
    EXPECT_DOUBLE_EQ(quon::percentile_linear({4, 1, 3, 2}, 50), 2.5);
    EXPECT_TRUE(std::isnan(quon::percentile_linear({1, kNaN, 3}, 50)));
}

TEST(Bands, DocumentedMonth) {
    const double model[] = {100, 200, 300};
    const double real[] = {110, 180, 330};
    const quon::MonthBands m = quon::month_bands(model, real, 3, 1);
    ASSERT_EQ(m.bins.size(), 1u);
    EXPECT_EQ(m.bins[0].upper, 300.0);
    EXPECT_FALSE(m.bins[0].empty);
    EXPECT_NEAR(m.bins[0].p10, 0.08, 1e-15);
    EXPECT_EQ(m.bins[0].p90, -m.bins[0].p10);
}

TEST(Bands, ExcludedRowsStillSetTheRange) {
    const double model[] = {100, 200, 300, 0, 400};
    const double real[] = {110, 180, 330, 5, kNaN};
    const quon::MonthBands m = quon::month_bands(model, real, 5, 2);
    EXPECT_EQ(m.min_model, 0.0);
    EXPECT_EQ(m.max_model, 400.0);
    ASSERT_EQ(m.bins.size(), 2u);
    EXPECT_EQ(m.bins[0].upper, 200.0);
    EXPECT_EQ(m.bins[1].upper, 400.0);
    // Both bins hold the misses 0.1 and -0.1 (200 lies on the shared bound;
    // 0 and the row without a real value do not count).
    EXPECT_NEAR(m.bins[0].p10, 0.08, 1e-15);
    EXPECT_NEAR(m.bins[1].p10, 0.08, 1e-15);
}

TEST(Bands, EmptyAndInvalidBins) {
    const double nan_first[] = {kNaN, 1.0, 2.0};
    const double real[] = {1.0, 1.0, 1.0};
    const quon::MinMax r = quon::scan_min_max(nan_first, 3);
    EXPECT_TRUE(std::isnan(r.min) && std::isnan(r.max));
    EXPECT_TRUE(quon::month_bands(nan_first, real, 3, 1).bins[0].empty);

    const double same[] = {5.0, 5.0};
    const double negative[] = {-1.0, kNaN};
    const quon::BinBand b = quon::bin_band(same, negative, 2, 5.0, 5.0);
    EXPECT_FALSE(b.empty);
    EXPECT_TRUE(b.no_valid_rows);
}

}  // namespace
