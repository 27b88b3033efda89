#!/usr/bin/env bash
# The share of the module's source lines a fuzz corpus reaches
# (docs/robustness.md).
#
#   scripts/fuzz-coverage.sh [CORPUS_DIR ...]    default build-fuzz/corpus
#
# Builds clockramp-fuzz-corpus with clang's source-based coverage (preset
# "coverage", build-coverage/), replays every input of the corpus (the same
# decoding, run and checks as the fuzz target, without libFuzzer), and prints
# llvm-cov's line, function and region coverage of the module's sources
# compiled for the host (module/, ramp/, clockgen/, sio/, timer/, pei/; the
# IA-32 backend of the platform layer is inline assembly the host never
# builds). The per-line listing goes to build-coverage/module-coverage.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-coverage
corpora=("$@")
[ ${#corpora[@]} -gt 0 ] || corpora=(build-fuzz/corpus)

cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$(nproc)"

rm -f "$out"/replay-*.profraw
# One profile per process: the replay runs in batches, so that a corpus of
# any size fits the command line.
find "${corpora[@]}" -type f -print0 |
  LLVM_PROFILE_FILE="$out/replay-%p.profraw" xargs -0 -n 2000 \
    "$out/fuzz/clockramp-fuzz-corpus" replay > "$out/replay.log"
awk '/passed,/ {p += $1; f += $3} END {print "replayed: " p " passed, " f " failed"}' "$out/replay.log"
llvm-profdata merge -sparse -o "$out/replay.profdata" "$out"/replay-*.profraw

sources=()
for dir in module ramp clockgen sio timer pei; do
  while IFS= read -r -d '' f; do sources+=("$f"); done < <(find "$dir" -name '*.cpp' ! -name '*Ia32*' -print0)
done
binary="$out/fuzz/clockramp-fuzz-corpus"
llvm-cov report "$binary" -instr-profile="$out/replay.profdata" "${sources[@]}"
llvm-cov show "$binary" -instr-profile="$out/replay.profdata" -show-line-counts-or-regions \
  "${sources[@]}" > "$out/module-coverage.txt"
echo "per-line listing: $out/module-coverage.txt"
