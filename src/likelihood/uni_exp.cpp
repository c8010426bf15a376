// Univariate exponential Hawkes likelihood. Events are processed in blocks: first all of a
// block's exp calls (they depend only on the times: two calls of exp_array), then the cheap
// recursion, then the log calls (add_logs for the value, log_array for the gradient) with the
// sums in event order. Every sum is still one accumulator in event order, so the result is the
// same double as the plain fused loop.
#include "likelihood/uni_exp.hpp"

#include "core/vector_math.hpp"

#include <algorithm>

#include "core/interrupt.hpp"

namespace vostrel::likelihood {
namespace {

constexpr std::size_t kBlock = 256;

// The intensity is floored at 1e-30 so that log stays finite; NaN also becomes 1e-30.
inline double floored(double lam) { return lam > 1e-30 ? lam : 1e-30; }

// A block's exp calls, which depend only on the times: the decay over each gap (the first gap
// measured from `previous`) and each event's tail to the horizon.
inline void block_exps(const double* t, std::size_t m, double previous, double t_horizon,
                       double neg_beta, double* gap, double* decay, double* tail) {
    gap[0] = t[0] - previous;
    for (std::size_t k = 1; k < m; ++k) gap[k] = t[k] - t[k - 1];
    for (std::size_t k = 0; k < m; ++k) decay[k] = gap[k] * neg_beta;
    for (std::size_t k = 0; k < m; ++k) tail[k] = (t_horizon - t[k]) * neg_beta;
    vector_math::exp_array(decay, decay, m);
    vector_math::exp_array(tail, tail, m);
}

}  // namespace

double uni_exp_neg_ll(std::span<const double> times, double t_horizon, double mu, double alpha,
                      double beta) {
    const std::size_t n = times.size();
    if (n == 0) return t_horizon * mu;
    const double ab = alpha * beta;
    const double neg_beta = -beta;

    double excitation = 0.0;   // A: R_i + 1 after event i, 0 before the first
    double previous = 0.0;     // p: the previous event time, 0 before the first
    double log_sum = 0.0;      // L
    double compensator = 0.0;  // S1: sum of 1 - exp(-beta (T - t_i))

    double gap[kBlock];
    double decay[kBlock];
    double tail[kBlock];
    double lam[kBlock];
    InterruptPoll poll;
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t m = std::min(kBlock, n - start);
        const double* t = times.data() + start;
        block_exps(t, m, previous, t_horizon, neg_beta, gap, decay, tail);
        for (std::size_t k = 0; k < m; ++k) {
            const double r = decay[k] * excitation;  // R_i: excitation just before event i
            lam[k] = floored(ab * r + mu);
            excitation = r + 1.0;
            compensator = compensator + (1.0 - tail[k]);
        }
        log_sum = vector_math::add_logs(log_sum, lam, m);
        previous = t[m - 1];
        if (poll.stop(m)) break;
    }
    poll.throw_if_stopped();
    return (alpha * compensator + mu * t_horizon) - log_sum;
}

std::pair<double, std::vector<double>> uni_exp_neg_ll_with_grad(std::span<const double> times,
                                                                double t_horizon, double mu,
                                                                double alpha, double beta) {
    const std::size_t n = times.size();
    if (n == 0) return {t_horizon * mu, std::vector<double>{t_horizon, 0.0, 0.0}};
    const double ab = alpha * beta;
    const double neg_beta = -beta;

    double excitation = 0.0;  // A
    double derivative = 0.0;  // D: dR/dbeta carried from the previous event
    double previous = 0.0;
    double log_sum = 0.0;  // L
    double g_mu = 0.0, g_alpha = 0.0, g_beta = 0.0;
    double s1 = 0.0, s2 = 0.0;  // sum of (1 - f_i) and of d_i f_i, f_i = exp(-beta d_i)

    double gap[kBlock];
    double decay[kBlock];
    double tail[kBlock];
    double r_block[kBlock];
    double d_block[kBlock];
    double lam_block[kBlock];
    double log_block[kBlock];
    InterruptPoll poll;
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t m = std::min(kBlock, n - start);
        const double* t = times.data() + start;
        block_exps(t, m, previous, t_horizon, neg_beta, gap, decay, tail);
        for (std::size_t k = 0; k < m; ++k) {
            const double r = decay[k] * excitation;
            derivative = derivative * decay[k] - gap[k] * r;
            r_block[k] = r;
            d_block[k] = derivative;
            lam_block[k] = floored(ab * r + mu);
            excitation = r + 1.0;
        }
        vector_math::log_array(lam_block, log_block, m);
        for (std::size_t k = 0; k < m; ++k) {
            log_sum = log_sum + log_block[k];
            const double inv = 1.0 / lam_block[k];
            g_mu = g_mu + inv;
            g_alpha = g_alpha + (beta * r_block[k]) * inv;
            g_beta = g_beta + ((beta * d_block[k] + r_block[k]) * alpha) * inv;
            const double d = t_horizon - t[k];
            s1 = s1 + (1.0 - tail[k]);
            s2 = s2 + d * tail[k];
        }
        previous = t[m - 1];
        if (poll.stop(m)) break;
    }
    poll.throw_if_stopped();
    const double value = (alpha * s1 + mu * t_horizon) - log_sum;
    return {value, std::vector<double>{t_horizon - g_mu, s1 - g_alpha, alpha * s2 - g_beta}};
}

}  // namespace vostrel::likelihood
