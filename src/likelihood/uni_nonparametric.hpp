// Negative log-likelihood of a univariate Hawkes process with a piecewise-constant kernel on fixed
// bins (value v_m on [e_m, e_{m+1}), zero elsewhere), and its gradient in mu and every bin value.
// The kernel is summed over all pairs of events, each lag located in its bin by bisection.
#pragma once

#include <span>
#include <vector>

#include "core/model_error.hpp"

namespace vostrel::likelihood {

Result<double> uni_nonparametric_neg_ll(std::span<const double> times, double t_horizon, double mu,
                                        std::span<const double> edges,
                                        std::span<const double> values);

struct NonparametricGradient {
    double neg_loglik = 0.0;
    double grad_mu = 0.0;
    std::vector<double> grad_values;
};

Result<NonparametricGradient> uni_nonparametric_neg_ll_with_grad(std::span<const double> times,
                                                                 double t_horizon, double mu,
                                                                 std::span<const double> edges,
                                                                 std::span<const double> values);

}  // namespace vostrel::likelihood
