"""Reading the command's inputs, and turning the codec's complaints into one line."""

from __future__ import annotations

import mmap
import os
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, BinaryIO

from velka.bencode import DecodeError
from velka.raw import IncompleteError

if TYPE_CHECKING:
    # The buffer protocol's type is collections.abc.Buffer from 3.12 on;
    # only the type checker needs it, and this name stands for it on 3.11 too.
    from typing_extensions import Buffer


class Failure(Exception):
    """A fault in one input, told to the user as ``NAME: message`` (exit status 1).

    *name* is the file at fault where it is not the input being read.
    """

    def __init__(self, message: str, name: str | None = None) -> None:
        super().__init__(message)
        self.name = name


def display_name(name: str) -> str:
    return "<stdin>" if name == "-" else name


@contextmanager
def opened(name: str) -> Iterator[Buffer]:
    """The whole input *name* (``-`` for standard input) as a buffer.

    Regular files are memory-mapped, so that a large torrent is checked or
    hashed straight from the page cache; standard input, pipes and other
    files that cannot be mapped are read whole.
    """
    if name == "-":
        yield _read(sys.stdin.buffer)
        return
    try:
        f = open(name, "rb")  # closed by the with below
    except OSError as error:
        raise Failure(error.strerror or str(error)) from error
    with f:
        mapping = None
        try:
            # mmap refuses an empty file, and a pipe or device reports size 0.
            if os.fstat(f.fileno()).st_size > 0:
                mapping = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        except (OSError, ValueError):
            pass
        if mapping is None:
            yield _read(f)
            return
        with mapping:
            yield mapping


def _read(stream: BinaryIO) -> bytes:
    try:
        return stream.read()
    except OSError as error:
        raise Failure(error.strerror or str(error)) from error


def decode_failure(error: Exception, length: int) -> Failure:
    """The one line for a codec error raised on data of *length* bytes."""
    if isinstance(error, IncompleteError) and length > 0:
        return Failure(f"truncated after {length} bytes: {error}")
    if isinstance(error, RecursionError):
        return Failure(f"nested too deeply ({error})")
    if isinstance(error, DecodeError | OverflowError):
        return Failure(str(error))
    raise TypeError(f"not a codec error: {error!r}")


CODEC_ERRORS = (DecodeError, OverflowError, RecursionError)
