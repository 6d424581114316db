#include "screening_batch.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <numeric>
#include <system_error>
#include <thread>

namespace zelt {

namespace {

// Runs body(begin, end) over [0, n) on up to `threads` threads. Small inputs
// stay on the calling thread.
template <typename Body>
void parallel_for(std::size_t n, unsigned threads, Body body) {
    constexpr std::size_t kMinRowsPerThread = 1024;
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t max_useful = std::max<std::size_t>(1, n / kMinRowsPerThread);
    const std::size_t workers = std::min<std::size_t>(threads, max_useful);
    if (workers <= 1) {
        body(std::size_t{0}, n);
        return;
    }
    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    const std::size_t chunk = (n + workers - 1) / workers;
    std::size_t w = 1;
    try {
        for (; w < workers; ++w) {
            const std::size_t begin = std::min(n, w * chunk);
            const std::size_t end = std::min(n, begin + chunk);
            pool.emplace_back([&body, begin, end] { body(begin, end); });
        }
    } catch (const std::system_error&) {
        // No more threads to be had: the calling thread does the rest.
    }
    body(std::size_t{0}, std::min(n, chunk));
    for (; w < workers; ++w) body(std::min(n, w * chunk), std::min(n, w * chunk + chunk));
    for (auto& t : pool) t.join();
}

// ------------------------------------------------------------ the first method

// What the passes of one first-method run share.
struct FirstMethodRun {
    const std::vector<ReservoirRecord>& reservoirs;
    const ScreeningLimits& file_limits;
    unsigned threads;
    FirstMethodResult& out;
    FirstMethodExplanation* explanation;   // filled by the scoring pass when given
    MethodSummary* summary;                // likewise
};

using Bounds = std::array<DistanceBounds, kParamCount>;

// The MMPs of every row. Rows are independent; a domain error is reported
// for the first row (in row order) that meets one. False then.
bool mmps_by_row(const FirstMethodRun& run) {
    FirstMethodResult& out = run.out;
    const std::size_t n = out.field_data.size();
    out.mmps.resize(n);
    std::vector<char> domain_error(n, 0);
    parallel_for(n, run.threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) {
            const FieldData& fd = out.field_data[k];
            try {
                out.mmps[k] = reservoir_mmps(fd.oil_gravity_api, fd.temperature_f,
                                             run.reservoirs[k].measured_mmps);
            } catch (const MathDomainError&) {
                domain_error[k] = 1;
            }
        }
    });
    for (std::size_t k = 0; k < n; ++k) {
        if (domain_error[k]) {
            out.failure = BatchFailure::math_domain;
            out.failed_row = k;
            return false;
        }
    }
    return true;
}

// The file limits adjusted to reservoir k alone.
ScreeningLimits row_limits(const FirstMethodRun& run, std::size_t k) {
    ScreeningLimits limits = run.file_limits;
    adjust_limits_for_reservoir(limits, run.out.field_data[k], run.out.mmps[k]);
    return limits;
}

// Distances of row k against its own limits. They are computed twice, once
// for the bounds and once for the scores, rather than stored (165 doubles a
// reservoir).
Distances row_distances(const FirstMethodRun& run, std::size_t k) {
    return measure_reservoir(run.out.field_data[k], row_limits(run, k));
}

// Smallest and largest distance of each parameter over all rows and methods.
Bounds distance_bounds(const FirstMethodRun& run) {
    const std::size_t n = run.out.field_data.size();
    const unsigned slots =
        std::max(1u, run.threads == 0 ? std::thread::hardware_concurrency() : run.threads);
    std::vector<Bounds> partial_bounds(slots);
    std::size_t next_slot = 0;
    std::mutex slot_mutex;
    parallel_for(n, slots, [&](std::size_t begin, std::size_t end) {
        Bounds local{};
        for (std::size_t k = begin; k < end; ++k) {
            const Distances d = row_distances(run, k);
            for (std::size_t p = 0; p < kParamCount; ++p) {
                for (std::size_t m = 0; m < kMethodCount; ++m) widen_bounds(local[p], d[p][m]);
            }
        }
        std::lock_guard<std::mutex> lock(slot_mutex);
        partial_bounds[next_slot++] = local;
    });
    // The same whatever the split.
    Bounds bounds{};
    for (std::size_t i = 0; i < next_slot; ++i) {
        for (std::size_t p = 0; p < kParamCount; ++p) {
            widen_bounds(bounds[p], partial_bounds[i][p].min);
            widen_bounds(bounds[p], partial_bounds[i][p].max);
        }
    }
    return bounds;
}

