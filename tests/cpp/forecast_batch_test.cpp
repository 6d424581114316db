#include "forecast_batch.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "parallel.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> forecast_months() {
    std::vector<double> months;
    for (int m = 6; m <= 60; m += 2) months.push_back(m);
    return months;
}

// One bin per month with band +-a, as Process derives it.
std::vector<quon::MonthBands> one_bin_bands(std::size_t months, double a) {
    return std::vector<quon::MonthBands>(months, quon::MonthBands{{1e9}, {a}, {-a}, {1}});
}

// Outputs of `designs` wells along Arps declines with some scatter,
// designs x months.
std::vector<double> outputs_of(std::size_t designs, const std::vector<double>& months) {
    std::vector<double> out;
    for (std::size_t i = 0; i < designs; ++i) {
        const quon::ArpsParams p{600.0 + 150.0 * static_cast<double>(i), 0.1 + 0.03 * static_cast<double>(i % 5),
                                 1.1 + 0.1 * static_cast<double>(i % 7)};
        std::vector<double> q(months.size());
        quon::arps_cumulatives(p, months.data(), months.size(), quon::kQUnitFactor, q.data());
        for (std::size_t k = 0; k < q.size(); ++k)
            out.push_back(q[k] * (1.0 + 0.04 * std::sin(static_cast<double>(7 * i + 3 * k))));
    }
    return out;
}

TEST(WidenOutputs, BinOfEachOutputAndItsBand) {
    // Two bins below 100 and up to 200; an output at a bound belongs to the
    // next bin, one above every bound to the last.
    const quon::MonthBands month{{100.0, 200.0}, {0.1, 0.3}, {-0.1, -0.3}, {1, 1}};
    const std::vector<double> outputs = {50.0, 100.0, 150.0, 250.0};
    const quon::Widened w = quon::widen_outputs(outputs, 4, {month});
    ASSERT_FALSE(w.gap.found);
    const double p10[] = {50.0 * 1.1, 100.0 * 1.3, 150.0 * 1.3, 250.0 * 1.3};
    const double p90[] = {50.0 * (1.0 - 0.1), 100.0 * (1.0 - 0.3), 150.0 * (1.0 - 0.3), 250.0 * (1.0 - 0.3)};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(w.p10[i], p10[i]) << i;
        EXPECT_EQ(w.p90[i], p90[i]) << i;
    }
    // A band of +-0.2 turns 100 into 120 and 80.
    const quon::Widened flat = quon::widen_outputs({100.0}, 1, one_bin_bands(1, 0.2));
    EXPECT_DOUBLE_EQ(flat.p10[0], 120.0);
    EXPECT_DOUBLE_EQ(flat.p90[0], 80.0);
}

TEST(WidenOutputs, FirstOutputInABinWithoutBand) {
    // Month 1's first bin has no band; only outputs below 100 fall in it.
    const quon::MonthBands full{{100.0, 200.0}, {0.1, 0.1}, {-0.1, -0.1}, {1, 1}};
    const quon::MonthBands gap{{100.0, 200.0}, {0.0, 0.1}, {0.0, -0.1}, {0, 1}};
    const std::vector<quon::MonthBands> bands = {full, gap};
    EXPECT_FALSE(quon::widen_outputs({150.0, 150.0, 120.0, 300.0}, 2, bands).gap.found);
    const quon::Widened w = quon::widen_outputs({150.0, 150.0, 120.0, 300.0, 50.0, 60.0}, 3, bands);
    ASSERT_TRUE(w.gap.found);
    EXPECT_EQ(w.gap.design, 2u);
    EXPECT_EQ(w.gap.month, 1u);
    EXPECT_EQ(w.gap.bin, 0);
}

TEST(ForecastBatch, EqualsTheFitsOfEachDesign) {
    const std::vector<double> months = forecast_months();
    const std::size_t designs = 23, points = months.size() + 1;
    const std::vector<double> outputs = outputs_of(designs, months);
    const std::vector<quon::MonthBands> bands = one_bin_bands(months.size(), 0.3);
    const quon::BatchForecast f = quon::forecast_batch(months, outputs, designs, bands, {}, 3);
    ASSERT_FALSE(f.gap.found);
    EXPECT_EQ(f.failed_fits, 0u);
    std::vector<double> t{0.0};
    t.insert(t.end(), months.begin(), months.end());
    for (std::size_t i = 0; i < designs; ++i) {
        for (std::size_t s = 0; s < 3; ++s) {
            const double widen = s == quon::kModelSeries ? 0.0 : (s == quon::kP10Series ? 0.3 : -0.3);
            std::vector<double> q{0.0};
            for (std::size_t k = 0; k < months.size(); ++k) {
                const double out = outputs[i * months.size() + k];
                q.push_back(s == quon::kModelSeries ? out : out * (1.0 + widen));
            }
            const quon::ArpsFit fit = quon::fit_arps_cumulative(t.data(), q.data(), points, {});
            ASSERT_TRUE(fit.converged());
            std::vector<double> rate(points), cumulative(points);
            quon::arps_rates(fit.params, t.data(), points, rate.data());
            quon::arps_cumulatives(fit.params, t.data(), points, quon::kQUnitFactor, cumulative.data());
            for (std::size_t k = 0; k < points; ++k) {
                EXPECT_EQ(f.fits[s].rate[i * points + k], rate[k]) << i << " " << s << " " << k;
                EXPECT_EQ(f.fits[s].cumulative[i * points + k], cumulative[k]) << i << " " << s << " " << k;
            }
        }
        // P10 above the model above P90 at month 60.
        const std::size_t last = i * points + points - 1;
        EXPECT_GT(f.fits[quon::kP10Series].cumulative[last], f.fits[quon::kModelSeries].cumulative[last]);
        EXPECT_GT(f.fits[quon::kModelSeries].cumulative[last], f.fits[quon::kP90Series].cumulative[last]);
    }
    // The threads share the designs; the numbers do not depend on how.
    const quon::BatchForecast one = quon::forecast_batch(months, outputs, designs, bands, {}, 1);
    for (std::size_t s = 0; s < 3; ++s) {
        EXPECT_EQ(one.fits[s].rate, f.fits[s].rate);
        EXPECT_EQ(one.fits[s].cumulative, f.fits[s].cumulative);
    }
}

