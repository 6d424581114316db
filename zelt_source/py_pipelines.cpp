// The two pipelines, halvane_zelt and uom_zelt: the caller's table is
// checked, normalised in place and read once into owned arrays
// (py_input.cpp), the core runs over all rows with the GIL released, and the
// result tables are built column by column. Row k of the table is reservoir
// k of every result, whatever its index holds.
#include <string>

#include "py_face.hpp"

namespace zelt_py {

namespace {

// The thirteen numeric input columns of the first method, in conversion order.
const std::array<const char*, 13> kRequiredNumericColumns = {
    "oil_density_max_val_deg_api", "oil_viscosity_max_val_cp", "top_depth_feet",
    "net_thickn_max_val_feet",     "gross_thickn_max_val_feet", "permeab_avg_md",
    "porosity_avg_pct",            "oil_recovery_pp_factor",   "pressure_psi",
    "temp_max_val_deg_c",          "water_saturation_max_val_pct", "original_pressure_psi",
    "salinity_max_val_ppm"};

// The nine numeric input columns of the 2019 method, in conversion order.
const std::array<const char*, 9> kRequiredNumericColumns2019 = {
    "porosity_avg_pct",           "permeab_avg_md",     "top_depth_feet",
    "oil_density_max_val_deg_api", "oil_viscosity_max_val_cp", "temp_max_val_deg_c",
    "water_saturation_max_val_pct", "gross_thickn_max_val_feet", "net_thickn_max_val_feet"};

const Names kLongScoreColumns = {"Reservoir_ID", "Reservoir", "ZeltMethod", "Score"};
const Names kWindowColumns = {"Reservoir_ID", "ScreeningParam", "ZeltMethod", "Category", "Value"};

const TableSpec kFirstMethodInput{"halvane_zelt",
                                  {kResvId, kReservoirName},
                                  {kRequiredNumericColumns.begin(), kRequiredNumericColumns.end()},
                                  {kGasReserveDateQual}};

const TableSpec k2019MethodInput{"uom_zelt",
                                 {kResvId, kReservoirName},
                                 {kRequiredNumericColumns2019.begin(), kRequiredNumericColumns2019.end()},
                                 {}};

// The reservoirs of the table; its numeric columns are released, so that
// they do not add to the peak of the table building.
std::vector<zelt::ReservoirRecord> first_method_records(InputTable& in) {
    const std::vector<std::vector<double>> c = std::move(in.numeric);
    std::vector<zelt::ReservoirRecord> records(in.n);
    for (std::size_t k = 0; k < in.n; ++k) {
        zelt::ReservoirRecord& r = records[k];
        r.oil_gravity_api = c[0][k];
        r.dead_oil_viscosity_cp = c[1][k];
        r.top_depth_ft = c[2][k];
        r.net_thickness_ft = c[3][k];
        r.gross_thickness_ft = c[4][k];
        r.permeability_md = c[5][k];
        r.porosity_pct = c[6][k];
        r.recovery_factor_pct = c[7][k];
        r.pressure_psi = c[8][k];
        r.temperature_c = c[9][k];
        r.water_saturation_pct = c[10][k];
        // c[11], the original pressure, is converted but not used.
        r.salinity_ppm = c[12][k];
    }
    return records;
}

std::vector<zelt::ReservoirRecord2019> records_2019(InputTable& in) {
    const std::vector<std::vector<double>> c = std::move(in.numeric);
    std::vector<zelt::ReservoirRecord2019> records(in.n);
    for (std::size_t k = 0; k < in.n; ++k) {
        records[k] = zelt::ReservoirRecord2019{c[0][k], c[1][k], c[2][k], c[3][k], c[4][k],
                                               c[5][k], c[6][k], c[7][k], c[8][k]};
    }
    return records;
}

}  // namespace

// ------------------------------------------------------------- the first method

py::tuple halvane_zelt(py::object edin_df) {
    const Libs libs;
    InputTable in = read_input_table(libs, edin_df, kFirstMethodInput);

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
    const std::vector<zelt::ReservoirRecord> records = first_method_records(in);
    zelt::FirstMethodResult result;
    {
        py::gil_scoped_release unlocked;
        result = zelt::screen_first_method(records, limits);
    }
    if (result.failure == zelt::BatchFailure::math_domain) {
        pymodule::raise(PyExc_ValueError, "math domain error");
    }

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
    InputTable in = read_input_table(libs, edin_df, k2019MethodInput);

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

    const std::vector<zelt::ReservoirRecord2019> records = records_2019(in);
    zelt::SecondMethodResult result;
    {
        py::gil_scoped_release unlocked;
        result = zelt::screen_2019_method(records, limits);
    }
    warn_divisions(result.division);

    py::object score_table =
        long_score_table(libs, in.ids, in.names, result.scores, n, names_of(zelt::kMethodNames2019));
    py::object p_value_df = p_value_table(libs, result, n);
    py::object field_data_df = field_data_table(libs, in.ids, result.field_data);
    label_with_units(screening_table_df, params, names_of(zelt::kParamLabels2019));
    return py::make_tuple(score_table, screening_table_df, p_value_df, field_data_df);
}

}  // namespace zelt_py
