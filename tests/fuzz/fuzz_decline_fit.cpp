// The batch forecast core on arbitrary inputs: the decline fit and the
// widening of outputs by bands.
//
// Fit: never throws or crashes, whatever the series, times and settings; a
// series with a NaN or infinite value is refused as such; the evaluations
// stay within the limit; a fit that converged lies inside the box and
// its fitted cumulative at t = 0 is 0. Widening: an output's P10 and P90 are
// output x (1 + band) of the bin that output_bin names, and a gap is
// reported exactly when one of the outputs meets a bin without band.
#include <cmath>
#include <vector>

#include "decline_fit.hpp"
#include "forecast_batch.hpp"
#include "fuzz_input.hpp"

namespace {

void check_fit(fuzz::Input& in) {
    const std::size_t m = in.count(0, 32);
    const bool forecast_times = in.flag();
    std::vector<double> t(m), q(m);
    bool finite = m > 0;
    double level = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        t[i] = forecast_times ? (i == 0 ? 0.0 : 4.0 + 2.0 * static_cast<double>(i)) : in.value(0.0, 120.0);
        // Mostly a rising series around a cumulative curve, sometimes anything.
        level += std::fabs(in.value(0.0, 400.0));
        q[i] = in.byte() % 4 == 0 ? in.value(-1e4, 1e5) : (i == 0 ? 0.0 : level);
        finite = finite && std::isfinite(t[i]) && std::isfinite(q[i]);
    }
    quon::ArpsFitSettings s;
    if (in.flag()) s.b_play = in.value(0.5, 3.0);
    if (in.flag()) s.q_unit_factor = in.value(1e-4, 10.0);
    s.max_evaluations = static_cast<int>(in.count(1, 300));

    const quon::ArpsFit fit = quon::fit_arps_cumulative(t.data(), q.data(), m, s);
    if (!finite) {
        FUZZ_CHECK(fit.status == quon::FitStatus::nonfinite_data, "status %d for non-finite data",
                   static_cast<int>(fit.status));
        return;
    }
    FUZZ_CHECK(fit.status != quon::FitStatus::nonfinite_data, "finite data refused");
    FUZZ_CHECK(fit.evaluations <= s.max_evaluations, "%d evaluations, limit %d", fit.evaluations, s.max_evaluations);
    if (!fit.converged()) return;
    const quon::ArpsParams lo = quon::fit_lower_bounds(s.b_play), hi = quon::fit_upper_bounds(s.b_play);
    const quon::ArpsParams& p = fit.params;
    FUZZ_CHECK(p.qi >= lo.qi && p.qi <= hi.qi && p.di_tan >= lo.di_tan && p.di_tan <= hi.di_tan && p.b >= lo.b &&
                   p.b <= hi.b,
               "fitted (%.17g, %.17g, %.17g) outside the box of b_play %.17g", p.qi, p.di_tan, p.b, s.b_play);
    const double zero = 0.0;
    double q0 = 1.0;
    quon::arps_cumulatives(p, &zero, 1, s.q_unit_factor, &q0);
    FUZZ_CHECK(q0 == 0.0 || std::isnan(q0), "fitted Q(0) %.17g", q0);
}

void check_widen(fuzz::Input& in) {
    const std::size_t designs = in.count(0, 6), months = in.count(1, 4);
    std::vector<quon::MonthBands> bands(months);
    for (quon::MonthBands& b : bands) {
        const std::size_t bins = in.count(1, 3);
        double bound = in.value(-100.0, 1000.0);
        for (std::size_t k = 0; k < bins; ++k) {
            b.bounds.push_back(bound);
            bound += std::fabs(in.value(0.0, 500.0));
            b.p10.push_back(in.value(0.0, 1.0));
            b.p90.push_back(-b.p10.back());
            b.known.push_back(in.byte() % 5 == 0 ? 0 : 1);
        }
    }
    std::vector<double> outputs(designs * months);
    for (double& o : outputs) o = in.value(-100.0, 2000.0);
    const quon::Widened w = quon::widen_outputs(outputs, designs, bands);
    bool gap = false;
    for (std::size_t i = 0; i < designs && !gap; ++i) {
        for (std::size_t k = 0; k < months && !gap; ++k) {
            const quon::MonthBands& b = bands[k];
            const double o = outputs[i * months + k];
            const long bin = quon::output_bin(static_cast<long>(b.bounds.size()),
                                              [&](long j) { return o < b.bounds[static_cast<std::size_t>(j)]; });
            const auto at = static_cast<std::size_t>(bin);
            if (!b.known[at]) {
                gap = true;
                FUZZ_CHECK(w.gap.found && w.gap.design == i && w.gap.month == k && w.gap.bin == bin,
                           "gap at design %zu month %zu bin %ld not reported as the first", i, k, bin);
                break;
            }
            FUZZ_CHECK(fuzz::same(w.p10[i * months + k], o * (1.0 + b.p10[at])) &&
                           fuzz::same(w.p90[i * months + k], o * (1.0 + b.p90[at])),
                       "output %.17g of bin %ld widened to %.17g / %.17g", o, bin, w.p10[i * months + k],
                       w.p90[i * months + k]);
        }
    }
    FUZZ_CHECK(gap == w.gap.found, "gap reported %d, found %d", w.gap.found, gap);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    if (in.byte() % 3 == 0)
        check_widen(in);
    else
        check_fit(in);
    return 0;
}
