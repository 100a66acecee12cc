"""exokern._quadra: trapezoidal integrators, optical depth and emergent intensity."""

import math
import sys

import numpy as np
import pytest
from scipy import integrate

from exokern import _quadra
from helpers import layouts1, layouts2

INTC = np.intc


# Plain loops in the order of arithmetic the methods promise; math.exp is the C library's exp.
def ref_trapz(y, h, n=None):
    n = len(h) if n is None else n
    if n <= 0:
        return 0.0
    s = 0.0
    for k in range(n):
        s += (y[k] + y[k + 1]) * h[k]
    return 0.5 * s


def ref_optdepth(data, h, taumax, ideep, ilay):
    tau = np.zeros(data.shape[1])
    for i in range(data.shape[1]):
        if ideep[i] >= 0:
            continue
        s = 0.0
        for k in range(len(h)):
            s += (data[k, i] + data[k + 1, i]) * h[k]
        tau[i] = s
        if s > taumax:
            ideep[i] = ilay
    return tau


def ref_intensity(tau, ideep, planck, mu, rtop):
    out = np.empty((len(mu), tau.shape[1]))
    for i in range(tau.shape[1]):
        d = int(ideep[i])
        n = d - rtop
        for j, m in enumerate(mu):
            if n == 1:
                out[j, i] = planck[d, i]
                continue
            s = 0.0
            if n >= 2:
                r = 1.0 / m
                w = [math.exp(-tau[k + 1, i] * r) - math.exp(-tau[k, i] * r) for k in range(rtop, d)]
                for t, k in enumerate(range(rtop, d)):
                    s += (planck[k, i] + planck[k + 1, i]) * w[t]
                s = 0.5 * s
            out[j, i] = planck[d, i] * math.exp(-tau[d, i] / m) - s
    return out


# ---- trapz ---------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "y, h, expected",
    [
        ([], [], 0.0),
        ([7.0], [], 0.0),
        ([1.0, 3.0, 100.0], [2.0], 4.0),  # samples beyond n are ignored
        ([1.0, 2.0, 3.0], [1.0, 1.0], 4.0),
        ([0.0, 1.0, 4.0], [1.0, 2.0], 0.5 * (1.0 + 10.0)),
    ],
)
def test_trapz_cases(y, h, expected):
    assert _quadra.trapz(np.array(y, float), np.array(h, float)) == expected


def test_trapz_matches_order_and_scipy(rng):
    x = np.sort(rng.uniform(0, 10, 301))
    y = np.sin(x) * np.exp(-0.1 * x)
    h = np.diff(x)
    res = _quadra.trapz(y, h)
    assert res == ref_trapz(y, h)
    assert res == pytest.approx(integrate.trapezoid(y, x), rel=1e-13)
    for (_, yv), (_, hv) in zip(layouts1(y), layouts1(h)):
        assert _quadra.trapz(yv, hv) == res


def test_trapz_ieee_values_pass_through():
    with np.errstate(invalid="ignore"):
        assert math.isnan(_quadra.trapz(np.array([1.0, np.nan]), np.array([1.0])))
        assert _quadra.trapz(np.array([1.0, np.inf]), np.array([1.0])) == math.inf
    assert _quadra.trapz(np.array([1.0, 5.0]), np.array([0.0])) == 0.0


# ---- trapz2D -------------------------------------------------------------------------------

def test_trapz2D_example():
    data = np.array([[1.0, 10.0], [3.0, 20.0], [5.0, 40.0]])
    res = _quadra.trapz2D(data, np.array([1.0, 2.0]), np.array([1, 2], INTC))
    assert res.dtype == np.float64 and res.tolist() == [2.0, 75.0]


