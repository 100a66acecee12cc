"""A grid of spectra on a dask cluster into a zarr store, resumable and fault-tolerant.

    exokern-grid STORE --axis tirr=800:2000:13 --axis na=-1:1:5 [options]
    python -m exokern.grid STORE --cells cells.csv --geometry transmission

The command parses its options (the forward model's static choices from the registry), makes
the grid, the model and the fixed values, and runs `exokern.grid.run_grid`: on an embedded
LocalCluster by default (one single-threaded worker process per core), or on a running cluster
reached with `--scheduler` or `--scheduler-file`. It prints the run's summary; the exit status
is 1 if a cell failed.
"""

from __future__ import annotations

import argparse
import shlex
import sys
from typing import Optional, Sequence

from exokern import __version__, safety
from exokern.cli import common, options
from exokern.grid import Grid, check, parse_axes, run_grid
from exokern.model import ForwardModel

STATIC = ("geometry", "layers", "ptop", "pbottom", "wn_min", "wn_max", "resolution", "angles")
# A grid's spectra are many: coarser than a single spectrum's by default.
DEFAULTS = dict(resolution=5000.0, angles=4)


def build_parser(prog: Optional[str] = None) -> common.Parser:
    p = common.Parser(
        prog=prog,
        description="A grid of forward-model spectra computed on a dask cluster into a zarr "
                    "store; rerun the same command to resume. Parameters take the forward "
                    "model's units: K, cm s-2, dex, cm2 g-1, cm (rplanet, rstar), bar (pref).")
    p.add_argument("store", metavar="STORE", help="the zarr store (a folder, e.g. grid.zarr)")
    g = p.add_argument_group("grid")
    g.add_argument("--axis", action="append", default=[], metavar="NAME=SPEC",
                   help="an axis: NAME=START:STOP:NUM, NAME=START:STOP:NUM:log or "
                        "NAME=V1,V2,...; repeat for more axes (the first varies slowest)")
    g.add_argument("--cells", metavar="CSV",
                   help="a CSV file of cells instead of axes: a header of parameter names, "
                        "one row per cell")
    g.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                   help="a parameter fixed for every cell (default: the model's defaults)")
    m = p.add_argument_group("forward model")
    options.add_settings(m, STATIC, DEFAULTS)
    options.table_options(m)
    e = p.add_argument_group("engine")
    options.engine_options(e, "worker processes of the embedded cluster")
    e.add_argument("--block", type=options.positive_int, metavar="N",
                   help="cells per task (default: from the time of one forward model)")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return p


def _parse(parser: common.Parser,
           args: argparse.Namespace) -> tuple[Grid, ForwardModel, dict[str, Optional[float]]]:
    if bool(args.axis) == bool(args.cells):
        parser.error("give either --axis (one or more) or --cells")
    try:
        grid = Grid.read_csv(args.cells) if args.cells else parse_axes(args.axis)
        fixed: dict[str, Optional[float]] = dict(options.numbers(args.set))
        model = ForwardModel(**{name: getattr(args, name) for name in STATIC},
                             **options.tables(args))
        check(grid, model, fixed)
    except OSError as err:
        parser.error(f"cannot read --cells {args.cells}: {err.strerror}")
    except ValueError as err:
        parser.error(str(err))
    return grid, model, fixed


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Command-line entry of exokern-grid. Returns the exit status: 0 when every cell is done,
    1 when a cell failed (or the run could not go on), 2 for bad options, 130 on Ctrl-C."""
    prog = common.prog_name("exokern.grid")
    parser = build_parser(prog)
    argv = list(sys.argv[1:] if argv is None else argv)
    args = parser.parse_args(argv)

    def body() -> int:
        safety.set_memory_limit(args.memory_limit)
        grid, model, fixed = _parse(parser, args)
        try:
            summary = run_grid(args.store, grid, model, fixed, scheduler=args.scheduler,
                               scheduler_file=args.scheduler_file, workers=args.workers,
                               block=args.block, command=" ".join([prog, shlex.join(argv)]),
                               progress=lambda total: common.progress(total, "cells",
                                                                      unit="cell"))
        except ValueError as err:  # the store refused before anything was written
            parser.error(str(err))
        print(summary.text(grid))
        return 0 if summary.ok else common.EXIT_FAILURE

    return common.run(prog, body)
