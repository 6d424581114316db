// CGeologicalModel and the driver CMainDravex: construction, model loading
// and the P10/P90 bands of Process, over the core's bands and bins
// (history_match.hpp); Predict is in py_predict.cpp.
//
// The driver is a plain class: its state is ordinary instance attributes a
// host can read and replace, and every step reads them, and the module's
// constants, anew. Trained models, test tables and the fitter are the
// host's objects and are called through the interpreter.
//
// A play's files are checked as they are read, and a bad one is named: a
// model file that cannot be unpickled raises the unpickler's error with the
// file's path in its message; a month's test file must have the "model" and
// "real" columns (KeyError), rows (ValueError) and no missing "model" value
// (ValueError), each error naming the file. A missing month model keeps
// what Process has always done (no monthly models, nothing said), and
// Predict then names the missing file.
#include <pybind11/numpy.h>

#include <cmath>
#include <optional>
#include <vector>

#include "history_match.hpp"
#include "py_face.hpp"

namespace quon_py {

namespace {

using namespace pybind11::literals;

// ------------------------------------------------------------------ loading

// The model of a play file; with a manifest in files_dir, of the bytes
// whose SHA-256 was checked.
py::object load_pickle(const py::object& path, const py::object& files_dir, const std::string& month = "") {
    std::optional<py::bytes> checked = checked_play_file(files_dir, path);
    try {
        if (checked) return global("pickle").attr("loads")(*checked);
        py::object file = py::module_::import("io").attr("open")(path, "rb");
        return use_then_close(file, [](const py::object& f) { return global("pickle").attr("load")(f); });
    } catch (py::error_already_set& e) {
        const std::string name = text_of(path);
        raise_in_context(e, "cannot load the model file \"" + name + "\"" + month, name);
    }
}

// That a loaded object has the methods Predict calls; TypeError naming the
// file (and the month) when not.
void check_model_object(const py::object& model, const py::object& path, const std::vector<const char*>& methods,
                        const std::string& month) {
    for (const char* name : methods) {
        if (!pymodule::truth(py::module_::import("builtins").attr("callable")(py::getattr(model, name, py::none()))))
            pymodule::raise(PyExc_TypeError, "the model file \"" + text_of(path) + "\"" + month + " holds " +
                                                 shown_value(model) + ", not a trained model: it has no " + name +
                                                 "() method");
    }
}

bool is_file(const py::object& path) {
    return pymodule::truth(global("os").attr("path").attr("isfile")(path));
}

py::object get_geo_model(py::object, py::object files_dir, py::object y_col) {
    py::object path = join_path(join_path(files_dir, global("geoModelFileDir")), y_col) +
                      py::str(".pickle");
    if (!is_file(path)) return py::none();
    py::object model = load_pickle(path, files_dir);
    check_model_object(model, path, {"predict"}, "");
    return model;
}

py::object month_dir(const py::object& self, const py::handle& month) {
    py::object dir = join_path(self.attr("m_filesDir"), global("modelDir"));
    return join_path(dir, pymodule::item(global("modelSubDirCumulativeOutput"), month));
}

}  // namespace

py::object month_model_path(const py::object& self, const py::handle& month) {
    return join_path(month_dir(self, month), global("modelFile"));
}

namespace {

// ------------------------------------------------------------- construction

// Keyed by the module's column names; with the default column set
// strFracStagesPerLen is None, so one key of each slider dictionary is None
// (None: 2 in m_sliderVar), as the vocabulary has it.
py::dict slider_dict(const int (&values)[8]) {
    static const char* const keys[8] = {"strFracStages",       "strWellLen",
                                        "strFluidVolume",      "strTVD",
                                        "strFracStagesPerLen", "strPropPerLen",
                                        "strFluidVolumePerLen", "strFracSpacing"};
    py::dict d;
    for (int i = 0; i < 8; ++i) d[global(keys[i])] = values[i];
    return d;
}

void init_driver(const py::object& self) {
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
    // Map window, degrees.
    set("m_minLat", py::float_(41.38));
    set("m_maxLat", py::float_(41.99));
    set("m_minLong", py::float_(-77.59));
    set("m_maxLong", py::float_(-75.56));
    set("m_deltaLat", self.attr("m_maxLat") - self.attr("m_minLat"));
    set("m_deltaLong", self.attr("m_maxLong") - self.attr("m_minLong"));
    set("m_sizeDict", py::dict());
    // Beyond the attributes above: the play folder named at construction
    // (None: DataFiles/<playDesignationDir> beside the module), the play's
    // envelope that Process read (None without an envelope file), and the
    // error of a Process that failed (None when the last one did not).
    set("m_playDir", py::none());
    set("m_designEnvelope", py::none());
    set("m_processError", py::none());
}

// The play folder a caller names: a path (text or path-like), made
// absolute, so that a later change of the working folder does not move it.
py::object chosen_play_folder(const py::object& play_dir) {
    py::object path;
    try {
        path = global("os").attr("fspath")(play_dir);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        pymodule::raise(PyExc_TypeError, "CMainDravex: playDir must be a path (text or os.PathLike), got " +
                                             shown_value(play_dir));
    }
    if (!py::isinstance<py::str>(path))
        pymodule::raise(PyExc_TypeError, "CMainDravex: playDir must be a path as text, got " + shown_value(path));
    return global("os").attr("path").attr("abspath")(path);
}

// The constructor. pybind11 reserves functions named __init__ for its own
// classes, so this one is a plain C function: CMainDravex(self).
PyObject* driver_init_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"self", "playDir", nullptr};
    PyObject* self = nullptr;
    PyObject* play_dir = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:__init__", const_cast<char**>(keywords), &self, &play_dir))
        return nullptr;
    try {
        const auto driver = py::reinterpret_borrow<py::object>(self);
        init_driver(driver);
        if (play_dir != Py_None) driver.attr("m_playDir") = chosen_play_folder(py::reinterpret_borrow<py::object>(play_dir));
    } catch (...) {
        pymodule::set_python_error(std::current_exception());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef driver_init_def = {
    "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(driver_init_entry)),
    METH_VARARGS | METH_KEYWORDS,
    "__init__(self, *, playDir=None)\n--\n\nA new driver: no models yet. playDir names the play folder Process\n"
    "reads (the folder holding GeoModel and Model); by default DataFiles/<playDesignationDir>\n"
    "beside the module."};

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
        const std::string which = " (month " + text_of(month) + ")";
        py::object model = load_pickle(path, self.attr("m_filesDir"), which);
        check_model_object(model, path, {"predict"}, which);
        models[month] = model;
    }
    return models;
}

