"""The sources of extinction in the forward model: molecular tables, CIA, Rayleigh scattering,
clouds, hazes and the gas's composition, each against an independent reference (a closed
form, a physical scaling law, scipy's interpolation) on small tables written here in the exact
layouts of the field."""

import math
import os

import numpy as np
import pytest
import scipy.constants as const
from scipy.interpolate import RegularGridInterpolator

from exokern import atmosphere as atm
from exokern import chemistry
from exokern import transmission as tr
from exokern.model import ForwardModel
from exokern.opacity import TableError, clouds, files, rayleigh, xsec

h5py = pytest.importorskip("h5py")

K_B = const.k * 1e7  # erg K^-1
GREY = dict(na=-30.0, k=-30.0)  # no alkali lines
WN = (2000.0, 20000.0)


def write_xsec(path, sigma, p=(1e-6, 1e2), t=(500.0, 3000.0), wn=None, name="H2O", **extra):
    """A cross-section table in the TauREx layout (p in bar, t in K, bin_edges in cm^-1)."""
    sigma = np.asarray(sigma, dtype=float)
    if sigma.ndim == 0:
        wn = np.linspace(*WN, 50) if wn is None else wn
        sigma = np.full((len(p), len(t), len(wn)), float(sigma))
    wn = np.linspace(*WN, sigma.shape[-1]) if wn is None else wn
    with h5py.File(path, "w") as f:
        f.create_dataset("p", data=np.asarray(p, float)).attrs["units"] = extra.get("units", "bar")
        f.create_dataset("t", data=np.asarray(t, float))
        f.create_dataset("bin_edges", data=np.asarray(wn, float))
        f.create_dataset("xsecarr", data=sigma)
        # ExoMol writes the name as an array of one string; converted tables as a string.
        f.create_dataset("mol_name", data=[name] if extra.get("array_name") else name)
    return str(path)


def write_cia(path, temperatures, wn, coefficient, pair="H2-H2"):
    """A collision-induced absorption file in HITRAN's layout, one block per temperature."""
    lines = []
    for t in temperatures:
        k = np.broadcast_to(coefficient, np.shape(wn))
        lines.append(f"{pair:>20}{wn[0]:10.4f}{wn[-1]:10.4f}{len(wn):7d}{t:7.1f}"
                     f"{k.max():10.3E}{-0.999:6.3f}{'':27}{0:3d}")
        lines += [f"{w:10.4f} {v:10.3E}" for w, v in zip(wn, k)]
    with open(path, "w") as stream:
        stream.write("\n".join(lines) + "\n")
    return str(path)


def model(geometry="transmission", layers=60, resolution=200.0, **static):
    return ForwardModel(geometry, layers=layers, resolution=resolution, wn_min=3000.0,
                        wn_max=15000.0, **static)


# ---- molecular tables ----------------------------------------------------------------------

@pytest.mark.parametrize("geometry", ["transmission", "emission"])
def test_a_constant_table_is_the_grey_answer(tmp_path, geometry):
    # sigma0 n_X = sigma0 X p / (k T) = kappa rho with kappa = sigma0 X / (mu m_u).
    sigma0, x = 3e-24, 1e-3
    table = write_xsec(tmp_path / "c.h5", sigma0)
    molecular = model(geometry, molecules={"H2O": table}, rayleigh=False)
    res = molecular(isothermal=1300.0, log_H2O=math.log10(x), **GREY)
    grey = model(geometry, rayleigh=False)
    kappa = sigma0 * x / (res.mean_mass * atm.AMU)
    want = grey(isothermal=1300.0, kappa=kappa, mean_mass=res.mean_mass, **GREY)
    for name, values in res.outputs().items():
        np.testing.assert_allclose(values, want.outputs()[name], rtol=1e-11, err_msg=name)
    if geometry == "transmission":
        # ... and so the closed form of an isothermal grey atmosphere, R = R0 + H (gamma + ln
        # tau0), to the accuracy of 60 layers over 10 decades (about 0.05 H).
        h = K_B * 1300.0 / (res.mean_mass * atm.AMU * atm.GRAVITY)
        rho0 = 0.1 * atm.BAR * res.mean_mass * atm.AMU / (K_B * 1300.0)
        r0 = atm.R_JUPITER
        tau0 = kappa * rho0 * math.sqrt(2 * math.pi * r0 * h)
        closed = r0 + h * (np.euler_gamma + math.log(tau0))
        assert np.all(np.abs(res.transmission.radius - closed) < 0.1 * h)
    else:
        b = math.pi * 2 * const.h * 1e7 * (const.c * 1e2) ** 2 * molecular.wn ** 3 / np.expm1(
            const.h * const.c * 1e2 * molecular.wn / (const.k * 1300.0))
        np.testing.assert_allclose(res.emission.flux, b, rtol=1e-10)


