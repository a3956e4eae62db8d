"""In child interpreters: exit while SDK threads call into Python, and no leaks over many calls of everything."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import frame


def run_child(pb, code, *args):
    """Runs `code` with FRAMES standing for a device event, an undecodable and an invalid frame."""
    frames = {"event": frame(pb.InsoleResp(device_event=pb.DeviceEvent(timestamp_ms=1234, type=pb.EVENT_WEAR_ON))),
              "bad": frame(b"\x0a\x00"), "invalid": frame(b"\xfa\x01\x02\x10\x0c")}
    env = dict(os.environ, PYTHONPATH=os.path.dirname(__import__("trova_insole_sdk").__file__))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code).replace("FRAMES", repr(frames)), *args],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, timeout=300, env=env)


EXIT_WHILE_RUNNING = """
    import ctypes, sys, threading, time
    import trova_insole_sdk as sdk
    lib, calls, event = ctypes.CDLL(sdk.__file__), [], FRAMES["event"]
    lib.tvis_initialize_logging(5)

    def slow(*args):
        calls.append(args[0])
        time.sleep(0.002)

    for register in (sdk.register_ble_write_callback, sdk.register_dfu_progress_callback,
                     sdk.register_device_event_callback):
        register(slow)
    sdk.start_dfu("silent", b"\\x01" * 4096)  # no insole answers: waits
    sdk.start_mock_dfu("mock")  # an update that keeps calling back
    sdk.start_dfu("mock", b"\\x02" * 10240)
    lib.tvis_start_mock_stream(b"left"), lib.tvis_start_mock_stream(b"right")
    def feed_forever():  # a daemon thread in the middle of the receive path at exit
        while True:
            sdk.feed_received_data("ev", event)

    threading.Thread(target=feed_forever, daemon=True).start()
    time.sleep(float(sys.argv[1]))
    print("update callbacks before exit:", calls.count("mock"), file=sys.stderr)
"""


@pytest.mark.parametrize("delay", [0.0, 0.001, 0.01, 0.55, 1.6])
def test_exit_while_sdk_threads_run(pb, delay):
    child = run_child(pb, EXIT_WHILE_RUNNING, str(delay))
    assert child.returncode == 0, child.stderr
    (line,) = child.stderr.splitlines()
    assert line.startswith("update callbacks before exit:")
    assert delay < 1 or int(line.split(":")[1]) >= 4  # past the handshake when the process ended


LEAK_CHECK = """
    import ctypes, json, os, sys
    import trova_insole_sdk as sdk
    ctypes.CDLL(sdk.__file__).tvis_initialize_logging(5)  # stdout goes to /dev/null
    F, ohms, adv, seen = FRAMES, [10000] * 48, {0x5254: b"\\x03", 0x5202: bytearray(b"\\x01"), 7: [1, 2]}, []
    event = F["event"]
    stream = [event * 2, event + F["bad"] + F["invalid"] + event[:9], b"", b"", event[9:]]  # the last three: held texts

    def on_event(device, ev):
        seen.append(ev)
        seen.clear()

    def raising(device, ev):
        raise RuntimeError("callback failed")

    def one_round(parser):  # each call in turn, the failing ones included (they fail as the other tests expect)
        for fn, *args in [  # one success and the failures of each kind of argument
            (sdk.build_battery_request, 2, 3), (sdk.build_battery_request, -1), (sdk.build_battery_request, "x"),
            (sdk.build_set_factory_config_request, 1, "S✓", 2, "m", "a", "k"),
            (sdk.build_set_factory_config_request, 1, "x" * 17000, 0, "", "", ""),
            (sdk.build_sensor_stream_config_request, 7, 2, 50, "x"), (sdk.derive_shear, ohms, 3),
            (sdk.calibrate_pressure, ohms, 2), (sdk.calibrate_pressure, [2**32], 2), (sdk.parse_foot_side, adv),
            (sdk.parse_foot_side, {0x5254: "03"}), (sdk.feed_received_data, "leak", "text"),
            (sdk.feed_received_data, "le\\0ak", event), (sdk.start_dfu, "leak", b""), (sdk.abort_dfu, "leak"),
            (sdk.StreamParser, 1), (lambda: sdk.StreamParser(device_id="le\\0ak"),),
            (lambda: sdk.StreamParser(device_id=5),), (lambda: sdk.StreamParser(device_id="leak"),),
            (parser.push, bytearray(event)), *[(parser.push, data) for data in stream],
            (parser.stats,), (parser.reset_stats,),
        ]:
            try:
                fn(*args)
            except (TypeError, ValueError, OverflowError):
                pass
        for callback in (on_event, raising, 5):
            sdk.register_device_event_callback(callback)
            for data in (event, list(event[:3]), bytearray(event[3:])):
                sdk.feed_received_data("leak", data)
            for data in stream:  # a parser that hands its events on
                try:
                    mine.push(data)
                except ValueError:
                    pass
        for register in (sdk.register_ble_write_callback, sdk.register_dfu_progress_callback):
            register(on_event), register(None)

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    watched = [event, ohms, adv, on_event, raising, *stream[:2]]
    parser, mine, iterations = sdk.StreamParser(), sdk.StreamParser(device_id="leak"), int(sys.argv[1])
    for _ in range(max(iterations // 10, 1000)):
        one_round(parser)
    refs, before = [sys.getrefcount(o) for o in watched], rss()
    for _ in range(iterations):
        one_round(parser)
    after = [sys.getrefcount(o) for o in watched]
    print(json.dumps({"grown": rss() - before, "refs": refs, "after": after}), file=sys.stderr)
"""


def test_no_leaks_over_many_calls(pb):
    iterations = int(os.environ.get("TVIS_LEAK_ITERATIONS", "20000"))
    child = run_child(pb, LEAK_CHECK, str(iterations))
    assert child.returncode == 0, child.stderr
    result = json.loads(child.stderr.splitlines()[-1])
    assert result["after"] == result["refs"]
    assert result["grown"] < 1 << 20, f"RSS grew by {result['grown']} bytes over {iterations} rounds"
