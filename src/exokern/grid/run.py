"""A grid's run: blocks of cells computed on a dask cluster, written as they arrive, a summary.

Tasks carry blocks of cells, sized from the time of one forward model so that a task's round
trip through the scheduler costs at most a few percent of its computing, and the model's
description: each worker builds the model once (`exokern.engines.cached`). A cell whose model
raises is marked failed with the exception's message; a block whose worker dies is split into
single cells, and a cell that still kills its worker is marked failed. Running again computes
only the cells not done.
"""

from __future__ import annotations

import contextlib
import itertools
import json
import math
import os
import shutil
import tempfile
import time
import uuid
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator, Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern import __version__, engines, safety
from exokern.errors import require
from exokern.grid.cells import Grid
from exokern.grid.store import (DONE, FAILED, PURPOSE, Cells, Layout, StoreError, Writer,
                                check_store, config, create_store, record_run)
from exokern.model import ForwardModel

Array = npt.NDArray[np.float64]
Fixed = Mapping[str, Optional[float]]

# Scheduling: a task costs about this much besides its compute: ~15 ms for its round trip
# through a dask scheduler and ~20 ms of the client's time to write its block (measured on a
# LocalCluster and on an external scheduler; on a machine of few cores the client shares them
# with the workers). That may be at most this share of the task's compute.
ROUND_TRIP_SECONDS = 0.04
OVERHEAD_SHARE = 0.05
# The results a task sends back are held in memory by the client until written.
MAX_BLOCK_BYTES = 64 * 2**20


# ---- the work of a task ----------------------------------------------------------------------

def _compute_task(description: str, names: Sequence[str], rows: Array,
                  fixed: Fixed) -> dict[str, Any]:
    model = engines.cached("model", description, ForwardModel.from_description)
    return compute_block(model, names, rows, fixed)


def compute_block(model: ForwardModel, names: Sequence[str], rows: Array,
                  fixed: Fixed) -> dict[str, Any]:
    """Evaluate the model for each row of parameters (on a worker). Returns the outputs,
    one row per cell (NaN where the cell failed), the status of each cell and the reason of
    each failure."""
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


def check(grid: Grid, model: ForwardModel, fixed: Fixed) -> None:
    """Refuse, before any work, a cell parameter the model does not take (or may not vary),
    one both varied and fixed, and a fixed value the model refuses."""
    model.parameter_set.check_axes(grid.names)
    overlap = sorted(set(fixed) & set(grid.names))
    if overlap:
        raise ValueError(f"{overlap[0]} is both a grid parameter and a fixed value")
    model.parameters(**fixed)


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


def _time_one(model: ForwardModel, grid: Grid, cells: Cells, fixed: Fixed) -> float:
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


def _tasks(todo: Cells, layout: Layout, block: int) -> list[Cells]:
    """The cells to do, cut at chunk boundaries and into pieces of at most `block`."""
    chunk = layout.chunk_of(todo)
    order = np.argsort(chunk, kind="stable")
    tasks: list[Cells] = []
    for _, group in itertools.groupby(order, key=lambda k: int(chunk[k])):
        cells = todo[np.fromiter(group, dtype=np.int64)]
        tasks.extend(cells[k:k + block] for k in range(0, len(cells), block))
    return tasks


