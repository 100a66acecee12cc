"""exokern.grid: grids of spectra on real dask clusters (processes on the loopback interface),
stored in real zarr stores, against the in-process forward model bit for bit."""

import os
import pathlib
import pickle
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

pytest.importorskip("distributed")
pytest.importorskip("xarray")
pytest.importorskip("zarr")

from distributed import Client, LocalCluster  # noqa: E402

from exokern import grid as eg  # noqa: E402
from exokern.model import ForwardModel  # noqa: E402

SMALL = dict(layers=30, resolution=1000.0, angles=4)
SMALL_ARGS = ["--layers", "30", "--resolution", "1000", "--angles", "4"]
# About 25 ms a spectrum: runs long enough to be interrupted or lose a worker on the way.
SLOW = dict(layers=60, resolution=4000.0, angles=4)
SLOW_ARGS = ["--layers", "60", "--resolution", "4000", "--angles", "4"]


def serial(model, grid, fixed=None):
    """The in-process loop: every cell's outputs, NaN rows where the model raises."""
    out = {name: np.full((len(grid), len(model.wn)), np.nan) for name in model.outputs}
    for i in range(len(grid)):
        try:
            values = model.spectrum(**{**(fixed or {}), **grid.cell(i)})
        except ValueError:
            continue
        for name, v in values.items():
            out[name][i] = v
    return out


def assert_store_equals(path, model, want, failed=()):
    ds = eg.open_grid(path)
    for name in model.outputs:
        assert np.array_equal(ds[name].values, want[name], equal_nan=True), name
    status = ds["status"].values
    assert set(np.flatnonzero(status == eg.FAILED)) == set(failed)
    assert np.all(status[[i for i in range(len(status)) if i not in failed]] == eg.DONE)
    assert np.array_equal(ds["wn"].values, model.wn)


@pytest.fixture(scope="module")
def cluster():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address="127.0.0.1:0") as lc, Client(lc) as client:
        yield client


# ---- the grid and its options ----------------------------------------------------------------

@pytest.mark.parametrize("text, name, values", [
    ("tirr=800:2000:4", "tirr", [800.0, 1200.0, 1600.0, 2000.0]),
    ("kappa=1e-3:1e-1:3:log", "kappa", [1e-3, 1e-2, 1e-1]),
    ("na = -1,0,0.5", "na", [-1.0, 0.0, 0.5]),
    ("tint=100:100:1", "tint", [100.0]),
])
def test_axes(text, name, values):
    got_name, got = eg.parse_axis(text)
    assert got_name == name and np.allclose(got, values, rtol=1e-15)


@pytest.mark.parametrize("text", ["tirr", "tirr=", "tirr=1:2", "tirr=1:2:0", "tirr=a:2:3",
                                  "tirr=1:2:3:lin", "kappa=0:1:3:log", "na=1,x"])
def test_bad_axes(text):
    with pytest.raises(ValueError, match="axis"):
        eg.parse_axis(text)


def test_product_order_and_csv(tmp_path):
    g = eg.Grid.from_axes({"tirr": [1000.0, 2000.0], "na": [0.0, 1.0, 2.0]})
    assert g.values.tolist() == [[1000, 0], [1000, 1], [1000, 2], [2000, 0], [2000, 1],
                                 [2000, 2]]
    path = tmp_path / "cells.csv"
    path.write_text("tirr,na\n1000,0\n1500,0.5\n")
    assert eg.Grid.read_csv(str(path)).values.tolist() == [[1000, 0], [1500, 0.5]]
    path.write_text("tirr,na\n1000\n")
    with pytest.raises(ValueError, match="line 2: 1 values for 2 parameters"):
        eg.Grid.read_csv(str(path))
    with pytest.raises(ValueError, match="unknown parameter 'bogus'"):
        eg.Grid.from_axes({"bogus": [1.0]})


@pytest.mark.parametrize("seconds, cells, workers, want", [
    (0.006, 10_000, 2, 134),  # 40 ms per task <= 5 % of 134 x 6 ms
    (0.8, 10_000, 2, 1),  # a slow model: one cell per task already pays
    (0.001, 40, 2, 20),  # few cells: every worker still gets work
])
def test_block_size(seconds, cells, workers, want):
    assert eg.block_size(seconds, cells, workers, 8 * 1000) == want


