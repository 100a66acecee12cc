"""Alkali line extinction, added into the caller's (layer, wavenumber) array."""

from typing import Literal

import numpy as np
import numpy.typing as npt

def alkali_cross_section(
    press: npt.NDArray[np.float64],
    wn: npt.NDArray[np.float64],
    temp: npt.NDArray[np.float64],
    wingamp: npt.NDArray[np.float64],
    ext: npt.NDArray[np.float64],
    detuning: float,
    mass: float,
    lorentz: float,
    norm: float,
    cutoff: float,
    wn0: npt.NDArray[np.float64],
    oscstr: npt.NDArray[np.float64],
    dwn: npt.NDArray[np.float64],
    icenter: npt.NDArray[np.intc],
    /,
) -> Literal[1]: ...

# The vector path of this module's kernels (see exokern.simd()).
_simd: str
_simd_paths: tuple[str, ...]

def _set_simd(name: str, /) -> str: ...
