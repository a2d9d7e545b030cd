"""Bencode decoding for protocol code: a value that other data follows, the
exact bytes of a value, and input that has not all arrived yet."""

from typing import SupportsIndex

from typing_extensions import Buffer

from velka.bencode import BencodeValue, DecodeError

class IncompleteError(DecodeError):
    """Raised when the data ends before the value does: more data may complete it."""

def decode_prefix(data: Buffer | None, start: SupportsIndex = 0) -> tuple[BencodeValue, int]:
    """Decode the value that begins at position *start* of *data*.

    Returns ``(value, end)``, where *end* is the position just past the
    value; whatever follows it is not looked at. Raises
    :class:`IncompleteError` when the data ends before the value does and
    :class:`velka.bencode.DecodeError` on malformed input.
    """

def span(data: Buffer | None, /, *path: bytes | int) -> tuple[int, int]:
    """Check that *data* is exactly one well-formed value, building no objects,
    and return ``(start, end)`` of the value that *path* leads to.

    Each step of *path* is a ``bytes`` key of a dict or an ``int`` index of
    a list (negative counts from the end). ``data[start:end]`` is the value's
    exact encoding as it stands in *data*. Raises :class:`IncompleteError`
    when the data ends before the value does, DecodeError on malformed
    input, and KeyError, IndexError or TypeError for a path that leads
    nowhere.
    """
