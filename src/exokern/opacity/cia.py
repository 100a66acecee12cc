"""Collision-induced absorption of a gas pair (H2-H2, H2-He, ...) from HITRAN's `.cia` files.

A `.cia` file is a sequence of blocks, one per temperature and wavenumber range. A block opens
with a 100-character header in fixed columns (Fortran A20, F10.4, F10.4, I7, F7.1, E10.3, F6.3,
A27, I3): the pair's name right-aligned, the lowest and highest wavenumber (cm^-1), the number of
rows N, the temperature (K), the largest coefficient, a resolution, a comment and a reference
number. N rows of `wavenumber coefficient` follow (cm^-1, cm^5 molecule^-2).

`read_cia` gathers the blocks into one row per temperature, ranges of the same temperature
joined in wavenumber order, and `resample` puts every row on a model's wavenumber grid: linear
between the tabulated wavenumbers, zero where nothing is tabulated.
"""

from __future__ import annotations

import os
import re
from decimal import Decimal
from dataclasses import dataclass
from typing import NamedTuple, Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern.opacity import TableError

Array = npt.NDArray[np.float64]

# One Fortran number as the headers write it: "40.436", "-.999", "9.955E-45", "500".
_NUMBER = r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[Ee][+-]?\d+)?"
_NUMBER_RE = re.compile(_NUMBER)
_LEADING_NUMBER_RE = re.compile(r"\s*(" + _NUMBER + r")")
_INTEGER_RE = re.compile(r"[+-]?\d+")

# Columns of the header's fields up to the resolution; the comment and the reference number
# after them are not used.
_NAME_END = 20
_FIELDS = ((20, 30), (30, 40), (40, 47), (47, 54), (54, 64), (64, 70))


@dataclass(frozen=True)
class CIATable:
    """The absorption coefficients of one pair, one row per temperature.

    `blocks[i]` holds the wavenumbers (cm^-1, strictly ascending) and coefficients
    (cm^5 molecule^-2) tabulated at `temperatures[i]`. Where the file gives that temperature in
    several wavenumber ranges, the row holds them all in order, and `gaps[i]` the row indices at
    which a range after the first begins: nothing is tabulated between two ranges. An empty
    `gaps` (the default) means each row is a single range.
    """

    path: str
    pair: tuple[str, str]
    temperatures: Array
    blocks: tuple[tuple[Array, Array], ...]
    gaps: tuple[tuple[int, ...], ...] = ()


class _Header(NamedTuple):
    name: str
    low: str  # the wavenumber range as written, whose last digit tells its precision
    high: str
    rows: int
    temperature: float


class _Block(NamedTuple):
    number: int  # from 1, in file order
    line: int  # of the header, from 1
    temperature: float
    wavenumbers: Array
    coefficients: Array


def _number(text: str) -> Optional[float]:
    text = text.strip()
    if not _NUMBER_RE.fullmatch(text):
        return None
    return float(text)


def _fixed_header(line: str) -> Optional[tuple[str, list[str]]]:
    """The name and the numeric fields read from their columns, or None if any field is not a
    number there."""
    name = line[:_NAME_END].strip()
    fields = [line[a:b].strip() for a, b in _FIELDS]
    if not name or " " in name or any(not _NUMBER_RE.fullmatch(f) for f in fields):
        return None
    return name, fields


def _free_header(line: str) -> Optional[tuple[str, list[str]]]:
    """The name and the leading numbers of a header whose fields left their columns (HITRAN's
    own files shift them: "H2-H2    4300.000 4400.000   100  200.0 ..."): the name is the
    first word, the numbers are read one after the other, touching or not."""
    words = line.split(None, 1)
    if len(words) < 2:
        return None
    name, rest = words
    fields: list[str] = []
    pos = 0
    while len(fields) < len(_FIELDS):
        match = _LEADING_NUMBER_RE.match(rest, pos)
        if match is None:
            break
        fields.append(match.group(1))
        pos = match.end()
    if len(fields) < 4:  # up to the temperature; the rest is not used
        return None
    return name, fields


def _header(line: str) -> Optional[_Header]:
    """The header on `line`, or None if the line is not one."""
    read = _fixed_header(line) or _free_header(line)
    if read is None or _number(read[0]) is not None:
        return None
    name, fields = read
    if not _INTEGER_RE.fullmatch(fields[2]):
        return None
    temperature = _number(fields[3])
    if temperature is None:
        return None
    return _Header(name, fields[0], fields[1], int(fields[2]), temperature)


