// Marked exponential likelihood: the O(N) exponential recursion with each event's unit jump
// replaced by its mark. Events are processed in blocks: the block's exp calls into a stack
// buffer, the recursion, then the block's logs, accumulated in event order, so that the long
// library calls overlap without changing any sum.
#include "likelihood/marked_uni_exp.hpp"

#include <cmath>
#include <cstddef>

#include "core/format.hpp"

namespace vostrel::likelihood {

namespace {

constexpr std::size_t kBlock = 256;

ModelError length_error(std::size_t n_times, std::size_t n_marks) {
    return ModelError::invalid_parameter("times.len() (" + format_uint(n_times) +
                                         ") != g_values.len() (" + format_uint(n_marks) + ")");
}

}  // namespace

Result<double> marked_uni_exp_neg_ll(std::span<const double> times,
                                     std::span<const double> g_values, double t_horizon,
                                     double mu, double alpha, double beta) {
    if (times.size() != g_values.size()) return length_error(times.size(), g_values.size());
    const std::size_t n = times.size();
    if (n == 0) return t_horizon * mu;
    const double ab = alpha * beta;
    const double neg_beta = -beta;
    const double* t = times.data();
    const double* g = g_values.data();

    double carried = 0.0;  // A: R_i + g_i after event i
    double previous = 0.0;
    double log_sum = 0.0;
    double buffer[kBlock];
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t count = n - start < kBlock ? n - start : kBlock;
        double p = previous;
        for (std::size_t ii = 0; ii < count; ++ii) {
            buffer[ii] = std::exp((t[start + ii] - p) * neg_beta);
            p = t[start + ii];
        }
        previous = p;
        for (std::size_t ii = 0; ii < count; ++ii) {
            const double r = carried * buffer[ii];  // R_i: excitation just before event i
            const double lam = ab * r + mu;
            buffer[ii] = lam > 1e-30 ? lam : 1e-30;  // floored so that log stays finite
            carried = r + g[start + ii];
        }
        for (std::size_t ii = 0; ii < count; ++ii) buffer[ii] = std::log(buffer[ii]);
        for (std::size_t ii = 0; ii < count; ++ii) log_sum = log_sum + buffer[ii];
    }

    double s1 = 0.0;  // sum of g_i (1 - exp(-beta (T - t_i)))
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t count = n - start < kBlock ? n - start : kBlock;
        for (std::size_t ii = 0; ii < count; ++ii) {
            buffer[ii] = std::exp((t_horizon - t[start + ii]) * neg_beta);
        }
        for (std::size_t ii = 0; ii < count; ++ii) s1 = s1 + g[start + ii] * (1.0 - buffer[ii]);
    }
    return (alpha * s1 + mu * t_horizon) - log_sum;
}

Result<std::pair<double, std::vector<double>>> marked_uni_exp_neg_ll_with_grad(
    std::span<const double> times, std::span<const double> g_values, double t_horizon, double mu,
    double alpha, double beta) {
    using Gradient = std::pair<double, std::vector<double>>;
    if (times.size() != g_values.size()) return length_error(times.size(), g_values.size());
    const std::size_t n = times.size();
    if (n == 0) return Gradient{mu * t_horizon, {t_horizon, 0.0, 0.0}};
    const double ab = alpha * beta;
    const double neg_beta = -beta;
    const double* t = times.data();
    const double* g = g_values.data();

    double carried = 0.0;     // A
    double derivative = 0.0;  // D = dR/dbeta
    double previous = 0.0;
    double log_sum = 0.0, g_mu = 0.0, g_alpha = 0.0, g_beta = 0.0;
    double exps[kBlock];
    double gaps[kBlock];
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t count = n - start < kBlock ? n - start : kBlock;
        double p = previous;
        for (std::size_t ii = 0; ii < count; ++ii) {
            const double gap = t[start + ii] - p;
            gaps[ii] = gap;
            exps[ii] = std::exp(gap * neg_beta);
            p = t[start + ii];
        }
        previous = p;
        for (std::size_t ii = 0; ii < count; ++ii) {
            const double e = exps[ii];
            const double r = carried * e;
            const double next_derivative = derivative * e - gaps[ii] * r;
            const double lam = ab * r + mu;
            const double floored = lam > 1e-30 ? lam : 1e-30;
            const double inv = 1.0 / floored;
            g_beta = g_beta + ((beta * next_derivative + r) * alpha) * inv;
            g_alpha = g_alpha + (beta * r) * inv;
            g_mu = g_mu + inv;
            derivative = next_derivative;
            exps[ii] = floored;
            carried = r + g[start + ii];
        }
        for (std::size_t ii = 0; ii < count; ++ii) exps[ii] = std::log(exps[ii]);
        for (std::size_t ii = 0; ii < count; ++ii) log_sum = log_sum + exps[ii];
    }

    double s1 = 0.0, s2 = 0.0;
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t count = n - start < kBlock ? n - start : kBlock;
        for (std::size_t ii = 0; ii < count; ++ii) {
            exps[ii] = std::exp((t_horizon - t[start + ii]) * neg_beta);
        }
        for (std::size_t ii = 0; ii < count; ++ii) {
            const double d = t_horizon - t[start + ii];
            const double f = exps[ii];
            s1 = s1 + g[start + ii] * (1.0 - f);
            s2 = s2 + f * (d * g[start + ii]);
        }
    }
    return Gradient{(alpha * s1 + mu * t_horizon) - log_sum,
                    {t_horizon - g_mu, s1 - g_alpha, alpha * s2 - g_beta}};
}

}  // namespace vostrel::likelihood
