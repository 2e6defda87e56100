#!/usr/bin/env bash
# CI: builds the fuzz targets with clang and runs each over its seed corpus
# plus FUZZ_SECONDS (default 25) of fuzzing, two at a time; fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
packages=(clang libclang-rt-14-dev)
source scripts/lib/apt.sh
ensure_packages "${packages[@]}"
FUZZ_BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz} FUZZ_WORK=${FUZZ_WORK:-build-fuzz/ci-fuzz-work} \
  bash scripts/fuzz.sh "${FUZZ_SECONDS:-25}"
