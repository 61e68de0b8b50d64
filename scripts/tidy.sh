#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over every C++ source of our own, tests included.
# Usage: scripts/tidy.sh [build-folder]   (default: build; configured, so that it holds
# compile_commands.json and the generated moc files)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-"$here/build"}
tidy=$(command -v run-clang-tidy || command -v run-clang-tidy-14 || true)
if [ -z "$tidy" ]; then
  echo "run-clang-tidy is not installed (clang-tidy)" >&2
  exit 1
fi
if [ ! -f "$build/compile_commands.json" ]; then
  echo "$build/compile_commands.json is missing: configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON" >&2
  exit 1
fi
cd "$here"
# The compiler warnings are the GCC build's (-Werror in CI); clang knows neither all of its
# flags nor its judgement of casts, so clang-tidy reports only the checks of .clang-tidy.
# Our sources only: the build folder's generated files and the fuzz targets (built by clang) are left out.
mapfile -t files < <(git ls-files '*.cpp' | grep -v '^fuzz/')
"$tidy" -quiet -extra-arg=-w -p "$build" -j "$(nproc)" "${files[@]/#/$here/}" > "$build/tidy.log" 2>&1 || {
  grep -E "warning:|error:" "$build/tidy.log" | sort -u
  echo "clang-tidy found the faults above (full log: $build/tidy.log)" >&2
  exit 1
}
echo "clang-tidy: ${#files[@]} files clean"
