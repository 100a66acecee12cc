"""Benchmark: the opacity stage's speed, `_opacity.table_extinction` and the Python around it.

    python bench/opacity.py            # the full sizes (a minute or two)
    python bench/opacity.py --quick    # small sizes, few repeats: a smoke run of the script itself

Every tabulated source (molecular cross sections, collision-induced absorption, Rayleigh
scattering) is added into the extinction in one kernel call. On synthetic tables (10 pressures
x 12 temperatures per species, random positive values) with the rows and weights a model gives
(`Tabulated.terms` on a real profile), the kernel is timed against:
    numpy      the same interpolation written the straightforward way in numpy (per species:
               the four rows of every layer gathered by fancy indexing, the bilinear formula,
               added into the extinction), checked first to give the kernel's result bit for bit
    bound      one numpy pass (`data.sum()`) over as many bytes as the call must read: the
               distinct table rows it touches plus the extinction read and written; a second
               row takes every row as streamed (4 per layer and species, repeats counted), which
               a pass from memory reads at DRAM speed while the kernel finds most in cache; a
               third sums the streamed bytes from an array in L2 (numpy's summing rate in cache,
               a reference for a kernel that streams its rows from cache rather than a bound)
Then the Python that builds the kernel's inputs per evaluation (`Tabulated.terms`) against the
kernel at retrieval size, and a transmission forward model with five molecules, two collision
pairs and Rayleigh scattering against the Na/K-only model, in total and stage by stage.
Contenders are timed in interleaved repeats (one call of each per round); medians throughout.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from collections import defaultdict
from typing import Any, Callable, Mapping, Optional

import numpy as np
import numpy.typing as npt

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from forward import KernelClock  # noqa: E402

from exokern import _opacity  # noqa: E402
from exokern.model import ForwardModel  # noqa: E402
from exokern.opacity import tabulated  # noqa: E402
from exokern.opacity.tabulated import Source, Tabulated  # noqa: E402

Array = npt.NDArray[np.float64]

SHARED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "data")
XSEC = os.path.join(SHARED, "xsec", "H2O_BT2_tau.xsec.TauREx.h5")
PAIRS = [os.path.join(SHARED, "cia", name) for name in ("H2-H2.cia", "H2-He.cia")]
MOLECULES = ("H2O", "CO2", "CO", "CH4", "NH3")
STREAM_CAP = 512 * 2**20  # bytes; a longer pass from memory is timed on this many and scaled
CACHED = 256 * 2**10  # bytes of the array summed over and over for a pass from cache

ROWS: list[tuple[str, ...]] = []


def medians(contenders: Mapping[str, Callable[[], Any]], repeats: int,
            inner: int = 1) -> dict[str, float]:
    """Median seconds per call of each callable, timed in interleaved rounds."""
    samples: dict[str, list[float]] = {name: [] for name in contenders}
    for fn in contenders.values():  # warm up caches and page in results
        fn()
    for _ in range(repeats):
        for name, fn in contenders.items():
            t0 = time.perf_counter()
            for _ in range(inner):
                fn()
            samples[name].append((time.perf_counter() - t0) / inner)
    return {name: statistics.median(s) for name, s in samples.items()}


def seconds(t: Optional[float]) -> str:
    if t is None:
        return ""
    return f"{t * 1e3:9.3f} ms" if t >= 1e-4 else f"{t * 1e6:9.2f} us"


def report(name: str, kernel: float, numpy_time: Optional[float] = None,
           bound: Optional[float] = None, note: str = "") -> None:
    """Add a table row: the kernel's median, numpy's and the bound's (either may be absent)."""
    ROWS.append((
        name, seconds(kernel), seconds(numpy_time),
        "" if numpy_time is None else f"{numpy_time / kernel:7.1f}",
        seconds(bound), "" if bound is None else f"{kernel / bound:6.2f}", note,
    ))


# ---- synthetic tables and a model's terms -----------------------------------------------------

def synthetic(rng: np.random.Generator, species: int, nwave: int, npress: int = 10,
              ntemp: int = 12) -> Tabulated:
    """Tabulated sources of `species` molecules on `nwave` wavenumbers, each a table of npress
    pressures (1e-5 to 100 bar) x ntemp temperatures (300 to 3600 K) of random positive values,
    rows in the layout a model's block has (pressure-major, temperature-minor)."""
    wn = np.linspace(3500.0, 16700.0, nwave)
    log_p = np.log(np.logspace(-5.0, 2.0, npress))
    temps = np.linspace(300.0, 3600.0, ntemp)
    per = npress * ntemp
    sources = [Source(f"M{s}", "molecule", s * per, (f"M{s}",), log_p, temps)
               for s in range(species)]
    return Tabulated.of(sources, rng.uniform(1e-3, 1.0, (species * per, len(wn))))


