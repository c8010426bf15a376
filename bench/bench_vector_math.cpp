// Throughput of exp_array and log_array against the C library's scalar calls on the same
// arguments, timed in the same run (interleaved rounds, thread CPU time): ordinary arguments of
// each function, and the argument ranges the likelihoods feed them. Prints the path this process
// selected; the vector forms are timed directly as well, whatever the selection. The speed-up is
// the median over rounds of the two times' ratio in each round.
// Usage: bench_vector_math [n, default 1e5] [rounds, default 101]
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_util.hpp"
#include "core/vector_math.hpp"
#include "core/vector_math_forms.hpp"

using namespace vostrel;
using namespace vostrel::bench;

namespace {

std::vector<double> uniform(std::size_t n, double lo, double hi, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(lo, hi);
    std::vector<double> x(n);
    for (double& v : x) v = u(rng);
    return x;
}

void compare(const char* name, const std::vector<double>& x,
             double (*floor)(std::span<const double>), vector_math::forms::ArrayFunction form,
             int rounds) {
    std::vector<double> y(x.size());
    const Rounds measured = Rounds::measure(
        rounds, [&] { keep(floor(x)); },
        [&] {
            form(x.data(), y.data(), x.size());
            keep(y[x.size() / 2]);
        });
    std::printf("%-44s scalar %6.2f ns/call   vector %6.2f ns/call   %5.2fx (median of rounds)\n",
                name, measured.best(0) * 1e9 / double(x.size()),
                measured.best(1) * 1e9 / double(x.size()), measured.median_ratio(0, 1));
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? static_cast<std::size_t>(std::atof(argv[1])) : 100000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 101;
    print_path();
    vector_math::forms::ArrayFunction exp_form = vector_math::forms::exp_avx2_fma();
    vector_math::forms::ArrayFunction log_form = vector_math::forms::log_avx2_fma();
    if (exp_form == nullptr || log_form == nullptr) {
        std::printf("no vector forms on this processor\n");
        return 0;
    }
    compare("exp, x uniform on [-500, 500]", uniform(n, -500.0, 500.0, 1), floor_exp, exp_form,
            rounds);
    compare("exp, decay exponents on [-20, 0]", uniform(n, -20.0, 0.0, 2), floor_exp, exp_form,
            rounds);
    compare("log, x uniform on [1.1, 100] (none near 1)", uniform(n, 1.1, 100.0, 3), floor_log,
            log_form, rounds);
    compare("log, x uniform on [0.5, 3] (one in 20 near 1)", uniform(n, 0.5, 3.0, 4), floor_log,
            log_form, rounds);
    compare("log, x uniform on [0.7, 1] (one in 5 near 1)", uniform(n, 0.7, 1.0, 6), floor_log,
            log_form, rounds);
    compare("log, x uniform on [0.95, 1.05] (all near 1)", uniform(n, 0.95, 1.05, 5), floor_log,
            log_form, rounds);
    return 0;
}
