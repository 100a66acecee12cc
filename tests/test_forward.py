"""exokern._forward: the chords and the transit depth, and Planck emission, against their
formulas written out in numpy (exokern's own exponential, `_quadra._exp`) bit for bit, on every
vector path; against independent physics (scipy's constants, an exact chord integral); bad input
refused before anything is written."""

import math

import numpy as np
import pytest
import scipy.constants as const
from scipy.integrate import quad

import exokern
from exokern import _forward, _quadra
from helpers import assert_rejects

I = np.intc


def exp(x):
    return _quadra._exp(np.ascontiguousarray(x, dtype=np.float64))


def shells(a, b):
    """A shell's extinction at f = 1/2 and 5/8 from its inner level (b), as the kernel forms
    them."""
    positive = (a > 0) & (b > 0)
    g = np.sqrt(a * b)
    u = np.sqrt(g * np.sqrt(a * g))
    d = a - b
    return np.where(positive, g, b + 0.5 * d), np.where(positive, u, b + 0.625 * d)


def weights(r, k):
    """Ray k's Simpson weights gathered per level: (C[j], c1[j]) for the shells above it, then
    C[k], t0, t1 for the grazed one."""
    b = 0.5 * (r[k] + r[k + 1])
    level, shell, below = [], [], 0.0
    for j in range(k):
        ro, ri = r[j], r[j + 1]
        d, m = ro - ri, 0.5 * (ro + ri)
        w = d / 6.0
        c0 = w * (ro / math.sqrt((ro - b) * (ro + b)))
        c1 = (4.0 * w) * (m / math.sqrt((m - b) * (m + b)))
        c2 = w * (ri / math.sqrt((ri - b) * (ri + b)))
        level.append(c0 if j == 0 else below + c0)
        shell.append(c1)
        below = c2
    e = r[k] - b
    w, se, quarter = e / 6.0, math.sqrt(e), 0.25 * e
    t0 = w * (2.0 * b / (se * math.sqrt(2.0 * b)))
    t1 = (4.0 * w) * (2.0 * (b + quarter) / (se * math.sqrt(2.0 * b + quarter)))
    t2 = w * (2.0 * (b + e) / (se * math.sqrt(2.0 * b + e)))
    return level, shell, (t2 if k == 0 else below + t2), t0, t1


def reference(ext, r, rstar, taumax):
    """The chords and the transit depth, in the kernel's order of arithmetic."""
    levels, width = ext.shape
    rays = levels - 1
    tau = np.full((rays, width), np.inf)
    ideep = np.full(width, rays - 1, dtype=I)
    open_ = np.ones(width, bool)
    total = np.zeros(width)
    for k in range(rays):
        b = 0.5 * (r[k] + r[k + 1])
        level, shell, ck, t0, t1 = weights(r, k)
        s = np.zeros(width)
        for j in range(k):
            g, _ = shells(ext[j], ext[j + 1])
            s = s + (level[j] * ext[j] + shell[j] * g)
        g, u = shells(ext[k], ext[k + 1])
        s = s + ((ck * ext[k] + t0 * g) + t1 * u)
        chord = np.where(open_, 2.0 * s, np.inf)
        past = open_ & (chord > taumax)
        ideep[past] = k
        open_ &= ~past
        tau[k] = chord
        total = total + ((1.0 - exp(-chord)) * b) * (r[k] - r[k + 1])
    depth = (r[-1] * r[-1] + 2.0 * total) / (rstar * rstar)
    return depth, tau, ideep


def atmosphere(rng, levels=30, width=100):
    r = 7e9 + np.cumsum(rng.uniform(1e6, 5e7, levels))[::-1]
    ext = 10 ** rng.uniform(-14, -6, (levels, width)) * np.linspace(1e-3, 1e3, levels)[:, None]
    ext[3, :5] = 0.0  # levels without extinction take the linear form
    return np.ascontiguousarray(ext), r


def call(ext, r, rstar=7e10, taumax=20.0):
    tau = np.empty((ext.shape[0] - 1, ext.shape[1]))
    ideep = np.empty(ext.shape[1], dtype=I)
    return _forward.transit_depth(ext, r, rstar, taumax, tau, ideep), tau, ideep


@pytest.mark.parametrize("path", exokern.simd_paths())
@pytest.mark.parametrize("width", [1, 7, 32, 45, 201])
def test_transit_depth_is_its_formula_bit_for_bit_on_every_path(rng, path, width):
    ext, r = atmosphere(rng, width=width)
    want = reference(ext, r, 7e10, 20.0)
    before = _forward._set_simd(path)
    try:
        got = call(ext, r)
    finally:
        _forward._set_simd(before)
    for name, g, w in zip(("depth", "tau", "ideep"), got, want):
        assert np.array_equal(g, w), name
    # Without tau kept: the same depth and ideep.
    ideep = np.empty(width, dtype=I)
    before = _forward._set_simd(path)
    try:
        depth = _forward.transit_depth(ext, r, 7e10, 20.0, None, ideep)
    finally:
        _forward._set_simd(before)
    assert np.array_equal(depth, want[0]) and np.array_equal(ideep, want[2])


def test_a_strided_layout_gives_the_same_bits(rng):
    ext, r = atmosphere(rng, width=40)
    want = call(ext, r)
    got = call(np.asfortranarray(ext), r)
    for g, w in zip(got, want):
        assert np.array_equal(g, w)


