"""The forward model: both geometries against closed forms and physical limits, and the model's
contract (parameters, outputs, pickling, determinism, refusals)."""

import math
import pickle

import numpy as np
import pytest
import scipy.constants as const

from exokern import atmosphere as atm
from exokern import lines, radiation
from exokern import transmission as tr
from exokern.model import DEFAULTS, R_JUPITER, R_SUN, ForwardModel

# Small grids: the physics tests need layers, not wavenumbers.
SMALL = dict(layers=40, resolution=2000.0)
GREY = dict(na=-30.0, k=-30.0)  # alkali lines far below the continuum


@pytest.fixture(scope="module")
def both():
    return ForwardModel("both", **SMALL)


def closed_form_radius(temperature, gravity, kappa, r0, p0_bar):
    """R = R0 + H (gamma + ln tau0), tau0 = kappa rho0 sqrt(2 pi R0 H): the effective radius of
    an isothermal atmosphere with a grey opacity, and H."""
    h = atm.scale_height(temperature, gravity)
    rho0 = atm.mass_density(p0_bar * atm.BAR, temperature)
    tau0 = kappa * rho0 * math.sqrt(2.0 * math.pi * r0 * h)
    return r0 + h * (np.euler_gamma + math.log(tau0)), h


# A compact planet (g = 1e5 cm s^-2, H/R0 = 8e-5), so that the closed form's flat-gravity
# assumption holds to 1e-4 H. Over 10 decades of pressure, 100 layers are 0.23 H apart; the
# trapezoids along the chords and across the disc then put the radius 0.016 H low, and the error
# falls 2.5-4x per doubling of the layers (0.036, 0.016, 0.0063, 0.0020 H at 50 .. 400 layers).
@pytest.mark.parametrize("layers, tol", [(100, 0.025), (400, 0.004)])
@pytest.mark.parametrize("temperature, kappa", [(1500.0, 1e-2), (800.0, 1e-3)])
def test_isothermal_grey_radius_follows_the_closed_form(layers, tol, temperature, kappa):
    model = ForwardModel("transmission", layers=layers, resolution=200.0)
    res = model(isothermal=temperature, gravity=1e5, kappa=kappa, **GREY)
    want, h = closed_form_radius(temperature, 1e5, kappa, R_JUPITER, 0.1)
    assert np.all(np.abs(res.radius - want) < tol * h)
    assert np.ptp(res.radius) < 1e-9 * h  # grey: the same radius at every wavelength


def test_radius_error_falls_with_the_layers():
    errors = []
    for layers in (50, 100, 200, 400):
        model = ForwardModel("transmission", layers=layers, resolution=100.0)
        res = model(isothermal=1500.0, gravity=1e5, kappa=1e-2, **GREY)
        want, h = closed_form_radius(1500.0, 1e5, 1e-2, R_JUPITER, 0.1)
        errors.append(abs(res.radius[0] - want) / h)
    assert all(e1 < e0 / 2 for e0, e1 in zip(errors, errors[1:])), errors


@pytest.mark.parametrize("temperature", [800.0, 2000.0])
def test_doubling_the_opacity_raises_the_radius_by_h_ln2(temperature):
    model = ForwardModel("transmission", layers=100, resolution=100.0)
    r1 = model(isothermal=temperature, gravity=1e5, kappa=1e-2, **GREY).radius
    r2 = model(isothermal=temperature, gravity=1e5, kappa=2e-2, **GREY).radius
    h = atm.scale_height(temperature, 1e5)
    assert np.all(np.abs((r2 - r1) / h - math.log(2.0)) < 0.01)


def test_transparent_and_opaque_limits(both):
    clear = both(kappa=0.0, **GREY)
    bottom, top = clear.radii[-1], clear.radii[0]
    np.testing.assert_allclose(clear.depth, (bottom / R_SUN) ** 2, rtol=1e-12)
    opaque = both(kappa=1e12)
    # Every chord is opaque but the top ray's, of zero length: the top interval's trapezoid
    # then misses r0 (r0 - r1) of the disc's r^2.
    gap = top * (top - opaque.radii[1]) / top**2
    np.testing.assert_allclose(opaque.depth, (opaque.radii[0] / R_SUN) ** 2, rtol=1.01 * gap)
    assert np.all(opaque.depth < (opaque.radii[0] / R_SUN) ** 2)


def test_radii_follow_hydrostatic_equilibrium_in_inverse_square_gravity():
    # Isothermal: 1/r = 1/R0 + (g0 H0 / (g0 R0^2)) ln(p / p0) exactly, up to rounding.
    p = atm.pressure_grid(30)
    h0 = float(atm.scale_height(1000.0, 2000.0))
    r = tr.radii(p, np.full(30, 1000.0), 2000.0, R_JUPITER, 1e5)
    want = 1.0 / (1.0 / R_JUPITER + h0 / R_JUPITER**2 * np.log(p / 1e5))
    np.testing.assert_allclose(r, want, rtol=1e-13)
    with pytest.raises(ValueError, match="not bound"):
        tr.radii(p, np.full(30, 1e6), 10.0, R_JUPITER, 1e5)


