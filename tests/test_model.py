"""The forward model: both geometries against closed forms and physical limits, and the model's
contract (parameters, outputs, pickling, determinism, refusals)."""

import math
import pickle

import numpy as np
import pytest
import scipy.constants as const

from exokern import atmosphere as atm
from exokern import radiation
from exokern import transmission as tr
from exokern.atmosphere import R_JUPITER, R_SUN
from exokern.model import ForwardModel
from exokern.opacity import alkali

# Small grids: the physics tests need layers, not wavenumbers; without Rayleigh scattering,
# so that a grey continuum is the only opacity besides the lines.
SMALL = dict(layers=40, resolution=2000.0, rayleigh=False)
GREY = dict(na=-30.0, k=-30.0)  # alkali lines far below the continuum


@pytest.fixture(scope="module")
def both():
    return ForwardModel("both", **SMALL)


def closed_form_radius(temperature, gravity, kappa, r0, p0_bar, mean_mass=2.3):
    """R = R0 + H (gamma + ln tau0), tau0 = kappa rho0 sqrt(2 pi R0 H): the effective radius of
    an isothermal atmosphere with a grey opacity, and H = k T / (mu m_u g)."""
    h = const.k * 1e7 * temperature / (mean_mass * atm.AMU * gravity)
    rho0 = p0_bar * atm.BAR * mean_mass * atm.AMU / (const.k * 1e7 * temperature)
    tau0 = kappa * rho0 * math.sqrt(2.0 * math.pi * r0 * h)
    return r0 + h * (np.euler_gamma + math.log(tau0)), h


# A compact planet (g = 1e5 cm s^-2, H/R0 = 8e-5), so that the closed form's flat-gravity
# assumption holds to about 1e-4 H. With the extinction exponential between levels (as it is
# here) and the rays at the shells' middles the model is within 0.003 H of it from 25 layers up
# (0.0031, 0.0021, 0.0016, 0.0011 H at 25 .. 400 layers; the rest is the closed form's own
# approximation), where trapezoids along rays at the levels were 0.036 H low at 50.
@pytest.mark.parametrize("layers", [25, 50, 400])
@pytest.mark.parametrize("temperature, kappa, mean_mass", [(1500.0, 1e-2, 2.3), (800.0, 1e-3, 2.3),
                                                           (1500.0, 1e-2, 4.6)])
def test_isothermal_grey_radius_follows_the_closed_form(layers, temperature, kappa, mean_mass):
    model = ForwardModel("transmission", layers=layers, resolution=200.0, rayleigh=False)
    res = model(isothermal=temperature, gravity=1e5, kappa=kappa, mean_mass=mean_mass, **GREY)
    want, h = closed_form_radius(temperature, 1e5, kappa, R_JUPITER, 0.1, mean_mass)
    assert np.all(np.abs(res.transmission.radius - want) < 0.004 * h)
    assert np.ptp(res.transmission.radius) < 1e-9 * h  # grey: one radius at every wavelength


@pytest.mark.parametrize("params", [dict(), dict(isothermal=1400.0, na=0.5)],
                         ids=["profile", "isothermal"])
def test_the_line_cores_converge_to_within_001_h_at_50_layers(params):
    # The Na D cores, where the chord is opaque up to the model's top: against 1600 layers.
    def radius(layers):
        model = ForwardModel("transmission", layers=layers, resolution=20000.0,
                             wn_min=16850.0, wn_max=17050.0, rayleigh=False)
        res = model(**params).transmission
        return res.radius, res.scale_height

    reference, h = radius(1600)
    core = np.argsort(reference)[-10:]
    errors = [float(np.max(np.abs(radius(n)[0] - reference)[core])) / h for n in (25, 50, 100)]
    assert errors[1] < 0.012, errors
    assert errors[0] / errors[1] > 2.4 and errors[1] / errors[2] > 2.4, errors


