#!/usr/bin/env bash
# CI stage for Windows: builds the x86_64 and i686 programs with mingw-w64
# (warnings fail the stage), makes a private Wine prefix, runs every Windows test
# program under wine64 in a network namespace of its own, then the console
# run end to end and Ctrl-C with its output redirected, and prints how many
# Windows tests ran.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(wine64 wine iproute2 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest cmake ninja-build)
source scripts/lib/apt.sh
ensure_packages "${packages[@]}"

log=$(mktemp)
bash scripts/build-windows.sh 2>&1 | tee "$log"
if grep -q 'warning:' "$log"; then
  echo "ci-windows: the Windows build has warnings" >&2
  exit 1
fi

export WINE=${WINE:-/usr/lib/wine/wine64}
export WINEPREFIX=$(mktemp -d /tmp/zandrel-wine-XXXXXX)
export WINEDLLOVERRIDES="mscoree=;mshtml=" WINEDEBUG=-all
trap 'WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX" "$log"' EXIT
# A fresh prefix, made without asking anything (the add-ons are off above).
"$WINE" wineboot -i >/dev/null 2>&1
wineserver -w

# Each test program in a namespace of its own, so fixed ports are free; the
# namespace has one adapter besides loopback (a veth pair with a known hardware
# address, an address and a default gateway) for the adapter probe to find.
netns_setup='ip link set lo up
ip link add zwin0 address 02:5a:00:00:00:01 type veth peer name zwin1 address 02:5a:00:00:00:02
ip addr add 10.77.0.2/24 dev zwin0
ip link set zwin0 up
ip link set zwin1 up
ip route add default via 10.77.0.1 dev zwin0 onlink'
export netns_setup
total=0
total_skipped=0
failed=0
for t in build-win64/bin/*_tests.exe; do
  out=$(unshare -n sh -c 'eval "$netns_setup" && "$WINE" "$1" 2>&1' sh "$t") || true
  ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' <<<"$out" | tail -1)
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' <<<"$out" | tail -1)
  # A test that skips itself says why (e.g. a program Wine lacks); it counts as run, not as passed.
  skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed below:.*/\1/p' <<<"$out" | tail -1)
  if [[ -n "$skipped" ]]; then
    grep -E '^\[  SKIPPED \] [A-Za-z][^ ]*$' <<<"$out" | sed 's/^/ci-windows: /' || true
  fi
  if [[ -z "$ran" || "$ran" != "$((${passed:-0} + ${skipped:-0}))" ]]; then
    echo "$out"
    echo "ci-windows: $(basename "$t") FAILED" >&2
    failed=1
  else
    echo "ci-windows: $(basename "$t"): $ran tests ran, ${passed:-0} passed, ${skipped:-0} skipped"
  fi
  total=$((total + ${ran:-0}))
  total_skipped=$((total_skipped + ${skipped:-0}))
done

bash scripts/windows-console-e2e.sh build-win64/bin || failed=1

# Ctrl-C reaches zandrel.exe --console with both streams redirected, while its
# upload waits for a report server that is not there (loopback alone).
ctrl_c_dir=$(mktemp -d)
if ! unshare -n sh -c 'ip link set lo up && "$WINE" "$1" "$2" "$3"' sh build-win64/bin/console_ctrl_c_driver.exe \
    "Z:$(realpath build-win64/bin/zandrel.exe | tr / '\\')" "Z:$(tr / '\\' <<<"$ctrl_c_dir")"; then
  echo "ci-windows: Ctrl-C with redirected output FAILED" >&2
  failed=1
fi
rm -rf "$ctrl_c_dir"

echo "ci-windows: $total Windows tests ran under wine64, $total_skipped of them skipped (plus the console run end to end)"
exit $failed
