#!/usr/bin/env bash
# Installs what the build needs, builds, and runs the whole test suite.
# BUILD_DIR and CMAKE_ARGS may be set to build a variant (e.g. sanitizers).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/build.sh
build=${BUILD_DIR:-build}
# shellcheck disable=SC2086  # CMAKE_ARGS holds several arguments
zandrel_build "$build" ${CMAKE_ARGS:-}
cd "$build"
ctest --output-on-failure -j "$(nproc)"
