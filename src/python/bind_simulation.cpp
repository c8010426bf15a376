// The simulation submodule's initialisation: adds the simulators in their fixed order.
#include "python/boundary.hpp"

namespace vostrel::py {

int init_simulation(PyObject* /*module*/) {
    return 0;
}

}  // namespace vostrel::py
