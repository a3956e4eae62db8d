"""Captures built to hurt the readers: chunks nested deep, records that run
past their chunk, many channel records. The tool's reader (through the probe
and the insole tool) and the Python reader must survive them, agree on what
they yield, and stay within their memory bound."""

import os
import pathlib
import resource
import struct
import subprocess
import sys
import warnings
import zlib

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(ROOT / "python"))

from trova_insole.capture import MAGIC, read_messages  # noqa: E402
PROBE = os.environ.get("CAPTURE_PROBE", str(ROOT / "build" / "release" / "tests" / "capture_probe"))
BIN = os.environ.get("INSOLE_BIN", str(ROOT / "build" / "release" / "tools" / "insole"))


def record(op, body):
    return struct.pack("<BQ", op, len(body)) + body


def string(text):
    data = text.encode() if isinstance(text, str) else text
    return struct.pack("<I", len(data)) + data


def channel(cid, device, pad=b""):
    pairs = string("device_id") + string(device) + string("foot") + string("left")
    if pad:
        pairs += string("pad") + string(pad)
    return record(4, struct.pack("<HH", cid, 0) + string("/insole/x/notifications") + string("insole.notification")
                  + struct.pack("<I", len(pairs)) + pairs)


def message(cid, data, log_time=1):
    return record(5, struct.pack("<HIQQ", cid, 0, log_time, log_time) + data)


def chunk(records, crc=True):
    return record(6, struct.pack("<QQQI", 0, 0, len(records), zlib.crc32(records) if crc else 0)
                  + string("") + struct.pack("<Q", len(records)) + records)


def nest(depth):
    inner = message(1, b"deep")
    for _ in range(depth):
        inner = chunk(inner, crc=False)
    return inner


def probe_read(path):
    done = subprocess.run([PROBE, "read", str(path)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return [line for line in done.stdout.splitlines() if '"topic"' in line], done.stderr


def python_read(path):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = [m.data for m in read_messages(str(path))]
    return got, [str(w.message) for w in caught]


def test_chunks_nested_in_chunks_are_skipped_by_every_reader_alike(tmp_path):
    # A real message beside a nest 20,000 deep (about 980 KB), in one chunk.
    path = tmp_path / "nest.mcap"
    path.write_bytes(MAGIC + channel(1, "L") + chunk(message(1, b"kept") + nest(20_000), crc=False))
    assert path.stat().st_size > 900_000

    ours, stderr = probe_read(path)
    assert len(ours) == 1 and '"data":"6b657074"' in ours[0]
    assert stderr.count("never nests") == 1
    got, said = python_read(path)
    assert got == [b"kept"] and sum("never nests" in w for w in said) == 1

    for argv, stdin in ((["export", path], None), (["replay", path, "--speed", "1000"], None),
                        (["record", tmp_path / "out.mcap", "--feed", "-", "--seconds", "5"], path.read_bytes())):
        done = subprocess.run([BIN, *map(str, argv)], input=stdin, capture_output=True, timeout=60,
                              stdin=None if stdin is not None else subprocess.DEVNULL)
        assert done.returncode in (0, 1), (argv, done.returncode, done.stderr[-500:])
        assert b"never nests" in done.stderr, argv


def test_a_record_running_past_its_chunk_ends_the_chunk_in_both_readers(tmp_path):
    path = tmp_path / "past.mcap"
    good = message(1, b"good")
    long_one = message(1, b"0123456789")
    records = good + long_one[:-4]  # the second record claims 4 bytes more than the chunk holds
    path.write_bytes(MAGIC + channel(1, "L") + chunk(records) + chunk(good + b"\x05\x00"))
    ours, stderr = probe_read(path)
    got, said = python_read(path)
    assert got == [b"good", b"good"] and len(ours) == 2
    assert stderr.count("ends inside a record") == 2
    assert sum("ends inside a record" in w for w in said) == 2


def test_many_channel_records_keep_the_readers_memory_bounded(tmp_path):
    # 16,000 channel records of 4 KiB on fresh ids, and 16,000 schema records
    # of 4 KiB: 128 MB that a reader keeping every record would hold. The
    # channel budget is 16 MiB; the tool's export must peak below 40 MB.
    path = tmp_path / "many.mcap"
    pad = b"p" * 4096
    with open(path, "wb") as out:
        out.write(MAGIC)
        for i in range(16_000):
            out.write(record(3, struct.pack("<H", i + 1) + string("s") + string("protobuf") + string(pad)))
            out.write(channel(i + 1, f"id{i}", pad))
        out.write(message(1, b"first") + message(16_000, b"last"))
    assert path.stat().st_size > 128_000_000

    ours, stderr = probe_read(path)
    assert len(ours) == 1 and stderr.count("16 MiB") == 1  # the refused channel's message is skipped quietly

    # The bound is enforced, not read back: a child's peak resident size
    # includes its parent's at the exec, so this test process's own peak
    # (the whole suite's, in one run) would be counted. A data limit holds
    # the export alone (it needs about 26 MB; 10 MB makes it run out).
    def limit_data():
        resource.setrlimit(resource.RLIMIT_DATA, (40 << 20, 40 << 20))

    done = subprocess.run([BIN, "export", str(path)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, preexec_fn=limit_data, timeout=120)
    assert done.returncode in (0, 1) and b"out of memory" not in done.stderr, done.stderr[-300:]

    got, said = python_read(path)
    assert got == [b"first"] and sum("16 MiB" in w for w in said) == 1
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024 < 400  # the test's own reads, whole records


def test_an_id_that_is_not_utf8_still_gives_json(tmp_path):
    import json
    mock = tmp_path / "mock.mcap"
    done = subprocess.run([BIN, "record", str(mock), "--device", "left", "--seconds", "1"], capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=60)
    assert done.returncode == 0, done.stderr
    frames = [m.data for m in read_messages(str(mock))][:5]
    path = tmp_path / "odd.mcap"
    path.write_bytes(MAGIC + channel(1, b"\xff\xfe ok \xc3\xa9") + b"".join(message(1, f, i + 1) for i, f in enumerate(frames)))
    for argv in (["export", path, "--jsonl"], ["replay", path, "--speed", "1000"]):
        done = subprocess.run([BIN, *map(str, argv)], capture_output=True, stdin=subprocess.DEVNULL, timeout=60)
        lines = done.stdout.decode("utf-8").splitlines()  # strict: raw 0xFF bytes would fail here
        assert lines, (argv, done.stderr)
        for line in lines:
            row = json.loads(line)
            assert row.get("device", "\u00ff\u00fe ok \u00e9") == "\u00ff\u00fe ok \u00e9", row


def test_log_times_past_two_to_the_63_stay_unsigned(tmp_path):
    import json
    mock = tmp_path / "mock.mcap"
    done = subprocess.run([BIN, "record", str(mock), "--device", "left", "--seconds", "1"], capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=60)
    assert done.returncode == 0, done.stderr
    frames = [m.data for m in read_messages(str(mock))][:3]
    late = (1 << 63) + 5
    path = tmp_path / "late.mcap"
    path.write_bytes(MAGIC + channel(1, "left") + b"".join(message(1, f, late + i) for i, f in enumerate(frames)))
    done = subprocess.run([BIN, "export", str(path), "--jsonl"], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=60)
    rows = [json.loads(line) for line in done.stdout.splitlines()]
    assert rows, done.stderr
    assert [row["host_time_ns"] for row in rows] == [late + i for i in range(len(rows))]
    assert [row["aligned_time_ns"] for row in rows] == [None] * len(rows)  # never wrapped negative
