// CMainDravex.Predict: the forecast of one well design from the models and
// bands Process loaded. The monthly models run as Process decided
// (py_booster.cpp), the bins are the core's
// rule (history_match.hpp), the decline fits are CHistoryMatch's.
//
// Calls on one driver from several threads run one after another (the
// driver's lock, py_face.hpp), so each caller gets the tables of its own
// arguments and the driver's two output lists hold those of one call.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "history_match.hpp"
#include "py_face.hpp"

namespace quon_py {

namespace {

using namespace pybind11::literals;

constexpr const char* kPredict = "CMainDravex.Predict";

// ------------------------------------------------------------ the arguments

// A design value Predict forecasts with: a finite real number (py_face.hpp:
// int, float, numpy integer or floating scalar). NaN is refused like any
// other non-number: a forecast for an unknown stage count or location is
// not a forecast, and the models would read it as a missing feature. bool
// is refused too: True as a stage count is a mistake, not a count of one.
// Checked before anything else, so a refused call leaves the driver as it
// was.
void check_design_value(const char* name, const py::object& value) {
    double v = 0.0;
    if (real_number(value, v) && std::isfinite(v)) return;
    pymodule::raise(PyExc_ValueError, std::string("CMainDravex.Predict: ") + name +
                                          " must be a finite number, got " + shown_value(value));
}

}  // namespace

std::string shown_repr(const py::handle& value) {
    std::string shown = "<unprintable>";
    try {
        // A numpy scalar shows as the Python value it holds, as numpy 1
        // shows it (numpy 2's repr is "np.float64(nan)").
        bool numpy_scalar = false;
        PyObject* mro = Py_TYPE(value.ptr())->tp_mro;
        for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
            const auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
            numpy_scalar = numpy_scalar || std::string(base->tp_name) == "numpy.generic";
        }
        shown = text_of(py::repr(numpy_scalar ? value.attr("item")() : py::reinterpret_borrow<py::object>(value)));
    } catch (py::error_already_set&) {
    }
    if (shown.size() > 60) shown = shown.substr(0, 57) + "...";
    return shown;
}

std::string shown_value(const py::handle& value) {
    return shown_repr(value) + " (" + Py_TYPE(value.ptr())->tp_name + ")";
}

// ------------------------------------------------------------- the models

namespace {

bool path_exists(const py::object& path) {
    return pymodule::truth(global("os").attr("path").attr("exists")(path));
}

}  // namespace

// The geological model of the ISIP column, with the cause named when there
// is none: Process not run or without a play (KeyError), or the model's file
// missing when Process ran (AttributeError, what calling None would raise).
py::object geological_model(const py::object& self, const char* caller) {
    py::object key = global("strISIP");
    py::object models = self.attr("m_geoModelDict");
    PyObject* model = PyObject_GetItem(models.ptr(), key.ptr());
    if (model == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
        PyErr_Clear();
        std::string message = std::string(caller) + ": no models loaded; call Process() first";
        py::object files_dir = self.attr("m_filesDir");
        if (files_dir.is_none()) {
            py::object play = play_folder(self);
            if (!path_exists(play))
                message += " (the play folder \"" + text_of(play) +
                           "\" was not found; name the play folder with CMainDravex(playDir=...))";
        } else {
            message = std::string(caller) + ": no geological model of \"" + text_of(key) +
                      "\" loaded; call Process() first";
        }
        pymodule::raise(PyExc_KeyError, message);
    }
    auto geo = py::reinterpret_steal<py::object>(model);
    if (geo.is_none()) {
        py::object path = join_path(join_path(self.attr("m_filesDir"), global("geoModelFileDir")), key) +
                          py::str(".pickle");
        pymodule::raise(PyExc_AttributeError, std::string(caller) + ": no geological model of \"" + text_of(key) +
                                                  "\": the file \"" + text_of(path) +
                                                  "\" was not there when Process() ran");
    }
    return geo;
}

