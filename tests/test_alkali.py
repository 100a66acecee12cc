"""exokern._alkali: alkali line extinction added into the caller's array."""

import math

import numpy as np
import pytest

from exokern import _alkali
from helpers import assert_rejects, layouts1, layouts2
from reference import alkali, cell

INTC = np.intc
K = 8.852821681767784e-13  # pi e^2 / (m_e c^2), cm
SODIUM = dict(detuning=30.0, mass=22.989769, lorentz=0.071, norm=1.0, cutoff=4500.0)


def reference(press, wn, temp, wingamp, ext, detuning, mass, lorentz, norm, cutoff, wn0, oscstr,
              dwn, icenter):
    """The line / layer / sample scan from wn[0] on Python floats; the updated copy of ext."""
    rows = alkali(*(np.asarray(a).tolist() for a in (press, wn, temp, wingamp, ext)), detuning,
                  mass, lorentz, norm, cutoff,
                  *(np.asarray(a).tolist() for a in (wn0, oscstr, dwn, icenter)))
    return np.array(rows, dtype=float).reshape(np.shape(ext))


def call(press, wn, temp, wingamp, ext, wn0, oscstr, dwn, icenter, **scalars):
    p = {**SODIUM, **scalars}
    return _alkali.alkali_cross_section(press, wn, temp, wingamp, ext, p["detuning"], p["mass"],
                                        p["lorentz"], p["norm"], p["cutoff"], wn0, oscstr, dwn,
                                        icenter)


def make_case(rng, wn, wn0, nlay=3, dwn=0.0, base=0.0):
    """Arguments for lines wn0 on grid wn, in nlay random layers; icenter is the nearest sample."""
    wn, wn0 = np.asarray(wn, float), np.asarray(wn0, float)
    nl = len(wn0)
    icenter = np.array([np.abs(wn - c).argmin() if len(wn) else 0 for c in wn0], dtype=INTC)
    return dict(press=10 ** rng.uniform(2, 7, nlay), wn=wn, temp=rng.uniform(300, 3000, nlay),
                wingamp=10 ** rng.uniform(-9, -6, (nlay, nl)),
                ext=np.full((nlay, len(wn)), float(base)), wn0=wn0,
                oscstr=rng.uniform(0.1, 1.0, nl), dwn=np.full(nl, float(dwn)), icenter=icenter)


def run_both(args, **scalars):
    """Runs the method on a copy of the arguments and the reference; returns both ext arrays."""
    p = {**SODIUM, **scalars}
    want = reference(**{k: v for k, v in args.items()}, **p)
    ext = args["ext"].copy()
    assert call(**{**args, "ext": ext}, **scalars) == 1
    return ext, want


# ---- exact agreement with the scan ---------------------------------------------------------

GRIDS = {
    "fine": (np.linspace(16900.0, 17000.0, 2001), [16956.17, 16973.37], {}),
    "coarse": (np.linspace(16000.0, 18000.0, 41), [16956.17, 16973.37, 16993.0], {"dwn": 50.0}),
    "uneven": (np.sort(np.random.default_rng(5).uniform(16000, 18000, 300)), [16500.0, 17200.0],
               {"dwn": 40.0}),
    "centres off the grid": (np.linspace(16900.0, 17000.0, 101), [16850.0, 17060.0], {}),
    "duplicates": (np.repeat(np.linspace(16900.0, 17000.0, 51), 2), [16950.0, 16951.3], {}),
}


@pytest.mark.parametrize("grid", list(GRIDS))
@pytest.mark.parametrize("cutoff, detuning", [(4500.0, 30.0), (25.0, 3.0), (2.0, 30.0)])
def test_matches_the_scan(rng, grid, cutoff, detuning):
    wn, wn0, extra = GRIDS[grid]
    args = make_case(rng, wn, wn0, nlay=4, base=1e-14, **extra)
    ext, want = run_both(args, cutoff=cutoff, detuning=detuning)
    assert np.array_equal(ext, want)


