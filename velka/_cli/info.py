"""``velka info``: what a .torrent file describes, and its info-hashes."""

from __future__ import annotations

import ast
import hashlib
import re
from dataclasses import dataclass, field
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Annotated, Any
from urllib.parse import quote

from velka import typed
from velka.bencode import BencodeValue
from velka.typed import Key, Raw, ValidationError

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

    def get_int(self, key: bytes, required: bool = False) -> int | None:
        value: int | None = self._get(key, int, required)
        return value


# The command's view of a torrent's metainfo, as velka.typed reads it. Names,
# paths and URLs stay bytes: a legacy torrent may hold them in any encoding,
# and the command shows them escaped rather than refusing the file. Keys the
# command reads leniently (tiers of announce-list, url-list, the v2 file tree)
# are plain values, checked below as before.


@dataclass(kw_only=True)
class _FileEntry:
    # Both optional here: a missing path is told as a bad one, and a padding
    # file needs no length.
    path: list[bytes] | None = None
    length: int | None = None
    attr: bytes | None = None


@dataclass(kw_only=True)
class _Info:
    name: bytes
    piece_length: Annotated[int, Key("piece length")]
    pieces: bytes | None = None
    length: int | None = None
    files: list[_FileEntry] | None = None
    private: int | None = None
    meta_version: Annotated[int | None, Key("meta version")] = None
    file_tree: Annotated[dict[bytes, BencodeValue] | None, Key("file tree")] = None


@dataclass(kw_only=True)
class _Metainfo:
    info: _Info
    # The info-hashes are those of the info dictionary's bytes as they stand
    # in the file, which re-encoding gives back only when the file is canonical.
    info_raw: Annotated[Raw, Key("info")]
    announce: bytes | None = None
    announce_list: Annotated[list[BencodeValue] | None, Key("announce-list")] = None
    url_list: Annotated[BencodeValue | None, Key("url-list")] = None
    creation_date: Annotated[int | None, Key("creation date")] = None
    created_by: Annotated[bytes | None, Key("created by")] = None
    comment: bytes | None = None


_READER = typed.Decoder(_Metainfo)

# One step of a ValidationError's path: .key, ['key'], [b'key'] or [index].
_STEP = re.compile(r"\.([^.\[]+)|\[(\d+)\]|\[(b?'(?:[^'\\]|\\.)*'|b?\"(?:[^\"\\]|\\.)*\")\]")


def _steps(path: str) -> list[str | int]:
    steps: list[str | int] = []
    for match in _STEP.finditer(path, 1):  # after the "$"
        key, index, quoted = match.groups()
        if index is not None:
            steps.append(int(index))
        elif key is not None:
            steps.append(key)
        else:
            literal = ast.literal_eval(quoted)
            steps.append(
                literal.decode("utf-8", "backslashreplace")
                if isinstance(literal, bytes)
                else literal
            )
    return steps


def _where(steps: list[str | int]) -> str:
    """A place in the torrent, told as the command has always told it."""
    if not steps:
        return "the top-level value"
    if len(steps) == 3 and steps[:2] == ["info", "files"]:
        return f"file entry {int(steps[2]) + 1}"
    return repr(str(steps[-1]))


def _not_a_torrent(error: ValidationError) -> Failure:
    """The one line for a torrent that decodes but does not fit the model."""
    message = str(error)
    steps = _steps(error.path)
    missing = re.match(r"missing key (.+) at ", message)
    if missing is not None:
        key = ast.literal_eval(missing[1])
        shown = key.decode("utf-8", "backslashreplace") if isinstance(key, bytes) else key
        return Failure(f"not a torrent: {_where(steps)} has no {shown!r}")
    if steps[:2] == ["info", "files"] and len(steps) >= 4 and steps[3] == "path":
        kind = "list" if len(steps) == 4 else "a list of byte strings"
        return Failure(f"not a torrent: {_where(steps[:3])}: 'path' is not {kind}")
    expected = re.match(r"expected ([A-Za-z_]\w*)", message)
    if expected is None or not steps or isinstance(steps[-1], int):
        if not steps or (len(steps) == 3 and steps[:2] == ["info", "files"]):
            return Failure(f"not a torrent: {_where(steps)} is not a dictionary")
        return Failure(f"not a torrent: {message}")
    # A record is a dictionary; the others are named as Python names them.
    kind = expected[1] if expected[1] in ("bytes", "int", "list", "dict") else "dict"
    return Failure(f"not a torrent: {_where(steps[:-1])}: {str(steps[-1])!r} is not {kind}")


