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

constexpr char kClass[] = "MvExpRecursiveLogLik";

const char* const kNewParams[] = {"timestamps", "end_time", "decay"};
const Signature kNew{"__new__", kClass, kNewParams, 3};
const char* const kLossParams[] = {"coeffs"};
const Signature kLoss{"loss", kClass, kLossParams, 1};
const char* const kGradParams[] = {"coeffs", "out"};
const Signature kLossAndGrad{"loss_and_grad", kClass, kGradParams, 2};

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

PyObject* construct(PyTypeObject* type, Arguments& arguments) {
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
    return new_instance(type, Model::create(timestamps, end_time, decay));
}

PyObject* loss(const Model& model, Arguments& arguments) {
    ArrayF64 coeffs;
    if (!arguments.convert(coeffs) || !require_contiguous(coeffs)) return nullptr;
    return to_python(model.loss(coeffs.span()));
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

PyObject* loss_and_grad(const Model& model, Arguments& arguments) {
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
    Result<double> result = model.loss_and_grad(coeffs.span(), out.span());
    if (result.ok()) out.commit();
    return to_python(std::move(result));
}

std::string repr(const Model& m) {
    return "MvExpRecursiveLogLik(n_dims=" + format_uint(m.n_dims()) +
           ", end_time=" + format_double(m.end_time()) + ", decay=" + format_double(m.decay()) +
           ", n_total_jumps=" + format_uint(m.n_total_jumps()) + ")";
}

const Method kMethods[] = {
    method_def<Model, kLossAndGrad, Use::Shared, loss_and_grad>(
        "Compute neg-log-likelihood and gradient. `out` is mutated in place.\n"
        "Returns the loss as a Python float."),
    method_def<Model, kLoss, Use::Shared, loss>(
        "Value-only entry point (~5\u201310% cheaper than `loss_and_grad`)."),
};

const Getter kGetters[] = {
    getter_def<Model, &Model::n_dims>("n_dims"),
    getter_def<Model, &Model::end_time>("end_time"),
    getter_def<Model, &Model::decay>("decay"),
    getter_def<Model, &Model::n_total_jumps>("n_total_jumps"),
    getter_def<Model, &Model::n_coeffs>("n_coeffs"),
};

ClassBinding<Model, kNew, construct> binding{
    .type_name = "vostrel._libvostrel.likelihood.MvExpRecursiveLogLik",
    .doc =
        "Multivariate exp Hawkes negative log-likelihood model with a fixed\n"
        "(shared) decay \u03b2.\n"
        "The model returns the unnormalized loss (no division by `n_total_jumps`).\n\n"
        "Construct once with `(timestamps, end_time, decay)`; weights are\n"
        "precomputed eagerly. Then call `loss_and_grad(coeffs, out)` repeatedly\n"
        "inside the L-BFGS-B loop. \u03b2 is fixed; only \u03bc and \u03b1 are fit.\n\n"
        "Coefficient layout: `[\u03bc_0..\u03bc_{M-1}, \u03b1_{0,:}, \u03b1_{1,:}, ..., "
        "\u03b1_{M-1,:}]`,\n"
        "length `M + M\u00b7M`.",
    .repr = read<Model, repr>,
    .methods = kMethods,
    .getters = kGetters,
};

}  // namespace

PyTypeObject* mv_exp_recursive_type() { return binding.type(); }

}  // namespace vostrel::py
