"""exokern.opacity.cia: HITRAN's collision-induced absorption files, read and resampled."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

from exokern.opacity import TableError
from exokern.opacity.cia import read_cia, resample

DATA = Path(__file__).resolve().parents[2] / "shared" / "data" / "cia"


def shared(name):
    path = DATA / name
    if not path.is_file():
        pytest.skip(f"{path} is absent")
    return str(path)


def header(t, lo, hi, n, pair="H2-H2", maxc=9.955e-45):
    """A block header in HITRAN's columns: A20, F10.4, F10.4, I7, F7.1, E10.3, F6.3, A27, I3."""
    return f"{pair:>20}{lo:10.4f}{hi:10.4f}{n:7d}{t:7.1f}{maxc:10.3E}{-0.999:6.3f}{'':27}{0:3d}"


def block(t, rows, pair="H2-H2"):
    return [header(t, rows[0][0], rows[-1][0], len(rows), pair)] + [
        f"{w:10.4f}{c:11.3E}" for w, c in rows]


def write(tmp_path, lines, end="\n"):
    path = tmp_path / "pair.cia"
    path.write_bytes(end.join(lines).encode("ascii"))
    return str(path)


ROWS_300 = [(100.0, 1.0e-46), (200.0, 3.0e-46), (300.0, 2.0e-46)]
ROWS_200 = [(100.0, 4.0e-46), (200.0, 5.0e-46), (300.0, 1.0e-46)]


@pytest.mark.parametrize("name, pair", [("H2-H2.cia", ("H2", "H2")), ("H2-He.cia", ("H2", "He"))])
@pytest.mark.parametrize("blk, row", [(0, 0), (2, 250), (29, 499)])
def test_shared_values_as_written(name, pair, blk, row):
    path = shared(name)
    lines = Path(path).read_text().splitlines()
    wn, coef = map(float, lines[501 * blk + 1 + row].split())
    table = read_cia(path)
    assert table.pair == pair
    assert np.array_equal(table.temperatures, np.arange(100.0, 3001.0, 100.0))
    assert table.blocks[blk][0][row] == wn and table.blocks[blk][1][row] == coef
    own = resample(table, table.blocks[blk][0])
    assert np.array_equal(own, np.array([c for _, c in table.blocks]))


def test_shared_h2h2_near_2_31_micron():
    table = read_cia(shared("H2-H2.cia"))
    at = resample(table, np.array([1e4 / 2.31]))[list(table.temperatures).index(300.0), 0]
    assert at == pytest.approx(4.0e-45, rel=0.1)


def test_shared_between_nodes_and_outside(rng):
    table = read_cia(shared("H2-He.cia"))
    wn, coef = table.blocks[7]
    x = np.sort(rng.uniform(wn[0], wn[-1], 2000))
    outside = np.array([0.0, np.nextafter(wn[0], 0.0), np.nextafter(wn[-1], np.inf), 2e4])
    got = resample(table, np.concatenate([outside[:2], x, outside[2:]]))[7]
    assert np.allclose(got[2:-2], np.interp(x, wn, coef), rtol=1e-13, atol=0.0)
    assert np.all(got[[0, 1, -2, -1]] == 0.0) and np.all(got[2:-2] > 0.0)


def test_shared_excerpt_refused():
    path = shared("H2-H2_hitran2011_excerpt.cia")
    with pytest.raises(TableError) as err:
        read_cia(path)
    msg = str(err.value)
    assert msg.startswith(path + ": block 1 (H2-H2, 200 K, line 1)")
    assert all(s in msg for s in ("4400.000", "100 rows", "4399"))


@pytest.mark.parametrize("end, last", [("\n", "\n"), ("\r\n", ""), ("\n", "\n\n")])
def test_two_temperatures_file_order_descending(tmp_path, end, last):
    table = read_cia(write(tmp_path, block(300, ROWS_300) + block(200, ROWS_200) + [last], end))
    assert table.pair == ("H2", "H2") and list(table.temperatures) == [200.0, 300.0]
    out = resample(table, np.array([50.0, 100.0, 150.0, 300.0, 300.5]))
    assert out == pytest.approx(np.array([[0.0, 4.0e-46, 4.5e-46, 1.0e-46, 0.0],
                                          [0.0, 1.0e-46, 2.0e-46, 2.0e-46, 0.0]]), rel=1e-14, abs=0)


