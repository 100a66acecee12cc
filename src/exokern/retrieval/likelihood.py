"""Priors and the Gaussian likelihood of binned data under the forward model.

The free parameters are forward-model parameters (see `exokern.model.DEFAULTS`, in the model's
units) and, optionally, `error_scale`, a factor on every uncertainty fitted with the rest. The
log-likelihood of the parameters theta is

    ln L = -1/2 sum_i [ (d_i - m_i(theta))^2 / (s sigma_i)^2 + ln(2 pi (s sigma_i)^2) ]

with d the data, sigma their uncertainties, s the error scale (1 unless fitted) and m the model
averaged over each bin (`Binning`). The observable is the transit depth for transmission and,
for emission, the planet-to-star flux ratio F_p / (pi B(T_star)) (R_p / R_s)^2 against a star
radiating as a blackbody of temperature `tstar`. A parameter set the model refuses (a spectrum
that is not finite, an atmosphere reaching beyond the star) has likelihood zero, ln L = -inf.

A Likelihood pickles to a short description (the model's static choices, the fixed values, the
data) from which a worker rebuilds it once and keeps it for the tasks that follow.
"""

from __future__ import annotations

import functools
import json
import math
from dataclasses import dataclass
from typing import Any, Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern import radiation as rad
from exokern.model import DEFAULTS, ForwardModel
from exokern.model import _rebuild as rebuild_model
from exokern.retrieval.data import Binning, Observation

Array = npt.NDArray[np.float64]

ERROR_SCALE = "error_scale"
PRIOR_KINDS = ("uniform", "log-uniform")
OBSERVABLES = {"transmission": "transit depth", "emission": "planet-to-star flux ratio"}


@dataclass(frozen=True)
class Prior:
    """A parameter's prior: uniform in the value ("uniform") or in its logarithm
    ("log-uniform") between `low` and `high`."""

    name: str
    kind: str
    low: float
    high: float

    def __post_init__(self) -> None:
        if self.kind not in PRIOR_KINDS:
            raise ValueError(f"the prior of {self.name} must be uniform or log-uniform, got "
                             f"{self.kind!r}")
        low, high = float(self.low), float(self.high)
        if not (math.isfinite(low) and math.isfinite(high) and low < high):
            raise ValueError(f"the prior of {self.name} needs finite bounds low < high, got "
                             f"{self.low!r} .. {self.high!r}")
        if self.kind == "log-uniform" and not low > 0:
            raise ValueError(f"the log-uniform prior of {self.name} needs a positive low "
                             f"bound, got {low:g}")
        object.__setattr__(self, "low", low)
        object.__setattr__(self, "high", high)

    def value(self, u: float) -> float:
        """The parameter at quantile `u` of the prior (0 <= u <= 1)."""
        if self.kind == "uniform":
            return self.low + u * (self.high - self.low)
        a, b = math.log(self.low), math.log(self.high)
        return math.exp(a + u * (b - a))

    def __str__(self) -> str:
        return f"{self.kind} {self.low:g} .. {self.high:g}"


def parse_prior(name: str, spec: Any) -> Optional[Prior]:
    """A prior from its configuration: a table {uniform = [LOW, HIGH]} (or log-uniform), or
    the text "uniform:LOW:HIGH"; a plain number fixes the parameter (returns None)."""
    if isinstance(spec, bool):
        raise ValueError(f"{name} must be a number or a prior, got {spec!r}")
    if isinstance(spec, (int, float)):
        return None
    if isinstance(spec, str):
        parts = spec.split(":")
        if len(parts) != 3:
            raise ValueError(f"the prior of {name} must read KIND:LOW:HIGH (e.g. "
                             f"uniform:0:1), got {spec!r}")
        kind, low, high = parts
        try:
            return Prior(name, kind.strip(), float(low), float(high))
        except ValueError as err:
            if "prior" in str(err):
                raise
            raise ValueError(f"the prior of {name} needs numbers, got {spec!r}") from None
    if isinstance(spec, Mapping):
        if len(spec) != 1:
            raise ValueError(f"the prior of {name} must have one kind ({' or '.join(PRIOR_KINDS)}"
                             f"), got {', '.join(map(str, spec)) or 'none'}")
        (kind, bounds), = spec.items()
        if (not isinstance(bounds, (list, tuple)) or len(bounds) != 2
                or not all(isinstance(b, (int, float)) and not isinstance(b, bool)
                           for b in bounds)):
            raise ValueError(f"the prior of {name} needs two numbers [LOW, HIGH], got "
                             f"{bounds!r}")
        return Prior(name, str(kind), float(bounds[0]), float(bounds[1]))
    raise ValueError(f"{name} must be a number or a prior, got {spec!r}")