constexpr std::size_t kRowsPerReservoir = kMethodCount * kParamCount;

void size_explanation(FirstMethodExplanation& ex, std::size_t n) {
    const std::size_t rows = n * kRowsPerReservoir;
    ex.value.resize(rows);
    ex.source.resize(rows);
    ex.min.resize(rows);
    ex.max.resize(rows);
    ex.stopper.resize(rows);
    ex.points.resize(rows);
    ex.score.resize(rows);
    ex.covered.resize(rows);
    ex.coverage.resize(rows);
    ex.basis.resize(rows);
}

void size_summary(MethodSummary& summary, std::size_t cells) {
    summary.coverage.resize(cells);
    summary.estimated_knockout.resize(cells);
    summary.rank.resize(cells);
}

// Ranks of every reservoir's scores, methods per reservoir.
void rank_all(MethodSummary& summary, const std::vector<double>& scores, std::size_t methods) {
    for (std::size_t first = 0; first < scores.size(); first += methods) {
        rank_scores(&scores[first], methods, &summary.rank[first]);
    }
}

// Scores of row k: its parameter scores, knocked out by the file's stoppers;
// with an explanation, every parameter score with what it was measured on.
void score_rows(const FirstMethodRun& run, const Bounds& bounds) {
    FirstMethodResult& out = run.out;
    FirstMethodExplanation* ex = run.explanation;
    MethodSummary* summary = run.summary;
    const std::size_t n = out.field_data.size();
    out.scores.resize(n * kMethodCount);
    if (ex != nullptr) size_explanation(*ex, n);
    if (summary != nullptr) size_summary(*summary, n * kMethodCount);
    const bool keep_coverage = ex != nullptr || summary != nullptr;
    parallel_for(n, run.threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) {
            const FieldData& fd = out.field_data[k];
            const ReservoirRecord& reservoir = run.reservoirs[k];
            const ScreeningLimits limits = row_limits(run, k);
            const Distances d = measure_reservoir(fd, limits);
            for (std::size_t m = 0; m < kMethodCount; ++m) {
                const std::size_t first_row = (k * kMethodCount + m) * kParamCount;
                MethodScore score;
                std::size_t covered_params = 0;
                std::uint16_t estimated_stoppers = 0;
                bool reported_stopper = false;
                for (std::size_t p = 0; p < kParamCount; ++p) {
                    const double points = parameter_score(d[p][m], bounds[p]);
                    const bool stopper = run.file_limits[p][m].stopper;
                    score.add(points, stopper);
                    if (!keep_coverage) continue;
                    const bool covered = covered_first_method(out.sources[k], reservoir.measured_mmps, p, m);
                    covered_params += covered ? 1 : 0;
                    if (stopper && points != kInsideScore) {
                        if (covered) {
                            reported_stopper = true;
                        } else {
                            estimated_stoppers = static_cast<std::uint16_t>(estimated_stoppers | (1u << p));
                        }
                    }
                    if (ex == nullptr) continue;
                    const std::size_t i = first_row + p;
                    ex->value[i] = parameter_value(fd, p);
                    ex->source[i] = compared_source(out.sources[k], reservoir.measured_mmps, p, m);
                    ex->min[i] = limits[p][m].min;
                    ex->max[i] = limits[p][m].max;
                    ex->stopper[i] = stopper ? 1 : 0;
                    ex->points[i] = points;
                    ex->covered[i] = covered ? 1 : 0;
                    ex->basis[i] = estimate_basis(out.sources[k], reservoir.measured_mmps,
                                                  !std::isnan(reservoir.dead_oil_viscosity_cp),
                                                  !std::isnan(reservoir.surface_temperature_c), p, m);
                }
                const std::size_t cell = k * kMethodCount + m;
                out.scores[cell] = score.value();
                const double coverage = static_cast<double>(covered_params) / static_cast<double>(kParamCount);
                if (summary != nullptr) {
                    summary->coverage[cell] = coverage;
                    summary->estimated_knockout[cell] = reported_stopper ? 0 : estimated_stoppers;
                }
                if (ex != nullptr) {
                    const auto at = static_cast<std::ptrdiff_t>(first_row);
                    std::fill_n(ex->score.begin() + at, kParamCount, score.value());
                    std::fill_n(ex->coverage.begin() + at, kParamCount, coverage);
                }
            }
        }
    });
    if (summary != nullptr) rank_all(*summary, out.scores, kMethodCount);
}