def test_a_model_pickles_small_and_aligned():
    model = ForwardModel("both", **SMALL)
    data = pickle.dumps(model, protocol=5)
    assert len(data) < 2000  # the static choices, not the arrays
    again = pickle.loads(data)
    assert again == model and again.wn.flags.aligned
    assert all(np.array_equal(a, b) for a, b in zip(again.spectrum().values(),
                                                    model.spectrum().values()))


def test_scattered_cells_are_written_without_touching_their_neighbours(tmp_path):
    # After a resume, a block holds the cells of a chunk that were not done: not contiguous.
    model = ForwardModel("emission", **SMALL)
    g = eg.Grid.from_axes({"tirr": [900.0, 1100.0, 1300.0, 1500.0, 1700.0]})
    path = str(tmp_path / "g.zarr")
    eg.create_store(path, g, model, {}, chunk=5)
    writer = eg._Writer(path, model.outputs)
    for cells in ([0, 2, 4], [3]):
        cells = np.array(cells)
        writer.write(cells, eg.compute_block(model, ["tirr"], g.values[cells], {}))
    ds = eg.open_grid(path)
    assert list(ds["status"].values) == [1, 0, 1, 1, 1]
    assert np.isnan(ds["flux"].values[1]).all()
    want = serial(model, g, {})
    for i in (0, 2, 3, 4):
        assert np.array_equal(ds["flux"].values[i], want["flux"][i])


# ---- runs on real clusters -------------------------------------------------------------------

