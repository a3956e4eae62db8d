"""The insole command-line tool, run as a user runs it.

The binary comes from INSOLE_BIN (default: the release build). Every run has
standard input closed and standard output piped, so nothing here may wait on a
terminal.
"""

import json
import os
import pathlib
import struct
import subprocess

import pytest

BIN = os.environ.get("INSOLE_BIN", "/work/main/build/release/tools/insole")
GOLDEN = pathlib.Path(__file__).resolve().parent / "golden"
FIXED_CLOCK = {"INSOLE_FIXED_CLOCK_MS": "1700000000000"}


def insole(*args, stdin=b"", env=None, timeout=60):
    full_env = dict(os.environ, **(env or {}))
    return subprocess.run([BIN, *map(str, args)], input=stdin, capture_output=True, env=full_env,
                          timeout=timeout, check=False)


def lines(data):
    return data.decode().splitlines()


def crc16_modbus(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def frame(payload, version=2, dest=2):
    header = b"TRVA" + bytes([version, 0x21]) + struct.pack("<H", len(payload))
    if version == 2:
        header += bytes([1, dest, 0])
    body = header + payload
    return body + struct.pack("<H", crc16_modbus(body))


def split_frames(data):
    """Cuts a clean capture into its frames."""
    out, pos = [], 0
    while pos < len(data):
        assert data[pos:pos + 4] == b"TRVA"
        size = (11 if data[pos + 4] == 2 else 8) + struct.unpack_from("<H", data, pos + 6)[0] + 2
        out.append(data[pos:pos + size])
        pos += size
    return out


def stats_of(result):
    """The statistics object, the last line on stderr, with its key order."""
    return json.loads(lines(result.stderr)[-1], object_pairs_hook=lambda pairs: pairs)


@pytest.fixture(scope="module")
def capture(tmp_path_factory):
    path = tmp_path_factory.mktemp("cap") / "left.bin"
    result = insole("record", path, "--seconds", "0.1")
    assert result.returncode == 0, result.stderr
    return path


# --- decode -------------------------------------------------------------------

def test_decode_matches_golden_lines_and_stats(capture):
    result = insole("decode", capture)
    assert result.returncode == 0
    golden = (GOLDEN / "left_first5.jsonl").read_text()
    assert result.stdout.decode() == golden
    for line in golden.splitlines():  # the canonical form Python itself writes
        assert line == json.dumps(json.loads(line), sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    assert stats_of(result) == [
        ("frames_received", 5), ("crc_errors", 0), ("protobuf_errors", 0), ("dropped_bytes", 0),
        ("buffer_overflows", 0), ("packets_lost", 0), ("sequence_discontinuities", 0), ("last_seq", 5),
        ("buffered_bytes", 0)]
    first = json.loads(golden.splitlines()[0])["sensorData"]
    assert first["seqNum"] == 1 and first["pressureData"]["pressure"][:3] == [549, 647, 739]


def test_decode_reads_stdin_and_hex_text(capture):
    raw = capture.read_bytes()
    expected = insole("decode", capture).stdout
    assert insole("decode", "-", stdin=raw).stdout == expected
    hex_text = raw.hex().upper()
    spaced = "\n".join(" ".join(hex_text[i:i + 2] for i in range(j, min(j + 64, len(hex_text)), 2))
                       for j in range(0, len(hex_text), 64))
    assert insole("decode", "--hex", stdin=spaced.encode()).stdout == expected

    for bad, why in [(hex_text[:10] + "zz", "not hexadecimal text: 'z'"), (hex_text + "A", "odd number")]:
        result = insole("decode", "--hex", stdin=bad.encode())
        assert result.returncode == 1 and why in result.stderr.decode()
        assert stats_of(result)[0][0] == "frames_received"


def test_decode_counts_damage_and_goes_on(capture):
    frames = split_frames(capture.read_bytes())
    bad_crc = bytearray(frames[1])
    bad_crc[-1] ^= 0xFF
    undecodable = frame(b"\x52\x05\x08")  # device_info cut short inside its length
    damaged = (b"\x00\xffTR" + frames[0] + bytes(bad_crc) + frames[2] + undecodable + frames[4])  # frame 4 lost

    result = insole("decode", "-", stdin=damaged)
    assert result.returncode == 0
    seqs = [json.loads(line)["sensorData"]["seqNum"] for line in lines(result.stdout)]
    assert seqs == [1, 2, 3, 5]  # a bad CRC is only counted by default
    errors = [line for line in lines(result.stderr)[:-1]]
    assert len(errors) == 1 and errors[0].startswith("insole: frame 4: ")
    assert dict(stats_of(result)) == {
        "frames_received": 5, "crc_errors": 1, "protobuf_errors": 1, "dropped_bytes": 4,
        "buffer_overflows": 0, "packets_lost": 1, "sequence_discontinuities": 1, "last_seq": 5,
        "buffered_bytes": 0}

    strict = insole("decode", "--strict-crc", "-", stdin=damaged + frames[0][:20])
    assert [json.loads(line)["sensorData"]["seqNum"] for line in lines(strict.stdout)] == [1, 3, 5]
    stats = dict(stats_of(strict))
    assert stats["frames_received"] == 4 and stats["crc_errors"] == 1 and stats["buffered_bytes"] == 20


def test_decode_gets_past_a_frame_that_never_fits(capture):
    # A version-2 header announcing the largest payload can never fit the
    # parser's 16,394-byte buffer: it overflows once, then decoding resumes.
    stuck = b"TRVA" + bytes([2, 0x21]) + struct.pack("<H", 16384) + bytes(20000)
    result = insole("decode", "-", stdin=stuck + capture.read_bytes())
    assert len(lines(result.stdout)) == 5
    stats = dict(stats_of(result))
    assert stats["buffer_overflows"] == 1 and stats["frames_received"] == 5


def test_decode_legacy_pressure_switch():
    # sensor_data { pressure_data { raw_pressure: [5, 6] } }, seq 7
    payload = bytes([0xF2, 0x01, 0x08, 0x18, 0x07, 0x5A, 0x04, 0x12, 0x02, 0x05, 0x06])
    default = json.loads(insole("decode", "-", stdin=frame(payload)).stdout)
    assert default["sensorData"]["pressureData"] == {"pressure": [5, 6], "rawPressure": [5, 6]}
    plain = json.loads(insole("decode", "--no-legacy-pressure", "-", stdin=frame(payload)).stdout)
    assert plain["sensorData"]["pressureData"] == {"rawPressure": [5, 6]}


def test_decode_large_capture_in_constant_memory(tmp_path):
    small, large = tmp_path / "small.bin", tmp_path / "large.bin"
    insole("record", small, "--seconds", "1")
    insole("record", large, "--seconds", "2000")  # 100,000 frames, about 17 MB
    assert large.stat().st_size > 15_000_000

    # Under AddressSanitizer freed blocks would sit in its quarantine.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=0")

    def peak_kib(path):
        with open(os.devnull, "wb") as sink:
            proc = subprocess.Popen([BIN, "decode", path], stdout=sink, stderr=subprocess.PIPE, env=env)
            err = proc.stderr.read()
            _, status, usage = os.wait4(proc.pid, 0)
            proc.returncode = os.waitstatus_to_exitcode(status)
        assert proc.returncode == 0
        return usage.ru_maxrss, json.loads(err)

    base, _ = peak_kib(small)
    peak, stats = peak_kib(large)
    assert stats["frames_received"] == 100_000 and stats["last_seq"] == 100_000
    assert peak - base < 8 * 1024


def test_stream_json_is_the_recorded_stream(tmp_path):
    path = tmp_path / "right.bin"
    insole("record", path, "--device", "my-RIGHT-unit", "--seconds", "0.2")
    streamed = insole("stream", "--json", "--device", "my-RIGHT-unit", "--seconds", "0.2")
    assert streamed.returncode == 0
    assert streamed.stdout == insole("decode", path).stdout
    first = json.loads(lines(streamed.stdout)[0])["sensorData"]
    assert first["deviceId"] == "DEVICE_RIGHT" and first["pressureData"]["pressure"][:3] == [782, 858, 920]

    both = insole("stream", "--json", "--seconds", "0.1")  # left and right, tick by tick
    assert [(json.loads(line)["sensorData"]["deviceId"], json.loads(line)["sensorData"]["seqNum"])
            for line in lines(both.stdout)][:4] == [("DEVICE_LEFT", 1), ("DEVICE_RIGHT", 1),
                                                     ("DEVICE_LEFT", 2), ("DEVICE_RIGHT", 2)]


# --- build --------------------------------------------------------------------

BATTERY_AT_FIXED_CLOCK = "5452564102210B0001020008011080D095FFBC3160010A6F"


@pytest.mark.parametrize("command", [
    "device-info", "battery", "runtime-info", "sensor-config", "device-status", "start-stream",
    "stop-stream", "set-sensor-config", "enable-stream", "stream-config", "get-factory-config",
    "set-factory-config"])
def test_build_every_command_is_a_valid_frame(command):
    result = insole("build", command, "--msg-id", "9", "--dest", "right", env=FIXED_CLOCK)
    assert result.returncode == 0, result.stderr
    data = bytes.fromhex(result.stdout.decode().strip())
    assert data[:6] == b"TRVA\x02\x21" and data[8:11] == bytes([1, 3, 0])
    assert struct.unpack("<H", data[-2:])[0] == crc16_modbus(data[:-2])
    assert split_frames(data) == [data]
    assert data[11:13] == b"\x08\x09"  # msg_id 9 comes first


def test_build_reproducible_hex_raw_and_options():
    assert insole("build", "battery", "--msg-id", "1", env=FIXED_CLOCK).stdout.decode() == BATTERY_AT_FIXED_CLOCK + "\n"
    raw = insole("build", "battery", "--msg-id", "1", "--raw", env=FIXED_CLOCK).stdout
    assert raw == bytes.fromhex(BATTERY_AT_FIXED_CLOCK)
    assert insole("build", "battery", "--msg-id", "1", "--dest", "2", env=FIXED_CLOCK).stdout == \
        insole("build", "battery", "--msg-id=1", env=FIXED_CLOCK).stdout

    def built(*args):
        return insole("build", *args, env=FIXED_CLOCK).stdout

    assert built("stream-config") != built("stream-config", "--imu-mode", "BOTH")
    assert built("stream-config", "--no-start", "--start") == built("stream-config")
    assert built("stream-config", "--start", "--no-start") != built("stream-config")
    assert built("enable-stream", "--rate", "0") != built("set-sensor-config", "--rate", "0")
    factory = bytes.fromhex(built("set-factory-config", "--serial", "SN-42", "--key", "k3y").decode())
    assert b"SN-42" in factory and b"k3y" in factory


# --- calibrate and foot-side ---------------------------------------------------

def test_calibrate_values_json_and_stdin():
    plain = insole("calibrate", "--foot", "left", "10000")
    assert plain.returncode == 0 and "52.91 N" in plain.stdout.decode()
    assert json.loads(insole("calibrate", "--foot", "left", "--json", "10000", "0").stdout) == {
        "foot": "left", "newtons": [52.91, 0.0], "shear": None}

    ohms = [str(1000 + 250 * i) for i in range(48)]
    by_args = json.loads(insole("calibrate", "--foot", "right", "--json", *ohms).stdout)
    by_stdin = json.loads(insole("calibrate", "--foot=right", "--json", stdin="\n".join(ohms).encode()).stdout)
    assert by_args == by_stdin
    assert len(by_args["newtons"]) == 48 and len(by_args["shear"]) == 3
    assert set(by_args["shear"][0]) == {"force_x", "force_y", "normal_force"}
    left = json.loads(insole("calibrate", "--foot", "left", "--json", *ohms).stdout)
    assert left["shear"] != by_args["shear"]  # the feet map the shear cells differently


@pytest.mark.parametrize("payload, side", [("03", "right"), ("0301ff", "right"), ("01", "left"),
                                           ("02", "left"), ("7f", "left"), ("", "unknown")])
def test_foot_side(payload, side):
    result = insole("foot-side", payload)
    assert result.returncode == 0 and result.stdout.decode() == side + "\n"


# --- usage -------------------------------------------------------------------------

@pytest.mark.parametrize("args, message", [
    ([], "missing command"),
    (["frobnicate"], "unknown command 'frobnicate'"),
    (["build"], "missing COMMAND"),
    (["build", "teleport"], "unknown command frame 'teleport'"),
    (["build", "battery", "--rate", "5"], "--rate does not apply to battery"),
    (["build", "battery", "--dest", "middle"], "invalid value 'middle' for --dest"),
    (["build", "battery", "--msg-id", "4294967296"], "invalid value '4294967296' for --msg-id"),
    (["build", "battery", "--msg-id"], "option --msg-id needs a value"),
    (["build", "stream-config", "--imu-mode", "sideways"], "invalid value 'sideways' for --imu-mode"),
    (["decode", "--bogus"], "unknown option --bogus"),
    (["decode", "a", "b"], "unexpected argument 'b'"),
    (["calibrate", "1"], "missing --foot"),
    (["calibrate", "--foot", "middle", "1"], "invalid value 'middle' for --foot"),
    (["calibrate", "--foot", "left", "-5"], "unknown option -5"),
    (["calibrate", "--foot", "left", "ten"], "not a resistance in ohms: 'ten'"),
    (["calibrate", "--foot", "left"] + ["1"] * 49, "at most 48 resistances"),
    (["foot-side", "0g"], "not a hex payload: '0g'"),
    (["stream", "--seconds", "0"], "invalid value '0' for --seconds"),
    (["demo", "--seconds", "soon"], "invalid value 'soon' for --seconds"),
    (["record"], "missing capture FILE"),
    (["dfu", "/dev/null"], "a real update needs the host's radio"),
])
def test_bad_arguments_exit_2_with_one_line(args, message):
    result = insole(*args, env={"INSOLE_FIXED_CLOCK_MS": ""})
    assert result.returncode == 2
    err = lines(result.stderr)
    assert len(err) == 1 and err[0].startswith("insole: ") and message in err[0], err
    assert result.stdout == b""


def test_bad_clock_and_unreadable_input(tmp_path):
    result = insole("build", "battery", env={"INSOLE_FIXED_CLOCK_MS": "yesterday"})
    assert result.returncode == 2 and "INSOLE_FIXED_CLOCK_MS" in result.stderr.decode()
    missing = insole("decode", tmp_path / "absent.bin")
    assert missing.returncode == 1 and "cannot read" in missing.stderr.decode()
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    assert insole("dfu", empty, "--mock").returncode == 2


def test_help_for_everything():
    overview = insole("--help")
    assert overview.returncode == 0
    commands = ["demo", "stream", "decode", "record", "build", "dfu", "calibrate", "foot-side"]
    for name in commands:
        assert f"  {name} " in overview.stdout.decode()
        result = insole(name, "--help")
        assert result.returncode == 0 and result.stdout.decode().startswith(f"usage: insole {name}")
    assert "exit status" in insole("decode", "-h").stdout.decode().lower()


# --- live views without a terminal ---------------------------------------------------

def test_stream_without_terminal_prints_summaries():
    result = insole("stream", "--seconds", "1", "--device", "L", "--device", "Right")
    assert result.returncode == 0
    out = lines(result.stdout)
    assert len(out) == 2 and "\x1b" not in result.stdout.decode()
    left, right = out
    assert "L: seq" in left and "battery 95% 4100 mV" in left and "lost 0" in left
    assert "Right: seq" in right and "battery 91% 4070 mV" in right
    assert 40 <= int(left.split("seq ")[1].split(",")[0]) <= 51


def test_demo_without_terminal_runs_to_completion():
    result = insole("demo", "--seconds", "1", timeout=40)
    assert result.returncode == 0, result.stderr
    out = result.stdout.decode()
    assert "\x1b" not in out
    assert "left: seq" in out and "right: seq" in out
    for stage in ["Loading firmware...", "Initiating OTA handshake...", "uploading 100.0%",
                  "Verifying image on device...", "Upgrade completed successfully!"]:
        assert stage in out
    assert "23 frames" in out  # start, 20 chunks, verify, reboot


def test_dfu_of_a_file_against_the_mock(tmp_path):
    image = tmp_path / "fw.bin"
    image.write_bytes(bytes(range(256)) * 4)  # 1,024 bytes: two chunks, then repeated verifies
    result = insole("dfu", image, "--mock", "--device", "unit-7", timeout=40)
    assert result.returncode == 0, result.stderr
    out = result.stdout.decode()
    assert "Firmware upload complete. Verifying..." in out and out.count("Verifying...") == 1
    assert "Upgrade completed successfully!" in out


# --- live views on a terminal --------------------------------------------------------

def run_on_pty(args, env=None, interrupt_after=None, timeout=40):
    """Runs the tool with standard output on a pseudo-terminal; returns (status, output)."""
    import pty
    import select
    import signal
    import time

    master, slave = pty.openpty()
    proc = subprocess.Popen([BIN, *map(str, args)], stdin=subprocess.DEVNULL, stdout=slave,
                            stderr=subprocess.PIPE, env=dict(os.environ, TERM="xterm-256color", **(env or {})))
    os.close(slave)
    out, start, sent = b"", time.monotonic(), False
    while time.monotonic() - start < timeout:
        if interrupt_after is not None and not sent and time.monotonic() - start > interrupt_after:
            proc.send_signal(signal.SIGINT)
            sent = True
        if select.select([master], [], [], 0.1)[0]:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the child closed the terminal
                break
            if not chunk:
                break
            out += chunk
    os.close(master)
    return proc.wait(timeout=10), out.decode(errors="replace")


def test_live_view_redraws_with_shading_and_restores_the_cursor():
    status, out = run_on_pty(["stream", "--seconds", "0.5", "--device", "left"])
    assert status == 0
    assert "\x1b[48;5;" in out and "\x1b[?25l" in out  # shaded cells, cursor hidden while live
    assert out.rstrip().endswith("\x1b[?7h\x1b[?25h")  # wrapping and cursor back
    assert out.count("\x1b[2K") > 20  # redrawn in place, not scrolled

    status, plain = run_on_pty(["stream", "--seconds", "0.3", "--device", "left"], env={"NO_COLOR": "1"})
    assert status == 0 and "fps" in plain and "\x1b[48;5;" not in plain and "\x1b[1m" not in plain


def test_progress_bar_on_a_terminal(tmp_path):
    image = tmp_path / "fw.bin"
    image.write_bytes(bytes(10240))
    status, out = run_on_pty(["dfu", image, "--mock"])
    assert status == 0
    assert "100.0%" in out and "KiB/s" in out and "ETA" in out and "\r\x1b[2K  [" in out
    assert "Upgrade completed successfully!" in out


def test_ctrl_c_ends_cleanly():
    status, out = run_on_pty(["stream", "--seconds", "30"], interrupt_after=0.5, timeout=10)
    assert status == 130 and out.rstrip().endswith("\x1b[?25h")
    assert run_on_pty(["record", "-"])[0] == 2  # no binary capture onto a terminal
