#include "fluid_properties.hpp"

#include <algorithm>
#include <cmath>

namespace zelt {

namespace {

bool is_nan(double x) { return std::isnan(x); }

// sign(x) as -1, 0 or +1 (NaN stays NaN).
double sign(double x) {
    if (x > 0.0) return 1.0;
    if (x < 0.0) return -1.0;
    return x;  // +-0 or NaN
}

const double kOneThird = 1.0 / 3.0;
constexpr double kPi = 3.141592653589793;

CorrelationConstants make_constants() {
    CorrelationConstants c{};
    c.slope_viscosity = (std::log10(1000.0) - std::log10(0.1)) / -30.0;
    c.intercept_viscosity = std::log10(1000.0) - c.slope_viscosity * 20.0;
    c.slope_rs = (std::log10(1000.0) - std::log10(20.0)) / 32.0;
    c.intercept_rs = std::log10(1000.0) - c.slope_rs * 42.0;
    c.kv_kh_ratio = 0.1;
    c.slope_salinity = (std::log10(100000.0) - std::log10(5000.0)) / 15000.0;
    c.intercept_salinity = std::log10(5000.0);
    return c;
}

}  // namespace

const CorrelationConstants& correlation_constants() {
    static const CorrelationConstants constants = make_constants();
    return constants;
}

double dead_oil_viscosity_from_gravity(double gravity_api) {
    const auto& c = correlation_constants();
    return std::pow(10.0, c.slope_viscosity * gravity_api + c.intercept_viscosity);
}

double solution_gas_oil_ratio(double gravity_api) {
    const auto& c = correlation_constants();
    return std::pow(10.0, c.slope_rs * gravity_api + c.intercept_rs);
}

double live_oil_viscosity(double gravity_api, double dead_oil_viscosity_cp) {
    const double vis_dead = is_nan(dead_oil_viscosity_cp)
                                ? dead_oil_viscosity_from_gravity(gravity_api)
                                : dead_oil_viscosity_cp;
    const double rs = solution_gas_oil_ratio(gravity_api);
    const double x = 10.715 * std::pow(rs + 100.0, -0.515);
    const double y = 5.44 * std::pow(rs + 150.0, -0.338);
    return x * std::pow(vis_dead, y);
}

double in_situ_viscosity(double gravity_api, double dead_oil_viscosity_cp,
                         double in_situ_viscosity_cp, Source& source) {
    if (!is_nan(in_situ_viscosity_cp)) {
        source = Source::reported;
        return in_situ_viscosity_cp;
    }
    source = Source::correlation;
    return live_oil_viscosity(gravity_api, dead_oil_viscosity_cp);
}

namespace {

// A value estimated from the depth: a correlation, or missing (NaN) when
// the depth is missing too.
Source from_depth(double depth_ft) { return is_nan(depth_ft) ? Source::missing : Source::correlation; }

}  // namespace

FieldData derive_field_data(const ReservoirRecord& r, FieldSources& src) {
    const auto& c = correlation_constants();
    FieldData fd{};
    fd.oil_gravity_api = is_nan(r.oil_gravity_api) ? 30.0 : r.oil_gravity_api;
    src.oil_gravity_api = is_nan(r.oil_gravity_api) ? Source::default_value : Source::reported;
    fd.in_situ_viscosity_cp = in_situ_viscosity(fd.oil_gravity_api, r.dead_oil_viscosity_cp,
                                                r.in_situ_viscosity_cp, src.in_situ_viscosity_cp);
    fd.depth_ft = r.top_depth_ft;
    src.depth_ft = is_nan(r.top_depth_ft) ? Source::missing : Source::reported;

    if (!is_nan(r.net_thickness_ft)) {
        fd.net_pay_ft = r.net_thickness_ft;
        src.net_pay_ft = Source::reported;
    } else if (is_nan(r.gross_thickness_ft)) {
        fd.net_pay_ft = 50.0;
        src.net_pay_ft = Source::default_value;
    } else {
        fd.net_pay_ft = 0.1 * r.gross_thickness_ft;
        src.net_pay_ft = Source::correlation;
    }

    double ahp;
    if (!is_nan(r.permeability_md)) {
        ahp = r.permeability_md;
        src.horizontal_permeability_md = Source::reported;
    } else if (is_nan(r.porosity_pct)) {
        ahp = 50.0;
        src.horizontal_permeability_md = Source::default_value;
    } else {
        ahp = std::pow(10.0, 0.1 * r.porosity_pct);
        src.horizontal_permeability_md = Source::correlation;
    }
    fd.horizontal_permeability_md = ahp;
    fd.vertical_permeability_md = c.kv_kh_ratio * ahp;
    src.vertical_permeability_md = Source::fixed;

    // 0.5 psi/ft gradient; 35 degC per km (3280.84 ft), no surface offset.
    fd.pressure_psi = is_nan(r.pressure_psi) ? 0.5 * fd.depth_ft : r.pressure_psi;
    src.pressure_psi = is_nan(r.pressure_psi) ? from_depth(fd.depth_ft) : Source::reported;
    const double t_c = is_nan(r.temperature_c) ? temperature_from_depth(fd.depth_ft, r.surface_temperature_c)
                                               : r.temperature_c;
    fd.temperature_f = t_c * 1.8 + 32.0;
    src.temperature_f = is_nan(r.temperature_c) ? from_depth(fd.depth_ft) : Source::reported;

    double recovery_factor =
        is_nan(r.recovery_factor_pct) ? 0.1 : 0.01 * r.recovery_factor_pct;
    if (is_nan(recovery_factor)) recovery_factor = 0.0;
    fd.oil_saturation_pct = is_nan(r.water_saturation_pct)
                                ? 50.0
                                : (1.0 - recovery_factor) * (100.0 - r.water_saturation_pct);
    if (is_nan(r.water_saturation_pct)) {
        src.oil_saturation_pct = Source::default_value;
    } else {
        src.oil_saturation_pct =
            is_nan(r.recovery_factor_pct) ? Source::correlation : Source::reported;
    }

    fd.dip_deg = 5.0;
    src.dip_deg = Source::default_value;
    fd.salinity_ppm = !is_nan(r.salinity_ppm)
                          ? r.salinity_ppm
                          : std::pow(10.0, c.slope_salinity * fd.depth_ft + c.intercept_salinity);
    src.salinity_ppm = is_nan(r.salinity_ppm) ? from_depth(fd.depth_ft) : Source::reported;
    return fd;
}

double temperature_from_depth(double depth_ft, double surface_temperature_c) {
    const double below_surface = 35.0 * (depth_ft / 3280.84);
    return is_nan(surface_temperature_c) ? below_surface : surface_temperature_c + below_surface;
}

FieldData derive_field_data(const ReservoirRecord& r) {
    FieldSources unused{};
    return derive_field_data(r, unused);
}

double cubic_equation_solution(double a1, double a2, double a3) {
    const double q = (3.0 * a2 - std::pow(a1, 2.0)) / 9.0;
    const double jj = (9.0 * a1 * a2 - 27.0 * a3 - 2.0 * std::pow(a1, 3.0)) / 54.0;
    const double d = std::pow(q, 3.0) + std::pow(jj, 2.0);

    double z1, z2, z3;
    if (d > 0.0) {
        const double s = std::pow(d, 0.5);
        z1 = sign(jj + s) * std::pow(std::fabs(jj + s), kOneThird) +
             sign(jj - s) * std::pow(std::fabs(jj - s), kOneThird) - a1 / 3.0;
        z2 = z1;
        z3 = z1;
    } else if (d < 0.0) {
        const double arg = jj / std::pow(-q, 1.5);
        if (arg < -1.0 || arg > 1.0) throw MathDomainError();
        const double theta_root = std::acos(arg);
        const double k = 2.0 * std::pow(-q, 0.5);
        z1 = k * std::cos(theta_root / 3.0) - a1 / 3.0;
        z2 = k * std::cos(theta_root / 3.0 + 120.0 * kPi / 180.0) - a1 / 3.0;
        z3 = k * std::cos(theta_root / 3.0 + 240.0 * kPi / 180.0) - a1 / 3.0;
    } else {
        // d == 0 or NaN: the plain power (NaN for a negative jj).
        const double cube_root = std::pow(jj, kOneThird);
        z1 = 2.0 * cube_root - a1 / 3.0;
        z2 = -cube_root - a1 / 3.0;
        z3 = z2;
    }

    double z_min = z1;
    if (z2 < z_min) z_min = z2;
    if (z3 < z_min) z_min = z3;
    double z_max = z1;
    if (z2 > z_max) z_max = z2;
    if (z3 > z_max) z_max = z3;
    return z_min > 0.0 ? z_min : z_max;
}

namespace {

constexpr double kGasConstant = 10.73;   // psia ft3 / (lbmol degR)
constexpr double kOmegaA = 0.457235;
constexpr double kOmegaB = 0.077796;

// Terms of the Peng-Robinson equation that depend on the component and the
// temperature only; the pressure enters through aa and bb.
struct PengRobinsonTerms {
    double a_alpha;   // a x alpha
    double b;
    double rt;        // r x t
    double rt_sq;     // (r x t)^2
};

PengRobinsonTerms peng_robinson_terms(double t, double pc, double tc, double wi) {
    const double r = kGasConstant;
    const double tr = t / tc;
    const double a = kOmegaA * std::pow(r * tc, 2.0) / pc;
    const double b = kOmegaB * (r * tc) / pc;
    double m;
    if (wi <= 0.49) {
        m = 0.37464 + 1.5422 * wi - 0.26992 * std::pow(wi, 2.0);
    } else {
        m = 0.379642 + 1.48503 * wi - 0.1644 * std::pow(wi, 2.0) + 0.016667 * std::pow(wi, 3.0);
    }
    const double alpha = std::pow(1.0 + m * (1.0 - std::pow(tr, 0.5)), 2.0);
    return PengRobinsonTerms{a * alpha, b, r * t, std::pow(r * t, 2.0)};
}

// Density (lb/ft3) at pressure p (psia) from the cubic's smallest positive root.
double density_at_pressure(const PengRobinsonTerms& k, double p, double t, double mw) {
    const double aa = k.a_alpha * p / k.rt_sq;
    const double bb = k.b * p / k.rt;
    const double a1 = bb - 1.0;
    const double a2 = aa - 3.0 * std::pow(bb, 2.0) - 2.0 * bb;
    const double a3 = -aa * bb + std::pow(bb, 2.0) + std::pow(bb, 3.0);
    const double z_min = cubic_equation_solution(a1, a2, a3);
    return p * mw / (z_min * kGasConstant * t);
}

}  // namespace

double desity_calc(double p, double t, double pc, double tc, double mw, double wi) {
    return density_at_pressure(peng_robinson_terms(t, pc, tc, wi), p, t, mw);
}

double oil_solubility_parameter(double mw, double temp_f) {
    return (0.01 * mw + 6.97) - (0.00556 * temp_f);
}

namespace {

// The gas parameter with the square roots of the critical pressures given.
double gas_parameter_from_roots(const double* comp, const double* rho, const double* rhoc,
                                const double* root_pc, std::size_t n) {
    double result = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        result += (comp[i] * 0.122) * (rho[i] / rhoc[i]) * root_pc[i];
    }
    return result;
}

}  // namespace

