// Throughput of the univariate likelihoods against their floors timed in the same run: the exp/log
// calls whose results are not known in advance (sum of exponentials, marked: the routine's own
// arguments, less the exponents below the underflow cut, whose exp is 0), as the library's scalar
// calls and through exp_array/log_array on the active path; or the pow calls (exact power law),
// with nothing else; each ratio is the median over rounds of the ratio within a round. The
// nonparametric model has no transcendental floor in its pair loop; its time per pair is printed.
// Usage: bench_univariate [scale] [repeats] [model]   (scale 1 = the full sizes, 0.01 for a smoke
// run; model one of sumexp, marked, powerlaw, nonparametric, or all when left out)
#include <time.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "bench_util.hpp"
#include "likelihood/marked_uni_exp.hpp"
#include "likelihood/uni_nonparametric.hpp"
#include "likelihood/uni_powerlaw.hpp"
#include "likelihood/uni_sumexp.hpp"

using namespace vostrel;
using namespace vostrel::bench;

namespace {

// Ascending event times with exponential gaps of mean 1/rate.
std::vector<double> make_times(std::size_t n, double rate, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::exponential_distribution<double> gap(rate);
    std::vector<double> t(n);
    double now = 0.0;
    for (double& x : t) {
        now += gap(rng);
        x = now;
    }
    return t;
}

double floored(double lam) { return lam > 1e-30 ? lam : 1e-30; }

void bench_sumexp(std::size_t n, int repeats) {
    const std::vector<double> times = make_times(n, 1.0, 1);
    const double horizon = times.back() + 1.0, mu = 0.5;
    const std::vector<double> alphas = {0.1, 0.15, 0.2, 0.05}, betas = {0.5, 1.0, 2.0, 4.0};
    const std::size_t n_comp = alphas.size();

    // The floor's arguments: the routine's exp arguments and the floored intensities it logs.
    std::vector<double> event_args, comp_args, lams;
    std::vector<double> carried(n_comp, 0.0);
    double previous = 0.0;
    for (double t : times) {
        double lam = mu;
        for (std::size_t k = 0; k < n_comp; ++k) {
            const double arg = (-betas[k]) * (t - previous);
            event_args.push_back(arg);
            const double r = std::exp(arg) * carried[k];
            carried[k] = r + 1.0;
            lam = lam + (betas[k] * alphas[k]) * r;
            comp_args.push_back((-betas[k]) * (horizon - t));
        }
        lams.push_back(floored(lam));
        previous = t;
    }
    event_args = necessary_exp_arguments(event_args);
    comp_args = necessary_exp_arguments(comp_args);
    const Rounds measured = Rounds::measure(
        repeats,
        [&] {
            keep(floor_exp(event_args));
            keep(floor_exp(comp_args));
            keep(floor_log(lams));
        },
        [&] {
            keep(floor_exp_array(event_args));
            keep(floor_exp_array(comp_args));
            keep(floor_log_array(lams));
        },
        [&] { keep(likelihood::uni_sumexp_core(times, horizon, mu, alphas, betas).value()); },
        [&] {
            keep(likelihood::uni_sumexp_grad_core(times, horizon, mu, alphas, betas)
                     .value()
                     .neg_loglik);
        });
    const double items = static_cast<double>(n);
    std::printf("sum of exponentials: N = %zu, K = %zu (floor: %zu exp + %zu log)\n", n, n_comp,
                event_args.size() + comp_args.size(), n);
    report("uni_sumexp_core", measured, 2, 0, 1, items, "event");
    report("uni_sumexp_grad_core", measured, 3, 0, 1, items, "event");
}

void bench_marked(std::size_t n, int repeats) {
    const std::vector<double> times = make_times(n, 1.0, 2);
    std::vector<double> marks(n);
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> mark(0.5, 1.5);
    for (double& g : marks) g = mark(rng);
    const double horizon = times.back() + 1.0, mu = 0.5, alpha = 0.6, beta = 1.5;

    std::vector<double> event_args, comp_args, lams;
    double carried = 0.0, previous = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double arg = (times[i] - previous) * -beta;
        event_args.push_back(arg);
        const double r = carried * std::exp(arg);
        lams.push_back(floored((alpha * beta) * r + mu));
        carried = r + marks[i];
        comp_args.push_back((horizon - times[i]) * -beta);
        previous = times[i];
    }
    event_args = necessary_exp_arguments(event_args);
    comp_args = necessary_exp_arguments(comp_args);
    const Rounds measured = Rounds::measure(
        repeats,
        [&] {
            keep(floor_exp(event_args));
            keep(floor_exp(comp_args));
            keep(floor_log(lams));
        },
        [&] {
            keep(floor_exp_array(event_args));
            keep(floor_exp_array(comp_args));
            keep(floor_log_array(lams));
        },
        [&] {
            keep(likelihood::marked_uni_exp_neg_ll(times, marks, horizon, mu, alpha, beta).value());
        },
        [&] {
            keep(likelihood::marked_uni_exp_neg_ll_with_grad(times, marks, horizon, mu, alpha, beta)
                     .value()
                     .first);
        });
    std::printf("marked exponential: N = %zu (floor: %zu exp + %zu log)\n", n,
                event_args.size() + comp_args.size(), n);
    report("marked_uni_exp_neg_ll", measured, 2, 0, 1, static_cast<double>(n), "event");
    report("marked_uni_exp_neg_ll_with_grad", measured, 3, 0, 1, static_cast<double>(n), "event");
}

