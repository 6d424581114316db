// The runs of both screening methods over many reservoirs, used by the
// module's pipelines: field data, MMPs, scores and pressure windows of every
// input row, on a few threads, and the row order of the long score table.
//
// Plain C++ with no Python in it; the rules themselves are those of
// fluid_properties.hpp and screening_scores.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fluid_properties.hpp"
#include "screening_scores.hpp"

namespace zelt {

// Row k of the input is reservoir k of every result: its field data, MMPs,
// scores and windows come from that row alone, whatever labels the caller's
// table gives its rows.
enum class BatchFailure { none, math_domain };  // the first method's only failure

struct FirstMethodResult {
    std::vector<FieldData> field_data;     // row order
    std::vector<ReservoirMmps> mmps;       // row order
    std::vector<double> scores;            // n x kMethodCount, row-major
    std::vector<double> window_min;        // n x kMethodCount, pressure window lower limit (psia)
    std::vector<double> window_max;        // n x kMethodCount, pressure window upper limit (psia)
    BatchFailure failure = BatchFailure::none;
    std::size_t failed_row = 0;
};

// The first method over all reservoirs. Each reservoir is measured against
// the file limits adjusted to itself alone: limits set by one reservoir never
// carry over to another. threads = 0 picks the hardware's count.
FirstMethodResult screen_first_method(const std::vector<ReservoirRecord>& reservoirs,
                                      const ScreeningLimits& file_limits,
                                      unsigned threads = 0);

struct SecondMethodResult {
    std::vector<FieldData2019> field_data;   // row order
    std::vector<double> p_values;            // n x kMethodCount2019 x kParamCount2019
    std::vector<double> scores;              // n x kMethodCount2019
    DivisionFlags division;
};

SecondMethodResult screen_2019_method(const std::vector<ReservoirRecord2019>& reservoirs,
                                      const ScreeningLimits2019& limits);

// Row labels of a melted score table (label m * n + r for method m and
// reservoir r) in the order of a stable ascending sort by reservoir name,
// then method name; names compare by code point (UTF-8 bytes), missing names
// last.
std::vector<std::int64_t> long_table_order(const std::vector<std::string_view>& names,
                                           const std::vector<bool>& missing,
                                           const std::vector<std::string_view>& method_names);

}  // namespace zelt
