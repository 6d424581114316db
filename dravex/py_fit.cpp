// CHistoryMatch.GetMatchParams on the core's fit (decline_fit.hpp): the
// interpreter's bounded least-squares fitter, operation for operation, with
// numpy's power taking the powers and the system's BLAS and LAPACK the
// sums and decompositions, so that its (qi, DiTan, b) are curve_fit's bit
// for bit without the fitter's per-iteration interpreter work (about a
// millisecond a fit, most of a Predict).
//
// The road is taken only where it is the same computation as the call of
// curve_fit it replaces; everything else calls curve_fit as before:
//
// - the module's curve_fit is scipy's own function (not rebound, not a
//   wrapper) and scipy is 1.10, the version whose steps the core follows;
// - the model function self.GetCumulativeList is the class's own, and so
//   is the per-element function it would fall back on; np is numpy;
// - tList and QList are lists or tuples of plain numbers (int, float,
//   numpy float64, float32 and int64 scalars), finite, of one length
//   above 3 (with 3 points or fewer the fitter warns about the
//   covariance); QUnitFactor and bPlay are plain finite numbers;
// - the core saw nothing on which the fitter or numpy would warn or raise
//   (an overflow, a division by zero or an invalid operation, a power of a
//   base outside its quiet range, a step that cannot be formed, a
//   covariance that would overflow): it stops and curve_fit is called;
// - the first fit of the process is preceded by a check: the core and
//   curve_fit on a few series of the kind the driver fits must agree to
//   the last bit, or the road stays closed for the process (another BLAS,
//   another numpy).
//
// A fit that runs out of evaluations gives (0, 0, 0), as curve_fit's
// RuntimeError does in GetMatchParams.
#include <pybind11/numpy.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "decline_fit.hpp"
#include "py_face.hpp"