def test_interpolation_is_exact_at_nodes_and_bilinear_between(tmp_path, rng):
    grid = ForwardModel("transmission", layers=30, resolution=100.0, wn_min=3000.0,
                        wn_max=9000.0, rayleigh=False)
    p_nodes = grid.pressure[[3, 11, 20, 27]] / atm.BAR
    t_nodes = np.array([600.0, 900.0, 1400.0, 2200.0])
    sigma = 10 ** rng.uniform(-26, -20, (4, 4, 80))
    wn = np.linspace(2900.0, 9100.0, 80)
    table = write_xsec(tmp_path / "r.h5", sigma, p_nodes, t_nodes, wn)
    m = ForwardModel("transmission", layers=30, resolution=100.0, wn_min=3000.0,
                     wn_max=9000.0, rayleigh=False, molecules={"H2O": table})
    gas = atm.number_density(m.pressure, np.full(30, 900.0))
    # Each model wavenumber takes the table's nearest sample.
    nearest = np.abs(m.wn[:, None] - wn[None, :]).argmin(axis=1)
    on_grid = sigma[:, :, nearest]
    # At the nodes (layers 3, 11, 20, 27 at 900 K), the tabulated value exactly.
    res = m.evaluate(dict(isothermal=900.0, log_H2O=-2.0, **GREY), sources=True)
    x = res.mixture["H2O"]
    for k, layer in enumerate([3, 11, 20, 27]):
        assert np.array_equal(res.sources["H2O"][layer], (x * gas[layer]) * on_grid[k, 1])
    # Between them, scipy's bilinear interpolation in (ln p, T) of the same samples.
    res = m.evaluate(dict(isothermal=1111.0, log_H2O=-2.0, **GREY), sources=True)
    inside = slice(3, 28)
    scipy_rows = RegularGridInterpolator((np.log(p_nodes), t_nodes), on_grid)(
        np.stack([np.log(m.pressure[inside] / atm.BAR), np.full(25, 1111.0)], axis=1))
    gas = atm.number_density(m.pressure, np.full(30, 1111.0))
    np.testing.assert_allclose(res.sources["H2O"][inside] / (x * gas[inside, None]), scipy_rows,
                               rtol=1e-12)
    # Outside the nodes, the edge's value, and the clamping counted.
    assert res.clamped["H2O"].counts == {"T < 600 K": 0, "T > 2200 K": 0,
                                         f"p < {p_nodes[0]:.3g} bar": 3,
                                         f"p > {p_nodes[-1]:.3g} bar": 2}
    res = m.evaluate(dict(isothermal=300.0, log_H2O=-2.0, **GREY), sources=True)
    gas = atm.number_density(m.pressure, np.full(30, 300.0))
    assert np.array_equal(res.sources["H2O"][0], (x * gas[0]) * on_grid[0, 0])
    assert res.clamped["H2O"].counts["T < 600 K"] == 30


@pytest.mark.parametrize("change, message", [
    (dict(drop="xsecarr"), "no dataset xsecarr"),
    (dict(shape=(2, 3, 7)), "xsecarr has shape"),
    (dict(wn=np.linspace(5000.0, 6000.0, 50)), "covers 5000 .. 6000 cm.-1; the model needs"),
    (dict(t=(900.0, 800.0)), "dataset t must ascend"),
    (dict(sigma=-1.0), "must be finite and not negative"),
    (dict(units="furlong"), "pressures in 'furlong'"),
    (dict(text=True), "not an HDF5 file"),
])
def test_a_bad_table_is_one_error_naming_the_file(tmp_path, change, message):
    path = tmp_path / "bad.h5"
    if change.get("text"):
        path.write_text("not hdf5")
    else:
        sigma = change.get("sigma", 1e-22)
        if "shape" in change:
            sigma = np.ones(change["shape"])
        write_xsec(path, sigma, t=change.get("t", (500.0, 3000.0)), wn=change.get("wn"),
                   units=change.get("units", "bar"))
        if "drop" in change:
            with h5py.File(path, "a") as f:
                del f[change["drop"]]
    with pytest.raises(TableError, match=f"^{path}.*{message}"):
        model(molecules={"H2O": str(path)})


