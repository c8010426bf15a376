// Python class NonparametricKernel of the kernels submodule over kernels/nonparametric.hpp. The
// kernel owns copies of its arrays; the edges and values getters hand out fresh copies.
#include "kernels/nonparametric.hpp"
#include "python/bind_kernel_types.hpp"
#include "python/kernel_methods.hpp"

namespace vostrel::py {
namespace {

using Kernel = vostrel::NonparametricKernel;
namespace km = kernel_methods;

const char* const kNewParams[] = {"edges", "values"};
const Signature kNew{"__new__", "NonparametricKernel", kNewParams, 2};

const char* const kT[] = {"t"};
const char* const kFactor[] = {"factor"};
const Signature kEvaluate{"evaluate", "NonparametricKernel", kT, 1};
const Signature kIntegrate{"integrate", "NonparametricKernel", kT, 1};
const Signature kIntegrateVec{"integrate_vec", "NonparametricKernel", kT, 1};
const Signature kScale{"scale", "NonparametricKernel", kFactor, 1};

PyObject* new_kernel(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(kNew);
        ArrayF64 edges, values;
        if (!arguments.match(args, kwargs) || !arguments.convert(edges, values) ||
            !require_contiguous(edges, values)) {
            return nullptr;
        }
        Result<Kernel> kernel = Kernel::create(edges.span(), values.span());
        if (!kernel.ok()) {
            raise_model_error(kernel.error());
            return nullptr;
        }
        return alloc_instance(type, std::move(kernel.value()));
    });
}

std::vector<double> copy_of(const std::vector<double>& values, const char* what) {
    return allocating(what, values.size(), sizeof(double), [&] { return values; });
}
std::vector<double> edges_of(const Kernel& k) { return copy_of(k.edges(), "a copy of the edges"); }
std::vector<double> values_of(const Kernel& k) {
    return copy_of(k.values(), "a copy of the values");
}
std::uint64_t n_bins_of(const Kernel& k) { return k.n_bins(); }
double l1_norm_of(const Kernel& k) { return k.l1_norm(); }
bool recursive_form_of(const Kernel& k) { return k.has_recursive_form(); }

PyMethodDef methods[] = {
    {"evaluate", km::fastcall(km::method<Kernel, kEvaluate, &Kernel::evaluate>),
     METH_FASTCALL | METH_KEYWORDS, "evaluate($self, t)\n--\n\n"},
    {"integrate", km::fastcall(km::method<Kernel, kIntegrate, &Kernel::integrate>),
     METH_FASTCALL | METH_KEYWORDS, "integrate($self, t)\n--\n\n"},
    {"integrate_vec", km::fastcall(km::method<Kernel, kIntegrateVec, &Kernel::integrate_vec>),
     METH_FASTCALL | METH_KEYWORDS, "integrate_vec($self, t)\n--\n\n"},
    {"l1_norm", reinterpret_cast<PyCFunction>(km::noargs<Kernel, double, l1_norm_of>), METH_NOARGS,
     "l1_norm($self)\n--\n\n"},
    {"scale", km::fastcall(km::scale<Kernel, kScale>), METH_FASTCALL | METH_KEYWORDS,
     "scale($self, factor)\n--\n\n"},
    {"has_recursive_form",
     reinterpret_cast<PyCFunction>(km::noargs<Kernel, bool, recursive_form_of>), METH_NOARGS,
     "has_recursive_form($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"edges", km::getter<Kernel, std::vector<double>, edges_of>, nullptr, "", nullptr},
    {"values", km::getter<Kernel, std::vector<double>, values_of>, nullptr, "", nullptr},
    {"n_bins", km::getter<Kernel, std::uint64_t, n_bins_of>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_kernel)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<Kernel>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_repr, reinterpret_cast<void*>(km::repr<Kernel>)},
    {Py_tp_doc, const_cast<char*>("NonparametricKernel(edges, values)\n--\n\n"
                                  "Nonparametric (piecewise-constant) excitation kernel.\n\n"
                                  "Mirrors `python/vostrel/core/kernels/nonparametric`.")},
    {0, nullptr},
};

PyType_Spec type_spec{"vostrel._libvostrel.kernels.NonparametricKernel",
                 static_cast<int>(sizeof(Instance<Kernel>)), 0,
                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};

PyTypeObject* cached_type = nullptr;

}  // namespace

PyTypeObject* nonparametric_kernel_type() { return create_class(&type_spec, cached_type); }

}  // namespace vostrel::py
