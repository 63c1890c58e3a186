#!/usr/bin/env bash
# Builds the module, the codec probe and the command with AddressSanitizer and UndefinedBehaviorSanitizer
# (no recovery: the first report ends the run) and runs the whole test suite against them.
#
#     bash scripts/sanitized-tests.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/sanitize

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELUNDA_SANITIZE=ON -DVELUNDA_BUILD_PROBE=ON \
  -DVELUNDA_WERROR=ON -DPython_EXECUTABLE="$(command -v python)" >/dev/null
cmake --build "$build" --parallel >/dev/null

# The interpreter is not instrumented, so the runtimes are preloaded. Leak checking stays off:
# the interpreter keeps memory at exit by design; the suite's own leak test covers the module.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONPATH="$PWD/$build${PYTHONPATH:+:$PYTHONPATH}"
export VELUNDA_PROBE_DIR="$PWD/$build"
export VELUNDA_CLI="$PWD/$build/velunda-parse"
export VELUNDA_SANITIZED=1
python -c "import velunda_binary_parser, sys; assert velunda_binary_parser.__file__.startswith('$PWD/$build'), velunda_binary_parser.__file__"
# The engines' own runtimes (a JVM, worker pools) are not run under the sanitizers: the batch and
# Arrow paths they call are covered by the rest of the suite.
python -m pytest -p no:cacheprovider -m "not engines" "$@"
