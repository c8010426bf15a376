// Benchmark of the univariate exponential likelihood against the C library floor: the same
// number of exp and log calls (two exp and one log per event), timed in the same run.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_util.hpp"
#include "likelihood/uni_exp.hpp"

using namespace vostrel;

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 7;
    std::mt19937_64 gen(42);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double t_horizon = static_cast<double>(n);
    std::vector<double> times(n);
    double t = 0.0;
    for (auto& x : times) {
        t += -std::log(1.0 - unit(gen));
        x = t < t_horizon ? t : t_horizon;
    }
    const double mu = 0.6, alpha = 0.4, beta = 1.2;
    // The floor calls exp and log on exactly the arguments the routine uses: the decays over the
    // gaps, the tails to the horizon, and the intensities at the events.
    std::vector<double> exp_args(2 * n), log_args(n);
    double previous = 0.0, excitation = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        exp_args[i] = (times[i] - previous) * -beta;
        exp_args[n + i] = (t_horizon - times[i]) * -beta;
        const double r = std::exp(exp_args[i]) * excitation;
        log_args[i] = alpha * beta * r + mu;
        excitation = r + 1.0;
        previous = times[i];
    }

    double sink = 0.0;
    const std::vector<double> best = bench::best_interleaved(
        repeats,
        [&] {
            sink += bench::floor_exp(exp_args);
            sink += bench::floor_log(log_args);
        },
        [&] { sink += likelihood::uni_exp_neg_ll(times, t_horizon, mu, alpha, beta); },
        [&] {
            sink += likelihood::uni_exp_neg_ll_with_grad(times, t_horizon, mu, alpha, beta).first;
        });
    const double floor = best[0], value = best[1], grad = best[2];
    bench::keep(sink);
    std::printf("N = %zu events; floor = %zu exp + %zu log calls\n", n, 2 * n, n);
    bench::report("uni_exp_neg_ll", value, floor, static_cast<double>(n), "event");
    bench::report("uni_exp_neg_ll_with_grad", grad, floor, static_cast<double>(n), "event");
    return 0;
}
