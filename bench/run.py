"""Benchmark: every exokern kernel against the numpy/scipy code a user would write instead, and
against a bound measured on the same data in the same run.

    python bench/run.py            # the full sizes (a few minutes at most)
    python bench/run.py --quick    # tiny sizes: a smoke run that checks the script itself

Each contender is timed in interleaved repeats (one call of each per round) and the median is
reported, so that drifting machine load affects all of them alike. Before timing, each pair is
checked to agree. Columns of the table:
    kernel     median time of the exokern call
    numpy      median time of the numpy/scipy code doing the same job
    x faster   numpy / kernel
    bound      median time of the bound: one numpy pass over the same bytes for memory-bound
               kernels, the C library's scalar exp over the same number of calls for exp-bound ones
    x bound    kernel / bound (1.0 = at the bound)
"""

import argparse
import ctypes
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
from scipy import integrate, special

from exokern import _alkali, _kelvo, _quadra, _simpson

INTC = np.intc


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def medians(contenders, repeats, inner=1):
    """Median seconds per call of each callable, timed in interleaved rounds."""
    samples = {name: [] for name in contenders}
    for fn in contenders.values():  # warm up caches and page in results
        fn()
    for _ in range(repeats):
        for name, fn in contenders.items():
            if inner == 1:
                samples[name].append(timed(fn))
            else:
                t0 = time.perf_counter()
                for _ in range(inner):
                    fn()
                samples[name].append((time.perf_counter() - t0) / inner)
    return {name: statistics.median(s) for name, s in samples.items()}


# ---- the exp bound: a tiny C loop over the platform's scalar exp ------------------------------

EXP_LOOP = r"""
#include <math.h>
/* Sum of exp(-x[i % n]) over count calls: the scalar exp cost of `count` evaluations. */
double exp_loop(const double *x, long n, long count) {
    double s = 0.0;
    for (long i = 0, j = 0; i < count; ++i) {
        s += exp(-x[j]);
        if (++j == n) j = 0;
    }
    return s;
}
"""


def build_exp_loop(folder):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        return None
    src = os.path.join(folder, "exp_loop.c")
    lib = os.path.join(folder, "exp_loop.so")
    with open(src, "w") as f:
        f.write(EXP_LOOP)
    subprocess.run([cc, "-O2", "-shared", "-fPIC", src, "-o", lib, "-lm"], check=True)
    dll = ctypes.CDLL(lib)
    dll.exp_loop.restype = ctypes.c_double
    dll.exp_loop.argtypes = [ctypes.c_void_p, ctypes.c_long, ctypes.c_long]
    return dll


# ---- the cases --------------------------------------------------------------------------------

ROWS = []


def report(name, t, agree=True, note=""):
    """Add a table row from the medians t (keys: kernel, numpy, bound; the last two optional)."""
    k = t["kernel"]
    npy, bound = t.get("numpy"), t.get("bound")
    ROWS.append((
        name,
        f"{k * 1e3:9.3f} ms" if k >= 1e-4 else f"{k * 1e6:9.2f} us",
        "" if npy is None else (f"{npy * 1e3:9.3f} ms" if npy >= 1e-4 else f"{npy * 1e6:9.2f} us"),
        "" if npy is None else f"{npy / k:7.1f}",
        "" if bound is None else (f"{bound * 1e3:9.3f} ms" if bound >= 1e-4 else f"{bound * 1e6:9.2f} us"),
        "" if bound is None else f"{k / bound:6.2f}",
        ("" if agree else "DISAGREE ") + note,
    ))


def check(a, b, rtol=1e-12, atol=0.0):
    return bool(np.allclose(a, b, rtol=rtol, atol=atol, equal_nan=True))


