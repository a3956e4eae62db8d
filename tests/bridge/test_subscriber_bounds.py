"""The subscriber against what a hostile or careless publisher can send
through a real broker: topics that climb out of --out, empty and overlong
levels, forged message numbers, more insoles than descriptors, and a long
run whose memory must stay bounded."""

import os
import signal
import subprocess
import time

from conftest import INSOLE, Broker
from mqtt_publish import count_messages, publish_all, publish_packet

FRAME = b"TRVA\x02\x21\x03\x00\x01\x02\x00abc\x00\x00"  # a frame's magic is all the subscriber checks


def start_subscriber(broker, out, limit=None):
    command = [INSOLE, "bridge", "--subscribe", "--broker", broker.url, "--out", str(out)]
    if limit:
        command = ["bash", "-c", f'ulimit -n {limit}; exec "$@"', "bash", *command]
    sub = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = sub.stderr.readline()
    assert line.startswith("subscribed to"), line
    time.sleep(0.5)
    return sub


def stop(sub, settle=1.0):
    time.sleep(settle)
    sub.send_signal(signal.SIGTERM)
    out, err = sub.communicate(timeout=120)
    return sub.returncode, out, err


def numbered(topic, n, run="r1"):
    return publish_packet(topic, FRAME, [("run", run), ("n", str(n)), ("t", str(time.time_ns()))])


def test_hostile_topics_stay_inside_out_and_the_other_insoles_go_on(broker, tmp_path):
    out = tmp_path / "out"
    beside = tmp_path / "evil.mcap"
    beside.write_bytes(b"an earlier file that must stay")
    before = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*") if out not in p.parents)
    sub = start_subscriber(broker, out)
    long_level = "d" * 300
    packets = [numbered("insoles/h/good/sensor", n) for n in range(1, 6)]
    packets += [numbered(t, 1) for t in ("insoles/../evil/sensor", "insoles/h//sensor", f"insoles/h/{long_level}/sensor",
                                         "insoles/h/.hidden/sensor")]
    packets += [numbered("insoles/h/good/sensor", n) for n in range(6, 11)]
    publish_all(broker.port, packets)
    code, stdout, stderr = stop(sub)
    assert code == 0, stderr
    assert stdout.startswith("received 14 messages of 5 insoles"), stdout
    after = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*") if out not in p.parents and p != out)
    assert [p for p in after if p not in before and not str(p).startswith("db")] == []
    assert beside.read_bytes() == b"an earlier file that must stay"
    names = sorted(str(p.relative_to(out)) for p in out.rglob("*.mcap"))
    cut = [n for n in names if n.startswith("h/ddd")]
    assert len(cut) == 1 and len(cut[0]) == len("h/") + 201 + len(".mcap"), names
    assert names == sorted(["%2E./evil.mcap", "h/%.mcap", "h/%2Ehidden.mcap", "h/good.mcap", cut[0]])
    assert count_messages(out / "h" / "good.mcap") == 10


def test_forged_numbers_drop_nothing_real_and_non_numbers_are_malformed(broker, tmp_path):
    out = tmp_path / "out"
    sub = start_subscriber(broker, out)
    topic = "insoles/h/left/sensor"
    packets = [numbered(topic, n) for n in range(1, 6)]
    packets.append(numbered(topic, 2**64 - 1))
    packets += [numbered(topic, n) for n in range(6, 11)]
    packets.append(numbered(topic, 3))  # a copy
    packets.append(publish_packet(topic, FRAME, [("run", "r1"), ("n", "eleven")]))
    packets.append(publish_packet(topic, FRAME, [("run", "r1"), ("n", "12"), ("t", "later")]))
    publish_all(broker.port, packets)
    code, stdout, stderr = stop(sub)
    assert code == 0, stderr
    assert stdout.startswith("received 11 messages of 1 insole into"), stdout
    assert "(1 duplicates left out)" in stdout
    assert "; 2 malformed messages not written (a message number, time or run id that is not one)" in stdout
    assert count_messages(out / "h" / "left.mcap") == 11


def test_more_insoles_than_descriptors_are_all_captured(broker, tmp_path):
    """122 insoles in turn under a limit of 128 descriptors: every message is
    captured, the least recently written captures going on in +N parts."""
    out = tmp_path / "out"
    sub = start_subscriber(broker, out, limit=128)
    devices = [f"insoles/h/d{i:03d}/sensor" for i in range(122)]
    publish_all(broker.port, [numbered(d, n) for n in range(1, 4) for d in devices])
    code, stdout, stderr = stop(sub, settle=2)
    assert code == 0, stderr
    assert stdout.startswith("received 366 messages of 122 insoles"), stdout
    assert "captures continued in a new part (+N)" in stdout
    for i in range(122):
        parts = list((out / "h").glob(f"d{i:03d}.mcap")) + list((out / "h").glob(f"d{i:03d}+*.mcap"))
        assert sum(count_messages(p) for p in parts) == 3, i


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))


def wait_idle(pid):
    """Until the subscriber has used no CPU for 1.5 s: it has taken what the broker had."""
    last, idle_since = -1, time.monotonic()
    while time.monotonic() - idle_since < 1.5:
        time.sleep(0.25)
        ticks = cpu_ticks(pid)
        if ticks != last:
            last, idle_since = ticks, time.monotonic()


# 300,000 messages: 100 from each of 500 insoles, then 5,000 more from 50 of
# them. The peak resident memory stays under PEAK_LIMIT_MIB, and the last
# 125,000 messages raise it by less than GROWTH_LIMIT_MIB (8 bytes kept per
# message would be 0.95 MiB). What the run keeps is fixed: the latency sample
# (512 KiB), one chunk per open capture (at most 64 KiB), the copies window
# of each insole (about 4 KiB at most).
PEAK_LIMIT_MIB = 48
GROWTH_LIMIT_MIB = 0.6


def test_a_long_run_stays_bounded_in_memory(tmp_path):
    # The broker may queue without bound here: the test is the subscriber's memory.
    broker = Broker(tmp_path, "allow_anonymous true\nmax_queued_messages 0\nmax_queued_bytes 0\n")
    try:
        out = tmp_path / "out"
        sub = start_subscriber(broker, out)
        devices = [f"insoles/h{i % 5}/d{i:03d}/sensor" for i in range(500)]
        publish_all(broker.port, [numbered(d, n) for n in range(1, 101) for d in devices])
        peaks = []
        for half in (range(101, 2601), range(2601, 5101)):
            for start in range(half.start, half.stop, 250):
                publish_all(broker.port, [numbered(d, n) for n in range(start, start + 250) for d in devices[:50]])
            wait_idle(sub.pid)
            peaks.append(peak_rss_kib(sub.pid) / 1024)
        code, stdout, stderr = stop(sub, settle=0)
        assert code == 0, stderr
        assert stdout.startswith("received 300000 messages of 500 insoles"), stdout
        print(f"subscriber peak resident memory: {peaks[0]:.2f} MiB after 175000 messages, "
              f"{peaks[1]:.2f} MiB after 300000 (500 insoles)")
        assert peaks[1] < PEAK_LIMIT_MIB, peaks
        assert peaks[1] - peaks[0] < GROWTH_LIMIT_MIB, peaks
    finally:
        broker.stop()
