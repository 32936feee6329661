#!/usr/bin/env bash
# Runs the test suite again and again, optionally with both cores kept busy, to show
# that no test fails by chance. Prints one line per run and the totals; exits non-zero
# if any run had a failure.
#
#   bash scripts/repeat-tests.sh [--runs N] [--load] [--build DIR] [-R REGEX]
#   bash scripts/repeat-tests.sh [--runs N] [--load] [--build DIR] --gtest BINARY FILTER
#
#   --runs N        how many runs (default 5)
#   --load          one busy loop per core for the whole time, stopped at the end
#   --build DIR     build directory (default build); it is configured and built first
#   --no-build      use the build directory as it is
#   -R REGEX        only the ctest entries matching REGEX
#   --gtest B F     instead of ctest: run the GoogleTest binary B (path relative to the
#                   build directory, e.g. tests/fixtures/test_fixtures) with filter F, once
#                   per run, in ctest's environment
set -euo pipefail
cd "$(dirname "$0")/.."

RUNS=5
LOAD=0
BUILD=build
REGEX=""
GTEST_BIN=""
GTEST_FILTER=""
DO_BUILD=1
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) RUNS=$2; shift 2 ;;
    --load) LOAD=1; shift ;;
    --build) BUILD=$2; shift 2 ;;
    --no-build) DO_BUILD=0; shift ;;
    -R) REGEX=$2; shift 2 ;;
    --gtest) GTEST_BIN=$2; GTEST_FILTER=$3; shift 3 ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "repeat-tests: unknown argument: $1" >&2; exit 2 ;;
  esac
done
case "$RUNS" in ''|*[!0-9]*) echo "repeat-tests: --runs needs a number" >&2; exit 2 ;; esac

if [ "$DO_BUILD" = 1 ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIMBRA_BUILD_TESTS=ON >/dev/null
  cmake --build "$BUILD" -j2 >/dev/null
fi
BUILD=$(cd "$BUILD" && pwd)

LOADERS=()
stop_load() {
  for p in "${LOADERS[@]:-}"; do [ -n "$p" ] && kill "$p" 2>/dev/null || true; done
  for p in "${LOADERS[@]:-}"; do [ -n "$p" ] && wait "$p" 2>/dev/null || true; done
  LOADERS=()
}
trap stop_load EXIT
if [ "$LOAD" = 1 ]; then
  for _ in $(seq "$(nproc)"); do
    bash -c 'while :; do :; done' &
    LOADERS+=($!)
  done
fi

LOGDIR=$(mktemp -d -t nimbra-repeat-XXXXXX)
green=0 red=0 tests_passed=0 tests_failed=0
for run in $(seq "$RUNS"); do
  log="$LOGDIR/run$run.log"
  start=$(date +%s)
  if [ -n "$GTEST_BIN" ]; then
    # ctest's environment for the binary, taken from the test entry that runs it.
    name=$(basename "$GTEST_BIN")
    rc=0
    env_line=$(cd "$BUILD" && ctest -R "^${name}\$" --show-only=json-v1 | /usr/bin/python3 -c '
import json, sys
t = json.load(sys.stdin)["tests"]
props = {p["name"]: p["value"] for p in t[0].get("properties", [])} if t else {}
print("\n".join(props.get("ENVIRONMENT", [])))')
    (cd "$BUILD" && while IFS= read -r kv; do [ -n "$kv" ] && export "$kv"; done <<<"$env_line" &&
       "$BUILD/$GTEST_BIN" --gtest_filter="$GTEST_FILTER" --gtest_color=no) >"$log" 2>&1 || rc=$?
    p=$(grep -E '^\[  PASSED  \] [0-9]+ test' "$log" | grep -oE '[0-9]+' | head -1 || true)
    f=$(grep -E '^\[  FAILED  \] [0-9]+ test' "$log" | grep -oE '[0-9]+' | head -1 || true)
    p=${p:-0}; f=${f:-0}
    [ "$rc" != 0 ] && [ "$f" = 0 ] && f=1
  else
    rc=0
    (cd "$BUILD" && ctest --output-on-failure -j2 --timeout 900 ${REGEX:+-R "$REGEX"}) >"$log" 2>&1 || rc=$?
    summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" || true)
    f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$summary")
    total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$summary")
    f=${f:-1}; total=${total:-$f}
    p=$((total - f))
    [ "$rc" != 0 ] && [ "$f" = 0 ] && f=1
  fi
  secs=$(( $(date +%s) - start ))
  tests_passed=$((tests_passed + p)); tests_failed=$((tests_failed + f))
  if [ "$f" = 0 ]; then
    green=$((green + 1)); verdict=green
  else
    red=$((red + 1)); verdict="RED (log: $log)"
    grep -E '^\s*[0-9]+ - .*\(Failed|Timeout|Subprocess|Exception' "$log" | sed 's/^/    /' || true
    grep -E '^\[  FAILED  \] [A-Za-z]' "$log" | sort -u | sed 's/^/    /' || true
  fi
  echo "run $run/$RUNS: $p passed, $f failed, ${secs}s, $verdict$([ "$LOAD" = 1 ] && echo ', cores loaded')"
done
stop_load
echo "runs: $RUNS, green: $green, red: $red$([ "$LOAD" = 1 ] && echo ' (both cores loaded)')"
echo "$tests_passed passed, $tests_failed failed"
[ "$red" = 0 ]
