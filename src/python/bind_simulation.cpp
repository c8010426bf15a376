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

// Each simulator is passed as a captureless lambda type, so one body serves both constructions.
template <class Simulate>
PyObject* call_uni(Arguments& arguments) {
    double t_horizon = 0.0, mu = 0.0, alpha = 0.0, beta = 0.0;
    std::uint64_t seed = 0;
    if (!arguments.convert(t_horizon, mu, alpha, beta, seed)) return nullptr;
    return to_python(Simulate{}(t_horizon, mu, alpha, beta, seed));
}

template <class Simulate>
PyObject* call_mv(Arguments& arguments) {
    double t_horizon = 0.0, beta = 0.0;
    ArrayF64 mu, alpha;
    std::uint64_t seed = 0;
    if (!arguments.convert(t_horizon, mu, alpha, beta, seed) || !require_contiguous(mu, alpha)) {
        return nullptr;
    }
    return to_python(Simulate{}(t_horizon, mu.span(), alpha.span(), beta, seed));
}

using UniHawkes = decltype([](auto... a) { return simulate_uni_exp_hawkes(a...); });
using MvHawkes = decltype([](auto... a) { return simulate_mv_exp_hawkes(a...); });
using UniBranching = decltype([](auto... a) { return simulate_uni_exp_branching(a...); });
using MvBranching = decltype([](auto... a) { return simulate_mv_exp_branching(a...); });

Function simulation_functions[4] = {
    module_function<&kUniHawkes, call_uni<UniHawkes>>(
        "Univariate ExponentialKernel Hawkes via Ogata thinning.\n"
        "Returns a 1-D float64 NumPy array of sorted event times."),
    module_function<&kMvHawkes, call_mv<MvHawkes>>(
        "Multivariate ExponentialKernel Hawkes (shared β) via Ogata thinning.\n"
        "Returns a Python list of M 1-D float64 NumPy arrays."),
    module_function<&kUniBranching, call_uni<UniBranching>>(
        "Univariate ExponentialKernel Hawkes via branching (Galton-Watson).\n"
        "Faster than thinning for near-critical α; same statistical distribution."),
    module_function<&kMvBranching, call_mv<MvBranching>>(
        "Multivariate ExponentialKernel Hawkes (shared β) via branching."),
};

}  // namespace

int init_simulation(PyObject* module) {
    for (Function& function : simulation_functions) {
        if (add_function(module, function) < 0) return -1;
    }
    return 0;
}

}  // namespace vostrel::py
