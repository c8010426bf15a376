// The kernels submodule's initialisation: adds the kernel classes in their fixed order.
#include "python/boundary.hpp"

namespace vostrel::py {

int init_kernels(PyObject* /*module*/) {
    return 0;
}

}  // namespace vostrel::py