@pytest.mark.parametrize("temperature", [800.0, 2000.0])
def test_doubling_the_opacity_raises_the_radius_by_h_ln2(temperature):
    model = ForwardModel("transmission", layers=100, resolution=100.0, rayleigh=False)
    r1 = model(isothermal=temperature, gravity=1e5, kappa=1e-2, **GREY).transmission.radius
    r2 = model(isothermal=temperature, gravity=1e5, kappa=2e-2, **GREY).transmission.radius
    h = atm.scale_height(temperature, 1e5, model().mean_mass)
    assert np.all(np.abs((r2 - r1) / h - math.log(2.0)) < 0.01)


def test_transparent_and_opaque_limits(both):
    clear = both(kappa=0.0, **GREY)
    bottom = clear.transmission.radii[-1]
    np.testing.assert_allclose(clear.transmission.depth, (bottom / R_SUN) ** 2, rtol=1e-12)
    # Every ray opaque: the shells' midpoint sums telescope to the top's disc, r0^2.
    t = both(kappa=1e12).transmission
    np.testing.assert_allclose(t.depth, (t.radii[0] / R_SUN) ** 2, rtol=1e-12)


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
    h = res.transmission.scale_height
    for species in alkali.SPECIES:
        core = np.argmin(np.abs(res.wn[:, None] - np.array(species.wn0)), axis=0)
        far = np.abs(res.wn - np.mean(species.wn0)) > 1500.0
        radius = res.transmission.radius
        rise = (radius[core].max() - np.median(radius[far])) / h
        assert 2.0 < rise < 15.0, (species.name, rise)
    bare = both(na=-30.0, k=-30.0)
    assert np.ptp(bare.transmission.radius) < 1e-6 * h
    # ... and the grey continuum then sets one effective radius everywhere.


def test_pressure_probed_lies_where_the_chord_turns_opaque(both):
    res = both()
    probed = res.transmission.p_probed
    assert np.all((probed >= res.pressure[0]) & (probed <= res.pressure[-1]))
    core = np.argmin(np.abs(res.wn - alkali.SODIUM.wn0[0]))
    far = np.argmin(np.abs(res.wn - 15000.0))
    assert res.transmission.p_probed[core] < 1e-3 * res.transmission.p_probed[far]


def test_grey_emission_does_not_depend_on_the_mean_mass(both):
    # The grey optical depth is kappa p / g: the density grows with the mean mass as the layers'
    # thickness shrinks, exactly.
    light = both(kappa=1e-2, mean_mass=2.3, **GREY)
    heavy = both(kappa=1e-2, mean_mass=4.6, **GREY)
    np.testing.assert_allclose(heavy.emission.flux, light.emission.flux, rtol=1e-12)
    assert heavy.transmission.scale_height == pytest.approx(
        light.transmission.scale_height / 2, rel=1e-12)


def test_emission_of_an_isothermal_atmosphere_is_planck(both):
    res = both(isothermal=1500.0)
    b = radiation.planck(res.wn, [1500.0])[0]
    np.testing.assert_allclose(res.emission.flux, math.pi * b, rtol=1e-12)


def test_the_intensity_is_that_of_the_optical_depth_at_the_cosines_bit_for_bit(both):
    # The model hands the intensity twice the optical depth at twice the cosines.
    from exokern import _quadra
    params = dict(tirr=1500.0, kappa=3e-3)
    res = both(**params)
    e = res.emission
    bb = radiation.planck(both.wn, res.temperature[:int(e.ideep.max()) + 1])
    assert np.array_equal(e.intensity, _quadra.intensity(e.tau, e.ideep, bb, e.mu, 0))
    ext = both.extinction(both.pressure, res.temperature, both.parameters(**params),
                          res.mixture, res.mean_mass).ext
    tau, ideep = radiation.optical_depth(ext, -np.diff(e.z), 20.0)
    assert np.array_equal(tau, e.tau) and np.array_equal(ideep, e.ideep)


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
    assert ForwardModel().defaults["pref"] == 0.1
