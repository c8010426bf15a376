"""One BLAS thread while fitting.

The optimiser's inner steps and the standard errors work on tiny matrices, where a multi-threaded
BLAS only adds hand-offs between threads: on a busy machine each call of the optimiser's step
costs milliseconds instead of microseconds. Fits therefore run with one BLAS thread; the caller's
setting is restored afterwards.
"""

from __future__ import annotations

from typing import Any

_controller: Any = None


def one_blas_thread() -> Any:
    """A context manager limiting BLAS libraries to one thread."""
    global _controller
    if _controller is None:
        import scipy.optimize  # noqa: F401  (loads the BLAS the optimiser calls, so it is seen)
        from threadpoolctl import ThreadpoolController

        _controller = ThreadpoolController()
    return _controller.limit(limits=1, user_api="blas")
