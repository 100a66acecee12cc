"""exokern.grid: grids of spectra on real dask clusters (processes on the loopback interface),
stored in real zarr stores, against the in-process forward model bit for bit."""

import json
import math
import os
import pathlib
import warnings
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
from exokern.grid import run as run_module  # noqa: E402
from exokern.grid import store as store_module  # noqa: E402
from exokern.cli.grid import main as grid_main  # noqa: E402
from exokern.model import ForwardModel  # noqa: E402

SMALL = dict(layers=30, resolution=1000.0, angles=4)
SMALL_ARGS = ["--layers", "30", "--resolution", "1000", "--angles", "4"]
# About 25 ms a spectrum: runs long enough to be interrupted or lose a worker on the way.
SLOW = dict(layers=60, resolution=16000.0, angles=4)
SLOW_ARGS = ["--layers", "60", "--resolution", "16000", "--angles", "4"]


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
    ds = eg.open(path)
    for name in model.outputs:
        got = ds[name].values.reshape(-1, len(model.wn))  # the grid's order, first axis slowest
        assert np.array_equal(got, want[name], equal_nan=True), name
    status = ds["status"].values.ravel()
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
                                  "tirr=1:2:3:lin", "kappa=0:1:3:log", "na=1,x", "na=0,1,0"])
def test_bad_axes(text):
    with pytest.raises(ValueError, match="axis"):
        eg.parse_axes([text])


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
    model = ForwardModel("emission", **SMALL)
    with pytest.raises(ValueError, match="unknown parameter 'bogus'"):
        eg.check(eg.Grid.from_axes({"bogus": [1.0]}), model, {})
    with pytest.raises(ValueError, match="tirr is both a grid parameter and a fixed value"):
        eg.check(eg.Grid.from_axes({"tirr": [1.0]}), model, {"tirr": 2.0})


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


@pytest.mark.parametrize("axes", [
    {"tirr": [900.0, 1100.0, 1300.0, 1500.0, 1700.0]},
    {"tirr": [900.0, 1300.0, 1700.0], "na": [-1.0, 0.0]},
])
def test_scattered_cells_are_written_without_touching_their_neighbours(tmp_path, axes):
    # After a resume, a block holds the cells of a chunk that were not done: not contiguous,
    # and in a grid of axes not a box of the arrays.
    model = ForwardModel("emission", **SMALL)
    g = eg.Grid.from_axes(axes)
    path = str(tmp_path / "g.zarr")
    layout = eg.create_store(path, g, model, {}, chunk=6)
    writer = eg.Writer(path, model.outputs, layout)
    for cells in ([0, 2, 4], [3]):
        cells = np.array(cells)
        writer.write(cells, eg.compute_block(model, list(g.names), g.values[cells], {}))
    ds = eg.open(path)
    status = ds["status"].values.ravel()
    flux = ds["flux"].values.reshape(len(g), -1)
    assert list(status) == [1, 0, 1, 1, 1] + [0] * (len(g) - 5)
    assert np.isnan(flux[1]).all() and np.isnan(flux[5:]).all()
    want = serial(model, g, {})
    for i in (0, 2, 3, 4):
        assert np.array_equal(flux[i], want["flux"][i])


@pytest.mark.parametrize("shape", [(7,), (2, 3), (13, 5), (3, 4, 5), (1, 6, 1)])
@pytest.mark.parametrize("target", [1, 2, 7, 20, 1000])
def test_chunks_are_runs_of_cells_and_fresh_tasks_are_boxes(shape, target):
    g = eg.Grid.from_axes({name: np.arange(float(n)) for name, n in zip(["tirr", "na", "k"],
                                                                          shape)})
    layout = eg.Layout.of(g, target)
    chunk = layout.chunk_of(np.arange(len(g)))
    assert np.all(np.diff(chunk) >= 0)  # each chunk a run of consecutive cells
    assert np.bincount(chunk).max() <= max(target, 1)
    assert math.prod(layout.chunks) == np.bincount(chunk).max()
    for block in (1, 3, 10, target):
        for cells in run_module._tasks(np.arange(len(g)), layout, block - block % layout.row
                                       if block >= layout.row else block):
            index = layout.index(cells)
            box = math.prod(int(i.max()) - int(i.min()) + 1 for i in index)
            assert len(set(chunk[cells])) == 1
            assert box == len(cells) or block < layout.row


