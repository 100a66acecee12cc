"""What one evaluation of the forward model gives: the atmosphere and the gas, and one record per
geometry the model computes, `Emission` and `Transmission`."""

from __future__ import annotations

from dataclasses import dataclass, field
from functools import cached_property
from typing import Optional

import numpy as np
import numpy.typing as npt

from exokern import atmosphere as atm
from exokern import radiation as rad
from exokern import transmission as tr
from exokern.opacity.tabulated import Clamped, Clamping

Array = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.intc]
Value = Optional[float]


@dataclass(frozen=True)
class Emission:
    """The emission spectrum of the dayside and its diagnostics: the flux through the top
    (erg s-1 cm-2 / cm-1) and its brightness temperature `tb` (K) per wavenumber, the intensity
    per viewing cosine `mu` (with the Gauss-Legendre `weights`), the altitudes `z` (cm), the
    vertical optical depth `tau` of every layer down to each wavenumber's bottom layer `ideep`
    (to a cloud deck, where there is one: tau's last row is then the deck's top, and
    `pressure` the layers' pressures down to it), the pressure at optical depth 2/3
    `p_photosphere` (barye) and the flux integrated over the band `band_flux`. `tau` and the
    last three are computed when first read: a grid or a retrieval that stores the flux alone
    does not pay for them."""

    flux: Array
    intensity: Array
    mu: Array
    weights: Array
    z: Array
    ideep: IntArray
    tau2: Array = field(repr=False)  # twice the optical depth, as the intensity took it
    wn: Array = field(repr=False)
    pressure: Array = field(repr=False)

    @cached_property
    def tau(self) -> Array:
        result: Array = 0.5 * self.tau2
        return result

    @cached_property
    def tb(self) -> Array:
        return rad.brightness_temperature(self.wn, self.flux)

    @cached_property
    def p_photosphere(self) -> Array:
        return rad.photosphere_pressure(self.tau, self.ideep, self.pressure)

    @cached_property
    def band_flux(self) -> float:
        return rad.band_integral(self.wn, self.flux)


@dataclass(frozen=True)
class Transmission:
    """The transmission spectrum and its diagnostics: the transit depth and the effective radius
    (cm) per wavenumber, the layers' radii (cm), each wavenumber's first opaque ray `ray_ideep`
    (one ray per shell, grazing its middle; among the rays above a cloud deck, the last grazing
    the deck's top), the optical depth `tau` of every ray's chord (+inf below the first opaque
    ray), the pressure the limb is probed at `p_probed` (barye) and the scale height at the
    median temperature (cm). The last three are computed when first read: a grid or a
    retrieval that stores the depth alone does not pay for them."""

    depth: Array
    radii: Array
    ray_ideep: IntArray
    # What the chords are made of (down to a cloud deck's top, where there is one).
    ext: Array = field(repr=False)
    chord_radii: Array = field(repr=False)
    pressure: Array = field(repr=False)
    temperature: Array = field(repr=False)
    gravity: float = field(repr=False)
    mean_mass: float = field(repr=False)
    rstar: float = field(repr=False)
    taumax: float = field(repr=False)

    @cached_property
    def radius(self) -> Array:
        result: Array = self.rstar * np.sqrt(self.depth)
        return result

    @cached_property
    def tau(self) -> Array:
        _, tau, _ = tr.transit(self.ext, self.chord_radii, self.rstar, self.taumax)
        assert tau is not None
        return tau

    @cached_property
    def p_probed(self) -> Array:
        return tr.probed_pressure(self.tau, self.ray_ideep, self.pressure)

    @cached_property
    def scale_height(self) -> float:
        return float(atm.scale_height(np.median(self.temperature), self.gravity,
                                      self.mean_mass))


class Result:
    """What one evaluation gives: the atmosphere (arrays over layers follow `pressure`, top
    first; over wavenumbers they follow `wn`), the parameters used, the gas (`mixture`, volume
    mixing ratios, and its `mean_mass`, u), the grey continuum's opacity `kappa` (cm2 g-1), the
    alkali lines left out (`skipped`), the tables' clamping (`clamped`: per source, the layers
    taken at a table's edge), every source's extinction where it was asked for (`sources`), the
    seconds per stage, and the part of each geometry the model computes, `emission` and
    `transmission` (asking for a part the geometry lacks raises ValueError)."""

    __slots__ = ("geometry", "params", "wn", "wavelength", "pressure", "temperature", "mixture",
                 "mean_mass", "kappa", "skipped", "_clamping", "sources", "times", "_emission",
                 "_transmission")

    def __init__(self, geometry: str, params: dict[str, Value], wn: Array, wavelength: Array,
                 pressure: Array, temperature: Array, mixture: dict[str, float],
                 mean_mass: float, kappa: float, skipped: tuple[str, ...],
                 clamping: Optional[Clamping], sources: Optional[dict[str, Array]],
                 times: dict[str, float], emission: Optional[Emission] = None,
                 transmission: Optional[Transmission] = None) -> None:
        self.geometry = geometry
        self.params = params
        self.wn, self.wavelength = wn, wavelength
        self.pressure, self.temperature = pressure, temperature
        self.mixture, self.mean_mass = mixture, mean_mass
        self.kappa = kappa
        self.skipped = skipped
        self._clamping = clamping
        self.sources = sources
        self.times = times
        self._emission = emission
        self._transmission = transmission

    @property
    def clamped(self) -> dict[str, Clamped]:
        """The sources clamped at their tables' edges, by name."""
        if self._clamping is None:
            return {}
        return {k: c for k, c in self._clamping.by_source().items() if c}

    @property
    def emission(self) -> Emission:
        if self._emission is None:
            raise ValueError(f"a {self.geometry} model computes no emission spectrum")
        return self._emission

    @property
    def transmission(self) -> Transmission:
        if self._transmission is None:
            raise ValueError(f"an {self.geometry} model computes no transmission spectrum")
        return self._transmission

    def outputs(self) -> dict[str, Array]:
        """The per-wavenumber outputs of the geometry, by name (see `OUTPUTS`)."""
        found: dict[str, Array] = {}
        if self._emission is not None:
            found.update(flux=self._emission.flux, tb=self._emission.tb)
        if self._transmission is not None:
            found.update(depth=self._transmission.depth, radius=self._transmission.radius)
        return found

    def __repr__(self) -> str:
        return (f"Result({self.geometry!r}, {len(self.pressure)} layers x {len(self.wn)} "
                f"wavenumbers)")
