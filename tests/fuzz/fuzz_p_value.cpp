// p-values and the 2019 method's weighted scores on arbitrary values and
// limits.
//
// A p-value lies in [-1, 1]: 1 inside [min, max], 1 on a side whose outer
// limit is a switch value (lower 0.01, upper 100000), -1 for a NaN value, and
// it falls monotonically away from [min, max]. The one way out is a band
// whose width (min - lower or upper - max), or twice the value's distance
// into it, overflows, where the band's quotient may be NaN or infinite. A 2019 score with
// non-negative weights of positive sum is a tenth in [-1, 1]; zero weights give NaN or an
// infinity and raise the matching division flag. A reservoir's p-values and
// scores do not depend on the other reservoirs.
#include <cmath>
#include <vector>

#include "fuzz_input.hpp"
#include "screening_batch.hpp"

namespace {

using zelt::kMethodCount2019;
using zelt::kParamCount2019;

// Which of the band tests of p_value decides: 1 inside, 2 the lower band, 3 the
// upper band, 0 none.
int band(double param, double lower, double min_val, double max_val, double upper) {
    if (min_val <= param && param <= max_val) return 1;
    if (lower <= param && param < min_val) return 2;
    if (max_val < param && param <= upper) return 3;
    return 0;
}

void check_p_value(double param, double lower, double min_val, double max_val, double upper) {
    const double pv = zelt::p_value(param, lower, min_val, max_val, upper);
    const int b = band(param, lower, min_val, max_val, upper);
    // The band's width, or twice the value's distance into it, overflows:
    // the band's quotient may then be NaN or infinite.
    if (b == 2 && !(std::isfinite(lower - min_val) && std::isfinite(-2.0 * (param - min_val)))) return;
    if (b == 3 && !(std::isfinite(upper - max_val) && std::isfinite(-2.0 * (param - max_val)))) return;
    FUZZ_CHECK(pv >= -1.0 && pv <= 1.0, "p_value(%.17g, %.17g, %.17g, %.17g, %.17g) = %.17g", param,
               lower, min_val, max_val, upper, pv);
    if (std::isnan(param) || b == 0) FUZZ_CHECK(pv == -1.0, "value %.17g outside every band rated %.17g", param, pv);
    if (b == 1) FUZZ_CHECK(pv == 1.0, "inside rated %.17g", pv);
    if (b == 2 && lower == zelt::kLowerSwitch) FUZZ_CHECK(pv == 1.0, "lower switch rated %.17g", pv);
    if (b == 3 && upper == zelt::kUpperSwitch) FUZZ_CHECK(pv == 1.0, "upper switch rated %.17g", pv);
}

// Nested limits: the rating does not rise as the value moves away from [min, max].
void check_monotone(double x1, double x2, double lower, double min_val, double max_val, double upper) {
    if (!(lower <= min_val && min_val <= max_val && max_val <= upper)) return;
    if (!std::isfinite(2.0 * (lower - min_val)) || !std::isfinite(2.0 * (upper - max_val))) return;
    if (x2 < x1) std::swap(x1, x2);
    const double p1 = zelt::p_value(x1, lower, min_val, max_val, upper);
    const double p2 = zelt::p_value(x2, lower, min_val, max_val, upper);
    if (x2 <= min_val) FUZZ_CHECK(p1 <= p2, "below: %.17g -> %.17g, %.17g -> %.17g", x1, p1, x2, p2);
    if (x1 >= max_val) FUZZ_CHECK(p1 >= p2, "above: %.17g -> %.17g, %.17g -> %.17g", x1, p1, x2, p2);
}

zelt::ReservoirRecord2019 reservoir(fuzz::Input& in) {
    const double ranges[9][2] = {{0, 40},   {0, 1e4}, {0, 20000}, {5, 60}, {0.1, 1e5},
                                 {0, 200},  {0, 100}, {0, 2000},  {0, 500}};
    double v[9];
    for (int i = 0; i < 9; ++i) v[i] = in.byte() % 4 == 0 ? zelt::kNaN : in.value(ranges[i][0], ranges[i][1]);
    return zelt::ReservoirRecord2019{v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8]};
}

