// The kernel class objects, each created once per process on first request; init_kernels adds
// them to the kernels submodule in their fixed order.
#pragma once

#include "python/boundary.hpp"

namespace vostrel::py {

PyTypeObject* exponential_kernel_type();
PyTypeObject* power_law_kernel_type();
PyTypeObject* nonparametric_kernel_type();

}  // namespace vostrel::py
