// The forecast of many well designs at once, after the monthly models have
// run: each month's output widened to P10 and P90 by the band of its bin,
// and the three decline fits of every design (model, P10, P90) on worker
// threads. Plain C++, no Python.
//
// A design's series are its model outputs by month, in thousands of volume
// units; the fitted columns are rates (volume per day) and cumulatives
// (thousands of volume units) at month 0 and every forecast month.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "decline_fit.hpp"

namespace quon {

// The bins of one month and their bands (as the driver's bands hold them).
struct MonthBands {
    std::vector<double> bounds;        // upper bound of each bin, model units
    std::vector<double> p10;           // +adjProb of each bin
    std::vector<double> p90;           // -adjProb of each bin
    std::vector<unsigned char> known;  // 0 where the bin had no test rows, so no band
};

// The first output (designs in order, months in order) whose bin has no
// band.
struct BandGap {
    bool found = false;
    std::size_t design = 0;
    std::size_t month = 0;  // index into the months
    long bin = 0;
};

// P10 = output x (1 + p10 of its bin), P90 = output x (1 + p90 of its
// bin), in double arithmetic; the bin is the first whose bound the output
// lies strictly below, or the last. `outputs` holds designs x months
// values, design after design.
struct Widened {
    std::vector<double> p10, p90;  // designs x months
    BandGap gap;                   // when found, p10 and p90 are not filled
};
Widened widen_outputs(const std::vector<double>& outputs, std::size_t designs,
                      const std::vector<MonthBands>& months);

// Fitted rate and cumulative columns of one series kind, designs x points
// (points = 1 + months: month 0 first). A fit that does not converge, or
// whose data are not finite, leaves NaN in its design's rows.
struct FittedColumns {
    std::vector<double> rate, cumulative;
    std::vector<unsigned char> failed;  // per design
};

struct BatchForecast {
    BandGap gap;                        // when found, nothing is fitted
    std::array<FittedColumns, 3> fits;  // the model series, P10, P90
    std::size_t failed_fits = 0;        // of the 3 x designs fits
    std::size_t failed_designs = 0;     // designs with at least one
};

enum Series : std::size_t { kModelSeries = 0, kP10Series = 1, kP90Series = 2 };

// The batch: `months` are the forecast months (months > 0), `outputs` the
// monthly model outputs (designs x months), `bands` one entry per month.
// Each series is fitted at the times [0, months...] to [0, values...], as
// the driver fits one design (fit_arps_cumulative, then arps_rates and
// arps_cumulatives of the fitted decline); `threads` workers share the
// designs.
BatchForecast forecast_batch(const std::vector<double>& months, const std::vector<double>& outputs,
                             std::size_t designs, const std::vector<MonthBands>& bands,
                             const ArpsFitSettings& settings, unsigned threads);

}  // namespace quon
