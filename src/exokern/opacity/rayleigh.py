"""Rayleigh scattering by H2 and He, as extinction: cross sections per molecule (cm^2) from the
standard fits, in the wavelength lambda in Angstrom:

    H2: 8.14e-13 / lambda^4 + 1.28e-6 / lambda^6 + 1.61 / lambda^8
        (Dalgarno & Williams 1962, ApJ 136, 690)
    He: 5.484e-14 / lambda^4 + 1.33e-8 / lambda^6
        (Chan & Dalgarno 1965, Proc. Phys. Soc. 85, 227)

Both hold longward of the first electronic resonances (about 1000 Angstrom), and so on every
grid exokern's sources cover. The molecules' own scattering is left out: at the mixing ratios
of an H2-dominated atmosphere it is a few per cent of H2's at most.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

Array = npt.NDArray[np.float64]


def _angstrom(wn: npt.ArrayLike) -> Array:
    result: Array = 1e8 / np.asarray(wn, dtype=np.float64)
    return result


def h2(wn: npt.ArrayLike) -> Array:
    """Rayleigh cross section of H2 (cm^2) at the wavenumbers `wn` (cm^-1)."""
    lam2 = _angstrom(wn) ** 2
    result: Array = 8.14e-13 / lam2**2 + 1.28e-6 / lam2**3 + 1.61 / lam2**4
    return result


def he(wn: npt.ArrayLike) -> Array:
    """Rayleigh cross section of He (cm^2) at the wavenumbers `wn` (cm^-1)."""
    lam2 = _angstrom(wn) ** 2
    result: Array = 5.484e-14 / lam2**2 + 1.33e-8 / lam2**3
    return result


CROSS_SECTIONS = {"H2": h2, "He": he}
