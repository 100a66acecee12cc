"""Line opacity of the alkali resonance doublets, Na D and K D, on a wavenumber grid.

Each line's cross section per atom comes from `_alkali.alkali_cross_section`: a
pressure-broadened Lorentz core within a detuning X of the centre and a far wing that falls
as (X/|dnu|)^(3/2) exp(-c2 (|dnu| - X) / T) beyond it, the form of Burrows, Marley & Sharp
(2000, ApJ 531, 438). Multiplied by the atoms' number density it gives the extinction
coefficient (cm^-1) of every layer and wavenumber.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern import _alkali
from exokern.atmosphere import PARTICLES_PER_H, number_density

Array = npt.NDArray[np.float64]

# Half-width of the window evaluated around each line centre (cm^-1). At the profile's
# largest detuning X and any temperature below 2000 K the wing there is below 1e-4 of its
# value at X, far under the grey continuum in every layer that is seen.
CUTOFF = 4500.0

# Reference conditions of the Lorentz width that alkali_cross_section scales with
# (T / 2000 K)^-0.7 and p / 1.01e6 barye, and of the detuning scaled with (T / 500 K)^0.6.
LORENTZ_T = 2000.0
LORENTZ_P = 1.01e6
DETUNING_T = 500.0


@dataclass(frozen=True)
class Species:
    """One absorbing alkali atom and its resonance lines."""

    name: str
    mass: float  # amu
    log_eps: float  # solar abundance, log10(n_X / n_H) + 12
    detuning: float  # core/wing boundary X at 500 K (cm^-1)
    lorentz: float  # Lorentz half-width at 2000 K and 1.01e6 barye (cm^-1)
    wn0: tuple[float, ...]  # line centres, vacuum wavenumbers (cm^-1)
    oscstr: tuple[float, ...]  # absorption oscillator strengths
    labels: tuple[str, ...]


# Line centres: the excitation energies of the upper levels above the ground level (NIST
# Atomic Spectra Database): Na 3p 2P3/2 16973.366 and 2P1/2 16956.170 cm^-1 (D2, D1 at
# 589.158 and 589.756 nm in vacuum), K 4p 2P3/2 13042.876 and 2P1/2 12985.170 cm^-1 (766.702,
# 770.109 nm).
# Oscillator strengths: Na D2, D1 f = 0.641, 0.320 (NIST ASD). K D2, D1 f = 0.669, 0.333,
# from the measured 4p lifetimes 26.34 and 26.69 ns (Volz & Schmoranzer 1996, Phys. Scr. T65,
# 48) through f = (m_e c / 8 pi^2 e^2) (g_u / g_l) A / nu^2 with A = 1/lifetime, since each 4p
# level decays only to 4s; the same relation turns the Na 3p lifetimes (16.25, 16.30 ns) into
# NIST's Na values. Older compilations give 0.682 and 0.340 for K, two per cent higher.
# Detunings: 30 cm^-1 (Na) and 20 cm^-1 (K) at 500 K, Burrows et al. (2000).
# Lorentz half-widths by H2 at 2000 K and about one atmosphere: 0.071 cm^-1 (Na) and
# 0.14 cm^-1 (K), the values of Iro, Bezard & Guillot (2005, A&A 436, 719) for this profile.
# Solar abundances log eps: Na 6.24, K 5.03 (Asplund et al. 2009, ARA&A 47, 481).
SODIUM = Species("Na", 22.98976928, 6.24, 30.0, 0.071,
                 (16973.366, 16956.170), (0.641, 0.320), ("Na D2", "Na D1"))
POTASSIUM = Species("K", 39.0983, 5.03, 20.0, 0.14,
                    (13042.876, 12985.170), (0.669, 0.333), ("K D2", "K D1"))
SPECIES = (SODIUM, POTASSIUM)


def mixing_ratio(species: Species, dex: float = 0.0) -> float:
    """Number of atoms of `species` per gas particle: the solar abundance times 10^dex, all of
    it neutral and atomic."""
    return float(10.0 ** (species.log_eps - 12.0 + dex) / PARTICLES_PER_H)


def max_dex(species: Species) -> float:
    """The abundance (dex relative to solar) at which the atoms of `species` would be as many
    as the gas particles: the most a mixing ratio can be."""
    return 12.0 - species.log_eps + math.log10(PARTICLES_PER_H)


def detuning(species: Species, temperature: npt.ArrayLike) -> Array:
    """Core/wing boundary distance X at `temperature` (cm^-1)."""
    result: Array = species.detuning * (np.asarray(temperature) / DETUNING_T) ** 0.6
    return result


def lorentz_width(species: Species, pressure: npt.ArrayLike,
                  temperature: npt.ArrayLike) -> Array:
    """Lorentz half-width at half maximum (cm^-1)."""
    result: Array = (species.lorentz * (np.asarray(temperature) / LORENTZ_T) ** -0.7
                     * np.asarray(pressure) / LORENTZ_P)
    return result


def wing_amplitude(species: Species, pressure: npt.ArrayLike,
                   temperature: npt.ArrayLike) -> Array:
    """The Lorentz core's value at the detuning X, (L/pi) / (X^2 + L^2) (cm), per layer: passed
    as the wing's amplitude so that the profile is continuous at the core/wing boundary."""
    half = lorentz_width(species, pressure, temperature)
    x = detuning(species, temperature)
    result: Array = (half / np.pi) / (x * x + half * half)
    return result