def test_alkali_features_are_a_few_scale_heights_and_vanish_without_atoms(both):
    res = both()
    h = res.scale_height
    for species in lines.SPECIES:
        core = np.argmin(np.abs(res.wn[:, None] - np.array(species.wn0)), axis=0)
        far = np.abs(res.wn - np.mean(species.wn0)) > 1500.0
        rise = (res.radius[core].max() - np.median(res.radius[far])) / h
        assert 2.0 < rise < 15.0, (species.name, rise)
    bare = both(na=-30.0, k=-30.0)
    assert np.ptp(bare.radius) < 1e-6 * h
    # ... and the grey continuum then sets one effective radius everywhere.


def test_pressure_probed_lies_where_the_chord_turns_opaque(both):
    res = both()
    assert np.all((res.p_probed >= res.pressure[0]) & (res.p_probed <= res.pressure[-1]))
    core = np.argmin(np.abs(res.wn - lines.SODIUM.wn0[0]))
    far = np.argmin(np.abs(res.wn - 15000.0))
    assert res.p_probed[core] < 1e-3 * res.p_probed[far]


def test_emission_of_an_isothermal_atmosphere_is_planck(both):
    res = both(isothermal=1500.0)
    b = radiation.planck(res.wn, [1500.0])[0]
    np.testing.assert_allclose(res.flux, math.pi * b, rtol=1e-12)


def test_model_pickles_and_repeats_its_bits(both):
    params = dict(tirr=1400.0, na=0.3, kappa=0.02, rplanet=1.2 * R_JUPITER)
    first = both.spectrum(**params)
    again = pickle.loads(pickle.dumps(both)).spectrum(**params)
    assert set(first) == set(both.outputs) == {"flux", "tb", "depth", "radius"}
    for name in first:
        assert first[name].dtype == np.float64 and first[name].shape == both.wn.shape
        assert np.array_equal(first[name], again[name]), name


@pytest.mark.parametrize("geometry", ["emission", "transmission"])
def test_one_geometry_gives_the_numbers_of_both(both, geometry):
    alone = ForwardModel(geometry, **SMALL).spectrum(tint=300.0)
    shared = both.spectrum(tint=300.0)
    assert list(alone) == list(ForwardModel(geometry, **SMALL).outputs)
    for name, values in alone.items():
        assert np.array_equal(values, shared[name]), name


@pytest.mark.parametrize("params, message", [
    (dict(tirrr=1.0), "unknown parameter 'tirrr'"),
    (dict(gravity=-1.0), "gravity must be positive"),
    (dict(rplanet=0.0), "rplanet must be positive"),
    (dict(rstar=1e9), r"rstar \(1e\+09 cm\) must be larger than rplanet"),
    (dict(tirr=float("nan")), "tirr must be finite"),
    (dict(kappa=-1.0), "kappa must not be negative"),
    (dict(na=1000.0), "na = 1000 dex puts more Na atoms than gas particles"),
    (dict(pref="0.1"), "pref must be a real number, got str"),
    (dict(isothermal=1e-300), "spectrum is not finite"),
    (dict(logkappa=-1.5, logg1=1.0, alpha=5.0), "temperature profile is not finite"),
    (dict(gravity=1.0), "not bound"),
])
def test_bad_parameters_are_refused(both, params, message):
    with pytest.raises(ValueError, match=message):
        both(**params)


@pytest.mark.parametrize("static, message", [
    (dict(geometry="limb"), "geometry must be one of"),
    (dict(layers=1), "layers must be at least 2"),
    (dict(layers=2.5), "layers must be an integer"),
    (dict(ptop=1.0, pbottom=0.1), r"ptop \(1\) must be below pbottom"),
    (dict(wn_min=float("inf")), "wn_min must be finite"),
    (dict(resolution=0.1, wn_min=1e4, wn_max=1.5e4), "fewer than 3 samples"),
    (dict(angles=0), "angles must be at least 1"),
])
def test_bad_static_choices_are_refused(static, message):
    with pytest.raises(ValueError, match=message):
        ForwardModel(**static)


def test_constants_are_codata_values():
    assert atm.K_BOLTZMANN == const.k * 1e7
    assert atm.AMU == pytest.approx(const.physical_constants["atomic mass constant"][0] * 1e3,
                                    rel=1e-15)
    assert radiation.PLANCK_H == const.h * 1e7 and radiation.LIGHT_C == const.c * 1e2
    assert DEFAULTS["pref"] == 0.1
