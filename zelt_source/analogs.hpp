// Ranking of recovery methods by analogs: the field projects nearest to a
// reservoir in a normalised space of its reported parameters vote for the
// methods they applied. Also the families the screening methods and the
// projects' method labels belong to, the combination with the first
// method's knock-outs, and the leave-one-out measure of all rankings.
//
// Plain C++ with no Python in it. NaN means "not reported": a parameter a
// reservoir does not report is left out of its distances, never filled.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "screening_batch.hpp"

namespace zelt::analogs {

// ------------------------------------------------------------------ families

enum class Family : std::uint8_t { thermal, co2, hydrocarbon_gas, nitrogen, chemical, other };
inline constexpr std::size_t kFamilyCount = 6;
inline constexpr int kNoFamily = -1;

// "thermal", "CO2", "hydrocarbon gas", "nitrogen", "chemical", "other".
extern const std::array<std::string_view, kFamilyCount> kFamilyNames;
std::optional<Family> family_from_name(std::string_view name);

// Family of each screening method (kMethodNames and kMethodNames2019 order).
extern const std::array<Family, kMethodCount> kFirstMethodFamily;
extern const std::array<Family, kMethodCount2019> kSecondMethodFamily;

// A method label as matched: lower case, every run of other characters than
// letters and digits one space, the words "flood", "flooding", "injection",
// "drive", "process", "eor", "horz", "vert", "horizontal", "vertical",
// "project" and "and" dropped,
// abbreviations spelled out ("misc" miscible, "immisc" immiscible, "hc"
// hydrocarbon, "n2" nitrogen, "isc" in situ combustion), then the words in
// alphabetical order. "Vert. Misc. CO2" and "CO2 miscible flood" both read
// "co2 miscible".
std::string normalised_label(std::string_view label);

// Project method labels to families: the built-in table (the screening
// methods' own names of both methods and the common field-project labels,
// listed in docs/analogs.md) under the caller's overrides. A label neither
// holds has no family: it is reported, never guessed.
class FamilyMap {
public:
    FamilyMap();
    // label (matched normalised) -> family; replaces the built-in entry.
    void set(std::string_view label, Family family);
    std::optional<Family> find(std::string_view label) const;

private:
    std::map<std::string, Family> by_label_;
};

// ------------------------------------------------------------------ the space

// How a parameter enters the distance: as it is, or as its base-10
// logarithm (parameters that span decades). A logarithm needs a positive value.
enum class Scale : std::uint8_t { linear, log10 };

// Rows x parameters, row-major; NaN where a value is missing.
struct Table {
    std::size_t rows = 0;
    std::size_t params = 0;
    std::vector<double> values;
    double at(std::size_t r, std::size_t p) const { return values[r * params + p]; }
};

// Values of log-scaled parameters that are not positive (a logarithm needs
// one), row by row: they are left out of the distance as not reported,
// and set to NaN in `t`; the face names them in a warning.
struct BadValue {
    std::size_t row;
    std::size_t param;
    double value;
};
std::vector<BadValue> drop_non_positive(Table& t, const std::vector<Scale>& scales);

// Per parameter, the spread that one unit of distance stands for: a robust
// spread of the projects' (log) values, the interquartile range / 1.349 (the
// standard deviation of a normal sample), else 1.4826 x the median absolute
// deviation, else the standard deviation. 0 where fewer than two projects
// report the parameter or all report the same value: such a parameter is
// left out of every distance.
std::vector<double> robust_spreads(const Table& projects, const std::vector<Scale>& scales);

struct Options {
    std::size_t k = 7;             // neighbours that vote
    std::size_t min_shared = 3;    // parameters a reservoir and a project must both report
    double smoothing = 0.1;        // vote weight 1 / (distance + smoothing)
    unsigned threads = 0;          // 0: the hardware's count
};

// The k nearest projects of every reservoir, row-major n x k, nearest first
// (equal distances: lower project row first); index -1 and distance NaN pad
// rows with fewer candidates. Distance = root mean square of the scaled
// differences over the parameters both report (each difference divided by
// the parameter's spread; parameters of spread 0 left out); a project that
// shares fewer than min_shared parameters is no candidate, nor is one of
// the reservoir's own group (groups: equal non-negative ids of
// reservoir_group[r] and project_group[j]; empty vectors: no groups).
struct Neighbours {
    std::size_t k = 0;
    std::vector<std::int64_t> index;
    std::vector<double> distance;
    std::vector<std::uint8_t> enough_params;   // per reservoir: reports >= min_shared usable parameters
};
Neighbours nearest_projects(const Table& reservoirs, const Table& projects,
                            const std::vector<Scale>& scales, const std::vector<double>& spreads,
                            const Options& options,
                            const std::vector<std::int64_t>& reservoir_group = {},
                            const std::vector<std::int64_t>& project_group = {});

// ------------------------------------------------------------------ the vote

// Support of each label for every reservoir, row-major n x labels: the
// neighbours' weights 1 / (distance + smoothing) summed per label, divided by
// their total (so supports of a ranked reservoir add up to 1). A reservoir
// without neighbours has all supports 0 and ranked 0.
struct Votes {
    std::size_t labels = 0;
    std::vector<double> support;
    std::vector<std::uint8_t> ranked;
};
Votes vote(const Neighbours& neighbours, const std::vector<std::int32_t>& project_label,
           std::size_t labels, double smoothing);

// Ranks (1 = best) of candidates ordered by keys compared lexicographically,
// larger first; equal keys share the better rank.
using RankKey = std::array<double, 3>;
std::vector<int> shared_ranks(const std::vector<RankKey>& keys);

// The combined order's key of one candidate: not knocked out first, then
// analog support, then the first method's score.
RankKey combined_key(bool knocked_out, double support, double screen_score);

// ------------------------------------------------------- the screen's verdicts

// n x kMethodCount: 1 where a stopper knocks the method out on a value the
// caller gave (source reported or measured); knock-outs on defaults and
// correlations do not count. `screened` is screen_first_method's run of
// `reservoirs` against `file_limits`; each reservoir is measured against the
// limits adjusted to it, as the screen measures it.
std::vector<std::uint8_t> reported_knockouts(const std::vector<ReservoirRecord>& reservoirs,
                                             const ScreeningLimits& file_limits,
                                             const FirstMethodResult& screened);

// Per reservoir and family (n x kFamilyCount): the best score of the
// family's methods (-infinity for a family without methods), and whether
// every first-method method of the family is knocked out on reported values.
std::vector<double> family_scores_first(const std::vector<double>& scores, std::size_t n);
std::vector<double> family_scores_second(const std::vector<double>& scores, std::size_t n);
std::vector<std::uint8_t> family_knockouts(const std::vector<std::uint8_t>& knockouts, std::size_t n);

// ------------------------------------------------------------- evaluation

// Credit of one ranking for the true candidate under random tie-breaking:
// with b candidates strictly better and t tied with it (itself included),
// top-m credit = clamp((m - b) / t, 0, 1), the chance that a random order of
// the ties puts it in the first m.
struct Credit {
    double top1;
    double top3;
};
Credit tie_aware_credit(const std::vector<RankKey>& keys, std::size_t truth);

// Leave-one-out of the project table on itself, by family. Inputs per
// project: its family (kNoFamily for an unknown label: left out of the
// measure), its leave-one-out supports by label (votes of the other
// projects), the family of each label, the two methods' family scores and
// the family knock-outs.
struct Measure {
    double top1 = 0.0;
    double top3 = 0.0;
};
struct Evaluation {
    std::size_t projects = 0;   // projects measured (with a known family)
    Measure analogs, first, second, combined;
    // Per project (all rows): the family each ranking puts first (ties: the
    // lowest family number), kNoFamily where nothing is ranked; and credits.
    std::vector<int> top_analogs, top_first, top_second, top_combined;
    std::vector<Credit> credit_analogs, credit_first, credit_second, credit_combined;
};
Evaluation evaluate(const std::vector<int>& project_family, const Votes& loo_votes,
                    const std::vector<int>& label_family, const std::vector<double>& first_family_scores,
                    const std::vector<double>& second_family_scores,
                    const std::vector<std::uint8_t>& family_knocked_out);

// Family supports of one reservoir from its label supports.
std::array<double, kFamilyCount> family_support(const Votes& votes, std::size_t r,
                                                const std::vector<int>& label_family);

}  // namespace zelt::analogs
