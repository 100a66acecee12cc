"""A retrieval problem, made from a retrieval's settings: the forward model over the data's
wavelengths, the data (or, given none, an injection), the priors and fixed values, and the
likelihood. The default problem is an injection-recovery run on a synthetic hot Jupiter.

    >>> from exokern.retrieval import default_problem
    >>> problem = default_problem(live=100)          # settings by name (see `SETTINGS`)
    >>> problem.likelihood([1400.0, 0.5, -0.5, -3.0, 7.1492e9])
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Mapping, Optional

import numpy as np

from exokern import params as registry
from exokern import safety
from exokern.atmosphere import R_JUPITER
from exokern.model import ForwardModel, grid_size
from exokern.retrieval.data import Observation
from exokern.retrieval.likelihood import OBSERVABLES, Likelihood, inject, log_bins
from exokern.retrieval.priors import Priors, check_parameters, split_specs
from exokern.retrieval.sampler import memory_of, sampler_for

# The settings of a retrieval: the model's static choices, then those of the data, the star,
# the sampler and the injection (`exokern.params`).
SETTINGS = ("units", "geometry", "layers", "ptop", "pbottom", "resolution", "wn_min", "wn_max",
            "angles", "molecules", "cia", "rayleigh", "tstar", "sampler", "live", "dlogz",
            "seed", "batch", "method", "effective", "max_calls", "noise")
# Where a retrieval's defaults differ from the registry's: a transmission model of 50 layers at
# R = 1000 over the data's wavelengths (wn_min and wn_max unset: from the data).
DEFAULTS: dict[str, Any] = dict(geometry="transmission", layers=50, resolution=1000.0,
                                angles=4, wn_min=None, wn_max=None)
_FROM_DATA = ("wn_min", "wn_max")

# The injection-recovery run: a hot Jupiter (1 R_Jup around a Sun at 0.1 bar, g = 2200 cm s^-2)
# seen from 0.5 to 1 micron in bins of resolving power 200, with the noise of the setting.
INJECTED_TRUTHS = {"isothermal": 1400.0, "na": 0.5, "k": -0.5, "logkappa": -3.0,
                   "rplanet": R_JUPITER}
INJECTED_RANGE = (0.5, 1.0, 200.0)  # micron, micron, resolving power of the bins
DEFAULT_PRIORS: dict[str, Any] = {
    "isothermal": {"uniform": [700.0, 2500.0]},
    "na": {"uniform": [-3.0, 2.0]},
    "k": {"uniform": [-3.0, 2.0]},
    # the grey continuum: with an isothermal atmosphere logkappa sets its opacity alone
    "logkappa": {"uniform": [-6.0, -1.0]},
    "rplanet": {"uniform": [0.9 * R_JUPITER, 1.1 * R_JUPITER]},
}
# A likelihood call costs about layers^2 x wavenumbers terms; beyond this a run takes days.
MAX_TERMS = 5e9


def default_settings() -> dict[str, Any]:
    """Every setting of a retrieval at its default."""
    return {name: DEFAULTS.get(name, registry.setting(name).default) for name in SETTINGS}


def check_settings(settings: Mapping[str, Any]) -> dict[str, Any]:
    """The settings, each checked by the registry (the defaults for those not given); a
    ValueError names an unknown or a bad one."""
    unknown = sorted(set(settings) - set(SETTINGS))
    if unknown:
        raise ValueError(f"unknown setting {unknown[0]!r} (known: {', '.join(SETTINGS)})")
    full = default_settings()
    full.update(settings)
    checked = {name: (None if name in _FROM_DATA and value is None
                      else registry.setting(name).check(value))
               for name, value in full.items()}
    if checked["geometry"] not in OBSERVABLES:
        raise ValueError(f"a retrieval fits one spectrum: geometry emission or transmission, "
                         f"got {checked['geometry']!r}")
    return checked


@dataclass
class Problem:
    """What a retrieval samples: the likelihood of `data` under `model` over the `priors`, with
    the `fixed` values; `truths` are the injected values of the free parameters of an
    injection."""

    settings: dict[str, Any]
    model: ForwardModel
    data: Observation
    priors: Priors
    fixed: dict[str, float]
    likelihood: Likelihood
    truths: dict[str, float]
    injected: bool


def model_for(settings: Mapping[str, Any], low: Any, high: Any) -> ForwardModel:
    """The forward model of the settings over the bins (low, high) (micron): its wavenumbers
    reach two grid steps beyond the bins, unless the settings fix them."""
    s = settings
    margin = 1.0 + 2.0 / s["resolution"]
    wn_min = s["wn_min"] if s["wn_min"] is not None else 1e4 / float(np.max(high)) / margin
    wn_max = s["wn_max"] if s["wn_max"] is not None else 1e4 / float(np.min(low)) * margin
    n = grid_size(wn_min, wn_max, s["resolution"])
    if n * s["layers"] ** 2 > MAX_TERMS:
        raise ValueError(f"{s['layers']} layers x {n:.3g} wavenumbers are too many for a "
                         "retrieval; lower the layers or the resolution")
    return ForwardModel(s["geometry"], layers=s["layers"], ptop=s["ptop"],
                        pbottom=s["pbottom"], wn_min=wn_min, wn_max=wn_max,
                        resolution=s["resolution"], angles=s["angles"],
                        molecules=s["molecules"], cia=s["cia"], rayleigh=s["rayleigh"])


def make_problem(settings: Mapping[str, Any], priors: Priors, fixed: Mapping[str, float],
                 data: Optional[Observation] = None) -> Problem:
    """The problem of `data` (None: an injection at INJECTED_TRUTHS, with the fixed values,
    over bins of INJECTED_RANGE) under the settings, priors and fixed values. A ValueError
    names a bad setting, parameter or prior."""
    s = check_settings(settings)
    fixed = {k: float(v) for k, v in fixed.items()}
    injected = data is None
    if data is None:
        if s["geometry"] != "transmission":
            raise ValueError("the injection-recovery run is a transmission retrieval; give "
                             "data for an emission retrieval")
        low, high = log_bins(*INJECTED_RANGE)
        truths = {k: v for k, v in INJECTED_TRUTHS.items() if k not in fixed}
    else:
        low, high = data.low, data.high
        truths = {}
    model = model_for(s, low, high)
    check_parameters(model, priors, fixed)
    chosen = sampler_for(s["sampler"], len(priors))
    live = s["live"] if s["live"] is not None else registry.live_points(chosen, len(priors))
    safety.check_memory(memory_of(live, len(priors)),
                        f"{chosen} with {live} live points over {len(priors)} parameters")
    if data is None:
        data = inject(model, {**INJECTED_TRUTHS, **fixed}, low, high, s["noise"] * 1e-6,
                      s["seed"])
    tstar = s["tstar"] if s["geometry"] == "emission" else None
    likelihood = Likelihood(model, data, priors.names, fixed, tstar)
    check_prior_edges(likelihood, priors)
    return Problem(s, model, data, priors, fixed, likelihood, truths, injected)


def check_prior_edges(likelihood: Likelihood, priors: Priors) -> None:
    """Refuse priors whose edges the model cannot compute (numbers it cannot hold): each
    parameter at both ends of its prior, the others at their defaults (so that the one to
    blame is the one named)."""
    known = dict(likelihood.model.parameter_set)
    defaults = [float(d) if isinstance(d, (int, float)) else p.value(0.5)
                for p, d in ((p, known[p.name].default if p.name in known else 1.0)
                             for p in priors.priors)]
    for k, prior in enumerate(priors.priors):
        for edge in (prior.low, prior.high):
            theta = list(defaults)
            theta[k] = edge
            try:
                with np.errstate(all="ignore"):
                    model = likelihood.binned(theta)
                held = bool(np.all(np.isfinite(model)))
            except (OverflowError, ZeroDivisionError, FloatingPointError):
                held = False
            except ValueError:  # a combination the model refuses: a point of zero likelihood
                continue
            if not held:
                raise ValueError(f"the prior of {prior.name} ({prior}) reaches values the "
                                 f"model cannot compute: at {prior.name} = {edge:g} its "
                                 "spectrum overflows; narrow the prior")


def without(problem: Problem, name: str) -> Problem:
    """The same problem with the free parameter `name` left out, for the Bayes factor of what
    it adds: a molecule's mixing ratio takes the molecule out of the model; any other
    parameter keeps its default. The data are the problem's own (an injection's too)."""
    if name not in problem.priors.names:
        raise ValueError(f"{name} is not a free parameter of the retrieval, so there is "
                         f"nothing to compare without it (free: {', '.join(problem.priors.names)})")
    priors = Priors([p for p in problem.priors.priors if p.name != name])
    settings = dict(problem.settings)
    molecule = name[len("log_"):] if name.startswith("log_") else ""
    if molecule in settings["molecules"]:
        settings["molecules"] = {k: v for k, v in settings["molecules"].items() if k != molecule}
    return make_problem(settings, priors, problem.fixed, problem.data)


def default_problem(**settings: Any) -> Problem:
    """The injection-recovery problem with its default priors, at the settings given (the
    others at their defaults)."""
    priors, fixed = split_specs(DEFAULT_PRIORS)
    return make_problem(settings, priors, fixed)

