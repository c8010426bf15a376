// Python bindings of the piecewise-constant (nonparametric) likelihood pair. The gradient
// function returns a 3-tuple (neg_loglik, grad_mu, grad_values).
#include "likelihood/uni_nonparametric.hpp"
#include "python/boundary.hpp"

namespace vostrel::py {
namespace {

const char* const kParams[] = {"times", "t_horizon", "mu", "edges", "values"};
const Signature kValue{"uni_nonparametric_neg_ll", nullptr, kParams, 5};
const Signature kWithGrad{"uni_nonparametric_neg_ll_with_grad", nullptr, kParams, 5};

template <bool WithGrad>
PyObject* call(Arguments& arguments) {
    ArrayF64 times, edges, values;
    double t_horizon = 0.0, mu = 0.0;
    if (!arguments.convert(times, t_horizon, mu, edges, values) ||
        !require_contiguous(times, edges, values)) {
        return nullptr;
    }
    if constexpr (WithGrad) {
        return to_python(
            likelihood::uni_nonparametric_neg_ll_with_grad(times.span(), t_horizon, mu,
                                                           edges.span(), values.span()),
            [](likelihood::NonparametricGradient& g) {
                return to_python(std::tuple{g.neg_loglik, g.grad_mu, std::move(g.grad_values)});
            });
    } else {
        return to_python(likelihood::uni_nonparametric_neg_ll(times.span(), t_horizon, mu,
                                                              edges.span(), values.span()));
    }
}

}  // namespace

Function uni_nonparametric_functions[2] = {
    module_function<&kWithGrad, call<true>>(
        "Univariate nonparametric (piecewise-constant) Hawkes neg-log-likelihood +\n"
        "closed-form gradient. `edges` is fixed during the fit; `values` (and μ)\n"
        "are the free parameters. Returns `(neg_loglik, grad_mu, grad_values)`."),
    module_function<&kValue, call<false>>(),
};

}  // namespace vostrel::py
