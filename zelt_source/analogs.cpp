#include "analogs.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <numeric>
#include <set>
#include <system_error>
#include <thread>

namespace zelt::analogs {

// ------------------------------------------------------------------ families

const std::array<std::string_view, kFamilyCount> kFamilyNames = {
    "thermal", "CO2", "hydrocarbon gas", "nitrogen", "chemical", "other"};

std::optional<Family> family_from_name(std::string_view name) {
    for (std::size_t f = 0; f < kFamilyCount; ++f) {
        if (kFamilyNames[f] == name) return static_cast<Family>(f);
    }
    return std::nullopt;
}

namespace {
constexpr Family T = Family::thermal, C = Family::co2, H = Family::hydrocarbon_gas,
                 N = Family::nitrogen, X = Family::chemical, O = Family::other;
}  // namespace

const std::array<Family, kMethodCount> kFirstMethodFamily = {C, H, N, C, H, N, C, H, N, T, T, T, T, X, X};
const std::array<Family, kMethodCount2019> kSecondMethodFamily = {T, T, T, C, C, H, H, N, N, X, X, O};

namespace {

const std::set<std::string_view> kDroppedWords = {"flood",   "flooding", "floods", "injection",
                                                  "drive",   "process",  "eor",    "horz",
                                                  "vert",    "project",  "horizontal", "vertical",
                                                  "and"};

// Abbreviations and run-together words, spelled out.
const std::map<std::string_view, std::vector<std::string_view>> kSpelledOut = {
    {"misc", {"miscible"}},       {"immisc", {"immiscible"}},   {"hc", {"hydrocarbon"}},
    {"n2", {"nitrogen"}},         {"isc", {"combustion", "in", "situ"}},
    {"insitu", {"in", "situ"}},   {"steamflood", {"steam"}},    {"steamflooding", {"steam"}},
    {"fireflood", {"fire"}},      {"fireflooding", {"fire"}},   {"waterflood", {"water"}},
};

// Built-in labels by family, as written; they are matched normalised.
const std::vector<std::pair<std::string_view, Family>> kBuiltInLabels = {
    // thermal
    {"Steam", T}, {"Steam Flooding", T}, {"Steam soak", T}, {"Cyclic steam", T},
    {"Cyclic steam stimulation", T}, {"CSS", T}, {"Huff and puff", T}, {"Steam huff and puff", T},
    {"SAGD", T}, {"Steam-assisted gravity drainage", T}, {"Hot Water", T}, {"Combustion", T},
    {"In-situ combustion", T}, {"ISC", T}, {"Fire flood", T}, {"Wet combustion", T},
    {"Dry combustion", T}, {"High-pressure air injection", T}, {"HPAI", T}, {"Air injection", T},
    {"Thermal", T},
    // CO2
    {"CO2", C}, {"CO2 miscible", C}, {"CO2 immiscible", C}, {"CO2 WAG", C},
    {"CO2 miscible WAG", C}, {"CO2 immiscible WAG", C}, {"CO2 huff and puff", C}, {"CO2 soak", C},
    {"Carbon dioxide", C}, {"Carbon dioxide miscible", C}, {"Carbon dioxide immiscible", C},
    // hydrocarbon gas
    {"Hydrocarbon", H}, {"Hydrocarbon gas", H}, {"Hydrocarbon miscible", H},
    {"Hydrocarbon immiscible", H}, {"Hydrocarbon WAG", H}, {"Hydrocarbon miscible WAG", H},
    {"HC gas", H}, {"Hydrocarbon gas miscible", H}, {"Hydrocarbon gas immiscible", H},
    {"Enriched gas miscible", H}, {"Enriched gas", H}, {"Rich gas", H}, {"Lean gas", H}, {"Solvent", H},
    {"Miscible solvent", H}, {"Hydrocarbon solvent", H}, {"HC solvent", H}, {"LPG", H},
    {"LPG slug", H}, {"Propane", H}, {"Natural gas", H},
    // nitrogen
    {"Nitrogen", N}, {"Nitrogen miscible", N}, {"Nitrogen immiscible", N}, {"Flue gas", N},
    {"Nitrogen and flue gas", N}, {"Inert gas", N},
    // chemical
    {"Polymer", X}, {"Polymer Flooding", X}, {"Polymer augmented waterflood", X}, {"Surfactant", X}, {"Surfactant polymer", X},
    {"SP", X}, {"Micellar", X}, {"Micellar polymer", X}, {"ASP", X},
    {"Alkaline surfactant polymer", X}, {"Alkali surfactant polymer", X}, {"Alkaline", X},
    {"Alkali", X}, {"Alkaline polymer", X}, {"Alkali polymer", X}, {"AP", X}, {"Caustic", X},
    {"Chemical", X},
    // other
    {"Microbial", O}, {"MEOR", O}, {"Microbial EOR", O}, {"Microbial enhanced oil recovery", O},
};

}  // namespace

std::string normalised_label(std::string_view label) {
    std::vector<std::string> words;
    std::string word;
    auto flush = [&] {
        if (word.empty()) return;
        auto spelled = kSpelledOut.find(word);
        if (spelled != kSpelledOut.end()) {
            for (std::string_view w : spelled->second) words.emplace_back(w);
        } else if (kDroppedWords.count(word) == 0) {
            words.push_back(word);
        }
        word.clear();
    };
    for (char ch : label) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) != 0 && c < 128) {
            word.push_back(static_cast<char>(std::tolower(c)));
        } else if (c >= 128) {
            word.push_back(ch);   // UTF-8 bytes stay part of the word
        } else {
            flush();
        }
    }
    flush();
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    std::string out;
    for (const std::string& w : words) {
        if (!out.empty()) out += ' ';
        out += w;
    }
    return out;
}

