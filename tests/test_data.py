"""exokern.retrieval.data: published spectra read as they are (three real WASP-39b files), and
small files for each way of stating bins, units and radius ratios."""

import io
from pathlib import Path

import numpy as np
import pytest

from exokern.retrieval.data import DataError, parse_spectrum, read_spectrum, write_spectrum

SPECTRA = Path(__file__).resolve().parents[2] / "shared" / "data" / "spectra"


def shared(name):
    if not SPECTRA.is_dir():
        pytest.skip("../shared/data is absent")
    return str(SPECTRA / name)


def read_text(tmp_path, text, units="fraction"):
    path = tmp_path / "spectrum.csv"
    path.write_text(text)
    return read_spectrum(str(path), units)


# ---- the published files ---------------------------------------------------------------------

# name, units, bins, the first bin (low, high, value, error) from the file's first row by hand
REAL = [
    # 0.525680 21175.68 285.90, the next centre 0.544010: the edge between them at 0.534845
    ("wasp39b_nirspec_prism_r100.txt", "ppm", 59,
     (0.525680 - 0.009165, 0.534845, 0.02117568, 0.00028590),
     ("bin widths from neighbouring centres",)),
    ("wasp39b_niriss_soss_r100.csv", "fraction", 132,
     (0.8781000432205291 - 0.004898581320246398, 0.8781000432205291 + 0.004898581320246398,
      0.021139242788563635, 4.696402193937459e-05),
     ("bins not in wavelength order (kept in the file's order)",
      "the wave_error column read as half widths", "values in ppm from the column name dppm",
      "errors in ppm from the column name dppm_err")),
    ("wasp39b_hst_wakeford2018.csv", "fraction", 70,
     (0.29, 0.37, 0.14861 * 0.14861, 2 * 0.14861 * 0.00116),
     # STIS's G430L and G750L overlap at 0.56 micron
     ("bins not in wavelength order (kept in the file's order)",
      "the column 'Wavelength bin size microns' read as half widths",
      "depths from Rp/R*, squared; errors 2 Rp/R* sigma")),
]


@pytest.mark.parametrize("name, units, bins, first, notes", REAL)
def test_published_spectra_read(name, units, bins, first, notes):
    data = read_spectrum(shared(name), units)
    assert len(data) == bins
    got = (data.low[0], data.high[0], data.value[0], data.error[0])
    assert got == pytest.approx(first, rel=1e-13)
    assert data.notes == notes
    # WASP-39b's transit is about 2.1 % deep in all three
    assert np.all((data.value > 0.020) & (data.value < 0.023))


def test_hst_ratio_squared_as_numpy_squares_it():
    data = read_spectrum(shared("wasp39b_hst_wakeford2018.csv"))
    assert data.value[0] == np.float64(0.14861) ** 2
    assert data.error[0] == 2 * 0.14861 * 0.00116
    # rows 2 and 3: 0.3825 +- 0.0125 meets 0.4032 +- 0.0081 at 0.3951
    assert data.high[1] == pytest.approx(0.395, rel=1e-15)
    assert data.low[2] == pytest.approx(0.3951, rel=1e-15)


def test_niriss_orders_kept_in_file_order():
    data = read_spectrum(shared("wasp39b_niriss_soss_r100.csv"))
    # order 1 (105 rows, 0.88 .. 2.79 micron) then order 2 (27 rows, 0.63 .. 0.85 micron)
    assert np.all(data.wavelength[:105] > 0.87) and np.all(data.wavelength[105:] < 0.86)
    assert data.low[105] == pytest.approx(0.6330547139329847 - 0.0035663938286325525,
                                          rel=1e-15)
    assert data.value[-1] == pytest.approx(21058.10399482899e-6, rel=1e-15)


def test_nirspec_bins_tile_between_centres():
    data = read_spectrum(shared("wasp39b_nirspec_prism_r100.txt"), "ppm")
    assert np.array_equal(data.high[:-1], data.low[1:])
    # the last bin mirrors its inner edge: 5.248639 + (5.248639 - 5.2037245)
    assert data.low[-1] == pytest.approx(5.2037245, rel=1e-15)
    assert data.high[-1] == pytest.approx(5.2935535, rel=1e-15)


