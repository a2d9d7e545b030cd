#!/usr/bin/env bash
# The test suite on every supported CPython, or on the VERSIONs given, each
# against velka installed from a wheel into a fresh virtual environment of
# that version (scripts/test-installed.sh).
#
#   scripts/test-all.sh [VERSION...]
#       for each version: build the wheel with it (scripts/build-wheel.sh),
#       retag it manylinux into build/cpXY/wheelhouse (scripts/repair-wheel.sh)
#       and test that wheel installed
#   scripts/test-all.sh --wheels DIR [--sdist VERSION] [VERSION...]
#       test the wheels make dist put into DIR instead; with --sdist, also
#       install DIR's sdist on VERSION (pip builds it with build isolation)
#
# PYTEST_ARGS go to pytest. A version that fails does not stop the others; a
# line per run at the end says how each went, and the script fails if any
# failed or a version is missing.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
shopt -s nullglob
wheels='' sdist_version=''
while [ $# -gt 0 ]; do
    case $1 in
        --wheels) wheels=${2:?--wheels needs a folder} && shift 2 ;;
        --sdist) sdist_version=${2:?--sdist needs a version} && shift 2 ;;
        *) break ;;
    esac
done
read -r -a versions <<<"${*:-3.12 3.13 3.14 3.15}"
read -r -a pytest_args <<<"${PYTEST_ARGS:-}"

scripts/sid --provision || exit 1
scripts/python-env --check "${versions[@]}" ${sdist_version:+"$sdist_version"} || exit 1

runs=() results=()
failed=0
report() {  # report NAME RESULT
    runs+=("$1") results+=("$2")
    [[ "$2" != FAILED* ]] || failed=1
}

# test_installed NAME VERSION PACKAGE: the suite against PACKAGE installed.
test_installed() {
    local tag=cp${2/./}
    echo "=== $1: $3" >&2
    if scripts/python-env "$2" scripts/test-installed.sh "$3" "${pytest_args[@]}"; then
        report "$1" "$(cat "build/$tag/summary")  ($(basename "$3"))"
    else
        report "$1" "FAILED: $(cat "build/$tag/summary" 2>/dev/null || echo "see above")"
    fi
}

for version in "${versions[@]}"; do
    tag=cp${version/./}
    if [ -n "$wheels" ]; then
        found=("$wheels"/velka-*-"$tag"-*manylinux*.whl)
        if [ ${#found[@]} -ne 1 ]; then
            report "$version" "FAILED: $wheels has ${#found[@]} manylinux wheels for $version, not one"
            continue
        fi
        wheel=${found[0]}
    else
        echo "=== $version: building the wheel" >&2
        if ! wheel=$(scripts/python-env "$version" scripts/build-wheel.sh); then
            report "$version" "FAILED: the wheel did not build (build/$tag/wheel.log)"
            continue
        fi
        rm -rf "build/$tag/wheelhouse"
        if ! wheel=$(scripts/sid scripts/repair-wheel.sh "$wheel" "build/$tag/wheelhouse"); then
            report "$version" "FAILED: the wheel is not the manylinux wheel it should be"
            continue
        fi
    fi
    test_installed "$version" "$version" "$wheel"
done
if [ -n "$sdist_version" ]; then
    found=("$wheels"/velka-*.tar.gz)
    if [ ${#found[@]} -eq 1 ]; then
        test_installed "$sdist_version (sdist)" "$sdist_version" "${found[0]}"
    else
        report "$sdist_version (sdist)" "FAILED: $wheels has ${#found[@]} sdists, not one"
    fi
fi

echo
for i in "${!runs[@]}"; do
    echo "${runs[$i]}: ${results[$i]}"
done
exit "$failed"
