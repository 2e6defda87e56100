#!/usr/bin/env bash
# Renders the dialog offscreen to a PNG after a finished run against a
# report server and a stand-in local service on this machine.
# Usage: scripts/render-dialog.sh [OUT.png]   (default docs/dialog.png)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/dialog.png}
source scripts/lib/build.sh
zandrel_build build -- zandrel zandrel-report-server local_service_peer
mkdir -p "$(dirname "$out")"
data=$(mktemp -d /tmp/zandrel-render-XXXXXX)
./build/server/zandrel-report-server --data-dir "$data" --speed-size 8000000 --quiet &
server=$!
./build/tests/local_service_peer 6001 &
service=$!
trap 'kill $server $service 2>/dev/null; wait 2>/dev/null || true; rm -rf "$data"' EXIT
sleep 0.5
QT_QPA_PLATFORM=offscreen ./build/src/app/zandrel --auto --problem "直播画面卡顿" --screenshot "$out"
echo "wrote $out"
