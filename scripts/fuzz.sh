#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan): the decoder, seeded with valid
# payloads of every family and version, fuzzed for the given number of seconds (default 60); then
# the Arrow import, whose inputs build the producers' structures, for half as long.
#
#     bash scripts/fuzz.sh [seconds] [extra libFuzzer flags]
# A long session: bash scripts/fuzz.sh 1800 -jobs=2 -workers=2
# The corpora grow in build/fuzz/corpus and build/fuzz/import-corpus across runs; a finding is
# saved as build/fuzz/crash-* or build/fuzz/import-crash-*.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=build/fuzz
compiler=$(command -v clang++-14 || command -v clang++ || true)
if [ -z "$compiler" ]; then
  echo "fuzz.sh needs clang with libFuzzer: apt-get install clang-14 libclang-rt-14-dev" >&2
  exit 2
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELUNDA_BUILD_FUZZ=ON -DVELUNDA_BUILD_MODULE=OFF -DVELUNDA_WERROR=ON >/dev/null
cmake --build "$build" --parallel >/dev/null

rm -rf "$build/seeds"
python -m fuzz.make_corpus "$build/seeds" 20
mkdir -p "$build/corpus"
# -print_funcs=0: the walkers' template names overflow the symbolizer, whose process then dies
# noisily at exit; the coverage report (fuzz-coverage.sh) is where functions are named.
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
"$build/velunda_fuzz_decode" -max_total_time="$seconds" -max_len=4096 -timeout=5 -rss_limit_mb=2048 -print_funcs=0 \
  -print_final_stats=1 -artifact_prefix="$build/" "$@" "$build/corpus" "$build/seeds"
mkdir -p "$build/import-corpus"
"$build/velunda_fuzz_arrow_import" -max_total_time="$((seconds / 2))" -max_len=2048 -timeout=5 -rss_limit_mb=2048 -print_funcs=0 \
  -print_final_stats=1 -artifact_prefix="$build/import-" "$@" "$build/import-corpus"
