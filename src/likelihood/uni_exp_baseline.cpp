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
    // The accumulators are locals, copied out at the end: as members of the returned struct
    // they could alias the caller's per-event stores and would go through memory every event.
    double log_sum = 0.0, g_alpha = 0.0, g_beta = 0.0, s1 = 0.0, s2 = 0.0;
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
            log_sum = log_sum + log_block[k];
            const double inv = 1.0 / lam_block[k];
            on_inverse(start + k, inv);
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
    ExcitationSums sums;
    sums.log_sum = log_sum;
    sums.g_alpha = g_alpha;
    sums.g_beta = g_beta;
    sums.s1 = s1;
    sums.s2 = s2;
    return sums;
}

// excitation_sums for the binned form, written out: the baseline of event i is rate[bin[i]], and
// per_bin[k] gets the sum of 1/lambda over the events of bin k (in event order).
// The same bits as excitation_sums with a callback that adds into per_bin, a good deal faster
// (the callback's stores kept the compiler from holding the loop's state in registers).
ExcitationSums binned_sums(std::span<const double> times, double t_horizon, double alpha,
                           double beta, const std::int64_t* bin, const double* rate,
                           double* per_bin) {
    const std::size_t n = times.size();
    const double ab = alpha * beta;
    const double neg_beta = -beta;
    double log_sum = 0.0, g_alpha = 0.0, g_beta = 0.0, s1 = 0.0, s2 = 0.0;
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
        const std::int64_t* b = bin + start;
        block_exps(t, m, previous, t_horizon, neg_beta, gap, decay, tail);
        for (std::size_t k = 0; k < m; ++k) {
            const double r = decay[k] * excitation;
            derivative = derivative * decay[k] - gap[k] * r;
            r_block[k] = r;
            d_block[k] = derivative;
            lam_block[k] = floored(ab * r + rate[b[k]]);
            excitation = r + 1.0;
        }
        vector_math::log_array(lam_block, log_block, m);
        std::size_t changes = 0;
        for (std::size_t k = 1; k < m; ++k) changes += b[k] != b[k - 1] ? 1 : 0;
        if (8 * changes > m) {
            // The bin changes often: each 1/lambda is added in memory (a branch on the bin
            // would be mispredicted).
            for (std::size_t k = 0; k < m; ++k) {
                log_sum = log_sum + log_block[k];
                const double inv = 1.0 / lam_block[k];
                per_bin[b[k]] = per_bin[b[k]] + inv;
                g_alpha = g_alpha + (beta * r_block[k]) * inv;
                g_beta = g_beta + ((beta * d_block[k] + r_block[k]) * alpha) * inv;
                s1 = s1 + (1.0 - tail[k]);
                s2 = s2 + (t_horizon - t[k]) * tail[k];
            }
        } else {
            // Runs of events in one bin: its running sum is carried in a register and stored
            // when the bin changes (no store-to-load wait per event). The same additions in the
            // same order as above.
            std::int64_t open = b[0];
            double running = per_bin[open];
            for (std::size_t k = 0; k < m; ++k) {
                log_sum = log_sum + log_block[k];
                const double inv = 1.0 / lam_block[k];
                if (b[k] != open) {
                    per_bin[open] = running;
                    open = b[k];
                    running = per_bin[open];
                }
                running = running + inv;
                g_alpha = g_alpha + (beta * r_block[k]) * inv;
                g_beta = g_beta + ((beta * d_block[k] + r_block[k]) * alpha) * inv;
                s1 = s1 + (1.0 - tail[k]);
                s2 = s2 + (t_horizon - t[k]) * tail[k];
            }
            per_bin[open] = running;
        }
        previous = t[m - 1];
        if (poll.stop(m)) break;
    }
    poll.throw_if_stopped();
    ExcitationSums sums;
    sums.log_sum = log_sum;
    sums.g_alpha = g_alpha;
    sums.g_beta = g_beta;
    sums.s1 = s1;
    sums.s2 = s2;
    return sums;
}

