// Turns a fuzzer's bytes into the numbers the harnesses feed the numeric
// cores, and the check that stops a run when an invariant fails.
//
// A value is taken in one of three ways, chosen by a leading byte: any bit
// pattern (NaN payloads, infinities, subnormals, the extremes), one of a few
// special values (limits, switch points, the edges of the caller's range),
// or a point of the caller's plausible range. Exhausted input reads as zero
// bytes, so every input is a valid one.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    bool flag() { return (byte() & 1) != 0; }

    // An integer in [lo, hi].
    std::size_t count(std::size_t lo, std::size_t hi) {
        const std::size_t span = hi - lo + 1;
        const std::size_t raw = static_cast<std::size_t>(byte()) | (static_cast<std::size_t>(byte()) << 8);
        return lo + raw % span;
    }

    // Any double, with a bias towards [lo, hi].
    double value(double lo, double hi) {
        const std::uint8_t mode = byte();
        switch (mode % 8) {
            case 0:
                return raw_bits();
            case 1:
                return special(lo, hi);
            default:
                return in_range(lo, hi);
        }
    }

    // A point of [lo, hi], never NaN.
    double in_range(double lo, double hi) {
        std::uint32_t u = 0;
        for (int i = 0; i < 4; ++i) u = (u << 8) | byte();
        const double frac = static_cast<double>(u) / 4294967295.0;
        return lo + (hi - lo) * frac;
    }

private:
    double raw_bits() {
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits = (bits << 8) | byte();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }

    double special(double lo, double hi) {
        const double kInf = std::numeric_limits<double>::infinity();
        const double table[] = {
            0.0, -0.0, 1.0, -1.0, std::numeric_limits<double>::quiet_NaN(), kInf, -kInf,
            std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
            std::numeric_limits<double>::min(), std::numeric_limits<double>::denorm_min(),
            -std::numeric_limits<double>::denorm_min(), 1e-300, 1e300, 0.01, 100000.0, 0.49,
            5.9, 10.0, 100.0, 1000.0, 140.0, 3000.0, 3010.0, 19000.0, lo, hi, 0.5 * (lo + hi),
            std::nextafter(lo, -kInf), std::nextafter(hi, kInf)};
        return table[byte() % (sizeof table / sizeof table[0])];
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

inline bool same(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

inline bool is_tenth(double s) {
    const double t = s * 10.0;
    return std::fabs(t - std::nearbyint(t)) <= 1e-9;
}

}  // namespace fuzz

// Stops the run with the failed condition and the values that led to it;
// libFuzzer then saves the input that did it.
#define FUZZ_CHECK(cond, ...)                                                           \
    do {                                                                                \
        if (!(cond)) {                                                                  \
            std::fprintf(stderr, "invariant failed: %s (%s:%d)\n  ", #cond, __FILE__,   \
                         __LINE__);                                                     \
            std::fprintf(stderr, __VA_ARGS__);                                          \
            std::fputc('\n', stderr);                                                   \
            std::abort();                                                               \
        }                                                                               \
    } while (0)
