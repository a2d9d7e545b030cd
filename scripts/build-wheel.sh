#!/usr/bin/env bash
# Where $PYTHON lives (run it through scripts/python-env): build velka's wheel
# for that interpreter into build/cpXY/wheel/ and print the wheel's path.
#
# The build environment build/cpXY/build-env is made once, with a current pip
# and pyproject.toml's build requirements, and remade when they change; the
# meson build tree build/cpXY/meson is kept, so rebuilds are incremental.
# A compiler named by CXX (CXX=clang++) builds in build/cpXY/COMPILER/ instead,
# since a meson build tree keeps the compiler it was first configured with.
set -euo pipefail
cd "$(dirname "$0")/.."
: "${PYTHON:?run this through scripts/python-env}" "${PYTHON_VERSION:?}"
work=build/cp${PYTHON_VERSION/./}
env=$work/build-env
out=$work${CXX:+/$(basename "$CXX")}
mkdir -p "$out"

# pyproject.toml's [build-system] requires, plus ninja, which meson-python
# asks for only where the machine has none, and build, which makes the sdist.
requires=$("$PYTHON" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print(*tomllib.load(f)["build-system"]["requires"], "ninja", "build")
')
stamp="$("$PYTHON" -VV) $requires"
if [ ! -x "$env/bin/python" ] || [ "$(cat "$env/stamp" 2>/dev/null)" != "$stamp" ]; then
    echo "build-wheel: making the $PYTHON_VERSION build environment $env" >&2
    rm -rf "$env"
    "$PYTHON" -m venv "$env"
    # pip 25.1 is the first to install dependency groups (pip install --group).
    "$env/bin/python" -m pip install --quiet --upgrade 'pip>=25.1'
    # shellcheck disable=SC2086
    "$env/bin/python" -m pip install --quiet $requires
    printf '%s' "$stamp" >"$env/stamp"
fi

rm -rf "$out/wheel"
# meson and ninja are run from the build environment.
if ! PATH="$PWD/$env/bin:$PATH" "$env/bin/python" -m pip wheel --no-build-isolation --no-deps \
    --wheel-dir "$out/wheel" -Cbuild-dir="$out/meson" . >"$out/wheel.log" 2>&1; then
    cat "$out/wheel.log" >&2
    echo "build-wheel: building the $PYTHON_VERSION wheel failed (log: $out/wheel.log)" >&2
    exit 1
fi
ls "$out"/wheel/velka-*.whl
