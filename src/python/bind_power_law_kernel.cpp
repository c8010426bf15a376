// Python class PowerLawKernel of the kernels submodule over kernels/power_law.hpp.
#include "kernels/power_law.hpp"
#include "python/bind_kernel_types.hpp"
#include "python/kernel_methods.hpp"

namespace vostrel::py {
namespace {

using Kernel = vostrel::PowerLawKernel;
namespace km = kernel_methods;

constexpr char kClass[] = "PowerLawKernel";

const char* const kNewParams[] = {"alpha", "beta", "c"};
const char* const kNewDefaults[] = {"1.0"};
const Signature kNew{"__new__", kClass, kNewParams, 2, {}, kNewDefaults};

PyObject* construct(PyTypeObject* type, Arguments& arguments) {
    double alpha = 0.0, beta = 0.0, c = 1.0;  // c's default, as kNewDefaults shows it
    if (!arguments.convert(alpha, beta, c)) return nullptr;
    return new_instance(type, Kernel::create(alpha, beta, c));
}

const auto kMethods = km::methods<Kernel, kClass>({
    .evaluate = "φ(t) = α·(t + c)^{-(1+β)}.",
    .integrate = "Scalar integrate.",
    .integrate_vec = "Vectorized integrate.",
});

const Getter kGetters[] = {
    getter_def<Kernel, &Kernel::alpha>("alpha", ""),
    getter_def<Kernel, &Kernel::beta>("beta", ""),
    getter_def<Kernel, &Kernel::c>("c", ""),
};

ClassBinding<Kernel, kNew, construct> binding{
    .type_name = "vostrel._libvostrel.kernels.PowerLawKernel",
    .doc =
        "Power-law excitation kernel.\n\n"
        "Mirrors `python/vostrel/core/kernels/power_law`.",
    .repr = km::repr<Kernel>,
    .methods = kMethods,
    .getters = kGetters,
};

}  // namespace

PyTypeObject* power_law_kernel_type() { return binding.type(); }

}  // namespace vostrel::py
