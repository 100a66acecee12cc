"""Benchmark: exokern's transit depth against TauREx 3 on the same tables and atmosphere.

    python bench/peers.py                      # the comparison, 9 interleaved timing rounds
    python bench/peers.py --repeats 25         # more timing rounds
    python bench/peers.py --data DIR           # the tables elsewhere than ../shared/data

One isothermal 1000 K atmosphere, 100 layers from 1e-6 to 10 bar, H2O at a volume mixing ratio
of 1e-3 with H2 and He filling the rest (He/H2 = 0.17 by number), g = 1000 cm s^-2 at R_p =
1 R_Jup, R_* = 1 R_Sun; the H2O cross sections of `xsec/H2O_BT2_tau.xsec.TauREx.h5`, the CIA of
`cia/H2-H2.cia` and `cia/H2-He.cia`, Rayleigh scattering; 3000-12000 cm^-1 at R = 1000.

exokern samples the line-by-line table: at each of its wavenumbers it takes the table's value
at the nearest table wavenumber. TauREx interpolates linearly in wavenumber instead, which on a
table whose neighbouring samples differ by orders of magnitude gives other cross sections
altogether, so TauREx is run on those nearest table wavenumbers themselves: there its
interpolation returns the table's own values, the cross sections of the two codes are the same
point by point, and the two depths are compared with no resampling of either spectrum (the CIA,
smooth in wavenumber, and Rayleigh scattering are then taken up to half a table step, 1.4e-4 of
the wavenumber, away from exokern's: well under 0.001 H). Once more on TauREx's native grid (the
table's), its depth
interpolated onto exokern's wavenumbers and both binned to R = 100, which shows what sampling
the line-by-line table at R = 1000 does rather than what the two codes do. Then each source
alone (H2O, CIA, Rayleigh), so that a disagreement points at its cause.

Differences are given in ppm of transit depth and in scale heights, H = k T / (mu m_u g) with
g at R_p: dz = R_* (sqrt(depth_exokern) - sqrt(depth_TauREx)) / H, the difference of the two
effective radii. Times are per forward model, medians of interleaved calls.

TauREx 3 is a peer code, never a dependency: without it the script prints exokern's settings
and time, says that TauREx is not importable and exits 0.

How the two setups are matched:
- TauREx sets R_p at the bottom of its atmosphere (10 bar, altitude 0), with g = G M / r^2 from
  a mass chosen to give g at R_p; exokern's `pref` is therefore `pbottom`. TauREx's layers sit
  midway (in log p) between 101 levels, exokern's on 100 log-spaced points from ptop to pbottom:
  the same pressure range, layer centres half a layer apart.
- TauREx counts Rayleigh scattering of every gas it knows (H2O too), exokern of H2 and He only:
  at 1e-3 of H2O, H2O's share is about 0.5 % of the total (some 0.005 H where Rayleigh rules).
- TauREx 3.3's readers want a `mol_name` dataset of shape (1,) (ExoMol's layout) and a CIA
  header whose fields are separated by blanks; where a shared file is otherwise (a scalar
  `mol_name`, a resolution field fused with the coefficient before it, both valid in their
  formats), TauREx reads a copy in a temporary folder with the same numbers in its layout.
- TauREx's `set_native_grid` wants an astropy quantity (a plain array raises), and its
  cross sections are 0 at the requested wavenumbers outside the span of table nodes inside the
  request, so its grid is exokern's with one point added 1 % beyond each end, dropped after.
"""

# TauREx, astropy and h5py are optional here and ship no type information.
# mypy: disable-error-code="import-not-found, import-untyped"

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable

import numpy as np
import numpy.typing as npt

from exokern.model import ForwardModel
from exokern.opacity import xsec

Array = npt.NDArray[np.float64]

K_BOLTZ = 1.380649e-16  # erg K^-1
AMU = 1.66053906892e-24  # g
R_JUP = 7.1492e9  # cm, equatorial
R_SUN = 6.957e10  # cm, nominal

LAYERS = 100
PTOP, PBOTTOM = 1e-6, 10.0  # bar
WN_MIN, WN_MAX, RESOLUTION = 3000.0, 12000.0, 1000.0  # cm^-1
TEMPERATURE = 1000.0  # K
LOG_H2O = -3.0
HE_H2 = 0.17  # by number, exokern's fill
GRAVITY = 1000.0  # cm s^-2 at R_p
RPLANET, RSTAR = 1.0 * R_JUP, 1.0 * R_SUN
PAD = 0.01  # fraction of the wavenumber added beyond each end of TauREx's grid
BIN_RESOLUTION = 100.0

