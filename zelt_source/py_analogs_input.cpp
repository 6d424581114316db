// The caller's reservoirs and projects tables of rank_by_analogs and
// evaluate_analogs, read once into owned values: the screening input
// columns (same names and units, matched in lower case), the projects'
// method labels with their families and their outcomes.
#include <pybind11/numpy.h>

#include <cmath>
#include <cstring>
#include <utility>

#include "py_analogs.hpp"

namespace zelt_py::analog_face {

using namespace pybind11::literals;

namespace {

// The screening input columns the analogs read. `param`: the distance
// parameter the column feeds (-1: none); the screening records take the
// rest. The viscosity parameter is the reservoir-condition viscosity where
// given, else the dead-oil viscosity.
struct Column {
    const char* name;
    int param;
    void (*first)(zelt::ReservoirRecord&, double);
    void (*second)(zelt::ReservoirRecord2019&, double);
};

using R1 = zelt::ReservoirRecord;
using R2 = zelt::ReservoirRecord2019;
const std::vector<Column> kColumns = {
    {"oil_density_max_val_deg_api", kGravity, [](R1& r, double v) { r.oil_gravity_api = v; },
     [](R2& r, double v) { r.oil_gravity_api = v; }},
    {"oil_viscosity_max_val_cp", kViscosity, [](R1& r, double v) { r.dead_oil_viscosity_cp = v; },
     [](R2& r, double v) { r.dead_oil_viscosity_cp = v; }},
    {kInSituViscosity, kViscosity, [](R1& r, double v) { r.in_situ_viscosity_cp = v; },
     [](R2& r, double v) { r.in_situ_viscosity_cp = v; }},
    {"top_depth_feet", kDepth, [](R1& r, double v) { r.top_depth_ft = v; }, [](R2& r, double v) { r.top_depth_ft = v; }},
    {"net_thickn_max_val_feet", kNetPay, [](R1& r, double v) { r.net_thickness_ft = v; },
     [](R2& r, double v) { r.net_thickness_ft = v; }},
    {"gross_thickn_max_val_feet", -1, [](R1& r, double v) { r.gross_thickness_ft = v; },
     [](R2& r, double v) { r.gross_thickness_ft = v; }},
    {"permeab_avg_md", kPermeability, [](R1& r, double v) { r.permeability_md = v; },
     [](R2& r, double v) { r.permeability_md = v; }},
    {"porosity_avg_pct", kPorosity, [](R1& r, double v) { r.porosity_pct = v; }, [](R2& r, double v) { r.porosity_pct = v; }},
    {"oil_recovery_pp_factor", -1, [](R1& r, double v) { r.recovery_factor_pct = v; }, nullptr},
    {"pressure_psi", kPressure, [](R1& r, double v) { r.pressure_psi = v; }, nullptr},
    {"temp_max_val_deg_c", kTemperature, [](R1& r, double v) { r.temperature_c = v; },
     [](R2& r, double v) { r.temperature_c = v; }},
    {"water_saturation_max_val_pct", kWaterSaturation, [](R1& r, double v) { r.water_saturation_pct = v; },
     [](R2& r, double v) { r.water_saturation_pct = v; }},
    {"salinity_max_val_ppm", kSalinity, [](R1& r, double v) { r.salinity_ppm = v; }, nullptr},
    {kMeasuredMmpCo2, -1, [](R1& r, double v) { r.measured_mmps.co2 = v; }, nullptr},
    {kMeasuredMmpHc, -1, [](R1& r, double v) { r.measured_mmps.hc = v; }, nullptr},
    {kMeasuredMmpN2, -1, [](R1& r, double v) { r.measured_mmps.n2 = v; }, nullptr},
};

// Column names of the distance parameters, for messages.
const char* const kParamColumns[kParams] = {
    "oil_density_max_val_deg_api", "oil_viscosity_max_val_cp / oil_viscosity_insitu_cp",
    "top_depth_feet", "net_thickn_max_val_feet", "permeab_avg_md", "porosity_avg_pct",
    "pressure_psi", "temp_max_val_deg_c", "water_saturation_max_val_pct", "salinity_max_val_ppm"};

}  // namespace

const std::vector<an::Scale> kScales = {
    an::Scale::linear, an::Scale::log10, an::Scale::linear, an::Scale::log10, an::Scale::log10,
    an::Scale::linear, an::Scale::linear, an::Scale::linear, an::Scale::linear, an::Scale::log10};

std::string repr_text(py::handle o) { return py::repr(o).cast<std::string>(); }

[[noreturn]] void fail(PyObject* type, const std::string& function, const std::string& message) {
    pymodule::raise(type, function + ": " + message);
}

void warn(const std::string& function, const std::string& message) {
    if (PyErr_WarnEx(PyExc_UserWarning, (function + ": " + message).c_str(), 1) != 0) {
        throw py::error_already_set();
    }
}

std::string listed(const std::vector<std::string>& items) {
    constexpr std::size_t kShown = 8;
    std::string out;
    for (std::size_t i = 0; i < items.size() && i < kShown; ++i) out += (i ? ", " : "") + items[i];
    if (items.size() > kShown) out += " and " + std::to_string(items.size() - kShown) + " more";
    return out;
}


InputTable open_table(py::handle df, const char* what, const std::string& function) {
    py::object frame = py::module_::import("pandas").attr("DataFrame");
    if (!py::isinstance(df, frame)) {
        fail(PyExc_TypeError, function, std::string("the ") + what + " must be a DataFrame, not " +
                                            py::type::of(df).attr("__name__").cast<std::string>());
    }
    InputTable t;
    t.what = what;
    t.df = py::reinterpret_borrow<py::object>(df);
    t.n = py::tuple(t.df.attr("shape"))[0].cast<std::size_t>();
    t.index = t.df.attr("index");
    py::list names(t.df.attr("columns"));
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!PyUnicode_Check(names[i].ptr())) continue;   // columns the analogs never read
        std::string lower = py::str(names[i]).attr("lower")().cast<std::string>();
        if (!t.position.emplace(lower, i).second) {
            fail(PyExc_ValueError, function, "the " + t.what + "'s column names " + repr_text(names[i]) +
                                                 " and " + repr_text(names[t.position[lower]]) +
                                                 " are one name in lower case");
        }
    }
    return t;
}

