// Importing the packages a module body needs (numpy, pandas, scipy, ...).
//
// An interpreter without them is nearly always the wrong interpreter: the
// modules are built against one (the build's PYMODULE_PYTHON, Debian's
// /usr/bin/python3 by default) and a `python3` found first on PATH may be
// another one, of the same version, without its packages. The package's own
// "No module named 'numpy'" does not say so; the error raised here does, and
// keeps the type (ModuleNotFoundError) and the original error as its cause.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace pymodule {

inline pybind11::module_ import_dependency(const char* package, const char* importer) {
    try {
        return pybind11::module_::import(package);
    } catch (pybind11::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        const std::string cause = pybind11::str(e.value());
        const std::string interpreter = pybind11::str(pybind11::module_::import("sys").attr("executable"));
        std::string message = std::string(importer) + " needs the package '" + package +
                              "', which this interpreter (" + (interpreter.empty() ? "?" : interpreter) +
                              ") cannot import: " + cause + ".";
#ifdef PYMODULE_PYTHON
        message += std::string(" The module was built for ") + PYMODULE_PYTHON +
                   "; run your script with that interpreter, or install the module for this one.";
#endif
        pybind11::raise_from(e, PyExc_ModuleNotFoundError, message.c_str());
        throw pybind11::error_already_set();
    }
}

}  // namespace pymodule