def nearest_sample(wn: Array, value: float) -> int:
    """Index of the sample of the ascending grid `wn` nearest to `value`."""
    j = int(np.clip(np.searchsorted(wn, value), 1, len(wn) - 1))
    return j - 1 if value - wn[j - 1] <= wn[j] - value else j


def usable(species: Species, wn0: float, wn: Array, temperature: npt.ArrayLike) -> bool:
    """Whether a line at wn0 can be put on the grid: its core (|dnu| < X at the hottest layer)
    lies wholly inside the grid, off its end samples, or wholly outside it (the wing alone
    reaches the grid). A core across an end would need samples beyond it."""
    x = float(np.max(detuning(species, temperature)))
    inside = wn[0] < wn0 - x and wn0 + x < wn[-1]
    outside = wn0 + x < wn[0] or wn0 - x > wn[-1]
    return bool(inside or outside)


def alkali_extinction(pressure: npt.ArrayLike, temperature: npt.ArrayLike, wn: npt.ArrayLike,
                      species: Sequence[Species] = SPECIES,
                      dex: Optional[Mapping[str, float]] = None,
                      cutoff: float = CUTOFF) -> tuple[Array, list[str]]:
    """Extinction coefficient (cm^-1) of the alkali lines, shape (layers, wavenumbers), and the
    labels of the lines left out because their cores cross an end of the grid.

    `dex` maps a species name to its abundance relative to solar, in dex. Every line is
    computed by its own call into a zeroed array: a line that the grid does not resolve has its
    centre sample set (not added to), which would otherwise wipe out what the lines before it
    put on that sample.
    """
    dex = dex or {}
    pressure = np.ascontiguousarray(pressure, dtype=np.float64)
    temperature = np.ascontiguousarray(temperature, dtype=np.float64)
    wn = np.ascontiguousarray(wn, dtype=np.float64)
    gas = number_density(pressure, temperature)
    ext = np.zeros((len(temperature), len(wn)))
    sigma = np.empty_like(ext)
    skipped: list[str] = []
    for sp in species:
        wingamp = wing_amplitude(sp, pressure, temperature)[:, None].copy()
        atoms = mixing_ratio(sp, dex.get(sp.name, 0.0)) * gas
        for wn0, f, label in zip(sp.wn0, sp.oscstr, sp.labels):
            if not usable(sp, wn0, wn, temperature):
                skipped.append(label)
                continue
            k = nearest_sample(wn, wn0)
            # The step that the unresolved-line test compares the Voigt width with: the cell
            # of the centre sample, the same cell its corrected value is spread over.
            lo, hi = max(k - 1, 0), min(k + 1, len(wn) - 1)
            dwn = np.array([(wn[hi] - wn[lo]) / (hi - lo)])
            sigma.fill(0.0)
            _alkali.alkali_cross_section(
                pressure, wn, temperature, wingamp, sigma, sp.detuning, sp.mass, sp.lorentz,
                1.0, cutoff, np.array([wn0]), np.array([f]), dwn,
                np.array([k], dtype=np.intc))
            ext += sigma * atoms[:, None]
    return ext, skipped
