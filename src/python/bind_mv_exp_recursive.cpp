// Python class MvExpRecursiveLogLik of the likelihood submodule over
// likelihood/mv_exp_recursive.hpp: construction copies the caller's event arrays (the core
// copies them, checking them in the same pass), loss and
// loss_and_grad evaluate the stored model, loss_and_grad writing the gradient into `out`.
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/format.hpp"
#include "likelihood/mv_exp_recursive.hpp"
#include "python/boundary.hpp"

namespace vostrel::py {
namespace {

using Model = likelihood::MvExpRecursiveModel;

const char* const kNewParams[] = {"timestamps", "end_time", "decay"};
const Signature kNew{"__new__", "MvExpRecursiveLogLik", kNewParams, 3};
const char* const kLossParams[] = {"coeffs"};
const Signature kLoss{"loss", "MvExpRecursiveLogLik", kLossParams, 1};
const char* const kGradParams[] = {"coeffs", "out"};
const Signature kLossAndGrad{"loss_and_grad", "MvExpRecursiveLogLik", kGradParams, 2};

// Checks one element of `timestamps` (type, stride and contiguity in that order) and points
// `times` at its values. A buffer not aligned for double is first copied, byte for byte, into
// `aligned`. Returns false with the exception set.
bool view_dimension(PyObject* element, std::span<const double>& times,
                    std::vector<double>& aligned) {
    ArrayInfo info;
    if (!inspect_array(element, info)) return false;
    if (!info.is_array || info.ndim != 1 || !info.is_float64) {
        PyErr_SetString(PyExc_TypeError,
                        "each element of `timestamps` must be a 1-D float64 NumPy array");
        return false;
    }
    // A reversed or strided view is refused even when NumPy would call it contiguous.
    if (info.size > 1 && info.stride / static_cast<std::ptrdiff_t>(sizeof(double)) != 1) {
        PyErr_SetString(PyExc_ValueError,
                        "timestamps arrays must be C-contiguous (use np.ascontiguousarray)");
        return false;
    }
    if (!info.contiguous_flag) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
        return false;
    }
    if (info.size == 0) {
        times = {};
    } else if (reinterpret_cast<std::uintptr_t>(info.data) % alignof(double) == 0) {
        times = {info.data, static_cast<std::size_t>(info.size)};
    } else {
        allocating("an aligned copy of an event array", info.size, sizeof(double),
                   [&] { aligned.resize(info.size); });
        std::memcpy(aligned.data(), info.data, info.size * sizeof(double));
        times = aligned;
    }
    return true;
}

PyObject* new_model(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(kNew);
        if (!arguments.match(args, kwargs)) return nullptr;
        // end_time and decay convert before the list is read: their __float__ may change it.
        ListArg list_arg;
        double end_time = 0.0, decay = 0.0;
        if (!arguments.convert(list_arg, end_time, decay)) return nullptr;
        PyObject* list = list_arg.object;
        // Every element is checked first, then the core copies them all. A copy of the list
        // holds a reference to each array until then, so nothing the inspections could run
        // (a dtype's or buffer's code) can drop an array whose values are still to be read.
        const std::unique_ptr<PyObject, void (*)(PyObject*)> held(
            PyList_GetSlice(list, 0, PyList_GET_SIZE(list)), [](PyObject* o) { Py_XDECREF(o); });
        if (held == nullptr) return nullptr;
        const std::size_t M = static_cast<std::size_t>(PyList_GET_SIZE(held.get()));
        std::vector<std::span<const double>> timestamps(M);
        std::vector<std::vector<double>> aligned(M);
        for (std::size_t d = 0; d < M; ++d) {
            PyObject* element = PyList_GET_ITEM(held.get(), static_cast<Py_ssize_t>(d));
            if (!view_dimension(element, timestamps[d], aligned[d])) return nullptr;
        }
        Result<Model> model = Model::create(timestamps, end_time, decay);
        if (!model.ok()) {
            raise_model_error(model.error());
            return nullptr;
        }
        return alloc_instance(type, std::move(model.value()));
    });
}

PyObject* loss(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(kLoss);
        if (!arguments.match(args, nargs, kwnames)) return nullptr;
        Instance<Model>* instance = instance_of<Model>(self);
        SharedUse use(instance->borrow);
        if (!use) return nullptr;
        ArrayF64 coeffs;
        if (!arguments.convert(coeffs) || !require_contiguous(coeffs)) return nullptr;
        return to_python(instance->value.loss(coeffs.span()));
    });
}

