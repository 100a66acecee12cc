"""Grids of spectra on a dask cluster, stored in a zarr store, resumable and fault-tolerant.

    exokern-grid STORE --axis tirr=800:2000:13 --axis na=-1:1:5 [options]
    python -m exokern.grid STORE --cells cells.csv --geometry transmission

A grid is a set of cells, each a set of forward-model parameters: the product of axes (linear,
logarithmic or listed values) or the rows of a CSV file. Every cell is one evaluation of
`exokern.model.ForwardModel` with the run's static choices; the other parameters keep their
defaults or the values of `--set`.

The engine is dask.distributed: an embedded LocalCluster on this machine by default (one
single-threaded worker process per core), or any running cluster reached with `--scheduler`
or `--scheduler-file` (what `dask scheduler`, dask-jobqueue and dask-mpi give). Tasks carry
blocks of cells, sized from the time of one forward model so that a task's round trip through
the scheduler costs at most a few percent of its computing; the model is sent to every worker
once.

The store is laid out before any task runs, through xarray: the dimension `cell`, each
parameter a coordinate along it, the wavelength grid as the coordinate `wn` (with
`wavelength` beside it), one variable per output of the geometry (`flux`, `tb`, `depth`,
`radius`) of shape (cell, wn), and per cell a `status` (0 to do, 1 done, 2 failed) and the
`reason` of a failure. The attributes hold the run's configuration and the exokern version.
The client writes each block when it arrives, data first and status after, so a cell marked
done is complete. Running the same command again computes only the cells that are not done;
a different configuration on an existing store is refused and changes nothing.

A cell whose model raises is marked failed with the exception's message; a block whose worker
dies repeatedly is split into single cells, and a cell that still kills its worker is marked
failed. Every other cell completes; the command ends with a summary and status 1 if any cell
failed. `open_grid` reads a store as an xarray Dataset.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import hashlib
import importlib
import itertools
import json
import logging
import math
import os
import signal
import sys
import threading
import time
import uuid
import warnings
from dataclasses import dataclass, field
from typing import Any, Iterator, Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern import __version__, _cli
from exokern.model import DEFAULTS, GEOMETRIES, ForwardModel
from exokern.model import _rebuild as rebuild_model

Array = npt.NDArray[np.float64]
Cells = npt.NDArray[Any]  # indices of cells

TODO, DONE, FAILED = 0, 1, 2
CONFIG_ATTR = "exokern_grid"
VERSION_ATTR = "exokern_version"

# Scheduling: a task costs about this much besides its compute: ~15 ms for its round trip
# through a dask scheduler and ~20 ms of the client's time to write its block (measured on a
# LocalCluster and on an external scheduler; on a machine of few cores the client shares them
# with the workers). That may be at most this share of the task's compute.
ROUND_TRIP_SECONDS = 0.04
OVERHEAD_SHARE = 0.05
# The results a task sends back are held in memory by the client until written.
MAX_BLOCK_BYTES = 64 * 2**20
LOCAL_CLUSTER = "local cluster"


def _need(module: str) -> Any:
    """Import an optional dependency of the grid job, or say how to install it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise _cli.CommandError(f"{module} is missing: the grid job needs "
                                'pip install "exokern[grid]"') from None


# ---- the grid -------------------------------------------------------------------------------

