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

# Everything but the module's folders is left out (llvm-cov 14 does not
# narrow its report to source files named on the command line).
binary="$out/fuzz/clockramp-fuzz-corpus"
others='/(board|tests|tools|fuzz|emu|image|qemu|bench|usr)/'
llvm-cov report "$binary" -instr-profile="$out/replay.profdata" -ignore-filename-regex="$others"
llvm-cov show "$binary" -instr-profile="$out/replay.profdata" -ignore-filename-regex="$others" \
  -show-line-counts-or-regions > "$out/module-coverage.txt"
echo "per-line listing: $out/module-coverage.txt"