def test_trapz2D_zero_or_negative_counts_and_no_columns():
    data = np.arange(12.0).reshape(3, 4)
    res = _quadra.trapz2D(data, np.ones(2), np.array([0, -3, 2, 1], INTC))
    assert res[0] == 0.0 and res[1] == 0.0
    assert res[2] == ref_trapz(data[:, 2], np.ones(2)) and res[3] == ref_trapz(data[:, 3], np.ones(1))
    empty = _quadra.trapz2D(np.zeros((5, 0)), np.ones(4), np.zeros(0, INTC))
    assert empty.shape == (0,) and empty.dtype == np.float64


@pytest.mark.parametrize("shape", [(2, 1), (7, 3), (50, 513), (101, 1030)])
def test_trapz2D_every_layout_is_the_sequential_sum(rng, shape):
    rows, cols = shape
    data = rng.normal(size=shape)
    h = rng.uniform(0.1, 2.0, rows - 1)
    nint = rng.integers(-1, rows, cols).astype(INTC)
    expected = np.array([ref_trapz(data[:, i], h, nint[i]) for i in range(cols)])
    for name, view in layouts2(data):
        for hname, hv in layouts1(h):
            res = _quadra.trapz2D(view, hv, nint)
            assert np.array_equal(res, expected), (name, hname)


def test_trapz2D_agrees_with_scipy(rng):
    x = np.sort(rng.uniform(0, 3, 40))
    data = np.cos(np.outer(x, [1.0, 2.0, 3.0]))
    res = _quadra.trapz2D(data, np.diff(x), np.full(3, 39, INTC))
    assert np.allclose(res, integrate.trapezoid(data, x, axis=0), rtol=1e-13, atol=1e-15)


# ---- cumtrapz ------------------------------------------------------------------------------

def test_cumtrapz_stops_at_threshold_and_keeps_the_rest():
    out = np.full(4, -9.0)
    ind = _quadra.cumtrapz(out, np.ones(4), np.ones(3), 2.0)
    assert ind == 2 and out.tolist() == [0.0, 1.0, 2.0, -9.0]


@pytest.mark.parametrize("threshold", [0.5, 1.0, -3.0])
def test_cumtrapz_threshold_at_or_below_first_step(threshold):
    out = np.full(4, 7.0)
    assert _quadra.cumtrapz(out, np.ones(4), np.ones(3), threshold) == 1
    assert out.tolist() == [0.0, 1.0, 7.0, 7.0]


@pytest.mark.parametrize("threshold", [np.inf, np.nan, 1e300])
def test_cumtrapz_never_reached_fills_everything(rng, threshold):
    x = np.sort(rng.uniform(0, 5, 30))
    y = x**2
    out = np.zeros(32)
    assert _quadra.cumtrapz(out, y, np.diff(x), threshold) == 29
    expected = integrate.cumulative_trapezoid(y, x, initial=0.0)
    assert np.allclose(out[:30], expected, rtol=1e-13)
    assert out[0] == 0.0 and np.all(out[30:] == 0.0)


def test_cumtrapz_empty_intervals_writes_only_the_first_element():
    out = np.array([5.0, 6.0])
    assert _quadra.cumtrapz(out, np.zeros(0), np.zeros(0), 1.0) == 0
    assert out.tolist() == [0.0, 6.0]


def test_cumtrapz_is_the_running_sum_in_any_layout(rng):
    y = rng.normal(size=25)
    h = rng.uniform(0, 1, 24)
    expected = [0.0]
    for i in range(24):
        expected.append(expected[-1] + 0.5 * h[i] * (y[i] + y[i + 1]))
    for (_, yv), (_, hv), (_, ov) in zip(layouts1(y), layouts1(h), layouts1(np.zeros(25))):
        assert _quadra.cumtrapz(ov, yv, hv, np.inf) == 24
        assert ov.tolist() == expected


# ---- optdepth ------------------------------------------------------------------------------

DATA = np.array([[1.0, 1.0], [1.0, 3.0], [1.0, 5.0]])


