// The module's entry functions: the top-level module _libvostrel and its four submodules, each
// created once per process from a static definition and cached, and the submodules' registration
// in sys.modules under their dotted names.
#include <atomic>
#include <string>

#include "python/boundary.hpp"

namespace vostrel::py {
namespace {

int init_top_level(PyObject* module);
int init_diagnostics(PyObject*) { return 0; }

// A module definition plus what single-phase initialisation needs to hand out one module object
// per process: the interpreter that created it and the cached object.
struct ModuleSlot {
    PyModuleDef def;
    int (*init)(PyObject*);
    std::atomic<std::int64_t> interpreter{-1};
    PyObject* cached = nullptr;
};

// m_size = 0 (not -1): on a re-import the interpreter calls the entry function again instead of
// copying the module's dict, and the entry function hands back the cached module itself.
#define VOSTREL_MODULE_DEF(name, doc) \
    {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr}

ModuleSlot top_level_slot{VOSTREL_MODULE_DEF("_libvostrel", ""), init_top_level};
// The kernels docstring names a build component this repository does not have; it is part of the
// published interface and stays word for word.
ModuleSlot kernels_slot{
    VOSTREL_MODULE_DEF("kernels", "Module initializer: registered by the aggregator crate."),
    init_kernels};
ModuleSlot likelihood_slot{VOSTREL_MODULE_DEF("likelihood", ""), init_likelihood};
ModuleSlot simulation_slot{VOSTREL_MODULE_DEF("simulation", ""), init_simulation};
ModuleSlot diagnostics_slot{VOSTREL_MODULE_DEF("diagnostics", ""), init_diagnostics};

#undef VOSTREL_MODULE_DEF

PyObject* create_module(ModuleSlot& slot) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    std::int64_t expected = -1;
    if (!slot.interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "vostrel._libvostrel does not support subinterpreters: it was already "
                        "initialised by another interpreter of this process");
        return nullptr;
    }
    if (slot.cached != nullptr) return Py_NewRef(slot.cached);
    install_interrupt_hook();
    PyObject* module = PyModule_Create(&slot.def);
    if (module == nullptr) return nullptr;
    if (slot.init(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    slot.cached = Py_NewRef(module);
    return module;
}

// Replaces the pending exception by the internal failure "failed to wrap pymodule: ...".
void wrap_submodule_failure() {
    PyObject* value = take_raised_exception();
    std::string description = "unknown error";
    if (value != nullptr) {
        PyObject* text = PyObject_Str(value);
        if (text != nullptr) {
            const char* utf8 = PyUnicode_AsUTF8(text);
            description =
                std::string(Py_TYPE(value)->tp_name) + ": " + (utf8 != nullptr ? utf8 : "");
            Py_DECREF(text);
        }
        PyErr_Clear();
    }
    Py_XDECREF(value);
    raise_internal_error("failed to wrap pymodule: " + description);
}

int init_top_level(PyObject* module) {
    PyObject* sys = PyImport_ImportModule("sys");
    if (sys == nullptr) return -1;
    PyObject* modules = PyObject_GetAttrString(sys, "modules");
    Py_DECREF(sys);
    if (modules == nullptr) return -1;

    ModuleSlot* const submodules[] = {&kernels_slot, &likelihood_slot, &simulation_slot,
                                      &diagnostics_slot};
    for (ModuleSlot* slot : submodules) {
        PyObject* submodule = create_module(*slot);
        if (submodule == nullptr) {
            wrap_submodule_failure();
            Py_DECREF(modules);
            return -1;
        }
        const char* name = slot->def.m_name;
        const int added = add_member(module, name, submodule);
        Py_DECREF(submodule);
        if (added < 0) {
            Py_DECREF(modules);
            return -1;
        }
        // The dotted prefix is fixed, whatever name the top-level module is imported under.
        const std::string key = std::string("vostrel._libvostrel.") + name;
        PyObject* member = PyObject_GetAttrString(module, name);
        if (member == nullptr) {
            Py_DECREF(modules);
            return -1;
        }
        PyObject* key_object =
            PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
        const int stored =
            key_object != nullptr ? PyObject_SetItem(modules, key_object, member) : -1;
        Py_XDECREF(key_object);
        Py_DECREF(member);
        if (stored < 0) {
            Py_DECREF(modules);
            return -1;
        }
    }
    Py_DECREF(modules);
    return 0;
}

}  // namespace
}  // namespace vostrel::py

// Exported entry functions. C++ exceptions cannot escape them: creation only calls the C API and
// guarded binding code.
#define VOSTREL_ENTRY(function, slot)                                                              \
    extern "C" __attribute__((visibility("default"))) PyObject* function(void) {                   \
        return vostrel::py::guarded([] { return vostrel::py::create_module(vostrel::py::slot); }); \
    }

VOSTREL_ENTRY(PyInit__libvostrel, top_level_slot)
VOSTREL_ENTRY(PyInit_kernels, kernels_slot)
VOSTREL_ENTRY(PyInit_likelihood, likelihood_slot)
VOSTREL_ENTRY(PyInit_simulation, simulation_slot)
VOSTREL_ENTRY(PyInit_diagnostics, diagnostics_slot)
