// The boundary layer between the interpreter and the numerical core: parameter tables and the one
// argument matcher, converters per parameter type, array views, result conversion, the error
// mapping and the borrow counter of class instances. Binding files include this header only; it
// keeps NumPy's headers out of them (arrays.cpp alone talks to NumPy's C API).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/memory.hpp"
#include "core/model_error.hpp"
#include "python/idioms.hpp"

namespace vostrel::py {

// ---------------------------------------------------------------------------------------------
// Parameter tables and matching

// The most parameters any callable of the system has room for.
constexpr std::size_t kMaxParameters = 12;

// Static description of one callable's parameters. Positional-or-keyword names come first, the
// leading `required` of them have no default; keyword-only names follow and are never required.
// It is the one source of the callable's name, its parameter names and their defaults: the
// matcher, the matching messages and the docstring's text signature all read them from here.
struct Signature {
    const char* name;        // "uni_exp_neg_ll", "__new__", "evaluate"
    const char* class_name;  // nullptr for module functions
    std::span<const char* const> positional;
    std::size_t required;
    std::span<const char* const> keyword_only = {};
    // The defaults of the optional parameters as the Python literals the text signature shows
    // ("1.0", "False"): one per positional parameter after the required ones, then one per
    // keyword-only parameter.
    std::span<const char* const> defaults = {};

    // Interned names, created on first use: keyword names arrive interned, so a pointer
    // comparison usually finds the parameter without comparing text.
    mutable PyObject* interned[kMaxParameters] = {};

    std::size_t size() const { return positional.size() + keyword_only.size(); }
    const char* name_at(std::size_t index) const {
        return index < positional.size() ? positional[index]
                                         : keyword_only[index - positional.size()];
    }
    // "{class}.{name}()" or "{name}()", as used in the matching messages.
    std::string full_name() const;
    // Whether there is one default per optional parameter; a table that fails this is a bug in
    // a binding, reported when the callable is registered.
    bool defaults_complete() const {
        return defaults.size() == positional.size() - required + keyword_only.size();
    }
    // The docstring in text-signature form, "{head}({parameters})\n--\n\n{body}": the head is
    // the callable's name, or the class name for a constructor; a method's parameters start with
    // $self; "*" precedes the keyword-only ones. Needs defaults_complete().
    std::string docstring(const char* body) const;
};

// Arguments matched to a signature. Each filled slot holds a strong reference until the call
// ends, so an argument's __float__ that mutates the caller's containers cannot free another.
class Arguments : NonCopyable {
public:
    explicit Arguments(const Signature& signature) : signature_(signature) {}
    ~Arguments() {
        for (PyObject*& slot : slots_) Py_CLEAR(slot);
    }

    // Vectorcall form (module functions and methods). Returns false with TypeError set.
    bool match(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    // tp_new form: a positional tuple and an optional keyword dict.
    bool match(PyObject* args, PyObject* kwargs);

    // Converts the filled slots 0, 1, ... into the given variables in parameter order; empty
    // (defaulted) slots leave the variable's initial value. Stops at the first failure.
    template <class... T>
    bool convert(T&... out) {
        std::size_t index = 0;
        return (convert_slot(index++, out) && ...);
    }

    PyObject* slot(std::size_t index) const { return slots_[index]; }
    const Signature& signature() const { return signature_; }

private:
    template <class T>
    bool convert_slot(std::size_t index, T& out);

    bool fill_keyword(PyObject* name, PyObject* value);
    bool finish();

    const Signature& signature_;
    PyObject* slots_[kMaxParameters] = {};
};

// ---------------------------------------------------------------------------------------------
// Converters: each returns false with the exception set. Argument errors (TypeErrors) carry the
// prefix "argument '{name}': " and the original exception as their cause.

class ArrayF64Out;

// A read-only view of a caller's one-dimensional array of T (float64 or int64) for the duration
// of one call. Holds a reference to the array. Contiguous but misaligned data is copied once into
// an aligned buffer, because the core reads through typed pointers.
template <class T>
class ReadView : NonCopyable {
public:
    ~ReadView() { Py_XDECREF(object_); }

