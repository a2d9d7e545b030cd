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
#       (tests/test_platform.py), but the 3.14 wheels of the CPUs in
#       whole_suite_arches (scripts/arches.sh) with the whole suite
#
# Before any run, scripts/torrent-references.sh has the real torrent tools
# make the reference torrents the tests compare against.
#
# PYTEST_ARGS go to pytest. The tests marked once run in the native run of
# the version VELKA_ONCE names, if any, and in no other. Every run is a job
# of its own, VELKA_JOBS at a time (by default the CPUs this process may
# use), the longest first: a test run keeps one core busy, so one run after
# another would leave the others idle. A job's output goes to build/logs/NAME.log (build/logs-COMPILER/ with
# CXX), shown when it ends: its closing line, or all of it when it failed. A
# run that fails does not stop the others; a line per run at the end says how
# each went, and the script fails if any failed or a version is missing.
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
jobs_at_once=${VELKA_JOBS:-$(nproc)}
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

# A run with another compiler keeps its logs apart, so that it can go on
# beside the default one.
logs=build/logs${CXX:+-$(basename "$CXX")}
mkdir -p "$logs"
rm -f "$logs"/*.result "$logs"/*.log
# slug NAME: the name of a run as a file name.
slug() { tr ' /()' '____' <<<"$1"; }
report() {  # report NAME RESULT
    printf '%s: %s\n' "$1" "$2" >"$logs/$(slug "$1").result"
}

# test_installed ARCH NAME VERSION WORK PACKAGE [PYTEST_ARG...]: the suite
# against PACKAGE installed, with WORK as the run's work folder.
test_installed() {
    local arch=$1 name=$2 version=$3 work=$4 package=$5
    shift 5
    echo "=== $name: $package"
    if VELKA_WORK=$work scripts/python-env --arch "$arch" "$version" \
        scripts/test-installed.sh "$package" "$@"; then
        report "$name" "$(cat "$work/summary")  ($(basename "$package"))"
    else
        report "$name" "FAILED: $(cat "$work/summary" 2>/dev/null || echo "see its log")"
    fi
}

# work_for ARCH VERSION: the work folder of that version's run on ARCH.
work_for() {
    local work=build/cp${2/./}
    [ "$1" = "$native_arch" ] || work=$work-$1
    [ -z "${CXX:-}" ] || work=$work/$(basename "$CXX")
    printf '%s\n' "$work"
}

# wheel_for ARCH VERSION: the wheel to test, from DIR or built now.
wheel_for() {
    local arch=$1 version=$2 tag=cp${2/./} work found wheel
    work=$(work_for "$arch" "$version")
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

# run_version ARCH VERSION NAME [PYTEST_ARG...]: one version on one CPU,
# its wheel found (or built, unless another CPU's wheels were built before
# any run began), then tested.
run_version() {
    local arch=$1 version=$2 name=$3 wheel
    shift 3
    # The tests marked once run natively, never under emulation.
    [ "$arch" = "$native_arch" ] || unset VELKA_ONCE
    wheel=${prebuilt[$arch $version]:-}
    if [ -n "$wheel" ] || wheel=$(wheel_for "$arch" "$version"); then
        test_installed "$arch" "$name" "$version" "$(work_for "$arch" "$version")" "$wheel" "$@"
    else
        report "$name" "FAILED: no wheel (see its log)"
    fi
}

# run_sdist: the sdist installed on its version, in a work folder of its
# own, since that version's wheel may be tested at the same time.
run_sdist() {
    local name="$sdist_version (sdist)" found=("$wheels"/velka-*.tar.gz)
    if [ ${#found[@]} -eq 1 ]; then
        test_installed "$native_arch" "$name" "$sdist_version" \
            "build/cp${sdist_version/./}-sdist" "${found[0]}" "${pytest_args[@]}"
    else
        report "$name" "FAILED: $wheels has ${#found[@]} sdists, not one"
    fi
}

# Another CPU's wheels, when they are built here, are built first, one after
# another: a version's builds for every CPU share its build environment, and
# each build uses every core.
declare -A prebuilt
if [ -z "$wheels" ]; then
    for arch in $arches; do
        for version in $(versions_on "$arch"); do
            if wheel=$(wheel_for "$arch" "$version"); then
                prebuilt[$arch $version]=$wheel
            else
                report "$version on $arch" "FAILED: no wheel (see above)"
            fi
        done
    done
fi

# The runs, longest first: the whole suite under emulation, then natively,
# then the short checks; each a name and its command.
names=() commands=()
add_run() {  # add_run NAME COMMAND...
    names+=("$1")
    commands+=("$(printf '%q ' "${@:2}")")
}
for arch in $(printf '%s\n' $whole_suite_arches $arches | awk '!seen[$0]++'); do
    grep -qx -- "$arch" <<<"$arches" || continue
    for version in $(versions_on "$arch"); do
        whole_suite "$arch" "$version" || continue
        [ -n "$wheels" ] || [ -n "${prebuilt[$arch $version]:-}" ] || continue
        add_run "$version on $arch" run_version "$arch" "$version" "$version on $arch" \
            "${pytest_args[@]}"
    done
done
for version in "${versions[@]}"; do
    name=$version${CXX:+ ($CXX)}
    add_run "$name" run_version "$native_arch" "$version" "$name" "${pytest_args[@]}"
done
[ -z "$sdist_version" ] || add_run "$sdist_version (sdist)" run_sdist
for arch in $arches; do
    for version in $(versions_on "$arch"); do
        whole_suite "$arch" "$version" && continue
        add_run "$version on $arch" run_version "$arch" "$version" "$version on $arch" \
            tests/test_platform.py
    done
done
# run_job NAME COMMAND: the command with its output in the run's log, shown
# when it ends.
run_job() {
    local name=$1 log result
    log=$logs/$(slug "$1").log
    result=$logs/$(slug "$1").result
    eval "$2" >"$log" 2>&1 </dev/null
    [ -e "$result" ] || report "$name" "FAILED: it ended without a result"
    if grep -q '^[^:]*: FAILED' "$result"; then
        echo "=== $name: FAILED; its log, $log:"
        cat "$log"
    else
        echo "=== $name: $(cut -d: -f2- "$result")"
    fi
}
for i in "${!names[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs_at_once" ]; do
        wait -n
    done
    echo "=== ${names[$i]}: started ($logs/$(slug "${names[$i]}").log)"
    run_job "${names[$i]}" "${commands[$i]}" &
done
wait

echo
cat "$logs"/*.result
! grep -q -h '^[^:]*: FAILED' "$logs"/*.result
