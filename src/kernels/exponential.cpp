// The exponential kernel's validation, array loops and repr (see exponential.hpp).
#include "kernels/exponential.hpp"

#include <cmath>

#include "core/format.hpp"

namespace vostrel {

Result<ExponentialKernel> ExponentialKernel::create(double alpha, double beta, bool allow_signed) {
    if (beta <= 0.0) {
        return ModelError::invalid_parameter("beta must be positive; got " + format_double(beta));
    }
    if (!allow_signed && alpha <= 0.0) {
        return ModelError::invalid_parameter(
            "alpha must be positive (use allow_signed=True for signed); got " +
            format_double(alpha));
    }
    if (allow_signed && alpha == 0.0) {
        return ModelError::invalid_parameter("alpha must be non-zero when allow_signed=True");
    }
    return ExponentialKernel(alpha, beta, allow_signed);
}

void ExponentialKernel::evaluate(std::span<const double> t, std::span<double> out) const {
    const double ab = alpha_ * beta_;
    const double neg_beta = -beta_;
    const std::size_t n = t.size();
    const double* in = t.data();
    double* dst = out.data();
    for (std::size_t i = 0; i < n; ++i) dst[i] = std::exp(in[i] * neg_beta) * ab;
}

std::vector<double> ExponentialKernel::evaluate(std::span<const double> t) const {
    // reserve + push_back writes each element once (a sized vector would zero the buffer first).
    const double ab = alpha_ * beta_;
    const double neg_beta = -beta_;
    std::vector<double> out;
    out.reserve(t.size());
    for (double lag : t) out.push_back(std::exp(lag * neg_beta) * ab);
    return out;
}

void ExponentialKernel::integrate_vec(std::span<const double> t, std::span<double> out) const {
    const double neg_beta = -beta_;
    const double alpha = alpha_;
    const std::size_t n = t.size();
    const double* in = t.data();
    double* dst = out.data();
    for (std::size_t i = 0; i < n; ++i) dst[i] = integral_at(in[i], neg_beta, alpha);
}

std::vector<double> ExponentialKernel::integrate_vec(std::span<const double> t) const {
    const double neg_beta = -beta_;
    const double alpha = alpha_;
    std::vector<double> out;
    out.reserve(t.size());
    for (double lag : t) out.push_back(integral_at(lag, neg_beta, alpha));
    return out;
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
