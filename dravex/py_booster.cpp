// The monthly models' road, decided once per model in Process: an xgboost
// model's booster, serialised by the package's public Booster.save_raw, is
// loaded into the booster library this module links (booster_inference.hpp)
// and predicts there with the GIL released; any other model runs through
// its own predict. Nothing of the package is read per call.
//
// An xgboost model (an instance of xgboost.XGBModel, the package's
// scikit-learn regressor and its kin) takes the library road when:
// - its booster serialises ("ubj") and the linked library loads it (a
//   model of a newer library may not load into an older one);
// - the request its own predict would make is known from public settings:
//   get_params()'s `missing` (a real number) and `booster` ("gblinear"
//   predicts with every round), and best_iteration (the trees up to it,
//   when the model was fitted with early stopping);
// - on probe rows of the play's kind the loaded booster's predictions agree
//   with the model's own predict on the one-row table Predict builds, to
//   1e-6 (they are the same library's float32 computation, so in practice
//   equal).
// Per call the road is taken only for the very model Process checked, of
// the same class, with the same predict (a host that puts in another model
// or wraps predict after Process gets its own predict called).
//
// Every other model (a scikit-learn random forest or linear model, a
// wrapper, an xgboost model that does not pass) is called through its own
// predict with the table it takes: a DataFrame labelled with the booster's
// feature names for a model with get_booster, with feature_names_in_ for a
// model fitted on a DataFrame, else the plain 2-D float64 array.
#include <pybind11/numpy.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "booster_inference.hpp"
#include "py_face.hpp"

