"""Emission and transmission spectra of a hot Jupiter, computed with the four exokern modules.

    python -m exokern.spectrum [options]        (or the console script exokern-spectrum)

The command is a thin layer over `exokern.model.ForwardModel`: it turns its options into the
model's static choices and parameters, evaluates the model once and writes what it gives.
`--geometry` chooses the spectrum: the emission spectrum of the dayside (the default), the
transmission spectrum seen during a transit, or both from one evaluation.

The emission run writes spectrum.npz (the numbers) and spectrum.png (the figure, when
matplotlib is there); the transmission run transmission.npz and transmission.png. Each file is
written whole or not at all. A one-screen summary goes to standard output.
"""

from __future__ import annotations

import argparse
import math
import os
import time
from typing import IO, Any, Callable, Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern import __version__, _cli
from exokern import atmosphere as atm
from exokern import lines
from exokern.model import R_JUPITER, R_SUN, ForwardModel, Result, grid_size
from exokern.radiation import planck

Array = npt.NDArray[np.float64]

# What a run may cost before it is refused: the memory its arrays take, and the time its kernels
# need at the speeds of a current laptop core (an estimate, within a factor of a few).
MAX_BYTES = 4 * 2**30
MAX_SECONDS = 3600.0
# Seconds per unit of work: an exponential of the emergent intensity, a term of the chord optical
# depths, a wing sample of a line in a layer.
_EXP_SECONDS = 6e-9
_TERM_SECONDS = 1.5e-9
_LINE_SECONDS = 5e-8

EMISSION_KEYS = ("wn", "wavelength", "flux", "tb", "intensity", "mu", "weights", "pressure",
                 "temperature", "z", "ideep", "p_photosphere", "band_flux")


def cost(geometry: str, layers: int, nwave: float, angles: int) -> tuple[float, float]:
    """Bytes of memory and seconds of computing that a run of this size needs, roughly: six
    (layer, wavenumber) arrays of doubles and the intensity per angle; the line wings of four
    lines in every layer, one exponential per layer, angle and wavenumber for the emission, and
    layers^2 / 2 terms per wavenumber for the chords of the transmission."""
    cells = float(layers) * nwave
    memory = 8.0 * (6.0 * cells + 2.0 * angles * nwave)
    seconds = 4 * cells * _LINE_SECONDS
    if geometry in ("emission", "both"):
        seconds += cells * angles * _EXP_SECONDS
    if geometry in ("transmission", "both"):
        seconds += 0.5 * layers * cells * _TERM_SECONDS
        memory += 8.0 * 2.0 * cells
    return memory, seconds


# ---- figures -----------------------------------------------------------------------------

def _mark_lines(ax: Any) -> None:
    for sp in lines.SPECIES:
        for wn0 in sp.wn0:
            ax.axvline(1e4 / wn0, color="0.8", lw=0.6, zorder=0)
        ax.annotate(sp.name, (1e4 / np.mean(sp.wn0), 1.0), xycoords=("data", "axes fraction"),
                    xytext=(0, -12), textcoords="offset points", ha="center", fontsize=9)


def _zoom(ax: Any, wl: Array, values: Array, species: lines.Species, ylabel: str,
          color: str) -> None:
    centre = 1e7 / np.array(species.wn0)
    span = max(2.5 * float(np.ptp(centre)), 1.0)
    sel = np.abs(1e3 * wl - centre.mean()) < span
    ax.plot(1e3 * wl[sel], values[sel], lw=0.8, color=color)
    ax.set_xlabel(f"{species.name} D wavelength (nm, vacuum)")
    ax.set_ylabel(ylabel)


