"""The receive path, the three Python callback slots and firmware updates, seen
from Python: argument conversion, dispatch, error containment, and whole
updates against a scripted insole and against the mock update."""

import queue
import threading
import time
import zlib

import pytest

from conftest import frame, unframe, unique_id

pytestmark = pytest.mark.usefixtures("clean_callbacks")

PROGRESS_KEYS = ["state", "percentage", "speed_kbps", "eta_secs", "message"]


def event_frame(pb, ts=1234, kind=6):
    return frame(pb.InsoleResp(device_event=pb.DeviceEvent(timestamp_ms=ts, type=kind)))


class Progress:
    """Collects DFU progress reports and waits for the final one."""

    def __init__(self, sdk):
        self.reports = []
        self.done = threading.Event()
        sdk.register_dfu_progress_callback(self)

    def __call__(self, device, p):
        self.reports.append((device, p))
        if p["state"] >= 6:
            self.done.set()

    def wait(self, timeout):
        assert self.done.wait(timeout), self.reports
        return [p for _, p in self.reports]


@pytest.mark.parametrize("convert", [bytes, bytearray, list, tuple, lambda b: memoryview(b).tolist()])
def test_feed_accepts_byte_like_data(sdk, pb, convert):
    events = []
    sdk.register_device_event_callback(lambda device, ev: events.append(ev))
    data = event_frame(pb, 99, 7)
    device = unique_id("feed")
    # Split in two so the reassembly across calls is exercised as well.
    sdk.feed_received_data(device, convert(data[:5]))
    assert events == []
    assert sdk.feed_received_data(device, convert(data[5:])) is None
    assert events == [{"timestamp_ms": 99, "event_type": 7}]
    assert list(events[0]) == ["timestamp_ms", "event_type"]


