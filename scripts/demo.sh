#!/usr/bin/env bash
# The main job: sets up a fresh Debian 12 machine, builds the updater (Release), publishes a sample
# definitions set on a local FTP server (127.0.0.1, a free port), runs one update cycle with
# `repository-updater once`, and shows the installed files, the log and the status.
#
# Everything it makes stays below build/demo/ (the work directory is made afresh on every run).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

./scripts/install-deps.sh

build="$root/build/demo"
echo "=== build (Release) in build/demo"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DFR_BUILD_TESTS=OFF -DFR_BUILD_BENCH=OFF \
  >/dev/null
cmake --build "$build" --target repository-updater -j "$(nproc)" >/dev/null
updater="$build/repository-updater"

work="$build/work"
rm -rf "$work"
mkdir -p "$work/server/mailfilter" "$work/staging"

echo "=== sample definitions set"
staging="$work/staging"
{
  echo "# mail filter rules"
  for i in $(seq 1 200); do echo "rule $i: score $((i % 7)) header X-Demo-$i"; done
} >"$staging/rules.cfg"
seq 1 20000 | sed 's/^/pattern /' >"$staging/patterns.dat"
printf 'engine data %s\n' $(seq 1 5000) >"$staging/engine.dat"
# The trigger file is the checksum list of the set; it is written outside the set's directory
# (an empty file being written into it would be refused), then published with it.
"$updater" checksum "$staging" >"$work/mailfilter.crc"
cp "$staging"/* "$work/server/mailfilter/"
mv "$work/mailfilter.crc" "$work/server/mailfilter/"
cat -A "$work/server/mailfilter/mailfilter.crc"

echo "=== FTP server on 127.0.0.1"
# The server exits when its stdin closes: the coprocess pipe closes at the latest with this script.
coproc FTP_SERVER {
  exec /usr/bin/python3 "$root/tests/servers/ftp_server.py" --root "$work/server" \
    --user updater:demo-password 2>"$work/ftp-server.log"
}
ftp_pid=$FTP_SERVER_PID
stop_server() {
  exec {FTP_SERVER[1]}>&- 2>/dev/null || true
  wait "$ftp_pid" 2>/dev/null || true
}
trap stop_server EXIT
if ! read -r -t 30 port <&"${FTP_SERVER[0]}"; then
  echo "the FTP server did not start:" >&2
  cat "$work/ftp-server.log" >&2
  exit 1
fi
echo "listening on port $port"

echo "=== configuration $work/repository-updater.toml"
cat >"$work/repository-updater.toml" <<TOML
[store]
path = "state/properties.db"

[log]
format = "text"
file = "log/updater.log"

[network]
connect_timeout_ms = 10000
stall_timeout_ms = 30000

[[processor]]
name = "MailFilter0"
display_name = "Mail Filter"
server = "ftp://127.0.0.1:$port"
remote_dir = "mailfilter"
user = "updater"
password = "demo-password"
root_dir = "mailfilter"
trigger_file = "mailfilter.crc"
extensions = "dat,cfg"
on_updates_available = "echo \"callback: \$REPOSITORY_UPDATER_DISPLAY_NAME has new definitions in \$REPOSITORY_UPDATER_DEFINITIONS_DIR\""
TOML
cat "$work/repository-updater.toml"

echo "=== repository-updater once"
status=0
"$updater" once -c "$work/repository-updater.toml" || status=$?
echo "exit status $status"

echo "=== installed directory tree"
(cd "$work" && find mailfilter -printf '%y %8s  %p\n' | sort -k3)

echo "=== log ($work/log/updater.log)"
cat "$work/log/updater.log"

echo "=== repository-updater status"
"$updater" status -c "$work/repository-updater.toml"
exit "$status"
