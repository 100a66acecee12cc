"""The retrieval command: posterior and evidence of the forward model's parameters from an
observed spectrum, or, given no data, an injection-recovery run on a synthetic hot Jupiter.

    exokern-retrieve                               # injection-recovery, local processes
    exokern-retrieve spectrum.csv --config run.toml
    mpiexec -n 5 exokern-retrieve spectrum.csv --mpi
    exokern-retrieve spectrum.csv --scheduler tcp://10.0.0.1:8786

Options override the configuration file, which overrides the defaults. The run writes into
`--output`: retrieval.npz (weighted samples, log-evidence, the data and the model's bands),
corner.png, bands.png and, for an injection, injected.csv (the synthetic data, readable as
input). A checkpoint, retrieval.checkpoint, is kept there while the run goes and removed once
the results are written; running the same command again after an interruption resumes from it.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import importlib.util
import os
import signal
import sys
import threading
import warnings
from typing import IO, Any, Callable, Mapping, Optional, Sequence

import numpy as np

from exokern import __version__, _cli
from exokern.model import R_JUPITER, ForwardModel, grid_size
from exokern.retrieval import pools
from exokern.retrieval.data import UNITS, DataError, Observation, read_spectrum, write_spectrum
from exokern.retrieval.likelihood import (OBSERVABLES, Likelihood, Prior, Priors,
                                          check_parameters, inject, log_bins, parse_prior)
from exokern.retrieval.sampler import CheckpointMismatch, Posterior, bands, sample

# The injection-recovery run: a hot Jupiter (1 R_Jup around a Sun at 0.1 bar, g = 2200 cm s^-2)
# seen from 0.5 to 1 micron in bins of resolving power 60, with this noise per bin.
INJECTED_TRUTHS = {"isothermal": 1400.0, "na": 0.5, "k": -0.5, "logkappa": -3.0,
                   "rplanet": R_JUPITER}
INJECTED_RANGE = (0.5, 1.0, 200.0)  # micron, micron, resolving power of the bins
INJECTED_NOISE_PPM = 40.0
DEFAULT_PRIORS: dict[str, Any] = {
    "isothermal": {"uniform": [700.0, 2500.0]},
    "na": {"uniform": [-3.0, 2.0]},
    "k": {"uniform": [-3.0, 2.0]},
    # the grey continuum: with an isothermal atmosphere logkappa sets its opacity alone
    "logkappa": {"uniform": [-6.0, -1.0]},
    "rplanet": {"uniform": [0.9 * R_JUPITER, 1.1 * R_JUPITER]},
}

# Defaults of what the options and the configuration file set.
DEFAULTS_RUN: dict[str, Any] = dict(
    units="fraction", geometry="transmission", layers=50, ptop=1e-8, pbottom=1e2,
    resolution=1000.0, wn_min=None, wn_max=None, angles=4, tstar=5772.0,
    live=300, dlogz=0.5, seed=1, batch=8, method="auto", max_calls=None, noise=INJECTED_NOISE_PPM)
_SECTIONS: dict[str, dict[str, type]] = {
    "data": {"file": str, "units": str},
    "model": {"geometry": str, "layers": int, "ptop": float, "pbottom": float,
              "resolution": float, "wn_min": float, "wn_max": float, "angles": int,
              "tstar": float},
    "sampler": {"live": int, "dlogz": float, "seed": int, "batch": int, "method": str,
                "max_calls": int},
    "injection": {"noise": float},
}
CHECKPOINT = "retrieval.checkpoint"
METHODS = ("auto", "unif", "rwalk", "slice", "rslice")


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
        keys = _SECTIONS.get(section)
        if keys is None or not isinstance(value, dict):
            raise ValueError(f"{path}: unknown section {section!r} (known: "
                             f"{', '.join(list(_SECTIONS) + ['parameters'])})")
        for key, item in value.items():
            kind = keys.get(key)
            if kind is None:
                raise ValueError(f"{path}: unknown key {key!r} in [{section}] (known: "
                                 f"{', '.join(keys)})")
            if kind is float and isinstance(item, int) and not isinstance(item, bool):
                item = float(item)
            if not isinstance(item, kind) or isinstance(item, bool):
                raise ValueError(f"{path}: [{section}] {key} must be {kind.__name__}, got "
                                 f"{item!r}")
            if key == "file":
                item = os.path.join(os.path.dirname(os.path.abspath(path)), str(item))
                key = "data"
            flat[key] = item
    return flat


def build_parser(prog: Optional[str] = None) -> _cli.Parser:
    positive_int = _cli.positive(int)
    positive_float = _cli.positive(float)
    p = _cli.Parser(
        prog=prog, allow_abbrev=False,
        description="Retrieve the forward model's parameters and the Bayesian evidence from "
                    "an observed spectrum by nested sampling (dynesty), on local processes, "
                    "MPI ranks or a dask cluster. Without DATA: an injection-recovery run on "
                    "a synthetic hot-Jupiter transmission spectrum. Parameters take the "
                    "forward model's units (K, dex, cm^2 g^-1, cm, bar).")
    p.add_argument("data", nargs="?", metavar="DATA",
                   help="the spectrum: CSV or plain text, columns wavelength (micron), width, "
                        "value, error, or a header naming low, high, value, error")
    p.add_argument("--config", metavar="TOML",
                   help="a configuration file: [data], [model], [parameters], [sampler]")
    p.add_argument("--units", choices=tuple(UNITS), help="of the data's values and errors "
                   "(default: fraction)")
    m = p.add_argument_group("forward model")
    m.add_argument("--geometry", choices=tuple(OBSERVABLES),
                   help="transmission (transit depth) or emission (planet-to-star flux ratio); "
                        "default: transmission")
    m.add_argument("--layers", type=positive_int, metavar="N", help="default: 50")
    m.add_argument("--resolution", type=positive_float, metavar="R",
                   help="resolving power of the model's grid (default: 1000)")
    m.add_argument("--wn-min", type=positive_float, metavar="WN",
                   help="lowest wavenumber in cm^-1 (default: from the data)")
    m.add_argument("--wn-max", type=positive_float, metavar="WN",
                   help="highest wavenumber in cm^-1 (default: from the data)")
    m.add_argument("--tstar", type=positive_float, metavar="K",
                   help="the star's temperature for emission (default: 5772)")
    m.add_argument("--free", action="append", default=[], metavar="NAME=KIND:LOW:HIGH",
                   help="a free parameter and its prior, KIND uniform or log-uniform; repeat "
                        "(default: isothermal, na, k, logkappa, rplanet); error_scale fits a "
                        "factor on the uncertainties")
    m.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                   help="a fixed parameter (default: the model's defaults)")
    s = p.add_argument_group("sampler")
    s.add_argument("--live", type=positive_int, metavar="N", help="live points (default: 300)")
    s.add_argument("--dlogz", type=positive_float, metavar="X",
                   help="stop when the evidence still to come is below X in ln Z "
                        "(default: 0.5)")
    s.add_argument("--seed", type=int, metavar="N", help="random seed (default: 1)")
    s.add_argument("--batch", type=positive_int, metavar="N",
                   help="proposals evaluated at a time (default: 8); the results depend on it, "
                        "not on the engine; raise it to keep more workers busy")
    s.add_argument("--method", choices=METHODS, help="dynesty's proposals (default: auto)")
    s.add_argument("--max-calls", type=positive_int, metavar="N",
                   help="stop after N likelihood calls")
    s.add_argument("--noise", type=positive_float, metavar="PPM",
                   help=f"noise of the injected data (default: {INJECTED_NOISE_PPM:g} ppm)")
    e = p.add_argument_group("engine (default: local processes)")
    e.add_argument("--workers", type=positive_int, metavar="N",
                   help="local worker processes (default: one per core; 1: this process)")
    where = e.add_mutually_exclusive_group()
    where.add_argument("--mpi", action="store_true",
                       help="the ranks of the MPI job (run under mpiexec -n N)")
    where.add_argument("--dask", action="store_true",
                       help="an embedded dask cluster of --workers processes")
    where.add_argument("--scheduler", metavar="ADDRESS", help="a running dask scheduler")
    where.add_argument("--scheduler-file", metavar="FILE",
                       help="the scheduler file of a running dask cluster")
    o = p.add_argument_group("output")
    o.add_argument("--output", default="retrieval", metavar="DIR",
                   help="folder for the files and the checkpoint (default: %(default)s)")
    o.add_argument("--checkpoint-every", type=positive_float, default=60.0, metavar="SECONDS",
                   help="save the sampler this often (default: %(default)g)")
    o.add_argument("--restart", action="store_true",
                   help="start afresh, replacing a checkpoint in --output")
    o.add_argument("--no-plot", action="store_true", help="write the numbers only")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return p


class Run:
    """A retrieval's settings, resolved from the options, the configuration and the defaults,
    and the objects they make."""

    def __init__(self, args: argparse.Namespace) -> None:
        config = load_config(args.config) if args.config else {}
        settings = dict(DEFAULTS_RUN)
        settings.update({k: v for k, v in config.items() if k in settings})
        for key in settings:
            value = getattr(args, key, None)
            if value is not None:
                settings[key] = value
        self.settings = settings
        if settings["method"] not in METHODS:
            raise ValueError(f"method must be one of {', '.join(METHODS)}")
        for key in ("batch", "layers", "angles"):
            if settings[key] < 1:
                raise ValueError(f"{key} must be at least 1, got {settings[key]}")
        if settings["live"] < 10:
            raise ValueError(f"live must be at least 10, got {settings['live']}")
        data_path = args.data or config.get("data")
        self.injected = data_path is None
        geometry = settings["geometry"]
        if self.injected and geometry != "transmission":
            raise ValueError("the injection-recovery run is a transmission retrieval; give "
                             "DATA for an emission retrieval")

        if self.injected:
            lo, hi, r = INJECTED_RANGE
            low, high = log_bins(lo, hi, r)
        else:
            assert data_path is not None
            try:
                self.data: Observation = read_spectrum(data_path, settings["units"])
            except OSError as err:
                raise ValueError(f"cannot read {data_path}: {err.strerror}") from None
            low, high = self.data.low, self.data.high
        self.truths: dict[str, float] = {}

        self.priors, self.fixed = _parameters(config, args, self.injected)

        if self.injected:
            self.truths = {k: v for k, v in INJECTED_TRUTHS.items() if k not in self.fixed}
        self.model = self._model(low, high)
        check_parameters(self.model, self.priors, self.fixed)
        if self.injected:
            truths = {**INJECTED_TRUTHS, **self.fixed}
            self.data = inject(self.model, truths, low, high, settings["noise"] * 1e-6,
                               settings["seed"])
        self.likelihood = Likelihood(self.model, self.data, self.priors.names, self.fixed,
                                     settings["tstar"] if geometry == "emission" else None)

    def _model(self, low: Any, high: Any) -> ForwardModel:
        s = self.settings
        margin = 1.0 + 2.0 / s["resolution"]
        wn_min = s["wn_min"] if s["wn_min"] is not None else 1e4 / float(np.max(high)) / margin
        wn_max = s["wn_max"] if s["wn_max"] is not None else 1e4 / float(np.min(low)) * margin
        n = grid_size(wn_min, wn_max, s["resolution"])
        if n * s["layers"] ** 2 > 5e9:
            raise ValueError(f"{s['layers']} layers x {n:.3g} wavenumbers are too many for a "
                             "retrieval; lower --layers or --resolution")
        return ForwardModel(s["geometry"], layers=s["layers"], ptop=s["ptop"],
                            pbottom=s["pbottom"], wn_min=wn_min, wn_max=wn_max,
                            resolution=s["resolution"], angles=s["angles"])


def _parameters(config: Mapping[str, Any], args: argparse.Namespace,
                injected: bool) -> tuple[Priors, dict[str, float]]:
    """The priors of the free parameters and the values of the fixed ones: those of the
    configuration file, updated by --free and --set; the default priors for an injection that
    names none."""
    specs: dict[str, Any] = dict(config.get("parameters", {}))
    if injected and not specs and not args.free:
        specs = dict(DEFAULT_PRIORS)
    for text in args.free:
        name, sep, spec = text.partition("=")
        if not sep:
            raise ValueError(f"--free {text!r} is not NAME=KIND:LOW:HIGH")
        specs[name.strip()] = spec
    for text in args.set:
        name, sep, value = text.partition("=")
        if not sep:
            raise ValueError(f"--set {text!r} is not NAME=VALUE")
        try:
            specs[name.strip()] = float(value)
        except ValueError:
            raise ValueError(f"--set {text!r}: {value!r} is not a number") from None
    if not specs:
        raise ValueError("no free parameters: give --free NAME=KIND:LOW:HIGH or "
                         "[parameters] in --config")
    priors: list[Prior] = []
    fixed: dict[str, float] = {}
    for name, spec in specs.items():
        prior = parse_prior(name, spec)
        if prior is None:
            fixed[name] = float(spec)
        else:
            priors.append(prior)
    return Priors(priors), fixed


def _engine(args: argparse.Namespace, mpi_pool: Optional[pools.Pool]) -> Any:
    if mpi_pool is not None:
        return contextlib.nullcontext(mpi_pool)
    if args.mpi:  # without mpi4py: pools.mpi says what to install
        return pools.mpi()
    if args.scheduler or args.scheduler_file:
        return pools.dask(args.scheduler, args.scheduler_file)
    if args.dask:
        return pools.dask(workers=args.workers)
    workers = args.workers or os.cpu_count() or 1
    return pools.serial() if workers == 1 else pools.processes(workers)


def _fmt(x: float) -> str:
    return f"{x:.4g}" if abs(x) < 1e5 else f"{x:.4e}"


def summary(run: Run, post: Posterior, files: Sequence[str], note: str) -> str:
    """One screen: the run, each parameter's median and 68 % interval, the evidence and the
    cost."""
    s = run.settings
    q = post.quantiles([0.5, 0.15865, 0.84135, 0.02275, 0.97725])
    data = run.data
    out = [
        f"exokern {__version__}: {s['geometry']} retrieval of {data.source} ({len(data)} bins, "
        f"{data.low.min():.3f} .. {data.high.max():.3f} micron)",
        f"  model      {s['layers']} layers, {len(run.model.wn)} wavenumbers (R = "
        f"{s['resolution']:g})" + ("; fixed: " + ", ".join(f"{k} = {v:g}" for k, v in
                                                           run.fixed.items())
                                   if run.fixed else ""),
        f"  sampler    dynesty, {s['live']} live points, dlogz {s['dlogz']:g}, seed "
        f"{s['seed']}, batch {s['batch']}, {s['method']}"
        + ("; resumed from a checkpoint" if post.info.get("resumed") else ""),
        f"  engine     {post.info['engine']}",
        f"  {'parameter':<11}{'median':>12}   {'68 % interval':<26}{'prior':<36}"
        + ("truth" if run.truths else ""),
    ]
    for k, name in enumerate(post.names):
        interval = f"[{_fmt(q[1, k])}, {_fmt(q[2, k])}]"
        truth = run.truths.get(name)
        mark = ""
        if truth is not None:
            mark = f"{_fmt(truth)}" + ("" if q[3, k] <= truth <= q[4, k] else
                                       "  (outside 95 %)")
        prior = run.priors.priors[k]
        bounds = f"{prior.kind} {_fmt(prior.low)} .. {_fmt(prior.high)}"
        out.append(f"  {name:<11}{_fmt(q[0, k]):>12}   {interval:<26}{bounds:<36}{mark}")
    best = int(np.argmax(post.logl))
    residual = (data.value - run.likelihood.binned(post.samples[best])) / data.error
    out += [
        f"  evidence   ln Z = {post.logz:.3f} +- {post.logzerr:.3f}; best ln L = "
        f"{post.logl[best]:.3f}, chi^2 = {float(np.sum(residual ** 2)):.1f} for {len(data)} "
        "bins",
        f"  cost       {post.calls} likelihood calls, {post.iterations} iterations; "
        f"{post.calls_here} calls in {post.seconds:.1f} s = {post.calls_per_second:.0f} "
        "calls/s",
    ]
    out += [f"  wrote      {f}" for f in files]
    if note:
        out.append(f"  note       {note}")
    return "\n".join(out)


def results_arrays(run: Run, post: Posterior, band: Mapping[str, Any]) -> dict[str, Any]:
    """What retrieval.npz holds."""
    arrays: dict[str, Any] = dict(
        names=np.array(post.names), samples=post.samples, weights=post.weights, logl=post.logl,
        logz=post.logz, logzerr=post.logzerr, calls=post.calls,
        quantiles=post.quantiles([0.02275, 0.15865, 0.5, 0.84135, 0.97725]),
        data_low=run.data.low, data_high=run.data.high, data_value=run.data.value,
        data_error=run.data.error, wn=run.model.wn, wavelength=run.model.wavelength,
        fixed_names=np.array(list(run.fixed), dtype=str),
        fixed_values=np.array(list(run.fixed.values()), dtype=float),
        priors=np.array([f"{p.name}: {p}" for p in run.priors.priors]),
        geometry=run.settings["geometry"], seed=run.settings["seed"],
        live=run.settings["live"], version=__version__)
    if run.truths:
        arrays["truths"] = np.array([run.truths.get(n, np.nan) for n in post.names])
    arrays.update(band)
    return arrays


def plot_corner(run: Run, post: Posterior, stream: IO[bytes]) -> None:
    """The posterior's one- and two-dimensional marginals, with the truths of an injection."""
    from matplotlib.figure import Figure

    plotting = importlib.import_module("dynesty.plotting")

    n = len(post.names)
    fig = Figure(figsize=(2.2 * n + 1, 2.2 * n + 1))
    axes = np.array(fig.subplots(n, n, squeeze=False))
    truths = [run.truths.get(name) for name in post.names] if run.truths else None
    plotting.cornerplot(post.raw, labels=list(post.names), truths=truths,
                        quantiles=(0.02275, 0.5, 0.97725), show_titles=True,
                        title_quantiles=(0.15865, 0.5, 0.84135), title_fmt=".4g",
                        fig=(fig, axes))
    fig.subplots_adjust(top=0.93)
    fig.suptitle(f"exokern retrieval of {run.data.source}: ln Z = {post.logz:.2f} +- "
                 f"{post.logzerr:.2f}" + ("; truths in red" if truths else ""))
    fig.savefig(stream, format="png", dpi=90)