double gas_solubility_parameter(const double* comp, const double* rho, const double* rhoc,
                                const double* pc, std::size_t n) {
    double result = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double root_pc = std::pow(pc[i], 0.5);
        result += gas_parameter_from_roots(comp + i, rho + i, rhoc + i, &root_pc, 1);
    }
    return result;
}

InjectedGas injected_gas_from_name(std::string_view name) {
    // ASCII letter case only: no other spelling of the two names exists.
    auto same_name = [name](std::string_view lower) {
        if (name.size() != lower.size()) return false;
        for (std::size_t i = 0; i < name.size(); ++i) {
            const char c = name[i];
            const char folded = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            if (folded != lower[i]) return false;
        }
        return true;
    };
    if (same_name("co2")) return InjectedGas::co2;
    if (same_name("n2")) return InjectedGas::nitrogen;
    return InjectedGas::hydrocarbon;
}

const GasComposition& gas_composition(InjectedGas gas) {
    // Carbon dioxide; 80 % nitrogen with 20 % carbon dioxide; 80 % methane
    // with 20 % butane.
    static const GasComposition co2{1, {1.0, 0.0}, {44.01, 0.0}, {0.094, 0.0},
                                    {1069.865, 0.0}, {547.54, 0.0}, {0.225, 0.0}};
    static const GasComposition n2{2, {0.8, 0.2}, {28.013, 44.01}, {0.0901, 0.094},
                                   {492.3143, 1069.865}, {226.8, 547.54}, {0.04, 0.225}};
    static const GasComposition hc{2, {0.8, 0.2}, {16.043, 58.124}, {0.099, 0.263},
                                   {667.1961, 551.143}, {343.08, 734.58}, {0.008, 0.176}};
    switch (gas) {
        case InjectedGas::co2: return co2;
        case InjectedGas::nitrogen: return n2;
        case InjectedGas::hydrocarbon: break;
    }
    return hc;
}

