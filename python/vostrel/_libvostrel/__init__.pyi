# Type stubs of the native extension module. They live in a stub-only directory so that the
# submodules can have stubs of their own; at run time the compiled module is imported instead.
from . import diagnostics as diagnostics
from . import kernels as kernels
from . import likelihood as likelihood
from . import simulation as simulation

__all__ = ["kernels", "likelihood", "simulation", "diagnostics"]
