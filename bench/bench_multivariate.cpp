// Benchmark of the multivariate and nonlinear likelihoods against their floors: the exp/log calls
// whose results are not known in advance, on ordinary arguments, timed in the same run (thread
// CPU time), as the library's scalar calls and through exp_array/log_array on the active path.
// Each ratio is the median over rounds of the routine's time over its floor's in the same round.
// Usage: bench_multivariate [scale] [model], where scale (default 1) divides the event counts, for
// a quick smoke run, and model (recursive, dense or nonlinear) runs that one alone.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "bench_util.hpp"
#include "likelihood/mv_exp_dense.hpp"
#include "likelihood/mv_exp_recursive.hpp"
#include "likelihood/nonlinear_uni_exp.hpp"

using namespace vostrel;
using namespace vostrel::likelihood;
using vostrel::bench::keep;
using vostrel::bench::report;

namespace {

using vostrel::bench::thread_seconds;

template <class F>
double once(F&& f) {
    const double start = thread_seconds();
    f();
    return thread_seconds() - start;
}

// Best thread CPU times of a routine and of its floor, measured alternately so that both see the
// same state of a busy machine.
template <class F>
double best_cpu(int repeats, F&& f) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) best = std::min(best, once(f));
    return best;
}

// Thread CPU times of a routine, of its floor as library calls and of its floor through
// exp_array/log_array, measured in turn so that all three see the same state of a busy machine.
template <class F, class Floor, class ArrayFloor>
bench::Rounds paired(int repeats, F&& routine, Floor&& floor, ArrayFloor&& array_floor) {
    return bench::Rounds::measure(repeats, routine, floor, array_floor);
}

// n events in total, spread evenly over M dimensions, uniform on [0, T].
std::vector<std::vector<double>> events(std::size_t M, std::size_t n, double T) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> u(0.0, T);
    std::vector<std::vector<double>> ts(M);
    for (std::size_t k = 0; k < n; ++k) ts[k % M].push_back(u(rng));
    for (auto& t : ts) std::sort(t.begin(), t.end());
    return ts;
}

std::vector<double> uniform(std::size_t n, double lo, double hi) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(lo, hi);
    std::vector<double> x(n);
    for (double& v : x) v = u(rng);
    return x;
}