def plot_bands(run: Run, post: Posterior, band: Mapping[str, Any], stream: IO[bytes]) -> None:
    """The data with the median model and its 1- and 2-sigma bands."""
    from matplotlib.figure import Figure

    scale, unit = 1e6, "ppm"
    label = OBSERVABLES[run.settings["geometry"]]
    wl = run.model.wavelength
    fig = Figure(figsize=(9, 4.8), layout="constrained")
    ax = fig.add_subplot()
    ax.fill_between(wl, scale * band["spectrum_lo2"], scale * band["spectrum_hi2"],
                    color="tab:blue", alpha=0.2, lw=0, label="2 sigma")
    ax.fill_between(wl, scale * band["spectrum_lo1"], scale * band["spectrum_hi1"],
                    color="tab:blue", alpha=0.4, lw=0, label="1 sigma")
    ax.plot(wl, scale * band["spectrum_median"], color="tab:blue", lw=0.8,
            label="median model")
    d = run.data
    ax.errorbar(d.wavelength, scale * d.value, yerr=scale * d.error,
                xerr=0.5 * (d.high - d.low), fmt="o", ms=3, color="k", lw=0.8,
                label=d.source)
    ax.set_xlim(d.low.min(), d.high.max())
    ax.set_xlabel("wavelength (micron)")
    ax.set_ylabel(f"{label} ({unit})")
    ax.set_title(f"posterior of {len(post.names)} parameters ({', '.join(post.names)})")
    ax.legend(loc="best", fontsize="small")
    fig.savefig(stream, format="png", dpi=110)


