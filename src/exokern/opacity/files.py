"""Where a model finds its tables: the files named, or found by a molecule's name or a pair's in
a folder (the one given, else the environment variable EXOKERN_TABLES). exokern ships no line
data; a table that is not found is one line naming what was looked for and where to get it.
"""

from __future__ import annotations

import glob
import os
from typing import Mapping, Optional, Sequence, Union

from exokern.errors import require
from exokern.opacity import TableError, xsec

ENVIRONMENT = "EXOKERN_TABLES"
WHERE_XSEC = "ExoMol's cross sections, https://www.exomol.com/data/data-types/xsec_VO/"
WHERE_CIA = "HITRAN's collision-induced absorption, https://hitran.org/cia/"
# ExoMol names its files by isotopologue: the main one of each common molecule.
ISOTOPOLOGUES = {
    "H2O": "1H2-16O", "CO2": "12C-16O2", "CO": "12C-16O", "CH4": "12C-1H4", "NH3": "14N-1H3",
    "SO2": "32S-16O2", "HCN": "1H-12C-14N", "H2S": "1H2-32S", "C2H2": "12C2-1H2",
    "TiO": "48Ti-16O", "VO": "51V-16O", "FeH": "56Fe-1H", "PH3": "31P-1H3", "SiO": "28Si-16O",
    "OH": "16O-1H", "CS": "12C-32S", "NO": "14N-16O",
}


def folder(given: Optional[str] = None) -> Optional[str]:
    """The folder to search: the one given, else EXOKERN_TABLES, else none."""
    return given or os.environ.get(ENVIRONMENT) or None


def _search(patterns: list[str], where: Optional[str], what: str, source: str) -> str:
    place = folder(where)
    if place is None:
        raise TableError(f"no file given for {what} and no folder to look in: give NAME=FILE, "
                         f"or a folder of tables (--tables or {ENVIRONMENT}); get them from "
                         f"{source}")
    found = sorted({f for p in patterns for f in glob.glob(os.path.join(place, p))})
    if not found:
        raise TableError(f"no file for {what} in {place} (looked for {', '.join(patterns)}); "
                         f"get it from {source}")
    if len(found) > 1:
        raise TableError(f"{len(found)} files for {what} in {place} ({', '.join(found)}); "
                         "name the one to use")
    return found[0]


def molecule_file(name: str, where: Optional[str] = None) -> str:
    """The cross-section table of molecule `name` in the folder."""
    stems = [name] + ([ISOTOPOLOGUES[name]] if name in ISOTOPOLOGUES else [])
    patterns = [f"{stem}_*.h5" for stem in stems] + [f"{stem}__*.h5" for stem in stems]
    return _search(patterns, where, f"the molecule {name}", WHERE_XSEC)


def cia_file(pair: str, where: Optional[str] = None) -> str:
    """The collision-induced absorption file of a pair ("H2-H2") in the folder."""
    return _search([f"{pair}.cia", f"{pair}_*.cia"], where, f"the pair {pair}", WHERE_CIA)


def molecules_in(place: str) -> dict[str, str]:
    """Every cross-section table of a folder, by the molecule its file names (`mol_name`)."""
    h5py = require("h5py", "tables", "reading cross-section tables")
    found: dict[str, str] = {}
    for path in sorted(glob.glob(os.path.join(place, "*.h5"))):
        with h5py.File(path, "r") as stream:
            name = xsec.molecule_name(stream)
        if not name:
            continue
        if name in found:
            raise TableError(f"{place} holds two tables of {name}: {found[name]} and {path}")
        found[name] = path
    if not found:
        raise TableError(f"{place} holds no cross-section table (*.h5 with a mol_name)")
    return found


def resolve_molecules(molecules: Union[None, str, Mapping[str, str]]) -> dict[str, str]:
    """A model's molecules: a mapping of names to files as given (a file "" found in
    EXOKERN_TABLES), or every table of a folder; paths made absolute."""
    if molecules is None:
        return {}
    if isinstance(molecules, str):
        if not os.path.isdir(molecules):
            raise TableError(f"{molecules} is not a folder of tables (give a mapping of "
                             "molecules to files, or a folder)")
        molecules = molecules_in(molecules)
    resolved = {}
    for name, path in molecules.items():
        path = path or molecule_file(name)
        if not os.path.isfile(path):
            raise TableError(f"{path}: no such file (the table of {name}; get it from "
                             f"{WHERE_XSEC})")
        resolved[name] = os.path.abspath(path)
    return resolved


def resolve_pairs(pairs: Union[str, Sequence[str]]) -> list[str]:
    """A model's collision-induced absorption files, made absolute (a bare pair name such as
    "H2-He" is found in EXOKERN_TABLES)."""
    if isinstance(pairs, str):
        pairs = [pairs]
    resolved = []
    for path in pairs:
        if not os.path.isfile(path) and not path.endswith(".cia") and os.sep not in path:
            path = cia_file(path)
        if not os.path.isfile(path):
            raise TableError(f"{path}: no such file (get it from {WHERE_CIA})")
        resolved.append(os.path.abspath(path))
    return resolved