void recursive(std::size_t M, std::size_t N, int repeats) {
    const double T = double(N) / double(M);
    auto ts = events(M, N, T);
    // The weights' walk takes M exps per event.
    const std::vector<double> exp_inputs = uniform(M * N, -5.0, 0.0);

    // Construction from views of the caller's arrays, as a Python call makes it: the copy of
    // the events is part of the work. Besides its exps, a construction must fill fresh memory
    // with N(M+1) + M^2 doubles (the events and the weights), whose page faults and zeroing by
    // the kernel cost as much as the exps or more once the allocation is too large for the
    // allocator to reuse freed memory (tens of megabytes): that is timed as well, in the same
    // rounds, as the allocation, one write of every double and the release.
    const std::vector<std::span<const double>> views(ts.begin(), ts.end());
    const std::size_t stored = N * (M + 1) + M * M;
    const bench::Rounds build = bench::Rounds::measure(
        repeats,
        [&] {
            auto model = MvExpRecursiveModel::create(views, T, 1.0);
            keep(model.value().end_time());
        },
        [&] { keep(bench::floor_exp(exp_inputs)); },
        [&] { keep(bench::floor_exp_array(exp_inputs)); },
        [&] {
            std::unique_ptr<double[]> storage(new double[stored]);
            for (std::size_t k = 0; k < stored; ++k) storage[k] = static_cast<double>(k);
            keep(storage[stored / 2]);
        });
    char name[96];
    std::snprintf(name, sizeof name, "MvExpRecursive construct M=%zu N=%zu", M, N);
    report(name, build, double(N), "event");
    std::printf(
        "  fresh storage of %zu doubles %.3f ms; construct over library floor + storage: "
        "ratio %.3f\n",
        stored, build.best(3) * 1e3, build.median_ratio(0, {1, 3}));

    auto created = MvExpRecursiveModel::create(ts, T, 1.0);
    const MvExpRecursiveModel& model = created.value();
    std::vector<double> coeffs(M + M * M, 0.3 / double(M));
    for (std::size_t i = 0; i < M; ++i) coeffs[i] = 0.7;
    // The floor takes the logs of the very intensities the model takes them of: glibc's log
    // costs more near 1, where these intensities are.
    std::vector<double> log_inputs;
    for (std::size_t i = 0; i < M; ++i) {
        auto g = model.excitation_weights(i);
        for (std::size_t k = 0; k < ts[i].size(); ++k) {
            double lam = coeffs[i];
            for (std::size_t j = 0; j < M; ++j) lam = lam + coeffs[M + i * M + j] * g[k * M + j];
            log_inputs.push_back(lam > 1e-30 ? lam : 1e-30);
        }
    }
    std::vector<double> out(coeffs.size());
    auto log_floor = [&] { keep(bench::floor_log(log_inputs)); };
    auto log_array_floor = [&] { keep(bench::floor_log_array(log_inputs)); };
    const bench::Rounds loss =
        paired(repeats, [&] { keep(model.loss(coeffs).value()); }, log_floor, log_array_floor);
    std::snprintf(name, sizeof name, "MvExpRecursive loss M=%zu N=%zu", M, N);
    report(name, loss, double(N), "event");
    const bench::Rounds grad = paired(
        repeats, [&] { keep(model.loss_and_grad(coeffs, out).value()); }, log_floor,
        log_array_floor);
    std::snprintf(name, sizeof name, "MvExpRecursive loss_and_grad M=%zu N=%zu", M, N);
    report(name, grad, double(N), "event");
}

void dense(std::size_t M, std::size_t N, int repeats) {
    const double T = double(N) / double(M);
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(0.0, T);
    std::vector<double> times(N);
    for (double& t : times) t = u(rng);
    std::sort(times.begin(), times.end());
    std::vector<std::int64_t> sources(N);
    for (std::size_t h = 0; h < N; ++h) sources[h] = std::int64_t(rng() % M);
    std::vector<double> mu(M, 0.5), alpha(M * M, 0.1), beta(M * M, 1.2);

    const std::vector<double> exp_floor_inputs = uniform(N * M * M, -5.0, 0.0);
    const std::vector<double> all_exp_inputs = uniform(N * M * M + N * M, -5.0, 0.0);
    const std::vector<double> log_inputs = uniform(N, 0.5, 3.0);
    auto value_call = [&] {
        keep(mv_exp_dense_neg_ll(times, sources, T, M, mu, alpha, beta).value());
    };
    auto all_calls = [&] { keep(bench::floor_exp(all_exp_inputs) + bench::floor_log(log_inputs)); };
    auto all_array_calls = [&] {
        keep(bench::floor_exp_array(all_exp_inputs) + bench::floor_log_array(log_inputs));
    };
    const bench::Rounds value = paired(
        repeats, value_call, [&] { keep(bench::floor_exp(exp_floor_inputs)); },
        [&] { keep(bench::floor_exp_array(exp_floor_inputs)); });
    const bench::Rounds value2 = paired(repeats, value_call, all_calls, all_array_calls);
    const bench::Rounds grad = paired(
        repeats,
        [&] {
            keep(mv_exp_dense_neg_ll_with_grad(times, sources, T, M, mu, alpha, beta)
                     .value()
                     .neg_loglik);
        },
        all_calls, all_array_calls);
    char name[96];
    std::snprintf(name, sizeof name, "mv_exp_dense value M=%zu N=%zu (N*M^2 exp)", M, N);
    report(name, value, double(N), "event");
    std::snprintf(name, sizeof name, "mv_exp_dense value M=%zu N=%zu (all calls)", M, N);
    report(name, value2, double(N), "event");
    std::snprintf(name, sizeof name, "mv_exp_dense with_grad M=%zu N=%zu (all calls)", M, N);
    report(name, grad, double(N), "event");
}

