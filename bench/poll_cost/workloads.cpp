// The routines of the C++ benchmarks (bench/bench_*.cpp) as workloads, compiled once with the
// core's interruption polls (with_polls) and once against the copy of the core without them
// (without_polls), so that main.cpp can time both in one process, in alternation.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "core/interrupt.hpp"
#include "kernels/exponential.hpp"
#include "kernels/nonparametric.hpp"
#include "kernels/power_law.hpp"
#include "likelihood/marked_uni_exp.hpp"
#include "likelihood/mv_exp_dense.hpp"
#include "likelihood/mv_exp_recursive.hpp"
#include "likelihood/nonlinear_uni_exp.hpp"
#include "likelihood/uni_approx_powerlaw.hpp"
#include "likelihood/uni_exp.hpp"
#include "likelihood/uni_nonparametric.hpp"
#include "likelihood/uni_powerlaw.hpp"
#include "likelihood/uni_sumexp.hpp"
#include "poll_cost/workload.hpp"
#include "simulation/cluster.hpp"
#include "simulation/random.hpp"
#include "simulation/thinning.hpp"

namespace {

using namespace vostrel;
using namespace vostrel::likelihood;

std::size_t sized(double n, double scale) {
    return std::max<std::size_t>(16, std::size_t(n * scale));
}

// Ascending times with exponential gaps of mean 1/rate.
std::vector<double> event_times(std::size_t n, double rate, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::exponential_distribution<double> gap(rate);
    std::vector<double> t(n);
    double now = 0.0;
    for (double& x : t) x = now += gap(rng);
    return t;
}

double sum(const std::vector<double>& v) {
    double s = 0.0;
    for (double x : v) s += x;
    return s;
}

std::vector<poll_cost::Workload> all_workloads(double scale) {
    std::vector<poll_cost::Workload> w;
    // Univariate exponential: a long window (events far apart) and a short one.
    for (double window : {1.0, 5e-4}) {
        const std::size_t n = sized(2e5, scale);
        auto t = std::make_shared<std::vector<double>>(event_times(n, 1.0 / window, 1));
        const double T = t->back();
        const char* label = window == 1.0 ? "long window" : "short window";
        w.push_back({std::string("uni_exp_neg_ll, ") + label,
                     [t, T] { return uni_exp_neg_ll(*t, T, 0.5, 0.5, 1.0); }});
        w.push_back({std::string("uni_exp_neg_ll_with_grad, ") + label,
                     [t, T] { return uni_exp_neg_ll_with_grad(*t, T, 0.5, 0.5, 1.0).first; }});
    }
    // Kernels on lags spread over [0, 5).
    {
        auto lags = std::make_shared<std::vector<double>>(sized(1e6, scale));
        std::mt19937_64 rng(12345);
        std::uniform_real_distribution<double> u(0.0, 5.0);
        for (double& x : *lags) x = u(rng);
        auto e =
            std::make_shared<ExponentialKernel>(ExponentialKernel::create(0.7, 1.3, false).value());
        auto p = std::make_shared<PowerLawKernel>(PowerLawKernel::create(0.7, 1.3, 0.5).value());
        w.push_back({"exponential evaluate", [lags, e] { return sum(e->evaluate(*lags)); }});
        w.push_back(
            {"exponential integrate_vec", [lags, e] { return sum(e->integrate_vec(*lags)); }});
        w.push_back({"power-law evaluate", [lags, p] { return sum(p->evaluate(*lags)); }});
        w.push_back(
            {"power-law integrate_vec", [lags, p] { return sum(p->integrate_vec(*lags)); }});
        for (std::size_t k : {std::size_t{10}, std::size_t{10000}}) {
            std::vector<double> edges(k + 1), values(k);
            for (std::size_t i = 0; i <= k; ++i) edges[i] = 5.5 * double(i) / double(k);
            for (std::size_t i = 0; i < k; ++i) values[i] = 1.0 / (1.0 + double(i));
            auto np = std::make_shared<NonparametricKernel>(
                NonparametricKernel::create(edges, values).value());
            w.push_back({"nonparametric evaluate K=" + std::to_string(k),
                         [lags, np] { return sum(np->evaluate(*lags)); }});
        }
    }
    // Sum of exponentials, approximate power law, marked.
    {
        const std::size_t n = sized(2e5, scale);
        auto t = std::make_shared<std::vector<double>>(event_times(n, 1.0, 2));
        const double T = t->back();
        auto alphas =
            std::make_shared<std::vector<double>>(std::vector<double>{0.2, 0.1, 0.05, 0.02});
        auto betas =
            std::make_shared<std::vector<double>>(std::vector<double>{0.5, 2.0, 8.0, 30.0});
        w.push_back({"uni_sumexp_core K=4",
                     [=] { return uni_sumexp_core(*t, T, 0.5, *alphas, *betas).value(); }});
        w.push_back(
            {"uni_sumexp_grad_core K=4",
             [=] { return uni_sumexp_grad_core(*t, T, 0.5, *alphas, *betas).value().neg_loglik; }});
        w.push_back(
            {"uni_approx_powerlaw_neg_ll K=10", [=] {
                 return uni_approx_powerlaw_neg_ll(*t, T, 0.5, 0.5, 1.2, 0.1, 2.0, 10).value();
             }});
        w.push_back({"uni_approx_powerlaw_neg_ll_with_grad K=10", [=] {
                         return uni_approx_powerlaw_neg_ll_with_grad(*t, T, 0.5, 0.5, 1.2, 0.1, 2.0,
                                                                     10)
                             .value()
                             .first;
                     }});
        auto marks = std::make_shared<std::vector<double>>(n, 1.0);
        for (std::size_t i = 0; i < n; ++i) (*marks)[i] = 0.5 + double(i % 7) * 0.1;
        w.push_back({"marked_uni_exp_neg_ll",
                     [=] { return marked_uni_exp_neg_ll(*t, *marks, T, 0.5, 0.5, 1.0).value(); }});
        w.push_back(
            {"marked_uni_exp_neg_ll_with_grad", [=] {
                 return marked_uni_exp_neg_ll_with_grad(*t, *marks, T, 0.5, 0.5, 1.0).value().first;
             }});
    }
    // The pair loops.
    {
        const std::size_t n = sized(3000, std::sqrt(scale));
        auto t = std::make_shared<std::vector<double>>(event_times(n, 1.0, 3));
        const double T = t->back();
        w.push_back({"uni_powerlaw_neg_ll",
                     [=] { return uni_powerlaw_neg_ll(*t, T, 0.5, 0.5, 1.0, 1.0); }});
        w.push_back({"uni_powerlaw_neg_ll_with_grad", [=] {
                         return uni_powerlaw_neg_ll_with_grad(*t, T, 0.5, 0.5, 1.0, 1.0).first;
                     }});
        for (double width : {0.5, T / 16}) {
            auto edges = std::make_shared<std::vector<double>>(17);
            auto values = std::make_shared<std::vector<double>>(16, 0.01);
            for (std::size_t i = 0; i <= 16; ++i) (*edges)[i] = width * double(i);
            const std::string label = width == 0.5 ? " bins of width 0.5" : " bins over the window";
            w.push_back({"uni_nonparametric_neg_ll" + label, [=] {
                             return uni_nonparametric_neg_ll(*t, T, 0.5, *edges, *values).value();
                         }});
            w.push_back({"uni_nonparametric_neg_ll_with_grad" + label, [=] {
                             return uni_nonparametric_neg_ll_with_grad(*t, T, 0.5, *edges, *values)
                                 .value()
                                 .neg_loglik;
                         }});
        }
    }
    // Multivariate: the fixed-decay model (construction and evaluation), the dense likelihood.
    for (std::size_t M : {std::size_t{1}, std::size_t{8}}) {
        const std::size_t n = sized(2e5, scale) / M;
        std::vector<std::vector<double>> events;
        for (std::size_t d = 0; d < M; ++d) events.push_back(event_times(n, 1.0, 10 + d));
        double T = 0.0;
        for (const auto& e : events) T = std::max(T, e.back());
        T += 1.0;
        auto shared_events = std::make_shared<std::vector<std::vector<double>>>(events);
        auto model = std::make_shared<Result<MvExpRecursiveModel>>(
            MvExpRecursiveModel::create(events, T, 1.0));
        auto coeffs = std::make_shared<std::vector<double>>(M * (M + 1), 0.05);
        auto out = std::make_shared<std::vector<double>>(M * (M + 1));
        const std::string label = " M=" + std::to_string(M);
        w.push_back(
            {"MvExpRecursive construct" + label, [=] {
                 return double(
                     MvExpRecursiveModel::create(*shared_events, T, 1.0).value().n_total_jumps());
             }});
        w.push_back(
            {"MvExpRecursive loss" + label, [=] { return model->value().loss(*coeffs).value(); }});
        w.push_back({"MvExpRecursive loss_and_grad" + label,
                     [=] { return model->value().loss_and_grad(*coeffs, *out).value(); }});
    }
    {
        const std::size_t M = 4, n = sized(2e4, scale);
        auto t = std::make_shared<std::vector<double>>(event_times(n, 1.0, 20));
        auto sources = std::make_shared<std::vector<std::int64_t>>(n);
        for (std::size_t h = 0; h < n; ++h) (*sources)[h] = std::int64_t((h * 7) % M);
        auto mu = std::make_shared<std::vector<double>>(M, 0.2);
        auto alpha = std::make_shared<std::vector<double>>(M * M, 0.05);
        auto beta = std::make_shared<std::vector<double>>(M * M, 1.5);
        const double T = t->back();
        w.push_back({"mv_exp_dense_neg_ll M=4", [=] {
                         return mv_exp_dense_neg_ll(*t, *sources, T, M, *mu, *alpha, *beta).value();
                     }});
        w.push_back({"mv_exp_dense_neg_ll_with_grad M=4", [=] {
                         return mv_exp_dense_neg_ll_with_grad(*t, *sources, T, M, *mu, *alpha,
                                                              *beta)
                             .value()
                             .neg_loglik;
                     }});
    }
    {
        const std::size_t n = sized(2e4, scale);
        auto t = std::make_shared<std::vector<double>>(event_times(n, 1.0, 30));
        const double T = t->back() + 1.0;
        for (const char* name : {"softplus", "relu", "sigmoid", "identity"}) {
            const Link link = *Link::from_name(name, 2.0);
            w.push_back(
                {std::string("nonlinear ") + name, [=] {
                     return nonlinear_uni_exp_neg_ll(*t, T, 0.5, 0.5, 1.0, link, n).value() +
                            nonlinear_uni_exp_neg_ll_with_grad(*t, T, 0.5, 0.5, 1.0, link, n)
                                .value()
                                .first;
                 }});
        }
    }
    // Simulation: the stream, thinning and branching.
    {
        const std::uint64_t words = sized(2e6, scale);
        w.push_back({"stream draw_u64", [words] {
                         RandomStream stream = RandomStream::from_seed(42);
                         std::uint64_t x = 0;
                         for (std::uint64_t i = 0; i < words; ++i) x ^= stream.draw_u64();
                         return double(x & 0xFFFF);
                     }});
        const double s = scale;
        w.push_back(
            {"thinning uni alpha=0.6 beta=2", [s] {
                 return double(
                     simulate_uni_exp_hawkes(2e4 * s + 10, 1.0, 0.6, 2.0, 7).value().size());
             }});
        w.push_back(
            {"thinning uni alpha=0.95 beta=1", [s] {
                 return double(
                     simulate_uni_exp_hawkes(5e3 * s + 10, 1.0, 0.95, 1.0, 7).value().size());
             }});
        w.push_back(
            {"thinning mv M=3", [s] {
                 const double mu[] = {0.5, 0.3, 0.2};
                 const double alpha[] = {0.3, 0.1, 0.1, 0.1, 0.3, 0.1, 0.1, 0.1, 0.3};
                 return double(
                     simulate_mv_exp_hawkes(1e4 * s + 10, mu, alpha, 2.0, 7).value()[0].size());
             }});
        for (double alpha : {0.5, 0.95}) {
            w.push_back({"branching uni alpha=" + std::to_string(alpha).substr(0, 4), [s, alpha] {
                             return double(simulate_uni_exp_branching(2e5 * s * (1.0 - alpha) + 10,
                                                                      1.0, alpha, 1.0, 7)
                                               .value()
                                               .size());
                         }});
        }
        for (double cell : {0.25, 0.475}) {
            w.push_back(
                {"branching mv M=2 ratio " + std::to_string(2 * cell).substr(0, 4), [s, cell] {
                     const double mu[] = {0.5, 0.5};
                     const double alpha[] = {cell, cell, cell, cell};
                     return double(simulate_mv_exp_branching(1e5 * s + 10, mu, alpha, 1.0, 7)
                                       .value()[0]
                                       .size());
                 }});
        }
    }
    return w;
}

}  // namespace

#if VOSTREL_INTERRUPT_POLL
std::vector<poll_cost::Workload> poll_cost::with_polls(double scale) {
    return all_workloads(scale);
}
#else
std::vector<poll_cost::Workload> poll_cost::without_polls(double scale) {
    return all_workloads(scale);
}
#endif