# Each row: which sources are on (H2O cross sections, CIA, Rayleigh).
SOURCES: dict[str, tuple[bool, bool, bool]] = {
    "H2O + CIA + Rayleigh": (True, True, True),
    "H2O alone": (True, False, False),
    "CIA alone": (False, True, False),
    "Rayleigh alone": (False, False, True),
}


class Files:
    """The shared tables: the H2O cross sections and the two CIA files."""

    def __init__(self, data: Path) -> None:
        self.xsec = data / "xsec" / "H2O_BT2_tau.xsec.TauREx.h5"
        self.cia = [data / "cia" / "H2-H2.cia", data / "cia" / "H2-He.cia"]

    def missing(self) -> list[Path]:
        return [path for path in (self.xsec, *self.cia) if not path.is_file()]


def exokern_model(files: Files, h2o: bool, cia: bool, rayleigh: bool, layers: int = LAYERS,
                  span: tuple[float, float, float] = (WN_MIN, WN_MAX, RESOLUTION)
                  ) -> ForwardModel:
    return ForwardModel("transmission", layers=layers, ptop=PTOP, pbottom=PBOTTOM,
                        wn_min=span[0], wn_max=span[1], resolution=span[2],
                        molecules={"H2O": str(files.xsec)} if h2o else {},
                        cia=[str(path) for path in files.cia] if cia else [],
                        rayleigh=rayleigh)


def exokern_params(h2o: bool, pref: float = PBOTTOM) -> dict[str, float]:
    """R_p at `pref`; no alkali lines and no grey continuum, as in TauREx's setup."""
    params = {"isothermal": TEMPERATURE, "gravity": GRAVITY, "rplanet": RPLANET,
              "rstar": RSTAR, "pref": pref, "na": -30.0, "k": -30.0, "kappa": 0.0}
    if h2o:
        params["log_H2O"] = LOG_H2O
    return params


def scale_height(mean_mass: float) -> float:
    """H in cm at R_p, where g is GRAVITY."""
    return K_BOLTZ * TEMPERATURE / (mean_mass * AMU * GRAVITY)


def median_time(calls: dict[str, Callable[[], Any]], repeats: int) -> dict[str, float]:
    """Median seconds per call of each, the calls interleaved round by round after one warm-up
    call each."""
    for fn in calls.values():
        fn()
    samples: dict[str, list[float]] = {name: [] for name in calls}
    for _ in range(repeats):
        for name, fn in calls.items():
            t0 = time.perf_counter()
            fn()
            samples[name].append(time.perf_counter() - t0)
    return {name: statistics.median(s) for name, s in samples.items()}


def agreement(label: str, wn: Array, ours: Array, theirs: Array, height: float) -> None:
    """One line: |exokern - TauREx| in ppm and in H, median and 95th percentile, the mean
    signed offset and the worst point."""
    ppm = 1e6 * (ours - theirs)
    dz = RSTAR * (np.sqrt(ours) - np.sqrt(theirs)) / height
    worst = int(np.argmax(np.abs(dz)))
    print(f"  {label:26s} |d| median {np.median(np.abs(ppm)):7.2f} ppm {np.median(np.abs(dz)):6.3f}"
          f" H | 95th pct {np.percentile(np.abs(ppm), 95):7.2f} ppm "
          f"{np.percentile(np.abs(dz), 95):6.3f} H | mean {ppm.mean():+7.2f} ppm "
          f"{dz.mean():+6.3f} H | worst {dz[worst]:+6.3f} H at {wn[worst]:.0f} cm^-1")


def bin_mean(wn: Array, values: Array, edges: Array) -> Array:
    """The mean of `values` over the points of `wn` in each bin; NaN for an empty bin."""
    idx = np.digitize(wn, edges) - 1
    ok = (idx >= 0) & (idx < len(edges) - 1)
    total = np.bincount(idx[ok], weights=values[ok], minlength=len(edges) - 1)
    count = np.bincount(idx[ok], minlength=len(edges) - 1)
    with np.errstate(invalid="ignore", divide="ignore"):
        return total / count


