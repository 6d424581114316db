// Reservoir fluid properties: the screening parameters of a reservoir with
// their defaults and correlations, Peng-Robinson component densities, the
// solubility parameters of oil and injected gas, and Lange's minimum
// miscibility pressure.
//
// Plain double arithmetic in the order the formulas are written: NaN means
// "not reported" and propagates; overflow gives infinities, never an error.
// The only failure is MathDomainError, from the arc-cosine of the cubic
// solver when rounding pushes its argument outside [-1, 1].
#pragma once

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string_view>

namespace zelt {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Log-linear correlation lines (base-10 logarithms), fixed at start-up.
struct CorrelationConstants {
    double slope_viscosity;     // log10(cP) per degAPI: 1000 cP at 20 API, 0.1 cP at 50 API
    double intercept_viscosity;
    double slope_rs;            // log10(scf/STB) per degAPI: 20 at 10 API, 1000 at 42 API
    double intercept_rs;
    double kv_kh_ratio;         // vertical over horizontal permeability
    double slope_salinity;      // log10(ppm) per ft: 5000 ppm at 0 ft, 100000 ppm at 15000 ft
    double intercept_salinity;
};
const CorrelationConstants& correlation_constants();

// Where a screening value of a reservoir came from.
enum class Source : unsigned char {
    reported,       // the caller's column
    default_value,  // a constant standing in for what was not reported (50 ft of net pay, 5 deg dip)
    correlation,    // derived from other values (viscosity from gravity, pressure from depth, ...)
    measured,       // a measured or study MMP given by the caller
    fixed,          // what the method always assumes (kv = 0.1 kh)
    missing,        // nothing reported it and nothing fills it: the value stays NaN
};
inline constexpr std::size_t kSourceCount = 6;

// "reported", "default", "correlation", "measured", "fixed", "missing".
std::string_view source_name(Source source);

// Minimum miscibility pressures of one reservoir for the three gases, psia.
struct ReservoirMmps {
    double co2;
    double hc;
    double n2;
};

// One reservoir as reported; NaN wherever a value was not reported.
struct ReservoirRecord {
    double oil_gravity_api = kNaN;
    double dead_oil_viscosity_cp = kNaN;
    double top_depth_ft = kNaN;
    double net_thickness_ft = kNaN;
    double gross_thickness_ft = kNaN;
    double permeability_md = kNaN;
    double porosity_pct = kNaN;
    double recovery_factor_pct = kNaN;
    double pressure_psi = kNaN;
    double temperature_c = kNaN;
    double water_saturation_pct = kNaN;
    double salinity_ppm = kNaN;
    // Reservoir-condition viscosity (cP): where given it is the in-situ
    // viscosity itself, without the dead-to-live-oil step.
    double in_situ_viscosity_cp = kNaN;
    // Measured or study MMPs (psia): where given they replace the correlation
    // for that gas.
    ReservoirMmps measured_mmps = {kNaN, kNaN, kNaN};
    // Temperature at the surface (degC): where given, a temperature estimated
    // from depth starts from it instead of 0 degC.
    double surface_temperature_c = kNaN;
};

// Reservoir temperature (degC) estimated from depth (ft): 35 degC per km
// (3280.84 ft) below the surface temperature, 0 degC where that is NaN.
double temperature_from_depth(double depth_ft, double surface_temperature_c);

// The eleven screening parameters of the first method, in vocabulary order.
struct FieldData {
    double oil_gravity_api;              // "Oil Gravity"
    double in_situ_viscosity_cp;         // "Oil Viscosity (in situ)"
    double depth_ft;                     // "Reservoir Depth" (NaN kept)
    double net_pay_ft;                   // "Net Pay Thickness"
    double vertical_permeability_md;     // "Average Vertical Permeability"
    double horizontal_permeability_md;   // "Average Horizontal Permeability"
    double pressure_psi;                 // "Current Reservoir Pressure"
    double temperature_f;                // "Reservoir Temperature"
    double oil_saturation_pct;           // "Current Oil Saturation"
    double dip_deg;                      // "Reservoir Dip" (always 5)
    double salinity_ppm;                 // "Formation Salinity"
};

// Where each parameter of a FieldData came from, member by member.
struct FieldSources {
    Source oil_gravity_api;
    Source in_situ_viscosity_cp;
    Source depth_ft;
    Source net_pay_ft;
    Source vertical_permeability_md;
    Source horizontal_permeability_md;
    Source pressure_psi;
    Source temperature_f;
    Source oil_saturation_pct;
    Source dip_deg;
    Source salinity_ppm;
};

// Dead-oil viscosity (cP) from gravity (degAPI) on the log-linear line.
double dead_oil_viscosity_from_gravity(double gravity_api);
// Solution gas-oil ratio (scf/STB) from gravity (degAPI).
double solution_gas_oil_ratio(double gravity_api);
// Beggs-Robinson live-oil viscosity (cP) from gravity (degAPI) and a dead-oil
// viscosity (cP); a NaN dead-oil viscosity is estimated from the gravity.
double live_oil_viscosity(double gravity_api, double dead_oil_viscosity_cp);

// In-situ viscosity (cP): the reported reservoir-condition value where
// given, otherwise the live-oil viscosity of the dead-oil value (or of
// gravity alone). Sets `source` to reported or correlation.
double in_situ_viscosity(double gravity_api, double dead_oil_viscosity_cp,
                         double in_situ_viscosity_cp, Source& source);

// First-method field data with its defaults (30 API, 50 ft pay, 50 mD, 0.5
// psi/ft, 35 degC/km, 50 % oil saturation, 5 deg dip, salinity from depth),
// and where each value came from. Sources: a value derived from another is
// a correlation whatever that other's source; the oil saturation is
// reported when both the water saturation and the recovery factor are, a
// correlation when the recovery factor is the 10 % default, a default
// without water saturation; kv is fixed (0.1 kh); the dip is a default;
// pressure, temperature and salinity estimated from a missing depth are
// missing.
FieldData derive_field_data(const ReservoirRecord& reservoir, FieldSources& sources);
FieldData derive_field_data(const ReservoirRecord& reservoir);

// Raised where the host's math library raises "math domain error".
class MathDomainError : public std::domain_error {
public:
    MathDomainError() : std::domain_error("math domain error") {}
};

// One real root Z of Z^3 + a1 Z^2 + a2 Z + a3 = 0: the smallest root when it
// is positive, otherwise the largest.
double cubic_equation_solution(double a1, double a2, double a3);

// Peng-Robinson density (lb/ft3) of a pure component at pressure p (psia) and
// temperature t (degR); pc psia, tc degR, mw lb/lbmol, wi acentric factor.
double desity_calc(double p, double t, double pc, double tc, double mw, double wi);

// Oil solubility parameter from molecular weight (lb/lbmol) and temperature (degF).
double oil_solubility_parameter(double mw, double temp_f);

// Gas-mixture solubility parameter: sum of 0.122 x mole fraction x reduced
// density x sqrt(critical pressure) over the first n components.
// rho and rhoc in lb/ft3, pc in psia.
double gas_solubility_parameter(const double* comp, const double* rho, const double* rhoc,
                                const double* pc, std::size_t n);

enum class InjectedGas { co2, hydrocarbon, nitrogen };

// "co2" and "n2" in any letter case ("CO2", "Co2", "N2") name carbon dioxide
// and the nitrogen gas; every other name is the hydrocarbon gas.
InjectedGas injected_gas_from_name(std::string_view name);

// Component table of an injected gas (parallel arrays, n entries).
struct GasComposition {
    std::size_t n;
    double comp[2];         // mole fraction
    double mw[2];           // lb/lbmol
    double vc[2];           // critical volume, m3/kmol
    double pc[2];           // psia
    double tc[2];           // degR
    double wi[2];           // acentric factor
};
const GasComposition& gas_composition(InjectedGas gas);

// Returned when the secant iteration does not converge within 99 steps or
// breaks down (NaN), or when no near root lies above atmospheric pressure, psia.
inline constexpr double kMmpNotFound = 19000.0;

// Solubility-parameter gap of Lange's criterion: the gas parameter within
// this much below the oil's.
inline constexpr double kMmpGap = 3.0;
// Lower end of the search for the near root (atmospheric pressure), psia,
// and the width to which it is narrowed, psi.
inline constexpr double kMmpLowestPressure = 14.7;
inline constexpr double kMmpBisectionWidth = 0.01;

// Lange's minimum miscibility pressure (psia) of one injected gas for an oil
// of gravity api (degAPI) at temp (degF): the lowest pressure at which the
// gas solubility parameter comes within 3.0 below the oil's.
//
// With gap(P) = oil parameter - gas parameter at P, a secant iteration from
// 3000 and 3010 psia seeks a root of |gap(P)| - 3 (at most 99 steps, 0.01
// tolerance on |gap| - 3; 19000 psia when it does not converge or meets
// NaN). A converged P_s with 0 <= gap(P_s) <= 3 is the answer. One with
// 3 < gap(P_s) < 3.01 is not yet within the gap: the answer is the lowest
// pressure above it, to 0.01 psi, where the gap is at most 3 (steps of 1,
// 2, 4, ... psi, then bisection), or 19000 psia when none up to 19000 is.
// Any answer above 19000 psia is returned as 19000 (not found). A P_s with
// gap(P_s) < 0 is the far root, where the gas parameter lies 3.0 above the
// oil's; the near root is then sought below it by bisection on [14.7, P_s]:
// unless gap(14.7) > 3 (and P_s > 14.7) the answer is 19000 psia; else, with
// lo = 14.7 and hi = P_s, while hi - lo > 0.01: mid = lo + (hi - lo) / 2,
// lo = mid if gap(mid) > 3, otherwise (NaN included) hi = mid; the answer
// is hi.
double mmp(double api, double temp_f, InjectedGas gas);

// The three MMPs of one reservoir from its field-data gravity and
// temperature; a value of exactly 0.01 stands for 30 API and 50 degF.
ReservoirMmps reservoir_mmps(double oil_gravity_api, double temperature_f);

// The same, each measured MMP (not NaN) taking the place of its gas's
// correlation, which is then not computed.
ReservoirMmps reservoir_mmps(double oil_gravity_api, double temperature_f,
                             const ReservoirMmps& measured);

// measured for a gas whose MMP was given, correlation otherwise.
Source mmp_source(const ReservoirMmps& measured, InjectedGas gas);

}  // namespace zelt