// -------------------------------------------------------------------- bands

// Integers of a column up to this size: the difference of two of them is
// a double exactly, as the interpreter's integer arithmetic has it.
constexpr double kExactColumnInt = static_cast<double>(1LL << 52);

struct NumericColumn {
    std::vector<double> values;
    bool integer = false;
};

// The values of a float64 or int64 column, copied, or nothing for any
// other column.
std::optional<NumericColumn> numeric_column(const py::object& column) {
    if (!py::isinstance(column, global("pd").attr("Series"))) return std::nullopt;
    py::object dtype = column.attr("dtype");
    const std::string kind = py::str(dtype.attr("kind"));
    const int itemsize = dtype.attr("itemsize").cast<int>();
    if (itemsize != 8 || (kind != "f" && kind != "i")) return std::nullopt;
    py::array_t<double, py::array::forcecast> values(column.attr("to_numpy")());
    const double* p = values.data();
    NumericColumn out{std::vector<double>(p, p + values.size()), kind == "i"};
    if (out.integer)
        for (double v : out.values)
            if (std::fabs(v) > kExactColumnInt) return std::nullopt;
    return out;
}

// a <op> b as the interpreter evaluates it (elementwise for a column).
py::object compare(const py::handle& a, const py::handle& b, int op) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

void set_band(py::dict& band, py::object p10, py::object p90) {
    band["P10"] = std::move(p10);
    band["P90"] = std::move(p90);
}

// adjProb of percentiles taken by numpy, with its own types and errors
// (numpy's error for the percentile of nothing included).
void band_of_misses(const py::object& misses, py::dict& band) {
    py::object percentile = global("np").attr("percentile");
    py::object p10 = percentile(misses, 90);
    py::object p90 = percentile(misses, 10);
    py::object builtins_abs = py::module_::import("builtins").attr("abs");
    py::object adj = py::float_(0.5) * (builtins_abs(p90) + builtins_abs(p10));
    set_band(band, adj, -adj);
}

