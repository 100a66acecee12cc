"""Line opacity of the alkali resonance doublets, Na D and K D, on a wavenumber grid.

Each line's cross section per atom is that of `_alkali.alkali_cross_section`: a
pressure-broadened Lorentz core within a detuning X of the centre and a far wing that falls
as (X/|dnu|)^(3/2) exp(-c2 (|dnu| - X) / T) beyond it, the form of Burrows, Marley & Sharp
(2000, ApJ 531, 438). Multiplied by the atoms' number density it gives the extinction
coefficient (cm^-1) of every layer and wavenumber. A model's lines (`Lines`) are found on its
grid once and evaluated in one call of `_opacity.line_extinction`, every line and layer.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern import _opacity
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
    x = species.detuning * (float(np.max(temperature)) / DETUNING_T) ** 0.6
    return _fits(wn0, x, float(wn[0]), float(wn[-1]))


def _fits(wn0: float, x: float, first: float, last: float) -> bool:
    return (first < wn0 - x and wn0 + x < last) or wn0 + x < first or wn0 - x > last


class Lines:
    """The lines of `species` on the ascending wavenumber grid `wn` (cm^-1): what the grid alone
    decides, every line's centre sample and the step of its resolution test, found once. Call
    it with the layers for their extinction."""

    def __init__(self, wn: npt.ArrayLike, species: Sequence[Species] = SPECIES,
                 cutoff: float = CUTOFF) -> None:
        self.wn = np.ascontiguousarray(wn, dtype=np.float64)
        self.species = tuple(species)
        self.cutoff = float(cutoff)
        rows, centres = [], []
        self.labels: list[str] = []
        self._of: list[int] = []
        for s, sp in enumerate(self.species):
            for wn0, f, label in zip(sp.wn0, sp.oscstr, sp.labels):
                k = nearest_sample(self.wn, wn0)
                # The step that the unresolved-line test compares the Voigt width with: the
                # cell of the centre sample, the same cell its corrected value is spread over.
                lo, hi = max(k - 1, 0), min(k + 1, len(self.wn) - 1)
                dwn = (self.wn[hi] - self.wn[lo]) / (hi - lo)
                rows.append((wn0, f, sp.detuning, sp.mass, sp.lorentz, dwn))
                centres.append(k)
                self.labels.append(label)
                self._of.append(s)
        self.table = np.array(rows, dtype=np.float64).reshape(-1, 6)
        self.icenter = np.array(centres, dtype=np.intc)
        self._wn0 = [float(row[0]) for row in rows]

    def __call__(self, pressure: Array, temperature: Array, gas: Array,
                 dex: Optional[Mapping[str, float]] = None,
                 continuum: Optional[Array] = None) -> tuple[Array, list[str]]:
        """The extinction (cm^-1, layers x wavenumbers) of the lines in the layers (pressure in
        barye, temperature in K, `gas` particles per cm^3; float64 arrays), plus `continuum`
        (cm^-1 per layer) where it is given, and the labels of the lines left out because their
        cores cross an end of the grid. `dex` maps a species name to its abundance relative to
        solar."""
        dex = dex or {}
        t = np.ascontiguousarray(temperature, dtype=np.float64)
        hottest = float(t.max()) / DETUNING_T
        first, last = float(self.wn[0]), float(self.wn[-1])
        ratio, reach = [], []
        for sp in self.species:
            ratio.append(mixing_ratio(sp, dex.get(sp.name, 0.0)))
            reach.append(sp.detuning * hottest ** 0.6)
        keep = [_fits(wn0, reach[s], first, last) for s, wn0 in zip(self._of, self._wn0)]
        mixing = np.array([ratio[s] for s in self._of], dtype=np.float64)
        table, icenter = self.table, self.icenter
        skipped = [label for label, kept in zip(self.labels, keep) if not kept]
        if skipped:
            table, icenter, mixing = table[keep], icenter[keep], mixing[keep]
        if continuum is None:
            continuum = np.zeros(len(t))
        ext = _opacity.line_extinction(pressure, self.wn, t, table, icenter, mixing, gas,
                                       continuum, self.cutoff)
        return ext, skipped


def alkali_extinction(pressure: npt.ArrayLike, temperature: npt.ArrayLike, wn: npt.ArrayLike,
                      species: Sequence[Species] = SPECIES,
                      dex: Optional[Mapping[str, float]] = None,
                      cutoff: float = CUTOFF) -> tuple[Array, list[str]]:
    """Extinction coefficient (cm^-1) of the alkali lines, shape (layers, wavenumbers), and the
    labels of the lines left out because their cores cross an end of the grid (`Lines`, made
    for this grid alone).

    `dex` maps a species name to its abundance relative to solar, in dex. The lines are added
    in their order: a line that the grid does not resolve has its centre sample's own value
    replaced by its corrected one, on top of what the lines before it put there.
    """
    p = np.ascontiguousarray(pressure, dtype=np.float64)
    t = np.ascontiguousarray(temperature, dtype=np.float64)
    gas = np.ascontiguousarray(number_density(p, t), dtype=np.float64)
    return Lines(wn, species, cutoff)(p, t, gas, dex)
