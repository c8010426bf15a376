// The exponential kernel's validation, array loops and repr (see exponential.hpp).
#include "kernels/exponential.hpp"

#include <cmath>

#include "core/format.hpp"
#include "core/require.hpp"
#include "kernels/lag_map.hpp"

namespace vostrel {

Result<ExponentialKernel> ExponentialKernel::create(double alpha, double beta, bool allow_signed) {
    if (auto error = require(beta, "beta", rules::positive)) return *error;
    if (!allow_signed) {
        static constexpr Rule kUnsigned =
            rules::positive.worded("must be positive (use allow_signed=True for signed)");
        if (auto error = require(alpha, "alpha", kUnsigned)) return *error;
    }
    if (allow_signed && alpha == 0.0) {
        return ModelError::invalid_parameter("alpha must be non-zero when allow_signed=True");
    }
    return ExponentialKernel(alpha, beta, allow_signed);
}

std::vector<double> ExponentialKernel::evaluate(std::span<const double> t) const {
    const double ab = alpha_ * beta_;
    const double neg_beta = -beta_;
    return detail::map_lags(t, [ab, neg_beta](double lag) { return std::exp(lag * neg_beta) * ab; });
}

std::vector<double> ExponentialKernel::integrate_vec(std::span<const double> t) const {
    const double neg_beta = -beta_;
    const double alpha = alpha_;
    return detail::map_lags(
        t, [neg_beta, alpha](double lag) { return integral_at(lag, neg_beta, alpha); });
}

double ExponentialKernel::l1_norm() const { return std::fabs(alpha_); }

double ExponentialKernel::recursive_state_update(double state, double dt) const {
    const double e = std::exp((-beta_) * dt);
    return e * (state + 1.0);
}

double ExponentialKernel::recursive_decay(double state, double dt) const {
    const double e = std::exp((-beta_) * dt);
    return e * state;
}

std::string ExponentialKernel::repr() const {
    std::string text = "ExponentialKernel(alpha=" + format_double(alpha_) +
                       ", beta=" + format_double(beta_);
    text += allow_signed_ ? ", allow_signed=True)" : ")";
    return text;
}

}  // namespace vostrel
