"""An observed spectrum: bins in wavelength, a value and its 1-sigma uncertainty per bin; read
from plain text, and the model averaged over the same bins.

The file is plain text or CSV: `#` starts a comment, fields are separated by commas or by
blanks. Without a header the four columns are the bin centre (micron), the bin width (micron),
the value and its uncertainty. A header row names the columns instead, in any order:

    wavelength, width, value, error          # centre and full width
    low, high, value, error                  # the bin edges

(aliases: `wl`, `lambda` for the centre; `bin_width` for the width; `wl_low`/`wl_high`,
`lo`/`hi`, `min`/`max` for the edges; `depth`, `transit_depth`, `fpfs`, `flux_ratio` for the
value; `err`, `sigma`, `uncertainty` for the error; other columns are ignored). The value is the
transit depth (Rp/Rs)^2 for a transmission spectrum and the planet-to-star flux ratio for an
emission spectrum, as a fraction unless `units` says "ppm" or "percent".
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import IO, Sequence

import numpy as np
import numpy.typing as npt

from exokern import _quadra

Array = npt.NDArray[np.float64]

UNITS = {"fraction": 1.0, "percent": 1e-2, "ppm": 1e-6}

_ALIASES = {
    "wavelength": ("wavelength", "wl", "lambda", "wave"),
    "width": ("width", "bin_width", "dwl"),
    "low": ("low", "wl_low", "wavelength_low", "lo", "min"),
    "high": ("high", "wl_high", "wavelength_high", "hi", "max"),
    "value": ("value", "depth", "transit_depth", "fpfs", "flux_ratio"),
    "error": ("error", "err", "sigma", "uncertainty"),
}
_COLUMN = {alias: name for name, aliases in _ALIASES.items() for alias in aliases}


class DataError(ValueError):
    """A spectrum file that cannot be read; the message names the file and the line."""


@dataclass(frozen=True)
class Observation:
    """Binned data: the edges `low` < `high` of each bin (micron), the `value` and its 1-sigma
    `error` (fractions), and where they came from."""

    low: Array
    high: Array
    value: Array
    error: Array
    source: str = "data"

    def __post_init__(self) -> None:
        arrays = [np.array(a, dtype=np.float64) for a in
                  (self.low, self.high, self.value, self.error)]
        n = len(arrays[0])
        if any(a.ndim != 1 or len(a) != n for a in arrays):
            raise ValueError("low, high, value and error must be 1-D arrays of one length")
        if n == 0:
            raise ValueError("the spectrum has no bins")
        low, high, value, error = arrays
        if not (np.all(np.isfinite(arrays)) and np.all(low > 0) and np.all(high > low)
                and np.all(error > 0)):
            raise ValueError("every bin needs finite numbers, 0 < low < high and error > 0")
        for name, a in zip(("low", "high", "value", "error"), arrays):
            a.setflags(write=False)
            object.__setattr__(self, name, a)

    @property
    def wavelength(self) -> Array:
        """The bins' centres (micron)."""
        centre: Array = 0.5 * (self.low + self.high)
        return centre

    def __len__(self) -> int:
        return len(self.value)


def read_spectrum(path: str, units: str = "fraction") -> Observation:
    """Read a spectrum file (see the module's description). Raises DataError, naming the file
    and the line, for a malformed file, and OSError when it cannot be read."""
    if units not in UNITS:
        raise ValueError(f"units must be one of {', '.join(UNITS)}, got {units!r}")
    # utf-8-sig: a byte-order mark (spreadsheets write one) is not part of the header
    with open(path, encoding="utf-8-sig", errors="replace") as stream:
        return parse_spectrum(stream.read().splitlines(), path, UNITS[units])


def _fields(line: str) -> list[str]:
    return [f.strip() for f in line.split(",")] if "," in line else line.split()


