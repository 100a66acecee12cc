"""exokern's exponential (the one every kernel takes): the C library's bits where the C
library runs the same algorithm (glibc on a CPU with FMA), on every input range, on the
vector path in use (the CI runs the suite once per path through EXOKERN_SIMD)."""

import math
import os
import platform
import subprocess
import sys

import numpy as np
import pytest

import exokern
from exokern import _quadra

GLIBC_FMA = (sys.platform.startswith("linux") and platform.libc_ver()[0] == "glibc"
             and "avx2" in exokern.simd_paths())
needs_glibc = pytest.mark.skipif(not GLIBC_FMA, reason="the C library's exp is another one here")


def c_exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def inputs(rng):
    """A few million arguments over every range: the main path, the neighbourhoods of every
    boundary (2^-54, 512, 1024, the overflow and subnormal thresholds), integers and 1/1024
    steps, intensity-like -tau/mu, and random bit patterns (NaNs, infinities, subnormals)."""
    edges = [0.0, 2.0**-54, 512.0, 1024.0, 709.782712893384, -708.3964185322641,
             -745.1332191019411, -745.1332191019412, 1.0, 0.5 * math.log(2) / 128]
    near = [np.nextafter(np.float64(e) * s, np.inf * d) for e in edges for s in (1, -1)
            for d in (1, -1)]
    sweep = [np.float64(e) * s + np.arange(-2000, 2001) * max(abs(e), 2.0**-60) * 2.0**-45
             for e in edges for s in (1, -1)]
    parts = [
        rng.uniform(-750.0, 10.0, 1_500_000),
        rng.uniform(-1.0, 1.0, 300_000),
        -rng.uniform(0.0, 1e3, 300_000) / rng.uniform(0.01, 1.0, 300_000),
        rng.uniform(-1100.0, 1100.0, 300_000),
        np.arange(-1100.0, 1100.0, 1.0 / 1024),
        rng.integers(0, 2**64, 500_000, dtype=np.uint64).view(np.float64),
        np.array(near), *sweep,
        np.array([math.inf, -math.inf, math.nan, -math.nan, 5e-324, -5e-324, 2.0**-1022,
                  math.ulp(0.0), 1e-300, -1e-300, 88.72283905206835, -87.33654475055310]),
    ]
    return np.concatenate(parts)


@needs_glibc
def test_bit_for_bit_with_the_c_library(rng):
    x = inputs(rng)
    got = _quadra._exp(x)
    want = np.array([c_exp(v) for v in x.tolist()])
    same = (got.view(np.int64) == want.view(np.int64)) | (np.isnan(got) & np.isnan(want))
    bad = np.flatnonzero(~same)
    assert bad.size == 0, [(float(x[i]).hex(), float(got[i]).hex(), float(want[i]).hex())
                           for i in bad[:5]]


@pytest.mark.parametrize("x, want", [
    (0.0, 1.0), (-0.0, 1.0), (1.0, math.e), (-math.inf, 0.0), (math.inf, math.inf),
    (710.0, math.inf), (-746.0, 0.0), (-745.0, 5e-324), (2.0**-60, 1.0),
])
def test_closed_values(x, want):
    got = _quadra._exp(np.array([x]))[0]
    assert got == want and math.copysign(1.0, got) == 1.0
    assert math.isnan(_quadra._exp(np.array([math.nan]))[0])


def test_every_lane_and_layout_agrees(rng):
    # Lanes on the main path next to lanes that are not, at every offset of a vector.
    x = rng.uniform(-700.0, 5.0, 4099)
    x[::7] = 0.0
    x[3::11] = -720.0
    x[5::13] = np.nan
    whole = _quadra._exp(x)
    for start in range(9):
        assert np.array_equal(_quadra._exp(x[start:]), whole[start:], equal_nan=True)
    assert np.array_equal(_quadra._exp(x[::3]), whole[::3], equal_nan=True)
    assert np.array_equal(_quadra._exp(x[::-1]), whole[::-1], equal_nan=True)


def run_path(path, code):
    env = dict(os.environ, EXOKERN_SIMD=path)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=120)


@pytest.mark.parametrize("path", exokern.simd_paths())
def test_a_path_can_be_forced(path):
    proc = run_path(path, "import exokern; print(exokern.simd())")
    assert proc.returncode == 0 and proc.stdout.strip() == path, proc.stderr