@pytest.mark.parametrize("reason, length", [("ValueError: x", 13), ("é" * 200, 128),
                                            ("a" + "€" * 100, 86)])
def test_a_reason_is_cut_at_a_character(reason, length):
    clipped = store_module._clip(reason)
    assert len(clipped) <= store_module.REASON_BYTES and clipped.decode() == reason[:length]


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
    assert ds.attrs["exokern_version"] and "reason" in ds and ds["flux"].dims == ("tirr", "na",
                                                                               "wn")


@pytest.fixture(scope="module")
def two_axes(tmp_path_factory, cluster):
    """A grid of two axes (a failing value on the second), run through the command."""
    store = str(tmp_path_factory.mktemp("grid") / "g.zarr")
    args = [store, "--axis", "isothermal=800:2000:3", "--axis", "na=-1,0,1,1000", "--geometry",
            "both", "--scheduler", cluster.scheduler.address, *SMALL_ARGS]
    assert grid_main(args) == 1  # na = 1000 fails
    return store, ForwardModel("both", **SMALL)


def test_plain_xarray_reads_a_grid_of_two_axes(two_axes):
    pytest.importorskip("scipy")  # xarray's interp
    plt = pytest.importorskip("matplotlib.pyplot")
    import xarray as xr
    store, model = two_axes
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # unconsolidated metadata would warn here
        ds = xr.open_zarr(store)
        assert ds["depth"].dims == ("isothermal", "na", "wn")
        assert ds["status"].dims == ("isothermal", "na")
        cell = ds.sel(isothermal=1400.0, na=0.0)
        want = model.spectrum(isothermal=1400.0, na=0.0)
        for name in model.outputs:
            assert np.array_equal(cell[name].values, want[name]), name
        # Between the nodes: the bilinear mean of the four corners, by hand.
        mid = ds["tb"].interp(isothermal=1100.0, na=0.5).values
        corners = [model.spectrum(isothermal=t, na=n)["tb"] for t in (800.0, 1400.0)
                   for n in (0.0, 1.0)]
        np.testing.assert_allclose(mid, np.mean(corners, axis=0), rtol=1e-12)
        lines = ds["depth"].sel(isothermal=1400.0).plot(x="wn", hue="na")
        mesh = ds["tb"].isel(wn=0).plot()
        assert len(lines) == 4 and mesh.get_array().shape == (3, 4)
        plt.close("all")
        failed = ds["reason"].sel(na=1000.0).values
        assert all("more Na atoms than gas particles" in str(r) for r in failed)
        assert (ds["reason"].sel(na=0.0).values == "").all()
    for name, var in ds.variables.items():
        assert var.attrs.get("units") and var.attrs.get("long_name"), name
    assert ds["isothermal"].attrs["units"] == "K" and ds["wn"].attrs["units"] == "cm-1"
    assert ds["na"].attrs["units"] == "1" and ds["na"].attrs["exokern_unit"] == "dex"
    status = ds["status"]
    meanings = dict(zip(status.attrs["flag_values"], status.attrs["flag_meanings"].split()))
    assert meanings == {eg.TODO: "to_do", eg.DONE: "done", eg.FAILED: "failed"}
    assert set(np.unique(status.values)) == {eg.DONE, eg.FAILED}
    assert ForwardModel.from_description(ds.attrs["exokern_model"]) == model
    assert "--axis na=-1,0,1,1000" in ds.attrs["history"]