@dataclass(frozen=True)
class Grid:
    """The cells of a run: `values[i, j]` is parameter `names[j]` of cell i. `axes`, for a
    product of axes, gives each axis's values (the first axis varies slowest)."""

    names: tuple[str, ...]
    values: Array
    axes: Optional[dict[str, list[float]]] = None

    def __post_init__(self) -> None:
        unknown = [n for n in self.names if n not in DEFAULTS]
        if unknown:
            raise ValueError(f"unknown parameter {unknown[0]!r} (known: {', '.join(DEFAULTS)})")
        if len(set(self.names)) != len(self.names):
            raise ValueError("a parameter is given twice")
        if self.values.ndim != 2 or self.values.shape[1] != len(self.names):
            raise ValueError("values must have one column per parameter")
        if len(self.values) == 0:
            raise ValueError("the grid has no cells")
        if not np.all(np.isfinite(self.values)):
            raise ValueError("grid values must be finite numbers")

    @classmethod
    def from_axes(cls, axes: Mapping[str, Sequence[float]]) -> "Grid":
        names = tuple(axes)
        lists = {n: [float(v) for v in axes[n]] for n in names}
        if any(not values for values in lists.values()):
            raise ValueError("an axis has no values")
        cells = np.array(list(itertools.product(*(lists[n] for n in names))), dtype=float)
        return cls(names, cells.reshape(-1, len(names)), lists)

    @classmethod
    def read_csv(cls, path: str) -> "Grid":
        """Cells from a CSV file: a header of parameter names, one row of numbers per cell."""
        with open(path, newline="") as stream:
            rows = [row for row in csv.reader(stream) if row and any(c.strip() for c in row)]
        if not rows:
            raise ValueError(f"{path} is empty")
        names = tuple(c.strip() for c in rows[0])
        values = []
        for number, row in enumerate(rows[1:], start=2):
            if len(row) != len(names):
                raise ValueError(f"{path}, line {number}: {len(row)} values for "
                                 f"{len(names)} parameters")
            try:
                values.append([float(c) for c in row])
            except ValueError:
                raise ValueError(f"{path}, line {number}: not a number in {row}") from None
        return cls(names, np.array(values, dtype=float).reshape(-1, len(names)))

    def __len__(self) -> int:
        return len(self.values)

    def cell(self, i: int) -> dict[str, float]:
        return dict(zip(self.names, (float(v) for v in self.values[i])))

    def describe(self) -> dict[str, Any]:
        """What identifies the grid in a store's configuration: the parameters, the number of
        cells, the axes when there are some, and a digest of every value."""
        digest = hashlib.sha256(np.ascontiguousarray(self.values).tobytes()).hexdigest()
        return dict(parameters=list(self.names), cells=len(self), axes=self.axes,
                    sha256=digest)


def parse_axis(text: str) -> tuple[str, list[float]]:
    """NAME=START:STOP:NUM (linear), NAME=START:STOP:NUM:log (logarithmic spacing), or
    NAME=V1,V2,... (the values listed)."""
    name, sep, spec = text.partition("=")
    name = name.strip()
    if not sep or not name or not spec.strip():
        raise ValueError(f"axis {text!r} is not NAME=START:STOP:NUM[:log] or NAME=V1,V2,...")
    if ":" in spec:
        parts = spec.split(":")
        log = len(parts) == 4 and parts[3].strip() == "log"
        if len(parts) not in (3, 4) or (len(parts) == 4 and not log):
            raise ValueError(f"axis {text!r} is not NAME=START:STOP:NUM[:log]")
        try:
            start, stop, num = float(parts[0]), float(parts[1]), int(parts[2])
        except ValueError:
            raise ValueError(f"axis {text!r}: START and STOP must be numbers and NUM an "
                             "integer") from None
        if num < 1:
            raise ValueError(f"axis {text!r}: NUM must be at least 1")
        if not (math.isfinite(start) and math.isfinite(stop)):
            raise ValueError(f"axis {text!r}: START and STOP must be finite")
        if log:
            if not (start > 0 and stop > 0):
                raise ValueError(f"axis {text!r}: a logarithmic axis needs positive ends")
            values = np.geomspace(start, stop, num)
        else:
            values = np.linspace(start, stop, num)
        return name, [float(v) for v in values]
    try:
        return name, [float(v) for v in spec.split(",")]
    except ValueError:
        raise ValueError(f"axis {text!r}: the values must be numbers") from None


# ---- the work of a task ----------------------------------------------------------------------

_malloc_tuned = False


def _keep_freed_memory() -> None:
    """Let this process's C allocator keep the memory a forward model frees for the next one.

    dask starts its workers with MALLOC_TRIM_THRESHOLD_=65536, which also pins glibc's mmap
    threshold at 128 KiB: every array of a forward model (megabytes each) then comes fresh
    from the kernel and is paid for in page faults, which made a worker 1.7x slower than the
    same loop in-process here. Raising both thresholds gives glibc's usual reuse back (and
    keeps up to 256 MiB of freed memory in the worker). Elsewhere than glibc, nothing to do."""
    global _malloc_tuned
    if _malloc_tuned or not sys.platform.startswith("linux"):
        return
    _malloc_tuned = True
    try:
        import ctypes

        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return
    mallopt(-3, 32 * 2**20)  # M_MMAP_THRESHOLD: glibc's largest
    mallopt(-1, 256 * 2**20)  # M_TRIM_THRESHOLD


