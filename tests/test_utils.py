"""The native array utilities exported by _quadra and _alkali: nearest-sample searches, int32
scans and row resampling, called through ctypes on both shared libraries."""

import ctypes
import importlib
import math
import pathlib

import numpy as np
import pytest

import exokern
from helpers import layouts1, layouts2, native

INTC = np.intc
DP = ctypes.POINTER(ctypes.c_double)
OBJ, INT, DBL = ctypes.py_object, ctypes.c_int, ctypes.c_double

SIGNATURES = {
    "pyramidsearch": ([OBJ, INT, INT, DBL], INT),
    "binsearchapprox": ([OBJ, INT, INT, DBL], INT),
    "valueinarray": ([OBJ, INT, INT], INT),
    "imax": ([OBJ], INT),
    "resample": ([ctypes.POINTER(DP), OBJ, INT, INT, INT], INT),
    "linterp": ([ctypes.POINTER(DP), OBJ, OBJ, INT, DBL, DBL], INT),
    "downsample": ([ctypes.POINTER(DP), OBJ, INT, INT, INT], INT),
}


class Lib:
    """The exported functions of one module's library, with their C signatures."""

    def __init__(self, module):
        dll = native(importlib.import_module(f"exokern.{module}"))
        for name, (argtypes, restype) in SIGNATURES.items():
            func = getattr(dll, name)
            func.argtypes, func.restype = argtypes, restype
            setattr(self, name, func)


@pytest.fixture(scope="module", params=["_quadra", "_alkali"])
def lib(request):
    return Lib(request.param)


def row_table(y, row, nrows=3):
    """A C table of nrows row pointers whose entry `row` points at y; the others are NULL, so
    reading any entry but the requested one would crash."""
    table = (DP * nrows)()
    table[row] = y.ctypes.data_as(DP)
    return table


# ---- nearest-sample searches ---------------------------------------------------------------

BOTH = ["pyramidsearch", "binsearchapprox"]


@pytest.mark.parametrize("value, pyramid, bisect", [
    (1.5, 1, 1), (1.4, 1, 1), (1.6, 2, 2), (2.0, 2, 2), (-5.0, 0, 0), (10.0, 3, 3),
    (math.nan, 3, 3), (0.0, 0, 0), (3.0, 3, 3), (-math.inf, 0, 0),
    # +inf is infinitely far from 2 and from 3 alike: the bisection's tie goes to the lower
    # index, while the gallop returns hi at once because +inf <= a[hi] fails.
    (math.inf, 3, 2),
])
def test_search_cases(lib, value, pyramid, bisect):
    for _, a in layouts1(np.arange(4.0)):
        assert lib.pyramidsearch(a, 0, 3, value) == pyramid
        assert lib.binsearchapprox(a, 0, 3, value) == bisect


@pytest.mark.parametrize("search", BOTH)
@pytest.mark.parametrize("lo, value", [(0, -1.0), (2, 2.0), (2, 9.0), (3, math.nan)])
def test_search_lo_equal_hi_returns_lo(lib, search, lo, value):
    assert getattr(lib, search)(np.arange(5.0), lo, lo, value) == lo


def test_search_runs_of_equal_samples(lib):
    a = np.array([0.0, 1, 1, 1, 2])
    for _, v in layouts1(a):
        assert lib.pyramidsearch(v, 0, 4, 1.0) == 1  # first of the run
        assert lib.binsearchapprox(v, 0, 4, 1.0) == 3  # last of the run
    # A run that ends at hi: the tie rule sends binsearchapprox to hi - 1.
    b = np.array([0.0, 1, 2, 2])
    assert lib.binsearchapprox(b, 0, 3, 2.0) == 2
    assert lib.pyramidsearch(b, 0, 3, 2.0) == 2


def test_search_sub_range_only(lib):
    # Samples outside [lo, hi] are not looked at, even when they are nearer.
    a = np.array([5.0, 0.0, 10.0, 20.0, 30.0, -7.0])
    for search in BOTH:
        assert getattr(lib, search)(a, 1, 4, 4.0) == 1
        assert getattr(lib, search)(a, 1, 4, 26.0) == 4
        assert getattr(lib, search)(a, 2, 3, 0.0) == 2


def brute_nearest(a, lo, hi, v):
    """First index of [lo, hi] with the smallest |a[j] - v| (NaN: hi)."""
    if math.isnan(v):
        return hi
    d = [abs(a[j] - v) for j in range(lo, hi + 1)]
    return lo + d.index(min(d))


