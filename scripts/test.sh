#!/usr/bin/env bash
# Sets up, builds and runs every test.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$here/build"
bash "$here/scripts/setup.sh" "$build"
ctest --test-dir "$build" --output-on-failure -j 2 --timeout 900
