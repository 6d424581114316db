#include "history_match.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kF = quon::kQUnitFactor;

// The formulas finished from powers taken with the C library's pow (the
// module takes numpy's).
double rate(double qi, double di, double b, double t) {
    return quon::arps_rate_from_power(qi, std::pow(quon::arps_base(di, b, t), quon::arps_rate_exponent(b)));
}

double cumulative(double qi, double di, double b, double t) {
    const double power = std::pow(quon::arps_base(di, b, t), quon::arps_cumulative_exponent(b));
    return quon::arps_cumulative_from_power(quon::arps_cumulative_scale(qi, di, b, kF), power);
}

double qi_from_cumulative(double di, double b, double t, double q) {
    const double power = std::pow(quon::arps_base(di, b, t), quon::arps_cumulative_exponent(b));
    return quon::qi_from_power(quon::qi_numerator(di, b, q, kF), power);
}

TEST(Arps, KnownRateAndCumulative) {
    EXPECT_NEAR(rate(1000, 0.01, 1.3, 12), 894.4805, 5e-5);
    EXPECT_NEAR(cumulative(1000, 0.01, 1.3, 12), 345.1562, 5e-5);
    EXPECT_EQ(rate(1000, 0.01, 1.3, 0), 1000.0);
    EXPECT_EQ(cumulative(1000, 0.01, 1.3, 0), 0.0);
    EXPECT_EQ(quon::kQUnitFactor, 0.001 * 30.4375);
}

TEST(Arps, TermsInTheirOrder) {
    // 1 + (b*DiTan)*t, -1/b and 1 - 1/b, each rounded as written.
    EXPECT_EQ(quon::arps_base(0.1, 3.0, 7.0), 1.0 + (3.0 * 0.1) * 7.0);
    EXPECT_EQ(quon::arps_rate_exponent(1.3), -1.0 / 1.3);
    EXPECT_EQ(quon::arps_cumulative_exponent(1.3), 1.0 - 1.0 / 1.3);
    EXPECT_EQ(quon::arps_cumulative_scale(1000, 0.01, 1.3, kF), kF * (1000 / (0.01 * (1.0 - 1.3))));
    EXPECT_EQ(quon::qi_numerator(0.01, 1.3, 345.0, kF), ((345.0 / kF) * 0.01) * (1.0 - 1.3));
    EXPECT_EQ(quon::qi_from_power(6.0, 0.25), 8.0);
}

TEST(Arps, ListsEqualTheirElements) {
    const std::vector<double> t = {0, 6, 8.5, 60, 600};
    const double di = 0.2, b = 1.7;
    const std::vector<double> bases = quon::arps_bases(di, b, t);
    ASSERT_EQ(bases.size(), t.size());
    std::vector<double> powers;
    for (std::size_t i = 0; i < t.size(); ++i) {
        EXPECT_EQ(bases[i], quon::arps_base(di, b, t[i]));
        powers.push_back(std::pow(bases[i], quon::arps_cumulative_exponent(b)));
    }
    const double scale = quon::arps_cumulative_scale(700, di, b, kF);
    const std::vector<double> rates = quon::arps_rates_from_powers(700, powers);
    const std::vector<double> cums = quon::arps_cumulatives_from_powers(scale, powers);
    ASSERT_EQ(rates.size(), t.size());
    ASSERT_EQ(cums.size(), t.size());
    for (std::size_t i = 0; i < t.size(); ++i) {
        EXPECT_EQ(rates[i], quon::arps_rate_from_power(700, powers[i]));
        EXPECT_EQ(cums[i], quon::arps_cumulative_from_power(scale, powers[i]));
    }
    EXPECT_TRUE(quon::arps_bases(di, b, {}).empty());
}

TEST(Arps, QiFromCumulativeInvertsTheCumulative) {
    struct Case { double qi, di, b, t; };
    for (const Case c : {Case{1000, 0.01, 1.3, 12}, Case{5.5, 0.4, 1.05, 60}, Case{80000, 3.0, 2.0, 6},
                         Case{250, 0.0005, 1.6, 36}}) {
        const double q = cumulative(c.qi, c.di, c.b, c.t);
        EXPECT_NEAR(qi_from_cumulative(c.di, c.b, c.t, q), c.qi, 1e-12 * c.qi);
    }
    EXPECT_NEAR(qi_from_cumulative(0.01, 1.3, 12, 345.1562251249133), 1000, 1e-9);
}

TEST(Arps, DivisionsByZeroAreNotGuarded) {
    // IEEE arithmetic gives infinities and NaN, never a trap: b = 0 in the
    // exponents, b = 1 in the cumulative.
    EXPECT_TRUE(std::isinf(quon::arps_rate_exponent(0.0)));
    EXPECT_TRUE(std::isnan(cumulative(1000, 0.01, 1.0, 0)));
    EXPECT_TRUE(std::isnan(quon::qi_from_power(0.0, 1.0)));
}

