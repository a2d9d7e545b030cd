"""``velka info``: what a .torrent file describes, and its info-hashes."""

from __future__ import annotations

import hashlib
from dataclasses import dataclass, field
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any
from urllib.parse import quote

from velka.bencode import BencodeValue, decode
from velka.raw import span

from ._input import CODEC_ERRORS, Failure, decode_failure

if TYPE_CHECKING:
    # The buffer protocol's type is collections.abc.Buffer from 3.12 on;
    # only the type checker needs it, and this name stands for it on 3.11 too.
    from typing_extensions import Buffer


def _text(raw: bytes) -> str:
    # Names are UTF-8 by convention; anything else is shown escaped, not garbled.
    return raw.decode("utf-8", errors="backslashreplace")


@dataclass
class TorrentFile:
    path: str
    length: int


@dataclass
class Torrent:
    name: str
    versions: list[int]
    files: list[TorrentFile]
    piece_length: int
    piece_count: int
    info_hash_v1: str | None
    info_hash_v2: str | None
    announce: str | None = None
    announce_list: list[list[str]] = field(default_factory=list)
    web_seeds: list[str] = field(default_factory=list)
    private: bool = False
    creation_date: int | None = None
    created_by: str | None = None
    comment: str | None = None
    raw_name: bytes = b""

    @property
    def total_size(self) -> int:
        return sum(f.length for f in self.files)

    @property
    def trackers(self) -> list[str]:
        """Every tracker once, in the order a client tries them."""
        urls = [url for tier in self.announce_list for url in tier]
        if self.announce is not None:
            urls.append(self.announce)
        return list(dict.fromkeys(urls))

    @property
    def magnet(self) -> str:
        parts = []
        if self.info_hash_v1 is not None:
            parts.append(f"xt=urn:btih:{self.info_hash_v1}")
        if self.info_hash_v2 is not None:
            # A multihash: 0x12 is SHA-256, 0x20 its length.
            parts.append(f"xt=urn:btmh:1220{self.info_hash_v2}")
        parts.append(f"dn={quote(self.raw_name, safe='')}")
        parts += [f"tr={quote(url, safe='')}" for url in self.trackers]
        parts += [f"ws={quote(url, safe='')}" for url in self.web_seeds]
        return "magnet:?" + "&".join(parts)

    def as_json(self) -> dict[str, Any]:
        return {
            "name": self.name,
            "meta_versions": self.versions,
            "total_size": self.total_size,
            "files": [{"path": f.path, "length": f.length} for f in self.files],
            "piece_length": self.piece_length,
            "piece_count": self.piece_count,
            "announce": self.announce,
            "announce_list": self.announce_list,
            "web_seeds": self.web_seeds,
            "private": self.private,
            "creation_date": self.creation_date,
            "created_by": self.created_by,
            "comment": self.comment,
            "info_hash_v1": self.info_hash_v1,
            "info_hash_v2": self.info_hash_v2,
            "magnet": self.magnet,
        }


class _Dict:
    """Typed access to a decoded dictionary, with messages that say where."""

    def __init__(self, value: BencodeValue, where: str) -> None:
        if not isinstance(value, dict):
            raise Failure(f"not a torrent: {where} is not a dictionary")
        self.value = value
        self.where = where

    def _get(self, key: bytes, kind: type, required: bool) -> Any:
        value = self.value.get(key)
        if value is None:
            if required:
                raise Failure(f"not a torrent: {self.where} has no {key.decode()!r}")
            return None
        if not isinstance(value, kind):
            raise Failure(f"not a torrent: {self.where}: {key.decode()!r} is not {kind.__name__}")
        return value

    def get_bytes(self, key: bytes, required: bool = False) -> bytes | None:
        value: bytes | None = self._get(key, bytes, required)
        return value

    def get_int(self, key: bytes, required: bool = False) -> int | None:
        value: int | None = self._get(key, int, required)
        return value

    def get_list(self, key: bytes) -> list[BencodeValue]:
        value: list[BencodeValue] | None = self._get(key, list, False)
        return [] if value is None else value

    def get_dict(self, key: bytes, required: bool = False) -> _Dict | None:
        value = self._get(key, dict, required)
        return None if value is None else _Dict(value, repr(key.decode()))


def _length(entry: _Dict) -> int:
    length = entry.get_int(b"length", required=True)
    assert length is not None
    if length < 0:
        raise Failure(f"not a torrent: {entry.where}: negative length {length}")
    return length


def _v1_files(info: _Dict, name: str) -> list[TorrentFile]:
    if b"files" not in info.value:
        return [TorrentFile(name, _length(info))]
    files = []
    for number, item in enumerate(info.get_list(b"files"), 1):
        entry = _Dict(item, f"file entry {number}")
        parts = entry.get_list(b"path")
        if not parts or not all(isinstance(p, bytes) for p in parts):
            raise Failure(f"not a torrent: {entry.where}: 'path' is not a list of byte strings")
        if b"p" in (entry.get_bytes(b"attr") or b""):
            continue  # a padding file, there only to align the next file with a piece
        path = "/".join(_text(p) for p in parts if isinstance(p, bytes))
        files.append(TorrentFile(f"{name}/{path}", _length(entry)))
    return files


def _v2_files(tree: _Dict, name: str, single: bool) -> list[TorrentFile]:
    """The files of a v2 `file tree`, walked with a stack of our own: its depth
    is whatever the file holds."""
    files = []
    stack = [(tree, [name] if not single else [])]
    while stack:
        node, parts = stack.pop()
        entries = []
        for key, child in node.value.items():
            if key == b"":
                leaf = _Dict(child, "a file tree entry")
                files.append(TorrentFile("/".join(parts), _length(leaf)))
            else:
                entries.append((_Dict(child, "the file tree"), [*parts, _text(key)]))
        stack.extend(reversed(entries))
    return files


