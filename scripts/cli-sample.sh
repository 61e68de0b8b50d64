#!/usr/bin/env bash
# Sets up, builds and runs shelvio-cli on a copy of the sample books.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$here/build"
bash "$here/scripts/setup.sh" "$build"

# The run moves books, so it works on a fresh copy of the samples, never on the originals.
work="$build/sample-run"
rm -rf "$work"
mkdir -p "$work/books"
cp "$here"/samples/books/* "$work/books/"
"$build/cli/shelvio-cli" --app-dir "$work" "$work/books"
echo
echo "Results are below $work/tmp (end, bad, double)."