// The band of one bin with pandas' own operations, for columns the core
// does not read (text, objects, other widths).
void bin_band_by_table(const py::object& df, const py::object& lower, const py::object& upper,
                       py::dict& band) {
    py::object model = pymodule::item(df, "model");
    py::object mask = compare(model, lower, Py_GE) & compare(model, upper, Py_LE);
    py::object rows = pymodule::item(df.attr("loc"), mask);
    if (py::len(rows) == 0) return set_band(band, py::none(), py::none());
    rows = rows.attr("dropna")("subset"_a = items_of(py::make_tuple("real", "model")));
    py::object keep = compare(pymodule::item(rows, "model"), py::int_(0), Py_GT) &
                      compare(pymodule::item(rows, "real"), py::int_(0), Py_GT);
    rows = pymodule::item(rows, keep);
    py::object real = pymodule::item(rows, "real");
    py::object model_rows = pymodule::item(rows, "model");
    band_of_misses(((real - model_rows) / model_rows).attr("tolist")(), band);
}

// The month's bins on the core: equal-width bins of the model column, each
// row's miss and the percentiles.
void month_bands_on_core(const py::object& df, const std::vector<double>& model, long num_bins,
                         py::dict& month_bands, py::list& bounds) {
    std::vector<quon::BinRange> bins;
    {
        py::gil_scoped_release release;
        bins = quon::month_bins(model.data(), model.size(), num_bins);
    }
    std::optional<NumericColumn> real;
    bool real_read = false;  // "real" is read at the first bin with rows
    for (std::size_t k = 0; k < bins.size(); ++k) {
        const quon::BinRange& bin = bins[k];
        py::dict band;
        month_bands[py::int_(k)] = band;
        bounds.append(py::float_(bin.upper));
        if (!bin.has_rows) {
            set_band(band, py::none(), py::none());
            continue;
        }
        if (!real_read) {
            real = numeric_column(pymodule::item(df, "real"));
            real_read = true;
        }
        if (!real) {
            bin_band_by_table(df, py::float_(bin.lower), py::float_(bin.upper), band);
            continue;
        }
        quon::BinBand b;
        {
            py::gil_scoped_release release;
            b = quon::bin_band(model.data(), real->values.data(), model.size(), bin.lower, bin.upper);
        }
        if (b.no_valid_rows) {
            band_of_misses(py::list(), band);
            continue;
        }
        set_band(band, np_float(b.p10), np_float(b.p90));
    }
}

// The month's bins with the interpreter's operations, for a "model" column
// the core does not read or a count of bins that is not a positive integer.
void month_bands_by_interpreter(const py::object& df, const py::object& min_model,
                                const py::object& delta, const py::object& num_bins,
                                py::dict& month_bands, py::list& bounds) {
    for (const py::handle bin : py::module_::import("builtins").attr("range")(num_bins)) {
        py::object lower = min_model + delta * bin;
        py::object upper = lower + delta;
        py::dict band;
        month_bands[bin] = band;
        bounds.append(upper);
        bin_band_by_table(df, lower, upper, band);
    }
}

// numBins as a count for the core: an int from 1 to 2^20, or nothing.
std::optional<long> positive_count(const py::object& num_bins) {
    if (!PyLong_CheckExact(num_bins.ptr())) return std::nullopt;
    int overflow = 0;
    const long count = PyLong_AsLongAndOverflow(num_bins.ptr(), &overflow);
    if (overflow != 0 || count < 1 || count > (1L << 20)) return std::nullopt;
    return count;
}

py::object set_p10_p90_binned_month(py::object self, py::object df, py::object i_month) {
    py::object model_column = pymodule::item(df, "model");
    std::optional<NumericColumn> model = numeric_column(model_column);
    if (model && model->values.empty()) model.reset();  // the built-in max's error for nothing
    py::object max_model, min_model;
    if (model) {
        const quon::MinMax range = quon::scan_min_max(model->values.data(), model->values.size());
        const auto as_object = [&](double v) {
            return model->integer ? py::object(py::int_(static_cast<long long>(v)))
                                  : py::object(py::float_(v));
        };
        max_model = as_object(range.max);
        min_model = as_object(range.min);
    } else {
        py::object builtins = py::module_::import("builtins");
        max_model = builtins.attr("max")(model_column);
        min_model = builtins.attr("min")(model_column);
    }
    py::object num_bins = global("numBins");
    py::object delta = (max_model - min_model) / num_bins;

    py::dict month_bands;
    py::list bounds;
    pymodule::set_item(self.attr("m_modelProbBinned"), i_month, month_bands);
    pymodule::set_item(self.attr("m_boundList"), i_month, bounds);
    const std::optional<long> count = positive_count(num_bins);
    if (model && count)
        month_bands_on_core(df, model->values, *count, month_bands, bounds);
    else
        month_bands_by_interpreter(df, min_model, delta, num_bins, month_bands, bounds);
    return py::none();
}