@pytest.mark.parametrize("edge, nu0, cutoff", [
    # fl(edge - nu0) < -cutoff although edge >= fl(nu0 - cutoff) ...
    (10629.564004309246, 10724.610869304877, 95.04686499563027),
    (6882.459176566455, 6924.797588199223, 42.33841163276784),
    # ... and fl(edge - nu0) >= -cutoff although edge < fl(nu0 - cutoff).
    (-107.9611658586944, 1978.161341328106, 2086.1225071868002),
    (-0.08110461604782851, 0.24389886771563962, 0.3250034837634681),
])
def test_window_start_rounds_as_the_scan(rng, edge, nu0, cutoff):
    # The window starts where the rounded offsets say, not where a rounded lower bound would.
    assert (edge - nu0 < -cutoff) != (edge < nu0 - cutoff)
    near = [edge + k * math.ulp(edge) for k in range(-3, 4)]
    wn = np.r_[near, np.linspace(edge + 0.5 * cutoff, nu0 + cutoff, 300)]
    args = make_case(rng, wn, [nu0], nlay=2)
    ext, want = run_both(args, cutoff=cutoff, detuning=1e6)
    assert np.array_equal(ext, want)
    inside = [not (v - nu0 < -cutoff) for v in near]
    assert np.array_equal(ext[:, :7] != 0.0, np.array([inside, inside]))


NOT_ASCENDING = {
    "reversed": np.linspace(17000.0, 16900.0, 201),
    "shuffled": np.random.default_rng(7).permutation(np.linspace(16900.0, 17000.0, 201)),
    "one step back": np.r_[np.linspace(16900.0, 16960.0, 121), 16940.0,
                           np.linspace(16960.5, 17000.0, 80)],
    "nan inside": np.r_[np.linspace(16900.0, 16950.0, 101), np.nan,
                        np.linspace(16950.5, 17000.0, 100)],
    "nan first": np.r_[np.nan, np.linspace(16900.0, 17000.0, 200)],
}


@pytest.mark.parametrize("grid", list(NOT_ASCENDING))
@pytest.mark.parametrize("cutoff", [4500.0, 10.0])
def test_grid_not_ascending_keeps_the_scan(rng, grid, cutoff):
    wn = NOT_ASCENDING[grid]
    args = make_case(rng, np.nan_to_num(wn, nan=0.0), [16930.0, 16955.2, 16990.0], dwn=2.0)
    args["wn"] = wn.copy()
    ext, want = run_both(args, cutoff=cutoff, detuning=2.0)
    assert np.array_equal(ext, want, equal_nan=True)


def test_random_small_configurations(rng):
    # Dyadic grids and centres put samples exactly on -cutoff, +cutoff and X; some grids have
    # equal neighbours or fall back once.
    for _ in range(60):
        n = int(rng.integers(1, 30))
        wn = np.sort(rng.integers(0, 80, n)) * 0.25
        if rng.random() < 0.3:
            wn = rng.permutation(wn)
        nl = int(rng.integers(1, 4))
        wn0 = rng.integers(-8, 90, nl) * 0.25
        args = make_case(rng, wn, wn0, nlay=2, dwn=float(rng.choice([0.0, 1e3])), base=1e-13)
        args["temp"][0] = 500.0  # X = detuning exactly
        args["icenter"] = rng.integers(0, n, nl).astype(INTC)
        cutoff = float(rng.integers(0, 12)) * 0.25
        ext, want = run_both(args, cutoff=cutoff, detuning=float(rng.integers(0, 8)) * 0.25)
        assert np.array_equal(ext, want, equal_nan=True), (wn, wn0, cutoff)


def test_large_grid_matches_the_scan(rng):
    # Large enough that the method runs without the interpreter lock.
    wn = np.linspace(10000.0, 20000.0, 40001)
    args = make_case(rng, wn, [12000.0, 16956.17, 19999.9], nlay=2, dwn=0.5)
    ext, want = run_both(args, cutoff=300.0)
    assert np.array_equal(ext, want)


