// Python bindings of the univariate exponential likelihood pair.
#include "likelihood/uni_exp.hpp"
#include "python/boundary.hpp"

namespace vostrel::py {
namespace {

const char* const kParams[] = {"times", "t_horizon", "mu", "alpha", "beta"};
const Signature kValue{"uni_exp_neg_ll", nullptr, kParams, 5};
const Signature kWithGrad{"uni_exp_neg_ll_with_grad", nullptr, kParams, 5};

template <bool WithGrad>
PyObject* call(Arguments& arguments) {
    ArrayF64 times;
    double t_horizon = 0.0, mu = 0.0, alpha = 0.0, beta = 0.0;
    if (!arguments.convert(times, t_horizon, mu, alpha, beta) || !require_contiguous(times)) {
        return nullptr;
    }
    if constexpr (WithGrad) {
        return to_python(
            likelihood::uni_exp_neg_ll_with_grad(times.span(), t_horizon, mu, alpha, beta));
    } else {
        return to_python(likelihood::uni_exp_neg_ll(times.span(), t_horizon, mu, alpha, beta));
    }
}

}  // namespace

Function uni_exp_functions[2] = {
    module_function<&kWithGrad, call<true>>(
        "Univariate exp Hawkes neg-log-likelihood + closed-form gradient.\n"
        "Returns `(neg_loglik, grad_array)` where `grad_array` has shape (3,)\n"
        "in (μ, α, β) order. `times` must be sorted on `[0, t_horizon]`."),
    module_function<&kValue, call<false>>(),
};

}  // namespace vostrel::py
