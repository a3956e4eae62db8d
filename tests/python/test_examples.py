"""The Python example programs, run with stand-ins for bleak's scanner results and client."""

import asyncio
import functools
import importlib.util
import io
import json
import os
import pathlib
import signal
import sys
import types

import numpy
import pytest

from conftest import frame, unframe, unique_id

# The examples use the companion package, which the wheel installs beside the module.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "python"))


@functools.cache
def example(name):
    path = pathlib.Path(__file__).resolve().parents[2] / "examples" / "python" / f"{name}.py"
    module_spec = importlib.util.spec_from_file_location(f"example_{name}", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


class FakeClient:  # records what a host does to a BleakClient; calling `handler` plays the insole

    def __init__(self, fail=()):
        self.calls, self.handler, self.fail = [], None, set(fail)

    async def record(self, *call):
        self.calls.append(call)
        if call[0] in self.fail:
            raise OSError(f"{call[0]}: not connected")

    def start_notify(self, uuid, handler):
        self.handler = handler
        return self.record("start_notify", uuid)

    def write_gatt_char(self, uuid, data, response=False):
        return self.record("write", uuid, bytes(data))

    def stop_notify(self, uuid):
        return self.record("stop_notify", uuid)

    def disconnect(self):
        return self.record("disconnect")

    def requests(self, pb):  # (destination, request) of each write
        return [(c[2][9], pb.InsoleReq.FromString(unframe(c[2]))) for c in self.calls if c[0] == "write"]


def sensor_frame(pb, side, n):
    return frame(pb.InsoleResp(sensor_data=pb.SensorData(
        device_id=side, timestamp_ms=n * 20, seq_num=n, imu_data=pb.ImuData(acc_z=2048),
        pressure_data=pb.PressureData(pressure=[(n * 7 + i * 29) % 1000 for i in range(48)]),
        battery_data=pb.BatteryData(battery_pct=91 if side == 3 else 95))))


def json_lines(capsys):
    return [json.loads(line) for line in capsys.readouterr().out.splitlines()]


def test_find_insoles_tells_feet_apart_and_ignores_other_devices(sdk):
    trova, legacy = sdk.INSOLE_MANUFACTURER_IDS
    results = {address: (types.SimpleNamespace(address=address, name="Insole"),
                         types.SimpleNamespace(manufacturer_data=data, rssi=rssi)) for address, data, rssi in [
        ("L1", {trova: b"\x01\x00"}, -80), ("L2", {legacy: b"\x02"}, -50),  # older insole, stronger: wins the left
        ("R1", {trova: b"\x07", legacy: b"\x03"}, -60),  # unknown side byte falls through to the legacy id
        ("X1", {0x1234: b"\x03"}, -60), ("X3", {trova: b"\x02", 70000: b"\x03"}, -60)]}  # malformed: skipped
    found = example("ble_host").find_insoles(results)
    assert {side: (i.address, i.side_name) for side, i in found.items()} == {2: ("L2", "left"), 3: ("R1", "right")}
    assert example("ble_host").find_insoles(list(results.values())).keys() == found.keys()  # pairs work too


def test_session_requests_output_and_stop(sdk, pb, capsys, clean_callbacks):
    host, client = example("ble_host"), FakeClient(fail={"stop_notify"})
    session = host.InsoleSession(client, sdk.DEVICE_RIGHT, device_id=unique_id("ex"), address="AA:01",
                                 sample_rate_hz=100)
    host.route_device_events([session])
    asyncio.run(session.start())
    # Subscribes to TX first, then writes decodable requests for this foot to RX (the default roles).
    assert client.calls[0] == ("start_notify", sdk.INSOLE_TX_UUID)
    assert {c[1] for c in client.calls[1:]} == {sdk.INSOLE_RX_UUID}
    (d1, info), (d2, battery), (d3, stream) = client.requests(pb)
    assert d1 == d2 == d3 == sdk.DEVICE_RIGHT and len({info.msg_id, battery.msg_id, stream.msg_id}) == 3
    assert info.get_device_info and battery.get_battery and stream.stream_ctrl.cmd == pb.STREAM_CMD_START
    assert stream.set_sensor_config.pressure_config.sample_rate_hz == 100

    event = frame(pb.InsoleResp(msg_id=9, device_event=pb.DeviceEvent(type=pb.EVENT_WEAR_ON, timestamp_ms=777)))
    data = sensor_frame(pb, 3, 1) + event + frame(b"\xff\xff") + sensor_frame(pb, 3, 2)
    for start in range(0, len(data), 20):  # MTU-sized notifications, frames split across them
        client.handler("char", bytearray(data[start:start + 20]))
    lines = json_lines(capsys)
    assert all(line["foot"] == "right" and line["address"] == "AA:01" for line in lines)
    messages = [line["message"] for line in lines if "message" in line]
    assert [m["sensorData"]["seqNum"] for m in messages if "sensorData" in m] == [1, 2]  # the bad frame costs itself
    assert {"deviceEvent": {"timestampMs": 777, "type": "EVENT_WEAR_ON"}, "msgId": 9} in messages
    # The same event reaches the device event callback from the same parser, and each bad payload is reported.
    assert [line["event"] for line in lines if "event" in line] == [{"event_type": 6, "timestamp_ms": 777}]
    assert len([line for line in lines if "error" in line]) == 1 == session.stats()["decode_errors"]
    assert session.stats()["messages"] == 3

    client.calls.clear()  # stopping goes on past a failing step, and a second stop does nothing
    asyncio.run(session.stop())
    asyncio.run(session.stop())
    assert [c[0] for c in client.calls] == ["write", "stop_notify", "disconnect"]
    assert client.requests(pb)[0][1].stream_ctrl.cmd == pb.STREAM_CMD_STOP
    session = host.InsoleSession(lost := FakeClient(), sdk.DEVICE_LEFT, out=io.StringIO())
    asyncio.run(session.start())
    lost.calls.clear()
    session.link_lost()  # an insole that dropped the link by itself is only disconnected
    asyncio.run(session.stop())
    assert lost.calls == [("disconnect",)]


def test_run_streams_until_interrupted_and_then_stops_both_insoles(sdk, pb, monkeypatch, capsys):
    host, clients = example("ble_host"), {}

    async def fake_scan(timeout, wanted, virtual=False):
        return {side: host.FoundInsole(None, f"AA:0{side}", "Insole", side, -40) for side in wanted}

    async def fake_connect(insole, args, out, on_lost):
        clients[insole.side] = FakeClient()
        notify, write = host.CHARACTERISTIC_ROLES[args.notify]
        return host.InsoleSession(clients[insole.side], insole.side, out=out, notify_uuid=notify, write_uuid=write)

    async def scenario():
        loop = asyncio.get_running_loop()
        loop.call_later(0.1, lambda: [c.handler("x", bytearray(sensor_frame(pb, s, 1))) for s, c in clients.items()])
        loop.call_later(0.2, os.kill, os.getpid(), signal.SIGINT)  # Ctrl-C long before --seconds ends
        return await host.run(host.parse_args(["--seconds", "30", "--notify", "rx"]))

    monkeypatch.setattr(host, "scan", fake_scan)
    monkeypatch.setattr(host, "connect", fake_connect)
    try:
        assert asyncio.run(asyncio.wait_for(scenario(), 10)) == 0
    except KeyboardInterrupt:
        pytest.fail("Ctrl-C interrupted the run instead of ending it cleanly")
    assert sorted(line["foot"] for line in json_lines(capsys)) == ["left", "right"]
    for client in clients.values():
        assert client.calls[0] == ("start_notify", sdk.INSOLE_RX_UUID)
        assert client.calls[-2:] == [("stop_notify", sdk.INSOLE_RX_UUID), ("disconnect",)]
        assert {c[1] for c in client.calls if c[0] == "write"} == {sdk.INSOLE_TX_UUID}


@pytest.fixture
def capture(tmp_path, pb):
    """Left: 100 samples behind line noise, with a CRC-damaged frame and a battery reply.
    Right: 100 samples with 3 lost and one frame that does not decode."""
    left = b"\x00noise" + b"".join(sensor_frame(pb, 2, n) for n in range(1, 101))
    left = left.replace(sensor_frame(pb, 2, 50), frame(sensor_frame(pb, 2, 50)[11:-2], bad_crc=True))
    right = [sensor_frame(pb, 3, n) for n in range(1, 101) if n not in (40, 41, 42)]
    paths = tmp_path / "walk-left.bin", tmp_path / "walk-right.bin"
    paths[0].write_bytes(left + frame(pb.InsoleResp(msg_id=4, battery_data=pb.BatteryData(battery_pct=80))))
    paths[1].write_bytes(b"".join(right[:10]) + frame(b"\xff\xff") + b"".join(right[10:]))
    return paths


def test_capture_summary_and_hex_text(capture, tmp_path, capsys):
    plotter = example("plot_capture")
    loaded = plotter.load(capture)  # raw .bin captures, one per insole, in the insole's own units
    summary = plotter.summarize(loaded)
    left, right = summary["feet"]["left"], summary["feet"]["right"]
    assert [(f["samples"], f["lost"], f["rate_hz"], f["battery_pct"]) for f in (left, right)] == [
        (100, 0, 50, 95), (97, 3, 50, 91)]
    assert (right["seq_first"], right["seq_last"], right["duration_s"], left["pressure_cells"]) == (1, 100, 1.98, 48)
    assert summary["messages"] == {"batteryData": 1, "sensorData": 197}
    assert [summary["stream"][k] for k in ("crc_errors", "undecodable", "dropped_bytes")] == [1, 1, 6]
    # The heatmap keeps one column per sequence number: lost samples stay blank.
    grid = plotter.pressure_grid(numpy, loaded.feet["right"], 48)
    assert grid.shape == (48, 100) and numpy.isnan(grid).all(axis=0).nonzero()[0].tolist() == [39, 40, 41]

    raw = capture[0].read_bytes()
    (tmp_path / "left.txt").write_text("# notifications\n" + "\n".join(
        " ".join(f"0x{b:02X}" for b in raw[i:i + 16]) for i in range(0, len(raw), 16)))
    assert plotter.read_capture(tmp_path / "left.txt", hex_text=True) == raw
    (tmp_path / "bad.txt").write_text("12 zz")
    assert plotter.main(["--hex", str(tmp_path / "bad.txt")]) == 2
    # Hex text read as raw bytes holds no frame: the program says so and suggests --hex.
    assert plotter.main([str(tmp_path / "left.txt")]) == 1 and "--hex" in capsys.readouterr().err


def test_capture_of_two_virtual_insoles_reads_by_content_in_newtons(tmp_path):
    import subprocess
    root = pathlib.Path(__file__).resolve().parents[2]
    tool = os.environ.get("INSOLE_BIN", str(root / "build/release/tools/insole"))
    path = tmp_path / "pair.mcap"
    subprocess.run([tool, "record", str(path), "--virtual", "left", "--virtual", "right", "--seconds", "1"],
                   check=True, capture_output=True, timeout=60)
    summary = example("plot_capture").summarize(example("plot_capture").load([path]))
    # Read as a raw byte stream, the container's own bytes would be dropped and
    # every interleaved notification would break a sequence.
    assert [summary["stream"][k] for k in ("dropped_bytes", "sequence_discontinuities", "crc_errors")] == [0, 0, 0]
    assert set(summary["feet"]) == {"left", "right"}
    for foot in summary["feet"].values():
        # The virtual insoles send resistances: a sum of ohms would be in the
        # hundreds of thousands, a body's load in newtons is not.
        assert foot["samples"] >= 40 and foot["load_unit"] == "N" and 50 < foot["load_total_mean"] < 3000


def test_main_prints_summary_and_plots_when_it_can(capture, tmp_path, monkeypatch, capsys):
    plotter = example("plot_capture")
    with monkeypatch.context() as patch:
        patch.setitem(sys.modules, "matplotlib", None)  # makes `import matplotlib` fail
        assert plotter.main([str(p) for p in capture]) == 0
    printed = capsys.readouterr()
    assert "left: 100 samples" in printed.out and "right: 97 samples" in printed.out
    assert "matplotlib is not installed" in printed.err and not capture[0].with_suffix(".png").exists()
    pytest.importorskip("matplotlib")
    out = tmp_path / "walk.png"
    assert plotter.main([*map(str, capture), "-o", str(out)]) == 0
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and out.stat().st_size > 20000


def test_ble_host_runs_whole_against_virtual_insoles(tmp_path):
    import subprocess
    root = pathlib.Path(__file__).resolve().parents[2]
    env = dict(os.environ, INSOLE_BIN=str(pathlib.Path(os.environ.get("INSOLE_BIN", root / "build/release/tools/insole")).resolve()),
               PYTHONPATH=os.pathsep.join([str(pathlib.Path(p).resolve()) for p in sys.path if p] + [str(root / "python")]))
    image = tmp_path / "fw.bin"
    image.write_bytes(bytes(range(256)) * 40)
    done = subprocess.run([sys.executable, "ble_host.py", "--virtual", "--seconds", "2", "--dfu", str(image)],
                          cwd=root / "examples/python", env=env, capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr.decode()
    lines = [json.loads(line) for line in done.stdout.decode().splitlines()]
    # Each insole is a unit of its own: the MAC it reports is the address it advertised.
    identities = {line["foot"]: (line["message"]["deviceInfo"]["serialNumber"], line["message"]["deviceInfo"]["mac"])
                  for line in lines if "deviceInfo" in line.get("message", {})}
    assert identities == {"left": ("VI0000001", "02:00:00:00:00:01"), "right": ("VI0000002", "02:00:00:00:00:02")}
    for foot, device_id in [("left", "DEVICE_LEFT"), ("right", "DEVICE_RIGHT")]:
        mine = [line["message"] for line in lines if line["foot"] == foot and "message" in line]
        assert mine[0]["deviceInfo"]["deviceId"] == device_id and "batteryData" in mine[1]
        seqs = [m["sensorData"]["seqNum"] for m in mine if "sensorData" in m]
        assert seqs == list(range(seqs[0], seqs[0] + len(seqs)))  # nothing lost
        # The right insole streams at 50 Hz throughout; the left one until its update reboots it.
        assert len(seqs) >= (50 if foot == "right" else 5)
    # The walking right insole's contacts and foot offs come live, alternating.
    gait = [line["gait"] for line in lines if "gait" in line and line["foot"] == "right"]
    assert len(gait) >= 2 and {g["load_unit"] for g in gait} == {"N"}
    assert all(a["type"] != b["type"] and a["time_s"] < b["time_s"] for a, b in zip(gait, gait[1:]))
    # The left insole was updated while both streamed: one terminal report, completed.
    states = [line["dfu"]["state"] for line in lines if "dfu" in line]
    assert states[-1] == 6 and [s for s in states if s in (6, 7, 8)] == [6] and {line["foot"] for line in lines
                                                                                if "dfu" in line} == {"left"}
