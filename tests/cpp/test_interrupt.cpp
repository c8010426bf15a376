// The interruption hook: a poll consults it once per interval of work; every long routine stops
// with Interrupted soon after the hook says so; a hook that never says stop changes no bit.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/interrupt.hpp"
#include "kernels/exponential.hpp"
#include "kernels/nonparametric.hpp"
#include "likelihood/marked_uni_exp.hpp"
#include "likelihood/mv_exp_dense.hpp"
#include "likelihood/mv_exp_recursive.hpp"
#include "likelihood/nonlinear_uni_exp.hpp"
#include "likelihood/uni_approx_powerlaw.hpp"
#include "likelihood/uni_exp.hpp"
#include "likelihood/uni_nonparametric.hpp"
#include "likelihood/uni_powerlaw.hpp"
#include "likelihood/uni_sumexp.hpp"
#include "simulation/cluster.hpp"
#include "simulation/thinning.hpp"

using namespace vostrel;
using namespace vostrel::likelihood;

namespace {

// The hook counts its calls and says stop from call number `stop_at` on (0: never).
int hook_calls = 0;
int stop_at = 0;
bool counting_hook() {
    ++hook_calls;
    return stop_at != 0 && hook_calls >= stop_at;
}

void arm(int stop) {
    hook_calls = 0;
    stop_at = stop;
}

// Whether `run` throws Interrupted, and at the hook call that said stop.
bool interrupted_at_stop(const std::function<void()>& run, int stop) {
    arm(stop);
    try {
        run();
    } catch (const Interrupted&) {
        return hook_calls == stop;
    }
    return false;
}

std::vector<double> sorted_times(std::size_t n, double horizon, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, horizon);
    std::vector<double> t(n);
    for (double& x : t) x = u(rng);
    std::sort(t.begin(), t.end());
    return t;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

}  // namespace

