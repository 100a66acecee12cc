"""The model atmosphere: pressure layers, temperatures, altitudes and gas densities.

Layers are numbered from the top (lowest pressure) down, as the optical-depth integration
walks them. Everything is in cgs units: pressures in barye (1 bar = 1e6 barye), temperatures
in K, lengths in cm, number densities in cm^-3.
"""

import numpy as np

from exokern import _kelvo, _quadra

BAR = 1.0e6  # barye per bar
K_BOLTZMANN = 1.380649e-16  # erg K^-1 (exact since the 2019 SI)
AMU = 1.66053906660e-24  # g (CODATA 2018)

# Gas of solar composition, all hydrogen in H2: per H atom 0.5 H2 and He/H = 10^(10.93-12)
# = 0.085 (Asplund et al. 2009, ARA&A 47, 481), so (1.008 + 0.085 * 4.0026) / 0.585 = 2.30 amu
# per particle. Heavier elements change it by less than one per cent.
MEAN_MOLECULAR_MASS = 2.3  # amu
PARTICLES_PER_H = 0.585

# The worked hot-Jupiter profile: log10(kappa [cm^2 g^-1]), log10(gamma1), log10(gamma2),
# alpha, T_irr [K], T_int [K].
GUILLOT_PARAMS = (-1.5, -0.8, -0.8, 0.5, 1200.0, 100.0)
GRAVITY = 2200.0  # cm s^-2


def pressure_grid(nlayers, ptop=1.0e-8, pbottom=1.0e2):
    """nlayers pressures in barye, log-spaced from ptop to pbottom (given in bar), top first."""
    return np.logspace(np.log10(ptop), np.log10(pbottom), nlayers) * BAR


def temperatures(pressure, params=GUILLOT_PARAMS, gravity=GRAVITY, isothermal=None):
    """Temperature of every layer (K): the three-channel Eddington profile for `params`
    at constant `gravity`, or `isothermal` kelvin everywhere when that is given."""
    pressure = np.ascontiguousarray(pressure, dtype=np.float64)
    if isothermal is not None:
        return _kelvo.isothermal(np.array([float(isothermal)]), len(pressure))
    params = np.asarray(params, dtype=np.float64)
    grav = np.full(len(pressure), float(gravity))
    return _kelvo.guillot(params, pressure, grav)


def scale_height(temperature, gravity=GRAVITY, mmm=MEAN_MOLECULAR_MASS):
    """Pressure scale height kT / (mu m_u g) of every layer (cm)."""
    return K_BOLTZMANN * np.asarray(temperature) / (mmm * AMU * gravity)


def altitudes(pressure, temperature, gravity=GRAVITY, mmm=MEAN_MOLECULAR_MASS):
    """Altitude of every layer above the bottom one (cm), from hydrostatic equilibrium of an
    ideal gas: dz = -H d(ln p), integrated upwards from z = 0 at the deepest layer by the
    trapezoidal rule in ln p."""
    height = scale_height(temperature, gravity, mmm)[::-1].copy()
    dlnp = -np.diff(np.log(np.asarray(pressure)[::-1]))
    z = np.empty(len(height))
    _quadra.cumtrapz(z, height, dlnp, np.inf)
    return z[::-1].copy()


def path_intervals(z):
    """Path lengths between consecutive layers from the top down (cm): interval k joins
    layer k and layer k + 1."""
    return -np.diff(z)


def number_density(pressure, temperature):
    """Number density of gas particles of every layer (cm^-3), n = p / (kT)."""
    return np.asarray(pressure) / (K_BOLTZMANN * np.asarray(temperature))


def mass_density(pressure, temperature, mmm=MEAN_MOLECULAR_MASS):
    """Mass density of every layer (g cm^-3)."""
    return number_density(pressure, temperature) * mmm * AMU
