// Argument helpers shared by the module faces: values read the way the
// interpreter's own operations read them, so that a wrong argument raises
// what a plain Python function would raise.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "errors.hpp"

namespace pymodule {

namespace py = pybind11;

inline py::str to_py(std::string_view s) {
    return py::str(s.data(), s.size());
}

// A Python value as a double through the float protocol; raises what
// math.isnan raises for a value that is not a real number.
inline double as_double(py::handle value) {
    PyObject* o = value.ptr();
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

// container[key], with the container's own errors (KeyError, IndexError, ...).
inline py::object item(py::handle container, py::handle key) {
    PyObject* r = PyObject_GetItem(container.ptr(), key.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

inline py::object item(py::handle container, const char* key) {
    return item(container, py::str(key));
}

inline double item_double(py::handle container, const char* key) {
    return as_double(item(container, key));
}

// container[key] = value, with the container's own errors.
inline void set_item(py::handle container, py::handle key, py::handle value) {
    if (PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

// a == b as the interpreter compares them, b being text.
inline bool equals(py::handle a, const char* b) {
    if (PyUnicode_Check(a.ptr())) return PyUnicode_CompareWithASCIIString(a.ptr(), b) == 0;
    const int r = PyObject_RichCompareBool(a.ptr(), py::str(b).ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// bool(value), with the value's own error (an ambiguous array, ...).
inline bool truth(py::handle value) {
    const int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// "<signature>\n--\n\n<text>": a docstring from which the interpreter takes
// the text signature, so that inspect.signature works on the function.
inline std::string signature_doc(std::string_view signature, std::string_view text) {
    std::string doc(signature);
    doc += "\n--\n\n";
    doc += text;
    return doc;
}

}  // namespace pymodule
