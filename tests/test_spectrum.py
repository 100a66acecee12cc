"""The emission-spectrum program: radiative-transfer physics through the package, and the
command line end to end."""

import importlib.util
import math
import os
import signal
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest

from exokern import _quadra, _simpson
from exokern import atmosphere as atm
from exokern import radiation as rad
from exokern.atmosphere import R_JUPITER
from exokern.cli import common
from exokern.cli import spectrum as sp
from exokern.errors import MissingDependency
from exokern.model import ForwardModel
from exokern.opacity import alkali

# A small grid that still resolves the line cores and the continuum photosphere.
SMALL = dict(nlayers=40, resolution=5000.0)


def compute(nlayers=100, resolution=20000.0, nangles=8, rayleigh=True, **params):
    """The emission model's result on a grid of this size."""
    return ForwardModel(layers=nlayers, resolution=resolution, angles=nangles,
                        rayleigh=rayleigh)(**params)


@pytest.fixture(scope="module")
def guillot():
    return compute(**SMALL)


@pytest.mark.parametrize("temperature", [800.0, 1500.0, 3000.0])
@pytest.mark.parametrize("nangles", [1, 3, 8])
def test_isothermal_atmosphere_emits_planck(temperature, nangles):
    # Lines, continuum and every viewing angle see one temperature: I = B exactly, since the
    # trapezoidal sum in exp(-tau/mu) telescopes, and the Gauss rule integrates I mu exactly,
    # so F = pi B up to the rounding of the sums.
    res = compute(nlayers=30, resolution=2000.0, isothermal=temperature, nangles=nangles)
    b = rad.planck(res.wn, [temperature])[0]
    assert res.emission.intensity.shape == (nangles, len(res.wn))
    inten = res.emission.intensity
    np.testing.assert_allclose(inten, np.broadcast_to(b, inten.shape),
                               rtol=1e-12)
    np.testing.assert_allclose(res.emission.flux, math.pi * b, rtol=1e-12)
    np.testing.assert_allclose(res.emission.tb, temperature, rtol=1e-10)


@pytest.mark.parametrize("nlayers, tol", [(200, 2e-3), (400, 5e-4)])
def test_linear_source_gives_eddington_barbier(nlayers, tol):
    # B = a + b tau in a semi-infinite atmosphere: I(mu) = a + b mu exactly, and the flux is
    # pi (a + 2b/3). On a log-spaced tau grid with step ratio e^d the trapezoid in
    # exp(-tau/mu) is off by about b mu d^2 / 6 (d = 0.089 for 200 layers, 0.044 for 400).
    tau = np.concatenate(([0.0], np.logspace(-6, math.log10(60.0), nlayers - 1)))
    a, b = np.array([1.0, 0.0, 2.0]), np.array([1.0, 1.0, 5.0])
    planck = a + b * tau[:, None]
    taus = np.repeat(tau[:, None], 3, axis=1)
    ideep = np.full(3, nlayers - 1, dtype=np.intc)
    mu, w = rad.gauss_cosines(6)
    inten = _quadra.intensity(taus, ideep, planck, mu, 0)
    np.testing.assert_allclose(inten, a + b * mu[:, None], rtol=tol)
    np.testing.assert_allclose(rad.hemisphere_flux(inten, mu, w), math.pi * (a + 2 * b / 3),
                               rtol=tol)


def test_linear_source_error_falls_as_step_squared():
    errors = []
    for nlayers in (100, 200, 400):
        tau = np.concatenate(([0.0], np.logspace(-6, math.log10(60.0), nlayers - 1)))
        inten = _quadra.intensity(tau[:, None].copy(), np.array([nlayers - 1], np.intc),
                                  (1.0 + tau)[:, None].copy(), np.array([0.5]), 0)
        errors.append(abs(inten[0, 0] - 1.5))
    assert 3.0 < errors[0] / errors[1] < 5.0 and 3.0 < errors[1] / errors[2] < 5.0


