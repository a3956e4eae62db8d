"""Receive path, callback slots and firmware updates: argument conversion, foreign threads, error containment."""

import queue
import threading
import time
import zlib

import pytest

from conftest import frame, unframe, unique_id

pytestmark = pytest.mark.usefixtures("clean_callbacks")


def event_frame(pb, ts=1234, kind=6):
    return frame(pb.InsoleResp(device_event=pb.DeviceEvent(timestamp_ms=ts, type=kind)))


@pytest.mark.parametrize("fn, name", [("feed_received_data", "data"), ("start_dfu", "firmware")])
@pytest.mark.parametrize("value, error, text", [
    ("\x01\x02", TypeError, "Can't extract `str` to `Vec`"),
    (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
    (None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    ([1, "2"], TypeError, "'str' object cannot be interpreted as an integer"),
    ([1, 256], OverflowError, "out of range integral type conversion attempted"), ([1, -1], OverflowError, None)])
def test_byte_argument_refusals(sdk, fn, name, value, error, text):
    with pytest.raises(error) as err:
        getattr(sdk, fn)(unique_id("bytes"), value)
    assert text is None or str(err.value) == (f"argument '{name}': " if error is TypeError else "") + text


NUL = "nul byte found in provided data at position: 1"


@pytest.mark.parametrize("call, error, text", [
    (lambda m: m.abort_dfu("a\0b"), ValueError, NUL),
    (lambda m: m.feed_received_data("a\0b", b"\x00"), ValueError, NUL),
    (lambda m: m.start_dfu("a\0b", b"\x01"), ValueError, NUL), (lambda m: m.start_mock_dfu("a\0b"), ValueError, NUL),
    (lambda m: m.start_dfu("dev", b""), ValueError, "firmware must not be empty"),
    (lambda m: m.start_dfu("dev", []), ValueError, "firmware must not be empty"),
    (lambda m: m.start_dfu(b"dev", b"\x01"), TypeError, "argument 'device_id': 'bytes' object cannot be converted"),
    (lambda m: m.feed_received_data(None, b""), TypeError, "argument 'device_id': 'NoneType' object cannot be"),
])
def test_device_id_and_update_refusals(sdk, call, error, text):
    with pytest.raises(error) as err:
        call(sdk)
    assert str(err.value).startswith(text) and (error is TypeError or str(err.value) == text)


def test_device_events_in_order_and_reregistration_from_inside(sdk, pb):
    calls, device = [], unique_id("ev")
    sdk.register_device_event_callback(lambda *args, **kwargs: calls.append((args, kwargs)))
    data = event_frame(pb, 0xFFFFFFFF, 1) + event_frame(pb, 0, 9)
    for part, convert in [(data[:5], bytes), (data[5:20], bytearray), (data[20:30], list), (data[30:], tuple)]:
        assert sdk.feed_received_data(device, convert(part)) is None  # any byte sequence, reassembled across calls
    assert calls == [((device, {"timestamp_ms": 0xFFFFFFFF, "event_type": 1}), {}),
                     ((device, {"timestamp_ms": 0, "event_type": 9}), {})]
    assert list(calls[0][0][1]) == ["timestamp_ms", "event_type"]

    def once(device, ev):  # clearing its own slot from inside a call must not deadlock
        calls.append(ev["event_type"])
        sdk.register_device_event_callback(None)

    sdk.register_device_event_callback(once)
    sdk.feed_received_data(device, event_frame(pb, 1, 2) + event_frame(pb, 1, 3))
    sdk.feed_received_data(device, event_frame(pb))
    assert calls[2:] == [2]


@pytest.mark.usefixtures("logging_on")
def test_callback_errors_are_logged_and_swallowed(sdk, pb, capfd):
    calls = []

    def boom(device, ev):
        calls.append(ev)
        raise RuntimeError("boom\nsecond line")

    for callback, logged in [(5, "TypeError: 'int' object is not callable"), (boom, "RuntimeError: boom")]:
        capfd.readouterr()
        sdk.register_device_event_callback(callback)
        sdk.feed_received_data(unique_id("err"), event_frame(pb, 1) + event_frame(pb, 2))
        line = f"[Rust][ERROR][python] Error calling Python device event callback: {logged}\n"
        assert capfd.readouterr().out.count(line) == 2
    assert [ev["timestamp_ms"] for ev in calls] == [1, 2]


@pytest.mark.usefixtures("logging_on")
def test_update_callback_errors_do_not_stop_the_update(sdk, capfd):
    """A non-callable write callback and a raising progress callback: the update goes on; abort ends it."""
    device, states = unique_id("dfuerr"), queue.Queue()

    def progress(dev, p):
        states.put(p["state"])
        raise ValueError(f"state {p['state']}")

    sdk.register_ble_write_callback(b"not callable")
    sdk.register_dfu_progress_callback(progress)
    capfd.readouterr()
    sdk.start_dfu(device, b"\x00" * 100)
    assert [states.get(timeout=5) for _ in range(3)] == [0, 1, 2]
    time.sleep(0.2)
    sdk.abort_dfu(device)
    assert states.get(timeout=5) == 8
    out, last = "", "Error calling Python DFU progress callback: ValueError: state 8\n"
    for _ in range(500):  # the last report's error line follows the raise
        out += capfd.readouterr().out
        if last in out:
            break
        time.sleep(0.01)
    assert "Error calling Python BLE write callback: TypeError: 'bytes' object is not callable\n" in out
    assert all(f"[Rust][ERROR][python] Error calling Python DFU progress callback: ValueError: state {s}\n" in out
               for s in (0, 1, 2, 8)) and states.empty()


def test_update_against_scripted_insole(sdk, pb):
    """A thread plays the insole: it decodes each request written to it and
    answers through feed_received_data, each answer in two notifications."""
    device, image = unique_id("scripted"), bytes(range(256)) * 2 + b"tail"  # 516 bytes: two chunks
    requests, progress, seen, done = queue.Queue(), [], [], threading.Event()

    def insole():
        while (req := requests.get(timeout=10)).ota_req.cmd != pb.OTA_CMD_REBOOT:
            seen.append(req)
            if req.HasField("ota_data"):  # the firmware arrives as given
                c = req.ota_data
                assert (c.data, c.crc32) == (image[c.offset:c.offset + 512], zlib.crc32(c.data))
                ota = pb.OtaResp(state=pb.DOWNLOADING, offset=c.offset + len(c.data))
            elif req.ota_req.cmd == pb.OTA_CMD_START:
                assert (req.ota_req.file_size, req.ota_req.file_crc32) == (len(image), zlib.crc32(image))
                ota = pb.OtaResp(state=pb.DOWNLOADING, offset=0)
            else:
                ota = pb.OtaResp(state=pb.REBOOTING)
            data = frame(pb.InsoleResp(msg_id=1, ota_resp=ota))
            sdk.feed_received_data(device, data[:7])
            sdk.feed_received_data(device, data[7:])

    def on_progress(d, p):  # both callbacks run on the update's thread
        progress.append((d, p))
        if p["state"] >= 6:
            done.set()

    sdk.register_ble_write_callback(lambda d, data: requests.put(pb.InsoleReq.FromString(unframe(data))))
    sdk.register_dfu_progress_callback(on_progress)
    threading.Thread(target=insole, daemon=True).start()
    sdk.start_dfu(device, bytearray(image))
    assert done.wait(10), progress
    assert all(d == device and list(p) == ["state", "percentage", "speed_kbps", "eta_secs", "message"]
               and all(type(p[k]) is float for k in ("percentage", "speed_kbps", "eta_secs")) for d, p in progress)
    assert [(p["state"], p["message"]) for _, p in progress] == [
        (0, "Loading firmware..."), (1, "Calculating CRC32 checksum..."), (2, "Initiating OTA handshake..."),
        (3, "Uploading offset: 0"), (3, "Uploading offset: 512"), (4, "Firmware upload complete. Verifying..."),
        (5, "Verification success. Rebooting device..."), (6, "Upgrade completed successfully!")]
    assert [r.ota_data.offset for r in seen if r.HasField("ota_data")] == [0, 512] and len(seen) == 4
