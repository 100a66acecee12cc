"""Benchmark: the per-call cost of the stable ABI (abi3) against a build for this Python alone.

    python bench/abi3.py

Builds the package twice from this source tree (the abi3 wheel, as released, and one with
`-Cwheel.py-api=` for this interpreter only), loads both builds' modules side by side in this
process and times the smallest calls, where the cost of the calling convention shows most:
`trapz` of 16 samples, `simps` of 15 and `optdepth` of 16 x 16. Interleaved repeats, medians;
the results of the two builds are checked to be identical first.
"""

from __future__ import annotations

import glob
import importlib.util
import os
import statistics
import subprocess
import sys
import tempfile
import timeit
import zipfile
from types import ModuleType
from typing import Any, Callable

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILDS = {"abi3": [], "this Python only": ["-Cwheel.py-api="]}


def build(folder: str, options: list[str]) -> str:
    """Build a wheel into `folder`, unpack it there, return the package folder."""
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", folder,
                    *options, ROOT], check=True)
    (wheel,) = glob.glob(os.path.join(folder, "*.whl"))
    with zipfile.ZipFile(wheel) as z:
        z.extractall(folder)
    print(f"  built {os.path.basename(wheel)}")
    return os.path.join(folder, "exokern")


def load(package: str, name: str, tag: str) -> ModuleType:
    (path,) = glob.glob(os.path.join(package, f"{name}.*so")) or \
        glob.glob(os.path.join(package, f"{name}.*pyd"))
    spec = importlib.util.spec_from_file_location(f"{tag}.{name}", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def calls(modules: dict[str, ModuleType]) -> dict[str, Callable[[], Any]]:
    y = np.linspace(0.0, 1.0, 16)
    h = np.diff(np.linspace(0.0, 2.0, 16))
    y15, h14 = y[:15], h[:14]
    data = np.linspace(0.0, 1.0, 256).reshape(16, 16)
    ideep = np.zeros(16, dtype=np.intc)
    q, s = modules["_quadra"], modules["_simpson"]
    hsum, hratio, hfactor = s.geth(h14)
    return {
        "trapz, 16 samples": lambda: q.trapz(y, h),
        "simps, 15 samples": lambda: s.simps(y15, h14, hsum, hratio, hfactor),
        "optdepth, 16x16": lambda: q.optdepth(data, h, 20.0, ideep, 15),
    }


def main() -> None:
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}")
    with tempfile.TemporaryDirectory(prefix="exokern-abi3-") as tmp:
        funcs = {}
        for tag, options in BUILDS.items():
            package = build(os.path.join(tmp, tag.replace(" ", "-")), options)
            mods = {n: load(package, n, tag.replace(" ", "_")) for n in ("_quadra", "_simpson")}
            funcs[tag] = calls(mods)
        cases = list(funcs["abi3"])
        for case in cases:
            a, b = (funcs[t][case]() for t in BUILDS)
            assert np.array_equal(np.asarray(a), np.asarray(b)), case
        times: dict[tuple[str, str], list[float]] = {}
        for _ in range(15):
            for case in cases:
                for tag in BUILDS:
                    f, n = funcs[tag][case], 20000
                    best = min(timeit.repeat(f, number=n, repeat=3)) / n
                    times.setdefault((tag, case), []).append(best)
    print(f"{'call':20s} {'abi3':>10s} {'this Python':>12s} {'abi3 / this':>12s}")
    for case in cases:
        a, b = (statistics.median(times[(t, case)]) for t in BUILDS)
        print(f"{case:20s} {a * 1e9:8.1f} ns {b * 1e9:10.1f} ns {a / b:12.3f}")


if __name__ == "__main__":
    main()
