"""The model averaged over the bins of an observed spectrum."""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

from exokern import _quadra

Array = npt.NDArray[np.float64]


class Binning:
    """The model averaged over each data bin: the mean over wavelength of the model's linear
    interpolant across the bin, integrated by the trapezoidal rule (`_quadra.cumtrapz`).

    The model's samples and the bins' edges make one grid in increasing wavelength; the model
    is interpolated at the edges, integrated once along the whole grid, and each bin's integral
    is the difference of the running integral at its two edges, divided by its width."""

    def __init__(self, wavelength: Array, low: Array, high: Array) -> None:
        wl = np.asarray(wavelength, dtype=np.float64)
        descending = len(wl) > 1 and wl[0] > wl[-1]
        lam = wl[::-1] if descending else wl
        if len(lam) < 2 or not np.all(np.diff(lam) > 0):
            raise ValueError("the model's wavelengths must be strictly monotonic")
        outside = (low < lam[0]) | (high > lam[-1])
        if np.any(outside):
            i = int(np.argmax(outside))
            raise ValueError(f"bin {i + 1} ({low[i]:g} .. {high[i]:g} micron) lies outside "
                             f"the model's wavelengths ({lam[0]:g} .. {lam[-1]:g} micron)")
        self.descending = descending
        grid = np.unique(np.concatenate([lam, low, high]))
        j = np.clip(np.searchsorted(lam, grid, side="right") - 1, 0, len(lam) - 2)
        self._j = j
        self._t = (grid - lam[j]) / (lam[j + 1] - lam[j])
        self._h = np.diff(grid)
        self._lo = np.searchsorted(grid, low)
        self._hi = np.searchsorted(grid, high)
        self._width = high - low

    def __call__(self, values: Array) -> Array:
        """The bin means of the model `values` (given at the model's wavelengths)."""
        y = values[::-1] if self.descending else values
        j, t = self._j, self._t
        on_grid = y[j] + t * (y[j + 1] - y[j])
        running = np.empty(len(on_grid))  # one per call: a model may serve several threads
        _quadra.cumtrapz(running, on_grid, self._h, math.inf)
        mean: Array = (running[self._hi] - running[self._lo]) / self._width
        return mean
