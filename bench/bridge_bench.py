#!/usr/bin/env python3
"""Many insoles through one MQTT bridge to one subscriber: samples lost,
end-to-end latency (receive time at the bridge to arrival at the subscriber)
and the bridge's CPU. Starts its own mosquitto on 127.0.0.1 at a free port.

    python3 bench/bridge_bench.py [--insoles 200] [--seconds 20] [--insole build/release/tools/insole]

Measures, asserts nothing. The insoles are virtual insoles streaming at 50 Hz
(--virtual left|right, half of each foot; --mock for mock insoles)."""

import argparse
import csv
import getpass
import io
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port):
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return
        except OSError:
            time.sleep(0.05)
    raise SystemExit("mosquitto did not start")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--insoles", type=int, default=200)
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--insole", default="build/release/tools/insole")
    ap.add_argument("--mock", action="store_true", help="mock insoles instead of virtual ones")
    # mosquitto queues 1000 messages per subscriber by default and drops past
    # that: a tenth of a second of 200 insoles.
    ap.add_argument("--broker-queue", type=int, default=100000, help="max_queued_messages (mosquitto: 1000)")
    # ... and takes 20 unacknowledged messages from a client: a round trip
    # per 20 messages, too few for 10000 messages a second on a busy machine.
    ap.add_argument("--broker-inflight", type=int, default=1000, help="max_inflight_messages (mosquitto: 20)")
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="bridge-bench-")
    port = free_port()
    conf = os.path.join(work, "mosquitto.conf")
    with open(conf, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\nuser {getpass.getuser()}\n"
                f"max_queued_messages {args.broker_queue}\nmax_inflight_messages {args.broker_inflight}\n")
    log = open(os.path.join(work, "broker.log"), "w")
    broker = subprocess.Popen([shutil.which("mosquitto") or "/usr/sbin/mosquitto", "-c", conf], stdout=log, stderr=log)
    try:
        wait_for_port(port)
        url = f"mqtt://127.0.0.1:{port}"
        out = os.path.join(work, "out")
        sub = subprocess.Popen([args.insole, "bridge", "--subscribe", "--broker", url, "--out", out],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        sub.stderr.readline()
        time.sleep(0.5)
        if args.mock:
            ids = [f"bench-{i:03d}" for i in range(args.insoles)]
            sources = [a for i in ids for a in ("--mock", i)]
        else:
            # The tool names repeated feet left, left-2, left-3, ...
            feet = ["left" if i % 2 == 0 else "right" for i in range(args.insoles)]
            ids = [f if n == 0 else f"{f}-{n + 1}" for f in ("left", "right") for n in range(feet.count(f))]
            sources = [a for f in feet for a in ("--virtual", f)]
        started = time.monotonic()
        bridge = subprocess.Popen([args.insole, "bridge", "--broker", url, "--raw", "--host-name", "bench",
                                   "--seconds", str(args.seconds), "--ack-timeout", "30", *sources],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        _, status, usage = os.wait4(bridge.pid, 0)
        wall = time.monotonic() - started
        bridge_line = bridge.stdout.read().strip()
        time.sleep(2)
        sub.send_signal(signal.SIGTERM)
        sub_line = sub.communicate(timeout=120)[0].strip()

        published = int(bridge_line.split()[1])
        received = int(sub_line.split()[1])
        lost_samples = 0
        for i in ids:
            path = os.path.join(out, "bench", i + ".mcap")
            if not os.path.exists(path):
                lost_samples += int(args.seconds * 50)
                continue
            rows = subprocess.run([args.insole, "export", path], capture_output=True, text=True).stdout
            seqs = [int(r["seq"]) for r in csv.DictReader(io.StringIO(rows))]
            lost_samples += (max(seqs) - len(seqs)) if seqs else 0
        cpu = usage.ru_utime + usage.ru_stime
        print(f"insoles: {args.insoles} x 50 Hz for {args.seconds:g} s ({'mock' if args.mock else 'virtual'} insoles), broker max_queued_messages {args.broker_queue}, "
              f"max_inflight_messages {args.broker_inflight}")
        print(f"bridge:     {bridge_line}")
        print(f"subscriber: {sub_line}")
        print(f"messages published {published}, captured {received}, lost {published - received}; "
              f"samples missing from the sequences: {lost_samples}")
        print(f"bridge CPU: {cpu:.2f} s over {wall:.1f} s wall = {100 * cpu / wall:.0f}% of one core "
              f"(peak RSS {usage.ru_maxrss / 1024:.0f} MiB)")
    finally:
        broker.terminate()
        broker.wait()
        log.close()
        with open(os.path.join(work, "broker.log")) as f:
            warnings = [line.strip() for line in f if "drop" in line.lower()]
        if warnings:
            print("broker: " + warnings[0] + (f" (and {len(warnings) - 1} more)" if len(warnings) > 1 else ""))
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
