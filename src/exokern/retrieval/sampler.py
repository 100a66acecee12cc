"""Nested sampling of a likelihood over its priors, on a pool of any engine, with checkpoints.

The sampler is dynesty's static nested sampler. Dynesty takes its parallelism from any object
with an ordered `map` (our `pools.Pool`), so the same run goes to local processes, MPI ranks or
a dask cluster unchanged; it draws every proposal's random seed in the calling process and
works through a fixed number of proposals at a time (the batch), so for a fixed seed and batch
the run is the same whatever the engine and the number of workers. Its checkpoints are its
own: the whole sampler, saved under a temporary name and renamed, every so often and at the end.
"""

from __future__ import annotations

import importlib
import os
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

import numpy as np
import numpy.typing as npt

from exokern.retrieval.likelihood import Likelihood, Priors
from exokern.retrieval.pools import Pool

Array = npt.NDArray[np.float64]

# The attribute of a checkpointed sampler that records what it samples, so that a checkpoint
# of another problem or of other settings is refused instead of resumed.
_RUN_KEY = "exokern_run"


class CheckpointMismatch(ValueError):
    """A checkpoint that belongs to another retrieval."""


@dataclass
class Posterior:
    """What a run gives: the weighted samples of the posterior (`samples` of shape
    (n, parameters) with `weights` summing to 1 and their `logl`), the log-evidence `logz`
    and its error, and the run's accounting."""

    names: tuple[str, ...]
    samples: Array
    weights: Array
    logl: Array
    logz: float
    logzerr: float
    calls: int
    seconds: float
    calls_here: int
    iterations: int
    info: dict[str, Any] = field(default_factory=dict)
    raw: Any = field(default=None, repr=False, compare=False)  # the sampler's own results

    def quantiles(self, q: Any) -> Array:
        """Weighted quantiles: shape (len(q), parameters)."""
        q = np.atleast_1d(np.asarray(q, dtype=np.float64))
        out = np.empty((len(q), len(self.names)))
        for k in range(len(self.names)):
            order = np.argsort(self.samples[:, k], kind="stable")
            x = self.samples[order, k]
            cdf = np.cumsum(self.weights[order])
            cdf /= cdf[-1]
            out[:, k] = np.interp(q, cdf, x)
        return out

    def equal_weight(self, count: int, seed: int) -> Array:
        """`count` samples drawn from the posterior with the weights (with replacement)."""
        rng = np.random.default_rng(seed)
        picked = rng.choice(len(self.weights), size=count, p=self.weights)
        drawn: Array = self.samples[picked]
        return drawn

    @property
    def calls_per_second(self) -> float:
        return self.calls_here / self.seconds if self.seconds > 0 else float("nan")


def run_key(likelihood: Likelihood, priors: Priors, settings: dict[str, Any]) -> str:
    """What makes two runs the same run: the likelihood, the priors and the sampler's
    settings (not the engine, which does not change the results)."""
    return repr((likelihood.description, priors.priors, sorted(settings.items())))


def sample(likelihood: Likelihood, priors: Priors, pool: Pool, *, live: int = 400,
           dlogz: float = 0.5, seed: int = 1, batch: int = 8, method: str = "auto",
           max_calls: Optional[int] = None, checkpoint: Optional[str] = None,
           checkpoint_every: float = 60.0,
           progress: Optional[Callable[[int, int, float], None]] = None) -> Posterior:
    """Run nested sampling to the stopping criterion `dlogz` (the estimated log-evidence still
    to come) or `max_calls` likelihood calls, with `live` live points, the random `seed` and
    `batch` proposals at a time on `pool`; `method` is dynesty's way of proposing ("auto",
    "unif", "rwalk", "slice", "rslice").

    With `checkpoint`, the sampler is saved there every `checkpoint_every` seconds and at the
    end; a checkpoint that is already there is resumed (CheckpointMismatch if it belongs to
    another run). `progress(iteration, calls, remaining dlogz)` is called as the run goes."""
    dynesty = importlib.import_module("dynesty")

    if list(priors.names) != list(likelihood.names):
        raise ValueError("the priors and the likelihood must name the same parameters in the "
                         "same order")
    settings = dict(live=live, dlogz=dlogz, seed=seed, batch=batch, method=method)
    key = run_key(likelihood, priors, settings)
    resume = checkpoint is not None and os.path.exists(checkpoint)
    if resume:
        assert checkpoint is not None
        try:
            sampler = dynesty.NestedSampler.restore(checkpoint, pool=pool)
        except Exception as err:  # unpickling a foreign or damaged file raises anything
            raise CheckpointMismatch(f"cannot resume from {checkpoint}: {err}") from None
        if getattr(sampler, _RUN_KEY, None) != key:
            raise CheckpointMismatch(f"{checkpoint} is the checkpoint of another retrieval "
                                     "(other data, priors, model or sampler settings); remove "
                                     "it or write elsewhere")
    else:
        sampler = dynesty.NestedSampler(
            likelihood, priors, len(priors), nlive=live, bound="multi", sample=method,
            rstate=np.random.default_rng(seed), queue_size=batch, pool=pool)
        setattr(sampler, _RUN_KEY, key)
    calls_before = int(sampler.ncall)

    def report(results: Any, niter: int, ncall: int, **_: Any) -> None:
        if progress is not None:
            progress(int(niter), int(ncall), float(results.delta_logz))

    start = time.perf_counter()
    # A checkpoint saved at the end of a finished run (its final live points added) holds the
    # whole result: resuming it would sample nothing more.
    finished = resume and bool(getattr(sampler, "added_live", False))
    if not finished:
        sampler.run_nested(dlogz=dlogz, maxcall=max_calls,
                           print_progress=progress is not None, print_func=report,
                           checkpoint_file=checkpoint, checkpoint_every=checkpoint_every,
                           resume=resume)
    seconds = time.perf_counter() - start
    res = sampler.results
    weights = np.exp(res["logwt"] - res["logz"][-1])
    weights /= weights.sum()
    calls = int(np.sum(res["ncall"]))
    return Posterior(
        names=priors.names, samples=np.array(res["samples"]), weights=weights,
        logl=np.array(res["logl"]), logz=float(res["logz"][-1]),
        logzerr=float(res["logzerr"][-1]), calls=calls, seconds=seconds,
        calls_here=calls - calls_before if resume else calls, iterations=int(res["niter"]),
        info=dict(settings, resumed=resume, engine=pool.engine, workers=pool.workers), raw=res)


def bands(likelihood: Likelihood, posterior: Posterior, pool: Pool, draws: int = 200,
          seed: int = 1) -> dict[str, Array]:
    """The spectrum of the posterior: the model at `draws` posterior samples (evaluated on
    the pool), and its median, 1-sigma (68 %) and 2-sigma (95 %) bands at the model's
    wavenumbers (`spectrum_*`) and over the data's bins (`binned_*`)."""
    thetas = posterior.equal_weight(draws, seed)
    predicted = pool.map(likelihood.predict, list(thetas))
    levels = {"median": 50.0, "lo1": 15.865, "hi1": 84.135, "lo2": 2.275, "hi2": 97.725}
    out: dict[str, Array] = {}
    for which, k in (("spectrum", 0), ("binned", 1)):
        stack = np.array([p[k] for p in predicted])
        for name, level in levels.items():
            out[f"{which}_{name}"] = np.percentile(stack, level, axis=0)
    return out