TEST(ForecastBatch, AFailedFitLeavesNaNInItsDesignOnly) {
    const std::vector<double> months = forecast_months();
    const std::size_t designs = 4, points = months.size() + 1;
    std::vector<double> outputs = outputs_of(designs, months);
    outputs[2 * months.size() + 5] = kNaN;  // design 2: every series has the NaN
    const quon::BatchForecast f =
        quon::forecast_batch(months, outputs, designs, one_bin_bands(months.size(), 0.2), {}, 2);
    EXPECT_EQ(f.failed_fits, 3u);
    EXPECT_EQ(f.failed_designs, 1u);
    for (std::size_t s = 0; s < 3; ++s) {
        for (std::size_t i = 0; i < designs; ++i) {
            EXPECT_EQ(f.fits[s].failed[i], i == 2 ? 1 : 0);
            for (std::size_t k = 0; k < points; ++k)
                EXPECT_EQ(std::isnan(f.fits[s].cumulative[i * points + k]), i == 2) << s << " " << i << " " << k;
        }
    }
    // Nothing to fit.
    const quon::BatchForecast none = quon::forecast_batch(months, {}, 0, one_bin_bands(months.size(), 0.2), {}, 2);
    EXPECT_EQ(none.failed_fits, 0u);
    EXPECT_TRUE(none.fits[0].rate.empty());
}

TEST(ParallelFor, EveryIndexOnce) {
    for (unsigned threads : {1u, 2u, 5u}) {
        for (std::size_t chunk : {1u, 3u, 64u}) {
            for (std::size_t count : {0u, 1u, 7u, 200u}) {
                std::vector<std::atomic<int>> seen(count);
                quon::parallel_for(count, threads, chunk, [&](std::size_t i) { ++seen[i]; });
                for (std::size_t i = 0; i < count; ++i)
                    EXPECT_EQ(seen[i].load(), 1) << threads << " " << chunk << " " << i;
            }
        }
    }
}

// Every assertion below holds however the threads are scheduled.
TEST(ParallelFor, AnExceptionReachesTheCaller) {
    // One thread: the handing out stops at the chunk that threw.
    {
        std::vector<int> calls(1000, 0);
        try {
            quon::parallel_for(1000, 1, 1, [&](std::size_t i) {
                ++calls[i];
                if (i == 10) throw std::runtime_error("index 10");
            });
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "index 10");
        }
        for (std::size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i], i <= 10 ? 1 : 0) << i;
    }
    // Several threads, one index throws: that exception is the one rethrown,
    // no index runs twice, and no call is still running when the caller
    // gets it.
    for (unsigned threads : {2u, 5u}) {
        std::vector<std::atomic<int>> calls(1000);
        std::atomic<int> running{0};
        try {
            quon::parallel_for(calls.size(), threads, 1, [&](std::size_t i) {
                ++running;
                ++calls[i];
                if (i == 10) {
                    --running;
                    throw std::runtime_error("index 10");
                }
                std::this_thread::yield();
                --running;
            });
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "index 10");
        }
        EXPECT_EQ(running.load(), 0);
        EXPECT_EQ(calls[10].load(), 1);
        for (std::size_t i = 0; i < calls.size(); ++i) EXPECT_LE(calls[i].load(), 1) << threads << " " << i;
    }
    // Every call throws: each thread stops after its first call, so the
    // handing out stopped, and the one exception rethrown is one of theirs.
    for (unsigned threads : {1u, 2u, 5u}) {
        std::vector<std::atomic<int>> calls(1000);
        try {
            quon::parallel_for(calls.size(), threads, 3, [&](std::size_t i) {
                ++calls[i];
                throw std::runtime_error("index " + std::to_string(i));
            });
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            const std::size_t thrown = std::stoul(std::string(e.what()).substr(6));
            ASSERT_LT(thrown, calls.size());
            EXPECT_EQ(calls[thrown].load(), 1);
        }
        int total = 0;
        for (std::size_t i = 0; i < calls.size(); ++i) {
            EXPECT_LE(calls[i].load(), 1);
            // A throwing call ends its chunk: only the first index of a chunk runs.
            if (i % 3 != 0) EXPECT_EQ(calls[i].load(), 0) << i;
            total += calls[i].load();
        }
        EXPECT_GE(total, 1);
        EXPECT_LE(total, static_cast<int>(threads)) << threads;
    }
}

}  // namespace
