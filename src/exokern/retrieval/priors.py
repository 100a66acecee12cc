"""Priors of a retrieval's free parameters, and the checks of the free and fixed parameters
against the model and the registry (`exokern.params`).

The free parameters are forward-model parameters, in the model's units, and, optionally,
`error_scale`, a factor on every uncertainty fitted with the rest.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern import params as registry
from exokern.model import ForwardModel

Array = npt.NDArray[np.float64]

ERROR_SCALE = registry.ERROR_SCALE.name
PRIOR_KINDS = ("uniform", "log-uniform")


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


def split_specs(specs: Mapping[str, Any]) -> tuple["Priors", dict[str, float]]:
    """The priors of the free parameters and the values of the fixed ones, from a mapping of
    each parameter to its prior or value (see `parse_prior`)."""
    priors: list[Prior] = []
    fixed: dict[str, float] = {}
    for name, spec in specs.items():
        prior = parse_prior(name, spec)
        if prior is None:
            fixed[name] = float(spec)
        else:
            priors.append(prior)
    return Priors(priors), fixed


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
        check_length(u, self.names)
        return np.array([p.value(float(x)) for p, x in zip(self.priors, u)])

    def many(self, u: Array) -> Array:
        """The parameters of every row of `u` (points of the unit cube), each row as `__call__`
        maps it."""
        rows = np.atleast_2d(np.asarray(u, dtype=np.float64))
        return np.array([self(row) for row in rows]).reshape(len(rows), len(self.priors))

    def __len__(self) -> int:
        return len(self.priors)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Priors) and self.priors == other.priors

    def __hash__(self) -> int:
        return hash(self.priors)


def check_length(theta: Any, names: Sequence[str]) -> None:
    if len(theta) != len(names):
        raise ValueError(f"expected {len(names)} values ({', '.join(names)}), got "
                         f"{len(theta)}")


def check_parameters(model: ForwardModel, priors: Priors, fixed: Mapping[str, float]) -> None:
    """Refuse, with a ValueError naming the parameter, a name the model does not know, a
    parameter that may not be free, one both fixed and free, and a fixed value or a prior
    bound the model (or, for `error_scale`, the registry) refuses."""
    known = dict(model.parameter_set)
    known[ERROR_SCALE] = registry.ERROR_SCALE
    for name in list(fixed) + list(priors.names):
        if name not in known:
            raise ValueError(f"unknown parameter {name!r} (known: {', '.join(sorted(known))})")
    for name in priors.names:
        if not known[name].free:
            raise ValueError(f"{name} cannot be free in a retrieval")
    both = sorted(set(fixed) & set(priors.names))
    if both:
        raise ValueError(f"{both[0]} is both fixed and free")
    if ERROR_SCALE in fixed:
        raise ValueError(f"{ERROR_SCALE} is either free (a prior) or left out (1), not fixed")
    model_fixed = dict(fixed)
    model.parameters(**model_fixed)
    for prior in priors.priors:
        for bound in (prior.low, prior.high):
            try:
                if prior.name == ERROR_SCALE:
                    registry.ERROR_SCALE.check(bound)
                else:
                    model.parameters(**{**model_fixed, prior.name: bound})
            except ValueError as err:
                raise ValueError(f"the prior of {prior.name} ({prior}) reaches values the "
                                 f"model refuses: {err}") from None
