"""What every module shares: import, numpy binding, docstrings, method tables, parse errors."""

import importlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from exokern import _quadra

MODULES = {
    "_quadra": "Python wrapper for trapezoidal-rule integration.",
    "_alkali": "Wrapper for the alkali extinction-coeficient calculation.",
    "_simpson": "Python wrapper for Simpson integration.",
    "_kelvo": "Python wrapper for the temperature-profile models.",
    "_opacity": "Extinction of spectral lines and of tabulated cross sections.",
    "_forward": "The forward model's kernels: chords, transit depth, Planck.",
}


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)


@pytest.mark.parametrize("name, doc", MODULES.items())
def test_module_docstring(name, doc):
    assert importlib.import_module(f"exokern.{name}").__doc__ == doc


def test_quadra_method_table_order():
    names = [n for n in vars(_quadra) if not n.startswith("_")]
    assert names == ["trapz", "trapz2D", "cumtrapz", "optdepth", "intensity", "cumoptdepth"]


@pytest.mark.parametrize("name", list(MODULES))
def test_import_warns_about_nothing(name):
    # numpy 2 deprecates numpy.core; the modules bind numpy's C API through numpy._core there.
    r = run_python(f"import warnings; warnings.simplefilter('error'); import exokern.{name}")
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""


@pytest.mark.parametrize("name", list(MODULES))
def test_import_without_numpy_fails_with_importerror(name):
    r = run_python(f"""
        import sys
        for mod in ("numpy", "numpy.core", "numpy._core"):
            sys.modules[mod] = None   # makes every import of numpy fail
        try:
            import exokern.{name}
        except ImportError as e:
            print("ImportError:", e)
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ImportError: numpy.core.multiarray failed to import"
    assert "Error" in r.stderr  # the underlying error is printed first


def padded(lines, width, first=None):
    """A docstring whose lines are blank-padded to `width` (`first` for the summary line)."""
    widths = [first or width] + [width] * (len(lines) - 1)
    return "".join(line.ljust(w) + "\n" for line, w in zip(lines, widths))


DOCS = {
    "trapz": padded(
        ["Integrate the data array using the trapezoidal rule.", "", "Parameters", "-" * 10,
         "data: 1D double ndarray", "    Sampled function (Y-axis) to integrate.",
         "intervals: 1D double ndarray", "    Intervals between the data samples (X-axis).", "",
         "Returns", "-" * 7, "res: double", "    The integral of data over the given intervals."],
        60, 59),
    "trapz2D": padded(
        ["Integrate the data array using the trapezoidal rule.", "", "Parameters", "-" * 10,
         "data: 2D double ndarray", "    Sampled function (Y-axis) to integrate.",
         "intervals: 1D double ndarray", "    Intervals between the data samples (X-axis).",
         "nint: 1D integer ndarray", "    Number of intervals to integrate.", "",
         "Returns", "-" * 7, "integ: 1D double ndarray",
         "    The integral of data over the given intervals."],
        60, 59),
    "cumtrapz": padded(
        ["Calculate the cumulative integral of a data array using the",
         "trapezoidal-rule.  Stop calculation if it reaches the threshold.", "",
         "Parameters:", "-" * 11,
         "output: 1D double ndarray", "   The output array to store the results.",
         "data: 1D double ndarray", "   Sampled function (Y-axis) to integrate.",
         "intervals: 1D double ndarray", "   Intervals between the data samples (X-axis).",
         "threshold: double", "   Maximum threshold value to integrate.", "",
         "Returns:", "-" * 8, "ind: integer", "   The index where the integration stopped."],
        64, 63),
    "optdepth": padded(
        ["Integrate optical depth using the trapezoidal rule.", "", "Parameters", "-" * 10,
         "data: 2D double ndarray", "    Sampled function (Y-axis) to integrate.",
         "intervals: 1D double ndarray", "    Intervals between the data samples (X-axis).",
         "taumax: Float", "    Maximum optical depth to compute.",
         "ideep: 1D integer ndarray", "    Flag of layer that reached taumax.",
         "ilay: Integer", "    Current layer index.", "",
         "Returns", "-" * 7, "tau: 1D double ndarray",
         "    2x the integral of data over the given intervals."],
        60, 59),
    "intensity": padded(
        ["Intensity radiative-transfer integration under plane-parallel, LTE", "approximation:",
         "  I = integ{B * exp(-tau/mu)} dtau/mu", "", "Parameters:", "-" * 11,
         "tau: 2D double ndarray", "   Optical depth as a function of altitude and wavelength.",
         "ideep: 1D integer ndarray",
         "   Bottom-layer index of the atmosphere as a function of wavelength.",
         "planck: 2D dloble ndarray",
         "   Planck blackbody emission as a funcrion of altitude and wavelength.",
         "mu: 1D float ndarray", "   Cosine of angles between normal and the the ray paths.",
         "rtop: Integer", "   Top-layer index of the atmosphere.", "",
         "Returns:", "-" * 8, "intensity: 2D double ndarray",
         "   Intensity at the top of an atmosphere as a function of mu and", "   wavelength."],
        71, 70),
}


@pytest.mark.parametrize("name", list(DOCS))
def test_quadra_docstrings(name):
    assert getattr(_quadra, name).__doc__ == DOCS[name]


@pytest.mark.parametrize(
    "name, args",
    [("trapz", (np.ones(2),)), ("trapz2D", (np.ones((2, 2)), np.ones(1))),
     ("cumtrapz", (np.zeros(3), np.ones(3), np.ones(2))),
     ("optdepth", (np.ones((2, 2)), np.ones(1), 1.0, np.array([-1, -1], np.intc))),
     ("intensity", (np.ones((2, 1)), np.zeros(1, np.intc), np.ones((2, 1)), np.ones(1))),
     ("optdepth", (np.ones((2, 2)), np.ones(1), "5", np.array([-1, -1], np.intc), 1)),
     ("cumtrapz", (np.zeros(3), np.ones(3), np.ones(2), 1.0, 2.0))],
)
def test_wrong_arguments_raise_typeerror(name, args):
    # Too few, too many or wrongly typed scalars: the parser's TypeError, nothing touched.
    before = [a.tobytes() for a in args if isinstance(a, np.ndarray)]
    with pytest.raises(TypeError, match=f"{name}|must be real number"):
        getattr(_quadra, name)(*args)
    assert [a.tobytes() for a in args if isinstance(a, np.ndarray)] == before


def test_get_include_finds_the_public_header():
    import pathlib
    import re

    import exokern

    header = pathlib.Path(exokern.get_include(), "exokern", "exokern.h")
    declared = set(re.findall(r"EXOKERN_API \w+ \*?(\w+)\(", header.read_text()))
    assert {"tdiff", "itrapz", "msg", "pyramidsearch", "simpson", "xi"} <= declared
    assert "#include <Python.h>" not in header.read_text()
