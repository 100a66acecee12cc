"""Emission and transmission spectra of a hot Jupiter, computed with the four exokern modules.

    exokern-spectrum [options]        (or python -m exokern.spectrum)

The command is a thin layer over `exokern.model.ForwardModel`: its options are the model's
static choices and parameters (from the registry, `exokern.params`), it evaluates the model
once and writes what it gives. `--geometry` chooses the spectrum: the emission spectrum of the
dayside (the default), the transmission spectrum seen during a transit, or both from one
evaluation.

The emission run writes spectrum.npz (the numbers), spectrum.nc (the same in netCDF 4, with
the units and descriptions of the registry, when xarray and h5netcdf are there) and
spectrum.png (the figure, when matplotlib is there); the transmission run transmission.npz,
transmission.nc and transmission.png. Each file is written whole or not at all. A one-screen
summary goes to standard output.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import math
import os
import re
import shlex
import sys
import time
from typing import IO, Any, Callable, Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern import __version__
from exokern import params as registry
from exokern.atmosphere import BAR, R_JUPITER, R_SUN
from exokern.cli import common, options, plots
from exokern.errors import MissingDependency, require
from exokern.model import ForwardModel, cost, grid_size
from exokern.opacity import alkali
from exokern.opacity.extinction import band_centres, shares
from exokern.result import Result

Array = npt.NDArray[np.float64]
Writers = list[tuple[str, Callable[[IO[bytes]], None]]]

# What a run may cost before it is refused: the memory its arrays take, and the time its kernels
# need (`exokern.model.cost`).
MAX_BYTES = 4 * 2**30
MAX_SECONDS = 3600.0

EMISSION_KEYS = ("wn", "wavelength", "flux", "tb", "intensity", "mu", "weights", "pressure",
                 "temperature", "z", "ideep", "p_photosphere", "band_flux")
STATIC = ("layers", "ptop", "pbottom", "wn_min", "wn_max", "resolution", "angles")
TABLES = ("molecules", "cia", "rayleigh")
# The dimensions of each array of the netCDF files; the parameters are scalar coordinates.
DIMS = {"wn": ("wn",), "wavelength": ("wn",), "flux": ("wn",), "tb": ("wn",),
        "intensity": ("mu", "wn"), "mu": ("mu",), "weights": ("mu",), "pressure": ("pressure",),
        "temperature": ("pressure",), "z": ("pressure",), "ideep": ("wn",),
        "p_photosphere": ("wn",), "band_flux": (), "depth": ("wn",), "radius": ("wn",),
        "p_probed": ("wn",), "radii": ("pressure",), "scale_height": ()}
COORDS = ("wn", "wavelength", "mu", "pressure")
NETCDF = "the netCDF spectra"
# Radii in the units of the field, on this command alone.
CONVENIENCE = {"rplanet": ("rjup", "R_Jup", R_JUPITER), "rstar": ("rsun", "R_Sun", R_SUN)}


def build_parser(prog: Optional[str] = None, molecules: Sequence[str] = ()) -> common.Parser:
    """The options, with those of the parameters of a model of these `molecules`."""
    # No abbreviations: an option's name carries its unit (--rplanet-rjup), and a shortened
    # one would guess it.
    p = common.Parser(
        prog=prog, allow_abbrev=False,
        description="Emission and transmission spectra of a hot Jupiter: Na and K resonance "
                    "lines and a grey continuum, through the exokern kernels. Writes "
                    "spectrum.npz/.png (emission) and transmission.npz/.png into --output.")
    options.add_settings(p, ["geometry"])
    g = p.add_argument_group("atmosphere")
    options.add_settings(g, STATIC[:3])
    profile = " ".join(options.shown(registry.MODEL_PARAMETERS[n].default)
                       for n in registry.PROFILE)
    g.add_argument("--params", type=float, nargs=6,
                   metavar=tuple(n.upper() for n in registry.PROFILE),
                   help="the six parameters of the three-channel Eddington profile at once "
                        f"(default: {profile}); the option of each replaces its value")
    parameters = registry.parameters_for(molecules=molecules)
    options.add_parameters(g, list(parameters.values()), CONVENIENCE)
    s = p.add_argument_group("spectrum")
    options.add_settings(s, STATIC[3:])
    options.table_options(p.add_argument_group("opacity tables"))
    o = p.add_argument_group("output")
    o.add_argument("--output", default=".", metavar="DIR",
                   help="folder for the files (default: current folder)")
    o.add_argument("--no-plot", action="store_true", help="write the numbers only")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return p


def _check_size(parser: common.Parser, args: argparse.Namespace) -> None:
    """Refuse a run too large for this machine before anything is allocated."""
    nwave = grid_size(args.wn_min, args.wn_max, args.resolution)
    if not 3 <= nwave:  # the model says why
        return
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
    """The parameters the options give: --params, then each parameter's own option."""
    params: dict[str, Optional[float]] = {}
    if args.params is not None:
        params.update(zip(registry.PROFILE, args.params))
    for name in registry.parameters_for(molecules=[m for m in args.molecule_names]):
        if getattr(args, name, None) is not None:
            params[name] = getattr(args, name)
    return params


