"""The tabulated sources of a model's extinction: molecular cross sections, collision-induced
absorption and Rayleigh scattering, resampled once onto the model's wavenumbers into one block
of rows, and per evaluation interpolated at every layer and added in one kernel call
(`_opacity.table_extinction`).

Interpolation is linear in the cross section, bilinear in (T, ln p) for the molecules and
linear in T for collision-induced absorption, clamped at the tables' edges (the layers clamped
are counted, per source, in the evaluation's diagnostics). Linear rather than exponential in
1/T: tables hold zeros (far from any line, or below a band's threshold), which the exponential
form cannot interpolate, and the linear form gives exactly the tabulated value at every node and
never leaves the range of its two neighbours. Every source of a layer is added in the order
the sources were given: molecules, then collision pairs, then Rayleigh scattering by H2 and He.
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass, field
from typing import Mapping, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

from exokern import _opacity
from exokern.opacity import TableError, cia, rayleigh, xsec

Array = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.intc]


@dataclass(frozen=True)
class Source:
    """One tabulated source: its rows `first`.. of the block, its nodes (ln p in bar, and T in
    K; None where the table has no such axis) and the constituents whose number densities
    multiply it."""

    name: str
    kind: str  # "molecule", "cia" or "rayleigh"
    first: int
    species: tuple[str, ...]
    log_pressure: Optional[Array] = None
    temperature: Optional[Array] = None
    path: str = ""


@dataclass
class Clamped:
    """Layers outside a table's nodes, taken at its edge: counts below and above, in T and p."""

    counts: dict[str, int] = field(default_factory=dict)

    def __bool__(self) -> bool:
        return any(self.counts.values())

    def text(self) -> str:
        return ", ".join(f"{n} layers at {where}" for where, n in self.counts.items() if n)


class _Axis:
    """The nodes of one axis that some sources share (T in K, or ln p in bar; None: no axis),
    and the labels of their clamping."""

    def __init__(self, nodes: Optional[Array], name: str) -> None:
        self.nodes = nodes
        self.labels = ("", "")
        if nodes is not None and len(nodes) > 1:
            edge = _kelvin if name == "T" else _bar
            self.labels = (f"{name} < {edge(nodes[0])}", f"{name} > {edge(nodes[-1])}")

    def locate(self, x: Array) -> tuple[IntArray, IntArray, Array, tuple[int, int]]:
        """The two nodes around each x, the weight of the upper one, and the counts of x below
        and above the nodes. x outside the nodes takes the edge node with weight 0, as does x on
        a node, so that a node's value is exact."""
        nodes = self.nodes
        if nodes is None or len(nodes) == 1:
            zero = np.zeros(len(x), dtype=np.intc)
            return zero, zero, np.zeros(len(x)), (0, 0)
        i = np.searchsorted(nodes, x, side="right") - 1
        np.minimum(np.maximum(i, 0, out=i), len(nodes) - 2, out=i)
        w = (x - nodes[i]) / (nodes[i + 1] - nodes[i])
        above = w >= 1.0
        edge = (w <= 0.0) | above
        lo = (i + above).astype(np.intc)
        hi = np.where(edge, lo, i + 1).astype(np.intc)
        w[edge] = 0.0
        counts = (int(np.count_nonzero(x < nodes[0])), int(np.count_nonzero(x > nodes[-1])))
        return lo, hi, w, counts


