"""The retrieval command: posterior and evidence of the forward model's parameters from an
observed spectrum, or, given no data, an injection-recovery run on a synthetic hot Jupiter.

    exokern-retrieve                               # injection-recovery, local processes
    exokern-retrieve spectrum.csv --config run.toml
    mpiexec -n 5 exokern-retrieve spectrum.csv --mpi
    exokern-retrieve spectrum.csv --scheduler tcp://10.0.0.1:8786

Options override the configuration file, which overrides the defaults; every setting, however
it arrives, is checked by the registry. The run writes into `--output`: retrieval.npz
(weighted samples, log-evidence, the data and the model's bands), corner.png, bands.png and,
for an injection, injected.csv (the synthetic data, readable as input), and retrieval.nc (the
posterior as an ArviZ InferenceData). A checkpoint, retrieval.checkpoint (nautilus:
retrieval.checkpoint.h5), is kept there while the run goes and removed once the results are
written; running the same command again after an interruption resumes from it.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import os
import sys
import warnings
from typing import Any, Callable, Mapping, Optional, Sequence

from exokern import __version__, engines, safety
from exokern import params as registry
from exokern.cli import common, options, plots
from exokern.retrieval import problem as problems
from exokern.retrieval import results
from exokern.safety import UntrustedFile
from exokern.retrieval.data import read_spectrum, write_spectrum
from exokern.retrieval.likelihood import OBSERVABLES
from exokern.retrieval.priors import split_specs
from exokern.retrieval.sampler import (CheckpointMismatch, Posterior, checkpoint_files, draws,
                                      sample, sampler_for)

CHECKPOINT = "retrieval.checkpoint"
TABLES = ("molecules", "cia", "rayleigh")
# The configuration file's sections and the settings each holds ("file" is the data's path).
SECTIONS: dict[str, tuple[str, ...]] = {
    "data": ("file", "units"),
    "model": ("geometry", "layers", "ptop", "pbottom", "resolution", "wn_min", "wn_max",
              "angles", "tstar", "molecules", "cia", "rayleigh"),
    "sampler": ("sampler", "live", "dlogz", "seed", "batch", "method", "effective",
                "max_calls"),
    "injection": ("noise",),
}


def load_config(path: str) -> dict[str, Any]:
    """The settings of a TOML configuration file, flattened ("data.file" becomes "data",
    the parameters' table "parameters"); raises ValueError for an unknown key or a wrong type."""
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # pragma: no cover - Python 3.9/3.10
        import tomli as tomllib
    try:
        with open(path, "rb") as stream:
            table = tomllib.load(stream)
    except OSError as err:
        raise ValueError(f"cannot read --config {path}: {err.strerror}") from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as err:
        raise ValueError(f"{path}: {err}") from None
    flat: dict[str, Any] = {}
    for section, value in table.items():
        if section == "parameters":
            if not isinstance(value, dict):
                raise ValueError(f"{path}: [parameters] must be a table")
            flat["parameters"] = value
            continue
        keys = SECTIONS.get(section)
        if keys is None or not isinstance(value, dict):
            raise ValueError(f"{path}: unknown section {section!r} (known: "
                             f"{', '.join(list(SECTIONS) + ['parameters'])})")
        for key, item in value.items():
            if key not in keys:
                raise ValueError(f"{path}: unknown key {key!r} in [{section}] (known: "
                                 f"{', '.join(keys)})")
            kind = str if key == "file" else registry.setting(key).kind
            if kind is float and isinstance(item, int) and not isinstance(item, bool):
                item = float(item)
            if not isinstance(item, kind) or isinstance(item, bool):
                raise ValueError(f"{path}: [{section}] {key} must be {kind.__name__}, got "
                                 f"{item!r}")
            here = os.path.dirname(os.path.abspath(path))
            if key == "file":  # paths are relative to the file
                item, key = os.path.join(here, str(item)), "data"
            elif key == "molecules" and isinstance(item, dict):
                item = {k: os.path.join(here, v) for k, v in item.items()}
            elif key == "cia" and isinstance(item, list):
                item = [os.path.join(here, v) if v.endswith(".cia") else v for v in item]
            flat[key] = item
    return flat


def build_parser(prog: Optional[str] = None) -> common.Parser:
    defaults = problems.default_settings()
    p = common.Parser(
        prog=prog, allow_abbrev=False,
        description="Retrieve the forward model's parameters and the Bayesian evidence from "
                    "an observed spectrum by nested sampling (nautilus or dynesty), on local "
                    "processes, MPI ranks or a dask cluster. Without DATA: an "
                    "injection-recovery run on a synthetic hot-Jupiter transmission spectrum. "
                    "Parameters take the forward model's units (K, dex, cm2 g-1, cm, bar).")
    p.add_argument("data", nargs="?", metavar="DATA",
                   help="the spectrum: CSV or plain text, columns wavelength (micron), width, "
                        "value, error, or a header naming low, high, value, error")
    p.add_argument("--config", metavar="TOML",
                   help="a configuration file: [data], [model], [parameters], [sampler]")
    options.add_settings(p, ["units"], defaults, unset=True)
    m = p.add_argument_group("forward model")
    options.add_settings(m, [k for k in SECTIONS["model"] if k not in TABLES], defaults,
                         unset=True, choices={"geometry": tuple(OBSERVABLES)},
                         notes={"wn_min": "default: from the data",
                                "wn_max": "default: from the data"})
    options.table_options(m)
    m.add_argument("--free", action="append", default=[], metavar="NAME=KIND:LOW:HIGH",
                   help="a free parameter and its prior, KIND uniform or log-uniform; repeat "
                        f"(default: {', '.join(problems.DEFAULT_PRIORS)}); error_scale fits a "
                        "factor on the uncertainties")
    m.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                   help="a fixed parameter (default: the model's defaults)")
    s = p.add_argument_group("sampler")
    options.add_settings(s, ["sampler", "live", "dlogz", "seed", "batch", "method",
                             "effective", "max_calls", "noise"], defaults, unset=True)
    e = p.add_argument_group("engine (default: local processes)")
    where = options.engine_options(e, "local worker processes (1: this process)")
    where.add_argument("--mpi", action="store_true",
                       help="the ranks of the MPI job (run under mpiexec -n N)")
    where.add_argument("--dask", action="store_true",
                       help="an embedded dask cluster of --workers processes")
    o = p.add_argument_group("output")
    o.add_argument("--output", default="retrieval", metavar="DIR",
                   help="folder for the files and the checkpoint (default: %(default)s)")
    o.add_argument("--checkpoint-every", type=options.positive_float, default=60.0,
                   metavar="SECONDS", help="save the sampler this often (default: %(default)g)")
    o.add_argument("--restart", action="store_true",
                   help="start afresh, replacing a checkpoint in --output")
    o.add_argument("--no-plot", action="store_true", help="write the numbers only")
    o.add_argument("--compare", action="append", default=[], metavar="NAME",
                   help="also sample the model without the free parameter NAME (a molecule's "
                        "log_<molecule> takes the molecule out) and report the Bayes factor; "
                        "repeat for more")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return p


