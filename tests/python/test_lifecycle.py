"""Process-level behaviour, each in a child interpreter: exiting while SDK
threads still call into Python, and no reference or memory leaks over many
calls of every function (error paths included)."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import frame

MODULE_DIR = os.path.dirname(__import__("trova_insole_sdk").__file__)
TESTS_DIR = os.path.dirname(__file__)


def run_child(code, *args, timeout=120, stdout=subprocess.PIPE):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, TESTS_DIR]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], stdout=stdout,
                          stderr=subprocess.PIPE, text=True, timeout=timeout, env=env)


EXIT_WHILE_RUNNING = """
    import ctypes, sys, threading, time
    import trova_insole_sdk as sdk
    from conftest import frame

    lib = ctypes.CDLL(sdk.__file__)
    lib.tvis_initialize_logging(5)
    calls = []

    def slow(*args):
        calls.append(args[0])
        time.sleep(0.002)

    sdk.register_ble_write_callback(slow)
    sdk.register_dfu_progress_callback(slow)
    sdk.register_device_event_callback(slow)
    sdk.start_dfu("silent", b"\\x01" * 4096)     # no insole answers: waits
    sdk.start_mock_dfu("mock")                   # an update that keeps calling back
    sdk.start_dfu("mock", b"\\x02" * 10240)
    lib.tvis_start_mock_stream(b"left")
    lib.tvis_start_mock_stream(b"right")
    event = frame(bytes.fromhex("fa010508d2091006"))

    def feeder():  # a daemon thread in the middle of the receive path at exit
        while True:
            sdk.feed_received_data("events", event)

    threading.Thread(target=feeder, daemon=True).start()
    time.sleep({delay})
    print("update callbacks before exit:", calls.count("mock"), file=sys.stderr)