    std::span<const T> span() const { return {data_, size_}; }
    std::size_t size() const { return size_; }
    bool contiguous() const { return contiguous_; }
    PyObject* object() const { return object_; }
    // Memory range of the caller's array, for overlap checks.
    const char* begin_byte() const { return begin_; }
    const char* end_byte() const { return end_; }

private:
    template <class U>
    friend bool convert_read_view(PyObject*, ReadView<U>&);
    PyObject* object_ = nullptr;
    const T* data_ = nullptr;
    std::size_t size_ = 0;
    bool contiguous_ = true;
    const char* begin_ = nullptr;
    const char* end_ = nullptr;
    std::vector<T> aligned_copy_;
};

using ArrayF64 = ReadView<double>;
using ArrayI64 = ReadView<std::int64_t>;

// A write view of a caller's one-dimensional float64 array. Conversion checks only the type;
// acquire() then takes write access (writeable, no overlap with arrays read in the same call).
// Writes made through span() reach the caller's array at the latest when commit() runs (a
// misaligned array is written through an aligned scratch buffer).
class ArrayF64Out : NonCopyable {
public:
    enum class Refusal { None, NotWriteable, AlreadyBorrowed };

    ~ArrayF64Out() { Py_XDECREF(object_); }

    // Returns the refusal, or None once write access is held.
    Refusal acquire(std::initializer_list<const ArrayF64*> readers);
    std::span<double> span() { return {data_, size_}; }
    std::size_t size() const { return size_; }
    bool contiguous() const { return contiguous_; }
    void commit();

private:
    friend bool convert_value(PyObject*, ArrayF64Out&);
    PyObject* object_ = nullptr;
    double* data_ = nullptr;
    char* target_ = nullptr;  // the caller's memory when data_ points at scratch_
    std::size_t size_ = 0;
    bool contiguous_ = true;
    bool writeable_ = false;
    const char* begin_ = nullptr;
    const char* end_ = nullptr;
    std::vector<double> scratch_;
};

// Text argument: the UTF-8 bytes of a str (embedded NULs kept).
struct Text {
    std::string_view utf8;
    PyObject* object = nullptr;  // borrowed from the argument slot
};

// A list (or list subclass) argument, borrowed from the argument slot; its items are the
// callable's own business.
struct ListArg {
    PyObject* object = nullptr;
};

bool convert_value(PyObject* object, double& out);
bool convert_value(PyObject* object, std::uint64_t& out);
bool convert_value(PyObject* object, bool& out);
bool convert_value(PyObject* object, Text& out);
bool convert_value(PyObject* object, ListArg& out);
bool convert_value(PyObject* object, ArrayF64& out);
bool convert_value(PyObject* object, ArrayI64& out);
bool convert_value(PyObject* object, ArrayF64Out& out);

// Raise the argument error for parameter `name` from the pending TypeError (the TypeError becomes
// the cause of a new one whose text gets the prefix); any other pending exception is left as is.
void prefix_argument_error(const char* name);
// Raise TypeError "'{type}' object cannot be cast as '{target}'" ({type} being the qualified name
// of the object's type); convert_slot then adds the argument prefix.
void cast_error(PyObject* object, const char* target);

template <class T>
bool Arguments::convert_slot(std::size_t index, T& out) {
    PyObject* object = slots_[index];
    if (object == nullptr) return true;  // defaulted
    if (convert_value(object, out)) return true;
    prefix_argument_error(signature_.name_at(index));
    return false;
}

// TypeError "The given array is not contiguous" for the first non-contiguous array.
template <class... A>
bool require_contiguous(const A&... arrays) {
    bool ok = (arrays.contiguous() && ...);
    if (!ok) PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    return ok;
}

// Information about any object that might be a NumPy array, for callables that inspect
// containers of arrays themselves.
struct ArrayInfo {
    bool is_array = false;  // an ndarray or subclass
    int ndim = 0;
    bool is_float64 = false;  // dtype equivalent to native float64
    std::size_t size = 0;
    std::ptrdiff_t stride = 0;     // bytes, first dimension
    bool contiguous_flag = false;  // C- or Fortran-contiguous
    const double* data = nullptr;
};
// Returns false with an exception set only if NumPy itself cannot be reached.
bool inspect_array(PyObject* object, ArrayInfo& info);

// ---------------------------------------------------------------------------------------------
// Results

PyObject* to_python(double value);
PyObject* to_python(bool value);
PyObject* to_python(std::uint64_t value);
PyObject* to_python(const std::string& text);
PyObject* to_python(std::vector<double>&& values);              // new array adopting the buffer
PyObject* to_python(std::vector<std::vector<double>>&& lists);  // list of new arrays
PyObject* to_python(std::pair<double, std::vector<double>>&& pair);  // (float, array)

// Sets ValueError with the error's display text.
void raise_model_error(const ModelError& error);

// A new tuple of the converted items; if any conversion fails, nothing leaks.
template <class... T>
PyObject* to_python(std::tuple<T...>&& items) {
    PyObject* converted[sizeof...(T)] = {};
    std::size_t k = 0;
    std::apply([&](auto&... item) { ((converted[k++] = to_python(std::move(item))), ...); }, items);
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(sizeof...(T)));
    for (std::size_t i = 0; i < sizeof...(T); ++i) {
        if (converted[i] == nullptr || tuple == nullptr) {
            for (PyObject* item : converted) Py_XDECREF(item);
            Py_XDECREF(tuple);
            return nullptr;
        }
    }
    for (std::size_t i = 0; i < sizeof...(T); ++i) {
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), converted[i]);
    }
    return tuple;
}

