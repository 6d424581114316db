// Decline arithmetic of the forecasting core on arbitrary inputs.
//
// Arps (powers taken with the C library's pow): q(0) = qi and Q(0) = 0
// wherever the formulas are defined; inside the fitter's bounds (qi 0.01-1e5,
// DiTan 1e-4-99, b 1.05-2) the rate is positive and does not rise with time,
// the cumulative is non-negative and does not fall, and qi from the
// cumulative gives qi back. The cumulative walk starts at 0, stops before the
// first NaN rate and never decreases for non-negative rates over increasing
// times. A linear percentile lies between the smallest and largest value
// (q 0 and 100 give them exactly) and does not depend on the order of the
// values. A month has num_bins bins, a bin has rows exactly when its band
// is not empty, and a band is symmetric: P90 = -P10 <= 0. A model output's
// bin is the first whose bound lies above it, else the last.
#include <algorithm>
#include <cmath>
#include <vector>

#include "fuzz_input.hpp"
#include "history_match.hpp"

namespace {

constexpr double kEps = 2.220446049250313e-16;

double rate(double qi, double di, double b, double t) {
    return quon::arps_rate_from_power(qi, std::pow(quon::arps_base(di, b, t), quon::arps_rate_exponent(b)));
}

double cumulative(double qi, double di, double b, double t, double f) {
    const double power = std::pow(quon::arps_base(di, b, t), quon::arps_cumulative_exponent(b));
    return quon::arps_cumulative_from_power(quon::arps_cumulative_scale(qi, di, b, f), power);
}

double qi_from_cumulative(double di, double b, double t, double q, double f) {
    const double power = std::pow(quon::arps_base(di, b, t), quon::arps_cumulative_exponent(b));
    return quon::qi_from_power(quon::qi_numerator(di, b, q, f), power);
}

void check_arps(fuzz::Input& in) {
    const double qi = in.value(0.01, 1e5);
    const double di = in.value(1e-4, 99.0);
    const double b = in.value(1.05, 2.0);
    double t1 = in.value(0.0, 600.0);
    double t2 = in.value(0.0, 600.0);
    const double f = quon::kQUnitFactor;

    const double q0 = rate(qi, di, b, 0.0);
    if (std::isfinite(b * di)) FUZZ_CHECK(fuzz::same(q0, qi), "q(0) %.17g for qi %.17g", q0, qi);
    const double scale = f * (qi / (di * (1.0 - b)));
    const double c0 = cumulative(qi, di, b, 0.0, f);
    if (std::isfinite(scale) && std::isfinite(b * di)) FUZZ_CHECK(c0 == 0.0, "Q(0) %.17g", c0);

    const bool fit_domain = qi >= 0.01 && qi <= 1e5 && di >= 1e-4 && di <= 99.0 && b >= 1.05 &&
                            b <= 2.0 && t1 >= 0.0 && t1 <= 1e4 && t2 >= 0.0 && t2 <= 1e4;
    if (!fit_domain) return;
    if (t2 < t1) std::swap(t1, t2);
    const double r1 = rate(qi, di, b, t1), r2 = rate(qi, di, b, t2);
    const double c1 = cumulative(qi, di, b, t1, f), c2 = cumulative(qi, di, b, t2, f);
    FUZZ_CHECK(std::isfinite(r1) && r1 > 0.0 && r2 <= r1 * (1.0 + 4 * kEps),
               "rates %.17g at %.17g, %.17g at %.17g (qi %.17g di %.17g b %.17g)", r1, t1, r2, t2, qi, di, b);
    FUZZ_CHECK(std::isfinite(c1) && c1 >= 0.0 && c2 >= c1 - 4 * kEps * std::fabs(scale),
               "cumulatives %.17g at %.17g, %.17g at %.17g (qi %.17g di %.17g b %.17g)", c1, t1, c2, t2, qi, di, b);
    if (c2 > 0.0) {
        const double back = qi_from_cumulative(di, b, t2, c2, f);
        FUZZ_CHECK(std::fabs(back - qi) <= 1e-13 * qi, "qi %.17g from Q %.17g at t %.17g (di %.17g b %.17g) is %.17g",
                   qi, c2, t2, di, b, back);
    }
}

void check_walk(fuzz::Input& in) {
    const std::size_t n = in.count(0, 24);
    const bool monotone_inputs = in.flag();
    std::vector<double> t(n), rate(n);
    double now = in.value(-100.0, 100.0);
    for (std::size_t i = 0; i < n; ++i) {
        if (monotone_inputs) {
            const double step = std::fabs(in.value(0.0, 50.0));
            if (std::isfinite(now + step)) now += step;
            t[i] = std::isfinite(now) ? now : 0.0;
            const double r = in.byte() % 8 == 0 ? std::nan("") : std::fabs(in.value(0.0, 1e5));
            rate[i] = std::isinf(r) ? 1e5 : r;
        } else {
            t[i] = in.value(-100.0, 1000.0);
            rate[i] = in.value(-10.0, 1e5);
        }
    }
    const std::vector<double> q = quon::cumulative_walk(t.data(), rate.data(), n, quon::kQUnitFactor);
    std::size_t expected = std::max<std::size_t>(n, 1);
    for (std::size_t i = 1; i < n; ++i) {
        if (std::isnan(rate[i])) {
            expected = i;
            break;
        }
    }
    FUZZ_CHECK(q.size() == expected, "walk of %zu gave %zu values, expected %zu", n, q.size(), expected);
    FUZZ_CHECK(q[0] == 0.0, "walk starts at %.17g", q[0]);
    if (n > 0) {
        // The first rate never counts.
        std::vector<double> other = rate;
        other[0] = other[0] == 1.0 ? 2.0 : 1.0;
        const std::vector<double> q2 = quon::cumulative_walk(t.data(), other.data(), n, quon::kQUnitFactor);
        FUZZ_CHECK(q2.size() == q.size(), "first rate changed the length");
        for (std::size_t i = 0; i < q.size(); ++i) FUZZ_CHECK(fuzz::same(q[i], q2[i]), "first rate counted at %zu", i);
    }
    if (!monotone_inputs) return;
    for (std::size_t i = 1; i < q.size(); ++i) {
        FUZZ_CHECK(q[i] >= q[i - 1], "walk falls at %zu: %.17g after %.17g", i, q[i], q[i - 1]);
    }
}

void check_percentile(fuzz::Input& in) {
    const std::size_t n = in.count(1, 16);
    std::vector<double> v(n);
    for (double& x : v) x = in.value(-1e6, 1e6);
    double q = in.value(0.0, 100.0);
    if (!(q >= 0.0 && q <= 100.0)) q = 50.0;
    const double p = quon::percentile_linear(v, q);
    const bool any_nan = std::any_of(v.begin(), v.end(), [](double x) { return std::isnan(x); });
    if (any_nan) {
        FUZZ_CHECK(std::isnan(p), "NaN among the values gave %.17g", p);
        return;
    }
    std::vector<double> reversed(v.rbegin(), v.rend());
    const double p_reversed = quon::percentile_linear(reversed, q);
    FUZZ_CHECK(p == p_reversed || (std::isnan(p) && std::isnan(p_reversed)),
               "order of the values counts: %.17g and %.17g", p, p_reversed);
    const double lo = *std::min_element(v.begin(), v.end());
    const double hi = *std::max_element(v.begin(), v.end());
    if (!std::isfinite(hi - lo)) return;   // the interpolation step itself overflows
    FUZZ_CHECK(p >= lo && p <= hi, "percentile %.17g of %zu values outside [%.17g, %.17g] at q %.17g", p, n, lo,
               hi, q);
    FUZZ_CHECK(quon::percentile_linear(v, 0.0) == lo, "q 0 is not the smallest value");
    FUZZ_CHECK(quon::percentile_linear(v, 100.0) == hi, "q 100 is not the largest value");
}

void check_bands(fuzz::Input& in) {
    const std::size_t n = in.count(1, 24);
    const long bins = static_cast<long>(in.count(1, 12));
    std::vector<double> model(n), real(n);
    for (std::size_t i = 0; i < n; ++i) {
        model[i] = in.value(-10.0, 1e4);
        real[i] = in.value(-10.0, 1e4);
    }
    const std::vector<quon::BinRange> ranges = quon::month_bins(model.data(), n, bins);
    FUZZ_CHECK(ranges.size() == static_cast<std::size_t>(bins), "%zu bins of %ld", ranges.size(), bins);
    std::vector<double> bounds;
    for (const quon::BinRange& range : ranges) {
        bounds.push_back(range.upper);
        const quon::BinBand band = quon::bin_band(model.data(), real.data(), n, range.lower, range.upper);
        FUZZ_CHECK(band.empty == !range.has_rows, "bin [%.17g, %.17g]: rows %d, band empty %d", range.lower,
                   range.upper, range.has_rows, band.empty);
        if (band.empty || band.no_valid_rows) continue;
        FUZZ_CHECK(fuzz::same(band.p90, -band.p10), "P10 %.17g, P90 %.17g", band.p10, band.p90);
        FUZZ_CHECK(std::isnan(band.p10) || band.p10 >= 0.0, "P10 %.17g", band.p10);
    }
    const double output = in.value(-10.0, 1e4);
    const long bin = quon::output_bin(bins, [&](long k) { return output < bounds[static_cast<std::size_t>(k)]; });
    FUZZ_CHECK(bin >= 0 && bin < bins, "bin %ld of %ld", bin, bins);
    for (long k = 0; k < bin; ++k)
        FUZZ_CHECK(!(output < bounds[static_cast<std::size_t>(k)]), "output %.17g below bound %ld before bin %ld",
                   output, k, bin);
    FUZZ_CHECK(bin == bins - 1 || output < bounds[static_cast<std::size_t>(bin)],
               "output %.17g not below the bound of bin %ld", output, bin);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    switch (in.byte() % 4) {
        case 0: check_arps(in); break;
        case 1: check_walk(in); break;
        case 2: check_percentile(in); break;
        default: check_bands(in); break;
    }
    return 0;
}
