// Python class ExponentialKernel of the kernels submodule over kernels/exponential.hpp.
#include "kernels/exponential.hpp"
#include "python/bind_kernel_types.hpp"
#include "python/kernel_methods.hpp"

namespace vostrel::py {
namespace {

using Kernel = vostrel::ExponentialKernel;
namespace km = kernel_methods;

constexpr char kClass[] = "ExponentialKernel";

const char* const kNewParams[] = {"alpha", "beta"};
const char* const kNewKeywordOnly[] = {"allow_signed"};
const char* const kNewDefaults[] = {"False"};
const Signature kNew{"__new__", kClass, kNewParams, 2, kNewKeywordOnly, kNewDefaults};

const char* const kState[] = {"state"};
const char* const kStateDt[] = {"state", "dt"};
const Signature kStateUpdate{"recursive_state_update", kClass, kStateDt, 2};
const Signature kDecay{"recursive_decay", kClass, kStateDt, 2};
const Signature kAbsorb{"recursive_absorb", kClass, kState, 1};
const Signature kExcitation{"recursive_intensity_excitation", kClass, kState, 1};

PyObject* construct(PyTypeObject* type, Arguments& arguments) {
    double alpha = 0.0, beta = 0.0;
    bool allow_signed = false;
    if (!arguments.convert(alpha, beta, allow_signed)) return nullptr;
    return new_instance(type, Kernel::create(alpha, beta, allow_signed));
}

const auto kMethods = km::methods<Kernel, kClass>(
    {
        .evaluate = "φ(t) = α·β·exp(-β·t). Accepts a NumPy 1-D array of lags.",
        .integrate = "∫₀^t φ(τ)dτ = α·(1 - exp(-β·t)). Scalar input.",
        .integrate_vec = "Vectorized integrate: applies `integrate(t_i)` element-wise.",
        .l1_norm = "L1 norm = |α|.",
        .scale = "Multiply α in-place by `factor`.",
        .has_recursive_form = "Whether the kernel admits the O(N) recursive likelihood path.",
    },
    std::array{
        km::compute_def<Kernel, kStateUpdate, &Kernel::recursive_state_update>(
            "R_i = exp(-β·dt)·(1 + R_{i-1})."),
        km::compute_def<Kernel, kDecay, &Kernel::recursive_decay>(
            "Decay-only step: R_dec = exp(-β·dt)·R."),
        km::compute_def<Kernel, kAbsorb, &Kernel::recursive_absorb>(
            "Post-event absorb: R⁺ = R + 1."),
        km::compute_def<Kernel, kExcitation, &Kernel::recursive_intensity_excitation>("α·β·R."),
    });

const Getter kGetters[] = {
    getter_def<Kernel, &Kernel::alpha>("alpha", ""),
    getter_def<Kernel, &Kernel::beta>("beta", ""),
    getter_def<Kernel, &Kernel::allow_signed>("allow_signed", ""),
};

ClassBinding<Kernel, kNew, construct> binding{
    .type_name = "vostrel._libvostrel.kernels.ExponentialKernel",
    .doc =
        "Exponential Hawkes excitation kernel.\n\n"
        "Mirrors `python/vostrel/core/kernels/exponential`.",
    .repr = km::repr<Kernel>,
    .methods = kMethods,
    .getters = kGetters,
};

}  // namespace

PyTypeObject* exponential_kernel_type() { return binding.type(); }

}  // namespace vostrel::py
