#include "screening_scores.hpp"

#include <cmath>

namespace zelt {

const std::array<std::string_view, kMethodCount> kMethodNames = {
    "Horz. Misc. CO2",   "Horz. Misc. HC",   "Horz. Misc. N2",  "Vert. Misc. CO2",
    "Vert. Misc. HC",    "Vert. Misc. N2",   "Vert. Immisc. CO2", "Vert. Immisc. HC",
    "Vert. Immisc. N2",  "Steam Flooding",   "CSS",             "SAGD",
    "Hot Water",         "Polymer Flooding", "ASP"};

const std::array<std::string_view, kParamCount> kParamNames = {
    "Oil Gravity",
    "Oil Viscosity (in situ)",
    "Reservoir Depth",
    "Net Pay Thickness",
    "Average Vertical Permeability",
    "Average Horizontal Permeability",
    "Current Reservoir Pressure",
    "Reservoir Temperature",
    "Current Oil Saturation",
    "Reservoir Dip",
    "Formation Salinity"};

// U+02DA in the gravity label, U+00B0 in the temperature label, U+25E6 in the dip label.
const std::array<std::string_view, kParamCount> kParamLabels = {
    "Oil Gravity (\u02DAAPI)",
    "Oil Viscosity (in situ) (cp)",
    "Reservoir Depth (ft)",
    "Net Pay Thickness (ft)",
    "Average Vertical Permeability (mD)",
    "Average Horizontal Permeability (mD)",
    "Current Reservoir Pressure (psi)",
    "Reservoir Temperature (\u00B0F)",
    "Current Oil Saturation (%)",
    "Reservoir Dip (\u25E6)",
    "Formation Salinity (PPM)"};

const std::array<std::string_view, kMethodCount2019> kMethodNames2019 = {
    "Steam Flooding", "Combustion", "Hot Water", "Misc. CO2",        "Immisc. CO2", "Misc. HC",
    "Immisc. HC",     "Misc. N2",   "Immisc. N2", "Polymer Flooding", "Surfactant",  "Microbial"};

const std::array<std::string_view, kParamCount2019> kParamNames2019 = {
    "Porosity",
    "Permeability",
    "Depth",
    "Oil Gravity",
    "Oil Viscosity (in situ)",
    "Reservoir Temperature",
    "Current Oil Saturation",
    "Net Pay Thickness"};

const std::array<std::string_view, kParamCount2019> kParamLabels2019 = {
    "Porosity (%)",
    "Permeability (mD)",
    "Depth (ft)",
    "Oil Gravity (\u02DAAPI)",
    "Oil Viscosity (in situ) (cp)",
    "Reservoir Temperature (\u00B0F)",
    "Current Oil Saturation (%)",
    "Net Pay Thickness (ft)"};

double parameter_value(const FieldData& fd, std::size_t p) {
    switch (p) {
        case kOilGravity: return fd.oil_gravity_api;
        case kOilViscosity: return fd.in_situ_viscosity_cp;
        case kReservoirDepth: return fd.depth_ft;
        case kNetPayThickness: return fd.net_pay_ft;
        case kVerticalPermeability: return fd.vertical_permeability_md;
        case kHorizontalPermeability: return fd.horizontal_permeability_md;
        case kReservoirPressure: return fd.pressure_psi;
        case kReservoirTemperature: return fd.temperature_f;
        case kOilSaturation: return fd.oil_saturation_pct;
        case kReservoirDip: return fd.dip_deg;
        case kFormationSalinity: return fd.salinity_ppm;
        default: return kNaN;
    }
}

Source parameter_source(const FieldSources& s, std::size_t p) {
    switch (p) {
        case kOilGravity: return s.oil_gravity_api;
        case kOilViscosity: return s.in_situ_viscosity_cp;
        case kReservoirDepth: return s.depth_ft;
        case kNetPayThickness: return s.net_pay_ft;
        case kVerticalPermeability: return s.vertical_permeability_md;
        case kHorizontalPermeability: return s.horizontal_permeability_md;
        case kReservoirPressure: return s.pressure_psi;
        case kReservoirTemperature: return s.temperature_f;
        case kOilSaturation: return s.oil_saturation_pct;
        case kReservoirDip: return s.dip_deg;
        case kFormationSalinity: return s.salinity_ppm;
        default: return Source::missing;
    }
}

std::optional<PolymerLimits> polymer_limits_for_viscosity(double v) {
    if (10.0 <= v && v <= 100.0) return PolymerLimits{100.0, 3000.0};
    if (100.0 < v && v <= 1000.0) return PolymerLimits{1000.0, 1000.0};
    return std::nullopt;
}

double asp_salinity_max(double temperature_f) {
    return temperature_f <= 140.0 ? 200000.0 : 50000.0;
}

const std::array<MethodGas, kMethodCount> kMethodGas = {{
    {InjectedGas::co2, MmpLimit::min},           // Horz. Misc. CO2
    {InjectedGas::hydrocarbon, MmpLimit::min},   // Horz. Misc. HC
    {InjectedGas::nitrogen, MmpLimit::min},      // Horz. Misc. N2
    {InjectedGas::co2, MmpLimit::min},           // Vert. Misc. CO2
    {InjectedGas::hydrocarbon, MmpLimit::min},   // Vert. Misc. HC
    {InjectedGas::nitrogen, MmpLimit::min},      // Vert. Misc. N2
    {InjectedGas::co2, MmpLimit::max},           // Vert. Immisc. CO2
    {InjectedGas::hydrocarbon, MmpLimit::max},   // Vert. Immisc. HC
    {InjectedGas::nitrogen, MmpLimit::max},      // Vert. Immisc. N2
    {InjectedGas::nitrogen, MmpLimit::none},     // Steam Flooding
    {InjectedGas::nitrogen, MmpLimit::none},     // CSS
    {InjectedGas::nitrogen, MmpLimit::none},     // SAGD
    {InjectedGas::nitrogen, MmpLimit::none},     // Hot Water
    {InjectedGas::nitrogen, MmpLimit::none},     // Polymer Flooding
    {InjectedGas::nitrogen, MmpLimit::none},     // ASP
}};

double gas_mmp(const ReservoirMmps& mmps, InjectedGas gas) {
    switch (gas) {
        case InjectedGas::co2: return mmps.co2;
        case InjectedGas::hydrocarbon: return mmps.hc;
        case InjectedGas::nitrogen: return mmps.n2;
    }
    return kNaN;
}

Source compared_source(const FieldSources& sources, const ReservoirMmps& measured_mmps,
                       std::size_t p, std::size_t m) {
    const Source own = parameter_source(sources, p);
    if (p != kReservoirPressure || m >= kMethodCount || kMethodGas[m].limit == MmpLimit::none ||
        own != Source::reported) {
        return own;
    }
    return mmp_source(measured_mmps, kMethodGas[m].gas);
}

bool covered_first_method(const FieldSources& sources, const ReservoirMmps& measured_mmps,
                          std::size_t p, std::size_t m) {
    if (p == kVerticalPermeability) return rests_on_caller(sources.horizontal_permeability_md);
    return rests_on_caller(compared_source(sources, measured_mmps, p, m));
}

void rank_scores(const double* scores, std::size_t count, std::int32_t* ranks) {
    for (std::size_t i = 0; i < count; ++i) {
        std::int32_t better = 0;
        for (std::size_t j = 0; j < count; ++j) {
            const bool ahead = std::isnan(scores[i]) ? !std::isnan(scores[j]) : scores[j] > scores[i];
            better += ahead ? 1 : 0;
        }
        ranks[i] = better + 1;
    }
}

namespace {

constexpr std::string_view kLiveOilFromDead = "Beggs-Robinson live oil from the reported dead-oil viscosity";
constexpr std::string_view kLiveOilFromGravity = "Beggs-Robinson live oil, the dead oil from gravity";
constexpr std::string_view kTemperatureFromSurface =
    "reported surface temperature + 35 \u00B0C/km x depth";
constexpr std::string_view kTemperatureFromDepth = "35 \u00B0C/km x depth, 0 \u00B0C at the surface";
constexpr std::string_view kPermeabilityFromPorosity = "10^(0.1 x porosity)";

std::string_view viscosity_basis(bool dead_oil_viscosity) {
    return dead_oil_viscosity ? kLiveOilFromDead : kLiveOilFromGravity;
}

std::string_view temperature_basis(bool surface_temperature) {
    return surface_temperature ? kTemperatureFromSurface : kTemperatureFromDepth;
}

}  // namespace

std::string_view estimate_basis(const FieldSources& sources, const ReservoirMmps& measured_mmps,
                                bool dead_oil_viscosity, bool surface_temperature, std::size_t p,
                                std::size_t m) {
    const Source own = parameter_source(sources, p);
    const Source compared = compared_source(sources, measured_mmps, p, m);
    if (compared != own) {
        return compared == Source::measured ? "the MMP limit: the reported MMP" : "the MMP limit: Lange's correlation";
    }
    const bool is_default = own == Source::default_value;
    if (own != Source::default_value && own != Source::correlation && own != Source::fixed) return {};
    switch (p) {
        case kOilGravity: return "default 30 \u00B0API";
        case kOilViscosity: return viscosity_basis(dead_oil_viscosity);
        case kNetPayThickness: return is_default ? "default 50 ft" : "0.1 x gross thickness";
        case kVerticalPermeability: return "0.1 x horizontal permeability";
        case kHorizontalPermeability: return is_default ? "default 50 mD" : kPermeabilityFromPorosity;
        case kReservoirPressure: return "0.5 psi/ft x depth";
        case kReservoirTemperature: return temperature_basis(surface_temperature);
        case kOilSaturation:
            return is_default ? "default 50 %" : "(1 - the 10 % recovery default) x (100 - water saturation)";
        case kReservoirDip: return "default 5\u00B0";
        case kFormationSalinity: return "log-linear in depth: 5,000 ppm at 0 ft, 100,000 ppm at 15,000 ft";
        default: return {};
    }
}

std::optional<LimitsOutOfOrder> first_limits_out_of_order(const ScreeningLimits& limits) {
    for (std::size_t p = 0; p < kParamCount; ++p) {
        for (std::size_t m = 0; m < kMethodCount; ++m) {
            const MethodLimits& lim = limits[p][m];
            if (lim.min > lim.max) return LimitsOutOfOrder{p, m, "Min", lim.min, "Max", lim.max};
        }
    }
    return std::nullopt;
}

void adjust_limits_for_reservoir(ScreeningLimits& limits, const FieldData& fd,
                                 const ReservoirMmps& mmps) {
    auto& pressure = limits[kReservoirPressure];
    for (std::size_t m = 0; m < kMethodCount; ++m) {
        const MethodGas& g = kMethodGas[m];
        if (g.limit == MmpLimit::min) pressure[m].min = gas_mmp(mmps, g.gas);
        if (g.limit == MmpLimit::max) pressure[m].max = gas_mmp(mmps, g.gas);
    }

    if (const auto polymer = polymer_limits_for_viscosity(fd.in_situ_viscosity_cp)) {
        limits[kHorizontalPermeability][kPolymerFlooding].min = polymer->permeability_min_md;
        limits[kFormationSalinity][kPolymerFlooding].max = polymer->salinity_max_ppm;
    }
    limits[kFormationSalinity][kAsp].max = asp_salinity_max(fd.temperature_f);
}

double violation_distance(double x, double lo, double hi) {
    double d = kNaN;
    if (x < lo) d = std::fabs(x - lo);
    if (x > hi) d = std::fabs(x - hi);
    return d;
}

Distances measure_reservoir(const FieldData& fd, const ScreeningLimits& limits) {
    Distances out{};
    for (std::size_t p = 0; p < kParamCount; ++p) {
        const double x = parameter_value(fd, p);
        for (std::size_t m = 0; m < kMethodCount; ++m) {
            out[p][m] = violation_distance(x, limits[p][m].min, limits[p][m].max);
        }
    }
    return out;
}

void widen_bounds(DistanceBounds& bounds, double d) {
    if (std::isnan(d)) return;
    if (d < bounds.min) bounds.min = d;
    if (d > bounds.max) bounds.max = d;
}

double parameter_score(double d, const DistanceBounds& bounds) {
    if (std::isnan(d)) return kInsideScore;
    const double lo = bounds.min;
    const double hi = bounds.max;
    if (hi != lo) return (-9.0 / (hi - lo)) * (d - lo) + (-1.0);
    return -5.0;
}

double round_to_tenth(double x) { return std::nearbyint(x * 10.0) / 10.0; }

double method_score_from_sum(double score_sum) {
    const double one_110th = 1.0 / 110.0;
    return round_to_tenth(one_110th * (score_sum - 110.0) + 1.0);
}

// ---------------------------------------------------------------- 2019 method

namespace {

// reported where the caller gave the value, otherwise `filled`.
Source given_or(double reported_value, Source filled) {
    return std::isnan(reported_value) ? filled : Source::reported;
}

}  // namespace

FieldData2019 derive_field_data_2019(const ReservoirRecord2019& r, FieldSources2019& src) {
    FieldData2019 fd{};
    fd.porosity_pct = std::isnan(r.porosity_pct) ? 20.0 : r.porosity_pct;
    src.porosity_pct = given_or(r.porosity_pct, Source::default_value);
    // The working porosity for the permeability estimate does not take the
    // 20 % default: no porosity and no permeability give 1 mD.
    const double phi = std::isnan(r.porosity_pct) ? 0.0 : r.porosity_pct;
    fd.permeability_md =
        std::isnan(r.permeability_md) ? std::pow(10.0, 0.1 * phi) : r.permeability_md;
    src.permeability_md = given_or(
        r.permeability_md, std::isnan(r.porosity_pct) ? Source::default_value : Source::correlation);
    fd.depth_ft = std::isnan(r.top_depth_ft) ? 6400.0 : r.top_depth_ft;
    src.depth_ft = given_or(r.top_depth_ft, Source::default_value);
    fd.oil_gravity_api = std::isnan(r.oil_gravity_api) ? 30.0 : r.oil_gravity_api;
    src.oil_gravity_api = given_or(r.oil_gravity_api, Source::default_value);
    fd.in_situ_viscosity_cp = in_situ_viscosity(fd.oil_gravity_api, r.dead_oil_viscosity_cp,
                                                r.in_situ_viscosity_cp, src.in_situ_viscosity_cp);
    const double t_c = std::isnan(r.temperature_c)
                           ? temperature_from_depth(fd.depth_ft, r.surface_temperature_c)
                           : r.temperature_c;
    fd.temperature_f = t_c * 1.8 + 32.0;
    src.temperature_f = given_or(r.temperature_c, Source::correlation);
    fd.oil_saturation_pct =
        std::isnan(r.water_saturation_pct) ? 50.0 : 100.0 - r.water_saturation_pct;
    src.oil_saturation_pct = given_or(r.water_saturation_pct, Source::default_value);
    const double gross =
        std::isnan(r.gross_thickness_ft) ? 50.0 : 0.1 * r.gross_thickness_ft;
    fd.net_pay_ft = std::isnan(r.net_thickness_ft) ? gross : r.net_thickness_ft;
    src.net_pay_ft = given_or(r.net_thickness_ft, std::isnan(r.gross_thickness_ft)
                                                      ? Source::default_value
                                                      : Source::correlation);
    return fd;
}

FieldData2019 derive_field_data_2019(const ReservoirRecord2019& r) {
    FieldSources2019 unused{};
    return derive_field_data_2019(r, unused);
}

Source parameter_source_2019(const FieldSources2019& s, std::size_t p) {
    switch (p) {
        case 0: return s.porosity_pct;
        case 1: return s.permeability_md;
        case 2: return s.depth_ft;
        case 3: return s.oil_gravity_api;
        case 4: return s.in_situ_viscosity_cp;
        case 5: return s.temperature_f;
        case 6: return s.oil_saturation_pct;
        case 7: return s.net_pay_ft;
        default: return Source::missing;
    }
}

std::string_view estimate_basis_2019(const FieldSources2019& sources, bool dead_oil_viscosity,
                                     bool surface_temperature, std::size_t p) {
    const Source own = parameter_source_2019(sources, p);
    const bool is_default = own == Source::default_value;
    if (own != Source::default_value && own != Source::correlation) return {};
    switch (p) {
        case 0: return "default 20 %";
        case 1: return is_default ? "1 mD (no porosity reported)" : kPermeabilityFromPorosity;
        case 2: return "default 6,400 ft";
        case 3: return "default 30 \u00B0API";
        case 4: return viscosity_basis(dead_oil_viscosity);
        case 5: return temperature_basis(surface_temperature);
        case 6: return "default 50 %";
        case 7: return is_default ? "default 50 ft" : "0.1 x gross thickness";
        default: return {};
    }
}

double parameter_value_2019(const FieldData2019& fd, std::size_t p) {
    switch (p) {
        case 0: return fd.porosity_pct;
        case 1: return fd.permeability_md;
        case 2: return fd.depth_ft;
        case 3: return fd.oil_gravity_api;
        case 4: return fd.in_situ_viscosity_cp;
        case 5: return fd.temperature_f;
        case 6: return fd.oil_saturation_pct;
        case 7: return fd.net_pay_ft;
        default: return kNaN;
    }
}

double p_value(double param, double lower, double min_val, double max_val, double upper) {
    if (min_val <= param && param <= max_val) return 1.0;
    if (lower <= param && param < min_val) {
        if (lower == kLowerSwitch) return 1.0;
        return -2.0 * (param - min_val) / (lower - min_val) + 1.0;
    }
    if (max_val < param && param <= upper) {
        if (upper == kUpperSwitch) return 1.0;
        return -2.0 * (param - max_val) / (upper - max_val) + 1.0;
    }
    return -1.0;
}

std::optional<LimitsOutOfOrder> first_limits_out_of_order(const ScreeningLimits2019& limits) {
    struct Named {
        const char* name;
        double MethodLimits2019::*member;
    };
    static const Named kLower{"Lower", &MethodLimits2019::lower};
    static const Named kMin{"Min", &MethodLimits2019::min};
    static const Named kMax{"Max", &MethodLimits2019::max};
    static const Named kUpper{"Upper", &MethodLimits2019::upper};
    static const std::array<std::array<const Named*, 2>, 6> kPairs = {{
        {&kLower, &kMin}, {&kMin, &kMax}, {&kMax, &kUpper},
        {&kLower, &kMax}, {&kMin, &kUpper}, {&kLower, &kUpper}}};
    for (std::size_t p = 0; p < kParamCount2019; ++p) {
        for (std::size_t m = 0; m < kMethodCount2019; ++m) {
            const MethodLimits2019& lim = limits[p][m];
            for (const auto& pair : kPairs) {
                const double low = lim.*(pair[0]->member);
                const double high = lim.*(pair[1]->member);
                if (low > high) return LimitsOutOfOrder{p, m, pair[0]->name, low, pair[1]->name, high};
            }
        }
    }
    return std::nullopt;
}

double weighted_score(double numerator, double denominator, DivisionFlags& flags) {
    if (denominator == 0.0) {
        if (numerator == 0.0) {
            flags.invalid = true;
        } else if (!std::isnan(numerator)) {
            flags.divide_by_zero = true;
        }
    }
    return round_to_tenth(numerator / denominator);
}

}  // namespace zelt
