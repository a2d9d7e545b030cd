#!/usr/bin/env bash
# The test suite on every supported CPython, or on the VERSIONs given, each
# against velka installed from a wheel into a fresh virtual environment of
# that version (scripts/test-installed.sh), and on other CPUs.
#
#   scripts/test-all.sh [--arches "ARCH..."] [VERSION...]
#       for each version: build the wheel with it (scripts/build-wheel.sh),
#       retag it manylinux into build/cpXY/wheelhouse (scripts/repair-wheel.sh)
#       and test that wheel installed; for each ARCH (scripts/arches.sh, or
#       "all"), the same with a wheel cross-built for 3.14 on that CPU, tested
#       in its root (scripts/sid --arch ARCH)
#   scripts/test-all.sh --wheels DIR [--sdist VERSION] [--arches "ARCH..."] [VERSION...]
#       test the wheels make dist put into DIR instead; with --sdist, also
#       install DIR's sdist on VERSION (pip builds it with build isolation);
#       on each ARCH, every wheel made for it (3.11 where bookworm has it,
#       3.13 to 3.15) installed and tested with the short check of every CPU
#       (tests/test_platform.py), but the 3.14 wheel of s390x, armv7l and
#       i686 with the whole suite: the faults the suite exists to catch on
#       other CPUs are of byte order and word size, and these three are
#       big-endian 64-bit, 32-bit emulated and 32-bit native
#
# Before any run, scripts/torrent-references.sh has the real torrent tools
# make the reference torrents the tests compare against.
#
# PYTEST_ARGS go to pytest. The tests marked once run in the native run of
# the version VELKA_ONCE names, if any, and in no other. A run that fails
# does not stop the others; a line per run at the end says how each went,
# and the script fails if any failed or a version is missing. Runs on other
# CPUs, each on one core under emulation, go two at a time (VELKA_JOBS)
# beside the native ones, with their output in build/logs/, shown when they
# end.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
shopt -s nullglob
# shellcheck source=scripts/arches.sh
. scripts/arches.sh
wheels='' sdist_version='' arch_words=''
while [ $# -gt 0 ]; do
    case $1 in
        --wheels) wheels=${2:?--wheels needs a folder} && shift 2 ;;
        --sdist) sdist_version=${2:?--sdist needs a version} && shift 2 ;;
        --arches) arch_words=${2?--arches needs architectures} && shift 2 ;;
        *) break ;;
    esac
done
read -r -a versions <<<"${*:-3.11 3.12 3.13 3.14 3.15}"
read -r -a pytest_args <<<"${PYTEST_ARGS:-}"
# shellcheck disable=SC2086
arches=$(expand_arches $arch_words) || exit 2
arches=$(grep -vx "$native_arch" <<<"$arches")
# versions_on ARCH: the versions tested on another CPU.
versions_on() {
    if [ -n "$wheels" ]; then
        foreign_versions "$1"
    else
        echo 3.14
    fi
}
# whole_suite ARCH VERSION: whether the run there is the whole suite.
whole_suite() {
    [ "$2" = 3.14 ] && { [ -z "$wheels" ] || grep -qw -- "$1" <<<"$whole_suite_arches"; }
}

scripts/sid --provision || exit 1
# The reference torrents, made once by the real tools before any run; every
# version and CPU compares against them, and fails (not skips) without them.
scripts/torrent-references.sh || exit 1
export VELKA_REQUIRE_REFERENCES=1
scripts/python-env --check "${versions[@]}" ${sdist_version:+"$sdist_version"} || exit 1
# shellcheck disable=SC2086
provision_arches ${wheels:+--bookworm} $arches || exit 1

