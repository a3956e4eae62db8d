"""Receive path, callback slots and firmware updates: argument conversion, foreign threads, error containment."""

import queue
import threading
import time

import pytest

from conftest import frame, unframe, unique_id

pytestmark = pytest.mark.usefixtures("clean_callbacks")


def event_frame(pb, ts=1234, kind=6):
    return frame(pb.InsoleResp(device_event=pb.DeviceEvent(timestamp_ms=ts, type=kind)))


@pytest.mark.parametrize("fn, name", [("feed_received_data", "data"), ("start_dfu", "firmware")])
@pytest.mark.parametrize("value, error, text", [
    ("\x01\x02", TypeError, "Can't extract `str` to `Vec`"),
    (None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    ([1, "2"], TypeError, "'str' object cannot be interpreted as an integer"),
    ([1, 256], OverflowError, "out of range integral type conversion attempted")])
def test_byte_argument_refusals(sdk, fn, name, value, error, text):
    with pytest.raises(error) as err:
        getattr(sdk, fn)(unique_id("bytes"), value)
    assert str(err.value) == (f"argument '{name}': " if error is TypeError else "") + text


NUL = "nul byte found in provided data at position: 1"


@pytest.mark.parametrize("call, error, text", [
    (lambda m: m.abort_dfu("a\0b"), ValueError, NUL),
    (lambda m: m.feed_received_data("a\0b", b"\x00"), ValueError, NUL),
    (lambda m: m.start_dfu("a\0b", b"\x01"), ValueError, NUL),
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

    def once(device, ev):  # clearing its own slot from inside a call must not deadlock
        calls.append(ev["event_type"])
        sdk.register_device_event_callback(None)

    sdk.register_device_event_callback(once)
    sdk.feed_received_data(device, event_frame(pb, 1, 2) + event_frame(pb, 1, 3))
    sdk.feed_received_data(device, event_frame(pb))
    assert calls[2:] == [2]


@pytest.mark.usefixtures("logging_on")
def test_callback_errors_are_logged_and_swallowed(sdk, pb, capfd):
    calls = []  # a callback that is not callable: see the update test below

    def boom(device, ev):
        calls.append(ev["timestamp_ms"])
        raise RuntimeError("boom\nsecond line")

    sdk.register_device_event_callback(boom)
    capfd.readouterr()
    sdk.feed_received_data(unique_id("err"), event_frame(pb, 1) + event_frame(pb, 2))
    line = "[Rust][ERROR][python] Error calling Python device event callback: RuntimeError: boom\nsecond line\n"
    assert capfd.readouterr().out.count(line) == 2 and calls == [1, 2]


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


@pytest.mark.parametrize("road", ["feed_received_data", "StreamParser"])
def test_update_against_scripted_insole(sdk, pb, road):
    """A thread plays the insole: it decodes each request written to it and
    answers through feed_received_data or the insole's own StreamParser, each
    answer in two notifications."""
    device, image = unique_id("scripted"), bytes(range(256)) * 2 + b"tail"  # 516 bytes: two chunks
    requests, progress, chunks, done = queue.Queue(), [], [], threading.Event()
    if road == "StreamParser":
        parser, texts = sdk.StreamParser(device_id=device), []
        receive = lambda _device, data: texts.extend(parser.push(data))  # noqa: E731
    else:
        receive = sdk.feed_received_data

    def insole():
        while (req := requests.get(timeout=10)).ota_req.cmd != pb.OTA_CMD_REBOOT:
            if req.HasField("ota_data"):
                chunks.append(req.ota_data.data)
                ota = pb.OtaResp(state=pb.DOWNLOADING, offset=req.ota_data.offset + len(req.ota_data.data))
            else:
                ota = pb.OtaResp(state=pb.DOWNLOADING if req.ota_req.cmd == pb.OTA_CMD_START else pb.REBOOTING)
            data = frame(pb.InsoleResp(msg_id=1, ota_resp=ota))
            receive(device, data[:7])
            receive(device, data[7:])

    def on_progress(d, p):  # both callbacks run on the update's thread
        progress.append((d, p))
        if p["state"] >= 6:
            done.set()

    sdk.register_ble_write_callback(lambda d, data: requests.put(pb.InsoleReq.FromString(unframe(data))))
    sdk.register_dfu_progress_callback(on_progress)
    threading.Thread(target=insole, daemon=True).start()
    sdk.start_dfu(device, bytearray(image))
    assert done.wait(10), progress
    assert b"".join(chunks) == image  # the firmware arrives as given
    assert all(d == device and list(p) == ["state", "percentage", "speed_kbps", "eta_secs", "message"]
               and all(type(p[k]) is float for k in ("percentage", "speed_kbps", "eta_secs")) for d, p in progress)
    assert [p["state"] for _, p in progress] == [0, 1, 2, 3, 3, 4, 5, 6]
    assert (progress[-1][1]["message"], progress[-1][1]["percentage"]) == ("Upgrade completed successfully!", 100.0)
    if road == "StreamParser":  # the answers are messages of the stream as well
        assert texts[-1] == '{"msgId":1,"otaResp":{"state":"REBOOTING"}}' and len(texts) == 4


# --- a StreamParser made for one insole ----------------------------------------

def sensor_frame(pb, seq):
    return frame(pb.InsoleResp(sensor_data=pb.SensorData(seq_num=seq)))


def test_insole_parser_hands_events_on_and_renders_as_a_plain_one(sdk, pb):
    calls, device = [], unique_id("one")
    sdk.register_device_event_callback(lambda *args: calls.append(args))
    plain, mine = sdk.StreamParser(), sdk.StreamParser(device_id=device)
    # A bad CRC, two events in one frame each, and sensor data around them.
    data = (sensor_frame(pb, 1) + event_frame(pb, 5, 6) + frame(b"\x08\x07", bad_crc=True) + sensor_frame(pb, 3)
            + event_frame(pb, 9, 7))
    for start in range(0, len(data), 7):
        part = data[start:start + 7]
        assert mine.push(part) == plain.push(part)
    assert mine.stats() == plain.stats()
    assert calls == [(device, {"timestamp_ms": 5, "event_type": 6}), (device, {"timestamp_ms": 9, "event_type": 7})]
    for parser in (sdk.StreamParser(strict_crc=True, device_id=None), plain):  # no id: nothing is handed on
        parser.reset()
        parser.push(data)
    assert len(calls) == 2


def test_insole_parser_hands_on_what_decoded_before_a_failing_push(sdk, pb):
    calls, device = [], unique_id("fail")
    sdk.register_device_event_callback(lambda *args: calls.append(args[1]["event_type"]))
    parser = sdk.StreamParser(device_id=device)
    with pytest.raises(ValueError, match="^failed to decode"):
        parser.push(event_frame(pb, 1, 1) + frame(b"\x0a\x00") + event_frame(pb, 1, 2))
    assert calls == [1]  # the events behind the bad frame wait for the next push, as their texts do
    with pytest.raises(ValueError, match="^Invalid variant 12$"):
        parser.push(event_frame(pb, 1, 12))  # the SDK passes types it has no name for; JSON has none either
    assert calls == [1, 2, 12] and len(parser.push(b"")) == 2  # events 1 and 2: held back by both failures


@pytest.mark.usefixtures("logging_on")
def test_insole_parser_callbacks_may_push_reset_or_raise(sdk, pb, capfd):
    parser, seen = sdk.StreamParser(device_id=unique_id("re")), []

    def on_event(device, ev):
        seen.append(ev["event_type"])
        if ev["event_type"] == 1:
            seen.append(parser.push(event_frame(pb, 2, 2) + frame(b"\x08\x05")))  # from inside: handled at once
            parser.reset()
        raise RuntimeError(f"event {ev['event_type']}")

    sdk.register_device_event_callback(on_event)
    capfd.readouterr()
    texts = parser.push(event_frame(pb, 1, 1) + event_frame(pb, 3, 3) + frame(b"\x08\x09"))
    assert texts == ['{"deviceEvent":{"timestampMs":1,"type":"EVENT_MANUAL_POWER_OFF"}}',
                     '{"deviceEvent":{"timestampMs":3,"type":"EVENT_TIMEOUT_POWER_OFF"}}', '{"msgId":9}']
    assert seen == [1, 2, ['{"deviceEvent":{"timestampMs":2,"type":"EVENT_LOW_BATTERY_POWER_OFF"}}', '{"msgId":5}'],
                    3]
    assert capfd.readouterr().out.count("Error calling Python device event callback: RuntimeError: event") == 3
    assert parser.stats()["frames_received"] == 0  # the reset inside came after every frame of both pushes


@pytest.mark.usefixtures("logging_on")
def test_one_road_logs_one_warning_per_gap(sdk, pb, capfd):
    device = unique_id("gap")
    parser = sdk.StreamParser(device_id=device)
    capfd.readouterr()
    parser.push(b"".join(sensor_frame(pb, s) for s in (7, 8, 12)))
    lines = [line for line in capfd.readouterr().out.splitlines() if "SeqNum" in line]
    assert lines == ["[Rust][WARN][python] [trova_insole_sdk] Python Insole SeqNum not continuous: 8 -> 12 (diff 4)"]


@pytest.mark.parametrize("kwargs, error, text", [
    ({"device_id": 5}, TypeError, "argument 'device_id': 'int' object cannot be converted"),
    ({"device_id": b"dev"}, TypeError, "argument 'device_id': 'bytes' object cannot be converted"),
    ({"device_id": "a\0b"}, ValueError, NUL),
])
def test_insole_parser_refusals(sdk, kwargs, error, text):
    with pytest.raises(error) as err:
        sdk.StreamParser(**kwargs)
    assert str(err.value).startswith(text)
    with pytest.raises(TypeError):  # by keyword only: a third positional argument is refused
        sdk.StreamParser(False, True, "dev")
