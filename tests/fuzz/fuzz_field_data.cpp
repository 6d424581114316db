// Field data of both methods on arbitrary reported values (NaN, infinities,
// huge and subnormal numbers among them).
//
// Always: a reported value is taken as it is, a missing one gets its
// default (or its correlation estimate), the vertical permeability is kv/kh times the
// horizontal one, and both methods derive the same in-situ viscosity (a
// reported one as it is). Every value's source is "reported" exactly when
// its column was given, and "missing" only for a NaN value.
// For reported values in their physical ranges (or missing), every derived
// parameter is a finite number, except those the first method estimates
// from a missing depth (pressure, temperature, salinity), which are NaN
// exactly then.
#include <cmath>

#include "fuzz_input.hpp"
#include "screening_scores.hpp"

namespace {

struct Column {
    double lo, hi;
};

// Physical ranges of the reported values, in the order of ReservoirRecord.
constexpr Column kRanges[12] = {
    {5.0, 80.0},     // gravity, degAPI
    {0.1, 1e7},      // dead-oil viscosity, cP
    {0.0, 40000.0},  // depth, ft
    {0.0, 5000.0},   // net thickness, ft
    {0.0, 20000.0},  // gross thickness, ft
    {0.0, 1e6},      // permeability, mD
    {0.0, 100.0},    // porosity, %
    {0.0, 100.0},    // recovery factor, %
    {0.0, 1e5},      // pressure, psi
    {-50.0, 500.0},  // temperature, degC
    {0.0, 100.0},    // water saturation, %
    {0.0, 1e6},      // salinity, ppm
};

bool in_range_or_nan(double v, const Column& c) { return std::isnan(v) || (v >= c.lo && v <= c.hi); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    double v[12];
    bool physical = true;
    for (int i = 0; i < 12; ++i) {
        v[i] = in.byte() % 4 == 0 ? zelt::kNaN : in.value(kRanges[i].lo, kRanges[i].hi);
        physical = physical && in_range_or_nan(v[i], kRanges[i]);
    }
    zelt::ReservoirRecord r{v[0], v[1], v[2], v[3], v[4], v[5],
                            v[6], v[7], v[8], v[9], v[10], v[11]};
    if (in.byte() % 3 == 0) {
        r.in_situ_viscosity_cp = in.value(0.01, 1e7);
        physical = physical && in_range_or_nan(r.in_situ_viscosity_cp, {0.01, 1e7});
    }
    zelt::FieldSources src{};
    const zelt::FieldData fd = zelt::derive_field_data(r, src);

    using zelt::Source;
    const struct {
        const char* name;
        double reported;
        Source source;
        double value;
    } direct[] = {
        {"gravity", r.oil_gravity_api, src.oil_gravity_api, fd.oil_gravity_api},
        {"in-situ viscosity", r.in_situ_viscosity_cp, src.in_situ_viscosity_cp, fd.in_situ_viscosity_cp},
        {"depth", r.top_depth_ft, src.depth_ft, fd.depth_ft},
        {"net pay", r.net_thickness_ft, src.net_pay_ft, fd.net_pay_ft},
        {"permeability", r.permeability_md, src.horizontal_permeability_md, fd.horizontal_permeability_md},
        {"pressure", r.pressure_psi, src.pressure_psi, fd.pressure_psi},
        {"temperature", r.temperature_c, src.temperature_f, fd.temperature_f},
        {"water saturation", r.water_saturation_pct, src.oil_saturation_pct, fd.oil_saturation_pct},
        {"salinity", r.salinity_ppm, src.salinity_ppm, fd.salinity_ppm},
    };
    for (const auto& c : direct) {
        FUZZ_CHECK((c.source == Source::reported) == !std::isnan(c.reported) ||
                       (c.source == Source::correlation && std::isnan(r.recovery_factor_pct) &&
                        c.reported == r.water_saturation_pct),
                   "%s: source %d for %.17g", c.name, static_cast<int>(c.source), c.reported);
        if (c.source == Source::missing) FUZZ_CHECK(std::isnan(c.value), "%s missing but %.17g", c.name, c.value);
    }
    if (!std::isnan(r.in_situ_viscosity_cp)) {
        FUZZ_CHECK(fuzz::same(fd.in_situ_viscosity_cp, r.in_situ_viscosity_cp), "in-situ viscosity");
    }
    FUZZ_CHECK(src.vertical_permeability_md == Source::fixed && src.dip_deg == Source::default_value,
               "kv and dip sources");

    // Reported values are taken as they are; missing ones get their defaults.
    FUZZ_CHECK(fuzz::same(fd.oil_gravity_api, std::isnan(r.oil_gravity_api) ? 30.0 : r.oil_gravity_api),
               "gravity %.17g from %.17g", fd.oil_gravity_api, r.oil_gravity_api);
    FUZZ_CHECK(fuzz::same(fd.depth_ft, r.top_depth_ft), "depth %.17g from %.17g", fd.depth_ft,
               r.top_depth_ft);
    if (!std::isnan(r.net_thickness_ft)) FUZZ_CHECK(fuzz::same(fd.net_pay_ft, r.net_thickness_ft), "net pay");
    if (!std::isnan(r.permeability_md))
        FUZZ_CHECK(fuzz::same(fd.horizontal_permeability_md, r.permeability_md), "permeability");
    if (!std::isnan(r.pressure_psi)) FUZZ_CHECK(fuzz::same(fd.pressure_psi, r.pressure_psi), "pressure");
    if (!std::isnan(r.salinity_ppm)) FUZZ_CHECK(fuzz::same(fd.salinity_ppm, r.salinity_ppm), "salinity");
    if (std::isnan(r.water_saturation_pct)) FUZZ_CHECK(fd.oil_saturation_pct == 50.0, "saturation default");
    FUZZ_CHECK(fd.dip_deg == 5.0, "dip %.17g", fd.dip_deg);
    FUZZ_CHECK(fuzz::same(fd.vertical_permeability_md,
                          zelt::correlation_constants().kv_kh_ratio * fd.horizontal_permeability_md),
               "vertical %.17g horizontal %.17g", fd.vertical_permeability_md,
               fd.horizontal_permeability_md);

    zelt::ReservoirRecord2019 r19;
    r19.porosity_pct = r.porosity_pct;
    r19.permeability_md = r.permeability_md;
    r19.top_depth_ft = r.top_depth_ft;
    r19.oil_gravity_api = r.oil_gravity_api;
    r19.dead_oil_viscosity_cp = r.dead_oil_viscosity_cp;
    r19.temperature_c = r.temperature_c;
    r19.water_saturation_pct = r.water_saturation_pct;
    r19.gross_thickness_ft = r.gross_thickness_ft;
    r19.net_thickness_ft = r.net_thickness_ft;
    r19.in_situ_viscosity_cp = r.in_situ_viscosity_cp;
    zelt::FieldSources2019 src19{};
    const zelt::FieldData2019 f19 = zelt::derive_field_data_2019(r19, src19);
    for (std::size_t p = 0; p < zelt::kParamCount2019; ++p) {
        FUZZ_CHECK(zelt::parameter_source_2019(src19, p) != Source::missing, "2019 parameter %zu missing", p);
    }
    FUZZ_CHECK(fuzz::same(f19.in_situ_viscosity_cp, fd.in_situ_viscosity_cp),
               "live-oil viscosity %.17g (2019) and %.17g", f19.in_situ_viscosity_cp,
               fd.in_situ_viscosity_cp);
    FUZZ_CHECK(fuzz::same(f19.depth_ft, std::isnan(r.top_depth_ft) ? 6400.0 : r.top_depth_ft), "2019 depth");
    FUZZ_CHECK(fuzz::same(f19.porosity_pct, std::isnan(r.porosity_pct) ? 20.0 : r.porosity_pct),
               "2019 porosity");

    if (!physical) return 0;
    const bool no_depth = std::isnan(r.top_depth_ft);
    const struct {
        const char* name;
        double value;
        bool nan_allowed;
    } first[] = {
        {"gravity", fd.oil_gravity_api, false},
        {"viscosity", fd.in_situ_viscosity_cp, false},
        {"net pay", fd.net_pay_ft, false},
        {"horizontal permeability", fd.horizontal_permeability_md, false},
        {"pressure", fd.pressure_psi, no_depth && std::isnan(r.pressure_psi)},
        {"temperature", fd.temperature_f, no_depth && std::isnan(r.temperature_c)},
        {"oil saturation", fd.oil_saturation_pct, false},
        {"salinity", fd.salinity_ppm, no_depth && std::isnan(r.salinity_ppm)},
    };
    for (const auto& c : first) {
        if (c.nan_allowed) {
            FUZZ_CHECK(std::isnan(c.value), "%s %.17g without depth", c.name, c.value);
        } else {
            FUZZ_CHECK(std::isfinite(c.value), "%s %.17g from physical inputs", c.name, c.value);
        }
    }
    FUZZ_CHECK(fd.oil_saturation_pct >= 0.0 && fd.oil_saturation_pct <= 100.0, "oil saturation %.17g",
               fd.oil_saturation_pct);
    for (std::size_t p = 0; p < zelt::kParamCount2019; ++p) {
        const double x = zelt::parameter_value_2019(f19, p);
        FUZZ_CHECK(std::isfinite(x), "2019 parameter %zu is %.17g from physical inputs", p, x);
    }
    FUZZ_CHECK(f19.oil_saturation_pct >= 0.0 && f19.oil_saturation_pct <= 100.0,
               "2019 oil saturation %.17g", f19.oil_saturation_pct);
    return 0;
}
