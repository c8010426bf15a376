// Throughput of the kernel classes' array methods against the C library floor timed in the same
// run: exp (exponential kernel: as the library's calls, and through exp_array on the active path)
// or pow (power-law kernel) once per lag. The piecewise-constant kernel has no transcendental
// floor; it is timed at two bin counts to show the O(log K) lookup.
// Usage: bench_kernels [n_lags] [repeats]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_util.hpp"
#include "kernels/exponential.hpp"
#include "kernels/nonparametric.hpp"
#include "kernels/power_law.hpp"

using namespace vostrel;
using namespace vostrel::bench;

namespace {

double sum_of(const std::vector<double>& v) {
    double s = 0.0;
    for (double x : v) s += x;
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 15;

    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> lag_dist(0.0, 5.0);
    std::vector<double> lags(n);
    for (double& t : lags) t = lag_dist(rng);

    const double alpha = 0.7, beta = 1.3, c = 0.5;
    ExponentialKernel exp_kernel = ExponentialKernel::create(alpha, beta, false).value();
    PowerLawKernel pow_kernel = PowerLawKernel::create(alpha, beta, c).value();

    // The floors see the same arguments the routines pass to exp and pow.
    std::vector<double> exp_args(n), pow_args(n);
    for (std::size_t i = 0; i < n; ++i) {
        exp_args[i] = lags[i] * -beta;
        pow_args[i] = lags[i] + c;
    }
    print_path();
    std::printf("n = %zu lags, best of %d\n", n, repeats);
    const double items = static_cast<double>(n);

    // Each routine returns a new vector, as the module hands it to Python. The floor and the
    // routines it is compared with are timed in alternation, two runs each per round (the first
    // warms the caches). Besides the best times, the median over rounds of each round's own
    // ratio is printed: it is the steadier number when other processes load the machine.
    auto run_floor_exp = [&] { keep(floor_exp(exp_args)); };
    auto run_floor_exp_array = [&] { keep(floor_exp_array(exp_args)); };
    auto run_floor_pow_eval = [&] { keep(floor_pow(pow_args, -(beta + 1.0))); };
    auto run_floor_pow_int = [&] { keep(floor_pow(pow_args, -beta)); };
    auto returning = [&](auto&& routine) {
        return [&n, routine] {
            std::vector<double> r = routine();
            keep(r[n / 2]);
        };
    };
    auto run_exp_eval = returning([&] { return exp_kernel.evaluate(lags); });
    auto run_exp_int = returning([&] { return exp_kernel.integrate_vec(lags); });
    auto run_pow_eval = returning([&] { return pow_kernel.evaluate(lags); });
    auto run_pow_int = returning([&] { return pow_kernel.integrate_vec(lags); });

    constexpr int kTimed = 8;
    // routine index -> index of its floor
    const int floor_of[kTimed] = {0, 0, 0, 3, 3, 5, 5, 7};
    double best[kTimed];
    for (double& b : best) b = 1e300;
    std::vector<std::vector<double>> ratios(kTimed);
    for (int round = 0; round < repeats; ++round) {
        const double seconds[kTimed] = {
            best_seconds(2, run_floor_exp), best_seconds(2, run_exp_eval),
            best_seconds(2, run_exp_int),   best_seconds(2, run_floor_pow_eval),
            best_seconds(2, run_pow_eval),  best_seconds(2, run_floor_pow_int),
            best_seconds(2, run_pow_int),   best_seconds(2, run_floor_exp_array),
        };
        for (int i = 0; i < kTimed; ++i) {
            best[i] = seconds[i] < best[i] ? seconds[i] : best[i];
            ratios[i].push_back(seconds[i] / seconds[floor_of[i]]);
        }
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    const char* names[kTimed] = {nullptr,
                                 "exponential evaluate",
                                 "exponential integrate_vec",
                                 nullptr,
                                 "power-law evaluate",
                                 nullptr,
                                 "power-law integrate_vec",
                                 nullptr};
    for (int i = 0; i < kTimed; ++i) {
        if (names[i] == nullptr) continue;
        report(names[i], best[i], best[floor_of[i]], items, "lag");
        std::printf("%-44s median of per-round ratios %.3f\n", "", median(ratios[i]));
        if (floor_of[i] == 0) {
            std::printf("%-44s against exp_array on the same lags: %.3f\n", "", best[i] / best[7]);
        }
    }

    // Piecewise-constant kernel: uniform bins on [0, 5.5), lags spread over the support.
    double per_lag[2] = {0.0, 0.0};
    const std::size_t bin_counts[2] = {10, 10000};
    for (int which = 0; which < 2; ++which) {
        const std::size_t k = bin_counts[which];
        std::vector<double> edges(k + 1), values(k);
        for (std::size_t i = 0; i <= k; ++i) edges[i] = 5.5 * static_cast<double>(i) / k;
        for (std::size_t i = 0; i < k; ++i) values[i] = 1.0 / (1.0 + static_cast<double>(i));
        NonparametricKernel kernel = NonparametricKernel::create(edges, values).value();
        double seconds = best_seconds(repeats, [&] {
            std::vector<double> r = kernel.evaluate(lags);
            keep(sum_of(r));
        });
        per_lag[which] = seconds * 1e9 / items;
        std::printf("%-44s %10.3f ms  %7.2f ns/lag  (K = %zu)\n", "nonparametric evaluate",
                    seconds * 1e3, per_lag[which], k);
    }
    std::printf("nonparametric evaluate K=1e4 / K=10: %.2fx per lag (log2 ratio of edges %.2f)\n",
                per_lag[1] / per_lag[0], std::log2(10001.0) / std::log2(11.0));
    return 0;
}
