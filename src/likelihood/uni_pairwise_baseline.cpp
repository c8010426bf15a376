// Pairwise kernels with a time-varying baseline. Sums: one accumulator per quantity, events in
// order (pairs in order of the earlier event within an event), the log-intensities a block at a
// time by LogSum; the compensator after the pair loop, events in order.
#include "likelihood/uni_pairwise_baseline.hpp"

#include <cmath>
#include <cstddef>
#include <string>

#include "core/format.hpp"
#include "core/interrupt.hpp"
#include "core/vector_math.hpp"

namespace vostrel::likelihood {

namespace {

constexpr std::size_t kBlock = 256;  // pair lags whose logs are taken at once

inline double floored(double lam) { return lam > 1e-30 ? lam : 1e-30; }

ModelError base_length_error(std::size_t n_base, std::size_t n) {
    return ModelError::invalid_parameter("base length (" + format_uint(n_base) +
                                         ") must equal times length (" + format_uint(n) + ")");
}

// The bin holding `lag` (0 <= lag < last edge), or -1; bisection over the edges.
std::ptrdiff_t bin_of(double lag, const double* edges, std::size_t n_edges) {
    if (!(lag >= 0.0 && lag < edges[n_edges - 1])) return -1;
    std::size_t base = 0;
    std::size_t size = n_edges;
    while (size > 1) {
        const std::size_t half = size / 2;
        base = edges[base + half] <= lag ? base + half : base;
        size -= half;
    }
    const std::size_t count = edges[base] <= lag ? base + 1 : base;
    return static_cast<std::ptrdiff_t>(count) - 1;
}

}  // namespace

Result<std::tuple<double, std::vector<double>, std::vector<double>>>
uni_powerlaw_varying_neg_ll_with_grad(std::span<const double> times, double t_horizon,
                                      std::span<const double> base, double base_integral,
                                      double alpha, double beta, double c) {
    const std::size_t n = times.size();
    if (base.size() != n) return base_length_error(base.size(), n);
    const double q = -(1.0 + beta);
    const double* t = times.data();
    std::vector<double> weights(n, 0.0);
    vector_math::LogSum log_sum(0.0);
    double g_alpha = 0.0, g_beta = 0.0, g_c = 0.0;
    double lag[kBlock], log_lag[kBlock];
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        if (poll.stop(i)) break;
        const double ti = t[i];
        double s = 0.0;  // sum of x^q
        double u = 0.0;  // sum of log(x) x^q
        double v = 0.0;  // sum of x^q / x
        for (std::size_t j0 = 0; j0 < i; j0 += kBlock) {
            const std::size_t b = i - j0 < kBlock ? i - j0 : kBlock;
            for (std::size_t r = 0; r < b; ++r) lag[r] = (ti - t[j0 + r]) + c;
            vector_math::log_array(lag, log_lag, b);
            for (std::size_t r = 0; r < b; ++r) {
                const double x = lag[r];
                const double px = std::pow(x, q);
                s = s + px;
                u = u + log_lag[r] * px;
                v = v + px / x;
            }
        }
        const double lam = floored(s * alpha + base[i]);
        log_sum.add(lam);
        const double inv = 1.0 / lam;
        weights[i] = inv;
        g_alpha = g_alpha + s * inv;
        g_beta = g_beta + inv * u;
        g_c = g_c + inv * v;
    }
    poll.throw_if_stopped();
    const double c0 = std::pow(c, -beta);
    const double c1 = std::pow(c, -1.0 - beta);
    const double l0 = std::log(c) * c0;
    double p = 0.0, w_beta = 0.0, w_c = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = (t_horizon - t[i]) + c;
        const double a = std::pow(x, -beta);
        const double b = std::pow(x, -1.0 - beta);
        p = p + (c0 - a);
        w_beta = w_beta + (std::log(x) * a - l0);
        w_c = w_c + (b - c1);
    }
    const double value = ((alpha / beta) * p + base_integral) - log_sum.sum();
    std::vector<double> gradient{
        (1.0 / beta) * p - g_alpha,
        ((-alpha) / (beta * beta) * p + (alpha / beta) * w_beta) + alpha * g_beta,
        alpha * w_c + ((1.0 + beta) * alpha) * g_c};
    return std::tuple<double, std::vector<double>, std::vector<double>>{value, std::move(gradient),
                                                                        std::move(weights)};
}

Result<std::tuple<double, std::vector<double>, std::vector<double>>>
uni_nonparametric_varying_neg_ll_with_grad(std::span<const double> times, double t_horizon,
                                           std::span<const double> base, double base_integral,
                                           std::span<const double> edges,
                                           std::span<const double> values) {
    const std::size_t n = times.size();
    const std::size_t n_bins = values.size();
    if (n_bins == 0 || edges.size() != n_bins + 1) {
        return ModelError::invalid_parameter("edges length (" + format_uint(edges.size()) +
                                             ") must be values length (" + format_uint(n_bins) +
                                             ") + 1, values non-empty");
    }
    if (base.size() != n) return base_length_error(base.size(), n);
    const double* t = times.data();
    const double* e = edges.data();
    const double* v = values.data();
    std::vector<double> weights(n, 0.0);
    std::vector<std::size_t> counts(n_bins, 0);
    std::vector<double> g_values(n_bins, 0.0);
    vector_math::LogSum log_sum(0.0);
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
        const double lam = floored(s + base[i]);
        log_sum.add(lam);
        const double inv = 1.0 / lam;
        weights[i] = inv;
        for (std::size_t m = 0; m < n_bins; ++m) {
            if (counts[m] != 0) g_values[m] = static_cast<double>(counts[m]) * inv + g_values[m];
        }
    }
    poll.throw_if_stopped();
    std::vector<double> exposure(n_bins, 0.0);
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
    for (std::size_t m = 0; m < n_bins; ++m) exposure[m] = exposure[m] - g_values[m];
    const double value = (base_integral + compensator) - log_sum.sum();
    return std::tuple<double, std::vector<double>, std::vector<double>>{value, std::move(exposure),
                                                                        std::move(weights)};
}

}  // namespace vostrel::likelihood
