// The cubic solver on arbitrary coefficients, and on cubics built from known
// real roots.
//
// A finite root must put the cubic to zero within a relative tolerance,
// measured against the size of the cubic's terms at its root bound (so that a
// small root beside large ones is judged at the scale its coefficients were
// computed at). The closed form loses up to a cube root of the working
// precision where jj and the root of the discriminant cancel, about 6e-6 of
// the roots' scale, hence the tolerance; roots beyond 1e40 or below 1e-40
// are left out, where the discriminant (of the order of the roots' sixth
// power) overflows or underflows in double arithmetic. NaN is allowed only
// where the solver gives it by IEEE rules (a NaN coefficient; a zero
// discriminant with a negative jj, whose plain cube root is NaN) or
// where the intermediate q, jj or d overflowed; the domain error only where
// rounding pushed the arc-cosine argument past 1.
#include <algorithm>
#include <cmath>

#include "fluid_properties.hpp"
#include "fuzz_input.hpp"

namespace {

constexpr double kResidualTolerance = 1e-4;

struct Discriminant {
    double q, jj, d;
};

// q, jj and d as the solver forms them.
Discriminant discriminant(double a1, double a2, double a3) {
    const double q = (3.0 * a2 - std::pow(a1, 2.0)) / 9.0;
    const double jj = (9.0 * a1 * a2 - 27.0 * a3 - 2.0 * std::pow(a1, 3.0)) / 54.0;
    return {q, jj, std::pow(q, 3.0) + std::pow(jj, 2.0)};
}

bool finite(const Discriminant& x) {
    return std::isfinite(x.q) && std::isfinite(x.jj) && std::isfinite(x.d);
}

// Bound on the size of the roots (Fujiwara), in extended precision.
long double root_bound(long double a1, long double a2, long double a3) {
    return 2.0L * std::max({std::fabs(a1), std::sqrt(std::fabs(a2)), std::cbrt(std::fabs(a3))});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const bool from_roots = in.flag();
    double roots[3] = {0, 0, 0};
    double a1, a2, a3;
    if (from_roots) {
        for (double& r : roots) r = in.value(-4.0, 4.0);
        std::sort(roots, roots + 3);
        a1 = -(roots[0] + roots[1] + roots[2]);
        a2 = roots[0] * roots[1] + roots[0] * roots[2] + roots[1] * roots[2];
        a3 = -(roots[0] * roots[1] * roots[2]);
    } else {
        a1 = in.value(-3.0, 1.0);
        a2 = in.value(-1.0, 1.0);
        a3 = in.value(-0.1, 0.1);
    }

    const Discriminant disc = discriminant(a1, a2, a3);
    double z;
    try {
        z = zelt::cubic_equation_solution(a1, a2, a3);
    } catch (const zelt::MathDomainError&) {
        const double arg = disc.jj / std::pow(-disc.q, 1.5);
        FUZZ_CHECK(disc.d < 0.0 && std::fabs(arg) - 1.0 <= 1e-12,
                   "domain error beyond rounding: a = %.17g %.17g %.17g, arg %.17g", a1, a2, a3,
                   arg);
        return 0;
    }

    if (std::isnan(a1) || std::isnan(a2) || std::isnan(a3)) {
        FUZZ_CHECK(std::isnan(z), "NaN coefficient gave %.17g", z);
        return 0;
    }
    if (!std::isfinite(a1) || !std::isfinite(a2) || !std::isfinite(a3)) return 0;

    if (!std::isfinite(z)) {
        FUZZ_CHECK(!finite(disc) || (disc.d == 0.0 && disc.jj < 0.0),
                   "non-finite root %.17g for a = %.17g %.17g %.17g (q %.17g jj %.17g d %.17g)", z,
                   a1, a2, a3, disc.q, disc.jj, disc.d);
        return 0;
    }
    // Residual in extended precision, where z^3 cannot overflow; judged where
    // q, jj and d, of the order of R^2, R^3 and R^6 for roots of size R,
    // neither overflow nor lose their digits to underflow.
    if (!finite(disc)) return 0;
    const long double r = root_bound(a1, a2, a3);
    if (r != 0.0L && (r < 1e-40L || r > 1e40L)) return 0;
    const long double zl = z;
    const long double residual = std::fabs(((zl + a1) * zl + a2) * zl + a3);
    const long double scale = r * r * r + std::fabs((long double)a1) * r * r +
                              std::fabs((long double)a2) * r + std::fabs((long double)a3);
    FUZZ_CHECK(residual <= kResidualTolerance * scale,
               "root %.17g of a = %.17g %.17g %.17g leaves %.6Lg of scale %.6Lg", z, a1, a2, a3,
               residual, scale);

    if (from_roots) {
        // The smallest root when it is positive, otherwise the largest; judged
        // only where the roots stand apart and away from zero, where rounding
        // of the coefficients cannot merge two of them or move one across 0.
        const double spread = std::max(1.0, std::fabs(roots[0]) + std::fabs(roots[2]));
        const double apart = 1e-3 * spread;
        if (roots[1] - roots[0] > apart && roots[2] - roots[1] > apart &&
            std::fabs(roots[0]) > apart) {
            const double expected = roots[0] > 0.0 ? roots[0] : roots[2];
            FUZZ_CHECK(std::fabs(z - expected) <= 1e-6 * spread,
                       "roots %.17g %.17g %.17g: returned %.17g, expected %.17g", roots[0],
                       roots[1], roots[2], z, expected);
        }
    }
    return 0;
}
