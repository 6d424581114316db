// How sure every score is: summary_halvane_zelt and summary_uom_zelt. The
// caller's table is read by the pipelines' own checked path without changing
// it, and the pipelines' own core run, asked for the summary, gives the
// scores with their ranks, coverage and estimated knock-outs.
#include "py_face.hpp"

namespace zelt_py {

namespace {

const Names kSummaryColumns = {"Reservoir_ID", "Reservoir", "ZeltMethod", "Score", "Rank", "Coverage",
                               "Screened", "Estimated Knock-out"};

}  // namespace

py::object summary_halvane_zelt(py::object edin_df) {
    const Libs libs;
    ReservoirTable<zelt::ReservoirRecord> in =
        read_first_method_table(libs, edin_df, "summary_halvane_zelt", TableChanges::none);
    const zelt::ScreeningLimits limits =
        first_method_limits(libs, read_reference_table(libs, "screening_table.csv"));
    if (in.n == 0) return empty_table(libs, kSummaryColumns);

    zelt::FirstMethodResult result;
    zelt::MethodSummary summary;
    {
        py::gil_scoped_release unlocked;
        result = zelt::screen_first_method(in.records, limits, 0, nullptr, &summary);
    }
    raise_first_method_failure(result, edin_df, "summary_halvane_zelt");
    return summary_table(libs, in.ids, in.names, in.n, names_of(zelt::kMethodNames), names_of(zelt::kParamNames),
                         result.scores, std::move(summary));
}

py::object summary_uom_zelt(py::object edin_df) {
    const Libs libs;
    ReservoirTable<zelt::ReservoirRecord2019> in =
        read_2019_method_table(libs, edin_df, "summary_uom_zelt", TableChanges::none);
    const zelt::ScreeningLimits2019 limits =
        second_method_limits(libs, read_reference_table(libs, "screening_table_2019.csv"));
    if (in.n == 0) return empty_table(libs, kSummaryColumns);

    zelt::SecondMethodResult result;
    zelt::MethodSummary summary;
    {
        py::gil_scoped_release unlocked;
        result = zelt::screen_2019_method(in.records, limits, nullptr, &summary);
    }
    warn_divisions(result.division);
    return summary_table(libs, in.ids, in.names, in.n, names_of(zelt::kMethodNames2019),
                         names_of(zelt::kParamNames2019), result.scores, std::move(summary));
}

}  // namespace zelt_py
