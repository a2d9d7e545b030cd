#!/usr/bin/env bash
# make dist: into a fresh dist/, the sdist (made on 3.14 in the sid root,
# from the files git tracks) and, for each VERSION, a wheel built with that
# version and retagged as the oldest manylinux it qualifies for; auditwheel
# show reports on each wheel as it is made.
#
#   scripts/dist.sh [VERSION...]
set -euo pipefail
cd "$(dirname "$0")/.."
read -r -a versions <<<"${*:-3.12 3.13 3.14 3.15}"
scripts/sid --provision
scripts/python-env --check "${versions[@]}" 3.14
rm -rf dist
mkdir -p dist
for version in "${versions[@]}"; do
    echo "=== $version" >&2
    wheel=$(scripts/python-env "$version" scripts/build-wheel.sh)
    scripts/sid scripts/repair-wheel.sh "$wheel" dist >/dev/null
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
