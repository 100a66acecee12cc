"""Property tests of every Python method of the four modules (hypothesis).

Valid calls: random shapes, memory layouts (contiguous, Fortran order, strided with gaps,
reversed, zero strides of broadcast inputs) and values (NaN, infinities, signed zeros,
subnormals, huge and tiny magnitudes) give bit for bit what a plain Python loop of the
documented arithmetic gives: the same values, the same signs of zeros and infinities, NaN where
it gives NaN. A method writes only the elements it documents; every other byte of the caller's
buffers, the gaps between strided elements included, stays as it was.

Invalid calls: random mutations of a valid call (an argument that is no ndarray, of another
dtype or byte order, rank, length or alignment, a read-only output, an index outside its array,
a wrong argument count or scalar type, a Python int outside 32 bits) raise TypeError,
ValueError or OverflowError and leave every array exactly as it was.

The runs are derandomized, so CI tries the same cases every time. When the environment variable
EXOKERN_CASE_COUNTS names a file, the number of cases tried per class of bad input (and per
method) is written there as JSON at the end of the module.
"""

import collections
import json
import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from exokern import _alkali, _kelvo, _quadra, _simpson

import reference
from reference import INF, NAN, c_exp10, c_tgamma, div, exp, sqrt

INTC = np.intc
INT_MAX = 2**31 - 1
INT_MIN = -(2**31)

VALID_SETTINGS = settings(
    max_examples=150,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
BAD_SETTINGS = settings(VALID_SETTINGS, max_examples=20)



def same(a, b):
    """Bit-for-bit agreement up to NaN payloads: equal values, equal signs of zeros and
    infinities, NaN at the same places."""
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    if a.shape != b.shape:
        return False
    na, nb = np.isnan(a), np.isnan(b)
    return (np.array_equal(na, nb) and np.array_equal(a[~na], b[~nb])
            and np.array_equal(np.signbit(a[~na]), np.signbit(b[~nb])))


def same_buffer(a, b):
    return same(a, b) if a.dtype.kind == "f" else np.array_equal(a, b)


# ---- values and layouts ----------------------------------------------------------------------
SPECIALS = [0.0, -0.0, 1.0, -1.0, 0.5, -2.0, NAN, INF, -INF, 5e-324, -5e-324,
            2.225073858507201e-308, 2.2250738585072014e-308, 1e-310, -1e-310,
            1.7976931348623157e308, -1.7976931348623157e308, 1e-300, 1e300, 3.0]
ANY = st.one_of(st.sampled_from(SPECIALS), st.floats(-100.0, 100.0),
                st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True))
ORDINARY = st.one_of(st.floats(-10.0, 10.0), st.sampled_from([0.0, -0.0, 1.0, 0.25]))
POSITIVE = st.one_of(st.floats(1e-3, 10.0), st.sampled_from([0.0, 1.0, 0.5]))
FILLER = {"f": np.nan, "i": -123456}


def farray(shape, elements=ANY):
    return hnp.arrays(np.float64, shape, elements=elements)


def iarray(shape, lo, hi):
    return hnp.arrays(INTC, shape, elements=st.integers(lo, hi))


class Placed:
    """An array argument in some memory layout: `view` lies inside `buf`, which also holds
    filler around and between the elements, so that a stray write shows."""

    def __init__(self, buf, make, layout):
        self.buf = buf
        self.make = make
        self.layout = layout
        self.view = make(buf)

    def values(self):
        return np.array(self.view)

    def __repr__(self):
        with np.printoptions(threshold=40, edgeitems=3):
            return f"Placed({self.layout}, {self.values()!r})"


@st.composite
def placed(draw, values, writeable=False):
    """`values` (1-D or 2-D) in a layout drawn at random. Broadcast (zero-stride, read-only)
    layouts only for arguments the method does not write."""
    values = np.asarray(values)
    fill = FILLER[values.dtype.kind]
    kinds = ["contiguous", "strided", "reversed"] + ([] if writeable else ["broadcast"])
    if values.ndim == 2:
        kinds.append("fortran")
    kind = draw(st.sampled_from(kinds))
    if kind == "contiguous":
        p = Placed(values.copy(), lambda b: b, kind)
    elif kind == "fortran":
        p = Placed(np.asfortranarray(values), lambda b: b, kind)
    elif kind == "broadcast":
        if values.ndim == 1:
            first = values[:1].copy()
            n = len(values)
            p = Placed(first, lambda b: np.broadcast_to(b, (n,)) if n else b[:0], kind)
        else:
            rows, cols = values.shape
            axis = draw(st.sampled_from([0, 1]))
            line = values[:1, :].copy() if axis == 0 else values[:, :1].copy()
            if line.size == 0:
                line = np.zeros((1, cols) if axis == 0 else (rows, 1), values.dtype)
            p = Placed(line, lambda b: np.broadcast_to(b, (rows, cols)), f"broadcast-{axis}")
        return p
    elif values.ndim == 1:
        step = draw(st.sampled_from([2, 3])) if kind == "strided" else draw(
            st.sampled_from([-1, -2]))
        n, s = len(values), abs(step)
        buf = np.full(n * s + 2, fill, values.dtype)

        def make(b, n=n, s=s, step=step):
            v = b[1:1 + n * s:s]
            return v[::-1] if step < 0 else v
        p = Placed(buf, make, f"{kind}{step}")
        p.view[...] = values
    else:
        rows, cols = values.shape
        if kind == "strided":
            rs, cs = draw(st.sampled_from([(1, 1), (2, 1), (1, 2), (3, 2)]))
        else:
            rs, cs = draw(st.sampled_from([(-1, 1), (1, -1), (-1, -1), (-2, -3)]))
        order = draw(st.sampled_from("CF"))
        buf = np.full((rows * abs(rs) + 1, cols * abs(cs) + 2), fill, values.dtype, order=order)

        def make(b, rows=rows, cols=cols, rs=rs, cs=cs):
            v = b[1:1 + rows * abs(rs):abs(rs), 1:1 + cols * abs(cs):abs(cs)]
            return v[::-1 if rs < 0 else 1, ::-1 if cs < 0 else 1]
        p = Placed(buf, make, f"{kind}({rs},{cs}){order}")
        p.view[...] = values
    return p


