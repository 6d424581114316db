// rank_by_analogs and evaluate_analogs: the caller's reservoirs and field
// projects read once into owned tables (the screening input columns, same
// names and units), the analog search, the vote and both screening methods
// run in the core without the GIL, the result tables built column by column.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "analogs.hpp"
#include "py_face.hpp"

namespace zelt_py {

using namespace pybind11::literals;
namespace an = zelt::analogs;

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

enum Param { kGravity, kViscosity, kDepth, kNetPay, kPermeability, kPorosity, kPressure,
             kTemperature, kWaterSaturation, kSalinity, kParams };

const std::vector<an::Scale> kScales = {
    an::Scale::linear, an::Scale::log10, an::Scale::linear, an::Scale::log10, an::Scale::log10,
    an::Scale::linear, an::Scale::linear, an::Scale::linear, an::Scale::linear, an::Scale::log10};

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

// One caller's table as the analogs read it.
struct InputTable {
    std::string what;                  // "reservoirs table", "projects table"
    py::object df;
    std::size_t n = 0;
    std::map<std::string, std::size_t> position;   // lower-case name -> column position
    py::object index;
};

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

py::object row_label(const InputTable& t, std::size_t row) { return t.index[py::int_(row)]; }

[[noreturn]] void changed_length(const InputTable& t, const std::string& name, std::size_t now,
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
std::vector<double> numeric_column(const InputTable& t, std::size_t position, const std::string& name,
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
                                                 repr_text(values[k]) + " at row " + repr_text(row_label(t, k)) +
                                                 ", which is not a number");
        }
    }
    for (std::size_t k = 0; k < t.n; ++k) {
        if (std::isinf(out[k])) {
            fail(PyExc_ValueError, function, "the " + t.what + "'s column '" + name + "' holds " +
                                                 std::to_string(out[k]) + " at row " +
                                                 repr_text(row_label(t, k)) + ", which is not a finite number");
        }
    }
    return out;
}

// The table's values: the distance parameters and both methods' records.
struct Values {
    an::Table params;
    std::vector<R1> first;
    std::vector<R2> second;
};

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
    if (auto bad = an::first_non_positive(v.params, kScales)) {
        std::string column = kParamColumns[bad->param];
        fail(PyExc_ValueError, function, "the " + t.what + "'s column '" + column + "' holds " +
                                             std::to_string(bad->value) + " at row " +
                                             repr_text(row_label(t, bad->row)) +
                                             "; it enters the distance by its logarithm and must be positive");
    }
    return v;
}

std::size_t reported_params(const an::Table& t, std::size_t r) {
    std::size_t count = 0;
    for (std::size_t p = 0; p < t.params; ++p) count += std::isnan(t.at(r, p)) ? 0 : 1;
    return count;
}

// The projects: their values, and for each usable row (a method label and
// at least min_shared parameters) its table row and label number.
struct Projects {
    InputTable table;
    Values values;                       // usable rows only
    std::vector<std::size_t> rows;       // table row of each usable project
    std::vector<std::int32_t> label;     // label number of each usable project
    std::vector<std::string> labels;     // in order of first appearance
    std::vector<int> label_family;       // kNoFamily where unknown
    py::list outcomes = py::list();      // per usable project (None without the column)
};

an::FamilyMap family_map(py::handle families, const std::string& function) {
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

// An integer argument in [lo, hi]: TypeError for what is not an integer
// (bool included), ValueError outside the range.
long long bounded_int(py::handle value, const char* name, long long lo, long long hi, const std::string& function) {
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) {
        fail(PyExc_TypeError, function, std::string(name) + " must be an integer, not " +
                                            py::type::of(value).attr("__name__").cast<std::string>());
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || v < lo || v > hi) {
        fail(PyExc_ValueError, function, std::string(name) + " must be between " + std::to_string(lo) + " and " +
                                             std::to_string(hi) + ", not " + repr_text(value));
    }
    return v;
}

