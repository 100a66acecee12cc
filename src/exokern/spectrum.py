"""Emission spectrum of a hot-Jupiter dayside, computed with the four exokern modules.

    python -m exokern.spectrum [options]        (or the console script exokern-spectrum)

The pipeline, top of the atmosphere first:

1. temperatures on a log-spaced pressure grid (`_kelvo.guillot`, or `_kelvo.isothermal`);
2. altitudes from hydrostatic equilibrium (`_quadra.cumtrapz`) and the path lengths between
   layers;
3. extinction: the Na and K resonance doublets (`_alkali.alkali_cross_section`) times the
   atoms' number densities, plus a grey continuum;
4. optical depth, layer by layer as the path grows (`_quadra.optdepth`), each wavelength
   stopping where it exceeds TAUMAX;
5. emergent intensity at Gauss-Legendre cosines (`_quadra.intensity`) of the Planck emission
   of every layer, the flux over the outward hemisphere, the band-integrated flux over
   wavenumber (`_simpson.geth` and `_simpson.simps`) and the brightness temperature.

It writes spectrum.npz (the numbers) and spectrum.png (the figure, when matplotlib is there)
into --output and prints a one-screen summary.
"""

import argparse
import math
import os
import sys
import time

import numpy as np

from exokern import __version__, _quadra, _simpson
from exokern import atmosphere as atm
from exokern import lines

# Radiation constants (cgs, exact in the 2019 SI).
PLANCK_H = 6.62607015e-27  # erg s
LIGHT_C = 2.99792458e10  # cm s^-1
C1 = 2.0 * PLANCK_H * LIGHT_C**2  # 2 h c^2, erg cm^2 s^-1
C2 = PLANCK_H * LIGHT_C / atm.K_BOLTZMANN  # h c / k, cm K

# Optical depth at which a wavelength's integration stops: deeper layers are hidden behind
# exp(-20) = 2e-9 of their emission.
TAUMAX = 20.0

# A grid larger than this many values per (layer, wavenumber) array is refused: the run keeps
# three such arrays of doubles.
MAX_VALUES = 20_000_000


def planck(wn, temperature):
    """Planck emission B(wn, T) = 2 h c^2 wn^3 / (exp(h c wn / k T) - 1) per unit wavenumber
    (erg s^-1 cm^-2 sr^-1 (cm^-1)^-1), shape (layers, wavenumbers)."""
    wn = np.asarray(wn, dtype=np.float64)
    t = np.asarray(temperature, dtype=np.float64)[:, None]
    with np.errstate(over="ignore"):  # exp overflows to inf where B is below 1e-300: B = 0
        return C1 * wn**3 / np.expm1(C2 * wn / t)


def brightness_temperature(wn, flux):
    """Temperature of the blackbody whose flux pi B equals `flux` at every wavenumber (K)."""
    wn = np.asarray(wn, dtype=np.float64)
    with np.errstate(divide="ignore"):  # zero flux is zero temperature
        return C2 * wn / np.log1p(math.pi * C1 * wn**3 / np.asarray(flux))


class Progress:
    """A plain-text progress bar on a stream, drawn only once the work has taken `delay`
    seconds and only on a terminal (unless `force`), so short runs and logs stay clean."""

    def __init__(self, total, label, stream=None, delay=0.5, force=False, width=30):
        self.total, self.label, self.width = max(int(total), 1), label, width
        self.stream = sys.stderr if stream is None else stream
        self.delay, self.start, self.last = delay, time.perf_counter(), -1.0
        self.shown = False
        self.enabled = force or bool(getattr(self.stream, "isatty", lambda: False)())

    def update(self, done):
        if not self.enabled:
            return
        now = time.perf_counter()
        if now - self.start < self.delay or (now - self.last < 0.1 and done < self.total):
            return
        self.last, self.shown = now, True
        fill = self.width * done // self.total
        self.stream.write(f"\r{self.label} [{'#' * fill}{'.' * (self.width - fill)}] "
                          f"{done}/{self.total}")
        self.stream.flush()

    def close(self):
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()