def args_of(call_args):
    return [a.view if isinstance(a, Placed) else a for a in call_args]


def snapshot(call_args):
    return [a.buf.copy() if isinstance(a, Placed) else None for a in call_args]


def check_new_array(res, shape):
    assert type(res) is np.ndarray and res.dtype == np.float64 and res.shape == shape
    assert res.flags.c_contiguous and res.flags.owndata and res.flags.writeable


def check_buffers(call_args, before, written):
    """Every buffer is as it was, except the views in `written` (argument index -> expected
    logical values)."""
    for k, (a, old) in enumerate(zip(call_args, before)):
        if old is None:
            continue
        want = old.copy()
        if k in written:
            view = a.make(want)
            view[...] = np.array(written[k], dtype=view.dtype).reshape(view.shape)
        assert same_buffer(a.buf, want), f"argument {k} ({a.layout}): buffer differs"


def lists(p):
    return p.values().tolist()


# ---- _quadra: plain loops --------------------------------------------------------------------
def ref_trapz(y, h):
    if len(h) <= 0:
        return 0.0
    s = 0.0
    for k in range(len(h)):
        s += (y[k] + y[k + 1]) * h[k]
    return 0.5 * s


def ref_trapz2D(data, h, nint, ncol):
    out = []
    for i in range(ncol):
        m = nint[i]
        if m <= 0:
            out.append(0.0)
            continue
        s = 0.0
        for k in range(m):
            s += (data[k][i] + data[k + 1][i]) * h[k]
        out.append(0.5 * s)
    return out


def ref_cumtrapz(output, y, h, threshold):
    output = list(output)
    output[0] = 0.0
    for i in range(len(h)):
        output[i + 1] = output[i] + 0.5 * h[i] * (y[i] + y[i + 1])
        if output[i + 1] >= threshold:
            event("cumtrapz: threshold reached")
            return i + 1, output
    return len(h), output


def ref_optdepth(data, h, taumax, ideep, ilay, ncol):
    ideep = list(ideep)
    tau = []
    for i in range(ncol):
        tau.append(0.0)
        if ideep[i] >= 0:
            continue
        s = 0.0
        for k in range(len(h)):
            s += (data[k][i] + data[k + 1][i]) * h[k]
        tau[i] = s
        if s > taumax:
            event("optdepth: a wavelength marked")
            ideep[i] = ilay
    return tau, ideep


def ref_intensity(tau, ideep, planck, mu, rtop, ncol):
    out = [[0.0] * ncol for _ in mu]
    for i in range(ncol):
        d = ideep[i]
        n = d - rtop
        if mu:
            event("intensity: " + ("bottom term only" if n <= 0 else "one layer" if n == 1
                                   else "layers integrated"))
        for j, m in enumerate(mu):
            if n == 1:
                out[j][i] = planck[d][i]
                continue
            s = 0.0
            if n >= 2:
                r = div(1.0, m)
                w = [exp(-tau[k + 1][i] * r) - exp(-tau[k][i] * r) for k in range(rtop, d)]
                for t, k in enumerate(range(rtop, d)):
                    s += (planck[k][i] + planck[k + 1][i]) * w[t]
                s = 0.5 * s
            out[j][i] = planck[d][i] * exp(div(-tau[d][i], m)) - s
    return np.array(out, dtype=np.float64).reshape(len(mu), ncol)


# ---- _quadra: valid calls --------------------------------------------------------------------
class Call:
    """A valid call: the method, its arguments (Placed arrays and scalars) and what its Python
    reference says: the return value and the final logical values of the arrays it writes."""

    def __init__(self, method, args, ref):
        self.method = method
        self.args = args
        self.ref = ref

    def __repr__(self):
        return f"{self.method}{tuple(self.args)!r}"


METHODS = {
    "trapz": _quadra.trapz, "trapz2D": _quadra.trapz2D, "cumtrapz": _quadra.cumtrapz,
    "optdepth": _quadra.optdepth, "intensity": _quadra.intensity,
    "alkali_cross_section": _alkali.alkali_cross_section,
    "geth": _simpson.geth, "simps": _simpson.simps, "simps2D": _simpson.simps2D,
    "guillot": _kelvo.guillot, "isothermal": _kelvo.isothermal,
}

# Columns: a few, or just over one block of the row-major paths (512 columns).
COLS = st.one_of(st.integers(0, 6), st.integers(0, 6), st.integers(509, 516))


@st.composite
def trapz_call(draw, min_n=0):
    n = draw(st.integers(min_n, 12))
    ndata = n + 1 + draw(st.integers(0, 2)) if n > 0 else draw(st.integers(0, 3))
    data = draw(placed(draw(farray(ndata))))
    h = draw(placed(draw(farray(n))))

    def ref():
        return ref_trapz(lists(data), lists(h)), {}
    return Call("trapz", [data, h], ref)


@st.composite
def trapz2D_call(draw, min_cols=0):
    cols = draw(COLS.filter(lambda c: c >= min_cols))
    rows = draw(st.integers(0, 12 if cols < 100 else 4))
    nint = draw(iarray(cols, -2, max(rows - 1, 0)))
    longest = max([0] + nint.tolist())
    extra = draw(iarray(draw(st.integers(0, 2)), INT_MIN, INT_MAX))  # never read
    data = draw(placed(draw(farray((rows, cols)))))
    h = draw(placed(draw(farray(longest + draw(st.integers(0, 2)))), ))
    nint_p = draw(placed(np.concatenate([nint, extra])))

    def ref():
        return ref_trapz2D(lists(data), lists(h), lists(nint_p), cols), {}
    return Call("trapz2D", [data, h, nint_p], ref)


