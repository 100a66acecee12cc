"""An observed spectrum: bins in wavelength, a value and its 1-sigma uncertainty per bin, read
from plain text as published spectra are written (the names of the columns: `columns`).

The file is plain text or CSV: `#` starts a comment, fields are separated by commas or by
blanks. Without a header the columns are

    wavelength, width, value, error          # 4 columns: centre and width (micron)
    wavelength, value, error                 # 3 columns: the edges midway between centres

A header row names the columns instead, in any order:

    wavelength, width, value, error          # centre and width
    low, high, value, error                  # the bin edges

Names are matched without case, after dropping units in parentheses or brackets and words of
unit (`micron`, `um`, `µm`; `ppm`, `percent`, `%`); blanks and underscores are alike. The
centre is `wavelength`, `wave`, `wl` or `lambda`; the width `width`, `bin_width`, `bin_size`,
`dwl`, `half_width` or the centre's error (`wave_error`, `wl_err`), each optionally led by the
centre's name (`Wavelength bin size`); the edges `low`/`high`, `lo`/`hi`, `min`/`max`, led or
not by the centre's name (`wl_low`, `wave_max`). The value is `value`, `depth`,
`transit_depth`, `fpfs`, `flux_ratio`, `dppm` (in ppm) or `ppm`, or the ratio of radii `rp_rs`,
`rprs`, `rp/rs`, `Rp/R*`, which is squared into a depth (its error e into 2 (Rp/Rs) e). The
error is `error`, `err`, `sigma`, `uncertainty`, or one of these after the value's name
(`dppm_err`, `Rp/R* error`). Other columns are ignored. When the plain names alone (those of
`columns._ALIASES`, as written, without units) describe a header fully, it is read by them alone: a
column named in another way is then ignored, whatever it holds.

The value is the transit depth (Rp/Rs)^2 for a transmission spectrum and the planet-to-star
flux ratio for an emission spectrum, as a fraction unless `units` says "ppm" or "percent". A
unit in a column's name sets that column's scale (and its error's, when the error's name states
none); a name whose unit differs from `units` other than "fraction" is an error.

Published files give a bin's extent as its full width or as half of it (centre +- w), under
names that do not always tell which; the reader takes the one under which most neighbouring
bins meet edge to edge, and the name's only when neither does (`half`, `_err`: half widths;
others full widths). The Observation's `notes` say what was inferred so.
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import IO, Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern.params import UNITS
from exokern.retrieval.columns import DataError as DataError
from exokern.retrieval.columns import header, headerless, scales

Array = npt.NDArray[np.float64]

# Neighbouring bins meet when the gap or overlap between them is within this fraction of the
# distance between their centres; the two readings of a width column differ by about half
# of it, so rounding in the file's last digit cannot tip a pair from one to the other.
_MEET = 0.05


# What a spectrum's bins may hold, as fractions and microns: far beyond any spectrum, and within
# what the likelihood can square (a chi^2 term stays below 1e80).
WAVELENGTHS = (1e-2, 1e4)
MAX_VALUE = 1e6
ERRORS = (1e-30, 1e6)


@dataclass(frozen=True)
class Observation:
    """Binned data: the edges `low` < `high` of each bin (micron), the `value` and its 1-sigma
    `error` (fractions), where they came from, and `notes`, one phrase for each thing the
    reader inferred (how it read widths, units, radius ratios)."""

    low: Array
    high: Array
    value: Array
    error: Array
    source: str = "data"
    notes: tuple[str, ...] = ()

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
        if not (np.all(low >= WAVELENGTHS[0]) and np.all(high <= WAVELENGTHS[1])
                and np.all(np.abs(value) <= MAX_VALUE) and np.all(error >= ERRORS[0])
                and np.all(error <= ERRORS[1])):
            raise ValueError(f"every bin needs {WAVELENGTHS[0]:g} <= low, high <= "
                             f"{WAVELENGTHS[1]:g} micron, |value| <= {MAX_VALUE:g} and "
                             f"{ERRORS[0]:g} <= error <= {ERRORS[1]:g}")
        for name, a in zip(("low", "high", "value", "error"), arrays):
            a.setflags(write=False)
            object.__setattr__(self, name, a)
        object.__setattr__(self, "notes", tuple(str(note) for note in self.notes))

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
    fractions where the columns' names state no unit."""
    rows: list[tuple[int, list[str]]] = []
    for number, raw in enumerate(lines, start=1):
        line = raw.split("#", 1)[0].strip()
        if line:
            rows.append((number, _fields(line)))
    if not rows:
        raise DataError(f"{source}: no data (expected columns wavelength, width, value, error)")
    header_line, first = rows[0]
    width = len(first)
    if any(not _is_number(f) for f in first):
        layout = header(first, source, header_line)
        rows = rows[1:]
        if not rows:
            raise DataError(f"{source}: a header and no data")
    else:
        layout = headerless(first, len(rows), source, header_line)
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
    index = layout.index
    notes: list[str] = []
    centre = (0.5 * (table[:, index["low"]] + table[:, index["high"]]) if "low" in index
              else table[:, index["wavelength"]])
    step = np.diff(centre)
    if not (np.all(step >= 0) or np.all(step <= 0)):
        # spectral orders one after the other, or a file out of order: each bin is fitted on
        # its own, so the order changes nothing but is worth knowing
        notes.append("bins not in wavelength order (kept in the file's order)")
    if "low" in index:
        low, high = table[:, index["low"]], table[:, index["high"]]
    elif "width" in index:
        low, high, note = _from_widths(table[:, index["wavelength"]], table[:, index["width"]],
                                       layout.column["width"].half, layout.name["width"])
        notes.append(note)
    else:
        low, high = _from_centres(table[:, index["wavelength"]], rows, source)
        notes.append("bin widths from neighbouring centres")
    value_scale, error_scale = scales(layout, scale, source, header_line, notes)
    value = value_scale * table[:, index["value"]]
    error = error_scale * table[:, index["error"]]
    ratio = bool(layout.column["value"].ratio)
    for i, (number, _) in enumerate(rows):
        if not low[i] > 0:
            raise DataError(f"{source}, line {number}: the bin must lie at positive "
                            f"wavelengths (micron), got {low[i]:g} .. {high[i]:g}")
        if not high[i] > low[i]:
            raise DataError(f"{source}, line {number}: the bin must have a positive width, "
                            f"got {low[i]:g} .. {high[i]:g} micron")
        if ratio and not value[i] > 0:
            raise DataError(f"{source}, line {number}: the ratio of radii must be positive, "
                            f"got {table[i, index['value']]:g}")
        if not error[i] > 0:
            raise DataError(f"{source}, line {number}: the uncertainty must be positive, got "
                            f"{table[i, index['error']]:g}")
        if not (WAVELENGTHS[0] <= low[i] and high[i] <= WAVELENGTHS[1]):
            raise DataError(f"{source}, line {number}: the bin {low[i]:g} .. {high[i]:g} "
                            f"micron lies outside {WAVELENGTHS[0]:g} .. {WAVELENGTHS[1]:g} "
                            "micron (are the wavelengths in micron?)")
        if not (abs(value[i]) <= MAX_VALUE and ERRORS[0] <= error[i] <= ERRORS[1]):
            raise DataError(f"{source}, line {number}: a value of {value[i]:g} +- "
                            f"{error[i]:g} cannot be a transit depth or flux ratio (values within "
                            f"+-{MAX_VALUE:g}, errors {ERRORS[0]:g} .. {ERRORS[1]:g}; see "
                            "--units)")
    if ratio:
        name = layout.name["value"]
        value, error = value * value, 2.0 * value * error
        notes.append(f"depths from {name}, squared; errors 2 {name} sigma")
    return Observation(low, high, value, error, source, tuple(notes))


