// The trust-region reflective steps of the decline fit (decline_fit.hpp)
// in three variables inside a box: the scaled trust-region problem solved
// through a singular value decomposition, the choice between the cut, the
// reflected and the steepest-descent step at a bound, and the moves that
// keep a point strictly inside, as the bounded trust-region reflective
// method takes them; the decompositions by jacobi_svd.hpp.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <vector>

#include "decline_fit.hpp"
#include "jacobi_svd.hpp"

namespace quon::trf {

inline constexpr std::size_t kN = 3;  // the variables: qi, di_tan, b
using Vec = std::array<double, kN>;
inline constexpr double kEps = std::numeric_limits<double>::epsilon();

inline double dot(const Vec& a, const Vec& b) { return dense::dot(kN, a.data(), b.data()); }
inline double norm(const Vec& a) { return std::sqrt(dot(a, a)); }
inline double dot(const std::vector<double>& a, const std::vector<double>& b) {
    return dense::dot(a.size(), a.data(), b.data());
}
inline Vec times(const Vec& a, const Vec& b) { return {a[0] * b[0], a[1] * b[1], a[2] * b[2]}; }
inline Vec scaled(const Vec& a, double k) { return {a[0] * k, a[1] * k, a[2] * k}; }
inline Vec plus(const Vec& a, const Vec& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
inline Vec negated(const Vec& a) { return {-a[0], -a[1], -a[2]}; }

bool all_finite(const double* v, std::size_t n);

struct Box {
    Vec lb, ub;
    bool holds(const Vec& x) const {
        for (std::size_t j = 0; j < kN; ++j)
            if (!(x[j] >= lb[j] && x[j] <= ub[j])) return false;
        return true;
    }
};

// The scaled Jacobian J_h (m rows) over the rows of diag(sqrt(diag_h)),
// stored by rows, and its thin singular value decomposition.
struct Scaled {
    std::size_t m = 0;
    std::vector<double> augmented;  // (m + 3) x 3 by rows; the first m rows are J_h
    dense::ThinSvd svd;
    Vec uf{};  // U^T [f; 0]
};

// J_h = J diag(d) of the Jacobian stored transposed (jt[j*m + i]), its
// decomposition and U^T [f; 0]. False when it cannot be made (non-finite
// entries): no step can be formed there.
bool decompose(const std::vector<double>& jt, const Vec& d, const Vec& diag_h, const std::vector<double>& f,
               Scaled& out);

struct TrustStep {
    Vec p{};
    double alpha = 0.0;  // the Levenberg-Marquardt parameter; 0 for the Gauss-Newton step
};

// The step p_h minimising |J_h p + f|^2 + p^T diag_h p with |p| <= delta:
// the Gauss-Newton step when it fits, else the Levenberg-Marquardt step
// whose length is delta to 1 %, alpha found by More's iteration from
// initial_alpha.
TrustStep solve_trust_region(const Scaled& a, double delta, double initial_alpha);

struct Step {
    Vec x_step{};      // in the variables
    Vec h_step{};      // in the scaled variables
    double predicted;  // predicted cost reduction
};

// The trust-region step p (p_h scaled) when it stays in the box; otherwise
// the best of the step cut at the bound and pulled back by theta, its
// reflection off the bound, and the scaled steepest descent. Nothing when
// the reflection cannot meet the trust region's boundary.
std::optional<Step> select_step(const Vec& x, const Scaled& jh, const Vec& diag_h, const Vec& g_h, Vec p, Vec p_h,
                                const Vec& d, double delta, const Box& box, double theta);

// x moved strictly inside the box: a coordinate on or past a bound goes to
// the next double inside (rstep 0) or rstep x max(1, |bound|) inside; where
// that leaves the box, to the box's middle.
Vec strictly_inside(const Vec& x, const Box& box, double rstep);

}  // namespace quon::trf
