"""A model's extinction (cm^-1, layers x wavenumbers), the sum of its sources in this order:
the Na and K resonance lines, the grey continuum, the tabulated sources (molecules, collision
pairs, Rayleigh scattering; `tabulated`) and the haze. The cloud deck is not an extinction: the
model cuts its atmosphere there (`clouds`).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern import atmosphere as atm
from exokern.opacity import alkali, clouds
from exokern.opacity.tabulated import Clamped, Clamping, Tabulated

Array = npt.NDArray[np.float64]
Value = Optional[float]

ALKALI_LINES = "Na and K lines"
GREY = "grey continuum"
HAZE = "haze"


@dataclass
class Opacity:
    """What an extinction holds: the sum `ext`, the lines left out for crossing the grid's
    ends, the grey continuum's opacity (cm2 g-1), the layers each table was clamped at
    (`clamped`, the sources clamped alone, found when first read) and, when asked, every
    source's own extinction."""

    ext: Array
    skipped: tuple[str, ...]
    kappa: float
    clamping: Optional[Clamping] = None
    sources: Optional[dict[str, Array]] = None

    @property
    def clamped(self) -> dict[str, Clamped]:
        if self.clamping is None:
            return {}
        return {k: c for k, c in self.clamping.by_source().items() if c}


class Extinction:
    """The extinction of a model on the wavenumbers `wn` (cm^-1): its molecules' tables (name to
    path), its collision pairs' files, Rayleigh scattering when `scattering`."""

    def __init__(self, wn: Array, molecules: Mapping[str, str], pairs: Sequence[str],
                 scattering: bool) -> None:
        self.wn = wn
        self.lines = alkali.Lines(wn)
        self.tables = Tabulated(wn, molecules, pairs, scattering)
        self.molecules = tuple(molecules)
        # A model of tables has no grey continuum unless it is asked for.
        self.grey_by_default = not (molecules or pairs)

    def __call__(self, pressure: Array, temperature: Array, p: Mapping[str, Value],
                 mixture: Mapping[str, float], mean_mass: float,
                 by_source: bool = False) -> Opacity:
        """The extinction of the layers (pressure in barye, temperature in K) for the
        parameters `p`, the gas's mixing ratios and mean molecular mass (u)."""
        dex = {sp.name: _value(p, sp.name.lower()) for sp in alkali.SPECIES}
        kappa = p["kappa"]
        if kappa is None:
            kappa = 10.0 ** _value(p, "logkappa") if self.grey_by_default else 0.0
        gas = atm.number_density(pressure, temperature)
        grey = kappa * (gas * mean_mass * atm.AMU)  # the mass density's bits
        # The lines, with the grey continuum added to every sample of a layer after them.
        ext, skipped = self.lines(pressure, temperature, gas, dex, grey)
        sources: Optional[dict[str, Array]] = None
        if by_source:
            sources = {ALKALI_LINES: self.lines(pressure, temperature, gas, dex)[0]}
        density = self.tables.density(gas, mixture)
        clamping = self.tables.add(ext, pressure, temperature, density)
        haze = None
        if p["log_haze"] is not None:
            haze = gas[:, None] * clouds.haze(self.wn, p["log_haze"],
                                              _value(p, "haze_slope"))[None, :]
            ext += haze
        if sources is not None:
            if kappa > 0.0:
                sources[GREY] = np.broadcast_to(grey[:, None], ext.shape).copy()
            sources.update(self.tables.each(pressure, temperature, density))
            if haze is not None:
                sources[HAZE] = haze
        return Opacity(ext, tuple(skipped), float(kappa), clamping, sources)


def _value(params: Mapping[str, Value], name: str) -> float:
    value = params[name]
    assert value is not None, name
    return value


def shares(sources: Mapping[str, Array], rows: npt.NDArray[np.intp]) -> dict[str, Array]:
    """Each source's share of the extinction at every wavenumber j, taken in the layer
    `rows[j]` (where the spectrum forms there, say)."""
    cols = np.arange(len(rows))
    taken = {name: ext[rows, cols] for name, ext in sources.items()}
    total = np.sum(list(taken.values()), axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        return {name: np.where(total > 0, value / total, 0.0) for name, value in taken.items()}


def band_centres(values: Array, wn: Array, width: float = 0.05, depth: float = 0.3,
                 span: float = 2.5) -> list[float]:
    """The wavenumbers of a source's bands: the peaks of its extinction `values` (per
    wavenumber, on a grid of constant resolving power) averaged over `width` in ln wn, that
    stand `depth` dex or more above the lowest average within three widths on each side and
    within `span` dex of the highest."""
    if len(wn) < 3:
        return []
    step = math.log(wn[-1] / wn[0]) / (len(wn) - 1)
    half = max(1, int(round(0.5 * width / step)))
    padded = np.concatenate([np.full(half, values[0]), values, np.full(half, values[-1])])
    running = np.cumsum(np.concatenate([[0.0], padded]))
    mean = (running[2 * half + 1:] - running[:-2 * half - 1]) / (2 * half + 1)
    smooth = np.log10(np.maximum(mean, 1e-300))
    top = smooth.max()
    reach = 3 * half
    peaks = []
    for j in range(1, len(smooth) - 1):
        if not (smooth[j] >= smooth[j - 1] and smooth[j] > smooth[j + 1]):
            continue
        if smooth[j] < top - span:
            continue
        left = smooth[max(0, j - reach):j].min(initial=smooth[j])
        right = smooth[j + 1:j + 1 + reach].min(initial=smooth[j])
        if smooth[j] - max(left, right) >= depth:
            peaks.append(j)
    # One centre per band: the highest peak, none other within three widths of it.
    kept: list[int] = []
    for j in sorted(peaks, key=lambda k: -smooth[k]):
        if all(abs(j - k) > reach for k in kept):
            kept.append(j)
    return sorted(float(wn[j]) for j in kept)
