// Negative log-likelihood of a univariate exponential Hawkes process whose events carry caller
// supplied multipliers g_i that scale the excitation they cause, and its gradient in
// (mu, alpha, beta). The marks are data, not parameters.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "core/model_error.hpp"

namespace vostrel::likelihood {

Result<double> marked_uni_exp_neg_ll(std::span<const double> times,
                                     std::span<const double> g_values, double t_horizon, double mu,
                                     double alpha, double beta);

// (neg_loglik, [d/dmu, d/dalpha, d/dbeta]); the value is bit for bit marked_uni_exp_neg_ll's.
Result<std::pair<double, std::vector<double>>> marked_uni_exp_neg_ll_with_grad(
    std::span<const double> times, std::span<const double> g_values, double t_horizon, double mu,
    double alpha, double beta);

}  // namespace vostrel::likelihood
