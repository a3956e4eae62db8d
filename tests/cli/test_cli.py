"""The insole command-line tool, run as a user runs it (INSOLE_BIN, default the
release build). Standard input is closed and output piped unless on a pty."""

import json
import os
import pty
import select
import signal
import pathlib
import re
import struct
import subprocess
import sys
import time

import pytest

TESTS = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TESTS))
from reference_frames import frame  # noqa: E402

BIN = os.environ.get("INSOLE_BIN", str(TESTS.parent / "build" / "release" / "tools" / "insole"))
GOLDEN = str(TESTS / "cli" / "golden" / "left_first5.jsonl")


def insole(*args, stdin=b"", env=None):
    return subprocess.run([BIN, *map(str, args)], input=stdin, capture_output=True, env=dict(os.environ, **(env or {})),
                          timeout=60, check=False)


def split_frames(data):
    out = []
    while data:
        assert data[:6] == b"TRVA\x02\x21"
        size = 13 + struct.unpack_from("<H", data, 6)[0]
        out, data = out + [data[:size]], data[size:]
    return out


def stats_of(result):  # the statistics object, the last line on stderr, with its key order
    return json.loads(result.stderr.decode().splitlines()[-1], object_pairs_hook=lambda pairs: pairs)


def seqs(result):
    return [json.loads(line)["sensorData"]["seqNum"] for line in result.stdout.decode().splitlines()]


@pytest.fixture(scope="module")
def capture(tmp_path_factory):
    path = tmp_path_factory.mktemp("cap") / "left.bin"
    assert insole("record", path, "--seconds", "0.1").returncode == 0
    return path


def test_decode_matches_golden_from_file_stdin_and_hex(capture):
    result = insole("decode", capture)
    assert result.returncode == 0 and result.stdout.decode() == open(GOLDEN, encoding="utf-8").read()
    assert stats_of(result) == [
        ("frames_received", 5), ("crc_errors", 0), ("protobuf_errors", 0), ("dropped_bytes", 0), ("buffer_overflows", 0),
        ("packets_lost", 0), ("sequence_discontinuities", 0), ("last_seq", 5), ("buffered_bytes", 0)]
    raw, hex_text = capture.read_bytes(), capture.read_bytes().hex().upper()
    spaced = "\n".join(raw[i:i + 32].hex(" ").upper() for i in range(0, len(raw), 32))
    assert insole("decode", "-", stdin=raw).stdout == result.stdout
    assert insole("decode", "--hex", stdin=spaced.encode()).stdout == result.stdout
    for bad, why in [(hex_text[:10] + "zz", "not hexadecimal text: 'z'"), (hex_text + "A", "odd number")]:
        result = insole("decode", "--hex", stdin=bad.encode())
        assert result.returncode == 1 and why in result.stderr.decode() and stats_of(result)[0][0] == "frames_received"


def test_decode_counts_damage_and_goes_on(capture):
    frames = split_frames(capture.read_bytes())
    bad_crc = frames[1][:-1] + bytes([frames[1][-1] ^ 0xFF])
    undecodable = frame(b"\x52\x05\x08")  # device_info cut short inside its length
    damaged = b"\x00\xffTR" + frames[0] + bad_crc + frames[2] + undecodable + frames[4]  # frame 4 lost
    result = insole("decode", "-", stdin=damaged)
    (error, _) = result.stderr.decode().splitlines()
    assert result.returncode == 0 and seqs(result) == [1, 2, 3, 5] and error.startswith("insole: frame 4: ")
    assert [dict(stats_of(result))[k] for k in ("crc_errors", "protobuf_errors", "dropped_bytes", "packets_lost")] == [
        1, 1, 4, 1]
    logged = insole("decode", "-", stdin=damaged, env={"INSOLE_LOG": "trace"})  # the SDK's log: stderr, never data
    assert "[Rust][WARN]" in logged.stderr.decode() and logged.stdout == result.stdout
    strict = insole("decode", "--strict-crc", "-", stdin=damaged + frames[0][:20])  # else a bad CRC is only counted
    assert seqs(strict) == [1, 3, 5]
    assert [dict(stats_of(strict))[k] for k in ("frames_received", "crc_errors", "buffered_bytes")] == [4, 1, 20]
    huge = frame(bytes(16384))  # never fits the buffer: one overflow takes it, and only it
    result = insole("decode", "-", stdin=frames[0] + huge + frames[1] + frames[2])
    assert seqs(result) == [1, 2, 3] and [dict(stats_of(result))[k] for k in ("buffer_overflows", "dropped_bytes")] == [
        1, 0]
    raw_only = frame(bytes.fromhex("f2010818075a0412020506"))  # sensor data with raw_pressure [5, 6] only, seq 7
    for flag, pressure in [((), {"pressure": [5, 6], "rawPressure": [5, 6]}),
                           (("--no-legacy-pressure",), {"rawPressure": [5, 6]})]:
        assert json.loads(insole("decode", *flag, "-", stdin=raw_only).stdout)["sensorData"]["pressureData"] == pressure


