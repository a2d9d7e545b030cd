#!/usr/bin/env bash
# The reference torrents the torrent agreement tests compare velka against,
# made by libtorrent, mktorrent, transmission-create and torf in the sid root
# (tests/oracle/make_references.py), into VELKA_TORRENT_REFERENCES
# (build/torrent-references by default). The build folder is seen from every
# root, so each Python version and CPU of a test run reads these same files.
# Quick when they are already there for the same script and trees.
#
#   scripts/torrent-references.sh
set -euo pipefail
cd "$(dirname "$0")/.."
out=${VELKA_TORRENT_REFERENCES:-build/torrent-references}
scripts/sid python3 tests/oracle/make_references.py "$out"