def test_only_the_needed_wavenumbers_are_read(tmp_path):
    wn = np.linspace(100.0, 40000.0, 4000)
    table = write_xsec(tmp_path / "wide.h5", 1e-22, wn=wn)
    part = xsec.read_xsec(table, 3000.0, 15000.0)
    assert part.wn[0] <= 3000.0 < part.wn[1] and part.wn[-2] < 15000.0 <= part.wn[-1]
    assert part.sigma.shape[-1] == len(part.wn) < 0.35 * len(wn)


def test_a_power_law_table_gives_its_slope_in_scale_heights(tmp_path):
    # sigma proportional to wn^4 (lambda^-4), as Rayleigh scattering: R falls by 4 H per e-fold
    # of wavelength, whoever scatters.
    wn = np.geomspace(*WN, 3000)
    table = write_xsec(tmp_path / "p.h5", np.broadcast_to(1e-24 * (wn / 1e4) ** 4,
                                                          (2, 2, len(wn))), wn=wn)
    m = model(molecules={"H2O": table}, rayleigh=False, layers=100)
    res = m(isothermal=1000.0, log_H2O=-2.0, **GREY)
    assert _slope(res, 0.8, 3.0) == pytest.approx(-4.0, abs=0.1)


def test_a_heavier_atmosphere_shrinks_the_features_by_its_scale_height(tmp_path):
    # A band: sigma rising tenfold over 8000..9000 cm^-1. Its rise in radius is about H times
    # ln 10, so it shrinks with the scale height, whatever the species' abundance.
    wn = np.linspace(2000.0, 20000.0, 2000)
    sigma = 1e-25 * (1.0 + 9.0 * np.exp(-0.5 * ((wn - 8500.0) / 300.0) ** 2))
    table = write_xsec(tmp_path / "band.h5", np.broadcast_to(sigma, (2, 2, len(wn))),
                       wn=wn, name="CO2")
    m = model(molecules={"CO2": table}, rayleigh=False, layers=100)
    rises = {}
    for log_x in (-4.0, -0.3):  # 1e-4 of CO2, then half the gas
        res = m(isothermal=1200.0, log_CO2=log_x, **GREY)
        rises[log_x] = (np.ptp(res.transmission.radius), res.mean_mass)
    (light, mu_light), (heavy, mu_heavy) = rises[-4.0], rises[-0.3]
    assert mu_heavy > 9 * mu_light
    assert heavy / light == pytest.approx(mu_light / mu_heavy, rel=0.03)


# ---- collision-induced absorption ---------------------------------------------------------

def test_cia_alone_sets_a_photosphere_where_its_squared_density_says(tmp_path):
    # tau(p) = k X_a X_b H p^2 / (2 (k_B T)^2) for an isothermal atmosphere: the photosphere
    # (tau = 2/3) lies at p = k_B T sqrt(4 / (3 k Xa Xb H)), and moves by 1/2 when k grows 4x.
    wn = np.linspace(1000.0, 20000.0, 200)
    found = {}
    for k0 in (1e-44, 4e-44):
        path = write_cia(tmp_path / f"{k0}.cia", [300.0, 3000.0], wn, k0)
        m = model("emission", layers=200, cia=[path], rayleigh=False)
        res = m(isothermal=1500.0, **GREY)
        xh2 = res.mixture["H2"]
        h = K_B * 1500.0 / (res.mean_mass * atm.AMU * atm.GRAVITY)
        want = K_B * 1500.0 * math.sqrt(4.0 / (3.0 * k0 * xh2 * xh2 * h))
        np.testing.assert_allclose(res.emission.p_photosphere, want, rtol=0.02)
        found[k0] = res.emission.p_photosphere
    np.testing.assert_allclose(found[4e-44] / found[1e-44], 0.5, rtol=1e-3)


