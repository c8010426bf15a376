// Python bindings of the sum-of-exponentials likelihood pair. The gradient function returns a
// 4-tuple (neg_loglik, grad_mu, grad_alphas, grad_betas).
#include "likelihood/uni_sumexp.hpp"
#include "python/boundary.hpp"

namespace vostrel::py {
namespace {

const char* const kParams[] = {"times", "t_horizon", "mu", "alphas", "betas"};
const Signature kValue{"uni_sumexp_neg_ll", nullptr, kParams, 5};
const Signature kWithGrad{"uni_sumexp_neg_ll_with_grad", nullptr, kParams, 5};

template <bool WithGrad>
PyObject* call(Arguments& arguments) {
    ArrayF64 times, alphas, betas;
    double t_horizon = 0.0, mu = 0.0;
    if (!arguments.convert(times, t_horizon, mu, alphas, betas) ||
        !require_contiguous(times, alphas, betas)) {
        return nullptr;
    }
    if constexpr (WithGrad) {
        return to_python(
            likelihood::uni_sumexp_grad_core(times.span(), t_horizon, mu, alphas.span(),
                                             betas.span()),
            [](likelihood::SumExpGradient& g) {
                return to_python(std::tuple{g.neg_loglik, g.grad_mu, std::move(g.grad_alphas),
                                            std::move(g.grad_betas)});
            });
    } else {
        return to_python(
            likelihood::uni_sumexp_core(times.span(), t_horizon, mu, alphas.span(), betas.span()));
    }
}

}  // namespace

Function uni_sumexp_functions[2] = {
    module_function<&kWithGrad, call<true>>(
        "Univariate sum-exp Hawkes neg-log-likelihood + closed-form gradient.\n"
        "Returns `(neg_loglik, grad_mu, grad_alphas, grad_betas)`. `alphas` and\n"
        "`betas` are length-K NumPy arrays."),
    module_function<&kValue, call<false>>(),
};

}  // namespace vostrel::py
