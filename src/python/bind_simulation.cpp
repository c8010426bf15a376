// The simulation submodule: the four simulators, bound in their fixed order (thinning, then
// branching; univariate before multivariate). Each call seeds its own random stream.
#include "python/boundary.hpp"
#include "simulation/cluster.hpp"
#include "simulation/thinning.hpp"

namespace vostrel::py {
namespace {

const char* const kParams[] = {"t_horizon", "mu", "alpha", "beta", "seed"};
const Signature kUniHawkes{"simulate_uni_exp_hawkes", nullptr, kParams, 5};
const Signature kMvHawkes{"simulate_mv_exp_hawkes", nullptr, kParams, 5};
const Signature kUniBranching{"simulate_uni_exp_branching", nullptr, kParams, 5};
const Signature kMvBranching{"simulate_mv_exp_branching", nullptr, kParams, 5};

template <class Simulate>
PyObject* call_uni(const Signature& signature, Simulate simulate, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(signature);
        double t_horizon = 0.0, mu = 0.0, alpha = 0.0, beta = 0.0;
        std::uint64_t seed = 0;
        if (!arguments.match(args, nargs, kwnames) ||
            !arguments.convert(t_horizon, mu, alpha, beta, seed)) {
            return nullptr;
        }
        return to_python(simulate(t_horizon, mu, alpha, beta, seed));
    });
}

template <class Simulate>
PyObject* call_mv(const Signature& signature, Simulate simulate, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(signature);
        double t_horizon = 0.0, beta = 0.0;
        ArrayF64 mu, alpha;
        std::uint64_t seed = 0;
        if (!arguments.match(args, nargs, kwnames) ||
            !arguments.convert(t_horizon, mu, alpha, beta, seed) ||
            !require_contiguous(mu, alpha)) {
            return nullptr;
        }
        return to_python(simulate(t_horizon, mu.span(), alpha.span(), beta, seed));
    });
}

PyObject* uni_hawkes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto simulate = [](auto... a) { return simulate_uni_exp_hawkes(a...); };
    return call_uni(kUniHawkes, simulate, args, nargs, kwnames);
}
PyObject* mv_hawkes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto simulate = [](auto... a) { return simulate_mv_exp_hawkes(a...); };
    return call_mv(kMvHawkes, simulate, args, nargs, kwnames);
}
PyObject* uni_branching(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto simulate = [](auto... a) { return simulate_uni_exp_branching(a...); };
    return call_uni(kUniBranching, simulate, args, nargs, kwnames);
}
PyObject* mv_branching(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto simulate = [](auto... a) { return simulate_mv_exp_branching(a...); };
    return call_mv(kMvBranching, simulate, args, nargs, kwnames);
}

template <class F>
PyCFunction as_method(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef simulation_functions[4] = {
    {"simulate_uni_exp_hawkes", as_method(uni_hawkes), METH_FASTCALL | METH_KEYWORDS,
     "simulate_uni_exp_hawkes(t_horizon, mu, alpha, beta, seed)\n--\n\n"
     "Univariate ExponentialKernel Hawkes via Ogata thinning.\n"
     "Returns a 1-D float64 NumPy array of sorted event times."},
    {"simulate_mv_exp_hawkes", as_method(mv_hawkes), METH_FASTCALL | METH_KEYWORDS,
     "simulate_mv_exp_hawkes(t_horizon, mu, alpha, beta, seed)\n--\n\n"
     "Multivariate ExponentialKernel Hawkes (shared β) via Ogata thinning.\n"
     "Returns a Python list of M 1-D float64 NumPy arrays."},
    {"simulate_uni_exp_branching", as_method(uni_branching), METH_FASTCALL | METH_KEYWORDS,
     "simulate_uni_exp_branching(t_horizon, mu, alpha, beta, seed)\n--\n\n"
     "Univariate ExponentialKernel Hawkes via branching (Galton-Watson).\n"
     "Faster than thinning for near-critical α; same statistical distribution."},
    {"simulate_mv_exp_branching", as_method(mv_branching), METH_FASTCALL | METH_KEYWORDS,
     "simulate_mv_exp_branching(t_horizon, mu, alpha, beta, seed)\n--\n\n"
     "Multivariate ExponentialKernel Hawkes (shared β) via branching."},
};

}  // namespace

int init_simulation(PyObject* module) {
    for (PyMethodDef& def : simulation_functions) {
        if (add_function(module, &def) < 0) return -1;
    }
    return 0;
}

}  // namespace vostrel::py
