// Univariate Hawkes likelihood whose kernel approximates a power-law decay by K exponentials on a
// geometric grid of decay rates, beta_k = beta_min * r^k, weighted by w_k proportional to
// beta_k^(beta_pow - 1) and normalised to sum to 1. The likelihood is the sum-of-exponentials one
// with alpha_k = w_k * alpha; the gradient is mapped back onto (mu, alpha, beta_pow, beta_min).
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/model_error.hpp"

namespace vostrel::likelihood {

struct DecayComponents {
    std::vector<double> betas;    // beta_k = r^k * beta_min
    std::vector<double> weights;  // w_k, summing to 1
};

// Validates beta_pow, beta_min, r and n_components (in that order) and builds the grid.
Result<DecayComponents> geometric_decay_components(std::uint64_t n_components, double beta_pow,
                                                   double beta_min, double r);

Result<double> uni_approx_powerlaw_neg_ll(std::span<const double> times, double t_horizon,
                                          double mu, double alpha, double beta_pow, double beta_min,
                                          double r, std::uint64_t n_components);

// (neg_loglik, [d/dmu, d/dalpha, d/dbeta_pow, d/dbeta_min]). Also rejects alpha <= 0, after the
// component checks.
Result<std::pair<double, std::vector<double>>> uni_approx_powerlaw_neg_ll_with_grad(
    std::span<const double> times, double t_horizon, double mu, double alpha, double beta_pow,
    double beta_min, double r, std::uint64_t n_components);

}  // namespace vostrel::likelihood
