#!/usr/bin/env bash
# Builds and runs every test: the fuzz targets for a short bounded time, the
# suite under ASan+UBSan, then the suite in a normal build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

jobs=$(nproc)
fuzz_seconds=${TVIS_FUZZ_SECONDS:-30}

echo "== fuzz targets (clang, libFuzzer, ASan+UBSan), ${fuzz_seconds}s each"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTVIS_BUILD_TESTS=OFF -DTVIS_BUILD_FUZZ=ON -DTVIS_SANITIZE=address,undefined >/dev/null
cmake --build build/fuzz -j "$jobs"
mkdir -p build/fuzz/artifacts
for target in build/fuzz/tests/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus=build/fuzz/corpus/$name
  mkdir -p "$corpus"
  seeds=()
  [ -d "tests/fuzz/corpus/$name" ] && seeds=("tests/fuzz/corpus/$name")
  log=build/fuzz/$name.log
  if "$target" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
       -artifact_prefix=build/fuzz/artifacts/ "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    echo "$name: $(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}') executions, no finding"
  else
    tail -n 40 "$log"
    echo "$name: FAILED (input saved under build/fuzz/artifacts/)"
    exit 1
  fi
done

echo "== unit tests under ASan+UBSan"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTVIS_SANITIZE=address,undefined >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs" | tail -n 3

echo "== unit tests"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"