def test_local_cluster_equals_the_serial_loop(tmp_path, cluster):
    model = ForwardModel("both", **SMALL)
    g = eg.Grid.from_axes({"tirr": [900.0, 1400.0, 2000.0], "na": [-1.0, 0.0, 1.0, 1000.0]})
    fixed = {"k": 0.5}
    summary = eg.run_grid(str(tmp_path / "g.zarr"), g, model, fixed, client=cluster, block=2)
    # na = 1000 dex is refused by the model: those cells failed, with the reason.
    bad = [i for i in range(len(g)) if g.cell(i)["na"] == 1000.0]
    assert [i for i, _ in summary.failed] == bad and summary.computed == len(g) - len(bad)
    assert all("more Na atoms than gas particles" in r for _, r in summary.failed)
    assert_store_equals(tmp_path / "g.zarr", model, serial(model, g, fixed), failed=bad)
    ds = eg.open_grid(str(tmp_path / "g.zarr"))
    assert ds.attrs["exokern_version"] and "reason" in ds and ds["tirr"].dims == ("cell",)


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def external(tmp_path):
    """A `dask scheduler` and a `dask worker` (two processes under a nanny), started here."""
    port = _free_port()
    address = f"tcp://127.0.0.1:{port}"
    bindir = os.path.dirname(sys.executable)
    procs = [subprocess.Popen([os.path.join(bindir, "dask"), "scheduler", "--host",
                               "127.0.0.1", "--port", str(port), "--no-dashboard",
                               "--dashboard-address", "127.0.0.1:0"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        procs.append(subprocess.Popen(
            [os.path.join(bindir, "dask"), "worker", address, "--nworkers", "2", "--nthreads",
             "1", "--host", "127.0.0.1", "--no-dashboard"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        with Client(address, timeout=60) as client:
            client.wait_for_workers(2, timeout=60)
            yield address, client
    finally:
        for p in reversed(procs):
            p.send_signal(signal.SIGINT)
        for p in reversed(procs):
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def test_external_scheduler_through_the_command(tmp_path, external, capsys):
    address, _ = external
    store = str(tmp_path / "g.zarr")
    args = [store, "--axis", "tirr=1000:2000:5", "--geometry", "transmission", "--scheduler",
            address, "--block", "2", *SMALL_ARGS]
    assert eg.main(args) == 0
    out = capsys.readouterr().out
    assert f"dask scheduler {address}" in out and "5 computed now, 0 failed" in out
    model = ForwardModel("transmission", **SMALL)
    g = eg.Grid.from_axes({"tirr": np.linspace(1000, 2000, 5)})
    assert_store_equals(store, model, serial(model, g))


def _status(store):
    try:
        return eg.open_grid(store)["status"].values
    except Exception:
        return None


def test_a_worker_killed_mid_run(tmp_path, external):
    _, client = external
    model = ForwardModel("emission", **SLOW)
    g = eg.Grid.from_axes({"tirr": np.linspace(800.0, 2400.0, 60)})
    store = str(tmp_path / "g.zarr")
    result = {}
    run = threading.Thread(target=lambda: result.update(
        summary=eg.run_grid(store, g, model, client=client, block=2, progress=False)))
    run.start()
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        status = _status(store)  # None while the store is laid out or mid-write
        if status is not None and (status == eg.DONE).any():
            break
        time.sleep(0.05)
    pids = client.run(os.getpid)
    os.kill(pids[sorted(pids)[0]], signal.SIGKILL)  # its nanny starts a new one
    run.join(timeout=180)
    assert not run.is_alive()
    summary = result["summary"]
    assert summary.ok and summary.computed == len(g)
    assert_store_equals(store, model, serial(model, g))


def test_interrupted_then_resumed(tmp_path):
    store = str(tmp_path / "g.zarr")
    # 400 cells take seconds: the interrupt lands mid-run however slowly the store is polled.
    args = [sys.executable, "-m", "exokern.grid", store, "--axis", "tirr=800:2400:400",
            "--workers", "2", "--block", "2", *SLOW_ARGS]
    # Its own process group, signalled whole as a terminal's Ctrl-C is: the workers get it too.
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    deadline = time.monotonic() + 90
    while time.monotonic() < deadline:
        status = _status(store)
        if status is not None and (status == eg.DONE).sum() >= 4:
            break
        time.sleep(0.05)
    os.killpg(proc.pid, signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    status = _status(store)
    assert proc.returncode == 130, err
    assert err.strip().splitlines()[-1] == "python -m exokern.grid: interrupted"
    assert "Traceback" not in err and "Cancelled" not in err, err
    done = int((status == eg.DONE).sum())
    assert 0 < done < 400

    again = subprocess.run(args, capture_output=True, text=True, timeout=180)
    assert again.returncode == 0, again.stderr
    assert f"{done} done before, {400 - done} computed now, 0 failed" in again.stdout
    model = ForwardModel("emission", **SLOW)
    g = eg.Grid.from_axes({"tirr": np.linspace(800, 2400, 400)})
    assert_store_equals(store, model, serial(model, g))


def test_a_failed_cell_gives_status_1_and_another_configuration_is_refused(tmp_path, capsys):
    cells = tmp_path / "cells.csv"
    cells.write_text("tirr,na\n1000,0\n1200,999\n1400,1\n")
    store = str(tmp_path / "g.zarr")
    args = [store, "--cells", str(cells), "--workers", "1", *SMALL_ARGS]
    assert eg.main(args) == 1
    out = capsys.readouterr().out
    assert "2 computed now, 1 failed" in out and "failed      cell 1 (tirr=1200, na=999)" in out

    def snapshot():
        return {os.path.relpath(os.path.join(d, f), store):
                pathlib.Path(d, f).read_bytes() for d, _, files in os.walk(store) for f in files}

    before = snapshot()
    assert eg.main([store, "--cells", str(cells), "--workers", "1", "--layers", "31",
                    *SMALL_ARGS[2:]]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "another configuration (the static choices differs)" in err
    assert snapshot() == before


@pytest.mark.parametrize("args, message", [
    ([], "give either --axis"),
    (["--axis", "tirr=1:2:3", "--cells", "x.csv"], "give either --axis"),
    (["--axis", "bogus=1,2"], "unknown parameter 'bogus'"),
    (["--axis", "tirr=1,2", "--set", "tirr=5"], "tirr is both a grid parameter and a --set"),
    (["--axis", "tirr=1,2", "--set", "na=1000"], "more Na atoms than gas particles"),
    (["--cells", "/nonexistent/cells.csv"], "cannot read --cells"),
    (["--axis", "tirr=1,2", "--workers", "0"], "--workers"),
])
def test_bad_options_are_one_line(tmp_path, capsys, args, message):
    with pytest.raises(SystemExit) as exit_:
        eg.main([str(tmp_path / "g.zarr"), *args])
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and err.count("\n") == 1 and message in err
    assert not os.path.exists(tmp_path / "g.zarr")
