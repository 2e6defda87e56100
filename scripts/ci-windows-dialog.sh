#!/usr/bin/env bash
# The Windows dialog under wine64 and Xvfb: builds zandrel.exe and the programs
# that drive it, makes a private Wine prefix (browser and .NET add-ons off, so
# nothing waits for a click; 宋体/SimSun mapped to a Debian CJK font), then,
# in a network namespace of its own with the report server and the local
# service stand-in on loopback:
#   - the dialog's icons, inside its process;
#   - the driver: the program's resources, the dialog's controls, a whole run
#     and the upload, the keyboard (the focus after a click on start or send,
#     Tab, Enter in the edits, Esc), and 20 closes at random moments;
#   - zandrel.exe --auto --send --screenshot, which must exit 0 with the
#     report stored.
# With --render OUT.png it only renders the dialog after a finished run (for
# the README) instead, with 宋体 mapped to AR PL UMing: every stroke of its
# glyphs is drawn, a Chinese character is two "=" wide (the banners line up)
# and the dialog keeps the size of its template.
# Environment: XVFB_DISPLAY (default :93), CLOSES (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [[ "${1:-}" != --inside ]]; then
  render=""
  if [[ "${1:-}" == --render ]]; then render=$(realpath -m "${2:-docs/dialog-windows.png}"); fi
  packages=(wine64 wine xvfb fonts-wqy-zenhei fonts-arphic-uming g++-mingw-w64-x86-64-posix cmake ninja-build iproute2)
  source scripts/lib/apt.sh
  ensure_packages "${packages[@]}"
  # The peers run natively; the dialog and its drivers are Windows programs.
  source scripts/lib/build.sh
  zandrel_build build -- zandrel-report-server local_service_peer
  # The dialog talks to the peers on this machine, whatever host an earlier
  # build (e.g. of the installers) left in the cache.
  cmake -S . -B build-win64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZANDREL_REPORT_HOST=localhost -DZANDREL_SPEED_URL= >/dev/null
  cmake --build build-win64 --target zandrel dialog_driver dialog_icon_test

  export WINEPREFIX=${WINEPREFIX_DIALOG:-$(mktemp -d /tmp/zandrel-wine-XXXXXX)}
  export WINEDLLOVERRIDES="mscoree=;mshtml=" WINEDEBUG=-all
  trap 'wineserver -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
  unshare -n bash "$0" --inside "$render"
  exit $?
fi

# Inside the namespace.
render=${2:-}
ip link set lo up
display=${XVFB_DISPLAY:-:93}
wine=$(command -v wine)
work=$(mktemp -d /tmp/zandrel-dialog-XXXXXX)
pids=()
cleanup() {
  wineserver -k 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The prefix: made with no display (nothing can pop up), then the font
# replacements and Wine drawing its own window frames (Xvfb has no window
# manager). Registry files are UTF-16 for the Chinese value names.
"$wine" wineboot -i >/dev/null 2>&1
font="WenQuanYi Zen Hei Mono"
[[ -n "$render" ]] && font="AR PL UMing CN"
reg() { { printf '\xff\xfe'; sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16LE; } > "$work/settings.reg"; "$wine" regedit /S "$work/settings.reg"; }
reg <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"宋体"="$font"
"SimSun"="$font"
"新宋体"="$font"
"NSimSun"="$font"

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
REG
wineserver -w

Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
mkdir -p "$work/reports"
"$root/build/server/zandrel-report-server" --data-dir "$work/reports" --speed-size 8000000 --quiet &
pids+=($!)
"$root/build/tests/local_service_peer" 6001 >/dev/null &
pids+=($!)
for _ in $(seq 100); do  # until the display and the server answer
  [[ -e /tmp/.X11-unix/X${display#:} ]] && (exec 3<>/dev/tcp/127.0.0.1/5252) 2>/dev/null && break
  sleep 0.1
done
winpath() { echo "Z:${1//\//\\}"; }
program() { find "$root/build-win64" -name "$1" -type f | head -n 1; }
exe=$(winpath "$(program zandrel.exe)")

if [[ -n "$render" ]]; then
  mkdir -p "$(dirname "$render")"
  "$wine" "$exe" --auto --problem "直播画面卡顿" --screenshot "$(winpath "$render")" >/dev/null
  echo "wrote $render"
  exit 0
fi

status=0
echo "== the dialog's icons"
"$wine" "$(program dialog_icon_test.exe)" || status=1
echo "== the dialog driven from another process"
"$wine" "$(program dialog_driver.exe)" "$exe" "$(winpath "$work/reports")" "${CLOSES:-20}" \
  | grep -v -e '^i_onData' -e '^_handle_event' -e '^$' || status=1
echo "== zandrel.exe --auto --send --screenshot"
before=$(ls "$work/reports" | grep -c '^report-' || true)
if "$wine" "$exe" --auto --send --problem "画面卡顿" --screenshot "$(winpath "$work/out.png")" >"$work/auto.txt"; then
  after=$(ls "$work/reports" | grep -c '^report-' || true)
  if ((after != before + 1)); then echo "FAILED: $((after - before)) reports stored"; status=1; fi
  if ! head -c 8 "$work/out.png" | od -An -tx1 | grep -q '89 50 4e 47 0d 0a 1a 0a'; then
    echo "FAILED: no PNG picture"; status=1
  fi
  grep -q "数据发送完成！" "$work/auto.txt" || { echo "FAILED: the upload did not finish"; status=1; }
else
  echo "FAILED: zandrel.exe --auto --send exited $?"; status=1
fi
((status == 0)) && echo "Windows dialog: all passed"
exit $status