an::Options analog_options(py::handle k, py::handle min_shared, const std::string& function) {
    an::Options o;
    o.k = static_cast<std::size_t>(bounded_int(k, "k", 1, 1000, function));
    o.min_shared = static_cast<std::size_t>(bounded_int(min_shared, "min_shared", 1, kParams, function));
    return o;
}

// The first method over a table: its scores and reported knock-outs.
struct Screen {
    std::vector<double> first_family;
    std::vector<std::uint8_t> knocked_out;
    std::vector<double> second_family;
};

Screen screen(const Values& v, const zelt::ScreeningLimits& limits, const zelt::ScreeningLimits2019* limits2019,
              const std::string& function) {
    const std::size_t n = v.first.size();
    Screen s;
    zelt::FirstMethodResult first = zelt::screen_first_method(v.first, limits);
    if (first.failure == zelt::BatchFailure::math_domain) {
        throw std::domain_error(function + ": math domain error in the screen of row " +
                                std::to_string(first.failed_row));
    }
    s.first_family = an::family_scores_first(first.scores, n);
    s.knocked_out = an::family_knockouts(an::reported_knockouts(v.first, limits, first), n);
    if (limits2019 != nullptr) {
        zelt::SecondMethodResult second = zelt::screen_2019_method(v.second, *limits2019);
        s.second_family = an::family_scores_second(second.scores, n);
    }
    return s;
}

py::object names_of_families(const std::vector<int>& family) {
    py::list out;
    for (int f : family) out.append(f < 0 ? py::object(py::none()) : py::object(pymodule::to_py(an::kFamilyNames[f])));
    return std::move(out);
}

// values[at[0]], values[at[1]], ... as a list: any objects, tuples included,
// stay one value each.
py::list taken(const py::list& values, const std::vector<std::int64_t>& at) {
    py::list out(at.size());
    for (std::size_t i = 0; i < at.size(); ++i) {
        PyObject* v = PyList_GET_ITEM(values.ptr(), static_cast<Py_ssize_t>(at[i]));
        Py_INCREF(v);
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), v);
    }
    return out;
}

std::vector<std::int64_t> composed(const std::vector<std::int64_t>& outer, const std::vector<std::int64_t>& inner) {
    std::vector<std::int64_t> out(inner.size());
    for (std::size_t i = 0; i < inner.size(); ++i) out[i] = outer[static_cast<std::size_t>(inner[i])];
    return out;
}

template <typename T>
py::array_t<T> array_of(const std::vector<T>& v) {
    py::array_t<T> a(static_cast<py::ssize_t>(v.size()));
    if (!v.empty()) std::memcpy(a.mutable_data(), v.data(), v.size() * sizeof(T));
    return a;
}

}  // namespace

// ----------------------------------------------------------- rank_by_analogs

