// The forecasting module `quon`: its body binds the imports, the vocabulary
// and constants (py_vocabulary.cpp), then the five classes in this order:
// CGeologicalModel (py_driver.cpp), CSerializer (serializer.cpp),
// CHistoryMatch and CQCalculator (py_decline.cpp), CMainDravex
// (py_driver.cpp).
//
// The classes are plain classes, as `class X:` makes them: instances carry
// ordinary attributes a host can read and set, private methods are reached
// from outside under their mangled names (_CMainDravex__GetModels), and the
// methods look the module's constants, libraries and classes up in the
// module namespace at each call. The arithmetic runs in the plain C++ core
// (history_match.hpp).
#include "py_face.hpp"

namespace quon_py {

void QuonModule::body(py::module_ m) {
    bind_vocabulary(m);
    keep_numpy_types(m.attr("np"));
    m.attr("CGeologicalModel") = make_geological_model_class();
    m.attr("CSerializer") = make_serializer_class();
    m.attr("CHistoryMatch") = make_history_match_class();
    m.attr("CQCalculator") = make_q_calculator_class();
    m.attr("CMainDravex") = make_driver_class();
}

}  // namespace quon_py

PyMODINIT_FUNC PyInit_quon() { return quon_py::Module::init(); }