def problem_of(args: argparse.Namespace) -> problems.Problem:
    """The problem of the options, over the configuration file, over the defaults; the models
    to compare it with are checked here too."""
    config = load_config(args.config) if args.config else {}
    settings = {k: v for k, v in config.items() if k in problems.SETTINGS}
    settings.update({k: getattr(args, k) for k in problems.SETTINGS
                     if k not in TABLES and getattr(args, k, None) is not None})
    given = options.tables(args)
    settings.update({k: v for k, v in given.items() if v or k == "rayleigh"})
    checked = problems.check_settings(settings)
    data_path = args.data or config.get("data")
    data = None
    if data_path is not None:
        try:
            data = read_spectrum(data_path, checked["units"])
        except OSError as err:
            raise ValueError(f"cannot read {data_path}: {err.strerror}") from None
    specs: dict[str, Any] = dict(config.get("parameters", {}))
    if data is None and not specs and not args.free:
        specs = dict(problems.DEFAULT_PRIORS)
    specs.update(options.pairs(args.free, "--free"))
    specs.update(options.numbers(args.set))
    if not specs:
        raise ValueError("no free parameters: give --free NAME=KIND:LOW:HIGH or "
                         "[parameters] in --config")
    priors, fixed = split_specs(specs)
    problem = problems.make_problem(checked, priors, fixed, data)
    for name in args.compare:
        if name not in problem.priors.names:
            raise ValueError(f"--compare {name}: {name} is not a free parameter (free: "
                             f"{', '.join(problem.priors.names)})")
    return problem


