"""Benchmark: where a forward model's time goes, stage by stage and kernel against Python, and
how it compares with another build of exokern.

    python bench/forward.py                          # the retrieval's and the main job's sizes
    python bench/forward.py --baseline OTHER/python  # also against the exokern of OTHER
    python bench/forward.py --quick                  # a smoke run of the script itself

Sizes: the retrieval's, 50 layers x 694 wavenumbers (10 000-20 000 cm^-1 at R = 1000), and
the main job's, 100 layers x 13 863 (R = 20 000). For each geometry and size the model is
evaluated several times; every call into the extension modules is timed by a wrapper, so the
time outside them (numpy and Python work between the kernels) is what remains. The Na/K lines
and the grey continuum first, then (where ../shared/data holds them) a model of H2O's table,
H2-H2 and H2-He CIA and Rayleigh scattering.

`--baseline` names the Python of a virtual environment with another exokern installed (an
older commit, say): a worker process runs there and times the same models, the Na/K lines and
the grey continuum, alternately with this process, round by round. Both the whole call and the
part after the extinction (what a model handed its extinction spends: the geometry's stages)
are compared.

Last, the vertical optical depth alone: `cumoptdepth` against the layer-by-layer `optdepth`
loop it replaces, and against one numpy pass over the extinction (`ext.sum(axis=0)`), in
interleaved repeats. Medians throughout.
"""

from __future__ import annotations

import argparse
import importlib
import inspect
import json
import statistics
import subprocess
import sys
import time
from collections import defaultdict
from pathlib import Path
from typing import Any, Callable, Optional

import numpy as np

import exokern
from exokern.model import ForwardModel

MODULE_NAMES = ("_quadra", "_alkali", "_simpson", "_kelvo", "_opacity", "_forward")
DATA = Path(__file__).resolve().parents[2] / "shared" / "data"

# (label, layers, resolution); both span 10 000-20 000 cm^-1.
SIZES = (("the retrieval's size", 50, 1000.0), ("the main job's size", 100, 20000.0))
QUICK_SIZES = (("a small size", 30, 2000.0),)
# What this build must gain over the baseline's whole call, per geometry and size.
TARGETS = {("transmission", 50): 6.0, ("emission", 50): 2.0, ("transmission", 100): 3.0,
           ("emission", 100): 1.5}
AFTER_EXTINCTION = ("atmosphere", "extinction")


def modules() -> list[Any]:
    found = []
    for name in MODULE_NAMES:
        try:
            found.append(importlib.import_module(f"exokern.{name}"))
        except ImportError:  # an older build without the module
            pass
    return found


def lines_and_grey(geometry: str, layers: int, resolution: float) -> ForwardModel:
    """The Na/K lines and the grey continuum alone, as every build since the first computes
    them (a build that knows Rayleigh scattering is told to leave it out)."""
    extra: dict[str, Any] = {}
    if "rayleigh" in inspect.signature(ForwardModel.__init__).parameters:
        extra["rayleigh"] = False
    return ForwardModel(geometry, layers=layers, resolution=resolution, wn_min=10000.0,  # type: ignore[arg-type]
                        wn_max=20000.0, **extra)


def molecular(geometry: str, layers: int, resolution: float) -> Optional[ForwardModel]:
    """H2O's table, H2-H2 and H2-He CIA and Rayleigh scattering over the table's span, where
    ../shared/data holds them."""
    h2o = DATA / "xsec" / "H2O_BT2_tau.xsec.TauREx.h5"
    cia = [DATA / "cia" / "H2-H2.cia", DATA / "cia" / "H2-He.cia"]
    if not all(p.exists() for p in (h2o, *cia)):
        return None
    try:
        return ForwardModel(geometry, layers=layers, resolution=resolution,  # type: ignore[arg-type]
                            wn_min=3000.0, wn_max=11990.0, molecules={"H2O": str(h2o)},
                            cia=[str(p) for p in cia])
    except Exception as exc:  # h5py missing, say
        print(f"(no molecular model: {exc})")
        return None


