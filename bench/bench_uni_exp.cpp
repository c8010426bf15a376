// Benchmark of the univariate exponential likelihood against its floor: the exp and log calls
// whose results are not known in advance, on the routine's own arguments (two exp and one log per
// event, less the tails below the underflow cut, whose exp is 0), timed in the same run, both as
// the library's scalar calls and through exp_array/log_array on the active path (ratios: medians
// over rounds of the ratio within a round). Two windows: a long one, where most tails
// exp(-beta (T - t)) underflow to 0, and a short one, where none does.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_util.hpp"
#include "likelihood/uni_exp.hpp"

using namespace vostrel;

namespace {

void run(const char* label, std::size_t n, double t_horizon, int repeats) {
    std::mt19937_64 gen(42);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> times(n);
    const double rate = static_cast<double>(n) / t_horizon;
    double t = 0.0;
    for (auto& x : times) {
        t += -std::log(1.0 - unit(gen)) / rate;
        x = t < t_horizon ? t : t_horizon;
    }
    const double mu = 0.6, alpha = 0.4, beta = 1.2;
    // The floor calls exp and log on the arguments the routine uses: the decays over the gaps,
    // the tails to the horizon (those above the cut), and the intensities at the events.
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

    exp_args = bench::necessary_exp_arguments(exp_args);

    double sink = 0.0;
    const bench::Rounds measured = bench::Rounds::measure(
        repeats,
        [&] {
            sink += bench::floor_exp(exp_args);
            sink += bench::floor_log(log_args);
        },
        [&] {
            sink += bench::floor_exp_array(exp_args);
            sink += bench::floor_log_array(log_args);
        },
        [&] { sink += likelihood::uni_exp_neg_ll(times, t_horizon, mu, alpha, beta); },
        [&] {
            sink += likelihood::uni_exp_neg_ll_with_grad(times, t_horizon, mu, alpha, beta).first;
        });
    bench::keep(sink);
    std::printf("%s: N = %zu events on [0, %g]; floor = %zu exp + %zu log calls\n", label, n,
                t_horizon, exp_args.size(), n);
    bench::report("uni_exp_neg_ll", measured, 2, 0, 1, static_cast<double>(n), "event");
    bench::report("uni_exp_neg_ll_with_grad", measured, 3, 0, 1, static_cast<double>(n), "event");
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 11;
    bench::print_path();
    run("long window", n, static_cast<double>(n), repeats);
    run("short window", n, 500.0, repeats);
    return 0;
}
