#include "decline_fit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> forecast_times() {
    std::vector<double> t{0.0};
    for (int m = 6; m <= 60; m += 2) t.push_back(m);
    return t;
}

// The interpreter's fitter (scipy 1.10's curve_fit, the driver's fit:
// bounded least squares from (1000, 0.01, 1.3), bounds [0.01, 1e-4, 1.05]
// .. [1e5, 99, 2], ftol 0.01) on each series at months 0, 6, ..., 60: its
// status, its count of residual evaluations and the point it returned.
struct Reference {
    const char* name;
    int status;
    int evaluations;
    double params[3];
    std::vector<double> q;
};

const std::vector<Reference> kReferences = {
    // the model series of a demo-play design (24 stages, 6,400 ft)
    {"demo_model", 2, 10, {6326.508885099113, 0.22129086361612818, 1.4450520212786049},
     {
      0.0, 753.1641845703125, 939.7874145507812, 1080.581787109375, 1222.1229248046875, 1367.642578125,
      1458.643310546875, 1587.2618408203125, 1685.447021484375, 1812.59814453125, 1898.2049560546875,
      1925.615478515625, 2031.294921875, 2013.20166015625, 2105.994384765625, 2260.48486328125,
      2162.1201171875, 2349.922119140625, 2429.284423828125, 2481.247802734375, 2497.168212890625,
      2628.15234375, 2865.54345703125, 2703.700927734375, 2784.2373046875, 2841.964599609375,
      2652.7666015625, 3064.86962890625, 3016.40283203125}},
    // its P10 series
    {"demo_p10", 2, 10, {7067.587777665008, 0.13003265698705124, 1.2828522449471809},
     {
      0.0, 983.5307202017032, 1247.9941504959029, 1428.2308646963177, 1623.281405012758,
      1826.093949736667, 1947.6608098921004, 2130.9840121641832, 2291.5173196245305, 2457.194346480086,
      2542.5429828128385, 2581.8448646184784, 2757.845224910865, 2700.2920090523526, 2873.458853085832,
      3062.455652971615, 2922.5343966632718, 3213.219917584535, 3265.2064695893687, 3395.2458771048955,
      3400.9741500203295, 3576.268941338652, 3856.9141618727795, 3702.282367111879, 3787.018337757437,
      3905.514044206275, 3657.2144747737016, 4194.617088442549, 4193.640637746239}},
    // its P90 series
    {"demo_p90", 2, 8, {4120.011283722211, 0.1831131681584015, 1.1593674691984854},
     {
      0.0, 522.7976489389218, 631.5806786056597, 732.9327095224323, 820.9644445966171,
      909.1912065133332, 969.6258112016495, 1043.5396694764418, 1079.3767233442193, 1168.0019425824141,
      1253.8669292965365, 1269.3860924127716, 1304.744618839135, 1326.1113112601474, 1338.529916445418,
      1458.5140735908847, 1401.705837711728, 1486.6243206967154, 1593.362378066881, 1567.2497283638543,
      1593.3622757609207, 1680.0357461613478, 1874.17275218972, 1705.1194883568712, 1781.4562716175626,
      1778.4151550124757, 1648.3187283512987, 1935.1221693699506, 1839.1650263162608}},
    // an exact decline, qi 1500, Di 0.2, b 1.4
    {"exact_arps", 3, 18, {1499.9999999999998, 0.19999999999999982, 1.3999999999999988},
     {
      -0.0, 185.66719275747076, 227.80668050760872, 265.0205527731461, 298.4987933092027,
      329.03177283701217, 357.1738761197454, 383.3304559235581, 407.8077591993015, 430.8433669994044,
      452.6256673011626, 473.30681251205635, 493.01163003611276, 511.8439233636769, 529.8910361167713,
      547.2272275947636, 563.916215427677, 580.013122113529, 595.5659868555744, 610.6169550711764,
      625.2032252827196, 639.3578108960436, 653.1101589918708, 666.4866574214326, 679.511053747037,
      692.2048039452919, 704.5873646580262, 716.6764397021701, 728.4881892383444}},
    // a decline with b = 3: the fit ends at the upper bound of b
    {"steep_b3", 2, 13, {615.7541844628984, 0.08254002770471533, 1.9999186121794394},
     {
      0.0, 99.75677411078007, 124.06012505221562, 146.5457202694155, 167.65981333792152,
      187.6862074462217, 206.81951794637388, 225.2005283511522, 242.93523714567982, 260.1059743906582,
      276.7782994988493, 293.0054936646749, 308.8316031275786, 324.2935691098909, 339.42276011649807,
      354.2461005328689, 368.7869189790573, 383.0655974573541, 397.1000759255014, 410.9062500000001,
      424.4982883581328, 437.8888889109911, 451.08948766865365, 464.1104306129006, 476.9611163262333,
      489.6501152709771, 502.1852702528074, 514.5737815939765, 526.8222797836784}},
    // a decline with b = 0.6: the fit ends at the lower bound of b
    {"shallow_b06", 2, 9, {2217.7383690846577, 0.07831033960923149, 1.0500002682140555},
     {
      0.0, 317.9898349523459, 406.642371110753, 488.42147090981473, 564.1419383828822,
      634.4914125566535, 700.0545964074604, 761.3320998702003, 818.7552523286471, 872.6978619977725,
      923.4856365887281, 971.4037939268242, 1016.7032582634243, 1059.605741677983, 1100.3079393213015,
      1138.9850148873368, 1175.7935134947265, 1210.8738095268643, 1244.352174384587, 1276.3425317338376,
      1306.9479543702726, 1336.2619463162762, 1364.369545508096, 1391.3482758978505, 1417.2689725946263,
      1442.1964995046617, 1466.190375577496, 1489.30532305064, 1511.5917488769633}},
    // qi 800, Di 0.3, b 1.2 with 5 % log-normal scatter
    {"noisy", 2, 8, {882.5641102669974, 0.4449508771422979, 1.4356911223082311},
     {
      -0.0, 95.00229171466331, 90.55256102559977, 120.01781624886226, 126.72520684217771,
      138.66456281308055, 150.58340004002687, 146.17387756711094, 168.5030898506071, 171.04725252270737,
      219.87885213803997, 195.56555480246254, 196.62043875290755, 203.62550992432875, 205.6006439878677,
      207.15200403759346, 219.57494287961882, 234.79846917190073, 231.51814786943427,
      250.92269020683315, 241.47986124290935, 248.75548341885255, 273.1687958811242, 264.2091239218807,
      254.71130814072902, 262.8127895789992, 276.48169845774976, 300.6062188893783, 272.85311128241796}},
};