class Peer:
    """TauREx 3 set up as exokern is: the same atmosphere, tables and wavenumbers."""

    def __init__(self, files: Files, scratch: Path) -> None:
        import astropy.units as u
        import taurex
        from taurex import constants
        from taurex.cache import CIACache, OpacityCache
        from taurex.log import disableLogging

        disableLogging()
        self.version = taurex.__version__
        self.constants = constants
        self.units = u
        self.adapted: list[str] = []
        OpacityCache().clear_cache()
        OpacityCache().add_opacity(self._opacity(files.xsec, scratch))
        for path in files.cia:
            CIACache().add_cia(self._cia(path, scratch))

    def _opacity(self, path: Path, scratch: Path) -> Any:
        """The H2O table, from a copy with `mol_name` of shape (1,) where TauREx cannot read
        the original's."""
        from taurex.opacity import HDF5Opacity

        try:
            return HDF5Opacity(str(path), interpolation_mode="linear", in_memory=True)
        except TypeError:
            import h5py

            copy = scratch / path.name
            with h5py.File(path, "r") as src, h5py.File(copy, "w") as dst:
                for name in src:
                    if name == "mol_name":
                        value = src[name][()]
                        text = value.decode() if isinstance(value, bytes) else str(value)
                        dst.create_dataset(name, data=[text], dtype=h5py.string_dtype())
                    else:
                        src.copy(name, dst)
            self.adapted.append(f"{path.name}: mol_name rewritten as shape (1,)")
            return HDF5Opacity(str(copy), interpolation_mode="linear", in_memory=True)

    def _cia(self, path: Path, scratch: Path) -> Any:
        """A CIA file, from a copy whose headers have blanks between the fixed-column fields
        where TauREx cannot split the original's."""
        from taurex.cia import HitranCIA

        try:
            return HitranCIA(str(path))
        except ValueError:
            columns = (0, 20, 30, 40, 47, 54, 64, 70, 97, 100)
            lines = []
            for line in path.read_text().splitlines():
                first = line.split()[0] if line.split() else ""
                if first and not (first[0].isdigit() or first[0] in "+-."):
                    fields = (line[a:b].strip() for a, b in zip(columns, columns[1:]))
                    line = " ".join(field for field in fields if field)
                lines.append(line + "\n")
            copy = scratch / path.name
            copy.write_text("".join(lines))
            self.adapted.append(f"{path.name}: headers' fields separated by blanks")
            return HitranCIA(str(copy))

    def model(self, h2o: bool, cia: bool, rayleigh: bool, wn: Array | None,
              layers: int = LAYERS) -> Any:
        """A built TransmissionModel with the given sources, on the wavenumbers `wn` padded
        beyond each end (None: the table's native grid)."""
        from taurex.chemistry import ConstantGas, TaurexChemistry
        from taurex.contributions import (
            AbsorptionContribution,
            CIAContribution,
            RayleighContribution,
        )
        from taurex.model import TransmissionModel
        from taurex.planet import Planet
        from taurex.stellar import BlackbodyStar
        from taurex.temperature import Isothermal

        c = self.constants
        radius = RPLANET / 100.0  # m
        mass = (GRAVITY / 100.0) * radius**2 / c.G  # kg: g = G M / R_p^2
        planet = Planet(planet_mass=mass / c.MJUP, planet_radius=radius / c.RJUP)
        star = BlackbodyStar(temperature=5800.0, radius=RSTAR / 100.0 / c.RSOL)
        chemistry = TaurexChemistry(fill_gases=["H2", "He"], ratio=HE_H2)
        if h2o:
            chemistry.addGas(ConstantGas("H2O", 10.0**LOG_H2O))
        tm = TransmissionModel(planet=planet, star=star,
                               temperature_profile=Isothermal(T=TEMPERATURE),
                               chemistry=chemistry, nlayers=layers,
                               atm_min_pressure=PTOP * 1e5, atm_max_pressure=PBOTTOM * 1e5)
        if h2o:
            tm.add_contribution(AbsorptionContribution())
        if cia:
            tm.add_contribution(CIAContribution(cia_pairs=["H2-H2", "H2-He"]))
        if rayleigh:
            tm.add_contribution(RayleighContribution())
        if wn is not None:
            padded = np.concatenate([[wn[0] * (1 - PAD)], wn, [wn[-1] * (1 + PAD)]])
            tm.set_native_grid(padded / self.units.cm)
        tm.build()
        return tm

    @staticmethod
    def depth(tm: Any, wngrid: Array | None = None) -> tuple[Array, Array]:
        """Wavenumbers and transit depth, (R_p/R_*)^2 by TauREx's definition; with a padded
        grid the two added ends dropped."""
        if wngrid is None:
            grid, depth, _, _ = tm.model()
            return grid[1:-1], depth[1:-1]
        grid, depth, _, _ = tm.model(wngrid=wngrid)
        return grid, depth


