#!/usr/bin/env bash
# The main job: installs what the build needs, builds, starts the report
# server on this machine, runs one detection with upload against it, and
# shows where the server stored the report and how support staff find it
# in the report index with zandrel-desk, on the command line and in the
# desk's web pages.
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
pids=($server $service)
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null || true' EXIT
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

echo
echo "== the desk's web pages: an account, zandrel-desk serve, a login, a search and a report with curl"
deskdb=(--data-dir "$data" --desk-db "$data/desk.sqlite")
printf 'demo password\n' | "$desk" "${deskdb[@]}" user add demo
"$desk" "${deskdb[@]}" serve --listen 127.0.0.1:18080 --quiet &
pids+=($!)
for _ in $(seq 100); do curl -s -o /dev/null http://127.0.0.1:18080/login && break; sleep 0.1; done
jar=$data/cookies.txt
# Page text without the markup, one line per non-empty line.
text() { sed -e 's/<[^>]*>/ /g' -e 's/&lt;/</g; s/&gt;/>/g; s/&quot;/"/g; s/&#39;/'"'"'/g; s/&amp;/\&/g' |
  tr -s ' \t' ' ' | sed -e 's/^ //; s/ $//' | grep -v '^ *$' || true; }
csrf=$(curl -s -c "$jar" http://127.0.0.1:18080/login | sed -nE 's/.*name="csrf" value="([^"]+)".*/\1/p')
curl -s -b "$jar" -c "$jar" -o /dev/null -w 'POST /login: %{http_code}, to %{redirect_url}\n' \
  --data-urlencode user=demo --data-urlencode 'password=demo password' --data-urlencode "csrf=$csrf" \
  http://127.0.0.1:18080/login
echo "-- GET /?q=卡顿 (the count and the first row):"
curl -s -b "$jar" 'http://127.0.0.1:18080/?q=%E5%8D%A1%E9%A1%BF' | text | sed -n '/份报告/,$p' | head -n 3
echo "-- GET /reports/$id (the top of the page):"
curl -s -b "$jar" "http://127.0.0.1:18080/reports/$id" | text | sed -n '/^退出$/,$p' | sed -n '2,16p'
echo "Open http://127.0.0.1:8080/ in a browser after: zandrel-desk --data-dir DIR serve"
