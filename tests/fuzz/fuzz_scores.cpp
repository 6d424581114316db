// Distances, normalisation and scores of the first method over a few
// reservoirs with arbitrary data, against a plausible limit table with
// arbitrary edits.
//
// A distance is NaN or positive, never 0; a parameter's scores run from -1 at
// its smallest violation to -10 at its largest. A method knocked out by a violated
// stopper scores exactly -1.0, one with no violation 1.0; every other score
// is a tenth in [-1, 1]. The exception is the score arithmetic itself
// leaving the reals: a method violated by an infinite distance, or on a
// parameter whose smallest and largest distance differ by less than
// 9 / DBL_MAX, so that -9 / (max - min) overflows; there NaN and infinities
// may come out. A reservoir's field data
// and MMPs do not depend on the other reservoirs, and neither do its scores
// on the order of the reservoirs. A measured MMP is the MMP of its gas. The
// explanation of a run holds that run's scores, and its points rebuild them.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "fuzz_input.hpp"
#include "screening_batch.hpp"

namespace {

using zelt::kMethodCount;
using zelt::kParamCount;

// Plausible ranges per parameter: the physical range of the reservoir value,
// and the lower and upper limit every method starts from.
struct ParamRange {
    double lo, hi;          // reservoir values
    double min, max;        // limits
};
constexpr ParamRange kParams[kParamCount] = {
    {5.0, 60.0, 15.0, 45.0},          // gravity
    {0.1, 1e5, 0.5, 1000.0},          // viscosity
    {0.0, 20000.0, 1500.0, 9000.0},   // depth
    {0.0, 500.0, 10.0, 300.0},        // net pay
    {0.0, 1000.0, 1.0, 500.0},        // vertical permeability
    {0.0, 10000.0, 10.0, 5000.0},     // horizontal permeability
    {0.0, 10000.0, 500.0, 6000.0},    // pressure
    {40.0, 400.0, 60.0, 250.0},       // temperature
    {0.0, 100.0, 25.0, 100.0},        // oil saturation
    {0.0, 90.0, 0.0, 30.0},           // dip
    {0.0, 300000.0, 0.0, 150000.0},   // salinity
};

zelt::ScreeningLimits base_limits() {
    zelt::ScreeningLimits lim{};
    for (std::size_t p = 0; p < kParamCount; ++p) {
        for (std::size_t m = 0; m < kMethodCount; ++m) {
            lim[p][m] = zelt::MethodLimits{kParams[p].min, kParams[p].max, (p + m) % 3 == 0};
        }
    }
    // Pressure limits the MMPs fill in.
    for (std::size_t m : {zelt::kHorzMiscCo2, zelt::kHorzMiscHc, zelt::kHorzMiscN2,
                          zelt::kVertMiscCo2, zelt::kVertMiscHc, zelt::kVertMiscN2}) {
        lim[zelt::kReservoirPressure][m].min = zelt::kNaN;
    }
    for (std::size_t m : {zelt::kVertImmiscCo2, zelt::kVertImmiscHc, zelt::kVertImmiscN2}) {
        lim[zelt::kReservoirPressure][m].max = zelt::kNaN;
    }
    return lim;
}

zelt::ReservoirRecord reservoir(fuzz::Input& in) {
    const double ranges[12][2] = {{5, 60},  {0.1, 1e5}, {0, 20000}, {0, 500}, {0, 2000}, {0, 1e4},
                                  {0, 40},  {0, 80},    {0, 1e4},   {0, 200}, {0, 100},  {0, 3e5}};
    double v[12];
    for (int i = 0; i < 12; ++i) {
        v[i] = in.byte() % 4 == 0 ? zelt::kNaN : in.value(ranges[i][0], ranges[i][1]);
    }
    return zelt::ReservoirRecord{v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11]};
}

bool same_mmps(const zelt::ReservoirMmps& a, const zelt::ReservoirMmps& b) {
    return fuzz::same(a.co2, b.co2) && fuzz::same(a.hc, b.hc) && fuzz::same(a.n2, b.n2);
}