def optical_depth(ext, intervals, taumax=TAUMAX, progress=None):
    """Optical depth from the top of every layer and wavelength, and the bottom layer of every
    wavelength, from the extinction `ext` (layers, wavelengths; cm^-1) and the path lengths
    `intervals` between layers (cm).

    `optdepth` integrates rows 0 .. ilay at each ilay; it returns twice the trapezoidal
    integral, so it is given 2 taumax and its result is halved. A wavelength stops at the first
    layer beyond taumax; rows below that are left at zero and never read. Row 0 is the top of
    the model, where the optical depth is zero: the gas above the lowest pressure is left out.
    Wavelengths that never reach taumax see down to the bottom layer.
    """
    ext = np.ascontiguousarray(ext, dtype=np.float64)
    intervals = np.ascontiguousarray(intervals, dtype=np.float64)
    nlayers, nwave = ext.shape
    tau = np.zeros((nlayers, nwave))
    ideep = np.full(nwave, -1, dtype=np.intc)
    for ilay in range(1, nlayers):
        tau[ilay] = 0.5 * _quadra.optdepth(ext[:ilay + 1], intervals[:ilay], 2.0 * taumax,
                                           ideep, ilay)
        if progress is not None:
            progress.update(ilay)
        if ideep.min() >= 0:
            break
    if progress is not None:
        progress.update(nlayers - 1)
    ideep[ideep < 0] = nlayers - 1
    return tau, ideep


def gauss_cosines(nangles):
    """Gauss-Legendre nodes and weights for integrals over mu in (0, 1]."""
    x, w = np.polynomial.legendre.leggauss(nangles)
    return 0.5 * (x + 1.0), 0.5 * w


def hemisphere_flux(intensity, mu, weights):
    """Flux through the top, F = 2 pi integral over mu of I(mu) mu dmu, by the Gauss-Legendre
    sum. The rule is exact for integrands of degree 2M - 1 in mu with M cosines; the composite
    Simpson or trapezoidal rule on the same M nodes would be of far lower order and would also
    miss the ends mu = 0 and mu = 1 that the nodes leave out."""
    return 2.0 * math.pi * ((weights * mu) @ intensity)


def band_integral(wn, y):
    """Integral of y over the wavenumber grid by the composite Simpson rule for irregular grids
    (a trapezoid for the last interval when the sample count is even)."""
    y = np.ascontiguousarray(y, dtype=np.float64)
    h = np.diff(np.asarray(wn, dtype=np.float64))
    if len(y) < 3:
        return _quadra.trapz(y, h)
    # geth pairs intervals from the first one only for an even interval count.
    hsum, hratio, hfactor = _simpson.geth(h if len(h) % 2 == 0 else h[:-1])
    return _simpson.simps(y, h, hsum, hratio, hfactor)


def photosphere_pressure(tau, ideep, pressure, level=2.0 / 3.0):
    """Pressure at which the vertical optical depth of every wavelength reaches `level`,
    interpolated in log pressure; the bottom pressure where it is never reached."""
    nlayers, nwave = tau.shape
    rows = np.arange(nlayers)[:, None]
    valid = rows <= ideep[None, :]
    reached = (tau >= level) & valid
    below = np.where(reached.any(axis=0), reached.argmax(axis=0), nlayers - 1)
    above = np.maximum(below - 1, 0)
    cols = np.arange(nwave)
    t0, t1 = tau[above, cols], tau[below, cols]
    lp = np.log(pressure)
    with np.errstate(invalid="ignore", divide="ignore"):
        frac = np.clip((level - t0) / (t1 - t0), 0.0, 1.0)
    frac = np.where(np.isfinite(frac) & (below > above), frac, 1.0)
    return np.exp(lp[above] + frac * (lp[below] - lp[above]))


def wavenumber_grid(wn_min, wn_max, resolution):
    """Wavenumbers from wn_min to wn_max at constant resolving power wn / dwn = resolution."""
    n = int(math.floor(resolution * math.log(wn_max / wn_min))) + 1
    return wn_min * np.exp(np.arange(n) / resolution)


