#!/usr/bin/env bash
# make demo: examples/torrent_info.py, run on CPython 3.14 in the sid root
# against the development build (make build), on TORRENT (by default a
# torrent the repository ships). The root sees only the checkout's parent
# folder, so a torrent from elsewhere is copied into build/demo first.
#
#   scripts/demo.sh [TORRENT]
set -euo pipefail
cd "$(dirname "$0")/.."
torrent=${1:-tests/data/multi-file.torrent}
[ -f "$torrent" ] || {
    echo "demo: no such file: $torrent" >&2
    exit 1
}
shared=$(dirname "$PWD")
case $(realpath "$torrent") in
    "$shared"/*) ;;
    *)
        mkdir -p build/demo
        cp "$torrent" build/demo/
        torrent=build/demo/$(basename "$torrent")
        ;;
esac
scripts/sid sh -c '
    echo "examples/torrent_info.py $1 (velka on $(.venv/bin/python -V), Debian sid root)"
    exec .venv/bin/python -P examples/torrent_info.py "$1"
' demo "$torrent"