def plot_emission(res: Result, stream: IO[bytes], title: str) -> None:
    """The emission figure: flux, brightness temperature and photosphere pressure against
    wavelength, close-ups of the two doublets and the temperature-pressure profile."""
    from matplotlib.figure import Figure

    assert res.flux is not None and res.tb is not None and res.p_photosphere is not None
    wl = res.wavelength
    p_bar = res.pressure / atm.BAR
    fig = Figure(figsize=(10, 7.2), dpi=100, layout="constrained")
    grid = fig.add_gridspec(3, 2, width_ratios=(3, 1.25))
    ax_flux = fig.add_subplot(grid[0, 0])
    ax_tb = fig.add_subplot(grid[1, 0], sharex=ax_flux)
    ax_ph = fig.add_subplot(grid[2, 0], sharex=ax_flux)
    ax_na = fig.add_subplot(grid[0, 1])
    ax_k = fig.add_subplot(grid[1, 1], sharey=ax_na)
    ax_tp = fig.add_subplot(grid[2, 1], sharey=ax_ph)

    tmin, tmax = res.temperature.min(), res.temperature.max()
    for t, style in ((tmax, ":"), (tmin, "--")):
        ax_flux.semilogy(wl, math.pi * planck(res.wn, [t])[0], style, color="0.5",
                         lw=0.8, label=f"$\\pi B$ at {t:.0f} K")
    ax_flux.semilogy(wl, res.flux, lw=0.7, color="C0", label="emergent flux")
    ax_flux.set_ylabel("flux (erg s$^{-1}$ cm$^{-2}$ / cm$^{-1}$)")
    ax_flux.legend(fontsize=8, loc="lower right")
    ax_flux.set_title(title, fontsize=10, loc="left")

    ax_tb.plot(wl, res.tb, lw=0.7, color="C3")
    ax_tb.set_ylabel("brightness temperature (K)")
    _mark_lines(ax_tb)

    ax_ph.semilogy(wl, res.p_photosphere / atm.BAR, lw=0.7, color="C2")
    ax_ph.set_ylim(p_bar[-1], p_bar[0])
    ax_ph.set_ylabel(r"pressure at $\tau = 2/3$ (bar)")
    ax_ph.set_xlabel("wavelength (µm)")
    ax_ph.set_xlim(wl.min(), wl.max())

    for ax, sp in ((ax_na, lines.SODIUM), (ax_k, lines.POTASSIUM)):
        _zoom(ax, wl, res.tb, sp, "T$_b$ (K)", "C3")

    ax_tp.semilogy(res.temperature, p_bar, color="C1")
    ax_tp.set_xlabel("temperature (K)")
    ax_tp.set_ylabel("pressure (bar)")
    ax_tp.tick_params(labelleft=True)
    fig.savefig(stream, format="png")


def plot_transmission(res: Result, stream: IO[bytes], title: str) -> None:
    """The transmission figure: transit depth in ppm against wavelength with the Na and K lines
    marked and a second axis in scale heights above the continuum's radius, close-ups of the two
    doublets, and the pressure the limb is probed at."""
    from matplotlib.figure import Figure

    assert res.depth is not None and res.p_probed is not None and res.radius is not None
    assert res.scale_height is not None
    rstar = float(res.params["rstar"] or R_SUN)
    wl = res.wavelength
    ppm = 1e6 * res.depth
    base = float(np.percentile(res.radius, 5.0))
    height = res.scale_height

    def to_heights(d: Any) -> Any:
        return (rstar * np.sqrt(np.maximum(d, 0.0) / 1e6) - base) / height

    def to_ppm(h: Any) -> Any:
        return 1e6 * ((base + h * height) / rstar) ** 2

    p_bar = res.pressure / atm.BAR
    fig = Figure(figsize=(10, 6.4), dpi=100, layout="constrained")
    grid = fig.add_gridspec(2, 2, width_ratios=(3, 1.25), height_ratios=(1.4, 1))
    ax_d = fig.add_subplot(grid[0, 0])
    ax_p = fig.add_subplot(grid[1, 0], sharex=ax_d)
    ax_na = fig.add_subplot(grid[0, 1])
    ax_k = fig.add_subplot(grid[1, 1])

    ax_d.plot(wl, ppm, lw=0.7, color="C0")
    ax_d.set_ylabel("transit depth (ppm)")
    ax_d.set_title(title, fontsize=10, loc="left")
    heights = ax_d.secondary_yaxis("right", functions=(to_heights, to_ppm))
    heights.set_ylabel(f"scale heights above the continuum (H = {height / 1e5:.0f} km)")
    _mark_lines(ax_d)

    ax_p.semilogy(wl, res.p_probed / atm.BAR, lw=0.7, color="C2")
    ax_p.set_ylim(p_bar[-1], p_bar[0])
    ax_p.set_ylabel(r"pressure probed, chord $\tau = 0.56$ (bar)")
    ax_p.set_xlabel("wavelength (µm)")
    ax_p.set_xlim(wl.min(), wl.max())

    for ax, sp in ((ax_na, lines.SODIUM), (ax_k, lines.POTASSIUM)):
        _zoom(ax, wl, ppm, sp, "transit depth (ppm)", "C0")
    fig.savefig(stream, format="png")


