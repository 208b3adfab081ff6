#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang and runs each for a while on its committed seed
# corpus, with a scratch working corpus outside the repository. Fails when a target crashes, leaks,
# times out or breaks one of its properties; the input that did it is kept as an artifact.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]      (default 30 seconds, every target)
#
# Environment: FUZZ_JOBS targets at a time (default 1), FUZZ_BUILD_DIR (default build/fuzz),
# FUZZ_WORK_DIR for the working corpora and logs (default a fresh temporary directory, removed
# after a clean run), FUZZ_ARTIFACTS for crash inputs (default build/fuzz-artifacts).
# A crash input is a regression seed once fixed: copy it into fuzz/corpus/TARGET/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${1:-30}
shift || true
build=${FUZZ_BUILD_DIR:-build/fuzz}
artifacts=${FUZZ_ARTIFACTS:-build/fuzz-artifacts}
jobs=${FUZZ_JOBS:-1}
case "${seconds}" in '' | *[!0-9]*) echo "usage: $0 [SECONDS_PER_TARGET] [TARGET...]" >&2; exit 2 ;; esac

if [ $# -gt 0 ]; then
  targets=("$@")
  build_targets=("$@")
else
  targets=()
  for dir in fuzz/corpus/*/; do targets+=("$(basename "${dir}")"); done
  build_targets=(fuzz_targets)
fi

echo "=== fuzz: build (${build})"
CC=clang-14 CXX=clang++-14 cmake -S . -B "${build}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFR_BUILD_FUZZ=ON -DFR_BUILD_TESTS=OFF -DFR_BUILD_BENCH=OFF -DFR_WERROR=ON >/dev/null
cmake --build "${build}" --target "${build_targets[@]}" -j "$(nproc)"

work=${FUZZ_WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/fuzz.XXXXXX")}
mkdir -p "${work}" "${artifacts}"
artifacts=$(cd "${artifacts}" && pwd)

run_target() {  # target: fuzzes it into ${work}/TARGET.log; the status is libFuzzer's
  local target=$1
  local corpus="${work}/${target}"
  local dict=()
  mkdir -p "${corpus}"
  [ -f "fuzz/${target}.dict" ] && dict=("-dict=${root}/fuzz/${target}.dict")
  # New inputs go into the first corpus directory, the scratch one; the seeds are only read.
  "${build}/fuzz/${target}" "${corpus}" "${root}/fuzz/corpus/${target}" "${dict[@]}" \
    -max_total_time="${seconds}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="${artifacts}/${target}-" >"${work}/${target}.log" 2>&1
}

summarise() {  # target, status
  local log="${work}/$1.log"
  local done_line runs
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "${log}" | tail -n 1 || true)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "${log}" | tail -n 1)
  if [ "$2" -eq 0 ]; then
    echo "--- $1: ${runs:-?} runs; ${done_line:-no final line}"
  else
    echo "--- $1: FAILED (status $2); the end of its log:"
    tail -n 40 "${log}"
  fi
}

echo "=== fuzz: ${#targets[@]} targets, ${seconds} s each, ${jobs} at a time; work in ${work}"
failed=0
pids=()
names=()
wait_first() {
  local status=0
  wait "${pids[0]}" || status=$?
  summarise "${names[0]}" "${status}"
  [ "${status}" -eq 0 ] || failed=1
  pids=("${pids[@]:1}")
  names=("${names[@]:1}")
}
for target in "${targets[@]}"; do
  [ "${#pids[@]}" -lt "${jobs}" ] || wait_first
  run_target "${target}" &
  pids+=($!)
  names+=("${target}")
done
while [ "${#pids[@]}" -gt 0 ]; do wait_first; done

if [ "${failed}" -ne 0 ]; then
  echo "=== fuzz: FAILED; crash inputs in ${artifacts}, logs and corpora in ${work}"
  exit 1
fi
[ -n "${FUZZ_WORK_DIR:-}" ] || rm -rf "${work}"
echo "=== fuzz: all targets clean"
