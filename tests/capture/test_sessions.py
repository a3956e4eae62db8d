"""Sessions through the tool: recordings from virtual insoles, replays and live
feeds (a pipe and loopback TCP), and the example host's captures and feeds.
Every capture written here is also read by the reference implementation."""

import csv
import io
import json
import os
import pathlib
import re
import subprocess
import sys
import time

import pytest

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
BIN = os.environ.get("INSOLE_BIN", str(ROOT / "build" / "release" / "tools" / "insole"))
PROBE = os.environ.get("CAPTURE_PROBE", str(ROOT / "build" / "release" / "tests" / "capture_probe"))
sys.path.insert(0, str(ROOT / "python"))


def run(*argv, **kw):
    done = subprocess.run([str(a) for a in argv], capture_output=True, timeout=60, **kw)
    assert done.returncode == 0, done.stderr.decode()
    return done


def messages(path):
    """The capture as the reference reads it, checked against our reader: JSON lines."""
    theirs = run("node", HERE / "mcap_oracle.mjs", "read", path).stdout.decode()
    ours = run(PROBE, "read", path)
    assert ours.stdout.decode() == theirs and ours.stderr == b""
    return [json.loads(line) for line in theirs.splitlines() if '"topic"' in line]


def channels(path):
    return [json.loads(line) for line in run("node", HERE / "mcap_oracle.mjs", "channels", path).stdout.decode().splitlines()]


def replay_lines(*args):
    return [json.loads(line) for line in run(BIN, "replay", *args).stdout.decode().splitlines()]


@pytest.fixture(scope="module")
def paced(tmp_path_factory):
    """Two seconds of one mock insole at 50 Hz, made at once (seq 1 to 100)."""
    path = tmp_path_factory.mktemp("paced") / "paced.mcap"
    run(BIN, "record", path, "--seconds", "2")
    return path


def test_virtual_insoles_recorded_with_decoded_channels_the_reference_and_protobuf_read(tmp_path):
    from google.protobuf import descriptor_pb2, descriptor_pool, message_factory

    path = tmp_path / "virtual.mcap"
    run(BIN, "record", path, "--virtual", "left", "--virtual", "right", "--seconds", "1.5", "--decoded")
    got = messages(path)
    chans = {c["topic"]: c for c in channels(path)}
    assert {t: (c["encoding"], c["metadata"]) for t, c in chans.items()} == {
        f"/insole/{foot}/{kind}": (enc, {"device_id": foot, "foot": foot})
        for foot in ("left", "right") for kind, enc in (("notifications", "insole.notification"), ("messages", "protobuf"))}
    schema = chans["/insole/left/messages"]["schema"]
    assert schema["encoding"] == "protobuf" and schema["name"] == "insole_ref.InsoleResp"
    assert chans["/insole/left/notifications"]["schema"] is None

    # The schema alone decodes the decoded channel; the samples match what
    # the receive path makes of the raw channel.
    files = descriptor_pb2.FileDescriptorSet.FromString(bytes.fromhex(schema["data"]))
    pool = descriptor_pool.DescriptorPool()
    for f in files.file:
        pool.Add(f)
    described = pool.FindMessageTypeByName("insole_ref.InsoleResp")
    resp = (message_factory.GetMessageClass(described) if hasattr(message_factory, "GetMessageClass")
            else message_factory.MessageFactory(pool).GetPrototype(described))
    rendered = replay_lines(path, "--fast")
    for foot in ("left", "right"):
        decoded = [resp.FromString(bytes.fromhex(m["data"])) for m in got if m["topic"] == f"/insole/{foot}/messages"]
        seqs = [d.sensor_data.seq_num for d in decoded if d.HasField("sensor_data")]
        assert len(seqs) >= 40 and seqs == list(range(1, len(seqs) + 1))
        assert seqs == [line["sensorData"]["seqNum"] for line in rendered if line["device"] == foot and "sensorData" in line]
        raw = [int(m["log_time"]) for m in got if m["topic"] == f"/insole/{foot}/notifications"]
        assert raw == sorted(raw) and (raw[-1] - raw[0]) / 1e9 > 1.0  # receive times as they came