// The bins of the binned form: one per event, each in [0, n_bins).
Result<bool> check_bins(std::size_t n, std::span<const std::int64_t> bins, std::size_t n_bins) {
    if (n_bins == 0) return ModelError::invalid_parameter("mu must have at least one bin");
    if (bins.size() != n) {
        return ModelError::invalid_parameter("bins length (" + format_uint(bins.size()) +
                                             ") must equal times length (" + format_uint(n) + ")");
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (bins[i] < 0 || static_cast<std::uint64_t>(bins[i]) >= n_bins) {
            return ModelError::invalid_parameter("bins[" + format_uint(i) + "] is not in [0, " +
                                                 format_uint(n_bins) + ")");
        }
    }
    return true;
}

}  // namespace

Result<std::pair<double, std::vector<double>>> uni_exp_binned_neg_ll_with_grad(
    std::span<const double> times, double t_horizon, std::span<const std::int64_t> bins,
    std::span<const double> exposure, std::span<const double> mu, double alpha, double beta) {
    const std::size_t n_bins = mu.size();
    if (n_bins == 0) return ModelError::invalid_parameter("mu must have at least one bin");
    if (exposure.size() != n_bins) {
        return ModelError::invalid_parameter("exposure length (" + format_uint(exposure.size()) +
                                             ") must equal mu length (" + format_uint(n_bins) +
                                             ")");
    }
    if (Result<bool> checked = check_bins(times.size(), bins, n_bins); !checked.ok()) {
        return checked.error();
    }
    double baseline_integral = 0.0;
    for (std::size_t k = 0; k < n_bins; ++k)
        baseline_integral = baseline_integral + mu[k] * exposure[k];
    std::vector<double> gradient(n_bins + 2, 0.0);
    ExcitationSums sums =
        binned_sums(times, t_horizon, alpha, beta, bins.data(), mu.data(), gradient.data());
    for (std::size_t k = 0; k < n_bins; ++k) gradient[k] = exposure[k] - gradient[k];
    gradient[n_bins] = sums.s1 - sums.g_alpha;
    gradient[n_bins + 1] = alpha * sums.s2 - sums.g_beta;
    const double value = (alpha * sums.s1 + baseline_integral) - sums.log_sum;
    return std::pair<double, std::vector<double>>{value, std::move(gradient)};
}

