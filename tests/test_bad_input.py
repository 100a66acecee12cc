"""Bad input to the _quadra methods: a clear exception, and every array left as it was.

The other modules keep their tables beside their own tests; they share helpers.assert_rejects.
"""

import numpy as np
import pytest

from exokern import _quadra
from helpers import assert_rejects

I = np.intc


def f(*values):
    return np.array(values, dtype=float)


def ro(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def misaligned(n):
    return np.frombuffer(bytearray(8 * n + 1), dtype=float, offset=1, count=n)


D2 = np.ones((3, 2))
H2 = f(1, 1)
DEEP = np.array([-1, -1], I)
TAU = np.cumsum(np.ones((4, 2)), axis=0)
BOT = np.array([3, 2], I)
MU = f(1.0, 0.5)

CASES = [
    # method, args, exception, message pattern
    ("trapz", ([1.0, 2.0], H2[:1]), TypeError, r"trapz: data must be a numpy.ndarray, got list"),
    ("trapz", (np.arange(3), H2), TypeError, r"trapz: data must have dtype float64, got int64"),
    ("trapz", (f(1, 2, 3).astype(np.float32), H2), TypeError, r"got float32"),
    ("trapz", (f(1, 2, 3).astype(">f8"), H2), TypeError, r"data must have dtype float64, got >f8"),
    ("trapz", (np.ones((3, 1)), H2), ValueError, r"trapz: data must be 1-dimensional, got 2"),
    ("trapz", (np.float64(1.0), H2), TypeError, r"data must be a numpy.ndarray"),
    ("trapz", (np.array(1.0), H2), ValueError, r"must be 1-dimensional, got 0-dimensional"),
    ("trapz", (f(1, 2), H2), ValueError, r"data must have at least 3 elements .*got 2"),
    ("trapz", (misaligned(3), H2), ValueError, r"data must be aligned"),
    ("trapz", (f(1, 2, 3), np.ones(2, I)), TypeError, r"intervals must have dtype float64"),
    ("trapz2D", (f(1, 2, 3), H2, np.array([1], I)), ValueError, r"data must be 2-dimensional"),
    ("trapz2D", (D2, H2, np.array([1, 1])), TypeError, r"nint must have dtype int32 \(numpy.intc\)"),
    ("trapz2D", (D2, H2, np.array([1], I)), ValueError, r"nint must have at least 2 elements"),
    ("trapz2D", (D2, H2, np.array([1, 3], I)), ValueError, r"nint\[1\] = 3 needs 4 rows of data, got 3"),
    ("trapz2D", (D2, H2[:1], np.array([2, 0], I)), ValueError, r"nint\[0\] = 2 needs 2 elements of intervals, got 1"),
    ("trapz2D", (D2, np.ones((2, 1)), np.array([1, 1], I)), ValueError, r"intervals must be 1-dimensional"),
    ("cumtrapz", (ro(np.zeros(3)), f(1, 2, 3), H2, 1.0), ValueError, r"cumtrapz: output must be writeable"),
    ("cumtrapz", (np.zeros(2), f(1, 2, 3), H2, 1.0), ValueError, r"output must have at least 3 elements"),
    ("cumtrapz", (np.zeros(0), f(), f(), 1.0), ValueError, r"output must have at least 1 elements"),
    ("cumtrapz", (np.zeros(3), f(1, 2), H2, 1.0), ValueError, r"data must have at least 3 elements"),
    ("cumtrapz", (np.zeros(3, np.float32), f(1, 2, 3), H2, 1.0), TypeError, r"output must have dtype float64"),
    ("cumtrapz", ([0.0, 0.0, 0.0], f(1, 2, 3), H2, 1.0), TypeError, r"output must be a numpy.ndarray"),
    ("optdepth", (D2, H2, 1.0, np.array([-1, -1]), 1), TypeError, r"optdepth: ideep must have dtype int32 \(numpy.intc\), got int64"),
    ("optdepth", (D2, H2, 1.0, ro(DEEP), 1), ValueError, r"ideep must be writeable"),
    ("optdepth", (D2, H2, 1.0, DEEP[:1], 1), ValueError, r"ideep must have at least 2 elements"),
    ("optdepth", (D2[:2], H2, 1.0, DEEP, 1), ValueError, r"data must have at least 3 rows .*got 2"),
    ("optdepth", (D2[0], H2, 1.0, DEEP, 1), ValueError, r"data must be 2-dimensional"),
    ("optdepth", (D2, [1.0, 1.0], 1.0, DEEP, 1), TypeError, r"intervals must be a numpy.ndarray"),
    ("cumoptdepth", (D2, H2, 1.0, np.array([-1, -1])), TypeError, r"cumoptdepth: ideep must have dtype int32 \(numpy.intc\), got int64"),
    ("cumoptdepth", (D2, H2, 1.0, ro(DEEP)), ValueError, r"cumoptdepth: ideep must be writeable"),
    ("cumoptdepth", (D2, H2, 1.0, DEEP[:1]), ValueError, r"ideep must have at least 2 elements"),
    ("cumoptdepth", (D2[:2], H2, 1.0, DEEP), ValueError, r"cumoptdepth: data must have at least 3 rows .*got 2"),
    ("intensity", (TAU, np.array([4, 2], I), TAU, MU, 0), ValueError, r"intensity: ideep\[0\] = 4 is not a row of tau \(0 to 3\)"),
    ("intensity", (TAU, np.array([3, -1], I), TAU, MU, 0), ValueError, r"ideep\[1\] = -1 is not a row"),
    ("intensity", (TAU, BOT, TAU, MU, -1), ValueError, r"rtop = -1 must not be negative"),
    ("intensity", (TAU, BOT, TAU[:3], MU, 0), ValueError, r"planck must have at least 4 rows"),
    ("intensity", (TAU, BOT, TAU[:, :1], MU, 0), ValueError, r"planck must have at least 2 columns"),
    ("intensity", (TAU, BOT[:1], TAU, MU, 0), ValueError, r"ideep must have at least 2 elements"),
    ("intensity", (TAU, BOT.astype(np.int16), TAU, MU, 0), TypeError, r"ideep must have dtype int32"),
    ("intensity", (TAU, BOT, TAU, MU[:, None], 0), ValueError, r"mu must be 1-dimensional"),
    ("intensity", (TAU.astype(np.float32), BOT, TAU, MU, 0), TypeError, r"tau must have dtype float64"),
    ("intensity", (TAU, BOT, TAU, MU, 2**31), OverflowError, r"int"),
]


@pytest.mark.parametrize("method, args, exc, match", CASES,
                         ids=[f"{c[0]}-{i}" for i, c in enumerate(CASES)])
def test_bad_input_raises_and_changes_nothing(method, args, exc, match):
    assert_rejects(getattr(_quadra, method), args, exc, match)


def test_rtop_may_be_negative_where_nothing_is_integrated():
    # ideep - rtop <= 1 reads only the bottom row, so a negative rtop there is no error.
    res = _quadra.intensity(TAU, np.array([0, 0], I), TAU, MU, -1)
    assert np.array_equal(res, np.array([[1.0, 1.0], [1.0, 1.0]]))


def test_checks_accept_valid_views_of_any_layout():
    data = np.ones((3, 8))[:, ::-2]  # reversed, strided columns
    res = _quadra.trapz2D(data, H2, np.full(4, 2, I))
    assert res.tolist() == [2.0] * 4
