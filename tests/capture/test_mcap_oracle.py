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