Result<std::vector<double>> uni_exp_binned_neg_ll_hessian(std::span<const double> times,
                                                          double t_horizon,
                                                          std::span<const std::int64_t> bins,
                                                          std::span<const double> mu, double alpha,
                                                          double beta) {
    const std::size_t n = times.size();
    const std::size_t n_bins = mu.size();
    if (Result<bool> checked = check_bins(n, bins, n_bins); !checked.ok()) return checked.error();
    // lambda_i = mu[bin i] + alpha*beta*R_i with R_i = sum_{j<i} exp(-beta*(t_i - t_j)), its
    // beta derivatives D_i and E_i by the recursions R_i = e*(R_{i-1} + 1), D_i = e*D_{i-1} -
    // g*R_i, E_i = e*E_{i-1} - g*e*D_{i-1} - g*D_i (g the gap, e = exp(-beta*g)). With
    // a_i = dlambda/dalpha = beta*R_i and b_i = dlambda/dbeta = alpha*(R_i + beta*D_i), the
    // log terms contribute sum_i (d lambda d lambda / lambda^2 - d2 lambda / lambda), and the
    // compensator alpha*sum_i (1 - exp(-beta*(T - t_i))) its own second derivatives in beta.
    std::vector<double> per_bin(3 * n_bins, 0.0);  // sums of 1/lambda^2, a/lambda^2, b/lambda^2
    double h_aa = 0.0, h_ab = 0.0, h_bb = 0.0, s2 = 0.0, s3 = 0.0;
    const double ab = alpha * beta;
    const double neg_beta = -beta;
    double excitation = 0.0, derivative = 0.0, second = 0.0, previous = 0.0;
    double gap[kBlock];
    double decay[kBlock];
    double tail[kBlock];
    InterruptPoll poll;
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t m = std::min(kBlock, n - start);
        const double* t = times.data() + start;
        block_exps(t, m, previous, t_horizon, neg_beta, gap, decay, tail);
        for (std::size_t k = 0; k < m; ++k) {
            const double r = decay[k] * excitation;
            const double d = derivative * decay[k] - gap[k] * r;
            second = (second * decay[k] - gap[k] * (decay[k] * derivative)) - gap[k] * d;
            derivative = d;
            excitation = r + 1.0;
            const std::size_t j = static_cast<std::size_t>(bins[start + k]);
            const double inv = 1.0 / floored(ab * r + mu[j]);
            const double inv2 = inv * inv;
            const double da = beta * r;
            const double db = alpha * (r + beta * d);
            per_bin[j] = per_bin[j] + inv2;
            per_bin[n_bins + j] = per_bin[n_bins + j] + da * inv2;
            per_bin[2 * n_bins + j] = per_bin[2 * n_bins + j] + db * inv2;
            h_aa = h_aa + (da * da) * inv2;
            h_ab = h_ab + ((da * db) * inv2 - (r + beta * d) * inv);
            h_bb = h_bb + ((db * db) * inv2 - (alpha * (2.0 * d + beta * second)) * inv);
            const double left = t_horizon - t[k];
            s2 = s2 + left * tail[k];
            s3 = s3 + (left * left) * tail[k];
        }
        previous = t[m - 1];
        if (poll.stop(m)) break;
    }
    poll.throw_if_stopped();
    const std::size_t p = n_bins + 2;
    std::vector<double> hessian(p * p, 0.0);
    for (std::size_t j = 0; j < n_bins; ++j) {
        hessian[j * p + j] = per_bin[j];
        hessian[j * p + n_bins] = hessian[n_bins * p + j] = per_bin[n_bins + j];
        hessian[j * p + n_bins + 1] = hessian[(n_bins + 1) * p + j] = per_bin[2 * n_bins + j];
    }
    hessian[n_bins * p + n_bins] = h_aa;
    hessian[n_bins * p + n_bins + 1] = hessian[(n_bins + 1) * p + n_bins] = s2 + h_ab;
    hessian[(n_bins + 1) * p + n_bins + 1] = h_bb - alpha * s3;
    return hessian;
}

