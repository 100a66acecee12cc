"""The registry: every parameter of the forward model and every setting of a run, declared once.

A *parameter* is a physical quantity a model is evaluated at, one number per evaluation: it may
be free in a retrieval or an axis of a grid. A *setting* is a static choice, fixed when a model
or a run is made: the grids of pressure and wavenumber, the geometry, the sampler's live
points. A *quantity* is what an evaluation gives, or an axis of its arrays (`QUANTITIES`):
the files' metadata take its unit and description (`cf_attributes`). Each entry holds its
name, its unit (UDUNITS spelling, "1" for a pure number; `UDUNITS` maps the one exception),
its default, its valid range and a one-line description. The forward model checks its parameters
and settings with the entries; the commands build their options and help from them, the grid
checks its axes and the retrieval its priors against them, and the README's table of
parameters is printed from them (`python -m exokern.params`).

One unit per parameter, everywhere: radii in cm, pressures in bar, temperatures in K,
abundances in dex relative to solar. A command that offers a convenience unit names it in the
option (`exokern-spectrum --rplanet-rjup`).

Some parameters exist only for some models: a `Family` makes one parameter per member of a
model's set of species (the Na and K abundances `na` and `k` are such a family over the alkali
atoms), and `parameters_for` gives the parameters of one model.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, Iterator, Mapping, Optional, Sequence

import numpy as np

from exokern import atmosphere as atm
from exokern import radiation as rad
from exokern.opacity import alkali

Value = Optional[float]


def _real(name: str, value: object) -> float:
    """`value` as a finite float, or a ValueError naming `name`."""
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise ValueError(f"{name} must be a real number, got {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, got {number:g}")
    return number


@dataclass(frozen=True)
class Bounds:
    """A valid range: `minimum` (itself excluded when `exclusive`, as for a positive quantity)
    and `maximum`, either of them absent. `too_large` phrases a value above the maximum, with
    the fields {name}, {value} and {limit}."""

    minimum: Optional[float] = None
    exclusive: bool = False
    maximum: Optional[float] = None
    too_large: str = "{name} must be at most {limit:g}, got {value:g}"

    def check(self, name: str, number: float) -> None:
        low = self.minimum
        if low is not None and (number <= low if self.exclusive else number < low):
            if low == 0.0:
                raise ValueError(f"{name} must be positive, got {number:g}" if self.exclusive
                                 else f"{name} must not be negative, got {number:g}")
            raise ValueError(f"{name} must be {'above' if self.exclusive else 'at least'} "
                             f"{low:g}, got {number:g}")
        if self.maximum is not None and number > self.maximum:
            raise ValueError(self.too_large.format(name=name, value=number, limit=self.maximum))

    def text(self) -> str:
        """The range for a table: "> 0", ">= 2", "<= 5.527", "any"."""
        parts = []
        if self.minimum is not None:
            parts.append(f"{'>' if self.exclusive else '>='} {self.minimum:g}")
        if self.maximum is not None:
            parts.append(f"<= {self.maximum:.4g}")
        return ", ".join(parts) or "any"


POSITIVE = Bounds(0.0, exclusive=True)
NONNEGATIVE = Bounds(0.0)
ANY = Bounds()


@dataclass(frozen=True)
class Parameter:
    """A physical parameter of an evaluation. `default` None means unset (its `unset` says what
    is used then); `free` and `axis` say whether it may be free in a retrieval and an axis of a
    grid."""

    name: str
    unit: str
    default: Value
    description: str
    bounds: Bounds = ANY
    unset: str = ""
    free: bool = True
    axis: bool = True

    def check(self, value: object) -> Value:
        """The value as a float, or None where the parameter may be unset; ValueError naming
        the parameter otherwise."""
        if value is None and self.unset:
            return None
        number = _real(self.name, value)
        self.bounds.check(self.name, number)
        return number


@dataclass(frozen=True)
class Setting:
    """A static choice: an integer, a number, one of `choices`, a flag (bool), a list of paths
    (list) or a mapping of names to paths (dict), with a default (None: unset, where
    `optional`). `flag` is the singular of the option that gives a list or mapping one entry
    at a time (--molecule NAME=FILE)."""

    name: str
    kind: type
    default: Any
    description: str
    unit: str = ""
    bounds: Bounds = ANY
    choices: tuple[str, ...] = ()
    optional: bool = False
    flag: str = ""

    def check(self, value: object) -> Any:
        """The value in its kind, or ValueError naming the setting."""
        if value is None and self.optional:
            return None
        if self.kind is bool:
            if not isinstance(value, (bool, np.bool_)):
                raise ValueError(f"{self.name} must be true or false, got {value!r}")
            return bool(value)
        if self.kind is dict:
            if value is None:
                return {}
            if not isinstance(value, Mapping) or not all(
                    isinstance(k, str) and isinstance(v, str) for k, v in value.items()):
                raise ValueError(f"{self.name} must map names to file paths, got {value!r}")
            return dict(value)
        if self.kind is list:
            if isinstance(value, str) or not isinstance(value, Sequence) or not all(
                    isinstance(v, str) for v in value):
                raise ValueError(f"{self.name} must be a list of file paths, got {value!r}")
            return list(value)
        if self.choices:
            if value not in self.choices:
                raise ValueError(f"{self.name} must be one of {', '.join(self.choices)}, got "
                                 f"{value!r}")
            return value
        if self.kind is int:
            if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
                raise ValueError(f"{self.name} must be an integer, got {type(value).__name__}")
            number = int(value)
            self.bounds.check(self.name, number)
            return number
        number_f = _real(self.name, value)
        self.bounds.check(self.name, number_f)
        return number_f


@dataclass(frozen=True)
class Family:
    """Parameters made one per member of a model's set: `make(member)` gives the member's."""

    label: str
    make: Callable[[Any], Parameter]

    def members(self, members: Sequence[Any]) -> list[Parameter]:
        return [self.make(m) for m in members]


# ---- the forward model's parameters --------------------------------------------------------

PROFILE = ("logkappa", "logg1", "logg2", "alpha", "tirr", "tint")
_G = atm.GUILLOT_PARAMS

# The temperature profile and the gas.
ATMOSPHERE: tuple[Parameter, ...] = (
    Parameter("logkappa", "1", _G[0], "log10 of the profile's thermal opacity in cm2 g-1"),
    Parameter("logg1", "1", _G[1], "log10 of the visible-to-thermal opacity ratio, channel 1"),
    Parameter("logg2", "1", _G[2], "log10 of the visible-to-thermal opacity ratio, channel 2"),
    Parameter("alpha", "1", _G[3], "share of the irradiation in channel 1"),
    Parameter("tirr", "K", _G[4], "irradiation temperature", NONNEGATIVE),
    Parameter("tint", "K", _G[5], "internal temperature", NONNEGATIVE),
    Parameter("isothermal", "K", None, "temperature of an isothermal atmosphere", POSITIVE,
              unset="the profile"),
    Parameter("gravity", "cm s-2", atm.GRAVITY, "gravity at the reference radius", POSITIVE),
    Parameter("mean_mass", "amu", None, "mean molecular mass of the gas", POSITIVE,
              unset="from the composition"),
)


def _abundance(species: alkali.Species) -> Parameter:
    return Parameter(
        species.name.lower(), "dex", 0.0, f"{species.name} abundance relative to solar",
        Bounds(maximum=alkali.max_dex(species),
               too_large=f"{{name}} = {{value:g}} dex puts more {species.name} atoms than gas "
                         "particles (at most {limit:+.2f})"))


ALKALI = Family("the alkali atoms", _abundance)

# The default mixing ratio of a molecule whose table a model holds.
DEFAULT_LOG_VMR = -4.0


def _mixing_ratio(molecule: str) -> Parameter:
    return Parameter(
        f"log_{molecule}", "1", DEFAULT_LOG_VMR, f"log10 volume mixing ratio of {molecule}",
        Bounds(maximum=0.0, too_large="{name} = {value:g} is a mixing ratio above 1"))


MOLECULES = Family("the molecules of the tables", _mixing_ratio)

CONTINUUM = (Parameter("kappa", "cm2 g-1", None, "grey continuum opacity", NONNEGATIVE,
                       unset="10^logkappa without tables, 0 with"),)

CLOUDS: tuple[Parameter, ...] = (
    Parameter("log_pcloud", "1", None, "log10 pressure (bar) of an opaque grey deck's top",
              unset="no deck"),
    Parameter("log_haze", "1", None, "log10 of the haze's enhancement over H2 Rayleigh",
              unset="no haze"),
    Parameter("haze_slope", "1", -4.0, "power of the wavelength in the haze's extinction"),
)

# The planet and the star, for the transmission.
GEOMETRY: tuple[Parameter, ...] = (
    Parameter("rplanet", "cm", atm.R_JUPITER, "planet radius at the reference pressure",
              POSITIVE),
    Parameter("rstar", "cm", atm.R_SUN, "stellar radius", POSITIVE),
    Parameter("pref", "bar", 0.1, "pressure at the planet radius", POSITIVE),
)

# A factor on every uncertainty of the data, fitted with the model's parameters; not a
# parameter of the model, so neither fixed nor an axis.
ERROR_SCALE = Parameter("error_scale", "1", None, "factor on every uncertainty of the data",
                        POSITIVE, unset="1", axis=False)


# ---- the quantities of the outputs, and the units of their files' metadata -------------------

@dataclass(frozen=True)
class Quantity:
    """A quantity an evaluation gives, or an axis of its arrays: a name, a unit and a one-line
    description, as for a parameter."""

    name: str
    unit: str
    description: str


QUANTITIES: dict[str, Quantity] = {q.name: q for q in (
    Quantity("wn", "cm-1", "wavenumber"),
    Quantity("wavelength", "um", "wavelength (1e4 / wn)"),
    Quantity("flux", "erg s-1 cm-1", "emergent flux per unit wavenumber"),
    Quantity("tb", "K", "brightness temperature of the emergent flux"),
    Quantity("intensity", "erg s-1 cm-1 sr-1", "emergent intensity per unit wavenumber"),
    Quantity("mu", "1", "cosine of the viewing angle (Gauss-Legendre node)"),
    Quantity("weights", "1", "Gauss-Legendre weight of the viewing cosine"),
    Quantity("band_flux", "erg s-1 cm-2", "emergent flux integrated over the band"),
    Quantity("pressure", "barye", "pressure of the layer"),
    Quantity("temperature", "K", "temperature of the layer"),
    Quantity("z", "cm", "altitude of the layer above the bottom of the model"),
    Quantity("ideep", "1", "index of the deepest layer reached (optical depth taumax)"),
    Quantity("p_photosphere", "barye", "pressure at vertical optical depth 2/3"),
    Quantity("depth", "1", "transit depth"),
    Quantity("radius", "cm", "effective radius of the planet"),
    Quantity("p_probed", "barye", "pressure the limb is probed at (chord optical depth "
             "0.56)"),
    Quantity("radii", "cm", "radius of the layer"),
    Quantity("scale_height", "cm", "scale height at the median temperature"),
    Quantity("status", "1", "state of the cell's computation"),
    Quantity("reason", "1", "why the cell failed (empty where it did not)"),
)}

# The registry's unit spellings that UDUNITS (and so CF readers) does not know: an abundance in
# dex is a pure number, the log10 of a ratio.
UDUNITS = {"dex": "1"}


def cf_attributes(entry: Parameter | Setting | Quantity) -> dict[str, str]:
    """The CF attributes of a variable holding `entry`: `units` in UDUNITS spelling and
    `long_name`; a unit UDUNITS spells otherwise is kept in `exokern_unit`."""
    attrs = {"units": UDUNITS.get(entry.unit, entry.unit) or "1",
             "long_name": entry.description}
    if entry.unit in UDUNITS:
        attrs["exokern_unit"] = entry.unit
    return attrs


class ParameterSet(Mapping[str, Parameter]):
    """The parameters of one model, by name, in their declared order."""

    def __init__(self, parameters: Sequence[Parameter]) -> None:
        self._by_name = {p.name: p for p in parameters}
        if len(self._by_name) != len(parameters):
            raise ValueError("a parameter is declared twice")

    def __getitem__(self, name: str) -> Parameter:
        return self._by_name[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._by_name)

    def __len__(self) -> int:
        return len(self._by_name)

    def lookup(self, name: str) -> Parameter:
        """The parameter called `name`; ValueError listing the known names otherwise."""
        found = self._by_name.get(name)
        if found is None:
            raise ValueError(f"unknown parameter {name!r} (known: {', '.join(self)})")
        return found

    def defaults(self) -> dict[str, Value]:
        return {name: p.default for name, p in self._by_name.items()}

    def check(self, values: Mapping[str, object]) -> dict[str, Value]:
        """Every value checked by its parameter (unknown names refused), in the given order."""
        return {name: self.lookup(name).check(value) for name, value in values.items()}

    def check_axes(self, names: Sequence[str]) -> None:
        """Refuse names that are not parameters, or not parameters a grid may vary."""
        for name in names:
            if not self.lookup(name).axis:
                raise ValueError(f"{name} cannot be an axis of a grid")


def parameters_for(atoms: Sequence[alkali.Species] = alkali.SPECIES,
                   molecules: Sequence[str] = ()) -> ParameterSet:
    """The parameters of a model whose extinction holds the alkali `atoms` and the tables of
    the `molecules`."""
    return ParameterSet(ATMOSPHERE + tuple(ALKALI.members(atoms))
                        + tuple(MOLECULES.members(molecules)) + CONTINUUM + CLOUDS + GEOMETRY)


MODEL_PARAMETERS = parameters_for()


# ---- settings ------------------------------------------------------------------------------

GEOMETRIES = ("emission", "transmission", "both")
UNITS = {"fraction": 1.0, "percent": 1e-2, "ppm": 1e-6}
METHODS = ("auto", "unif", "rwalk", "slice", "rslice")
SAMPLERS = ("nautilus", "dynesty")
# Each sampler's live points where none are given: nautilus's bounds are trained on the live
# set, and 100 points give the reference posterior at a third of the cost of 300 up to five
# parameters; beyond, its networks need more: 60 more a parameter (400 at ten, where 100 gave
# intervals up to a quarter and a half off and medians up to 0.3 sigma away).
LIVE_POINTS = {"nautilus": 100, "dynesty": 300}
LIVE_PER_PARAMETER = {"nautilus": 60, "dynesty": 0}
LIVE_FROM = 5


def live_points(sampler: str, dimensions: int) -> int:
    """`sampler`'s live points over `dimensions` free parameters where none are given."""
    return LIVE_POINTS[sampler] + LIVE_PER_PARAMETER[sampler] * max(0, dimensions - LIVE_FROM)