namespace {

// The near root below a far root p_far (psia), where gap(p_far) < 0: the
// lowest pressure, to kMmpBisectionWidth, at which gap has come down to
// kMmpGap from above. Bisection keeps gap(lo) > kMmpGap and hi at or past the
// root (a NaN gap counts as past it). kMmpNotFound when atmospheric pressure
// is not on the near side already, or lies at or above p_far.
// Bisection between lo, where the gap is above kMmpGap, and hi, where it is
// not (or NaN), down to kMmpBisectionWidth; the answer is the upper end.
template <typename Gap>
double bisect_to_gap(const Gap& gap, double lo, double hi) {
    while (hi - lo > kMmpBisectionWidth) {
        const double mid = lo + (hi - lo) / 2.0;
        if (gap(mid) > kMmpGap) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return hi;
}

template <typename Gap>
double near_root_below(const Gap& gap, double p_far) {
    double lo = kMmpLowestPressure;
    double hi = p_far;
    if (!(gap(lo) > kMmpGap) || !(hi > lo)) return kMmpNotFound;
    return bisect_to_gap(gap, lo, hi);
}

// The root above a pressure p_low (psia) where the gap is still above
// kMmpGap: steps of 1, 2, 4, ... psi up to the first pressure where it is
// not (NaN counts as past the root), then bisection to kMmpBisectionWidth;
// the answer is the upper end. kMmpNotFound when no pressure up to it gets
// within the gap.
template <typename Gap>
double near_root_above(const Gap& gap, double p_low) {
    double lo = p_low;
    if (!(lo < kMmpNotFound)) return kMmpNotFound;
    double step = 1.0;
    double hi = std::min(lo + step, kMmpNotFound);
    while (gap(hi) > kMmpGap) {
        if (!(hi < kMmpNotFound)) return kMmpNotFound;
        lo = hi;
        step *= 2.0;
        hi = std::min(lo + step, kMmpNotFound);
    }
    return bisect_to_gap(gap, lo, hi);
}

// A converged pressure above kMmpNotFound is not a miscibility pressure the
// correlation can stand for: the reservoir gets the not-found value.
double capped_mmp(double p) { return p > kMmpNotFound ? kMmpNotFound : p; }

}  // namespace

double mmp(double api, double temp_f, InjectedGas gas) {
    const double t = temp_f + 459.67;
    const double mw = 6084.0 / (api - 5.9);
    const GasComposition& g = gas_composition(gas);

    // Everything but the densities is the same at every trial pressure.
    double rhoc[2];
    double root_pc[2];
    PengRobinsonTerms terms[2];
    for (std::size_t i = 0; i < g.n; ++i) {
        rhoc[i] = 0.062428 * (g.mw[i] / g.vc[i]);
        root_pc[i] = std::pow(g.pc[i], 0.5);
        terms[i] = peng_robinson_terms(t, g.pc[i], g.tc[i], g.wi[i]);
    }
    const double oil = oil_solubility_parameter(mw, temp_f);

    // Oil minus gas solubility parameter at a trial pressure (psia); the
    // secant's objective is |gap| - 3.
    auto gap = [&](double p) {
        double rho[2];
        for (std::size_t i = 0; i < g.n; ++i) {
            rho[i] = density_at_pressure(terms[i], p, t, g.mw[i]);
        }
        return oil - gas_parameter_from_roots(g.comp, rho, rhoc, root_pc, g.n);
    };

    double p0 = 3000.0;
    double p1 = 3010.0;
    double y0 = std::fabs(gap(p0)) - kMmpGap;
    double y1 = std::fabs(gap(p1)) - kMmpGap;
    for (int loop_count = 1;; ++loop_count) {
        if (loop_count == 100) return kMmpNotFound;
        const double f_prime = (y1 - y0) / (p1 - p0);
        const double p2 = p1 - y1 / f_prime;
        const double gap2 = gap(p2);
        const double y2 = std::fabs(gap2) - kMmpGap;
        const double err = std::fabs(y2);
        if (is_nan(err)) return kMmpNotFound;
        p0 = p1;
        p1 = p2;
        y0 = y1;
        y1 = y2;
        if (!(err < 0.01)) continue;
        // Converged by the secant's tolerance. The far root (the gas 3.0 above
        // the oil) leads to the near root below it. A near-side point counts
        // only where the gap rule itself holds (within 3.0, not 3.0 plus the
        // tolerance); one still above 3.0 lies just below the MMP, which is
        // sought above it (heavy oils whose gap levels off just above 3.0
        // used to "converge" there at absurd pressures). No pressure above
        // the not-found value is ever an answer.
        if (gap2 < 0.0) return capped_mmp(near_root_below(gap, p2));
        if (gap2 <= kMmpGap) return capped_mmp(p2);
        return near_root_above(gap, p2);
    }
}

ReservoirMmps reservoir_mmps(double oil_gravity_api, double temperature_f) {
    return reservoir_mmps(oil_gravity_api, temperature_f, ReservoirMmps{kNaN, kNaN, kNaN});
}

ReservoirMmps reservoir_mmps(double oil_gravity_api, double temperature_f,
                             const ReservoirMmps& measured) {
    const double api = oil_gravity_api == 0.01 ? 30.0 : oil_gravity_api;
    const double temp = temperature_f == 0.01 ? 50.0 : temperature_f;
    auto one = [&](double given, InjectedGas gas) { return is_nan(given) ? mmp(api, temp, gas) : given; };
    ReservoirMmps out{};
    out.co2 = one(measured.co2, InjectedGas::co2);
    out.hc = one(measured.hc, InjectedGas::hydrocarbon);
    out.n2 = one(measured.n2, InjectedGas::nitrogen);
    return out;
}

Source mmp_source(const ReservoirMmps& measured, InjectedGas gas) {
    double given = measured.n2;
    if (gas == InjectedGas::co2) given = measured.co2;
    if (gas == InjectedGas::hydrocarbon) given = measured.hc;
    return is_nan(given) ? Source::correlation : Source::measured;
}

std::string_view source_name(Source source) {
    switch (source) {
        case Source::reported: return "reported";
        case Source::default_value: return "default";
        case Source::correlation: return "correlation";
        case Source::measured: return "measured";
        case Source::fixed: return "fixed";
        case Source::missing: return "missing";
    }
    return "missing";
}

}  // namespace zelt