FamilyMap::FamilyMap() {
    for (const auto& [label, family] : kBuiltInLabels) by_label_[normalised_label(label)] = family;
    for (std::size_t m = 0; m < kMethodCount; ++m) by_label_[normalised_label(kMethodNames[m])] = kFirstMethodFamily[m];
    for (std::size_t m = 0; m < kMethodCount2019; ++m) {
        by_label_[normalised_label(kMethodNames2019[m])] = kSecondMethodFamily[m];
    }
}

void FamilyMap::set(std::string_view label, Family family) { by_label_[normalised_label(label)] = family; }

std::optional<Family> FamilyMap::find(std::string_view label) const {
    const std::string key = normalised_label(label);
    if (key.empty()) return std::nullopt;
    auto it = by_label_.find(key);
    if (it == by_label_.end()) return std::nullopt;
    return it->second;
}

// ------------------------------------------------------------------ the space

namespace {

double transformed(double x, Scale s) { return s == Scale::log10 ? std::log10(x) : x; }

// Quantile q of sorted values, linear between order statistics.
double quantile(const std::vector<double>& sorted, double q) {
    const double pos = q * static_cast<double>(sorted.size() - 1);
    const auto lo = static_cast<std::size_t>(std::floor(pos));
    const std::size_t hi = std::min(lo + 1, sorted.size() - 1);
    return sorted[lo] + (pos - static_cast<double>(lo)) * (sorted[hi] - sorted[lo]);
}

// Runs body(begin, end) over [0, n) on up to `threads` threads.
template <typename Body>
void parallel_rows(std::size_t n, unsigned threads, std::size_t min_rows, Body body) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t workers =
        std::min<std::size_t>(threads, std::max<std::size_t>(1, n / std::max<std::size_t>(1, min_rows)));
    if (workers <= 1) {
        body(std::size_t{0}, n);
        return;
    }
    const std::size_t chunk = (n + workers - 1) / workers;
    std::vector<std::thread> pool;
    std::size_t w = 1;
    try {
        for (; w < workers; ++w) {
            const std::size_t b = std::min(n, w * chunk), e = std::min(n, b + chunk);
            pool.emplace_back([&body, b, e] { body(b, e); });
        }
    } catch (const std::system_error&) {
        // no more threads: this one does the rest
    }
    body(0, std::min(n, chunk));
    for (; w < workers; ++w) body(std::min(n, w * chunk), std::min(n, w * chunk + chunk));
    for (auto& t : pool) t.join();
}

}  // namespace

