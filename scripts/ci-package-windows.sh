#!/usr/bin/env bash
# Builds the Windows installers and portable .zip files (x86_64 and i686) and
# tests the x86_64 installer under wine as a user would: silent install into
# a private Wine prefix, the Start-menu shortcut and the Add/Remove Programs
# entry, the installed program's version resource, --version and --console,
# then the uninstaller, which must remove every file the installer put there.
# (32-bit Wine cannot be installed here: the i686 installer is built and
# inspected, not run.) Run as root on Debian 12.
#
# The programs are built for the report server named by ZANDREL_REPORT_HOST
# (default localhost); ZANDREL_SPEED_URL sets the speed-test URL on its own.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix nsis wine wine icoutils
  iproute2 unzip)
source scripts/lib/apt.sh
ensure_packages "${packages[@]}"
fail() { echo "ci-package-windows: $*" >&2; exit 1; }

win64=${WIN64_DIR:-build-win64}
win32=${WIN32_DIR:-build-win32}
host=${ZANDREL_REPORT_HOST:-localhost}
echo "== cross-building for the report server $host: x86_64 in $win64, i686 in $win32"
# Ninja's progress lines (line-buffered: into a pipe they would come in
# blocks) and every warning or error; not CMake's configuration chatter.
stdbuf -oL bash scripts/build-windows.sh 2>&1 | awk '/^-- /{next} {print; fflush()}'
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win64/CMakeCache.txt")
[[ -n $version ]] || fail "no project version in $win64/CMakeCache.txt"

# The installed program's version resource must carry the version.
check_version_resource() {
  local strings
  strings=$(wrestool -x --raw -t 16 "$1" | iconv -f UTF-16LE -t UTF-8 -c | tr -c '[:print:]' ' ' | tr -s ' ')
  [[ $strings == *"FileVersion $version "* && $strings == *"ProductVersion $version "* ]] ||
    fail "$1: no version $version in the version resource: $strings"
}

for dir in "$win64" "$win32"; do
  echo "== cpack in $dir: installer and portable .zip"
  rm -rf "$dir/packages"
  (cd "$dir" && cpack >/dev/null)
done
for arch in win64:x86-64 win32:"Intel 80386"; do
  IFS=: read -r name machine <<<"$arch"
  dir=$win64; [[ $name == win32 ]] && dir=$win32
  installer=$dir/packages/zandrel-$version-$name.exe
  zip=$dir/packages/zandrel-$version-$name.zip
  file "$installer" | grep -q "$machine" || fail "$installer is not a $machine program: $(file -b "$installer")"
  grep -c 'MUI_LANGUAGE "\(English\|SimpChinese\)"' "$dir/_CPack_Packages/$name/NSIS/project.nsi" | grep -qx 2 &&
    [[ $(grep -c 'MUI_LANGUAGE' "$dir/_CPack_Packages/$name/NSIS/project.nsi") == 2 ]] ||
    fail "$installer: the languages are not English and Chinese"
  # The project's own copyright notice on the licence page, "run Zandrel" on the
  # last page, the Start-menu entry named in the installer's language.
  nsi=$dir/_CPack_Packages/$name/NSIS/project.nsi
  grep -q 'MUI_PAGE_LICENSE ".*/packaging/windows/copyright.txt"' "$nsi" || fail "$installer: not our licence text"
  grep -qF '!define MUI_FINISHPAGE_RUN "$INSTDIR\bin\zandrel.exe"' "$nsi" || fail "$installer: no run on the last page"
  grep -qF 'LangString ZandrelShortcut ${LANG_SIMPCHINESE} "Zandrel 网络检测"' "$nsi" ||
    fail "$installer: no Chinese name for the Start-menu entry"
  listing=$(unzip -Z1 "$zip")
  grep -qx "zandrel-$version-$name/bin/zandrel.exe" <<<"$listing" || fail "$zip lacks bin/zandrel.exe: $listing"
  unzip -p "$zip" "zandrel-$version-$name/bin/zandrel.exe" >"$dir/portable-zandrel.exe"
  file "$dir/portable-zandrel.exe" | grep -q "$machine" || fail "$zip holds a program for the wrong machine"
  check_version_resource "$dir/portable-zandrel.exe"
  echo "$name: $(basename "$installer") $(stat -c %s "$installer") bytes, $(basename "$zip") $(stat -c %s "$zip") bytes"