# ---- command line ------------------------------------------------------------------------

def build_parser(prog: Optional[str] = None) -> _cli.Parser:
    positive_float = _cli.positive(float)
    p = _cli.Parser(
        prog=prog,
        description="Emission and transmission spectra of a hot Jupiter: Na and K resonance "
                    "lines and a grey continuum, through the exokern kernels. Writes "
                    "spectrum.npz/.png (emission) and transmission.npz/.png into --output.")
    p.add_argument("--geometry", choices=("emission", "transmission", "both"),
                   default="emission", help="which spectrum to compute (default: %(default)s)")
    g = p.add_argument_group("atmosphere")
    _cli.vertical_options(g)
    g.add_argument("--params", type=_cli.finite_float, nargs=6,
                   default=list(atm.GUILLOT_PARAMS),
                   metavar=("LOGKAPPA", "LOGG1", "LOGG2", "ALPHA", "TIRR", "TINT"),
                   help="three-channel Eddington profile parameters "
                        "(default: %(default)s)")
    g.add_argument("--tirr", type=_cli.nonnegative, metavar="K",
                   help="irradiation temperature in K (replaces TIRR of --params)")
    g.add_argument("--tint", type=_cli.nonnegative, metavar="K",
                   help="internal temperature in K (replaces TINT of --params)")
    g.add_argument("--isothermal", type=positive_float, metavar="T",
                   help="isothermal atmosphere at T kelvin instead of the profile")
    g.add_argument("--gravity", type=positive_float, default=atm.GRAVITY, metavar="G",
                   help="gravity in cm s^-2 at the reference radius (default: %(default)g)")
    g.add_argument("--na", type=_cli.finite_float, default=0.0, metavar="DEX",
                   help="sodium abundance relative to solar, in dex (default: 0)")
    g.add_argument("--k", type=_cli.finite_float, default=0.0, metavar="DEX",
                   help="potassium abundance relative to solar, in dex (default: 0)")
    g.add_argument("--kappa", type=_cli.nonnegative, metavar="CM2G",
                   help="grey continuum opacity in cm^2 g^-1 (default: 10^LOGKAPPA)")
    t = p.add_argument_group("transmission")
    t.add_argument("--rplanet", type=positive_float, default=1.0, metavar="RJUP",
                   help="planet radius at --pref, in Jupiter radii (default: %(default)g)")
    t.add_argument("--rstar", type=positive_float, default=1.0, metavar="RSUN",
                   help="stellar radius in solar radii (default: %(default)g)")
    t.add_argument("--pref", type=positive_float, default=0.1, metavar="BAR",
                   help="pressure at the planet radius, in bar (default: %(default)g)")
    s = p.add_argument_group("spectrum")
    _cli.spectral_options(s, resolution=20000.0, angles=8)
    o = p.add_argument_group("output")
    o.add_argument("--output", default=".", metavar="DIR",
                   help="folder for the files (default: current folder)")
    o.add_argument("--no-plot", action="store_true", help="write the numbers only")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return p


