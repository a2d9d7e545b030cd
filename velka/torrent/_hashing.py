"""The hashing engine: every core, one read of the data for both hash sets.

Worker threads take tasks (a run of whole pieces) from a shared iterator and
read them with ``preadv`` into a buffer each keeps for its life; hashlib
releases the GIL for anything over 2 KiB, so the threads hash at once. The
results go to a sink as they come, so that memory is the buffers plus what the
sink keeps: 20 bytes per v1 piece and 32 per v2 piece when creating.

The calling thread only waits: it reports progress about ten times a second,
and an exception there (a progress callback's, or KeyboardInterrupt) stops the
workers at their next chunk, a millisecond or so away.
"""

from __future__ import annotations

import bisect
import errno
import hashlib
import os
import stat
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from typing import Protocol

from ._files import named
from ._merkle import BLOCK, merkle_root

Progress = Callable[[int, int], object]

CHUNK = 1 << 20
"""Bytes read at once by a worker: its buffer. A multiple of every piece
length under it, and of the v2 block."""

TASK = 8 << 20
"""Bytes of whole pieces a worker takes at once, or one piece when longer."""

_TICK = 0.1
# A view, so that a slice of it is no copy.
_ZEROS = memoryview(bytes(CHUNK))
_OPEN_FLAGS = os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
_SHA1 = hashlib.sha1
_SHA256 = hashlib.sha256


def worker_count(threads: int | None) -> int:
    if threads is None:
        try:
            return max(1, len(os.sched_getaffinity(0)))
        except (AttributeError, OSError):
            return os.cpu_count() or 1
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    return threads


class Sink(Protocol):
    """Where hashes go as workers make them; called from the worker threads."""

    def v1(self, piece: int, digest: bytes) -> None: ...

    def v2(self, item: int, piece: int, digest: bytes) -> None:
        """The hash of piece *piece* of a file longer than one piece."""

    def root(self, item: int, digest: bytes) -> None:
        """The pieces root of a file of at most one piece."""


@dataclass(frozen=True, slots=True)
class Item:
    """A file to read: *location* None for a pad file (zeros), or one to skip."""

    location: bytes | None
    length: int
    offset: int
    """Where it starts in the piece stream."""