class _Axes:
    """The axes of one kind (T, or ln p) located together: their nodes padded with +inf into one
    array, a search per axis and the rest in a fixed number of numpy passes. Every x gets the
    nodes and weights `_Axis.locate` gives it, bit for bit."""

    def __init__(self, axes: list[_Axis]) -> None:
        self.axes = axes
        sizes = [0 if a.nodes is None else len(a.nodes) for a in axes]
        width = max(sizes + [1]) + 1
        self.nodes = np.full((len(axes), width), np.inf)
        for k, a in enumerate(axes):
            if a.nodes is not None and len(a.nodes) > 1:
                self.nodes[k, :len(a.nodes)] = a.nodes
            else:  # one node or none: every x takes node 0 with weight 0
                self.nodes[k, 0] = 0.0
        self.top = np.array([[max(n - 2, 0)] for n in sizes], dtype=np.intp).reshape(-1, 1)
        self.flat = self.nodes.ravel()
        self.offsets = (np.arange(len(axes), dtype=np.intp) * width)[:, None]
        self.real = np.array([n > 1 for n in sizes], dtype=bool)
        self.first = self.nodes[:, :1]
        self.last = np.array([[a.nodes[-1] if n > 1 and a.nodes is not None else np.inf]
                              for a, n in zip(axes, sizes)]).reshape(-1, 1)

    def locate(self, x: Array) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp], Array]:
        """(lo, hi, w) of every axis and x, shape (axes, len(x))."""
        i = np.empty((len(self.axes), len(x)), dtype=np.intp)
        for k, nodes in enumerate(self.nodes):
            i[k] = np.searchsorted(nodes, x, side="right")
        i -= 1
        np.minimum(np.maximum(i, 0, out=i), self.top, out=i)
        at = i + self.offsets
        lower, upper = self.flat[at], self.flat[at + 1]
        w = (x[None, :] - lower) / (upper - lower)
        above = w >= 1.0
        edge = (w <= 0.0) | above
        lo = i + above
        hi = np.where(edge, lo, i + 1)
        w[edge] = 0.0
        return lo, hi, w

    def counts(self, x: Array) -> npt.NDArray[np.intp]:
        """The counts of x below and above each axis's nodes, shape (axes, 2)."""
        result: npt.NDArray[np.intp] = np.stack(
            [(x[None, :] < self.first).sum(axis=1), (x[None, :] > self.last).sum(axis=1)],
            axis=1) * self.real[:, None]
        return result


class Clamping:
    """The layers that each source of an evaluation took at its tables' edges, counted and built
    into `Clamped` records when first asked for (`by_source`)."""

    def __init__(self, sources: Sequence[Source], t_axes: _Axes, p_axes: _Axes,
                 t_of: npt.NDArray[np.intp], p_of: npt.NDArray[np.intp], temperature: Array,
                 log_p: Array) -> None:
        self._args = (sources, t_axes, p_axes, t_of, p_of, temperature, log_p)
        self._found: Optional[dict[str, Clamped]] = None

    def by_source(self) -> dict[str, Clamped]:
        """Every source's clamping, by name (sources never clamped included)."""
        if self._found is None:
            sources, t_axes, p_axes, t_of, p_of, temperature, log_p = self._args
            t_counts, p_counts = t_axes.counts(temperature), p_axes.counts(log_p)
            found: dict[str, Clamped] = {}
            for s, src in enumerate(sources):
                c = found[src.name] = Clamped()
                for axis, counts in ((t_axes.axes[t_of[s]], t_counts[t_of[s]]),
                                     (p_axes.axes[p_of[s]], p_counts[p_of[s]])):
                    if axis.labels[0]:
                        c.counts[axis.labels[0]] = int(counts[0])
                        c.counts[axis.labels[1]] = int(counts[1])
            self._found = found
        return self._found


def _kelvin(t: float) -> str:
    return f"{t:g} K"


def _bar(log_p: float) -> str:
    return f"{math.exp(log_p):.3g} bar"


def _shared(axes: list[_Axis], nodes: Optional[Array], name: str) -> int:
    """The index of the axis with these nodes among `axes`, added if new."""
    for k, axis in enumerate(axes):
        same = (axis.nodes is None and nodes is None) or (
            axis.nodes is not None and nodes is not None and len(axis.nodes) == len(nodes)
            and bool(np.all(axis.nodes == nodes)))
        if same:
            return k
    axes.append(_Axis(nodes, name))
    return len(axes) - 1


