// Argument checks shared by the thinning and branching simulators. The checks are inline, so a
// valid call pays for the comparisons alone; the messages are written out of line (checks.cpp).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "core/model_error.hpp"
#include "core/require.hpp"

namespace vostrel::simulation_checks {

inline ModelError invalid(std::string message) {
    return ModelError::invalid_parameter(std::move(message));
}

// "alpha and beta must be positive; got alpha={alpha}, beta={beta}".
ModelError alpha_and_beta_error(double alpha, double beta);
// "alpha length ({size}) must be M·M ({m * m})".
ModelError alpha_shape_error(std::size_t size, std::size_t m);

// The checks both univariate simulators make first, in this order: a positive horizon, a
// non-negative mu, a positive alpha and beta.
inline std::optional<ModelError> check_uni(double t_horizon, double mu, double alpha, double beta) {
    if (auto error = require(t_horizon, "t_horizon", rules::positive)) return *error;
    if (auto error = require(mu, "mu", rules::non_negative)) return *error;
    if (alpha <= 0.0 || beta <= 0.0) return alpha_and_beta_error(alpha, beta);
    return std::nullopt;
}

// The checks both multivariate simulators make first, in this order: a positive horizon, at
// least one dimension, an M x M alpha, a positive beta.
inline std::optional<ModelError> check_mv_shape(double t_horizon, std::span<const double> mu,
                                                std::span<const double> alpha, double beta) {
    const std::size_t m = mu.size();
    if (auto error = require(t_horizon, "t_horizon", rules::positive)) return *error;
    if (m == 0) return invalid("mu is empty");
    if (alpha.size() != m * m) return alpha_shape_error(alpha.size(), m);
    if (auto error = require(beta, "beta", rules::positive)) return *error;
    return std::nullopt;
}

}  // namespace vostrel::simulation_checks