@pytest.mark.parametrize("head, wn", [
    ("               H2-He    4300.000 4400.000     3  200.0 8.788E-45 -.999", (4300, 4350, 4400)),
    (header(200, 9999.5, 10000.5, 3, "H2-He"), (9999.5, 10000.0, 10000.5)),
    (header(200, 100, 300, 3, "H2-He")[:70], (100, 200, 300)),
])
def test_header_forms(tmp_path, head, wn):
    rows = [f"{w} {c}" for w, c in zip(wn, (1e-45, 2e-45, 3e-45))]
    table = read_cia(write(tmp_path, [head] + rows))
    assert table.pair == ("H2", "He") and list(table.temperatures) == [200.0]
    assert list(table.blocks[0][0]) == list(wn)
    assert list(table.blocks[0][1]) == [1e-45, 2e-45, 3e-45]


def test_ranges_of_one_temperature_merged(tmp_path):
    high = [(500.0, 6.0e-46), (700.0, 8.0e-46)]
    table = read_cia(write(tmp_path, block(200, high) + block(300, ROWS_300)
                           + block(200, ROWS_200)))
    assert list(table.blocks[0][0]) == [100.0, 200.0, 300.0, 500.0, 700.0]
    out = resample(table, np.array([300.0, 400.0, 500.0, 600.0]))
    assert out[0].tolist() == [1.0e-46, 0.0, 6.0e-46, 7.0e-46]
    assert out[1].tolist() == [2.0e-46, 0.0, 0.0, 0.0]


def good(t=200):
    return block(t, ROWS_200)


@pytest.mark.parametrize("lines, where", [
    (good()[:-1], ["block 1 (H2-H2, 200 K, line 1)", "says 3 rows", "file ends after 2"]),
    (good()[:-1] + ["", " "], ["block 1", "says 3 rows", "file ends after 2"]),
    ([header(200, 100, 300, 2)] + good()[1:], ["block 1", "says 2 rows", "line 4 is a row"]),
    ([header(200, 100, 300, 4)] + good()[1:] + good(300), ["holds 3", "line 5 starts another"]),
    (good()[:2] + ["  200.0000  5.0O0E-46"] + good()[3:], ["line 3", "not a number", "5.0O0"]),
    (good()[:2] + ["  200.0000  5.0E-46 0.1"] + good()[3:], ["line 3", "3 fields"]),
    (good()[:3] + ["  150.0000  1.000E-46"], ["line 4", "150 is not above 200"]),
    (good()[:3] + ["  200.0000  1.000E-46"], ["line 4", "200 is not above 200"]),
    (good() + block(300, ROWS_300, "H2-He"), ["block 2 (H2-He, 300 K, line 5)", "is for H2-H2"]),
    (good()[:2] + ["  200.0000 -5.000E-46"] + good()[3:], ["line 3", "-5.000E-46"]),
    (good()[:2] + ["  200.0000  nan"] + good()[3:], ["line 3", "coefficient nan"]),
    (good()[:2] + ["  inf  5.000E-46"] + good()[3:], ["line 3", "wavenumber inf"]),
    (good() + block(200, [(300.0, 1e-46), (400.0, 1e-46)]), ["blocks 1", "and 2", "overlap"]),
    ([header(200, 100, 400, 3)] + good()[1:], ["gives 100.0000 to 400.0000", "to 300"]),
    ([header(200, 100, 300, 0)], ["block 1", "0 rows"]),
    ([header(200, 100, 300, 3, "H2H2")] + good()[1:], ["line 1", "'H2H2'", "A-B"]),
    (["  100.0  1e-46"], ["line 1", "expected the header of block 1"]),
    ([], ["no blocks"]),
])
def test_malformed_refused(tmp_path, lines, where):
    path = write(tmp_path, lines + [""])
    with pytest.raises(TableError) as err:
        read_cia(path)
    assert str(err.value).startswith(path + ": ")
    assert all(w in str(err.value) for w in where), str(err.value)


def test_unreadable_and_bad_grid(tmp_path):
    with pytest.raises(FileNotFoundError):
        read_cia(str(tmp_path / "absent.cia"))
    table = read_cia(write(tmp_path, good()))
    with pytest.raises(ValueError, match="one-dimensional"):
        resample(table, np.ones((2, 2)))
