#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what clang-format makes of it with .clang-format, and
# lists those files. Usage: scripts/check-format.sh [FILE...]   (default: every tracked C++ file)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
format=$(command -v clang-format || command -v clang-format-14 || true)
if [ -z "$format" ]; then
  echo "clang-format is not installed (clang-format)" >&2
  exit 1
fi
if (($#)); then
  files=("$@")
else
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
fi
differ=()
for f in "${files[@]}"; do
  if ! "$format" --style=file "$f" | cmp -s - "$f"; then differ+=("$f"); fi
done
if ((${#differ[@]})); then
  printf '%s\n' "${differ[@]}"
  echo "${#differ[@]} of ${#files[@]} files differ from .clang-format (clang-format -i FILE fixes one)" >&2
  exit 1
fi
echo "format: ${#files[@]} files match .clang-format"