@dataclass(slots=True)
class Job:
    """What to hash and how.

    *aligned* (v2 and hybrid): every file starts a piece and is hashed on its
    own; v1 piece g then covers min(piece_length, v1_size - g * piece_length)
    bytes, the file's and zeros. Otherwise (v1) the files are one stream.
    *strict* (creating): a file that is not as scanned raises OSError;
    otherwise (verifying) what cannot be read counts as zeros and its item
    goes into *short*.
    """

    items: list[Item]
    piece_length: int
    v1: bool
    v2: bool
    v1_size: int
    strict: bool
    identities: list[tuple[int, int, int, int]] | None = None
    skip: frozenset[int] = frozenset()
    short: set[int] = field(default_factory=set)

    @property
    def aligned(self) -> bool:
        return self.v2

    def file_bytes(self) -> int:
        return sum(
            item.length
            for i, item in enumerate(self.items)
            if item.location is not None and i not in self.skip
        )

    def _runs(self) -> Iterator[tuple[int, int]]:
        """(item, pieces) of each run of pieces to hash: every file to read on
        its own in aligned jobs, the one stream (item -1) otherwise."""
        length = self.piece_length
        if self.aligned:
            for i, item in enumerate(self.items):
                if item.location is not None and i not in self.skip and item.length:
                    yield i, -(-item.length // length)
        elif self.items:
            last = self.items[-1]
            yield -1, -(-(last.offset + last.length) // length)

    def tasks(self) -> Iterator[tuple[int, int, int]]:
        """(item, first piece, pieces): a run cut into tasks of about TASK bytes."""
        step = max(1, TASK // self.piece_length)
        for item, pieces in self._runs():
            for first in range(0, pieces, step):
                yield item, first, min(step, pieces - first)

    def task_count(self) -> int:
        step = max(1, TASK // self.piece_length)
        return sum(-(-pieces // step) for _, pieces in self._runs())


def _vanished(location: bytes) -> OSError:
    return OSError(errno.ENOENT, "vanished while it was hashed", os.fsdecode(location))


def _changed(location: bytes) -> OSError:
    return OSError(errno.ESTALE, "changed while it was hashed", os.fsdecode(location))


class _Worker:
    """One thread's reading and hashing; its buffer lives as long as it does."""

    def __init__(self, engine: _Engine) -> None:
        self.engine = engine
        self.job = engine.job
        # A small torrent needs no full-size buffer; a multiple of the block
        # keeps every chunk's v2 leaves whole.
        self.buffer = bytearray(min(CHUNK, -(-max(1, engine.largest_read) // BLOCK) * BLOCK))
        self.view = memoryview(self.buffer)
        self.done = 0
        self.open_item = -1
        self.fd = -1

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
        self.fd = -1
        self.open_item = -1

    def _open(self, index: int) -> int:
        """The descriptor of item *index*, or -1 when it is not there (verifying)."""
        if index == self.open_item:
            return self.fd
        self.close()
        job = self.job
        location = job.items[index].location
        assert location is not None
        try:
            fd = os.open(location, _OPEN_FLAGS if job.strict else _OPEN_FLAGS | os.O_NOFOLLOW)
        except OSError as error:
            if not job.strict:
                job.short.add(index)
                return -1
            if error.errno == errno.ENOENT:
                raise _vanished(location) from None
            raise named(error) from None
        try:
            st = os.fstat(fd)
            if job.identities is not None:
                dev, ino, size, _ = job.identities[index]
                if (st.st_dev, st.st_ino, st.st_size) != (dev, ino, size):
                    raise _changed(location)
            if not stat.S_ISREG(st.st_mode):
                if job.strict:
                    raise _changed(location)
                job.short.add(index)
                os.close(fd)
                return -1
            if hasattr(os, "posix_fadvise"):
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_SEQUENTIAL)
        except BaseException:
            os.close(fd)
            raise
        self.fd = fd
        self.open_item = index
        return fd

    def _fill(self, index: int, position: int, view: memoryview) -> None:
        """Fills *view* with item *index*'s bytes from *position*."""
        fd = self._open(index)
        got = 0
        want = len(view)
        while fd >= 0 and got < want:
            try:
                n = os.preadv(fd, [view[got:]], position + got)
            except OSError as error:
                if self.job.strict:
                    location = self.job.items[index].location
                    assert location is not None
                    raise OSError(error.errno, error.strerror, os.fsdecode(location)) from None
                n = 0
            if n == 0:
                break
            got += n
        if got < want:
            if self.job.strict:
                location = self.job.items[index].location
                assert location is not None
                raise OSError(
                    errno.ESTALE, "changed size while it was hashed", os.fsdecode(location)
                )
            self.job.short.add(index)
            view[got:] = _ZEROS[: want - got]

    def run(self, item: int, first: int, count: int) -> None:
        if item < 0:
            self._stream(first, count)
        else:
            self._aligned(item, first, count)

    def _aligned(self, index: int, first: int, count: int) -> None:
        """Whole pieces of one file: its v2 hashes and, in a hybrid, its SHA-1s."""
        job = self.job
        engine = self.engine
        sink = engine.sink
        item = job.items[index]
        length = job.piece_length
        v1, v2 = job.v1, job.v2
        single = item.length <= length
        first_global = item.offset // length
        position = first * length
        end = min(position + count * length, item.length)
        piece = first
        piece_end = min(position + length, end)
        sha1 = _SHA1() if v1 else None
        leaves: list[bytes] = []
        while position < end:
            if engine.stopping:
                return
            n = min(len(self.buffer), end - position)
            chunk = self.view[:n]
            self._fill(index, position, chunk)
            offset = 0
            while offset < n:
                take = min(piece_end - position - offset, n - offset)
                part = chunk[offset : offset + take]
                if sha1 is not None:
                    sha1.update(part)
                if v2:
                    leaves += [_SHA256(part[b : b + BLOCK]).digest() for b in range(0, take, BLOCK)]
                offset += take
                if position + offset == piece_end:
                    if sha1 is not None:
                        start = piece * length
                        self._pad_v1(sha1, first_global + piece, piece_end - start)
                        sink.v1(first_global + piece, sha1.digest())
                        sha1 = _SHA1()
                    if v2:
                        if single:
                            width = 1 << (len(leaves) - 1).bit_length()
                            sink.root(index, merkle_root(leaves, width))
                        else:
                            sink.v2(index, piece, merkle_root(leaves, length // BLOCK))
                        leaves = []
                    piece += 1
                    piece_end = min(piece_end + length, end)
            position += n
            self.done += n

    def _pad_v1(self, sha1: hashlib._Hash, piece: int, data: int) -> None:
        # The pad file after a file is zeros up to the piece's end in v1.
        job = self.job
        zeros = min(job.piece_length, job.v1_size - piece * job.piece_length) - data
        while zeros > 0:
            step = min(zeros, CHUNK)
            sha1.update(_ZEROS[:step])
            zeros -= step

    def _stream(self, first: int, count: int) -> None:
        """Whole v1 pieces of the stream of files, which may span files."""
        job = self.job
        engine = self.engine
        sink = engine.sink
        length = job.piece_length
        position = first * length
        end = min(position + count * length, engine.stream_size)
        piece = first
        piece_end = min(position + length, end)
        sha1 = _SHA1()
        while position < end:
            if engine.stopping:
                return
            n = min(len(self.buffer), end - position)
            chunk = self.view[:n]
            self.done += self._fill_stream(position, chunk)
            offset = 0
            while offset < n:
                take = min(piece_end - position - offset, n - offset)
                sha1.update(chunk[offset : offset + take])
                offset += take
                if position + offset == piece_end:
                    sink.v1(piece, sha1.digest())
                    sha1 = _SHA1()
                    piece += 1
                    piece_end = min(piece_end + length, end)
            position += n

    def _fill_stream(self, position: int, chunk: memoryview) -> int:
        """Fills *chunk* from the stream at *position*; returns the file bytes in it."""
        items = self.job.items
        index = self.engine.item_at(position)
        filled = 0
        file_bytes = 0
        n = len(chunk)
        while filled < n:
            item = items[index]
            start = position + filled - item.offset
            take = min(item.length - start, n - filled)
            if take > 0:
                part = chunk[filled : filled + take]
                if item.location is None or index in self.job.skip:
                    part[:] = _ZEROS[:take]
                else:
                    self._fill(index, start, part)
                    file_bytes += take
                filled += take
            index += 1
        return file_bytes


class _Engine:
    def __init__(self, job: Job, sink: Sink) -> None:
        self.job = job
        self.sink = sink
        self.stopping = False
        self.error: BaseException | None = None
        self.finished = threading.Event()
        self.lock = threading.Lock()
        self.tasks = job.tasks()
        self.running = 0
        last = job.items[-1] if job.items else None
        self.stream_size = last.offset + last.length if last is not None else 0
        self.starts = [item.offset for item in job.items]
        self.largest_read = (
            max((item.length for item in job.items), default=0) if job.aligned else self.stream_size
        )

    def item_at(self, position: int) -> int:
        """The first item holding the stream byte at *position* (empty items skipped)."""
        index = bisect.bisect_right(self.starts, position) - 1
        items = self.job.items
        while items[index].offset + items[index].length <= position:
            index += 1
        return index

    def _next(self) -> tuple[int, int, int] | None:
        with self.lock:
            if self.stopping:
                return None
            return next(self.tasks, None)

    def work(self, worker: _Worker) -> None:
        try:
            while (task := self._next()) is not None:
                worker.run(*task)
        except BaseException as error:
            with self.lock:
                if self.error is None:
                    self.error = error
                self.stopping = True
            self.finished.set()
        finally:
            worker.close()
            with self.lock:
                self.running -= 1
                if self.running == 0:
                    self.finished.set()


def run(job: Job, sink: Sink, *, threads: int | None, progress: Progress | None) -> None:
    """Hashes what *job* describes into *sink*, on up to *threads* threads.

    *progress*, if given, is called on this thread with (file bytes done, file
    bytes in all) about ten times a second and once at the end; whatever it
    raises, like KeyboardInterrupt here, stops the workers and propagates.
    """
    count = min(worker_count(threads), max(1, job.task_count()))
    total = job.file_bytes()
    engine = _Engine(job, sink)
    workers = [_Worker(engine) for _ in range(count)]
    engine.running = len(workers)
    started: list[threading.Thread] = []
    try:
        for worker in workers:
            thread = threading.Thread(
                target=engine.work, args=(worker,), name="velka-hash", daemon=True
            )
            thread.start()
            started.append(thread)
        while not engine.finished.wait(_TICK):
            if progress is not None:
                progress(min(total, sum(w.done for w in workers)), total)
    finally:
        engine.stopping = True
        if len(started) < len(workers):
            # A thread that never started never counts itself out.
            with engine.lock:
                engine.running -= len(workers) - len(started)
        for thread in started:
            thread.join()
    if engine.error is not None:
        raise engine.error
    if progress is not None:
        progress(total, total)
