// Screening-score core: the method gas table, distances, limit adjustments,
// normalisation, scores and the knock-out rule, the 2019 p-values and
// weighted means.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "screening_scores.hpp"

namespace zelt {
namespace {

TEST(Vocabulary, NamesAndUtf8Labels) {
    EXPECT_EQ(kMethodNames[kVertImmiscN2], "Vert. Immisc. N2");
    EXPECT_EQ(kParamNames[kVerticalPermeability], "Average Vertical Permeability");
    EXPECT_EQ(kParamLabels[kOilGravity], "Oil Gravity (\xCB\x9A" "API)");                  // U+02DA
    EXPECT_EQ(kParamLabels[kReservoirTemperature], "Reservoir Temperature (\xC2\xB0" "F)");  // U+00B0
    EXPECT_EQ(kParamLabels[kReservoirDip], "Reservoir Dip (\xE2\x97\xA6)");                  // U+25E6
    EXPECT_EQ(kMethodNames2019[11], "Microbial");
    EXPECT_EQ(kParamLabels2019[5], "Reservoir Temperature (\xC2\xB0" "F)");
}

TEST(ParameterValue, FollowsVocabularyOrder) {
    const FieldData fd{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    for (std::size_t p = 0; p < kParamCount; ++p) EXPECT_DOUBLE_EQ(parameter_value(fd, p), p + 1.0) << p;
    const FieldData2019 f19{1, 2, 3, 4, 5, 6, 7, 8};
    for (std::size_t p = 0; p < kParamCount2019; ++p) EXPECT_DOUBLE_EQ(parameter_value_2019(f19, p), p + 1.0);
}

TEST(ViolationDistance, Cases) {
    struct Case { double x, lo, hi, d; };
    const Case cases[] = {
        {5, 1, 10, kNaN},   {1, 1, 10, kNaN},      {10, 1, 10, kNaN},  // inside, limits included
        {0.5, 1, 10, 0.5},  {12, 1, 10, 2},        {-3, -1, 10, 2},
        {5, 10, 1, 4},      // lo > hi: both sides violated, the upper test wins
        {kNaN, 1, 10, kNaN}, {0.5, kNaN, 10, kNaN}, {12, 1, kNaN, kNaN},
        {12, kNaN, 10, 2},  {0.5, 1, kNaN, 0.5},   // NaN only on the other side
    };
    for (const Case& c : cases) {
        const double d = violation_distance(c.x, c.lo, c.hi);
        if (std::isnan(c.d)) EXPECT_TRUE(std::isnan(d)) << c.x << " " << c.lo << " " << c.hi;
        else EXPECT_DOUBLE_EQ(d, c.d) << c.x << " " << c.lo << " " << c.hi;
    }
}

TEST(LimitAdjustments, PolymerBandsAndAspSalinity) {
    struct Case { double v; bool set; double perm, sal; };
    const Case cases[] = {{10.0, true, 100.0, 3000.0},   {100.0, true, 100.0, 3000.0},
                          {100.5, true, 1000.0, 1000.0}, {1000.0, true, 1000.0, 1000.0},
                          {9.9, false, 0, 0},            {1000.5, false, 0, 0}, {kNaN, false, 0, 0}};
    for (const Case& c : cases) {
        const auto lim = polymer_limits_for_viscosity(c.v);
        ASSERT_EQ(lim.has_value(), c.set) << c.v;
        if (c.set) {
            EXPECT_DOUBLE_EQ(lim->permeability_min_md, c.perm) << c.v;
            EXPECT_DOUBLE_EQ(lim->salinity_max_ppm, c.sal) << c.v;
        }
    }
    EXPECT_DOUBLE_EQ(asp_salinity_max(140.0), 200000.0);
    EXPECT_DOUBLE_EQ(asp_salinity_max(140.1), 50000.0);
    EXPECT_DOUBLE_EQ(asp_salinity_max(kNaN), 50000.0);
}

FieldData inside_field_data(double viscosity, double temperature) {
    return FieldData{30, viscosity, 5000, 50, 5, 50, 2500, temperature, 50, 5, 20000};
}

TEST(LimitAdjustments, RewritesReservoirDependentLimits) {
    ScreeningLimits lim{};
    lim[kHorizontalPermeability][kPolymerFlooding].min = 7.0;
    lim[kFormationSalinity][kPolymerFlooding].max = 8.0;
    lim[kReservoirPressure][kHorzMiscCo2].max = 9000.0;
    const ReservoirMmps mmps{1000.0, 2000.0, 3000.0};

    ScreeningLimits out = lim;
    adjust_limits_for_reservoir(out, inside_field_data(5.0, 150.0), mmps);   // viscosity in no band
    const double want[3] = {1000.0, 2000.0, 3000.0};
    const Method horz[3] = {kHorzMiscCo2, kHorzMiscHc, kHorzMiscN2};
    const Method vmisc[3] = {kVertMiscCo2, kVertMiscHc, kVertMiscN2};
    const Method vimm[3] = {kVertImmiscCo2, kVertImmiscHc, kVertImmiscN2};
    for (int g = 0; g < 3; ++g) {
        EXPECT_DOUBLE_EQ(out[kReservoirPressure][horz[g]].min, want[g]);
        EXPECT_DOUBLE_EQ(out[kReservoirPressure][vmisc[g]].min, want[g]);
        EXPECT_DOUBLE_EQ(out[kReservoirPressure][vimm[g]].max, want[g]);
        EXPECT_TRUE(std::isnan(out[kReservoirPressure][vimm[g]].min));
    }
    EXPECT_DOUBLE_EQ(out[kReservoirPressure][kHorzMiscCo2].max, 9000.0);
    EXPECT_TRUE(std::isnan(out[kReservoirPressure][kSteamFlooding].min));
    EXPECT_DOUBLE_EQ(out[kFormationSalinity][kAsp].max, 50000.0);
    EXPECT_DOUBLE_EQ(out[kHorizontalPermeability][kPolymerFlooding].min, 7.0);   // left as they are
    EXPECT_DOUBLE_EQ(out[kFormationSalinity][kPolymerFlooding].max, 8.0);

    out = lim;
    adjust_limits_for_reservoir(out, inside_field_data(50.0, 140.0), mmps);
    EXPECT_DOUBLE_EQ(out[kHorizontalPermeability][kPolymerFlooding].min, 100.0);
    EXPECT_DOUBLE_EQ(out[kFormationSalinity][kPolymerFlooding].max, 3000.0);
    EXPECT_DOUBLE_EQ(out[kFormationSalinity][kAsp].max, 200000.0);
}

TEST(MeasureReservoir, DistancesPerParameterAndMethod) {
    ScreeningLimits lim{};
    lim[kOilGravity][kHorzMiscCo2] = {22.0, 100.0, true};
    lim[kOilViscosity][kSagd] = {kNaN, 5.0, true};
    for (auto& m : lim[kReservoirDepth]) m.min = 1e9;   // field depth NaN: never violated
    FieldData fd = inside_field_data(8.0, 150.0);
    fd.oil_gravity_api = 20.0;
    fd.depth_ft = kNaN;
    const Distances d = measure_reservoir(fd, lim);
    EXPECT_DOUBLE_EQ(d[kOilGravity][kHorzMiscCo2], 2.0);
    EXPECT_DOUBLE_EQ(d[kOilViscosity][kSagd], 3.0);
    for (std::size_t p = 0; p < kParamCount; ++p)
        for (std::size_t m = 0; m < kMethodCount; ++m)
            if (!(p == kOilGravity && m == kHorzMiscCo2) && !(p == kOilViscosity && m == kSagd)) {
                EXPECT_TRUE(std::isnan(d[p][m])) << p << " " << m;
            }
}

TEST(Scoring, BoundsAndParameterScores) {
    DistanceBounds b;
    EXPECT_EQ(b.min, std::numeric_limits<double>::infinity());
    EXPECT_EQ(b.max, -std::numeric_limits<double>::infinity());
    for (double d : {7.0, kNaN, 2.0, 12.0, kNaN}) widen_bounds(b, d);
    EXPECT_DOUBLE_EQ(b.min, 2.0);
    EXPECT_DOUBLE_EQ(b.max, 12.0);
    EXPECT_DOUBLE_EQ(parameter_score(2.0, b), -1.0);
    EXPECT_DOUBLE_EQ(parameter_score(12.0, b), -10.0);
    EXPECT_DOUBLE_EQ(parameter_score(7.0, b), -5.5);
    EXPECT_DOUBLE_EQ(parameter_score(kNaN, b), kInsideScore);
    DistanceBounds lone;
    widen_bounds(lone, 3.0);
    EXPECT_DOUBLE_EQ(parameter_score(3.0, lone), -5.0);
    EXPECT_DOUBLE_EQ(parameter_score(kNaN, lone), 10.0);
}

TEST(Scoring, RoundToTenthIsHalfToEvenOnTimesTen) {
    struct Case { double x, want; };
    const Case cases[] = {{0.35, 0.4},  {0.25, 0.2},   {0.15, 0.2},   {0.45, 0.4}, {0.95, 1.0},
                          {0.05, 0.0},  {1.25, 1.2},   {0.65, 0.6},   {0.75, 0.8}, {-0.25, -0.2},
                          {-0.35, -0.4}, {0.8636, 0.9}, {0.12, 0.1}};
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(round_to_tenth(c.x), c.want) << c.x;
}

TEST(Scoring, MethodScoreFromSum) {
    struct Case { double sum, want; };
    const Case cases[] = {
        {110.0, 1.0}, {90.0, 0.8}, {99.0, 0.9}, {95.0, 0.9}, {-110.0, -1.0}, {104.5, 1.0},
        // (1/110) x (sum - 110) + 1 in this order: 0.05000000000000004, not 0.05.
        {5.5, 0.1}, {49.5, 0.5}, {-16.5, -0.1}, {71.5, 0.6},
    };
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(method_score_from_sum(c.sum), c.want) << c.sum;
}

TEST(FieldData2019, DefaultsAndFallbacks) {
    const FieldData2019 fd = derive_field_data_2019(ReservoirRecord2019{});
    EXPECT_DOUBLE_EQ(fd.porosity_pct, 20.0);
    EXPECT_DOUBLE_EQ(fd.permeability_md, 1.0);   // working porosity 0, not the default 20
    EXPECT_DOUBLE_EQ(fd.depth_ft, 6400.0);
    EXPECT_DOUBLE_EQ(fd.oil_gravity_api, 30.0);
    EXPECT_NEAR(fd.in_situ_viscosity_cp, 8.900412218044687, 1e-9);
    EXPECT_NEAR(fd.temperature_f, 154.8953560673486, 1e-10);
    EXPECT_DOUBLE_EQ(fd.oil_saturation_pct, 50.0);
    EXPECT_DOUBLE_EQ(fd.net_pay_ft, 50.0);

    ReservoirRecord2019 r;
    r.gross_thickness_ft = 300.0;
    r.porosity_pct = 25.0;
    r.water_saturation_pct = 30.0;
    r.temperature_c = 100.0;
    const FieldData2019 g = derive_field_data_2019(r);
    EXPECT_NEAR(g.net_pay_ft, 30.0, 1e-12);
    EXPECT_NEAR(g.permeability_md, 316.22776601683796, 1e-9);
    EXPECT_DOUBLE_EQ(g.porosity_pct, 25.0);
    EXPECT_DOUBLE_EQ(g.oil_saturation_pct, 70.0);
    EXPECT_NEAR(g.temperature_f, 212.0, 1e-12);
    r.net_thickness_ft = 12.0;
    r.permeability_md = 80.0;
    EXPECT_DOUBLE_EQ(derive_field_data_2019(r).net_pay_ft, 12.0);
    EXPECT_DOUBLE_EQ(derive_field_data_2019(r).permeability_md, 80.0);
}

TEST(FieldData2019, SourcesFollowWhatWasReported) {
    auto sources = [](const ReservoirRecord2019& r) {
        FieldSources2019 s{};
        const FieldData2019 fd = derive_field_data_2019(r, s);
        std::array<Source, kParamCount2019> out{};
        for (std::size_t p = 0; p < kParamCount2019; ++p) out[p] = parameter_source_2019(s, p);
        EXPECT_DOUBLE_EQ(parameter_value_2019(fd, 4), r.in_situ_viscosity_cp == r.in_situ_viscosity_cp
                                                          ? r.in_situ_viscosity_cp
                                                          : fd.in_situ_viscosity_cp);
        return out;
    };
    constexpr Source R = Source::reported, D = Source::default_value, C = Source::correlation;
    using Row = std::array<Source, kParamCount2019>;
    // Porosity, permeability, depth, gravity, viscosity, temperature, So, net pay.
    EXPECT_EQ(sources(ReservoirRecord2019{}), (Row{D, D, D, D, C, C, D, D}));   // 1 mD is a default
    ReservoirRecord2019 r;
    r.porosity_pct = 25.0;
    r.gross_thickness_ft = 300.0;
    r.water_saturation_pct = 30.0;
    r.temperature_c = 80.0;
    EXPECT_EQ(sources(r), (Row{R, C, D, D, C, R, R, C}));
    r.permeability_md = 80.0;
    r.top_depth_ft = 4000.0;
    r.oil_gravity_api = 22.0;
    r.net_thickness_ft = 12.0;
    r.in_situ_viscosity_cp = 35.0;
    EXPECT_EQ(sources(r), (Row{R, R, R, R, R, R, R, R}));
    EXPECT_DOUBLE_EQ(derive_field_data_2019(r).in_situ_viscosity_cp, 35.0);
}

TEST(ComparedSource, GasPressureRowsTakeTheMmpsSource) {
    FieldSources reported{};
    reported.pressure_psi = Source::reported;
    reported.oil_gravity_api = Source::default_value;
    const ReservoirMmps measured{2500.0, kNaN, kNaN};
    EXPECT_EQ(compared_source(reported, measured, kReservoirPressure, kHorzMiscCo2), Source::measured);
    EXPECT_EQ(compared_source(reported, measured, kReservoirPressure, kVertImmiscCo2), Source::measured);
    EXPECT_EQ(compared_source(reported, measured, kReservoirPressure, kVertMiscHc), Source::correlation);
    EXPECT_EQ(compared_source(reported, measured, kReservoirPressure, kSteamFlooding), Source::reported);
    EXPECT_EQ(compared_source(reported, measured, kOilGravity, kHorzMiscCo2), Source::default_value);
    // A pressure that is itself estimated or missing says so, whatever the MMP.
    FieldSources estimated = reported;
    estimated.pressure_psi = Source::correlation;
    EXPECT_EQ(compared_source(estimated, measured, kReservoirPressure, kHorzMiscCo2), Source::correlation);
    estimated.pressure_psi = Source::missing;
    EXPECT_EQ(compared_source(estimated, measured, kReservoirPressure, kHorzMiscCo2), Source::missing);
}

TEST(PValue, RatingsInBandsAndSwitches) {
    struct Case { double x, lower, min, max, upper, want; };
    const Case cases[] = {
        {20, 5, 10, 40, 100, 1.0},  {10, 5, 10, 40, 100, 1.0},  {7.5, 5, 10, 40, 100, 0.0},
        {5, 5, 10, 40, 100, -1.0},  {4, 5, 10, 40, 100, -1.0},  {70, 5, 10, 40, 100, 0.0},
        {100, 5, 10, 40, 100, -1.0}, {101, 5, 10, 40, 100, -1.0}, {40, 5, 10, 40, 100, 1.0},
        {5, kLowerSwitch, 10, 40, 100, 1.0},      {0.001, kLowerSwitch, 10, 40, 100, -1.0},
        {500, 5, 10, 40, kUpperSwitch, 1.0},      {200000, 5, 10, 40, kUpperSwitch, -1.0},
        {kNaN, 5, 10, 40, 100, -1.0},             {7.5, kNaN, 10, 40, 100, -1.0},
    };
    for (const Case& c : cases)
        EXPECT_NEAR(p_value(c.x, c.lower, c.min, c.max, c.upper), c.want, 1e-12) << c.x << " " << c.lower;
}

TEST(WeightedScore, RoundingAndZeroWeights) {
    DivisionFlags f;
    EXPECT_DOUBLE_EQ(weighted_score(1.0, 4.0, f), 0.2);   // 0.25, ties to even
    EXPECT_DOUBLE_EQ(weighted_score(0.7, 2.0, f), 0.4);   // 0.35
    EXPECT_FALSE(f.invalid || f.divide_by_zero);
    EXPECT_TRUE(std::isnan(weighted_score(0.0, 0.0, f)));
    EXPECT_TRUE(f.invalid);
    EXPECT_FALSE(f.divide_by_zero);
    DivisionFlags g;
    EXPECT_EQ(weighted_score(-1.0, 0.0, g), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(g.divide_by_zero);
    EXPECT_FALSE(g.invalid);
}

TEST(MethodGas, TableFollowsMethodNames) {
    // Gas by name: "CO2" in it, else "HC", every other method nitrogen; a
    // miscible method's MMP is its lower pressure limit, an immiscible one's
    // its upper limit, the other methods keep the file's limits.
    for (std::size_t m = 0; m < kMethodCount; ++m) {
        const std::string_view name = kMethodNames[m];
        const InjectedGas gas = name.find("CO2") != std::string_view::npos ? InjectedGas::co2
                                : name.find("HC") != std::string_view::npos ? InjectedGas::hydrocarbon
                                                                             : InjectedGas::nitrogen;
        const MmpLimit limit = name.find("Immisc.") != std::string_view::npos ? MmpLimit::max
                               : name.find("Misc.") != std::string_view::npos ? MmpLimit::min
                                                                               : MmpLimit::none;
        EXPECT_EQ(kMethodGas[m].gas, gas) << name;
        EXPECT_EQ(kMethodGas[m].limit, limit) << name;
    }
    const ReservoirMmps mmps{1.0, 2.0, 3.0};
    EXPECT_EQ(gas_mmp(mmps, InjectedGas::co2), 1.0);
    EXPECT_EQ(gas_mmp(mmps, InjectedGas::hydrocarbon), 2.0);
    EXPECT_EQ(gas_mmp(mmps, InjectedGas::nitrogen), 3.0);
}

TEST(MethodScore, KnockOutBySetStopperOnViolatedParameterOnly) {
    // (parameter score, stopper) in parameter order.
    struct Case { const char* what; std::vector<std::pair<double, bool>> scores; bool out; double want; };
    const std::vector<std::pair<double, bool>> eleven_inside(kParamCount, {kInsideScore, true});
    const Case cases[] = {
        {"stoppers on parameters inside", eleven_inside, false, 1.0},
        {"stopper violated first, the rest inside", {{-1.0, true}, {10.0, false}, {10.0, false}}, true, -1.0},
        {"stopper violated last", {{10.0, false}, {10.0, true}, {-10.0, true}}, true, -1.0},
        {"violation without stopper", {{-10.0, false}, {10.0, true}}, false, 0.0},
        {"one at the largest violation, ten inside", {{-10.0, false}, {10.0, true}, {10.0, true},
          {10.0, true}, {10.0, true}, {10.0, true}, {10.0, true}, {10.0, true}, {10.0, true},
          {10.0, true}, {10.0, true}}, false, 0.8},
    };
    for (const Case& c : cases) {
        MethodScore score;
        for (const auto& [s, stopper] : c.scores) score.add(s, stopper);
        EXPECT_EQ(score.knocked_out(), c.out) << c.what;
        EXPECT_DOUBLE_EQ(score.value(), c.want) << c.what;
    }
}

TEST(WeightedMean, WeightsOfZeroLeaveParametersOut) {
    // Weights 1, 1, 2, 0, 0, 0, 0, 0 with p-values 1, -1, 0.5 and -1 for the
    // rest: (1 - 1 + 1) / 4 = 0.25, rounded half to even to 0.2.
    WeightedMean mean;
    const double p_values[kParamCount2019] = {1.0, -1.0, 0.5, -1.0, -1.0, -1.0, -1.0, -1.0};
    const double weights[kParamCount2019] = {1.0, 1.0, 2.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::size_t p = 0; p < kParamCount2019; ++p) mean.add(p_values[p], weights[p]);
    DivisionFlags flags;
    EXPECT_DOUBLE_EQ(mean.score(flags), 0.2);
    EXPECT_FALSE(flags.invalid || flags.divide_by_zero);

    WeightedMean none;
    for (double pv : p_values) none.add(pv, 0.0);
    EXPECT_TRUE(std::isnan(none.score(flags)));
    EXPECT_TRUE(flags.invalid);
}

TEST(LimitOrder, FirstMethodMinAboveMax) {
    ScreeningLimits lim{};
    for (auto& row : lim)
        for (auto& cell : row) cell = {0.0, 100.0, false};
    lim[kReservoirPressure][kHorzMiscCo2].min = kNaN;   // an MMP cell: never out of order
    lim[kReservoirDepth][kSagd] = {500.0, 500.0, true};  // equal limits are in order
    EXPECT_FALSE(first_limits_out_of_order(lim).has_value());

    lim[kFormationSalinity][kAsp] = {9000.0, 5000.0, false};
    lim[kOilGravity][kCss] = {40.0, 20.0, false};
    const auto bad = first_limits_out_of_order(lim);
    ASSERT_TRUE(bad.has_value());
    EXPECT_EQ(bad->param, kOilGravity);   // the first in parameter order
    EXPECT_EQ(bad->method, kCss);
    EXPECT_STREQ(bad->low_name, "Min");
    EXPECT_DOUBLE_EQ(bad->low, 40.0);
    EXPECT_STREQ(bad->high_name, "Max");
    EXPECT_DOUBLE_EQ(bad->high, 20.0);
}

TEST(LimitOrder, NestedBandsOf2019) {
    ScreeningLimits2019 lim{};
    for (auto& row : lim)
        for (auto& cell : row) cell = {5.0, 10.0, 40.0, 100.0, 1.0};
    lim[0][0] = {0.01, 0.01, 100000.0, 100000.0, 1.0};   // both switches, nothing known
    lim[1][1] = {kNaN, 10.0, kNaN, 100.0, 1.0};          // empty cells are skipped
    EXPECT_FALSE(first_limits_out_of_order(lim).has_value());

    struct Case { MethodLimits2019 lim; const char* low; const char* high; };
    const Case cases[] = {
        {{20.0, 10.0, 40.0, 100.0, 1.0}, "Lower", "Min"},     // Lower inside Min-Max
        {{5.0, 50.0, 40.0, 100.0, 1.0}, "Min", "Max"},
        {{5.0, 10.0, 40.0, 30.0, 1.0}, "Max", "Upper"},       // Upper inside Min-Max
        {{50.0, kNaN, 40.0, 100.0, 1.0}, "Lower", "Max"},     // Min empty: Lower against Max
        {{5.0, 10.0, kNaN, 8.0, 1.0}, "Min", "Upper"},
        {{200.0, kNaN, kNaN, 100.0, 1.0}, "Lower", "Upper"},
    };
    for (const Case& c : cases) {
        ScreeningLimits2019 one = lim;
        one[3][7] = c.lim;
        const auto bad = first_limits_out_of_order(one);
        ASSERT_TRUE(bad.has_value()) << c.low << " " << c.high;
        EXPECT_EQ(bad->param, 3u);
        EXPECT_EQ(bad->method, 7u);
        EXPECT_STREQ(bad->low_name, c.low);
        EXPECT_STREQ(bad->high_name, c.high);
    }
}

}  // namespace
}  // namespace zelt