@pytest.mark.parametrize("name, units", [(r[0], r[1]) for r in REAL])
def test_published_spectra_written_read_back_to_the_same_bits(name, units):
    data = read_spectrum(shared(name), units)
    stream = io.BytesIO()
    write_spectrum(stream, data)
    back = parse_spectrum(stream.getvalue().decode().splitlines())
    for field in ("low", "high", "value", "error"):
        assert np.array_equal(getattr(back, field), getattr(data, field))


# ---- bins without widths ---------------------------------------------------------------------

@pytest.mark.parametrize("text, low, high", [
    # centres 1.0, 1.2, 1.6: edges at 1.1 and 1.4, the outer ones 0.1 and 0.2 beyond
    ("# a comment\n1.0 100 10\n1.2 200 20\n1.6 300 30\n", [0.9, 1.1, 1.4], [1.1, 1.4, 1.8]),
    ("1.6, 300, 30\n1.2, 200, 20\n1.0, 100, 10\n", [1.4, 1.1, 0.9], [1.8, 1.4, 1.1]),
    ("2.0 100 10\n3.0 300 30\n", [1.5, 2.5], [2.5, 3.5]),
])
def test_three_columns_take_edges_midway(tmp_path, text, low, high):
    data = read_text(tmp_path, text, "ppm")
    assert data.low == pytest.approx(low, rel=1e-15)
    assert data.high == pytest.approx(high, rel=1e-15)
    assert data.notes == ("bin widths from neighbouring centres",)


def test_three_columns_values_in_the_given_units(tmp_path):
    data = read_text(tmp_path, "1.0 1.5 0.02\n1.2 1.6 0.03\n", "percent")
    assert data.value == pytest.approx([0.015, 0.016], rel=1e-15)
    assert data.error == pytest.approx([2e-4, 3e-4], rel=1e-15)


# ---- full or half widths ---------------------------------------------------------------------

# Each file's bins are 0.9 .. 1.1, 1.1 .. 1.3, 1.3 .. 1.6 when read as intended.
TILED_EDGES = ([0.9, 1.1, 1.3], [1.1, 1.3, 1.6])


@pytest.mark.parametrize("text, note", [
    ("wavelength,width,value,error\n1.0,0.2,1,1\n1.2,0.2,1,1\n1.45,0.3,1,1\n",
     "the width column read as full widths"),
    # a column named width whose bins only meet as half widths
    ("wavelength,width,value,error\n1.0,0.1,1,1\n1.2,0.1,1,1\n1.45,0.15,1,1\n",
     "the width column read as half widths"),
    ("wave,wave_error,depth,err\n1.0,0.1,1,1\n1.2,0.1,1,1\n1.45,0.15,1,1\n",
     "the wave_error column read as half widths"),
    # a column named as an error of the centre whose bins meet as full widths
    ("wave,wave_error,depth,err\n1.0,0.2,1,1\n1.2,0.2,1,1\n1.45,0.3,1,1\n",
     "the wave_error column read as full widths"),
    ("1.0 0.1 1 1\n1.2 0.1 1 1\n1.45 0.15 1 1\n", "the width column read as half widths"),
    ("Wavelength microns, Wavelength bin size microns, depth, error\n"
     "1.0, 0.1, 1, 1\n1.2, 0.1, 1, 1\n1.45, 0.15, 1, 1\n",
     "the column 'Wavelength bin size microns' read as half widths"),
    # the last digit rounded: 1.0 + 0.1004 and 1.2 - 0.0998 miss by 0.0002 (0.1 % of the step)
    ("wl,dwl,depth,sigma\n1.0,0.1004,1,1\n1.2,0.0998,1,1\n1.45,0.15,1,1\n",
     "the dwl column read as half widths"),
])
def test_width_column_read_as_the_bins_meet(tmp_path, text, note):
    data = read_text(tmp_path, text)
    assert data.low == pytest.approx(TILED_EDGES[0], abs=5e-4)
    assert data.high == pytest.approx(TILED_EDGES[1], abs=5e-4)
    assert data.notes == (note,)


# Bins that meet under neither reading:
NEITHER = [
    # steps 0.2, 0.5, 0.3: one pair of three meets (as half widths), not most of them
    [(1.0, 0.1), (1.2, 0.1), (1.7, 0.1), (2.0, 0.1)],
    # steps 0.2, 0.5: one pair of two is not most either
    [(1.0, 0.1), (1.2, 0.1), (1.7, 0.1)],
    # nor one of two meeting as full widths
    [(1.0, 0.2), (1.2, 0.2), (1.7, 0.2)],
    [(1.0, 0.1)],
    # as half widths each pair misses by 0.02, a tenth of the step: more than rounding
    [(1.0, 0.09), (1.2, 0.09), (1.4, 0.09), (1.6, 0.09)],
]