class Tabulated:
    """The tabulated sources of a model on the wavenumbers `wn` (cm^-1): the molecules' tables
    (name to path), the collision pairs' files, and Rayleigh scattering when `scattering`. The
    constituents they need must be among `gas` (H2 and He, and the molecules)."""

    def __init__(self, wn: Array, molecules: Mapping[str, str], pairs: Sequence[str],
                 scattering: bool) -> None:
        gas = {"H2", "He", *molecules}
        blocks: list[Array] = []
        sources: list[Source] = []

        def add(rows: Array, source: Source) -> None:
            sources.append(dataclasses.replace(source, first=sum(len(b) for b in blocks)))
            blocks.append(rows)

        for name, path in molecules.items():
            table = xsec.read_xsec(path, float(wn[0]), float(wn[-1]))
            add(xsec.resample(table, wn),
                Source(name, "molecule", 0, (name,), np.log(table.pressure), table.temperature,
                       path))
        for path in pairs:
            table_c = cia.read_cia(path)
            missing = [s for s in table_c.pair if s not in gas]
            if missing:
                raise TableError(f"{path}: collision-induced absorption of "
                                 f"{'-'.join(table_c.pair)} needs {missing[0]}, which the gas "
                                 "of this model lacks (H2, He and the molecules given)")
            add(cia.resample(table_c, wn),
                Source("-".join(table_c.pair), "cia", 0, table_c.pair, None,
                       table_c.temperatures, path))
        if scattering:
            for name, cross_section in rayleigh.CROSS_SECTIONS.items():
                add(cross_section(wn)[None, :], Source(f"Rayleigh {name}", "rayleigh", 0,
                                                       (name,)))
        self._index(tuple(sources), np.ascontiguousarray(np.vstack(blocks)) if blocks
                    else np.zeros((0, len(wn))))

    @classmethod
    def of(cls, sources: Sequence[Source], block: Array) -> "Tabulated":
        """Sources whose rows are already in `block` (layout as a model's: a molecule's rows
        pressure-major, temperature-minor, from its `first`)."""
        made = cls.__new__(cls)
        made._index(tuple(sources), np.ascontiguousarray(block, dtype=np.float64))
        return made

    def _index(self, sources: tuple[Source, ...], block: Array) -> None:
        self.sources = sources
        self.block: Array = block
        # Sources that share their nodes share their search: one per axis and evaluation.
        self._t_axes: list[_Axis] = []
        self._p_axes: list[_Axis] = []
        self._t_of = np.array([_shared(self._t_axes, x.temperature, "T") for x in sources],
                              dtype=np.intp)
        self._p_of = np.array([_shared(self._p_axes, x.log_pressure, "p") for x in sources],
                              dtype=np.intp)
        self._t_all = _Axes(self._t_axes)
        self._p_all = _Axes(self._p_axes)
        # The pressure grid is a model's static choice: its location is kept for the next call.
        self._p_key: Optional[Array] = None
        self._t_key: Optional[Array] = None
        self._t_found: tuple[npt.NDArray[np.intp], npt.NDArray[np.intp], Array]
        self._p_rows: dict[Optional[int], tuple[npt.NDArray[np.intp], npt.NDArray[np.intp],
                                                Array]] = {}
        self._p_found: tuple[npt.NDArray[np.intp], npt.NDArray[np.intp], Array]
        self._log_p: Array
        self._first = np.array([x.first for x in sources], dtype=np.intp)[:, None]
        self._nt = np.array([1 if x.temperature is None else len(x.temperature)
                             for x in sources], dtype=np.intp)[:, None]
        # The constituents whose densities multiply each source; index -1 is a row of ones.
        self.constituents = tuple(sorted({name for x in sources for name in x.species}))
        where = {name: k for k, name in enumerate(self.constituents)}
        self._first_of = np.array([where[x.species[0]] for x in sources], dtype=np.intp)
        self._second_of = np.array([where[x.species[1]] if len(x.species) > 1 else -1
                                    for x in sources], dtype=np.intp)

    def __len__(self) -> int:
        return len(self.sources)

    def density(self, gas: Array, mixture: Mapping[str, float]) -> Array:
        """The number density (cm^-3) of every constituent (rows, in `constituents` order) per
        layer, from the gas's (`gas`, per layer) and the mixing ratios."""
        ratios = np.array([mixture[name] for name in self.constituents], dtype=np.float64)
        result: Array = ratios[:, None] * gas[None, :]
        return result

    def terms(self, pressure: Array, temperature: Array,
              density: Union[Array, Mapping[str, Array]], only: Optional[int] = None
              ) -> tuple[IntArray, Array, Array, Clamping]:
        """The kernel's rows, weights and densities for the layers (pressure in barye,
        temperature in K), given each constituent's number density (cm^-3) per layer (a
        mapping by name, or the rows of `density`), and the clamping of the sources; `only`
        the terms of that source alone."""
        layers = len(pressure)
        # A retrieval that holds the temperatures fixed gives the same ones at every call.
        if self._t_key is None or not np.array_equal(self._t_key, temperature):
            self._t_found = self._t_all.locate(temperature)
            self._t_key = np.array(temperature, dtype=np.float64)
        t_lo, t_hi, t_w = self._t_found
        if self._p_key is None or not np.array_equal(self._p_key, pressure):
            self._log_p = np.log(pressure / 1e6)
            self._p_found = self._p_all.locate(self._log_p)
            self._p_key = np.array(pressure, dtype=np.float64)
            self._p_rows = {}
        p_lo, p_hi, p_w = self._p_found
        pick = slice(None) if only is None else slice(only, only + 1)
        t_of, p_of = self._t_of[pick], self._p_of[pick]
        if only not in self._p_rows:  # the pressure's part of the rows, per source and layer
            base, nt = self._first[pick], self._nt[pick]
            self._p_rows[only] = (base + p_lo[p_of] * nt, base + p_hi[p_of] * nt, p_w[p_of])
        p0, p1, wp = self._p_rows[only]
        rows = np.empty((len(t_of), layers, 4), dtype=np.intc)
        t0, t1 = t_lo[t_of], t_hi[t_of]
        rows[:, :, 0] = p0 + t0
        rows[:, :, 1] = p0 + t1
        rows[:, :, 2] = p1 + t0
        rows[:, :, 3] = p1 + t1
        weights = np.empty((len(t_of), layers, 2))
        weights[:, :, 0] = t_w[t_of]
        weights[:, :, 1] = wp
        stack = np.ones((len(self.constituents) + 1, layers))
        if isinstance(density, np.ndarray):
            stack[:-1] = density
        else:
            for k, name in enumerate(self.constituents):
                stack[k] = density[name]
        dens = stack[self._first_of[pick]] * stack[self._second_of[pick]]
        clamping = Clamping(self.sources[pick], self._t_all, self._p_all, t_of, p_of,
                            np.array(temperature, dtype=np.float64), self._log_p)
        return rows.reshape(-1), weights.reshape(-1), dens.reshape(-1), clamping

    def add(self, ext: Array, pressure: Array, temperature: Array,
            density: Union[Array, Mapping[str, Array]]) -> Optional[Clamping]:
        """Add every source's extinction into `ext` (layers, wavenumbers); returns the
        clamping of the sources (None without sources)."""
        if not self.sources:
            return None
        rows, weights, dens, clamping = self.terms(pressure, temperature, density)
        _opacity.table_extinction(ext, self.block, rows, weights, dens)
        return clamping

    def each(self, pressure: Array, temperature: Array,
             density: Union[Array, Mapping[str, Array]]) -> dict[str, Array]:
        """Every source's extinction alone, by name."""
        found: dict[str, Array] = {}
        for k, src in enumerate(self.sources):
            ext = np.zeros((len(pressure), self.block.shape[1]))
            rows, weights, dens, _ = self.terms(pressure, temperature, density, k)
            _opacity.table_extinction(ext, self.block, rows, weights, dens)
            found[src.name] = ext
        return found
