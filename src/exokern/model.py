"""The forward model: one object made from the static choices of a run, evaluated for one set of
physical parameters at a time, for the emission spectrum, the transmission spectrum or both.

    >>> from exokern.model import ForwardModel
    >>> model = ForwardModel("transmission", layers=60, resolution=2000.0)
    >>> out = model.spectrum(tirr=1400.0, na=0.5)        # {"depth": ..., "radius": ...}
    >>> result = model(tirr=1400.0, na=0.5)              # the outputs and their diagnostics
    >>> result.transmission.p_probed                     # per geometry: .emission, .transmission

The static choices (pressure grid, wavenumber grid, viewing angles, geometry, optical-depth
cut-off) are fixed when the model is made, and what depends on them alone is computed then.
Both they and the parameters are those of the registry (`exokern.params`), which checks them.
An evaluation runs the pipeline, top of the atmosphere first:

1. temperatures on the log-spaced pressure grid (`_kelvo.guillot`, or `_kelvo.isothermal`);
   the gas: the molecules' mixing ratios, H2 and He filling the rest (`exokern.chemistry`);
2. extinction (`exokern.opacity`, shared by both geometries): the Na and K resonance doublets
   (`_alkali.alkali_cross_section`), a grey continuum, the molecules' cross-section tables,
   collision-induced absorption and Rayleigh scattering (`_opacity.table_extinction`), a haze;
   an opaque cloud deck cuts the atmosphere at its top;
3. emission: altitudes from hydrostatic equilibrium at constant gravity (`_quadra.cumtrapz`),
   the vertical optical depth of every layer (`_quadra.cumoptdepth`), Planck emission
   (`_forward.planck`), the emergent intensity at Gauss-Legendre cosines (`_quadra.intensity`)
   and the flux over the outward hemisphere;
4. transmission: radii above the reference radius in gravity falling as 1/r^2, the chords'
   optical depths and the transit depth (`_forward.transit_depth`, one call for every ray and
   wavelength); see `exokern.transmission` for the geometry and the formula.

The diagnostics (brightness temperature, photosphere, pressure probed, band flux, scale height)
are computed when a result's attribute is first read, not by the evaluation.

A model holds only numbers and strings and opens no files. `describe()` gives it as a short
JSON-able description and `ForwardModel.from_description` makes the same model from one: that is
how it travels to worker processes, on this machine or another (its pickle is the same), and the
same parameters give the same bits there.
"""

from __future__ import annotations

import json
import math
import time
from typing import Any, Callable, Mapping, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

from exokern import _quadra
from exokern import atmosphere as atm
from exokern import chemistry
from exokern import params as registry
from exokern import radiation as rad
from exokern import safety
from exokern import transmission as tr
from exokern.opacity import clouds, files
from exokern.opacity.extinction import Extinction, Opacity
from exokern.result import Emission, Result, Transmission

Array = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.intc]
Value = Optional[float]

OUTPUTS = {
    "emission": ("flux", "tb"),
    "transmission": ("depth", "radius"),
    "both": ("flux", "tb", "depth", "radius"),
}

_EMISSION_STAGES = ("optical depth", "intensity")
_TRANSMISSION_STAGES = ("radii", "chords and transit depth")
STAGES = {
    "emission": ("atmosphere", "extinction") + _EMISSION_STAGES,
    "transmission": ("atmosphere", "extinction") + _TRANSMISSION_STAGES,
    "both": ("atmosphere", "extinction") + _EMISSION_STAGES + _TRANSMISSION_STAGES,
}


def grid_size(wn_min: float, wn_max: float, resolution: float) -> float:
    """Number of wavenumbers of the grid (a float: it may be astronomically large, or inf)."""
    span = resolution * math.log(wn_max / wn_min)
    return math.floor(span) + 1.0 if math.isfinite(span) else math.inf


# Seconds per unit of work at the speed of a current laptop core (an estimate, within a factor
# of a few): an exponential of the emergent intensity, a term of the chord optical depths, a
# wing sample of a line in a layer.
_EXP_SECONDS = 6e-9
_TERM_SECONDS = 1.5e-9
_LINE_SECONDS = 5e-8


