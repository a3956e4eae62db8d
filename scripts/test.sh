#!/usr/bin/env bash
# Builds and runs every test: the fuzz targets for a short bounded time, the
# C++ suite under ASan+UBSan, the concurrency tests under TSan, the Python
# suite, then the C++ suite in a normal build (its summary closes the run).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
. scripts/ccache_env.sh

jobs=$(nproc)
fuzz_seconds=${TVIS_FUZZ_SECONDS:-30}
python=/usr/bin/python3

echo "== fuzz targets (clang, libFuzzer, ASan+UBSan), ${fuzz_seconds}s each"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTVIS_BUILD_TESTS=OFF -DTVIS_BUILD_PYTHON=OFF -DTVIS_BUILD_FUZZ=ON -DTVIS_SANITIZE=address,undefined >/dev/null
# tests/all: the fuzz programs and what they link, not the tool or the shared library.
cmake --build build/fuzz -j "$jobs" --target tests/all
mkdir -p build/fuzz/artifacts
# Each program runs alone for its full time; one program per core at once.
fuzz_one() {
  local target=$1 name corpus seeds=()
  name=$(basename "$target")
  corpus=build/fuzz/corpus/$name
  mkdir -p "$corpus"
  [ -d "tests/fuzz/corpus/$name" ] && seeds=("tests/fuzz/corpus/$name")
  "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
    -artifact_prefix=build/fuzz/artifacts/ "$corpus" "${seeds[@]}" >"build/fuzz/$name.log" 2>&1
}
fuzz_report() {  # waits for the running programs, in the order they started
  local i name log failed=0
  for i in "${!running[@]}"; do
    name=$(basename "${running[$i]}")
    log=build/fuzz/$name.log
    if wait "${pids[$i]}"; then
      echo "$name: $(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}') executions, no finding"
    else
      tail -n 40 "$log"
      echo "$name: FAILED (input saved under build/fuzz/artifacts/)"
      failed=1
    fi
  done
  running=() pids=()
  return "$failed"
}
running=() pids=()
for target in build/fuzz/tests/fuzz_*; do
  [ -x "$target" ] || continue
  fuzz_one "$target" &
  running+=("$target") pids+=($!)
  if ((${#running[@]} >= jobs)); then fuzz_report || exit 1; fi
done
fuzz_report || exit 1

echo "== C++ tests under ASan+UBSan"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTVIS_BUILD_PYTHON=OFF \
  -DTVIS_SANITIZE=address,undefined >/dev/null
# Everything ctest runs; the tool itself (tools/) only as far as tests link its parts.
cmake --build build/asan -j "$jobs" --target sdk/all tests/all examples/all
ctest --test-dir build/asan --output-on-failure -j "$jobs" -LE soak | tail -n 3

echo "== threaded tests under TSan"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTVIS_BUILD_PYTHON=OFF \
  -DTVIS_SANITIZE=thread >/dev/null
cmake --build build/tsan -j "$jobs" --target tvis_capi_tests tvis_sim_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build/tsan --output-on-failure -j "$jobs" -R 'Concurrency|Reentr|Dfu|Mock|Sim' | tail -n 3

echo "== normal build"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE="$python" >/dev/null
cmake --build build/release -j "$jobs"

bash scripts/check_install.sh build/release

echo "== Python tests"
INSOLE_BIN=build/release/tools/insole PYTHONPATH=build/release/python "$python" -m pytest tests/python -q -p no:cacheprovider
# The one abi3 binary serves every CPython from 3.10 on.
for other in /root/.pyenv/versions/3.1[0-9]*/bin/python3; do
  [ -x "$other" ] || continue
  PYTHONPATH=build/release/python "$other" -c \
    "import sys, trova_insole_sdk as t; assert t.calibrate_pressure([10000], 2) == [52.91]; print('works under', sys.version.split()[0])"
done

echo "== capture files against the reference MCAP implementation"
CAPTURE_PROBE=build/release/tests/capture_probe PYTHONPATH=build/release/python "$python" -m pytest tests/capture -q -p no:cacheprovider

echo "== command-line tool"
INSOLE_BIN=build/release/tools/insole "$python" -m pytest tests/cli -q -p no:cacheprovider

echo "== the browser view: HTTP rules, slow pages, headless Chromium (screenshot: build/release/view-screenshot.png)"
INSOLE_BIN=build/release/tools/insole VIEW_SCREENSHOT=build/release/view-screenshot.png \
  "$python" -m pytest tests/view -q -p no:cacheprovider
echo "== MQTT bridge against a real broker (mosquitto on 127.0.0.1)"
INSOLE_BIN=build/release/tools/insole "$python" -m pytest tests/bridge -q -p no:cacheprovider

echo "== every command of the README and the examples, as written (fresh clone, fresh venv)"
"$python" scripts/check_docs.py

echo "== C++ tests (with a one-minute soak of 200 mock insoles)"
ctest --test-dir build/release --output-on-failure -j "$jobs"
