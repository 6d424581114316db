// How errors cross the boundary between C++ and the interpreter, for both
// extension modules: one mapping from C++ exceptions to Python exceptions,
// used by pybind11's translator, by the module initialisation and by the
// few entry points written against the C API directly.
//
//   pybind11::error_already_set   the Python error it carries
//   pybind11 builtin exceptions   their own Python type (value_error, ...)
//   std::bad_alloc                MemoryError
//   std::domain_error             ValueError (math domain errors of a core)
//   std::invalid_argument         ValueError
//   std::length_error             ValueError
//   std::out_of_range             IndexError
//   std::overflow_error           OverflowError
//   any other std::exception      RuntimeError with its message
//   anything else                 RuntimeError "unknown C++ exception"
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

namespace pymodule {

// Raises `type` with `message` as a pybind11 error (the caller's frame
// unwinds to the binding, which hands the error to the interpreter).
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw pybind11::error_already_set();
}

[[noreturn]] inline void raise(pybind11::handle type, const std::string& message) {
    raise(type.ptr(), message);
}

// Sets the Python error that stands for the exception `p`; never throws.
inline void set_python_error(std::exception_ptr p) noexcept {
    try {
        std::rethrow_exception(p);
    } catch (pybind11::error_already_set& e) {
        e.restore();
    } catch (const pybind11::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

// Makes the mapping above the one pybind11 applies to this module's
// functions (registered while the module body runs).
inline void register_exception_translator() {
    pybind11::register_local_exception_translator([](std::exception_ptr p) {
        if (p) set_python_error(p);
    });
}

}  // namespace pymodule