// Pressure window of every row and method: the file's pressure limits, an
// empty one standing for the MMP of the method's gas.
void pressure_windows(const FirstMethodRun& run) {
    FirstMethodResult& out = run.out;
    const std::size_t n = out.field_data.size();
    out.window_min.resize(n * kMethodCount);
    out.window_max.resize(n * kMethodCount);
    const auto& pressure = run.file_limits[kReservoirPressure];
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t m = 0; m < kMethodCount; ++m) {
            const double window_mmp = gas_mmp(out.mmps[k], kMethodGas[m].gas);
            double lo = pressure[m].min;
            double hi = pressure[m].max;
            if (std::isnan(lo)) lo = window_mmp;
            if (std::isnan(hi)) hi = window_mmp;
            out.window_min[k * kMethodCount + m] = lo;
            out.window_max[k * kMethodCount + m] = hi;
        }
    }
}

}  // namespace

FirstMethodResult screen_first_method(const std::vector<ReservoirRecord>& reservoirs,
                                      const ScreeningLimits& file_limits, unsigned threads,
                                      FirstMethodExplanation* explanation, MethodSummary* summary) {
    FirstMethodResult out;
    out.field_data.resize(reservoirs.size());
    out.sources.resize(reservoirs.size());
    for (std::size_t k = 0; k < reservoirs.size(); ++k) {
        out.field_data[k] = derive_field_data(reservoirs[k], out.sources[k]);
    }
    if (const auto bad = first_non_finite(out.field_data)) {
        out.failure = BatchFailure::non_finite;
        out.failed_row = bad->row;
        out.failed_param = bad->param;
        return out;
    }
    const FirstMethodRun run{reservoirs, file_limits, threads, out, explanation, summary};
    if (!mmps_by_row(run)) return out;
    score_rows(run, distance_bounds(run));
    pressure_windows(run);
    return out;
}

// ------------------------------------------------------------- the 2019 method

namespace {

void size_explanation(SecondMethodExplanation& ex, std::size_t rows) {
    for (auto* column : {&ex.value, &ex.lower, &ex.min, &ex.max, &ex.upper, &ex.weighting, &ex.score,
                         &ex.coverage}) {
        column->resize(rows);
    }
    ex.source.resize(rows);
    ex.covered.resize(rows);
    ex.basis.resize(rows);
}

}  // namespace

std::optional<NonFiniteField> first_non_finite(const std::vector<FieldData>& field_data) {
    for (std::size_t k = 0; k < field_data.size(); ++k) {
        for (std::size_t p = 0; p < kParamCount; ++p) {
            if (std::isinf(parameter_value(field_data[k], p))) return NonFiniteField{k, p};
        }
    }
    return std::nullopt;
}

