#!/usr/bin/env bash
# Installs what is missing, builds everything (host tools, tests, IA-32 image)
# and runs the module on the simulator's built-in default board.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh default
trace=build/default-board.trace.jsonl
vcd=build/default-board.vcd
build/tools/clockramp run --trace "$trace" --vcd "$vcd"
echo
echo "Trace written to $trace"
echo "Timeline written to $vcd (open it in GTKWave)"
