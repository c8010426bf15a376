// The kernels submodule's initialisation: adds the kernel classes in their fixed order.
#include "python/bind_kernel_types.hpp"
#include "python/boundary.hpp"

namespace vostrel::py {

int init_kernels(PyObject* module) {
    struct Entry {
        const char* name;
        PyTypeObject* (*type)();
    };
    const Entry entries[] = {
        {"ExponentialKernel", exponential_kernel_type},
        {"PowerLawKernel", power_law_kernel_type},
        {"NonparametricKernel", nonparametric_kernel_type},
    };
    for (const Entry& entry : entries) {
        PyTypeObject* type = entry.type();
        if (type == nullptr) return -1;
        if (add_member(module, entry.name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
    }
    return 0;
}

}  // namespace vostrel::py
