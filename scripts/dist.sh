#!/usr/bin/env bash
# make dist: into a fresh dist/, the sdist (made on 3.14 in the sid root,
# from the files git tracks), for each VERSION a wheel built with that version
# and retagged as the oldest manylinux it qualifies for, and for each other
# CPU of ARCHES (scripts/arches.sh, "all" for every one) a wheel cross-built
# for each of its interpreters (3.13, 3.14 and 3.15 of sid, and 3.11 of
# bookworm where it has one) and retagged the same way; auditwheel show
# reports on each wheel as it is made.
#
#   scripts/dist.sh [--arches "ARCH..."] [VERSION...]
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/arches.sh
. scripts/arches.sh
arch_words=''
if [ "${1:-}" = --arches ]; then
    arch_words=$2
    shift 2
fi
read -r -a versions <<<"${*:-3.11 3.12 3.13 3.14 3.15}"
# shellcheck disable=SC2086
arches=$(expand_arches $arch_words)
arches=$(grep -vx "$native_arch" <<<"$arches" || true)
scripts/sid --provision
scripts/python-env --check "${versions[@]}" 3.14
rm -rf dist
mkdir -p dist build/logs
# The other CPUs' roots, mostly downloads, are made while the native wheels
# build.
# shellcheck disable=SC2086
provision_arches --bookworm $arches >build/logs/provision.log 2>&1 &
provisioning=$!
build() {  # build ARCH VERSION
    echo "=== $2 on $1" >&2
    wheel=$(VELKA_ARCH=$1 scripts/python-env "$2" scripts/build-wheel.sh)
    scripts/sid scripts/repair-wheel.sh "$wheel" dist >/dev/null
}
for version in "${versions[@]}"; do
    build "$native_arch" "$version"
done
wait "$provisioning" || {
    cat build/logs/provision.log >&2
    echo "dist: the other CPUs' roots could not be made" >&2
    exit 1
}
cat build/logs/provision.log >&2
# Another CPU's wheels at once: their builds share nothing, and much of
# each is one process (pip, meson's set-up, the emulated interpreter).
for arch in $arches; do
    pids=()
    for version in $(foreign_versions "$arch"); do
        build "$arch" "$version" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid"
    done
done
# The sdist, with the 3.14 build environment (which the wheel build makes).
[ -x build/cp314/build-env/bin/python ] || scripts/python-env 3.14 scripts/build-wheel.sh >/dev/null
scripts/sid build/cp314/build-env/bin/python -m build --sdist --no-isolation --outdir dist \
    >build/sdist.log 2>&1 || {
    cat build/sdist.log >&2
    echo "dist: making the sdist failed" >&2
    exit 1
}
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "dist: the sdist holds the last commit; uncommitted changes are not in it" >&2
fi
echo
ls -l dist