TEST(CumulativeWalk, KnownHistories) {
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

// A month's bands as the module takes them: its bins, then the band of
// every bin with rows.
std::vector<quon::BinBand> month_bands(const double* model, const double* real, std::size_t n,
                                       long num_bins) {
    std::vector<quon::BinBand> bands;
    for (const quon::BinRange& bin : quon::month_bins(model, n, num_bins)) {
        bands.push_back(quon::bin_band(model, real, n, bin.lower, bin.upper));
        EXPECT_EQ(bands.back().empty, !bin.has_rows);
    }
    return bands;
}

TEST(Bands, ThreeTestWells) {
    const double model[] = {100, 200, 300};
    const double real[] = {110, 180, 330};
    const std::vector<quon::BinBand> m = month_bands(model, real, 3, 1);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].upper, 300.0);
    EXPECT_FALSE(m[0].empty);
    EXPECT_NEAR(m[0].p10, 0.08, 1e-15);
    EXPECT_EQ(m[0].p90, -m[0].p10);
}

TEST(Bands, ExcludedRowsStillSetTheRange) {
    const double model[] = {100, 200, 300, 0, 400};
    const double real[] = {110, 180, 330, 5, kNaN};
    const std::vector<quon::BinRange> bins = quon::month_bins(model, 5, 2);
    ASSERT_EQ(bins.size(), 2u);
    EXPECT_EQ(bins[0].lower, 0.0);
    EXPECT_EQ(bins[0].upper, 200.0);
    EXPECT_EQ(bins[1].lower, 200.0);
    EXPECT_EQ(bins[1].upper, 400.0);
    const std::vector<quon::BinBand> m = month_bands(model, real, 5, 2);
    // Both bins hold the misses 0.1 and -0.1 (200 lies on the shared bound;
    // 0 and the row without a real value do not count).
    EXPECT_NEAR(m[0].p10, 0.08, 1e-15);
    EXPECT_NEAR(m[1].p10, 0.08, 1e-15);
}

TEST(Bands, UpperBoundIsComputedNotTakenFromTheMaximum) {
    // 0.1 + 0.2 is not 0.3 in doubles: the last bound is lower + width.
    const double model[] = {0.1, 0.3};
    const std::vector<quon::BinRange> bins = quon::month_bins(model, 2, 1);
    EXPECT_EQ(bins[0].upper, 0.1 + (0.3 - 0.1));
    const std::vector<quon::BinRange> three = quon::month_bins(model, 2, 3);
    const double width = (0.3 - 0.1) / 3.0;
    EXPECT_EQ(three[2].lower, 0.1 + width * 2.0);
    EXPECT_EQ(three[2].upper, three[2].lower + width);
}

TEST(Bands, EmptyAndInvalidBins) {
    const double nan_first[] = {kNaN, 1.0, 2.0};
    const double real[] = {1.0, 1.0, 1.0};
    const quon::MinMax r = quon::scan_min_max(nan_first, 3);
    EXPECT_TRUE(std::isnan(r.min) && std::isnan(r.max));
    const std::vector<quon::BinRange> bins = quon::month_bins(nan_first, 3, 1);
    EXPECT_TRUE(std::isnan(bins[0].upper) && !bins[0].has_rows);
    EXPECT_TRUE(month_bands(nan_first, real, 3, 1)[0].empty);

    const double same[] = {5.0, 5.0};
    const double negative[] = {-1.0, kNaN};
    const quon::BinBand b = quon::bin_band(same, negative, 2, 5.0, 5.0);
    EXPECT_FALSE(b.empty);
    EXPECT_TRUE(b.no_valid_rows);
}

TEST(OutputBin, FirstBoundAboveTheOutputElseTheLast) {
    const std::vector<double> bounds = {10.0, 20.0, 30.0};
    struct Case { double output; long bin; };
    for (const Case c : {Case{-5.0, 0}, Case{9.99, 0}, Case{10.0, 1}, Case{25.0, 2}, Case{30.0, 2},
                         Case{1e9, 2}, Case{kNaN, 2}}) {
        std::vector<long> asked;
        const long bin = quon::output_bin(3, [&](long k) {
            asked.push_back(k);
            return c.output < bounds[static_cast<std::size_t>(k)];
        });
        EXPECT_EQ(bin, c.bin) << c.output;
        // Bounds are asked for in order and no further than the bin found.
        for (std::size_t i = 0; i < asked.size(); ++i) EXPECT_EQ(asked[i], static_cast<long>(i));
        EXPECT_LE(asked.size(), static_cast<std::size_t>(c.bin + 1));
    }
    EXPECT_EQ(quon::output_bin(1, [](long) { return false; }), 0);
}

}  // namespace
