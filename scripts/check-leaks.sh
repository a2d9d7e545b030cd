#!/usr/bin/env bash
# Inside the sid root, on Python 3.14: build velka against the debug
# interpreter (python3.14-dbg) into build/leaks, run the test suite once with
# it (the debug interpreter checks every reference count it touches), then
# scripts/leakcheck.py, which fails when references or memory blocks grow
# with repetition.
set -euo pipefail
cd "$(dirname "$0")/.."
python=python3.14-dbg
site=build/leaks/site
mkdir -p "$site/velka"
cp velka/__init__.py velka/typed.py velka/*.pyi velka/py.typed "$site/velka/"
rm -rf "$site/velka/_model" "$site/velka/_cli" "$site/velka/torrent"
cp -r velka/_model velka/_cli velka/torrent "$site/velka/"
suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
# Each extension module is its own sources and the core they share.
for name in bencode raw _typed; do
    module=$site/velka/$name$suffix
    dir=${name#_}
    stale=0
    [ -e "$module" ] || stale=1
    for source in src/core/* src/"$dir"/* "$0"; do
        [ "$source" -nt "$module" ] && stale=1
    done
    if [ "$stale" = 1 ]; then
        echo "check-leaks: building velka.$name for $python" >&2
        # shellcheck disable=SC2046
        ${CXX:-g++} -std=c++20 -O1 -g -fPIC -shared -fno-exceptions -fno-rtti \
            -fvisibility=hidden $("$python-config" --includes) -Isrc/core \
            src/core/*.cpp src/"$dir"/*.cpp -o "$module"
    fi
done
export PYTHONPATH=$site
# The packaging tests look for an installed wheel, and the command's tests
# for its installed script, which this build is not.
"$python" -P -m pytest -q -p no:cacheprovider --ignore=tests/test_package.py \
    --ignore=tests/test_cli.py --ignore=tests/test_cli_torrent.py \
    --ignore=tests/test_cli_create.py tests
exec "$python" -P scripts/leakcheck.py