def test_a_grid_of_cells_keeps_its_cells(tmp_path, cluster):
    cells = tmp_path / "cells.csv"
    cells.write_text("tirr,na\n1000,0\n1400,1\n")
    store = str(tmp_path / "g.zarr")
    model = ForwardModel("emission", **SMALL)
    eg.run_grid(store, eg.Grid.read_csv(str(cells)), model, client=cluster)
    import xarray as xr
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ds = xr.open_zarr(store)
    assert ds["flux"].dims == ("cell", "wn") and ds["na"].dims == ("cell",)
    assert ds["tirr"].attrs["units"] == "K"
    assert np.array_equal(ds["flux"].sel(cell=1).values,
                          model.spectrum(tirr=1400.0, na=1.0)["flux"])


def _earlier_store(path, grid, model, chunk):
    """A store as exokern laid it out before grids had their axes' shape: every grid along
    `cell`, zarr format 3, variable-length reasons, no consolidated metadata."""
    import dask.array as da
    import xarray as xr
    n, nwave = len(grid), len(model.wn)
    data = {name: (("cell", "wn"), da.full((n, nwave), np.nan, chunks=(chunk, nwave)))
            for name in model.outputs}
    data["status"] = ("cell", np.full(n, eg.TODO, dtype=np.int8))
    data["reason"] = ("cell", np.full(n, "", dtype=object))
    coords = {name: ("cell", grid.values[:, j].copy()) for j, name in enumerate(grid.names)}
    coords.update(wn=("wn", model.wn), wavelength=("wn", model.wavelength))
    ds = xr.Dataset(data, coords=coords)
    ds.attrs.update(exokern_grid=run_module.config(grid, model, {}),
                    exokern_version=run_module.__version__, geometry=model.geometry)
    encoding = {name: {"fill_value": np.nan} for name in model.outputs}
    encoding.update(status={"chunks": (chunk,)}, reason={"chunks": (chunk,)})
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="The codec `vlen-utf8`")
        ds.to_zarr(path, mode="w-", compute=False, encoding=encoding, consolidated=False,
                   zarr_format=3)


def test_a_store_of_the_earlier_layout_is_resumed_and_opened_in_its_axes_shape(tmp_path,
                                                                               cluster):
    model = ForwardModel("emission", **SMALL)
    g = eg.Grid.from_axes({"tirr": [1700.0, 900.0, 1300.0], "na": [0.0, 1000.0]})
    store = str(tmp_path / "old.zarr")
    _earlier_store(store, g, model, chunk=4)
    writer = eg.Writer(store, model.outputs, eg.Layout(("cell",), (len(g),), (4,)))
    writer.write(np.array([0, 2]), eg.compute_block(model, g.names, g.values[[0, 2]], {}))
    summary = eg.run_grid(store, g, model, client=cluster, block=1)
    assert summary.done_before == 2 and [i for i, _ in summary.failed] == [1, 3, 5]
    assert_store_equals(store, model, serial(model, g), failed=[1, 3, 5])
    ds = eg.open(store)
    assert ds["flux"].dims == ("tirr", "na", "wn")
    assert ds["tirr"].values.tolist() == [1700.0, 900.0, 1300.0]  # the axis's own order
    assert np.array_equal(ds["flux"].sel(tirr=900.0, na=0.0).values,
                          model.spectrum(tirr=900.0)["flux"])
    assert "more Na atoms" in str(ds["reason"].sel(tirr=1300.0, na=1000.0).values)
    import xarray as xr
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert xr.open_zarr(store)["flux"].dims == ("cell", "wn")  # now consolidated