def test_the_shared_cia_tables_read_in_a_model():
    folder = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data", "cia")
    if not os.path.isdir(folder):
        pytest.skip("../shared/data is not beside the project")
    m = model(cia=[os.path.join(folder, "H2-H2.cia"), os.path.join(folder, "H2-He.cia")])
    res = m.evaluate(dict(isothermal=1000.0), sources=True)
    assert set(res.sources) >= {"H2-H2", "H2-He", "Rayleigh H2", "Rayleigh He"}
    assert res.kappa == 0.0 and not res.clamped
    with pytest.raises(TableError, match="block 1 .*H2-H2.*200 K"):
        model(cia=[os.path.join(folder, "H2-H2_hitran2011_excerpt.cia")])


def test_a_pair_the_gas_lacks_is_refused(tmp_path):
    path = write_cia(tmp_path / "n2.cia", [300.0, 600.0], np.linspace(1000, 20000, 10), 1e-46,
                     pair="N2-N2")
    with pytest.raises(TableError, match="N2-N2 needs N2"):
        model(cia=[path])


# ---- Rayleigh scattering, hazes, clouds -----------------------------------------------------

def _slope(res, lo, hi):
    """d R / d ln(lambda) fitted over lo..hi micron, in scale heights."""
    wl = res.wavelength
    sel = (wl > lo) & (wl < hi)
    slope = np.polyfit(np.log(wl[sel]), res.transmission.radius[sel], 1)[0]
    return slope / res.transmission.scale_height


def test_rayleigh_scattering_alone_falls_by_four_scale_heights_per_e_fold():
    m = ForwardModel("transmission", layers=100, resolution=300.0, wn_min=6000.0,
                     wn_max=25000.0)
    res = m(isothermal=1200.0, kappa=0.0, **GREY)
    assert _slope(res, 0.6, 1.6) == pytest.approx(-4.0, abs=0.12)


def test_the_h2_and_he_fits_agree_with_their_refractive_indices():
    # sigma = 24 pi^3 / (N^2 lambda^4) ((n^2 - 1) / (n^2 + 2))^2, with the refractivity of
    # H2 (Peck & Huang 1977) and of He (Mansfield & Peck 1969) at 0 C and 1 atm.
    n_stp = 101325.0 / (const.k * 273.15) * 1e-6  # cm^-3
    for lam_um in (0.4, 0.6, 1.0):
        s = 1.0 / lam_um
        n_h2 = 1 + 1e-8 * (14895.6 / (180.7 - s * s) + 4903.7 / (92.0 - s * s))
        nu = 1e4 / lam_um
        n_he = 1 + 1e-8 * (2283.0 + 1.8102e13 / (1.5342e10 - nu * nu))
        lam = lam_um * 1e-4
        for n, fit, tol in ((n_h2, rayleigh.h2, 0.08), (n_he, rayleigh.he, 0.03)):
            want = 24 * math.pi ** 3 / (n_stp ** 2 * lam ** 4) * ((n * n - 1) / (n * n + 2)) ** 2
            assert float(fit(nu)[()]) == pytest.approx(want, rel=tol)


@pytest.mark.parametrize("slope", [-2.0, -6.0])
def test_a_haze_alone_gives_its_slope_in_scale_heights(slope):
    m = model(rayleigh=False, layers=100)
    res = m(isothermal=1200.0, kappa=0.0, log_haze=2.0, haze_slope=slope, **GREY)
    assert _slope(res, 0.7, 3.0) == pytest.approx(slope, rel=0.03)


