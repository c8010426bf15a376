// Negative log-likelihood of the univariate exponential Hawkes process whose baseline varies in
// time, lambda(t) = mu(t) + sum_i alpha*beta*exp(-beta*(t - t_i)), on [0, t_horizon], and its
// gradient, by the O(N) exponential recursion of uni_exp.cpp (and of uni_sumexp.cpp for a sum
// of exponentials).
//
// Two forms of the baseline:
//  - binned: mu(t) = mu[bin of t], a piecewise-constant baseline (periodic or not); the caller
//    gives each event's bin and the time the window spends in each bin (its exposure);
//  - varying: any baseline; the caller gives mu(t_i) at each event and the integral of mu over
//    the window, and gets back each event's 1/lambda(t_i), from which the gradient in the
//    baseline's own parameters follows (sum_i w_i dmu(t_i)/dtheta).
#pragma once

#include <cstdint>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "core/model_error.hpp"

namespace vostrel::likelihood {

// (neg_loglik, [d/dmu_0 .. d/dmu_{K-1}, d/dalpha, d/dbeta]). With one bin whose exposure is
// t_horizon, the value and gradient are bit for bit uni_exp_neg_ll_with_grad's.
Result<std::pair<double, std::vector<double>>> uni_exp_binned_neg_ll_with_grad(
    std::span<const double> times, double t_horizon, std::span<const std::int64_t> bins,
    std::span<const double> exposure, std::span<const double> mu, double alpha, double beta);

// The binned form's Hessian of the negative log-likelihood in (mu_0..mu_{K-1}, alpha, beta),
// (K+2) x (K+2) row-major, in closed form from one pass over the events. Its mu block is
// diagonal (lambda(t_i) involves only its own bin's rate, and the compensator is linear in mu).
// Sums: each entry's terms added in event order from 0.0 (per bin, the events of that bin).
Result<std::vector<double>> uni_exp_binned_neg_ll_hessian(std::span<const double> times,
                                                          double t_horizon,
                                                          std::span<const std::int64_t> bins,
                                                          std::span<const double> mu, double alpha,
                                                          double beta);

// (neg_loglik, [d/dalpha, d/dbeta], [1/lambda(t_i)]).
Result<std::tuple<double, std::vector<double>, std::vector<double>>>
uni_exp_varying_neg_ll_with_grad(std::span<const double> times, double t_horizon,
                                 std::span<const double> base, double base_integral, double alpha,
                                 double beta);

// Sum of exponentials, phi(t) = sum_k alpha_k*beta_k*exp(-beta_k*t), with any baseline:
// (neg_loglik, [d/dalpha_k], [d/dbeta_k], [1/lambda(t_i)]).
Result<std::tuple<double, std::vector<double>, std::vector<double>, std::vector<double>>>
uni_sumexp_varying_neg_ll_with_grad(std::span<const double> times, double t_horizon,
                                    std::span<const double> base, double base_integral,
                                    std::span<const double> alphas, std::span<const double> betas);

// M-dimensional exponential kernels phi_mk(t) = alpha[m,k]*beta[m,k]*exp(-beta[m,k]*t) (row m
// the target, both matrices row-major), with any baseline: base[i] is the baseline of event i's
// own dimension at t_i, base_integral the integral of every dimension's baseline over the window.
// (neg_loglik, [d/dalpha], [d/dbeta], [1/lambda_{dims[i]}(t_i)]).
Result<std::tuple<double, std::vector<double>, std::vector<double>, std::vector<double>>>
mv_exp_varying_neg_ll_with_grad(std::span<const double> times, std::span<const std::int64_t> dims,
                                double t_horizon, std::span<const double> base,
                                double base_integral, std::span<const double> alpha,
                                std::span<const double> beta);

}  // namespace vostrel::likelihood
