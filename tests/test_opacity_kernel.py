"""exokern._opacity.table_extinction: the interpolated, weighted table rows added into the
extinction, against the formula written out in numpy, on every layout and vector path; bad
input refused before anything is written."""

import numpy as np
import pytest

import exokern
from exokern import _opacity
from helpers import assert_rejects, layouts2

I = np.intc


def reference(ext, table, rows, weights, density):
    """The formula in numpy, term by term in the kernel's order (sources of a layer in order)."""
    out = ext.copy()
    layers = ext.shape[0]
    rows = rows.reshape(-1, 4)
    weights = weights.reshape(-1, 2)
    for s in range(len(density) // layers):
        for layer in range(layers):
            k = s * layers + layer
            r0, r1, r2, r3 = rows[k]
            a, b, c, d = (table[r, :ext.shape[1]] for r in rows[k])
            wt, wp = weights[k]
            lo = a if r1 == r0 else a + wt * (b - a)
            hi = c if r1 == r0 else c + wt * (d - c)
            sigma = lo if (r2, r3) == (r0, r1) else lo + wp * (hi - lo)
            out[layer] = out[layer] + density[k] * sigma
    return out


def problem(rng, layers=7, width=1500, sources=3, table_rows=12):
    ext = rng.uniform(0.0, 1e-3, (layers, width))
    table = 10.0 ** rng.uniform(-26, -18, (table_rows, width + 3))
    terms = sources * layers
    rows = rng.integers(0, table_rows, (terms, 4)).astype(I)
    # Some terms with one temperature row, one pressure row, or a single row, as sources
    # without those axes and clamped layers give them.
    rows[::3, 1] = rows[::3, 0]
    rows[::4, 2:] = rows[::4, :2]
    rows[::5] = rows[::5, :1]
    rows = rows.reshape(-1)
    weights = rng.uniform(0.0, 1.0, 2 * terms)
    density = 10.0 ** rng.uniform(10, 18, terms)
    return ext, table, rows, weights, density


@pytest.mark.parametrize("sources", [1, 3, 70])  # 70: more than one gathering of sources
@pytest.mark.parametrize("width", [1, 511, 1500])
def test_matches_the_formula_bit_for_bit(rng, sources, width):
    ext, table, rows, weights, density = problem(rng, width=width, sources=sources)
    want = reference(ext, table, rows, weights, density)
    _opacity.table_extinction(ext, table, rows, weights, density)
    assert np.array_equal(ext, want)


def test_every_layout_gives_the_same_bits(rng):
    ext, table, rows, weights, density = problem(rng, width=300)
    want = reference(ext, table, rows, weights, density)
    for (name_e, e), (name_t, t) in zip(layouts2(ext), layouts2(table)):
        _opacity.table_extinction(e, t, rows, weights, density)
        assert np.array_equal(e, want), (name_e, name_t)


@pytest.mark.parametrize("path", exokern.simd_paths())
def test_every_vector_path_gives_the_same_bits(rng, path):
    ext, table, rows, weights, density = problem(rng, width=999, sources=5)
    want = reference(ext, table, rows, weights, density)
    before = _opacity._set_simd(path)
    try:
        _opacity.table_extinction(ext, table, rows, weights, density)
    finally:
        _opacity._set_simd(before)
    assert np.array_equal(ext, want)


def test_nodes_and_one_pressure_node_are_exact():
    # At a node (weights 0 or 1 on equal rows) the result is the tabulated row times n, exactly.
    table = np.array([[1e-20, 3e-21, 0.0], [2e-20, 5e-21, 7e-22]])
    ext = np.zeros((2, 3))
    rows = np.array([0, 1, 0, 1, 1, 1, 1, 1], I)
    _opacity.table_extinction(ext, table, rows, np.array([0.0, 0.7, 0.3, 0.0]),
                              np.array([1e16, 2e16]))
    assert np.array_equal(ext[0], 1e16 * table[0])
    assert np.array_equal(ext[1], 2e16 * table[1])


ROWS = np.zeros(4, I)
W = np.zeros(2)
N = np.ones(1)
T = np.ones((2, 3))


def ro(a):
    a = a.copy()
    a.flags.writeable = False
    return a


CASES = [
    ((np.zeros((1, 3)), T, np.array([0, 0, 2, 0], I), W, N), ValueError,
     r"table_extinction: rows\[2\] = 2 is not a row of table \(0 to 1\)"),
    ((np.zeros((1, 3)), T, np.array([0, 0, 0, -1], I), W, N), ValueError, r"rows\[3\] = -1"),
    ((np.zeros((2, 3)), T, ROWS, W, N), ValueError,
     r"density must hold one value per layer and source, a multiple of the 2 rows of ext"),
    ((np.zeros((1, 3)), T, ROWS[:3], W, N), ValueError, r"rows must have at least 4 elements"),
    ((np.zeros((1, 3)), T, ROWS, W[:1], N), ValueError, r"weights must have at least 2 elements"),
    ((np.zeros((1, 4)), T, ROWS, W, N), ValueError, r"table must have at least 4 columns"),
    ((ro(np.zeros((1, 3))), T, ROWS, W, N), ValueError, r"ext must be writeable"),
    ((np.zeros((1, 3)), T, ROWS.astype(np.int64), W, N), TypeError,
     r"rows must have dtype int32"),
    ((np.zeros(3), T, ROWS, W, N), ValueError, r"ext must be 2-dimensional"),
    ((np.zeros((1, 3)), T.astype(np.float32), ROWS, W, N), TypeError,
     r"table must have dtype float64"),
]


@pytest.mark.parametrize("args, exc, match", CASES, ids=[str(i) for i in range(len(CASES))])
def test_bad_input_raises_and_changes_nothing(args, exc, match):
    assert_rejects(_opacity.table_extinction, args, exc, match)


def test_an_extinction_that_overlaps_an_input_is_refused():
    buffer = np.ones((2, 3))
    assert_rejects(_opacity.table_extinction, (buffer[:1], buffer, ROWS, W, N), ValueError,
                   r"ext overlaps table in memory")


# ---- line_extinction: every alkali line and layer in one call ------------------------------

from exokern import _alkali  # noqa: E402
from exokern.opacity import alkali  # noqa: E402


def line_reference(press, wn, temp, table, icenter, mixing, gas, continuum, cutoff):
    """Line by line, each into a zeroed array by _alkali.alkali_cross_section with the wing
    amplitude of libm's pow, then added times the atoms' density; the continuum last."""
    layers = len(temp)
    ext = np.zeros((layers, len(wn)))
    for i, (wn0, f, detuning, mass, lorentz, dwn) in enumerate(table):
        h = np.array([lorentz * (t / 2000.0) ** -0.7 * p / 1.01e6 for p, t in zip(press, temp)])
        x = np.array([detuning * (t / 500.0) ** 0.6 for t in temp])
        wingamp = ((h / np.pi) / (x * x + h * h))[:, None].copy()
        sigma = np.zeros_like(ext)
        _alkali.alkali_cross_section(press, wn, temp, wingamp, sigma, detuning, mass, lorentz,
                                     1.0, cutoff, np.array([wn0]), np.array([f]),
                                     np.array([dwn]), icenter[i:i + 1].copy())
        ext += sigma * (mixing[i] * gas)[:, None]
    return ext + continuum[:, None]


def line_problem(resolution=3000.0, layers=12):
    wn = 11000.0 * np.exp(np.arange(int(resolution * np.log(19000 / 11000))) / resolution)
    press = np.logspace(-3, 8, layers)  # low pressures: lines narrower than the grid
    temp = np.linspace(700.0, 2100.0, layers)
    lines = alkali.Lines(wn)
    mixing = np.array([1e-6, 3e-7, 2e-7, 1e-7])
    gas = press / (1.380649e-16 * temp)
    continuum = np.linspace(0.0, 1e-9, layers)
    return press, wn, temp, lines.table, lines.icenter, mixing, gas, continuum, 4500.0


@pytest.mark.parametrize("path", exokern.simd_paths())
@pytest.mark.parametrize("resolution", [300.0, 3000.0, 60000.0])
def test_line_extinction_is_the_line_by_line_sum_bit_for_bit(path, resolution):
    args = line_problem(resolution)
    want = line_reference(*args)
    before = _opacity._set_simd(path)
    try:
        got = _opacity.line_extinction(*args)
    finally:
        _opacity._set_simd(before)
    assert np.array_equal(got, want)


def test_line_extinction_on_a_strided_grid_gives_the_same_bits():
    press, wn, *rest = line_problem()
    padded = np.full(2 * len(wn), np.nan)
    padded[::2] = wn
    assert np.array_equal(_opacity.line_extinction(press, padded[::2], *rest),
                          _opacity.line_extinction(press, wn, *rest))


def test_lines_of_a_model_leave_out_cores_across_the_grid_ends():
    wn = np.geomspace(12500.0, 16970.0, 800)  # K inside; the Na D2 core across the top end
    p, t = np.full(3, 1e5), np.full(3, 1000.0)
    ext, skipped = alkali.Lines(wn)(p, t, p / (1.380649e-16 * t))
    assert skipped == ["Na D2", "Na D1"] and np.all(np.isfinite(ext)) and ext.max() > 0


LP = line_problem(300.0, 3)
LCASES = [
    ((*LP[:3], LP[3][:, :5], *LP[4:]), ValueError, r"lines must have at least 6 columns"),
    ((*LP[:4], LP[4][:2], *LP[5:]), ValueError, r"icenter must have at least 4 elements"),
    ((*LP[:5], LP[5][:3], *LP[6:]), ValueError, r"mixing must have at least 4 elements"),
    ((*LP[:6], LP[6][:2], *LP[7:]), ValueError, r"gas must have at least 3 elements"),
    ((*LP[:4], np.array([0, 1, 2, 10**6], I), *LP[5:]), ValueError,
     r"icenter\[3\] = 1000000 is not a sample of wn"),
    ((*LP[:4], LP[4].astype(np.int64), *LP[5:]), TypeError, r"icenter must have dtype int32"),
    ((*LP[:8], "4500"), TypeError, r"cutoff must be a real number"),
]


@pytest.mark.parametrize("args, exc, match", LCASES, ids=[str(i) for i in range(len(LCASES))])
def test_line_extinction_refuses_bad_input(args, exc, match):
    assert_rejects(_opacity.line_extinction, args, exc, match)