def atmosphere(rng: np.random.Generator, layers: int,
               names: tuple[str, ...]) -> tuple[Array, Array, dict[str, Array]]:
    """A model's layers: pressures log-spaced 1e-8 to 100 bar (in barye), a temperature rising
    from 800 K at the top to 2200 K at the bottom, and a density per constituent."""
    pressure = np.logspace(-8.0, 2.0, layers) * 1e6
    temperature = np.linspace(800.0, 2200.0, layers)
    density = {name: rng.uniform(0.5, 1.0, layers) for name in names}
    return pressure, temperature, density


def numpy_extinction(ext: Array, table: Array, rows: npt.NDArray[np.intc], weights: Array,
                     density: Array) -> None:
    """The kernel's interpolation in plain numpy: per species, the four rows of every layer
    gathered at once, interpolated in T then in ln p, weighted and added into `ext`."""
    layers = ext.shape[0]
    rows = rows.reshape(-1, layers, 4)
    weights = weights.reshape(-1, layers, 2)
    density = density.reshape(-1, layers)
    for s in range(len(rows)):
        r = rows[s]
        a, b, c, d = table[r[:, 0]], table[r[:, 1]], table[r[:, 2]], table[r[:, 3]]
        wt, wp = weights[s, :, 0, None], weights[s, :, 1, None]
        lo = a + wt * (b - a)
        hi = c + wt * (d - c)
        sigma = lo + wp * (hi - lo)
        ext += density[s, :, None] * sigma


