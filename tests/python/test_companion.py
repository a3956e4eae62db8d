"""The pure-Python companion package: what BLE handlers receive goes in as it is."""

import pathlib
import sys

import pytest

from conftest import frame

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "python"))
from trova_insole import Parser  # noqa: E402

STREAM = frame(b"\x08\x01") + frame(b"\x08\x02") + b"\x00\xff" + frame(b"\x08\x03")[:7]


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
def test_parser_takes_any_bytes_like_and_gives_dicts(kind):
    parser = Parser()
    assert parser.feed(kind(STREAM)) == [{"msgId": 1}, {"msgId": 2}]
    assert parser.buffered_len() == 7 and parser.stats()["dropped_bytes"] == 2
    assert parser.feed(kind(frame(b"\x08\x03")[7:])) == [{"msgId": 3}]


def test_parser_refuses_text_and_keeps_decode_errors_lossless():
    parser = Parser()
    with pytest.raises(TypeError, match="bytes, bytearray or memoryview, not str"):
        parser.feed("TRVA")
    with pytest.raises(ValueError):
        parser.feed(bytearray(frame(b"\x08\x01") + frame(b"\x0a\x00") + frame(b"\x08\x02")))
    assert parser.feed(b"") == [{"msgId": 1}, {"msgId": 2}]


def test_read_capture_gives_the_same_rows_in_every_form(tmp_path):
    import os
    import subprocess

    from trova_insole import read_capture
    tool = os.environ.get("INSOLE_BIN", str(pathlib.Path(__file__).resolve().parents[2] / "build/release/tools/insole"))
    os.environ["INSOLE_BIN"] = tool
    path = tmp_path / "left.mcap"
    subprocess.run([tool, "record", str(path), "--seconds", "0.5"], check=True, capture_output=True)
    frame = read_capture(path, as_="pandas")
    arrays = read_capture(path, as_="numpy")
    rows = read_capture(path, as_="lists")
    assert list(frame["seq"]) == list(arrays["seq"]) == [r["seq"] for r in rows] == list(range(1, 26))
    assert list(frame["pressure_7"]) == [r["pressure_7"] for r in rows] and rows[0]["raw_pressure_0"] is None
    assert set(frame["foot"]) == {"left"} and frame["gap"].sum() == 0
    with pytest.raises(FileNotFoundError):
        read_capture(tmp_path / "missing.mcap")
    # No capture of any kind: the tool's one-line reason, whatever the form asked for.
    (tmp_path / "notes.txt").write_text("not a capture")
    for form in ("pandas", "numpy", "lists"):
        with pytest.raises(ValueError) as refused:
            read_capture(tmp_path / "notes.txt", as_=form)
        assert str(refused.value) == (f"{tmp_path / 'notes.txt'}: not a capture: no MCAP or btsnoop magic at its "
                                      "start and no insole frame in its 13 bytes")


def test_read_capture_says_how_to_get_numpy_and_pandas(tmp_path, monkeypatch):
    from trova_insole import read_capture
    monkeypatch.setitem(sys.modules, "pandas", None)  # makes `import pandas` fail, as in a bare venv
    with pytest.raises(ModuleNotFoundError) as missing:
        read_capture(tmp_path / "any.mcap", as_="pandas")
    text = str(missing.value)
    assert "\n" not in text and "python3 -m venv --system-site-packages" in text and "python3-pandas" in text


