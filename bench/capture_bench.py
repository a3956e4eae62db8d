"""Capture benchmarks: export speed, read_capture against the road a user would
write today, and the cost of recording. Prints figures; asserts nothing.

Times are wall clock and CPU (this process and the tools it ran); on a loaded
machine the CPU figures are the steadier ones.

    INSOLE_BIN=build/release/tools/insole PYTHONPATH=build/release/python:python \
        /usr/bin/python3 bench/capture_bench.py
"""

import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import trova_insole_sdk as sdk
from trova_insole import CaptureWriter, read_capture, read_messages

TOOL = os.environ.get("INSOLE_BIN", "build/release/tools/insole")


def one_hour_of_two_insoles(folder: Path) -> Path:
    """3,600 s x 50 Hz x 2 feet = 360,000 samples, interleaved by receive time."""
    for foot in ("left", "right"):
        subprocess.run([TOOL, "record", str(folder / f"{foot}.mcap"), "--device", foot, "--seconds", "3600"],
                       check=True, capture_output=True)
    path = folder / "hour.mcap"
    left, right = read_messages(folder / "left.mcap"), read_messages(folder / "right.mcap")
    with open(path, "wb") as out, CaptureWriter(out, metadata={"source": "benchmark"}) as capture:
        channels = {"left": capture.add_insole("left", "left"), "right": capture.add_insole("right", "right")}
        for a, b in zip(left, right):
            capture.write(channels["left"], a.data, a.log_time_ns)
            capture.write(channels["right"], b.data, b.log_time_ns + 10_000_000)
    return path


def one_hour_of_resistances(folder: Path) -> Path:
    """360,000 samples of virtual insoles, which send cell resistances only, so
    that the export calibrates every cell: four seconds recorded, repeated."""
    short = folder / "virtual.mcap"
    subprocess.run([TOOL, "record", str(short), "--virtual", "left", "--virtual", "right", "--seconds", "4"],
                   check=True, capture_output=True)
    messages = list(read_messages(short))
    path = folder / "hour_ohms.mcap"
    span = messages[-1].log_time_ns - messages[0].log_time_ns + 20_000_000
    with open(path, "wb") as out, CaptureWriter(out, metadata={"source": "benchmark"}) as capture:
        channels = {"left": capture.add_insole("left", "left"), "right": capture.add_insole("right", "right")}
        written = 0
        for repeat in range(10**6):
            for m in messages:
                capture.write(channels[m.foot], m.data, m.log_time_ns + repeat * span)
                written += 1
                if written == 360_000:
                    return path
    return path


def user_road(path: Path):
    """StreamParser per insole, json.loads, then a DataFrame of flattened samples."""
    import pandas
    parsers, rows = {}, []
    for message in read_messages(path):
        parser = parsers.setdefault(message.device_id, sdk.StreamParser())
        for text in parser.push(message.data):
            sd = json.loads(text).get("sensorData")
            if sd:
                row = {"host_time_ns": message.log_time_ns, "device": message.device_id, "seq": sd.get("seqNum", 0)}
                for i, v in enumerate(sd.get("pressureData", {}).get("pressure", [])):
                    row[f"pressure_{i}"] = v
                rows.append(row)
    return pandas.DataFrame(rows)


def cpu(fn):
    start = time.process_time(), time.perf_counter()
    result = fn()
    return result, time.process_time() - start[0], time.perf_counter() - start[1]


def timed(fn):
    """fn's result, wall seconds, and CPU seconds of this process and its children."""
    def used():
        own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
        return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime
    cpu0, wall0 = used(), time.perf_counter()
    result = fn()
    return result, time.perf_counter() - wall0, used() - cpu0


def main():
    with tempfile.TemporaryDirectory() as tmp:
        path = one_hour_of_two_insoles(Path(tmp))
        print(f"capture: {path.stat().st_size / 1e6:.1f} MB")
        runs = []
        for _ in range(3):
            done, wall, used = timed(lambda: subprocess.run([TOOL, "export", str(path), "--csv"],
                                                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE))
            runs.append((wall, used))
        wall, used = min(runs)
        print(f"insole export --csv: 360,000 samples in {wall:.2f} s wall, {used:.2f} s CPU (best of 3)"
              f" = {360_000 / wall / 1e6:.2f} M samples/s wall, {360_000 / used / 1e6:.2f} M samples/s CPU"
              f"  ({done.stderr.decode().strip()})")
        ohms = one_hour_of_resistances(Path(tmp))
        runs = []
        for _ in range(3):
            done, wall, used = timed(lambda: subprocess.run([TOOL, "export", str(ohms), "--csv"],
                                                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE))
            runs.append((wall, used))
        wall, used = min(runs)
        print(f"insole export --csv, resistances (every cell calibrated): {wall:.2f} s wall, {used:.2f} s CPU"
              f" (best of 3) = {360_000 / wall / 1e6:.2f} M samples/s wall")
        _, ohms_wall, ohms_cpu = timed(lambda: read_capture(ohms))
        print(f"read_capture -> DataFrame, resistances: {ohms_wall:.2f} s wall, {ohms_cpu:.2f} s CPU")
        import pandas  # noqa: F401  (both roads build a DataFrame: neither pays for the import)
        frame, fast_wall, fast_cpu = timed(lambda: read_capture(path))
        road, road_wall, road_cpu = timed(lambda: user_road(path))
        assert len(frame) == len(road) == 360_000
        print(f"read_capture -> DataFrame: {fast_wall:.2f} s wall, {fast_cpu:.2f} s CPU;"
              f" StreamParser + json.loads + DataFrame: {road_wall:.2f} s wall, {road_cpu:.2f} s CPU"
              f" -> {road_wall / fast_wall:.1f}x wall, {road_cpu / fast_cpu:.1f}x CPU")

        # Recording at 2 x 200 Hz: the CPU one hour of notifications costs the writer.
        data = next(read_messages(path)).data
        def record():
            with open(os.devnull, "wb") as out, CaptureWriter(out) as capture:
                a, b = capture.add_insole("left", "left"), capture.add_insole("right", "right")
                for i in range(3600 * 200):
                    capture.write(a, data, i * 5_000_000)
                    capture.write(b, data, i * 5_000_000 + 1)
        _, cpu_s, _ = cpu(record)
        print(f"recording 2 x 200 Hz in Python: {cpu_s:.1f} s CPU per hour = {cpu_s / 3600 * 100:.2f} % of a core")


if __name__ == "__main__":
    sys.exit(main())
