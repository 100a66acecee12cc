"""Command-line options made from the registry (`exokern.params`): each option's name, type,
check, unit and help come from its entry, and its default from the registry unless a command
gives its own (a grid's coarser resolution, a retrieval's 50 layers), declared once in that
command. A value is checked by the registry's own code as it is parsed, so a bad one is
refused in one line before anything runs: "argument --layers: layers must be at least 2, got
1".
"""

from __future__ import annotations

import argparse
import dataclasses
import os
from typing import Any, Callable, Mapping, Optional, Sequence, Union

from exokern import params as registry
from exokern.opacity import files

Entry = Union[registry.Setting, registry.Parameter]

# Units that are not a word: their options' metavars (a word is its own, in capitals).
_METAVARS = {"cm-1": "WN", "cm s-2": "G", "cm2 g-1": "CM2G"}


def flag(name: str) -> str:
    """The option of a registry name: "wn_min" is --wn-min."""
    return "--" + name.replace("_", "-")


def shown(value: Any) -> str:
    """A default as the help shows it."""
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def converter(entry: Entry, name: Optional[str] = None,
              scale: float = 1.0) -> Callable[[str], Any]:
    """argparse type of an entry: the text parsed in the entry's kind (an unparsable text gets
    argparse's own "invalid int value"), then checked by the entry; `scale` converts a
    convenience unit into the entry's (the check then names the option's own unit)."""
    kind: type = entry.kind if isinstance(entry, registry.Setting) else float

    def convert(text: str) -> Any:
        value = kind(text)
        try:
            if scale != 1.0:
                # checked in the option's own unit, under the option's name
                number = dataclasses.replace(entry, name=name or entry.name).check(value)
                return None if number is None else number * scale
            return entry.check(value)
        except ValueError as err:
            raise argparse.ArgumentTypeError(str(err)) from None

    convert.__name__ = kind.__name__
    return convert


def _help(entry: Entry, default: Any, unit: Optional[str] = None) -> str:
    unit = entry.unit if unit is None else unit
    text = entry.description + (f", in {unit}" if unit not in ("", "1") else "")
    if default is None and isinstance(entry, registry.Parameter) and entry.unset:
        return f"{text} (default: unset, {entry.unset})"
    return f"{text} (default: {shown(default)})" if default is not None else text


def add_settings(group: Any, names: Sequence[str], defaults: Optional[Mapping[str, Any]] = None,
                 unset: bool = False, choices: Optional[Mapping[str, Sequence[str]]] = None,
                 notes: Optional[Mapping[str, str]] = None) -> None:
    """Options for the settings `names`, with the registry's defaults or those of `defaults`.
    With `unset`, every option defaults to None (the command then resolves its own defaults,
    as the retrieval does with a configuration file) while the help still shows the default.
    `choices` narrows a setting's choices; `notes` adds to an option's help."""
    defaults, choices, notes = defaults or {}, choices or {}, notes or {}
    for name in names:
        setting = registry.setting(name)
        default = defaults.get(name, setting.default)
        text = _help(setting, default) if name not in notes else (
            f"{setting.description}{_unit(setting)} ({notes[name]})")
        options: dict[str, Any] = dict(default=None if unset else default, help=text)
        if setting.kind is bool:
            options.update(action=argparse.BooleanOptionalAction)
        elif setting.kind in (dict, list):
            # one entry per option, repeated; the command makes the setting of them (`tables`)
            options.update(action="append", default=[],
                           metavar="NAME[=FILE]" if setting.kind is dict else "FILE",
                           help=f"{setting.description.split(',')[0]}: repeat for more")
        elif setting.choices:
            options.update(choices=tuple(choices.get(name, setting.choices)))
        else:
            options.update(type=converter(setting), metavar=_metavar(setting))
        group.add_argument(flag(setting.flag or name), dest=name, **options)


def _unit(entry: Entry) -> str:
    return f", in {entry.unit}" if entry.unit not in ("", "1") else ""


def _metavar(entry: Entry) -> str:
    if isinstance(entry, registry.Setting) and entry.kind is int:
        return "N"
    return _METAVARS.get(entry.unit, entry.unit.upper() if entry.unit.isalpha() else "X")


