// Small idioms of the boundary layer that several of its files need: the cast of a typed entry
// function to the C API's generic function pointer, taking the pending exception on every
// supported interpreter version, and a base for types that must not be copied.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vostrel::py {

// A method table stores every entry as PyCFunction and calls it by the flags beside it; the cast
// goes through a plain function pointer type so that the compiler accepts it without a warning.
template <class F>
PyCFunction as_py_function(F* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Takes the pending exception and clears it: the exception object (normalized, with its
// traceback attached), or nullptr if none was pending.
inline PyObject* take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Base of types that hold references or borrow marks and so must not be copied.
class NonCopyable {
public:
    NonCopyable() = default;
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;
};

}  // namespace vostrel::py
