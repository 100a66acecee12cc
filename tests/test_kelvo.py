"""exokern._kelvo: the xi term with its second exponential integral E2, and the profiles.

E2 is not exported on its own, so it is checked in two steps: `e2_ref` below, written out in
the kernel's order of arithmetic, is compared with scipy.special.expn(2, x), and the native xi
is compared bit for bit with `xi_ref`, which is built on `e2_ref`.
"""

import ctypes
import doctest
import math
import os
import subprocess
import sys

import numpy as np
import pytest
from scipy.special import expn

from exokern import _kelvo
from helpers import assert_rejects, flush_c_stdout, layouts1, native
from reference import c_exp10 as exp10

PSI2 = 0.42278433509846713
TWO_THIRDS = 2.0 / 3.0
UPPER = 88.02969193111305
TOL = 2.0**-56


def e2_fraction(x):
    pprev, qprev, p, q = 1.0, x, 1.0, x + 2.0
    f = 1.0 / (x + 2.0)
    k = 1
    while True:
        k += 1
        a, b = (float(k // 2), x) if k % 2 == 0 else (float(2 + (k - 1) // 2), 1.0)
        pnew = b * p + a * pprev
        qnew = b * q + a * qprev
        d = 1.0
        if qnew != 0.0:
            fnew = pnew / qnew
            d = abs((f - fnew) / fnew)
            f = fnew
        if abs(pnew) > 2.0**57:
            p, q, pnew, qnew = (v * 2.0**-57 for v in (p, q, pnew, qnew))
        pprev, qprev, p, q = p, q, pnew, qnew
        if d <= TOL:
            return f * math.exp(-x)


def e2_series(x):
    term, s, k = 1.0, -1.0, 0
    while True:
        k += 1
        term = (term * -x) / k
        if k > 1:
            s += term / (k - 1)
        if (abs(term / s) if s != 0.0 else 1.0) <= TOL:
            return ((PSI2 - math.log(x)) * -x) / math.gamma(2.0) - s


def e2_ref(x):
    if not x >= 0.0:
        return math.inf
    if x > UPPER:
        return 0.0
    if x == 0.0:
        return 1.0
    return e2_fraction(x) if x > 1.0 else e2_series(x)


def xi_ref(gamma, tau, e2=None):
    """xi(gamma, tau), with E2(gamma tau) from e2_ref unless given."""
    x = tau * gamma
    e2 = e2_ref(x) if e2 is None else e2
    e = math.exp(-tau * gamma)
    a = gamma - (0.5 * tau * tau) * gamma
    b = (1.0 + (x * 0.5) * e - e) / gamma
    return TWO_THIRDS * (b + a * e2) + TWO_THIRDS


def guillot_ref(params, pressure, grav=None):
    kappa, gamma1, gamma2 = (exp10(float(v)) for v in params[:3])
    alpha, t_irr, t_int = (float(v) for v in params[3:6])
    t_irr4 = (t_irr * t_irr) * (t_irr * t_irr)
    t_int4 = (t_int * t_int) * (t_int * t_int)
    out = []
    for i, p in enumerate(pressure):
        tau = (float(p) * kappa) / (1.0 if grav is None else float(grav[i]))
        xi1, xi2 = xi_ref(gamma1, tau), xi_ref(gamma2, tau)
        w = xi1 + alpha * (xi2 - xi1)
        out.append(math.sqrt(math.sqrt(0.75 * (t_irr4 * w + t_int4 * (tau + TWO_THIRDS)))))
    return np.array(out, dtype=float)


@pytest.fixture(scope="module")
def xi():
    f = native(_kelvo).xi
    f.restype, f.argtypes = ctypes.c_double, [ctypes.c_double, ctypes.c_double]
    return f


def bits(v):
    return np.float64(v).view(np.int64)


# ---- E2 and xi -------------------------------------------------------------------------

SERIES_X = [2.0**-60, 1e-12, 1e-6, 0.01, 0.1, 0.3, 0.5, 0.75, 0.999, np.nextafter(1.0, 0.0), 1.0]
FRACTION_X = [np.nextafter(1.0, 2.0), 1.0 + 1e-9, 1.001, 1.5, 2.0, 3.7, 10.0, 25.0, 50.0, 80.0,
              88.0, UPPER]


@pytest.mark.parametrize("x", SERIES_X + FRACTION_X + list(np.linspace(0.05, 88.0, 200)))
def test_e2_ref_matches_scipy(x):
    # scipy's expn is an independent implementation; both should be good to a few ulp.
    assert e2_ref(x) == pytest.approx(float(expn(2, x)), rel=1e-14, abs=0)


@pytest.mark.parametrize("x, e2", [(0.5, 0.326643862325), (1.0, 0.148495506776),
                                   (2.0, 0.0375342618205), (88.0, 6.7e-41)])
def test_e2_tabulated(x, e2):
    assert e2_ref(x) == pytest.approx(e2, rel=1e-11 if x < 88 else 1e-2)


def test_e2_branches_agree_at_one():
    assert e2_series(1.0) == pytest.approx(e2_fraction(1.0), rel=4e-16)


GAMMAS = [1e-3, 0.0158, 0.158, 1.0, 3.3, 10.0, 1e3]
TAUS = [0.0, 1e-12, 1e-5, 0.01, 0.3, 1.0, 1.4142, 2.0, 7.5, 30.0, 88.0, 1e3, 1e5]


@pytest.mark.parametrize("gamma", GAMMAS)
def test_xi_exact(xi, gamma):
    for tau in TAUS:
        assert bits(xi(gamma, tau)) == bits(xi_ref(gamma, tau)), (gamma, tau)


@pytest.mark.parametrize("x", SERIES_X + FRACTION_X + [np.nextafter(UPPER, 100.0), 100.0])
def test_xi_exact_at_branch_points(xi, x):
    # With gamma = 1 the argument of E2 is tau itself.
    assert bits(xi(1.0, x)) == bits(xi_ref(1.0, x))


def test_xi_against_scipy_formula(xi, rng):
    gamma = 10.0 ** rng.uniform(-3, 2, 400)
    tau = 10.0 ** rng.uniform(-8, 3, 400)
    x = gamma * tau
    e = np.exp(-x)
    want = 2 / 3 + 2 / 3 * ((1 + (x / 2 - 1) * e) / gamma + gamma * (1 - tau**2 / 2) * expn(2, x))
    got = np.array([xi(g, t) for g, t in zip(gamma, tau)])
    # Both sides round the same formula differently, which costs more near cancellations.
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=0)


def test_xi_small_x_closed_form(xi):
    # x <= 2^-56 stops the series after one step: E2 = 1 - x (psi(2) - ln x).
    for x in [2.0**-56, 2.0**-60, 1e-30, 5e-324]:
        assert xi(1.0, x) == xi_ref(1.0, x, e2=1.0 - x * (PSI2 - math.log(x)))


def test_xi_upper_limit(xi):
    # With tau = 2^600, (tau^2 / 2) gamma overflows, so A = -inf and the E2 value shows as
    # A * E2: -inf for a positive E2, NaN for E2 = 0 above the limit.
    tau = 2.0**600
    assert xi(UPPER / tau, tau) == -math.inf
    assert xi(88.0 / tau, tau) == -math.inf
    assert math.isnan(xi(np.nextafter(UPPER, 100.0) / tau, tau))
    assert math.isnan(xi(1000.0 / tau, tau))


def test_xi_special_values(xi):
    assert xi(1.0, 0.0) == 4.0 / 3.0
    for gamma in GAMMAS:
        assert xi(gamma, 0.0) == TWO_THIRDS * gamma + TWO_THIRDS
    assert math.isnan(xi(0.0, 1.0))  # B = 0 / 0
    assert math.isnan(xi(1.0, math.inf))  # E2 = 0, but B = (1 + inf * 0 - 0) / 1


def test_xi_negative_zero_is_in_domain(xi, capfd):
    flush_c_stdout()
    capfd.readouterr()
    assert xi(-1.0, 0.0) == TWO_THIRDS * -1.0 + TWO_THIRDS  # x = -0.0: E2 = 1
    flush_c_stdout()
    assert capfd.readouterr().out == ""


def test_xi_not_a_python_method():
    assert not hasattr(_kelvo, "xi")


@pytest.mark.parametrize("gamma, tau, text, want", [
    (1.0, -1.0, "-1", math.inf),  # E2 = +inf times A = 1/2
    (2.0, -0.25, "-0.5", math.inf),
    (1.0, -2.0, "-2", -math.inf),  # A = -1
    (1.0, -math.sqrt(2.0), "-1.41421", -math.inf),  # A = 1 - (2 + 2^-51) / 2 < 0
    (1.0, math.nan, "nan", math.nan),
    (-3.0, 1e-5, "-3e-05", -math.inf),  # A has the sign of gamma
    (1.0, -1e300, "-1e+300", -math.inf),
])
def test_xi_domain_error(xi, capfd, gamma, tau, text, want):
    flush_c_stdout()
    capfd.readouterr()
    got = xi(gamma, tau)
    assert got == want or (math.isnan(got) and math.isnan(want))
    xi(gamma, tau)
    flush_c_stdout()
    # Once per call.
    assert capfd.readouterr().out == f"Domain error, x ({text}) must be >= 0.\n" * 2


# ---- guillot ----------------------------------------------------------------------------

EXAMPLE_PARAMS = np.array([-1.5, -0.8, -0.8, 0.5, 1200.0, 100.0])
EXAMPLE_PRESSURE = np.array([10.0 ** (-8 + 10 * k / 19) * 1e6 for k in range(20)])
EXAMPLE_T = [1046.89057361, 1046.8906572, 1046.89094586, 1046.89194204, 1046.89537746,
             1046.9072167, 1046.94798848, 1047.08827618, 1047.57026844, 1049.22033981,
             1054.80921126, 1073.11749958, 1127.5360275, 1256.04683354, 1458.34379995,
             1623.82740006, 1659.07947584, 1659.7176149, 1660.94856336, 1665.06440703]


def random_profile(rng, n=60):
    params = np.array([rng.uniform(-3, 0), rng.uniform(-2, 1), rng.uniform(-2, 1),
                       rng.uniform(0, 1), rng.uniform(500, 2500), rng.uniform(50, 300)])
    pressure = np.logspace(-2, 8, n) * rng.uniform(0.5, 2.0, n)
    return params, pressure, rng.uniform(500.0, 5000.0, n)


def test_worked_example():
    temp = _kelvo.guillot(EXAMPLE_PARAMS, EXAMPLE_PRESSURE, np.full(20, 2200.0))
    assert temp.dtype == np.float64 and temp.shape == (20,)
    assert [f"{t:.8f}" for t in temp] == [f"{t:.8f}" for t in EXAMPLE_T]


def test_docstring_example_runs():
    test = doctest.DocTestParser().get_doctest(_kelvo.guillot.__doc__, {}, "_kelvo.guillot",
                                               None, 0)
    assert test.examples and "print(temp)" in test.examples[-1].source
    report = []
    result = doctest.DocTestRunner(verbose=False).run(test, out=report.append)
    assert result.failed == 0, "".join(report)


@pytest.fixture(params=_kelvo._simd_paths)
def path(request):
    before = _kelvo._set_simd(request.param)
    yield request.param
    _kelvo._set_simd(before)


@pytest.mark.parametrize("n", [3, 60, 61])  # no full vector, full vectors, and a tail
def test_guillot_exact(rng, path, n):
    for _ in range(5):
        params, pressure, grav = random_profile(rng, n)
        pressure[n // 2] = 0.0  # E2(0) = 1 in the middle of a vector
        assert np.array_equal(_kelvo.guillot(params, pressure, grav),
                              guillot_ref(params, pressure, grav))
        assert np.array_equal(_kelvo.guillot(params, pressure), guillot_ref(params, pressure))


def test_guillot_layouts(rng):
    params, pressure, grav = random_profile(rng, 17)
    want = _kelvo.guillot(params, pressure, grav)
    for (_, pv), (_, pp), (_, gv) in zip(layouts1(params), layouts1(pressure), layouts1(grav)):
        assert np.array_equal(_kelvo.guillot(pv, pp, gv), want)
    # A longer gravity array is read only as far as the layers go.
    assert np.array_equal(_kelvo.guillot(params, pressure, np.append(grav, -1.0)), want)
    # Only the first six parameters are read.
    assert np.array_equal(_kelvo.guillot(np.append(params, np.nan), pressure, grav), want)


def test_guillot_without_grav_is_unit_gravity(rng):
    params, pressure, _ = random_profile(rng)
    assert np.array_equal(_kelvo.guillot(params, pressure),
                          _kelvo.guillot(params, pressure, np.ones(len(pressure))))


@pytest.mark.parametrize("args", [(np.empty(0),), (np.empty(0), np.empty(0)),
                                  (np.empty(0), np.ones(3))])
def test_guillot_empty(args):
    out = _kelvo.guillot(EXAMPLE_PARAMS, *args)
    assert out.dtype == np.float64 and out.shape == (0,)


def test_guillot_alpha_limits(rng):
    params, pressure, grav = random_profile(rng)
    p0, p1, same = params.copy(), params.copy(), params.copy()
    p0[3], p1[3] = 0.0, 1.0
    only1, only2 = params.copy(), params.copy()
    only1[2] = params[1]
    only2[1] = params[2]
    # alpha = 0 leaves xi1 + 0 * (xi2 - xi1) = xi1 exactly; alpha = 1 adds and removes xi1.
    assert np.array_equal(_kelvo.guillot(p0, pressure, grav), _kelvo.guillot(only1, pressure, grav))
    np.testing.assert_allclose(_kelvo.guillot(p1, pressure, grav),
                               _kelvo.guillot(only2, pressure, grav), rtol=2.0**-52, atol=0)
    same[2] = same[1]
    base = _kelvo.guillot(same, pressure, grav)
    for alpha in [0.0, 0.3, 1.0, 7.0]:
        same[3] = alpha
        assert np.array_equal(_kelvo.guillot(same, pressure, grav), base)


@pytest.mark.parametrize("params", [EXAMPLE_PARAMS, [-2.0, 0.5, -1.5, 0.2, 1500.0, 200.0],
                                    [0.0, 0.0, 0.0, 1.0, 800.0, 0.0]])
def test_guillot_zero_pressure(params):
    params = np.asarray(params, dtype=float)
    g1, g2 = 10.0 ** params[1], 10.0 ** params[2]
    alpha, t_irr, t_int = params[3:6]
    t4 = t_int**4 / 2 + t_irr**4 / 2 * (1 + (1 - alpha) * g1 + alpha * g2)
    temp = _kelvo.guillot(params, np.zeros(3), np.full(3, 2200.0))
    np.testing.assert_allclose(temp, t4**0.25, rtol=1e-14, atol=0)
    assert temp[0] == temp[1] == temp[2]


def test_guillot_zero_pressure_example_value():
    temp = _kelvo.guillot(EXAMPLE_PARAMS, np.zeros(1))
    assert temp[0] == pytest.approx(1046.89054, abs=1e-5) and temp[0] < EXAMPLE_T[0]


def test_guillot_negative_depth_messages(capfd, path):
    # Each of the two xi calls of a bad layer prints one line, first stream first, in the
    # order of the layers on every path.
    params = np.array([0.0, 0.0, 1.0, 0.5, 1200.0, 100.0])
    pressure = np.array([1.0, -1.0, 0.5, -0.25])
    flush_c_stdout()
    capfd.readouterr()
    temp = _kelvo.guillot(params, pressure)
    # No flush here: guillot flushes C's stdout itself after printing.
    out = capfd.readouterr().out
    assert out == ("Domain error, x (-1) must be >= 0.\n" "Domain error, x (-10) must be >= 0.\n"
                   "Domain error, x (-0.25) must be >= 0.\n"
                   "Domain error, x (-2.5) must be >= 0.\n")
    assert np.isfinite(temp[[0, 2]]).all() and not np.isfinite(temp[[1, 3]]).any()
    np.testing.assert_array_equal(temp, guillot_ref(params, pressure))
    # Negative gravity is the same optical depth.
    again = _kelvo.guillot(params, -pressure, -np.ones(4))
    assert np.array_equal(again, temp, equal_nan=True)
    capfd.readouterr()


def test_guillot_flushes_its_messages():
    # Into a pipe C's stdout is fully buffered (unless Python runs unbuffered, which makes it
    # unbuffered too): without guillot's flush the message would come out at exit, after the
    # text written straight to the file descriptor.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    script = (
        "import os, numpy as np\n"
        "from exokern import _kelvo\n"
        "os.write(1, b'before\\n')\n"
        "_kelvo.guillot(np.array([0.0, 0.0, 0.0, 0.0, 1.0, 1.0]), np.array([-2.0]))\n"
        "os.write(1, b'after\\n')\n"
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True, env=env)
    assert run.stdout == "before\n" + "Domain error, x (-2) must be >= 0.\n" * 2 + "after\n"


def test_guillot_quiet_for_valid_input(capfd):
    flush_c_stdout()
    capfd.readouterr()
    _kelvo.guillot(EXAMPLE_PARAMS, EXAMPLE_PRESSURE)
    flush_c_stdout()
    assert capfd.readouterr().out == ""


# ---- isothermal -------------------------------------------------------------------------

@pytest.mark.parametrize("t0, n, want", [
    ([1500.0, 900.0], 3, [1500.0] * 3),
    ([273.15], 1, [273.15]),
    ([np.nan], 2, [np.nan] * 2),
    ([], 0, []),
    ([5.0], 0, []),
])
def test_isothermal(t0, n, want):
    out = _kelvo.isothermal(np.array(t0, dtype=float), n)
    assert out.dtype == np.float64 and out.shape == (n,)
    np.testing.assert_array_equal(out, want)


def test_isothermal_views():
    t0 = np.array([1500.0, 900.0, 300.0])
    for _, view in layouts1(t0):
        assert np.array_equal(_kelvo.isothermal(view, 4), np.full(4, 1500.0))
    assert np.array_equal(_kelvo.isothermal(t0[::-1], 2), [300.0, 300.0])


def test_isothermal_negative_count_is_numpys_error():
    t0 = np.array([1500.0])
    assert_rejects(_kelvo.isothermal, (t0, -1), ValueError, "negative dimensions")


# ---- docstrings -------------------------------------------------------------------------

ISOTHERMAL_DOC = [
    "Generate an isothermal temperature profile.", "", "Inputs", "------",
    "T0: 1D float array", "    Atmospheric temperature (in Kelvin).", "nlayers: integer",
    "    Number of atmospheric layers.", "", "Returns", "-------", "T: 1D float ndarray",
    "    Temperature profile.",
]

GUILLOT_ENTRIES = [
    (0, "params: 1D float ndarray"),
    (2, "Array of free parameters:"),
    (3, "log10(kappa):  Planck thermal IR opacity in units cm^2/gr"),
    (3, "log10(gamma1): Visible-to-thermal stream Planck mean opacity ratio"),
    (3, "log10(gamma2): Visible-to-thermal stream Planck mean opacity ratio"),
    (3, "alpha: Weight partition between visible-streams (0.0--1.0)"),
    (3, "t_irr: Stellar irradiation temperature (Kelvin degree)"),
    (10, "A good guess is the planet's equilibrium temperature."),
    (3, "t_int: Planetary internal heat flux (in Kelvin degrees)"),
    (0, "pressure: 1D float ndarray"),
    (4, "Atmospheric pressure array (barye)."),
    (0, "grav: 1D flaot ndarray (optional)"),
    (4, "Atmospheric gravity at each pressure layer (cm s-2)."),
]


def padded(lines, width, first):
    return [lines[0].ljust(first)] + [line.ljust(width) for line in lines[1:-1]] + lines[-1:]


def test_module_docstring():
    assert _kelvo.__doc__ == "Python wrapper for the temperature-profile models."


def test_isothermal_docstring():
    assert _kelvo.isothermal.__doc__ == "\n".join(padded(ISOTHERMAL_DOC, 44, 43))


def test_guillot_docstring():
    lines = _kelvo.guillot.__doc__.split("\n")
    grav = lines.index("    Atmospheric gravity at each pressure layer (cm s-2).".ljust(69))
    head, tail = lines[:grav + 1], lines[grav + 1:]
    assert head[0] == "Generate a temperature profile based on the three-channel Eddington "
    assert all(line == line.rstrip().ljust(69) for line in head[1:])
    assert [line.rstrip() for line in head[3:6]] == ["", "Inputs", "------"]
    assert [(len(s) - len(s.lstrip()), s.strip()) for s in head[6:]] == GUILLOT_ENTRIES
    stripped = [line.rstrip() for line in tail]
    assert stripped[:8] == ["", "Returns", "-------", "temperature: 1D float ndarray",
                            "    Temperature at each pressure layer (Kelvin degree).", "",
                            "Example", "-------"]
    # Padded to 60 blanks from here on, longer lines and the last one as they are.
    assert all(line == line.rstrip().ljust(60) for line in tail[:-1])
    assert tail[-1] == stripped[-1]


# ---- bad input --------------------------------------------------------------------------

P6 = EXAMPLE_PARAMS
PRESS = np.ones(3)

BAD = [
    ("guillot", (P6,), TypeError, r"guillot\(\) takes at least 2 arguments \(1 given\)"),
    ("guillot", (P6, PRESS, PRESS, PRESS), TypeError, r"guillot\(\) takes at most 3 arguments"),
    ("guillot", (list(P6), PRESS), TypeError, r"guillot: params must be a numpy.ndarray, got list"),
    ("guillot", (P6.astype(np.float32), PRESS), TypeError,
     r"guillot: params must have dtype float64, got float32"),
    ("guillot", (P6.reshape(2, 3), PRESS), ValueError, r"params must be 1-dimensional, got 2"),
    ("guillot", (P6[:5], PRESS), ValueError, r"guillot: params must have at least 6 .*got 5"),
    ("guillot", (np.empty(0), np.empty(0)), ValueError, r"params must have at least 6 elements"),
    ("guillot", (P6, 1.0), TypeError, r"guillot: pressure must be a numpy.ndarray, got float"),
    ("guillot", (P6, np.ones(3, np.intc)), TypeError, r"pressure must have dtype float64"),
    ("guillot", (P6, np.ones((3, 1))), ValueError, r"pressure must be 1-dimensional, got 2"),
    ("guillot", (P6, np.array(1.0)), ValueError, r"pressure must be 1-dimensional, got 0"),
    ("guillot", (P6, PRESS, None), TypeError, r"grav must be a numpy.ndarray, got NoneType"),
    ("guillot", (P6, PRESS, np.ones(3, int)), TypeError, r"grav must have dtype float64, got int"),
    ("guillot", (P6, PRESS, PRESS.astype(">f8")), TypeError, r"grav must have dtype float64"),
    ("guillot", (P6, PRESS, np.ones((3, 3))), ValueError, r"grav must be 1-dimensional"),
    ("guillot", (P6, PRESS, np.ones(2)), ValueError,
     r"guillot: grav must have at least 3 elements \(one per layer of pressure\), got 2"),
    ("isothermal", (np.ones(1),), TypeError, r"isothermal\(\) takes exactly 2 arguments"),
    ("isothermal", ([1500.0], 3), TypeError, r"isothermal: T0 must be a numpy.ndarray, got list"),
    ("isothermal", (1500.0, 0), TypeError, r"T0 must be a numpy.ndarray, got float"),
    ("isothermal", (np.ones(1, np.float32), 3), TypeError, r"T0 must have dtype float64"),
    ("isothermal", (np.array(1500.0), 3), ValueError, r"T0 must be 1-dimensional, got 0"),
    ("isothermal", (np.ones((1, 1)), 3), ValueError, r"T0 must be 1-dimensional, got 2"),
    ("isothermal", (np.empty(0), 3), ValueError, r"isothermal: T0 must have at least 1 element"),
    ("isothermal", (np.ones(1), 2.0), TypeError, r"integer"),
    ("isothermal", (np.ones(1), 2**31), OverflowError, r"isothermal: nlayers must fit in a 32-bit int"),
]


@pytest.mark.parametrize("method, args, exc, match", BAD)
def test_bad_input(method, args, exc, match):
    assert_rejects(getattr(_kelvo, method), args, exc, match)
