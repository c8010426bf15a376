// Sum-of-exponentials likelihood: the exponential recursion run once per component, O(N*K).
// Both routines walk the events in blocks: a block's exp calls (the decay of every component over
// each gap, and every component's tail from each event to the horizon) depend on the times only,
// so they are computed first, two calls of exp_array; then one walk over the block does the
// recursion and the compensator; then the block's logs are taken by add_logs (log_array for the
// gradient). The compensator sums and the log sum are separate accumulators, each added in event
// order (then component order), so this arrangement changes the speed and never a bit.
#include "likelihood/uni_sumexp.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>

#include "core/format.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "core/require.hpp"
#include "core/vector_math.hpp"

namespace vostrel::likelihood {

namespace {

// Events per block: at most 256, and at most about 2048 exp arguments of each kind.
constexpr std::size_t kMaxBlockEvents = 256;
constexpr std::size_t kExpBudget = 2048;

std::size_t block_events(std::size_t n_components) {
    return std::clamp<std::size_t>(kExpBudget / n_components, 1, kMaxBlockEvents);
}

// The exps of `count` events from t: decay[q*K + k] = exp((-beta_k) (t_q - t_{q-1})), the first
// gap measured from `previous`, and tail[q*K + k] = exp((-beta_k) (T - t_q)).
void block_exps(const double* t, std::size_t count, double previous, double t_horizon,
                const double* beta, std::size_t n_components, double* decay, double* tail) {
    for (std::size_t q = 0; q < count; ++q) {
        const double gap = t[q] - previous;
        const double d = t_horizon - t[q];
        double* e = decay + q * n_components;
        double* f = tail + q * n_components;
        for (std::size_t k = 0; k < n_components; ++k) {
            e[k] = (-beta[k]) * gap;
            f[k] = (-beta[k]) * d;
        }
        previous = t[q];
    }
    vector_math::exp_array(decay, decay, count * n_components);
    vector_math::exp_array(tail, tail, count * n_components);
}

constexpr const char* kComponentState =
    "the per-component state of the sum-of-exponentials likelihood";

// Room for a block's exps (decay, then tail), left uninitialised: every block writes what it
// reads.
std::unique_ptr<double[]> block_exp_buffer(std::size_t block, std::size_t n_components) {
    const std::size_t size = 2 * block * n_components;
    return allocating("the exponentials of a block of events, every component's", size,
                      sizeof(double), [&] { return std::unique_ptr<double[]>(new double[size]); });
}

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
    const std::size_t block = block_events(n_components);
    std::unique_ptr<double[]> exps = block_exp_buffer(block, n_components);
    double* decay = exps.get();
    double* tail = decay + block * n_components;
    const double* alpha = alphas.data();
    const double* beta = betas.data();
    const double* t = times.data();
    double previous = 0.0;
    double log_sum = 0.0;
    double compensator = 0.0;  // Q: one running sum over events, then components
    double floored[kMaxBlockEvents];
    InterruptPoll poll;
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t count = std::min(block, n - start);
        block_exps(t + start, count, previous, t_horizon, beta, n_components, decay, tail);
        for (std::size_t q = 0; q < count; ++q) {
            const double* e = decay + q * n_components;
            const double* f = tail + q * n_components;
            double lam = mu;
            for (std::size_t k = 0; k < n_components; ++k) {
                const double r = e[k] * carried[k];  // R_k just before event i
                carried[k] = r + 1.0;
                lam = lam + (beta[k] * alpha[k]) * r;
                compensator = compensator + (1.0 - f[k]) * alpha[k];
            }
            floored[q] = lam > 1e-30 ? lam : 1e-30;  // floored so that log stays finite
        }
        log_sum = vector_math::add_logs(log_sum, floored, count);
        previous = t[start + count - 1];
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
        // A NaN decay passes, as the comparison is false.
        if (auto error = require(betas[k], Element{"betas", k}, rules::positive)) return *error;
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
    const std::size_t block = block_events(n_components);
    std::unique_ptr<double[]> exps = block_exp_buffer(block, n_components);
    double* decay = exps.get();
    double* tail = decay + block * n_components;
    const double* alpha = alphas.data();
    const double* beta = betas.data();
    const double* t = times.data();
    double previous = 0.0;
    double log_sum = 0.0;
    double g_mu = 0.0;
    double floored[kMaxBlockEvents];
    InterruptPoll poll;
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t count = std::min(block, n - start);
        block_exps(t + start, count, previous, t_horizon, beta, n_components, decay, tail);
        for (std::size_t i = start; i < start + count; ++i) {
            const double gap = t[i] - previous;
            const double d = t_horizon - t[i];
            const double* e_row = decay + (i - start) * n_components;
            const double* f_row = tail + (i - start) * n_components;
            double lam = mu;
            for (std::size_t k = 0; k < n_components; ++k) {
                const double e = e_row[k];
                const double r = carried[k] * e;
                excitation[k] = r;
                next_derivative[k] = e * derivative[k] - gap * r;
                lam = lam + (beta[k] * alpha[k]) * r;
                const double f = f_row[k];
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
        vector_math::log_array(floored, floored, count);
        for (std::size_t ii = 0; ii < count; ++ii) log_sum = log_sum + floored[ii];
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
