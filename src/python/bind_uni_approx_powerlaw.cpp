// Python bindings of the approximate power-law likelihood pair. n_components arrives as an
// unsigned 64-bit count; a count too large to allocate surfaces as MemoryError through guarded().
#include "likelihood/uni_approx_powerlaw.hpp"
#include "python/boundary.hpp"

namespace vostrel::py {
namespace {

const char* const kParams[] = {"times",    "t_horizon", "mu", "alpha",
                               "beta_pow", "beta_min",  "r",  "n_components"};
const Signature kValue{"uni_approx_powerlaw_neg_ll", nullptr, kParams, 8};
const Signature kWithGrad{"uni_approx_powerlaw_neg_ll_with_grad", nullptr, kParams, 8};

template <bool WithGrad>
PyObject* call(Arguments& arguments) {
    ArrayF64 times;
    double t_horizon = 0.0, mu = 0.0, alpha = 0.0, beta_pow = 0.0, beta_min = 0.0, r = 0.0;
    std::uint64_t n_components = 0;
    if (!arguments.convert(times, t_horizon, mu, alpha, beta_pow, beta_min, r, n_components) ||
        !require_contiguous(times)) {
        return nullptr;
    }
    if constexpr (WithGrad) {
        return to_python(likelihood::uni_approx_powerlaw_neg_ll_with_grad(
            times.span(), t_horizon, mu, alpha, beta_pow, beta_min, r, n_components));
    } else {
        return to_python(likelihood::uni_approx_powerlaw_neg_ll(
            times.span(), t_horizon, mu, alpha, beta_pow, beta_min, r, n_components));
    }
}

}  // namespace

Function uni_approx_powerlaw_functions[2] = {
    module_function<&kWithGrad, call<true>>(),
    module_function<&kValue, call<false>>(),
};

}  // namespace vostrel::py