void check_batch(fuzz::Input& in) {
    // Plausible nested limits per parameter, then arbitrary edits.
    const double base[kParamCount2019][4] = {{5, 10, 30, 40},       {1, 10, 1000, 5000},
                                             {500, 1500, 8000, 12000}, {10, 20, 40, 50},
                                             {0.01, 1, 100, 1000},  {50, 100, 250, 350},
                                             {20, 40, 80, 100},     {5, 10, 100, 100000.0}};
    zelt::ScreeningLimits2019 limits{};
    for (std::size_t p = 0; p < kParamCount2019; ++p) {
        for (std::size_t m = 0; m < kMethodCount2019; ++m) {
            limits[p][m] = {base[p][0], base[p][1], base[p][2], base[p][3], 1.0 + double((p + m) % 3)};
        }
    }
    const std::size_t edits = in.count(0, 10);
    for (std::size_t e = 0; e < edits; ++e) {
        zelt::MethodLimits2019& cell = limits[in.byte() % kParamCount2019][in.byte() % kMethodCount2019];
        double* fields[] = {&cell.lower, &cell.min, &cell.max, &cell.upper, &cell.weighting};
        const std::size_t f = in.byte() % 5;
        const double v = in.value(f == 4 ? 0.0 : -100.0, f == 4 ? 10.0 : 20000.0);
        *fields[f] = f == 4 ? std::fabs(v) : v;   // weights are never negative
    }
    const std::size_t n = in.count(1, 4);
    std::vector<zelt::ReservoirRecord2019> records;
    for (std::size_t k = 0; k < n; ++k) records.push_back(reservoir(in));

    const zelt::SecondMethodResult result = zelt::screen_2019_method(records, limits);
    bool zero_over_zero = false, x_over_zero = false;
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t m = 0; m < kMethodCount2019; ++m) {
            double weight_sum = 0.0, numerator = 0.0;
            bool weights_finite = true, p_values_real = true;
            for (std::size_t p = 0; p < kParamCount2019; ++p) {
                const zelt::MethodLimits2019& l = limits[p][m];
                const double x = zelt::parameter_value_2019(result.field_data[k], p);
                const double pv = result.p_values[(k * kMethodCount2019 + m) * kParamCount2019 + p];
                check_p_value(x, l.lower, l.min, l.max, l.upper);
                FUZZ_CHECK(fuzz::same(pv, zelt::p_value(x, l.lower, l.min, l.max, l.upper)), "p-value");
                p_values_real = p_values_real && pv >= -1.0 && pv <= 1.0;
                weights_finite = weights_finite && std::isfinite(l.weighting);
                numerator += l.weighting * pv;
                weight_sum += l.weighting;
            }
            const double s = result.scores[k * kMethodCount2019 + m];
            if (weights_finite && weight_sum == 0.0) {
                zero_over_zero = zero_over_zero || numerator == 0.0;
                x_over_zero = x_over_zero || (numerator != 0.0 && !std::isnan(numerator));
                FUZZ_CHECK(!std::isfinite(s), "zero weights give %.17g", s);
            } else if (weights_finite && std::isfinite(weight_sum) && p_values_real) {
                FUZZ_CHECK(s >= -1.0 && s <= 1.0 && fuzz::is_tenth(s), "2019 score %.17g", s);
            }
        }
    }
    FUZZ_CHECK(result.division.invalid == zero_over_zero, "0/0 flag");
    FUZZ_CHECK(result.division.divide_by_zero == x_over_zero, "x/0 flag");

    // Each reservoir alone rates the same.
    for (std::size_t k = 0; k < n; ++k) {
        const zelt::SecondMethodResult alone = zelt::screen_2019_method({records[k]}, limits);
        for (std::size_t i = 0; i < kMethodCount2019; ++i) {
            FUZZ_CHECK(fuzz::same(alone.scores[i], result.scores[k * kMethodCount2019 + i]),
                       "reservoir %zu method %zu alone", k, i);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    if (in.flag()) {
        check_batch(in);
        return 0;
    }
    const double lower = in.value(-10.0, 10.0);
    const double min_val = in.value(0.0, 20.0);
    const double max_val = in.value(10.0, 50.0);
    const double upper = in.value(40.0, 100.0);
    const double x1 = in.value(-20.0, 120.0);
    const double x2 = in.value(-20.0, 120.0);
    check_p_value(x1, lower, min_val, max_val, upper);
    check_monotone(x1, x2, lower, min_val, max_val, upper);
    return 0;
}
