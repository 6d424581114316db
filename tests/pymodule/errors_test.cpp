// The one mapping of C++ exceptions to Python exceptions that both modules
// use (pymodule/errors.hpp), checked type by type in an embedded interpreter.
#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <stdexcept>
#include <string>

#include "errors.hpp"
#include "fluid_properties.hpp"

namespace py = pybind11;

namespace {

struct Raised {
    PyObject* type;
    std::string message;
};

template <typename Throw>
Raised raised_by(Throw&& throw_it) {
    try {
        throw_it();
    } catch (...) {
        pymodule::set_python_error(std::current_exception());
    }
    if (!PyErr_Occurred()) return {nullptr, ""};
    py::error_already_set e;
    return {e.type().ptr(), py::str(e.value()).cast<std::string>()};
}

TEST(ExceptionMapping, CoreAndStandardExceptions) {
    py::scoped_interpreter interpreter;
    struct Case {
        Raised got;
        PyObject* type;
        std::string message;
    };
    const Case cases[] = {
        {raised_by([] { throw zelt::MathDomainError(); }), PyExc_ValueError, "math domain error"},
        {raised_by([] { throw std::invalid_argument("bad"); }), PyExc_ValueError, "bad"},
        {raised_by([] { throw std::length_error("long"); }), PyExc_ValueError, "long"},
        {raised_by([] { throw std::out_of_range("far"); }), PyExc_IndexError, "far"},
        {raised_by([] { throw std::overflow_error("big"); }), PyExc_OverflowError, "big"},
        {raised_by([] { throw std::bad_alloc(); }), PyExc_MemoryError, ""},
        {raised_by([] { throw std::runtime_error("other"); }), PyExc_RuntimeError, "other"},
        {raised_by([] { throw 42; }), PyExc_RuntimeError, "unknown C++ exception"},
        {raised_by([] { throw py::key_error("k"); }), PyExc_KeyError, "'k'"},
        {raised_by([] { pymodule::raise(PyExc_TypeError, "named"); }), PyExc_TypeError, "named"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.got.type, c.type) << c.message;
        EXPECT_EQ(c.got.message, c.message);
    }
}

}  // namespace
