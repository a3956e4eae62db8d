"""insole export --gait-events: the events of `insole gait --events` on the
rows of the samples they name, in CSV, JSON lines and binary, and rows
without the option exactly as they were."""

import csv
import io
import json
import math
import os
import pathlib
import subprocess
import sys

import pytest

TESTS = pathlib.Path(__file__).resolve().parents[1]
BIN = os.environ.get("INSOLE_BIN", str(TESTS.parent / "build" / "release" / "tools" / "insole"))
sys.path.insert(0, str(TESTS.parent / "python"))
# The package's reader imports the built extension, which sits beside the tool's build.
sys.path.insert(0, str(pathlib.Path(BIN).resolve().parents[1] / "python"))
GAIT_COLUMNS = ["gait_event", "gait_event_time_s"]


def insole(*args, stdin=None):
    return subprocess.run([BIN, *map(str, args)], capture_output=True, timeout=60, check=False,
                          input=stdin, stdin=None if stdin is not None else subprocess.DEVNULL)


@pytest.fixture(scope="module")
def captures(tmp_path_factory):
    """A walk of both feet, and one foot alone (whose gait cannot be analysed)."""
    where = tmp_path_factory.mktemp("walks")
    walk, alone = where / "walk.mcap", where / "alone.mcap"
    procs = [subprocess.Popen([BIN, "record", path, *feet, "--seconds", seconds], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
             for path, feet, seconds in ((walk, ["--virtual", "left", "--virtual", "right"], "8"),
                                         (alone, ["--virtual", "left"], "3"))]
    for proc in procs:
        assert proc.wait(timeout=60) == 0, proc.stderr.read().decode()
    return walk, alone


def csv_rows(result):
    assert result.returncode == 0, result.stderr.decode()
    return list(csv.reader(io.StringIO(result.stdout.decode())))


def binary_columns(result, *names):
    numpy = pytest.importorskip("numpy")
    pytest.importorskip("trova_insole_sdk")
    from trova_insole.export import _Columns  # the reader read_capture uses
    assert result.returncode == 0, result.stderr.decode()
    table = _Columns(numpy, result.stdout, str)
    return table, [table.column(name) for name in names]


def test_marked_rows_in_every_form_are_the_gait_events(captures):
    walk, _ = captures
    gait = insole("gait", walk, "--events")
    assert gait.returncode == 0, gait.stderr.decode()
    # The times as printed, text to text: a float's own rounding cannot hide a difference.
    events = [json.loads(line, parse_float=str) for line in gait.stdout.decode().splitlines()]
    assert len(events) >= 10 and {e["event"] for e in events} == {"contact", "foot_off"}
    expected = sorted((e["foot"], e["event"], e["time_s"], e["sample"]) for e in events)

    def marked(feet, kinds, times):
        """(foot, event, time to the printed precision, sample index among the foot's rows) per marked row."""
        out, seen = [], {"left": 0, "right": 0}
        for foot, kind, time in zip(feet, kinds, times):
            if kind:
                out.append((foot, kind, f"{time:.4f}", seen[foot]))
            seen[foot] += 1
        return sorted(out)

    rows = csv_rows(insole("export", walk, "--gait-events"))
    header, body = rows[0], rows[1:]
    assert header[-2:] == GAIT_COLUMNS
    foot = header.index("foot")
    assert all((r[-2] == "") == (r[-1] == "") for r in body)  # an event and its time come together
    assert marked([r[foot] for r in body], [r[-2] for r in body],
                  [float(r[-1]) if r[-1] else None for r in body]) == expected

    lines = [json.loads(line) for line in insole("export", walk, "--jsonl", "--gait-events").stdout.splitlines()]
    assert len(lines) == len(body) and all(list(line) == sorted(line) for line in lines)
    assert all((line["gait_event"] is None) == (line["gait_event_time_s"] is None) for line in lines)
    assert marked([l["foot"] for l in lines], [l["gait_event"] for l in lines],
                  [l["gait_event_time_s"] for l in lines]) == expected

    result = insole("export", walk, "--binary", "--gait-events")
    table, (feet, kinds, times) = binary_columns(result, "foot", "gait_event", "gait_event_time_s")
    assert table.n == len(body) and table.names[-2:] == GAIT_COLUMNS
    assert set(kinds.tolist()) == {0, 1, 2}
    names = {0: None, 1: "contact", 2: "foot_off"}
    assert all(math.isnan(t) == (k == 0) for k, t in zip(kinds.tolist(), times.tolist()))
    assert marked(feet.tolist(), [names[k] for k in kinds.tolist()], times.tolist()) == expected
    # The time is the event's own double, not a rounding of it: CSV and binary agree exactly.
    assert [float(r[-1]) for r in body if r[-1]] == [t for t in times.tolist() if not math.isnan(t)]
    assert f", {len(events)} gait events marked" in result.stderr.decode()


def test_without_the_option_rows_and_columns_are_as_they_were(captures):
    walk, _ = captures
    plain, marked = csv_rows(insole("export", walk)), csv_rows(insole("export", walk, "--gait-events"))
    assert plain[0][-1] == "cop_y_mm" and not set(GAIT_COLUMNS) & set(plain[0])
    assert [r[:-2] for r in marked] == plain  # the option adds two columns and changes nothing else
    line = json.loads(insole("export", walk, "--jsonl").stdout.splitlines()[0])
    assert not set(GAIT_COLUMNS) & set(line)
    numpy = pytest.importorskip("numpy")
    result = insole("export", walk, "--binary")
    assert b'"row_bytes":944,' in result.stdout[:100] and b"gait_event" not in result.stdout
    table, _ = binary_columns(result)
    with_gait, _ = binary_columns(insole("export", walk, "--binary", "--gait-events"))
    assert table.names == with_gait.names[:-2]
    for name in table.names:  # NaN (no value) matches NaN
        numpy.testing.assert_array_equal(table.column(name), with_gait.column(name), err_msg=name)


def test_standard_input_is_refused_and_an_unanalysable_gait_still_exports(captures, tmp_path):
    walk, alone = captures
    for args in (["-"], ["-", walk]):
        refused = insole("export", *args, "--gait-events", stdin=walk.read_bytes())
        err = refused.stderr.decode()
        assert refused.returncode == 2 and refused.stdout == b"" and len(err.splitlines()) == 1, err
        assert "--gait-events" in err and "standard input" in err
    # One foot only: `insole gait` fails on it, the export does not.
    assert insole("gait", alone, "--events").returncode == 1
    result = insole("export", alone, "--gait-events")
    warnings = [l for l in result.stderr.decode().splitlines() if "warning" in l]
    assert len(warnings) == 1 and "no gait events marked" in warnings[0] and str(alone) in warnings[0]
    rows = csv_rows(result)
    assert [r[:-2] for r in rows] == csv_rows(insole("export", alone))
    assert all(r[-2:] == ["", ""] for r in rows[1:]) and len(rows) > 100
    # Several captures, each beside itself: the one with a gait gets its events.
    for name in ("walk.mcap", "alone.mcap"):
        (tmp_path / name).write_bytes((walk if name == "walk.mcap" else alone).read_bytes())
    both = insole("export", tmp_path / "walk.mcap", tmp_path / "alone.mcap", "--gait-events")
    assert both.returncode == 0, both.stderr.decode()
    walked = list(csv.reader((tmp_path / "walk.csv").open()))
    assert walked[0][-2:] == GAIT_COLUMNS and sum(1 for r in walked[1:] if r[-2]) >= 10
    assert all(r[-2] == "" for r in list(csv.reader((tmp_path / "alone.csv").open()))[1:])
