"""What the header of a spectrum file says: the role of each column by its name, the units a
name states, and the layout of a file without a header (see `exokern.retrieval.data`)."""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Optional, Sequence

from exokern.params import UNITS


class DataError(ValueError):
    """A spectrum file that cannot be read; the message names the file and the line."""


# The plain names; a header they describe fully is read by them alone.
_ALIASES = {
    "wavelength": ("wavelength", "wl", "lambda", "wave"),
    "width": ("width", "bin_width", "dwl"),
    "low": ("low", "wl_low", "wavelength_low", "lo", "min"),
    "high": ("high", "wl_high", "wavelength_high", "hi", "max"),
    "value": ("value", "depth", "transit_depth", "fpfs", "flux_ratio"),
    "error": ("error", "err", "sigma", "uncertainty"),
}
_COLUMN = {alias: name for name, aliases in _ALIASES.items() for alias in aliases}

_CENTRES = ("wavelength", "wave", "wl", "lambda")
_FULL_WIDTHS = ("width", "bin_width", "binwidth", "bin_size", "binsize", "dwl")
_HALF_WIDTHS = ("half_width", "halfwidth", "bin_half_width", "half_bin_width")
_EDGES = {"low": "low", "lo": "low", "min": "low", "high": "high", "hi": "high", "max": "high"}
_DEPTHS = ("value", "depth", "transit_depth", "fpfs", "flux_ratio")
_RATIOS = ("rp_rs", "rprs", "rp/rs", "rp/r*")
_ERRORS = ("error", "err", "sigma", "uncertainty")
_UNIT_WORDS = {"ppm": "ppm", "percent": "percent", "%": "percent"}
_MICRON = ("micron", "microns", "um", "µm", "μm")  # the micro sign and the Greek mu
_NOT_MICRON = ("nm", "angstrom", "angstroms", "å")
_WAVELENGTH_KEYS = ("wavelength", "width", "low", "high")

@dataclass(frozen=True)
class Column:
    """What a column's name says: its role (wavelength, width, low, high, value, error), the
    unit of value it states, whether it holds half widths, whether it is (the error of) a ratio
    of radii (None: an error that does not say of what), and a wavelength unit other than
    micron."""

    key: str
    unit: Optional[str] = None
    half: bool = False
    ratio: Optional[bool] = False
    foreign: Optional[str] = None


@dataclass(frozen=True)
class Layout:
    """The columns of a file: their indices, names and what the names say, by role."""

    index: dict[str, int]
    name: dict[str, str]
    column: dict[str, Column]


def value_of(base: str) -> Optional[Column]:
    if base in _DEPTHS:
        return Column("value")
    if base in _RATIOS:
        return Column("value", ratio=True)
    if base == "dppm":
        return Column("value", unit="ppm")
    return None


def classify(name: str) -> Optional[Column]:
    """The role of a header's name, or None for a column to ignore."""
    text = name.strip().lower().replace("%", " % ")
    stated: list[str] = []

    def drop(match: re.Match[str]) -> str:
        stated.extend(match.group(1).split())
        return " "

    text = re.sub(r"[(\[]([^)\]]*)[)\]]", drop, text)
    words = text.replace("_", " ").split()
    units = [_UNIT_WORDS[w] for w in stated + words if w in _UNIT_WORDS]
    foreign = next((w for w in stated + words if w in _NOT_MICRON), None)
    base = "_".join(w for w in words
                    if w not in _UNIT_WORDS and w not in _MICRON and w not in _NOT_MICRON)
    unit = units[0] if units else None
    if not base:
        return Column("value", unit=unit) if unit else None
    if base in _CENTRES:
        return Column("wavelength", foreign=foreign)
    rest = base
    for centre in _CENTRES:
        if base.startswith(centre + "_"):
            rest = base[len(centre) + 1:]
            if rest in _ERRORS:
                return Column("width", half=True, foreign=foreign)
            break
    if rest in _FULL_WIDTHS or rest in _HALF_WIDTHS:
        return Column("width", half=rest in _HALF_WIDTHS, foreign=foreign)
    if rest in _EDGES:
        return Column(_EDGES[rest], foreign=foreign)
    value = value_of(base)
    if value is not None:
        return Column("value", unit=unit or value.unit, ratio=value.ratio)
    if base in _ERRORS:
        return Column("error", unit=unit, ratio=None)
    for suffix in _ERRORS:
        if base.endswith("_" + suffix):
            value = value_of(base[:-len(suffix) - 1])
            if value is not None:
                return Column("error", unit=unit or value.unit, ratio=value.ratio)
    return None


