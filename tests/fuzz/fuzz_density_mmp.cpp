// Peng-Robinson densities and Lange's MMP iteration on arbitrary inputs.
//
// desity_calc: NaN in, NaN out; for a component in its physical range
// (positive pressure, temperature and critical constants) a finite positive
// density, since the cubic always has a root above B there.
// mmp: either exactly 19000.0, or a pressure of at most 19000 psia on the
// near side of Lange's criterion, judged by the gap oil - gas parameter
// rebuilt here from the public step functions: either the secant's root
// (gap within [3 - 0.01, 3]) or the bisection's answer when the secant found
// the far root (above 14.7 psia, gap not above 3: the bisection's upper end
// never lies before the near root). The domain error of the cubic solver
// may pass through both.
#include <cmath>

#include "fluid_properties.hpp"
#include "fuzz_input.hpp"

namespace {

// Oil minus gas solubility parameter at pressure p (psia).
double mmp_gap(double api, double temp_f, zelt::InjectedGas gas, double p) {
    const zelt::GasComposition& g = zelt::gas_composition(gas);
    const double t = temp_f + 459.67;
    const double mw = 6084.0 / (api - 5.9);
    double rho[2], rhoc[2];
    for (std::size_t i = 0; i < g.n; ++i) {
        rho[i] = zelt::desity_calc(p, t, g.pc[i], g.tc[i], g.mw[i], g.wi[i]);
        rhoc[i] = 0.062428 * (g.mw[i] / g.vc[i]);
    }
    const double oil = zelt::oil_solubility_parameter(mw, temp_f);
    return oil - zelt::gas_solubility_parameter(g.comp, rho, rhoc, g.pc, g.n);
}

void check_density(fuzz::Input& in) {
    const double p = in.value(1.0, 20000.0);
    const double t = in.value(300.0, 1500.0);
    const double pc = in.value(300.0, 1500.0);
    const double tc = in.value(100.0, 800.0);
    const double mw = in.value(2.0, 200.0);
    const double wi = in.value(-0.3, 1.5);
    double rho;
    try {
        rho = zelt::desity_calc(p, t, pc, tc, mw, wi);
    } catch (const zelt::MathDomainError&) {
        return;
    }
    const double args[] = {p, t, pc, tc, mw, wi};
    bool any_nan = false;
    for (double a : args) any_nan = any_nan || std::isnan(a);
    if (any_nan) {
        FUZZ_CHECK(std::isnan(rho), "NaN argument gave density %.17g", rho);
        return;
    }
    const bool physical = p >= 1.0 && p <= 20000.0 && t >= 300.0 && t <= 1500.0 && pc >= 300.0 &&
                          pc <= 1500.0 && tc >= 100.0 && tc <= 800.0 && mw >= 2.0 && mw <= 200.0 &&
                          wi >= -0.3 && wi <= 1.5;
    if (physical) {
        FUZZ_CHECK(std::isfinite(rho) && rho > 0.0,
                   "density %.17g at p %.17g t %.17g pc %.17g tc %.17g mw %.17g wi %.17g", rho, p, t,
                   pc, tc, mw, wi);
    }
}

void check_mmp(fuzz::Input& in) {
    const double api = in.value(6.0, 70.0);
    const double temp = in.value(40.0, 400.0);
    const zelt::InjectedGas gases[] = {zelt::InjectedGas::co2, zelt::InjectedGas::hydrocarbon,
                                       zelt::InjectedGas::nitrogen};
    const zelt::InjectedGas gas = gases[in.byte() % 3];
    double result;
    try {
        result = zelt::mmp(api, temp, gas);
    } catch (const zelt::MathDomainError&) {
        return;
    }
    if (result == zelt::kMmpNotFound) return;
    FUZZ_CHECK(std::isfinite(result), "MMP %.17g for api %.17g temp %.17g gas %d", result, api, temp,
               static_cast<int>(gas));
    double gap;
    try {
        gap = mmp_gap(api, temp, gas, result);
    } catch (const zelt::MathDomainError&) {
        FUZZ_CHECK(false, "objective fails at the returned MMP %.17g (api %.17g temp %.17g)", result,
                   api, temp);
        return;
    }
    FUZZ_CHECK(result <= zelt::kMmpNotFound, "MMP %.17g above the not-found value (api %.17g temp %.17g)",
               result, api, temp);
    const bool secant_root = gap > 3.0 - 0.01 && gap <= 3.0;
    const bool bisected_near_root = result > 14.7 && !(gap > 3.0);
    FUZZ_CHECK(secant_root || bisected_near_root,
               "MMP %.17g not on the near side: gap %.17g (api %.17g temp %.17g gas %d)", result, gap,
               api, temp, static_cast<int>(gas));

    // The reservoir record: three independent MMPs of the same oil.
    if (in.flag() && api != 0.01 && temp != 0.01) {
        zelt::ReservoirMmps m{};
        try {
            m = zelt::reservoir_mmps(api, temp);
        } catch (const zelt::MathDomainError&) {
            return;
        }
        const double got[] = {m.co2, m.hc, m.n2};
        FUZZ_CHECK(fuzz::same(got[static_cast<int>(gas)], result),
                   "reservoir record %.17g differs from mmp %.17g", got[static_cast<int>(gas)],
                   result);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    if (in.flag()) {
        check_density(in);
    } else {
        check_mmp(in);
    }
    return 0;
}
