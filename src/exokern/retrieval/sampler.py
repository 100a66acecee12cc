"""Nested sampling of a likelihood over its priors, on a pool of any engine, with checkpoints.

Two samplers behind one `sample`:

- **dynesty**'s static nested sampler. Dynesty takes its parallelism from any
  object with an ordered `map` (`exokern.engines.Pool`), draws every proposal's random seed in
  the calling process and works through a fixed number of proposals at a time (`batch`), so for
  a fixed seed and batch the run is the same, bit for bit, whatever the engine and the number of
  workers. Its checkpoints are its own: the whole sampler pickled, saved under a temporary name
  and renamed, every so often and at the end.
- **nautilus** (the default; Lange 2023, MNRAS 525, 3181): importance nested sampling whose
  bounds are neural-network emulators of the likelihood, which reaches the same posterior with
  several times fewer likelihood calls. It proposes 100 points at a time whatever the pool, each
  worker gets its share as one block (`Likelihood.many`), its networks are trained on one
  thread with a fixed seed, and its draws from a new bound are cut into a fixed number of jobs
  with their own random streams, run on the workers: for a fixed seed the run is the same
  whatever the engine and the
  number of workers, on one machine and numpy build (the networks' arithmetic goes through
  BLAS, whose last bits differ between CPUs, so another machine gives another, statistically
  equivalent, run). Its checkpoint is an HDF5 file (no code runs when it is read), written
  after every batch; a run resumed from it continues the unbroken run exactly.
"""

from __future__ import annotations

import contextlib
import copy
import math
import os
import shutil
import time
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

import numpy as np
import numpy.typing as npt

from exokern import safety
from exokern.engines import Pool
from exokern.errors import require
from exokern.params import SAMPLERS, live_points
from exokern.retrieval.likelihood import Likelihood
from exokern.retrieval.priors import Priors

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


# nautilus's points per batch, fixed so that a run does not depend on the pool's size.
NAUTILUS_BATCH = 100
# nautilus's end of exploration: the live set holds less than this share of the evidence.
NAUTILUS_F_LIVE = 0.01
# nautilus's bounds: one network each (the default four cost four times the training for no
# measurable gain here), a new bound after three live sets' worth of points above the last
# (fewer bounds to train and sample from, for a few more calls).
NAUTILUS_NETWORKS = 1
NAUTILUS_UPDATE = 3
# nautilus's draws from a new bound (10 000 points) in this many jobs, run on the workers.
NAUTILUS_JOBS = 4


def sample(likelihood: Likelihood, priors: Priors, pool: Pool, *, sampler: str = "nautilus",
           live: Optional[int] = None, dlogz: float = 0.5, seed: int = 1, batch: int = 8,
           method: str = "auto", effective: int = 3000, max_calls: Optional[int] = None,
           checkpoint: Optional[str] = None, checkpoint_every: float = 60.0,
           progress: Optional[Callable[[int, int, float], None]] = None) -> Posterior:
    """Sample the posterior and the evidence with `sampler` (see the module's docstring), with
    `live` live points (where not given: 100 for nautilus and 60 more a parameter beyond five, 300
    for dynesty) and the random `seed`
    (dynesty for a single parameter, which nautilus cannot sample), on `pool`, stopping after
    `max_calls` likelihood calls at the latest.

    dynesty stops once the estimated log-evidence still to come is below `dlogz`, works through
    `batch` proposals at a time, and proposes by `method` ("auto", "unif", "rwalk", "slice",
    "rslice"). nautilus explores until its live set holds less than 1 % of the evidence, then
    samples until the posterior holds `effective` effective samples.

    With `checkpoint`, the sampler is saved there (dynesty: every `checkpoint_every` seconds and
    at the end; nautilus: after every batch, to the file with ".h5" appended); a checkpoint that
    is already there is resumed (CheckpointMismatch if it belongs to another run).
    `progress(iteration, calls, remaining)` is called as the run goes: the remaining dlogz for
    dynesty, for nautilus the share of the evidence in its live set while it explores and then
    the effective samples still to draw."""
    if list(priors.names) != list(likelihood.names):
        raise ValueError("the priors and the likelihood must name the same parameters in the "
                         "same order")
    if sampler not in SAMPLERS:
        raise ValueError(f"sampler must be one of {', '.join(SAMPLERS)}, got {sampler!r}")
    sampler = sampler_for(sampler, len(priors))
    if live is None:
        live = live_points(sampler, len(priors))
    if sampler == "nautilus":
        return _nautilus(likelihood, priors, pool, live=live, seed=seed, effective=effective,
                         max_calls=max_calls, checkpoint=checkpoint,
                         checkpoint_every=checkpoint_every, progress=progress)
    return _dynesty(likelihood, priors, pool, live=live, dlogz=dlogz, seed=seed, batch=batch,
                    method=method, max_calls=max_calls, checkpoint=checkpoint,
                    checkpoint_every=checkpoint_every, progress=progress)