mkdir -p build/logs
rm -f build/logs/*.result
report() {  # report NAME RESULT
    printf '%s: %s\n' "$1" "$2" >"build/logs/$(tr ' /()' '____' <<<"$1").result"
}

# test_installed ARCH NAME VERSION PACKAGE [PYTEST_ARG...]: the suite against
# PACKAGE installed.
test_installed() {
    local arch=$1 name=$2 version=$3 package=$4 work
    shift 4
    work=build/cp${version/./}
    [ "$arch" = "$native_arch" ] || work=$work-$arch
    echo "=== $name: $package" >&2
    if scripts/python-env --arch "$arch" "$version" scripts/test-installed.sh "$package" "$@"; then
        report "$name" "$(cat "$work/summary")  ($(basename "$package"))"
    else
        report "$name" "FAILED: $(cat "$work/summary" 2>/dev/null || echo "see above")"
    fi
}

# wheel_for ARCH VERSION: the wheel to test, from DIR or built now.
wheel_for() {
    local arch=$1 version=$2 tag=cp${2/./} work found wheel
    work=build/$tag
    [ "$arch" = "$native_arch" ] || work=$work-$arch
    if [ -n "$wheels" ]; then
        found=("$wheels"/velka-*-"$tag"-*manylinux*_"$arch".whl)
        if [ ${#found[@]} -ne 1 ]; then
            echo "$wheels has ${#found[@]} manylinux wheels for $version on $arch, not one" >&2
            return 1
        fi
        printf '%s\n' "${found[0]}"
        return
    fi
    echo "=== $version on $arch: building the wheel" >&2
    wheel=$(VELKA_ARCH=$arch scripts/python-env "$version" scripts/build-wheel.sh) || {
        echo "the wheel did not build (its log is named above)" >&2
        return 1
    }
    rm -rf "$work/wheelhouse"
    scripts/sid scripts/repair-wheel.sh "$wheel" "$work/wheelhouse" || {
        echo "the wheel is not the manylinux wheel it should be" >&2
        return 1
    }
}

# Other CPUs: their wheels built (or found) first, one after another, since
# builds share each version's build environment and use every core.
declare -A arch_wheels
for arch in $arches; do
    for version in $(versions_on "$arch"); do
        if wheel=$(wheel_for "$arch" "$version"); then
            arch_wheels[$arch $version]=$wheel
        else
            report "$version on $arch" "FAILED: no wheel (see above)"
        fi
    done
done
test_arch() {
    local arch=$1 version args
    for version in $(versions_on "$arch"); do
        [ -n "${arch_wheels[$arch $version]:-}" ] || continue
        args=("${pytest_args[@]}")
        whole_suite "$arch" "$version" || args=(tests/test_platform.py)
        test_installed "$arch" "$version on $arch" "$version" "${arch_wheels[$arch $version]}" \
            "${args[@]}"
    done
}
# The other CPUs' runs, each on one core under emulation, go on beside the
# native ones: VELKA_JOBS (2) at a time, their output in build/logs/ and
# shown when each ends.
test_arches() {
    local arch longest_first
    # The tests marked once run in a native run (VELKA_ONCE names its version).
    unset VELKA_ONCE
    # The CPUs that run the whole suite first, emulated ones foremost
    # (whole_suite_arches is in that order), so that the longest runs do not
    # start last.
    longest_first=$(for arch in $whole_suite_arches $arches; do
        grep -qx -- "$arch" <<<"$arches" && echo "$arch"
    done | awk '!seen[$0]++')
    for arch in $longest_first; do
        while [ "$(jobs -rp | wc -l)" -ge "${VELKA_JOBS:-2}" ]; do
            wait -n
        done
        echo "=== $arch: testing (build/logs/$arch.log)" >&2
        (
            test_arch "$arch" >"build/logs/$arch.log" 2>&1
            tail -n 25 "build/logs/$arch.log" >&2
        ) &
    done
    wait
}
test_arches &

for version in "${versions[@]}"; do
    name=$version${CXX:+ ($CXX)}
    if wheel=$(wheel_for "$native_arch" "$version"); then
        test_installed "$native_arch" "$name" "$version" "$wheel" "${pytest_args[@]}"
    else
        report "$name" "FAILED: no wheel (see above)"
    fi
done
if [ -n "$sdist_version" ]; then
    found=("$wheels"/velka-*.tar.gz)
    if [ ${#found[@]} -eq 1 ]; then
        test_installed "$native_arch" "$sdist_version (sdist)" "$sdist_version" "${found[0]}" \
            "${pytest_args[@]}"
    else
        report "$sdist_version (sdist)" "FAILED: $wheels has ${#found[@]} sdists, not one"
    fi
fi

wait

echo
cat build/logs/*.result
! grep -q -h '^[^:]*: FAILED' build/logs/*.result
