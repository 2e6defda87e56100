#!/usr/bin/env bash
# Builds the Debian packages and tests them as a user would: lintian (no
# errors), the expected files, dependencies that apt can satisfy, installation
# into a throw-away root, the installed programs, the systemd unit, removal.
# Run as root on Debian 12 (it installs what it needs with apt-get).
#
# The programs are built for the report server named by ZANDREL_REPORT_HOST
# (default localhost); ZANDREL_SPEED_URL sets the speed-test URL on its own
# (default: the speed file of that server).
set -euo pipefail
cd "$(dirname "$0")/.."
extra=(lintian dpkg-dev systemd init-system-helpers fakeroot nginx-light openssl)
source scripts/lib/apt.sh
source scripts/lib/build.sh
ensure_packages "${extra[@]}"

build=${BUILD_DIR:-build-deb}
host=${ZANDREL_REPORT_HOST:-localhost}
fail() { echo "ci-package: $*" >&2; exit 1; }

echo "== build for the report server $host"
# Debian's hardening flags, as a package build would use them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
zandrel_build "$build" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DZANDREL_REPORT_HOST="$host" -DZANDREL_SPEED_URL="${ZANDREL_SPEED_URL:-}" \
  -DZANDREL_TESTS=OFF -DZANDREL_BENCH=OFF
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ -n $version ]] || fail "no project version in $build/CMakeCache.txt"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >/dev/null)
app_deb=$build/packages/zandrel_${version}_amd64.deb
server_deb=$build/packages/zandrel-report-server_${version}_amd64.deb
[[ -f $app_deb && -f $server_deb ]] || fail "missing packages: $(ls "$build/packages")"

echo "== lintian"
lintian --fail-on error --display-level '>=pedantic' "$app_deb" "$server_deb" || fail "lintian reports errors"

echo "== contents and control fields"
expect_files() {
  local deb=$1; shift
  local listing
  listing=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
  printf '%s\n' "$listing"
  for f in "$@"; do
    grep -qxF "$f" <<<"$listing" || fail "$(basename "$deb") lacks $f"
  done
}
expect_files "$app_deb" /usr/bin/zandrel /usr/share/applications/zandrel.desktop \
  /usr/share/icons/hicolor/64x64/apps/zandrel.png /usr/share/man/man1/zandrel.1.gz \
  /usr/share/doc/zandrel/copyright /usr/share/doc/zandrel/changelog.gz
expect_files "$server_deb" /usr/sbin/zandrel-report-server /usr/share/man/man8/zandrel-report-server.8.gz \
  /usr/bin/zandrel-desk /usr/share/man/man1/zandrel-desk.1.gz \
  /usr/lib/systemd/system/zandrel-report-server.service /etc/default/zandrel-report-server \
  /usr/lib/systemd/system/zandrel-desk.service /usr/share/doc/zandrel-report-server/examples/zandrel-desk.nginx \
  /usr/share/doc/zandrel-report-server/copyright /usr/share/doc/zandrel-report-server/changelog.gz
for deb in "$app_deb" "$server_deb"; do
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "$(dpkg-deb -f "$deb" Package): Depends: $depends"
  [[ $depends == *libc6* && $depends == *libstdc++6* ]] || fail "$deb: Depends not computed from the libraries"
