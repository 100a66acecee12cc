"""Pools of workers for the retrieval: one small adapter over the engines a run may use.

A sampler asks a pool for one thing, `pool.map(fn, items)`: the results in the order of the
items. Every engine here offers a `concurrent.futures.Executor` with an ordered `map`, so one
adapter (`Pool`) serves them all:

- `serial()`: this process alone (no workers);
- `processes(n)`: a pool of n local processes (`concurrent.futures.ProcessPoolExecutor`, spawned
  fresh so that they hold no copy of this process's threads);
- `mpi()`: the ranks of an MPI job (`mpi4py.futures.MPICommExecutor`): rank 0 runs the program,
  the others evaluate;
- `dask(...)`: a dask.distributed cluster (`Client.get_executor`), local or reached through a
  scheduler, connected as the grid job connects.

Each is a context manager that yields a `Pool` and closes its engine on the way out. A map whose
function raises re-raises it in the caller; a worker process that dies ends the map with an
error instead of waiting for it forever.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import importlib
import multiprocessing
import os
import signal
import threading
from typing import Any, Callable, Iterable, Iterator, Optional, Sequence

from exokern import _cli


class Pool:
    """A map over an executor, in the items' order: what nested samplers take as a pool.

    `workers` is the number of workers; `engine` says which engine runs the map, for the
    summary. (It is not called `size`: a sampler that finds a `size` may take its batch from it,
    and the batch must not depend on the engine.)"""

    def __init__(self, executor: Optional[Any], workers: int,
                 engine: str) -> None:
        self._executor = executor
        self.workers = workers
        self.engine = engine

    def map(self, fn: Callable[[Any], Any], items: Iterable[Any]) -> list[Any]:
        items = list(items)
        if self._executor is None:
            return [fn(item) for item in items]
        # One task per worker, each a run of consecutive items: a task's round trip (pickling,
        # the scheduler, the wire) costs about as much as a likelihood call, so it is paid once
        # per worker and map, not once per item.
        count = min(self.workers, len(items))
        bounds = [len(items) * k // count for k in range(count + 1)] if count else [0]
        chunks = [items[a:b] for a, b in zip(bounds[:-1], bounds[1:])]
        try:
            done = list(self._executor.map(_apply, [fn] * len(chunks), chunks))
        except Exception as err:
            # A worker that died: the pool of processes breaks, dask gives up on a task that
            # killed its workers. The exceptions of the evaluations themselves pass through.
            if type(err).__name__ not in ("BrokenProcessPool", "KilledWorker"):
                raise
            raise _cli.CommandError("a worker process died (out of memory, or killed); "
                                    "the checkpoint keeps the run's progress") from None
        return [result for chunk in done for result in chunk]

    def __repr__(self) -> str:
        return f"Pool({self.engine!r}, workers={self.workers})"


def _apply(fn: Callable[[Any], Any], chunk: Sequence[Any]) -> list[Any]:
    return [fn(item) for item in chunk]


@contextlib.contextmanager
def serial() -> Iterator[Pool]:
    """This process alone."""
    yield Pool(None, 1, "this process")


def _ignore_interrupts() -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _ready(_: int) -> int:
    return os.getpid()


@contextlib.contextmanager
def processes(count: Optional[int] = None) -> Iterator[Pool]:
    """A pool of `count` local worker processes (default: one per core).

    The workers ignore SIGINT: Ctrl-C in a terminal reaches the whole process group, and the
    program alone answers it (each worker would print a traceback of its own)."""
    count = count or os.cpu_count() or 1
    context = multiprocessing.get_context("spawn")
    executor = concurrent.futures.ProcessPoolExecutor(count, mp_context=context,
                                                      initializer=_ignore_interrupts)
    try:
        # Start every worker now, with SIGINT ignored from birth (an ignored signal stays
        # ignored across exec, and Python then installs no handler of its own).
        main_thread = threading.current_thread() is threading.main_thread()
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if main_thread else None
        try:
            pending = [executor.submit(_ready, i) for i in range(count)]
        finally:
            if previous is not None:
                signal.signal(signal.SIGINT, previous)
        for future in pending:
            future.result()
        yield Pool(executor, count, f"{count} local process{'es' if count > 1 else ''}")
    finally:
        executor.shutdown(wait=True, cancel_futures=True)


def mpi_requested(argv: Sequence[str]) -> bool:
    """Whether a command line asks for the MPI engine (`--mpi`), before it is parsed: every
    rank runs the command, and the ranks other than 0 must become workers before rank 0 parses
    (or fails to parse) its options."""
    return "--mpi" in argv


@contextlib.contextmanager
def mpi() -> Iterator[Optional[Pool]]:
    """The ranks of the MPI job this process belongs to. Rank 0 gets a Pool of the other ranks;
    every other rank serves evaluations until rank 0 leaves the block, then gets None.

    A job of a single rank evaluates in that rank (the Pool of `serial`)."""
    try:
        MPI = importlib.import_module("mpi4py.MPI")
        MPICommExecutor = importlib.import_module("mpi4py.futures").MPICommExecutor
    except ImportError as err:
        raise _cli.CommandError(f"--mpi needs mpi4py and an MPI library ({err}); "
                                'pip install "exokern[mpi]"') from None
    comm = MPI.COMM_WORLD
    size = comm.Get_size()
    if size == 1:
        yield Pool(None, 1, "MPI, 1 rank (no workers: run under mpiexec -n N)")
        return
    with MPICommExecutor(comm, root=0) as executor:
        if executor is None:
            yield None
            return
        workers = size - 1
        yield Pool(executor, workers, f"MPI, {workers} worker rank{'s' if workers > 1 else ''}")


@contextlib.contextmanager
def dask(scheduler: Optional[str] = None, scheduler_file: Optional[str] = None,
         workers: Optional[int] = None) -> Iterator[Pool]:
    """A dask cluster: the scheduler at `scheduler` or of `scheduler_file`, else an embedded
    LocalCluster of `workers` single-threaded processes on the loopback interface."""
    from exokern.grid import connect

    with connect(scheduler, scheduler_file, workers) as (client, where):
        size = sum(client.nthreads().values())
        # pure=False: each item is a new evaluation even when its arguments repeat.
        executor = client.get_executor(pure=False)
        yield Pool(executor, max(size, 1), f"{where}, {size} worker thread"
                                           f"{'s' if size != 1 else ''}")
