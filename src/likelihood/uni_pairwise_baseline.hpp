// Negative log-likelihoods of the pairwise (power-law and nonparametric) univariate kernels with
// a time-varying baseline: base[i] is the baseline at event i and base_integral its integral
// over [0, t_horizon]. Each returns the gradient in the kernel's parameters and 1/lambda(t_i) per
// event, from which the gradient in the baseline's own parameters follows. The loops are those
// of uni_powerlaw.cpp and uni_nonparametric.cpp with the constant mu replaced by base[i].
#pragma once

#include <span>
#include <tuple>
#include <vector>

#include "core/model_error.hpp"

namespace vostrel::likelihood {

// phi(t) = alpha*(t + c)^-(1+beta): (neg_loglik, [d/dalpha, d/dbeta, d/dc], [1/lambda(t_i)]).
Result<std::tuple<double, std::vector<double>, std::vector<double>>>
uni_powerlaw_varying_neg_ll_with_grad(std::span<const double> times, double t_horizon,
                                      std::span<const double> base, double base_integral,
                                      double alpha, double beta, double c);

// phi(t) = values[m] on [edges[m], edges[m+1]): (neg_loglik, [d/dvalues], [1/lambda(t_i)]).
Result<std::tuple<double, std::vector<double>, std::vector<double>>>
uni_nonparametric_varying_neg_ll_with_grad(std::span<const double> times, double t_horizon,
                                           std::span<const double> base, double base_integral,
                                           std::span<const double> edges,
                                           std::span<const double> values);

}  // namespace vostrel::likelihood
