// Argument checks shared by the thinning and branching simulators.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "core/format.hpp"
#include "core/model_error.hpp"

namespace vostrel::simulation_checks {

inline ModelError invalid(std::string message) {
    return ModelError::invalid_parameter(std::move(message));
}

// The checks both multivariate simulators make first, in this order: a positive horizon, at
// least one dimension, an M x M alpha, a positive beta.
inline std::optional<ModelError> check_mv_shape(double t_horizon, std::span<const double> mu,
                                                std::span<const double> alpha, double beta) {
    const std::size_t m = mu.size();
    if (t_horizon <= 0.0) {
        return invalid("t_horizon must be positive; got " + format_double(t_horizon));
    }
    if (m == 0) return invalid("mu is empty");
    if (alpha.size() != m * m) {
        return invalid("alpha length (" + format_uint(alpha.size()) + ") must be M·M (" +
                       format_uint(m * m) + ")");
    }
    if (beta <= 0.0) return invalid("beta must be positive; got " + format_double(beta));
    return std::nullopt;
}

}  // namespace vostrel::simulation_checks
