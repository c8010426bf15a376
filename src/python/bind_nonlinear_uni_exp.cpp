// Python bindings of the nonlinear univariate exponential likelihood pair.
#include <optional>
#include <string>

#include "likelihood/nonlinear_uni_exp.hpp"
#include "python/boundary.hpp"

namespace vostrel::py {
namespace {

const char* const kParams[] = {"times", "t_horizon",     "mu",    "alpha", "beta",
                               "link",  "sigmoid_scale", "n_quad"};
const Signature kValue{"nonlinear_uni_exp_neg_ll", nullptr, kParams, 8};
const Signature kWithGrad{"nonlinear_uni_exp_neg_ll_with_grad", nullptr, kParams, 8};

template <bool WithGrad>
PyObject* call(Arguments& arguments) {
    ArrayF64 times;
    double t_horizon = 0.0, mu = 0.0, alpha = 0.0, beta = 0.0;
    Text link_name;
    double sigmoid_scale = 0.0;
    std::uint64_t n_quad = 0;
    // Conversion in parameter order, then the link name, then contiguity of `times`.
    if (!arguments.convert(times, t_horizon, mu, alpha, beta, link_name, sigmoid_scale, n_quad)) {
        return nullptr;
    }
    std::optional<likelihood::Link> link =
        likelihood::Link::from_name(link_name.utf8, sigmoid_scale);
    if (!link) {
        // Built as a str from the exact bytes, so the name is repeated as passed (embedded NULs
        // included). The fallback it mentions lives outside this repository; the text is part of
        // the published interface and stays word for word.
        const std::string message =
            "link_function must be 'softplus', 'relu', 'sigmoid', or 'identity'; got '" +
            std::string(link_name.utf8) + "' (callable link_function falls back to the JAX path)";
        PyObject* text = PyUnicode_DecodeUTF8(
            message.data(), static_cast<Py_ssize_t>(message.size()), "surrogatepass");
        if (text != nullptr) {
            PyErr_SetObject(PyExc_ValueError, text);
            Py_DECREF(text);
        }
        return nullptr;
    }
    if (!require_contiguous(times)) return nullptr;
    if constexpr (WithGrad) {
        return to_python(likelihood::nonlinear_uni_exp_neg_ll_with_grad(
            times.span(), t_horizon, mu, alpha, beta, *link, n_quad));
    } else {
        return to_python(likelihood::nonlinear_uni_exp_neg_ll(times.span(), t_horizon, mu, alpha,
                                                              beta, *link, n_quad));
    }
}

}  // namespace

Function nonlinear_uni_exp_functions[2] = {
    module_function<&kWithGrad, call<true>>(),
    module_function<&kValue, call<false>>(),
};

}  // namespace vostrel::py
