#!/usr/bin/env bash
# Fuzzes the module on the simulated board (docs/robustness.md).
#
#   scripts/fuzz.sh [SECONDS]     default 60
#
# Builds the libFuzzer target with clang (preset "fuzz", build-fuzz/), writes
# the seed corpus (built-in boards and tests/scenarios/*.json) to
# build-fuzz/seeds, and runs clockramp_fuzz for SECONDS on the growing corpus
# build-fuzz/corpus. A finding (a crash, a sanitizer report, a broken
# invariant, a leak, a run over 10 s) stops the run and is saved under
# build-fuzz/findings/; replay it with
#   build-fuzz/fuzz/clockramp_fuzz build-fuzz/findings/<file>
# FUZZ_JOBS=N runs N workers (libFuzzer -fork=N).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
jobs="${FUZZ_JOBS:-1}"
out=build-fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

mkdir -p "$out/corpus" "$out/findings"
rm -rf "$out/seeds"
shopt -s nullglob
scenarios=(tests/scenarios/*.json)
"$out/fuzz/clockramp-fuzz-corpus" seeds "$out/seeds" "${scenarios[@]}"

args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=4096
      -artifact_prefix="$out/findings/")
if [ "$jobs" -gt 1 ]; then
  args+=(-fork="$jobs" -ignore_crashes=0)
fi
log="$out/fuzz.log"
echo "fuzz: ${seconds}s, $jobs worker(s), corpus $out/corpus ($(ls "$out/corpus" | wc -l) inputs)"
set +e
"$out/fuzz/clockramp_fuzz" "${args[@]}" "$out/corpus" "$out/seeds" >"$log" 2>&1
status=$?
set -e
grep -E '^stat::|^Done|^#[0-9]+ +DONE' "$log" || true
if [ $status -ne 0 ]; then
  tail -n 60 "$log"
  echo "fuzz: FINDING (exit $status); inputs in $out/findings/" >&2
  exit 1
fi
echo "fuzz: no finding"
