#!/usr/bin/env bash
# The main job: installs what the build needs, builds, starts the report
# server on this machine, runs one detection with upload against it, and
# shows where the server stored the report and how support staff find it
# in the report index with zandrel-desk.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/build.sh
zandrel_build build

data=$(mktemp -d /tmp/zandrel-demo-XXXXXX)
./build/server/zandrel-report-server --data-dir "$data" &
server=$!
# The streaming client's local service is not installed here; a stand-in answers on port 6001.
./build/tests/local_service_peer 6001 &
service=$!
trap 'kill $server $service 2>/dev/null; wait 2>/dev/null || true' EXIT
sleep 0.5

echo "== zandrel --console --send"
./build/src/app/zandrel --console --problem "演示：画面卡顿" --send --save-report "$data/saved-by-tool.txt"

echo
echo "== stored by the report server in $data:"
ls -l "$data"
reports=("$data"/report-*.txt)
stored=${reports[0]}
if cmp -s "$stored" "$data/saved-by-tool.txt"; then
  echo "the stored report is byte for byte the report the tool built"
fi
echo "== the report (GBK, shown as UTF-8):"
# head reads the file itself: no writer is cut off when it has its 40 lines
# (a pipe into head would end iconv with SIGPIPE, and the script with 141).
head -n 40 "$stored" | iconv -f GBK -t UTF-8
echo "..."

# saved-by-tool.txt is the demo's own copy, not a stored report: it has no
# row, and the index's catch-up leaves it alone.
echo
echo "== support staff search the index: zandrel-desk search --q 卡顿"
desk=./build/server/desk/zandrel-desk
"$desk" --data-dir "$data" search --q 卡顿
id=$("$desk" --data-dir "$data" search --q 卡顿 --json 2>/dev/null | sed -nE '1s/.*"id":"([^"]+)".*/\1/p')
echo
echo "== zandrel-desk show $id (the first lines)"
"$desk" --data-dir "$data" show "$id" >"$data/shown.txt"
head -n 12 "$data/shown.txt"