std::vector<BadValue> drop_non_positive(Table& t, const std::vector<Scale>& scales) {
    std::vector<BadValue> dropped;
    for (std::size_t r = 0; r < t.rows; ++r) {
        for (std::size_t p = 0; p < t.params; ++p) {
            double& v = t.values[r * t.params + p];
            if (scales[p] != Scale::log10 || std::isnan(v) || v > 0.0) continue;
            dropped.push_back({r, p, v});
            v = std::numeric_limits<double>::quiet_NaN();
        }
    }
    return dropped;
}

std::vector<double> robust_spreads(const Table& projects, const std::vector<Scale>& scales) {
    std::vector<double> spreads(projects.params, 0.0);
    for (std::size_t p = 0; p < projects.params; ++p) {
        std::vector<double> v;
        for (std::size_t r = 0; r < projects.rows; ++r) {
            const double x = transformed(projects.at(r, p), scales[p]);
            if (std::isfinite(x)) v.push_back(x);
        }
        if (v.size() < 2) continue;
        std::sort(v.begin(), v.end());
        double s = (quantile(v, 0.75) - quantile(v, 0.25)) / 1.349;
        if (!(s > 0.0)) {
            const double median = quantile(v, 0.5);
            std::vector<double> dev;
            for (double x : v) dev.push_back(std::fabs(x - median));
            std::sort(dev.begin(), dev.end());
            s = 1.4826 * quantile(dev, 0.5);
        }
        if (!(s > 0.0)) {
            const double mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
            double ss = 0.0;
            for (double x : v) ss += (x - mean) * (x - mean);
            s = std::sqrt(ss / static_cast<double>(v.size() - 1));
        }
        spreads[p] = std::isfinite(s) && s > 0.0 ? s : 0.0;
    }
    return spreads;
}