def _check(parser: _cli.Parser, args: argparse.Namespace) -> None:
    """Errors that involve more than one option, or the sizes and costs they make."""
    if args.ptop >= args.pbottom:
        parser.error(f"--ptop ({args.ptop:g}) must be below --pbottom ({args.pbottom:g})")
    if args.wn_min >= args.wn_max:
        parser.error(f"--wn-min ({args.wn_min:g}) must be below --wn-max ({args.wn_max:g})")
    if args.layers < 2:
        parser.error(f"--layers must be at least 2, got {args.layers}")
    if args.angles > 200:
        parser.error(f"--angles must be at most 200, got {args.angles}")
    if args.geometry != "emission" and args.rstar * R_SUN <= args.rplanet * R_JUPITER:
        parser.error(f"--rstar ({args.rstar:g} R_Sun) must be larger than --rplanet "
                     f"({args.rplanet:g} R_Jup)")
    nwave = grid_size(args.wn_min, args.wn_max, args.resolution)
    if nwave < 3:
        parser.error(f"the grid would hold {nwave:.0f} wavenumbers; raise --resolution or "
                     "widen the range to get at least 3")
    memory, seconds = cost(args.geometry, args.layers, nwave, args.angles)
    size = f"{args.layers} layers x {nwave:.3g} wavenumbers x {args.angles} angles"
    if memory > MAX_BYTES:
        parser.error(f"{size} is too large: it needs about {memory / 2**30:.3g} GiB (limit "
                     f"{MAX_BYTES / 2**30:.0f} GiB); reduce --layers, --resolution or the "
                     "wavenumber range")
    if seconds > MAX_SECONDS:
        what = ("--layers (the chords cost layers^2)" if args.geometry != "emission"
                else "--layers, --angles")
        parser.error(f"{size} is too large: it would take about {seconds / 3600:.3g} hours "
                     f"(limit {MAX_SECONDS / 3600:.0f}); reduce {what}, --resolution or the "
                     "wavenumber range")


def _params(args: argparse.Namespace) -> dict[str, Optional[float]]:
    profile = list(args.params)
    if args.tirr is not None:
        profile[4] = args.tirr
    if args.tint is not None:
        profile[5] = args.tint
    names = ("logkappa", "logg1", "logg2", "alpha", "tirr", "tint")
    params: dict[str, Optional[float]] = dict(zip(names, profile))
    params.update(isothermal=args.isothermal, gravity=args.gravity, na=args.na, k=args.k,
                  kappa=args.kappa, rplanet=args.rplanet * R_JUPITER,
                  rstar=args.rstar * R_SUN, pref=args.pref)
    return params


def _continuum(res: Result, values: Array) -> float:
    """Median of `values` away from the line centres."""
    sel = np.ones(len(res.wn), bool)
    for sp in lines.SPECIES:
        for wn0 in sp.wn0:
            sel &= np.abs(res.wn - wn0) > 500.0
    return float(np.median(values[sel])) if sel.any() else math.nan


def _summary(args: argparse.Namespace, res: Result, files: Sequence[str], total: float,
             note: str) -> str:
    t = res.temperature
    profile = (f"isothermal {args.isothermal:g} K" if args.isothermal is not None
               else f"guillot {t.min():.0f}..{t.max():.0f} K")
    wl = res.wavelength
    kind = {"emission": "emission spectrum", "transmission": "transmission spectrum",
            "both": "emission and transmission spectra"}[res.geometry]
    out = [
        f"exokern {__version__}: {kind} (Na, K resonance lines + grey continuum)",
        f"  atmosphere  {len(t)} layers, {args.ptop:g} .. {args.pbottom:g} bar, {profile}, "
        f"g = {args.gravity:g} cm s^-2",
        f"  spectrum    {len(wl)} wavenumbers, {res.wn[0]:.0f} .. {res.wn[-1]:.0f} cm^-1 "
        f"({wl.min():.3f} .. {wl.max():.3f} um), R = {args.resolution:g}; "
        f"{args.angles} angles",
        f"  opacity     [Na/H] = {args.na:+.2f}, [K/H] = {args.k:+.2f} dex; grey "
        f"{res.kappa:.3g} cm^2 g^-1" + (f"; left out: {', '.join(res.skipped)}"
                                         if res.skipped else ""),
    ]
    if res.tb is not None:
        out.append(f"  emission    Tb {res.tb.min():.0f} .. {res.tb.max():.0f} K (continuum "
                   f"median {_continuum(res, res.tb):.0f} K); band flux {res.band_flux:.4g} "
                   "erg s^-1 cm^-2")
    if res.depth is not None and res.radius is not None and res.scale_height is not None:
        cont = _continuum(res, res.radius)
        out.append(f"  transit     depth {1e6 * res.depth.min():.0f} .. "
                   f"{1e6 * res.depth.max():.0f} ppm; lines rise up to "
                   f"{(res.radius.max() - cont) / res.scale_height:.1f} H above the continuum "
                   f"(H = {res.scale_height / 1e5:.0f} km, R_p {args.rplanet:g} R_Jup at "
                   f"{args.pref:g} bar, R_s {args.rstar:g} R_Sun)")
    out.append("  time        " + ", ".join(f"{k} {v:.2f} s" for k, v in res.times.items())
               + f"; total {total:.2f} s")
    out += [f"  wrote       {f}" for f in files]
    if note:
        out.append(f"  note        {note}")
    return "\n".join(out)


