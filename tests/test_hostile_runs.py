"""The retrieval command against a careful but hostile user: sizes no machine holds, numbers the
model cannot hold, files of another user, a run killed at the worst moment. Each command runs
in a subprocess with a timeout, the sizes under a capped address space, so that a regression
fails here instead of taking the machine down."""

import math
import os
import pickle
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

pytest.importorskip("dynesty")
pytest.importorskip("nautilus")
resource = pytest.importorskip("resource")

from exokern.atmosphere import R_JUPITER  # noqa: E402
from exokern.model import ForwardModel  # noqa: E402
from exokern.retrieval import default_problem  # noqa: E402
from exokern.safety import TooLarge  # noqa: E402

SMALL = ["--layers", "20", "--resolution", "300", "--workers", "1", "--no-plot",
         "--free", "isothermal=uniform:800:2000", "--free", "logkappa=uniform:-5:-1",
         "--free", f"rplanet=uniform:{0.95 * R_JUPITER}:{1.05 * R_JUPITER}"]
DYNESTY = ["--sampler", "dynesty", "--live", "40", "--dlogz", "1", "--batch", "4"]
NAUTILUS = ["--sampler", "nautilus", "--live", "60", "--effective", "300"]
CAP = 3 * 2**30  # the address space of a capped run


def _capped() -> None:
    resource.setrlimit(resource.RLIMIT_AS, (CAP, CAP))


