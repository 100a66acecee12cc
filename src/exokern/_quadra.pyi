"""Trapezoidal-rule integration, optical depth and emergent intensity."""

import numpy as np
import numpy.typing as npt

def trapz(data: npt.NDArray[np.float64], intervals: npt.NDArray[np.float64], /) -> float: ...
def trapz2D(
    data: npt.NDArray[np.float64],
    intervals: npt.NDArray[np.float64],
    nint: npt.NDArray[np.intc],
    /,
) -> npt.NDArray[np.float64]: ...
def cumtrapz(
    output: npt.NDArray[np.float64],
    data: npt.NDArray[np.float64],
    intervals: npt.NDArray[np.float64],
    threshold: float,
    /,
) -> int: ...
def optdepth(
    data: npt.NDArray[np.float64],
    intervals: npt.NDArray[np.float64],
    taumax: float,
    ideep: npt.NDArray[np.intc],
    ilay: int,
    /,
) -> npt.NDArray[np.float64]: ...
def cumoptdepth(
    data: npt.NDArray[np.float64],
    intervals: npt.NDArray[np.float64],
    taumax: float,
    ideep: npt.NDArray[np.intc],
    /,
) -> npt.NDArray[np.float64]: ...
def intensity(
    tau: npt.NDArray[np.float64],
    ideep: npt.NDArray[np.intc],
    planck: npt.NDArray[np.float64],
    mu: npt.NDArray[np.float64],
    rtop: int,
    /,
) -> npt.NDArray[np.float64]: ...

# The vector path of this module's kernels (see exokern.simd()).
_simd: str
_simd_paths: tuple[str, ...]

def _set_simd(name: str, /) -> str: ...
def _exp(x: npt.NDArray[np.float64], /) -> npt.NDArray[np.float64]: ...
