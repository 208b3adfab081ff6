#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running need. Safe to run again.
set -euo pipefail
packages=(
  build-essential cmake pkg-config git
  libcurl4-openssl-dev libdeflate-dev libsqlite3-dev libtomlplusplus-dev libsodium-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3-pyftpdlib python3-openssl nginx-light openssl curl lftp minisign
  clang-14 libclang-rt-14-dev
  systemd lintian logrotate file
  prometheus  # promtool: the metrics test checks the file with it (about 20 MB)
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  # Packaged servers are started by the tests themselves; keep the packages' own services off.
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
  $SUDO rm -f /usr/sbin/policy-rc.d
fi
