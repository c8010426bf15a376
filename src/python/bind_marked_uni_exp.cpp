// Python bindings of the marked exponential likelihood pair.
#include "likelihood/marked_uni_exp.hpp"
#include "python/boundary.hpp"

namespace vostrel::py {
namespace {

const char* const kParams[] = {"times", "g_values", "t_horizon", "mu", "alpha", "beta"};
const Signature kValue{"marked_uni_exp_neg_ll", nullptr, kParams, 6};
const Signature kWithGrad{"marked_uni_exp_neg_ll_with_grad", nullptr, kParams, 6};

template <bool WithGrad>
PyObject* call(Arguments& arguments) {
    ArrayF64 times, g_values;
    double t_horizon = 0.0, mu = 0.0, alpha = 0.0, beta = 0.0;
    if (!arguments.convert(times, g_values, t_horizon, mu, alpha, beta) ||
        !require_contiguous(times, g_values)) {
        return nullptr;
    }
    if constexpr (WithGrad) {
        return to_python(likelihood::marked_uni_exp_neg_ll_with_grad(times.span(), g_values.span(),
                                                                     t_horizon, mu, alpha, beta));
    } else {
        return to_python(likelihood::marked_uni_exp_neg_ll(times.span(), g_values.span(), t_horizon,
                                                           mu, alpha, beta));
    }
}

}  // namespace

Function marked_uni_exp_functions[2] = {
    module_function<&kWithGrad, call<true>>(),
    module_function<&kValue, call<false>>(),
};

}  // namespace vostrel::py
