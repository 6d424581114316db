// What lies behind every score of either method: explain_halvane_zelt and
// explain_uom_zelt. The caller's table is read by the pipelines' own checked
// path without changing it, and the pipelines' own core run, asked to keep
// the limits in force, the parameter scores and the sources of the values,
// gives one long table: one row per reservoir, method and parameter, with
// whether the row rests on the caller's data and the method's coverage.
#include <string>

#include "py_face.hpp"

namespace zelt_py {

namespace {

Names first_method_columns() {
    return {"Reservoir_ID", "Reservoir", "ZeltMethod", "ScreeningParam", "Value",    "Source", "Basis",
            "Covered",      "Min",       "Max",        "Stopper",        "Points",   "Score",  "Coverage"};
}

Names second_method_columns() {
    return {"Reservoir_ID", "Reservoir", "ZeltMethod", "ScreeningParam", "Value",  "Source", "Basis",
            "Covered",      "Lower",     "Min",        "Max",            "Upper",  "Weighting",
            "PValue",       "Score",     "Coverage"};
}

}  // namespace

void raise_first_method_failure(const zelt::FirstMethodResult& result, py::handle edin_df,
                                const char* function) {
    if (result.failure == zelt::BatchFailure::none) return;
    if (result.failure == zelt::BatchFailure::math_domain) {
        pymodule::raise(PyExc_ValueError, "math domain error");
    }
    pymodule::raise(PyExc_ValueError,
                    std::string(function) + ": the values at row " + row_label(edin_df.attr("index"), result.failed_row) +
                        " give an infinite " + std::string(zelt::kParamNames[result.failed_param]) +
                        " (a correlation overflows); the row holds a value far outside its column's range");
}

py::object explain_halvane_zelt(py::object edin_df) {
    const Libs libs;
    ReservoirTable<zelt::ReservoirRecord> in =
        read_first_method_table(libs, edin_df, "explain_halvane_zelt", TableChanges::none);
    const zelt::ScreeningLimits limits =
        first_method_limits(libs, read_reference_table(libs, "screening_table.csv"));
    if (in.n == 0) return empty_table(libs, first_method_columns());

    zelt::FirstMethodResult result;
    zelt::FirstMethodExplanation explanation;
    {
        py::gil_scoped_release unlocked;
        result = zelt::screen_first_method(in.records, limits, 0, &explanation);
    }
    raise_first_method_failure(result, edin_df, "explain_halvane_zelt");
    return explanation_table(libs, in.ids, in.names, in.n, std::move(explanation));
}

py::object explain_uom_zelt(py::object edin_df) {
    const Libs libs;
    ReservoirTable<zelt::ReservoirRecord2019> in =
        read_2019_method_table(libs, edin_df, "explain_uom_zelt", TableChanges::none);
    const zelt::ScreeningLimits2019 limits =
        second_method_limits(libs, read_reference_table(libs, "screening_table_2019.csv"));
    if (in.n == 0) return empty_table(libs, second_method_columns());

    zelt::SecondMethodResult result;
    zelt::SecondMethodExplanation explanation;
    {
        py::gil_scoped_release unlocked;
        result = zelt::screen_2019_method(in.records, limits, &explanation);
    }
    warn_divisions(result.division);
    return explanation_table(libs, in.ids, in.names, in.n, std::move(explanation),
                             std::move(result.p_values));
}

}  // namespace zelt_py