// A read-only `out`, or one sharing memory with `coeffs`, is a caller's mistake, so it is an
// ordinary ValueError (catchable by `except Exception`) whose text ends with the refusal's name.
void raise_refusal(ArrayF64Out::Refusal refusal) {
    if (refusal == ArrayF64Out::Refusal::NotWriteable) {
        PyErr_SetString(PyExc_ValueError, "`out` must be a writeable array: NotWriteable");
    } else {
        PyErr_SetString(PyExc_ValueError,
                        "`out` must not share memory with `coeffs`: AlreadyBorrowed");
    }
}

PyObject* loss_and_grad(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(kLossAndGrad);
        if (!arguments.match(args, nargs, kwnames)) return nullptr;
        Instance<Model>* instance = instance_of<Model>(self);
        SharedUse use(instance->borrow);
        if (!use) return nullptr;
        ArrayF64 coeffs;
        ArrayF64Out out;
        if (!arguments.convert(coeffs, out) || !require_contiguous(coeffs)) return nullptr;
        const ArrayF64Out::Refusal refusal = out.acquire({&coeffs});
        if (refusal != ArrayF64Out::Refusal::None) {
            raise_refusal(refusal);
            return nullptr;
        }
        if (!require_contiguous(out)) return nullptr;
        // The lengths are checked before anything is written, so a failure leaves `out` as it was.
        Result<double> result = instance->value.loss_and_grad(coeffs.span(), out.span());
        if (result.ok()) out.commit();
        return to_python(std::move(result));
    });
}

template <class R, R (*Read)(const Model&)>
PyObject* getter(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Instance<Model>* instance = instance_of<Model>(self);
        SharedUse use(instance->borrow);
        if (!use) return nullptr;
        return to_python(Read(instance->value));
    });
}

std::uint64_t n_dims_of(const Model& m) { return m.n_dims(); }
double end_time_of(const Model& m) { return m.end_time(); }
double decay_of(const Model& m) { return m.decay(); }
std::uint64_t n_total_jumps_of(const Model& m) { return m.n_total_jumps(); }
std::uint64_t n_coeffs_of(const Model& m) { return m.n_coeffs(); }

PyObject* repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        Instance<Model>* instance = instance_of<Model>(self);
        SharedUse use(instance->borrow);
        if (!use) return nullptr;
        const Model& m = instance->value;
        return to_python("MvExpRecursiveLogLik(n_dims=" + format_uint(m.n_dims()) +
                         ", end_time=" + format_double(m.end_time()) +
                         ", decay=" + format_double(m.decay()) +
                         ", n_total_jumps=" + format_uint(m.n_total_jumps()) + ")");
    });
}

template <class F>
PyCFunction fastcall(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"loss_and_grad", fastcall(loss_and_grad), METH_FASTCALL | METH_KEYWORDS,
     "loss_and_grad($self, coeffs, out)\n--\n\n"
     "Compute neg-log-likelihood and gradient. `out` is mutated in place.\n"
     "Returns the loss as a Python float."},
    {"loss", fastcall(loss), METH_FASTCALL | METH_KEYWORDS,
     "loss($self, coeffs)\n--\n\n"
     "Value-only entry point (~5\u201310% cheaper than `loss_and_grad`)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"n_dims", getter<std::uint64_t, n_dims_of>, nullptr, nullptr, nullptr},
    {"end_time", getter<double, end_time_of>, nullptr, nullptr, nullptr},
    {"decay", getter<double, decay_of>, nullptr, nullptr, nullptr},
    {"n_total_jumps", getter<std::uint64_t, n_total_jumps_of>, nullptr, nullptr, nullptr},
    {"n_coeffs", getter<std::uint64_t, n_coeffs_of>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_model)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<Model>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_doc,
     const_cast<char*>(
         "MvExpRecursiveLogLik(timestamps, end_time, decay)\n--\n\n"
         "Multivariate exp Hawkes negative log-likelihood model with a fixed\n"
         "(shared) decay \u03b2.\n"
         "The model returns the unnormalized loss (no division by `n_total_jumps`).\n\n"
         "Construct once with `(timestamps, end_time, decay)`; weights are\n"
         "precomputed eagerly. Then call `loss_and_grad(coeffs, out)` repeatedly\n"
         "inside the L-BFGS-B loop. \u03b2 is fixed; only \u03bc and \u03b1 are fit.\n\n"
         "Coefficient layout: `[\u03bc_0..\u03bc_{M-1}, \u03b1_{0,:}, \u03b1_{1,:}, ..., "
         "\u03b1_{M-1,:}]`,\n"
         "length `M + M\u00b7M`.")},
    {0, nullptr},
};

PyType_Spec type_spec{"vostrel._libvostrel.likelihood.MvExpRecursiveLogLik",
                 static_cast<int>(sizeof(Instance<Model>)), 0,
                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};

PyTypeObject* cached_type = nullptr;

}  // namespace

PyTypeObject* mv_exp_recursive_type() { return create_class(&type_spec, cached_type); }

}  // namespace vostrel::py
