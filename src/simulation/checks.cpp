// The messages of the simulators' shared checks (see checks.hpp).
#include "simulation/checks.hpp"

#include "core/format.hpp"

namespace vostrel::simulation_checks {

ModelError alpha_and_beta_error(double alpha, double beta) {
    return invalid("alpha and beta must be positive; got alpha=" + format_double(alpha) +
                   ", beta=" + format_double(beta));
}

ModelError alpha_shape_error(std::size_t size, std::size_t m) {
    return invalid("alpha length (" + format_uint(size) + ") must be M·M (" + format_uint(m * m) +
                   ")");
}

}  // namespace vostrel::simulation_checks
