"""Lifetimes of the objects that cross the module boundary, and calls from many threads.

Every method, on a valid call and on a rejected one, called 10^4 times in a row: the reference
counts of its arguments are as before, the memory that Python and numpy allocate (tracemalloc,
which numpy reports its array data to) does not grow, and neither does the resident size of
the process. A returned array is a new array whose only reference is the caller's. Threads
that call every method at once on their own arrays get the serial results bit for bit.
"""

import gc
import os
import sys
import threading
import tracemalloc

import numpy as np
import pytest

from exokern import _alkali, _kelvo, _quadra, _simpson

CALLS = 10_000
INTC = np.intc

# Growth allowed over CALLS calls. Python's own allocation of the first frames and freelists
# settles during the warm-up calls; a leak of one float per call (24 bytes) would already add
# 240 kB of traced memory, one result array per call ten times more.
TRACED_MARGIN = 64 * 1024
RSS_MARGIN = 8 * 1024 * 1024


def alkali_args(rng, samples, lines=2, layers=3):
    wn = np.linspace(16950.0, 17000.0, samples)
    wn0 = np.linspace(16960.0, 16990.0, lines)
    return (
        rng.uniform(1e5, 1e7, layers),            # press
        wn,
        rng.uniform(800.0, 2000.0, layers),       # temp
        rng.uniform(1e-4, 1e-3, (layers, lines)),  # wingamp
        np.zeros((layers, samples)),              # ext, written
        5.0, 22.99, 0.071, 1.0, 30.0,             # detuning, mass, lorentz, norm, cutoff
        wn0, rng.uniform(0.1, 1.0, lines), np.full(lines, 1e3),  # wn0, oscstr, dwn
        np.searchsorted(wn, wn0).astype(INTC),    # icenter
    )