@pytest.mark.parametrize("nangles, tol", [(4, 3e-4), (8, 2e-5)])
def test_gauss_flux_agrees_with_simpson_over_many_cosines(nangles, tol):
    # The same atmosphere's intensity at 400 equally spaced cosines, I mu integrated by the
    # Simpson rule (mu I = 0 at mu = 0), is the reference; measured differences: 1.2e-4 with
    # 4 Gauss cosines, 3.6e-6 with 8.
    res = compute(nlayers=40, resolution=2000.0, nangles=nangles)
    mus = np.linspace(0.0, 1.0, 401)
    e = res.emission
    inten = _quadra.intensity(e.tau, e.ideep, rad.planck(res.wn, res.temperature),
                              mus[1:].copy(), 0)
    y = np.vstack([np.zeros(inten.shape[1]), inten * mus[1:, None]])
    h = np.diff(mus)
    counts = np.full(y.shape[1], len(mus), dtype=np.intc)
    reference = 2 * math.pi * _simpson.simps2D(y, h, counts, *_simpson.geth(h))
    np.testing.assert_allclose(res.emission.flux, reference, rtol=tol)


def test_hydrostatic_altitudes_of_an_isothermal_atmosphere():
    # Constant scale height: z = H ln(p_bottom / p), which the trapezoid in ln p gets exactly.
    p = atm.pressure_grid(25)
    t = np.full(25, 1300.0)
    z = atm.altitudes(p, t)
    h = atm.scale_height(1300.0)
    np.testing.assert_allclose(z, h * np.log(p[-1] / p), rtol=1e-12, atol=1e-6 * h)
    assert np.all(atm.path_intervals(z) > 0)


@pytest.mark.parametrize("nlayers", [10, 40, 100])
def test_grey_optical_depth_is_kappa_p_over_g(nlayers):
    # Hydrostatic equilibrium makes the column mass above pressure p equal to p / g, so a grey
    # opacity kappa gives tau = kappa (p - p_top) / g. At constant temperature the path lengths
    # are H d(ln p) and the extinction kappa p / (g H): the trapezoid in ln p of a function
    # growing as p, which overestimates each step by exactly (d/2) coth(d/2) for the log step d.
    p = atm.pressure_grid(nlayers)
    t = np.full(nlayers, 1400.0)
    z = atm.altitudes(p, t)
    kappa = 0.03
    ext = np.repeat((kappa * atm.mass_density(p, t))[:, None], 2, axis=1)
    tau, ideep = rad.optical_depth(ext, atm.path_intervals(z), taumax=1e30)
    d = math.log(p[1] / p[0])
    exact = kappa * (p - p[0]) / atm.GRAVITY * (d / 2) / math.tanh(d / 2)
    assert tau[0].tolist() == [0.0, 0.0]
    np.testing.assert_allclose(tau[1:], np.repeat(exact[1:, None], 2, axis=1), rtol=1e-10)
    assert ideep.tolist() == [nlayers - 1] * 2
    # A wavelength stops at the first layer past taumax and keeps its depth there.
    tau, ideep = rad.optical_depth(ext, atm.path_intervals(z), taumax=1.0)
    k = ideep[0]
    assert exact[k - 1] <= 1.0 < exact[k] and tau[k, 0] == pytest.approx(exact[k], rel=1e-10)
    assert not tau[k + 1:].any()


def test_grey_photosphere_and_brightness_temperature():
    # Without the lines (abundances 30 dex below solar) the grey photosphere lies at
    # tau = 2/3, p = (2/3) g / kappa, at every wavelength; 100 layers put the step error of
    # the optical depth at (d/2) coth(d/2) - 1 = 0.45 per cent.
    res = compute(nlayers=100, resolution=1000.0, rayleigh=False, na=-30.0, k=-30.0)
    kappa = 10.0 ** atm.GUILLOT_PARAMS[0]
    np.testing.assert_allclose(res.emission.p_photosphere, (2 / 3) * atm.GRAVITY / kappa, rtol=0.01)
    t_phot = np.interp(math.log(2 / 3 * atm.GRAVITY / kappa), np.log(res.pressure),
                       res.temperature)
    # Emission comes from around tau = 2/3 (the Eddington-Barbier estimate), weighted to the
    # hotter layers in the Wien tail: the brightness temperatures stay within 10 per cent.
    assert np.all(np.abs(res.emission.tb / t_phot - 1.0) < 0.1)