done

echo "== the x86_64 installer under wine64: a fresh prefix, install, run, uninstall"
prefix=$(mktemp -d)
trap 'WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
# Everything runs in a network namespace of its own: --console talks to no one.
unshare -n bash -euo pipefail -c '
  ip link set lo up
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
  installer=$2 version=$3 host=$4
  fail() { echo "ci-package-windows: $*" >&2; exit 1; }
  wine wineboot --init >/dev/null 2>&1
  wineserver -w
  before=$(cd "$WINEPREFIX/drive_c" && find . ! -type d | sort)

  wine "$installer" /S
  wineserver -w
  after=$(cd "$WINEPREFIX/drive_c" && find . ! -type d | sort)
  installed=$(comm -13 <(echo "$before") <(echo "$after"))
  echo "installed files:"; echo "$installed"
  exe="$WINEPREFIX/drive_c/Program Files/Zandrel/bin/zandrel.exe"
  [[ -f $exe ]] || fail "zandrel.exe is not in C:\\Program Files\\Zandrel\\bin"
  grep -q "/Zandrel/Zandrel.lnk$" <<<"$installed" || fail "no Start-menu shortcut Zandrel"
  key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zandrel"
  wine reg query "$key" >"$WINEPREFIX/arp.txt" 2>&1 || fail "no Add/Remove Programs entry: $(cat "$WINEPREFIX/arp.txt")"
  tr -d "\r" <"$WINEPREFIX/arp.txt" | grep -E "DisplayName|DisplayVersion|UninstallString"
  tr -d "\r" <"$WINEPREFIX/arp.txt" | grep -qE "DisplayVersion +REG_SZ +$version$" || fail "Add/Remove Programs shows no version $version"
  uninstaller=$(tr -d "\r" <"$WINEPREFIX/arp.txt" | sed -n "s/.*UninstallString *REG_SZ *//p" | tr -d "\"")
  echo "$installed" >"$WINEPREFIX/installed.txt"
  cp "$exe" "$WINEPREFIX/installed-zandrel.exe"

  out=$(wine "C:\\Program Files\\Zandrel\\bin\\zandrel.exe" --version | tr -d "\r")
  echo "zandrel.exe --version: $out"
  expected=$(printf "zandrel %s\nreport server: %s" "$version" "$host")
  [[ $out == "$expected" ]] || fail "zandrel.exe --version printed \"$out\", not \"$expected\""

  set +e
  wine "C:\\Program Files\\Zandrel\\bin\\zandrel.exe" --console --problem test \
    --speed-url http://127.0.0.1:9/none >"$WINEPREFIX/console.txt" 2>&1
  rc=$?
  set -e
  tr -d "\r" <"$WINEPREFIX/console.txt" | tail -n 5
  [[ $rc == 0 ]] || fail "zandrel.exe --console exited with $rc"
  # The last check of a run, the channel list, has started.
  grep -q "启动频道信息检测" "$WINEPREFIX/console.txt" || fail "zandrel.exe --console did not run to the end"

  wine "$uninstaller" /S
  wineserver -w
  # The uninstaller runs from a copy in the temporary folder; give it its time.
  for _ in $(seq 60); do [[ -e $exe ]] || break; sleep 1; done
  wineserver -w
  left=$(cd "$WINEPREFIX/drive_c" && while read -r f; do if [[ -e $f ]]; then echo "$f"; fi; done <"$WINEPREFIX/installed.txt")
  [[ -z $left ]] || fail "the uninstaller left: $left"
  [[ ! -d "$WINEPREFIX/drive_c/Program Files/Zandrel" ]] || fail "the uninstaller left its folder"
  if wine reg query "$key" >/dev/null 2>&1; then fail "the Add/Remove Programs entry is still there"; fi
  echo "uninstalled: no installed file left"
' _ "$prefix" "$(realpath "$win64/packages/zandrel-$version-win64.exe")" "$version" "$host"
check_version_resource "$prefix/installed-zandrel.exe"
echo "ci-package-windows: installers ${version} OK"
