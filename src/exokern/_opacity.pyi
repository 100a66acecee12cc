"""The extinction of a model's sources, (layer, wavenumber): spectral lines with a continuum,
as a new array, and tabulated cross sections, added into the caller's array."""

import numpy as np
import numpy.typing as npt

def line_extinction(
    press: npt.NDArray[np.float64],
    wn: npt.NDArray[np.float64],
    temp: npt.NDArray[np.float64],
    lines: npt.NDArray[np.float64],
    icenter: npt.NDArray[np.intc],
    mixing: npt.NDArray[np.float64],
    gas: npt.NDArray[np.float64],
    continuum: npt.NDArray[np.float64],
    cutoff: float,
    /,
) -> npt.NDArray[np.float64]: ...

def table_extinction(
    ext: npt.NDArray[np.float64],
    table: npt.NDArray[np.float64],
    rows: npt.NDArray[np.intc],
    weights: npt.NDArray[np.float64],
    density: npt.NDArray[np.float64],
    /,
) -> None: ...

# The vector path of this module's kernels (see exokern.simd()).
_simd: str
_simd_paths: tuple[str, ...]

def _set_simd(name: str, /) -> str: ...