py::object column_at(const InputTable& t, std::size_t position) {
    return t.df.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), position)];
}

// A row label as messages write it (a numpy scalar as the value it holds).
static std::string shown_row(const InputTable& t, std::size_t row) { return zelt_py::row_label(t.index, row); }

[[noreturn]] static void changed_length(const InputTable& t, const std::string& name, std::size_t now,
                                 const std::string& function) {
    fail(PyExc_ValueError, function, "the " + t.what + " changed length during the call (" + std::to_string(t.n) +
                                         " rows at the start, " + std::to_string(now) + " in column '" + name + "')");
}

// A column's values as a list of the rows the call started with.
py::list column_values(const InputTable& t, std::size_t position, const std::string& name,
                       const std::string& function) {
    py::list values = column_at(t, position).attr("tolist")();
    if (values.size() != t.n) changed_length(t, name, values.size(), function);
    return values;
}

// A numeric column as n finite doubles or NaN (missing: NaN, None, pd.NA);
// anything else fails naming the table, the column and the row.
static std::vector<double> numeric_column(const InputTable& t, std::size_t position, const std::string& name,
                                   const std::string& function) {
    py::object c = column_at(t, position);
    py::object dtype = c.attr("dtype");
    py::module_ np = py::module_::import("numpy");
    std::vector<double> out(t.n);
    const bool plain = py::isinstance(dtype, np.attr("dtype")) &&
                       std::string("biuf").find(dtype.attr("kind").cast<std::string>()) != std::string::npos;
    if (plain) {
        auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
            c.attr("to_numpy")("dtype"_a = "float64"));
        if (!a) throw py::error_already_set();
        if (static_cast<std::size_t>(a.size()) != t.n) changed_length(t, name, static_cast<std::size_t>(a.size()), function);
        std::memcpy(out.data(), a.data(), t.n * sizeof(double));
    } else {
        py::list values = column_values(t, position, name, function);
        py::object isna = py::module_::import("pandas").attr("isna");
        for (std::size_t k = 0; k < t.n; ++k) {
            PyObject* f = PyUnicode_Check(values[k].ptr()) || PyBytes_Check(values[k].ptr())
                              ? nullptr
                              : PyNumber_Float(values[k].ptr());
            if (f != nullptr) {
                out[k] = PyFloat_AS_DOUBLE(f);
                Py_DECREF(f);
                continue;
            }
            PyErr_Clear();
            if (isna(values[k]).ptr() == Py_True) {
                out[k] = zelt::kNaN;
                continue;
            }
            fail(PyExc_ValueError, function, "the " + t.what + "'s column '" + name + "' holds " +
                                                 repr_text(values[k]) + " at row " + shown_row(t, k) +
                                                 ", which is not a number");
        }
    }
    for (std::size_t k = 0; k < t.n; ++k) {
        if (std::isinf(out[k])) {
            fail(PyExc_ValueError, function, "the " + t.what + "'s column '" + name + "' holds " +
                                                 std::to_string(out[k]) + " at row " +
                                                 shown_row(t, k) + ", which is not a finite number");
        }
    }
    return out;
}


