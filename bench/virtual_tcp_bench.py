"""Virtual insoles over TCP on loopback: N insoles at 50 Hz reach a host, and
nothing is lost. Prints figures; asserts nothing.

    INSOLE_BIN=build/release/tools/insole PYTHONPATH=build/release/python \
        /usr/bin/python3 bench/virtual_tcp_bench.py [insoles] [seconds]
"""

import os
import re
import selectors
import socket
import subprocess
import sys
import time

import trova_insole_sdk as sdk

TOOL = os.environ.get("INSOLE_BIN", "build/release/tools/insole")


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main(insoles=200, seconds=10.0):
    server = subprocess.Popen([TOOL, "virtual", "--listen", "127.0.0.1:0", "--seconds", str(seconds + 5)],
                              stderr=subprocess.PIPE, text=True)
    port = int(re.search(r":(\d+), one per connection", server.stderr.readline()).group(1))
    selector = selectors.DefaultSelector()
    parsers = []
    for i in range(insoles):
        conn = socket.create_connection(("127.0.0.1", port))
        conn.setblocking(False)
        parser = sdk.StreamParser()
        parsers.append(parser)
        selector.register(conn, selectors.EVENT_READ, parser)
        conn.sendall(sdk.build_enable_sensor_stream_request(1, 50))
    start_cpu, start = cpu_seconds(server.pid), time.perf_counter()
    host_cpu = time.process_time()
    while time.perf_counter() - start < seconds:
        for key, _ in selector.select(timeout=0.1):
            data = key.fileobj.recv(1 << 16)
            if data:
                key.data.push(data)
    elapsed = time.perf_counter() - start
    server_cpu = cpu_seconds(server.pid) - start_cpu
    host_cpu = time.process_time() - host_cpu
    frames = sum(p.stats()["frames_received"] for p in parsers)
    lost = sum(p.stats()["packets_lost"] for p in parsers)
    gaps = sum(p.stats()["sequence_discontinuities"] for p in parsers)
    print(f"{insoles} virtual insoles x 50 Hz over loopback TCP for {elapsed:.1f} s: {frames} frames "
          f"({frames / elapsed:.0f}/s, expected {insoles * 50}/s), {lost} lost, {gaps} sequence gaps")
    print(f"insole virtual CPU: {server_cpu / elapsed * 100:.1f} % of a core; host (Python, StreamParser): "
          f"{host_cpu / elapsed * 100:.1f} %")
    server.terminate()
    server.wait()


if __name__ == "__main__":
    main(*(int(sys.argv[1]),) if len(sys.argv) > 1 else (), *(float(sys.argv[2]),) if len(sys.argv) > 2 else ())