def test_replay_keeps_order_and_pace(paced, tmp_path):
    start = time.monotonic()
    lines = replay_lines(paced, "--speed", "2")
    took = time.monotonic() - start
    print(f"2 s capture replayed at 2x in {took:.2f} s")
    assert [line["sensorData"]["seqNum"] for line in lines] == list(range(1, 101))
    assert 0.7 < took < 3.0
    # Seek by time: a second in is the 51st frame (20 ms apart).
    assert replay_lines(paced, "--fast", "--seek", "1")[0]["sensorData"]["seqNum"] == 51

    # Two insoles interleaved by receive time come out in that order, each
    # through its own parser.
    from trova_insole import CaptureWriter, read_messages
    frames = {foot: [m.data for m in read_messages(paced)] for foot in ("a", "b")}
    mixed = tmp_path / "mixed.mcap"
    order = []
    with open(mixed, "wb") as out, CaptureWriter(out) as capture:
        ids = {foot: capture.add_insole(foot, "left") for foot in frames}
        for i in range(20):
            for foot in (("a", "b") if i % 3 else ("b", "a")):
                capture.write(ids[foot], frames[foot][i], log_time_ns=1_000_000_000 + i * 10_000_000)
                order.append((foot, i + 1))
    messages(mixed)
    assert [(line["device"], line["sensorData"]["seqNum"]) for line in replay_lines(mixed, "--fast")] == order


def test_replay_to_a_feed_recorded_from_a_pipe_and_over_tcp_keeps_the_session(paced, tmp_path):
    original = [(m["log_time"], m["data"]) for m in messages(paced)]
    piped = tmp_path / "piped.mcap"
    feed = subprocess.Popen([BIN, "replay", paced, "--fast", "--to-feed", "-"], stdout=subprocess.PIPE)
    run(BIN, "record", piped, "--feed", "-", stdin=feed.stdout)
    assert feed.wait(timeout=30) == 0
    assert [(m["log_time"], m["data"]) for m in messages(piped)] == original

    # A listener takes one host after the other until its seconds are over.
    over_tcp = tmp_path / "tcp.mcap"
    recorder = subprocess.Popen([BIN, "record", over_tcp, "--feed", "127.0.0.1:0", "--seconds", "4"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    port = int(re.search(rb"feed listening on 127\.0\.0\.1:(\d+)", recorder.stderr.readline()).group(1))
    for _ in range(2):
        run(BIN, "replay", paced, "--fast", "--to-feed", f"127.0.0.1:{port}")
    out, err = recorder.communicate(timeout=30)
    assert recorder.returncode == 0, err.decode()
    assert [(m["log_time"], m["data"]) for m in messages(over_tcp)] == original * 2
    # Nobody listening: one line, status 1.
    done = subprocess.run([BIN, "replay", paced, "--to-feed", f"127.0.0.1:{port}"], capture_output=True, timeout=30)
    assert done.returncode == 1 and done.stderr.decode().startswith("insole: cannot connect to 127.0.0.1:")


def test_the_example_host_records_and_feeds_what_the_tool_reads(tmp_path):
    pytest.importorskip("trova_insole_sdk")
    env = dict(os.environ, INSOLE_BIN=str(pathlib.Path(BIN).resolve()),
               PYTHONPATH=os.pathsep.join([str(pathlib.Path(p).resolve()) for p in sys.path if p]))
    host = [sys.executable, "ble_host.py", "--virtual", "--seconds", "2"]
    where = ROOT / "examples" / "python"
    recorded = tmp_path / "host.mcap"
    run(*host, "--record", recorded, cwd=where, env=env)
    messages(recorded)
    rows = list(csv.DictReader(io.StringIO(run(BIN, "export", recorded).stdout.decode())))
    assert len(rows) > 150 and {row["foot"] for row in rows} == {"left", "right"}

    fed = tmp_path / "fed.mcap"
    feed = subprocess.Popen(host + ["--feed", "-"], cwd=where, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    run(BIN, "record", fed, "--feed", "-", "--seconds", "30", stdin=feed.stdout)
    assert feed.wait(timeout=30) == 0
    got = messages(fed)
    assert len(got) > 150 and len({m["topic"] for m in got}) == 2
