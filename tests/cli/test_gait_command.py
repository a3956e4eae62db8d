"""insole gait on real walking (the public force recordings, read from
../shared/datasets/gaitpdb/ beside the repository or GAITPDB_DIR), on virtual
insoles, and on input it must refuse with one line and exit status 1."""

import json
import math
import os
import pathlib
import re
import subprocess

import pytest

TESTS = pathlib.Path(__file__).resolve().parents[1]
BIN = os.environ.get("INSOLE_BIN", str(TESTS.parent / "build" / "release" / "tools" / "insole"))
DATA = pathlib.Path(os.environ.get("GAITPDB_DIR", TESTS.parent.parent / "shared" / "datasets" / "gaitpdb"))
RECORDINGS = sorted(DATA.glob("*.txt.xz")) if DATA.is_dir() else []
FORCES = ["--time-column", "1", "--left-columns", "2-9", "--right-columns", "10-17"]
needs_data = pytest.mark.skipif(not RECORDINGS, reason=f"the public gait recordings are not in {DATA} (set GAITPDB_DIR)")


def insole(*args, timeout=60):
    return subprocess.run([BIN, *map(str, args)], capture_output=True, timeout=timeout, check=False,
                          stdin=subprocess.DEVNULL)


@needs_data
def test_every_public_recording_gives_plausible_strides_per_foot():
    # One invocation for all of them: the rows are decompressed and analysed once.
    result = insole("gait", "--summary", "--forces", RECORDINGS[0], *FORCES, *RECORDINGS[1:], timeout=600)
    assert result.returncode == 0, result.stderr.decode()
    summaries = [json.loads(line) for line in result.stdout.decode().splitlines()]
    assert [pathlib.Path(s["input"]).name for s in summaries] == [r.name for r in RECORDINGS]
    implausible = []
    for s in summaries:
        assert s["sample_rate_hz"] == pytest.approx(100.0) and s["duration_s"] > 30  # the shortest walk is about 51 s
        feet = {foot: s[foot] for foot in ("left", "right")}
        for foot, f in feet.items():
            # The rule: at least 20 steady strides, mean stride time 0.7-2.0 s,
            # stance 50-75 % of the stride, stride-time CV under 15 %, and at
            # most a third of the strides left out.
            kept = f["strides"] - f["excluded_strides"]
            ok = (kept >= 20 and 0.7 <= f["stride_time_s"]["mean"] <= 2.0 and 50 <= f["stance_pct"]["mean"] <= 75
                  and f["stride_time_s"]["cv_pct"] < 15 and f["excluded_strides"] <= f["strides"] / 3
                  and math.isclose(f["stance_pct"]["mean"] + f["swing_pct"]["mean"], 100, abs_tol=1e-6))
            if not ok:
                implausible.append((s["input"], foot, f))
        # One walker: both feet take about as many strides at one cadence.
        left, right = feet["left"]["strides"], feet["right"]["strides"]
        if abs(left - right) > 0.15 * max(left, right):
            implausible.append((s["input"], "stride counts", left, right))
        cadence = 120 / ((feet["left"]["stride_time_s"]["mean"] + feet["right"]["stride_time_s"]["mean"]) / 2)
        if not 60 <= s["cadence_steps_per_min"] <= 170 or abs(s["cadence_steps_per_min"] - cadence) > 5:
            implausible.append((s["input"], "cadence", s["cadence_steps_per_min"]))
        if not 5 <= s["double_support_pct"]["mean"] <= 55:  # slow patients reach 46 %
            implausible.append((s["input"], "double support", s["double_support_pct"]))
    assert not implausible, implausible[:5]


@needs_data
def test_strides_events_and_table_of_one_recording_agree(tmp_path):
    recording = RECORDINGS[0]
    strides = [json.loads(l) for l in insole("gait", "--forces", recording, *FORCES).stdout.decode().splitlines()]
    events = [json.loads(l) for l in insole("gait", "--events", "--forces", recording, *FORCES).stdout.decode().splitlines()]
    table = insole("gait", "--csv", "--forces", recording, *FORCES).stdout.decode().splitlines()
    assert len(table) == len(strides) + 1
    layout = tmp_path / "places.txt"  # the data set's own sensor places (left foot)
    layout.write_text("-500 -800\n-700 -400\n-300 -400\n-700 0\n-300 0\n-700 400\n-300 400\n-500 800\n")
    placed = [json.loads(l) for l in
              insole("gait", "--forces", recording, *FORCES, "--layout", layout).stdout.decode().splitlines()]
    for foot in ("left", "right"):
        contacts = [e["time_s"] for e in events if e["foot"] == foot and e["event"] == "contact"]
        offs = [e["time_s"] for e in events if e["foot"] == foot and e["event"] == "foot_off"]
        mine = [s for s in strides if s["foot"] == foot]
        # Every stride runs between two consecutive contacts with one foot off between.
        for s in mine:
            assert s["contact_s"] in contacts and s["next_contact_s"] in contacts and s["foot_off_s"] in offs
            assert s["contact_s"] < s["foot_off_s"] < s["next_contact_s"]
            assert set(s["regions"]) == {f"{foot[0].upper()}{k}" for k in range(1, 9)}
            assert s["excluded"] == bool(s["flags"])
        for e in events:
            assert e["decided_sample"] - e["sample"] == 2  # the stated latency: two samples
        steady = [s for s in placed if s["foot"] == foot and not s["excluded"]]
        # Heel to toe in every steady stance; medial-lateral sway well inside the insole's width.
        assert all(s["cop_ap_progression"] > 300 for s in steady)
        assert all(0 < s["cop_ml_range"] < 400 for s in steady)