def bench_trapz2D(rng, shape, repeats):
    data = rng.random(shape)
    h = rng.uniform(0.5, 1.5, shape[0] - 1)
    nint = np.full(shape[1], shape[0] - 1, INTC)
    numpy_code = lambda: 0.5 * ((data[:-1] + data[1:]) * h[:, None]).sum(axis=0)
    agree = check(_quadra.trapz2D(data, h, nint), numpy_code())
    t = medians({"kernel": lambda: _quadra.trapz2D(data, h, nint), "numpy": numpy_code,
                 "bound": lambda: data.sum(axis=0)}, repeats)
    report(f"trapz2D {shape[0]}x{shape[1]}", t, agree)


def bench_simps2D(rng, shape, repeats):
    data = rng.random(shape)
    x = np.cumsum(rng.uniform(0.5, 1.5, shape[0]))
    h = np.diff(x)
    hsum, hratio, hfactor = _simpson.geth(h)
    nint = np.full(shape[1], shape[0], INTC)
    scipy_code = lambda: integrate.simpson(data, x=x, axis=0)
    agree = check(_simpson.simps2D(data, h, nint, hsum, hratio, hfactor), scipy_code(), rtol=1e-10)
    t = medians({"kernel": lambda: _simpson.simps2D(data, h, nint, hsum, hratio, hfactor),
                 "numpy": scipy_code, "bound": lambda: data.sum(axis=0)}, repeats)
    report(f"simps2D {shape[0]}x{shape[1]} (vs scipy.simpson)", t, agree)


def bench_optdepth(rng, shape, repeats):
    data = rng.random(shape)
    h = rng.uniform(0.5, 1.5, shape[0] - 1)
    ideep = np.full(shape[1], -1, INTC)
    numpy_code = lambda: ((data[:-1] + data[1:]) * h[:, None]).sum(axis=0)
    agree = check(_quadra.optdepth(data, h, np.inf, ideep, 1), numpy_code())
    t = medians({"kernel": lambda: _quadra.optdepth(data, h, np.inf, ideep, 1),
                 "numpy": numpy_code, "bound": lambda: data.sum(axis=0)}, repeats)
    report(f"optdepth {shape[0]}x{shape[1]}", t, agree)


PATHS = _quadra._simd_paths  # the vector paths this CPU runs, narrowest first
WIDEST = PATHS[-1]


def on_path(module, path, fn):
    """fn run with `module`'s kernels on the vector path `path`."""
    def run():
        module._set_simd(path)
        return fn()
    return run


def vexp_seconds(repeats):
    """Seconds per exponential of the widest path's exp over an array (in cache)."""
    x = -np.random.default_rng(3).uniform(0.0, 50.0, 100_000)
    _quadra._set_simd(WIDEST)
    t = medians({"exp": lambda: _quadra._exp(x)}, repeats, inner=20)
    return t["exp"] / x.size


