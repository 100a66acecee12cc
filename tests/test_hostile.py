"""Callers that fight the kernels: index arrays rewritten by another thread or aliased to the
output, outputs overlapping inputs, scalars of the wrong type, long calls and the interpreter
lock, printed messages and the order of output. None of it may crash the process."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from exokern import _alkali, _kelvo, _quadra, _simpson
from helpers import assert_rejects

I = np.intc
SODIUM = (30.0, 22.989769, 0.071, 1.0, 4500.0)  # detuning, mass, lorentz, norm, cutoff


def line_args(layers=3, samples=200, lines=2):
    """Arguments of alkali_cross_section before and after its five scalars."""
    rng = np.random.default_rng(1)
    wn = np.linspace(16900.0, 17000.0, samples)
    wn0 = np.linspace(16920.0, 16980.0, lines)
    icenter = np.array([np.abs(wn - c).argmin() for c in wn0], I)
    head = (10 ** rng.uniform(2, 7, layers), wn, rng.uniform(300, 3000, layers),
            10 ** rng.uniform(-9, -6, (layers, lines)), np.zeros((layers, samples)))
    tail = (wn0, rng.uniform(0.1, 1.0, lines), np.zeros(lines), icenter)
    return head, tail


# ---- indices rewritten while the kernel runs -------------------------------------------------

# Each script calls a method whose index array another thread rewrites with wild values as
# fast as it can. A check may see the wild values (ValueError); the kernel must never use them.
RACES = {
    "intensity ideep": """
        tau = np.cumsum(np.full((200, 4000), 0.01), axis=0)
        planck = np.ones((200, 4000)); mu = np.array([1.0, 0.5])
        idx = np.full(4000, 199, np.intc)
        call = lambda: _quadra.intensity(tau, idx, planck, mu, 0)
        good, bad = 199, 1 << 30
    """,
    "trapz2D nint": """
        data = np.ones((200, 4000)); h = np.ones(199)
        idx = np.full(4000, 199, np.intc)
        call = lambda: _quadra.trapz2D(data, h, idx)
        good, bad = 199, 1 << 30
    """,
    "simps2D nint": """
        y = np.ones((201, 4000)); h = np.ones(200)
        idx = np.full(4000, 200, np.intc)
        hs = _simpson.geth(h)
        call = lambda: _simpson.simps2D(y, h, idx, *hs)
        good, bad = 200, 1 << 30
    """,
    "alkali_cross_section icenter": """
        wn = np.linspace(16000.0, 18000.0, 10000); wn0 = np.linspace(16100.0, 17900.0, 400)
        idx = np.array([np.abs(wn - c).argmin() for c in wn0], np.intc)
        good, bad = idx.copy(), -(1 << 30)
        # A wide dwn makes every line write its centre sample.
        args = (np.full(20, 1e5), wn, np.full(20, 1500.0), np.full((20, 400), 1e-7),
                np.zeros((20, 10000)), 30.0, 22.99, 0.071, 1.0, 100.0, wn0, np.ones(400),
                np.full(400, 1e6), idx)
        call = lambda: _alkali.alkali_cross_section(*args)
    """,
}

RACE = """
import sys, threading, time
import numpy as np
from exokern import _alkali, _quadra, _simpson
sys.setswitchinterval(1e-5)
{setup}
stop = False
def scribble():
    while not stop:
        idx[:] = bad
        idx[:] = good
threading.Thread(target=scribble, daemon=True).start()
calls = refused = 0
end = time.monotonic() + 1.5
while time.monotonic() < end:
    calls += 1
    try:
        call()
    except ValueError:
        refused += 1