@pytest.mark.parametrize("fn", ["feed_received_data", "start_dfu"])
@pytest.mark.parametrize("value, error, text", [
    ("\x01\x02", TypeError, "Can't extract `str` to `Vec`"),
    (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
    (None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    ([1, 256], OverflowError, None),
    ([1, -1], OverflowError, None),
    ([1, "2"], TypeError, None),
])
def test_byte_argument_refusals(sdk, fn, value, error, text):
    name = "data" if fn == "feed_received_data" else "firmware"
    with pytest.raises(error) as err:
        getattr(sdk, fn)(unique_id("bytes"), value)
    if error is TypeError:
        assert str(err.value).startswith(f"argument '{name}': ")
        if text:
            assert str(err.value) == f"argument '{name}': {text}"


@pytest.mark.parametrize("call", [
    lambda m: m.abort_dfu("a\0b"),
    lambda m: m.feed_received_data("a\0b", b"\x00"),
    lambda m: m.start_dfu("a\0b", b"\x01"),
    lambda m: m.start_mock_dfu("a\0b"),
])
def test_nul_in_device_id(sdk, call):
    with pytest.raises(ValueError) as err:
        call(sdk)
    assert str(err.value) == "nul byte found in provided data at position: 1"


@pytest.mark.parametrize("call, error, text", [
    (lambda m: m.start_dfu("dev", b""), ValueError, "firmware must not be empty"),
    (lambda m: m.start_dfu("dev", []), ValueError, "firmware must not be empty"),
    (lambda m: m.start_dfu(b"dev", b"\x01"), TypeError, "argument 'device_id': "),
    (lambda m: m.start_mock_dfu(1), TypeError, "argument 'device_id': "),
    (lambda m: m.abort_dfu(None), TypeError, "argument 'device_id': "),
    (lambda m: m.feed_received_data(None, b""), TypeError, "argument 'device_id': "),
])
def test_update_argument_refusals(sdk, call, error, text):
    with pytest.raises(error) as err:
        call(sdk)
    assert str(err.value).startswith(text)


def test_abort_without_update_is_harmless(sdk):
    assert sdk.abort_dfu(unique_id("idle")) is None
    assert sdk.feed_received_data(unique_id("idle"), b"") is None


def test_device_events_reach_the_callback_in_order(sdk, pb):
    calls = []
    sdk.register_device_event_callback(lambda *args, **kwargs: calls.append((args, kwargs)))
    device = unique_id("ev")
    sdk.feed_received_data(device, event_frame(pb, 0xFFFFFFFF, 1) + event_frame(pb, 0, 9))
    assert calls == [((device, {"timestamp_ms": 0xFFFFFFFF, "event_type": 1}), {}),
                     ((device, {"timestamp_ms": 0, "event_type": 9}), {})]

    sdk.register_device_event_callback(None)
    sdk.feed_received_data(device, event_frame(pb))
    assert len(calls) == 2


def test_callback_may_reregister_from_inside(sdk, pb):
    seen = []

    def once(device, ev):
        seen.append(ev["event_type"])
        sdk.register_device_event_callback(None)

    sdk.register_device_event_callback(once)
    sdk.feed_received_data(unique_id("rereg"), event_frame(pb, 1, 2) + event_frame(pb, 1, 3))
    assert seen == [2]


@pytest.mark.usefixtures("logging_on")
def test_callback_errors_are_logged_and_swallowed(sdk, pb, capfd):
    capfd.readouterr()
    sdk.register_device_event_callback(5)
    device = unique_id("noncall")
    sdk.feed_received_data(device, event_frame(pb) + event_frame(pb))
    out = capfd.readouterr().out
    line = "[Rust][ERROR][python] Error calling Python device event callback: TypeError: 'int' object is not callable\n"
    assert out.count(line) == 2

    calls = []

    def boom(device, ev):
        calls.append(ev)
        raise RuntimeError("boom\nsecond line")

    sdk.register_device_event_callback(boom)
    sdk.feed_received_data(device, event_frame(pb, 1) + event_frame(pb, 2))
    out = capfd.readouterr().out
    assert len(calls) == 2
    assert out.count("[Rust][ERROR][python] Error calling Python device event callback: RuntimeError: boom\n") == 2


@pytest.mark.usefixtures("logging_on")
def test_update_callback_errors_do_not_stop_the_update(sdk, capfd):
    """A non-callable write callback and a raising progress callback: the
    update goes on, and abort still ends it."""
    device = unique_id("dfuerr")
    states = []
    handshake = threading.Event()
    finished = threading.Event()

    def progress(dev, p):
        states.append(p["state"])
        if p["state"] == 2:
            handshake.set()
        if p["state"] >= 6:
            finished.set()
        raise ValueError(f"state {p['state']}")

    sdk.register_ble_write_callback(b"not callable")
    sdk.register_dfu_progress_callback(progress)
    capfd.readouterr()
    sdk.start_dfu(device, b"\x00" * 100)
    assert handshake.wait(5)
    time.sleep(0.2)
    sdk.abort_dfu(device)
    assert finished.wait(5)
    time.sleep(0.1)  # the update's closing log line
    assert states == [0, 1, 2, 8]
    out = capfd.readouterr().out
    assert "[Rust][ERROR][python] Error calling Python BLE write callback: TypeError: 'bytes' object is not callable\n" in out
    for s in states:
        assert f"[Rust][ERROR][python] Error calling Python DFU progress callback: ValueError: state {s}\n" in out


def test_cleared_write_callback_fails_the_update(sdk):
    sdk.register_ble_write_callback(lambda d, b: None)
    sdk.register_ble_write_callback(None)
    progress = Progress(sdk)
    sdk.start_dfu(unique_id("nowrite"), [1, 2, 3])
    reports = progress.wait(5)
    assert [p["state"] for p in reports] == [0, 1, 2, 7]
    assert reports[-1]["message"] == "No BLE write callback registered"


class ScriptedInsole:
    """Plays the insole: decodes every request written to it and answers
    through feed_received_data from a thread of its own."""

    def __init__(self, sdk, pb, device, image):
        self.sdk, self.pb, self.device, self.image = sdk, pb, device, image
        self.requests = queue.Queue()
        self.seen = []
        self.verifying_reported = threading.Event()
        self.error = None
        self.thread = threading.Thread(target=self.run, daemon=True)

    def write(self, device, data):  # BLE write callback, on the update's thread
        assert device == self.device
        self.requests.put(self.pb.InsoleReq.FromString(unframe(data)))

    def answer(self, **ota):
        resp = self.pb.InsoleResp(msg_id=1, ota_resp=self.pb.OtaResp(**ota))
        data = frame(resp)
        # In two notifications, as a real link would deliver a longer frame.
        self.sdk.feed_received_data(self.device, data[:7])
        self.sdk.feed_received_data(self.device, data[7:])

    def run(self):
        pb, image = self.pb, self.image
        try:
            while True:
                req = self.requests.get(timeout=10)
                self.seen.append(req)
                assert req.timestamp_ms == 0
                if req.HasField("ota_data"):
                    chunk = req.ota_data
                    assert chunk.data == image[chunk.offset:chunk.offset + 512]
                    assert chunk.crc32 == zlib.crc32(chunk.data)
                    assert chunk.is_last == (chunk.offset + 512 >= len(image))
                    self.answer(state=pb.DOWNLOADING, offset=chunk.offset + len(chunk.data))
                elif req.ota_req.cmd == pb.OTA_CMD_START:
                    assert req.ota_req.file_size == len(image)
                    assert req.ota_req.file_crc32 == zlib.crc32(image)
                    self.answer(state=pb.DOWNLOADING, offset=0)
                elif req.ota_req.cmd == pb.OTA_CMD_VERIFY:
                    self.answer(state=pb.VERIFYING, offset=len(image))
                    assert self.verifying_reported.wait(5)
                    self.answer(state=pb.REBOOTING)
                elif req.ota_req.cmd == pb.OTA_CMD_REBOOT:
                    return
        except BaseException as e:  # reported by the test
            self.error = e


def test_update_against_scripted_insole(sdk, pb):
    device = unique_id("scripted")
    image = bytes(range(256)) * 5 + b"tail"  # 1284 bytes: three chunks
    insole = ScriptedInsole(sdk, pb, device, image)
    sdk.register_ble_write_callback(insole.write)
    progress = Progress(sdk)
    sdk.register_dfu_progress_callback(
        lambda d, p: (progress(d, p), p["message"] == "Verifying image on device..." and insole.verifying_reported.set()))
    insole.thread.start()
    sdk.start_dfu(device, bytearray(image))
    reports = progress.wait(10)
    insole.thread.join(5)
    assert insole.error is None, insole.error

    assert all(d == device for d, _ in progress.reports)
    assert all(list(p) == PROGRESS_KEYS for p in reports)
    assert [(p["state"], p["message"]) for p in reports] == [
        (0, "Loading firmware..."),
        (1, "Calculating CRC32 checksum..."),
        (2, "Initiating OTA handshake..."),
        (3, "Uploading offset: 0"),
        (3, "Uploading offset: 512"),
        (3, "Uploading offset: 1024"),
        (4, "Firmware upload complete. Verifying..."),
        (4, "Verifying image on device..."),
        (5, "Verification success. Rebooting device..."),
        (6, "Upgrade completed successfully!"),
    ]
    assert [p["percentage"] for p in reports[3:6]] == [512 / len(image) * 100, 1024 / len(image) * 100, 100.0]
    assert all(type(p[k]) is float for p in reports for k in ("percentage", "speed_kbps", "eta_secs"))
    assert reports[3]["speed_kbps"] > 0 and reports[5]["eta_secs"] == 0.0

    chunks = [r.ota_data for r in insole.seen if r.HasField("ota_data")]
    assert [(c.offset, c.seq, c.is_last) for c in chunks] == [(0, 1, False), (512, 2, False), (1024, 3, True)]
    ids = [r.msg_id for r in insole.seen]
    assert ids == list(range(ids[0], ids[0] + len(ids))) and len(ids) == 6


def test_mock_update_runs_to_completion(sdk, pb):
    device = unique_id("mockdfu")
    writes = []
    sdk.register_ble_write_callback(lambda d, data: writes.append(pb.InsoleReq.FromString(unframe(data))))
    progress = Progress(sdk)
    sdk.start_mock_dfu(device)
    sdk.start_dfu(device, b"\xa5" * 10240)
    reports = progress.wait(15)
    assert reports[-1] == {"state": 6, "percentage": 100.0, "speed_kbps": 0.0, "eta_secs": 0.0,
                           "message": "Upgrade completed successfully!"}
    assert [c.ota_data.offset for c in writes if c.HasField("ota_data")] == list(range(0, 10240, 512))
    assert [w.ota_req.cmd for w in writes if w.HasField("ota_req")] == [1, 2, 3]
