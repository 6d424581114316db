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

namespace {

py::object warning_class(const char* name, const char* doc) {
    PyObject* cls = PyErr_NewExceptionWithDoc(name, doc, PyExc_UserWarning, nullptr);
    if (cls == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(cls);
}

}  // namespace

void QuonModule::body(py::module_ m) {
    bind_vocabulary(m);
    keep_numpy_types(m.attr("np"));
    // The play's envelope and manifest files, and the warnings of forecasts
    // that extrapolate or whose raw cumulatives fall (docs/forecast-plays.md).
    m.attr("envelopeFile") = "envelope.json";
    m.attr("manifestFile") = "SHA256SUMS";
    m.attr("ExtrapolationWarning") = warning_class(
        "quon.ExtrapolationWarning",
        "A forecast for a design or location outside the ranges the play's models were\n"
        "trained on (the play's envelope file): the models extrapolate there.");
    m.attr("FallingOutputWarning") = warning_class(
        "quon.FallingOutputWarning",
        "The monthly models' raw cumulatives of a forecast fall from one month to the\n"
        "next: the models disagree there, and the fitted curves hide it.");
    m.attr("CGeologicalModel") = make_geological_model_class();
    m.attr("CSerializer") = make_serializer_class();
    m.attr("CHistoryMatch") = make_history_match_class();
    m.attr("CQCalculator") = make_q_calculator_class();
    m.attr("CMainDravex") = make_driver_class();
}

}  // namespace quon_py

PyMODINIT_FUNC PyInit_quon() { return quon_py::Module::init(); }
