// The caller's table of either pipeline or explanation: checked before
// anything on it changes, read once into values the module owns and, for
// the pipelines, normalised in place (column names in lower case, the
// numeric columns read as floating point).
//
// Python code may run at every step (a DataFrame subclass, a value's
// __float__, pandas itself) and may change the table. Every column read is
// copied at once and checked to have the rows the call started with, so the
// core only ever reads memory of its own, and a table that changed length
// fails with a ValueError that says so.
#include <pybind11/numpy.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "input_checks.hpp"
#include "py_face.hpp"

namespace zelt_py {

using namespace pybind11::literals;
using pymodule::item;

namespace {

// What a call reads of the caller's table.
template <typename Record>
struct InputColumn {
    const char* name;
    bool required;
    void (*store)(Record&, double);   // nullptr: converted, not used
    zelt::Quantity quantity;          // what its plausible values are
};

using Q = zelt::Quantity;

using zelt::ReservoirRecord;
using zelt::ReservoirRecord2019;

// The first method's columns in their conversion order: the thirteen
// numeric inputs ("original_pressure_psi" converted, not used), then the
// in-situ viscosity and the measured MMPs. Only the depth has neither a
// default nor a correlation.
const std::vector<InputColumn<ReservoirRecord>> kFirstMethodColumns = {
    {"oil_density_max_val_deg_api", false, [](ReservoirRecord& r, double v) { r.oil_gravity_api = v; }, Q::gravity_api},
    {"oil_viscosity_max_val_cp", false, [](ReservoirRecord& r, double v) { r.dead_oil_viscosity_cp = v; }, Q::non_negative},
    {"top_depth_feet", true, [](ReservoirRecord& r, double v) { r.top_depth_ft = v; }, Q::non_negative},
    {"net_thickn_max_val_feet", false, [](ReservoirRecord& r, double v) { r.net_thickness_ft = v; }, Q::non_negative},
    {"gross_thickn_max_val_feet", false, [](ReservoirRecord& r, double v) { r.gross_thickness_ft = v; }, Q::non_negative},
    {"permeab_avg_md", false, [](ReservoirRecord& r, double v) { r.permeability_md = v; }, Q::non_negative},
    {"porosity_avg_pct", false, [](ReservoirRecord& r, double v) { r.porosity_pct = v; }, Q::pore_percent},
    {"oil_recovery_pp_factor", false, [](ReservoirRecord& r, double v) { r.recovery_factor_pct = v; }, Q::percent},
    {"pressure_psi", false, [](ReservoirRecord& r, double v) { r.pressure_psi = v; }, Q::non_negative},
    {"temp_max_val_deg_c", false, [](ReservoirRecord& r, double v) { r.temperature_c = v; }, Q::temperature_c},
    {"water_saturation_max_val_pct", false, [](ReservoirRecord& r, double v) { r.water_saturation_pct = v; }, Q::pore_percent},
    {"original_pressure_psi", false, nullptr, Q::non_negative},
    {"salinity_max_val_ppm", false, [](ReservoirRecord& r, double v) { r.salinity_ppm = v; }, Q::non_negative},
    {kInSituViscosity, false, [](ReservoirRecord& r, double v) { r.in_situ_viscosity_cp = v; }, Q::non_negative},
    {kMeasuredMmpCo2, false, [](ReservoirRecord& r, double v) { r.measured_mmps.co2 = v; }, Q::non_negative},
    {kMeasuredMmpHc, false, [](ReservoirRecord& r, double v) { r.measured_mmps.hc = v; }, Q::non_negative},
    {kMeasuredMmpN2, false, [](ReservoirRecord& r, double v) { r.measured_mmps.n2 = v; }, Q::non_negative},
    {kSurfaceTemperature, false, [](ReservoirRecord& r, double v) { r.surface_temperature_c = v; },
     Q::surface_temperature_c},
};

// The 2019 method's columns, every one with a default.
const std::vector<InputColumn<ReservoirRecord2019>> k2019MethodColumns = {
    {"porosity_avg_pct", false, [](ReservoirRecord2019& r, double v) { r.porosity_pct = v; }, Q::pore_percent},
    {"permeab_avg_md", false, [](ReservoirRecord2019& r, double v) { r.permeability_md = v; }, Q::non_negative},
    {"top_depth_feet", false, [](ReservoirRecord2019& r, double v) { r.top_depth_ft = v; }, Q::non_negative},
    {"oil_density_max_val_deg_api", false, [](ReservoirRecord2019& r, double v) { r.oil_gravity_api = v; }, Q::gravity_api},
    {"oil_viscosity_max_val_cp", false, [](ReservoirRecord2019& r, double v) { r.dead_oil_viscosity_cp = v; }, Q::non_negative},
    {"temp_max_val_deg_c", false, [](ReservoirRecord2019& r, double v) { r.temperature_c = v; }, Q::temperature_c},
    {"water_saturation_max_val_pct", false,
     [](ReservoirRecord2019& r, double v) { r.water_saturation_pct = v; }, Q::pore_percent},
    {"gross_thickn_max_val_feet", false, [](ReservoirRecord2019& r, double v) { r.gross_thickness_ft = v; }, Q::non_negative},
    {"net_thickn_max_val_feet", false, [](ReservoirRecord2019& r, double v) { r.net_thickness_ft = v; }, Q::non_negative},
    {kInSituViscosity, false, [](ReservoirRecord2019& r, double v) { r.in_situ_viscosity_cp = v; }, Q::non_negative},
    {kSurfaceTemperature, false, [](ReservoirRecord2019& r, double v) { r.surface_temperature_c = v; },
     Q::surface_temperature_c},
};

// The two columns read as they are, always required.
const std::array<const char*, 2> kLeading = {kResvId, kReservoirName};

std::string repr_text(py::handle o) { return py::repr(o).cast<std::string>(); }

std::string joined(const std::vector<std::string>& items, const char* separator = ", ") {
    std::string out;
    for (const std::string& s : items) {
        if (!out.empty()) out += separator;
        out += s;
    }
    return out;
}

// The first five of many names, and how many more there are.
std::string first_few(const std::vector<std::string>& items) {
    constexpr std::size_t kShown = 5;
    if (items.size() <= kShown) return joined(items);
    return joined(std::vector<std::string>(items.begin(), items.begin() + kShown)) + " and " +
           std::to_string(items.size() - kShown) + " more";
}

// The caller's column names, which must be text.
py::list column_names(py::handle edin_df, const char* function) {
    py::list names(edin_df.attr("columns"));
    std::vector<std::string> not_text;
    for (py::handle name : names) {
        if (!PyUnicode_Check(name.ptr())) not_text.push_back(repr_text(name));
    }
    if (!not_text.empty()) {
        pymodule::raise(PyExc_TypeError, std::string(function) +
                                             ": column names must be text; these are not: " +
                                             first_few(not_text));
    }
    return names;
}

// Lower-case name -> positions of the caller's columns that carry it.
// Two different names that lower-case alike would become one name on the
// caller's table, and a column the call reads (`read`) must be there once.
py::dict positions_by_lower_name(const py::list& names, const py::list& lowered,
                                 const std::vector<const char*>& read_names, const char* function) {
    py::dict positions;
    for (std::size_t i = 0; i < names.size(); ++i) {
        py::object key = lowered[i];
        if (!positions.contains(key)) positions[key] = py::list();
        positions[key].cast<py::list>().append(i);
    }
    py::set read;
    for (const char* name : read_names) read.add(py::str(name));

    std::vector<std::string> clashes;
    for (auto entry : positions) {
        const py::list at = py::reinterpret_borrow<py::list>(entry.second);
        if (at.size() < 2) continue;
        bool differ = false;
        std::vector<std::string> group;
        for (py::handle i : at) {
            py::object name = names[i.cast<std::size_t>()];
            group.push_back(repr_text(name));
            differ = differ || !name.equal(names[at[0].cast<std::size_t>()]);
        }
        if (differ || read.contains(entry.first)) clashes.push_back(joined(group, " and "));
    }
    if (!clashes.empty()) {
        pymodule::raise(PyExc_ValueError,
                        std::string(function) +
                            ": column names must stay distinct in lower case; these do not: " +
                            joined(clashes, "; "));
    }
    return positions;
}

constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);

// Position of each named column (kAbsent where it is not there), or one
// KeyError naming every required one that is missing.
std::vector<std::size_t> column_positions(const py::dict& positions,
                                          const std::vector<const char*>& read_names,
                                          const std::vector<bool>& required, const std::vector<std::string>& unknown,
                                          const char* function) {
    std::vector<std::size_t> at;
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < read_names.size(); ++i) {
        py::str key(read_names[i]);
        if (positions.contains(key)) {
            at.push_back(positions[key].cast<py::list>()[0].cast<std::size_t>());
        } else {
            if (required[i]) {
                // A column of the table that is probably this one, misspelt.
                std::string hint;
                for (const std::string& name : unknown) {
                    const std::vector<std::string_view> only{read_names[i]};
                    if (zelt::probable_column(name, only)) {
                        hint = " (is " + repr_text(py::str(name)) + " meant?)";
                        break;
                    }
                }
                missing.push_back(repr_text(key) + hint);
            }
            at.push_back(kAbsent);
        }
    }
    if (!missing.empty()) {
        PyErr_SetObject(PyExc_KeyError,
                        py::str(std::string(function) + ": the table lacks the required column" +
                                (missing.size() > 1 ? "s " : " ") + joined(missing))
                            .ptr());
        throw py::error_already_set();
    }
    return at;
}

