// Batch runs of both screening methods: agreement with the one-reservoir
// functions, independence of row order and thread count, and the row order
// of the long score table.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

#include "screening_batch.hpp"

namespace zelt {
namespace {

// ------------------------------------------------------------ first-method batch

ScreeningLimits batch_limits() {
    ScreeningLimits lim{};
    for (auto& row : lim)
        for (auto& cell : row) cell.stopper = false;
    for (std::size_t m = kHorzMiscCo2; m <= kVertImmiscN2; ++m) {
        lim[kOilGravity][m] = {22.0, 100.0, m == kHorzMiscCo2};
        lim[kOilViscosity][m].max = 10.0;
    }
    for (std::size_t m = kSteamFlooding; m <= kHotWater; ++m) lim[kOilViscosity][m].min = 20.0;
    for (auto& cell : lim[kReservoirDepth]) { cell.min = 2000.0; cell.max = 9000.0; }
    for (auto& cell : lim[kOilSaturation]) cell.min = 30.0;
    lim[kHorizontalPermeability][kPolymerFlooding] = {10.0, kNaN, true};
    lim[kReservoirTemperature][kPolymerFlooding].max = 200.0;
    lim[kReservoirTemperature][kAsp].max = 200.0;
    lim[kReservoirPressure][kHorzMiscCo2].max = 8000.0;
    lim[kReservoirPressure][kSteamFlooding].min = 500.0;
    return lim;
}

ReservoirRecord record(double api, double dead, double depth, double perm, double salinity) {
    ReservoirRecord r;
    r.oil_gravity_api = api;
    r.dead_oil_viscosity_cp = dead;
    r.top_depth_ft = depth;
    r.permeability_md = perm;
    r.salinity_ppm = salinity;
    return r;
}

// The batch result rebuilt from the single-reservoir functions.
std::vector<double> reference_scores(const std::vector<ReservoirRecord>& recs, const ScreeningLimits& file) {
    std::vector<Distances> dist;
    std::array<DistanceBounds, kParamCount> bounds{};
    for (const ReservoirRecord& r : recs) {
        const FieldData fd = derive_field_data(r);
        ScreeningLimits lim = file;
        adjust_limits_for_reservoir(lim, fd, reservoir_mmps(fd.oil_gravity_api, fd.temperature_f));
        dist.push_back(measure_reservoir(fd, lim));
        for (std::size_t p = 0; p < kParamCount; ++p)
            for (double d : dist.back()[p]) widen_bounds(bounds[p], d);
    }
    std::vector<double> scores;
    for (const Distances& d : dist)
        for (std::size_t m = 0; m < kMethodCount; ++m) {
            double sum = 0.0;
            bool out = false;
            for (std::size_t p = 0; p < kParamCount; ++p) {
                const double s = parameter_score(d[p][m], bounds[p]);
                sum += s;
                out = out || (file[p][m].stopper && s != kInsideScore);
            }
            scores.push_back(out ? kKnockedOutScore : method_score_from_sum(sum));
        }
    return scores;
}

// R3 sets the first polymer band (in-situ 15.6 cP) and violates its 100 mD
// minimum; R4 (0.54 cP) is in no band and must see the file's 10 mD minimum.
const std::vector<ReservoirRecord> kBatch = {
    record(35.0, 5.0, 6000.0, 200.0, 10000.0), record(18.0, kNaN, 12000.0, kNaN, kNaN), ReservoirRecord{},
    record(30.0, 100.0, 5000.0, 50.0, 2000.0), record(30.0, 1.0, 5000.0, 50.0, 50000.0)};

TEST(ScreenFirstMethod, AgreesWithSingleReservoirFunctions) {
    const ScreeningLimits lim = batch_limits();
    const FirstMethodResult res = screen_first_method(kBatch, lim);
    ASSERT_EQ(res.failure, BatchFailure::none);
    const std::size_t n = kBatch.size();
    ASSERT_EQ(res.field_data.size(), n);
    ASSERT_EQ(res.mmps.size(), n);
    ASSERT_EQ(res.window_min.size(), n * kMethodCount);
    ASSERT_EQ(res.window_max.size(), n * kMethodCount);
    const std::vector<double> want = reference_scores(kBatch, lim);
    ASSERT_EQ(res.scores.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_DOUBLE_EQ(res.scores[i], want[i]) << "row " << i / kMethodCount << " method " << i % kMethodCount;

    EXPECT_DOUBLE_EQ(res.scores[1 * kMethodCount + kHorzMiscCo2], kKnockedOutScore);  // 18 API, stopper
    EXPECT_DOUBLE_EQ(res.scores[3 * kMethodCount + kPolymerFlooding], kKnockedOutScore);
    EXPECT_DOUBLE_EQ(res.scores[4 * kMethodCount + kPolymerFlooding], 1.0);
    // A reservoir inside every range (no limit set, nothing to knock it out) scores 1.0.
    const FirstMethodResult inside = screen_first_method({ReservoirRecord{}}, ScreeningLimits{});
    ASSERT_EQ(inside.scores.size(), kMethodCount);
    for (double s : inside.scores) EXPECT_DOUBLE_EQ(s, 1.0);

    for (std::size_t r = 0; r < n; ++r) {
        const FieldData fd = derive_field_data(kBatch[r]);
        const ReservoirMmps mm = reservoir_mmps(fd.oil_gravity_api, fd.temperature_f);
        EXPECT_DOUBLE_EQ(res.mmps[r].co2, mm.co2);
        EXPECT_DOUBLE_EQ(res.field_data[r].in_situ_viscosity_cp, fd.in_situ_viscosity_cp);
        const double* lo = &res.window_min[r * kMethodCount];
        const double* hi = &res.window_max[r * kMethodCount];
        EXPECT_DOUBLE_EQ(lo[kHorzMiscCo2], mm.co2);
        EXPECT_DOUBLE_EQ(hi[kHorzMiscCo2], 8000.0);
        EXPECT_DOUBLE_EQ(lo[kVertImmiscHc], mm.hc);
        EXPECT_DOUBLE_EQ(hi[kVertImmiscHc], mm.hc);
        EXPECT_DOUBLE_EQ(lo[kSteamFlooding], 500.0);
        EXPECT_DOUBLE_EQ(hi[kSteamFlooding], mm.n2);
    }
}

TEST(ScreenFirstMethod, IndependentOfRowOrderAndThreads) {
    const ScreeningLimits lim = batch_limits();
    const std::vector<ReservoirRecord> rev(kBatch.rbegin(), kBatch.rend());
    const FirstMethodResult a = screen_first_method(kBatch, lim);
    const FirstMethodResult b = screen_first_method(rev, lim);
    const std::size_t n = kBatch.size();
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t m = 0; m < kMethodCount; ++m)
            EXPECT_DOUBLE_EQ(a.scores[r * kMethodCount + m], b.scores[(n - 1 - r) * kMethodCount + m]) << r << " " << m;

    // Worker threads start from 2,048 rows on (1,024 a thread): 2,100 rows
    // split in two.
    std::vector<ReservoirRecord> many;
    for (int i = 0; i < 2100; ++i) {
        const int j = i % 40;
        many.push_back(record(15.0 + j * 0.8 + i * 1e-3, (i % 3) ? 2.0 + j * j : kNaN, 1500.0 + 230.0 * j,
                              5.0 + 7.0 * j, (i % 4) ? 1000.0 * j : kNaN));
    }
    const FirstMethodResult one = screen_first_method(many, lim, 1);
    ASSERT_EQ(one.scores.size(), many.size() * kMethodCount);
    for (unsigned t : {2u, 3u, 0u}) {
        const FirstMethodResult par = screen_first_method(many, lim, t);
        EXPECT_EQ(par.scores, one.scores) << t;
        EXPECT_EQ(par.window_min, one.window_min) << t;
        EXPECT_EQ(par.window_max, one.window_max) << t;
    }
}

// Equal, or both NaN.
bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

TEST(ScreenFirstMethod, ExplanationComesFromTheSameRun) {
    const ScreeningLimits lim = batch_limits();
    std::vector<ReservoirRecord> recs = kBatch;
    recs[0].measured_mmps.co2 = 2000.0;        // measured; the pressure is reported
    recs[0].pressure_psi = 2500.0;
    recs[3].in_situ_viscosity_cp = 500.0;      // second polymer band
    const FirstMethodResult plain = screen_first_method(recs, lim);
    FirstMethodExplanation ex;
    const FirstMethodResult res = screen_first_method(recs, lim, 0, &ex);
    EXPECT_EQ(res.scores, plain.scores);
    const std::size_t n = recs.size();
    ASSERT_EQ(ex.points.size(), n * kMethodCount * kParamCount);

    std::array<DistanceBounds, kParamCount> bounds{};
    std::vector<ScreeningLimits> in_force;
    for (std::size_t r = 0; r < n; ++r) {
        ScreeningLimits l = lim;
        adjust_limits_for_reservoir(l, res.field_data[r], res.mmps[r]);
        const Distances d = measure_reservoir(res.field_data[r], l);
        for (std::size_t p = 0; p < kParamCount; ++p)
            for (double x : d[p]) widen_bounds(bounds[p], x);
        in_force.push_back(l);
    }
    for (std::size_t r = 0; r < n; ++r) {
        const Distances d = measure_reservoir(res.field_data[r], in_force[r]);
        for (std::size_t m = 0; m < kMethodCount; ++m) {
            for (std::size_t p = 0; p < kParamCount; ++p) {
                const std::size_t i = (r * kMethodCount + m) * kParamCount + p;
                SCOPED_TRACE(testing::Message() << "row " << r << " method " << m << " parameter " << p);
                const double x = parameter_value(res.field_data[r], p);
                EXPECT_TRUE(same(ex.value[i], x));
                EXPECT_EQ(ex.source[i], compared_source(res.sources[r], recs[r].measured_mmps, p, m));
                EXPECT_TRUE(same(ex.min[i], in_force[r][p][m].min));
                EXPECT_TRUE(same(ex.max[i], in_force[r][p][m].max));
                EXPECT_EQ(ex.stopper[i] != 0, lim[p][m].stopper);
                EXPECT_DOUBLE_EQ(ex.points[i], parameter_score(d[p][m], bounds[p]));
                EXPECT_DOUBLE_EQ(ex.score[i], res.scores[r * kMethodCount + m]);
            }
        }
    }
    // The measured MMP is the pressure limit of the CO2 methods, and their source.
    const std::size_t co2_pressure = (0 * kMethodCount + kHorzMiscCo2) * kParamCount + kReservoirPressure;
    EXPECT_DOUBLE_EQ(ex.min[co2_pressure], 2000.0);
    EXPECT_EQ(ex.source[co2_pressure], Source::measured);
    EXPECT_DOUBLE_EQ(res.window_min[kHorzMiscCo2], 2000.0);
    // 500 cP in situ: the polymer kh minimum of the second band.
    const std::size_t polymer_kh = (3 * kMethodCount + kPolymerFlooding) * kParamCount + kHorizontalPermeability;
    EXPECT_DOUBLE_EQ(ex.value[(3 * kMethodCount) * kParamCount + kOilViscosity], 500.0);
    EXPECT_DOUBLE_EQ(ex.min[polymer_kh], 1000.0);
}

TEST(ScreenFirstMethod, EmptyBatch) {
    const FirstMethodResult empty = screen_first_method({}, batch_limits());
    EXPECT_EQ(empty.failure, BatchFailure::none);
    EXPECT_TRUE(empty.scores.empty());
    EXPECT_TRUE(empty.window_min.empty());
}

// ------------------------------------------------------------------ 2019 batch

TEST(Screen2019Method, WeightedScoresAndPValuesOfEachRow) {
    ScreeningLimits2019 lim{};
    for (std::size_t m = 0; m < kMethodCount2019; ++m) {
        for (auto& row : lim) row[m].weighting = 0.0;
        lim[0][m] = {5, 10, 40, 100, 1.0};        // porosity 20: 1.0
        lim[1][m] = {5, 10, 40, 100, 1.0};        // permeability 1 mD: -1.0
        lim[2][m] = {0, 1000, 6000, 7600, 2.0};   // depth 6400: 0.5
    }
    ReservoirRecord2019 deep;
    deep.top_depth_ft = 7000.0;                   // p-value -0.25 on depth
    const std::vector<ReservoirRecord2019> recs = {ReservoirRecord2019{}, deep};
    const SecondMethodResult res = screen_2019_method(recs, lim);
    ASSERT_EQ(res.scores.size(), 2 * kMethodCount2019);
    ASSERT_EQ(res.p_values.size(), 2 * kMethodCount2019 * kParamCount2019);
    EXPECT_FALSE(res.division.invalid || res.division.divide_by_zero);
    const double want[kParamCount2019] = {1.0, -1.0, 0.5, -1.0, -1.0, -1.0, -1.0, -1.0};
    for (std::size_t m = 0; m < kMethodCount2019; ++m) {
        EXPECT_DOUBLE_EQ(res.scores[m], 0.2) << m;                         // 0.25, ties to even
        EXPECT_DOUBLE_EQ(res.scores[kMethodCount2019 + m], -0.1) << m;     // -0.125
        for (std::size_t p = 0; p < kParamCount2019; ++p)
            EXPECT_DOUBLE_EQ(res.p_values[m * kParamCount2019 + p], want[p]) << m << " " << p;
        EXPECT_DOUBLE_EQ(res.p_values[(kMethodCount2019 + m) * kParamCount2019 + 2], -0.25);
    }

    // Each row is rated with its own field data: a third row changes neither.
    ReservoirRecord2019 shallow;
    shallow.top_depth_ft = 500.0;                 // p-value -0.1 on depth
    const SecondMethodResult three = screen_2019_method({ReservoirRecord2019{}, deep, shallow}, lim);
    const double depth_p[3] = {0.5, -0.25, 2.0 * (500.0 - 1000.0) / 1000.0 + 1.0};
    const double score[3] = {0.2, -0.1, round_to_tenth((1.0 - 1.0 + 2.0 * depth_p[2]) / 4.0)};
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_DOUBLE_EQ(three.p_values[k * kMethodCount2019 * kParamCount2019 + 2], depth_p[k]) << k;
        EXPECT_DOUBLE_EQ(three.scores[k * kMethodCount2019], score[k]) << k;
    }
}

TEST(Screen2019Method, ExplanationHoldsTheRatedValuesAndLimits) {
    ScreeningLimits2019 lim{};
    for (std::size_t p = 0; p < kParamCount2019; ++p)
        for (std::size_t m = 0; m < kMethodCount2019; ++m)
            lim[p][m] = {1.0 + p, 10.0 + m, 40.0 + p, 100.0 + m, 1.0 + (p + m) % 3};
    ReservoirRecord2019 given;
    given.in_situ_viscosity_cp = 35.0;
    given.porosity_pct = 12.0;
    const std::vector<ReservoirRecord2019> recs = {ReservoirRecord2019{}, given};
    SecondMethodExplanation ex;
    const SecondMethodResult res = screen_2019_method(recs, lim, &ex);
    ASSERT_EQ(ex.value.size(), res.p_values.size());
    for (std::size_t r = 0; r < recs.size(); ++r) {
        for (std::size_t m = 0; m < kMethodCount2019; ++m) {
            for (std::size_t p = 0; p < kParamCount2019; ++p) {
                const std::size_t i = (r * kMethodCount2019 + m) * kParamCount2019 + p;
                const MethodLimits2019& l = lim[p][m];
                EXPECT_DOUBLE_EQ(ex.value[i], parameter_value_2019(res.field_data[r], p));
                EXPECT_EQ(ex.source[i], parameter_source_2019(res.sources[r], p));
                EXPECT_DOUBLE_EQ(res.p_values[i], p_value(ex.value[i], l.lower, l.min, l.max, l.upper));
                EXPECT_EQ((std::array<double, 5>{ex.lower[i], ex.min[i], ex.max[i], ex.upper[i], ex.weighting[i]}),
                          (std::array<double, 5>{l.lower, l.min, l.max, l.upper, l.weighting}));
                EXPECT_DOUBLE_EQ(ex.score[i], res.scores[r * kMethodCount2019 + m]);
            }
        }
    }
    EXPECT_DOUBLE_EQ(ex.value[kParamCount2019 * kMethodCount2019 + 4], 35.0);
    EXPECT_EQ(ex.source[kParamCount2019 * kMethodCount2019 + 4], Source::reported);
}

TEST(Screen2019Method, ZeroWeightsGiveNaNAndInvalidFlag) {
    ScreeningLimits2019 lim{};
    for (auto& row : lim)
        for (auto& cell : row) cell = {5, 10, 40, 100, 0.0};
    const SecondMethodResult res = screen_2019_method({ReservoirRecord2019{}}, lim);
    ASSERT_EQ(res.scores.size(), kMethodCount2019);
    for (double s : res.scores) EXPECT_TRUE(std::isnan(s));
    EXPECT_TRUE(res.division.invalid);
    EXPECT_FALSE(res.division.divide_by_zero);
}

// ------------------------------------------------------------- long-table order

TEST(LongTableOrder, StableCodePointOrderMissingLast) {
    using V = std::vector<std::int64_t>;
    // Labels m*3+r: (B,b)0 (A,b)1 (B,b)2 (B,a)3 (A,a)4 (B,a)5.
    EXPECT_EQ(long_table_order({"B", "A", "B"}, {false, false, false}, {"b", "a"}), (V{4, 1, 3, 5, 0, 2}));
    // Missing names sort last, and by method among themselves.
    EXPECT_EQ(long_table_order({"", "A"}, {true, false}, {"b", "a"}), (V{3, 1, 2, 0}));
    EXPECT_EQ(long_table_order({"zz", "", "aa"}, {false, true, false}, {"m"}), (V{2, 0, 1}));
    // Code points: "Z" < "a" < "z" < "\u00e9" (0xC3 0xA9).
    EXPECT_EQ(long_table_order({"\xC3\xA9", "a", "Z", "z"}, {false, false, false, false}, {"m"}),
              (V{2, 1, 3, 0}));
    std::vector<std::string_view> methods(kMethodNames.begin(), kMethodNames.end());
    EXPECT_EQ(long_table_order({"R"}, {false}, methods),
              (V{kAsp, kCss, kHorzMiscCo2, kHorzMiscHc, kHorzMiscN2, kHotWater, kPolymerFlooding, kSagd,
                 kSteamFlooding, kVertImmiscCo2, kVertImmiscHc, kVertImmiscN2, kVertMiscCo2, kVertMiscHc,
                 kVertMiscN2}));
}

}  // namespace
}  // namespace zelt
