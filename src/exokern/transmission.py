"""Transmission through the limb of a spherical atmosphere: the transit depth of a planet.

Geometry. The layers of the model (pressures p_k, top first) are spherical shells. Their radii
follow hydrostatic equilibrium of an ideal gas in the planet's own gravity, which falls off as
g(r) = g0 (R0 / r)^2 above the reference radius R0 where the pressure is p0 and the gravity g0:

    dr / d(ln p) = -k T / (mu m_u g(r))   =>   1/r_k = 1/R0 + (1 / (g0 R0^2)) J(p0 -> p_k),
    J(p0 -> p) = integral from ln p0 to ln p of k T / (mu m_u) d(ln p),

integrated by the trapezoidal rule in ln p (`_quadra.cumtrapz`), linearly beyond the grid's end
when p0 lies outside it. An atmosphere hot enough for 1/r to reach zero is not bound and is
refused.

A ray of starlight grazing layer j has impact parameter b = r_j and crosses the shells 0..j on
its way in and again on its way out. Along its half-chord the distance from the tangent point to
shell k is s_k = sqrt(r_k^2 - b^2), so the path intervals are h_k = s_k - s_(k+1), k < j. The
optical depth of the whole chord is twice the trapezoidal integral of the extinction over the
half-chord, which is exactly what `_quadra.optdepth` returns for the rows 0..j. The rays are
taken from the top down; a wavelength whose chord exceeds taumax is marked in `ideep` and every
deeper ray counts as opaque there (the chord's optical depth only grows inward).

Transit depth. With A(b) = 1 - exp(-tau(b)) the fraction of starlight the ray at b removes,

    depth = (R_bottom^2 + 2 * integral from R_bottom to R_top of A(b) b db) / R_star^2,

the disc inside the deepest layer counted as opaque (the model's bottom lies far below the
pressures that light reaches), and the integral taken by the trapezoidal rule over the layer
radii (`_quadra.trapz2D`). The effective radius is R_star sqrt(depth). The pressure probed at a
wavelength is where the chord's optical depth reaches 0.56, the level at which an opaque disc
gives the same depth (Lecavelier des Etangs et al. 2008, A&A 481, L83).

For an isothermal atmosphere with a grey opacity kappa the effective radius has the closed form
R = R0 + H (gamma + ln tau0), tau0 = kappa rho0 sqrt(2 pi R0 H), with H the scale height,
rho0 the density at R0 and gamma Euler's constant (de Wit & Seager 2013, Science 342, 1473;
Heng & Kitzmann 2017, MNRAS 470, 2972); the tests hold the model to it.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from exokern import _quadra
from exokern.atmosphere import AMU, K_BOLTZMANN, MEAN_MOLECULAR_MASS
from exokern.radiation import TAUMAX, level_pressure

Array = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.intc]

# Chord optical depth whose opaque-disc equivalent gives the same transit depth.
TAU_PROBED = 0.56


def radii(pressure: Array, temperature: Array, gravity: float, rref: float, pref: float,
          mmm: float = MEAN_MOLECULAR_MASS) -> Array:
    """Radius of every layer (cm) for gravity `gravity` (cm s^-2) at the reference radius
    `rref` (cm) where the pressure is `pref` (barye), falling off as 1/r^2 (see the module's
    docstring). Raises ValueError when the atmosphere is not bound."""
    lnp = np.log(np.asarray(pressure, dtype=np.float64))
    gh = K_BOLTZMANN * np.asarray(temperature, dtype=np.float64) / (mmm * AMU)  # g H, cm^2 s^-2
    j = np.empty(len(lnp))
    _quadra.cumtrapz(j, np.ascontiguousarray(gh), np.diff(lnp), np.inf)
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


def chord_intervals(r: Array, j: int) -> Array:
    """Path intervals along the half-chord of the ray grazing layer j, from the top shell down
    to the tangent point (cm): s_k - s_(k+1) for k < j, s_k = sqrt(r_k^2 - r_j^2)."""
    rk = r[:j + 1]
    s = np.sqrt((rk - r[j]) * (rk + r[j]))
    result: Array = s[:-1] - s[1:]
    return result


def chord_depth(ext: Array, r: Array, taumax: float = TAUMAX) -> tuple[Array, IntArray]:
    """Optical depth of the chord of every ray (rows: the ray grazing each layer, top first;
    columns: wavelengths) from the extinction `ext` (layers, wavelengths; cm^-1), and per
    wavelength the first ray whose chord exceeds taumax (the last ray where none does). Rows
    below a wavelength's opaque ray are not computed and hold +inf."""
    ext = np.ascontiguousarray(ext, dtype=np.float64)
    nlayers, nwave = ext.shape
    tau = np.full((nlayers, nwave), np.inf)
    tau[0] = 0.0
    ideep = np.full(nwave, -1, dtype=np.intc)
    for j in range(1, nlayers):
        was_open = ideep < 0
        # optdepth gives twice the half-chord integral: the optical depth of the whole chord.
        row = _quadra.optdepth(ext[:j + 1], chord_intervals(r, j), taumax, ideep, j)
        tau[j] = np.where(was_open, row, np.inf)
        if ideep.min() >= 0:
            break
    ideep[ideep < 0] = nlayers - 1
    return tau, ideep


def transit_depth(tau: Array, r: Array, rstar: float, overwrite: bool = False) -> Array:
    """(R_bottom^2 + 2 integral of (1 - exp(-tau(b))) b db) / R_star^2 per wavelength, from the
    chord optical depths `tau` of the rays grazing the layers of radii `r` (see the module's
    docstring). With `overwrite` the integrand is formed in `tau`'s own memory, which saves
    allocating (and first touching) an array as large."""
    nlayers, nwave = tau.shape
    weighted = tau if overwrite and tau.flags.c_contiguous else np.empty((nlayers, nwave))
    # Rays below the last one computed are opaque at every wavelength (tau = +inf): they
    # absorb exactly 1.0, which -expm1(-inf) also gives.
    computed = nlayers
    while computed > 1 and np.isposinf(tau[computed - 1, 0]) and np.all(
            np.isposinf(tau[computed - 1])):
        computed -= 1
    head = weighted[:computed]
    np.negative(tau[:computed], out=head)
    np.expm1(head, out=head)
    np.multiply(head, -r[:computed, None], out=head)
    weighted[computed:] = r[computed:, None]
    dr = np.ascontiguousarray(r[:-1] - r[1:])
    nint = np.full(nwave, nlayers - 1, dtype=np.intc)
    integral = _quadra.trapz2D(weighted, dr, nint)
    result: Array = (r[-1] * r[-1] + 2.0 * integral) / (rstar * rstar)
    return result


def probed_pressure(tau: Array, ideep: IntArray, pressure: Array) -> Array:
    """Pressure of the layer whose grazing ray's chord reaches optical depth 0.56, per
    wavelength, interpolated in log pressure (the bottom pressure where none does)."""
    return level_pressure(tau, ideep, pressure, TAU_PROBED)