def test_a_deck_is_an_opaque_disc_at_its_pressure_and_moves_continuously():
    m = model(rayleigh=False, layers=40)
    clear = dict(isothermal=1200.0, kappa=0.0, **GREY)
    radii = m(**clear).transmission.radii
    for log_p in (-3.0, -1.37, 1.5):
        depth = m(log_pcloud=log_p, **clear).transmission.depth
        p_c = 10.0 ** log_p * atm.BAR
        r_c = np.interp(math.log(p_c), np.log(m.pressure), radii)
        np.testing.assert_allclose(depth, (r_c / atm.R_SUN) ** 2, rtol=1e-6)
    # Across a layer the spectrum changes by as little as the deck moves.
    at = math.log10(m.pressure[17] / atm.BAR)
    below, above = (m(log_pcloud=at + d, kappa=1e-3, isothermal=1200.0, **GREY)
                    .transmission.depth for d in (-1e-9, 1e-9))
    np.testing.assert_allclose(below, above, rtol=1e-10)


def test_an_opaque_deck_emits_at_its_own_temperature():
    m = model("emission", layers=60)
    top = m(log_pcloud=-12.0, kappa=0.0, **GREY)
    b = math.pi * 2 * const.h * 1e7 * (const.c * 1e2) ** 2 * m.wn ** 3 / np.expm1(
        const.h * const.c * 1e2 * m.wn / (const.k * top.temperature[0]))
    np.testing.assert_allclose(top.emission.flux, b, rtol=1e-10)
    # A deck below the bottom changes nothing.
    assert np.array_equal(m(log_pcloud=3.0).emission.flux, m().emission.flux)


def test_the_deck_interpolates_its_row():
    pressure = np.array([1.0, 10.0, 100.0])
    deck = clouds.deck(pressure, math.log10(math.sqrt(1e-5 * 1e-4)))  # between rows 1 and 2
    assert deck is not None and deck.above == 2 and deck.fraction == pytest.approx(0.5)
    assert np.allclose(deck.cut(np.array([0.0, 2.0, 4.0])), [0.0, 2.0, 3.0])


# ---- the gas ------------------------------------------------------------------------------

def test_composition_and_mean_mass():
    solar = chemistry.composition({})
    assert solar["He"] / solar["H2"] == pytest.approx(0.17) and sum(solar.values()) == 1.0
    assert chemistry.mean_mass(solar) == pytest.approx(2.3046, abs=1e-4)
    heavy = chemistry.composition({"CO2": 0.5, "H2O": 0.1})
    assert chemistry.mean_mass(heavy) == pytest.approx(
        0.5 * 44.009 + 0.1 * 18.015 + 0.4 * chemistry.mean_mass(solar), rel=1e-4)
    assert chemistry.molecular_mass("C2H2") == pytest.approx(26.038, abs=1e-3)
    with pytest.raises(ValueError, match="cannot read the formula"):
        chemistry.molecular_mass("h2o")


def test_mixing_ratios_above_one_are_refused(tmp_path):
    m = model(molecules={"H2O": write_xsec(tmp_path / "a.h5", 1e-22),
                         "CO2": write_xsec(tmp_path / "b.h5", 1e-22, name="CO2")})
    with pytest.raises(ValueError, match="the mixing ratios sum to 1.3"):
        m(log_H2O=math.log10(0.6), log_CO2=math.log10(0.7))
    with pytest.raises(ValueError, match="log_CO2 = 0.5 is a mixing ratio above 1"):
        m(log_CO2=0.5)


# ---- finding tables -------------------------------------------------------------------------

def test_tables_are_found_by_name_in_a_folder(tmp_path, monkeypatch):
    write_xsec(tmp_path / "1H2-16O__BT2__R1000.xsec.TauREx.h5", 1e-22, array_name=True)
    write_cia(tmp_path / "H2-He_2011.cia", [300.0, 3000.0], np.linspace(1000, 20000, 10), 1e-46,
              pair="H2-He")
    monkeypatch.setenv(files.ENVIRONMENT, str(tmp_path))
    m = model(molecules={"H2O": ""}, cia=["H2-He"])
    assert os.path.basename(m.static["molecules"]["H2O"]).startswith("1H2-16O")
    assert m.static["cia"][0].endswith("H2-He_2011.cia")
    assert model(molecules=str(tmp_path)).molecules == ("H2O",)
    with pytest.raises(TableError, match="no file for the molecule CH4 in .*exomol"):
        model(molecules={"CH4": ""})
    monkeypatch.delenv(files.ENVIRONMENT)
    with pytest.raises(TableError, match="no folder to look in"):
        model(cia=["H2-H2"])