# The forward models a worker process has built, by their static choices and defaults: every
# task carries the model's description (a short JSON text), and a worker builds each model
# once in its life. Nothing is scattered ahead, so a worker that dies and is replaced, or a
# scheduler that forgets data, costs nothing but a rebuild. The models are only read.
_worker_models: dict[str, ForwardModel] = {}
_worker_models_lock = threading.Lock()


def _model_here(description: str) -> ForwardModel:
    with _worker_models_lock:
        model = _worker_models.get(description)
        if model is None:
            model = _worker_models[description] = rebuild_model(*json.loads(description))
        return model


def _describe(model: ForwardModel) -> str:
    return json.dumps([model.static, model.defaults], sort_keys=True)


def _compute_task(description: str, names: Sequence[str], rows: Array,
                  fixed: Mapping[str, Optional[float]]) -> dict[str, Any]:
    return compute_block(_model_here(description), names, rows, fixed)


def compute_block(model: ForwardModel, names: Sequence[str], rows: Array,
                  fixed: Mapping[str, Optional[float]]) -> dict[str, Any]:
    """Evaluate the model for each row of parameters (on a worker). Returns the outputs,
    one row per cell (NaN where the cell failed), the status of each cell and the reason of
    each failure."""
    _keep_freed_memory()
    n, nwave = len(rows), len(model.wn)
    outputs = {name: np.full((n, nwave), np.nan) for name in model.outputs}
    status = np.full(n, DONE, dtype=np.int8)
    reasons = [""] * n
    for i in range(n):
        params: dict[str, Optional[float]] = dict(fixed)
        params.update(zip(names, (float(v) for v in rows[i])))
        try:
            values = model.spectrum(**params)
        except Exception as err:  # a bad cell must not take the block with it
            status[i] = FAILED
            reasons[i] = f"{type(err).__name__}: {err}"
            continue
        for name, v in values.items():
            outputs[name][i] = v
    return dict(outputs=outputs, status=status, reasons=reasons)


