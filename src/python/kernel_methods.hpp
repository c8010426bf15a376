// Method bodies shared by the three kernel classes. Each is a template over the kernel type and
// the method's parameter table, and follows the same order: match the arguments, take the
// receiver (shared use, or exclusive use for scale), convert, check contiguity, compute.
#pragma once

#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "python/boundary.hpp"

namespace vostrel::py::kernel_methods {

// What a method parameter converts from: lags arrive as an array view, scalars as doubles.
template <class P>
struct ArgumentFor {
    using type = double;
};
template <>
struct ArgumentFor<std::span<const double>> {
    using type = ArrayF64;
};

template <class M>
struct MethodTraits;
template <class T, class R, class... P>
struct MethodTraits<R (T::*)(P...) const> {
    using Arguments = std::tuple<typename ArgumentFor<std::decay_t<P>>::type...>;
};

inline bool contiguous_if_array(const ArrayF64& a) { return require_contiguous(a); }
inline bool contiguous_if_array(double) { return true; }
inline std::span<const double> pass(const ArrayF64& a) { return a.span(); }
inline double pass(double x) { return x; }

// A read-only method of T taking doubles and lag arrays: match, take the receiver for shared
// use, convert in parameter order, check the arrays' contiguity, compute.
template <class T, const Signature& S, auto Method>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(S);
        if (!arguments.match(args, nargs, kwnames)) return nullptr;
        Instance<T>* instance = instance_of<T>(self);
        SharedUse use(instance->borrow);
        if (!use) return nullptr;
        typename MethodTraits<decltype(Method)>::Arguments converted;
        const bool ok = std::apply(
            [&](auto&... a) { return arguments.convert(a...) && (contiguous_if_array(a) && ...); },
            converted);
        if (!ok) return nullptr;
        return std::apply(
            [&](auto&... a) { return to_python((instance->value.*Method)(pass(a)...)); },
            converted);
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
