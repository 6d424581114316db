// The monthly models' predictions through the booster library's C API
// (booster_inference.hpp), for the models whose own predict would hand the
// one-row feature table to that library anyway: the package's per-call work
// around the library call (the sklearn parameter dictionary, the table's
// checks and conversion, the configuration context) is most of a
// prediction's time, and the library call itself runs here with the GIL
// released.
//
// The road is taken only when every check of the package's predict says it
// would take its in-place road for the table Predict builds, with the same
// booster handle, configuration and data; otherwise (and whenever something
// is unusual) the model's own predict is called, so the outputs are the
// package's bit for bit either way:
//
// - the interpreter's xgboost package loaded the very library file this
//   module is linked to (a package with its own bundled library hands out
//   handles that are not valid here);
// - the model is an XGBRegressor (or XGBModel) whose predict, get_booster,
//   parameter and iteration-range methods are the package's own, not
//   replaced on the class since first seen nor shadowed on the instance;
// - its parameters read as the package reads them: every constructor
//   parameter present and a plain value (None, bool, int, float, text,
//   list, tuple, dict), so reading them has no side effect (a numpy
//   RandomState as random_state would be advanced); predictor None or
//   "auto" (after the kwargs the package merges in); booster not "gblinear";
//   missing a plain float or int;
// - the booster is the package's Booster with its own methods and a live
//   handle; its best_iteration, when set, gives the iteration range as the
//   package's does (0 to best_iteration + 1);
// - the library reports feature names, as many as the row's seven values
//   and as the booster's feature count, none categorical, and one value for
//   the row (booster_inference.hpp);
// - the feature row is one numpy makes float64: floats and numpy float64,
//   and ints and numpy int64 of at most 2^53 in size, at least one a float.
#include <cmath>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "booster_inference.hpp"
#include "py_face.hpp"

namespace quon_py {

namespace {

// The package's classes and the functions of their methods, taken when the
// package is first met (the models' unpickling imports it; this module does
// not). Owned, never released, like the module's own classes.
struct PackageObjects {
    PyObject* model_type = nullptr;      // xgboost.sklearn.XGBModel
    PyObject* regressor_type = nullptr;  // xgboost.sklearn.XGBRegressor
    PyObject* booster_type = nullptr;    // xgboost.core.Booster
    std::vector<PyObject*> model_method_names;    // kModelMethods, interned
    std::vector<PyObject*> model_methods;         // XGBModel.__dict__[name] of each
    std::vector<PyObject*> booster_method_names;  // kBoosterMethods, interned
    std::vector<PyObject*> booster_methods;       // Booster.__dict__[name] of each
    std::vector<PyObject*> param_names;      // the constructor parameters of XGBRegressor
    std::vector<PyObject*> model_param_names;  // those of XGBModel
};

const char* const kModelMethods[] = {"predict",        "get_booster",     "_can_use_inplace_predict",
                                     "_get_iteration_range", "get_params", "get_xgb_params",
                                     "best_iteration", "_early_stopping_attr"};
const char* const kBoosterMethods[] = {"inplace_predict", "num_features", "_validate_features",
                                       "feature_names", "feature_types"};

PackageObjects* g_package = nullptr;

// The library file the package loaded, and whether it is this module's.
struct LibraryVerdict {
    std::string name;  // xgboost.core._LIB._name as last seen
    bool same = false;
};
LibraryVerdict* g_verdict = nullptr;

std::vector<PyObject*> interned(const char* const* names, std::size_t n) {
    std::vector<PyObject*> out;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* s = PyUnicode_InternFromString(names[i]);
        if (s == nullptr) throw py::error_already_set();
        out.push_back(s);  // owned for the life of the process
    }
    return out;
}

// A module of sys.modules, or nothing when it has not been imported.
py::object imported(const char* name) {
    PyObject* m = PyImport_GetModule(py::str(name).ptr());
    if (m == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    }
    return py::reinterpret_steal<py::object>(m);
}

// The sorted names of the constructor parameters of `cls`, as sklearn reads
// them, owned.
std::vector<PyObject*> constructor_params(const py::object& cls) {
    std::vector<PyObject*> names;
    for (const py::handle name : items_of(cls.attr("_get_param_names")())) {
        PyObject* s = name.ptr();
        if (!PyUnicode_CheckExact(s)) continue;
        Py_INCREF(s);
        PyUnicode_InternInPlace(&s);
        names.push_back(s);
    }
    return names;
}

std::vector<PyObject*> class_functions(const py::object& cls, const std::vector<PyObject*>& names) {
    std::vector<PyObject*> out;
    const py::dict dict = cls.attr("__dict__").attr("copy")();
    for (PyObject* name : names) {
        PyObject* f = PyDict_GetItemWithError(dict.ptr(), name);
        if (f == nullptr && PyErr_Occurred()) throw py::error_already_set();
        Py_XINCREF(f);
        out.push_back(f);  // nullptr: not there, the road is never taken
    }
    return out;
}

// The package's objects, once it has been imported; nullptr before.
PackageObjects* package() {
    if (g_package != nullptr) return g_package;
    py::object sklearn = imported("xgboost.sklearn");
    py::object core = imported("xgboost.core");
    if (!sklearn || !core) return nullptr;
    auto* p = new PackageObjects();
    py::object model = sklearn.attr("XGBModel");
    py::object regressor = sklearn.attr("XGBRegressor");
    py::object booster = core.attr("Booster");
    p->model_method_names = interned(kModelMethods, std::size(kModelMethods));
    p->model_methods = class_functions(model, p->model_method_names);
    p->booster_method_names = interned(kBoosterMethods, std::size(kBoosterMethods));
    p->booster_methods = class_functions(booster, p->booster_method_names);
    p->param_names = constructor_params(regressor);
    p->model_param_names = constructor_params(model);
    p->model_type = model.release().ptr();
    p->regressor_type = regressor.release().ptr();
    p->booster_type = booster.release().ptr();
    g_package = p;
    return p;
}

// Whether `type` finds the captured functions under `names` (a class may
// have been given another one since) and the instance does not shadow them.
bool own_methods(PyObject* type, PyObject* instance, const std::vector<PyObject*>& names,
                 const std::vector<PyObject*>& functions) {
    PyObject** dict_ptr = _PyObject_GetDictPtr(instance);
    PyObject* dict = dict_ptr != nullptr ? *dict_ptr : nullptr;
    for (std::size_t i = 0; i < functions.size(); ++i) {
        PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(type), names[i]);
        const bool shadowed = dict != nullptr && PyDict_GetItemWithError(dict, names[i]) != nullptr;
        if (PyErr_Occurred()) throw py::error_already_set();
        if (functions[i] == nullptr || found != functions[i] || shadowed) return false;
    }
    return true;
}