done
# Each package its own synopsis; the body a wrapped paragraph (lines of one
# leading space), not verbatim text (two or more).
for expected in "$app_deb:machine and network check for a live-broadcast client" \
            "$server_deb:report server for the Zandrel checking tool"; do
  deb=${expected%%:*} synopsis=${expected#*:}
  description=$(dpkg-deb -f "$deb" Description)
  echo "$(dpkg-deb -f "$deb" Package): Description: $(head -n 1 <<<"$description")"
  [[ $(head -n 1 <<<"$description") == "$synopsis" ]] || fail "$deb: the synopsis is not \"$synopsis\""
  body=$(tail -n +2 <<<"$description")
  [[ -n $body ]] || fail "$deb: no long description"
  if grep -vqE '^ [^ ]' <<<"$body"; then fail "$deb: body lines that are not a plain paragraph: $body"; fi
done
[[ $(dpkg-deb -f "$app_deb" Depends) == *libqt6widgets6* ]] || fail "zandrel does not depend on Qt Widgets"
[[ $(dpkg-deb -f "$server_deb" Depends) == *libssl3* ]] || fail "the server does not depend on libssl3"
dpkg-deb --ctrl-tarfile "$server_deb" | tar -xO ./conffiles | grep -qx /etc/default/zandrel-report-server ||
  fail "/etc/default/zandrel-report-server is not a conffile"

echo "== apt can satisfy the dependencies"
# --reinstall: apt plans to install both even where the same version is
# installed already (it would otherwise plan nothing for them).
apt-get install --simulate --reinstall --no-install-recommends "./$app_deb" "./$server_deb" \
  >"$build/apt-simulate.log" || { cat "$build/apt-simulate.log"; fail "apt cannot install the packages"; }
for name in zandrel zandrel-report-server; do
  grep -E "^Inst $name " "$build/apt-simulate.log" ||
    { cat "$build/apt-simulate.log"; fail "apt plans no installation of $name"; }
done

echo "== install into a throw-away root"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/usr/bin" "$root/usr/sbin"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The root has no shell of its own, so maintainer scripts run outside it with
# DPKG_ROOT set; the dependencies are checked against the host above.
dpkg_root() { dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null "$@"; }
dpkg_root -i "$app_deb" "$server_deb"
dpkg_root -s zandrel zandrel-report-server | grep -E '^(Package|Status)'
for program in zandrel:/usr/bin:zandrel.1 zandrel-report-server:/usr/sbin:zandrel-report-server.8 \
               zandrel-desk:/usr/bin:zandrel-desk.1; do
  IFS=: read -r name dir page <<<"$program"
  gzip -dc "$root/usr/share/man/man${page##*.}/$page.gz" >"$build/$page"
  host_arg=()
  [[ $name == zandrel ]] && host_arg=(-DHOST="$host")  # the client names the server it was built for
  cmake -DPROGRAM="$root$dir/$name" -DNAME="$name" -DVERSION="$version" "${host_arg[@]}" -DMANPAGE="$build/$page" \
    -P tests/packaging/check_program.cmake
done
"$root/usr/bin/zandrel" --version
for service in zandrel-report-server zandrel-desk; do
  [[ -L $root/etc/systemd/system/multi-user.target.wants/$service.service ]] ||
    fail "$service.service was not enabled on installation"
done

echo "== systemd units"
unit=$root/usr/lib/systemd/system/zandrel-report-server.service
desk_unit=$root/usr/lib/systemd/system/zandrel-desk.service
# The host's systemd checks the units as installed, with their commands moved
# into the throw-away root (verify also checks that the command is executable).
units=$(mktemp -d)
for u in "$unit" "$desk_unit"; do
  sed "s|^ExecStart=/|ExecStart=$root/|" "$u" >"$units/$(basename "$u")"
  systemd-analyze verify --man=no "$units/$(basename "$u")"
  systemd-analyze security --offline=yes --threshold=30 "$units/$(basename "$u")" | tail -n 1
done
rm -rf "$units"
grep -qx 'AmbientCapabilities=CAP_NET_BIND_SERVICE' "$unit" &&
  grep -qx 'CapabilityBoundingSet=CAP_NET_BIND_SERVICE' "$unit" || fail "capabilities are not limited to binding ports"
# The desk: no capability; the report server's user (its files are mode
# 0600), its state directory read-only, its own beside it; loopback only.
grep -qx 'CapabilityBoundingSet=' "$desk_unit" || fail "the desk keeps capabilities"
user=$(grep -x 'User=..*' "$unit") || fail "the report server's unit names no user"
for line in DynamicUser=yes "$user" 'ReadOnlyPaths=/var/lib/zandrel' 'StateDirectory=zandrel zandrel-desk'; do
  grep -qxF "$line" "$desk_unit" || fail "zandrel-desk.service lacks $line"
done
grep -q '^ExecStart=/usr/bin/zandrel-desk --data-dir /var/lib/zandrel --desk-db /var/lib/zandrel-desk/desk.sqlite serve --listen 127.0.0.1:8080' \
  "$desk_unit" || fail "the desk is not started on 127.0.0.1:8080 over /var/lib/zandrel"
# Every hardening option of the report server's unit but its capabilities is
# in the desk's too.
missing=$(comm -23 <(grep -E '^(Protect|Private|Restrict|Lock|Memory|Remove|System|NoNew|DevicePolicy|ProcSubset|UMask)' "$unit" | sort) \
                   <(sort "$desk_unit"))
[[ -z $missing ]] || fail "zandrel-desk.service lacks the report server's hardening: $missing"

echo "== the nginx site for the desk"
# nginx checks the example as installed, with a throw-away certificate in
# place of the one the operator names.
site=$root/usr/share/doc/zandrel-report-server/examples/zandrel-desk.nginx
grep -q 'proxy_pass http://127.0.0.1:8080;' "$site" && grep -q 'X-Forwarded-For' "$site" ||
  fail "the nginx site does not pass requests to the desk with the client's address"
conf=$(mktemp -d)
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=desk.example.org \
  -keyout "$conf/key.pem" -out "$conf/cert.pem" 2>/dev/null
sed -e "s|/etc/ssl/certs/desk.example.org.pem|$conf/cert.pem|" -e "s|/etc/ssl/private/desk.example.org.key|$conf/key.pem|" \
  "$site" >"$conf/site.conf"
printf 'pid %s/nginx.pid;\nerror_log stderr;\nevents {}\nhttp { include %s/site.conf; }\n' "$conf" "$conf" >"$conf/nginx.conf"
nginx -t -q -c "$conf/nginx.conf" -p "$conf" || fail "nginx refuses the desk's site"
rm -rf "$conf"

echo "== the installed server, started as the unit starts it"
# The unit's command line with its data directory moved to a scratch place;
# OPTIONS comes from the installed /etc/default file.
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
data=$(mktemp -d)
unshare -n bash -euo pipefail -c '
  ip link set lo up
  root=$1 data=$2 cmd=$3 log=$4
  set -a; . "$root/etc/default/zandrel-report-server"; set +a
  cmd=${cmd/--data-dir \/var\/lib\/zandrel/--data-dir $data --hint-port 0}
  read -ra argv <<<"${cmd//\$OPTIONS/$OPTIONS}"
  argv[0]=$root${argv[0]}
  "${argv[@]}" 2>"$log" &
  pid=$!
  for _ in $(seq 100); do grep -q "serving HTTP" "$log" && break; sleep 0.1; done
  flag=$(printf "report body" | md5sum | cut -c1-32 | tr a-f A-F)
  code=$(printf "report body" | curl -sS -o /dev/null -w "%{http_code}" --data-binary @- \
    -H "file_flag: $flag" http://127.0.0.1:5252/test_log)
  [[ $code == 200 ]] || { echo "POST /test_log answered $code" >&2; exit 1; }
  kill -TERM "$pid"
  wait "$pid"
' _ "$root" "$data" "$exec_start" "$build/server.log" || { cat "$build/server.log"; fail "the server did not run and stop cleanly"; }
cat "$build/server.log"
stored=$(find "$data" -type f -name 'report-*')
[[ $(wc -l <<<"$stored") == 1 && $(cat "$stored") == "report body" ]] || fail "the report was not stored"
grep -i 'stored' "$build/server.log" | grep -qF "$(basename "$stored")" || fail "no log line names the stored report"
rm -rf "$data"

echo "== remove and purge"
dpkg_root --purge zandrel zandrel-report-server
left=$(cd "$root" && find . ! -type d ! -path './var/lib/dpkg/*' ! -path './var/lib/systemd/deb-systemd-helper-*' | sort)
[[ -z $left ]] || fail "files left after purge: $left"
echo "ci-package: Debian packages ${version} OK"
