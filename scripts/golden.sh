#!/usr/bin/env bash
# Writes the outputs of a clockramp binary that are meant never to change by
# accident, for the default board and every scenario file: the JSON Lines
# trace, the summary, the -v listing, the VCD and `clockramp report` (text and
# --json). tests/golden/ holds the copies the current tool must reproduce byte
# for byte (tests/golden/CMakeLists.txt compares them).
#
#   scripts/golden.sh CLOCKRAMP OUTDIR
#
# CLOCKRAMP is the binary (build/tools/clockramp); OUTDIR is emptied first.
# Run from any directory: scenario paths are given relative to the repository
# root, as they appear in the summaries. A file over 1 MB (the worst case's
# trace and listing) is kept as its SHA-256 in NAME.sha256 instead. The build
# directory in report output is replaced by "BUILD" so copies made from
# different worktrees compare equal, and the VCD's date by "DATE". To store the outputs of a given commit:
#   git worktree add /tmp/base <commit> && (cd /tmp/base && cmake --preset default &&
#     cmake --build build --target clockramp clockramp_firmware_volume) &&
#   scripts/golden.sh /tmp/base/build/tools/clockramp tests/golden/expected
set -euo pipefail
tool="$(realpath "$1")"
out="$(realpath -m "$2")"
cd "$(dirname "$0")/.."
build="$(dirname "$(dirname "$tool")")"
rm -rf "$out"
mkdir -p "$out"

# Runs one clockramp command; stdout and stderr go to FILE, then its exit status.
capture() {
  local file="$1"
  shift
  local status=0
  "$tool" "$@" >"$file" 2>&1 || status=$?
  sed -i "s|$build/|BUILD/|g" "$file"
  echo "exit $status" >>"$file"
}

# Replaces a file over 1 MB by its SHA-256.
shrink() {
  local file="$1"
  if [ "$(stat -c %s "$file")" -gt 1048576 ]; then
    sha256sum "$file" | cut -d' ' -f1 >"$file.sha256"
    rm "$file"
  fi
}

shopt -s nullglob
for scenario in "" tests/scenarios/*.json tests/golden/inputs/*.json; do
  name="$(basename "${scenario:-default}" .json)"
  args=()
  [ -n "$scenario" ] && args=("$scenario")
  capture "$out/$name.summary" run "${args[@]}" --trace "$out/$name.jsonl" --vcd "$out/$name.vcd"
  capture "$out/$name.listing" run "${args[@]}" -v
  # The VCD header's $date is the time of the run.
  sed -i '1{/^\$date$/{n;s/.*/  DATE/}}' "$out/$name.vcd"
  for file in "$out/$name".*; do
    shrink "$file"
  done
  case "$name" in
    worst-case | hung-timer) ;; # the report's own worst case covers the first
    *)
      if "$tool" report --help >/dev/null 2>&1; then
        capture "$out/$name.report" report "${args[@]}" --no-worst-case
        capture "$out/$name.report.json" report "${args[@]}" --no-worst-case --json
      fi
      ;;
  esac
done
if "$tool" report --help >/dev/null 2>&1; then
  capture "$out/worst-case.report" report
  capture "$out/worst-case.report.json" report --json
fi
