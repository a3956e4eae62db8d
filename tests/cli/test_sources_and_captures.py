"""Virtual insoles as the tool's sources walk like a person, and the captures
the tool writes say which insole and foot each sample is from."""

import csv
import io
import os
import pathlib
import subprocess

BIN = os.environ.get("INSOLE_BIN", str(pathlib.Path(__file__).resolve().parents[2] / "build" / "release" / "tools" / "insole"))


def insole(*args):
    return subprocess.run([BIN, *map(str, args)], stdin=subprocess.DEVNULL, capture_output=True, timeout=60, check=False)


def rows_of(path):
    done = insole("export", path)
    assert done.returncode == 0, done.stderr.decode()
    return list(csv.DictReader(io.StringIO(done.stdout.decode())))


def loaded(row):
    """Whether any cell carries load: an unloaded cell reads 0 ohms (open)."""
    return any(row[f"raw_pressure_{i}"] not in ("", "0", "0.0") for i in range(48))


def test_virtual_insoles_walk_unless_told_otherwise(tmp_path):
    walk, stand = tmp_path / "walk.mcap", tmp_path / "stand.mcap"
    # Side by side, to save time.
    procs = [subprocess.Popen([BIN, "record", walk, "--virtual", "left", "--virtual", "right", "--seconds", "10"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE),
             subprocess.Popen([BIN, "record", stand, "--virtual", "left", "--virtual", "right", "--seconds", "3",
                               "--gait", "standing"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)]
    for proc in procs:
        assert proc.wait(timeout=60) == 0, proc.stderr.read().decode()

    rows = rows_of(walk)
    by_foot = {foot: [loaded(r) for r in rows if r["foot"] == foot] for foot in ("left", "right")}
    for foot, stance in by_foot.items():
        assert len(stance) >= 400, foot  # 50 Hz for 10 s
        steps = sum(1 for before, now in zip(stance, stance[1:]) if now and not before)
        assert 6 <= steps <= 14, (foot, steps)  # about 54 strides a minute per foot
        assert 0.2 < stance.count(False) / len(stance) < 0.6, foot  # each foot swings clear part of every stride
    # One walker: the feet swing in turn, so one foot is down nearly always.
    pairs = list(zip(by_foot["left"], by_foot["right"]))
    assert sum(1 for left, right in pairs if not left and not right) < 0.1 * len(pairs)

    standing = rows_of(stand)
    assert len(standing) >= 200 and all(loaded(r) for r in standing)  # never unloads


def test_mock_captures_hold_every_insole_asked_for_and_name_its_foot(tmp_path):
    both = insole("record", tmp_path / "both.mcap", "--device", "left", "--device", "right", "--seconds", "1")
    assert both.returncode == 0 and "of 2 insoles" in both.stdout.decode()
    rows = rows_of(tmp_path / "both.mcap")
    assert sorted({(r["device"], r["foot"]) for r in rows}) == [("left", "left"), ("right", "right")]
    assert len(rows) == 100

    # A raw capture names no foot; the insole's samples do.
    for foot in ("left", "right"):
        raw = tmp_path / f"{foot}.bin"
        assert insole("record", raw, "--device", foot, "--seconds", "1").returncode == 0
        assert {r["foot"] for r in rows_of(raw)} == {foot}

    refused = insole("record", tmp_path / "x.bin", "--device", "left", "--device", "right")
    assert refused.returncode == 2 and refused.stderr.decode().count("\n") == 1
    assert not (tmp_path / "x.bin").exists()


def test_version():
    done = insole("--version")
    (line,) = done.stdout.decode().splitlines()
    assert done.returncode == 0 and done.stderr == b""
    name, version = line.split(" ")
    assert name == "insole" and all(part.isdigit() for part in version.split("."))
    assert insole("--version", "record", "x.mcap").returncode == 0  # asked for, it wins over the rest


def test_export_several_captures_each_beside_itself(tmp_path):
    for name, device in (("a.mcap", "left"), ("b.bin", "right")):
        assert insole("record", tmp_path / name, "--device", device, "--seconds", "1").returncode == 0
    done = insole("export", tmp_path / "a.mcap", tmp_path / "b.bin", "--jsonl")
    assert done.returncode == 0 and done.stdout == b"", done.stderr
    assert len(done.stderr.decode().splitlines()) == 2 and "to " + str(tmp_path / "b.jsonl") in done.stderr.decode()
    single = insole("export", tmp_path / "a.mcap", "--jsonl").stdout
    assert (tmp_path / "a.jsonl").read_bytes() == single and len(single.splitlines()) == 50
    assert len((tmp_path / "b.jsonl").read_bytes().splitlines()) == 50

    # One unreadable capture fails the run, leaves no file, and stops no other.
    (tmp_path / "a.jsonl").unlink()
    failed = insole("export", tmp_path / "missing.mcap", tmp_path / "a.mcap", "--jsonl")
    assert failed.returncode == 1 and (tmp_path / "a.jsonl").exists() and not (tmp_path / "missing.jsonl").exists()

    # Nothing is written where it would overwrite a capture or another export.
    for args in ([tmp_path / "a.mcap", tmp_path / "a.bin"], [tmp_path / "a.mcap", "-"], [tmp_path / "a.mcap", tmp_path / "b.csv"]):
        refused = insole("export", *args)
        assert refused.returncode == 2 and refused.stdout == b"", args
    assert not (tmp_path / "a.csv").exists()


def test_a_full_descriptor_table_does_not_spin_the_listener():
    # 100 connections under a limit of 64 descriptors: accept fails while they
    # are held, and the listener must wait rather than poll at full speed.
    import re
    import socket
    import time
    proc = subprocess.Popen(["bash", "-c", f'ulimit -n 64; exec "{BIN}" virtual --listen 127.0.0.1:0 --seconds 6'],
                            stderr=subprocess.PIPE, text=True)
    try:
        port = int(re.search(r":(\d+)", proc.stderr.readline()).group(1))
        held = [socket.create_connection(("127.0.0.1", port)) for _ in range(100)]

        def cpu_seconds():
            fields = open(f"/proc/{proc.pid}/stat").read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

        time.sleep(1)
        before = cpu_seconds()
        time.sleep(2)
        share = (cpu_seconds() - before) / 2
        assert share < 0.3, f"{share:.0%} of a core while the table is full"
        proc.wait(timeout=30)
        assert "cannot accept a connection (Too many open files)" in proc.stderr.read()
        for s in held:
            s.close()
    finally:
        proc.kill()
        proc.wait()