def _continuum(res: Result, values: Array) -> float:
    """Median of `values` away from the line centres."""
    sel = np.ones(len(res.wn), bool)
    for sp in alkali.SPECIES:
        for wn0 in sp.wn0:
            sel &= np.abs(res.wn - wn0) > 500.0
    return float(np.median(values[sel])) if sel.any() else math.nan


def _forming(res: Result) -> dict[str, npt.NDArray[np.intp]]:
    """Per geometry, the layer where the spectrum forms at each wavenumber: that of the
    photosphere (emission), or of the pressure the limb is probed at (transmission)."""
    levels = {}
    if res.geometry != "transmission":
        levels["emission"] = res.emission.p_photosphere
    if res.geometry != "emission":
        levels["transmission"] = res.transmission.p_probed
    return {geometry: np.clip(np.searchsorted(res.pressure, level), 0, len(res.pressure) - 1)
            for geometry, level in levels.items()}


def _marks(model: ForwardModel, res: Result,
           rows: npt.NDArray[np.intp]) -> list[tuple[str, float]]:
    """The molecules' bands, as (name, wavelength in micron): the peaks of each molecule's
    extinction in the layer where most of the spectrum forms."""
    assert res.sources is not None
    layer = int(np.median(rows))
    return [(name, 1e4 / centre) for name in model.molecules
            for centre in band_centres(res.sources[name][layer], model.wn)]


def _summary(model: ForwardModel, res: Result, files: Sequence[str], total: float,
             note: str) -> str:
    t, p, static = res.temperature, res.params, model.static
    profile = (f"isothermal {p['isothermal']:g} K" if p["isothermal"] is not None
               else f"guillot {t.min():.0f}..{t.max():.0f} K")
    wl = res.wavelength
    kind = {"emission": "emission spectrum", "transmission": "transmission spectrum",
            "both": "emission and transmission spectra"}[res.geometry]
    sources = (["Na, K resonance lines"] + (["grey continuum"] if res.kappa > 0 else [])
               + list(model.molecules)
               + [s.name for s in model.extinction.tables.sources if s.kind == "cia"]
               + (["Rayleigh"] if model.static["rayleigh"] else []))
    out = [
        f"exokern {__version__}: {kind} ({', '.join(sources)})",
        f"  atmosphere  {len(t)} layers, {static['ptop']:g} .. {static['pbottom']:g} bar, "
        f"{profile}, g = {p['gravity']:g} cm s^-2",
        f"  spectrum    {len(wl)} wavenumbers, {res.wn[0]:.0f} .. {res.wn[-1]:.0f} cm^-1 "
        f"({wl.min():.3f} .. {wl.max():.3f} um), R = {static['resolution']:g}; "
        f"{static['angles']} angles",
        f"  opacity     [Na/H] = {p['na']:+.2f}, [K/H] = {p['k']:+.2f} dex; grey "
        f"{res.kappa:.3g} cm^2 g^-1" + (f"; left out: {', '.join(res.skipped)}"
                                         if res.skipped else ""),
        "  gas         " + ", ".join(f"{k} {v:.3g}" for k, v in res.mixture.items())
        + f"; mean mass {res.mean_mass:.4g} u",
    ]
    assert res.sources is not None
    for geometry, rows in _forming(res).items():
        part = shares(res.sources, rows)
        mean = sorted(((float(np.mean(v)), k) for k, v in part.items()), reverse=True)
        out.append(f"  sources     {geometry}, where it forms: "
                   + ", ".join(f"{k} {100 * v:.0f} %" for v, k in mean if v >= 0.005))
    for name, clamped in res.clamped.items():
        out.append(f"  clamped     {name}: {clamped.text()} (taken at the table's edge)")
    if res.geometry != "transmission":
        e = res.emission
        out.append(f"  emission    Tb {e.tb.min():.0f} .. {e.tb.max():.0f} K (continuum "
                   f"median {_continuum(res, e.tb):.0f} K); band flux {e.band_flux:.4g} "
                   "erg s^-1 cm^-2")
    if res.geometry != "emission":
        tr = res.transmission
        cont = _continuum(res, tr.radius)
        out.append(f"  transit     depth {1e6 * tr.depth.min():.0f} .. "
                   f"{1e6 * tr.depth.max():.0f} ppm; lines rise up to "
                   f"{(tr.radius.max() - cont) / tr.scale_height:.1f} H above the continuum "
                   f"(H = {tr.scale_height / 1e5:.0f} km, R_p "
                   f"{_value(p, 'rplanet') / R_JUPITER:g} R_Jup at {p['pref']:g} bar, R_s "
                   f"{_value(p, 'rstar') / R_SUN:g} R_Sun)")
    out.append("  time        " + ", ".join(f"{k} {v:.2f} s" for k, v in res.times.items())
               + f"; total {total:.2f} s")
    out += [f"  wrote       {f}" for f in files]
    if note:
        out.append(f"  note        {note}")
    return "\n".join(out)


