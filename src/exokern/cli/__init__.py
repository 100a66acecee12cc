"""The commands: `exokern-spectrum` (`spectrum`), `exokern-grid` (`grid`) and
`exokern-retrieve` (`retrieve`), each a thin layer that parses its options (made from the
registry, `options`), calls library functions, writes its files through one writer and prints
a summary (`common`); their figures are drawn by `plots`."""