@pytest.mark.parametrize("ext_layout", range(5))
@pytest.mark.parametrize("wing_layout", range(5))
def test_layouts_give_the_same_result(rng, ext_layout, wing_layout):
    args = make_case(rng, np.linspace(16900.0, 17000.0, 151), [16956.17, 16973.37], nlay=4, dwn=5.0)
    args["ext"] = rng.uniform(0, 1e-12, args["ext"].shape)
    ext0, want = run_both(args, detuning=5.0)
    assert np.array_equal(ext0, want)
    ext = layouts2(args["ext"])[ext_layout][1]
    wingamp = layouts2(args["wingamp"])[wing_layout][1]
    vectors = {k: layouts1(args[k])[(ext_layout + wing_layout) % 3][1]
               for k in ("press", "wn", "temp", "wn0", "oscstr", "dwn", "icenter")}
    call(**{**args, **vectors, "ext": ext, "wingamp": wingamp}, detuning=5.0)
    assert np.array_equal(ext, want)


# ---- edge cases ------------------------------------------------------------------------------

@pytest.mark.parametrize("empty", ["wn0", "temp", "wn"])
def test_empty_lines_layers_or_grid_leave_ext(rng, empty):
    args = make_case(rng, np.linspace(16900.0, 17000.0, 11), [16950.0], nlay=2, dwn=9.0, base=3.0)
    if empty == "wn0":
        args.update(wn0=np.zeros(0), oscstr=np.zeros(0), dwn=np.zeros(0),
                    icenter=np.zeros(0, INTC), wingamp=np.zeros((2, 0)))
    elif empty == "temp":
        args.update(temp=np.zeros(0), press=np.zeros(0), wingamp=np.zeros((0, 1)),
                    ext=np.zeros((0, 11)))
    else:
        # No sample: no centre index can be a sample, and none is looked at.
        args.update(wn=np.zeros(0), ext=np.full((2, 0), 3.0), icenter=np.array([5], INTC))
    before = args["ext"].copy()
    assert call(**args) == 1
    assert np.array_equal(args["ext"], before)


@pytest.mark.parametrize("wn0", [16000.0, 18000.0])
def test_window_without_samples_changes_nothing(rng, wn0):
    args = make_case(rng, np.linspace(16900.0, 17000.0, 11), [wn0], dwn=1e9)
    args["icenter"][:] = 5
    assert call(**args, cutoff=99.0) == 1
    assert np.all(args["ext"] == 0.0)


def test_window_is_closed_and_boundary_is_wing():
    # T = 500 K makes X = detuning exactly; the grid is dyadic so offsets are exact.
    wn = 1000.0 + np.arange(-12, 13) * 0.25
    args = dict(press=np.array([1e5]), wn=wn, temp=np.array([500.0]),
                wingamp=np.array([[3e-7]]), ext=np.zeros((1, 25)), wn0=np.array([1000.0]),
                oscstr=np.array([0.5]), dwn=np.array([0.0]), icenter=np.array([12], INTC))
    ext, want = run_both(args, cutoff=2.5, detuning=1.0)
    assert np.array_equal(ext, want)
    ext = ext[0]
    assert np.all(ext[:2] == 0.0) and np.all(ext[-2:] == 0.0)  # |d| = 3.0, 2.75: outside
    assert np.all(ext[2:23] > 0.0)  # d = -2.5 .. 2.5, both ends included
    assert ext[8] == ext[16] == K * 0.5 * 3e-7 / 1.0  # |d| = X: wing, value K f a / norm


def test_core_wing_boundary_is_continuous():
    wn = 1000.0 + np.arange(-400, 401) * 0.005
    temp, press, detuning, lorentz = 500.0, 2e6, 1.0, 0.071
    lhw = lorentz * press * math.pow(temp * 5e-4, -0.7) / 1.01e6
    core_at_x = (lhw / math.pi) / (detuning ** 2 + lhw ** 2)
    args = dict(press=np.array([press]), wn=wn, temp=np.array([temp]),
                wingamp=np.array([[core_at_x]]), ext=np.zeros((1, len(wn))),
                wn0=np.array([1000.0]), oscstr=np.array([1.0]), dwn=np.array([0.0]),
                icenter=np.array([400], INTC))
    call(**args, detuning=detuning, lorentz=lorentz, cutoff=2.0)
    ext = args["ext"][0]
    inside, at, outside = ext[400 + 199], ext[400 + 200], ext[400 + 201]
    assert at == pytest.approx(K * core_at_x, rel=1e-12)
    # Neighbours across the boundary differ by about one step of the profile's slope.
    assert inside == pytest.approx(at, rel=0.02) and outside == pytest.approx(at, rel=0.02)
    assert inside > at > outside


