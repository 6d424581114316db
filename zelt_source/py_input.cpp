// The caller's table of either pipeline: checked before anything on it
// changes, then normalised in place (column names in lower case, numeric
// columns as floating point) and read once into arrays the module owns.
//
// Python code may run at every step (a DataFrame subclass, a value's
// __float__, pandas itself) and may change the table. Every column read is
// copied at once and checked to have the rows the call started with, so the
// core only ever reads memory of its own, and a table that changed length
// fails with a ValueError that says so.
#include <pybind11/numpy.h>

#include <cstring>
#include <string>

#include "py_face.hpp"

namespace zelt_py {

using namespace pybind11::literals;
using pymodule::item;

namespace {

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
py::list column_names(py::handle edin_df, const TableSpec& spec) {
    py::list names(edin_df.attr("columns"));
    std::vector<std::string> not_text;
    for (py::handle name : names) {
        if (!PyUnicode_Check(name.ptr())) not_text.push_back(repr_text(name));
    }
    if (!not_text.empty()) {
        pymodule::raise(PyExc_TypeError, std::string(spec.function) +
                                             ": column names must be text; these are not: " +
                                             first_few(not_text));
    }
    return names;
}

// Names the pipeline reads, in the order failures list them.
std::vector<const char*> required_names(const TableSpec& spec) {
    std::vector<const char*> out(spec.leading);
    out.insert(out.end(), spec.numeric.begin(), spec.numeric.end());
    out.insert(out.end(), spec.trailing.begin(), spec.trailing.end());
    return out;
}

// Lower-case name -> positions of the caller's columns that carry it.
// Two different names that lower-case alike would become one name on the
// caller's table, and a column read by the pipeline must be there once.
py::dict positions_by_lower_name(const py::list& names, const py::list& lowered,
                                 const TableSpec& spec) {
    py::dict positions;
    for (std::size_t i = 0; i < names.size(); ++i) {
        py::object key = lowered[i];
        if (!positions.contains(key)) positions[key] = py::list();
        positions[key].cast<py::list>().append(i);
    }
    py::set read;
    for (const char* name : required_names(spec)) read.add(py::str(name));

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
                        std::string(spec.function) +
                            ": column names must stay distinct in lower case; these do not: " +
                            joined(clashes, "; "));
    }
    return positions;
}

// Position of every required column, or one KeyError naming all that are missing.
std::vector<std::size_t> required_positions(const py::dict& positions, const TableSpec& spec) {
    std::vector<std::size_t> at;
    std::vector<std::string> missing;
    for (const char* name : required_names(spec)) {
        py::str key(name);
        if (positions.contains(key)) {
            at.push_back(positions[key].cast<py::list>()[0].cast<std::size_t>());
        } else {
            missing.push_back(repr_text(key));
            at.push_back(0);
        }
    }
    if (!missing.empty()) {
        PyErr_SetObject(PyExc_KeyError,
                        py::str(std::string(spec.function) + ": the table lacks the required column" +
                                (missing.size() > 1 ? "s " : " ") + joined(missing))
                            .ptr());
        throw py::error_already_set();
    }
    return at;
}

// Rows of the table now.
std::size_t current_rows(py::handle edin_df) {
    const py::tuple shape = edin_df.attr("shape");
    return shape[0].cast<std::size_t>();
}

[[noreturn]] void raise_changed_length(const TableSpec& spec, std::size_t n, std::size_t now,
                                       py::handle column) {
    pymodule::raise(PyExc_ValueError,
                    std::string(spec.function) + ": the table changed length during the call (" +
                        std::to_string(n) + " rows at the start, " + std::to_string(now) +
                        " when column " + repr_text(column) + " was read)");
}

// table[name] as a Series of the n rows the call started with.
py::object pull_column(const Libs& libs, py::handle edin_df, py::handle name, std::size_t n,
                       const TableSpec& spec) {
    py::object c = item(edin_df, name);
    if (!py::isinstance(c, libs.pd.attr("Series"))) {
        pymodule::raise(PyExc_ValueError, std::string(spec.function) + ": column " + repr_text(name) +
                                              " did not come out of the table as one column");
    }
    const std::size_t rows = current_rows(edin_df);
    if (rows != n) raise_changed_length(spec, n, rows, name);
    const Py_ssize_t length = PyObject_Length(c.ptr());
    if (length < 0) throw py::error_already_set();
    if (static_cast<std::size_t>(length) != n) {
        raise_changed_length(spec, n, static_cast<std::size_t>(length), name);
    }
    return c;
}

// Doubles of a column as n values of the module's own, or the
// changed-length error. The size is the array's own, not what the table says.
std::vector<double> exact_doubles(py::object values, std::size_t n, py::handle name,
                                  const TableSpec& spec) {
    auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(values);
    if (!a) throw py::error_already_set();
    if (a.ndim() != 1 || static_cast<std::size_t>(a.size()) != n) {
        raise_changed_length(spec, n, static_cast<std::size_t>(a.size()), name);
    }
    return std::vector<double>(a.data(), a.data() + n);
}

