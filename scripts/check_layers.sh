#!/usr/bin/env bash
# Fails when a source folder other than src/app/ includes a front-end header:
# the layers below the front ends never reach up.
set -euo pipefail
cd "$(dirname "$0")/.."
if grep -rn '"app/' src --include=*.cpp --include=*.h | grep -v '^src/app/'; then
  echo "check_layers: only src/app/ may include app/ headers" >&2
  exit 1
fi
echo "check_layers: no layer below src/app/ includes app/"
