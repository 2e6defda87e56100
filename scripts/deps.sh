#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (as root), unless
# they are all present already.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config libgtest-dev libssl-dev iproute2 procps curl nginx-light
  qt6-base-dev fonts-wqy-microhei fonts-wqy-zenhei fonts-arphic-uming)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
