// The definition of an extension module with multi-phase initialisation,
// behind the once-per-process guard:
//
//   struct Zelt {
//       static constexpr const char* name = "zelt";
//       static constexpr const char* doc = "...";    // or nullptr
//       static void body(pybind11::module_ m);       // binds the module's names
//   };
//   PyMODINIT_FUNC PyInit_zelt() { return pymodule::Module<Zelt>::init(); }
//
// The body runs once per process with pybind11 ready and the exception
// translator of errors.hpp registered; Module<Traits>::object() is the module
// afterwards (its namespace is where a face looks names up at call time).
// When the build defines PYMODULE_VERSION (one version for every module of
// the project), the module binds it as __version__ after its body.
#pragma once

#include <pybind11/pybind11.h>

#include "errors.hpp"
#include "module_guard.hpp"

namespace pymodule {

template <typename Traits>
class Module {
public:
    using Guard = SingleInitGuard<Traits>;

    static PyObject* init() { return PyModuleDef_Init(&definition_); }

    // The module object, borrowed; ImportError when it does not exist yet.
    static pybind11::handle object() {
        PyObject* module = Guard::module();
        if (module == nullptr) {
            raise(PyExc_ImportError, std::string("module '") + Traits::name + "' is not initialised");
        }
        return module;
    }

private:
    static int exec(PyObject* module) {
        return Guard::exec(module, Traits::name, [module] {
            register_exception_translator();
            pybind11::module_ m = pybind11::reinterpret_borrow<pybind11::module_>(module);
            Traits::body(m);
#ifdef PYMODULE_VERSION
            m.attr("__version__") = PYMODULE_VERSION;
#endif
        });
    }

    // From Python 3.12 on, the interpreter learns from the definition that
    // the module holds process-wide state: a sub-interpreter that checks
    // (the default kind from 3.13 on, with its own GIL) refuses the import
    // itself, before create() runs; the guard refuses in the others.
    static inline PyModuleDef_Slot slots_[] = {
        {Py_mod_create, reinterpret_cast<void*>(&Guard::create)},
        {Py_mod_exec, reinterpret_cast<void*>(&Module::exec)},
#if PY_VERSION_HEX >= 0x030C0000
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
        {0, nullptr}};

    static inline PyModuleDef definition_ = {PyModuleDef_HEAD_INIT, Traits::name, Traits::doc, 0,
                                             nullptr, slots_, nullptr, nullptr, nullptr};
};

}  // namespace pymodule
