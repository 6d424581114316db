// CHistoryMatch's decline fit on the core (decline_fit.hpp): the bounded
// trust-region reflective fit of the driver's model, start, bounds and
// ftol, run in C++ without the GIL instead of through curve_fit.
//
// The core fits where the call of curve_fit it stands for would fit the
// class's own model to plain data; everything else calls curve_fit as
// before, so a host's replacements are honoured and curve_fit's errors and
// warnings are what the caller sees:
//
// - the module's curve_fit is scipy.optimize.curve_fit (not rebound, not a
//   wrapper);
// - the model function self.GetCumulativeList is the class's own, and so
//   is the per-element function it would fall back on; np is numpy, whose
//   power the model takes;
// - tList and QList are lists or tuples of plain numbers (int, float,
//   numpy float64, float32 and int64 scalars), finite, of one length
//   above 3 (with 3 points or fewer curve_fit warns that the covariance
//   cannot be estimated, or raises); QUnitFactor and bPlay are plain
//   finite numbers;
// - the core's fit converged or spent its evaluations; where it could not
//   start (the residuals at the start are not finite) or form a step,
//   curve_fit is called and raises or answers as it does.
//
// A fit that runs out of evaluations gives (0, 0, 0), as curve_fit's
// RuntimeError does in GetMatchParams.
#include <cmath>
#include <optional>
#include <vector>

#include "decline_fit.hpp"
#include "py_face.hpp"

namespace quon_py {

namespace {

// The module's curve_fit is scipy's public one.
bool curve_fit_is_scipys() {
    PyObject* optimize = PyImport_GetModule(py::str("scipy.optimize").ptr());
    if (optimize == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyObject* own = PyObject_GetAttrString(optimize, "curve_fit");
    Py_DECREF(optimize);
    if (own == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool same = global("curve_fit").ptr() == own;
    Py_DECREF(own);
    return same;
}

bool is_numpy(const py::object& np) {
    PyObject* numpy = PyDict_GetItemString(PyImport_GetModuleDict(), "numpy");
    return numpy != nullptr && np.ptr() == numpy;
}

// A value as numpy's float64 conversion takes it, when it is a plain number.
bool data_value(py::handle o, double& out) {
    if (is_float32(o)) {
        out = static_cast<double>(PyFloat_AsDouble(o.ptr()));
        return true;
    }
    return plain_number(o, out);
}

// The values of a list or tuple of plain finite numbers, or nothing.
std::optional<std::vector<double>> data_values(const py::object& values) {
    if (!PyList_CheckExact(values.ptr()) && !PyTuple_CheckExact(values.ptr())) return std::nullopt;
    py::sequence items = py::reinterpret_borrow<py::sequence>(values);
    std::vector<double> out(items.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        if (!data_value(items[i], out[i]) || !std::isfinite(out[i])) return std::nullopt;
    return out;
}

}  // namespace

std::optional<NativeFit> fit_natively(const py::object& self, const py::object& t_list, const py::object& q_list) {
    if (!curve_fit_is_scipys() || !is_numpy(global("np")) || !cumulative_list_is_own(self)) return std::nullopt;
    NativeFit out;
    double b_play = 0.0;
    if (!plain_number(global("bPlay"), b_play) || !std::isfinite(b_play) ||
        !plain_number(global("QUnitFactor"), out.settings.q_unit_factor) ||
        !std::isfinite(out.settings.q_unit_factor))
        return std::nullopt;
    out.settings.b_play = b_play;
    std::optional<std::vector<double>> t = data_values(t_list);
    const std::optional<std::vector<double>> q = data_values(q_list);
    if (!t || !q || t->size() != q->size() || t->size() <= 3) return std::nullopt;
    out.t = std::move(*t);
    {
        py::gil_scoped_release release;
        out.fit = quon::fit_arps_cumulative(out.t.data(), q->data(), out.t.size(), out.settings);
    }
    if (!out.fit.converged() && out.fit.status != quon::FitStatus::evaluations_spent) return std::nullopt;
    return out;
}

}  // namespace quon_py
