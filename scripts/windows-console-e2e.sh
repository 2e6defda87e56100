#!/usr/bin/env bash
# The Windows console run end to end under wine64: zandrel.exe --console
# --send --save-report against the Windows report server and the local-service
# stand-in on loopback. Needs the fixed ports, so it makes a network namespace
# of its own (with one veth adapter, so that there is an adapter to report).
#   scripts/windows-console-e2e.sh [BIN_DIR]     (default build-win64/bin)
# ZANDREL_E2E_KEEP=DIR keeps the run's files (report, output) in DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(realpath "${1:-build-win64/bin}")
if [[ "${ZANDREL_IN_NETNS:-}" != 1 ]]; then
  exec env ZANDREL_IN_NETNS=1 unshare -n "$0" "$bin"
fi
WINE=${WINE:-/usr/lib/wine/wine64}
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree=;mshtml="
: "${WINEPREFIX:?set WINEPREFIX to a prepared private prefix}"
export WINEPREFIX

ip link set lo up
ip link add zv0 type veth peer name zv1
ip addr add 10.77.0.2/24 dev zv0
ip link set zv0 up
ip link set zv1 up
ip route add default via 10.77.0.1 dev zv0
mac=$(ip -o link show zv0 | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p')

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [[ -n "${ZANDREL_E2E_KEEP:-}" ]]; then cp -r "$work/." "$ZANDREL_E2E_KEEP/"; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

"$WINE" "$bin/zandrel-report-server.exe" --data-dir reports --hint-port 0 --speed-size 4194304 --quiet &
pids+=($!)
"$WINE" "$bin/local_service_peer.exe" 6001 &
pids+=($!)
# Both are up when their ports answer.
for _ in $(seq 1 300); do
  if (exec 3<>/dev/tcp/127.0.0.1/5252) 2>/dev/null && (exec 3<>/dev/tcp/127.0.0.1/6001) 2>/dev/null; then break; fi
  sleep 0.2
done

set +e
"$WINE" "$bin/zandrel.exe" --console --problem "画面卡顿" --send --save-report r.txt > out.txt 2> err.txt
rc=$?
set -e
fail() {
  echo "windows-console-e2e: FAIL: $*" >&2
  echo "--- output"; cat out.txt; echo "--- errors"; cat err.txt
  exit 1
}
[[ $rc == 0 ]] || fail "zandrel.exe exited with $rc"
[[ -s r.txt ]] || fail "no saved report"

# The report starts with CR LF and the problem line, in GBK.
want=$(printf '\r\n\xce\xca\xcc\xe2\xc3\xe8\xca\xf6\xa3\xba\xbb\xad\xc3\xe6\xbf\xa8\xb6\xd9\r\n' | od -An -tx1)
got=$(head -c 22 r.txt | od -An -tx1)
[[ "$got" == "$want" ]] || fail "report does not start with the GBK problem line: $got"

# The server stored exactly what was saved (after its 200, so it is there now).
stored=(reports/*)
[[ ${#stored[@]} == 1 && -f "${stored[0]}" ]] || fail "expected one stored report, found: ${stored[*]}"
cmp r.txt "${stored[0]}" || fail "stored report differs from the saved one"

report=$(iconv -f GBK -t UTF-8 r.txt) || fail "report is not GBK"
grep -q "^MAC Addr: 	${mac//:/-}"$'\r'"$" <<<"$report" || fail "adapter zv0 ($mac) missing"
grep -q "^IP Address: 10.77.0.2"$'\r'"$" <<<"$report" || fail "adapter address missing"
grep -q "^Gateway: 10.77.0.1"$'\r'"$" <<<"$report" || fail "gateway missing"
grep -qi '^c:\\windows\\system32'$'\r''$' <<<"$report" || fail "no module directory under C:\\windows\\system32"
grep -qi '^ \{16\}kernel32.dll'$'\r''$' <<<"$report" || fail "kernel32.dll not in the inventory"
# Every process is inventoried, the first one Wine lists too: the tool and the server are there.
grep -qi '^ \{16\}zandrel.exe'$'\r''$' <<<"$report" || fail "zandrel.exe not in the inventory"
grep -qi '^ \{16\}zandrel-report-server.exe'$'\r''$' <<<"$report" || fail "zandrel-report-server.exe not in the inventory"
grep -q '^ *CPU占用率为：[0-9-]*'$'\r''$' <<<"$report" || fail "CPU line missing"
grep -q '^ *C盘剩余空间为：[0-9.]*[GM]B'$'\r''$' <<<"$report" || fail "C: free-space line missing"
grep -q '问题描述：画面卡顿' out.txt && fail "the problem line must not reach the progress list"
grep -q '检测' out.txt || fail "progress lines are not UTF-8 text"
echo "windows-console-e2e: passed ($(wc -c < r.txt) bytes stored and saved alike; adapter $mac; $(grep -c '' <<<"$report") report lines)"
