// Python bindings of the exponential likelihood with a time-varying baseline (binned and
// varying forms), for the module _libvostrel_ext.
#include "likelihood/periodic_bins.hpp"
#include "likelihood/uni_exp_baseline.hpp"
#include "python/boundary.hpp"

namespace vostrel::py {
namespace {

const char* const kBinnedParams[] = {"times", "t_horizon", "bins", "exposure",
                                     "mu",    "alpha",     "beta"};
const Signature kBinned{"uni_exp_binned_neg_ll_with_grad", nullptr, kBinnedParams, 7};

const char* const kHessianParams[] = {"times", "t_horizon", "bins", "mu", "alpha", "beta"};
const Signature kHessian{"uni_exp_binned_neg_ll_hessian", nullptr, kHessianParams, 6};

const char* const kBinsParams[] = {"times", "shift", "period", "origin", "edges"};
const Signature kBins{"periodic_bins", nullptr, kBinsParams, 5};

const char* const kVaryingParams[] = {"times",         "t_horizon", "base",
                                      "base_integral", "alpha",     "beta"};
const Signature kVarying{"uni_exp_varying_neg_ll_with_grad", nullptr, kVaryingParams, 6};

const char* const kSumExpParams[] = {"times",         "t_horizon", "base",
                                     "base_integral", "alphas",    "betas"};
const Signature kSumExp{"uni_sumexp_varying_neg_ll_with_grad", nullptr, kSumExpParams, 6};

PyObject* call_sumexp(Arguments& arguments) {
    ArrayF64 times, base, alphas, betas;
    double t_horizon = 0.0, base_integral = 0.0;
    if (!arguments.convert(times, t_horizon, base, base_integral, alphas, betas) ||
        !require_contiguous(times, base, alphas, betas)) {
        return nullptr;
    }
    return to_python(likelihood::uni_sumexp_varying_neg_ll_with_grad(
        times.span(), t_horizon, base.span(), base_integral, alphas.span(), betas.span()));
}

const char* const kMvParams[] = {"times",         "dims",  "t_horizon", "base",
                                 "base_integral", "alpha", "beta"};
const Signature kMv{"mv_exp_varying_neg_ll_with_grad", nullptr, kMvParams, 7};

PyObject* call_mv(Arguments& arguments) {
    ArrayF64 times, base, alpha, beta;
    ArrayI64 dims;
    double t_horizon = 0.0, base_integral = 0.0;
    if (!arguments.convert(times, dims, t_horizon, base, base_integral, alpha, beta) ||
        !require_contiguous(times, dims, base, alpha, beta)) {
        return nullptr;
    }
    return to_python(likelihood::mv_exp_varying_neg_ll_with_grad(
        times.span(), dims.span(), t_horizon, base.span(), base_integral, alpha.span(),
        beta.span()));
}

PyObject* call_binned(Arguments& arguments) {
    ArrayF64 times, exposure, mu;
    ArrayI64 bins;
    double t_horizon = 0.0, alpha = 0.0, beta = 0.0;
    if (!arguments.convert(times, t_horizon, bins, exposure, mu, alpha, beta) ||
        !require_contiguous(times, bins, exposure, mu)) {
        return nullptr;
    }
    return to_python(likelihood::uni_exp_binned_neg_ll_with_grad(
        times.span(), t_horizon, bins.span(), exposure.span(), mu.span(), alpha, beta));
}

PyObject* call_hessian(Arguments& arguments) {
    ArrayF64 times, mu;
    ArrayI64 bins;
    double t_horizon = 0.0, alpha = 0.0, beta = 0.0;
    if (!arguments.convert(times, t_horizon, bins, mu, alpha, beta) ||
        !require_contiguous(times, bins, mu)) {
        return nullptr;
    }
    return to_python(likelihood::uni_exp_binned_neg_ll_hessian(times.span(), t_horizon, bins.span(),
                                                               mu.span(), alpha, beta));
}

PyObject* call_bins(Arguments& arguments) {
    ArrayF64 times, edges;
    double shift = 0.0, period = 0.0, origin = 0.0;
    if (!arguments.convert(times, shift, period, origin, edges) ||
        !require_contiguous(times, edges)) {
        return nullptr;
    }
    return to_python(likelihood::periodic_bins(times.span(), shift, period, origin, edges.span()));
}

PyObject* call_varying(Arguments& arguments) {
    ArrayF64 times, base;
    double t_horizon = 0.0, base_integral = 0.0, alpha = 0.0, beta = 0.0;
    if (!arguments.convert(times, t_horizon, base, base_integral, alpha, beta) ||
        !require_contiguous(times, base)) {
        return nullptr;
    }
    return to_python(likelihood::uni_exp_varying_neg_ll_with_grad(
        times.span(), t_horizon, base.span(), base_integral, alpha, beta));
}

}  // namespace

Function uni_exp_baseline_functions[6] = {
    module_function<&kBinned, call_binned>(
        "Univariate exp Hawkes neg-log-likelihood + gradient with a piecewise-constant\n"
        "baseline: event i's baseline is `mu[bins[i]]`, and `exposure[k]` is the time the\n"
        "window [0, t_horizon] spends in bin k. Returns `(neg_loglik, grad_array)` with\n"
        "grad_array in (μ_0..μ_{K-1}, α, β) order. `times` must be sorted on `[0, t_horizon]`."),
    module_function<&kHessian, call_hessian>(
        "Hessian of the binned exponential negative log-likelihood (arguments as in\n"
        "`uni_exp_binned_neg_ll_with_grad`, without the exposure) in (μ_0..μ_{K-1}, α, β),\n"
        "in closed form from one pass over the events: a flat (K+2)·(K+2) row-major array.\n"
        "Its μ block is diagonal, entry k the sum of 1/λ(t_i)² over the events of bin k."),
    module_function<&kBins, call_bins>(
        "The bin of each time of a periodic piecewise-constant baseline: with\n"
        "s = (times[i] + shift) - origin, the phase s - floor(s/period)·period clipped to\n"
        "[0, period), and the index k of the bin [edges[k], edges[k+1]) holding it, as float64.\n"
        "`edges` runs from 0 to `period`, strictly increasing."),
    module_function<&kVarying, call_varying>(
        "Univariate exp Hawkes neg-log-likelihood with any baseline: `base[i]` is the\n"
        "baseline at event i and `base_integral` its integral over [0, t_horizon].\n"
        "Returns `(neg_loglik, grad_alpha_beta, inverse_intensities)`: the gradient in\n"
        "(α, β) and 1/λ(t_i) per event, from which the baseline's gradient follows."),
    module_function<&kSumExp, call_sumexp>(
        "Sum-of-exponentials Hawkes neg-log-likelihood with any baseline: `base[i]` is the\n"
        "baseline at event i and `base_integral` its integral over [0, t_horizon].\n"
        "Returns `(neg_loglik, grad_alphas, grad_betas, inverse_intensities)`."),
    module_function<&kMv, call_mv>(
        "Multivariate exp Hawkes neg-log-likelihood with any baseline per dimension:\n"
        "`base[i]` is the baseline of event i's dimension at t_i, `base_integral` the\n"
        "integral of every dimension's baseline over [0, t_horizon]; `alpha` and `beta` are\n"
        "(M, M) row-major, row m the target. Returns `(neg_loglik, grad_alpha, grad_beta,\n"
        "inverse_intensities)`."),
};

}  // namespace vostrel::py
