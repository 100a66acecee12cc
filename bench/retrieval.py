"""Benchmark: likelihood calls per second of a retrieval on each engine with one and two
workers, and where the time of one likelihood call goes.

    python bench/retrieval.py            # the default retrieval: 5 parameters, 50 layers
    python bench/retrieval.py --quick    # fewer calls: a smoke run of the script itself

Each engine runs the same nested sampling (dynesty on the default injection-recovery
problem, seed 1, batch 8) up to the same number of likelihood calls; calls per second count the
sampler's own time (engines are started and warmed before the clock starts). This process alone
is the baseline; "local" is a pool of spawned processes, "dask" an embedded LocalCluster, "mpi" the
ranks of `mpiexec -n workers+1` (rank 0 runs the sampler). Then one likelihood call in this
process: the share inside the extension modules (every call into them timed), in the rest of
the forward model (numpy and Python between the kernels), and in the binning and the Gaussian
sum, against one numpy pass over the model's extinction-sized array as a floor.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
import warnings
from typing import Any

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from forward import KernelClock  # noqa: E402

from exokern import engines  # noqa: E402
from exokern.retrieval import Problem, default_problem, sample  # noqa: E402


def rate(run: Problem, pool: engines.Pool, calls: int) -> float:
    warnings.filterwarnings("ignore", "The sampling was stopped short")
    s = run.settings
    # dynesty: its batches of `batch` proposals are the engines' round trips measured here
    post = sample(run.likelihood, run.priors, pool, sampler="dynesty", live=s["live"],
                  dlogz=s["dlogz"],
                  seed=s["seed"], batch=s["batch"], method=s["method"], max_calls=calls)
    return post.calls_per_second


def warm(pool: engines.Pool, run: Problem) -> None:
    theta = [p.value(0.5) for p in run.priors.priors]
    pool.map(run.likelihood, [theta] * (2 * pool.workers))


def mpi_rate(workers: int, calls: int, batch: int) -> float:
    mpiexec = os.path.join(os.path.dirname(sys.executable), "mpiexec")
    if not os.path.exists(mpiexec):
        mpiexec = shutil.which("mpiexec") or ""
    if not mpiexec:
        return float("nan")
    out = subprocess.run([mpiexec, "-n", str(workers + 1), sys.executable,
                          os.path.abspath(__file__), "--mpi-child", str(calls), "--batch",
                          str(batch)],
                         capture_output=True, text=True, timeout=1800, check=True)
    return float(json.loads(out.stdout.strip().splitlines()[-1])["rate"])


def mpi_child(calls: int, batch: int) -> None:
    with engines.mpi() as pool:
        if pool is None:
            return
        run = default_problem(batch=batch)
        warm(pool, run)
        print(json.dumps({"rate": rate(run, pool, calls)}))


def split(run: Problem, repeats: int) -> None:
    like = run.likelihood
    rng = np.random.default_rng(2)
    thetas = [run.priors(rng.uniform(size=len(run.priors))) for _ in range(repeats)]
    like(thetas[0])
    totals, kernels, models = [], [], []
    for theta in thetas:
        params = like.parameters(theta)
        with KernelClock() as clock:
            t0 = time.perf_counter()
            like(theta)
            t1 = time.perf_counter()
            like.model.spectrum(**params)
            t2 = time.perf_counter()
        totals.append(t1 - t0)
        models.append(t2 - t1)
        kernels.append(sum(clock.spent.values()) / 2)  # the kernels ran twice
    layers = len(like.model.pressure)
    floor = np.ones((layers, len(like.model.wn)))
    passes = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        floor.sum()
        passes.append(time.perf_counter() - t0)
    total, kernel, model = (statistics.median(x) for x in (totals, kernels, models))
    print(f"\none likelihood call ({layers} layers x {len(like.model.wn)} "
          f"wavenumbers, {len(like.data)} bins), median of {repeats}: {1e3 * total:.2f} ms")
    print(f"  in the kernels                {1e3 * kernel:7.2f} ms = {100 * kernel / total:5.1f} %")
    print(f"  rest of the forward model     {1e3 * (model - kernel):7.2f} ms = "
          f"{100 * (model - kernel) / total:5.1f} %")
    print(f"  binning and Gaussian sum      {1e3 * (total - model):7.2f} ms = "
          f"{100 * (total - model) / total:5.1f} %")
    print(f"  one numpy pass over layers x wavenumbers: {1e6 * statistics.median(passes):.1f} "
          f"us ({total / statistics.median(passes):.0f}x less than the call)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls")
    parser.add_argument("--batch", type=int, default=8,
                        help="proposals per map (default: %(default)s)")
    parser.add_argument("--mpi-child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.mpi_child:
        mpi_child(args.mpi_child, args.batch)
        return
    calls = 1500 if args.quick else 6000
    run = default_problem(batch=args.batch)
    print(f"numpy {np.__version__}; {os.cpu_count()} cores; the default retrieval "
          f"({len(run.priors)} parameters, batch {run.settings['batch']}), up to {calls} "
          "likelihood calls per run")
    results: dict[tuple[str, int], float] = {}
    with engines.serial() as pool:
        results[("this process", 1)] = rate(run, pool, calls)
    starts: dict[str, Any] = {"local": lambda n: engines.processes(n),
                              "dask": lambda n: engines.dask(workers=n)}
    for name, make in starts.items():
        for workers in (1, 2):
            with make(workers) as pool:
                warm(pool, run)
                results[(name, workers)] = rate(run, pool, calls)
    for workers in (1, 2):
        results[("mpi", workers)] = mpi_rate(workers, calls, args.batch)
    base = results[("this process", 1)]
    print(f"\n  {'engine':<14}{'workers':>8}{'calls/s':>10}{'vs this process':>17}"
          f"{'2 vs 1 worker':>15}")
    for (name, workers), value in results.items():
        one = results.get((name, 1), value)
        print(f"  {name:<14}{workers:>8}{value:>10.0f}{value / base:>16.2f}x"
              + (f"{value / one:>14.2f}x" if workers == 2 else ""))
    split(run, 20 if args.quick else 100)


if __name__ == "__main__":
    main()
