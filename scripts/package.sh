#!/usr/bin/env bash
# Builds the Debian package, build/package/repository-updater_<version>_amd64.deb, with Debian's
# hardening flags, and prints its path as the last line. Needs cmake, dpkg-dev and the build's
# packages (scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/package
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
CFLAGS="$flags" CXXFLAGS="$flags" LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DFR_WERROR=ON -DFR_BUILD_TESTS=OFF -DFR_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" >/dev/null
rm -f "$dir"/repository-updater_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$PWD/$dir"/repository-updater_*_amd64.deb
