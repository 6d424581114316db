// CHistoryMatch and CQCalculator: the Python side of the decline arithmetic
// (history_match.hpp).
//
// Plain finite numbers take the core road: the core forms the bases and
// exponents, numpy's `power` takes the powers in one call, and the core
// finishes the rates, cumulatives and qi; results are numpy float64
// scalars, as the interpreter's arithmetic gives them. Any other argument
// (arrays, Fractions, a zero divisor, a result that is not finite and may
// carry a numpy warning) takes the road of the interpreter's operations,
// so types, warnings and errors (ZeroDivisionError for a plain zero b) are
// the interpreter's.
#include <pybind11/numpy.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "decline_fit.hpp"
#include "history_match.hpp"
#include "py_face.hpp"

namespace quon_py {

namespace {

using namespace pybind11::literals;

// b, DiTan and t taken as integers are at most this large, so the product
// of all three stays below 2^53 and double arithmetic rounds as the
// interpreter's exact integer arithmetic does.
constexpr long long kDeclineInt = 1LL << 17;

// The class's own per-element functions: the list methods take the core
// road only while self still resolves to them (a subclass may override
// them). Owned, never released, like the class itself.
PyObject* g_rate_fn = nullptr;
PyObject* g_cumulative_fn = nullptr;
PyObject* g_cumulative_list_fn = nullptr;
PyObject* g_rate_list_fn = nullptr;
PyObject* g_match_params_fn = nullptr;

bool finite(double v) { return std::isfinite(v); }

bool all_finite(const std::vector<double>& values) {
    for (double v : values)
        if (!finite(v)) return false;
    return true;
}

struct Decline {
    double qi = 0.0, di_tan = 0.0, b = 0.0;
    bool numpy = false;  // a numpy scalar among them: results are numpy's
};

// qi, DiTan and b as plain finite numbers with b != 0, or nothing.
std::optional<Decline> plain_decline(py::handle qi, py::handle di_tan, py::handle b) {
    Decline d;
    if (!plain_number(qi, d.qi) || !plain_number(di_tan, d.di_tan, kDeclineInt) ||
        !plain_number(b, d.b, kDeclineInt))
        return std::nullopt;
    if (!finite(d.qi) || !finite(d.di_tan) || !finite(d.b) || d.b == 0.0) return std::nullopt;
    d.numpy = is_numpy_scalar(qi) || is_numpy_scalar(di_tan) || is_numpy_scalar(b);
    return d;
}

std::optional<double> plain_time(py::handle t) {
    double v = 0.0;
    if (!plain_number(t, v, kDeclineInt)) return std::nullopt;
    return v;
}

// QUnitFactor as a plain finite number, or nothing.
std::optional<double> plain_q_unit_factor(const py::object& f, bool& numpy) {
    double v = 0.0;
    if (!plain_number(f, v) || !finite(v)) return std::nullopt;
    numpy = numpy || is_numpy_scalar(f);
    return v;
}

// An intermediate of the interpreter's arithmetic: numpy float64 once a
// numpy scalar took part, a float otherwise.
py::object number_object(double v, bool numpy) {
    return numpy ? np_float(v) : py::object(py::float_(v));
}

// The cumulative's factor f * (qi / (DiTan*(1-b))) when the interpreter
// would compute it without an error or warning: the divisor non-zero and
// every intermediate finite.
std::optional<double> cumulative_scale(const Decline& d, double f) {
    const double divisor = d.di_tan * (1.0 - d.b);
    if (divisor == 0.0 || !finite(divisor)) return std::nullopt;
    const double scale = quon::arps_cumulative_scale(d.qi, d.di_tan, d.b, f);
    if (!finite(d.qi / divisor) || !finite(scale)) return std::nullopt;
    return scale;
}

// ------------------------------------------------- the interpreter's road

py::object rate_by_interpreter(const py::object& qi, const py::object& di_tan, const py::object& b,
                               const py::object& t) {
    py::object base = py::float_(1.0) + b * di_tan * t;
    py::object exponent = py::int_(-1) / b;
    return qi * global("np").attr("power")(base, exponent);
}

py::object cumulative_by_interpreter(const py::object& qi, const py::object& di_tan,
                                     const py::object& b, const py::object& t) {
    py::object scale = global("QUnitFactor") * (qi / (di_tan * (py::int_(1) - b)));
    py::object base = py::int_(1) + b * di_tan * t;
    py::object exponent = py::int_(1) - py::float_(1.0) / b;
    return scale * (py::int_(1) - global("np").attr("power")(base, exponent));
}

// ------------------------------------------------------------ the core road

// numpy's power of one base: a float64 scalar, with numpy's warnings.
py::object np_power(double base, double exponent) {
    return global("np").attr("power")(base, exponent);
}

std::optional<py::object> rate_on_core(const py::object& qi, const py::object& di_tan,
                                       const py::object& b, const py::object& t) {
    const std::optional<Decline> d = plain_decline(qi, di_tan, b);
    const std::optional<double> tv = plain_time(t);
    if (!d || !tv) return std::nullopt;
    const double base = quon::arps_base(d->di_tan, d->b, *tv);
    const double exponent = quon::arps_rate_exponent(d->b);
    if (!finite(base) || !finite(exponent)) return std::nullopt;
    py::object power = np_power(base, exponent);
    if (is_float64(power)) {
        const double rate = quon::arps_rate_from_power(d->qi, PyFloat_AS_DOUBLE(power.ptr()));
        if (finite(rate)) return np_float(rate);
    }
    return qi * power;  // numpy's arithmetic and warnings
}

std::optional<py::object> cumulative_on_core(const py::object& qi, const py::object& di_tan,
                                             const py::object& b, const py::object& t) {
    std::optional<Decline> d = plain_decline(qi, di_tan, b);
    const std::optional<double> tv = plain_time(t);
    if (!d || !tv) return std::nullopt;
    const std::optional<double> f = plain_q_unit_factor(global("QUnitFactor"), d->numpy);
    if (!f) return std::nullopt;
    const std::optional<double> scale = cumulative_scale(*d, *f);
    const double base = quon::arps_base(d->di_tan, d->b, *tv);
    const double exponent = quon::arps_cumulative_exponent(d->b);
    if (!scale || !finite(base) || !finite(1.0 / d->b)) return std::nullopt;
    py::object power = np_power(base, exponent);
    if (is_float64(power)) {
        const double q = quon::arps_cumulative_from_power(*scale, PyFloat_AS_DOUBLE(power.ptr()));
        if (finite(q)) return np_float(q);
    }
    return number_object(*scale, d->numpy) * (py::int_(1) - power);
}

// Rates (cumulative = false) or cumulatives over the times, on the core
// road; nothing when an element needs the interpreter's road.
std::optional<py::list> list_on_core(const std::vector<double>& t, Decline d, bool cumulative) {
    double scale = 0.0;
    if (cumulative) {
        const std::optional<double> f = plain_q_unit_factor(global("QUnitFactor"), d.numpy);
        if (!f) return std::nullopt;
        const std::optional<double> s = cumulative_scale(d, *f);
        if (!s || !finite(1.0 / d.b)) return std::nullopt;
        scale = *s;
    }
    const double exponent =
        cumulative ? quon::arps_cumulative_exponent(d.b) : quon::arps_rate_exponent(d.b);
    const std::vector<double> bases = quon::arps_bases(d.di_tan, d.b, t);
    if (!finite(exponent) || !all_finite(bases)) return std::nullopt;
    const std::vector<double> powers = np_powers(bases, exponent);
    const std::vector<double> out = cumulative ? quon::arps_cumulatives_from_powers(scale, powers)
                                               : quon::arps_rates_from_powers(d.qi, powers);
    // A non-finite result may carry a numpy warning: the elements' road gives it.
    if (!all_finite(out)) return std::nullopt;
    return float64_list(out);
}

// ------------------------------------------------------------ CHistoryMatch

py::object rate_by_time(py::object, py::object qi, py::object di_tan, py::object b, py::object t) {
    if (std::optional<py::object> rate = rate_on_core(qi, di_tan, b, t)) return *rate;
    return rate_by_interpreter(qi, di_tan, b, t);
}

py::object cumulative_by_time(py::object, py::object qi, py::object di_tan, py::object b,
                              py::object t) {
    if (std::optional<py::object> q = cumulative_on_core(qi, di_tan, b, t)) return *q;
    return cumulative_by_interpreter(qi, di_tan, b, t);
}

// Times of a one-dimensional float64 array, read in place.
std::optional<std::vector<double>> float64_array_values(const py::object& t_list) {
    if (!py::isinstance<py::array>(t_list)) return std::nullopt;
    py::array array = py::reinterpret_borrow<py::array>(t_list);
    if (array.ndim() != 1 || !array.dtype().is(py::dtype::of<double>())) return std::nullopt;
    auto view = py::array_t<double>(array).unchecked<1>();
    std::vector<double> out(static_cast<std::size_t>(view.shape(0)));
    for (py::ssize_t i = 0; i < view.shape(0); ++i) out[static_cast<std::size_t>(i)] = view(i);
    return out;
}

// Doubles of a list of times, or nothing when one of them is not plain.
std::optional<std::vector<double>> plain_times(const py::list& items) {
    std::vector<double> out(items.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        if (!plain_number(items[i], out[i], kDeclineInt)) return std::nullopt;
    return out;
}

bool bound_to(const py::object& method, const py::handle& self, PyObject* function) {
    return PyMethod_Check(method.ptr()) && PyMethod_GET_FUNCTION(method.ptr()) == function &&
           PyMethod_GET_SELF(method.ptr()) == self.ptr();
}

py::list decline_list(const py::object& self, const py::object& t_list, const py::object& qi,
                      const py::object& di_tan, const py::object& b, bool cumulative) {
    const char* private_name =
        cumulative ? "_CHistoryMatch__GetCumulativeByTime" : "_CHistoryMatch__GetRateByTime";
    PyObject* own = cumulative ? g_cumulative_fn : g_rate_fn;
    // The fitter hands over its times as a float64 array: no per-element objects.
    std::optional<std::vector<double>> times_in_place = float64_array_values(t_list);
    if (times_in_place && !times_in_place->empty()) {
        py::object element = self.attr(private_name);
        std::optional<Decline> d = plain_decline(qi, di_tan, b);
        if (d && bound_to(element, self, own)) {
            if (std::optional<py::list> fast = list_on_core(*times_in_place, *d, cumulative))
                return *fast;
        }
    }
    py::list times = items_of(t_list);
    py::list out;
    if (times.empty()) return out;
    py::object element = self.attr(private_name);
    if (bound_to(element, self, own)) {
        if (std::optional<Decline> d = plain_decline(qi, di_tan, b)) {
            if (std::optional<std::vector<double>> t = plain_times(times)) {
                if (std::optional<py::list> fast = list_on_core(*t, *d, cumulative)) return *fast;
            }
        }
    }
    for (const py::handle t : times) out.append(element(qi, di_tan, b, t));
    return out;
}

py::object get_rate_list(py::object self, py::object t_list, py::object qi, py::object di_tan,
                         py::object b) {
    return decline_list(self, t_list, qi, di_tan, b, false);
}

py::object get_cumulative_list(py::object self, py::object t_list, py::object qi,
                               py::object di_tan, py::object b) {
    return decline_list(self, t_list, qi, di_tan, b, true);
}

std::optional<py::object> qi_on_core(const py::object& di_tan, const py::object& b,
                                     const py::object& t, const py::object& model_output) {
    double di = 0.0, bv = 0.0, tv = 0.0, cumulative = 0.0;
    if (!plain_number(di_tan, di, kDeclineInt) || !plain_number(b, bv, kDeclineInt) ||
        !plain_number(t, tv, kDeclineInt) || !plain_number(model_output, cumulative))
        return std::nullopt;
    if (!finite(di) || !finite(bv) || !finite(tv) || !finite(cumulative) || bv == 0.0)
        return std::nullopt;
    bool numpy = is_numpy_scalar(di_tan) || is_numpy_scalar(b) || is_numpy_scalar(model_output);
    const std::optional<double> f = plain_q_unit_factor(global("QUnitFactor"), numpy);
    if (!f || *f == 0.0) return std::nullopt;
    const double numerator = quon::qi_numerator(di, bv, cumulative, *f);
    const double base = quon::arps_base(di, bv, tv);
    if (!finite(numerator) || !finite(base) || !finite(1.0 / bv)) return std::nullopt;
    py::object power = np_power(base, quon::arps_cumulative_exponent(bv));
    if (is_float64(power)) {
        const double qi = quon::qi_from_power(numerator, PyFloat_AS_DOUBLE(power.ptr()));
        if (finite(qi)) return np_float(qi);
    }
    return number_object(numerator, numpy) / (py::int_(1) - power);
}

py::object get_qi_by_cumulative(py::object, py::object di_tan, py::object b, py::object t_list,
                                py::object model_output, py::object i_time) {
    py::object t = pymodule::item(t_list, i_time);
    if (std::optional<py::object> qi = qi_on_core(di_tan, b, t, model_output)) return *qi;
    py::object numerator = (model_output / global("QUnitFactor")) * di_tan * (py::int_(1) - b);
    py::object base = py::int_(1) + b * di_tan * t;
    py::object exponent = py::int_(1) - py::float_(1.0) / b;
    return numerator / (py::int_(1) - global("np").attr("power")(base, exponent));
}

// The three values of (qi, DiTan, b), with the interpreter's messages for
// a sequence of another length.
py::list unpack3(const py::object& values) {
    py::list items = items_of(values);
    if (items.size() > 3) pymodule::raise(PyExc_ValueError, "too many values to unpack (expected 3)");
    if (items.size() < 3)
        pymodule::raise(PyExc_ValueError, "not enough values to unpack (expected 3, got " +
                                              std::to_string(items.size()) + ")");
    return items;
}

// GetMatchParams' result of a fit on the core.
py::tuple params_of(const NativeFit& native) {
    if (!native.fit.converged()) return py::make_tuple(0, 0, 0);  // curve_fit's RuntimeError
    const quon::ArpsParams& p = native.fit.params;
    return py::make_tuple(np_float(p.qi), np_float(p.di_tan), np_float(p.b));
}

py::object get_match_params(py::object self, py::object t_list, py::object q_list) {
    if (std::optional<NativeFit> native = fit_natively(self, t_list, q_list)) return params_of(*native);
    py::object b_play = global("bPlay");
    const py::list bounds_min = items_of(py::make_tuple(0.01, 0.0001, b_play - py::float_(0.25)));
    const py::list bounds_max = items_of(py::make_tuple(100000.0, 99, b_play + py::float_(0.7)));
    const py::list initial_guess = items_of(py::make_tuple(1000, 0.01, b_play));
    py::object curve_fit = global("curve_fit");
    py::object qi, di_tan, b;
    try {
        py::object fit = curve_fit(self.attr("GetCumulativeList"), t_list, q_list,
                                   "p0"_a = initial_guess,
                                   "bounds"_a = py::make_tuple(bounds_min, bounds_max),
                                   "ftol"_a = 0.01);
        // The first of (parameters, covariance); the covariance is not used.
        py::list params = unpack3(pymodule::item(fit, py::int_(0)));
        qi = params[0];
        di_tan = params[1];
        b = params[2];
    } catch (py::error_already_set& e) {
        // The fitter's report that it gave up; every other error goes on.
        if (!e.matches(PyExc_RuntimeError)) throw;
        qi = py::int_(0);
        di_tan = py::int_(0);
        b = py::int_(0);
    }
    return py::make_tuple(qi, di_tan, b);
}

// Whether self's method `name` is the class's own function `function`.
bool own_method(const py::object& self, const char* name, PyObject* function) {
    return bound_to(self.attr(name), self, function);
}

py::object get_match_lists(py::object self, py::object t_list, py::object q_list) {
    // The class's own fit and curves: all three on the core, the curves with
    // the powers PredictBatch takes, so that a forecast is the same whichever
    // of the two makes it.
    if (own_method(self, "GetMatchParams", g_match_params_fn) && own_method(self, "GetRateList", g_rate_list_fn) &&
        own_method(self, "_CHistoryMatch__GetRateByTime", g_rate_fn)) {
        const std::optional<NativeFit> native = fit_natively(self, t_list, q_list);
        if (native && native->fit.converged()) {
            const std::size_t m = native->t.size();
            std::vector<double> rates(m), cumulatives(m);
            quon::arps_rates(native->fit.params, native->t.data(), m, rates.data());
            quon::arps_cumulatives(native->fit.params, native->t.data(), m, native->settings.q_unit_factor,
                                   cumulatives.data());
            if (all_finite(rates) && all_finite(cumulatives))
                return py::make_tuple(float64_list(rates), float64_list(cumulatives));
        }
    }
    py::list p = unpack3(self.attr("GetMatchParams")(t_list, q_list));
    py::object rates = self.attr("GetRateList")(t_list, p[0], p[1], p[2]);
    py::object cumulatives = self.attr("GetCumulativeList")(t_list, p[0], p[1], p[2]);
    return py::make_tuple(rates, cumulatives);
}

// -------------------------------------------------------------- CQCalculator

// The leading steps of a walk whose rates and times are plain numbers, read
// in the order the walk reads them: rate i, then times i and i-1.
struct PlainSteps {
    std::vector<double> t;      // t[0..m]
    std::vector<double> rate;   // rate[1..m]; rate[0] is never used
    std::vector<bool> numpy;    // step k took a numpy scalar
    bool ended = false;         // a missing rate ended the walk
    Py_ssize_t next = 0;        // first step not read (when not ended)
    py::object next_rate;       // its rate, already read
};

PlainSteps read_plain_steps(const py::object& t_well, const py::object& y_well, Py_ssize_t n) {
    PlainSteps s;
    s.rate.push_back(std::nan(""));
    s.numpy.push_back(false);
    for (Py_ssize_t i = 1; i < n; ++i) {
        py::object y = pymodule::item(y_well, py::int_(i));
        if (y.is_none()) {
            s.ended = true;
            return s;
        }
        py::object t1 = pymodule::item(t_well, py::int_(i));
        py::object t0 = pymodule::item(t_well, py::int_(i - 1));
        double yv = 0.0, t1v = 0.0, t0v = 0.0;
        if (!plain_number(y, yv) || !plain_number(t1, t1v) || !plain_number(t0, t0v)) {
            s.next = i;
            s.next_rate = y;
            return s;
        }
        if (s.t.empty()) s.t.push_back(t0v);
        s.t.push_back(t1v);
        s.rate.push_back(yv);
        s.numpy.push_back(is_numpy_scalar(y) || is_numpy_scalar(t1) || is_numpy_scalar(t0));
        if (std::isnan(yv)) {  // the core ends the walk here
            s.ended = true;
            return s;
        }
    }
    s.ended = true;
    return s;
}

py::object get_q_well(py::object, py::object t_well, py::object y_well) {
    const Py_ssize_t n = PyObject_Length(t_well.ptr());
    if (n < 0) throw py::error_already_set();
    py::list q_well;
    q_well.append(0.0);
    const py::object q_unit_object = global("QUnitFactor");
    py::object total_object = py::float_(0.0);
    Py_ssize_t i = 1;
    py::object rate_read;  // the rate of step i, when already read

    // Steps of plain numbers are summed by the core; the running total keeps
    // the type the interpreter's arithmetic would give it (a numpy scalar
    // once a numpy scalar has entered the sum). From the first step that is
    // not plain, or whose sum is not finite, the interpreter's operations go on.
    double q_unit_factor = 0.0;
    if (PyFloat_CheckExact(q_unit_object.ptr()) && plain_number(q_unit_object, q_unit_factor)) {
        PlainSteps s = read_plain_steps(t_well, y_well, n);
        std::vector<double> totals;
        {
            py::gil_scoped_release release;
            totals = quon::cumulative_walk(s.t.data(), s.rate.data(), s.t.size(), q_unit_factor);
        }
        bool numpy_total = false;
        std::size_t k = 1;
        for (; k < totals.size(); ++k) {
            if (!finite(totals[k]) || !finite(s.rate[k])) break;
            numpy_total = numpy_total || s.numpy[k];
            total_object = number_object(totals[k], numpy_total);
            q_well.append(total_object);
        }
        if (k < totals.size()) {
            i = static_cast<Py_ssize_t>(k);  // not finite: the interpreter's sum from here
        } else if (s.ended) {
            return q_well;
        } else {
            i = s.next;
            rate_read = s.next_rate;
        }
    }
    for (; i < n; ++i) {
        py::object y = rate_read ? rate_read : pymodule::item(y_well, py::int_(i));
        rate_read = py::object();
        if (pymodule::truth(global("pd").attr("isnull")(y))) break;
        total_object = total_object + (q_unit_object * y) *
                                          (pymodule::item(t_well, py::int_(i)) -
                                           pymodule::item(t_well, py::int_(i - 1)));
        q_well.append(total_object);
    }
    return q_well;
}

}  // namespace

bool cumulative_list_is_own(const py::object& self) {
    return bound_to(self.attr("GetCumulativeList"), self, g_cumulative_list_fn) &&
           bound_to(self.attr("_CHistoryMatch__GetCumulativeByTime"), self, g_cumulative_fn);
}

py::object make_history_match_class() {
    MethodList methods;
    methods.push_back(method("_CHistoryMatch__GetRateByTime", "self, qi, DiTan, b, t",
                             "Arps rate at t months: qi * (1 + b*DiTan*t)^(-1/b), volume per day.",
                             &rate_by_time, py::arg("qi"), py::arg("DiTan"), py::arg("b"),
                             py::arg("t")));
    methods.push_back(method("_CHistoryMatch__GetCumulativeByTime", "self, qi, DiTan, b, t",
                             "Arps cumulative at t months, thousands of volume units.",
                             &cumulative_by_time, py::arg("qi"), py::arg("DiTan"), py::arg("b"),
                             py::arg("t")));
    methods.push_back(method("GetRateList", "self, tList, qi, DiTan, b",
                             "Rates at the times of tList (months), volume per day.", &get_rate_list,
                             py::arg("tList"), py::arg("qi"), py::arg("DiTan"), py::arg("b")));
    methods.push_back(method("GetCumulativeList", "self, tList, qi, DiTan, b",
                             "Cumulatives at the times of tList (months), thousands of volume units.",
                             &get_cumulative_list, py::arg("tList"), py::arg("qi"),
                             py::arg("DiTan"), py::arg("b")));
    methods.push_back(method("GetqiByCumulative", "self, DiTan, b, tList, modelOutput, iTime",
                             "Initial rate whose cumulative at tList[iTime] is modelOutput.",
                             &get_qi_by_cumulative, py::arg("DiTan"), py::arg("b"), py::arg("tList"),
                             py::arg("modelOutput"), py::arg("iTime")));
    methods.push_back(method("GetMatchParams", "self, tList, QList",
                             "(qi, DiTan, b) of the hyperbolic decline fitted to the cumulatives\n"
                             "QList at tList; (0, 0, 0) when the fit does not converge.",
                             &get_match_params, py::arg("tList"), py::arg("QList")));
    methods.push_back(method("GetMatchLists", "self, tList, QList",
                             "(rates, cumulatives) of the fitted decline over tList.",
                             &get_match_lists, py::arg("tList"), py::arg("QList")));
    g_rate_fn = py::object(methods[0].second).release().ptr();
    g_cumulative_fn = py::object(methods[1].second).release().ptr();
    g_rate_list_fn = py::object(methods[2].second).release().ptr();
    g_cumulative_list_fn = py::object(methods[3].second).release().ptr();
    g_match_params_fn = py::object(methods[5].second).release().ptr();
    return make_class("CHistoryMatch", methods);
}

py::object make_q_calculator_class() {
    return make_class(
        "CQCalculator",
        {method("GetQWell", "self, tWell, YWell",
                "Running cumulative (thousands of volume units) of the rates YWell\n"
                "(volume per day) at the times tWell (months); stops at a missing rate.",
                &get_q_well, py::arg("tWell"), py::arg("YWell"))});
}

}  // namespace quon_py
