"""``velka check``: strict validation that builds nothing."""

from __future__ import annotations

from typing import TYPE_CHECKING

from velka.bencode import DecodeError
from velka.raw import decode_prefix, span

from ._input import CODEC_ERRORS, Failure, decode_failure

if TYPE_CHECKING:
    # The buffer protocol's type is collections.abc.Buffer from 3.12 on;
    # only the type checker needs it, and this name stands for it on 3.11 too.
    from typing_extensions import Buffer


def check(data: Buffer, concatenated: bool) -> str:
    """What is good about *data*, or raise Failure saying what is not."""
    with memoryview(data) as view:
        length = len(view)
        if concatenated:
            return _check_all(view, length)
        try:
            span(view)
        except CODEC_ERRORS as error:
            raise _explain(view, length, error) from None
    return f"ok ({length:,} bytes)"


def _explain(view: memoryview, length: int, error: Exception) -> Failure:
    failure = decode_failure(error, length)
    if type(error) is DecodeError:
        # A sound value that other data follows: say where it ends.
        try:
            end = decode_prefix(view)[1]
        except CODEC_ERRORS:
            return failure
        if end < length:
            return Failure(
                f"{error}: one value fills bytes 0 to {end}, and {length - end:,} more "
                "bytes follow (--all reads concatenated values)"
            )
    return failure


def _check_all(view: memoryview, length: int) -> str:
    count = 0
    position = 0
    while position < length:
        try:
            # Each value is built and dropped at once: span() checks one value only.
            position = decode_prefix(view, position)[1]
        except CODEC_ERRORS as error:
            failure = decode_failure(error, length)
            if count == 0:
                raise failure from None
            raise Failure(f"value {count + 1}, from position {position}: {failure}") from None
        count += 1
    return f"ok ({length:,} bytes, {count:,} value{'s' * (count != 1)})"
