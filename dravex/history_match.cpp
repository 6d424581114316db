#include "history_match.hpp"

#include <algorithm>
#include <cmath>

namespace quon {

double arps_rate(double qi, double di_tan, double b, double t) {
    const double base = 1.0 + (b * di_tan) * t;
    const double exponent = -1.0 / b;
    return qi * std::pow(base, exponent);
}

double arps_cumulative(double qi, double di_tan, double b, double t, double q_unit_factor) {
    const double scale = q_unit_factor * (qi / (di_tan * (1.0 - b)));
    const double base = 1.0 + (b * di_tan) * t;
    const double exponent = 1.0 - 1.0 / b;
    return scale * (1.0 - std::pow(base, exponent));
}

double qi_from_cumulative(double di_tan, double b, double t, double cumulative,
                          double q_unit_factor) {
    const double numerator = ((cumulative / q_unit_factor) * di_tan) * (1.0 - b);
    const double base = 1.0 + (b * di_tan) * t;
    const double exponent = 1.0 - 1.0 / b;
    return numerator / (1.0 - std::pow(base, exponent));
}

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

MonthBands month_bands(const double* model, const double* real, std::size_t n, long num_bins) {
    MonthBands out;
    const MinMax range = scan_min_max(model, n);
    out.min_model = range.min;
    out.max_model = range.max;
    const double delta = (range.max - range.min) / static_cast<double>(num_bins);
    for (long bin = 0; bin < num_bins; ++bin) {
        const double lower = range.min + delta * static_cast<double>(bin);
        out.bins.push_back(bin_band(model, real, n, lower, lower + delta));
    }
    return out;
}

}  // namespace quon
