// Times the numeric core of both screening methods on synthetic reservoirs,
// without Python: field data, MMPs and scores for n reservoirs.
//
//   bench_core [n ...] [--threads T]
//
// Prints one line per size: microseconds per reservoir for the first method
// (single-threaded MMP stage, whole batch, and whole batch keeping the
// explanation of every score) and for the 2019 method (without and with).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "fluid_properties.hpp"
#include "screening_batch.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Reservoirs spread over the ranges met in practice, with about one value
// in ten missing.
std::vector<zelt::ReservoirRecord> synthetic_reservoirs(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    auto value = [&](double lo, double hi) { return u(rng) < 0.1 ? zelt::kNaN : lo + (hi - lo) * u(rng); };
    std::vector<zelt::ReservoirRecord> out(n);
    for (auto& r : out) {
        r.oil_gravity_api = value(8.0, 50.0);
        r.dead_oil_viscosity_cp = value(0.3, 5000.0);
        r.top_depth_ft = value(500.0, 15000.0);
        r.net_thickness_ft = value(5.0, 300.0);
        r.gross_thickness_ft = value(10.0, 600.0);
        r.permeability_md = value(0.1, 5000.0);
        r.porosity_pct = value(3.0, 35.0);
        r.recovery_factor_pct = value(0.0, 60.0);
        r.pressure_psi = value(200.0, 8000.0);
        r.temperature_c = value(15.0, 150.0);
        r.water_saturation_pct = value(5.0, 80.0);
        r.salinity_ppm = value(1000.0, 250000.0);
    }
    return out;
}

std::vector<zelt::ReservoirRecord2019> as_2019(const std::vector<zelt::ReservoirRecord>& in) {
    std::vector<zelt::ReservoirRecord2019> out(in.size());
    for (std::size_t k = 0; k < in.size(); ++k) {
        const auto& r = in[k];
        out[k] = zelt::ReservoirRecord2019{r.porosity_pct, r.permeability_md, r.top_depth_ft,
                                           r.oil_gravity_api, r.dead_oil_viscosity_cp, r.temperature_c,
                                           r.water_saturation_pct, r.gross_thickness_ft, r.net_thickness_ft};
    }
    return out;
}

zelt::ScreeningLimits plain_limits() {
    zelt::ScreeningLimits limits{};
    for (auto& row : limits) {
        for (auto& cell : row) cell = zelt::MethodLimits{0.0, 1000.0, false};
    }
    return limits;
}

zelt::ScreeningLimits2019 plain_limits_2019() {
    zelt::ScreeningLimits2019 limits{};
    for (auto& row : limits) {
        for (auto& cell : row) cell = zelt::MethodLimits2019{1.0, 10.0, 100.0, 1000.0, 1.0};
    }
    return limits;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes;
    unsigned threads = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
            threads = static_cast<unsigned>(std::atoi(argv[++i]));
        } else {
            sizes.push_back(static_cast<std::size_t>(std::atoll(argv[i])));
        }
    }
    if (sizes.empty()) sizes = {1000, 10000, 100000};

    std::printf("%10s %14s %14s %14s %14s %16s %16s\n", "reservoirs", "mmp_us/res", "first_us/res",
                "first_res/s", "2019_us/res", "first_ex_us/res", "2019_ex_us/res");
    const zelt::ScreeningLimits limits = plain_limits();
    const zelt::ScreeningLimits2019 limits_2019 = plain_limits_2019();
    for (std::size_t n : sizes) {
        const auto reservoirs = synthetic_reservoirs(n, 42);
        const auto reservoirs_2019 = as_2019(reservoirs);

        auto start = Clock::now();
        double checksum = 0.0;
        for (const auto& r : reservoirs) {
            const zelt::FieldData fd = zelt::derive_field_data(r);
            const zelt::ReservoirMmps m = zelt::reservoir_mmps(fd.oil_gravity_api, fd.temperature_f);
            checksum += m.co2 + m.hc + m.n2;
        }
        const double mmp_s = seconds_since(start);

        start = Clock::now();
        const auto first = zelt::screen_first_method(reservoirs, limits, threads);
        const double first_s = seconds_since(start);

        start = Clock::now();
        const auto second = zelt::screen_2019_method(reservoirs_2019, limits_2019);
        const double second_s = seconds_since(start);

        start = Clock::now();
        zelt::FirstMethodExplanation first_explained;
        const auto first_ex = zelt::screen_first_method(reservoirs, limits, threads, &first_explained);
        const double first_ex_s = seconds_since(start);

        start = Clock::now();
        zelt::SecondMethodExplanation second_explained;
        const auto second_ex = zelt::screen_2019_method(reservoirs_2019, limits_2019, &second_explained);
        const double second_ex_s = seconds_since(start);

        checksum += first.scores.empty() ? 0.0 : first.scores[0];
        checksum += second.scores.empty() ? 0.0 : second.scores[0];
        checksum += first_explained.points.empty() ? 0.0 : first_explained.points[0] + first_ex.scores[0];
        checksum += second_explained.value.empty() ? 0.0 : second_explained.value[0] + second_ex.scores[0];
        std::printf("%10zu %14.3f %14.3f %14.0f %14.3f %16.3f %16.3f   (checksum %.6g)\n", n, 1e6 * mmp_s / n,
                    1e6 * first_s / n, n / first_s, 1e6 * second_s / n, 1e6 * first_ex_s / n,
                    1e6 * second_ex_s / n, checksum);
    }
    return 0;
}
