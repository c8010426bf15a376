// Python bindings of the piecewise-constant (nonparametric) likelihood pair. The gradient
// function returns a 3-tuple (neg_loglik, grad_mu, grad_values).
#include "likelihood/uni_nonparametric.hpp"
#include "python/boundary.hpp"

namespace vostrel::py {
namespace {

const char* const kParams[] = {"times", "t_horizon", "mu", "edges", "values"};
const Signature kValue{"uni_nonparametric_neg_ll", nullptr, kParams, 5};
const Signature kWithGrad{"uni_nonparametric_neg_ll_with_grad", nullptr, kParams, 5};

PyObject* value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(kValue);
        ArrayF64 times, edges, values;
        double t_horizon = 0.0, mu = 0.0;
        if (!arguments.match(args, nargs, kwnames) ||
            !arguments.convert(times, t_horizon, mu, edges, values) ||
            !require_contiguous(times, edges, values)) {
            return nullptr;
        }
        return to_python(likelihood::uni_nonparametric_neg_ll(times.span(), t_horizon, mu,
                                                              edges.span(), values.span()));
    });
}

PyObject* with_grad(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(kWithGrad);
        ArrayF64 times, edges, values;
        double t_horizon = 0.0, mu = 0.0;
        if (!arguments.match(args, nargs, kwnames) ||
            !arguments.convert(times, t_horizon, mu, edges, values) ||
            !require_contiguous(times, edges, values)) {
            return nullptr;
        }
        Result<likelihood::NonparametricGradient> result =
            likelihood::uni_nonparametric_neg_ll_with_grad(times.span(), t_horizon, mu,
                                                           edges.span(), values.span());
        if (!result.ok()) {
            raise_model_error(result.error());
            return nullptr;
        }
        likelihood::NonparametricGradient& g = result.value();
        PyObject* items[3] = {to_python(g.neg_loglik), to_python(g.grad_mu),
                              to_python(std::move(g.grad_values))};
        PyObject* tuple = nullptr;
        if (items[0] != nullptr && items[1] != nullptr && items[2] != nullptr) {
            tuple = PyTuple_New(3);
        }
        if (tuple == nullptr) {
            for (PyObject* item : items) Py_XDECREF(item);
            return nullptr;
        }
        for (Py_ssize_t k = 0; k < 3; ++k) PyTuple_SET_ITEM(tuple, k, items[k]);
        return tuple;
    });
}

}  // namespace

PyMethodDef uni_nonparametric_functions[2] = {
    {"uni_nonparametric_neg_ll_with_grad",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(with_grad)),
     METH_FASTCALL | METH_KEYWORDS,
     "uni_nonparametric_neg_ll_with_grad(times, t_horizon, mu, edges, values)\n--\n\n"
     "Univariate nonparametric (piecewise-constant) Hawkes neg-log-likelihood +\n"
     "closed-form gradient. `edges` is fixed during the fit; `values` (and μ)\n"
     "are the free parameters. Returns `(neg_loglik, grad_mu, grad_values)`."},
    {"uni_nonparametric_neg_ll",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(value)),
     METH_FASTCALL | METH_KEYWORDS,
     "uni_nonparametric_neg_ll(times, t_horizon, mu, edges, values)\n--\n\n"},
};

}  // namespace vostrel::py