def test_a_chord_is_the_exact_integral_of_exponential_extinction():
    # One ray through shells of exponential extinction: scipy's adaptive integral of
    # a(r) r / sqrt(r^2 - b^2) along the radius, to 3e-3 (Simpson's rule over shells that
    # each hold 0.8 e-folds of the extinction; most of the error in the shell just above the
    # grazed one, where r / sqrt(r^2 - b^2) falls by sqrt(3)).
    r = np.linspace(7.0e9 + 6e7, 7.0e9, 7)
    ext = (1e-9 * np.exp(-(r - r[-1]) / 1.3e7))[:, None].copy()
    _, tau, _ = call(ext, r, taumax=1e9)
    for k in (0, 3, 5):
        b = 0.5 * (r[k] + r[k + 1])
        exact = 2 * quad(lambda x: 1e-9 * math.exp(-(x - r[-1]) / 1.3e7) * x
                         / math.sqrt(x * x - b * b), b, r[0], limit=200)[0]
        assert tau[k, 0] == pytest.approx(exact, rel=3e-3)


def test_opaque_rays_telescope_to_the_top_disc_and_clear_ones_to_the_bottom(rng):
    _, r = atmosphere(rng)
    opaque, _, ideep = call(np.full((30, 3), 1.0), r)
    np.testing.assert_allclose(opaque, (r[0] / 7e10) ** 2, rtol=1e-13)
    assert np.all(ideep == 0)
    clear, tau, ideep = call(np.zeros((30, 3)), r)
    assert np.all(clear == (r[-1] * r[-1]) / (7e10 * 7e10))
    assert np.all(tau == 0) and np.all(ideep == 28)


def test_planck_is_the_formula_with_codata_constants(rng):
    wn = np.geomspace(10.0, 50000.0, 333)
    temperature = np.array([30.0, 700.0, 5772.0])
    out = np.empty((3, 333))
    _forward.planck(wn, temperature, out)
    c1 = 2 * const.h * 1e7 * (const.c * 1e2) ** 2
    c2 = const.h * const.c * 1e2 / const.k
    with np.errstate(over="ignore"):
        want = c1 * wn**3 / np.expm1(c2 * wn / temperature[:, None])
    # (to 1e-12: near the overflow an ulp of the exponent is 1e-13 of the result)
    np.testing.assert_allclose(out, want, rtol=1e-12, atol=0)
    assert out[0, -1] == 0.0  # exp overflows: no emission, as the formula says


@pytest.mark.parametrize("path", exokern.simd_paths())
def test_planck_gives_the_same_bits_on_every_path(path):
    wn = np.linspace(300.0, 30000.0, 1001)
    temperature = np.array([200.0, 1500.0, 3000.0])
    want = np.empty((3, 1001))
    before = _forward._set_simd("scalar")
    try:
        _forward.planck(wn, temperature, want)
        _forward._set_simd(path)
        got = np.empty((3, 1001))
        _forward.planck(wn, temperature, got)
    finally:
        _forward._set_simd(before)
    assert np.array_equal(got, want)


def ro(a):
    a = a.copy()
    a.flags.writeable = False
    return a


E = np.ones((4, 3))
R = np.array([4.0, 3.0, 2.0, 1.0])
T = np.empty((3, 3))
D = np.empty(3, I)

CASES = [
    ("transit_depth", (E[:1], R, 10.0, 20.0, T, D), ValueError, r"ext must have at least 2 rows"),
    ("transit_depth", (E, R[:3], 10.0, 20.0, T, D), ValueError, r"radii must have at least 4"),
    ("transit_depth", (E, R, 10.0, 20.0, T[:2], D), ValueError, r"tau must have at least 3 rows"),
    ("transit_depth", (E, R, 10.0, 20.0, T, D[:2]), ValueError, r"ideep must have at least 3"),
    ("transit_depth", (E, R, 10.0, 20.0, ro(T), D), ValueError, r"tau must be writeable"),
    ("transit_depth", (E, R, 10.0, 20.0, T, D.astype(np.int64)), TypeError,
     r"ideep must have dtype int32"),
    ("transit_depth", (E, R, "10", 20.0, T, D), TypeError, r"rstar must be a real number"),
    ("planck", (R, R, np.empty((3, 4))), ValueError, r"out must have at least 4 rows"),
    ("planck", (R, R, ro(np.empty((4, 4)))), ValueError, r"out must be writeable"),
    ("planck", (R.astype(np.float32), R, np.empty((4, 4))), TypeError,
     r"wn must have dtype float64"),
]


@pytest.mark.parametrize("method, args, exc, match", CASES,
                         ids=[f"{c[0]}-{i}" for i, c in enumerate(CASES)])
def test_bad_input_raises_and_changes_nothing(method, args, exc, match):
    assert_rejects(getattr(_forward, method), args, exc, match)


def test_outputs_that_overlap_inputs_are_refused():
    buffer = np.ones((4, 3))
    assert_rejects(_forward.transit_depth, (buffer, R, 10.0, 20.0, buffer[1:], D), ValueError,
                   r"tau overlaps ext in memory")
    grid = np.ones(8)
    assert_rejects(_forward.planck, (grid[:4], R, grid.reshape(2, 4)[:1]), ValueError,
                   r"out must have at least 4 rows")
    out = np.empty((1, 4))
    assert_rejects(_forward.planck, (out[0], R[:1], out), ValueError, r"out overlaps wn")
