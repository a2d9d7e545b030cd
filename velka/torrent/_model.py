"""One reading of a .torrent file: what it holds, checked for consistency,
and the few fields that can be edited without hashing the data again.

The metainfo is decoded once through velka.typed records that keep every key
they do not name, so that encoding gives back the bytes that were read (the
decoder accepts canonical bencode only) and an edit changes only what it
edits.
"""

from __future__ import annotations

import ast
import hashlib
import os
import re
import secrets
import stat
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Annotated
from urllib.parse import quote

from velka import typed
from velka.bencode import BencodeValue, DecodeError
from velka.typed import Extra, Key, Raw, ValidationError

if TYPE_CHECKING:
    # collections.abc.Buffer from 3.12 on; only the type checker needs it.
    from typing_extensions import Buffer

__all__ = ["File", "Torrent", "TorrentError", "load"]

#: The v2 hash tree's leaves each cover a block of this many bytes.
BLOCK_SIZE = 16384


class TorrentError(DecodeError):
    """Raised for a torrent that decodes but is inconsistent or hostile; the
    message says what disagrees."""


@dataclass(frozen=True, slots=True)
class File:
    """One file of a torrent.

    *path* is relative to the torrent's folder, the torrent's name not
    included (``()`` for a single-file torrent). *attr* holds BEP 47 flags:
    ``p`` padding, ``x`` executable, ``h`` hidden, ``l`` link. *pieces_root*
    is the v2 root of the file's hash tree (None for an empty file and in a
    v1 torrent), *offset* where the file starts in the v1 piece stream, pad
    files counted (None in a v2-only torrent).
    """

    path: tuple[str, ...]
    length: int
    attr: str = ""
    pieces_root: bytes | None = None
    offset: int | None = None

    @property
    def is_pad(self) -> bool:
        """Whether the file only pads the next one to a piece boundary."""
        return "p" in self.attr


# --- the records velka.typed reads -------------------------------------------
#
# Names and paths stay bytes: a torrent may hold any encoding, which the model
# turns into text with surrogateescape. Keys read leniently (announce-list,
# url-list) and the v2 file tree, whose depth is the file's, are plain values.

_Extras = Annotated[dict[bytes, BencodeValue], Extra]


@dataclass(kw_only=True)
class _FileEntry:
    # Optional here so that a missing one is told in the torrent's words, and
    # because a pad file may lack its length.
    path: list[bytes] | None = None
    path_utf8: Annotated[list[bytes] | None, Key("path.utf-8")] = None
    length: int | None = None
    attr: bytes | None = None
    extra: _Extras = field(default_factory=dict)


@dataclass(kw_only=True)
class _Info:
    name: bytes
    name_utf8: Annotated[bytes | None, Key("name.utf-8")] = None
    piece_length: Annotated[int, Key("piece length")]
    pieces: bytes | None = None
    length: int | None = None
    attr: bytes | None = None
    files: list[_FileEntry] | None = None
    private: int | None = None
    source: bytes | None = None
    meta_version: Annotated[int | None, Key("meta version")] = None
    file_tree: Annotated[dict[bytes, BencodeValue] | None, Key("file tree")] = None
    extra: _Extras = field(default_factory=dict)


@dataclass(kw_only=True)
class _Metainfo:
    info: _Info
    # The info dictionary's bytes as they stand in the file: what the
    # info-hashes hash. Encoding writes `info` and leaves this out.
    info_raw: Annotated[Raw, Key("info")] = field(default=Raw(b""), repr=False)
    announce: bytes | None = None
    announce_list: Annotated[list[BencodeValue] | None, Key("announce-list")] = None
    url_list: Annotated[BencodeValue | None, Key("url-list")] = None
    creation_date: Annotated[int | None, Key("creation date")] = None
    created_by: Annotated[bytes | None, Key("created by")] = None
    comment: bytes | None = None
    comment_utf8: Annotated[bytes | None, Key("comment.utf-8")] = None
    piece_layers: Annotated[dict[bytes, bytes] | None, Key("piece layers")] = None
    extra: _Extras = field(default_factory=dict)