def test_virtual_insoles_walk_and_stand(tmp_path):
    walk, stand = tmp_path / "walk.mcap", tmp_path / "stand.mcap"
    procs = [subprocess.Popen([BIN, "record", walk, "--virtual", "left", "--virtual", "right", "--seconds", "8"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE),
             subprocess.Popen([BIN, "record", stand, "--virtual", "left", "--virtual", "right", "--seconds", "4",
                               "--gait", "standing"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)]
    for proc in procs:
        assert proc.wait(timeout=60) == 0, proc.stderr.read().decode()
    walking = json.loads(insole("gait", "--summary", walk).stdout)
    for foot in ("left", "right"):
        assert walking[foot]["strides"] >= 5
        assert 0.9 < walking[foot]["stride_time_s"]["mean"] < 1.4
    # Virtual insoles send resistances only: the stance's newtons reach every
    # region, and its centre of pressure runs heel to toe on the cell layout.
    # Region pressures are their force over the cells' area: plantar tens to hundreds of kPa.
    for stride in map(json.loads, insole("gait", walk).stdout.splitlines()):
        assert stride["cop_unit"] == "mm" and 60 < stride["cop_ap_progression"] < 250
        for region in ("heel", "midfoot", "forefoot"):
            assert stride["regions"][region]["peak_n"] > 0 and 20 < stride["regions"][region]["peak_kpa"] < 1000
    header = insole("gait", walk, "--csv").stdout.splitlines()[0].decode().split(",")
    assert {"region_heel_peak_n", "region_toes_mean_kpa", "region_forefoot_integral_kpa_s"} <= set(header)
    standing = insole("gait", stand)
    assert standing.returncode == 0 and standing.stdout == b""  # standing takes no strides


def test_a_live_feed_tells_its_events_while_it_runs_and_the_same_as_its_capture(tmp_path):
    saved = tmp_path / "feed.raw"
    record = subprocess.Popen([BIN, "record", "-", "--virtual", "left", "--virtual", "right", "--seconds", "6"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    tee = subprocess.Popen(["tee", saved], stdin=record.stdout, stdout=subprocess.PIPE)
    gait = subprocess.Popen([BIN, "gait", "-", "--events"], stdin=tee.stdout, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    record.stdout.close()
    tee.stdout.close()
    first = gait.stdout.readline()
    assert first and record.poll() is None  # an event before the recording ended
    rest, errors = gait.communicate(timeout=60)
    assert gait.returncode == 0 and record.wait(timeout=10) == 0, errors.decode()

    def key(line):
        e = json.loads(line)
        return e["foot"], e["sample"], e["event"], e["time_s"], e["decided_sample"]
    live = sorted(map(key, [first, *rest.splitlines()]))
    stored = sorted(map(key, insole("gait", saved, "--events").stdout.splitlines()))
    assert len(live) >= 8 and live == stored


ROW = "\t".join(["{t}"] + ["{l}"] * 8 + ["{r}"] * 8) + "\n"


def walking_rows(seconds=20, rate=100):
    rows = []
    for i in range(int(seconds * rate)):
        t = i / rate
        left = 400 if (t % 1.1) < 0.66 else 3
        right = 400 if ((t + 0.55) % 1.1) < 0.66 else 3
        rows.append(ROW.format(t=f"{t:.2f}", l=left, r=right))
    return rows


@pytest.mark.parametrize("fault,expected", [
    ("nan", "not finite|nan|NaN"), ("inf", "not finite|inf"), ("backwards", "backwards|increas"),
    ("repeat", "repeat|increas"), ("empty", "no samples|empty|no rows"), ("columns", "column"),
    ("text", "number|text"), ("never_unloads", "never unloads"),
])
def test_bad_force_tables_give_one_line_and_status_1(tmp_path, fault, expected):
    rows = walking_rows()
    if fault == "nan":
        rows[500] = rows[500].replace("\t400\t", "\tnan\t", 1).replace("\t3\t", "\tnan\t", 1)
    elif fault == "inf":
        rows[500] = rows[500].replace("\t400\t", "\tinf\t", 1).replace("\t3\t", "\tinf\t", 1)
    elif fault == "backwards":
        rows[700], rows[701] = rows[701], rows[700]
    elif fault == "repeat":
        rows[700] = rows[699]
    elif fault == "empty":
        rows = []
    elif fault == "columns":
        rows[300] = rows[300].rstrip("\n") + "\t5\n"
        rows[300] = "\t".join(rows[300].split("\t")[:10]) + "\n"
    elif fault == "text":
        rows[300] = rows[300].replace("\t3\t", "\tabc\t", 1).replace("\t400\t", "\tabc\t", 1)
    elif fault == "never_unloads":
        rows = [re.sub(r"^([^\t]*)((\t[^\t\n]*){8})", lambda m: m.group(1) + "\t500" * 8, r) for r in rows]
    table = tmp_path / "table.txt"
    table.write_text("".join(rows))
    result = insole("gait", "--forces", table, "--time-column", "1", "--left-columns", "2-9",
                    "--right-columns", "10-17")
    err = result.stderr.decode()
    assert result.returncode == 1, (result.returncode, err)
    assert len(err.splitlines()) == 1 and re.search(expected, err), err
    assert result.stdout == b""


def test_bad_arguments_are_usage_errors(tmp_path):
    assert insole("gait").returncode == 2
    assert insole("gait", "--forces", "x.txt", "--left-columns", "2-9", "--right-columns", "10-17").returncode == 2
    assert insole("gait", "--forces", "x.txt", *FORCES, "--summary", "--csv").returncode == 2
    assert insole("gait", "--forces", "x.txt", "--time-column", "0", "--left-columns", "2-9",
                  "--right-columns", "10-17").returncode == 2
    assert insole("gait", "x.mcap", "--clock", "wall").returncode == 2