@st.composite
def cumtrapz_call(draw, min_n=0):
    n = draw(st.integers(min_n, 12))
    ndata = n + 1 + draw(st.integers(0, 2)) if n > 0 else draw(st.integers(0, 3))
    output = draw(placed(draw(farray(n + 1 + draw(st.integers(0, 2)))), writeable=True))
    data = draw(placed(draw(farray(ndata, ORDINARY if draw(st.booleans()) else ANY))))
    h = draw(placed(draw(farray(n, POSITIVE if draw(st.booleans()) else ANY))))
    # A threshold that the running sum meets exactly at some step, or any value.
    _, running = ref_cumtrapz([0.0] * (n + 1), lists(data), lists(h), INF)
    threshold = draw(st.one_of(ANY, st.sampled_from(running)))

    def ref():
        ind, out = ref_cumtrapz(lists(output), lists(data), lists(h), threshold)
        return ind, {0: out}
    return Call("cumtrapz", [output, data, h, threshold], ref)


@st.composite
def optdepth_call(draw, min_cols=0, min_nlay=0):
    cols = draw(COLS.filter(lambda c: c >= min_cols))
    nlay = draw(st.integers(min_nlay, 10 if cols < 100 else 3))
    rows = nlay + 1 + draw(st.integers(0, 2)) if nlay > 0 else draw(st.integers(0, 2))
    values = ORDINARY if draw(st.booleans()) else ANY
    data = draw(placed(draw(farray((rows, cols), values))))
    h = draw(placed(draw(farray(nlay, POSITIVE if draw(st.booleans()) else ANY))))
    # Mostly open wavelengths (negative entries), some already marked.
    marks = st.one_of(st.sampled_from([-1, -1, -1, -7, 0, 2]), st.integers(INT_MIN, INT_MAX))
    ideep = draw(placed(draw(hnp.arrays(INTC, cols + draw(st.integers(0, 2)), elements=marks)),
                        writeable=True))
    ilay = draw(st.one_of(st.integers(-2, 40), st.sampled_from([INT_MIN, INT_MAX])))
    # taumax at, just below or anywhere around the sums, so that some wavelengths are marked.
    sums, _ = ref_optdepth(lists(data), lists(h), 0.0, [-1] * cols, 0, cols)
    near = [v for s in sums for v in (s, math.nextafter(s, -INF))] or [0.0]
    taumax = draw(st.one_of(ANY, st.sampled_from(near)))

    def ref():
        tau, after = ref_optdepth(lists(data), lists(h), taumax, lists(ideep), ilay, cols)
        return tau, {3: after}
    return Call("optdepth", [data, h, taumax, ideep, ilay], ref)


@st.composite
def intensity_call(draw, min_cols=0):
    cols = draw(COLS.filter(lambda c: c >= min_cols))
    layers = draw(st.sampled_from([n for n in (0, 1, 2, 3, 5, 8, 8) if n >= (1 if cols else 0)
                                   and (cols < 100 or n <= 3)]))
    nmu = draw(st.sampled_from([0, 1, 2, 3, 3]))
    if cols and draw(st.integers(0, 9)) == 0:
        rtop = -1  # allowed where no wavelength integrates: every ideep[i] = 0
        ideep = np.zeros(cols, INTC)
    else:
        rtop = draw(st.one_of(st.just(0), st.integers(0, 2), st.integers(0, layers + 1)))
        deep = max(layers - 1, 0)
        ideep = draw(hnp.arrays(INTC, cols, elements=st.one_of(st.just(deep),
                                                               st.integers(0, deep))))
    extra = draw(iarray(draw(st.integers(0, 2)), INT_MIN, INT_MAX))  # never read
    tau_values = draw(farray((layers, cols), POSITIVE if draw(st.booleans()) else ANY))
    if draw(st.booleans()):
        with np.errstate(all="ignore"):
            tau_values = np.cumsum(tau_values, axis=0)
    tau = draw(placed(tau_values))
    planck = draw(placed(draw(farray((layers + draw(st.integers(0, 1)),
                                      cols + draw(st.integers(0, 1)))))))
    mu_values = st.one_of(st.floats(0.01, 1.0), st.sampled_from(SPECIALS))
    mu = draw(placed(draw(farray(nmu, mu_values))))
    ideep_p = draw(placed(np.concatenate([ideep, extra])))

    def ref():
        return ref_intensity(lists(tau), lists(ideep_p), lists(planck), lists(mu), rtop,
                             cols), {}
    return Call("intensity", [tau, ideep_p, planck, mu, rtop], ref)


# ---- _alkali ---------------------------------------------------------------------------------
# ---- _alkali ---------------------------------------------------------------------------------
def ref_alkali(*args):
    return reference.alkali(*args, event=event)


@st.composite
def alkali_call(draw, min_lines=0, min_layers=0, min_samples=0):
    nwn = draw(st.sampled_from([n for n in (0, 1, 2, 5, 9, 12, 12, 12, 12) if n >= min_samples]))
    nlines = draw(st.sampled_from([n for n in (0, 1, 2, 2, 3, 3, 3) if n >= min_lines]))
    nlay = draw(st.sampled_from([n for n in (0, 1, 2, 2, 3, 3, 3) if n >= min_layers]))
    # Quarter-step grids put samples exactly on -cutoff, +cutoff and the boundary X, and line
    # centres on samples.
    grid = draw(st.sampled_from(["ascending", "ascending", "any"]))
    if grid == "ascending":
        wn = np.sort(draw(iarray(nwn, 0, 24)).astype(float)) * 0.25 + 1e4
    else:
        wn = draw(farray(nwn, st.one_of(st.floats(1e4, 1e4 + 6), st.sampled_from(SPECIALS))))
    wn0 = draw(farray(nlines, st.one_of(
        st.integers(-4, 28).map(lambda k: 1e4 + 0.25 * k), st.floats(1e4 - 1, 1e4 + 7),
        st.sampled_from([NAN, INF]))))
    physical = draw(st.booleans())
    temp = draw(farray(nlay, st.floats(300.0, 3000.0) if physical else
                       st.one_of(st.floats(300.0, 3000.0), st.sampled_from([500.0] + SPECIALS)))
                )
    press = draw(farray(nlay + draw(st.integers(0, 1)),
                        st.floats(1e4, 1e8) if physical else ANY))
    wingamp = draw(farray((nlay + draw(st.integers(0, 1)), nlines + draw(st.integers(0, 1))),
                          st.floats(0.0, 1e-2) if physical else ANY))
    ext = draw(farray((nlay + draw(st.integers(0, 1)), nwn + draw(st.integers(0, 1))),
                      st.floats(0.0, 1e-20) if physical else ANY))
    oscstr = draw(farray(nlines + draw(st.integers(0, 1)), st.floats(0.0, 1.0) if physical
                         else ANY))
    dwn = draw(farray(nlines + draw(st.integers(0, 1)),
                      st.sampled_from([0.0, 1e3, NAN, 0.05, 0.5])))
    if nwn > 0:
        icenter = draw(iarray(nlines, 0, nwn - 1))
    else:
        icenter = draw(iarray(nlines, INT_MIN, INT_MAX))  # not read without samples
    icenter = np.concatenate([icenter, draw(iarray(draw(st.integers(0, 1)), -5, 5))])
    scalar = (lambda lo, hi: st.floats(lo, hi)) if physical else (
        lambda lo, hi: st.one_of(st.floats(lo, hi), st.sampled_from(SPECIALS)))
    detuning = draw(scalar(0.0, 3.0))
    mass = draw(scalar(6.0, 133.0))
    lorentz = draw(scalar(0.01, 1.0))
    norm = draw(st.one_of(scalar(0.5, 2.0), st.sampled_from([1.0, 1e-5])))
    cutoff = draw(st.one_of(st.sampled_from([0.0, 1.0, 2.5, 4.0, 8.0]), scalar(0.0, 8.0)))
    arrays = [draw(placed(a, writeable=(k == 4))) for k, a in
              enumerate([press, wn, temp, wingamp, ext])]
    tail = [draw(placed(a)) for a in (wn0, oscstr, dwn, icenter)]
    args = arrays + [detuning, mass, lorentz, norm, cutoff] + tail

    def ref():
        logical = [lists(a) if isinstance(a, Placed) else a for a in args]
        want = ref_alkali(*logical)
        return 1, {4: want}
    return Call("alkali_cross_section", args, ref)


