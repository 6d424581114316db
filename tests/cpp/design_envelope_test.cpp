#include "design_envelope.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

namespace {

using quon::Feature;

// lat, lon, stages, ISIP, lateral, stage length, fluid loading
std::array<double, quon::kFeatureCount> well(double stages = 20, double lateral = 5000, double spacing = 250,
                                             double fluid = 1500) {
    return {41.7, -76.6, stages, 4500.0, lateral, spacing, fluid};
}

TEST(Well, ValuesThatAreNotPositiveAreNamedInOrder) {
    EXPECT_EQ(quon::check_well(well().data()).fault, quon::WellFault::none);
    struct Case {
        std::array<double, quon::kFeatureCount> row;
        Feature at;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const Case& c : {Case{well(20, 0), quon::kWellLen}, Case{well(20, -5000), quon::kWellLen},
                          Case{well(0), quon::kFracStages}, Case{well(-3), quon::kFracStages},
                          Case{well(20, 5000, 0), quon::kFracSpacing}, Case{well(20, 5000, 250, -500), quon::kFluidLoading},
                          Case{well(20, nan), quon::kWellLen},  // NaN is not a positive length
                          Case{well(0, 0, 0, 0), quon::kWellLen}}) {
        const quon::WellCheck check = quon::check_well(c.row.data());
        EXPECT_EQ(check.fault, quon::WellFault::not_positive);
        EXPECT_EQ(check.feature, c.at);
    }
}

TEST(Well, ALocationOffTheGlobeIsRefusedFirst) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double lat, lon;
        Feature at;
    };
    for (const Case& c : {Case{90.5, -76.6, quon::kLatitude}, Case{-1e300, -76.6, quon::kLatitude},
                          Case{nan, -76.6, quon::kLatitude}, Case{41.7, 180.01, quon::kLongitude},
                          Case{41.7, -inf, quon::kLongitude}, Case{91.0, 500.0, quon::kLatitude}}) {
        auto row = well(0);  // also not a well: the location is named first
        row[quon::kLatitude] = c.lat;
        row[quon::kLongitude] = c.lon;
        const quon::WellCheck check = quon::check_well(row.data());
        EXPECT_EQ(check.fault, quon::WellFault::not_on_earth) << c.lat << ", " << c.lon;
        EXPECT_EQ(check.feature, c.at);
    }
    auto edge = well();
    edge[quon::kLatitude] = -90.0;
    edge[quon::kLongitude] = 180.0;
    EXPECT_EQ(quon::check_well(edge.data()).fault, quon::WellFault::none);
}

TEST(Well, StagesMayOverrunTheLateralByATenthOnly) {
    EXPECT_EQ(quon::check_well(well(20, 5000, 275).data()).fault, quon::WellFault::none);  // exactly 1.1x
    EXPECT_EQ(quon::check_well(well(20, 5000, 275.1).data()).fault, quon::WellFault::stages_exceed_lateral);
    EXPECT_EQ(quon::check_well(well(40, 6000, 300).data()).fault, quon::WellFault::stages_exceed_lateral);
    EXPECT_EQ(quon::check_well(well(400, 5000, 250).data()).fault, quon::WellFault::stages_exceed_lateral);
    EXPECT_EQ(quon::check_well(well(4, 8000, 100).data()).fault, quon::WellFault::none);  // short of it is fine
    std::vector<double> rows;
    for (const auto& r : {well(), well(), well(40, 6000, 300), well(0)}) rows.insert(rows.end(), r.begin(), r.end());
    EXPECT_EQ(quon::first_non_well(rows.data(), 4), 2u);
    EXPECT_EQ(quon::first_non_well(rows.data(), 2), 2u);
}