"""


@pytest.mark.parametrize("delay", [0.0, 0.001, 0.01, 0.55, 2.6])
def test_exit_while_sdk_threads_run(delay):
    child = run_child(EXIT_WHILE_RUNNING.replace("{delay}", str(delay)), timeout=60)
    assert child.returncode == 0, child.stderr
    lines = child.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("update callbacks before exit:"), child.stderr
    if delay > 2:
        assert int(lines[0].split(":")[1]) >= 4  # past the handshake when the process ended


LEAK_CHECK = """
    import ctypes, json, os, sys
    import trova_insole_sdk as sdk
    from conftest import frame

    ctypes.CDLL(sdk.__file__).tvis_initialize_logging(5)  # stdout goes to /dev/null
    PAGE = os.sysconf("SC_PAGE_SIZE")

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * PAGE

    event = frame(bytes.fromhex("fa010508d2091006"))     # a device event
    good = frame(bytes.fromhex("0801")) + frame(bytes.fromhex("f2010410011802"))
    bad = frame(bytes.fromhex("0a00"))                     # does not decode
    invalid = frame(bytes.fromhex("fa0102100c"))            # event type 12
    resistances = [10000] * 48
    adv = {0x5254: b"\\x03", 0x5202: bytearray(b"\\x01"), 7: [1, 2]}
    bad_adv = {0x5254: "03"}
    firmware = bytearray(16)
    seen = []

    def on_event(device, ev):
        seen.append(ev["event_type"])
        del seen[:]

    def raising(device, ev):
        raise RuntimeError("callback failed")

    def expect(exc, fn, *args, **kwargs):
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(fn)

    def one_round(parser):
        sdk.build_device_info_request(1)
        sdk.build_battery_request(2, 3)
        sdk.build_runtime_info_request(msg_id=3)
        sdk.build_sensor_config_request(4)
        sdk.build_device_status_request(5)
        sdk.build_enable_sensor_stream_request(6, 50)
        sdk.build_sensor_stream_config_request(7, imu_mode="Both")
        sdk.build_set_sensor_config_request(8, 100, 3)
        sdk.build_start_sensor_stream_request(9)
        sdk.build_stop_sensor_stream_request(10)
        sdk.build_get_factory_config_request(11)
        sdk.build_set_factory_config_request(12, "SN✓", 2, "model", "mac", "key")
        expect(OverflowError, sdk.build_battery_request, -1)
        expect(TypeError, sdk.build_battery_request, "x")
        expect(ValueError, sdk.build_sensor_stream_config_request, 1, shear_mode="Fast")
        expect(TypeError, sdk.build_sensor_stream_config_request, 1, start_stream=1)
        expect(ValueError, sdk.build_set_factory_config_request, 1, "x" * 17000, 0, "", "", "")
        sdk.calibrate_pressure(resistances, 2)
        sdk.derive_shear(resistances, 3)
        expect(ValueError, sdk.calibrate_pressure, resistances, 9)
        expect(ValueError, sdk.derive_shear, resistances[:47], 2)
        expect(OverflowError, sdk.calibrate_pressure, [2**32], 2)
        sdk.parse_foot_side(adv)
        expect(TypeError, sdk.parse_foot_side, bad_adv)
        expect(OverflowError, sdk.parse_foot_side, {70000: b"\\x01"})
        sdk.register_device_event_callback(on_event)
        sdk.feed_received_data("leak", event)
        sdk.feed_received_data("leak", list(event[:3]))
        sdk.feed_received_data("leak", bytearray(event[3:]))
        sdk.register_device_event_callback(raising)
        sdk.feed_received_data("leak", event)
        sdk.register_device_event_callback(5)
        sdk.feed_received_data("leak", event)
        expect(TypeError, sdk.feed_received_data, "leak", "text")
        expect(ValueError, sdk.feed_received_data, "le\\0ak", event)
        expect(ValueError, sdk.start_dfu, "leak", b"")
        expect(TypeError, sdk.start_dfu, "leak", 5)
        expect(ValueError, sdk.start_mock_dfu, "a\\0")
        sdk.abort_dfu("leak")
        sdk.register_ble_write_callback(on_event)
        sdk.register_dfu_progress_callback(on_event)
        sdk.register_ble_write_callback(None)
        sdk.register_dfu_progress_callback(None)
        parser.push(good)
        parser.push(good[:9])
        parser.push(good[9:])
        expect(ValueError, parser.push, good + bad + good)
        expect(ValueError, parser.push, invalid)
        parser.push(b"")
        parser.stats()
        parser.buffered_len()
        expect(TypeError, parser.push, firmware)
        parser.reset_stats()
        sdk.StreamParser(True, False).push(good)
        expect(TypeError, sdk.StreamParser, 1)

    watched = [event, resistances, adv, bad_adv, on_event, raising, firmware, good, bad]
    parser = sdk.StreamParser()
    iterations = int(sys.argv[1])
    for _ in range(max(iterations // 10, 1000)):
        one_round(parser)
    refs = [sys.getrefcount(o) for o in watched]
    before = rss()
    for _ in range(iterations):
        one_round(parser)
    after = rss()
    print(json.dumps({"before": before, "after": after,
                      "refs": refs, "refs_after": [sys.getrefcount(o) for o in watched]}), file=sys.stderr)
"""


@pytest.mark.slow
def test_no_leaks_over_many_calls():
    iterations = int(os.environ.get("TVIS_LEAK_ITERATIONS", "100000"))
    child = run_child(LEAK_CHECK, str(iterations), timeout=600, stdout=subprocess.DEVNULL)
    assert child.returncode == 0, child.stderr
    result = json.loads(child.stderr.strip().splitlines()[-1])
    assert result["refs_after"] == result["refs"]
    grown = result["after"] - result["before"]
    assert grown < 1 << 20, f"RSS grew by {grown} bytes over {iterations} rounds"


def test_frame_helper_matches_the_module(sdk):
    """The leak check's hand-written payloads decode as intended."""
    parser = sdk.StreamParser()
    assert parser.push(frame(bytes.fromhex("fa010508d2091006"))) == [
        '{"deviceEvent":{"timestampMs":1234,"type":"EVENT_WEAR_ON"}}']
    assert parser.push(frame(bytes.fromhex("f2010410011802"))) == ['{"sensorData":{"seqNum":2,"timestampMs":1}}']