def test_read_messages_tells_every_kind_by_its_content(tmp_path):
    from trova_insole import CaptureWriter, read_messages
    notification = frame(b"\x08\x07")  # msg_id 7
    raw, mcap = tmp_path / "left.bin", tmp_path / "pair.mcap"
    raw.write_bytes(notification * 3)
    with CaptureWriter(open(mcap, "wb")) as capture:
        capture.write(capture.add_insole("L", "left"), notification, 1)
        capture.write(capture.add_insole("R", "right"), notification, 2)
    assert [(m.device_id, m.foot, m.log_time_ns, m.data) for m in read_messages(raw)] == [
        (str(raw), "unknown", 0, notification * 3)]
    assert [(m.device_id, m.foot) for m in read_messages(mcap)] == [("L", "left"), ("R", "right")]
    (tmp_path / "empty.bin").write_bytes(b"")
    (tmp_path / "notes.txt").write_bytes(b"hello")
    with pytest.raises(ValueError, match="empty.bin: not a capture: it is empty"):
        list(read_messages(tmp_path / "empty.bin"))
    with pytest.raises(ValueError, match="notes.txt: not a capture: no MCAP or btsnoop magic at its start and no "
                                         "insole frame in its 5 bytes"):
        list(read_messages(tmp_path / "notes.txt"))


def test_binary_and_csv_roads_agree_on_every_column(tmp_path):
    """numpy and pandas load the tool's binary form, plain lists its CSV: all
    must hold the same values, on a capture with both feet, lost samples,
    short and overlong lists, groups missing in some samples, a battery carried
    from its own message, an id the CSV must quote and a derived value that
    overflows (null in the CSV)."""
    import io
    import os

    import insole_pb2 as pb
    import numpy
    import pandas

    from trova_insole import CaptureWriter, export_csv, read_capture
    os.environ.setdefault("INSOLE_BIN", str(pathlib.Path(__file__).resolve().parents[2] / "build/release/tools/insole"))

    def sample(seq, battery):
        resp = pb.InsoleResp(msg_id=seq)
        sd = resp.sensor_data
        sd.timestamp_ms, sd.seq_num = 20 * seq, seq
        sd.pressure_data.pressure.extend((seq * 31 + i) % 70000 - 1000 for i in range(seq % 5 * 12 + 1))
        if seq % 2 == 0:
            sd.pressure_data.raw_pressure.extend(range(seq, seq + 48))
        if seq % 3 == 0:
            sd.shear_data.shear_force_x.extend([seq, -seq])
            sd.shear_data.shear_force_y.extend([1, 2, 3])
        if seq % 4:
            sd.imu_data.acc_x, sd.imu_data.gyro_z, sd.imu_data.raw_acc_y = seq * 100, -seq, 7
            sd.imu_data.acc_scale = 3e38 if seq == 5 else 0.0
        if battery:
            sd.battery_data.battery_pct, sd.battery_data.voltage_mv = 90, 4000 + seq
        return frame(resp)

    path = tmp_path / "both.mcap"
    with open(path, "wb") as out, CaptureWriter(out) as capture:
        left, right = capture.add_insole('L,"1"', "left"), capture.add_insole("R", "right")
        capture.write(left, frame(pb.InsoleResp(battery_data=pb.BatteryData(battery_pct=55, voltage_mv=3900))), 10**9)
        for seq in range(1, 41):
            at = 10**9 + seq * 20_000_000
            if seq % 7:  # every seventh left sample lost
                capture.write(left, sample(seq, battery=False), at)
            capture.write(right, sample(seq, battery=seq >= 10), at + 3_000_000)

    frame_ = read_capture(path, as_="pandas")
    # round_trip: pandas' quicker float parser can miss the last bit.
    csv_frame = pandas.read_csv(io.BytesIO(export_csv(path)), dtype={"device": str, "foot": str},
                                float_precision="round_trip")
    pandas.testing.assert_frame_equal(frame_, csv_frame)  # values, dtypes and column order
    arrays = read_capture(path, as_="numpy")
    assert list(arrays) == list(csv_frame.columns)
    for name, values in arrays.items():
        numpy.testing.assert_array_equal(values, csv_frame[name].to_numpy(), err_msg=name)
    rows = read_capture(path, as_="lists")
    assert [[None if pandas.isna(v) else v for v in frame_[name]] for name in frame_.columns] == \
        [[row[name] for row in rows] for name in frame_.columns]

    # The capture holds what the comparison is meant to cover.
    assert len(frame_) == 75 and set(zip(frame_["device"], frame_["foot"])) == {('L,"1"', "left"), ("R", "right")}
    assert frame_["gap"].sum() == 5 and frame_["seq"].dtype == numpy.int64 and frame_["pressure_0"].dtype == numpy.int64
    assert frame_["pressure_1"].isna().sum() > 0 and frame_["pressure_47"].notna().sum() > 0
    assert frame_["raw_pressure_0"].isna().sum() == 37 and frame_["shear_x_2"].isna().all()
    assert frame_["acc_x_mg"].isna().sum() == 19 + 2  # no IMU in 19 samples; overflowed in seq 5 of each foot
    assert frame_["battery_pct"].isna().sum() == 9 and (frame_[frame_["foot"] == "left"]["battery_pct"] == 55).all()