def test_decode_large_capture_in_constant_memory(tmp_path):
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0")

    def peak_kib(seconds):
        path = tmp_path / f"{seconds}.bin"
        assert insole("record", path, "--seconds", seconds).returncode == 0
        proc = subprocess.Popen([BIN, "decode", path], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        err, (_, status, usage) = proc.stderr.read(), os.wait4(proc.pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        return usage.ru_maxrss, json.loads(err)

    base, _ = peak_kib(1)
    peak, stats = peak_kib(2000)  # 100,000 frames, about 17 MB
    assert stats["frames_received"] == 100_000 and stats["last_seq"] == 100_000 and peak - base < 8 * 1024


def test_stream_json_is_the_recorded_stream(tmp_path):
    insole("record", tmp_path / "right.bin", "--device", "my-RIGHT-unit", "--seconds", "0.2")
    streamed = insole("stream", "--json", "--device", "my-RIGHT-unit", "--seconds", "0.2")
    assert streamed.returncode == 0 and streamed.stdout == insole("decode", tmp_path / "right.bin").stdout
    first = json.loads(streamed.stdout.decode().splitlines()[0])["sensorData"]
    assert first["deviceId"] == "DEVICE_RIGHT" and first["pressureData"]["pressure"][:3] == [782, 858, 920]
    both = [json.loads(line)["sensorData"] for line in insole("stream", "--json", "--seconds", "0.1").stdout.splitlines()]
    assert [(s["deviceId"], s["seqNum"]) for s in both[:4]] == [  # left and right, tick by tick
        ("DEVICE_LEFT", 1), ("DEVICE_RIGHT", 1), ("DEVICE_LEFT", 2), ("DEVICE_RIGHT", 2)]


def test_build_frames_at_the_fixed_clock():
    def built(*args):
        result = insole("build", *args, env={"INSOLE_FIXED_CLOCK_MS": "1700000000000"})
        assert result.returncode == 0, result.stderr
        return result.stdout

    assert built("battery", "--msg-id", "1") == b"5452564102210B0001020008011080D095FFBC3160010A6F\n"
    assert built("battery", "--msg-id", "1", "--raw") == bytes.fromhex("5452564102210B0001020008011080D095FFBC3160010A6F")
    assert built("battery", "--msg-id", "1", "--dest", "2") == built("battery", "--msg-id=1") == built("--msg-id", "1",
                                                                                                   "battery")
    payloads = set()
    for command in ["device-info", "battery", "runtime-info", "sensor-config", "device-status", "start-stream",
                    "stop-stream", "set-sensor-config", "enable-stream", "stream-config", "get-factory-config",
                    "set-factory-config"]:
        data = bytes.fromhex(built(command, "--msg-id", "9", "--dest", "right").decode())
        assert split_frames(data) == [data] and data[8:13] == bytes([1, 3, 0, 0x08, 9]), command  # msg_id 9 first
        payloads.add(data[11:-2])
    assert len(payloads) == 11  # each its own request; enable-stream at the default rate is stream-config's default
    default = built("stream-config")  # the last of --start and --no-start counts
    assert built("stream-config", "--no-start", "--start") == default != built("stream-config", "--start", "--no-start")
    assert default != built("stream-config", "--imu-mode", "BOTH")
    factory = bytes.fromhex(built("set-factory-config", "--serial", "SN-42", "--key", "k3y").decode())
    assert b"SN-42" in factory and b"k3y" in factory


def test_calibrate_and_foot_side():
    assert "52.910 N" in insole("calibrate", "--foot", "left", "10000").stdout.decode()
    assert json.loads(insole("calibrate", "--foot", "left", "--json", "10000", "0").stdout) == {
        "foot": "left", "newtons": [52.91, 0.0], "shear": None}
    ohms = [str(1000 + 250 * i) for i in range(48)]
    right = json.loads(insole("calibrate", "--foot", "right", "--json", *ohms).stdout)
    assert right == json.loads(insole("calibrate", "--foot=right", "--json", stdin="\n".join(ohms).encode()).stdout)
    assert len(right["newtons"]) == 48 and [set(s) for s in right["shear"]] == [{"force_x", "force_y", "normal_force"}] * 3
    assert json.loads(insole("calibrate", "--foot", "left", "--json", *ohms).stdout)["shear"] != right["shear"]
    shown = insole("calibrate", "--foot", "right", *ohms).stdout.decode()  # rounded for people, not in --json
    assert "shear forces" in shown and not re.search(r"\d\.\d{4}", shown)
    for payload, side in [("03", "right"), ("0301ff", "right"), ("01", "left"), ("7f", "left"), ("", "unknown")]:
        assert insole("foot-side", payload).stdout == (side + "\n").encode(), payload


@pytest.mark.parametrize("args, message", [
    ([], "missing command"), (["frobnicate"], "unknown command 'frobnicate'"), (["build"], "missing command frame"),
    (["build", "teleport"], "unknown command frame 'teleport'"), (["decode", "--bogus"], "unknown option --bogus"),
    (["build", "battery", "--rate", "5"], "--rate does not apply to battery"), (["record"], "missing FILE"),
    (["build", "battery", "--dest", "middle"], "invalid value 'middle' for --dest"), (["calibrate", "1"], "missing --foot"),
    (["build", "battery", "--msg-id", "4294967296"], "invalid value '4294967296' for --msg-id"),
    (["build", "battery", "--msg-id"], "option --msg-id needs a value"), (["decode", "a", "b"], "unexpected argument 'b'"),
    (["build", "stream-config", "--imu-mode", "sideways"], "invalid value 'sideways' for --imu-mode"),
    (["calibrate", "--foot", "left", "-5"], "unknown option -5"), (["foot-side", "0g"], "not a hex payload: '0g'"),
    (["calibrate", "--foot", "left", "ten"], "not a resistance in ohms: 'ten'"),
    (["calibrate", "--foot", "left"] + ["1"] * 49, "at most 48 resistances"),
    (["stream", "--seconds", "0"], "invalid value '0' for --seconds"),
    (["demo", "--seconds", "soon"], "invalid value 'soon' for --seconds"),
    (["build", "battery"], "INSOLE_FIXED_CLOCK_MS"),  # set to "yesterday" below
    (["build", "battery", "--bogus"], "unknown option --bogus"), (["build", "battery", "x"], "unexpected argument 'x'"),
    (["build", "battery", "--raw=yes"], "option --raw takes no value"),
    (["stream", "--device=", "--json"], "--device needs a non-empty id"),  # the empty value, not the next option
    (["stream", "--device", "L", "R"], "unexpected argument 'R'"),  # one value per --device
    (["--seconds", "1", "demo"], "option --seconds goes after demo"),
    (["decode", "--seconds", "1"], "option --seconds does not apply to decode"),
    (["calibrate", "--bogus", "1"], "unknown option --bogus"),  # a stray option first, before the missing --foot
    # Sources: one kind at a time, pacing for replays only, files they can write.
    (["record", "x.mcap", "--virtual", "left", "--mock", "a"], "give one source"),
    (["record", "x.mcap", "--virtual", "middle"], "invalid value 'middle' for --virtual"),
    (["record", "x.mcap", "--virtual", "left", "--speed", "2"], "apply to --replay only"),
    (["record", "x.bin", "--virtual", "left"], "goes to FILE.mcap"),
    (["record", "x.mcap", "--virtual", "left", "--gait", "hopping"], "invalid value 'hopping' for --gait"),
    (["view", "--mock", "a", "--gait", "running"], "--gait applies to --virtual only"),
    (["record", "x.bin", "--device", "left", "--device", "right"], "a raw capture holds one insole"),
    (["record", "x.mcap", "--device", "left", "--device", "left"], "--device left is given twice"),
    (["record", "x.mcap", "--decoded"], "--decoded needs a source"),
    (["record", "x.mcap", "--feed", "localhost"], "--feed needs - or HOST:PORT"),
    (["replay", "x.mcap", "--fast", "--speed", "3"], "--speed or --fast, not both"),
    (["replay", "x.mcap", "--speed", "0"], "invalid value '0' for --speed"),
    (["replay", "x.mcap", "--seek", "-1"], "invalid value '-1' for --seek"),
    (["record", "x.log", "--btsnoop", "--virtual", "left", "--decoded"], "--decoded applies to MCAP captures"),
    (["bridge", "--subscribe", "--broker", "mqtt://127.0.0.1:1", "--out", "d", "--virtual", "left"],
     "--subscribe takes --broker"),
])
def test_bad_arguments_exit_2_with_one_line(args, message):
    result = insole(*args, env={"INSOLE_FIXED_CLOCK_MS": "yesterday" if message == "INSOLE_FIXED_CLOCK_MS" else ""})
    (err,) = result.stderr.decode().splitlines()
    assert result.returncode == 2 and result.stdout == b"" and err.startswith("insole: ") and message in err


def test_endless_standard_input_stops_at_the_limit():
    yes = subprocess.Popen(["yes", "1"], stdout=subprocess.PIPE)
    try:
        result = subprocess.run([BIN, "calibrate", "--foot", "left"], stdin=yes.stdout, capture_output=True, timeout=10)
    finally:
        yes.kill()
        yes.wait()
    assert result.returncode == 2 and result.stderr.decode() == (
        "insole: at most 48 resistances (one per channel), got more on standard input\n")
    assert "not a resistance in ohms: '7777" in insole("calibrate", "--foot", "left", stdin=b"7" * 10**5).stderr.decode()


@pytest.mark.parametrize("args", [["decode", "CAPTURE"], ["record", "-"], ["decode", "--help"],
                                  ["stream", "--json", "--seconds", "30"]])
def test_output_that_cannot_be_written_fails(capture, args):
    args = [str(capture) if a == "CAPTURE" else a for a in args]
    with open("/dev/full", "wb") as full:
        to_full = subprocess.run([BIN, *args], stdout=full, stderr=subprocess.PIPE, timeout=20)
    read_end, write_end = os.pipe()
    os.close(read_end)  # a reader that went away, with SIGPIPE ignored as some shells and services leave it
    try:
        to_closed = subprocess.run([BIN, *args], stdout=write_end, stderr=subprocess.PIPE, timeout=20,
                                   preexec_fn=lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN))
    finally:
        os.close(write_end)
    for result, reason in [(to_full, ": No space left on device"), (to_closed, ": Broken pipe")]:
        errors = [line for line in result.stderr.decode().splitlines() if "cannot write" in line]
        assert result.returncode == 1 and errors in [["insole: cannot write standard output"],
                                                     ["insole: cannot write standard output" + reason]], args


def test_a_virtual_insole_and_a_replay_whose_output_cannot_be_written_fail(tmp_path):
    start = insole("build", "enable-stream", "--rate", "100", "--raw").stdout
    mcap = tmp_path / "walk.mcap"
    assert insole("record", mcap, "--virtual", "left", "--seconds", "0.3").returncode == 0
    runs = [(["virtual", "--stdio", "--seconds", "2"], start), (["replay", mcap, "--fast"], b""),
            (["replay", mcap, "--fast", "--to-feed", "-"], b""), (["export", mcap], b""),
            (["export", mcap, "--jsonl"], b""), (["record", "-", "--virtual", "left", "--seconds", "1"], b"")]
    for args, stdin in runs:
        with open("/dev/full", "wb") as full:
            result = subprocess.run([BIN, *map(str, args)], input=stdin, stdout=full, stderr=subprocess.PIPE, timeout=20)
        errors = [line for line in result.stderr.decode().splitlines() if "cannot write" in line]
        assert result.returncode == 1 and errors in [["insole: cannot write standard output"],
                                                     ["insole: cannot write standard output: No space left on device"]]
        assert args[0] == "record" or errors[0].endswith("device"), args


def test_a_silent_feed_host_is_let_go_so_the_next_one_gets_in(tmp_path):
    import socket
    capture = tmp_path / "walk.mcap"
    assert insole("record", capture, "--virtual", "left", "--seconds", "0.3").returncode == 0
    out = tmp_path / "fed.mcap"
    recorder = subprocess.Popen([BIN, "record", out, "--feed", "127.0.0.1:0", "--feed-idle", "0.5", "--seconds", "4"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    port = int(re.search(rb"feed listening on 127\.0\.0\.1:(\d+)", recorder.stderr.readline()).group(1))
    silent = socket.create_connection(("127.0.0.1", port), timeout=5)
    time.sleep(0.2)
    fed = insole("replay", capture, "--fast", "--to-feed", f"127.0.0.1:{port}")
    assert fed.returncode == 0
    _, err = recorder.communicate(timeout=30)
    silent.close()
    idle = [line for line in err.decode().splitlines() if "no byte for" in line]
    assert recorder.returncode == 0 and idle == ["insole: warning: feed from a host: no byte for 0.5 s, connection closed"]
    # The second host's session was recorded whole, after the silent one was let go.
    exported = insole("export", out)
    assert exported.returncode == 0 and len(exported.stdout.decode().splitlines()) > 10
    for args, message in [(["record", "x.mcap", "--feed", "-", "--feed-idle", "1"], "--feed-idle applies to --feed HOST"),
                          (["record", "x.mcap", "--feed", "127.0.0.1:0", "--feed-idle", "0"], "--feed-idle"),
                          (["record", "x.mcap", "--virtual", "left", "--max-gap", "1"], "--max-gap applies to --replay"),
                          (["replay", "x.mcap", "--max-gap", "-2"], "--max-gap")]:
        refused = insole(*args)
        assert refused.returncode == 2 and message in refused.stderr.decode(), args


def test_replay_cuts_a_long_gap_in_the_log_times_short(capture, tmp_path):
    pytest.importorskip("trova_insole_sdk")
    sys.path.insert(0, str(TESTS.parent / "python"))
    from trova_insole import CaptureWriter
    frames = split_frames(capture.read_bytes())
    gappy = tmp_path / "gappy.mcap"
    hour = 3600 * 10**9
    with open(gappy, "wb") as out, CaptureWriter(out) as writer:
        left = writer.add_insole("left", "left")
        for n, at in enumerate([10**9, 10**9 + 20_000_000, 10**9 + hour, 10**9 + hour + 20_000_000]):
            writer.write(left, frames[n], log_time_ns=at)
    started = time.monotonic()
    result = insole("replay", gappy, "--max-gap", "0.3")
    took = time.monotonic() - started
    gaps = [line for line in result.stderr.decode().splitlines() if "gap" in line]
    assert result.returncode == 0 and seqs(result) == [1, 2, 3, 4] and 0.3 < took < 3
    assert gaps == ["insole: warning: replay: a gap of 3599.980 s in the capture's log times, waited 0.3 s instead"]
    # At four times the pace the cap is still on the wait, and a gap below it is waited out in full.
    started = time.monotonic()
    result = insole("replay", gappy, "--max-gap", "0.3", "--speed", "4")
    assert result.returncode == 0 and 0.3 < time.monotonic() - started < 3 and "a gap of 3599.980 s" in result.stderr.decode()


def test_unreadable_input_and_help(tmp_path):
    missing = insole("decode", tmp_path / "absent.bin")
    assert missing.returncode == 1 and "cannot open" in missing.stderr.decode()
    overview = insole("--help")
    assert insole("help").stdout == overview.stdout
    for name in ["demo", "stream", "decode", "record", "build", "dfu", "calibrate", "foot-side"]:
        result = insole(name, "--help")
        assert overview.returncode == result.returncode == 0 and f"  {name} " in overview.stdout.decode()
        assert result.stdout.decode().startswith(f"usage: insole {name}")
    asked = insole("demo", "--seconds", "soon", "--bogus", "-h")  # help wins over faults around it
    assert asked.returncode == 0 and asked.stdout.decode().startswith("usage: insole demo") and asked.stderr == b""
    frame = insole("build", "stream-config", "--help").stdout.decode()  # its own options, then those of build
    assert frame.index("--no-start") < frame.index("--msg-id") and "--rate N" in frame


def test_dfu_says_what_is_wrong_with_the_file(tmp_path):
    (tmp_path / "empty.bin").write_bytes(b"")
    with open(tmp_path / "big.bin", "wb") as big:
        big.truncate(64 * 1024 * 1024 + 1)  # sparse
    for path, message in [
        ("/dev/zero", "/dev/zero is a character device, not a regular file"),
        (tmp_path, f"{tmp_path} is a directory, not a regular file"),
        (tmp_path / "absent.bin", f"cannot read {tmp_path}/absent.bin: No such file or directory"),
        (tmp_path / "empty.bin", f"{tmp_path}/empty.bin is empty"),
        (tmp_path / "big.bin", f"{tmp_path}/big.bin is too large for a firmware image: 67108865 bytes, at most 67108864"),
    ]:
        result = insole("dfu", path, "--mock")
        assert (result.returncode, result.stdout, result.stderr.decode()) == (2, b"", f"insole: {message}\n")


def test_dfu_interrupted_early_ends_with_the_abort():
    """Ctrl-C while the image loads: the update reports its abort at once, long
    before the simulated insole's 8 seconds. A /proc file is read for what it
    holds, though it claims to be empty."""
    proc = subprocess.Popen([BIN, "dfu", "/proc/self/status", "--mock"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    start = time.monotonic()
    header = proc.stdout.readline().decode()  # written once Ctrl-C is caught
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    assert time.monotonic() - start < 5 and proc.returncode == 130 and err == b""
    assert "(mock insole), " in header and ", 0 bytes" not in header
    assert out.decode().splitlines()[-2] == "dfu: OTA Aborted by device" and "Upgrade completed" not in out.decode()


def test_demo_stream_and_dfu_without_terminal(tmp_path):  # side by side, to save time
    (tmp_path / "fw.bin").write_bytes(bytes(range(256)) * 4)  # 1,024 bytes: two chunks, then repeated verifies
    procs = [subprocess.Popen([BIN, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
             for args in (["demo", "--seconds", "1", "--walk-seconds", "8"], ["stream", "--seconds", "1", "--device", "L", "--device", "Right"],
                          ["dfu", tmp_path / "fw.bin", "--mock", "--device", "unit-7"])]
    demo, stream, dfu = [p.communicate(timeout=40)[0].decode() for p in procs]
    assert [p.returncode for p in procs] == [0, 0, 0]
    assert "\x1b" not in demo + stream + dfu and "left: seq" in demo and "right: seq" in demo
    assert all(stage in demo for stage in ["Initiating OTA handshake...", "uploading 100.0%", "Verifying image on device",
                                           "Upgrade completed successfully!", "23 frames"])  # 23: start, 20 chunks, 2 more
    left, right = stream.splitlines()
    assert "L: seq" in left and "battery 95% 4100 mV" in left and "lost 0" in left and "Right: seq" in right
    assert 40 <= int(left.split("seq ")[1].split(",")[0]) <= 51 and "battery 91% 4070 mV" in right
    assert dfu.count("Verifying...") == 1 and "Upgrade completed successfully!" in dfu  # repeated answers shown once
    assert "the mock update replays a fixed 10,240-byte exchange" in dfu  # never passed off as an update of the file
    assert "says nothing about this file" in dfu
    assert "says nothing about the demo's generated image" in demo and "this file" not in demo  # the demo was given none
    # The walk: strides told live from the SDK's gait events, then the summary object.
    strides = [line for line in demo.splitlines() if " stride " in line and "steps/min" in line]
    assert len(strides) >= 8 and {"left", "right"} <= {line.split("] ")[1].split()[0] for line in strides}
    summary = json.loads(demo.split("summary (as insole gait --summary gives it):\n")[1].splitlines()[0])
    assert summary["left"]["strides"] >= 4 and 80 < summary["cadence_steps_per_min"] < 140


def run_on_pty(args, env=None, interrupt_after=None):
    """Runs the tool with standard output on a pseudo-terminal; returns (status, output)."""
    master, slave = pty.openpty()
    proc = subprocess.Popen([BIN, *args], stdin=subprocess.DEVNULL, stdout=slave, stderr=subprocess.PIPE,
                            env=dict(os.environ, TERM="xterm-256color", **(env or {})))
    os.close(slave)
    out, start = b"", time.monotonic()
    while time.monotonic() - start < 20:
        if interrupt_after is not None and time.monotonic() - start > interrupt_after:
            proc.send_signal(signal.SIGINT)
            interrupt_after = None
        if select.select([master], [], [], 0.1)[0]:
            try:
                out += (chunk := os.read(master, 65536))
            except OSError:  # the child closed the terminal
                break
            if not chunk:
                break
    os.close(master)
    return proc.wait(timeout=10), out.decode(errors="replace")


def test_long_work_shows_its_status_on_a_terminal_only(tmp_path):
    master, slave = pty.openpty()
    env = dict(os.environ, INSOLE_STATUS_EVERY_MS="300")
    proc = subprocess.Popen([BIN, "record", tmp_path / "a.mcap", "--mock", "left", "--seconds", "1.5"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave, env=env)
    os.close(slave)
    err = b""
    while select.select([master], [], [], 5)[0]:
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break
        if not chunk:
            break
        err += chunk
    os.close(master)
    assert proc.wait(timeout=10) == 0
    status = [line for line in err.decode().splitlines() if line.startswith("insole record: 1 insole, ")]
    assert len(status) >= 3 and "messages/s" in status[-1]
    # Piped, standard error stays as it was: empty.
    piped = insole("record", tmp_path / "b.mcap", "--mock", "left", "--seconds", "0.8", env=env)
    assert piped.returncode == 0 and piped.stderr == b""


def test_live_view_on_a_terminal():
    status, out = run_on_pty(["stream", "--seconds", "30", "--device", "left"], interrupt_after=1.0)
    assert status == 130 and "\x1b[48;5;" in out and "\x1b[?25l" in out  # shaded cells, cursor hidden while live
    assert out.count("\x1b[2K") > 20 and out.rstrip().endswith("\x1b[?7h\x1b[?25h")  # redrawn in place; cursor back
    status, plain = run_on_pty(["stream", "--seconds", "0.3", "--device", "left"], env={"NO_COLOR": "1"})
    assert status == 0 and "fps" in plain and "\x1b[48;5;" not in plain and "\x1b[1m" not in plain
    assert plain.rstrip().endswith("\x1b[?25h")
    assert run_on_pty(["record", "-"])[0] == 2  # no binary capture onto a terminal


def test_mcap_capture_exports_what_decode_renders(tmp_path):
    import csv
    import io
    mcap, raw = tmp_path / "walk.mcap", tmp_path / "walk.bin"
    assert insole("record", mcap, "--device", "right", "--seconds", "0.2").returncode == 0
    assert insole("record", raw, "--device", "right", "--seconds", "0.2").returncode == 0
    assert mcap.read_bytes()[:8] == b"\x89MCAP0\r\n"
    decoded = [json.loads(line)["sensorData"] for line in insole("decode", raw).stdout.decode().splitlines()]
    rows = list(csv.DictReader(io.StringIO(insole("export", mcap).stdout.decode())))
    assert len(rows) == len(decoded) == 10
    for row, sd in zip(rows, decoded):
        assert (row["device"], row["foot"], int(row["seq"]), int(row["gap"])) == ("right", "right", sd["seqNum"], 0)
        assert [int(row[f"pressure_{i}"]) for i in range(48)] == sd["pressureData"]["pressure"]
        assert [row[f"raw_pressure_{i}"] for i in range(48)] == [""] * 48
        assert float(row["acc_z_mg"]) == sd["imuData"]["accZMg"]
        assert int(row["battery_pct"]) == sd["batteryData"]["batteryPct"]
        assert int(row["aligned_time_ns"]) - int(row["host_time_ns"]) == 0  # a capture without delay
    lines = [json.loads(line) for line in insole("export", mcap, "--jsonl").stdout.decode().splitlines()]
    assert [line["message"]["sensorData"] for line in lines] == decoded
    assert [int(r["host_time_ns"]) for r in rows] == [line["host_time_ns"] for line in lines]
    steps = {b - a for a, b in zip(lines, lines[1:]) for a, b in [(a["host_time_ns"], b["host_time_ns"])]}
    assert steps == {20_000_000}
    raw_rows = list(csv.DictReader(io.StringIO(insole("export", raw).stdout.decode())))
    assert [r["pressure_5"] for r in raw_rows] == [r["pressure_5"] for r in rows] and raw_rows[0]["host_time_ns"] == "0"
    binary = insole("export", mcap, "--binary")
    assert binary.returncode == 0 and binary.stdout[:8] == b"TVROWS1\n" and binary.stdout[-8:] == b"TVROWEND"
    assert len(binary.stdout) > 1024 * 528 and b'"rows":10,' in binary.stdout[-100:]
    assert insole("export", mcap, "--csv", "--binary").returncode == 2
    assert insole("export", tmp_path / "missing.mcap", "--binary").returncode == 1


def test_decode_tells_a_capture_by_its_content_and_refuses_what_is_none(tmp_path):
    both, raw = tmp_path / "pair.mcap", tmp_path / "left.bin"
    assert insole("record", both, "--mock", "left", "--mock", "right", "--seconds", "0.4").returncode == 0
    assert insole("record", raw, "--device", "left", "--seconds", "0.2").returncode == 0
    # A container read as raw bytes would drop its framing bytes and break the
    # sequence at every other notification; each insole has its own parser.
    for source in (str(both), "-"):
        decoded = insole("decode", source, stdin=both.read_bytes() if source == "-" else b"")
        stats = [json.loads(line) for line in decoded.stderr.decode().splitlines()]
        samples = [json.loads(line)["sensorData"] for line in decoded.stdout.decode().splitlines()]
        assert decoded.returncode == 0 and len(stats) == 2 and len(samples) == sum(s["frames_received"] for s in stats)
        assert all(s["dropped_bytes"] == s["sequence_discontinuities"] == 0 for s in stats) and len(samples) >= 30
        assert {s["deviceId"] for s in samples} == {"DEVICE_LEFT", "DEVICE_RIGHT"}
    raw_stats = json.loads(insole("decode", raw).stderr)
    assert raw_stats["frames_received"] == 10 and raw_stats["dropped_bytes"] == 0

    (tmp_path / "notes.txt").write_text("a shopping list, not a capture\n")
    (tmp_path / "empty.bin").write_bytes(b"")
    (tmp_path / "hex.txt").write_text(raw.read_bytes().hex())
    reasons = {"notes.txt": "no MCAP or btsnoop magic at its start and no insole frame in its 31 bytes",
               "empty.bin": "it is empty", "hex.txt": "(it holds hex text"}
    for name, why in reasons.items():
        path = tmp_path / name
        for args in (["export", path], ["export", path, "--binary"], ["decode", path], ["replay", path],
                     ["view", "--replay", path, "--seconds", "5"], ["record", tmp_path / "x.mcap", "--replay", path]):
            refused = insole(*args)
            lines = refused.stderr.decode().splitlines()
            assert refused.returncode == 1 and refused.stdout == b"" and len(lines) == 1, (args, lines)
            assert lines[0].startswith(f"insole: {path}: not a capture: ") and why in lines[0], (args, lines)
    piped = insole("export", "-", stdin=b"hello")
    assert piped.returncode == 1 and piped.stderr.decode().startswith("insole: standard input: not a capture: ")
    assert insole("decode", "--hex", tmp_path / "hex.txt").returncode == 0  # what --hex is for


def test_dfu_updates_a_virtual_insole_that_checks_the_image(tmp_path):
    import zlib
    image = tmp_path / "fw.bin"
    image.write_bytes(bytes(range(256)) * 2 + b"\x01")  # 513 bytes: a full chunk and one byte
    result = insole("dfu", image)
    out = result.stdout.decode()
    assert result.returncode == 0 and "(virtual insole), 513 bytes" in out and "mock update replays" not in out
    assert f"dfu: the virtual insole now runs firmware sim-{zlib.crc32(image.read_bytes()):08X}" in out


def test_virtual_insole_over_stdio_and_tcp_and_its_refusals():
    import socket
    stream = insole("virtual", "--stdio", "--seconds", "0.5", "--foot", "right",
                    stdin=bytes.fromhex(insole("build", "enable-stream", "--rate", "100").stdout.decode().strip()))
    messages = [json.loads(line) for line in insole("decode", "-", stdin=stream.stdout).stdout.decode().splitlines()]
    samples = [m["sensorData"] for m in messages if "sensorData" in m]
    assert stream.returncode == 0 and 40 <= len(samples) <= 60 and {s["deviceId"] for s in samples} == {"DEVICE_RIGHT"}
    server = subprocess.Popen([BIN, "virtual", "--listen", "127.0.0.1:0", "--seconds", "5"], stderr=subprocess.PIPE)
    try:
        port = int(server.stderr.readline().decode().split(":")[2].split(",")[0])
        with socket.create_connection(("127.0.0.1", port), timeout=5) as conn:
            conn.sendall(bytes.fromhex(insole("build", "device-info", "--msg-id", "9").stdout.decode().strip()))
            answer = json.loads(insole("decode", "-", stdin=conn.recv(4096)).stdout)
        assert answer["msgId"] == 9 and answer["deviceInfo"]["modelName"] == "Virtual Insole"
    finally:
        server.terminate()
        server.wait()
    # Bytes without one frame in them: said once, with the likely slip.
    hex_text = insole("build", "enable-stream", "--rate", "50").stdout
    forgot = insole("virtual", "--stdio", "--seconds", "0.3", stdin=hex_text)
    told = [line for line in forgot.stderr.decode().splitlines() if "no insole frame" in line]
    assert forgot.returncode == 0 and forgot.stdout == b"" and len(told) == 1 and "--raw" in told[0]
    server = subprocess.Popen([BIN, "virtual", "--listen", "127.0.0.1:0", "--seconds", "5"], stderr=subprocess.PIPE)
    try:
        port = int(server.stderr.readline().decode().split(":")[2].split(",")[0])
        with socket.create_connection(("127.0.0.1", port), timeout=5) as conn:
            for _ in range(3):
                conn.sendall(b"GET / HTTP/1.0\r\n" * 40)  # not an insole's host
                time.sleep(0.1)
            line = server.stderr.readline().decode()
        assert "virtual insole 1: " in line and "no insole frame" in line and "hex text" not in line
    finally:
        server.terminate()
        assert b"no insole frame" not in server.communicate(timeout=10)[1]  # once only
    for args, message in [([], "give exactly one of --stdio and --listen"), (["--stdio", "--gait", "flying"], "--gait"),
                          (["--stdio", "--mtu", "0"], "--mtu"), (["--listen", "nowhere"], "ADDRESS:PORT")]:
        refused = insole("virtual", *args)
        assert refused.returncode == 2 and message in refused.stderr.decode() and len(refused.stderr.splitlines()) == 1


def test_virtual_insole_writes_its_walkers_truth(tmp_path):
    start = bytes.fromhex(insole("build", "enable-stream", "--rate", "100").stdout.decode().strip())
    runs = {}
    for name, faults in [("clean", []), ("faulty", ["--loss", "0.2", "--duplicate", "0.1", "--delay", "0.1"])]:
        path = tmp_path / f"{name}.jsonl"
        stream = insole("virtual", "--stdio", "--seconds", "3", "--gait", "running", "--clock-offset-ms", "5000",
                        "--truth", path, *faults, stdin=start)
        assert stream.returncode == 0
        runs[name] = [json.loads(line) for line in path.read_text().splitlines()]
        samples = [json.loads(line)["sensorData"] for line in
                   insole("decode", "-", stdin=stream.stdout).stdout.decode().splitlines() if "sensorData" in line]
        assert samples
    clean, faulty = runs["clean"], runs["faulty"]
    assert len(clean) >= 7  # 1.4 strides a second, two events each
    assert [set(e) for e in clean] == [{"insole", "foot", "event", "device_time_ms", "host_time_us"}] * len(clean)
    assert {(e["insole"], e["foot"]) for e in clean} == {(1, "left")}
    kinds = [e["event"] for e in clean]
    assert set(kinds) == {"initial_contact", "foot_off"} and all(a != b for a, b in zip(kinds, kinds[1:]))
    times = [e["device_time_ms"] for e in clean]
    assert times == sorted(times) and 5000 < times[0] and times[-1] <= 8000 + 50
    # The walker's timeline is its seed's: link faults change what the host sees, never the truth.
    common = min(len(clean), len(faulty)) - 1
    assert [(e["event"], e["device_time_ms"]) for e in faulty[:common]] == \
        [(e["event"], e["device_time_ms"]) for e in clean[:common]]
    refused = insole("virtual", "--stdio", "--truth", tmp_path / "absent" / "t.jsonl")
    assert refused.returncode == 1 and "cannot write" in refused.stderr.decode()


def test_snoop_logs_refuse_bad_arguments_and_survive_damage(tmp_path):
    log = tmp_path / "left.btsnoop"
    assert insole("record", "--btsnoop", log, "--seconds", "0.2").returncode == 0
    for args, message in [(["decode", "--handle", "5"], "--handle applies to a --btsnoop log only"),
                          (["decode", "--btsnoop", log, "--handle", "0"], "invalid value '0' for --handle"),
                          (["decode", "--btsnoop", log, "--handle", "0x1g"], "invalid value '0x1g' for --handle"),
                          (["decode", "--btsnoop", log, log], "give either FILE or --btsnoop LOG, not both"),
                          (["decode", "--btsnoop", log, "--hex"], "--hex does not apply to a --btsnoop log")]:
        result = insole(*args)
        (err,) = result.stderr.decode().splitlines()
        assert result.returncode == 2 and err.startswith("insole: " + message), args
    foreign = insole("decode", "--btsnoop", GOLDEN)
    assert foreign.returncode == 1 and foreign.stderr.decode() == (
        f"insole: {GOLDEN}: not a btsnoop log (no btsnoop magic at its start)\n")
    # A log cut inside its last notification: nine frames of ten, and the cut named with its offset.
    cut = tmp_path / "cut.btsnoop"
    cut.write_bytes(log.read_bytes()[:-50])
    for args in [["decode", "--btsnoop", cut], ["export", "--jsonl", cut]]:
        result = insole(*args)
        warning = [line for line in result.stderr.decode().splitlines() if "warning" in line]
        assert result.returncode == 0 and len(warning) == 1 and re.search(r"cut short at byte \d+", warning[0]), args
        assert len(result.stdout.decode().splitlines()) == 9
