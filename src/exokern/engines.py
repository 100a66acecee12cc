"""Where work runs: this process, local processes, the ranks of an MPI job, a dask cluster.

- `Pool` is what a sampler asks of an engine, `pool.map(fn, items)`: the results in the order
  of the items. Every engine offers a `concurrent.futures.Executor` with an ordered `map`, so one
  adapter serves them all. `serial()`, `processes(n)`, `mpi()` and `dask(...)` are context
  managers that yield a Pool and close their engine on the way out.
- `connect(...)` gives a dask client: on a running scheduler (by address or scheduler file, as
  `dask scheduler`, dask-jobqueue and dask-mpi give them) or on an embedded LocalCluster of
  single-threaded worker processes on the loopback interface.
- On the workers, `cached(kind, description, build)` keeps what tasks need (a forward model, a
  likelihood) built once per process from the short description the tasks carry, and tunes
  the process's allocator the first time.
- Signals: worker processes start with SIGINT ignored, so that Ctrl-C in a terminal reaches the
  program alone (each worker would print a traceback of its own); `HeldInterrupts` holds Ctrl-C
  back while a write or an iteration ends.

An engine that cannot be reached, or a worker that dies, raises `EngineError`.
"""

from __future__ import annotations

import collections
import concurrent.futures
import contextlib
import importlib
import logging
import multiprocessing
import os
import signal
import sys
import threading
import time
from types import TracebackType
from typing import Any, Callable, Iterable, Iterator, Optional, Sequence, TypeVar

from exokern.errors import RunError, require

T = TypeVar("T")
LOCAL_CLUSTER = "local cluster"


class EngineError(RunError):
    """An engine that cannot be reached or cannot go on (a worker process died)."""


# ---- the pool ------------------------------------------------------------------------------

class Pool:
    """A map over an executor, in the items' order: what nested samplers take as a pool.

    `workers` is the number of workers; `engine` says which engine runs the map, for a summary.
    (It is not called `size`: a sampler that finds a `size` may take its batch from it, and the
    batch must not depend on the engine.)"""

    def __init__(self, executor: Optional[Any], workers: int, engine: str) -> None:
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
            raise EngineError("a worker process died (out of memory, or killed); the "
                              "checkpoint keeps the run's progress") from None
        return [result for chunk in done for result in chunk]

    def __repr__(self) -> str:
        return f"Pool({self.engine!r}, workers={self.workers})"


def _apply(fn: Callable[[Any], Any], chunk: Sequence[Any]) -> list[Any]:
    return [fn(item) for item in chunk]


@contextlib.contextmanager
def serial() -> Iterator[Pool]:
    """This process alone."""
    yield Pool(None, 1, "this process")


def _start_worker(parent: int) -> None:
    """A local worker's start: SIGINT ignored (the parent decides what an interrupt stops), and
    a watch on the parent. A parent killed outright (SIGKILL, a batch system's time limit)
    runs no shutdown, and its workers, which hold both ends of their task queue, would wait for
    work forever: they leave once their parent is gone."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)

    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(0.5)
        os._exit(1)

    threading.Thread(target=watch, name="exokern-parent-watch", daemon=True).start()


def _ready(_: int) -> int:
    return os.getpid()


@contextlib.contextmanager
def processes(count: Optional[int] = None) -> Iterator[Pool]:
    """A pool of `count` local worker processes (default: one per core), spawned fresh so that
    they hold no copy of this process's threads, with SIGINT ignored."""
    count = count or os.cpu_count() or 1
    context = multiprocessing.get_context("spawn")
    executor = concurrent.futures.ProcessPoolExecutor(count, mp_context=context,
                                                      initializer=_start_worker,
                                                      initargs=(os.getpid(),))
    try:
        # Start every worker now, while SIGINT is ignored: an ignored signal stays ignored
        # across exec, and Python then installs no handler of its own.
        with interrupts_ignored():
            pending = [executor.submit(_ready, i) for i in range(count)]
        for future in pending:
            future.result()
        yield Pool(executor, count, f"{count} local process{'es' if count > 1 else ''}")
    finally:
        executor.shutdown(wait=True, cancel_futures=True)


