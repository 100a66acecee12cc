"""exokern.retrieval: the data reader, the binning, priors and likelihood against direct
computations, injection-recovery, the same posterior on every engine (this process, local
processes, a dask LocalCluster, MPI ranks), checkpoints and the command's errors."""

import contextlib
import faulthandler
import io
import math
import os
import pickle
import re
import shutil
import signal
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest

pytest.importorskip("dynesty")

from exokern import engines  # noqa: E402
from exokern.atmosphere import R_JUPITER  # noqa: E402
from exokern.cli import retrieve as command  # noqa: E402
from exokern.model import ForwardModel  # noqa: E402
from exokern.radiation import planck  # noqa: E402
from exokern.retrieval.binning import Binning  # noqa: E402
from exokern.retrieval.data import (DataError, Observation, parse_spectrum,  # noqa: E402
                                    read_spectrum, write_spectrum)
from exokern.retrieval.likelihood import Likelihood, inject, log_bins  # noqa: E402
from exokern.retrieval.priors import (ERROR_SCALE, Prior, Priors, check_parameters,  # noqa: E402
                                      parse_prior)
from exokern.retrieval.sampler import CheckpointMismatch, sample  # noqa: E402

# A small problem: 3 parameters, about 1 ms a likelihood call, a few thousand calls a run.
TRUTHS = {"isothermal": 1300.0, "logkappa": -3.0, "rplanet": R_JUPITER}
PRIORS = Priors([Prior("isothermal", "uniform", 800.0, 2000.0),
                 Prior("logkappa", "uniform", -5.0, -1.0),
                 Prior("rplanet", "uniform", 0.95 * R_JUPITER, 1.05 * R_JUPITER)])
SAMPLING = dict(sampler="dynesty", live=40, dlogz=1.0, seed=5, batch=4)
CLI_SMALL = ["--sampler", "dynesty", "--layers", "30", "--resolution", "500", "--live", "40",
             "--dlogz", "1", "--seed", "5", "--batch", "4", "--no-plot",
             "--free", "isothermal=uniform:800:2000", "--free", "logkappa=uniform:-5:-1",
             "--free", f"rplanet=uniform:{0.95 * R_JUPITER}:{1.05 * R_JUPITER}"]


@pytest.fixture(scope="module")
def problem():
    model = ForwardModel("transmission", layers=30, resolution=500.0, wn_min=12000.0,
                         wn_max=18500.0)
    low, high = log_bins(0.55, 0.8, 100.0)
    data = inject(model, TRUTHS, low, high, 30e-6, seed=3)
    return model, data, Likelihood(model, data, PRIORS.names)


@pytest.fixture(scope="module")
def reference(problem):
    with engines.serial() as pool:
        return sample(problem[2], PRIORS, pool, **SAMPLING)


def same_run(a, b):
    assert np.array_equal(a.samples, b.samples)
    assert np.array_equal(a.logl, b.logl)
    assert a.logz == b.logz and a.calls == b.calls


# ---- data ------------------------------------------------------------------------------------

@pytest.mark.parametrize("text, units", [
    ("# a comment\n0.6 0.02 0.0100 0.0001\n0.7 0.04 0.0110 0.0002  # trailing\n", "fraction"),
    ("wavelength,width,depth,sigma\n0.6,0.02,10000,100\n\n0.7,0.04,11000,200\n", "ppm"),
    ("hi, lo, value, error, instrument\n0.61, 0.59, 1.00, 0.01, 1\n0.72, 0.68, 1.10, 0.02, 2\n",
     "percent"),
])
def test_reads_the_formats(tmp_path, text, units):
    path = tmp_path / "spectrum.txt"
    path.write_text(text)
    d = read_spectrum(str(path), units)
    assert np.allclose(d.low, [0.59, 0.68], rtol=1e-15) and np.allclose(d.high, [0.61, 0.72])
    assert np.allclose(d.value, [0.0100, 0.0110], rtol=1e-14)
    assert np.allclose(d.error, [1e-4, 2e-4], rtol=1e-14)


