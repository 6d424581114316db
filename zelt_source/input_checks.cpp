#include "input_checks.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace zelt {

namespace {

bool below(double v, double bound) { return v < bound; }   // false for NaN
bool above(double v, double bound) { return v > bound; }

// The rows whose value meets `test`, as one problem (none when no row does).
template <typename Test>
void collect(std::vector<ImplausibleValues>& out, const std::vector<double>& values, std::string problem,
             Test test) {
    ImplausibleValues found{std::move(problem), {}};
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (test(values[k])) found.rows.push_back(k);
    }
    if (!found.rows.empty()) out.push_back(std::move(found));
}

// A percent column whose reported values are all below 1 (some above 0):
// fractions written where percent is read.
void collect_fractions(std::vector<ImplausibleValues>& out, const std::vector<double>& values) {
    bool any_positive = false;
    for (double v : values) {
        if (std::isnan(v)) continue;
        if (!(v < 1.0)) return;
        if (v > 0.0) any_positive = true;
    }
    if (!any_positive) return;
    collect(out, values, "only values below 1, which look like fractions; the column is read in percent",
            [](double v) { return v > 0.0; });
}

}  // namespace

std::vector<ImplausibleValues> implausible_values(Quantity quantity, const std::vector<double>& values) {
    std::vector<ImplausibleValues> out;
    auto negative = [&] {
        collect(out, values, "negative values, which it cannot hold", [](double v) { return below(v, 0.0); });
    };
    switch (quantity) {
        case Quantity::other:
            break;
        case Quantity::gravity_api:
            collect(out, values, "values outside 5-70 \u00B0API, the range of crude oils and condensates",
                    [](double v) { return below(v, kLowestGravityApi) || above(v, kHighestGravityApi); });
            break;
        case Quantity::temperature_c:
            collect(out, values,
                    "values above 200, which look like \u00B0F; the column is read in \u00B0C",
                    [](double v) { return above(v, kHighestReservoirTemperatureC); });
            break;
        case Quantity::surface_temperature_c:
            collect(out, values,
                    "values outside -60 to 60, which look misread; the column is read in \u00B0C",
                    [](double v) {
                        return below(v, kLowestSurfaceTemperatureC) || above(v, kHighestSurfaceTemperatureC);
                    });
            break;
        case Quantity::pore_percent:
            negative();
            collect(out, values, "values above 100 percent", [](double v) { return above(v, 100.0); });
            collect_fractions(out, values);
            break;
        case Quantity::percent:
            negative();
            collect(out, values, "values above 100 percent", [](double v) { return above(v, 100.0); });
            break;
        case Quantity::non_negative:
            negative();
            break;
    }
    return out;
}

std::optional<std::size_t> first_infinite(const std::vector<double>& values) {
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (std::isinf(values[k])) return k;
    }
    return std::nullopt;
}

bool overflows_in_conversion(Quantity quantity, double value) {
    if (quantity != Quantity::temperature_c && quantity != Quantity::surface_temperature_c) return false;
    return std::isfinite(value) && !std::isfinite(value * 1.8 + 32.0);
}

// ------------------------------------------------------------- column names

namespace {

std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

// Words that name the same thing in reservoir tables, and their common
// abbreviations, read as one word.
std::string_view canonical_word(std::string_view w) {
    static const std::pair<std::string_view, std::string_view> kSynonyms[] = {
        {"gravity", "density"}, {"grav", "density"},     {"dens", "density"},
        {"temperature", "temp"}, {"tmp", "temp"},        {"visc", "viscosity"},
        {"vis", "viscosity"},    {"mu", "viscosity"},    {"permeability", "permeab"},
        {"perm", "permeab"},     {"poro", "porosity"},   {"phi", "porosity"},
        {"thickness", "thickn"}, {"thick", "thickn"},    {"saturation", "saturation"},
        {"sat", "saturation"},   {"sw", "saturation"},   {"sal", "salinity"},
        {"tds", "salinity"},     {"press", "pressure"},  {"pres", "pressure"},
        {"ft", "feet"},          {"psia", "psi"},        {"rf", "recovery"},
        {"reservoir", "resv"},   {"res", "resv"},        {"identifier", "id"},
        {"percent", "pct"},      {"degc", "c"},          {"degf", "f"},
        {"mmp", "mmp"},          {"insitu", "insitu"},   {"situ", "insitu"},
    };
    for (const auto& [word, canonical] : kSynonyms) {
        if (w == word) return canonical;
    }
    return w;
}

// Words that qualify rather than name a quantity.
bool filler(std::string_view w) {
    static const std::string_view kFiller[] = {"max", "min", "val", "value", "avg", "average", "mean",
                                               "deg", "pp", "of", "the", "in", "at"};
    return std::find(std::begin(kFiller), std::end(kFiller), w) != std::end(kFiller);
}

// Words that alone say nothing about which column is meant.
bool too_general(std::string_view w) {
    static const std::string_view kGeneral[] = {"oil", "water", "gas", "net", "gross", "top", "feet", "m",
                                                "psi", "cp", "md", "pct", "ppm", "c", "f", "original"};
    return std::find(std::begin(kGeneral), std::end(kGeneral), w) != std::end(kGeneral);
}

std::vector<std::string_view> words(std::string_view name) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    auto flush = [&](std::size_t end) {
        if (end > start) {
            const std::string_view w = canonical_word(name.substr(start, end - start));
            if (!filler(w) && std::find(out.begin(), out.end(), w) == out.end()) out.push_back(w);
        }
    };
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
        if (!alnum) {
            flush(i);
            start = i + 1;
        }
    }
    flush(name.size());
    return out;
}

std::size_t shared_words(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b) {
    std::size_t shared = 0;
    for (std::string_view w : a) shared += std::find(b.begin(), b.end(), w) != b.end() ? 1 : 0;
    return shared;
}

}  // namespace

std::optional<std::size_t> probable_column(std::string_view name,
                                           const std::vector<std::string_view>& candidates) {
    // One or two letters apart (one for short names): the nearest.
    const std::size_t letters = name.size() >= 8 ? 2 : 1;
    std::optional<std::size_t> best;
    std::size_t best_distance = letters + 1;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (candidates[i] == name) return std::nullopt;
        const std::size_t d = edit_distance(name, candidates[i]);
        if (d < best_distance) {
            best = i;
            best_distance = d;
        }
    }
    if (best) return best;

    // The same quantity in other words: the candidate sharing the largest
    // share of words.
    const std::vector<std::string_view> given = words(name);
    if (given.empty()) return std::nullopt;
    double best_share = 0.0;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const std::vector<std::string_view> known = words(candidates[i]);
        const std::size_t shared = shared_words(given, known);
        const bool close = given.size() == 1 ? shared == 1 && !too_general(given[0])
                                             : shared >= 2 && 3 * shared >= 2 * given.size();
        if (!close) continue;
        const double share = static_cast<double>(shared) / static_cast<double>(given.size() + known.size() - shared);
        if (share > best_share) {
            best = i;
            best_share = share;
        }
    }
    return best;
}

}  // namespace zelt