namespace quon_py {

namespace {

using namespace pybind11::literals;

enum class Verdict { unknown, same, different };

// Whether the core reproduces curve_fit in this process; settled at the
// first fit and kept (the libraries do not change under a process).
Verdict g_verdict = Verdict::unknown;

// The steps the core follows are those of this version's fitter.
bool scipy_version_followed() {
    static const bool followed = [] {
        const std::string version = text_of(py::module_::import("scipy").attr("__version__"));
        return version.rfind("1.10.", 0) == 0;
    }();
    return followed;
}

// The module's curve_fit is the function scipy defines.
bool curve_fit_is_scipys() {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* minpack = PyDict_GetItemString(modules, "scipy.optimize._minpack_py");
    if (minpack == nullptr) return false;
    PyObject* own = PyObject_GetAttrString(minpack, "curve_fit");
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

// The values of a list or tuple of plain numbers, or nothing.
std::optional<std::vector<double>> data_values(const py::object& values) {
    if (!PyList_CheckExact(values.ptr()) && !PyTuple_CheckExact(values.ptr())) return std::nullopt;
    py::sequence items = py::reinterpret_borrow<py::sequence>(values);
    std::vector<double> out(items.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        if (!data_value(items[i], out[i]) || !std::isfinite(out[i])) return std::nullopt;
    return out;
}

// numpy's power of the bases, in one call: what np.power(array, exponent)
// gives for the model's bases and for the cubes of an array.
class NumpyPowers {
public:
    explicit NumpyPowers(py::object power) : power_(std::move(power)) {}
    void operator()(const double* bases, std::size_t n, double exponent, double* out) const {
        py::array_t<double> array(static_cast<py::ssize_t>(n));
        std::copy(bases, bases + n, array.mutable_data());
        py::object result = power_(array, exponent);
        if (!py::isinstance<py::array_t<double>>(result)) pymodule::raise(PyExc_TypeError, "np.power: not float64");
        const py::array_t<double> values = py::reinterpret_borrow<py::array_t<double>>(result);
        if (static_cast<std::size_t>(values.size()) != n) pymodule::raise(PyExc_TypeError, "np.power: wrong size");
        std::copy(values.data(), values.data() + n, out);
    }

private:
    py::object power_;
};

// What the core's fit gives for the series, as GetMatchParams would return
// it; nothing when curve_fit must be called.
std::optional<py::tuple> core_fit(const std::vector<double>& t, const std::vector<double>& q, double b_play,
                                  double q_unit_factor) {
    quon::ArpsFitSettings settings;
    settings.b_play = b_play;
    settings.q_unit_factor = q_unit_factor;
    settings.stop_when_exceptional = true;
    settings.check_covariance = true;
    quon::ArpsFit fit;
    if (const std::optional<quon::PowerFunction> loop = numpy_power_function()) {
        py::gil_scoped_release release;
        fit = quon::fit_arps_cumulative(t.data(), q.data(), t.size(), settings, *loop);
    } else {
        fit = quon::fit_arps_cumulative(t.data(), q.data(), t.size(), settings, NumpyPowers(global("np").attr("power")));
    }
    if (fit.status == quon::FitStatus::evaluations_spent) return py::make_tuple(0, 0, 0);
    if (!fit.converged() || !fit.quiet_covariance) return std::nullopt;
    return py::make_tuple(np_float(fit.params.qi), np_float(fit.params.di_tan), np_float(fit.params.b));
}

// curve_fit as GetMatchParams calls it, on the series.
py::tuple curve_fit_params(const py::object& self, const py::object& t_list, const py::object& q_list,
                           double b_play) {
    try {
        py::object fit = global("curve_fit")(self.attr("GetCumulativeList"), t_list, q_list,
                                             "p0"_a = py::make_tuple(1000, 0.01, b_play),
                                             "bounds"_a = py::make_tuple(py::make_tuple(0.01, 0.0001, b_play - 0.25),
                                                                         py::make_tuple(100000.0, 99, b_play + 0.7)),
                                             "ftol"_a = 0.01);
        py::list params = items_of(pymodule::item(fit, py::int_(0)));
        return py::make_tuple(params[0], params[1], params[2]);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_RuntimeError)) throw;
        return py::make_tuple(0, 0, 0);
    }
}

// Cumulatives at the driver's months 0, 6, ..., 60 of declines of the kind
// the driver fits, with a scatter of a few percent, so that the check
// meets the fitter's Gauss-Newton, Levenberg-Marquardt, cut and reflected
// steps and both bounds of b.
std::vector<std::vector<double>> check_series(const std::vector<double>& t) {
    const double declines[][4] = {
        // qi, DiTan, b, scatter
        {6300.0, 0.22, 1.45, 0.03},
        {1500.0, 0.2, 0.6, 0.05},
        {600.0, 0.08, 3.0, 0.02},
        {900.0, 0.45, 1.2, 0.15},
    };
    std::vector<std::vector<double>> out;
    for (const auto& d : declines) {
        std::vector<double> q(t.size());
        quon::arps_cumulatives({d[0], d[1], d[2]}, t.data(), t.size(), quon::kQUnitFactor, q.data());
        for (std::size_t i = 0; i < q.size(); ++i) q[i] *= 1.0 + d[3] * std::sin(1.7 * static_cast<double>(i));
        out.push_back(q);
    }
    return out;
}

bool equal_params(const py::tuple& a, const py::tuple& b) {
    for (std::size_t j = 0; j < 3; ++j) {
        double x = 0.0, y = 0.0;
        if (!plain_number(a[j], x) || !plain_number(b[j], y)) return false;
        if (!(x == y) || std::signbit(x) != std::signbit(y)) return false;
    }
    return true;
}

// Whether the core and curve_fit agree on the check series. An error of
// curve_fit counts as disagreement; one that is not an Exception
// (KeyboardInterrupt) goes on.
bool core_reproduces_curve_fit(const py::object& self, double b_play, double q_unit_factor) {
    std::vector<double> t{0.0};
    for (int month = 6; month <= 60; month += 2) t.push_back(month);
    try {
        for (const std::vector<double>& q : check_series(t)) {
            const std::optional<py::tuple> core = core_fit(t, q, b_play, q_unit_factor);
            if (!core) return false;  // these series are plain: the core must answer
            py::list t_list, q_list;
            for (double v : t) t_list.append(v);
            for (double v : q) q_list.append(v);
            if (!equal_params(*core, curve_fit_params(self, t_list, q_list, b_play))) return false;
        }
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
    return true;
}

}  // namespace

std::optional<py::tuple> match_params_natively(const py::object& self, const py::object& t_list,
                                               const py::object& q_list) {
    if (g_verdict == Verdict::different || !curve_fit_is_scipys() || !scipy_version_followed()) return std::nullopt;
    if (!is_numpy(global("np")) || !cumulative_list_is_own(self)) return std::nullopt;
    double b_play = 0.0, q_unit_factor = 0.0;
    if (!plain_number(global("bPlay"), b_play) || !std::isfinite(b_play) ||
        !plain_number(global("QUnitFactor"), q_unit_factor) || !std::isfinite(q_unit_factor))
        return std::nullopt;
    const std::optional<std::vector<double>> t = data_values(t_list);
    const std::optional<std::vector<double>> q = data_values(q_list);
    if (!t || !q || t->size() != q->size() || t->size() <= 3) return std::nullopt;
    if (g_verdict == Verdict::unknown)
        g_verdict = core_reproduces_curve_fit(self, b_play, q_unit_factor) ? Verdict::same : Verdict::different;
    if (g_verdict != Verdict::same) return std::nullopt;
    return core_fit(*t, *q, b_play, q_unit_factor);
}

}  // namespace quon_py
