// The entry function of the second extension module, _libvostrel_ext: routines added after the
// first module's interface was fixed, built from the same core library and boundary layer. Its
// functions sit at the top level; each binding file defines a table of them.
#include <atomic>

#include "python/boundary.hpp"

namespace vostrel::py {

extern Function uni_exp_baseline_functions[6];
extern Function uni_pairwise_baseline_functions[2];

namespace {

PyModuleDef ext_def{
    PyModuleDef_HEAD_INIT, "_libvostrel_ext", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
std::atomic<std::int64_t> ext_interpreter{-1};
PyObject* ext_cached = nullptr;

int init_ext(PyObject* module) {
    for (Function& function : uni_exp_baseline_functions) {
        if (add_function(module, function) < 0) return -1;
    }
    for (Function& function : uni_pairwise_baseline_functions) {
        if (add_function(module, function) < 0) return -1;
    }
    return 0;
}

// One module object per process, as for _libvostrel (no subinterpreters).
PyObject* create_ext() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return nullptr;
    std::int64_t expected = -1;
    if (!ext_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "vostrel._libvostrel_ext does not support subinterpreters: it was already "
                        "initialised by another interpreter of this process");
        return nullptr;
    }
    if (ext_cached != nullptr) return Py_NewRef(ext_cached);
    install_interrupt_hook();
    PyObject* module = PyModule_Create(&ext_def);
    if (module == nullptr) return nullptr;
    if (init_ext(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    ext_cached = Py_NewRef(module);
    return module;
}

}  // namespace
}  // namespace vostrel::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__libvostrel_ext(void) {
    return vostrel::py::guarded([] { return vostrel::py::create_ext(); });
}