def _core_and_continuum(res, wn0):
    k = alkali.nearest_sample(res.wn, wn0)
    far = np.abs(res.wn - wn0)
    return k, res.emission.tb[k], np.median(res.emission.tb[(far > 1500) & (far < 2500)])


@pytest.mark.parametrize("species", alkali.SPECIES, ids=lambda s: s.name)
def test_line_cores_are_dark_where_temperature_falls_outward(guillot, species):
    assert guillot.temperature[0] < guillot.temperature[-1]
    for wn0 in species.wn0:
        k, core, continuum = _core_and_continuum(guillot, wn0)
        assert core < continuum - 100.0
        # The core is the darkest sample within 10 cm^-1 and emits at the top temperature.
        near = np.flatnonzero(np.abs(guillot.wn - wn0) < 10.0)
        assert abs(near[np.argmin(guillot.emission.tb[near])] - k) <= 1
        assert core == pytest.approx(guillot.temperature[0], rel=0.01)
        assert guillot.emission.p_photosphere[k] < 1e-6 * atm.BAR


def test_line_cores_are_bright_in_an_inversion():
    # Strong visible absorption (gamma = 10^0.5) heats the upper atmosphere.
    res = compute(**SMALL, logg1=0.5, logg2=0.5)
    assert res.temperature[0] > res.temperature[30]
    for species in alkali.SPECIES:
        for wn0 in species.wn0:
            _, core, continuum = _core_and_continuum(res, wn0)
            assert core > continuum + 100.0


def test_lines_follow_their_abundance(guillot):
    # Without sodium its doublet vanishes while potassium's stays.
    res = compute(**SMALL, na=-30.0)
    for wn0 in alkali.SODIUM.wn0:
        _, core, continuum = _core_and_continuum(res, wn0)
        assert core == pytest.approx(continuum, rel=0.02)
    k = alkali.nearest_sample(res.wn, alkali.POTASSIUM.wn0[0])
    assert res.emission.tb[k] == pytest.approx(guillot.emission.tb[k], rel=1e-6)


def test_doubling_the_resolution_barely_changes_the_band_flux(guillot):
    # Unresolved line centres keep their whole strength (the centre correction) and the wings
    # are resolved, so the flux over 10000-20000 cm^-1 moves by about 1e-6 (measured 2e-7).
    fine = compute(**dict(SMALL, resolution=2 * SMALL["resolution"]))
    assert abs(len(fine.wn) - 2 * len(guillot.wn)) <= 1
    assert fine.emission.band_flux == pytest.approx(guillot.emission.band_flux, rel=1e-4)
    # Band flux by the Simpson rule agrees with numpy's trapezoid on this fine grid.
    trap = 0.5 * np.sum((fine.emission.flux[1:] + fine.emission.flux[:-1]) * np.diff(fine.wn))
    assert fine.emission.band_flux == pytest.approx(trap, rel=1e-5)


@pytest.mark.parametrize("n", [3, 39, 40])
def test_band_integral_is_exact_for_parabolas_on_irregular_grids(n, rng):
    # The Simpson pairs fit the parabola through their three samples whatever the widths;
    # an even count ends with one trapezoid, exact for a straight line.
    x = np.sort(rng.uniform(0.0, 3.0, n))
    y = 3 * x**2 - 2 * x + 1 if n % 2 else 4 * x + 1
    prim = x**3 - x**2 + x if n % 2 else 2 * x**2 + x
    assert rad.band_integral(x, y) == pytest.approx(prim[-1] - prim[0], rel=1e-12)


