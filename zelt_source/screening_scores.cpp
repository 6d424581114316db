#include "screening_scores.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <mutex>
#include <system_error>
#include <thread>

namespace zelt {

const std::array<std::string_view, kMethodCount> kMethodNames = {
    "Horz. Misc. CO2",   "Horz. Misc. HC",   "Horz. Misc. N2",  "Vert. Misc. CO2",
    "Vert. Misc. HC",    "Vert. Misc. N2",   "Vert. Immisc. CO2", "Vert. Immisc. HC",
    "Vert. Immisc. N2",  "Steam Flooding",   "CSS",             "SAGD",
    "Hot Water",         "Polymer Flooding", "ASP"};

const std::array<std::string_view, kParamCount> kParamNames = {
    "Oil Gravity",
    "Oil Viscosity (in situ)",
    "Reservoir Depth",
    "Net Pay Thickness",
    "Average Vertical Permeability",
    "Average Horizontal Permeability",
    "Current Reservoir Pressure",
    "Reservoir Temperature",
    "Current Oil Saturation",
    "Reservoir Dip",
    "Formation Salinity"};

// U+02DA in the gravity label, U+00B0 in the temperature label, U+25E6 in the dip label.
const std::array<std::string_view, kParamCount> kParamLabels = {
    "Oil Gravity (\u02DAAPI)",
    "Oil Viscosity (in situ) (cp)",
    "Reservoir Depth (ft)",
    "Net Pay Thickness (ft)",
    "Average Vertical Permeability (mD)",
    "Average Horizontal Permeability (mD)",
    "Current Reservoir Pressure (psi)",
    "Reservoir Temperature (\u00B0F)",
    "Current Oil Saturation (%)",
    "Reservoir Dip (\u25E6)",
    "Formation Salinity (PPM)"};

const std::array<std::string_view, kMethodCount2019> kMethodNames2019 = {
    "Steam Flooding", "Combustion", "Hot Water", "Misc. CO2",        "Immisc. CO2", "Misc. HC",
    "Immisc. HC",     "Misc. N2",   "Immisc. N2", "Polymer Flooding", "Surfactant",  "Microbial"};

const std::array<std::string_view, kParamCount2019> kParamNames2019 = {
    "Porosity",
    "Permeability",
    "Depth",
    "Oil Gravity",
    "Oil Viscosity (in situ)",
    "Reservoir Temperature",
    "Current Oil Saturation",
    "Net Pay Thickness"};

const std::array<std::string_view, kParamCount2019> kParamLabels2019 = {
    "Porosity (%)",
    "Permeability (mD)",
    "Depth (ft)",
    "Oil Gravity (\u02DAAPI)",
    "Oil Viscosity (in situ) (cp)",
    "Reservoir Temperature (\u00B0F)",
    "Current Oil Saturation (%)",
    "Net Pay Thickness (ft)"};

double parameter_value(const FieldData& fd, std::size_t p) {
    switch (p) {
        case kOilGravity: return fd.oil_gravity_api;
        case kOilViscosity: return fd.in_situ_viscosity_cp;
        case kReservoirDepth: return fd.depth_ft;
        case kNetPayThickness: return fd.net_pay_ft;
        case kVerticalPermeability: return fd.vertical_permeability_md;
        case kHorizontalPermeability: return fd.horizontal_permeability_md;
        case kReservoirPressure: return fd.pressure_psi;
        case kReservoirTemperature: return fd.temperature_f;
        case kOilSaturation: return fd.oil_saturation_pct;
        case kReservoirDip: return fd.dip_deg;
        case kFormationSalinity: return fd.salinity_ppm;
        default: return kNaN;
    }
}

std::optional<PolymerLimits> polymer_limits_for_viscosity(double v) {
    if (10.0 <= v && v <= 100.0) return PolymerLimits{100.0, 3000.0};
    if (100.0 < v && v <= 1000.0) return PolymerLimits{1000.0, 1000.0};
    return std::nullopt;
}

double asp_salinity_max(double temperature_f) {
    return temperature_f <= 140.0 ? 200000.0 : 50000.0;
}

void adjust_limits_for_reservoir(ScreeningLimits& limits, const FieldData& fd,
                                 const ReservoirMmps& mmps) {
    // A miscible method needs at least the MMP, an immiscible one at most.
    auto& pressure = limits[kReservoirPressure];
    pressure[kHorzMiscCo2].min = mmps.co2;
    pressure[kVertMiscCo2].min = mmps.co2;
    pressure[kVertImmiscCo2].max = mmps.co2;
    pressure[kHorzMiscHc].min = mmps.hc;
    pressure[kVertMiscHc].min = mmps.hc;
    pressure[kVertImmiscHc].max = mmps.hc;
    pressure[kHorzMiscN2].min = mmps.n2;
    pressure[kVertMiscN2].min = mmps.n2;
    pressure[kVertImmiscN2].max = mmps.n2;

    if (const auto polymer = polymer_limits_for_viscosity(fd.in_situ_viscosity_cp)) {
        limits[kHorizontalPermeability][kPolymerFlooding].min = polymer->permeability_min_md;
        limits[kFormationSalinity][kPolymerFlooding].max = polymer->salinity_max_ppm;
    }
    limits[kFormationSalinity][kAsp].max = asp_salinity_max(fd.temperature_f);
}

double violation_distance(double x, double lo, double hi) {
    double d = kNaN;
    if (x < lo) d = std::fabs(x - lo);
    if (x > hi) d = std::fabs(x - hi);
    return d;
}

Distances measure_reservoir(const FieldData& fd, const ScreeningLimits& limits) {
    Distances out{};
    for (std::size_t p = 0; p < kParamCount; ++p) {
        const double x = parameter_value(fd, p);
        for (std::size_t m = 0; m < kMethodCount; ++m) {
            out[p][m] = violation_distance(x, limits[p][m].min, limits[p][m].max);
        }
    }
    return out;
}

void widen_bounds(DistanceBounds& bounds, double d) {
    if (std::isnan(d)) return;
    if (d < bounds.min) bounds.min = d;
    if (d > bounds.max) bounds.max = d;
}

double parameter_score(double d, const DistanceBounds& bounds) {
    if (std::isnan(d)) return kInsideScore;
    const double lo = bounds.min;
    const double hi = bounds.max;
    if (hi != lo) return (-9.0 / (hi - lo)) * (d - lo) + (-1.0);
    return -5.0;
}

double round_to_tenth(double x) { return std::nearbyint(x * 10.0) / 10.0; }

double method_score_from_sum(double score_sum) {
    const double one_110th = 1.0 / 110.0;
    return round_to_tenth(one_110th * (score_sum - 110.0) + 1.0);
}

// ---------------------------------------------------------------- 2019 method

FieldData2019 derive_field_data_2019(const ReservoirRecord2019& r) {
    FieldData2019 fd{};
    fd.porosity_pct = std::isnan(r.porosity_pct) ? 20.0 : r.porosity_pct;
    // The working porosity for the permeability estimate does not take the
    // 20 % default: no porosity and no permeability give 1 mD.
    const double phi = std::isnan(r.porosity_pct) ? 0.0 : r.porosity_pct;
    fd.permeability_md =
        std::isnan(r.permeability_md) ? std::pow(10.0, 0.1 * phi) : r.permeability_md;
    fd.depth_ft = std::isnan(r.top_depth_ft) ? 6400.0 : r.top_depth_ft;
    fd.oil_gravity_api = std::isnan(r.oil_gravity_api) ? 30.0 : r.oil_gravity_api;
    fd.in_situ_viscosity_cp = live_oil_viscosity(fd.oil_gravity_api, r.dead_oil_viscosity_cp);
    const double t_c =
        std::isnan(r.temperature_c) ? 35.0 * (fd.depth_ft / 3280.84) : r.temperature_c;
    fd.temperature_f = t_c * 1.8 + 32.0;
    fd.oil_saturation_pct =
        std::isnan(r.water_saturation_pct) ? 50.0 : 100.0 - r.water_saturation_pct;
    const double gross =
        std::isnan(r.gross_thickness_ft) ? 50.0 : 0.1 * r.gross_thickness_ft;
    fd.net_pay_ft = std::isnan(r.net_thickness_ft) ? gross : r.net_thickness_ft;
    return fd;
}

double parameter_value_2019(const FieldData2019& fd, std::size_t p) {
    switch (p) {
        case 0: return fd.porosity_pct;
        case 1: return fd.permeability_md;
        case 2: return fd.depth_ft;
        case 3: return fd.oil_gravity_api;
        case 4: return fd.in_situ_viscosity_cp;
        case 5: return fd.temperature_f;
        case 6: return fd.oil_saturation_pct;
        case 7: return fd.net_pay_ft;
        default: return kNaN;
    }
}

double p_value(double param, double lower, double min_val, double max_val, double upper) {
    if (min_val <= param && param <= max_val) return 1.0;
    if (lower <= param && param < min_val) {
        if (lower == kLowerSwitch) return 1.0;
        return -2.0 * (param - min_val) / (lower - min_val) + 1.0;
    }
    if (max_val < param && param <= upper) {
        if (upper == kUpperSwitch) return 1.0;
        return -2.0 * (param - max_val) / (upper - max_val) + 1.0;
    }
    return -1.0;
}

double weighted_score(double numerator, double denominator, DivisionFlags& flags) {
    if (denominator == 0.0) {
        if (numerator == 0.0) {
            flags.invalid = true;
        } else if (!std::isnan(numerator)) {
            flags.divide_by_zero = true;
        }
    }
    return round_to_tenth(numerator / denominator);
}

// ------------------------------------------------------------------ batch runs

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

std::size_t source_position(const std::vector<std::int64_t>& positions, std::size_t k) {
    return positions.empty() ? k : static_cast<std::size_t>(positions[k]);
}

// First row whose label names no position, or n.
std::size_t first_invalid_label(const std::vector<std::int64_t>& positions, std::size_t n) {
    if (positions.empty()) return n;
    for (std::size_t k = 0; k < n; ++k) {
        if (positions[k] < 0 || static_cast<std::size_t>(positions[k]) >= n) return k;
    }
    return n;
}

}  // namespace

