#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds and runs every test suite: a plain build with warnings
# as errors, the same suite under AddressSanitizer with UndefinedBehaviorSanitizer, and again under
# ThreadSanitizer; then a short run of every fuzz target on its seed corpus (scripts/fuzz.sh), and
# the Debian package built, checked with lintian, installed and purged (scripts/package-test.sh).
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
# Every report fails the suite; nothing is suppressed.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFR_SANITIZE=thread
FUZZ_JOBS=${jobs} ./scripts/fuzz.sh 20
./scripts/package-test.sh
echo "=== all suites passed"
