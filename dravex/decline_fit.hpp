// The decline fit of the forecasting module in plain C++: the Arps
// hyperbolic cumulative fitted to a cumulative series by bounded least
// squares, with the objective, bounds, start and stopping rules of the
// driver's fit.
//
// The method is the trust-region reflective one for bound-constrained
// problems (Branch, Coleman and Li), with the steps, scaling and stopping
// rules of the interpreter's bounded least-squares fitter:
//   - the start pulled 1e-10 inside the box; Coleman-Li scaling of the
//     variables by their distance to the bound the gradient points at; the
//     trust region in the scaled variables, first radius |x0 / sqrt(v)|;
//   - each step the exact trust-region solution: the singular value
//     decomposition of the scaled Jacobian augmented by the scaling's
//     diagonal (jacobi_svd.hpp), the Levenberg-Marquardt parameter by
//     More's root finding (at most 10 iterations, 1 % on the radius); a
//     step that leaves the box is cut at the bound and the better of the
//     cut step (pulled back by theta = max(0.995, 1 - |g|)), its reflection
//     and the scaled steepest descent is taken; the new point is moved to
//     the next double inside when it lies on a bound;
//   - radius: a quarter of the step when the cost fell by less than a
//     quarter of the prediction, doubled when it fell by more than three
//     quarters and the step reached 95 % of the radius; a trial point whose
//     residuals are not finite quarters the radius;
//   - stopping: gtol on the scaled gradient's largest element, ftol on the
//     cost reduction relative to the cost (with a ratio above 0.25), xtol
//     on the step relative to |x|, or failure when the residuals have been
//     evaluated max_evaluations times (100 per parameter);
//   - Jacobian by forward differences, step sqrt(eps) * max(1, |x_j|),
//     turned back or shortened where it would leave the box; the
//     difference quotients are not counted as evaluations.
// Powers are the C library's pow. With ftol 0.01 the fit stops once a step
// gains less than 1 % of the cost, so two implementations of these steps
// that round differently in the last bits can stop one step apart on a
// few series; the fitted curves then differ by what that step changed.
//
// Units: t months, q and Q thousands of volume units, qi volume per day,
// di_tan 1/month, b dimensionless (history_match.hpp).
#pragma once

#include <cstddef>
#include <functional>

#include "history_match.hpp"

namespace quon {

struct ArpsParams {
    double qi = 0.0;
    double di_tan = 0.0;
    double b = 0.0;
};

// The fit's constants: the objective's unit factor, the play's b (centre
// of b's range and its start), and the stopping tolerances. The defaults
// are the driver's fit: ftol 0.01, the fitter's own xtol, gtol and
// evaluation limit.
struct ArpsFitSettings {
    double q_unit_factor = kQUnitFactor;
    double b_play = kBPlay;
    double ftol = 0.01;
    double xtol = 1e-8;
    double gtol = 1e-8;
    int max_evaluations = 300;
};

enum class FitStatus {
    gtol = 1,               // scaled gradient below gtol
    ftol = 2,               // cost reduction below ftol x cost
    xtol = 3,               // step below xtol x |x|
    ftol_and_xtol = 4,
    evaluations_spent = 0,  // max_evaluations reached without convergence
    nonfinite_data = -1,    // a time or cumulative is NaN or infinite, or there are none
    infeasible_start = -2,  // the bounds are empty or do not hold the start
    nonfinite_start = -3,   // the residuals at the start are not finite
    no_step = -4,           // no trust-region step could be formed (a non-finite Jacobian)
};

struct ArpsFit {
    FitStatus status = FitStatus::nonfinite_data;
    ArpsParams params;    // the last accepted point (the start when none was)
    int evaluations = 0;  // residual evaluations, the start's included
    double cost = 0.0;    // half the sum of the squared residuals at params
    bool converged() const { return static_cast<int>(status) > 0; }
};

// Box of the fit: qi in [0.01, 1e5], di_tan in [1e-4, 99], b in
// [b_play - 0.25, b_play + 0.7]; start (1000, 0.01, b_play).
ArpsParams fit_lower_bounds(double b_play);
ArpsParams fit_upper_bounds(double b_play);
ArpsParams fit_start(double b_play);

// (qi, di_tan, b) minimising sum_i (Q(t_i) - q_i)^2 inside the box, from
// the start. `t` and `q` hold m values each. Safe to call from several
// threads at once.
ArpsFit fit_arps_cumulative(const double* t, const double* q, std::size_t m, const ArpsFitSettings& settings);

// Q(t_i) and q(t_i) of a decline at m times.
void arps_cumulatives(const ArpsParams& p, const double* t, std::size_t m, double q_unit_factor, double* out);
void arps_rates(const ArpsParams& p, const double* t, std::size_t m, double* out);

}  // namespace quon
