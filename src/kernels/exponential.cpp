// The exponential kernel's validation, array loops and repr (see exponential.hpp). The array
// loops take their exps a block at a time (exp_array), with the library's bits.
#include "kernels/exponential.hpp"

#include <cmath>

#include "core/format.hpp"
#include "core/require.hpp"
#include "core/vector_math.hpp"
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

namespace {

// exp(lag * neg_beta) for a block of lags, by one call of exp_array.
void block_decays(const double* lags, std::size_t count, double neg_beta, double* out) {
    for (std::size_t q = 0; q < count; ++q) out[q] = lags[q] * neg_beta;
    vector_math::exp_array(out, out, count);
}

}  // namespace

std::vector<double> ExponentialKernel::evaluate(std::span<const double> t) const {
    const double ab = alpha_ * beta_;
    const double neg_beta = -beta_;
    return detail::map_lag_blocks(
        t, [ab, neg_beta](const double* lags, std::size_t count, double* out) {
            block_decays(lags, count, neg_beta, out);
            for (std::size_t q = 0; q < count; ++q) out[q] = out[q] * ab;
        });
}

std::vector<double> ExponentialKernel::integrate_vec(std::span<const double> t) const {
    const double neg_beta = -beta_;
    const double alpha = alpha_;
    return detail::map_lag_blocks(
        t, [neg_beta, alpha](const double* lags, std::size_t count, double* out) {
            block_decays(lags, count, neg_beta, out);
            for (std::size_t q = 0; q < count; ++q) out[q] = integral_from_decay(out[q], alpha);
        });
}

double ExponentialKernel::l1_norm() const { return std::fabs(alpha_); }

double ExponentialKernel::recursive_state_update(double state, double dt) const {
    const double e = vector_math::decay_exp((-beta_) * dt);
    return e * (state + 1.0);
}

double ExponentialKernel::recursive_decay(double state, double dt) const {
    const double e = vector_math::decay_exp((-beta_) * dt);
    return e * state;
}

std::string ExponentialKernel::repr() const {
    std::string text =
        "ExponentialKernel(alpha=" + format_double(alpha_) + ", beta=" + format_double(beta_);
    text += allow_signed_ ? ", allow_signed=True)" : ")";
    return text;
}

}  // namespace vostrel