def _length(length: int | None, where: str) -> int:
    if length is None:
        raise Failure(f"not a torrent: {where} has no 'length'")
    if length < 0:
        raise Failure(f"not a torrent: {where}: negative length {length}")
    return length


def _v1_files(info: _Info, name: str) -> list[TorrentFile]:
    if info.files is None:
        return [TorrentFile(name, _length(info.length, "'info'"))]
    files = []
    for number, entry in enumerate(info.files, 1):
        where = f"file entry {number}"
        if not entry.path:
            raise Failure(f"not a torrent: {where}: 'path' is not a list of byte strings")
        if b"p" in (entry.attr or b""):
            continue  # a padding file, there only to align the next file with a piece
        path = "/".join(_text(p) for p in entry.path)
        files.append(TorrentFile(f"{name}/{path}", _length(entry.length, where)))
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
                files.append(TorrentFile("/".join(parts), _leaf_length(leaf)))
            else:
                entries.append((_Dict(child, "the file tree"), [*parts, _text(key)]))
        stack.extend(reversed(entries))
    return files


def _leaf_length(entry: _Dict) -> int:
    return _length(entry.get_int(b"length", required=True), entry.where)


def _piece_count(info: _Info, files: list[TorrentFile], v1: bool) -> int:
    if v1:
        return len(info.pieces or b"") // 20
    # v2 hashes each file on its own, in pieces that never span two files.
    piece_length = info.piece_length
    return sum(-(-f.length // piece_length) for f in files if piece_length > 0)


def read_torrent(data: Buffer) -> Torrent:
    with memoryview(data) as view:
        try:
            meta = _READER.decode(view)
        except ValidationError as error:
            raise _not_a_torrent(error) from None
        except CODEC_ERRORS as error:
            raise decode_failure(error, len(view)) from None
    info = meta.info
    sha1 = hashlib.sha1(meta.info_raw).hexdigest()
    sha256 = hashlib.sha256(meta.info_raw).hexdigest()

    name = _text(info.name)
    tree = None if info.file_tree is None else _Dict(info.file_tree, "'file tree'")
    v2 = info.meta_version == 2 and tree is not None
    v1 = info.pieces is not None
    if not (v1 or v2):
        raise Failure("not a torrent: the info dictionary has no 'pieces' and no v2 'file tree'")
    if tree is not None and v2:
        only = _Dict(next(iter(tree.value.values()), {}), "the file tree")
        single = len(tree.value) == 1 and b"" in only.value
        files = _v2_files(tree, name, single)
    else:
        files = _v1_files(info, name)

    announce_list = []
    for tier in meta.announce_list or []:
        if isinstance(tier, list):
            urls = [_text(url) for url in tier if isinstance(url, bytes)]
            if urls:
                announce_list.append(urls)
    seeds = meta.url_list
    seed_list = seeds if isinstance(seeds, list) else [seeds] if seeds else []
    return Torrent(
        name=name,
        raw_name=info.name,
        versions=[1] * v1 + [2] * v2,
        files=files,
        piece_length=info.piece_length,
        piece_count=_piece_count(info, files, v1),
        info_hash_v1=sha1 if v1 else None,
        info_hash_v2=sha256 if v2 else None,
        announce=None if meta.announce is None else _text(meta.announce),
        announce_list=announce_list,
        web_seeds=[_text(s) for s in seed_list if isinstance(s, bytes) and s],
        private=info.private == 1,
        creation_date=meta.creation_date,
        created_by=None if meta.created_by is None else _text(meta.created_by),
        comment=None if meta.comment is None else _text(meta.comment),
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
