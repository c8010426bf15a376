// Scalar and tuple results, the mapping of ModelError and internal failures to exceptions, the
// borrow counter of class instances, class creation and module member registration.
#include <forward_list>
#include <memory>
#include <string>
#include <utility>

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

namespace {

// Keeps a text for the rest of the process and returns it as a C string: the docstrings that
// method tables and types point to, which live until the process ends.
const char* keep_for_process(std::string text) {
    static auto* const texts = new std::forward_list<std::string>();  // never freed
    texts->push_front(std::move(text));
    return texts->front().c_str();
}

// The docstring of a callable, kept for the process; nullptr with the internal-failure
// exception set when its table's defaults do not match its optional parameters.
const char* make_docstring(const Signature& signature, const char* body) {
    if (!signature.defaults_complete()) {
        raise_internal_error(signature.full_name() +
                             " does not list one default per optional parameter");
        return nullptr;
    }
    return keep_for_process(signature.docstring(body));
}

}  // namespace

// Creation runs under the interpreter lock and never calls back into Python code that could let
// another thread in, so a plain check of the cache slot suffices.
PyTypeObject* create_class(PyType_Spec* type_spec, PyTypeObject*& slot) {
    if (slot == nullptr) {
        slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(type_spec));
    }
    return slot;
}

PyTypeObject* create_class(const ClassTable& table, PyTypeObject*& slot) {
    if (slot != nullptr) return slot;
    const char* doc = make_docstring(table.constructor, table.doc);
    if (doc == nullptr) return nullptr;
    // Zero-filled, so the entry after the last is the terminating sentinel.
    auto methods = std::make_unique<PyMethodDef[]>(table.methods.size() + 1);
    for (std::size_t k = 0; k < table.methods.size(); ++k) {
        const Method& method = table.methods[k];
        const char* method_doc = make_docstring(*method.signature, method.body);
        if (method_doc == nullptr) return nullptr;
        methods[k] = {method.signature->name, method.entry, method.flags, method_doc};
    }
    auto getters = std::make_unique<PyGetSetDef[]>(table.getters.size() + 1);
    for (std::size_t k = 0; k < table.getters.size(); ++k) {
        const Getter& row = table.getters[k];
        getters[k] = {row.name, row.read, nullptr, row.doc, nullptr};
    }
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(table.construct)},
        {Py_tp_dealloc, reinterpret_cast<void*>(table.dealloc)},
        {Py_tp_methods, methods.get()},
        {Py_tp_getset, getters.get()},
        {Py_tp_repr, reinterpret_cast<void*>(table.repr)},
        {Py_tp_doc, const_cast<char*>(doc)},
        {0, nullptr},
    };
    PyType_Spec type_spec{table.type_name, table.basic_size, 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    if (create_class(&type_spec, slot) != nullptr) {
        // The type points into both tables for the rest of the process.
        methods.release();
        getters.release();
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

int add_function(PyObject* module, Function& function) {
    const char* doc = make_docstring(*function.signature, function.body);
    if (doc == nullptr) return -1;
    function.def = {function.signature->name, function.entry, METH_FASTCALL | METH_KEYWORDS, doc};
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return -1;
    PyObject* object = PyCMethod_New(&function.def, module, module_name, nullptr);
    Py_DECREF(module_name);
    if (object == nullptr) return -1;
    const int result = add_member(module, function.def.ml_name, object);
    Py_DECREF(object);
    return result;
}

}  // namespace vostrel::py
