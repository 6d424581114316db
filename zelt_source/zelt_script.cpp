// The extension module `zelt`: module frame, constants, the Python-visible
// step functions of both screening methods, the two pipelines and the
// reshaping of their output for display.
//
// This is the only file of the module that touches Python objects. The
// arithmetic lives in fluid_properties and screening_scores; here values are
// converted (through the float protocol, as math.isnan would), the core is
// run with the GIL released, and the result tables are built column by column.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fluid_properties.hpp"
#include "module_guard.hpp"
#include "screening_batch.hpp"
#include "screening_scores.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using zelt::kMethodCount;
using zelt::kMethodCount2019;
using zelt::kParamCount;
using zelt::kParamCount2019;

struct ZeltModuleTag {};
using Guard = pymodule::SingleInitGuard<ZeltModuleTag>;

constexpr const char* kModuleDoc = "\nZELT script modified to run in Spotfire\n";

// ------------------------------------------------------------- column names

// The thirteen numeric input columns of the first method, in conversion order.
const std::array<const char*, 13> kRequiredNumericColumns = {
    "oil_density_max_val_deg_api", "oil_viscosity_max_val_cp", "top_depth_feet",
    "net_thickn_max_val_feet",     "gross_thickn_max_val_feet", "permeab_avg_md",
    "porosity_avg_pct",            "oil_recovery_pp_factor",   "pressure_psi",
    "temp_max_val_deg_c",          "water_saturation_max_val_pct", "original_pressure_psi",
    "salinity_max_val_ppm"};

// The nine numeric input columns of the 2019 method, in conversion order.
const std::array<const char*, 9> kRequiredNumericColumns2019 = {
    "porosity_avg_pct",           "permeab_avg_md",     "top_depth_feet",
    "oil_density_max_val_deg_api", "oil_viscosity_max_val_cp", "temp_max_val_deg_c",
    "water_saturation_max_val_pct", "gross_thickn_max_val_feet", "net_thickn_max_val_feet"};

constexpr const char* kResvId = "resv_id";
constexpr const char* kReservoirName = "reservoir_unit_name";
constexpr const char* kGasReserveDateQual = "gas_reserve_date_qual";

// Record keys of the first method's field data, in insertion order (the
// permeabilities come horizontal first here, unlike the parameter list).
const std::array<zelt::Param, kParamCount> kFieldDataKeyOrder = {
    zelt::kOilGravity,        zelt::kOilViscosity,          zelt::kReservoirDepth,
    zelt::kNetPayThickness,   zelt::kHorizontalPermeability, zelt::kVerticalPermeability,
    zelt::kReservoirPressure, zelt::kReservoirTemperature,   zelt::kOilSaturation,
    zelt::kReservoirDip,      zelt::kFormationSalinity};

py::str to_py(std::string_view s) { return py::str(s.data(), s.size()); }

// --------------------------------------------------------------- conversion