// A month's test table as the bands need it, or the error naming the file:
// both columns, at least one row, no missing "model" value (a missing
// "real" value only drops its row from the percentiles).
void check_test_table(const py::object& df, const std::string& path, const py::handle& month) {
    const std::string file = "the test file \"" + path + "\" (month " + text_of(month) + ")";
    for (const char* column : {"model", "real"}) {
        if (PySequence_Contains(df.ptr(), py::str(column).ptr()) != 1) {
            PyErr_Clear();
            pymodule::raise(PyExc_KeyError, file + " has no column \"" + column + "\"");
        }
    }
    if (py::len(df) == 0) pymodule::raise(PyExc_ValueError, file + " has no rows");
    for (const char* column : {"model", "real"}) {
        py::object values = pymodule::item(df, column);
        const std::string kind = text_of(values.attr("dtype").attr("kind"));
        if (kind == "f" || kind == "i" || kind == "u") continue;
        const py::list items = items_of(values);
        std::size_t row = 0;
        double v = 0.0;
        while (row < items.size() && real_number(items[row], v)) ++row;
        const std::string first = row < items.size() ? ", first " + shown_repr(items[row]) + " in data row " +
                                                           std::to_string(row + 1)
                                                     : "";
        pymodule::raise(PyExc_ValueError, file + " has a column \"" + column +
                                              "\" that is not all numbers" + first);
    }
    py::object missing = pymodule::item(df, "model").attr("isnull")();
    if (pymodule::truth(missing.attr("any")())) {
        const auto count = missing.attr("sum")().cast<long long>();
        pymodule::raise(PyExc_ValueError, file + " has " + std::to_string(count) +
                                              " missing (NaN) value(s) in column \"model\"");
    }
}

py::object set_p10_p90_binned(py::object self) {
    py::object test_file = global("modelPredictTestFile");
    py::object serializer = global("CSerializer")();
    py::object bin_month = self.attr("_CMainDravex__SetP10P90BinnedMonth");
    for (const py::handle month : items_of(global("nOutputMonthList"))) {
        py::object dir = month_dir(self, month);
        py::object file = join_path(dir, test_file);
        const std::string path = text_of(file);
        const std::string named = path + "\" (month " + text_of(month) + ")";
        py::object df;
        try {
            if (is_file(file)) checked_play_file(self.attr("m_filesDir"), file);
            df = serializer.attr("GetDataFrameFromCSVFileByDirAndName")(dir, test_file);
        } catch (py::error_already_set& e) {
            raise_in_context(e, "cannot read the test file \"" + named, path);
        }
        if (py::isinstance(df, global("pd").attr("DataFrame"))) check_test_table(df, path, month);
        try {
            bin_month(df, month);
        } catch (py::error_already_set& e) {
            raise_in_context(e, "the bands of the test file \"" + named, path);
        }
    }
    return py::none();
}

py::object get_filepath(py::object, py::object filename) {
    py::object path = global("os").attr("path");
    return path.attr("join")(path.attr("dirname")(global("__file__")), filename);
}

// A play folder the caller named must be one.
void check_named_play_folder(const py::object& files_dir) {
    py::object path = global("os").attr("path");
    const std::string where = "CMainDravex.Process: the play folder \"" + text_of(files_dir) + "\" named by playDir";
    if (!pymodule::truth(path.attr("isdir")(files_dir)))
        pymodule::raise(PyExc_FileNotFoundError, where + " does not exist");
    if (!pymodule::truth(path.attr("isdir")(join_path(files_dir, global("geoModelFileDir")))) &&
        !pymodule::truth(path.attr("isdir")(join_path(files_dir, global("modelDir")))))
        pymodule::raise(PyExc_FileNotFoundError, where + " holds no \"" + text_of(global("geoModelFileDir")) +
                                                     "\" or \"" + text_of(global("modelDir")) +
                                                     "\" folder: is it a play folder?");
}

py::object process_steps(const py::object& self) {
    py::object files_dir = play_folder(self);
    if (!self.attr("m_playDir").is_none()) {
        check_named_play_folder(files_dir);
    } else if (!pymodule::truth(global("os").attr("path").attr("exists")(files_dir))) {
        return py::none();
    }
    self.attr("SetFilesDir")(files_dir);
    self.attr("m_designEnvelope") = py::none();
    self.attr("m_designEnvelope") = play_envelope(files_dir);
    self.attr("m_geoModelDict") = self.attr("_CMainDravex__GetGeoModels")();
    if (pymodule::truth(self.attr("m_geoModelDict"))) {
        self.attr("m_modelDict") = self.attr("_CMainDravex__GetModels")();
        // How each monthly model will run, decided once (py_booster.cpp).
        keep_monthly_models(self);
        if (pymodule::truth(self.attr("m_modelDict"))) self.attr("_CMainDravex__SetP10P90Binned")();
    }
    return py::none();
}