def test_searches_agree_with_brute_force(lib, rng):
    # Strictly increasing samples on a dyadic grid with dyadic values: every distance is exact,
    # so the tie rule (equal distances go to the lower index) is what is tested at midpoints.
    for _ in range(60):
        n = int(rng.integers(1, 70))
        a = np.sort(rng.choice(np.arange(-200, 200), size=n, replace=False)) * 0.25
        lo = int(rng.integers(0, n))
        hi = int(rng.integers(lo, n))
        values = np.concatenate([rng.integers(-900, 900, size=12) * 0.125,
                                 [a[lo], a[hi], a[lo] - 1, a[hi] + 1, math.nan]])
        for _, view in layouts1(a):
            for v in values:
                expected = brute_nearest(a, lo, hi, v)
                assert lib.pyramidsearch(view, lo, hi, v) == expected, (a, lo, hi, v)
                assert lib.binsearchapprox(view, lo, hi, v) == expected, (a, lo, hi, v)


def test_pyramidsearch_far_answers(lib):
    # Gallops far past lo (steps of 2**k capped at hi) and still finds the exact sample.
    a = np.arange(100_000.0)
    for v in [1.0, 2.0, 3.0, 4.5, 65_535.0, 65_536.0, 65_537.2, 99_998.5, 99_999.0]:
        expected = brute_nearest(a, 0, len(a) - 1, v)
        assert lib.pyramidsearch(a, 0, len(a) - 1, v) == expected
        assert lib.binsearchapprox(a, 0, len(a) - 1, v) == expected


# ---- int32 scans -----------------------------------------------------------------------------

@pytest.mark.parametrize("values, value, n, expected", [
    ([7, 3, 3], 3, 3, 1), ([7, 3, 3], 5, 3, -1), ([7, 3, 3], 3, 1, -1), ([7, 3, 3], 7, 0, -1),
    ([7, 3, 3], 7, -4, -1), ([-2, 0, -2], -2, 3, 0), ([1, 2, 2**31 - 1], 2**31 - 1, 3, 2),
])
def test_valueinarray_cases(lib, values, value, n, expected):
    for _, a in layouts1(np.array(values, dtype=INTC)):
        assert lib.valueinarray(a, value, n) == expected


def test_valueinarray_reads_nothing_for_no_count(lib):
    empty = np.zeros(0, dtype=INTC)
    assert lib.valueinarray(empty, 0, 0) == -1


@pytest.mark.parametrize("values, expected", [
    ([2, 9, 9, -4], 1), ([-3, -7], 0), ([], 0), ([5], 0), ([-2**31, 2**31 - 1, 2**31 - 1], 1),
])
def test_imax_cases(lib, values, expected):
    for _, a in layouts1(np.array(values, dtype=INTC)):
        assert lib.imax(a) == expected


def test_int_scans_against_numpy(lib, rng):
    for _ in range(40):
        a = rng.integers(-5, 6, size=int(rng.integers(1, 40))).astype(INTC)
        v = int(rng.integers(-6, 7))
        n = int(rng.integers(0, len(a) + 1))
        hits = np.flatnonzero(a[:n] == v)
        for _, view in layouts1(a):
            assert lib.imax(view) == int(np.argmax(a))
            assert lib.valueinarray(view, v, n) == (int(hits[0]) if len(hits) else -1)


# ---- resampling ----------------------------------------------------------------------------

@pytest.mark.parametrize("n, step, taken", [
    (10, 3, [0, 3, 6, 9]), (11, 3, [0, 3, 6, 9]), (1, 3, [0]), (1, 1, [0]),
    (12, 1, list(range(12))), (12, 20, [0]),
])
def test_resample_copies_every_step_th_sample(lib, n, step, taken):
    y = np.arange(100.0, 112.0)
    for _, out in layouts2(np.full((3, 14), -1.0)):
        assert lib.resample(row_table(y, 1), out, n, step, 1) == 0
        expected = np.full((3, 14), -1.0)
        expected[1, :len(taken)] = y[taken]
        assert np.array_equal(out, expected)


def test_resample_overwrites(lib, rng):
    y = rng.normal(size=9)
    out = rng.normal(size=(1, 5))
    lib.resample(row_table(y, 0, 1), out, 9, 2, 0)
    assert np.array_equal(out[0], y[::2])


@pytest.mark.parametrize("n, step", [(0, 1), (0, 2), (-3, 1), (5, 0), (5, -2)])
def test_resample_outside_its_domain_writes_nothing(lib, n, step):
    y = np.arange(5.0)
    out = np.full((1, 6), 7.0)
    assert lib.resample(row_table(y, 0, 1), out, n, step, 0) == 0
    assert np.all(out == 7.0)