// ------------------------------------------------------------------ warnings

// The module's InputWarning (UserWarning where a caller removed it).
py::object input_warning() {
    py::handle module = ZeltModuleDef::object();
    if (py::hasattr(module, "InputWarning")) return module.attr("InputWarning");
    return py::reinterpret_borrow<py::object>(PyExc_UserWarning);
}

void warn(const std::string& message) {
    if (PyErr_WarnEx(input_warning().ptr(), message.c_str(), 1) < 0) throw py::error_already_set();
}

// "rows 3, 7, 9 and 12 more": the labels of the first few rows at positions `rows`.
std::string row_labels(py::handle edin_df, const std::vector<std::size_t>& rows) {
    constexpr std::size_t kShown = 3;
    py::object index = edin_df.attr("index");
    std::vector<std::string> labels;
    for (std::size_t i = 0; i < rows.size() && i < kShown; ++i) {
        labels.push_back(row_label(index, rows[i]));
    }
    std::string text = (rows.size() == 1 ? "row " : "rows ") + joined(labels);
    if (rows.size() > kShown) text += " and " + std::to_string(rows.size() - kShown) + " more";
    return text;
}

// The names every method of the module reads: a column that is one of them
// is never taken for a misspelling.
template <typename Record>
void add_names(std::vector<std::string>& names, const std::vector<InputColumn<Record>>& columns) {
    for (const auto& c : columns) names.emplace_back(c.name);
}

