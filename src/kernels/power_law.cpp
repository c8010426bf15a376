// The power-law kernel's validation, array loops and repr (see power_law.hpp).
#include "kernels/power_law.hpp"

#include "core/format.hpp"
#include "core/require.hpp"
#include "kernels/lag_map.hpp"

namespace vostrel {

Result<PowerLawKernel> PowerLawKernel::create(double alpha, double beta, double c) {
    if (auto error = require(alpha, "alpha", rules::positive)) return *error;
    if (auto error = require(beta, "beta", rules::positive)) return *error;
    static constexpr Rule kNoSingularity =
        rules::positive.worded("must be positive (singularity at t=0 otherwise)");
    if (auto error = require(c, "c", kNoSingularity)) return *error;
    return PowerLawKernel(alpha, beta, c);
}

std::vector<double> PowerLawKernel::evaluate(std::span<const double> t) const {
    const double p = -(beta_ + 1.0);  // the exponent -(1 + beta)
    const double c = c_;
    const double alpha = alpha_;
    return detail::map_lags(t, [p, c, alpha](double lag) { return std::pow(lag + c, p) * alpha; });
}

double PowerLawKernel::integrate(double t) const {
    const double neg_beta = -beta_;
    const double a = std::pow(c_, neg_beta);
    const double b = std::pow(t + c_, neg_beta);
    const double k = alpha_ / beta_;
    return (a - b) * k;
}

std::vector<double> PowerLawKernel::integrate_vec(std::span<const double> t) const {
    const double neg_beta = -beta_;
    const double c = c_;
    const double a = std::pow(c, neg_beta);
    const double k = alpha_ / beta_;
    return detail::map_lags(
        t, [c, neg_beta, a, k](double lag) { return integral_at(lag, c, neg_beta, a, k); });
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
