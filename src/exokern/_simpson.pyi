"""Simpson-rule integration on irregular grids, with per-pair interval differentials."""

import numpy as np
import numpy.typing as npt

def geth(
    h: npt.NDArray[np.float64], /
) -> list[npt.NDArray[np.float64]] | list[int]: ...
def simps(
    y: npt.NDArray[np.float64],
    h: npt.NDArray[np.float64],
    hsum: npt.NDArray[np.float64],
    hratio: npt.NDArray[np.float64],
    hfactor: npt.NDArray[np.float64],
    /,
) -> float: ...
def simps2D(
    y: npt.NDArray[np.float64],
    h: npt.NDArray[np.float64],
    nint: npt.NDArray[np.intc],
    hsum: npt.NDArray[np.float64],
    hratio: npt.NDArray[np.float64],
    hfactor: npt.NDArray[np.float64],
    /,
) -> npt.NDArray[np.float64]: ...
