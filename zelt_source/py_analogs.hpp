// What the two analog functions of the module share: the caller's tables
// read once into values of the module's own (py_analogs_input.cpp). Private
// to zelt_source/.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "analogs.hpp"
#include "py_face.hpp"

namespace zelt_py::analog_face {

namespace an = zelt::analogs;

// The distance parameters, in this order.
enum Param { kGravity, kViscosity, kDepth, kNetPay, kPermeability, kPorosity, kPressure,
             kTemperature, kWaterSaturation, kSalinity, kParams };

// Their scales: logarithms for viscosity, net pay, permeability and salinity.
extern const std::vector<an::Scale> kScales;

std::string repr_text(py::handle o);
// "function: message" as the Python exception `type`.
[[noreturn]] void fail(PyObject* type, const std::string& function, const std::string& message);
// A UserWarning "function: message".
void warn(const std::string& function, const std::string& message);
// The first few items, and how many more.
std::string listed(const std::vector<std::string>& items);

// One caller's table as the analogs read it.
struct InputTable {
    std::string what;                  // "reservoirs table", "projects table"
    py::object df;
    std::size_t n = 0;
    std::map<std::string, std::size_t> position;   // lower-case name -> column position
    py::object index;
};

// TypeError for what is not a DataFrame; ValueError for column names alike in lower case.
InputTable open_table(py::handle df, const char* what, const std::string& function);
py::object column_at(const InputTable& t, std::size_t position);
// A column's values as a list of the rows the call started with.
py::list column_values(const InputTable& t, std::size_t position, const std::string& name,
                       const std::string& function);

// The table's values: the distance parameters and both methods' records.
struct Values {
    an::Table params;
    std::vector<zelt::ReservoirRecord> first;
    std::vector<zelt::ReservoirRecord2019> second;
};

// Every screening input column the table has, each cell a number or missing;
// anything else fails naming the table, the column and the row.
Values read_values(const InputTable& t, const std::string& function);

// The projects: their values, and for each usable row (a method label and
// at least min_shared parameters) its table row and label number.
struct Projects {
    InputTable table;
    Values values;                       // usable rows only
    std::vector<std::size_t> rows;       // table row of each usable project
    std::vector<std::int32_t> label;     // label number of each usable project
    std::vector<std::string> labels;     // in order of first appearance
    std::vector<int> label_family;       // kNoFamily where unknown
    py::list outcomes = py::list();      // per usable project (None without the column)
};

// The projects table: a KeyError without the method column, the values as
// read_values reads them, the labels' families (families: the caller's
// overrides), a warning for rows left out and for labels without a family,
// a ValueError when no row is usable.
Projects read_projects(py::handle df, const std::string& method_column, const std::string& outcome_column,
                       py::handle families, std::size_t min_shared, const std::string& function);

}  // namespace zelt_py::analog_face
