// Nonparametric likelihood: O(N^2) pairs, each lag placed in its bin by bisection over the edges,
// and a compensator that walks each event's bins up to the horizon. The events' log-intensities
// are summed a block at a time (LogSum).
#include "likelihood/uni_nonparametric.hpp"

#include <cmath>
#include <cstddef>

#include "core/format.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "core/vector_math.hpp"

namespace vostrel::likelihood {

namespace {

// Index of the bin holding `lag`, or -1 when it lies in none. A lag is looked up only when
// 0 <= lag < e_M (a NaN lag fails the test); its bin is one less than the number of edges <= lag,
// found by bisection over the whole edges array. The result is in [-1, M - 1] whatever the edges
// hold, so an unsorted edges array cannot send an index out of range.
std::ptrdiff_t bin_of(double lag, const double* edges, std::size_t n_edges) {
    if (!(lag >= 0.0 && lag < edges[n_edges - 1])) return -1;
    std::size_t base = 0;
    std::size_t size = n_edges;
    while (size > 1) {
        const std::size_t half = size / 2;
        // A select rather than a branch: which way a lag goes is data, and unpredictable.
        base = edges[base + half] <= lag ? base + half : base;
        size -= half;
    }
    const std::size_t count = edges[base] <= lag ? base + 1 : base;
    return static_cast<std::ptrdiff_t>(count) - 1;
}

constexpr const char* kBinState = "the per-bin sums of the nonparametric likelihood";

ModelError edges_length_error(std::size_t n_edges, std::size_t n_values) {
    return ModelError::invalid_parameter("edges length (" + format_uint(n_edges) +
                                         ") must be values length (" + format_uint(n_values) +
                                         ") + 1");
}

}  // namespace

Result<double> uni_nonparametric_neg_ll(std::span<const double> times, double t_horizon, double mu,
                                        std::span<const double> edges,
                                        std::span<const double> values) {
    if (edges.size() != values.size() + 1) return edges_length_error(edges.size(), values.size());
    const std::size_t n = times.size();
    if (n == 0) return t_horizon * mu;
    const std::size_t n_bins = values.size();
    const double* t = times.data();
    const double* e = edges.data();
    const double* v = values.data();

    vector_math::LogSum log_sum(0.0);
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        if (poll.stop(i)) break;
        double s = 0.0;  // kernel sum over earlier events
        for (std::size_t j = 0; j < i; ++j) {
            const std::ptrdiff_t m = bin_of(t[i] - t[j], e, n_bins + 1);
            if (m >= 0) s = s + v[m];
        }
        const double lam = s + mu;
        log_sum.add(lam > 1e-30 ? lam : 1e-30);
    }
    poll.throw_if_stopped();

    double compensator = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = t_horizon - t[i];
        if (d <= 0.0) continue;
        if (poll.stop(n_bins)) break;
        for (std::size_t m = 0; m < n_bins && e[m] < d; ++m) {
            const double overlap = (e[m + 1] <= d ? e[m + 1] : d) - e[m];
            compensator = compensator + v[m] * overlap;
        }
    }
    poll.throw_if_stopped();
    return (t_horizon * mu + compensator) - log_sum.sum();
}

Result<NonparametricGradient> uni_nonparametric_neg_ll_with_grad(std::span<const double> times,
                                                                 double t_horizon, double mu,
                                                                 std::span<const double> edges,
                                                                 std::span<const double> values) {
    if (edges.size() != values.size() + 1) return edges_length_error(edges.size(), values.size());
    const std::size_t n = times.size();
    const std::size_t n_bins = values.size();
    NonparametricGradient out;
    if (n == 0) {
        out.neg_loglik = mu * t_horizon;
        out.grad_mu = t_horizon;
        out.grad_values = allocate_vector<double>(n_bins, kBinState);
        return out;
    }
    const double* t = times.data();
    const double* e = edges.data();
    const double* v = values.data();

    // Earlier events per bin, for the current event; sums over events of count / intensity.
    std::vector<std::size_t> counts = allocate_vector<std::size_t>(n_bins, kBinState);
    std::vector<double> g_values = allocate_vector<double>(n_bins, kBinState);
    vector_math::LogSum log_sum(0.0);
    double g_mu = 0.0;
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        if (poll.stop(i + n_bins)) break;
        for (std::size_t& count : counts) count = 0;
        double s = 0.0;
        for (std::size_t j = 0; j < i; ++j) {
            const std::ptrdiff_t m = bin_of(t[i] - t[j], e, n_bins + 1);
            if (m >= 0) {
                s = s + v[m];
                ++counts[static_cast<std::size_t>(m)];
            }
        }
        const double lam = s + mu;
        const double floored = lam > 1e-30 ? lam : 1e-30;
        log_sum.add(floored);
        const double inv = 1.0 / floored;
        g_mu = g_mu + inv;
        for (std::size_t m = 0; m < n_bins; ++m) {
            if (counts[m] != 0) g_values[m] = static_cast<double>(counts[m]) * inv + g_values[m];
        }
    }
    poll.throw_if_stopped();

    // E[m]: time the kernel spends in bin m before the horizon, summed over events; it becomes
    // the gradient in place.
    out.grad_values = allocate_vector<double>(n_bins, kBinState);
    double* exposure = out.grad_values.data();
    double compensator = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = t_horizon - t[i];
        if (d <= 0.0) continue;
        if (poll.stop(n_bins)) break;
        for (std::size_t m = 0; m < n_bins && e[m] < d; ++m) {
            const double overlap = (e[m + 1] <= d ? e[m + 1] : d) - e[m];
            compensator = compensator + v[m] * overlap;
            exposure[m] = exposure[m] + overlap;
        }
    }
    poll.throw_if_stopped();
    out.neg_loglik = (t_horizon * mu + compensator) - log_sum.sum();
    out.grad_mu = t_horizon - g_mu;
    for (std::size_t m = 0; m < n_bins; ++m) exposure[m] = exposure[m] - g_values[m];
    return out;
}

}  // namespace vostrel::likelihood