def compute(nlayers=100, ptop=1e-8, pbottom=1e2, wn_min=10000.0, wn_max=20000.0,
            resolution=20000.0, params=atm.GUILLOT_PARAMS, gravity=atm.GRAVITY,
            isothermal=None, dex=None, kappa=None, nangles=8, taumax=TAUMAX,
            progress=False):
    """Run the whole pipeline; returns a dict of the arrays and the time of every stage (s).

    `kappa` is the grey continuum's mass opacity (cm^2 g^-1); by default the thermal opacity
    10^params[0] that the temperature profile assumes, so that the continuum photosphere lies
    where the profile puts it. `dex` maps "Na" and "K" to abundances relative to solar (dex).
    """
    times = {}
    clock = time.perf_counter()

    def lap(stage):
        nonlocal clock
        now = time.perf_counter()
        times[stage] = now - clock
        clock = now

    pressure = atm.pressure_grid(nlayers, ptop, pbottom)
    temperature = atm.temperatures(pressure, params, gravity, isothermal)
    if not np.all(np.isfinite(temperature) & (temperature > 0)):
        raise ValueError("the temperature profile is not finite and positive everywhere; "
                         "check the profile parameters")
    z = atm.altitudes(pressure, temperature, gravity)
    intervals = atm.path_intervals(z)
    lap("atmosphere")

    wn = wavenumber_grid(wn_min, wn_max, resolution)
    ext, skipped = lines.alkali_extinction(pressure, temperature, wn, dex=dex)
    if kappa is None:
        kappa = 10.0 ** params[0]
    ext += (kappa * atm.mass_density(pressure, temperature))[:, None]
    lap("extinction")

    bar = Progress(nlayers - 1, "optical depth") if progress else None
    tau, ideep = optical_depth(ext, intervals, taumax, bar)
    if bar is not None:
        bar.close()
    del ext
    lap("optical depth")

    bb = planck(wn, temperature)
    mu, weights = gauss_cosines(nangles)
    intensity = _quadra.intensity(tau, ideep, bb, mu, 0)
    flux = hemisphere_flux(intensity, mu, weights)
    lap("intensity")

    tb = brightness_temperature(wn, flux)
    p_phot = photosphere_pressure(tau, ideep, pressure)
    band = band_integral(wn, flux)
    lap("diagnostics")
    return dict(
        wn=wn, wavelength=1e4 / wn, flux=flux, tb=tb, intensity=intensity, mu=mu,
        weights=weights, pressure=pressure, temperature=temperature, z=z, ideep=ideep,
        p_photosphere=p_phot, band_flux=band, kappa=kappa, skipped=skipped, times=times,
        tau=tau, planck=bb)


# ---- figure ----------------------------------------------------------------------------

def plot(result, path, title):
    """Write the figure: flux, brightness temperature and photosphere pressure against
    wavelength, close-ups of the two doublets and the temperature-pressure profile."""
    from matplotlib.figure import Figure

    wl = result["wavelength"]
    p_bar = result["pressure"] / atm.BAR
    fig = Figure(figsize=(10, 7.2), dpi=100, layout="constrained")
    grid = fig.add_gridspec(3, 2, width_ratios=(3, 1.25))
    ax_flux = fig.add_subplot(grid[0, 0])
    ax_tb = fig.add_subplot(grid[1, 0], sharex=ax_flux)
    ax_ph = fig.add_subplot(grid[2, 0], sharex=ax_flux)
    ax_na = fig.add_subplot(grid[0, 1])
    ax_k = fig.add_subplot(grid[1, 1], sharey=ax_na)
    ax_tp = fig.add_subplot(grid[2, 1], sharey=ax_ph)

    tmin, tmax = result["temperature"].min(), result["temperature"].max()
    for t, style in ((tmax, ":"), (tmin, "--")):
        ax_flux.semilogy(wl, math.pi * planck(result["wn"], [t])[0], style, color="0.5",
                         lw=0.8, label=f"$\\pi B$ at {t:.0f} K")
    ax_flux.semilogy(wl, result["flux"], lw=0.7, color="C0", label="emergent flux")
    ax_flux.set_ylabel("flux (erg s$^{-1}$ cm$^{-2}$ / cm$^{-1}$)")
    ax_flux.legend(fontsize=8, loc="lower right")
    ax_flux.set_title(title, fontsize=10, loc="left")

    ax_tb.plot(wl, result["tb"], lw=0.7, color="C3")
    ax_tb.set_ylabel("brightness temperature (K)")
    for sp in lines.SPECIES:
        for wn0 in sp.wn0:
            ax_tb.axvline(1e4 / wn0, color="0.8", lw=0.6, zorder=0)
        ax_tb.annotate(sp.name, (1e4 / np.mean(sp.wn0), 1.0), xycoords=("data", "axes fraction"),
                       xytext=(0, -12), textcoords="offset points", ha="center", fontsize=9)

    ax_ph.semilogy(wl, result["p_photosphere"] / atm.BAR, lw=0.7, color="C2")
    ax_ph.set_ylim(p_bar[-1], p_bar[0])
    ax_ph.set_ylabel(r"pressure at $\tau = 2/3$ (bar)")
    ax_ph.set_xlabel("wavelength (µm)")
    ax_ph.set_xlim(wl.min(), wl.max())

    for ax, sp in ((ax_na, lines.SODIUM), (ax_k, lines.POTASSIUM)):
        centre = 1e7 / np.array(sp.wn0)
        span = max(2.5 * np.ptp(centre), 1.0)
        sel = np.abs(1e3 * wl - centre.mean()) < span
        ax.plot(1e3 * wl[sel], result["tb"][sel], lw=0.8, color="C3")
        ax.set_xlabel(f"{sp.name} D wavelength (nm, vacuum)")
        ax.set_ylabel("T$_b$ (K)")

    ax_tp.semilogy(result["temperature"], p_bar, color="C1")
    ax_tp.set_xlabel("temperature (K)")
    ax_tp.set_ylabel("pressure (bar)")
    ax_tp.tick_params(labelleft=True)
    fig.savefig(path)