// The month's production model, or KeyError naming what is missing: the
// first month whose model file the play lacks (Process then loads none), or
// that Process has not been run.
py::object month_model(const py::object& self, const py::object& models, const py::handle& month,
                       const char* caller) {
    PyObject* model = PyObject_GetItem(models.ptr(), month.ptr());
    if (model != nullptr) return py::reinterpret_steal<py::object>(model);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
    PyErr_Clear();
    const std::string head = std::string(caller) + ": no model of month " + text_of(month) + " loaded";
    if (PyUnicode_Check(self.attr("m_filesDir").ptr())) {
        for (const py::handle m : items_of(global("nOutputMonthList"))) {
            py::object path = month_model_path(self, m);
            if (!pymodule::truth(global("os").attr("path").attr("isfile")(path)))
                pymodule::raise(PyExc_KeyError, head + ": the play has no file \"" + text_of(path) +
                                                    "\" (month " + text_of(m) +
                                                    "), so Process() loaded no monthly models");
        }
    }
    pymodule::raise(PyExc_KeyError, head + "; call Process() first");
}

// A month's entry of the bin bounds or bands, or KeyError naming the month
// (Process stopped before that month's test file, or has not run).
py::object month_entry(const py::object& entries, const py::handle& month, const char* what,
                       const char* caller) {
    PyObject* entry = PyObject_GetItem(entries.ptr(), month.ptr());
    if (entry != nullptr) return py::reinterpret_steal<py::object>(entry);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
    PyErr_Clear();
    pymodule::raise(PyExc_KeyError, std::string(caller) + ": no " + what + " of month " +
                                        text_of(month) + "; Process() has not finished the months' bands");
}

// numBins as the count of bins it names (an integer, or what can stand for one).
long bin_count(const py::object& num_bins) {
    PyObject* index = PyNumber_Index(num_bins.ptr());
    if (index == nullptr) throw py::error_already_set();
    const long count = PyLong_AsLong(index);
    Py_DECREF(index);
    if (count == -1 && PyErr_Occurred()) throw py::error_already_set();
    return count;
}

void raise_no_band(const char* caller, const py::handle& month, const char* prob, long bin,
                   const std::string& where) {
    pymodule::raise(PyExc_TypeError, std::string(caller) + ": month " + text_of(month) + " has no " + prob +
                                         " band in bin " + std::to_string(bin) + where + ": none of its test rows (" +
                                         text_of(global("modelPredictTestFile")) +
                                         ") had a model value in that bin");
}

void check_process_succeeded(const py::object& self, const char* caller) {
    py::object failure = py::getattr(self, "m_processError", py::none());
    if (failure.is_none()) return;
    const std::string message = std::string(caller) + ": the last Process() failed, so the play is not loaded: " +
                                text_of(failure) + " (mend the play and call Process() again)";
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(failure.ptr()));
    PyObject* error = PyObject_CallFunction(type, "s", message.c_str());
    if (error == nullptr || PyObject_IsInstance(error, type) != 1) {
        Py_XDECREF(error);
        PyErr_Clear();
        type = PyExc_RuntimeError;
        error = PyObject_CallFunction(type, "s", message.c_str());
        if (error == nullptr) throw py::error_already_set();
    }
    PyException_SetCause(error, failure.inc_ref().ptr());  // steals the reference
    PyErr_SetObject(type, error);
    Py_DECREF(error);
    throw py::error_already_set();
}

