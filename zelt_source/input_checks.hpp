// Checks of a reservoir table's columns that never change a result: names
// that look like a misspelling of a column the method reads, and values
// that look misread in their column's unit. The module reports them as
// warnings. Also the refusal of values that are not finite numbers.
//
// Plain C++ with no Python in it. The bounds and where they come from are
// described in docs/screening-coverage.md.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelt {

// What a numeric input column holds, as far as its plausible values go.
enum class Quantity {
    other,                  // nothing checked
    gravity_api,            // oil gravity, degAPI
    temperature_c,          // reservoir temperature, degC
    surface_temperature_c,  // temperature at the surface, degC
    pore_percent,           // porosity or saturation, percent of the pore volume or rock
    percent,                // another share in percent (recovery factor)
    non_negative,           // viscosity, permeability, thickness, depth, pressure, salinity, MMP
};

// Plausible ranges (see the docs page for their sources).
inline constexpr double kLowestGravityApi = 5.0;
inline constexpr double kHighestGravityApi = 70.0;
inline constexpr double kHighestReservoirTemperatureC = 200.0;
inline constexpr double kLowestSurfaceTemperatureC = -60.0;
inline constexpr double kHighestSurfaceTemperatureC = 60.0;

// Values of one column that look misread: what is wrong with them, in
// words that follow the column's name ("holds ..."), and their positions.
struct ImplausibleValues {
    std::string problem;
    std::vector<std::size_t> rows;
};

// Every problem of one column, each once, in a fixed order. NaN values
// (not reported) are never a problem.
std::vector<ImplausibleValues> implausible_values(Quantity quantity, const std::vector<double>& values);

// Position of the first value that is +inf or -inf, if any.
std::optional<std::size_t> first_infinite(const std::vector<double>& values);

// Whether a finite value of the quantity overflows in the module's unit
// conversion (degC to degF for the temperatures).
bool overflows_in_conversion(Quantity quantity, double value);

// The column of `candidates` that `name` (lower case) is probably a
// misspelling of: one or two letters apart, or naming the same quantity in
// other words (most of its words, read with their usual abbreviations and
// synonyms, are the candidate's). Position in `candidates`, or none.
std::optional<std::size_t> probable_column(std::string_view name,
                                           const std::vector<std::string_view>& candidates);

}  // namespace zelt