def bench_intensity(rng, shape, nmu, repeats, exp_loop):
    layers, cols = shape
    tau = np.cumsum(rng.uniform(0.0, 0.2, shape), axis=0)
    planck = rng.uniform(1.0, 2.0, shape)
    ideep = rng.integers(layers // 4, layers, cols).astype(INTC)  # bottoms spread over the layers
    mu = np.linspace(1.0, 0.2, nmu) + 1e-3  # cosines whose reciprocals round
    rows = np.arange(layers)[:, None]

    def numpy_code():
        # The dense formula: every layer, masked below each wavelength's bottom.
        inside = rows <= ideep[None, :]
        bottom_b = planck[ideep, np.arange(cols)]
        bottom_t = tau[ideep, np.arange(cols)]
        out = np.empty((nmu, cols))
        for j, m in enumerate(mu):
            e = np.exp(-tau / m)
            w = np.where(inside[1:], e[1:] - e[:-1], 0.0)
            out[j] = bottom_b * np.exp(-bottom_t / m) - 0.5 * ((planck[:-1] + planck[1:]) * w).sum(0)
        return out

    call = lambda: _quadra.intensity(tau, ideep, planck, mu, 0)
    results = {p: on_path(_quadra, p, call)() for p in PATHS}
    same = all(np.array_equal(results[p], results[PATHS[0]]) for p in PATHS)
    agree = same and check(results[PATHS[0]], numpy_code(), rtol=1e-11)
    ncalls = int(nmu * (ideep.astype(np.int64) + 1).sum())  # one exp per layer, angle, wavelength
    contenders = {p: on_path(_quadra, p, call) for p in PATHS}
    contenders["numpy"] = numpy_code
    contenders["memory"] = lambda: (tau.sum(axis=0), planck.sum(axis=0))
    xs = np.ascontiguousarray(tau[:, :1000].ravel())
    if exp_loop is not None:
        contenders["libm"] = lambda: exp_loop.exp_loop(xs.ctypes.data, xs.size, ncalls)
    t = medians(contenders, repeats)
    vexp_bound = ncalls * vexp_seconds(repeats)
    for p in reversed(PATHS):
        libm = (f"; {t['libm'] / t[p]:.1f}x faster than the libm exp loop (the old kernel)"
                if "libm" in t else "")
        report(f"intensity {layers}x{cols}, {nmu} angles [{p}]",
               {"kernel": t[p], "numpy": t["numpy"], "bound": vexp_bound}, agree,
               f"bound: {ncalls / 1e6:.1f}M {WIDEST} exp; {t[p] / t['memory']:.1f}x the memory "
               f"pass{libm}")
    ROWS.append(("  memory pass over tau and planck", f"{t['memory'] * 1e3:9.3f} ms", "", "", "",
                 "", "one numpy pass: tau.sum(axis=0), planck.sum(axis=0)"))


def alkali_inputs(nwn, span, layers=100):
    """Na and K doublets over `layers` layers on `nwn` samples spread over `span` cm-1."""
    wn = np.linspace(12000.0, 12000.0 + span, nwn)
    wn0 = np.array([12985.2, 13042.9, 16956.2, 16973.4])
    press = np.logspace(0, 8, layers)
    temp = np.linspace(800.0, 2000.0, layers)
    ext = np.zeros((layers, nwn))
    wingamp = np.full((layers, 4), 1e-3)
    oscstr = np.array([0.34, 0.68, 0.32, 0.64])
    dwn = np.full(4, wn[1] - wn[0])
    icenter = np.searchsorted(wn, wn0).astype(INTC)
    return (press, wn, temp, wingamp, ext, 30.0, 23.0, 0.1, 1.0, 25.0, wn0, oscstr, dwn, icenter)


def alkali_numpy(press, wn, temp, wingamp, ext, detuning, mass, lorentz, norm, cutoff, wn0,
                 oscstr, dwn, icenter):
    """What a numpy user would write: per line and layer, one pass over the whole grid."""
    K = 8.852821681767784e-13
    for i, nu0 in enumerate(wn0):
        for m, T in enumerate(temp):
            L = lorentz * press[m] * (T / 2000.0) ** -0.7 / 1.01e6
            X = detuning * (T / 500.0) ** 0.6
            D = math.sqrt(T * 2.761316e-16 / (mass * 1.66053886e-24)) * nu0 / 2.99792458e10
            W = 2 * (0.5346 * L + math.sqrt(0.2166 * L * L + D * D))
            d = wn - nu0
            idx = np.nonzero(np.abs(d) <= cutoff)[0]
            dd = d[idx]
            core = np.abs(dd) < X
            phi = (L / np.pi) / (dd[core] ** 2 + L * L)
            ext[m, idx[core]] += K * oscstr[i] * phi / norm
            r = np.abs(dd[~core]) / X
            ext[m, idx[~core]] += (K * oscstr[i] * wingamp[m, i]
                                   * np.exp(-1.4387768775039338 * (np.abs(dd[~core]) - X) / T)
                                   / (norm * r * np.sqrt(r)))
            jc = idx[core]
            jc = jc[jc != icenter[i]]
            S = np.sum(phi[idx[core] != icenter[i]] * (wn[jc + 1] - wn[jc - 1]))
            if S > 0 and not W >= 2 * dwn[i]:
                k = icenter[i]
                ext[m, k] = K * oscstr[i] * (2 - S) / (norm * (wn[k + 1] - wn[k - 1]))


def bench_alkali(sizes, repeats):
    cases = [(nwn, 25.0) for nwn in sizes] + [(sizes[0], 1500.0)]
    for nwn, cutoff in cases:
        args = alkali_inputs(nwn, 6000.0)
        args = args[:9] + (cutoff,) + args[10:]
        ext = args[4]
        exts = {}
        for p in PATHS:
            ext[:] = 0.0
            on_path(_alkali, p, lambda: _alkali.alkali_cross_section(*args))()
            exts[p] = ext.copy()
        np_args = list(args)
        np_args[4] = np.zeros_like(ext)
        alkali_numpy(*np_args)
        same = all(np.array_equal(exts[p], exts[PATHS[0]]) for p in PATHS)
        agree = same and check(exts[PATHS[0]], np_args[4], rtol=1e-9, atol=1e-300)
        contenders = {p: on_path(_alkali, p, lambda: _alkali.alkali_cross_section(*args))
                      for p in PATHS}
        contenders["numpy"] = lambda: alkali_numpy(*np_args)
        t = medians(contenders, repeats)
        for p in reversed(PATHS):
            wings = "" if cutoff == 25.0 else f", {cutoff:g} cm-1 wings"
            report(f"alkali_cross_section 4 lines, 100 layers, {nwn:.0e} samples{wings} [{p}]",
                   {"kernel": t[p], "numpy": t["numpy"]}, agree,
                   f"numpy: a pass over the grid per line and layer; {t['scalar'] / t[p]:.2f}x "
                   "the scalar path")
    # The same windows (same spacing near the lines) on a grid ten times longer: the samples
    # outside the windows should cost nothing.
    _alkali._set_simd(WIDEST)
    nwn = sizes[0]
    short = alkali_inputs(nwn, 6000.0)
    long = alkali_inputs(10 * nwn - 9, 60000.0)
    t = medians({"kernel": lambda: _alkali.alkali_cross_section(*long),
                 "short": lambda: _alkali.alkali_cross_section(*short)}, repeats)
    ROWS.append((f"  alkali on {10 * nwn - 9:.0e} samples / same windows on {nwn:.0e}",
                 "", "", "", "", f"{t['kernel'] / t['short']:6.2f}",
                 "cost of the samples outside the windows (1.0 = none)"))


def bench_guillot(rng, layers, repeats):
    params = np.array([-1.5, -0.8, -0.8, 0.5, 1200.0, 100.0])
    press = np.logspace(-2, 8, layers)
    grav = np.full(layers, 2200.0)

    def numpy_code():
        kappa, g1, g2 = 10.0 ** params[:3]
        alpha, tirr, tint = params[3:]
        tau = press * kappa / grav

        def xi(g):
            e2 = special.expn(2, g * tau)
            return 2 / 3 * (1 + (1 / g) * (1 + (g * tau / 2 - 1) * np.exp(-g * tau))
                            + g * (1 - tau**2 / 2) * e2)

        return (0.75 * (tirr**4 * ((1 - alpha) * xi(g1) + alpha * xi(g2))
                        + tint**4 * (tau + 2 / 3))) ** 0.25

    agree = check(_kelvo.guillot(params, press, grav), numpy_code(), rtol=1e-10)
    t = medians({"kernel": lambda: _kelvo.guillot(params, press, grav), "numpy": numpy_code},
                repeats, inner=200)
    report(f"guillot {layers} layers", t, agree)


def bench_overhead(rng, repeats):
    y = rng.random(16)
    h = np.full(15, 0.1)
    x = np.cumsum(np.concatenate([[0.0], h]))
    hs = _simpson.geth(h[:14])
    y15 = y[:15]
    t = medians({"kernel": lambda: _quadra.trapz(y, h),
                 "numpy": lambda: integrate.trapezoid(y, x)}, repeats, inner=2000)
    report("trapz, 16 samples (vs scipy.trapezoid)", t, check(_quadra.trapz(y, h), integrate.trapezoid(y, x)))
    t = medians({"kernel": lambda: _simpson.simps(y15, h[:14], *hs),
                 "numpy": lambda: integrate.simpson(y15, x=x[:15])}, repeats, inner=2000)
    report("simps, 15 samples (vs scipy.simpson)", t,
           check(_simpson.simps(y15, h[:14], *hs), integrate.simpson(y15, x=x[:15]), rtol=1e-10))
    data = rng.random((16, 16))
    ideep = np.full(16, -1, INTC)
    t = medians({"kernel": lambda: _quadra.optdepth(data, h, np.inf, ideep, 1),
                 "numpy": lambda: ((data[:-1] + data[1:]) * h[:, None]).sum(axis=0)},
                repeats, inner=2000)
    report("optdepth, 16x16", t)


def bench_threads(rng, shape, repeats):
    """Throughput of two Python threads on independent inputs, against one thread."""
    inputs = [(rng.random(shape), rng.uniform(0.5, 1.5, shape[0] - 1),
               np.full(shape[1], shape[0] - 1, INTC)) for _ in range(2)]
    tau = np.cumsum(rng.uniform(0, 0.2, (shape[0], shape[1] // 4)), axis=0)
    ideep = np.full(tau.shape[1], shape[0] - 1, INTC)
    planck = np.ones_like(tau)
    mu = np.array([1.0, 0.5])
    work = lambda: _quadra.intensity(tau, ideep, planck, mu, 0)

    def one():
        work()
        work()

    def two():
        ts = [threading.Thread(target=work) for _ in range(2)]
        for th in ts:
            th.start()
        for th in ts:
            th.join()

    t = medians({"one": one, "two": two}, repeats)
    ROWS.append(("two threads, 2 x intensity (one thread / two)", f"{t['two'] * 1e3:9.3f} ms",
                 f"{t['one'] * 1e3:9.3f} ms", f"{t['one'] / t['two']:7.2f}", "", "",
                 "throughput gain of two threads"))
    del inputs


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="tiny sizes, a smoke run")
    ap.add_argument("--repeats", type=int, default=None)
    args = ap.parse_args(argv)
    quick = args.quick
    repeats = args.repeats or (3 if quick else 11)
    rng = np.random.default_rng(7)
    big = (11, 1000) if quick else (100, 100_000)
    print(f"vector paths on this CPU: {', '.join(PATHS)}; the other kernels run on {WIDEST}")
    with tempfile.TemporaryDirectory() as tmp:
        exp_loop = build_exp_loop(tmp)
        bench_trapz2D(rng, big, repeats)
        bench_simps2D(rng, (big[0] | 1, big[1]), repeats)  # odd samples: scipy's rule is ours
        bench_optdepth(rng, big, repeats)
        bench_intensity(rng, big, 4, max(3, repeats // 2), exp_loop)
        bench_alkali((1000, 10_000) if quick else (100_000, 1_000_000), 3)
        for module in (_quadra, _alkali):
            module._set_simd(WIDEST)
        bench_guillot(rng, 100, repeats)
        bench_overhead(rng, repeats)
        bench_threads(rng, (20, 4000) if quick else (100, 100_000), max(3, repeats // 2))
    header = ("case", "kernel", "numpy/scipy", "x faster", "bound", "x bound", "note")
    widths = [max(len(str(r[i])) for r in ROWS + [header]) for i in range(len(header))]
    line = " | ".join(h.ljust(w) for h, w in zip(header, widths))
    print(f"numpy {np.__version__}, python {sys.version.split()[0]}, {os.cpu_count()} cores")
    print(line)
    print("-|-".join("-" * w for w in widths))
    for r in ROWS:
        print(" | ".join(str(c).ljust(w) for c, w in zip(r, widths)))
    bad = [r for r in ROWS if r[-1].startswith("DISAGREE")]
    return 1 if bad else 0


if __name__ == "__main__":
    raise SystemExit(main())
