#!/usr/bin/env bash
# The main job: installs what the build needs, builds, and runs a detection.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja
cmake --build build
./build/bench/inventory_bench
