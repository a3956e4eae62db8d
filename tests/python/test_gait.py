"""Gait through the Python faces: the live callback (feed_received_data and a
StreamParser made for a device) and trova_insole.gait give the same events
for the same capture; bad input is refused with one clear error."""

import math
import os
import pathlib
import sys

import pytest

from conftest import frame

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))
os.environ.setdefault("INSOLE_BIN", str(ROOT / "build/release/tools/insole"))


def walking_loads(t, cadence_hz=0.9, phase=0.0):
    """A stance-swing load curve: loaded about 60 % of each stride, never quite zero."""
    s = math.sin(2 * math.pi * (cadence_hz * t + phase))
    return max(0.0, s + 0.3)


def walking_frames(pb, foot, seconds=12, rate_hz=100, lose=(), repeat=(), own_units=False, phase=0.0):
    """Sensor frames of one walking foot: cell resistances (or, with own_units,
    the insole's own cell values) following walking_loads, with frames lost
    and repeated where asked."""
    out = []
    for seq in range(1, int(seconds * rate_hz) + 1):
        t = seq / rate_hz
        level = walking_loads(t, phase=phase)
        pressure = pb.PressureData()
        if own_units:
            pressure.pressure.extend([int(400 * level) + 3] * 48)
        else:
            x = 0.02 + 1.2 * level  # 1000 / ohms: more load, less resistance
            pressure.raw_pressure.extend([int(1000 / x) + i for i in range(48)])
        msg = pb.InsoleResp(sensor_data=pb.SensorData(device_id=foot, seq_num=seq, timestamp_ms=int(t * 1000) + 5,
                                                      pressure_data=pressure))
        if seq in lose:
            continue
        out.append(frame(msg.SerializeToString()))
        if seq in repeat:
            out.append(out[-1])
    return out


@pytest.fixture
def capture(tmp_path, pb):
    """An MCAP capture of two walking feet, left in newtons with a loss and a
    repeat, right in device units."""
    from trova_insole import CaptureWriter
    path = tmp_path / "walk.mcap"
    left = walking_frames(pb, 2, lose=range(500, 506), repeat=(300,))
    right = walking_frames(pb, 3, own_units=True, phase=0.5)
    with open(path, "wb") as out, CaptureWriter(out) as writer:
        lc, rc = writer.add_insole("gait-L", "left"), writer.add_insole("gait-R", "right")
        for i in range(max(len(left), len(right))):
            if i < len(left):
                writer.write(lc, left[i], 10_000_000 * (i + 1))
            if i < len(right):
                writer.write(rc, right[i], 10_000_000 * (i + 1) + 1)
    return path


@pytest.fixture
def gait_callback(sdk):
    seen = []
    sdk.register_gait_event_callback(lambda device_id, event: seen.append((device_id, event)))
    yield seen
    sdk.register_gait_event_callback(None)


def as_rows(seen):
    return [(d, e["type"], e["time_s"], e["load"], e["load_unit"], e["sample_index"], e["decided_index"],
             e["seq_num"]) for d, e in seen]