def valid_calls(rng, n):
    """(name, function, argument tuple) for a valid call of every method, with arrays of about
    n elements along the integrated axis; arguments that a method writes are included."""
    h = rng.uniform(0.1, 1.0, n)
    y = rng.uniform(-1.0, 1.0, n + 1)
    cols = max(n // 8, 2)
    data2 = rng.uniform(0.0, 1.0, (9, cols))
    tau = np.cumsum(rng.uniform(0.0, 0.3, (9, cols)), axis=0)
    geth_h = rng.uniform(0.1, 1.0, 8)
    hsum, hratio, hfactor = _simpson.geth(geth_h)
    params = np.array([-1.5, -0.8, -0.8, 0.5, 1200.0, 100.0])
    pressure = np.logspace(-2, 8, max(n // 16, 2))
    return [
        ("trapz", _quadra.trapz, (y, h)),
        ("trapz2D", _quadra.trapz2D, (data2, h[:8], np.full(cols, 8, INTC))),
        ("cumtrapz", _quadra.cumtrapz, (np.zeros(n + 1), y, h, 1e300)),
        ("optdepth", _quadra.optdepth, (data2, h[:8], 1.0, np.full(cols, -1, INTC), 3)),
        ("intensity", _quadra.intensity,
         (tau, np.full(cols, 8, INTC), data2, np.array([1.0, 0.5, 0.2]), 0)),
        ("alkali_cross_section", _alkali.alkali_cross_section, alkali_args(rng, n)),
        ("geth", _simpson.geth, (h,)),
        ("simps", _simpson.simps, (y[:9], h[:8], hsum, hratio, hfactor)),
        ("simps2D", _simpson.simps2D,
         (data2, h[:8], np.full(cols, 9, INTC), hsum, hratio, hfactor)),
        ("guillot", _kelvo.guillot, (params, pressure, np.full(len(pressure), 2200.0))),
        ("guillot-no-grav", _kelvo.guillot, (params, pressure)),
        ("isothermal", _kelvo.isothermal, (np.array([1500.0]), n)),
    ]


def rejected_calls(rng, n):
    """(name, function, argument tuple, exception) for every method, each failing at one of its
    last checks, after all the others have passed."""
    calls = {name: args for name, _, args in valid_calls(rng, n)}

    def swap(name, k, value):
        args = list(calls[name])
        args[k] = value
        return tuple(args)

    cols = calls["trapz2D"][0].shape[1]
    return [
        ("trapz", _quadra.trapz, swap("trapz", 0, np.ones(n)), ValueError),
        ("trapz2D", _quadra.trapz2D, swap("trapz2D", 2, np.full(cols, 9, INTC)), ValueError),
        ("cumtrapz", _quadra.cumtrapz, swap("cumtrapz", 1, np.ones(n)), ValueError),
        ("cumtrapz-threshold", _quadra.cumtrapz, swap("cumtrapz", 3, "high"), TypeError),
        ("optdepth", _quadra.optdepth, swap("optdepth", 0, np.ones((8, cols))), ValueError),
        ("optdepth-ilay", _quadra.optdepth, swap("optdepth", 4, 2**40), OverflowError),
        ("intensity", _quadra.intensity, swap("intensity", 4, -1), ValueError),
        ("alkali_cross_section", _alkali.alkali_cross_section,
         swap("alkali_cross_section", 13, np.array([0, n], INTC)), ValueError),
        ("geth", _simpson.geth, (np.ones(4, np.float32),), TypeError),
        ("simps", _simpson.simps, swap("simps", 4, np.ones(3)), ValueError),
        ("simps2D", _simpson.simps2D, swap("simps2D", 5, np.ones(3)), ValueError),
        ("guillot", _kelvo.guillot,
         swap("guillot", 2, np.ones(len(calls["guillot"][1]) - 1)), ValueError),
        ("guillot-args", _kelvo.guillot, calls["guillot"] + (None,), TypeError),
        ("isothermal", _kelvo.isothermal, (np.array([1500.0]), -5), ValueError),
    ]


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def sanitizer_loaded():
    # The AddressSanitizer keeps freed memory in quarantine, so the resident size grows for a
    # while without any leak.
    try:
        with open("/proc/self/maps") as f:
            return "libasan" in f.read()
    except OSError:
        return False


def assert_flat(call, label):
    """Runs call() CALLS times; the reference counts of its arguments, the traced memory and
    the resident size must come back to where they were."""
    for _ in range(200):
        call()
    gc.collect()
    tracemalloc.start()
    try:
        traced = tracemalloc.get_traced_memory()[0]
        rss = resident_bytes() if os.path.exists("/proc/self/statm") else None
        for _ in range(CALLS):
            call()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - traced
        rss_grown = resident_bytes() - rss if rss is not None else 0
    finally:
        tracemalloc.stop()
    assert grown < TRACED_MARGIN, f"{label}: traced memory grew by {grown} bytes"
    if not sanitizer_loaded():
        assert rss_grown < RSS_MARGIN, f"{label}: resident size grew by {rss_grown} bytes"


def refcounts(args):
    # Small ints, None and strings (interned: every module that spells "high" holds the same
    # object) are shared by the whole interpreter; their counts move with it.
    return [None if a is None or type(a) is str or type(a) is int and -5 <= a <= 256
            else sys.getrefcount(a) for a in args]


VALID = valid_calls(np.random.default_rng(8), 256)
REJECTED = rejected_calls(np.random.default_rng(8), 256)


@pytest.mark.parametrize("name, func, args", VALID, ids=[c[0] for c in VALID])
def test_valid_calls_keep_references_and_memory(name, func, args):
    before = refcounts(args)

    def call():
        func(*args)
    assert_flat(call, name)
    assert refcounts(args) == before


@pytest.mark.parametrize("name, func, args, exc", REJECTED, ids=[c[0] for c in REJECTED])
def test_rejected_calls_keep_references_and_memory(name, func, args, exc):
    before = refcounts(args)

    def call():
        try:
            func(*args)
        except exc:
            pass
        else:
            raise AssertionError(f"{name} was not rejected")
    assert_flat(call, name)
    assert refcounts(args) == before


@pytest.mark.parametrize("name, func, args", VALID, ids=[c[0] for c in VALID])
def test_results_have_one_reference(name, func, args):
    res = func(*args)
    if isinstance(res, int):  # small ints are shared objects; nothing to count
        assert name in ("cumtrapz", "alkali_cross_section")
        return
    # One reference is res, the other getrefcount's own argument; the arrays of a list are held
    # by the list alone.
    assert sys.getrefcount(res) == 2
    if isinstance(res, list):
        assert [sys.getrefcount(res[k]) for k in range(len(res))] == [2] * len(res)
    arrays = res if isinstance(res, list) else [res] if isinstance(res, np.ndarray) else []
    assert all(a.base is None and a.flags.owndata and a.flags.writeable for a in arrays)


# ---- threads ---------------------------------------------------------------------------------
# Arrays large enough that the methods run their kernels without the interpreter lock.
THREADS = 6
ROUNDS = 8


def fresh(args):
    """A copy of the arguments that a call may write (outputs are rewritten every call)."""
    return tuple(a.copy() if isinstance(a, np.ndarray) else a for a in args)


def outcome(func, args):
    """What a call gives: its result and the final contents of every array argument."""
    args = fresh(args)
    res = func(*args)
    parts = res if isinstance(res, list) else [res]
    out = [p.tobytes() if isinstance(p, np.ndarray) else repr(p) for p in parts]
    return out + [a.tobytes() for a in args if isinstance(a, np.ndarray)]


def test_threads_get_the_serial_results():
    per_thread = [valid_calls(np.random.default_rng(100 + t), 40_000) for t in range(THREADS)]
    serial = [[outcome(func, args) for _, func, args in calls] for calls in per_thread]
    barrier = threading.Barrier(THREADS)
    failures = []

    def work(t):
        try:
            barrier.wait()
            for r in range(ROUNDS):
                # Each thread walks the methods in its own order, so that different kernels
                # overlap.
                calls = per_thread[t]
                for k in np.random.default_rng(t * ROUNDS + r).permutation(len(calls)):
                    name, func, args = calls[k]
                    if outcome(func, args) != serial[t][k]:
                        failures.append((t, r, name))
        except BaseException as e:  # reported below, in the main thread
            failures.append((t, "raised", repr(e)))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert failures == []