SecondMethodResult screen_2019_method(const std::vector<ReservoirRecord2019>& reservoirs,
                                      const ScreeningLimits2019& limits,
                                      SecondMethodExplanation* ex, MethodSummary* summary) {
    const std::size_t n = reservoirs.size();
    SecondMethodResult out;
    out.field_data.resize(n);
    out.sources.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        out.field_data[k] = derive_field_data_2019(reservoirs[k], out.sources[k]);
    }

    out.p_values.resize(n * kMethodCount2019 * kParamCount2019);
    out.scores.resize(n * kMethodCount2019);
    if (ex != nullptr) size_explanation(*ex, out.p_values.size());
    if (summary != nullptr) size_summary(*summary, n * kMethodCount2019);
    for (std::size_t k = 0; k < n; ++k) {
        const FieldData2019& fd = out.field_data[k];
        const ReservoirRecord2019& reservoir = reservoirs[k];
        for (std::size_t m = 0; m < kMethodCount2019; ++m) {
            WeightedMean mean;
            double covered_weight = 0.0;
            double weight = 0.0;
            const std::size_t first_row = (k * kMethodCount2019 + m) * kParamCount2019;
            double* pv = &out.p_values[first_row];
            for (std::size_t p = 0; p < kParamCount2019; ++p) {
                const MethodLimits2019& lim = limits[p][m];
                const double x = parameter_value_2019(fd, p);
                const double px = p_value(x, lim.lower, lim.min, lim.max, lim.upper);
                mean.add(px, lim.weighting);
                pv[p] = px;
                const Source source = parameter_source_2019(out.sources[k], p);
                const bool covered = rests_on_caller(source);
                weight += lim.weighting;
                if (covered) covered_weight += lim.weighting;
                if (ex == nullptr) continue;
                const std::size_t i = first_row + p;
                ex->value[i] = x;
                ex->source[i] = source;
                ex->lower[i] = lim.lower;
                ex->min[i] = lim.min;
                ex->max[i] = lim.max;
                ex->upper[i] = lim.upper;
                ex->weighting[i] = lim.weighting;
                ex->covered[i] = covered ? 1 : 0;
                ex->basis[i] = estimate_basis_2019(out.sources[k], !std::isnan(reservoir.dead_oil_viscosity_cp),
                                                   !std::isnan(reservoir.surface_temperature_c), p);
            }
            const std::size_t cell = k * kMethodCount2019 + m;
            const double score = mean.score(out.division);
            out.scores[cell] = score;
            const double coverage = weight == 0.0 ? kNaN : covered_weight / weight;
            if (summary != nullptr) {
                summary->coverage[cell] = coverage;
                summary->estimated_knockout[cell] = 0;
            }
            if (ex != nullptr) {
                const auto at = static_cast<std::ptrdiff_t>(first_row);
                std::fill_n(ex->score.begin() + at, kParamCount2019, score);
                std::fill_n(ex->coverage.begin() + at, kParamCount2019, coverage);
            }
        }
    }
    if (summary != nullptr) rank_all(*summary, out.scores, kMethodCount2019);
    return out;
}

// ----------------------------------------------------------- long-table order

std::vector<std::int64_t> long_table_order(const std::vector<std::string_view>& names,
                                           const std::vector<bool>& missing,
                                           const std::vector<std::string_view>& method_names) {
    const std::size_t n = names.size();
    const std::size_t n_methods = method_names.size();

    // Reservoirs by name, stable, missing names last.
    std::vector<std::size_t> rows(n);
    std::iota(rows.begin(), rows.end(), std::size_t{0});
    std::stable_sort(rows.begin(), rows.end(), [&](std::size_t a, std::size_t b) {
        if (missing[a] || missing[b]) return !missing[a] && missing[b];
        return names[a] < names[b];
    });
    std::vector<std::size_t> methods(n_methods);
    std::iota(methods.begin(), methods.end(), std::size_t{0});
    std::stable_sort(methods.begin(), methods.end(), [&](std::size_t a, std::size_t b) {
        return method_names[a] < method_names[b];
    });

    // Within a group of equal names: methods in name order, then the group's
    // rows in input order (the melt put method m of row r at m * n + r).
    std::vector<std::int64_t> order;
    order.reserve(n * n_methods);
    auto same_group = [&](std::size_t a, std::size_t b) {
        if (missing[a] || missing[b]) return missing[a] && missing[b];
        return names[a] == names[b];
    };
    for (std::size_t g = 0; g < n;) {
        std::size_t g_end = g + 1;
        while (g_end < n && same_group(rows[g], rows[g_end])) ++g_end;
        for (std::size_t m : methods) {
            for (std::size_t i = g; i < g_end; ++i) {
                order.push_back(static_cast<std::int64_t>(m * n + rows[i]));
            }
        }
        g = g_end;
    }
    return order;
}

}  // namespace zelt