def test_a_model_of_tables_travels_as_its_description(tmp_path):
    import pickle

    table = write_xsec(tmp_path / "w.h5", 1e-22)
    m = model(molecules={"H2O": table})
    again = pickle.loads(pickle.dumps(m))
    assert again.static == m.static and again.molecules == ("H2O",)
    assert np.array_equal(again.spectrum(log_H2O=-3.0)["depth"], m.spectrum(log_H2O=-3.0)["depth"])
    assert "log_H2O" in again.parameter_set and "log_H2O" not in ForwardModel().parameter_set


# ---- the commands ---------------------------------------------------------------------------

def test_the_spectrum_command_takes_tables_and_their_parameters(tmp_path, capsys):
    from exokern.cli import spectrum

    wn = np.linspace(*WN, 400)
    band = 1e-22 * np.exp(-0.5 * ((wn - 7000.0) / 400.0) ** 2) + 1e-27
    table = write_xsec(tmp_path / "h2o.h5", np.broadcast_to(band, (2, 2, len(wn))), wn=wn)
    pair = write_cia(tmp_path / "h2.cia", [300.0, 3000.0], np.linspace(1000, 20000, 50), 1e-46)
    args = ["--geometry", "transmission", "--wn-min", "3000", "--wn-max", "15000",
            "--resolution", "500", "--layers", "40", "--molecule", f"H2O={table}", "--cia",
            pair, "--log-H2O", "-2.5", "--log-pcloud", "-1", "--no-plot", "--output",
            str(tmp_path / "out")]
    assert spectrum.main(args) == 0
    out = capsys.readouterr().out
    assert "gas         H2O 0.00316, H2 0.852, He 0.145" in out
    assert "H2O" in next(line for line in out.splitlines() if "where it forms" in line)
    m = ForwardModel("transmission", layers=40, resolution=500.0, wn_min=3000.0,
                     wn_max=15000.0, molecules={"H2O": table}, cia=[pair])
    want = m(log_H2O=-2.5, log_pcloud=-1.0).transmission.depth
    with np.load(tmp_path / "out" / "transmission.npz") as data:
        assert np.array_equal(data["depth"], want)
    assert spectrum.main(args[:-2] + ["--no-rayleigh", "--output", str(tmp_path / "b")]) == 0
    assert "Rayleigh" not in capsys.readouterr().out.splitlines()[0]


@pytest.mark.parametrize("args, message", [
    (["--molecule", "CH4"], "no file given for the molecule CH4 and no folder to look in"),
    (["--molecule", "H2O=/nonexistent.h5"], "/nonexistent.h5: no such file"),
    (["--cia", "/nonexistent.cia"], "/nonexistent.cia: no such file"),
    (["--log-H2O", "-3"], "unrecognized arguments: --log-H2O"),  # no such molecule here
])
def test_the_spectrum_command_refuses_missing_tables_in_one_line(args, message, capsys,
                                                                 monkeypatch, tmp_path):
    from exokern.cli import spectrum

    monkeypatch.delenv(files.ENVIRONMENT, raising=False)
    with pytest.raises(SystemExit) as exit_:
        spectrum.main(args + ["--output", str(tmp_path)])
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and err.count("\n") == 1 and message in err, err


def test_axes_located_together_match_each_axis_alone():
    from exokern.opacity.tabulated import _Axes, _Axis
    rng = np.random.default_rng(4)
    axes = [_Axis(np.array([300.0, 500.0, 800.0, 1200.0, 2000.0]), "T"),
            _Axis(np.geomspace(100.0, 3000.0, 17), "T"), _Axis(np.array([700.0]), "T"),
            _Axis(None, "T")]
    x = np.concatenate([rng.uniform(50.0, 4000.0, 200), [300.0, 500.0, 2000.0, 3000.0, 100.0,
                                                        np.nextafter(2000.0, 0.0)]])
    together = _Axes(axes)
    lo, hi, w = together.locate(x)
    counts = together.counts(x)
    for k, axis in enumerate(axes):
        want = axis.locate(x)
        assert np.array_equal(lo[k], want[0]) and np.array_equal(hi[k], want[1])
        assert np.array_equal(w[k], want[2]) and tuple(counts[k]) == want[3]