def settings(files: Files, model: ForwardModel, res: Any) -> float:
    height = scale_height(res.mean_mass)
    mixture = ", ".join(f"{name} {x:.6g}" for name, x in res.mixture.items())
    print(f"atmosphere: isothermal {TEMPERATURE:g} K, {LAYERS} layers, {PTOP:g}-{PBOTTOM:g} bar; "
          f"g = {GRAVITY:g} cm s^-2 and R_p = {RPLANET / R_JUP:g} R_Jup at {PBOTTOM:g} bar "
          f"(the bottom); R_* = {RSTAR / R_SUN:g} R_Sun")
    print(f"gas: {mixture} (He/H2 = {HE_H2:g}); exokern's mean mass {res.mean_mass:.6f} u, "
          f"H = {height / 1e5:.2f} km (exokern's {res.transmission.scale_height / 1e5:.2f} km)")
    print(f"wavenumbers: {len(model.wn)} from {model.wn[0]:.1f} to {model.wn[-1]:.1f} cm^-1, "
          f"R = {RESOLUTION:g}; 1 H = {1e6 * 2 * RPLANET * height / RSTAR**2:.1f} ppm near R_p")
    print(f"tables: {files.xsec.name}, {', '.join(path.name for path in files.cia)} in "
          f"{files.xsec.parents[1]}; Rayleigh of H2 and He; no alkali lines, no grey continuum")
    return height


def compare(files: Files, repeats: int, peer: Peer) -> None:
    c = peer.constants
    print(f"\nTauREx {peer.version}" + (f"; read from copies in its layout: "
                                       f"{'; '.join(peer.adapted)}" if peer.adapted else ""))
    full = exokern_model(files, True, True, True)
    params = exokern_params(True)
    res = full(**params)
    wn = np.asarray(full.wn, dtype=float)
    table = xsec.read_xsec(str(files.xsec), float(wn[0]), float(wn[-1]))
    sampled = table.wn[xsec.nearest(table.wn, wn)]  # the samples exokern takes
    if np.any(np.diff(sampled) <= 0):
        raise SystemExit("exokern's grid is finer than the table's: samples repeat")
    height = scale_height(res.mean_mass)
    tm = peer.model(True, True, True, sampled)
    grid, theirs = peer.depth(tm)
    if not np.allclose(grid, sampled, rtol=1e-12):
        raise SystemExit("TauREx did not run on the wavenumbers exokern samples")
    mu = float(np.atleast_1d(tm.chemistry.muProfile)[0]) / c.AMU
    print(f"TauREx: mean mass {mu:.6f} u, H at R_p {float(tm.scaleheight_profile[0]) / 1e3:.2f} "
          f"km, g at R_p {100.0 * float(tm.gravity_profile[0]):.4g} cm s^-2, layer centres "
          f"{float(tm.pressureProfile[0]) / 1e5:.4g}-{float(tm.pressureProfile[-1]) / 1e5:.4g} bar")

    print("\nexokern - TauREx on the table wavenumbers exokern samples (the same cross "
          "sections):")
    agreement("H2O + CIA + Rayleigh", wn, res.transmission.depth, theirs, height)
    for label, (h2o, cia, rayleigh) in list(SOURCES.items())[1:]:
        alone = exokern_model(files, h2o, cia, rayleigh)(**exokern_params(h2o))
        _, peer_alone = peer.depth(peer.model(h2o, cia, rayleigh, sampled))
        agreement(label, wn, alone.transmission.depth, peer_alone,
                  scale_height(alone.mean_mass))
    centre = float(tm.pressureProfile[0]) / 1e5
    shifted = full(**exokern_params(True, pref=centre))
    agreement(f"R_p at {centre:.3g} bar instead", wn, shifted.transmission.depth, theirs, height)

    native_tm = peer.model(True, True, True, None)
    native = np.asarray(native_tm.nativeWavenumberGrid, dtype=float)
    inside = native[(native >= WN_MIN * (1 - PAD)) & (native <= WN_MAX * (1 + PAD))]
    native_wn, native_depth = peer.depth(native_tm, inside)
    in_range = np.count_nonzero((native_wn >= wn[0]) & (native_wn <= wn[-1]))
    print(f"\nTauREx on its native grid ({in_range} table wavenumbers in range), exokern at "
          f"R = {RESOLUTION:g}:")
    agreement("TauREx interpolated", wn, res.transmission.depth,
              np.interp(wn, native_wn, native_depth), height)
    edges = wn[0] * (1 + 1 / BIN_RESOLUTION) ** np.arange(
        int(np.log(wn[-1] / wn[0]) / np.log1p(1 / BIN_RESOLUTION)) + 1)
    ours_binned = bin_mean(wn, res.transmission.depth, edges)
    theirs_binned = bin_mean(native_wn, native_depth, edges)
    ok = np.isfinite(ours_binned) & np.isfinite(theirs_binned)
    agreement(f"both binned to R = {BIN_RESOLUTION:g}", np.sqrt(edges[1:] * edges[:-1])[ok],
              ours_binned[ok], theirs_binned[ok], height)

    times = median_time({
        "exokern": lambda: full(**params),
        "TauREx, same wavenumbers": lambda: tm.model(),  # its own sampled grid
        f"TauREx, native grid ({len(inside)})": lambda: native_tm.model(wngrid=inside),
    }, repeats)
    print(f"\ntime per forward model, median of {repeats} interleaved calls:")
    for name, seconds in times.items():
        print(f"  {name:34s} {1e3 * seconds:9.2f} ms")
    print(f"  exokern is {times['TauREx, same wavenumbers'] / times['exokern']:.1f}x faster on "
          "the same wavenumbers")
    time_sizes(files, repeats, peer)