def cost(geometry: str, layers: int, nwave: float, angles: int) -> tuple[float, float]:
    """Bytes of memory and seconds of computing that an evaluation of this size needs, roughly:
    six (layer, wavenumber) arrays of doubles and the intensity per angle; the line wings of
    four lines in every layer, one exponential per layer, angle and wavenumber for the emission,
    and layers^2 / 2 terms per wavenumber for the chords of the transmission."""
    cells = float(layers) * nwave
    memory = 8.0 * (6.0 * cells + 2.0 * angles * nwave)
    seconds = 4 * cells * _LINE_SECONDS
    if geometry in ("emission", "both"):
        seconds += cells * angles * _EXP_SECONDS
    if geometry in ("transmission", "both"):
        seconds += 0.5 * layers * cells * _TERM_SECONDS
        memory += 8.0 * 2.0 * cells
    return memory, seconds


class ForwardModel:
    """A forward model for fixed static choices; call it with physical parameters.

    `geometry` is "emission", "transmission" or "both"; `layers` log-spaced pressures from
    `ptop` to `pbottom` (bar); wavenumbers from `wn_min` to `wn_max` (cm^-1) at resolving power
    `resolution`; `angles` Gauss-Legendre cosines for the emergent intensity; each wavelength's
    integration stops beyond optical depth `taumax`. The extinction takes the cross-section
    tables of `molecules` (a mapping of each molecule's name to its file, or a folder of
    tables; see `exokern.opacity.files`), the collision-induced absorption files `cia` and,
    with `rayleigh`, scattering by H2 and He. Bad choices raise ValueError (a table that cannot
    be read, `exokern.opacity.TableError`, names its file).

    `parameter_set` holds the model's parameters (`exokern.params`); `defaults` their values
    when an evaluation leaves them out, which a caller may change.
    """

    def __init__(self, geometry: str = "emission", *, layers: int = 100, ptop: float = 1e-8,
                 pbottom: float = 1e2, wn_min: float = 10000.0, wn_max: float = 20000.0,
                 resolution: float = 20000.0, angles: int = 8,
                 taumax: float = rad.TAUMAX,
                 molecules: Union[None, str, Mapping[str, str]] = None,
                 cia: Sequence[str] = (), rayleigh: bool = True) -> None:
        given = dict(geometry=geometry, layers=layers, ptop=ptop, pbottom=pbottom,
                     wn_min=wn_min, wn_max=wn_max, resolution=resolution, angles=angles,
                     taumax=taumax, molecules=files.resolve_molecules(molecules),
                     cia=files.resolve_pairs(cia), rayleigh=rayleigh)
        static: dict[str, Any] = {s.name: s.check(given[s.name])
                                  for s in registry.MODEL_SETTINGS}
        if static["ptop"] >= static["pbottom"]:
            raise ValueError(f"ptop ({ptop:g}) must be below pbottom ({pbottom:g})")
        if static["wn_min"] >= static["wn_max"]:
            raise ValueError(f"wn_min ({wn_min:g}) must be below wn_max ({wn_max:g})")
        nwave = grid_size(static["wn_min"], static["wn_max"], static["resolution"])
        if nwave < 3:
            raise ValueError("the wavenumber grid would hold fewer than 3 samples; raise "
                             "resolution or widen wn_min..wn_max")
        safety.check_memory(cost(static["geometry"], static["layers"], nwave,
                                 static["angles"])[0],
                            f"a model of {static['layers']} layers x {nwave:.3g} wavenumbers")
        self.static = static
        self.geometry: str = static["geometry"]
        self.pressure: Array = atm.pressure_grid(static["layers"], static["ptop"],
                                                 static["pbottom"])
        lnp = np.log(self.pressure)
        self._log_pressure = (lnp, np.diff(lnp))
        self.wn: Array = rad.wavenumber_grid(static["wn_min"], static["wn_max"],
                                             static["resolution"])
        self.wavelength: Array = 1e4 / self.wn
        self.mu, self.weights = rad.gauss_cosines(static["angles"])
        self._mu2 = 2.0 * self.mu  # seen through twice the optical depth (doubled_optical_depth)
        self.extinction = Extinction(self.wn, static["molecules"], static["cia"],
                                     static["rayleigh"])
        self.molecules: tuple[str, ...] = tuple(static["molecules"])
        self.parameter_set = registry.parameters_for(molecules=self.molecules)
        self.defaults: dict[str, Value] = self.parameter_set.defaults()
        self._defaults_seen: dict[str, Value] = {}
        self._defaults_checked: dict[str, Value] = {}
        self.outputs: tuple[str, ...] = OUTPUTS[self.geometry]
        self.stages: tuple[str, ...] = STAGES[self.geometry]

    # ---- the wire format ---------------------------------------------------------------------

    def describe(self) -> dict[str, Any]:
        """The model as a short JSON-able description: its static choices and its parameters'
        defaults. `ForwardModel.from_description` makes the same model from it."""
        return {"static": dict(self.static), "defaults": dict(self.defaults)}

    @classmethod
    def from_description(cls, description: Union[str, Mapping[str, Any]]) -> "ForwardModel":
        """The model of a description (`describe()`'s, or its JSON text)."""
        d = json.loads(description) if isinstance(description, str) else description
        model = cls(**d["static"])
        model.defaults.update(model.parameter_set.check(d.get("defaults", {})))
        return model

    def __reduce__(self) -> tuple[Any, ...]:
        # A pickle carries the description alone and the receiver rebuilds the arrays: the
        # message stays small, and the arrays are the receiver's own, aligned for the kernels
        # (dask and pickle protocol 5 may hand over arrays on unaligned buffers).
        return (ForwardModel.from_description, (self.describe(),))

    def __repr__(self) -> str:
        args = ", ".join(f"{k}={v!r}" for k, v in self.static.items() if k != "geometry")
        return f"ForwardModel({self.geometry!r}, {args})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, ForwardModel) and self.static == other.static

    def __hash__(self) -> int:
        return hash(json.dumps(self.static, sort_keys=True))

    # ---- evaluation --------------------------------------------------------------------------

    def parameters(self, **params: Union[Value, int]) -> dict[str, Value]:
        """The full parameter set: the defaults updated with `params`, each checked by the
        registry. Raises ValueError naming an unknown parameter or a bad value."""
        return self._checked(params)[0]

    def _checked(self, params: Mapping[str, Union[Value, int]]
                 ) -> tuple[dict[str, Value], dict[str, float]]:
        """The full parameter set and the gas's mixing ratios. The defaults are checked once
        (again whenever a caller has changed them), the given parameters on every call."""
        if self.defaults != self._defaults_seen:
            self._defaults_checked = self.parameter_set.check(self.defaults)
            self._defaults_seen = dict(self.defaults)
        full = dict(self._defaults_checked)
        full.update(self.parameter_set.check(params))
        rplanet, rstar = _value(full, "rplanet"), _value(full, "rstar")
        if self.geometry != "emission" and not rstar > rplanet:
            raise ValueError(f"rstar ({rstar:g} cm) must be larger than rplanet "
                             f"({rplanet:g} cm)")
        return full, self.mixture(full)  # mixing ratios that sum above 1 are refused here

    def mixture(self, p: Mapping[str, Value]) -> dict[str, float]:
        """The gas's volume mixing ratios for the parameters `p`: the molecules', then H2 and
        He (`exokern.chemistry.composition`)."""
        return chemistry.composition({m: 10.0 ** _value(p, f"log_{m}") for m in self.molecules})

    def spectrum(self, **params: Union[Value, int]) -> dict[str, Array]:
        """The outputs alone (`outputs` names them), for the parameters given (the others at
        their defaults)."""
        return self(**params).outputs()

    def __call__(self, **params: Union[Value, int]) -> Result:
        """Evaluate the model for the parameters given (the others at their defaults)."""
        return self.evaluate(params)

    def evaluate(self, params: Mapping[str, Union[Value, int]],
                 stage: Optional[Callable[[str], None]] = None,
                 sources: bool = False) -> Result:
        """Evaluate the model for the parameter set `params`; `stage`, when given, is called
        with the name of each stage (see `stages`) as it completes. With `sources`, the result
        also holds every source's own extinction (`Result.sources`)."""
        p, mixture = self._checked(params)
        # Extreme parameters may overflow along the way; what matters is whether the outputs
        # come out finite, which is checked at the end.
        with np.errstate(all="ignore"):
            return self._evaluate(p, mixture, stage, sources)

    def _evaluate(self, p: dict[str, Value], mixture: dict[str, float],
                  stage: Optional[Callable[[str], None]], by_source: bool) -> Result:
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
        profile = [_value(p, n) for n in registry.PROFILE]
        pressure = self.pressure
        temperature = atm.temperatures(pressure, profile, gravity, p["isothermal"])
        if not np.all(np.isfinite(temperature) & (temperature > 0)):
            raise ValueError("the temperature profile is not finite and positive everywhere; "
                             "check the profile parameters")
        lap("atmosphere")

        mean_mass = p["mean_mass"]
        if mean_mass is None:
            mean_mass = chemistry.mean_mass(mixture)
        opacity = self.extinction(pressure, temperature, p, mixture, mean_mass, by_source)
        lap("extinction")

        deck = clouds.deck(pressure, p["log_pcloud"])
        emission = transmission = None
        if self.geometry in ("emission", "both"):
            emission = self._emission(opacity, temperature, gravity, mean_mass, deck, lap)
        if self.geometry in ("transmission", "both"):
            transmission = self._transmission(opacity, temperature, p, mean_mass, deck, lap)
        result = Result(self.geometry, p, self.wn, self.wavelength, pressure, temperature,
                        mixture, mean_mass, opacity.kappa, opacity.skipped, opacity.clamping,
                        opacity.sources, times, emission, transmission)
        # The other outputs (tb, radius) are finite where these are.
        checked = ([("flux", emission.flux)] if emission is not None else []) + (
            [("depth", transmission.depth)] if transmission is not None else [])
        for name, values in checked:
            if not np.isfinite(values).all():
                raise ValueError(f"the {name} spectrum is not finite for these parameters")
        return result

    def _emission(self, opacity: Opacity, temperature: Array, gravity: float,
                  mean_mass: float, deck: Optional[clouds.Deck],
                  lap: Callable[[str], None]) -> Emission:
        z = atm.altitudes(self.pressure, temperature, gravity, mean_mass)
        ext, zc, pressure = opacity.ext, z, self.pressure
        if deck is not None:  # the atmosphere ends at the deck's top, which emits
            ext, zc, temperature = deck.cut(ext), deck.cut(z), deck.cut(temperature)
            pressure = deck.cut(pressure)
        tau2, ideep = rad.doubled_optical_depth(ext, atm.path_intervals(zc),
                                                self.static["taumax"])
        lap("optical depth")
        # The layers below every wavelength's bottom are never read: no emission for them.
        bb = rad.planck(self.wn, temperature[:int(ideep.max()) + 1])
        intensity = _quadra.intensity(tau2, ideep, bb, self._mu2, 0)
        flux = rad.hemisphere_flux(intensity, self.mu, self.weights)
        lap("intensity")
        return Emission(flux, intensity, self.mu, self.weights, z, ideep, tau2, self.wn,
                        pressure)

    def _transmission(self, opacity: Opacity, temperature: Array, p: Mapping[str, Value],
                      mean_mass: float, deck: Optional[clouds.Deck],
                      lap: Callable[[str], None]) -> Transmission:
        rplanet, rstar = _value(p, "rplanet"), _value(p, "rstar")
        gravity = _value(p, "gravity")
        r = tr.radii(self.pressure, temperature, gravity, rplanet, _value(p, "pref") * atm.BAR,
                     mean_mass, self._log_pressure)
        if not r[0] < rstar:
            raise ValueError(f"the atmosphere's top ({r[0]:g} cm) reaches beyond rstar "
                             f"({rstar:g} cm)")
        ext, rc, pressure = opacity.ext, r, self.pressure
        if deck is not None:  # the disc inside the deck's top is opaque
            ext, rc, pressure = deck.cut(ext), deck.cut(r), deck.cut(pressure)
        lap("radii")
        taumax = self.static["taumax"]
        depth, _, ideep = tr.transit(ext, rc, rstar, taumax, chords=False)
        lap("chords and transit depth")
        return Transmission(depth, r, ideep, ext, rc, pressure, temperature, gravity, mean_mass,
                            rstar, taumax)


def _value(params: Mapping[str, Value], name: str) -> float:
    value = params[name]
    assert value is not None, name
    return value
