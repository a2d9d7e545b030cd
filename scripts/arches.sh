# The CPUs velka is built and tested for besides the native x86_64, by the
# names `uname -m` and wheel tags use, and their other names. Sourced by the
# scripts that make roots, cross-build wheels and run tests per CPU.

# shellcheck disable=SC2034  # the names are for the scripts that source this
all_arches="aarch64 armv7l i686 ppc64le riscv64 s390x"
# Those for which Debian bookworm has python3.11: the only CPython 3.11 for
# another CPU here, in a bookworm root of its own (scripts/sid --release).
bookworm_arches="aarch64 armv7l i686 ppc64le s390x"
# Those whose wheel gets the whole suite in make dist-check, one of each kind
# whose faults the suite exists to catch: big-endian 64-bit and 32-bit. The
# others run the platform test (tests/test_platform.py); armv7l, a second
# 32-bit CPU, would repeat what i686 shows.
whole_suite_arches="s390x i686"
native_arch=x86_64

# arch_names ARCH sets, for ARCH:
#   debian_arch  Debian's name for it (arm64, armhf, ...)
#   gnu_type     the cross compiler's prefix (aarch64-linux-gnu-g++, ...)
#   multiarch    Debian's folder name under /usr/include and /usr/lib
#   qemu         qemu-user's name for the CPU (qemu-aarch64, ...)
#   emulated     1 where the host runs the CPU's programs only through qemu;
#                empty where it runs them itself (i686 on x86_64)
#   cpu_family cpu endian   meson's host machine
# and fails for a name it does not know.
arch_names() {
    emulated=1 endian=little
    case $1 in
        aarch64) debian_arch=arm64 gnu_type=aarch64-linux-gnu multiarch=aarch64-linux-gnu \
            qemu=aarch64 cpu_family=aarch64 cpu=aarch64 ;;
        armv7l) debian_arch=armhf gnu_type=arm-linux-gnueabihf multiarch=arm-linux-gnueabihf \
            qemu=arm cpu_family=arm cpu=armv7 ;;
        i686) debian_arch=i386 gnu_type=i686-linux-gnu multiarch=i386-linux-gnu \
            qemu=i386 cpu_family=x86 cpu=i686 emulated='' ;;
        ppc64le) debian_arch=ppc64el gnu_type=powerpc64le-linux-gnu multiarch=powerpc64le-linux-gnu \
            qemu=ppc64le cpu_family=ppc64 cpu=ppc64le ;;
        riscv64) debian_arch=riscv64 gnu_type=riscv64-linux-gnu multiarch=riscv64-linux-gnu \
            qemu=riscv64 cpu_family=riscv64 cpu=riscv64 ;;
        s390x) debian_arch=s390x gnu_type=s390x-linux-gnu multiarch=s390x-linux-gnu \
            qemu=s390x cpu_family=s390x cpu=s390x endian=big ;;
        *) return 1 ;;
    esac
}

# bookworm_has ARCH: whether bookworm has CPython 3.11 for ARCH.
bookworm_has() {
    grep -qw -- "$1" <<<"$bookworm_arches"
}

# expand_arches WORDS...: the architectures named, "all" standing for every
# one; fails, naming it, on a name that is not one of them.
expand_arches() {
    local word
    for word in "$@"; do
        if [ "$word" = all ]; then
            printf '%s\n' $all_arches
        elif [ "$word" = "$native_arch" ]; then
            printf '%s\n' "$word"
        elif arch_names "$word"; then
            printf '%s\n' "$word"
        else
            printf 'unknown architecture %s (known: %s %s, or all)\n' \
                "$word" "$native_arch" "$all_arches" >&2
            return 1
        fi
    done | awk '!seen[$0]++'
}

# provision_arches [--bookworm] ARCH...: make sure each CPU's root is ready
# (scripts/sid --arch ARCH --provision), and with --bookworm its bookworm
# root too, where it has one. The first goes alone, since it may add the
# cross compilers and emulators to the x86_64 root; the others, mostly
# downloads, at once.
provision_arches() {
    local bookworm=''
    if [ "${1:-}" = --bookworm ]; then
        bookworm=1
        shift
    fi
    [ $# -gt 0 ] || return 0
    local sid pid arch status=0 pids=()
    sid="$(dirname "${BASH_SOURCE[0]}")/sid"
    "$sid" --arch "$1" --provision || return 1
    for arch in "$@"; do
        if [ "$arch" != "$1" ]; then
            "$sid" --arch "$arch" --provision &
            pids+=($!)
        fi
        if [ -n "$bookworm" ] && bookworm_has "$arch"; then
            "$sid" --arch "$arch" --release bookworm --provision &
            pids+=($!)
        fi
    done
    for pid in "${pids[@]}"; do
        wait "$pid" || status=1
    done
    return "$status"
}

# foreign_versions ARCH: the CPython versions whose wheels make dist builds
# for another CPU: sid's three, and bookworm's 3.11 where it has one.
foreign_versions() {
    if bookworm_has "$1"; then
        echo 3.11 3.13 3.14 3.15
    else
        echo 3.13 3.14 3.15
    fi
}
