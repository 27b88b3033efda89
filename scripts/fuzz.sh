#!/usr/bin/env bash
# Fuzzes the module on the simulated board and every reader of outside input
# (docs/robustness.md).
#
#   scripts/fuzz.sh [SECONDS] [TARGET ...]     default 120 s, every target
#
# Targets: "module" (the module on random boards, fuzz/FuzzTarget.cpp) and
# the readers (fuzz/readers/: firmware_walk, pe_image, scenario, i2cdump,
# efivarfs, capture, vcd, qemu_trace, scenario_peim). SECONDS is shared
# equally between the targets run: `scripts/fuzz.sh 600 vcd` gives the VCD
# reader ten minutes by itself.
#
# Builds the libFuzzer binaries with clang (preset "fuzz", build-fuzz/),
# writes the seed corpora to build-fuzz/seeds/TARGET/, and runs each target on
# its growing corpus build-fuzz/corpus/TARGET/, with a dictionary when
# fuzz/dict/TARGET.dict exists, printing its executions. A finding (a
# crash, a sanitizer report, a broken rule, a leak, a run over 10 s, a
# memory limit) is saved under build-fuzz/findings/TARGET/; the other targets
# still run, and the script exits 1. Replay a finding with
#   build-fuzz/fuzz/readers/clockramp_fuzz_TARGET build-fuzz/findings/TARGET/<file>
#   (build-fuzz/fuzz/clockramp_fuzz for the module)
# SECONDS 0 runs without a time limit, for a campaign of FUZZ_RUNS=N
# executions a target. FUZZ_JOBS=N runs N workers per target (libFuzzer
# -fork=N).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-120}"
shift || true
jobs="${FUZZ_JOBS:-1}"
out=build-fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

readers="$out/fuzz/readers/clockramp-fuzz-readers"
declare -A max_len
while read -r name len; do
  max_len[$name]=$len
done < <("$readers" list)

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(module $("$readers" list | cut -d' ' -f1))
fi
for t in "${targets[@]}"; do
  if [ "$t" != module ] && [ -z "${max_len[$t]:-}" ]; then
    echo "fuzz: no target $t (module, or one of: ${!max_len[*]})" >&2
    exit 2
  fi
done
share=$((seconds / ${#targets[@]}))
[ "$seconds" -eq 0 ] || [ "$share" -ge 1 ] || share=1

rm -rf "$out/seeds"
mkdir -p "$out/seeds/module"
shopt -s nullglob
scenarios=(tests/scenarios/*.json)
"$out/fuzz/clockramp-fuzz-corpus" seeds "$out/seeds/module" "${scenarios[@]}" >/dev/null
"$readers" seeds "$out/seeds" >/dev/null

echo "fuzz: ${#targets[@]} target(s), ${share} s each${FUZZ_RUNS:+ (or $FUZZ_RUNS executions)}," \
  "$jobs worker(s) each"
failed=()
for t in "${targets[@]}"; do
  mkdir -p "$out/corpus/$t" "$out/findings/$t"
  args=(-max_total_time="$share" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
        -artifact_prefix="$out/findings/$t/")
  [ -z "${FUZZ_RUNS:-}" ] || args+=(-runs="$FUZZ_RUNS")
  if [ "$t" = module ]; then
    binary="$out/fuzz/clockramp_fuzz"
  else
    binary="$out/fuzz/readers/clockramp_fuzz_$t"
    args+=(-max_len="${max_len[$t]}")
    [ -f "fuzz/dict/$t.dict" ] && args+=(-dict="fuzz/dict/$t.dict")
  fi
  if [ "$jobs" -gt 1 ]; then
    args+=(-fork="$jobs" -ignore_crashes=0)
  fi
  log="$out/fuzz-$t.log"
  started=$SECONDS
  set +e
  "$binary" "${args[@]}" "$out/corpus/$t" "$out/seeds/$t" >"$log" 2>&1
  status=$?
  set -e
  # The executions and the corpus at the end: the final statistics, or in
  # fork mode the last progress line.
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  [ -n "$runs" ] || runs=$(sed -n 's/^#\([0-9]*\):.*/\1/p' "$log" | tail -n 1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")
  printf 'fuzz: %-14s %10s executions in %s s, corpus %s inputs, %s edges, %s features' \
    "$t" "${runs:-?}" "$((SECONDS - started))" "${corp:-?}" "${cov:-?}" "${ft:-?}"
  if [ $status -ne 0 ]; then
    printf ': FINDING (exit %s)\n' "$status"
    tail -n 40 "$log"
    failed+=("$t")
  else
    printf '\n'
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: FINDING in ${failed[*]}; inputs in $out/findings/" >&2
  exit 1
fi
echo "fuzz: no finding"