// The largest magnitude of a series.
double scale_of(const std::vector<double>& v) {
    double out = 0.0;
    for (double x : v) out = std::max(out, std::fabs(x));
    return out;
}

TEST(DeclineFit, FittedCurvesAreTheInterpretersFittersToAMillionth) {
    // The contract: rates and cumulatives of the fitted decline within 1e-6
    // of the reference fit's, relative to each value or to 1e-9 of the
    // series' scale; the same stop, in about as many evaluations.
    const std::vector<double> t = forecast_times();
    const quon::ArpsParams lower = quon::fit_lower_bounds(quon::kBPlay);
    const quon::ArpsParams upper = quon::fit_upper_bounds(quon::kBPlay);
    for (const Reference& r : kReferences) {
        ASSERT_EQ(r.q.size(), t.size()) << r.name;
        const quon::ArpsFit fit = quon::fit_arps_cumulative(t.data(), r.q.data(), t.size(), {});
        EXPECT_EQ(static_cast<int>(fit.status), r.status) << r.name;
        EXPECT_NEAR(fit.evaluations, r.evaluations, 1) << r.name;
        const quon::ArpsParams want{r.params[0], r.params[1], r.params[2]};
        std::vector<double> q_got(t.size()), q_want(t.size()), y_got(t.size()), y_want(t.size());
        quon::arps_cumulatives(fit.params, t.data(), t.size(), quon::kQUnitFactor, q_got.data());
        quon::arps_cumulatives(want, t.data(), t.size(), quon::kQUnitFactor, q_want.data());
        quon::arps_rates(fit.params, t.data(), t.size(), y_got.data());
        quon::arps_rates(want, t.data(), t.size(), y_want.data());
        const double q_floor = 1e-9 * scale_of(r.q), y_floor = 1e-9 * scale_of(y_want);
        for (std::size_t i = 0; i < t.size(); ++i) {
            EXPECT_NEAR(q_got[i], q_want[i], std::max(1e-6 * std::fabs(q_want[i]), q_floor)) << r.name << " " << i;
            EXPECT_NEAR(y_got[i], y_want[i], std::max(1e-6 * std::fabs(y_want[i]), y_floor)) << r.name << " " << i;
        }
        EXPECT_TRUE(fit.params.qi >= lower.qi && fit.params.qi <= upper.qi) << r.name;
        EXPECT_TRUE(fit.params.di_tan >= lower.di_tan && fit.params.di_tan <= upper.di_tan) << r.name;
        EXPECT_TRUE(fit.params.b >= lower.b && fit.params.b <= upper.b) << r.name;
    }
}

TEST(DeclineFit, FittedCurvesOfAnExactDecline) {
    const std::vector<double> t = forecast_times();
    const quon::ArpsParams truth{1500.0, 0.2, 1.4};
    std::vector<double> q(t.size()), rate(t.size()), fitted(t.size());
    quon::arps_cumulatives(truth, t.data(), t.size(), quon::kQUnitFactor, q.data());
    const quon::ArpsFit fit = quon::fit_arps_cumulative(t.data(), q.data(), t.size(), {});
    ASSERT_TRUE(fit.converged());
    quon::arps_cumulatives(fit.params, t.data(), t.size(), quon::kQUnitFactor, fitted.data());
    quon::arps_rates(fit.params, t.data(), t.size(), rate.data());
    EXPECT_EQ(fitted[0], 0.0);
    EXPECT_EQ(rate[0], fit.params.qi);
    for (std::size_t i = 1; i < t.size(); ++i) {
        EXPECT_NEAR(fitted[i], q[i], 1e-9 * q[i]) << t[i];
        EXPECT_LT(rate[i], rate[i - 1]);
    }
}

