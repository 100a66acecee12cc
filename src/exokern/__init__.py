"""exokern: native kernels for radiative transfer in planetary atmospheres.

The extension modules hold the kernels:

- ``exokern._quadra``: trapezoidal integrators, optical depth, emergent intensity;
- ``exokern._alkali``: alkali (Na, K) line extinction;
- ``exokern._simpson``: Simpson integration on irregular grids;
- ``exokern._kelvo``: temperature-pressure profiles.

Importing this package does not import numpy or the extension modules.
"""

import os as _os

__version__ = "0.1.0"
__all__ = ["get_include", "__version__"]


def get_include() -> str:
    """Return the folder that holds ``exokern/exokern.h``, the C header of the native
    functions the extension modules export (use it as ``-I`` when compiling against them)."""
    return _os.path.join(_os.path.dirname(__file__), "include")
