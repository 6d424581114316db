// The forecasting module `quon`: module frame and vocabulary, the decline
// fitting classes CHistoryMatch and CQCalculator, CGeologicalModel and the
// driver CMainDravex.
//
// The classes are plain classes, as `class X:` makes them: instances carry
// ordinary attributes a host can read and set, private methods are reached
// from outside under their mangled names (_CMainDravex__GetModels), and the
// methods look the module's constants, libraries and classes up in the
// module namespace at each call. The decline arithmetic and the band
// statistics run in the C++ core (history_match.hpp); powers are taken with
// numpy's `power`, whose results on this platform's vector units are not
// always those of the C library's pow.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "history_match.hpp"
#include "quon_module.hpp"

namespace quon_py {

using namespace pybind11::literals;

// ------------------------------------------------------------ shared helpers

py::object global(const char* name) {
    PyObject* module = Guard::module();
    if (module == nullptr) raise(PyExc_ImportError, "module 'quon' is not initialised");
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(module), name);
    if (value == nullptr) raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
    return py::reinterpret_borrow<py::object>(value);
}

py::object sep() { return global("os").attr("sep"); }

py::object join_path(const py::object& left, const py::object& right) {
    return left + sep() + right;
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

const char* persist(std::string text) {
    static std::deque<std::string> texts;  // deque: stable addresses
    texts.push_back(std::move(text));
    return texts.back().c_str();
}

const char* signature_doc(const std::string& name, const char* args, const char* text) {
    return persist(name + "(" + args + ")\n--\n\n" + text);
}

py::object make_class(const char* name, const MethodList& methods) {
    py::dict ns;
    ns["__module__"] = "quon";
    ns["__qualname__"] = name;
    for (const auto& [method_name, fn] : methods) {
        // An instancemethod binds the instance as a Python function does.
        PyObject* method = PyInstanceMethod_New(fn.ptr());
        if (method == nullptr) throw py::error_already_set();
        ns[py::str(method_name)] = py::reinterpret_steal<py::object>(method);
    }
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    return type(name, py::make_tuple(py::reinterpret_borrow<py::object>(
                                        reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                ns);
}

namespace {

// numpy's scalar types, kept for the life of the process (the module is
// never unloaded; the numpy module keeps them alive in any case).
PyTypeObject* g_float64 = nullptr;
PyTypeObject* g_int64 = nullptr;

// The original implementations of the private rate and cumulative methods;
// list methods take the C++ road only while self still resolves to them.
PyObject* g_rate_fn = nullptr;
PyObject* g_cumulative_fn = nullptr;

constexpr long long kExactIntLimit = 1LL << 53;

// A number that the arithmetic below treats exactly as the interpreter
// would: a float (numpy's float64 included) or an integer small enough to
// be a double. Anything else takes the road of Python operations.
bool plain_number(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o) || Py_TYPE(o) == g_float64) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o) || Py_TYPE(o) == g_int64) {
        PyObject* index = PyNumber_Index(o);
        if (index == nullptr) {
            PyErr_Clear();
            return false;
        }
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
        Py_DECREF(index);
        if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        if (v > kExactIntLimit || v < -kExactIntLimit) return false;
        out = static_cast<double>(v);
        return true;
    }
    return false;
}

bool is_numpy_scalar(PyObject* o) { return Py_TYPE(o) == g_float64 || Py_TYPE(o) == g_int64; }

