#!/usr/bin/env bash
# Inside the sid root, on Python 3.14: make the project's virtual environment
# (seeing the distribution's pytest, hypothesis and numpy) and build and
# install velka into it. The build tree is kept, so rebuilds are incremental.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${VELKA_VENV:-.venv}
if [ ! -x "$venv/bin/python" ]; then
    python3 -m venv --system-site-packages "$venv"
fi
"$venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps \
    -Cbuild-dir=build/cp314 ${VELKA_SETUP_ARGS:-} .
