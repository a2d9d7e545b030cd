#!/usr/bin/env bash
# Inside the sid root, on Python 3.14: a virtual environment with the peers that
# come from PyPI (bencode2, bencode.py, and msgspec, which the typed rows
# measure for scale with MessagePack). It sees the distribution's packages
# (fastbencode, libtorrent, matplotlib) too. pip reaches PyPI the way the
# host's pip does: scripts/sid carries the host's pip configuration into the
# root. A peer that cannot be installed is skipped with a line saying so; the
# benchmark then runs without it.
set -uo pipefail
cd "$(dirname "$0")/.."
venv=${VELKA_PEERS_VENV:-bench/.venv-peers}
peers=(bencode2 bencode.py msgspec)

# A find-links folder of the host that the root does not have only makes pip warn.
if [[ "${PIP_FIND_LINKS:-}" == /* && ! -e "$PIP_FIND_LINKS" ]]; then
    unset PIP_FIND_LINKS
fi

if [ ! -x "$venv/bin/python" ]; then
    if ! python3 -m venv --system-site-packages "$venv"; then
        echo "bench: cannot make $venv; skipping ${peers[*]}" >&2
        exit 0
    fi
fi
for peer in "${peers[@]}"; do
    if "$venv/bin/python" -m pip show --quiet "$peer" >/dev/null 2>&1; then
        continue
    fi
    if ! output=$("$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
        --timeout 30 --retries 2 "$peer" 2>&1); then
        reason=$(printf '%s\n' "$output" | grep -E '^ERROR' | tail -n 1)
        echo "bench: skipping $peer: pip could not install it (${reason:-no reason given})" >&2
    fi
done
exit 0
