// Negative log-likelihood of the univariate Hawkes process with exponential kernel
// phi(t) = alpha*beta*exp(-beta*t) on [0, t_horizon], and its gradient in (mu, alpha, beta),
// by the O(N) exponential recursion.
#pragma once

#include <span>
#include <utility>
#include <vector>

namespace vostrel::likelihood {

double uni_exp_neg_ll(std::span<const double> times, double t_horizon, double mu, double alpha,
                      double beta);

// (neg_loglik, [d/dmu, d/dalpha, d/dbeta]); the value is bit for bit uni_exp_neg_ll's.
std::pair<double, std::vector<double>> uni_exp_neg_ll_with_grad(std::span<const double> times,
                                                                double t_horizon, double mu,
                                                                double alpha, double beta);

}  // namespace vostrel::likelihood
