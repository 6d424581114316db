// Shared by the Python-facing units of the forecasting module `quon`
// (main_quon.cpp, py_*.cpp, serializer.cpp): the module's definition, access
// to its namespace at call time, the way its plain classes are made, and
// the reading of numbers the way the interpreter's own arithmetic reads them.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "booster_inference.hpp"
#include "decline_fit.hpp"
#include "design_envelope.hpp"
#include "errors.hpp"
#include "module_def.hpp"

namespace quon_py {

namespace py = pybind11;

struct QuonModule {
    static constexpr const char* name = "quon";
    static constexpr const char* doc = nullptr;
    // The module body, top to bottom: imports, vocabulary and constants,
    // then the five classes (main_quon.cpp).
    static void body(py::module_ m);
};
using Module = pymodule::Module<QuonModule>;

// A name of the module namespace, looked up now: a host that rebinds a
// module attribute (a constant, `np`, `curve_fit`, a class) is seen by the
// next call. NameError when the name has been deleted.
py::object global(const char* name);

// The platform's path separator (the `sep` of the module's `os`).
py::object sep();

// left + sep + right, with Python's `+`, so a non-text part raises the
// interpreter's own TypeError.
py::object join_path(const py::object& left, const py::object& right);

// ------------------------------------------------------------------ classes

using Method = std::pair<std::string, py::object>;
using MethodList = std::vector<Method>;

// A function of a class: `self` first, then `extra` (the py::arg names),
// with "name(args)\n--\n\ntext" as its docstring, from which the interpreter
// takes its text signature.
template <typename F, typename... Extra>
Method method(const char* name, const char* args, const char* text, F fn, Extra... extra) {
    py::options options;
    options.disable_function_signatures();
    const std::string doc = pymodule::signature_doc(std::string(name) + "(" + args + ")", text);
    return {name, py::cpp_function(fn, py::name(name), py::arg("self"), extra..., doc.c_str())};
}

// A class of the module as `class <name>:` would make it: base `object`,
// plain `type` as its metaclass, instances with an ordinary __dict__, and
// the given functions as ordinary instance methods in the given order
// (names of private methods are passed already mangled).
py::object make_class(const char* name, const MethodList& methods);

// use(resource), then resource.close(), also when use fails; the error of
// use is the one the caller sees.
template <typename Use>
py::object use_then_close(const py::object& resource, Use&& use) {
    py::object result;
    try {
        result = use(resource);
    } catch (py::error_already_set&) {
        try {
            resource.attr("close")();
        } catch (py::error_already_set&) {
        }
        throw;
    }
    resource.attr("close")();
    return result;
}

// Items of an iterable, taken once (a generator can be walked only once).
py::list items_of(py::handle iterable);

// Raises the error `e` again, named after the file it came from: an error of
// the same type whose message is `context` + ": " + the original message,
// with the original as its cause. An error that already names `path`, or
// whose type cannot be made from a message alone (OSError's family keeps
// its errno this way), is raised again unchanged, with `context` as a note.
// Errors that are not Exceptions (KeyboardInterrupt, ...) pass unchanged.
[[noreturn]] void raise_in_context(py::error_already_set& e, const std::string& context,
                                   const std::string& path);

// Text of an object: str(o).
std::string text_of(py::handle o);

// ------------------------------------------------------------- driver lock

// Holds the lock of one driver while Process or Predict runs, so that calls
// on one driver from several threads run one after the other, each with the
// tables of its own arguments. The lock is a threading.RLock (a thread may
// call again from inside, e.g. a model's predict calling Predict), kept in a
// registry keyed by the driver's identity, since the driver's attributes
// are fixed; it is dropped when the driver is collected. Waiting for it
// releases the GIL: a thread that holds it while its native predictions run
// without the GIL is never blocked by one that waits.
class DriverLock {
public:
    explicit DriverLock(const py::handle& driver);
    ~DriverLock();
    DriverLock(const DriverLock&) = delete;
    DriverLock& operator=(const DriverLock&) = delete;

private:
    py::object lock_;
};

// ------------------------------------------------------------------ numbers

// numpy's float64, float32 and int64 types and its integer and floating
// kinds, taken once numpy is imported; held for the life of the process.
void keep_numpy_types(py::handle np);

// Integers up to this size are doubles exactly.
inline constexpr long long kExactInt = 1LL << 53;

// A number that double arithmetic treats exactly as the interpreter would:
// a float (numpy's float64 included) or an integer (int, numpy int64) of at
// most `int_limit` in size. Anything else (bool, Fraction, arrays, text,
// larger integers) is not plain.
bool plain_number(py::handle o, double& out, long long int_limit = kExactInt);

// Whether o is a plain integer (int or numpy int64).
bool is_integer(py::handle o);

bool is_numpy_scalar(py::handle o);

bool is_float64(py::handle o);  // exactly numpy's float64
bool is_float32(py::handle o);  // exactly numpy's float32

// A real number as a caller means one: an int or float (subclasses
// included), or a numpy integer or floating scalar; bool and numpy's bool
// are not numbers here. `out` is its value as a double (infinite for an
// int too large for one).
bool real_number(py::handle o, double& out);

// A numpy float32 scalar of value v.
py::object np_float32(float v);

// A numpy float64 scalar of value v.
py::object np_float(double v);

// A list of numpy float64 scalars, as elementwise numpy arithmetic gives them.
py::list float64_list(const std::vector<double>& values);

// numpy's power of every base to one exponent, in one call.
std::vector<double> np_powers(const std::vector<double>& bases, double exponent);

// ----------------------------------------------------- monthly predictions

// The production model's path of a month: play data directory, modelDir,
// the month's sub-directory and modelFile, joined by the separator
// (py_driver.cpp).
py::object month_model_path(const py::object& self, const py::handle& month);

// The feature row as the doubles of the float64 row numpy would make of it,
// or nothing when numpy would make another type (py_booster.cpp).
std::optional<std::vector<double>> native_row(const py::list& features);

// How a month's model is run (py_booster.cpp). Process decides it once per
// model: an xgboost model (an instance of xgboost.XGBModel) is serialised
// by its booster's save_raw and loaded into the booster library this
// module links, and that booster is kept when its predictions of probe
// rows agree with the model's own predict; every other model, and an
// xgboost model that does not pass, is called through its own predict
// with the table it takes.
struct MonthlyModel {
    py::object model;                              // the model this is for
    std::shared_ptr<quon::LoadedBooster> booster;  // null: the model's own predict
    quon::InplaceRequest request;                  // missing value, iteration range
    // The table the model's own predict takes: a DataFrame with these
    // column names (an xgboost model's booster feature names, None
    // included; a scikit-learn model's feature_names_in_), or, when `frame`
    // is false, the plain 2-D float64 array.
    py::object columns;
    bool frame = true;
    // Whether the booster may stand for `model` in this call: the same
    // object, of the same class, with the same predict.
    bool native_for(const py::object& model) const;
    py::object predict_function;  // the predict Process checked
};

// Checks the driver's monthly models (m_modelDict) as above and keeps
// what it found for the driver, replacing what an earlier Process kept.
void keep_monthly_models(const py::object& self);

// The road of `model`, the driver's model of `month` now: what Process
// kept for it, or (a model put in since) its own predict.
MonthlyModel monthly_model(const py::object& self, const py::handle& month, const py::object& model);

// The table of `rows` (a 2-D float64 array, or what np.array makes of a
// list of rows) that the month's model's own predict takes.
py::object model_table(const MonthlyModel& m, const py::object& rows);

// ------------------------------------------ the driver's loaded models
// (py_predict.cpp). `caller` names the method in the messages.

// repr(value), cut to 60 characters ("<unprintable>" when repr fails; a
// numpy scalar as the Python value it holds) ...
std::string shown_repr(const py::handle& value);
// ... and with its type: "nan (float)".
std::string shown_value(const py::handle& value);

// The geological model of the ISIP column; KeyError when Process has not
// loaded it (naming a missing play folder), AttributeError when its file
// was missing.
py::object geological_model(const py::object& self, const char* caller);

// The month's production model of `models`; KeyError naming the missing
// model file, or that Process has not run.
py::object month_model(const py::object& self, const py::object& models, const py::handle& month,
                       const char* caller);

// A month's entry of the bin bounds or bands (`what`); KeyError naming the
// month when Process has not finished it.
py::object month_entry(const py::object& entries, const py::handle& month, const char* what,
                       const char* caller);

// numBins as the count of bins it names (an integer, or what can stand for one).
long bin_count(const py::object& num_bins);

// TypeError: the month's bin has no band (none of its test rows fell in
// it); `where` is added after the bin ("" or ", row label ...").
[[noreturn]] void raise_no_band(const char* caller, const py::handle& month, const char* prob, long bin,
                                const std::string& where);

// ------------------------------------- what a forecast is trusted for
// (py_envelope.cpp, over design_envelope.hpp)

// The monthly models' feature columns of the module vocabulary, in the
// order of the feature row.
std::array<std::string, quon::kFeatureCount> feature_columns();

// Why a design is not a well, the values named by `names`.
std::string well_fault_text(const quon::WellCheck& check, const double* row,
                            const std::array<std::string, quon::kFeatureCount>& names);

// The core's envelope of a play's envelope description (the mapping of
// its file, docs/forecast-plays.md); ValueError naming `where` and the
// entry at fault.
quon::DesignEnvelope envelope_from(const py::object& described, const std::string& where);

// The envelope Process read for the driver (m_designEnvelope), or nothing
// when its play has none.
std::optional<quon::DesignEnvelope> driver_envelope(const py::object& self);

// "name value lies outside ..." for every quantity outside.
std::vector<std::string> outside_items(quon::OutsideMask mask, const double* row, const quon::DesignEnvelope& envelope,
                                       const std::array<std::string, quon::kFeatureCount>& names);

// The names of the quantities outside, ", " between them ("" for none).
std::string outside_columns(quon::OutsideMask mask, const std::array<std::string, quon::kFeatureCount>& names);

// Warns with the module's warning class `category` (a name of the module).
void warn(const char* category, const std::string& message);

// The play's envelope file (envelopeFile in files_dir) read and checked,
// or None when the play has none.
py::object play_envelope(const py::object& files_dir);

// The bytes of the play file `path` when files_dir holds a manifest
// (manifestFile), after their SHA-256 has been checked against it;
// ValueError naming the file when it is not listed or has changed.
// Nothing when the play has no manifest.
std::optional<py::bytes> checked_play_file(const py::object& files_dir, const py::object& path);

// That the driver's last Process did not fail; else the error of that
// failure again, in `caller`'s name (py_predict.cpp).
void check_process_succeeded(const py::object& self, const char* caller);

// The play folder Process reads: the driver's playDir, or DataFiles/<play>
// beside the module (py_driver.cpp).
py::object play_folder(const py::object& self);

// ---------------------------------------------------------- the module body

void bind_vocabulary(py::module_ m);     // py_vocabulary.cpp
py::object make_geological_model_class();  // py_driver.cpp
py::object make_serializer_class();      // serializer.cpp
py::object make_history_match_class();   // py_decline.cpp
py::object make_q_calculator_class();    // py_decline.cpp
py::object make_driver_class();          // py_driver.cpp

// ---------------------------------------------------------- the decline fit

// Whether self's GetCumulativeList, and the per-element function it falls
// back on, are CHistoryMatch's own (py_decline.cpp).
bool cumulative_list_is_own(const py::object& self);

// The core's fit of the series where it stands for curve_fit's fit of the
// class's own model to plain data (py_fit.cpp): the fit (converged, or
// out of evaluations), the times and the settings it was made with;
// nothing when curve_fit must be called.
struct NativeFit {
    quon::ArpsFit fit;
    std::vector<double> t;
    quon::ArpsFitSettings settings;
};
std::optional<NativeFit> fit_natively(const py::object& self, const py::object& t_list, const py::object& q_list);

// CMainDravex.Predict (py_predict.cpp).
py::object predict(py::object self, py::object lat, py::object lon, py::object frac_stages,
                   py::object well_len, py::object frac_spacing, py::object fluid_vol, py::object isip);

// CMainDravex.PredictBatch (py_predict_batch.cpp).
py::object predict_batch(py::object self, py::object designs);

}  // namespace quon_py
