// Method bodies shared by the three kernel classes. Each is a template over the kernel type and
// the method's parameter table, and follows the same order: match the arguments, take the
// receiver (shared use, or exclusive use for scale), convert, check contiguity, compute.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "python/boundary.hpp"

namespace vostrel::py::kernel_methods {

template <class F>
PyCFunction fastcall(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// method(t) over an array of lags -> new array.
template <class T, const Signature& S, std::vector<double> (T::*Method)(std::span<const double>) const>
PyObject* lag_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(S);
        if (!arguments.match(args, nargs, kwnames)) return nullptr;
        Instance<T>* instance = instance_of<T>(self);
        SharedUse use(instance->borrow);
        if (!use) return nullptr;
        ArrayF64 t;
        if (!arguments.convert(t) || !require_contiguous(t)) return nullptr;
        return to_python((instance->value.*Method)(t.span()));
    });
}

// method(x) over one double -> float.
template <class T, const Signature& S, double (T::*Method)(double) const>
PyObject* scalar(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(S);
        if (!arguments.match(args, nargs, kwnames)) return nullptr;
        Instance<T>* instance = instance_of<T>(self);
        SharedUse use(instance->borrow);
        if (!use) return nullptr;
        double x = 0.0;
        if (!arguments.convert(x)) return nullptr;
        return to_python((instance->value.*Method)(x));
    });
}

// method(x, y) over two doubles -> float.
template <class T, const Signature& S, double (T::*Method)(double, double) const>
PyObject* scalar2(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(S);
        if (!arguments.match(args, nargs, kwnames)) return nullptr;
        Instance<T>* instance = instance_of<T>(self);
        SharedUse use(instance->borrow);
        if (!use) return nullptr;
        double x = 0.0, y = 0.0;
        if (!arguments.convert(x, y)) return nullptr;
        return to_python((instance->value.*Method)(x, y));
    });
}

// scale(factor): the receiver is held exclusively before factor's conversion runs, so a
// __float__ that calls back into the kernel fails instead of seeing a half-done update; a
// failed conversion leaves the kernel unchanged.
template <class T, const Signature& S>
PyObject* scale(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(S);
        if (!arguments.match(args, nargs, kwnames)) return nullptr;
        Instance<T>* instance = instance_of<T>(self);
        ExclusiveUse use(instance->borrow);
        if (!use) return nullptr;
        double factor = 0.0;
        if (!arguments.convert(factor)) return nullptr;
        instance->value.scale(factor);
        Py_RETURN_NONE;
    });
}

// A no-argument method or a getter: shared use, then the value of `read`.
template <class T, class R, R (*Read)(const T&)>
PyObject* read(PyObject* self) {
    return guarded([&]() -> PyObject* {
        Instance<T>* instance = instance_of<T>(self);
        SharedUse use(instance->borrow);
        if (!use) return nullptr;
        return to_python(Read(instance->value));
    });
}

template <class T, class R, R (*Read)(const T&)>
PyObject* noargs(PyObject* self, PyObject*) {
    return read<T, R, Read>(self);
}

template <class T, class R, R (*Read)(const T&)>
PyObject* getter(PyObject* self, void*) {
    return read<T, R, Read>(self);
}

template <class T>
std::string repr_of(const T& kernel) {
    return kernel.repr();
}

template <class T>
PyObject* repr(PyObject* self) {
    return read<T, std::string, repr_of<T>>(self);
}

}  // namespace vostrel::py::kernel_methods