def ref_linterp(y, x, x0, dx):
    """The interpolation written out with Python floats: weights formed as stated, times 1/dx."""
    r = 1.0 / dx
    res = []
    for p in x:
        t = (p - x0) * r
        j = int(t)  # truncates toward zero
        xj = x0 + float(j) * dx
        res.append((((dx - p) + xj) * y[j] + (p - xj) * y[j + 1]) * r)
    return np.array(res)


def test_linterp_exact_order_and_against_numpy(lib, rng):
    for _ in range(20):
        size = int(rng.integers(2, 40))
        y = rng.normal(size=size)
        x0, dx = float(rng.uniform(-10, 10)), float(rng.uniform(0.1, 3))
        x = rng.uniform(x0, x0 + (size - 1) * dx, size=int(rng.integers(1, 30)))
        # In the domain is what the computed index says, not the position's bound.
        x = x[np.trunc((x - x0) * (1.0 / dx)) <= size - 2]
        if x.size == 0:
            continue
        grid = x0 + np.arange(size) * dx
        expected = ref_linterp(y, x, x0, dx)
        for _, xv in layouts1(x):
            for _, out in layouts2(np.zeros((2, len(x)))):
                lib.linterp(row_table(y, 1, 2), out, xv, 1, x0, dx)
                assert np.array_equal(out[1], expected)
                assert np.all(out[0] == 0.0)
        assert np.allclose(expected, np.interp(x, grid, y), rtol=1e-12, atol=1e-12)


def test_linterp_domain_is_the_computed_index(lib):
    # 0.3 < 0 + 3 * 0.1, yet (0.3 - 0) * (1 / 0.1) rounds to 3: the interpolation of a row of
    # four samples at 0.3 reads a fifth one (NaN here), as the header warns.
    assert (0.3 - 0.0) * (1.0 / 0.1) == 3.0 and 0.3 < 3 * 0.1
    y = np.array([1.0, 2.0, 3.0, 4.0, np.nan])
    out = np.zeros((1, 2))
    lib.linterp(row_table(y, 0, 1), out, np.array([0.3, np.nextafter(0.3, 0)]), 0, 0.0, 0.1)
    assert np.isnan(out[0, 0]) and out[0, 1] == pytest.approx(4.0, rel=1e-14)
    header = pathlib.Path(exokern.get_include(), "exokern", "exokern.h").read_text()
    assert "j = trunc((x[k] - x0) * (1 / dx))" in header and "j <= L - 2" in header


def test_linterp_on_grid_midway_and_below(lib):
    y = np.array([1.0, 3.0, 7.0, -5.0, 2.0])
    x0, dx = 0.5, 0.1
    grid = x0 + np.arange(5) * dx
    mid = (grid[:-1] + grid[1:]) / 2
    x = np.concatenate([grid[:-1], mid, [x0 - 0.5 * dx]])
    out = np.zeros((1, len(x)))
    lib.linterp(row_table(y, 0, 1), out, x, 0, x0, dx)
    assert np.allclose(out[0, :4], y[:4], rtol=1e-14)
    assert np.allclose(out[0, 4:8], (y[:-1] + y[1:]) / 2, rtol=1e-14)
    # Half a spacing below x0 truncates to j = 0 and extrapolates along y[0], y[1].
    assert out[0, 8] == pytest.approx(y[0] - 0.5 * (y[1] - y[0]), rel=1e-14)


def test_linterp_adds_and_ignores_empty_positions(lib):
    y = np.array([2.0, 4.0, 8.0])
    x = np.array([0.25, 1.5, 1.75])
    out = np.zeros((1, 3))
    table = row_table(y, 0, 1)
    lib.linterp(table, out, x, 0, 0.0, 1.0)
    once = out.copy()
    lib.linterp(table, out, x, 0, 0.0, 1.0)
    assert np.array_equal(out, 2 * once)
    assert np.array_equal(once[0], [2.5, 6.0, 7.0])
    lib.linterp(table, out, np.zeros(0), 0, 0.0, 1.0)
    assert np.array_equal(out, 2 * once)


def test_linterp_constant_row(lib, rng):
    y = np.full(8, 0.3)
    x = rng.uniform(1.0, 1.0 + 7 * 0.2, size=50)
    out = np.zeros((1, 50))
    lib.linterp(row_table(y, 0, 1), out, x, 0, 1.0, 0.2)
    assert np.allclose(out, 0.3, rtol=1e-13)