TEST(Envelope, NamesEveryQuantityOutsideAndChecksOnlyWhatItHas) {
    quon::DesignEnvelope envelope;
    auto row = well();
    EXPECT_EQ(quon::outside_envelope(envelope, row.data()), 0u);  // nothing to check against
    envelope.models[quon::kWellLen] = quon::Range{1000, 8000};
    envelope.models[quon::kFracStages] = quon::Range{4, 40};
    envelope.models[quon::kLatitude] = quon::Range{41.4, 41.9};
    envelope.window_lat = quon::Range{41.38, 41.99};
    envelope.window_lon = quon::Range{-77.59, -75.56};
    EXPECT_EQ(quon::outside_envelope(envelope, row.data()), 0u);
    row[quon::kWellLen] = 8000;  // bounds belong to the range
    row[quon::kFracStages] = 4;
    EXPECT_EQ(quon::outside_envelope(envelope, row.data()), 0u);
    row[quon::kWellLen] = 8000.5;
    row[quon::kFluidLoading] = 1e6;  // no range: not checked
    EXPECT_EQ(quon::outside_envelope(envelope, row.data()), quon::outside_model_bit(quon::kWellLen));
    row = well();
    row[quon::kLatitude] = 41.95;  // inside the window, outside the models' range
    EXPECT_EQ(quon::outside_envelope(envelope, row.data()), quon::outside_model_bit(quon::kLatitude));
    row[quon::kLatitude] = 31.9;  // West Texas
    row[quon::kLongitude] = -102.1;
    EXPECT_EQ(quon::outside_envelope(envelope, row.data()),
              quon::outside_model_bit(quon::kLatitude) | quon::outside_window_bit(quon::kLatitude) |
                  quon::outside_window_bit(quon::kLongitude));
    row[quon::kLatitude] = std::numeric_limits<double>::quiet_NaN();  // not inside anything
    EXPECT_NE(quon::outside_envelope(envelope, row.data()) & quon::outside_window_bit(quon::kLatitude), 0u);

    std::vector<double> rows;
    for (const auto& r : {well(), well(20, 9000, 250)}) rows.insert(rows.end(), r.begin(), r.end());
    EXPECT_EQ(quon::outside_envelope(envelope, rows.data(), 2),
              (std::vector<quon::OutsideMask>{0u, quon::outside_model_bit(quon::kWellLen)}));
}

TEST(Envelope, RangesAFileMayGive) {
    EXPECT_FALSE(quon::range_problem(1, 1));
    EXPECT_FALSE(quon::range_problem(-77.59, -75.56));
    EXPECT_TRUE(quon::range_problem(2, 1));
    EXPECT_TRUE(quon::range_problem(std::nan(""), 1));
    EXPECT_TRUE(quon::range_problem(0, HUGE_VAL));
}

TEST(Falls, CountsEveryStepDownFromMonthZero) {
    const std::vector<double> rising = {10, 20, 20, 35};  // level is not a fall
    EXPECT_EQ(quon::cumulative_falls(rising.data(), rising.size()).count, 0u);
    const std::vector<double> falling = {10, 20, 18, 30, 25, 40};
    const quon::Falls f = quon::cumulative_falls(falling.data(), falling.size());
    EXPECT_EQ(f.count, 2u);
    EXPECT_EQ(f.first, 2u);
    const std::vector<double> negative = {-1, 5};  // below the 0 of month 0
    EXPECT_EQ(quon::cumulative_falls(negative.data(), 2).count, 1u);
    EXPECT_EQ(quon::cumulative_falls(negative.data(), 2).first, 0u);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> gap = {10, nan, 12, nan, 11};  // 12 to 11 across the gap
    EXPECT_EQ(quon::cumulative_falls(gap.data(), gap.size()).count, 1u);
    EXPECT_EQ(quon::cumulative_falls(gap.data(), gap.size()).first, 4u);

    std::vector<double> outputs = rising;
    outputs.insert(outputs.end(), {10, 20, 19, 35});
    EXPECT_EQ(quon::designs_falling(outputs, 2, 4), (std::vector<unsigned char>{0, 1}));
}

TEST(Manifest, ReadsWhatSha256sumWrites) {
    const std::string a(64, 'a');
    const std::string b = std::string(63, '0') + "F";
    const quon::Manifest m = quon::parse_manifest(a + "  Model/6/model.pickle\r\n\n" + b +
                                                  " *./GeoModel/isip (psia) median blended.pickle\n");
    EXPECT_EQ(m.error_line, 0u) << m.error;
    ASSERT_EQ(m.digests.size(), 2u);
    EXPECT_EQ(m.digests.at("Model/6/model.pickle"), a);
    EXPECT_EQ(m.digests.at("GeoModel/isip (psia) median blended.pickle"), std::string(63, '0') + "f");
    EXPECT_TRUE(quon::parse_manifest("").digests.empty());
    EXPECT_EQ(quon::parse_manifest("").error_line, 0u);
}

TEST(Manifest, NamesTheLineItCannotRead) {
    const std::string a(64, 'a');
    for (const std::string& bad : {a + " model.pickle", a.substr(1) + "   model.pickle", std::string(64, 'g') + "  x",
                                   a + "  ", a + "  ./", a + "  x\n" + a + "  x"}) {
        const quon::Manifest m = quon::parse_manifest(a + "  first\n" + bad);
        EXPECT_GE(m.error_line, 2u) << bad;
        EXPECT_FALSE(m.error.empty());
        EXPECT_TRUE(m.digests.empty());
    }
    EXPECT_NE(quon::parse_manifest(a + "  x\n" + a + "  ./x").error.find("listed twice"), std::string::npos);
}

}  // namespace
