#!/usr/bin/env bash
# Where $PYTHON lives (run it through scripts/python-env): build velka's wheel
# for that interpreter into build/cpXY/wheel/ and print the wheel's path.
#
# With VELKA_ARCH naming another CPU (scripts/arches.sh), the wheel is
# cross-built for that CPU's CPython of the same version, into
# build/cpXY-ARCH/wheel/: meson compiles with the cross compiler against the
# headers in that CPU's root (scripts/sid --arch ARCH, or its bookworm root
# for 3.11, seen here under the cache folder), and learns that interpreter's
# extension suffix and paths by running it under qemu-user; the wheel is
# tagged for the CPU. The cross compilers and qemu-user live in the sid root:
# for 3.11, whose build runs on the host (pyenv's 3.11 runs the build, so
# that the wheel is tagged for 3.11), they are called through scripts/sid.
#
# The build environment build/cpXY/build-env is made once, with a current pip
# and pyproject.toml's build requirements, and remade when they change; the
# meson build tree build/cpXY[-ARCH]/meson is kept, so rebuilds are
# incremental.
set -euo pipefail
cd "$(dirname "$0")/.."
: "${PYTHON:?run this through scripts/python-env}" "${PYTHON_VERSION:?}"
# shellcheck source=scripts/arches.sh
. scripts/arches.sh
arch=${VELKA_ARCH:-$native_arch}
env=build/cp${PYTHON_VERSION/./}/build-env
work=build/cp${PYTHON_VERSION/./}
mkdir -p "$work"
cross_args=() cross_env=()
if [ "$arch" != "$native_arch" ]; then
    arch_names "$arch"
    work=$work-$arch
    release=sid
    [ "$PYTHON_VERSION" != 3.11 ] || release=bookworm
    target_root=${VELKA_CACHE:-/var/cache/velka}/$release-$arch
    target_python=$target_root/usr/bin/python$PYTHON_VERSION
    [ -x "$target_python" ] || {
        echo "build-wheel: no $target_python (make the root with" \
            "scripts/sid --arch $arch --release $release --provision)" >&2
        exit 1
    }
    mkdir -p "$work/tools"
    # The sid root's tools: run as they are inside it, through scripts/sid
    # outside (the checkout and the cache folder are at the same paths in it).
    in_sid=''
    [ -n "${VELKA_IN_SID:-}" ] || in_sid="'$PWD/scripts/sid' "
    for tool in g++ gcc-ar strip; do
        printf '#!/bin/sh\nexec %s%s-%s "$@"\n' "$in_sid" "$gnu_type" "$tool" >"$work/tools/$tool"
    done
    # The target's interpreter, run by qemu-user with its own root as the
    # prefix for the loader and libraries (i686 too: the sid root has no i386
    # C library of its own).
    printf '#!/bin/sh\nexec %sqemu-%s -L %s %s "$@"\n' "$in_sid" "$qemu" "'$target_root'" \
        "'$target_python'" >"$work/tools/python"
    chmod +x "$work/tools/"*
    # -idirafter: the cross compiler's own C library headers come first,
    # and only what it lacks (the interpreter's) from the target's root.
    cat >"$work/cross.ini" <<EOF
[binaries]
cpp = '$PWD/$work/tools/g++'
ar = '$PWD/$work/tools/gcc-ar'
strip = '$PWD/$work/tools/strip'
python = '$PWD/$work/tools/python'

[built-in options]
cpp_args = ['-idirafter', '$target_root/usr/include']

[host_machine]
system = 'linux'
cpu_family = '$cpu_family'
cpu = '$cpu'
endian = '$endian'
EOF
    cross_args=(-Csetup-args=--cross-file="$PWD/$work/cross.ini")
    # The wheel's platform tag comes from sysconfig, which reads this (only
    # in the build: pip would take it for the build environment's too).
    cross_env=(_PYTHON_HOST_PLATFORM="linux-$arch")
    if [ -n "$in_sid" ]; then
        # meson tries the compiler on files in a temporary folder, which
        # the sid root sees only under the checkout.
        mkdir -p "$work/tmp"
        cross_env+=(TMPDIR="$PWD/$work/tmp")
    fi
fi

# A compiler named by CXX (CXX=clang++) builds in a tree of its own,
# build/cpXY/COMPILER/, since a meson tree keeps the compiler it was first
# configured with.
if [ -n "${CXX:-}" ]; then
    work=$work/$(basename "$CXX")
    mkdir -p "$work"
fi

# pyproject.toml's [build-system] requires, plus ninja, which meson-python
# asks for only where the machine has none, and build, which makes the sdist.
requires=$("$PYTHON" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print(*tomllib.load(f)["build-system"]["requires"], "ninja", "build")
')
stamp="$("$PYTHON" -VV) $requires"
# Builds for several CPUs (and compilers) of one version share its build
# environment, and may start at once: one makes it, the others wait.
exec {env_lock}>"$env.lock"
flock "$env_lock"
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
exec {env_lock}>&-

rm -rf "$work/wheel"
# meson and ninja are run from the build environment.
if ! env "${cross_env[@]}" PATH="$PWD/$env/bin:$PATH" "$env/bin/python" -m pip wheel --no-build-isolation --no-deps \
    --wheel-dir "$work/wheel" -Cbuild-dir="$work/meson" "${cross_args[@]}" . >"$work/wheel.log" 2>&1; then
    cat "$work/wheel.log" >&2
    echo "build-wheel: building the $PYTHON_VERSION wheel for $arch failed (log: $work/wheel.log)" >&2
    exit 1
fi
ls "$work"/wheel/velka-*.whl