def _dynesty(likelihood: Likelihood, priors: Priors, pool: Pool, *, live: int, dlogz: float,
             seed: int, batch: int, method: str, max_calls: Optional[int],
             checkpoint: Optional[str], checkpoint_every: float,
             progress: Optional[Callable[[int, int, float], None]]) -> Posterior:
    dynesty = require("dynesty", "retrieval", "the retrieval")
    settings = dict(live=live, dlogz=dlogz, seed=seed, batch=batch, method=method)
    key = run_key(likelihood, priors, settings)
    resume = checkpoint is not None and os.path.exists(checkpoint)
    if checkpoint is not None:
        safety.check_checkpoint_folder(checkpoint)
        # dynesty writes its checkpoint through this name and renames it: nothing planted
        # there may be followed (the folder is this user's alone, so nothing comes back)
        safety.clear_stale(checkpoint + ".tmp")
    if resume:
        assert checkpoint is not None
        safety.check_trusted(checkpoint)
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
        info=dict(settings, sampler="dynesty", resumed=resume, engine=pool.engine,
                  workers=pool.workers), raw=res)


class _Blocks:
    """A pool as nautilus takes it: `size` workers (nautilus cuts each batch into that many
    blocks) and an ordered `map`, here one task per block."""

    def __init__(self, pool: Pool) -> None:
        self.pool = pool
        self.size = pool.workers

    def map(self, fn: Callable[[Any], Any], items: Any) -> list[Any]:
        return self.pool.map(fn, items)


class _Own:
    """nautilus's pool for its own work: the networks of a bound, trained one a task, and its
    draws from a bound, cut into `NAUTILUS_JOBS` jobs each with its own random stream. Both are
    deterministic given their inputs, so whether they run here or on the pool's workers changes
    no bit, and the number of jobs is fixed so that the run does not depend on the pool's
    size."""

    size = NAUTILUS_JOBS

    def __init__(self, pool: Pool) -> None:
        self.pool = pool

    def map(self, fn: Callable[[Any], Any], items: Any) -> list[Any]:
        jobs = [(fn, item) for item in items]
        if self.pool.workers > 1 and len(jobs) > 1:
            return self.pool.map(_on_a_copy, jobs)
        return [_on_a_copy(job) for job in jobs]


def _on_a_copy(job: tuple[Callable[[Any], Any], Any]) -> Any:
    """`fn(item)` on a copy of `fn` of its own: a draw resets the bound it runs on and nautilus
    adds the jobs' points to its own bound, so no two jobs may share one (here, or in one
    worker's chunk)."""
    fn, item = job
    return copy.deepcopy(fn)(item)


def memory_of(live: int, dimensions: int) -> float:
    """Bytes a run of `live` live points over `dimensions` parameters holds, roughly: forty
    live sets of points (the dead points of a run that gains some 40 nats of information),
    each with its coordinates twice and a dozen numbers besides."""
    return 40.0 * live * (2.0 * dimensions + 12.0) * 8.0


def sampler_for(sampler: str, dimensions: int) -> str:
    """The sampler that samples `dimensions` parameters when `sampler` is asked for: dynesty
    for one parameter, which nautilus cannot sample."""
    return "dynesty" if sampler == "nautilus" and dimensions < 2 else sampler


