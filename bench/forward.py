"""Benchmark: where a forward model's time goes, stage by stage and kernel against Python.

    python bench/forward.py            # the default size (100 layers, 13 863 wavenumbers)
    python bench/forward.py --quick    # a small grid: a smoke run of the script itself

For each geometry the model is evaluated several times; every call into the extension modules
is timed by a wrapper, so the time outside them (numpy and Python work between the kernels) is
what remains. Then the vertical optical depth alone: `cumoptdepth` against the layer-by-layer
`optdepth` loop it replaces, and against one numpy pass over the extinction (`ext.sum(axis=0)`),
in interleaved repeats. Medians throughout.
"""

from __future__ import annotations

import argparse
import statistics
import time
from collections import defaultdict
from typing import Any, Callable

import numpy as np

from exokern import _alkali, _kelvo, _quadra, _simpson
from exokern.model import ForwardModel

MODULES = (_quadra, _alkali, _simpson, _kelvo)


class KernelClock:
    """Wraps every method of the extension modules so that the time spent inside them adds up
    per method; restores them on exit."""

    def __init__(self) -> None:
        self.spent: dict[str, float] = defaultdict(float)
        self.saved: list[tuple[Any, str, Callable[..., Any]]] = []

    def __enter__(self) -> "KernelClock":
        for module in MODULES:
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


def profile(model: ForwardModel, repeats: int) -> None:
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
    print(f"\n{model.geometry}: {model.layers} layers x {len(model.wn)} wavenumbers, "
          f"median of {repeats}: {1e3 * total:.1f} ms per forward model")
    for name, values in stages.items():
        print(f"  stage  {name:26s} {1e3 * statistics.median(values):8.2f} ms")
    for name, values in sorted(per_kernel.items(), key=lambda kv: -statistics.median(kv[1])):
        print(f"  kernel {name:26s} {1e3 * statistics.median(values):8.2f} ms")
    print(f"  in the kernels {1e3 * kernel:.1f} ms; Python and numpy around them "
          f"{1e3 * (total - kernel):.1f} ms = {100 * (total - kernel) / total:.0f} % "
          "(target <= 20 %)")


def optical_depth(layers: int, nwave: int, repeats: int) -> None:
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
    args = parser.parse_args()
    size = dict(layers=30, resolution=2000.0) if args.quick else dict()
    repeats = 3 if args.quick else 9
    print(f"numpy {np.__version__}")
    for geometry in ("emission", "transmission"):
        profile(ForwardModel(geometry, **size), repeats)  # type: ignore[arg-type]
    if args.quick:
        optical_depth(30, 2000, 3)
    else:
        optical_depth(100, 10**4, 9)
        optical_depth(100, 10**5, 5)


if __name__ == "__main__":
    main()