int main() {
    // The countdown: one consultation per interval of work, however the work arrives.
    set_interrupt_hook(&counting_hook);
    {
        arm(0);
        InterruptPoll poll;
        for (std::int64_t k = 0; k < 3 * InterruptPoll::kInterval; ++k) poll();
        CHECK(hook_calls == 3);
        poll(10 * InterruptPoll::kInterval);
        CHECK(hook_calls == 4);
        poll(0);
        CHECK(hook_calls == 4);
    }

    // Every long routine stops at the hook's word (the third call here, so that polls after the
    // first are exercised too).
    // Long enough for a few consultations even where a unit of work is a whole event.
    const std::vector<double> times = sorted_times(4 * InterruptPoll::kInterval, 1000.0, 1);
    const std::vector<double> marks(times.size(), 1.0);
    const std::vector<double> edges = {0.0, 0.5, 1.0, 2.0, 4.0};
    const std::vector<double> values = {0.3, 0.2, 0.1, 0.05};
    const std::vector<double> alphas = {0.2, 0.1, 0.05, 0.02};
    const std::vector<double> betas = {0.5, 2.0, 8.0, 30.0};
    std::vector<std::int64_t> sources(times.size());
    for (std::size_t h = 0; h < sources.size(); ++h) sources[h] = std::int64_t(h % 3);
    const std::vector<double> mu3 = {0.1, 0.2, 0.3};
    const std::vector<double> cells(9, 0.1), decays(9, 1.0);
    const std::vector<std::vector<double>> per_dimension = {sorted_times(30000, 1000.0, 2),
                                                            sorted_times(30000, 1000.0, 3)};
    const Link softplus = *Link::from_name("softplus", 1.0);
    const ExponentialKernel kernel = ExponentialKernel::create(0.5, 1.5, false).value();
    const NonparametricKernel histogram = NonparametricKernel::create(edges, values).value();
    std::vector<double> to_sort = sorted_times(200000, 1.0, 4);
    std::reverse(to_sort.begin(), to_sort.end());
    const double mu1[] = {5.0}, huge_cell[] = {1e6};

    const std::vector<std::pair<const char*, std::function<void()>>> routines = {
        {"uni_exp", [&] { uni_exp_neg_ll(times, 1000.0, 0.5, 0.5, 1.0); }},
        {"uni_exp grad", [&] { uni_exp_neg_ll_with_grad(times, 1000.0, 0.5, 0.5, 1.0); }},
        {"sumexp", [&] { uni_sumexp_core(times, 1000.0, 0.5, alphas, betas); }},
        {"sumexp grad", [&] { uni_sumexp_grad_core(times, 1000.0, 0.5, alphas, betas); }},
        {"approx power law",
         [&] { uni_approx_powerlaw_neg_ll(times, 1000.0, 0.5, 0.5, 1.2, 0.1, 2.0, 10); }},
        {"power law", [&] { uni_powerlaw_neg_ll(times, 1000.0, 0.5, 0.5, 1.0, 1.0); }},
        {"power law grad",
         [&] { uni_powerlaw_neg_ll_with_grad(times, 1000.0, 0.5, 0.5, 1.0, 1.0); }},
        {"nonparametric", [&] { uni_nonparametric_neg_ll(times, 1000.0, 0.5, edges, values); }},
        {"nonparametric grad",
         [&] { uni_nonparametric_neg_ll_with_grad(times, 1000.0, 0.5, edges, values); }},
        {"marked", [&] { marked_uni_exp_neg_ll(times, marks, 1000.0, 0.5, 0.5, 1.0); }},
        {"nonlinear grid",
         [&] { nonlinear_uni_exp_neg_ll(times, 1000.0, 0.5, 0.5, 1.0, softplus, 1u << 20); }},
        {"dense", [&] { mv_exp_dense_neg_ll(times, sources, 1000.0, 3, mu3, cells, decays); }},
        {"dense grad",
         [&] { mv_exp_dense_neg_ll_with_grad(times, sources, 1000.0, 3, mu3, cells, decays); }},
        {"model construction", [&] { MvExpRecursiveModel::create(per_dimension, 1000.0, 1.0); }},
        {"kernel evaluate", [&] { kernel.evaluate(times); }},
        {"kernel integrate_vec, a lag at a time", [&] { histogram.integrate_vec(times); }},
        {"thinning", [&] { simulate_uni_exp_hawkes(1e6, 1.0, 1.5, 1.0, 5); }},
        {"branching with a huge cell",
         [&] { simulate_mv_exp_branching(1.0, mu1, huge_cell, 1e-7, 5); }},
        {"event sort", [&] { sort_event_times(to_sort); }},
        {"event sort in place", [&] { sort_event_times(to_sort, 0); }},
    };
    for (const auto& [name, run] : routines) {
        const bool stopped = interrupted_at_stop(run, 3);
        if (!stopped) std::fprintf(stderr, "not interrupted: %s\n", name);
        CHECK(stopped);
    }

    // The model's evaluation stops too, and a hook that never says stop changes no bit.
    arm(0);
    Result<MvExpRecursiveModel> created = MvExpRecursiveModel::create(per_dimension, 1000.0, 1.0);
    const MvExpRecursiveModel& model = created.value();
    const std::vector<double> coeffs = {0.1, 0.2, 0.3, 0.1, 0.1, 0.3};
    CHECK(interrupted_at_stop([&] { model.loss(coeffs); }, 2));
    std::vector<double> gradient(coeffs.size());
    CHECK(interrupted_at_stop([&] { model.loss_and_grad(coeffs, gradient); }, 2));
    arm(0);
    const double with_hook = model.loss(coeffs).value();
    const std::span<const double> head(times.data(), 3000);
    const double power_law_with_hook = uni_powerlaw_neg_ll(head, 1000.0, 0.5, 0.5, 1.0, 1.0);
    const std::vector<double> events_with_hook =
        simulate_uni_exp_hawkes(500.0, 1.0, 0.8, 1.0, 9).value();
    CHECK(hook_calls > 0);
    set_interrupt_hook(nullptr);
    CHECK(bits(model.loss(coeffs).value()) == bits(with_hook));
    CHECK(bits(uni_powerlaw_neg_ll(head, 1000.0, 0.5, 0.5, 1.0, 1.0)) == bits(power_law_with_hook));
    const std::vector<double> events = simulate_uni_exp_hawkes(500.0, 1.0, 0.8, 1.0, 9).value();
    CHECK_RANGES_EQUAL(events, events_with_hook);
    return vostrel::test::check_summary();
}