def _piece_count(info: _Dict, files: list[TorrentFile], piece_length: int, v1: bool) -> int:
    if v1:
        return len(info.get_bytes(b"pieces") or b"") // 20
    # v2 hashes each file on its own, in pieces that never span two files.
    return sum(-(-f.length // piece_length) for f in files if piece_length > 0)


def read_torrent(data: Buffer) -> Torrent:
    with memoryview(data) as view:
        try:
            meta = decode(view)
        except CODEC_ERRORS as error:
            raise decode_failure(error, len(view)) from None
        top = _Dict(meta, "the top-level value")
        info = top.get_dict(b"info", required=True)
        assert info is not None
        # The info-hashes are those of the info dictionary's bytes as they stand
        # in the file, which re-encoding gives back only when the file is canonical.
        start, end = span(view, b"info")
        with view[start:end] as info_bytes:
            sha1 = hashlib.sha1(info_bytes).hexdigest()
            sha256 = hashlib.sha256(info_bytes).hexdigest()

    raw_name = info.get_bytes(b"name", required=True)
    assert raw_name is not None
    name = _text(raw_name)
    piece_length = info.get_int(b"piece length", required=True)
    assert piece_length is not None
    tree = info.get_dict(b"file tree")
    v2 = info.get_int(b"meta version") == 2 and tree is not None
    v1 = b"pieces" in info.value
    if not (v1 or v2):
        raise Failure("not a torrent: the info dictionary has no 'pieces' and no v2 'file tree'")
    if tree is not None and v2:
        only = _Dict(next(iter(tree.value.values()), {}), "the file tree")
        single = len(tree.value) == 1 and b"" in only.value
        files = _v2_files(tree, name, single)
    else:
        files = _v1_files(info, name)

    announce_list = []
    for tier in top.get_list(b"announce-list"):
        if isinstance(tier, list):
            urls = [_text(url) for url in tier if isinstance(url, bytes)]
            if urls:
                announce_list.append(urls)
    seeds = top.value.get(b"url-list")
    seed_list = seeds if isinstance(seeds, list) else [seeds] if seeds else []
    announce = top.get_bytes(b"announce")
    created_by = top.get_bytes(b"created by")
    comment = top.get_bytes(b"comment")
    return Torrent(
        name=name,
        raw_name=raw_name,
        versions=[1] * v1 + [2] * v2,
        files=files,
        piece_length=piece_length,
        piece_count=_piece_count(info, files, piece_length, v1),
        info_hash_v1=sha1 if v1 else None,
        info_hash_v2=sha256 if v2 else None,
        announce=None if announce is None else _text(announce),
        announce_list=announce_list,
        web_seeds=[_text(s) for s in seed_list if isinstance(s, bytes) and s],
        private=info.get_int(b"private") == 1,
        creation_date=top.get_int(b"creation date"),
        created_by=None if created_by is None else _text(created_by),
        comment=None if comment is None else _text(comment),
    )


def size(n: int) -> str:
    value = float(n)
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB"):
        if value < 1024 or unit == "TiB":
            return f"{n:,} bytes" if unit == "bytes" else f"{value:.1f} {unit} ({n:,} bytes)"
        value /= 1024
    raise AssertionError("unreachable")


def date(timestamp: int) -> str:
    try:
        return datetime.fromtimestamp(timestamp, UTC).strftime("%Y-%m-%d %H:%M:%S UTC")
    except (OverflowError, OSError, ValueError):
        return f"{timestamp} (not a date)"


def info_lines(torrent: Torrent) -> list[str]:
    kind = {(1,): "v1", (2,): "v2", (1, 2): "hybrid (v1 and v2)"}[tuple(torrent.versions)]
    lines = [
        f"name:          {torrent.name}",
        f"kind:          {kind}",
        f"total size:    {size(torrent.total_size)}",
        f"files:         {len(torrent.files):,}",
    ]
    width = max((len(f"{f.length:,}") for f in torrent.files), default=0)
    lines += [f"  {f.length:>{width},}  {f.path}" for f in torrent.files]
    lines.append(f"piece length:  {size(torrent.piece_length)}")
    lines.append(f"pieces:        {torrent.piece_count:,}")
    if torrent.announce is not None:
        lines.append(f"announce:      {torrent.announce}")
    if torrent.announce_list:
        lines.append("announce-list:")
    for number, tier in enumerate(torrent.announce_list, 1):
        label = f"tier {number}:"
        for url in tier:
            lines.append(f"  {label:<12} {url}")
            label = ""
    for seed in torrent.web_seeds:
        lines.append(f"web seed:      {seed}")
    lines.append(f"private:       {'yes' if torrent.private else 'no'}")
    if torrent.creation_date is not None:
        lines.append(f"created:       {date(torrent.creation_date)}")
    if torrent.created_by is not None:
        lines.append(f"created by:    {torrent.created_by}")
    if torrent.comment is not None:
        lines.append(f"comment:       {torrent.comment}")
    if torrent.info_hash_v1 is not None:
        lines.append(f"info-hash v1:  {torrent.info_hash_v1}")
    if torrent.info_hash_v2 is not None:
        lines.append(f"info-hash v2:  {torrent.info_hash_v2}")
    lines.append(f"magnet:        {torrent.magnet}")
    return lines
