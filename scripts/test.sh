#!/usr/bin/env bash
# The project's tests.
#
#   scripts/test.sh         installs what is missing, builds the default preset
#                           and runs every test of the suite (ctest: unit
#                           tests, QEMU scenarios, golden outputs, all of them)
#   scripts/test.sh --all   the full gate, what CI runs before a change lands:
#                           the above, then the whole suite again under
#                           AddressSanitizer and UndefinedBehaviorSanitizer
#                           (preset "sanitize", build-sanitize/), static
#                           analysis (scripts/lint.sh: clang-tidy and cppcheck,
#                           findings are errors), a fuzzing smoke run of
#                           every target (scripts/fuzz.sh,
#                           CLOCKRAMP_FUZZ_SECONDS shared between them,
#                           default 120) and the EDK II build: the module and
#                           OVMF built by EDK II from Debian's source archive,
#                           through the project's checks and under QEMU
#                           (scripts/edk2.sh)
#
# Every stage shows how far along it is (ninja's and ctest's counters, lint's
# file n of N) and the time of each stage is printed at the end. Exit status:
# 0 when everything passed, 1 at the first failure (the stages after it are
# not run), 2 for a bad command line.
set -euo pipefail
cd "$(dirname "$0")/.."

all=0
case "${1:-}" in
  "") ;;
  --all) all=1 ;;
  -h | --help)
    sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"
    exit 0
    ;;
  *)
    echo "usage: scripts/test.sh [--all]" >&2
    exit 2
    ;;
esac

jobs="$(nproc)"
started=$SECONDS
passed=0
stage_names=()
stage_times=()
current=""
stage_started=$SECONDS

# Closes the running stage (its time goes to the table) and starts the next
# one; with no name it only closes.
stage() {
  if [ -n "$current" ]; then
    stage_names+=("$current")
    stage_times+=($((SECONDS - stage_started)))
  fi
  current="${1:-}"
  stage_started=$SECONDS
  if [ -n "$current" ]; then
    echo
    echo "==== $current ($((SECONDS - started)) s) ===="
  fi
}

# The time of every stage, and of the one that failed.
report() {
  local i
  if [ -n "$current" ]; then
    current="$current (FAILED)"
    stage
  fi
  echo
  echo "==== stage times ===="
  for i in "${!stage_names[@]}"; do
    printf '%6d s  %s\n' "${stage_times[$i]}" "${stage_names[$i]}"
  done
  printf '%6d s  total\n' $((SECONDS - started))
}
trap report EXIT

# Runs ctest for a preset and adds its passed tests to the count.
run_ctest() {
  local preset=$1 log n
  log="$(mktemp)"
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log"
  n="$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)"
  rm -f "$log"
  if [ -z "$n" ]; then
    echo "test: ctest --preset $preset did not pass" >&2
    exit 1
  fi
  passed=$((passed + n))
}

stage "dependencies"
scripts/deps.sh

stage "build (default)"
scripts/build.sh default
stage "tests (default)"
run_ctest default

if [ "$all" -eq 1 ]; then
  stage "build (sanitize: ASan + UBSan)"
  scripts/build.sh sanitize
  stage "tests under ASan + UBSan"
  ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}" \
  UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
    run_ctest sanitize

  stage "static analysis"
  scripts/lint.sh

  stage "fuzzing smoke run"
  scripts/fuzz.sh "${CLOCKRAMP_FUZZ_SECONDS:-120}"

  stage "EDK II: the module and OVMF built from source, and their tests"
  scripts/edk2.sh
fi

stage
trap - EXIT
report
echo "tests: $passed passed, 0 failed"
