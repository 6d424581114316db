#include "booster_inference.hpp"

#include <gtest/gtest.h>
#include <xgboost/c_api.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kFeatures = 7;
constexpr std::size_t kRows = 300;

#define XGB_OK(call) ASSERT_EQ((call), 0) << XGBGetLastError()

// Training rows of seven features in [0, 100) with a target that depends
// on all of them; -1 in the fourth feature of every ninth row.
struct Training {
    std::vector<float> x;
    std::vector<float> y;
    Training() {
        std::uint64_t state = 20261208;
        auto uniform = [&state] {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            return static_cast<float>(state >> 40) / static_cast<float>(1ULL << 24);
        };
        for (std::size_t r = 0; r < kRows; ++r) {
            float target = 0.0f;
            for (std::size_t c = 0; c < kFeatures; ++c) {
                const float v = 100.0f * uniform();
                x.push_back(r % 9 == 0 && c == 3 ? -1.0f : v);
                target += v * static_cast<float>(c + 1);
            }
            y.push_back(target);
        }
    }
};

class Booster {
public:
    // A booster of `rounds` rounds; `extra` are further learner parameters.
    // With `classes` > 0 the labels are the classes 0 .. classes-1.
    Booster(int rounds, std::vector<std::pair<const char*, const char*>> extra = {}, int classes = 0) {
        Training t;
        if (classes > 0)
            for (float& y : t.y) y = std::fmod(std::floor(y), static_cast<float>(classes));
        const float missing = std::numeric_limits<float>::quiet_NaN();
        EXPECT_EQ(XGDMatrixCreateFromMat(t.x.data(), kRows, kFeatures, missing, &train_), 0);
        EXPECT_EQ(XGDMatrixSetFloatInfo(train_, "label", t.y.data(), kRows), 0);
        EXPECT_EQ(XGBoosterCreate(&train_, 1, &handle_), 0);
        for (const auto& [key, value] : extra) EXPECT_EQ(XGBoosterSetParam(handle_, key, value), 0);
        EXPECT_EQ(XGBoosterSetParam(handle_, "max_depth", "3"), 0);
        EXPECT_EQ(XGBoosterSetParam(handle_, "nthread", "1"), 0);
        for (int i = 0; i < rounds; ++i)
            EXPECT_EQ(XGBoosterUpdateOneIter(handle_, i, train_), 0) << XGBGetLastError();
    }
    ~Booster() {
        XGBoosterFree(handle_);
        XGDMatrixFree(train_);
    }
    Booster(const Booster&) = delete;
    Booster& operator=(const Booster&) = delete;

    void name_features(const std::vector<const char*>& names, const char* field = "feature_name") {
        std::vector<const char*> items(names);
        EXPECT_EQ(XGBoosterSetStrFeatureInfo(handle_, field, items.data(), items.size()), 0);
    }

    // The library's prediction of one row through a DMatrix (the road of
    // the Python package's ordinary predict), for comparison.
    float through_dmatrix(const std::vector<double>& row, float missing, std::int64_t end = 0) const {
        std::vector<float> values(row.begin(), row.end());
        DMatrixHandle m = nullptr;
        EXPECT_EQ(XGDMatrixCreateFromMat(values.data(), 1, values.size(), missing, &m), 0);
        const std::string config = "{\"type\": 0, \"training\": false, \"iteration_begin\": 0, "
                                   "\"iteration_end\": " + std::to_string(end) +
                                   ", \"strict_shape\": false}";
        const bst_ulong* shape = nullptr;
        bst_ulong dims = 0;
        const float* out = nullptr;
        EXPECT_EQ(XGBoosterPredictFromDMatrix(handle_, m, config.c_str(), &shape, &dims, &out), 0)
            << XGBGetLastError();
        const float value = out[0];
        XGDMatrixFree(m);
        return value;
    }

    void* handle() const { return handle_; }

private:
    DMatrixHandle train_ = nullptr;
    BoosterHandle handle_ = nullptr;
};

const std::vector<const char*> kNames = {"latitude mid", "longitude mid", "stages", "isip",
                                         "lateral", "stage length", "fluid"};

std::vector<double> row_of(double base) {
    std::vector<double> row;
    for (std::size_t c = 0; c < kFeatures; ++c) row.push_back(base + 7.3 * static_cast<double>(c));
    return row;
}

TEST(BoosterInference, ConfigurationAsThePythonPackageWritesIt) {
    // json.dumps of the package's dict, keys in its order.
    EXPECT_EQ(quon::inplace_config_json({}),
              "{\"type\": 0, \"training\": false, \"iteration_begin\": 0, \"iteration_end\": 0, "
              "\"missing\": NaN, \"strict_shape\": false, \"cache_id\": 0}");
    EXPECT_EQ(quon::inplace_config_json({0, 13, "-999.0"}),
              "{\"type\": 0, \"training\": false, \"iteration_begin\": 0, \"iteration_end\": 13, "
              "\"missing\": -999.0, \"strict_shape\": false, \"cache_id\": 0}");
    const double row[7] = {};
    EXPECT_EQ(quon::dense_matrix_interface_json(row, 1, 7),
              "{\"data\": [" + std::to_string(reinterpret_cast<std::uintptr_t>(row)) +
                  ", false], \"strides\": null, \"descr\": [[\"\", \"<f8\"]], \"typestr\": \"<f8\", "
                  "\"shape\": [1, 7], \"version\": 3}");
}