@pytest.mark.parametrize("text, match", [
    ("", "no data"),
    ("# only comments\n", "no data"),
    ("0.6 0.02 0.01\n", "line 1: 3 columns without a header"),
    ("0.6 0.02 0.01 0.001\n0.7 0.02 0.01\n", "line 2: 3 fields, expected 4"),
    ("0.6 0.02 0.01 0.001\n0.7 0.02 abc 0.001\n", "line 2: 'abc' is not a number"),
    ("0.6 0.02 nan 0.001\n", "line 1: 'nan' is not a finite number"),
    ("0.6 -0.02 0.01 0.001\n", "line 1: the bin must have a positive width"),
    ("0.01 0.04 0.01 0.001\n", "line 1: the bin must lie at positive wavelengths"),
    ("0.6 0.02 0.01 0\n", "line 1: the uncertainty must be positive"),
    ("wavelength,value,error\n0.6,0.01,0.001\n", "lacks wavelength and width"),
    ("low,high,value\n0.6,0.7,0.01\n", "lacks error"),
    ("low,high,value,error,err\n", "names the error twice"),
    ("low,high,value,error\n", "a header and no data"),
])
def test_bad_data_files(tmp_path, text, match):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    with pytest.raises(DataError, match=match) as info:
        read_spectrum(str(path))
    assert "\n" not in str(info.value) and str(path) in str(info.value)


def test_written_spectrum_reads_back_to_the_same_bits(problem):
    data = problem[1]
    stream = io.BytesIO()
    write_spectrum(stream, data, ["a comment"])
    back = parse_spectrum(stream.getvalue().decode().splitlines())
    for name in ("low", "high", "value", "error"):
        assert np.array_equal(getattr(back, name), getattr(data, name))


# ---- binning ---------------------------------------------------------------------------------

def test_binning_against_numpy(problem):
    model, data, _ = problem
    values = model.spectrum(**TRUTHS)["depth"]
    got = Binning(model.wavelength, data.low, data.high)(values)
    lam, y = model.wavelength[::-1], values[::-1]
    for i, (a, b) in enumerate(zip(data.low, data.high)):
        x = np.concatenate([[a], lam[(lam > a) & (lam < b)], [b]])
        want = np.trapezoid(np.interp(x, lam, y), x) / (b - a) if hasattr(np, "trapezoid") \
            else np.trapz(np.interp(x, lam, y), x) / (b - a)
        assert got[i] == pytest.approx(want, rel=1e-12)


def test_binning_is_exact_for_a_straight_line():
    wl = np.linspace(1.0, 0.5, 301)  # descending, as the model's wavelengths are
    low, high = np.array([0.5, 0.613, 0.77]), np.array([0.6, 0.7771, 1.0])
    got = Binning(wl, low, high)(3.0 - 2.0 * wl)
    assert np.allclose(got, 3.0 - (low + high), rtol=1e-13, atol=0)


def test_binning_refuses_bins_beyond_the_model():
    with pytest.raises(ValueError, match="bin 2 .* outside the model's wavelengths"):
        Binning(np.linspace(1.0, 0.5, 11), np.array([0.6, 0.9]), np.array([0.7, 1.1]))


# ---- priors and parameters -------------------------------------------------------------------

@pytest.mark.parametrize("spec, want", [
    ({"uniform": [1, 3]}, Prior("x", "uniform", 1.0, 3.0)),
    ("log-uniform:1e-3:1e-1", Prior("x", "log-uniform", 1e-3, 1e-1)),
    (2.5, None),
])
def test_priors_parse(spec, want):
    assert parse_prior("x", spec) == want