def _npz(arrays: dict[str, Any]) -> Callable[[IO[bytes]], None]:
    return lambda stream: np.savez_compressed(stream, **arrays)


class _Interrupts:
    """Ctrl-C during sampling takes effect between iterations: the sampler prints a traceback
    of whatever its likelihood raises, so the interruption waits for the iteration to end (a
    second Ctrl-C interrupts at once)."""

    def __init__(self) -> None:
        self.pending = False
        self.previous: Any = None

    def __enter__(self) -> "_Interrupts":
        if threading.current_thread() is threading.main_thread():
            self.previous = signal.signal(signal.SIGINT, self._handle)
        return self

    def _handle(self, signum: int, frame: Any) -> None:
        if self.pending:
            raise KeyboardInterrupt
        self.pending = True

    def check(self) -> None:
        if self.pending:
            raise KeyboardInterrupt

    def __exit__(self, *exc: object) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)


def _progress_of(bar: Any, interrupts: _Interrupts) -> Callable[[int, int, float], None]:
    def update(iteration: int, calls: int, remaining: float) -> None:
        interrupts.check()
        bar.n = iteration
        bar.set_postfix_str(f"calls {calls}, dlogz {remaining:.3g}", refresh=False)
        bar.update(0)
    return update


def execute(run: Run, pool: pools.Pool, args: argparse.Namespace) -> int:
    """Sample, write the files, print the summary."""
    try:
        os.makedirs(args.output, exist_ok=True)
    except OSError as err:
        raise _cli.CommandError(f"cannot create --output {args.output}: "
                                f"{err.strerror}") from None
    checkpoint = os.path.join(args.output, CHECKPOINT)
    if args.restart and os.path.exists(checkpoint):
        os.unlink(checkpoint)
    writers: list[tuple[str, Callable[[IO[bytes]], None]]] = []
    if run.injected:
        comments = [f"synthetic {OBSERVABLES['transmission']} by exokern {__version__}: "
                    + ", ".join(f"{k} = {v:g}" for k, v in INJECTED_TRUTHS.items()),
                    f"{run.settings['noise']:g} ppm Gaussian noise, seed {run.settings['seed']}"]
        writers.append((os.path.join(args.output, "injected.csv"),
                        lambda stream: write_spectrum(stream, run.data, comments)))
    s = run.settings
    with _cli.progress(None, "nested sampling", unit=" it") as bar, _Interrupts() as stop, \
            warnings.catch_warnings(record=True) as caught:
        # What the sampler warns of (a run stopped by --max-calls before it converged) goes
        # into the summary.
        warnings.simplefilter("always", UserWarning)
        try:
            post = sample(run.likelihood, run.priors, pool, live=s["live"], dlogz=s["dlogz"],
                          seed=s["seed"], batch=s["batch"], method=s["method"],
                          max_calls=s["max_calls"], checkpoint=checkpoint,
                          checkpoint_every=args.checkpoint_every,
                          progress=_progress_of(bar, stop))
        except CheckpointMismatch as err:
            raise _cli.CommandError(f"{err} (or pass --restart)") from None
    band = bands(run.likelihood, post, pool, seed=s["seed"])
    writers.append((os.path.join(args.output, "retrieval.npz"),
                    _npz(results_arrays(run, post, band))))
    note = "; ".join(dict.fromkeys(str(w.message) for w in caught))
    if not args.no_plot:
        writers.append((os.path.join(args.output, "corner.png"),
                        lambda stream: plot_corner(run, post, stream)))
        writers.append((os.path.join(args.output, "bands.png"),
                        lambda stream: plot_bands(run, post, band, stream)))
    files = _cli.write_files(writers)
    # The results are written: the checkpoint has served.
    with contextlib.suppress(OSError):
        os.unlink(checkpoint)
    print(summary(run, post, files, note))
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Command-line entry of exokern-retrieve; returns the exit status (0 done, 1 the run
    failed, 2 bad options or data, 130 interrupted)."""
    argv = list(sys.argv[1:] if argv is None else argv)
    prog = _cli.prog_name("exokern.retrieval")
    if pools.mpi_requested(argv) and importlib.util.find_spec("mpi4py") is not None:
        # Every rank runs this command: the ranks other than 0 serve evaluations until rank 0
        # is done, whatever rank 0 makes of the options.
        def under_mpi() -> int:
            with pools.mpi() as pool:
                if pool is None:
                    return 0
                return _main(prog, argv, pool)
        return _cli.run(prog, under_mpi)
    return _main(prog, argv, None)


def _main(prog: str, argv: Sequence[str], mpi_pool: Optional[pools.Pool]) -> int:
    parser = build_parser(prog)
    args = parser.parse_args(argv)

    def body() -> int:
        try:
            run = Run(args)
        except DataError as err:
            parser.error(str(err))
        except ValueError as err:
            parser.error(str(err))
        with _engine(args, mpi_pool) as pool:
            return execute(run, pool, args)

    return _cli.run(prog, body)
