// Marked exponential likelihood: the O(N) exponential recursion with each event's unit jump
// replaced by its mark. Events are processed in blocks: the block's exp calls (the decay over each
// gap and each event's tail to the horizon, which depend on the times only) are two calls of
// exp_array, then one walk does the recursion and the compensator, then the block's logs are
// taken by add_logs (log_array for the gradient). Each sum keeps its own accumulator and its
// event order, so the arrangement changes the speed and never a bit.
#include "likelihood/marked_uni_exp.hpp"

#include <cstddef>

#include "core/format.hpp"
#include "core/interrupt.hpp"
#include "core/vector_math.hpp"

namespace vostrel::likelihood {

namespace {

constexpr std::size_t kLogBlock = 256;

// exp((t_i - t_{i-1}) (-beta)) and exp((T - t_i) (-beta)) for the `count` events from t, the
// first gap measured from `previous`.
void block_exps(const double* t, std::size_t count, double previous, double t_horizon,
                double neg_beta, double* decay, double* tail) {
    for (std::size_t q = 0; q < count; ++q) {
        decay[q] = (t[q] - previous) * neg_beta;
        tail[q] = (t_horizon - t[q]) * neg_beta;
        previous = t[q];
    }
    vector_math::exp_array(decay, decay, count);
    vector_math::exp_array(tail, tail, count);
}

ModelError length_error(std::size_t n_times, std::size_t n_marks) {
    return ModelError::invalid_parameter("times.len() (" + format_uint(n_times) +
                                         ") != g_values.len() (" + format_uint(n_marks) + ")");
}

}  // namespace

Result<double> marked_uni_exp_neg_ll(std::span<const double> times,
                                     std::span<const double> g_values, double t_horizon, double mu,
                                     double alpha, double beta) {
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
    double s1 = 0.0;  // sum of g_i (1 - exp(-beta (T - t_i)))
    double floored[kLogBlock];
    double decay[kLogBlock];
    double tail[kLogBlock];
    InterruptPoll poll;
    for (std::size_t start = 0; start < n; start += kLogBlock) {
        const std::size_t count = n - start < kLogBlock ? n - start : kLogBlock;
        block_exps(t + start, count, previous, t_horizon, neg_beta, decay, tail);
        for (std::size_t i = start; i < start + count; ++i) {
            const double e = decay[i - start];
            const double f = tail[i - start];
            const double r = carried * e;  // R_i: excitation just before event i
            const double lam = ab * r + mu;
            floored[i - start] = lam > 1e-30 ? lam : 1e-30;  // floored so that log stays finite
            carried = r + g[i];
            s1 = s1 + g[i] * (1.0 - f);
            previous = t[i];
        }
        log_sum = vector_math::add_logs(log_sum, floored, count);
        if (poll.stop(count)) break;
    }
    poll.throw_if_stopped();
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
    double s1 = 0.0, s2 = 0.0;
    double floored[kLogBlock];
    double decay[kLogBlock];
    double tail[kLogBlock];
    InterruptPoll poll;
    for (std::size_t start = 0; start < n; start += kLogBlock) {
        const std::size_t count = n - start < kLogBlock ? n - start : kLogBlock;
        block_exps(t + start, count, previous, t_horizon, neg_beta, decay, tail);
        for (std::size_t i = start; i < start + count; ++i) {
            const double gap = t[i] - previous;
            const double d = t_horizon - t[i];
            const double e = decay[i - start];
            const double f = tail[i - start];
            const double r = carried * e;
            const double next_derivative = derivative * e - gap * r;
            const double lam = ab * r + mu;
            const double lam_floored = lam > 1e-30 ? lam : 1e-30;
            const double inv = 1.0 / lam_floored;
            g_beta = g_beta + ((beta * next_derivative + r) * alpha) * inv;
            g_alpha = g_alpha + (beta * r) * inv;
            g_mu = g_mu + inv;
            derivative = next_derivative;
            floored[i - start] = lam_floored;
            carried = r + g[i];
            s1 = s1 + g[i] * (1.0 - f);
            s2 = s2 + f * (d * g[i]);
            previous = t[i];
        }
        vector_math::log_array(floored, floored, count);
        for (std::size_t ii = 0; ii < count; ++ii) log_sum = log_sum + floored[ii];
        if (poll.stop(count)) break;
    }
    poll.throw_if_stopped();
    return Gradient{(alpha * s1 + mu * t_horizon) - log_sum,
                    {t_horizon - g_mu, s1 - g_alpha, alpha * s2 - g_beta}};
}

}  // namespace vostrel::likelihood