@pytest.mark.parametrize(
    "ideep, tau, after",
    [([-1, -1], [4.0, 12.0], [-1, 2]), ([-1, 0], [4.0, 0.0], [-1, 0])],
)
def test_optdepth_examples(ideep, tau, after):
    ideep = np.array(ideep, INTC)
    res = _quadra.optdepth(DATA, np.ones(2), 5.0, ideep, 2)
    assert res.tolist() == tau and ideep.tolist() == after


def test_optdepth_sum_equal_to_taumax_does_not_mark():
    ideep = np.array([-1, -1], INTC)
    _quadra.optdepth(DATA, np.ones(2), 12.0, ideep, 3)
    assert ideep.tolist() == [-1, -1]


@pytest.mark.parametrize("taumax, after", [(-1.0, [4, 0, 4]), (0.0, [-1, 0, -5])])
def test_optdepth_empty_intervals(taumax, after):
    ideep = np.array([-1, 0, -5], INTC)
    res = _quadra.optdepth(np.zeros((1, 3)), np.zeros(0), taumax, ideep, 4)
    assert res.tolist() == [0.0, 0.0, 0.0] and ideep.tolist() == after


def test_optdepth_no_columns_leaves_ideep():
    ideep = np.array([-1, -1], INTC)
    res = _quadra.optdepth(np.zeros((3, 0)), np.ones(2), 1.0, ideep, 1)
    assert res.shape == (0,) and ideep.tolist() == [-1, -1]