@pytest.mark.parametrize("line", range(4))
def test_each_line_keeps_its_strength(line):
    # Where the grid is coarser than the Voigt width (the upper layers) the centre sample
    # carries what the sampled Lorentz core misses, so the core holds the whole K f; where
    # the core is resolved (100 bar, L = 8 cm^-1) it holds the Lorentz share (2/pi) atan(X/L),
    # to the sampling error of the 0.85 cm^-1 steps.
    species = alkali.SPECIES[line // 2]
    one = alkali.Species(species.name, species.mass, species.log_eps, species.detuning,
                        species.lorentz, species.wn0[line % 2:][:1],
                        species.oscstr[line % 2:][:1], species.labels[line % 2:][:1])
    p = atm.pressure_grid(11)
    t = atm.temperatures(p)
    wn = rad.wavenumber_grid(11000.0, 19000.0, 20000.0)
    ext, _ = alkali.alkali_extinction(p, t, wn, species=[one])
    sigma = ext / (alkali.mixing_ratio(one) * atm.number_density(p, t))[:, None]
    cell = np.empty_like(wn)
    cell[1:-1] = 0.5 * (wn[2:] - wn[:-2])
    strength = 8.852821681767784e-13 * one.oscstr[0]  # pi e^2 / (m_e c^2) f, in cm
    for m, expected, rtol in ((0, 1.0, 1e-9), (6, 1.0, 1e-9), (10, None, 1e-3)):
        x = alkali.detuning(one, t[m])
        core = np.abs(wn - one.wn0[0]) < x
        if expected is None:
            expected = 2 / np.pi * np.arctan(x / alkali.lorentz_width(one, p[m], t[m]))
        assert np.sum(sigma[m, core] * cell[core]) / strength == pytest.approx(expected,
                                                                               rel=rtol)


def test_lines_with_cores_across_the_grid_end_are_left_out():
    p = atm.pressure_grid(10)
    t = atm.temperatures(p)
    # A grid ending between the Na lines cuts through both cores (X is 30-60 cm^-1)...
    wn = rad.wavenumber_grid(12000.0, 16965.0, 2000.0)
    ext, skipped = alkali.alkali_extinction(p, t, wn)
    assert skipped == ["Na D2", "Na D1"]
    assert np.all(np.isfinite(ext)) and np.all(ext > 0)
    # ... one ending below both cores gets their wings alone.
    wn = rad.wavenumber_grid(12000.0, 16850.0, 2000.0)
    ext, skipped = alkali.alkali_extinction(p, t, wn, species=[alkali.SODIUM])
    assert skipped == [] and np.all(ext[:, -1] > ext[:, -100])


# ---- the command -----------------------------------------------------------------------

SMALL_ARGS = ["--layers", "20", "--resolution", "1000", "--angles", "4"]


def _has_matplotlib():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def _has_netcdf():
    try:
        sp._check_xarray()  # an xarray too old for the files is as good as none
    except (ImportError, MissingDependency):
        return False
    return importlib.util.find_spec("h5netcdf") is not None


@pytest.fixture(scope="module")
def both_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("both")
    args = SMALL_ARGS + ["--geometry", "both", "--isothermal", "1300", "--no-plot", "--output",
                         str(folder)]
    assert sp.main(args) == 0
    return folder


@pytest.mark.parametrize("name", ["spectrum", "transmission"])
def test_the_netcdf_spectrum_round_trips_through_xarray(both_files, name):
    xr = pytest.importorskip("xarray", minversion="2025.8")
    pytest.importorskip("h5netcdf")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ds = xr.load_dataset(both_files / f"{name}.nc", engine="h5netcdf")
    with np.load(both_files / f"{name}.npz") as npz:
        arrays = dict(npz)
    for key, values in arrays.items():
        if key in ("rplanet", "rstar", "pref"):  # parameters: scalar coordinates, in their
            continue                              # registry units (pref in bar, not barye)
        assert np.array_equal(ds[key].values, values), key
    assert ds["pref"].values == 0.1 and ds["pref"].attrs["units"] == "bar"
    assert float(ds["isothermal"]) == 1300.0 and "log_pcloud" not in ds  # unset: left out
    for key, var in ds.variables.items():
        assert var.attrs.get("units") and var.attrs.get("long_name"), key
    assert ds["wn"].dims == ("wn",) and ds["wavelength"].dims == ("wn",)
    if name == "spectrum":
        assert ds["intensity"].dims == ("mu", "wn") and ds["temperature"].dims == ("pressure",)
        assert ds["flux"].attrs["units"] == "erg s-1 cm-1"
    model = ForwardModel.from_description(ds.attrs["exokern_model"])
    assert model.static["layers"] == 20 and ds.attrs["exokern_version"]
    assert "--geometry both --isothermal 1300" in ds.attrs["history"]


def test_the_netcdf_spectrum_has_the_grid_s_names_and_units(both_files, tmp_path):
    xr = pytest.importorskip("xarray", minversion="2025.8")
    pytest.importorskip("h5netcdf")
    pytest.importorskip("zarr")
    pytest.importorskip("dask")
    from exokern import grid as eg
    model = ForwardModel("both", layers=20, resolution=1000.0, angles=4)
    eg.create_store(str(tmp_path / "g.zarr"), eg.Grid.from_axes({"isothermal": [1300.0]}),
                    model, {}, chunk=1)
    store = xr.open_zarr(tmp_path / "g.zarr", consolidated=False)
    spectra = {n: xr.open_dataset(both_files / f"{n}.nc", engine="h5netcdf")
               for n in ("spectrum", "transmission")}
    shared = 0
    for ds in spectra.values():
        with ds:
            for key in set(ds.variables) & set(store.variables):
                assert {k: ds[key].attrs[k] for k in ("units", "long_name")} == \
                    {k: store[key].attrs[k] for k in ("units", "long_name")}, key
                shared += 1
    assert shared == 10  # wn, wavelength and isothermal in each; flux, tb; depth, radius


def test_without_xarray_the_command_says_so_and_writes_the_rest(tmp_path, capsys,
                                                                 monkeypatch):
    # both missing: where xarray is not installed (Python 3.9) the note names it first
    monkeypatch.setitem(sys.modules, "xarray", None)  # import raises ImportError
    monkeypatch.setitem(sys.modules, "h5netcdf", None)
    assert sp.main(SMALL_ARGS + ["--no-plot", "--output", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert ('note        no netCDF files: xarray is missing: the netCDF spectra needs pip '
            'install "exokern[netcdf]"') in out
    assert os.listdir(tmp_path) == ["spectrum.npz"]


def test_command_writes_its_files(tmp_path, capsys):
    assert sp.main(SMALL_ARGS + ["--output", str(tmp_path / "out")]) == 0
    out = capsys.readouterr().out
    npz = tmp_path / "out" / "spectrum.npz"
    assert f"wrote       {npz}" in out and "20 layers" in out
    with np.load(npz) as data:
        assert data["flux"].shape == data["wn"].shape == data["tb"].shape
        assert data["intensity"].shape == (4, len(data["wn"]))
        assert data["temperature"].shape == (20,)
        assert np.all(np.isfinite(data["tb"]))
    png = tmp_path / "out" / "spectrum.png"
    if not _has_matplotlib():
        assert "matplotlib is missing" in out and not png.exists()
        pytest.skip("matplotlib is not installed: figure not checked")
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_command_without_matplotlib_still_writes_numbers(tmp_path, capsys, monkeypatch):
    for name in list(sys.modules):
        if name == "matplotlib" or name.startswith("matplotlib."):
            monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import raises ImportError
    assert sp.main(SMALL_ARGS + ["--isothermal", "1200", "--output", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert 'matplotlib is missing (pip install "exokern[plot]")' in out
    assert (tmp_path / "spectrum.npz").exists() and not (tmp_path / "spectrum.png").exists()


@pytest.mark.parametrize("args, message", [
    (["--layers", "-5"], "argument --layers: layers must be at least 2, got -5"),
    (["--layers", "1"], "argument --layers: layers must be at least 2, got 1"),
    (["--layers", "ten"], "argument --layers: invalid int value: 'ten'"),
    (["--resolution", "0"], "argument --resolution: resolution must be positive"),
    (["--angles", "0"], "argument --angles: angles must be at least 1"),
    (["--angles", "201"], "argument --angles: angles must be at most 200, got 201"),
    (["--isothermal", "-100"], "argument --isothermal: isothermal must be positive"),
    (["--na", "nan"], "argument --na: na must be finite, got nan"),
    (["--gravity", "0"], "argument --gravity: gravity must be positive, got 0"),
    (["--ptop", "10", "--pbottom", "1"], "ptop (10) must be below pbottom (1)"),
    (["--wn-min", "2e4", "--wn-max", "1e4"], "wn_min (20000) must be below wn_max"),
    (["--resolution", "1e9"], "is too large"),
    (["--resolution", "1", "--wn-min", "1e4", "--wn-max", "1.5e4"], "fewer than 3 samples"),
    (["--params", "-1.5", "-0.8", "1", "5", "1200", "100"], "not finite and positive"),
    (["--bogus"], "unrecognized arguments: --bogus"),
    (["--na", "1000"], "argument --na: na = 1000 dex puts more Na atoms than gas particles"),
    (["--k", "400"], "k = 400 dex puts more K atoms than gas particles"),
    (["--wn-min", "5e-324", "--wn-max", "1e308"], "is too large"),
    (["--resolution", "1e308"], "is too large"),
    (["--geometry", "transmission", "--layers", "6700000", "--resolution", "10"], "is too large"),
    (["--layers", "2", "--resolution", "1.4e7", "--angles", "200"], "GiB"),
    (["--geometry", "transmission", "--layers", "300000", "--resolution", "200"], "hours"),
    (["--geometry", "transmission", "--rstar-rsun", "0.05"],
     "rstar (3.4785e+09 cm) must be larger than rplanet (7.1492e+09 cm)"),
    (["--geometry", "both", "--rplanet-rjup", "inf"],
     "argument --rplanet-rjup: rplanet_rjup must be finite, got inf"),
    (["--rplanet-rjup", "-1"], "argument --rplanet-rjup: rplanet_rjup must be positive"),
    (["--rplanet", "1.2"], "unrecognized arguments: --rplanet 1.2"),  # no unit guessed
    (["--geometry", "transmission", "--gravity", "1"], "atmosphere is not bound"),
    (["--isothermal", "1e-300"], "spectrum is not finite"),
])
def test_bad_options_exit_with_one_line(args, message, capsys, tmp_path):
    with pytest.raises(SystemExit) as exc:
        sp.main(args + ["--output", str(tmp_path)])
    assert exc.value.code == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "error: " in err and message in err, err
    assert not os.listdir(tmp_path)


@pytest.mark.parametrize("geometry, files", [
    ("transmission", ["transmission.npz", "transmission.png"]),
    ("both", ["spectrum.npz", "spectrum.png", "transmission.npz", "transmission.png"]),
])
def test_transmission_command_writes_its_files(tmp_path, capsys, geometry, files):
    args = SMALL_ARGS + ["--geometry", geometry, "--rplanet-rjup", "1.2", "--output",
                         str(tmp_path)]
    assert sp.main(args) == 0
    out = capsys.readouterr().out
    assert "transit     depth" in out and "H above the continuum" in out
    written = sorted(os.listdir(tmp_path))
    want = [f for f in files if _has_matplotlib() or f.endswith(".npz")]
    want += [f.replace(".npz", ".nc") for f in want if f.endswith(".npz") and _has_netcdf()]
    assert written == sorted(want)  # no temporary file left behind
    mask = os.umask(0)
    os.umask(mask)
    for name in written:  # the mode of a plain open(), not the private one of a temporary file
        assert (tmp_path / name).stat().st_mode & 0o777 == 0o666 & ~mask
    model = ForwardModel(geometry, layers=20, resolution=1000.0, angles=4)
    res = model(rplanet=1.2 * R_JUPITER)
    with np.load(tmp_path / "transmission.npz") as data:
        for key in ("depth", "radius", "p_probed", "radii"):
            assert np.array_equal(data[key], getattr(res.transmission, key)), key
        for key in ("temperature", "wn"):
            assert np.array_equal(data[key], getattr(res, key)), key
    if geometry == "both":
        with np.load(tmp_path / "spectrum.npz") as data:
            assert sorted(data.files) == sorted(sp.EMISSION_KEYS)
            assert np.array_equal(data["flux"], res.emission.flux)


def test_a_failed_write_keeps_the_earlier_file(tmp_path, monkeypatch, capsys):
    args = SMALL_ARGS + ["--geometry", "both", "--no-plot", "--output", str(tmp_path)]
    assert sp.main(args) == 0
    before = {f: (tmp_path / f).read_bytes() for f in os.listdir(tmp_path)}
    npz = common.npz

    def interrupted_second(arrays):
        write = npz(arrays)
        if "depth" not in arrays:
            return write

        def half(stream):
            stream.write(b"half an archive")
            raise KeyboardInterrupt
        return half

    monkeypatch.setattr(common, "npz", interrupted_second)
    assert sp.main(args + ["--isothermal", "900"]) == 130
    assert capsys.readouterr().err.endswith("interrupted\n")
    assert sorted(os.listdir(tmp_path)) == sorted(before)
    # The emission archive was complete before the transmission one failed: it was replaced;
    # the transmission archive is the earlier run's, byte for byte.
    assert (tmp_path / "spectrum.npz").read_bytes() != before["spectrum.npz"]
    assert (tmp_path / "transmission.npz").read_bytes() == before["transmission.npz"]


def test_unwritable_output_is_one_line_and_status_1(tmp_path, capsys):
    blocker = tmp_path / "file"
    blocker.write_text("")
    assert sp.main(SMALL_ARGS + ["--output", str(blocker)]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "cannot create --output" in err


def _command(*args):
    return [sys.executable, "-m", "exokern.spectrum", *args]


def test_ctrl_c_ends_with_one_line_and_status_130(tmp_path):
    env = dict(os.environ, MPLBACKEND="Agg")
    # A run long enough to be interrupted mid-way: about 8 s here, the chord depths growing
    # with the square of the layers.
    proc = subprocess.Popen(_command("--geometry", "transmission", "--layers", "10000",
                                     "--resolution", "2000", "--no-plot",
                                     "--output", str(tmp_path)),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        time.sleep(1.5)
        assert proc.poll() is None, "the run ended before it could be interrupted"
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 130, err
    assert err.strip().endswith("python -m exokern.spectrum: interrupted")
    assert "Traceback" not in err and not os.listdir(tmp_path)


def test_closed_standard_output_ends_with_one_line_and_status_141(tmp_path):
    read, write = os.pipe()
    os.close(read)  # the reader is gone before the summary is printed
    try:
        proc = subprocess.run(_command(*SMALL_ARGS, "--no-plot", "--output", str(tmp_path)),
                              stdout=write, stderr=subprocess.PIPE, text=True, timeout=120)
    finally:
        os.close(write)
    assert proc.returncode == 141
    assert proc.stderr == "python -m exokern.spectrum: standard output closed\n"
    assert (tmp_path / "spectrum.npz").exists()


def test_module_runs_as_a_program(tmp_path):
    env = dict(os.environ, MPLBACKEND="Agg")
    ok = subprocess.run([sys.executable, "-m", "exokern.spectrum", *SMALL_ARGS, "--no-plot",
                         "--output", str(tmp_path)], capture_output=True, text=True, env=env)
    assert ok.returncode == 0, ok.stderr
    assert (tmp_path / "spectrum.npz").exists() and ok.stderr == ""
    bad = subprocess.run([sys.executable, "-m", "exokern.spectrum", "--layers", "-5"],
                         capture_output=True, text=True, env=env)
    assert bad.returncode == 2 and bad.stdout == ""
    assert bad.stderr.count("\n") == 1 and "Traceback" not in bad.stderr
    assert bad.stderr.startswith("python -m exokern.spectrum: error:")


def test_each_figure_of_a_both_run_has_its_own_title(tmp_path, monkeypatch, capsys):
    titles = {}
    for kind in ("emission", "transmission"):
        monkeypatch.setattr(sp.plots, kind,
                            lambda stream, title, *args, kind=kind: titles.update({kind: title}))
    monkeypatch.setattr(sp.importlib.util, "find_spec", lambda name: True)
    assert sp.main(SMALL_ARGS + ["--geometry", "both", "--rplanet-rjup", "1.3", "--output",
                                 str(tmp_path)]) == 0
    assert titles["emission"].endswith("T$_{irr}$ = 1200 K, T$_{int}$ = 100 K")
    assert "R$_p$ = 1.3 R$_J$ at 0.1 bar" in titles["transmission"]
