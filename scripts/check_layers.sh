#!/usr/bin/env bash
# Fails when an include runs against the layers: nothing below src/app/
# reaches up into a front end, the server side never includes the client's
# layers, and each server room includes only the rooms it may use.
set -euo pipefail
cd "$(dirname "$0")/.."
fail=0
if grep -rn '"app/' src --include=*.cpp --include=*.h | grep -v '^src/app/'; then
  echo "check_layers: only src/app/ may include app/ headers" >&2
  fail=1
fi
if grep -rn '#include "\(http\|checks\|app\|detect\)/' server --include=*.cpp --include=*.h; then
  echo "check_layers: the server side does not include the client's layers" >&2
  fail=1
fi
# room: the server rooms it may include besides its own
declare -A may=(
  [common]=""
  [report]=""
  [http]="common"
  [store]="common report"
  [receiver]="common http store report"
  [desk]="common http store report"
)
for dir in server/*/; do
  room=$(basename "$dir")
  if [[ -z "${may[$room]+set}" ]]; then
    echo "check_layers: server/$room is not a known room; add it to this script" >&2
    fail=1
    continue
  fi
  allowed="$room ${may[$room]}"
  while IFS= read -r line; do
    used=$(sed -E 's|.*#include "server/([^/]+)/.*|\1|' <<<"$line")
    if [[ " $allowed " != *" $used "* ]]; then
      echo "$line" >&2
      echo "check_layers: server/$room may not include server/$used" >&2
      fail=1
    fi
  done < <(grep -rn '#include "server/' "$dir" --include=*.cpp --include=*.h || true)
done
[[ $fail == 0 ]] || exit 1
echo "check_layers: no layer reaches up, and every server room includes only what it may use"
