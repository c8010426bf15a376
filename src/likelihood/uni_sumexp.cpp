// Sum-of-exponentials likelihood: the exponential recursion run once per component, O(N*K).
// Both routines walk the events once: each event's recursion exp calls and its compensator exp
// calls are independent of each other, so the processor overlaps them; the logs of a block of
// events are taken after the block. The compensator sums and the log sum are separate
// accumulators, each added in event order (then component order), so this arrangement changes
// the speed and never a bit.
#include "likelihood/uni_sumexp.hpp"

#include <cmath>
#include <cstddef>

#include "core/format.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"

namespace vostrel::likelihood {

namespace {

// Events whose floored intensities are kept before their logs are taken. The log of an event
// waits for its intensity, which waits for the recursion; taking a block's logs together lets
// the calls run back to back while the accumulator still adds them in event order.
constexpr std::size_t kLogBlock = 256;

constexpr const char* kComponentState = "the per-component state of the sum-of-exponentials likelihood";

}  // namespace

Result<double> uni_sumexp_core(std::span<const double> times, double t_horizon, double mu,
                               std::span<const double> alphas, std::span<const double> betas) {
    if (alphas.size() != betas.size() || alphas.empty()) {
        return ModelError::invalid_parameter("alphas/betas length mismatch or empty");
    }
    const std::size_t n = times.size();
    const std::size_t n_components = alphas.size();
    if (n == 0) return t_horizon * mu;

    // A_k: excitation of component k carried to the next event.
    std::vector<double> carried = allocate_vector<double>(n_components, kComponentState);
    const double* alpha = alphas.data();
    const double* beta = betas.data();
    const double* t = times.data();
    double previous = 0.0;
    double log_sum = 0.0;
    double compensator = 0.0;  // Q: one running sum over events, then components
    double floored[kLogBlock];
    InterruptPoll poll;
    for (std::size_t start = 0; start < n; start += kLogBlock) {
        const std::size_t count = n - start < kLogBlock ? n - start : kLogBlock;
        for (std::size_t i = start; i < start + count; ++i) {
            const double gap = t[i] - previous;
            const double d = t_horizon - t[i];
            double lam = mu;
            for (std::size_t k = 0; k < n_components; ++k) {
                const double e = std::exp((-beta[k]) * gap);
                const double r = e * carried[k];  // R_k just before event i
                carried[k] = r + 1.0;
                lam = lam + (beta[k] * alpha[k]) * r;
                compensator = compensator + (1.0 - std::exp((-beta[k]) * d)) * alpha[k];
            }
            floored[i - start] = lam > 1e-30 ? lam : 1e-30;  // floored so that log stays finite
            previous = t[i];
        }
        for (std::size_t ii = 0; ii < count; ++ii) log_sum = log_sum + std::log(floored[ii]);
        if (poll.stop(count * n_components)) break;
    }
    poll.throw_if_stopped();
    return (t_horizon * mu + compensator) - log_sum;
}

Result<SumExpGradient> uni_sumexp_grad_core(std::span<const double> times, double t_horizon,
                                            double mu, std::span<const double> alphas,
                                            std::span<const double> betas) {
    if (alphas.size() != betas.size()) {
        return ModelError::invalid_parameter("alphas length (" + format_uint(alphas.size()) +
                                             ") != betas length (" + format_uint(betas.size()) +
                                             ")");
    }
    if (alphas.empty()) {
        return ModelError::invalid_parameter("must have at least one (alpha, beta) component");
    }
    const std::size_t n_components = alphas.size();
    for (std::size_t k = 0; k < n_components; ++k) {
        if (betas[k] <= 0.0) {  // a NaN decay passes, as the comparison is false
            return ModelError::invalid_parameter("betas[" + format_uint(k) +
                                                 "] must be positive; got " +
                                                 format_double(betas[k]));
        }
    }

    SumExpGradient out;
    const std::size_t n = times.size();
    if (n == 0) {
        out.neg_loglik = mu * t_horizon;
        out.grad_mu = t_horizon;
        out.grad_alphas = allocate_vector<double>(n_components, kComponentState);
        out.grad_betas = allocate_vector<double>(n_components, kComponentState);
        return out;
    }

    const auto state = [n_components] {
        return allocate_vector<double>(n_components, kComponentState);
    };
    std::vector<double> carried = state();          // A_k
    std::vector<double> derivative = state();       // D_k = dR_k/dbeta_k
    std::vector<double> excitation = state();       // R_k at the current event
    std::vector<double> next_derivative = state();  // D'_k at the current event
    std::vector<double> integral = state();         // C_k
    std::vector<double> moment = state();           // S2_k
    out.grad_alphas = state();                      // holds G_alpha_k until the end
    out.grad_betas = state();                       // holds G_beta_k until the end
    double* g_alpha = out.grad_alphas.data();
    double* g_beta = out.grad_betas.data();
    const double* alpha = alphas.data();
    const double* beta = betas.data();
    const double* t = times.data();
    double previous = 0.0;
    double log_sum = 0.0;
    double g_mu = 0.0;
    double floored[kLogBlock];
    InterruptPoll poll;
    for (std::size_t start = 0; start < n; start += kLogBlock) {
        const std::size_t count = n - start < kLogBlock ? n - start : kLogBlock;
        for (std::size_t i = start; i < start + count; ++i) {
            const double gap = t[i] - previous;
            const double d = t_horizon - t[i];
            double lam = mu;
            for (std::size_t k = 0; k < n_components; ++k) {
                const double e = std::exp((-beta[k]) * gap);
                const double r = carried[k] * e;
                excitation[k] = r;
                next_derivative[k] = e * derivative[k] - gap * r;
                lam = lam + (beta[k] * alpha[k]) * r;
                // Compensator terms of event i: independent of the recursion, so their exp
                // calls overlap with it.
                const double f = std::exp((-beta[k]) * d);
                integral[k] = (1.0 - f) + integral[k];
                moment[k] = f * d + moment[k];
            }
            const double lam_floored = lam > 1e-30 ? lam : 1e-30;
            const double inv = 1.0 / lam_floored;
            for (std::size_t k = 0; k < n_components; ++k) {
                g_alpha[k] = (beta[k] * excitation[k]) * inv + g_alpha[k];
                g_beta[k] =
                    ((beta[k] * next_derivative[k] + excitation[k]) * alpha[k]) * inv + g_beta[k];
                carried[k] = excitation[k] + 1.0;
                derivative[k] = next_derivative[k];
            }
            g_mu = g_mu + inv;
            floored[i - start] = lam_floored;
            previous = t[i];
        }
        for (std::size_t ii = 0; ii < count; ++ii) log_sum = log_sum + std::log(floored[ii]);
        if (poll.stop(count * n_components)) break;
    }
    poll.throw_if_stopped();

    // X: the compensator, per-component integrals weighted by their amplitudes.
    double compensator = 0.0;
    for (std::size_t k = 0; k < n_components; ++k) {
        compensator = compensator + alphas[k] * integral[k];
    }
    out.neg_loglik = (mu * t_horizon + compensator) - log_sum;
    out.grad_mu = t_horizon - g_mu;
    for (std::size_t k = 0; k < n_components; ++k) {
        g_alpha[k] = integral[k] - g_alpha[k];
        g_beta[k] = alphas[k] * moment[k] - g_beta[k];
    }
    return out;
}

}  // namespace vostrel::likelihood
