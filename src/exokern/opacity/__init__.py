"""Sources of extinction, each in a module of its own: the alkali resonance lines (`alkali`),
molecular cross-sections from tables (`xsec`), collision-induced absorption (`cia`), Rayleigh
scattering (`rayleigh`) and clouds and hazes (`clouds`).

Tables are read from the files of the field as they are published; a file that cannot be read
as its layout says raises `TableError`, whose message names the file and what is wrong.
"""


class TableError(ValueError):
    """A table file that cannot be read, or that does not cover what a model needs."""
