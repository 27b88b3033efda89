#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every check:
#   1. the test suite on the default build (ctest --preset default);
#   2. the whole suite again under AddressSanitizer and
#      UndefinedBehaviorSanitizer (preset "sanitize", build-sanitize/);
#   3. static analysis: clang-tidy and cppcheck, findings are errors
#      (scripts/lint.sh);
#   4. a fuzzing smoke run of every target (scripts/fuzz.sh, CLOCKRAMP_FUZZ_SECONDS
#      shared between them, default 120).
# Any failure stops it with a non-zero exit.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"
started=$SECONDS
passed=0

stage() {
  echo
  echo "==== $* ($((SECONDS - started)) s) ===="
}

# Runs ctest for a preset and adds its passed tests to the count.
run_ctest() {
  local preset=$1 log
  log="$(mktemp)"
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log"
  local n
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

stage "build (sanitize: ASan + UBSan)"
scripts/build.sh sanitize
stage "tests under ASan + UBSan"
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
  run_ctest sanitize

stage "static analysis"
scripts/lint.sh build

stage "fuzzing smoke run"
scripts/fuzz.sh "${CLOCKRAMP_FUZZ_SECONDS:-120}"

echo
echo "==== done in $((SECONDS - started)) s ===="
echo "tests: $passed passed, 0 failed"