def header(names: Sequence[str], source: str, line: int) -> Layout:
    plain = {j: _COLUMN[n.strip().lower()] for j, n in enumerate(names)
             if n.strip().lower() in _COLUMN}
    keys = list(plain.values())
    roles = set(keys)
    if len(keys) == len(roles) and {"value", "error"} <= roles and (
            {"wavelength", "width"} <= roles or {"low", "high"} <= roles):
        found = {j: Column(key) for j, key in plain.items()}
    else:
        found = {j: c for j, c in ((j, classify(n)) for j, n in enumerate(names))
                 if c is not None}
    index: dict[str, int] = {}
    for j, column in found.items():
        if column.key in index:
            raise DataError(f"{source}, line {line}: the header names the {column.key} twice")
        if column.foreign and column.key in _WAVELENGTH_KEYS:
            raise DataError(f"{source}, line {line}: the column {names[j].strip()!r} is in "
                            f"{column.foreign}; wavelengths must be in micron")
        index[column.key] = j
    has_centre = {"wavelength", "width"} <= set(index)
    has_edges = {"low", "high"} <= set(index)
    missing = [k for k in ("value", "error") if k not in index]
    if not (has_centre or has_edges):
        missing.insert(0, "wavelength and width (or low and high)")
    if missing:
        raise DataError(f"{source}, line {line}: the header lacks {', '.join(missing)} "
                        f"(found: {', '.join(names)})")
    if has_edges:
        index.pop("wavelength", None)
        index.pop("width", None)
    value, error = found[index["value"]], found[index["error"]]
    if error.ratio is not None and error.ratio != value.ratio:
        raise DataError(f"{source}, line {line}: the error column "
                        f"{names[index['error']].strip()!r} is not the error of the value "
                        f"column {names[index['value']].strip()!r}")
    return Layout(index, {k: names[j].strip() for k, j in index.items()},
                   {k: found[j] for k, j in index.items()})


def headerless(first: Sequence[str], rows: int, source: str, line: int) -> Layout:
    if len(first) == 3 and rows < 2:
        raise DataError(f"{source}, line {line}: 3 columns without a header and a single row; "
                        "the bins' edges lie midway between neighbouring centres, which takes "
                        "two rows at least")
    if len(first) not in (3, 4):
        raise DataError(f"{source}, line {line}: {len(first)} columns without a "
                        "header; expected 4 (wavelength, width, value, error) or a header "
                        "naming the columns")
    keys = ("wavelength", "width", "value", "error") if len(first) == 4 else (
        "wavelength", "value", "error")
    return Layout({k: j for j, k in enumerate(keys)}, {k: k for k in keys},
                   {k: Column(k) for k in keys})


def scales(layout: Layout, scale: float, source: str, line: int,
            notes: list[str]) -> tuple[float, float]:
    """The factors that turn the value and error columns into fractions: a unit their names
    state (an error naming none takes its value's), else `scale`."""
    asked = next((unit for unit, factor in UNITS.items() if factor == scale), f"{scale:g}")
    value, error = layout.column["value"], layout.column["error"]
    error_from = "error" if error.unit is not None else "value"
    factors = []
    for what, key, unit in (("values", "value", value.unit),
                            ("errors", error_from, error.unit or value.unit)):
        if unit is None:
            factors.append(scale)
            continue
        factor, name = UNITS[unit], layout.name[key]
        if scale != 1.0 and factor != scale:
            raise DataError(f"{source}, line {line}: the column {name!r} is in {unit}, but the "
                            f"units given are {asked}")
        if factor != scale:
            notes.append(f"{what} in {unit} from the column name {name}")
        factors.append(factor)
    return factors[0], factors[1]