def unresolved(**kw):
    """One narrow line between coarse samples 5 and 6 of an 11-sample grid, 2 layers."""
    args = dict(press=np.array([1e4, 1e4]), wn=np.linspace(16900.0, 17000.0, 11),
                temp=np.array([1000.0, 1200.0]), wingamp=np.full((2, 1), 1e-8),
                ext=np.zeros((2, 11)), wn0=np.array([16951.0]), oscstr=np.array([0.6]),
                dwn=np.array([10.0]), icenter=np.array([5], INTC))
    args.update(kw)
    return args


def test_correction_restores_the_strength():
    args = unresolved()
    call(**args, detuning=60.0, cutoff=40.0)
    ext, wn = args["ext"], args["wn"]
    cells = np.array([cell(wn, j) for j in range(11)]) / 2
    core = np.abs(wn - 16951.0) < 60.0 * (args["temp"][:, None] * 0.002) ** 0.6
    window = np.abs(wn - 16951.0) <= 40.0
    for m in range(2):
        carried = (ext[m] * cells)[core[m] & window]
        assert carried.sum() == pytest.approx(K * 0.6, rel=1e-12)
    # Without the correction the coarse samples hold far less than the strength.
    raw = unresolved(dwn=np.array([0.0]))
    call(**raw, detuning=60.0, cutoff=40.0)
    assert (raw["ext"][0] * cells).sum() < 0.1 * K * 0.6


def test_correction_at_the_ends_of_the_grid():
    # Centre at sample 0, another core sample at the last one: both cells use the one-sided
    # spacing twice, and the conservation still holds with those cells.
    wn = np.array([16950.0, 16960.0, 16975.0])
    args = unresolved(wn=wn, ext=np.zeros((2, 3)), wn0=np.array([16951.0]),
                      icenter=np.array([0], INTC))
    ext, want = run_both(args, detuning=60.0, cutoff=40.0)
    assert np.array_equal(ext, want)
    cells = np.array([20.0, 25.0, 30.0]) / 2
    assert np.allclose(ext @ cells, K * 0.6, rtol=1e-12)
    # Centre at the last sample.
    args = unresolved(wn=wn, ext=np.zeros((2, 3)), wn0=np.array([16974.0]),
                      icenter=np.array([2], INTC))
    call(**args, detuning=60.0, cutoff=40.0)
    assert np.allclose(args["ext"] @ cells, K * 0.6, rtol=1e-12)


def test_one_sample_grid_keeps_the_core_value():
    args = unresolved(wn=np.array([16951.0]), ext=np.zeros((2, 1)),
                      icenter=np.array([0], INTC))
    ext, want = run_both(args, detuning=60.0, cutoff=40.0)
    assert np.array_equal(ext, want)
    assert np.all(ext > 1e-14)


def test_only_the_centre_in_the_core_means_no_correction():
    args = unresolved(ext=np.full((2, 11), 1.0))
    ext, want = run_both(args, detuning=3.0, cutoff=40.0)  # X < 9: only sample 5 is core
    assert np.array_equal(ext, want)
    assert np.all(ext[:, 5] > 1.0)  # the core value was added, not replaced


def test_correction_depends_on_the_layer():
    # Layer 0 is narrow (corrected), layer 1 broad enough (W >= 2 dwn) to keep its core.
    args = unresolved(press=np.array([1e4, 1e9]), ext=np.full((2, 11), 1e-9))
    ext, want = run_both(args, detuning=60.0, cutoff=40.0)
    assert np.array_equal(ext, want)
    assert ext[0, 5] < 1e-9 < ext[1, 5]  # replaced in layer 0, added to in layer 1


@pytest.mark.parametrize("icenter", [0, 10, 8])
def test_correction_writes_the_centre_outside_window_or_in_wing(icenter):
    args = unresolved(icenter=np.array([icenter], INTC))
    # Window 16936 .. 16966; the core reaches |d| < 19.1 and 21.3 in the two layers.
    ext, want = run_both(args, detuning=12.0, cutoff=15.0)
    assert np.array_equal(ext, want)
    assert np.all(ext[:, icenter] != 0.0)