double window_mmp_for_method(std::string_view method, const ReservoirMmps& mmps) {
    if (method.find("CO2") != std::string_view::npos) return mmps.co2;
    if (method.find("HC") != std::string_view::npos) return mmps.hc;
    return mmps.n2;
}

FirstMethodResult screen_first_method(const std::vector<ReservoirRecord>& reservoirs,
                                      const std::vector<std::int64_t>& positions,
                                      const ScreeningLimits& file_limits, unsigned threads) {
    const std::size_t n = reservoirs.size();
    FirstMethodResult out;
    out.field_data.resize(n);
    for (std::size_t k = 0; k < n; ++k) out.field_data[k] = derive_field_data(reservoirs[k]);

    // Row k's MMPs come from the field data its label names. Rows are
    // independent; a failure is reported for the first row (in row order)
    // that meets one: a label naming no position, or a domain error.
    const std::size_t bad_label_row = first_invalid_label(positions, n);
    out.mmps.resize(n);
    std::vector<char> domain_error(n, 0);
    parallel_for(bad_label_row, threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) {
            const FieldData& fd = out.field_data[source_position(positions, k)];
            try {
                out.mmps[k] = reservoir_mmps(fd.oil_gravity_api, fd.temperature_f);
            } catch (const MathDomainError&) {
                domain_error[k] = 1;
            }
        }
    });
    for (std::size_t k = 0; k < bad_label_row; ++k) {
        if (domain_error[k]) {
            out.failure = BatchFailure::math_domain;
            out.failed_row = k;
            return out;
        }
    }
    if (bad_label_row < n) {
        out.failure = BatchFailure::invalid_label;
        out.failed_row = bad_label_row;
        return out;
    }

    // Distances of row k: field data and MMPs at the position its label names,
    // against the file limits adjusted to that reservoir alone. They are
    // computed twice, once for the bounds and once for the scores, rather
    // than stored (165 doubles a reservoir).
    auto distances_of = [&](std::size_t k) {
        const std::size_t src = source_position(positions, k);
        ScreeningLimits limits = file_limits;
        adjust_limits_for_reservoir(limits, out.field_data[src], out.mmps[src]);
        return measure_reservoir(out.field_data[src], limits);
    };
    using Bounds = std::array<DistanceBounds, kParamCount>;
    std::vector<Bounds> partial_bounds(std::max(1u, threads == 0 ? std::thread::hardware_concurrency() : threads));
    std::size_t next_slot = 0;
    std::mutex slot_mutex;
    parallel_for(n, static_cast<unsigned>(partial_bounds.size()), [&](std::size_t begin, std::size_t end) {
        Bounds local{};
        for (std::size_t k = begin; k < end; ++k) {
            const Distances d = distances_of(k);
            for (std::size_t p = 0; p < kParamCount; ++p) {
                for (std::size_t m = 0; m < kMethodCount; ++m) widen_bounds(local[p], d[p][m]);
            }
        }
        std::lock_guard<std::mutex> lock(slot_mutex);
        partial_bounds[next_slot++] = local;
    });
    // Smallest and largest over all rows: the same whatever the split.
    Bounds bounds{};
    for (std::size_t i = 0; i < next_slot; ++i) {
        for (std::size_t p = 0; p < kParamCount; ++p) {
            widen_bounds(bounds[p], partial_bounds[i][p].min);
            widen_bounds(bounds[p], partial_bounds[i][p].max);
        }
    }

    // Scores of row k: the parameter scores at the position its label names.
    out.scores.resize(n * kMethodCount);
    parallel_for(n, threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) {
            const Distances d = distances_of(source_position(positions, k));
            for (std::size_t m = 0; m < kMethodCount; ++m) {
                double sum = 0.0;
                bool knocked_out = false;
                for (std::size_t p = 0; p < kParamCount; ++p) {
                    const double s = parameter_score(d[p][m], bounds[p]);
                    sum += s;
                    if (file_limits[p][m].stopper && s != kInsideScore) knocked_out = true;
                }
                out.scores[k * kMethodCount + m] =
                    knocked_out ? kKnockedOutScore : method_score_from_sum(sum);
            }
        }
    });

    // Pressure window: the file's pressure limits, an empty one standing for
    // the reservoir's own MMP.
    out.window_min.resize(n * kMethodCount);
    out.window_max.resize(n * kMethodCount);
    const auto& pressure = file_limits[kReservoirPressure];
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t m = 0; m < kMethodCount; ++m) {
            const double window_mmp = window_mmp_for_method(kMethodNames[m], out.mmps[k]);
            double lo = pressure[m].min;
            double hi = pressure[m].max;
            if (std::isnan(lo)) lo = window_mmp;
            if (std::isnan(hi)) hi = window_mmp;
            out.window_min[k * kMethodCount + m] = lo;
            out.window_max[k * kMethodCount + m] = hi;
        }
    }
    return out;
}