Neighbours nearest_projects(const Table& reservoirs, const Table& projects,
                            const std::vector<Scale>& scales, const std::vector<double>& spreads,
                            const Options& options, const std::vector<std::int64_t>& reservoir_group,
                            const std::vector<std::int64_t>& project_group) {
    const std::size_t n = reservoirs.rows, np = projects.rows, k = options.k;
    const std::size_t min_shared = std::max<std::size_t>(1, options.min_shared);
    const bool grouped = !reservoir_group.empty() && !project_group.empty();

    // The usable parameters, projects column by column in scaled units: the
    // value (0 where missing) and whether it is there (1 or 0), so that the
    // inner loop has no branch. The search runs in single precision, twice
    // the values a vector register holds, and keeps a few more candidates
    // than k; their distances are then taken again in double precision, which
    // alone decides the order.
    std::vector<std::size_t> usable;
    for (std::size_t p = 0; p < projects.params; ++p) {
        if (spreads[p] > 0.0) usable.push_back(p);
    }
    auto scaled = [&](const Table& t, std::size_t row, std::size_t p) {
        return transformed(t.at(row, p), scales[p]) / spreads[p];
    };
    std::vector<std::vector<float>> value(usable.size(), std::vector<float>(np, 0.0f));
    std::vector<std::vector<float>> has(usable.size(), std::vector<float>(np, 0.0f));
    for (std::size_t u = 0; u < usable.size(); ++u) {
        for (std::size_t j = 0; j < np; ++j) {
            const double x = scaled(projects, j, usable[u]);
            if (std::isfinite(x)) {
                value[u][j] = static_cast<float>(x);
                has[u][j] = 1.0f;
            }
        }
    }

    Neighbours out;
    out.k = k;
    out.index.assign(n * k, -1);
    out.distance.assign(n * k, std::numeric_limits<double>::quiet_NaN());
    out.enough_params.assign(n, 0);
    constexpr std::size_t kBlock = 1024;
    constexpr std::size_t kSpare = 8;   // candidates kept beyond k for the exact pass
    const std::size_t kept = k + kSpare;
    parallel_rows(n, options.threads, 64, [&](std::size_t begin, std::size_t end) {
        std::vector<float> acc(kBlock), cnt(kBlock);
        std::vector<std::pair<std::size_t, double>> mine;   // (usable slot, scaled value)
        std::vector<float> best_d(kept);
        std::vector<std::int64_t> best_j(kept);
        std::vector<std::pair<double, std::int64_t>> exact;
        for (std::size_t r = begin; r < end; ++r) {
            mine.clear();
            for (std::size_t u = 0; u < usable.size(); ++u) {
                const double x = scaled(reservoirs, r, usable[u]);
                if (std::isfinite(x)) mine.emplace_back(u, x);
            }
            if (mine.size() < min_shared) continue;
            out.enough_params[r] = 1;
            if (k == 0) continue;
            const std::int64_t group = grouped ? reservoir_group[r] : -1;
            const auto need = static_cast<float>(min_shared);
            std::size_t found = 0;
            for (std::size_t j0 = 0; j0 < np; j0 += kBlock) {
                const std::size_t len = std::min(kBlock, np - j0);
                std::fill_n(acc.begin(), len, 0.0f);
                std::fill_n(cnt.begin(), len, 0.0f);
                for (const auto& [u, x] : mine) {
                    const float xf = static_cast<float>(x);
                    const float* v = value[u].data() + j0;
                    const float* h = has[u].data() + j0;
                    float* a = acc.data();
                    float* c = cnt.data();
                    for (std::size_t b = 0; b < len; ++b) {
                        const float d = v[b] - xf;
                        a[b] += h[b] * d * d;
                        c[b] += h[b];
                    }
                }
                for (std::size_t b = 0; b < len; ++b) {
                    if (cnt[b] < need) continue;
                    const float d2 = acc[b] / cnt[b];
                    if (found == kept && !(d2 < best_d[kept - 1])) continue;
                    const std::size_t j = j0 + b;
                    if (group >= 0 && project_group[j] == group) continue;
                    std::size_t at = found < kept ? found : kept - 1;
                    while (at > 0 && best_d[at - 1] > d2) {
                        best_d[at] = best_d[at - 1];
                        best_j[at] = best_j[at - 1];
                        --at;
                    }
                    best_d[at] = d2;
                    best_j[at] = static_cast<std::int64_t>(j);
                    if (found < kept) ++found;
                }
            }
            // The exact distances of the candidates: root mean square of the
            // scaled differences over the parameters both report.
            exact.clear();
            for (std::size_t i = 0; i < found; ++i) {
                const auto j = static_cast<std::size_t>(best_j[i]);
                double ss = 0.0;
                std::size_t shared = 0;
                for (const auto& [u, x] : mine) {
                    const double y = scaled(projects, j, usable[u]);
                    if (!std::isfinite(y)) continue;
                    ss += (y - x) * (y - x);
                    ++shared;
                }
                exact.emplace_back(ss / static_cast<double>(shared), best_j[i]);
            }
            std::sort(exact.begin(), exact.end());
            for (std::size_t i = 0; i < std::min(k, exact.size()); ++i) {
                out.index[r * k + i] = exact[i].second;
                out.distance[r * k + i] = std::sqrt(exact[i].first);
            }
        }
    });
    return out;
}

// ------------------------------------------------------------------ the vote