def _npz(arrays: dict[str, Any]) -> Callable[[IO[bytes]], None]:
    return lambda stream: np.savez_compressed(stream, **arrays)


def _evaluate(model: ForwardModel, params: dict[str, Optional[float]]) -> Result:
    with _cli.progress(len(model.stages), "spectrum") as bar:
        return model.evaluate(params, stage=lambda name: bar.update(1))


def _run(parser: _cli.Parser, args: argparse.Namespace) -> int:
    start = time.perf_counter()
    try:
        model = ForwardModel(args.geometry, layers=args.layers, ptop=args.ptop,
                             pbottom=args.pbottom, wn_min=args.wn_min, wn_max=args.wn_max,
                             resolution=args.resolution, angles=args.angles)
        res = _evaluate(model, _params(args))
    except ValueError as err:
        parser.error(str(err))
    try:
        os.makedirs(args.output, exist_ok=True)
    except OSError as err:
        raise _cli.CommandError(f"cannot create --output {args.output}: "
                                f"{err.strerror}") from None

    writers: list[tuple[str, Callable[[IO[bytes]], None]]] = []
    figures: list[tuple[str, Callable[[IO[bytes]], None]]] = []
    if res.flux is not None:
        tirr, tint = res.params["tirr"], res.params["tint"]
        arrays = {k: getattr(res, k) for k in EMISSION_KEYS}
        writers.append((os.path.join(args.output, "spectrum.npz"), _npz(arrays)))
        title = (f"{len(res.temperature)} layers, R = {args.resolution:g}, "
                 + (f"isothermal {args.isothermal:g} K" if args.isothermal is not None
                    else f"T$_{{irr}}$ = {tirr:g} K, T$_{{int}}$ = {tint:g} K"))
        figures.append((os.path.join(args.output, "spectrum.png"),
                        lambda stream: plot_emission(res, stream, title)))
    if res.depth is not None:
        arrays = dict(wn=res.wn, wavelength=res.wavelength, depth=res.depth,
                      radius=res.radius, p_probed=res.p_probed, pressure=res.pressure,
                      temperature=res.temperature, radii=res.radii,
                      scale_height=res.scale_height, rplanet=res.params["rplanet"],
                      rstar=res.params["rstar"], pref=args.pref * atm.BAR)
        writers.append((os.path.join(args.output, "transmission.npz"), _npz(arrays)))
        title = (f"{len(res.temperature)} layers, R = {args.resolution:g}, "
                 f"R$_p$ = {args.rplanet:g} R$_J$ at {args.pref:g} bar, "
                 f"R$_s$ = {args.rstar:g} R$_\\odot$")
        figures.append((os.path.join(args.output, "transmission.png"),
                        lambda stream: plot_transmission(res, stream, title)))

    note = ""
    if not args.no_plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            note = 'no figure: matplotlib is missing (pip install "exokern[plot]")'
        else:
            clock = time.perf_counter()
            writers += figures
    files = _cli.write_files(writers)
    if not args.no_plot and not note:
        res.times["figure"] = time.perf_counter() - clock
    print(_summary(args, res, files, time.perf_counter() - start, note))
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Command-line entry: parse the options, evaluate the model, write the files, print a
    summary. Returns the exit status."""
    prog = _cli.prog_name("exokern.spectrum")
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    _check(parser, args)
    return _cli.run(prog, lambda: _run(parser, args))


if __name__ == "__main__":
    raise SystemExit(main())
