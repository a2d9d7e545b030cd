"""Print what a .torrent file holds: name, total size, files and info-hash.

    python torrent_info.py PATH

A file that is not a well-formed torrent gets one line on standard error that
says what is wrong and where, and the exit status 1.
"""

from __future__ import annotations

import hashlib
import mmap
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import TypeVar

from velka.bencode import BencodeValue, DecodeError, decode, encode
from velka.raw import span


class TorrentError(Exception):
    """The file decodes, but is not a torrent this script understands."""


@dataclass(frozen=True)
class TorrentFile:
    path: str
    length: int


@dataclass(frozen=True)
class Torrent:
    name: str
    info_hash: str
    files: list[TorrentFile]
    # False when the file holds a spelling the decoder tolerates but never
    # writes (such as "i+5e"). The info-hash hashes the file's own bytes all
    # the same; a tool that hashes the re-encoded dictionary would differ.
    canonical: bool = True

    @property
    def total_size(self) -> int:
        return sum(f.length for f in self.files)


T = TypeVar("T")


def _text(raw: bytes) -> str:
    # Names are UTF-8 by convention; show anything else escaped, not garbled.
    return raw.decode("utf-8", errors="backslashreplace")


def _field(mapping: dict[bytes, BencodeValue], key: bytes, kind: type[T], where: str) -> T:
    value = mapping.get(key)
    if not isinstance(value, kind):
        if value is None:
            raise TorrentError(f"{where} has no {key.decode()!r}")
        raise TorrentError(f"{where}: {key.decode()!r} is not {kind.__name__}")
    return value


def _length(entry: dict[bytes, BencodeValue], where: str) -> int:
    length = _field(entry, b"length", int, where)
    if length < 0:
        raise TorrentError(f"{where}: negative length {length}")
    return length


def parse_torrent(meta: BencodeValue, info_hash: str, canonical: bool = True) -> Torrent:
    """Read the v1 view of a decoded torrent (single-file or multi-file)."""
    if not isinstance(meta, dict):
        raise TorrentError("the top-level value is not a dictionary")
    info = _field(meta, b"info", dict, "the torrent")
    name = _text(_field(info, b"name", bytes, "the info dictionary"))

    files: list[TorrentFile] = []
    if b"files" in info:
        entries = _field(info, b"files", list, "the info dictionary")
        for number, entry in enumerate(entries, 1):
            where = f"file entry {number}"
            if not isinstance(entry, dict):
                raise TorrentError(f"{where} is not a dictionary")
            parts = _field(entry, b"path", list, where)
            if not parts or not all(isinstance(p, bytes) for p in parts):
                raise TorrentError(f"{where}: 'path' is not a list of byte strings")
            path = "/".join(_text(p) for p in parts if isinstance(p, bytes))
            files.append(TorrentFile(f"{name}/{path}", _length(entry, where)))
    elif b"length" in info:
        files = [TorrentFile(name, _length(info, "the info dictionary"))]
    else:
        raise TorrentError("the info dictionary has neither 'files' nor 'length' (v2-only?)")
    if not files:
        raise TorrentError("the torrent lists no files")
    return Torrent(name, info_hash, files, canonical)


def read_torrent(path: Path) -> Torrent:
    with path.open("rb") as f:
        if path.stat().st_size == 0:
            raise TorrentError("the file is empty")
        # Decoding straight from the mapped file: no copy of the whole file.
        with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
            try:
                meta = decode(data)
            except DecodeError as error:
                message = str(error)
                if message.startswith("unterminated"):
                    # The decoder ran out of data inside a list or dictionary.
                    message += f" at position {len(data)} (end of data)"
                raise TorrentError(f"malformed bencode: {message}") from error
            except OverflowError as error:
                # A byte-string length of 2**63 or more.
                raise TorrentError(f"malformed bencode: {error}") from error
            except RecursionError as error:
                raise TorrentError(f"malformed bencode: nested too deeply ({error})") from error
            with memoryview(data) as view:
                canonical = view == encode(meta)
                # The v1 info-hash is the SHA-1 of the info dictionary's bytes
                # as they stand in the file, which span() finds.
                start = end = 0
                if isinstance(meta, dict) and isinstance(meta.get(b"info"), dict):
                    start, end = span(view, b"info")
                with view[start:end] as info:
                    info_hash = hashlib.sha1(info).hexdigest()
    return parse_torrent(meta, info_hash, canonical)


def _size(n: int) -> str:
    size = float(n)
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB"):
        if size < 1024 or unit == "TiB":
            return f"{n:,} bytes" if unit == "bytes" else f"{size:.1f} {unit} ({n:,} bytes)"
        size /= 1024
    raise AssertionError("unreachable")


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(f"usage: {Path(argv[0]).name} PATH", file=sys.stderr)
        return 2
    path = Path(argv[1])
    try:
        torrent = read_torrent(path)
    except (OSError, TorrentError) as error:
        reason = error.strerror if isinstance(error, OSError) and error.strerror else error
        print(f"{path}: {reason}", file=sys.stderr)
        return 1

    if not torrent.canonical:
        print(
            f"{path}: warning: not in canonical form; the info-hash is that of the file's bytes",
            file=sys.stderr,
        )
    print(f"name:       {torrent.name}")
    print(f"total size: {_size(torrent.total_size)}")
    print(f"info-hash:  {torrent.info_hash}")
    print(f"files:      {len(torrent.files)}")
    width = max(len(f"{f.length:,}") for f in torrent.files)
    for f in torrent.files:
        print(f"  {f.length:>{width},}  {f.path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
