"""Our capture files against the reference MCAP implementation (@mcap/core, from
npm), both ways: it reads what we write (stream and indexed reads, CRCs and
summary checked), and we read what it writes, chunked and not."""

import os
import pathlib
import subprocess

import pytest

HERE = pathlib.Path(__file__).resolve().parent
PROBE = os.environ.get("CAPTURE_PROBE", str(HERE.parents[1] / "build" / "release" / "tests" / "capture_probe"))


def run(*argv):
    done = subprocess.run([str(a) for a in argv], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout, done.stderr


def oracle(*args):
    return run("node", HERE / "mcap_oracle.mjs", *args)


@pytest.mark.parametrize("mode", [[], ["--live"]])
def test_the_reference_reads_what_we_write(tmp_path, mode):
    path = tmp_path / "ours.mcap"
    run(PROBE, "write", path, *mode)
    theirs, _ = oracle("read", path)
    ours, warnings = run(PROBE, "read", path)
    assert theirs == ours and warnings == ""
    assert len(ours.splitlines()) == 41  # 40 messages and the session metadata


@pytest.mark.parametrize("mode", [[], ["--unchunked"]])
def test_we_read_what_the_reference_writes(tmp_path, mode):
    path = tmp_path / "theirs.mcap"
    oracle("write", path, *mode)
    ours, warnings = run(PROBE, "read", path)
    assert ours == oracle("read", path)[0] and warnings == ""
    assert len(ours.splitlines()) == 13


@pytest.mark.parametrize("live", [False, True])
def test_the_python_writer_and_reader_agree_with_both(tmp_path, live):
    import sys
    sys.path.insert(0, str(HERE.parents[1] / "python"))
    from trova_insole import CaptureWriter, read_messages

    path = tmp_path / "python.mcap"
    with open(path, "wb") as out, CaptureWriter(out, metadata={"k": "v"}, live=live) as capture:
        left, right = capture.add_insole("L1", "left"), capture.add_insole("R1", "right")
        for i in range(30):  # three chunks of a second's receive time
            capture.write(right if i % 3 else left, bytes([i]) * (1 + i % 4), log_time_ns=i * 100_000_000)
    ours, warnings = run(PROBE, "read", path)
    assert ours == oracle("read", path)[0] and warnings == ""
    assert [(m.device_id, m.log_time_ns, m.data.hex()) for m in read_messages(path)] == [
        ("R1" if "R1" in line else "L1", int(line.split('"log_time":"')[1].split('"')[0]),
         line.split('"data":"')[1].split('"')[0]) for line in ours.splitlines() if '"topic"' in line]
