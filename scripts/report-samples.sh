#!/usr/bin/env bash
# Writes the sample reports that the report reader's tests read, with the real
# tool (Linux build in build/), into tests/data/:
#   report-linux-ok.txt      every check answered (report server, local service)
#   report-linux-silent.txt  nothing answers: every network check fails
# (report-wine.txt comes from the Windows build: ZANDREL_E2E_KEEP=DIR
# scripts/windows-console-e2e.sh keeps the run's report as DIR/r.txt.)
# Each run happens in network and process namespaces of their own: the fixed
# ports are free, the one adapter is a veth pair with a known address, and the
# module inventory holds only the few processes of the run.
#   scripts/report-samples.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
out=$(realpath tests/data)
if [[ "${ZANDREL_IN_NS:-}" != 1 ]]; then
  cmake --build "$build" --target zandrel zandrel-report-server local_service_peer
  exec env ZANDREL_IN_NS=1 unshare -n -p -f --mount-proc bash "$0" "$build"
fi

ip link set lo up
ip link add zs0 address 02:5a:64:72:65:6c type veth peer name zs1
ip addr add 10.77.0.2/24 dev zs0
ip link set zs0 up
ip link set zs1 up
ip route add default via 10.77.0.1 dev zs0 onlink

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

run() {  # report-file
  "$build/src/app/zandrel" --console --problem "画面卡顿，黑屏 (sample)" --save-report "$work/r.txt" >/dev/null
  cp "$work/r.txt" "$out/$1"
  echo "wrote tests/data/$1 ($(stat -c %s "$out/$1") bytes)"
}

run report-linux-silent.txt

"$build/server/zandrel-report-server" --data-dir "$work/reports" --hint-port 0 --speed-size 1048576 --quiet &
pids+=($!)
"$build/tests/local_service_peer" 6001 &
pids+=($!)
for _ in $(seq 1 100); do
  if (exec 3<>/dev/tcp/127.0.0.1/5252) 2>/dev/null && (exec 3<>/dev/tcp/127.0.0.1/6001) 2>/dev/null; then break; fi
  sleep 0.1
done
run report-linux-ok.txt
