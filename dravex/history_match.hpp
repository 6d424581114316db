// Decline-curve arithmetic of the forecasting module: Arps hyperbolic rate
// and cumulative volume, the initial rate that reproduces a cumulative, the
// cumulative walk over a measured rate history, and the P10/P90 band of a
// month's test predictions.
//
// Plain C++ with no Python in it. Units:
//   t        months from the start of production
//   qi, q    rate, volume per day
//   di_tan   initial nominal (tangent) decline, 1/month
//   b        hyperbolic exponent, dimensionless
//   Q        cumulative volume, thousands of the rate's volume unit
//   q_unit_factor  turns (volume/day) x months into thousands of volume
//                  units: 0.001 x 30.4375 by default
// Every formula is evaluated operation by operation in the order the
// module's documentation gives, in IEEE double arithmetic: a division by
// zero gives an infinity or NaN here; the module decides what the caller sees.
#pragma once

#include <cstddef>
#include <vector>

namespace quon {

inline constexpr double kNormTimeCoeff = 30.4375;                  // days per month
inline constexpr double kQUnitFactor = 0.001 * kNormTimeCoeff;      // 0.0304375
inline constexpr double kBPlay = 1.3;                                // play's b

// q(t) = qi * (1 + b*di_tan*t)^(-1/b), volume/day.
double arps_rate(double qi, double di_tan, double b, double t);

// Q(t) = f * (qi / (di_tan*(1-b))) * (1 - (1 + b*di_tan*t)^(1 - 1/b)),
// thousands of volume units; Q(0) = 0.
double arps_cumulative(double qi, double di_tan, double b, double t, double q_unit_factor);

// qi for which arps_cumulative(qi, di_tan, b, t) equals `cumulative`.
double qi_from_cumulative(double di_tan, double b, double t, double cumulative,
                          double q_unit_factor);

// Running cumulative volume of a rate history: element 0 is 0, element i
// adds q_unit_factor * rate[i] * (t[i] - t[i-1]) (the rate at the end of
// each interval applies to the whole interval). The walk stops before the
// first NaN rate at i >= 1, so the result may be shorter than `t`.
// `rate` must hold at least n values.
std::vector<double> cumulative_walk(const double* t, const double* rate, std::size_t n,
                                    double q_unit_factor);

// The q-th percentile (q in percent, 0..100) by linear interpolation between
// order statistics, evaluated exactly as numpy's default method does.
// NaN if any value is NaN. `values` must not be empty.
double percentile_linear(std::vector<double> values, double q);

// Band of one bin of a month's test predictions.
struct BinBand {
    double upper = 0.0;          // upper bound of the bin (model units)
    bool empty = true;           // no test row in [lower, upper]
    bool no_valid_rows = false;  // rows, but none with model > 0 and real > 0
    double p10 = 0.0;            // +adjProb
    double p90 = 0.0;            // -adjProb
};

struct MonthBands {
    double min_model = 0.0;
    double max_model = 0.0;
    std::vector<BinBand> bins;
};

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

// Band of the rows whose model value lies in [lower, upper]; `upper` is
// stored in the result.
BinBand bin_band(const double* model, const double* real, std::size_t n, double lower,
                 double upper);

// Bands of `num_bins` equal-width bins between the smallest and the largest
// model value (both taken in row order as a plain max/min scan would, so a
// leading NaN wins). A row enters a bin when lower <= model <= upper; its
// relative miss (real - model) / model counts when model > 0 and real > 0
// (NaN fails both). adjProb = (|P10| + |P90|) / 2 with P10 the 90th and P90
// the 10th percentile of the misses. Requires n >= 1 and num_bins >= 1.
MonthBands month_bands(const double* model, const double* real, std::size_t n, long num_bins);

}  // namespace quon
