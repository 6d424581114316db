#include "py_face.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace quon_py {

py::object global(const char* name) {
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(Module::object().ptr()), name);
    if (value == nullptr) pymodule::raise(PyExc_NameError, std::string("name '") + name + "' is not defined");
    return py::reinterpret_borrow<py::object>(value);
}

py::object sep() { return global("os").attr("sep"); }

py::object join_path(const py::object& left, const py::object& right) {
    return left + sep() + right;
}

py::object make_class(const char* name, const MethodList& methods) {
    py::dict ns;
    ns["__module__"] = "quon";
    ns["__qualname__"] = name;
    for (const auto& [method_name, fn] : methods) {
        // An instancemethod binds the instance as a Python function does.
        PyObject* bound = PyInstanceMethod_New(fn.ptr());
        if (bound == nullptr) throw py::error_already_set();
        ns[py::str(method_name)] = py::reinterpret_steal<py::object>(bound);
    }
    const auto type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    const auto object = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    return type(name, py::make_tuple(object), ns);
}

py::list items_of(py::handle iterable) {
    PyObject* list = PySequence_List(iterable.ptr());
    if (list == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(list);
}

std::string text_of(py::handle o) { return py::str(o).cast<std::string>(); }

void raise_in_context(py::error_already_set& e, const std::string& context, const std::string& path) {
    const py::object& value = e.value();
    if (!e.matches(PyExc_Exception)) throw e;
    const std::string message = text_of(value);
    if (message.find(path) == std::string::npos && !e.matches(PyExc_OSError)) {
        PyObject* named = PyObject_CallFunction(e.type().ptr(), "s", (context + ": " + message).c_str());
        if (named != nullptr && PyObject_IsInstance(named, e.type().ptr()) == 1) {
            if (e.trace()) PyException_SetTraceback(value.ptr(), e.trace().ptr());
            PyException_SetCause(named, value.inc_ref().ptr());  // steals the reference
            PyErr_SetObject(e.type().ptr(), named);
            Py_DECREF(named);
            throw py::error_already_set();
        }
        Py_XDECREF(named);
        PyErr_Clear();
    }
    if (message.find(path) == std::string::npos) {
        try {
            value.attr("add_note")(context);
        } catch (py::error_already_set&) {
        }
    }
    throw e;
}

// ------------------------------------------------------------- driver lock

namespace {

struct LockEntry {
    py::object weakref;  // to the driver; its callback drops the entry
    py::object lock;
};

// Driver's address -> its lock. Touched only with the GIL held. Never freed:
// entries may outlive the interpreter's finalisation, when releasing them
// would touch a dead interpreter.
std::unordered_map<PyObject*, LockEntry>& lock_registry() {
    static auto* registry = new std::unordered_map<PyObject*, LockEntry>();
    return *registry;
}

py::object lock_of(const py::handle& driver) {
    auto& registry = lock_registry();
    PyObject* key = driver.ptr();
    auto found = registry.find(key);
    if (found != registry.end()) return found->second.lock;
    // The entry goes when the driver does (before its memory can be reused
    // for another object).
    py::cpp_function forget([key](py::handle weakref) {
        auto& entries = lock_registry();
        auto it = entries.find(key);
        if (it != entries.end() && it->second.weakref.ptr() == weakref.ptr()) entries.erase(it);
    });
    PyObject* ref = PyWeakref_NewRef(key, forget.ptr());
    if (ref == nullptr) throw py::error_already_set();
    LockEntry entry{py::reinterpret_steal<py::object>(ref),
                    py::module_::import("threading").attr("RLock")()};
    py::object lock = entry.lock;
    registry.emplace(key, std::move(entry));
    return lock;
}

}  // namespace

DriverLock::DriverLock(const py::handle& driver) : lock_(lock_of(driver)) {
    lock_.attr("acquire")();  // waits with the GIL released
}

DriverLock::~DriverLock() {
    try {
        lock_.attr("release")();
    } catch (py::error_already_set&) {
    }
}

// ------------------------------------------------------------------ numbers

namespace {

// Owned references, never released: the module lives as long as the
// process, and releasing them at exit would run after the interpreter.
PyTypeObject* g_float64 = nullptr;
PyTypeObject* g_float32 = nullptr;
PyTypeObject* g_int64 = nullptr;
PyObject* g_np_integer = nullptr;
PyObject* g_np_floating = nullptr;

PyTypeObject* owned_type(py::handle np, const char* name) {
    return reinterpret_cast<PyTypeObject*>(py::object(np.attr(name)).release().ptr());
}

}  // namespace

void keep_numpy_types(py::handle np) {
    g_float64 = owned_type(np, "float64");
    g_float32 = owned_type(np, "float32");
    g_int64 = owned_type(np, "int64");
    g_np_integer = py::object(np.attr("integer")).release().ptr();
    g_np_floating = py::object(np.attr("floating")).release().ptr();
}

bool is_integer(py::handle o) {
    return PyLong_CheckExact(o.ptr()) || Py_TYPE(o.ptr()) == g_int64;
}

bool is_numpy_scalar(py::handle o) {
    return Py_TYPE(o.ptr()) == g_float64 || Py_TYPE(o.ptr()) == g_int64;
}

bool is_float64(py::handle o) { return Py_TYPE(o.ptr()) == g_float64; }

bool is_float32(py::handle o) { return Py_TYPE(o.ptr()) == g_float32; }

bool plain_number(py::handle o, double& out, long long int_limit) {
    PyObject* p = o.ptr();
    if (PyFloat_CheckExact(p) || Py_TYPE(p) == g_float64) {
        out = PyFloat_AS_DOUBLE(p);
        return true;
    }
    if (!is_integer(o)) return false;
    PyObject* index = PyNumber_Index(p);
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
    if (v > int_limit || v < -int_limit) return false;
    out = static_cast<double>(v);
    return true;
}

bool real_number(py::handle o, double& out) {
    PyObject* p = o.ptr();
    if (PyBool_Check(p)) return false;
    const bool number = PyFloat_Check(p) || PyLong_Check(p) || PyObject_IsInstance(p, g_np_floating) == 1 ||
                        PyObject_IsInstance(p, g_np_integer) == 1;
    PyErr_Clear();
    if (!number) return false;
    out = PyFloat_AsDouble(p);
    if (out == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
        PyErr_Clear();
        out = HUGE_VAL;
    }
    return true;
}

py::object np_float32(float v) {
    PyObject* o = PyObject_CallFunction(reinterpret_cast<PyObject*>(g_float32), "d", static_cast<double>(v));
    if (o == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

py::object np_float(double v) {
    PyObject* o = PyObject_CallFunction(reinterpret_cast<PyObject*>(g_float64), "d", v);
    if (o == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

py::list float64_list(const std::vector<double>& values) {
    py::array_t<double> array(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), array.mutable_data());
    return items_of(array);
}

std::vector<double> np_powers(const std::vector<double>& bases, double exponent) {
    py::array_t<double> array(static_cast<py::ssize_t>(bases.size()));
    std::copy(bases.begin(), bases.end(), array.mutable_data());
    py::array_t<double> result = global("np").attr("power")(array, exponent);
    const double* r = result.data();
    return std::vector<double>(r, r + bases.size());
}

}  // namespace quon_py
