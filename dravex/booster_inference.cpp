#include "booster_inference.hpp"

#include <xgboost/c_api.h>

#include <cstdint>

namespace quon {

namespace {

const char* bool_json(bool value) { return value ? "true" : "false"; }

// The names (feature_name) or types (feature_type) the booster keeps for its
// features; false when the library refuses.
bool feature_info(void* booster, const char* field, std::vector<std::string>& out, std::string& error) {
    bst_ulong count = 0;
    const char** items = nullptr;
    if (XGBoosterGetStrFeatureInfo(booster, field, &count, &items) != 0) {
        error = XGBGetLastError();
        return false;
    }
    out.assign(items, items + count);
    return true;
}

}  // namespace

std::string inplace_config_json(const InplaceRequest& request) {
    // Prediction type 0 is the transformed value, 1 the margin; strict_shape
    // false gives one value per row for a single target; cache_id 0, since
    // an in-place prediction caches nothing.
    std::string json = "{\"type\": 0, \"training\": ";
    json += bool_json(false);
    json += ", \"iteration_begin\": " + std::to_string(request.iteration_begin);
    json += ", \"iteration_end\": " + std::to_string(request.iteration_end);
    json += ", \"missing\": " + request.missing_json;
    json += ", \"strict_shape\": ";
    json += bool_json(false);
    json += ", \"cache_id\": 0}";
    return json;
}

std::string dense_matrix_interface_json(const double* data, std::size_t rows, std::size_t cols) {
    // Strides null: C-contiguous. "<f8": little-endian 8-byte float. The
    // data pair is (address, read-only flag).
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    std::string json = "{\"data\": [" + std::to_string(address) + ", false], ";
    json += "\"strides\": null, \"descr\": [[\"\", \"<f8\"]], \"typestr\": \"<f8\", ";
    json += "\"shape\": [" + std::to_string(rows) + ", " + std::to_string(cols) + "], ";
    json += "\"version\": 3}";
    return json;
}

RowsPrediction predict_rows(void* booster, const double* data, std::size_t rows, std::size_t cols,
                            const InplaceRequest& request) {
    RowsPrediction p;
    auto fail = [&p](RowStatus status, std::string error = {}) {
        p.status = status;
        p.error = std::move(error);
        return p;
    };
    std::string error;
    bst_ulong num_features = 0;
    if (XGBoosterGetNumFeature(booster, &num_features) != 0) return fail(RowStatus::library_error, XGBGetLastError());
    if (num_features != cols) return fail(RowStatus::feature_count);
    std::vector<std::string> types;
    if (!feature_info(booster, "feature_type", types, error)) return fail(RowStatus::library_error, error);
    for (const std::string& type : types)
        if (type == "c") return fail(RowStatus::categorical_feature);

    const std::string values = dense_matrix_interface_json(data, rows, cols);
    const std::string config = inplace_config_json(request);
    const bst_ulong* shape = nullptr;
    bst_ulong dims = 0;
    const float* result = nullptr;
    if (XGBoosterPredictFromDense(booster, values.c_str(), config.c_str(), nullptr, &shape, &dims, &result) != 0)
        return fail(RowStatus::library_error, XGBGetLastError());
    // The result lives in the booster's buffer of this thread until its next
    // call here: copied at once.
    if (dims != 1 || shape == nullptr || shape[0] != rows || (rows > 0 && result == nullptr))
        return fail(RowStatus::result_shape);
    p.status = RowStatus::ok;
    p.values.assign(result, result + rows);
    return p;
}

RowPrediction predict_row(void* booster, const std::vector<double>& row, const InplaceRequest& request) {
    RowsPrediction rows = predict_rows(booster, row.data(), 1, row.size(), request);
    RowPrediction p;
    p.status = rows.status;
    p.error = std::move(rows.error);
    if (p.status == RowStatus::ok) p.value = rows.values[0];
    return p;
}

std::unique_ptr<LoadedBooster> LoadedBooster::load(const char* model, std::size_t size, std::string& error) {
    BoosterHandle handle = nullptr;
    if (XGBoosterCreate(nullptr, 0, &handle) != 0) {
        error = XGBGetLastError();
        return nullptr;
    }
    std::unique_ptr<LoadedBooster> out(new LoadedBooster(handle));
    if (XGBoosterLoadModelFromBuffer(handle, model, static_cast<bst_ulong>(size)) != 0 ||
        XGBoosterSetParam(handle, "nthread", "1") != 0) {
        error = XGBGetLastError();
        return nullptr;
    }
    return out;
}

LoadedBooster::~LoadedBooster() { XGBoosterFree(handle_); }

}  // namespace quon