def block_size(seconds_per_cell: float, cells: int, workers: int, bytes_per_cell: int) -> int:
    """Cells per task: enough that a round trip costs at most OVERHEAD_SHARE of the task's
    compute, few enough that every worker gets work and a result stays within
    MAX_BLOCK_BYTES."""
    need = ROUND_TRIP_SECONDS / (OVERHEAD_SHARE * max(seconds_per_cell, 1e-6))
    block = max(1, math.ceil(need))
    block = min(block, max(1, math.ceil(cells / max(workers, 1))))
    block = min(block, max(1, MAX_BLOCK_BYTES // max(bytes_per_cell, 1)))
    return int(block)


# ---- the store -------------------------------------------------------------------------------

def _config(grid: Grid, model: ForwardModel, fixed: Mapping[str, Optional[float]]) -> str:
    return json.dumps(dict(grid=grid.describe(), model=model.static, fixed=dict(fixed)),
                      sort_keys=True)


def create_store(path: str, grid: Grid, model: ForwardModel,
                 fixed: Mapping[str, Optional[float]], chunk: int) -> None:
    """Lay out a new store: coordinates, empty outputs, every cell to do."""
    xr, da = _need("xarray"), _need("dask.array")
    n, nwave = len(grid), len(model.wn)
    data: dict[str, Any] = {
        name: (("cell", "wn"), da.full((n, nwave), np.nan, chunks=(chunk, nwave)))
        for name in model.outputs}
    data["status"] = ("cell", np.full(n, TODO, dtype=np.int8))
    data["reason"] = ("cell", np.full(n, "", dtype=object))
    coords: dict[str, Any] = {name: ("cell", grid.values[:, j].copy())
                              for j, name in enumerate(grid.names)}
    coords["wn"] = ("wn", model.wn)
    coords["wavelength"] = ("wn", model.wavelength)
    ds = xr.Dataset(data, coords=coords)
    ds["wn"].attrs["units"] = "cm^-1"
    ds["wavelength"].attrs["units"] = "micron"
    ds.attrs[CONFIG_ATTR] = _config(grid, model, fixed)
    ds.attrs[VERSION_ATTR] = __version__
    ds.attrs["geometry"] = model.geometry
    # The outputs are laid out, not written: a cell not yet done reads as the zarr arrays'
    # fill value, made NaN here (xarray's default for it has changed between versions).
    encoding: dict[str, Any] = {name: {"fill_value": np.nan} for name in model.outputs}
    encoding.update(status={"chunks": (chunk,)}, reason={"chunks": (chunk,)})
    with _quiet_string_codec():
        ds.to_zarr(path, mode="w-", compute=False, encoding=encoding, consolidated=False)


@contextlib.contextmanager
def _quiet_string_codec() -> Iterator[None]:
    """zarr 3.0 warns, on every string array it makes or writes, that its variable-length
    string codec is not yet part of the zarr v3 format (later versions made it so). The reasons
    of failed cells are such an array, and the warning means nothing to a user of the store."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="The codec `vlen-utf8`", category=UserWarning)
        yield


def open_grid(path: str) -> Any:
    """The store at `path` as an xarray Dataset (lazy, dask-backed). For a product of axes,
    `ds.set_index(cell=[...axis names...]).unstack("cell")` gives one dimension per axis."""
    xr = _need("xarray")
    return xr.open_zarr(path, consolidated=False)


def _check_store(path: str, config: str) -> tuple[Any, int]:
    """The status of every cell of an existing store and its chunk along cells, after making
    sure it was laid out for this configuration and version."""
    ds = open_grid(path)
    stored = ds.attrs.get(CONFIG_ATTR)
    if stored is None:
        raise _cli.CommandError(f"{path} exists and is not an exokern grid store")
    version = ds.attrs.get(VERSION_ATTR)
    if version != __version__:
        raise _cli.CommandError(f"{path} was written by exokern {version}, this is "
                                f"{__version__}: its cells would not match; use a new store")
    if stored != config:
        old, new = json.loads(stored), json.loads(config)
        what = [k for k in new if old.get(k) != new.get(k)]
        detail = {"grid": "the grid", "model": "the static choices", "fixed": "--set values"}
        differing = " and ".join(detail.get(k, k) for k in what) or "the configuration"
        verb = "differ" if len(what) > 1 else "differs"
        raise _cli.CommandError(f"{path} holds a grid of another configuration ({differing} "
                                f"{verb}); use a new store or the command that made it")
    status = np.asarray(ds["status"].values)
    chunk = int(ds["status"].encoding.get("chunks", (len(status),))[0])
    return status, chunk


@contextlib.contextmanager
def _interrupt_deferred() -> Iterator[None]:
    """Hold back Ctrl-C until the block ends, so that a write is never cut in half."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: list[Any] = []
    previous = signal.signal(signal.SIGINT, lambda *args: caught.append(args))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if caught:
        raise KeyboardInterrupt


class _Writer:
    """The arrays of a laid-out store, opened once for the run's writes. The layout (and every
    read) goes through xarray; the blocks are written into the zarr arrays directly, which
    costs the client a fifth of what a region write through xarray does (it opens the store
    and checks its variables on every call), on a core the workers need."""

    def __init__(self, path: str, outputs: Sequence[str]) -> None:
        group = _need("zarr").open_group(path, mode="r+")
        self.outputs = {name: group[name] for name in outputs}
        self.reason, self.status = group["reason"], group["status"]

    def write(self, cells: Cells, result: Mapping[str, Any]) -> None:
        """Write the results of `cells` (indices, ascending): the outputs first, then the
        status, so that a cell marked done has its data. Other cells keep what they hold."""
        first, last = int(cells[0]), int(cells[-1])
        rows: Any = slice(first, last + 1) if last - first + 1 == len(cells) else cells
        with _interrupt_deferred():
            for name, array in self.outputs.items():
                array.oindex[rows, :] = result["outputs"][name]
            with _quiet_string_codec():
                self.reason.oindex[rows] = np.array(result["reasons"], dtype=object)
            self.status.oindex[rows] = result["status"]


# ---- the run ---------------------------------------------------------------------------------

@dataclass
class Summary:
    """What a run did."""

    store: str
    cells: int
    done_before: int
    computed: int = 0
    failed: list[tuple[int, str]] = field(default_factory=list)
    seconds: float = 0.0
    workers: int = 0
    block: int = 0
    engine: str = ""

    @property
    def ok(self) -> bool:
        return not self.failed

    def text(self, grid: Grid) -> str:
        rate = self.computed / self.seconds if self.seconds > 0 else 0.0
        out = [
            f"exokern {__version__}: grid of {self.cells} cells in {self.store}",
            (f"  engine      {self.engine}, {self.workers} workers, {self.block} cells per task"
             if self.engine else "  engine      not started: every cell was done"),
            f"  cells       {self.done_before} done before, {self.computed} computed now, "
            f"{len(self.failed)} failed",
            f"  time        {self.seconds:.1f} s, {rate:.1f} spectra per second",
        ]
        for i, reason in self.failed[:10]:
            params = ", ".join(f"{k}={v:g}" for k, v in grid.cell(i).items())
            out.append(f"  failed      cell {i} ({params}): {reason}")
        if len(self.failed) > 10:
            out.append(f"  failed      ... and {len(self.failed) - 10} more (see `reason` in "
                       "the store)")
        return "\n".join(out)


@contextlib.contextmanager
def connect(scheduler: Optional[str] = None, scheduler_file: Optional[str] = None,
            workers: Optional[int] = None) -> Iterator[tuple[Any, str]]:
    """A dask client: on the scheduler at `scheduler` (an address) or described by
    `scheduler_file`, or on an embedded LocalCluster of `workers` single-threaded processes
    (default: one per core) on the loopback interface. Yields (client, description)."""
    distributed = _need("distributed")
    if scheduler is not None or scheduler_file is not None:
        where = scheduler if scheduler is not None else f"the scheduler of {scheduler_file}"
        try:
            client = distributed.Client(scheduler, scheduler_file=scheduler_file, timeout=30)
        except (OSError, ValueError) as err:
            raise _cli.CommandError(f"cannot reach {where}: {err}") from None
        with client:
            yield client, f"dask scheduler {client.scheduler.address}"
        return
    count = workers or os.cpu_count() or 1
    with _workers_ignore_interrupts():
        cluster = distributed.LocalCluster(n_workers=count, threads_per_worker=1,
                                           processes=True, host="127.0.0.1",
                                           dashboard_address="127.0.0.1:0")
    quiet = False
    try:
        with cluster, distributed.Client(cluster) as client:
            client.register_plugin(_quiet_cancellations(distributed)(), name="exokern-quiet")
            try:
                yield client, LOCAL_CLUSTER
            except BaseException:
                # Interrupted: the cluster is closed under running tasks, and its scheduler (in
                # this process) would log every result it can no longer send on the way down.
                quiet, level = True, logging.root.manager.disable
                logging.disable(logging.CRITICAL)
                raise
    finally:
        if quiet:
            logging.disable(level)


def _quiet_cancellations(distributed: Any) -> Any:
    """A worker plugin (for the embedded cluster, whose workers live and die with the
    command): a run interrupted by Ctrl-C closes the workers with tasks running, and each
    would warn of its cancelled tasks on the terminal."""

    class QuietCancellations(distributed.WorkerPlugin):  # type: ignore[misc]
        def setup(self, worker: Any) -> None:
            import logging

            logging.getLogger("distributed.worker.state_machine").setLevel(logging.ERROR)

    return QuietCancellations


@contextlib.contextmanager
def _workers_ignore_interrupts() -> Iterator[None]:
    """Start the embedded workers with SIGINT ignored (a disposition a child inherits).

    Ctrl-C in a terminal reaches the whole process group: the workers would each print a
    traceback of their own. The client alone handles it (the store stays consistent, the
    cluster is closed with the command)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def _time_one(model: ForwardModel, grid: Grid, cells: Cells,
              fixed: Mapping[str, Optional[float]]) -> float:
    """Seconds one forward model takes here, from the first cell to do that evaluates."""
    for i in cells[:3]:
        params: dict[str, Optional[float]] = dict(fixed)
        params.update(grid.cell(int(i)))
        start = time.perf_counter()
        try:
            model.spectrum(**params)
        except Exception:
            continue
        return time.perf_counter() - start
    return 0.05


def _tasks(todo: Cells, chunk: int, block: int) -> list[Cells]:
    """The cells to do, cut at chunk boundaries and into pieces of at most `block`."""
    tasks: list[Cells] = []
    for _, group in itertools.groupby(todo, key=lambda i: int(i) // chunk):
        cells = np.fromiter(group, dtype=np.int64)
        tasks.extend(cells[k:k + block] for k in range(0, len(cells), block))
    return tasks


def run_grid(path: str, grid: Grid, model: ForwardModel,
             fixed: Optional[Mapping[str, Optional[float]]] = None, *,
             scheduler: Optional[str] = None, scheduler_file: Optional[str] = None,
             workers: Optional[int] = None, block: Optional[int] = None,
             client: Any = None, progress: bool = True) -> Summary:
    """Compute every cell of `grid` not yet done in the store at `path` (made if missing) and
    return a Summary. `client` is an existing dask client to use; otherwise one is made by
    `connect` from `scheduler`, `scheduler_file` or `workers`."""
    fixed = dict(fixed or {})
    params = dict(fixed)
    overlap = sorted(set(params) & set(grid.names))
    if overlap:
        raise ValueError(f"{overlap[0]} is both an axis and a fixed value")
    model.parameters(**params)  # unknown names and bad values fail here, before any work
    config = _config(grid, model, fixed)
    nwave = len(model.wn)
    bytes_per_cell = 8 * nwave * len(model.outputs)
    start = time.perf_counter()
    if os.path.exists(path):
        status, chunk = _check_store(path, config)
        todo = np.flatnonzero(status != DONE)
        seconds = _time_one(model, grid, todo, fixed) if len(todo) else 0.05
    else:
        todo = np.arange(len(grid))
        seconds = _time_one(model, grid, todo, fixed)
        chunk = block or block_size(seconds, len(grid), workers or os.cpu_count() or 1,
                                    bytes_per_cell)
        create_store(path, grid, model, fixed, chunk)
    summary = Summary(path, len(grid), len(grid) - len(todo))
    if len(todo) == 0:
        return summary

    context = (contextlib.nullcontext((client, "dask client")) if client is not None
               else connect(scheduler, scheduler_file, workers))
    with context as (cl, engine):
        summary.engine = engine
        summary.workers = max(1, sum(cl.nthreads().values()))
        size = block or block_size(seconds, len(todo), summary.workers, bytes_per_cell)
        summary.block = min(size, chunk)
        _drive(cl, path, grid, model, fixed, _tasks(todo, chunk, summary.block), summary,
               progress)
    summary.seconds = time.perf_counter() - start
    return summary


def _drive(client: Any, path: str, grid: Grid, model: ForwardModel,
           fixed: Mapping[str, Optional[float]], tasks: list[Cells], summary: Summary,
           progress: bool) -> None:
    """Submit the tasks, write each result as it arrives, retry blocks that killed their
    workers cell by cell."""
    distributed = _need("distributed")
    run = uuid.uuid4().hex[:8]
    description = _describe(model)
    names = list(grid.names)
    cells_of: dict[str, Cells] = {}

    def submit(cells: Cells) -> Any:
        key = f"exokern-grid-{run}-{int(cells[0])}-{len(cells)}"
        cells_of[key] = cells
        return client.submit(_compute_task, description, names, grid.values[cells], fixed,
                             key=key, pure=False, retries=0)

    futures = [submit(cells) for cells in tasks]
    total = sum(len(c) for c in tasks)
    bar = _cli.progress(total, "cells", unit="cell", disable=None if progress else True)
    writer = _Writer(path, model.outputs)
    try:
        pending = distributed.as_completed(futures)
        for future in pending:
            cells = cells_of.pop(future.key)
            try:
                result = future.result()
            except distributed.KilledWorker:
                if len(cells) > 1:
                    for i in cells:
                        pending.add(submit(np.array([i])))
                    continue
                result = _failed(model, cells, "the worker died repeatedly while computing "
                                 "this cell (KilledWorker)")
            except Exception as err:  # the task could not run at all: its cells failed
                result = _failed(model, cells, f"{type(err).__name__}: {err}")
            finally:
                future.release()
            writer.write(cells, result)
            summary.computed += int(np.sum(result["status"] == DONE))
            summary.failed.extend((int(i), r) for i, r, s in
                                  zip(cells, result["reasons"], result["status"]) if s == FAILED)
            bar.update(len(cells))
    except BaseException:
        # A cluster of our own is closed with the run; a shared one is given its workers back.
        if summary.engine != LOCAL_CLUSTER:
            client.cancel(list(f for f in futures if not f.done()))
        raise
    finally:
        bar.close()
    summary.failed.sort()


def _failed(model: ForwardModel, cells: Cells, reason: str) -> dict[str, Any]:
    n = len(cells)
    return dict(outputs={name: np.full((n, len(model.wn)), np.nan) for name in model.outputs},
                status=np.full(n, FAILED, dtype=np.int8), reasons=[reason] * n)


# ---- the command -----------------------------------------------------------------------------

def build_parser(prog: Optional[str] = None) -> _cli.Parser:
    positive_int = _cli.positive(int)
    p = _cli.Parser(
        prog=prog,
        description="A grid of forward-model spectra computed on a dask cluster into a zarr "
                    "store; rerun the same command to resume. Parameters take the forward "
                    "model's units: K, cm s^-2, dex, cm^2 g^-1, cm (rplanet, rstar), bar (pref).")
    p.add_argument("store", metavar="STORE", help="the zarr store (a folder, e.g. grid.zarr)")
    g = p.add_argument_group("grid")
    g.add_argument("--axis", action="append", default=[], metavar="NAME=SPEC",
                   help="an axis: NAME=START:STOP:NUM, NAME=START:STOP:NUM:log or "
                        "NAME=V1,V2,...; repeat for more axes (the first varies slowest)")
    g.add_argument("--cells", metavar="CSV",
                   help="a CSV file of cells instead of axes: a header of parameter names, "
                        "one row per cell")
    g.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                   help="a parameter fixed for every cell (default: the model's defaults)")
    m = p.add_argument_group("forward model")
    m.add_argument("--geometry", choices=GEOMETRIES, default="emission",
                   help="which spectra (default: %(default)s)")
    _cli.vertical_options(m)
    _cli.spectral_options(m, resolution=5000.0, angles=4)
    e = p.add_argument_group("engine")
    where = e.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="a running dask scheduler, e.g. tcp://10.0.0.1:8786")
    where.add_argument("--scheduler-file", metavar="FILE",
                       help="the scheduler file of a running cluster (dask-jobqueue, dask-mpi)")
    e.add_argument("--workers", type=positive_int, metavar="N",
                   help="worker processes of the embedded cluster (default: one per core)")
    e.add_argument("--block", type=positive_int, metavar="N",
                   help="cells per task (default: from the time of one forward model)")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return p


def _parse(parser: _cli.Parser, args: argparse.Namespace) -> tuple[Grid, ForwardModel,
                                                                    dict[str, Optional[float]]]:
    if bool(args.axis) == bool(args.cells):
        parser.error("give either --axis (one or more) or --cells")
    try:
        if args.cells:
            grid = Grid.read_csv(args.cells)
        else:
            axes: dict[str, list[float]] = {}
            for text in args.axis:
                name, values = parse_axis(text)
                if name in axes:
                    raise ValueError(f"axis {name} is given twice")
                axes[name] = values
            grid = Grid.from_axes(axes)
        fixed: dict[str, Optional[float]] = {}
        for text in args.set:
            name, sep, value = text.partition("=")
            if not sep:
                raise ValueError(f"--set {text!r} is not NAME=VALUE")
            fixed[name.strip()] = float(value)
        overlap = sorted(set(fixed) & set(grid.names))
        if overlap:
            raise ValueError(f"{overlap[0]} is both a grid parameter and a --set value")
        model = ForwardModel(args.geometry, layers=args.layers, ptop=args.ptop,
                             pbottom=args.pbottom, wn_min=args.wn_min, wn_max=args.wn_max,
                             resolution=args.resolution, angles=args.angles)
        model.parameters(**fixed)
    except OSError as err:
        parser.error(f"cannot read --cells {args.cells}: {err.strerror}")
    except ValueError as err:
        parser.error(str(err))
    return grid, model, fixed


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Command-line entry of exokern-grid. Returns the exit status: 0 when every cell is done,
    1 when a cell failed (or the run could not go on), 2 for bad options, 130 on Ctrl-C."""
    prog = _cli.prog_name("exokern.grid")
    parser = build_parser(prog)
    args = parser.parse_args(argv)

    def body() -> int:
        grid, model, fixed = _parse(parser, args)
        summary = run_grid(args.store, grid, model, fixed, scheduler=args.scheduler,
                           scheduler_file=args.scheduler_file, workers=args.workers,
                           block=args.block)
        print(summary.text(grid))
        return 0 if summary.ok else _cli.EXIT_FAILURE

    return _cli.run(prog, body)


if __name__ == "__main__":
    # Run the importable module's main, not this __main__ copy's: the tasks then name their
    # function as exokern.grid's, which a worker imports, instead of shipping it by value.
    from exokern.grid import main as _main

    sys.exit(_main())