def test_a_store_of_a_later_layout_is_refused_in_one_line(tmp_path, capsys):
    import zarr
    store = str(tmp_path / "g.zarr")
    args = [store, "--axis", "tirr=1000,1200", "--workers", "1", *SMALL_ARGS]
    assert grid_main(args) == 0
    group = zarr.open_group(store, mode="r+")
    group.attrs["exokern_layout"] = 3
    zarr.consolidate_metadata(store)
    capsys.readouterr()
    assert grid_main(args) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "has a layout (3) this exokern cannot write" in err


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


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc")
def test_local_workers_leave_when_their_parent_is_killed():
    # A parent killed outright runs no shutdown; its workers must not wait for work forever.
    code = ("from exokern import engines\nimport time\n"
            "with engines.processes(2) as pool:\n"
            "    print(*pool._executor._processes, flush=True)\n"
            "    time.sleep(60)\n")
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        workers = [int(w) for w in proc.stdout.readline().split()]
        assert len(workers) == 2
    finally:
        proc.kill()
        proc.wait(10)
        proc.stdout.close()
    deadline = time.monotonic() + 20
    alive = workers
    while alive and time.monotonic() < deadline:
        time.sleep(0.2)
        alive = [w for w in alive if _running(w)]
    for w in alive:
        os.kill(w, signal.SIGKILL)
    assert not alive, "workers outlived their killed parent"


def _running(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split()[2] != "Z"
    except FileNotFoundError:
        return False


def test_external_scheduler_through_the_command(tmp_path, external, capsys):
    address, _ = external
    store = str(tmp_path / "g.zarr")
    args = [store, "--axis", "tirr=1000:2000:5", "--geometry", "transmission", "--scheduler",
            address, "--block", "2", *SMALL_ARGS]
    assert grid_main(args) == 0
    out = capsys.readouterr().out
    assert f"dask scheduler {address}" in out and "5 computed now, 0 failed" in out
    model = ForwardModel("transmission", **SMALL)
    g = eg.Grid.from_axes({"tirr": np.linspace(1000, 2000, 5)})
    assert_store_equals(store, model, serial(model, g))


def _status(store):
    try:
        return eg.open(store)["status"].values.ravel()
    except Exception:
        return None


def test_a_worker_killed_mid_run(tmp_path, external):
    _, client = external
    model = ForwardModel("emission", **SLOW)
    g = eg.Grid.from_axes({"tirr": np.linspace(800.0, 2400.0, 60)})
    store = str(tmp_path / "g.zarr")
    result = {}
    run = threading.Thread(target=lambda: result.update(
        summary=eg.run_grid(store, g, model, client=client, block=2)))
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
    assert grid_main(args) == 1
    out = capsys.readouterr().out
    assert "2 computed now, 1 failed" in out and "failed      cell 1 (tirr=1200, na=999)" in out

    def snapshot():
        return {os.path.relpath(os.path.join(d, f), store):
                pathlib.Path(d, f).read_bytes() for d, _, files in os.walk(store) for f in files}

    before = snapshot()
    assert grid_main([store, "--cells", str(cells), "--workers", "1", "--layers", "31",
                    *SMALL_ARGS[2:]]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "another configuration (the static choices differs)" in err
    assert snapshot() == before


@pytest.mark.parametrize("args, message", [
    ([], "give either --axis"),
    (["--axis", "tirr=1:2:3", "--cells", "x.csv"], "give either --axis"),
    (["--axis", "bogus=1,2"], "unknown parameter 'bogus'"),
    (["--axis", "tirr=1,2", "--set", "tirr=5"], "tirr is both a grid parameter and a fixed"),
    (["--axis", "tirr=1,2", "--set", "na=x"], "--set na=x: 'x' is not a number"),
    (["--axis", "tirr=1,2", "--angles", "0"], "angles must be at least 1"),
    (["--axis", "tirr=1,2", "--layers", "1"], "layers must be at least 2"),
    (["--axis", "tirr=1,2", "--set", "na=1000"], "more Na atoms than gas particles"),
    (["--cells", "/nonexistent/cells.csv"], "cannot read --cells"),
    (["--axis", "tirr=1,2", "--workers", "0"], "--workers"),
])
def test_bad_options_are_one_line(tmp_path, capsys, args, message):
    with pytest.raises(SystemExit) as exit_:
        grid_main([str(tmp_path / "g.zarr"), *args])
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and err.count("\n") == 1 and message in err
    assert not os.path.exists(tmp_path / "g.zarr")