def _engine(args: argparse.Namespace, mpi_pool: Optional[engines.Pool]) -> Any:
    if mpi_pool is not None:
        return contextlib.nullcontext(mpi_pool)
    if args.mpi:  # without mpi4py: engines.mpi says what to install
        return engines.mpi()
    if args.scheduler or args.scheduler_file:
        return engines.dask(args.scheduler, args.scheduler_file)
    if args.dask:
        return engines.dask(workers=args.workers)
    workers = args.workers or os.cpu_count() or 1
    return engines.serial() if workers == 1 else engines.processes(workers)


def _progress_of(bar: Any, interrupts: engines.HeldInterrupts,
                 sampler: str) -> Callable[[int, int, float], None]:
    def update(iteration: int, calls: int, remaining: float) -> None:
        interrupts.check()
        bar.n = iteration
        if sampler == "nautilus":
            what = (f"live share {remaining:.3g}" if remaining < 1.0 else
                    f"{remaining:.0f} effective samples to go")
        else:
            what = f"dlogz {remaining:.3g}"
        bar.set_postfix_str(f"calls {calls}, {what}", refresh=False)
        bar.update(0)
    return update


def _figures(problem: problems.Problem, post: Posterior,
             band: Mapping[str, Any]) -> list[tuple[str, Callable[[Any], None]]]:
    truths = [problem.truths.get(name) for name in post.names] if problem.truths else None
    title = (f"exokern retrieval of {problem.data.source}: ln Z = {post.logz:.2f} +- "
             f"{post.logzerr:.2f}" + ("; truths in red" if truths else ""))
    d = problem.data
    label = OBSERVABLES[problem.settings["geometry"]]
    heading = f"posterior of {len(post.names)} parameters ({', '.join(post.names)})"
    return [("corner.png", lambda stream: plots.corner(stream, title, post.samples,
                                                        post.weights, post.names, truths)),
            ("bands.png", lambda stream: plots.bands(
                stream, heading, label, problem.model.wavelength, band, d.low, d.high,
                d.value, d.error, os.path.basename(d.source)))]


def _sample(problem: problems.Problem, pool: engines.Pool, args: argparse.Namespace,
            checkpoint: str, label: str) -> tuple[Posterior, list[str]]:
    """Sample one problem with its settings, resuming its checkpoint; the posterior and what
    the sampler warned of."""
    s = problem.settings
    try:
        safety.check_checkpoint_folder(checkpoint)
    except UntrustedFile as err:
        raise common.Refused(str(err)) from None
    if args.restart:
        for path in checkpoint_files(checkpoint):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)
    with common.progress(None, label, unit=" it") as bar, \
            engines.HeldInterrupts(urgent=True) as stop, \
            warnings.catch_warnings(record=True) as caught:
        # What the sampler warns of (a run stopped by --max-calls before it converged) goes
        # into the summary.
        warnings.simplefilter("always", UserWarning)
        try:
            post = sample(problem.likelihood, problem.priors, pool, sampler=s["sampler"],
                          live=s["live"], dlogz=s["dlogz"], seed=s["seed"], batch=s["batch"],
                          method=s["method"], effective=s["effective"],
                          max_calls=s["max_calls"], checkpoint=checkpoint,
                          checkpoint_every=args.checkpoint_every,
                          progress=_progress_of(bar, stop, sampler_for(s["sampler"],
                                                                       len(problem.priors))))
        except CheckpointMismatch as err:
            raise common.CommandError(f"{err} (or pass --restart)") from None
        except UntrustedFile as err:
            raise common.Refused(str(err)) from None
    return post, [str(w.message) for w in caught]


