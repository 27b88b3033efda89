#!/usr/bin/env bash
# The share of each fuzzed reader's source lines its corpus reaches
# (docs/robustness.md).
#
#   scripts/fuzz-coverage.sh [TARGET ...]     default: every target
#
# Builds the replay programs with clang's source-based coverage (preset
# "coverage", build-coverage/), replays each target's inputs
# (build-fuzz/corpus/TARGET/ and build-fuzz/seeds/TARGET/, as scripts/fuzz.sh
# left them) through the same code as its fuzz target, without libFuzzer, and
# prints the line coverage of the files that target reads with: for
# "module" the module's sources compiled for the host (module/, ramp/,
# clockgen/, sio/, timer/, pei/; the IA-32 backend of the platform layer is
# inline assembly the host never builds), for a reader its own files. The
# per-line listing goes to build-coverage/TARGET-coverage.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-coverage

cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$(nproc)"
readers="$out/fuzz/readers/clockramp-fuzz-readers"

# The files (or folders, ending in /) each target reads with.
declare -A files=(
  [module]="module/ ramp/ clockgen/ sio/ timer/ pei/"
  [firmware_walk]="image/FirmwareWalk.cpp image/Lzma.cpp image/FirmwareEdit.cpp image/PeimInsert.cpp"
  [pe_image]="image/PeImage.cpp image/TeImage.cpp image/Rebase.cpp image/ImageChecks.cpp"
  [scenario]="tools/Scenario.cpp"
  [i2cdump]="tools/I2cDump.cpp"
  [efivarfs]="tools/EfiVariableFile.cpp"
  [capture]="tools/SigrokCapture.cpp tools/CompareCapture.cpp"
  [vcd]="tests/tool/VcdReader.cpp"
  [qemu_trace]="qemu/TraceReader.cpp qemu/Compare.cpp"
  [scenario_peim]="qemu/peim/ScenarioPeim.cpp qemu/peim/FwCfg.cpp qemu/peim/ClockGenModel.cpp"
)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(module $("$readers" list | cut -d' ' -f1))

for t in "${targets[@]}"; do
  [ -n "${files[$t]:-}" ] || { echo "fuzz-coverage: no target $t" >&2; exit 2; }
  inputs=()
  for dir in "build-fuzz/corpus/$t" "build-fuzz/seeds/$t"; do
    [ -d "$dir" ] && inputs+=("$dir")
  done
  [ ${#inputs[@]} -gt 0 ] || { echo "fuzz-coverage: $t: no corpus; run scripts/fuzz.sh first" >&2; exit 2; }
  if [ "$t" = module ]; then
    binary="$out/fuzz/clockramp-fuzz-corpus"
    replay=("$binary" replay)
  else
    binary="$readers"
    replay=("$binary" replay "$t")
  fi
  rm -f "$out"/replay-*.profraw
  # One profile per process: the replay runs in batches, so that a corpus of
  # any size fits the command line.
  count=$(find "${inputs[@]}" -type f | wc -l)
  find "${inputs[@]}" -type f -print0 |
    LLVM_PROFILE_FILE="$out/replay-%p.profraw" xargs -0 -n 2000 "${replay[@]}" \
      >"$out/replay-$t.log" 2>&1
  llvm-profdata merge -sparse -o "$out/$t.profdata" "$out"/replay-*.profraw
  read -r -a sources <<<"${files[$t]}"
  # The build names its sources through build-coverage/..; the listing takes
  # them by their names in the project.
  llvm-cov show "$binary" -instr-profile="$out/$t.profdata" -show-line-counts-or-regions \
    -path-equivalence="$PWD/$out/..,$PWD" "${sources[@]}" >"$out/$t-coverage.txt"
  # Lines per file from the summary of the whole binary, cut to the target's files.
  llvm-cov export "$binary" -instr-profile="$out/$t.profdata" -summary-only |
    python3 -c '
import json, os, sys
target, count, wanted = sys.argv[1], sys.argv[2], sys.argv[3:]
root = os.getcwd()
covered = total = 0
parts = []
for f in json.load(sys.stdin)["data"][0]["files"]:
    name = os.path.relpath(f["filename"], root)
    lines = f["summary"]["lines"]
    if lines["count"] > 0 and any(name == w or (w.endswith("/") and name.startswith(w)) for w in wanted):
        covered += lines["covered"]
        total += lines["count"]
        parts.append("%s %d/%d" % (name, lines["covered"], lines["count"]))
print("%-14s %6s inputs: %d of %d lines (%.1f%%): %s" % (
    target, count, covered, total, 100.0 * covered / max(total, 1), ", ".join(parts)))
' "$t" "$count" "${sources[@]}"
done
echo "per-line listings: $out/TARGET-coverage.txt"