def call_times(model: ForwardModel, repeats: int) -> tuple[list[float], list[float]]:
    """Seconds of every call, whole and after the extinction."""
    whole, after = [], []
    for _ in range(repeats):
        t0 = time.perf_counter()
        res = model()
        whole.append(time.perf_counter() - t0)
        after.append(sum(v for k, v in res.times.items() if k not in AFTER_EXTINCTION))
    return whole, after


def worker() -> None:
    """Times the models asked for on stdin, one JSON request a line, with this interpreter's
    exokern; answers one JSON line each."""
    models: dict[tuple[str, int, float], ForwardModel] = {}
    print(json.dumps({"version": exokern.__version__, "where": str(Path(exokern.__file__).parent)}),
          flush=True)
    for line in sys.stdin:
        ask = json.loads(line)
        key = (ask["geometry"], ask["layers"], ask["resolution"])
        if key not in models:
            models[key] = lines_and_grey(*key)
            models[key]()
        whole, after = call_times(models[key], ask["repeats"])
        print(json.dumps({"whole": whole, "after": after}), flush=True)


def compare_builds(baseline: str, sizes: tuple[tuple[str, int, float], ...], rounds: int,
                   calls: int) -> None:
    script = str(Path(__file__).resolve())
    proc = subprocess.Popen([baseline, script, "--worker"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, cwd="/")
    assert proc.stdin is not None and proc.stdout is not None
    try:
        other = json.loads(proc.stdout.readline())
        print(f"\nthis build ({exokern.__version__}) against the baseline "
              f"{other['version']} at {other['where']}, the Na/K lines and the grey "
              f"continuum; medians of {rounds} interleaved rounds of {calls} calls")
        print(f"  {'':32s} {'':14s} {'baseline':>10s} {'this':>10s} {'ratio':>7s}")
        for geometry in ("transmission", "emission"):
            for label, layers, resolution in sizes:
                model = lines_and_grey(geometry, layers, resolution)
                model()
                ours: dict[str, list[float]] = {"whole": [], "after": []}
                theirs: dict[str, list[float]] = {"whole": [], "after": []}
                n = max(1, calls if layers <= 50 else calls // 20)
                for _ in range(rounds):
                    proc.stdin.write(json.dumps({"geometry": geometry, "layers": layers,
                                                 "resolution": resolution, "repeats": n}) + "\n")
                    proc.stdin.flush()
                    got = json.loads(proc.stdout.readline())
                    whole, after = call_times(model, n)
                    ours["whole"] += whole
                    ours["after"] += after
                    theirs["whole"] += got["whole"]
                    theirs["after"] += got["after"]
                size = f"{geometry} {layers} x {len(model.wn)}"
                target = TARGETS.get((geometry, layers))
                for part, name in (("whole", "whole call"), ("after", "given its ext")):
                    a = statistics.median(theirs[part])
                    b = statistics.median(ours[part])
                    goal = f"  (target >= {target:g}x)" if target and part == "whole" else ""
                    print(f"  {size:32s} {name:14s} {1e3 * a:8.3f} ms {1e3 * b:7.3f} ms "
                          f"{a / b:6.2f}x{goal}")
                    size = ""
    finally:
        proc.stdin.close()
        proc.wait(timeout=60)


class KernelClock:
    """Wraps every method of the extension modules so that the time spent inside them adds up
    per method; restores them on exit."""

    def __init__(self) -> None:
        self.spent: dict[str, float] = defaultdict(float)
        self.saved: list[tuple[Any, str, Callable[..., Any]]] = []

    def __enter__(self) -> "KernelClock":
        for module in modules():
            for name in dir(module):
                fn = getattr(module, name)
                if name.startswith("_") or not callable(fn):
                    continue
                self.saved.append((module, name, fn))
                setattr(module, name, self._timed(f"{module.__name__[8:]}.{name}", fn))
        return self

    def _timed(self, label: str, fn: Callable[..., Any]) -> Callable[..., Any]:
        def call(*args: Any) -> Any:
            t0 = time.perf_counter()
            try:
                return fn(*args)
            finally:
                self.spent[label] += time.perf_counter() - t0
        return call

    def __exit__(self, *exc: object) -> None:
        for module, name, fn in self.saved:
            setattr(module, name, fn)


def profile(model: ForwardModel, repeats: int, what: str = "") -> None:
    model()  # warm up
    stages: dict[str, list[float]] = defaultdict(list)
    totals, kernels = [], []
    per_kernel: dict[str, list[float]] = defaultdict(list)
    for _ in range(repeats):
        with KernelClock() as clock:
            t0 = time.perf_counter()
            res = model()
            totals.append(time.perf_counter() - t0)
        kernels.append(sum(clock.spent.values()))
        for name, seconds in res.times.items():
            stages[name].append(seconds)
        for name, seconds in clock.spent.items():
            per_kernel[name].append(seconds)
    total = statistics.median(totals)
    kernel = statistics.median(kernels)
    print(f"\n{model.geometry}{what}: {len(model.pressure)} layers x {len(model.wn)} "
          f"wavenumbers, median of {repeats}: {1e3 * total:.3f} ms per forward model")
    for name, values in stages.items():
        print(f"  stage  {name:26s} {1e3 * statistics.median(values):8.2f} ms")
    for name, values in sorted(per_kernel.items(), key=lambda kv: -statistics.median(kv[1])):
        print(f"  kernel {name:26s} {1e3 * statistics.median(values):8.2f} ms")
    print(f"  in the kernels {1e3 * kernel:.3f} ms; Python and numpy around them "
          f"{1e3 * (total - kernel):.3f} ms = {100 * (total - kernel) / total:.0f} % "
          "(target <= 20 %)")


def optical_depth(layers: int, nwave: int, repeats: int) -> None:
    from exokern import _quadra

    rng = np.random.default_rng(1)
    ext = rng.exponential(1e-8, size=(layers, nwave))
    h = rng.uniform(1e6, 2e6, layers - 1)

    def loop() -> None:
        ideep = np.full(nwave, -1, np.intc)
        for k in range(1, layers):
            _quadra.optdepth(ext[:k + 1], h[:k], np.inf, ideep, k)

    def cumulative() -> None:
        _quadra.cumoptdepth(ext, h, np.inf, np.full(nwave, -1, np.intc))

    def one_pass() -> None:
        ext.sum(axis=0)

    contenders = {"cumoptdepth": cumulative, "optdepth per layer": loop, "ext.sum(axis=0)":
                  one_pass}
    samples: dict[str, list[float]] = {name: [] for name in contenders}
    for fn in contenders.values():
        fn()
    for _ in range(repeats):
        for name, fn in contenders.items():
            t0 = time.perf_counter()
            fn()
            samples[name].append(time.perf_counter() - t0)
    med = {name: statistics.median(s) for name, s in samples.items()}
    print(f"\nvertical optical depth, {layers} layers x {nwave} wavenumbers (median of "
          f"{repeats}):")
    for name, seconds in med.items():
        print(f"  {name:20s} {1e3 * seconds:9.2f} ms")
    print(f"  cumoptdepth is {med['optdepth per layer'] / med['cumoptdepth']:.1f}x faster than "
          f"the layer-by-layer loop and {med['cumoptdepth'] / med['ext.sum(axis=0)']:.2f}x one "
          "numpy pass over the extinction (target <= 1.5x; it also writes every layer)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, few repeats")
    parser.add_argument("--baseline", metavar="PYTHON",
                        help="the Python of an environment with another exokern to compare")
    parser.add_argument("--rounds", type=int, default=15, help="interleaved rounds (15)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker()
        return
    sizes = QUICK_SIZES if args.quick else SIZES
    print(f"numpy {np.__version__}, exokern {exokern.__version__}")
    for label, layers, resolution in sizes:
        repeats = 3 if args.quick else (300 if layers <= 50 else 15)
        for geometry in ("transmission", "emission"):
            profile(lines_and_grey(geometry, layers, resolution), repeats,
                    f" at {label}, Na/K and grey")
            mol = molecular(geometry, layers, resolution)
            if mol is not None:
                profile(mol, repeats, f" at {label}, H2O, CIA and Rayleigh")
    if args.baseline:
        compare_builds(args.baseline, sizes, 3 if args.quick else args.rounds,
                       10 if args.quick else 100)
    if args.quick:
        optical_depth(30, 2000, 3)
    else:
        optical_depth(100, 10**4, 9)
        optical_depth(100, 10**5, 5)


if __name__ == "__main__":
    main()
