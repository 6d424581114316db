#include "decline_fit.hpp"

#include <algorithm>
#include <array>
#include <cfenv>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "dense.hpp"

namespace quon {

namespace {

constexpr std::size_t kN = 3;  // qi, di_tan, b
using Vec = std::array<double, kN>;
constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kWatched = FE_DIVBYZERO | FE_OVERFLOW | FE_INVALID;

Vec as_vec(const ArpsParams& p) { return {p.qi, p.di_tan, p.b}; }
ArpsParams as_params(const Vec& v) { return {v[0], v[1], v[2]}; }

double dot(const Vec& a, const Vec& b) { return dense::dot(kN, a.data(), b.data()); }
double norm(const Vec& a) { return std::sqrt(dot(a, a)); }
double dot(const std::vector<double>& a, const std::vector<double>& b) {
    return dense::dot(a.size(), a.data(), b.data());
}
Vec times(const Vec& a, const Vec& b) { return {a[0] * b[0], a[1] * b[1], a[2] * b[2]}; }
Vec scaled(const Vec& a, double k) { return {a[0] * k, a[1] * k, a[2] * k}; }
Vec plus(const Vec& a, const Vec& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec negated(const Vec& a) { return {-a[0], -a[1], -a[2]}; }

// The larger of two, NaN when either is (numpy's maximum).
double nan_max(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
    return a < b ? b : a;
}

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

bool all_finite(const double* v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

struct Box {
    Vec lb, ub;
    bool holds(const Vec& x) const {
        for (std::size_t j = 0; j < kN; ++j)
            if (!(x[j] >= lb[j] && x[j] <= ub[j])) return false;
        return true;
    }
};

// ------------------------------------------------------ exceptional events

// Thrown to stop a fit at an exceptional event (stop_when_exceptional).
struct Halt {};

// The floating-point status of the fit: the caller's flags are put aside
// and given back at the end; the powers may use the status for their own
// purposes, so the fit's flags are kept around each call of them.
class Powers {
public:
    Powers(const PowerFunction& power, bool stop) : power_(power), stop_(stop) {
        std::fegetexceptflag(&caller_, FE_ALL_EXCEPT);
        std::feclearexcept(FE_ALL_EXCEPT);
    }
    ~Powers() { std::fesetexceptflag(&caller_, FE_ALL_EXCEPT); }
    Powers(const Powers&) = delete;
    Powers& operator=(const Powers&) = delete;

    // Halts, when asked to, once an exceptional event has happened.
    void check() const {
        if (stop_ && std::fetestexcept(kWatched) != 0) throw Halt{};
    }

    void operator()(const double* bases, std::size_t n, double exponent, double* out) {
        check();
        if (stop_) {
            for (std::size_t i = 0; i < n; ++i)
                if (!quiet(bases[i], exponent)) throw Halt{};
        }
        fexcept_t mine;
        std::fegetexceptflag(&mine, FE_ALL_EXCEPT);
        struct Restore {
            fexcept_t& flags;
            ~Restore() { std::fesetexceptflag(&flags, FE_ALL_EXCEPT); }
        } restore{mine};
        power_(bases, n, exponent, out);
    }

private:
    // base^exponent is a finite, normal number reached without an
    // overflow, division by zero or invalid operation.
    static bool quiet(double base, double exponent) {
        if (!std::isfinite(base) || !std::isfinite(exponent)) return false;
        if (base == 0.0) return exponent > 0.0;
        return base > 0.0 && std::fabs(exponent * std::log(base)) < 700.0;
    }

    const PowerFunction& power_;
    bool stop_;
    fexcept_t caller_;
};

// ----------------------------------------------------------- the residuals

// Residuals Q(t_i; x) - q_i of the Arps cumulative, formed as the driver's
// model function forms them.
struct Residuals {
    const double* t;
    const double* q;
    std::size_t m;
    double q_unit_factor;
    Powers& powers;
    mutable std::vector<double> bases;

    void operator()(const Vec& x, std::vector<double>& r) const {
        const double scale = arps_cumulative_scale(x[0], x[1], x[2], q_unit_factor);
        const double exponent = arps_cumulative_exponent(x[2]);
        bases.resize(m);
        for (std::size_t i = 0; i < m; ++i) bases[i] = arps_base(x[1], x[2], t[i]);
        powers(bases.data(), m, exponent, r.data());
        for (std::size_t i = 0; i < m; ++i) r[i] = arps_cumulative_from_power(scale, r[i]) - q[i];
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

// ------------------------------------------------- the trust-region problem

// The scaled Jacobian J_h (m rows) over the rows of diag(sqrt(diag_h)),
// stored by rows, and its thin singular value decomposition.
struct Scaled {
    std::size_t m = 0;
    std::vector<double> augmented;  // (m + 3) x 3 by rows; the first m rows are J_h
    dense::ThinSvd svd;
    Vec uf{};  // U^T [f; 0]
};

// False when the decomposition cannot be made (non-finite entries, or
// LAPACK fails): the interpreter's fitter raises there.
bool decompose(const std::vector<double>& jt, const Vec& d, const Vec& diag_h, const std::vector<double>& f,
               Scaled& out) {
    const std::size_t m = f.size();
    out.m = m;
    out.augmented.assign((m + kN) * kN, 0.0);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < kN; ++j) out.augmented[i * kN + j] = jt[j * m + i] * d[j];
    for (std::size_t j = 0; j < kN; ++j) out.augmented[(m + j) * kN + j] = std::sqrt(diag_h[j]);
    if (!all_finite(out.augmented.data(), out.augmented.size())) return false;
    if (!dense::thin_svd(m + kN, kN, out.augmented.data(), out.svd)) return false;
    std::vector<double> f_augmented(f);
    f_augmented.resize(m + kN, 0.0);
    dense::rows_times(kN, m + kN, out.svd.u.data(), f_augmented.data(), out.uf.data());
    return true;
}

// V w, V's rows being the decomposition's vt read by rows.
Vec from_singular_basis(const Scaled& a, const Vec& w) {
    Vec out{};
    dense::rows_times(kN, kN, a.svd.vt.data(), w.data(), out.data());
    return out;
}

// J_h s.
std::vector<double> apply(const Scaled& a, const Vec& s) {
    std::vector<double> out(a.m);
    dense::rows_times(a.m, kN, a.augmented.data(), s.data(), out.data());
    return out;
}

struct TrustStep {
    Vec p{};
    double alpha = 0.0;
};

// The step p_h minimising |J_h p + f|^2 + p^T diag_h p with |p| <= delta:
// the Gauss-Newton step when it fits, else the Levenberg-Marquardt step
// whose length is delta to 1 %, alpha found by More's iteration.
TrustStep solve_trust_region(const Scaled& a, double delta, double initial_alpha, Powers& powers) {
    const Vec s{a.svd.s[0], a.svd.s[1], a.svd.s[2]};
    const Vec suf = times(s, a.uf);
    const bool full_rank = a.m >= kN && s[kN - 1] > (kEps * static_cast<double>(a.m)) * s[0];
    auto phi_and_derivative = [&](double alpha, double& phi, double& phi_prime) {
        Vec denom{}, cubes{};
        for (std::size_t k = 0; k < kN; ++k) denom[k] = s[k] * s[k] + alpha;
        powers(denom.data(), kN, 3.0, cubes.data());
        Vec w{}, q{};
        for (std::size_t k = 0; k < kN; ++k) {
            w[k] = suf[k] / denom[k];
            q[k] = (suf[k] * suf[k]) / cubes[k];
        }
        const double p_norm = norm(w);
        phi = p_norm - delta;
        phi_prime = -((q[0] + q[1]) + q[2]) / p_norm;
    };
    TrustStep out;
    if (full_rank) {
        const Vec p = negated(from_singular_basis(a, {a.uf[0] / s[0], a.uf[1] / s[1], a.uf[2] / s[2]}));
        if (norm(p) <= delta) {
            out.p = p;
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
    auto restart = [&] {
        return std::max(0.001 * alpha_upper, dense::c_library_pow(alpha_lower * alpha_upper, 0.5));
    };
    double alpha = (!full_rank && initial_alpha == 0.0) ? restart() : initial_alpha;
    for (int it = 0; it < 10; ++it) {
        if (alpha < alpha_lower || alpha > alpha_upper) alpha = restart();
        double phi = 0.0, phi_prime = 0.0;
        phi_and_derivative(alpha, phi, phi_prime);
        if (phi < 0.0) alpha_upper = alpha;
        const double ratio = phi / phi_prime;
        alpha_lower = std::max(alpha_lower, alpha - ratio);
        alpha -= ((phi + delta) * ratio) / delta;
        if (std::fabs(phi) < 0.01 * delta) break;
    }
    Vec w{};
    for (std::size_t k = 0; k < kN; ++k) w[k] = suf[k] / (s[k] * s[k] + alpha);
    const Vec p = negated(from_singular_basis(a, w));
    out.p = scaled(p, delta / norm(p));  // on the radius exactly, not past it
    out.alpha = alpha;
    return out;
}

// ------------------------------------------------------- the step in the box

// 0.5 s^T (J_h^T J_h + diag) s + g^T s.
double quadratic(const Scaled& a, const Vec& g, const Vec& s, const Vec& diag) {
    const std::vector<double> js = apply(a, s);
    double q = dot(js, js);
    q += dot(times(s, diag), s);
    return 0.5 * q + dot(s, g);
}

// f(t) = a t^2 + b t + c along s0 + s t.
struct Line {
    double a = 0.0, b = 0.0, c = 0.0;
};

Line quadratic_along(const Scaled& m, const Vec& g, const Vec& s, const Vec& diag, const Vec* s0) {
    const std::vector<double> v = apply(m, s);
    Line l;
    l.a = dot(v, v);
    l.a += dot(times(s, diag), s);
    l.a *= 0.5;
    l.b = dot(g, s);
    if (s0 != nullptr) {
        const std::vector<double> u = apply(m, *s0);
        l.b += dot(u, v);
        l.c = 0.5 * dot(u, u) + dot(g, *s0);
        l.b += dot(times(*s0, diag), s);
        l.c += 0.5 * dot(times(*s0, diag), *s0);
    }
    return l;
}

// The minimum of the line's quadratic on [lo, hi]: (t, value); the first
// NaN value when there is one, as an argmin has it.
std::pair<double, double> minimise_on(const Line& l, double lo, double hi) {
    std::array<double, 3> t{lo, hi, 0.0};
    std::size_t n = 2;
    if (l.a != 0.0) {
        const double extremum = (-0.5 * l.b) / l.a;
        if (lo < extremum && extremum < hi) t[n++] = extremum;
    }
    std::size_t best = 0;
    double best_y = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double y = t[k] * (l.a * t[k] + l.b) + l.c;
        if (std::isnan(y)) return {t[k], y};
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
        if (s[j] != 0.0) steps[j] = nan_max((box.lb[j] - x[j]) / s[j], (box.ub[j] - x[j]) / s[j]);
    double min_step = steps[0];
    for (std::size_t j = 1; j < kN && !std::isnan(min_step); ++j)
        if (std::isnan(steps[j]) || steps[j] < min_step) min_step = steps[j];
    for (std::size_t j = 0; j < kN; ++j)
        hits[j] = steps[j] == min_step ? (s[j] > 0.0 ? 1.0 : (s[j] < 0.0 ? -1.0 : 0.0)) : 0.0;
    return min_step;
}

// Where the line x + s t leaves the ball of radius delta (t negative and
// positive); nothing where the interpreter's fitter raises (s zero, x
// outside the ball).
std::optional<std::pair<double, double>> leave_ball(const Vec& x, const Vec& s, double delta) {
    const double a = dot(s, s);
    if (a == 0.0) return std::nullopt;
    const double b = dot(x, s);
    const double c = dot(x, x) - dense::c_library_pow(delta, 2.0);
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
std::optional<Step> select_step(const Vec& x, const Scaled& jh, const Vec& diag_h, const Vec& g_h, Vec p, Vec p_h,
                                const Vec& d, double delta, const Box& box, double theta) {
    if (box.holds(plus(x, p))) return Step{p, p_h, -quadratic(jh, g_h, p_h, diag_h)};

    Vec hits{};
    const double p_stride = step_to_bound(x, p, box, hits);
    Vec r_h = p_h;
    for (std::size_t j = 0; j < kN; ++j)
        if (hits[j] != 0.0) r_h[j] = r_h[j] * -1.0;
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
        r_stride_l = ((1.0 - theta) * p_stride) / r_stride;
        r_stride_u = r_stride == to_bound ? theta * to_bound : to_tr;
    }
    double r_value = kInf;
    if (r_stride_l <= r_stride_u) {
        const Line l = quadratic_along(jh, g_h, r_h, diag_h, &p_h);
        const auto [t, value] = minimise_on(l, r_stride_l, r_stride_u);
        r_stride = t;
        r_value = value;
        r_h = plus(scaled(r_h, r_stride), p_h);
        r = times(r_h, d);
    }

    p = scaled(p, theta);
    p_h = scaled(p_h, theta);
    const double p_value = quadratic(jh, g_h, p_h, diag_h);

    Vec ag_h = negated(g_h);
    Vec ag = times(d, ag_h);
    const double ag_to_tr = delta / norm(ag_h);
    const double ag_to_bound = step_to_bound(x, ag, box, unused);
    const double ag_limit = ag_to_bound < ag_to_tr ? theta * ag_to_bound : ag_to_tr;
    const auto [ag_stride, ag_value] = minimise_on(quadratic_along(jh, g_h, ag_h, diag_h, nullptr), 0.0, ag_limit);
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
        if (upper) lower = false;
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

// Whether pinv(J^T J) * cost / (m - 3) can be formed without an overflow
// or a division by zero, with margin: every kept singular value squared
// is a normal number and 3 cost / (m - 3) / s_min^2 stays far from the
// largest double.
bool covariance_is_quiet(const std::vector<double>& jt, std::size_t m, double cost) {
    if (m <= kN || !all_finite(jt.data(), jt.size())) return false;
    std::vector<double> rows(m * kN);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < kN; ++j) rows[i * kN + j] = jt[j * m + i];
    dense::ThinSvd svd;
    if (!dense::thin_svd(m, kN, rows.data(), svd)) return false;
    const double threshold = (kEps * static_cast<double>(m)) * svd.s[0];
    const double s_sq = (2.0 * cost) / static_cast<double>(m - kN);
    if (!(s_sq <= 1e290)) return false;
    for (double s : svd.s) {
        if (!(s > 0.5 * threshold)) continue;  // dropped (or near the cut: judged as kept)
        const double square = s * s;
        if (!(square > 1e-290)) return false;
        const double limit = square >= 1.0 ? 1e290 : 1e290 * square;
        if (3.0 * s_sq > limit) return false;
    }
    return true;
}

// The fit, with its powers; Halt passes through.
ArpsFit run_fit(const double* t, const double* q, std::size_t m, const ArpsFitSettings& settings, Powers& powers) {
    ArpsFit fit;
    fit.params = fit_start(settings.b_play);
    if (m == 0 || !all_finite(t, m) || !all_finite(q, m)) return fit;
    const Box box{as_vec(fit_lower_bounds(settings.b_play)), as_vec(fit_upper_bounds(settings.b_play))};
    const Vec start = as_vec(fit_start(settings.b_play));
    fit.status = FitStatus::infeasible_start;
    for (std::size_t j = 0; j < kN; ++j)
        if (!(box.lb[j] < box.ub[j])) return fit;
    if (!box.holds(start)) return fit;

    const Residuals fun{t, q, m, settings.q_unit_factor, powers, {}};
    Vec x = strictly_inside(start, box, 1e-10);
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
    Scaled jh;

    while (true) {
        scaling_vector(x, g, box, v, dv);
        const double g_norm = max_abs(times(g, v));
        if (g_norm < settings.gtol) status = FitStatus::gtol;
        if (status || evaluations == settings.max_evaluations) break;

        const Vec d{std::sqrt(v[0]), std::sqrt(v[1]), std::sqrt(v[2])};
        const Vec diag_h = times(g, dv);
        const Vec g_h = times(d, g);
        if (!decompose(jt, d, diag_h, f, jh)) {
            fit.status = FitStatus::no_step;
            return fit;
        }
        const double theta = std::max(0.995, 1.0 - g_norm);

        double reduction = -1.0, cost_new = cost;
        Vec x_new = x;
        while (reduction <= 0.0 && evaluations < settings.max_evaluations) {
            const TrustStep tr = solve_trust_region(jh, delta, alpha, powers);
            alpha = tr.alpha;
            const std::optional<Step> step = select_step(x, jh, diag_h, g_h, times(d, tr.p), tr.p, d, delta, box, theta);
            if (!step) {
                fit.status = FitStatus::no_step;
                return fit;
            }
            x_new = strictly_inside(plus(x, step->x_step), box, 0.0);
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
    powers.check();
    fit.status = status ? *status : FitStatus::evaluations_spent;
    fit.cost = cost;
    if (settings.check_covariance && fit.converged()) fit.quiet_covariance = covariance_is_quiet(jt, m, cost);
    return fit;
}

}  // namespace

void c_library_powers(const double* bases, std::size_t n, double exponent, double* out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::pow(bases[i], exponent);
}

ArpsParams fit_lower_bounds(double b_play) { return {0.01, 0.0001, b_play - 0.25}; }
ArpsParams fit_upper_bounds(double b_play) { return {100000.0, 99.0, b_play + 0.7}; }
ArpsParams fit_start(double b_play) { return {1000.0, 0.01, b_play}; }

void arps_cumulatives(const ArpsParams& p, const double* t, std::size_t m, double q_unit_factor, double* out,
                      const PowerFunction& power) {
    const double scale = arps_cumulative_scale(p.qi, p.di_tan, p.b, q_unit_factor);
    std::vector<double> bases(m);
    for (std::size_t i = 0; i < m; ++i) bases[i] = arps_base(p.di_tan, p.b, t[i]);
    power(bases.data(), m, arps_cumulative_exponent(p.b), out);
    for (std::size_t i = 0; i < m; ++i) out[i] = arps_cumulative_from_power(scale, out[i]);
}

void arps_rates(const ArpsParams& p, const double* t, std::size_t m, double* out, const PowerFunction& power) {
    std::vector<double> bases(m);
    for (std::size_t i = 0; i < m; ++i) bases[i] = arps_base(p.di_tan, p.b, t[i]);
    power(bases.data(), m, arps_rate_exponent(p.b), out);
    for (std::size_t i = 0; i < m; ++i) out[i] = arps_rate_from_power(p.qi, out[i]);
}

ArpsFit fit_arps_cumulative(const double* t, const double* q, std::size_t m, const ArpsFitSettings& settings,
                            const PowerFunction& power) {
    Powers powers(power, settings.stop_when_exceptional);
    try {
        return run_fit(t, q, m, settings, powers);
    } catch (const Halt&) {
        ArpsFit fit;
        fit.status = FitStatus::exceptional;
        return fit;
    }
}

}  // namespace quon
