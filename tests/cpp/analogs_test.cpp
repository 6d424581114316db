// Analogs: label families, robust spreads, the nearest projects against a
// brute-force search, the vote, shared ranks and tie-aware credit, the
// first method's knock-outs on reported values, and the leave-one-out measure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "analogs.hpp"

namespace zelt::analogs {
namespace {

TEST(AnalogFamilies, ScreeningNamesFieldLabelsAndOverrides) {
    const FamilyMap map;
    for (std::size_t m = 0; m < kMethodCount; ++m) EXPECT_EQ(map.find(kMethodNames[m]), kFirstMethodFamily[m]);
    for (std::size_t m = 0; m < kMethodCount2019; ++m) EXPECT_EQ(map.find(kMethodNames2019[m]), kSecondMethodFamily[m]);
    EXPECT_EQ(normalised_label("Vert. Misc. CO2"), "co2 miscible");
    EXPECT_EQ(normalised_label("CO2 miscible flood"), "co2 miscible");
    EXPECT_EQ(map.find("Miscible CO2 injection"), Family::co2);
    EXPECT_EQ(map.find("HC immiscible"), Family::hydrocarbon_gas);
    EXPECT_EQ(map.find("in situ combustion"), Family::thermal);
    EXPECT_EQ(map.find("ISC"), Family::thermal);
    EXPECT_EQ(map.find("Steamflood"), Family::thermal);
    EXPECT_EQ(map.find("cyclic steam"), Family::thermal);
    EXPECT_EQ(map.find("N2"), Family::nitrogen);
    EXPECT_EQ(map.find("Alkaline-Surfactant-Polymer"), Family::chemical);
    EXPECT_EQ(map.find("MEOR"), Family::other);
    EXPECT_EQ(map.find("N2 & flue gas"), Family::nitrogen);
    EXPECT_EQ(map.find("Steam huff & puff"), Family::thermal);
    // not guessed: near misses and empty labels have no family
    EXPECT_FALSE(map.find("Gas injection"));
    EXPECT_FALSE(map.find("Waterflood"));
    EXPECT_FALSE(map.find(" - "));
    FamilyMap custom;
    custom.set("Gas injection", Family::hydrocarbon_gas);
    custom.set("polymer", Family::other);
    EXPECT_EQ(custom.find("gas INJECTION"), Family::hydrocarbon_gas);
    EXPECT_EQ(custom.find("Polymer flooding"), Family::other);
    EXPECT_EQ(family_from_name("hydrocarbon gas"), Family::hydrocarbon_gas);
    EXPECT_FALSE(family_from_name("HC"));
}

TEST(AnalogSpace, RobustSpreadsAndNonPositiveLogValues) {
    Table t{8, 3, {}};
    for (int r = 0; r < 8; ++r) {
        t.values.push_back(r + 1.0);                             // 1..8: IQR 3.5
        t.values.push_back(std::pow(10.0, r));                   // log: 0..7, IQR 3.5
        t.values.push_back(r == 7 ? 100.0 : 5.0);                // IQR 0, MAD 0: std
    }
    const std::vector<Scale> scales = {Scale::linear, Scale::log10, Scale::linear};
    const std::vector<double> s = robust_spreads(t, scales);
    EXPECT_NEAR(s[0], 3.5 / 1.349, 1e-12);
    EXPECT_NEAR(s[1], 3.5 / 1.349, 1e-12);
    EXPECT_NEAR(s[2], std::sqrt((7 * std::pow(95.0 / 8, 2) + std::pow(95.0 * 7 / 8, 2)) / 7), 1e-9);
    Table constant{3, 1, {2.0, 2.0, kNaN}};
    EXPECT_EQ(robust_spreads(constant, {Scale::linear})[0], 0.0);
    EXPECT_TRUE(drop_non_positive(t, scales).empty());
    t.values[4] = -1.0;    // row 1, log-scaled
    t.values[10] = 0.0;    // row 3, log-scaled
    t.values[2] = -5.0;    // row 0, linear: a value like any other
    const auto bad = drop_non_positive(t, scales);
    ASSERT_EQ(bad.size(), 2u);
    EXPECT_EQ(bad[0].row, 1u);
    EXPECT_EQ(bad[0].param, 1u);
    EXPECT_EQ(bad[1].row, 3u);
    EXPECT_TRUE(std::isnan(t.values[4]) && std::isnan(t.values[10]));
    EXPECT_EQ(t.values[2], -5.0);
}

Table random_table(std::mt19937& rng, std::size_t rows, std::size_t params, double missing) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Table t{rows, params, {}};
    for (std::size_t i = 0; i < rows * params; ++i) t.values.push_back(u(rng) < missing ? kNaN : u(rng) * 10.0 + 0.1);
    return t;
}

TEST(AnalogSearch, NearestProjectsMatchBruteForceWithMissingValuesAndGroups) {
    std::mt19937 rng(42);
    const std::vector<Scale> scales = {Scale::linear, Scale::log10, Scale::linear, Scale::linear, Scale::log10};
    for (int round = 0; round < 4; ++round) {
        const Table proj = random_table(rng, 700, 5, 0.3);   // over one search block
        const Table res = random_table(rng, 150, 5, 0.3);
        const std::vector<double> spreads = robust_spreads(proj, scales);
        Options opt;
        opt.k = round == 3 ? 1 : 6;
        opt.min_shared = 2 + round % 2;
        std::vector<std::int64_t> rg(res.rows), pg(proj.rows);
        for (std::size_t i = 0; i < rg.size(); ++i) rg[i] = static_cast<std::int64_t>(i % 40);
        for (std::size_t i = 0; i < pg.size(); ++i) pg[i] = static_cast<std::int64_t>(i % 40);
        const bool grouped = round >= 2;
        const Neighbours one = nearest_projects(res, proj, scales, spreads, {opt.k, opt.min_shared, 0.1, 1},
                                                grouped ? rg : std::vector<std::int64_t>{},
                                                grouped ? pg : std::vector<std::int64_t>{});
        const Neighbours two = nearest_projects(res, proj, scales, spreads, {opt.k, opt.min_shared, 0.1, 2},
                                                grouped ? rg : std::vector<std::int64_t>{},
                                                grouped ? pg : std::vector<std::int64_t>{});
        EXPECT_EQ(one.index, two.index);
        for (std::size_t r = 0; r < res.rows; ++r) {
            std::vector<std::pair<double, std::int64_t>> cand;
            std::size_t reported = 0;
            for (std::size_t p = 0; p < 5; ++p) reported += std::isnan(res.at(r, p)) ? 0 : 1;
            ASSERT_EQ(one.enough_params[r] != 0, reported >= opt.min_shared);
            for (std::size_t j = 0; j < proj.rows; ++j) {
                if (grouped && rg[r] == pg[j]) continue;
                double ss = 0.0;
                std::size_t shared = 0;
                for (std::size_t p = 0; p < 5; ++p) {
                    const double a = res.at(r, p), b = proj.at(j, p);
                    if (std::isnan(a) || std::isnan(b)) continue;
                    const double d = scales[p] == Scale::log10 ? std::log10(a) - std::log10(b) : a - b;
                    ss += (d / spreads[p]) * (d / spreads[p]);
                    ++shared;
                }
                if (shared >= opt.min_shared && reported >= opt.min_shared) {
                    cand.emplace_back(std::sqrt(ss / shared), static_cast<std::int64_t>(j));
                }
            }
            std::stable_sort(cand.begin(), cand.end(), [](auto& a, auto& b) { return a.first < b.first; });
            for (std::size_t i = 0; i < opt.k; ++i) {
                if (i < cand.size()) {
                    EXPECT_EQ(one.index[r * opt.k + i], cand[i].second) << "reservoir " << r << " neighbour " << i;
                    EXPECT_NEAR(one.distance[r * opt.k + i], cand[i].first, 1e-12);
                } else {
                    EXPECT_EQ(one.index[r * opt.k + i], -1);
                }
            }
        }
    }
}

TEST(AnalogSearch, EqualDistancesKeepTheEarlierProject) {
    Table proj{4, 3, {1, 1, 1, 2, 2, 2, 0, 0, 0, 2, 2, 2}};
    Table res{1, 3, {1, 1, 1}};
    const std::vector<Scale> scales(3, Scale::linear);
    const Neighbours nb = nearest_projects(res, proj, scales, {1, 1, 1}, {3, 3, 0.1, 1});
    EXPECT_EQ(nb.index, (std::vector<std::int64_t>{0, 1, 2}));   // 1 and 3, 2: distance 1 each
}

TEST(AnalogVote, WeightsByInverseDistanceAndNormalises) {
    Neighbours nb;
    nb.k = 3;
    nb.index = {0, 1, 2, 3, -1, -1, -1, -1, -1};
    nb.distance = {0.0, 0.4, 0.9, 1.0, kNaN, kNaN, kNaN, kNaN, kNaN};
    nb.enough_params = {1, 1, 0};
    const Votes v = vote(nb, {0, 1, 0, 1}, 2, 0.1);
    const double w0 = 1 / 0.1, w1 = 1 / 0.5, w2 = 1 / 1.0;
    EXPECT_NEAR(v.support[0], (w0 + w2) / (w0 + w1 + w2), 1e-15);
    EXPECT_NEAR(v.support[1], w1 / (w0 + w1 + w2), 1e-15);
    EXPECT_EQ(v.support[2], 0.0);
    EXPECT_EQ(v.support[3], 1.0);
    EXPECT_EQ(v.ranked, (std::vector<std::uint8_t>{1, 1, 0}));
}

TEST(AnalogRanks, SharedRanksCombinedKeyAndTieCredit) {
    const std::vector<RankKey> keys = {combined_key(false, 0.5, 0.2), combined_key(true, 0.9, 1.0),
                                       combined_key(false, 0.5, 0.2), combined_key(false, 0.0, 0.9),
                                       combined_key(false, 0.5, 0.8)};
    EXPECT_EQ(shared_ranks(keys), (std::vector<int>{2, 5, 2, 4, 1}));
    // knocked out last however large its support; ties by the screen's score next
    const Credit c = tie_aware_credit(keys, 0);
    EXPECT_DOUBLE_EQ(c.top1, 0.0);
    EXPECT_DOUBLE_EQ(c.top3, 1.0);
    const std::vector<RankKey> flat(6, RankKey{0, 0, 0});
    EXPECT_DOUBLE_EQ(tie_aware_credit(flat, 2).top1, 1.0 / 6);
    EXPECT_DOUBLE_EQ(tie_aware_credit(flat, 2).top3, 0.5);
    const std::vector<RankKey> four = {{2, 0, 0}, {1, 0, 0}, {1, 0, 0}, {1, 0, 0}, {1, 0, 0}};
    EXPECT_DOUBLE_EQ(tie_aware_credit(four, 3).top1, 0.0);
    EXPECT_DOUBLE_EQ(tie_aware_credit(four, 3).top3, 0.5);
    EXPECT_DOUBLE_EQ(tie_aware_credit(four, 0).top1, 1.0);
}

TEST(AnalogScreen, KnockOutsCountOnlyOnReportedValues) {
    ScreeningLimits lim{};
    for (auto& row : lim)
        for (auto& cell : row) cell = {kNaN, kNaN, false};
    for (std::size_t m = kHorzMiscCo2; m <= kVertImmiscN2; ++m) lim[kOilGravity][m] = {12.0, 100.0, true};
    for (std::size_t m = kSteamFlooding; m <= kHotWater; ++m) lim[kNetPayThickness][m] = {20.0, 5000.0, true};
    lim[kReservoirTemperature][kPolymerFlooding] = {0.0, 200.0, true};
    lim[kReservoirTemperature][kAsp] = {0.0, 200.0, true};
    std::vector<ReservoirRecord> rs(3);
    rs[0].oil_gravity_api = 8.0;          // reported: every gas method out
    rs[0].top_depth_ft = 2000.0;
    rs[1].top_depth_ft = 12000.0;         // temperature from the depth (over 200 F): a correlation
    rs[2].oil_gravity_api = 30.0;
    rs[2].top_depth_ft = 2000.0;
    rs[2].net_thickness_ft = 10.0;        // reported thin pay: every thermal method out
    const FirstMethodResult result = screen_first_method(rs, lim, 1);
    const std::vector<std::uint8_t> ko = reported_knockouts(rs, lim, result);
    const std::vector<std::uint8_t> fam = family_knockouts(ko, 3);
    auto at = [&](std::size_t r, Family f) { return fam[r * kFamilyCount + static_cast<std::size_t>(f)]; };
    EXPECT_EQ(at(0, Family::co2), 1);
    EXPECT_EQ(at(0, Family::nitrogen), 1);
    EXPECT_EQ(at(0, Family::thermal), 0);
    EXPECT_EQ(result.scores[1 * kMethodCount + kPolymerFlooding], kKnockedOutScore);   // the screen's own
    EXPECT_EQ(result.scores[1 * kMethodCount + kAsp], kKnockedOutScore);
    EXPECT_EQ(at(1, Family::chemical), 0);                                             // but not reported
    EXPECT_EQ(at(2, Family::thermal), 1);
    EXPECT_EQ(at(2, Family::other), 0);   // no first-method method: never
    const std::vector<double> fs = family_scores_first(result.scores, 3);
    EXPECT_EQ(fs[0 * kFamilyCount + static_cast<std::size_t>(Family::co2)], kKnockedOutScore);
    EXPECT_TRUE(std::isinf(fs[static_cast<std::size_t>(Family::other)]));
}

// The knock-outs agree with the screen's own explanation of every score:
// a stopper, a parameter score other than the inside score, a given value.
TEST(AnalogScreen, KnockOutsAgreeWithTheScreensExplanation) {
    ScreeningLimits lim{};
    for (auto& row : lim)
        for (auto& cell : row) cell = {kNaN, kNaN, false};
    for (std::size_t m = kHorzMiscCo2; m <= kVertImmiscN2; ++m) lim[kOilGravity][m] = {22.0, 100.0, true};
    for (std::size_t m = kSteamFlooding; m <= kSagd; ++m) lim[kReservoirDepth][m] = {0.0, 4500.0, true};
    lim[kReservoirPressure][kHotWater] = {500.0, 3000.0, true};
    lim[kFormationSalinity][kAsp] = {0.0, 50000.0, true};
    lim[kReservoirTemperature][kPolymerFlooding] = {0.0, 200.0, true};
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<ReservoirRecord> rs(300);
    for (ReservoirRecord& r : rs) {
        auto maybe = [&](double lo, double hi) { return u(rng) < 0.3 ? kNaN : lo + u(rng) * (hi - lo); };
        r.oil_gravity_api = maybe(10, 45);
        r.top_depth_ft = maybe(500, 12000);
        r.pressure_psi = maybe(200, 6000);
        r.temperature_c = maybe(20, 130);
        r.salinity_ppm = maybe(1000, 150000);
        r.net_thickness_ft = maybe(5, 200);
    }
    FirstMethodExplanation ex;
    const FirstMethodResult result = screen_first_method(rs, lim, 2, &ex);
    const std::vector<std::uint8_t> ko = reported_knockouts(rs, lim, result);
    std::size_t knocked = 0;
    for (std::size_t i = 0; i < rs.size() * kMethodCount; ++i) {
        bool expected = false;
        for (std::size_t p = 0; p < kParamCount; ++p) {
            const std::size_t at = i * kParamCount + p;
            const bool given = ex.source[at] == Source::reported || ex.source[at] == Source::measured;
            expected = expected || (ex.stopper[at] != 0 && ex.points[at] != kInsideScore && given);
        }
        EXPECT_EQ(ko[i] != 0, expected) << "reservoir " << i / kMethodCount << " method " << i % kMethodCount;
        knocked += ko[i];
    }
    EXPECT_GT(knocked, 100u);
}

TEST(AnalogEvaluation, MeasuresEveryRankingOverKnownFamilies) {
    // two projects; labels 0 (CO2) and 1 (unknown)
    Votes v;
    v.labels = 2;
    v.support = {0.7, 0.3, 0.0, 1.0};
    v.ranked = {1, 1};
    const double lo = -1.0;
    std::vector<double> first(2 * kFamilyCount, lo), second(2 * kFamilyCount, lo);
    first[static_cast<std::size_t>(Family::co2)] = 0.9;
    first[static_cast<std::size_t>(Family::chemical)] = 0.9;
    second[static_cast<std::size_t>(Family::thermal)] = 0.5;
    std::vector<std::uint8_t> ko(2 * kFamilyCount, 0);
    const Evaluation ev = evaluate({static_cast<int>(Family::co2), kNoFamily}, v, {static_cast<int>(Family::co2), kNoFamily},
                                   first, second, ko);
    EXPECT_EQ(ev.projects, 1u);
    EXPECT_DOUBLE_EQ(ev.analogs.top1, 1.0);
    EXPECT_DOUBLE_EQ(ev.first.top1, 0.5);
    EXPECT_DOUBLE_EQ(ev.second.top1, 0.0);
    EXPECT_DOUBLE_EQ(ev.second.top3, 0.4);   // 1 better, 5 tied at -1: (3 - 1) / 5
    EXPECT_DOUBLE_EQ(ev.combined.top1, 1.0);
    EXPECT_EQ(ev.top_combined[0], static_cast<int>(Family::co2));
    EXPECT_TRUE(std::isnan(ev.credit_combined[1].top1));
    // the family knocked out: the combination names the next one
    ko[static_cast<std::size_t>(Family::co2)] = 1;
    const Evaluation out = evaluate({static_cast<int>(Family::co2), kNoFamily}, v,
                                    {static_cast<int>(Family::co2), kNoFamily}, first, second, ko);
    EXPECT_EQ(out.top_combined[0], static_cast<int>(Family::chemical));
    EXPECT_DOUBLE_EQ(out.combined.top1, 0.0);
}

}  // namespace
}  // namespace zelt::analogs