def add_parameters(group: Any, parameters: Sequence[registry.Parameter],
                   convenience: Optional[Mapping[str, tuple[str, str, float]]] = None) -> None:
    """Options for the `parameters`, all defaulting to None (the model's default). A
    parameter of `convenience` gets the option NAME-SUFFIX in that unit instead:
    {"rplanet": ("rjup", "R_Jup", R_JUPITER)} makes --rplanet-rjup, default 1."""
    convenience = convenience or {}
    for parameter in parameters:
        name = parameter.name
        if name in convenience:
            suffix, unit, scale = convenience[name]
            default = parameter.default / scale if parameter.default is not None else None
            group.add_argument(flag(f"{name}_{suffix}"), dest=name, default=None,
                               type=converter(parameter, f"{name}_{suffix}", scale),
                               metavar=suffix.upper(), help=_help(parameter, default, unit))
            continue
        group.add_argument(flag(name), default=None, type=converter(parameter),
                           metavar=_metavar(parameter),
                           help=_help(parameter, parameter.default))


def table_options(group: Any) -> None:
    """The tables of a model's extinction: --molecule NAME[=FILE], --cia FILE|PAIR (both
    repeatable), --rayleigh/--no-rayleigh, and --tables DIR, where names are looked up."""
    add_settings(group, ["molecules", "cia", "rayleigh"])
    group.add_argument("--tables", metavar="DIR",
                       help=f"a folder of tables, where --molecule NAME and --cia PAIR are "
                            f"found (default: ${files.ENVIRONMENT})")


def tables(args: Any) -> dict[str, Any]:
    """The static choices of the table options: molecules as a mapping of names to files (a
    name alone found in --tables), the collision pairs' files (a pair's name found there)."""
    molecules: dict[str, str] = {}
    for text in args.molecules or []:
        name, _, path = text.partition("=")
        name = name.strip()
        molecules[name] = path.strip() or files.molecule_file(name, args.tables)
    pairs = [text if ("." in os.path.basename(text) or os.sep in text)
             else files.cia_file(text, args.tables) for text in args.cia or []]
    found: dict[str, Any] = dict(molecules=molecules, cia=pairs)
    if args.rayleigh is not None:
        found["rayleigh"] = args.rayleigh
    return found


def molecules_named(argv: Sequence[str]) -> list[str]:
    """The molecules an argument list names with --molecule, before it is parsed: their
    parameters' options are made from them."""
    names = []
    for k, arg in enumerate(argv):
        if arg == "--molecule" and k + 1 < len(argv):
            names.append(argv[k + 1].partition("=")[0].strip())
        elif arg.startswith("--molecule="):
            names.append(arg[len("--molecule="):].partition("=")[0].strip())
    return [n for n in names if n]


def engine_options(group: Any, local: str) -> Any:
    """Where a command runs: a running dask scheduler (by address or scheduler file), or the
    workers this machine starts (`local` says which). Returns the group of mutually exclusive
    engines, for a command that offers more."""
    where = group.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="a running dask scheduler, e.g. tcp://10.0.0.1:8786")
    where.add_argument("--scheduler-file", metavar="FILE",
                       help="the scheduler file of a running cluster (dask-jobqueue, dask-mpi)")
    group.add_argument("--workers", type=positive_int, metavar="N",
                       help=f"{local} (default: one per core)")
    memory_option(group)
    return where


def memory_option(group: Any) -> None:
    """--memory-limit: the memory a run may take, instead of what the machine allows."""
    group.add_argument("--memory-limit", type=positive_float, metavar="GB",
                       help="memory the run may take, in GiB; larger runs are refused before "
                            "they start (default: this machine's memory and limits)")


def positive_int(text: str) -> int:
    """argparse type: a positive integer."""
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be positive, got {text}")
    return value


def positive_float(text: str) -> float:
    """argparse type: a positive finite number."""
    value = float(text)
    if not (value > 0 and value < float("inf")):
        raise argparse.ArgumentTypeError(f"must be positive, got {text}")
    return value


def pairs(texts: Sequence[str], option: str) -> dict[str, str]:
    """NAME=VALUE texts (of --set, --free) as a mapping of stripped names to their values."""
    found: dict[str, str] = {}
    for text in texts:
        name, sep, value = text.partition("=")
        if not sep:
            what = "NAME=VALUE" if option == "--set" else "NAME=KIND:LOW:HIGH"
            raise ValueError(f"{option} {text!r} is not {what}")
        found[name.strip()] = value
    return found


def numbers(texts: Sequence[str], option: str = "--set") -> dict[str, float]:
    """NAME=VALUE texts with numbers for values."""
    found: dict[str, float] = {}
    for name, value in pairs(texts, option).items():
        try:
            found[name] = float(value)
        except ValueError:
            raise ValueError(f"{option} {name}={value}: {value!r} is not a number") from None
    return found
