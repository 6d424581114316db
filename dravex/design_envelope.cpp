#include "design_envelope.hpp"

#include <cctype>
#include <cmath>

namespace quon {

WellCheck check_well(const double* row) {
    for (Feature f : {kLatitude, kLongitude})
        if (!(std::fabs(row[f]) <= kCoordinateLimit[f])) return {WellFault::not_on_earth, f};
    for (Feature f : {kWellLen, kFracStages, kFracSpacing, kFluidLoading})
        if (!(row[f] > 0.0)) return {WellFault::not_positive, f};
    if (row[kFracStages] * row[kFracSpacing] > row[kWellLen] * (1.0 + kStageLengthTolerance))
        return {WellFault::stages_exceed_lateral, kFracStages};
    return {};
}

std::size_t first_non_well(const double* rows, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (check_well(rows + i * kFeatureCount).fault != WellFault::none) return i;
    return n;
}

std::optional<std::string> range_problem(double low, double high) {
    if (!std::isfinite(low) || !std::isfinite(high)) return "its bounds must be finite numbers";
    if (low > high) return "its lower bound lies above its upper bound";
    return std::nullopt;
}

OutsideMask outside_envelope(const DesignEnvelope& envelope, const double* row) {
    OutsideMask mask = 0;
    for (std::size_t f = 0; f < kFeatureCount; ++f) {
        const std::optional<Range>& range = envelope.models[f];
        if (range && !range->contains(row[f])) mask |= outside_model_bit(static_cast<Feature>(f));
    }
    if (envelope.window_lat && !envelope.window_lat->contains(row[kLatitude]))
        mask |= outside_window_bit(kLatitude);
    if (envelope.window_lon && !envelope.window_lon->contains(row[kLongitude]))
        mask |= outside_window_bit(kLongitude);
    return mask;
}

std::vector<OutsideMask> outside_envelope(const DesignEnvelope& envelope, const double* rows, std::size_t n) {
    std::vector<OutsideMask> masks(n);
    for (std::size_t i = 0; i < n; ++i) masks[i] = outside_envelope(envelope, rows + i * kFeatureCount);
    return masks;
}

Falls cumulative_falls(const double* outputs, std::size_t months) {
    Falls falls;
    double before = 0.0;
    for (std::size_t k = 0; k < months; ++k) {
        if (outputs[k] < before) {
            if (falls.count == 0) falls.first = k;
            ++falls.count;
        }
        if (!std::isnan(outputs[k])) before = outputs[k];
    }
    return falls;
}

std::vector<unsigned char> designs_falling(const std::vector<double>& outputs, std::size_t designs,
                                           std::size_t months) {
    std::vector<unsigned char> falling(designs, 0);
    for (std::size_t i = 0; i < designs; ++i)
        falling[i] = cumulative_falls(outputs.data() + i * months, months).count > 0 ? 1 : 0;
    return falling;
}

namespace {

bool hex_digits(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

}  // namespace

Manifest parse_manifest(const std::string& text) {
    Manifest manifest;
    std::size_t start = 0, line_number = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++line_number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        const auto fail = [&](const std::string& why) {
            manifest.digests.clear();
            manifest.error_line = line_number;
            manifest.error = why;
            return manifest;
        };
        std::string digest = line.substr(0, 64);
        if (!hex_digits(digest) || line.size() < 67 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*'))
            return fail("not a line of sha256sum (64 hexadecimal digits, two characters, the file's path)");
        std::string path = line.substr(66);
        while (path.compare(0, 2, "./") == 0) path.erase(0, 2);
        if (path.empty()) return fail("no file named");
        for (char& c : digest) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!manifest.digests.emplace(path, digest).second) return fail("the file \"" + path + "\" is listed twice");
    }
    return manifest;
}

}  // namespace quon
