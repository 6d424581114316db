// What the Python-side files of the module `zelt` share: the module
// definition, the module functions that zelt_script.cpp binds, the reading
// of reference files and table columns, and the building of result tables.
//
// Private to zelt_source/. The py_ files are the only ones that touch Python
// objects; they convert arguments and tables to core values (fluid
// properties, screening scores, batch runs) and the results back.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "errors.hpp"
#include "module_def.hpp"
#include "screening_batch.hpp"
#include "screening_scores.hpp"

namespace zelt_py {

namespace py = pybind11;

// ----------------------------------------------------------------- the module

struct ZeltModule {
    static constexpr const char* name = "zelt";
    static constexpr const char* doc = "\nZELT script modified to run in Spotfire\n";
    static void body(py::module_ m);   // zelt_script.cpp
};
using ZeltModuleDef = pymodule::Module<ZeltModule>;

// Input columns read by the step functions and the pipelines.
inline constexpr const char* kResvId = "resv_id";
inline constexpr const char* kReservoirName = "reservoir_unit_name";
inline constexpr const char* kGasReserveDateQual = "gas_reserve_date_qual";
// Optional columns of both: a reservoir-condition viscosity (cP) and the
// measured MMPs of the three gases (psi), used where not missing.
inline constexpr const char* kInSituViscosity = "oil_viscosity_insitu_cp";
inline constexpr const char* kMeasuredMmpCo2 = "mmp_co2_psi";
inline constexpr const char* kMeasuredMmpHc = "mmp_hc_psi";
inline constexpr const char* kMeasuredMmpN2 = "mmp_n2_psi";
// Optional surface temperature (degC) from which a temperature estimated
// from depth starts.
inline constexpr const char* kSurfaceTemperature = "surface_temp_deg_c";

// ------------------------------------------------ step functions (py_steps.cpp)

py::dict get_field_data(py::object idx, py::object row);
py::dict get_mmp(py::object idx, py::object row, py::object field_data);
double py_mmp(py::object api, py::object temp, py::object injected_gas);
double py_oil_solubility_parameter(py::object mw, py::object temp);
double py_gas_solubility_parameter(py::object comp, py::object rho_p1, py::object rhoc,
                                   py::object pc);
double py_desity_calc(py::object p, py::object t, py::object pc, py::object tc, py::object mw,
                      py::object wi);
double py_cubic_equation_solution(py::object a1, py::object a2, py::object a3);
py::dict get_diff(py::object idx, py::object field_data, py::object reservoir_mmps,
                  py::object screening_table, py::object zelt_methods, py::object screening_params);
py::dict get_min_max(py::object diffs, py::object screening_params);
py::list get_screening_param_score(py::object diffs, py::object min_max_diff,
                                   py::object zelt_methods, py::object screening_params);
py::list get_zelt_score(py::object edin_df, py::object screening_param_scores,
                        py::object screening_table, py::object zelt_methods,
                        py::object screening_params);
py::dict get_field_data_2019(py::object idx, py::object row);
double py_p_value(py::object param, py::object lower, py::object min_val, py::object max_val,
                  py::object upper);
py::tuple get_zelt_score_2019(py::object edin_df, py::object screening_param_scores,
                              py::object screening_table, py::object zelt_methods_2019,
                              py::object screening_params_2019);

// The runtime warnings the numeric library gives for a weighted mean that
// divided by a zero sum of weights.
void warn_divisions(const zelt::DivisionFlags& flags);

// ---------------------------------- reference files and reshaping (py_reference.cpp)

py::object get_filepath(py::object filename);
py::object fix_screening_table_for_spotfire(py::object screening_table_df);
py::object fix_screening_table_2019_for_spotfire(py::object screening_table_2019_df);

// The libraries a pipeline call works with, looked up once per call.
struct Libs {
    py::module_ np = py::module_::import("numpy");
    py::module_ pd = py::module_::import("pandas");
    py::object is_extension_array_dtype =
        py::module_::import("pandas.api.types").attr("is_extension_array_dtype");
};

// A reference file beside the module, read as the pipelines read it: "MMP"
// and empty cells as NaN, ("ScreeningParam", "ZeltMethod") as the index.
py::object read_reference_table(const Libs& libs, const char* filename);
zelt::ScreeningLimits first_method_limits(const Libs& libs, py::handle table);
// Converts the five numeric columns of the table to floating point in place first.
zelt::ScreeningLimits2019 second_method_limits(const Libs& libs, py::handle table);

using Names = std::vector<std::string_view>;

template <std::size_t N>
Names names_of(const std::array<std::string_view, N>& names) {
    return Names(names.begin(), names.end());
}

// "ScreeningParam" values replaced by their display labels, in place.
void label_with_units(py::handle table, const Names& names, const Names& labels);

// ------------------------------------------------ table columns (py_tables.cpp)

// One column of a table as a Series (a repeated name is refused).
py::object column(const Libs& libs, py::handle table, const char* name);
// One column as owned doubles.
std::vector<double> float_values(const Libs& libs, py::handle table, const char* name);

// ------------------------------------------------ the caller's table (py_input.cpp)

// What a call leaves of the caller's table: the pipelines lower-case its
// column names and convert the numeric columns they read to floating point
// in place; the explanations leave it as it is.
enum class TableChanges { in_place, none };

// The reservoirs of the caller's table, read once into values of the
// module's own. Row k of the table is reservoir k.
template <typename Record>
struct ReservoirTable {
    std::size_t n = 0;              // rows when the call started
    std::vector<Record> records;    // NaN where a value is missing or its column absent
    py::object resv_col;            // "resv_id" as a Series of n rows (unset for n = 0)
    py::list ids;                   // its values as the rows carry them, after the conversion
    py::list names;                 // "reservoir_unit_name" likewise
};

// The table of the first method, or of the 2019 method, for `function`
// (which failures name first). Refuses, before the caller's table changes
// and in this order: what is not a DataFrame (TypeError), column names that
// are not text (TypeError), names that lower-case alike or a read column
// that appears twice (ValueError), missing required columns (one KeyError
// naming them all), a value of a numeric column that is not a number
// (ValueError naming the column, the row label and the value; None, pd.NA
// and NaN are missing values). A table that changes length while it is read
// fails with a ValueError. Required: "resv_id", "reservoir_unit_name" and,
// for the first method, "top_depth_feet"; every other column is optional
// and read as all missing when absent (it is not added to the table).
ReservoirTable<zelt::ReservoirRecord> read_first_method_table(const Libs& libs, py::handle edin_df,
                                                              const char* function, TableChanges changes);
ReservoirTable<zelt::ReservoirRecord2019> read_2019_method_table(const Libs& libs, py::handle edin_df,
                                                                 const char* function,
                                                                 TableChanges changes);

// The label of row `row` of an index as messages write it (its repr; a
// numpy scalar as the Python value it holds).
std::string row_label(py::handle index, std::size_t row);

// ------------------------------------------------ result tables (py_tables.cpp)

Names with_leading(std::string_view first, const Names& rest);
py::object empty_table(const Libs& libs, const Names& columns);

// The long score table of either method: scores n x methods, row-major.
py::object long_score_table(const Libs& libs, py::handle ids, py::handle names,
                            const std::vector<double>& scores, std::size_t n,
                            const Names& methods);
py::object field_data_table(const Libs& libs, py::handle ids,
                            const std::vector<zelt::FieldData>& field_data);
py::object field_data_table(const Libs& libs, py::handle ids,
                            const std::vector<zelt::FieldData2019>& field_data);
py::object pressure_window_table(const Libs& libs, py::handle resv_col,
                                 const zelt::FirstMethodResult& result, std::size_t n);
py::object p_value_table(const Libs& libs, const zelt::SecondMethodResult& result, std::size_t n);

// The explanation of either method, one row per reservoir, method and
// parameter; the columns take over the explanation's memory.
py::object explanation_table(const Libs& libs, py::handle ids, py::handle names, std::size_t n,
                             zelt::FirstMethodExplanation&& explanation);
py::object explanation_table(const Libs& libs, py::handle ids, py::handle names, std::size_t n,
                             zelt::SecondMethodExplanation&& explanation, std::vector<double>&& p_values);

// The summary of either method: one row per reservoir and method,
// reservoir-major, with the score, its rank, coverage, whether it counts as
// screened and the estimated knock-out parameters (names from `params`).
py::object summary_table(const Libs& libs, py::handle ids, py::handle names, std::size_t n, const Names& methods,
                         const Names& params, const std::vector<double>& scores, zelt::MethodSummary&& summary);

// ------------------------------------------------ pipelines (py_pipelines.cpp)

py::tuple halvane_zelt(py::object edin_df);
py::tuple uom_zelt(py::object edin_df);

// ------------------------------------------------ explanations (py_explain.cpp)

py::object explain_halvane_zelt(py::object edin_df);
py::object explain_uom_zelt(py::object edin_df);

// The failure of a first-method run (domain error, a field value that is
// not finite) as the Python exception, naming the row label.
void raise_first_method_failure(const zelt::FirstMethodResult& result, py::handle edin_df,
                                const char* function);

// ------------------------------------------------ summaries (py_summary.cpp)

py::object summary_halvane_zelt(py::object edin_df);
py::object summary_uom_zelt(py::object edin_df);

// ------------------------------------------------ analogs (py_analogs.cpp)

// Binds rank_by_analogs and evaluate_analogs on the module.
void bind_analogs(py::module_& m);

}  // namespace zelt_py