namespace {

// ------------------------------------------------------------- the months

// What a prediction keeps in the driver: the raw model outputs and the
// P10/P90 outputs, month by month.
struct MonthlyOutputs {
    py::list outputs;
    py::list p10;
    py::list p90;
    py::dict with_prob;
};

// The ISIP of the well's location, from the geological model.
py::object estimate_isip(const py::object& geo, const py::object& lat, const py::object& lon) {
    py::list point;
    point.append(lat);
    point.append(lon);
    py::list rows;
    rows.append(point);
    return pymodule::item(geo.attr("predict")(rows), py::int_(0));
}

// The bin of a month's output: the core's rule over the interpreter's
// comparisons of the output with the month's bounds.
long output_bin(const py::object& output, const py::object& month_bounds, long num_bins) {
    return quon::output_bin(num_bins, [&](long k) {
        py::object bound = pymodule::item(month_bounds, py::int_(k));
        const int below = PyObject_RichCompareBool(output.ptr(), bound.ptr(), Py_LT);
        if (below < 0) throw py::error_already_set();
        return below == 1;
    });
}

// A band value of the month's bin; TypeError naming the month when the bin
// had no test rows (its band is None), as 1 + None would raise.
py::object band_value(const py::object& band, const char* prob, const py::handle& month, long bin) {
    py::object value = pymodule::item(band, prob);
    if (value.is_none()) raise_no_band(kPredict, month, prob, bin, "");
    return value;
}

// The month's output through the booster Process loaded for the model,
// with the GIL released (a numpy float32, as the model's predict(...)[0]
// gives it); nothing when the model's own predict must run.
std::optional<py::object> library_output(const MonthlyModel& m, const py::object& model,
                                         const std::optional<std::vector<double>>& row) {
    if (!row || !m.native_for(model)) return std::nullopt;
    quon::RowPrediction p;
    {
        py::gil_scoped_release release;
        p = quon::predict_row(m.booster->handle(), *row, m.request);
    }
    if (p.status != quon::RowStatus::ok) return std::nullopt;
    return np_float32(p.value);
}

// Every month's model on the feature row, its output widened by the band
// of its bin to P10 and P90.
void run_monthly_models(const py::object& self, const py::list& features, const py::list& months,
                        MonthlyOutputs& out) {
    py::object model_dict = self.attr("m_modelDict");
    py::object bound_list = self.attr("m_boundList");
    py::object prob_binned = self.attr("m_modelProbBinned");
    const long num_bins = bin_count(global("numBins"));
    const std::optional<std::vector<double>> row = native_row(features);
    // np.array([varList]), made once; the one-row table of the models that
    // run their own predict is handed to every such month whose model takes
    // the same table as the previous one: the models only read it.
    py::list rows;
    rows.append(features);
    py::object array, table, table_columns;
    bool table_frame = false;
    for (const py::handle month : months) {
        py::object model = month_model(self, model_dict, month, kPredict);
        const MonthlyModel m = monthly_model(self, month, model);
        std::optional<py::object> output = library_output(m, model, row);
        if (!output) {
            if (!array) array = global("np").attr("array")(rows);
            if (!table || table_frame != m.frame || (m.frame && !table_columns.equal(m.columns))) {
                table = model_table(m, array);
                table_columns = m.columns;
                table_frame = m.frame;
            }
            output = pymodule::item(model.attr("predict")(table), py::int_(0));
        }
        out.outputs.append(*output);

        const long bin = output_bin(*output, month_entry(bound_list, month, "bin bounds", kPredict), num_bins);
        py::object band = pymodule::item(month_entry(prob_binned, month, "P10/P90 band", kPredict), py::int_(bin));
        out.p10.append(*output * (py::int_(1) + band_value(band, "P10", month, bin)));
        out.p90.append(*output * (py::int_(1) + band_value(band, "P90", month, bin)));
    }
}

// [0] followed by the items of `values`.
py::list from_zero(const py::handle& values) {
    py::list out;
    out.append(0);
    for (const py::handle v : items_of(values)) out.append(v);
    return out;
}

// The three decline fits: the model series, then P10 and P90.
struct DeclineFits {
    py::object rate, cumulative;
    py::dict rate_prob, cumulative_prob;
};

DeclineFits fit_declines(const py::object& self, const py::list& t_model, const MonthlyOutputs& out) {
    DeclineFits fits;
    py::object history_match = self.attr("m_historyMatch");
    py::object fitted = history_match.attr("GetMatchLists")(t_model, from_zero(out.outputs));
    fits.rate = pymodule::item(fitted, py::int_(0));
    fits.cumulative = pymodule::item(fitted, py::int_(1));
    for (const char* prob : {"P10", "P90"}) {
        py::object fit = history_match.attr("GetMatchLists")(t_model,
                                                             from_zero(pymodule::item(out.with_prob, prob)));
        fits.rate_prob[prob] = pymodule::item(fit, py::int_(0));
        fits.cumulative_prob[prob] = pymodule::item(fit, py::int_(1));
    }
    return fits;
}

// (rate_time_df, cumulative_time_df), built from column dictionaries.
py::tuple forecast_tables(const py::list& t_model, const DeclineFits& fits,
                          const py::object& model_output) {
    py::object data_frame = global("pd").attr("DataFrame");
    py::dict rates;
    rates["Month"] = t_model;
    rates["P90"] = pymodule::item(fits.rate_prob, "P90");
    rates["q"] = fits.rate;
    rates["P10"] = pymodule::item(fits.rate_prob, "P10");
    py::dict cumulatives;
    cumulatives["Month"] = t_model;
    cumulatives["P90"] = pymodule::item(fits.cumulative_prob, "P90");
    cumulatives["Q"] = fits.cumulative;
    cumulatives["P10"] = pymodule::item(fits.cumulative_prob, "P10");
    cumulatives["Model Output"] = model_output;
    return py::make_tuple(data_frame(rates), data_frame(cumulatives));
}

// The names of the feature row's values in Predict's messages.
const std::array<std::string, quon::kFeatureCount>& argument_names() {
    static const std::array<std::string, quon::kFeatureCount> names = {
        "lat", "lon", "frac_stages", "the estimated ISIP", "well_len", "frac_spacing", "fluid_vol"};
    return names;
}

std::vector<double> doubles_of(const py::list& values) {
    std::vector<double> out(values.size(), NAN);
    for (std::size_t k = 0; k < values.size(); ++k) real_number(values[k], out[k]);
    return out;
}

// A design that is not a well is refused (the arguments are finite numbers).
void check_is_well(const py::object& lat, const py::object& lon, const py::object& frac_stages,
                   const py::object& well_len, const py::object& frac_spacing, const py::object& fluid_vol) {
    py::list values;
    for (const py::object& v : {lat, lon, frac_stages, py::object(py::float_(0.0)), well_len, frac_spacing, fluid_vol})
        values.append(v);
    const std::vector<double> row = doubles_of(values);
    const quon::WellCheck check = quon::check_well(row.data());
    if (check.fault != quon::WellFault::none)
        pymodule::raise(PyExc_ValueError, std::string(kPredict) + ": " +
                                              well_fault_text(check, row.data(), argument_names()) +
                                              ": not a well that can be built");
}

// The forecast's warnings: the values outside the play's envelope, and the
// falls of the raw cumulative.
void warn_of_forecast(const py::object& self, const py::list& features, const py::list& outputs,
                      const py::list& months) {
    const std::vector<double> row = doubles_of(features);
    if (const std::optional<quon::DesignEnvelope> envelope = driver_envelope(self)) {
        const quon::OutsideMask mask = quon::outside_envelope(*envelope, row.data());
        if (mask != 0) {
            std::string message = std::string(kPredict) + ": the forecast extrapolates: ";
            const std::vector<std::string> items = outside_items(mask, row.data(), *envelope, argument_names());
            for (std::size_t k = 0; k < items.size(); ++k) message += (k ? "; " : "") + items[k];
            warn("ExtrapolationWarning", message);
        }
    }
    const std::vector<double> values = doubles_of(outputs);
    const quon::Falls falls = quon::cumulative_falls(values.data(), values.size());
    if (falls.count > 0) {
        const std::string before = falls.first == 0 ? "0" : text_of(months[falls.first - 1]);
        warn("FallingOutputWarning",
             std::string(kPredict) + ": the monthly models' raw cumulative (\"Model Output\") falls at " +
                 std::to_string(falls.count) + " of " + std::to_string(values.size()) + " steps, first from month " +
                 before + " to month " + text_of(months[falls.first]) +
                 ": the models disagree there, and the fitted curves hide it");
    }
}

}  // namespace