stop = True
print(calls, refused)
"""


@pytest.mark.parametrize("case", list(RACES))
def test_indices_rewritten_by_another_thread_never_crash(case):
    script = RACE.format(setup=textwrap.dedent(RACES[case]))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    calls, refused = map(int, done.stdout.split())
    assert calls > refused  # some calls got past their checks while the array was changing


def test_icenter_inside_ext_is_refused():
    # An int32 view of ext's own memory: the lines added into ext would rewrite the centres.
    head, tail = line_args(samples=200, lines=2)
    ext = head[4]
    icenter = ext[0].view(I)[:2]
    icenter[:] = tail[3]
    args = head + SODIUM + tail[:3] + (icenter,)
    assert_rejects(_alkali.alkali_cross_section, args, ValueError,
                   r"alkali_cross_section: ext overlaps icenter in memory")


# ---- outputs that overlap inputs -------------------------------------------------------------

def _ext_over(name):
    """alkali_cross_section's arguments with ext placed over the memory of input `name`."""
    head, tail = line_args(layers=3, samples=40, lines=2)
    names = ["press", "wn", "temp", "wingamp", "ext", "wn0", "oscstr", "dwn", "icenter"]
    args = dict(zip(names, head + tail))
    block = np.zeros((3, 60))
    ext = block[:, :40]
    source = args[name]
    flat = block.reshape(-1)
    if source.dtype == I:
        flat.view(I)[100:100 + source.size] = source.reshape(-1)
        args[name] = flat.view(I)[100:100 + source.size].reshape(source.shape)
    else:
        flat[42:42 + source.size] = source.reshape(-1)  # inside ext's rows, past their columns
        args[name] = flat[42:42 + source.size].reshape(source.shape)
    args["ext"] = ext
    ordered = [args[n] for n in names]
    return tuple(ordered[:5]) + SODIUM + tuple(ordered[5:])


def _cumtrapz_self():
    y = np.array([1.0, 2.0, 3.0, 4.0])
    return (y, y, np.ones(3), np.inf)


def _cumtrapz_over_h():
    out = np.zeros(4)
    return (out, np.array([1.0, 2.0, 3.0, 4.0]), out[:-1], np.inf)


def _ideep_over_data(method):
    data = np.cumsum(np.ones((3, 4)), axis=0)
    ideep = data[2].view(I)[:4]
    ideep[:] = -1
    args = (data, np.ones(2), 100.0, ideep)
    return args + (2,) if method == "optdepth" else args


def _ideep_over_intervals(method):
    h = np.ones(8)
    ideep = h[1:].view(I)[:4]
    ideep[:] = -1
    args = (np.ones((4, 4)), h[:3], 100.0, ideep)
    return args + (2,) if method == "optdepth" else args


OVERLAPS = [
    ("cumtrapz", _cumtrapz_self(), "output overlaps data"),
    ("cumtrapz", _cumtrapz_over_h(), "output overlaps intervals"),
    ("optdepth", _ideep_over_data("optdepth"), "ideep overlaps data"),
    ("cumoptdepth", _ideep_over_data("cumoptdepth"), "ideep overlaps data"),
    ("optdepth", _ideep_over_intervals("optdepth"), "ideep overlaps intervals"),
    ("cumoptdepth", _ideep_over_intervals("cumoptdepth"), "ideep overlaps intervals"),
] + [("alkali_cross_section", _ext_over(name), f"ext overlaps {name}")
     for name in ["press", "wn", "temp", "wingamp", "wn0", "oscstr", "dwn", "icenter"]]


@pytest.mark.parametrize("method, args, message", OVERLAPS,
                         ids=[f"{m}: {t}" for m, _, t in OVERLAPS])
def test_an_output_over_an_input_is_refused(method, args, message):
    module = _alkali if method == "alkali_cross_section" else _quadra
    assert_rejects(getattr(module, method), args, ValueError,
                   rf"{method}: {message} in memory")


