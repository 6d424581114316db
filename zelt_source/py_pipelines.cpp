// The two pipelines, halvane_zelt and uom_zelt: the caller's table is
// normalised in place, each column is read once into owned arrays, the core
// runs over all rows with the GIL released, and the result tables are built
// column by column.
#include <string>

#include "py_face.hpp"

namespace zelt_py {

using pymodule::item;
using pymodule::set_item;

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

// ------------------------------------------------------------ the caller's table

void require_dataframe(const Libs& libs, py::handle edin_df, const char* function) {
    if (!py::isinstance(edin_df, libs.pd.attr("DataFrame"))) {
        pymodule::raise(PyExc_TypeError, std::string(function) + "() expects a pandas DataFrame, not " +
                                             Py_TYPE(edin_df.ptr())->tp_name);
    }
}

// Column names in lower case, in place on the caller's table.
void lower_case_columns(py::handle edin_df) {
    py::object lower = py::module_::import("builtins").attr("str").attr("lower");
    py::list names;
    for (py::handle name : edin_df.attr("columns")) names.append(lower(name));
    edin_df.attr("columns") = names;
}

// The named columns converted to floating point, in place on the caller's table.
template <std::size_t N>
void convert_numeric_columns(py::handle edin_df, const std::array<const char*, N>& columns) {
    py::list keys;
    for (const char* c : columns) keys.append(c);
    py::object float_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyFloat_Type));
    set_item(edin_df, keys, item(edin_df, keys).attr("astype")(float_type));
}

// Rows of the table, or 0 when it has no columns either.
std::size_t row_count(py::handle edin_df) {
    const py::tuple shape = edin_df.attr("shape");
    const std::size_t n = shape[0].cast<std::size_t>();
    return shape[1].cast<std::size_t>() == 0 ? 0 : n;
}

// The position a list lookup `records[label]` would reach for a list of n
// records, or kInvalidPosition with the error that lookup raises.
std::int64_t list_position(py::handle label, std::size_t n, py::object& error_type,
                           std::string& error_message) {
    PyObject* o = label.ptr();
    if (!PyIndex_Check(o)) {
        error_type = py::reinterpret_borrow<py::object>(PyExc_TypeError);
        error_message = std::string("list indices must be integers or slices, not ") +
                        Py_TYPE(o)->tp_name;
        return zelt::kInvalidPosition;
    }
    Py_ssize_t i = PyNumber_AsSsize_t(o, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) {
        py::error_already_set e;
        error_type = e.type();
        error_message = py::str(e.value());
        return zelt::kInvalidPosition;
    }
    if (i < 0) i += static_cast<Py_ssize_t>(n);
    if (i < 0 || static_cast<std::size_t>(i) >= n) {
        error_type = py::reinterpret_borrow<py::object>(PyExc_IndexError);
        error_message = "list index out of range";
        return zelt::kInvalidPosition;
    }
    return i;
}

// Row k pairs with the record at the list position its index label names.
struct RowLabels {
    std::vector<std::int64_t> positions;   // empty: labels are 0 .. n-1
    py::object error_type;                 // what the first bad label raises
    std::string error_message;
};

RowLabels row_labels(const Libs& libs, py::handle edin_df, std::size_t n) {
    RowLabels labels;
    py::object index = edin_df.attr("index");
    if (py::isinstance(index, libs.pd.attr("RangeIndex")) &&
        index.attr("start").cast<py::int_>().cast<long long>() == 0 &&
        index.attr("step").cast<py::int_>().cast<long long>() == 1) {
        return labels;
    }
    labels.positions.reserve(n);
    for (py::handle label : index) {
        py::object type;
        std::string message;
        labels.positions.push_back(list_position(label, n, type, message));
        if (labels.positions.back() == zelt::kInvalidPosition && !labels.error_type) {
            labels.error_type = type;
            labels.error_message = message;
        }
    }
    return labels;
}

template <typename Result>
void raise_batch_failure(const Result& result, const RowLabels& labels) {
    switch (result.failure) {
        case zelt::BatchFailure::none: return;
        case zelt::BatchFailure::math_domain: pymodule::raise(PyExc_ValueError, "math domain error");
        case zelt::BatchFailure::invalid_label: pymodule::raise(labels.error_type, labels.error_message);
    }
}

// Every required column read once, as owned doubles (the core reads them
// with the GIL released).
template <std::size_t N>
std::array<std::vector<double>, N> numeric_columns(const Libs& libs, py::handle edin_df,
                                                   const std::array<const char*, N>& names) {
    std::array<std::vector<double>, N> c;
    for (std::size_t i = 0; i < N; ++i) c[i] = float_values(libs, edin_df, names[i]);
    return c;
}

