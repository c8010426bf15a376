// Python class NonparametricKernel of the kernels submodule over kernels/nonparametric.hpp. The
// kernel owns copies of its arrays; the edges and values getters hand out fresh copies.
#include "kernels/nonparametric.hpp"
#include "python/bind_kernel_types.hpp"
#include "python/kernel_methods.hpp"

namespace vostrel::py {
namespace {

using Kernel = vostrel::NonparametricKernel;
namespace km = kernel_methods;

constexpr char kClass[] = "NonparametricKernel";

const char* const kNewParams[] = {"edges", "values"};
const Signature kNew{"__new__", kClass, kNewParams, 2};

PyObject* construct(PyTypeObject* type, Arguments& arguments) {
    ArrayF64 edges, values;
    if (!arguments.convert(edges, values) || !require_contiguous(edges, values)) return nullptr;
    return new_instance(type, Kernel::create(edges.span(), values.span()));
}

const auto kMethods = km::methods<Kernel, kClass>({});

// The getters' copies of the kernel's arrays, whose failure names what could not be copied.
std::vector<double> copy_of(const std::vector<double>& values, const char* what) {
    return allocating(what, values.size(), sizeof(double), [&] { return values; });
}
std::vector<double> edges_of(const Kernel& k) { return copy_of(k.edges(), "a copy of the edges"); }
std::vector<double> values_of(const Kernel& k) {
    return copy_of(k.values(), "a copy of the values");
}

const Getter kGetters[] = {
    getter_def<Kernel, edges_of>("edges", ""),
    getter_def<Kernel, values_of>("values", ""),
    getter_def<Kernel, &Kernel::n_bins>("n_bins", ""),
};

ClassBinding<Kernel, kNew, construct> binding{
    .type_name = "vostrel._libvostrel.kernels.NonparametricKernel",
    .doc =
        "Nonparametric (piecewise-constant) excitation kernel.\n\n"
        "Mirrors `python/vostrel/core/kernels/nonparametric`.",
    .repr = km::repr<Kernel>,
    .methods = kMethods,
    .getters = kGetters,
};

}  // namespace

PyTypeObject* nonparametric_kernel_type() { return binding.type(); }

}  // namespace vostrel::py