def test_outputs_beside_their_inputs_in_one_buffer_are_accepted():
    # One buffer, disjoint pieces: cumtrapz writes the first four, reads the rest.
    buf = np.array([0, 0, 0, 0, 1.0, 2.0, 3.0, 4.0, 1.0, 1.0, 1.0])
    _quadra.cumtrapz(buf[:4], buf[4:8], buf[8:], np.inf)
    assert np.array_equal(buf[:4], [0.0, 1.5, 4.0, 7.5])
    # ext reading columns of its own buffer that are not its own.
    head, tail = line_args(layers=3, samples=40, lines=2)
    block = np.zeros((3, 80))
    block[:, 40:] = 0.0
    alone = head[4].copy()
    _alkali.alkali_cross_section(*head[:4], alone, *SODIUM, *tail)
    _alkali.alkali_cross_section(*head[:4], block[:, :40], *SODIUM, *tail)
    assert np.array_equal(block[:, :40], alone)


# ---- scalar arguments ----------------------------------------------------------------------

def _scalar_cases():
    head, tail = line_args()
    tau = np.cumsum(np.ones((3, 2)), axis=0)
    deep = np.full(2, -1, I)
    calls = {
        "cumtrapz": (_quadra.cumtrapz, (np.zeros(3), np.ones(3), np.ones(2), 1.0), ["threshold"]),
        "optdepth": (_quadra.optdepth, (tau, np.ones(2), 1.0, deep, 1), ["taumax", "ilay"]),
        "cumoptdepth": (_quadra.cumoptdepth, (tau, np.ones(2), 1.0, deep), ["taumax"]),
        "intensity": (_quadra.intensity, (tau, np.array([2, 2], I), tau, np.ones(1), 0),
                      ["rtop"]),
        "alkali_cross_section": (_alkali.alkali_cross_section, head + SODIUM + tail,
                                 ["detuning", "mass", "lorentz", "norm", "cutoff"]),
        "isothermal": (_kelvo.isothermal, (np.ones(1), 3), ["nlayers"]),
    }
    positions = {"threshold": 3, "taumax": 2, "ilay": 4, "rtop": 4, "nlayers": 1,
                 "detuning": 5, "mass": 6, "lorentz": 7, "norm": 8, "cutoff": 9}
    integers = {"ilay", "rtop", "nlayers"}
    for method, (func, args, names) in calls.items():
        for name in names:
            kind = "an integer" if name in integers else "a real number"
            for bad, shown in [(None, "NoneType"), ("5", "str"), ([1.0], "list")] + (
                    [(1.5, "float")] if name in integers else []):
                a = list(args)
                a[positions[name]] = bad
                yield pytest.param(func, tuple(a), f"{method}: {name} must be {kind}, got {shown}",
                                   id=f"{method}-{name}-{shown}")


@pytest.mark.parametrize("func, args, message", list(_scalar_cases()))
def test_a_wrong_scalar_names_the_method_and_the_argument(func, args, message):
    assert_rejects(func, args, TypeError, "^" + message + "$")


@pytest.mark.parametrize("value", [np.float32(2.5), np.int64(3), 3, True, np.array(4.0)])
def test_numbers_of_any_kind_are_real(value):
    data, h = np.array([1.0, 2.0, 3.0, 4.0]), np.ones(3)
    got, want = np.zeros(4), np.zeros(4)
    _quadra.cumtrapz(got, data, h, value)
    _quadra.cumtrapz(want, data, h, float(value))
    assert np.array_equal(got, want)


def test_an_integer_out_of_range_names_the_argument():
    with pytest.raises(OverflowError, match=r"^optdepth: ilay must fit in a 32-bit int"):
        _quadra.optdepth(np.ones((3, 2)), np.ones(2), 1.0, np.full(2, -1, I), 1 << 40)
    with pytest.raises(OverflowError, match=r"^alkali_cross_section: mass is too large"):
        head, tail = line_args()
        _alkali.alkali_cross_section(*head, 30.0, 10**400, 0.071, 1.0, 4500.0, *tail)


# ---- geth's one-sample result --------------------------------------------------------------

