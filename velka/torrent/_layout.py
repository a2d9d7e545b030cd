"""Where each byte of a torrent's files lies: the piece length rule, pad files
and the metainfo's file lists.

The layout is libtorrent's: files by path component, byte-wise; in a hybrid of
more than one file, a pad file after each non-empty file that ends off a piece
boundary, the last one included; v1 torrents without pads.
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from typing import Literal

from velka.bencode import BencodeValue

from ._merkle import BLOCK

Version = Literal["v1", "v2", "hybrid"]
VERSIONS: tuple[Version, ...] = ("v1", "v2", "hybrid")

MIN_PIECE_LENGTH = BLOCK
"""The smallest piece length the automatic rule picks, and v2 accepts."""

MAX_PIECE_LENGTH = 1 << 30
"""The largest piece length accepted; clients refuse longer pieces."""

_AUTO_MAX = 16 * 1024 * 1024
_AUTO_PIECES = 1024


def check_version(version: object) -> Version:
    if version not in VERSIONS:
        raise ValueError(f"version must be 'v1', 'v2' or 'hybrid', not {version!r}")
    return version


def piece_length_for(total_size: int, version: str = "hybrid") -> int:
    """The piece length velka picks for *total_size* bytes of files.

    The rule, the same for every version and kept from release to release: the
    smallest power of two from 16 KiB up to 16 MiB that splits *total_size*
    into at most 1024 pieces; 16 MiB when none does (more than 16 GiB).
    """
    check_version(version)
    if isinstance(total_size, bool) or not isinstance(total_size, int):
        raise TypeError(f"total_size must be an int, not {type(total_size).__name__}")
    if total_size < 0:
        raise ValueError(f"total_size must not be negative, not {total_size}")
    length = MIN_PIECE_LENGTH
    while length < _AUTO_MAX and length * _AUTO_PIECES < total_size:
        length *= 2
    return length


def check_piece_length(piece_length: object, version: Version) -> int:
    """*piece_length* when *version* can use it; ValueError naming it if not."""
    if isinstance(piece_length, bool) or not isinstance(piece_length, int):
        raise TypeError(f"piece_length must be an int, not {type(piece_length).__name__}")
    if piece_length <= 0 or piece_length & (piece_length - 1):
        raise ValueError(f"piece length {piece_length} is not a power of two")
    if version != "v1" and piece_length < MIN_PIECE_LENGTH:
        raise ValueError(
            f"piece length {piece_length} is under 16 KiB, the least a {version} torrent allows"
        )
    if piece_length > MAX_PIECE_LENGTH:
        raise ValueError(f"piece length {piece_length} is over 1 GiB")
    return piece_length


@dataclass(frozen=True, slots=True)
class Entry:
    """A file of the torrent, as created or verified.

    *path* is relative to the torrent's folder (``()`` for a single-file
    torrent); *location* is where its bytes are, None for a pad file.
    """

    path: tuple[str, ...]
    length: int
    location: bytes | None = None
    executable: bool = False


def sort_key(entry: Entry) -> tuple[str, ...]:
    # Code point order of str is the byte order of their UTF-8.
    return entry.path


def pad_length(length: int, piece_length: int) -> int:
    return -length % piece_length


def hybrid_pads(entries: list[Entry], piece_length: int) -> list[int]:
    """The length of the pad file after each entry (0 for none)."""
    if len(entries) == 1:
        return [0]
    return [pad_length(e.length, piece_length) if e.length else 0 for e in entries]


def aligned_offsets(lengths: Iterable[int], piece_length: int) -> list[int]:
    """Where each file starts in a stream whose files all start a piece (v2, hybrid)."""
    offsets = []
    offset = 0
    for length in lengths:
        offsets.append(offset)
        offset += length + pad_length(length, piece_length)
    return offsets


def pad_entry(length: int) -> dict[bytes, BencodeValue]:
    return {b"attr": b"p", b"length": length, b"path": [b".pad", str(length).encode()]}


def _attr(entry: Entry) -> dict[bytes, BencodeValue]:
    return {b"attr": b"x"} if entry.executable else {}


def _path(entry: Entry) -> list[bytes]:
    return [part.encode() for part in entry.path]


def v1_files(entries: list[Entry], piece_length: int, *, pads: bool) -> list[BencodeValue]:
    """The info dictionary's ``files`` list, with hybrid pad files when *pads*."""
    files: list[BencodeValue] = []
    lengths = hybrid_pads(entries, piece_length) if pads else [0] * len(entries)
    for entry, pad in zip(entries, lengths, strict=True):
        path: list[BencodeValue] = list(_path(entry))
        files.append({**_attr(entry), b"length": entry.length, b"path": path})
        if pad:
            files.append(pad_entry(pad))
    return files


def file_tree(
    entries: list[Entry], roots: list[bytes | None], name: str, *, single: bool
) -> dict[bytes, BencodeValue]:
    """The v2 ``file tree``; a single file's tree holds it under the torrent's name."""
    tree: dict[bytes, BencodeValue] = {}
    for entry, root in zip(entries, roots, strict=True):
        leaf: dict[bytes, BencodeValue] = {**_attr(entry), b"length": entry.length}
        if root is not None:
            leaf[b"pieces root"] = root
        parts = [name.encode()] if single else _path(entry)
        node = tree
        for part in parts[:-1]:
            child = node.get(part)
            if not isinstance(child, dict):
                child = {}
                node[part] = child
            node = child
        node[parts[-1]] = {b"": leaf}
    return _sorted(tree)


def _sorted(tree: dict[bytes, BencodeValue]) -> dict[bytes, BencodeValue]:
    # The encoder takes keys in any order, but an ordered tree reads the same
    # in a debugger as in the file.
    return {key: _sorted(v) if isinstance(v, dict) else v for key, v in sorted(tree.items())}
