// The power-law kernel's validation, array loops and repr (see power_law.hpp).
#include "kernels/power_law.hpp"

#include "core/format.hpp"

namespace vostrel {

Result<PowerLawKernel> PowerLawKernel::create(double alpha, double beta, double c) {
    if (alpha <= 0.0) {
        return ModelError::invalid_parameter("alpha must be positive; got " + format_double(alpha));
    }
    if (beta <= 0.0) {
        return ModelError::invalid_parameter("beta must be positive; got " + format_double(beta));
    }
    if (c <= 0.0) {
        return ModelError::invalid_parameter(
            "c must be positive (singularity at t=0 otherwise); got " + format_double(c));
    }
    return PowerLawKernel(alpha, beta, c);
}

void PowerLawKernel::evaluate(std::span<const double> t, std::span<double> out) const {
    const double p = -(beta_ + 1.0);  // the exponent -(1 + beta)
    const double c = c_;
    const double alpha = alpha_;
    const std::size_t n = t.size();
    const double* in = t.data();
    double* dst = out.data();
    for (std::size_t i = 0; i < n; ++i) dst[i] = std::pow(in[i] + c, p) * alpha;
}

std::vector<double> PowerLawKernel::evaluate(std::span<const double> t) const {
    // reserve + push_back writes each element once (a sized vector would zero the buffer first).
    const double p = -(beta_ + 1.0);
    const double c = c_;
    const double alpha = alpha_;
    std::vector<double> out;
    out.reserve(t.size());
    for (double lag : t) out.push_back(std::pow(lag + c, p) * alpha);
    return out;
}

double PowerLawKernel::integrate(double t) const {
    const double neg_beta = -beta_;
    const double a = std::pow(c_, neg_beta);
    const double b = std::pow(t + c_, neg_beta);
    const double k = alpha_ / beta_;
    return (a - b) * k;
}

void PowerLawKernel::integrate_vec(std::span<const double> t, std::span<double> out) const {
    const double neg_beta = -beta_;
    const double c = c_;
    const double a = std::pow(c, neg_beta);
    const double k = alpha_ / beta_;
    const std::size_t n = t.size();
    const double* in = t.data();
    double* dst = out.data();
    for (std::size_t i = 0; i < n; ++i) dst[i] = integral_at(in[i], c, neg_beta, a, k);
}

std::vector<double> PowerLawKernel::integrate_vec(std::span<const double> t) const {
    const double neg_beta = -beta_;
    const double c = c_;
    const double a = std::pow(c, neg_beta);
    const double k = alpha_ / beta_;
    std::vector<double> out;
    out.reserve(t.size());
    for (double lag : t) out.push_back(integral_at(lag, c, neg_beta, a, k));
    return out;
}

double PowerLawKernel::l1_norm() const {
    const double k = alpha_ / beta_;
    return std::pow(c_, -beta_) * k;
}

std::string PowerLawKernel::repr() const {
    return "PowerLawKernel(alpha=" + format_double(alpha_) + ", beta=" + format_double(beta_) +
           ", c=" + format_double(c_) + ")";
}

}  // namespace vostrel