// The caller's lower-cased column names that no method of the module reads.
std::vector<std::string> unknown_columns(const py::list& lowered) {
    std::vector<std::string> known(kLeading.begin(), kLeading.end());
    known.emplace_back(kGasReserveDateQual);
    add_names(known, kFirstMethodColumns);
    add_names(known, k2019MethodColumns);
    std::vector<std::string> unknown;
    for (py::handle name : lowered) {
        const std::string text = name.cast<std::string>();
        if (std::find(known.begin(), known.end(), text) == known.end()) unknown.push_back(text);
    }
    return unknown;
}

// One warning per column of the caller's that is probably a misspelling of
// a column the call reads and the table lacks.
void warn_misspelt_columns(const std::vector<std::string>& unknown, const std::vector<const char*>& read_names,
                           const std::vector<std::size_t>& at, const char* function) {
    std::vector<std::string_view> absent;
    for (std::size_t i = 0; i < read_names.size(); ++i) {
        if (at[i] == kAbsent) absent.emplace_back(read_names[i]);
    }
    for (const std::string& name : unknown) {
        const auto meant = zelt::probable_column(name, absent);
        if (!meant) continue;
        warn(std::string(function) + ": column " + repr_text(py::str(name)) +
             " is not one it reads; " + repr_text(py::str(std::string(absent[*meant]))) +
             " was probably meant, and as the table lacks it, its values are taken as missing");
    }
}

