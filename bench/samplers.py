"""Benchmark: each sampler on the default retrieval (5 parameters) and on one of 10 parameters,
against a long reference run of the same problem.

    python bench/samplers.py                  # both problems, 2 local workers
    python bench/samplers.py --only 5         # the default retrieval alone
    python bench/samplers.py --quick          # a smoke run: a small reference, few calls

For each problem and sampler (at the settings the command uses by default) it prints the
likelihood calls, the wall time of the sampling on local worker processes (the engine started
and warmed first), the calls per second, ln Z and its error, and every parameter's median and
68 % interval against the reference: dynesty with 2000 live points down to dlogz 0.01 (at
ten parameters nautilus with 2000 live points to 20 000 effective samples: TEN_REFERENCE),
computed once and cached (in $XDG_CACHE_HOME/exokern, ~/.cache/exokern by default; keyed by the problem,
so a change of the model or the data makes a new one). A sampler agrees with the reference when
every median lies within 0.1 sigma of it (sigma: half the reference's 68 % interval), every 68 %
interval's width within 10 % and ln Z within 0.3.

The 10-parameter problem: the default model with a Guillot profile (its irradiation temperature,
thermal opacity and first visible channel free), the Na and K abundances, the reference radius,
a grey continuum (`kappa`, log-uniform), a cloud deck and a haze (its strength and slope),
injected at known values over the default retrieval's bins with 40 ppm of noise.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import sys
import time
import warnings
from pathlib import Path
from typing import Any, Optional

import numpy as np

from exokern import engines
from exokern.retrieval import Posterior, Problem, default_problem, sample
from exokern.retrieval.likelihood import inject, log_bins
from exokern.retrieval.priors import Prior, Priors
from exokern.retrieval.problem import INJECTED_RANGE, make_problem

# The samplers at the command's defaults, and the reference.
RUNS: dict[str, dict[str, Any]] = {
    "dynesty": dict(sampler="dynesty", live=300, dlogz=0.5, batch=8, method="auto"),
    "nautilus": dict(sampler="nautilus", live=None, effective=3000),  # live: by the parameters
}
REFERENCE = dict(sampler="dynesty", live=2000, dlogz=0.01, batch=8, method="auto")
# At ten parameters dynesty's random walks (`auto` takes them from ten up) drift: its
# 2000-point run put medians 0.6-0.9 sigma away from two nautilus runs that agree with each
# other (400 and 2000 live points), so the ten-parameter reference is nautilus's long run.
TEN_REFERENCE = dict(sampler="nautilus", live=2000, effective=20000)
QUICK_REFERENCE = dict(sampler="dynesty", live=200, dlogz=0.5, batch=8, method="auto")

TEN_TRUTHS = {"tirr": 1400.0, "logkappa": -1.5, "logg1": -0.8, "na": 0.5, "k": -0.5,
              "rplanet": 7.1492e9, "kappa": 1e-3, "log_pcloud": -1.0, "log_haze": 1.0,
              "haze_slope": -4.0}
TEN_PRIORS = Priors([Prior("tirr", "uniform", 800.0, 2200.0),
                     Prior("logkappa", "uniform", -3.0, 0.0),
                     Prior("logg1", "uniform", -2.0, 0.5),
                     Prior("na", "uniform", -3.0, 2.0), Prior("k", "uniform", -3.0, 2.0),
                     Prior("rplanet", "uniform", 0.9 * 7.1492e9, 1.1 * 7.1492e9),
                     Prior("kappa", "log-uniform", 1e-5, 1e-1),
                     Prior("log_pcloud", "uniform", -4.0, 2.0),
                     Prior("log_haze", "uniform", -2.0, 4.0),
                     Prior("haze_slope", "uniform", -8.0, 0.0)])


def ten_parameter_problem() -> Problem:
    base = default_problem()
    model = base.model
    low, high = log_bins(*INJECTED_RANGE)
    data = inject(model, TEN_TRUTHS, low, high, 40e-6, seed=1)
    problem = make_problem(dict(base.settings), TEN_PRIORS, {}, data)
    problem.truths.update(TEN_TRUTHS)
    return problem


def cache_folder() -> Path:
    root = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(root) / "exokern"


def summary_of(post: Posterior, seconds: float) -> dict[str, Any]:
    q = post.quantiles([0.15865, 0.5, 0.84135])
    return dict(calls=post.calls, seconds=seconds, logz=post.logz, logzerr=post.logzerr,
                lo=q[0].tolist(), median=q[1].tolist(), hi=q[2].tolist(),
                names=list(post.names))


def run(problem: Problem, settings: dict[str, Any], workers: int,
        seed: int = 1) -> dict[str, Any]:
    with (engines.processes(workers) if workers > 1 else engines.serial()) as pool:
        theta = [p.value(0.5) for p in problem.priors.priors]
        pool.map(problem.likelihood, [theta] * (2 * pool.workers))  # warm the workers
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)
            start = time.perf_counter()
            post = sample(problem.likelihood, problem.priors, pool, seed=seed, **settings)
            seconds = time.perf_counter() - start
    return summary_of(post, seconds)


def reference(problem: Problem, settings: dict[str, Any], workers: int) -> dict[str, Any]:
    key = hashlib.sha256(json.dumps([problem.likelihood.description,
                                     [str(p) + p.name for p in problem.priors.priors],
                                     settings], sort_keys=True).encode()).hexdigest()[:16]
    path = cache_folder() / f"reference-{key}.json"
    if path.exists():
        found: dict[str, Any] = json.loads(path.read_text())
        return found
    until = (f"down to dlogz {settings['dlogz']:g}" if "dlogz" in settings
             else f"to {settings['effective']} effective samples")
    print(f"  (the reference, {settings['sampler']} with {settings['live']} live points {until}: "
          f"computed once, cached in {path})", flush=True)
    found = run(problem, settings, workers)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(found))
    return found


def compare(name: str, got: dict[str, Any], ref: Optional[dict[str, Any]]) -> None:
    print(f"  {name:10s} {got['calls']:>9d} {got['seconds']:>8.1f} "
          f"{got['calls'] / got['seconds']:>9.0f}   {got['logz']:10.3f} +- {got['logzerr']:.3f}")
    if ref is None:
        return
    shifts, widths = [], []
    for k, param in enumerate(got["names"]):
        sigma = 0.5 * (ref["hi"][k] - ref["lo"][k])
        shift = (got["median"][k] - ref["median"][k]) / sigma
        width = (got["hi"][k] - got["lo"][k]) / (ref["hi"][k] - ref["lo"][k]) - 1.0
        shifts.append(abs(shift))
        widths.append(abs(width))
        print(f"      {param:12s} median {got['median'][k]:11.5g} (ref {ref['median'][k]:11.5g},"
              f" {shift:+.3f} sigma)  68 % width {100 * width:+6.1f} %")
    dz = got["logz"] - ref["logz"]
    ok = max(shifts) <= 0.1 and max(widths) <= 0.10 and abs(dz) <= 0.3
    print(f"      worst median shift {max(shifts):.3f} sigma, worst width {100 * max(widths):.1f} "
          f"%, ln Z {dz:+.3f}: {'agrees' if ok else 'DIFFERS'} (limits 0.1 sigma, 10 %, 0.3)")


def bench(label: str, problem: Problem, workers: int, quick: bool,
          reference_settings: dict[str, Any]) -> None:
    print(f"\n{label}: {len(problem.priors)} parameters ({', '.join(problem.priors.names)}), "
          f"{len(problem.model.pressure)} layers x {len(problem.model.wn)} wavenumbers, "
          f"{len(problem.data)} bins; {workers} local worker processes", flush=True)
    ref = reference(problem, QUICK_REFERENCE if quick else reference_settings, workers)
    print(f"  {'sampler':10s} {'calls':>9s} {'wall s':>8s} {'calls/s':>9s}   ln Z")
    compare("reference", ref, None)
    for name, settings in RUNS.items():
        if quick:
            settings = dict(settings, live=60, max_calls=1500)
            if name == "nautilus":
                settings["effective"] = 300
        try:
            got = run(problem, settings, workers)
        except ImportError as err:  # a sampler that is not installed
            print(f"  {name:10s} not installed: {err}")
            continue
        compare(name, got, ref)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run")
    parser.add_argument("--only", type=int, choices=(5, 10), help="one problem only")
    parser.add_argument("--workers", type=int, default=2, help="local workers (default 2)")
    args = parser.parse_args()
    print(f"numpy {np.__version__}; {os.cpu_count()} cores; python {sys.version.split()[0]}")
    if args.only in (None, 5):
        bench("the default retrieval", default_problem(), args.workers, args.quick, REFERENCE)
    if args.only in (None, 10) and not args.quick:
        bench("ten parameters", ten_parameter_problem(), args.workers, args.quick,
              TEN_REFERENCE)
    return 0


if __name__ == "__main__":
    sys.exit(main())