def nautilus_file(checkpoint: str) -> str:
    """The HDF5 file of a nautilus checkpoint at `checkpoint`."""
    return checkpoint if checkpoint.endswith((".h5", ".hdf5")) else checkpoint + ".h5"


def checkpoint_files(checkpoint: str) -> list[str]:
    """Every file a run with the checkpoint `checkpoint` may leave (to remove them)."""
    return [checkpoint, checkpoint + ".tmp", nautilus_file(checkpoint),
            _work_file(nautilus_file(checkpoint))]


def _nautilus(likelihood: Likelihood, priors: Priors, pool: Pool, *, live: int, seed: int,
              effective: int, max_calls: Optional[int], checkpoint: Optional[str],
              checkpoint_every: float,
              progress: Optional[Callable[[int, int, float], None]]) -> Posterior:
    nautilus = require("nautilus", "retrieval", "the nautilus sampler")
    settings = dict(live=live, seed=seed, effective=effective)
    key = run_key(likelihood, priors, dict(settings, sampler="nautilus"))
    # nautilus rewrites its file in place as it goes, so it writes a working copy, and the
    # checkpoint is a snapshot of it between batches, replaced whole: a run killed while
    # writing leaves the last snapshot as it was.
    path = nautilus_file(checkpoint) if checkpoint is not None else None
    work = _work_file(path) if path is not None else None
    resume = path is not None and os.path.exists(path)
    if path is not None:
        assert work is not None
        safety.check_checkpoint_folder(path)
        safety.clear_stale(work)
    if resume:
        assert path is not None and work is not None
        safety.check_trusted(path)
        h5py = require("h5py", "retrieval", "nautilus's checkpoints")
        try:
            with h5py.File(path, "r") as stored:
                found = stored.attrs.get(_RUN_KEY)
        except OSError as err:
            raise CheckpointMismatch(f"cannot resume from {path}: {err}") from None
        if found != key:
            raise CheckpointMismatch(f"{path} is the checkpoint of another retrieval (other "
                                     "data, priors, model or sampler settings); remove it or "
                                     "write elsewhere")
        with open(path, "rb") as source, safety.created(work) as target:
            shutil.copyfileobj(source, target)
    blocks = _Blocks(pool) if pool.workers > 1 else None
    run = nautilus.Sampler(priors.many, likelihood.many, n_dim=len(priors), n_live=live,
                           n_update=NAUTILUS_UPDATE * live, n_networks=NAUTILUS_NETWORKS,
                           n_batch=NAUTILUS_BATCH, vectorized=True,
                           pool=(blocks, _Own(pool)), seed=seed, filepath=work,
                           resume=resume)
    try:
        return _run_nautilus(run, priors.names, path, work, key, settings, resume, pool,
                             effective, max_calls, checkpoint_every, progress)
    finally:
        if work is not None:
            with contextlib.suppress(OSError):
                os.unlink(work)


def _work_file(path: str) -> str:
    folder, name = os.path.split(path)
    return os.path.join(folder, f".{name}.work.h5")  # nautilus takes .h5 names only


def _snapshot(work: str, path: str, key: str) -> None:
    """The working file, marked as this run's, as the checkpoint at `path` (replaced whole)."""
    _mark(work, key)
    with open(work, "rb") as source, safety.replaced(path) as target:
        shutil.copyfileobj(source, target)


