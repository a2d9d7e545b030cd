#!/usr/bin/env bash
# Inside the sid root, on Python 3.14: every linter, each run to the end, so
# one run reports everything; fails if any of them complained. clang-tidy
# reads the compile_commands.json of the development build (make build).
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
run() {
    echo "+ $*"
    "$@" || status=1
}
cxx=(src/*/*.cpp src/*/*.hpp)
run ruff check .
run ruff format --check .
run clang-format --dry-run --Werror "${cxx[@]}"
run clang-tidy -p build/cp314 --quiet --warnings-as-errors='*' src/*/*.cpp
exit $status
