"""Finding the files a torrent is made of, as libtorrent finds them on Linux.

Symbolic links are followed (a loop is a fault), hidden files are kept, empty
folders give nothing, and anything that is neither a regular file nor a folder
is a fault. Names are bytes on disk and must be UTF-8 to go into a torrent.
"""

from __future__ import annotations

import errno
import fnmatch
import os
import stat
from collections.abc import Collection, Iterable
from dataclasses import dataclass

from ._layout import Entry, sort_key


@dataclass(frozen=True, slots=True)
class Scan:
    """What a path holds: *single* when it is one file, not a folder."""

    name: str
    entries: list[Entry]
    single: bool
    identities: list[tuple[int, int, int, int]]
    """Device, inode, size and modification time of each entry when scanned."""


def _fault(code: int, message: str, location: bytes) -> OSError:
    return OSError(code, message, os.fsdecode(location))


def named(error: OSError) -> OSError:
    """*error* with its file named by a str, as callers expect, not bytes."""
    if isinstance(error.filename, bytes) and error.errno is not None:
        return OSError(error.errno, error.strerror, os.fsdecode(error.filename))
    return error


def default_name(path: str | os.PathLike[str]) -> str:
    """The last component of *path* made absolute, so that ``.`` names its folder."""
    return os.path.basename(os.path.abspath(os.fspath(path)))


def identity(st: os.stat_result) -> tuple[int, int, int, int]:
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def _stat(location: bytes) -> os.stat_result:
    try:
        return os.stat(location)
    except FileNotFoundError:
        if os.path.islink(location):
            raise _fault(errno.ENOENT, "symbolic link to nothing", location) from None
        raise
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise _fault(errno.ELOOP, "symbolic link loop", location) from None
        raise


def _check_readable(location: bytes) -> None:
    # Opened now so that a file that cannot be read stops the work before any
    # hashing; O_NONBLOCK because a file replaced by a FIFO must not block.
    fd = os.open(location, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    os.close(fd)


def _text(name: bytes, location: bytes) -> str:
    try:
        return name.decode("utf-8")
    except UnicodeDecodeError:
        raise _fault(errno.EILSEQ, "name is not UTF-8", location) from None


class _Excluder:
    def __init__(self, patterns: Iterable[str], files: Collection[tuple[int, int]]) -> None:
        self.files = files
        self.names: list[str] = []
        self.paths: list[str] = []
        for pattern in patterns:
            (self.paths if "/" in pattern else self.names).append(pattern)

    def __call__(self, name: str, path: tuple[str, ...]) -> bool:
        if any(fnmatch.fnmatchcase(name, p) for p in self.names):
            return True
        if self.paths:
            joined = "/".join(path)
            return any(fnmatch.fnmatchcase(joined, p) for p in self.paths)
        return False


def scan(
    path: str | os.PathLike[str],
    exclude: Iterable[str] = (),
    leave_out: Collection[tuple[int, int]] = (),
) -> Scan:
    """The files under *path* in torrent order, or *path* itself when it is a file.

    Files matched by an *exclude* glob, or whose (device, inode) is in
    *leave_out*, are left out.

    Raises OSError naming the file for a path that does not exist, a link
    loop, a name that is not UTF-8, a file that cannot be read, one that is
    neither a regular file nor a folder, and when nothing is left to hash.
    """
    try:
        return _scan(path, exclude, leave_out)
    except OSError as error:
        raise named(error) from None


def _scan(
    path: str | os.PathLike[str], exclude: Iterable[str], leave_out: Collection[tuple[int, int]]
) -> Scan:
    location = os.fsencode(path)
    name = default_name(path)
    st = _stat(location)
    if stat.S_ISREG(st.st_mode):
        _check_readable(location)
        entry = Entry((), st.st_size, location, bool(st.st_mode & stat.S_IXUSR))
        if st.st_size == 0:
            raise _fault(errno.ENODATA, "nothing to hash: the file is empty", location)
        return Scan(name, [entry], True, [identity(st)])
    if not stat.S_ISDIR(st.st_mode):
        raise _fault(errno.EINVAL, "not a regular file or a folder", location)
    found: list[tuple[Entry, tuple[int, int, int, int]]] = []
    _walk(location, (), {(st.st_dev, st.st_ino)}, _Excluder(exclude, leave_out), found)
    if not found:
        raise _fault(errno.ENODATA, "nothing to hash: no files", location)
    if not any(entry.length for entry, _ in found):
        raise _fault(errno.ENODATA, "nothing to hash: every file is empty", location)
    found.sort(key=lambda item: sort_key(item[0]))
    return Scan(name, [e for e, _ in found], False, [i for _, i in found])


def _walk(
    folder: bytes,
    prefix: tuple[str, ...],
    ancestors: set[tuple[int, int]],
    excluded: _Excluder,
    found: list[tuple[Entry, tuple[int, int, int, int]]],
) -> None:
    with os.scandir(folder) as listing:
        children = sorted(entry.name for entry in listing)
    for raw in children:
        location = os.path.join(folder, raw)
        name = _text(raw, location)
        path = (*prefix, name)
        if excluded(name, path):
            continue
        st = _stat(location)
        if stat.S_ISDIR(st.st_mode):
            key = (st.st_dev, st.st_ino)
            if key in ancestors:
                raise _fault(errno.ELOOP, "symbolic link loop", location)
            _walk(location, path, ancestors | {key}, excluded, found)
        elif stat.S_ISREG(st.st_mode):
            if (st.st_dev, st.st_ino) in excluded.files:
                continue
            _check_readable(location)
            executable = bool(st.st_mode & stat.S_IXUSR)
            found.append((Entry(path, st.st_size, location, executable), identity(st)))
        else:
            raise _fault(errno.EINVAL, "not a regular file or a folder", location)
