"""Reads each torrent given (or each .torrent in a folder given) with
libtorrent's binding and with transmission-show, and prints what each
reports as JSON:

    {"PATH": {"libtorrent": [V1, V2], "transmission": V1}, ...}

V1 and V2 are hex info-hashes or null; "transmission" is null where
transmission-show refused the torrent. Runs on the sid root's python3, the
one that imports libtorrent:

    scripts/sid python3 tests/oracle/read_torrents.py TORRENT|FOLDER...
"""

from __future__ import annotations

import json
import re
import subprocess
import sys
from pathlib import Path

import libtorrent as lt


def _libtorrent(path: Path) -> list[str | None]:
    hashes = lt.torrent_info(str(path)).info_hashes()
    return [
        str(hashes.v1) if hashes.has_v1() else None,
        str(hashes.v2) if hashes.has_v2() else None,
    ]


def _transmission(path: Path) -> str | None:
    shown = subprocess.run(
        ["transmission-show", str(path)],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=60,
    )
    match = re.search(r"^\s*Hash(?: v1)?:\s*([0-9a-f]{40})\s*$", shown.stdout, re.MULTILINE)
    return match.group(1) if shown.returncode == 0 and match else None


def main() -> int:
    found = {}
    for given in map(Path, sys.argv[1:]):
        for path in sorted(given.glob("*.torrent")) if given.is_dir() else [given]:
            found[str(path)] = {
                "libtorrent": _libtorrent(path),
                "transmission": _transmission(path),
            }
    json.dump(found, sys.stdout, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
