#!/usr/bin/env bash
# Mutation sweep of the module's sources (module/ pei/ ramp/ clockgen/ sio/
# timer/): plants the faults listed in scripts/mutants.txt one at a time in a
# scratch copy of the tree, rebuilds only what the tests need, runs the
# module-level and robustness tests, and records for each fault whether a test
# caught it (killed), none did (survived), or it did not compile. The real
# tree is never written to, so it is intact however the run ends.
#
#   scripts/mutate.sh                 every mutant
#   scripts/mutate.sh ID...           only these (names from the list)
#
# Environment: MUTATE_DIR (scratch copy, build and results; default
# build-mutate/), MUTATE_LIST (default scripts/mutants.txt), MUTATE_TIMEOUT
# (seconds per test binary, default 300). Results: MUTATE_DIR/results.txt,
# logs of each mutant in MUTATE_DIR/logs/. Exit status: 0 when every
# non-equivalent mutant was killed and every equivalent one survived, 1
# otherwise, 2 when the tree itself does not build or pass.
#
# Not part of CI (it takes a quarter of an hour or more); run it after any
# change to the module, under `nice -n 19` on a shared machine.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
list="${MUTATE_LIST:-$root/scripts/mutants.txt}"
work="${MUTATE_DIR:-$root/build-mutate}"
limit="${MUTATE_TIMEOUT:-300}"
src="$work/src"
bld="$work/build"
logs="$work/logs"
results="$work/results.txt"
mutants=(python3 "$root/scripts/mutants.py" "$list")
started=$SECONDS

# Targets built and binaries run for mutants of host-built files and of the
# IA-32-only file.
host_targets=(module_tests robustness_tests)
host_tests=(tests/module/module_tests tests/robustness/robustness_tests)
ia32_targets=(clockramp_image robustness_emu_tests emu_tests)
ia32_tests=(tests/robustness/robustness_emu_tests tests/emu/emu_tests)

# Brings the scratch copy up to the real tree's tracked and untracked (not
# ignored) files, rewriting only files that differ so that the build stays
# incremental; a copy left mutated by an interrupted run is restored here.
sync_tree() {
  mkdir -p "$src"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard) |
    while IFS= read -r -d '' f; do
      [ -f "$root/$f" ] || continue
      if ! cmp -s "$root/$f" "$src/$f"; then
        mkdir -p "$(dirname "$src/$f")"
        cp "$root/$f" "$src/$f"
      fi
    done
}

# Builds the given targets in the scratch build; output to the log file $1.
build() {
  local log=$1
  shift
  timeout 1800 cmake --build "$bld" -j "$(nproc)" --target "$@" >"$log" 2>&1
}

# Runs the given test binaries; 0 when all pass. The first failing test's
# name (or the reason) goes to $failure. Memory is capped so that a mutant
# that loops while recording cannot exhaust the machine.
run_tests() {
  local log=$1
  shift
  failure=""
  : >"$log"
  local t rc
  for t in "$@"; do
    rc=0
    # A shell of its own, so that a crash is reported in the log, not here.
    bash -c 'ulimit -v 8000000 && "$@"; exit $?' sh timeout "$limit" "$bld/$t" --gtest_brief=1 \
      >>"$log" 2>&1 || rc=$?
    if [ "$rc" -ne 0 ]; then
      failure="$(sed -n 's/^\[  FAILED  \] \([^ ,(]*\).*/\1/p' "$log" | head -n 1)"
      if [ "$rc" -eq 124 ]; then
        failure="${failure:-$(basename "$t") timed out after ${limit} s}"
      fi
      failure="${failure:-$(basename "$t") exited with status $rc}"
      return 1
    fi
  done
  return 0
}

# Plants and judges every wanted mutant, then prints the summary. The whole
# run is one function, read before it starts: editing this file during a run
# cannot change what the run does.
main() {
  wanted=("$@")
  "$root/scripts/deps.sh"
  "${mutants[@]}" check "$root" >/dev/null

  echo "mutate: scratch tree $src"
  sync_tree
  launchers=()
  if command -v ccache >/dev/null; then
    launchers=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$src" -B "$bld" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launchers[@]}" \
    >"$work/configure.log" 2>&1 || {
    echo "mutate: configuring the scratch tree failed, see $work/configure.log" >&2
    exit 2
  }
  mkdir -p "$logs"

  echo "mutate: building and testing the unmutated tree"
  if ! build "$logs/baseline.build.log" "${host_targets[@]}" "${ia32_targets[@]}"; then
    echo "mutate: the tree does not build, see $logs/baseline.build.log" >&2
    exit 2
  fi
  if ! run_tests "$logs/baseline.test.log" "${host_tests[@]}" "${ia32_tests[@]}"; then
    echo "mutate: the tree fails its tests ($failure), see $logs/baseline.test.log" >&2
    exit 2
  fi

  killed=0 survived=0 broken=0 equivalent=0 wrong=0 total=0
  : >"$results"
  while read -r -u 3 id file equiv target; do
    if [ "${#wanted[@]}" -gt 0 ] && ! printf '%s\n' "${wanted[@]}" | grep -qx -- "$id"; then
      continue
    fi
    total=$((total + 1))
    t0=$SECONDS
    cp "$src/$file" "$work/original"
    "${mutants[@]}" apply "$id" "$src"
    if [ "$target" = ia32 ]; then
      targets=("${ia32_targets[@]}") tests=("${ia32_tests[@]}")
    else
      targets=("${host_targets[@]}") tests=("${host_tests[@]}")
    fi
    if ! build "$logs/$id.build.log" "${targets[@]}"; then
      outcome="did-not-compile" detail=""
      broken=$((broken + 1))
    elif run_tests "$logs/$id.test.log" "${tests[@]}"; then
      outcome="survived" detail=""
    else
      outcome="killed" detail="$failure"
    fi
    # Back to the original text with a fresh time stamp, so the next build
    # recompiles the file.
    cp "$work/original" "$src/$file"
    touch "$src/$file"

    if [ "$equiv" = 1 ]; then
      if [ "$outcome" = survived ]; then
        outcome="equivalent"
        equivalent=$((equivalent + 1))
      elif [ "$outcome" = killed ]; then
        outcome="killed-but-marked-equivalent"
        wrong=$((wrong + 1))
      fi
    elif [ "$outcome" = killed ]; then
      killed=$((killed + 1))
    elif [ "$outcome" = survived ]; then
      survived=$((survived + 1))
    fi
    line="$(printf '%-32s %-28s %-18s %4ss %s' "$id" "$file" "$outcome" $((SECONDS - t0)) "$detail")"
    echo "$line" | tee -a "$results"
  done 3< <("${mutants[@]}" list)

  # Rebuild the unmutated tree so the scratch build is left matching the source.
  build "$logs/final.build.log" "${host_targets[@]}" "${ia32_targets[@]}" || true

  scored=$((killed + survived))
  score="n/a"
  if [ "$scored" -gt 0 ]; then
    score="$((100 * killed / scored))%"
  fi
  {
    echo
    echo "mutants: $total; killed $killed, survived $survived, did not compile $broken," \
      "equivalent $equivalent, killed though marked equivalent $wrong"
    echo "score: $killed of $scored non-equivalent mutants killed ($score)"
    echo "time: $((SECONDS - started)) s"
  } | tee -a "$results"

  if [ "$survived" -ne 0 ] || [ "$wrong" -ne 0 ]; then
    exit 1
  fi
}

main "$@"
exit $?
