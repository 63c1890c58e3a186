#!/usr/bin/env bash
# The formatter and the linters, as CI runs them: clang-format and clang-tidy on the C++ (settings
# in .clang-format and .clang-tidy), ruff on the Python (settings in pyproject.toml). Any drift or
# finding fails. The tools come with `pip install '.[lint]'`.
#
#     bash scripts/lint.sh          # check
#     bash scripts/lint.sh --fix    # format and apply ruff's fixes, then check
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--fix" ]; then
  git ls-files --cached --others --exclude-standard '*.cpp' '*.hpp' | xargs clang-format -i
  ruff check --fix --quiet . || true
  ruff format --quiet .
fi

git ls-files --cached --others --exclude-standard '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror
ruff check --quiet .
ruff format --check --quiet .

cmake -S . -B build/tidy -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVELUNDA_BUILD_PROBE=ON \
  -DPython_EXECUTABLE="$(command -v python)" >/dev/null
git ls-files 'src/*.cpp' 'tests/probe/*.cpp' | xargs clang-tidy -p build/tidy --quiet
echo "lint: clean"