def test_line_order_matters_only_at_corrected_centres():
    wn = np.linspace(16900.0, 17000.0, 21)
    base = dict(press=np.array([1e4, 3e4, 1e9]), wn=wn, temp=np.array([900.0, 1500.0, 2000.0]),
                wingamp=np.array([[1e-8, 2e-8]] * 3), wn0=np.array([16951.0, 16956.5]),
                oscstr=np.array([0.3, 0.6]), dwn=np.array([5.0, 5.0]),
                icenter=np.array([10, 11], INTC))
    fwd = dict(base, ext=np.zeros((3, 21)))
    want = reference(**fwd, **{**SODIUM, "detuning": 40.0, "cutoff": 30.0})
    rev = {k: (v[..., ::-1].copy() if k in ("wingamp", "wn0", "oscstr", "dwn", "icenter")
               else v) for k, v in base.items()}
    rev["ext"] = np.zeros((3, 21))
    call(**fwd, detuning=40.0, cutoff=30.0)
    call(**rev, detuning=40.0, cutoff=30.0)
    differ = fwd["ext"] != rev["ext"]
    assert differ[:2].any() and not differ[2].any()  # layer 2 is resolved: nothing corrected
    rows, cols = np.nonzero(differ)
    assert set(cols) <= {10, 11}
    assert np.array_equal(fwd["ext"], want)


def test_isolated_resolved_line_integrates_to_its_strength():
    # All core (X beyond the window): the sampled Lorentz profile integrates over |d| <= cutoff
    # to (2/pi) atan(cutoff / L) of the strength K f / norm.
    wn = np.linspace(16950.0, 16962.0, 240_001)
    temp, press, lorentz, norm, cutoff = 1500.0, 3e6, 0.071, 2.5, 5.0
    args = dict(press=np.array([press]), wn=wn, temp=np.array([temp]), wingamp=np.zeros((1, 1)),
                ext=np.zeros((1, len(wn))), wn0=np.array([16956.0]), oscstr=np.array([0.7]),
                dwn=np.array([0.0]), icenter=np.array([120_000], INTC))
    call(**args, lorentz=lorentz, norm=norm, cutoff=cutoff, detuning=1e3)
    lhw = lorentz * press * (temp / 2000) ** -0.7 / 1.01e6
    y = args["ext"][0]
    area = np.sum((y[1:] + y[:-1]) * np.diff(wn)) / 2
    assert area == pytest.approx(K * 0.7 / norm * (2 / math.pi) * math.atan(cutoff / lhw),
                                 rel=1e-5)


def test_non_ascending_grid_loses_samples_after_the_window():
    wn = np.array([16950.0, 16990.0, 16951.0, 16952.0])
    args = unresolved(wn=wn, ext=np.zeros((2, 4)), icenter=np.array([0], INTC),
                      dwn=np.array([0.0]))
    call(**args, detuning=60.0, cutoff=20.0)
    assert np.all(args["ext"][:, 0] > 0.0) and np.all(args["ext"][:, 1:] == 0.0)


def test_ieee_values_pass_through():
    args = unresolved(dwn=np.array([0.0]))
    call(**args, norm=0.0, detuning=60.0, cutoff=40.0)
    assert np.all(np.isinf(args["ext"][:, 2:10])) and np.all(args["ext"][:, [0, 1, 10]] == 0)
    # Zero pressure: L = 0, so the core is zero off the centre and 0/0 on it.
    args = unresolved(press=np.zeros(2), wn0=np.array([16950.0]), dwn=np.array([0.0]))
    call(**args, detuning=60.0, cutoff=40.0)
    core = args["ext"][:, 1:10]
    assert np.all(np.isnan(core[:, 4])) and np.all(np.delete(core, 4, axis=1) == 0.0)


