"""The cells of a grid: the product of axes (linear, logarithmic or listed values) or the rows
of a CSV file; each cell is a set of forward-model parameters."""

from __future__ import annotations

import csv
import hashlib
import itertools
import math
from dataclasses import dataclass
from typing import Any, Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

from exokern import safety

Array = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Grid:
    """The cells of a run: `values[i, j]` is parameter `names[j]` of cell i. `axes`, for a
    product of axes, gives each axis's values (the first axis varies slowest). Which names a
    model takes is the model's to say (`ForwardModel.parameter_set`)."""

    names: tuple[str, ...]
    values: Array
    axes: Optional[dict[str, list[float]]] = None

    def __post_init__(self) -> None:
        if len(set(self.names)) != len(self.names):
            raise ValueError("a parameter is given twice")
        if self.values.ndim != 2 or self.values.shape[1] != len(self.names):
            raise ValueError("values must have one column per parameter")
        if len(self.values) == 0:
            raise ValueError("the grid has no cells")
        if not np.all(np.isfinite(self.values)):
            raise ValueError("grid values must be finite numbers")

    @classmethod
    def from_axes(cls, axes: Mapping[str, Sequence[float]]) -> "Grid":
        names = tuple(axes)
        lists = {n: [float(v) for v in axes[n]] for n in names}
        if any(not values for values in lists.values()):
            raise ValueError("an axis has no values")
        for name, values in lists.items():  # an axis is a dimension: its values pick a cell
            if len(set(values)) != len(values):
                raise ValueError(f"axis {name} lists a value twice")
        count = math.prod(len(values) for values in lists.values())
        # the table of cells, as Python's product builds it and as an array
        shape = " x ".join(str(len(v)) for v in lists.values())
        safety.check_memory(count * len(names) * 8.0 * 8.0, f"a grid of {count:.3g} cells "
                            f"({shape})")
        cells = np.array(list(itertools.product(*(lists[n] for n in names))), dtype=float)
        return cls(names, cells.reshape(-1, len(names)), lists)

    @classmethod
    def read_csv(cls, path: str) -> "Grid":
        """Cells from a CSV file: a header of parameter names, one row of numbers per cell."""
        # utf-8-sig: the byte-order mark spreadsheet programs write is no part of the header
        with open(path, newline="", encoding="utf-8-sig") as stream:
            rows = [row for row in csv.reader(stream) if row and any(c.strip() for c in row)]
        if not rows:
            raise ValueError(f"{path} is empty")
        names = tuple(c.strip() for c in rows[0])
        values = []
        for number, row in enumerate(rows[1:], start=2):
            if len(row) != len(names):
                raise ValueError(f"{path}, line {number}: {len(row)} values for "
                                 f"{len(names)} parameters")
            try:
                values.append([float(c) for c in row])
            except ValueError:
                raise ValueError(f"{path}, line {number}: not a number in {row}") from None
        return cls(names, np.array(values, dtype=float).reshape(-1, len(names)))

    def __len__(self) -> int:
        return len(self.values)

    def cell(self, i: int) -> dict[str, float]:
        return dict(zip(self.names, (float(v) for v in self.values[i])))

    def describe(self) -> dict[str, Any]:
        """What identifies the grid in a store's configuration: the parameters, the number of
        cells, the axes when there are some, and a digest of every value."""
        digest = hashlib.sha256(np.ascontiguousarray(self.values).tobytes()).hexdigest()
        return dict(parameters=list(self.names), cells=len(self), axes=self.axes,
                    sha256=digest)


def parse_axis(text: str) -> tuple[str, list[float]]:
    """NAME=START:STOP:NUM (linear), NAME=START:STOP:NUM:log (logarithmic spacing), or
    NAME=V1,V2,... (the values listed)."""
    name, sep, spec = text.partition("=")
    name = name.strip()
    if not sep or not name or not spec.strip():
        raise ValueError(f"axis {text!r} is not NAME=START:STOP:NUM[:log] or NAME=V1,V2,...")
    if ":" not in spec:
        try:
            return name, [float(v) for v in spec.split(",")]
        except ValueError:
            raise ValueError(f"axis {text!r}: the values must be numbers") from None
    parts = spec.split(":")
    log = len(parts) == 4 and parts[3].strip() == "log"
    if len(parts) not in (3, 4) or (len(parts) == 4 and not log):
        raise ValueError(f"axis {text!r} is not NAME=START:STOP:NUM[:log]")
    try:
        start, stop, num = float(parts[0]), float(parts[1]), int(parts[2])
    except ValueError:
        raise ValueError(f"axis {text!r}: START and STOP must be numbers and NUM an "
                         "integer") from None
    if num < 1:
        raise ValueError(f"axis {text!r}: NUM must be at least 1")
    if not (math.isfinite(start) and math.isfinite(stop)):
        raise ValueError(f"axis {text!r}: START and STOP must be finite")
    if log:
        if not (start > 0 and stop > 0):
            raise ValueError(f"axis {text!r}: a logarithmic axis needs positive ends")
        values = np.geomspace(start, stop, num)
    else:
        values = np.linspace(start, stop, num)
    return name, [float(v) for v in values]


def parse_axes(texts: Sequence[str]) -> Grid:
    """The grid of several axis texts (see `parse_axis`), the first varying slowest."""
    axes: dict[str, list[float]] = {}
    for text in texts:
        name, values = parse_axis(text)
        if name in axes:
            raise ValueError(f"axis {name} is given twice")
        axes[name] = values
    return Grid.from_axes(axes)