# The forward model's static choices, in the order of its signature.
MODEL_SETTINGS: tuple[Setting, ...] = (
    Setting("geometry", str, "emission", "which spectra the model computes",
            choices=GEOMETRIES),
    Setting("layers", int, 100, "number of layers, log-spaced in pressure", bounds=Bounds(2.0)),
    Setting("ptop", float, 1e-8, "pressure at the top of the model", "bar", POSITIVE),
    Setting("pbottom", float, 1e2, "pressure at the bottom of the model", "bar", POSITIVE),
    Setting("wn_min", float, 10000.0, "lowest wavenumber (1 micron)", "cm-1", POSITIVE),
    Setting("wn_max", float, 20000.0, "highest wavenumber (0.5 micron)", "cm-1", POSITIVE),
    Setting("resolution", float, 20000.0, "resolving power wn/dwn of the wavenumber grid",
            "1", POSITIVE),
    Setting("angles", int, 8, "number of Gauss-Legendre cosines of the emergent intensity",
            bounds=Bounds(1.0, maximum=200.0)),
    Setting("taumax", float, rad.TAUMAX, "optical depth at which a wavelength's integration "
            "stops", "1", POSITIVE),
    Setting("molecules", dict, None, "cross-section tables, a molecule's name to its file "
            "(or a folder of them)", flag="molecule"),
    Setting("cia", list, (), "collision-induced absorption files, one per pair", flag="cia"),
    Setting("rayleigh", bool, True, "Rayleigh scattering by H2 and He"),
)

