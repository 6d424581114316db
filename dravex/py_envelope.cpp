// What Predict and PredictBatch say about a forecast, over the core's rules
// (design_envelope.hpp): the refusal of a design that is not a well, the
// play's envelope file read and named in warnings, the falls of the raw
// cumulatives; and the play files checked against the play's SHA-256
// manifest as Process reads them.
#include <cmath>
#include <cstdio>

#include "py_face.hpp"

namespace quon_py {

namespace {

using namespace pybind11::literals;

// The features' names of the module vocabulary, in the order of the row.
constexpr const char* kFeatureVocabulary[quon::kFeatureCount] = {
    "strLatitudeMid", "strLongitudeMid", "strFracStages",        "strISIP",
    "strWellLen",     "strFracSpacing",  "strFluidVolumePerLen"};

constexpr const char* kGeologicalGroup = "geological model";
constexpr const char* kModelsGroup = "monthly models";

std::string number_text(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

std::string range_text(const quon::Range& r) { return number_text(r.low) + " to " + number_text(r.high); }

py::object os_path() { return global("os").attr("path"); }

bool is_file(const py::object& path) { return pymodule::truth(os_path().attr("isfile")(path)); }

py::bytes read_bytes(const py::object& path) {
    py::object file = py::module_::import("io").attr("open")(path, "rb");
    return use_then_close(file, [](const py::object& f) { return f.attr("read")(); });
}

}  // namespace

std::array<std::string, quon::kFeatureCount> feature_columns() {
    std::array<std::string, quon::kFeatureCount> names;
    for (std::size_t f = 0; f < quon::kFeatureCount; ++f) names[f] = text_of(global(kFeatureVocabulary[f]));
    return names;
}

// ------------------------------------------------------------- a real well

std::string well_fault_text(const quon::WellCheck& check, const double* row,
                            const std::array<std::string, quon::kFeatureCount>& names) {
    if (check.fault == quon::WellFault::not_on_earth) {
        const double limit = quon::kCoordinateLimit[check.feature];
        return names[check.feature] + " must lie between " + number_text(-limit) + " and " + number_text(limit) +
               " degrees, got " + number_text(row[check.feature]);
    }
    if (check.fault == quon::WellFault::not_positive)
        return names[check.feature] + " must be positive, got " + number_text(row[check.feature]);
    const double stages = row[quon::kFracStages], spacing = row[quon::kFracSpacing];
    return names[quon::kFracStages] + " x " + names[quon::kFracSpacing] + " (" + number_text(stages) + " x " +
           number_text(spacing) + " = " + number_text(stages * spacing) + ") is longer than " +
           names[quon::kWellLen] + " " + number_text(row[quon::kWellLen]) + " by more than " +
           number_text(100.0 * quon::kStageLengthTolerance) + " %";
}

// ------------------------------------------------------------- the envelope

namespace {

[[noreturn]] void bad_envelope(const std::string& where, const std::string& what) {
    pymodule::raise(PyExc_ValueError, "the play's envelope " + where + ": " + what);
}

quon::Range range_of(const py::handle& value, const std::string& where, const std::string& key) {
    double bounds[2] = {0.0, 0.0};
    bool ok = py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value);
    if (ok && py::len(value) == 2) {
        for (int k = 0; k < 2; ++k) ok = ok && real_number(pymodule::item(value, py::int_(k)), bounds[k]);
    } else {
        ok = false;
    }
    if (!ok) bad_envelope(where, key + " must be a list of two numbers [min, max], got " + shown_repr(value));
    if (auto problem = quon::range_problem(bounds[0], bounds[1])) bad_envelope(where, key + ": " + *problem);
    return {bounds[0], bounds[1]};
}

}  // namespace

quon::DesignEnvelope envelope_from(const py::object& described, const std::string& where) {
    if (!py::isinstance<py::dict>(described)) bad_envelope(where, "must be a mapping, got " + shown_value(described));
    const auto names = feature_columns();
    quon::DesignEnvelope envelope;
    for (const auto& [group_key, group] : py::reinterpret_borrow<py::dict>(described)) {
        const std::string group_name = text_of(group_key);
        if (group_name == "source") continue;
        const bool geological = group_name == kGeologicalGroup;
        if (!geological && group_name != kModelsGroup)
            bad_envelope(where, "unknown entry \"" + group_name + "\" (known: \"" + kGeologicalGroup + "\", \"" +
                                    kModelsGroup + "\", \"source\")");
        if (!py::isinstance<py::dict>(group))
            bad_envelope(where, "\"" + group_name + "\" must map column names to ranges");
        for (const auto& [column_key, value] : py::reinterpret_borrow<py::dict>(group)) {
            const std::string column = text_of(column_key);
            const std::string key = "\"" + group_name + "\" / \"" + column + "\"";
            std::size_t f = 0;
            while (f < quon::kFeatureCount && names[f] != column) ++f;
            if (f == quon::kFeatureCount || (geological && f != quon::kLatitude && f != quon::kLongitude))
                bad_envelope(where, key + " is not an input of the " + group_name);
            const quon::Range range = range_of(value, where, key);
            if (!geological)
                envelope.models[f] = range;
            else if (f == quon::kLatitude)
                envelope.window_lat = range;
            else
                envelope.window_lon = range;
        }
    }
    return envelope;
}

std::optional<quon::DesignEnvelope> driver_envelope(const py::object& self) {
    py::object described = py::getattr(self, "m_designEnvelope", py::none());
    if (described.is_none()) return std::nullopt;
    return envelope_from(described, "CMainDravex.m_designEnvelope");
}

std::vector<std::string> outside_items(quon::OutsideMask mask, const double* row, const quon::DesignEnvelope& envelope,
                                       const std::array<std::string, quon::kFeatureCount>& names) {
    std::vector<std::string> items;
    for (std::size_t f = 0; f < quon::kFeatureCount; ++f) {
        const auto feature = static_cast<quon::Feature>(f);
        std::vector<std::string> ranges;
        if (mask & quon::outside_window_bit(feature)) {
            const quon::Range& w = feature == quon::kLatitude ? *envelope.window_lat : *envelope.window_lon;
            ranges.push_back("the geological model's window " + range_text(w));
        }
        if (mask & quon::outside_model_bit(feature))
            ranges.push_back("the monthly models' training range " + range_text(*envelope.models[f]));
        if (ranges.empty()) continue;
        std::string item = names[f] + " " + number_text(row[f]) + " lies outside " + ranges[0];
        if (ranges.size() > 1) item += " and " + ranges[1];
        items.push_back(item);
    }
    return items;
}

std::string outside_columns(quon::OutsideMask mask, const std::array<std::string, quon::kFeatureCount>& names) {
    std::string text;
    for (std::size_t f = 0; f < quon::kFeatureCount; ++f) {
        const auto feature = static_cast<quon::Feature>(f);
        const bool model = mask & quon::outside_model_bit(feature);
        const bool window = mask & quon::outside_window_bit(feature);
        if (!model && !window) continue;
        if (!text.empty()) text += ", ";
        text += names[f];
        if (window && !model) text += " (geological model's window)";
    }
    return text;
}

void warn(const char* category, const std::string& message) {
    if (PyErr_WarnEx(global(category).ptr(), message.c_str(), 1) != 0) throw py::error_already_set();
}

// ------------------------------------------------------------- play files

py::object play_envelope(const py::object& files_dir) {
    py::object path = join_path(files_dir, global("envelopeFile"));
    if (!is_file(path)) return py::none();
    const std::string name = text_of(path);
    std::optional<py::bytes> data = checked_play_file(files_dir, path);
    py::object described;
    try {
        py::object text = (data ? *data : read_bytes(path)).attr("decode")("utf-8");
        described = py::module_::import("json").attr("loads")(text);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        pymodule::raise(PyExc_ValueError, "the play's envelope \"" + name + "\" is not JSON text: " + text_of(e.value()));
    }
    envelope_from(described, "\"" + name + "\"");
    return described;
}

std::optional<py::bytes> checked_play_file(const py::object& files_dir, const py::object& path) {
    py::object manifest_path = join_path(files_dir, global("manifestFile"));
    if (!is_file(manifest_path)) return std::nullopt;
    const std::string manifest_name = text_of(manifest_path);
    std::string text;
    try {
        text = read_bytes(manifest_path).attr("decode")("utf-8").cast<std::string>();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        pymodule::raise(PyExc_ValueError, "the play's manifest \"" + manifest_name + "\" is not UTF-8 text");
    }
    const quon::Manifest manifest = quon::parse_manifest(text);
    if (manifest.error_line != 0)
        pymodule::raise(PyExc_ValueError, "the play's manifest \"" + manifest_name + "\", line " +
                                              std::to_string(manifest.error_line) + ": " + manifest.error);
    const std::string relative = text_of(
        os_path().attr("relpath")(path, files_dir).attr("replace")(global("os").attr("sep"), "/"));
    const std::string name = text_of(path);
    const auto listed = manifest.digests.find(relative);
    if (listed == manifest.digests.end())
        pymodule::raise(PyExc_ValueError, "the play file \"" + name + "\" is not listed in the play's manifest \"" +
                                              manifest_name + "\"; refused: play files run code when they are loaded");
    py::bytes data = read_bytes(path);
    const std::string digest =
        text_of(py::module_::import("hashlib").attr("sha256")(data).attr("hexdigest")());
    if (digest != listed->second)
        pymodule::raise(PyExc_ValueError, "the play file \"" + name + "\" has changed: its SHA-256 is not the one in \"" +
                                              manifest_name + "\"; refused: play files run code when they are loaded");
    return data;
}

}  // namespace quon_py