def test_faces_agree_on_a_capture(sdk, capture, gait_callback):
    from trova_insole import gait, read_messages
    # The C receive path, as a host feeding its notifications.
    for device in ("gait-L", "gait-R"):
        sdk.enable_gait(device)
    for message in read_messages(capture):
        sdk.feed_received_data(message.device_id, message.data)
    live = as_rows(gait_callback)
    for device in ("gait-L", "gait-R"):
        sdk.enable_gait(device, False)
    assert len(live) > 30
    assert {r[4] for r in live if r[0] == "gait-L"} == {"N"}
    assert {r[4] for r in live if r[0] == "gait-R"} == {"device units"}

    # The same notifications through StreamParsers made for the ids.
    gait_callback.clear()
    parsers = {}
    for device in ("gait-L", "gait-R"):
        sdk.enable_gait(device)
        parsers[device] = sdk.StreamParser(device_id=device)
    for message in read_messages(capture):
        parsers[message.device_id].push(bytes(message.data))
    for device in ("gait-L", "gait-R"):
        sdk.enable_gait(device, False)
    assert as_rows(gait_callback) == live

    # After the fact, from the path and from read_capture's frame.
    table = gait.events(capture, as_="lists")
    after = [(r["device"], r["type"], r["time_s"], r["load"], r["load_unit"], r["sample_index"],
              r["decided_index"], r["seq_num"]) for r in table]
    key = lambda r: (r[0], r[6])  # noqa: E731  per device, in decision order
    assert sorted(after, key=key) == sorted(live, key=key)
    frame_events = gait.events(gait_read_capture(capture), as_="lists")
    assert frame_events == table

    # The live strides are the table's, and the lost frames mark one of them.
    live_strides = [(d, e["stride"]) for d, e in gait_callback if e["stride"]]
    st = gait.strides(capture, as_="lists")
    assert [(r["device"], r["stride_s"], r["flags"]) for r in sorted(st, key=lambda r: r["device"])] == \
        [(d, s["stride_s"], s["flags"]) for d, s in sorted(live_strides, key=lambda p: p[0])]
    gapped = [r for r in st if r["across_gap"]]
    assert [r["device"] for r in gapped] == ["gait-L"]
    assert gapped[0]["contact_s"] <= 5.0 <= gapped[0]["next_contact_s"]
    for r in st:
        assert r["stride_s"] == pytest.approx(1 / 0.9, abs=0.03)
        assert r["stance_pct"] + r["swing_pct"] == pytest.approx(100.0)


def gait_read_capture(path):
    from trova_insole import read_capture
    return read_capture(path)


def test_arrays_and_streaming_detector_agree():
    from trova_insole import gait
    times = [i / 100 for i in range(1500)]
    left = [800 * walking_loads(t) for t in times]
    right = [800 * walking_loads(t, phase=0.5) for t in times]
    ev = gait.events(times=times, left=left, right=right, as_="lists")
    assert {r["foot"] for r in ev} == {"left", "right"}
    detector = gait.GaitDetector()
    streamed = [e for t, load in zip(times, left) for e in detector.push(t, load)]
    assert [(e["type"], e["time_s"]) for e in streamed] == \
        [(r["type"], r["time_s"]) for r in ev if r["foot"] == "left"]
    st = gait.strides(times=times, left=left, as_="lists")
    assert st and st[0]["first_of_bout"] and all(r["device"] == "left" for r in st)


def test_forms_of_the_output():
    from trova_insole import gait
    pandas = pytest.importorskip("pandas")
    times = [i / 50 for i in range(750)]
    frame_ = gait.strides(times=times, left=[walking_loads(t) for t in times])
    assert isinstance(frame_, pandas.DataFrame)
    assert list(frame_.columns)[:8] == ["device", "foot", "contact_s", "foot_off_s", "next_contact_s", "stride_s",
                                        "stance_s", "swing_s"]
    arrays = gait.events(times=times, left=[walking_loads(t) for t in times], as_="numpy")
    assert set(arrays) >= {"time_s", "type"} and len(arrays["time_s"]) > 10
    # No events is an empty table with its columns, not an error.
    still = gait.events(times=times, left=[5.0] * len(times))
    assert len(still) == 0 and "time_s" in still.columns


@pytest.mark.parametrize("kwargs, error, text", [
    (dict(times=[0.0, 0.01, 0.02], left=[1.0, float("nan"), 2.0]), ValueError, "load must be finite, not nan"),
    (dict(times=[0.0, 0.01, 0.02], left=[1.0, float("inf"), 2.0]), ValueError, "load must be finite, not inf"),
    (dict(times=[0.0, 0.02, 0.01], left=[1.0, 2.0, 3.0]), ValueError, "time_s must increase: 0.01 s after 0.02 s"),
    (dict(times=[0.0, 0.0], left=[1.0, 2.0]), ValueError, "time_s must increase: 0.0 s after 0.0 s"),
    (dict(times=[0.0, float("nan")], left=[1.0, 2.0]), ValueError, "time_s must be finite"),
    (dict(times=[], left=[]), ValueError, "no samples"),
    (dict(times=[0.0, 0.01], left=[1.0]), ValueError, "left has 1 loads for 2 times"),
    (dict(times=[0.0, 0.01], left=[1.0, "2"]), TypeError, "item 1 must be a number, not 'str'"),
    (dict(times="0.0", left=[1.0]), TypeError, "times must be a sequence of numbers"),
    (dict(times=[0.0]), TypeError, "give a capture, or times="),
    (dict(as_="json", times=[0.0], left=[1.0]), ValueError, "as_ must be one of"),
])
def test_bad_input_is_refused_with_one_clear_error(kwargs, error, text):
    from trova_insole import gait
    with pytest.raises(error, match=None) as caught:
        gait.events(**kwargs)
    assert text in str(caught.value)


