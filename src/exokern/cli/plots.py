"""The commands' figures, drawn from plain arrays into a PNG stream (matplotlib, the `plot`
extra; its figures are made without pyplot, so no window and no global state)."""

from __future__ import annotations

import math
from typing import IO, Any, Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern.atmosphere import BAR
from exokern.errors import require
from exokern.opacity import alkali
from exokern.radiation import planck

Array = npt.NDArray[np.float64]


def _figure(**options: Any) -> Any:
    return require("matplotlib.figure", "plot", "a figure").Figure(**options)


def _mark_lines(ax: Any) -> None:
    for sp in alkali.SPECIES:
        for wn0 in sp.wn0:
            ax.axvline(1e4 / wn0, color="0.8", lw=0.6, zorder=0)
        ax.annotate(sp.name, (1e4 / np.mean(sp.wn0), 1.0), xycoords=("data", "axes fraction"),
                    xytext=(0, -12), textcoords="offset points", ha="center", fontsize=9)


def _mark_bands(ax: Any, marks: Sequence[tuple[str, float]]) -> None:
    """Name each molecular band at its centre (wavelength in micron), under the top."""
    for name, wl in marks:
        ax.axvline(wl, color="C4", lw=0.5, alpha=0.5, zorder=0)
        ax.annotate(name, (wl, 1.0), xycoords=("data", "axes fraction"), xytext=(0, -24),
                    textcoords="offset points", ha="center", fontsize=7, color="C4")


def _zoom(ax: Any, wl: Array, values: Array, species: alkali.Species, ylabel: str,
          color: str) -> None:
    centre = 1e7 / np.array(species.wn0)
    span = max(2.5 * float(np.ptp(centre)), 1.0)
    sel = np.abs(1e3 * wl - centre.mean()) < span
    if not sel.any():
        ax.text(0.5, 0.5, f"{species.name} D: outside the grid", transform=ax.transAxes,
                ha="center", va="center", fontsize=9, color="0.4")
        ax.set_xticks([])
        ax.set_yticks([])
    ax.plot(1e3 * wl[sel], values[sel], lw=0.8, color=color)
    ax.set_xlabel(f"{species.name} D wavelength (nm, vacuum)")
    ax.set_ylabel(ylabel)


def _levels(ax: Any, wl: Array, pressure: Array, p_bar: Array, ylabel: str) -> None:
    """The pressure (barye) at which a level lies per wavelength, in bar, the model's top up."""
    ax.semilogy(wl, pressure / BAR, lw=0.7, color="C2")
    ax.set_ylim(p_bar[-1], p_bar[0])
    ax.set_ylabel(ylabel)
    ax.set_xlabel("wavelength (µm)")
    ax.set_xlim(wl.min(), wl.max())


def emission(stream: IO[bytes], title: str, wn: Array, flux: Array, tb: Array,
             p_photosphere: Array, pressure: Array, temperature: Array,
             marks: Sequence[tuple[str, float]] = ()) -> None:
    """Flux, brightness temperature and photosphere pressure against wavelength, close-ups of
    the two doublets and the temperature-pressure profile (pressures in barye); the molecules'
    bands in `marks` (name, wavelength in micron) named."""
    wl = 1e4 / wn
    p_bar = pressure / BAR
    fig = _figure(figsize=(10, 7.2), dpi=100, layout="constrained")
    grid = fig.add_gridspec(3, 2, width_ratios=(3, 1.25))
    ax_flux = fig.add_subplot(grid[0, 0])
    ax_tb = fig.add_subplot(grid[1, 0], sharex=ax_flux)
    ax_ph = fig.add_subplot(grid[2, 0], sharex=ax_flux)
    ax_na = fig.add_subplot(grid[0, 1])
    ax_k = fig.add_subplot(grid[1, 1], sharey=ax_na)
    ax_tp = fig.add_subplot(grid[2, 1], sharey=ax_ph)

    tmin, tmax = temperature.min(), temperature.max()
    for t, style in ((tmax, ":"), (tmin, "--")):
        ax_flux.semilogy(wl, math.pi * planck(wn, [t])[0], style, color="0.5",
                         lw=0.8, label=f"$\\pi B$ at {t:.0f} K")
    ax_flux.semilogy(wl, flux, lw=0.7, color="C0", label="emergent flux")
    ax_flux.set_ylabel("flux (erg s$^{-1}$ cm$^{-2}$ / cm$^{-1}$)")
    ax_flux.legend(fontsize=8, loc="lower right")
    ax_flux.set_title(title, fontsize=10, loc="left")

    ax_tb.plot(wl, tb, lw=0.7, color="C3")
    ax_tb.set_ylabel("brightness temperature (K)")
    _mark_lines(ax_tb)
    _mark_bands(ax_tb, marks)

    _levels(ax_ph, wl, p_photosphere, p_bar, r"pressure at $\tau = 2/3$ (bar)")

    for ax, sp in ((ax_na, alkali.SODIUM), (ax_k, alkali.POTASSIUM)):
        _zoom(ax, wl, tb, sp, "T$_b$ (K)", "C3")

    ax_tp.semilogy(temperature, p_bar, color="C1")
    ax_tp.set_xlabel("temperature (K)")
    ax_tp.set_ylabel("pressure (bar)")
    ax_tp.tick_params(labelleft=True)
    fig.savefig(stream, format="png")


