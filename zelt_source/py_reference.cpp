// The reference limits files beside the module: finding them, reading them
// into the core's limit tables, and reshaping them for display.
#include <string>
#include <unordered_map>

#include "py_face.hpp"

namespace zelt_py {

using namespace pybind11::literals;
using pymodule::item;
using pymodule::to_py;
using pymodule::truth;
using zelt::kMethodCount;
using zelt::kMethodCount2019;
using zelt::kParamCount;
using zelt::kParamCount2019;

// ------------------------------------------------------------------- the path

namespace {

// The module's __file__ as it stands now (a caller may point it elsewhere).
py::object module_file() {
    PyObject* dict = PyModule_GetDict(ZeltModuleDef::object().ptr());
    PyObject* file = PyDict_GetItemString(dict, "__file__");
    if (file == nullptr) pymodule::raise(PyExc_NameError, "name '__file__' is not defined");
    return py::reinterpret_borrow<py::object>(file);
}

}  // namespace

py::object get_filepath(py::object filename) {
    py::object path = py::module_::import("os").attr("path");
    return path.attr("join")(path.attr("dirname")(module_file()), filename);
}

namespace {

// A column of a table the module made replaced by new values, by position:
// no item assignment, which pandas' Copy-on-Write takes for chained
// assignment on a table only the module holds.
void replace_column(py::handle table, const char* name, py::handle values) {
    py::object at = table.attr("columns").attr("get_loc")(name);
    table.attr("isetitem")(at, values.attr("to_numpy")());
}

}  // namespace

// ---------------------------------------------------------------- the limits

py::object read_reference_table(const Libs& libs, const char* filename) {
    py::list index_col;
    index_col.append("ScreeningParam");
    index_col.append("ZeltMethod");
    py::list na_values;
    na_values.append("MMP");
    return libs.pd.attr("read_csv")(get_filepath(py::str(filename)), "na_values"_a = na_values,
                                    "index_col"_a = index_col);
}

namespace {

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
            pymodule::raise(PyExc_ValueError, std::string(file) + " holds more than one line for ('" +
                                                  std::string(param) + "', '" + std::string(method) +
                                                  "')");
        }
        return it->second;
    }

private:
    static std::string join(const std::string& p, const std::string& m) { return p + '\0' + m; }
    std::unordered_map<std::string, std::size_t> rows_;
    std::unordered_map<std::string, std::size_t> repeated_;
};

// The file's line number (the header is line 1; blank lines, which the
// reader skips, are counted) of data row `row`, read again only to report it.
std::size_t line_number(const char* file, std::size_t row) {
    py::object lines = py::module_::import("pathlib")
                           .attr("Path")(get_filepath(py::str(file)))
                           .attr("read_text")("encoding"_a = "utf-8", "errors"_a = "replace")
                           .attr("splitlines")();
    std::size_t seen = 0;   // non-blank lines so far, the header included
    std::size_t number = 0;
    for (py::handle line : lines) {
        ++number;
        if (py::len(line.attr("strip")()) == 0) continue;
        if (seen++ == row + 1) return number;
    }
    return row + 2;
}

// "<file>, line <k> (<parameter>, <method>)" for data row `row` of a table.
std::string line_name(py::handle table, const char* file, std::size_t row) {
    py::object key = item(table.attr("index"), py::int_(row));
    return std::string(file) + ", line " + std::to_string(line_number(file, row)) + " " +
           py::repr(key).cast<std::string>();
}

// The first row of a column whose cell float() cannot read, or the first
// text cell when float() reads them all.
std::size_t first_text_row(py::handle values) {
    std::size_t row = 0;
    std::size_t first_text = static_cast<std::size_t>(-1);
    for (py::handle v : values) {
        if (PyUnicode_Check(v.ptr())) {
            if (first_text == static_cast<std::size_t>(-1)) first_text = row;
            PyObject* f = PyNumber_Float(v.ptr());
            if (f == nullptr) {
                PyErr_Clear();
                return row;
            }
            Py_DECREF(f);
        }
        ++row;
    }
    return first_text == static_cast<std::size_t>(-1) ? 0 : first_text;
}

// Raises `type`, naming the file, line and column of the first text cell
// of a limit column that holds text.
[[noreturn]] void raise_text_cell(PyObject* type, py::handle table, py::handle c, const char* name,
                                  const char* file) {
    py::object values = c.attr("to_list")();
    const std::size_t row = first_text_row(values);
    pymodule::raise(type, line_name(table, file, row) + ": column '" + name + "' holds " +
                              py::repr(item(values, py::int_(row))).cast<std::string>() +
                              ", text other than \"MMP\"; limits must be numbers");
}

