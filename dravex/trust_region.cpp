#include "trust_region.hpp"

#include <algorithm>
#include <utility>

namespace quon::trf {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The larger of two, NaN when either is.
double nan_max(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::numeric_limits<double>::quiet_NaN();
    return a < b ? b : a;
}

// V w, V's rows being the decomposition's vt read by rows.
Vec from_singular_basis(const Scaled& a, const Vec& w) {
    Vec out{};
    dense::rows_times(kN, kN, a.svd.v.data(), w.data(), out.data());
    return out;
}

// J_h s.
std::vector<double> apply(const Scaled& a, const Vec& s) {
    std::vector<double> out(a.m);
    dense::rows_times(a.m, kN, a.augmented.data(), s.data(), out.data());
    return out;
}

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
// positive); nothing when there is no such point (s zero, x outside the
// ball).
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

}  // namespace

bool all_finite(const double* v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

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

TrustStep solve_trust_region(const Scaled& a, double delta, double initial_alpha) {
    const Vec s{a.svd.s[0], a.svd.s[1], a.svd.s[2]};
    const Vec suf = times(s, a.uf);
    const bool full_rank = a.m >= kN && s[kN - 1] > (kEps * static_cast<double>(a.m)) * s[0];
    auto phi_and_derivative = [&](double alpha, double& phi, double& phi_prime) {
        Vec w{}, q{};
        for (std::size_t k = 0; k < kN; ++k) {
            const double denom = s[k] * s[k] + alpha;
            w[k] = suf[k] / denom;
            q[k] = (suf[k] * suf[k]) / (denom * denom * denom);
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
        return std::max(0.001 * alpha_upper, std::sqrt(alpha_lower * alpha_upper));
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

}  // namespace quon::trf
