#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds and runs every test suite: a plain build with warnings
# as errors, then the same suite under AddressSanitizer with UndefinedBehaviorSanitizer.
# Tests start their own servers (FTP, HTTP) on 127.0.0.1 at free ports.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs=$(nproc)

run_suite() {  # name, cmake options...
  local name=$1; shift
  echo "=== ${name}: build"
  cmake -S . -B "build/${name}" -DFR_WERROR=ON -DFR_BUILD_BENCH=OFF "$@" >/dev/null
  cmake --build "build/${name}" -j "${jobs}"
  echo "=== ${name}: test"
  (cd "build/${name}" && ctest --output-on-failure -j "${jobs}" --timeout 900)
}

run_suite release -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite asan -DCMAKE_BUILD_TYPE=Debug -DFR_SANITIZE=address,undefined
echo "=== all suites passed"
