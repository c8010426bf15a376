// Benchmark of the random source and the simulators: 64-bit words per second of each block
// function variant, thinning cost per candidate against one exp call timed in the same run, and
// branching events per second. Usage: bench_simulation [scale], scale 1 by default (CI may run a
// smoke pass with a small scale such as 0.01).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_util.hpp"
#include "simulation/chacha_simd.hpp"
#include "simulation/cluster.hpp"
#include "simulation/random.hpp"
#include "simulation/thinning.hpp"

using namespace vostrel;
using namespace vostrel::bench;

namespace {

void stream_throughput(double scale) {
    const std::uint64_t n_words = std::uint64_t(2e7 * scale) + 64;
    std::printf("stream (%llu 64-bit words per run)\n", (unsigned long long)n_words);
    double portable_rate = 0.0;
    for (ChachaVariant variant : {ChachaVariant::Portable, ChachaVariant::Sse2, ChachaVariant::Avx2,
                                  ChachaVariant::Avx512}) {
        if (!chacha_variant_supported(variant) || chacha_four_blocks(variant, 12) == nullptr) {
            std::printf("  %-10s not available on this processor\n", chacha_variant_name(variant));
            continue;
        }
        std::uint64_t sink = 0;
        const double seconds = best_seconds(3, [&] {
            RandomStream stream = RandomStream::from_seed(42, variant);
            std::uint64_t x = 0;
            for (std::uint64_t i = 0; i < n_words; ++i) x ^= stream.draw_u64();
            sink ^= x;
        });
        keep(double(sink));
        const double rate = n_words / seconds;
        // The block function alone, four blocks (32 words of 64 bits) per call.
        ChachaFourBlocks four_blocks = chacha_four_blocks(variant, 12);
        const std::uint64_t n_calls = n_words / 32;
        std::uint32_t key[8];
        expand_seed(42, key);
        const double block_seconds = best_seconds(3, [&] {
            alignas(64) std::uint32_t out[64];
            std::uint32_t x = 0;
            for (std::uint64_t i = 0; i < n_calls; ++i) {
                four_blocks(key, 4 * i, 0, out);
                x ^= out[i & 63];
            }
            sink ^= x;
        });
        keep(double(sink));
        const double block_rate = 32.0 * n_calls / block_seconds;
        if (variant == ChachaVariant::Portable) portable_rate = block_rate;
        std::printf(
            "  %-10s block function %8.1f M words/s (%5.2f ns/word, %.2fx portable); "
            "through draw_u64 %8.1f M words/s\n",
            chacha_variant_name(variant), block_rate * 1e-6, 1e9 / block_rate,
            block_rate / portable_rate, rate * 1e-6);
        // The sixteen-block form, where the variant has one (refills are served from it).
        ChachaSixteenBlocks sixteen = chacha::simd_sixteen_blocks(variant, 12);
        if (sixteen != nullptr) {
            const std::uint64_t n_sixteen = n_words / 128;
            const double sixteen_seconds = best_seconds(3, [&] {
                alignas(64) std::uint32_t out[256];
                std::uint32_t x = 0;
                for (std::uint64_t i = 0; i < n_sixteen; ++i) {
                    sixteen(key, 16 * i, 0, out);
                    x ^= out[i & 255];
                }
                sink ^= x;
            });
            keep(double(sink));
            const double sixteen_rate = 128.0 * n_sixteen / sixteen_seconds;
            std::printf("  %-10s sixteen blocks %8.1f M words/s (%5.2f ns/word)\n",
                        chacha_variant_name(variant), sixteen_rate * 1e-6, 1e9 / sixteen_rate);
        }
    }
    std::printf("  in use: %s\n", chacha_variant_name(best_chacha_variant()));
}

void thinning_cost(double scale) {
    std::printf("thinning: cost per candidate against one exp call\n");
    struct Case {
        const char* name;
        double t_horizon, mu, alpha, beta;
    };
    const Case cases[] = {
        {"uni mu=1 alpha=0.6 beta=2", 2e5 * scale + 10, 1.0, 0.6, 2.0},
        {"uni mu=1 alpha=0.95 beta=1", 5e4 * scale + 10, 1.0, 0.95, 1.0},
    };
    for (const Case& c : cases) {
        std::uint64_t candidates = 0;
        std::size_t events = 0;
        const double seconds = best_seconds(3, [&] {
            auto result =
                simulate_uni_exp_hawkes(c.t_horizon, c.mu, c.alpha, c.beta, 7, &candidates);
            events = result.value().size();
        });
        // The floor: as many exp calls, on arguments of the same kind (negative lags).
        std::vector<double> args(candidates);
        RandomStream stream = RandomStream::from_seed(1);
        for (double& a : args) a = -stream.draw_exp1();
        double sink = 0.0;
        const double floor = best_seconds(3, [&] { sink += floor_exp(args); });
        keep(sink);
        char label[96];
        std::snprintf(label, sizeof label, "%s (%zu events)", c.name, events);
        report(label, seconds, floor, double(candidates), "candidate");
    }
    {
        const double mu[] = {0.5, 0.3, 0.2};
        const double alpha[] = {0.3, 0.1, 0.1, 0.1, 0.3, 0.1, 0.1, 0.1, 0.3};
        std::uint64_t candidates = 0;
        const double seconds = best_seconds(3, [&] {
            auto result = simulate_mv_exp_hawkes(1e5 * scale + 10, mu, alpha, 2.0, 7, &candidates);
            keep(double(result.value()[0].size()));
        });
        std::vector<double> args(candidates);
        RandomStream stream = RandomStream::from_seed(1);
        for (double& a : args) a = -stream.draw_exp1();
        double sink = 0.0;
        const double floor = best_seconds(3, [&] { sink += floor_exp(args); });
        keep(sink);
        report("mv M=3 (O(M^2) per candidate)", seconds, floor, double(candidates), "candidate");
    }
}

void branching_rate(double scale) {
    std::printf("branching: events per second\n");
    for (double alpha : {0.5, 0.95}) {
        std::size_t events = 0;
        const double t_horizon = 2e6 * scale * (1.0 - alpha) + 10;
        const double seconds = best_seconds(3, [&] {
            auto result = simulate_uni_exp_branching(t_horizon, 1.0, alpha, 1.0, 7);
            events = result.value().size();
        });
        std::printf("  uni alpha=%-5g %9zu events  %8.2f M events/s  %6.2f ns/event\n", alpha,
                    events, events / seconds * 1e-6, seconds * 1e9 / events);
    }
    for (double alpha_cell : {0.25, 0.475}) {
        const double mu[] = {0.5, 0.5};
        const double alpha[] = {alpha_cell, alpha_cell, alpha_cell, alpha_cell};
        std::size_t events = 0;
        const double seconds = best_seconds(3, [&] {
            auto result = simulate_mv_exp_branching(1e6 * scale + 10, mu, alpha, 1.0, 7);
            events = result.value()[0].size() + result.value()[1].size();
        });
        std::printf("  mv M=2 branching ratio %-5g %9zu events  %8.2f M events/s\n", 2 * alpha_cell,
                    events, events / seconds * 1e-6);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    stream_throughput(scale);
    thinning_cost(scale);
    branching_rate(scale);
    return 0;
}
