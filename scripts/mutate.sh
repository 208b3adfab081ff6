#!/usr/bin/env bash
# Mutation run: plants each small fault of a directory of patches, one at a time, in a scratch
# copy of the tree, rebuilds incrementally, runs the test suite and reports whether a test caught
# the fault. The working tree is never touched.
#
#   scripts/mutate.sh [-L LABEL] [-t SECONDS] [-k] [PATCH_OR_DIRECTORY...]
#
# Patches are unified diffs against the tree's root (`diff -u a/src/x.cc b/src/x.cc`), each
# planting one fault; text before the diff describes it (its first line is printed). The default
# is every *.patch below tests/mutations/. -L runs only the tests of a ctest label, -t limits the
# suite's run per patch (default 900 s; a suite stopped at the limit counts as caught, since a
# hang fails CI too), -k keeps running every test after the first failure (default: stop there,
# which is what makes a caught fault cheap).
#
# The scratch copy (the tracked and untracked files of the tree as they stand, uncommitted edits
# included) and its one build directory live in ${MUTATE_DIR:-build/mutate} and are reused: only
# files that changed are copied again, so a second run rebuilds little. Before the first patch the
# unmutated suite must pass, or the run stops.
#
# Prints a line per patch, "caught" (with the first tests that failed), "survived", "stale" (the
# patch no longer applies) or "no build" (the fault does not compile), then the rate over the
# patches that applied and built. Exit status 0 when every fault was caught, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

label=()
limit=900
stop=(--stop-on-failure)
while getopts "L:t:k" option; do
  case "${option}" in
    L) label=(-L "${OPTARG}") ;;
    t) limit=${OPTARG} ;;
    k) stop=() ;;
    *) sed -n '5,6p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || set -- tests/mutations
patches=()
for operand in "$@"; do
  if [ -d "${operand}" ]; then
    while IFS= read -r found; do patches+=("$(realpath "${found}")"); done \
      < <(find "${operand}" -name '*.patch' | sort)
  else
    patches+=("$(realpath "${operand}")")
  fi
done
[ ${#patches[@]} -gt 0 ] || { echo "mutate: no patches" >&2; exit 2; }

work=$(realpath -m "${MUTATE_DIR:-build/mutate}")
tree=${work}/tree
build=${work}/build
mkdir -p "${tree}" "${build}"
jobs=$(nproc)
[ "${jobs}" -gt 2 ] && jobs=2

# Copies the files that differ from the scratch copy (with a fresh time, so the build sees them)
# and removes those the tree no longer has.
git ls-files -co --exclude-standard | grep -v '^tests/mutations/' | sort > "${work}/files.new"
while IFS= read -r file; do
  if ! cmp -s "${file}" "${tree}/${file}"; then
    mkdir -p "${tree}/$(dirname "${file}")"
    cp "${file}" "${tree}/${file}"
  fi
done < "${work}/files.new"
if [ -f "${work}/files" ]; then
  comm -23 "${work}/files" "${work}/files.new" | while IFS= read -r gone; do
    rm -f "${tree}/${gone}"
  done
fi
mv "${work}/files.new" "${work}/files"

build_tree() {
  cmake --build "${build}" -j "${jobs}" > "${work}/build.log" 2>&1
}
# Runs the suite; prints the names of the tests that failed or were stopped at the limit. A fault
# that retries without end can use up the local ports for the next minute (closed connections
# wait in TIME-WAIT), and the next fault's servers would then fail to start: wait for them first.
run_suite() {
  local status=0 waited=0
  while [ "$(ss -tan state time-wait 2>/dev/null | wc -l)" -gt 2000 ] && [ "${waited}" -lt 120 ]; do
    sleep 5
    waited=$((waited + 5))
  done
  (cd "${build}" && timeout "${limit}" ctest -j "${jobs}" "${label[@]}" "${stop[@]}" \
    --timeout 600 > "${work}/ctest.log" 2>&1) || status=$?
  if [ "${status}" -eq 124 ]; then
    echo "(stopped at ${limit} s)"
  fi
  sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(Failed\|Timeout\|Subprocess aborted\|SEGFAULT\|Exception\|Child aborted\|Not Run\)).*/\1/p' \
    "${work}/ctest.log" | head -3 | paste -sd ' ' -
  return 0
}

start=$(date +%s)
echo "mutate: ${#patches[@]} patches; scratch copy and build in ${work}"
cmake -S "${tree}" -B "${build}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFR_WERROR=ON \
  -DFR_BUILD_BENCH=OFF > "${work}/configure.log"
build_tree || { echo "mutate: the unmutated tree does not build (${work}/build.log)" >&2; exit 2; }
failed=$(run_suite)
if [ -n "${failed}" ]; then
  echo "mutate: the unmutated suite fails: ${failed} (${work}/ctest.log)" >&2
  exit 2
fi
echo "mutate: unmutated suite passes ($(( $(date +%s) - start )) s with the build)"

caught=0 survived=0 skipped=0
survivors=()
for patch in "${patches[@]}"; do
  name=${patch#"${root}/tests/mutations/"}
  what=$(sed -n '1{/^---/q;p}' "${patch}")
  began=$(date +%s)
  if ! (cd "${tree}" && patch -p1 -s -f --dry-run < "${patch}" > /dev/null 2>&1); then
    printf '%-9s %s\n' "stale" "${name}"
    skipped=$((skipped + 1))
    continue
  fi
  (cd "${tree}" && patch -p1 -s -f < "${patch}" > /dev/null)
  if ! build_tree; then
    verdict="no build"
    detail=$(grep -m1 'error:' "${work}/build.log" | sed 's/^.*error: //')
    skipped=$((skipped + 1))
  else
    detail=$(run_suite)
    if [ -n "${detail}" ]; then
      verdict=caught
      caught=$((caught + 1))
    else
      verdict=survived
      survived=$((survived + 1))
      survivors+=("${name}: ${what}")
    fi
  fi
  (cd "${tree}" && patch -p1 -s -f -R < "${patch}" > /dev/null)
  [ "${verdict}" = caught ] && detail="by ${detail}"
  printf '%-9s %s (%d s) %s\n' "${verdict}" "${name}" $(( $(date +%s) - began )) "${detail}"
done
# Leave the build matching the unmutated tree for the next run.
build_tree || true

total=$((caught + survived))
echo "mutate: caught ${caught} of ${total}$( [ ${total} -gt 0 ] && echo " ($(( 100 * caught / total ))%)" )," \
  "${skipped} stale or not building; $(( ($(date +%s) - start) / 60 )) min"
for line in "${survivors[@]}"; do echo "  survived: ${line}"; done
[ "${survived}" -eq 0 ]
