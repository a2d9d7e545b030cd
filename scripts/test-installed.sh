#!/usr/bin/env bash
# Inside the Python 3.14 environment: build a wheel (incrementally: the meson
# build tree build/wheel is kept), install it into a fresh virtual environment
# that sees the distribution's pytest, hypothesis, numpy and mypy, and run the
# test suite against that installed package. `-P` keeps the checkout off
# sys.path, so the source folder velka/ cannot shadow the installed package.
# Arguments are passed on to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
dist=build/dist
venv=build/test-venv
mkdir -p build
rm -f "$dist"/velka-*.whl
python3 -m build --wheel --no-isolation --outdir "$dist" -Cbuild-dir=build/wheel >build/wheel.log 2>&1 || {
    cat build/wheel.log >&2
    exit 1
}
rm -rf "$venv"
python3 -m venv --system-site-packages --without-pip "$venv"
python3 -m pip --python "$venv/bin/python" install --quiet --no-deps --no-index "$dist"/velka-*.whl
exec "$venv/bin/python" -P -m pytest "$@"
