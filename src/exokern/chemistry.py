"""The gas's composition: free constant volume mixing ratios of the chosen molecules, the rest
hydrogen and helium at the solar ratio, and the mean molecular mass that follows.

The filler gas is that of `exokern.atmosphere`: per hydrogen atom 0.5 H2 and 0.085 He (He/H =
10^(10.93 - 12), Asplund et al. 2009, ARA&A 47, 481), so He / H2 = 0.17 by number. Masses come
from the molecules' formulas and the standard atomic weights.
"""

from __future__ import annotations

import functools
import re
from typing import Mapping

from exokern.atmosphere import PARTICLES_PER_H

# Standard atomic weights (IUPAC 2021, abridged to the elements of planetary atmospheres), u.
ATOMIC_MASS = {
    "H": 1.008, "He": 4.002602, "C": 12.011, "N": 14.007, "O": 15.999, "F": 18.998403,
    "Na": 22.98976928, "Mg": 24.305, "Al": 26.9815384, "Si": 28.085, "P": 30.973761998,
    "S": 32.06, "Cl": 35.45, "K": 39.0983, "Ca": 40.078, "Ti": 47.867, "V": 50.9415,
    "Cr": 51.9961, "Fe": 55.845,
}
FILLER = ("H2", "He")
HE_PER_H2 = (PARTICLES_PER_H - 0.5) / 0.5


@functools.lru_cache(maxsize=None)
def molecular_mass(formula: str) -> float:
    """The mass (u) of a molecule from its formula: "H2O", "CO2", "TiO", "C2H2". ValueError for a
    formula it cannot read."""
    parts = re.findall(r"([A-Z][a-z]?)(\d*)", formula)
    if not parts or "".join(e + n for e, n in parts) != formula:
        raise ValueError(f"cannot read the formula {formula!r} (write it as H2O, CO2, TiO, ...)")
    mass = 0.0
    for element, count in parts:
        if element not in ATOMIC_MASS:
            raise ValueError(f"{formula}: no atomic weight for {element}")
        mass += ATOMIC_MASS[element] * (int(count) if count else 1)
    return mass


def composition(vmr: Mapping[str, float]) -> dict[str, float]:
    """The volume mixing ratio of every constituent: the given ones (each between 0 and 1), then
    H2 and He filling the rest at the solar ratio. ValueError where the given ones sum above
    1."""
    total = 0.0
    for name, x in vmr.items():
        if not 0.0 <= x <= 1.0:
            raise ValueError(f"the mixing ratio of {name} must lie between 0 and 1, got {x:g}")
        total += x
    if total > 1.0:
        listed = ", ".join(f"{k} {v:.3g}" for k, v in vmr.items())
        raise ValueError(f"the mixing ratios sum to {total:.6g}, above 1 ({listed})")
    rest = 1.0 - total
    h2 = rest / (1.0 + HE_PER_H2)
    found = dict(vmr)
    found.update(H2=h2, He=rest - h2)
    return found


def mean_mass(mixture: Mapping[str, float]) -> float:
    """The mean molecular mass (u) of a composition (mixing ratios summing to 1)."""
    return sum(x * molecular_mass(name) for name, x in mixture.items())