def _value(params: dict[str, Optional[float]], name: str) -> float:
    value = params[name]
    assert value is not None
    return value


def dataset(model: ForwardModel, res: Result, arrays: Mapping[str, Any], command: str) -> Any:
    """The arrays of an archive as an xarray Dataset with the names, units and descriptions
    of the grid's store: the arrays of `DIMS` over wavenumber, viewing cosine and layer
    pressure, the parameters as scalar coordinates, the model's description and the command
    line in the attributes."""
    xr = require("xarray", "netcdf", NETCDF)
    variables: dict[str, Any] = {}
    for name, values in arrays.items():
        if name in DIMS:
            variables[name] = xr.Variable(DIMS[name], values,
                                          registry.cf_attributes(registry.QUANTITIES[name]))
    for name, value in res.params.items():
        if value is not None:
            variables[name] = xr.Variable((), value,
                                          registry.cf_attributes(model.parameter_set[name]))
    coords = {n: v for n, v in variables.items() if n in COORDS or n in res.params}
    ds = xr.Dataset({n: v for n, v in variables.items() if n not in coords}, coords=coords)
    geometry = "transmission" if "depth" in arrays else "emission"
    ds.attrs.update({"title": f"exokern {geometry} spectrum", "geometry": geometry,
                     "exokern_version": __version__, "history": command,
                     "exokern_model": json.dumps(model.describe(), sort_keys=True)})
    return ds


# xarray writes netCDF 4 into memory through h5netcdf from this release on
XARRAY_FLOOR = (2025, 8)


def _check_xarray() -> None:
    """MissingDependency where the installed xarray is older than the netCDF files need."""
    version = require("xarray", "netcdf", NETCDF).__version__
    found = tuple(int(part) for part in re.findall(r"\d+", version)[:2])
    if found < XARRAY_FLOOR:
        raise MissingDependency(f"xarray {version} is older than the "
                                f"{XARRAY_FLOOR[0]}.{XARRAY_FLOOR[1]} {NETCDF} needs: pip "
                                'install "exokern[netcdf]"')


def _netcdf(model: ForwardModel, res: Result, arrays: Mapping[str, Any],
            command: str) -> Callable[[IO[bytes]], None]:
    def write(stream: IO[bytes]) -> None:
        data = dataset(model, res, arrays, command).to_netcdf(engine="h5netcdf")
        stream.write(bytes(data))
    return write


