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
//
// Header-only; each module instantiates its own guard, so modules share no state.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <exception>
#include <string>

namespace module_guard {

template <typename Tag>
class SingleInitGuard {
public:
    // Py_mod_create: the existing module, or a new one named as the import
    // system asks (the name attribute of what it hands over).
    static PyObject* create(PyObject* import_target, PyModuleDef* /*def*/) {
        if (!same_interpreter()) return nullptr;
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

    // To be called first in Py_mod_exec. Returns 1 when the body must run,
    // 0 when the module is already initialised, -1 with an exception set.
    static int begin_exec(PyObject* module, const char* module_name) {
        if (module != module_) {
            const std::string message = std::string("Module '") + module_name +
                                        "' has already been imported. Re-initialisation is not supported.";
            PyErr_SetString(PyExc_RuntimeError, message.c_str());
            return -1;
        }
        if (initialised_) return 0;
        return 1;
    }

    // To be called when the body has run to its end.
    static void end_exec() { initialised_ = true; }

    // A whole Py_mod_exec: runs body() once per process, in the module that
    // create() made. A Python error raised by the body fails the import with
    // that error, any other C++ exception with an ImportError.
    template <typename Body>
    static int exec(PyObject* module, const char* module_name, Body&& body) {
        const int state = begin_exec(module, module_name);
        if (state <= 0) return state;
        try {
            pybind11::detail::get_internals();
            body();
        } catch (pybind11::error_already_set& e) {
            e.restore();
            return -1;
        } catch (const std::exception& e) {
            PyErr_SetString(PyExc_ImportError, e.what());
            return -1;
        }
        end_exec();
        return 0;
    }

    // The module object, borrowed (nullptr before the first import).
    static PyObject* module() { return module_; }

private:
    static bool same_interpreter() {
        const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current == -1) return false;
        if (interpreter_id_ == -1) {
            interpreter_id_ = current;
            return true;
        }
        if (interpreter_id_ != current) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded "
                            "into one interpreter per process.");
            return false;
        }
        return true;
    }

    static inline std::int64_t interpreter_id_ = -1;
    static inline PyObject* module_ = nullptr;
    static inline bool initialised_ = false;
};

}  // namespace module_guard
