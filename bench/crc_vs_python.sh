#!/usr/bin/env bash
# Throughput of GetFileCrc against Python's zlib.crc32 over the same page-cached 1 GiB file, read
# by Python in 1 MiB blocks. Prints the median of several runs of each and their ratio.
#
#   bench/crc_vs_python.sh [runs]      (default 5; the build goes to build-bench)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FR_BENCH_BUILD_DIR:-$root/build-bench}
runs=${1:-5}
python=/usr/bin/python3

log=$(mktemp)
trap 'rm -f "$log"' EXIT
build_crc_bench() {
  [[ -f $build/CMakeCache.txt ]] ||
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFR_BUILD_BENCH=ON || return
  cmake --build "$build" --target crc_bench -j2
}
if ! build_crc_bench >"$log" 2>&1; then
  cat "$log" >&2
  echo "building crc_bench failed" >&2
  exit 1
fi
bench=$build/bench/crc_bench

file=$(mktemp "${TMPDIR:-/tmp}/fr-crc-XXXXXX")
trap 'rm -f "$log" "$file"' EXIT
head -c 1G /dev/urandom >"$file"
cat "$file" >/dev/null  # into the page cache

cpp=$(FR_CRC_BENCH_FILE=$file "$bench" --benchmark_filter='^BM_GetFileCrc' \
  --benchmark_repetitions="$runs" --benchmark_report_aggregates_only=true \
  --benchmark_format=json | "$python" -c '
import json, sys
runs = json.load(sys.stdin)["benchmarks"]
# One repetition reports no aggregates; several report only them.
best = [b for b in runs if b.get("aggregate_name") == "median"] or runs
print(best[0]["bytes_per_second"] / 2**30)
')

py=$("$python" - "$file" "$runs" <<'PY'
import statistics, sys, time, zlib
path, runs = sys.argv[1], int(sys.argv[2])
rates = []
for _ in range(runs):
    start = time.perf_counter()
    size, crc = 0, 0
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            crc = zlib.crc32(block, crc)
            size += len(block)
    rates.append(size / (time.perf_counter() - start) / 2**30)
print(statistics.median(rates))
PY
)

"$python" - "$cpp" "$py" "$runs" <<'PY'
import sys
cpp, py, runs = float(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
print(f"GetFileCrc:           {cpp:6.2f} GiB/s (median of {runs})")
print(f"Python zlib.crc32:    {py:6.2f} GiB/s (median of {runs}, 1 MiB blocks)")
print(f"ratio:                {cpp / py:6.2f}")
PY
