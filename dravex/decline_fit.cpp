#include "decline_fit.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "jacobi_svd.hpp"
#include "trust_region.hpp"

namespace quon {

namespace {

using trf::kN;
using trf::Vec;
using trf::kEps;
using trf::Box;
using trf::all_finite;
using trf::dot;
using trf::norm;
using trf::times;
using trf::plus;

Vec as_vec(const ArpsParams& p) { return {p.qi, p.di_tan, p.b}; }
ArpsParams as_params(const Vec& v) { return {v[0], v[1], v[2]}; }

// The largest magnitude, NaN when there is one.
double max_abs(const Vec& a) {
    double out = std::fabs(a[0]);
    for (std::size_t j = 1; j < kN; ++j) {
        const double x = std::fabs(a[j]);
        if (std::isnan(out) || std::isnan(x)) return std::numeric_limits<double>::quiet_NaN();
        if (x > out) out = x;
    }
    return out;
}

// ----------------------------------------------------------- the residuals

// Residuals Q(t_i; x) - q_i of the Arps cumulative, formed as the driver's
// model function forms them.
struct Residuals {
    Residuals(const double* times, const double* values, std::size_t count, double unit_factor)
        : t(times), q(values), m(count), q_unit_factor(unit_factor) {}

    const double* t;
    const double* q;
    std::size_t m;
    double q_unit_factor;
    // The powers base(t_i)^(1 - 1/b) of the last (di_tan, b) evaluated: the
    // cumulative is linear in qi, so a point that differs only in qi (the
    // Jacobian's first column) takes the same powers without computing
    // them again, bit for bit.
    mutable std::vector<double> powers;
    mutable double powers_di = std::numeric_limits<double>::quiet_NaN();
    mutable double powers_b = std::numeric_limits<double>::quiet_NaN();