void bench_powerlaw(std::size_t n, int repeats) {
    const std::vector<double> times = make_times(n, 1.0, 4);
    const double horizon = times.back() + 1.0, mu = 0.5, alpha = 0.3, beta = 0.8, c = 0.5;
    const double q = -(1.0 + beta);
    // The pair loop's pow arguments, in the routine's order.
    std::vector<double> pair_args;
    pair_args.reserve(n * (n - 1) / 2);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < i; ++j) pair_args.push_back((times[i] - times[j]) + c);
    }
    // The gradient's pair loop also takes one log per pair: its floor is pow and log.
    const Rounds measured = Rounds::measure(
        repeats, [&] { keep(floor_pow(pair_args, q)); },
        [&] {
            keep(floor_pow(pair_args, q));
            keep(floor_log(pair_args));
        },
        [&] { keep(likelihood::uni_powerlaw_neg_ll(times, horizon, mu, alpha, beta, c)); },
        [&] {
            keep(likelihood::uni_powerlaw_neg_ll_with_grad(times, horizon, mu, alpha, beta, c)
                     .first);
        });
    const double pairs = static_cast<double>(pair_args.size());
    std::printf("power law: N = %zu (floor: %zu pow, the pair loop's)\n", n, pair_args.size());
    report("uni_powerlaw_neg_ll", measured, 2, 0, pairs, "pair");
    report("uni_powerlaw_neg_ll_with_grad (pow+log floor)", measured, 3, 1, pairs, "pair");
}

// Two bin layouts: short bins (16 of width 0.5 at event rate 1), where most lags lie past the
// last edge and cost only the range test, and bins spread over the whole window, where every
// pair is located by bisection.
void bench_nonparametric(std::size_t n, int repeats) {
    const std::vector<double> times = make_times(n, 1.0, 5);
    const double horizon = times.back() + 1.0, mu = 0.5;
    const double pairs = static_cast<double>(n) * static_cast<double>(n - 1) / 2.0;
    std::printf("nonparametric: N = %zu, 16 bins (%.0f pairs, no transcendental floor)\n", n,
                pairs);
    for (const bool wide : {false, true}) {
        std::vector<double> edges, values;
        const double width = wide ? horizon / 16.0 : 0.5;
        for (int m = 0; m <= 16; ++m) edges.push_back(width * m);
        for (int m = 0; m < 16; ++m) values.push_back(0.05 / (1.0 + m) / (wide ? n : 1));
        const Rounds measured = Rounds::measure(
            repeats,
            [&] {
                keep(likelihood::uni_nonparametric_neg_ll(times, horizon, mu, edges, values)
                         .value());
            },
            [&] {
                keep(likelihood::uni_nonparametric_neg_ll_with_grad(times, horizon, mu, edges,
                                                                    values)
                         .value()
                         .neg_loglik);
            });
        const double value_s = measured.best(0), grad_s = measured.best(1);
        const char* layout = wide ? "bins over the window" : "bins of width 0.5";
        std::printf("%-28s %-15s %10.3f ms  %7.2f ns/pair\n", "uni_nonparametric_neg_ll", layout,
                    value_s * 1e3, value_s * 1e9 / pairs);
        std::printf("%-28s %-15s %10.3f ms  %7.2f ns/pair\n", "  ..._with_grad", layout,
                    grad_s * 1e3, grad_s * 1e9 / pairs);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 7;
    auto size = [scale](double full) {
        const double n = full * scale;
        return static_cast<std::size_t>(n < 2.0 ? 2.0 : n);
    };
    const char* only = argc > 3 ? argv[3] : "";  // sumexp, marked, powerlaw or nonparametric
    print_path();
    auto wanted = [only](const char* name) {
        return only[0] == '\0' || std::strcmp(only, name) == 0;
    };
    if (wanted("sumexp")) bench_sumexp(size(1e6), repeats);
    if (wanted("marked")) bench_marked(size(1e6), repeats);
    if (wanted("powerlaw")) bench_powerlaw(size(1e4), repeats < 5 ? repeats : 5);
    if (wanted("nonparametric")) bench_nonparametric(size(1e4), repeats < 5 ? repeats : 5);
    return 0;
}
