"""Plain-Python references shared by the tests: IEEE arithmetic where Python would raise, and
the line / layer / sample scan of the alkali extinction."""

import ctypes
import ctypes.util
import math
import platform
import sys

# Python floats are IEEE doubles and + - * / round as C does; only the exceptions differ. The
# helpers give the IEEE results where Python would raise. exp and log are the math module's
# (the C library's own functions); pow, exp10 and tgamma are taken from the C library through
# ctypes, since math.pow raises where C returns a pole or NaN and math.gamma is not tgamma.


def c_library():
    """The C library the extension modules call for their mathematics: libm on Linux (glibc
    or musl), libSystem on macOS, the universal C runtime on Windows."""
    if sys.platform == "win32":
        return ctypes.CDLL("ucrtbase")
    return ctypes.CDLL(ctypes.util.find_library("m") or ctypes.util.find_library("c"))


_libm = c_library()


def _cfunc(name, nargs):
    f = getattr(_libm, name)
    f.argtypes = [ctypes.c_double] * nargs
    f.restype = ctypes.c_double
    return f


c_pow = _cfunc("pow", 2)
c_tgamma = _cfunc("tgamma", 1)


def _exp10():
    """The base-10 exponential the kernels use on this platform: the C library's own where
    it has one (glibc's exp10, Apple's __exp10), else pow(10, x) as the kernels then do."""
    if sys.platform.startswith("linux") and platform.libc_ver()[0] == "glibc":
        return _cfunc("exp10", 1)
    if sys.platform == "darwin":
        return _cfunc("__exp10", 1)
    return lambda x: c_pow(10.0, x)


c_exp10 = _exp10()
NAN, INF = math.nan, math.inf


def div(a, b):
    if b == 0.0:
        if a != a or a == 0.0:
            return NAN
        return math.copysign(INF, a) * math.copysign(1.0, b)
    return a / b


def exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return INF


def sqrt(x):
    return NAN if x < 0.0 else math.sqrt(x)


# ---- alkali line extinction -------------------------------------------------------------------
K_LINE = 8.852821681767784e-13
C2 = 1.4387768775039338


def cell(wn, j):
    # The half-cell of sample j is half of wn[j+1] - wn[j-1]; at an end of the grid the missing
    # spacing is taken equal to the one inside, and a grid of one sample has none.
    n = len(wn)
    if n < 2:
        return 0.0
    if j == 0:
        return 2.0 * (wn[1] - wn[0])
    if j == n - 1:
        return 2.0 * (wn[n - 1] - wn[n - 2])
    return wn[j + 1] - wn[j - 1]


def alkali(press, wn, temp, wingamp, ext, detuning, mass, lorentz, norm, cutoff, wn0, oscstr,
           dwn, icenter, event=lambda what: None):
    """The line / layer / sample scan from wn[0] on lists of Python floats (ext a list of rows,
    wingamp[m][i]); returns the updated rows. `event` hears which branch each sample takes."""
    ext = [list(row) for row in ext]
    n = len(wn)
    for i in range(len(wn0)):
        nu0, k = wn0[i], icenter[i]
        for m in range(len(temp)):
            t = temp[m]
            w = lorentz * press[m] * c_pow(t * 5e-4, -0.7)
            lhw = w * 9.900990099009902e-07
            x = detuning * c_pow(t * 0.002, 0.6)
            if n <= 0:
                continue
            dop = sqrt(div(t * 2.761316e-16, mass * 1.66053886e-24)) * (
                nu0 * 3.33564095198152e-11)
            voigt = 2.0 * (5.293069306930694e-07 * w + sqrt(0.2166 * lhw * lhw + dop * dop))
            s = 0.0
            for j in range(n):
                d = wn[j] - nu0
                if d < -cutoff:
                    continue
                if d > cutoff:
                    break
                if abs(d) < x:
                    event("alkali: core sample")
                    phi = div(3.1515830315226805e-07 * w, d * d + lhw * lhw)
                    ext[m][j] = ext[m][j] + div(K_LINE * oscstr[i] * phi, norm)
                    if j != k:
                        s += phi * cell(wn, j)
                else:
                    event("alkali: wing sample")
                    r = div(abs(d), x)
                    ext[m][j] = ext[m][j] + div(
                        K_LINE * oscstr[i] * wingamp[m][i] * exp(div(-C2 * (abs(d) - x), t)),
                        norm * r * sqrt(r))
            if s > 0.0 and not voigt >= 2.0 * dwn[i]:
                event("alkali: centre correction")
                ext[m][k] = div(K_LINE * oscstr[i] * (2.0 - s), norm * cell(wn, k))
    return ext
