// Python class ExponentialKernel of the kernels submodule over kernels/exponential.hpp.
#include "kernels/exponential.hpp"
#include "python/bind_kernel_types.hpp"
#include "python/kernel_methods.hpp"

namespace vostrel::py {
namespace {

using vostrel::ExponentialKernel;
using Kernel = ExponentialKernel;
namespace km = kernel_methods;

const char* const kNewParams[] = {"alpha", "beta"};
const char* const kNewKeywordOnly[] = {"allow_signed"};
const Signature kNew{"__new__", "ExponentialKernel", kNewParams, 2, kNewKeywordOnly};

const char* const kT[] = {"t"};
const char* const kFactor[] = {"factor"};
const char* const kState[] = {"state"};
const char* const kStateDt[] = {"state", "dt"};
const Signature kEvaluate{"evaluate", "ExponentialKernel", kT, 1};
const Signature kIntegrate{"integrate", "ExponentialKernel", kT, 1};
const Signature kIntegrateVec{"integrate_vec", "ExponentialKernel", kT, 1};
const Signature kScale{"scale", "ExponentialKernel", kFactor, 1};
const Signature kStateUpdate{"recursive_state_update", "ExponentialKernel", kStateDt, 2};
const Signature kDecay{"recursive_decay", "ExponentialKernel", kStateDt, 2};
const Signature kAbsorb{"recursive_absorb", "ExponentialKernel", kState, 1};
const Signature kExcitation{"recursive_intensity_excitation", "ExponentialKernel", kState, 1};

PyObject* new_kernel(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(kNew);
        double alpha = 0.0, beta = 0.0;
        bool allow_signed = false;
        if (!arguments.match(args, kwargs) || !arguments.convert(alpha, beta, allow_signed)) {
            return nullptr;
        }
        Result<Kernel> kernel = Kernel::create(alpha, beta, allow_signed);
        if (!kernel.ok()) {
            raise_model_error(kernel.error());
            return nullptr;
        }
        return alloc_instance(type, std::move(kernel.value()));
    });
}

double alpha_of(const Kernel& k) { return k.alpha(); }
double beta_of(const Kernel& k) { return k.beta(); }
bool allow_signed_of(const Kernel& k) { return k.allow_signed(); }
double l1_norm_of(const Kernel& k) { return k.l1_norm(); }
bool recursive_form_of(const Kernel& k) { return k.has_recursive_form(); }

PyMethodDef methods[] = {
    {"evaluate", as_py_function(km::method<Kernel, kEvaluate, &Kernel::evaluate>),
     METH_FASTCALL | METH_KEYWORDS,
     "evaluate($self, t)\n--\n\n"
     "φ(t) = α·β·exp(-β·t). Accepts a NumPy 1-D array of lags."},
    {"integrate", as_py_function(km::method<Kernel, kIntegrate, &Kernel::integrate>),
     METH_FASTCALL | METH_KEYWORDS,
     "integrate($self, t)\n--\n\n"
     "∫₀^t φ(τ)dτ = α·(1 - exp(-β·t)). Scalar input."},
    {"integrate_vec", as_py_function(km::method<Kernel, kIntegrateVec, &Kernel::integrate_vec>),
     METH_FASTCALL | METH_KEYWORDS,
     "integrate_vec($self, t)\n--\n\n"
     "Vectorized integrate: applies `integrate(t_i)` element-wise."},
    {"l1_norm", as_py_function(km::noargs<Kernel, double, l1_norm_of>), METH_NOARGS,
     "l1_norm($self)\n--\n\nL1 norm = |α|."},
    {"scale", as_py_function(km::scale<Kernel, kScale>), METH_FASTCALL | METH_KEYWORDS,
     "scale($self, factor)\n--\n\nMultiply α in-place by `factor`."},
    {"has_recursive_form",
     as_py_function(km::noargs<Kernel, bool, recursive_form_of>), METH_NOARGS,
     "has_recursive_form($self)\n--\n\n"
     "Whether the kernel admits the O(N) recursive likelihood path."},
    {"recursive_state_update",
     as_py_function(km::method<Kernel, kStateUpdate, &Kernel::recursive_state_update>),
     METH_FASTCALL | METH_KEYWORDS,
     "recursive_state_update($self, state, dt)\n--\n\nR_i = exp(-β·dt)·(1 + R_{i-1})."},
    {"recursive_decay", as_py_function(km::method<Kernel, kDecay, &Kernel::recursive_decay>),
     METH_FASTCALL | METH_KEYWORDS,
     "recursive_decay($self, state, dt)\n--\n\nDecay-only step: R_dec = exp(-β·dt)·R."},
    {"recursive_absorb", as_py_function(km::method<Kernel, kAbsorb, &Kernel::recursive_absorb>),
     METH_FASTCALL | METH_KEYWORDS,
     "recursive_absorb($self, state)\n--\n\nPost-event absorb: R⁺ = R + 1."},
    {"recursive_intensity_excitation",
     as_py_function(km::method<Kernel, kExcitation, &Kernel::recursive_intensity_excitation>),
     METH_FASTCALL | METH_KEYWORDS,
     "recursive_intensity_excitation($self, state)\n--\n\nα·β·R."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"alpha", km::getter<Kernel, double, alpha_of>, nullptr, "", nullptr},
    {"beta", km::getter<Kernel, double, beta_of>, nullptr, "", nullptr},
    {"allow_signed", km::getter<Kernel, bool, allow_signed_of>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_kernel)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<Kernel>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_repr, reinterpret_cast<void*>(km::repr<Kernel>)},
    {Py_tp_doc, const_cast<char*>("ExponentialKernel(alpha, beta, *, allow_signed=False)\n--\n\n"
                                  "Exponential Hawkes excitation kernel.\n\n"
                                  "Mirrors `python/vostrel/core/kernels/exponential`.")},
    {0, nullptr},
};

PyType_Spec type_spec{"vostrel._libvostrel.kernels.ExponentialKernel",
                 static_cast<int>(sizeof(Instance<Kernel>)), 0,
                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};

PyTypeObject* cached_type = nullptr;

}  // namespace

PyTypeObject* exponential_kernel_type() { return create_class(&type_spec, cached_type); }

}  // namespace vostrel::py
