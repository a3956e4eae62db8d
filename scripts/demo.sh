#!/usr/bin/env bash
# Builds the SDK's command-line tool and runs its demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DTVIS_BUILD_TESTS=OFF -DTVIS_BUILD_PYTHON=OFF >/dev/null
cmake --build build/demo --target insole
./build/demo/tools/insole demo "$@"
