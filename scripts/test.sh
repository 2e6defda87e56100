#!/usr/bin/env bash
# Installs what the build needs, builds, and runs the whole test suite.
# BUILD_DIR and CMAKE_ARGS may be set to build a variant (e.g. sanitizers).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja ${CMAKE_ARGS:-}
cmake --build "$build"
cd "$build"
ctest --output-on-failure -j "$(nproc)"