def test_bad_or_unavailable_paths():
    proc = run_path("avx3", "import exokern._quadra")
    assert proc.returncode != 0
    assert "EXOKERN_SIMD must be auto, scalar, avx2 or avx512, got 'avx3'" in proc.stderr
    missing = [p for p in ("avx2", "avx512") if p not in exokern.simd_paths()]
    for path in missing:
        proc = run_path(path, "import exokern; print(exokern.simd())")
        assert proc.returncode == 0 and "cannot run that path" in proc.stderr


@pytest.fixture
def every_path():
    """Yields a function that runs a call on every path of a module and checks the results
    equal; the module's path is put back after."""
    def run(module, call):
        before = module._simd
        try:
            results = {}
            for path in exokern.simd_paths():
                module._set_simd(path)
                results[path] = call()
        finally:
            module._set_simd(before)
        first = results[exokern.simd_paths()[0]]
        for path, res in results.items():
            assert np.array_equal(res, first, equal_nan=True), path
        return first
    return run


def test_intensity_is_the_same_on_every_path(rng, every_path):
    # Columns with spread bottoms (lanes that stop at different layers), each regime of
    # ideep - rtop, angles not a multiple of four, exponents beyond 512 and a zero top row.
    nlay, ncol = 60, 1037
    tau = np.cumsum(rng.uniform(0.0, 30.0, (nlay, ncol)), axis=0)
    tau[0] = 0.0
    planck = rng.uniform(0.5, 2.0, (nlay, ncol))
    ideep = rng.integers(0, nlay, ncol).astype(np.intc)
    ideep[100:300] = rng.integers(40, 45, 200)  # neighbours alike: whole groups stop together
    for mu in (np.array([1.0, 0.7, 0.31, 0.05, 0.013, 0.9, 0.5]), np.array([0.3])):
        every_path(_quadra, lambda: _quadra.intensity(tau, ideep, planck, mu, 3))


@pytest.mark.parametrize("step", [0.01, 0.3, 3.0])
def test_alkali_wings_are_the_same_on_every_path(rng, every_path, step):
    # Windows wider and narrower than the lanes, lines at and off the grid's ends.
    from exokern import _alkali
    wn = 16900.0 + step * np.arange(4001)
    wn0 = np.array([16900.0, 16956.17, 16973.37, 16900.0 + step * 4000 + 5.0])
    layers = 7
    press = np.logspace(2, 8, layers)
    temp = np.linspace(600.0, 2600.0, layers)
    wingamp = rng.uniform(1e-4, 1e-2, (layers, len(wn0)))
    oscstr = np.array([0.3, 0.64, 0.32, 0.5])
    dwn = np.full(len(wn0), step)
    icenter = np.clip(np.searchsorted(wn, wn0), 0, len(wn) - 1).astype(np.intc)

    def call():
        ext = np.zeros((layers, len(wn)))
        _alkali.alkali_cross_section(press, wn, temp, wingamp, ext, 30.0, 23.0, 0.1, 0.7312,
                                     25.0 * (1 + step), wn0, oscstr, dwn, icenter)
        return ext

    ext = every_path(_alkali, call)
    assert (ext > 0).sum() > 100


def test_switching_paths_under_a_running_kernel(rng):
    # Another thread switches the path while calls run with the lock released: every call
    # still gives the same bits (any path it lands on is one the CPU runs).
    import threading
    tau = np.cumsum(rng.uniform(0.0, 1.0, (80, 20000)), axis=0)
    planck = rng.uniform(0.5, 2.0, (80, 20000))
    ideep = rng.integers(0, 80, 20000).astype(np.intc)
    mu = np.array([1.0, 0.5, 0.2])
    want = _quadra.intensity(tau, ideep, planck, mu, 0)
    before, stop = _quadra._simd, threading.Event()

    def switch():
        while not stop.is_set():
            for path in exokern.simd_paths():
                _quadra._set_simd(path)

    t = threading.Thread(target=switch)
    t.start()
    try:
        for _ in range(20):
            assert np.array_equal(_quadra.intensity(tau, ideep, planck, mu, 0), want)
    finally:
        stop.set()
        t.join()
        _quadra._set_simd(before)
