// Benchmark of the multivariate and nonlinear likelihoods against the C library floor (the same
// number of exp/log calls, timed in the same run, in thread CPU time). Usage: bench_multivariate [scale], where scale
// (default 1) divides the event counts, for a quick smoke run.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
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

// CPU time of the calling thread: on a shared machine, time spent descheduled is not counted.
double thread_seconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

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

template <class F, class Floor>
std::pair<double, double> paired(int repeats, F&& routine, Floor&& floor) {
    double best = 1e300, best_floor = 1e300;
    for (int r = 0; r < repeats; ++r) {
        best = std::min(best, once(routine));
        best_floor = std::min(best_floor, once(floor));
    }
    return {best, best_floor};
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
    const std::vector<double> exp_inputs = uniform(2 * M * N, -5.0, 0.0);

    // Construction from views of the caller's arrays, as a Python call makes it: the copy of
    // the events is part of the work.
    const std::vector<std::span<const double>> views(ts.begin(), ts.end());
    auto [build, floor_build] = paired(
        repeats,
        [&] {
            auto model = MvExpRecursiveModel::create(views, T, 1.0);
            keep(model.value().end_time());
        },
        [&] { keep(bench::floor_exp(exp_inputs)); });
    char name[96];
    std::snprintf(name, sizeof name, "MvExpRecursive construct M=%zu N=%zu", M, N);
    report(name, build, floor_build, double(N), "event");

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
    auto [loss, floor_log] = paired(repeats, [&] { keep(model.loss(coeffs).value()); }, log_floor);
    std::snprintf(name, sizeof name, "MvExpRecursive loss M=%zu N=%zu", M, N);
    report(name, loss, floor_log, double(N), "event");
    auto [grad, floor_log2] = paired(
        repeats, [&] { keep(model.loss_and_grad(coeffs, out).value()); }, log_floor);
    std::snprintf(name, sizeof name, "MvExpRecursive loss_and_grad M=%zu N=%zu", M, N);
    report(name, grad, floor_log2, double(N), "event");
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
    auto all_calls = [&] {
        keep(bench::floor_exp(all_exp_inputs) + bench::floor_log(log_inputs));
    };
    auto [value, floor_exp] =
        paired(repeats, value_call, [&] { keep(bench::floor_exp(exp_floor_inputs)); });
    auto [value2, floor_all] = paired(repeats, value_call, all_calls);
    auto [grad, floor_all2] = paired(
        repeats,
        [&] {
            keep(mv_exp_dense_neg_ll_with_grad(times, sources, T, M, mu, alpha, beta)
                     .value()
                     .neg_loglik);
        },
        all_calls);
    char name[96];
    std::snprintf(name, sizeof name, "mv_exp_dense value M=%zu N=%zu (N*M^2 exp)", M, N);
    report(name, value, floor_exp, double(N), "event");
    std::snprintf(name, sizeof name, "mv_exp_dense value M=%zu N=%zu (all calls)", M, N);
    report(name, value2, floor_all, double(N), "event");
    std::snprintf(name, sizeof name, "mv_exp_dense with_grad M=%zu N=%zu (all calls)", M, N);
    report(name, grad, floor_all2, double(N), "event");
}

void nonlinear(std::size_t N, std::uint64_t n_quad, int repeats) {
    const double T = double(N);
    auto ts = events(1, N, T)[0];
    for (const char* link_name : {"softplus", "relu", "sigmoid", "identity"}) {
        Link link = *Link::from_name(link_name, 2.0);
        double events_only = best_cpu(repeats, [&] {
            keep(nonlinear_uni_exp_neg_ll(ts, T, 0.5, 0.4, 1.0, link, 8).value());
        });
        double grid_only = best_cpu(repeats, [&] {
            keep(nonlinear_uni_exp_neg_ll(std::span<const double>(), T, 0.5, 0.4, 1.0, link,
                                          n_quad)
                     .value());
        });
        double both = best_cpu(repeats, [&] {
            keep(nonlinear_uni_exp_neg_ll(ts, T, 0.5, 0.4, 1.0, link, n_quad).value());
        });
        double both_grad = best_cpu(repeats, [&] {
            keep(nonlinear_uni_exp_neg_ll_with_grad(ts, T, 0.5, 0.4, 1.0, link, n_quad)
                     .value()
                     .first);
        });
        std::printf("nonlinear %-8s N=%zu G=%llu: %.3f ms (value), %.3f ms (with grad); "
                    "%.2f ns/event, %.2f ns/grid point (value, measured apart)\n",
                    link_name, N, static_cast<unsigned long long>(n_quad), both * 1e3,
                    both_grad * 1e3, events_only * 1e9 / double(N),
                    grid_only * 1e9 / double(n_quad));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t scale = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1;
    const int repeats = scale > 1 ? 1 : 11;
    recursive(1, 1000000 / scale, repeats);
    recursive(8, 1000000 / scale, repeats);
    dense(4, 100000 / scale, repeats);
    nonlinear(100000 / scale, 100000 / scale, repeats);
    return 0;
}
