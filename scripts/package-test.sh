#!/usr/bin/env bash
# Builds the Debian package and tries it on this machine (as root; CI runs it on a fresh Debian
# 12): lintian without errors, installation with dpkg -i, the files, the user, the unit and its
# exposure, the commands as the service's user, the CMake package, then removal and purge.
# systemd does not run as PID 1 in CI, so the service itself is not started here.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "package-test: run as root" >&2; exit 1; }
fail() { echo "package-test: $*" >&2; exit 1; }

deb=$(./scripts/package.sh | tail -n 1)
echo "=== package: lintian $(basename "$deb")"
lintian --fail-on error "$deb"

echo "=== package: install"
dpkg -i "$deb" >/dev/null
config=/etc/repository-updater/repository-updater.toml
unit=/lib/systemd/system/repository-updater.service
for file in /usr/bin/repository-updater "$unit" /usr/include/filerepository/filerepository.h \
  /usr/lib/x86_64-linux-gnu/cmake/filerepository/filerepositoryConfig.cmake \
  /usr/share/man/man8/repository-updater.8.gz /etc/logrotate.d/repository-updater \
  /usr/share/doc/repository-updater/examples/mailfilter-reload.path; do
  [ -e "$file" ] || fail "$file is missing"
done
getent passwd repository-updater >/dev/null || fail "no user repository-updater"
[ "$(stat -c %U:%G:%a "$config")" = root:repository-updater:640 ] || fail "$config: $(stat -c %U:%G:%a "$config")"
[ "$(stat -c %U /var/lib/repository-updater)" = repository-updater ] || fail "state directory"
repository-updater --version
runuser -u repository-updater -- repository-updater check-config -c "$config" | grep -qx ok ||
  fail "check-config as the service's user"
runuser -u repository-updater -- repository-updater status -c "$config" | grep -q "no state yet" ||
  fail "status before the first start"
logrotate --debug /etc/logrotate.d/repository-updater 2>/dev/null || fail "logrotate snippet"

exposure=$(systemd-analyze security --offline=true "$unit" 2>/dev/null |
  sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
echo "exposure of the unit: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.5) }' || fail "exposure above 2.5"
grep -qx "User=repository-updater" "$unit" || fail "the unit runs as another user"
systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"

# A host program built against the installed library through its CMake package.
host=$(mktemp -d)
trap 'rm -rf "$host"' EXIT
cat >"$host/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(host CXX)
find_package(filerepository REQUIRED)
add_executable(host host.cc)
target_link_libraries(host PRIVATE filerepository::filerepository)
CMAKE
printf '#include <filerepository/filerepository.h>\nint main() { return IllegalUpdatesDetected(); }\n' \
  >"$host/host.cc"
cmake -S "$host" -B "$host/build" >/dev/null && cmake --build "$host/build" >/dev/null &&
  "$host/build/host" || fail "a host built with the CMake package"

echo "=== package: remove and purge"
dpkg -r repository-updater >/dev/null
[ ! -e /usr/bin/repository-updater ] && [ -e "$config" ] || fail "remove"
dpkg -P repository-updater >/dev/null
[ ! -e "$config" ] && [ ! -e /var/lib/repository-updater ] || fail "purge"
echo "=== package: ok"
