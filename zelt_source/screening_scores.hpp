// Screening scores of one reservoir: how far it lies outside each method's
// limits, the normalisation of those distances, parameter and method scores,
// and the 2019 method's field data, p-values and weighted scores. The runs of
// both methods over many reservoirs are in screening_batch.hpp.
//
// Plain C++ with no Python in it. Conventions as in fluid_properties.hpp:
// NaN means "not reported" (or "not violated", for distances) and IEEE
// arithmetic is followed throughout.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "fluid_properties.hpp"

namespace zelt {

// ---------------------------------------------------------------- vocabularies

inline constexpr std::size_t kMethodCount = 15;
inline constexpr std::size_t kParamCount = 11;

// Names as string literals: data() of each is NUL-terminated.
extern const std::array<std::string_view, kMethodCount> kMethodNames;
extern const std::array<std::string_view, kParamCount> kParamNames;
// Display labels with units (UTF-8), parallel to kParamNames.
extern const std::array<std::string_view, kParamCount> kParamLabels;

// Method positions in kMethodNames.
enum Method : std::size_t {
    kHorzMiscCo2, kHorzMiscHc, kHorzMiscN2, kVertMiscCo2, kVertMiscHc, kVertMiscN2,
    kVertImmiscCo2, kVertImmiscHc, kVertImmiscN2, kSteamFlooding, kCss, kSagd,
    kHotWater, kPolymerFlooding, kAsp
};

// Parameter positions in kParamNames.
enum Param : std::size_t {
    kOilGravity, kOilViscosity, kReservoirDepth, kNetPayThickness, kVerticalPermeability,
    kHorizontalPermeability, kReservoirPressure, kReservoirTemperature, kOilSaturation,
    kReservoirDip, kFormationSalinity
};

// Value of parameter p (kParamNames order) in a field data record.
double parameter_value(const FieldData& fd, std::size_t p);
// Where that value came from.
Source parameter_source(const FieldSources& sources, std::size_t p);

// ------------------------------------------------------------ methods and gases

// Which pressure limit of a method the reservoir's MMP replaces: a miscible
// method needs a pressure at or above the MMP (its lower limit), an
// immiscible one at or below it (its upper limit); the other methods keep
// the file's pressure limits.
enum class MmpLimit { none, min, max };

struct MethodGas {
    InjectedGas gas;   // whose MMP stands for the method's pressure limits
    MmpLimit limit;
};

// Per method (kMethodNames order): "CO2" in the name is the CO2 gas, else
// "HC" the hydrocarbon gas, every other method (gas or not) the nitrogen
// gas. The pressure window fills an empty file limit with that gas's MMP.
extern const std::array<MethodGas, kMethodCount> kMethodGas;

// The MMP (psia) of one gas in a reservoir's record.
double gas_mmp(const ReservoirMmps& mmps, InjectedGas gas);

// Source of what parameter p of method m compares: the parameter value's
// own, except in the pressure rows of the nine methods whose pressure limit
// is an MMP. There a reported pressure meets an MMP that is measured or a
// correlation, and the row takes the MMP's source; a pressure that is itself
// estimated or missing keeps its own.
Source compared_source(const FieldSources& sources, const ReservoirMmps& measured_mmps,
                       std::size_t p, std::size_t m);

// -------------------------------------------------------------- coverage

// Whether a value rests on what the caller gave: reported or measured.
inline bool rests_on_caller(Source source) {
    return source == Source::reported || source == Source::measured;
}

// Whether parameter p of first-method method m rests on the caller's data:
// what it compares (compared_source) was reported or measured; the vertical
// permeability, a fixed share of the horizontal one, rests on the caller's
// data where the horizontal one does. The dip is always assumed.
bool covered_first_method(const FieldSources& sources, const ReservoirMmps& measured_mmps,
                          std::size_t p, std::size_t m);

// A method's score counts as screened when at least this share of its
// weight (its points, for the first method) rests on the caller's data.
inline constexpr double kScreenedCoverage = 0.5;
inline bool screened(double coverage) { return coverage >= kScreenedCoverage; }

// Ranks of a reservoir's method scores: 1 for the best, ties sharing the
// better rank; a NaN score ranks after every number.
void rank_scores(const double* scores, std::size_t count, std::int32_t* ranks);

// How an estimated value was obtained, in words, for parameter p of the
// first method (kParamNames order) of a reservoir with these sources; the
// pressure rows of methods whose limit is an MMP describe the MMP. Empty for
// values the caller reported and for missing ones. `surface_temperature`:
// the reservoir has a reported surface temperature.
std::string_view estimate_basis(const FieldSources& sources, const ReservoirMmps& measured_mmps,
                                bool dead_oil_viscosity, bool surface_temperature, std::size_t p,
                                std::size_t m);

// --------------------------------------------------------- first-method limits

struct MethodLimits {
    double min = kNaN;     // lower limit, in the parameter's unit; NaN: none
    double max = kNaN;     // upper limit
    bool stopper = true;   // knock-out criterion (an empty cell counts as set)
};

// limits[p][m]: parameter p, method m.
using ScreeningLimits = std::array<std::array<MethodLimits, kMethodCount>, kParamCount>;

// "Polymer Flooding" horizontal-permeability minimum (mD) and salinity
// maximum (ppm) set by the in-situ viscosity (cP); none outside 10-1000 cP.
struct PolymerLimits {
    double permeability_min_md;
    double salinity_max_ppm;
};
std::optional<PolymerLimits> polymer_limits_for_viscosity(double viscosity_cp);

// "ASP" salinity maximum (ppm) for a reservoir temperature (degF).
double asp_salinity_max(double temperature_f);

// A reference line whose limits are out of order: the limit `low_name`
// (value `low`) lies above the limit `high_name` (value `high`) that must
// not be below it.
struct LimitsOutOfOrder {
    std::size_t param;
    std::size_t method;
    const char* low_name;
    double low;
    const char* high_name;
    double high;
};

// The first line (parameters, then methods, in vocabulary order) whose Min
// lies above its Max. NaN limits ("MMP" and empty cells) are never out of order.
std::optional<LimitsOutOfOrder> first_limits_out_of_order(const ScreeningLimits& limits);

// Rewrites, in place, the limits that depend on the reservoir: the pressure
// limits of the gas methods from the MMPs (kMethodGas), the "ASP" salinity
// maximum from the temperature and, when the viscosity falls in one of the
// two bands, the two "Polymer Flooding" limits (outside the bands they are
// left as they are).
void adjust_limits_for_reservoir(ScreeningLimits& limits, const FieldData& fd,
                                 const ReservoirMmps& mmps);

// ------------------------------------------------------------------- distances

// Distance of x outside [lo, hi]: |x - lo| below lo, |x - hi| above hi (the
// upper test wins when lo > hi), NaN inside, for a NaN x, or a NaN limit on
// the violated side.
double violation_distance(double x, double lo, double hi);

// distances[p][m], NaN where not violated.
using Distances = std::array<std::array<double, kMethodCount>, kParamCount>;

Distances measure_reservoir(const FieldData& fd, const ScreeningLimits& limits);

// Smallest and largest non-NaN distance of one parameter over all reservoirs
// and methods; +inf / -inf when there is none.
struct DistanceBounds {
    double min = std::numeric_limits<double>::infinity();
    double max = -std::numeric_limits<double>::infinity();
};
void widen_bounds(DistanceBounds& bounds, double d);

// -------------------------------------------------------------------- scoring

inline constexpr double kInsideScore = 10.0;

// Parameter score: 10 inside (NaN distance); otherwise linear from -1 at the
// smallest violation to -10 at the largest, or -5 when all are equal.
double parameter_score(double d, const DistanceBounds& bounds);

// Rounds to one decimal the way the numeric library does it: x * 10 rounded
// to the nearest integer (ties to even), divided by 10.
double round_to_tenth(double x);

// Maps the sum of eleven parameter scores from [-110, 110] onto [-1, 1],
// rounded to one decimal.
double method_score_from_sum(double score_sum);

inline constexpr double kKnockedOutScore = -1.0;

// One method's score from its parameter scores, added in parameter order.
// Knock-out rule: a parameter marked as a stopper that is violated (its
// score is not the inside score) gives the method -1 whatever the others
// score; a stopper on a parameter inside its range has no effect.
class MethodScore {
public:
    void add(double parameter_score, bool stopper) {
        sum_ += parameter_score;
        if (stopper && parameter_score != kInsideScore) knocked_out_ = true;
    }
    bool knocked_out() const { return knocked_out_; }
    double value() const { return knocked_out_ ? kKnockedOutScore : method_score_from_sum(sum_); }

private:
    double sum_ = 0.0;
    bool knocked_out_ = false;
};

// ------------------------------------------------------------ 2019 method

inline constexpr std::size_t kMethodCount2019 = 12;
inline constexpr std::size_t kParamCount2019 = 8;

extern const std::array<std::string_view, kMethodCount2019> kMethodNames2019;
extern const std::array<std::string_view, kParamCount2019> kParamNames2019;
extern const std::array<std::string_view, kParamCount2019> kParamLabels2019;

struct ReservoirRecord2019 {
    double porosity_pct = kNaN;
    double permeability_md = kNaN;
    double top_depth_ft = kNaN;
    double oil_gravity_api = kNaN;
    double dead_oil_viscosity_cp = kNaN;
    double temperature_c = kNaN;
    double water_saturation_pct = kNaN;
    double gross_thickness_ft = kNaN;
    double net_thickness_ft = kNaN;
    double in_situ_viscosity_cp = kNaN;   // reservoir-condition viscosity, cP
    double surface_temperature_c = kNaN;  // surface temperature of the depth estimate, degC
};

// The eight parameters of the 2019 method, in vocabulary order.
struct FieldData2019 {
    double porosity_pct;
    double permeability_md;
    double depth_ft;
    double oil_gravity_api;
    double in_situ_viscosity_cp;
    double temperature_f;
    double oil_saturation_pct;
    double net_pay_ft;
};

// Where each parameter of a FieldData2019 came from, member by member.
struct FieldSources2019 {
    Source porosity_pct;
    Source permeability_md;
    Source depth_ft;
    Source oil_gravity_api;
    Source in_situ_viscosity_cp;
    Source temperature_f;
    Source oil_saturation_pct;
    Source net_pay_ft;
};

// 2019 field data with its own defaults (20 % porosity, 6400 ft, 30 API,
// 50 % oil saturation, 50 ft pay, permeability from porosity), and where
// each value came from: a value derived from another is a correlation
// whatever that other's source (the temperature from the 6400 ft default
// depth included); the 1 mD of a reservoir without permeability and
// porosity is a default.
FieldData2019 derive_field_data_2019(const ReservoirRecord2019& reservoir, FieldSources2019& sources);
FieldData2019 derive_field_data_2019(const ReservoirRecord2019& reservoir);

// Value of parameter p (kParamNames2019 order), and where it came from.
double parameter_value_2019(const FieldData2019& fd, std::size_t p);
Source parameter_source_2019(const FieldSources2019& sources, std::size_t p);

// As estimate_basis, for parameter p of the 2019 method.
std::string_view estimate_basis_2019(const FieldSources2019& sources, bool dead_oil_viscosity,
                                     bool surface_temperature, std::size_t p);

// Rating of one value against nested limits lower <= min <= max <= upper:
// 1 inside [min, max], falling linearly to -1 at lower / upper, -1 outside.
// A lower of exactly 0.01 or an upper of exactly 100000.0 keeps its side at 1.
double p_value(double param, double lower, double min_val, double max_val, double upper);

inline constexpr double kLowerSwitch = 0.01;
inline constexpr double kUpperSwitch = 100000.0;

struct MethodLimits2019 {
    double lower = kNaN;
    double min = kNaN;
    double max = kNaN;
    double upper = kNaN;
    double weighting = kNaN;
};

// limits[p][m]: parameter p, method m.
using ScreeningLimits2019 =
    std::array<std::array<MethodLimits2019, kMethodCount2019>, kParamCount2019>;

// The first line whose limits break Lower <= Min <= Max <= Upper for two
// limits that are numbers (NaN limits are skipped); pairs are tested in the
// order Lower-Min, Min-Max, Max-Upper, Lower-Max, Min-Upper, Lower-Upper.
// Out of order, a band would never hold and its values would score -1.
std::optional<LimitsOutOfOrder> first_limits_out_of_order(const ScreeningLimits2019& limits);

// Floating-point exceptions met by weighted means (0/0 and x/0), which the
// host reports as warnings.
struct DivisionFlags {
    bool invalid = false;          // 0/0
    bool divide_by_zero = false;   // x/0, x != 0
};

// Weighted mean of p-values rounded to one decimal; NaN (or +-inf) when the
// weights sum to zero.
double weighted_score(double numerator, double denominator, DivisionFlags& flags);

// One 2019 method's score: the p-values of its parameters, added in
// parameter order with their weights, and their weighted mean rounded to one
// decimal.
class WeightedMean {
public:
    void add(double p_value, double weight) {
        numerator_ += weight * p_value;
        denominator_ += weight;
    }
    double score(DivisionFlags& flags) const { return weighted_score(numerator_, denominator_, flags); }

private:
    double numerator_ = 0.0;
    double denominator_ = 0.0;
};

}  // namespace zelt