@pytest.mark.parametrize("rows", NEITHER)
@pytest.mark.parametrize("name, half", [
    ("wave_error", True), ("wl_err", True), ("half_width", True), ("width", False),
    ("bin_width", False), ("bin size", False), ("dwl", False),
])
def test_width_column_by_its_name_when_bins_meet_neither_way(tmp_path, rows, name, half):
    text = f"wavelength,{name},depth,error\n" + "".join(f"{c},{w},1,1\n" for c, w in rows)
    data = read_text(tmp_path, text)
    k = 1.0 if half else 0.5
    assert data.low == pytest.approx([c - k * w for c, w in rows], rel=1e-15)
    assert data.high == pytest.approx([c + k * w for c, w in rows], rel=1e-15)
    column = f"the column '{name}'" if " " in name else f"the {name} column"
    assert data.notes == (f"{column} read as {'half' if half else 'full'} widths (neighbouring "
                          "bins meet under neither reading)",)


# ---- units and radius ratios -----------------------------------------------------------------

@pytest.mark.parametrize("value, error, units, want, notes", [
    ("dppm", "dppm_err", "fraction", (0.02, 1e-4),
     ("values in ppm from the column name dppm", "errors in ppm from the column name dppm_err")),
    ("depth_ppm", "err", "fraction", (0.02, 1e-4),
     ("values in ppm from the column name depth_ppm",
      "errors in ppm from the column name depth_ppm")),
    ("ppm", "error (ppm)", "fraction", (0.02, 1e-4),
     ("values in ppm from the column name ppm", "errors in ppm from the column name error (ppm)")),
    ("Depth%", "Error%", "fraction", (200.0, 1.0),
     ("values in percent from the column name Depth%",
      "errors in percent from the column name Error%")),
    ("Transit depth [%]", "Transit depth error [%]", "fraction", (200.0, 1.0),
     ("values in percent from the column name Transit depth [%]",
      "errors in percent from the column name Transit depth error [%]")),
    # a name states the unit the caller gives: nothing inferred
    ("dppm", "dppm_err", "ppm", (0.02, 1e-4), ()),
    # the units option still holds for a column whose name states none
    ("depth", "error (ppm)", "fraction", (20000.0, 1e-4),
     ("errors in ppm from the column name error (ppm)",)),
    ("depth", "error", "ppm", (0.02, 1e-4), ()),
])
def test_unit_from_the_column_name(tmp_path, value, error, units, want, notes):
    text = f"low,high,{value},{error}\n1.0,1.1,20000,100\n"
    data = read_text(tmp_path, text, units)
    assert (data.value[0], data.error[0]) == pytest.approx(want, rel=1e-15)
    assert data.notes == notes


@pytest.mark.parametrize("value, error, units", [
    ("rp_rs", "rp_rs_err", "fraction"), ("Rp/Rs", "err", "fraction"),
    ("RpRs", "rprs_error", "fraction"), ("Rp/R*", "Rp/R* error", "fraction"),
    ("rp_rs (%)", "rp_rs_err (%)", "fraction"), ("rp/rs", "sigma", "percent"),
])
def test_radius_ratio_squared_into_depth(tmp_path, value, error, units):
    percent = "%" in value or units == "percent"
    ratio, sigma = (10.0, 0.1) if percent else (0.1, 0.001)
    data = read_text(tmp_path, f"low,high,{value},{error}\n1.0,1.1,{ratio},{sigma}\n", units)
    # (0.1)^2 and 2 * 0.1 * 0.001
    assert data.value[0] == pytest.approx(0.01, rel=1e-15)
    assert data.error[0] == pytest.approx(2e-4, rel=1e-15)
    assert data.notes[-1] == f"depths from {value}, squared; errors 2 {value} sigma"


# ---- refused ---------------------------------------------------------------------------------

