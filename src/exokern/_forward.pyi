"""The forward model's kernels: the limb's chords and the transit depth, Planck emission."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

def transit_depth(
    ext: npt.NDArray[np.float64],
    radii: npt.NDArray[np.float64],
    rstar: float,
    taumax: float,
    tau: npt.NDArray[np.float64] | None,
    ideep: npt.NDArray[np.intc],
    /,
) -> npt.NDArray[np.float64]: ...
def planck(
    wn: npt.NDArray[np.float64],
    temperature: npt.NDArray[np.float64],
    out: npt.NDArray[np.float64],
    /,
) -> None: ...

# The vector path of this module's kernels (see exokern.simd()).
_simd: str
_simd_paths: tuple[str, ...]

def _set_simd(name: str, /) -> str: ...
