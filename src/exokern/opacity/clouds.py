"""Clouds and hazes: an opaque grey deck and a haze whose extinction follows a power law in
wavelength.

Haze: the parametrisation of Lecavelier des Etangs et al. (2008, A&A 481, L83) as written by
MacDonald & Madhusudhan (2017, MNRAS 469, 1979): a cross section per gas particle

    sigma_haze = a sigma_0 (lambda / lambda_0)^gamma,   a = 10^log_haze, gamma = haze_slope,

with sigma_0 the H2 Rayleigh cross section at lambda_0 = 0.35 micron; a = 1, gamma = -4 is
scattering as strong as the gas's if it were all H2. The extinction is sigma_haze times the
number density of the gas, at every layer above the deck.

Deck: everything at pressures above p_cloud is opaque. The atmosphere is cut there: its layers
above the deck, then one layer at p_cloud itself (temperature, extinction, altitude or radius
interpolated linearly in ln p between its neighbours), which is the bottom of the cut
atmosphere. Emission then comes from the deck's top at its temperature, and in transmission
the disc inside the deck's radius is opaque, both through the model's usual integrals; the
spectra change continuously with p_cloud, also where it crosses a layer.
"""

from __future__ import annotations

import math
from typing import Optional

import numpy as np
import numpy.typing as npt

from exokern.opacity import rayleigh

Array = npt.NDArray[np.float64]

LAMBDA_0 = 0.35  # micron
SIGMA_0 = float(rayleigh.h2(1e4 / LAMBDA_0)[()])


def haze(wn: Array, log_haze: float, slope: float) -> Array:
    """The haze's cross section per gas particle (cm^2) at the wavenumbers `wn` (cm^-1)."""
    result: Array = (10.0 ** log_haze * SIGMA_0) * ((1e4 / wn) / LAMBDA_0) ** slope
    return result


class Deck:
    """Where a deck at `p_cloud` (barye) cuts the layers `pressure` (barye, top first): the
    first `above` layers lie above it and the last row is interpolated with `fraction` between
    layers above - 1 and above (a deck above the top gives the top layer twice)."""

    def __init__(self, pressure: Array, p_cloud: float) -> None:
        self.above = int(np.searchsorted(pressure, p_cloud, side="left"))
        if self.above == 0:
            self.fraction = 0.0
            self.above = 1
        else:
            lo, hi = math.log(pressure[self.above - 1]), math.log(pressure[self.above])
            self.fraction = (math.log(p_cloud) - lo) / (hi - lo)

    def cut(self, rows: Array) -> Array:
        """The rows (layers first) of the cut atmosphere: those above the deck and the deck's."""
        j, f = self.above, self.fraction
        top = rows[j - 1]
        bottom = top + f * (rows[j] - top) if f > 0.0 else top
        out: Array = np.concatenate([rows[:j], bottom[None] if rows.ndim > 1 else [bottom]])
        return out


def deck(pressure: Array, log_pcloud: Optional[float]) -> Optional[Deck]:
    """The deck of `log_pcloud` (log10 bar) over the layers, or None where there is none or it
    lies at or below the bottom layer."""
    if log_pcloud is None:
        return None
    p_cloud = 10.0 ** log_pcloud * 1e6
    if not p_cloud < pressure[-1]:
        return None
    return Deck(pressure, p_cloud)