py::object predict(py::object self, py::object lat, py::object lon, py::object frac_stages,
                   py::object well_len, py::object frac_spacing, py::object fluid_vol, py::object) {
    check_design_value("lat", lat);
    check_design_value("lon", lon);
    check_design_value("frac_stages", frac_stages);
    check_design_value("well_len", well_len);
    check_design_value("frac_spacing", frac_spacing);
    check_design_value("fluid_vol", fluid_vol);
    check_is_well(lat, lon, frac_stages, well_len, frac_spacing, fluid_vol);
    DriverLock lock(self);
    check_process_succeeded(self, kPredict);

    py::object isip = estimate_isip(geological_model(self, kPredict), lat, lon);
    py::list features;
    for (const py::object& v : {lat, lon, frac_stages, isip, well_len, frac_spacing, fluid_vol})
        features.append(v);

    MonthlyOutputs out;
    out.with_prob["P10"] = out.p10;
    out.with_prob["P90"] = out.p90;
    self.attr("m_modelOutputList") = out.outputs;
    self.attr("m_modelOutputWithProbList") = out.with_prob;
    const py::list months = items_of(global("nOutputMonthList"));
    run_monthly_models(self, features, months, out);

    const py::list t_model = from_zero(months);
    const DeclineFits fits = fit_declines(self, t_model, out);
    const py::list raw_outputs = items_of(out.outputs);
    py::object model_output = self.attr("m_modelOutputList");
    model_output.attr("insert")(0, 0);
    py::tuple tables = forecast_tables(t_model, fits, model_output);
    warn_of_forecast(self, features, raw_outputs, months);
    return tables;
}

}  // namespace quon_py