# A retrieval's settings besides the model's: the data, the star, the sampler, the injection.
RETRIEVAL_SETTINGS: tuple[Setting, ...] = (
    Setting("units", str, "fraction", "units of the data's values and errors",
            choices=tuple(UNITS)),
    Setting("tstar", float, 5772.0, "the star's temperature, for the emission observable",
            "K", POSITIVE),
    Setting("sampler", str, "nautilus", "the nested sampler: nautilus (importance nested "
            "sampling with neural-network bounds; dynesty for a single free parameter) or dynesty "
            "(static nested sampling)",
            choices=SAMPLERS),
    Setting("live", int, None, "live points (where not given: "
            + ", ".join(f"{n} for {name}" + (f", {LIVE_PER_PARAMETER[name]} more a parameter "
                                             f"beyond {LIVE_FROM}"
                                             if LIVE_PER_PARAMETER[name] else "")
                        for name, n in LIVE_POINTS.items()) + ")",
            bounds=Bounds(10.0), optional=True),
    Setting("dlogz", float, 0.5, "stop when the evidence still to come is below this in ln Z",
            bounds=POSITIVE),
    Setting("seed", int, 1, "random seed", bounds=Bounds(0.0)),
    Setting("batch", int, 8, "proposals evaluated at a time; the results depend on it, not on "
            "the engine; raise it to keep more workers busy", bounds=Bounds(1.0)),
    Setting("method", str, "auto", "dynesty's way of proposing", choices=METHODS),
    Setting("effective", int, 3000, "nautilus: stop once the posterior holds this many "
            "effective samples", bounds=Bounds(100.0)),
    Setting("max_calls", int, None, "stop after this many likelihood calls",
            bounds=Bounds(1.0), optional=True),
    Setting("noise", float, 40.0, "noise of the injected data", "ppm", POSITIVE),
)

