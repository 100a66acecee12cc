"""Molecular cross sections from the ExoMol tables in the HDF5 layout most retrieval codes share
(the "TauREx" files, `*.xsec.TauREx.h5`): datasets `p` (bar), `t` (K), `bin_edges` (the
wavenumbers of the samples, cm^-1, ascending), `xsecarr` (cm^2 per molecule, p x t x
wavenumber) and `mol_name`.

A table is read lazily with h5py: only the samples that bracket the wavenumbers a model needs,
never the whole file. It is then resampled onto the model's grid by sampling, the way retrieval
codes treat tables at resolving powers up to about 15 000: each model wavenumber takes the
table's own value at the sample nearest to it. The tables sample their lines: a model
wavenumber's transmittance is then that of a true frequency, and a bin's mean transmittance
the mean of such samples, without bias. Interpolating between two samples (or averaging the
cross section over a bin) would not be: the transmittance is convex in the cross section, so
a mean cross section overstates the absorption, by about 0.3 scale heights for H2O at
R = 1000 against a spectrum computed at the table's own resolution and then binned.

ExoMol publishes the tables at https://www.exomol.com/data/data-types/xsec_VO/ (one file per
molecule and line list, e.g. `1H2-16O__POKAZATEL__R15000_0.3-50mu.xsec.TauREx.h5`).
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from exokern.errors import require
from exokern.opacity import TableError

Array = npt.NDArray[np.float64]

SUFFIX = ".h5"
_PRESSURE_UNITS = {"bar": 1.0, "pa": 1e-5, "mbar": 1e-3, "atm": 1.01325}


@dataclass(frozen=True)
class XsecTable:
    """The part of a table a model reads: its pressure (bar) and temperature (K) nodes, the
    wavenumbers read and the cross sections there, `sigma[p, t, wavenumber]`."""

    path: str
    name: str
    pressure: Array
    temperature: Array
    wn: Array
    sigma: Array


def _axis(path: str, name: str, data: Any) -> Array:
    values = np.asarray(data, dtype=np.float64)
    if values.ndim != 1 or len(values) == 0:
        raise TableError(f"{path}: dataset {name} must be a non-empty list of values, got "
                         f"shape {values.shape}")
    if not (np.all(np.isfinite(values)) and np.all(values > 0)):
        raise TableError(f"{path}: dataset {name} must hold finite positive values")
    if len(values) > 1 and not np.all(np.diff(values) > 0):
        raise TableError(f"{path}: dataset {name} must ascend")
    return values


def read_xsec(path: str, wn_min: float, wn_max: float) -> XsecTable:
    """The samples of the table at `path` that cover wn_min..wn_max (cm^-1), and one beyond
    each end where the table has it. TableError names the file when it is not such a table,
    or when it does not cover the range."""
    h5py = require("h5py", "tables", "reading cross-section tables")
    try:
        stream = h5py.File(path, "r")
    except OSError as err:
        if not os.path.exists(path):
            raise
        raise TableError(f"{path}: not an HDF5 file ({err})") from None
    with stream:
        missing = [k for k in ("p", "t", "bin_edges", "xsecarr") if k not in stream]
        if missing:
            raise TableError(f"{path}: not a cross-section table in the TauREx layout (no "
                             f"dataset {', '.join(missing)})")
        units = stream["p"].attrs.get("units", "bar")
        units = units.decode() if isinstance(units, bytes) else str(units)
        if units.lower() not in _PRESSURE_UNITS:
            raise TableError(f"{path}: pressures in {units!r}, which exokern does not know "
                             f"(known: {', '.join(_PRESSURE_UNITS)})")
        pressure = _axis(path, "p", stream["p"][...]) * _PRESSURE_UNITS[units.lower()]
        temperature = _axis(path, "t", stream["t"][...])
        wn = _axis(path, "bin_edges", stream["bin_edges"][...])
        sigma = stream["xsecarr"]
        if sigma.shape != (len(pressure), len(temperature), len(wn)):
            raise TableError(f"{path}: xsecarr has shape {sigma.shape}, expected (p, t, "
                             f"wavenumber) = ({len(pressure)}, {len(temperature)}, {len(wn)})")
        if not (wn[0] <= wn_min and wn_max <= wn[-1]):
            raise TableError(f"{path} covers {wn[0]:.6g} .. {wn[-1]:.6g} cm^-1; the model needs "
                             f"{wn_min:.6g} .. {wn_max:.6g} cm^-1")
        first = max(int(np.searchsorted(wn, wn_min, side="right")) - 1, 0)
        last = min(int(np.searchsorted(wn, wn_max, side="left")) + 1, len(wn))
        values = np.asarray(sigma[:, :, first:last], dtype=np.float64)
        name = molecule_name(stream)
    if not (np.all(np.isfinite(values)) and np.all(values >= 0)):
        raise TableError(f"{path}: the cross sections must be finite and not negative")
    return XsecTable(path, name, pressure, temperature, wn[first:last].copy(), values)


def molecule_name(stream: Any) -> str:
    """The `mol_name` of an open table: a string, or (as ExoMol writes it) an array of one."""
    if "mol_name" not in stream:
        return ""
    name = stream["mol_name"][()]
    if isinstance(name, np.ndarray):
        name = name.reshape(-1)[0] if name.size else ""
    return name.decode() if isinstance(name, bytes) else str(name)


def nearest(grid: Array, wn: Array) -> npt.NDArray[np.intp]:
    """The index of the sample of the ascending `grid` nearest to each of `wn` (the lower one
    on a tie)."""
    j = np.clip(np.searchsorted(grid, wn), 1, len(grid) - 1)
    return np.where(wn - grid[j - 1] <= grid[j] - wn, j - 1, j)


def resample(table: XsecTable, wn: Array) -> Array:
    """The table sampled at the model's wavenumbers `wn` (inside the table's range): one row
    per (pressure, temperature) node, in that order, shape (p t, len(wn))."""
    rows = table.sigma.reshape(-1, table.sigma.shape[-1])
    if len(table.wn) == 1:
        return np.repeat(rows, len(wn), axis=1)
    return np.ascontiguousarray(rows[:, nearest(table.wn, wn)])
