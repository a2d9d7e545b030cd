"""A torrent's metainfo (v1, v2 and hybrid) as models for velka.typed.

    import hashlib
    from velka import typed
    from metainfo import Metainfo

    torrent = typed.decode(data, Metainfo)
    torrent.info.name                            # str
    hashlib.sha1(torrent.info_raw).hexdigest()   # the v1 info-hash

Text is `str` where the format says UTF-8; hashes and other binary fields
are `bytes`. Every record keeps the keys it does not name in `extra`, so
that a canonical torrent decoded and encoded again is the same bytes, and an
edit (a new `announce`) changes nothing else, the info-hash included. Fields
a file may lack are `None` when absent and left out when encoded.
"""

import hashlib
from dataclasses import dataclass, field
from typing import Annotated, Any

from velka.bencode import BencodeValue
from velka.typed import Extra, Key, Raw

#: The keys of a record that no field names, as plain decode gives them.
Extras = Annotated[dict[bytes, BencodeValue], Extra]


@dataclass(kw_only=True)
class File:
    """One file of a v1 multi-file torrent."""

    length: int
    path: list[str]
    #: "p" marks a padding file, there only to align the next with a piece.
    attr: str | None = None
    extra: Extras = field(default_factory=dict)


@dataclass(kw_only=True)
class Info:
    """The info dictionary: what the info-hash covers."""

    name: str
    piece_length: Annotated[int, Key("piece length")]
    #: v1: the SHA-1 of each piece, 20 bytes each.
    pieces: bytes | None = None
    #: v1: the length of a single-file torrent's one file...
    length: int | None = None
    #: ...or the files of a multi-file one.
    files: list[File] | None = None
    private: bool | None = None
    #: 2 in a v2 or hybrid torrent.
    meta_version: Annotated[int | None, Key("meta version")] = None
    #: v2: directories and files, both dictionaries, so left as plain values
    #: under the first level (see `v2_files`).
    file_tree: Annotated[dict[str, Any] | None, Key("file tree")] = None
    extra: Extras = field(default_factory=dict)


@dataclass(kw_only=True)
class Metainfo:
    """A .torrent file."""

    info: Info
    #: The info dictionary's exact bytes, from the same walk: what the
    #: info-hashes hash. Encoding writes `info` and leaves this out.
    info_raw: Annotated[Raw, Key("info")] = field(default=Raw(b""), repr=False)
    announce: str | None = None
    announce_list: Annotated[list[list[str]] | None, Key("announce-list")] = None
    #: Web seeds: one URL or a list of them.
    url_list: Annotated[str | list[str] | None, Key("url-list")] = None
    creation_date: Annotated[int | None, Key("creation date")] = None
    created_by: Annotated[str | None, Key("created by")] = None
    comment: str | None = None
    #: v2: the piece hashes of each file longer than a piece, by its root.
    piece_layers: Annotated[dict[bytes, bytes] | None, Key("piece layers")] = None
    extra: Extras = field(default_factory=dict)

    @property
    def info_hash_v1(self) -> str | None:
        return hashlib.sha1(self.info_raw).hexdigest() if self.info.pieces is not None else None

    @property
    def info_hash_v2(self) -> str | None:
        v2 = self.info.meta_version == 2 and self.info.file_tree is not None
        return hashlib.sha256(self.info_raw).hexdigest() if v2 else None


def v1_files(info: Info) -> list[tuple[str, int]]:
    """(path, length) of each file of a v1 torrent's view, padding left out."""
    if info.files is None:
        return [(info.name, info.length or 0)]
    return [
        ("/".join([info.name, *f.path]), f.length) for f in info.files if "p" not in (f.attr or "")
    ]


def v2_files(info: Info) -> list[tuple[str, int]]:
    """(path, length) of each file of a v2 `file tree`, in the tree's order.

    A directory maps names to entries; a file is an entry holding the empty
    key, whose value has its `length`. Below the first level the keys are
    bytes, as plain decode gives them.
    """
    files: list[tuple[str, int]] = []
    top: dict[Any, Any] = info.file_tree or {}
    single = len(top) == 1 and b"" in next(iter(top.values()))
    stack: list[tuple[dict[Any, Any], list[str]]] = [(top, [] if single else [info.name])]
    while stack:
        node, parts = stack.pop()
        below = []
        for key, child in node.items():
            name = key.decode("utf-8", "backslashreplace") if isinstance(key, bytes) else key
            if name == "":
                files.append(("/".join(parts), child[b"length"]))
            else:
                below.append((child, [*parts, name]))
        stack.extend(reversed(below))
    return files