@pytest.mark.parametrize("shape", [(2, 3), (30, 700), (12, 1025)])
def test_optdepth_every_layout_matches_reference(rng, shape):
    rows, cols = shape
    data = rng.exponential(size=shape)
    h = rng.uniform(0.1, 1.0, rows - 1)
    start = rng.integers(-2, 3, cols).astype(INTC)
    start[: cols // 3 + 1] = 0  # a block of closed columns
    taumax = float(np.median(2 * np.sum(data, axis=0) * h.mean()))
    want_ideep = start.copy()
    want = ref_optdepth(data, h, taumax, want_ideep, 7)
    for name, view in layouts2(data):
        for _, ideep in layouts1(start):
            res = _quadra.optdepth(view, h, taumax, ideep, 7)
            assert np.array_equal(res, want), name
            assert np.array_equal(ideep, want_ideep), name


def test_optdepth_layer_by_layer_is_twice_the_trapezoid(rng):
    # The way a caller builds tau: one call per layer as the path grows.
    ext = rng.exponential(size=(20, 6))
    dz = rng.uniform(0.5, 1.5, 19)
    ideep = np.full(6, -1, INTC)
    for ilay in range(1, 20):
        tau = _quadra.optdepth(ext[: ilay + 1], dz[:ilay], np.inf, ideep, ilay)
        z = np.concatenate([[0.0], np.cumsum(dz[:ilay])])
        assert np.allclose(tau, 2 * integrate.trapezoid(ext[: ilay + 1], z, axis=0), rtol=1e-13)
    assert np.all(ideep == -1)


# ---- cumoptdepth ---------------------------------------------------------------------------


def layer_by_layer(data, h, taumax, ideep):
    """What cumoptdepth must equal: optdepth called for ilay = 0, 1, ..., nlay in turn."""
    nlay = len(h)
    rows = [_quadra.optdepth(data[: k + 1], h[:k], taumax, ideep, k) for k in range(nlay + 1)]
    return np.array(rows).reshape(nlay + 1, data.shape[1])


@pytest.mark.parametrize("shape", [(2, 3), (9, 1), (30, 700), (101, 1030)])
def test_cumoptdepth_equals_optdepth_layer_by_layer_in_every_layout(rng, shape):
    rows, cols = shape
    data = rng.exponential(size=shape)
    h = rng.uniform(0.1, 1.0, rows - 1)
    start = rng.integers(-2, 3, cols).astype(INTC)
    start[: cols // 4] = -1
    # A threshold that some columns pass at some layer, some never.
    taumax = float(np.median(2 * np.sum(data, axis=0) * h.mean()))
    want_ideep = start.copy()
    want = layer_by_layer(data, h, taumax, want_ideep)
    assert 0 < np.sum(want_ideep != start) < cols or cols < 4
    for name, view in layouts2(data):
        for _, ideep in layouts1(start):
            tau = _quadra.cumoptdepth(view, h, taumax, ideep)
            assert tau.shape == (rows, cols)
            assert np.array_equal(tau, want), name
            assert np.array_equal(ideep, want_ideep), name


@pytest.mark.parametrize("taumax", [-1.0, 0.0, 5.0, np.inf, np.nan])
def test_cumoptdepth_thresholds_and_ieee_values(taumax):
    data = np.array([[1.0, 1.0, np.nan], [1.0, 3.0, 1.0], [1.0, 5.0, 1.0]])
    h = np.array([1.0, 1.0])
    ideep, want_ideep = np.array([-1, -1, -1], INTC), np.array([-1, -1, -1], INTC)
    want = layer_by_layer(data, h, taumax, want_ideep)
    tau = _quadra.cumoptdepth(data, h, taumax, ideep)
    assert np.array_equal(tau, want, equal_nan=True) and np.array_equal(ideep, want_ideep)


def test_cumoptdepth_example_marks_and_zeroes_below():
    ideep = np.array([-1, -1, 0], INTC)
    data = np.array([[1.0, 1.0, 9.0], [1.0, 3.0, 9.0], [1.0, 5.0, 9.0]])
    tau = _quadra.cumoptdepth(data, np.ones(2), 5.0, ideep)
    assert tau.tolist() == [[0.0, 0.0, 0.0], [2.0, 4.0, 0.0], [4.0, 12.0, 0.0]]
    assert ideep.tolist() == [-1, 2, 0]
    ideep = np.array([-1], INTC)
    tau = _quadra.cumoptdepth(data[:, 1:2], np.ones(2), 3.0, ideep)
    assert tau.ravel().tolist() == [0.0, 4.0, 0.0] and ideep.tolist() == [1]


def test_cumoptdepth_empty_shapes():
    ideep = np.array([-1, 3], INTC)
    assert _quadra.cumoptdepth(np.zeros((1, 2)), np.zeros(0), 1.0, ideep).tolist() == [[0, 0]]
    assert _quadra.cumoptdepth(np.zeros((4, 0)), np.ones(3), 1.0, ideep).shape == (4, 0)
    assert ideep.tolist() == [-1, 3]


# ---- intensity -----------------------------------------------------------------------------

TAU = np.array([[0.0], [1.0], [2.0]])
PLANCK = np.array([[1.0], [2.0], [3.0]])
MU = np.array([1.0, 0.5])


@pytest.mark.parametrize(
    "rtop, expected",
    [
        (0, [1.5 + math.exp(-1 / m) + 0.5 * math.exp(-2 / m) for m in MU]),
        (1, [3.0, 3.0]),
        (2, [3 * math.exp(-2 / m) for m in MU]),
        (5, [3 * math.exp(-2 / m) for m in MU]),
    ],
)
def test_intensity_three_regimes(rtop, expected):
    res = _quadra.intensity(TAU, np.array([2], INTC), PLANCK, MU, rtop)
    assert res.shape == (2, 1)
    assert np.allclose(res[:, 0], expected, rtol=1e-15, atol=0)
    assert np.array_equal(res, ref_intensity(TAU, [2], PLANCK, MU, rtop))


def test_intensity_constant_source_telescopes():
    tau = np.linspace(0, 30, 60)[:, None] * np.ones((1, 3))
    planck = np.full((60, 3), 2.5)
    res = _quadra.intensity(tau, np.array([59, 40, 20], INTC), planck, np.array([1.0, 0.3]), 0)
    assert np.allclose(res, 2.5, rtol=1e-14)


def test_intensity_empty_shapes():
    assert _quadra.intensity(TAU, np.array([2], INTC), PLANCK, np.zeros(0), 0).shape == (0, 1)
    res = _quadra.intensity(np.zeros((3, 0)), np.zeros(0, INTC), np.zeros((3, 0)), MU, 0)
    assert res.shape == (2, 0)


@pytest.mark.parametrize("mu", [[1.0, 0.5, 0.25], [0.9061798459, 0.5384693101, 0.1127016654]])
def test_intensity_every_layout_matches_reference(rng, mu):
    # mu values whose 1/mu rounds so that tau * (1/mu) and tau / mu differ in the last bit
    # exercise both ways the bottom term is formed.
    layers, cols = 25, 40
    tau = np.cumsum(rng.exponential(0.3, size=(layers, cols)), axis=0)
    planck = rng.uniform(1, 3, size=(layers, cols))
    ideep = rng.integers(0, layers, cols).astype(INTC)
    mu = np.array(mu)
    for rtop in (0, 3):
        want = ref_intensity(tau, ideep, planck, mu, rtop)
        for (name, tv), (_, pv) in zip(layouts2(tau), layouts2(planck)):
            for _, mv in layouts1(mu):
                assert np.array_equal(_quadra.intensity(tv, ideep, pv, mv, rtop), want), name


def test_intensity_columns_are_independent(rng):
    tau = np.cumsum(rng.exponential(size=(10, 4)), axis=0)
    planck = rng.uniform(size=(10, 4))
    a = _quadra.intensity(tau, np.array([9, 9, 9, 9], INTC), planck, MU, 0)
    b = _quadra.intensity(tau, np.array([9, 4, 9, 9], INTC), planck, MU, 0)
    assert np.array_equal(np.delete(a, 1, axis=1), np.delete(b, 1, axis=1))
    assert not np.array_equal(a[:, 1], b[:, 1])


def test_intensity_linear_source_gives_eddington_barbier():
    # B = a + b tau in a deep atmosphere: I(mu) = a + b mu for the continuous problem. The
    # trapezoid in exp(-tau/mu) over steps dtau adds b dtau^2 / (12 mu) to leading order.
    dtau = 0.01
    tau = np.arange(4001)[:, None] * dtau
    planck = 1.0 + 3.0 * tau
    mu = np.array([1.0, 0.6, 0.2])
    res = _quadra.intensity(tau, np.array([4000], INTC), planck, mu, 0)[:, 0]
    error = res - (1.0 + 3.0 * mu)
    bound = 3.0 * dtau**2 / (12 * mu)
    assert np.all(error > 0) and np.all(error < 1.01 * bound)


# ---- results and references ----------------------------------------------------------------

def test_returned_arrays_are_owned_by_the_caller():
    res = _quadra.trapz2D(DATA, np.ones(2), np.array([2, 2], INTC))
    assert sys.getrefcount(res) == 2  # the name and getrefcount's argument
    res = _quadra.optdepth(DATA, np.ones(2), 1.0, np.array([-1, -1], INTC), 0)
    assert sys.getrefcount(res) == 2
    res = _quadra.intensity(TAU, np.array([2], INTC), PLANCK, MU, 0)
    assert sys.getrefcount(res) == 2 and res.flags.owndata


def test_no_reference_leaks_over_many_calls():
    args = {
        "trapz": (DATA[:, 1].copy(), np.ones(2)),
        "trapz2D": (DATA, np.ones(2), np.array([2, 1], INTC)),
        "cumtrapz": (np.zeros(3), DATA[:, 1].copy(), np.ones(2), 5.0),
        "optdepth": (DATA, np.ones(2), 5.0, np.array([-1, -1], INTC), 1),
        "intensity": (TAU, np.array([2], INTC), PLANCK, MU, 0),
    }
    for name, a in args.items():
        func = getattr(_quadra, name)
        before = [sys.getrefcount(x) for x in a]
        for _ in range(2000):
            func(*a)
        assert [sys.getrefcount(x) for x in a] == before, name
