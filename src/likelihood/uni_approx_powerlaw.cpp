// Approximate power-law likelihood: builds the geometric mixture of exponentials and hands it to
// the sum-of-exponentials routines, then applies the chain rule from (alpha_k, beta_k) to
// (alpha, beta_pow, beta_min).
#include "likelihood/uni_approx_powerlaw.hpp"

#include <cmath>
#include <cstddef>

#include "core/format.hpp"
#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "core/require.hpp"
#include "likelihood/uni_sumexp.hpp"

namespace vostrel::likelihood {

namespace {

// r^k by square-and-multiply over the bits of k, so that beta_k does not depend on pow's
// rounding of a non-integer path.
double integer_power(double base, std::uint64_t exponent) {
    double result = (exponent & 1u) != 0 ? base : 1.0;
    std::uint64_t remaining = exponent;
    while (remaining > 1) {
        base = base * base;
        remaining >>= 1;
        if ((remaining & 1u) != 0) result = result * base;
    }
    return result;
}

// Vectors of K doubles that each path holds at once: the grid (2); the value path adds the
// sum-of-exponentials state (1) and its block of exps (2, for large K); the gradient path adds
// the amplitudes (1), the gradient state (6), its block of exps (2) and its results (2).
constexpr std::uint64_t kValueVectors = 5;
constexpr std::uint64_t kGradientVectors = 13;

// Any n_components up to 2^64 - 1 reaches this point. A count whose working vectors could not
// all fit in the memory this process may use is reported as an allocation failure before
// anything is allocated: otherwise the first vectors would be zero-filled page by page and the
// process could be killed for running out of memory, long before a later allocation fails
// cleanly.
void reserve_components(std::uint64_t n_components, std::uint64_t n_vectors) {
    const unsigned __int128 doubles = static_cast<unsigned __int128>(n_components) * n_vectors;
    if (!fits_usable_memory(doubles, sizeof(double))) {
        throw beyond_usable_memory(
            "the " + format_uint(n_vectors) + " working arrays of n_components doubles each",
            doubles, sizeof(double));
    }
}

Result<DecayComponents> build_components(std::uint64_t n_components, double beta_pow,
                                         double beta_min, double r, std::uint64_t n_vectors) {
    // NaN passes each comparison.
    if (auto error = require(beta_pow, "beta_pow", rules::positive)) return *error;
    if (auto error = require(beta_min, "beta_min", rules::positive)) return *error;
    static constexpr Rule kGeometric{Rule::Rejects::AtMost, 1.0,
                                     "must be > 1 for geometric spacing"};
    if (auto error = require(r, "r", kGeometric)) return *error;
    if (n_components == 0) return ModelError::invalid_parameter("n_components must be positive");

    reserve_components(n_components, n_vectors);
    DecayComponents out;
    out.betas = allocate_vector<double>(n_components, "the decay rates of the components");
    out.weights = allocate_vector<double>(n_components, "the weights of the components");
    const double exponent = beta_pow + (-1.0);
    double total = -0.0;  // Z, from -0.0 so that a sum of -0.0 terms stays -0.0
    InterruptPoll poll;
    for (std::uint64_t k = 0; k < n_components; ++k) {
        if (poll.stop()) break;
        const double beta_k = integer_power(r, k) * beta_min;
        const double u = std::pow(beta_k, exponent);
        out.betas[k] = beta_k;
        out.weights[k] = u;
        total = total + u;
    }
    poll.throw_if_stopped();
    for (double& w : out.weights) w = w / total;
    return out;
}

}  // namespace

Result<DecayComponents> geometric_decay_components(std::uint64_t n_components, double beta_pow,
                                                   double beta_min, double r) {
    return build_components(n_components, beta_pow, beta_min, r, 2);
}

Result<double> uni_approx_powerlaw_neg_ll(std::span<const double> times, double t_horizon,
                                          double mu, double alpha, double beta_pow, double beta_min,
                                          double r, std::uint64_t n_components) {
    Result<DecayComponents> components =
        build_components(n_components, beta_pow, beta_min, r, kValueVectors);
    if (!components.ok()) return components.error();
    // alpha_k = w_k * alpha, built in place of the weights.
    std::vector<double>& alphas = components.value().weights;
    for (double& w : alphas) w = w * alpha;
    return uni_sumexp_core(times, t_horizon, mu, alphas, components.value().betas);
}

Result<std::pair<double, std::vector<double>>> uni_approx_powerlaw_neg_ll_with_grad(
    std::span<const double> times, double t_horizon, double mu, double alpha, double beta_pow,
    double beta_min, double r, std::uint64_t n_components) {
    Result<DecayComponents> built =
        build_components(n_components, beta_pow, beta_min, r, kGradientVectors);
    if (!built.ok()) return built.error();
    if (auto error = require(alpha, "alpha", rules::positive)) return *error;  // a NaN alpha passes
    const std::vector<double>& betas = built.value().betas;
    const std::vector<double>& weights = built.value().weights;
    const std::size_t n_comp = weights.size();
    std::vector<double> alphas =
        allocate_vector<double>(n_comp, "the amplitudes of the components");
    for (std::size_t k = 0; k < n_comp; ++k) alphas[k] = weights[k] * alpha;

    Result<SumExpGradient> inner = uni_sumexp_grad_core(times, t_horizon, mu, alphas, betas);
    if (!inner.ok()) return inner.error();
    const SumExpGradient& g = inner.value();

    // Chain rule; every sum from -0.0 in component order.
    double grad_amplitude = -0.0;  // A = sum g_alpha_k w_k
    for (std::size_t k = 0; k < n_comp; ++k) {
        grad_amplitude = grad_amplitude + g.grad_alphas[k] * weights[k];
    }
    InterruptPoll poll;
    double mean_log_beta = -0.0;  // W, the weighted mean of log beta_k
    for (std::size_t k = 0; k < n_comp; ++k) {
        if (poll.stop()) break;
        mean_log_beta = mean_log_beta + std::log(betas[k]) * weights[k];
    }
    double grad_pow = -0.0;  // B: dw_k/dbeta_pow = w_k (log beta_k - W)
    for (std::size_t k = 0; k < n_comp; ++k) {
        if (poll.stop()) break;
        grad_pow =
            grad_pow + (std::log(betas[k]) - mean_log_beta) * (g.grad_alphas[k] * weights[k]);
    }
    poll.throw_if_stopped();
    double grad_scale = -0.0;  // C: dbeta_k/dbeta_min = beta_k / beta_min
    for (std::size_t k = 0; k < n_comp; ++k) grad_scale = grad_scale + betas[k] * g.grad_betas[k];

    return std::pair<double, std::vector<double>>{
        g.neg_loglik, {g.grad_mu, grad_amplitude, grad_pow * alpha, grad_scale / beta_min}};
}

}  // namespace vostrel::likelihood
