"""Radiation of a layered atmosphere seen from above: Planck emission, the vertical optical depth,
the emergent intensity's angular and spectral integrals, and the diagnostics derived from them.

Everything is in cgs units, wavenumbers in cm^-1; two-dimensional arrays are (layer,
wavenumber) with the top layer first.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

from exokern import _forward, _quadra, _simpson
from exokern.atmosphere import K_BOLTZMANN

Array = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.intc]

# Radiation constants (cgs), exact in the 2019 SI (CODATA 2018: the values of
# scipy.constants.h and scipy.constants.c, times 1e7 erg/J and 1e2 cm/m).
PLANCK_H = 6.62607015e-27  # erg s
LIGHT_C = 2.99792458e10  # cm s^-1
C1 = 2.0 * PLANCK_H * LIGHT_C**2  # 2 h c^2, erg cm^2 s^-1
C2 = PLANCK_H * LIGHT_C / K_BOLTZMANN  # h c / k, cm K

# Optical depth at which a wavelength's integration stops: deeper layers are hidden behind
# exp(-20) = 2e-9 of their emission.
TAUMAX = 20.0


def planck(wn: npt.ArrayLike, temperature: npt.ArrayLike) -> Array:
    """Planck emission B(wn, T) = 2 h c^2 wn^3 / (exp(h c wn / k T) - 1) per unit wavenumber
    (erg s^-1 cm^-2 sr^-1 (cm^-1)^-1), shape (layers, wavenumbers), by `_forward.planck` on
    exokern's own exponential: the same bits on every CPU (B = 0 where exp overflows)."""
    wn = np.ascontiguousarray(wn, dtype=np.float64).reshape(-1)
    t = np.ascontiguousarray(temperature, dtype=np.float64).reshape(-1)
    out = np.empty((len(t), len(wn)))
    _forward.planck(wn, t, out)
    return out


def brightness_temperature(wn: npt.ArrayLike, flux: npt.ArrayLike) -> Array:
    """Temperature of the blackbody whose flux pi B equals `flux` at every wavenumber (K)."""
    wn = np.asarray(wn, dtype=np.float64)
    with np.errstate(divide="ignore"):  # zero flux is zero temperature
        result: Array = C2 * wn / np.log1p(math.pi * C1 * wn**3 / np.asarray(flux))
    return result


def optical_depth(ext: npt.ArrayLike, intervals: npt.ArrayLike,
                  taumax: float = TAUMAX) -> tuple[Array, IntArray]:
    """Optical depth from the top of every layer and wavelength, and the bottom layer of every
    wavelength, from the extinction `ext` (layers, wavelengths; cm^-1) and the path lengths
    `intervals` between layers (cm).

    `cumoptdepth` integrates every layer in one pass, with the bits of `optdepth` called layer
    after layer; it returns twice the trapezoidal integral, so it is given 2 taumax and its
    result is halved. A wavelength stops at the first layer beyond taumax; rows below that are
    zero and never read. Row 0 is the top of the model, where the optical depth is zero: the gas
    above the lowest pressure is left out. Wavelengths that never reach taumax see down to the
    bottom layer.
    """
    tau, ideep = doubled_optical_depth(ext, intervals, taumax)
    tau *= 0.5
    return tau, ideep


def doubled_optical_depth(ext: npt.ArrayLike, intervals: npt.ArrayLike,
                          taumax: float = TAUMAX) -> tuple[Array, IntArray]:
    """Twice the optical depth of `optical_depth`, as `cumoptdepth` gives it, and the bottom
    layers. The emergent intensity of twice the optical depth seen at twice the cosines is the
    intensity, bit for bit (the factors of two are exact in every exponent), so a model need
    not halve every element."""
    ext = np.ascontiguousarray(ext, dtype=np.float64)
    intervals = np.ascontiguousarray(intervals, dtype=np.float64)
    nlayers, nwave = ext.shape
    ideep = np.full(nwave, -1, dtype=np.intc)
    tau = _quadra.cumoptdepth(ext, intervals[:nlayers - 1], 2.0 * taumax, ideep)
    ideep[ideep < 0] = nlayers - 1
    return tau, ideep


