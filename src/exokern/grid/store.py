"""The zarr store of a grid: its layout, the check that it belongs to a run, and the writer.

The store is laid out before any task runs, through xarray, in zarr's format 2 with
consolidated metadata, so that any xarray (and netCDF-C's zarr mode) opens it quietly in one
read. A grid made of axes has one dimension per axis, in the order given, each axis a
coordinate; a grid made of cells (a CSV file) has the dimension `cell`, each parameter a
coordinate along it. Then `wn`, with `wavelength` beside it: one variable per output of the
geometry (`flux`, `tb`, `depth`, `radius`), and per cell a `status` (0 to do, 1 done, 2
failed, documented by `flag_values` and `flag_meanings`) and the `reason` of a failure
(fixed-width UTF-8 bytes, which every netCDF and xarray reader takes). Every variable carries
`units` (UDUNITS spelling) and `long_name` from the registry (`exokern.params`); the attributes
hold the run's configuration, the model's description, the exokern version and, in `history`,
the command line of every run. Each block is written when it arrives, data first and status
after, so a cell marked done is complete.

Stores laid out before the layout had a number (`exokern_layout`) hold every grid along
`cell`, in zarr's format 3; they are resumed as they are, and `open_grid` gives a grid of axes
its axes' shape.
"""

from __future__ import annotations

import contextlib
import datetime
import json
import math
import os
import warnings
from typing import Any, Iterator, Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern import __version__
from exokern import params as registry
from exokern.engines import HeldInterrupts
from exokern.errors import RunError, require
from exokern.grid.cells import Grid
from exokern.model import ForwardModel

Cells = npt.NDArray[Any]  # indices of cells, in the order of the grid (the first axis slowest)

TODO, DONE, FAILED = 0, 1, 2
FLAG_MEANINGS = "to_do done failed"
CONFIG_ATTR = "exokern_grid"
VERSION_ATTR = "exokern_version"
MODEL_ATTR = "exokern_model"
LAYOUT_ATTR = "exokern_layout"
# 2: one dimension per axis, zarr format 2, consolidated metadata, CF attributes. Before it
# (no attribute): every grid along `cell`, zarr format 3.
LAYOUT = 2
# The reasons of failures are kept to this many bytes of UTF-8 (the summary prints them whole).
REASON_BYTES = 256
PURPOSE = "the grid job"


class StoreError(RunError):
    """A store that is not a grid's, or was laid out for another run."""


def config(grid: Grid, model: ForwardModel, fixed: Mapping[str, Optional[float]]) -> str:
    """What a store records of its run: the grid, the model's static choices, the fixed
    values."""
    return json.dumps(dict(grid=grid.describe(), model=model.static, fixed=dict(fixed)),
                      sort_keys=True)