def transmission(stream: IO[bytes], title: str, wn: Array, depth: Array, radius: Array,
                 p_probed: Array, pressure: Array, scale_height: float, rstar: float,
                 marks: Sequence[tuple[str, float]] = ()) -> None:
    """Transit depth in ppm against wavelength with the Na and K lines marked and a second axis
    in scale heights above the continuum's radius, close-ups of the two doublets, and the
    pressure the limb is probed at (radii and heights in cm, pressures in barye)."""
    wl = 1e4 / wn
    ppm = 1e6 * depth
    base = float(np.percentile(radius, 5.0))

    def to_heights(d: Any) -> Any:
        return (rstar * np.sqrt(np.maximum(d, 0.0) / 1e6) - base) / scale_height

    def to_ppm(h: Any) -> Any:
        return 1e6 * ((base + h * scale_height) / rstar) ** 2

    p_bar = pressure / BAR
    fig = _figure(figsize=(10, 6.4), dpi=100, layout="constrained")
    grid = fig.add_gridspec(2, 2, width_ratios=(3, 1.25), height_ratios=(1.4, 1))
    ax_d = fig.add_subplot(grid[0, 0])
    ax_p = fig.add_subplot(grid[1, 0], sharex=ax_d)
    ax_na = fig.add_subplot(grid[0, 1])
    ax_k = fig.add_subplot(grid[1, 1])

    ax_d.plot(wl, ppm, lw=0.7, color="C0")
    ax_d.set_ylabel("transit depth (ppm)")
    ax_d.set_title(title, fontsize=10, loc="left")
    heights = ax_d.secondary_yaxis("right", functions=(to_heights, to_ppm))
    heights.set_ylabel(f"scale heights above the continuum (H = {scale_height / 1e5:.0f} km)")
    _mark_lines(ax_d)
    _mark_bands(ax_d, marks)

    _levels(ax_p, wl, p_probed, p_bar, r"pressure probed, chord $\tau = 0.56$ (bar)")

    for ax, sp in ((ax_na, alkali.SODIUM), (ax_k, alkali.POTASSIUM)):
        _zoom(ax, wl, ppm, sp, "transit depth (ppm)", "C0")
    fig.savefig(stream, format="png")


class _Weighted:
    """Weighted samples as dynesty's corner plot reads its results."""

    def __init__(self, samples: Array, weights: Array) -> None:
        self._samples = samples
        self._weights = weights

    def __getitem__(self, key: str) -> Array:
        if key != "samples":
            raise KeyError(key)
        return self._samples

    def importance_weights(self) -> Array:
        return self._weights


def corner(stream: IO[bytes], title: str, samples: Array, weights: Array, names: Sequence[str],
           truths: Optional[Sequence[Optional[float]]]) -> None:
    """The posterior's one- and two-dimensional marginals (dynesty's corner plot of the
    weighted `samples`, whichever sampler drew them), with the truths of an injection."""
    plotting = require("dynesty.plotting", "retrieval", "the corner plot")
    results = _Weighted(samples, weights)
    n = len(names)
    fig = _figure(figsize=(2.2 * n + 1, 2.2 * n + 1))
    axes = np.array(fig.subplots(n, n, squeeze=False))
    plotting.cornerplot(results, labels=list(names), truths=truths,
                        quantiles=(0.02275, 0.5, 0.97725), show_titles=True,
                        title_quantiles=(0.15865, 0.5, 0.84135), title_fmt=".4g",
                        fig=(fig, axes))
    fig.subplots_adjust(top=0.93)
    fig.suptitle(title)
    fig.savefig(stream, format="png", dpi=90)


def bands(stream: IO[bytes], title: str, ylabel: str, wavelength: Array,
          band: Mapping[str, Array], low: Array, high: Array, value: Array, error: Array,
          source: str) -> None:
    """The data (bins `low`..`high` in micron, `value` and `error` as fractions) with the
    model's median and its 1- and 2-sigma bands, in ppm: averaged over the data's bins, as the
    likelihood compares them, over the model at its own resolution (faint)."""
    scale = 1e6
    fig = _figure(figsize=(9, 4.8), layout="constrained")
    ax = fig.add_subplot()
    ax.plot(wavelength, scale * band["spectrum_median"], color="tab:blue", lw=0.5, alpha=0.35,
            label="median model")
    order = np.argsort(0.5 * (low + high))
    centre = 0.5 * (low + high)[order]
    ax.fill_between(centre, scale * band["binned_lo2"][order], scale * band["binned_hi2"][order],
                    color="tab:orange", alpha=0.2, lw=0, label="2 sigma, over the bins")
    ax.fill_between(centre, scale * band["binned_lo1"][order], scale * band["binned_hi1"][order],
                    color="tab:orange", alpha=0.4, lw=0, label="1 sigma, over the bins")
    ax.plot(centre, scale * band["binned_median"][order], color="tab:orange", lw=1.0,
            label="median model over the bins")
    ax.errorbar(0.5 * (low + high), scale * value, yerr=scale * error, xerr=0.5 * (high - low),
                fmt="o", ms=3, color="k", lw=0.8, label=source)
    ax.set_xlim(low.min(), high.max())
    ax.set_xlabel("wavelength (micron)")
    ax.set_ylabel(f"{ylabel} (ppm)")
    ax.set_title(title)
    ax.legend(loc="best", fontsize="small")
    fig.savefig(stream, format="png", dpi=110)