def execute(problem: problems.Problem, pool: engines.Pool, args: argparse.Namespace) -> int:
    """Sample (and sample each model compared), write the files, print the summary."""
    common.make_folder(args.output)
    nested = [(name, problems.without(problem, name)) for name in args.compare]
    writers: list[tuple[str, Callable[[Any], None]]] = []
    s = problem.settings
    if problem.injected:
        comments = [f"synthetic {OBSERVABLES['transmission']} by exokern {__version__}: "
                    + ", ".join(f"{k} = {v:g}" for k, v in problems.INJECTED_TRUTHS.items()),
                    f"{s['noise']:g} ppm Gaussian noise, seed {s['seed']}"]
        writers.append((os.path.join(args.output, "injected.csv"),
                        lambda stream: write_spectrum(stream, problem.data, comments)))
    checkpoints = [os.path.join(args.output, CHECKPOINT)]
    post, warned = _sample(problem, pool, args, checkpoints[0], "nested sampling")
    compared = []
    for name, reduced in nested:
        checkpoints.append(os.path.join(args.output, f"without-{name}.checkpoint"))
        run, more = _sample(reduced, pool, args, checkpoints[-1], f"without {name}")
        compared.append((name, run))
        warned += more
    drawn = draws(problem.likelihood, post, pool, seed=s["seed"])
    band = drawn.bands()
    writers.append((os.path.join(args.output, "retrieval.npz"),
                    common.npz(results.arrays(problem, post, band, compared))))
    writers.append((os.path.join(args.output, "retrieval.nc"),
                    lambda stream: stream.write(results.inference_data(problem, post, drawn))))
    note = "; ".join(dict.fromkeys(warned))
    if not args.no_plot:
        writers += [(os.path.join(args.output, name), write)
                    for name, write in _figures(problem, post, band)]
    files = common.write_files(writers)
    # The results are written: the checkpoints have served.
    for checkpoint in checkpoints:
        for path in checkpoint_files(checkpoint):
            with contextlib.suppress(OSError):
                os.unlink(path)
    print(results.summary(problem, post, files, note, compared))
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Command-line entry of exokern-retrieve; returns the exit status (0 done, 1 the run
    failed, 2 bad options or data, 130 interrupted)."""
    argv = list(sys.argv[1:] if argv is None else argv)
    prog = common.prog_name("exokern.retrieval")
    # --mpi is seen before the options are parsed: every rank runs the command, and the ranks
    # other than 0 serve evaluations until rank 0 is done, whatever rank 0 makes of them.
    if "--mpi" in argv and importlib.util.find_spec("mpi4py") is not None:
        def under_mpi() -> int:
            with engines.mpi() as pool:
                if pool is None:
                    return 0
                return _main(prog, argv, pool)
        return common.run(prog, under_mpi)
    return _main(prog, argv, None)


def _main(prog: str, argv: Sequence[str], mpi_pool: Optional[engines.Pool]) -> int:
    parser = build_parser(prog)
    args = parser.parse_args(argv)

    def body() -> int:
        safety.set_memory_limit(args.memory_limit)
        try:
            problem = problem_of(args)
        except ValueError as err:
            parser.error(str(err))
        with _engine(args, mpi_pool) as pool:
            return execute(problem, pool, args)

    return common.run(prog, body)