def _matches(written: str, value: float) -> bool:
    """Whether the header's number `written` gives `value` to within one unit of its last
    digit (the headers round the rows' wavenumbers, 40.4359 to 40.436)."""
    unit = 10.0 ** int(Decimal(written).as_tuple().exponent)
    return abs(float(written) - value) <= unit


def _is_row(line: str) -> bool:
    parts = line.split()
    return len(parts) == 2 and all(_number(p) is not None for p in parts)


def _pair(path: str, name: str, line: int) -> tuple[str, str]:
    parts = name.split("-")
    if len(parts) != 2 or not all(parts):
        raise TableError(f"{path}: line {line}: the pair's name {name!r} is not of the form A-B "
                         f"(e.g. H2-He)")
    return parts[0], parts[1]


def _rows(path: str, lines: Sequence[str], first: int, where: str) -> tuple[Array, Array]:
    """The wavenumbers and coefficients on `lines`, the first of which is line `first` of the
    file, checked: two numbers a row, finite, not negative, wavenumbers strictly ascending."""
    parts = [line.split() for line in lines]
    for k, p in enumerate(parts):
        if len(p) != 2:
            found = "a blank line" if not p else f"{len(p)} fields in {lines[k].strip()!r}"
            raise TableError(f"{path}: line {first + k} ({where}): expected a row "
                             f"'wavenumber coefficient', found {found}")
    try:
        values = np.array([x for p in parts for x in p], dtype=np.float64).reshape(-1, 2)
    except ValueError:
        for k, p in enumerate(parts):
            if not all(_number(x) is not None for x in p):
                raise TableError(f"{path}: line {first + k} ({where}): not a number in "
                                 f"{lines[k].strip()!r}") from None
        raise TableError(f"{path}: {where}: a row is not two numbers") from None
    for column, what in enumerate(("wavenumber", "coefficient")):
        bad = ~np.isfinite(values[:, column]) | (values[:, column] < 0.0)
        if bad.any():
            k = int(np.argmax(bad))
            raise TableError(f"{path}: line {first + k} ({where}): the {what} "
                             f"{lines[k].split()[column]} is not a finite, non-negative number")
    wn = np.ascontiguousarray(values[:, 0])
    steps = np.diff(wn) <= 0.0
    if steps.any():
        k = int(np.argmax(steps)) + 1
        raise TableError(f"{path}: line {first + k} ({where}): the wavenumber {wn[k]:g} is not "
                         f"above {wn[k - 1]:g} on the line before; wavenumbers must ascend")
    return wn, np.ascontiguousarray(values[:, 1])


def _blocks(path: str, text: str) -> tuple[tuple[str, str], list[_Block]]:
    lines = text.splitlines()
    while lines and not lines[-1].strip():
        lines.pop()
    blocks: list[_Block] = []
    name = ""
    i = 0
    while i < len(lines):
        if not lines[i].strip():  # blank lines between blocks carry nothing
            i += 1
            continue
        header = _header(lines[i])
        if header is None:
            raise TableError(f"{path}: line {i + 1}: expected the header of block "
                             f"{len(blocks) + 1} (pair, wavenumber range, rows, temperature, "
                             f"...), found {lines[i].strip()[:60]!r}")
        number = len(blocks) + 1
        where = f"block {number} ({header.name}, {header.temperature:g} K, line {i + 1})"
        if not blocks:
            name = header.name
            _pair(path, name, i + 1)
        elif header.name != name:
            raise TableError(f"{path}: {where}: the pair is {header.name}, but block 1 is for "
                             f"{name}")
        if header.rows < 1 or not np.isfinite(header.temperature) or header.temperature <= 0.0:
            raise TableError(f"{path}: {where}: the header gives {header.rows} rows at "
                             f"{header.temperature:g} K; expected at least one row at a "
                             f"positive temperature")
        rows = lines[i + 1:i + 1 + header.rows]
        read: Optional[tuple[Array, Array]] = None
        problem: Optional[TableError] = None
        if len(rows) == header.rows:
            try:
                read = _rows(path, rows, i + 2, where)
            except TableError as e:
                problem = e
        if read is None:
            # A block shorter than its header says ends at the next header, or at the end of
            # the file; say so rather than what the misread would be.
            for k, line in enumerate(rows):
                if not _is_row(line) and _header(line) is not None:
                    raise TableError(f"{path}: {where}: the header says {header.rows} rows, but "
                                     f"the block holds {k} (line {i + 2 + k} starts another "
                                     f"block)")
            if problem is not None:
                raise problem
            raise TableError(f"{path}: {where}: the header says {header.rows} rows, but the "
                             f"file ends after {len(rows)}")
        wn, coef = read
        after = i + 1 + header.rows
        if after < len(lines) and _is_row(lines[after]):
            raise TableError(f"{path}: {where}: the header says {header.rows} rows, but more "
                             f"follow (line {after + 1} is a row, not a block header)")
        if not (_matches(header.low, float(wn[0])) and _matches(header.high, float(wn[-1]))):
            raise TableError(f"{path}: {where}: the header gives {header.low} to {header.high} "
                             f"cm^-1 for its {header.rows} rows, but they run from {wn[0]:g} to "
                             f"{wn[-1]:g} cm^-1")
        blocks.append(_Block(number, i + 1, header.temperature, wn, coef))
        i = after
    if not blocks:
        raise TableError(f"{path}: no blocks: the file is empty")
    return _pair(path, name, blocks[0].line), blocks