def _files(model: ForwardModel, res: Result, folder: str,
           command: Optional[str] = None) -> tuple[Writers, Writers]:
    """The archives and the figures of a result, as (path, writer) pairs; the archives in
    netCDF too when a `command` line is given for their history."""
    static, p = model.static, res.params
    forming = _forming(res)
    arrays: Writers = []
    figures: Writers = []
    head = f"{len(res.temperature)} layers, R = {static['resolution']:g}, "
    if res.geometry != "transmission":
        e = res.emission
        atmosphere = dict(wn=res.wn, wavelength=res.wavelength, pressure=res.pressure,
                          temperature=res.temperature)
        parts = dict(flux=e.flux, tb=e.tb, intensity=e.intensity, mu=e.mu, weights=e.weights,
                     z=e.z, ideep=e.ideep, p_photosphere=e.p_photosphere,
                     band_flux=e.band_flux)
        found = {**atmosphere, **parts}
        arrays.append((os.path.join(folder, "spectrum.npz"),
                       common.npz({k: found[k] for k in EMISSION_KEYS})))
        if command is not None:
            arrays.append((os.path.join(folder, "spectrum.nc"),
                           _netcdf(model, res, found, command)))
        title = head + (f"isothermal {p['isothermal']:g} K" if p["isothermal"] is not None
                        else f"T$_{{irr}}$ = {p['tirr']:g} K, T$_{{int}}$ = {p['tint']:g} K")
        marks = _marks(model, res, forming["emission"])
        figures.append((os.path.join(folder, "spectrum.png"), lambda stream: plots.emission(
            stream, title, res.wn, e.flux, e.tb, e.p_photosphere, res.pressure,
            res.temperature, marks)))
    if res.geometry != "emission":
        t = res.transmission
        rplanet, rstar = _value(p, "rplanet"), _value(p, "rstar")
        transit = dict(wn=res.wn, wavelength=res.wavelength, depth=t.depth, radius=t.radius,
                       p_probed=t.p_probed, pressure=res.pressure, temperature=res.temperature,
                       radii=t.radii, scale_height=t.scale_height)
        arrays.append((os.path.join(folder, "transmission.npz"), common.npz(dict(
            transit, rplanet=rplanet, rstar=rstar, pref=_value(p, "pref") * BAR))))
        if command is not None:
            arrays.append((os.path.join(folder, "transmission.nc"),
                           _netcdf(model, res, transit, command)))
        title_t = (head + f"R$_p$ = {rplanet / R_JUPITER:g} R$_J$ at {p['pref']:g} bar, "
                   f"R$_s$ = {rstar / R_SUN:g} R$_\\odot$")
        marks_t = _marks(model, res, forming["transmission"])
        figures.append((os.path.join(folder, "transmission.png"),
                        lambda stream: plots.transmission(
                            stream, title_t, res.wn, t.depth, t.radius, t.p_probed,
                            res.pressure, t.scale_height, rstar, marks_t)))
    return arrays, figures


def _run(parser: common.Parser, args: argparse.Namespace) -> int:
    start = time.perf_counter()
    try:
        model = ForwardModel(args.geometry, **{name: getattr(args, name) for name in STATIC},
                             **options.tables(args))
        with common.progress(len(model.stages), "spectrum") as bar:
            res = model.evaluate(_params(args), stage=lambda name: bar.update(1), sources=True)
    except ValueError as err:
        parser.error(str(err))
    common.make_folder(args.output)
    notes: list[str] = []
    command: Optional[str] = args.command
    try:
        for module in ("xarray", "h5netcdf"):
            require(module, "netcdf", NETCDF)
        _check_xarray()
    except MissingDependency as err:
        notes.append(f"no netCDF files: {err}")
        command = None
    writers, figures = _files(model, res, args.output, command)
    plotted = False
    if not args.no_plot:
        if importlib.util.find_spec("matplotlib") is None:
            notes.append('no figure: matplotlib is missing (pip install "exokern[plot]")')
        else:
            clock = time.perf_counter()
            writers += figures
            plotted = True
    files = common.write_files(writers)
    if plotted:
        res.times["figure"] = time.perf_counter() - clock
    print(_summary(model, res, files, time.perf_counter() - start, "; ".join(notes)))
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Command-line entry: parse the options, evaluate the model, write the files, print a
    summary. Returns the exit status."""
    prog = common.prog_name("exokern.spectrum")
    argv = list(sys.argv[1:] if argv is None else argv)
    names = options.molecules_named(argv)
    parser = build_parser(prog, names)
    args = parser.parse_args(argv)
    args.molecule_names = names
    args.command = " ".join([prog, shlex.join(argv)])
    _check_size(parser, args)
    return common.run(prog, lambda: _run(parser, args))
