// Univariate nonlinear exponential Hawkes likelihood: the exponential excitation passes through a
// link function before it becomes the intensity. The compensator has no closed form for a general
// link, so it is integrated by the trapezoid rule on a uniform grid; the log-intensities at the
// events come from the exact exponential recursion.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/model_error.hpp"

namespace vostrel::likelihood {

struct Link {
    enum class Kind { Softplus, Relu, Sigmoid, Identity };
    Kind kind;
    double scale;  // upper bound of the sigmoid link; unused by the others

    // "softplus", "relu", "sigmoid" or "identity", compared byte for byte.
    static std::optional<Link> from_name(std::string_view name, double sigmoid_scale);
};

// The largest accepted grid: each grid point costs a few exp calls, so a larger one would run
// for hours rather than fail.
inline constexpr std::uint64_t kMaxQuadraturePoints = std::uint64_t{1} << 32;

// neg_loglik = C - L; the grid has max(n_quad, 8) points on [0, t_horizon].
Result<double> nonlinear_uni_exp_neg_ll(std::span<const double> times, double t_horizon, double mu,
                                        double alpha, double beta, Link link, std::uint64_t n_quad);

// The same value, bit for bit, and the gradient [d/dmu, d/dalpha, d/dbeta].
Result<std::pair<double, std::vector<double>>> nonlinear_uni_exp_neg_ll_with_grad(
    std::span<const double> times, double t_horizon, double mu, double alpha, double beta,
    Link link, std::uint64_t n_quad);

}  // namespace vostrel::likelihood
