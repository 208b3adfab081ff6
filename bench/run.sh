#!/usr/bin/env bash
# The benchmark suite: builds the updater and the in-process benchmarks (Release, into
# build-bench or FR_BENCH_BUILD_DIR), makes its data, starts an FTP server on 127.0.0.1, and prints
# for each case our figures, the peers' figures (lftp, curl, cksum, Python's zlib, sha256sum,
# openssl; in case 9 the classic mode) and the ratios, as medians of interleaved runs, then the
# targets met or missed.
#
#   bench/run.sh [--quick] [--runs N] [--cases 1,2,3,5,6,7,8,9] [--data DIR] [--idle-seconds S]
#                [--no-curl]
#
# --quick is a smoke run: smaller data, 2 runs. --data keeps the generated data in DIR for the
# next run (about 3 GiB; the default is a temporary directory removed at the end). Exit status 0
# when every target was met, 3 when one was missed, 1 on a failure. Nothing here fails on a time
# in CI: the figures are for people (bench/RESULTS.md).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FR_BENCH_BUILD_DIR:-$root/build-bench}

missing=()
for tool in lftp curl cksum sha256sum openssl minisign nice; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
/usr/bin/python3 -c 'import pyftpdlib' 2>/dev/null || missing+=("python3-pyftpdlib")
if ((${#missing[@]})); then
  echo "bench: missing ${missing[*]} (scripts/install-deps.sh installs them)" >&2
  exit 1
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! {
  [[ -f $build/CMakeCache.txt ]] ||
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFR_BUILD_BENCH=ON
  cmake --build "$build" --target repository-updater update_bench -j2
} >"$log" 2>&1; then
  cat "$log" >&2
  echo "bench: the build failed" >&2
  exit 1
fi

exec /usr/bin/python3 "$root/bench/suite.py" --build "$build" "$@"