def check_disk(path: str, needed: float, what: str) -> None:
    """Refuse (ValueError) a store of `needed` bytes where its folder has less free space."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        free = float(shutil.disk_usage(folder).free)
    except OSError:
        return  # a folder that is not there yet says so when the store is made
    if needed > free:
        raise ValueError(f"{what} needs about {safety.size_text(needed)} on disk, more than "
                         f"the {safety.size_text(free)} free in {folder}")


def run_grid(path: str, grid: Grid, model: ForwardModel, fixed: Optional[Fixed] = None, *,
             scheduler: Optional[str] = None, scheduler_file: Optional[str] = None,
             workers: Optional[int] = None, block: Optional[int] = None,
             client: Any = None, progress: Optional[Callable[[int], Any]] = None,
             command: Optional[str] = None) -> Summary:
    """Compute every cell of `grid` not yet done in the store at `path` (made if missing) and
    return a Summary. `client` is an existing dask client to use; otherwise one is made by
    `exokern.engines.connect` from `scheduler`, `scheduler_file` or `workers`. `progress`,
    when given, makes a progress bar for a number of cells (`tqdm.tqdm(total=...)` does): the
    bar is updated as blocks are written and closed at the end. `command`, the command line
    of the run, is added to the store's `history` (by default, this function's name)."""
    fixed = dict(fixed or {})
    check(grid, model, fixed)
    expected = config(grid, model, fixed)
    if os.path.lexists(path) and not os.path.isdir(path):
        raise ValueError(f"{path} is a file, not a grid store (a zarr store is a folder)")
    with _only_writer(path):
        return _run(path, grid, model, fixed, expected, scheduler, scheduler_file, workers,
                    block, client, progress, command)


@contextlib.contextmanager
def _only_writer(path: str) -> Iterator[None]:
    """Hold the store's lock (a file beside it) for the whole run: a second run on the same
    store stops with a StoreError instead of writing the same cells."""
    try:
        import fcntl
    except ImportError:  # not on Windows: one run at a time is up to the user
        yield
        return
    folder, name = os.path.split(os.path.abspath(path))
    lock = os.path.join(folder, f".{name}.lock")
    try:
        fd = os.open(lock, os.O_RDWR | os.O_CREAT | getattr(os, "O_NOFOLLOW", 0), 0o644)
    except OSError as err:
        raise StoreError(f"cannot lock {path} ({lock}: {err.strerror})") from None
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            raise StoreError(f"another run is writing {path}; wait for it to end (or stop it), "
                             "then run again to resume") from None
        yield
    finally:
        os.close(fd)  # and with it the lock


def _run(path: str, grid: Grid, model: ForwardModel, fixed: Fixed, expected: Any,
         scheduler: Optional[str], scheduler_file: Optional[str], workers: Optional[int],
         block: Optional[int], client: Any, progress: Optional[Callable[[int], Any]],
         command: Optional[str]) -> Summary:
    nwave = len(model.wn)
    bytes_per_cell = 8 * nwave * len(model.outputs)
    start = time.perf_counter()
    new = not os.path.exists(path)
    if not new:
        status, layout = check_store(path, expected)
        try:  # a store that takes no writes (read-only, full) says so before any work
            with tempfile.TemporaryFile(dir=path):
                pass
        except OSError as err:
            raise ValueError(f"cannot write to the store {path}: {err.strerror}") from None
        todo = np.flatnonzero(status != DONE)
        seconds = _time_one(model, grid, todo, fixed) if len(todo) else 0.05
    else:
        check_disk(path, bytes_per_cell * len(grid), f"a grid of {len(grid)} cells")
        todo = np.arange(len(grid))
        seconds = _time_one(model, grid, todo, fixed)
        chunk = block or block_size(seconds, len(grid), workers or os.cpu_count() or 1,
                                    bytes_per_cell)
    history = command or f"exokern.grid.run_grid (exokern {__version__})"
    if not new:
        record_run(path, history)
    summary = Summary(path, len(grid), len(grid) - len(todo))
    if len(todo) == 0:
        return summary

    context = (contextlib.nullcontext((client, "dask client")) if client is not None
               else engines.connect(scheduler, scheduler_file, workers))
    with context as (cl, engine):
        if new:  # made once the engine is there: an unreachable one leaves nothing behind
            layout = create_store(path, grid, model, fixed, chunk)
            record_run(path, history)
        summary.engine = engine
        summary.workers = max(1, sum(cl.nthreads().values()))
        size = block or block_size(seconds, len(todo), summary.workers, bytes_per_cell)
        size = min(size, math.prod(layout.chunks))
        # A multiple of the layout's row where the block holds one: a piece of a chunk not yet
        # begun is then a box of the arrays, written without reading.
        summary.block = size - size % layout.row if size >= layout.row else size
        bar = progress(len(todo)) if progress is not None else None
        _drive(cl, path, grid, model, fixed, _tasks(todo, layout, summary.block), layout,
               summary, bar)
    summary.seconds = time.perf_counter() - start
    return summary


def _drive(client: Any, path: str, grid: Grid, model: ForwardModel, fixed: Fixed,
           tasks: list[Cells], layout: Layout, summary: Summary, bar: Optional[Any]) -> None:
    """Submit the tasks, write each result as it arrives, retry blocks that killed their
    workers cell by cell."""
    distributed = require("distributed", "grid", PURPOSE)
    run = uuid.uuid4().hex[:8]
    description = json.dumps(model.describe(), sort_keys=True)
    names = list(grid.names)
    cells_of: dict[str, Cells] = {}

    def submit(cells: Cells) -> Any:
        key = f"exokern-grid-{run}-{int(cells[0])}-{len(cells)}"
        cells_of[key] = cells
        return client.submit(_compute_task, description, names, grid.values[cells], fixed,
                             key=key, pure=False, retries=0)

    futures = [submit(cells) for cells in tasks]
    writer = Writer(path, model.outputs, layout)
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
            if bar is not None:
                bar.update(len(cells))
    except BaseException:
        # A cluster of our own is closed with the run; a shared one is given its workers back.
        if summary.engine != engines.LOCAL_CLUSTER:
            client.cancel(list(f for f in futures if not f.done()))
        raise
    finally:
        if bar is not None:
            bar.close()
    summary.failed.sort()


def _failed(model: ForwardModel, cells: Cells, reason: str) -> dict[str, Any]:
    n = len(cells)
    return dict(outputs={name: np.full((n, len(model.wn)), np.nan) for name in model.outputs},
                status=np.full(n, FAILED, dtype=np.int8), reasons=[reason] * n)