# ---- command line ----------------------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    """Reports a bad option in one line on stderr and exits with status 2."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def _positive(kind):
    def convert(text):
        value = kind(text)
        if not (value > 0 and math.isfinite(value)):
            raise argparse.ArgumentTypeError(f"must be positive, got {text}")
        return value
    convert.__name__ = kind.__name__
    return convert


def _finite(text):
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text}")
    return value


def _nonnegative(text):
    value = _finite(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {text}")
    return value


def build_parser(prog=None):
    p = _Parser(
        prog=prog,
        description="Emission spectrum of a hot-Jupiter dayside: Na and K resonance lines and a "
                    "grey continuum, through the exokern kernels. Writes spectrum.npz and "
                    "spectrum.png into --output.")
    g = p.add_argument_group("atmosphere")
    g.add_argument("--layers", type=_positive(int), default=100, metavar="N",
                   help="number of layers (default: %(default)s)")
    g.add_argument("--ptop", type=_positive(float), default=1e-8, metavar="BAR",
                   help="top pressure in bar (default: %(default)g)")
    g.add_argument("--pbottom", type=_positive(float), default=1e2, metavar="BAR",
                   help="bottom pressure in bar (default: %(default)g)")
    g.add_argument("--params", type=_finite, nargs=6, default=list(atm.GUILLOT_PARAMS),
                   metavar=("LOGKAPPA", "LOGG1", "LOGG2", "ALPHA", "TIRR", "TINT"),
                   help="three-channel Eddington profile parameters "
                        "(default: %(default)s)")
    g.add_argument("--tirr", type=_nonnegative, metavar="K", help="irradiation temperature in K "
                   "(replaces TIRR of --params)")
    g.add_argument("--tint", type=_nonnegative, metavar="K", help="internal temperature in K "
                   "(replaces TINT of --params)")
    g.add_argument("--isothermal", type=_positive(float), metavar="T",
                   help="isothermal atmosphere at T kelvin instead of the profile")
    g.add_argument("--gravity", type=_positive(float), default=atm.GRAVITY, metavar="G",
                   help="surface gravity in cm s^-2 (default: %(default)g)")
    g.add_argument("--na", type=_finite, default=0.0, metavar="DEX",
                   help="sodium abundance relative to solar, in dex (default: 0)")
    g.add_argument("--k", type=_finite, default=0.0, metavar="DEX",
                   help="potassium abundance relative to solar, in dex (default: 0)")
    g.add_argument("--kappa", type=_nonnegative, metavar="CM2G",
                   help="grey continuum opacity in cm^2 g^-1 (default: 10^LOGKAPPA)")
    s = p.add_argument_group("spectrum")
    s.add_argument("--wn-min", type=_positive(float), default=10000.0, metavar="WN",
                   help="lowest wavenumber in cm^-1 (default: %(default)g, 1 micron)")
    s.add_argument("--wn-max", type=_positive(float), default=20000.0, metavar="WN",
                   help="highest wavenumber in cm^-1 (default: %(default)g, 0.5 micron)")
    s.add_argument("--resolution", type=_positive(float), default=20000.0, metavar="R",
                   help="resolving power wn/dwn of the grid (default: %(default)g)")
    s.add_argument("--angles", type=_positive(int), default=8, metavar="M",
                   help="number of Gauss-Legendre emission angles (default: %(default)s)")
    o = p.add_argument_group("output")
    o.add_argument("--output", default=".", metavar="DIR",
                   help="folder for spectrum.npz and spectrum.png (default: current folder)")
    o.add_argument("--no-plot", action="store_true", help="write the numbers only")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return p


def _check(parser, args):
    """Errors that involve more than one option, or the sizes they make."""
    if args.ptop >= args.pbottom:
        parser.error(f"--ptop ({args.ptop:g}) must be below --pbottom ({args.pbottom:g})")
    if args.wn_min >= args.wn_max:
        parser.error(f"--wn-min ({args.wn_min:g}) must be below --wn-max ({args.wn_max:g})")
    if args.layers < 2:
        parser.error(f"--layers must be at least 2, got {args.layers}")
    if args.angles > 200:
        parser.error(f"--angles must be at most 200, got {args.angles}")
    nwave = int(math.floor(args.resolution * math.log(args.wn_max / args.wn_min))) + 1
    if nwave < 3:
        parser.error(f"the grid would hold {nwave} wavenumbers; raise --resolution or widen "
                     "the range to get at least 3")
    if nwave * args.layers > MAX_VALUES:
        parser.error(f"{args.layers} layers x {nwave} wavenumbers is too large "
                     f"(limit {MAX_VALUES:.0e} values)")


def _summary(args, res, files, total, note):
    t = res["temperature"]
    profile = (f"isothermal {args.isothermal:g} K" if args.isothermal is not None
               else f"guillot {t.min():.0f}..{t.max():.0f} K")
    wl = res["wavelength"]
    sel = np.ones(len(wl), bool)
    for sp in lines.SPECIES:
        for wn0 in sp.wn0:
            sel &= np.abs(res["wn"] - wn0) > 500.0
    cont = np.median(res["tb"][sel]) if sel.any() else np.nan
    out = [
        f"exokern {__version__}: emission spectrum (Na, K resonance lines + grey continuum)",
        f"  atmosphere  {len(t)} layers, {args.ptop:g} .. {args.pbottom:g} bar, {profile}, "
        f"g = {args.gravity:g} cm s^-2",
        f"  spectrum    {len(wl)} wavenumbers, {res['wn'][0]:.0f} .. {res['wn'][-1]:.0f} cm^-1 "
        f"({wl.min():.3f} .. {wl.max():.3f} um), R = {args.resolution:g}; "
        f"{len(res['mu'])} angles",
        f"  opacity     [Na/H] = {args.na:+.2f}, [K/H] = {args.k:+.2f} dex; grey "
        f"{res['kappa']:.3g} cm^2 g^-1" + (f"; left out: {', '.join(res['skipped'])}"
                                            if res["skipped"] else ""),
        f"  result      Tb {res['tb'].min():.0f} .. {res['tb'].max():.0f} K "
        f"(continuum median {cont:.0f} K); band flux {res['band_flux']:.4g} erg s^-1 cm^-2",
        "  time        " + ", ".join(f"{k} {v:.2f} s" for k, v in res["times"].items())
        + f"; total {total:.2f} s",
    ]
    out += [f"  wrote       {f}" for f in files]
    if note:
        out.append(f"  note        {note}")
    print("\n".join(out))


def main(argv=None):
    """Command-line entry: parse the options, compute, write the files, print a summary."""
    start = time.perf_counter()
    prog = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    if prog in ("", "-c", "__main__.py", "spectrum.py"):
        prog = "python -m exokern.spectrum"
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    _check(parser, args)
    params = list(args.params)
    if args.tirr is not None:
        params[4] = args.tirr
    if args.tint is not None:
        params[5] = args.tint
    try:
        os.makedirs(args.output, exist_ok=True)
    except OSError as err:
        parser.exit(1, f"{prog}: error: cannot create --output {args.output}: "
                       f"{err.strerror}\n")

    try:
        res = compute(nlayers=args.layers, ptop=args.ptop, pbottom=args.pbottom,
                      wn_min=args.wn_min, wn_max=args.wn_max, resolution=args.resolution,
                      params=params, gravity=args.gravity, isothermal=args.isothermal,
                      dex={"Na": args.na, "K": args.k}, kappa=args.kappa,
                      nangles=args.angles, progress=True)
    except ValueError as err:
        parser.error(str(err))

    files, note = [], ""
    npz = os.path.join(args.output, "spectrum.npz")
    keep = ("wn", "wavelength", "flux", "tb", "intensity", "mu", "weights", "pressure",
            "temperature", "z", "ideep", "p_photosphere", "band_flux")
    try:
        np.savez_compressed(npz, **{k: res[k] for k in keep})
        files.append(npz)
        if not args.no_plot:
            clock = time.perf_counter()
            try:
                import matplotlib  # noqa: F401
            except ImportError:
                note = 'no figure: matplotlib is missing (pip install "exokern[plot]")'
            else:
                png = os.path.join(args.output, "spectrum.png")
                title = (f"{len(res['temperature'])} layers, R = {args.resolution:g}, "
                         + (f"isothermal {args.isothermal:g} K" if args.isothermal is not None
                            else "T$_{irr}$ = %g K, T$_{int}$ = %g K" % (params[4], params[5])))
                plot(res, png, title)
                files.append(png)
                res["times"]["figure"] = time.perf_counter() - clock
    except OSError as err:
        parser.exit(1, f"{prog}: error: cannot write into {args.output}: {err.strerror}\n")
    _summary(args, res, files, time.perf_counter() - start, note)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
