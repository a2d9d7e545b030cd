#!/usr/bin/env bash
# Inside the sid root: retag WHEEL (a linux_ARCH wheel of velka, for any CPU
# of scripts/arches.sh) as the oldest manylinux the extension qualifies for,
# into OUTDIR, check the result with auditwheel show, and print the repaired
# wheel's path.
#
#   scripts/repair-wheel.sh WHEEL OUTDIR
#
# The extension is to need nothing but the C library (no libstdc++, since it
# uses no C++ run-time library features) and that only up to GLIBC_2.17 (on
# riscv64, whose first C library was 2.27, manylinux starts at 2.31): a wheel
# into which auditwheel had to copy a library, or one needing a newer C
# library, fails here. auditwheel comes from pyproject.toml's release group,
# in a tools environment (build/tools) made once.
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=${1:?usage: scripts/repair-wheel.sh WHEEL OUTDIR}
outdir=${2:?usage: scripts/repair-wheel.sh WHEEL OUTDIR}
tools=build/tools
stamp=$(python3 -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print(*tomllib.load(f)["dependency-groups"]["release"])
')
# Wheels are repaired several at once: one run makes the environment, the
# others wait for it.
mkdir -p build
exec {tools_lock}>"$tools.lock"
flock "$tools_lock"
if [ ! -x "$tools/bin/auditwheel" ] || [ "$(cat "$tools/stamp" 2>/dev/null)" != "$stamp" ]; then
    echo "repair-wheel: making the tools environment $tools" >&2
    rm -rf "$tools"
    python3 -m venv "$tools"
    "$tools/bin/python" -m pip install --quiet --upgrade 'pip>=25.1'
    "$tools/bin/python" -m pip install --quiet --group release
    printf '%s' "$stamp" >"$tools/stamp"
fi
exec {tools_lock}>&-
export PATH=$PWD/$tools/bin:$PATH

# The newest manylinux the wheel may need: the newest C library symbol
# version the extension may use is 2.17's (riscv64's manylinux starts later).
arch=${wheel##*-linux_}
arch=${arch%.whl}
case $arch in
    riscv64) newest_glibc=31 ;;
    *) newest_glibc=17 ;;
esac
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# auditwheel takes --plat names of the host's CPU only; "auto" is the oldest
# tag the wheel qualifies for, on any CPU, whose last (newest) manylinux_2_N
# must not be past the one allowed.
auditwheel repair --plat auto --wheel-dir "$scratch" "$wheel" >"$scratch/repair.log" 2>&1 &&
    repaired=$(ls "$scratch"/*.whl) &&
    [[ "$repaired" =~ manylinux_2_([0-9]+)_${arch}.whl$ ]] &&
    [ "${BASH_REMATCH[1]}" -le "$newest_glibc" ] || {
    cat "$scratch/repair.log" >&2
    auditwheel show "$wheel" >&2 || true
    echo "repair-wheel: $wheel does not qualify for manylinux_2_${newest_glibc}_$arch" >&2
    exit 1
}
# What the extension loads, read from its dynamic section: the C library
# alone. (auditwheel would accept an older libstdc++ too, or copy a library
# into the wheel.)
if ! "$tools/bin/python" - "$repaired" <<'PYTHON'; then
import io
import sys
import zipfile

from elftools.elf.elffile import ELFFile

wheel = zipfile.ZipFile(sys.argv[1])
allowed = {"libc.so.6"}
failed = False
for name in wheel.namelist():
    if ".libs/" in name:
        print(f"{name}: a library auditwheel copied into the wheel", file=sys.stderr)
        failed = True
    if name.endswith(".so"):
        elf = ELFFile(io.BytesIO(wheel.read(name)))
        needed = {tag.needed for tag in elf.get_section_by_name(".dynamic").iter_tags("DT_NEEDED")}
        if needed - allowed:
            print(f"{name} needs {sorted(needed - allowed)}", file=sys.stderr)
            failed = True
sys.exit(failed)
PYTHON
    auditwheel show "$repaired" >&2
    echo "repair-wheel: the extension is to need nothing but the C library" >&2
    exit 1
fi
auditwheel show "$repaired" >&2
mkdir -p "$outdir"
mv "$repaired" "$outdir/"
echo "$outdir/$(basename "$repaired")"
