#include "forecast_batch.hpp"

#include <cmath>
#include <limits>

#include "parallel.hpp"

namespace quon {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Designs handed to a worker at a time: a fit takes tens of microseconds,
// so a chunk amortises the shared counter without starving a thread.
constexpr std::size_t kDesignsPerChunk = 8;

}  // namespace

Widened widen_outputs(const std::vector<double>& outputs, std::size_t designs,
                      const std::vector<MonthBands>& months) {
    Widened w;
    const std::size_t n_months = months.size();
    w.p10.resize(designs * n_months);
    w.p90.resize(designs * n_months);
    for (std::size_t i = 0; i < designs; ++i) {
        for (std::size_t k = 0; k < n_months; ++k) {
            const MonthBands& month = months[k];
            const double output = outputs[i * n_months + k];
            const long bin = output_bin(static_cast<long>(month.bounds.size()), [&](long b) {
                return output < month.bounds[static_cast<std::size_t>(b)];
            });
            const auto at = static_cast<std::size_t>(bin);
            if (bin < 0 || at >= month.known.size() || !month.known[at]) {
                w.gap = BandGap{true, i, k, bin};
                w.p10.clear();
                w.p90.clear();
                return w;
            }
            w.p10[i * n_months + k] = output * (1.0 + month.p10[at]);
            w.p90[i * n_months + k] = output * (1.0 + month.p90[at]);
        }
    }
    return w;
}

BatchForecast forecast_batch(const std::vector<double>& months, const std::vector<double>& outputs,
                             std::size_t designs, const std::vector<MonthBands>& bands,
                             const ArpsFitSettings& settings, unsigned threads) {
    BatchForecast out;
    Widened widened = widen_outputs(outputs, designs, bands);
    if (widened.gap.found) {
        out.gap = widened.gap;
        return out;
    }
    const std::size_t n_months = months.size();
    const std::size_t points = n_months + 1;
    std::vector<double> t(points, 0.0);
    for (std::size_t k = 0; k < n_months; ++k) t[k + 1] = months[k];
    const std::array<const std::vector<double>*, 3> series{&outputs, &widened.p10, &widened.p90};
    for (FittedColumns& f : out.fits) {
        f.rate.assign(designs * points, kNaN);
        f.cumulative.assign(designs * points, kNaN);
        f.failed = std::vector<unsigned char>(designs, 0);
    }

    parallel_for(designs, threads, kDesignsPerChunk, [&](std::size_t i) {
        std::vector<double> q(points, 0.0);
        for (std::size_t s = 0; s < series.size(); ++s) {
            const double* values = series[s]->data() + i * n_months;
            for (std::size_t k = 0; k < n_months; ++k) q[k + 1] = values[k];
            const ArpsFit fit = fit_arps_cumulative(t.data(), q.data(), points, settings);
            FittedColumns& f = out.fits[s];
            if (!fit.converged()) {
                f.failed[i] = 1;
                continue;
            }
            arps_rates(fit.params, t.data(), points, f.rate.data() + i * points);
            arps_cumulatives(fit.params, t.data(), points, settings.q_unit_factor, f.cumulative.data() + i * points);
        }
    });

    for (std::size_t i = 0; i < designs; ++i) {
        const std::size_t failed = out.fits[0].failed[i] + out.fits[1].failed[i] + out.fits[2].failed[i];
        out.failed_fits += failed;
        out.failed_designs += failed > 0 ? 1 : 0;
    }
    return out;
}

}  // namespace quon