class Priors:
    """The free parameters' priors, in order: maps a point of the unit cube to parameters."""

    def __init__(self, priors: Sequence[Prior]) -> None:
        if not priors:
            raise ValueError("there are no free parameters: give at least one prior")
        names = [p.name for p in priors]
        for name in names:
            if names.count(name) > 1:
                raise ValueError(f"{name} has two priors")
        self.priors = tuple(priors)
        self.names = tuple(names)

    def __call__(self, u: Array) -> Array:
        _check_length(u, self.names)
        return np.array([p.value(float(x)) for p, x in zip(self.priors, u)])

    def __len__(self) -> int:
        return len(self.priors)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Priors) and self.priors == other.priors

    def __hash__(self) -> int:
        return hash(self.priors)


def _check_length(theta: Any, names: Sequence[str]) -> None:
    if len(theta) != len(names):
        raise ValueError(f"expected {len(names)} values ({', '.join(names)}), got "
                         f"{len(theta)}")


def check_parameters(model: ForwardModel, priors: Priors, fixed: Mapping[str, float]) -> None:
    """Refuse, with a ValueError naming the parameter, a name the model does not know, a
    parameter both fixed and free, and a fixed value or a prior bound the model refuses."""
    known = set(DEFAULTS) | {ERROR_SCALE}
    for name in list(fixed) + list(priors.names):
        if name not in known:
            raise ValueError(f"unknown parameter {name!r} (known: {', '.join(sorted(known))})")
    both = sorted(set(fixed) & set(priors.names))
    if both:
        raise ValueError(f"{both[0]} is both fixed and free")
    if ERROR_SCALE in fixed:
        raise ValueError(f"{ERROR_SCALE} is either free (a prior) or left out (1), not fixed")
    model_fixed = dict(fixed)
    model.parameters(**model_fixed)
    for prior in priors.priors:
        if prior.name == ERROR_SCALE:
            if not prior.low > 0:
                raise ValueError(f"the prior of {ERROR_SCALE} must lie above 0, got {prior}")
            continue
        for bound in (prior.low, prior.high):
            try:
                model.parameters(**{**model_fixed, prior.name: bound})
            except ValueError as err:
                raise ValueError(f"the prior of {prior.name} ({prior}) reaches values the "
                                 f"model refuses: {err}") from None


def observable(model: ForwardModel, params: Mapping[str, Any],
               star: Optional[Array] = None) -> Array:
    """The observable of `model` at its wavenumbers: the transit depth, or for emission the
    planet-to-star flux ratio against the stellar flux `star` (pi B(T_star))."""
    res = model(**params)
    if res.depth is not None:
        return res.depth
    assert star is not None and res.flux is not None
    rplanet, rstar = res.params["rplanet"], res.params["rstar"]
    assert rplanet is not None and rstar is not None
    ratio: Array = res.flux / star * ((rplanet / rstar) ** 2)
    return ratio


def stellar_flux(wn: Array, tstar: float) -> Array:
    """The flux of a star radiating as a blackbody at `tstar`, pi B(wn, tstar)."""
    flux: Array = math.pi * rad.planck(wn, [tstar])[0]
    return flux


