"""The Gaussian likelihood of binned data under the forward model, and synthetic data.

The free parameters are forward-model parameters (the model's `parameter_set`, in the
registry's units) and, optionally, `error_scale`, a factor on every uncertainty fitted with the
rest (`exokern.retrieval.priors`). The log-likelihood of the parameters theta is

    ln L = -1/2 sum_i [ (d_i - m_i(theta))^2 / (s sigma_i)^2 + ln(2 pi (s sigma_i)^2) ]

with d the data, sigma their uncertainties, s the error scale (1 unless fitted) and m the model
averaged over each bin (`Binning`). The observable is the transit depth for transmission and,
for emission, the planet-to-star flux ratio F_p / (pi B(T_star)) (R_p / R_s)^2 against a star
radiating as a blackbody of temperature `tstar`. A parameter set the model refuses (a spectrum
that is not finite, an atmosphere reaching beyond the star) has likelihood zero, ln L = -inf.

A Likelihood pickles to a short description (the model's description, the fixed values, the
data) from which a worker rebuilds it once and keeps it for the tasks that follow
(`exokern.engines.cached`).
"""

from __future__ import annotations

import json
import math
from typing import Any, Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern import engines
from exokern import radiation as rad
from exokern.model import ForwardModel
from exokern.retrieval.binning import Binning
from exokern.retrieval.data import Observation
from exokern.retrieval.priors import ERROR_SCALE, check_length

Array = npt.NDArray[np.float64]

OBSERVABLES = {"transmission": "transit depth", "emission": "planet-to-star flux ratio"}


def observable(model: ForwardModel, params: Mapping[str, Any],
               star: Optional[Array] = None) -> Array:
    """The observable of `model` at its wavenumbers: the transit depth, or for emission the
    planet-to-star flux ratio against the stellar flux `star` (pi B(T_star))."""
    res = model(**params)
    if model.geometry != "emission":
        return res.transmission.depth
    assert star is not None
    rplanet, rstar = res.params["rplanet"], res.params["rstar"]
    assert rplanet is not None and rstar is not None
    ratio: Array = res.emission.flux / star * ((rplanet / rstar) ** 2)
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
        self._description = json.dumps(dict(
            model=model.describe(), fixed=self.fixed, names=self.names, tstar=self.tstar,
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
        check_length(theta, self.names)
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

    def pointwise(self, model: Array, scale: float = 1.0) -> Array:
        """ln L of every bin alone for the binned model `model`: the terms whose sum `loglike`
        takes (in another order)."""
        sigma = scale * self.data.error
        r = (self.data.value - model) / sigma
        result: Array = -0.5 * (r * r + np.log(2.0 * math.pi * sigma ** 2))
        return result

    def scale_of(self, theta: Sequence[float]) -> float:
        """The factor on the uncertainties that theta holds (1 without `error_scale`)."""
        return float(theta[self._scale_at]) if self._scale_at >= 0 else 1.0

    def loglike(self, model: Array, scale: float = 1.0) -> float:
        """ln L of the binned model `model` with the uncertainties times `scale`."""
        r = (self.data.value - model) / (scale * self.data.error)
        lognorm = self._lognorm + 2.0 * len(r) * math.log(scale) if scale != 1.0 \
            else self._lognorm
        return -0.5 * (math.fsum(r * r) + lognorm)

    def many(self, thetas: Array) -> Array:
        """ln L of every row of `thetas`: a block of points evaluated in one task."""
        rows = np.atleast_2d(np.asarray(thetas, dtype=np.float64))
        return np.array([self(row) for row in rows], dtype=np.float64)

    def __call__(self, theta: Sequence[float]) -> float:
        check_length(theta, self.names)
        try:
            with np.errstate(all="ignore"):
                model = self.binned(theta)
        except ValueError:
            return -math.inf  # parameters the model refuses
        except (OverflowError, ZeroDivisionError, FloatingPointError):
            return -math.inf  # numbers the model cannot hold: an impossible point
        if not np.all(np.isfinite(model)):
            return -math.inf
        scale = float(theta[self._scale_at]) if self._scale_at >= 0 else 1.0
        with np.errstate(all="ignore"):
            found = self.loglike(model, scale)
        return found if math.isfinite(found) else -math.inf


def _likelihood_from(description: str) -> Likelihood:
    """A likelihood from its description, built once per process."""
    return engines.cached("likelihood", description, _build)


def _build(description: str) -> Likelihood:
    d = json.loads(description)
    model = ForwardModel.from_description(d["model"])
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