TEST(BoosterInference, RowPredictionEqualsTheLibrarysDMatrixPrediction) {
    Booster booster(12, {{"base_score", "250.5"}});
    booster.name_features(kNames);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (double base : {-5.0, 0.0, 3.25, 41.7, 99.9, 1e6}) {
        const std::vector<double> row = row_of(base);
        const quon::RowPrediction p = quon::predict_row(booster.handle(), row, {});
        ASSERT_EQ(p.status, quon::RowStatus::ok) << p.error;
        EXPECT_EQ(p.value, booster.through_dmatrix(row, nan)) << base;
    }
    // Fewer rounds.
    const std::vector<double> row = row_of(10.0);
    const quon::RowPrediction first3 = quon::predict_row(booster.handle(), row, {0, 3, "NaN"});
    ASSERT_EQ(first3.status, quon::RowStatus::ok);
    EXPECT_EQ(first3.value, booster.through_dmatrix(row, nan, 3));
    EXPECT_NE(first3.value, quon::predict_row(booster.handle(), row, {}).value);
    // A value that stands for a missing feature: 50.0 in the middle of the
    // training range, read as missing or as a value.
    int differ = 0;
    for (double v : {0.5, 10.0, 20.0, 30.0, 40.0, 60.0, 70.0, 80.0, 90.0}) {
        std::vector<double> with_50(kFeatures, v);
        with_50[3] = 50.0;
        const quon::RowPrediction missing = quon::predict_row(booster.handle(), with_50, {0, 0, "50.0"});
        ASSERT_EQ(missing.status, quon::RowStatus::ok);
        EXPECT_EQ(missing.value, booster.through_dmatrix(with_50, 50.0f));
        if (missing.value != booster.through_dmatrix(with_50, nan)) ++differ;
    }
    EXPECT_GT(differ, 0);
}

TEST(BoosterInference, RowsTogetherEqualEachRowAlone) {
    Booster booster(20, {{"base_score", "250.5"}});
    booster.name_features(kNames);
    std::vector<double> table;
    const std::size_t rows = 150;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::vector<double> row = row_of(-3.0 + 0.7 * static_cast<double>(r));
        table.insert(table.end(), row.begin(), row.end());
    }
    for (const quon::InplaceRequest& request : {quon::InplaceRequest{}, quon::InplaceRequest{0, 7, "NaN"}}) {
        const quon::RowsPrediction all = quon::predict_rows(booster.handle(), table.data(), rows, kFeatures, request);
        ASSERT_EQ(all.status, quon::RowStatus::ok) << all.error;
        ASSERT_EQ(all.values.size(), rows);
        for (std::size_t r = 0; r < rows; ++r) {
            const std::vector<double> row(table.begin() + static_cast<long>(r * kFeatures),
                                          table.begin() + static_cast<long>((r + 1) * kFeatures));
            EXPECT_EQ(all.values[r], quon::predict_row(booster.handle(), row, request).value) << r;
        }
    }
    EXPECT_EQ(quon::predict_rows(booster.handle(), table.data(), rows / 2, 2 * kFeatures, {}).status,
              quon::RowStatus::feature_count);
}

TEST(BoosterInference, WhatStandsInTheWay) {
    Booster named(2);
    named.name_features(kNames);
    std::vector<double> short_row = row_of(1.0);
    short_row.pop_back();
    EXPECT_EQ(quon::predict_row(named.handle(), short_row, {}).status, quon::RowStatus::feature_count);

    const quon::RowPrediction refused = quon::predict_row(named.handle(), row_of(1.0), {0, 0, "\"none\""});
    EXPECT_EQ(refused.status, quon::RowStatus::library_error);
    EXPECT_FALSE(refused.error.empty());

    named.name_features({"float", "float", "float", "c", "float", "float", "float"}, "feature_type");
    EXPECT_EQ(quon::predict_row(named.handle(), row_of(1.0), {}).status,
              quon::RowStatus::categorical_feature);

    Booster classes(2, {{"objective", "multi:softprob"}, {"num_class", "3"}}, 3);
    classes.name_features(kNames);
    EXPECT_EQ(quon::predict_row(classes.handle(), row_of(1.0), {}).status, quon::RowStatus::result_shape);
}

// The booster's model as the library serialises it ("ubj" or "json").
std::string serialised(const Booster& booster, const char* format) {
    const std::string config = std::string("{\"format\": \"") + format + "\"}";
    bst_ulong size = 0;
    const char* data = nullptr;
    EXPECT_EQ(XGBoosterSaveModelToBuffer(booster.handle(), config.c_str(), &size, &data), 0) << XGBGetLastError();
    return std::string(data, size);
}

TEST(BoosterInference, ALoadedModelPredictsAsTheBoosterItWasSavedFrom) {
    // Without feature names, and with them; both of the library's formats.
    Booster unnamed(15, {{"base_score", "250.5"}});
    Booster named(9, {{"objective", "reg:gamma"}});
    named.name_features(kNames);
    for (const Booster* booster : {&unnamed, &named}) {
        for (const char* format : {"ubj", "json"}) {
            const std::string model = serialised(*booster, format);
            std::string error;
            const std::unique_ptr<quon::LoadedBooster> loaded = quon::LoadedBooster::load(model.data(), model.size(), error);
            ASSERT_TRUE(loaded) << format << ": " << error;
            for (double base : {-5.0, 0.0, 41.7, 1e6}) {
                for (const quon::InplaceRequest& request : {quon::InplaceRequest{}, quon::InplaceRequest{0, 4, "0.0"}}) {
                    const quon::RowPrediction got = quon::predict_row(loaded->handle(), row_of(base), request);
                    const quon::RowPrediction want = quon::predict_row(booster->handle(), row_of(base), request);
                    ASSERT_EQ(got.status, quon::RowStatus::ok) << got.error;
                    EXPECT_EQ(got.value, want.value) << format << " " << base;
                }
            }
        }
    }
    std::string error;
    EXPECT_FALSE(quon::LoadedBooster::load("not a model", 11, error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