def retrieve(args, cwd, timeout=180, capped=False, **kw):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    return subprocess.run([sys.executable, "-m", "exokern.retrieval", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=timeout, env=env,
                          preexec_fn=_capped if capped else None, **kw)


def assert_refused(run, *words):
    """A refusal: status 2, one line on stderr, no traceback."""
    assert run.returncode == 2, (run.returncode, run.stderr)
    lines = run.stderr.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in run.stderr, run.stderr
    for word in words:
        assert word in lines[0], lines[0]


# ---- a setting checked on every path ------------------------------------------------------

@pytest.mark.parametrize("section, line, words", [
    ("sampler", "dlogz = -1", "dlogz must be positive, got -1"),
    ("sampler", "dlogz = nan", "dlogz must be finite, got nan"),
    ("sampler", "max_calls = 0", "max_calls must be at least 1, got 0"),
    ("sampler", "seed = -1", "seed must not be negative, got -1"),
    ("sampler", "live = 5", "live must be at least 10, got 5"),
    ("model", "angles = 100000", "angles must be at most 200, got 100000"),
])
def test_a_configuration_file_is_checked_as_the_options_are(tmp_path, section, line, words):
    (tmp_path / "run.toml").write_text(f"[{section}]\n{line}\n")
    run = retrieve(["--config", "run.toml", "--output", "out"], tmp_path, timeout=60)
    assert_refused(run, words)
    assert not (tmp_path / "out").exists()


def test_the_angles_are_bounded_on_every_path(tmp_path):
    with pytest.raises(ValueError, match="angles must be at most 200, got 100000"):
        ForwardModel(angles=100000)
    run = subprocess.run([sys.executable, "-m", "exokern.grid", "--angles", "100000", "--axis",
                          "isothermal=800:900:2", "grid.zarr"], cwd=tmp_path,
                         capture_output=True, text=True, timeout=60)
    assert_refused(run, "angles must be at most 200, got 100000")


# ---- sizes no machine holds --------------------------------------------------------------

@pytest.mark.parametrize("args, words", [
    (["--live", "1000000000"], ["nautilus with 1000000000 live points", "of memory"]),
    (["--sampler", "dynesty", "--live", "300000000"], ["dynesty with 300000000 live points"]),
    # few layers pass the work's bound; the wavenumbers' arrays do not fit
    (["--layers", "2", "--resolution", "1e9"], ["a model of 2 layers x", "of memory"]),
    (["--memory-limit", "0.001"], ["more than the 1.02 MB"]),
])
def test_sizes_beyond_the_memory_are_refused_before_anything_is_made(tmp_path, args, words):
    run = retrieve([*args, "--output", "out"], tmp_path, capped=True, timeout=120)
    assert_refused(run, *words)
    assert not (tmp_path / "out").exists()


def test_the_capped_address_space_is_the_limit(tmp_path):
    # the same run that fits the machine does not fit 3 GiB
    run = retrieve(["--live", "10000000", "--output", "out"], tmp_path, capped=True)
    assert_refused(run, "this run may take")
    assert "3 GB" in run.stderr


def test_the_model_refuses_its_own_size():
    with pytest.raises(TooLarge, match="a model of 2 layers x .* needs about .* of memory"):
        ForwardModel("transmission", layers=2, resolution=1e10)


# ---- numbers the model or the likelihood cannot hold ---------------------------------------

@pytest.mark.parametrize("rows, words", [
    ("0.6,0.01,1e300,1e-4\n0.7,0.01,0.02,1e-4\n", ["line 2: a value of 1e+300"]),
    ("0.6,0.01,0.02,1e-300\n0.7,0.01,0.02,1e-4\n", ["line 2: a value of 0.02 +- 1e-300"]),
    ("0.6,0.01,0.02,1e-4\n7e300,0.01,0.02,1e-4\n", ["line 3: the bin", "micron"]),
])
def test_data_beyond_any_spectrum_are_refused(tmp_path, rows, words):
    (tmp_path / "data.csv").write_text("wavelength,width,depth,error\n" + rows)
    run = retrieve(["data.csv", *SMALL, "--output", "out"], tmp_path)
    assert_refused(run, "data.csv", *words)
    assert not (tmp_path / "out").exists()


def test_a_prior_whose_edge_overflows_the_model_is_refused(tmp_path):
    run = retrieve([*SMALL, "--free", "logkappa=uniform:300:400", "--output", "out"],
                   tmp_path)
    assert_refused(run, "the prior of logkappa", "cannot compute")
    assert not (tmp_path / "out").exists()


def test_a_point_that_overflows_is_impossible_not_a_crash():
    problem = default_problem()
    like = problem.likelihood
    theta = [problem.truths[name] for name in like.names]
    assert math.isfinite(like(theta))
    theta[like.names.index("logkappa")] = 400.0
    assert like(theta) == -math.inf
    assert np.array_equal(like.many(np.array([theta, theta])), [-math.inf, -math.inf])


# ---- files of another user ----------------------------------------------------------------

def _plant(path, marker):
    """A pickle that makes the folder `marker` when it is loaded."""
    path.write_bytes(pickle.dumps(_Payload(str(marker))))


class _Payload:
    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (os.mkdir, (self.marker,))


def _foreign(path):
    os.chown(path, 12345, 12345)


def _world_writable_folder(path):
    os.chmod(path.parent, 0o777)


def _link(path):
    target = path.parent / "elsewhere.pickle"
    os.replace(path, target)
    os.symlink(target, path)


@pytest.mark.parametrize("plant, words", [
    pytest.param(_foreign, ["belongs to user 12345"],
                 marks=pytest.mark.skipif(os.geteuid() != 0, reason="chown needs root")),
    (_world_writable_folder, ["other users can write to"]),
    (_link, ["is a symbolic link"]),
])
@pytest.mark.parametrize("sampler, name", [(DYNESTY, "retrieval.checkpoint"),
                                           (NAUTILUS, "retrieval.checkpoint.h5")])
def test_a_planted_checkpoint_is_never_loaded(tmp_path, plant, words, sampler, name):
    out = tmp_path / "out"
    out.mkdir()
    checkpoint = out / name
    marker = tmp_path / "the-pickle-ran"
    _plant(checkpoint, marker)
    plant(checkpoint)
    before = sorted(os.listdir(out))
    run = retrieve([*SMALL, *sampler, "--output", "out"], tmp_path)
    assert_refused(run, *words)
    assert not marker.exists()
    assert sorted(os.listdir(out)) == before


@pytest.mark.parametrize("sampler, temporary", [
    (DYNESTY, "retrieval.checkpoint.tmp"),
    (NAUTILUS, ".retrieval.checkpoint.h5.work.h5"),
])
def test_a_link_planted_at_a_temporary_name_is_not_followed(tmp_path, sampler, temporary):
    out = tmp_path / "out"
    out.mkdir()
    victim = tmp_path / "victim.txt"
    victim.write_text("precious")
    os.symlink(victim, out / temporary)
    run = retrieve([*SMALL, *sampler, "--checkpoint-every", "0.001", "--output", "out"],
                   tmp_path)
    assert run.returncode == 0, run.stderr
    assert victim.read_text() == "precious"
    assert not os.path.lexists(out / temporary)


# ---- a run killed at the worst moment -----------------------------------------------------

@pytest.mark.parametrize("sampler, name", [(DYNESTY, "retrieval.checkpoint"),
                                           (NAUTILUS, "retrieval.checkpoint.h5")])
def test_a_run_killed_while_checkpointing_resumes(tmp_path, sampler, name):
    """Killed (SIGKILL, no clean-up) while it writes a checkpoint after every step, the run
    leaves one it can load: the same command resumes and finishes whole."""
    args = [*SMALL, *sampler, "--checkpoint-every", "0.001", "--output", "out"]
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    proc = subprocess.Popen([sys.executable, "-m", "exokern.retrieval", *args], cwd=tmp_path,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        deadline = time.monotonic() + 120
        while not (tmp_path / "out" / name).exists() and proc.poll() is None:
            assert time.monotonic() < deadline, "no checkpoint was written"
            time.sleep(0.02)
        time.sleep(0.3)
    finally:
        proc.send_signal(signal.SIGKILL)
        proc.wait(timeout=30)
    if not (tmp_path / "out" / name).exists():
        pytest.skip("the run finished before it could be killed")
    run = retrieve(args, tmp_path)
    assert run.returncode == 0, run.stderr
    assert "resumed from a checkpoint" in run.stdout
    assert (tmp_path / "out" / "retrieval.npz").exists()
    assert not [f for f in os.listdir(tmp_path / "out") if "checkpoint" in f]


# ---- the grid command ---------------------------------------------------------------------

def grid_command(args, cwd, timeout=120, capped=False):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1",
               DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT="2s")
    return subprocess.run([sys.executable, "-m", "exokern.grid", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=timeout, env=env,
                          preexec_fn=_capped if capped else None)


GRID = ["--layers", "20", "--resolution", "200", "--workers", "1"]


def test_a_cells_file_with_a_byte_order_mark_is_read(tmp_path):
    from exokern.grid import Grid
    path = tmp_path / "cells.csv"
    path.write_bytes("\ufeffisothermal,na\n900,0\n1000,1\n".encode("utf-8"))
    grid = Grid.read_csv(str(path))
    assert grid.names == ("isothermal", "na") and grid.values.tolist() == [[900, 0], [1000, 1]]


@pytest.mark.parametrize("args, words, status", [
    (["--axis", "isothermal=800:900:100000", "--axis", "na=-1:1:100000"],
     ["a grid of 1e+10 cells (100000 x 100000)", "of memory"], 2),
    (["--axis", "isothermal=800:900:2", "--resolution", "1e9", "--layers", "2"],
     ["a model of 2 layers x", "of memory"], 2),
])
def test_a_grid_too_large_is_refused_before_the_store_is_made(tmp_path, args, words, status):
    run = grid_command([*args, "grid.zarr"], tmp_path, capped=True)
    assert run.returncode == status, run.stderr
    assert len(run.stderr.strip().splitlines()) == 1 and "Traceback" not in run.stderr
    for word in words:
        assert word in run.stderr
    assert not (tmp_path / "grid.zarr").exists()


def test_a_store_that_is_a_file_is_refused_in_one_line(tmp_path):
    (tmp_path / "grid.zarr").write_text("not a store")
    run = grid_command(["--axis", "isothermal=800:900:2", *GRID, "grid.zarr"], tmp_path)
    assert_refused(run, "grid.zarr is a file, not a grid store")
    assert (tmp_path / "grid.zarr").read_text() == "not a store"


def test_an_unreachable_scheduler_leaves_no_store(tmp_path):
    pytest.importorskip("distributed")
    run = grid_command(["--axis", "isothermal=800:900:2", *GRID[:-2], "--scheduler",
                        "tcp://127.0.0.1:9", "grid.zarr"], tmp_path)
    assert run.returncode == 1 and "cannot reach tcp://127.0.0.1:9" in run.stderr
    assert "Traceback" not in run.stderr
    assert not (tmp_path / "grid.zarr").exists()


def test_a_cluster_whose_worker_dies_while_starting_is_one_error(monkeypatch):
    """A worker killed while the embedded cluster starts (dask raises "Nanny failed to start")
    is the engine's one-line error, not a traceback."""
    distributed = pytest.importorskip("distributed")
    from exokern import engines

    def dies(*args, **kwargs):
        raise RuntimeError("Nanny failed to start.")

    monkeypatch.setattr(distributed, "LocalCluster", dies)
    with pytest.raises(engines.EngineError, match="^the local dask cluster did not start: "
                                                 "Nanny failed to start.$"):
        with engines.connect(workers=1):
            pass


def test_a_second_run_on_a_store_in_use_stops(tmp_path):
    """While one run holds the store, another stops in one line and writes nothing."""
    fcntl = pytest.importorskip("fcntl")
    pytest.importorskip("distributed")
    with open(tmp_path / ".grid.zarr.lock", "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        run = grid_command(["--axis", "isothermal=800:900:2", *GRID, "grid.zarr"], tmp_path)
    assert run.returncode == 1, run.stderr
    assert "another run is writing grid.zarr" in run.stderr and "Traceback" not in run.stderr
    assert not (tmp_path / "grid.zarr").exists()


# ---- read-only places ---------------------------------------------------------------------

@pytest.fixture
def read_only(tmp_path):
    """read_only(folder): `folder` mounted read-only over itself (root only), unmounted after
    the test."""
    mounted = []

    def make(folder):
        folder.mkdir(exist_ok=True)
        for command in (["mount", "--bind", str(folder), str(folder)],
                        ["mount", "-o", "remount,bind,ro", str(folder)]):
            if subprocess.run(command, capture_output=True).returncode != 0:
                pytest.skip("cannot mount here (not root, or no mount namespace)")
            if command[1] == "--bind":
                mounted.append(folder)
        return folder

    yield make
    for folder in mounted:
        subprocess.run(["umount", str(folder)], capture_output=True)


def test_a_read_only_output_folder_is_refused_before_sampling(tmp_path, read_only):
    read_only(tmp_path / "out")
    run = retrieve([*SMALL, *DYNESTY, "--output", "out"], tmp_path)
    assert_refused(run, "cannot write to --output out: Read-only file system")


def test_a_read_only_store_is_refused_before_any_work(tmp_path, read_only):
    pytest.importorskip("distributed")
    from exokern.cli import grid as command
    from exokern.grid.store import create_store
    args = ["--axis", "isothermal=800,900", *GRID, "grid.zarr"]
    parser = command.build_parser("exokern-grid")
    grid, model, fixed = command._parse(parser, parser.parse_args(args))
    # the store of that command made, none of its cells computed yet
    create_store(str(tmp_path / "grid.zarr"), grid, model, fixed, 2)
    read_only(tmp_path / "grid.zarr")
    run = grid_command(args, tmp_path)
    assert_refused(run, "cannot write to the store grid.zarr: Read-only file system")


# ---- a pool losing a worker ---------------------------------------------------------------

def _children(pid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parent = int(f.read().rsplit(")", 1)[1].split()[1])
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    command = f.read()
            except (OSError, ValueError, IndexError):
                continue
            if parent == pid and b"spawn_main" in command:  # a worker, not the tracker
                found.append(int(entry))
    return found


@pytest.mark.skipif(not os.path.isdir("/proc"), reason="finds the workers through /proc")
def test_a_dask_worker_killed_mid_retrieval(tmp_path):
    """A dask worker killed while the retrieval samples: its nanny starts another and the run
    finishes whole, or the run stops in one line; it never hangs."""
    pytest.importorskip("distributed")
    args = [*SMALL, *DYNESTY, "--live", "80", "--dlogz", "0.1", "--dask", "--workers", "2",
            "--output", "out"]
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    proc = subprocess.Popen([sys.executable, "-m", "exokern.retrieval", *args], cwd=tmp_path,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        deadline = time.monotonic() + 120
        while len(_children(proc.pid)) < 2 and proc.poll() is None:
            assert time.monotonic() < deadline, "no workers started"
            time.sleep(0.1)
        time.sleep(3.0)  # the workers busy sampling
        if proc.poll() is not None:
            pytest.skip("the run ended before a worker could be killed")
        os.kill(_children(proc.pid)[0], signal.SIGKILL)
        out, err = proc.communicate(timeout=240)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    if proc.returncode == 0:
        assert (tmp_path / "out" / "retrieval.npz").exists() and "evidence" in out
    else:
        assert proc.returncode == 1 and len(err.strip().splitlines()) == 1, err
