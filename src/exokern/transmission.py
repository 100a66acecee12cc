"""Transmission through the limb of a spherical atmosphere: the transit depth of a planet.

Geometry. The layers of the model (pressures p_k, top first) are spherical shells. Their radii
follow hydrostatic equilibrium of an ideal gas in the planet's own gravity, which falls off as
g(r) = g0 (R0 / r)^2 above the reference radius R0 where the pressure is p0 and the gravity g0:

    dr / d(ln p) = -k T / (mu m_u g(r))   =>   1/r_k = 1/R0 + (1 / (g0 R0^2)) J(p0 -> p_k),
    J(p0 -> p) = integral from ln p0 to ln p of k T / (mu m_u) d(ln p),

integrated by the trapezoidal rule in ln p (`_quadra.cumtrapz`), linearly beyond the grid's end
when p0 lies outside it. An atmosphere hot enough for 1/r to reach zero is not bound and is
refused.

The rays graze the middles of the shells (b = (r_k + r_k+1) / 2): each crosses the shells above
its own whole and its own from b up, on its way in and again on its way out. Between two levels
the extinction is taken exponential in radius (exactly so for an isothermal grey atmosphere,
and the form a chord of few levels loses least by), and each shell's part of the chord is
integrated by Simpson's rule, in sqrt(r - b) over the grazed shell where the path's
1/sqrt(r - b) would defeat it (`exokern._forward.transit_depth`; its docstring and
include/exokern/chords.hpp give the formula and the order of arithmetic). Rays at the levels
themselves, with a trapezoid along them, made the top shell count half where the model's top
is opaque (the cores of strong lines): 0.24 H low at 50 levels against 3200, converging only in
the first order; these rays are within 0.01 H at 50 levels and converge in the second. The
rays are taken from the top down; a wavelength whose chord exceeds taumax is marked in `ideep`
and every deeper ray counts as opaque there (the chord's optical depth only grows inward).

Transit depth. With A(b) = 1 - exp(-tau(b)) the fraction of starlight the ray at b removes,

    depth = (R_bottom^2 + 2 * integral from R_bottom to R_top of A(b) b db) / R_star^2,

the disc inside the deepest layer counted as opaque (the model's bottom lies far below the
pressures that light reaches), and the integral taken by the midpoint rule over the shells
(spectrally accurate here: A falls from 1 to 0 smoothly well inside them). The
effective radius is R_star sqrt(depth). The pressure probed at a wavelength is where the
chord's optical depth reaches 0.56, the level at which an opaque disc gives the same depth
(Lecavelier des Etangs et al. 2008, A&A 481, L83).

For an isothermal atmosphere with a grey opacity kappa the effective radius has the closed form
R = R0 + H (gamma + ln tau0), tau0 = kappa rho0 sqrt(2 pi R0 H), with H the scale height,
rho0 the density at R0 and gamma Euler's constant (de Wit & Seager 2013, Science 342, 1473;
Heng & Kitzmann 2017, MNRAS 470, 2972); the tests hold the model to it.
"""

from __future__ import annotations

from typing import Optional

import numpy as np
import numpy.typing as npt

from exokern import _forward, _quadra
from exokern.atmosphere import AMU, K_BOLTZMANN, MEAN_MOLECULAR_MASS
from exokern.radiation import TAUMAX, level_pressure

Array = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.intc]

# Chord optical depth whose opaque-disc equivalent gives the same transit depth.
TAU_PROBED = 0.56


def radii(pressure: Array, temperature: Array, gravity: float, rref: float, pref: float,
          mean_mass: float = MEAN_MOLECULAR_MASS,
          log_pressure: Optional[tuple[Array, Array]] = None) -> Array:
    """Radius of every layer (cm) for gravity `gravity` (cm s^-2) at the reference radius
    `rref` (cm) where the pressure is `pref` (barye), falling off as 1/r^2 (see the module's
    docstring). `log_pressure`, where given, is ln p and its steps, computed once for a grid.
    Raises ValueError when the atmosphere is not bound."""
    if log_pressure is None:
        lnp = np.log(np.asarray(pressure, dtype=np.float64))
        log_pressure = (lnp, np.diff(lnp))
    lnp, steps = log_pressure
    # g H, cm^2 s^-2
    gh = K_BOLTZMANN * np.asarray(temperature, dtype=np.float64) / (mean_mass * AMU)
    j = np.empty(len(lnp))
    _quadra.cumtrapz(j, np.ascontiguousarray(gh), steps, np.inf)
    lnp0 = float(np.log(pref))
    if lnp0 < lnp[0]:
        jref = (lnp0 - lnp[0]) * gh[0]
    elif lnp0 > lnp[-1]:
        jref = j[-1] + (lnp0 - lnp[-1]) * gh[-1]
    else:
        jref = float(np.interp(lnp0, lnp, j))
    inverse = 1.0 / rref + (j - jref) / (gravity * rref * rref)
    if not np.all(inverse > 0.0):
        raise ValueError("the atmosphere is not bound: its top lies beyond any radius at this "
                         "gravity and temperature (raise gravity or pref, or lower ptop)")
    result: Array = 1.0 / inverse
    return result


def transit(ext: Array, r: Array, rstar: float, taumax: float = TAUMAX,
            chords: bool = True) -> tuple[Array, Optional[Array], IntArray]:
    """The transit depth per wavelength, the optical depth of every ray's chord (rows: the ray
    grazing the middle of each shell between two layers, top first; +inf below a wavelength's
    first opaque ray; None unless `chords`) and that first opaque ray (the last ray where none
    is), from the extinction `ext` (layers, wavelengths; cm^-1) at the radii `r` (cm) in front
    of a star of radius `rstar` (cm)."""
    ext = np.ascontiguousarray(ext, dtype=np.float64)
    tau = np.empty((ext.shape[0] - 1, ext.shape[1])) if chords else None
    ideep = np.empty(ext.shape[1], dtype=np.intc)
    depth = _forward.transit_depth(ext, np.ascontiguousarray(r, dtype=np.float64), rstar,
                                   taumax, tau, ideep)
    return depth, tau, ideep


def probed_pressure(tau: Array, ideep: IntArray, pressure: Array) -> Array:
    """Pressure at which the chord of the rays (one per shell, at its middle: see `transit`)
    reaches optical depth 0.56, per wavelength, interpolated in log pressure (the deepest ray's
    pressure where none does)."""
    rays = np.sqrt(pressure[:-1] * pressure[1:])
    return level_pressure(tau, ideep, rays, TAU_PROBED)
