// The checks of a reservoir table that warn or refuse: misspelt column
// names, values implausible in their unit, infinities and overflowing
// conversions; and how sure a score is: coverage, knock-outs that rest on
// estimates, ranks, the surface temperature and the pressure windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "input_checks.hpp"
#include "screening_batch.hpp"

namespace zelt {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

const std::vector<std::string_view> kColumns = {
    "resv_id", "reservoir_unit_name", "oil_density_max_val_deg_api", "oil_viscosity_max_val_cp",
    "top_depth_feet", "net_thickn_max_val_feet", "gross_thickn_max_val_feet", "permeab_avg_md",
    "porosity_avg_pct", "temp_max_val_deg_c", "water_saturation_max_val_pct", "salinity_max_val_ppm",
    "oil_viscosity_insitu_cp", "surface_temp_deg_c"};

std::string_view meant(std::string_view name) {
    const auto at = probable_column(name, kColumns);
    return at ? kColumns[*at] : std::string_view("-");
}

TEST(ProbableColumn, MisspellingsAndOtherWordsForTheSameQuantity) {
    EXPECT_EQ(meant("temp_max_val_deg_f"), "temp_max_val_deg_c");       // a letter apart
    EXPECT_EQ(meant("porosity_avg_pc"), "porosity_avg_pct");
    EXPECT_EQ(meant("oil_gravity_api"), "oil_density_max_val_deg_api");  // gravity is density
    EXPECT_EQ(meant("api_gravity"), "oil_density_max_val_deg_api");
    EXPECT_EQ(meant("top_depth_m"), "top_depth_feet");
    EXPECT_EQ(meant("net_pay_ft"), "net_thickn_max_val_feet");
    EXPECT_EQ(meant("permeability"), "permeab_avg_md");
    EXPECT_EQ(meant("surface_temperature_c"), "surface_temp_deg_c");
    // Not taken for any of them.
    for (std::string_view other : {"applied_methods", "source", "country", "basin", "oil", "net_to_gross",
                                   "operator", "x"}) {
        EXPECT_EQ(meant(other), "-") << other;
    }
    // A name that is a candidate itself is never a misspelling of another.
    EXPECT_EQ(meant("permeab_avg_md"), "-");
}

TEST(ImplausibleValues, BoundsOfEachQuantity) {
    auto rows = [](Quantity q, std::vector<double> v) {
        std::vector<std::vector<std::size_t>> out;
        for (const auto& p : implausible_values(q, v)) out.push_back(p.rows);
        return out;
    };
    using Rows = std::vector<std::vector<std::size_t>>;
    EXPECT_EQ(rows(Quantity::temperature_c, {80.0, 200.0, 250.0, kNaN, 390.0}), (Rows{{2, 4}}));
    EXPECT_EQ(rows(Quantity::gravity_api, {4.9, 5.0, 70.0, 70.1}), (Rows{{0, 3}}));
    EXPECT_EQ(rows(Quantity::surface_temperature_c, {-61.0, 15.0, 60.5}), (Rows{{0, 2}}));
    EXPECT_EQ(rows(Quantity::non_negative, {0.0, -0.1, 5.0}), (Rows{{1}}));
    // Fractions: every reported value below 1 and some above 0.
    EXPECT_EQ(rows(Quantity::pore_percent, {0.2, kNaN, 0.0, 0.35}), (Rows{{0, 3}}));
    EXPECT_EQ(rows(Quantity::pore_percent, {0.2, 25.0}), Rows{});
    EXPECT_EQ(rows(Quantity::pore_percent, {0.0, 0.0}), Rows{});
    EXPECT_EQ(rows(Quantity::pore_percent, {-1.0, 101.0, 30.0}), (Rows{{0}, {1}}));
    EXPECT_EQ(rows(Quantity::percent, {0.5, 101.0}), (Rows{{1}}));   // recovery factors may be small
    EXPECT_EQ(rows(Quantity::other, {-1e300, kInf}), Rows{});
}

TEST(NonFinite, InfinitiesAndOverflowingConversions) {
    EXPECT_EQ(first_infinite({1.0, kNaN, -kInf, kInf}), std::optional<std::size_t>(2));
    EXPECT_FALSE(first_infinite({1.0, kNaN, 1e308}));
    EXPECT_TRUE(overflows_in_conversion(Quantity::temperature_c, 1e308));
    EXPECT_TRUE(overflows_in_conversion(Quantity::surface_temperature_c, -1e308));
    EXPECT_FALSE(overflows_in_conversion(Quantity::temperature_c, 1e300));
    EXPECT_FALSE(overflows_in_conversion(Quantity::non_negative, 1e308));
    EXPECT_FALSE(overflows_in_conversion(Quantity::temperature_c, kNaN));
}

// ------------------------------------------------------------ how sure a score is

ScreeningLimits open_limits() {
    ScreeningLimits lim{};
    for (auto& row : lim)
        for (auto& cell : row) cell.stopper = false;
    return lim;
}

TEST(Coverage, SharesOfPointsAndWeights) {
    ReservoirRecord full;
    full.oil_gravity_api = 35.0;
    full.in_situ_viscosity_cp = 2.0;
    full.top_depth_ft = 6000.0;
    full.net_thickness_ft = 50.0;
    full.permeability_md = 100.0;
    full.pressure_psi = 3000.0;
    full.temperature_c = 70.0;
    full.water_saturation_pct = 30.0;
    full.recovery_factor_pct = 10.0;
    full.salinity_ppm = 30000.0;
    MethodSummary summary;
    const FirstMethodResult r = screen_first_method({full, ReservoirRecord{}}, open_limits(), 1, nullptr, &summary);
    ASSERT_EQ(summary.coverage.size(), 2 * kMethodCount);
    EXPECT_DOUBLE_EQ(summary.coverage[kSteamFlooding], 10.0 / 11.0);   // all but the dip
    EXPECT_DOUBLE_EQ(summary.coverage[kHorzMiscCo2], 9.0 / 11.0);      // and the MMP
    for (std::size_t m = 0; m < kMethodCount; ++m) {
        EXPECT_EQ(summary.coverage[kMethodCount + m], 0.0);
        EXPECT_FALSE(screened(summary.coverage[kMethodCount + m]));
    }
    EXPECT_TRUE(screened(0.5));
    EXPECT_FALSE(screened(kNaN));

    // 2019: the weights of reported values over all weights.
    ScreeningLimits2019 lim{};
    for (std::size_t p = 0; p < kParamCount2019; ++p)
        for (auto& cell : lim[p]) cell = {kNaN, kNaN, kNaN, kNaN, static_cast<double>(p + 1)};
    ReservoirRecord2019 some;
    some.porosity_pct = 20.0;     // weight 1
    some.oil_gravity_api = 30.0;  // weight 4
    MethodSummary s2;
    screen_2019_method({some}, lim, nullptr, &s2);
    EXPECT_DOUBLE_EQ(s2.coverage[0], 5.0 / 36.0);
    for (auto& cell : lim[0]) cell.weighting = 0.0;
    for (std::size_t p = 1; p < kParamCount2019; ++p) for (auto& cell : lim[p]) cell.weighting = 0.0;
    screen_2019_method({some}, lim, nullptr, &s2);
    EXPECT_TRUE(std::isnan(s2.coverage[0]));
}

TEST(Coverage, KnockOutsThatRestOnEstimatesAlone) {
    ScreeningLimits lim = open_limits();
    lim[kNetPayThickness][kSteamFlooding] = {20.0, kNaN, true};
    lim[kReservoirDepth][kSteamFlooding] = {kNaN, 4500.0, true};
    ReservoirRecord estimated;       // net pay 0.1 x 82 ft
    estimated.top_depth_ft = 2600.0;
    estimated.gross_thickness_ft = 82.0;
    ReservoirRecord also_deep = estimated;   // the reported depth knocks it out too
    also_deep.top_depth_ft = 6000.0;
    ReservoirRecord reported = estimated;
    reported.net_thickness_ft = 8.2;
    MethodSummary summary;
    const FirstMethodResult r =
        screen_first_method({estimated, also_deep, reported}, lim, 1, nullptr, &summary);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(r.scores[k * kMethodCount + kSteamFlooding], -1.0);
    EXPECT_EQ(summary.estimated_knockout[kSteamFlooding], 1u << kNetPayThickness);
    EXPECT_EQ(summary.estimated_knockout[kMethodCount + kSteamFlooding], 0u);
    EXPECT_EQ(summary.estimated_knockout[2 * kMethodCount + kSteamFlooding], 0u);
    EXPECT_EQ(summary.estimated_knockout[kCss], 0u);
}

TEST(Ranks, BestFirstTiesShareTheBetterRankNaNLast) {
    const double scores[] = {0.5, 1.0, 0.5, kNaN, -1.0, 1.0};
    std::int32_t ranks[6];
    rank_scores(scores, 6, ranks);
    EXPECT_EQ(std::vector<std::int32_t>(ranks, ranks + 6), (std::vector<std::int32_t>{3, 1, 3, 6, 5, 1}));
}

TEST(SurfaceTemperature, StartsTheDepthEstimate) {
    EXPECT_DOUBLE_EQ(temperature_from_depth(3280.84, kNaN), 35.0);
    EXPECT_DOUBLE_EQ(temperature_from_depth(3280.84, 15.0), 50.0);
    ReservoirRecord r;
    r.top_depth_ft = 6561.68;
    r.surface_temperature_c = 10.0;
    EXPECT_DOUBLE_EQ(derive_field_data(r).temperature_f, 80.0 * 1.8 + 32.0);
    r.temperature_c = 60.0;   // a reported temperature wins
    EXPECT_DOUBLE_EQ(derive_field_data(r).temperature_f, 60.0 * 1.8 + 32.0);
    ReservoirRecord2019 r2;
    r2.surface_temperature_c = 10.0;   // from the 6,400 ft default depth
    EXPECT_DOUBLE_EQ(derive_field_data_2019(r2).temperature_f, (10.0 + 35.0 * (6400.0 / 3280.84)) * 1.8 + 32.0);
}

TEST(PressureWindows, NeverCrossOnAGravityTemperatureGrid) {
    // The file's gas-method windows: from the MMP up to 30,000 psia
    // (miscible), from 0 up to the MMP (immiscible).
    ScreeningLimits lim = open_limits();
    for (std::size_t m = 0; m < kMethodCount; ++m) {
        const MmpLimit side = kMethodGas[m].limit;
        lim[kReservoirPressure][m] = {side == MmpLimit::min ? kNaN : 0.0, side == MmpLimit::max ? kNaN : 30000.0,
                                      false};
    }
    std::vector<ReservoirRecord> grid;
    for (double api = 8.0; api <= 55.0; api += 1.0) {
        for (double t = 10.0; t <= 160.0; t += 10.0) {
            ReservoirRecord r;
            r.oil_gravity_api = api;
            r.temperature_c = t;
            r.top_depth_ft = 5000.0;
            grid.push_back(r);
        }
    }
    const FirstMethodResult r = screen_first_method(grid, lim, 1);
    ASSERT_EQ(r.failure, BatchFailure::none);
    for (std::size_t i = 0; i < r.window_min.size(); ++i) {
        EXPECT_LE(r.window_min[i], r.window_max[i]) << i;
    }
    for (const ReservoirMmps& m : r.mmps) {
        EXPECT_LE(std::max({m.co2, m.hc, m.n2}), kMmpNotFound);
    }
}

TEST(NonFiniteField, ACorrelationThatOverflowsFailsTheRun) {
    ReservoirRecord r;
    r.top_depth_ft = 5000.0;
    r.porosity_pct = 1e300;   // 10^(0.1 x porosity) overflows
    const FirstMethodResult out = screen_first_method({ReservoirRecord{}, r}, open_limits(), 1);
    EXPECT_EQ(out.failure, BatchFailure::non_finite);
    EXPECT_EQ(out.failed_row, 1u);
    EXPECT_TRUE(std::isinf(parameter_value(out.field_data[1], out.failed_param)));
    EXPECT_TRUE(out.scores.empty());
}

}  // namespace
}  // namespace zelt
