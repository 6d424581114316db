// The step functions of both screening methods as module functions: each
// converts its Python arguments (numbers through the float protocol, as
// math.isnan reads them; records and tables by item lookup, with their own
// errors) and applies the core's rule to them.
#include <cmath>
#include <string>

#include "py_face.hpp"

namespace zelt_py {

using pymodule::as_double;
using pymodule::equals;
using pymodule::item;
using pymodule::item_double;
using pymodule::set_item;
using pymodule::to_py;
using pymodule::truth;
using zelt::kMethodCount;
using zelt::kParamCount;
using zelt::kParamCount2019;

namespace {

// Record keys of the first method's field data, in insertion order (the
// permeabilities come horizontal first here, unlike the parameter list).
const std::array<zelt::Param, kParamCount> kFieldDataKeyOrder = {
    zelt::kOilGravity,        zelt::kOilViscosity,          zelt::kReservoirDepth,
    zelt::kNetPayThickness,   zelt::kHorizontalPermeability, zelt::kVerticalPermeability,
    zelt::kReservoirPressure, zelt::kReservoirTemperature,   zelt::kOilSaturation,
    zelt::kReservoirDip,      zelt::kFormationSalinity};

const zelt::InjectedGas kGases[] = {zelt::InjectedGas::co2, zelt::InjectedGas::hydrocarbon,
                                    zelt::InjectedGas::nitrogen};

// Key of a gas's MMP in an MMP record.
const char* mmp_key(zelt::InjectedGas gas) {
    switch (gas) {
        case zelt::InjectedGas::co2: return "mmp_co2";
        case zelt::InjectedGas::hydrocarbon: return "mmp_hc";
        case zelt::InjectedGas::nitrogen: return "mmp_n2";
    }
    return "";
}

// The gas an `injected_gas` argument names; it must be text.
zelt::InjectedGas injected_gas(py::handle name) {
    if (!PyUnicode_Check(name.ptr())) {
        pymodule::raise(PyExc_TypeError, std::string("mmp: injected_gas must be text (\"co2\", \"hc\" "
                                                     "or \"n2\"), not ") +
                                             Py_TYPE(name.ptr())->tp_name);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (utf8 == nullptr) {  // lone surrogates: text, but neither of the two names
        PyErr_Clear();
        return zelt::InjectedGas::hydrocarbon;
    }
    return zelt::injected_gas_from_name(std::string_view(utf8, static_cast<std::size_t>(size)));
}

// row[key] as a number where the row carries the key ("key in row": a
// Series' labels, a mapping's keys), NaN where it does not: the optional
// columns, which a row may lack.
double optional_double(py::handle row, const char* key) {
    const int has = PySequence_Contains(row.ptr(), py::str(key).ptr());
    if (has < 0) throw py::error_already_set();
    return has == 1 ? item_double(row, key) : zelt::kNaN;
}

// edin_df.iterrows(), refusing what is not a table.
py::object iterrows(py::handle edin_df) {
    if (!py::hasattr(edin_df, "iterrows")) {
        pymodule::raise(PyExc_TypeError, std::string("edin_df must be a pandas DataFrame, not ") +
                                             Py_TYPE(edin_df.ptr())->tp_name);
    }
    return edin_df.attr("iterrows")();
}

}  // namespace

// ----------------------------------------------------------- fluid properties

double py_cubic_equation_solution(py::object a1, py::object a2, py::object a3) {
    return zelt::cubic_equation_solution(as_double(a1), as_double(a2), as_double(a3));
}

double py_desity_calc(py::object p, py::object t, py::object pc, py::object tc, py::object mw,
                      py::object wi) {
    return zelt::desity_calc(as_double(p), as_double(t), as_double(pc), as_double(tc),
                             as_double(mw), as_double(wi));
}

double py_oil_solubility_parameter(py::object mw, py::object temp) {
    return zelt::oil_solubility_parameter(as_double(mw), as_double(temp));
}

double py_gas_solubility_parameter(py::object comp, py::object rho_p1, py::object rhoc,
                                   py::object pc) {
    const Py_ssize_t n = PyObject_Length(comp.ptr());
    if (n < 0) throw py::error_already_set();
    double result = 0.0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::int_ key(i);
        const double c = as_double(item(comp, key));
        const double rho = as_double(item(rho_p1, key));
        const double rc = as_double(item(rhoc, key));
        const double p = as_double(item(pc, key));
        result += zelt::gas_solubility_parameter(&c, &rho, &rc, &p, 1);
    }
    return result;
}

double py_mmp(py::object api, py::object temp, py::object gas) {
    const double t = as_double(temp);
    const double a = as_double(api);
    return zelt::mmp(a, t, injected_gas(gas));
}

// ------------------------------------------------------------- field data

namespace {

// One input row's reported values, read in the order the derivation reads
// them; gross thickness and porosity only when the estimate needs them.
zelt::ReservoirRecord read_reservoir(py::handle row) {
    zelt::ReservoirRecord r;
    r.oil_gravity_api = item_double(row, "oil_density_max_val_deg_api");
    r.dead_oil_viscosity_cp = item_double(row, "oil_viscosity_max_val_cp");
    r.top_depth_ft = item_double(row, "top_depth_feet");
    r.net_thickness_ft = item_double(row, "net_thickn_max_val_feet");
    if (std::isnan(r.net_thickness_ft)) r.gross_thickness_ft = item_double(row, "gross_thickn_max_val_feet");
    r.permeability_md = item_double(row, "permeab_avg_md");
    if (std::isnan(r.permeability_md)) r.porosity_pct = item_double(row, "porosity_avg_pct");
    r.pressure_psi = item_double(row, "pressure_psi");
    r.temperature_c = item_double(row, "temp_max_val_deg_c");
    r.recovery_factor_pct = item_double(row, "oil_recovery_pp_factor");
    r.water_saturation_pct = item_double(row, "water_saturation_max_val_pct");
    r.salinity_ppm = item_double(row, "salinity_max_val_ppm");
    r.in_situ_viscosity_cp = optional_double(row, kInSituViscosity);
    return r;
}

zelt::ReservoirRecord2019 read_reservoir_2019(py::handle row) {
    zelt::ReservoirRecord2019 r;
    r.porosity_pct = item_double(row, "porosity_avg_pct");
    r.permeability_md = item_double(row, "permeab_avg_md");
    r.top_depth_ft = item_double(row, "top_depth_feet");
    r.oil_gravity_api = item_double(row, "oil_density_max_val_deg_api");
    r.dead_oil_viscosity_cp = item_double(row, "oil_viscosity_max_val_cp");
    r.temperature_c = item_double(row, "temp_max_val_deg_c");
    r.water_saturation_pct = item_double(row, "water_saturation_max_val_pct");
    r.gross_thickness_ft = item_double(row, "gross_thickn_max_val_feet");
    r.net_thickness_ft = item_double(row, "net_thickn_max_val_feet");
    r.in_situ_viscosity_cp = optional_double(row, kInSituViscosity);
    return r;
}

}  // namespace

py::dict get_field_data(py::object /*idx*/, py::object row) {
    py::object resv_id = item(row, kResvId);
    item(row, kGasReserveDateQual);  // must be present; its value is not used
    const zelt::FieldData fd = zelt::derive_field_data(read_reservoir(row));
    py::dict record;
    record["Reservoir_ID"] = resv_id;
    for (zelt::Param p : kFieldDataKeyOrder) {
        record[to_py(zelt::kParamNames[p])] = zelt::parameter_value(fd, p);
    }
    return record;
}

py::dict get_mmp(py::object /*idx*/, py::object row, py::object field_data) {
    py::object resv_id = item(row, kResvId);
    const double api = item_double(field_data, "Oil Gravity");
    const double temp = item_double(field_data, "Reservoir Temperature");
    const zelt::ReservoirMmps measured{optional_double(row, kMeasuredMmpCo2),
                                       optional_double(row, kMeasuredMmpHc),
                                       optional_double(row, kMeasuredMmpN2)};
    const zelt::ReservoirMmps mmps = zelt::reservoir_mmps(api, temp, measured);
    py::dict record;
    record["Reservoir_ID"] = resv_id;
    for (zelt::InjectedGas gas : kGases) record[mmp_key(gas)] = zelt::gas_mmp(mmps, gas);
    return record;
}

py::dict get_field_data_2019(py::object /*idx*/, py::object row) {
    py::object resv_id = item(row, kResvId);
    const zelt::FieldData2019 fd = zelt::derive_field_data_2019(read_reservoir_2019(row));
    py::dict record;
    record["Reservoir_ID"] = resv_id;
    for (std::size_t p = 0; p < kParamCount2019; ++p) {
        record[to_py(zelt::kParamNames2019[p])] = zelt::parameter_value_2019(fd, p);
    }
    return record;
}

// ------------------------------------------------------ first-method scoring

namespace {

void set_limit(py::handle table, std::string_view param, std::string_view method, const char* key,
               py::handle value) {
    set_item(item(item(table, to_py(param)), to_py(method)), py::str(key), value);
}

// Whether measuring method m writes the pressure limits of its gas: the
// first method of the list whose pressure limit holds that gas's MMP (the
// horizontal miscible one) writes them all, so the gas's later methods are
// measured against the current reservoir's MMP.
bool writes_gas_limits(std::size_t m) {
    const zelt::MethodGas& own = zelt::kMethodGas[m];
    if (own.limit == zelt::MmpLimit::none) return false;
    for (std::size_t j = 0; j < m; ++j) {
        const zelt::MethodGas& earlier = zelt::kMethodGas[j];
        if (earlier.gas == own.gas && earlier.limit != zelt::MmpLimit::none) return false;
    }
    return true;
}

// The pressure limits of the shared table that follow the reservoir's MMPs,
// written in place when method m is the one that writes them.
void set_gas_pressure_limits(py::handle screening_table, py::handle m, py::handle idx,
                             py::handle reservoir_mmps) {
    const std::string_view pressure = zelt::kParamNames[zelt::kReservoirPressure];
    for (std::size_t j = 0; j < kMethodCount; ++j) {
        if (!writes_gas_limits(j) || !equals(m, zelt::kMethodNames[j].data())) continue;
        const zelt::InjectedGas gas = zelt::kMethodGas[j].gas;
        py::object value = item(item(reservoir_mmps, idx), mmp_key(gas));
        for (std::size_t k = 0; k < kMethodCount; ++k) {
            const zelt::MethodGas& g = zelt::kMethodGas[k];
            if (g.gas != gas || g.limit == zelt::MmpLimit::none) continue;
            set_limit(screening_table, pressure, zelt::kMethodNames[k],
                      g.limit == zelt::MmpLimit::min ? "Min" : "Max", value);
        }
    }
}

// The "Polymer Flooding" limits by viscosity band; outside the bands they
// stay as the shared table holds them.
void set_polymer_limits(py::handle screening_table, py::handle field_data) {
    const double v = item_double(field_data, "Oil Viscosity (in situ)");
    if (const auto polymer = zelt::polymer_limits_for_viscosity(v)) {
        set_limit(screening_table, zelt::kParamNames[zelt::kHorizontalPermeability],
                  zelt::kMethodNames[zelt::kPolymerFlooding], "Min",
                  py::float_(polymer->permeability_min_md));
        set_limit(screening_table, zelt::kParamNames[zelt::kFormationSalinity],
                  zelt::kMethodNames[zelt::kPolymerFlooding], "Max",
                  py::float_(polymer->salinity_max_ppm));
    }
}

void set_asp_salinity_limit(py::handle screening_table, py::handle field_data) {
    const double t = item_double(field_data, "Reservoir Temperature");
    set_limit(screening_table, zelt::kParamNames[zelt::kFormationSalinity],
              zelt::kMethodNames[zelt::kAsp], "Max", py::float_(zelt::asp_salinity_max(t)));
}

}  // namespace

py::dict get_diff(py::object idx, py::object field_data, py::object reservoir_mmps,
                  py::object screening_table, py::object zelt_methods,
                  py::object screening_params) {
    const char* polymer = zelt::kMethodNames[zelt::kPolymerFlooding].data();
    const char* asp = zelt::kMethodNames[zelt::kAsp].data();
    py::dict delta;
    for (py::handle p : screening_params) {
        py::dict distances;
        delta[p] = distances;
        const bool is_pressure = equals(p, zelt::kParamNames[zelt::kReservoirPressure].data());
        const bool is_salinity = equals(p, zelt::kParamNames[zelt::kFormationSalinity].data());
        const bool is_polymer_param =
            is_salinity || equals(p, zelt::kParamNames[zelt::kHorizontalPermeability].data());
        for (py::handle m : zelt_methods) {
            if (is_pressure) set_gas_pressure_limits(screening_table, m, idx, reservoir_mmps);
            if (is_polymer_param && equals(m, polymer)) set_polymer_limits(screening_table, field_data);
            if (is_salinity && equals(m, asp)) set_asp_salinity_limit(screening_table, field_data);
            const double x = as_double(item(field_data, p));
            py::object cell = item(item(screening_table, p), m);
            const double lo = as_double(item(cell, "Min"));
            const double hi = as_double(item(cell, "Max"));
            distances[m] = zelt::violation_distance(x, lo, hi);
        }
    }
    return delta;
}

py::dict get_min_max(py::object diffs, py::object screening_params) {
    py::dict result;
    for (py::handle p : screening_params) {
        zelt::DistanceBounds bounds;
        for (py::handle diff : diffs) {
            py::object values = item(diff, p).attr("values")();
            for (py::handle v : values) zelt::widen_bounds(bounds, as_double(v));
        }
        py::dict entry;
        entry["Min"] = bounds.min;
        entry["Max"] = bounds.max;
        result[p] = entry;
    }
    return result;
}

py::list get_screening_param_score(py::object diffs, py::object min_max_diff,
                                   py::object zelt_methods, py::object screening_params) {
    py::list result;
    for (py::handle diff : diffs) {
        py::dict record;
        for (py::handle p : screening_params) {
            py::dict scores;
            record[p] = scores;
            py::object bounds_entry = item(min_max_diff, p);
            zelt::DistanceBounds bounds;
            bounds.min = as_double(item(bounds_entry, "Min"));
            bounds.max = as_double(item(bounds_entry, "Max"));
            py::object distances = item(diff, p);
            for (py::handle m : zelt_methods) {
                scores[m] = zelt::parameter_score(as_double(item(distances, m)), bounds);
            }
        }
        result.append(record);
    }
    return result;
}

py::list get_zelt_score(py::object edin_df, py::object screening_param_scores,
                        py::object screening_table, py::object zelt_methods,
                        py::object screening_params) {
    py::list result;
    for (py::handle entry : iterrows(edin_df)) {
        py::object idx = item(entry, py::int_(0));
        py::object row = item(entry, py::int_(1));
        py::dict record;
        record["Reservoir_ID"] = item(row, kResvId);
        record["Reservoir"] = item(row, kReservoirName);
        py::object scores;  // screening_param_scores[idx], looked up on first use
        for (py::handle m : zelt_methods) {
            zelt::MethodScore score;
            for (py::handle p : screening_params) {
                if (!scores) scores = item(screening_param_scores, idx);
                const double s = as_double(item(item(scores, p), m));
                py::object stopper = item(item(item(screening_table, p), m), "Stopper");
                score.add(s, truth(stopper));
            }
            // A knock-out always writes its -1; a score from the sum only
            // fills an entry the record does not hold yet.
            if (score.knocked_out() || !record.contains(m)) record[m] = score.value();
        }
        result.append(record);
    }
    return result;
}

// ------------------------------------------------------------ 2019 scoring

// The tests of p_value short-circuit as written: a limit is converted only
// when a test reaches it, so an unused limit may be anything.
double py_p_value(py::object param, py::object lower, py::object min_val, py::object max_val,
                  py::object upper) {
    struct Lazy {
        py::handle obj;
        bool done = false;
        double v = zelt::kNaN;
        double get() {
            if (!done) {
                v = as_double(obj);
                done = true;
            }
            return v;
        }
    };
    Lazy x{param}, lo{lower}, mn{min_val}, mx{max_val}, up{upper};
    // Convert in the order the three bands are tested; a value no test
    // reaches stays NaN, which leaves the core's decisions unchanged.
    const bool inside = mn.get() <= x.get() && x.get() <= mx.get();
    if (!inside) {
        const bool below = lo.get() <= x.get() && x.get() < mn.get();
        if (!below) (void)(mx.get() < x.get() && x.get() <= up.get());
    }
    return zelt::p_value(x.v, lo.v, mn.v, mx.v, up.v);
}

void warn_divisions(const zelt::DivisionFlags& flags) {
    if (flags.invalid &&
        PyErr_WarnEx(PyExc_RuntimeWarning, "invalid value encountered in scalar divide", 1) < 0) {
        throw py::error_already_set();
    }
    if (flags.divide_by_zero &&
        PyErr_WarnEx(PyExc_RuntimeWarning, "divide by zero encountered in scalar divide", 1) < 0) {
        throw py::error_already_set();
    }
}

py::tuple get_zelt_score_2019(py::object edin_df, py::object screening_param_scores,
                              py::object screening_table, py::object zelt_methods_2019,
                              py::object screening_params_2019) {
    py::list zelt_result;
    py::list p_value_result;
    zelt::DivisionFlags flags;
    for (py::handle entry : iterrows(edin_df)) {
        py::object idx = item(entry, py::int_(0));
        py::object row = item(entry, py::int_(1));
        py::dict score_record;
        score_record["Reservoir_ID"] = item(row, kResvId);
        score_record["Reservoir"] = item(row, kReservoirName);
        for (py::handle m : zelt_methods_2019) {
            zelt::WeightedMean mean;
            py::dict p_val;
            p_val["ZeltMethod"] = m;
            for (py::handle p : screening_params_2019) {
                py::object limits = item(item(screening_table, p), m);
                py::object value = item(item(screening_param_scores, idx), p);
                const double px = py_p_value(value, item(limits, "Lower"), item(limits, "Min"),
                                             item(limits, "Max"), item(limits, "Upper"));
                mean.add(px, as_double(item(limits, "Weighting")));
                p_val[p] = px;
            }
            p_value_result.append(p_val);
            score_record[m] = mean.score(flags);
        }
        zelt_result.append(score_record);
    }
    warn_divisions(flags);
    return py::make_tuple(zelt_result, p_value_result);
}

}  // namespace zelt_py