Values read_values(const InputTable& t, const std::string& function) {
    Values v;
    v.params.rows = t.n;
    v.params.params = kParams;
    v.params.values.assign(t.n * kParams, zelt::kNaN);
    v.first.resize(t.n);
    v.second.resize(t.n);
    std::vector<double> dead, insitu;
    for (const Column& c : kColumns) {
        auto at = t.position.find(c.name);
        if (at == t.position.end()) continue;
        std::vector<double> x = numeric_column(t, at->second, c.name, function);
        for (std::size_t k = 0; k < t.n; ++k) {
            c.first(v.first[k], x[k]);
            if (c.second != nullptr) c.second(v.second[k], x[k]);
        }
        if (std::string(c.name) == "oil_viscosity_max_val_cp") dead = x;
        else if (std::string(c.name) == kInSituViscosity) insitu = x;
        else if (c.param >= 0) {
            for (std::size_t k = 0; k < t.n; ++k) v.params.values[k * kParams + c.param] = x[k];
        }
    }
    for (std::size_t k = 0; k < t.n; ++k) {
        double visc = insitu.empty() ? zelt::kNaN : insitu[k];
        if (std::isnan(visc) && !dead.empty()) visc = dead[k];
        v.params.values[k * kParams + kViscosity] = visc;
    }
    // A logarithm needs a positive value: others are left out of the
    // distance (the screen still reads them) and named.
    const std::vector<an::BadValue> dropped = an::drop_non_positive(v.params, kScales);
    if (!dropped.empty()) {
        std::vector<std::string> cells;
        for (const an::BadValue& b : dropped) {
            cells.push_back("'" + std::string(kParamColumns[b.param]) + "' " + py::repr(py::float_(b.value)).cast<std::string>() +
                            " at row " + shown_row(t, b.row));
        }
        warn(function, "the " + t.what + " holds values that are not positive where the distance takes a "
                           "logarithm; left out of the distance as not reported: " + listed(cells));
    }
    return v;
}

static std::size_t reported_params(const an::Table& t, std::size_t r) {
    std::size_t count = 0;
    for (std::size_t p = 0; p < t.params; ++p) count += std::isnan(t.at(r, p)) ? 0 : 1;
    return count;
}


static an::FamilyMap family_map(py::handle families, const std::string& function) {
    an::FamilyMap map;
    if (families.is_none()) return map;
    if (!PyDict_Check(families.ptr())) fail(PyExc_TypeError, function, "families must be a dict {label: family}");
    for (auto [label, family] : py::reinterpret_borrow<py::dict>(families)) {
        if (!PyUnicode_Check(label.ptr()) || !PyUnicode_Check(family.ptr())) {
            fail(PyExc_TypeError, function, "families maps text labels to text family names");
        }
        auto f = an::family_from_name(family.cast<std::string>());
        if (!f) {
            fail(PyExc_ValueError, function, "families: " + repr_text(family) + " (for " + repr_text(label) +
                                                 ") is not one of 'thermal', 'CO2', 'hydrocarbon gas', "
                                                 "'nitrogen', 'chemical', 'other'");
        }
        map.set(label.cast<std::string>(), *f);
    }
    return map;
}