@contextlib.contextmanager
def mpi() -> Iterator[Optional[Pool]]:
    """The ranks of the MPI job this process belongs to. Rank 0 gets a Pool of the other ranks;
    every other rank serves evaluations until rank 0 leaves the block, then gets None.

    A job of a single rank evaluates in that rank (the Pool of `serial`)."""
    try:
        MPI = importlib.import_module("mpi4py.MPI")
        MPICommExecutor = importlib.import_module("mpi4py.futures").MPICommExecutor
    except ImportError as err:
        raise EngineError(f"the MPI engine needs mpi4py and an MPI library ({err}); "
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
    """A dask cluster as a Pool (see `connect`)."""
    with connect(scheduler, scheduler_file, workers) as (client, where):
        size = sum(client.nthreads().values())
        # pure=False: each item is a new evaluation even when its arguments repeat.
        executor = client.get_executor(pure=False)
        yield Pool(executor, max(size, 1), f"{where}, {size} worker thread"
                                           f"{'s' if size != 1 else ''}")


# ---- dask ------------------------------------------------------------------------------------

@contextlib.contextmanager
def connect(scheduler: Optional[str] = None, scheduler_file: Optional[str] = None,
            workers: Optional[int] = None) -> Iterator[tuple[Any, str]]:
    """A dask client: on the scheduler at `scheduler` (an address) or described by
    `scheduler_file`, or on an embedded LocalCluster of `workers` single-threaded processes
    (default: one per core) on the loopback interface. Yields (client, description); the
    embedded cluster is closed with the block."""
    distributed = require("distributed", "grid", "the dask engine")
    if scheduler is not None or scheduler_file is not None:
        where = scheduler if scheduler is not None else f"the scheduler of {scheduler_file}"
        try:
            client = distributed.Client(scheduler, scheduler_file=scheduler_file, timeout=30)
        except (OSError, ValueError) as err:
            raise EngineError(f"cannot reach {where}: {err}") from None
        with client:
            yield client, f"dask scheduler {client.scheduler.address}"
        return
    count = workers or os.cpu_count() or 1
    try:
        with interrupts_ignored():
            cluster = distributed.LocalCluster(n_workers=count, threads_per_worker=1,
                                               processes=True, host="127.0.0.1",
                                               dashboard_address="127.0.0.1:0")
    except (RuntimeError, OSError, TimeoutError) as err:  # a worker that died while starting
        raise EngineError(f"the local dask cluster did not start: {err}") from None
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
    program): a run interrupted by Ctrl-C closes the workers with tasks running, and each
    would warn of its cancelled tasks on the terminal."""

    class QuietCancellations(distributed.WorkerPlugin):  # type: ignore[misc]
        def setup(self, worker: Any) -> None:
            logging.getLogger("distributed.worker.state_machine").setLevel(logging.ERROR)

    return QuietCancellations


# ---- the worker side -------------------------------------------------------------------------

CACHE_SIZE = 8
_cache: collections.OrderedDict[tuple[str, str], Any] = collections.OrderedDict()
_cache_lock = threading.RLock()  # a build may itself take from the cache
_allocator_tuned = False


def cached(kind: str, description: str, build: Callable[[str], T]) -> T:
    """What this process built from `description` before, or `build(description)` now.

    Tasks carry the short description of what they need (a forward model, a likelihood) and a
    worker builds it once and keeps the last few it was sent: nothing is scattered ahead, so a
    worker that dies and is replaced, or a scheduler that forgets data, costs a rebuild. What
    is kept is only read."""
    key = (kind, description)
    with _cache_lock:
        found = _cache.get(key)
        if found is not None:
            _cache.move_to_end(key)
            return found  # type: ignore[no-any-return]
        _keep_freed_memory()
        built = _cache[key] = build(description)
        while len(_cache) > CACHE_SIZE:
            _cache.popitem(last=False)
        return built


def _keep_freed_memory() -> None:
    """Let this process's C allocator keep the memory a forward model frees for the next one.

    dask starts its workers with MALLOC_TRIM_THRESHOLD_=65536, which also pins glibc's mmap
    threshold at 128 KiB: every array of a forward model (megabytes each) then comes fresh
    from the kernel and is paid for in page faults, which made a worker 1.7x slower than the
    same loop in-process here. Raising both thresholds gives glibc's usual reuse back (and
    keeps up to 256 MiB of freed memory in the worker). Elsewhere than glibc, nothing to do."""
    global _allocator_tuned
    if _allocator_tuned or not sys.platform.startswith("linux"):
        return
    _allocator_tuned = True
    try:
        import ctypes

        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):
        return
    mallopt(-3, 32 * 2**20)  # M_MMAP_THRESHOLD: glibc's largest
    mallopt(-1, 256 * 2**20)  # M_TRIM_THRESHOLD


# ---- signals ---------------------------------------------------------------------------------

def _main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


@contextlib.contextmanager
def interrupts_ignored() -> Iterator[None]:
    """SIGINT ignored while the block runs, so that the processes it starts inherit that
    disposition (only the main thread may change it; elsewhere nothing changes)."""
    if not _main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


class HeldInterrupts:
    """Ctrl-C held back while the block runs: `check()` raises KeyboardInterrupt for one that
    came, and so does the end of the block. With `urgent`, a second Ctrl-C interrupts at once.

    The grid holds Ctrl-C during a write, so that a write is never cut in half; the retrieval
    until the end of an iteration, because the sampler prints a traceback of whatever its
    likelihood raises. Outside the main thread, where signals do not arrive, it does nothing."""

    def __init__(self, urgent: bool = False) -> None:
        self.urgent = urgent
        self.pending = False
        self._previous: Any = None

    def __enter__(self) -> "HeldInterrupts":
        if _main_thread():
            self._previous = signal.signal(signal.SIGINT, self._handle)
        return self

    def _handle(self, signum: int, frame: Any) -> None:
        if self.pending and self.urgent:
            raise KeyboardInterrupt
        self.pending = True

    def check(self) -> None:
        if self.pending:
            raise KeyboardInterrupt

    def __exit__(self, kind: Optional[type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)
        if self.pending and kind is None:
            raise KeyboardInterrupt