def _is_number(text: str) -> bool:
    return bool(re.fullmatch(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?|[+-]?(nan|inf|infinity)",
                             text, re.IGNORECASE))


def _half_widths(centre: Array, width: Array) -> Optional[bool]:
    """Whether the width column holds half widths (True) or full widths (False), by which
    reading makes most neighbouring bins meet; None when neither does."""
    if len(centre) < 2:
        return None
    step = np.abs(np.diff(centre))
    both = width[:-1] + width[1:]
    pairs = len(step)
    if 2 * np.count_nonzero(np.abs(step - both) <= _MEET * step) > pairs:
        return True
    if 2 * np.count_nonzero(np.abs(step - 0.5 * both) <= _MEET * step) > pairs:
        return False
    return None


def _from_widths(centre: Array, width: Array, named_half: bool,
                 name: str) -> tuple[Array, Array, str]:
    """The edges of bins given by centre and width, and the note of how the width was read."""
    half = _half_widths(centre, width)
    how = ""
    if half is None:
        half, how = named_half, " (neighbouring bins meet under neither reading)"
    column = f"the column '{name}'" if " " in name else f"the {name} column"
    note = f"{column} read as {'half' if half else 'full'} widths{how}"
    if half:
        return centre - width, centre + width, note
    halves = 0.5 * width
    return centre - halves, centre + halves, note


def _from_centres(centre: Array, rows: Sequence[tuple[int, list[str]]],
                  source: str) -> tuple[Array, Array]:
    """Bins without widths: the edges lie midway between neighbouring centres, the outer edges
    of the first and last bins as far from their centres as their inner ones."""
    step = np.diff(centre)
    rising = bool(step[0] > 0)
    wrong = np.nonzero(~(step > 0) if rising else ~(step < 0))[0]
    if len(wrong):
        i = int(wrong[0]) + 1
        raise DataError(f"{source}, line {rows[i][0]}: without bin widths the centres must all "
                        f"rise or all fall, the edges lying midway between neighbours; "
                        f"{centre[i]:g} follows {centre[i - 1]:g}")
    middle = 0.5 * (centre[:-1] + centre[1:])
    edges = np.concatenate([[centre[0] - (middle[0] - centre[0])], middle,
                            [centre[-1] + (centre[-1] - middle[-1])]])
    return (edges[:-1], edges[1:]) if rising else (edges[1:], edges[:-1])


def write_spectrum(stream: IO[bytes], data: Observation, comments: Sequence[str] = ()) -> None:
    """Write `data` as a CSV file that `read_spectrum` reads back to the same bits (edges,
    values as fractions, with 17 significant digits)."""
    out = [f"# {c}\n" for c in comments]
    out.append("low,high,value,error\n")
    for row in zip(data.low, data.high, data.value, data.error):
        out.append(",".join(f"{v:.17g}" for v in row) + "\n")
    stream.write("".join(out).encode())