Votes vote(const Neighbours& neighbours, const std::vector<std::int32_t>& project_label, std::size_t labels,
           double smoothing) {
    const std::size_t k = neighbours.k;
    const std::size_t n = k == 0 ? neighbours.enough_params.size() : neighbours.index.size() / k;
    Votes out;
    out.labels = labels;
    out.support.assign(n * labels, 0.0);
    out.ranked.assign(n, 0);
    for (std::size_t r = 0; r < n; ++r) {
        double total = 0.0;
        for (std::size_t i = 0; i < k; ++i) {
            const std::int64_t j = neighbours.index[r * k + i];
            if (j < 0) break;
            const double w = 1.0 / (neighbours.distance[r * k + i] + smoothing);
            out.support[r * labels + static_cast<std::size_t>(project_label[static_cast<std::size_t>(j)])] += w;
            total += w;
        }
        if (!(total > 0.0)) continue;
        out.ranked[r] = 1;
        for (std::size_t l = 0; l < labels; ++l) out.support[r * labels + l] /= total;
    }
    return out;
}

std::vector<int> shared_ranks(const std::vector<RankKey>& keys) {
    std::vector<int> ranks(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        int better = 0;
        for (const RankKey& other : keys) better += other > keys[i] ? 1 : 0;
        ranks[i] = better + 1;
    }
    return ranks;
}

RankKey combined_key(bool knocked_out, double support, double screen_score) {
    const double lowest = -std::numeric_limits<double>::infinity();
    return {knocked_out ? 0.0 : 1.0, std::isnan(support) ? lowest : support,
            std::isnan(screen_score) ? lowest : screen_score};
}

// ------------------------------------------------------- the screen's verdicts

std::vector<std::uint8_t> reported_knockouts(const std::vector<ReservoirRecord>& reservoirs,
                                             const ScreeningLimits& file_limits,
                                             const FirstMethodResult& screened) {
    const std::size_t n = screened.field_data.size();
    std::vector<std::uint8_t> out(n * kMethodCount, 0);
    for (std::size_t r = 0; r < n; ++r) {
        ScreeningLimits limits = file_limits;
        adjust_limits_for_reservoir(limits, screened.field_data[r], screened.mmps[r]);
        const Distances d = measure_reservoir(screened.field_data[r], limits);
        for (std::size_t m = 0; m < kMethodCount; ++m) {
            for (std::size_t p = 0; p < kParamCount; ++p) {
                if (!file_limits[p][m].stopper || std::isnan(d[p][m])) continue;   // not a violated stopper
                const Source s = compared_source(screened.sources[r], reservoirs[r].measured_mmps, p, m);
                if (s == Source::reported || s == Source::measured) out[r * kMethodCount + m] = 1;
            }
        }
    }
    return out;
}

namespace {

template <std::size_t M>
std::vector<double> family_scores(const std::vector<double>& scores, std::size_t n,
                                  const std::array<Family, M>& family_of) {
    std::vector<double> out(n * kFamilyCount, -std::numeric_limits<double>::infinity());
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t m = 0; m < M; ++m) {
            const double s = scores[r * M + m];
            double& best = out[r * kFamilyCount + static_cast<std::size_t>(family_of[m])];
            if (!std::isnan(s) && s > best) best = s;
        }
    }
    return out;
}

}  // namespace

std::vector<double> family_scores_first(const std::vector<double>& scores, std::size_t n) {
    return family_scores(scores, n, kFirstMethodFamily);
}

std::vector<double> family_scores_second(const std::vector<double>& scores, std::size_t n) {
    return family_scores(scores, n, kSecondMethodFamily);
}

std::vector<std::uint8_t> family_knockouts(const std::vector<std::uint8_t>& knockouts, std::size_t n) {
    std::vector<std::uint8_t> out(n * kFamilyCount, 0);
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t f = 0; f < kFamilyCount; ++f) {
            bool any = false, all = true;
            for (std::size_t m = 0; m < kMethodCount; ++m) {
                if (static_cast<std::size_t>(kFirstMethodFamily[m]) != f) continue;
                any = true;
                all = all && knockouts[r * kMethodCount + m] != 0;
            }
            out[r * kFamilyCount + f] = any && all ? 1 : 0;
        }
    }
    return out;
}

// ------------------------------------------------------------- evaluation