// A limit column that must hold numbers (NaN for "MMP" and empty cells).
std::vector<double> limit_values(const Libs& libs, py::handle table, const char* name,
                                 const char* file) {
    py::object c = column(libs, table, name);
    const std::string kind = py::str(c.attr("dtype").attr("kind"));
    if (kind.find_first_of("biuf") == std::string::npos) raise_text_cell(PyExc_TypeError, table, c, name, file);
    return float_values(libs, table, name);
}

// Limits in the order Lower <= Min <= Max <= Upper, or a ValueError naming
// the file and the first line that breaks it.
template <typename Limits, std::size_t P, std::size_t M>
void require_ordered_limits(const Limits& limits, const char* file,
                            const std::array<std::string_view, P>& params,
                            const std::array<std::string_view, M>& methods) {
    const auto bad = zelt::first_limits_out_of_order(limits);
    if (!bad) return;
    const std::string pair = "('" + std::string(params[bad->param]) + "', '" +
                             std::string(methods[bad->method]) + "')";
    pymodule::raise(PyExc_ValueError,
                    std::string(file) + ": the line " + pair + " has " + bad->low_name + " " +
                        py::repr(py::float_(bad->low)).cast<std::string>() + " above " +
                        bad->high_name + " " + py::repr(py::float_(bad->high)).cast<std::string>() +
                        "; limits must not cross");
}

// Knock-out flags by truth value: non-zero numbers, NaN and non-empty text count as set.
std::vector<char> stopper_values(const Libs& libs, py::handle table) {
    py::object c = column(libs, table, "Stopper");
    std::vector<char> out;
    for (py::handle v : c.attr("to_numpy")()) out.push_back(truth(v) ? 1 : 0);
    return out;
}

const std::array<const char*, 5> kColumns2019 = {"Lower", "Min", "Max", "Upper", "Weighting"};

}  // namespace

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
    require_ordered_limits(limits, file, zelt::kParamNames, zelt::kMethodNames);
    return limits;
}

zelt::ScreeningLimits2019 second_method_limits(const Libs& libs, py::handle table) {
    const char* file = "screening_table_2019.csv";
    // Text in one of the five columns fails here, as a ValueError naming its line.
    for (const char* name : kColumns2019) {
        py::object c = column(libs, table, name);
        py::object converted;
        try {
            converted = c.attr("astype")("float");
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
            raise_text_cell(PyExc_ValueError, table, c, name, file);
        }
        replace_column(table, name, converted);
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
    require_ordered_limits(limits, file, zelt::kParamNames2019, zelt::kMethodNames2019);
    return limits;
}

// ------------------------------------------------------------ display reshaping

namespace {

// Bound columns into one long table; every bound after the first becomes its
// distance from the bound before it. The argument is not changed.
py::object reshape_bounds(py::object table, const std::vector<const char*>& bounds) {
    py::list columns;
    for (const char* b : bounds) columns.append(b);
    py::object selection = item(table, columns).attr("reset_index")();
    // Later bounds first, so that every difference uses the file's values.
    for (std::size_t i = bounds.size() - 1; i >= 1; --i) {
        replace_column(selection, bounds[i], item(selection, bounds[i]) - item(selection, bounds[i - 1]));
    }
    py::list id_vars;
    id_vars.append("ScreeningParam");
    id_vars.append("ZeltMethod");
    return py::module_::import("pandas").attr("melt")(
        selection, "id_vars"_a = id_vars, "var_name"_a = "Category", "value_name"_a = "Value");
}

}  // namespace

py::object fix_screening_table_for_spotfire(py::object screening_table_df) {
    return reshape_bounds(screening_table_df, {"Min", "Max"});
}

py::object fix_screening_table_2019_for_spotfire(py::object screening_table_2019_df) {
    return reshape_bounds(screening_table_2019_df, {"Lower", "Min", "Max", "Upper"});
}

void label_with_units(py::handle table, const Names& names, const Names& labels) {
    py::dict mapping;
    for (std::size_t i = 0; i < names.size(); ++i) mapping[to_py(names[i])] = to_py(labels[i]);
    replace_column(table, "ScreeningParam", item(table, "ScreeningParam").attr("replace")(mapping));
}

}  // namespace zelt_py