def test_docstring():
    lines = ["TBD", "", "Parameters", "----------", "wn: 1D float ndarray",
             "    Wavenumber spectrum (cm-1).", "temp: 1D float ndarray",
             "    Temperature at each layer (K).", "TBD", "", "Returns", "-------", "TBD"]
    want = lines[0].ljust(64) + "\n" + "".join(s.ljust(65) + "\n" for s in lines[1:])
    assert _alkali.alkali_cross_section.__doc__ == want
    assert [n for n in vars(_alkali) if not n.startswith("_")] == ["alkali_cross_section"]


# ---- bad input -----------------------------------------------------------------------------

def good():
    return unresolved(ext=np.full((2, 11), 0.5))


F32, I64 = np.float32, np.int64
ORDER = ["press", "wn", "temp", "wingamp", "ext", "wn0", "oscstr", "dwn", "icenter"]


def bad(**changes):
    args = good()
    args.update({k: v(args[k]) if callable(v) else v for k, v in changes.items()})
    return args


BAD = [
    # not an array
    *[(dict([(k, lambda a: a.tolist())]), TypeError, f"{k} must be a numpy.ndarray")
      for k in ORDER],
    # wrong dtype
    *[(dict([(k, lambda a: a.astype(F32))]), TypeError, f"{k} must have dtype float64")
      for k in ORDER if k != "icenter"],
    (dict(icenter=lambda a: a.astype(I64)), TypeError, "icenter must have dtype int32"),
    (dict(wn=lambda a: a.astype(">f8")), TypeError, "wn must have dtype float64"),
    # wrong number of dimensions
    *[(dict([(k, lambda a: a[None])]), ValueError, f"{k} must be 1-dimensional")
      for k in ORDER if k not in ("wingamp", "ext")],
    (dict(ext=lambda a: a[0]), ValueError, "ext must be 2-dimensional"),
    (dict(wingamp=lambda a: a[..., None]), ValueError, "wingamp must be 2-dimensional"),
    # too short for the layers, lines and samples
    (dict(press=lambda a: a[:1]), ValueError, "press must have at least 2 elements"),
    (dict(wingamp=lambda a: a[:1]), ValueError, "wingamp must have at least 2 rows"),
    (dict(wingamp=lambda a: a[:, :0]), ValueError, "wingamp must have at least 1 columns"),
    (dict(ext=lambda a: a[:1]), ValueError, "ext must have at least 2 rows"),
    (dict(ext=lambda a: a[:, :10]), ValueError, "ext must have at least 11 columns"),
    (dict(oscstr=lambda a: a[:0]), ValueError, "oscstr must have at least 1 elements"),
    (dict(dwn=lambda a: a[:0]), ValueError, "dwn must have at least 1 elements"),
    (dict(icenter=lambda a: a[:0]), ValueError, "icenter must have at least 1 elements"),
    # written but read-only
    (dict(ext=lambda a: np.broadcast_to(a, a.shape)), ValueError, "ext must be writeable"),
    # centre indices outside the grid (the first line is valid and must not be written)
    (dict(icenter=np.array([5, 11], INTC), wn0=np.array([16951.0, 16960.0]),
          oscstr=np.ones(2), dwn=np.ones(2), wingamp=np.ones((2, 2))),
     ValueError, r"icenter\[1\] = 11 is not a sample of wn \(0 to 10\)"),
    (dict(icenter=np.array([-1], INTC)), ValueError, r"icenter\[0\] = -1 is not a sample"),
]


@pytest.mark.parametrize("changes, exc, match", BAD)
def test_bad_input_is_rejected_before_any_write(changes, exc, match):
    args = bad(**changes)
    values = [args[k] for k in ORDER[:5]] + [30.0, 22.99, 0.071, 1.0, 40.0] + \
        [args[k] for k in ORDER[5:]]
    assert_rejects(_alkali.alkali_cross_section, values, exc, match)


@pytest.mark.parametrize("values, match", [
    (lambda v: v[:13], "takes exactly 14 arguments"),
    (lambda v: v[:5] + ["30"] + v[6:], "alkali_cross_section: detuning must be a real number, got str"),
])
def test_parse_errors(values, match):
    args = good()
    v = [args[k] for k in ORDER[:5]] + [30.0, 22.99, 0.071, 1.0, 40.0] + \
        [args[k] for k in ORDER[5:]]
    assert_rejects(_alkali.alkali_cross_section, values(v), TypeError, match)
