// What a forecast can be trusted for: whether a design is a well that can be
// built, whether it lies inside the ranges the play's models were trained
// on (the play's envelope), whether the monthly models' raw cumulatives
// rise, and the SHA-256 manifest of a play's files. Plain C++, no Python.
//
// A design is the monthly models' feature row: seven values in the order
// of the models' inputs (latitude, longitude, stage count, ISIP, completed
// lateral length, average stage length, fluid loading).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quon {

enum Feature : std::size_t {
    kLatitude = 0,
    kLongitude,
    kFracStages,
    kIsip,
    kWellLen,
    kFracSpacing,
    kFluidLoading,
    kFeatureCount
};

// ------------------------------------------------------------ a real well

// How much longer than the lateral the stages (stage count x average stage
// length) may reach, as a fraction of the lateral: reported stage lengths
// are averages, often taken over the perforated interval, and the lateral
// is measured apart; a tenth covers that, twice the lateral does not.
inline constexpr double kStageLengthTolerance = 0.10;

enum class WellFault {
    none,
    not_on_earth,          // latitude outside [-90, 90] or longitude outside [-180, 180] degrees
    not_positive,          // lateral, stage count, stage length or fluid loading <= 0
    stages_exceed_lateral  // stages x stage length > lateral x (1 + tolerance)
};

struct WellCheck {
    WellFault fault = WellFault::none;
    Feature feature = kWellLen;  // the value at fault (not_on_earth, not_positive)
};

// The bounds of a location in degrees, per coordinate (kLatitude, kLongitude).
inline constexpr double kCoordinateLimit[2] = {90.0, 180.0};

// Whether the design can be built; the first value at fault, in the
// order latitude, longitude, lateral, stage count, stage length, fluid
// loading, then the stages against the lateral. ISIP is not read.
WellCheck check_well(const double* row);

// The first of `n` rows (n x kFeatureCount values) that is not a well, or n.
std::size_t first_non_well(const double* rows, std::size_t n);

// ------------------------------------------------------------ the envelope

struct Range {
    double low = 0.0, high = 0.0;
    bool contains(double v) const { return v >= low && v <= high; }
};

// What is wrong with a range as a play's envelope file gives it, or nothing.
std::optional<std::string> range_problem(double low, double high);

// The ranges of a play: per feature, the values its monthly models were
// trained on; and the locations its geological model was fitted on. A
// quantity without a range is not checked.
struct DesignEnvelope {
    std::array<std::optional<Range>, kFeatureCount> models;
    std::optional<Range> window_lat, window_lon;
};

// Bits of what lies outside: bit f, feature f outside the monthly models'
// range; bit kFeatureCount + f (f = kLatitude, kLongitude), the location
// outside the geological model's window.
using OutsideMask = std::uint32_t;
inline constexpr OutsideMask outside_model_bit(Feature f) { return OutsideMask{1} << f; }
inline constexpr OutsideMask outside_window_bit(Feature f) { return OutsideMask{1} << (kFeatureCount + f); }

OutsideMask outside_envelope(const DesignEnvelope& envelope, const double* row);

// One mask per row of `n` rows.
std::vector<OutsideMask> outside_envelope(const DesignEnvelope& envelope, const double* rows, std::size_t n);

// ------------------------------------------------------ rising cumulatives

// The steps at which a raw cumulative falls: the outputs of the forecast
// months in order, after a cumulative of 0 at month 0. A NaN output is not
// a fall (it is no value at all).
struct Falls {
    std::size_t count = 0;
    std::size_t first = 0;  // index of the output lower than the one before it
};
Falls cumulative_falls(const double* outputs, std::size_t months);

// Per design of `designs` x `months` outputs (design after design): 1 when
// its raw cumulative falls anywhere.
std::vector<unsigned char> designs_falling(const std::vector<double>& outputs, std::size_t designs,
                                           std::size_t months);

// --------------------------------------------------------- the manifest

// A play's SHA-256 manifest, in the form sha256sum writes and checks: one
// line per file, 64 hexadecimal digits, a blank, a blank or '*', and the
// file's path relative to the play folder with '/' between folders. Blank
// lines are skipped; digits are compared in lower case.
struct Manifest {
    std::map<std::string, std::string> digests;  // relative path -> digest
    std::size_t error_line = 0;                  // 1-based; 0 when the text was read whole
    std::string error;
};
Manifest parse_manifest(const std::string& text);

}  // namespace quon