template <class T>
PyObject* to_python(Result<T>&& result) {
    if (!result.ok()) {
        raise_model_error(result.error());
        return nullptr;
    }
    return to_python(std::move(result.value()));
}

// The same for a value that needs a conversion of its own, for example a gradient record
// turned into a tuple: convert(value) runs only on success.
template <class T, class F>
PyObject* to_python(Result<T>&& result, F&& convert) {
    if (!result.ok()) {
        raise_model_error(result.error());
        return nullptr;
    }
    return convert(result.value());
}

// The exception type for internal failures that no valid call reaches. It derives directly
// from BaseException so that it is never mistaken for an ordinary input error.
PyObject* internal_error_type();
void raise_internal_error(const std::string& message);

// Installs the core's interruption hook (core/interrupt.hpp): the interpreter's pending signal
// handlers run at the core's polls, and one that raises (KeyboardInterrupt for Ctrl-C) stops the
// computation. Called when a module is created.
void install_interrupt_hook();

// Sets the exceptions of the core's failures that are not a ModelError: an interruption keeps
// the exception its signal handler raised; memory that could not be had becomes MemoryError.
void raise_interrupted();
void raise_out_of_memory(const char* message);

// Runs a binding body and keeps every C++ exception inside: an interruption leaves its signal's
// exception, allocation failures become MemoryError, anything else the internal-failure exception.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const Interrupted&) {
        raise_interrupted();
    } catch (const OutOfMemory& e) {
        raise_out_of_memory(e.what());
    } catch (const std::bad_alloc&) {
        raise_out_of_memory("out of memory: a working buffer could not be allocated");
    } catch (const std::length_error&) {
        raise_out_of_memory("out of memory: a working buffer would exceed the largest size");
    } catch (const std::exception& e) {
        raise_internal_error(e.what());
    } catch (...) {
        raise_internal_error("unknown C++ exception");
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Module functions

// The body of a module function: converts its matched arguments and calls into the core.
using FunctionBody = PyObject* (*)(Arguments&);

// The vectorcall entry of a module function: match against the signature, then the body, with
// every C++ exception kept inside.
template <const Signature* Sig, FunctionBody Body>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(*Sig);
        if (!arguments.match(args, nargs, kwnames)) return nullptr;
        return Body(arguments);
    });
}