@pytest.mark.parametrize("spec, match", [
    ({"uniform": [3, 1]}, "low < high"),
    ({"uniform": [1, "a"]}, "two numbers"),
    ({"normal": [0, 1]}, "uniform or log-uniform"),
    ({"uniform": [0, 1], "log-uniform": [1, 2]}, "one kind"),
    ("log-uniform:0:1", "positive low"),
    ("uniform:0", "KIND:LOW:HIGH"),
    ("uniform:a:b", "needs numbers"),
    (True, "number or a prior"),
    ({"uniform": [0, float("inf")]}, "finite"),
])
def test_bad_priors(spec, match):
    with pytest.raises(ValueError, match=match):
        parse_prior("x", spec)


def test_prior_quantiles():
    lin, log = Prior("a", "uniform", 2.0, 6.0), Prior("b", "log-uniform", 1e-4, 1e-2)
    assert [lin.value(u) for u in (0.0, 0.25, 1.0)] == [2.0, 3.0, 6.0]
    assert log.value(0.5) == pytest.approx(1e-3, rel=1e-14)


@pytest.mark.parametrize("priors, fixed, match", [
    ([Prior("tirr", "uniform", 1, 2)], {"bogus": 1.0}, "unknown parameter 'bogus'"),
    ([Prior("na", "uniform", -1, 1)], {"na": 0.0}, "na is both fixed and free"),
    ([Prior("na", "uniform", -1, 9)], {}, "prior of na .* reaches values the model refuses"),
    ([Prior("gravity", "uniform", -10, 10)], {}, "gravity must be positive"),
    ([Prior(ERROR_SCALE, "uniform", -1, 2)], {}, "error_scale must be positive, got -1"),
    ([Prior("k", "uniform", 0, 1)], {ERROR_SCALE: 1.0}, "error_scale is either free"),
])
def test_bad_parameters(priors, fixed, match):
    model = ForwardModel("transmission", layers=10, resolution=100.0)
    with pytest.raises(ValueError, match=match):
        check_parameters(model, Priors(priors), fixed)


# ---- the likelihood --------------------------------------------------------------------------

@pytest.mark.parametrize("scaled", [False, True])
def test_likelihood_equals_a_direct_computation(problem, scaled):
    model, data, _ = problem
    names = PRIORS.names + ((ERROR_SCALE,) if scaled else ())
    like = Likelihood(model, data, names, fixed={"na": 0.2})
    theta = [1250.0, -2.7, 1.01 * R_JUPITER] + ([1.7] if scaled else [])
    s = 1.7 if scaled else 1.0
    depth = model.spectrum(isothermal=1250.0, logkappa=-2.7, rplanet=1.01 * R_JUPITER,
                           na=0.2)["depth"]
    m = Binning(model.wavelength, data.low, data.high)(depth)
    sigma = s * data.error
    want = -0.5 * np.sum((data.value - m) ** 2 / sigma ** 2 + np.log(2 * np.pi * sigma ** 2))
    assert like(theta) == pytest.approx(want, rel=1e-13)
    # A worker rebuilds the likelihood from its pickle and gets the same bits.
    assert pickle.loads(pickle.dumps(like))(theta) == like(theta)


@pytest.mark.parametrize("theta", [[1300.0], [1300.0, -3.0, 7e9, 1.0]])
def test_theta_of_the_wrong_length_is_refused(problem, theta):
    with pytest.raises(ValueError, match="expected 3 values"):
        problem[2](theta)
    with pytest.raises(ValueError, match="expected 3 values"):
        PRIORS(np.full(len(theta), 0.5))


def test_refused_parameters_have_zero_likelihood(problem):
    model, data, _ = problem
    like = Likelihood(model, data, ("isothermal", "rstar"))
    assert like([1300.0, 0.5 * R_JUPITER]) == -math.inf  # star smaller than the planet


