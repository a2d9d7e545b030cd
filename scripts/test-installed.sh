#!/usr/bin/env bash
# Where $PYTHON lives (run it through scripts/python-env): install PACKAGE (a
# wheel, or an sdist, which pip then builds with build isolation) and the
# test dependency group of pyproject.toml into a fresh virtual environment
# build/cpXY/test-venv, and run the test suite against that installed
# package. `-P` keeps the checkout off sys.path, so the source folder velka/
# cannot shadow the installed package. pytest's closing line is kept in
# build/cpXY/summary for scripts/test-all.sh. Further arguments go to pytest.
#
#   scripts/test-installed.sh PACKAGE [PYTEST_ARG...]
set -euo pipefail
cd "$(dirname "$0")/.."
: "${PYTHON:?run this through scripts/python-env}" "${PYTHON_VERSION:?}"
package=${1:?usage: scripts/test-installed.sh PACKAGE [PYTEST_ARG...]}
shift
work=build/cp${PYTHON_VERSION/./}
venv=$work/test-venv
mkdir -p "$work"
rm -f "$work/summary"

rm -rf "$venv"
"$PYTHON" -m venv "$venv"
pip=("$venv/bin/python" -m pip)
install() {  # pip's output goes to a log, shown when pip fails
    "${pip[@]}" install "$@" >"$work/pip.log" 2>&1 || {
        cat "$work/pip.log" >&2
        echo "test-installed: pip install $* failed on $PYTHON_VERSION" >&2
        exit 1
    }
}
# pip 25.1 is the first to install dependency groups.
install --upgrade 'pip>=25.1'
install --group test
if [[ "$package" == *.whl ]]; then
    install --no-deps --no-index "$package"
else
    install --no-deps "$package"
fi

status=0
"$venv/bin/python" -P -m pytest "$@" | tee "$work/pytest.log" || status=$?
# pytest's closing line, without the frame it has unless -q is given:
# "520 passed, 3 skipped in 41.20s".
sed -n -E 's/^=* ?([0-9]+ [a-z].* in [0-9.]+s( \([0-9:]+\))?) ?=*$/\1/p' "$work/pytest.log" |
    tail -n 1 >"$work/summary"
exit "$status"