class Likelihood:
    """The Gaussian likelihood of `data` under `model` with the free parameters `names` (in the
    order of theta) and the others at `fixed` (or the model's defaults); `tstar` (K) is the
    star's temperature for emission. Call it with theta to get ln L."""

    def __init__(self, model: ForwardModel, data: Observation, names: Sequence[str],
                 fixed: Optional[Mapping[str, float]] = None,
                 tstar: Optional[float] = None) -> None:
        if model.geometry not in OBSERVABLES:
            raise ValueError(f"a retrieval fits one spectrum: geometry emission or "
                             f"transmission, got {model.geometry!r}")
        if model.geometry == "emission" and not (tstar is not None and tstar > 0):
            raise ValueError("an emission retrieval needs the star's temperature tstar > 0")
        self.model = model
        self.data = data
        self.names = tuple(names)
        self.fixed = {k: float(v) for k, v in (fixed or {}).items()}
        self.tstar = float(tstar) if tstar is not None else None
        self.binning = Binning(model.wavelength, data.low, data.high)
        self.star = (stellar_flux(model.wn, self.tstar)
                     if model.geometry == "emission" and self.tstar is not None else None)
        self._scale_at = self.names.index(ERROR_SCALE) if ERROR_SCALE in self.names else -1
        # Sums by math.fsum (correctly rounded): the same bits in every process, whatever
        # the arrays' alignment or the machine's vector width.
        self._lognorm = math.fsum(np.log(2.0 * math.pi * data.error ** 2))
        # The model as it pickles itself: its static choices and its defaults.
        _, (static, defaults) = model.__reduce__()
        self._description = json.dumps(dict(
            static=static, defaults=defaults, fixed=self.fixed, names=self.names, tstar=self.tstar,
            data=dict(low=data.low.tolist(), high=data.high.tolist(),
                      value=data.value.tolist(), error=data.error.tolist(),
                      source=data.source)), sort_keys=True)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_likelihood_from, (self._description,))

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Likelihood) and self._description == other._description

    def __hash__(self) -> int:
        return hash(self._description)

    @property
    def description(self) -> str:
        """Everything the likelihood depends on, as JSON text."""
        return self._description

    def parameters(self, theta: Sequence[float]) -> dict[str, float]:
        """The forward model's parameters for theta (the fixed ones included)."""
        _check_length(theta, self.names)
        params = dict(self.fixed)
        for name, value in zip(self.names, theta):
            if name != ERROR_SCALE:
                params[name] = float(value)
        return params

    def spectrum(self, theta: Sequence[float]) -> Array:
        """The observable at the model's wavenumbers for theta."""
        return observable(self.model, self.parameters(theta), self.star)

    def binned(self, theta: Sequence[float]) -> Array:
        """The observable averaged over the data's bins for theta."""
        return self.binning(self.spectrum(theta))

    def predict(self, theta: Sequence[float]) -> tuple[Array, Array]:
        """(spectrum, binned) for theta: what the posterior bands are made of."""
        fine = self.spectrum(theta)
        return fine, self.binning(fine)

    def loglike(self, model: Array, scale: float = 1.0) -> float:
        """ln L of the binned model `model` with the uncertainties times `scale`."""
        r = (self.data.value - model) / (scale * self.data.error)
        lognorm = self._lognorm + 2.0 * len(r) * math.log(scale) if scale != 1.0 \
            else self._lognorm
        return -0.5 * (math.fsum(r * r) + lognorm)

    def __call__(self, theta: Sequence[float]) -> float:
        _check_length(theta, self.names)
        try:
            with np.errstate(all="ignore"):
                model = self.binned(theta)
        except ValueError:
            return -math.inf  # parameters the model refuses
        if not np.all(np.isfinite(model)):
            return -math.inf
        scale = float(theta[self._scale_at]) if self._scale_at >= 0 else 1.0
        return self.loglike(model, scale)


@functools.lru_cache(maxsize=4)
def _likelihood_from(description: str) -> Likelihood:
    """A likelihood from its description; a worker keeps the last few it was sent."""
    d = json.loads(description)
    model = rebuild_model(d["static"], d["defaults"])
    data = Observation(np.array(d["data"]["low"]), np.array(d["data"]["high"]),
                       np.array(d["data"]["value"]), np.array(d["data"]["error"]),
                       d["data"]["source"])
    return Likelihood(model, data, d["names"], d["fixed"], d["tstar"])


def log_bins(low: float, high: float, resolution: float) -> tuple[Array, Array]:
    """Adjacent bins from `low` to about `high` (micron) at resolving power
    wavelength/width = `resolution`: their (low, high) edges."""
    n = max(int(math.floor(resolution * math.log(high / low))), 1)
    edges = low * np.exp(np.arange(n + 1) / resolution)
    return edges[:-1].copy(), edges[1:].copy()


def inject(model: ForwardModel, truths: Mapping[str, float], low: Array, high: Array,
           noise: float, seed: int, tstar: Optional[float] = None) -> Observation:
    """Synthetic data: the observable at `truths` averaged over the bins (low, high), plus
    Gaussian noise of standard deviation `noise` (a fraction) drawn with `seed`."""
    star = stellar_flux(model.wn, tstar) if model.geometry == "emission" and tstar else None
    exact = Binning(model.wavelength, low, high)(observable(model, truths, star))
    rng = np.random.default_rng(seed)
    value = exact + noise * rng.standard_normal(len(exact))
    return Observation(low, high, value, np.full(len(exact), float(noise)),
                       f"injected ({noise * 1e6:g} ppm noise, seed {seed})")
