// Decline-curve arithmetic of the forecasting module: Arps hyperbolic rate
// and cumulative volume, the initial rate that reproduces a cumulative, the
// cumulative walk over a measured rate history, the P10/P90 band of a
// month's test predictions and the bin of a model output.
//
// Plain C++ with no Python in it. Units:
//   t        months from the start of production
//   qi, q    rate, volume per day
//   di_tan   initial nominal (tangent) decline, 1/month
//   b        hyperbolic exponent, dimensionless
//   Q        cumulative volume, thousands of the rate's volume unit
//   q_unit_factor  turns (volume/day) x months into thousands of volume
//                  units: 0.001 x 30.4375 by default
//
// The Arps formulas are split around their one power, base^exponent, which
// the caller takes: the module takes numpy's power, whose results are not
// always those of the C library's pow, so that its numbers are the
// interpreter's bit for bit. The functions here form the bases and the
// exponent and finish the formulas from the powers.
//
// Every formula is evaluated operation by operation in a fixed order, in
// IEEE double arithmetic: a division by zero gives an infinity or NaN here;
// the module decides what the caller sees.
#pragma once

#include <cstddef>
#include <vector>

namespace quon {

inline constexpr double kNormTimeCoeff = 30.4375;                  // days per month
inline constexpr double kQUnitFactor = 0.001 * kNormTimeCoeff;      // 0.0304375
inline constexpr double kBPlay = 1.3;                                // play's b

// ------------------------------------------------------------- Arps decline
//   q(t) = qi * base(t)^(-1/b)
//   Q(t) = f * (qi / (di_tan*(1-b))) * (1 - base(t)^(1 - 1/b))
//   base(t) = 1 + b*di_tan*t
// No special case for b = 0 (exponential) or b = 1 (harmonic).

// 1 + (b*di_tan)*t.
double arps_base(double di_tan, double b, double t);
// arps_base of every time, in order.
std::vector<double> arps_bases(double di_tan, double b, const std::vector<double>& t);

double arps_rate_exponent(double b);        // -1/b
double arps_cumulative_exponent(double b);  // 1 - 1/b

// qi * power: the rate, volume/day, from base^arps_rate_exponent.
double arps_rate_from_power(double qi, double power);
std::vector<double> arps_rates_from_powers(double qi, const std::vector<double>& powers);

// f * (qi / (di_tan*(1-b))): the cumulative's factor, thousands of volume
// units.
double arps_cumulative_scale(double qi, double di_tan, double b, double q_unit_factor);
// scale * (1 - power): the cumulative, thousands of volume units, from
// base^arps_cumulative_exponent; Q(0) = 0.
double arps_cumulative_from_power(double scale, double power);
std::vector<double> arps_cumulatives_from_powers(double scale, const std::vector<double>& powers);

// The qi for which the cumulative at t equals `cumulative`:
//   qi = ((cumulative/f) * di_tan * (1-b)) / (1 - base(t)^(1 - 1/b)).
// The numerator, rate x months ...
double qi_numerator(double di_tan, double b, double cumulative, double q_unit_factor);
// ... and the quotient, from base^arps_cumulative_exponent.
double qi_from_power(double numerator, double power);

// ---------------------------------------------------------- cumulative walk

// Running cumulative volume of a rate history: element 0 is 0, element i
// adds q_unit_factor * rate[i] * (t[i] - t[i-1]) (the rate at the end of
// each interval applies to the whole interval; rate[0] is never used). The
// walk stops before the first NaN rate at i >= 1, so the result may be
// shorter than `t`. `rate` must hold at least n values.
std::vector<double> cumulative_walk(const double* t, const double* rate, std::size_t n,
                                    double q_unit_factor);

// -------------------------------------------------------------- P10/P90 bands

// The q-th percentile (q in percent, 0..100) by linear interpolation between
// order statistics, evaluated exactly as numpy's default method does.
// NaN if any value is NaN. `values` must not be empty.
double percentile_linear(std::vector<double> values, double q);

// Largest and smallest of values[0..n) as a plain scan in order does it:
// the first value starts both, a later one replaces it only when strictly
// larger (smaller), so a NaN in first place wins and later NaNs are passed
// over. Requires n >= 1.
struct MinMax {
    double min = 0.0;
    double max = 0.0;
};
MinMax scan_min_max(const double* values, std::size_t n);

// Whether any model value lies in [lower, upper].
bool bin_has_rows(const double* model, std::size_t n, double lower, double upper);

// One of a month's equal-width bins of the model output (model units).
struct BinRange {
    double lower = 0.0;
    double upper = 0.0;     // lower + width, the bin's bound
    bool has_rows = false;  // some model value lies in [lower, upper]
};

// `num_bins` bins of width (max - min) / num_bins from the smallest model
// value up (min and max as scan_min_max takes them, so a leading NaN makes
// every bin NaN and empty). Bin k starts at min + width*k; its upper bound
// is computed as lower + width, not taken from max. Requires n >= 1 and
// num_bins >= 1.
std::vector<BinRange> month_bins(const double* model, std::size_t n, long num_bins);

// Band of one bin of a month's test predictions.
struct BinBand {
    double upper = 0.0;          // upper bound of the bin (model units)
    bool empty = true;           // no test row in [lower, upper]
    bool no_valid_rows = false;  // rows, but none with model > 0 and real > 0
    double p10 = 0.0;            // +adjProb
    double p90 = 0.0;            // -adjProb
};

// Band of the rows whose model value lies in [lower, upper]; `upper` is
// stored in the result. A row's relative miss (real - model) / model counts
// when model > 0 and real > 0 (NaN fails both). adjProb = (|P10| + |P90|)/2
// with P10 the 90th and P90 the 10th percentile of the misses.
BinBand bin_band(const double* model, const double* real, std::size_t n, double lower,
                 double upper);

// The bin of a model output among a month's num_bins bins: the first bin
// whose bound the output lies strictly below; an output at or above every
// bound falls in the last bin (num_bins - 1). `below(k)` tells whether the
// output lies below bound k; it is asked for k = 0, 1, ... in order and no
// further than needed.
template <typename Below>
long output_bin(long num_bins, Below&& below) {
    long bin = 0;
    while (bin < num_bins && !below(bin)) ++bin;
    return bin == num_bins ? num_bins - 1 : bin;
}

}  // namespace quon