bool same_field_data(const zelt::FieldData& a, const zelt::FieldData& b) {
    for (std::size_t p = 0; p < kParamCount; ++p) {
        if (!fuzz::same(zelt::parameter_value(a, p), zelt::parameter_value(b, p))) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::size_t n = in.count(1, 4);
    std::vector<zelt::ReservoirRecord> records;
    for (std::size_t k = 0; k < n; ++k) records.push_back(reservoir(in));

    zelt::ScreeningLimits limits = base_limits();
    const std::size_t edits = in.count(0, 12);
    for (std::size_t e = 0; e < edits; ++e) {
        const std::size_t p = in.byte() % kParamCount;
        const std::size_t m = in.byte() % kMethodCount;
        zelt::MethodLimits& cell = limits[p][m];
        switch (in.byte() % 3) {
            case 0: cell.min = in.value(kParams[p].lo, kParams[p].hi); break;
            case 1: cell.max = in.value(kParams[p].lo, kParams[p].hi); break;
            default: cell.stopper = !cell.stopper; break;
        }
    }

    // Some reservoirs with a reported in-situ viscosity or measured MMPs.
    for (auto& r : records) {
        if (in.byte() % 3 == 0) r.in_situ_viscosity_cp = in.value(0.1, 1e5);
        if (in.byte() % 3 == 0) r.measured_mmps.co2 = in.value(500.0, 8000.0);
        if (in.byte() % 3 == 0) r.measured_mmps.n2 = in.value(1000.0, 30000.0);
    }

    zelt::FirstMethodExplanation ex;
    const zelt::FirstMethodResult result = zelt::screen_first_method(records, limits, 1, &ex);
    if (result.failure == zelt::BatchFailure::math_domain) return 0;
    if (result.failure == zelt::BatchFailure::non_finite) {
        // Refused, not scored: a field value overflowed.
        FUZZ_CHECK(std::isinf(zelt::parameter_value(result.field_data[result.failed_row], result.failed_param)),
                   "non-finite failure at a finite value (row %zu, param %zu)", result.failed_row,
                   result.failed_param);
        return 0;
    }
    for (std::size_t k = 0; k < n; ++k) {
        if (!std::isnan(records[k].measured_mmps.co2)) {
            FUZZ_CHECK(fuzz::same(result.mmps[k].co2, records[k].measured_mmps.co2), "measured CO2 MMP of %zu", k);
        }
        if (!std::isnan(records[k].in_situ_viscosity_cp)) {
            FUZZ_CHECK(fuzz::same(result.field_data[k].in_situ_viscosity_cp, records[k].in_situ_viscosity_cp),
                       "in-situ viscosity of %zu", k);
        }
    }
    FUZZ_CHECK(result.failure == zelt::BatchFailure::none, "failure %d", static_cast<int>(result.failure));
    FUZZ_CHECK(result.scores.size() == n * kMethodCount, "%zu scores", result.scores.size());

    // Distances of every reservoir against the limits adjusted to it alone.
    std::vector<zelt::Distances> dist(n);
    std::array<zelt::DistanceBounds, kParamCount> bounds{};
    for (std::size_t k = 0; k < n; ++k) {
        zelt::ScreeningLimits own = limits;
        zelt::adjust_limits_for_reservoir(own, result.field_data[k], result.mmps[k]);
        dist[k] = zelt::measure_reservoir(result.field_data[k], own);
        for (std::size_t p = 0; p < kParamCount; ++p) {
            for (std::size_t m = 0; m < kMethodCount; ++m) {
                const double d = dist[k][p][m];
                FUZZ_CHECK(std::isnan(d) || d > 0.0, "distance %.17g (reservoir %zu, param %zu, method %zu)",
                           d, k, p, m);
                zelt::widen_bounds(bounds[p], d);
            }
        }
    }
    bool overflowing_spread[kParamCount];
    for (std::size_t p = 0; p < kParamCount; ++p) {
        const double spread = bounds[p].max - bounds[p].min;
        overflowing_spread[p] = bounds[p].max != bounds[p].min && !std::isfinite(-9.0 / spread);
        // Parameter scores run from -1 at the smallest violation to -10 at the largest.
        if (overflowing_spread[p] || !std::isfinite(bounds[p].max) || bounds[p].max == bounds[p].min) continue;
        FUZZ_CHECK(zelt::parameter_score(bounds[p].min, bounds[p]) == -1.0, "smallest violation of %zu", p);
        const double largest = zelt::parameter_score(bounds[p].max, bounds[p]);
        FUZZ_CHECK(std::fabs(largest + 10.0) <= 1e-12, "largest violation of %zu scores %.17g", p, largest);
        for (std::size_t k = 0; k < n; ++k) {
            for (std::size_t m = 0; m < kMethodCount; ++m) {
                const double d = dist[k][p][m];
                if (std::isnan(d)) continue;
                const double s = zelt::parameter_score(d, bounds[p]);
                FUZZ_CHECK(s <= -1.0 && s >= -10.0 - 1e-12, "distance %.17g of %zu scores %.17g", d, p, s);
            }
        }
    }

    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t m = 0; m < kMethodCount; ++m) {
            const double s = result.scores[k * kMethodCount + m];
            bool knocked_out = false, violated = false, outside_reals = false;
            for (std::size_t p = 0; p < kParamCount; ++p) {
                const double d = dist[k][p][m];
                if (std::isnan(d)) continue;
                violated = true;
                knocked_out = knocked_out || limits[p][m].stopper;
                outside_reals = outside_reals || std::isinf(d) || overflowing_spread[p];
            }
            zelt::MethodScore rebuilt;
            for (std::size_t p = 0; p < kParamCount; ++p) {
                const std::size_t i = (k * kMethodCount + m) * kParamCount + p;
                const double points = zelt::parameter_score(dist[k][p][m], bounds[p]);
                FUZZ_CHECK(fuzz::same(ex.points[i], points), "explained points %.17g, not %.17g", ex.points[i], points);
                rebuilt.add(ex.points[i], ex.stopper[i] != 0);
                FUZZ_CHECK(fuzz::same(ex.score[i], s), "explained score %.17g, scored %.17g", ex.score[i], s);
            }
            FUZZ_CHECK(fuzz::same(rebuilt.value(), s), "points rebuild %.17g, scored %.17g", rebuilt.value(), s);
            if (knocked_out) {
                FUZZ_CHECK(s == zelt::kKnockedOutScore, "knocked-out method scores %.17g", s);
            } else if (!violated) {
                FUZZ_CHECK(s == 1.0, "method inside every range scores %.17g", s);
            } else if (!outside_reals) {
                FUZZ_CHECK(s >= -1.0 && s <= 1.0 && fuzz::is_tenth(s),
                           "score %.17g (reservoir %zu, method %zu)", s, k, m);
            }
        }
    }

    // Each reservoir alone: the same field data and MMPs.
    for (std::size_t k = 0; k < n; ++k) {
        const zelt::FirstMethodResult alone = zelt::screen_first_method({records[k]}, limits, 1);
        FUZZ_CHECK(alone.failure == zelt::BatchFailure::none, "alone: failure");
        FUZZ_CHECK(same_field_data(alone.field_data[0], result.field_data[k]), "field data of %zu", k);
        FUZZ_CHECK(same_mmps(alone.mmps[0], result.mmps[k]), "MMPs of %zu", k);
    }
    // The reservoirs in reverse: every reservoir keeps its scores.
    std::vector<zelt::ReservoirRecord> reversed(records.rbegin(), records.rend());
    const zelt::FirstMethodResult back = zelt::screen_first_method(reversed, limits, 1);
    const zelt::FirstMethodResult plain = zelt::screen_first_method(records, limits, 1);
    FUZZ_CHECK(plain.scores.size() == result.scores.size(), "scores without the explanation");
    for (std::size_t i = 0; i < plain.scores.size(); ++i) {
        FUZZ_CHECK(fuzz::same(plain.scores[i], result.scores[i]), "score %zu changes with the explanation", i);
    }
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t m = 0; m < kMethodCount; ++m) {
            const double a = result.scores[k * kMethodCount + m];
            const double b = back.scores[(n - 1 - k) * kMethodCount + m];
            FUZZ_CHECK(fuzz::same(a, b), "reservoir %zu method %zu: %.17g, reversed %.17g", k, m, a, b);
        }
    }
    return 0;
}
