#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (as root), unless
# they are all present already.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config libgtest-dev libssl-dev iproute2 procps curl nginx-light haproxy
  qt6-base-dev libxcb1-dev libsqlite3-dev nlohmann-json3-dev fonts-wqy-microhei fonts-wqy-zenhei fonts-arphic-uming
  chromium chromium-driver python3-selenium libpq-dev postgresql-15)
source "$(dirname "${BASH_SOURCE[0]}")/lib/apt.sh"
ensure_packages "${packages[@]}"
