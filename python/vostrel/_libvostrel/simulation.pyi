import numpy as np
import numpy.typing as npt

__all__: list[str]

_F64Array = npt.NDArray[np.float64]
