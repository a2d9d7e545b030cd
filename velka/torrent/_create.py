"""``create``: a torrent of a file or a folder, v1, v2 or hybrid."""

from __future__ import annotations

import errno
import functools
import os
import time
from collections.abc import Collection, Iterable, Sequence
from dataclasses import dataclass

from velka.bencode import BencodeValue, encode

from ._files import Scan, identity, scan
from ._hashing import Item, Job, Progress, run, worker_count
from ._layout import (
    Entry,
    Version,
    aligned_offsets,
    check_piece_length,
    check_version,
    file_tree,
    hybrid_pads,
    piece_length_for,
    v1_files,
)
from ._merkle import layer_root
from ._model import Torrent, load


class _Default:
    def __repr__(self) -> str:
        return "<default>"


_DEFAULT = _Default()


@functools.cache
def default_creator() -> str:
    """``velka X.Y.Z``, the default ``created by``."""
    # Imported here: it costs more than the rest of the package.
    from importlib import metadata

    try:
        return f"velka {metadata.version('velka')}"
    except metadata.PackageNotFoundError:
        return "velka"


def default_date() -> int:
    """SOURCE_DATE_EPOCH when set, as reproducible builds expect; else now."""
    text = os.environ.get("SOURCE_DATE_EPOCH")
    if text is None:
        return int(time.time())
    try:
        date = int(text)
    except ValueError:
        date = -1
    if date < 0 or not text.strip().isdigit():
        raise ValueError(f"SOURCE_DATE_EPOCH is not a number of seconds: {text!r}")
    return date


def _text(value: object, what: str) -> bytes:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {type(value).__name__}")
    try:
        return value.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{what} is not valid Unicode: {value!r}") from None


def _optional_text(value: object, what: str) -> bytes | None:
    return None if value is None else _text(value, what)


def _url(value: object, what: str) -> bytes:
    url = _text(value, what)
    if not url.strip():
        raise ValueError(f"{what} is empty")
    return url


def _strings(values: object, what: str) -> list[object]:
    # A bare str is an iterable of one-letter strings: surely a mistake.
    if isinstance(values, str | bytes):
        raise TypeError(f"{what} must be a sequence of str, not a bare {type(values).__name__}")
    if not isinstance(values, Iterable):
        raise TypeError(f"{what} must be a sequence of str, not {type(values).__name__}")
    return list(values)


def tracker_tiers(trackers: object) -> list[list[bytes]]:
    """Tiers from *trackers*: each item a URL (a tier of one) or a sequence of URLs."""
    tiers: list[list[bytes]] = []
    for item in _strings(trackers, "trackers"):
        if isinstance(item, str):
            tiers.append([_url(item, "a tracker URL")])
            continue
        urls = _strings(item, "a tracker tier")
        if not urls:
            raise ValueError("a tracker tier is empty")
        tiers.append([_url(url, "a tracker URL") for url in urls])
    return tiers


def check_name(name: object) -> str:
    if not isinstance(name, str):
        raise TypeError(f"name must be a str, not {type(name).__name__}")
    if name in ("", ".", "..") or "/" in name or "\0" in name:
        raise ValueError(f"name {name!r} cannot name a file or a folder")
    _text(name, "name")
    return name


def _creation_date(value: object) -> int | None:
    if value is _DEFAULT:
        return default_date()
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"creation_date must be an int or None, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"creation_date must not be negative, not {value}")
    return value