def downsample_weights(n, f):
    """The kernel table: weights W[i, j] of input j in output i, built from the table of the
    kernels (not from the steps of the method)."""
    h, m = f // 2, (n - 1) // f
    W = np.zeros((m + 1, n))
    if f % 2:
        W[0, :h + 1] = 1 / (h + 1)
        W[m, n - 1 - h:] = 1 / (h + 1)
        for i in range(1, m):
            W[i, i * f - h:i * f + h + 1] = 1 / f
    else:
        W[0, :h] = 2 / (f + 1)
        W[0, h] = 1 / (f + 1)
        W[m, n - h:] = 2 / (f + 1)
        W[m, n - 1 - h] = 1 / (f + 1)
        for i in range(1, m):
            W[i, i * f - h:i * f + h + 1] = 1 / f
            W[i, i * f - h] = W[i, i * f + h] = 1 / (2 * f)
    return W


def test_downsample_against_kernel_weights(lib, rng):
    for f in range(1, 9):
        for n in [f + 1, f + 2, 2 * f, 2 * f + 1, 3 * f + 2, 7 * f, 7 * f + f // 2]:
            y = rng.normal(size=n)
            W = downsample_weights(n, f)
            assert np.allclose(W.sum(axis=1), 1.0)
            for _, out in layouts2(np.zeros((2, len(W) + 1))):
                assert lib.downsample(row_table(y, 1, 2), out, n, f, 1) == 0
                assert np.allclose(out[1, :-1], W @ y, rtol=1e-12, atol=1e-14), (n, f)
                assert out[1, -1] == 0.0 and np.all(out[0] == 0.0)


def test_downsample_factor_one_is_exact(lib, rng):
    y = rng.normal(size=11)
    out = np.zeros((1, 11))
    lib.downsample(row_table(y, 0, 1), out, 11, 1, 0)
    assert np.array_equal(out[0], y)


def test_downsample_small_factors(lib, rng):
    y = rng.normal(size=9)
    out2, out3 = np.zeros((1, 5)), np.zeros((1, 3))
    lib.downsample(row_table(y, 0, 1), out2, 9, 2, 0)
    lib.downsample(row_table(y, 0, 1), out3, 9, 3, 0)
    i = np.arange(1, 4)
    assert np.allclose(out2[0], [(2 * y[0] + y[1]) / 3,
                                 *(y[2 * i] / 2 + (y[2 * i - 1] + y[2 * i + 1]) / 4),
                                 (y[7] + 2 * y[8]) / 3], rtol=1e-13)
    assert np.allclose(out3[0], [(y[0] + y[1]) / 2, (y[2] + y[3] + y[4]) / 3,
                                 (y[7] + y[8]) / 2], rtol=1e-13)


@pytest.mark.parametrize("n, expected", [
    (7, lambda y: [(y[0] + y[1]) / 2, y[2:5].mean(), y[5:7].mean()]),
    (8, lambda y: [(y[0] + y[1]) / 2, y[2:5].mean(), y[6:8].mean()]),  # y[5] is left out
    (4, lambda y: [(y[0] + y[1]) / 2, (y[2] + y[3]) / 2]),  # m = 1: no middle outputs
])
def test_downsample_row_lengths(lib, rng, n, expected):
    y = rng.normal(size=n)
    out = np.zeros((1, 4))
    lib.downsample(row_table(y, 0, 1), out, n, 3, 0)
    want = expected(y)
    assert np.allclose(out[0, :len(want)], want, rtol=1e-13)
    assert np.all(out[0, len(want):] == 0.0)


def test_downsample_adds_and_keeps_constants(lib):
    y = np.full(13, 2.5)
    out = np.zeros((1, 4))
    lib.downsample(row_table(y, 0, 1), out, 13, 4, 0)
    assert np.allclose(out, 2.5, rtol=1e-14)
    lib.downsample(row_table(y, 0, 1), out, 13, 4, 0)
    assert np.allclose(out, 5.0, rtol=1e-14)


@pytest.mark.parametrize("n, f", [(1, 1), (3, 3), (2, 4), (4, 4), (1, 6)])
def test_downsample_short_row_gives_its_mean(lib, rng, n, f):
    # Rows too short for two outputs (n <= f) are reduced to one output, their mean.
    y = rng.normal(size=n)
    out = np.zeros((1, 3))
    lib.downsample(row_table(y, 0, 1), out, n, f, 0)
    assert out[0, 0] == pytest.approx(y.mean(), rel=1e-14)
    assert np.all(out[0, 1:] == 0.0)


@pytest.mark.parametrize("n, f", [(5, 0), (5, -3), (0, 2), (-1, 1)])
def test_downsample_outside_its_domain_writes_nothing(lib, n, f):
    y = np.arange(5.0)
    out = np.full((1, 6), 7.0)
    assert lib.downsample(row_table(y, 0, 1), out, n, f, 0) == 0
    assert np.all(out == 7.0)
