"""``verify``: checking files against a torrent, naming the files that fail."""

from __future__ import annotations

import errno
import os
import stat
from dataclasses import dataclass
from typing import TYPE_CHECKING, Literal

from ._hashing import Item, Job, Progress, run
from ._layout import aligned_offsets
from ._model import Torrent, load

if TYPE_CHECKING:
    # collections.abc.Buffer from 3.12 on; only the type checker needs it.
    from typing_extensions import Buffer

Reason = Literal["missing", "size", "hash"]


@dataclass(frozen=True, slots=True)
class FileFault:
    """A file that does not match: *reason* is ``"missing"`` (not there, not a
    regular file, or reached through a link that leads out of the folder),
    ``"size"`` or ``"hash"``; *pieces* are the indexes of its pieces that fail.

    Pieces are numbered as in the torrent's v1 piece list; in a v2-only
    torrent each file starts a new piece, as in a hybrid.
    """

    path: str
    reason: Reason
    pieces: tuple[int, ...]


@dataclass(frozen=True, slots=True)
class Verification:
    """What :func:`verify` found: one fault per failing file, in torrent order."""

    faults: list[FileFault]

    @property
    def ok(self) -> bool:
        return not self.faults

    @property
    def failed(self) -> list[str]:
        """The failing files' paths, relative to the folder and joined by ``/``
        (a single-file torrent's name for its file)."""
        return [fault.path for fault in self.faults]


@dataclass(slots=True)
class _Found:
    """Where a file of the torrent is on disk, and its size; None when it is not."""

    location: bytes | None
    size: int


_MISSING = _Found(None, 0)


def _inside(location: bytes, root: bytes) -> bool:
    return location == root or location.startswith(root.rstrip(b"/") + b"/")


def _find(location: bytes, root: bytes) -> _Found:
    # Paths come from a torrent that load accepted (no "..", no "/" in a
    # component), but the folder may hold links: resolve them and keep out
    # of anything they lead to outside it.
    real = os.path.realpath(location)
    if not _inside(real, root):
        return _MISSING
    try:
        st = os.stat(real, follow_symlinks=False)
    except OSError:
        return _MISSING
    if not stat.S_ISREG(st.st_mode):
        return _MISSING
    return _Found(real, st.st_size)


def _locate(torrent: Torrent, path: str | os.PathLike[str]) -> list[_Found]:
    """Each file of *torrent* under *path* (the file itself for a single file)."""
    shown = os.fsdecode(path)
    st = os.stat(shown)
    given = os.fsencode(path)
    if torrent.single_file:
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, "is a folder, not the torrent's file", shown)
        return [_find(given, os.path.realpath(given))]
    if not stat.S_ISDIR(st.st_mode):
        raise NotADirectoryError(errno.ENOTDIR, "not a folder: give the torrent's folder", shown)
    root = os.path.realpath(given)
    found = []
    for file in torrent.files:
        parts = [part.encode("utf-8", "surrogateescape") for part in file.path]
        found.append(_find(os.path.join(root, *parts), root))
    return found


class _Checks:
    """The verify job's sink: each computed hash compared with the torrent's."""

    def __init__(
        self,
        pieces: bytes | None,
        count: int,
        firsts: list[int],
        layers: list[bytes | None],
        roots: list[bytes | None],
    ) -> None:
        self.pieces = pieces
        self.bad = bytearray(count)
        self.firsts = firsts
        self.layers = layers
        self.roots = roots

    def v1(self, piece: int, digest: bytes) -> None:
        assert self.pieces is not None
        if self.pieces[20 * piece : 20 * piece + 20] != digest:
            self.bad[piece] = 1

    def v2(self, item: int, piece: int, digest: bytes) -> None:
        layer = self.layers[item]
        if layer is None or layer[32 * piece : 32 * piece + 32] != digest:
            self.bad[self.firsts[item] + piece] = 1

    def root(self, item: int, digest: bytes) -> None:
        if digest != self.roots[item]:
            self.bad[self.firsts[item]] = 1


