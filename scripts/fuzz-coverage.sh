#!/usr/bin/env bash
# Source coverage of the core reached by the fuzz corpus (build/fuzz/corpus, from fuzz.sh).
#
#     bash scripts/fuzz-coverage.sh [corpus directory]
set -euo pipefail
cd "$(dirname "$0")/.."
corpus=${1:-build/fuzz/corpus}
build=build/fuzz-coverage
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=Debug -DVELUNDA_BUILD_FUZZ=ON \
  -DVELUNDA_BUILD_MODULE=OFF -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" \
  -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" >/dev/null
cmake --build "$build" --parallel >/dev/null
LLVM_PROFILE_FILE="$build/fuzz.profraw" "$build/velunda_fuzz_decode" -runs=0 "$corpus" >/dev/null 2>&1
llvm-profdata-14 merge -sparse "$build/fuzz.profraw" -o "$build/fuzz.profdata"
llvm-cov-14 report "$build/velunda_fuzz_decode" -instr-profile="$build/fuzz.profdata" src/