// A module function as its binding file declares it: the parameter table, the entry and the
// prose of the docstring. add_function fills `def`, the method-table entry the function object
// keeps a pointer to, from the other three.
struct Function {
    const Signature* signature;
    PyCFunction entry;
    const char* body;
    PyMethodDef def = {};
};

template <const Signature* Sig, FunctionBody Body>
Function module_function(const char* body = "") {
    return {Sig, as_py_function(function_entry<Sig, Body>), body};
}

// ---------------------------------------------------------------------------------------------
// Class instances: the borrow counter (0 free, n > 0 shared uses, -1 exclusive use)

struct BorrowFlag {
    std::atomic<std::int64_t> count{0};
};

// Shared (read-only) use of an instance for one call; fails with RuntimeError
// "Already mutably borrowed" while an exclusive use is active.
class SharedUse : NonCopyable {
public:
    explicit SharedUse(BorrowFlag& flag);
    ~SharedUse() {
        if (flag_ != nullptr) flag_->count.fetch_sub(1, std::memory_order_acq_rel);
    }
    explicit operator bool() const { return flag_ != nullptr; }

private:
    BorrowFlag* flag_ = nullptr;
};

// Exclusive (mutating) use; fails with RuntimeError "Already borrowed" while any use is active.
class ExclusiveUse : NonCopyable {
public:
    explicit ExclusiveUse(BorrowFlag& flag);
    ~ExclusiveUse() {
        if (flag_ != nullptr) flag_->count.store(0, std::memory_order_release);
    }
    explicit operator bool() const { return flag_ != nullptr; }

private:
    BorrowFlag* flag_ = nullptr;
};

// The instance layout every class of the system uses: the object header, the borrow counter and
// the C++ value. Created by alloc_instance, destroyed by the type's dealloc (instance_dealloc).
template <class T>
struct Instance {
    PyObject_HEAD BorrowFlag borrow;
    T value;
};

template <class T>
PyObject* alloc_instance(PyTypeObject* type, T&& value) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* instance = reinterpret_cast<Instance<std::decay_t<T>>*>(self);
    new (&instance->borrow) BorrowFlag();
    new (&instance->value) std::decay_t<T>(std::forward<T>(value));
    return self;
}

template <class T>
void instance_dealloc(PyObject* self) {
    auto* instance = reinterpret_cast<Instance<T>*>(self);
    instance->value.~T();
    instance->borrow.~BorrowFlag();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

template <class T>
Instance<T>* instance_of(PyObject* self) {
    return reinterpret_cast<Instance<T>*>(self);
}

// The constructor's result: a new instance holding the core's value, or the ModelError's
// ValueError.
template <class T>
PyObject* new_instance(PyTypeObject* type, Result<T>&& value) {
    if (!value.ok()) {
        raise_model_error(value.error());
        return nullptr;
    }
    return alloc_instance(type, std::move(value.value()));
}

// ---------------------------------------------------------------------------------------------
// Class bindings: entries, method and getter rows, and the class built from them

// The body of a constructor: converts its matched arguments and returns the new instance.
using ConstructorBody = PyObject* (*)(PyTypeObject*, Arguments&);

// tp_new of a class: match against the constructor's signature, then the body.
template <const Signature& S, ConstructorBody Body>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(S);
        if (!arguments.match(args, kwargs)) return nullptr;
        return Body(type, arguments);
    });
}

// How a method holds its receiver for the duration of the call.
enum class Use { Shared, Exclusive };

// The vectorcall entry of a method of T: match against the signature, take the receiver, then
// the body on the instance's value (a const T& under shared use, a T& under exclusive use).
template <class T, const Signature& S, Use U, auto Body>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments arguments(S);
        if (!arguments.match(args, nargs, kwnames)) return nullptr;
        Instance<T>* instance = instance_of<T>(self);
        if constexpr (U == Use::Shared) {
            SharedUse use(instance->borrow);
            if (!use) return nullptr;
            return Body(std::as_const(instance->value), arguments);
        } else {
            ExclusiveUse use(instance->borrow);
            if (!use) return nullptr;
            return Body(instance->value, arguments);
        }
    });
}