// A Python value as a double through the float protocol; raises what
// math.isnan raises for a value that is not a real number.
double as_double(py::handle value) {
    PyObject* o = value.ptr();
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

// container[key], with the container's own errors (KeyError, IndexError, ...).
py::object item(py::handle container, py::handle key) {
    PyObject* r = PyObject_GetItem(container.ptr(), key.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object item(py::handle container, const char* key) { return item(container, py::str(key)); }

double item_double(py::handle container, const char* key) { return as_double(item(container, key)); }

void set_item(py::handle container, py::handle key, py::handle value) {
    if (PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

bool equals(py::handle a, const char* b) {
    if (PyUnicode_Check(a.ptr())) return PyUnicode_CompareWithASCIIString(a.ptr(), b) == 0;
    const int r = PyObject_RichCompareBool(a.ptr(), py::str(b).ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool truth(py::handle value) {
    const int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// The position a list lookup `records[label]` would reach for a list of n
// records, or kInvalidPosition with the error that lookup raises.
std::int64_t list_position(py::handle label, std::size_t n, py::object& error_type,
                           std::string& error_message) {
    PyObject* o = label.ptr();
    if (!PyIndex_Check(o)) {
        error_type = py::reinterpret_borrow<py::object>(PyExc_TypeError);
        error_message = std::string("list indices must be integers or slices, not ") +
                        Py_TYPE(o)->tp_name;
        return zelt::kInvalidPosition;
    }
    Py_ssize_t i = PyNumber_AsSsize_t(o, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) {
        py::error_already_set e;
        error_type = e.type();
        error_message = py::str(e.value());
        return zelt::kInvalidPosition;
    }
    if (i < 0) i += static_cast<Py_ssize_t>(n);
    if (i < 0 || static_cast<std::size_t>(i) >= n) {
        error_type = py::reinterpret_borrow<py::object>(PyExc_IndexError);
        error_message = "list index out of range";
        return zelt::kInvalidPosition;
    }
    return i;
}

[[noreturn]] void raise(py::handle type, const std::string& message) {
    PyErr_SetString(type.ptr(), message.c_str());
    throw py::error_already_set();
}

// ------------------------------------------------------------ module frame

py::object module_file() {
    PyObject* module = Guard::module();
    if (module == nullptr) raise(PyExc_ImportError, "module 'zelt' is not initialised");
    PyObject* dict = PyModule_GetDict(module);
    PyObject* file = PyDict_GetItemString(dict, "__file__");
    if (file == nullptr) raise(PyExc_NameError, "name '__file__' is not defined");
    return py::reinterpret_borrow<py::object>(file);
}

py::object get_filepath(py::object filename) {
    py::object path = py::module_::import("os").attr("path");
    return path.attr("join")(path.attr("dirname")(module_file()), filename);
}

// --------------------------------------------------------- fluid properties

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

zelt::InjectedGas injected_gas(py::handle name) {
    if (equals(name, "co2")) return zelt::InjectedGas::co2;
    if (equals(name, "n2")) return zelt::InjectedGas::nitrogen;
    return zelt::InjectedGas::hydrocarbon;
}

double py_mmp(py::object api, py::object temp, py::object gas) {
    const double t = as_double(temp);
    const double a = as_double(api);
    return zelt::mmp(a, t, injected_gas(gas));
}

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
    return r;
}

py::dict field_data_record(py::handle resv_id, const zelt::FieldData& fd) {
    py::dict record;
    record["Reservoir_ID"] = resv_id;
    for (zelt::Param p : kFieldDataKeyOrder) {
        record[to_py(zelt::kParamNames[p])] = zelt::parameter_value(fd, p);
    }
    return record;
}

py::dict get_field_data(py::object /*idx*/, py::object row) {
    py::object resv_id = item(row, kResvId);
    item(row, kGasReserveDateQual);  // must be present; its value is not used
    return field_data_record(resv_id, zelt::derive_field_data(read_reservoir(row)));
}

py::dict mmp_record(py::handle resv_id, const zelt::ReservoirMmps& m) {
    py::dict record;
    record["Reservoir_ID"] = resv_id;
    record["mmp_co2"] = m.co2;
    record["mmp_hc"] = m.hc;
    record["mmp_n2"] = m.n2;
    return record;
}

py::dict get_mmp(py::object /*idx*/, py::object row, py::object field_data) {
    py::object resv_id = item(row, kResvId);
    const double api = item_double(field_data, "Oil Gravity");
    const double temp = item_double(field_data, "Reservoir Temperature");
    return mmp_record(resv_id, zelt::reservoir_mmps(api, temp));
}

// ----------------------------------------------------- first-method scoring

void set_limit(py::handle table, const char* param, const char* method, const char* key,
               py::handle value) {
    set_item(item(item(table, param), method), py::str(key), value);
}

py::dict get_diff(py::object idx, py::object field_data, py::object reservoir_mmps,
                  py::object screening_table, py::object zelt_methods,
                  py::object screening_params) {
    struct GasLimits {
        const char* horizontal;
        const char* vertical_miscible;
        const char* vertical_immiscible;
        const char* mmp_key;
    };
    static const GasLimits kGasLimits[] = {
        {"Horz. Misc. CO2", "Vert. Misc. CO2", "Vert. Immisc. CO2", "mmp_co2"},
        {"Horz. Misc. HC", "Vert. Misc. HC", "Vert. Immisc. HC", "mmp_hc"},
        {"Horz. Misc. N2", "Vert. Misc. N2", "Vert. Immisc. N2", "mmp_n2"}};
    const char* kPressure = "Current Reservoir Pressure";
    const char* kPermeability = "Average Horizontal Permeability";
    const char* kSalinity = "Formation Salinity";

    py::dict delta;
    for (py::handle p : screening_params) {
        py::dict distances;
        delta[p] = distances;
        const bool is_pressure = equals(p, kPressure);
        const bool is_salinity = equals(p, kSalinity);
        const bool is_polymer_param = is_salinity || equals(p, kPermeability);
        for (py::handle m : zelt_methods) {
            // Pressure limits of the gas methods follow the reservoir's MMPs.
            if (is_pressure) {
                for (const GasLimits& gas : kGasLimits) {
                    if (!equals(m, gas.horizontal)) continue;
                    py::object value = item(item(reservoir_mmps, idx), gas.mmp_key);
                    set_limit(screening_table, kPressure, gas.horizontal, "Min", value);
                    set_limit(screening_table, kPressure, gas.vertical_miscible, "Min", value);
                    set_limit(screening_table, kPressure, gas.vertical_immiscible, "Max", value);
                }
            }
            // Polymer limits by viscosity band; outside the bands they stay
            // as this table holds them.
            if (is_polymer_param && equals(m, "Polymer Flooding")) {
                const double v = item_double(field_data, "Oil Viscosity (in situ)");
                if (const auto polymer = zelt::polymer_limits_for_viscosity(v)) {
                    set_limit(screening_table, kPermeability, "Polymer Flooding", "Min",
                              py::float_(polymer->permeability_min_md));
                    set_limit(screening_table, kSalinity, "Polymer Flooding", "Max",
                              py::float_(polymer->salinity_max_ppm));
                }
            }
            if (is_salinity && equals(m, "ASP")) {
                const double t = item_double(field_data, "Reservoir Temperature");
                set_limit(screening_table, kSalinity, "ASP", "Max",
                          py::float_(zelt::asp_salinity_max(t)));
            }
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

py::object iterrows(py::handle edin_df) {
    if (!py::hasattr(edin_df, "iterrows")) {
        raise(PyExc_TypeError, std::string("edin_df must be a pandas DataFrame, not ") +
                                   Py_TYPE(edin_df.ptr())->tp_name);
    }
    return edin_df.attr("iterrows")();
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
            double sum = 0.0;
            for (py::handle p : screening_params) {
                if (!scores) scores = item(screening_param_scores, idx);
                const double s = as_double(item(item(scores, p), m));
                sum += s;
                py::object stopper = item(item(item(screening_table, p), m), "Stopper");
                if (truth(stopper) && s != zelt::kInsideScore) record[m] = zelt::kKnockedOutScore;
            }
            if (!record.contains(m)) record[m] = zelt::method_score_from_sum(sum);
        }
        result.append(record);
    }
    return result;
}

// --------------------------------------------------------------- 2019 steps

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
    return r;
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
            double numerator = 0.0;
            double denominator = 0.0;
            py::dict p_val;
            p_val["ZeltMethod"] = m;
            for (py::handle p : screening_params_2019) {
                py::object limits = item(item(screening_table, p), m);
                py::object value = item(item(screening_param_scores, idx), p);
                const double px = py_p_value(value, item(limits, "Lower"), item(limits, "Min"),
                                             item(limits, "Max"), item(limits, "Upper"));
                const double w = as_double(item(limits, "Weighting"));
                numerator += w * px;
                denominator += w;
                p_val[p] = px;
            }
            p_value_result.append(p_val);
            score_record[m] = zelt::weighted_score(numerator, denominator, flags);
        }
        zelt_result.append(score_record);
    }
    warn_divisions(flags);
    return py::make_tuple(zelt_result, p_value_result);
}

// ---------------------------------------------------------------- reshaping

// Bound columns into one long table; every bound after the first becomes its
// distance from the bound before it. The argument is not changed.
py::object reshape_bounds(py::object table, const std::vector<const char*>& bounds) {
    py::list columns;
    for (const char* b : bounds) columns.append(b);
    py::object selection = item(table, columns).attr("reset_index")();
    // Later bounds first, so that every difference uses the file's values.
    for (std::size_t i = bounds.size() - 1; i >= 1; --i) {
        set_item(selection, py::str(bounds[i]),
                 item(selection, bounds[i]) - item(selection, bounds[i - 1]));
    }
    py::list id_vars;
    id_vars.append("ScreeningParam");
    id_vars.append("ZeltMethod");
    return py::module_::import("pandas").attr("melt")(
        selection, "id_vars"_a = id_vars, "var_name"_a = "Category", "value_name"_a = "Value");
}

py::object fix_screening_table_for_spotfire(py::object screening_table_df) {
    return reshape_bounds(screening_table_df, {"Min", "Max"});
}

py::object fix_screening_table_2019_for_spotfire(py::object screening_table_2019_df) {
    return reshape_bounds(screening_table_2019_df, {"Lower", "Min", "Max", "Upper"});
}


// ---------------------------------------------------------------- pipelines

struct Libs {
    py::module_ np = py::module_::import("numpy");
    py::module_ pd = py::module_::import("pandas");
    py::object is_extension_array_dtype =
        py::module_::import("pandas.api.types").attr("is_extension_array_dtype");
};

void require_dataframe(const Libs& libs, py::handle edin_df, const char* function) {
    if (!py::isinstance(edin_df, libs.pd.attr("DataFrame"))) {
        raise(PyExc_TypeError, std::string(function) + "() expects a pandas DataFrame, not " +
                                   Py_TYPE(edin_df.ptr())->tp_name);
    }
}

// Column names in lower case, in place on the caller's table.
void lower_case_columns(py::handle edin_df) {
    py::object lower = py::module_::import("builtins").attr("str").attr("lower");
    py::list names;
    for (py::handle name : edin_df.attr("columns")) names.append(lower(name));
    edin_df.attr("columns") = names;
}

// The named columns converted to floating point, in place on the caller's table.
template <std::size_t N>
void convert_numeric_columns(py::handle edin_df, const std::array<const char*, N>& columns) {
    py::list keys;
    for (const char* c : columns) keys.append(c);
    py::object float_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyFloat_Type));
    set_item(edin_df, keys, item(edin_df, keys).attr("astype")(float_type));
}

// One column of a table as a Series (a repeated name is refused).
py::object column(const Libs& libs, py::handle table, const char* name) {
    py::object c = item(table, name);
    if (!py::isinstance(c, libs.pd.attr("Series"))) {
        raise(PyExc_ValueError, std::string("column '") + name + "' appears more than once");
    }
    return c;
}

std::vector<double> float_values(const Libs& libs, py::handle table, const char* name) {
    auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
        column(libs, table, name).attr("to_numpy")("dtype"_a = "float64"));
    if (!a) throw py::error_already_set();
    return std::vector<double>(a.data(), a.data() + a.size());
}

// --- reference files

py::object read_reference_table(const Libs& libs, const char* filename) {
    py::list index_col;
    index_col.append("ScreeningParam");
    index_col.append("ZeltMethod");
    py::list na_values;
    na_values.append("MMP");
    return libs.pd.attr("read_csv")(get_filepath(py::str(filename)), "na_values"_a = na_values,
                                    "index_col"_a = index_col);
}

// Row positions of the (parameter, method) lines of a reference table.
class ReferenceRows {
public:
    explicit ReferenceRows(py::handle table) {
        std::size_t i = 0;
        for (py::handle key : table.attr("index")) {
            if (PyTuple_Check(key.ptr()) && PyTuple_GET_SIZE(key.ptr()) == 2) {
                PyObject* p = PyTuple_GET_ITEM(key.ptr(), 0);
                PyObject* m = PyTuple_GET_ITEM(key.ptr(), 1);
                if (PyUnicode_Check(p) && PyUnicode_Check(m)) {
                    const std::string k = join(py::str(p), py::str(m));
                    if (!rows_.emplace(k, i).second) repeated_.emplace(k, i);
                }
            }
            ++i;
        }
    }

    std::size_t at(std::string_view param, std::string_view method, const char* file) const {
        const std::string k = join(std::string(param), std::string(method));
        const auto it = rows_.find(k);
        if (it == rows_.end()) {
            PyErr_SetObject(PyExc_KeyError, py::make_tuple(to_py(param), to_py(method)).ptr());
            throw py::error_already_set();
        }
        if (repeated_.count(k) != 0) {
            raise(PyExc_ValueError, std::string(file) + " holds more than one line for ('" +
                                        std::string(param) + "', '" + std::string(method) + "')");
        }
        return it->second;
    }

private:
    static std::string join(const std::string& p, const std::string& m) { return p + '\0' + m; }
    std::unordered_map<std::string, std::size_t> rows_;
    std::unordered_map<std::string, std::size_t> repeated_;
};

// A limit column that must hold numbers (NaN for "MMP" and empty cells).
std::vector<double> limit_values(const Libs& libs, py::handle table, const char* name,
                                 const char* file) {
    py::object c = column(libs, table, name);
    const std::string kind = py::str(c.attr("dtype").attr("kind"));
    if (kind.find_first_of("biuf") == std::string::npos) {
        raise(PyExc_TypeError, std::string(file) + ": column '" + name +
                                   "' holds text other than \"MMP\"; limits must be numbers");
    }
    return float_values(libs, table, name);
}

// Knock-out flags by truth value: non-zero numbers, NaN and non-empty text count as set.
std::vector<char> stopper_values(const Libs& libs, py::handle table) {
    py::object c = column(libs, table, "Stopper");
    std::vector<char> out;
    for (py::handle v : c.attr("to_numpy")()) out.push_back(truth(v) ? 1 : 0);
    return out;
}

zelt::ScreeningLimits first_method_limits(const Libs& libs, py::handle table) {
    const char* file = "screening_table.csv";
    for (const char* name : {"Min", "Max", "Stopper"}) column(libs, table, name);
    const ReferenceRows rows(table);
    std::array<std::array<std::size_t, kMethodCount>, kParamCount> at{};
    for (std::size_t p = 0; p < kParamCount; ++p) {
        for (std::size_t m = 0; m < kMethodCount; ++m) {
            at[p][m] = rows.at(zelt::kParamNames[p], zelt::kMethodNames[m], file);
        }
    }
    const std::vector<double> mins = limit_values(libs, table, "Min", file);
    const std::vector<double> maxs = limit_values(libs, table, "Max", file);
    const std::vector<char> stoppers = stopper_values(libs, table);
    zelt::ScreeningLimits limits{};
    for (std::size_t p = 0; p < kParamCount; ++p) {
        for (std::size_t m = 0; m < kMethodCount; ++m) {
            const std::size_t r = at[p][m];
            limits[p][m] = zelt::MethodLimits{mins[r], maxs[r], stoppers[r] != 0};
        }
    }
    return limits;
}

const std::array<const char*, 5> kColumns2019 = {"Lower", "Min", "Max", "Upper", "Weighting"};

// The five numeric columns of the 2019 file converted to floating point in
// place (text in them fails here), then the limits of every pair.
zelt::ScreeningLimits2019 second_method_limits(const Libs& libs, py::handle table) {
    const char* file = "screening_table_2019.csv";
    for (const char* name : kColumns2019) {
        set_item(table, py::str(name), column(libs, table, name).attr("astype")("float"));
    }
    const ReferenceRows rows(table);
    std::array<std::vector<double>, 5> values;
    for (std::size_t c = 0; c < kColumns2019.size(); ++c) {
        values[c] = float_values(libs, table, kColumns2019[c]);
    }
    zelt::ScreeningLimits2019 limits{};
    for (std::size_t p = 0; p < kParamCount2019; ++p) {
        for (std::size_t m = 0; m < kMethodCount2019; ++m) {
            const std::size_t r = rows.at(zelt::kParamNames2019[p], zelt::kMethodNames2019[m], file);
            limits[p][m] = zelt::MethodLimits2019{values[0][r], values[1][r], values[2][r],
                                                  values[3][r], values[4][r]};
        }
    }
    return limits;
}

// "ScreeningParam" values replaced by their display labels, in place.
template <std::size_t N>
void label_with_units(py::handle table, const std::array<std::string_view, N>& names,
                      const std::array<std::string_view, N>& labels) {
    py::dict mapping;
    for (std::size_t i = 0; i < N; ++i) mapping[to_py(names[i])] = to_py(labels[i]);
    set_item(table, py::str("ScreeningParam"), item(table, "ScreeningParam").attr("replace")(mapping));
}

// --- input rows

// Row k pairs with the record at the list position its index label names.
struct RowLabels {
    std::vector<std::int64_t> positions;   // empty: labels are 0 .. n-1
    py::object error_type;                 // what the first bad label raises
    std::string error_message;
};

RowLabels row_labels(const Libs& libs, py::handle edin_df, std::size_t n) {
    RowLabels labels;
    py::object index = edin_df.attr("index");
    if (py::isinstance(index, libs.pd.attr("RangeIndex")) &&
        index.attr("start").cast<py::int_>().cast<long long>() == 0 &&
        index.attr("step").cast<py::int_>().cast<long long>() == 1) {
        return labels;
    }
    labels.positions.reserve(n);
    for (py::handle label : index) {
        py::object type;
        std::string message;
        labels.positions.push_back(list_position(label, n, type, message));
        if (labels.positions.back() == zelt::kInvalidPosition && !labels.error_type) {
            labels.error_type = type;
            labels.error_message = message;
        }
    }
    return labels;
}

template <typename Result>
void raise_batch_failure(const Result& result, const RowLabels& labels) {
    switch (result.failure) {
        case zelt::BatchFailure::none: return;
        case zelt::BatchFailure::math_domain: raise(PyExc_ValueError, "math domain error");
        case zelt::BatchFailure::invalid_label: raise(labels.error_type, labels.error_message);
    }
}

// Values of a column as the rows of the table carry them: each row holds
// the table's common type, so in a mixed table an integer identifier stays
// an int while in an all-numeric table it becomes a float.
py::list row_values(py::handle edin_df, py::handle col) {
    py::object dtype = edin_df.attr("iloc")[py::slice(0, 1, 1)].attr("values").attr("dtype");
    return col.attr("astype")(dtype).attr("tolist")();
}

// The array a table built from records holding these values gets.
py::object inferred_values(const Libs& libs, py::handle values) {
    return libs.pd.attr("Series")(values).attr("_values");
}

// A column repeated k times end to end, the way a melt repeats its id columns.
py::object tile_like_melt(const Libs& libs, py::handle values, std::size_t k) {
    if (truth(libs.is_extension_array_dtype(values))) {
        py::list parts;
        py::object series = libs.pd.attr("Series")(values);
        for (std::size_t i = 0; i < k; ++i) parts.append(series);
        return libs.pd.attr("concat")(parts, "ignore_index"_a = true).attr("_values");
    }
    return libs.np.attr("tile")(values, k);
}

py::array_t<double> double_array(const std::vector<double>& v) {
    py::array_t<double> a(static_cast<py::ssize_t>(v.size()));
    if (!v.empty()) std::memcpy(a.mutable_data(), v.data(), v.size() * sizeof(double));
    return a;
}

// An object array of `size` entries, entry i holding values[which(i)].
template <typename Which>
py::array object_array(const std::vector<py::object>& values, std::size_t size, Which which) {
    py::array out(py::dtype("O"), std::vector<py::ssize_t>{static_cast<py::ssize_t>(size)});  // zero-filled: all None
    PyObject** data = static_cast<PyObject**>(out.mutable_data());
    for (std::size_t i = 0; i < size; ++i) {
        PyObject* v = values[which(i)].ptr();
        Py_INCREF(v);
        data[i] = v;
    }
    return out;
}

template <std::size_t N>
std::vector<py::object> py_strings(const std::array<std::string_view, N>& names) {
    std::vector<py::object> out;
    for (auto n : names) out.push_back(to_py(n));
    return out;
}

// A table from columns built here: each column keeps its own array (no
// consolidating copy).
py::object table_from_columns(const Libs& libs, const py::dict& columns) {
    return libs.pd.attr("DataFrame")(columns, "copy"_a = false);
}

// Reservoir names as UTF-8 for the sort, when every name is text or missing.
bool sortable_names(py::handle names, std::vector<std::string_view>& text, std::vector<bool>& missing) {
    for (py::handle v : names) {
        PyObject* o = v.ptr();
        if (PyUnicode_Check(o)) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
            if (utf8 == nullptr) {  // lone surrogates: leave the sort to pandas
                PyErr_Clear();
                return false;
            }
            text.emplace_back(utf8, static_cast<std::size_t>(size));
            missing.push_back(false);
        } else if (o == Py_None || (PyFloat_Check(o) && std::isnan(PyFloat_AS_DOUBLE(o)))) {
            text.emplace_back();
            missing.push_back(true);
        } else {
            return false;
        }
    }
    return true;
}

// The long score table: one row per reservoir and method, sorted stably by
// "Reservoir" then "ZeltMethod", keeping the melt's row labels (method m of
// row r carries m * n + r). scores: n x M, row-major.
template <std::size_t M>
py::object long_score_table(const Libs& libs, py::handle ids, py::handle names_list,
                            const std::vector<double>& scores, std::size_t n,
                            const std::array<std::string_view, M>& methods) {
    py::object id_values = tile_like_melt(libs, inferred_values(libs, ids), M);
    py::object name_values = tile_like_melt(libs, inferred_values(libs, names_list), M);
    const std::vector<py::object> method_names = py_strings(methods);

    std::vector<std::string_view> text;
    std::vector<bool> missing;
    std::vector<std::int64_t> order;
    const bool own_sort = sortable_names(names_list, text, missing);
    if (own_sort) {
        std::vector<std::string_view> method_views(methods.begin(), methods.end());
        order = zelt::long_table_order(text, missing, method_views);
    } else {
        order.resize(n * M);
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::int64_t>(i);
    }

    py::array_t<std::int64_t> labels(static_cast<py::ssize_t>(order.size()));
    std::memcpy(labels.mutable_data(), order.data(), order.size() * sizeof(std::int64_t));
    std::vector<double> score(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        const std::size_t m = static_cast<std::size_t>(order[i]) / n;
        const std::size_t r = static_cast<std::size_t>(order[i]) % n;
        score[i] = scores[r * M + m];
    }

    py::dict columns;
    columns["Reservoir_ID"] = id_values.attr("take")(labels);
    columns["Reservoir"] = name_values.attr("take")(labels);
    columns["ZeltMethod"] = object_array(method_names, order.size(), [&](std::size_t i) {
        return static_cast<std::size_t>(order[i]) / n;
    });
    columns["Score"] = double_array(score);
    if (own_sort) {
        return libs.pd.attr("DataFrame")(columns, "index"_a = libs.pd.attr("Index")(labels),
                                         "copy"_a = false);
    }
    py::list by;
    by.append("Reservoir");
    by.append("ZeltMethod");
    return libs.pd.attr("DataFrame")(columns).attr("sort_values")("by"_a = by);
}

py::object empty_table(const Libs& libs, const std::vector<std::string_view>& columns) {
    py::list names;
    for (auto c : columns) names.append(to_py(c));
    return libs.pd.attr("DataFrame")("columns"_a = names);
}

const std::vector<std::string_view> kLongScoreColumns = {"Reservoir_ID", "Reservoir", "ZeltMethod", "Score"};

template <std::size_t N>
std::vector<std::string_view> with_leading(std::string_view first, const std::array<std::string_view, N>& rest) {
    std::vector<std::string_view> out{first};
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

// --- the first method

std::vector<zelt::ReservoirRecord> read_reservoirs(const Libs& libs, py::handle edin_df, std::size_t n) {
    std::array<std::vector<double>, 13> c;
    for (std::size_t i = 0; i < c.size(); ++i) c[i] = float_values(libs, edin_df, kRequiredNumericColumns[i]);
    std::vector<zelt::ReservoirRecord> records(n);
    for (std::size_t k = 0; k < n; ++k) {
        zelt::ReservoirRecord& r = records[k];
        r.oil_gravity_api = c[0][k];
        r.dead_oil_viscosity_cp = c[1][k];
        r.top_depth_ft = c[2][k];
        r.net_thickness_ft = c[3][k];
        r.gross_thickness_ft = c[4][k];
        r.permeability_md = c[5][k];
        r.porosity_pct = c[6][k];
        r.recovery_factor_pct = c[7][k];
        r.pressure_psi = c[8][k];
        r.temperature_c = c[9][k];
        r.water_saturation_pct = c[10][k];
        // c[11], the original pressure, is converted but not used.
        r.salinity_ppm = c[12][k];
    }
    return records;
}

py::object pressure_window_table(const Libs& libs, py::handle resv_col,
                                 const zelt::FirstMethodResult& result, std::size_t n) {
    constexpr std::size_t M = kMethodCount;
    // Identifiers as the column itself yields them, one wide row per method.
    py::object ids = inferred_values(libs, py::list(py::reinterpret_borrow<py::object>(resv_col)));
    py::object wide_ids = ids.attr("repeat")(M);
    py::object id_values = tile_like_melt(libs, wide_ids, 2);

    std::vector<double> value(2 * n * M);
    for (std::size_t i = 0; i < n * M; ++i) {
        value[i] = result.window_min[i];
        value[n * M + i] = result.window_max[i] - result.window_min[i];
    }
    const std::size_t rows = 2 * n * M;
    const std::vector<py::object> param{to_py(zelt::kParamLabels[zelt::kReservoirPressure])};
    const std::vector<py::object> methods = py_strings(zelt::kMethodNames);
    const std::vector<py::object> categories{py::str("Min"), py::str("Max")};

    py::dict columns;
    columns["Reservoir_ID"] = id_values;
    columns["ScreeningParam"] = object_array(param, rows, [](std::size_t) { return std::size_t{0}; });
    columns["ZeltMethod"] = object_array(methods, rows, [](std::size_t i) { return i % M; });
    columns["Category"] = object_array(categories, rows, [&](std::size_t i) { return i / (n * M); });
    columns["Value"] = double_array(value);
    return table_from_columns(libs, columns);
}

py::tuple halvane_zelt(py::object edin_df) {
    const Libs libs;
    require_dataframe(libs, edin_df, "halvane_zelt");
    lower_case_columns(edin_df);
    convert_numeric_columns(edin_df, kRequiredNumericColumns);

    py::object file_table = read_reference_table(libs, "screening_table.csv");
    const zelt::ScreeningLimits limits = first_method_limits(libs, file_table);
    py::object screening_table_df = fix_screening_table_for_spotfire(file_table);

    const py::tuple shape = edin_df.attr("shape");
    const std::size_t n = shape[0].cast<std::size_t>();
    if (n == 0 || shape[1].cast<std::size_t>() == 0) {
        return py::make_tuple(empty_table(libs, kLongScoreColumns), screening_table_df,
                              empty_table(libs, with_leading("Reservoir_ID", zelt::kParamNames)),
                              empty_table(libs, {"Reservoir_ID", "ScreeningParam", "ZeltMethod",
                                                 "Category", "Value"}));
    }

    py::object resv_col = column(libs, edin_df, kResvId);
    column(libs, edin_df, kGasReserveDateQual);
    const std::vector<zelt::ReservoirRecord> records = read_reservoirs(libs, edin_df, n);
    const RowLabels labels = row_labels(libs, edin_df, n);

    zelt::FirstMethodResult result;
    {
        py::gil_scoped_release unlocked;
        result = zelt::screen_first_method(records, labels.positions, limits);
    }
    raise_batch_failure(result, labels);
    py::object names_col = column(libs, edin_df, kReservoirName);

    py::list ids = row_values(edin_df, resv_col);
    py::list names = row_values(edin_df, names_col);
    py::object score_table = long_score_table(libs, ids, names, result.scores, n, zelt::kMethodNames);

    py::dict field_columns;
    field_columns["Reservoir_ID"] = inferred_values(libs, ids);
    for (std::size_t p = 0; p < kParamCount; ++p) {
        std::vector<double> v(n);
        for (std::size_t k = 0; k < n; ++k) v[k] = zelt::parameter_value(result.field_data[k], p);
        field_columns[to_py(zelt::kParamNames[p])] = double_array(v);
    }
    py::object field_data_df = table_from_columns(libs, field_columns);

    py::object window = pressure_window_table(libs, resv_col, result, n);
    label_with_units(screening_table_df, zelt::kParamNames, zelt::kParamLabels);
    return py::make_tuple(score_table, screening_table_df, field_data_df, window);
}

// --- the 2019 method

std::vector<zelt::ReservoirRecord2019> read_reservoirs_2019(const Libs& libs, py::handle edin_df,
                                                            std::size_t n) {
    std::array<std::vector<double>, 9> c;
    for (std::size_t i = 0; i < c.size(); ++i) c[i] = float_values(libs, edin_df, kRequiredNumericColumns2019[i]);
    std::vector<zelt::ReservoirRecord2019> records(n);
    for (std::size_t k = 0; k < n; ++k) {
        records[k] = zelt::ReservoirRecord2019{c[0][k], c[1][k], c[2][k], c[3][k], c[4][k],
                                               c[5][k], c[6][k], c[7][k], c[8][k]};
    }
    return records;
}

py::tuple uom_zelt(py::object edin_df) {
    const Libs libs;
    require_dataframe(libs, edin_df, "uom_zelt");
    lower_case_columns(edin_df);
    convert_numeric_columns(edin_df, kRequiredNumericColumns2019);

    py::object file_table = read_reference_table(libs, "screening_table_2019.csv");
    const zelt::ScreeningLimits2019 limits = second_method_limits(libs, file_table);
    py::object screening_table_df = fix_screening_table_2019_for_spotfire(file_table);

    const auto p_value_columns = with_leading("ZeltMethod", zelt::kParamNames2019);
    const auto field_columns = with_leading("Reservoir_ID", zelt::kParamNames2019);
    const py::tuple shape = edin_df.attr("shape");
    const std::size_t n = shape[0].cast<std::size_t>();
    if (n == 0 || shape[1].cast<std::size_t>() == 0) {
        return py::make_tuple(empty_table(libs, kLongScoreColumns), screening_table_df,
                              empty_table(libs, p_value_columns), empty_table(libs, field_columns));
    }

    py::object resv_col = column(libs, edin_df, kResvId);
    const std::vector<zelt::ReservoirRecord2019> records = read_reservoirs_2019(libs, edin_df, n);
    py::object names_col = column(libs, edin_df, kReservoirName);
    const RowLabels labels = row_labels(libs, edin_df, n);

    zelt::SecondMethodResult result;
    {
        py::gil_scoped_release unlocked;
        result = zelt::screen_2019_method(records, labels.positions, limits);
    }
    raise_batch_failure(result, labels);
    warn_divisions(result.division);

    constexpr std::size_t M = kMethodCount2019;
    constexpr std::size_t P = kParamCount2019;
    py::list ids = row_values(edin_df, resv_col);
    py::list names = row_values(edin_df, names_col);
    py::object score_table = long_score_table(libs, ids, names, result.scores, n, zelt::kMethodNames2019);

    py::dict p_columns;
    p_columns["ZeltMethod"] = object_array(py_strings(zelt::kMethodNames2019), n * M,
                                           [](std::size_t i) { return i % M; });
    for (std::size_t p = 0; p < P; ++p) {
        std::vector<double> v(n * M);
        for (std::size_t i = 0; i < n * M; ++i) v[i] = result.p_values[i * P + p];
        p_columns[to_py(zelt::kParamNames2019[p])] = double_array(v);
    }
    py::object p_value_df = table_from_columns(libs, p_columns);

    py::dict f_columns;
    f_columns["Reservoir_ID"] = inferred_values(libs, ids);
    for (std::size_t p = 0; p < P; ++p) {
        std::vector<double> v(n);
        for (std::size_t k = 0; k < n; ++k) v[k] = zelt::parameter_value_2019(result.field_data[k], p);
        f_columns[to_py(zelt::kParamNames2019[p])] = double_array(v);
    }
    py::object field_data_df = table_from_columns(libs, f_columns);

    label_with_units(screening_table_df, zelt::kParamNames2019, zelt::kParamLabels2019);
    return py::make_tuple(score_table, screening_table_df, p_value_df, field_data_df);
}

// ------------------------------------------------------------- module body

// A docstring that carries its text signature, so inspect.signature works.
std::string doc(const char* signature, const char* text) {
    return std::string(signature) + "\n--\n\n" + text;
}

void bind_module(py::module_ m) {
    // Names bound at import, in this order: the libraries, the correlation
    // constants, then the functions.
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("math") = py::module_::import("math");
    m.attr("os") = py::module_::import("os");
    const zelt::CorrelationConstants& c = zelt::correlation_constants();
    m.attr("slope_viscosity") = c.slope_viscosity;
    m.attr("intercept_viscosity") = c.intercept_viscosity;
    m.attr("slope_rs") = c.slope_rs;
    m.attr("intercept_rs") = c.intercept_rs;
    m.attr("kv_kh_ratio") = c.kv_kh_ratio;
    m.attr("slope_salinity") = c.slope_salinity;
    m.attr("intercept_salinity") = c.intercept_salinity;

    py::options options;
    options.disable_function_signatures();

    static const std::string d_get_filepath =
        doc("get_filepath(filename, /)", "Path of filename in the directory of the module file.");
    static const std::string d_get_field_data = doc(
        "get_field_data(idx, row)",
        "Field data record of one reservoir: the eleven screening parameters,\n"
        "with defaults and correlations where the row has no value.");
    static const std::string d_get_mmp = doc(
        "get_mmp(idx, row, field_data)",
        "MMP record of one reservoir: CO2, hydrocarbon and nitrogen MMPs (psia).");
    static const std::string d_mmp = doc(
        "mmp(api, temp, injected_gas)",
        "SPE 97650 - Lange\u2019s Correlation\n(PVT textbook, pages 355 and 320)");
    static const std::string d_oil_sp = doc(
        "oil_solubility_parameter(mw, temp)",
        "Solubility parameter of the oil from its molecular weight and temperature (degF).");
    static const std::string d_gas_sp = doc(
        "gas_solubility_parameter(comp, rho_p1, rhoc, pc)",
        "Solubility parameter of the injected gas from its component densities.");
    static const std::string d_desity = doc(
        "desity_calc(p, t, pc, tc, mw, wi)",
        "Density (lb/ft3) from the Peng-Robinson equation of state; p psia, t degR.");
    static const std::string d_cubic = doc(
        "cubic_equation_solution(a1, a2, a3)", "SOLVE Cubic Equation (PVT textbook, page 369)");
    static const std::string d_get_diff = doc(
        "get_diff(idx, field_data, reservoir_mmps, screening_table, zelt_methods, screening_params)",
        "Difference record of one reservoir: how far each parameter lies outside each\n"
        "method's limits (NaN inside). Adjusts pressure, polymer and ASP limits of\n"
        "screening_table in place first.");
    static const std::string d_get_min_max = doc(
        "get_min_max(diffs, screening_params)",
        "Smallest and largest difference of each parameter over all reservoirs and methods.");
    static const std::string d_param_score = doc(
        "get_screening_param_score(diffs, min_max_diff, zelt_methods, screening_params)",
        "Parameter scores: 10 inside the limits, -1 to -10 by the size of the violation.");
    static const std::string d_zelt_score = doc(
        "get_zelt_score(edin_df, screening_param_scores, screening_table, zelt_methods, screening_params)",
        "Method scores in [-1, 1] of every reservoir; -1 for a knocked-out method.");
    static const std::string d_halvane = doc(
        "halvane_zelt(edin_df, /)",
        "Screens every reservoir of edin_df for 15 recovery methods.\n\n"
        "Returns (zelt_score_df, screening_table_df, field_data_df, resv_screening_table_df).");
    static const std::string d_fix = doc(
        "fix_screening_table_for_spotfire(screening_table_df, /)",
        "The reference limits as a long table: \"Min\" the lower limit, \"Max\" the range width.");
    static const std::string d_fd2019 = doc(
        "get_field_data_2019(idx, row)",
        "2019 field data record of one reservoir: the eight screening parameters.");
    static const std::string d_score2019 = doc(
        "get_zelt_score_2019(edin_df, screening_param_scores, screening_table, zelt_methods_2019, "
        "screening_params_2019)",
        "2019 scores and p-values: (list of score records, list of p-value records).");
    static const std::string d_p_value = doc(
        "p_value(param, lower, min_val, max_val, upper)",
        "Rating of one value against nested limits, from -1 (unacceptable) to 1.");
    static const std::string d_uom = doc(
        "uom_zelt(edin_df, /)",
        "Screens every reservoir of edin_df by the 2019 method.\n\n"
        "Returns (zelt_score_2019_df, screening_table_2019_df, p_value_2019_df, field_data_2019_df).");
    static const std::string d_fix2019 = doc(
        "fix_screening_table_2019_for_spotfire(screening_table_2019_df, /)",
        "The 2019 reference limits as a long table of consecutive segments.");

    m.def("get_filepath", &get_filepath, d_get_filepath.c_str(), py::arg("filename"), py::pos_only());
    m.def("get_field_data", &get_field_data, d_get_field_data.c_str(), py::arg("idx"), py::arg("row"));
    m.def("get_mmp", &get_mmp, d_get_mmp.c_str(), py::arg("idx"), py::arg("row"), py::arg("field_data"));
    m.def("mmp", &py_mmp, d_mmp.c_str(), py::arg("api"), py::arg("temp"), py::arg("injected_gas"));
    m.def("oil_solubility_parameter", &py_oil_solubility_parameter, d_oil_sp.c_str(), py::arg("mw"),
          py::arg("temp"));
    m.def("gas_solubility_parameter", &py_gas_solubility_parameter, d_gas_sp.c_str(), py::arg("comp"),
          py::arg("rho_p1"), py::arg("rhoc"), py::arg("pc"));
    m.def("desity_calc", &py_desity_calc, d_desity.c_str(), py::arg("p"), py::arg("t"), py::arg("pc"),
          py::arg("tc"), py::arg("mw"), py::arg("wi"));
    m.def("cubic_equation_solution", &py_cubic_equation_solution, d_cubic.c_str(), py::arg("a1"),
          py::arg("a2"), py::arg("a3"));
    m.def("get_diff", &get_diff, d_get_diff.c_str(), py::arg("idx"), py::arg("field_data"),
          py::arg("reservoir_mmps"), py::arg("screening_table"), py::arg("zelt_methods"),
          py::arg("screening_params"));
    m.def("get_min_max", &get_min_max, d_get_min_max.c_str(), py::arg("diffs"), py::arg("screening_params"));
    m.def("get_screening_param_score", &get_screening_param_score, d_param_score.c_str(), py::arg("diffs"),
          py::arg("min_max_diff"), py::arg("zelt_methods"), py::arg("screening_params"));
    m.def("get_zelt_score", &get_zelt_score, d_zelt_score.c_str(), py::arg("edin_df"),
          py::arg("screening_param_scores"), py::arg("screening_table"), py::arg("zelt_methods"),
          py::arg("screening_params"));
    m.def("halvane_zelt", &halvane_zelt, d_halvane.c_str(), py::arg("edin_df"), py::pos_only());
    m.def("fix_screening_table_for_spotfire", &fix_screening_table_for_spotfire, d_fix.c_str(),
          py::arg("screening_table_df"), py::pos_only());
    m.def("get_field_data_2019", &get_field_data_2019, d_fd2019.c_str(), py::arg("idx"), py::arg("row"));
    m.def("get_zelt_score_2019", &get_zelt_score_2019, d_score2019.c_str(), py::arg("edin_df"),
          py::arg("screening_param_scores"), py::arg("screening_table"), py::arg("zelt_methods_2019"),
          py::arg("screening_params_2019"));
    m.def("p_value", &py_p_value, d_p_value.c_str(), py::arg("param"), py::arg("lower"),
          py::arg("min_val"), py::arg("max_val"), py::arg("upper"));
    m.def("uom_zelt", &uom_zelt, d_uom.c_str(), py::arg("edin_df"), py::pos_only());
    m.def("fix_screening_table_2019_for_spotfire", &fix_screening_table_2019_for_spotfire, d_fix2019.c_str(),
          py::arg("screening_table_2019_df"), py::pos_only());
}

int exec_module(PyObject* module) {
    return Guard::exec(module, "zelt", [module] {
        // The one place where C++ errors of the core meet Python: a math
        // domain error is the ValueError the math module raises; other
        // standard exceptions keep pybind11's mapping (bad_alloc ->
        // MemoryError, out_of_range -> IndexError, ...).
        py::register_local_exception_translator([](std::exception_ptr p) {
            try {
                if (p) std::rethrow_exception(p);
            } catch (const zelt::MathDomainError& e) {
                PyErr_SetString(PyExc_ValueError, e.what());
            }
        });
        bind_module(py::reinterpret_borrow<py::module_>(module));
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&Guard::create)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "zelt", kModuleDoc, 0, nullptr, module_slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_zelt() { return PyModuleDef_Init(&module_def); }