def verify(
    torrent: Torrent | str | os.PathLike[str] | Buffer,
    path: str | os.PathLike[str],
    *,
    threads: int | None = None,
    progress: Progress | None = None,
) -> Verification:
    """Checks the files at *path* against *torrent* (a Torrent, or what
    :func:`load` takes).

    *path* is the folder that holds the files of a multi-file torrent,
    whatever its name, or the file of a single-file torrent. Only regular
    files inside *path* are opened, only to read; pad files are taken as
    zeros. v2 and hybrid torrents are checked file by file through their piece
    layers, both hash sets from one read, so damage names the damaged file
    alone; a v1 piece that fails names every file its bytes cover.

    *progress* is as for :func:`create`. Raises OSError when *path* is not
    there, or not a folder for a multi-file torrent.
    """
    if not isinstance(torrent, Torrent):
        torrent = load(torrent)
    found = _locate(torrent, path)
    if 2 in torrent.versions:
        return _verify_files(torrent, found, threads, progress)
    return _verify_stream(torrent, found, threads, progress)


def _verify_files(
    torrent: Torrent, found: list[_Found], threads: int | None, progress: Progress | None
) -> Verification:
    """v2 and hybrid: each file on its own, every file starting a piece."""
    files = torrent.files
    length = torrent.piece_length
    offsets = aligned_offsets((file.length for file in files), length)
    firsts = [offset // length for offset in offsets]
    items = [
        Item(f.location, file.length, o) for f, file, o in zip(found, files, offsets, strict=True)
    ]
    skip = frozenset(i for i, f in enumerate(found) if f.location is None)
    job = Job(items, length, 1 in torrent.versions, True, torrent.v1_size, False, skip=skip)
    spans = [(first, -(-file.length // length)) for first, file in zip(firsts, files, strict=True)]
    count = max([torrent.piece_count, *(first + n for first, n in spans)])
    by_root = torrent.piece_layers
    layers = [by_root.get(f.pieces_root) if f.pieces_root else None for f in files]
    roots = [file.pieces_root for file in files]
    checks = _Checks(torrent.pieces, count, firsts, layers, roots)
    run(job, checks, threads=threads, progress=progress)
    return _faults(torrent, found, job.short, checks.bad, spans, offsets)


def _verify_stream(
    torrent: Torrent, found: list[_Found], threads: int | None, progress: Progress | None
) -> Verification:
    """v1: the files, and any pad files as zeros, as one stream of pieces."""
    length = torrent.piece_length
    items: list[Item] = []
    indexes: list[int] = []
    where = iter(found)
    offset = 0
    for file in torrent.v1_files:
        if file.is_pad:
            items.append(Item(None, file.length, offset))
        else:
            indexes.append(len(items))
            items.append(Item(next(where).location, file.length, offset))
        offset += file.length
    skip = frozenset(index for index in indexes if items[index].location is None)
    job = Job(items, length, True, False, torrent.v1_size, False, skip=skip)
    checks = _Checks(torrent.pieces, torrent.piece_count, [], [], [])
    run(job, checks, threads=threads, progress=progress)
    spans = []
    offsets = []
    for index in indexes:
        item = items[index]
        first = item.offset // length
        # An empty file has no bytes in any piece, even one it sits inside.
        end = -(-(item.offset + item.length) // length) if item.length else first
        spans.append((first, end - first))
        offsets.append(item.offset)
    file_of = {index: i for i, index in enumerate(indexes)}
    short = {file_of[index] for index in job.short if index in file_of}
    return _faults(torrent, found, short, checks.bad, spans, offsets)


def _faults(
    torrent: Torrent,
    found: list[_Found],
    short: set[int],
    bad: bytearray,
    spans: list[tuple[int, int]],
    offsets: list[int],
) -> Verification:
    """One fault per failing file. *spans* are each file's (first piece,
    pieces), *offsets* where each starts in the stream those pieces number."""
    length = torrent.piece_length
    files = torrent.files
    reasons: list[Reason | None] = []
    # First every piece that lacks bytes fails, whatever its hash (zeros
    # may match), so that in v1 the files sharing it with a short one fail too.
    for i, (file, where, (first, count)) in enumerate(zip(files, found, spans, strict=True)):
        if where.location is None:
            reasons.append("missing")
        elif where.size != file.length or i in short:
            reasons.append("size")
        else:
            reasons.append(None)
            continue
        # A file that came up short of even its size when found shrank while
        # it was read: none of its bytes are sure.
        shrank = i in short and where.size >= file.length
        have = 0 if where.location is None or shrank else min(where.size, file.length)
        if have < file.length:
            lost = (offsets[i] + have) // length
            bad[lost : first + count] = b"\1" * (first + count - lost)
    faults = []
    for file, reason, (first, count) in zip(files, reasons, spans, strict=True):
        pieces = tuple(p for p in range(first, first + count) if bad[p])
        if reason is None and pieces:
            reason = "hash"
        if reason is not None:
            faults.append(FileFault(torrent.file_path(file), reason, pieces))
    return Verification(faults)