SETTINGS: dict[str, Setting] = {s.name: s for s in MODEL_SETTINGS + RETRIEVAL_SETTINGS}


def setting(name: str) -> Setting:
    return SETTINGS[name]


def model_defaults() -> dict[str, Any]:
    """The forward model's static choices at their defaults."""
    return {s.name: s.check(s.default) for s in MODEL_SETTINGS}


# ---- the README's table --------------------------------------------------------------------

def table() -> str:
    """The parameters, then the forward model's static choices, as the README's Markdown
    tables."""
    rows = ["| parameter | unit | default | range | description |",
            "|---|---|---|---|---|"]
    listed = list(MODEL_PARAMETERS.values())
    listed.insert(listed.index(MODEL_PARAMETERS["kappa"]), _mixing_ratio("<molecule>"))
    for p in listed + [ERROR_SCALE]:
        default = f"{p.default:g}" if p.default is not None else f"unset: {p.unset}"
        where = "" if p.axis else " (retrieval only)"
        rows.append(f"| `{p.name}` | {p.unit} | {default} | {p.bounds.text()} | "
                    f"{p.description}{where} |")
    rows += ["", "| static choice | unit | default | range | description |",
             "|---|---|---|---|---|"]
    for s in MODEL_SETTINGS:
        valid = (", ".join(s.choices) if s.choices else s.bounds.text()
                 if s.kind in (int, float) else "")
        default = (f"{s.default:g}" if isinstance(s.default, float) else
                   "none" if s.default in (None, ()) else str(s.default).lower())
        rows.append(f"| `{s.name}` | {s.unit} | {default} | {valid} | "
                    f"{s.description} |")
    return "\n".join(rows)


if __name__ == "__main__":
    print(table())