@pytest.mark.parametrize("n", [0, 1])
def test_simps_takes_what_geth_gives_for_one_sample(n):
    # One sample (no interval) or two (one interval, trapezoid): no pair of intervals is read.
    h = np.ones(n)
    y = np.arange(1.0, n + 2.0)
    expected = 0.0 if n == 0 else 1.5
    assert _simpson.simps(y, h, *_simpson.geth(h)) == expected
    nint = np.full(3, n + 1, I)  # samples per column
    got = _simpson.simps2D(np.tile(y[:, None], (1, 3)), h, nint, *_simpson.geth(h))
    assert np.array_equal(got, np.full(3, expected))


# ---- the interpreter lock ------------------------------------------------------------------

def _lock_share(call):
    """The share of a call's wall time that another Python thread got to run."""
    ticks = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    thread = threading.Thread(target=count)
    thread.start()
    try:
        start, t0 = ticks[0], time.perf_counter()
        time.sleep(0.2)
        rate = (ticks[0] - start) / (time.perf_counter() - t0)
        start, t0 = ticks[0], time.perf_counter()
        call()
        share = (ticks[0] - start) / (rate * (time.perf_counter() - t0))
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(old)
    return share


def test_wide_line_windows_release_the_lock():
    # Few lines and layers, but windows of thousands of samples each: a long call.
    wn = np.linspace(12000.0, 18000.0, 6000)
    wn0 = np.linspace(12500.0, 17500.0, 100)
    icenter = np.array([np.abs(wn - c).argmin() for c in wn0], I)
    args = (np.full(100, 1e5), wn, np.full(100, 1500.0), np.full((100, 100), 1e-7),
            np.zeros((100, 6000)), *SODIUM, wn0, np.ones(100), np.zeros(100), icenter)
    assert _lock_share(lambda: _alkali.alkali_cross_section(*args)) > 0.2


# ---- messages and the order of output -----------------------------------------------------

GUILLOT_ORDER = """
import numpy as np
from exokern import _kelvo
print("before")
_kelvo.guillot(np.array([0.0, 0.0, 1.0, 0.5, 1200.0, 100.0]), np.array([-1.0, 1.0]))
print("after")
"""


def _buffered():
    return {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}


def test_domain_messages_follow_what_python_printed_before():
    # stdout is a pipe: Python holds "before" in its buffer; the messages still come after it.
    done = subprocess.run([sys.executable, "-c", GUILLOT_ORDER], capture_output=True,
                          text=True, timeout=60, env=_buffered())
    assert done.returncode == 0, done.stderr
    assert done.stdout == ("before\nDomain error, x (-1) must be >= 0.\n"
                           "Domain error, x (-10) must be >= 0.\nafter\n")


JUPYTER = """
import os, sys, threading, time
import numpy as np
from exokern import _kelvo
# File descriptor 1 is a pipe read by a slow Python thread, as in Jupyter's kernel.
read, write = os.pipe()
saved = os.dup(1)
os.dup2(write, 1)
got = []
def drain():
    while True:
        chunk = os.read(read, 4096)
        if not chunk:
            break
        got.append(chunk)
        time.sleep(0.001)
reader = threading.Thread(target=drain)
reader.start()
sys.stdout = open(1, "w", closefd=False)
params, pressure = np.array([0.0, 0.0, 1.0, 0.5, 1200.0, 100.0]), -np.geomspace(1.0, 1e3, 50)
for _ in range(400):  # small profiles: each call keeps the interpreter lock
    _kelvo.guillot(params, pressure)
sys.stdout.flush()
os.dup2(saved, 1)
os.close(write)
reader.join()
sys.stdout = sys.__stdout__
print(b"".join(got).count(b"Domain error"))
"""


def test_messages_with_a_thread_reading_stdout_do_not_deadlock():
    # Far more than a pipe holds; a message blocked on the pipe with the lock held would wait
    # for a reader that needs the lock.
    done = subprocess.run([sys.executable, "-c", JUPYTER], capture_output=True, text=True,
                          timeout=60, env=_buffered())
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) == 400 * 100
