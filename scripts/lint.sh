#!/usr/bin/env bash
# Static analysis: clang-tidy (the repository's configuration) over every
# project source in a compile database, and cppcheck over the freestanding
# module. Any finding fails.
#
#   scripts/lint.sh [BUILD_DIR]
#
# Without BUILD_DIR it configures the preset "lint" (build-lint/: the default
# build's flags without precompiled headers, which clang-tidy cannot read from
# g++) and reads its compile database; nothing is compiled. clang-tidy runs
# one file per core and skips a file found clean before whose preprocessed
# text (headers and comments included), compile command, configuration and
# clang-tidy version are all unchanged (scripts/tidy.py; results kept under
# ${XDG_CACHE_HOME:-~/.cache}/clockramp/clang-tidy, outside the clone). A file
# with a finding is checked, and fails, every time. Findings are also written
# to BUILD_DIR/clang-tidy.log.
#
# Exit status: 0 clean, 1 a finding (or a tool that did not run through),
# 2 when the compile database is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -gt 0 ]; then
  build="$1"
else
  build=build-lint
  cmake --preset lint >/dev/null
fi
db="$build/compile_commands.json"
[ -f "$db" ] || { echo "lint: $db is missing; configure first" >&2; exit 2; }

python3 scripts/tidy.py "$build" --jobs "$(nproc)"

# As the project builds the module: EDK II's configuration of pei/PiDefs.h
# (MdePkg's Base.h in) needs MdePkg's headers, and EDK II's build checks it.
echo "cppcheck: module sources"
cppcheck --quiet --error-exitcode=1 --std=c++20 --language=c++ \
  --enable=warning,performance,portability --inline-suppr \
  --suppress=missingIncludeSystem -U__BASE_H__ -I . \
  module pei ramp clockgen sio timer
echo "lint: clean"
