#!/usr/bin/env bash
# The fleet simulation: builds the updater and bench/fleet_sim.cc (Release, into build-bench or
# FR_BENCH_BUILD_DIR), then runs N updaters in one process against one nginx on 127.0.0.1, and
# curl polling the same server as the peer, and prints the figures as Markdown
# (bench/RESULTS.md, "Fleet").
#
#   bench/fleet.sh [--updaters N] [--interval S] [--files F] [--file-size B] [--changed K]
#                  [--curl-polls P] [--work DIR]
#
# The defaults (1,000 updaters, a 60 s interval) take about four minutes and a few hundred MiB
# under the work directory (a temporary one unless --work keeps it).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FR_BENCH_BUILD_DIR:-$root/build-bench}

for tool in curl /usr/sbin/nginx; do
  command -v "$tool" >/dev/null || { echo "bench: missing $tool (scripts/install-deps.sh)" >&2; exit 1; }
done

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! {
  [[ -f $build/CMakeCache.txt ]] ||
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFR_BUILD_BENCH=ON
  cmake --build "$build" --target repository-updater fleet_sim -j2
} >"$log" 2>&1; then
  cat "$log" >&2
  echo "bench: the build failed" >&2
  exit 1
fi

exec /usr/bin/python3 "$root/bench/fleet.py" --build "$build" "$@"
