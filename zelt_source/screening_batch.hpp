// The runs of both screening methods over many reservoirs, used by the
// module's pipelines: field data, MMPs, scores and pressure windows of every
// input row, on a few threads, and the row order of the long score table.
//
// Plain C++ with no Python in it; the rules themselves are those of
// fluid_properties.hpp and screening_scores.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "fluid_properties.hpp"
#include "screening_scores.hpp"

namespace zelt {

// Row k of the input is reservoir k of every result: its field data, MMPs,
// scores and windows come from that row alone, whatever labels the caller's
// table gives its rows.
// The first method's failures: the cubic solver's domain error, and a field
// value that is not finite (failed_param says which).
enum class BatchFailure { none, math_domain, non_finite };

struct FirstMethodResult {
    std::vector<FieldData> field_data;     // row order
    std::vector<FieldSources> sources;     // row order, where each field value came from
    std::vector<ReservoirMmps> mmps;       // row order, measured ones included
    std::vector<double> scores;            // n x kMethodCount, row-major
    std::vector<double> window_min;        // n x kMethodCount, pressure window lower limit (psia)
    std::vector<double> window_max;        // n x kMethodCount, pressure window upper limit (psia)
    BatchFailure failure = BatchFailure::none;
    std::size_t failed_row = 0;
    std::size_t failed_param = 0;   // kParamNames position, for non_finite
};

// What lies behind every first-method score: one entry per reservoir,
// method and parameter, reservoir-major, then methods, then parameters, in
// vocabulary order (kMethodCount x kParamCount entries per reservoir).
struct FirstMethodExplanation {
    std::vector<double> value;           // the parameter's value, in its unit
    std::vector<Source> source;          // compared_source() of that row
    std::vector<double> min;             // the limits in force for that reservoir: MMPs
    std::vector<double> max;             //   filled, polymer and ASP limits adjusted
    std::vector<unsigned char> stopper;  // 1 where the parameter knocks the method out
    std::vector<double> points;          // parameter score, -10 to -1 or 10
    std::vector<double> score;           // the method's score, as in FirstMethodResult::scores
    std::vector<unsigned char> covered;  // 1 where the row rests on the caller's data
    std::vector<double> coverage;        // the method's coverage, as in MethodSummary
    std::vector<std::string_view> basis; // estimate_basis() of the row
};

// How sure each score of a run is, one entry per reservoir and method,
// reservoir-major, methods in vocabulary order.
struct MethodSummary {
    // Share (0 to 1) of the method's weight that rests on the caller's data:
    // of its eleven parameters' points for the first method (each parameter
    // can give 10), of its weights for the 2019 method (NaN where the weights
    // sum to zero).
    std::vector<double> coverage;
    // First method: bit p set where parameter p, estimated (not resting on
    // the caller's data), violates a stopper of the method, and no stopper
    // resting on the caller's data does: the knock-out rests on estimates
    // alone. Always 0 for the 2019 method, which knocks nothing out.
    std::vector<std::uint16_t> estimated_knockout;
    std::vector<std::int32_t> rank;      // rank_scores() within the reservoir
};

// The first method over all reservoirs. Each reservoir is measured against
// the file limits adjusted to itself alone: limits set by one reservoir never
// carry over to another. threads = 0 picks the hardware's count. With an
// explanation or a summary given, the same run also fills it.
FirstMethodResult screen_first_method(const std::vector<ReservoirRecord>& reservoirs,
                                      const ScreeningLimits& file_limits,
                                      unsigned threads = 0,
                                      FirstMethodExplanation* explanation = nullptr,
                                      MethodSummary* summary = nullptr);

struct SecondMethodResult {
    std::vector<FieldData2019> field_data;   // row order
    std::vector<FieldSources2019> sources;   // row order
    std::vector<double> p_values;            // n x kMethodCount2019 x kParamCount2019
    std::vector<double> scores;              // n x kMethodCount2019
    DivisionFlags division;
};

// What lies behind every 2019 score, one entry per reservoir, method and
// parameter in the order of SecondMethodResult::p_values, which holds the
// p-values of the same rows.
struct SecondMethodExplanation {
    std::vector<double> value;      // the parameter's value, in its unit
    std::vector<Source> source;
    std::vector<double> lower;      // the file's limits and weight
    std::vector<double> min;
    std::vector<double> max;
    std::vector<double> upper;
    std::vector<double> weighting;
    std::vector<double> score;      // the method's score, as in SecondMethodResult::scores
    std::vector<unsigned char> covered;
    std::vector<double> coverage;
    std::vector<std::string_view> basis;   // estimate_basis_2019() of the row
};

SecondMethodResult screen_2019_method(const std::vector<ReservoirRecord2019>& reservoirs,
                                      const ScreeningLimits2019& limits,
                                      SecondMethodExplanation* explanation = nullptr,
                                      MethodSummary* summary = nullptr);

// A field value that is not finite
// (an input so large that a correlation overflows): the row and parameter.
struct NonFiniteField {
    std::size_t row;
    std::size_t param;
};
std::optional<NonFiniteField> first_non_finite(const std::vector<FieldData>& field_data);

// Row labels of a melted score table (label m * n + r for method m and
// reservoir r) in the order of a stable ascending sort by reservoir name,
// then method name; names compare by code point (UTF-8 bytes), missing names
// last.
std::vector<std::int64_t> long_table_order(const std::vector<std::string_view>& names,
                                           const std::vector<bool>& missing,
                                           const std::vector<std::string_view>& method_names);

}  // namespace zelt
