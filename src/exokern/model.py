"""The forward model: one object made from the static choices of a run, evaluated for one set of
physical parameters at a time, for the emission spectrum, the transmission spectrum or both.

    >>> from exokern.model import ForwardModel
    >>> model = ForwardModel("transmission", layers=60, resolution=2000.0)
    >>> out = model.spectrum(tirr=1400.0, na=0.5)        # {"depth": ..., "radius": ...}
    >>> result = model(tirr=1400.0, na=0.5)              # the outputs and their diagnostics

The static choices (pressure grid, wavenumber grid, viewing angles, geometry, optical-depth
cut-off) are fixed when the model is made, and what depends on them alone is computed then.
An evaluation runs the pipeline, top of the atmosphere first:

1. temperatures on the log-spaced pressure grid (`_kelvo.guillot`, or `_kelvo.isothermal`);
2. extinction: the Na and K resonance doublets (`_alkali.alkali_cross_section`) times the
   atoms' number densities, plus a grey continuum (shared by both geometries);
3. emission: altitudes from hydrostatic equilibrium at constant gravity (`_quadra.cumtrapz`),
   the vertical optical depth of every layer (`_quadra.cumoptdepth`), the emergent intensity at
   Gauss-Legendre cosines (`_quadra.intensity`), the flux over the outward hemisphere and the
   brightness temperature;
4. transmission: radii above the reference radius in gravity falling as 1/r^2, the chord
   optical depth of the ray grazing each layer (`_quadra.optdepth`) and the transit depth
   (`_quadra.trapz2D`); see `exokern.transmission` for the geometry and the formula.

A model holds only numbers and strings, so it pickles (a worker process on another machine can
receive it), opens no files, and gives the same bits for the same parameters.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Mapping, Optional, Union

import numpy as np
import numpy.typing as npt

from exokern import _quadra
from exokern import atmosphere as atm
from exokern import lines
from exokern import radiation as rad
from exokern import transmission as tr

Array = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.intc]
Value = Optional[float]

GEOMETRIES = ("emission", "transmission", "both")

# Nominal radii of the IAU 2015 Resolution B3 (Jupiter's equatorial radius; the Sun), in cm.
R_JUPITER = 7.1492e9
R_SUN = 6.957e10

# Every parameter of an evaluation and its default: the worked hot Jupiter.
DEFAULTS: dict[str, Value] = {
    "logkappa": atm.GUILLOT_PARAMS[0],  # log10 thermal opacity of the profile (cm^2 g^-1)
    "logg1": atm.GUILLOT_PARAMS[1],  # log10 visible-to-thermal opacity ratio, channel 1
    "logg2": atm.GUILLOT_PARAMS[2],  # log10 visible-to-thermal opacity ratio, channel 2
    "alpha": atm.GUILLOT_PARAMS[3],  # share of the flux in channel 1
    "tirr": atm.GUILLOT_PARAMS[4],  # irradiation temperature (K)
    "tint": atm.GUILLOT_PARAMS[5],  # internal temperature (K)
    "isothermal": None,  # temperature of an isothermal atmosphere (K), replaces the profile
    "gravity": atm.GRAVITY,  # at the reference radius (cm s^-2)
    "na": 0.0,  # sodium abundance relative to solar (dex)
    "k": 0.0,  # potassium abundance relative to solar (dex)
    "kappa": None,  # grey continuum opacity (cm^2 g^-1); None: 10^logkappa
    "rplanet": R_JUPITER,  # reference radius (cm)
    "rstar": R_SUN,  # stellar radius (cm)
    "pref": 0.1,  # pressure at the reference radius (bar)
}

OUTPUTS = {
    "emission": ("flux", "tb"),
    "transmission": ("depth", "radius"),
    "both": ("flux", "tb", "depth", "radius"),
}

_EMISSION_STAGES = ("optical depth", "intensity", "emission diagnostics")
_TRANSMISSION_STAGES = ("radii", "chord optical depth", "transit depth",
                        "transmission diagnostics")
STAGES = {
    "emission": ("atmosphere", "extinction") + _EMISSION_STAGES,
    "transmission": ("atmosphere", "extinction") + _TRANSMISSION_STAGES,
    "both": ("atmosphere", "extinction") + _EMISSION_STAGES + _TRANSMISSION_STAGES,
}

# Parameters that must be positive, or may be zero, where they are given.
_POSITIVE = ("isothermal", "gravity", "rplanet", "rstar", "pref")
_NONNEGATIVE = ("tirr", "tint", "kappa")


@dataclass(frozen=True)
class Result:
    """What one evaluation gives: the outputs of the model's geometry (the others are None)
    and the diagnostics the programs write. Arrays over wavenumbers follow `wn`; arrays over
    layers follow `pressure` (top first)."""

    geometry: str
    params: dict[str, Value]
    wn: Array
    wavelength: Array
    pressure: Array
    temperature: Array
    kappa: float
    skipped: tuple[str, ...]
    times: dict[str, float] = field(default_factory=dict)
    # emission
    flux: Optional[Array] = None
    tb: Optional[Array] = None
    intensity: Optional[Array] = None
    mu: Optional[Array] = None
    weights: Optional[Array] = None
    z: Optional[Array] = None
    ideep: Optional[IntArray] = None
    tau: Optional[Array] = None
    p_photosphere: Optional[Array] = None
    band_flux: Optional[float] = None
    # transmission
    depth: Optional[Array] = None
    radius: Optional[Array] = None
    radii: Optional[Array] = None
    ray_ideep: Optional[IntArray] = None
    p_probed: Optional[Array] = None
    scale_height: Optional[float] = None

    def outputs(self) -> dict[str, Array]:
        """The per-wavenumber outputs of the geometry, by name."""
        found: dict[str, Array] = {}
        for name in OUTPUTS[self.geometry]:
            value = getattr(self, name)
            assert value is not None
            found[name] = value
        return found


def _check_number(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise ValueError(f"{name} must be a real number, got {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {number:g}")
    return number


def _check_static(geometry: str, layers: int, ptop: float, pbottom: float, wn_min: float,
                  wn_max: float, resolution: float, angles: int, taumax: float) -> None:
    if geometry not in GEOMETRIES:
        raise ValueError(f"geometry must be one of {', '.join(GEOMETRIES)}, got {geometry!r}")
    for name, count in (("layers", layers), ("angles", angles)):
        if isinstance(count, bool) or not isinstance(count, (int, np.integer)):
            raise ValueError(f"{name} must be an integer, got {type(count).__name__}")
    if layers < 2:
        raise ValueError(f"layers must be at least 2, got {layers}")
    if angles < 1:
        raise ValueError(f"angles must be at least 1, got {angles}")
    values = dict(ptop=ptop, pbottom=pbottom, wn_min=wn_min, wn_max=wn_max,
                  resolution=resolution, taumax=taumax)
    for name, value in values.items():
        if _check_number(name, value) <= 0.0:
            raise ValueError(f"{name} must be positive, got {value:g}")
    if ptop >= pbottom:
        raise ValueError(f"ptop ({ptop:g}) must be below pbottom ({pbottom:g})")
    if wn_min >= wn_max:
        raise ValueError(f"wn_min ({wn_min:g}) must be below wn_max ({wn_max:g})")


def grid_size(wn_min: float, wn_max: float, resolution: float) -> float:
    """Number of wavenumbers of the grid (a float: it may be astronomically large, or inf)."""
    span = resolution * math.log(wn_max / wn_min)
    return math.floor(span) + 1.0 if math.isfinite(span) else math.inf


class ForwardModel:
    """A forward model for fixed static choices; call it with physical parameters.

    `geometry` is "emission", "transmission" or "both"; `layers` log-spaced pressures from
    `ptop` to `pbottom` (bar); wavenumbers from `wn_min` to `wn_max` (cm^-1) at resolving power
    `resolution`; `angles` Gauss-Legendre cosines for the emergent intensity; each wavelength's
    integration stops beyond optical depth `taumax`. Bad choices raise ValueError.
    """

    def __init__(self, geometry: str = "emission", *, layers: int = 100, ptop: float = 1e-8,
                 pbottom: float = 1e2, wn_min: float = 10000.0, wn_max: float = 20000.0,
                 resolution: float = 20000.0, angles: int = 8,
                 taumax: float = rad.TAUMAX) -> None:
        _check_static(geometry, layers, ptop, pbottom, wn_min, wn_max, resolution, angles,
                      taumax)
        if grid_size(wn_min, wn_max, resolution) < 3:
            raise ValueError("the wavenumber grid would hold fewer than 3 samples; raise "
                             "resolution or widen wn_min..wn_max")
        self.geometry = geometry
        self.static: dict[str, Any] = dict(
            geometry=geometry, layers=int(layers), ptop=float(ptop), pbottom=float(pbottom),
            wn_min=float(wn_min), wn_max=float(wn_max), resolution=float(resolution),
            angles=int(angles), taumax=float(taumax))
        self.layers = int(layers)
        self.taumax = float(taumax)
        self.pressure: Array = atm.pressure_grid(self.layers, ptop, pbottom)
        self.wn: Array = rad.wavenumber_grid(wn_min, wn_max, resolution)
        self.wavelength: Array = 1e4 / self.wn
        self.mu, self.weights = rad.gauss_cosines(int(angles))
        self.defaults: dict[str, Value] = dict(DEFAULTS)
        self.outputs: tuple[str, ...] = OUTPUTS[geometry]
        self.stages: tuple[str, ...] = STAGES[geometry]

    def __reduce__(self) -> tuple[Any, ...]:
        # A pickle carries the static choices alone and the receiver rebuilds the arrays: the
        # message stays small, and the arrays are the receiver's own, aligned for the kernels
        # (dask and pickle protocol 5 may hand over arrays on unaligned buffers).
        return (_rebuild, (dict(self.static), dict(self.defaults)))

    def __repr__(self) -> str:
        args = ", ".join(f"{k}={v!r}" for k, v in self.static.items() if k != "geometry")
        return f"ForwardModel({self.geometry!r}, {args})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, ForwardModel) and self.static == other.static

    def __hash__(self) -> int:
        return hash(tuple(sorted(self.static.items())))

    def parameters(self, **params: Union[Value, int]) -> dict[str, Value]:
        """The full parameter set: the defaults updated with `params`, each checked. Raises
        ValueError naming an unknown parameter or a bad value."""
        unknown = sorted(set(params) - set(DEFAULTS))
        if unknown:
            raise ValueError(f"unknown parameter {unknown[0]!r} (known: "
                             f"{', '.join(DEFAULTS)})")
        full: dict[str, Value] = dict(self.defaults)
        for name, value in params.items():
            if value is None and DEFAULTS[name] is None:
                full[name] = None
                continue
            number = _check_number(name, value)
            if name in _POSITIVE and not number > 0.0:
                raise ValueError(f"{name} must be positive, got {number:g}")
            if name in _NONNEGATIVE and number < 0.0:
                raise ValueError(f"{name} must not be negative, got {number:g}")
            full[name] = number
        for name, species in (("na", lines.SODIUM), ("k", lines.POTASSIUM)):
            dex = full[name]
            assert dex is not None
            limit = lines.max_dex(species)
            if dex > limit:
                raise ValueError(f"{name} = {dex:g} dex puts more {species.name} atoms than gas "
                                 f"particles (at most {limit:+.2f})")
        rplanet, rstar = full["rplanet"], full["rstar"]
        assert rplanet is not None and rstar is not None
        if self.geometry != "emission" and not rstar > rplanet:
            raise ValueError(f"rstar ({rstar:g} cm) must be larger than rplanet "
                             f"({rplanet:g} cm)")
        return full

    def spectrum(self, **params: Union[Value, int]) -> dict[str, Array]:
        """The outputs alone (`outputs` names them), for the parameters given (the others at
        their defaults)."""
        return self(**params).outputs()

    def __call__(self, **params: Union[Value, int]) -> Result:
        """Evaluate the model for the parameters given (the others at their defaults)."""
        return self.evaluate(params)

    def evaluate(self, params: Mapping[str, Union[Value, int]],
                 stage: Optional[Callable[[str], None]] = None) -> Result:
        """Evaluate the model for the parameter set `params`; `stage`, when given, is called
        with the name of each stage (see `stages`) as it completes."""
        p = self.parameters(**params)
        # Extreme parameters may overflow along the way; what matters is whether the outputs
        # come out finite, which is checked at the end.
        with np.errstate(over="ignore", invalid="ignore", divide="ignore", under="ignore"):
            return self._evaluate(p, stage)

    def _evaluate(self, p: dict[str, Value], stage: Optional[Callable[[str], None]]) -> Result:
        times: dict[str, float] = {}
        clock = time.perf_counter()

        def lap(name: str) -> None:
            nonlocal clock
            now = time.perf_counter()
            times[name] = now - clock
            clock = now
            if stage is not None:
                stage(name)

        gravity = _value(p, "gravity")
        profile = [_value(p, n) for n in ("logkappa", "logg1", "logg2", "alpha", "tirr", "tint")]
        pressure = self.pressure
        temperature = atm.temperatures(pressure, profile, gravity, p["isothermal"])
        if not np.all(np.isfinite(temperature) & (temperature > 0)):
            raise ValueError("the temperature profile is not finite and positive everywhere; "
                             "check the profile parameters")
        lap("atmosphere")

        ext, skipped = lines.alkali_extinction(pressure, temperature, self.wn,
                                               dex={"Na": _value(p, "na"), "K": _value(p, "k")})
        kappa = p["kappa"] if p["kappa"] is not None else 10.0 ** profile[0]
        ext += (kappa * atm.mass_density(pressure, temperature))[:, None]
        lap("extinction")

        found: dict[str, Any] = {}
        if self.geometry in ("emission", "both"):
            found.update(self._emission(ext, temperature, gravity, lap))
        if self.geometry in ("transmission", "both"):
            found.update(self._transmission(ext, temperature, p, lap))
        result = Result(geometry=self.geometry, params=p, wn=self.wn, wavelength=self.wavelength,
                        pressure=pressure, temperature=temperature, kappa=float(kappa),
                        skipped=tuple(skipped), times=times, **found)
        for name, values in result.outputs().items():
            if not np.all(np.isfinite(values)):
                raise ValueError(f"the {name} spectrum is not finite for these parameters")
        return result

    def _emission(self, ext: Array, temperature: Array, gravity: float,
                  lap: Any) -> dict[str, Any]:
        z = atm.altitudes(self.pressure, temperature, gravity)
        tau, ideep = rad.optical_depth(ext, atm.path_intervals(z), self.taumax)
        lap("optical depth")
        # The layers below every wavelength's bottom are never read: no emission for them.
        bb = rad.planck(self.wn, temperature[:int(ideep.max()) + 1])
        intensity = _quadra.intensity(tau, ideep, bb, self.mu, 0)
        flux = rad.hemisphere_flux(intensity, self.mu, self.weights)
        lap("intensity")
        tb = rad.brightness_temperature(self.wn, flux)
        p_phot = rad.photosphere_pressure(tau, ideep, self.pressure)
        band = rad.band_integral(self.wn, flux)
        lap("emission diagnostics")
        return dict(flux=flux, tb=tb, intensity=intensity, mu=self.mu, weights=self.weights,
                    z=z, ideep=ideep, tau=tau, p_photosphere=p_phot, band_flux=band)

    def _transmission(self, ext: Array, temperature: Array, p: Mapping[str, Value],
                      lap: Any) -> dict[str, Any]:
        rplanet, rstar = _value(p, "rplanet"), _value(p, "rstar")
        gravity = _value(p, "gravity")
        r = tr.radii(self.pressure, temperature, gravity, rplanet, _value(p, "pref") * atm.BAR)
        if not r[0] < rstar:
            raise ValueError(f"the atmosphere's top ({r[0]:g} cm) reaches beyond rstar "
                             f"({rstar:g} cm)")
        lap("radii")
        tau, ideep = tr.chord_depth(ext, r, self.taumax)
        lap("chord optical depth")
        p_probed = tr.probed_pressure(tau, ideep, self.pressure)
        depth = tr.transit_depth(tau, r, rstar, overwrite=True)
        lap("transit depth")
        height = float(atm.scale_height(np.median(temperature), gravity))
        lap("transmission diagnostics")
        return dict(depth=depth, radius=rstar * np.sqrt(depth), radii=r, ray_ideep=ideep,
                    p_probed=p_probed, scale_height=height)


def _rebuild(static: dict[str, Any], defaults: dict[str, Value]) -> ForwardModel:
    model = ForwardModel(**static)
    model.defaults.update(defaults)
    return model


def _value(params: Mapping[str, Value], name: str) -> float:
    value = params[name]
    assert value is not None, name
    return value
