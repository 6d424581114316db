#include "history_match.hpp"

#include <algorithm>
#include <cmath>

namespace quon {

double arps_base(double di_tan, double b, double t) { return 1.0 + (b * di_tan) * t; }

std::vector<double> arps_bases(double di_tan, double b, const std::vector<double>& t) {
    std::vector<double> bases(t.size());
    for (std::size_t i = 0; i < t.size(); ++i) bases[i] = arps_base(di_tan, b, t[i]);
    return bases;
}

double arps_rate_exponent(double b) { return -1.0 / b; }

double arps_cumulative_exponent(double b) { return 1.0 - 1.0 / b; }

double arps_rate_from_power(double qi, double power) { return qi * power; }

std::vector<double> arps_rates_from_powers(double qi, const std::vector<double>& powers) {
    std::vector<double> rates(powers.size());
    for (std::size_t i = 0; i < powers.size(); ++i) rates[i] = arps_rate_from_power(qi, powers[i]);
    return rates;
}

double arps_cumulative_scale(double qi, double di_tan, double b, double q_unit_factor) {
    return q_unit_factor * (qi / (di_tan * (1.0 - b)));
}

double arps_cumulative_from_power(double scale, double power) { return scale * (1.0 - power); }

std::vector<double> arps_cumulatives_from_powers(double scale, const std::vector<double>& powers) {
    std::vector<double> cumulatives(powers.size());
    for (std::size_t i = 0; i < powers.size(); ++i)
        cumulatives[i] = arps_cumulative_from_power(scale, powers[i]);
    return cumulatives;
}

double qi_numerator(double di_tan, double b, double cumulative, double q_unit_factor) {
    return ((cumulative / q_unit_factor) * di_tan) * (1.0 - b);
}

double qi_from_power(double numerator, double power) { return numerator / (1.0 - power); }

std::vector<double> cumulative_walk(const double* t, const double* rate, std::size_t n,
                                    double q_unit_factor) {
    std::vector<double> q{0.0};
    q.reserve(n == 0 ? 1 : n);
    double total = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        if (std::isnan(rate[i])) break;
        total = total + (q_unit_factor * rate[i]) * (t[i] - t[i - 1]);
        q.push_back(total);
    }
    return q;
}

double percentile_linear(std::vector<double> values, double q) {
    const std::size_t n = values.size();
    for (double v : values)
        if (std::isnan(v)) return std::nan("");
    std::sort(values.begin(), values.end());
    const double virtual_index = static_cast<double>(n - 1) * (q / 100.0);
    // Positions as numpy takes them: at or past the last order statistic
    // both neighbours are the last value and the weight is measured from -1.
    std::size_t previous, next;
    double gamma;
    if (virtual_index >= static_cast<double>(n - 1)) {
        previous = next = n - 1;
        gamma = virtual_index + 1.0;
    } else if (virtual_index < 0.0) {
        previous = next = 0;
        gamma = virtual_index;
    } else {
        const double floor_index = std::floor(virtual_index);
        previous = static_cast<std::size_t>(floor_index);
        next = previous + 1;
        gamma = virtual_index - floor_index;
    }
    const double a = values[previous];
    const double b = values[next];
    const double diff = b - a;
    // Interpolation from the nearer end, for symmetry.
    if (gamma >= 0.5) return b - diff * (1.0 - gamma);
    return a + diff * gamma;
}

MinMax scan_min_max(const double* values, std::size_t n) {
    MinMax out{values[0], values[0]};
    for (std::size_t i = 1; i < n; ++i) {
        if (values[i] > out.max) out.max = values[i];
        if (values[i] < out.min) out.min = values[i];
    }
    return out;
}

bool bin_has_rows(const double* model, std::size_t n, double lower, double upper) {
    for (std::size_t i = 0; i < n; ++i)
        if (model[i] >= lower && model[i] <= upper) return true;
    return false;
}

std::vector<BinRange> month_bins(const double* model, std::size_t n, long num_bins) {
    const MinMax range = scan_min_max(model, n);
    const double width = (range.max - range.min) / static_cast<double>(num_bins);
    std::vector<BinRange> bins(static_cast<std::size_t>(num_bins));
    for (std::size_t k = 0; k < bins.size(); ++k) {
        BinRange& bin = bins[k];
        bin.lower = range.min + width * static_cast<double>(k);
        bin.upper = bin.lower + width;
        bin.has_rows = bin_has_rows(model, n, bin.lower, bin.upper);
    }
    return bins;
}

BinBand bin_band(const double* model, const double* real, std::size_t n, double lower,
                 double upper) {
    BinBand band;
    band.upper = upper;
    std::vector<double> misses;
    for (std::size_t i = 0; i < n; ++i) {
        const double m = model[i];
        if (!(m >= lower && m <= upper)) continue;
        band.empty = false;
        const double r = real[i];
        if (m > 0.0 && r > 0.0) misses.push_back((r - m) / m);
    }
    if (band.empty) return band;
    if (misses.empty()) {
        band.no_valid_rows = true;
        return band;
    }
    const double p10 = percentile_linear(misses, 90.0);
    const double p90 = percentile_linear(misses, 10.0);
    const double adj = 0.5 * (std::fabs(p90) + std::fabs(p10));
    band.p10 = adj;
    band.p90 = -adj;
    return band;
}

}  // namespace quon