py::tuple rank_by_analogs(py::object reservoirs, py::object projects, py::object k, py::object method,
                          py::object outcome, py::object families, py::object min_shared) {
    const std::string function = "rank_by_analogs";
    const an::Options options = analog_options(k, min_shared, function);
    const Projects pr = read_projects(projects, py::str(method), py::str(outcome), families, options.min_shared, function);
    const InputTable rt = open_table(reservoirs, "reservoirs table", function);
    const Values rv = read_values(rt, function);
    const Libs libs;
    const zelt::ScreeningLimits limits = first_method_limits(libs, read_reference_table(libs, "screening_table.csv"));

    const std::size_t n = rt.n, labels = pr.labels.size();
    an::Neighbours near;
    an::Votes votes;
    Screen sc;
    {
        py::gil_scoped_release unlocked;
        const std::vector<double> spreads = an::robust_spreads(pr.values.params, kScales);
        near = an::nearest_projects(rv.params, pr.values.params, kScales, spreads, options);
        votes = an::vote(near, pr.label, labels, options.smoothing);
        if (n > 0) sc = screen(rv, limits, nullptr, function);
    }

    // Reservoir identifiers: "resv_id" where the table has it, else the row labels.
    auto id_at = rt.position.find(kResvId);
    py::list id_values = id_at == rt.position.end() ? py::list(rt.index.attr("tolist")())
                                                    : column_values(rt, id_at->second, kResvId, function);
    if (id_values.size() != n) changed_length(rt, "index", id_values.size(), function);
    const py::list& ids = id_values;

    // The ranking: per ranked reservoir every label, by rank.
    std::vector<std::int64_t> rank_row, rank_label_index;
    std::vector<double> support, screen_score;
    std::vector<int> rank;
    std::vector<std::uint8_t> knocked;
    std::vector<std::string> few, lonely;
    for (std::size_t r = 0; r < n; ++r) {
        if (!votes.ranked[r]) {
            (near.enough_params[r] ? lonely : few).push_back(repr_text(ids[py::int_(r)]));
            continue;
        }
        std::vector<an::RankKey> keys(labels);
        for (std::size_t l = 0; l < labels; ++l) {
            const int f = pr.label_family[l];
            const bool ko = f >= 0 && sc.knocked_out[r * an::kFamilyCount + f] != 0;
            const double s = f >= 0 ? sc.first_family[r * an::kFamilyCount + f] : zelt::kNaN;
            keys[l] = an::combined_key(ko, votes.support[r * labels + l], std::isinf(s) ? zelt::kNaN : s);
        }
        const std::vector<int> ranks = an::shared_ranks(keys);
        std::vector<std::size_t> order(labels);
        for (std::size_t l = 0; l < labels; ++l) order[l] = l;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ranks[a] < ranks[b]; });
        for (std::size_t l : order) {
            const int f = pr.label_family[l];
            const double s = f >= 0 ? sc.first_family[r * an::kFamilyCount + f] : zelt::kNaN;
            rank_row.push_back(static_cast<std::int64_t>(r));
            rank_label_index.push_back(static_cast<std::int64_t>(l));
            support.push_back(votes.support[r * labels + l]);
            screen_score.push_back(std::isinf(s) ? zelt::kNaN : s);
            knocked.push_back(f >= 0 && sc.knocked_out[r * an::kFamilyCount + f] != 0);
            rank.push_back(ranks[l]);
        }
    }
    if (!few.empty()) {
        warn(function, "no ranking for the reservoirs " + listed(few) + ": fewer than " +
                           std::to_string(options.min_shared) + " of the distance parameters reported");
    }
    if (!lonely.empty()) {
        warn(function, "no ranking for the reservoirs " + listed(lonely) + ": no project reports " +
                           std::to_string(options.min_shared) + " of the same parameters");
    }
    py::list label_names, label_families;
    for (std::size_t l = 0; l < labels; ++l) {
        label_names.append(pr.labels[l]);
        const int f = pr.label_family[l];
        label_families.append(f < 0 ? py::object(py::none()) : py::object(pymodule::to_py(an::kFamilyNames[f])));
    }

    py::dict ranking;
    ranking["Reservoir_ID"] = taken(ids, rank_row);
    ranking["Method"] = taken(label_names, rank_label_index);
    ranking["Family"] = taken(label_families, rank_label_index);
    ranking["Support"] = array_of(support);
    ranking["KnockedOut"] = array_of(knocked).attr("astype")("bool");
    ranking["ScreenScore"] = array_of(screen_score);
    ranking["Rank"] = array_of(rank).attr("astype")("int64");
    py::object pd = py::module_::import("pandas");
    py::object ranking_df = pd.attr("DataFrame")(ranking);

    // The analogs: per reservoir its neighbours, nearest first.
    std::vector<std::int64_t> a_row, a_project, a_order;
    std::vector<double> a_distance;
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t i = 0; i < options.k; ++i) {
            const std::int64_t j = near.index[r * options.k + i];
            if (j < 0) break;
            a_row.push_back(static_cast<std::int64_t>(r));
            a_project.push_back(j);
            a_order.push_back(static_cast<std::int64_t>(i + 1));
            a_distance.push_back(near.distance[r * options.k + i]);
        }
    }
    std::vector<std::int64_t> table_rows(pr.rows.begin(), pr.rows.end());
    std::vector<std::int64_t> project_label(pr.label.begin(), pr.label.end());
    const py::list project_labels = pr.table.index.attr("tolist")();
    py::dict analog;
    analog["Reservoir_ID"] = taken(ids, a_row);
    analog["Neighbour"] = array_of(a_order);
    analog["Project"] = taken(project_labels, composed(table_rows, a_project));
    analog["Method"] = taken(label_names, composed(project_label, a_project));
    analog["Distance"] = array_of(a_distance);
    analog["Outcome"] = taken(pr.outcomes, a_project);
    return py::make_tuple(ranking_df, pd.attr("DataFrame")(analog));
}