Projects read_projects(py::handle df, const std::string& method_column, const std::string& outcome_column,
                       py::handle families, std::size_t min_shared, const std::string& function) {
    Projects pr;
    pr.table = open_table(df, "projects table", function);
    const InputTable& t = pr.table;
    std::string method_lower = py::str(method_column).attr("lower")().cast<std::string>();
    auto m = t.position.find(method_lower);
    if (m == t.position.end()) {
        PyErr_SetObject(PyExc_KeyError,
                        py::str(function + ": the projects table lacks the column '" + method_column +
                                "' (the method each project applied; method= names another column)")
                            .ptr());
        throw py::error_already_set();
    }
    Values all = read_values(t, function);
    py::list methods = column_values(t, m->second, method_column, function);
    py::object isna = py::module_::import("pandas").attr("isna");
    auto o = t.position.find(py::str(outcome_column).attr("lower")().cast<std::string>());
    py::list outcome_values =
        o == t.position.end() ? py::list() : column_values(t, o->second, outcome_column, function);

    const an::FamilyMap map = family_map(families, function);
    std::map<std::string, std::int32_t> label_number;
    std::size_t dropped = 0;
    for (std::size_t k = 0; k < t.n; ++k) {
        py::handle label = methods[k];
        if (!PyUnicode_Check(label.ptr()) && isna(label).ptr() == Py_True) { ++dropped; continue; }
        std::string text = py::str(label).cast<std::string>();
        if (an::normalised_label(text).empty() || reported_params(all.params, k) < min_shared) { ++dropped; continue; }
        auto [it, added] = label_number.emplace(text, static_cast<std::int32_t>(pr.labels.size()));
        if (added) {
            pr.labels.push_back(text);
            auto f = map.find(text);
            pr.label_family.push_back(f ? static_cast<int>(*f) : an::kNoFamily);
        }
        pr.rows.push_back(k);
        pr.label.push_back(it->second);
        pr.outcomes.append(outcome_values.empty() ? py::none() : py::object(outcome_values[k]));
    }
    if (pr.rows.empty()) {
        fail(PyExc_ValueError, function, "the projects table has no usable rows: each needs a label in column '" +
                                             method_column + "' and at least " + std::to_string(min_shared) +
                                             " of the columns " + listed(std::vector<std::string>(kParamColumns, kParamColumns + kParams)));
    }
    if (dropped > 0) {
        warn(function, std::to_string(dropped) + " of " + std::to_string(t.n) +
                           " project rows left out: no method label, or fewer than " + std::to_string(min_shared) +
                           " of the distance parameters reported");
    }
    std::vector<std::string> unknown;
    for (std::size_t l = 0; l < pr.labels.size(); ++l) {
        if (pr.label_family[l] == an::kNoFamily) unknown.push_back("'" + pr.labels[l] + "'");
    }
    if (!unknown.empty()) {
        warn(function, "no family for the project method labels " + listed(unknown) +
                           "; they vote under their own labels but are not combined with the screen "
                           "(families={label: family} names them)");
    }
    // The usable rows alone.
    const std::size_t u = pr.rows.size();
    pr.values.params.rows = u;
    pr.values.params.params = kParams;
    for (std::size_t i = 0; i < u; ++i) {
        const std::size_t k = pr.rows[i];
        pr.values.params.values.insert(pr.values.params.values.end(), all.params.values.begin() + k * kParams,
                                       all.params.values.begin() + (k + 1) * kParams);
        pr.values.first.push_back(all.first[k]);
        pr.values.second.push_back(all.second[k]);
    }
    return pr;
}

}  // namespace zelt_py::analog_face