_DECODER = typed.Decoder(_Metainfo)


def _text(raw: bytes) -> str:
    return raw.decode("utf-8", "surrogateescape")


def _raw(text: str) -> bytes:
    return text.encode("utf-8", "surrogateescape")


# --- what a typed misfit is called ---------------------------------------------

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
    if not steps:
        return "the top-level value"
    if len(steps) == 3 and steps[:2] == ["info", "files"]:
        return f"file entry {int(steps[2]) + 1}"
    return repr(str(steps[-1]))


def _misfit(error: ValidationError) -> str:
    """What a torrent that decodes but does not fit the records lacks, in the
    torrent's own words rather than the records'."""
    message = str(error)
    steps = _steps(error.path)
    missing = re.match(r"missing key (.+) at ", message)
    if missing is not None:
        key = ast.literal_eval(missing[1])
        shown = key.decode("utf-8", "backslashreplace") if isinstance(key, bytes) else key
        return f"{_where(steps)} has no {shown!r}"
    if steps[:2] == ["info", "files"] and len(steps) >= 4 and steps[3] in ("path", "path.utf-8"):
        kind = "list" if len(steps) == 4 else "a list of byte strings"
        return f"{_where(steps[:3])}: {steps[3]!r} is not {kind}"
    expected = re.match(r"expected ([A-Za-z_]\w*)", message)
    if expected is None or not steps or isinstance(steps[-1], int):
        if not steps or (len(steps) == 3 and steps[:2] == ["info", "files"]):
            return f"{_where(steps)} is not a dictionary"
        return message
    # A record is a dictionary; the others are named as Python names them.
    kind = expected[1] if expected[1] in ("bytes", "int", "list", "dict") else "dict"
    return f"{_where(steps[:-1])}: {str(steps[-1])!r} is not {kind}"


# --- checks --------------------------------------------------------------------


def _bad_component(part: str) -> str | None:
    """Why *part* cannot be one component of a path, or None: each must name
    an entry of its folder, so that no path leaves the torrent's folder."""
    if part in ("", ".", ".."):
        return "empty path component" if not part else f"path component {_quoted(part)}"
    if "/" in part:
        return f"path component {_quoted(part)} holds '/'"
    if "\0" in part:
        return f"path component {_quoted(part)} holds NUL"
    return None


def _quoted(text: str) -> str:
    """*text* quoted for a message, with the bytes that are not UTF-8 shown
    as \\xNN rather than as the surrogates that stand for them."""
    return _SURROGATE.sub(r"\\x\1", repr(text))


_SURROGATE = re.compile(r"\\udc([89a-f][0-9a-f])")


def _shown(parts: Iterable[str]) -> str:
    return _quoted("/".join(parts))


def _length(length: int | None, where: str) -> int:
    if length is None:
        raise TorrentError(f"{where} has no 'length'")
    if length < 0:
        raise TorrentError(f"{where}: negative length {length}")
    return length


def _attr(raw: BencodeValue | None) -> str:
    return _text(raw) if isinstance(raw, bytes) else ""


def _name(info: _Info) -> str:
    name = _text(info.name_utf8 if info.name_utf8 is not None else info.name)
    for raw in (info.name, info.name_utf8):
        if raw is not None:
            bad = _bad_component(_text(raw))
            if bad is not None:
                raise TorrentError(f"{bad} in 'name'")
    return name


class _Components:
    """Path components checked and decoded once each: the paths of a torrent
    mostly share their folders."""

    def __init__(self) -> None:
        self.texts: dict[bytes, str] = {}

    def path(self, raw_path: list[bytes], number: int) -> tuple[str, ...]:
        texts = self.texts
        parts = []
        for raw in raw_path:
            text = texts.get(raw)
            if text is None:
                text = raw.decode("utf-8", "surrogateescape")
                bad = _bad_component(text)
                if bad is not None:
                    raise TorrentError(f"{bad} in file entry {number}")
                texts[raw] = text
            parts.append(text)
        return tuple(parts)


