"""Print what a .torrent file holds: name, total size, files and info-hash.

    python torrent_info.py PATH

A file that is not a well-formed torrent gets one line on standard error that
says what is wrong and where, and the exit status 1.
"""

from __future__ import annotations

import hashlib
import mmap
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Annotated

from velka import typed
from velka.bencode import BencodeValue, DecodeError
from velka.typed import Extra, Key, Raw, ValidationError


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


# The file as velka.typed reads it. Names and paths stay bytes: an old
# torrent may hold them in another encoding, shown escaped below. The keys
# no field names are kept in `extra`, so that encoding the model gives the
# file back exactly when the file is canonical.
Extras = Annotated[dict[bytes, BencodeValue], Extra]


@dataclass(kw_only=True)
class FileEntry:
    path: list[bytes]
    length: int | None = None  # told as missing after a bad path, as before
    extra: Extras = field(default_factory=dict)


@dataclass(kw_only=True)
class Info:
    name: bytes
    length: int | None = None
    files: list[FileEntry] | None = None
    extra: Extras = field(default_factory=dict)


@dataclass(kw_only=True)
class Metainfo:
    info: Info
    # The info dictionary's bytes as they stand in the file, from the same
    # walk: the v1 info-hash is their SHA-1.
    info_raw: Annotated[Raw, Key("info")]
    extra: Extras = field(default_factory=dict)


def _text(raw: bytes) -> str:
    # Names are UTF-8 by convention; show anything else escaped, not garbled.
    return raw.decode("utf-8", errors="backslashreplace")


def _length(length: int | None, where: str) -> int:
    if length is None:
        raise TorrentError(f"{where} has no 'length'")
    if length < 0:
        raise TorrentError(f"{where}: negative length {length}")
    return length


def parse_torrent(meta: Metainfo, canonical: bool = True) -> Torrent:
    """Read the v1 view of a torrent (single-file or multi-file)."""
    info = meta.info
    name = _text(info.name)
    files: list[TorrentFile] = []
    if info.files is not None:
        for number, entry in enumerate(info.files, 1):
            where = f"file entry {number}"
            if not entry.path:
                raise TorrentError(f"{where}: 'path' is not a list of byte strings")
            path = "/".join(_text(p) for p in entry.path)
            files.append(TorrentFile(f"{name}/{path}", _length(entry.length, where)))
    elif info.length is not None:
        files = [TorrentFile(name, _length(info.length, "the info dictionary"))]
    else:
        raise TorrentError("the info dictionary has neither 'files' nor 'length' (v2-only?)")
    if not files:
        raise TorrentError("the torrent lists no files")
    return Torrent(name, hashlib.sha1(meta.info_raw).hexdigest(), files, canonical)


def _misfit(error: ValidationError) -> TorrentError:
    """What does not fit the model, said in the torrent's own terms."""
    message = str(error)
    path = error.path
    entry = re.match(r"\$\.info\.files\[(\d+)\]", path)
    where = {"$": "the torrent", "$.info": "the info dictionary"}.get(path, path)
    if entry is not None:
        where = f"file entry {int(entry[1]) + 1}"
        if path.startswith(".path", entry.end()):
            kind = "list" if path.endswith(".path") else "a list of byte strings"
            return TorrentError(f"{where}: 'path' is not {kind}")
    missing = re.match(r"missing key ('[^']*')", message)
    if missing is not None:
        return TorrentError(f"{where} has no {missing[1]}")
    if path == "$":
        return TorrentError("the top-level value is not a dictionary")
    if entry is not None and entry.end() == len(path):
        return TorrentError(f"{where} is not a dictionary")
    parent, key = path.rsplit(".", 1)
    if entry is None:
        parent = "the torrent" if parent == "$" else "the info dictionary"
    else:
        parent = where
    expected = re.match(r"expected (\w+)", message)
    kind = expected[1] if expected and expected[1] in ("bytes", "int", "list") else "dict"
    return TorrentError(f"{parent}: {key!r} is not {kind}")


def read_torrent(path: Path) -> Torrent:
    with path.open("rb") as f:
        if path.stat().st_size == 0:
            raise TorrentError("the file is empty")
        # Decoding straight from the mapped file: no copy of the whole file.
        with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
            try:
                meta = typed.decode(data, Metainfo)
            except ValidationError as error:
                raise _misfit(error) from error
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
            # Every key is in the model, so encoding it gives the file back
            # exactly when the file is in canonical form.
            with memoryview(data) as view:
                canonical = view == typed.encode(meta)
    return parse_torrent(meta, canonical)


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