namespace quon_py {

namespace {

using namespace pybind11::literals;

// Feature rows the probe predicts: the play's middle and one of its
// corners (latitude, longitude, stages, ISIP, lateral, stage length, fluid).
constexpr double kProbeRows[2][7] = {{41.7, -76.6, 20.0, 8000.0, 5000.0, 250.0, 1500.0},
                                     {41.4, -77.5, 40.0, 6500.0, 8000.0, 120.0, 2800.0}};
constexpr double kProbeTolerance = 1e-6;

struct DriverModels {
    py::object weakref;
    py::dict index;  // month -> position in `models`
    std::vector<MonthlyModel> models;
};

// Driver's address -> what Process kept. Touched only with the GIL held;
// never freed (entries may outlive the interpreter's finalisation).
std::unordered_map<PyObject*, std::shared_ptr<DriverModels>>& registry() {
    static auto* r = new std::unordered_map<PyObject*, std::shared_ptr<DriverModels>>();
    return *r;
}

// The entry of a driver, made (with a weak reference that drops it when the
// driver goes) when there is none.
std::shared_ptr<DriverModels>& entry_of(const py::handle& driver) {
    auto& r = registry();
    PyObject* key = driver.ptr();
    auto found = r.find(key);
    if (found != r.end()) return found->second;
    py::cpp_function forget([key](py::handle weakref) {
        auto& entries = registry();
        auto it = entries.find(key);
        if (it != entries.end() && it->second->weakref.ptr() == weakref.ptr()) entries.erase(it);
    });
    PyObject* ref = PyWeakref_NewRef(key, forget.ptr());
    if (ref == nullptr) throw py::error_already_set();
    auto models = std::make_shared<DriverModels>();
    models->weakref = py::reinterpret_steal<py::object>(ref);
    return r.emplace(key, std::move(models)).first->second;
}

// An attribute, or nothing (the error cleared) when it is missing.
py::object attribute(const py::handle& o, const char* name) {
    PyObject* v = PyObject_GetAttrString(o.ptr(), name);
    if (v == nullptr) {
        PyErr_Clear();
        return py::object();
    }
    return py::reinterpret_steal<py::object>(v);
}

// The function behind a bound method (or the attribute itself).
PyObject* function_of(const py::object& method) {
    if (method && PyMethod_Check(method.ptr())) return PyMethod_GET_FUNCTION(method.ptr());
    return method ? method.ptr() : nullptr;
}

// xgboost.XGBModel, when the package has been imported (unpickling an
// xgboost model imports it; this module does not).
py::object xgb_model_class() {
    PyObject* module = PyImport_GetModule(py::str("xgboost").ptr());
    if (module == nullptr) {
        PyErr_Clear();
        return py::object();
    }
    return attribute(py::reinterpret_steal<py::object>(module), "XGBModel");
}

// `missing` as a JSON number.
std::optional<std::string> missing_json(const py::object& missing) {
    double v = 0.0;
    if (!real_number(missing, v)) return std::nullopt;
    if (std::isnan(v)) return std::string("NaN");
    if (std::isinf(v)) return std::string(v > 0 ? "Infinity" : "-Infinity");
    return text_of(py::repr(py::float_(v)));
}

// The library's request the model's own predict makes, from its public
// settings; nothing when they cannot be read so.
std::optional<quon::InplaceRequest> request_of(const py::object& model) {
    quon::InplaceRequest request;
    const py::dict params = model.attr("get_params")();
    if (!params.contains("missing")) return std::nullopt;
    const std::optional<std::string> missing = missing_json(params["missing"]);
    if (!missing) return std::nullopt;
    request.missing_json = *missing;
    const bool linear = params.contains("booster") && py::str(params["booster"]).equal(py::str("gblinear"));
    if (!linear) {
        PyObject* best = PyObject_GetAttrString(model.ptr(), "best_iteration");
        if (best == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();  // no early stopping: every round
        } else {
            const long long b = py::reinterpret_steal<py::object>(best).cast<long long>();
            if (b < 0) return std::nullopt;
            request.iteration_end = b + 1;
        }
    }
    return request;
}

// The model's own first output for one feature row, as Predict asks it.
double own_output(const MonthlyModel& m, const double (&row)[7]) {
    py::list values;
    for (double v : row) values.append(v);
    py::list rows;
    rows.append(values);
    py::object out = pymodule::item(m.model.attr("predict")(model_table(m, global("np").attr("array")(rows))),
                                    py::int_(0));
    return py::cast<double>(py::float_(out));
}

// The loaded booster, kept when it predicts the probe rows as the model does.
void try_library_road(MonthlyModel& m) {
    try {
        const std::optional<quon::InplaceRequest> request = request_of(m.model);
        if (!request) return;
        // A bytearray (or bytes) of the serialised model.
        const py::object raw = m.model.attr("get_booster")().attr("save_raw")("raw_format"_a = "ubj");
        const std::string model = py::bytes(py::module_::import("builtins").attr("bytes")(raw));
        std::string error;
        std::shared_ptr<quon::LoadedBooster> booster = quon::LoadedBooster::load(model.data(), model.size(), error);
        if (!booster) return;
        for (const auto& row : kProbeRows) {
            const quon::RowPrediction got =
                quon::predict_row(booster->handle(), std::vector<double>(row, row + 7), *request);
            if (got.status != quon::RowStatus::ok) return;
            const double want = own_output(m, row);
            if (!(std::fabs(static_cast<double>(got.value) - want) <= kProbeTolerance * std::fabs(want))) return;
        }
        m.booster = std::move(booster);
        m.request = *request;
    } catch (py::error_already_set& e) {
        // A model whose settings or predict fail here runs its own predict,
        // whose error Predict then reports; what is not an Exception goes on.
        if (!e.matches(PyExc_Exception)) throw;
    }
}

// The road of a model with its own predict: the table it takes.
MonthlyModel own_road(const py::object& model) {
    MonthlyModel m;
    m.model = model;
    m.predict_function = py::reinterpret_borrow<py::object>(function_of(attribute(model, "predict")));
    if (py::object get_booster = attribute(model, "get_booster")) {
        m.columns = get_booster().attr("feature_names");
    } else if (py::object names = attribute(model, "feature_names_in_")) {
        m.columns = items_of(names);
    } else {
        m.frame = false;
    }
    return m;
}

}  // namespace

bool MonthlyModel::native_for(const py::object& candidate) const {
    if (!booster || candidate.ptr() != model.ptr()) return false;
    return function_of(attribute(candidate, "predict")) == predict_function.ptr();
}

py::object model_table(const MonthlyModel& m, const py::object& rows) {
    if (!m.frame) return rows;
    return global("pd").attr("DataFrame")(rows, "columns"_a = m.columns);
}

void keep_monthly_models(const py::object& self) {
    auto kept = std::make_shared<DriverModels>();
    const py::object models = self.attr("m_modelDict");
    const py::object xgb_model = xgb_model_class();
    for (const py::handle month : items_of(global("nOutputMonthList"))) {
        PyObject* found = PyObject_GetItem(models.ptr(), month.ptr());
        if (found == nullptr) {
            PyErr_Clear();
            continue;
        }
        const auto model = py::reinterpret_steal<py::object>(found);
        MonthlyModel m;
        try {
            m = own_road(model);
        } catch (py::error_already_set& e) {
            // A model whose booster or names cannot be had: nothing kept, so
            // that Predict meets (and reports) the same error.
            if (!e.matches(PyExc_Exception)) throw;
            continue;
        }
        if (xgb_model && PyObject_IsInstance(model.ptr(), xgb_model.ptr()) == 1) try_library_road(m);
        PyErr_Clear();
        kept->index[month] = kept->models.size();
        kept->models.push_back(std::move(m));
    }
    std::shared_ptr<DriverModels>& entry = entry_of(self);
    kept->weakref = entry->weakref;
    entry = std::move(kept);
}

MonthlyModel monthly_model(const py::object& self, const py::handle& month, const py::object& model) {
    auto& r = registry();
    auto found = r.find(self.ptr());
    if (found != r.end()) {
        const DriverModels& kept = *found->second;
        PyObject* position = PyDict_GetItemWithError(kept.index.ptr(), month.ptr());
        if (position == nullptr && PyErr_Occurred()) throw py::error_already_set();
        if (position != nullptr) {
            const MonthlyModel& m = kept.models[PyLong_AsSize_t(position)];
            if (m.model.ptr() == model.ptr()) return m;
        }
    }
    return own_road(model);
}

std::optional<std::vector<double>> native_row(const py::list& features) {
    std::vector<double> row;
    bool any_float = false;
    for (const py::handle f : features) {
        double v = 0.0;
        const bool is_float = PyFloat_CheckExact(f.ptr()) || is_float64(f);
        if (!is_float && !(PyLong_CheckExact(f.ptr()) || is_integer(f))) return std::nullopt;
        if (!plain_number(f, v)) return std::nullopt;  // ints beyond 2^53 included
        any_float = any_float || is_float;
        row.push_back(v);
    }
    if (!any_float) return std::nullopt;
    return row;
}

}  // namespace quon_py