TEST(DeclineFit, DoesNotDependOnTheVolumeUnit) {
    // The same wells in a unit a thousand times smaller: residuals, gradient
    // and Jacobian scale together, and the steps are the same (to the
    // rounding of the difference quotients).
    const Reference& r = kReferences.front();
    const std::vector<double> t = forecast_times();
    std::vector<double> q(r.q);
    for (double& v : q) v *= 1000.0;
    quon::ArpsFitSettings settings;
    settings.q_unit_factor = 1000.0 * quon::kQUnitFactor;
    const quon::ArpsFit scaled = quon::fit_arps_cumulative(t.data(), q.data(), t.size(), settings);
    const quon::ArpsFit plain = quon::fit_arps_cumulative(t.data(), r.q.data(), t.size(), {});
    EXPECT_EQ(scaled.status, plain.status);
    EXPECT_EQ(scaled.evaluations, plain.evaluations);
    EXPECT_NEAR(scaled.params.qi, plain.params.qi, 1e-5 * plain.params.qi);
    EXPECT_NEAR(scaled.params.di_tan, plain.params.di_tan, 1e-5 * plain.params.di_tan);
    EXPECT_NEAR(scaled.params.b, plain.params.b, 1e-5 * plain.params.b);
}

TEST(DeclineFit, ThePlaysBSetsTheRangeOfB) {
    const Reference& r = kReferences.front();
    const std::vector<double> t = forecast_times();
    quon::ArpsFitSettings settings;
    settings.b_play = 1.8;
    const quon::ArpsFit fit = quon::fit_arps_cumulative(t.data(), r.q.data(), t.size(), settings);
    ASSERT_TRUE(fit.converged());
    EXPECT_GE(fit.params.b, 1.55);
    EXPECT_LE(fit.params.b, 2.5);
}

TEST(DeclineFit, FailuresAreReportedNotThrown) {
    const std::vector<double> t = forecast_times();
    const std::vector<double> q = kReferences.front().q;
    const auto fit = [&](std::vector<double> data, quon::ArpsFitSettings s = {}) {
        return quon::fit_arps_cumulative(t.data(), data.data(), t.size(), s);
    };
    std::vector<double> with_nan = q;
    with_nan[7] = kNaN;
    EXPECT_EQ(fit(with_nan).status, quon::FitStatus::nonfinite_data);
    std::vector<double> with_inf = q;
    with_inf[3] = std::numeric_limits<double>::infinity();
    EXPECT_EQ(fit(with_inf).status, quon::FitStatus::nonfinite_data);
    EXPECT_EQ(quon::fit_arps_cumulative(t.data(), q.data(), 0, {}).status, quon::FitStatus::nonfinite_data);

    // The evaluation limit: the start is the first evaluation.
    for (int limit : {1, 2, 4}) {
        quon::ArpsFitSettings s;
        s.max_evaluations = limit;
        const quon::ArpsFit spent = fit(q, s);
        EXPECT_EQ(spent.status, quon::FitStatus::evaluations_spent) << limit;
        EXPECT_FALSE(spent.converged());
        EXPECT_EQ(spent.evaluations, limit);
    }
    quon::ArpsFitSettings no_box;
    no_box.b_play = kNaN;
    EXPECT_EQ(fit(q, no_box).status, quon::FitStatus::infeasible_start);
    // b = 1 inside the box: the cumulative divides by zero at the start.
    quon::ArpsFitSettings harmonic;
    harmonic.b_play = 1.0;
    EXPECT_EQ(fit(q, harmonic).status, quon::FitStatus::nonfinite_start);
}

TEST(DeclineFit, ResultsDoNotDependOnTheThread) {
    // The fit keeps no state: the same series on several threads at once
    // gives the serial result bit for bit.
    const std::vector<double> t = forecast_times();
    std::vector<quon::ArpsFit> serial;
    for (const Reference& r : kReferences) serial.push_back(quon::fit_arps_cumulative(t.data(), r.q.data(), t.size(), {}));
    std::vector<std::vector<quon::ArpsFit>> got(4);
    std::vector<std::thread> threads;
    for (std::size_t k = 0; k < got.size(); ++k)
        threads.emplace_back([&, k] {
            for (int round = 0; round < 20; ++round)
                for (const Reference& r : kReferences)
                    got[k].push_back(quon::fit_arps_cumulative(t.data(), r.q.data(), t.size(), {}));
        });
    for (std::thread& th : threads) th.join();
    for (const auto& results : got)
        for (std::size_t i = 0; i < results.size(); ++i) {
            const quon::ArpsFit& want = serial[i % serial.size()];
            EXPECT_EQ(results[i].params.qi, want.params.qi);
            EXPECT_EQ(results[i].params.di_tan, want.params.di_tan);
            EXPECT_EQ(results[i].params.b, want.params.b);
        }
}

}  // namespace
