#!/usr/bin/env bash
# Soak test: runs update cycles in one process against a local FTP server, alternating a new
# definitions set and no change, and prints what the process holds after the warm-up and at the
# end: the tracing allocator's outstanding blocks, open handles, file descriptors and resident
# memory. Fails when any of them grew.
#
#   scripts/soak.sh [CYCLES]
#
# CYCLES (default 1000) run-object cycles. Builds into build/soak (release build, no sanitizer),
# or into FR_SOAK_BUILD_DIR when set.
set -euo pipefail
cd "$(dirname "$0")/.."
cycles=${1:-1000}
build=${FR_SOAK_BUILD_DIR:-build/soak}
jobs=$(nproc)

cmake -S . -B "${build}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFR_WERROR=ON -DFR_BUILD_BENCH=OFF \
  >/dev/null
cmake --build "${build}" --target faults_tests -j "${jobs}" >/dev/null

log=$(mktemp)
trap 'rm -f "${log}"' EXIT
status=0
FR_SOAK_CYCLES=${cycles} "${build}/tests/faults_tests" --gtest_filter='Soak.*' >"${log}" 2>&1 || status=$?
grep '^soak:' "${log}" || true
if [[ ${status} -ne 0 ]]; then
  cat "${log}"
  echo "soak: FAILED"
  exit "${status}"
fi
echo "soak: passed"