    void operator()(const Vec& x, std::vector<double>& r) const {
        if (!(x[1] == powers_di && x[2] == powers_b)) {
            const double exponent = arps_cumulative_exponent(x[2]);
            powers.resize(m);
            for (std::size_t i = 0; i < m; ++i) powers[i] = std::pow(arps_base(x[1], x[2], t[i]), exponent);
            powers_di = x[1];
            powers_b = x[2];
        }
        const double scale = arps_cumulative_scale(x[0], x[1], x[2], q_unit_factor);
        for (std::size_t i = 0; i < m; ++i) r[i] = arps_cumulative_from_power(scale, powers[i]) - q[i];
    }
};

// Forward-difference Jacobian at x with residuals f0 there, stored
// transposed (jt[j*m + i] = dr_i/dx_j); a step that would leave the box is
// turned back when it fits the other way, else shortened to the wider
// side's distance.
void jacobian(const Residuals& fun, const Vec& x, const std::vector<double>& f0, const Box& box,
              std::vector<double>& jt, std::vector<double>& work) {
    const double relative_step = std::sqrt(kEps);
    const std::size_t m = f0.size();
    jt.resize(kN * m);
    for (std::size_t j = 0; j < kN; ++j) {
        double h = (relative_step * (x[j] >= 0.0 ? 1.0 : -1.0)) * std::max(1.0, std::fabs(x[j]));
        const double lower = x[j] - box.lb[j];
        const double upper = box.ub[j] - x[j];
        const double moved = x[j] + h;
        const bool violated = moved < box.lb[j] || moved > box.ub[j];
        const bool fitting = std::fabs(h) <= std::max(lower, upper);
        if (violated && fitting) h = -h;
        if (!fitting) h = upper >= lower ? upper : -lower;
        Vec xh{};
        for (std::size_t k = 0; k < kN; ++k) xh[k] = x[k] + (k == j ? h : 0.0);
        const double dx = xh[j] - x[j];  // the step as represented
        fun(xh, work);
        for (std::size_t i = 0; i < m; ++i) jt[j * m + i] = (work[i] - f0[i]) / dx;
    }
}

// J^T f, with J stored transposed.
Vec gradient(const std::vector<double>& jt, const std::vector<double>& f) {
    Vec g{};
    dense::rows_times(kN, f.size(), jt.data(), f.data(), g.data());
    return g;
}

// Coleman-Li scaling: the distance to the bound the descent heads for.
void scaling_vector(const Vec& x, const Vec& g, const Box& box, Vec& v, Vec& dv) {
    for (std::size_t j = 0; j < kN; ++j) {
        v[j] = 1.0;
        dv[j] = 0.0;
        if (g[j] < 0.0 && std::isfinite(box.ub[j])) {
            v[j] = box.ub[j] - x[j];
            dv[j] = -1.0;
        }
        if (g[j] > 0.0 && std::isfinite(box.lb[j])) {
            v[j] = x[j] - box.lb[j];
            dv[j] = 1.0;
        }
    }
}

// The status of a step: ftol on the cost reduction, xtol on the step.
std::optional<FitStatus> termination(double reduction, double cost, double step_norm, double x_norm, double ratio,
                                     const ArpsFitSettings& s) {
    const bool ftol = reduction < s.ftol * cost && ratio > 0.25;
    const bool xtol = step_norm < s.xtol * (s.xtol + x_norm);
    if (ftol && xtol) return FitStatus::ftol_and_xtol;
    if (ftol) return FitStatus::ftol;
    if (xtol) return FitStatus::xtol;
    return std::nullopt;
}

}  // namespace

ArpsFit fit_arps_cumulative(const double* t, const double* q, std::size_t m, const ArpsFitSettings& settings) {
    ArpsFit fit;
    fit.params = fit_start(settings.b_play);
    if (m == 0 || !all_finite(t, m) || !all_finite(q, m)) return fit;
    const Box box{as_vec(fit_lower_bounds(settings.b_play)), as_vec(fit_upper_bounds(settings.b_play))};
    const Vec start = as_vec(fit_start(settings.b_play));
    fit.status = FitStatus::infeasible_start;
    for (std::size_t j = 0; j < kN; ++j)
        if (!(box.lb[j] < box.ub[j])) return fit;
    if (!box.holds(start)) return fit;

    const Residuals fun(t, q, m, settings.q_unit_factor);
    Vec x = trf::strictly_inside(start, box, 1e-10);
    fit.params = as_params(x);
    std::vector<double> f(m), f_new(m), work(m);
    fun(x, f);
    int evaluations = 1;
    fit.evaluations = evaluations;
    if (!all_finite(f.data(), m)) {
        fit.status = FitStatus::nonfinite_start;
        return fit;
    }
    std::vector<double> jt;
    jacobian(fun, x, f, box, jt, work);
    double cost = 0.5 * dot(f, f);
    Vec g = gradient(jt, f);
    Vec v{}, dv{};
    scaling_vector(x, g, box, v, dv);
    double delta = norm({x[0] / std::sqrt(v[0]), x[1] / std::sqrt(v[1]), x[2] / std::sqrt(v[2])});
    if (delta == 0.0) delta = 1.0;
    double alpha = 0.0;
    std::optional<FitStatus> status;
    trf::Scaled jh;

    while (true) {
        scaling_vector(x, g, box, v, dv);
        const double g_norm = max_abs(times(g, v));
        if (g_norm < settings.gtol) status = FitStatus::gtol;
        if (status || evaluations == settings.max_evaluations) break;

        const Vec d{std::sqrt(v[0]), std::sqrt(v[1]), std::sqrt(v[2])};
        const Vec diag_h = times(g, dv);
        const Vec g_h = times(d, g);
        if (!trf::decompose(jt, d, diag_h, f, jh)) {
            fit.status = FitStatus::no_step;
            return fit;
        }
        const double theta = std::max(0.995, 1.0 - g_norm);

        double reduction = -1.0, cost_new = cost;
        Vec x_new = x;
        while (reduction <= 0.0 && evaluations < settings.max_evaluations) {
            const trf::TrustStep tr = trf::solve_trust_region(jh, delta, alpha);
            alpha = tr.alpha;
            const std::optional<trf::Step> step =
                trf::select_step(x, jh, diag_h, g_h, times(d, tr.p), tr.p, d, delta, box, theta);
            if (!step) {
                fit.status = FitStatus::no_step;
                return fit;
            }
            x_new = trf::strictly_inside(plus(x, step->x_step), box, 0.0);
            fun(x_new, f_new);
            ++evaluations;
            fit.evaluations = evaluations;
            const double step_h_norm = norm(step->h_step);
            if (!all_finite(f_new.data(), m)) {
                delta = 0.25 * step_h_norm;
                continue;
            }
            cost_new = 0.5 * dot(f_new, f_new);
            reduction = cost - cost_new;
            double ratio = 0.0;
            if (step->predicted > 0.0)
                ratio = reduction / step->predicted;
            else if (step->predicted == 0.0 && reduction == 0.0)
                ratio = 1.0;
            double delta_new = delta;
            if (ratio < 0.25)
                delta_new = 0.25 * step_h_norm;
            else if (ratio > 0.75 && step_h_norm > 0.95 * delta)
                delta_new = delta * 2.0;
            status = termination(reduction, cost, norm(step->x_step), norm(x), ratio, settings);
            if (status) break;
            alpha *= delta / delta_new;
            delta = delta_new;
        }
        if (reduction > 0.0) {
            x = x_new;
            f.swap(f_new);
            cost = cost_new;
            jacobian(fun, x, f, box, jt, work);
            g = gradient(jt, f);
            fit.params = as_params(x);
        }
    }
    fit.status = status ? *status : FitStatus::evaluations_spent;
    fit.cost = cost;
    return fit;
}

ArpsParams fit_lower_bounds(double b_play) { return {0.01, 0.0001, b_play - 0.25}; }
ArpsParams fit_upper_bounds(double b_play) { return {100000.0, 99.0, b_play + 0.7}; }
ArpsParams fit_start(double b_play) { return {1000.0, 0.01, b_play}; }

void arps_cumulatives(const ArpsParams& p, const double* t, std::size_t m, double q_unit_factor, double* out) {
    const double scale = arps_cumulative_scale(p.qi, p.di_tan, p.b, q_unit_factor);
    const double exponent = arps_cumulative_exponent(p.b);
    for (std::size_t i = 0; i < m; ++i)
        out[i] = arps_cumulative_from_power(scale, std::pow(arps_base(p.di_tan, p.b, t[i]), exponent));
}

void arps_rates(const ArpsParams& p, const double* t, std::size_t m, double* out) {
    const double exponent = arps_rate_exponent(p.b);
    for (std::size_t i = 0; i < m; ++i) out[i] = arps_rate_from_power(p.qi, std::pow(arps_base(p.di_tan, p.b, t[i]), exponent));
}

}  // namespace quon
