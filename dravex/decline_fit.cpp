#include "decline_fit.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace quon {

namespace {

constexpr std::size_t kN = 3;  // qi, di_tan, b
using Vec = std::array<double, kN>;
constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();

Vec as_vec(const ArpsParams& p) { return {p.qi, p.di_tan, p.b}; }
ArpsParams as_params(const Vec& v) { return {v[0], v[1], v[2]}; }

double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double norm(const Vec& a) { return std::sqrt(dot(a, a)); }
double dot(const std::vector<double>& a, const std::vector<double>& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return s;
}
Vec times(const Vec& a, const Vec& b) { return {a[0] * b[0], a[1] * b[1], a[2] * b[2]}; }
Vec scaled(const Vec& a, double k) { return {a[0] * k, a[1] * k, a[2] * k}; }
Vec plus(const Vec& a, const Vec& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }

struct Box {
    Vec lb, ub;
    bool holds(const Vec& x) const {
        for (std::size_t j = 0; j < kN; ++j)
            if (!(x[j] >= lb[j] && x[j] <= ub[j])) return false;
        return true;
    }
};

// Residuals Q(t_i; x) - q_i of the Arps cumulative, formed as the driver's
// model function forms them.
struct Residuals {
    const double* t;
    const double* q;
    std::size_t m;
    double q_unit_factor;
    void operator()(const Vec& x, std::vector<double>& r) const {
        arps_cumulatives(as_params(x), t, m, q_unit_factor, r.data());
        for (std::size_t i = 0; i < m; ++i) r[i] -= q[i];
    }
};

bool all_finite(const std::vector<double>& v) {
    for (double x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

// m x 3 matrix by columns.
using Columns = std::array<std::vector<double>, kN>;

// J s, for a matrix of columns.
std::vector<double> apply(const Columns& J, const Vec& s) {
    std::vector<double> out(J[0].size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = J[0][i] * s[0] + J[1][i] * s[1] + J[2][i] * s[2];
    return out;
}

Vec transposed_apply(const Columns& J, const std::vector<double>& f) {
    return {dot(J[0], f), dot(J[1], f), dot(J[2], f)};
}

// Forward-difference Jacobian at x with residuals f0 there; a step that
// would leave the box is turned back when the other side has room, else
// shortened to the wider side's distance.
void jacobian(const Residuals& fun, const Vec& x, const std::vector<double>& f0, const Box& box, Columns& J,
              std::vector<double>& work) {
    const double relative_step = std::sqrt(kEps);
    for (std::size_t j = 0; j < kN; ++j) {
        double h = relative_step * (x[j] >= 0.0 ? 1.0 : -1.0) * std::max(1.0, std::fabs(x[j]));
        const double lower = x[j] - box.lb[j];
        const double upper = box.ub[j] - x[j];
        const double moved = x[j] + h;
        const bool violated = moved < box.lb[j] || moved > box.ub[j];
        const bool fitting = std::fabs(h) <= std::max(lower, upper);
        if (violated && fitting) h = -h;
        if (!fitting) h = upper >= lower ? upper : -lower;
        Vec xh = x;
        xh[j] = x[j] + h;
        const double dx = xh[j] - x[j];  // the step as represented
        fun(xh, work);
        J[j].resize(f0.size());
        for (std::size_t i = 0; i < f0.size(); ++i) J[j][i] = (work[i] - f0[i]) / dx;
    }
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

// ------------------------------------------------- the trust-region problem

// Thin SVD of [J_h; diag(sqrt(diag_h))] by one-sided Jacobi rotations,
// singular values descending; uf = U^T [f; 0].
struct Decomposition {
    Vec s{};
    std::array<Vec, kN> v{};  // v[k]: the k-th right singular vector
    Vec uf{};
};

Decomposition decompose(const Columns& Jh, const Vec& diag_root, const std::vector<double>& f) {
    const std::size_t m = f.size();
    Columns a;
    for (std::size_t k = 0; k < kN; ++k) {
        a[k] = Jh[k];
        a[k].resize(m + kN, 0.0);
        a[k][m + k] = diag_root[k];
    }
    std::array<Vec, kN> v{};
    for (std::size_t k = 0; k < kN; ++k) v[k][k] = 1.0;
    for (int sweep = 0; sweep < 60; ++sweep) {
        bool rotated = false;
        for (std::size_t p = 0; p + 1 < kN; ++p) {
            for (std::size_t q = p + 1; q < kN; ++q) {
                const double alpha = dot(a[p], a[p]);
                const double beta = dot(a[q], a[q]);
                const double gamma = dot(a[p], a[q]);
                if (gamma == 0.0 || std::fabs(gamma) <= kEps * std::sqrt(alpha * beta)) continue;
                rotated = true;
                const double zeta = (beta - alpha) / (2.0 * gamma);
                const double t = (zeta >= 0.0 ? 1.0 : -1.0) / (std::fabs(zeta) + std::sqrt(1.0 + zeta * zeta));
                const double c = 1.0 / std::sqrt(1.0 + t * t);
                const double s = c * t;
                for (std::size_t i = 0; i < m + kN; ++i) {
                    const double ap = a[p][i], aq = a[q][i];
                    a[p][i] = c * ap - s * aq;
                    a[q][i] = s * ap + c * aq;
                }
                for (std::size_t i = 0; i < kN; ++i) {
                    const double vp = v[p][i], vq = v[q][i];
                    v[p][i] = c * vp - s * vq;
                    v[q][i] = s * vp + c * vq;
                }
            }
        }
        if (!rotated) break;
    }
    std::array<std::size_t, kN> order{0, 1, 2};
    Vec norms{};
    for (std::size_t k = 0; k < kN; ++k) norms[k] = std::sqrt(dot(a[k], a[k]));
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return norms[x] > norms[y]; });
    Decomposition d;
    for (std::size_t r = 0; r < kN; ++r) {
        const std::size_t k = order[r];
        d.s[r] = norms[k];
        d.v[r] = v[k];
        double af = 0.0;
        for (std::size_t i = 0; i < m; ++i) af += a[k][i] * f[i];
        d.uf[r] = norms[k] > 0.0 ? af / norms[k] : 0.0;
    }
    return d;
}

// V w, with the right singular vectors as V's columns.
Vec from_singular_basis(const Decomposition& d, const Vec& w) {
    Vec out{};
    for (std::size_t k = 0; k < kN; ++k)
        for (std::size_t i = 0; i < kN; ++i) out[i] += d.v[k][i] * w[k];
    return out;
}

struct TrustStep {
    Vec p{};
    double alpha = 0.0;
};

// The step p_h minimising |J_h p + f|^2 + p^T diag_h p with |p| <= delta:
// the Gauss-Newton step when it fits, else the Levenberg-Marquardt step
// whose length is delta to 1 %, alpha found by More's iteration.
TrustStep solve_trust_region(std::size_t m, const Decomposition& d, double delta, double initial_alpha) {
    const Vec suf = times(d.s, d.uf);
    const bool full_rank = m >= kN && d.s[kN - 1] > kEps * static_cast<double>(m) * d.s[0];
    auto phi_and_derivative = [&](double alpha, double& phi, double& phi_prime) {
        Vec w{}, q{};
        for (std::size_t k = 0; k < kN; ++k) {
            const double denom = d.s[k] * d.s[k] + alpha;
            w[k] = suf[k] / denom;
            q[k] = suf[k] * suf[k] / std::pow(denom, 3.0);
        }
        const double p_norm = norm(w);
        phi = p_norm - delta;
        phi_prime = -(q[0] + q[1] + q[2]) / p_norm;
    };
    TrustStep out;
    if (full_rank) {
        Vec w{};
        for (std::size_t k = 0; k < kN; ++k) w[k] = d.uf[k] / d.s[k];
        const Vec p = from_singular_basis(d, w);
        if (norm(p) <= delta) {
            out.p = scaled(p, -1.0);
            return out;
        }
    }
    double alpha_upper = norm(suf) / delta;
    double alpha_lower = 0.0;
    if (full_rank) {
        double phi = 0.0, phi_prime = 0.0;
        phi_and_derivative(0.0, phi, phi_prime);
        alpha_lower = -phi / phi_prime;
    }
    auto restart = [&] { return std::max(0.001 * alpha_upper, std::sqrt(alpha_lower * alpha_upper)); };
    double alpha = (!full_rank && initial_alpha == 0.0) ? restart() : initial_alpha;
    for (int it = 0; it < 10; ++it) {
        if (alpha < alpha_lower || alpha > alpha_upper) alpha = restart();
        double phi = 0.0, phi_prime = 0.0;
        phi_and_derivative(alpha, phi, phi_prime);
        if (phi < 0.0) alpha_upper = alpha;
        const double ratio = phi / phi_prime;
        alpha_lower = std::max(alpha_lower, alpha - ratio);
        alpha -= (phi + delta) * ratio / delta;
        if (std::fabs(phi) < 0.01 * delta) break;
    }
    Vec w{};
    for (std::size_t k = 0; k < kN; ++k) w[k] = suf[k] / (d.s[k] * d.s[k] + alpha);
    Vec p = scaled(from_singular_basis(d, w), -1.0);
    p = scaled(p, delta / norm(p));  // on the radius exactly, not past it
    out.p = p;
    out.alpha = alpha;
    return out;
}

// ------------------------------------------------------- the step in the box

// 0.5 s^T (J^T J + diag) s + g^T s.
double quadratic(const Columns& J, const Vec& g, const Vec& s, const Vec& diag) {
    const std::vector<double> js = apply(J, s);
    const double q = dot(js, js) + dot(times(s, diag), s);
    return 0.5 * q + dot(s, g);
}

// f(t) = a t^2 + b t + c along s0 + s t.
struct Line {
    double a = 0.0, b = 0.0, c = 0.0;
};

Line quadratic_along(const Columns& J, const Vec& g, const Vec& s, const Vec& diag, const Vec* s0) {
    const std::vector<double> v = apply(J, s);
    Line l;
    l.a = 0.5 * (dot(v, v) + dot(times(s, diag), s));
    l.b = dot(g, s);
    if (s0 != nullptr) {
        const std::vector<double> u = apply(J, *s0);
        l.b += dot(u, v);
        l.c = 0.5 * dot(u, u) + dot(g, *s0);
        l.b += dot(times(*s0, diag), s);
        l.c += 0.5 * dot(times(*s0, diag), *s0);
    }
    return l;
}

// The minimum of the line's quadratic on [lo, hi]: (t, value).
std::pair<double, double> minimise_on(const Line& l, double lo, double hi) {
    std::array<double, 3> t{lo, hi, 0.0};
    std::size_t n = 2;
    if (l.a != 0.0) {
        const double extremum = -0.5 * l.b / l.a;
        if (lo < extremum && extremum < hi) t[n++] = extremum;
    }
    std::size_t best = 0;
    double best_y = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double y = t[k] * (l.a * t[k] + l.b) + l.c;
        if (std::isnan(y)) return {t[k], y};  // the first NaN, as an argmin has it
        if (k == 0 || y < best_y) {
            best = k;
            best_y = y;
        }
    }
    return {t[best], best_y};
}

// The step along s from x to the nearest bound, and which bounds it
// meets there (-1 lower, +1 upper, 0 none).
double step_to_bound(const Vec& x, const Vec& s, const Box& box, Vec& hits) {
    Vec steps{kInf, kInf, kInf};
    for (std::size_t j = 0; j < kN; ++j)
        if (s[j] != 0.0) steps[j] = std::max((box.lb[j] - x[j]) / s[j], (box.ub[j] - x[j]) / s[j]);
    const double min_step = std::min({steps[0], steps[1], steps[2]});
    for (std::size_t j = 0; j < kN; ++j)
        hits[j] = steps[j] == min_step ? (s[j] > 0.0 ? 1.0 : (s[j] < 0.0 ? -1.0 : 0.0)) : 0.0;
    return min_step;
}

// Where the line x + s t leaves the ball of radius delta (t negative and positive).
std::optional<std::pair<double, double>> leave_ball(const Vec& x, const Vec& s, double delta) {
    const double a = dot(s, s);
    if (a == 0.0) return std::nullopt;
    const double b = dot(x, s);
    const double c = dot(x, x) - delta * delta;
    if (c > 0.0) return std::nullopt;
    const double d = std::sqrt(b * b - a * c);
    const double q = -(b + std::copysign(d, b));
    const double t1 = q / a;
    const double t2 = c / q;
    return t1 < t2 ? std::make_pair(t1, t2) : std::make_pair(t2, t1);
}

struct Step {
    Vec x_step{};      // in the variables
    Vec h_step{};      // in the scaled variables
    double predicted;  // predicted cost reduction
};

// The trust-region step when it stays in the box; otherwise the best of
// the step cut at the bound and pulled back by theta, its reflection off
// the bound, and the scaled steepest descent.
std::optional<Step> select_step(const Vec& x, const Columns& Jh, const Vec& diag_h, const Vec& g_h, Vec p,
                                Vec p_h, const Vec& d, double delta, const Box& box, double theta) {
    if (box.holds(plus(x, p))) return Step{p, p_h, -quadratic(Jh, g_h, p_h, diag_h)};

    Vec hits{};
    const double p_stride = step_to_bound(x, p, box, hits);
    Vec r_h = p_h;
    for (std::size_t j = 0; j < kN; ++j)
        if (hits[j] != 0.0) r_h[j] = -r_h[j];
    Vec r = times(d, r_h);
    p = scaled(p, p_stride);
    p_h = scaled(p_h, p_stride);
    const Vec x_on_bound = plus(x, p);

    const auto ball = leave_ball(p_h, r_h, delta);
    if (!ball) return std::nullopt;
    const double to_tr = ball->second;
    Vec unused{};
    const double to_bound = step_to_bound(x_on_bound, r, box, unused);
    double r_stride = std::min(to_bound, to_tr);
    double r_stride_l = 0.0, r_stride_u = -1.0;
    if (r_stride > 0.0) {
        r_stride_l = (1.0 - theta) * p_stride / r_stride;
        r_stride_u = r_stride == to_bound ? theta * to_bound : to_tr;
    }
    double r_value = kInf;
    if (r_stride_l <= r_stride_u) {
        const Line l = quadratic_along(Jh, g_h, r_h, diag_h, &p_h);
        const auto [t, value] = minimise_on(l, r_stride_l, r_stride_u);
        r_stride = t;
        r_value = value;
        r_h = plus(scaled(r_h, r_stride), p_h);
        r = times(r_h, d);
    }

    p = scaled(p, theta);
    p_h = scaled(p_h, theta);
    const double p_value = quadratic(Jh, g_h, p_h, diag_h);

    Vec ag_h = scaled(g_h, -1.0);
    Vec ag = times(d, ag_h);
    const double ag_to_tr = delta / norm(ag_h);
    const double ag_to_bound = step_to_bound(x, ag, box, unused);
    const double ag_limit = ag_to_bound < ag_to_tr ? theta * ag_to_bound : ag_to_tr;
    const auto [ag_stride, ag_value] = minimise_on(quadratic_along(Jh, g_h, ag_h, diag_h, nullptr), 0.0, ag_limit);
    ag_h = scaled(ag_h, ag_stride);
    ag = scaled(ag, ag_stride);

    if (p_value < r_value && p_value < ag_value) return Step{p, p_h, -p_value};
    if (r_value < p_value && r_value < ag_value) return Step{r, r_h, -r_value};
    return Step{ag, ag_h, -ag_value};
}

// x moved strictly inside the box: a coordinate on or past a bound goes to
// the next double inside (rstep 0) or rstep x max(1, |bound|) inside; where
// that leaves the box, to the box's middle.
Vec strictly_inside(const Vec& x, const Box& box, double rstep) {
    Vec out = x;
    for (std::size_t j = 0; j < kN; ++j) {
        const double lb = box.lb[j], ub = box.ub[j];
        bool lower = false, upper = false;
        if (rstep == 0.0) {
            lower = x[j] <= lb;
            upper = x[j] >= ub;
        } else {
            const double lower_dist = x[j] - lb, upper_dist = ub - x[j];
            lower = lower_dist <= std::min(upper_dist, rstep * std::max(1.0, std::fabs(lb)));
            upper = upper_dist <= std::min(lower_dist, rstep * std::max(1.0, std::fabs(ub)));
        }
        if (lower) out[j] = rstep == 0.0 ? std::nextafter(lb, ub) : lb + rstep * std::max(1.0, std::fabs(lb));
        if (upper) out[j] = rstep == 0.0 ? std::nextafter(ub, lb) : ub - rstep * std::max(1.0, std::fabs(ub));
        if (out[j] < lb || out[j] > ub) out[j] = 0.5 * (lb + ub);
    }
    return out;
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
    for (std::size_t i = 0; i < m; ++i)
        out[i] = arps_rate_from_power(p.qi, std::pow(arps_base(p.di_tan, p.b, t[i]), exponent));
}

ArpsFit fit_arps_cumulative(const double* t, const double* q, std::size_t m, const ArpsFitSettings& settings) {
    ArpsFit fit;
    fit.params = fit_start(settings.b_play);
    if (m == 0) return fit;
    for (std::size_t i = 0; i < m; ++i)
        if (!std::isfinite(t[i]) || !std::isfinite(q[i])) return fit;
    const Box box{as_vec(fit_lower_bounds(settings.b_play)), as_vec(fit_upper_bounds(settings.b_play))};
    const Vec start = as_vec(fit_start(settings.b_play));
    for (std::size_t j = 0; j < kN; ++j) {
        if (!(box.lb[j] < box.ub[j])) {
            fit.status = FitStatus::infeasible_start;
            return fit;
        }
    }
    if (!box.holds(start)) {
        fit.status = FitStatus::infeasible_start;
        return fit;
    }

    const Residuals fun{t, q, m, settings.q_unit_factor};
    Vec x = strictly_inside(start, box, 1e-10);
    fit.params = as_params(x);
    std::vector<double> f(m), f_new(m), work(m);
    fun(x, f);
    int evaluations = 1;
    fit.evaluations = evaluations;
    if (!all_finite(f)) {
        fit.status = FitStatus::nonfinite_start;
        return fit;
    }
    Columns J;
    jacobian(fun, x, f, box, J, work);
    double cost = 0.5 * dot(f, f);
    Vec g = transposed_apply(J, f);
    Vec v{}, dv{};
    scaling_vector(x, g, box, v, dv);
    double delta = norm({x[0] / std::sqrt(v[0]), x[1] / std::sqrt(v[1]), x[2] / std::sqrt(v[2])});
    if (delta == 0.0) delta = 1.0;
    double alpha = 0.0;
    std::optional<FitStatus> status;

    while (true) {
        scaling_vector(x, g, box, v, dv);
        const double g_norm = std::max({std::fabs(g[0] * v[0]), std::fabs(g[1] * v[1]), std::fabs(g[2] * v[2])});
        if (g_norm < settings.gtol) status = FitStatus::gtol;
        if (status || evaluations == settings.max_evaluations) break;

        const Vec d{std::sqrt(v[0]), std::sqrt(v[1]), std::sqrt(v[2])};
        const Vec diag_h = times(g, dv);
        const Vec g_h = times(d, g);
        Columns Jh;
        for (std::size_t j = 0; j < kN; ++j) {
            Jh[j] = J[j];
            for (double& e : Jh[j]) e *= d[j];
        }
        const Vec diag_root{std::sqrt(diag_h[0]), std::sqrt(diag_h[1]), std::sqrt(diag_h[2])};
        const Decomposition svd = decompose(Jh, diag_root, f);
        const double theta = std::max(0.995, 1.0 - g_norm);

        double reduction = -1.0, cost_new = cost;
        Vec x_new = x;
        while (reduction <= 0.0 && evaluations < settings.max_evaluations) {
            const TrustStep tr = solve_trust_region(m, svd, delta, alpha);
            alpha = tr.alpha;
            const std::optional<Step> step =
                select_step(x, Jh, diag_h, g_h, times(d, tr.p), tr.p, d, delta, box, theta);
            if (!step) {
                fit.status = FitStatus::no_step;
                return fit;
            }
            x_new = strictly_inside(plus(x, step->x_step), box, 0.0);
            fun(x_new, f_new);
            ++evaluations;
            fit.evaluations = evaluations;
            const double step_h_norm = norm(step->h_step);
            if (!all_finite(f_new)) {
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
                delta_new = 2.0 * delta;
            status = termination(reduction, cost, norm(step->x_step), norm(x), ratio, settings);
            if (status) break;
            alpha *= delta / delta_new;
            delta = delta_new;
        }
        if (reduction > 0.0) {
            x = x_new;
            f.swap(f_new);
            cost = cost_new;
            jacobian(fun, x, f, box, J, work);
            g = transposed_apply(J, f);
            fit.params = as_params(x);
        }
    }
    fit.status = status ? *status : FitStatus::evaluations_spent;
    return fit;
}

}  // namespace quon
