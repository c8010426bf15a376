// Python bindings of the per-cell-decay multivariate exponential likelihood pair.
#include <utility>

#include "likelihood/mv_exp_dense.hpp"
#include "python/boundary.hpp"

namespace vostrel::py {
namespace {

const char* const kParams[] = {"times", "sources", "end_time", "n_dims", "mu", "alpha", "beta"};
const Signature kValue{"mv_exp_dense_neg_ll", nullptr, kParams, 7};
const Signature kWithGrad{"mv_exp_dense_neg_ll_with_grad", nullptr, kParams, 7};

// The seven arguments are converted in parameter order and checked for contiguity in the order
// times, sources, mu, alpha, beta.
template <bool WithGrad>
PyObject* call(Arguments& arguments) {
    ArrayF64 times;
    ArrayI64 sources;
    double end_time = 0.0;
    std::uint64_t n_dims = 0;
    ArrayF64 mu, alpha, beta;
    if (!arguments.convert(times, sources, end_time, n_dims, mu, alpha, beta) ||
        !require_contiguous(times, sources, mu, alpha, beta)) {
        return nullptr;
    }
    if constexpr (WithGrad) {
        return to_python(
            likelihood::mv_exp_dense_neg_ll_with_grad(times.span(), sources.span(), end_time,
                                                      n_dims, mu.span(), alpha.span(), beta.span()),
            [](likelihood::MvExpDenseGradient& g) {
                return to_python(std::tuple{g.neg_loglik, std::move(g.grad_mu),
                                            std::move(g.grad_alpha), std::move(g.grad_beta)});
            });
    } else {
        return to_python(likelihood::mv_exp_dense_neg_ll(
            times.span(), sources.span(), end_time, n_dims, mu.span(), alpha.span(), beta.span()));
    }
}

}  // namespace

Function mv_exp_dense_functions[2] = {
    module_function<&kWithGrad, call<true>>(
        "Multivariate exp Hawkes neg-log-likelihood with **per-cell \u03b2**\n"
        "(joint-decay mode). Closed-form analytic gradient.\n"
        "\n"
        "Returns `(neg_loglik, grad_mu, grad_alpha, grad_beta)` where:\n"
        "- `grad_mu` shape `(M,)`\n"
        "- `grad_alpha`, `grad_beta` shape `(M\u00b7M,)` row-major: index `m\u00b7M + k`\n"
        "  is the gradient w.r.t. cell (m, k)."),
    module_function<&kValue, call<false>>(
        "Value-only entry point (~30% faster than the value+grad call)."),
};

}  // namespace vostrel::py