// ---------------------------------------------------------- evaluate_analogs

py::tuple evaluate_analogs(py::object projects, py::object k, py::object method, py::object group,
                           py::object families, py::object min_shared, py::object verbose) {
    const std::string function = "evaluate_analogs";
    const an::Options options = analog_options(k, min_shared, function);
    const Projects pr = read_projects(projects, py::str(method), py::str("outcome"), families, options.min_shared, function);
    const std::size_t n = pr.rows.size();

    // Each project is left out with its own group: its row alone, or every
    // project of the same value in the group column (a missing value: its row alone).
    std::vector<std::int64_t> groups(n);
    for (std::size_t i = 0; i < n; ++i) groups[i] = static_cast<std::int64_t>(i);
    if (!group.is_none()) {
        auto g = pr.table.position.find(py::str(group).attr("lower")().cast<std::string>());
        if (g == pr.table.position.end()) {
            PyErr_SetObject(PyExc_KeyError, py::str(function + ": the projects table lacks the group column " +
                                                    repr_text(group)).ptr());
            throw py::error_already_set();
        }
        py::object codes = py::module_::import("pandas").attr("factorize")(column_at(pr.table, g->second))[py::int_(0)];
        auto c = py::array_t<std::int64_t, py::array::forcecast>::ensure(codes);
        if (!c) throw py::error_already_set();
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t code = c.at(static_cast<py::ssize_t>(pr.rows[i]));
            groups[i] = code >= 0 ? code + static_cast<std::int64_t>(n) : static_cast<std::int64_t>(i);
        }
    }
    std::vector<int> project_family(n);
    for (std::size_t i = 0; i < n; ++i) project_family[i] = pr.label_family[static_cast<std::size_t>(pr.label[i])];

    const Libs libs;
    const zelt::ScreeningLimits limits = first_method_limits(libs, read_reference_table(libs, "screening_table.csv"));
    const zelt::ScreeningLimits2019 limits2019 =
        second_method_limits(libs, read_reference_table(libs, "screening_table_2019.csv"));
    an::Evaluation ev;
    {
        py::gil_scoped_release unlocked;
        const std::vector<double> spreads = an::robust_spreads(pr.values.params, kScales);
        const an::Neighbours near =
            an::nearest_projects(pr.values.params, pr.values.params, kScales, spreads, options, groups, groups);
        const an::Votes votes = an::vote(near, pr.label, pr.labels.size(), options.smoothing);
        const Screen sc = screen(pr.values, limits, &limits2019, function);
        ev = an::evaluate(project_family, votes, pr.label_family, sc.first_family, sc.second_family, sc.knocked_out);
    }
    if (ev.projects == 0) {
        fail(PyExc_ValueError, function, "no project's method label has a family; families={label: family} names them");
    }

    py::object pd = py::module_::import("pandas");
    py::dict summary;
    summary["Ranking"] = py::make_tuple("analogs", "halvane_zelt", "uom_zelt", "combined");
    summary["Top1"] = py::make_tuple(ev.analogs.top1, ev.first.top1, ev.second.top1, ev.combined.top1);
    summary["Top3"] = py::make_tuple(ev.analogs.top3, ev.first.top3, ev.second.top3, ev.combined.top3);
    summary["Projects"] = py::make_tuple(ev.projects, ev.projects, ev.projects, ev.projects);
    py::object summary_df = pd.attr("DataFrame")(summary);

    std::vector<std::int64_t> rows(pr.rows.begin(), pr.rows.end()), labels(pr.label.begin(), pr.label.end());
    py::list label_names;
    for (const std::string& l : pr.labels) label_names.append(l);
    auto credits = [&](const std::vector<an::Credit>& c, bool top1) {
        std::vector<double> v;
        for (const an::Credit& x : c) v.push_back(top1 ? x.top1 : x.top3);
        return array_of(v);
    };
    py::dict detail;
    detail["Project"] = taken(pr.table.index.attr("tolist")(), rows);
    detail["Method"] = taken(label_names, labels);
    detail["Family"] = names_of_families(project_family);
    detail["Analogs"] = names_of_families(ev.top_analogs);
    detail["halvane_zelt"] = names_of_families(ev.top_first);
    detail["uom_zelt"] = names_of_families(ev.top_second);
    detail["Combined"] = names_of_families(ev.top_combined);
    detail["Top1_Analogs"] = credits(ev.credit_analogs, true);
    detail["Top1_halvane_zelt"] = credits(ev.credit_first, true);
    detail["Top1_uom_zelt"] = credits(ev.credit_second, true);
    detail["Top1_Combined"] = credits(ev.credit_combined, true);
    py::object detail_df = pd.attr("DataFrame")(detail);

    if (pymodule::truth(verbose)) {
        std::string head = "Leave-one-out by family over " + std::to_string(ev.projects) + " projects (k = " +
                           std::to_string(options.k) +
                           (group.is_none() ? std::string(", each project left out alone")
                                            : ", every project of the same " + repr_text(group) + " left out together") +
                           "; ties counted as random tie-breaking would):";
        py::print(head);
        py::print(summary_df.attr("to_string")("index"_a = false, "float_format"_a = py::str("{:.3f}").attr("format")));
    }
    return py::make_tuple(summary_df, detail_df);
}

