#!/usr/bin/env bash
# Fails when an operating system's header is included outside the places
# that may know the OS: src/platform/, the socket shim (src/net/socket_*.cpp
# and its socket_inet.h)
# and the front ends under src/app/ (their own folders and main.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
pattern='#[[:space:]]*include[[:space:]]*<(windows\.h|winsock2\.h|ws2tcpip\.h|iphlpapi\.h|unistd\.h|sys/|arpa/|netinet/|netdb\.h|poll\.h|fcntl\.h|pthread\.h|dirent\.h|iconv\.h|signal\.h)'
found=$(grep -rnE "$pattern" src server --include=*.cpp --include=*.h \
  | grep -vE '^src/platform/|^src/net/socket_[a-z0-9]+\.cpp:|^src/net/socket_inet\.h:|^src/app/(win32|qt|console)/|^src/app/main\.cpp:' || true)
if [[ -n "$found" ]]; then
  echo "$found"
  echo "check_os_headers: OS headers belong in src/platform/, the socket shim or the front ends" >&2
  exit 1
fi
echo "check_os_headers: no OS header outside src/platform/, the socket shim and the front ends"