def _merge(path: str, name: str, blocks: list[_Block]
           ) -> tuple[Array, tuple[tuple[Array, Array], ...], tuple[tuple[int, ...], ...]]:
    """One row per temperature, ascending; the ranges of a temperature joined in wavenumber
    order, which must not overlap."""
    by_temperature: dict[float, list[_Block]] = {}
    for block in blocks:
        by_temperature.setdefault(block.temperature, []).append(block)
    temperatures = sorted(by_temperature)
    rows: list[tuple[Array, Array]] = []
    gaps: list[tuple[int, ...]] = []
    for t in temperatures:
        ranges = sorted(by_temperature[t], key=lambda b: float(b.wavenumbers[0]))
        starts: list[int] = []
        size = 0
        for prev, block in zip(ranges, ranges[1:]):
            if block.wavenumbers[0] <= prev.wavenumbers[-1]:
                raise TableError(
                    f"{path}: blocks {prev.number} (line {prev.line}) and {block.number} "
                    f"(line {block.line}) of {name} at {t:g} K overlap: "
                    f"{prev.wavenumbers[0]:g} to {prev.wavenumbers[-1]:g} and "
                    f"{block.wavenumbers[0]:g} to {block.wavenumbers[-1]:g} cm^-1")
            size += len(prev.wavenumbers)
            starts.append(size)
        wn = np.concatenate([b.wavenumbers for b in ranges])
        coef = np.concatenate([b.coefficients for b in ranges])
        wn.setflags(write=False)
        coef.setflags(write=False)
        rows.append((wn, coef))
        gaps.append(tuple(starts))
    temps = np.array(temperatures, dtype=np.float64)
    temps.setflags(write=False)
    return temps, tuple(rows), tuple(gaps)


def read_cia(path: str | os.PathLike[str]) -> CIATable:
    """The table of the HITRAN `.cia` file at `path`, one row per temperature, temperatures
    ascending whatever the file's order.

    A malformed file raises TableError, naming the file, the block and the line: a header that
    cannot be read, a pair other than the first block's, fewer or more rows than the header
    says, a row that is not two numbers, a negative or non-finite value, wavenumbers that do
    not ascend in a block, ranges of one temperature that overlap, a file without blocks.
    OSError propagates for a file that cannot be opened.
    """
    name = os.fspath(path)
    with open(name, "rb") as f:
        # Latin-1 maps every byte to one character, so the header's columns stay byte columns
        # and a stray byte in a comment cannot stop the read.
        text = f.read().decode("latin-1")
    pair, blocks = _blocks(name, text)
    temperatures, rows, gaps = _merge(name, "-".join(pair), blocks)
    if not any(gaps):
        gaps = ()
    return CIATable(path=name, pair=pair, temperatures=temperatures, blocks=rows, gaps=gaps)


def resample(table: CIATable, wn: Array) -> Array:
    """The coefficients at the wavenumbers `wn` (ascending, cm^-1), one row per temperature,
    shape (nt, len(wn)): linear interpolation in wavenumber inside each block's range, zero
    outside it (no collision-induced absorption is tabulated there)."""
    x = np.asarray(wn, dtype=np.float64)
    if x.ndim != 1:
        raise ValueError(f"resample: the wavenumbers must be one-dimensional, not of shape "
                         f"{x.shape}")
    out = np.zeros((len(table.blocks), len(x)), dtype=np.float64)
    for i, (xp, fp) in enumerate(table.blocks):
        starts = table.gaps[i] if table.gaps else ()
        bounds = (0,) + tuple(starts) + (len(xp),)
        for a, b in zip(bounds, bounds[1:]):
            inside = (x >= xp[a]) & (x <= xp[b - 1])
            out[i, inside] = np.interp(x[inside], xp[a:b], fp[a:b])
    return out