@pytest.mark.parametrize("text, units, match", [
    ("low,high,dppm,dppm_err\n1.0,1.1,20000,100\n", "percent",
     "line 1: the column 'dppm' is in ppm, but the units given are percent"),
    ("low,high,depth (%),err\n1.0,1.1,2,0.01\n", "ppm",
     r"line 1: the column 'depth \(%\)' is in percent, but the units given are ppm"),
    ("low,high,depth,error (ppm)\n1.0,1.1,2,100\n", "percent",
     r"line 1: the column 'error \(ppm\)' is in ppm, but the units given are percent"),
    ("# two lines of comment\n#\nfoo,bar,baz,qux\n1,2,3,4\n", "fraction",
     "line 3: the header lacks wavelength and width .or low and high., value, error "
     r"\(found: foo, bar, baz, qux\)"),
    ("wave,wave_error,flux,flux_err\n1.0,0.1,1,1\n", "fraction",
     "line 1: the header lacks value, error"),
    ("wave,wavelength,depth,err\n1.0,1.0,1,1\n", "fraction",
     "line 1: the header names the wavelength twice"),
    ("wave,bin size,wave_error,depth,err\n1.0,0.2,0.1,1,1\n", "fraction",
     "line 1: the header names the width twice"),
    ("wavelength (nm),width,depth,err\n1000,20,1,1\n", "fraction",
     "line 1: the column 'wavelength .nm.' is in nm; wavelengths must be in micron"),
    ("low,high,rp_rs,depth_err\n1.0,1.1,0.1,0.001\n", "fraction",
     "line 1: the error column 'depth_err' is not the error of the value column 'rp_rs'"),
    ("low,high,rp_rs,err\n1.0,1.1,0.1,0.001\n1.1,1.2,-0.1,0.001\n", "fraction",
     "line 3: the ratio of radii must be positive, got -0.1"),
    ("low,high,rp_rs,err\n1.0,1.1,0.1,0\n", "fraction",
     "line 2: the uncertainty must be positive, got 0"),
    ("1.0 100 10\n1.2 200 20\n1.1 300 30\n", "ppm",
     "line 3: without bin widths the centres must all rise or all fall"),
    ("1.0 100 10\n", "ppm", "line 1: 3 columns without a header and a single row"),
    ("1.0 100 10\n1.0 200 20\n", "ppm",
     "line 2: without bin widths the centres must all rise or all fall"),
    ("1.0 100 10\n1.2 200 20 5\n", "ppm", "line 2: 4 fields, expected 3"),
])
def test_refused(tmp_path, text, units, match):
    path = tmp_path / "bad.csv"
    path.write_text(text)
    with pytest.raises(DataError, match=match) as info:
        read_spectrum(str(path), units)
    assert "\n" not in str(info.value) and str(path) in str(info.value)


# ---- what stays --------------------------------------------------------------------------------

def test_two_orders_overlapping_kept(tmp_path):
    # order 1: 1.0 .. 1.4 micron; order 2: 0.9 .. 1.2, overlapping it, after it in the file
    text = ("wave,wave_error,dppm,dppm_err,order,quality\n"
            "1.05,0.05,100,10,1,0\n1.15,0.05,200,10,1,0\n1.25,0.05,300,10,1,1\n"
            "1.35,0.05,400,10,1,0\n0.95,0.05,500,10,2,0\n1.05,0.05,600,10,2,0\n"
            "1.15,0.05,700,10,2,0\n")
    data = read_text(tmp_path, text)
    assert len(data) == 7
    assert data.low == pytest.approx([1.0, 1.1, 1.2, 1.3, 0.9, 1.0, 1.1], rel=1e-14)
    assert data.high == pytest.approx([1.1, 1.2, 1.3, 1.4, 1.0, 1.1, 1.2], rel=1e-14)
    assert data.value * 1e6 == pytest.approx([100, 200, 300, 400, 500, 600, 700], rel=1e-14)


@pytest.mark.parametrize("text", [
    # the plain names describe these fully: the columns named otherwise stay ignored
    "wavelength,width,depth,error,wl_min,wl_max\n1.0,0.2,0.01,0.001,5,6\n",
    "low,high,value,error,dppm,rp_rs\n0.9,1.1,0.01,0.001,7,8\n",
    "wl,bin_width,transit_depth,uncertainty,wave_error\n1.0,0.2,0.01,0.001,9\n",
])
def test_plain_headers_read_as_before(tmp_path, text):
    data = read_text(tmp_path, text)
    assert (data.low[0], data.high[0]) == pytest.approx((0.9, 1.1), rel=1e-15)
    assert (data.value[0], data.error[0]) == (0.01, 0.001)