std::vector<zelt::ReservoirRecord> read_reservoirs(const Libs& libs, py::handle edin_df, std::size_t n) {
    const auto c = numeric_columns(libs, edin_df, kRequiredNumericColumns);
    std::vector<zelt::ReservoirRecord> records(n);
    for (std::size_t k = 0; k < n; ++k) {
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

std::vector<zelt::ReservoirRecord2019> read_reservoirs_2019(const Libs& libs, py::handle edin_df,
                                                            std::size_t n) {
    const auto c = numeric_columns(libs, edin_df, kRequiredNumericColumns2019);
    std::vector<zelt::ReservoirRecord2019> records(n);
    for (std::size_t k = 0; k < n; ++k) {
        records[k] = zelt::ReservoirRecord2019{c[0][k], c[1][k], c[2][k], c[3][k], c[4][k],
                                               c[5][k], c[6][k], c[7][k], c[8][k]};
    }
    return records;
}

}  // namespace

// ------------------------------------------------------------- the first method

py::tuple halvane_zelt(py::object edin_df) {
    const Libs libs;
    require_dataframe(libs, edin_df, "halvane_zelt");
    lower_case_columns(edin_df);
    convert_numeric_columns(edin_df, kRequiredNumericColumns);

    py::object file_table = read_reference_table(libs, "screening_table.csv");
    const zelt::ScreeningLimits limits = first_method_limits(libs, file_table);
    py::object screening_table_df = fix_screening_table_for_spotfire(file_table);

    const std::size_t n = row_count(edin_df);
    if (n == 0) {
        return py::make_tuple(empty_table(libs, kLongScoreColumns), screening_table_df,
                              empty_table(libs, with_leading("Reservoir_ID", names_of(zelt::kParamNames))),
                              empty_table(libs, kWindowColumns));
    }

    py::object resv_col = column(libs, edin_df, kResvId);
    column(libs, edin_df, kGasReserveDateQual);
    const std::vector<zelt::ReservoirRecord> records = read_reservoirs(libs, edin_df, n);
    const RowLabels labels = row_labels(libs, edin_df, n);

    zelt::FirstMethodResult result;
    {
        py::gil_scoped_release unlocked;
        result = zelt::screen_first_method(records, labels.positions, limits);
    }
    raise_batch_failure(result, labels);
    py::object names_col = column(libs, edin_df, kReservoirName);

    py::list ids = row_values(edin_df, resv_col);
    py::list names = row_values(edin_df, names_col);
    py::object score_table =
        long_score_table(libs, ids, names, result.scores, n, names_of(zelt::kMethodNames));
    py::object field_data_df = field_data_table(libs, ids, result.field_data);
    py::object window = pressure_window_table(libs, resv_col, result, n);
    label_with_units(screening_table_df, names_of(zelt::kParamNames), names_of(zelt::kParamLabels));
    return py::make_tuple(score_table, screening_table_df, field_data_df, window);
}

// ------------------------------------------------------------- the 2019 method

py::tuple uom_zelt(py::object edin_df) {
    const Libs libs;
    require_dataframe(libs, edin_df, "uom_zelt");
    lower_case_columns(edin_df);
    convert_numeric_columns(edin_df, kRequiredNumericColumns2019);

    py::object file_table = read_reference_table(libs, "screening_table_2019.csv");
    const zelt::ScreeningLimits2019 limits = second_method_limits(libs, file_table);
    py::object screening_table_df = fix_screening_table_2019_for_spotfire(file_table);

    const Names params = names_of(zelt::kParamNames2019);
    const std::size_t n = row_count(edin_df);
    if (n == 0) {
        return py::make_tuple(empty_table(libs, kLongScoreColumns), screening_table_df,
                              empty_table(libs, with_leading("ZeltMethod", params)),
                              empty_table(libs, with_leading("Reservoir_ID", params)));
    }

    py::object resv_col = column(libs, edin_df, kResvId);
    const std::vector<zelt::ReservoirRecord2019> records = read_reservoirs_2019(libs, edin_df, n);
    py::object names_col = column(libs, edin_df, kReservoirName);
    const RowLabels labels = row_labels(libs, edin_df, n);

    zelt::SecondMethodResult result;
    {
        py::gil_scoped_release unlocked;
        result = zelt::screen_2019_method(records, labels.positions, limits);
    }
    raise_batch_failure(result, labels);
    warn_divisions(result.division);

    py::list ids = row_values(edin_df, resv_col);
    py::list names = row_values(edin_df, names_col);
    py::object score_table =
        long_score_table(libs, ids, names, result.scores, n, names_of(zelt::kMethodNames2019));
    py::object p_value_df = p_value_table(libs, result, n);
    py::object field_data_df = field_data_table(libs, ids, result.field_data);
    label_with_units(screening_table_df, params, names_of(zelt::kParamLabels2019));
    return py::make_tuple(score_table, screening_table_df, p_value_df, field_data_df);
}

}  // namespace zelt_py
