"""Simpson-rule integration on irregular grids, with per-pair interval differentials."""

from typing import Union

import numpy as np
import numpy.typing as npt

# A differential as geth returns it: an array with one value per Simpson pair, or the int 0
# that geth gives for an empty h (no pair), which simps and simps2D take as an empty array.
_Differential = Union[npt.NDArray[np.float64], int]

def geth(h: npt.NDArray[np.float64], /) -> list[_Differential]: ...
def simps(
    y: npt.NDArray[np.float64],
    h: npt.NDArray[np.float64],
    hsum: _Differential,
    hratio: _Differential,
    hfactor: _Differential,
    /,
) -> float: ...
def simps2D(
    y: npt.NDArray[np.float64],
    h: npt.NDArray[np.float64],
    nint: npt.NDArray[np.intc],
    hsum: _Differential,
    hratio: _Differential,
    hfactor: _Differential,
    /,
) -> npt.NDArray[np.float64]: ...

# The vector path of this module's kernels (see exokern.simd()).
_simd: str
_simd_paths: tuple[str, ...]

def _set_simd(name: str, /) -> str: ...