def gauss_cosines(nangles: int) -> tuple[Array, Array]:
    """Gauss-Legendre nodes and weights for integrals over mu in (0, 1]."""
    x, w = np.polynomial.legendre.leggauss(nangles)
    return 0.5 * (x + 1.0), 0.5 * w


def hemisphere_flux(intensity: Array, mu: Array, weights: Array) -> Array:
    """Flux through the top, F = 2 pi integral over mu of I(mu) mu dmu, by the Gauss-Legendre
    sum. The rule is exact for integrands of degree 2M - 1 in mu with M cosines; the composite
    Simpson or trapezoidal rule on the same M nodes would be of far lower order and would also
    miss the ends mu = 0 and mu = 1 that the nodes leave out.

    The sum runs over the angles in increasing order, element by element, not through a
    matrix product: BLAS may order its sums by the arrays' alignment and its threads, so the
    same spectrum could differ in its last bit between two processes."""
    c = np.asarray(weights) * np.asarray(mu)
    acc = c[0] * intensity[0] if len(c) else np.zeros(intensity.shape[1:])
    for j in range(1, len(c)):
        acc = acc + c[j] * intensity[j]
    flux: Array = 2.0 * math.pi * acc
    return flux


def band_integral(wn: npt.ArrayLike, y: npt.ArrayLike) -> float:
    """Integral of y over the wavenumber grid by the composite Simpson rule for irregular grids
    (a trapezoid for the last interval when the sample count is even)."""
    y = np.ascontiguousarray(y, dtype=np.float64)
    h = np.diff(np.asarray(wn, dtype=np.float64))
    if len(y) < 3:
        return _quadra.trapz(y, h)
    # geth pairs intervals from the first one only for an even interval count.
    hsum, hratio, hfactor = _simpson.geth(h if len(h) % 2 == 0 else h[:-1])
    return _simpson.simps(y, h, hsum, hratio, hfactor)


def level_pressure(tau: Array, ideep: IntArray, pressure: Array, level: float) -> Array:
    """Pressure at which the optical depth of every wavelength (rows: layers from the top, valid
    down to row ideep) first reaches `level`, interpolated in log pressure; the bottom pressure
    where it is never reached."""
    nlayers, nwave = tau.shape
    rows = np.arange(nlayers)[:, None]
    valid = rows <= ideep[None, :]
    reached = (tau >= level) & valid
    below = np.where(reached.any(axis=0), reached.argmax(axis=0), nlayers - 1)
    above = np.maximum(below - 1, 0)
    cols = np.arange(nwave)
    t0, t1 = tau[above, cols], tau[below, cols]
    lp = np.log(pressure)
    with np.errstate(invalid="ignore", divide="ignore"):
        frac = np.clip((level - t0) / (t1 - t0), 0.0, 1.0)
    frac = np.where(np.isfinite(frac) & (below > above), frac, 1.0)
    result: Array = np.exp(lp[above] + frac * (lp[below] - lp[above]))
    return result


def photosphere_pressure(tau: Array, ideep: IntArray, pressure: Array,
                         level: float = 2.0 / 3.0) -> Array:
    """Pressure at which the vertical optical depth of every wavelength reaches `level`
    (2/3 by default), interpolated in log pressure; the bottom pressure where it is never
    reached."""
    return level_pressure(tau, ideep, pressure, level)


def wavenumber_grid(wn_min: float, wn_max: float, resolution: float) -> Array:
    """Wavenumbers from wn_min to wn_max at constant resolving power wn / dwn = resolution."""
    n = int(math.floor(resolution * math.log(wn_max / wn_min))) + 1
    result: Array = wn_min * np.exp(np.arange(n) / resolution)
    return result