Credit tie_aware_credit(const std::vector<RankKey>& keys, std::size_t truth) {
    double better = 0.0, tied = 0.0;
    for (const RankKey& key : keys) {
        if (key > keys[truth]) better += 1.0;
        else if (key == keys[truth]) tied += 1.0;
    }
    auto credit = [&](double m) { return std::clamp((m - better) / tied, 0.0, 1.0); };
    return {credit(1.0), credit(3.0)};
}

std::array<double, kFamilyCount> family_support(const Votes& votes, std::size_t r,
                                                const std::vector<int>& label_family) {
    std::array<double, kFamilyCount> out{};
    for (std::size_t l = 0; l < votes.labels; ++l) {
        if (label_family[l] >= 0) out[static_cast<std::size_t>(label_family[l])] += votes.support[r * votes.labels + l];
    }
    return out;
}

namespace {

int first_of(const std::vector<RankKey>& keys) {
    return static_cast<int>(std::max_element(keys.begin(), keys.end(),
                                             [](const RankKey& a, const RankKey& b) { return a < b; }) -
                            keys.begin());
}

}  // namespace

Evaluation evaluate(const std::vector<int>& project_family, const Votes& loo_votes,
                    const std::vector<int>& label_family, const std::vector<double>& first_family_scores,
                    const std::vector<double>& second_family_scores,
                    const std::vector<std::uint8_t>& family_knocked_out) {
    const std::size_t n = project_family.size();
    Evaluation ev;
    for (auto* top : {&ev.top_analogs, &ev.top_first, &ev.top_second, &ev.top_combined}) top->assign(n, kNoFamily);
    for (auto* c : {&ev.credit_analogs, &ev.credit_first, &ev.credit_second, &ev.credit_combined}) {
        c->assign(n, Credit{std::nan(""), std::nan("")});
    }
    const double lowest = -std::numeric_limits<double>::infinity();
    std::vector<RankKey> a(kFamilyCount), f1(kFamilyCount), f2(kFamilyCount), comb(kFamilyCount);
    for (std::size_t r = 0; r < n; ++r) {
        const std::array<double, kFamilyCount> support = family_support(loo_votes, r, label_family);
        for (std::size_t f = 0; f < kFamilyCount; ++f) {
            const double s1 = first_family_scores[r * kFamilyCount + f];
            const double s2 = second_family_scores[r * kFamilyCount + f];
            a[f] = {support[f], 0.0, 0.0};
            f1[f] = {std::isnan(s1) ? lowest : s1, 0.0, 0.0};
            f2[f] = {std::isnan(s2) ? lowest : s2, 0.0, 0.0};
            comb[f] = combined_key(family_knocked_out[r * kFamilyCount + f] != 0, support[f], s1);
        }
        if (loo_votes.ranked[r]) ev.top_analogs[r] = first_of(a);
        ev.top_first[r] = first_of(f1);
        ev.top_second[r] = first_of(f2);
        ev.top_combined[r] = first_of(comb);
        const int truth = project_family[r];
        if (truth < 0) continue;
        const auto t = static_cast<std::size_t>(truth);
        ev.credit_analogs[r] = tie_aware_credit(a, t);
        ev.credit_first[r] = tie_aware_credit(f1, t);
        ev.credit_second[r] = tie_aware_credit(f2, t);
        ev.credit_combined[r] = tie_aware_credit(comb, t);
        ++ev.projects;
        for (auto [m, c] : {std::pair{&ev.analogs, ev.credit_analogs[r]}, std::pair{&ev.first, ev.credit_first[r]},
                            std::pair{&ev.second, ev.credit_second[r]},
                            std::pair{&ev.combined, ev.credit_combined[r]}}) {
            m->top1 += c.top1;
            m->top3 += c.top3;
        }
    }
    if (ev.projects > 0) {
        for (Measure* m : {&ev.analogs, &ev.first, &ev.second, &ev.combined}) {
            m->top1 /= static_cast<double>(ev.projects);
            m->top3 /= static_cast<double>(ev.projects);
        }
    }
    return ev;
}

}  // namespace zelt::analogs
