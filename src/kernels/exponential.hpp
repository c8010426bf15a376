// The exponential excitation kernel phi(t) = alpha * beta * exp(-beta * t): evaluation, integral,
// L1 norm, in-place rescaling of alpha, and the single steps of the O(N) exponential recursion.
#pragma once

#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "core/model_error.hpp"
#include "core/vector_math.hpp"

namespace vostrel {

class ExponentialKernel {
public:
    // Rejects beta <= 0 first, then alpha <= 0 (unsigned) or alpha == 0 (signed). NaN and +inf
    // pass every test and are stored.
    static Result<ExponentialKernel> create(double alpha, double beta, bool allow_signed);

    double alpha() const { return alpha_; }
    double beta() const { return beta_; }
    bool allow_signed() const { return allow_signed_; }

    // phi at each lag into out (out.size() == t.size()); negative lags are evaluated as they
    // are (the exponential grows), NaN gives NaN.
    std::vector<double> evaluate(std::span<const double> t) const;

    // Integral of phi over [0, t]: (1 - exp(t * (-beta))) * alpha.
    double integrate(double t) const { return integral_at(t, -beta_, alpha_); }
    std::vector<double> integrate_vec(std::span<const double> t) const;

    double l1_norm() const;
    // alpha <- factor * alpha, unvalidated: the constructor's rules may not hold afterwards.
    void scale(double factor) { alpha_ = factor * alpha_; }
    // Fixed at construction: an inhibiting (signed) kernel has no recursive likelihood path.
    bool has_recursive_form() const { return !allow_signed_; }

    // R_i = exp(-beta * dt) * (1 + R_{i-1}): the excitation state just after an event.
    double recursive_state_update(double state, double dt) const;
    // The state decayed over dt, without an event.
    double recursive_decay(double state, double dt) const;
    double recursive_absorb(double state) const { return state + 1.0; }
    // Excitation part of the intensity for the state R: alpha * beta * R.
    double recursive_intensity_excitation(double state) const { return (alpha_ * beta_) * state; }

    // "ExponentialKernel(alpha=0.5, beta=2)", with ", allow_signed=True" for a signed kernel.
    std::string repr() const;

private:
    ExponentialKernel(double alpha, double beta, bool allow_signed)
        : alpha_(alpha), beta_(beta), allow_signed_(allow_signed) {}

    // The one definition of the integral that integrate and integrate_vec share, so that both
    // give the same bits: e = exp(t * neg_beta).
    static double integral_from_decay(double e, double alpha) { return (1.0 - e) * alpha; }
    static double integral_at(double t, double neg_beta, double alpha) {
        return integral_from_decay(vector_math::decay_exp(t * neg_beta), alpha);
    }

    double alpha_;
    double beta_;
    bool allow_signed_;
};

}  // namespace vostrel