// Rows of the table now.
std::size_t current_rows(py::handle edin_df) {
    const py::tuple shape = edin_df.attr("shape");
    return shape[0].cast<std::size_t>();
}

[[noreturn]] void raise_changed_length(const char* function, std::size_t n, std::size_t now,
                                       py::handle column) {
    pymodule::raise(PyExc_ValueError,
                    std::string(function) + ": the table changed length during the call (" +
                        std::to_string(n) + " rows at the start, " + std::to_string(now) +
                        " when column " + repr_text(column) + " was read)");
}

// table[name] as a Series of the n rows the call started with.
py::object pull_column(const Libs& libs, py::handle edin_df, py::handle name, std::size_t n,
                       const char* function) {
    py::object c = item(edin_df, name);
    if (!py::isinstance(c, libs.pd.attr("Series"))) {
        pymodule::raise(PyExc_ValueError, std::string(function) + ": column " + repr_text(name) +
                                              " did not come out of the table as one column");
    }
    const std::size_t rows = current_rows(edin_df);
    if (rows != n) raise_changed_length(function, n, rows, name);
    const Py_ssize_t length = PyObject_Length(c.ptr());
    if (length < 0) throw py::error_already_set();
    if (static_cast<std::size_t>(length) != n) {
        raise_changed_length(function, n, static_cast<std::size_t>(length), name);
    }
    return c;
}

// Doubles of a column as n values of the module's own, or the
// changed-length error. The size is the array's own, not what the table says.
std::vector<double> exact_doubles(py::object values, std::size_t n, py::handle name,
                                  const char* function) {
    auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(values);
    if (!a) throw py::error_already_set();
    if (a.ndim() != 1 || static_cast<std::size_t>(a.size()) != n) {
        raise_changed_length(function, n, static_cast<std::size_t>(a.size()), name);
    }
    return std::vector<double>(a.data(), a.data() + n);
}

// An array of n objects that no other code holds, or the changed-length error.
py::array exact_objects(py::object values, std::size_t n, py::handle name, const char* function) {
    if (!py::isinstance<py::array>(values)) {
        pymodule::raise(PyExc_TypeError, std::string(function) + ": column " + repr_text(name) +
                                             " did not give an array of values");
    }
    py::array a = py::reinterpret_borrow<py::array>(values);
    if (a.dtype().kind() != 'O' || a.ndim() != 1 || !(a.flags() & py::array::c_style)) {
        pymodule::raise(PyExc_TypeError, std::string(function) + ": column " + repr_text(name) +
                                             " did not give an array of values");
    }
    if (static_cast<std::size_t>(a.size()) != n) {
        raise_changed_length(function, n, static_cast<std::size_t>(a.size()), name);
    }
    return a;
}

// One value of an object column as a double: float(value), as the
// conversion to floating point reads it; None, pd.NA, NaT and the other
// missing markers are NaN. A value that is not a number fails naming the
// column, its row label and itself.
double object_to_double(const Libs& libs, py::handle value, py::handle name, py::handle index,
                        std::size_t row, const char* function) {
    PyObject* o = value.ptr();
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    PyObject* f = PyNumber_Float(o);
    if (f != nullptr) {
        const double v = PyFloat_AS_DOUBLE(f);
        Py_DECREF(f);
        return v;
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
        throw py::error_already_set();
    }
    PyErr_Clear();
    if (libs.pd.attr("isna")(value).ptr() == Py_True) return zelt::kNaN;
    pymodule::raise(PyExc_ValueError, std::string(function) + ": column " + repr_text(name) +
                                          " holds " + repr_text(value) + " at row " +
                                          row_label(index, row) + ", which is not a number");
}

// A numeric column as n owned doubles, and whether the caller's column must
// be replaced to hold them as floating point.
struct NumericColumn {
    std::vector<double> values;
    bool convert_in_place;
};

