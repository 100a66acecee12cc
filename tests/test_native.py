"""The layer kernels and the message function exported by _quadra and _alkali, through ctypes."""

import ctypes
import math

import numpy as np
import pytest

from exokern import _alkali, _quadra
from helpers import flush_c_stdout, layouts1, layouts2, native

c_int, c_double, obj = ctypes.c_int, ctypes.c_double, ctypes.py_object


@pytest.fixture(params=["_quadra", "_alkali"])
def lib(request):
    lib = native({"_quadra": _quadra, "_alkali": _alkali}[request.param])
    lib.tdiff.argtypes = [obj, obj, c_int, c_int, c_int, c_double]
    lib.tdiff.restype = c_int
    lib.itrapz.argtypes = [obj, obj, c_int, c_int, c_int]
    lib.itrapz.restype = c_double
    lib.msg.restype = c_int
    return lib


def test_symbols_are_exported_unmangled_from_both_libraries():
    for mod in (_quadra, _alkali):
        lib = native(mod)
        for name in ("tdiff", "itrapz", "msg"):
            assert hasattr(lib, name)


@pytest.mark.parametrize("first, last", [(0, 0), (3, 3), (4, 2)])
def test_empty_ranges(lib, first, last):
    out = np.full(4, 9.0)
    tau = np.ones((6, 2))
    assert lib.tdiff(out, tau, first, last, 1, 1.0) == 1
    assert out.tolist() == [9.0] * 4
    assert lib.itrapz(tau, out, first, last, 1) == 0.0


def test_tdiff_writes_from_element_zero_only_its_count(lib, rng):
    tau = np.cumsum(rng.exponential(size=(10, 3)), axis=0)
    out = np.full(5, -7.0)
    mu = 0.37
    assert lib.tdiff(out, tau, 5, 8, 2, mu) == 1
    r = 1.0 / mu
    want = [math.exp(-tau[k + 1, 2] * r) - math.exp(-tau[k, 2] * r) for k in (5, 6, 7)]
    assert out[:3].tolist() == want and out[3:].tolist() == [-7.0, -7.0]


def test_itrapz_cases(lib):
    data = np.array([[1.0], [2.0], [3.0]])
    assert lib.itrapz(data, np.ones(2), 0, 2, 0) == 4.0
    assert lib.itrapz(data, np.array([3.0, 99.0]), 1, 2, 0) == 0.5 * (2.0 + 3.0) * 3.0


def test_constant_depth_gives_zero_weights_and_zero_integral(lib):
    tau = np.full((5, 1), 2.0)
    out = np.full(4, 1.0)
    lib.tdiff(out, tau, 0, 4, 0, 0.5)
    assert out.tolist() == [0.0] * 4
    assert lib.itrapz(np.ones((5, 1)), out, 0, 4, 0) == 0.0


def test_kernels_reproduce_intensity_and_read_any_layout(lib, rng):
    # intensity is B[d] exp(-tau[d]/mu) minus itrapz over the weights of tdiff, bit for bit.
    tau = np.cumsum(rng.exponential(0.4, size=(12, 5)), axis=0)
    planck = rng.uniform(1, 2, size=(12, 5))
    mu = np.array([0.9, 0.33])
    ideep = np.array([11, 7, 4, 9, 2], np.intc)
    rtop = 1
    res = _quadra.intensity(tau, ideep, planck, mu, rtop)
    for (_, tv), (_, pv) in zip(layouts2(tau), layouts2(planck)):
        for j, m in enumerate(mu):
            for i, d in enumerate(ideep):
                if d - rtop == 1:  # a single layer: its own emission, no integral
                    assert res[j, i] == planck[d, i]
                    continue
                for _, w in layouts1(np.zeros(12)):
                    lib.tdiff(w, tv, rtop, int(d), i, m)
                    s = lib.itrapz(pv, w, rtop, int(d), i)
                    assert planck[d, i] * math.exp(-tau[d, i] / m) - s == res[j, i]


def test_msg_appends_and_prints(lib, capfd):
    buf = ctypes.create_string_buffer(b"ab", 64)
    assert lib.msg(c_int(0), buf, b"x=%d y=%.2f %s\n", c_int(3), c_double(1.5), b"ok") == 0
    flush_c_stdout()
    assert buf.value == b"abx=3 y=1.50 ok\n"
    assert capfd.readouterr().out == "x=3 y=1.50 ok\n"


def test_msg_negative_level_is_silent(lib, capfd):
    buf = ctypes.create_string_buffer(b"", 16)
    assert lib.msg(c_int(-1), buf, b"hidden %d", c_int(1)) == 0
    flush_c_stdout()
    assert buf.value == b"" and capfd.readouterr().out == ""
    assert lib.msg(c_int(2), buf, b"shown") == 0
    flush_c_stdout()
    assert buf.value == b"shown" and capfd.readouterr().out == "shown"