def pass_over(nbytes: int) -> tuple[Callable[[], Any], float]:
    """A numpy pass over `nbytes` bytes and the factor its time is to be scaled by: past
    STREAM_CAP the pass runs over STREAM_CAP bytes from memory, its time scaled linearly."""
    size = min(nbytes, STREAM_CAP)
    data = np.ones(max(1, size // 8))
    return data.sum, nbytes / size


def pass_in_cache(nbytes: int) -> tuple[Callable[[], Any], float]:
    """Numpy passes over an array that stays in L2 (CACHED bytes), as many as make `nbytes`:
    the time to stream that many bytes from cache, as the kernel streams its rows; and the
    factor its time is to be scaled by."""
    data = np.ones(CACHED // 8)
    count = max(1, round(nbytes / CACHED))

    def passes() -> None:
        for _ in range(count):
            data.sum()

    return passes, nbytes / (count * CACHED)


def footprint(rows: npt.NDArray[np.intc], layers: int, nwave: int) -> tuple[int, int]:
    """Bytes a call reads: the distinct table rows it touches, and every row as streamed (4 per
    layer and species, repeats counted); both with the extinction read and written."""
    row_bytes = 8 * nwave
    ext_bytes = 2 * layers * row_bytes
    return (int(np.unique(rows).size) * row_bytes + ext_bytes,
            int(rows.size) * row_bytes + ext_bytes)


def bench_kernel(rng: np.random.Generator, layers: int, nwave: int, species: int,
                 repeats: int) -> float:
    """The kernel against numpy and the bounds on `layers` x `nwave`; returns its median."""
    tables = synthetic(rng, species, nwave)
    pressure, temperature, density = atmosphere(rng, layers, tuple(s.name for s in
                                                                   tables.sources))
    rows, weights, dens, _ = tables.terms(pressure, temperature, density)
    table = tables.block

    ext_kernel = np.zeros((layers, nwave))
    _opacity.table_extinction(ext_kernel, table, rows, weights, dens)
    ext_numpy = np.zeros((layers, nwave))
    numpy_extinction(ext_numpy, table, rows, weights, dens)
    same = bool(np.array_equal(ext_kernel, ext_numpy))
    if same:
        agreement = "numpy equals the kernel bit for bit"
    else:
        worst = float(np.max(np.abs(ext_kernel - ext_numpy) / np.abs(ext_numpy)))
        agreement = f"DISAGREE: numpy differs from the kernel (worst relative {worst:.1e})"

    distinct, streamed = footprint(rows, layers, nwave)
    distinct_pass, distinct_scale = pass_over(distinct)
    streamed_pass, streamed_scale = pass_over(streamed)
    cached_pass, cached_scale = pass_in_cache(streamed)
    ext_k, ext_n = np.zeros_like(ext_kernel), np.zeros_like(ext_numpy)
    t = medians({
        "kernel": lambda: _opacity.table_extinction(ext_k, table, rows, weights, dens),
        "numpy": lambda: numpy_extinction(ext_n, table, rows, weights, dens),
        "distinct": distinct_pass,
        "streamed": streamed_pass,
        "cached": cached_pass,
    }, repeats)
    t_distinct, t_streamed = t["distinct"] * distinct_scale, t["streamed"] * streamed_scale
    name = f"table_extinction {species} species, {layers} x {nwave}"
    report(name, t["kernel"], t["numpy"], t_distinct,
           f"{agreement}; bound: {distinct / 2**20:.1f} MB, {np.unique(rows).size} distinct "
           f"rows of {rows.size} read + ext read and written")
    scaled = f", timed on {STREAM_CAP / 2**20:.0f} MB and scaled" if streamed_scale > 1 else ""
    ROWS.append(("  same, every row as streamed", "", "", "", seconds(t_streamed),
                 f"{t['kernel'] / t_streamed:6.2f}",
                 f"bound: {streamed / 2**20:.1f} MB (4 rows per layer and species + ext){scaled}"))
    t_cached = t["cached"] * cached_scale
    ROWS.append(("  same, every row as streamed, from L2", "", "", "", seconds(t_cached),
                 f"{t['kernel'] / t_cached:6.2f}",
                 (f"the same bytes summed {CACHED // 2**10} kB at a time in L2: numpy's "
                  "sum rate there, a reference rather than a bound")))
    return t["kernel"]


def terms_times(rng: np.random.Generator, species: int, layers: int, nwave: int,
                repeats: int) -> tuple[dict[str, float], int, int]:
    """Medians of the kernel, numpy, `Tabulated.terms`, `Tabulated.add`, the node searches and
    the bounds on `layers` x `nwave`; and the distinct and streamed bytes."""
    tables = synthetic(rng, species, nwave)
    pressure, temperature, density = atmosphere(rng, layers, tuple(s.name for s in
                                                                   tables.sources))
    rows, weights, dens, _ = tables.terms(pressure, temperature, density)
    ext = np.zeros((layers, nwave))
    ext_n = np.zeros((layers, nwave))
    distinct, streamed = footprint(rows, layers, nwave)
    cached_pass, cached_scale = pass_in_cache(streamed)
    contenders: dict[str, Callable[[], Any]] = {
        "kernel": lambda: _opacity.table_extinction(ext, tables.block, rows, weights, dens),
        "numpy": lambda: numpy_extinction(ext_n, tables.block, rows, weights, dens),
        "terms": lambda: tables.terms(pressure, temperature, density),
        "add": lambda: tables.add(ext, pressure, temperature, density),
        "bound": pass_over(distinct)[0],
        "cached": cached_pass,
    }
    nodes = getattr(tabulated, "_nodes", None)
    if nodes is not None:  # the node search of every source along its two axes
        log_p = np.log(pressure / 1e6)

        def searches() -> None:
            for src in tables.sources:
                clamped = tabulated.Clamped()
                nodes(src.temperature, temperature, lambda x: f"T {x:g} K", clamped)
                nodes(src.log_pressure, log_p, lambda x: f"p {x:g} bar", clamped)

        contenders["nodes"] = searches
    t = medians(contenders, repeats, inner=20)
    t["cached"] *= cached_scale
    return t, distinct, streamed


def bench_terms(rng: np.random.Generator, species: int, nwave: int, repeats: int) -> None:
    """The Python of `Tabulated.terms` per evaluation against the kernel at `nwave`, for 50
    layers (retrieval size) and 100."""
    at_50 = 0.0
    for layers in (50, 100):
        t, distinct, streamed = terms_times(rng, species, layers, nwave, repeats)
        at_50 = at_50 or t["kernel"]
        size = "retrieval size; " if layers == 50 else ""
        report(f"table_extinction {species} species, {layers} x {nwave}", t["kernel"],
               t["numpy"], t["bound"],
               f"{size}bound: {distinct / 2**20:.2f} MB, in cache; "
               f"{t['kernel'] / t['cached']:.2f}x numpy's sum over the {streamed / 2**20:.1f} "
               "MB streamed, from L2")
        ratios = f"{t['terms'] / at_50:.2f}x the kernel at 50 x {nwave}"
        if layers != 50:
            ratios += f", {t['terms'] / t['kernel']:.2f}x at {layers} x {nwave}"
        report(f"  Tabulated.terms, {species} species x {layers} layers", t["terms"],
               note=f"{ratios}; {100 * t['terms'] / t['add']:.0f} % of Tabulated.add "
                    f"({seconds(t['add']).strip()}: terms + kernel)")
        if "nodes" in t:
            report(f"    of which the node searches ({2 * species} x _nodes)", t["nodes"],
                   note=f"{100 * t['nodes'] / t['terms']:.0f} % of terms")


# ---- the forward model ------------------------------------------------------------------------

class OpacityClock(KernelClock):
    """Adds up the time a model's tabulated sources spend in `terms` and in the kernel while
    in use; restores both on exit."""

    def __init__(self, tables: Tabulated) -> None:
        super().__init__()
        self.tables = tables

    def __enter__(self) -> OpacityClock:
        self.kernel = _opacity.table_extinction
        terms = self.tables.terms
        self.tables.terms = self._timed("terms", terms)  # type: ignore[method-assign]
        _opacity.table_extinction = self._timed("table_extinction", self.kernel)
        return self

    def __exit__(self, *exc: object) -> None:
        del self.tables.terms
        _opacity.table_extinction = self.kernel


def bench_forward(repeats: int) -> None:
    if not (os.path.exists(XSEC) and all(os.path.exists(p) for p in PAIRS)):
        print(f"\nforward model: skipped, the shared tables are absent ({SHARED})")
        return
    def model(**choices: Any) -> ForwardModel:  # 50 layers, 0.6-2.8 um at R = 1000
        return ForwardModel("transmission", layers=50, resolution=1000.0, wn_min=1e4 / 2.8,
                            wn_max=1e4 / 0.6, **choices)

    def spectrum(m: ForwardModel) -> Callable[[], Any]:
        return lambda: m.spectrum(isothermal=1200.0)

    models = {
        "Na and K only": model(rayleigh=False),
        f"{len(MOLECULES)} molecules, 2 CIA, Rayleigh": model(
            molecules={m: XSEC for m in MOLECULES}, cia=PAIRS),
    }
    base, full = models
    t = medians({name: spectrum(m) for name, m in models.items()}, repeats, inner=5)
    tables = models[full]
    print(f"\nforward model, transmission, {len(tables.pressure)} layers x {len(tables.wn)} "
          f"wavenumbers ({1e4 / tables.wn[-1]:.2f}-{1e4 / tables.wn[0]:.2f} um, R = 1000), "
          f"isothermal 1200 K; median of {repeats} x 5 spectrum() calls:")
    for name, value in t.items():
        print(f"  {name:32s} {seconds(value)}")
    print(f"  ratio {t[full] / t[base]:.2f}x (target <= 2x); the {len(MOLECULES)} molecules "
          f"are one H2O table ({os.path.basename(XSEC)}) under {len(MOLECULES)} names")

    stages: dict[str, dict[str, list[float]]] = {name: defaultdict(list) for name in models}
    inside: dict[str, list[float]] = defaultdict(list)
    for name, m in models.items():
        m(isothermal=1200.0)  # warm up
    for _ in range(repeats):
        for name, m in models.items():
            with OpacityClock(m.extinction.tables) as clock:
                res = m(isothermal=1200.0)
            for stage, value in res.times.items():
                stages[name][stage].append(value)
            if name == full:
                for label, value in clock.spent.items():
                    inside[label].append(value)
    print(f"\n  {'stage (median of ' + str(repeats) + ')':28s} {'Na and K only':>14s} "
          f"{'with tables':>14s} {'difference':>12s}")
    for stage in tables.stages:
        a = statistics.median(stages[base][stage])
        b = statistics.median(stages[full][stage])
        print(f"  {stage:28s} {seconds(a):>14s} {seconds(b):>14s} {seconds(b - a):>12s}")
    total = statistics.median([sum(v) for v in zip(*stages[full].values())])
    for label in ("terms", "table_extinction"):
        value = statistics.median(inside[label])
        print(f"    of the extinction: {label:20s} {seconds(value):>14s} "
              f"({100 * value / total:.0f} % of the evaluation)")


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, few repeats")
    args = parser.parse_args(argv)
    rng = np.random.default_rng(5)
    species = 5
    print(f"numpy {np.__version__}, python {sys.version.split()[0]}, {os.cpu_count()} cores, "
          f"vector path {_opacity._simd}")
    if args.quick:
        bench_kernel(rng, 20, 2000, species, 3)
        bench_terms(rng, species, 700, 3)
    else:
        bench_kernel(rng, 100, 10**4, species, 11)
        bench_kernel(rng, 100, 10**5, species, 5)
        bench_terms(rng, species, 700, 11)
    header = ("case", "exokern", "numpy", "x faster", "bound", "x bound", "note")
    widths = [max(len(str(r[i])) for r in ROWS + [header]) for i in range(len(header))]
    print(" | ".join(h.ljust(w) for h, w in zip(header, widths)))
    print("-|-".join("-" * w for w in widths))
    for r in ROWS:
        print(" | ".join(str(c).ljust(w) for c, w in zip(r, widths)))
    print("targets: the kernel <= 1.5x the bound, >= 3x faster than numpy")
    bench_forward(3 if args.quick else 11)
    return 1 if any("DISAGREE" in r[-1] for r in ROWS) else 0


if __name__ == "__main__":
    raise SystemExit(main())