def test_binary_road_on_raw_and_empty_captures(tmp_path):
    """A raw capture (no receive times: an aligned column empty throughout, the
    file name as device) and a capture without samples (no block at all)."""
    import io
    import os
    import subprocess

    import numpy
    import pandas

    from trova_insole import CaptureWriter, export_csv, read_capture
    tool = os.environ.setdefault("INSOLE_BIN",
                                 str(pathlib.Path(__file__).resolve().parents[2] / "build/release/tools/insole"))
    raw = tmp_path / "walk.bin"
    subprocess.run([tool, "record", str(raw), "--seconds", "0.2"], check=True, capture_output=True)
    frame_ = read_capture(raw)
    pandas.testing.assert_frame_equal(frame_, pandas.read_csv(io.BytesIO(export_csv(raw)), dtype={"device": str}))
    assert len(frame_) == 10 and frame_["aligned_time_ns"].isna().all() and (frame_["host_time_ns"] == 0).all()
    assert set(frame_["device"]) == {str(raw)}

    empty = tmp_path / "empty.mcap"
    with open(empty, "wb") as out, CaptureWriter(out) as capture:
        capture.add_insole("L", "left")
    frame_, arrays = read_capture(empty), read_capture(empty, as_="numpy")
    columns = export_csv(empty).decode().strip().split(",")
    assert list(frame_.columns) == list(arrays) == columns and len(frame_) == 0
    assert all(isinstance(a, numpy.ndarray) and a.shape == (0,) for a in arrays.values())


def test_a_venv_over_the_system_packages_reads_into_pandas(tmp_path, sdk):
    """The road the README gives for numpy and pandas in a venv on Debian;
    a venv without it gets the one-line hint instead of a bare import error."""
    import os
    import subprocess
    root = pathlib.Path(__file__).resolve().parents[2]
    tool = os.environ.get("INSOLE_BIN", str(root / "build/release/tools/insole"))
    capture = tmp_path / "left.mcap"
    subprocess.run([tool, "record", str(capture), "--seconds", "0.2"], check=True, capture_output=True)
    script = ("import sys; from trova_insole import read_capture\n"
              "try:\n    print(len(read_capture(sys.argv[1], as_='pandas')))\n"
              "except ModuleNotFoundError as e:\n    print('missing:', e)\n")
    env = dict(os.environ, INSOLE_BIN=tool, PYTHONPATH=os.pathsep.join(
        [str(root / "python"), str(pathlib.Path(sdk.__file__).parent)]))
    results = {}
    for name, flags in [("system", ["--system-site-packages"]), ("bare", [])]:
        venv = tmp_path / name
        subprocess.run(["/usr/bin/python3", "-m", "venv", "--without-pip", *flags, str(venv)], check=True)
        done = subprocess.run([str(venv / "bin" / "python3"), "-c", script, str(capture)], env=env,
                              capture_output=True, text=True, timeout=60)
        results[name] = done.stdout.strip()
    assert results["system"] == "10"
    assert results["bare"].startswith("missing: ") and "--system-site-packages" in results["bare"]
