"""Optical depth and emergent intensity of a small layered atmosphere, with exokern._quadra.

A toy: 30 layers whose temperature rises inward, a grey extinction plus one
absorption band, integrated layer by layer with optdepth and then through intensity.
"""

import numpy as np

from exokern import _quadra

nlayers, nwave = 30, 8
depth = np.linspace(0.0, 3.0e7, nlayers)  # path length from the top, cm
dz = np.diff(depth)
wn = np.linspace(1000.0, 8000.0, nwave)  # cm-1
temp = np.linspace(800.0, 1800.0, nlayers)  # K
band = 1.0 + 20.0 * np.exp(-(((wn - 4000.0) / 600.0) ** 2))
ext = 1.0e-6 * np.outer(np.logspace(-3, 0, nlayers), band)  # cm-1

# Optical depth, one call per layer as the path grows; ideep marks where tau passes taumax.
taumax = 10.0
ideep = np.full(nwave, -1, dtype=np.intc)
tau = np.zeros((nlayers, nwave))
for ilay in range(1, nlayers):
    tau[ilay] = 0.5 * _quadra.optdepth(ext[: ilay + 1], dz[:ilay], 2 * taumax, ideep, ilay)
ideep[ideep < 0] = nlayers - 1

# Planck emission per layer and wavenumber (erg s-1 cm-2 sr-1 / cm-1).
h, c, k = 6.62607015e-27, 2.99792458e10, 1.380649e-16
planck = 2 * h * c**2 * wn**3 / np.expm1(h * c * wn / (k * temp[:, None]))

mu = np.array([1.0, 0.5])
inten = _quadra.intensity(tau, ideep, planck, mu, 0)

np.set_printoptions(precision=4, linewidth=100)
print("wavenumber (cm-1):", wn)
print("bottom layer reached (ideep):", ideep)
print("optical depth at the bottom layer:", tau[ideep, np.arange(nwave)])
for m, row in zip(mu, inten):
    tb = h * c * wn / k / np.log1p(2 * h * c**2 * wn**3 / row)
    print(f"mu = {m}: intensity {row}")
    print(f"         brightness temperature (K) {tb}")
