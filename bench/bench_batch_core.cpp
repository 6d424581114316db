// Times the forecasting core's batch steps without Python, on the monthly
// outputs and bands of real designs (written by bench/bench_batch.py): the
// widening of each output by its bin's band, and the batch of three decline
// fits per design, on one thread and on several.
//
//   bench_batch_core FILE [--repeat R] [--threads T]
//
// FILE holds little-endian values: designs, months and bins as three
// uint64; the months (doubles); per month its bounds, P10 bands, P90 bands
// and known flags (bins doubles each); then the outputs, designs x months
// doubles. Prints "name value" lines: milliseconds of the best of R runs.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "forecast_batch.hpp"

namespace {

using Clock = std::chrono::steady_clock;

template <typename T>
T read_value(std::ifstream& in) {
    T v{};
    in.read(reinterpret_cast<char*>(&v), sizeof v);
    return v;
}

std::vector<double> read_doubles(std::ifstream& in, std::size_t n) {
    std::vector<double> v(n);
    in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(n * sizeof(double)));
    return v;
}

template <typename F>
double best_ms(int repeat, F&& f) {
    double best = 1e300;
    for (int r = 0; r < repeat; ++r) {
        const auto start = Clock::now();
        f();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (ms < best) best = ms;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [--repeat R] [--threads T]\n", argv[0]);
        return 2;
    }
    int repeat = 3;
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--repeat") == 0) repeat = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--threads") == 0) threads = static_cast<unsigned>(std::atoi(argv[i + 1]));
    }
    std::ifstream in(argv[1], std::ios::binary);
    const auto designs = static_cast<std::size_t>(read_value<std::uint64_t>(in));
    const auto n_months = static_cast<std::size_t>(read_value<std::uint64_t>(in));
    const auto bins = static_cast<std::size_t>(read_value<std::uint64_t>(in));
    const std::vector<double> months = read_doubles(in, n_months);
    std::vector<quon::MonthBands> bands(n_months);
    for (quon::MonthBands& b : bands) {
        b.bounds = read_doubles(in, bins);
        b.p10 = read_doubles(in, bins);
        b.p90 = read_doubles(in, bins);
        for (double known : read_doubles(in, bins)) b.known.push_back(known != 0.0 ? 1 : 0);
    }
    const std::vector<double> outputs = read_doubles(in, designs * n_months);
    if (!in) {
        std::fprintf(stderr, "%s: short file\n", argv[1]);
        return 1;
    }

    const double widen = best_ms(repeat, [&] { quon::widen_outputs(outputs, designs, bands); });
    std::size_t failed = 0;
    const double one = best_ms(repeat, [&] {
        failed = quon::forecast_batch(months, outputs, designs, bands, {}, 1).failed_fits;
    });
    const double many = best_ms(repeat, [&] { quon::forecast_batch(months, outputs, designs, bands, {}, threads); });
    std::printf("designs %zu\nthreads %u\nwiden_ms %.3f\nbatch_1_thread_ms %.3f\nbatch_threads_ms %.3f\n"
                "failed_fits %zu\n",
                designs, threads, widen, one, many, failed);
    return 0;
}
