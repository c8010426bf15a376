// Univariate exponential Hawkes likelihood with a time-varying baseline. The loop is
// uni_exp.cpp's (blocks of exp calls, then the recursion, then the log calls); only the baseline
// term of each intensity and the baseline's part of the compensator differ. Sums: every
// accumulator is one double added in event order from 0.0; the per-bin sums of 1/lambda are in
// event order within each bin; the baseline's compensator sum_k mu_k*exposure_k is in bin order.
#include "likelihood/uni_exp_baseline.hpp"

#include <algorithm>
#include <string>

#include "core/format.hpp"
#include "core/interrupt.hpp"
#include "core/vector_math.hpp"

namespace vostrel::likelihood {
namespace {

constexpr std::size_t kBlock = 256;

inline double floored(double lam) { return lam > 1e-30 ? lam : 1e-30; }

inline void block_exps(const double* t, std::size_t m, double previous, double t_horizon,
                       double neg_beta, double* gap, double* decay, double* tail) {
    gap[0] = t[0] - previous;
    for (std::size_t k = 1; k < m; ++k) gap[k] = t[k] - t[k - 1];
    for (std::size_t k = 0; k < m; ++k) decay[k] = gap[k] * neg_beta;
    for (std::size_t k = 0; k < m; ++k) tail[k] = (t_horizon - t[k]) * neg_beta;
    vector_math::exp_array(decay, decay, m);
    vector_math::exp_array(tail, tail, m);
}

// The excitation part shared by both forms: per block, the intensities from the baseline values
// that `base_of(k_global)` gives, the log sum and the alpha/beta gradient sums; `on_inverse` gets
// each event's index and 1/lambda in event order.
struct ExcitationSums {
    double log_sum = 0.0;
    double g_alpha = 0.0, g_beta = 0.0;
    double s1 = 0.0, s2 = 0.0;
};

template <class Base, class OnInverse>
ExcitationSums excitation_sums(std::span<const double> times, double t_horizon, double alpha,
                               double beta, Base base_of, OnInverse on_inverse) {
    const std::size_t n = times.size();
    const double ab = alpha * beta;
    const double neg_beta = -beta;
    ExcitationSums sums;
    double excitation = 0.0;
    double derivative = 0.0;
    double previous = 0.0;
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
            lam_block[k] = floored(ab * r + base_of(start + k));
            excitation = r + 1.0;
        }
        vector_math::log_array(lam_block, log_block, m);
        for (std::size_t k = 0; k < m; ++k) {
            sums.log_sum = sums.log_sum + log_block[k];
            const double inv = 1.0 / lam_block[k];
            on_inverse(start + k, inv);
            sums.g_alpha = sums.g_alpha + (beta * r_block[k]) * inv;
            sums.g_beta = sums.g_beta + ((beta * d_block[k] + r_block[k]) * alpha) * inv;
            const double d = t_horizon - t[k];
            sums.s1 = sums.s1 + (1.0 - tail[k]);
            sums.s2 = sums.s2 + d * tail[k];
        }
        previous = t[m - 1];
        if (poll.stop(m)) break;
    }
    poll.throw_if_stopped();
    return sums;
}

}  // namespace

Result<std::pair<double, std::vector<double>>> uni_exp_binned_neg_ll_with_grad(
    std::span<const double> times, double t_horizon, std::span<const std::int64_t> bins,
    std::span<const double> exposure, std::span<const double> mu, double alpha, double beta) {
    const std::size_t n = times.size();
    const std::size_t n_bins = mu.size();
    if (n_bins == 0) return ModelError::invalid_parameter("mu must have at least one bin");
    if (exposure.size() != n_bins) {
        return ModelError::invalid_parameter("exposure length (" + format_uint(exposure.size()) +
                                             ") must equal mu length (" + format_uint(n_bins) +
                                             ")");
    }
    if (bins.size() != n) {
        return ModelError::invalid_parameter("bins length (" + format_uint(bins.size()) +
                                             ") must equal times length (" + format_uint(n) +
                                             ")");
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (bins[i] < 0 || static_cast<std::uint64_t>(bins[i]) >= n_bins) {
            return ModelError::invalid_parameter("bins[" + format_uint(i) + "] is not in [0, " +
                                                 format_uint(n_bins) + ")");
        }
    }
    double baseline_integral = 0.0;
    for (std::size_t k = 0; k < n_bins; ++k) baseline_integral = baseline_integral + mu[k] * exposure[k];
    std::vector<double> gradient(n_bins + 2, 0.0);
    const std::int64_t* bin = bins.data();
    const double* rate = mu.data();
    double* per_bin = gradient.data();
    ExcitationSums sums = excitation_sums(
        times, t_horizon, alpha, beta, [&](std::size_t i) { return rate[bin[i]]; },
        [&](std::size_t i, double inv) { per_bin[bin[i]] = per_bin[bin[i]] + inv; });
    for (std::size_t k = 0; k < n_bins; ++k) gradient[k] = exposure[k] - gradient[k];
    gradient[n_bins] = sums.s1 - sums.g_alpha;
    gradient[n_bins + 1] = alpha * sums.s2 - sums.g_beta;
    const double value = (alpha * sums.s1 + baseline_integral) - sums.log_sum;
    return std::pair<double, std::vector<double>>{value, std::move(gradient)};
}

Result<std::tuple<double, std::vector<double>, std::vector<double>>>
uni_exp_varying_neg_ll_with_grad(std::span<const double> times, double t_horizon,
                                 std::span<const double> base, double base_integral, double alpha,
                                 double beta) {
    const std::size_t n = times.size();
    if (base.size() != n) {
        return ModelError::invalid_parameter("base length (" + format_uint(base.size()) +
                                             ") must equal times length (" + format_uint(n) +
                                             ")");
    }
    std::vector<double> weights(n, 0.0);
    const double* value_at = base.data();
    double* w = weights.data();
    ExcitationSums sums = excitation_sums(
        times, t_horizon, alpha, beta, [&](std::size_t i) { return value_at[i]; },
        [&](std::size_t i, double inv) { w[i] = inv; });
    const double value = (alpha * sums.s1 + base_integral) - sums.log_sum;
    return std::tuple<double, std::vector<double>, std::vector<double>>{
        value, std::vector<double>{sums.s1 - sums.g_alpha, alpha * sums.s2 - sums.g_beta},
        std::move(weights)};
}

}  // namespace vostrel::likelihood