class Layout:
    """Where the cells of a grid lie in its store: the dimensions of the cells (`dims`), their
    lengths (`shape`) and the chunk along each (`chunks`). Cell i of the grid is the element
    `numpy.unravel_index(i, shape)`."""

    def __init__(self, dims: Sequence[str], shape: Sequence[int],
                 chunks: Sequence[int]) -> None:
        self.dims, self.shape = tuple(dims), tuple(int(n) for n in shape)
        self.chunks = tuple(int(c) for c in chunks)
        # Cells in a run of this many, starting at a multiple of it, inside one chunk, form a
        # box: the block of one axis's chunk with every axis after it whole.
        outer = next((k for k, c in enumerate(self.chunks) if c > 1), len(self.chunks))
        self.row = math.prod(self.chunks[outer + 1:]) if outer < len(self.chunks) else 1

    @classmethod
    def of(cls, grid: Grid, cells_per_chunk: int) -> "Layout":
        """The layout of a new store: chunks of at most `cells_per_chunk` cells (one at
        least) that are runs of consecutive cells, whole along the last axes."""
        if grid.axes is None:
            return cls(("cell",), (len(grid),), (min(cells_per_chunk, len(grid)),))
        shape = [len(v) for v in grid.axes.values()]
        chunks, inner = [1] * len(shape), 1
        for k in reversed(range(len(shape))):
            if inner * shape[k] > cells_per_chunk:
                chunks[k] = max(1, cells_per_chunk // inner)
                break
            chunks[k], inner = shape[k], inner * shape[k]
        return cls(tuple(grid.axes), shape, chunks)

    def index(self, cells: Cells) -> tuple[npt.NDArray[np.intp], ...]:
        return tuple(np.unravel_index(np.asarray(cells, dtype=np.intp), self.shape))

    def chunk_of(self, cells: Cells) -> npt.NDArray[np.intp]:
        """The number of the chunk that holds each cell."""
        counts = tuple(-(-n // c) for n, c in zip(self.shape, self.chunks))
        where = tuple(i // c for i, c in zip(self.index(cells), self.chunks))
        return np.asarray(np.ravel_multi_index(where, counts), dtype=np.intp)


def create_store(path: str, grid: Grid, model: ForwardModel,
                 fixed: Mapping[str, Optional[float]], chunk: int) -> Layout:
    """Lay out a new store: coordinates, empty outputs, every cell to do; chunks of at most
    `chunk` cells. Returns its layout."""
    xr, da = require("xarray", "grid", PURPOSE), require("dask.array", "grid", PURPOSE)
    layout = Layout.of(grid, chunk)
    parameters = model.parameter_set
    nwave = len(model.wn)
    data: dict[str, Any] = {
        name: (layout.dims + ("wn",), da.full(layout.shape + (nwave,), np.nan,
                                              chunks=layout.chunks + (nwave,)))
        for name in model.outputs}
    data["status"] = (layout.dims, np.full(layout.shape, TODO, dtype=np.int8))
    data["reason"] = (layout.dims, np.full(layout.shape, b"", dtype=f"S{REASON_BYTES}"))
    if grid.axes is not None:
        coords: dict[str, Any] = {name: (name, np.array(values, dtype=float))
                                  for name, values in grid.axes.items()}
    else:
        coords = {name: ("cell", grid.values[:, j].copy()) for j, name in enumerate(grid.names)}
    coords["wn"] = ("wn", model.wn)
    coords["wavelength"] = ("wn", model.wavelength)
    ds = xr.Dataset(data, coords=coords)
    for name in ds.variables:
        entry = (parameters[str(name)] if name in parameters
                 else registry.QUANTITIES[str(name)])
        ds[name].attrs.update(registry.cf_attributes(entry))
    ds["status"].attrs.update(flag_values=np.array([TODO, DONE, FAILED], dtype=np.int8),
                              flag_meanings=FLAG_MEANINGS)
    ds.attrs.update({CONFIG_ATTR: config(grid, model, fixed), VERSION_ATTR: __version__,
                     LAYOUT_ATTR: LAYOUT, "geometry": model.geometry,
                     MODEL_ATTR: json.dumps(model.describe(), sort_keys=True),
                     "title": f"exokern grid of {model.geometry} spectra"})
    # The outputs are laid out, not written: a cell not yet done reads as the arrays' fill
    # value, NaN.
    encoding: dict[str, Any] = {name: {"_FillValue": np.nan} for name in model.outputs}
    encoding.update(status={"chunks": layout.chunks}, reason={"chunks": layout.chunks})
    ds.to_zarr(path, mode="w-", compute=False, encoding=encoding, zarr_format=2,
               consolidated=False)
    # The reasons are bytes on disk and text to a reader (xarray decodes them by this).
    group = require("zarr", "grid", PURPOSE).open_group(path, mode="r+")
    group["reason"].attrs["_Encoding"] = "utf-8"
    return layout


def record_run(path: str, command: str) -> None:
    """Add the run's command line to the store's `history`, with the time, and consolidate
    the store's metadata (an earlier layout's too, which then opens quietly as well)."""
    zarr = require("zarr", "grid", PURPOSE)
    group = zarr.open_group(path, mode="r+", use_consolidated=False)
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    earlier = str(group.attrs.get("history", ""))
    group.attrs["history"] = (earlier + "\n" if earlier else "") + f"{now} {command}"
    with _quiet_format_3():
        zarr.consolidate_metadata(path)


@contextlib.contextmanager
def _quiet_format_3() -> Iterator[None]:
    """zarr warns, on every string array of format 3 it makes or writes, that its
    variable-length string codec is not part of that format, and on consolidating such a
    store, that consolidated metadata is not either. Only stores of the earlier layout are of
    format 3, and the warnings mean nothing to their user."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="The codec `vlen-utf8`", category=UserWarning)
        warnings.filterwarnings("ignore", message="Consolidated metadata is currently not",
                                category=UserWarning)
        yield


def _consolidated(path: str) -> bool:
    """Whether the store at `path` has consolidated metadata (of zarr format 2 or 3)."""
    if os.path.exists(os.path.join(path, ".zmetadata")):
        return True
    try:
        with open(os.path.join(path, "zarr.json"), encoding="utf-8") as stream:
            return json.load(stream).get("consolidated_metadata") is not None
    except (OSError, ValueError):
        return False


def _open_stored(path: str) -> Any:
    """The store as it is on disk, an xarray Dataset (lazy, dask-backed)."""
    xr = require("xarray", "grid", PURPOSE)
    return xr.open_zarr(path, consolidated=_consolidated(path))


def open_grid(path: str) -> Any:
    """The grid at `path` as an xarray Dataset (lazy, dask-backed): one dimension per axis
    then `wn` for a grid of axes, (`cell`, `wn`) for a grid of cells. For a store of the
    current layout this is `xarray.open_zarr(path)`; a grid of axes in a store of the earlier
    layout (along `cell`) is given its axes' shape here."""
    ds = _open_stored(path)
    if LAYOUT_ATTR in ds.attrs or CONFIG_ATTR not in ds.attrs or "cell" not in ds.dims:
        return ds
    described = json.loads(ds.attrs[CONFIG_ATTR])["grid"]
    if not described.get("axes"):
        return ds
    # The configuration's keys are sorted; its list of parameters keeps the axes' order.
    axes = {name: described["axes"][name] for name in described["parameters"]}
    shape = tuple(len(v) for v in axes.values())
    xr = require("xarray", "grid", PURPOSE)
    variables = {}
    for name, var in ds.data_vars.items():
        rest = var.dims[1:]
        variables[name] = xr.Variable(tuple(axes) + rest,
                                      var.data.reshape(shape + var.shape[1:]), var.attrs)
    coords = {name: (name, np.array(values, dtype=float)) for name, values in axes.items()}
    coords.update({name: c.variable for name, c in ds.coords.items() if "cell" not in c.dims})
    return xr.Dataset(variables, coords=coords, attrs=ds.attrs)


def check_store(path: str, expected: str) -> tuple[Any, Layout]:
    """The status of every cell of an existing store (in the grid's order) and its layout,
    after making sure it was laid out for the configuration `expected` and this version."""
    ds = _open_stored(path)
    stored = ds.attrs.get(CONFIG_ATTR)
    if stored is None:
        raise StoreError(f"{path} exists and is not an exokern grid store")
    version = ds.attrs.get(VERSION_ATTR)
    if version != __version__:
        raise StoreError(f"{path} was written by exokern {version}, this is {__version__}: "
                         "its cells would not match; use a new store")
    layout = ds.attrs.get(LAYOUT_ATTR, 1)
    if layout not in (1, LAYOUT):
        raise StoreError(f"{path} has a layout ({layout}) this exokern cannot write; use the "
                         "exokern that made it or a new store")
    if stored != expected:
        old, new = json.loads(stored), json.loads(expected)
        what = [k for k in new if old.get(k) != new.get(k)]
        detail = {"grid": "the grid", "model": "the static choices",
                  "fixed": "the fixed values"}
        differing = " and ".join(detail.get(k, k) for k in what) or "the configuration"
        verb = "differ" if len(what) > 1 else "differs"
        raise StoreError(f"{path} holds a grid of another configuration ({differing} {verb}); "
                         "use a new store or the command that made it")
    status = ds["status"]
    chunks = status.encoding.get("chunks", status.shape)
    return (np.asarray(status.values).ravel(),
            Layout(status.dims, status.shape, chunks))


class Writer:
    """The arrays of a laid-out store, opened once for the run's writes. The layout (and every
    read) goes through xarray; the blocks are written into the zarr arrays directly, which
    costs the client a fifth of what a region write through xarray does (it opens the store
    and checks its variables on every call), on a core the workers need."""

    def __init__(self, path: str, outputs: Sequence[str], layout: Layout) -> None:
        group = require("zarr", "grid", PURPOSE).open_group(path, mode="r+",
                                                            use_consolidated=False)
        self.layout = layout
        self.outputs = {name: group[name] for name in outputs}
        self.reason, self.status = group["reason"], group["status"]
        # Stores of the earlier layout keep variable-length strings.
        self.text_reasons = self.reason.dtype.kind != "S"

    def write(self, cells: Cells, result: Mapping[str, Any]) -> None:
        """Write the results of `cells` (indices, ascending): the outputs first, then the
        status, so that a cell marked done has its data. Other cells keep what they hold.
        Ctrl-C waits for the write to end."""
        index = self.layout.index(cells)
        low = [int(i.min()) for i in index]
        box = tuple(slice(lo, int(i.max()) + 1) for lo, i in zip(low, index))
        shape = tuple(s.stop - s.start for s in box)
        whole = math.prod(shape) == len(cells)  # the cells fill the box, in its order
        inside = tuple(i - lo for i, lo in zip(index, low))
        reasons = (np.array(result["reasons"], dtype=object) if self.text_reasons
                   else np.array([_clip(r) for r in result["reasons"]],
                                 dtype=f"S{REASON_BYTES}"))

        def put(array: Any, values: Any) -> None:
            if whole:
                array[box] = values.reshape(shape + values.shape[1:])
            else:  # scattered cells of a resumed chunk: the box is read and written back
                held = array[box]
                held[inside] = values
                array[box] = held

        with HeldInterrupts():
            for name, array in self.outputs.items():
                put(array, np.asarray(result["outputs"][name]))
            with _quiet_format_3():
                put(self.reason, reasons)
            put(self.status, np.asarray(result["status"], dtype=np.int8))


def _clip(reason: str) -> bytes:
    """`reason` in UTF-8, cut to REASON_BYTES at a character's boundary."""
    return reason.encode()[:REASON_BYTES].decode(errors="ignore").encode()