// The nonlinear model's calls: per event, the gap decay (taken by both passes) and the log of the
// intensity; per grid point, the decay from the last event; and per link value at each event and
// grid point, the link's own calls (softplus: an exp and a log, plus an exp for its derivative;
// sigmoid: an exp).
struct LinkCalls {
    std::size_t exps, logs, derivative_exps;
};

LinkCalls link_calls(const char* link_name) {
    if (std::strcmp(link_name, "softplus") == 0) return {1, 1, 1};
    if (std::strcmp(link_name, "sigmoid") == 0) return {1, 0, 0};
    return {0, 0, 0};
}

void nonlinear(std::size_t N, std::uint64_t n_quad, int repeats) {
    const double T = double(N);
    auto ts = events(1, N, T)[0];
    const std::size_t G = static_cast<std::size_t>(n_quad);
    for (const char* link_name : {"softplus", "relu", "sigmoid", "identity"}) {
        Link link = *Link::from_name(link_name, 2.0);
        const LinkCalls per_value = link_calls(link_name);
        const std::size_t values = N + G;
        const std::vector<double> value_exps =
            uniform(2 * N + G + per_value.exps * values, -5.0, 0.0);
        const std::vector<double> grad_exps =
            uniform(2 * N + G + (per_value.exps + per_value.derivative_exps) * values, -5.0, 0.0);
        const std::vector<double> logs = uniform(N + per_value.logs * values, 0.5, 3.0);
        double events_only = best_cpu(repeats, [&] {
            keep(nonlinear_uni_exp_neg_ll(ts, T, 0.5, 0.4, 1.0, link, 8).value());
        });
        double grid_only = best_cpu(repeats, [&] {
            keep(nonlinear_uni_exp_neg_ll(std::span<const double>(), T, 0.5, 0.4, 1.0, link, n_quad)
                     .value());
        });
        const bench::Rounds both = paired(
            repeats,
            [&] { keep(nonlinear_uni_exp_neg_ll(ts, T, 0.5, 0.4, 1.0, link, n_quad).value()); },
            [&] { keep(bench::floor_exp(value_exps) + bench::floor_log(logs)); },
            [&] { keep(bench::floor_exp_array(value_exps) + bench::floor_log_array(logs)); });
        const bench::Rounds both_grad = paired(
            repeats,
            [&] {
                keep(nonlinear_uni_exp_neg_ll_with_grad(ts, T, 0.5, 0.4, 1.0, link, n_quad)
                         .value()
                         .first);
            },
            [&] { keep(bench::floor_exp(grad_exps) + bench::floor_log(logs)); },
            [&] { keep(bench::floor_exp_array(grad_exps) + bench::floor_log_array(logs)); });
        char name[96];
        std::snprintf(name, sizeof name, "nonlinear %s N=%zu G=%zu", link_name, N, G);
        report(name, both, double(N), "event");
        std::snprintf(name, sizeof name, "nonlinear %s with_grad N=%zu G=%zu", link_name, N, G);
        report(name, both_grad, double(N), "event");
        std::printf("  measured apart: %.2f ns/event, %.2f ns/grid point (value)\n",
                    events_only * 1e9 / double(N), grid_only * 1e9 / double(n_quad));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t scale = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
    const char* model = argc > 2 ? argv[2] : "all";
    const int repeats = scale > 1 ? 1 : 11;
    auto chosen = [model](const char* name) {
        return std::strcmp(model, "all") == 0 || std::strcmp(model, name) == 0;
    };
    bench::print_path();
    if (chosen("recursive")) {
        recursive(1, 1000000 / scale, repeats);
        recursive(8, 1000000 / scale, repeats);
    }
    if (chosen("dense")) dense(4, 100000 / scale, repeats);
    if (chosen("nonlinear")) nonlinear(100000 / scale, 100000 / scale, repeats);
    return 0;
}
