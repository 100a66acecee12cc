"""Python wrapper for the temperature-profile models."""

import numpy as np
from numpy.typing import NDArray

def guillot(
    params: NDArray[np.float64],
    pressure: NDArray[np.float64],
    grav: NDArray[np.float64] = ...,
    /,
) -> NDArray[np.float64]:
    """Three-channel Eddington-approximation temperature (K) at each layer of `pressure`
    (barye), under gravity `grav` (cm s-2; 1 in every layer when left out).

    `params` (1-D float64, at least six elements): log10(kappa), log10(gamma1),
    log10(gamma2), alpha, t_irr, t_int. `pressure` is 1-D float64; `grav`, when given, 1-D
    float64 with at least as many elements as `pressure`. A negative optical depth prints
    "Domain error, x (...) must be >= 0." twice for that layer and gives it a non-finite
    temperature.
    """

def isothermal(T0: NDArray[np.float64], nlayers: int, /) -> NDArray[np.float64]:
    """`nlayers` layers at the temperature T0[0] (K). `T0` is 1-D float64, with at least one
    element when nlayers >= 1 (it is not read otherwise); a negative `nlayers` raises numpy's
    ValueError."""

# The vector path of this module's kernels (see exokern.simd()).
_simd: str
_simd_paths: tuple[str, ...]

def _set_simd(name: str, /) -> str: ...
