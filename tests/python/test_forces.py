"""Loads in newtons and the cell layout, as a script gets them: the export's
load and centre-of-pressure columns, the vectorised calibration against the
SDK's own, and the layout from the tool, built in or from a file."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

import trova_insole_sdk as sdk

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))
os.environ.setdefault("INSOLE_BIN", str(ROOT / "build/release/tools/insole"))
from trova_insole import calibrate_pressure_array, layout, read_capture  # noqa: E402

numpy = pytest.importorskip("numpy", reason="numpy is not installed: the array roads need it")
CELLS = 48
RAW = [f"raw_pressure_{i}" for i in range(CELLS)]
LOADS = [f"load_{i}_N" for i in range(CELLS)]


@pytest.fixture(scope="module")
def walk(tmp_path_factory):
    """Twenty seconds of two virtual insoles (1,000 samples a foot): resistances only, as they send them."""
    path = tmp_path_factory.mktemp("forces") / "walk.mcap"
    subprocess.run([os.environ["INSOLE_BIN"], "record", str(path), "--virtual", "left", "--virtual", "right",
                    "--seconds", "20"], check=True, capture_output=True)
    return read_capture(path, as_="numpy"), path


def test_vectorised_calibration_is_the_sdks_to_the_bit(walk):
    # Every resistance that matters: the edges of the calibrated range, the
    # region where the curves turn negative and take the fallback, a sweep of
    # the range, on every channel of both feet (so shear and pressure cells).
    edges = [0, 1, 2, 3, 10, 99, 100, 101, 999, 1000, 999_999, 1_000_000, 1_000_001, 2**31 - 1, 2**32 - 1]
    values = numpy.array(edges + list(range(1, 1_000_000, 997)), dtype=numpy.int64)
    grid = values[: values.size // CELLS * CELLS].reshape(-1, CELLS)
    grid = numpy.concatenate([numpy.roll(grid, k, axis=1) for k in range(0, CELLS, 7)])
    for foot in (sdk.DEVICE_LEFT, sdk.DEVICE_RIGHT):
        mine = calibrate_pressure_array(grid, foot)
        theirs = numpy.array([sdk.calibrate_pressure(row.tolist(), foot) for row in grid])
        assert mine.dtype == numpy.float64 and mine.shape == grid.shape
        assert (mine.view(numpy.uint64) == theirs.view(numpy.uint64)).all(), foot  # bit for bit, not approximately

    # And every cell of a long capture, as read_capture hands it over (float64
    # with NaN where a sample had no resistances); the export's loads agree too.
    table, _ = walk
    for foot, code in (("left", sdk.DEVICE_LEFT), ("right", sdk.DEVICE_RIGHT)):
        rows = table["foot"] == foot
        ohms = numpy.stack([table[c][rows] for c in RAW], axis=1)
        assert len(ohms) > 900 and not numpy.isnan(ohms).any()
        theirs = numpy.array([sdk.calibrate_pressure(row.astype(numpy.int64).tolist(), code) for row in ohms])
        mine = calibrate_pressure_array(ohms, foot)
        exported = numpy.stack([table[c][rows] for c in LOADS], axis=1)
        assert (mine.view(numpy.uint64) == theirs.view(numpy.uint64)).all()
        assert (exported.view(numpy.uint64) == theirs.view(numpy.uint64)).all()
        assert numpy.array_equal(table["load_total_N"][rows], numpy.round(theirs.sum(axis=1), 3))


def test_vectorised_calibration_refuses_what_the_sdk_refuses():
    assert calibrate_pressure_array([numpy.nan, 5000], "left")[0] == 0.0  # an empty CSV field
    for foot in (0, 1, 4, "both"):
        with pytest.raises(ValueError, match="device_id must be DEVICE_LEFT or DEVICE_RIGHT"):
            calibrate_pressure_array([1000] * CELLS, foot)


def test_loads_and_centre_of_pressure_follow_the_layout(walk):
    table, path = walk
    for foot in ("left", "right"):
        rows = table["foot"] == foot
        cells = layout(foot)
        loads = numpy.stack([table[c][rows] for c in LOADS], axis=1)
        x = numpy.array([c.x_mm for c in cells])
        y = numpy.array([c.y_mm for c in cells])
        total = loads.sum(axis=1)
        loaded = total > 0
        assert loaded.sum() > 100  # the feet carry weight in this capture
        numpy.testing.assert_allclose(table["cop_x_mm"][rows][loaded], (loads @ x / total)[loaded], atol=6e-4)
        numpy.testing.assert_allclose(table["cop_y_mm"][rows][loaded], (loads @ y / total)[loaded], atol=6e-4)
        assert numpy.isnan(table["cop_x_mm"][rows][~loaded]).all()
        mean = table["load_total_N"][rows].mean()
        assert 50 < mean < 2000, f"{foot}: a mean load of {mean} N is no person's"

    # JSON lines carry the same values, null where the CSV is empty.
    lines = subprocess.run([os.environ["INSOLE_BIN"], "export", str(path), "--jsonl"], check=True,
                           capture_output=True, text=True).stdout.splitlines()
    first = json.loads(lines[0])
    row = 0  # both forms keep the capture's order
    assert first["device"] == table["device"][row]
    assert first["load_N"] == [table[c][row] for c in LOADS] and first["load_total_N"] == table["load_total_N"][row]
    assert (first["cop_x_mm"] is None) == numpy.isnan(table["cop_x_mm"][row])

    # A layout of our own: every cell at one point puts the centre there,
    # mirrored on the right foot.
    point = tmp = path.with_name("point.json")
    point.write_text(json.dumps({"cells": [{"index": i, "x": 10, "y": 100, "w": 5, "h": 5} for i in range(CELLS)]}))
    out = subprocess.run([os.environ["INSOLE_BIN"], "export", str(path), "--layout", str(tmp)], check=True,
                         capture_output=True, text=True).stdout.splitlines()
    header = out[0].split(",")
    # The CSV writes the derived values as Python (and write_double) would:
    # the shortest text that reads back as the same double.
    derived = [i for i, name in enumerate(header) if name.endswith(("_N", "cop_x_mm", "cop_y_mm"))]
    texts = [field for line in out[1:] for i, field in enumerate(line.split(",")) if i in derived and field]
    assert len(texts) > 10000 and all(repr(float(t)) == t for t in texts)
    at = {name: header.index(name) for name in ("foot", "cop_x_mm", "cop_y_mm", "load_total_N")}
    for line in out[1:]:
        row = line.split(",")
        if row[at["load_total_N"]] not in ("", "0.0"):
            assert (float(row[at["cop_x_mm"]]), float(row[at["cop_y_mm"]])) == \
                ((10.0 if row[at["foot"]] == "left" else -10.0), 100.0)


def test_layout_built_in_mirrored_and_from_a_file(tmp_path):
    left, right = layout("left"), layout("right")
    assert [c.index for c in left] == list(range(CELLS))
    assert [(c.x_mm, c.y_mm, c.w_mm, c.h_mm, c.region) for c in right] == \
        [(-c.x_mm + 0.0, c.y_mm, c.w_mm, c.h_mm, c.region) for c in left]
    # Heel to toes, in order along the foot, and each region holds cells.
    order = {"heel": 0, "midfoot": 1, "forefoot": 2, "toes": 3}
    by_y = sorted(left, key=lambda c: c.y_mm)
    assert [order[c.region] for c in by_y] == sorted(order[c.region] for c in by_y)
    assert {c.region for c in left} == set(order)

    # A file without regions: the rule that derives them gives the built-in
    # layout's own regions back; a file that names them keeps them.
    plain = [{"index": c.index, "x": c.x_mm, "y": c.y_mm, "w": c.w_mm, "h": c.h_mm} for c in left]
    file = tmp_path / "plain.json"
    file.write_text(json.dumps({"cells": plain}))
    assert [c.region for c in layout("left", file)] == [c.region for c in left]
    file.write_text(json.dumps({"cells": [dict(cell, region="toes") for cell in plain]}))
    assert {c.region for c in layout("right", path=file)} == {"toes"}

    file.write_text(json.dumps({"cells": [dict(cell, region="ankle") for cell in plain]}))
    with pytest.raises(ValueError, match=r"not a cell layout: cells\[0\]: region must be heel, midfoot"):
        layout("left", file)
    with pytest.raises(ValueError, match="cannot read"):
        layout("left", tmp_path / "absent.json")
    with pytest.raises(ValueError, match="foot must be"):
        layout("both")


def test_help_names_every_unit():
    text = subprocess.run([os.environ["INSOLE_BIN"], "export", "--help"], check=True, capture_output=True,
                          text=True).stdout
    for unit in ("newtons", "ohms", "mm", "ns", "ms", "mV", "device units", "millinewtons", "degrees/s"):
        assert unit in text, unit
    for column in ("load_0_N..load_47_N", "load_total_N", "cop_x_mm", "raw_pressure_0..47"):
        assert column in text, column
