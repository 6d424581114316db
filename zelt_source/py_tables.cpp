// Table columns read as owned arrays, and the result tables of both
// pipelines built column by column: one array per column, one DataFrame call.
#include <pybind11/numpy.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

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

// ------------------------------------------------------------------- columns

py::object column(const Libs& libs, py::handle table, const char* name) {
    py::object c = item(table, name);
    if (!py::isinstance(c, libs.pd.attr("Series"))) {
        pymodule::raise(PyExc_ValueError, std::string("column '") + name + "' appears more than once");
    }
    return c;
}

std::vector<double> float_values(const Libs& libs, py::handle table, const char* name) {
    auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
        column(libs, table, name).attr("to_numpy")("dtype"_a = "float64"));
    if (!a) throw py::error_already_set();
    return std::vector<double>(a.data(), a.data() + a.size());
}

// ------------------------------------------------------------ column builders

namespace {

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

// A column that takes over the vector's memory, freed with the array.
template <typename T>
py::array owning_array(std::vector<T>&& v, py::dtype dtype) {
    auto owner = std::make_unique<std::vector<T>>(std::move(v));
    const auto size = static_cast<py::ssize_t>(owner->size());
    const void* data = owner->data();
    py::capsule release(owner.get(), [](void* p) { delete static_cast<std::vector<T>*>(p); });
    owner.release();
    return py::array(dtype, std::vector<py::ssize_t>{size}, data, release);
}

py::array owning_array(std::vector<double>&& v) { return owning_array(std::move(v), py::dtype("float64")); }

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

std::vector<py::object> py_strings(const Names& names) {
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

}  // namespace

// ------------------------------------------------------------- result tables

Names with_leading(std::string_view first, const Names& rest) {
    Names out{first};
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

py::object empty_table(const Libs& libs, const Names& columns) {
    py::list names;
    for (auto c : columns) names.append(to_py(c));
    return libs.pd.attr("DataFrame")("columns"_a = names);
}

// One row per reservoir and method, sorted stably by "Reservoir" then
// "ZeltMethod", keeping the melt's row labels (method m of row r carries
// m * n + r).
py::object long_score_table(const Libs& libs, py::handle ids, py::handle names_list,
                            const std::vector<double>& scores, std::size_t n,
                            const Names& methods) {
    const std::size_t M = methods.size();
    py::object id_values = tile_like_melt(libs, inferred_values(libs, ids), M);
    py::object name_values = tile_like_melt(libs, inferred_values(libs, names_list), M);
    const std::vector<py::object> method_names = py_strings(methods);

    std::vector<std::string_view> text;
    std::vector<bool> missing;
    std::vector<std::int64_t> order;
    const bool own_sort = sortable_names(names_list, text, missing);
    if (own_sort) {
        order = zelt::long_table_order(text, missing, methods);
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

namespace {

// "Reservoir_ID" and one column per parameter, one row per reservoir.
template <typename Record, typename Value>
py::object parameter_table(const Libs& libs, py::handle ids, const std::vector<Record>& field_data,
                           const Names& params, Value value) {
    py::dict columns;
    columns["Reservoir_ID"] = inferred_values(libs, ids);
    for (std::size_t p = 0; p < params.size(); ++p) {
        std::vector<double> v(field_data.size());
        for (std::size_t k = 0; k < v.size(); ++k) v[k] = value(field_data[k], p);
        columns[to_py(params[p])] = double_array(v);
    }
    return table_from_columns(libs, columns);
}

}  // namespace

py::object field_data_table(const Libs& libs, py::handle ids,
                            const std::vector<zelt::FieldData>& field_data) {
    return parameter_table(libs, ids, field_data, names_of(zelt::kParamNames), zelt::parameter_value);
}

py::object field_data_table(const Libs& libs, py::handle ids,
                            const std::vector<zelt::FieldData2019>& field_data) {
    return parameter_table(libs, ids, field_data, names_of(zelt::kParamNames2019),
                           zelt::parameter_value_2019);
}

// For each reservoir and method a "Min" row (lower pressure limit) and a
// "Max" row (window width); all "Min" rows first.
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
    const std::vector<py::object> methods = py_strings(names_of(zelt::kMethodNames));
    const std::vector<py::object> categories{py::str("Min"), py::str("Max")};

    py::dict columns;
    columns["Reservoir_ID"] = id_values;
    columns["ScreeningParam"] = object_array(param, rows, [](std::size_t) { return std::size_t{0}; });
    columns["ZeltMethod"] = object_array(methods, rows, [](std::size_t i) { return i % M; });
    columns["Category"] = object_array(categories, rows, [&](std::size_t i) { return i / (n * M); });
    columns["Value"] = double_array(value);
    return table_from_columns(libs, columns);
}

// ------------------------------------------------------------ explanations

namespace {

std::vector<py::object> source_names() {
    std::vector<py::object> out;
    for (std::size_t s = 0; s < zelt::kSourceCount; ++s) {
        out.push_back(to_py(zelt::source_name(static_cast<zelt::Source>(s))));
    }
    return out;
}

// The columns every explanation starts with, for `per_reservoir` rows of
// each of n reservoirs, methods (outer) and parameters (inner) in list order.
void explanation_keys(const Libs& libs, py::dict& columns, py::handle ids, py::handle names, std::size_t n,
                      const Names& methods, const Names& params) {
    const std::size_t P = params.size();
    const std::size_t per_reservoir = methods.size() * P;
    const std::size_t rows = n * per_reservoir;
    columns["Reservoir_ID"] = inferred_values(libs, ids).attr("repeat")(per_reservoir);
    columns["Reservoir"] = inferred_values(libs, names).attr("repeat")(per_reservoir);
    columns["ZeltMethod"] = object_array(py_strings(methods), rows,
                                         [&](std::size_t i) { return (i % per_reservoir) / P; });
    columns["ScreeningParam"] = object_array(py_strings(params), rows, [&](std::size_t i) { return i % P; });
}

py::array source_column(const std::vector<zelt::Source>& sources) {
    return object_array(source_names(), sources.size(),
                        [&](std::size_t i) { return static_cast<std::size_t>(sources[i]); });
}

// Text column of a few distinct texts (the rules' descriptions): each text
// one string object, shared by its rows.
py::array text_column(const std::vector<std::string_view>& texts) {
    std::vector<std::string_view> distinct;
    std::vector<py::object> objects;
    std::vector<std::size_t> which(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::size_t d = 0;
        while (d < distinct.size() && distinct[d] != texts[i]) ++d;
        if (d == distinct.size()) {
            distinct.push_back(texts[i]);
            objects.push_back(to_py(texts[i]));
        }
        which[i] = d;
    }
    return object_array(objects, texts.size(), [&](std::size_t i) { return which[i]; });
}

// The columns of how sure a row is, shared by both explanations.
template <typename Explanation>
void coverage_columns(py::dict& columns, Explanation& ex) {
    columns["Basis"] = text_column(ex.basis);
    std::vector<std::string_view>().swap(ex.basis);
    columns["Covered"] = owning_array(std::move(ex.covered), py::dtype("bool"));
}

}  // namespace

py::object explanation_table(const Libs& libs, py::handle ids, py::handle names, std::size_t n,
                             zelt::FirstMethodExplanation&& ex) {
    py::dict columns;
    explanation_keys(libs, columns, ids, names, n, names_of(zelt::kMethodNames), names_of(zelt::kParamNames));
    columns["Value"] = owning_array(std::move(ex.value));
    columns["Source"] = source_column(ex.source);
    std::vector<zelt::Source>().swap(ex.source);
    coverage_columns(columns, ex);
    columns["Min"] = owning_array(std::move(ex.min));
    columns["Max"] = owning_array(std::move(ex.max));
    columns["Stopper"] = owning_array(std::move(ex.stopper), py::dtype("bool"));
    columns["Points"] = owning_array(std::move(ex.points));
    columns["Score"] = owning_array(std::move(ex.score));
    columns["Coverage"] = owning_array(std::move(ex.coverage));
    return table_from_columns(libs, columns);
}

py::object explanation_table(const Libs& libs, py::handle ids, py::handle names, std::size_t n,
                             zelt::SecondMethodExplanation&& ex, std::vector<double>&& p_values) {
    py::dict columns;
    explanation_keys(libs, columns, ids, names, n, names_of(zelt::kMethodNames2019),
                     names_of(zelt::kParamNames2019));
    columns["Value"] = owning_array(std::move(ex.value));
    columns["Source"] = source_column(ex.source);
    std::vector<zelt::Source>().swap(ex.source);
    coverage_columns(columns, ex);
    columns["Lower"] = owning_array(std::move(ex.lower));
    columns["Min"] = owning_array(std::move(ex.min));
    columns["Max"] = owning_array(std::move(ex.max));
    columns["Upper"] = owning_array(std::move(ex.upper));
    columns["Weighting"] = owning_array(std::move(ex.weighting));
    columns["PValue"] = owning_array(std::move(p_values));
    columns["Score"] = owning_array(std::move(ex.score));
    columns["Coverage"] = owning_array(std::move(ex.coverage));
    return table_from_columns(libs, columns);
}

py::object summary_table(const Libs& libs, py::handle ids, py::handle names, std::size_t n, const Names& methods,
                         const Names& params, const std::vector<double>& scores, zelt::MethodSummary&& summary) {
    const std::size_t M = methods.size();
    const std::size_t rows = n * M;
    py::dict columns;
    columns["Reservoir_ID"] = inferred_values(libs, ids).attr("repeat")(M);
    columns["Reservoir"] = inferred_values(libs, names).attr("repeat")(M);
    columns["ZeltMethod"] = object_array(py_strings(methods), rows, [&](std::size_t i) { return i % M; });
    columns["Score"] = double_array(scores);
    columns["Rank"] = owning_array(std::move(summary.rank), py::dtype("int32"));
    std::vector<unsigned char> screened(rows);
    for (std::size_t i = 0; i < rows; ++i) screened[i] = zelt::screened(summary.coverage[i]) ? 1 : 0;
    columns["Coverage"] = owning_array(std::move(summary.coverage));
    columns["Screened"] = owning_array(std::move(screened), py::dtype("bool"));

    // The parameters of each knock-out, as text: one string per distinct set.
    std::vector<std::uint16_t> sets;
    std::vector<py::object> texts;
    std::vector<std::size_t> which(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        const std::uint16_t set = summary.estimated_knockout[i];
        std::size_t d = 0;
        while (d < sets.size() && sets[d] != set) ++d;
        if (d == sets.size()) {
            std::string text;
            for (std::size_t p = 0; p < params.size(); ++p) {
                if ((set >> p) & 1u) text += (text.empty() ? "" : ", ") + std::string(params[p]);
            }
            sets.push_back(set);
            texts.push_back(py::str(text));
        }
        which[i] = d;
    }
    columns["Estimated Knock-out"] = object_array(texts, rows, [&](std::size_t i) { return which[i]; });
    return table_from_columns(libs, columns);
}

// "ZeltMethod" and the eight p-values, reservoir-major, methods in list order.
py::object p_value_table(const Libs& libs, const zelt::SecondMethodResult& result, std::size_t n) {
    constexpr std::size_t M = kMethodCount2019;
    constexpr std::size_t P = kParamCount2019;
    py::dict columns;
    columns["ZeltMethod"] = object_array(py_strings(names_of(zelt::kMethodNames2019)), n * M,
                                         [](std::size_t i) { return i % M; });
    for (std::size_t p = 0; p < P; ++p) {
        std::vector<double> v(n * M);
        for (std::size_t i = 0; i < n * M; ++i) v[i] = result.p_values[i * P + p];
        columns[to_py(zelt::kParamNames2019[p])] = double_array(v);
    }
    return table_from_columns(libs, columns);
}

}  // namespace zelt_py