// Process, and the error of a failed one kept for Predict to report.
py::object process(py::object self) {
    DriverLock lock(self);
    self.attr("m_processError") = py::none();
    try {
        return process_steps(self);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_Exception)) self.attr("m_processError") = e.value();
        throw;
    }
}

}  // namespace

py::object play_folder(const py::object& self) {
    py::object chosen = py::getattr(self, "m_playDir", py::none());
    if (!chosen.is_none()) return chosen;
    return self.attr("_CMainDravex__get_filepath")(py::str("DataFiles") + sep() + global("playDesignationDir"));
}

py::object make_geological_model_class() {
    return make_class("CGeologicalModel",
                      {method("GetModel", "self, filesDir, yCol",
                              "The pickled model of column yCol in filesDir/GeoModel, or None when\n"
                              "there is no such file.",
                              &get_geo_model, py::arg("filesDir"), py::arg("yCol"))});
}

py::object make_driver_class() {
    MethodList methods;
    PyObject* init = PyCFunction_NewEx(&driver_init_def, nullptr, nullptr);
    if (init == nullptr) throw py::error_already_set();
    methods.emplace_back("__init__", py::reinterpret_steal<py::object>(init));
    methods.push_back(method("SetFilesDir", "self, filesDir", "Sets the play data directory.",
                             &set_files_dir, py::arg("filesDir")));
    methods.push_back(method("_CMainDravex__GetGeoModels", "self",
                             "Geological models of the play, by column (None when missing).",
                             &get_geo_models));
    methods.push_back(method("_CMainDravex__GetModelsDummy", "self",
                             "The first 25 monthly model paths, each after a blank.",
                             &get_models_dummy));
    methods.push_back(method("_CMainDravex__GetModels", "self",
                             "Monthly production models by month; empty when one is missing.",
                             &get_models));
    methods.push_back(method("_CMainDravex__SetP10P90BinnedMonth", "self, df, iMonth",
                             "Bin bounds and P10/P90 band of one month from its test predictions.",
                             &set_p10_p90_binned_month, py::arg("df"), py::arg("iMonth")));
    methods.push_back(method("_CMainDravex__SetP10P90Binned", "self",
                             "Bin bounds and P10/P90 bands of every forecast month.",
                             &set_p10_p90_binned));
    methods.push_back(method("_CMainDravex__get_filepath", "self, filename",
                             "Path of filename in the directory of the module file.", &get_filepath,
                             py::arg("filename")));
    methods.push_back(method("Process", "self",
                             "Loads the play's models and bands: from the folder named by playDir, or\n"
                             "DataFiles/<playDesignationDir> beside the module (doing nothing when that is\n"
                             "missing). With a SHA256SUMS manifest in the play folder every file read is\n"
                             "checked against it. A failure is kept: Predict then reports it.",
                             &process));
    methods.push_back(method(
        "Predict", "self, lat, lon, frac_stages, well_len, frac_spacing, fluid_vol, isip",
        "Forecast of one well design: (rate_time_df, cumulative_time_df).\n"
        "Rates in volume per day, cumulatives in thousands of volume units, by month\n"
        "0, 6, 8, ..., 60. isip is accepted but the geological model's estimate is used.",
        &predict, py::arg("lat"), py::arg("lon"), py::arg("frac_stages"), py::arg("well_len"),
        py::arg("frac_spacing"), py::arg("fluid_vol"), py::arg("isip")));
    methods.push_back(method(
        "PredictBatch", "self, designs",
        "Forecasts of many well designs: (rate_time_df, cumulative_time_df), Predict's\n"
        "tables stacked design after design, each with a first column \"Design\" holding\n"
        "the design's row label. designs is a DataFrame with one row per design and the\n"
        "columns named by strLatitudeMid, strLongitudeMid, strFracStages, strWellLen,\n"
        "strFracSpacing and strFluidVolumePerLen (others are ignored). Each design's rows\n"
        "equal Predict's tables; a fit that fails leaves NaN in its columns and the call\n"
        "warns (RuntimeWarning) with the count.",
        &predict_batch, py::arg("designs")));
    return make_class("CMainDravex", methods);
}

}  // namespace quon_py