// An array of n objects that no other code holds, or the changed-length error.
py::array exact_objects(py::object values, std::size_t n, py::handle name, const TableSpec& spec) {
    if (!py::isinstance<py::array>(values)) {
        pymodule::raise(PyExc_TypeError, std::string(spec.function) + ": column " + repr_text(name) +
                                             " did not give an array of values");
    }
    py::array a = py::reinterpret_borrow<py::array>(values);
    if (a.dtype().kind() != 'O' || a.ndim() != 1 || !(a.flags() & py::array::c_style)) {
        pymodule::raise(PyExc_TypeError, std::string(spec.function) + ": column " + repr_text(name) +
                                             " did not give an array of values");
    }
    if (static_cast<std::size_t>(a.size()) != n) {
        raise_changed_length(spec, n, static_cast<std::size_t>(a.size()), name);
    }
    return a;
}

// One value of an object column as a double: float(value), as the
// conversion to floating point reads it; None, pd.NA, NaT and the other
// missing markers are NaN. A value that is not a number fails naming the
// column, its row label and itself.
double object_to_double(const Libs& libs, py::handle value, py::handle name, py::handle index,
                        std::size_t row, const TableSpec& spec) {
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
    pymodule::raise(PyExc_ValueError, std::string(spec.function) + ": column " + repr_text(name) +
                                          " holds " + repr_text(value) + " at row " +
                                          repr_text(item(index, py::int_(row))) + ", which is not a number");
}

// A numeric column as n owned doubles, and whether the caller's column must
// be replaced to hold them as floating point.
struct NumericColumn {
    std::vector<double> values;
    bool convert_in_place;
};

NumericColumn read_numeric(const Libs& libs, py::handle edin_df, py::handle name, std::size_t n,
                           const TableSpec& spec) {
    py::object c = pull_column(libs, edin_df, name, n, spec);
    py::object dtype = c.attr("dtype");
    if (py::isinstance(dtype, libs.np.attr("dtype")) &&
        std::string("biuf").find(dtype.attr("kind").cast<std::string>()) != std::string::npos) {
        const bool convert = !dtype.equal(libs.np.attr("dtype")("float64"));
        return NumericColumn{exact_doubles(c.attr("to_numpy")("dtype"_a = "float64"), n, name, spec),
                             convert};
    }
    // Text, objects, extension and other types: value by value, from a copy
    // that no other code holds.
    py::object index = c.attr("index");
    const py::array a =
        exact_objects(c.attr("to_numpy")("dtype"_a = "object", "copy"_a = true), n, name, spec);
    NumericColumn out{std::vector<double>(n), true};
    PyObject* const* data = static_cast<PyObject* const*>(a.data());
    for (std::size_t k = 0; k < n; ++k) {
        out.values[k] = object_to_double(libs, data[k], name, index, k, spec);
    }
    const std::size_t rows = current_rows(edin_df);
    if (rows != n) raise_changed_length(spec, n, rows, name);
    return out;
}

py::array_t<double> to_array(const std::vector<double>& v) {
    py::array_t<double> a(static_cast<py::ssize_t>(v.size()));
    if (!v.empty()) std::memcpy(a.mutable_data(), v.data(), v.size() * sizeof(double));
    return a;
}

}  // namespace

InputTable read_input_table(const Libs& libs, py::handle edin_df, const TableSpec& spec) {
    if (!py::isinstance(edin_df, libs.pd.attr("DataFrame"))) {
        pymodule::raise(PyExc_TypeError, std::string(spec.function) +
                                             "() expects a pandas DataFrame, not " +
                                             Py_TYPE(edin_df.ptr())->tp_name);
    }
    InputTable in;
    in.n = current_rows(edin_df);

    // Checks, in this order, before the caller's table changes.
    const py::list names = column_names(edin_df, spec);
    py::object lower = py::module_::import("builtins").attr("str").attr("lower");
    py::list lowered;
    for (py::handle name : names) lowered.append(lower(name));
    const py::dict positions = positions_by_lower_name(names, lowered, spec);
    const std::vector<std::size_t> at = required_positions(positions, spec);
    const std::size_t first_numeric = spec.leading.size();
    std::vector<bool> convert(spec.numeric.size());
    for (std::size_t i = 0; i < spec.numeric.size(); ++i) {
        NumericColumn c = read_numeric(libs, edin_df, names[at[first_numeric + i]], in.n, spec);
        in.numeric.push_back(std::move(c.values));
        convert[i] = c.convert_in_place;
    }
    if (!py::list(edin_df.attr("columns")).equal(names)) {
        pymodule::raise(PyExc_ValueError,
                        std::string(spec.function) + ": the table's columns changed during the call");
    }

    // The documented changes to the caller's table: names in lower case, the
    // numeric columns as floating point (positionally, so that no label
    // lookup or alignment can put them elsewhere).
    edin_df.attr("columns") = lowered;
    for (std::size_t i = 0; i < spec.numeric.size(); ++i) {
        if (convert[i]) edin_df.attr("isetitem")(at[first_numeric + i], to_array(in.numeric[i]));
    }
    if (in.n == 0) return in;

    in.resv_col = pull_column(libs, edin_df, py::str(kResvId), in.n, spec);
    py::object names_col = pull_column(libs, edin_df, py::str(kReservoirName), in.n, spec);
    in.ids = row_values(edin_df, in.resv_col);
    in.names = row_values(edin_df, names_col);
    if (in.ids.size() != in.n) raise_changed_length(spec, in.n, in.ids.size(), py::str(kResvId));
    if (in.names.size() != in.n) {
        raise_changed_length(spec, in.n, in.names.size(), py::str(kReservoirName));
    }
    return in;
}

}  // namespace zelt_py