Result<std::tuple<double, std::vector<double>, std::vector<double>>>
uni_exp_varying_neg_ll_with_grad(std::span<const double> times, double t_horizon,
                                 std::span<const double> base, double base_integral, double alpha,
                                 double beta) {
    const std::size_t n = times.size();
    if (base.size() != n) {
        return ModelError::invalid_parameter("base length (" + format_uint(base.size()) +
                                             ") must equal times length (" + format_uint(n) + ")");
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

Result<std::tuple<double, std::vector<double>, std::vector<double>, std::vector<double>>>
uni_sumexp_varying_neg_ll_with_grad(std::span<const double> times, double t_horizon,
                                    std::span<const double> base, double base_integral,
                                    std::span<const double> alphas, std::span<const double> betas) {
    const std::size_t n = times.size();
    const std::size_t n_components = alphas.size();
    if (n_components == 0 || betas.size() != n_components) {
        return ModelError::invalid_parameter("alphas length (" + format_uint(n_components) +
                                             ") and betas length (" + format_uint(betas.size()) +
                                             ") must be equal and non-zero");
    }
    if (base.size() != n) {
        return ModelError::invalid_parameter("base length (" + format_uint(base.size()) +
                                             ") must equal times length (" + format_uint(n) + ")");
    }
    // Per component: A (carried), D (d/dbeta of R), R and D' at the current event, the
    // compensator integral C and moment S2, and the gradient sums; one event at a time with
    // its exps taken per event (K calls), sums in event order then component order.
    std::vector<double> carried(n_components, 0.0), derivative(n_components, 0.0);
    std::vector<double> excitation(n_components, 0.0), next_derivative(n_components, 0.0);
    std::vector<double> integral(n_components, 0.0), moment(n_components, 0.0);
    std::vector<double> g_alpha(n_components, 0.0), g_beta(n_components, 0.0);
    std::vector<double> decay(n_components), tail(n_components);
    std::vector<double> weights(n, 0.0);
    const double* alpha = alphas.data();
    const double* beta = betas.data();
    double previous = 0.0;
    double log_sum = 0.0;
    double lam_block[kBlock];
    double log_block[kBlock];
    InterruptPoll poll;
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t m = std::min(kBlock, n - start);
        for (std::size_t q = 0; q < m; ++q) {
            const std::size_t i = start + q;
            const double gap = times[i] - previous;
            const double d = t_horizon - times[i];
            for (std::size_t k = 0; k < n_components; ++k) {
                decay[k] = (-beta[k]) * gap;
                tail[k] = (-beta[k]) * d;
            }
            vector_math::exp_array(decay.data(), decay.data(), n_components);
            vector_math::exp_array(tail.data(), tail.data(), n_components);
            double lam = base[i];
            for (std::size_t k = 0; k < n_components; ++k) {
                const double r = carried[k] * decay[k];
                excitation[k] = r;
                next_derivative[k] = decay[k] * derivative[k] - gap * r;
                lam = lam + (beta[k] * alpha[k]) * r;
                integral[k] = (1.0 - tail[k]) + integral[k];
                moment[k] = tail[k] * d + moment[k];
            }
            const double lam_floored = floored(lam);
            const double inv = 1.0 / lam_floored;
            for (std::size_t k = 0; k < n_components; ++k) {
                g_alpha[k] = (beta[k] * excitation[k]) * inv + g_alpha[k];
                g_beta[k] =
                    ((beta[k] * next_derivative[k] + excitation[k]) * alpha[k]) * inv + g_beta[k];
                carried[k] = excitation[k] + 1.0;
                derivative[k] = next_derivative[k];
            }
            weights[i] = inv;
            lam_block[q] = lam_floored;
            previous = times[i];
        }
        vector_math::log_array(lam_block, log_block, m);
        for (std::size_t q = 0; q < m; ++q) log_sum = log_sum + log_block[q];
        if (poll.stop(m * n_components)) break;
    }
    poll.throw_if_stopped();
    double compensator = 0.0;
    for (std::size_t k = 0; k < n_components; ++k) {
        compensator = compensator + alphas[k] * integral[k];
    }
    const double value = (base_integral + compensator) - log_sum;
    for (std::size_t k = 0; k < n_components; ++k) {
        g_alpha[k] = integral[k] - g_alpha[k];
        g_beta[k] = alphas[k] * moment[k] - g_beta[k];
    }
    return std::tuple<double, std::vector<double>, std::vector<double>, std::vector<double>>{
        value, std::move(g_alpha), std::move(g_beta), std::move(weights)};
}

Result<std::tuple<double, std::vector<double>, std::vector<double>, std::vector<double>>>
mv_exp_varying_neg_ll_with_grad(std::span<const double> times, std::span<const std::int64_t> dims,
                                double t_horizon, std::span<const double> base,
                                double base_integral, std::span<const double> alpha,
                                std::span<const double> beta) {
    const std::size_t n = times.size();
    const std::size_t cells = alpha.size();
    std::size_t m = 0;
    while (m * m < cells) ++m;
    if (m == 0 || m * m != cells || beta.size() != cells) {
        return ModelError::invalid_parameter("alpha length (" + format_uint(cells) +
                                             ") must be a non-zero square and equal beta length (" +
                                             format_uint(beta.size()) + ")");
    }
    if (base.size() != n || dims.size() != n) {
        return ModelError::invalid_parameter("base length (" + format_uint(base.size()) +
                                             ") and dims length (" + format_uint(dims.size()) +
                                             ") must equal times length (" + format_uint(n) + ")");
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (dims[i] < 0 || static_cast<std::uint64_t>(dims[i]) >= m) {
            return ModelError::invalid_parameter("dims[" + format_uint(i) + "] is not in [0, " +
                                                 format_uint(m) + ")");
        }
    }
    // Per cell (m, k), row-major: A (carried state of the events of k as seen by m), D (its
    // derivative in beta[m,k]), R and D' at the current event, the compensator integral and
    // moment of the events of k, and the gradient sums of row m's events. Sums: events in
    // order; the compensator over cells in row-major order at the end.
    std::vector<double> carried(cells, 0.0), derivative(cells, 0.0);
    std::vector<double> excitation(cells, 0.0), next_derivative(cells, 0.0);
    std::vector<double> integral(cells, 0.0), moment(cells, 0.0);
    std::vector<double> g_alpha(cells, 0.0), g_beta(cells, 0.0);
    std::vector<double> decay(cells), tail(m);
    std::vector<double> weights(n, 0.0);
    double previous = 0.0;
    double log_sum = 0.0;
    double lam_block[kBlock];
    double log_block[kBlock];
    InterruptPoll poll;
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t count = std::min(kBlock, n - start);
        for (std::size_t q = 0; q < count; ++q) {
            const std::size_t i = start + q;
            const std::size_t own = static_cast<std::size_t>(dims[i]);
            const double gap = times[i] - previous;
            const double d = t_horizon - times[i];
            for (std::size_t c = 0; c < cells; ++c) decay[c] = (-beta[c]) * gap;
            for (std::size_t target = 0; target < m; ++target) {
                tail[target] = (-beta[target * m + own]) * d;
            }
            vector_math::exp_array(decay.data(), decay.data(), cells);
            vector_math::exp_array(tail.data(), tail.data(), m);
            for (std::size_t c = 0; c < cells; ++c) {
                const double r = carried[c] * decay[c];
                excitation[c] = r;
                next_derivative[c] = decay[c] * derivative[c] - gap * r;
            }
            double lam = base[i];
            const std::size_t row = own * m;
            for (std::size_t k = 0; k < m; ++k) {
                lam = lam + (beta[row + k] * alpha[row + k]) * excitation[row + k];
            }
            const double lam_floored = floored(lam);
            const double inv = 1.0 / lam_floored;
            for (std::size_t k = 0; k < m; ++k) {
                const std::size_t c = row + k;
                g_alpha[c] = (beta[c] * excitation[c]) * inv + g_alpha[c];
                g_beta[c] =
                    ((beta[c] * next_derivative[c] + excitation[c]) * alpha[c]) * inv + g_beta[c];
            }
            for (std::size_t target = 0; target < m; ++target) {
                const std::size_t c = target * m + own;
                integral[c] = (1.0 - tail[target]) + integral[c];
                moment[c] = tail[target] * d + moment[c];
            }
            for (std::size_t c = 0; c < cells; ++c) {
                carried[c] = excitation[c] + (c % m == own ? 1.0 : 0.0);
                derivative[c] = next_derivative[c];
            }
            weights[i] = inv;
            lam_block[q] = lam_floored;
            previous = times[i];
        }
        vector_math::log_array(lam_block, log_block, count);
        for (std::size_t q = 0; q < count; ++q) log_sum = log_sum + log_block[q];
        if (poll.stop(count * cells)) break;
    }
    poll.throw_if_stopped();
    double compensator = 0.0;
    for (std::size_t c = 0; c < cells; ++c) compensator = compensator + alpha[c] * integral[c];
    const double value = (base_integral + compensator) - log_sum;
    for (std::size_t c = 0; c < cells; ++c) {
        g_alpha[c] = integral[c] - g_alpha[c];
        g_beta[c] = alpha[c] * moment[c] - g_beta[c];
    }
    return std::tuple<double, std::vector<double>, std::vector<double>, std::vector<double>>{
        value, std::move(g_alpha), std::move(g_beta), std::move(weights)};
}

}  // namespace vostrel::likelihood