def test_bad_sources_and_streaming_input(sdk, tmp_path):
    from trova_insole import gait
    with pytest.raises(FileNotFoundError):
        gait.events(tmp_path / "absent.mcap")
    with pytest.raises(TypeError, match="source must be a capture path"):
        gait.events(42)
    with pytest.raises(ValueError, match="no device_time_ms column"):
        gait.events({"device": ["x"]})
    d = sdk.GaitDetector()
    d.push(1.0, 3.0)
    with pytest.raises(ValueError, match="time_s must increase"):
        d.push(1.0, 3.0)
    with pytest.raises(TypeError, match="argument 'load': must be a number, not 'NoneType'"):
        d.push(2.0, None)
    assert d.push(2.0, 3.0) == []  # refused samples left the detector as it was
    with pytest.raises(TypeError):
        sdk.enable_gait(None)
    with pytest.raises(ValueError):
        sdk.enable_gait("a\0b")
    with pytest.raises(TypeError):
        sdk.register_gait_event_callback(3)


def test_a_raising_callback_is_logged_and_the_stream_goes_on(sdk, pb, capfd, logging_on):
    calls = []

    def bad(device_id, event):
        calls.append(event["type"])
        raise RuntimeError("host bug")
    sdk.register_gait_event_callback(bad)
    try:
        sdk.enable_gait("gait-raise")
        for f in walking_frames(pb, 2, seconds=8):
            sdk.feed_received_data("gait-raise", f)
    finally:
        sdk.enable_gait("gait-raise", False)
        sdk.register_gait_event_callback(None)
    assert len(calls) > 5
    assert "Error calling Python gait event callback: RuntimeError: host bug" in capfd.readouterr().out


def test_virtual_insoles_give_the_same_events_to_every_face(sdk, tmp_path, gait_callback):
    """A recording of two walking virtual insoles: the live callback and
    trova_insole.gait agree exactly, and the tool decides the same events on
    the same samples (by default on the aligned host clock; with --clock
    device at the same times)."""
    import json
    import subprocess
    from trova_insole import gait, read_messages
    tool = os.environ["INSOLE_BIN"]
    path = tmp_path / "virtual.mcap"
    subprocess.run([tool, "record", str(path), "--virtual", "left", "--virtual", "right", "--seconds", "4"],
                   check=True, capture_output=True, timeout=60)
    devices = {m.device_id for m in read_messages(path)}
    for device in devices:
        sdk.enable_gait(device)
    for m in read_messages(path):
        sdk.feed_received_data(m.device_id, m.data)
    for device in devices:
        sdk.enable_gait(device, False)
    live = sorted((d, e["sample_index"], e["decided_index"], e["type"], e["time_s"]) for d, e in gait_callback)
    table = gait.events(path, as_="lists")
    assert len(live) >= 6 and {r["foot"] for r in table} == {"left", "right"}
    assert sorted((r["device"], r["sample_index"], r["decided_index"], r["type"], r["time_s"]) for r in table) == live
    done = subprocess.run([tool, "gait", "--events", str(path)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    by_tool = sorted((e["foot"], e["sample"], e["decided_sample"], e["event"]) for e in map(json.loads, done.stdout.splitlines()))
    assert by_tool == sorted((r["foot"], r["sample_index"], r["decided_index"], r["type"]) for r in table)
    # On the insoles' own clocks the tool's times are the callback's, to the 0.1 ms it prints.
    done = subprocess.run([tool, "gait", "--events", "--clock", "device", str(path)], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    by_tool = sorted((e["foot"], e["sample"], e["event"], e["time_s"]) for e in map(json.loads, done.stdout.splitlines()))
    assert by_tool == sorted((r["foot"], r["sample_index"], r["type"], round(r["time_s"], 4)) for r in table)
