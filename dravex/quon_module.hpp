// Shared by the Python-facing units of the forecasting module (main_quon.cpp,
// serializer.cpp): access to the module namespace at call time, the path
// separator, and the way the module's plain classes are made.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

#include "module_guard.hpp"

namespace quon_py {

namespace py = pybind11;

struct QuonModuleTag;
using Guard = pymodule::SingleInitGuard<QuonModuleTag>;

// A name of the module namespace, looked up now: a host that rebinds a
// module attribute (a constant, `np`, `curve_fit`, a class) is seen by the
// next call. NameError when the name has been deleted.
py::object global(const char* name);

// The platform's path separator (the `sep` of the module's `os`).
py::object sep();

// left + sep + right, with Python's `+`, so a non-text part raises the
// interpreter's own TypeError.
py::object join_path(const py::object& left, const py::object& right);

[[noreturn]] void raise(PyObject* type, const std::string& message);

// Text that lives as long as the process (names and docstrings of the
// module's functions).
const char* persist(std::string text);

// "<name>(<args>)\n--\n\n<text>": a docstring with its text signature.
const char* signature_doc(const std::string& name, const char* args, const char* text);

using MethodList = std::vector<std::pair<std::string, py::object>>;

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

// CSerializer (serializer.cpp).
py::object make_serializer_class();

}  // namespace quon_py
