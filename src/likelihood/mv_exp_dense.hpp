// Multivariate exponential Hawkes negative log-likelihood with one decay per cell, over one merged
// event array with a parallel array of source dimensions. Nothing is precomputed: each call runs
// the exponential recursion with M*M state cells, so the decays can be fitted too.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/model_error.hpp"

namespace vostrel::likelihood {

struct MvExpDenseGradient {
    double neg_loglik;
    std::vector<double> grad_mu;     // M
    std::vector<double> grad_alpha;  // M*M, cell (m, k) at m*M + k
    std::vector<double> grad_beta;   // M*M
};

// Cells are row-major: (m, k) at m*M + k, m the excited dimension, k the exciting one.
Result<double> mv_exp_dense_neg_ll(std::span<const double> times,
                                   std::span<const std::int64_t> sources, double end_time,
                                   std::uint64_t n_dims, std::span<const double> mu,
                                   std::span<const double> alpha, std::span<const double> beta);

// The same value, bit for bit, and the closed-form gradient in mu, alpha and beta.
Result<MvExpDenseGradient> mv_exp_dense_neg_ll_with_grad(std::span<const double> times,
                                                         std::span<const std::int64_t> sources,
                                                         double end_time, std::uint64_t n_dims,
                                                         std::span<const double> mu,
                                                         std::span<const double> alpha,
                                                         std::span<const double> beta);

}  // namespace vostrel::likelihood