py::object np_float(double v) {
    PyObject* o = PyObject_CallFunction(reinterpret_cast<PyObject*>(g_float64), "d", v);
    if (o == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

// Items of an iterable, taken once (a generator can be walked only once).
py::list items_of(const py::handle& iterable) {
    PyObject* list = PySequence_List(iterable.ptr());
    if (list == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(list);
}

// Doubles of a list of items, or nothing when one of them is not a plain number.
std::optional<std::vector<double>> plain_numbers(const py::list& items) {
    std::vector<double> out(items.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        if (!plain_number(items[i].ptr(), out[i])) return std::nullopt;
    return out;
}

bool all_finite(const std::vector<double>& v) {
    for (double x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

// A list of numpy float64 scalars, as the elementwise arithmetic gives them.
py::list float64_list(const std::vector<double>& values) {
    py::array_t<double> array(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), array.mutable_data());
    return items_of(array);
}

// numpy's power of every base to one exponent, in one call.
std::vector<double> np_powers(const std::vector<double>& bases, double exponent) {
    py::array_t<double> array(static_cast<py::ssize_t>(bases.size()));
    std::copy(bases.begin(), bases.end(), array.mutable_data());
    py::array_t<double> result = global("np").attr("power")(array, exponent);
    const double* r = result.data();
    return std::vector<double>(r, r + bases.size());
}

bool bound_to(const py::object& method, const py::handle& self, PyObject* function) {
    return PyMethod_Check(method.ptr()) && PyMethod_GET_FUNCTION(method.ptr()) == function &&
           PyMethod_GET_SELF(method.ptr()) == self.ptr();
}

// ------------------------------------------------------------ CHistoryMatch

// The formulas with the interpreter's own operations, for every argument
// the C++ road does not take (arrays, a zero divisor, non-finite values).
py::object rate_by_time(py::object, py::object qi, py::object di_tan, py::object b, py::object t) {
    py::object base = py::float_(1.0) + b * di_tan * t;
    py::object exponent = py::int_(-1) / b;
    return qi * global("np").attr("power")(base, exponent);
}

py::object cumulative_by_time(py::object, py::object qi, py::object di_tan, py::object b,
                              py::object t) {
    py::object scale = global("QUnitFactor") * (qi / (di_tan * (py::int_(1) - b)));
    py::object base = py::int_(1) + b * di_tan * t;
    py::object exponent = py::int_(1) - py::float_(1.0) / b;
    return scale * (py::int_(1) - global("np").attr("power")(base, exponent));
}

struct Decline {
    double qi, di_tan, b;
};

std::optional<Decline> plain_decline(const py::object& qi, const py::object& di_tan,
                                     const py::object& b) {
    Decline d{};
    if (!plain_number(qi.ptr(), d.qi) || !plain_number(di_tan.ptr(), d.di_tan) ||
        !plain_number(b.ptr(), d.b))
        return std::nullopt;
    if (!std::isfinite(d.qi) || !std::isfinite(d.di_tan) || !std::isfinite(d.b)) return std::nullopt;
    return d;
}

// Rates (cumulative = false) or cumulatives over the times, on the C++
// road; nothing when the arguments need the interpreter's operations.
std::optional<py::list> decline_list_fast(const std::vector<double>& t, const Decline& d,
                                          bool cumulative) {
    if (d.b == 0.0) return std::nullopt;
    if (cumulative && d.di_tan * (1.0 - d.b) == 0.0) return std::nullopt;
    if (!all_finite(t)) return std::nullopt;
    std::vector<double> bases(t.size());
    for (std::size_t i = 0; i < bases.size(); ++i) bases[i] = 1.0 + (d.b * d.di_tan) * t[i];
    double q_unit_factor = 0.0;
    if (cumulative && !plain_number(global("QUnitFactor").ptr(), q_unit_factor)) return std::nullopt;
    const double exponent = cumulative ? 1.0 - 1.0 / d.b : -1.0 / d.b;
    const std::vector<double> powers = np_powers(bases, exponent);
    std::vector<double> out(powers.size());
    if (cumulative) {
        const double scale = q_unit_factor * (d.qi / (d.di_tan * (1.0 - d.b)));
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = scale * (1.0 - powers[i]);
    } else {
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = d.qi * powers[i];
    }
    // A non-finite result may carry a numpy warning: leave it to numpy.
    if (!all_finite(out)) return std::nullopt;
    return float64_list(out);
}

// Times of a one-dimensional float64 array, read in place.
std::optional<std::vector<double>> float64_array_values(const py::object& t_list) {
    if (!py::isinstance<py::array>(t_list)) return std::nullopt;
    py::array array = py::reinterpret_borrow<py::array>(t_list);
    if (array.ndim() != 1 || !array.dtype().is(py::dtype::of<double>())) return std::nullopt;
    auto view = py::array_t<double>(array).unchecked<1>();
    std::vector<double> out(static_cast<std::size_t>(view.shape(0)));
    for (py::ssize_t i = 0; i < view.shape(0); ++i) out[static_cast<std::size_t>(i)] = view(i);
    return out;
}

py::list decline_list(const py::object& self, const py::object& t_list, const py::object& qi,
                      const py::object& di_tan, const py::object& b, bool cumulative) {
    const char* private_name =
        cumulative ? "_CHistoryMatch__GetCumulativeByTime" : "_CHistoryMatch__GetRateByTime";
    // The fitter hands over its times as a float64 array: no per-element objects.
    std::optional<std::vector<double>> times_in_place = float64_array_values(t_list);
    if (times_in_place && !times_in_place->empty()) {
        py::object method = self.attr(private_name);
        std::optional<Decline> d = plain_decline(qi, di_tan, b);
        if (d && bound_to(method, self, cumulative ? g_cumulative_fn : g_rate_fn)) {
            if (std::optional<py::list> fast = decline_list_fast(*times_in_place, *d, cumulative))
                return *fast;
        }
    }
    py::list times = items_of(t_list);
    py::list out;
    if (times.empty()) return out;
    py::object method = self.attr(private_name);
    if (bound_to(method, self, cumulative ? g_cumulative_fn : g_rate_fn)) {
        if (std::optional<Decline> d = plain_decline(qi, di_tan, b)) {
            if (std::optional<std::vector<double>> t = plain_numbers(times)) {
                if (std::optional<py::list> fast = decline_list_fast(*t, *d, cumulative)) return *fast;
            }
        }
    }
    for (const py::handle t : times) out.append(method(qi, di_tan, b, t));
    return out;
}

py::object get_rate_list(py::object self, py::object t_list, py::object qi, py::object di_tan,
                         py::object b) {
    return decline_list(self, t_list, qi, di_tan, b, false);
}

py::object get_cumulative_list(py::object self, py::object t_list, py::object qi,
                               py::object di_tan, py::object b) {
    return decline_list(self, t_list, qi, di_tan, b, true);
}

py::object get_qi_by_cumulative(py::object, py::object di_tan, py::object b, py::object t_list,
                                py::object model_output, py::object i_time) {
    py::object t = t_list[i_time];
    py::object numerator = (model_output / global("QUnitFactor")) * di_tan * (py::int_(1) - b);
    py::object base = py::int_(1) + b * di_tan * t;
    py::object exponent = py::int_(1) - py::float_(1.0) / b;
    return numerator / (py::int_(1) - global("np").attr("power")(base, exponent));
}

// The three values of (qi, DiTan, b), with the interpreter's messages for
// a sequence of another length.
py::list unpack3(const py::object& values) {
    py::list items = items_of(values);
    if (items.size() > 3) raise(PyExc_ValueError, "too many values to unpack (expected 3)");
    if (items.size() < 3)
        raise(PyExc_ValueError,
              "not enough values to unpack (expected 3, got " + std::to_string(items.size()) + ")");
    return items;
}

py::object get_match_params(py::object self, py::object t_list, py::object q_list) {
    py::object b_play = global("bPlay");
    py::list bounds_min;
    bounds_min.append(0.01);
    bounds_min.append(0.0001);
    bounds_min.append(b_play - py::float_(0.25));
    py::list bounds_max;
    bounds_max.append(100000.0);
    bounds_max.append(99);
    bounds_max.append(b_play + py::float_(0.7));
    py::list initial_guess;
    initial_guess.append(1000);
    initial_guess.append(0.01);
    initial_guess.append(b_play);
    py::object curve_fit = global("curve_fit");
    py::object qi, di_tan, b;
    try {
        py::object fit = curve_fit(self.attr("GetCumulativeList"), t_list, q_list,
                                   "p0"_a = initial_guess,
                                   "bounds"_a = py::make_tuple(bounds_min, bounds_max),
                                   "ftol"_a = 0.01);
        py::object popt = fit[py::int_(0)];
        (void)fit[py::int_(1)];  // the covariance is not used
        py::list params = unpack3(popt);
        qi = params[0];
        di_tan = params[1];
        b = params[2];
    } catch (py::error_already_set& e) {
        // The fitter's report that it gave up; every other error goes on.
        if (!e.matches(PyExc_RuntimeError)) throw;
        qi = py::int_(0);
        di_tan = py::int_(0);
        b = py::int_(0);
    }
    return py::make_tuple(qi, di_tan, b);
}

py::object get_match_lists(py::object self, py::object t_list, py::object q_list) {
    py::object params = self.attr("GetMatchParams")(t_list, q_list);
    py::list p = unpack3(params);
    py::object rates = self.attr("GetRateList")(t_list, p[0], p[1], p[2]);
    py::object cumulatives = self.attr("GetCumulativeList")(t_list, p[0], p[1], p[2]);
    return py::make_tuple(rates, cumulatives);
}

// -------------------------------------------------------------- CQCalculator

py::object get_q_well(py::object, py::object t_well, py::object y_well) {
    const Py_ssize_t n = PyObject_Length(t_well.ptr());
    if (n < 0) throw py::error_already_set();
    py::list q_well;
    q_well.append(0.0);
    const py::object q_unit_object = global("QUnitFactor");
    double q_unit_factor = 0.0;
    // Steps of plain numbers are summed in C++; the running total keeps the
    // type the interpreter's arithmetic would give it (a numpy scalar once
    // a numpy scalar has entered the sum). Anything else, from the first
    // such step on, goes through the interpreter's operations.
    bool plain = PyFloat_CheckExact(q_unit_object.ptr()) &&
                 plain_number(q_unit_object.ptr(), q_unit_factor);
    double total = 0.0;
    bool numpy_total = false;
    py::object total_object = py::float_(0.0);
    for (Py_ssize_t i = 1; i < n; ++i) {
        py::object y = y_well[py::int_(i)];
        if (plain) {
            if (y.is_none()) break;
            py::object t1 = t_well[py::int_(i)];
            py::object t0 = t_well[py::int_(i - 1)];
            double yv = 0.0, t1v = 0.0, t0v = 0.0;
            if (plain_number(y.ptr(), yv) && plain_number(t1.ptr(), t1v) &&
                plain_number(t0.ptr(), t0v)) {
                if (std::isnan(yv)) break;
                const double next = total + (q_unit_factor * yv) * (t1v - t0v);
                if (std::isfinite(next) && std::isfinite(yv)) {
                    total = next;
                    numpy_total = numpy_total || is_numpy_scalar(y.ptr()) ||
                                  is_numpy_scalar(t1.ptr()) || is_numpy_scalar(t0.ptr());
                    total_object = numpy_total ? np_float(total) : py::float_(total);
                    q_well.append(total_object);
                    continue;
                }
            }
            plain = false;
        }
        if (py::bool_(global("pd").attr("isnull")(y))) break;
        total_object = total_object + (q_unit_object * y) * (t_well[py::int_(i)] - t_well[py::int_(i - 1)]);
        q_well.append(total_object);
    }
    return q_well;
}

// ---------------------------------------------------------- CGeologicalModel

py::object load_pickle(const py::object& path) {
    py::object file = py::module_::import("io").attr("open")(path, "rb");
    return use_then_close(file, [](const py::object& f) { return global("pickle").attr("load")(f); });
}

bool is_file(const py::object& path) {
    return global("os").attr("path").attr("isfile")(path).cast<bool>();
}

py::object get_geo_model(py::object, py::object files_dir, py::object y_col) {
    py::object path = join_path(join_path(files_dir, global("geoModelFileDir")), y_col) +
                      py::str(".pickle");
    if (!is_file(path)) return py::none();
    return load_pickle(path);
}

// --------------------------------------------------------------- CMainDravex

py::dict slider_dict(const int (&values)[8]) {
    static const char* const keys[8] = {"strFracStages",       "strWellLen",
                                        "strFluidVolume",      "strTVD",
                                        "strFracStagesPerLen", "strPropPerLen",
                                        "strFluidVolumePerLen", "strFracSpacing"};
    py::dict d;
    for (int i = 0; i < 8; ++i) d[global(keys[i])] = values[i];
    return d;
}

py::object dravex_init(py::object self) {
    const auto set = [&](const char* name, py::object value) { self.attr(name) = std::move(value); };
    set("m_filesDir", py::none());
    set("m_modelOutputList", py::none());
    set("m_API", py::none());
    set("m_modelOutputWithProbList", py::dict());
    set("m_modelProb", py::dict());
    set("m_modelProbBinned", py::dict());
    set("m_boundList", py::dict());
    set("m_noSliderVar", py::dict());
    set("m_sliderVar", slider_dict({8, 3000, 200000, 6000, 2, 1000, 500, 500}));
    set("m_minSliderVar", slider_dict({4, 1000, 100000, 4000, 1, 100, 100, 100}));
    set("m_maxSliderVar", slider_dict({40, 8000, 500000, 9000, 5, 5000, 3000, 1000}));
    set("m_resolSlider", slider_dict({1, 200, 50000, 200, 1, 200, 100, 100}));
    set("m_geoModelDict", py::dict());
    set("m_modelDict", py::dict());
    set("m_lbDict", py::dict());
    set("m_bSliderModelPred", py::bool_(false));
    set("m_serializer", global("CSerializer")());
    set("m_historyMatch", global("CHistoryMatch")());
    set("m_QCal", global("CQCalculator")());
    set("m_b", global("bPlay"));
    set("m_DiTan", py::int_(0));
    set("m_dfModelPred", py::none());
    set("m_minLat", py::float_(41.38));
    set("m_maxLat", py::float_(41.99));
    set("m_minLong", py::float_(-77.59));
    set("m_maxLong", py::float_(-75.56));
    set("m_deltaLat", self.attr("m_maxLat") - self.attr("m_minLat"));
    set("m_deltaLong", self.attr("m_maxLong") - self.attr("m_minLong"));
    set("m_sizeDict", py::dict());
    return py::none();
}

py::object set_files_dir(py::object self, py::object files_dir) {
    self.attr("m_filesDir") = files_dir;
    return py::none();
}

py::object get_geo_models(py::object self) {
    py::dict geo_models;
    py::object loader = global("CGeologicalModel")();
    for (const py::handle col : items_of(global("yGeoModelList")))
        geo_models[col] = loader.attr("GetModel")(self.attr("m_filesDir"), col);
    return geo_models;
}

py::object month_model_path(const py::object& self, const py::handle& month) {
    py::object dir = join_path(self.attr("m_filesDir"), global("modelDir"));
    dir = join_path(dir, global("modelSubDirCumulativeOutput")[month]);
    return join_path(dir, global("modelFile"));
}

py::object get_models_dummy(py::object self) {
    py::object output = py::str("");
    int count = 0;
    for (const py::handle month : items_of(global("nOutputMonthList"))) {
        output = output + py::str(" ") + month_model_path(self, month);
        if (++count == 25) break;
    }
    return output;
}

py::object get_models(py::object self) {
    py::dict models;
    for (const py::handle month : items_of(global("nOutputMonthList"))) {
        py::object path = month_model_path(self, month);
        if (!is_file(path)) return py::dict();
        models[month] = load_pickle(path);
    }
    return models;
}

// Doubles of a numeric column (float64, or int64 small enough to be exact),
// or nothing for any other column.
std::optional<std::vector<double>> numeric_column(const py::object& column) {
    if (!py::isinstance(column, global("pd").attr("Series"))) return std::nullopt;
    py::object dtype = column.attr("dtype");
    const std::string kind = py::str(dtype.attr("kind"));
    const int itemsize = dtype.attr("itemsize").cast<int>();
    if (itemsize != 8 || (kind != "f" && kind != "i")) return std::nullopt;
    py::array_t<double, py::array::forcecast> values(column.attr("to_numpy")());
    const double* p = values.data();
    std::vector<double> out(p, p + values.size());
    if (kind == "i")
        for (double v : out)
            if (std::fabs(v) > static_cast<double>(kExactIntLimit)) return std::nullopt;
    return out;
}

// a <op> b as the interpreter evaluates it (elementwise for a column).
py::object compare(const py::handle& a, const py::handle& b, int op) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// The band of one bin with pandas' and numpy's own operations.
void bin_band_by_table(const py::object& df, const py::object& lower, const py::object& upper,
                       py::dict& band) {
    py::object model = df[py::str("model")];
    py::object mask = compare(model, lower, Py_GE) & compare(model, upper, Py_LE);
    py::object rows = df.attr("loc")[mask];
    if (py::len(rows) == 0) {
        band["P10"] = py::none();
        band["P90"] = py::none();
        return;
    }
    py::list subset;
    subset.append("real");
    subset.append("model");
    rows = rows.attr("dropna")("subset"_a = subset);
    py::object keep = compare(rows[py::str("model")], py::int_(0), Py_GT) &
                      compare(rows[py::str("real")], py::int_(0), Py_GT);
    rows = rows[keep];
    py::object diff = (rows[py::str("real")] - rows[py::str("model")]) / rows[py::str("model")];
    py::object diff_list = diff.attr("tolist")();
    py::object percentile = global("np").attr("percentile");
    py::object p10 = percentile(diff_list, 90);
    py::object p90 = percentile(diff_list, 10);
    py::object builtins_abs = py::module_::import("builtins").attr("abs");
    py::object adj = py::float_(0.5) * (builtins_abs(p90) + builtins_abs(p10));
    band["P10"] = adj;
    band["P90"] = -adj;
}

py::object set_p10_p90_binned_month(py::object self, py::object df, py::object i_month) {
    py::object model_column = df[py::str("model")];
    std::optional<std::vector<double>> model = numeric_column(model_column);
    py::object max_model, min_model;
    const bool int_column = model && std::string(py::str(model_column.attr("dtype").attr("kind"))) == "i";
    if (model && !model->empty()) {
        const quon::MinMax range = quon::scan_min_max(model->data(), model->size());
        if (int_column) {
            max_model = py::int_(static_cast<long long>(range.max));
            min_model = py::int_(static_cast<long long>(range.min));
        } else {
            max_model = py::float_(range.max);
            min_model = py::float_(range.min);
        }
    } else {
        py::object builtins = py::module_::import("builtins");
        max_model = builtins.attr("max")(model_column);
        min_model = builtins.attr("min")(model_column);
    }
    py::object num_bins = global("numBins");
    py::object delta = (max_model - min_model) / num_bins;

    py::dict month_bands;
    py::list bounds;
    self.attr("m_modelProbBinned")[i_month] = month_bands;
    self.attr("m_boundList")[i_month] = bounds;

    std::optional<std::vector<double>> real;
    bool real_fetched = false;
    for (const py::handle bin : py::module_::import("builtins").attr("range")(num_bins)) {
        py::object lower = min_model + delta * bin;
        py::object upper = lower + delta;
        py::dict band;
        month_bands[bin] = band;
        bounds.append(upper);
        double lo = 0.0, up = 0.0;
        const bool plain_bounds = model && plain_number(lower.ptr(), lo) && plain_number(upper.ptr(), up);
        if (plain_bounds && !quon::bin_has_rows(model->data(), model->size(), lo, up)) {
            band["P10"] = py::none();
            band["P90"] = py::none();
            continue;
        }
        if (plain_bounds && !real_fetched) {
            py::object real_column = df[py::str("real")];
            real = numeric_column(real_column);
            real_fetched = true;
        }
        if (!plain_bounds || !real) {
            bin_band_by_table(df, lower, upper, band);
            continue;
        }
        const quon::BinBand b = quon::bin_band(model->data(), real->data(), model->size(), lo, up);
        if (b.no_valid_rows) {
            // numpy's own error for a percentile of nothing.
            py::object percentile = global("np").attr("percentile");
            py::object p10 = percentile(py::list(), 90);
            py::object p90 = percentile(py::list(), 10);
            py::object builtins_abs = py::module_::import("builtins").attr("abs");
            py::object adj = py::float_(0.5) * (builtins_abs(p90) + builtins_abs(p10));
            band["P10"] = adj;
            band["P90"] = -adj;
            continue;
        }
        band["P10"] = np_float(b.p10);
        band["P90"] = np_float(b.p90);
    }
    return py::none();
}

py::object set_p10_p90_binned(py::object self) {
    py::object test_file = global("modelPredictTestFile");
    py::object serializer = global("CSerializer")();
    py::object bin_month = self.attr("_CMainDravex__SetP10P90BinnedMonth");
    for (const py::handle month : items_of(global("nOutputMonthList"))) {
        py::object dir = join_path(self.attr("m_filesDir"), global("modelDir"));
        dir = join_path(dir, global("modelSubDirCumulativeOutput")[month]);
        py::object df = serializer.attr("GetDataFrameFromCSVFileByDirAndName")(dir, test_file);
        bin_month(df, month);
    }
    return py::none();
}

py::object dravex_get_filepath(py::object, py::object filename) {
    py::object path = global("os").attr("path");
    return path.attr("join")(path.attr("dirname")(global("__file__")), filename);
}

py::object process(py::object self) {
    py::object files_dir = self.attr("_CMainDravex__get_filepath")(
        py::str("DataFiles") + sep() + global("playDesignationDir"));
    if (!global("os").attr("path").attr("exists")(files_dir).cast<bool>()) return py::none();
    self.attr("SetFilesDir")(files_dir);
    self.attr("m_geoModelDict") = self.attr("_CMainDravex__GetGeoModels")();
    if (py::bool_(self.attr("m_geoModelDict"))) {
        self.attr("m_modelDict") = self.attr("_CMainDravex__GetModels")();
        if (py::bool_(self.attr("m_modelDict"))) self.attr("_CMainDravex__SetP10P90Binned")();
    }
    return py::none();
}

py::object predict(py::object self, py::object lat, py::object lon, py::object frac_stages,
                   py::object well_len, py::object frac_spacing, py::object fluid_vol, py::object) {
    py::list point;
    point.append(lat);
    point.append(lon);
    py::list rows;
    rows.append(point);
    py::object isip = self.attr("m_geoModelDict")[global("strISIP")].attr("predict")(rows)[py::int_(0)];

    py::list var_list;
    for (const py::object& v : {lat, lon, frac_stages, isip, well_len, frac_spacing, fluid_vol})
        var_list.append(v);

    py::list outputs;
    py::list p10_outputs, p90_outputs;
    py::dict with_prob;
    with_prob["P10"] = p10_outputs;
    with_prob["P90"] = p90_outputs;
    self.attr("m_modelOutputList") = outputs;
    self.attr("m_modelOutputWithProbList") = with_prob;

    py::object np = global("np");
    py::object data_frame = global("pd").attr("DataFrame");
    py::object model_dict = self.attr("m_modelDict");
    py::object bound_list = self.attr("m_boundList");
    py::object prob_binned = self.attr("m_modelProbBinned");
    py::object months = global("nOutputMonthList");
    const py::object num_bins = global("numBins");
    // The one-row feature table is made once and handed to every month
    // whose model names its features as the previous month's did: the
    // models only read it, and making it is a good part of the module's own
    // time in a prediction.
    py::object data, data_names;
    for (const py::handle month : items_of(months)) {
        py::object model = model_dict[month];
        py::object feature_names = model.attr("get_booster")().attr("feature_names");
        if (!data || !data_names.equal(feature_names)) {
            py::list row;
            row.append(var_list);
            data = data_frame(np.attr("array")(row), "columns"_a = feature_names);
            data_names = feature_names;
        }
        py::object output = model.attr("predict")(data)[py::int_(0)];
        outputs.append(output);

        py::object month_bounds = bound_list[month];
        py::int_ bin(0);
        while (bin < num_bins) {
            if (output < month_bounds[bin]) break;
            bin = py::int_(bin + py::int_(1));
        }
        if (bin.equal(num_bins)) bin = py::int_(num_bins - py::int_(1));
        py::object band = prob_binned[month][bin];
        p10_outputs.append(output * (py::int_(1) + band[py::str("P10")]));
        p90_outputs.append(output * (py::int_(1) + band[py::str("P90")]));
    }

    py::list t_model;
    t_model.append(0);
    for (const py::handle m : items_of(months)) t_model.append(m);
    py::list q_model;
    q_model.append(0);
    for (const py::handle v : outputs) q_model.append(v);

    py::object history_match = self.attr("m_historyMatch");
    py::object fitted = history_match.attr("GetMatchLists")(t_model, q_model);
    py::object rate_fit = fitted[py::int_(0)], cumulative_fit = fitted[py::int_(1)];
    py::dict rate_prob, cumulative_prob;
    for (const char* prob : {"P10", "P90"}) {
        py::list q_cur;
        q_cur.append(0);
        for (const py::handle v : items_of(with_prob[prob])) q_cur.append(v);
        py::object fit = history_match.attr("GetMatchLists")(t_model, q_cur);
        rate_prob[prob] = fit[py::int_(0)];
        cumulative_prob[prob] = fit[py::int_(1)];
    }
    py::object output_list = self.attr("m_modelOutputList");
    output_list.attr("insert")(0, 0);

    py::dict rate_columns;
    rate_columns["Month"] = t_model;
    rate_columns["P90"] = rate_prob["P90"];
    rate_columns["q"] = rate_fit;
    rate_columns["P10"] = rate_prob["P10"];
    py::object rate_time_df = data_frame(rate_columns);
    py::dict cumulative_columns;
    cumulative_columns["Month"] = t_model;
    cumulative_columns["P90"] = cumulative_prob["P90"];
    cumulative_columns["Q"] = cumulative_fit;
    cumulative_columns["P10"] = cumulative_prob["P10"];
    cumulative_columns["Model Output"] = output_list;
    py::object cumulative_time_df = data_frame(cumulative_columns);
    return py::make_tuple(rate_time_df, cumulative_time_df);
}

// -------------------------------------------------------------- module body

using Methods = MethodList;

template <typename F, typename... Extra>
std::pair<std::string, py::object> method(const std::string& name, const char* args,
                                                 const char* text, F fn, Extra... extra) {
    return {name, py::cpp_function(fn, py::name(persist(name)), py::arg("self"), extra...,
                                   signature_doc(name, args, text))};
}

// The driver's constructor. pybind11 reserves functions named __init__ for
// its own classes, so this one is a plain C function: CMainDravex(self).
PyObject* dravex_init_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"self", nullptr};
    PyObject* self = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:__init__", const_cast<char**>(keywords), &self))
        return nullptr;
    try {
        dravex_init(py::reinterpret_borrow<py::object>(self));
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef dravex_init_def = {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dravex_init_entry)),
                               METH_VARARGS | METH_KEYWORDS,
                               "__init__(self)\n--\n\nA new driver: no play directory, no models."};

void bind_vocabulary(py::module_ m) {
    // Imports.
    m.attr("os") = py::module_::import("os");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("pickle") = py::module_::import("pickle");
    m.attr("np") = py::module_::import("numpy");
    m.attr("curve_fit") = py::module_::import("scipy.optimize").attr("curve_fit");

    // Database table names.
    py::dict well_headers, prod_historical;
    well_headers["USA"] = "[USQuarvel_2-latest].[PE1100_USA_Primary_WellHeaders]";
    well_headers["Canada"] = "[CanQuarvel_2-latest].[PE2100_CAN_Primary_WellHeaders]";
    prod_historical["USA"] = "[USQuarvel_2-latest].[PE1120_USA_Primary_ProdHistorical]";
    prod_historical["Canada"] = "[CanQuarvel_2-latest].[PE2120_CAN_Primary_ProdHistorical]";
    m.attr("wellHeaderTable") = well_headers;
    m.attr("prodHistoricalTable") = prod_historical;

    // Feature flags.
    m.attr("bModelInputFilesExist") = true;
    m.attr("bGeoModelExist") = true;
    m.attr("bModelExist") = true;
    m.attr("bRatioCumulativeExist") = false;
    m.attr("bUseCumulativeFitOutput") = false;
    m.attr("bNeighborDataFrameExist") = false;
    m.attr("bModelPerProb") = true;

    // Column names of the two databases; the default database has no
    // well identifier, the other no ISIP and none of the log columns.
    m.attr("dataBaseName") = "EDM";
    struct Column {
        const char* name;
        const char* pe;
        const char* edm;
    };
    static const Column columns[] = {
        {"strWellID", "wellid", nullptr},
        {"strProdDate", "proddate", "production date"},
        {"strLiquidsRate", "liquids", "liquid production"},
        {"strGasRate", "gas", "gas production"},
        {"strWaterRate", "water", "water production"},
        {"strAPI", "api - 14/uwi unformatted", "api_blended"},
        {"strFieldName", "field", "field name blended"},
        {"strLatitudeSH", "latitude sh", "latitude surface hole blended"},
        {"strLongitudeSH", "longitude sh", "longitude surface hole blended"},
        {"strLatitudeBH", "latitude bh", "latitude bottom hole blended"},
        {"strLongitudeBH", "longitude bh", "longitude bottom hole blended"},
        {"strAzimuth", "azimuth", "azimuth blended"},
        {"strPlayDesignation", "play designation", "formation blended"},
        {"strTVD", "footage - tvd", "tvd (ft) blended"},
        {"strDateVintage", "date - vintage", "date on production"},
        {"strSpudDate", "date - spud", "spud date blended"},
        {"strCompDate", "date - completion", "completion date blended"},
        {"strOperator", "operator", "operator blended"},
        {"strToeDelta", "well path - toe delta", "well path toe delta blended"},
        {"strTortRatio", "well path - tortuosity ratio", "well path tortuosity ratio blended"},
        {"strWellLen", "footage - lateral length", "completed horizontal length blended"},
        {"strWellOrientation", "well orientation", nullptr},
        {"strLateralSpacing", "spacing - neighbor current - horiz distance in ft", "lateral spacing blended"},
        {"strISIP", nullptr, "isip (psia) median blended"},
        {"strBreakDownPres", nullptr, "breakdown pressure (psia) median blended"},
        {"strPumpRate", nullptr, "pump rate (bpm) median blended"},
        {"strFracStages", "frac stages", "total number of stages blended"},
        {"strFracStagesPerLen", "frac stages per ft", nullptr},
        {"strFluidVolume", "fluid volume", "fluid volume blended"},
        {"strFluidVolumePerLen", "fluid per ft", "fluid loading blended"},
        {"strPropMeshSize", "proppant mesh size", "proppant mesh size blended"},
        {"strPropType", "proppant type", "proppant type blended"},
        {"strProdType", "prod type", "production type"},
        {"strPropPerLen", "proppant per ft", "sand loading blended"},
        {"strPropVol", "proppant volume", "proppant volume blended"},
        {"strMaxPorpDev", nullptr, "maximum porpoise deviation"},
        {"strMeanPorpDev", nullptr, "mean porpoise deviation"},
        {"strPorpCount", nullptr, "porpoise count"},
        {"strShaleFoot", nullptr, "shale footage"},
        {"strShalePer", nullptr, "shale percentage"},
        {"strai", nullptr, "ai"},
        {"strDensity", nullptr, "density"},
        {"strhpv", nullptr, "hpv"},
        {"strkm", nullptr, "km"},
        {"strphi", nullptr, "phi"},
        {"strPoissRatio", nullptr, "poisson ratio"},
        {"strSw", nullptr, "sw"},
        {"strtoc", nullptr, "toc"},
        {"strvcl", nullptr, "vcl"},
        {"strvp", nullptr, "vp"},
        {"strvpvs", nullptr, "vpvs"},
        {"strvs", nullptr, "vs"},
        {"strYoungMod", nullptr, "youngs modulus"},
        {"strFracSpacing", nullptr, "average stage length blended"},
    };
    const bool pe = py::str(m.attr("dataBaseName")).cast<std::string>() == "PE";
    for (const Column& c : columns) {
        const char* value = pe ? c.pe : c.edm;
        m.attr(c.name) = value != nullptr ? py::object(py::str(value)) : py::object(py::none());
    }

    m.attr("strUTMEasting") = "UTM easting ft";
    m.attr("strUTMNorthing") = "UTM northing ft";
    m.attr("strLatitudeMid") = "latitude mid";
    m.attr("strLongitudeMid") = "longitude mid";
    m.attr("strNeighExt") = " neigh";
    m.attr("strNeighDist") = "neigh dist";
    m.attr("strNearestNeighDist") = "nearest neighbour dist ft";

    m.attr("playDesignation") = "Marcellus Shale";
    m.attr("playDesignationDir") = "Marcellus Shale";

    m.attr("strRate") = m.attr("strGasRate");
    m.attr("strDataType") = "data type";
    m.attr("strMaxRate") = "maximum rate";
    m.attr("strNormMonth") = "norm month";

    m.attr("wellHeadersFileName") = "WellHeaders.csv";
    m.attr("prodHistoricalFileName") = "ProdHistorical.csv";
    m.attr("wellHeadersPickle") = "WellHeaders.pickle";
    m.attr("prodHistoricalPickle") = "ProdHistorical.pickle";

    // Rate columns and the names derived from them.
    py::list rate_list;
    rate_list.append(m.attr("strGasRate"));
    rate_list.append(m.attr("strLiquidsRate"));
    rate_list.append(m.attr("strWaterRate"));
    m.attr("strRateList") = rate_list;
    py::dict cumulative, rate_fit, cumulative_fit, cumulative_real, cumulative_model,
        cumulative_model_prob, rate_model, rate_model_prob, q_stream, q1, norm_q1;
    const py::str neigh_ext = m.attr("strNeighExt");
    for (const py::handle rate_handle : rate_list) {
        const py::object rate = py::reinterpret_borrow<py::object>(rate_handle);
        const py::object cum = rate + py::str(" cumulative");
        cumulative[rate] = cum;
        rate_fit[rate] = rate + py::str(" fit");
        cumulative_fit[rate] = cum + py::str(" fit");
        cumulative_real[rate] = cum + py::str(" real");
        const py::object cum_model = cum + py::str(" model");
        cumulative_model[rate] = cum_model;
        py::dict cum_prob;
        for (const char* prob : {"P10", "P90"}) cum_prob[prob] = cum_model + py::str(" ") + py::str(prob);
        cumulative_model_prob[rate] = cum_prob;
        const py::object r_model = rate + py::str(" model");
        rate_model[rate] = r_model;
        py::dict r_prob;
        for (const char* prob : {"P10", "P90"}) r_prob[prob] = r_model + py::str(" ") + py::str(prob);
        rate_model_prob[rate] = r_prob;
        q_stream[rate] = cum + py::str(" on stream") + neigh_ext;
        q1[rate] = cum + py::str(" 12");
        norm_q1[rate] = cum + py::str(" 12 norm by nf");
    }
    m.attr("strCumulative") = cumulative;
    m.attr("strRateFit") = rate_fit;
    m.attr("strCumulativeFit") = cumulative_fit;
    m.attr("strCumulativeReal") = cumulative_real;
    m.attr("strCumulativeModel") = cumulative_model;
    m.attr("strCumulativeModelProb") = cumulative_model_prob;
    m.attr("strRateModel") = rate_model;
    m.attr("strRateModelProb") = rate_model_prob;
    m.attr("strQStream") = q_stream;
    m.attr("strQ1") = q1;
    m.attr("strNormQ1nf") = norm_q1;
    py::dict lim_cumulative;
    lim_cumulative[m.attr("strLiquidsRate")] = 0.01;
    lim_cumulative[m.attr("strGasRate")] = 0.01;
    lim_cumulative[m.attr("strWaterRate")] = 0.01;
    m.attr("limCumulative") = lim_cumulative;

    m.attr("wellHeadersModelFileName") = "WellHeadersModel.csv";
    m.attr("prodHistoricalModelFileName") = "ProdHistoricalModel.csv";
    m.attr("wellHeadersModelPickle") = "WellHeadersModel.pickle";
    m.attr("prodHistoricalModelPickle") = "ProdHistoricalModel.pickle";
    m.attr("neighborFileName") = "Neighbors.csv";
    m.attr("neighborPickle") = "Neighbors.pickle";
    m.attr("modelDir") = "Model";
    m.attr("modelFile") = "model.pickle";
    m.attr("labelBinarizerFile") = "lb.pickle";
    m.attr("trainTestFile") = "TrainTest.csv";
    m.attr("ratioCumulativeFile") = "ratioCumulative.csv";
    m.attr("modelPredictTrainFile") = "modelPredictTrain.csv";
    m.attr("modelPredictTestFile") = "modelPredictTest.csv";
    m.attr("geoModelFileDir") = "GeoModel";

    // Forecast months 6, 8, ..., 60 and the names keyed by them.
    py::list months;
    for (int i = 0; i < 28; ++i) months.append(6 + 2 * i);
    m.attr("nOutputMonthList") = months;
    py::dict cum_month, cum_month_fit, ratio_cum_month, sub_dir;
    for (int i = 0; i < 28; ++i) {
        const int month = 6 + 2 * i;
        const std::string text = std::to_string(month);
        cum_month[py::int_(month)] = "cumulative " + text;
        cum_month_fit[py::int_(month)] = "cumulative fit " + text;
        ratio_cum_month[py::int_(month)] = "ratio cumulative " + text;
        sub_dir[py::int_(month)] = text;
    }
    m.attr("strNumCumulativeMonth") = cum_month;
    m.attr("strNumCumulativeMonthFit") = cum_month_fit;
    m.attr("strRatioNumCumulativeMonth") = ratio_cum_month;
    m.attr("modelSubDirCumulativeOutput") = sub_dir;

    m.attr("normTimeCoeff") = quon::kNormTimeCoeff;
    m.attr("QUnitFactor") = quon::kQUnitFactor;
    m.attr("bPlay") = quon::kBPlay;
    m.attr("distNeighLimit") = 10000;
    m.attr("minDiffDaysNeigh") = 365;
    m.attr("numBins") = 1;
    m.attr("numGroupProb") = 1;

    py::list slider_labels;
    for (const char* name : {"strFracStages", "strWellLen", "strFracSpacing", "strFluidVolumePerLen"})
        slider_labels.append(m.attr(name));
    m.attr("sliderLabels") = slider_labels;
    m.attr("xCatColList") = py::list();
    m.attr("xDateColList") = py::list();
    py::list x_num;
    for (const char* name : {"strLatitudeMid", "strLongitudeMid", "strFracStages", "strISIP",
                             "strWellLen", "strFracSpacing", "strFluidVolumePerLen"})
        x_num.append(m.attr(name));
    m.attr("xNumColList") = x_num;
    py::list x_geo;
    x_geo.append(m.attr("strLatitudeMid"));
    x_geo.append(m.attr("strLongitudeMid"));
    m.attr("xGeoModelList") = x_geo;
    py::list y_geo;
    y_geo.append(m.attr("strISIP"));
    m.attr("yGeoModelList") = y_geo;
}

void bind_classes(py::module_ m) {
    py::options options;
    options.disable_function_signatures();

    m.attr("CGeologicalModel") = make_class(
        "CGeologicalModel",
        {method("GetModel", "self, filesDir, yCol",
                "The pickled model of column yCol in filesDir/GeoModel, or None when\n"
                "there is no such file.",
                &get_geo_model, py::arg("filesDir"), py::arg("yCol"))});

    m.attr("CSerializer") = make_serializer_class();

    Methods history;
    history.push_back(method("_CHistoryMatch__GetRateByTime", "self, qi, DiTan, b, t",
                             "Arps rate at t months: qi * (1 + b*DiTan*t)^(-1/b), volume per day.",
                             &rate_by_time, py::arg("qi"), py::arg("DiTan"), py::arg("b"),
                             py::arg("t")));
    history.push_back(method("_CHistoryMatch__GetCumulativeByTime", "self, qi, DiTan, b, t",
                             "Arps cumulative at t months, thousands of volume units.",
                             &cumulative_by_time, py::arg("qi"), py::arg("DiTan"), py::arg("b"),
                             py::arg("t")));
    history.push_back(method("GetRateList", "self, tList, qi, DiTan, b",
                             "Rates at the times of tList (months), volume per day.", &get_rate_list,
                             py::arg("tList"), py::arg("qi"), py::arg("DiTan"), py::arg("b")));
    history.push_back(method("GetCumulativeList", "self, tList, qi, DiTan, b",
                             "Cumulatives at the times of tList (months), thousands of volume units.",
                             &get_cumulative_list, py::arg("tList"), py::arg("qi"),
                             py::arg("DiTan"), py::arg("b")));
    history.push_back(method("GetqiByCumulative", "self, DiTan, b, tList, modelOutput, iTime",
                             "Initial rate whose cumulative at tList[iTime] is modelOutput.",
                             &get_qi_by_cumulative, py::arg("DiTan"), py::arg("b"), py::arg("tList"),
                             py::arg("modelOutput"), py::arg("iTime")));
    history.push_back(method("GetMatchParams", "self, tList, QList",
                             "(qi, DiTan, b) of the hyperbolic decline fitted to the cumulatives\n"
                             "QList at tList; (0, 0, 0) when the fit does not converge.",
                             &get_match_params, py::arg("tList"), py::arg("QList")));
    history.push_back(method("GetMatchLists", "self, tList, QList",
                             "(rates, cumulatives) of the fitted decline over tList.",
                             &get_match_lists, py::arg("tList"), py::arg("QList")));
    g_rate_fn = history[0].second.ptr();
    g_cumulative_fn = history[1].second.ptr();
    m.attr("CHistoryMatch") = make_class("CHistoryMatch", history);

    m.attr("CQCalculator") = make_class(
        "CQCalculator",
        {method("GetQWell", "self, tWell, YWell",
                "Running cumulative (thousands of volume units) of the rates YWell\n"
                "(volume per day) at the times tWell (months); stops at a missing rate.",
                &get_q_well, py::arg("tWell"), py::arg("YWell"))});

    Methods driver;
    PyObject* init = PyCFunction_NewEx(&dravex_init_def, nullptr, nullptr);
    if (init == nullptr) throw py::error_already_set();
    driver.emplace_back("__init__", py::reinterpret_steal<py::object>(init));
    driver.push_back(method("SetFilesDir", "self, filesDir", "Sets the play data directory.",
                            &set_files_dir, py::arg("filesDir")));
    driver.push_back(method("_CMainDravex__GetGeoModels", "self",
                            "Geological models of the play, by column (None when missing).",
                            &get_geo_models));
    driver.push_back(method("_CMainDravex__GetModelsDummy", "self",
                            "The first 25 monthly model paths, each after a blank.",
                            &get_models_dummy));
    driver.push_back(method("_CMainDravex__GetModels", "self",
                            "Monthly production models by month; empty when one is missing.",
                            &get_models));
    driver.push_back(method("_CMainDravex__SetP10P90BinnedMonth", "self, df, iMonth",
                            "Bin bounds and P10/P90 band of one month from its test predictions.",
                            &set_p10_p90_binned_month, py::arg("df"), py::arg("iMonth")));
    driver.push_back(method("_CMainDravex__SetP10P90Binned", "self",
                            "Bin bounds and P10/P90 bands of every forecast month.",
                            &set_p10_p90_binned));
    driver.push_back(method("_CMainDravex__get_filepath", "self, filename",
                            "Path of filename in the directory of the module file.",
                            &dravex_get_filepath, py::arg("filename")));
    driver.push_back(method("Process", "self",
                            "Loads the play's models and bands from DataFiles beside the module;\n"
                            "does nothing when the play directory is missing.",
                            &process));
    driver.push_back(method(
        "Predict", "self, lat, lon, frac_stages, well_len, frac_spacing, fluid_vol, isip",
        "Forecast of one well design: (rate_time_df, cumulative_time_df).\n"
        "Rates in volume per day, cumulatives in thousands of volume units, by month\n"
        "0, 6, 8, ..., 60. isip is accepted but the geological model's estimate is used.",
        &predict, py::arg("lat"), py::arg("lon"), py::arg("frac_stages"), py::arg("well_len"),
        py::arg("frac_spacing"), py::arg("fluid_vol"), py::arg("isip")));
    m.attr("CMainDravex") = make_class("CMainDravex", driver);
}

int exec_module(PyObject* module) {
    return Guard::exec(module, "quon", [module] {
        py::module_ m = py::reinterpret_borrow<py::module_>(module);
        bind_vocabulary(m);
        py::object np = m.attr("np");
        g_float64 = reinterpret_cast<PyTypeObject*>(np.attr("float64").ptr());
        g_int64 = reinterpret_cast<PyTypeObject*>(np.attr("int64").ptr());
        Py_INCREF(g_float64);
        Py_INCREF(g_int64);
        bind_classes(m);
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&Guard::create)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quon", nullptr, 0, nullptr, module_slots,
                          nullptr, nullptr, nullptr};

}  // namespace
}  // namespace quon_py

PyMODINIT_FUNC PyInit_quon() { return PyModuleDef_Init(&quon_py::module_def); }