bool plain_value(PyObject* v) {
    return v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
           PyUnicode_CheckExact(v) || PyList_CheckExact(v) || PyTuple_CheckExact(v) || PyDict_CheckExact(v);
}

// An attribute, or nothing (the error cleared) when it is missing.
py::object attribute(PyObject* o, PyObject* name) {
    PyObject* v = PyObject_GetAttr(o, name);
    if (v == nullptr) {
        PyErr_Clear();
        return py::object();
    }
    return py::reinterpret_steal<py::object>(v);
}

py::object attribute(PyObject* o, const char* name) {
    PyObject* v = PyObject_GetAttrString(o, name);
    if (v == nullptr) {
        PyErr_Clear();
        return py::object();
    }
    return py::reinterpret_steal<py::object>(v);
}

// `missing` as Python's json module writes it, for a plain float or int.
std::optional<std::string> missing_json(const py::object& missing) {
    PyObject* m = missing.ptr();
    if (PyFloat_CheckExact(m)) {
        const double v = PyFloat_AS_DOUBLE(m);
        if (std::isnan(v)) return std::string("NaN");
        if (std::isinf(v)) return std::string(v > 0 ? "Infinity" : "-Infinity");
        return text_of(py::repr(missing));
    }
    if (PyLong_CheckExact(m)) return text_of(py::repr(missing));
    return std::nullopt;
}

