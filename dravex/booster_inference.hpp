// Feature rows through a trained gradient-boosted booster, by the booster
// library's C API: a model serialised by the library (its own binary or
// JSON format, as the Python package's Booster.save_raw writes it) is
// loaded into the library this code is linked to, and dense float64 rows
// are predicted in place (XGBoosterPredictFromDense), the entry point the
// Python package's own in-place prediction calls.
//
// Plain C++ with no Python in it. A booster is the library's handle
// (BoosterHandle, passed as void*); LoadedBooster owns one. The predictions
// are safe from several threads at once, also on one booster, as the
// library's in-place prediction is; none holds a lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quon {

// What the booster is asked: its transformed output ("value", not the
// margin), not in training, from the trees of the boosting rounds
// [iteration_begin, iteration_end) (0, 0: every round), with
// `missing_json` the feature value that stands for a missing one, written
// as a JSON number the way Python's json module writes it ("NaN",
// "Infinity", "-Infinity", "-999.0", "0", ...).
struct InplaceRequest {
    std::int64_t iteration_begin = 0;
    std::int64_t iteration_end = 0;
    std::string missing_json = "NaN";
};

// The configuration text of an in-place prediction, key for key and byte for
// byte as the Python package writes it:
//   {"type": 0, "training": false, "iteration_begin": 0, "iteration_end": 0,
//    "missing": NaN, "strict_shape": false, "cache_id": 0}
std::string inplace_config_json(const InplaceRequest& request);

// The array interface text (numpy's __array_interface__, version 3, as the
// Python package writes it) of a C-contiguous rows x cols matrix of doubles
// at `data`.
std::string dense_matrix_interface_json(const double* data, std::size_t rows, std::size_t cols);

enum class RowStatus {
    ok,                   // `value` holds the prediction
    feature_count,        // the booster's feature count is not the row's length
    categorical_feature,  // a feature is of categorical type ("c")
    result_shape,         // the result is not one value (several targets or classes)
    library_error,        // the library refused the call; `error` holds its message
};

struct RowPrediction {
    RowStatus status = RowStatus::library_error;
    float value = 0.0f;  // the booster's output for the row, in its target's unit
    std::string error;
};

struct RowsPrediction {
    RowStatus status = RowStatus::library_error;
    std::vector<float> values;  // one per row, in the target's unit
    std::string error;
};

// The predictions of `rows` rows of `cols` features each (row-major, the
// booster's feature order) by `booster`, in one call of the library, when
// the booster knows exactly `cols` features, none categorical, and gives
// one value per row. Otherwise the status says what
// stood in the way and nothing is predicted. A row's value does not depend
// on the other rows: the library walks each row through the trees alone.
// Requires rows >= 1.
RowsPrediction predict_rows(void* booster, const double* data, std::size_t rows, std::size_t cols,
                            const InplaceRequest& request);

// predict_rows of one row.
RowPrediction predict_row(void* booster, const std::vector<double>& row, const InplaceRequest& request);

// A booster loaded from its serialised model, freed with the object. The
// library predicts on one thread per call (the callers spread their own
// calls over threads).
class LoadedBooster {
public:
    // Nothing, with the library's message in `error`, when the library
    // cannot read the model (another format, a newer version).
    static std::unique_ptr<LoadedBooster> load(const char* model, std::size_t size, std::string& error);
    ~LoadedBooster();
    LoadedBooster(const LoadedBooster&) = delete;
    LoadedBooster& operator=(const LoadedBooster&) = delete;
    void* handle() const { return handle_; }

private:
    explicit LoadedBooster(void* handle) : handle_(handle) {}
    void* handle_;
};

}  // namespace quon
