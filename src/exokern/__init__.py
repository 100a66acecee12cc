"""exokern: native kernels for radiative transfer in planetary atmospheres.

The extension modules hold the kernels:

- ``exokern._quadra``: trapezoidal integrators, optical depth, emergent intensity;
- ``exokern._alkali``: alkali (Na, K) line extinction;
- ``exokern._simpson``: Simpson integration on irregular grids;
- ``exokern._kelvo``: temperature-pressure profiles;
- ``exokern._opacity``: extinction from tabulated cross sections;
- ``exokern._forward``: the chords and the transit depth, Planck emission.

Importing this package does not import numpy or the extension modules.
"""

import os as _os

__version__ = "0.1.0"
__all__ = ["get_include", "simd", "simd_paths", "__version__"]


def get_include() -> str:
    """Return the folder that holds ``exokern/exokern.h``, the C header of the native
    functions the extension modules export (use it as ``-I`` when compiling against them)."""
    return _os.path.join(_os.path.dirname(__file__), "include")


def simd() -> str:
    """The vector path the kernels take in this process: ``"avx512"`` (8 lanes), ``"avx2"``
    (4 lanes) or ``"scalar"``. The widest the CPU supports, unless the environment variable
    ``EXOKERN_SIMD`` named another when the modules were imported. Every path gives the same
    bits."""
    from exokern import _quadra

    return str(getattr(_quadra, "_simd"))


def simd_paths() -> "tuple[str, ...]":
    """The vector paths this CPU can run, narrowest first (``"scalar"`` always)."""
    from exokern import _quadra

    return tuple(getattr(_quadra, "_simd_paths"))
