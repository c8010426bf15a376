// Exact negative log-likelihood of a univariate Hawkes process with the power-law kernel
// phi(t) = alpha * (t + c)^-(1 + beta), and its gradient in (mu, alpha, beta, c). A power law has
// no finite-state recursion, so the excitation at each event is summed over every earlier event:
// O(N^2) pow calls, no truncation of the history.
#pragma once

#include <span>
#include <utility>
#include <vector>

namespace vostrel::likelihood {

double uni_powerlaw_neg_ll(std::span<const double> times, double t_horizon, double mu, double alpha,
                           double beta, double c);

// (neg_loglik, [d/dmu, d/dalpha, d/dbeta, d/dc]); the value is bit for bit that of
// uni_powerlaw_neg_ll.
std::pair<double, std::vector<double>> uni_powerlaw_neg_ll_with_grad(std::span<const double> times,
                                                                     double t_horizon, double mu,
                                                                     double alpha, double beta,
                                                                     double c);

}  // namespace vostrel::likelihood