def test_emission_observable_is_the_planck_ratio():
    # An isothermal atmosphere radiates as a blackbody: F_p / F_s = B(T) / B(T_star) (R_p/R_s)^2.
    model = ForwardModel("emission", layers=40, resolution=300.0, angles=4)
    low, high = log_bins(0.55, 0.95, 30.0)
    data = Observation(low, high, np.zeros(len(low)), np.ones(len(low)))
    like = Likelihood(model, data, ("isothermal",), fixed={"rplanet": 7e9, "rstar": 7e10},
                      tstar=5000.0)
    ratio = like.spectrum([1500.0])
    want = planck(model.wn, [1500.0])[0] / planck(model.wn, [5000.0])[0] * 1e-2
    assert np.allclose(ratio, want, rtol=1e-3)


# ---- sampling --------------------------------------------------------------------------------

def test_injection_is_recovered(reference):
    q = reference.quantiles([0.025, 0.975])
    for k, name in enumerate(reference.names):
        assert q[0, k] <= TRUTHS[name] <= q[1, k], name
    assert math.isfinite(reference.logz) and 0 < reference.logzerr < 1
    assert reference.weights.sum() == pytest.approx(1.0)


@contextlib.contextmanager
def bounded(seconds):
    """A hang of the engines in this process ends the test run with every thread's traceback
    after `seconds`, instead of waiting for ever."""
    faulthandler.dump_traceback_later(seconds, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


def test_local_processes_give_the_same_run(problem, reference):
    with bounded(300), engines.processes(2) as pool:
        same_run(sample(problem[2], PRIORS, pool, **SAMPLING), reference)


def test_dask_cluster_gives_the_same_run(problem, reference):
    pytest.importorskip("distributed")
    with bounded(300), engines.dask(workers=2) as pool:
        assert pool.workers == 2
        same_run(sample(problem[2], PRIORS, pool, **SAMPLING), reference)


def test_checkpoint_of_a_finished_run_and_of_another_run(problem, tmp_path):
    path = str(tmp_path / "run.checkpoint")
    with engines.serial() as pool:
        first = sample(problem[2], PRIORS, pool, **{**SAMPLING, "dlogz": 50.0}, checkpoint=path)
        again = sample(problem[2], PRIORS, pool, **{**SAMPLING, "dlogz": 50.0}, checkpoint=path)
        assert again.info["resumed"] and again.calls_here == 0
        same_run(again, first)
        with pytest.raises(CheckpointMismatch, match="another retrieval"):
            sample(problem[2], PRIORS, pool, **{**SAMPLING, "seed": 6}, checkpoint=path)


# ---- nautilus ------------------------------------------------------------------------------

NAUTILUS = dict(sampler="nautilus", live=100, effective=600, seed=3)


@pytest.fixture(scope="module")
def nautilus_reference(problem):
    pytest.importorskip("nautilus")
    with engines.serial() as pool:
        return sample(problem[2], PRIORS, pool, **NAUTILUS)


def test_nautilus_recovers_the_injection(nautilus_reference, reference):
    q = nautilus_reference.quantiles([0.025, 0.975])
    for k, name in enumerate(nautilus_reference.names):
        assert q[0, k] <= TRUTHS[name] <= q[1, k], name
    assert nautilus_reference.weights.sum() == pytest.approx(1.0)
    assert nautilus_reference.info["effective_samples"] >= NAUTILUS["effective"]
    # The same evidence as dynesty's, within their errors.
    gap = abs(nautilus_reference.logz - reference.logz)
    assert gap < 3 * math.hypot(nautilus_reference.logzerr, reference.logzerr) + 0.3


@pytest.mark.parametrize("engine", ["processes", "dask"])
def test_nautilus_on_workers_gives_the_same_run(problem, nautilus_reference, engine):
    # the networks' training and the draws from new bounds go to the workers
    if engine == "dask":
        pytest.importorskip("distributed")
    start = engines.processes(2) if engine == "processes" else engines.dask(workers=2)
    with bounded(300), start as pool:
        same_run(sample(problem[2], PRIORS, pool, **NAUTILUS), nautilus_reference)


def test_nautilus_resumes_to_the_unbroken_run(problem, nautilus_reference, tmp_path):
    path = str(tmp_path / "run.checkpoint")
    with engines.serial() as pool:
        with pytest.warns(UserWarning, match="before it converged"):
            part = sample(problem[2], PRIORS, pool, **NAUTILUS, checkpoint=path,
                          max_calls=nautilus_reference.calls // 2)
        assert part.calls < nautilus_reference.calls
        assert os.path.exists(path + ".h5") and not os.path.exists(path)
        rest = sample(problem[2], PRIORS, pool, **NAUTILUS, checkpoint=path)
        assert rest.info["resumed"] and 0 < rest.calls_here < nautilus_reference.calls
        same_run(rest, nautilus_reference)
        with pytest.raises(CheckpointMismatch, match="another retrieval"):
            sample(problem[2], PRIORS, pool, **{**NAUTILUS, "seed": 4}, checkpoint=path)


# ---- the command -----------------------------------------------------------------------------

def retrieve(args, cwd, timeout=240, **kw):
    return subprocess.run([sys.executable, "-m", "exokern.retrieval", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=timeout, **kw)


@pytest.fixture(scope="module")
def cli_reference(tmp_path_factory):
    """The small injection-recovery run of the command in this process alone."""
    out = tmp_path_factory.mktemp("serial")
    run = retrieve([*CLI_SMALL, "--workers", "1", "--output", str(out)], out)
    assert run.returncode == 0, run.stderr
    with np.load(out / "retrieval.npz") as f:
        found = {k: f[k] for k in ("samples", "logl", "logz", "truths", "quantiles")}
    found["folder"] = out
    found["stdout"] = run.stdout
    return found


def test_the_posterior_opens_in_arviz_and_xarray_with_names_units_and_shapes(cli_reference):
    path = cli_reference["folder"] / "retrieval.nc"
    assert "wrote      " + str(path) in cli_reference["stdout"]
    xr = pytest.importorskip("xarray")
    names = ["isothermal", "logkappa", "rplanet"]
    post = xr.open_dataset(path, group="posterior", engine="h5netcdf")
    assert sorted(post.data_vars) == sorted(names) and post.isothermal.dims == ("chain", "draw")
    assert post.isothermal.attrs["units"] == "K" and post.rplanet.attrs["units"] == "cm"
    assert all(post[n].attrs["long_name"] for n in names)
    observed = xr.open_dataset(path, group="observed_data", engine="h5netcdf")
    bins = observed.sizes["bin"]
    from exokern.retrieval.problem import INJECTED_RANGE
    assert bins == len(log_bins(*INJECTED_RANGE)[0])
    assert observed.spectrum.attrs["units"] == "1" and observed.wavelength_low.attrs["units"]
    loglike = xr.open_dataset(path, group="log_likelihood", engine="h5netcdf")
    assert loglike.spectrum.shape == (1, post.sizes["draw"], bins)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # arviz announces its refactor on import
        az = pytest.importorskip("arviz")
        data = az.from_netcdf(str(path))
        table = az.summary(data, kind="stats")
    assert list(table.index) == list(post.data_vars)
    # arviz < 1 gives an InferenceData (groups() a method), arviz 1 an xarray DataTree
    groups = data.groups() if callable(data.groups) else data.groups
    assert {"posterior", "log_likelihood", "observed_data", "sample_stats"} <= \
        {g.strip("/") for g in groups}
    # The draws' total ln L is the likelihood's own sum of the bins' terms.
    stats = xr.open_dataset(path, group="sample_stats", engine="h5netcdf")
    np.testing.assert_allclose(stats.log_likelihood.values[0],
                               loglike.spectrum.values[0].sum(axis=1), rtol=1e-12)
    assert float(xr.open_dataset(path, engine="h5netcdf").attrs["log_evidence"]) == \
        float(cli_reference["logz"])


def test_command_recovers_its_injection(cli_reference):
    q, truths = cli_reference["quantiles"], cli_reference["truths"]
    assert np.all((q[0] <= truths) & (truths <= q[-1]))


def mpiexec():
    here = os.path.join(os.path.dirname(sys.executable), "mpiexec")
    return here if os.path.exists(here) else shutil.which("mpiexec")


@pytest.mark.parametrize("ranks", [2, 3])
def test_mpi_ranks_give_the_same_run(tmp_path, cli_reference, ranks):
    pytest.importorskip("mpi4py")
    if mpiexec() is None:
        pytest.skip("no mpiexec")
    cmd = [mpiexec(), "-n", str(ranks), sys.executable, "-m", "exokern.retrieval", *CLI_SMALL,
           "--mpi", "--output", str(tmp_path)]
    # Loopback only: MPICH's launcher and its ranks talk over the interface "lo".
    run = subprocess.run(cmd, cwd=tmp_path, capture_output=True, text=True, timeout=300,
                         env={**os.environ, "HYDRA_IFACE": "lo"})
    assert run.returncode == 0, run.stderr
    workers = ranks - 1
    assert f"MPI, {workers} worker rank{'s' if workers > 1 else ''}" in run.stdout
    assert run.stdout.count("ln Z =") == 1  # rank 0 alone reports
    with np.load(tmp_path / "retrieval.npz") as f:
        assert np.array_equal(f["samples"], cli_reference["samples"])
        assert f["logz"] == cli_reference["logz"]


def test_interrupted_run_resumes_from_its_checkpoint(tmp_path, cli_reference):
    args = [*CLI_SMALL, "--workers", "1", "--output", str(tmp_path), "--checkpoint-every",
            "0.05"]
    proc = subprocess.Popen([sys.executable, "-m", "exokern.retrieval", *args], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    checkpoint = tmp_path / command.CHECKPOINT
    try:
        deadline = time.monotonic() + 120
        while not checkpoint.exists() and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()  # a no-op once it has ended
        proc.wait()
    if proc.returncode == 0:
        pytest.skip("the run finished before it could be interrupted")
    assert proc.returncode == 130 and err.strip().endswith("interrupted")
    assert "Traceback" not in err and checkpoint.exists()
    assert not (tmp_path / "retrieval.npz").exists()

    run = retrieve(args, tmp_path)
    assert run.returncode == 0, run.stderr
    assert "resumed from a checkpoint" in run.stdout and not checkpoint.exists()
    with np.load(tmp_path / "retrieval.npz") as f:
        assert np.array_equal(f["samples"], cli_reference["samples"])


@pytest.mark.parametrize("args, match", [
    (["--free", "na"], "--free 'na' is not NAME=KIND:LOW:HIGH"),
    (["--free", "na=uniform:2:1"], "low < high"),
    (["--free", "na=uniform:-1:9"], "prior of na .* model refuses"),
    (["--free", "bogus=uniform:0:1"], "unknown parameter 'bogus'"),
    (["--set", "na=x"], "is not a number"),
    (["--live", "0"], "argument --live: live must be at least 10, got 0"),
    (["--seed", "-1"], "argument --seed: seed must not be negative, got -1"),
    (["--config", "dlogz.toml"], "dlogz must be positive, got -1"),
    (["--config", "angles.toml"], "angles must be at most 200, got 1000"),
    (["--method", "mcmc"], "invalid choice"),
    (["--geometry", "emission"], "give data for an emission retrieval"),
    (["missing.csv"], "cannot read missing.csv"),
    (["--mpi", "--dask"], "not allowed with argument"),
    (["--config", "run.toml"], "unknown key 'lives' in \\[sampler\\]"),
    (["--config", "none.toml"], "cannot read --config none.toml: No such file"),
    (["--config", "bad.toml"], "bad.toml: .*line 1"),
    (["--config", "prior.toml"], "the prior of na needs two numbers"),
])
def test_bad_options_get_one_line(tmp_path, args, match):
    (tmp_path / "run.toml").write_text("[sampler]\nlives = 3\n")
    (tmp_path / "bad.toml").write_text("[sampler\n")
    (tmp_path / "prior.toml").write_text("[parameters]\nna = { uniform = [1] }\n")
    (tmp_path / "dlogz.toml").write_text("[sampler]\ndlogz = -1\n")
    (tmp_path / "angles.toml").write_text("[model]\nangles = 1000\n")
    run = retrieve(args, tmp_path, timeout=60)
    assert run.returncode == 2, run.stderr
    lines = run.stderr.strip().splitlines()
    assert len(lines) == 1 and "error:" in lines[0], run.stderr
    assert re.search(match, lines[0]), lines[0]


def test_bad_data_file_gets_one_line(tmp_path):
    (tmp_path / "data.csv").write_text("0.6 0.02 0.01 0.001\n0.7 0.02 zero 0.001\n")
    run = retrieve(["data.csv", "--free", "na=uniform:-1:1"], tmp_path, timeout=60)
    assert run.returncode == 2
    assert run.stderr.strip().splitlines() == [
        "python -m exokern.retrieval: error: data.csv, line 2: 'zero' is not a number "
        "(see --help)"]


def test_configuration_file_and_data_file(tmp_path, cli_reference):
    """The injected data written by one run, read back through a configuration file, give
    the same likelihood and so the same run."""
    first = tmp_path / "first"
    run = retrieve([*CLI_SMALL, "--workers", "1", "--output", str(first)], tmp_path)
    assert run.returncode == 0, run.stderr
    (tmp_path / "run.toml").write_text(f"""
[data]
file = "first/injected.csv"
[model]
layers = 30
resolution = 500.0
[parameters]
isothermal = {{ uniform = [800, 2000] }}
logkappa = {{ uniform = [-5, -1] }}
rplanet = {{ uniform = [{0.95 * R_JUPITER}, {1.05 * R_JUPITER}] }}
[sampler]
sampler = "dynesty"
live = 40
dlogz = 1
seed = 5
batch = 4
""")
    run = retrieve(["--config", "run.toml", "--workers", "1", "--output", "second",
                    "--no-plot"], tmp_path)
    assert run.returncode == 0, run.stderr
    with np.load(tmp_path / "second" / "retrieval.npz") as f:
        assert np.array_equal(f["samples"], cli_reference["samples"])


def test_emission_retrieval_of_a_data_file(tmp_path):
    """An emission spectrum written as a data file in ppm, retrieved through the command."""
    model = ForwardModel("emission", layers=20, resolution=300.0, angles=2, wn_min=9900.0,
                         wn_max=18400.0)
    low, high = log_bins(0.55, 1.0, 40.0)
    data = inject(model, {"isothermal": 1800.0}, low, high, 5e-6, seed=2, tstar=5000.0)
    lines = ["wavelength width fpfs sigma"] + [
        " ".join(repr(float(x)) for x in ((a + b) / 2, b - a, 1e6 * v, 1e6 * e))
        for a, b, v, e in zip(data.low, data.high, data.value, data.error)]
    (tmp_path / "eclipse.txt").write_text("\n".join(lines) + "\n")
    run = retrieve(["eclipse.txt", "--units", "ppm", "--geometry", "emission", "--tstar",
                    "5000", "--layers", "20", "--resolution", "300", "--free",
                    "isothermal=uniform:1000:2500", "--live", "30", "--workers", "1",
                    "--no-plot", "--output", "out"], tmp_path)
    assert run.returncode == 0, run.stderr
    # nautilus, the default, cannot sample one parameter: dynesty does
    assert "  sampler    dynesty, 30 live points" in run.stdout
    with np.load(tmp_path / "out" / "retrieval.npz") as f:
        lo, hi = f["quantiles"][0, 0], f["quantiles"][-1, 0]
        assert f["sampler"] == "dynesty"
    assert lo <= 1800.0 <= hi and hi - lo < 100.0


def _exit(code):
    os._exit(code)


def test_a_dead_worker_ends_the_map_with_an_error():
    with engines.processes(1) as pool:
        with pytest.raises(engines.EngineError, match="a worker process died"):
            pool.map(_exit, [3, 3])


def test_max_calls_stops_the_run_with_a_note(tmp_path):
    run = retrieve([*CLI_SMALL, "--workers", "1", "--max-calls", "200", "--output", "out"],
                   tmp_path)
    assert run.returncode == 0 and run.stderr == ""
    assert "note       The sampling was stopped short" in run.stdout


def test_compare_samples_the_nested_model_and_reports_the_bayes_factor(tmp_path):
    # Without logkappa, the grey continuum keeps its default opacity (10^-1.5 cm2/g), far above
    # the injected one: the data refuse that model by a wide margin.
    run = retrieve([*CLI_SMALL, "--workers", "1", "--compare", "logkappa", "--output", "out"],
                   tmp_path)
    assert run.returncode == 0, run.stderr
    line = next(s for s in run.stdout.splitlines() if s.startswith("  without    logkappa"))
    ln_b = float(line.split("ln B = ")[1].split()[0])
    assert ln_b > 5 and "strong evidence" in line
    with np.load(tmp_path / "out" / "retrieval.npz") as f:
        assert list(f["compared"]) == ["logkappa"]
        assert f["logz"] - f["compared_logz"][0] == pytest.approx(ln_b, abs=0.01)
    assert not list((tmp_path / "out").glob("*.checkpoint"))
    bad = retrieve([*CLI_SMALL, "--compare", "na"], tmp_path, timeout=60)
    assert bad.returncode == 2 and "--compare na: na is not a free parameter" in bad.stderr


SHARED = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data")


@pytest.mark.skipif(not os.path.isdir(SHARED), reason="../shared/data is not beside the project")
def test_a_published_spectrum_with_molecules_through_the_command(tmp_path):
    """JWST's NIRSpec PRISM spectrum of WASP-39b as published (three columns, ppm), with the
    shared H2O table found by name in --tables, CIA and a cloud deck: the run goes end to end."""
    folder = tmp_path / "tables"
    folder.mkdir()
    for name in ("xsec/H2O_BT2_tau.xsec.TauREx.h5", "cia/H2-H2.cia", "cia/H2-He.cia"):
        os.symlink(os.path.join(SHARED, name), folder / os.path.basename(name))
    run = retrieve([os.path.join(SHARED, "spectra", "wasp39b_nirspec_prism_r100.txt"),
                    "--units", "ppm", "--tables", str(folder), "--molecule", "H2O", "--cia",
                    "H2-H2", "--cia", "H2-He", "--free", "isothermal=uniform:500:2000",
                    "--free", "log_H2O=uniform:-8:-1", "--free", "log_pcloud=uniform:-6:2",
                    "--free", "rplanet=uniform:8e9:1e10", "--set", "rstar=6.47e10", "--set",
                    "gravity=430", "--layers", "30", "--resolution", "300", "--live", "20",
                    "--max-calls", "400", "--workers", "1", "--no-plot", "--output", "out"],
                   tmp_path)
    assert run.returncode == 0, run.stderr
    assert "data       bin widths from neighbouring centres" in run.stdout
    assert "retrieval of " in run.stdout and "59 bins" in run.stdout
    with np.load(tmp_path / "out" / "retrieval.npz") as f:
        assert list(f["names"]) == ["isothermal", "log_H2O", "log_pcloud", "rplanet"]
