"""Reference torrents, made by the real tools, for the torrent agreement tests.

    scripts/sid python3 tests/oracle/make_references.py OUTDIR

Runs on the sid root's system interpreter, the one that imports libtorrent's
binding, with mktorrent, transmission-create and torf beside it. For each
tree of tests/torrent_trees.py it writes libtorrent's v1, v2 and hybrid
torrents, mktorrent's and transmission-create's v1 torrents and, for the
smaller trees, torf's, with creation dates and creators left out, plus
manifest.json: each tree, the tools' versions, and each torrent's
info-hashes as libtorrent's torrent_info reads them. Every Python version
and CPU of the test run compares against these same files; the trees
themselves are written again by the tests from the manifest.

Nothing is done when OUTDIR already holds a manifest made by this same
script, tree list and tool releases; the whole folder is made aside and renamed into
place, so an interrupted run leaves no half folder that looks complete.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import torrent_trees  # noqa: E402
from torrent_trees import Tree  # noqa: E402

TRACKER = "http://tracker.invalid/announce"
# torf hashes on one core in Python: its torrents are made of the small trees.
TORF_LIMIT = 2 * torrent_trees.MIB
# Trees whose libtorrent torrents are also made private.
PRIVATE = {"names-16k", "single-16k"}


def fingerprint() -> str:
    """What the references depend on: this script and the tree list."""
    digest = hashlib.sha256()
    for path in (Path(__file__).resolve(), HERE.parent / "torrent_trees.py"):
        digest.update(path.read_bytes())
    return digest.hexdigest()


def _run(command: list[str]) -> str:
    done = subprocess.run(
        command, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300
    )
    if done.returncode != 0:
        raise RuntimeError(f"{command[0]} failed ({done.returncode}): {done.stderr.strip()}")
    return done.stdout + done.stderr


def _strip(lt: Any, data: bytes) -> bytes:
    """The torrent without its creation date, creator and encoding, which the
    tools write outside the info dictionary as they please."""
    value = lt.bdecode(data)
    for key in (b"creation date", b"created by", b"encoding"):
        value.pop(key, None)
    return bytes(lt.bencode(value))


def _hashes(lt: Any, data: bytes) -> dict[str, str | None]:
    hashes = lt.torrent_info(lt.bdecode(data)).info_hashes()
    return {
        "info_hash_v1": str(hashes.v1) if hashes.has_v1() else None,
        "info_hash_v2": str(hashes.v2) if hashes.has_v2() else None,
    }


def _libtorrent(lt: Any, tree: Tree, top: Path, version: str, private: bool = False) -> bytes:
    # libtorrent scans the folder itself (attributes as it reads them); for
    # v1, which keeps the order it is given, the files are then added again
    # in velka's order: by path component, byte-wise.
    scanned = lt.file_storage()
    lt.add_files(scanned, str(top))
    files = lt.file_storage()
    listed = [
        (scanned.file_path(i), scanned.file_size(i), scanned.file_flags(i))
        for i in range(scanned.num_files())
    ]
    listed.sort(key=lambda item: [part.encode() for part in item[0].split("/")])
    for path, size, flags in listed:
        files.add_file(path, size, flags)
    flags = {
        "v1": lt.create_torrent.v1_only,
        "v2": lt.create_torrent.v2_only,
        "hybrid": 0,
    }[version]
    maker = lt.create_torrent(files, tree.piece_length, flags)
    maker.set_priv(private)
    lt.set_piece_hashes(maker, str(top.parent))
    return bytes(lt.bencode(maker.generate()))


def _mktorrent(tree: Tree, top: Path, out: Path) -> None:
    exponent = tree.piece_length.bit_length() - 1
    _run(["mktorrent", "-a", TRACKER, "-d", "-l", str(exponent), "-o", str(out), str(top)])


def _transmission(tree: Tree, top: Path, out: Path) -> None:
    size = str(tree.piece_length // 1024)
    _run(["transmission-create", "--anonymize", "-s", size, "-o", str(out), str(top)])


def _torf(tree: Tree, top: Path, out: Path) -> None:
    import torf

    made = torf.Torrent(
        path=str(top),
        trackers=[TRACKER],
        piece_size=tree.piece_length,
        created_by=None,
        creation_date=None,
    )
    made.generate(threads=1)
    made.write(str(out))


def _versions(lt: Any) -> dict[str, str]:
    import torf

    found = {"libtorrent": str(lt.__version__), "torf": str(torf.__version__)}
    for tool, flag in (("mktorrent", "-h"), ("transmission-create", "--version")):
        text = subprocess.run(
            [tool, flag], stdin=subprocess.DEVNULL, capture_output=True, text=True
        )
        match = re.search(r"\d+\.\d+(\.\d+)?", text.stdout + text.stderr)
        found[tool] = match.group(0) if match else "unknown"
    return found


def make(out: Path) -> None:
    import libtorrent as lt

    cases: list[dict[str, Any]] = []
    manifest = {"fingerprint": fingerprint(), "tools": _versions(lt), "cases": cases}
    with tempfile.TemporaryDirectory(prefix="trees-") as scratch:
        for tree in torrent_trees.trees():
            top = torrent_trees.write(tree, Path(scratch) / tree.label)
            torrents: list[dict[str, Any]] = []
            for version in ("v1", "v2", "hybrid"):
                for private in (False, True) if tree.label in PRIVATE else (False,):
                    data = _libtorrent(lt, tree, top, version, private)
                    torrents.append(
                        {"tool": "libtorrent", "version": version, "private": private, "data": data}
                    )
            makers = [("mktorrent", _mktorrent), ("transmission-create", _transmission)]
            if tree.total <= TORF_LIMIT:
                makers.append(("torf", _torf))
            for tool, maker in makers:
                if tool == "mktorrent" and tree.piece_length < 32 * 1024:
                    continue  # mktorrent's smallest piece is 32 KiB
                made = Path(scratch) / f"{tree.label}.{tool}.torrent"
                maker(tree, top, made)
                made_by = {"tool": tool, "version": "v1", "private": False}
                torrents.append({**made_by, "data": made.read_bytes()})
            entries = []
            for made_by in torrents:
                data = _strip(lt, made_by.pop("data"))
                private = "-private" if made_by["private"] else ""
                name = f"{tree.label}.{made_by['tool']}-{made_by['version']}{private}.torrent"
                (out / name).write_bytes(data)
                entries.append({**made_by, "file": name, **_hashes(lt, data)})
            cases.append({"tree": tree.to_json(), "torrents": entries})
            shutil.rmtree(Path(scratch) / tree.label)
    (out / "manifest.json").write_text(json.dumps(manifest, indent=1, ensure_ascii=False) + "\n")


def complete(out: Path) -> bool:
    """Whether OUTDIR holds what this script and these tools would make."""
    try:
        manifest = json.loads((out / "manifest.json").read_text())
    except (OSError, ValueError):
        return False
    import libtorrent as lt

    return bool(manifest.get("fingerprint") == fingerprint() and manifest["tools"] == _versions(lt))


def main() -> int:
    if len(sys.argv) != 2:
        print("usage: make_references.py OUTDIR", file=sys.stderr)
        return 2
    out = Path(sys.argv[1])
    if complete(out):
        return 0
    out.parent.mkdir(parents=True, exist_ok=True)
    aside = Path(tempfile.mkdtemp(prefix=out.name + ".", dir=out.parent))
    try:
        make(aside)
        os.chmod(aside, 0o755)
        if out.exists():
            shutil.rmtree(out)
        aside.rename(out)
    finally:
        shutil.rmtree(aside, ignore_errors=True)
    count = sum(
        len(case["torrents"]) for case in json.loads((out / "manifest.json").read_text())["cases"]
    )
    print(f"torrent references: {count} torrents in {out}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