NumericColumn read_numeric(const Libs& libs, py::handle edin_df, py::handle name, std::size_t n,
                           const char* function) {
    py::object c = pull_column(libs, edin_df, name, n, function);
    py::object dtype = c.attr("dtype");
    if (py::isinstance(dtype, libs.np.attr("dtype")) &&
        std::string("biuf").find(dtype.attr("kind").cast<std::string>()) != std::string::npos) {
        const bool convert = !dtype.equal(libs.np.attr("dtype")("float64"));
        return NumericColumn{exact_doubles(c.attr("to_numpy")("dtype"_a = "float64"), n, name, function),
                             convert};
    }
    // Text, objects, extension and other types: value by value, from a copy
    // that no other code holds.
    py::object index = c.attr("index");
    const py::array a =
        exact_objects(c.attr("to_numpy")("dtype"_a = "object", "copy"_a = true), n, name, function);
    NumericColumn out{std::vector<double>(n), true};
    PyObject* const* data = static_cast<PyObject* const*>(a.data());
    for (std::size_t k = 0; k < n; ++k) {
        out.values[k] = object_to_double(libs, data[k], name, index, k, function);
    }
    const std::size_t rows = current_rows(edin_df);
    if (rows != n) raise_changed_length(function, n, rows, name);
    return out;
}

py::array_t<double> to_array(const std::vector<double>& v) {
    py::array_t<double> a(static_cast<py::ssize_t>(v.size()));
    if (!v.empty()) std::memcpy(a.mutable_data(), v.data(), v.size() * sizeof(double));
    return a;
}

// The type each row of the table holds once the numeric columns read are
// floating point (position -> the first row's value): the values of an
// identifier or a name as the rows of the pipelines' table carry them. A
// table with a text (object) identifier or name holds objects; otherwise the
// first row, copied and converted, tells.
py::object row_dtype(const Libs& libs, py::handle edin_df,
                     const std::vector<std::pair<std::size_t, double>>& first_values,
                     py::handle resv_col, py::handle names_col) {
    py::object object_dtype = libs.np.attr("dtype")("O");
    const py::object resv_dtype = resv_col.attr("dtype");
    const py::object names_dtype = names_col.attr("dtype");
    if (resv_dtype.equal(object_dtype) || names_dtype.equal(object_dtype)) {
        return object_dtype;
    }
    py::object head = edin_df.attr("iloc")[py::slice(0, 1, 1)].attr("copy")();
    for (const auto& [position, value] : first_values) {
        head.attr("isetitem")(position, to_array(std::vector<double>{value}));
    }
    return head.attr("values").attr("dtype");
}

// +-inf in a numeric column, or a value that overflows in the module's unit
// conversion, fails naming the column, the row label and the value.
void refuse_non_finite(py::handle edin_df, py::handle name, const std::vector<double>& values,
                       zelt::Quantity quantity, const char* function) {
    std::optional<std::size_t> row = zelt::first_infinite(values);
    const char* why = ", which is not a finite number";
    if (!row) {
        for (std::size_t k = 0; k < values.size(); ++k) {
            if (zelt::overflows_in_conversion(quantity, values[k])) {
                row = k;
                why = ", which overflows in the conversion to \u00B0F";
                break;
            }
        }
    }
    if (!row) return;
    pymodule::raise(PyExc_ValueError, std::string(function) + ": column " + repr_text(name) + " holds " +
                                          repr_text(py::float_(values[*row])) + " at row " +
                                          row_label(edin_df.attr("index"), *row) + why);
}