SecondMethodResult screen_2019_method(const std::vector<ReservoirRecord2019>& reservoirs,
                                      const std::vector<std::int64_t>& positions,
                                      const ScreeningLimits2019& limits) {
    const std::size_t n = reservoirs.size();
    SecondMethodResult out;
    out.field_data.resize(n);
    for (std::size_t k = 0; k < n; ++k) out.field_data[k] = derive_field_data_2019(reservoirs[k]);

    const std::size_t bad_label_row = first_invalid_label(positions, n);
    if (bad_label_row < n) {
        out.failure = BatchFailure::invalid_label;
        out.failed_row = bad_label_row;
        return out;
    }

    out.p_values.resize(n * kMethodCount2019 * kParamCount2019);
    out.scores.resize(n * kMethodCount2019);
    for (std::size_t k = 0; k < n; ++k) {
        const FieldData2019& fd = out.field_data[source_position(positions, k)];
        for (std::size_t m = 0; m < kMethodCount2019; ++m) {
            double numerator = 0.0;
            double denominator = 0.0;
            double* pv = &out.p_values[(k * kMethodCount2019 + m) * kParamCount2019];
            for (std::size_t p = 0; p < kParamCount2019; ++p) {
                const MethodLimits2019& lim = limits[p][m];
                const double px =
                    p_value(parameter_value_2019(fd, p), lim.lower, lim.min, lim.max, lim.upper);
                numerator += lim.weighting * px;
                denominator += lim.weighting;
                pv[p] = px;
            }
            out.scores[k * kMethodCount2019 + m] =
                weighted_score(numerator, denominator, out.division);
        }
    }
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