# ---- _simpson --------------------------------------------------------------------------------
def ref_geth(h):
    n = len(h)
    if n == 0:
        return [0, 0, 0]
    m, s = n // 2, n % 2
    hsum, hratio, hfactor = [], [], []
    for j in range(m):
        a, b = h[s + 2 * j], h[s + 2 * j + 1]
        hsum.append(a + b)
        hratio.append(div(a, b))
        hfactor.append(div(hsum[j] * hsum[j], a * b))
    return [hsum, hratio, hfactor]


def ref_simpson(y, hsum, hratio, hfactor, n):
    if n - 1 < 2:
        return 0.0
    total = 0.0
    for j in range((n - 1) // 2):
        r = hratio[j]
        t = (2.0 - div(1.0, r)) * y[2 * j]
        t = t + hfactor[j] * y[2 * j + 1]
        t = t + (2.0 - r) * y[2 * j + 2]
        total = total + hsum[j] * t
    return total * (1.0 / 6.0)


def ref_simps(y, h, hsum, hratio, hfactor):
    n = len(y)
    if n < 2:
        return 0.0
    if n == 2:
        return 0.5 * h[0] * (y[0] + y[1])
    res = ref_simpson(y, hsum, hratio, hfactor, n)
    if n % 2 == 0:
        res = res + h[n - 2] * 0.5 * (y[n - 2] + y[n - 1])
    return res


def ref_simps2D(y, h, nint, hsum, hratio, hfactor, ncol):
    out = []
    for i in range(ncol):
        n = nint[i]
        column = [row[i] for row in y]
        out.append(ref_simps(column[:max(n, 0)], h, hsum, hratio, hfactor) if n >= 2 else 0.0)
    return out


def pairs(n):
    return (n - 1) // 2 if n >= 3 else 0


@st.composite
def geth_call(draw):
    h = draw(placed(draw(farray(draw(st.integers(0, 13)),
                                POSITIVE if draw(st.booleans()) else ANY))))

    def ref():
        return ref_geth(lists(h)), {}
    return Call("geth", [h], ref)


@st.composite
def simps_call(draw, min_n=0):
    n = draw(st.integers(min_n, 13))
    y = draw(placed(draw(farray(n))))
    nh = n - 1 + draw(st.integers(0, 2)) if n >= 2 and n % 2 == 0 else draw(st.integers(0, 3))
    h = draw(placed(draw(farray(nh))))
    k = pairs(n)
    diffs = [draw(placed(draw(farray(k + draw(st.integers(0, 1)))))) for _ in range(3)]

    def ref():
        return ref_simps(lists(y), lists(h), *map(lists, diffs)), {}
    return Call("simps", [y, h] + diffs, ref)


@st.composite
def simps2D_call(draw, min_cols=0):
    cols = draw(COLS.filter(lambda c: c >= min_cols))
    rows = draw(st.integers(0, 13 if cols < 100 else 5))
    nint = draw(iarray(cols, -2, rows))
    counts = nint.tolist()
    even = max([0] + [c for c in counts if c >= 2 and c % 2 == 0])
    k = pairs(max([0] + counts))
    y = draw(placed(draw(farray((rows, cols)))))
    h = draw(placed(draw(farray((even - 1 if even else 0) + draw(st.integers(0, 2))))))
    nint_p = draw(placed(np.concatenate([nint, draw(iarray(draw(st.integers(0, 1)),
                                                            INT_MIN, INT_MAX))])))
    diffs = [draw(placed(draw(farray(k + draw(st.integers(0, 1)))))) for _ in range(3)]

    def ref():
        return ref_simps2D(lists(y), lists(h), lists(nint_p), *map(lists, diffs), cols), {}
    return Call("simps2D", [y, h, nint_p] + diffs, ref)


# ---- _kelvo ----------------------------------------------------------------------------------
def ref_e2(x):
    if not x >= 0.0:
        return INF
    if x > 88.02969193111305:
        return 0.0
    if x == 0.0:
        return 1.0
    if x > 1.0:
        event("E2: continued fraction")
        pprev, qprev, p, q = 1.0, x, 1.0, x + 2.0
        f = 1.0 / (x + 2.0)
        k = 1
        while True:
            k += 1
            if k % 2 == 0:
                a, b = float(k // 2), x
            else:
                a, b = float(2 + (k - 1) // 2), 1.0
            pnew = b * p + a * pprev
            qnew = b * q + a * qprev
            if qnew != 0.0:
                fnew = pnew / qnew
                d = abs((f - fnew) / fnew)
                f = fnew
            else:
                d = 1.0
            if abs(pnew) > 2.0**57:
                p, q, pnew, qnew = p * 2.0**-57, q * 2.0**-57, pnew * 2.0**-57, qnew * 2.0**-57
            pprev, qprev, p, q = p, q, pnew, qnew
            if d <= 2.0**-56:
                return f * exp(-x)
    event("E2: series")
    term, k, m, s = 1.0, 0, -1, -1.0
    while True:
        k += 1
        term = (term * -x) / k
        m += 1
        if m != 0:
            s = s + term / m
        d = abs(term / s) if s != 0.0 else 1.0
        if d <= 2.0**-56:
            break
    return ((0.42278433509846713 - math.log(x)) * -x) / c_tgamma(2.0) - s


def ref_xi(gamma, tau):
    x = tau * gamma
    e2 = ref_e2(x)
    e = exp(-tau * gamma)
    a = gamma - (0.5 * tau * tau) * gamma
    b = div(1.0 + (x * 0.5) * e - e, gamma)
    return 2.0 / 3.0 * (b + a * e2) + 2.0 / 3.0


def ref_guillot(params, pressure, grav):
    kappa, gamma1, gamma2 = (c_exp10(p) for p in params[:3])
    out = []
    if not pressure:
        return out
    alpha, t_irr, t_int = params[3:6]
    t_irr4 = (t_irr * t_irr) * (t_irr * t_irr)
    t_int4 = (t_int * t_int) * (t_int * t_int)
    for i, p in enumerate(pressure):
        g = grav[i] if grav is not None else 1.0
        tau = div(p * kappa, g)
        xi1 = ref_xi(gamma1, tau)
        xi2 = ref_xi(gamma2, tau)
        w = xi1 + alpha * (xi2 - xi1)
        v = 0.75 * (t_irr4 * w + t_int4 * (tau + 2.0 / 3.0))
        out.append(sqrt(sqrt(v)))
    return out


@st.composite
def guillot_call(draw, with_grav=None):
    physical = draw(st.booleans())
    if physical:
        params = [draw(st.floats(-4.0, 1.0)), draw(st.floats(-3.0, 1.5)),
                  draw(st.floats(-3.0, 1.5)), draw(st.floats(0.0, 1.0)),
                  draw(st.floats(0.0, 3000.0)), draw(st.floats(0.0, 600.0))]
        pressure = draw(farray(draw(st.integers(0, 8)), st.one_of(
            st.floats(-2.0, 9.0).map(lambda e: 10.0**e), st.just(0.0))))
    else:
        params = [draw(st.one_of(st.floats(-5.0, 3.0), st.sampled_from(SPECIALS)))
                  for _ in range(6)]
        pressure = draw(farray(draw(st.integers(0, 8))))
    params = np.array(params + [draw(ANY) for _ in range(draw(st.integers(0, 2)))])
    params_p = draw(placed(params))
    pressure_p = draw(placed(pressure))
    has_grav = draw(st.booleans()) if with_grav is None else with_grav
    args = [params_p, pressure_p]
    if has_grav:
        grav = draw(farray(len(pressure) + draw(st.integers(0, 2)),
                           st.floats(100.0, 1e4) if physical else ANY))
        args.append(draw(placed(grav)))

    def ref():
        return ref_guillot(lists(params_p), lists(pressure_p),
                           lists(args[2]) if has_grav else None), {}
    return Call("guillot", args, ref)


@st.composite
def isothermal_call(draw):
    nlayers = draw(st.integers(0, 20))
    t0 = draw(placed(draw(farray(draw(st.integers(1 if nlayers else 0, 3))))))

    def ref():
        return lists(t0)[:1] * nlayers, {}
    return Call("isothermal", [t0, nlayers], ref)


VALID = {
    "trapz": trapz_call(), "trapz2D": trapz2D_call(), "cumtrapz": cumtrapz_call(),
    "optdepth": optdepth_call(), "intensity": intensity_call(),
    "alkali_cross_section": alkali_call(),
    "geth": geth_call(), "simps": simps_call(), "simps2D": simps2D_call(),
    "guillot": guillot_call(), "isothermal": isothermal_call(),
}


def check_result(method, res, want):
    if method in ("trapz", "simps"):
        assert type(res) is float and same(res, want), (res, want)
    elif method in ("cumtrapz", "alkali_cross_section"):
        assert type(res) is int and res == want, (res, want)
    elif method == "geth":
        assert type(res) is list and len(res) == 3
        if want == [0, 0, 0]:
            assert all(type(r) is int and r == 0 for r in res)
        else:
            for r, w in zip(res, want):
                check_new_array(r, (len(w),))
                assert same(r, w), (r, w)
    else:
        want = np.array(want, dtype=np.float64)
        check_new_array(res, want.shape)
        assert same(res, want), (res, want)


@pytest.mark.parametrize("method", list(VALID))
@VALID_SETTINGS
@given(data=st.data())
def test_valid_calls_follow_the_plain_loop(method, data):
    call = data.draw(VALID[method], label="call")
    before = snapshot(call.args)
    with np.errstate(all="ignore"):
        want, written = call.ref()
    res = METHODS[method](*args_of(call.args))
    check_result(method, res, want)
    check_buffers(call.args, before, written)


# ---- invalid calls ---------------------------------------------------------------------------
# Argument kinds: ("f8" | "i4", ndim, writes) for arrays, "d" for a float, "i" for a 32-bit int.
SIGNATURES = {
    "trapz": [("data", "f8", 1, False), ("intervals", "f8", 1, False)],
    "trapz2D": [("data", "f8", 2, False), ("intervals", "f8", 1, False),
                ("nint", "i4", 1, False)],
    "cumtrapz": [("output", "f8", 1, True), ("data", "f8", 1, False),
                 ("intervals", "f8", 1, False), ("threshold", "d")],
    "optdepth": [("data", "f8", 2, False), ("intervals", "f8", 1, False), ("taumax", "d"),
                 ("ideep", "i4", 1, True), ("ilay", "i")],
    "intensity": [("tau", "f8", 2, False), ("ideep", "i4", 1, False),
                  ("planck", "f8", 2, False), ("mu", "f8", 1, False), ("rtop", "i")],
    "alkali_cross_section": [
        ("press", "f8", 1, False), ("wn", "f8", 1, False), ("temp", "f8", 1, False),
        ("wingamp", "f8", 2, False), ("ext", "f8", 2, True), ("detuning", "d"), ("mass", "d"),
        ("lorentz", "d"), ("norm", "d"), ("cutoff", "d"), ("wn0", "f8", 1, False),
        ("oscstr", "f8", 1, False), ("dwn", "f8", 1, False), ("icenter", "i4", 1, False)],
    "geth": [("h", "f8", 1, False)],
    "simps": [(name, "f8", 1, False) for name in ("y", "h", "hsum", "hratio", "hfactor")],
    "simps2D": [("y", "f8", 2, False), ("h", "f8", 1, False), ("nint", "i4", 1, False)]
               + [(name, "f8", 1, False) for name in ("hsum", "hratio", "hfactor")],
    "guillot": [("params", "f8", 1, False), ("pressure", "f8", 1, False),
                ("grav", "f8", 1, False)],
    "isothermal": [("T0", "f8", 1, False), ("nlayers", "i")],
}
REQUIRED = {"guillot": 2}

TRIED = collections.Counter()
TRIED_BY_METHOD = collections.defaultdict(collections.Counter)


class Bad:
    """A rejected call: its arguments, the exception it must raise and a pattern that the
    message must match (None: any message)."""

    def __init__(self, kind, args, exc, match):
        self.kind, self.args, self.exc, self.match = kind, args, exc, match

    def __repr__(self):
        with np.printoptions(threshold=40, edgeitems=3):
            return f"Bad({self.kind}, {self.exc.__name__}, {self.args!r})"


def misaligned_copy(a):
    # numpy counts an empty array as aligned, so an empty one becomes a single element (the
    # alignment check comes before any length check).
    if a.size == 0:
        a = np.zeros((1,) * a.ndim, a.dtype)
    raw = bytearray(a.nbytes + a.itemsize + 1)
    m = np.frombuffer(raw, dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)
    m[...] = a
    return m


def read_only_copy(a):
    a = np.array(a)
    a.flags.writeable = False
    return a


OTHER_DTYPES = {"f8": [np.float32, np.float16, np.int64, INTC, np.complex128, np.bool_,
                       np.longdouble, object],
                "i4": [np.int64, np.int16, np.int8, np.uint32, np.float64, np.bool_, object]}


def pick(draw, choices):
    """One of `choices`, which may hold arrays (sampled_from would hash them)."""
    return choices[draw(st.integers(0, len(choices) - 1))]


GENERIC_KINDS = ["not an ndarray", "wrong dtype", "non-native byte order",
                 "wrong number of dimensions", "0-d array", "misaligned", "wrong argument count",
                 "wrong scalar type", "out-of-range Python int", "read-only output"]


def generic_kinds(method):
    """The generic classes of bad input that apply to a method's signature."""
    sig = SIGNATURES[method]
    kinds = GENERIC_KINDS[:7]
    if any(len(s) == 2 for s in sig):
        kinds.append("wrong scalar type")
    if any(len(s) == 2 and s[1] == "i" for s in sig):
        kinds.append("out-of-range Python int")
    if any(len(s) == 4 and s[3] for s in sig):
        kinds.append("read-only output")
    return kinds


@st.composite
def generic_bad(draw, method, kind):
    """A mutation of one argument of a valid call that every method rejects the same way."""
    sig = SIGNATURES[method]
    args = list(args_of(draw(VALID[method]).args))
    arrays = [k for k, s in enumerate(sig[:len(args)]) if len(s) == 4]
    scalars = [k for k, s in enumerate(sig[:len(args)]) if len(s) == 2]
    ints = [k for k in scalars if sig[k][1] == "i"]
    outs = [k for k in arrays if sig[k][3]]
    if kind == "wrong argument count":
        fewer = REQUIRED.get(method, len(sig)) - 1
        if draw(st.booleans()):
            return Bad(kind, args[:draw(st.integers(0, fewer))], TypeError,
                       rf"{method}\(\) takes")
        extra = [np.zeros(1)] * (len(sig) + 1 - len(args))
        return Bad(kind, args + extra, TypeError, rf"{method}\(\) takes")
    if kind == "out-of-range Python int":
        args[draw(st.sampled_from(ints))] = draw(
            st.sampled_from([2**31, -(2**31) - 1, 2**63, -(2**64), 10**30]))
        return Bad(kind, args, OverflowError, None)
    if kind == "wrong scalar type":
        k = draw(st.sampled_from(scalars))
        if sig[k][1] == "d":
            args[k] = pick(draw, ["1.0", None, [1.0], 1j, b"1", np.zeros(2)])
        else:
            args[k] = pick(draw, [1.5, "3", None, [3], np.float64(2.0), 3 + 0j])
        return Bad(kind, args, TypeError, None)
    k = draw(st.sampled_from(outs if kind == "read-only output" else arrays))
    name, dtype, ndim, _ = sig[k]
    a = args[k]
    here = rf"^{method}: {name} "
    if kind == "not an ndarray":
        args[k] = pick(draw, [a.tolist(), tuple(a.tolist()), None, 1.0, "array",
                              memoryview(np.ascontiguousarray(a))])
        return Bad(kind, args, TypeError, here + "must be a numpy.ndarray")
    if kind == "wrong dtype":
        args[k] = np.zeros(a.shape, draw(st.sampled_from(OTHER_DTYPES[dtype])))
        return Bad(kind, args, TypeError, here + "must have dtype")
    if kind == "non-native byte order":
        args[k] = np.array(a, dtype=a.dtype.newbyteorder())
        return Bad(kind, args, TypeError, here + "must have dtype")
    if kind == "wrong number of dimensions":
        if ndim == 2:
            choices = [a[0] if len(a) else a.ravel(), a[None], a[..., None]]
        else:
            choices = [a[None], a[:, None], a[None, None]]
        args[k] = pick(draw, choices)
        return Bad(kind, args, ValueError, here + f"must be {ndim}-dimensional")
    if kind == "0-d array":
        args[k] = np.array(1, dtype=a.dtype)
        return Bad(kind, args, ValueError, here + f"must be {ndim}-dimensional, got 0")
    if kind == "misaligned":
        args[k] = misaligned_copy(a)
        return Bad(kind, args, ValueError, here + "must be aligned")
    args[k] = read_only_copy(a)
    return Bad(kind, args, ValueError, here + "must be writeable")


def shorter(a, axis=0, by=1):
    """A view of a with `by` fewer elements along `axis` (at least zero remain)."""
    index = [slice(None)] * a.ndim
    index[axis] = slice(0, max(a.shape[axis] - by, 0))
    return a[tuple(index)]


def with_value(a, i, value):
    b = np.array(a)
    b[i] = value
    return b


HUGE_INDICES = [INT_MAX, INT_MIN, INT_MAX - 1, -1]


@st.composite
def specific_bad(draw, method):
    """A call that breaks a length or index rule of one method."""
    short, index = "too short", "index out of range"
    if method == "trapz":
        c = draw(trapz_call(min_n=1))
        a = args_of(c.args)
        a[0] = a[0][:len(a[1]) - draw(st.integers(0, len(a[1])))]
        return Bad(short, a, ValueError, r"^trapz: data must have at least")
    if method == "trapz2D":
        c = draw(trapz2D_call(min_cols=1))
        a = args_of(c.args)
        data, h, nint = a
        what = draw(st.sampled_from(["nint", "rows", "intervals"]))
        if what == "nint":
            a[2] = nint[:data.shape[1] - draw(st.integers(1, data.shape[1]))]
            return Bad(short, a, ValueError, r"^trapz2D: nint must have at least")
        i = draw(st.integers(0, data.shape[1] - 1))
        m = max(1, max(nint[:data.shape[1]].tolist() + [0]))
        if what == "rows":
            big = draw(st.sampled_from([max(data.shape[0], 1), data.shape[0] + 1, INT_MAX]))
            a[2] = with_value(nint, i, big)
            return Bad(index, a, ValueError, r"^trapz2D: nint\[\d+\] = \d+ needs \d+ rows")
        a[1] = h[:m - 1]
        a[2] = with_value(nint, i, m) if data.shape[0] > m else nint
        if data.shape[0] <= m:
            a[0] = np.zeros((m + 1, data.shape[1]))
            a[2] = with_value(nint, i, m)
        return Bad(short, a, ValueError, r"^trapz2D: nint\[\d+\] = \d+ needs \d+ elements")
    if method == "cumtrapz":
        c = draw(cumtrapz_call(min_n=draw(st.sampled_from([0, 1]))))
        a = args_of(c.args)
        n = len(a[2])
        if n == 0 or draw(st.booleans()):
            a[0] = a[0][:n + 1 - draw(st.integers(1, n + 1))]
            return Bad(short, a, ValueError, r"^cumtrapz: output must have at least")
        a[1] = a[1][:n + 1 - draw(st.integers(1, n + 1))]
        return Bad(short, a, ValueError, r"^cumtrapz: data must have at least")
    if method == "optdepth":
        c = draw(optdepth_call(min_cols=draw(st.sampled_from([0, 1])),
                               min_nlay=draw(st.sampled_from([0, 1]))))
        a = args_of(c.args)
        data, h = a[0], a[1]
        if data.shape[1] > 0 and (len(h) == 0 or draw(st.booleans())):
            a[3] = a[3][:data.shape[1] - draw(st.integers(1, data.shape[1]))]
            return Bad(short, a, ValueError, r"^optdepth: ideep must have at least")
        if len(h) == 0:
            a[1] = np.ones(max(data.shape[0], 1))
        else:
            a[0] = data[:len(h) - draw(st.integers(0, len(h)))]
        return Bad(short, a, ValueError, r"^optdepth: data must have at least")
    if method == "intensity":
        c = draw(intensity_call(min_cols=1))
        a = args_of(c.args)
        tau, ideep, planck, mu, rtop = a
        cols, layers = tau.shape[1], tau.shape[0]
        what = draw(st.sampled_from(["ideep", "index", "rtop", "planck rows", "planck cols"]))
        i = draw(st.integers(0, cols - 1))
        if what == "ideep":
            a[1] = ideep[:cols - draw(st.integers(1, cols))]
            return Bad(short, a, ValueError, r"^intensity: ideep must have at least")
        if what == "index":
            bad = draw(st.sampled_from([layers, layers + 1, -1, -2] + HUGE_INDICES[:2]))
            a[1] = with_value(ideep, i, bad)
            return Bad(index, a, ValueError, r"^intensity: ideep\[\d+\] = -?\d+ is not a row")
        if what == "rtop":
            a[0] = np.ones((max(layers, 2), cols))
            a[2] = np.ones((max(layers, 2), cols))
            a[1] = with_value(ideep, i, 1)
            a[4] = draw(st.sampled_from([-1, -2, INT_MIN]))
            return Bad(index, a, ValueError, r"^intensity: rtop = -\d+ must not be negative")
        if what == "planck rows":
            deepest = max(ideep[:cols].tolist())
            a[2] = planck[:deepest + 1 - draw(st.integers(1, deepest + 1))]
            return Bad(short, a, ValueError, r"^intensity: planck must have at least \d+ rows")
        a[2] = planck[:, :cols - draw(st.integers(1, cols))]
        return Bad(short, a, ValueError, r"^intensity: planck must have at least \d+ columns")
    if method == "alkali_cross_section":
        c = draw(alkali_call(min_lines=1, min_layers=1, min_samples=1))
        a = args_of(c.args)
        nlay, nlines, nwn = len(a[2]), len(a[10]), len(a[1])
        what = draw(st.sampled_from(["press", "wingamp rows", "wingamp cols", "ext rows",
                                     "ext cols", "oscstr", "dwn", "icenter", "index"]))
        pattern = r"^alkali_cross_section: {} must have at least"
        if what == "index":
            i = draw(st.integers(0, nlines - 1))
            bad = draw(st.sampled_from([nwn, nwn + 3, -1] + HUGE_INDICES[:2]))
            a[13] = with_value(a[13], i, bad)
            return Bad(index, a, ValueError,
                       r"^alkali_cross_section: icenter\[\d+\] = -?\d+ is not a sample")
        k, axis, need = {"press": (0, 0, nlay), "wingamp rows": (3, 0, nlay),
                         "wingamp cols": (3, 1, nlines), "ext rows": (4, 0, nlay),
                         "ext cols": (4, 1, nwn), "oscstr": (11, 0, nlines),
                         "dwn": (12, 0, nlines), "icenter": (13, 0, nlines)}[what]
        by = a[k].shape[axis] - need + draw(st.integers(1, need))
        a[k] = shorter(a[k], axis, by)
        return Bad(short, a, ValueError, pattern.format(what.split()[0]))
    if method == "simps":
        c = draw(simps_call(min_n=2))
        a = args_of(c.args)
        n = len(a[0])
        if n % 2 == 0 and (n < 3 or draw(st.booleans())):
            a[1] = a[1][:n - 1 - draw(st.integers(1, n - 1))]
            return Bad(short, a, ValueError, r"^simps: h must have at least")
        if n < 3:
            a[0] = np.ones(3)
            a[1] = np.ones(2)
        k = draw(st.integers(2, 4))
        a[k] = a[k][:pairs(len(a[0])) - draw(st.integers(1, pairs(len(a[0]))))]
        return Bad(short, a, ValueError, rf"^simps: {SIGNATURES['simps'][k][0]} must have")
    if method == "simps2D":
        c = draw(simps2D_call(min_cols=1))
        a = args_of(c.args)
        y, h, nint = a[0], a[1], a[2]
        cols, rows = y.shape[1], y.shape[0]
        i = draw(st.integers(0, cols - 1))
        what = draw(st.sampled_from(["nint", "index", "h", "diffs"]))
        if what == "nint":
            a[2] = nint[:cols - draw(st.integers(1, cols))]
            return Bad(short, a, ValueError, r"^simps2D: nint must have at least")
        if what == "index":
            a[2] = with_value(nint, i, draw(st.sampled_from([rows + 1, rows + 2, INT_MAX])))
            return Bad(index, a, ValueError, r"^simps2D: nint\[\d+\] = \d+ exceeds")
        count = draw(st.sampled_from([4, 6, 8]) if what == "h" else st.sampled_from([3, 5, 8]))
        a[0] = np.ones((count, cols))
        a[2] = with_value(np.full(cols, 1, INTC), i, count)
        if what == "h":
            a[1] = np.ones(count - 2 - draw(st.integers(0, count - 2)))
            for k in (3, 4, 5):
                a[k] = np.ones(pairs(count))
            return Bad(short, a, ValueError, r"^simps2D: nint\[\d+\] = \d+ needs \d+ elements of h")
        a[1] = np.ones(count)
        k = draw(st.integers(3, 5))
        for j in (3, 4, 5):
            a[j] = np.ones(pairs(count) - (draw(st.integers(1, pairs(count))) if j == k else 0))
        return Bad(short, a, ValueError,
                   rf"^simps2D: nint\[\d+\] = \d+ needs \d+ elements of {SIGNATURES['simps2D'][k][0]}")
    if method == "guillot":
        c = draw(guillot_call(with_grav=True))
        a = args_of(c.args)
        if len(a[1]) == 0 or draw(st.booleans()):
            a[0] = a[0][:draw(st.integers(0, 5))]
            return Bad(short, a, ValueError, r"^guillot: params must have at least 6")
        a[2] = a[2][:len(a[1]) - draw(st.integers(1, len(a[1])))]
        return Bad(short, a, ValueError, r"^guillot: grav must have at least")
    if method == "isothermal":
        if draw(st.booleans()):
            return Bad(short, [np.zeros(0), draw(st.integers(1, 10))], ValueError,
                       r"^isothermal: T0 must have at least 1")
        nlayers = draw(st.one_of(st.integers(INT_MIN, -1), st.sampled_from([-1, INT_MIN])))
        return Bad("negative count", [np.ones(1), nlayers], ValueError, "negative dimensions")
    raise AssertionError(method)


BAD_CASES = [(m, kind) for m in VALID for kind in generic_kinds(m)]


@pytest.mark.parametrize("method, kind", BAD_CASES)
@BAD_SETTINGS
@given(data=st.data())
def test_invalid_calls_raise_and_change_nothing(method, kind, data):
    check_rejected(method, data.draw(generic_bad(method, kind), label="bad"))


@pytest.mark.parametrize("method", [m for m in VALID if m != "geth"])
@settings(BAD_SETTINGS, max_examples=80)
@given(data=st.data())
def test_wrong_lengths_and_indices_raise_and_change_nothing(method, data):
    check_rejected(method, data.draw(specific_bad(method), label="bad"))


def check_rejected(method, bad):
    arrays = [a for a in bad.args if isinstance(a, np.ndarray)]
    before = [(a.tobytes(), a.shape) for a in arrays]
    lists_before = [list(a) for a in bad.args if isinstance(a, list)]
    with pytest.raises(bad.exc) as info:
        METHODS[method](*bad.args)
    assert type(info.value) in (TypeError, ValueError, OverflowError), repr(info.value)
    if bad.match is not None:
        assert info.match(bad.match)
    for a, (raw, shape) in zip(arrays, before):
        assert a.shape == shape and a.tobytes() == raw, "an argument array was changed"
    assert lists_before == [list(a) for a in bad.args if isinstance(a, list)]
    TRIED[bad.kind] += 1
    TRIED_BY_METHOD[method][bad.kind] += 1


@pytest.fixture(scope="module", autouse=True)
def case_counts():
    yield
    path = os.environ.get("EXOKERN_CASE_COUNTS")
    if path:
        with open(path, "w") as f:
            json.dump({"by_class": dict(sorted(TRIED.items())),
                       "by_method": {m: dict(sorted(c.items()))
                                     for m, c in sorted(TRIED_BY_METHOD.items())}},
                      f, indent=1)