def _run_nautilus(run: Any, names: tuple[str, ...], path: Optional[str], work: Optional[str],
                  key: str,
                  settings: dict[str, Any], resume: bool, pool: Pool, effective: int,
                  max_calls: Optional[int], checkpoint_every: float,
                  progress: Optional[Callable[[int, int, float], None]]) -> Posterior:
    calls_before = int(run.n_like)
    limit = float(max_calls) if max_calls is not None else np.inf
    start = time.perf_counter()
    # One batch per call of run(), which picks up exactly where it stopped: a progress report
    # between batches, the same run as one call.
    step = 1
    done = False
    saved = time.monotonic()
    while True:
        with warnings.catch_warnings():
            # writing its checkpoint, nautilus tries each network attribute as an HDF5
            # attribute and skips the lists of arrays it cannot store; numpy < 1.24 warns
            # on the way
            warnings.filterwarnings("ignore", message="Creating an ndarray from ragged")
            done = run.run(f_live=NAUTILUS_F_LIVE, n_eff=effective,
                           n_like_max=min(limit, run.n_like + step))
        last = done or run.n_like >= limit
        if path is not None and work is not None and (
                last or time.monotonic() - saved >= checkpoint_every):
            _snapshot(work, path, key)
            saved = time.monotonic()
        if progress is not None:
            remaining = float(run.f_live) if not run.explored else max(0.0, effective -
                                                                       run.n_eff)
            try:
                progress(len(run.bounds), int(run.n_like), remaining)
            except BaseException:  # an interruption: keep what is done
                if path is not None and work is not None:
                    _snapshot(work, path, key)
                raise
        if last:
            break
    seconds = time.perf_counter() - start
    if not done:
        warnings.warn(f"nautilus stopped after {run.n_like} likelihood calls (max_calls) "
                      "before it converged", UserWarning, stacklevel=4)
    points, log_w, log_l = run.posterior()
    weights = np.exp(log_w - np.max(log_w))
    weights /= weights.sum()
    calls = int(run.n_like)
    n_eff = float(run.n_eff)
    return Posterior(
        names=names, samples=np.array(points, dtype=np.float64), weights=weights,
        logl=np.array(log_l, dtype=np.float64), logz=float(run.log_z),
        # the evidence's error of an importance sampler with this many effective samples
        logzerr=1.0 / math.sqrt(n_eff) if n_eff > 0 else math.inf, calls=calls,
        seconds=seconds, calls_here=calls - calls_before, iterations=len(run.bounds),
        info=dict(settings, sampler="nautilus", resumed=resume, engine=pool.engine,
                  workers=pool.workers, effective_samples=n_eff),
        raw=None)


def _mark(path: str, key: str) -> None:
    """Record in a nautilus checkpoint which run it belongs to (where it is not yet)."""
    h5py = require("h5py", "retrieval", "nautilus's checkpoints")
    if not os.path.exists(path):
        return
    with h5py.File(path, "a") as stored:
        if stored.attrs.get(_RUN_KEY) != key:
            stored.attrs[_RUN_KEY] = key


@dataclass
class Draws:
    """Equal-weight draws of the posterior (`thetas`, draws x parameters) and the model at each:
    its observable at the model's wavenumbers (`spectra`) and over the data's bins
    (`binned`)."""

    thetas: Array
    spectra: Array
    binned: Array

    def bands(self) -> dict[str, Array]:
        """The median, 1-sigma (68 %) and 2-sigma (95 %) bands of the draws' spectra at the
        model's wavenumbers (`spectrum_*`) and over the data's bins (`binned_*`)."""
        levels = {"median": 50.0, "lo1": 15.865, "hi1": 84.135, "lo2": 2.275, "hi2": 97.725}
        out: dict[str, Array] = {}
        for which, stack in (("spectrum", self.spectra), ("binned", self.binned)):
            for name, level in levels.items():
                out[f"{which}_{name}"] = np.percentile(stack, level, axis=0)
        return out


def draws(likelihood: Likelihood, posterior: Posterior, pool: Pool, count: int = 400,
          seed: int = 1) -> Draws:
    """`count` equal-weight draws of the posterior (with the random `seed`) and the model at
    each, evaluated on the pool."""
    thetas = posterior.equal_weight(count, seed)
    predicted = pool.map(likelihood.predict, list(thetas))
    return Draws(thetas, np.array([p[0] for p in predicted]),
                 np.array([p[1] for p in predicted]))


def bands(likelihood: Likelihood, posterior: Posterior, pool: Pool, draws_: int = 200,
          seed: int = 1) -> dict[str, Array]:
    """The spectrum of the posterior: the median and bands of the model at `draws_` posterior
    samples (see `Draws.bands`)."""
    return draws(likelihood, posterior, pool, draws_, seed).bands()
