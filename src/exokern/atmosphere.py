"""The model atmosphere: pressure layers, temperatures, altitudes and gas densities.

Layers are numbered from the top (lowest pressure) down, as the optical-depth integration
walks them. Everything is in cgs units: pressures in barye (1 bar = 1e6 barye), temperatures
in K, lengths in cm, number densities in cm^-3.
"""

from __future__ import annotations

from typing import Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern import _kelvo, _quadra

Array = npt.NDArray[np.float64]

# Constants in cgs units, the CODATA 2018 values that scipy.constants carries (k, and the
# atomic mass constant m_u), times 1e7 erg/J and 1e3 g/kg.
BAR = 1.0e6  # barye per bar
K_BOLTZMANN = 1.380649e-16  # erg K^-1 (exact since the 2019 SI)
AMU = 1.66053906660e-24  # g

# Gas of solar composition, all hydrogen in H2: per H atom 0.5 H2 and He/H = 10^(10.93-12)
# = 0.085 (Asplund et al. 2009, ARA&A 47, 481), so (1.008 + 0.085 * 4.0026) / 0.585 = 2.30 amu
# per particle. Heavier elements change it by less than one per cent.
MEAN_MOLECULAR_MASS = 2.3  # amu
PARTICLES_PER_H = 0.585

# The worked hot-Jupiter profile: log10(kappa [cm^2 g^-1]), log10(gamma1), log10(gamma2),
# alpha, T_irr [K], T_int [K].
GUILLOT_PARAMS = (-1.5, -0.8, -0.8, 0.5, 1200.0, 100.0)
GRAVITY = 2200.0  # cm s^-2

# Nominal radii of the IAU 2015 Resolution B3 (Jupiter's equatorial radius; the Sun), in cm.
R_JUPITER = 7.1492e9
R_SUN = 6.957e10


def pressure_grid(nlayers: int, ptop: float = 1.0e-8, pbottom: float = 1.0e2) -> Array:
    """nlayers pressures in barye, log-spaced from ptop to pbottom (given in bar), top first."""
    result: Array = np.logspace(np.log10(ptop), np.log10(pbottom), nlayers) * BAR
    return result


def temperatures(pressure: npt.ArrayLike, params: Sequence[float] = GUILLOT_PARAMS,
                 gravity: float = GRAVITY, isothermal: Optional[float] = None) -> Array:
    """Temperature of every layer (K): the three-channel Eddington profile for `params`
    at constant `gravity`, or `isothermal` kelvin everywhere when that is given."""
    pressure = np.ascontiguousarray(pressure, dtype=np.float64)
    if isothermal is not None:
        return _kelvo.isothermal(np.array([float(isothermal)]), len(pressure))
    grav = np.full(len(pressure), float(gravity))
    return _kelvo.guillot(np.asarray(params, dtype=np.float64), pressure, grav)


def scale_height(temperature: npt.ArrayLike, gravity: float = GRAVITY,
                 mean_mass: float = MEAN_MOLECULAR_MASS) -> Array:
    """Pressure scale height kT / (mu m_u g) of every layer (cm)."""
    result: Array = K_BOLTZMANN * np.asarray(temperature) / (mean_mass * AMU * gravity)
    return result


def altitudes(pressure: npt.ArrayLike, temperature: npt.ArrayLike, gravity: float = GRAVITY,
              mean_mass: float = MEAN_MOLECULAR_MASS) -> Array:
    """Altitude of every layer above the bottom one (cm), from hydrostatic equilibrium of an
    ideal gas: dz = -H d(ln p), integrated upwards from z = 0 at the deepest layer by the
    trapezoidal rule in ln p."""
    height = scale_height(temperature, gravity, mean_mass)[::-1].copy()
    dlnp = -np.diff(np.log(np.asarray(pressure)[::-1]))
    z = np.empty(len(height))
    _quadra.cumtrapz(z, height, dlnp, np.inf)
    result: Array = z[::-1].copy()
    return result


def path_intervals(z: Array) -> Array:
    """Path lengths between consecutive layers from the top down (cm): interval k joins
    layer k and layer k + 1."""
    result: Array = -np.diff(z)
    return result


def number_density(pressure: npt.ArrayLike, temperature: npt.ArrayLike) -> Array:
    """Number density of gas particles of every layer (cm^-3), n = p / (kT)."""
    result: Array = np.asarray(pressure) / (K_BOLTZMANN * np.asarray(temperature))
    return result


def mass_density(pressure: npt.ArrayLike, temperature: npt.ArrayLike,
                 mean_mass: float = MEAN_MOLECULAR_MASS) -> Array:
    """Mass density of every layer (g cm^-3)."""
    return number_density(pressure, temperature) * mean_mass * AMU