// ------------------------------------------------------------------ binding

void bind_analogs(py::module_& m) {
    m.def("rank_by_analogs", &rank_by_analogs,
          "rank_by_analogs(reservoirs, projects, k=7, method='method', outcome='outcome', families=None, "
          "min_shared=3)\n"
          "Ranks the methods applied in the field projects for every reservoir by its nearest\n"
          "projects (the screening input columns, same names and units; method: the projects'\n"
          "column of applied methods; families: {label: family} over the built-in mapping).\n"
          "A method whose family the first method knocks out on a reported value ranks last.\n\n"
          "Returns (ranking, analogs): one row per reservoir and method (Reservoir_ID, Method,\n"
          "Family, Support, KnockedOut, ScreenScore, Rank), and one per reservoir and nearest\n"
          "project (Reservoir_ID, Neighbour, Project, Method, Distance, Outcome).",
          py::arg("reservoirs"), py::arg("projects"), py::arg("k") = 7, py::arg("method") = "method",
          py::arg("outcome") = "outcome", py::arg("families") = py::none(), py::arg("min_shared") = 3);
    m.def("evaluate_analogs", &evaluate_analogs,
          "evaluate_analogs(projects, k=7, method='method', group=None, families=None, min_shared=3, "
          "verbose=True)\n"
          "Leave-one-out on the project table: each project ranked against the others (with\n"
          "group, every project of the same value in that column left out with it), top-1 and\n"
          "top-3 by family of the analog ranking, halvane_zelt, uom_zelt and their combination;\n"
          "ties count as random tie-breaking would. Prints the summary when verbose.\n\n"
          "Returns (summary, per_project).",
          py::arg("projects"), py::arg("k") = 7, py::arg("method") = "method", py::arg("group") = py::none(),
          py::arg("families") = py::none(), py::arg("min_shared") = 3, py::arg("verbose") = true);
}

}  // namespace zelt_py