// A getter, a method without arguments or a repr: shared use, then the result of Read (a const
// member function of T, or a function of const T&) as a Python object.
template <class T, auto Read>
PyObject* read(PyObject* self) {
    return guarded([&]() -> PyObject* {
        Instance<T>* instance = instance_of<T>(self);
        SharedUse use(instance->borrow);
        if (!use) return nullptr;
        using R = std::decay_t<std::invoke_result_t<decltype(Read), const T&>>;
        return to_python(R(std::invoke(Read, std::as_const(instance->value))));
    });
}

template <class T, auto Read>
PyObject* read_getter(PyObject* self, void*) {
    return read<T, Read>(self);
}

template <class T, auto Read>
PyObject* read_method(PyObject* self, PyObject*) {
    return read<T, Read>(self);
}

// One method as a class binding declares it: the parameter table (its name and text
// signature), the entry with its calling convention, and the prose of the docstring.
struct Method {
    const Signature* signature;
    PyCFunction entry;
    int flags;
    const char* body;
};

template <class T, const Signature& S, Use U, auto Body>
Method method_def(const char* body = "") {
    return {&S, as_py_function(method_entry<T, S, U, Body>), METH_FASTCALL | METH_KEYWORDS, body};
}

// A method without arguments whose result is Read's (see read).
template <class T, const Signature& S, auto Read>
Method read_method_def(const char* body = "") {
    return {&S, as_py_function(read_method<T, Read>), METH_NOARGS, body};
}

// One read-only attribute: its name, its read (see read) and its docstring (nullptr for none).
struct Getter {
    const char* name;
    getter read;
    const char* doc = nullptr;
};

template <class T, auto Read>
Getter getter_def(const char* name, const char* doc = nullptr) {
    return {name, read_getter<T, Read>, doc};
}

// What create_class needs to build a class.
struct ClassTable {
    const char* type_name;  // dotted: "vostrel._libvostrel.kernels.ExponentialKernel"
    const Signature& constructor;
    const char* doc;  // the prose after the constructor's text signature
    newfunc construct;
    destructor dealloc;
    reprfunc repr;
    int basic_size;
    std::span<const Method> methods;
    std::span<const Getter> getters;
};

// Creates a final, immutable heap type from its type description once per process and caches it
// in `slot`.
PyTypeObject* create_class(PyType_Spec* type_spec, PyTypeObject*& slot);
// The same from a class binding's tables; the method table, getters and docstrings are built from
// it and kept for the life of the process.
PyTypeObject* create_class(const ClassTable& table, PyTypeObject*& slot);

// A class of the module over the core's value type T, declared as a table: the constructor's
// signature and body, the type's dotted name, the docstring's prose, the repr, the methods and
// the getters. type() creates the class on first use.
template <class T, const Signature& New, ConstructorBody Construct>
struct ClassBinding {
    const char* type_name;
    const char* doc;
    reprfunc repr;
    std::span<const Method> methods;
    std::span<const Getter> getters;
    PyTypeObject* cached = nullptr;

    PyTypeObject* type() {
        const ClassTable table{type_name,
                               New,
                               doc,
                               constructor_entry<New, Construct>,
                               instance_dealloc<T>,
                               repr,
                               static_cast<int>(sizeof(Instance<T>)),
                               methods,
                               getters};
        return create_class(table, cached);
    }
};

// ---------------------------------------------------------------------------------------------
// Registration

// Adds a member to a module: appends `name` to the module's __all__ (creating the list) and sets
// the attribute. Returns -1 with an exception set on failure.
int add_member(PyObject* module, const char* name, PyObject* value);
// Creates a built-in function bound to the module (its __module__ is the module's __name__)
// and adds it.
int add_function(PyObject* module, Function& function);

// Submodule initialisation steps, one per binding file.
int init_kernels(PyObject* module);
int init_likelihood(PyObject* module);
int init_simulation(PyObject* module);

}  // namespace vostrel::py
