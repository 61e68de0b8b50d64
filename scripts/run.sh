#!/usr/bin/env bash
# Sets up, builds and starts the Shelvio window.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$here/build"
bash "$here/scripts/setup.sh" "$build"
exec "$build/app/shelvio" "$@"
