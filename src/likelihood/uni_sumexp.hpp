// Negative log-likelihood of a univariate Hawkes process whose kernel is a sum of K exponentials,
// phi(t) = sum_k alpha_k * beta_k * exp(-beta_k * t), with its closed-form gradient. Both
// routines take the components as plain vectors so that models built on a derived mixture (the
// approximate power law) can call them directly.
#pragma once

#include <span>
#include <vector>

#include "core/model_error.hpp"

namespace vostrel::likelihood {

// Value only. Rejects unequal or empty component vectors; decay rates are not checked.
Result<double> uni_sumexp_core(std::span<const double> times, double t_horizon, double mu,
                               std::span<const double> alphas, std::span<const double> betas);

struct SumExpGradient {
    double neg_loglik = 0.0;
    double grad_mu = 0.0;
    std::vector<double> grad_alphas;
    std::vector<double> grad_betas;
};

// Value and gradient with respect to mu, every alpha_k and every beta_k. Validates the lengths
// and that every beta_k is positive. The compensator is summed per component and weighted
// afterwards, so its value may differ from uni_sumexp_core in the last bits.
Result<SumExpGradient> uni_sumexp_grad_core(std::span<const double> times, double t_horizon,
                                            double mu, std::span<const double> alphas,
                                            std::span<const double> betas);

}  // namespace vostrel::likelihood
