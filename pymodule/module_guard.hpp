// Once-per-process initialisation of an extension module built with
// multi-phase initialisation (create and exec slots).
//
// - The first import creates the module object and runs its body.
// - Importing again (after the module was removed from sys.modules, or
//   through importlib.reload) hands back that same, already initialised
//   module: its body is not run a second time.
// - Running the body on any other module object fails with
//   "Module '<name>' has already been imported. Re-initialisation is not supported."
// - Loading it into a second interpreter of the process fails with
//   "Interpreter change detected - this module can only be loaded into one
//   interpreter per process."
// - A first import inside a sub-interpreter fails with an ImportError that
//   says so, before pybind11 is touched: pybind11's process-wide state is
//   made under PyGILState_Ensure, which waits forever for the lock a
//   sub-interpreter's thread already holds. The main interpreter can still
//   import the module afterwards. (From Python 3.12 on, module_def.hpp also
//   declares the module unfit for sub-interpreters, and an interpreter that
//   checks extensions refuses it with its own ImportError before create().)
//
// Header-only; each module instantiates its own guard, so modules share no state.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "errors.hpp"

namespace pymodule {

template <typename Tag>
class SingleInitGuard {
public:
    // Py_mod_create: the existing module, or a new one named as the import
    // system asks (the name attribute of what it hands over).
    static PyObject* create(PyObject* import_target, PyModuleDef* def) {
        if (!admit_interpreter(def->m_name)) return nullptr;
        if (module_ != nullptr) {
            Py_INCREF(module_);
            return module_;
        }
        PyObject* name = PyObject_GetAttrString(import_target, "name");
        if (name == nullptr) return nullptr;
        PyObject* module = PyModule_NewObject(name);
        Py_DECREF(name);
        if (module == nullptr) return nullptr;
        // The guard keeps its own reference for the life of the process, so
        // a later import can hand back the same object.
        Py_INCREF(module);
        module_ = module;
        return module;
    }

    // A whole Py_mod_exec: runs body() once per process, in the module that
    // create() made. A Python error raised by the body fails the import with
    // that error, a C++ exception with its Python counterpart.
    template <typename Body>
    static int exec(PyObject* module, const char* module_name, Body&& body) {
        if (module != module_) {
            const std::string message = std::string("Module '") + module_name +
                                        "' has already been imported. Re-initialisation is not supported.";
            PyErr_SetString(PyExc_RuntimeError, message.c_str());
            return -1;
        }
        if (initialised_) return 0;
        try {
            pybind11::detail::get_internals();
            body();
        } catch (...) {
            set_python_error(std::current_exception());
            return -1;
        }
        initialised_ = true;
        return 0;
    }

    // The module object, borrowed (nullptr before the first import).
    static PyObject* module() { return module_; }

private:
    // Whether the current interpreter may hold the module: the one that
    // first imported it, and for a first import only the main interpreter.
    static bool admit_interpreter(const char* module_name) {
        PyInterpreterState* current = PyInterpreterState_Get();
        const std::int64_t id = PyInterpreterState_GetID(current);
        if (id == -1) return false;
        if (interpreter_id_ != -1 && interpreter_id_ != id) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded "
                            "into one interpreter per process.");
            return false;
        }
        if (current != PyInterpreterState_Main()) {
            const std::string message =
                std::string("module '") + module_name +
                "' cannot be imported in a sub-interpreter: it can only be loaded into the "
                "main interpreter of a process";
            PyErr_SetString(PyExc_ImportError, message.c_str());
            return false;
        }
        interpreter_id_ = id;
        return true;
    }

    static inline std::int64_t interpreter_id_ = -1;
    static inline PyObject* module_ = nullptr;
    static inline bool initialised_ = false;
};

}  // namespace pymodule
