// Python bindings of the exact power-law likelihood pair.
#include "likelihood/uni_powerlaw.hpp"
#include "python/boundary.hpp"

namespace vostrel::py {
namespace {

const char* const kParams[] = {"times", "t_horizon", "mu", "alpha", "beta", "c"};
const Signature kValue{"uni_powerlaw_neg_ll", nullptr, kParams, 6};
const Signature kWithGrad{"uni_powerlaw_neg_ll_with_grad", nullptr, kParams, 6};

template <bool WithGrad>
PyObject* call(Arguments& arguments) {
    ArrayF64 times;
    double t_horizon = 0.0, mu = 0.0, alpha = 0.0, beta = 0.0, c = 0.0;
    if (!arguments.convert(times, t_horizon, mu, alpha, beta, c) || !require_contiguous(times)) {
        return nullptr;
    }
    if constexpr (WithGrad) {
        return to_python(
            likelihood::uni_powerlaw_neg_ll_with_grad(times.span(), t_horizon, mu, alpha, beta, c));
    } else {
        return to_python(
            likelihood::uni_powerlaw_neg_ll(times.span(), t_horizon, mu, alpha, beta, c));
    }
}

}  // namespace

Function uni_powerlaw_functions[2] = {
    module_function<&kWithGrad, call<true>>(
        "Univariate power-law Hawkes neg-log-likelihood + closed-form gradient.\n"
        "Returns `(neg_loglik, grad_array)` where `grad_array` has shape (4,)\n"
        "in (μ, α, β, c) order."),
    module_function<&kValue, call<false>>(),
};

}  // namespace vostrel::py
