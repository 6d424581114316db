// The extension module `zelt`. Its import binds, in this order: the
// libraries np, pd, math and os, the seven correlation constants, then the
// nineteen functions of the table below and the two explanations and two
// summaries after them, and the InputWarning class. The functions themselves
// are in the py_ files beside this one.
#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "imports.hpp"
#include "py_face.hpp"

namespace zelt_py {

namespace {

// One module function: its name, its argument list as its text signature
// shows it (a trailing "/" makes the arguments positional-only), its
// docstring and the binder of its C++ function. The argument names that
// keyword calls use are read from that argument list, so the signature and
// the keywords cannot disagree.
struct FunctionRow {
    const char* name;
    const char* args;
    const char* doc;
    void (*bind)(py::module_& m, const FunctionRow& row);
};

struct ArgumentList {
    std::vector<std::string> names;
    bool positional_only = false;
};

// "a, b, /" -> names {"a", "b"}, positional-only.
ArgumentList parse_argument_list(std::string_view args) {
    ArgumentList parsed;
    while (!args.empty()) {
        const std::size_t comma = args.find(',');
        std::string_view arg = args.substr(0, comma);
        args = comma == std::string_view::npos ? std::string_view() : args.substr(comma + 1);
        while (!arg.empty() && arg.front() == ' ') arg.remove_prefix(1);
        if (arg == "/") {
            parsed.positional_only = true;
        } else {
            parsed.names.emplace_back(arg);
        }
    }
    return parsed;
}

template <typename R, typename... A>
constexpr std::size_t arity(R (*)(A...)) {
    return sizeof...(A);
}

template <typename Function, std::size_t... I>
void def_with_args(py::module_& m, const FunctionRow& row, Function f, std::index_sequence<I...>) {
    const ArgumentList parsed = parse_argument_list(row.args);
    if (parsed.names.size() != sizeof...(I)) {
        throw std::logic_error(std::string(row.name) + ": the argument list names " +
                               std::to_string(parsed.names.size()) + " arguments, the function takes " +
                               std::to_string(sizeof...(I)));
    }
    const std::string doc =
        pymodule::signature_doc(std::string(row.name) + "(" + row.args + ")", row.doc);
    if (parsed.positional_only) {
        m.def(row.name, f, doc.c_str(), py::arg(parsed.names[I].c_str())..., py::pos_only());
    } else {
        m.def(row.name, f, doc.c_str(), py::arg(parsed.names[I].c_str())...);
    }
}

template <auto F>
void def(py::module_& m, const FunctionRow& row) {
    def_with_args(m, row, F, std::make_index_sequence<arity(F)>{});
}

const FunctionRow kFunctions[] = {
    {"get_filepath", "filename, /", "Path of filename in the directory of the module file.",
     &def<&get_filepath>},
    {"get_field_data", "idx, row",
     "Field data record of one reservoir: the eleven screening parameters,\n"
     "with defaults and correlations where the row has no value.",
     &def<&get_field_data>},
    {"get_mmp", "idx, row, field_data",
     "MMP record of one reservoir: CO2, hydrocarbon and nitrogen MMPs (psia).", &def<&get_mmp>},
    {"mmp", "api, temp, injected_gas",
     "SPE 97650 - Lange\u2019s Correlation\n(PVT textbook, pages 355 and 320)", &def<&py_mmp>},
    {"oil_solubility_parameter", "mw, temp",
     "Solubility parameter of the oil from its molecular weight and temperature (degF).",
     &def<&py_oil_solubility_parameter>},
    {"gas_solubility_parameter", "comp, rho_p1, rhoc, pc",
     "Solubility parameter of the injected gas from its component densities.",
     &def<&py_gas_solubility_parameter>},
    {"desity_calc", "p, t, pc, tc, mw, wi",
     "Density (lb/ft3) from the Peng-Robinson equation of state; p psia, t degR.",
     &def<&py_desity_calc>},
    {"cubic_equation_solution", "a1, a2, a3", "SOLVE Cubic Equation (PVT textbook, page 369)",
     &def<&py_cubic_equation_solution>},
    {"get_diff", "idx, field_data, reservoir_mmps, screening_table, zelt_methods, screening_params",
     "Difference record of one reservoir: how far each parameter lies outside each\n"
     "method's limits (NaN inside). Adjusts pressure, polymer and ASP limits of\n"
     "screening_table in place first.",
     &def<&get_diff>},
    {"get_min_max", "diffs, screening_params",
     "Smallest and largest difference of each parameter over all reservoirs and methods.",
     &def<&get_min_max>},
    {"get_screening_param_score", "diffs, min_max_diff, zelt_methods, screening_params",
     "Parameter scores: 10 inside the limits, -1 to -10 by the size of the violation.",
     &def<&get_screening_param_score>},
    {"get_zelt_score", "edin_df, screening_param_scores, screening_table, zelt_methods, screening_params",
     "Method scores in [-1, 1] of every reservoir; -1 for a knocked-out method.",
     &def<&get_zelt_score>},
    {"halvane_zelt", "edin_df, /",
     "Screens every reservoir of edin_df for 15 recovery methods.\n\n"
     "Returns (zelt_score_df, screening_table_df, field_data_df, resv_screening_table_df).",
     &def<&halvane_zelt>},
    {"fix_screening_table_for_spotfire", "screening_table_df, /",
     "The reference limits as a long table: \"Min\" the lower limit, \"Max\" the range width.",
     &def<&fix_screening_table_for_spotfire>},
    {"get_field_data_2019", "idx, row",
     "2019 field data record of one reservoir: the eight screening parameters.",
     &def<&get_field_data_2019>},
    {"get_zelt_score_2019",
     "edin_df, screening_param_scores, screening_table, zelt_methods_2019, screening_params_2019",
     "2019 scores and p-values: (list of score records, list of p-value records).",
     &def<&get_zelt_score_2019>},
    {"p_value", "param, lower, min_val, max_val, upper",
     "Rating of one value against nested limits, from -1 (unacceptable) to 1.", &def<&py_p_value>},
    {"uom_zelt", "edin_df, /",
     "Screens every reservoir of edin_df by the 2019 method.\n\n"
     "Returns (zelt_score_2019_df, screening_table_2019_df, p_value_2019_df, field_data_2019_df).",
     &def<&uom_zelt>},
    {"fix_screening_table_2019_for_spotfire", "screening_table_2019_df, /",
     "The 2019 reference limits as a long table of consecutive segments.",
     &def<&fix_screening_table_2019_for_spotfire>},
    {"explain_halvane_zelt", "edin_df, /",
     "What lies behind every score of halvane_zelt: one row per reservoir, method and\n"
     "parameter with the value and where it came from (Source), the limits in force,\n"
     "the knock-out flag, the parameter's points and the method's score. The table\n"
     "passed in is not changed.",
     &def<&explain_halvane_zelt>},
    {"explain_uom_zelt", "edin_df, /",
     "What lies behind every score of uom_zelt: one row per reservoir, method and\n"
     "parameter with the value and where it came from (Source), the four limits, the\n"
     "weight, the p-value and the method's score. The table passed in is not changed.",
     &def<&explain_uom_zelt>},
    {"summary_halvane_zelt", "edin_df, /",
     "How sure every score of halvane_zelt is: one row per reservoir and method, in\n"
     "input order, with the Score, its Rank within the reservoir (1 the best, ties\n"
     "sharing the better rank), its Coverage (the share of the method's points that\n"
     "rests on values the table reported or measured), Screened (Coverage of at least\n"
     "0.5) and the Estimated Knock-out (the estimated parameters whose stopper knocked\n"
     "the method out, where no reported one did). The table passed in is not changed.",
     &def<&summary_halvane_zelt>},
    {"summary_uom_zelt", "edin_df, /",
     "How sure every score of uom_zelt is: as summary_halvane_zelt, Coverage being the\n"
     "share of the method's weights that rests on reported values; the 2019 method\n"
     "knocks nothing out. The table passed in is not changed.",
     &def<&summary_uom_zelt>},
};

}  // namespace

void ZeltModule::body(py::module_ m) {
    m.attr("np") = pymodule::import_dependency("numpy", "zelt");
    m.attr("pd") = pymodule::import_dependency("pandas", "zelt");
    m.attr("math") = py::module_::import("math");
    m.attr("os") = py::module_::import("os");
    const zelt::CorrelationConstants& c = zelt::correlation_constants();
    m.attr("slope_viscosity") = c.slope_viscosity;
    m.attr("intercept_viscosity") = c.intercept_viscosity;
    m.attr("slope_rs") = c.slope_rs;
    m.attr("intercept_rs") = c.intercept_rs;
    m.attr("kv_kh_ratio") = c.kv_kh_ratio;
    m.attr("slope_salinity") = c.slope_salinity;
    m.attr("intercept_salinity") = c.intercept_salinity;

    // Warned about input that looks misread; results never change for it.
    py::object input_warning = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
        "zelt.InputWarning",
        "A column or value of the reservoir table that looks misread (a misspelt column\n"
        "name, a value implausible in its column's unit). The values are used as given.",
        PyExc_UserWarning, nullptr));
    if (!input_warning) throw py::error_already_set();
    m.attr("InputWarning") = input_warning;

    // The docstrings carry their own text signatures.
    py::options options;
    options.disable_function_signatures();
    for (const FunctionRow& row : kFunctions) row.bind(m, row);
    bind_analogs(m);
}

}  // namespace zelt_py

PyMODINIT_FUNC PyInit_zelt() { return zelt_py::ZeltModuleDef::init(); }