# The retrieval's size and the main job's (bench/forward.py), 10 000-20 000 cm^-1.
SIZES = (("50 layers, R = 1000", 50, (10000.0, 20000.0, 1000.0)),
         ("100 layers, R = 20000", 100, (10000.0, 20000.0, 20000.0)))


def time_sizes(files: Files, repeats: int, peer: Peer) -> None:
    """Both codes at the two sizes of bench/forward.py, the same sources, TauREx on exokern's
    wavenumbers (for the time alone: there TauREx interpolates the table)."""
    print(f"\ntime per forward model at the sizes of bench/forward.py (H2O, CIA, Rayleigh; "
          f"10 000-20 000 cm^-1), median of {repeats} interleaved calls:")
    for label, layers, span in SIZES:
        model = exokern_model(files, True, True, True, layers, span)
        params = exokern_params(True)
        tm = peer.model(True, True, True, np.asarray(model.wn, dtype=float), layers)
        times = median_time({"exokern": lambda: model(**params), "TauREx": lambda: tm.model()},
                            repeats)
        print(f"  {label} ({len(model.wn)} wavenumbers): exokern {1e3 * times['exokern']:.2f} "
              f"ms, TauREx {1e3 * times['TauREx']:.2f} ms: exokern "
              f"{times['TauREx'] / times['exokern']:.1f}x faster")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=9, help="timing rounds (default 9)")
    parser.add_argument("--data", type=Path,
                        default=Path(__file__).resolve().parents[2] / "shared" / "data",
                        help="the folder with xsec/ and cia/ (default ../shared/data)")
    args = parser.parse_args()
    files = Files(args.data)
    missing = files.missing()
    if missing:
        print("the tables are not here: " + ", ".join(str(path) for path in missing))
        return 0
    full = exokern_model(files, True, True, True)
    res = full(**exokern_params(True))
    settings(files, full, res)
    try:
        import taurex  # noqa: F401
    except ImportError:
        seconds = median_time({"exokern": lambda: full(**exokern_params(True))}, args.repeats)
        print(f"\nexokern: {1e3 * seconds['exokern']:.2f} ms per forward model "
              f"(median of {args.repeats})")
        print("TauREx 3 is not importable here: nothing to compare against. Install it in a "
              "scratch environment (pip install taurex h5py) beside exokern to compare.")
        return 0
    with tempfile.TemporaryDirectory(prefix="exokern-peers-") as scratch:
        compare(files, args.repeats, Peer(files, Path(scratch)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
