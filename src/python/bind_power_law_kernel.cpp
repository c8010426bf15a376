// Python class PowerLawKernel of the kernels submodule over kernels/power_law.hpp.
#include "kernels/power_law.hpp"
#include "python/bind_kernel_types.hpp"
#include "python/kernel_methods.hpp"

namespace vostrel::py {
namespace {

using Kernel = vostrel::PowerLawKernel;
namespace km = kernel_methods;

const char* const kNewParams[] = {"alpha", "beta", "c"};
const Signature kNew{"__new__", "PowerLawKernel", kNewParams, 2};

const char* const kT[] = {"t"};
const char* const kFactor[] = {"factor"};
const Signature kEvaluate{"evaluate", "PowerLawKernel", kT, 1};
const Signature kIntegrate{"integrate", "PowerLawKernel", kT, 1};
const Signature kIntegrateVec{"integrate_vec", "PowerLawKernel", kT, 1};
const Signature kScale{"scale", "PowerLawKernel", kFactor, 1};

PyObject* new_kernel(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(kNew);
        double alpha = 0.0, beta = 0.0, c = 1.0;
        if (!arguments.match(args, kwargs) || !arguments.convert(alpha, beta, c)) return nullptr;
        Result<Kernel> kernel = Kernel::create(alpha, beta, c);
        if (!kernel.ok()) {
            raise_model_error(kernel.error());
            return nullptr;
        }
        return alloc_instance(type, std::move(kernel.value()));
    });
}

double alpha_of(const Kernel& k) { return k.alpha(); }
double beta_of(const Kernel& k) { return k.beta(); }
double c_of(const Kernel& k) { return k.c(); }
double l1_norm_of(const Kernel& k) { return k.l1_norm(); }
bool recursive_form_of(const Kernel& k) { return k.has_recursive_form(); }

PyMethodDef methods[] = {
    {"evaluate", as_py_function(km::method<Kernel, kEvaluate, &Kernel::evaluate>),
     METH_FASTCALL | METH_KEYWORDS, "evaluate($self, t)\n--\n\nφ(t) = α·(t + c)^{-(1+β)}."},
    {"integrate", as_py_function(km::method<Kernel, kIntegrate, &Kernel::integrate>),
     METH_FASTCALL | METH_KEYWORDS, "integrate($self, t)\n--\n\nScalar integrate."},
    {"integrate_vec", as_py_function(km::method<Kernel, kIntegrateVec, &Kernel::integrate_vec>),
     METH_FASTCALL | METH_KEYWORDS, "integrate_vec($self, t)\n--\n\nVectorized integrate."},
    {"l1_norm", as_py_function(km::noargs<Kernel, double, l1_norm_of>), METH_NOARGS,
     "l1_norm($self)\n--\n\n"},
    {"scale", as_py_function(km::scale<Kernel, kScale>), METH_FASTCALL | METH_KEYWORDS,
     "scale($self, factor)\n--\n\n"},
    {"has_recursive_form",
     as_py_function(km::noargs<Kernel, bool, recursive_form_of>), METH_NOARGS,
     "has_recursive_form($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"alpha", km::getter<Kernel, double, alpha_of>, nullptr, "", nullptr},
    {"beta", km::getter<Kernel, double, beta_of>, nullptr, "", nullptr},
    {"c", km::getter<Kernel, double, c_of>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_kernel)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<Kernel>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_repr, reinterpret_cast<void*>(km::repr<Kernel>)},
    {Py_tp_doc, const_cast<char*>("PowerLawKernel(alpha, beta, c=1.0)\n--\n\n"
                                  "Power-law excitation kernel.\n\n"
                                  "Mirrors `python/vostrel/core/kernels/power_law`.")},
    {0, nullptr},
};

PyType_Spec type_spec{"vostrel._libvostrel.kernels.PowerLawKernel",
                 static_cast<int>(sizeof(Instance<Kernel>)), 0,
                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};

PyTypeObject* cached_type = nullptr;

}  // namespace

PyTypeObject* power_law_kernel_type() { return create_class(&type_spec, cached_type); }

}  // namespace vostrel::py
