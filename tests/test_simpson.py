"""exokern._simpson: interval differentials (geth) and the Simpson integrators."""

import ctypes
import sys

import numpy as np
import pytest
import scipy.integrate

from exokern import _simpson
from helpers import assert_rejects, layouts1, layouts2, native

F64 = np.float64


# Python references of the stated arithmetic: Python floats are IEEE doubles, no FMA.
def ref_geth(h):
    n = len(h)
    s = n % 2
    out = ([], [], [])
    for j in range(n // 2):
        a, b = float(h[s + 2 * j]), float(h[s + 2 * j + 1])
        w = a + b
        out[0].append(w)
        out[1].append(a / b)
        out[2].append((w * w) / (a * b))
    return [np.array(v, dtype=F64) for v in out]


def ref_sum(y, hsum, hratio, hfactor, n):
    if n <= 2:
        return 0.0
    total = 0.0
    for j in range((n - 1) // 2):
        r = float(hratio[j])
        t = (2.0 - 1.0 / r) * float(y[2 * j])
        t = t + float(hfactor[j]) * float(y[2 * j + 1])
        t = t + (2.0 - r) * float(y[2 * j + 2])
        total = total + float(hsum[j]) * t
    return total * (1.0 / 6.0)


def ref_simps(y, h, d, n):
    if n < 2:
        return 0.0
    if n == 2:
        return 0.5 * float(h[0]) * (float(y[0]) + float(y[1]))
    res = ref_sum(y, *d, n)
    if n % 2 == 0:
        res = res + float(h[n - 2]) * 0.5 * (float(y[n - 2]) + float(y[n - 1]))
    return res


def grid(rng, n_intervals):
    return rng.uniform(0.2, 2.0, n_intervals)


def even_geth(h):
    """Differentials whose entry j describes intervals 2j and 2j+1 (an even count of h)."""
    return _simpson.geth(h[: len(h) - len(h) % 2])


def bits(a):
    return np.asarray(a, dtype=F64).view(np.uint64)


# ---- geth -------------------------------------------------------------------------------------

@pytest.mark.parametrize("h, expect", [
    ([1.0, 2.0, 3.0, 4.0], ([3.0, 7.0], [0.5, 0.75], [4.5, 49 / 12])),
    ([1.0, 2.0, 3.0], ([5.0], [2 / 3], [25 / 6])),
    ([1.0, 1.0, 1.0, 1.0], ([2.0, 2.0], [1.0, 1.0], [4.0, 4.0])),
    ([5.0], ([], [], [])),
])
def test_geth_cases(h, expect):
    got = _simpson.geth(np.array(h))
    assert type(got) is list and len(got) == 3
    # New arrays owned by the list alone, as an array made in Python and put in a list.
    control = [np.empty(1)]
    assert [sys.getrefcount(got[k]) for k in range(3)] == [sys.getrefcount(control[0])] * 3
    for arr, want in zip(got, expect):
        assert arr.dtype == F64 and arr.ndim == 1 and arr.flags.owndata
        assert np.array_equal(arr, np.array(want, dtype=F64))


def test_geth_empty_gives_ints():
    got = _simpson.geth(np.empty(0))
    assert type(got) is list and got == [0, 0, 0]
    assert all(type(v) is int for v in got)


@pytest.mark.parametrize("n", [2, 7, 10, 33])
def test_geth_layouts_match_reference(rng, n):
    h = grid(rng, n)
    want = ref_geth(h)
    for name, view in layouts1(h):
        got = _simpson.geth(view)
        for g, w in zip(got, want):
            assert np.array_equal(bits(g), bits(w)), name


def test_geth_ieee_values():
    with np.errstate(all="ignore"):
        hsum, hratio, hfactor = _simpson.geth(np.array([1.0, 0.0, 0.0, 2.0]))
    assert hsum.tolist() == [1.0, 2.0]
    assert hratio[0] == np.inf and hratio[1] == 0.0
    assert hfactor.tolist() == [np.inf, np.inf]


# ---- simps ------------------------------------------------------------------------------------

E = np.empty(0)


@pytest.mark.parametrize("y, h, d, expect", [
    ([], [], (E, E, E), 0.0),
    ([7.0], [], (E, E, E), 0.0),
    ([1.0, 3.0], [2.0], (E, E, E), 4.0),
    ([0.0, 1, 4, 9, 16], [1.0] * 4, ([2.0, 2], [1.0, 1], [4.0, 4]), 64 / 3),
    ([0.0, 1, 4, 9], [1.0] * 3, ([2.0], [1.0], [4.0]), 16.0 * (1.0 / 6.0) + 6.5),
    ([0.0, 1, 9], [1.0, 2.0], ([3.0], [0.5], [4.5]), 9.0),
    ([0.0, 1, 9], [], ([3.0], [0.5], [4.5]), 9.0),  # odd count: h is not read
])
def test_simps_cases(y, h, d, expect):
    got = _simpson.simps(np.array(y, dtype=F64), np.array(h, dtype=F64),
                         *(np.array(v, dtype=F64) for v in d))
    assert type(got) is float and got == expect


@pytest.mark.parametrize("n", [3, 4, 9, 10, 41])
def test_simps_layouts_match_reference(rng, n):
    h = grid(rng, n - 1)
    y = rng.standard_normal(n)
    d = even_geth(h)
    want = ref_simps(y, h, d, n)
    for (_, yv), (_, hv), (_, sv), (_, rv), (_, fv) in zip(
            layouts1(y), layouts1(h), *(layouts1(v) for v in d)):
        assert _simpson.simps(yv, hv, sv, rv, fv) == want


@pytest.mark.parametrize("n", [3, 5, 11, 31])
@pytest.mark.parametrize("degree", [0, 1, 2])
def test_simps_exact_for_quadratics_on_irregular_grid(rng, n, degree):
    x = np.concatenate([[0.0], np.cumsum(grid(rng, n - 1))])
    c = rng.uniform(0.5, 2.0, degree + 1)
    y = sum(ck * x**k for k, ck in enumerate(c))
    exact = sum(ck * x[-1] ** (k + 1) / (k + 1) for k, ck in enumerate(c))
    got = _simpson.simps(y, np.diff(x), *_simpson.geth(np.diff(x)))
    assert got == pytest.approx(exact, rel=1e-13)


@pytest.mark.parametrize("n", [3, 7, 21])
def test_simps_exact_for_cubics_on_uniform_grid(rng, n):
    w = 0.37
    x = w * np.arange(n)
    c = rng.uniform(-2.0, 2.0, 4)
    y = c[0] + c[1] * x + c[2] * x**2 + c[3] * x**3
    b = x[-1]
    exact = c[0] * b + c[1] * b**2 / 2 + c[2] * b**3 / 3 + c[3] * b**4 / 4
    h = np.full(n - 1, w)
    assert _simpson.simps(y, h, *_simpson.geth(h)) == pytest.approx(exact, rel=1e-13, abs=1e-13)


@pytest.mark.parametrize("n", [5, 15, 101])
def test_simps_agrees_with_scipy_for_odd_counts(rng, n):
    x = np.concatenate([[0.0], np.cumsum(grid(rng, n - 1))])
    y = np.sin(x) + 0.3 * x
    h = np.diff(x)
    want = scipy.integrate.simpson(y, x=x)
    assert _simpson.simps(y, h, *_simpson.geth(h)) == pytest.approx(want, rel=1e-12, abs=1e-13)


def test_simps_nonfinite_propagates():
    h = np.ones(4)
    d = _simpson.geth(h)
    y = np.array([0.0, 1.0, np.nan, 1.0, 0.0])
    assert np.isnan(_simpson.simps(y, h, *d))
    d[1][0] = 0.0  # hratio 0: 1/r is infinite
    with np.errstate(all="ignore"):
        assert not np.isfinite(_simpson.simps(np.ones(5), h, *d))


# ---- simps2D ----------------------------------------------------------------------------------

def test_simps2D_case():
    y = np.array([[0.0, 1], [1, 1], [4, 1], [9, 1], [np.nan, np.nan]])
    got = _simpson.simps2D(y, np.ones(3), np.array([3, 2], dtype=np.intc),
                           np.array([2.0]), np.array([1.0]), np.array([4.0]))
    assert got.dtype == F64 and got.tolist() == [8 / 3, 1.0]


def test_simps2D_no_columns():
    got = _simpson.simps2D(np.empty((4, 0)), np.ones(3), np.empty(0, np.intc), E, E, E)
    assert got.dtype == F64 and got.shape == (0,)


def simps2D_case(rng, rows, cols, nonfinite_tail=True, low=-1):
    """Random y with per-column counts in [low, rows]; samples beyond each count are non-finite
    where `nonfinite_tail`, so that reading them would show."""
    h = grid(rng, rows + rows % 2)  # an even count, covering every column
    y = rng.standard_normal((rows, cols))
    nint = rng.integers(min(low, rows), rows + 1, cols).astype(np.intc)
    nint[: cols // 3] = rows  # whole blocks of equal counts, as usual in practice
    if nonfinite_tail:
        for i, n in enumerate(nint):
            y[max(n, 0):, i] = [np.inf, np.nan][i % 2]
    return y, h, nint, _simpson.geth(h)


@pytest.mark.parametrize("low", [-1, 3])  # with 3, every column has a pair
@pytest.mark.parametrize("rows, cols", [(1, 3), (2, 5), (7, 9), (12, 600), (25, 1100)])
def test_simps2D_layouts_match_reference(rng, rows, cols, low):
    y, h, nint, d = simps2D_case(rng, rows, cols, low=low)
    want = np.array([ref_simps(y[:, i], h, d, n) for i, n in enumerate(nint)])
    assert np.all(np.isfinite(want))
    for name, yv in layouts2(y):
        for _, hv in layouts1(h)[1:]:
            got = _simpson.simps2D(yv, hv, nint, *d)
            assert np.array_equal(bits(got), bits(want)), name


def test_simps2D_columns_equal_simps(rng):
    y, h, nint, d = simps2D_case(rng, 16, 40, nonfinite_tail=False)
    got = _simpson.simps2D(y, h, nint, *d)
    for i, n in enumerate(nint):
        assert got[i] == _simpson.simps(y[: max(n, 0), i].copy(), h, *d)


def test_simps2D_nonfinite_inside_count(rng):
    y, h, nint, d = simps2D_case(rng, 9, 700, nonfinite_tail=False)
    nint[:] = 9
    y[4, ::3] = np.nan
    got = _simpson.simps2D(y, h, nint, *d)
    assert np.isnan(got[::3]).all() and np.isfinite(got[1::3]).all()


def test_simps2D_counts_of_differentials_from_all_odd(rng):
    """Odd counts read no h at all, and only as many differentials as the longest needs."""
    y = rng.standard_normal((9, 4))
    d = even_geth(grid(rng, 8))
    nint = np.array([9, 3, 1, 7], dtype=np.intc)
    got = _simpson.simps2D(y, E, nint, *d)
    assert got.tolist() == [ref_simps(y[:, i], E, d, n) for i, n in enumerate(nint)]


# ---- exported kernels -------------------------------------------------------------------------

@pytest.fixture(scope="module")
def lib():
    so = native(_simpson)
    obj = ctypes.py_object
    so.simpson.argtypes = [obj, obj, obj, obj, ctypes.c_int]
    so.simpson.restype = ctypes.c_double
    so.simpson2.argtypes = [obj, obj, obj, obj, ctypes.c_int, ctypes.c_int]
    so.simpson2.restype = ctypes.c_double
    return so


@pytest.mark.parametrize("n", [-1, 0, 1, 2, 3, 4, 11, 12])
def test_native_simpson(lib, rng, n):
    y = rng.standard_normal(14)
    d = even_geth(grid(rng, 13))
    for (_, yv), (_, sv) in zip(layouts1(y), layouts1(d[0])):
        assert lib.simpson(yv, sv, d[1], d[2], n) == ref_sum(y, *d, n)
    if n >= 3 and n % 2:
        assert lib.simpson(y[:n].copy(), *d, n) == _simpson.simps(y[:n].copy(), E, *d)


def test_native_simpson2(lib, rng):
    y, h, nint, d = simps2D_case(rng, 11, 6, nonfinite_tail=False)
    integ = _simpson.simps2D(y, h, nint, *d)
    for _, yv in layouts2(y):
        for i, n in enumerate(nint):
            got = lib.simpson2(yv, *d, int(n), i)
            assert got == ref_sum(y[:, i], *d, n)
            if n >= 3 and n % 2:
                assert got == integ[i]


# ---- bad input --------------------------------------------------------------------------------

def _bad_cases():
    d1 = [np.ones(2)] * 3
    ok_s = [np.ones(5), np.ones(4)] + d1
    nint = np.array([5, 4], dtype=np.intc)
    ok_2 = [np.ones((5, 2)), np.ones(4), nint] + d1
    g, s, s2 = _simpson.geth, _simpson.simps, _simpson.simps2D

    def swap(args, k, v):
        return args[:k] + [v] + args[k + 1:]

    cases = [
        (g, [[1.0, 2.0]], TypeError, "geth: h must be a numpy.ndarray"),
        (g, [np.ones(2, np.float32)], TypeError, "geth: h must have dtype float64"),
        (g, [np.ones((2, 2))], ValueError, "geth: h must be 1-dimensional"),
        (g, [], TypeError, "geth"),
        (s, ok_s[:4], TypeError, "simps"),
        (s, swap(ok_s, 0, np.ones((5, 1))), ValueError, "simps: y must be 1-dimensional"),
        (s, swap(ok_s, 1, np.ones(4, np.int32)), TypeError, "simps: h must have dtype float64"),
        (s, swap(ok_s, 4, None), TypeError, "simps: hfactor must be a numpy.ndarray"),
        (s, swap(swap(ok_s, 0, np.ones(6)), 1, np.ones(4)), ValueError,
         r"simps: h must have at least 5 elements .*, got 4"),
        (s, [np.ones(2), E] + d1, ValueError, r"simps: h must have at least 1 elements"),
        (s, swap(ok_s, 0, np.ones(7)), ValueError, r"simps: hsum must have at least 3 .*got 2"),
        (s, swap(ok_s, 3, np.ones(1)), ValueError, r"simps: hratio must have at least 2"),
        (s, swap(ok_s, 4, np.ones(1)), ValueError, r"simps: hfactor must have at least 2"),
        (s2, swap(ok_2, 0, np.ones(5)), ValueError, "simps2D: y must be 2-dimensional"),
        (s2, swap(ok_2, 2, nint.astype(np.int64)), TypeError,
         r"simps2D: nint must have dtype int32 \(numpy.intc\), got int64"),
        (s2, swap(ok_2, 2, nint.astype(F64)), TypeError, "simps2D: nint must have dtype int32"),
        (s2, swap(ok_2, 2, nint[:1]), ValueError,
         r"simps2D: nint must have at least 2 elements \(one per column of y\), got 1"),
        (s2, swap(ok_2, 2, np.array([5, 6], np.intc)), ValueError,
         r"simps2D: nint\[1\] = 6 exceeds the 5 rows of y"),
        (s2, swap(ok_2, 1, np.ones(2)), ValueError,
         r"simps2D: nint\[1\] = 4 needs 3 elements of h, got 2"),
        (s2, swap(swap(ok_2, 1, E), 2, np.array([3, 2], np.intc)), ValueError,
         r"simps2D: nint\[1\] = 2 needs 1 elements of h, got 0"),
        (s2, swap(ok_2, 3, np.ones(1)), ValueError,
         r"simps2D: nint\[0\] = 5 needs 2 elements of hsum, got 1"),
        (s2, swap(ok_2, 4, np.ones(1)), ValueError, r"needs 2 elements of hratio, got 1"),
        (s2, swap(ok_2, 5, np.ones(1)), ValueError, r"needs 2 elements of hfactor, got 1"),
        (s2, swap(ok_2, 5, [1.0, 1.0]), TypeError, "simps2D: hfactor must be a numpy.ndarray"),
    ]
    return [pytest.param(*c, id=f"{c[0].__name__}-{k}") for k, c in enumerate(cases)]


@pytest.mark.parametrize("func, args, exc, match", _bad_cases())
def test_bad_input(func, args, exc, match):
    assert_rejects(func, args, exc, match)

