"""The browser view's figures: latency from a frame entering the receive path
to a WebSocket client's receipt of the snapshot that carries it (2 insoles x
100 Hz, loopback), the server's CPU for 2 insoles at 50 Hz, and 10 clients at
once with the frames the source delivered counted. Measures, asserts nothing.

  python3 bench/view_bench.py [BUILD_DIR]   (default build/release)

The 100 Hz feeder is bench/view_bench.cpp (target view_bench, built here);
the CPU figure is of `insole view` itself on its mock insoles (50 Hz)."""

import json
import os
import pathlib
import statistics
import subprocess
import sys
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "view"))
from view_client import WsClient, start_server  # noqa: E402

BUILD = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build" / "release")
INSOLE = BUILD / "tools" / "insole"
FEEDER = BUILD / "tools" / "view_bench"


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def read_snapshots(port, seconds, out, errors):
    try:
        client = WsClient(port)
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            text = client.recv()
            out.append((time.time_ns(), json.loads(text)))
        client.close()
    except Exception as e:  # noqa: BLE001 - reported, the run goes on
        errors.append(repr(e))


def latency(rate=100, seconds=15):
    proc, port = start_server([FEEDER, "--insoles", 2, "--rate", rate, "--seconds", seconds + 3])
    time.sleep(1)
    got, errors = [], []
    read_snapshots(port, seconds, got, errors)
    tail = proc.communicate(timeout=30)[0].decode().strip()
    ages = [(at - insole["host_time_ns"]) / 1e6 for at, snap in got for insole in snap["insoles"]]
    print(f"latency, 2 insoles x {rate} Hz, 1 client: {len(got)} snapshots "
          f"({len(got) / seconds:.1f}/s), frame -> client p50 {percentile(ages, 50):.2f} ms, "
          f"p99 {percentile(ages, 99):.2f} ms, max {max(ages):.2f} ms")
    print(f"  {tail.splitlines()[-1]}")


def cpu_ticks(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def cpu(seconds=20):
    proc, port = start_server([INSOLE, "view", "--seconds", seconds + 6])
    got, errors = [], []
    reader = threading.Thread(target=read_snapshots, args=(port, seconds + 3, got, errors))
    reader.start()
    time.sleep(2)
    hz = os.sysconf("SC_CLK_TCK")
    t0, c0 = time.monotonic(), cpu_ticks(proc.pid)
    time.sleep(seconds)
    t1, c1 = time.monotonic(), cpu_ticks(proc.pid)
    reader.join()
    proc.communicate(timeout=30)
    share = (c1 - c0) / hz / (t1 - t0) * 100
    print(f"cpu, insole view on 2 mock insoles x 50 Hz, 1 client at 30 snapshots/s: {share:.2f} % of one core "
          f"(mock source, decoding and server together, over {t1 - t0:.0f} s)")


def many_clients(clients=10, rate=100, seconds=15):
    proc, port = start_server([FEEDER, "--insoles", 2, "--rate", rate, "--seconds", seconds + 3])
    time.sleep(1)
    results = [[] for _ in range(clients)]
    errors = []
    threads = [threading.Thread(target=read_snapshots, args=(port, seconds, results[i], errors))
               for i in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    tail = proc.communicate(timeout=30)[0].decode().strip().splitlines()[-1]
    lost = max(insole["lost"] for got in results for insole in got[-1][1]["insoles"]) if all(results) else "?"
    counts = [len(got) for got in results]
    print(f"{clients} clients, 2 insoles x {rate} Hz: snapshots per client {min(counts)}..{max(counts)} "
          f"in {seconds} s, packets lost at the source {lost}, client errors {len(errors)}")
    print(f"  {tail}")

    # The same with the tool itself and its 50 Hz mock insoles.
    proc, port = start_server([INSOLE, "view", "--seconds", seconds + 3])
    results = [[] for _ in range(clients)]
    threads = [threading.Thread(target=read_snapshots, args=(port, seconds, results[i], errors))
               for i in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    tail = proc.communicate(timeout=30)[0].decode().strip().splitlines()[-1]
    last = results[0][-1][1]["insoles"]
    print(f"{clients} clients, insole view on its mock insoles: lost {[i['lost'] for i in last]}, "
          f"frames {[i['frames'] for i in last]} = seq {[i['seq'] for i in last]}")
    print(f"  {tail}")


if __name__ == "__main__":
    subprocess.run(["cmake", "--build", str(BUILD), "--target", "view_bench", "insole"], check=True,
                   stdout=subprocess.DEVNULL)
    latency()
    cpu()
    many_clients()
