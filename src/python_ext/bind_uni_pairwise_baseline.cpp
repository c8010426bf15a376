// Python bindings of the power-law and nonparametric likelihoods with a time-varying baseline,
// for the module _libvostrel_ext.
#include "likelihood/uni_pairwise_baseline.hpp"
#include "python/boundary.hpp"

namespace vostrel::py {
namespace {

const char* const kPowerLawParams[] = {"times", "t_horizon", "base", "base_integral",
                                       "alpha", "beta",      "c"};
const Signature kPowerLaw{"uni_powerlaw_varying_neg_ll_with_grad", nullptr, kPowerLawParams, 7};

const char* const kNonparametricParams[] = {"times",         "t_horizon", "base",
                                            "base_integral", "edges",     "values"};
const Signature kNonparametric{"uni_nonparametric_varying_neg_ll_with_grad", nullptr,
                               kNonparametricParams, 6};

PyObject* call_powerlaw(Arguments& arguments) {
    ArrayF64 times, base;
    double t_horizon = 0.0, base_integral = 0.0, alpha = 0.0, beta = 0.0, c = 0.0;
    if (!arguments.convert(times, t_horizon, base, base_integral, alpha, beta, c) ||
        !require_contiguous(times, base)) {
        return nullptr;
    }
    return to_python(likelihood::uni_powerlaw_varying_neg_ll_with_grad(
        times.span(), t_horizon, base.span(), base_integral, alpha, beta, c));
}

PyObject* call_nonparametric(Arguments& arguments) {
    ArrayF64 times, base, edges, values;
    double t_horizon = 0.0, base_integral = 0.0;
    if (!arguments.convert(times, t_horizon, base, base_integral, edges, values) ||
        !require_contiguous(times, base, edges, values)) {
        return nullptr;
    }
    return to_python(likelihood::uni_nonparametric_varying_neg_ll_with_grad(
        times.span(), t_horizon, base.span(), base_integral, edges.span(), values.span()));
}

}  // namespace

Function uni_pairwise_baseline_functions[2] = {
    module_function<&kPowerLaw, call_powerlaw>(
        "Univariate power-law Hawkes neg-log-likelihood with any baseline: `base[i]` is the\n"
        "baseline at event i and `base_integral` its integral over [0, t_horizon]. Returns\n"
        "`(neg_loglik, grad_array, inverse_intensities)`, grad_array in (α, β, c) order."),
    module_function<&kNonparametric, call_nonparametric>(
        "Univariate nonparametric Hawkes neg-log-likelihood with any baseline: `base[i]` is\n"
        "the baseline at event i and `base_integral` its integral over [0, t_horizon].\n"
        "Returns `(neg_loglik, grad_values, inverse_intensities)`."),
};

}  // namespace vostrel::py
