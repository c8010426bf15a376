// What the three kernel classes share: the parameter tables and bodies of the methods every
// kernel has (evaluate, integrate, integrate_vec, l1_norm, scale, has_recursive_form), so that a
// kernel's binding file declares only its constructor, its own methods, its getters and prose.
// (Each kernel's class docstring ends in a "Mirrors" line naming a path that is not in this
// repository; that text is part of the published interface and stays word for word.)
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <tuple>
#include <type_traits>

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

// The body of a read-only method of T taking doubles and lag arrays (the receiver is held for
// shared use): convert in parameter order, check the arrays' contiguity, compute.
template <class T, auto Compute>
PyObject* compute(const T& kernel, Arguments& arguments) {
    typename MethodTraits<decltype(Compute)>::Arguments converted;
    const bool ok = std::apply(
        [&](auto&... a) { return arguments.convert(a...) && (contiguous_if_array(a) && ...); },
        converted);
    if (!ok) return nullptr;
    return std::apply([&](auto&... a) { return to_python((kernel.*Compute)(pass(a)...)); },
                      converted);
}

template <class T, const Signature& S, auto Compute>
Method compute_def(const char* body = "") {
    return method_def<T, S, Use::Shared, compute<T, Compute>>(body);
}

// scale(factor): the receiver is held exclusively before factor's conversion runs, so a
// __float__ that calls back into the kernel fails instead of seeing a half-done update; a
// failed conversion leaves the kernel unchanged.
template <class T>
PyObject* scale(T& kernel, Arguments& arguments) {
    double factor = 0.0;
    if (!arguments.convert(factor)) return nullptr;
    kernel.scale(factor);
    Py_RETURN_NONE;
}

// The parameter tables of the shared methods, for the class named Class.
template <const char* Class>
struct Tables {
    static constexpr const char* kT[] = {"t"};
    static constexpr const char* kFactor[] = {"factor"};
    static inline const Signature evaluate{"evaluate", Class, kT, 1};
    static inline const Signature integrate{"integrate", Class, kT, 1};
    static inline const Signature integrate_vec{"integrate_vec", Class, kT, 1};
    static inline const Signature l1_norm{"l1_norm", Class, {}, 0};
    static inline const Signature scale{"scale", Class, kFactor, 1};
    static inline const Signature has_recursive_form{"has_recursive_form", Class, {}, 0};
};

// The prose of the shared methods' docstrings; empty where a kernel has none.
struct Docs {
    const char* evaluate = "";
    const char* integrate = "";
    const char* integrate_vec = "";
    const char* l1_norm = "";
    const char* scale = "";
    const char* has_recursive_form = "";
};

// The method rows of kernel T (class name Class): the shared methods in their fixed order, then
// the kernel's own.
template <class T, const char* Class, std::size_t N = 0>
std::array<Method, 6 + N> methods(const Docs& docs, const std::array<Method, N>& own = {}) {
    using S = Tables<Class>;
    std::array<Method, 6 + N> rows{
        compute_def<T, S::evaluate, &T::evaluate>(docs.evaluate),
        compute_def<T, S::integrate, &T::integrate>(docs.integrate),
        compute_def<T, S::integrate_vec, &T::integrate_vec>(docs.integrate_vec),
        read_method_def<T, S::l1_norm, &T::l1_norm>(docs.l1_norm),
        method_def<T, S::scale, Use::Exclusive, scale<T>>(docs.scale),
        read_method_def<T, S::has_recursive_form, &T::has_recursive_form>(docs.has_recursive_form),
    };
    for (std::size_t k = 0; k < N; ++k) rows[6 + k] = own[k];
    return rows;
}

// The repr of kernel T: shared use, then T::repr().
template <class T>
constexpr reprfunc repr = read<T, &T::repr>;

}  // namespace vostrel::py::kernel_methods
