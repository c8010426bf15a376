// Scalar and tuple results, the mapping of ModelError and internal failures to exceptions, the
// borrow counter of class instances, class creation and module member registration.
#include "python/boundary.hpp"

namespace vostrel::py {

PyObject* to_python(double value) { return PyFloat_FromDouble(value); }

PyObject* to_python(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

PyObject* to_python(std::uint64_t value) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
}

PyObject* to_python(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* to_python(std::pair<double, std::vector<double>>&& pair) {
    PyObject* first = to_python(pair.first);
    if (first == nullptr) return nullptr;
    PyObject* second = to_python(std::move(pair.second));
    if (second == nullptr) {
        Py_DECREF(first);
        return nullptr;
    }
    PyObject* tuple = PyTuple_New(2);
    if (tuple == nullptr) {
        Py_DECREF(first);
        Py_DECREF(second);
        return nullptr;
    }
    PyTuple_SET_ITEM(tuple, 0, first);
    PyTuple_SET_ITEM(tuple, 1, second);
    return tuple;
}

void raise_model_error(const ModelError& error) {
    const std::string text = error.display();
    PyObject* message =
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (message == nullptr) return;
    PyErr_SetObject(PyExc_ValueError, message);
    Py_DECREF(message);
}

// ---------------------------------------------------------------------------------------------
// Interruptions and memory

namespace {

// Every callable holds the interpreter lock while the core runs, so the handlers may run here.
bool run_pending_signal_handlers() { return PyErr_CheckSignals() != 0; }

}  // namespace

void install_interrupt_hook() { set_interrupt_hook(&run_pending_signal_handlers); }

void raise_interrupted() {
    // The handler's exception is set; only a hook that said stop without one would leave none.
    if (!PyErr_Occurred()) raise_internal_error("interrupted without a pending exception");
}

void raise_out_of_memory(const char* message) { PyErr_SetString(PyExc_MemoryError, message); }

// ---------------------------------------------------------------------------------------------
// Internal failures

namespace {
PyObject* internal_error = nullptr;
}

PyObject* internal_error_type() {
    if (internal_error == nullptr) {
        internal_error = PyErr_NewExceptionWithDoc(
            "vostrel._libvostrel.InternalError",
            "An internal consistency failure of the native core: a bug, never an input error.",
            PyExc_BaseException, nullptr);
    }
    return internal_error;
}

void raise_internal_error(const std::string& message) {
    PyObject* type = internal_error_type();
    if (type == nullptr) return;
    PyObject* text =
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

// ---------------------------------------------------------------------------------------------
// Borrow counter

SharedUse::SharedUse(BorrowFlag& flag) {
    std::int64_t current = flag.count.load(std::memory_order_acquire);
    for (;;) {
        if (current < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return;
        }
        if (flag.count.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel)) {
            flag_ = &flag;
            return;
        }
    }
}

ExclusiveUse::ExclusiveUse(BorrowFlag& flag) {
    std::int64_t expected = 0;
    if (flag.count.compare_exchange_strong(expected, -1, std::memory_order_acq_rel)) {
        flag_ = &flag;
    } else {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
}

// ---------------------------------------------------------------------------------------------
// Classes and registration

PyTypeObject* create_class(PyType_Spec* type_spec, PyTypeObject*& slot) {
    // Creation runs under the interpreter lock and never calls back into Python code that could
    // let another thread in, so a plain check of the cache slot suffices.
    if (slot == nullptr) {
        slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(type_spec));
    }
    return slot;
}

int add_member(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr) return -1;
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return -1;
        }
    } else if (!PyList_Check(all)) {
        Py_DECREF(all);
        PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
        return -1;
    }
    PyObject* text = PyUnicode_FromString(name);
    if (text == nullptr) {
        Py_DECREF(all);
        return -1;
    }
    const int appended = PyList_Append(all, text);
    Py_DECREF(text);
    Py_DECREF(all);
    if (appended < 0) return -1;
    return PyObject_SetAttrString(module, name, value);
}

int add_function(PyObject* module, PyMethodDef* def) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return -1;
    PyObject* function = PyCMethod_New(def, module, module_name, nullptr);
    Py_DECREF(module_name);
    if (function == nullptr) return -1;
    const int result = add_member(module, def->ml_name, function);
    Py_DECREF(function);
    return result;
}

}  // namespace vostrel::py
