"""Grids of spectra on a dask cluster, stored in a zarr store, resumable and fault-tolerant.

    >>> import exokern.grid
    >>> from exokern.model import ForwardModel
    >>> grid = exokern.grid.Grid.from_axes({"tirr": [800.0, 1400.0, 2000.0], "na": [-1.0, 0.0]})
    >>> summary = exokern.grid.run_grid("grid.zarr", grid, ForwardModel("both"))
    >>> ds = exokern.grid.open("grid.zarr")     # xarray, dimensions (tirr, na, wn)

A grid is a set of cells, each a set of forward-model parameters: the product of axes or the
rows of a CSV file (`cells`). Every cell is one evaluation of `exokern.model.ForwardModel` with
the run's static choices; the other parameters keep their defaults or the fixed values. The
store (`store`) is laid out before any task runs and written block by block; the run (`run`)
sends blocks of cells to the workers of an engine (`exokern.engines.connect`: an embedded
LocalCluster, or a running scheduler) and ends with a `Summary`. The command is
`exokern-grid` (`python -m exokern.grid`).
"""

from exokern.grid.cells import Grid, parse_axes, parse_axis
from exokern.grid.run import Summary, block_size, check, compute_block, run_grid
from exokern.grid.store import (DONE, FAILED, TODO, Layout, StoreError, Writer, create_store,
                                open_grid)

# The documented way to open a grid: `exokern.grid.open(store)`.
open = open_grid

__all__ = ["DONE", "FAILED", "Grid", "Layout", "StoreError", "Summary", "TODO", "Writer",
           "block_size", "check", "compute_block", "create_store", "open", "open_grid",
           "parse_axes", "parse_axis", "run_grid"]