class _Hashes:
    """The create job's sink: every piece's hash, written where it belongs."""

    def __init__(self, pieces: int, items: list[Item], piece_length: int) -> None:
        self.pieces = bytearray(20 * pieces)
        self.layers: dict[int, bytearray] = {
            i: bytearray(32 * -(-item.length // piece_length))
            for i, item in enumerate(items)
            if item.length > piece_length
        }
        self.roots: list[bytes | None] = [None] * len(items)

    def v1(self, piece: int, digest: bytes) -> None:
        self.pieces[20 * piece : 20 * piece + 20] = digest

    def v2(self, item: int, piece: int, digest: bytes) -> None:
        self.layers[item][32 * piece : 32 * piece + 32] = digest

    def root(self, item: int, digest: bytes) -> None:
        self.roots[item] = digest


def _recheck(found: Scan) -> None:
    # A file written while it was hashed gives hashes of neither its old nor
    # its new bytes.
    for entry, before in zip(found.entries, found.identities, strict=True):
        assert entry.location is not None
        try:
            st = os.stat(entry.location)
        except FileNotFoundError:
            raise OSError(
                errno.ENOENT, "vanished while it was hashed", os.fsdecode(entry.location)
            ) from None
        if identity(st) != before:
            raise OSError(errno.ESTALE, "changed while it was hashed", os.fsdecode(entry.location))


def _job(
    entries: list[Entry],
    identities: list[tuple[int, int, int, int]],
    piece_length: int,
    version: Version,
) -> Job:
    if version == "v1":
        items = []
        offset = 0
        for entry in entries:
            items.append(Item(entry.location, entry.length, offset))
            offset += entry.length
        return Job(items, piece_length, True, False, offset, True, identities)
    offsets = aligned_offsets((e.length for e in entries), piece_length)
    items = [Item(e.location, e.length, o) for e, o in zip(entries, offsets, strict=True)]
    pads = hybrid_pads(entries, piece_length)
    v1_size = sum(e.length for e in entries) + sum(pads)
    return Job(items, piece_length, version == "hybrid", True, v1_size, True, identities)


@dataclass(frozen=True, slots=True)
class Options:
    """create()'s options, checked: everything but the files."""

    version: Version
    name: str | None
    piece_length: int | None
    tiers: list[list[bytes]]
    web_seeds: list[bytes]
    private: bool
    source: bytes | None
    comment: bytes | None
    created_by: bytes | None
    creation_date: int | None
    exclude: list[str]
    threads: int | None
    progress: Progress | None


def options(
    *,
    version: str = "hybrid",
    name: str | None = None,
    piece_length: int | None = None,
    trackers: Iterable[str | Sequence[str]] = (),
    web_seeds: Iterable[str] = (),
    private: bool = False,
    source: str | None = None,
    comment: str | None = None,
    created_by: str | _Default | None = _DEFAULT,
    creation_date: int | _Default | None = _DEFAULT,
    exclude: Iterable[str] = (),
    threads: int | None = None,
    progress: Progress | None = None,
) -> Options:
    """create()'s keyword arguments checked; ValueError or TypeError naming the bad one."""
    checked = check_version(version)
    if name is not None:
        check_name(name)
    if piece_length is not None:
        check_piece_length(piece_length, checked)
    patterns = _strings(exclude, "exclude")
    for pattern in patterns:
        if not isinstance(pattern, str) or not pattern:
            raise ValueError(f"an exclude pattern must be a non-empty str, not {pattern!r}")
    if not isinstance(private, bool):
        raise TypeError(f"private must be a bool, not {type(private).__name__}")
    if threads is not None:
        worker_count(threads)
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable, not {type(progress).__name__}")
    return Options(
        version=checked,
        name=name,
        piece_length=piece_length,
        tiers=tracker_tiers(trackers),
        web_seeds=[_url(url, "a web seed URL") for url in _strings(web_seeds, "web_seeds")],
        private=private,
        source=_optional_text(source, "source"),
        comment=_optional_text(comment, "comment"),
        created_by=_optional_text(
            default_creator() if isinstance(created_by, _Default) else created_by, "created_by"
        ),
        creation_date=_creation_date(creation_date),
        exclude=[str(pattern) for pattern in patterns],
        threads=threads,
        progress=progress,
    )


def create(
    path: str | os.PathLike[str],
    *,
    version: str = "hybrid",
    name: str | None = None,
    piece_length: int | None = None,
    trackers: Iterable[str | Sequence[str]] = (),
    web_seeds: Iterable[str] = (),
    private: bool = False,
    source: str | None = None,
    comment: str | None = None,
    created_by: str | _Default | None = _DEFAULT,
    creation_date: int | _Default | None = _DEFAULT,
    exclude: Iterable[str] = (),
    threads: int | None = None,
    progress: Progress | None = None,
) -> Torrent:
    """A torrent of the file or folder at *path*, hashed on every core.

    *version* is ``"v1"``, ``"v2"`` or ``"hybrid"``. The layout is
    libtorrent's: files ordered by path component, byte-wise; a hybrid of more
    than one file pads each non-empty file to a piece boundary. *name*
    defaults to the last component of *path* made absolute, so ``.`` works.
    *piece_length* defaults to :func:`piece_length_for` the files' total size.
    Each item of *trackers* is a URL (a tier of its own) or a sequence of URLs
    (a tier). *created_by* defaults to ``velka`` and its version;
    *creation_date* to SOURCE_DATE_EPOCH, else now; None leaves either out.
    *exclude* holds globs matched against each name, or against the path
    under *path* when they hold a ``/``. *threads* defaults to every core the
    process may use. *progress*, if given, is called on this thread with
    (bytes hashed, bytes in all) about ten times a second and once at the end;
    an exception it raises stops the work and propagates.

    Raises OSError naming the file for a fault in the files (a path that is
    not there, a file that cannot be read or is not a regular file, a link
    loop, a name that is not UTF-8, a file that changes while it is hashed,
    nothing to hash) and ValueError or TypeError for a bad option.
    """
    return build(
        path,
        options(
            version=version,
            name=name,
            piece_length=piece_length,
            trackers=trackers,
            web_seeds=web_seeds,
            private=private,
            source=source,
            comment=comment,
            created_by=created_by,
            creation_date=creation_date,
            exclude=exclude,
            threads=threads,
            progress=progress,
        ),
    )


def build(
    path: str | os.PathLike[str],
    chosen: Options,
    leave_out: Collection[tuple[int, int]] = (),
) -> Torrent:
    """The torrent create() makes, leaving out the files whose (device, inode)
    is in *leave_out*: the command's own output file, when it is in the folder."""
    found = scan(path, chosen.exclude, leave_out)
    name = check_name(found.name if chosen.name is None else chosen.name)
    total = sum(entry.length for entry in found.entries)
    version = chosen.version
    length = chosen.piece_length
    if length is None:
        length = piece_length_for(total, version)
    job = _job(found.entries, found.identities, length, version)
    hashes = _Hashes(-(-job.v1_size // length) if job.v1 else 0, job.items, length)
    run(job, hashes, threads=chosen.threads, progress=chosen.progress)
    _recheck(found)

    info = _info(found, name, length, version, hashes)
    if chosen.private:
        info[b"private"] = 1
    if chosen.source is not None:
        info[b"source"] = chosen.source
    meta: dict[bytes, BencodeValue] = {b"info": info}
    if chosen.tiers:
        meta[b"announce"] = chosen.tiers[0][0]
        if sum(len(tier) for tier in chosen.tiers) > 1:
            meta[b"announce-list"] = [list(tier) for tier in chosen.tiers]
    if chosen.web_seeds:
        meta[b"url-list"] = list(chosen.web_seeds)
    if chosen.comment is not None:
        meta[b"comment"] = chosen.comment
    if chosen.created_by is not None:
        meta[b"created by"] = chosen.created_by
    if chosen.creation_date is not None:
        meta[b"creation date"] = chosen.creation_date
    if version != "v1":
        meta[b"piece layers"] = _piece_layers(hashes, length)
    data = encode(meta)
    # The metainfo's values go before load makes its own.
    del meta, info
    return load(data)


def _piece_layers(hashes: _Hashes, piece_length: int) -> dict[bytes, BencodeValue]:
    # Each layer is let go as soon as it is copied, so that the hashes are
    # not held twice over.
    layers: dict[bytes, BencodeValue] = {}
    for item in sorted(hashes.layers):
        root = _root(hashes, item, piece_length)
        layers[root] = bytes(hashes.layers.pop(item))
    return layers


def _root(hashes: _Hashes, item: int, piece_length: int) -> bytes:
    root = hashes.roots[item]
    if root is None:
        root = hashes.roots[item] = layer_root(hashes.layers[item], piece_length)
    return root


def _info(
    found: Scan, name: str, piece_length: int, version: Version, hashes: _Hashes
) -> dict[bytes, BencodeValue]:
    entries = found.entries
    info: dict[bytes, BencodeValue] = {b"name": name.encode(), b"piece length": piece_length}
    if version != "v1":
        roots = [
            _root(hashes, i, piece_length) if entry.length else None
            for i, entry in enumerate(entries)
        ]
        info[b"file tree"] = file_tree(entries, roots, name, single=found.single)
        info[b"meta version"] = 2
    if version != "v2":
        info[b"pieces"] = bytes(hashes.pieces)
        hashes.pieces = bytearray()
        if found.single:
            info[b"length"] = entries[0].length
            if entries[0].executable:
                info[b"attr"] = b"x"
        else:
            info[b"files"] = v1_files(entries, piece_length, pads=version == "hybrid")
    return info
