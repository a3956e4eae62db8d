"""The Python example programs, run without a radio: bleak's scanner results
and client are replaced by plain stand-ins, and captures are generated here."""

import asyncio
import importlib.util
import io
import json
import math
import os
import pathlib
import signal
import sys
import types

import numpy
import pytest

from conftest import frame, unframe, unique_id

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "python"


def load_example(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def host():
    return load_example("ble_host")


@pytest.fixture(scope="module")
def plotter():
    return load_example("plot_capture")


def advert(address, manufacturer_data, rssi=-60, name="Insole"):
    device = types.SimpleNamespace(address=address, name=name)
    return device, types.SimpleNamespace(manufacturer_data=manufacturer_data, rssi=rssi)


class FakeClient:
    """Records what a host does to a BleakClient; notify() plays the insole."""

    def __init__(self, fail=()):
        self.calls = []
        self.handler = None
        self.fail = set(fail)

    async def _record(self, name, *args):
        self.calls.append((name, *args))
        if name in self.fail:
            raise OSError(f"{name}: not connected")

    async def start_notify(self, uuid, handler):
        self.handler = handler
        await self._record("start_notify", uuid)

    async def write_gatt_char(self, uuid, data, response=False):
        await self._record("write", uuid, bytes(data))

    async def stop_notify(self, uuid):
        await self._record("stop_notify", uuid)

    async def disconnect(self):
        await self._record("disconnect")

    def notify(self, data):
        self.handler("char", bytearray(data))

    def requests(self, pb):
        return [(c[2][9], pb.InsoleReq.FromString(unframe(c[2]))) for c in self.calls if c[0] == "write"]


def sensor_frame(pb, side, n, lost_cells=False):
    """A sample shaped like the SDK's simulated insole: a travelling pressure wave and a turning IMU."""
    resp = pb.InsoleResp()
    sd = resp.sensor_data
    sd.device_id, sd.timestamp_ms, sd.seq_num = side, n * 20, n
    phase = 0.5 if side == 3 else 0.0
    sd.pressure_data.pressure.extend(int((math.sin(phase + n * 0.1 + i * 0.2) + 1) * 500) for i in range(48))
    sd.imu_data.acc_x = int(math.sin(n * 0.05) * 1000)
    sd.imu_data.acc_y = int(math.cos(n * 0.05) * 1000)
    sd.imu_data.acc_z = 2048
    sd.battery_data.battery_pct = 91 if side == 3 else 95
    return frame(resp)


# --- ble_host ------------------------------------------------------------------

def test_find_insoles_tells_feet_apart_and_ignores_other_devices(host, sdk):
    trova, legacy = sdk.INSOLE_MANUFACTURER_IDS
    results = dict((d.address, (d, a)) for d, a in [
        advert("L1", {trova: b"\x01\x00"}, rssi=-80),
        advert("L2", {legacy: b"\x02"}, rssi=-50),          # older insole, stronger: wins the left
        advert("R1", {trova: b"\x07", legacy: b"\x03"}),    # unknown side byte falls through to the legacy id
        advert("X1", {0x1234: b"\x03"}),                    # another maker's device
        advert("X2", {trova: b""}),                          # no side byte
        advert("X3", {trova: b"\x02", 70000: b"\x03"}),     # malformed data is skipped, not raised
        advert("X4", {}),
    ])
    found = host.find_insoles(results)
    assert {side: i.address for side, i in found.items()} == {sdk.DEVICE_LEFT: "L2", sdk.DEVICE_RIGHT: "R1"}
    assert found[sdk.DEVICE_RIGHT].side_name == "right"
    # The iterable-of-pairs form gives the same answer as bleak's mapping.
    assert host.find_insoles(list(results.values())).keys() == found.keys()


def test_session_subscribes_then_writes_decodable_requests(host, sdk, pb):
    client = FakeClient()
    session = host.InsoleSession(client, sdk.DEVICE_RIGHT, sample_rate_hz=100, out=io.StringIO())
    asyncio.run(session.start())
    assert client.calls[0] == ("start_notify", host.NOTIFY_UUID)
    assert {c[1] for c in client.calls[1:]} == {host.WRITE_UUID}
    # Default roles: the insole notifies on TX and takes commands on RX.
    assert (host.NOTIFY_UUID, host.WRITE_UUID) == (sdk.INSOLE_TX_UUID, sdk.INSOLE_RX_UUID)
    requests = client.requests(pb)
    assert [dest for dest, _ in requests] == [sdk.DEVICE_RIGHT] * 3
    info, battery, stream = (r for _, r in requests)
    assert info.get_device_info and battery.get_battery
    assert stream.stream_ctrl.cmd == pb.STREAM_CMD_START
    assert stream.set_sensor_config.pressure_config.sample_rate_hz == 100
    assert stream.set_sensor_config.pressure_config.subscription
    assert len({r.msg_id for _, r in requests}) == 3


def test_notifications_become_json_lines_and_device_events(host, sdk, pb, capsys, clean_callbacks):
    client = FakeClient()
    session = host.InsoleSession(client, sdk.DEVICE_LEFT, device_id=unique_id("ex-left"), address="AA:01")
    host.route_device_events([session])
    asyncio.run(session.start())

    event = pb.InsoleResp(msg_id=9)
    event.device_event.type, event.device_event.timestamp_ms = pb.EVENT_WEAR_ON, 777
    stream = sensor_frame(pb, 2, 1) + frame(event) + frame(b"\xff\xff") + sensor_frame(pb, 2, 2)
    for start in range(0, len(stream), 20):  # MTU-sized notifications, frames split across them
        client.notify(stream[start:start + 20])

    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert all(line["foot"] == "left" and line["address"] == "AA:01" for line in lines)
    messages = [line["message"] for line in lines if "message" in line]
    assert [m["sensorData"]["seqNum"] for m in messages if "sensorData" in m] == [1, 2]
    assert messages[0]["sensorData"]["pressureData"]["pressure"] == list(
        pb.InsoleResp.FromString(unframe(sensor_frame(pb, 2, 1))).sensor_data.pressure_data.pressure)
    assert {"deviceEvent": {"timestampMs": 777, "type": "EVENT_WEAR_ON"}, "msgId": 9} in messages
    # The same event arrives through the SDK's receive path, and the bad payload is reported.
    assert {"event_type": 6, "timestamp_ms": 777} in [line["event"] for line in lines if "event" in line]
    assert len([line for line in lines if "error" in line]) == 1
    assert session.stats()["messages"] == 3 and session.stats()["decode_errors"] == 1

    # A bad frame between good ones in one notification costs only itself.
    client.notify(sensor_frame(pb, 2, 3) + frame(b"\xff\xff") + sensor_frame(pb, 2, 4))
    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert [line["message"]["sensorData"]["seqNum"] for line in lines if "message" in line] == [3, 4]
    assert session.stats()["decode_errors"] == 2


def test_stop_cleans_up_even_when_a_step_fails(host, sdk, pb):
    client = FakeClient(fail={"stop_notify"})
    session = host.InsoleSession(client, sdk.DEVICE_LEFT, out=io.StringIO())
    asyncio.run(session.start())
    client.calls.clear()
    asyncio.run(session.stop())
    asyncio.run(session.stop())  # a second stop does nothing
    assert [c[0] for c in client.calls] == ["write", "stop_notify", "disconnect"]
    assert client.requests(pb)[0][1].stream_ctrl.cmd == pb.STREAM_CMD_STOP

    # An insole that dropped the link by itself is only disconnected.
    lost = FakeClient()
    session = host.InsoleSession(lost, sdk.DEVICE_LEFT, out=io.StringIO())
    asyncio.run(session.start())
    lost.calls.clear()
    session.link_lost()
    asyncio.run(session.stop())
    assert lost.calls == [("disconnect",)]


def test_run_streams_until_interrupted_and_then_stops_both_insoles(host, sdk, pb, monkeypatch, capsys):
    clients = {}
    insoles = {side: host.FoundInsole(None, f"AA:0{side}", "Insole", side, -40)
               for side in (sdk.DEVICE_LEFT, sdk.DEVICE_RIGHT)}

    async def fake_scan(timeout, wanted):
        return {side: insoles[side] for side in wanted}

    async def fake_connect(insole, args, out, on_lost):
        client = clients[insole.side] = FakeClient()
        return host.InsoleSession(client, insole.side, address=insole.address, out=out,
                                  notify_uuid=host.CHARACTERISTIC_ROLES[args.notify][0],
                                  write_uuid=host.CHARACTERISTIC_ROLES[args.notify][1])

    async def scenario(args):
        loop = asyncio.get_running_loop()
        loop.call_later(0.1, lambda: [c.notify(sensor_frame(pb, side, 1)) for side, c in clients.items()])
        loop.call_later(0.2, os.kill, os.getpid(), signal.SIGINT)  # Ctrl-C long before --seconds ends
        return await host.run(args)

    monkeypatch.setattr(host, "scan", fake_scan)
    monkeypatch.setattr(host, "connect", fake_connect)
    args = host.parse_args(["--seconds", "30", "--notify", "rx"])
    try:
        assert asyncio.run(asyncio.wait_for(scenario(args), 10)) == 0
    except KeyboardInterrupt:
        pytest.fail("Ctrl-C interrupted the run instead of ending it cleanly")

    lines = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert sorted(line["foot"] for line in lines) == ["left", "right"]
    for side, client in clients.items():
        assert client.calls[0] == ("start_notify", sdk.INSOLE_RX_UUID)
        assert client.calls[-2:] == [("stop_notify", sdk.INSOLE_RX_UUID), ("disconnect",)]
        assert client.requests(pb)[-1][1].stream_ctrl.cmd == pb.STREAM_CMD_STOP
        assert {c[1] for c in client.calls if c[0] == "write"} == {sdk.INSOLE_TX_UUID}


# --- plot_capture --------------------------------------------------------------

@pytest.fixture
def capture(tmp_path, pb):
    """Left: 100 samples behind line noise, with a CRC-damaged frame and a battery reply.
    Right: 100 samples with 3 lost and one frame that does not decode."""
    battery = pb.InsoleResp(msg_id=4)
    battery.battery_data.battery_pct = 80
    left = b"\x00noise" + b"".join(sensor_frame(pb, 2, n) for n in range(1, 101)) + frame(battery)
    left = left.replace(sensor_frame(pb, 2, 50), frame(sensor_frame(pb, 2, 50)[11:-2], bad_crc=True))
    right = [sensor_frame(pb, 3, n) for n in range(1, 101) if n not in (40, 41, 42)]
    right.insert(10, frame(b"\xff\xff"))
    paths = tmp_path / "walk-left.bin", tmp_path / "walk-right.bin"
    paths[0].write_bytes(left)
    paths[1].write_bytes(b"".join(right))
    return paths


def test_capture_summary(plotter, capture):
    loaded = plotter.load(capture)
    summary = plotter.summarize(loaded)
    left, right = summary["feet"]["left"], summary["feet"]["right"]
    assert (left["samples"], left["lost"], right["samples"], right["lost"]) == (100, 0, 97, 3)
    assert left["rate_hz"] == right["rate_hz"] == 50
    assert (right["seq_first"], right["seq_last"], right["duration_s"]) == (1, 100, 1.98)
    assert left["pressure_cells"] == 48 and left["battery_pct"] == 95 and right["battery_pct"] == 91
    assert left["acc_mean_mg"][2] == 1000.0  # 2048 counts at the default scale
    assert summary["messages"] == {"batteryData": 1, "sensorData": 197}
    stream = summary["stream"]
    assert (stream["crc_errors"], stream["undecodable"], stream["dropped_bytes"]) == (1, 1, 6)
    # The heatmap keeps one column per sequence number: lost samples stay blank.
    grid = plotter.pressure_grid(numpy, loaded.feet["right"], 48)
    assert grid.shape == (48, 100)
    assert numpy.isnan(grid).all(axis=0).nonzero()[0].tolist() == [39, 40, 41]


def test_hex_capture_reads_like_raw_bytes(plotter, capture, tmp_path, capsys):
    raw = capture[0].read_bytes()
    text = "# notifications\n" + "\n".join(" ".join(f"0x{b:02X}" for b in raw[i:i + 16])
                                           for i in range(0, len(raw), 16))
    (tmp_path / "left.txt").write_text(text)
    assert plotter.read_capture(tmp_path / "left.txt", hex_text=True) == raw
    (tmp_path / "bad.txt").write_text("12 zz")
    assert plotter.main(["--hex", str(tmp_path / "bad.txt")]) == 2
    # Hex text read as raw bytes holds no frame: the program says so and suggests --hex.
    assert plotter.main([str(tmp_path / "left.txt")]) == 1
    assert "--hex" in capsys.readouterr().err


def test_main_without_matplotlib_prints_summary_and_succeeds(plotter, capture, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # makes `import matplotlib` fail
    out = capture[0].with_suffix(".png")
    assert plotter.main([str(p) for p in capture]) == 0
    printed = capsys.readouterr()
    assert "left: 100 samples" in printed.out and "right: 97 samples" in printed.out
    assert "matplotlib is not installed" in printed.err
    assert not out.exists()


def test_main_writes_png(plotter, capture, tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "walk.png"
    assert plotter.main([*map(str, capture), "-o", str(out)]) == 0
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and out.stat().st_size > 20000

