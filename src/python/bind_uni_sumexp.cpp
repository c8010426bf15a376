// Python bindings of the sum-of-exponentials likelihood pair. The gradient function returns a
// 4-tuple (neg_loglik, grad_mu, grad_alphas, grad_betas).
#include "likelihood/uni_sumexp.hpp"
#include "python/boundary.hpp"

namespace vostrel::py {
namespace {

const char* const kParams[] = {"times", "t_horizon", "mu", "alphas", "betas"};
const Signature kValue{"uni_sumexp_neg_ll", nullptr, kParams, 5};
const Signature kWithGrad{"uni_sumexp_neg_ll_with_grad", nullptr, kParams, 5};

PyObject* value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(kValue);
        ArrayF64 times, alphas, betas;
        double t_horizon = 0.0, mu = 0.0;
        if (!arguments.match(args, nargs, kwnames) ||
            !arguments.convert(times, t_horizon, mu, alphas, betas) ||
            !require_contiguous(times, alphas, betas)) {
            return nullptr;
        }
        return to_python(likelihood::uni_sumexp_core(times.span(), t_horizon, mu, alphas.span(),
                                                     betas.span()));
    });
}

PyObject* with_grad(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(kWithGrad);
        ArrayF64 times, alphas, betas;
        double t_horizon = 0.0, mu = 0.0;
        if (!arguments.match(args, nargs, kwnames) ||
            !arguments.convert(times, t_horizon, mu, alphas, betas) ||
            !require_contiguous(times, alphas, betas)) {
            return nullptr;
        }
        Result<likelihood::SumExpGradient> result = likelihood::uni_sumexp_grad_core(
            times.span(), t_horizon, mu, alphas.span(), betas.span());
        if (!result.ok()) {
            raise_model_error(result.error());
            return nullptr;
        }
        likelihood::SumExpGradient& g = result.value();
        PyObject* items[4] = {to_python(g.neg_loglik), to_python(g.grad_mu),
                              to_python(std::move(g.grad_alphas)),
                              to_python(std::move(g.grad_betas))};
        PyObject* tuple = nullptr;
        if (items[0] != nullptr && items[1] != nullptr && items[2] != nullptr &&
            items[3] != nullptr) {
            tuple = PyTuple_New(4);
        }
        if (tuple == nullptr) {
            for (PyObject* item : items) Py_XDECREF(item);
            return nullptr;
        }
        for (Py_ssize_t k = 0; k < 4; ++k) PyTuple_SET_ITEM(tuple, k, items[k]);
        return tuple;
    });
}

}  // namespace

PyMethodDef uni_sumexp_functions[2] = {
    {"uni_sumexp_neg_ll_with_grad",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(with_grad)),
     METH_FASTCALL | METH_KEYWORDS,
     "uni_sumexp_neg_ll_with_grad(times, t_horizon, mu, alphas, betas)\n--\n\n"
     "Univariate sum-exp Hawkes neg-log-likelihood + closed-form gradient.\n"
     "Returns `(neg_loglik, grad_mu, grad_alphas, grad_betas)`. `alphas` and\n"
     "`betas` are length-K NumPy arrays."},
    {"uni_sumexp_neg_ll", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(value)),
     METH_FASTCALL | METH_KEYWORDS,
     "uni_sumexp_neg_ll(times, t_horizon, mu, alphas, betas)\n--\n\n"},
};

}  // namespace vostrel::py
