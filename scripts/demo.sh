#!/usr/bin/env bash
# Builds the SDK and runs its demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTVIS_BUILD_TESTS=OFF >/dev/null
cmake --build build/release --target insole_demo
./build/release/tools/insole_demo
