// numpy's power of float64 arrays, called without the interpreter: the
// inner loop that np.power runs for float64 operands ('dd->d'), taken from
// the ufunc object. numpy chooses that loop for the processor when it is
// imported (on processors with AVX-512 its results are not always the C
// library's pow), so calling it gives np.power's numbers bit for bit, on
// any thread, with the GIL released.
//
// The loop is used only after a check: on bases over many decades and the
// exponents of the Arps formulas and of the fit's cubes, its results must
// equal those of np.power called through the interpreter, bit for bit.
// Otherwise (another numpy, a replaced np.power) there is none.
#include <pybind11/numpy.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#include <numpy/ndarraytypes.h>
#include <numpy/ufuncobject.h>

#include "py_face.hpp"

namespace quon_py {

namespace {

struct Loop {
    PyUFuncGenericFunction function = nullptr;
    void* data = nullptr;
};

// out[i] = bases[i]^exponent through the loop, the exponent broadcast as
// numpy broadcasts a scalar.
void run(const Loop& loop, const double* bases, std::size_t n, double exponent, double* out) {
    if (n == 0) return;
    char* args[3] = {reinterpret_cast<char*>(const_cast<double*>(bases)), reinterpret_cast<char*>(&exponent),
                     reinterpret_cast<char*>(out)};
    const npy_intp dimensions[1] = {static_cast<npy_intp>(n)};
    const npy_intp steps[3] = {sizeof(double), 0, sizeof(double)};
    loop.function(args, dimensions, steps, loop.data);
}

// The float64 loop of a numpy ufunc of two inputs and one output.
std::optional<Loop> float64_loop(const py::object& ufunc) {
    if (std::strcmp(Py_TYPE(ufunc.ptr())->tp_name, "numpy.ufunc") != 0) return std::nullopt;
    const auto* u = reinterpret_cast<const PyUFuncObject*>(ufunc.ptr());
    if (u->nin != 2 || u->nout != 1 || u->functions == nullptr || u->types == nullptr) return std::nullopt;
    for (int i = 0; i < u->ntypes; ++i) {
        const char* t = u->types + 3 * i;
        if (t[0] == NPY_DOUBLE && t[1] == NPY_DOUBLE && t[2] == NPY_DOUBLE && u->functions[i] != nullptr)
            return Loop{u->functions[i], u->data == nullptr ? nullptr : u->data[i]};
    }
    return std::nullopt;
}

// Whether the loop gives np.power's results on the check's bases and
// exponents.
bool agrees_with_np_power(const Loop& loop, const py::object& power) {
    std::vector<double> bases;
    for (int k = -600; k <= 1000; ++k) bases.push_back(std::exp(0.0137 * k) * (1.0 + 1e-3 * (k % 7)));
    const double exponents[] = {3.0, 2.0, 0.5, 1.0 - 1.0 / 1.3, -1.0 / 1.3, 1.0 - 1.0 / 1.05, -1.0 / 2.0,
                                0.047619047619047672, -0.9523809523809523};
    py::array_t<double> array(static_cast<py::ssize_t>(bases.size()));
    std::copy(bases.begin(), bases.end(), array.mutable_data());
    std::vector<double> mine(bases.size());
    for (double e : exponents) {
        py::array_t<double> theirs = power(array, e);
        run(loop, bases.data(), bases.size(), e, mine.data());
        if (std::memcmp(theirs.data(), mine.data(), mine.size() * sizeof(double)) != 0) return false;
    }
    return true;
}

struct Verified {
    PyObject* power = nullptr;  // the np.power the loop was taken from (borrowed: kept by numpy)
    std::optional<Loop> loop;
};
Verified* g_verified = nullptr;

}  // namespace

std::optional<quon::PowerFunction> numpy_power_function() {
    py::object power = global("np").attr("power");
    if (g_verified == nullptr || g_verified->power != power.ptr()) {
        auto* verified = new Verified;  // one per np.power seen, kept for the process
        verified->power = power.ptr();
        std::optional<Loop> loop = float64_loop(power);
        if (loop && agrees_with_np_power(*loop, power)) verified->loop = loop;
        Py_INCREF(verified->power);
        g_verified = verified;
    }
    if (!g_verified->loop) return std::nullopt;
    const Loop loop = *g_verified->loop;
    return quon::PowerFunction([loop](const double* bases, std::size_t n, double exponent, double* out) {
        run(loop, bases, n, exponent, out);
    });
}

}  // namespace quon_py
