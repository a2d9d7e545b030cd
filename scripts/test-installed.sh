#!/usr/bin/env bash
# Where $PYTHON lives (run it through scripts/python-env): install PACKAGE (a
# wheel, or an sdist, which pip then builds with build isolation) and the
# test dependency group of pyproject.toml into a fresh virtual environment
# build/cpXY/test-venv, and run the test suite against that installed
# package. `-P` keeps the checkout off sys.path, so the source folder velka/
# cannot shadow the installed package. pytest's closing line is kept in
# build/cpXY/summary (VELKA_WORK/summary where that names the work folder)
# for scripts/test-all.sh. Further arguments go to pytest.
#
# In the root of another CPU (scripts/sid --arch ARCH), the work folder is
# build/cpXY-ARCH, the environment takes the test packages from the root's
# own Debian packages instead of PyPI (pytest and hypothesis are pure Python,
# so 3.13 and 3.15 use 3.14's), the wheel is installed without pip, and
# VELKA_EMULATED tells the tests that the CPU is emulated.
#
#   scripts/test-installed.sh PACKAGE [PYTEST_ARG...]
set -euo pipefail
cd "$(dirname "$0")/.."
: "${PYTHON:?run this through scripts/python-env}" "${PYTHON_VERSION:?}"
# shellcheck source=scripts/arches.sh
. scripts/arches.sh
package=${1:?usage: scripts/test-installed.sh PACKAGE [PYTEST_ARG...]}
shift
arch=${VELKA_IN_SID:-$native_arch}
work=build/cp${PYTHON_VERSION/./}
[ "$arch" = "$native_arch" ] || work=$work-$arch
# scripts/test-all.sh names a folder of the run's own, since it runs several
# at once.
work=${VELKA_WORK:-$work}
venv=$work/test-venv
mkdir -p "$work"
rm -f "$work/summary"

rm -rf "$venv"
pip=("$venv/bin/python" -m pip)
logged() {  # the installer's output goes to a log, shown when it fails
    "$@" >"$work/pip.log" 2>&1 || {
        cat "$work/pip.log" >&2
        echo "test-installed: $* failed on $PYTHON_VERSION" >&2
        exit 1
    }
}
install() { logged "${pip[@]}" install "$@"; }
if [ "$arch" != "$native_arch" ]; then
    arch_names "$arch"
    [ -z "$emulated" ] || export VELKA_EMULATED="$arch"
    "$PYTHON" -m venv --without-pip --system-site-packages "$venv"
    # The root's wheel installer, which the environment sees, installs into
    # it: the reference installer does what pip does with a wheel, in a
    # fraction of pip's start-up time under emulation.
    logged "$venv/bin/python" -m installer "$package"
else
    "$PYTHON" -m venv "$venv"
    # pip 25.1 is the first to install dependency groups.
    install --upgrade 'pip>=25.1'
    install --group test
    if [[ "$package" == *.whl ]]; then
        install --no-deps --no-index "$package"
    else
        install --no-deps "$package"
    fi
fi

# Bytecode is written where it is missing (a session's environment may ask
# for none): the other CPUs' roots are unpacked without it, so every
# interpreter the suite starts there, the command's tests start dozens,
# would compile all it imports again, under emulation.
unset PYTHONDONTWRITEBYTECODE
status=0
"$venv/bin/python" -P -m pytest "$@" | tee "$work/pytest.log" || status=$?
# pytest's closing line, without the frame it has unless -q is given:
# "520 passed, 3 skipped in 41.20s".
sed -n -E 's/^=* ?([0-9]+ [a-z].* in [0-9.]+s( \([0-9:]+\))?) ?=*$/\1/p' "$work/pytest.log" |
    tail -n 1 >"$work/summary"
exit "$status"
