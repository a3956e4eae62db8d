"""Gait benchmarks: `insole gait` against `insole export --binary` on the same
one-hour two-insole captures (alternating runs, the median of their ratios),
and `insole gait --forces` over the public walking recordings. Prints
figures; asserts nothing.

    INSOLE_BIN=build/release/tools/insole PYTHONPATH=build/release/python:python \
        /usr/bin/python3 bench/gait_bench.py [--pairs N]

The walking recordings are read from GAITPDB_DIR, else ../shared/datasets/gaitpdb
beside the project; that part is skipped when neither is there.
"""

import argparse
import lzma
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from capture_bench import one_hour_of_resistances, one_hour_of_two_insoles  # noqa: E402

TOOL = os.environ.get("INSOLE_BIN", "build/release/tools/insole")
GAITPDB = Path(os.environ.get("GAITPDB_DIR", Path(__file__).resolve().parents[2] / "shared" / "datasets" / "gaitpdb"))


def run(args) -> tuple[float, float]:
    """Wall seconds and the child's CPU seconds (user + system) of one run."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([TOOL, *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def compare(name: str, path: Path, pairs: int) -> None:
    ratios, gait_cpu, export_cpu = [], [], []
    for _ in range(pairs):
        _, e = run(["export", str(path), "--binary"])
        _, g = run(["gait", str(path), "--summary"])
        export_cpu.append(e)
        gait_cpu.append(g)
        ratios.append(g / e)
    print(f"{name}: insole gait --summary {statistics.median(gait_cpu):.2f} s CPU, "
          f"insole export --binary {statistics.median(export_cpu):.2f} s CPU (medians of {pairs}); "
          f"ratio per pair {' '.join(f'{r:.2f}' for r in ratios)}, median {statistics.median(ratios):.2f}x")


def public_data() -> None:
    files = sorted(GAITPDB.glob("*.txt.xz"))
    if not files:
        print(f"public walking recordings: skipped, none in {GAITPDB} (set GAITPDB_DIR)")
        return
    samples = sum(sum(1 for line in lzma.open(f, "rt") if line.strip()) for f in files)
    wall, used = run(["gait", "--forces", *map(str, files), "--time-column", "1", "--left-columns", "2-9",
                      "--right-columns", "10-17", "--summary"])
    print(f"insole gait --forces over {len(files)} recordings, {samples:,} samples (rows, both feet): "
          f"{wall:.2f} s wall, {used:.2f} s CPU = {samples / wall:,.0f} samples/s wall")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=7, help="alternating runs of each command per capture")
    pairs = parser.parse_args().pairs
    with tempfile.TemporaryDirectory() as tmp:
        compare("one hour, two insoles, cell values (device units)", one_hour_of_two_insoles(Path(tmp)), pairs)
        compare("one hour, two virtual insoles walking, cell resistances (newtons)",
                one_hour_of_resistances(Path(tmp)), pairs)
    public_data()
    return 0


if __name__ == "__main__":
    sys.exit(main())