// What the package's predict would ask the library for this model, or
// nothing when it would not take the in-place road as this module takes it.
std::optional<quon::InplaceRequest> inplace_request(const PackageObjects& p, const py::object& model,
                                                    const py::object& booster, void*& handle) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(model.ptr()));
    if (type != p.regressor_type && type != p.model_type) return std::nullopt;
    if (!own_methods(type, model.ptr(), p.model_method_names, p.model_methods)) return std::nullopt;
    // get_params: every constructor parameter of the class and its first
    // base, each a plain value; then the kwargs merged over them.
    py::object predictor, missing, booster_kind;
    for (const auto* names : {&p.param_names, &p.model_param_names}) {
        if (type == p.model_type && names == &p.param_names) continue;
        for (PyObject* name : *names) {
            py::object v = attribute(model.ptr(), name);
            if (!v || !plain_value(v.ptr())) return std::nullopt;
            if (PyUnicode_CompareWithASCIIString(name, "predictor") == 0) predictor = v;
            if (PyUnicode_CompareWithASCIIString(name, "missing") == 0) missing = v;
            if (PyUnicode_CompareWithASCIIString(name, "booster") == 0) booster_kind = v;
        }
    }
    if (!predictor || !missing || !booster_kind) return std::nullopt;
    if (py::object kwargs = attribute(model.ptr(), "kwargs"); kwargs && PyDict_Check(kwargs.ptr())) {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs.ptr(), &pos, &key, &value))
            if (!plain_value(value)) return std::nullopt;
        if (PyObject* v = PyDict_GetItemString(kwargs.ptr(), "predictor"))
            predictor = py::reinterpret_borrow<py::object>(v);
    }
    // _can_use_inplace_predict: predictor in ("auto", None), booster not gblinear.
    if (!predictor.is_none() &&
        !(PyUnicode_CheckExact(predictor.ptr()) && pymodule::equals(predictor, "auto")))
        return std::nullopt;
    if (!booster_kind.is_none() &&
        !(PyUnicode_CheckExact(booster_kind.ptr()) && !pymodule::equals(booster_kind, "gblinear")))
        return std::nullopt;
    quon::InplaceRequest request;
    const std::optional<std::string> missing_text = missing_json(missing);
    if (!missing_text) return std::nullopt;
    request.missing_json = *missing_text;

    if (Py_TYPE(booster.ptr()) != reinterpret_cast<PyTypeObject*>(p.booster_type) ||
        !own_methods(p.booster_type, booster.ptr(), p.booster_method_names, p.booster_methods))
        return std::nullopt;
    // _get_iteration_range: (0, best_iteration + 1) when the booster has one.
    if (py::object best = attribute(booster.ptr(), "best_iteration")) {
        PyObject* as_int = PyNumber_Long(best.ptr());
        if (as_int == nullptr) {
            PyErr_Clear();
            return std::nullopt;
        }
        int overflow = 0;
        const long long b = PyLong_AsLongLongAndOverflow(as_int, &overflow);
        Py_DECREF(as_int);
        if (overflow != 0 || b < -1 || b >= (1LL << 62) || PyErr_Occurred()) {
            PyErr_Clear();
            return std::nullopt;
        }
        request.iteration_end = b + 1;
    }
    py::object handle_object = attribute(booster.ptr(), "handle");
    py::object address = handle_object ? attribute(handle_object.ptr(), "value") : py::object();
    if (!address || !PyLong_CheckExact(address.ptr())) return std::nullopt;
    handle = PyLong_AsVoidPtr(address.ptr());
    if (handle == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return request;
}

}  // namespace

bool native_library_in_use() {
    py::object core = imported("xgboost.core");
    if (!core || package() == nullptr) return false;
    py::object lib = attribute(core.ptr(), "_LIB");
    py::object name = lib ? attribute(lib.ptr(), "_name") : py::object();
    if (!name || !PyUnicode_CheckExact(name.ptr())) return false;
    const std::string text = text_of(name);
    if (g_verdict == nullptr) g_verdict = new LibraryVerdict{"\n", false};
    if (text != g_verdict->name) {
        static const std::string own = quon::booster_library_file();
        const std::string file =
            py::reinterpret_steal<py::bytes>(PyUnicode_EncodeFSDefault(name.ptr())).cast<std::string>();
        const std::string loaded = quon::resolved_path(file);
        g_verdict->name = text;
        g_verdict->same = !own.empty() && loaded == own;
    }
    return g_verdict->same;
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

std::optional<NativeBooster> native_booster(const py::object& model, const py::object& booster) {
    const PackageObjects* p = package();
    if (p == nullptr) return std::nullopt;
    NativeBooster native;
    std::optional<quon::InplaceRequest> request = inplace_request(*p, model, booster, native.handle);
    if (!request) return std::nullopt;
    native.request = std::move(*request);
    return native;
}

std::optional<py::object> predict_natively(const py::object& model, const py::object& booster,
                                           const std::vector<double>& row) {
    const std::optional<NativeBooster> native = native_booster(model, booster);
    if (!native) return std::nullopt;
    quon::RowPrediction prediction;
    {
        py::gil_scoped_release release;
        prediction = quon::predict_row(native->handle, row, native->request);
    }
    if (prediction.status != quon::RowStatus::ok) return std::nullopt;
    return np_float32(prediction.value);
}

}  // namespace quon_py
