// The power-law excitation kernel phi(t) = alpha * (t + c)^(-(1 + beta)): evaluation, integral
// from 0, L1 norm and in-place rescaling of alpha. It has no recursive form.
#pragma once

#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "core/model_error.hpp"

namespace vostrel {

class PowerLawKernel {
public:
    // Rejects alpha <= 0, then beta <= 0, then c <= 0; NaN passes each test and is stored.
    static Result<PowerLawKernel> create(double alpha, double beta, double c);

    double alpha() const { return alpha_; }
    double beta() const { return beta_; }
    double c() const { return c_; }

    // phi at each lag, no lag treated specially: t = -c gives inf * alpha, t < -c what the C
    // library's pow gives for a negative base.
    std::vector<double> evaluate(std::span<const double> t) const;

    // (alpha / beta) * (c^(-beta) - (t + c)^(-beta)), computed as (a - b) * k.
    double integrate(double t) const;
    std::vector<double> integrate_vec(std::span<const double> t) const;

    // (alpha / beta) * c^(-beta) with the current alpha, no absolute value.
    double l1_norm() const;
    // alpha <- factor * alpha, unvalidated.
    void scale(double factor) { alpha_ = factor * alpha_; }
    bool has_recursive_form() const { return false; }

    // "PowerLawKernel(alpha=0.5, beta=1.5, c=1)".
    std::string repr() const;

private:
    PowerLawKernel(double alpha, double beta, double c) : alpha_(alpha), beta_(beta), c_(c) {}

    // Shared by integrate and integrate_vec so that both give the same bits; a = c^(-beta) and
    // k = alpha / beta are the per-call constants.
    static double integral_at(double t, double c, double neg_beta, double a, double k) {
        const double b = std::pow(t + c, neg_beta);
        return (a - b) * k;
    }

    double alpha_;
    double beta_;
    double c_;
};

}  // namespace vostrel
