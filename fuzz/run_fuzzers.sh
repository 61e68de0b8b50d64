#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer on) and runs each for a bounded time.
# Usage: fuzz/run_fuzzers.sh [seconds-per-target] [build-folder]
#   seconds default 5; SHELVIO_SOAK=1 makes it 600. Exit 77 when clang or libFuzzer is missing.
# Crashes land in build-folder/findings/<target>/; the corpora grow in build-folder/corpus/<target>/.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-5}
if [ "${SHELVIO_SOAK:-0}" != "0" ]; then seconds=600; fi
build=${2:-"$here/build-fuzz"}
shared=${SHELVIO_SHARED_DIR:-"$here/../shared"}
export SHELVIO_FLS_DIR=${SHELVIO_FLS_DIR:-"$shared/fls"}
export SHELVIO_FUZZ_TMP="$build/tmp"

cxx=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$cxx" ] || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "clang++ with libFuzzer is not installed (clang, libclang-rt-14-dev): fuzzing skipped"
  exit 77
fi

# A build tree of its own: clang, libFuzzer's hooks and the sanitizers over the library targets.
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSHELVIO_FUZZ=ON -DSHELVIO_BUILD_GUI=OFF -DSHELVIO_BUILD_TESTS=OFF \
  -DSHELVIO_FLS_DIR="$SHELVIO_FLS_DIR" -DSHELVIO_CORPUS_DIR="$shared/corpus" "${launcher[@]}" >/dev/null
targets=(ini templates metadata validator)
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/%/_fuzzer}"
mkdir -p "$SHELVIO_FUZZ_TMP"
trap 'rm -rf "$SHELVIO_FUZZ_TMP"' EXIT

status=0
for target in "${targets[@]}"; do
  exe="$build/fuzz/${target}_fuzzer"
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$corpus" "$findings"
  seeds=()
  case $target in
    metadata|validator) seeds=("$shared/corpus") ;;
    templates) seeds=("$here/fuzz/seeds/templates") ;;
    ini) seeds=("$here/fuzz/seeds/ini") ;;
  esac
  echo "== $target: $seconds s"
  if ! "$exe" -max_total_time="$seconds" -max_len=262144 -timeout=20 -rss_limit_mb=2048 \
       -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" "${seeds[@]}" 2>"$build/$target.log"; then
    echo "FINDING in $target: see $build/$target.log and $findings/"
    tail -40 "$build/$target.log"
    status=1
  else
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$build/$target.log" | sed "s/^/   /"
  fi
done
exit $status