def _v1_files(info: _Info) -> list[File]:
    """The v1 view's files, pads included, with their offsets."""
    if info.files is None:
        length = _length(info.length, "'info'")
        return [File((), length, _attr(info.attr), None, 0)]
    if not info.files:
        raise TorrentError("'files' is empty")
    components = _Components()
    files = []
    offset = 0
    for number, entry in enumerate(info.files, 1):
        if not entry.path:
            raise TorrentError(f"file entry {number}: 'path' is not a list of byte strings")
        path = components.path(entry.path, number)
        if entry.path_utf8 is not None:
            # Both are checked: a reader may take either.
            if not entry.path_utf8:
                raise TorrentError(f"file entry {number}: 'path.utf-8' is empty")
            path = components.path(entry.path_utf8, number)
        attr = "" if entry.attr is None else _text(entry.attr)
        size = entry.length
        if size is None and "p" in attr:
            size = 0  # a pad file's bytes are zeros: one without a length pads nothing
        elif size is None or size < 0:
            size = _length(size, f"file entry {number}")
        files.append(File(path, size, attr, None, offset))
        offset += size
    return files


def _check_pieces(pieces: bytes, size: int, piece_length: int) -> None:
    if len(pieces) % 20:
        raise TorrentError(f"'pieces' is {len(pieces):,} bytes, not a multiple of 20")
    needed = -(-size // piece_length)
    if len(pieces) // 20 != needed:
        raise TorrentError(
            f"'pieces' holds {len(pieces) // 20:,} hashes, the files need {needed:,} "
            f"({size:,} bytes in pieces of {piece_length:,})"
        )


def _v2_files(tree: dict[bytes, BencodeValue]) -> list[File]:
    """The files of a v2 file tree in its order: depth first, each folder's
    entries by name, byte-wise. The tree is walked with a stack of our own,
    since its depth is whatever the file holds."""
    files: list[File] = []
    stack: list[tuple[Iterable[tuple[bytes, BencodeValue]], tuple[str, ...]]] = [
        (iter(tree.items()), ())
    ]
    while stack:
        entries, parts = stack[-1]
        for key, child in entries:
            part = _text(key)
            path = (*parts, part)
            bad = _bad_component(part)
            if bad is not None:
                under = f" under {_shown(parts)}" if parts else ""
                raise TorrentError(f"{bad} in the file tree{under}")
            if not isinstance(child, dict):
                raise TorrentError(f"{_shown(path)} in the file tree is not a dictionary")
            if b"" in child:
                if len(child) > 1:
                    raise TorrentError(f"{_shown(path)} in the file tree is a file and a folder")
                files.append(_v2_file(child[b""], path))
            elif not child:
                raise TorrentError(f"folder {_shown(path)} in the file tree is empty")
            else:
                stack.append((iter(child.items()), path))
                break
        else:
            stack.pop()
    if not files:
        raise TorrentError("the file tree holds no files")
    return files


def _v2_file(leaf: BencodeValue, path: tuple[str, ...]) -> File:
    where = f"file {_shown(path)}"
    if not isinstance(leaf, dict):
        raise TorrentError(f"{where} in the file tree is not a dictionary")
    length = leaf.get(b"length")
    if not isinstance(length, int):
        raise TorrentError(
            f"{where} has no 'length'" if length is None else f"{where}: 'length' is not int"
        )
    _length(length, where)
    root = leaf.get(b"pieces root")
    if length == 0:
        root = None  # an empty file has no tree
    elif root is None:
        raise TorrentError(f"{where} has no 'pieces root'")
    elif not isinstance(root, bytes) or len(root) != 32:
        size = f"{len(root)} bytes" if isinstance(root, bytes) else "not bytes"
        raise TorrentError(f"'pieces root' of {where} is {size}, not 32 bytes")
    return File(path, length, _attr(leaf.get(b"attr")), root, None)


def _check_v2_piece_length(piece_length: int) -> None:
    if piece_length < BLOCK_SIZE or piece_length & (piece_length - 1):
        raise TorrentError(
            f"'piece length' {piece_length:,} is not a power of two of at least 16 KiB"
        )


def _layer_root(layer: bytes, piece_length: int) -> bytes:
    """The root of a file's hash tree from its piece layer: the layer padded
    to a power of two with the root of a piece of zero leaves."""
    pad = bytes(32)
    for _ in range((piece_length // BLOCK_SIZE).bit_length() - 1):
        pad = hashlib.sha256(pad + pad).digest()
    row = [layer[i : i + 32] for i in range(0, len(layer), 32)]
    row += [pad] * ((1 << (len(row) - 1).bit_length()) - len(row))
    while len(row) > 1:
        row = [hashlib.sha256(row[i] + row[i + 1]).digest() for i in range(0, len(row), 2)]
    return row[0]


def _check_piece_layers(
    files: list[File], layers: dict[bytes, bytes], piece_length: int, display: _Display
) -> None:
    checked: set[bytes] = set()
    for file in files:
        if file.length <= piece_length or file.pieces_root is None:
            continue  # its root is the hash of its blocks: only its data can tell
        where = f"file {_quoted(display(file))}"
        layer = layers.get(file.pieces_root)
        if layer is None:
            raise TorrentError(f"'piece layers' has no layer for {where}")
        needed = -(-file.length // piece_length)
        if len(layer) != 32 * needed:
            raise TorrentError(
                f"piece layer of {where} is {len(layer):,} bytes, its {needed:,} pieces "
                f"need {32 * needed:,}"
            )
        if file.pieces_root not in checked:
            if _layer_root(layer, piece_length) != file.pieces_root:
                raise TorrentError(f"piece layer of {where} does not hash to its 'pieces root'")
            checked.add(file.pieces_root)


class _Display:
    """A file's path as messages show it: under the folder, or the name."""

    def __init__(self, name: str, single: bool) -> None:
        self.name = name
        self.single = single

    def __call__(self, file: File) -> str:
        return self.name if self.single else "/".join(file.path)


def _match_hybrid(
    v1: list[File], v2: list[File], v1_size: int, piece_length: int, display: _Display
) -> None:
    """A hybrid's two views must describe the same files in the same order,
    each starting a piece, so that its pieces are the same in both."""
    real = [file for file in v1 if not file.is_pad]
    if len(real) != len(v2):
        raise TorrentError(
            f"the v1 file list holds {len(real):,} files, the v2 file tree {len(v2):,}"
        )
    start = 0  # where the v2 view starts each file: every file at a piece boundary
    end = 0
    for number, (old, new) in enumerate(zip(real, v2, strict=True), 1):
        if old.path != new.path:
            raise TorrentError(
                f"file {number} is {_shown(old.path)} in the v1 file list but "
                f"{_shown(new.path)} in the v2 file tree"
            )
        if old.length != new.length:
            raise TorrentError(
                f"file {_quoted(display(new))} is {old.length:,} bytes in the v1 file list but "
                f"{new.length:,} in the v2 file tree"
            )
        assert old.offset is not None
        # An empty file holds no byte of any piece: where it stands is moot.
        if old.length and old.offset != start:
            where = "off a piece boundary" if old.offset % piece_length else "a piece too far"
            raise TorrentError(
                f"file {_quoted(display(new))} starts at byte {old.offset:,} of the v1 pieces, "
                f"{where} (pad files do not align it)"
            )
        if old.length:
            end = old.offset + old.length
        start += -(-new.length // piece_length) * piece_length
    # The last file may be padded to its piece's end, or not at all.
    if v1_size != end and v1_size != -(-end // piece_length) * piece_length:
        raise TorrentError(
            f"the v1 file list pads {v1_size - end:,} bytes after the last file, "
            "not to the end of its piece"
        )


def _merged(v1: list[File], v2: list[File]) -> list[File]:
    """A hybrid's v1 files, pads included, each real one with what the v2
    tree adds: its pieces root, and its attributes where the tree has them."""
    tree = iter(v2)
    merged = []
    for file in v1:
        if not file.is_pad:
            new = next(tree)
            attr = new.attr or file.attr
            file = File(new.path, new.length, attr, new.pieces_root, file.offset)
        merged.append(file)
    return merged


@dataclass(frozen=True, slots=True)
class _Facts:
    """What a torrent's info dictionary says, read once at load."""

    name: str
    piece_length: int
    versions: tuple[int, ...]
    single_file: bool
    files: tuple[File, ...]
    v1_files: tuple[File, ...]
    v1_size: int
    total_size: int
    piece_count: int


def _read(meta: _Metainfo) -> _Facts:
    info = meta.info
    name = _name(info)
    piece_length = info.piece_length
    if piece_length <= 0:
        raise TorrentError(f"'piece length' is {piece_length}, not a positive number")
    if info.meta_version is not None and info.meta_version != 2:
        raise TorrentError(f"unknown 'meta version' {info.meta_version}")
    has_v2 = info.meta_version == 2
    if has_v2 and info.file_tree is None:
        raise TorrentError("'meta version' is 2, but the info dictionary has no 'file tree'")
    if info.file_tree is not None and not has_v2:
        raise TorrentError("the info dictionary has a 'file tree' but no 'meta version' 2")
    if has_v2:
        _check_v2_piece_length(piece_length)
    has_v1 = info.pieces is not None
    if not (has_v1 or has_v2):
        raise TorrentError("the info dictionary has no 'pieces' and no v2 'file tree'")

    v1: list[File] = []
    v1_size = 0
    if info.pieces is not None:
        v1 = _v1_files(info)
        v1_size = sum(file.length for file in v1)
        _check_pieces(info.pieces, v1_size, piece_length)
    files = [file for file in v1 if not file.is_pad]
    single = info.files is None
    if info.file_tree is not None:
        v2 = _v2_files(info.file_tree)
        v2_single = len(v2) == 1 and v2[0].path == (_text(info.name),)
        if v2_single:
            v2 = [File((), v2[0].length, v2[0].attr, v2[0].pieces_root, None)]
        display = _Display(name, v2_single)
        if has_v1:
            if single != v2_single:
                raise TorrentError(
                    "the v1 info is a single file and the v2 file tree a folder"
                    if single
                    else "the v1 info is a folder and the v2 file tree a single file"
                )
            _match_hybrid(v1, v2, v1_size, piece_length, display)
            v1 = _merged(v1, v2)
            files = [file for file in v1 if not file.is_pad]
        else:
            files = v2
        single = v2_single
        _check_piece_layers(files, meta.piece_layers or {}, piece_length, display)

    total = sum(file.length for file in files)
    if info.pieces is not None:
        count = len(info.pieces) // 20
    else:
        count = sum(-(-file.length // piece_length) for file in files)
    return _Facts(
        name=name,
        piece_length=piece_length,
        versions=(1,) * has_v1 + (2,) * has_v2,
        single_file=single,
        files=tuple(files),
        v1_files=tuple(v1),
        v1_size=v1_size,
        total_size=total,
        piece_count=count,
    )


# --- the torrent -----------------------------------------------------------------


def _url_tiers(tiers: Iterable[str | Iterable[str]]) -> list[list[str]]:
    """Tracker tiers from URLs (a tier of one each) and sequences of URLs."""
    if isinstance(tiers, (str, bytes)):
        raise TypeError(f"trackers takes tiers of URLs, not a {type(tiers).__name__}")
    result = []
    for tier in tiers:
        urls = _urls([tier] if isinstance(tier, str) else tier, "a tier")
        if urls:
            result.append(urls)
    return result


def _urls(urls: Iterable[str], what: str) -> list[str]:
    if isinstance(urls, (str, bytes)) or not isinstance(urls, Iterable):
        raise TypeError(f"{what} is a sequence of URLs, not a {type(urls).__name__}")
    result = []
    for url in urls:
        if not isinstance(url, str):
            raise TypeError(f"a URL is a str, not a {type(url).__name__}")
        if not url:
            raise ValueError("empty URL")
        result.append(url)
    return result


def _optional_text(value: str | None, what: str) -> bytes | None:
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{what} is a str or None, not a {type(value).__name__}")
    return None if value is None else _raw(value)


class Torrent:
    """A .torrent file's metainfo (v1, v2 or hybrid), checked when read.

    The facts of the info dictionary are read-only. Trackers, web seeds,
    comment, creator and creation date live outside it and can be set
    without changing the info-hashes; *source* and *private* live inside
    it, and setting them changes both. Every key the model does not name is
    kept, so :meth:`encode` gives back the bytes that were read until
    something is edited, and afterwards differs only there.
    """

    __slots__ = ("_facts", "_hashes", "_info_bytes", "_meta")

    def __init__(self, data: Buffer) -> None:
        """Reads a torrent from *data*, bencoded; see :func:`load`."""
        try:
            meta = _DECODER.decode(data)
        except ValidationError as error:
            raise TorrentError(_misfit(error)) from error
        self._facts = _read(meta)
        self._meta = meta
        self._info_bytes = bytes(meta.info_raw)
        self._hashes: tuple[str | None, str | None] | None = None

    @classmethod
    def from_bytes(cls, data: Buffer) -> Torrent:
        """Reads a torrent from bencoded *data*: the same as ``Torrent(data)``."""
        return cls(data)

    def __reduce__(self) -> tuple[type[Torrent], tuple[bytes]]:
        # Copies and pickles are made from the encoding: a copy shares no
        # record with its original, so that editing one leaves the other.
        return (Torrent, (self.encode(),))

    def __repr__(self) -> str:
        hashes = [self.info_hash_v1, self.info_hash_v2]
        shown = ", ".join(f"info_hash_v{n}={h!r}" for n, h in enumerate(hashes, 1) if h)
        return f"<Torrent {self.name!r}, {len(self.files)} files, {shown}>"

    # The info dictionary's facts.

    @property
    def name(self) -> str:
        """The file's name for a single-file torrent, else its folder's."""
        return self._facts.name

    @property
    def piece_length(self) -> int:
        return self._facts.piece_length

    @property
    def versions(self) -> tuple[int, ...]:
        """(1,), (2,) or (1, 2) for a hybrid."""
        return self._facts.versions

    @property
    def single_file(self) -> bool:
        return self._facts.single_file

    @property
    def files(self) -> tuple[File, ...]:
        """The files in torrent order, pad files left out."""
        return self._facts.files

    @property
    def v1_files(self) -> tuple[File, ...]:
        """The files of the v1 piece stream, pad files included; () in v2 only."""
        return self._facts.v1_files

    @property
    def v1_size(self) -> int:
        """The v1 piece stream's length, pad files included; 0 in v2 only."""
        return self._facts.v1_size

    @property
    def total_size(self) -> int:
        """The bytes of the files, pad files left out."""
        return self._facts.total_size

    @property
    def piece_count(self) -> int:
        return self._facts.piece_count

    @property
    def pieces(self) -> bytes | None:
        """The v1 pieces' SHA-1 hashes, concatenated; None in v2 only."""
        return self._meta.info.pieces

    @property
    def piece_layers(self) -> dict[bytes, bytes]:
        """v2: by pieces root, the SHA-256 hashes of the pieces of each file
        longer than a piece, concatenated (a copy)."""
        return dict(self._meta.piece_layers or {})

    def file_path(self, file: File) -> str:
        """*file*'s path under the torrent's folder joined by "/", or the
        torrent's name for the file of a single-file torrent."""
        return self.name if not file.path else "/".join(file.path)

    @property
    def info_hash_v1(self) -> str | None:
        """The SHA-1 of the info dictionary, hex; None in v2 only."""
        return self._info_hashes()[0]

    @property
    def info_hash_v2(self) -> str | None:
        """The SHA-256 of the info dictionary, hex; None in v1 only."""
        return self._info_hashes()[1]

    def _info_hashes(self) -> tuple[str | None, str | None]:
        if self._hashes is None:
            data = self._info_bytes
            versions = self._facts.versions
            self._hashes = (
                hashlib.sha1(data).hexdigest() if 1 in versions else None,
                hashlib.sha256(data).hexdigest() if 2 in versions else None,
            )
        return self._hashes

    @property
    def magnet(self) -> str:
        """The magnet link: info-hashes, name, trackers and web seeds."""
        v1, v2 = self._info_hashes()
        parts = []
        if v1 is not None:
            parts.append(f"xt=urn:btih:{v1}")
        if v2 is not None:
            # A multihash: 0x12 is SHA-256, 0x20 its length.
            parts.append(f"xt=urn:btmh:1220{v2}")
        parts.append(f"dn={quote(_raw(self.name), safe='')}")
        urls = [url for tier in self.trackers for url in tier]
        if self.announce is not None:
            urls.append(self.announce)
        parts += [f"tr={quote(_raw(url), safe='')}" for url in dict.fromkeys(urls)]
        parts += [f"ws={quote(_raw(url), safe='')}" for url in self.web_seeds]
        return "magnet:?" + "&".join(parts)

    # Outside the info dictionary: editing leaves the info-hashes.

    @property
    def announce(self) -> str | None:
        """The 'announce' key as it stands (see :attr:`trackers`)."""
        raw = self._meta.announce
        return None if raw is None else _text(raw)

    @property
    def trackers(self) -> list[list[str]]:
        """The trackers in tiers (BEP 12): 'announce-list', or else 'announce'.

        Setting them takes tiers, each a URL or a sequence of URLs, and
        writes 'announce' as the first URL and 'announce-list' only when
        there are two or more.
        """
        tiers = announce_list(self)
        if tiers:
            return tiers
        announce = self._meta.announce
        return [[_text(announce)]] if announce else []

    @trackers.setter
    def trackers(self, tiers: Iterable[str | Iterable[str]]) -> None:
        new = _url_tiers(tiers)
        urls = [url for tier in new for url in tier]
        encoded: list[BencodeValue] = [[_raw(url) for url in tier] for tier in new]
        self._meta.announce = _raw(urls[0]) if urls else None
        self._meta.announce_list = encoded if len(urls) > 1 else None

    @property
    def web_seeds(self) -> list[str]:
        """The web seeds (BEP 19's 'url-list')."""
        seeds = self._meta.url_list
        listed = seeds if isinstance(seeds, list) else [seeds]
        return [_text(url) for url in listed if isinstance(url, bytes) and url]

    @web_seeds.setter
    def web_seeds(self, urls: Iterable[str]) -> None:
        new = [_raw(url) for url in _urls(urls, "web_seeds")]
        # One seed is written as a string, as libtorrent writes it.
        self._meta.url_list = None if not new else new[0] if len(new) == 1 else list(new)

    @property
    def comment(self) -> str | None:
        meta = self._meta
        raw = meta.comment_utf8 if meta.comment_utf8 is not None else meta.comment
        return None if raw is None else _text(raw)

    @comment.setter
    def comment(self, comment: str | None) -> None:
        self._meta.comment = _optional_text(comment, "comment")
        # Readers prefer the UTF-8 copy: an old one would hide the new comment.
        self._meta.comment_utf8 = None

    @property
    def created_by(self) -> str | None:
        raw = self._meta.created_by
        return None if raw is None else _text(raw)

    @created_by.setter
    def created_by(self, created_by: str | None) -> None:
        self._meta.created_by = _optional_text(created_by, "created_by")

    @property
    def creation_date(self) -> int | None:
        """Seconds since the epoch, or None."""
        return self._meta.creation_date

    @creation_date.setter
    def creation_date(self, date: int | None) -> None:
        if date is not None and (not isinstance(date, int) or isinstance(date, bool)):
            raise TypeError(f"creation_date is an int or None, not a {type(date).__name__}")
        self._meta.creation_date = date

    # Inside the info dictionary: editing changes the info-hashes.

    @property
    def source(self) -> str | None:
        raw = self._meta.info.source
        return None if raw is None else _text(raw)

    @source.setter
    def source(self, source: str | None) -> None:
        raw = _optional_text(source, "source")
        if raw != self._meta.info.source:
            self._meta.info.source = raw
            self._info_changed()

    @property
    def private(self) -> bool:
        """Whether peers come from the trackers alone (BEP 27)."""
        return self._meta.info.private == 1

    @private.setter
    def private(self, private: bool) -> None:
        if not isinstance(private, bool):
            raise TypeError(f"private is a bool, not a {type(private).__name__}")
        if private != self.private:
            # Not private is the key left out, not "private 0".
            self._meta.info.private = 1 if private else None
            self._info_changed()

    def _info_changed(self) -> None:
        self._info_bytes = typed.encode(self._meta.info)
        self._meta.info_raw = Raw(self._info_bytes)
        self._hashes = None

    # Writing.

    def encode(self) -> bytes:
        """The torrent's bencoding: the bytes read, but for what was edited."""
        return typed.encode(self._meta)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the torrent to *path* through a temporary file in the same
        folder, renamed over it when complete: *path* holds either the old
        bytes or the new, never a part. A symbolic link at *path* is kept
        and its target replaced."""
        data = self.encode()
        target = os.path.realpath(path)
        folder, base = os.path.split(target)
        # Cut (in bytes) so that a name near the longest allowed leaves room.
        stem = os.fsdecode(os.fsencode(base)[:200])
        temporary = os.path.join(folder, f".{stem}.{secrets.token_hex(4)}.tmp")
        # Made as open() makes a new file (the umask applies); an existing
        # file's mode is kept.
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        try:
            with os.fdopen(fd, "wb") as out:
                try:
                    mode = stat.S_IMODE(os.stat(target).st_mode)
                except FileNotFoundError:
                    pass
                else:
                    os.chmod(out.fileno(), mode)
                out.write(data)
                out.flush()
                os.fsync(out.fileno())
            os.replace(temporary, target)
        except BaseException:
            try:
                os.unlink(temporary)
            except OSError:
                pass
            raise


def announce_list(torrent: Torrent) -> list[list[str]]:
    """The tiers of *torrent*'s 'announce-list', read leniently: what is not
    a list of URLs is skipped, as clients skip it."""
    tiers = []
    for tier in torrent._meta.announce_list or ():
        if isinstance(tier, list):
            urls = [_text(url) for url in tier if isinstance(url, bytes) and url]
            if urls:
                tiers.append(urls)
    return tiers


def load(torrent: str | os.PathLike[str] | Buffer) -> Torrent:
    """Reads a torrent from a file's path (``str`` or path-like) or from
    bencoded data in any buffer.

    Raises :class:`velka.bencode.DecodeError` for data that is not bencode,
    :class:`TorrentError` (one of those) for a torrent that is inconsistent
    or hostile, and OSError when the file cannot be read.
    """
    if isinstance(torrent, (str, os.PathLike)):
        with open(torrent, "rb") as f:
            return Torrent(f.read())
    return Torrent(torrent)
