// Power-law likelihood: the pair loop sums pow((t_i - t_j) + c, -(1 + beta)) over all earlier
// events into one accumulator per event. The pow calls are independent of the accumulator, so
// the out-of-order core overlaps them and the loop runs at the speed of pow itself. The logs,
// independent of each other too (the gradient's log of each pair's lag, every event's
// log-intensity), are taken a block at a time by log_array and add_logs.
#include "likelihood/uni_powerlaw.hpp"

#include <cmath>
#include <cstddef>

#include "core/interrupt.hpp"
#include "core/vector_math.hpp"

namespace vostrel::likelihood {

namespace {

constexpr std::size_t kBlock = 256;  // pair lags whose logs are taken at once

}  // namespace

double uni_powerlaw_neg_ll(std::span<const double> times, double t_horizon, double mu, double alpha,
                           double beta, double c) {
    const std::size_t n = times.size();
    if (n == 0) return t_horizon * mu;
    const double q = -(1.0 + beta);
    const double* t = times.data();
    vector_math::LogSum log_sum(0.0);
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        if (poll.stop(i)) break;
        const double ti = t[i];
        double s = 0.0;  // S_i: kernel sum over earlier events, without alpha
        for (std::size_t j = 0; j < i; ++j) s = s + std::pow((ti - t[j]) + c, q);
        const double lam = s * alpha + mu;
        log_sum.add(lam > 1e-30 ? lam : 1e-30);
    }
    poll.throw_if_stopped();
    // Compensator: the kernel integrated from each event to the horizon, divided by alpha/beta.
    const double c0 = std::pow(c, -beta);
    double p = 0.0;
    for (std::size_t i = 0; i < n; ++i) p = p + (c0 - std::pow((t_horizon - t[i]) + c, -beta));
    return ((alpha / beta) * p + t_horizon * mu) - log_sum.sum();
}

std::pair<double, std::vector<double>> uni_powerlaw_neg_ll_with_grad(std::span<const double> times,
                                                                     double t_horizon, double mu,
                                                                     double alpha, double beta,
                                                                     double c) {
    const std::size_t n = times.size();
    if (n == 0) return {mu * t_horizon, {t_horizon, 0.0, 0.0, 0.0}};
    const double q = -(1.0 + beta);
    const double* t = times.data();
    vector_math::LogSum log_sum(0.0);
    double g_mu = 0.0, g_alpha = 0.0, g_beta = 0.0, g_c = 0.0;
    double lag[kBlock], log_lag[kBlock];
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        if (poll.stop(i)) break;
        const double ti = t[i];
        double s = 0.0;  // S_i = sum of x^q
        double u = 0.0;  // U_i = sum of log(x) x^q, minus dS_i/dbeta
        double v = 0.0;  // V_i = sum of x^q / x, dS_i/dc divided by q
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
        const double lam = s * alpha + mu;
        const double floored = lam > 1e-30 ? lam : 1e-30;
        log_sum.add(floored);
        const double inv = 1.0 / floored;
        g_mu = g_mu + inv;
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
    const double neg_loglik = ((alpha / beta) * p + mu * t_horizon) - log_sum.sum();
    return {neg_loglik,
            {t_horizon - g_mu, (1.0 / beta) * p - g_alpha,
             ((-alpha) / (beta * beta) * p + (alpha / beta) * w_beta) + alpha * g_beta,
             alpha * w_c + ((1.0 + beta) * alpha) * g_c}};
}

}  // namespace vostrel::likelihood