def parse_spectrum(lines: Sequence[str], source: str = "data",
                   scale: float = 1.0) -> Observation:
    """The Observation of a spectrum file's lines; `scale` converts values and errors into
    fractions."""
    rows: list[tuple[int, list[str]]] = []
    for number, raw in enumerate(lines, start=1):
        line = raw.split("#", 1)[0].strip()
        if line:
            rows.append((number, _fields(line)))
    if not rows:
        raise DataError(f"{source}: no data (expected columns wavelength, width, value, error)")
    header_line, first = rows[0]
    columns: dict[str, int]
    if any(not _is_number(f) for f in first):
        columns = _header(first, source, header_line)
        width = len(first)
        rows = rows[1:]
        if not rows:
            raise DataError(f"{source}: a header and no data")
    else:
        if len(first) != 4:
            raise DataError(f"{source}, line {header_line}: {len(first)} columns without a "
                            "header; expected 4 (wavelength, width, value, error) or a header "
                            "naming the columns")
        columns = dict(wavelength=0, width=1, value=2, error=3)
        width = 4
    table = np.empty((len(rows), width))
    for i, (number, fields) in enumerate(rows):
        if len(fields) != width:
            raise DataError(f"{source}, line {number}: {len(fields)} fields, expected {width}")
        for j, text in enumerate(fields):
            try:
                table[i, j] = float(text)
            except ValueError:
                raise DataError(f"{source}, line {number}: {text!r} is not a number") from None
        bad = [t for t, v in zip(fields, table[i]) if not math.isfinite(v)]
        if bad:
            raise DataError(f"{source}, line {number}: {bad[0]!r} is not a finite number")
    if "low" in columns:
        low, high = table[:, columns["low"]], table[:, columns["high"]]
    else:
        centre, half = table[:, columns["wavelength"]], 0.5 * table[:, columns["width"]]
        low, high = centre - half, centre + half
    value, error = scale * table[:, columns["value"]], scale * table[:, columns["error"]]
    for i, (number, _) in enumerate(rows):
        if not low[i] > 0:
            raise DataError(f"{source}, line {number}: the bin must lie at positive "
                            f"wavelengths (micron), got {low[i]:g} .. {high[i]:g}")
        if not high[i] > low[i]:
            raise DataError(f"{source}, line {number}: the bin must have a positive width, "
                            f"got {low[i]:g} .. {high[i]:g} micron")
        if not error[i] > 0:
            raise DataError(f"{source}, line {number}: the uncertainty must be positive, got "
                            f"{error[i] / scale:g}")
    return Observation(low, high, value, error, source)


def _is_number(text: str) -> bool:
    return bool(re.fullmatch(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?|[+-]?(nan|inf|infinity)",
                             text, re.IGNORECASE))


def _header(names: Sequence[str], source: str, line: int) -> dict[str, int]:
    columns: dict[str, int] = {}
    for j, name in enumerate(names):
        key = _COLUMN.get(name.strip().lower())
        if key is None:
            continue
        if key in columns:
            raise DataError(f"{source}, line {line}: the header names the {key} twice")
        columns[key] = j
    has_centre = {"wavelength", "width"} <= set(columns)
    has_edges = {"low", "high"} <= set(columns)
    missing = [k for k in ("value", "error") if k not in columns]
    if not (has_centre or has_edges):
        missing.insert(0, "wavelength and width (or low and high)")
    if missing:
        raise DataError(f"{source}, line {line}: the header lacks {', '.join(missing)} "
                        f"(found: {', '.join(names)})")
    if has_edges:
        columns.pop("wavelength", None)
        columns.pop("width", None)
    return columns


def write_spectrum(stream: IO[bytes], data: Observation, comments: Sequence[str] = ()) -> None:
    """Write `data` as a CSV file that `read_spectrum` reads back to the same bits (edges,
    values as fractions, with 17 significant digits)."""
    out = [f"# {c}\n" for c in comments]
    out.append("low,high,value,error\n")
    for row in zip(data.low, data.high, data.value, data.error):
        out.append(",".join(f"{v:.17g}" for v in row) + "\n")
    stream.write("".join(out).encode())


class Binning:
    """The model averaged over each data bin: the mean over wavelength of the model's linear
    interpolant across the bin, integrated by the trapezoidal rule (`_quadra.cumtrapz`).

    The model's samples and the bins' edges make one grid in increasing wavelength; the model
    is interpolated at the edges, integrated once along the whole grid, and each bin's integral
    is the difference of the running integral at its two edges, divided by its width."""

    def __init__(self, wavelength: Array, low: Array, high: Array) -> None:
        wl = np.asarray(wavelength, dtype=np.float64)
        descending = len(wl) > 1 and wl[0] > wl[-1]
        lam = wl[::-1] if descending else wl
        if len(lam) < 2 or not np.all(np.diff(lam) > 0):
            raise ValueError("the model's wavelengths must be strictly monotonic")
        outside = (low < lam[0]) | (high > lam[-1])
        if np.any(outside):
            i = int(np.argmax(outside))
            raise ValueError(f"bin {i + 1} ({low[i]:g} .. {high[i]:g} micron) lies outside "
                             f"the model's wavelengths ({lam[0]:g} .. {lam[-1]:g} micron)")
        self.descending = descending
        grid = np.unique(np.concatenate([lam, low, high]))
        j = np.clip(np.searchsorted(lam, grid, side="right") - 1, 0, len(lam) - 2)
        self._j = j
        self._t = (grid - lam[j]) / (lam[j + 1] - lam[j])
        self._h = np.diff(grid)
        self._lo = np.searchsorted(grid, low)
        self._hi = np.searchsorted(grid, high)
        self._width = high - low

    def __call__(self, values: Array) -> Array:
        """The bin means of the model `values` (given at the model's wavelengths)."""
        y = values[::-1] if self.descending else values
        j, t = self._j, self._t
        on_grid = y[j] + t * (y[j + 1] - y[j])
        running = np.empty(len(on_grid))  # one per call: a model may serve several threads
        _quadra.cumtrapz(running, on_grid, self._h, math.inf)
        mean: Array = (running[self._hi] - running[self._lo]) / self._width
        return mean
