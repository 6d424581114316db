// The two pipelines, halvane_zelt and uom_zelt: the caller's table is
// checked, read once into owned records and normalised in place
// (py_input.cpp), the core runs over all rows with the GIL released, and the
// result tables are built column by column. Row k of the table is reservoir
// k of every result, whatever its index holds.
#include <string>

#include "py_face.hpp"

namespace zelt_py {

namespace {

const Names kLongScoreColumns = {"Reservoir_ID", "Reservoir", "ZeltMethod", "Score"};
const Names kWindowColumns = {"Reservoir_ID", "ScreeningParam", "ZeltMethod", "Category", "Value"};

}  // namespace

// ------------------------------------------------------------- the first method

py::tuple halvane_zelt(py::object edin_df) {
    const Libs libs;
    ReservoirTable<zelt::ReservoirRecord> in =
        read_first_method_table(libs, edin_df, "halvane_zelt", TableChanges::in_place);

    py::object file_table = read_reference_table(libs, "screening_table.csv");
    const zelt::ScreeningLimits limits = first_method_limits(libs, file_table);
    py::object screening_table_df = fix_screening_table_for_spotfire(file_table);

    const std::size_t n = in.n;
    if (n == 0) {
        return py::make_tuple(empty_table(libs, kLongScoreColumns), screening_table_df,
                              empty_table(libs, with_leading("Reservoir_ID", names_of(zelt::kParamNames))),
                              empty_table(libs, kWindowColumns));
    }

    // Row k is reservoir k, whatever the table's index holds.
    zelt::FirstMethodResult result;
    {
        py::gil_scoped_release unlocked;
        result = zelt::screen_first_method(in.records, limits);
    }
    std::vector<zelt::ReservoirRecord>().swap(in.records);   // not needed for the tables
    raise_first_method_failure(result, edin_df, "halvane_zelt");

    py::object score_table =
        long_score_table(libs, in.ids, in.names, result.scores, n, names_of(zelt::kMethodNames));
    py::object field_data_df = field_data_table(libs, in.ids, result.field_data);
    py::object window = pressure_window_table(libs, in.resv_col, result, n);
    label_with_units(screening_table_df, names_of(zelt::kParamNames), names_of(zelt::kParamLabels));
    return py::make_tuple(score_table, screening_table_df, field_data_df, window);
}

// ------------------------------------------------------------- the 2019 method

py::tuple uom_zelt(py::object edin_df) {
    const Libs libs;
    ReservoirTable<zelt::ReservoirRecord2019> in =
        read_2019_method_table(libs, edin_df, "uom_zelt", TableChanges::in_place);

    py::object file_table = read_reference_table(libs, "screening_table_2019.csv");
    const zelt::ScreeningLimits2019 limits = second_method_limits(libs, file_table);
    py::object screening_table_df = fix_screening_table_2019_for_spotfire(file_table);

    const Names params = names_of(zelt::kParamNames2019);
    const std::size_t n = in.n;
    if (n == 0) {
        return py::make_tuple(empty_table(libs, kLongScoreColumns), screening_table_df,
                              empty_table(libs, with_leading("ZeltMethod", params)),
                              empty_table(libs, with_leading("Reservoir_ID", params)));
    }

    zelt::SecondMethodResult result;
    {
        py::gil_scoped_release unlocked;
        result = zelt::screen_2019_method(in.records, limits);
    }
    std::vector<zelt::ReservoirRecord2019>().swap(in.records);
    warn_divisions(result.division);

    py::object score_table =
        long_score_table(libs, in.ids, in.names, result.scores, n, names_of(zelt::kMethodNames2019));
    py::object p_value_df = p_value_table(libs, result, n);
    py::object field_data_df = field_data_table(libs, in.ids, result.field_data);
    label_with_units(screening_table_df, params, names_of(zelt::kParamLabels2019));
    return py::make_tuple(score_table, screening_table_df, p_value_df, field_data_df);
}

}  // namespace zelt_py