template <typename Record>
ReservoirTable<Record> read_table(const Libs& libs, py::handle edin_df, const char* function,
                                  const std::vector<InputColumn<Record>>& columns, TableChanges changes) {
    if (!py::isinstance(edin_df, libs.pd.attr("DataFrame"))) {
        pymodule::raise(PyExc_TypeError, std::string(function) +
                                             "() expects a pandas DataFrame, not " +
                                             Py_TYPE(edin_df.ptr())->tp_name);
    }
    ReservoirTable<Record> in;
    in.n = current_rows(edin_df);

    // Checks, in this order, before anything on the caller's table changes.
    std::vector<const char*> read_names(kLeading.begin(), kLeading.end());
    std::vector<bool> required(kLeading.size(), true);
    for (const auto& c : columns) {
        read_names.push_back(c.name);
        required.push_back(c.required);
    }
    const py::list names = column_names(edin_df, function);
    py::object lower = py::module_::import("builtins").attr("str").attr("lower");
    py::list lowered;
    for (py::handle name : names) lowered.append(lower(name));
    const py::dict positions = positions_by_lower_name(names, lowered, read_names, function);
    const std::vector<std::string> unknown = unknown_columns(lowered);
    const std::vector<std::size_t> at = column_positions(positions, read_names, required, unknown, function);

    // Every value read once, column by column, into the records.
    in.records.resize(in.n);
    std::vector<std::pair<std::size_t, double>> first_values;
    std::vector<std::pair<std::size_t, std::vector<double>>> conversions;
    std::vector<std::pair<std::size_t, zelt::ImplausibleValues>> implausible;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const std::size_t position = at[kLeading.size() + i];
        if (position == kAbsent) continue;   // records keep their NaN
        NumericColumn c = read_numeric(libs, edin_df, names[position], in.n, function);
        refuse_non_finite(edin_df, names[position], c.values, columns[i].quantity, function);
        for (auto& problem : zelt::implausible_values(columns[i].quantity, c.values)) {
            implausible.emplace_back(position, std::move(problem));
        }
        if (columns[i].store != nullptr) {
            for (std::size_t k = 0; k < in.n; ++k) columns[i].store(in.records[k], c.values[k]);
        }
        if (in.n > 0) first_values.emplace_back(position, c.values[0]);
        if (c.convert_in_place && changes == TableChanges::in_place) {
            conversions.emplace_back(position, std::move(c.values));
        }
    }
    if (in.n > 0) {
        in.resv_col = pull_column(libs, edin_df, names[at[0]], in.n, function);
        py::object names_col = pull_column(libs, edin_df, names[at[1]], in.n, function);
        py::object dtype = row_dtype(libs, edin_df, first_values, in.resv_col, names_col);
        in.ids = in.resv_col.attr("astype")(dtype).attr("tolist")();
        in.names = names_col.attr("astype")(dtype).attr("tolist")();
        if (in.ids.size() != in.n) raise_changed_length(function, in.n, in.ids.size(), names[at[0]]);
        if (in.names.size() != in.n) raise_changed_length(function, in.n, in.names.size(), names[at[1]]);
    }
    if (!py::list(edin_df.attr("columns")).equal(names)) {
        pymodule::raise(PyExc_ValueError,
                        std::string(function) + ": the table's columns changed during the call");
    }
    // What looks misread, said once per problem; the values are used as they are.
    warn_misspelt_columns(unknown, read_names, at, function);
    for (const auto& [position, problem] : implausible) {
        warn(std::string(function) + ": column " + repr_text(names[position]) + " holds " + problem.problem +
             " (" + row_labels(edin_df, problem.rows) + "); they are used as they are");
    }
    if (changes == TableChanges::none) return in;

    // What the pipelines change on the caller's table: names in lower case, the
    // numeric columns read as floating point (positionally, so that no label
    // lookup or alignment can put them elsewhere).
    edin_df.attr("columns") = lowered;
    for (const auto& [position, values] : conversions) edin_df.attr("isetitem")(position, to_array(values));
    return in;
}

}  // namespace

std::string row_label(py::handle index, std::size_t row) {
    py::object label = item(index, py::int_(row));
    // A numpy scalar as the Python value it holds: 7, not np.int64(7).
    if (py::isinstance(label, py::module_::import("numpy").attr("generic"))) label = label.attr("item")();
    return repr_text(label);
}

ReservoirTable<zelt::ReservoirRecord> read_first_method_table(const Libs& libs, py::handle edin_df,
                                                              const char* function, TableChanges changes) {
    return read_table(libs, edin_df, function, kFirstMethodColumns, changes);
}

ReservoirTable<zelt::ReservoirRecord2019> read_2019_method_table(const Libs& libs, py::handle edin_df,
                                                                 const char* function,
                                                                 TableChanges changes) {
    return read_table(libs, edin_df, function, k2019MethodColumns, changes);
}

}  // namespace zelt_py
