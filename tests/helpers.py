"""Shared helpers for the test suite: bad-input assertions, array layouts, native libraries."""

import ctypes

import numpy as np
import pytest

from reference import c_library


def assert_rejects(func, args, exc, match):
    """Calling func(*args) raises exc matching `match`, and leaves every array argument
    byte-for-byte as it was."""
    before = [a.tobytes() if isinstance(a, np.ndarray) else None for a in args]
    with pytest.raises(exc, match=match):
        func(*args)
    for i, (arg, old) in enumerate(zip(args, before)):
        if old is not None:
            assert arg.tobytes() == old, f"argument {i} was changed"


def _filler(a):
    """A value for the gaps between strided elements that no correct kernel reads."""
    return np.nan if a.dtype.kind == "f" else -123456


def layouts1(a):
    """(name, view) pairs holding the values of the 1-D array a in other memory layouts."""
    a = np.asarray(a)
    padded = np.full(2 * len(a) + 1, _filler(a), dtype=a.dtype)
    padded[1::2] = a
    rev = a[::-1].copy()[::-1]
    return [("contiguous", a.copy()), ("strided", padded[1::2]), ("reversed", rev)]


def layouts2(a):
    """(name, view) pairs holding the values of the 2-D array a in other memory layouts."""
    a = np.asarray(a)
    rows, cols = a.shape
    padded = np.full((2 * rows + 1, 3 * cols + 1), _filler(a), dtype=a.dtype)
    padded[1::2, 2::3] = a
    flipped = a[::-1, ::-1].copy()[::-1, ::-1]
    return [
        ("c-order", np.ascontiguousarray(a)),
        ("f-order", np.asfortranarray(a)),
        ("transposed", a.T.copy().T),
        ("sliced", padded[1::2, 2::3]),
        ("reversed", flipped),
    ]


def native(module):
    """The shared library of an extension module, for calling its exported functions."""
    return ctypes.PyDLL(module.__file__)


def flush_c_stdout():
    """Flush the C library's stdout so that capfd sees what printf wrote."""
    c_library().fflush(None)
